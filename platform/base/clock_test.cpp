#include "platform/base/clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "platform/base/base_testutil.h"

namespace kv {
namespace {

TEST(Clock, RealClockMoves) {
  std::time_t before = std::time(nullptr);
  std::time_t now = Now();
  EXPECT_GE(now, before);
  EXPECT_LE(now, std::time(nullptr));
  uint64_t t0 = TickCount64();
  Sleep(20);
  uint64_t t1 = TickCount64();
  EXPECT_GE(t1 - t0, 20u);
  EXPECT_LT(t1 - t0, 5000u);
}

TEST(Clock, TestClockFixesNowAndTicks) {
  {
    ScopedTestClock clock(915148800, uint64_t{4294967000});  // 1999-01-01 00:00:00 UTC
    EXPECT_EQ(Now(), 915148800);
    EXPECT_EQ(TickCount64(), uint64_t{4294967000});
    clock.Advance(999);
    EXPECT_EQ(Now(), 915148800);  // not yet a whole second
    clock.Advance(1);
    EXPECT_EQ(Now(), 915148801);
    Sleep(2500);  // no waiting: the fixed clock moves
    EXPECT_EQ(Now(), 915148803);
    EXPECT_EQ(TickCount64(), uint64_t{4294967000} + 3500);
    EXPECT_EQ(TickCount(), 3204u);  // the 32-bit count wrapped
    clock.SetNow(100);
    clock.SetTicks(7);
    EXPECT_EQ(Now(), 100);
    EXPECT_EQ(TickCount(), 7u);
  }
  EXPECT_GT(Now(), 1000000000);  // back to the real clock
}

int CheckLocalTimes(void*) {
  // 1999-07-01 12:00:00 UTC.
  const std::time_t t = 930830400;
  std::tm tm{};
  if (!LocalTime(t, &tm)) return 10;
  const char* tz = std::getenv("TZ");
  int expectHour = std::string(tz) == "UTC0" ? 12 : 14;  // CEST in summer
  if (tm.tm_hour != expectHour || tm.tm_mday != 1 || tm.tm_mon != 6 || tm.tm_year != 99) return 11;
  if (FromLocalTime(tm) != t) return 12;
  std::tm utc{};
  if (!UtcTime(t, &utc) || utc.tm_hour != 12) return 13;
  if (LocalTime(t, nullptr)) return 14;
  return 0;
}

TEST(Clock, LocalTimeFollowsTheProcessZone) {
  for (const char* zone : {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
    test::ScopedEnv tz("TZ", zone);
    // A fresh process picks up the zone as a program started under it would.
    EXPECT_EQ(test::RunInChild(
                  [](void* arg) -> int {
                    tzset();
                    return CheckLocalTimes(arg);
                  },
                  nullptr),
              0)
        << zone;
  }
}

}  // namespace
}  // namespace kv
