// Period arithmetic, report ranges, month slots and the data span of a
// profile (log files and master records).
#include "engine/database/report_ranges.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <vornic/realtime.h>
#include <vornic/report.h>

#include "engine/core/engine_state.h"
#include "engine/core/log_file_list.h"
#include "engine/database/accum_testutil.h"
#include "engine/database/analysis_context.h"
#include "engine/database/finishing.h"
#include "platform/base/clock.h"
#include "platform/testsupport/timezone.h"

namespace {

using accumtest::Wall;

class RangesTest : public testing::Test {
 protected:
  void SetUp() override {
    zone_.emplace("UTC");
    vrn::ResetIntervalNames();
  }
  void TearDown() override {
    zone_.reset();
    vrn::MonthSlots().twelveMonths = 0;
    vrn::MonthSlots().twentyFourMonths = 0;
    vrn::g_engine.displayIDate = 0;
  }
  std::optional<kv::test::ScopedTimeZone> zone_;
};

TEST_F(RangesTest, LeapYears) {
  EXPECT_EQ(vrn::IsLeapYear(100), 1);  // 2000
  EXPECT_EQ(vrn::IsLeapYear(0), 0);    // 1900
  EXPECT_EQ(vrn::IsLeapYear(200), 0);  // 2100
  EXPECT_EQ(vrn::IsLeapYear(124), 1);  // 2024
  EXPECT_EQ(vrn::IsLeapYear(126), 0);  // 2026
  EXPECT_EQ(vrn::MonthLength(1, 124), 29);
  EXPECT_EQ(vrn::MonthLength(1, 126), 28);
}

// The period cases, checked in whatever zone is set: periods follow the
// hits' clock, never the machine's zone.
void CheckPeriods() {
  struct Case {
    uint32_t kind;
    uint32_t t;
    uint32_t start, end, next;
  } cases[] = {
      {vrn::kPeriodDay, Wall(2026, 3, 1, 10, 7, 30), Wall(2026, 3, 1, 0, 0, 0), Wall(2026, 3, 1, 23, 59, 59),
       Wall(2026, 3, 2, 0, 0, 0)},
      {vrn::kPeriodDay, Wall(2024, 2, 29, 23, 59, 59), Wall(2024, 2, 29, 0, 0, 0), Wall(2024, 2, 29, 23, 59, 59),
       Wall(2024, 3, 1, 0, 0, 0)},
      {vrn::kPeriodDay, Wall(2026, 12, 31, 5, 0, 0), Wall(2026, 12, 31, 0, 0, 0), Wall(2026, 12, 31, 23, 59, 59),
       Wall(2027, 1, 1, 0, 0, 0)},
      // Wednesday 4 March 2026: the week runs Sunday 1 to Saturday 7.
      {vrn::kPeriodWeek, Wall(2026, 3, 4, 12, 0, 0), Wall(2026, 3, 1, 0, 0, 0), Wall(2026, 3, 7, 23, 59, 59),
       Wall(2026, 3, 8, 0, 0, 0)},
      // A week across the month end.
      {vrn::kPeriodWeek, Wall(2026, 3, 31, 12, 0, 0), Wall(2026, 3, 29, 0, 0, 0), Wall(2026, 4, 4, 23, 59, 59),
       Wall(2026, 4, 5, 0, 0, 0)},
      {vrn::kPeriodMonth, Wall(2024, 2, 10, 1, 0, 0), Wall(2024, 2, 1, 0, 0, 0), Wall(2024, 2, 29, 23, 59, 59),
       Wall(2024, 3, 1, 0, 0, 0)},
      {vrn::kPeriodMonth, Wall(2026, 12, 10, 1, 0, 0), Wall(2026, 12, 1, 0, 0, 0), Wall(2026, 12, 31, 23, 59, 59),
       Wall(2027, 1, 1, 0, 0, 0)},
      {vrn::kPeriodQuarter, Wall(2026, 5, 10, 1, 0, 0), Wall(2026, 4, 1, 0, 0, 0), Wall(2026, 6, 30, 23, 59, 59),
       Wall(2026, 7, 1, 0, 0, 0)},
      {vrn::kPeriodQuarter, Wall(2026, 11, 10, 1, 0, 0), Wall(2026, 10, 1, 0, 0, 0), Wall(2026, 12, 31, 23, 59, 59),
       Wall(2027, 1, 1, 0, 0, 0)},
      {vrn::kPeriodYear, Wall(2026, 7, 4, 1, 0, 0), Wall(2026, 1, 1, 0, 0, 0), Wall(2026, 12, 31, 23, 59, 59),
       Wall(2027, 1, 1, 0, 0, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << c.kind << " t " << c.t);
    EXPECT_EQ(vrn::GetIntervalStart(c.kind, c.t), c.start);
    EXPECT_EQ(vrn::GetIntervalEnd(c.kind, c.t), c.end);
    EXPECT_EQ(vrn::GetNextIntervalStart(c.kind, c.t), c.next);
  }
}

TEST_F(RangesTest, PeriodStartEndAndNext) { CheckPeriods(); }

TEST_F(RangesTest, SlotLayoutsOfPeriodKinds) {
  vrn::AnalysisContext context{};
  const struct {
    uint32_t kind;
    uint16_t slots;
    uint32_t seconds;
    uint16_t scale;
  } cases[] = {{0, 24, 3600, 19}, {1, 7, 86400, 20}, {2, 16, 172800, 21}, {3, 14, 604800, 22}, {4, 13, 2419200, 23}};
  for (const auto& c : cases) {
    vrn::SetIntervalSlots(c.kind, &context);
    EXPECT_EQ(context.slotCount, c.slots);
    EXPECT_EQ(context.secondsPerSlot, c.seconds);
    EXPECT_EQ(context.intervalScaleIndex, c.scale);
  }
  vrn::SetIntervalSlots(5, &context);  // unknown kinds change nothing
  EXPECT_EQ(context.slotCount, 13);
}

TEST_F(RangesTest, PeriodNames) {
  const uint32_t t = Wall(2026, 3, 4, 12, 0, 0);
  char text[vrn::kIntervalNameSize];
  const struct {
    uint32_t kind;
    uint32_t dateOrder;
    const char* expected;
  } cases[] = {
      {0, 0, "Mar/4/2026"},        {0, 1, "4/Mar/2026"}, {0, 2, "2026/Mar/4"}, {1, 0, "Week of 3/4/2026"},
      {2, 0, "March, 2026"},       {3, 0, "Q1, 2026"},   {4, 0, "2026"},
  };
  for (const auto& c : cases) {
    vrn::g_engine.displayIDate = c.dateOrder;
    vrn::FormatIntervalName(c.kind, t, text, sizeof text);
    EXPECT_STREQ(text, c.expected);
  }
  vrn::FormatIntervalName(3, Wall(2026, 11, 4, 0, 0, 0), text, sizeof text);
  EXPECT_STREQ(text, "Q4, 2026");
  // A small buffer gets a cut, terminated text.
  char small[5];
  vrn::FormatIntervalName(2, t, small, sizeof small);
  EXPECT_STREQ(small, "Marc");
  vrn::FormatIntervalName(9, t, text, sizeof text);
  EXPECT_STREQ(text, "");
}

struct RangeCase {
  const char* what;
  uint16_t code;
  uint32_t now;
  uint32_t S, E;
  uint32_t start, end;
};

// The machine's clock reading whose local wall-clock time is `wall` in the
// zone that is set.
time_t ClockAtWallTime(uint32_t wall) {
  time_t t = wall;
  for (int i = 0; i < 2; ++i) {
    struct tm local{};
    const time_t probe = t;
    localtime_r(&probe, &local);
    t = static_cast<time_t>(wall) - local.tm_gmtoff;
  }
  return t;
}

// The range cases, in whatever zone is set; `now` of a case is the local
// wall-clock time of the machine's clock.
void CheckRangeCodes() {
  const uint32_t now = Wall(2026, 3, 1, 10, 7, 30);  // a Sunday
  const RangeCase cases[] = {
      {"last 15 minutes", 2, now, 0, 0, Wall(2026, 3, 1, 9, 53, 0), now},
      {"last 15 minutes, data starts later", 2, now, Wall(2026, 3, 1, 10, 0, 0), 0, now, now},
      {"last hour", 3, now, 0, 0, Wall(2026, 3, 1, 9, 10, 0), now},
      {"last 12 hours", 4, now, 0, 0, Wall(2026, 2, 28, 23, 0, 0), now},
      {"today", 5, now, 0, 0, Wall(2026, 3, 1, 0, 0, 0), Wall(2026, 3, 1, 23, 59, 59)},
      {"yesterday", 6, now, 0, 0, Wall(2026, 2, 28, 0, 0, 0), Wall(2026, 2, 28, 23, 59, 59)},
      {"this week on a Sunday", 7, now, 0, 0, Wall(2026, 3, 1, 0, 0, 0), Wall(2026, 3, 7, 23, 59, 59)},
      {"this week on a Saturday", 7, Wall(2026, 3, 7, 8, 0, 0), 0, 0, Wall(2026, 3, 1, 0, 0, 0),
       Wall(2026, 3, 7, 23, 59, 59)},
      {"last week", 8, now, 0, 0, Wall(2026, 2, 22, 0, 0, 0), Wall(2026, 2, 28, 23, 59, 59)},
      {"7 days on 1 March", 9, now, 0, 0, Wall(2026, 2, 23, 0, 0, 0), Wall(2026, 3, 1, 23, 59, 59)},
      {"7 days on 1 March of a leap year", 9, Wall(2024, 3, 1, 10, 0, 0), 0, 0, Wall(2024, 2, 24, 0, 0, 0),
       Wall(2024, 3, 1, 23, 59, 59)},
      {"two weeks", 10, now, 0, 0, Wall(2026, 2, 22, 0, 0, 0), Wall(2026, 3, 7, 23, 59, 59)},
      {"two weeks before", 11, now, 0, 0, Wall(2026, 2, 15, 0, 0, 0), Wall(2026, 2, 28, 23, 59, 59)},
      {"14 days", 12, now, 0, 0, Wall(2026, 2, 16, 0, 0, 0), Wall(2026, 3, 1, 23, 59, 59)},
      {"30 days", 15, now, 0, 0, Wall(2026, 1, 31, 0, 0, 0), Wall(2026, 3, 1, 23, 59, 59)},
      {"this month", 13, Wall(2024, 2, 10, 0, 0, 0), 0, 0, Wall(2024, 2, 1, 0, 0, 0), Wall(2024, 2, 29, 23, 59, 59)},
      {"last month in January", 14, Wall(2026, 1, 10, 0, 0, 0), 0, 0, Wall(2025, 12, 1, 0, 0, 0),
       Wall(2025, 12, 31, 23, 59, 59)},
      {"this quarter", 16, Wall(2026, 5, 10, 0, 0, 0), 0, 0, Wall(2026, 4, 1, 0, 0, 0), Wall(2026, 6, 30, 23, 59, 59)},
      {"last quarter in February", 17, Wall(2026, 2, 10, 0, 0, 0), 0, 0, Wall(2025, 10, 1, 0, 0, 0),
       Wall(2025, 12, 31, 23, 59, 59)},
      {"last quarter in August", 17, Wall(2026, 8, 10, 0, 0, 0), 0, 0, Wall(2026, 4, 1, 0, 0, 0),
       Wall(2026, 6, 30, 23, 59, 59)},
      {"this half-year", 18, Wall(2026, 8, 10, 0, 0, 0), 0, 0, Wall(2026, 7, 1, 0, 0, 0),
       Wall(2026, 12, 31, 23, 59, 59)},
      {"last half-year in March", 19, now, 0, 0, Wall(2025, 7, 1, 0, 0, 0), Wall(2025, 12, 31, 23, 59, 59)},
      {"this year", 20, now, 0, 0, Wall(2026, 1, 1, 0, 0, 0), Wall(2026, 12, 31, 23, 59, 59)},
      {"last year", 22, now, 0, 0, Wall(2025, 1, 1, 0, 0, 0), Wall(2025, 12, 31, 23, 59, 59)},
      {"two years", 24, now, 0, 0, Wall(2025, 1, 1, 0, 0, 0), Wall(2026, 12, 31, 23, 59, 59)},
      {"the data's last day", 25, now, 0, Wall(2025, 6, 30, 17, 0, 0), Wall(2025, 6, 30, 0, 0, 0),
       Wall(2025, 6, 30, 23, 59, 59)},
      {"the day before the data's last", 26, now, 0, Wall(2025, 6, 30, 17, 0, 0), Wall(2025, 6, 29, 0, 0, 0),
       Wall(2025, 6, 29, 23, 59, 59)},
      {"the data's last month", 33, now, 0, Wall(2025, 6, 30, 17, 0, 0), Wall(2025, 6, 1, 0, 0, 0),
       Wall(2025, 6, 30, 23, 59, 59)},
      {"the data's first week", 43, now, Wall(2025, 6, 4, 17, 0, 0), 0, Wall(2025, 6, 1, 0, 0, 0),
       Wall(2025, 6, 7, 23, 59, 59)},
      {"code 0", 0, now, 0, 0, now, now},
      {"code 1", 1, now, 0, 0, now, now},
      {"code 49 keeps the data's first time", 49, now, 5, 6, 5, 5},
  };
  for (const RangeCase& c : cases) {
    SCOPED_TRACE(c.what);
    kv::ScopedTestClock clock(ClockAtWallTime(c.now), 1000);
    uint32_t start = c.S, end = c.E;
    vrn::CalculateReportRange(c.code, &start, &end);
    EXPECT_EQ(start, c.start);
    EXPECT_EQ(end, c.end);
  }
}

TEST_F(RangesTest, RangeCodes) { CheckRangeCodes(); }

// Outside UTC, with and without daylight-saving time, periods and ranges
// are the same as in UTC: they are counted on the hits' clock.
TEST_F(RangesTest, PeriodsAndRangesDoNotMoveWithTheZone) {
  for (const char* zone : {"America/New_York", "Asia/Tokyo", "Europe/Berlin", "Australia/Adelaide"}) {
    SCOPED_TRACE(zone);
    kv::test::ScopedTimeZone set(zone);
    CheckPeriods();
    CheckRangeCodes();
  }
}

TEST_F(RangesTest, YearRangesSwitchMonthSlots) {
  kv::ScopedTestClock clock(Wall(2026, 3, 1, 10, 0, 0), 1000);
  uint32_t start = 0, end = 0;
  // Twelve months of the year: the result is the next 1 January.
  EXPECT_EQ(VRN_CalculateRealtimeReportRange(21, &start, &end), Wall(2027, 1, 1, 0, 0, 0));
  EXPECT_EQ(vrn::MonthSlots().twelveMonths, 1u);
  EXPECT_EQ(vrn::MonthSlots().twentyFourMonths, 0u);
  EXPECT_EQ(vrn::GetMonthSlot(Wall(2025, 12, 31, 0, 0, 0)), 0);   // before the first boundary
  EXPECT_EQ(vrn::GetMonthSlot(Wall(2026, 3, 31, 23, 59, 59)), 2);
  EXPECT_EQ(vrn::GetMonthSlot(Wall(2027, 2, 1, 0, 0, 0)), 11);    // past the last boundary

  // Twenty-four months: last year and this one; the result is the last
  // month's boundary.
  EXPECT_EQ(VRN_CalculateRealtimeReportRange(24, &start, &end), Wall(2026, 12, 1, 0, 0, 0));
  EXPECT_EQ(vrn::MonthSlots().twelveMonths, 0u);
  EXPECT_EQ(vrn::MonthSlots().twentyFourMonths, 1u);
  EXPECT_EQ(vrn::GetTwoYearMonthSlot(Wall(2025, 1, 15, 0, 0, 0)), 0);
  EXPECT_EQ(vrn::GetTwoYearMonthSlot(Wall(2026, 2, 15, 0, 0, 0)), 13);
  EXPECT_EQ(vrn::GetTwoYearMonthSlot(Wall(2026, 12, 15, 0, 0, 0)), 23);

  // Any other code switches both modes off and returns the code.
  EXPECT_EQ(VRN_CalculateRealtimeReportRange(5, &start, &end), 5u);
  EXPECT_EQ(vrn::MonthSlots().twelveMonths, 0u);
  EXPECT_EQ(vrn::MonthSlots().twentyFourMonths, 0u);

  // The data's year (code 39) takes the year of the data's last time.
  start = 0;
  end = Wall(2024, 7, 1, 0, 0, 0);
  EXPECT_EQ(VRN_CalculateRealtimeReportRange(39, &start, &end), Wall(2025, 1, 1, 0, 0, 0));
  EXPECT_EQ(start, Wall(2024, 1, 1, 0, 0, 0));
  EXPECT_EQ(end, Wall(2024, 12, 31, 23, 59, 59));
  EXPECT_EQ(vrn::MonthSlots().boundaries[1], Wall(2024, 2, 1, 0, 0, 0));
}

// ---- data span ---------------------------------------------------------------------------

class DataSpanTest : public RangesTest {
 protected:
  void SetUp() override {
    RangesTest::SetUp();
    std::string pattern = testing::TempDir() + "spanXXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    ASSERT_NE(mkdtemp(buffer.data()), nullptr);
    folder_ = std::string(buffer.data()) + "/";
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
    RangesTest::TearDown();
  }
  static std::string Line(const char* stamp) {
    return std::string("10.0.0.1 - - [") + stamp + " +0000] \"GET /a.html HTTP/1.0\" 200 100\n";
  }
  // A master.dat image: header and the records (name, start, end, last added).
  static std::string MasterImage(const std::vector<std::array<uint32_t, 3>>& records) {
    std::string image(448, '\0');
    image[0] = 4;
    for (const auto& r : records) {
      char record[64] = {};
      std::snprintf(record, 20, "%08x.dat", r[0]);
      for (int i = 0; i < 3; ++i)
        for (int b = 0; b < 4; ++b) record[20 + 4 * i + b] = static_cast<char>((r[i] >> (8 * b)) & 0xFF);
      image.append(record, 64);
    }
    return image;
  }
  DravelEntry RealtimeProfile() {
    DravelEntry profile{};
    profile.RealtimeAnalysis = 1;
    profile.PellavarFlag = 1;
    std::snprintf(profile.PellavarRepository, sizeof profile.PellavarRepository, "%srt", folder_.c_str());
    return profile;
  }
  std::string folder_;
};

TEST_F(DataSpanTest, LogFileTimesOverSeveralFiles) {
  accumtest::WriteText(folder_ + "logs/a.log", Line("01/Mar/2026:10:00:00") + Line("01/Mar/2026:11:00:00"));
  accumtest::WriteText(folder_ + "logs/b.log", "garbage line\n" + Line("28/Feb/2026:23:00:00") +
                                                   Line("02/Mar/2026:08:30:00") + "\n\n");
  accumtest::WriteText(folder_ + "logs/c.log", "no hits here\n");
  uint32_t first = 0, last = 0;
  EXPECT_EQ(GetLogFileStartAndEndTimes(nullptr, (folder_ + "logs/*.log").c_str(), &first, &last), 1);
  EXPECT_EQ(first, Wall(2026, 2, 28, 23, 0, 0));
  EXPECT_EQ(last, Wall(2026, 3, 2, 8, 30, 0));
}

TEST_F(DataSpanTest, LogFilesWithoutHitsGiveNothing) {
  accumtest::WriteText(folder_ + "logs/c.log", "no hits here\nnor here\n");
  accumtest::WriteText(folder_ + "logs/d.log", "");
  uint32_t first = 0, last = 7;
  EXPECT_EQ(GetLogFileStartAndEndTimes(nullptr, (folder_ + "logs/*.log").c_str(), &first, &last), 0);
  EXPECT_EQ(first, 0xFFFFFFFFu);
  EXPECT_EQ(last, 0u);
  EXPECT_EQ(GetLogFileStartAndEndTimes(nullptr, (folder_ + "missing/*.log").c_str(), &first, &last), 0);
  EXPECT_EQ(GetLogFileStartAndEndTimes(nullptr, nullptr, &first, &last), 0);
}

TEST_F(DataSpanTest, RealtimeDateRangeFromMasterRecords) {
  const uint32_t d1 = Wall(2026, 3, 1, 0, 0, 0), d2 = d1 + 86400, d3 = d2 + 86400;
  accumtest::WriteText(folder_ + "rt/daily/master.dat",
                       MasterImage({{d1, d1 + 86399, 0}, {d2, d2 + 86399, d2 + 3600}, {d3, d3 + 86399, d3 + 60},
                                    {d3 + 86400, d3 + 2 * 86400 - 1, 0}}));
  DravelEntry profile = RealtimeProfile();
  vrn::GetRealtimeDateRange(&profile);
  EXPECT_EQ(profile.RealtimeFirstTime, d2);
  EXPECT_EQ(profile.RealtimeLastTime, d3 + 60);

  // Realtime analysis off: both 0, whatever the records hold.
  profile.RealtimeAnalysis = 0;
  vrn::GetRealtimeDateRange(&profile);
  EXPECT_EQ(profile.RealtimeFirstTime, 0u);
  EXPECT_EQ(profile.RealtimeLastTime, 0u);
}

TEST_F(DataSpanTest, RealtimeDateRangeLeavesMissingOrBadStoresAlone) {
  DravelEntry profile = RealtimeProfile();
  profile.RealtimeFirstTime = 5;
  profile.RealtimeLastTime = 6;
  vrn::GetRealtimeDateRange(&profile);
  EXPECT_EQ(profile.RealtimeFirstTime, 0u);
  EXPECT_EQ(profile.RealtimeLastTime, 0u);
  // Reading never creates the store's folders or files.
  EXPECT_FALSE(std::filesystem::exists(folder_ + "rt"));

  // A file of another format word, or one cut inside its header, is not read.
  std::string wrong = MasterImage({{Wall(2026, 3, 1, 0, 0, 0), Wall(2026, 3, 1, 23, 59, 59), Wall(2026, 3, 1, 1, 0, 0)}});
  wrong[0] = 5;
  accumtest::WriteText(folder_ + "rt/daily/master.dat", wrong);
  vrn::GetRealtimeDateRange(&profile);
  EXPECT_EQ(profile.RealtimeFirstTime, 0u);
  accumtest::WriteText(folder_ + "rt/daily/master.dat", std::string(100, '\0'));
  vrn::GetRealtimeDateRange(&profile);
  EXPECT_EQ(profile.RealtimeFirstTime, 0u);
}

TEST_F(DataSpanTest, QuickRefreshReachesBackToTheRealtimeDatabase) {
  const uint32_t d1 = Wall(2026, 2, 20, 0, 0, 0);
  accumtest::WriteText(folder_ + "rt/daily/master.dat",
                       MasterImage({{d1, d1 + 86399, d1 + 7200}, {d1 + 86400, d1 + 2 * 86400 - 1, d1 + 86400 + 60}}));
  accumtest::WriteText(folder_ + "logs/a.log", Line("01/Mar/2026:10:00:00") + Line("01/Mar/2026:11:00:00"));
  DravelEntry profile = RealtimeProfile();
  std::snprintf(profile.LogFilePath, sizeof profile.LogFilePath, "%slogs/a.log", folder_.c_str());
  EXPECT_EQ(LogFastRefresh(&profile, 0, 0, nullptr), 1);
  EXPECT_EQ(profile.RealtimeFirstTime, d1);
  EXPECT_EQ(profile.RealtimeLastTime, d1 + 86400 + 60);
  EXPECT_EQ(profile.FirstLogTime, d1);                         // earlier data in the database
  EXPECT_EQ(profile.LastLogTime, Wall(2026, 3, 1, 11, 0, 0));  // the logs reach further

  // The full status refresh fills the realtime span as well.
  profile.RealtimeFirstTime = profile.RealtimeLastTime = 0;
  EXPECT_EQ(vrn::GetProfileLogStatus(0, &profile, (folder_ + "logs/a.log").c_str(), nullptr, 0, 0), 1);
  EXPECT_EQ(profile.RealtimeFirstTime, d1);
  EXPECT_EQ(profile.RealtimeLastTime, d1 + 86400 + 60);
  EXPECT_EQ(profile.FirstLogTime, Wall(2026, 3, 1, 10, 0, 0));
}

TEST_F(DataSpanTest, WideningByOneRecord) {
  const uint32_t d = Wall(2026, 3, 2, 0, 0, 0);
  struct Case {
    uint32_t first, last;        // before
    uint32_t start, end, added;  // the record
    uint32_t wantFirst, wantLast;
  } cases[] = {
      {0, 0, d, d + 86399, 0, 0, 0},                                      // nothing added: no change
      {0, 0, d, d + 86399, d + 100, d, d + 100},                          // first record
      {d + 86400, d + 90000, d, d + 86399, d + 100, d, d + 90000},        // an earlier day
      {d - 86400, d - 100, d, d + 86399, d + 86400, d - 86400, d + 86399}, // complete day: its end
      {d - 86400, d + 86399, d, d + 86399, d + 10, d - 86400, d + 86399}, // inside: no change
  };
  for (const Case& c : cases) {
    DravelEntry profile{};
    profile.RealtimeFirstTime = c.first;
    profile.RealtimeLastTime = c.last;
    vrn::WidenRealtimeDateRange(&profile, c.start, c.end, c.added);
    EXPECT_EQ(profile.RealtimeFirstTime, c.wantFirst);
    EXPECT_EQ(profile.RealtimeLastTime, c.wantLast);
  }
}

}  // namespace
