// View buffer files of a text-view report run.
#include "engine/core/view_buffer.h"

#include <cstdlib>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

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

// Text for a closed buffer waits in memory up to these amounts before its
// file is opened for it, so that hits of many groups in turn do not open
// and close a file each.
constexpr size_t kWaitingPerBuffer = 32 * 1024;
constexpr size_t kWaitingInAll = 8 * 1024 * 1024;

// The run's buffers by key and the text waiting for closed buffers (the
// handle keeps a pointer to it).
struct ViewIndex {
  std::unordered_map<std::string, int32_t> keys;
  std::unordered_map<int32_t, std::string> waiting;
  size_t waitingBytes = 0;
};

ViewIndex* IndexOf(ReportHandle* run, bool make) {
  if (run->viewKeys == nullptr && make) run->viewKeys = new (std::nothrow) ViewIndex();
  return static_cast<ViewIndex*>(run->viewKeys);
}

// Writes the text waiting for an open buffer at its file's end.
bool WriteWaiting(ReportHandle* run, uint16_t index, ViewBuffer* b) {
  ViewIndex* vi = IndexOf(run, false);
  if (vi == nullptr) return true;
  auto it = vi->waiting.find(index);
  if (it == vi->waiting.end()) return true;
  const std::string text = std::move(it->second);
  vi->waiting.erase(it);
  vi->waitingBytes -= text.size();
  uint32_t done = 0;
  if (kv::FileSeek(b->file, 0, kv::kSeekEnd) < 0 ||
      !kv::FileWrite(b->file, text.data(), static_cast<uint32_t>(text.size()), &done) || done != text.size()) {
    ShowViewFileError("Error Writing", b, kv::GetLastError());
    return false;
  }
  return true;
}

}  // namespace

int32_t FindViewBufferByKey(const ReportHandle* run, const std::string& key) {
  if (run == nullptr || run->viewKeys == nullptr) return -1;
  const auto* index = static_cast<const ViewIndex*>(run->viewKeys);
  auto it = index->keys.find(key);
  return it == index->keys.end() ? -1 : it->second;
}

void NoteViewBufferKey(ReportHandle* run, const std::string& key, int32_t index) {
  if (run == nullptr) return;
  ViewIndex* vi = IndexOf(run, true);
  if (vi == nullptr) return;
  try {
    vi->keys.emplace(key, index);
  } catch (const std::bad_alloc&) {
    // Not indexed: the key's hits open a buffer of their own.
  }
}

int AppendViewText(ReportHandle* run, uint16_t index, const char* text, uint16_t length) {
  ViewBuffer* b = GetViewBuffer(run, index);
  if (b == nullptr || (text == nullptr && length != 0)) return 0;
  if (!b->open && length != 0) {
    ViewIndex* vi = IndexOf(run, true);
    if (vi != nullptr) {
      try {
        std::string& waiting = vi->waiting[index];
        waiting.append(text, length);
        vi->waitingBytes += length;
        if (vi->waitingBytes >= kWaitingInAll) return FlushViewBuffers(run) ? 1 : 0;
        if (waiting.size() < kWaitingPerBuffer) return 1;
        return ReopenViewBuffer(run, index) ? 1 : 0;  // the reopen writes what waits
      } catch (const std::bad_alloc&) {
        // No room to wait: written at once below.
      }
    }
  }
  if (!SeekViewBuffer(run, index)) return 0;
  return WriteViewBuffer(run, index, text, length);
}

bool FlushViewBuffers(ReportHandle* run) {
  ViewIndex* vi = run != nullptr ? IndexOf(run, false) : nullptr;
  if (vi == nullptr) return true;
  std::vector<int32_t> indexes;
  indexes.reserve(vi->waiting.size());
  for (const auto& [index, text] : vi->waiting) indexes.push_back(index);
  bool ok = true;
  for (int32_t index : indexes) {
    ViewBuffer* b = GetViewBuffer(run, index);
    if (b == nullptr) continue;
    if (b->open ? !WriteWaiting(run, static_cast<uint16_t>(index), b)
                : !ReopenViewBuffer(run, static_cast<uint16_t>(index))) {
      ok = false;
    }
  }
  return ok;
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
  return WriteWaiting(run, index, b);
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
  // Kept files get what still waits for them (a failure is shown).
  if (keep) FlushViewBuffers(run);
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
  delete static_cast<ViewIndex*>(run->viewKeys);
  run->viewKeys = nullptr;
  run->viewTableCapacity = 0;
  run->viewCount = 0;
  run->openViewFiles = 0;
}

}  // namespace vrn
