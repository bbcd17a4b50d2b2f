// A thread of its own that works through batches of records in the order
// they were handed to it. The run's thread fills a batch, hands it over and
// goes on with the next; Settle() waits until every batch handed over is
// done, after which the run's thread sees everything the work wrote.
#ifndef VORNIC_DATABASE_BATCH_WORKER_H
#define VORNIC_DATABASE_BATCH_WORKER_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vrn {

class BatchWorker {
 public:
  // Works through one batch (records laid end to end); false when it failed
  // (having released what its remaining records hold), after which later
  // batches are only dropped. The work may keep the batch's bytes by moving
  // them out of it.
  using Work = bool (*)(void* owner, std::string* batch);
  // Releases what the records of a batch that is not worked on hold (after
  // a failure, and what is still being filled when the worker ends).
  using Drop = void (*)(void* owner, const char* records, size_t size);

  // A started worker, or null when no thread could be made. `drop` may be
  // null when records hold nothing.
  static std::unique_ptr<BatchWorker> Start(Work work, void* owner, Drop drop = nullptr);
  // Works through what was handed over, then ends the thread; what is still
  // being filled is dropped.
  ~BatchWorker();
  BatchWorker(const BatchWorker&) = delete;
  BatchWorker& operator=(const BatchWorker&) = delete;

  // The batch being filled (the filling thread only).
  std::string& Filling() { return filling_; }
  // The batch being filled, with room for `bytes` more without moving:
  // when it has less, it is handed over first (when it holds anything) and
  // the next one is made big enough.
  std::string& FillingWithRoom(size_t bytes);
  // Hands the filled batch over when it has reached the batch size.
  void HandOverWhenFull() {
    if (filling_.size() >= kBatchBytes) HandOver();
  }
  // Hands the filled batch over; waits while kMaxWaiting batches wait.
  void HandOver();
  // Hands over what is filled and waits until every batch is done; false
  // when one failed.
  bool Settle();
  // Whether a batch has failed (read without waiting).
  bool Failed() const { return failed_.load(std::memory_order_acquire); }

  static constexpr size_t kBatchBytes = 1024 * 1024;
  static constexpr size_t kMaxWaiting = 4;

 private:
  BatchWorker(Work work, Drop drop, void* owner) : work_(work), drop_(drop), owner_(owner) {}
  void Loop();

  const Work work_;
  const Drop drop_;
  void* const owner_;
  std::string filling_;
  std::mutex mutex_;
  std::condition_variable wake_;  // the thread: a batch waits, or stop
  std::condition_variable done_;  // the run's thread: a batch is done
  std::deque<std::string> waiting_;
  std::vector<std::string> spare_;  // done batches, kept for their room
  bool busy_ = false;
  bool stop_ = false;
  std::atomic<bool> failed_{false};
  std::thread thread_;
};

}  // namespace vrn

#endif
