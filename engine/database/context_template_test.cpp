// The analysis set-up builds the working template from the client's
// section list, scans it for the tables to fill, stamps the report date and
// reads the ad views file.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include <vornic/templates.h>

#include "engine/database/accum_testutil.h"
#include "engine/database/analysis_context.h"
#include "engine/database/item_tables.h"
#include "platform/base/memory.h"

namespace {

const char kTemplate[] =
    "<html>\r\n"
    "%%BeginChapter%%\r\n"
    "%%TopBrowsersBeginSection[TABLE,{x}]%%\r\n"
    "%%%BeginRepeat%%%\r\n%%TopBrowsersDesc[~]%%\r\n%%%EndRepeat[0,10]%%%\r\n"
    "%%TopBrowsersEndSection%%\r\n"
    "\r\n"
    "%%TopCitiesBeginSection[TABLE,{y}]%%\r\n"
    "%%TopCitiesDesc[1]%%\r\n"
    "%%TopCitiesEndSection%%\r\n"
    "\r\n"
    "%%EndChapter%%\r\n"
    "</html>\r\n";

class ContextTemplate : public accumtest::ContextFixture {
 protected:
  void TearDown() override {
    if (run_ != nullptr && run_->sectionListHandle != 0) kv::GlobalFree(run_->sectionListHandle);
    ContextFixture::TearDown();
  }
  void KeepOnly(const char* name) {
    TemplateSectionRecord r{};
    std::strcpy(r.Name, name);
    r.Class = TEMPLATE_CLASS_TABLE;
    r.RowCount = 10;
    r.Kept = 1;
    run_->sectionListHandle = kv::GlobalAlloc(kv::kGlobalMoveable, 2 * sizeof r);
    std::memcpy(kv::GlobalLock(run_->sectionListHandle), &r, sizeof r);
    kv::GlobalUnlock(run_->sectionListHandle);
    run_->sectionCount = 1;
  }
};

TEST_F(ContextTemplate, TheKeptSectionsDecideTheTablesFilled) {
  WriteEngineFile("Template/template.var", kTemplate);
  WriteEngineFile("ADVIEWS.TXT", "\"Banner\",\"banner.gif\",\"go.cgi\"\r\n");
  KeepOnly("TopBrowsersBeginSection");
  vrn::AnalysisContext* context = MakeContext();
  ASSERT_NE(context, nullptr);
  EXPECT_TRUE(vrn::IsTableUsed(vrn::kTopBrowsers));
  EXPECT_EQ(vrn::GetSectionTable()[vrn::kTopBrowsers].maxRow, 9u);
  EXPECT_FALSE(vrn::IsTableUsed(vrn::kTopCities));
  EXPECT_FALSE(vrn::IsTableUsed(vrn::kTopDocuments));
  const std::string working = context->workingTemplatePath;
  EXPECT_EQ(working, folder_ + "Template\\TEMP0.HTM");
  EXPECT_TRUE(std::filesystem::exists(folder_ + "Template/TEMP0.HTM"));
  EXPECT_NE(context->reportDateText[0], 0);
  ASSERT_EQ(context->adViewCount, 1);
  EXPECT_STREQ(context->adViews[0]->name, "Banner");
}

TEST_F(ContextTemplate, WithoutASectionListEveryTableIsFilled) {
  WriteEngineFile("Template/template.var", kTemplate);
  ASSERT_NE(MakeContext(), nullptr);
  EXPECT_TRUE(vrn::IsTableUsed(vrn::kTopBrowsers));
  EXPECT_TRUE(vrn::IsTableUsed(vrn::kTopCities));
  EXPECT_TRUE(vrn::IsTableUsed(vrn::kTopDocuments));
  EXPECT_FALSE(std::filesystem::exists(folder_ + "Template/TEMP0.HTM"));
}

}  // namespace
