// View buffer files of a text-view report run.
#include "engine/core/view_buffer.h"

#include <cstdlib>
#include <new>
#include <string>
#include <unordered_map>

#include "engine/core/engine_state.h"
#include "engine/core/report_run.h"
#include "platform/base/clock.h"
#include "platform/base/files.h"
#include "platform/base/lasterror.h"

namespace vrn {

namespace {

// Failures go to the client's error display: a message box would block a
// run that has no one to answer it.
void ShowViewFileError(const char* what, const ViewBuffer* buffer, uint32_t error) {
  std::string text = std::string(what) + " (" + buffer->fileName + ", error " + std::to_string(error) + ")";
  DisplayReportError(text.c_str());
}

// The run's buffers by key (the handle keeps a pointer to it).
using KeyIndex = std::unordered_map<std::string, int32_t>;

}  // namespace

int32_t FindViewBufferByKey(const ReportHandle* run, const std::string& key) {
  if (run == nullptr || run->viewKeys == nullptr) return -1;
  const auto* index = static_cast<const KeyIndex*>(run->viewKeys);
  auto it = index->find(key);
  return it == index->end() ? -1 : it->second;
}

void NoteViewBufferKey(ReportHandle* run, const std::string& key, int32_t index) {
  if (run == nullptr) return;
  if (run->viewKeys == nullptr) run->viewKeys = new (std::nothrow) KeyIndex();
  if (run->viewKeys == nullptr) return;
  try {
    static_cast<KeyIndex*>(run->viewKeys)->emplace(key, index);
  } catch (const std::bad_alloc&) {
    // Not indexed: the key's hits open a buffer of their own.
  }
}

ViewBuffer* GetViewBuffer(ReportHandle* run, int32_t index) {
  if (run == nullptr || run->viewTable == nullptr || index < 0 || index >= run->viewCount) return nullptr;
  return run->viewTable[index];
}

std::string ViewBufferPath(const ReportHandle* run, const ViewBuffer* buffer) {
  std::string path(run->viewFolder);
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
  return path + buffer->fileName;
}

bool MakeRoomForViewFile(ReportHandle* run) {
  if (run == nullptr || run->viewTable == nullptr || run->openViewFiles < kMaxOpenViewFiles) return false;
  int32_t victim = -1;
  uint32_t oldest = 0;
  for (int32_t i = 0; i < run->viewCount; ++i) {
    ViewBuffer* b = run->viewTable[i];
    if (b == nullptr || !b->open || i == run->viewedBuffer || i == run->writingBuffer) continue;
    // On equal ticks the higher index goes.
    if (victim < 0 || b->lastUse <= oldest) {
      victim = i;
      oldest = b->lastUse;
    }
  }
  if (victim < 0) return false;
  CloseViewBufferFile(run, static_cast<uint16_t>(victim));
  return true;
}

bool ReopenViewBuffer(ReportHandle* run, uint16_t index) {
  ViewBuffer* b = GetViewBuffer(run, index);
  if (b == nullptr) return false;
  if (b->open) return true;
  MakeRoomForViewFile(run);
  const std::string path = ViewBufferPath(run, b);
  KvFile file = kv::FileOpen(path.c_str(), kv::kFileReadWrite, kv::FileDisposition::kOpenExisting);
  if (file == KV_INVALID_FILE || kv::FileSeek(file, 0, kv::kSeekEnd) < 0) {
    uint32_t error = kv::GetLastError();
    if (file != KV_INVALID_FILE) kv::FileClose(file);
    // A file that did not open stays closed: later writes fail visibly
    // instead of going to a handle that is not there.
    ShowViewFileError("Seek Error: Bad handle", b, error);
    return false;
  }
  b->file = file;
  b->open = 1;
  b->lastUse = kv::TickCount();
  ++run->openViewFiles;
  return true;
}

bool SeekViewBuffer(ReportHandle* run, uint16_t index) {
  ViewBuffer* b = GetViewBuffer(run, index);
  if (b == nullptr || !ReopenViewBuffer(run, index)) return false;
  b->lastUse = kv::TickCount();
  return kv::FileSeek(b->file, 0, kv::kSeekEnd) >= 0;
}

int WriteViewBuffer(ReportHandle* run, uint16_t index, const char* text, uint16_t length) {
  ViewBuffer* b = GetViewBuffer(run, index);
  if (b == nullptr || (text == nullptr && length != 0) || !ReopenViewBuffer(run, index)) return 0;
  b->lastUse = kv::TickCount();
  if (length == 0) return 1;
  uint32_t done = 0;
  if (!kv::FileWrite(b->file, text, length, &done)) {
    ShowViewFileError("Error Writing", b, kv::GetLastError());
    return 0;
  }
  return done == length ? 1 : 0;
}

void CloseViewBufferFile(ReportHandle* run, uint16_t index) {
  ViewBuffer* b = GetViewBuffer(run, index);
  if (b == nullptr || !b->open) return;
  kv::FileClose(b->file);
  b->file = KV_INVALID_FILE;
  if (run->openViewFiles > 0) --run->openViewFiles;
  b->open = 0;
}

void ReleaseViewBuffers(ReportHandle* run, bool keep) {
  if (run == nullptr || run->viewTable == nullptr) return;
  for (int32_t i = 0; i < run->viewCount; ++i) {
    ViewBuffer* b = run->viewTable[i];
    if (b == nullptr) continue;
    CloseViewBufferFile(run, static_cast<uint16_t>(i));
    if (!keep) kv::FileDelete(ViewBufferPath(run, b).c_str());
    std::free(b);
    run->viewTable[i] = nullptr;
  }
  std::free(run->viewTable);
  run->viewTable = nullptr;
  delete static_cast<KeyIndex*>(run->viewKeys);
  run->viewKeys = nullptr;
  run->viewTableCapacity = 0;
  run->viewCount = 0;
  run->openViewFiles = 0;
}

}  // namespace vrn
