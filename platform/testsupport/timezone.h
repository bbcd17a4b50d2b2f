// A time zone set for the life of an object.
#ifndef KV_PLATFORM_TESTSUPPORT_TIMEZONE_H
#define KV_PLATFORM_TESTSUPPORT_TIMEZONE_H

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

}  // namespace kv::test

#endif
