#include "platform/base/clock.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

namespace kv {

namespace {

struct TestClock {
  std::atomic<bool> active{false};
  std::mutex mutex;
  std::time_t now = 0;
  uint64_t ticks = 0;
  uint64_t pendingMs = 0;  // advanced milliseconds not yet a whole second of "now"
};

TestClock& Fake() {
  static TestClock* clock = new TestClock;
  return *clock;
}

void AdvanceFake(uint64_t ms) {
  TestClock& c = Fake();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.ticks += ms;
  c.pendingMs += ms;
  c.now += static_cast<std::time_t>(c.pendingMs / 1000);
  c.pendingMs %= 1000;
}

}  // namespace

std::time_t Now() {
  TestClock& c = Fake();
  if (c.active.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.now;
  }
  return std::time(nullptr);
}

bool LocalTime(std::time_t t, std::tm* out) { return out && localtime_r(&t, out) != nullptr; }

bool UtcTime(std::time_t t, std::tm* out) { return out && gmtime_r(&t, out) != nullptr; }

std::time_t FromLocalTime(const std::tm& local) {
  std::tm copy = local;
  return std::mktime(&copy);
}

uint64_t TickCount64() {
  TestClock& c = Fake();
  if (c.active.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.ticks;
  }
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t TickCount() { return static_cast<uint32_t>(TickCount64()); }

void Sleep(uint32_t ms) {
  if (Fake().active.load(std::memory_order_acquire)) {
    AdvanceFake(ms);
    std::this_thread::yield();
    return;
  }
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

ScopedTestClock::ScopedTestClock(std::time_t now, uint64_t ticks) {
  TestClock& c = Fake();
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    c.now = now;
    c.ticks = ticks;
    c.pendingMs = 0;
  }
  c.active.store(true, std::memory_order_release);
}

ScopedTestClock::~ScopedTestClock() { Fake().active.store(false, std::memory_order_release); }

void ScopedTestClock::SetNow(std::time_t now) {
  TestClock& c = Fake();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.now = now;
  c.pendingMs = 0;
}

void ScopedTestClock::SetTicks(uint64_t ticks) {
  TestClock& c = Fake();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.ticks = ticks;
}

void ScopedTestClock::Advance(uint64_t ms) { AdvanceFake(ms); }

}  // namespace kv
