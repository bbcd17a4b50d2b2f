#include "engine/reports/template_lists.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/reports/graph_specs.h"
#include "engine/reports/template_test_support.h"
#include "platform/base/files.h"
#include "platform/base/memory.h"

namespace {

using tpltest::Crlf;
using tpltest::ReadFile;
using tpltest::WriteFile;

const std::string kTemplate = Crlf({
    "<html><!-- <KVHDR>Old description</KVHDR> -->",
    "%%BeginChapter%%",
    "<!-- %%TopPagesBeginSection[TABLE,0,{LANG_STR<TopPagesTC>}]%% -->",
    "<table>",
    "%%%BeginRepeat%%%",
    "<tr><td>%%TopDocumentsDesc[~]%%</td></tr>",
    "%%%EndRepeat[0,10,2]%%%",
    "</table>",
    "<!-- %%TopPagesEndSection%% -->",
    "<!-- %%TopBrowsersBeginSection[GRAPH,0,{LANG_STR<TopBrowsersTC>}]%% -->",
    "%%TopBrowsersGraph[BARS=50, {Browsers}, 3D, Items {Names}, Hits {Requests}, 0-9]%%",
    "<!-- %%TopBrowsersEndSection%% -->",
    "<!-- %%TopHoursBeginSection[NOEDITGRAPH,0,{LANG_STR<TopHoursTC>}]%% -->",
    "%%TopHoursGraph[LINES, {Hours}, 2D, Timeline {Time}, Users {Visits}, 2-5,FF:Total]%%",
    "<!-- %%TopHoursEndSection%% -->",
    "%%EndChapter%%",
    "</html>",
});

class TemplateLists : public tpltest::TemplateFolder {
 protected:
  void SetUp() override {
    TemplateFolder::SetUp();
    path_ = TemplatePath("t.var");
    WriteFile(path_, kTemplate);
  }
  std::vector<TemplateItemRecord> Items(const char* saved = nullptr, std::string* header = nullptr) {
    uint16_t count = 0;
    uint32_t handle = 0;
    char buffer[200] = "untouched";
    EXPECT_EQ(VRN_ReadTemplateItemList(path_.c_str(), saved, &count, &handle, buffer, sizeof buffer), 1);
    if (header != nullptr) *header = buffer;
    std::vector<TemplateItemRecord> items(count);
    auto* records = static_cast<TemplateItemRecord*>(kv::GlobalLock(handle));
    std::memcpy(items.data(), records, count * sizeof(TemplateItemRecord));
    kv::GlobalUnlock(handle);
    kv::GlobalFree(handle);
    return items;
  }
  std::string Write(const std::vector<TemplateItemRecord>& items, const char* header) {
    const uint32_t handle = kv::GlobalAlloc(kv::kGlobalMoveable, (items.size() + 1) * sizeof(TemplateItemRecord));
    std::memcpy(kv::GlobalLock(handle), items.data(), items.size() * sizeof(TemplateItemRecord));
    kv::GlobalUnlock(handle);
    const std::string out = TemplatePath("out.var");
    EXPECT_EQ(VRN_WriteTemplateItemList(out.c_str(), static_cast<uint16_t>(items.size()), handle, header), 1);
    kv::GlobalFree(handle);
    return ReadFile(out);
  }
  static vrn::GraphSpec Spec(const TemplateItemRecord& item) {
    vrn::GraphSpec spec;
    std::memcpy(&spec, item.Spec, sizeof spec);
    return spec;
  }
  static uint16_t Rows(const TemplateItemRecord& item) {
    uint16_t rows = 0;
    std::memcpy(&rows, item.Spec, sizeof rows);
    return rows;
  }
  std::string path_;
};

TEST(TemplateItemClass, Keywords) {
  struct Case {
    const char* word;
    uint16_t cls;
  } cases[] = {{"NOEDITGRAPH", 3}, {"noedittable", 4}, {"GRAPH", 1}, {"GraphX", 1}, {"TABLE", 2},
               {"TABLES", 2},      {"NOEDITGRAPHS", 0}, {"", 0},      {"BAR", 0}};
  for (const Case& c : cases) EXPECT_EQ(vrn::ClassifyTemplateItem(c.word), c.cls) << c.word;
}

TEST_F(TemplateLists, ItemsAreReadWithTheirSpecifications) {
  std::string header;
  const auto items = Items(nullptr, &header);
  EXPECT_EQ(header, "Old description");
  ASSERT_EQ(items.size(), 3u);
  const size_t tableStart = kTemplate.find("<!-- %%TopPages");
  EXPECT_EQ(items[0].StartOffset, tableStart);
  EXPECT_EQ(items[0].Length, kTemplate.find("<!-- %%TopBrowsersBegin") - tableStart);
  EXPECT_EQ(items[0].Class, 2);
  EXPECT_STREQ(items[0].Title, "LANG_STR<TopPagesTC>");
  EXPECT_EQ(Rows(items[0]), 10);
  EXPECT_EQ(kTemplate.substr(tableStart + items[0].SpecOffset, items[0].SpecLength), "10");
  EXPECT_EQ(items[0].Selected, 1);
  EXPECT_EQ(items[0].Modified, 0);
  EXPECT_EQ(std::string(items[0].TemplatePath), path_);

  EXPECT_EQ(items[1].Class, 1);
  const vrn::GraphSpec spec = Spec(items[1]);
  EXPECT_EQ(spec.chartType, vrn::kChartBars);
  EXPECT_EQ(spec.height, 50);
  EXPECT_EQ(spec.lastRow, 9);
  EXPECT_EQ(kTemplate.substr(items[1].StartOffset + items[1].SpecOffset, items[1].SpecLength),
            "BARS=50, {Browsers}, 3D, Items {Names}, Hits {Requests}, 0-9");
  EXPECT_EQ(items[2].Class, 3);
  EXPECT_EQ(items[2].Selected, 0);  // not editable: never selected by the plain read
}

TEST_F(TemplateLists, SectionsAreReadWithTheirCounts) {
  uint16_t count = 0;
  uint32_t handle = 0;
  char header[8] = "keep";
  WriteFile(TemplatePath("nohdr.var"), kTemplate.substr(kTemplate.find("%%BeginChapter")));
  ASSERT_EQ(VRN_ReadTemplateSectionList(TemplatePath("nohdr.var").c_str(), &count, &handle, header, sizeof header), 1);
  EXPECT_STREQ(header, "keep");  // no header block: the buffer is untouched
  ASSERT_EQ(count, 3);
  const auto* s = static_cast<const TemplateSectionRecord*>(kv::GlobalLock(handle));
  EXPECT_STREQ(s[0].Name, "TopPagesBeginSection");
  EXPECT_STREQ(s[0].Title, "TopPagesTC");
  EXPECT_EQ(int{s[0].Class}, 2);
  EXPECT_EQ(int{s[0].FirstRow}, 0);
  EXPECT_EQ(int{s[0].RowCount}, 10);
  EXPECT_EQ(int{s[0].ColumnCount}, 2);
  EXPECT_EQ(int{s[0].Kept}, 0);
  EXPECT_EQ(int{s[1].GraphType}, vrn::kChartBars);
  EXPECT_EQ(int{s[1].RowCount}, 9);
  EXPECT_EQ(int{s[1].GraphOption}, 1);
  EXPECT_EQ(int{s[2].Class}, 3);
  EXPECT_EQ(int{s[2].GraphType}, vrn::kChartLines);
  EXPECT_EQ(int{s[2].RowCount}, 5);
  EXPECT_EQ(int{s[2].GraphOption}, 0);
  kv::GlobalUnlock(handle);
  kv::GlobalFree(handle);
  EXPECT_EQ(VRN_ReadTemplateSectionList(TemplatePath("none.var").c_str(), &count, &handle, nullptr, 0), 0);
}

TEST_F(TemplateLists, WritingKeepsSelectedItemsAndRewritesModifiedOnes) {
  auto items = Items();
  // Unchanged: the template comes back with the new header only; the
  // not-editable item, never selected, stays as it is.
  std::string expected = kTemplate;
  expected.replace(expected.find("Old description"), 15, "New");
  EXPECT_EQ(Write(items, "New"), expected);

  // Row count 10 becomes 25; the column count stays.
  items[0].Modified = 1;
  const uint16_t rows = 25;
  std::memcpy(items[0].Spec, &rows, sizeof rows);
  // The chart becomes a 2-D pie with a total.
  items[1].Modified = 1;
  vrn::GraphSpec spec = Spec(items[1]);
  spec.chartType = vrn::kChartPies;
  spec.threeD = 0;
  spec.total = 1;
  std::memcpy(items[1].Spec, &spec, sizeof spec);
  std::string edited = expected;
  edited.replace(edited.find("%%%EndRepeat[0,10,2]"), 20, "%%%EndRepeat[0,25,2]");
  const std::string oldGraph = "BARS=50, {Browsers}, 3D, Items {Names}, Hits {Requests}, 0-9]";
  edited.replace(edited.find(oldGraph), oldGraph.size(), "PIE=50, {Browsers}, 2D, Items {Names}, Hits {Requests}, 0-9,ff0f:Total]");
  EXPECT_EQ(Write(items, "New"), edited);

  // Items that are not selected disappear.
  items[0].Selected = 0;
  items[1].Modified = 0;
  const std::string written = Write(items, nullptr);
  EXPECT_EQ(written.find("TopPagesBeginSection"), std::string::npos);
  EXPECT_NE(written.find("Old description"), std::string::npos);
  EXPECT_NE(written.find(oldGraph), std::string::npos);
}

// A template read and written back without edits is the template it was:
// its chapters, the text between its sections and its not-editable
// sections included. Leaving an item out takes that item only.
TEST_F(TemplateLists, AnUneditedTemplateIsWrittenBackWhole) {
  const std::string text = Crlf({
      "<html><!-- <KVHDR>Report</KVHDR> -->",
      "<h1>LANG_STR<Title></h1>",
      "<!-- %%BeginChapter%% -->",
      "<h2>Pages</h2>",
      "<!-- %%GeneralStatsBeginSection[NOEDITTABLE,0,{LANG_STR<GeneralStatsTC>}]%% -->",
      "<p>%%TechnicalStatsTotalHits%%</p>",
      "<!-- %%GeneralStatsEndSection%% -->",
      "",
      "<!-- %%TopDocumentsBeginSection[TABLE,0,{LANG_STR<TopDocumentsTC>}]%% -->",
      "%%%BeginRepeat%%%",
      "<p>%%TopDocumentsDesc[~]%%</p>",
      "%%%EndRepeat[0,10]%%%",
      "<!-- %%TopDocumentsEndSection%% -->",
      "",
      "<!-- %%EndChapter%% -->",
      "",
      "<!-- %%BeginChapter%% -->",
      "<h2>Visitors</h2>",
      "<!-- %%TopBrowsersBeginSection[GRAPH,0,{LANG_STR<TopBrowsersTC>}]%% -->",
      "<img src=\"%%TopBrowsersGraph[PIE, {B}, 3D, Items {N}, Hits {H}, 0-9]%%\">",
      "<!-- %%TopBrowsersEndSection%% -->",
      "",
      "<!-- %%EndChapter%% -->",
      "</html>",
  });
  WriteFile(path_, text);
  auto items = Items();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(Write(items, nullptr), text);
  items[1].Selected = 0;
  std::string without = text;
  const size_t documents = without.find("<!-- %%TopDocumentsBegin");
  without.erase(documents, without.find("<!-- %%TopDocumentsEnd") - documents);
  without.erase(documents, without.find("\r\n", documents) + 2 - documents);
  EXPECT_EQ(Write(items, nullptr), without);
}

TEST_F(TemplateLists, AModifiedNotEditableGraphIsWrittenInGraphForm) {
  auto items = Items();
  items[2].Selected = 1;
  items[2].Modified = 1;
  const std::string written = Write(items, nullptr);
  EXPECT_NE(written.find("%%TopHoursGraph[LINE, {Hours}, 2D, Timeline {Time}, Users {Visits}, 2-5,ff:Total]%%"),
            std::string::npos)
      << written;
}

TEST_F(TemplateLists, ASavedCopyCarriesItsSpecificationsOver) {
  std::string saved = kTemplate;
  saved.replace(saved.find("%%%EndRepeat[0,10,2]"), 20, "%%%EndRepeat[0,30,2]");
  saved.replace(saved.find("BARS=50"), 7, "PIE");
  WriteFile(TemplatePath("saved.var"), saved);
  const std::string savedPath = TemplatePath("saved.var");
  const auto items = Items(savedPath.c_str());
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].Selected, 1);
  EXPECT_EQ(Rows(items[0]), 30);
  EXPECT_EQ(std::string(items[0].TemplatePath), savedPath);
  EXPECT_EQ(Spec(items[1]).chartType, vrn::kChartPies);
  EXPECT_EQ(items[2].Selected, 0);
  // Writing takes each merged item from the saved copy.
  EXPECT_NE(Write(items, nullptr).find("%%%EndRepeat[0,30,2]"), std::string::npos);
}

TEST_F(TemplateLists, FailuresLeaveNothingBehind) {
  uint16_t count = 7;
  uint32_t handle = 9;
  const size_t live = kv::GlobalLiveCount();
  EXPECT_EQ(VRN_ReadTemplateItemList(TemplatePath("none.var").c_str(), nullptr, &count, &handle, nullptr, 0), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(kv::GlobalLiveCount(), live);
  // An item whose template is gone: the output is deleted.
  auto items = Items();
  std::filesystem::remove(path_);
  const uint32_t block = kv::GlobalAlloc(kv::kGlobalMoveable, (items.size() + 1) * sizeof(TemplateItemRecord));
  std::memcpy(kv::GlobalLock(block), items.data(), items.size() * sizeof(TemplateItemRecord));
  kv::GlobalUnlock(block);
  const std::string out = TemplatePath("out.var");
  EXPECT_EQ(VRN_WriteTemplateItemList(out.c_str(), static_cast<uint16_t>(items.size()), block, "x"), 0);
  EXPECT_FALSE(std::filesystem::exists(out));
  // A count beyond the block is refused.
  EXPECT_EQ(VRN_WriteTemplateItemList(out.c_str(), 50, block, "x"), 0);
  kv::GlobalFree(block);
}

TEST_F(TemplateLists, ATemplateWrittenBackOverItsSourceKeepsItsText) {
  auto items = Items();
  items[0].Modified = 1;
  const uint16_t rows = 12;
  std::memcpy(items[0].Spec, &rows, sizeof rows);
  const uint32_t block = kv::GlobalAlloc(kv::kGlobalMoveable, (items.size() + 1) * sizeof(TemplateItemRecord));
  std::memcpy(kv::GlobalLock(block), items.data(), items.size() * sizeof(TemplateItemRecord));
  kv::GlobalUnlock(block);
  EXPECT_EQ(VRN_WriteTemplateItemList(path_.c_str(), static_cast<uint16_t>(items.size()), block, "Again"), 1);
  kv::GlobalFree(block);
  const std::string text = ReadFile(path_);
  EXPECT_NE(text.find("<KVHDR>Again</KVHDR>"), std::string::npos);
  EXPECT_NE(text.find("%%%EndRepeat[0,12,2]%%%"), std::string::npos);
  EXPECT_NE(text.find("%%TopBrowsersGraph[BARS=50"), std::string::npos);
  EXPECT_NE(text.find("</html>"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(path_ + ".part"));
}

TEST_F(TemplateLists, HeaderCopyReplacesTheBlockOnce) {
  WriteFile(TemplatePath("h.txt"), "a<kvhdr>old</KVHDR>b<KVHDR>second</KVHDR>");
  KvFile out = kv::FileOpen(TemplatePath("o.txt").c_str(), kv::kFileWrite, kv::FileDisposition::kCreateAlways);
  EXPECT_EQ(vrn::WriteTemplateHeader(TemplatePath("h.txt").c_str(), out, 0, vrn::kCopyToEnd, "new", 4096), 1);
  EXPECT_EQ(vrn::WriteTemplateHeader(TemplatePath("h.txt").c_str(), out, 1, 3, nullptr, 2), 1);
  EXPECT_EQ(vrn::WriteTemplateHeader(TemplatePath("h.txt").c_str(), out, 40, 10, nullptr, 4096), 0);  // short read
  kv::FileClose(out);
  EXPECT_EQ(ReadFile(TemplatePath("o.txt")), "a<kvhdr>new</KVHDR>b<KVHDR>second</KVHDR><kv");
}

}  // namespace
