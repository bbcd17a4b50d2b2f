// Reading a log ahead of the steps that take its hits: a thread of its own
// makes the reader calls a run's steps would make, one after another from a
// position, and hands their results over in order, each with the lines the
// reader counted for it. Where the steps reopen the log every so many bytes,
// the thread reopens it at the same places. The thread stops at the first
// result that is not a hit or a move forward (the end, a failure, a read
// that went nowhere) or that passes the given last position; the steps read
// on their own from there.
//
// While it runs, the thread is the reader's only caller and the source's
// only user: its owner stops it (Stop) and takes the source back before
// reading, moving or closing the source itself.
#ifndef VORNIC_CORE_READ_AHEAD_H
#define VORNIC_CORE_READ_AHEAD_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/hit_record.h"
#include "engine/core/log_reader.h"
#include "engine/core/log_source.h"

namespace vrn {

// One reader call: ReadNextHit(source, position, &hit, &next, window).
struct ReadResult {
  uint16_t code = kReadEnd;
  uint64_t position = 0;
  uint64_t next = 0;
  ReaderLineCounts counted{};  // what the call added to the reader's counts
  HitRecord hit{};             // owns its line
  // A reopen before the call: the source read from then (kNoLogSource when
  // the log would not open again; there is no read then).
  bool reopened = false;
  LogSourceHandle source = kNoLogSource;
  uint32_t chunk = 0;  // the reload chunk after the call's reopen check
};

// How the steps reopen the log: every `size` bytes (0: never), the chunk
// last reopened at, and the reopening itself (closes *source, opens the log
// again and places it at `position`; false and kNoLogSource when it fails).
struct ReadReload {
  uint32_t size = 0;
  uint32_t lastChunk = 0;
  bool (*reopen)(const std::string& name, uint64_t position, LogSourceHandle* source) = nullptr;
  std::string name;
};

class ReadAhead {
 public:
  // A thread reading `source` from `from` with `window` up to the first
  // position past `last`; null when no thread could be made.
  static std::unique_ptr<ReadAhead> Start(LogSourceHandle source, uint64_t from, uint64_t last, uint32_t window,
                                          ReadReload reload);
  // Stops the thread (Stop); the lines of results not taken are freed.
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The next result, in order (waiting for it); null when the thread has
  // stopped and every result was taken. The result stays until the next
  // call; its hit's line is the thread's (the caller copies what it keeps).
  const ReadResult* Next();
  // Where the next result's read starts.
  uint64_t Expected() const { return expected_; }
  // Stops the thread and hands back the source it reads now and the reload
  // chunk it last reopened at (ahead of the results taken when it reopened
  // for results not taken).
  LogSourceHandle Stop(uint32_t* lastChunk);

  static constexpr size_t kBatch = 256;
  static constexpr size_t kMaxWaiting = 8;

 private:
  ReadAhead(LogSourceHandle source, uint64_t from, uint64_t last, uint32_t window, ReadReload reload)
      : current_(source), expected_(from), from_(from), last_(last), window_(window), reload_(std::move(reload)) {}
  void Loop();

  LogSourceHandle current_;  // the thread's until it is stopped
  uint64_t expected_;        // the consumer's
  const uint64_t from_;
  const uint64_t last_;
  const uint32_t window_;
  ReadReload reload_;        // the thread's
  struct Batch {
    std::vector<ReadResult> results;
    std::string lines;  // the results' lines, their hits pointing into them
  };
  Batch taking_;  // the consumer's
  size_t taken_ = 0;
  std::mutex mutex_;
  std::condition_variable ready_;  // the consumer: a batch, or the end
  std::condition_variable room_;   // the thread: room, or stop
  std::deque<Batch> waiting_;
  std::vector<Batch> spare_;  // taken batches, kept for their room
  bool finished_ = false;
  bool stop_ = false;
  bool consumerWaits_ = false;
  bool threadWaits_ = false;
  std::thread thread_;
};

}  // namespace vrn

#endif
