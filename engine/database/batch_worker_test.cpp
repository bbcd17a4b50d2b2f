// The batch worker: batches are worked through whole and in the order they
// were handed over, Settle() sees all of their work, the batches after a
// failure are dropped, and what was handed over is done before the worker
// ends.
#include "engine/database/batch_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace vrn {
namespace {

// Records are 4-byte numbers; the work appends them to `seen` and fails at
// `failAt` when set; dropped batches are counted.
struct Sink {
  std::vector<uint32_t> seen;
  uint32_t failAt = UINT32_MAX;
  std::atomic<int> batches{0};
  std::chrono::microseconds pause{0};
  uint32_t dropped = 0;  // records of dropped batches
};

void Dropped(void* owner, const char* /*records*/, size_t size) {
  static_cast<Sink*>(owner)->dropped += static_cast<uint32_t>(size / 4);
}

bool Take(void* owner, std::string* batch) {
  auto* sink = static_cast<Sink*>(owner);
  const char* records = batch->data();
  const size_t size = batch->size();
  sink->batches.fetch_add(1);
  if (sink->pause.count() != 0) std::this_thread::sleep_for(sink->pause);
  for (size_t at = 0; at + 4 <= size; at += 4) {
    uint32_t n;
    std::memcpy(&n, records + at, 4);
    if (n == sink->failAt) return false;
    sink->seen.push_back(n);
  }
  return true;
}

void Put(BatchWorker* worker, uint32_t n) {
  worker->Filling().append(reinterpret_cast<const char*>(&n), 4);
  worker->HandOverWhenFull();
}

TEST(BatchWorker, EveryRecordIsWorkedOnceAndInOrder) {
  Sink sink;
  auto worker = BatchWorker::Start(&Take, &sink);
  ASSERT_NE(worker, nullptr);
  // Full batches, hand-overs of odd sizes and settles in between.
  std::mt19937 random(7);
  uint32_t next = 0;
  for (int round = 0; round < 40; ++round) {
    const uint32_t count = random() % 200000;
    for (uint32_t i = 0; i < count; ++i) Put(worker.get(), next++);
    if (round % 3 == 0) worker->HandOver();
    if (round % 5 == 0) {
      ASSERT_TRUE(worker->Settle());
      ASSERT_EQ(sink.seen.size(), next);  // nothing left behind at a settle
    }
  }
  ASSERT_TRUE(worker->Settle());
  ASSERT_EQ(sink.seen.size(), next);
  for (uint32_t i = 0; i < next; ++i) ASSERT_EQ(sink.seen[i], i);
  // A settle with nothing filled, twice, is harmless.
  EXPECT_TRUE(worker->Settle());
  EXPECT_TRUE(worker->Settle());
}

TEST(BatchWorker, AFailedBatchStopsTheWorkAfterIt) {
  // The failure lies in the third batch of twelve; the batches after it are
  // dropped, not worked on.
  Sink sink;
  const uint32_t perBatch = BatchWorker::kBatchBytes / 4;
  sink.failAt = 2 * perBatch + 1000;
  auto worker = BatchWorker::Start(&Take, &sink, &Dropped);
  ASSERT_NE(worker, nullptr);
  for (uint32_t i = 0; i < 12 * perBatch; ++i) Put(worker.get(), i);
  EXPECT_FALSE(worker->Settle());
  EXPECT_TRUE(worker->Failed());
  // Every record before the failing one, in order, and none after it.
  ASSERT_EQ(sink.seen.size(), sink.failAt);
  for (uint32_t i = 0; i < sink.seen.size(); ++i) ASSERT_EQ(sink.seen[i], i);
  EXPECT_EQ(sink.batches.load(), 3);
  EXPECT_EQ(sink.dropped, 9u * perBatch);
  // Later work is dropped too, and so is what is filled when it ends.
  for (uint32_t i = 0; i < perBatch + 10; ++i) Put(worker.get(), i);
  EXPECT_FALSE(worker->Settle());
  Put(worker.get(), 1);
  worker.reset();
  EXPECT_EQ(sink.batches.load(), 3);
  EXPECT_EQ(sink.dropped, 10u * perBatch + 11);
}

TEST(BatchWorker, AHandOverWaitsWhileTheWorkerIsBehind) {
  // A slow worker: the filling side never gets more than the allowed number
  // of batches ahead of it.
  Sink sink;
  sink.pause = std::chrono::microseconds(2000);
  auto worker = BatchWorker::Start(&Take, &sink);
  ASSERT_NE(worker, nullptr);
  int handed = 0;
  for (uint32_t i = 0; i < 20; ++i) {
    Put(worker.get(), i);
    worker->HandOver();
    ++handed;
    // Handed minus started: those waiting, at most kMaxWaiting, and the one
    // the worker may have taken off the queue without having begun it yet.
    EXPECT_LE(handed - sink.batches.load(), static_cast<int>(BatchWorker::kMaxWaiting) + 1);
  }
  EXPECT_TRUE(worker->Settle());
  EXPECT_EQ(sink.seen.size(), 20u);
}

TEST(BatchWorker, EndingWorksOffWhatWasHandedOver) {
  Sink sink;
  sink.pause = std::chrono::microseconds(1000);
  {
    auto worker = BatchWorker::Start(&Take, &sink);
    ASSERT_NE(worker, nullptr);
    for (uint32_t i = 0; i < 3; ++i) {
      Put(worker.get(), i);
      worker->HandOver();
    }
    Put(worker.get(), 99);  // filled, never handed over: dropped
  }
  EXPECT_EQ(sink.seen, (std::vector<uint32_t>{0, 1, 2}));
}

TEST(BatchWorker, NoWorkFunctionNoWorker) { EXPECT_EQ(BatchWorker::Start(nullptr, nullptr), nullptr); }

}  // namespace
}  // namespace vrn
