// The clock: wall-clock seconds, local-time conversion, millisecond ticks
// and sleep. Tests can fix "now" and the tick count with ScopedTestClock;
// while one is active, Sleep advances the fixed clock instead of waiting.
#ifndef KV_PLATFORM_CLOCK_H
#define KV_PLATFORM_CLOCK_H

#include <cstdint>
#include <ctime>

namespace kv {

// Wall-clock seconds since 1970 (UTC).
std::time_t Now();

// Broken-down local time of `t` in the process time zone (TZ), thread-safe
// (localtime_r); false when out is null or the time cannot be converted.
// Process-wide time-zone state is never changed.
bool LocalTime(std::time_t t, std::tm* out);

// Broken-down UTC of `t` (gmtime_r).
bool UtcTime(std::time_t t, std::tm* out);

// Seconds of a broken-down local time (mktime on a copy; tm_isdst is taken
// as given, -1 = let the zone decide); -1 on failure.
std::time_t FromLocalTime(const std::tm& local);

// Milliseconds from a monotonic clock; the 32-bit form wraps after ~49 days
// (compare with unsigned subtraction).
uint64_t TickCount64();
uint32_t TickCount();

// Sleeps `ms` milliseconds (0 yields the processor).
void Sleep(uint32_t ms);

// While an instance lives, Now() and TickCount*() return fixed values that
// only change through Set*/Advance or Sleep. Instances do not nest.
class ScopedTestClock {
 public:
  ScopedTestClock(std::time_t now, uint64_t ticks);
  ~ScopedTestClock();
  ScopedTestClock(const ScopedTestClock&) = delete;
  ScopedTestClock& operator=(const ScopedTestClock&) = delete;

  void SetNow(std::time_t now);
  void SetTicks(uint64_t ticks);
  // Advances ticks by ms and "now" by the whole seconds that have elapsed.
  void Advance(uint64_t ms);
};

}  // namespace kv

#endif
