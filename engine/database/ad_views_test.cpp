#include "engine/database/ad_views.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/core/engine_state.h"
#include "engine/database/analysis_context.h"
#include "platform/ui/msgbox.h"

namespace {

class AdViews : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "advXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
    vrn::SetApplicationPath(folder_ + "libVornic.so");
    previous_ = kv::ui::SetMessageBoxHandler([this](const kv::ui::MessageBoxInfo& info) {
      boxes_.push_back(info.caption + ": " + info.text);
      return 0;
    });
  }
  void TearDown() override {
    kv::ui::SetMessageBoxHandler(previous_);
    std::filesystem::remove_all(folder_);
  }
  void WriteAds(const std::string& bytes) {
    std::ofstream out(folder_ + "ADVIEWS.TXT", std::ios::binary);
    out << bytes;
  }
  std::string folder_;
  std::vector<std::string> boxes_;
  kv::ui::MessageBoxHandler previous_;
};

TEST_F(AdViews, LinesGiveTheirThreeFields) {
  struct Case {
    const char* line;
    vrn::AdViewsLine result;
    const char* first;
    const char* second;
    const char* third;
  } cases[] = {
      {"\"a\",\"b c\",\"d\"", vrn::AdViewsLine::kEntry, "a", "b c", "d"},
      {"x \"a\" y \"\" z \"d\" tail", vrn::AdViewsLine::kEntry, "a", "", "d"},
      {"", vrn::AdViewsLine::kNoEntry, "", "", ""},
      {"no quotes at all", vrn::AdViewsLine::kNoEntry, "", "", ""},
      {"\"a\",\"b\"", vrn::AdViewsLine::kBad, "", "", ""},
      {"\"a\",\"b\",\"c", vrn::AdViewsLine::kBad, "", "", ""},
  };
  for (const Case& c : cases) {
    std::string first, second, third;
    EXPECT_EQ(vrn::ParseAdViewsLine(c.line, &first, &second, &third), c.result) << c.line;
    if (c.result == vrn::AdViewsLine::kEntry) {
      EXPECT_EQ(first, c.first);
      EXPECT_EQ(second, c.second);
      EXPECT_EQ(third, c.third);
    }
  }
}

TEST_F(AdViews, TheFileIsReadLineByLine) {
  WriteAds("\"Banner\",\"img ad\",\"click\"\r\n\r\n\"Two\", \"\", \"go\"\r\n\"Last\",\"v\",\"c\"");
  FILE* file = VRN_OpenAdViewsDataFile();
  ASSERT_NE(file, nullptr);
  char a[ADVIEWS_LINE_SIZE] = "", b[ADVIEWS_LINE_SIZE] = "", c[ADVIEWS_LINE_SIZE] = "";
  ASSERT_EQ(VRN_GetAdViewsEntry(file, a, b, c), 1);
  EXPECT_STREQ(b, "Banner");
  EXPECT_STREQ(c, "img ad");
  EXPECT_STREQ(a, "click");
  ASSERT_EQ(VRN_GetAdViewsEntry(file, a, b, c), 1);  // empty line: outputs unchanged
  EXPECT_STREQ(b, "Banner");
  ASSERT_EQ(VRN_GetAdViewsEntry(file, a, b, c), 1);
  EXPECT_STREQ(b, "Two");
  EXPECT_STREQ(c, "");
  ASSERT_EQ(VRN_GetAdViewsEntry(file, a, b, c), 1);  // last line without a line end
  EXPECT_STREQ(b, "Last");
  EXPECT_EQ(VRN_GetAdViewsEntry(file, a, b, c), 0);
  VRN_CloseAdViewsDataFile(file);
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(AdViews, ABadLineClosesTheFileWithItsMessage) {
  WriteAds("\"only\",\"two\"\r\n\"a\",\"b\",\"c\"\r\n");
  FILE* file = VRN_OpenAdViewsDataFile();
  ASSERT_NE(file, nullptr);
  char a[ADVIEWS_LINE_SIZE], b[ADVIEWS_LINE_SIZE], c[ADVIEWS_LINE_SIZE];
  EXPECT_EQ(VRN_GetAdViewsEntry(file, a, b, c), -1);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0], "Temporary Message: Bad file format in advertising views and clicks file.");
}

TEST_F(AdViews, AnOverlongLineIsCutAndItsTailSkipped) {
  WriteAds("\"a\",\"b\",\"" + std::string(3000, 'x') + "\"\r\n\"n\",\"v\",\"c\"\r\n");
  FILE* file = VRN_OpenAdViewsDataFile();
  ASSERT_NE(file, nullptr);
  char a[ADVIEWS_LINE_SIZE], b[ADVIEWS_LINE_SIZE], c[ADVIEWS_LINE_SIZE];
  EXPECT_EQ(VRN_GetAdViewsEntry(file, a, b, c), -1);  // the cut line lost its closing quote
  file = VRN_OpenAdViewsDataFile();
  WriteAds("\"a\",\"b\",\"c\"" + std::string(3000, ' ') + "\r\n\"n\",\"v\",\"c\"\r\n");
  VRN_CloseAdViewsDataFile(file);
  file = VRN_OpenAdViewsDataFile();
  EXPECT_EQ(VRN_GetAdViewsEntry(file, a, b, c), 1);
  EXPECT_STREQ(b, "a");
  EXPECT_EQ(VRN_GetAdViewsEntry(file, a, b, c), 1);
  EXPECT_STREQ(b, "n");
  VRN_CloseAdViewsDataFile(file);
}

TEST_F(AdViews, MissingFileAndContextList) {
  EXPECT_EQ(VRN_OpenAdViewsDataFile(), nullptr);
  auto context = std::make_unique<vrn::AnalysisContext>();
  EXPECT_EQ(vrn::LoadAdViewList(context.get()), 0);
  WriteAds("\"Banner\",\"img ad\",\"click here\"\r\n\r\nno entry\r\n\"Other\",\"x\",\"\"\r\n");
  EXPECT_EQ(vrn::LoadAdViewList(context.get()), 2);
  ASSERT_EQ(context->adViewCount, 2);
  EXPECT_STREQ(context->adViews[0]->name, "Banner");
  EXPECT_EQ(context->adViews[0]->firstCount, 2);
  EXPECT_STREQ(context->adViews[0]->firstWords, "IMG");
  EXPECT_EQ(context->adViews[0]->secondCount, 2);
  EXPECT_STREQ(context->adViews[1]->name, "Other");
  EXPECT_EQ(context->adViews[1]->secondCount, 0);
  vrn::FreeContextOwnedLists(context.get(), 0);
}

}  // namespace
