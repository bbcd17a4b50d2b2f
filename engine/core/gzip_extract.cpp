// gzip logs: decompressed through zlib into the profile's temporary ZIP
// folder. The output is written under a temporary name and takes its final
// name only when the whole stream was read and written, so a failed or
// cancelled extraction never leaves a file that a later listing would take
// as complete.
#include "engine/core/gzip_extract.h"

#include <zlib.h>

#include <cstdlib>
#include <string>

#include "engine/core/zip_extract.h"
#include "platform/base/files.h"
#include "platform/base/paths.h"

namespace vrn {

namespace {

constexpr uint32_t kGzipErrorText = 5717;

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
    SendExtractionPercent(percent);
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
  if (PrepareExtractionFolder(profileName, archivePath, kGzipErrorText).empty()) return list;

  // The one member is the file itself, index 0.
  std::string path;
  if (!LookUpUnzipList(profileName, archivePath, archivePath, &path, 0)) {
    ShowExtractionStart(archivePath);
    const std::string tempPath = path + ".part";
    const Outcome outcome = Decompress(archivePath, tempPath);
    bool done = outcome == Outcome::kDone && kv::FileMove(tempPath.c_str(), path.c_str(), true);
    if (!done) {
      kv::FileDelete(tempPath.c_str());
      if (outcome != Outcome::kCancelled) ShowExtractionError(kGzipErrorText, archivePath);
      SendExtractionPercent(100);
      return list;
    }
    RecordUnzippedMember(profileName, archivePath, archivePath, path, 0);
    SendExtractionPercent(100);
  }
  if (!AppendExtractedEntry(path, &list, count)) ShowExtractionError(kGzipErrorText, archivePath);
  return list;
}

}  // namespace vrn
