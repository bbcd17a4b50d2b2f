#include "engine/database/item_tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/database/item_tables_test_support.h"
#include "platform/base/memory.h"

namespace vrn {
namespace {

using testing_support::IndexNames;
using testing_support::Item;
using testing_support::TestAnalysis;

constexpr uint32_t kIdle = 1800;

// A timed add as the per-hit code makes it for an expiring table.
uint32_t AddTimed(TestAnalysis& a, SummaryTableEntry* t, const char* name, uint32_t time, uint32_t maxTop,
                  uint32_t* isNew = nullptr, const char* newName = nullptr) {
  return AddTimedItemToTable(0, isNew, a.ctx, t, name, newName, time, kIdle, 4000, maxTop);
}

bool IndexSorted(const SummaryTableEntry* t) {
  // Position 0 of an expiring table is the overflow item, outside the order.
  uint32_t first = (t->Count && t->ItemBlock[0]->Overflow) ? 1 : 0;
  for (uint32_t p = first + 1; p < t->Count; ++p) {
    if (CompareItemNames(t->ItemBlock[t->SortIndex[p - 1]]->String, t->ItemBlock[t->SortIndex[p]]->String) > 0)
      return false;
  }
  return true;
}

TEST(ItemNames, CaseInsensitiveOrder) {
  struct Case {
    const char* a;
    const char* b;
    int expected;
  } cases[] = {
      {"abc", "ABC", 0}, {"Abc", "abd", -1}, {"b", "A", 1}, {"ab", "abc", -1},
      {"Z", "_", 1},     // 'z' (0x7a) sorts after '_' (0x5f), so "Z" does too
      {"\xe9", "z", 1},  // bytes above 0x7f compare unsigned
      {"", "", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(CompareItemNames(c.a, c.b), c.expected) << c.a << " vs " << c.b;
}

TEST(ItemTables, NamesDifferingInCaseAreOneItemKeepingTheFirstSpelling) {
  SummaryTableEntry t;
  InitTableDescriptor(&t);
  uint32_t first = AddNameToTable(&t, "Mozilla");
  EXPECT_EQ(AddNameToTable(&t, "MOZILLA"), first);
  EXPECT_EQ(AddNameToTable(&t, "mozilla"), first);
  EXPECT_EQ(t.Count, 1u);
  EXPECT_STREQ(Item(&t, first - 1)->String, "Mozilla");
  FreeItemTable(&t);
}

TEST(ItemTables, IndexStaysInNameOrderAndEveryNameIsFoundAgain) {
  SummaryTableEntry t;
  InitTableDescriptor(&t);
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) names.push_back("/page" + std::to_string(i * 7919 % 1000) + (i % 2 ? ".HTML" : ".html"));
  std::mt19937 rng(7);
  std::shuffle(names.begin(), names.end(), rng);
  std::vector<uint32_t> numbers;
  for (const auto& n : names) numbers.push_back(AddNameToTable(&t, n.c_str()));
  EXPECT_EQ(t.Count, 300u);
  EXPECT_TRUE(IndexSorted(&t));
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(AddNameToTable(&t, names[i].c_str()), numbers[i]) << names[i];
    uint32_t pos = 0;
    ASSERT_EQ(FindItemPosition(names[i].c_str(), &t, 0, &pos), 1);
    EXPECT_EQ(t.SortIndex[pos] + 1, numbers[i]);
  }
  uint32_t pos = 0;
  EXPECT_EQ(FindItemPosition("/page5000.html", &t, 0, &pos), 0);  // not there: insert position
  ASSERT_GT(pos, 0u);
  ASSERT_LT(pos, t.Count);
  EXPECT_LT(CompareItemNames(Item(&t, t.SortIndex[pos - 1])->String, "/page5000.html"), 0);
  EXPECT_GT(CompareItemNames(Item(&t, t.SortIndex[pos])->String, "/page5000.html"), 0);
  FreeItemTable(&t);
}

TEST(ItemTables, ArraysGrowFrom102AndFromAStoredChunkOf100) {
  SummaryTableEntry t;
  InitTableDescriptor(&t);
  char name[32];
  for (int i = 0; i < 102; ++i) {
    std::snprintf(name, sizeof name, "n%04d", i);
    ASSERT_NE(AddNameToTable(&t, name), 0u);
  }
  EXPECT_EQ(t.ChunkSize, 102u);
  EXPECT_EQ(AddNameToTable(&t, "n0102"), 103u);
  EXPECT_EQ(t.ChunkSize, 204u);
  EXPECT_EQ(t.Items, t.ItemBlock);
  FreeItemTable(&t);

  // A table that holds 100 items in arrays of 100 (as stored by an older
  // writer) grows to 204 entries with the 101st.
  InitTableDescriptor(&t);
  for (int i = 0; i < 100; ++i) {
    std::snprintf(name, sizeof name, "n%04d", i);
    ASSERT_NE(AddNameToTable(&t, name), 0u);
  }
  t.ChunkSize = 100;
  EXPECT_EQ(AddNameToTable(&t, "n0100"), 101u);
  EXPECT_EQ(t.ChunkSize, 204u);
  EXPECT_TRUE(IndexSorted(&t));
  FreeItemTable(&t);
}

TEST(ItemTables, ExpiringTableStartsWithOthersAtPositionZero) {
  TestAnalysis a;
  SummaryTableEntry* t = a.Table(kTopCompanies);
  uint32_t isNew = 0;
  uint32_t n = AddTimed(a, t, "Aardvark Inc", 1000, 0, &isNew);
  EXPECT_EQ(isNew, 1u);
  EXPECT_EQ(n, 2u);  // item 1; item 0 is the overflow item
  EXPECT_EQ(t->Count, 2u);
  EXPECT_EQ(t->ChunkSize, 102u);
  NameTableEntry* others = Item(t, 0);
  EXPECT_STREQ(others->String, "Everything else");
  EXPECT_EQ(others->Overflow, 1u);
  EXPECT_EQ(others->LastDateTime, 0xFFFFFFFFu);
  EXPECT_EQ(t->SortIndex[0], 0u);
  EXPECT_EQ(t->SortIndex[1], 1u);  // "Aardvark" sorts before "Everything" but goes after it
  EXPECT_EQ(t->DateListHead, 1u);
  EXPECT_EQ(t->DateListTail, 1u);
  // A name equal to the overflow item's is an item of its own.
  EXPECT_EQ(AddTimed(a, t, "everything else", 1000, 0), 3u);
}

TEST(ItemTables, ItemIdleExactlyTheLimitStaysOneSecondMoreExpires) {
  TestAnalysis a;
  SummaryTableEntry* t = a.Table(kTopUsers);
  uint32_t host = AddTimed(a, t, "host.example", 1000, 0) - 1;
  Item(t, host)->TotalByHits = 4;
  Item(t, host)->SlotHits[3] = 4;
  Item(t, host)->TotalBytes = 512.0;
  AddTimed(a, t, "other.example", 1000 + kIdle, 0);
  EXPECT_EQ(t->Count, 3u);
  EXPECT_EQ(t->DeleteCount, 0u);

  // One second more: host.example folds into the overflow item and its
  // record waits on the freed chain; other.example (last hit 2800) stays.
  uint32_t isNew = 0;
  uint32_t reused = AddTimed(a, t, "new.example", 1000 + kIdle + 1, 0, &isNew) - 1;
  EXPECT_EQ(isNew, 1u);
  EXPECT_EQ(reused, host);  // the freed record is taken again at once
  EXPECT_EQ(t->Count, 3u);
  EXPECT_EQ(t->DeleteCount, 0u);
  EXPECT_EQ(Item(t, 0)->TotalByHits, 4u);
  EXPECT_EQ(Item(t, 0)->SlotHits[3], 4u);
  EXPECT_EQ(Item(t, 0)->TotalBytes, 512.0);
  EXPECT_STREQ(Item(t, reused)->String, "new.example");
  EXPECT_EQ(Item(t, reused)->TotalByHits, 0u);
  EXPECT_EQ(Item(t, reused)->Deleted, 0u);
  EXPECT_EQ(Item(t, reused)->SizeWord, kNameTableEntrySize);
  EXPECT_EQ(IndexNames(t), (std::vector<std::string>{"Everything else", "new.example", "other.example"}));
}

TEST(ItemTables, FreedRecordsKeepTheirSizeWordsAndChainInOrder) {
  TestAnalysis a;
  SummaryTableEntry* t = a.Table(kTopUsers);
  AddTimed(a, t, "a", 100, 0);
  AddTimed(a, t, "b", 200, 0);
  AddTimed(a, t, "c", 300, 0);
  // "d" at 2050 expires a (100) and b (200) but not c (300).
  AddTimed(a, t, "d", 2050, 0);
  EXPECT_EQ(t->Count, 3u);           // others, c, d
  EXPECT_EQ(t->DeleteCount, 1u);     // d took b's record (freed last), a's waits
  EXPECT_STREQ(Item(t, 2)->String, "d");
  EXPECT_EQ(t->DeleteListHead, 1u);
  NameTableEntry* freed = Item(t, 1);
  EXPECT_EQ(freed->Deleted, 1u);
  EXPECT_EQ(freed->String, nullptr);
  EXPECT_EQ(freed->SizeWord, kNameTableEntrySize);
  EXPECT_EQ(freed->FormatWord, kRecordFormat);
  EXPECT_EQ(freed->PrevLink, kNoItem);
}

TEST(ItemTables, DateListIsOrderedNewestFirst) {
  TestAnalysis a;
  SummaryTableEntry* t = a.Table(kTopUsers);
  AddTimed(a, t, "m", 500, 0);   // 1
  AddTimed(a, t, "n", 700, 0);   // 2
  AddTimed(a, t, "o", 600, 0);   // 3: older than n, newer than m
  AddTimed(a, t, "p", 700, 0);   // 4: as new as n, goes after it
  AddTimed(a, t, "m", 800, 0);   // m moves to the head
  std::vector<uint32_t> order;
  for (uint32_t n = t->DateListHead; n != kNoItem; n = Item(t, n)->NextLink) order.push_back(n);
  EXPECT_EQ(order, (std::vector<uint32_t>{1, 2, 4, 3}));
  std::vector<uint32_t> back;
  for (uint32_t n = t->DateListTail; n != kNoItem; n = Item(t, n)->PrevLink) back.push_back(n);
  EXPECT_EQ(back, (std::vector<uint32_t>{3, 4, 2, 1}));
  // An older hit does not move an item back.
  AddTimed(a, t, "n", 650, 0);
  EXPECT_EQ(Item(t, 2)->LastDateTime, 700u);
}

TEST(ItemTables, ReturningRetiredVisitorGetsALiveTwinThatFoldsBack) {
  TestAnalysis a;
  SummaryTableEntry* t = a.Table(kTopCompanies);
  uint32_t first = AddTimed(a, t, "example.com", 1000, 500) - 1;
  Item(t, first)->TotalByHits = 3;
  // Expired at 3000: retired into the top list, keeping its index entry.
  AddTimed(a, t, "filler.net", 3000, 500);
  EXPECT_EQ(Item(t, first)->TopFlag, 1u);
  EXPECT_EQ(t->TopCount, 1u);
  EXPECT_EQ(t->TopTableListHead, first);
  // The visitor returns: a new live item right after the retired one.
  uint32_t isNew = 0;
  uint32_t twin = AddTimed(a, t, "EXAMPLE.COM", 3100, 500, &isNew) - 1;
  EXPECT_EQ(isNew, 1u);
  EXPECT_NE(twin, first);
  EXPECT_EQ(IndexNames(t), (std::vector<std::string>{"Everything else", "example.com", "EXAMPLE.COM", "filler.net"}));
  EXPECT_EQ(AddTimed(a, t, "example.com", 3200, 500) - 1, twin);  // the live twin answers
  Item(t, twin)->TotalByHits = 2;
  // The twin expires too: its counters fold into the retired item.
  // Its record is then taken by the new item.
  EXPECT_EQ(AddTimed(a, t, "late.org", 3200 + kIdle + 1, 500) - 1, twin);
  EXPECT_EQ(Item(t, first)->TotalByHits, 5u);
  EXPECT_EQ(t->DeleteCount, 0u);
  EXPECT_EQ(t->TopCount, 2u);  // filler.net retired as well
  EXPECT_TRUE(IndexSorted(t));
  EXPECT_EQ(IndexNames(t), (std::vector<std::string>{"Everything else", "example.com", "filler.net", "late.org"}));
}

TEST(ItemTables, FullTopListEvictsTheRetiredItemWithFewestHits) {
  TestAnalysis a;
  SummaryTableEntry* t = a.Table(kTopCompanies);
  // maxTop 3: at most 2 retired items.
  uint32_t x = AddTimed(a, t, "x", 100, 3) - 1;
  uint32_t y = AddTimed(a, t, "y", 200, 3) - 1;
  uint32_t z = AddTimed(a, t, "z", 300, 3) - 1;
  Item(t, x)->TotalByHits = 5;
  Item(t, y)->TotalByHits = 1;
  Item(t, z)->TotalByHits = 9;
  Item(t, y)->SlotUsers[2] = 1;
  Item(t, y)->TotalByUsers = 1;
  AddTimed(a, t, "w", 2050, 3);  // retires x and y
  EXPECT_EQ(t->TopCount, 2u);
  AddTimed(a, t, "w", 2150, 3);  // retires z: y (1 hit) is evicted into the overflow item
  EXPECT_EQ(t->TopCount, 2u);
  EXPECT_EQ(Item(t, y)->Deleted, 1u);
  EXPECT_EQ(t->DeleteListHead, y);
  EXPECT_EQ(Item(t, 0)->TotalByHits, 1u);
  EXPECT_EQ(Item(t, 0)->SlotUsers[2], 1u);
  EXPECT_EQ(t->TopTableListHead, z);
  EXPECT_EQ(t->TopTableListTail, x);
  EXPECT_EQ(IndexNames(t), (std::vector<std::string>{"Everything else", "w", "x", "z"}));
}

// A long run of expiries against a model of the top list: each retired item
// goes to the head; a full list gives up the item with the fewest hits, the
// one nearest the head on a tie; a returning name's live twin folds back into
// its retired item. Hits are few, so ties are the rule; retired items also
// gain hits between evictions, and records and names are reused.
TEST(ItemTables, EvictionsFollowTheWalkFromTheHeadThroughTiesAndGrowingHits) {
  struct Retired {
    std::string name;
    uint32_t hits;
  };
  for (uint32_t maxTop : {2u, 3u, 9u, 40u}) {
    SCOPED_TRACE("maxTop " + std::to_string(maxTop));
    TestAnalysis a;
    SummaryTableEntry* t = a.Table(kTopCompanies);
    std::mt19937 rng(maxTop);
    std::vector<Retired> model;  // head first
    std::string liveName;
    uint32_t liveItem = kNoItem;
    for (uint32_t step = 0; step < 3000; ++step) {
      std::string name = "n" + std::to_string(step);
      if (!model.empty() && rng() % 4 == 0) name = model[rng() % model.size()].name;
      // One idle limit later: the live item expires on this add.
      const uint32_t time = 1000 + step * (kIdle + 1);
      if (liveItem != kNoItem) {
        const uint32_t hits = Item(t, liveItem)->TotalByHits;
        auto twin = std::find_if(model.begin(), model.end(), [&](const Retired& r) { return r.name == liveName; });
        if (twin != model.end()) {
          twin->hits += hits;
        } else {
          if (model.size() + 1 >= maxTop) {
            auto victim = model.begin();
            for (auto it = model.begin(); it != model.end(); ++it) {
              if (it->hits < victim->hits) victim = it;
            }
            model.erase(victim);
          }
          model.insert(model.begin(), Retired{liveName, hits});
        }
      }
      uint32_t isNew = 0;
      const uint32_t found = AddTimed(a, t, name.c_str(), time, maxTop, &isNew);
      ASSERT_NE(found, 0u);
      EXPECT_EQ(isNew, 1u);
      liveItem = found - 1;
      liveName = name;
      Item(t, liveItem)->TotalByHits = rng() % 3;
      if (!model.empty() && rng() % 5 == 0) {
        Retired& r = model[rng() % model.size()];
        ++r.hits;
        bool bumped = false;
        for (uint32_t n = t->TopTableListHead; n != kNoItem; n = Item(t, n)->NextLink) {
          if (Item(t, n)->String == r.name) {
            ++Item(t, n)->TotalByHits;
            bumped = true;
            break;
          }
        }
        ASSERT_TRUE(bumped);
      }
      std::vector<std::string> want, got;
      for (const Retired& r : model) want.push_back(r.name + ":" + std::to_string(r.hits));
      for (uint32_t n = t->TopTableListHead; n != kNoItem; n = Item(t, n)->NextLink) {
        ASSERT_LE(got.size(), model.size());
        got.push_back(std::string(Item(t, n)->String) + ":" + std::to_string(Item(t, n)->TotalByHits));
      }
      ASSERT_EQ(got, want) << "step " << step;
      ASSERT_EQ(t->TopCount, model.size());
      ASSERT_EQ(AddTimed(a, t, name.c_str(), time, maxTop) - 1, liveItem);  // found again by its name
    }
    EXPECT_TRUE(IndexSorted(t));
  }
}

TEST(ItemTables, MaxTopOfOneKeepsNoTopList) {
  // A limit of 1 leaves no room for a retired item: expired items fold into
  // the overflow item as with no top list, and every call succeeds.
  for (uint32_t maxTop : {0u, 1u}) {
    SCOPED_TRACE(maxTop);
    TestAnalysis a;
    SummaryTableEntry* t = a.Table(kTopCompanies);
    uint32_t x = AddTimed(a, t, "x", 100, maxTop) - 1;
    Item(t, x)->TotalByHits = 4;
    Item(t, x)->SlotHits[3] = 4;
    // y takes the record that x's folding freed.
    EXPECT_EQ(AddTimed(a, t, "y", 100 + kIdle + 1, maxTop) - 1, x);
    EXPECT_EQ(t->TopCount, 0u);
    EXPECT_EQ(t->TopTableListHead, kNoItem);
    EXPECT_EQ(Item(t, 0)->TotalByHits, 4u);
    EXPECT_EQ(Item(t, 0)->SlotHits[3], 4u);
    EXPECT_EQ(IndexNames(t), (std::vector<std::string>{"Everything else", "y"}));
    // x comes back as a new live item.
    uint32_t isNew = 0;
    const uint32_t again = AddTimed(a, t, "x", 100 + kIdle + 50, maxTop, &isNew);
    ASSERT_NE(again, 0u);
    EXPECT_EQ(isNew, 1u);
    EXPECT_EQ(Item(t, again - 1)->TotalByHits, 0u);
    EXPECT_EQ(IndexNames(t), (std::vector<std::string>{"Everything else", "x", "y"}));
  }
}

TEST(ItemTables, NewNameRenamesTheItemFoundByItsOldName) {
  TestAnalysis a;
  SummaryTableEntry* t = a.Sessions();
  uint32_t visit = AddTimed(a, t, "10.0.0.9", 100, 0) - 1;
  AddTimed(a, t, "10.0.0.1", 100, 0);
  AddTimed(a, t, "zeta", 100, 0);
  Item(t, visit)->TotalByHits = 7;
  uint32_t isNew = 0;
  // The cookie is not known yet: the item found by host takes it as its name.
  EXPECT_EQ(AddTimed(a, t, "10.0.0.9", 200, 0, &isNew, "cookie=abc") - 1, visit);
  EXPECT_EQ(isNew, 0u);
  EXPECT_STREQ(Item(t, visit)->String, "cookie=abc");
  EXPECT_EQ(Item(t, visit)->TotalByHits, 7u);
  EXPECT_TRUE(IndexSorted(t));
  // Later hits find it by the cookie whatever host they come from.
  EXPECT_EQ(AddTimed(a, t, "10.0.0.77", 300, 0, &isNew, "COOKIE=ABC") - 1, visit);
  // An unknown cookie with an unknown host makes an item named by the cookie.
  uint32_t fresh = AddTimed(a, t, "10.0.0.78", 300, 0, &isNew, "cookie=new") - 1;
  EXPECT_EQ(isNew, 1u);
  EXPECT_STREQ(Item(t, fresh)->String, "cookie=new");
  EXPECT_TRUE(IndexSorted(t));
  EXPECT_EQ(t->Count, 5u);
}

// Names alike in their first bytes (host addresses, long paths of one
// folder, spellings that differ only in case, names that are prefixes of
// others, bytes above 0x7f) in an expiring table with a top list: a live
// name is found again as its own item, a name seen before but expired makes
// a new item, and the index stays in name order. The model is a map from
// the folded name to the live item.
TEST(ItemTables, NamesAlikeInTheirFirstBytesAreToldApart) {
  std::vector<std::string> names;
  for (int i = 0; i < 60; ++i) names.push_back("192.168.1." + std::to_string(i));
  for (int i = 0; i < 60; ++i) names.push_back("/products/catalogue/item" + std::to_string(i * 37 % 100) + ".html");
  for (const char* n : {"a", "ab", "abcdefgh", "abcdefghi", "ABCDEFGHIJ", "abcdefgh\xe9", "\xe9\xe9", "ABCDEFGH0"}) {
    names.push_back(n);
  }
  auto folded = [](std::string n) {
    for (char& c : n) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return n;
  };
  for (uint32_t maxTop : {0u, 25u}) {
    SCOPED_TRACE("maxTop " + std::to_string(maxTop));
    TestAnalysis a;
    SummaryTableEntry* t = a.Table(kTopCompanies);
    std::mt19937 rng(11 + maxTop);
    std::map<std::string, std::pair<uint32_t, uint32_t>> live;  // folded name -> item, last time
    uint32_t time = 1000;
    for (int step = 0; step < 6000; ++step) {
      time += rng() % 90;
      std::string name = names[rng() % names.size()];
      if (rng() % 3 == 0) std::transform(name.begin(), name.end(), name.begin(), ::toupper);
      for (auto it = live.begin(); it != live.end();) {
        it = it->second.second + kIdle < time ? live.erase(it) : std::next(it);
      }
      uint32_t isNew = 0;
      const uint32_t found = AddTimed(a, t, name.c_str(), time, maxTop, &isNew);
      ASSERT_NE(found, 0u) << step;
      auto it = live.find(folded(name));
      if (it != live.end()) {
        ASSERT_EQ(isNew, 0u) << name << " step " << step;
        ASSERT_EQ(found - 1, it->second.first) << name << " step " << step;
        it->second.second = time;
      } else {
        ASSERT_EQ(isNew, 1u) << name << " step " << step;
        ASSERT_EQ(folded(Item(t, found - 1)->String), folded(name));
        live[folded(name)] = {found - 1, time};
      }
    }
    EXPECT_TRUE(IndexSorted(t));
  }
}

// Calls that expire items and make a new one: the expiry's removals and the
// new entry land anywhere in the index relative to each other (before, after,
// the same place, the name of an item expiring in that very call, of a
// retired item evicted in it), one or several items expire per call, with and
// without a top list. After each call the index is in name order and holds
// exactly the live and retired items, each live name is found again as its
// item by the plain search and by the per-hit call, and without a top list
// the index is exactly the live names.
TEST(ItemTables, NewItemsAndTheSameCallsExpiriesKeepTheIndexWhole) {
  struct Case {
    uint32_t maxTop;
    uint32_t step;   // seconds between calls: about kIdle / step items live
    uint32_t burst;  // every burst-th call comes this much later
  };
  const Case cases[] = {{0, 30, 0}, {0, 45, 400}, {2, 30, 0}, {25, 30, 0}, {25, 40, 900}};
  for (const Case& c : cases) {
    SCOPED_TRACE("maxTop " + std::to_string(c.maxTop) + " step " + std::to_string(c.step));
    TestAnalysis a;
    SummaryTableEntry* t = a.Table(kTopCompanies);
    std::mt19937 rng(c.maxTop * 31 + c.step);
    std::map<std::string, uint32_t> live;  // name -> last time
    uint32_t time = 1000;
    for (int call = 0; call < 4000; ++call) {
      time += c.step / 2 + rng() % c.step;
      if (c.burst && call % 50 == 49) time += c.burst;
      // Names of a small pool, so that names come back while their items
      // expire, are retired or are evicted.
      const std::string name = "h" + std::to_string(rng() % 150) + ".example";
      for (auto it = live.begin(); it != live.end();) {
        it = it->second + kIdle < time ? live.erase(it) : std::next(it);
      }
      const bool known = live.count(name) != 0;
      uint32_t isNew = 0;
      const uint32_t found = AddTimed(a, t, name.c_str(), time, c.maxTop, &isNew);
      ASSERT_NE(found, 0u) << call;
      ASSERT_EQ(isNew, known ? 0u : 1u) << name << " call " << call;
      live[name] = time;

      ASSERT_TRUE(IndexSorted(t)) << call;
      uint32_t named = 0;
      for (uint32_t n = 1; n < t->Count + t->DeleteCount; ++n) named += Item(t, n)->Deleted ? 0 : 1;
      ASSERT_EQ(t->Count, named + 1) << call;
      std::vector<int> seen(t->Count + t->DeleteCount, 0);
      for (uint32_t p = 0; p < t->Count; ++p) {
        ASSERT_LT(t->SortIndex[p], seen.size());
        ASSERT_EQ(seen[t->SortIndex[p]]++, 0) << "entry twice, call " << call;
        ASSERT_EQ(Item(t, t->SortIndex[p])->Deleted, 0u);
      }
      ASSERT_LT(t->TopCount, std::max(c.maxTop, 1u));
      if (c.maxTop == 0) {
        std::vector<std::string> want{"Everything else"};
        for (const auto& [n, last] : live) want.push_back(n);
        ASSERT_EQ(IndexNames(t), want) << call;
      }
      if (call % 97 == 0 || call > 3900) {
        for (auto& [n, last] : live) {
          uint32_t pos = 0;
          ASSERT_EQ(FindItemPosition(n.c_str(), t, 1, &pos), 1) << n;
          if (Item(t, t->SortIndex[pos])->TopFlag) ++pos;  // the live twin follows its retired item
          ASSERT_LT(pos, t->Count);
          const uint32_t item = t->SortIndex[pos];
          ASSERT_STREQ(Item(t, item)->String, n.c_str());
          ASSERT_EQ(AddTimed(a, t, n.c_str(), time, c.maxTop) - 1, item) << n << " call " << call;
          last = time;
        }
      }
    }
  }
}

// The index searched by names that changed behind the table's back (a record
// given another name that sorts at the same place): every name is found as
// the table now holds it, and a name that is gone makes a new item.
TEST(ItemTables, ANameChangedInPlaceIsFoundByItsNewName) {
  SummaryTableEntry t;
  InitTableDescriptor(&t);
  char name[32];
  std::vector<uint32_t> numbers;
  for (int i = 0; i < 200; ++i) {
    std::snprintf(name, sizeof name, "host%03d.example", i * 2);
    numbers.push_back(AddNameToTable(&t, name));
  }
  for (int i = 0; i < 200; ++i) {
    std::snprintf(name, sizeof name, "HOST%03d.EXAMPLE", i * 2);
    ASSERT_EQ(AddNameToTable(&t, name), numbers[i]);
  }
  // "host100.example" becomes "host100zz", still between its neighbours.
  NameTableEntry* changed = Item(&t, numbers[50] - 1);
  std::free(changed->String);
  changed->String = static_cast<char*>(std::malloc(16));
  std::strcpy(changed->String, "host100zz");
  ASSERT_TRUE(IndexSorted(&t));
  EXPECT_EQ(AddNameToTable(&t, "host100zz"), numbers[50]);
  const uint32_t fresh = AddNameToTable(&t, "host100.example");
  EXPECT_EQ(fresh, 201u);
  EXPECT_EQ(AddNameToTable(&t, "host099"), 202u);
  EXPECT_TRUE(IndexSorted(&t));
  for (int i = 0; i < 200; ++i) {
    if (i == 50) continue;
    std::snprintf(name, sizeof name, "host%03d.example", i * 2);
    EXPECT_EQ(AddNameToTable(&t, name), numbers[i]) << name;
  }
  EXPECT_EQ(t.Count, 202u);
  FreeItemTable(&t);
}

TEST(VisitLists, TopNamesListDistinctValues) {
  NameTableEntry visit{};
  EXPECT_EQ(AddTopName(nullptr, &visit, kListDocuments, 4), 1);
  EXPECT_EQ(visit.TopNamesCount, kTopNameListCount);
  EXPECT_EQ(AddTopName(nullptr, &visit, kListDocuments, 4), 0);
  EXPECT_EQ(AddTopName(nullptr, &visit, kListDocuments, 5), 1);
  EXPECT_EQ(AddTopName(nullptr, &visit, kListForms, 4), 1);
  EXPECT_EQ(AddTopName(nullptr, &visit, 12, 1), 0);          // no such list
  EXPECT_EQ(AddTopName(nullptr, &visit, kListTrail, 1), 0);  // the trail has its own entries
  TopNameList* lists = visit.Lists();
  EXPECT_EQ(lists[kListDocuments].count, 2u);
  EXPECT_EQ(lists[kListDocuments].values[1], 5u);
  EXPECT_EQ(lists[kListForms].count, 1u);
  EXPECT_EQ(lists[7].size, kTopNameListSize);
  EXPECT_EQ(lists[7].format, kRecordFormat);
  FreeItemTopNames(&visit);
  EXPECT_EQ(visit.TopNames, nullptr);
  EXPECT_EQ(visit.TopNamesCount, 0u);
}

TEST(VisitLists, ItemNumbersBeyondSixteenBitsAreListedWhole) {
  // Numbers from 0xFFFF on take a mark and their two halves, so that no two
  // items share an entry and a list keeps the 16-bit layout it is stored in.
  NameTableEntry visit{};
  const uint32_t numbers[] = {7, 0xFFFE, 0xFFFF, 0x10000, 0x12345, 0x1FFFF};
  for (uint32_t n : numbers) EXPECT_EQ(AddTopName(nullptr, &visit, kListDocuments, n), 1) << n;
  for (uint32_t n : numbers) EXPECT_EQ(AddTopName(nullptr, &visit, kListDocuments, n), 0) << n;
  // Numbers that agree in their low 16 bits are different items.
  EXPECT_EQ(AddTopName(nullptr, &visit, kListDocuments, 0x20007), 1);
  const TopNameList& list = visit.Lists()[kListDocuments];
  EXPECT_EQ(TopNameItemCount(list), 7u);
  EXPECT_EQ(LastTopNameItem(list), 0x20007u);
  const std::vector<uint16_t> stored(list.values, list.values + list.count);
  EXPECT_EQ(stored, (std::vector<uint16_t>{7, 0xFFFE, 0xFFFF, 0, 0xFFFF, 0xFFFF, 1, 0, 0xFFFF, 1, 0x2345, 0xFFFF, 1,
                                           0xFFFF, 0xFFFF, 2, 7}));
  EXPECT_EQ(TopNameItemCount(visit.Lists()[kListForms]), 0u);
  EXPECT_EQ(LastTopNameItem(visit.Lists()[kListForms]), kNoItem);
  FreeItemTopNames(&visit);
}

TEST(VisitLists, TrailHoldsSixEntriesWithoutImmediateRepeats) {
  NameTableEntry visit{};
  ASSERT_EQ(CreateItemTopNames(&visit), 1);
  TopNameList& trail = visit.Lists()[kListTrail];
  struct Step {
    uint16_t item;
    uint16_t form;
    int added;
  } steps[] = {{3, 0, 1}, {3, 0, 0}, {3, 1, 1}, {4, 0, 1}, {3, 0, 1}, {9, 0, 1}, {10, 1, 1}, {11, 0, 0}};
  for (const Step& s : steps) {
    EXPECT_EQ(AppendVisitTrail(nullptr, &trail.count, &trail.trail, s.item, s.form), s.added) << s.item;
  }
  ASSERT_EQ(trail.count, 6u);
  EXPECT_EQ(trail.trail[0], 3u);
  EXPECT_EQ(trail.trail[1], 0x10003u);
  EXPECT_EQ(trail.trail[5], 0x1000Au);
  FreeItemTopNames(&visit);
}

TEST(StoredImages, ItemImageHasTheStoredOffsets) {
  NameTableEntry item{};
  item.SizeWord = kNameTableEntrySize;
  item.FormatWord = kRecordFormat;
  item.Overflow = 1;
  item.PrevLink = kNoItem;
  item.LastDateTime = 0x01020304;
  item.TotalByHits = 11;
  item.SlotHits[31] = 0xAABBCCDD;
  item.TotalByUsers = 12;
  item.SlotUsers[0] = 13;
  item.NonCachedTotalByHits = 14;
  item.TotalBytes = 1.5;
  item.LastPageEntryItem = 15;
  item.TimeOnPagesCount = 16;
  item.TopNamesCount = 12;
  item.Banned = 1;
  uint8_t image[kNameTableEntrySize];
  EncodeNameTableEntry(item, 0x1000, 0x2000, image);
  auto word = [&](size_t offset) {
    return uint32_t{image[offset]} | uint32_t{image[offset + 1]} << 8 | uint32_t{image[offset + 2]} << 16 |
           uint32_t{image[offset + 3]} << 24;
  };
  struct Field {
    size_t offset;
    uint32_t value;
  } fields[] = {{0, 348},       {4, 768},   {8, 1},     {20, kNoItem}, {28, 0x01020304}, {36, 11},
                {164, 0xAABBCCDD}, {168, 12}, {172, 13}, {300, 14},    {320, 15},         {328, 16},
                {332, 0x1000},  {336, 12},  {340, 0x2000}, {344, 1}};
  for (const Field& f : fields) EXPECT_EQ(word(f.offset), f.value) << "offset " << f.offset;
  EXPECT_EQ(word(304), 0u);           // 1.5 as a little-endian double: low word 0
  EXPECT_EQ(word(308), 0x3FF80000u);  // high word

  NameTableEntry back{};
  uint32_t s = 0, n = 0;
  ASSERT_TRUE(DecodeNameTableEntry(image, &back, &s, &n));
  EXPECT_EQ(s, 0x1000u);
  EXPECT_EQ(n, 0x2000u);
  EXPECT_EQ(back.String, nullptr);
  EXPECT_EQ(back.SlotHits[31], 0xAABBCCDDu);
  EXPECT_EQ(back.TotalBytes, 1.5);
  EXPECT_EQ(back.Banned, 1u);
  image[0] = 0;  // not an item record
  EXPECT_FALSE(DecodeNameTableEntry(image, &back, &s, &n));
}

TEST(StoredImages, DescriptorAndListImages) {
  SummaryTableEntry table;
  InitTableDescriptor(&table);
  table.Count = 7;
  table.DeleteListHead = kNoItem;
  table.ChunkSize = 204;
  uint8_t image[kSummaryTableEntrySize];
  EncodeSummaryTableEntry(table, 0, 0x400, 0x800, image);
  EXPECT_EQ(image[0], 60);
  EXPECT_EQ(image[4], 0x00);
  EXPECT_EQ(image[5], 0x03);
  EXPECT_EQ(image[12], 7);
  EXPECT_EQ(image[20], 0xFF);
  EXPECT_EQ(image[40], 204);
  EXPECT_EQ(image[53], 0x04);  // Items at 52
  EXPECT_EQ(image[57], 0x08);  // SortIndex at 56
  SummaryTableEntry back;
  uint32_t block = 1, items = 0, index = 0;
  ASSERT_TRUE(DecodeSummaryTableEntry(image, &back, &block, &items, &index));
  EXPECT_EQ(back.Count, 7u);
  EXPECT_EQ(back.ChunkSize, 204u);
  EXPECT_EQ(back.ItemBlock, nullptr);
  EXPECT_EQ(block, 0u);
  EXPECT_EQ(items, 0x400u);
  EXPECT_EQ(index, 0x800u);

  TopNameList list{kTopNameListSize, kRecordFormat, 0x0102, {nullptr}};
  uint8_t li[kTopNameListSize];
  EncodeTopNameList(list, 0xA0B0C0D0, li);
  const uint8_t expected[kTopNameListSize] = {14, 0, 0, 0, 0, 3, 0, 0, 0x02, 0x01, 0xD0, 0xC0, 0xB0, 0xA0};
  EXPECT_EQ(std::memcmp(li, expected, sizeof li), 0);
  TopNameList lb{};
  uint32_t off = 0;
  ASSERT_TRUE(DecodeTopNameList(li, &lb, &off));
  EXPECT_EQ(lb.count, 0x0102u);
  EXPECT_EQ(off, 0xA0B0C0D0u);
}

TEST(AnalysisBlock, AllocWritesSizeWordsAndFreeReleasesEverything) {
  const size_t before = kv::GlobalLiveCount();
  {
    TestAnalysis a;
    EXPECT_EQ(a.ctx->sizeWord, kAnalysisBlockSize);
    EXPECT_EQ(a.ctx->formatWord, kRecordFormat);
    EXPECT_EQ(a.ctx->templ.sizeWord, kAnalysisBlockSize);
    EXPECT_EQ(a.ctx->templ.formatWord, kRecordFormat);
    // Tables with items, visit lists and search details: all freed with the
    // block (the sanitizer build checks for leaks).
    AddNameToTable(a.Table(kTopDocuments), "/index.html");
    uint32_t v = AddTimed(a, a.Sessions(), "visitor", 100, 0) - 1;
    AddTopName(a.ctx, Item(a.Sessions(), v), kListDocuments, 0);
    SummaryTableEntry* keywords = a.Table(kTopSearchKeywords);
    NameTableEntry* word = Item(keywords, AddNameToTable(keywords, "cheese") - 1);
    auto** details = static_cast<SearchDetailEntry**>(std::calloc(1, sizeof(SearchDetailEntry*)));
    details[0] = static_cast<SearchDetailEntry*>(std::calloc(1, sizeof(SearchDetailEntry)));
    details[0]->text = testing_support::Dup("engine");
    word->TopNames = details;
    word->TopNamesCount = 1;

    a.Table(kTopDocuments)->Items = a.Table(kTopDocuments)->ItemBlock;
    DetachAllTableItems(a.handle);
    EXPECT_EQ(a.Table(kTopDocuments)->Items, nullptr);
    EXPECT_NE(a.Table(kTopDocuments)->ItemBlock, nullptr);
  }
  EXPECT_EQ(kv::GlobalLiveCount(), before);
}

TEST(AnalysisBlock, FreedTableStartsAgainFromNothing) {
  SummaryTableEntry t;
  InitTableDescriptor(&t);
  for (int i = 0; i < 150; ++i) AddNameToTable(&t, std::to_string(i).c_str());
  FreeItemTable(&t);
  EXPECT_EQ(t.Count, 0u);
  EXPECT_EQ(t.ItemBlock, nullptr);
  EXPECT_EQ(t.SizeWord, kSummaryTableEntrySize);
  EXPECT_EQ(AddNameToTable(&t, "again"), 1u);
  FreeItemTable(&t);
}

}  // namespace
}  // namespace vrn
