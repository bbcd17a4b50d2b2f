#include "engine/database/batch_worker.h"

#include <system_error>
#include <utility>

namespace vrn {

std::unique_ptr<BatchWorker> BatchWorker::Start(Work work, void* owner, Drop drop) {
  if (work == nullptr) return nullptr;
  std::unique_ptr<BatchWorker> worker(new (std::nothrow) BatchWorker(work, drop, owner));
  if (!worker) return nullptr;
  try {
    worker->thread_ = std::thread(&BatchWorker::Loop, worker.get());
  } catch (const std::system_error&) {
    return nullptr;
  }
  worker->filling_.reserve(kBatchBytes + 4096);
  return worker;
}

BatchWorker::~BatchWorker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
  if (drop_ != nullptr && !filling_.empty()) drop_(owner_, filling_.data(), filling_.size());
}

void BatchWorker::HandOver() {
  if (filling_.empty()) return;
  std::string next;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return waiting_.size() < kMaxWaiting; });
    waiting_.push_back(std::move(filling_));
    if (!spare_.empty()) {
      next = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  wake_.notify_one();
  filling_ = std::move(next);
  filling_.clear();
  if (filling_.capacity() < kBatchBytes) filling_.reserve(kBatchBytes + 4096);
}

std::string& BatchWorker::FillingWithRoom(size_t bytes) {
  if (filling_.capacity() - filling_.size() < bytes) {
    HandOver();
    if (filling_.capacity() - filling_.size() < bytes) filling_.reserve(filling_.size() + bytes + kBatchBytes);
  }
  return filling_;
}

bool BatchWorker::Settle() {
  HandOver();
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return waiting_.empty() && !busy_; });
  return !failed_.load(std::memory_order_acquire);
}

void BatchWorker::Loop() {
  for (;;) {
    std::string batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return !waiting_.empty() || stop_; });
      if (waiting_.empty()) return;
      batch = std::move(waiting_.front());
      waiting_.pop_front();
      busy_ = true;
    }
    bool ok = false;
    if (failed_.load(std::memory_order_acquire)) {
      if (drop_ != nullptr) drop_(owner_, batch.data(), batch.size());
    } else {
      ok = work_(owner_, &batch);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!ok) failed_.store(true, std::memory_order_release);
      busy_ = false;
      batch.clear();
      if (spare_.size() < kMaxWaiting) spare_.push_back(std::move(batch));
    }
    done_.notify_all();
  }
}

}  // namespace vrn
