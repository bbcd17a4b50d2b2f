// A time zone set for the life of an object.
#ifndef KV_PLATFORM_TESTSUPPORT_TIMEZONE_H
#define KV_PLATFORM_TESTSUPPORT_TIMEZONE_H

#include <cstdint>
#include <string>

namespace kv::test {

// Sets TZ and calls tzset(); the destructor puts the old value back (or
// unsets TZ) and calls tzset() again. `afterChange`, when given, runs after
// each tzset() (e.g. to forget offsets cached by the code under test).
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone, void (*afterChange)() = nullptr);
  ~ScopedTimeZone();
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  bool had_ = false;
  std::string old_;
  void (*afterChange_)() = nullptr;
};

// Seconds since 1970 of a calendar date and time counted as if UTC, whatever
// TZ says (timegm).
uint32_t UtcSeconds(int year, int month, int day, int hour, int minute = 0, int second = 0);

}  // namespace kv::test

#endif
