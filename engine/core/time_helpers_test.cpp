// Date macros of log paths, the international date formatter and the
// two-digit-year conversions, each under several time zones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "engine/core/engine_state.h"
#include "platform/testsupport/timezone.h"

namespace {

const char* const kZones[] = {"UTC", "America/New_York", "Australia/Adelaide"};

// Sets TZ for the life of the object.
using ZoneScope = kv::test::ScopedTimeZone;

// Seconds of a local date and time in the current zone.
time_t Local(int year, int month, int day, int hour, int minute, int second) {
  struct tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

struct PathCase {
  const char* path;
  const char* base;
  int now[6];  // local date and time: year, month, day, hour, minute, second
  const char* expected;
};

const PathCase kPathCases[] = {
    // Every macro at 2024-03-01 10:20:30 (yesterday is a leap day).
    {"%hour%", "", {2024, 3, 1, 10, 20, 30}, "10"},
    {"%minute%", "", {2024, 3, 1, 10, 20, 30}, "20"},
    {"%second%", "", {2024, 3, 1, 10, 20, 30}, "30"},
    {"%month%", "", {2024, 3, 1, 10, 20, 30}, "03"},
    {"%mm%", "", {2024, 3, 1, 10, 20, 30}, "03"},
    {"%Mon%", "", {2024, 3, 1, 10, 20, 30}, "Mar"},
    {"%mon%", "", {2024, 3, 1, 10, 20, 30}, "mar"},
    {"%MON%", "", {2024, 3, 1, 10, 20, 30}, "MAR"},
    {"%mOn%", "", {2024, 3, 1, 10, 20, 30}, "Mar"},
    {"%day%", "", {2024, 3, 1, 10, 20, 30}, "01"},
    {"%dd%", "", {2024, 3, 1, 10, 20, 30}, "01"},
    {"%year%", "", {2024, 3, 1, 10, 20, 30}, "24"},
    {"%yy%", "", {2024, 3, 1, 10, 20, 30}, "24"},
    {"%yyyy%", "", {2024, 3, 1, 10, 20, 30}, "2024"},
    {"%ymonth%", "", {2024, 3, 1, 10, 20, 30}, "02"},
    {"%yday%", "", {2024, 3, 1, 10, 20, 30}, "29"},
    {"%yyear%", "", {2024, 3, 1, 10, 20, 30}, "24"},
    {"%DD%-%HOUR%-%YYYY%", "", {2024, 3, 1, 10, 20, 30}, "01-10-2024"},
    {"ex%yy%%mm%%dd%.log", "", {2024, 3, 1, 10, 20, 30}, "ex240301.log"},
    // %date-n% moves "now" back by calendar days; alone it writes nothing.
    {"%date-1%", "", {2024, 3, 1, 10, 20, 30}, ""},
    {"%date-1%%dd%", "", {2024, 3, 1, 10, 20, 30}, "29"},
    {"%DATE-2%%mm%%dd% %hour%", "", {2024, 3, 1, 10, 20, 30}, "0228 10"},
    {"%dd%%date-1%%dd%", "", {2024, 3, 1, 10, 20, 30}, "0129"},
    {"%date-1%%dd%%date-1%%dd%", "", {2024, 3, 1, 10, 20, 30}, "2928"},  // each one moves further back
    {"%date-3%%yday%", "", {2024, 3, 1, 10, 20, 30}, "29"},  // yesterday ignores %date-n%
    {"%date-31%%mm%%dd%", "", {2024, 3, 31, 12, 0, 0}, "0229"},
    {"%date-1%%mm%%dd%", "", {2023, 3, 1, 12, 0, 0}, "0228"},
    {"%date-366%%yyyy%%mm%%dd%", "", {2024, 12, 31, 12, 0, 0}, "20231231"},
    {"%yday%.%ymonth%.%yyear%", "", {2024, 1, 1, 0, 30, 0}, "31.12.23"},
    {"%date-1%%yyyy%", "", {2000, 1, 1, 0, 0, 0}, "1999"},
    // Across daylight-saving changes (23- and 25-hour days in New York and
    // Adelaide): one day back is always the calendar day before.
    {"%date-1%%dd%", "", {2024, 3, 11, 0, 30, 0}, "10"},
    {"%date-1%%dd%", "", {2024, 11, 3, 23, 30, 0}, "02"},
    {"%date-1%%dd%", "", {2024, 4, 7, 23, 30, 0}, "06"},
    {"%date-1%%dd%", "", {2024, 10, 7, 0, 30, 0}, "06"},
    {"%yday%", "", {2024, 3, 11, 0, 30, 0}, "10"},
    {"%yday%", "", {2024, 11, 3, 23, 30, 0}, "02"},
    // Percent signs that start no macro stay.
    {"50%.log", "", {2024, 3, 1, 10, 20, 30}, "50%.log"},
    {"%", "", {2024, 3, 1, 10, 20, 30}, "%"},
    {"%%dd%", "", {2024, 3, 1, 10, 20, 30}, "%01"},
    {"%date-%%dd%", "", {2024, 3, 1, 10, 20, 30}, "%date-%01"},
    {"%date-1", "", {2024, 3, 1, 10, 20, 30}, "%date-1"},
    {"a%b%c", "", {2024, 3, 1, 10, 20, 30}, "a%b%c"},
    // Relative paths against the base folder.
    {"..\\logs\\ex%yy%%mm%%dd%.log", "c:\\app\\profiles\\", {2024, 3, 1, 10, 20, 30}, "c:\\app\\logs\\ex240301.log"},
    {"../logs/a.log", "/srv/kv/profiles/", {2024, 3, 1, 10, 20, 30}, "/srv/kv/logs/a.log"},
    {"../a.log", "/srv/kv/profiles", {2024, 3, 1, 10, 20, 30}, "/srv/kv/a.log"},
    {"..\\a.log", "c:", {2024, 3, 1, 10, 20, 30}, "c:a.log"},
    {"..\\a.log", "profiles\\", {2024, 3, 1, 10, 20, 30}, "a.log"},
    {".\\a.log", "c:\\app\\profiles\\", {2024, 3, 1, 10, 20, 30}, "c:\\app\\profiles\\a.log"},
    {"./a.log", "/srv/p/", {2024, 3, 1, 10, 20, 30}, "/srv/p/a.log"},
    {"...\\a.log", "/srv/p/", {2024, 3, 1, 10, 20, 30}, "...\\a.log"},
    {"c:\\logs\\.\\a.log", "/srv/p/", {2024, 3, 1, 10, 20, 30}, "c:\\logs\\.\\a.log"},
};

TEST(NormalizeLogPath, MacrosAndRelativePathsInEveryZone) {
  vrn::ResetNameTables();
  for (const char* zone : kZones) {
    ZoneScope scope(zone);
    for (const PathCase& c : kPathCases) {
      const time_t now = Local(c.now[0], c.now[1], c.now[2], c.now[3], c.now[4], c.now[5]);
      EXPECT_EQ(vrn::NormalizeLogPath(c.path, c.base, now), c.expected)
          << "zone " << zone << ", path " << c.path << ", base " << c.base;
    }
  }
}

// The export expands in place and never writes past the caller's buffer:
// its size is taken as 260 or the given path's length plus one.
TEST(NormalizeLogPath, ExportStaysInsideTheBuffer) {
  struct Guarded {
    char path[VRN_PATH_SIZE];
    char canary[16];
  };
  Guarded g;
  std::memset(&g, 'Z', sizeof g);
  std::strcpy(g.path, "../x.log");
  const std::string base = std::string(300, 'b') + "/folder/";
  EXPECT_EQ(NormalizeLogPath(g.path, base.c_str()), g.path);
  EXPECT_EQ(std::strlen(g.path), VRN_PATH_SIZE - 1u);
  EXPECT_EQ(std::string(g.path, 5), "bbbbb");
  for (char c : g.canary) EXPECT_EQ(c, 'Z');

  char big[400];
  std::memset(big, 'Z', sizeof big);
  const std::string longPath = "./" + std::string(298, 'p');  // 300 characters
  std::strcpy(big, longPath.c_str());
  NormalizeLogPath(big, std::string(100, 'b').c_str());
  EXPECT_EQ(std::strlen(big), 300u);
  EXPECT_EQ(big[301], 'Z');

  EXPECT_EQ(NormalizeLogPath(nullptr, "x"), nullptr);
  char plain[VRN_PATH_SIZE] = "logs/a.log";
  NormalizeLogPath(plain, nullptr);
  EXPECT_STREQ(plain, "logs/a.log");
}

struct tm Broken(int year, int month, int day, int hour, int minute, int second, int wday, int yday) {
  struct tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_wday = wday;
  t.tm_yday = yday;
  return t;
}

struct FormatCase {
  const char* format;
  const char* expected[3];  // date orders 0, 1, 2
};

TEST(FormatIntlDateTime, EveryConversionInEveryDateOrder) {
  vrn::ResetNameTables();
  const struct tm t = Broken(2024, 2, 9, 7, 5, 3, 5, 39);  // Friday
  const FormatCase cases[] = {
      {"%%", {"%", "%", "%"}},
      {"%a", {"Fri", "Fri", "Fri"}},
      {"%A", {"Friday", "Friday", "Friday"}},
      {"%b", {"Feb", "Feb", "Feb"}},
      {"%B", {"February", "February", "February"}},
      {"%d", {"09", "09", "09"}},
      {"%H:%M:%S", {"07:05:03", "07:05:03", "07:05:03"}},
      {"%j", {"040", "040", "040"}},
      {"%m", {"02", "02", "02"}},
      {"%p", {"am", "am", "am"}},
      {"%y", {"24", "24", "24"}},
      {"%Y", {"2024", "2024", "2024"}},
      {"%D", {"02/09/24", "09/02/24", "24/02/09"}},
      {"%T", {"07:05:03", "07:05:03", "07:05:03"}},
      {"Log of %a %D at %T.", {"Log of Fri 02/09/24 at 07:05:03.", "Log of Fri 09/02/24 at 07:05:03.",
                               "Log of Fri 24/02/09 at 07:05:03."}},
      {"a%qb%Zc", {"abc", "abc", "abc"}},
      {"end%", {"end", "end", "end"}},
      {"", {"", "", ""}},
  };
  const uint32_t saved = vrn::g_engine.displayIDate;
  for (uint32_t order = 0; order < 3; ++order) {
    vrn::g_engine.displayIDate = order;
    for (const FormatCase& c : cases) {
      EXPECT_EQ(vrn::FormatIntlDateTime(c.format, t, nullptr), c.expected[order])
          << "format " << c.format << ", order " << order;
    }
  }
  vrn::g_engine.displayIDate = saved;
}

TEST(FormatIntlDateTime, CenturiesAndAfternoon) {
  const struct {
    struct tm t;
    const char* format;
    const char* expected;
  } cases[] = {
      {Broken(1999, 12, 31, 23, 59, 59, 5, 364), "%y %Y %p %j", "99 1999 pm 365"},
      {Broken(2000, 1, 1, 12, 0, 0, 6, 0), "%y %Y %p %j", "00 2000 pm 001"},
      {Broken(1970, 1, 1, 11, 59, 59, 4, 0), "%y %Y %p", "70 1970 am"},
      {Broken(2069, 6, 15, 0, 0, 0, 6, 165), "%y %Y %D", "69 2069 06/15/69"},
      // The last year of 32-bit times still gets two digits.
      {Broken(2106, 2, 7, 6, 28, 15, 0, 37), "%y %Y %D", "06 2106 02/07/06"},
  };
  vrn::g_engine.displayIDate = 0;
  for (const auto& c : cases) EXPECT_EQ(vrn::FormatIntlDateTime(c.format, c.t, nullptr), c.expected) << c.format;
}

TEST(FormatIntlDateTime, LocaleRecordGivesNamesOrderAndSeparators) {
  vrn::IntlLocale locale{};
  const char* shortDays[7] = {"So", "Mo", "Di", "Mi", "Do", "Fr", "Sa"};
  const char* fullDays[7] = {"Sonntag", "Montag", "Dienstag", "Mittwoch", "Donnerstag", "Freitag", "Samstag"};
  for (int i = 0; i < 7; ++i) {
    locale.shortWeekdays[i] = shortDays[i];
    locale.fullWeekdays[i] = fullDays[i];
  }
  const char* months[12] = {"Jan", "Feb", "Mrz", "Apr", "Mai", "Jun", "Jul", "Aug", "Sep", "Okt", "Nov", "Dez"};
  for (int i = 0; i < 12; ++i) {
    locale.shortMonths[i] = months[i];
    locale.fullMonths[i] = months[i];
  }
  locale.fullMonths[2] = "März";
  locale.fullMonths[11] = nullptr;  // a missing name writes nothing
  locale.dateOrder = 1;
  locale.dateSeparator = ".-";  // only the first character counts
  locale.timeSeparator = "";    // an empty separator writes nothing

  const struct tm march = Broken(2024, 3, 5, 14, 30, 0, 2, 64);
  EXPECT_EQ(vrn::FormatIntlDateTime("%a %A %b %B %D %T %p", march, &locale), "Di Dienstag Mrz März 05.03.24 143000 pm");
  const struct tm december = Broken(2024, 12, 24, 8, 0, 0, 2, 358);
  EXPECT_EQ(vrn::FormatIntlDateTime("[%B]", december, &locale), "[]");
  locale.dateOrder = 2;
  EXPECT_EQ(vrn::FormatIntlDateTime("%D", december, &locale), "24.12.24");
}

TEST(FormatIntlDateTime, BufferFormIsBoundedBySize) {
  const struct tm t = Broken(2024, 2, 9, 7, 5, 3, 5, 39);
  char out[8];
  std::memset(out, 'Z', sizeof out);
  EXPECT_EQ(vrn::FormatIntlDateTime(out, 5, "%Y-%m-%d", &t, nullptr), 4);
  EXPECT_STREQ(out, "2024");
  EXPECT_EQ(out[5], 'Z');
  EXPECT_EQ(vrn::FormatIntlDateTime(out, 0, "%Y", &t, nullptr), 0);
  EXPECT_EQ(out[5], 'Z');
  EXPECT_EQ(vrn::FormatIntlDateTime(out, sizeof out, "%m/%d", &t, nullptr), 5);
  EXPECT_STREQ(out, "02/09");
  EXPECT_EQ(vrn::FormatIntlDateTime(out, sizeof out, "%m", nullptr, nullptr), 0);
  EXPECT_STREQ(out, "");
}

TEST(Y2KMktime, TwoDigitYearsAndLeapDaysInEveryZone) {
  const struct {
    int tmYear, month, day, hour;
    int year, outMonth, outDay;  // local date after the conversion
  } cases[] = {
      {69, 1, 1, 12, 2069, 1, 1},  {70, 1, 1, 12, 1970, 1, 1},  {99, 12, 31, 12, 1999, 12, 31},
      {100, 1, 1, 12, 2000, 1, 1}, {0, 1, 1, 12, 2000, 1, 1},   {100, 2, 29, 12, 2000, 2, 29},
      {0, 2, 29, 12, 2000, 2, 29}, {99, 2, 29, 12, 1999, 3, 1}, {96, 2, 29, 12, 1996, 2, 29},
      {124, 3, 10, 12, 2024, 3, 10},
  };
  for (const char* zone : kZones) {
    ZoneScope scope(zone);
    for (const auto& c : cases) {
      struct tm t{};
      t.tm_year = c.tmYear;
      t.tm_mon = c.month - 1;
      t.tm_mday = c.day;
      t.tm_hour = c.hour;
      t.tm_isdst = -1;
      const time_t result = Y2K_mktime(&t);
      struct tm back{};
      ASSERT_NE(localtime_r(&result, &back), nullptr);
      EXPECT_EQ(back.tm_year + 1900, c.year) << zone << " year field " << c.tmYear;
      EXPECT_EQ(back.tm_mon + 1, c.outMonth) << zone << " year field " << c.tmYear;
      EXPECT_EQ(back.tm_mday, c.outDay) << zone << " year field " << c.tmYear;
      EXPECT_EQ(back.tm_hour, c.hour) << zone << " year field " << c.tmYear;
    }
  }
  EXPECT_EQ(Y2K_mktime(nullptr), static_cast<time_t>(-1));
}

TEST(Y2KMktimeEx, WallClockSecondsInEveryZone) {
  const struct {
    uint16_t hour, minute, second, month, day, year;
    uint32_t expected;
  } cases[] = {
      {0, 0, 0, 0, 1, 70, 0u},
      {12, 0, 0, 0, 1, 69, 3124267200u},
      {23, 59, 59, 11, 31, 99, 946684799u},
      {0, 0, 0, 1, 29, 100, 951782400u},
      {0, 0, 0, 1, 29, 0, 951782400u},
      {0, 0, 0, 1, 29, 96, 825552000u},
      {0, 0, 0, 1, 29, 99, 920246400u},      // no leap day in 1999: 1 March
      {2, 30, 0, 2, 10, 124, 1710037800u},   // a time that New York skips
      {0, 0, 0, 0, 1, 207, 0xFFFFFFFFu},     // beyond 32 bits
  };
  for (const char* zone : kZones) {
    ZoneScope scope(zone);
    for (const auto& c : cases) {
      uint32_t out = 12345;
      Y2K_mktimeEx(c.hour, c.minute, c.second, c.month, c.day, c.year, &out);
      EXPECT_EQ(out, c.expected) << zone << " year " << c.year << " month " << c.month << " day " << c.day;
    }
  }
  Y2K_mktimeEx(0, 0, 0, 0, 1, 70, nullptr);  // no out: nothing happens
}

TEST(ParseNumberText, ReadsAtMostNineteenCharacters) {
  const struct {
    const char* text;
    long expected;
  } cases[] = {
      {"42", 42},
      {"  -17xyz", -17},
      {"", 0},
      {"abc", 0},
      {"00000000000000000001234", 0},  // the 1234 lies beyond 19 characters
      {"1234567890123456789999", 1234567890123456789L},
  };
  for (const auto& c : cases) EXPECT_EQ(vrn::ParseLongText(c.text), c.expected) << c.text;
  EXPECT_EQ(vrn::ParseLongText(nullptr), 0);
  EXPECT_EQ(vrn::ParseIntText("2147483647"), 2147483647);
  EXPECT_EQ(vrn::ParseIntText("99999999999"), INT32_MAX);
  EXPECT_EQ(vrn::ParseIntText("-99999999999"), INT32_MIN);
  EXPECT_EQ(vrn::ParseIntText("-5"), -5);
}

TEST(BrokenDownTimes, LocalAndUtcOfTheSameSeconds) {
  ZoneScope scope("America/New_York");
  const time_t t = 1710037800;  // 2024-03-10 02:30 UTC
  const struct tm* gm = vrn::GetGmTimeOf(&t);
  ASSERT_NE(gm, nullptr);
  EXPECT_EQ(gm->tm_hour, 2);
  EXPECT_EQ(gm->tm_mday, 10);
  const struct tm* local = vrn::GetLocalTimeOf(&t);
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(local->tm_mday, 9);
  EXPECT_EQ(local->tm_hour, 21);
  EXPECT_EQ(vrn::GetLocalTimeOf(nullptr), nullptr);
  struct tm wall = *vrn::GetGmTimeOf(&t);
  EXPECT_EQ(vrn::WallClockSeconds(wall), 1710037800);
}

}  // namespace
