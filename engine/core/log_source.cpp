// Log sources: the plain-file kind and the generic operations that dispatch
// on a source's kind.
#include "engine/core/log_source.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "engine/core/engine_state.h"
#include "engine/core/log_reader.h"
#include "platform/base/files.h"
#include "platform/base/paths.h"

namespace vrn {

namespace {

uint64_t FileSize(LogSource* source) {
  const int64_t size = kv::FileSize(source->file);
  return size < 0 ? 0 : static_cast<uint64_t>(size);
}

uint64_t FileSeek(LogSource* source, uint64_t offset, uint32_t origin) {
  const int64_t position = kv::FileSeek(source->file, static_cast<int64_t>(offset), origin);
  return position < 0 ? ~uint64_t{0} : static_cast<uint64_t>(position);
}

bool FileRead(LogSource* source, void* buffer, uint32_t count, uint32_t* done) {
  if (kv::FileRead(source->file, buffer, count, done)) return true;
  std::string text = "Error reading log file ";
  text += source->name;
  text += ".";
  DisplayReportError(text.c_str());
  return false;
}

bool FileClose(LogSource* source) {
  if (source->file == KV_INVALID_FILE) return true;
  const bool ok = kv::FileClose(source->file);
  source->file = KV_INVALID_FILE;
  if (!ok) {
    std::string text = "Error closing log file ";
    text += source->name;
    text += ".";
    DisplayReportError(text.c_str());
  }
  return ok;
}

const LogSourceOps kFileOps = {FileSize, FileSeek, FileRead, FileClose, nullptr};

struct OpenerEntry {
  char prefix[32];
  LogSourceOpener opener;
};
OpenerEntry g_openers[8] = {};

void CopyName(char* out, size_t size, const char* text) {
  size_t n = std::strlen(text);
  if (n >= size) n = size - 1;
  std::memcpy(out, text, n);
  out[n] = 0;
}

}  // namespace

bool RegisterLogSourceOpener(const char* prefix, LogSourceOpener opener) {
  if (prefix == nullptr || prefix[0] == 0 || std::strlen(prefix) >= sizeof(g_openers[0].prefix)) return false;
  OpenerEntry* freeEntry = nullptr;
  for (OpenerEntry& e : g_openers) {
    if (e.opener != nullptr && strcasecmp(e.prefix, prefix) == 0) {
      e.opener = opener;
      return true;
    }
    if (e.opener == nullptr && freeEntry == nullptr) freeEntry = &e;
  }
  if (opener == nullptr) return true;
  if (freeEntry == nullptr) return false;
  CopyName(freeEntry->prefix, sizeof(freeEntry->prefix), prefix);
  freeEntry->opener = opener;
  return true;
}

LogSourceHandle OpenLogSource(const char* location, uint32_t access, uint32_t disposition) {
  if (location == nullptr) return kNoLogSource;
  const size_t markerLength = sizeof(kExtractedLogMarker) - 1;
  const bool extracted = std::strncmp(location, kExtractedLogMarker, markerLength) == 0;
  if (extracted) location += markerLength;

  auto* source = new (std::nothrow) LogSource();
  if (source == nullptr) return kNoLogSource;
  CopyName(source->name, sizeof(source->name), location);
  source->finished = extracted;

  for (const OpenerEntry& e : g_openers) {
    if (e.opener == nullptr || strncasecmp(location, e.prefix, std::strlen(e.prefix)) != 0) continue;
    if (!e.opener(source, location) || source->ops == nullptr) {
      delete source;
      return kNoLogSource;
    }
    return reinterpret_cast<LogSourceHandle>(source);
  }
  // An ODBC location with no ODBC source registered is not a file name.
  if (strncasecmp(location, "odbc:", 5) == 0) {
    delete source;
    return kNoLogSource;
  }

  source->kind = kLogSourceFile;
  // Only a regular file is a log: a FIFO or device would hold the open (and
  // every read) until something writes to it.
  struct stat st;
  if (access == kv::kFileRead && stat(kv::ResolvePath(location).c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    delete source;
    return kNoLogSource;
  }
  source->file = kv::FileOpen(location, access, static_cast<kv::FileDisposition>(disposition));
  if (source->file == KV_INVALID_FILE) {
    delete source;
    return kNoLogSource;
  }
  source->ops = &kFileOps;
  return reinterpret_cast<LogSourceHandle>(source);
}

std::string LogOpenFailure(const char* location) {
  if (location == nullptr) return "no name";
  const size_t markerLength = sizeof(kExtractedLogMarker) - 1;
  if (std::strncmp(location, kExtractedLogMarker, markerLength) == 0) location += markerLength;
  const std::string path = kv::ResolvePath(location);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file";
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  close(fd);
  return "";
}

LogSourceHandle OpenLogSourceForReading(const char* location) {
  return OpenLogSource(location, kv::kFileRead, static_cast<uint32_t>(kv::FileDisposition::kOpenExisting));
}

LogSource* LogSourceRecord(LogSourceHandle handle) {
  if (handle == kNoLogSource || handle == 0) return nullptr;
  return reinterpret_cast<LogSource*>(handle);
}

uint16_t GetLogSourceKind(LogSourceHandle handle) {
  LogSource* source = LogSourceRecord(handle);
  return source != nullptr ? source->kind : static_cast<uint16_t>(kLogSourceFile);
}

uint64_t GetLogSourceSize(LogSourceHandle handle) {
  LogSource* source = LogSourceRecord(handle);
  if (source == nullptr || source->ops == nullptr || source->ops->size == nullptr) return 0;
  return source->ops->size(source);
}

uint64_t SeekLogSource(LogSourceHandle handle, uint64_t offset, uint32_t origin) {
  LogSource* source = LogSourceRecord(handle);
  if (source == nullptr || source->ops == nullptr || source->ops->seek == nullptr) return 0;
  return source->ops->seek(source, offset, origin);
}

uint64_t GetLogSourcePosition(LogSourceHandle handle) { return SeekLogSource(handle, 0, 1); }

int ReadLogSource(LogSourceHandle handle, void* buffer, uint32_t count, uint32_t* done) {
  if (done != nullptr) *done = 0;
  LogSource* source = LogSourceRecord(handle);
  if (source == nullptr || source->ops == nullptr) return 0;
  if (source->ops->read == nullptr) return 1;  // row sources are read through fetchLine
  if (buffer == nullptr && count > 0) return 0;
  uint32_t got = 0;
  const bool ok = source->ops->read(source, buffer, count, &got);
  if (done != nullptr) *done = got;
  return ok ? 1 : 0;
}

int CloseLogSource(LogSourceHandle handle) {
  LogSource* source = LogSourceRecord(handle);
  if (source == nullptr) return 0;
  ForgetReaderSource();
  bool ok = true;
  if (source->ops != nullptr && source->ops->close != nullptr) ok = source->ops->close(source);
  delete source;
  return ok ? 1 : 0;
}

bool ReadFromHandle(KvFile file, void* buffer, uint32_t count, uint32_t* done) {
  if (kv::FileRead(file, buffer, count, done)) return true;
  char text[64];
  std::snprintf(text, sizeof(text), "Error reading from file handle %.8lX.",
                static_cast<unsigned long>(static_cast<uint32_t>(file)));
  DisplayReportError(text);
  return false;
}

}  // namespace vrn
