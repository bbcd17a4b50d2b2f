#include "engine/reports/rpl_files.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/core/report_settings.h"
#include "engine/reports/template_test_support.h"

namespace {

using tpltest::WriteFile;

class RplFiles : public testing::Test {
 protected:
  void SetUp() override {
    vrn::ResetRplTable();
    folder_ = tpltest::MakeTempFolder();
  }
  void TearDown() override {
    vrn::ResetRplTable();
    std::filesystem::remove_all(folder_);
  }
  std::string Get(const char* name, int* found = nullptr) {
    char buffer[300];
    const int result = fetchvar_GetVarData(name, buffer, sizeof buffer);
    if (found != nullptr) *found = result;
    return buffer;
  }
  std::string folder_;
};

TEST_F(RplFiles, EntriesAreReadAsWritten) {
  WriteFile(folder_ + "E.RPL",
            "comment line\r\n<Title>{Site Report}\r\n<Two Words>{ spaced value }\r\n"
            "<Multi>{line one\r\nline two}\r\n<NoValue>\r\n<After>{kept}\r\n<Empty>{}\r\n"
            "<Dup>{first}<Dup>{second}\r\n");
  ASSERT_EQ(fetchvar_ReadVarData((folder_ + "E.RPL").c_str()), 1);
  struct Case {
    const char* name;
    int found;
    const char* value;
  } cases[] = {
      {"Title", 1, "Site Report"},
      {"Two Words", 1, " spaced value "},
      {"Multi", 1, "line one\r\nline two"},
      {"NoValue", 0, ""},  // its braces are missing: the next "<" starts the next entry
      {"After", 1, "kept"},
      {"Empty", 1, ""},
      {"Dup", 1, "first"},
      {"title", 0, ""},  // names compare with their letter case
      {"Missing", 0, ""},
  };
  for (const Case& c : cases) {
    int found = -1;
    EXPECT_EQ(Get(c.name, &found), c.value) << c.name;
    EXPECT_EQ(found, c.found) << c.name;
  }
}

TEST_F(RplFiles, TheLoadedFileIsCachedUntilAnotherIsLoaded) {
  WriteFile(folder_ + "A.RPL", "<Name>{a}");
  WriteFile(folder_ + "B.RPL", "<Name>{b}");
  const unsigned reads = vrn::RplFileReads();
  ASSERT_EQ(fetchvar_ReadVarData((folder_ + "A.RPL").c_str()), 1);
  WriteFile(folder_ + "A.RPL", "<Name>{changed}");
  ASSERT_EQ(fetchvar_ReadVarData((folder_ + "a.rpl").c_str()), 1);  // same path in other case
  EXPECT_EQ(vrn::RplFileReads(), reads + 1);
  EXPECT_EQ(Get("Name"), "a");
  ASSERT_EQ(fetchvar_ReadVarData((folder_ + "B.RPL").c_str()), 1);
  EXPECT_EQ(Get("Name"), "b");
  ASSERT_EQ(fetchvar_ReadVarData((folder_ + "A.RPL").c_str()), 1);
  EXPECT_EQ(Get("Name"), "changed");
  EXPECT_EQ(vrn::RplFileReads(), reads + 3);
}

TEST_F(RplFiles, AFailedLoadEmptiesTheTableAndForgetsTheCachedFile) {
  WriteFile(folder_ + "A.RPL", "<Name>{a}");
  ASSERT_EQ(fetchvar_ReadVarData((folder_ + "A.RPL").c_str()), 1);
  tpltest::BoxRecorder boxes;
  EXPECT_EQ(fetchvar_ReadVarData((folder_ + "MISSING.RPL").c_str()), 0);
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0], "Load: Can't Load .Rpl file");
  EXPECT_EQ(Get("Name"), "");
  // Loading the earlier file again reads it rather than keeping the empty table.
  ASSERT_EQ(fetchvar_ReadVarData((folder_ + "A.RPL").c_str()), 1);
  EXPECT_EQ(Get("Name"), "a");
}

TEST_F(RplFiles, MalformedTextEndsSoundly) {
  struct Case {
    const char* text;
    size_t pairs;
  } cases[] = {
      {"", 0},
      {"<open", 0},
      {"<name>{unclosed", 0},
      {"<a>{1}<b", 1},
      {"> stray <a>{1} }", 1},
      {"{no name}<a>{1}", 1},
  };
  for (const Case& c : cases) {
    const std::string text = c.text;
    EXPECT_EQ(vrn::ParseRplText(text.data(), text.size()).size(), c.pairs) << c.text;
  }
}

TEST_F(RplFiles, LookupsCutToTheCallersBufferAndTheTableIsBounded) {
  std::string text;
  for (size_t i = 0; i < vrn::kRplMaxVariables + 5; ++i) text += "<v" + std::to_string(i) + ">{x}";
  EXPECT_EQ(vrn::ParseRplText(text.data(), text.size()).size(), vrn::kRplMaxVariables);

  WriteFile(folder_ + "L.RPL", "<Long>{" + std::string(500, 'x') + "}");
  ASSERT_EQ(fetchvar_ReadVarData((folder_ + "L.RPL").c_str()), 1);
  char small[8];
  EXPECT_EQ(fetchvar_GetVarData("Long", small, sizeof small), 1);
  EXPECT_EQ(std::string(small), "xxxxxxx");
}

TEST_F(RplFiles, ReportSettingsExpandReferencesThroughTheLoadedFile) {
  WriteFile(folder_ + "S.RPL", "<Hits>{Requests}");
  ASSERT_EQ(fetchvar_ReadVarData((folder_ + "S.RPL").c_str()), 1);
  std::string text = "<Hits> per day";
  vrn::ExpandRplReferences(&text);
  EXPECT_EQ(text, "Requests per day");
}

}  // namespace
