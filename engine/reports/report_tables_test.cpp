// Table token values over small item tables, and charts written through the
// charting and image modules of the program folder (checked by decoding the
// written image: its size and a few colours).
#include "engine/reports/report_tables.h"

#include <gtest/gtest.h>

#include <gd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <vornic/settings.h>

#include "engine/core/engine_state.h"
#include "engine/database/finishing.h"
#include "engine/database/item_tables_test_support.h"
#include "engine/database/table_accessors.h"
#include "engine/reports/report_driver.h"
#include "engine/reports/template_variables.h"
#include "platform/base/files.h"

namespace vrn {
namespace {

using testing_support::Item;
using testing_support::TestAnalysis;

struct Value {
  std::string text;
  int32_t control;
};

struct Call {
  int32_t kind;
  std::string text;
  int32_t flag;
};
std::vector<Call> g_calls;
int32_t RecordCall(int32_t kind, const char* text, int32_t flag) {
  g_calls.push_back({kind, text != nullptr ? text : "(null)", flag});
  return 0;
}

class ReportTables : public testing::Test {
 protected:
  void SetUp() override {
    ResetSectionTable(1);
    g_calls.clear();
    GetChartSettings() = ChartSettings{};
    char pattern[] = "/tmp/rtablesXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const kv::FileInfo& f : kv::FindFiles((dir_ + "/*").c_str())) kv::FileDelete((dir_ + "/" + f.name).c_str());
    rmdir(dir_.c_str());
    GetChartSettings() = ChartSettings{};
  }

  // Adds items (name, hits, users, bytes, average time) to a table and
  // sorts it by hits.
  struct Row {
    const char* name;
    uint32_t hits, users;
    double bytes;
    uint32_t seconds;
    uint32_t nonCached;
  };
  SummaryTableEntry* Fill(int index, const std::vector<Row>& rows) {
    SummaryTableEntry* t = a_.Table(static_cast<uint32_t>(index));
    for (const Row& r : rows) {
      NameTableEntry* e = Item(t, AddNameToTable(t, r.name) - 1);
      e->TotalByHits = r.hits;
      e->TotalByUsers = r.users;
      e->TotalBytes = r.bytes;
      e->TimeOnPages = r.seconds;
      e->TimeOnPagesCount = r.seconds != 0 ? 1 : 0;
      e->NonCachedTotalByHits = r.nonCached;
      e->SlotHits[0] = r.hits / 2;
      e->SlotHits[1] = r.hits - r.hits / 2;
      e->SlotUsers[0] = r.users;
    }
    SortTable(t, kSortByHits);
    GetSectionTable()[index].empty = rows.empty() ? 1 : 0;
    return t;
  }

  Value Emit(const std::string& token, const char* section, int index, uint16_t firstTotalsRow = 0,
             ReportFileCallback callback = nullptr) {
    char value[kReportValueSize];
    int32_t control = 0;
    EXPECT_EQ(EmitReportTable(a_.ctx, value, sizeof value, token.c_str(), section, GetTableDescriptor(a_.ctx, index),
                              index, firstTotalsRow, &control, callback),
              0);
    return {value, control};
  }

  TestAnalysis a_;
  std::string dir_;
};

const Value kDrop{"", 1};

bool operator==(const Value& a, const Value& b) { return a.text == b.text && a.control == b.control; }
std::ostream& operator<<(std::ostream& os, const Value& v) { return os << '"' << v.text << "\" control " << v.control; }

TEST_F(ReportTables, SectionAndChapterBrackets) {
  Fill(kTopDocuments, {{"/a.htm", 3, 1, 10, 0, 0}});  // has data
  struct Case {
    const char* token;
    const char* section;
    int index;
    Value value;
  } cases[] = {
      {"TopDocumentsBeginSection[GRAPH, {x}]", "TopDocuments", kTopDocuments, {"%%BookMark%%", 1}},
      {"TopDocumentsEndSection", "TopDocuments", kTopDocuments, {"%%Keep%%", 1}},
      {"topdocumentsbeginchapter", "TopDocuments", kTopDocuments, {"%%BookMarkChapter%%", 1}},
      {"TopDocumentsEndChapter", "TopDocuments", kTopDocuments, {"%%Keep%%", 1}},
      {"TopExitBeginSection", "TopExit", kTopExit, {"%%BookMark%%", 1}},
      {"TopExitEndSection", "TopExit", kTopExit, {"%%Remove%%", 1}},
      {"TopExitEndChapter", "TopExit", kTopExit, {"%%RemoveChapter%%", 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token);
    EXPECT_EQ(Emit(c.token, c.section, c.index), c.value);
  }
}

TEST_F(ReportTables, RowCells) {
  Fill(kTopDocuments, {{"/a.htm", 30, 7, 1025, 3725, 15},
                       {"/b.htm", 20, 3, 1048576, 59, 0},
                       {"/c.htm", 0, 0, 0, 0, 0}});
  Fill(kTopBottom, {{"/most.htm", 9, 1, 0, 0, 0}, {"/least.htm", 2, 1, 0, 0, 0}});
  struct Case {
    const char* token;
    Value value;
  } cases[] = {
      {"TopDocumentsHits[0]", {"30", 0}},
      {"TopDocumentsHits[2]", {"0", 0}},  // the item exists with 0 hits
      {"TopDocumentsHits[3]", kDrop},     // no fourth item
      {"TopDocumentsUsers[1]", {"3", 0}},
      {"TopDocumentsUsers[7]", kDrop},
      {"TopDocumentsAsPercent[0]", {"60%", 0}},
      {"TopDocumentsAsPercent[2]", {"0%", 0}},
      {"TopDocumentsAsPercent[3]", kDrop},
      {"TopDocumentsTime[0]", {"01:02:05", 0}},
      {"TopDocumentsTime[1]", {"00:00:59", 0}},
      {"TopDocumentsTime[2]", kDrop},  // exists, but no time on the page
      {"TopDocumentsBytes[0]", {"2", 0}},
      {"TopDocumentsBytes[1]", {"1,024", 0}},
      {"TopDocumentsBytes[2]", {"0", 0}},
      {"TopDocumentsBytes[5]", kDrop},
      {"TopDocumentsNonCachedBytes[1]", {"1,024", 0}},
      {"TopDocumentsNonCachedAsPercent[0]", {"50%", 0}},
      {"TopDocumentsNonCachedAsPercent[2]", {"0%", 0}},
      {"TopDocumentsNonCachedAsPercent[4]", kDrop},
      {"TopDocumentsTitle[3]", kDrop},
      {"TopDocumentsTitle[0]", {"", 0}},  // no title found: the line stays
      {"TopDocumentsDesc[1]", {"/b.htm", 0}},
      {"TopDocumentsDesc[3]", kDrop},
      {"TopDocumentsSomethingElse[0]", {"", 0}},
      {"TopDocumentsDebugTableName", {"TopDocuments", 0}},
      {"TopDocumentsDebugElemCount", {"3", 0}},
      {"TopDocumentsDebugElemNameSize", {"21", 0}},
      {"TopDocumentsDebugElemSize", {"1044", 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token);
    EXPECT_EQ(Emit(c.token, "TopDocuments", kTopDocuments), c.value);
  }
  // TopBottom counts its ranks from the end of the table.
  EXPECT_EQ(Emit("TopBottomHits[0]", "TopBottom", kTopBottom), (Value{"2", 0}));
  EXPECT_EQ(Emit("TopBottomHits[1]", "TopBottom", kTopBottom), (Value{"9", 0}));
  // Other tables give the item's name as its title.
  Fill(kTopBrowsers, {{"Mozilla", 4, 1, 0, 0, 0}});
  EXPECT_EQ(Emit("TopBrowsersTitle[0]", "TopBrowsers", kTopBrowsers), (Value{"Mozilla", 0}));
  // Without an organisation file a company has no name, and the line stays.
  Fill(kTopCompanies, {{"www.example.com", 4, 1, 0, 0, 0}});
  EXPECT_EQ(Emit("TopCompaniesTitle[0]", "TopCompanies", kTopCompanies, 1), (Value{"", 0}));
}

TEST_F(ReportTables, PercentCellsDivideByTheWholeTableOfEachReport) {
  // The whole table's hits are summed once per report: a report begun after
  // the table changed, or a table that gained an item, gets the new sum.
  SummaryTableEntry* t = Fill(kTopDocuments, {{"/a.htm", 30, 7, 0, 0, 0}, {"/b.htm", 20, 3, 0, 0, 0}});
  auto hitsOf = [t](const char* name) -> uint32_t& {
    for (uint32_t i = 0; i < t->Count; ++i) {
      if (std::strcmp(t->Items[i]->String, name) == 0) return t->Items[i]->TotalByHits;
    }
    ADD_FAILURE() << name;
    static uint32_t none = 0;
    return none;
  };
  ResetChartOccurrences();
  EXPECT_EQ(Emit("TopDocumentsAsPercent[0]", "TopDocuments", kTopDocuments), (Value{"60%", 0}));
  EXPECT_EQ(Emit("TopDocumentsAsPercent[1]", "TopDocuments", kTopDocuments), (Value{"40%", 0}));
  hitsOf("/b.htm") = 70;    // same items, same count: rows stay as they are
  ResetChartOccurrences();  // the next report
  EXPECT_EQ(Emit("TopDocumentsAsPercent[0]", "TopDocuments", kTopDocuments), (Value{"30%", 0}));
  Fill(kTopDocuments, {{"/c.htm", 100, 1, 0, 0, 0}});  // sorted: c, b, a
  EXPECT_EQ(Emit("TopDocumentsAsPercent[0]", "TopDocuments", kTopDocuments), (Value{"50%", 0}));
  // The report driver forgets the sums too before it resolves a report.
  hitsOf("/a.htm") = 0;
  hitsOf("/b.htm") = 0;
  ResetResolverCounters();
  EXPECT_EQ(Emit("TopDocumentsAsPercent[0]", "TopDocuments", kTopDocuments), (Value{"100%", 0}));
}

TEST_F(ReportTables, TotalsCoverTheRowsTheSectionShows) {
  std::vector<Row> rows;
  std::vector<std::string> names;
  for (int i = 0; i < 100; ++i) names.push_back("/p" + std::to_string(i));
  for (int i = 0; i < 100; ++i) rows.push_back({names[i].c_str(), static_cast<uint32_t>(200 - i), 1, 1024.0, 0, 0});
  Fill(kTopDocuments, rows);
  GetSectionTable()[kTopDocuments].maxRow = 9;
  // Ranks 0..9: 200 + 199 + ... + 191.
  EXPECT_EQ(Emit("TopDocumentsTotalHits", "TopDocuments", kTopDocuments), (Value{"1955", 0}));
  EXPECT_EQ(Emit("TopDocumentsTotalUsers", "TopDocuments", kTopDocuments), (Value{"10", 0}));
  EXPECT_EQ(Emit("TopDocumentsTotalBytes", "TopDocuments", kTopDocuments), (Value{"10", 0}));
  // Of all 100 items: 15050 hits; 1955 of them is 12.99%.
  EXPECT_EQ(Emit("TopDocumentsTotalAsPercent", "TopDocuments", kTopDocuments), (Value{"12.99%", 0}));
  // TopUsers and TopCompanies pass a first row of totals of 1: item 0 is
  // left out only when it is the table's overflow item.
  EXPECT_EQ(Emit("TopDocumentsTotalHits", "TopDocuments", kTopDocuments, 1), (Value{"1955", 0}));
  LockTableItems(GetTableDescriptor(a_.ctx, kTopDocuments))[0]->Overflow = 1;
  UnlockTableItems(GetTableDescriptor(a_.ctx, kTopDocuments));
  EXPECT_EQ(Emit("TopDocumentsTotalHits", "TopDocuments", kTopDocuments, 1), (Value{"1755", 0}));
}

TEST_F(ReportTables, DescriptionsAndVisitPaths) {
  const std::string savedProfileDir = g_engine.slots[0].profileDir;
  g_engine.slots[0].profileDir = "C:\\prof";
  Fill(kTopDownloads, {{"file:///../docs/a.htm", 2, 1, 0, 0, 0}, {"file://server/x.zip", 1, 1, 0, 0, 0}});
  EXPECT_EQ(Emit("TopDownloadsDesc[0]", "TopDownloads", kTopDownloads), (Value{"file:///C|/prof/../docs/a.htm", 0}));
  EXPECT_EQ(Emit("TopDownloadsDesc[1]", "TopDownloads", kTopDownloads), (Value{"file://server/x.zip", 0}));
  g_engine.slots[0].profileDir = "C:\\prof\\";
  EXPECT_EQ(Emit("TopDownloadsDesc[0]", "TopDownloads", kTopDownloads), (Value{"file:///C|/prof/../docs/a.htm", 0}));
  g_engine.slots[0].profileDir = savedProfileDir;

  // A visit path names its pages by item number.
  for (const char* d : {"/index.html", "/news.html", "/about.html"}) AddNameToTable(a_.Table(kTopDocuments), d);
  AddNameToTable(a_.Table(kTopForms), "/order.cgi");
  Item(a_.Table(kTopDocuments), 0)->TotalByHits = 1;
  SortAllTables(a_.ctx, 0);
  AddNameToTable(a_.Table(kTopPaths), "000000020000000000010000");
  // The form step (0001....) reads as its page with a "?".
  EXPECT_EQ(Emit("TopPathsPath[0]", "TopPaths", kTopPaths),
            (Value{"<B>1. /about.html</B><BR><I>2. /index.html</I><BR><I>3. /order.cgi?</I><BR>", 0}));
  EXPECT_EQ(Emit("TopPathsDesc[0]", "TopPaths", kTopPaths), (Value{"/about.html\r\n/index.html\r\n/order.cgi", 0}));
  EXPECT_EQ(Emit("TopPathsPath[1]", "TopPaths", kTopPaths), kDrop);
}

TEST_F(ReportTables, ChartRowsAreBoundedByTheTableAndFifty) {
  GraphSpec spec{};
  SetGraphSpecDefaults(&spec);
  struct Case {
    uint16_t first, last;
    uint32_t items;
    size_t rows;
    uint16_t firstRow;
  } cases[] = {{0, 99, 500, 50, 0}, {0, 9, 3, 3, 0}, {5, 9, 500, 5, 5}, {3, 2, 10, 0, 0}, {0, 9, 0, 0, 0}};
  for (const Case& c : cases) {
    spec.firstRow = c.first;
    spec.lastRow = c.last;
    const std::vector<uint16_t> rows = ChartRows(spec, c.items);
    EXPECT_EQ(rows.size(), c.rows) << c.first << "-" << c.last << " of " << c.items;
    if (!rows.empty()) {
      EXPECT_EQ(rows.front(), c.firstRow);
    }
  }
}

// ---- charts -----------------------------------------------------------------------

class ReportCharts : public ReportTables {
 protected:
  void SetUp() override {
    ReportTables::SetUp();
    InitGSWLibrary(1, 0);
    ASSERT_EQ(g_engine.gswStartResult, 0u) << "charting module did not start";
    std::snprintf(a_.ctx->outputPath, sizeof a_.ctx->outputPath, "%s/report.old.htm", dir_.c_str());
    a_.ctx->slotCount = 24;
    a_.ctx->logKind = 1;
    g_engine.summaryErrorText.clear();
    Fill(kTopDocuments, {{"/a.htm", 30, 7, 1025, 0, 0}, {"/docs/b.htm", 20, 3, 4096, 0, 0}, {"/c.htm", 5, 1, 0, 0, 0}});
  }
  void TearDown() override {
    ReleaseGSWLibrary(1);
    ReportTables::TearDown();
  }
  bool Exists(const std::string& name) { return kv::PathExists((dir_ + "/" + name).c_str()); }
  gdImagePtr Decode(const std::string& name) {
    FILE* in = std::fopen((dir_ + "/" + name).c_str(), "rb");
    if (in == nullptr) return nullptr;
    gdImagePtr im = gdImageCreateFromFile((dir_ + "/" + name).c_str());
    std::fclose(in);
    return im;
  }
  static bool IsWhite(gdImagePtr im, int x, int y) {
    const int c = gdImageGetPixel(im, x, y);
    return gdImageRed(im, c) == 255 && gdImageGreen(im, c) == 255 && gdImageBlue(im, c) == 255;
  }
  // Pixels of the first series colour.
  static int FirstSeriesPixels(gdImagePtr im) {
    int n = 0;
    for (int y = 0; y < gdImageSY(im); ++y) {
      for (int x = 0; x < gdImageSX(im); ++x) {
        const int c = gdImageGetPixel(im, x, y);
        if (gdImageRed(im, c) == 0x1f && gdImageGreen(im, c) == 0x4e && gdImageBlue(im, c) == 0xc8) ++n;
      }
    }
    return n;
  }
};

TEST_F(ReportCharts, ItemChartBecomesAGifBesideTheReport) {
  const Value v = Emit("TopDocumentsGraph[BARS=50, {Pages}, 3D, Items {}, Hits {}, 0-9]", "TopDocuments",
                       kTopDocuments, 0, &RecordCall);
  EXPECT_EQ(v, (Value{"report00.gif", 0}));
  EXPECT_EQ(a_.ctx->chartCounter, 1);
  EXPECT_TRUE(Exists("report00.gif"));
  EXPECT_FALSE(Exists("report00.bmp")) << "the bitmap is deleted";
  EXPECT_TRUE(g_engine.summaryErrorText.empty()) << g_engine.summaryErrorText;
  gdImagePtr im = Decode("report00.gif");
  ASSERT_NE(im, nullptr);
  // Base 960 x 1000 on a 1024-wide screen: / 1.5 and / 2.5, x 1.05, x 50%.
  EXPECT_EQ(gdImageSX(im), 336);
  EXPECT_EQ(gdImageSY(im), 210);
  EXPECT_TRUE(IsWhite(im, 0, 0));
  EXPECT_GT(FirstSeriesPixels(im), 50) << "the first row's bar";
  gdImageDestroy(im);

  // The client heard of the section, the chart file and the drawing.
  ASSERT_GE(g_calls.size(), 4u);
  EXPECT_EQ(g_calls[0].kind, 0);
  EXPECT_EQ(g_calls[1].kind, 1);
  EXPECT_EQ(g_calls[1].text, dir_ + "/report00.gif");
  EXPECT_EQ(g_calls[2].kind, 0);
  EXPECT_EQ(g_calls.back().kind, 0);
  EXPECT_EQ(g_calls.back().text, "");
}

// A total series is drawn beside its parts, never stacked on them (a stack
// already shows their sum): the series the chart module drew, from its
// record of drawn charts.
TEST_F(ReportCharts, NoStackedChartCarriesTheTotalOfItsParts) {
  const std::string record = dir_ + "/drawn.json";
  setenv("KV_CHART_VALUES", record.c_str(), 1);
  struct Case {
    const char* token;
    int series;
  } cases[] = {
      {"TopDocumentsGraph[STACKEDBARS, {a}, 3D, Timeline {}, Hits {}, 0-2:Total]", 3},
      {"TopDocumentsGraph[SIDESTACKEDBARS, {a}, 2D, Timeline {}, Hits {}, 0-2:Total]", 3},
      {"TopDocumentsGraph[LINES, {a}, 2D, Timeline {}, Hits {}, 0-2:Total]", 4},
      {"TopDocumentsGraph[STACKEDBARS, {a}, 3D, Timeline {}, Hits {}, 0-2]", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token);
    std::remove(record.c_str());
    Emit(c.token, "TopDocuments", kTopDocuments);
    std::ifstream in(record);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    const size_t at = line.find("\"perGroup\":");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(std::atoi(line.c_str() + at + 11), c.series) << line.substr(0, 200);
  }
  unsetenv("KV_CHART_VALUES");
}

TEST_F(ReportCharts, FormatsNamesAndKeptFiles) {
  struct Case {
    uint32_t graphType, debug, fullPath;
    const char* token;
    const char* image;
    bool bitmapKept;
    bool imageKept;
  } cases[] = {
      {1, 0, 0, "TopDocumentsGraph[LINES, {Hours}, 2D, Timeline {}, Users {}, 0-2:Total]", "report00.jpg", false, true},
      {2, 0, 0, "TopDocumentsNoeditGraph[PIES, {Share}, 3D, Items {}, Percent {}, 0-2]", "report01.png", false, true},
      {2, 1, 0, "TopDocumentsGraph[AREAS, {a}, 3D, Timeline {}, Bytes {}, 0-2]", "report02.png", true, false},
      {0, 1, 0, "TopDocumentsGraph[SIDEBARS, {a}, 2D, Items {}, Hits {}, 0-1]", "report03.gif", true, true},
      {0, 0, 1, "TopDocumentsGraph[STACKEDBARS, {a}, 3D, Timeline {}, Hits {}, 0-2,FF:Total]", "report04.gif", false,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token);
    GetChartSettings() = ChartSettings{c.debug, c.fullPath, c.graphType};
    const Value v = Emit(c.token, "TopDocuments", kTopDocuments);
    EXPECT_EQ(v.text, c.fullPath == 1 ? dir_ + "/" + c.image : std::string(c.image));
    EXPECT_EQ(v.control, 0);
    const std::string bitmap = std::string(c.image).substr(0, 9) + "bmp";
    EXPECT_EQ(Exists(bitmap), c.bitmapKept);
    EXPECT_EQ(Exists(c.image), c.imageKept);
    gdImagePtr im = nullptr;
    if (c.graphType == 2) {
      // The module's drawing file: a PNG, under a png name or, kept for
      // debugging, under the bitmap's.
      FILE* in = std::fopen((dir_ + "/" + (c.imageKept ? c.image : bitmap)).c_str(), "rb");
      ASSERT_NE(in, nullptr);
      im = gdImageCreateFromPng(in);
      std::fclose(in);
    } else {
      im = Decode(c.imageKept ? c.image : bitmap);
    }
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(gdImageSX(im), 672);
    EXPECT_EQ(gdImageSY(im), 420);
    gdImageDestroy(im);
  }
  EXPECT_TRUE(g_engine.summaryErrorText.empty()) << g_engine.summaryErrorText;
}

TEST_F(ReportCharts, DroppedChartLines) {
  struct Case {
    const char* token;
    uint16_t firstTotalsRow;
  } cases[] = {
      {"TopDocumentsGraph", 0},                                               // no spec
      {"TopDocumentsGraph BARS, {a}, 3D, Items {}, Hits {}, 0-2]", 0},        // no "["
      {"TopDocumentsGraph[DOTS, {a}, 3D, Items {}, Hits {}, 0-2]", 0},        // rejected spec
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token);
    EXPECT_EQ(Emit(c.token, "TopDocuments", kTopDocuments, c.firstTotalsRow), kDrop);
  }
  // A table holding its overflow item alone has no item past the first row
  // of totals.
  Fill(kTopUsers, {{"Others", 5, 1, 0, 0, 0}});
  LockTableItems(GetTableDescriptor(a_.ctx, kTopUsers))[0]->Overflow = 1;
  UnlockTableItems(GetTableDescriptor(a_.ctx, kTopUsers));
  EXPECT_EQ(Emit("TopUsersGraph[BARS, {a}, 3D, Items {}, Hits {}, 0-2]", "TopUsers", kTopUsers, 1), kDrop);
  EXPECT_EQ(a_.ctx->chartCounter, 0) << "no chart file was named";
  EXPECT_EQ(Emit("TopExitGraph[BARS, {a}, 3D, Items {}, Hits {}, 0-2]", "TopExit", kTopExit), kDrop)
      << "an empty table";
}

TEST_F(ReportCharts, AFailedChartStillNamesItsImage) {
  std::snprintf(a_.ctx->outputPath, sizeof a_.ctx->outputPath, "%s/missing/report.htm", dir_.c_str());
  const Value v = Emit("TopDocumentsGraph[BARS, {a}, 3D, Items {}, Hits {}, 0-2]", "TopDocuments", kTopDocuments);
  EXPECT_EQ(v, (Value{"report00.gif", 0}));
  EXPECT_FALSE(g_engine.summaryErrorText.empty()) << "the failure is recorded for the summary";
}

}  // namespace
}  // namespace vrn
