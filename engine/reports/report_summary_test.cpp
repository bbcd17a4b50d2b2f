// The road of a summary report through the exports: an analysis run over a
// log, then VRN_DoSummary writing the HTML report from the delivered
// template.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <vornic/report.h>
#include <vornic/summary.h>
#include <vornic/templates.h>

#include "engine/core/engine_state.h"
#include "engine/core/open_counter_test_support.h"
#include "engine/database/analysis_context.h"
#include "engine/reports/graph_specs.h"
#include "engine/reports/html_test_support.h"
#include "engine/reports/report_driver_testutil.h"
#include "engine/reports/template_variables.h"
#include "platform/base/memory.h"

namespace {

using drvtest::ReadFile;
using drvtest::Wall;
using drvtest::WriteFile;

class SummaryTest : public drvtest::ReportFixture {
 protected:
  void SetUp() override {
    ReportFixture::SetUp();
    ASSERT_TRUE(InstallDeliveredTemplates());
    std::filesystem::copy_file(std::string(std::getenv("KV_SOURCE_DIR")) + "/data/kvm_log/samples/access_combined.log",
                               Folder() + "logs/access.log");
    WriteFile(ProfileDir() + "site.wlp",
              "[Profile]\nVersion=4\nDescription=Sample site\nLogFilePath=" + Folder() +
                  "logs/access.log\nHomePageName=http://www.example.com/\nDNSLookup=0\nOverrideMultiHome=0\n"
                  "PellavarFlag=0\nRealtimeAnalysis=0\nLogFileFormat=0\n");
    WriteStyle("Table Columns=012\n");
  }
};

TEST_F(SummaryTest, AnAnalysisRunBecomesAnHtmlReport) {
  // Every section of the delivered template is kept.
  uint16_t count = 0;
  uint32_t sections = 0;
  char header[512] = {};
  ASSERT_EQ(VRN_ReadTemplateSectionList((TemplateDir() + "template.var").c_str(), &count, &sections, header,
                                        sizeof header),
            1);
  ASSERT_GT(count, 0);
  auto* records = static_cast<TemplateSectionRecord*>(kv::GlobalLock(sections));
  for (uint16_t i = 0; i < count; ++i) records[i].Kept = 1;
  kv::GlobalUnlock(sections);

  DravelEntry* profile = VRN_GetSet("site.wlp");
  ASSERT_NE(profile, nullptr);
  char output[300];
  std::snprintf(output, sizeof output, "%sreports/index.htm", Folder().c_str());
  uint32_t handle = 0;
  uint16_t error = 0;
  ASSERT_EQ(VRN_Cre8Report(7, 0, profile, "site.wlp", "Summary", output, &handle, 80, 0, Wall(2026, 11, 1, 0, 0, 0),
                           Wall(2026, 12, 1, 0, 0, 0), 6, 0, "Test", "ENGLISH", "Quarterly header", sections, count, &error),
            0)
      << error;
  int steps = 0;
  uint32_t yield = 0;
  while (VRN_PeekReport(0, handle, &yield, &error) == 0 && ++steps < 100000) {
  }
  EXPECT_EQ(error, 0);
  EXPECT_EQ(ADT_GetReportRecCount(handle), 425u);

  const KvGlobal database = VRN_DoSummary(handle, nullptr, drvtest::RecordFileCall);
  ASSERT_NE(database, 0u);
  {
    // The run's report header is what the template's "ReportHeader" shows.
    auto* context = static_cast<vrn::AnalysisContext*>(kv::GlobalLock(database));
    ASSERT_NE(context, nullptr);
    char value[64] = {};
    uint32_t marker = 0;
    vrn::ResolveTemplateVariable(nullptr, context, "ReportHeader", value, sizeof value, &marker, nullptr);
    EXPECT_STREQ(value, "Quarterly header");
    kv::GlobalUnlock(database);
  }
  const std::string report = ReadFile(output);
  EXPECT_NE(report.find("<HTML>"), std::string::npos);
  EXPECT_NE(report.find("</HTML>"), std::string::npos);
  EXPECT_NE(report.find("/about.html"), std::string::npos);
  EXPECT_EQ(report.find("%%"), std::string::npos);
  EXPECT_EQ(report.find("LANG_STR"), std::string::npos);
  bool announced = false;
  for (const auto& call : drvtest::g_fileCalls) announced = announced || (call.text == output && call.flag == 0);
  EXPECT_TRUE(announced);

  EXPECT_EQ(VRN_CloseReport(0, handle, &error), 0);
  VRN_FreeSet(profile);
  kv::GlobalFree(sections);
}

// Runs site.wlp over the sample log and writes its summary report; the
// report's text, or "" when it failed.
std::string RunAndSummarise(const std::string& output) {
  DravelEntry* profile = VRN_GetSet("site.wlp");
  if (profile == nullptr) return "";
  uint32_t handle = 0;
  uint16_t error = 0;
  std::string report;
  std::string path = output;
  if (VRN_Cre8Report(7, 0, profile, "site.wlp", "Summary", path.data(), &handle, 80, 0, Wall(2026, 11, 1, 0, 0, 0),
                     Wall(2026, 12, 1, 0, 0, 0), 6, 0, "Test", "ENGLISH", "", 0, 0, &error) == 0) {
    uint32_t yield = 0;
    while (VRN_PeekReport(0, handle, &yield, &error) == 0) {
    }
    if (VRN_DoSummary(handle, nullptr, nullptr) != 0) report = ReadFile(output);
    VRN_CloseReport(0, handle, &error);
  }
  VRN_FreeSet(profile);
  return report;
}

TEST_F(SummaryTest, ReportSettingsAreReadOncePerReport) {
  const std::string output = Folder() + "reports/index.htm";
  {
    // One load: each of the file's sections once, for the analysis and the
    // report together.
    vrn::test::OpenCounter opens(Folder() + "kvm_log");
    ASSERT_NE(RunAndSummarise(output), "");
    EXPECT_GT(opens.Count("REPORT.INI"), 0u);
    EXPECT_LE(opens.Count("REPORT.INI"), 11u);
  }
}

TEST_F(SummaryTest, OnlyAnAnalysisRunIsReportedOn) {
  vrn::g_engine.summaryErrorText.clear();
  EXPECT_EQ(VRN_DoSummary(0, nullptr, nullptr), 0u);
  char text[200];
  VRN_GetSummaryErrMsg(text, sizeof text);
  EXPECT_STREQ(text, "Not enough memory to write the report.");

  // A text-view run holds no analysis.
  DravelEntry* profile = VRN_GetSet("site.wlp");
  ASSERT_NE(profile, nullptr);
  char view[300];
  std::snprintf(view, sizeof view, "%sview", Folder().c_str());
  std::filesystem::create_directories(view);
  uint32_t handle = 0;
  uint16_t error = 0;
  ASSERT_EQ(VRN_Cre8Report(7, 0, profile, "site.wlp", "View", view, &handle, 80, 0, Wall(2026, 11, 1, 0, 0, 0),
                           Wall(2026, 12, 1, 0, 0, 0), 2, 0, "Test", "ENGLISH", "", 0, 0, &error),
            0);
  EXPECT_EQ(VRN_DoSummary(handle, nullptr, nullptr), 0u);
  EXPECT_EQ(VRN_CloseReport(0, handle, &error), 0);
  VRN_FreeSet(profile);
}

TEST_F(SummaryTest, ARealtimeReportWithoutAStoreWritesNothing) {
  DravelEntry* profile = VRN_GetSet("site.wlp");
  ASSERT_NE(profile, nullptr);
  profile->PellavarFlag = 0;
  static int yields = 0;
  vrn::g_engine.savedYieldCallback = vrn::g_engine.yieldCallback = []() -> int32_t { return ++yields; };
  const std::string output = Folder() + "reports/realtime.htm";
  EXPECT_EQ(VRN_DoRealtime(profile, output.c_str(), "Test", nullptr, drvtest::RecordFileCall, 0,
                           Wall(2026, 11, 1, 0, 0, 0), Wall(2026, 12, 1, 0, 0, 0), nullptr, nullptr, 0, 0, 0),
            0);
  EXPECT_FALSE(drvtest::Exists(output));
  // The client's yield callback is back in place.
  EXPECT_NE(vrn::g_engine.yieldCallback, nullptr);
  EXPECT_EQ(vrn::g_engine.percentCallback, nullptr);
  vrn::g_engine.savedYieldCallback = vrn::g_engine.yieldCallback = nullptr;
  VRN_FreeSet(profile);
}

TEST_F(SummaryTest, ARealtimeReportIsWrittenFromTheStoredDays) {
  uint16_t count = 0;
  uint32_t sections = 0;
  char header[512] = {};
  ASSERT_EQ(VRN_ReadTemplateSectionList((TemplateDir() + "template.var").c_str(), &count, &sections, header,
                                        sizeof header),
            1);
  auto* records = static_cast<TemplateSectionRecord*>(kv::GlobalLock(sections));
  for (uint16_t i = 0; i < count; ++i) records[i].Kept = 1;
  kv::GlobalUnlock(sections);
  DravelEntry* profile = VRN_GetSet("site.wlp");
  ASSERT_NE(profile, nullptr);
  profile->PellavarFlag = 1;
  std::filesystem::create_directories(Folder() + "kvm_log/datfiles");
  static int sorted = 0;
  sorted = 0;
  const std::string output = Folder() + "reports/realtime.htm";
  const uint16_t result =
      VRN_DoRealtime(profile, output.c_str(), "Test", nullptr, drvtest::RecordFileCall, VRN_REALTIME_EXACT_PATH,
                     Wall(2026, 11, 1, 0, 0, 0), Wall(2026, 12, 1, 0, 0, 0), [] { ++sorted; }, "ENGLISH", sections,
                     count, 0);
  EXPECT_EQ(result, 0) << vrn::g_engine.summaryErrorText;
  EXPECT_EQ(sorted, 1);
  const std::string report = ReadFile(output);
  EXPECT_NE(report.find("/about.html"), std::string::npos);
  EXPECT_EQ(report.find("%%"), std::string::npos);

  // Bringing the days up to date writes no report.
  const std::string second = Folder() + "reports/update.htm";
  EXPECT_EQ(VRN_DoRealtime(profile, second.c_str(), "Test", nullptr, nullptr, VRN_REALTIME_EXACT_PATH,
                           Wall(2026, 11, 1, 0, 0, 0), Wall(2026, 12, 1, 0, 0, 0), nullptr, nullptr, sections, count,
                           1),
            0);
  EXPECT_FALSE(drvtest::Exists(second));
  VRN_FreeSet(profile);
  kv::GlobalFree(sections);
}

// A template of the test's own: a chart and a table of browsers, and the
// documents.
const char kChartTemplate[] =
    "<HTML>\r\n<BODY>\r\n"
    "<!-- %%BeginChapter%% -->\r\n"
    "<!-- %%TopDocumentsBeginSection[TABLE,0,{LANG_STR<TopDocumentsTC>}]%% -->\r\n"
    "<TABLE>\r\n%%%BeginRepeat%%%\r\n<TR><TD>%%TopDocumentsDesc[~]%%</TD><TD>%%TopDocumentsHits[~]%%</TD></TR>\r\n"
    "%%%EndRepeat[0,5]%%%\r\n</TABLE>\r\n"
    "<!-- %%TopDocumentsEndSection%% -->\r\n\r\n"
    "<!-- %%TopBrowsersBeginSection[TABLE,0,{LANG_STR<TopBrowsersTC>}]%% -->\r\n"
    "<TABLE>\r\n%%%BeginRepeat%%%\r\n<TR><TD>%%TopBrowsersDesc[~]%%</TD><TD>%%TopBrowsersHits[~]%%</TD></TR>\r\n%%%EndRepeat[0,8]%%%\r\n</TABLE>\r\n"
    "<!-- %%TopBrowsersEndSection%% -->\r\n\r\n"
    "<!-- %%TopBrowsersBeginSection[GRAPH,0,{LANG_STR<TopBrowsersTC>}]%% -->\r\n"
    "<IMG SRC=\"%%TopBrowsersGraph[PIE, {Browsers}, 3D, Items {Browser}, Hits {Hits}, 0-9]%%\">\r\n"
    "<!-- %%TopBrowsersEndSection%% -->\r\n\r\n"
    "<!-- %%EndChapter%% -->\r\n\r\n"
    "</BODY>\r\n</HTML>\r\n";

class SameWindowTest : public SummaryTest {
 protected:
  void SetUp() override {
    SummaryTest::SetUp();
    UseTemplate(kChartTemplate);
    // A log of its own: on one day, six pages and three browsers with 12,
    // 7 and 3 requests.
    std::string log;
    const char* const agents[] = {"Mozilla/5.0 (X11; Linux x86_64; rv:118.0) Gecko/20100101 Firefox/118.0",
                                  "Wget/1.21.3", "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)"};
    const int requests[] = {12, 7, 3};
    int n = 0;
    for (int a = 0; a < 3; ++a) {
      for (int k = 0; k < requests[a]; ++k, ++n) {
        char line[400];
        std::snprintf(line, sizeof line,
                      "192.0.2.%d - - [16/Nov/2026:10:%02d:%02d +0000] \"GET /page%d.html HTTP/1.1\" 200 %d \"-\" "
                      "\"%s\"\n",
                      a + 1, n, k, n % 6, 500 + n, agents[a]);
        log += line;
      }
    }
    // The log goes on after the window.
    log += "192.0.2.9 - - [02/Dec/2026:10:00:00 +0000] \"GET /later.html HTTP/1.1\" 200 100 \"-\" \"Wget/1.21.3\"\n";
    WriteFile(Folder() + "logs/access.log", log);
    profile_ = VRN_GetSet("site.wlp");
    ASSERT_NE(profile_, nullptr);
    std::filesystem::create_directories(Folder() + "kvm_log/datfiles");
    // The charting module draws the charts, as the client starts it.
    InitGSWLibrary(1, 0);
    ASSERT_EQ(vrn::g_engine.gswStartResult, 0u) << "charting module did not start";
  }
  void TearDown() override {
    vrn::ReleaseGSWLibrary(1);
    if (profile_ != nullptr) VRN_FreeSet(profile_);
    if (sections_ != 0) kv::GlobalFree(sections_);
    SummaryTest::TearDown();
  }
  // Writes the template and reads its section list, every section kept, as
  // the client hands it over.
  void UseTemplate(const std::string& text) {
    WriteFile(TemplateDir() + "template.var", text);
    if (sections_ != 0) kv::GlobalFree(sections_);
    sections_ = 0;
    ASSERT_EQ(VRN_ReadTemplateSectionList((TemplateDir() + "template.var").c_str(), &count_, &sections_, header_,
                                          sizeof header_),
              1);
    auto* records = static_cast<TemplateSectionRecord*>(kv::GlobalLock(sections_));
    for (uint16_t i = 0; i < count_; ++i) records[i].Kept = 1;
    kv::GlobalUnlock(sections_);
  }
  // The client's edit of the browser chart's record.
  void EditChart(uint16_t type, int32_t threeD, uint16_t lastRow) {
    auto* records = static_cast<TemplateSectionRecord*>(kv::GlobalLock(sections_));
    for (uint16_t i = 0; i < count_; ++i) {
      if (records[i].Class == TEMPLATE_CLASS_GRAPH) {
        records[i].GraphType = type;
        records[i].GraphOption = threeD;
        records[i].RowCount = lastRow;
      }
    }
    kv::GlobalUnlock(sections_);
  }
  // A summary report of November into folder `name`; its page.
  std::string Summary(const std::string& name, uint32_t sections) {
    char output[300];
    std::snprintf(output, sizeof output, "%sreports/%s/index.htm", Folder().c_str(), name.c_str());
    std::filesystem::create_directories(Folder() + "reports/" + name);
    uint32_t handle = 0;
    uint16_t error = 0;
    EXPECT_EQ(VRN_Cre8Report(7, 0, profile_, "site.wlp", "Summary", output, &handle, 80, 0, Wall(2026, 11, 1, 0, 0, 0),
                             Wall(2026, 12, 1, 0, 0, 0), 6, 0, "Test", "ENGLISH", "", sections,
                             sections != 0 ? count_ : 0, &error),
              0);
    uint32_t yield = 0;
    for (int steps = 0; VRN_PeekReport(0, handle, &yield, &error) == 0 && steps < 100000; ++steps) {
    }
    EXPECT_NE(VRN_DoSummary(handle, nullptr, nullptr), 0u);
    EXPECT_EQ(VRN_CloseReport(0, handle, &error), 0);
    return ReadFile(output);
  }
  // A realtime report of November into folder `name`; the call's result.
  uint16_t Realtime(const std::string& name, uint32_t sections) {
    profile_->PellavarFlag = 1;
    const std::string output = Folder() + "reports/" + name + "/index.htm";
    std::filesystem::create_directories(Folder() + "reports/" + name);
    return VRN_DoRealtime(profile_, output.c_str(), "Test", nullptr, nullptr, VRN_REALTIME_EXACT_PATH,
                          Wall(2026, 11, 1, 0, 0, 0), Wall(2026, 12, 1, 0, 0, 0), nullptr, "ENGLISH", sections,
                          sections != 0 ? count_ : 0, 0);
  }
  std::string Chart(const std::string& name) { return ReadFile(Folder() + "reports/" + name + "/index00.gif"); }

  uint16_t count_ = 0;
  uint32_t sections_ = 0;
  char header_[512] = {};
  DravelEntry* profile_ = nullptr;
};

// The same template over the same window draws the same chart in a summary
// and in a realtime report, in the form the client's section list gives it
// (flat bars of the first two browsers instead of the template's 3-D pie).
TEST_F(SameWindowTest, SummaryAndRealtimeReportsDrawTheSameChart) {
  const std::string asWritten = Summary("written", sections_);
  EditChart(vrn::kChartBars, 0, 1);
  const std::string summary = Summary("summary", sections_);
  EXPECT_EQ(Realtime("realtime", sections_), 0) << vrn::g_engine.summaryErrorText;
  const std::string realtime = ReadFile(Folder() + "reports/realtime/index.htm");
  EXPECT_NE(summary.find("<IMG SRC=\"index00.gif\">"), std::string::npos) << summary;
  EXPECT_NE(realtime.find("<IMG SRC=\"index00.gif\">"), std::string::npos) << realtime;
  EXPECT_EQ(htmltest::TagBalance(summary), "");
  EXPECT_EQ(htmltest::TagBalance(realtime), "");
  ASSERT_FALSE(Chart("summary").empty());
  EXPECT_TRUE(Chart("summary") == Chart("realtime"));
  // The tables agree as well.
  const std::string browsers = "<TR><TD>Netscape</TD><TD>12</TD></TR>";
  ASSERT_NE(summary.find(browsers), std::string::npos) << summary;
  ASSERT_NE(realtime.find(browsers), std::string::npos) << realtime;
  EXPECT_EQ(summary.substr(summary.find(browsers)), realtime.substr(realtime.find(browsers)));
  EXPECT_NE(Chart("summary"), Chart("written")) << "the chart follows the client's list";
  EXPECT_EQ(asWritten, summary) << "only the chart changed";
}

// The list a run hands over is the run's: once the run is closed, a report
// of another run without a list draws the template's own chart.
TEST_F(SameWindowTest, TheSectionListEndsWithItsRun) {
  const std::string asWritten = Summary("written", 0);
  EditChart(vrn::kChartBars, 0, 1);
  Summary("edited", sections_);
  Summary("again", 0);
  ASSERT_FALSE(Chart("written").empty());
  EXPECT_NE(Chart("edited"), Chart("written"));
  EXPECT_EQ(Chart("again"), Chart("written"));
  EXPECT_EQ(vrn::g_engine.templateSectionList, 0u);
}

// A section charted twice: each chart keeps its own form when the client
// hands over the template's list unchanged, as when it hands over none.
TEST_F(SameWindowTest, ASectionChartedTwiceDrawsEachChartAsItsTemplateSays) {
  std::string twice = kChartTemplate;
  const std::string second =
      "<!-- %%TopBrowsersBeginSection[GRAPH,0,{LANG_STR<TopBrowsersTC>}]%% -->\r\n"
      "<IMG SRC=\"%%TopBrowsersGraph[LINES, {Browsers}, 2D, Items {Browser}, Hits {Hits}, 0-1]%%\">\r\n"
      "<!-- %%TopBrowsersEndSection%% -->\r\n\r\n";
  twice.insert(twice.find("<!-- %%EndChapter%% -->"), second);
  UseTemplate(twice);

  const std::string whole = Summary("whole", 0);
  const std::string listed = Summary("listed", sections_);
  ASSERT_NE(whole.find("index01.gif"), std::string::npos) << whole;
  EXPECT_EQ(whole, listed);
  const std::string firstChart = ReadFile(Folder() + "reports/whole/index00.gif");
  const std::string secondChart = ReadFile(Folder() + "reports/whole/index01.gif");
  ASSERT_FALSE(secondChart.empty());
  EXPECT_NE(firstChart, secondChart);
  EXPECT_TRUE(ReadFile(Folder() + "reports/listed/index00.gif") == firstChart);
  EXPECT_TRUE(ReadFile(Folder() + "reports/listed/index01.gif") == secondChart) << "the second chart drawn as the first";
}

// A realtime report asked for without a section list shows the template
// whole: what a list keeping every section shows.
TEST_F(SameWindowTest, ARealtimeReportWithoutASectionListShowsTheWholeTemplate) {
  EXPECT_EQ(Realtime("whole", 0), 0);
  EXPECT_EQ(Realtime("listed", sections_), 0);
  const std::string report = ReadFile(Folder() + "reports/whole/index.htm");
  EXPECT_NE(report.find("/page0.html</TD><TD>4</TD>"), std::string::npos) << report;
  EXPECT_EQ(report.find("%%"), std::string::npos);
  EXPECT_EQ(report, ReadFile(Folder() + "reports/listed/index.htm"));
  EXPECT_FALSE(Chart("whole").empty());
  EXPECT_EQ(Chart("whole"), Chart("listed"));
}

// A frame page whose body copy cannot be written leaves the report as it was
// written, and says why; with the copy in place the report becomes a frameset.
TEST_F(SameWindowTest, AFramePageNeverReplacesTheOnlyCopyOfTheReport) {
  WriteStyle("Table Columns=012\nFrame Page=1\n");
  std::filesystem::create_directories(Folder() + "reports/blocked/index_b.htm");
  vrn::g_engine.summaryErrorText.clear();
  const std::string blocked = Summary("blocked", sections_);
  EXPECT_NE(blocked.find("/page0.html"), std::string::npos) << blocked;
  EXPECT_EQ(blocked.find("FRAMESET"), std::string::npos);
  EXPECT_NE(vrn::g_engine.summaryErrorText.find("index_b.htm"), std::string::npos) << vrn::g_engine.summaryErrorText;

  const std::string framed = Summary("framed", sections_);
  EXPECT_NE(framed.find("<FRAMESET"), std::string::npos) << framed;
  EXPECT_EQ(htmltest::TagBalance(framed), "");
  EXPECT_EQ(htmltest::TagBalance(ReadFile(Folder() + "reports/framed/index_t.htm")), "");
  EXPECT_EQ(htmltest::TagBalance(ReadFile(Folder() + "reports/framed/index_b.htm")), "");
  EXPECT_NE(ReadFile(Folder() + "reports/framed/index_b.htm").find("/page0.html"), std::string::npos);
}

// Without a language the realtime report keeps the working template it was
// set up with: freeing the merged days leaves it, and the report is written.
// A report that cannot be written is a failure.
TEST_F(SummaryTest, ARealtimeReportWithoutALanguageIsWrittenAndAFailedOneIsTold) {
  uint16_t count = 0;
  uint32_t sections = 0;
  char header[512] = {};
  ASSERT_EQ(VRN_ReadTemplateSectionList((TemplateDir() + "template.var").c_str(), &count, &sections, header,
                                        sizeof header),
            1);
  auto* records = static_cast<TemplateSectionRecord*>(kv::GlobalLock(sections));
  for (uint16_t i = 0; i < count; ++i) records[i].Kept = 1;
  kv::GlobalUnlock(sections);
  DravelEntry* profile = VRN_GetSet("site.wlp");
  ASSERT_NE(profile, nullptr);
  profile->PellavarFlag = 1;
  std::filesystem::create_directories(Folder() + "kvm_log/datfiles");
  const std::string output = Folder() + "reports/nolanguage.htm";
  EXPECT_EQ(VRN_DoRealtime(profile, output.c_str(), "Test", nullptr, nullptr, VRN_REALTIME_EXACT_PATH,
                           Wall(2026, 11, 1, 0, 0, 0), Wall(2026, 12, 1, 0, 0, 0), nullptr, nullptr, sections, count, 0),
            0)
      << vrn::g_engine.summaryErrorText;
  const std::string report = ReadFile(output);
  EXPECT_NE(report.find("/about.html"), std::string::npos);

  const std::string nowhere = Folder() + "no such folder/realtime.htm";
  EXPECT_NE(VRN_DoRealtime(profile, nowhere.c_str(), "Test", nullptr, nullptr, VRN_REALTIME_EXACT_PATH,
                           Wall(2026, 11, 1, 0, 0, 0), Wall(2026, 12, 1, 0, 0, 0), nullptr, "ENGLISH", sections, count,
                           0),
            0);
  EXPECT_FALSE(drvtest::Exists(nowhere));
  VRN_FreeSet(profile);
  kv::GlobalFree(sections);
}

}  // namespace
