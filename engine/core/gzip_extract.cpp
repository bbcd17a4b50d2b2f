// gzip logs: decompressed through zlib into the profile's temporary ZIP
// folder. The output is written under a temporary name and takes its final
// name only when the whole stream was read and written, so a failed or
// cancelled extraction never leaves a file that a later listing would take
// as complete.
#include "engine/core/gzip_extract.h"

#include <zlib.h>

#include <cstdlib>
#include <string>

#include "engine/core/engine_state.h"
#include "engine/core/zip_extract.h"
#include "platform/base/files.h"
#include "platform/base/paths.h"
#include "platform/ui/window.h"

namespace vrn {

namespace {

constexpr uint32_t kGzipErrorText = 5717;
constexpr uint32_t kProgressPercentMessage = 1024;
constexpr uint32_t kProgressTitleMessage = 1044;

std::string FilePart(const std::string& path) {
  const size_t cut = path.find_last_of("\\/:");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

void SendProgress(uint32_t percent) {
  if (g_engine.progressWindow != 0) kv::ui::SendMessage(g_engine.progressWindow, kProgressPercentMessage, percent, 0);
}

enum class Outcome { kDone, kFailed, kCancelled };

// Decompresses archivePath into tempPath. Progress goes by the compressed
// bytes consumed, so it stays within 0..100 whatever the ratio.
Outcome Decompress(const char* archivePath, const std::string& tempPath) {
  kv::FileInfo info;
  if (!kv::GetFileInfo(archivePath, &info) || info.folder) return Outcome::kFailed;
  const uint64_t compressedSize = info.size;

  auto* buffer = static_cast<char*>(std::malloc(kGzipBlockSize));
  if (buffer == nullptr) return Outcome::kFailed;
  gzFile gz = gzopen(kv::ResolvePath(archivePath).c_str(), "rb");
  if (gz == nullptr) {
    std::free(buffer);
    return Outcome::kFailed;
  }
  const KvFile out = kv::FileOpen(tempPath.c_str(), kv::kFileWrite, kv::FileDisposition::kCreateAlways);
  Outcome outcome = out == KV_INVALID_FILE ? Outcome::kFailed : Outcome::kDone;
  while (outcome == Outcome::kDone) {
    const int got = gzread(gz, buffer, kGzipBlockSize);
    if (got < 0) {
      outcome = Outcome::kFailed;
      break;
    }
    if (got == 0) {
      // The input ended: only a completed stream is a whole log.
      int code = Z_OK;
      gzerror(gz, &code);
      if (code != Z_OK) outcome = Outcome::kFailed;
      break;
    }
    uint32_t written = 0;
    if (!kv::FileWrite(out, buffer, static_cast<uint32_t>(got), &written) || written != static_cast<uint32_t>(got)) {
      outcome = Outcome::kFailed;
      break;
    }
    const z_off_t consumed = gzoffset(gz);
    uint32_t percent = 100;
    if (compressedSize > 0 && consumed >= 0 && static_cast<uint64_t>(consumed) < compressedSize) {
      percent = static_cast<uint32_t>(static_cast<uint64_t>(consumed) * 100 / compressedSize);
    }
    SendProgress(percent);
    if (PumpAndCheckCancel()) outcome = Outcome::kCancelled;
  }
  if (gzclose(gz) != Z_OK && outcome == Outcome::kDone) outcome = Outcome::kFailed;
  if (out != KV_INVALID_FILE && !kv::FileClose(out) && outcome == Outcome::kDone) outcome = Outcome::kFailed;
  std::free(buffer);
  return outcome;
}

}  // namespace

LogNameEntry** ExtractGzipLog(const char* profileName, uint32_t /*callerValue*/, const char* archivePath,
                              LogNameEntry** list, uint16_t* count) {
  uint16_t dummy = 0;
  if (count == nullptr) count = &dummy;
  if (archivePath == nullptr || archivePath[0] == 0) return list;
  const std::string folder = TempZipFolder(profileName, true);
  if (!kv::FolderExists(folder.c_str())) {
    ShowExtractionError(kGzipErrorText, archivePath);
    return list;
  }

  // The one member is the file itself, index 0.
  std::string path;
  if (!LookUpUnzipList(profileName, archivePath, archivePath, &path, 0)) {
    if (g_engine.progressWindow != 0) {
      const std::string fileName = FilePart(archivePath);
      SendProgress(0);
      kv::ui::SendMessage(g_engine.progressWindow, kProgressTitleMessage, 0,
                          reinterpret_cast<KvLParam>(fileName.c_str()));
    }
    const std::string tempPath = path + ".part";
    const Outcome outcome = Decompress(archivePath, tempPath);
    bool done = outcome == Outcome::kDone && kv::FileMove(tempPath.c_str(), path.c_str(), true);
    if (!done) {
      kv::FileDelete(tempPath.c_str());
      if (outcome != Outcome::kCancelled) ShowExtractionError(kGzipErrorText, archivePath);
      SendProgress(100);
      return list;
    }
    RecordUnzippedMember(profileName, archivePath, archivePath, path, 0);
    SendProgress(100);
  }
  if (!AppendExtractedEntry(path, &list, count)) ShowExtractionError(kGzipErrorText, archivePath);
  return list;
}

}  // namespace vrn
