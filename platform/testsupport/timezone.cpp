#include "platform/testsupport/timezone.h"

#include <stdlib.h>
#include <time.h>

namespace kv::test {

ScopedTimeZone::ScopedTimeZone(const char* zone, void (*afterChange)()) : afterChange_(afterChange) {
  const char* old = getenv("TZ");
  had_ = old != nullptr;
  if (had_) old_ = old;
  setenv("TZ", zone, 1);
  tzset();
  if (afterChange_) afterChange_();
}

ScopedTimeZone::~ScopedTimeZone() {
  if (had_) {
    setenv("TZ", old_.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  if (afterChange_) afterChange_();
}

uint32_t UtcSeconds(int year, int month, int day, int hour, int minute, int second) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return static_cast<uint32_t>(timegm(&t));
}

}  // namespace kv::test
