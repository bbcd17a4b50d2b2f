#include "engine/reports/realtime_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/reports/report_driver_testutil.h"

namespace {

// A vocabulary whose texts are "<prefix><index>", with the weekday and month
// names given.
vrn::ReportOptions* MakeOptions(const std::vector<std::string>& weekdays, const std::vector<std::string>& months,
                                const std::string& prefix) {
  auto* o = static_cast<vrn::ReportOptions*>(std::calloc(1, sizeof(vrn::ReportOptions)));
  for (uint32_t i = 0; i < vrn::kReportTextCount; ++i) {
    std::string text = prefix + std::to_string(i);
    if (i < 7 && i < weekdays.size()) text = weekdays[i];
    if (i >= vrn::kLongMonths && i < vrn::kLongMonths + 12 && i - vrn::kLongMonths < months.size())
      text = months[i - vrn::kLongMonths];
    o->texts[i] = strdup(text.c_str());
  }
  return o;
}

const std::vector<std::string> kEnglishDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const std::vector<std::string> kGermanDays = {"So", "Mo", "Di", "Mi", "Do", "Fr", "Sa"};
const std::vector<std::string> kEnglishMonths = {"January", "February", "March",     "April",   "May",      "June",
                                                 "July",    "August",   "September", "October", "November", "December"};
const std::vector<std::string> kGermanMonths = {"Januar", "Februar", "Maerz",     "April",   "Mai",      "Juni",
                                                "Juli",   "August",  "September", "Oktober", "November", "Dezember"};

class RelabelTest : public drvtest::ReportFixture {
 protected:
  void SetUp() override {
    ReportFixture::SetUp();
    ASSERT_NE(MakeRun(), nullptr);
    vrn::FreeReportOptions(context_->options);
    context_->options = MakeOptions(kGermanDays, kGermanMonths, "new");
    stored_ = MakeOptions(kEnglishDays, kEnglishMonths, "old");
  }
  void TearDown() override {
    vrn::FreeReportOptions(stored_);
    ReportFixture::TearDown();
  }
  std::string NameOf(int table, uint32_t item) {
    return context_->templ.TopTablesPtr[table].ItemBlock[item]->String;
  }
  vrn::ReportOptions* stored_ = nullptr;
};

TEST_F(RelabelTest, StoredNamesTakeTheCurrentLanguage) {
  ASSERT_NE(AddItem(vrn::kTopWeekdays, "Mon", 5), nullptr);
  ASSERT_NE(AddItem(vrn::kTopWeekdays, "sat", 3), nullptr);
  ASSERT_NE(AddItem(vrn::kTopWeekdays, "Holiday", 1), nullptr);
  ASSERT_NE(AddItem(vrn::kTopSuffixes, "old70", 2), nullptr);    // third suffix text
  ASSERT_NE(AddItem(vrn::kTopVisitors, "old78", 2), nullptr);    // second legend text
  ASSERT_NE(AddItem(vrn::kTopServerErrors, "old40", 2), nullptr);
  ASSERT_NE(AddItem(vrn::kTopFormErrors, "old62", 2), nullptr);
  std::snprintf(context_->templ.MostHitsDay, sizeof context_->templ.MostHitsDay, "Monday, March 02, 2026");
  std::snprintf(context_->templ.FewestHitsDay, sizeof context_->templ.FewestHitsDay, "Friday, 13 March");

  ASSERT_EQ(vrn::RelabelRealtimeTables(context_, stored_), 1);
  std::vector<std::string> days;
  for (uint32_t i = 0; i < 3; ++i) days.push_back(NameOf(vrn::kTopWeekdays, i));
  std::sort(days.begin(), days.end());
  EXPECT_EQ(days, (std::vector<std::string>{"Holiday", "Mo", "Sa"}));
  EXPECT_EQ(NameOf(vrn::kTopSuffixes, 0), "new70");
  EXPECT_EQ(NameOf(vrn::kTopVisitors, 0), "new78");
  EXPECT_EQ(NameOf(vrn::kTopServerErrors, 0), "new40");
  EXPECT_EQ(NameOf(vrn::kTopFormErrors, 0), "new62");
  EXPECT_STREQ(context_->templ.MostHitsDay, "Monday, Maerz 02, 2026");
  // No blank after the month name: the text stays.
  EXPECT_STREQ(context_->templ.FewestHitsDay, "Friday, 13 March");
}

TEST_F(RelabelTest, EmptyTablesAreSkippedAndNamesOutsideTheGroupStay) {
  // Every table is empty: nothing to do, and success.
  EXPECT_EQ(vrn::RelabelRealtimeTables(context_, stored_), 1);
  // A weekday name is not a suffix text.
  ASSERT_NE(AddItem(vrn::kTopSuffixes, "Mon", 1), nullptr);
  EXPECT_EQ(vrn::RelabelSuffixes(context_, stored_), 1);
  EXPECT_EQ(NameOf(vrn::kTopSuffixes, 0), "Mon");
}

TEST(ReplaceMonthName, KeepsWhatSurroundsTheName) {
  vrn::ReportOptions* current = MakeOptions(kGermanDays, kGermanMonths, "n");
  vrn::ReportOptions* stored = MakeOptions(kEnglishDays, kEnglishMonths, "o");
  struct Case {
    const char* before;
    size_t size;
    const char* after;
  } cases[] = {
      {"Tuesday, December 01, 2026 (12 hits)", 60, "Tuesday, Dezember 01, 2026 (12 hits)"},
      {"May 5", 60, "Mai 5"},
      {"no month here", 60, "no month here"},
      {"ends with March", 60, "ends with March"},
      // The first month in calendar order wins, once.
      {"March or January x", 60, "March or Januar x"},
      {"January 1", 10, "Januar 1"},
  };
  for (const Case& c : cases) {
    char text[64];
    std::snprintf(text, sizeof text, "%s", c.before);
    vrn::ReplaceMonthName(text, c.size, current, stored);
    EXPECT_STREQ(text, c.after) << c.before;
  }
  vrn::FreeReportOptions(current);
  vrn::FreeReportOptions(stored);
}

}  // namespace
