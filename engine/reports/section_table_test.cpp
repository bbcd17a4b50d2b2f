#include "engine/reports/section_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/report_run.h"
#include "engine/reports/template_test_support.h"
#include "platform/base/memory.h"

namespace {

using vrn::GetSectionTable;

int Section(const char* name) {
  for (int i = 0; i < vrn::kItemTableCount; ++i)
    if (std::strcmp(GetSectionTable()[i].name, name) == 0) return i;
  ADD_FAILURE() << name;
  return 0;
}

class SectionScan : public testing::Test {
 protected:
  void SetUp() override { folder_ = tpltest::MakeTempFolder(); }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  void Scan(const std::string& text) {
    tpltest::WriteFile(folder_ + "t.htm", text);
    vrn::ScanTemplateSections((folder_ + "t.htm").c_str());
  }
  std::string folder_;
};

TEST_F(SectionScan, TokensMarkTheirSectionsWithTheHighestRow) {
  struct Case {
    const char* text;
    const char* section;
    uint32_t used;
    uint32_t maxRow;
  } cases[] = {
      {"<td>%%TopReferers[12]%%</td><td>%%TopReferers[30,2]%%</td>", "TopReferers", 1, 30},
      {"%%TopReferingSites[5]%%", "TopReferingSites", 1, 5},
      {"%%TopReferingSites[5]%%", "TopReferers", 0, 0},
      {"%%topbrowsers%%", "TopBrowsers", 1, 0},
      {"%%TopUsersHits[3]%% %%TopUsersDesc[7]%%", "TopUsers", 1, 7},
      {"%%ObsoleteTopPaths[3]%%", "ObsoleteTopPaths", 0, 0},
      {"%%Unknown[9]%% TopCities[4]", "TopCities", 0, 0},  // outside a token
      {"%%GeneralStatsTotal%% %%TopHours[2", "TopHours", 0, 0},  // never closed
  };
  for (const Case& c : cases) {
    Scan(c.text);
    const vrn::SectionTableEntry& entry = GetSectionTable()[Section(c.section)];
    EXPECT_EQ(entry.used, c.used) << c.text;
    EXPECT_EQ(entry.maxRow, c.maxRow) << c.text;
    for (int i = 0; i < vrn::kItemTableCount; ++i) EXPECT_EQ(GetSectionTable()[i].empty, 1u);
  }
}

TEST_F(SectionScan, ATokenAcrossTheWindowBoundaryIsFound) {
  // The first window ends inside the second token; the next window starts
  // after the last complete token, so the cut token is read whole.
  std::string text = "%%TopHours[1]%%";
  text += std::string(vrn::kSectionScanWindow - text.size() - 6, ' ');
  text += "%%TopCountries[44]%%";
  text += std::string(vrn::kSectionScanWindow, ' ');
  text += "%%TopCities[2]%%";
  Scan(text);
  EXPECT_EQ(GetSectionTable()[Section("TopHours")].used, 1u);
  EXPECT_EQ(GetSectionTable()[Section("TopCountries")].maxRow, 44u);
  EXPECT_EQ(GetSectionTable()[Section("TopCities")].used, 1u);
}

TEST_F(SectionScan, ATokenCutOffAWindowWithoutOtherTokensIsFound) {
  std::string text(vrn::kSectionScanWindow - 5, ' ');
  text += "%%TopStates[6]%%";
  text += std::string(300, ' ');
  Scan(text);
  EXPECT_EQ(GetSectionTable()[Section("TopStates")].used, 1u);
  EXPECT_EQ(GetSectionTable()[Section("TopStates")].maxRow, 6u);
}

TEST_F(SectionScan, AMissingTemplateLeavesEverySectionUnused) {
  GetSectionTable()[Section("GeneralStats")].used = 1;
  vrn::ScanTemplateSections((folder_ + "missing.htm").c_str());
  for (int i = 0; i < vrn::kItemTableCount; ++i) {
    EXPECT_EQ(GetSectionTable()[i].used, 0u) << i;
    EXPECT_EQ(GetSectionTable()[i].empty, 1u) << i;
  }
}

TEST(SectionTokens, RowAndColumnNumbers) {
  struct Case {
    const char* token;
    uint16_t row;
    uint16_t column;
  } cases[] = {
      {"Name[3]", 3, 0},   {"Name[3,2]", 3, 2}, {"Name[7]", 7, 0},   {"Name", 0, 0},
      {"A[1]B[4]", 4, 0},  {"A[1,9]B[4]", 4, 0}, {"N[x]", 0, 0},     {"N[12abc,5]", 12, 5},
      {"N[", 0, 0},        {"N[65536]", 0, 0},  {"N[2,]", 2, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(vrn::ParseRowIndex(c.token), c.row) << c.token;
    EXPECT_EQ(vrn::ParseColumnIndex(c.token), c.column) << c.token;
  }
}

// A search-engine table with one item whose keywords are its detail entries.
class DetailLists : public testing::Test {
 protected:
  void SetUp() override {
    vrn::InitTableDescriptor(&table_);
    item_.String = strdup("engine.example");
    const uint32_t hits[2] = {5, 9};
    const uint32_t visits[2] = {1, 2};
    auto** details = static_cast<vrn::SearchDetailEntry**>(std::calloc(2, sizeof(vrn::SearchDetailEntry*)));
    for (int i = 0; i < 2; ++i) {
      details[i] = static_cast<vrn::SearchDetailEntry*>(std::calloc(1, sizeof(vrn::SearchDetailEntry)));
      details[i]->hits = hits[i];
      details[i]->visits = visits[i];
      details[i]->text = strdup(i == 0 ? "five" : "nine");
    }
    item_.TopNames = details;
    item_.TopNamesCount = 2;
    items_[0] = &item_;
    table_.ItemBlock = items_;
    table_.Count = 1;
  }
  void TearDown() override {
    vrn::FreeDetailEntryList(item_.Details(), item_.TopNamesCount);
    std::free(item_.String);
  }
  std::string Text(uint16_t itemRank, uint16_t detailRank) {
    char out[64] = "garbage";
    vrn::GetDetailEntryText(nullptr, &table_, itemRank, detailRank, out, sizeof out);
    return out;
  }
  vrn::SummaryTableEntry table_{};
  vrn::NameTableEntry item_{};
  vrn::NameTableEntry* items_[1] = {};
};

TEST_F(DetailLists, TheFirstRowOfAnItemSortsItsDetailsByCount) {
  char out[64] = "garbage";
  vrn::GetItemNameSortDetails(nullptr, &table_, 0, 1, out, sizeof out);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(Text(0, 0), "five");  // rank 1 neither copies nor sorts

  vrn::GetItemNameSortDetails(nullptr, &table_, 0, 0, out, sizeof out);
  EXPECT_STREQ(out, "engine.example");
  EXPECT_EQ(Text(0, 0), "nine");
  EXPECT_EQ(Text(0, 1), "five");
  EXPECT_EQ(vrn::GetDetailEntryCount(&table_, 0, 0), 9u);
  EXPECT_EQ(vrn::GetDetailEntrySecondCount(&table_, 0, 0), 2u);
  EXPECT_EQ(vrn::GetDetailEntryCount(&table_, 0, 1), 5u);
}

TEST_F(DetailLists, RanksOutOfRangeGiveEmptyResults) {
  char out[64] = "garbage";
  vrn::GetItemNameSortDetails(nullptr, &table_, 1, 0, out, sizeof out);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(Text(0, 2), "");
  EXPECT_EQ(Text(1, 0), "");
  EXPECT_EQ(vrn::GetDetailEntryCount(&table_, 0, 2), 0u);
  EXPECT_EQ(vrn::GetDetailEntrySecondCount(&table_, 1, 0), 0u);
  vrn::SummaryTableEntry bare{};
  EXPECT_EQ(vrn::GetDetailEntryCount(&bare, 0, 0), 0u);
  vrn::SortTopTableDescending(nullptr);
}

}  // namespace
