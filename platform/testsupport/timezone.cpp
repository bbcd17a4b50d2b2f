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

}  // namespace kv::test
