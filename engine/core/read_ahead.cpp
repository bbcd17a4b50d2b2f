#include "engine/core/read_ahead.h"

#include <cstdlib>
#include <cstdint>
#include <system_error>
#include <utility>

namespace vrn {

std::unique_ptr<ReadAhead> ReadAhead::Start(LogSourceHandle source, uint64_t from, uint64_t last, uint32_t window,
                                            ReadReload reload) {
  std::unique_ptr<ReadAhead> reader(new (std::nothrow) ReadAhead(source, from, last, window, std::move(reload)));
  if (!reader) return nullptr;
  try {
    reader->thread_ = std::thread(&ReadAhead::Loop, reader.get());
  } catch (const std::system_error&) {
    return nullptr;
  }
  return reader;
}

LogSourceHandle ReadAhead::Stop(uint32_t* lastChunk) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  room_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (lastChunk != nullptr) *lastChunk = reload_.lastChunk;
  return current_;
}

namespace {

// While a batch fills, a line's place in it is kept as this mark plus its
// offset (the batch's bytes may still move).
constexpr uintptr_t kLineMark = uintptr_t{1} << 20;

}  // namespace

ReadAhead::~ReadAhead() { Stop(nullptr); }

const ReadResult* ReadAhead::Next() {
  if (taken_ == taking_.results.size()) {
    Batch next;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!taking_.results.empty() && spare_.size() < 2) {
        taking_.results.clear();
        taking_.lines.clear();
        spare_.push_back(std::move(taking_));
      }
      consumerWaits_ = true;
      ready_.wait(lock, [this] { return !waiting_.empty() || finished_; });
      consumerWaits_ = false;
      if (waiting_.empty()) return nullptr;
      next = std::move(waiting_.front());
      waiting_.pop_front();
      // The thread is woken when half the queue is free again.
      if (threadWaits_ && waiting_.size() <= kMaxWaiting / 2) room_.notify_one();
    }
    taking_ = std::move(next);
    taken_ = 0;
  }
  const ReadResult* r = &taking_.results[taken_++];
  expected_ = r->next;
  // The batch was written on another core: the next result and its line
  // are asked for ahead of their turn.
  if (taken_ < taking_.results.size()) {
    const ReadResult* ahead = &taking_.results[taken_];
    const char* bytes = reinterpret_cast<const char*>(ahead);
    for (size_t at = 0; at < sizeof(ReadResult); at += 64) __builtin_prefetch(bytes + at);
    if (ahead->hit.Line != nullptr) {
      for (size_t at = 0; at < size_t{ahead->hit.LineLength} + 1; at += 64) __builtin_prefetch(ahead->hit.Line + at);
    }
  }
  return r;
}

void ReadAhead::Loop() {
  uint64_t position = from_;
  Batch batch;
  batch.results.reserve(kBatch);
  bool more = true;
  while (more) {
    ReadResult& r = batch.results.emplace_back();
    r.position = position;
    r.next = position;
    if (reload_.size != 0) {
      const auto chunk = static_cast<uint32_t>(position / reload_.size);
      if (position != 0 && chunk != reload_.lastChunk) {
        reload_.lastChunk = chunk;
        r.reopened = true;
        if (reload_.reopen == nullptr || !reload_.reopen(reload_.name, position, &current_)) {
          current_ = kNoLogSource;
        }
      }
    }
    r.source = current_;
    r.chunk = reload_.lastChunk;
    if (current_ == kNoLogSource) {
      r.code = kReadNothing;
      more = false;
    } else {
      const ReaderLineCounts before = GetReaderLineCounts();
      r.code = ReadNextHit(current_, position, &r.hit, &r.next, window_);
      const ReaderLineCounts after = GetReaderLineCounts();
      r.counted.lines = after.lines - before.lines;
      r.counted.unrecognised = after.unrecognised - before.unrecognised;
      r.counted.skipped = after.skipped - before.skipped;
      more = (r.code == kReadHit || (r.code == kReadNothing && r.next > position)) && r.next <= last_;
      position = r.next;
      if (r.hit.Line != nullptr) {
        // The line moves into the batch (its place there is kept as an
        // offset until the batch is whole) and its copy is freed here.
        const size_t at = batch.lines.size();
        batch.lines.append(r.hit.Line, size_t{r.hit.LineLength} + 1 + kHitLineSlack);
        char* mark = reinterpret_cast<char*>(kLineMark + at);
        RebaseFields(&r.hit, r.hit.Line, r.hit.LineLength, mark);
        std::free(r.hit.Line);
        r.hit.Line = mark;
      }
    }
    if (batch.results.size() < kBatch && more) continue;
    // The batch is whole: its lines stay where they are now.
    char* base = batch.lines.data();
    for (ReadResult& done : batch.results) {
      if (done.hit.Line == nullptr) continue;
      const size_t at = reinterpret_cast<uintptr_t>(done.hit.Line) - kLineMark;
      RebaseFields(&done.hit, done.hit.Line, done.hit.LineLength, base + at);
      done.hit.Line = base + at;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    threadWaits_ = true;
    room_.wait(lock, [this] { return waiting_.size() < kMaxWaiting || stop_; });
    threadWaits_ = false;
    if (stop_) break;
    waiting_.push_back(std::move(batch));
    const bool wake = consumerWaits_;
    Batch fresh;
    if (!spare_.empty()) {
      fresh = std::move(spare_.back());
      spare_.pop_back();
    }
    lock.unlock();
    if (wake) ready_.notify_one();
    batch = std::move(fresh);
    batch.results.reserve(kBatch);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
  }
  ready_.notify_one();
}

}  // namespace vrn
