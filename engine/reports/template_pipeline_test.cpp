#include "engine/reports/template_pipeline.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <vornic/profile.h>

#include "engine/database/analysis_context.h"
#include "engine/reports/report_paths.h"
#include "engine/reports/rpl_files.h"
#include "engine/reports/section_table.h"
#include "engine/reports/template_test_support.h"
#include "platform/base/memory.h"

namespace {

using tpltest::Crlf;
using tpltest::ReadFile;
using tpltest::WriteFile;

TemplateSectionRecord Record(const char* name, uint16_t cls, int32_t kept, uint16_t rows = 0, uint16_t columns = 0,
                             uint16_t first = 0) {
  TemplateSectionRecord r{};
  std::strncpy(r.Name, name, sizeof r.Name - 1);
  r.Class = cls;
  r.Kept = kept;
  r.RowCount = rows;
  r.ColumnCount = columns;
  r.FirstRow = first;
  return r;
}

// A two-chapter source: chapter A with sections TopA (table) and TopB
// (graph), chapter B with section TopC (table).
const std::string kSource = Crlf({
    "<html>",
    "%%BeginChapter%% A",
    "head A",
    "%%TopABeginSection[TABLE,{LANG_STR<TopATC>}]%%",
    "body A",
    "%%TopAEndSection%%",
    "",
    "between",
    "%%TopBBeginSection[GRAPH,{LANG_STR<TopBTC>}]%%",
    "body B",
    "%%TopBEndSection%%",
    "",
    "tail A",
    "%%EndChapter%%",
    "",
    "%%BeginChapter%% B",
    "head B",
    "%%TopCBeginSection[TABLE,{x}]%%",
    "body C",
    "%%TopCEndSection%%",
    "",
    "%%EndChapter%%",
    "",
    "</html>",
});

class Pipeline : public tpltest::TemplateFolder {
 protected:
  void SetUp() override {
    TemplateFolder::SetUp();
    WriteFile(TemplatePath("template.var"), kSource);
  }
  void TearDown() override {
    if (run_->sectionListHandle != 0) kv::GlobalFree(run_->sectionListHandle);
    TemplateFolder::TearDown();
  }
  void SetSections(const std::vector<TemplateSectionRecord>& records) {
    if (run_->sectionListHandle != 0) kv::GlobalFree(run_->sectionListHandle);
    run_->sectionListHandle = kv::GlobalAlloc(kv::kGlobalMoveable, (records.size() + 1) * sizeof(TemplateSectionRecord));
    auto* block = static_cast<TemplateSectionRecord*>(kv::GlobalLock(run_->sectionListHandle));
    if (!records.empty()) std::memcpy(block, records.data(), records.size() * sizeof(TemplateSectionRecord));
    kv::GlobalUnlock(run_->sectionListHandle);
    run_->sectionCount = static_cast<uint16_t>(records.size());
  }
  std::string Build() {
    const std::string out = TemplatePath("TEMP0.HTM");
    EXPECT_EQ(vrn::BuildWorkingTemplate(out.c_str(), run_.get(), "template.var"), 1);
    return ReadFile(out);
  }
};

TEST_F(Pipeline, SectionsAreKeptByNameClassAndFlag) {
  struct Case {
    std::vector<TemplateSectionRecord> records;
    std::string expected;
  } cases[] = {
      {{Record("TopABeginSection", 2, 1), Record("TopBBeginSection", 1, 1), Record("TopCBeginSection", 2, 1)},
       "<html>\r\n\r\n%%BeginChapter%% A\r\nhead A\r\n\r\n"
       "%%TopABeginSection[TABLE,{LANG_STR<TopATC>}]%%\r\nbody A\r\n%%TopAEndSection%%\r\n\r\n"
       "%%TopBBeginSection[GRAPH,{LANG_STR<TopBTC>}]%%\r\nbody B\r\n%%TopBEndSection%%\r\n\r\n"
       "tail A\r\n%%EndChapter%%\r\n"
       "%%BeginChapter%% B\r\nhead B\r\n\r\n%%TopCBeginSection[TABLE,{x}]%%\r\nbody C\r\n%%TopCEndSection%%\r\n\r\n"
       "%%EndChapter%%\r\n</html>\r\n"},
      // The record of TopB has another class; TopC is not kept: chapter B goes, head included.
      {{Record("topabeginsection", 2, 1), Record("TopBBeginSection", 2, 1), Record("TopCBeginSection", 2, 0)},
       "<html>\r\n\r\n%%BeginChapter%% A\r\nhead A\r\n\r\n"
       "%%TopABeginSection[TABLE,{LANG_STR<TopATC>}]%%\r\nbody A\r\n%%TopAEndSection%%\r\n\r\n"
       "tail A\r\n%%EndChapter%%\r\n</html>\r\n"},
      {{}, "<html>\r\n\r\n</html>\r\n"},
  };
  for (const Case& c : cases) {
    SetSections(c.records);
    EXPECT_EQ(Build(), c.expected);
  }
}

TEST_F(Pipeline, WithoutASectionListNothingIsWritten) {
  const std::string out = TemplatePath("TEMP0.HTM");
  EXPECT_EQ(vrn::BuildWorkingTemplate(out.c_str(), run_.get(), "template.var"), 0);
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(Pipeline, FailuresShowTheirMessages) {
  SetSections({Record("TopABeginSection", 2, 1)});
  tpltest::BoxRecorder boxes;
  EXPECT_EQ(vrn::BuildWorkingTemplate(TemplatePath("TEMP0.HTM").c_str(), run_.get(), "missing.var"), 0);
  EXPECT_EQ(vrn::BuildWorkingTemplate((root_ + "no/such/folder/TEMP0.HTM").c_str(), run_.get(), "template.var"), 0);
  std::string handed = "stale";
  EXPECT_EQ(vrn::LocaliseTemplate((root_ + "nothing.htm").c_str(), run_.get(), &handed), 0);
  EXPECT_EQ(handed, "") << "nothing handed back from a template that did not open";
  ASSERT_EQ(boxes.boxes.size(), 4u);  // the last one also finds no language file
  EXPECT_EQ(boxes.boxes[0], "Load: Can't Load template file");
  EXPECT_EQ(boxes.boxes[1], "Save: Cannot Save template file!");
  EXPECT_EQ(boxes.boxes[3], "Load: Cannot Load template file");
}

TEST_F(Pipeline, UnfinishedMarkersKeepTheRestOfTheText) {
  struct Case {
    std::string source;
    std::string expected;
  } cases[] = {
      {Crlf({"no chapters", "%%TopABeginSection[TABLE]%%"}), Crlf({"no chapters", "%%TopABeginSection[TABLE]%%"})},
      {Crlf({"x", "%%BeginChapter%%", "never ends"}), Crlf({"x", "", "%%BeginChapter%%", "never ends"})},
      // A section without its end stops the walk: the chapter keeps what was
      // assembled (here nothing kept, so it goes) and the rest stays.
      {Crlf({"%%BeginChapter%%", "%%TopABeginSection[TABLE]%%", "open", "%%EndChapter%%", "after"}), "\r\nafter\r\n"},
      {Crlf({"%%BeginChapter%%", "%%TopABeginSection[TABLE]%%", "%%TopAEndSection%%", "%%TopABeginSection[TABLE]%%",
             "open", "%%EndChapter%%", "after"}),
       Crlf({"", "%%BeginChapter%%", "", "%%TopABeginSection[TABLE]%%", "%%TopAEndSection%%", "", "after"})},
  };
  SetSections({Record("TopABeginSection", 2, 1)});
  for (const Case& c : cases) {
    WriteFile(TemplatePath("template.var"), c.source);
    EXPECT_EQ(Build(), c.expected);
  }
}

TEST(RepeatBlocks, RowsAndColumnsAreNumbered) {
  const std::string chapter = "before\r\n%%%BeginRepeat%%%\r\n<r>^ ~</r>\r\n%%%EndRepeat[1,3]%%%\r\nafter\r\n";
  struct Case {
    uint16_t rows, columns, first;
    std::string body;
  } cases[] = {
      {3, 0, 1, "<r>1 1</r>\r\n<r>2 2</r>\r\n<r>3 3</r>\r\n"},
      {3, 2, 1, "<r>1 1,0</r>\r\n<r>1 1,1</r>\r\n<r>2 2,0</r>\r\n<r>2 2,1</r>\r\n<r>3 3,0</r>\r\n<r>3 3,1</r>\r\n"},
      {2, 0, 0, "<r>1 0</r>\r\n<r>2 1</r>\r\n"},
      {0, 0, 0, ""},
  };
  for (const Case& c : cases) {
    const TemplateSectionRecord r = Record("X", 2, 1, c.rows, c.columns, c.first);
    std::string out;
    EXPECT_EQ(vrn::ExpandRepeatBlocksToText(&r, chapter, &out), 1);
    EXPECT_EQ(out, "before\r\n" + c.body + "\r\nafter\r\n");
  }
  const TemplateSectionRecord r = Record("X", 2, 1, 2);
  std::string out;
  EXPECT_EQ(vrn::ExpandRepeatBlocksToText(&r, "plain ^ ~", &out), 0);
  EXPECT_EQ(out, "plain ^ ~");
  // A block without its end is left as it stands.
  EXPECT_EQ(vrn::ExpandRepeatBlocksToText(&r, "a%%%BeginRepeat%%%^", &out), 0);
  EXPECT_EQ(out, "a%%%BeginRepeat%%%^");
  // Two blocks in one chapter.
  EXPECT_EQ(vrn::ExpandRepeatBlocksToText(&r, "%%%BeginRepeat%%%^%%%EndRepeat[0,2]%%%|%%%BeginRepeat%%%~%%%EndRepeat[0,2]%%%",
                                          &out),
            1);
  EXPECT_EQ(out, "1\r\n2\r\n|0\r\n1\r\n");
}

TEST(RepeatBlocks, AnOverlongRowIsCut) {
  const TemplateSectionRecord r = Record("X", 2, 1, 1);
  std::string out;
  vrn::ExpandRepeatBlocksToText(&r, "%%%BeginRepeat%%%" + std::string(20000, 'x') + "%%%EndRepeat[0,1]%%%", &out);
  EXPECT_EQ(out, std::string(vrn::kRepeatLineLimit, 'x') + "\r\n");
}

class Localise : public tpltest::TemplateFolder {
 protected:
  void SetUp() override {
    TemplateFolder::SetUp();
    vrn::ResetRplTable();
    WriteFile(TemplatePath("ENGLISH.RPL"),
              "<Title>{Report}<TopUsersTC>{Visitors}<TopUsersMorvaneTC>{Visitors with data}"
              "<TopAuthUsersTC>{Users}<TopAuthUsersMorvaneTC>{Users with data}");
    WriteFile(TemplatePath("FRENCH.RPL"), "<Title>{Rapport}");
    profile_ = static_cast<DravelEntry*>(std::calloc(1, sizeof(DravelEntry)));
    run_->profile = profile_;
  }
  void TearDown() override {
    if (profile_->MorvaneIP != nullptr) FreeMorvane(profile_->MorvaneIP);
    if (profile_->MorvaneAuthUser != nullptr) FreeMorvane(profile_->MorvaneAuthUser);
    std::free(profile_);
    vrn::ResetRplTable();
    TemplateFolder::TearDown();
  }
  std::string Localised(const std::string& text) {
    const std::string path = TemplatePath("TEMP0.HTM");
    WriteFile(path, text);
    // The text handed back is the file as it now stands.
    std::string handed = "stale";
    EXPECT_EQ(vrn::LocaliseTemplate(path.c_str(), run_.get(), &handed), 1);
    const std::string file = ReadFile(path);
    EXPECT_EQ(handed, file);
    return file;
  }
  DravelEntry* profile_ = nullptr;
};

TEST_F(Localise, PlaceholdersTakeTheLanguagesValues) {
  std::strcpy(run_->language, "ENGLISH");
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"<t>LANG_STR<Title></t>", "<t>Report</t>"},
      {"LANG_STR<Title>LANG_STR<Title>", "ReportReport"},
      {"a LANG_STR<Unknown> b", "a  b"},
      {"LANG_STR<title>", ""},
      {"LANG_STR<TopUsersTC> LANG_STR<TopAuthUsersTC>", "Visitors Users"},
      {"end LANG_STR<Title", "end Title"},
      {"no placeholders", "no placeholders"},
  };
  for (const Case& c : cases) EXPECT_EQ(Localised(c.text), c.expected) << c.text;

  std::strcpy(run_->language, "FRENCH");
  EXPECT_EQ(Localised("LANG_STR<Title>"), "Rapport");
}

TEST_F(Localise, MorvaneTitlesOnlyWhenTheLookupIsEnabled) {
  std::strcpy(run_->language, "ENGLISH");
  profile_->MorvaneIP = AllocMorvane();
  profile_->MorvaneIP->Enabled = 0;
  EXPECT_EQ(Localised("LANG_STR<TopUsersTC>|LANG_STR<TopAuthUsersTC>"), "Visitors|Users");
  profile_->MorvaneIP->Enabled = 1;
  EXPECT_EQ(Localised("LANG_STR<TopUsersTC>|LANG_STR<TopAuthUsersTC>"), "Visitors with data|Users");
  profile_->MorvaneAuthUser = AllocMorvane();
  profile_->MorvaneAuthUser->Enabled = 1;
  EXPECT_EQ(Localised("LANG_STR<TopUsersTC>|LANG_STR<TopAuthUsersTC>"), "Visitors with data|Users with data");
}

class ReportPaths : public tpltest::TemplateFolder {};

TEST_F(ReportPaths, TempNamesSkipExistingFiles) {
  WriteFile(TemplatePath("TEMP0.HTM"), "x");
  WriteFile(TemplatePath("TEMP1.HTM"), "x");
  char path[260];
  std::snprintf(path, sizeof path, "%sTemplate\\", app_.c_str());
  ASSERT_TRUE(vrn::MakeTempReportName(path, sizeof path));
  EXPECT_EQ(std::string(path), app_ + "Template\\TEMP2.HTM");
  char tight[8] = "a/";
  EXPECT_FALSE(vrn::MakeTempReportName(tight, sizeof tight));
  EXPECT_STREQ(tight, "a/");
  EXPECT_EQ(vrn::FileExists(TemplatePath("TEMP0.HTM").c_str()), 1);
  EXPECT_EQ(vrn::FileExists((app_ + "Template").c_str()), 1);
  EXPECT_EQ(vrn::FileExists(TemplatePath("TEMP9.HTM").c_str()), 0);
}

TEST_F(ReportPaths, TheLogKindChoosesTheSourceAndTheWorkingTemplateIsWritten) {
  EXPECT_STREQ(vrn::TemplateSourceName(7), "referlog.var");
  EXPECT_STREQ(vrn::TemplateSourceName(8), "agentlog.var");
  EXPECT_STREQ(vrn::TemplateSourceName(1), "template.var");

  WriteFile(TemplatePath("referlog.var"), Crlf({"refer", "%%BeginChapter%%", "%%TopReferersBeginSection[TABLE]%%",
                                                "%%TopReferersEndSection%%", "%%EndChapter%%"}));
  WriteFile(TemplatePath("TEMP0.HTM"), "taken");
  TemplateSectionRecord r = Record("TopReferersBeginSection", 2, 1);
  run_->sectionListHandle = kv::GlobalAlloc(kv::kGlobalMoveable, 2 * sizeof r);
  std::memcpy(kv::GlobalLock(run_->sectionListHandle), &r, sizeof r);
  kv::GlobalUnlock(run_->sectionListHandle);
  run_->sectionCount = 1;
  auto context = std::make_unique<vrn::AnalysisContext>();
  context->logKind = 7;
  // The pictures lie beside the search-engine file, above the profile folder.
  std::filesystem::create_directories(root_ + "Base/Images");
  WriteFile(root_ + "keywords.ini", "");
  vrn::SetReportWorkPaths(run_.get(), (app_ + "profiles/").c_str());
  EXPECT_EQ(vrn::BuildTemplatePaths(run_.get(), context.get()), 1);
  EXPECT_EQ(std::string(context->workingTemplatePath), app_ + "Template\\TEMP1.HTM");
  EXPECT_EQ(std::string(context->imagesReference), root_ + "Base/Images/TEMP0.HTM");
  EXPECT_EQ(ReadFile(TemplatePath("TEMP1.HTM")).substr(0, 5), "refer");
  kv::GlobalFree(run_->sectionListHandle);
  run_->sectionListHandle = 0;
}

TEST(LanguageFolder, EnglishIsTheProgramFolder) {
  struct Case {
    const char* language;
    const char* expected;
  } cases[] = {{"english", "C:\\kv\\"}, {"ENGLISH", "C:\\kv\\"}, {"FRENCH", "C:\\kv\\LANG\\FRENCH\\"}};
  for (const Case& c : cases) {
    std::string path = "C:\\kv\\";
    vrn::GetLanguageFolder(c.language, &path);
    EXPECT_EQ(path, c.expected);
  }
}

}  // namespace

namespace {

// The delivered templates and language file, copied into a run's folder:
// every section kept, the working template is built, localised and scanned.
class DeliveredTemplates : public tpltest::TemplateFolder {};

TEST_F(DeliveredTemplates, BuildLocaliseAndScan) {
  const char* source = std::getenv("KV_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  const std::string shipped = std::string(source) + "/data/kvm_log/Template/";
  for (const char* name : {"template.var", "referlog.var", "agentlog.var", "ENGLISH.RPL"})
    WriteFile(TemplatePath(name), ReadFile(shipped + name));
  vrn::ResetRplTable();

  for (const char* name : {"template.var", "referlog.var", "agentlog.var"}) {
    uint16_t count = 0;
    uint32_t handle = 0;
    char header[200] = "";
    ASSERT_EQ(VRN_ReadTemplateSectionList(TemplatePath(name).c_str(), &count, &handle, header, sizeof header), 1);
    EXPECT_GT(count, 0) << name;
    EXPECT_NE(header[0], 0) << name;
    auto* records = static_cast<TemplateSectionRecord*>(kv::GlobalLock(handle));
    for (uint16_t i = 0; i < count; ++i) records[i].Kept = 1;
    kv::GlobalUnlock(handle);
    run_->sectionListHandle = handle;
    run_->sectionCount = count;
    std::strcpy(run_->language, "ENGLISH");
    const std::string working = TemplatePath("TEMP0.HTM");
    ASSERT_EQ(vrn::BuildWorkingTemplate(working.c_str(), run_.get(), name), 1);
    ASSERT_EQ(vrn::LocaliseTemplate(working.c_str(), run_.get()), 1);
    const std::string text = ReadFile(working);
    EXPECT_EQ(text.find("LANG_STR<"), std::string::npos) << name;
    EXPECT_EQ(text.find("%%%BeginRepeat"), std::string::npos) << name;
    EXPECT_NE(text.find("[9]"), std::string::npos) << name;  // the tenth generated row
    vrn::ScanTemplateSections(working.c_str());
    bool anyUsed = false;
    for (int i = 0; i < vrn::kItemTableCount; ++i) anyUsed = anyUsed || vrn::GetSectionTable()[i].used != 0;
    EXPECT_TRUE(anyUsed) << name;
    kv::GlobalFree(handle);
    run_->sectionListHandle = 0;
  }
  EXPECT_EQ(vrn::GetSectionTable()[12].used, 1u);  // agentlog.var: TopBrowsers
  EXPECT_EQ(vrn::GetSectionTable()[12].maxRow, 9u);
  vrn::ResetRplTable();
}

TEST(CloseReportDatabase, ARunWithoutDatabaseIsCleared) {
  auto run = std::make_unique<vrn::ReportHandle>();
  EXPECT_EQ(vrn::CloseReportDatabase(run.get()), 1);
  EXPECT_EQ(run->databaseHandle, 0u);
  EXPECT_EQ(run->database, nullptr);
  EXPECT_EQ(vrn::CloseReportDatabase(nullptr), 1);
}

}  // namespace
