#include "engine/database/finishing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/core/report_run.h"
#include "engine/database/item_tables.h"
#include "engine/database/item_tables_test_support.h"
#include "engine/database/table_accessors.h"
#include "platform/base/memory.h"

namespace vrn {
namespace {

using testing_support::Dup;
using testing_support::Item;
using testing_support::ScaleSpec;
using testing_support::TestAnalysis;

constexpr uint32_t kFri = 1709251200;  // 2024-03-01 00:00, a Friday
constexpr uint32_t kSat = kFri + 86400;
constexpr uint32_t kMon = kFri + 3 * 86400;
constexpr uint32_t kHour = 3600;

class Finishing : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSectionTable(0);
    MonthSlots() = MonthSlotState{};
  }
  void TearDown() override { MonthSlots() = MonthSlotState{}; }
};

// Feeds hits as the per-hit step does: the day rule first, then the counts.
void Hits(AnalysisContext* ctx, uint32_t time, uint32_t hits, uint32_t users) {
  for (uint32_t i = 0; i < hits; ++i) {
    CloseDay(ctx, time + i);
    ++ctx->templ.TodaysHits;
    if (i < users) ++ctx->templ.TodaysUsers;
  }
}

TEST_F(Finishing, DayRuleKeepsExtremesAndWeekSplit) {
  TestAnalysis a;
  Hits(a.ctx, kFri + 9 * kHour, 5, 2);
  Hits(a.ctx, kSat + 9 * kHour, 3, 0);  // hits but no users
  CloseDay(a.ctx, kFri + 10 * kHour);   // an older hit of another day changes nothing
  EXPECT_STREQ(a.ctx->templ.Today, "March 02, 2024");
  Hits(a.ctx, kMon + 9 * kHour, 8, 1);
  CloseDay(a.ctx, 0);
  const TemplateRecord& T = a.ctx->templ;
  EXPECT_EQ(T.ClosedDays, 3u);
  EXPECT_EQ(T.MostHits, 8u);
  EXPECT_STREQ(T.MostHitsDay, "March 04, 2024");
  EXPECT_EQ(T.FewestHits, 3u);
  EXPECT_STREQ(T.FewestHitsDay, "March 02, 2024");
  EXPECT_EQ(T.MostUsers, 2u);
  EXPECT_STREQ(T.MostUsersDay, "March 01, 2024");
  EXPECT_EQ(T.FewestUsers, 1u);  // Saturday had no users and never counts as fewest
  EXPECT_STREQ(T.FewestUsersDay, "March 04, 2024");
  EXPECT_EQ(T.WeekendCount, 1u);
  EXPECT_EQ(T.WeekendHits, 3u);
  EXPECT_EQ(T.WeekendUsers, 0u);
  EXPECT_EQ(T.WeekdayCount, 2u);
  EXPECT_EQ(T.WeekdayHits, 13u);
  EXPECT_EQ(T.WeekdayUsers, 3u);
  EXPECT_EQ(T.TodayDateTime, 0u);
  EXPECT_EQ(T.TodaysHits, 0u);
  // Closing again is a no-op.
  CloseDay(a.ctx, 0);
  EXPECT_EQ(a.ctx->templ.ClosedDays, 3u);
}

// The day text follows each hit's own day through month, leap-day and year
// ends, the names and the format in force at the time, and the time of day
// when the format shows it.
TEST_F(Finishing, DayTextFollowsTheDayTheNamesAndTheFormat) {
  const char* const fullDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
  const char* const fullMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                    "July",    "August",   "September", "October", "November", "December"};
  // Every day of 1999 to 2001 and of 2099 to 2101, at 23:59:59 and then at
  // noon of the same day.
  for (const uint32_t first : {915148800u, 4070908800u}) {
    TestAnalysis a;
    std::free(a.ctx->options->texts[kIntlTexts + 3]);
    a.ctx->options->texts[kIntlTexts + 3] = Dup("%a %A %b %B %d %m %j %y %Y %D");
    for (uint32_t day = first; day < first + 3 * 366 * 86400u; day += 86400) {
      for (const uint32_t second : {86399u, 43200u}) {
        const time_t when = static_cast<time_t>(day) + second;
        struct tm fields {};
        gmtime_r(&when, &fields);
        char expected[200];
        std::snprintf(expected, sizeof expected, "%.3s %s %.3s %s %02d %02d %03d %02d %04d %02d/%02d/%02d",
                      fullDays[fields.tm_wday], fullDays[fields.tm_wday], fullMonths[fields.tm_mon],
                      fullMonths[fields.tm_mon], fields.tm_mday, fields.tm_mon + 1, fields.tm_yday + 1,
                      fields.tm_year % 100, fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
                      fields.tm_year % 100);
        CloseDay(a.ctx, static_cast<uint32_t>(when));
        ASSERT_STREQ(a.ctx->templ.Today, expected) << when;
      }
    }
  }

  struct Step {
    const char* format;    // null: as before
    int month;             // month whose full name changes to `monthName`, or -1
    const char* monthName;
    const char* separator;  // date separator, or null
    uint32_t time;
    const char* today;
    uint32_t closedDays;
  };
  const Step steps[] = {
      {"%B %d, %Y", -1, nullptr, nullptr, kFri + 9 * kHour, "March 01, 2024", 0},
      {nullptr, -1, nullptr, nullptr, kFri + 10 * kHour, "March 01, 2024", 0},
      {nullptr, 2, "Mars", nullptr, kFri + 11 * kHour, "Mars 01, 2024", 1},
      {nullptr, 2, "Maerz", nullptr, kFri + 12 * kHour, "Maerz 01, 2024", 2},
      {"%D", -1, nullptr, nullptr, kFri + 13 * kHour, "03/01/24", 3},
      {nullptr, -1, nullptr, "-", kFri + 14 * kHour, "03-01-24", 4},
      {"%d %H", -1, nullptr, nullptr, kFri + 15 * kHour, "01 15", 5},
      {nullptr, -1, nullptr, nullptr, kFri + 15 * kHour + 59, "01 15", 5},
      {nullptr, -1, nullptr, nullptr, kFri + 16 * kHour, "01 16", 6},
      {"%d %p", -1, nullptr, nullptr, kFri + 17 * kHour, "01 pm", 7},
      {"%d", -1, nullptr, nullptr, kSat + 1, "02", 8},
      {nullptr, -1, nullptr, nullptr, kSat + 86399, "02", 8},
  };
  TestAnalysis a;
  ReportOptions* o = a.ctx->options;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.today);
    if (step.format != nullptr) {
      std::free(o->texts[kIntlTexts + 3]);
      o->texts[kIntlTexts + 3] = Dup(step.format);
    }
    if (step.month >= 0) {
      std::free(o->texts[kLongMonths + step.month]);
      o->texts[kLongMonths + step.month] = Dup(step.monthName);
    }
    if (step.separator != nullptr) {
      std::free(o->texts[kIntlTexts + 0]);
      o->texts[kIntlTexts + 0] = Dup(step.separator);
    }
    CloseDay(a.ctx, step.time);
    EXPECT_STREQ(a.ctx->templ.Today, step.today);
    EXPECT_EQ(a.ctx->templ.ClosedDays, step.closedDays);
  }
}

// One record through the day step as the per-hit step takes it: its visitor
// first, then its hit, each on the current day or on its own closed day.
struct DayRecord {
  uint32_t time;
  bool success;
  bool newVisitor;
};

void Feed(AnalysisContext* ctx, const DayRecord& r) {
  char day[kDayTextSize];
  DayTextOf(ctx, r.time, day);
  const bool today = CloseDayOf(ctx, r.time, day) != 0;
  if (r.newVisitor) {
    if (today) ++ctx->templ.TodaysUsers;
    else CountOnEarlierDay(ctx, day, 0, 1);
  }
  if (r.success) {
    if (today) ++ctx->templ.TodaysHits;
    else CountOnEarlierDay(ctx, day, 1, 0);
  }
}

std::string DayFigures(const TemplateRecord& T) {
  char text[600];
  std::snprintf(text, sizeof text,
                "days %u weekdays %u/%u/%u weekends %u/%u/%u most hits %u on %s fewest %u on %s most users %u on %s "
                "fewest %u on %s open %u/%u",
                T.ClosedDays, T.WeekdayCount, T.WeekdayHits, T.WeekdayUsers, T.WeekendCount, T.WeekendHits,
                T.WeekendUsers, T.MostHits, T.MostHitsDay, T.FewestHits, T.FewestHitsDay, T.MostUsers,
                T.MostUsersDay, T.FewestUsers, T.FewestUsersDay, T.TodaysHits, T.TodaysUsers);
  return text;
}

// The per-day figures of a run are those of its records in time order,
// whatever order they come in: late by up to a minute (also over midnight),
// two servers' logs one after the other, newest first, or any order at all.
// Small counts make ties: the earliest of equal days is the busiest or the
// quietest, as in time order.
TEST_F(Finishing, DayFiguresDoNotDependOnTheOrderOfTheRecords) {
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    std::vector<DayRecord> records;
    for (uint32_t day = 0; day < 12; ++day) {
      const uint32_t count = random() % 7;  // some days have none
      const bool allFail = random() % 9 == 0;
      for (uint32_t i = 0; i < count; ++i) {
        // Many records in the minutes around midnight.
        const uint32_t at = random() % 2 == 0 ? (random() % 2 == 0 ? 86400 - 1 - random() % 90 : random() % 90)
                                              : random() % 86400;
        records.push_back({kFri + day * 86400 + at, !allFail && random() % 5 != 0, random() % 2 == 0});
      }
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const DayRecord& a, const DayRecord& b) { return a.time < b.time; });
    uint32_t successes = 0;
    uint32_t visitors = 0;
    for (const DayRecord& r : records) {
      successes += r.success;
      visitors += r.newVisitor;
    }
    std::string inOrder;
    {
      TestAnalysis a;
      for (const DayRecord& r : records) Feed(a.ctx, r);
      CloseDay(a.ctx, 0);
      inOrder = DayFigures(a.ctx->templ);
    }

    std::vector<std::pair<const char*, std::vector<DayRecord>>> orders;
    std::vector<DayRecord> late = records;
    std::vector<uint32_t> lag(late.size());
    for (uint32_t& l : lag) l = random() % 61;
    std::vector<size_t> index(late.size());
    for (size_t i = 0; i < index.size(); ++i) index[i] = i;
    std::stable_sort(index.begin(), index.end(),
                     [&](size_t a, size_t b) { return records[a].time + lag[a] < records[b].time + lag[b]; });
    for (size_t i = 0; i < index.size(); ++i) late[i] = records[index[i]];
    orders.emplace_back("written late by up to a minute", late);
    std::vector<DayRecord> servers;
    for (int part = 0; part < 2; ++part) {
      for (size_t i = 0; i < records.size(); ++i) {
        if (static_cast<int>(i % 2) == part) servers.push_back(records[i]);
      }
    }
    orders.emplace_back("two servers one after the other", servers);
    orders.emplace_back("newest first", std::vector<DayRecord>(records.rbegin(), records.rend()));
    std::vector<DayRecord> shuffled = records;
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    orders.emplace_back("any order", shuffled);

    for (const auto& [name, order] : orders) {
      SCOPED_TRACE(name);
      TestAnalysis a;
      for (const DayRecord& r : order) Feed(a.ctx, r);
      CloseDay(a.ctx, 0);
      const TemplateRecord& T = a.ctx->templ;
      EXPECT_EQ(DayFigures(T), inOrder);
      EXPECT_EQ(T.WeekdayHits + T.WeekendHits, successes);
      EXPECT_EQ(T.WeekdayUsers + T.WeekendUsers, visitors);
    }
  }
}

// A context that goes on from a stored day state knows only the days it
// closed itself: a late record of a day closed before counts on the current
// day, as it always did; one of a day it closed counts on that day. No hit
// is lost either way.
TEST_F(Finishing, LateRecordOfADayClosedBeforeTheContextCountsOnTheCurrentDay) {
  TestAnalysis a;
  TemplateRecord& T = a.ctx->templ;
  // As stored: Friday and Saturday closed, Monday open with 2 hits.
  T.ClosedDays = 2;
  T.WeekdayCount = T.WeekendCount = 1;
  T.WeekdayHits = 7;
  T.WeekendHits = 1;
  T.MostHits = 7;
  std::snprintf(T.MostHitsDay, sizeof T.MostHitsDay, "March 01, 2024");
  T.FewestHits = 1;
  std::snprintf(T.FewestHitsDay, sizeof T.FewestHitsDay, "March 02, 2024");
  T.TodayDateTime = kMon + 8 * kHour;
  std::snprintf(T.Today, sizeof T.Today, "March 04, 2024");
  T.TodaysHits = 2;
  Feed(a.ctx, {kSat + kHour, true, false});              // closed before: counts on Monday
  Feed(a.ctx, {kMon + 86400 + kHour, true, false});      // Tuesday opens
  Feed(a.ctx, {kMon + 9 * kHour, true, false});          // Monday, closed here: its own day
  Feed(a.ctx, {kMon - 86400 + 9 * kHour, true, false});  // Sunday, before the stored open day
  CloseDay(a.ctx, 0);
  EXPECT_EQ(DayFigures(T),
            "days 4 weekdays 3/13/0 weekends 1/1/0 most hits 7 on March 01, 2024 fewest 1 on March 02, 2024 "
            "most users 0 on  fewest 4294967295 on  open 0/0");
}

TEST_F(Finishing, OneDayRunIsBothMostAndFewest) {
  TestAnalysis a;
  Hits(a.ctx, kSat + 3 * kHour, 4, 0);
  FinishAnalysisContext(a.ctx);
  const TemplateRecord& T = a.ctx->templ;
  EXPECT_EQ(T.ClosedDays, 1u);
  EXPECT_STREQ(T.MostHitsDay, "March 02, 2024");
  EXPECT_STREQ(T.FewestHitsDay, "March 02, 2024");
  EXPECT_EQ(T.FewestHits, 4u);
  EXPECT_EQ(T.FewestUsers, 0xFFFFFFFFu);  // no day with users
  EXPECT_EQ(T.MostUsers, 0u);
}

TEST_F(Finishing, TimeSlotsByGridAndByMonth) {
  TestAnalysis a;
  a.ctx->slotCount = 24;
  a.ctx->secondsPerSlot = kHour;
  a.ctx->slotOrigin = kFri;
  EXPECT_EQ(TimeSlotOf(a.ctx, kFri + 5 * kHour + 1800), 5);
  EXPECT_EQ(TimeSlotOf(a.ctx, kSat + kHour), 1);  // the grid wraps
  MonthSlotState& m = MonthSlots();
  for (int i = 0; i <= 12; ++i) m.boundaries[i] = 1000 * (i + 1);
  m.twelveMonths = 1;
  struct {
    uint32_t t;
    uint16_t slot;
  } cases[] = {{5, 0}, {1000, 0}, {3999, 2}, {4000, 3}, {12999, 11}, {13000, 11}, {99999, 11}};
  for (auto c : cases) EXPECT_EQ(TimeSlotOf(a.ctx, c.t), c.slot) << c.t;
}

// A grid of 31-day slots counts calendar months from the origin's month,
// months of 28 to 31 days alike; its labels start on the first of a month.
TEST_F(Finishing, MonthScaleSlotsAreCalendarMonths) {
  constexpr uint32_t kJan31 = 1738281600;  // 2025-01-31 00:00
  constexpr uint32_t kDay = 86400;
  TestAnalysis a;
  a.ctx->slotCount = 24;
  a.ctx->secondsPerSlot = kMonthScaleSeconds;
  a.ctx->slotOrigin = kJan31 + 15 * kHour;
  struct {
    const char* what;
    uint32_t t;
    uint16_t slot;
  } cases[] = {
      {"before the origin", kJan31, 0},
      {"the origin's month", kJan31 + 23 * kHour, 0},
      {"first of February", kJan31 + kDay, 1},
      {"last second of February", kJan31 + 29 * kDay - 1, 1},
      {"first of March", kJan31 + 29 * kDay, 2},
      {"31 December", 1767139200, 11},     // 2025-12-31
      {"1 January next year", 1767225600, 12},  // 2026-01-01
      {"past 32 months", kJan31 + 1200 * kDay, 31},
  };
  for (const auto& c : cases) EXPECT_EQ(TimeSlotOf(a.ctx, c.t), c.slot) << c.what;
  EXPECT_EQ(CalendarMonthStart(a.ctx, 1), kJan31 + kDay);
  EXPECT_EQ(CalendarMonthStart(a.ctx, 12), 1767225600u);
  // The grid has a slot for each calendar month the window touches, or for
  // as many months as keep them within the scale's slots.
  struct {
    const char* what;
    uint32_t start, end;
    uint16_t slots;
    uint32_t months;  // a slot
  } windows[] = {
      {"2024-03-01 to 2025-04-16", kFri, kFri + 411 * kDay, 14, 1},
      {"2025-01-31 to 2027-01-02: 25 months", kJan31, kJan31 + 701 * kDay, 13, 2},
      {"2024-03-01 to 2030-03-01: 73 months, longer than the scale", kFri, kFri + 2191 * kDay, 19, 4},
  };
  for (const auto& w : windows) {
    TestAnalysis g;
    g.SetScales({{"Day", 24, 3600, "%H", "%d"}, {"Months", 24, kMonthScaleSeconds, "%b %y", "%B %Y"}});
    ChooseGraphIntervalFor(g.ctx, w.start, w.end);
    EXPECT_EQ(g.ctx->intervalScaleIndex, 1) << w.what;
    EXPECT_EQ(g.ctx->slotCount, w.slots) << w.what;
    EXPECT_EQ(g.ctx->secondsPerSlot, w.months * kMonthScaleSeconds) << w.what;
  }
  // Two months a slot: March and April 2025 share slot 1.
  a.ctx->secondsPerSlot = 2 * kMonthScaleSeconds;
  EXPECT_EQ(TimeSlotOf(a.ctx, kJan31 + 29 * kDay), 1);
  EXPECT_EQ(TimeSlotOf(a.ctx, kJan31 + 89 * kDay), 1);  // 30 April
  EXPECT_EQ(TimeSlotOf(a.ctx, kJan31 + 90 * kDay), 2);  // 1 May
  EXPECT_EQ(CalendarMonthStart(a.ctx, 1), kJan31 + 29 * kDay);
  // The year modes keep their own boundaries.
  MonthSlots().boundaries[0] = 0;
  for (int i = 1; i <= 12; ++i) MonthSlots().boundaries[i] = 4000000000u;
  MonthSlots().twelveMonths = 1;
  EXPECT_EQ(TimeSlotOf(a.ctx, kJan31 + 29 * kDay), 0);
}

// A context with pages, forms and one visit ready to be posted.
struct VisitFixture {
  TestAnalysis a;
  uint32_t visit;
  VisitFixture() {
    a.ctx->slotCount = 24;
    a.ctx->secondsPerSlot = kHour;
    a.ctx->slotOrigin = kFri;
    AddNameToTable(a.Table(kTopDocuments), "/a.html");  // 0
    AddNameToTable(a.Table(kTopDocuments), "/b.html");  // 1
    AddNameToTable(a.Table(kTopForms), "/form.cgi");    // 0
    visit = AddTimedItemToTable(0, nullptr, a.ctx, a.Sessions(), "10.1.1.1", nullptr, kFri, 1800, 4000, 0) - 1;
  }
  NameTableEntry* V() { return Item(a.Sessions(), visit); }
  std::vector<std::string> Names(uint32_t table) {
    std::vector<std::string> out;
    SummaryTableEntry* t = a.Table(table);
    for (uint32_t i = 0; i < t->Count; ++i) out.emplace_back(t->ItemBlock[i]->String);
    return out;
  }
};

TEST_F(Finishing, EndedVisitPostsExitPagePathAndSinglePage) {
  struct Case {
    const char* what;
    std::vector<uint16_t> docs, forms;
    uint32_t lastIsForm, lastItem;
    std::vector<std::string> single;
  } cases[] = {
      {"one document", {1}, {}, 0, 1, {"/b.html"}},
      {"one form", {}, {0}, 1, 0, {"/form.cgi"}},
      {"document and form", {0}, {0}, 1, 0, {}},
      {"two documents", {0, 1}, {}, 0, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetSectionTable(0);
    VisitFixture f;
    NameTableEntry* v = f.V();
    for (uint16_t d : c.docs) AddTopName(f.a.ctx, v, kListDocuments, d);
    for (uint16_t d : c.forms) AddTopName(f.a.ctx, v, kListForms, d);
    TopNameList& trail = v->Lists()[kListTrail];
    for (uint16_t d : c.docs) AppendVisitTrail(f.a.ctx, &trail.count, &trail.trail, d, 0);
    for (uint16_t d : c.forms) AppendVisitTrail(f.a.ctx, &trail.count, &trail.trail, d, 1);
    v->LastPageWasForm = c.lastIsForm;
    v->LastPageEntryItem = c.lastItem;
    v->LastPageTime = kFri + 5 * kHour + 60;
    v->TimeOnPages = 90;
    v->TimeOnPagesCount = 2;
    PostVisitDetails(f.a.ctx, f.visit);

    EXPECT_EQ(f.a.ctx->templ.UserSessionsTime, 90u);
    EXPECT_EQ(f.a.ctx->templ.UserSessionsTimeCount, 1u);
    SummaryTableEntry* exits = f.a.Table(kTopExit);
    ASSERT_EQ(exits->Count, 1u);
    EXPECT_STREQ(exits->ItemBlock[0]->String, c.lastIsForm ? "/form.cgi" : (c.lastItem ? "/b.html" : "/a.html"));
    EXPECT_EQ(exits->ItemBlock[0]->SlotHits[5], 1u);
    EXPECT_EQ(exits->ItemBlock[0]->TotalByUsers, 1u);
    EXPECT_EQ(GetSectionTable()[kTopExit].empty, 0u);
    EXPECT_EQ(f.Names(kTopSinglePage), c.single);
    EXPECT_EQ(GetSectionTable()[kTopSinglePage].empty, c.single.empty() ? 1u : 0u);
    std::string key;
    char part[9];
    for (uint16_t d : c.docs) key += (std::snprintf(part, sizeof part, "%08x", d), part);
    for (uint16_t d : c.forms) key += (std::snprintf(part, sizeof part, "%08x", 0x10000u | d), part);
    EXPECT_EQ(f.Names(kTopPaths), std::vector<std::string>{key});
    EXPECT_EQ(f.a.Table(kTopPaths)->ItemBlock[0]->SlotHits[0], 1u);
    // A posted path makes the paths section show.
    EXPECT_EQ(GetSectionTable()[kTopPaths].empty, 0u);
  }
}

TEST_F(Finishing, VisitWithoutPageOrFoldedIsNotPosted) {
  VisitFixture f;
  f.V()->TimeOnPages = 10;
  f.V()->TimeOnPagesCount = 1;
  PostVisitDetails(f.a.ctx, f.visit);  // LastPageTime 0
  PostVisitDetails(f.a.ctx, 0);        // the overflow item
  PostVisitDetails(f.a.ctx, 99);       // no such visit
  EXPECT_EQ(f.a.Table(kTopExit)->Count, 0u);
  EXPECT_EQ(f.a.ctx->templ.UserSessionsTimeCount, 0u);
}

TEST_F(Finishing, PathTableOverTheCutoffIsSwitchedOff) {
  VisitFixture f;
  SummaryTableEntry* paths = f.a.Table(kTopPaths);
  char name[16];
  for (uint32_t i = 0; i <= BigTableCutoff(); ++i) {
    std::snprintf(name, sizeof name, "%08u", i);
    ASSERT_NE(AddNameToTable(paths, name), 0u);
  }
  GetSectionTable()[kTopPaths].used = 1;
  NameTableEntry* v = f.V();
  AddTopName(f.a.ctx, v, kListDocuments, 0);
  TopNameList& trail = v->Lists()[kListTrail];
  AppendVisitTrail(f.a.ctx, &trail.count, &trail.trail, 0, 0);
  v->LastPageTime = kFri + 60;
  PostVisitDetails(f.a.ctx, f.visit);
  EXPECT_EQ(paths->Count, BigTableCutoff() + 1);
  EXPECT_EQ(GetSectionTable()[kTopPaths].used, 0u);
  EXPECT_EQ(GetSectionTable()[kTopPaths].empty, 1u);
  EXPECT_EQ(f.a.Table(kTopSinglePage)->Count, 1u);  // the rest is still posted
}

// Three items whose order differs by hits and by users.
void FillHitsUsers(SummaryTableEntry* t) {
  struct {
    const char* name;
    uint32_t hits, users;
  } items[] = {{"m", 5, 5}, {"u", 1, 9}, {"h", 9, 1}};
  for (auto& i : items) {
    NameTableEntry* e = Item(t, AddNameToTable(t, i.name) - 1);
    e->TotalByHits = i.hits;
    e->TotalByUsers = i.users;
  }
}

std::string First(const SummaryTableEntry* t) {
  char name[16];
  GetItemName(t, 0, 0, name, sizeof name);
  return name;
}

TEST_F(Finishing, SortKeysFollowSortByExceptReferringSites) {
  struct Case {
    uint32_t sortBy;
    uint32_t tableCount;
    uint32_t table;
    const char* first;
  } cases[] = {
      {0, 41, kTopDocuments, "h"},     {2, 41, kTopDocuments, "u"},     {1, 41, kTopBrowsers, "h"},
      {0, 41, kTopReferingSites, "u"}, {2, 41, kTopReferingSites, "u"}, {0, 41, kTopBottom, "m"},
      {0, 41, kTopHours, "m"},         {0, 41, kTopAuthUsers, "h"},     {0, 36, kTopAuthUsers, "m"},
      {0, 36, kTopSearchEngines, "m"}, {2, 41, kTopUsers, "u"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "sort by " << c.sortBy << ", table " << c.table << " of " << c.tableCount);
    TestAnalysis a(c.tableCount);
    a.ctx->SortBy = c.sortBy;
    FillHitsUsers(a.Table(c.table));
    SortAllTables(a.ctx, 1);
    EXPECT_EQ(First(a.Table(c.table)), c.first);
  }
}

TEST_F(Finishing, PagesKeepTheirNumberBeforeSorting) {
  TestAnalysis a;
  FillHitsUsers(a.Table(kTopDocuments));
  SortAllTables(a.ctx, 0);
  SummaryTableEntry* docs = a.Table(kTopDocuments);
  // Sorted h, m, u; numbered m 0, u 1, h 2 as they were accumulated.
  std::vector<uint32_t> numbers;
  for (uint32_t i = 0; i < 3; ++i) numbers.push_back(docs->Items[i]->OriginalIndex);
  EXPECT_EQ(numbers, (std::vector<uint32_t>{2, 0, 1}));
}

// A companies table with the overflow item, two retired items (one with a
// live twin), a live item and a freed record.
void BuildNamedTable(TestAnalysis& a, SummaryTableEntry* t) {
  auto add = [&](const char* name, uint32_t time) {
    return AddTimedItemToTable(0, nullptr, a.ctx, t, name, nullptr, time, 1800, 4000, 500) - 1;
  };
  uint32_t acme = add("acme", 100);
  uint32_t zed = add("zed", 100);
  uint32_t beta = add("beta", 2000);  // acme and zed retire
  uint32_t zedTwin = add("ZED", 2100);
  uint32_t acmeTwin = add("ACME", 2200);
  add("beta", 3000);
  add("beta", 3950);  // ZED folds into zed: its record is freed
  ASSERT_EQ(Item(t, zedTwin)->Deleted, 1u);
  ASSERT_EQ(t->Count, 5u);
  ASSERT_EQ(t->DeleteCount, 1u);
  Item(t, 0)->TotalByHits = 0;
  Item(t, acme)->TotalByHits = 3;
  Item(t, acmeTwin)->TotalByHits = 2;
  Item(t, acmeTwin)->SlotHits[4] = 2;
  Item(t, zed)->TotalByHits = 1;
  Item(t, beta)->TotalByHits = 4;
}

TEST_F(Finishing, NamedTableMergesTwinsKeepsOthersFirstAndCountsOnlyItems) {
  for (int mode : {kSortByHits, kSortByUsers}) {
    SCOPED_TRACE(mode);
    TestAnalysis a;
    SummaryTableEntry* t = a.Table(kTopCompanies);
    BuildNamedTable(a, t);
    SortNamedTable(t, mode, 1);
    EXPECT_EQ(t->Count, 4u);
    EXPECT_EQ(t->DeleteCount, 2u);
    EXPECT_EQ(t->Items[0]->Overflow, 1u);
    std::set<std::string> names;
    for (uint32_t i = 1; i < t->Count; ++i) {
      ASSERT_NE(t->Items[i]->String, nullptr) << i;
      names.insert(t->Items[i]->String);
    }
    EXPECT_EQ(names, (std::set<std::string>{"acme", "beta", "zed"}));
    EXPECT_TRUE(t->Items[4]->Deleted && t->Items[5]->Deleted);
    if (mode == kSortByHits) {
      EXPECT_STREQ(t->Items[1]->String, "acme");
      EXPECT_EQ(t->Items[1]->TotalByHits, 5u);
      EXPECT_EQ(t->Items[1]->SlotHits[4], 2u);
      EXPECT_EQ(t->Items[1]->LastDateTime, 2200u);
      EXPECT_STREQ(t->Items[2]->String, "beta");
      EXPECT_STREQ(t->Items[3]->String, "zed");
      EXPECT_EQ(GetItemHits(t, 1, 0), 1u);  // from the end: zed, never a freed record
    }
  }
}

TEST_F(Finishing, GraphIntervalChoice) {
  std::vector<ScaleSpec> scales = {
      {"Hour", 12, 300, "%H:%M", "%d %b"},      {"Day", 24, 3600, "%H:00", "%d %b"},
      {"Week", 28, 21600, "%a", "%d %b"},       {"Month", 31, 86400, "%d", "%d %b"},
      {"Year", 12, 2678400, "%b", "%b %Y"},
  };
  while (scales.size() < 19) scales.push_back({"Fixed", 30, 86400, "%d", "%d %b"});
  scales[17] = {"Twelve months", 12, 2592000, "%b", "%Y"};
  scales[18] = {"Two years", 24, 2592000, "%b", "%Y"};
  struct Case {
    const char* what;
    uint32_t start, end;
    uint32_t monthMode;  // 1 twelve, 2 twenty-four
    uint16_t slots, index;
    uint32_t seconds;
  } cases[] = {
      {"one hour", kFri, kFri + 3600, 0, 12, 0, 300},
      {"exactly one day uses the scales", kFri, kFri + 86400, 0, 24, 1, 3600},
      {"one day and a second", kFri, kFri + 86401, 0, 2, 9, 86400},
      {"ten days from 10:00", kFri + 10 * kHour, kFri + 10 * kHour + 10 * 86400, 0, 11, 10, 86400},
      {"twenty days", kFri, kFri + 20 * 86400, 0, 20, 11, 86400},
      {"thirty days", kFri, kFri + 30 * 86400, 0, 30, 12, 86400},
      {"thirty-one days", kFri, kFri + 31 * 86400, 0, 31, 3, 86400},
      // 27 calendar months on the twelve slots of the month scale.
      {"longer than every scale: three months a slot", kFri, kFri + 800 * 86400, 0, 9, 4, 3 * 2678400},
      {"twelve-month grid", kFri, kFri + 3600, 1, 12, 17, 2592000},
      {"twenty-four-month grid", kFri, kFri + 3600, 2, 24, 18, 2592000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestAnalysis a;
    a.SetScales(scales);
    MonthSlots().twelveMonths = c.monthMode == 1;
    MonthSlots().twentyFourMonths = c.monthMode == 2;
    ChooseGraphIntervalFor(a.ctx, c.start, c.end);
    EXPECT_EQ(a.ctx->slotCount, c.slots);
    EXPECT_EQ(a.ctx->intervalScaleIndex, c.index);
    EXPECT_EQ(a.ctx->secondsPerSlot, c.seconds);
  }
  MonthSlots() = MonthSlotState{};
  // Too few scales: nothing is read out of range.
  TestAnalysis few;
  few.SetScales({{"Day", 24, 3600, "%H", "%d"}});
  MonthSlots().twelveMonths = 1;
  ChooseGraphIntervalFor(few.ctx, kFri, kFri + 3600);
  EXPECT_EQ(few.ctx->slotCount, 12);
  EXPECT_EQ(few.ctx->secondsPerSlot, 0u);
  MonthSlots() = MonthSlotState{};
  TestAnalysis none;
  ChooseGraphIntervalFor(none.ctx, kFri, kFri + 3600);
  EXPECT_EQ(none.ctx->slotCount, 0);
  // A scale of more slots than an item holds is cut to 32.
  TestAnalysis wide;
  wide.SetScales({{"Minutes", 60, 60, "%M", "%d"}});
  ChooseGraphIntervalFor(wide.ctx, kFri, kFri + 3600);
  EXPECT_EQ(wide.ctx->slotCount, 32);
}

struct RunBlock {
  std::unique_ptr<ReportHandle, void (*)(void*)> run{static_cast<ReportHandle*>(std::calloc(1, sizeof(ReportHandle))),
                                                     std::free};
};

TEST_F(Finishing, CloseSummaryFinishesSortsAndDetaches) {
  TestAnalysis a;
  RunBlock r;
  r.run->databaseHandle = a.handle;
  r.run->database = a.ctx;  // the run holds the block locked
  Hits(a.ctx, kFri + kHour, 2, 1);
  FillHitsUsers(a.Table(kTopDocuments));
  const uint32_t locks = kv::GlobalLockCount(a.handle);
  EXPECT_EQ(CloseSummary(r.run.get()), a.handle);
  EXPECT_EQ(r.run->database, nullptr);
  EXPECT_EQ(kv::GlobalLockCount(a.handle), locks - 1);
  EXPECT_EQ(a.ctx->templ.ClosedDays, 1u);
  SummaryTableEntry* docs = a.Table(kTopDocuments);
  EXPECT_EQ(docs->Items, nullptr);  // readers use ItemBlock now
  EXPECT_EQ(First(docs), "h");
  kv::GlobalLock(a.handle);  // give the fixture its lock back
  RunBlock empty;
  EXPECT_EQ(CloseSummary(empty.run.get()), 0u);
}

TEST_F(Finishing, RangeTextAndOptionsRelease) {
  TestAnalysis a;
  RunBlock r;
  r.run->databaseHandle = a.handle;  // no locked pointer: locked for the call
  r.run->startTime = kFri + 10 * kHour;
  r.run->endTime = kSat + 10 * kHour - 1;
  FormatRangeText(r.run.get());
  EXPECT_STREQ(a.ctx->rangeText, "03/01/24 10:00:00 - 03/02/24 09:59:59");
  a.ctx->options->dateOrder = 1;
  a.ctx->options->texts[kIntlTexts][0] = '.';
  FormatRangeText(r.run.get());
  EXPECT_STREQ(a.ctx->rangeText, "01.03.24 10:00:00 - 02.03.24 09:59:59");
  const uint32_t locks = kv::GlobalLockCount(a.handle);
  ReleaseReportOptions(r.run.get());
  EXPECT_EQ(a.ctx->options, nullptr);
  EXPECT_EQ(kv::GlobalLockCount(a.handle), locks);
  ReleaseReportOptions(r.run.get());  // nothing left: no harm
}

}  // namespace
}  // namespace vrn
