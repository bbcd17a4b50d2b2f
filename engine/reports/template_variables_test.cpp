#include "engine/reports/template_variables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/reports/report_driver.h"
#include "engine/reports/report_driver_testutil.h"

namespace {

using drvtest::Wall;

class VariablesTest : public drvtest::ReportFixture {
 protected:
  void SetUp() override {
    ReportFixture::SetUp();
    ASSERT_NE(MakeRun(), nullptr);
  }

  // The value of name, with the marker flag in *marker.
  std::string Value(const std::string& name, uint32_t* marker = nullptr, int* result = nullptr) {
    char text[vrn::kTokenValueSize];
    std::memset(text, '#', sizeof text);
    uint32_t flag = 0;
    const int r = vrn::ResolveTemplateVariable(run_, context_, name.c_str(), text, sizeof text, &flag, nullptr);
    if (marker != nullptr) *marker = flag;
    if (result != nullptr) *result = r;
    return text;
  }

  // Hits and failures spread over the slots of the hourly scale.
  void FillSlots() {
    vrn::TemplateRecord& t = context_->templ;
    for (int i = 0; i < 24; ++i) t.SlotHits[i] = 0;
    t.SlotHits[3] = 60;
    t.SlotHits[23] = 40;
    t.SlotFailed[3] = 7;
    // Slots past the scale's count are not summed.
    t.SlotHits[30] = 1000;
    t.SlotUsers[3] = 8;
    t.SlotDomestic[3] = 2;
    t.SlotInternational[3] = 5;
    t.SlotUnknownCountry[3] = 1;
  }
};

TEST_F(VariablesTest, HeaderTotalsOverTheScaleSlots) {
  ASSERT_EQ(context_->slotCount, 24);
  FillSlots();
  EXPECT_EQ(Value("HeaderTotalHits"), "93");
  EXPECT_EQ(Value("headertotalhits"), "93");
  EXPECT_EQ(Value("TechnicalStatsTotalHits"), "100");
  EXPECT_EQ(Value("TechnicalStatsFailedHits"), "7");
  EXPECT_EQ(Value("TechnicalStatsFailedHitsAsPercent"), "7%");
  EXPECT_EQ(Value("HeaderTotalUsers"), "8");
  EXPECT_EQ(Value("HeaderUSAUsersPercent"), "25%");
  EXPECT_EQ(Value("HeaderInternationalUsersPercent"), "62.5%");
  EXPECT_EQ(Value("HeaderAverageUsersTime"), "N/A");
  context_->templ.UserSessionsTime = 7322;
  context_->templ.UserSessionsTimeCount = 2;
  EXPECT_EQ(Value("HeaderAverageUsersTime"), "01:01:01");
}

TEST_F(VariablesTest, ReferrerAndAgentLogsRemoveTheirValues) {
  FillSlots();
  for (uint16_t kind : {7, 8}) {
    context_->logKind = kind;
    for (const char* name : {"HeaderTotalUsers", "HeaderReportRange", "TechnicalStatsCachedHits",
                             "SummaryByDayAvgHitsOnWeekdays"}) {
      uint32_t marker = 0;
      EXPECT_EQ(Value(name, &marker), "%%Remove%%") << name;
      EXPECT_EQ(marker, 1u) << name;
    }
    uint32_t marker = 0;
    EXPECT_EQ(Value("HeaderTotalHits", &marker), "93");
    EXPECT_EQ(marker, 0u);
  }
}

TEST_F(VariablesTest, DayCountOfThePerDayAverages) {
  const uint32_t now = Wall(2026, 3, 10, 12, 0, 0);
  struct Case {
    uint32_t start, end, days;
  } cases[] = {
      {Wall(2026, 3, 1, 0, 0, 0), Wall(2026, 3, 3, 0, 0, 0), 2},         // two days in the past
      {Wall(2026, 3, 1, 0, 0, 0), Wall(2026, 3, 2, 23, 59, 59), 2},      // rounded up
      {Wall(2026, 3, 9, 0, 0, 0), Wall(2026, 3, 20, 0, 0, 0), 2},        // counts up to now
      {Wall(2026, 3, 1, 0, 0, 0), Wall(2026, 3, 1, 0, 0, 0), 0},         // zero length
      {Wall(2026, 3, 12, 0, 0, 0), Wall(2026, 3, 13, 0, 0, 0), 0},       // starts after now
  };
  for (const Case& c : cases) EXPECT_EQ(vrn::ReportDayCount(c.start, c.end, now), c.days) << c.start;

  // A zero-length range gives "0" averages.
  FillSlots();
  context_->reportStart = context_->reportEnd = Wall(2026, 3, 1, 0, 0, 0);
  EXPECT_EQ(Value("HeaderAverageHitsPerDay"), "0");
  context_->reportStart = Wall(2026, 3, 1, 0, 0, 0);
  context_->reportEnd = Wall(2026, 3, 3, 0, 0, 0);
  EXPECT_EQ(Value("HeaderAverageHitsPerDay"), "46");
}

TEST_F(VariablesTest, WorkHoursAndWeekdays) {
  vrn::ReportOptions* o = context_->options;
  o->workHourCount = 9;
  for (uint16_t i = 0; i < 9; ++i) o->workHours[i] = static_cast<uint16_t>(8 + i);
  o->afterHourCount = 1;
  o->afterHours[0] = 20;
  for (int hour = 0; hour < 24; ++hour) {
    char name[32];
    std::snprintf(name, sizeof name, "%02d:00-%02d:59", hour, hour);
    ASSERT_NE(AddItem(vrn::kTopHours, name, static_cast<uint32_t>(hour + 1), 1), nullptr);
  }
  // Hours 8 to 16 hold 9 + 10 + ... + 17 hits.
  EXPECT_EQ(Value("TopHoursWorkHoursHits"), "117");
  EXPECT_EQ(Value("TopHoursWorkHoursUsers"), "9");
  EXPECT_EQ(Value("TopHoursAfterHoursHits"), "21");
  EXPECT_EQ(Value("TopHoursAfterHoursAsPercent"), "7%");
  EXPECT_EQ(Value("SummaryByHourMostActiveHour"), "23:00-23:59");
  EXPECT_EQ(Value("SummaryByHourLeastActiveHour"), "00:00-00:59");

  // Short weekday names 2 to 6 are the working days, 1 and 7 the weekend.
  const char* days[7] = {o->texts[0], o->texts[1], o->texts[2], o->texts[3], o->texts[4], o->texts[5], o->texts[6]};
  for (int d = 0; d < 7; ++d) ASSERT_NE(AddItem(vrn::kTopWeekdays, days[d], d == 0 || d == 6 ? 10u : 20u, 2), nullptr);
  EXPECT_EQ(Value("TopWeekdaysWeekdayHits"), "100");
  EXPECT_EQ(Value("TopWeekdaysWeekendHits"), "20");
  EXPECT_EQ(Value("TopWeekdaysWeekendAsPercent"), "16.66%");
  EXPECT_EQ(Value("TopWeekdaysWeekendUsers"), "4");
  EXPECT_EQ(Value("SummaryByDayMostActiveDayOfWeek"), days[1]);
  EXPECT_EQ(Value("SummaryByDayLeastActiveDayOfWeek"), days[0]);
}

TEST_F(VariablesTest, AZeroSumPercentIsAPlainZero) {
  EXPECT_EQ(Value("TopHoursWorkHoursAsPercent"), "0");
  EXPECT_EQ(Value("TopWeekdaysWeekdayAsPercent"), "0");
  EXPECT_EQ(Value("FormsSubmittedFailedAsPercent"), "0%");
}

TEST_F(VariablesTest, SummaryByDayAverages) {
  vrn::TemplateRecord& t = context_->templ;
  t.WeekdayHits = 100;
  t.WeekdayCount = 3;
  struct Case {
    uint32_t weekendCount, hits;
    const char* value;
  } cases[] = {{0, 50, "0"}, {1, 50, "50"}, {2, 50, "50"}, {3, 50, "25"}, {4, 50, "25"}};
  for (const Case& c : cases) {
    t.WeekendCount = c.weekendCount;
    t.WeekendHits = c.hits;
    EXPECT_EQ(Value("SummaryByDayAvgHitsOnWeekends"), c.value) << c.weekendCount;
  }
  EXPECT_EQ(Value("SummaryByDayAvgHitsOnWeekdays"), "33");
  t.FewestHits = 0xFFFFFFFFu;
  EXPECT_EQ(Value("SummaryByDayLeastActiveDayEverHits"), "N/A");
  t.FewestHits = 4;
  EXPECT_EQ(Value("SummaryByDayLeastActiveDayEverHits"), "4");
  std::snprintf(t.MostHitsDay, sizeof t.MostHitsDay, "Monday, March 02, 2026");
  EXPECT_EQ(Value("SummaryByDayMostActiveDayEver"), "Monday, March 02, 2026");
  // An unknown name of the family leaves the buffer and answers 1.
  char text[16] = "untouched";
  uint32_t flag = 0;
  EXPECT_EQ(vrn::ResolveSummaryByDay(context_, "SummaryByDayNothing", text, sizeof text, &flag), 1);
  EXPECT_STREQ(text, "untouched");
}

TEST_F(VariablesTest, StyleValuesAndColumns) {
  WriteStyle("Odd Row Text Color=111111\nEven Row Text Color=222222\nTable Columns=02\nFrame Width=4\n"
             "Long Description=0\nNumber Alignment=RIGHT\n");
  vrn::ReadReportStyle("Test", &vrn::CurrentReportStyle());
  struct Case {
    const char* name;
    const char* value;
    uint32_t marker;
  } cases[] = {
      {"Style_RepeatRowTextColor[0]", "#111111", 0},
      {"Style_RepeatRowTextColor[1]", "#222222", 0},
      {"Style_RepeatRowTextColor[2,1]", "#111111", 0},
      {"Style_FrameWidth", "4", 0},
      {"style_numberalignment", "RIGHT", 0},
      {"ColumnCount_HPU[5]", "4", 0},
      {"ColumnCount_HU[5]", "5", 0},
      {"ColumnCount_PU[3]", "2", 0},
      {"ColumnCount_Other[7]", "7", 0},
      {"BeginColumn_Hits", "%%BookMarkColumn%%", 1},
      {"EndColumn_PercentOfTotal", "%%RemoveColumn%%", 1},
      {"EndColumn_Hits", "", 0},
      {"EndLongDescription", "%%RemoveColumn%%", 1},
      {"EndColumn_MorvaneDomain", "%%RemoveColumn%%", 1},
      {"EndColumn_Anything", "", 0},
  };
  for (const Case& c : cases) {
    uint32_t marker = 0;
    EXPECT_EQ(Value(c.name, &marker), c.value) << c.name;
    EXPECT_EQ(marker, c.marker) << c.name;
  }
  int result = 1;
  EXPECT_EQ(Value("Style_Unknown", nullptr, &result), "");
  EXPECT_EQ(result, 0);
}

TEST_F(VariablesTest, UnknownNamesAndTextsCopiedAsTheyStand) {
  int result = 1;
  EXPECT_EQ(Value("NoSuchVariable", nullptr, &result), "");
  EXPECT_EQ(result, 0);
  std::strcpy(context_->emptyText2, "100%% of %%s %s");
  EXPECT_EQ(Value("ReportHeader"), "100%% of %%s %s");
  uint32_t marker = 0;
  EXPECT_EQ(Value("MSWordAutoPrintOrNot", &marker), "");
  EXPECT_EQ(marker, 1u);
  char text[8] = "x";
  uint32_t flag = 0;
  EXPECT_EQ(vrn::ResolveTemplateVariable(run_, nullptr, "HeaderTotalHits", text, sizeof text, &flag, nullptr), 0);
  EXPECT_STREQ(text, "");
}

TEST_F(VariablesTest, TheBandwidthTableKeepsItsItemCount) {
  vrn::SummaryTableEntry* table = &context_->templ.TopTablesPtr[vrn::kTopBandwidth];
  ASSERT_EQ(table->Count, 0u);
  EXPECT_EQ(Value("TopBandwidthHits[0]"), "");
  EXPECT_EQ(table->Count, 0u);
  ASSERT_NE(AddItem(vrn::kTopBandwidth, " ", 5), nullptr);
  ASSERT_NE(AddItem(vrn::kTopBandwidth, "b", 6), nullptr);
  EXPECT_EQ(Value("TopBandwidthHits[0]"), "5");
  EXPECT_EQ(table->Count, 2u);
}

TEST_F(VariablesTest, TableFamiliesReachTheirTables) {
  ASSERT_NE(AddItem(vrn::kTopBrowsers, "Netscape", 12, 3), nullptr);
  ASSERT_NE(AddItem(vrn::kTopReferingSites, "www.example.org", 9, 1), nullptr);
  ASSERT_NE(AddItem(vrn::kTopDocuments, "/index.htm", 4, 2), nullptr);
  EXPECT_EQ(Value("TopBrowsersHits[0]"), "12");
  EXPECT_EQ(Value("AgentLogTopBrowsersUsers[0]"), "3");
  EXPECT_EQ(Value("TopReferingSitesHits[0]"), "9");
  EXPECT_EQ(Value("TopDocumentsHits[0]"), "4");
  EXPECT_EQ(Value("TopBottomHits[0]"), "4");
}

}  // namespace
