#include "engine/database/table_accessors.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/database/finishing.h"
#include "engine/database/item_tables.h"
#include "engine/database/item_tables_test_support.h"

namespace vrn {
namespace {

using testing_support::Item;
using testing_support::TestAnalysis;

constexpr uint32_t kFri = 1709251200;  // 2024-03-01 00:00

// A sorted table: "Alpha" 9 hits, "beta" 5, "Gamma" 1 (accumulated in the
// order Gamma, Alpha, beta).
struct SortedTable {
  SummaryTableEntry t;
  SortedTable() {
    InitTableDescriptor(&t);
    struct {
      const char* name;
      uint32_t hits, users, nonCached, onPages, intervals;
      double bytes;
    } items[] = {{"Gamma", 1, 1, 1, 100, 0, 10.0}, {"Alpha", 9, 2, 7, 100, 3, 1000.5}, {"beta", 5, 4, 5, 0, 4, 20.0}};
    for (auto& i : items) {
      NameTableEntry* e = Item(&t, AddNameToTable(&t, i.name) - 1);
      e->TotalByHits = i.hits;
      e->SlotHits[31] = i.hits;
      e->TotalByUsers = i.users;
      e->SlotUsers[0] = i.users;
      e->NonCachedTotalByHits = i.nonCached;
      e->TimeOnPages = i.onPages;
      e->TimeOnPagesCount = i.intervals;
      e->TotalBytes = i.bytes;
    }
    SortTable(&t, kSortByHits);
  }
  ~SortedTable() { FreeItemTable(&t); }
};

TEST(TableAccessors, RanksFromStartAndFromEnd) {
  SortedTable s;
  struct Case {
    int fromEnd;
    uint16_t rank;
    const char* name;
    uint32_t hits, users, nonCached, average;
    double bytes;
  } cases[] = {
      {0, 0, "Alpha", 9, 2, 7, 33, 1000.5}, {0, 2, "Gamma", 1, 1, 1, 0, 10.0},
      {1, 0, "Gamma", 1, 1, 1, 0, 10.0},    {1, 1, "beta", 5, 4, 5, 0, 20.0},
      {0, 3, "", 0, 0, 0, 0, 0.0},          {1, 3, "", 0, 0, 0, 0, 0.0},
      {2, 0, "Alpha", 9, 2, 7, 33, 1000.5},  // any flag but 1 counts from the start
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "from end " << c.fromEnd << " rank " << c.rank);
    char name[32] = "junk";
    GetItemName(&s.t, c.fromEnd, c.rank, name, sizeof name);
    EXPECT_STREQ(name, c.name);
    EXPECT_EQ(GetItemHits(&s.t, c.fromEnd, c.rank), c.hits);
    EXPECT_EQ(GetItemSlotHits(&s.t, c.fromEnd, c.rank, 31), c.hits);
    EXPECT_EQ(GetItemUsers(&s.t, c.fromEnd, c.rank), c.users);
    EXPECT_EQ(GetItemSlotUsers(&s.t, c.fromEnd, c.rank, 0), c.users);
    EXPECT_EQ(GetItemNonCachedHits(&s.t, c.fromEnd, c.rank), c.nonCached);
    EXPECT_EQ(GetItemAverageTime(&s.t, c.fromEnd, c.rank), c.average);
    EXPECT_EQ(GetItemBytes(&s.t, c.fromEnd, c.rank), c.bytes);
  }
  EXPECT_EQ(GetItemSlotHits(&s.t, 0, 0, 32), 0u);  // no slot 32
  char small[4];
  GetItemName(&s.t, 0, 0, small, sizeof small);
  EXPECT_STREQ(small, "Alp");
  EXPECT_EQ(GetTableItemsAt(&s.t, 2), s.t.ItemBlock);
  EXPECT_EQ(GetTableItemsAt(&s.t, 3), nullptr);

  SummaryTableEntry empty;
  InitTableDescriptor(&empty);
  char name[8] = "junk";
  GetItemName(&empty, 0, 0, name, sizeof name);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(GetItemHits(&empty, 1, 0), 0u);
  EXPECT_EQ(SumTableHits(&empty, 10, 0), 0u);
  EXPECT_EQ(GetItemHitsByName(&empty, "Alpha"), 0u);
}

TEST(TableAccessors, SumsOverHalfOpenClippedRanges) {
  SortedTable s;
  struct Case {
    uint32_t to, from;
    uint32_t hits, users;
    double bytes;
  } cases[] = {
      {10, 0, 15, 7, 1030.5}, {3, 0, 15, 7, 1030.5}, {2, 1, 5, 4, 20.0},
      {1, 2, 0, 0, 0.0},      {2, 2, 0, 0, 0.0},     {20, 5, 0, 0, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.from << ".." << c.to);
    EXPECT_EQ(SumTableHits(&s.t, c.to, c.from), c.hits);
    EXPECT_EQ(SumTableUsers(&s.t, c.to, c.from), c.users);
    EXPECT_EQ(SumTableBytes(&s.t, c.to, c.from), c.bytes);
  }
}

TEST(TableAccessors, CountersByNameAreCaseInsensitive) {
  SortedTable s;
  EXPECT_EQ(GetItemHitsByName(&s.t, "ALPHA"), 9u);
  EXPECT_EQ(GetItemUsersByName(&s.t, "Beta"), 4u);
  EXPECT_EQ(GetItemHitsByName(&s.t, "delta"), 0u);
  // Sums of another table's counters by the names of a range.
  SummaryTableEntry other;
  InitTableDescriptor(&other);
  Item(&other, AddNameToTable(&other, "alpha") - 1)->TotalByHits = 100;
  Item(&other, AddNameToTable(&other, "GAMMA") - 1)->TotalByUsers = 30;
  EXPECT_EQ(SumHitsByNames(&s.t, 3, 0, &other), 100u);
  EXPECT_EQ(SumUsersByNames(&s.t, 3, 0, &other), 30u);
  EXPECT_EQ(SumUsersByNames(&s.t, 2, 0, &other), 0u);  // Gamma is rank 2
  FreeItemTable(&other);
}

TEST(TableAccessors, RenumberRecordsArrayPositions) {
  SortedTable s;
  RenumberItems(&s.t);
  for (uint32_t i = 0; i < s.t.Count; ++i) EXPECT_EQ(s.t.ItemBlock[i]->OriginalIndex, i);
  EXPECT_EQ(BigTableCutoff(), 10000u);
}

// Pages of tables 7 and 5 for path texts, numbered and sorted.
struct PathFixture {
  TestAnalysis a;
  SummaryTableEntry paths;
  explicit PathFixture(const std::vector<std::string>& documents) {
    InitTableDescriptor(&paths);
    for (const auto& d : documents) AddNameToTable(a.Table(kTopDocuments), d.c_str());
    AddNameToTable(a.Table(kTopForms), "/order.cgi");
    Item(a.Table(kTopDocuments), 0)->TotalByHits = 1;  // sorting moves it last
    SortAllTables(a.ctx, 0);
  }
  ~PathFixture() { FreeItemTable(&paths); }
  std::string Text(const char* trail) {
    char text[kPathTextBuffer];
    GetItemPathText(a.ctx, &paths, 0, static_cast<uint16_t>(AddNameToTable(&paths, trail) - 1), text, sizeof text);
    return text;
  }
};

TEST(TableAccessors, PathTextListsThePagesOfATrail) {
  PathFixture f({"/index.html", "/news.html", "/about.html"});
  struct Case {
    const char* trail;
    const char* text;
  } cases[] = {
      {"00000000", "/index.html"},
      {"000000020000000000010000", "/about.html\r\n/index.html\r\n/order.cgi"},
      {"000000010000000900000000", "/news.html"},          // the second page does not exist: the text ends
      {"00000001000", "/news.html"},                        // a partial group is ignored
      {"0000000x00000001", ""},                             // not a number
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(f.Text(c.trail), c.text) << c.trail;
  char tiny[8];
  GetItemPathText(f.a.ctx, &f.paths, 0, 0, tiny, sizeof tiny);  // cut to the caller's buffer
  EXPECT_EQ(std::strlen(tiny), 7u);
}

TEST(TableAccessors, PathTextStopsBeforeThePageThatPassesTheLimit) {
  std::vector<std::string> pages;
  for (char c = 'a'; c < 'f'; ++c) pages.push_back("/" + std::string(999, c));  // 1000 characters each
  pages.push_back("/" + std::string(1999, 'z'));                                // cut to 1023
  PathFixture f(pages);
  // Four pages: 4 x 1000 + 3 x 2 = 4006; a fifth would pass 4090.
  std::string text = f.Text("0000000000000001000000020000000300000004");
  EXPECT_EQ(text.size(), 4006u);
  EXPECT_EQ(text.substr(text.size() - 3), "ddd");
  EXPECT_EQ(f.Text("00000005").size(), 1023u);
}

TEST(TableAccessors, SlotAndPeriodLabels) {
  TestAnalysis a;
  a.SetScales({{"Day", 24, 3600, "%H:%M", "%d %b %Y"}});
  a.ctx->slotCount = 24;
  a.ctx->secondsPerSlot = 3600;
  a.ctx->reportStart = kFri + 10 * 3600 + 900;
  a.ctx->slotOrigin = kFri;
  a.ctx->reportEnd = kFri + 86400 + 3599;
  char label[kSlotLabelSize] = "junk";
  struct {
    uint16_t slot;
    int result;
    const char* text;
  } cases[] = {{0, 1, "10:15"}, {3, 1, "03:00"}, {23, 1, "23:00"}, {24, 0, ""}};
  for (auto c : cases) {
    EXPECT_EQ(FormatSlotLabel(a.ctx, c.slot, label, sizeof label), c.result);
    EXPECT_STREQ(label, c.text);
  }
  char period[100];
  EXPECT_EQ(FormatPeriodLabel(a.ctx, period, sizeof period), 1);
  EXPECT_STREQ(period, "01 Mar 2024 - 02 Mar 2024 (Day)");
  // A scale index the options do not hold gives no label.
  a.ctx->intervalScaleIndex = 5;
  EXPECT_EQ(FormatSlotLabel(a.ctx, 0, label, sizeof label), 0);
  EXPECT_EQ(FormatPeriodLabel(a.ctx, period, sizeof period), 0);
  EXPECT_STREQ(period, "");
}

}  // namespace
}  // namespace vrn
