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
#include "engine/database/analysis_context.h"
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
    const char* source = std::getenv("KV_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const std::string data = std::string(source) + "/data/kvm_log/";
    for (const auto& entry : std::filesystem::directory_iterator(data + "Template")) {
      std::filesystem::copy_file(entry.path(), TemplateDir() + entry.path().filename().string(),
                                 std::filesystem::copy_options::overwrite_existing);
    }
    std::filesystem::copy_file(data + "REPORT.INI", Folder() + "kvm_log/REPORT.INI",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::create_directories(Folder() + "logs");
    std::filesystem::copy_file(data + "samples/access_combined.log", Folder() + "logs/access.log");
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

}  // namespace
