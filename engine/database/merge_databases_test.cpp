// Merging day databases into a report range.
#include "engine/database/merge_databases.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/engine_state.h"
#include "engine/core/search_keywords.h"
#include "engine/database/accum_testutil.h"
#include "engine/database/finishing.h"
#include "engine/database/item_tables.h"
#include "engine/database/table_accessors.h"

namespace vrn {
namespace {

using accumtest::Wall;

const uint32_t kMonday = Wall(2026, 3, 2, 0, 0, 0);

TEST(MergedRangeTest, SlotLayoutOfTheRange) {
  struct Case {
    const char* what;
    uint32_t start, end;
    uint16_t slots;
    uint32_t seconds;
    uint16_t scale;
    uint32_t rangeStart, rangeEnd;
  } cases[] = {
      {"one whole day", kMonday, kMonday + 86399, 24, 3600, 8, kMonday, kMonday + 86399},
      {"one second more", kMonday, kMonday + 86400, 2, 86400, 9, kMonday, kMonday + 2 * 86400 - 1},
      {"part of an hour rounds out", kMonday + 1800, kMonday + 5399, 2, 3600, 8, kMonday, kMonday + 7199},
      {"a week", kMonday, kMonday + 7 * 86400 - 1, 7, 86400, 9, kMonday, kMonday + 7 * 86400 - 1},
      {"eight days", kMonday, kMonday + 8 * 86400 - 1, 8, 86400, 10, kMonday, kMonday + 8 * 86400 - 1},
      {"fourteen days from noon", kMonday + 43200, kMonday + 14 * 86400 - 1, 14, 86400, 10, kMonday,
       kMonday + 14 * 86400 - 1},
  };
  for (const Case& c : cases) {
    AnalysisContext context{};
    SetMergedRangeSlotsFor(&context, c.start, c.end);
    EXPECT_EQ(context.slotCount, c.slots) << c.what;
    EXPECT_EQ(context.secondsPerSlot, c.seconds) << c.what;
    EXPECT_EQ(context.intervalScaleIndex, c.scale) << c.what;
    EXPECT_EQ(context.reportStart, c.rangeStart) << c.what;
    EXPECT_EQ(context.slotOrigin, c.rangeStart) << c.what;
    EXPECT_EQ(context.reportEnd, c.rangeEnd) << c.what;
  }
}

TEST(MergedRangeTest, SlotsBeforeTheRangeStart) {
  struct Case {
    uint32_t aOrigin;
    uint32_t count;
  } cases[] = {
      {kMonday, 0},
      {kMonday + 5 * 3600, 5},
      {kMonday + 5 * 3600 + 1, 5},
      {kMonday + 6 * 3600 - 1, 5},
      {kMonday + 23 * 3600, 23},
      {kMonday + 24 * 3600, 24},
      {kMonday - 3600, 0},
  };
  for (const Case& c : cases) {
    AnalysisContext a{};
    AnalysisContext b{};
    a.slotOrigin = c.aOrigin;
    b.slotOrigin = kMonday;
    b.secondsPerSlot = 3600;
    uint32_t count = 99;
    CountSlotsBeforeStart(&a, &b, &count);
    EXPECT_EQ(count, c.count) << c.aOrigin - kMonday;
  }
}

class MergeTest : public accumtest::ContextFixture {
 protected:
  void SetUp() override {
    ContextFixture::SetUp();
    a_ = MakeContext();
    ASSERT_NE(a_, nullptr);
  }
  void TearDown() override {
    FreeDay();
    g_engine.percentCallback = nullptr;
    ContextFixture::TearDown();
  }
  // A fresh day database B.
  AnalysisContext* Day(uint32_t dayStart, uint32_t hits, uint32_t users, const char* label) {
    FreeDay();
    day_ = static_cast<ReportHandle*>(std::calloc(1, sizeof(ReportHandle)));
    std::memcpy(static_cast<void*>(day_), run_, sizeof(ReportHandle));
    day_->databaseHandle = 0;
    day_->database = nullptr;
    day_->startTime = dayStart;
    day_->endTime = dayStart + 86399;
    EXPECT_EQ(SetUpAnalysisContext(day_, 1), 1);
    AnalysisContext* b = RunContext(day_);
    b->secondsPerSlot = 3600;
    b->slotCount = 24;
    b->slotOrigin = dayStart;
    b->templ.TodayDateTime = dayStart;
    b->templ.TodaysHits = hits;
    b->templ.TodaysUsers = users;
    std::snprintf(b->templ.Today, sizeof b->templ.Today, "%s", label);
    return b;
  }
  void FreeDay() {
    if (!day_) return;
    FreeReportContext(day_);
    std::free(day_);
    day_ = nullptr;
  }
  static NameTableEntry* Add(AnalysisContext* c, uint32_t table, const char* name) {
    SummaryTableEntry* t = &c->templ.TopTablesPtr[table];
    const uint32_t n = AddNameToTable(t, name);
    EXPECT_NE(n, 0u) << name;
    return n ? t->ItemBlock[n - 1] : nullptr;
  }
  static NameTableEntry* Find(AnalysisContext* c, uint32_t table, const char* name) {
    SummaryTableEntry* t = &c->templ.TopTablesPtr[table];
    uint32_t position = 0;
    if (t->Count == 0 || FindItemPosition(name, t, 0, &position) != 1) return nullptr;
    return t->ItemBlock[t->SortIndex[position]];
  }
  int Merge(uint32_t dayIndex, int partial = 0, uint32_t firstSlot = 0, uint32_t dayStart = 0) {
    return MergeReportDatabases(run_, day_, dayIndex, 0, 100, partial, 0, firstSlot, dayStart);
  }

  AnalysisContext* a_ = nullptr;
  ReportHandle* day_ = nullptr;
};

TEST_F(MergeTest, DaysOfAWeekAddUp) {
  SetMergedRangeSlotsFor(a_, kMonday, kMonday + 7 * 86400 - 1);
  ASSERT_EQ(a_->slotCount, 7);
  struct DayCase {
    uint32_t index;
    uint32_t hits, users;
    const char* label;
  } days[] = {
      {0, 10, 4, "Mon"},  // weekday
      {5, 0, 0, "Sat"},   // weekend, no hits: never the quietest
      {6, 3, 1, "Sun"},   // weekend
  };
  for (const DayCase& d : days) {
    AnalysisContext* b = Day(kMonday + d.index * 86400, d.hits, d.users, d.label);
    for (int s = 0; s < 24; ++s) {
      b->templ.SlotHits[s] = d.hits;
      b->templ.SlotBytes[s] = 0.5;
    }
    b->templ.Failed404 = 2;
    b->templ.FormHits = 1;
    NameTableEntry* page = Add(b, kTopDocuments, d.index == 6 ? "/INDEX.htm" : "/index.htm");
    page->TotalByHits = d.hits;
    page->SlotHits[3] = d.hits;
    page->TotalBytes = 1.25;
    page->TimeOnPages = 30;
    page->TimeOnPagesCount = 1;
    NameTableEntry* word = Add(b, kTopSearchKeywords, "widgets");
    word->TotalByHits = 1;
    SearchItemRef ref{word->String, &word->TopNamesCount, &word->TopNames};
    FindSearchKeywordItem(ref, "Finder")->hits = 2;
    ASSERT_EQ(Merge(d.index), 1);
  }
  const TemplateRecord& t = a_->templ;
  EXPECT_EQ(t.ClosedDays, 3u);
  EXPECT_EQ(t.WeekdayCount, 1u);
  EXPECT_EQ(t.WeekdayHits, 10u);
  EXPECT_EQ(t.WeekdayUsers, 4u);
  EXPECT_EQ(t.WeekendCount, 2u);
  EXPECT_EQ(t.WeekendHits, 3u);
  EXPECT_EQ(t.MostHits, 10u);
  EXPECT_STREQ(t.MostHitsDay, "Mon");
  EXPECT_EQ(t.FewestHits, 3u);
  EXPECT_STREQ(t.FewestHitsDay, "Sun");
  EXPECT_EQ(t.FewestUsers, 1u);
  EXPECT_STREQ(t.FewestUsersDay, "Sun");
  // A day's 24 hours land in the day's slot.
  EXPECT_EQ(t.SlotHits[0], 240u);
  EXPECT_EQ(t.SlotHits[5], 0u);
  EXPECT_EQ(t.SlotHits[6], 72u);
  EXPECT_DOUBLE_EQ(t.SlotBytes[0], 12.0);
  EXPECT_EQ(t.Failed404, 6u);
  EXPECT_EQ(t.FormHits, 3u);
  // Items of the same name (any case) are one item.
  EXPECT_EQ(a_->templ.TopTablesPtr[kTopDocuments].Count, 1u);
  NameTableEntry* page = Find(a_, kTopDocuments, "/index.htm");
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->TotalByHits, 13u);
  EXPECT_EQ(page->SlotHits[0], 10u);
  EXPECT_EQ(page->SlotHits[6], 3u);
  EXPECT_DOUBLE_EQ(page->TotalBytes, 3.75);
  EXPECT_EQ(page->TimeOnPages, 90u);
  NameTableEntry* word = Find(a_, kTopSearchKeywords, "widgets");
  ASSERT_NE(word, nullptr);
  ASSERT_EQ(word->TopNamesCount, 1u);
  EXPECT_EQ(word->Details()[0]->hits, 6u);
}

TEST_F(MergeTest, HourlyRangeStartingInsideTheFirstDay) {
  // Range from 05:00 on Monday for 24 hours.
  SetMergedRangeSlotsFor(a_, kMonday + 5 * 3600, kMonday + 29 * 3600 - 1);
  ASSERT_EQ(a_->slotCount, 24);
  AnalysisContext* b = Day(kMonday, 1, 1, "Mon");
  for (int s = 0; s < 24; ++s) b->templ.SlotHits[s] = 100 + s;
  uint32_t first = 0;
  CountSlotsBeforeStart(a_, b, &first);
  ASSERT_EQ(first, 5u);
  ASSERT_EQ(Merge(0, 1, first), 1);
  b = Day(kMonday + 86400, 1, 1, "Tue");
  for (int s = 0; s < 24; ++s) b->templ.SlotHits[s] = 200 + s;
  ASSERT_EQ(Merge(1, 0, first), 1);
  const TemplateRecord& t = a_->templ;
  EXPECT_EQ(t.SlotHits[0], 105u);   // Monday 05:00
  EXPECT_EQ(t.SlotHits[18], 123u);  // Monday 23:00
  EXPECT_EQ(t.SlotHits[19], 200u);  // Tuesday 00:00
  EXPECT_EQ(t.SlotHits[23], 204u);  // Tuesday 04:00
  EXPECT_EQ(t.SlotHits[24], 0u);    // outside the range

  // Without the partial-first-day flag B's slots count from slot 0.
  b = Day(kMonday, 1, 1, "Mon");
  b->templ.SlotHits[0] = 7;
  ASSERT_EQ(Merge(0, 0, first), 1);
  EXPECT_EQ(t.SlotHits[0], 112u);
}

TEST_F(MergeTest, BigTablesAndSingleItemSectionsAreSwitchedOff) {
  SetMergedRangeSlotsFor(a_, kMonday, kMonday + 86399);
  ResetSectionTable(1);
  // A's TopUsers already holds more than the cutoff.
  char name[32];
  for (uint32_t i = 0; i <= BigTableCutoff(); ++i) {
    std::snprintf(name, sizeof name, "user%05u", i);
    Add(a_, kTopUsers, name);
  }
  AnalysisContext* b = Day(kMonday, 5, 1, "Mon");
  Add(b, kTopUsers, "Others")->Overflow = 1;
  Add(b, kTopUsers, "newcomer");
  Add(b, kTopCompanies, "Others")->Overflow = 1;
  Add(b, kTopCompanies, "Example Inc");
  Add(b, kTopReferers, "http://www.other.org/");
  Add(b, kTopBrowsers, "Browser A");
  Add(b, kTopBrowsers, "Browser B");
  ASSERT_EQ(Merge(0), 1);
  EXPECT_EQ(Find(a_, kTopUsers, "newcomer"), nullptr);
  EXPECT_EQ(GetSectionTable()[kTopUsers].used, 0u);
  EXPECT_EQ(GetSectionTable()[kTopUsers].empty, 1u);
  // TopCompanies takes B's items but not B's overflow item; it gets an
  // overflow item of its own, as B has one.
  const SummaryTableEntry& companies = a_->templ.TopTablesPtr[kTopCompanies];
  ASSERT_EQ(companies.Count, 2u);
  EXPECT_EQ(companies.ItemBlock[0]->Overflow, 1u);
  EXPECT_NE(Find(a_, kTopCompanies, "Example Inc"), nullptr);

  SetMergedSectionFlags(run_);
  const SectionTableEntry* sections = GetSectionTable();
  EXPECT_EQ(sections[kTopUsers].used, 0u);
  EXPECT_EQ(sections[kTopReferers].used, 0u);  // one item
  EXPECT_EQ(sections[kTopReferers].empty, 1u);
  EXPECT_EQ(sections[kTopBrowsers].used, 1u);
  EXPECT_EQ(sections[kTopBrowsers].empty, 0u);
  EXPECT_EQ(sections[kTopCompanies].used, 1u);
  EXPECT_EQ(sections[kTopHours].used, 0u);  // nothing in it
  EnableAllSections();
  EXPECT_EQ(sections[kTopUsers].used, 1u);
  EXPECT_EQ(sections[kTopUsers].empty, 1u);
}

TEST_F(MergeTest, CancelStopsBetweenTables) {
  SetMergedRangeSlotsFor(a_, kMonday, kMonday + 86399);
  AnalysisContext* b = Day(kMonday, 5, 1, "Mon");
  Add(b, kTopWeekdays, "Mon");
  Add(b, kTopDocuments, "/index.htm");
  static int calls = 0;
  calls = 0;
  g_engine.percentCallback = [](uint32_t) -> int32_t { return ++calls < 3 ? 1 : 0; };
  EXPECT_EQ(Merge(0), 0);
  EXPECT_EQ(calls, 3);
  EXPECT_NE(Find(a_, kTopWeekdays, "Mon"), nullptr);
  EXPECT_EQ(Find(a_, kTopDocuments, "/index.htm"), nullptr);
}

TEST_F(MergeTest, VisitPathsFollowThePagesOfTheReport) {
  SetMergedRangeSlotsFor(a_, kMonday, kMonday + 2 * 86400 - 1);
  // The report already knows /b.htm (item 0) and the form /g.pl (item 0).
  Add(a_, kTopDocuments, "/b.htm");
  Add(a_, kTopForms, "/g.pl");
  AnalysisContext* b = Day(kMonday, 5, 1, "Mon");
  Add(b, kTopDocuments, "/a.htm");  // B 0 -> A 1
  Add(b, kTopDocuments, "/B.htm");  // B 1 -> A 0
  Add(b, kTopForms, "/f.pl");       // B form 0 -> A form 1
  // Visit: /a.htm, /f.pl, /B.htm, /a.htm.
  Add(b, kTopPaths, "00000000000100000000000100000000")->TotalByHits = 1;
  ASSERT_EQ(Merge(0), 1);
  EXPECT_NE(Find(a_, kTopPaths, "00000001000100010000000000000001"), nullptr);
  EXPECT_EQ(a_->templ.TopTablesPtr[kTopPaths].Count, 1u);
}

// A day's visitors table without an overflow item (a summary's table has
// none): its item 0 is a visitor like any other and is merged.
TEST_F(MergeTest, TheFirstVisitorOfADayIsMerged) {
  SetMergedRangeSlotsFor(a_, kMonday, kMonday + 86399);
  for (uint32_t table : {kTopUsers, kTopCompanies}) {
    SCOPED_TRACE(table);
    AnalysisContext* b = Day(kMonday, 5, 1, "Mon");
    Add(b, table, "first.example.net")->TotalByHits = 7;
    Add(b, table, "second.example.net")->TotalByHits = 2;
    ASSERT_EQ(Merge(0), 1);
    const NameTableEntry* first = Find(a_, table, "first.example.net");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->TotalByHits, 7u);
    // Without an overflow item in the day, the merged table has none.
    EXPECT_EQ(a_->templ.TopTablesPtr[table].ItemBlock[0]->Overflow, 0u);
    EXPECT_NE(Find(a_, table, "second.example.net"), nullptr);
  }
}

}  // namespace
}  // namespace vrn
