// Chart spec texts: the parse of every part, the report kinds that
// force a bar chart, the section list, and the tokeniser underneath.
#include "engine/reports/graph_specs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <vornic/templates.h>

#include "engine/core/engine_state.h"
#include "platform/base/memory.h"

namespace vrn {
namespace {

struct Parsed {
  int result;
  GraphSpec spec;
};

Parsed Parse(const std::string& text, uint16_t kind = 1, bool editor = false, const char* section = "TopDocuments") {
  std::string copy = text;
  Parsed p{};
  p.result = editor ? ParseEditorGraphSpec(copy.data(), &p.spec, kind) : ParseGraphSpec(section, copy.data(), &p.spec, kind);
  return p;
}

TEST(GraphSpec, ReadsEveryPart) {
  const Parsed p = Parse("BARS=50, {Most requested pages}, 3D, Items {Pages}, Hits {Requests}, 0-9]");
  ASSERT_EQ(p.result, 1);
  EXPECT_EQ(p.spec.chartType, kChartBars);
  EXPECT_EQ(p.spec.height, 50);
  EXPECT_STREQ(p.spec.title, "Most requested pages");
  EXPECT_EQ(p.spec.threeD, 1);
  EXPECT_EQ(p.spec.timeline, 0);
  EXPECT_STREQ(p.spec.itemAxisLabel, "Pages");
  EXPECT_EQ(p.spec.valueKind, kGraphHits);
  EXPECT_STREQ(p.spec.valueAxisLabel, "Requests");
  EXPECT_EQ(p.spec.firstRow, 0);
  EXPECT_EQ(p.spec.lastRow, 9);
  EXPECT_EQ(p.spec.total, 0);
  EXPECT_EQ(p.spec.colour, 0xFF0Fu);

  const Parsed q = Parse(" \tPIE , { x } ,2D, Items {a}, Users {b}, 3-7]");
  ASSERT_EQ(q.result, 1);
  EXPECT_EQ(q.spec.chartType, kChartPies);
  EXPECT_EQ(q.spec.height, 100);
  EXPECT_STREQ(q.spec.title, "x");
  EXPECT_EQ(q.spec.threeD, 0);
  EXPECT_EQ(q.spec.timeline, 0);
  EXPECT_EQ(q.spec.valueKind, kGraphUsers);
  EXPECT_EQ(q.spec.firstRow, 3);
  EXPECT_EQ(q.spec.lastRow, 7);
  EXPECT_EQ(q.spec.total, 0);
}

TEST(GraphSpec, TypeWordsHeightsAndValueWords) {
  const std::string rest = ", {t}, 3D, Timeline {}, Hits {}, 0-9]";
  struct Case {
    const char* type;
    int result;
    uint8_t chartType;
    int height;
  } types[] = {
      {"STACKEDBAR", 1, kChartStackedBars, 100}, {"bar", 1, kChartBars, 100},     {"ZBARS", 1, kChartZBars, 100},
      {"Pie", 1, kChartPies, 100},               {"AREA", 1, kChartAreas, 100},    {"LINE", 1, kChartLines, 100},
      {"TAPE", 1, kChartLines, 100},             {"SIDEBAR", 1, kChartSideBars, 100},
      {"SIDESTACKEDBAR", 1, kChartSideStackedBars, 100},
      {"BARS=5", 1, kChartBars, 25},             {"BARS=0", 1, kChartBars, 25},    {"BARS = 10 ", 1, kChartBars, 10},
      {"BARS=x=70", 1, kChartBars, 70},          {"BA", 0, kChartZBars, 100},      {"DOTS", 0, kChartZBars, 100},
  };
  for (const Case& c : types) {
    SCOPED_TRACE(c.type);
    const Parsed p = Parse(std::string(c.type) + rest);
    EXPECT_EQ(p.result, c.result);
    EXPECT_EQ(p.spec.chartType, c.chartType);
    EXPECT_EQ(p.spec.height, c.height);
  }
  struct Value {
    const char* word;
    int result;
    uint8_t kind;
  } values[] = {{"Percent", 1, kGraphPercent}, {"PER", 1, kGraphPercent}, {"%hits", 1, kGraphPercent},
                {"Users", 1, kGraphUsers},     {"Hit", 1, kGraphHits},     {"bytes", 1, kGraphKilobytes},
                {"Use", 0, kGraphHits},        {"Kilo", 0, kGraphHits}};
  for (const Value& v : values) {
    SCOPED_TRACE(v.word);
    const Parsed p = Parse(std::string("BARS, {t}, 3D, Items {}, ") + v.word + " {}, 0-9]");
    EXPECT_EQ(p.result, v.result);
    EXPECT_EQ(p.spec.valueKind, v.kind);
  }
}

TEST(GraphSpec, ColourAndTotal) {
  const std::string head = "BARS, {t}, 3D, Items {}, Hits {}, ";
  struct Case {
    const char* tail;
    int result;
    uint32_t colour;
    int total;
  } cases[] = {
      {"0-9,FF:Total]", 1, 0xFF, 1},
      {"0-9:Total]", 1, 0xFF0F, 1},
      {"0-9,FF]", 1, 0xFF, 0},
      {"0-9,FF:No Total]", 1, 0xFF, 0},
      {"0-9,FF: ]", 1, 0xFF, 0},
      {"0-9,Total]", 1, 0xFF0F, 1},
      {"0-9,FF:Sum]", 0, 0xFF, 0},
      {"0-9]", 1, 0xFF0F, 0},
      // A colour word longer than its 40-character buffer is cut, not
      // written past it.
      {"0-9,0000000000000000000000000000000000000000000000000000000000ab:Total]", 1, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    const Parsed p = Parse(head + c.tail);
    EXPECT_EQ(p.result, c.result);
    EXPECT_EQ(p.spec.colour, c.colour);
    EXPECT_EQ(p.spec.total, c.total);
  }
}

TEST(GraphSpec, RejectedTexts) {
  const char* bad[] = {
      "",
      "BARS",                                               // no comma after the type
      "BARS, t}, 3D, Items {}, Hits {}, 0-9]",              // no "{"
      "BARS, {t}, 4D, Items {}, Hits {}, 0-9]",             // neither 3D nor 2D
      "BARS, {t}, 3D, Columns {}, Hits {}, 0-9]",           // neither Timeline nor Items
      "BARS, {t}, 3D, Items {}, Hits {}, 0-9",              // the last row is never ended
      "BARS, {t}, 3D, Items {}, Hits {}, 9",                // no "-"
      "BARS, {t}, 3D, Items {}, Hits",                      // text ends early
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Parse(text).result, 0);
    EXPECT_EQ(Parse(text, 1, true).result, 0);
  }
  // What was read before the failure stays.
  const Parsed p = Parse("PIES=60, {Kept}, 2D, Columns {}, Hits {}, 0-9]");
  EXPECT_EQ(p.spec.chartType, kChartPies);
  EXPECT_EQ(p.spec.height, 60);
  EXPECT_STREQ(p.spec.title, "Kept");
  EXPECT_EQ(p.spec.threeD, 0);
  EXPECT_EQ(p.spec.firstRow, 65535);
}

TEST(GraphSpec, ReferrerAndAgentLogsGetBarsOfTheFirstTenItems) {
  for (uint16_t kind : {7, 8}) {
    const Parsed p = Parse("LINES, {t}, 3D, Timeline {}, Bytes {}, 2-5]", kind);
    ASSERT_EQ(p.result, 1);
    EXPECT_EQ(p.spec.chartType, kChartBars);
    EXPECT_EQ(p.spec.timeline, 0);
    EXPECT_EQ(p.spec.valueKind, kGraphHits);
    EXPECT_EQ(p.spec.firstRow, 0);
    EXPECT_EQ(p.spec.lastRow, 9);
  }
  const Parsed other = Parse("LINES, {t}, 3D, Timeline {}, Bytes {}, 2-5]", 6);
  EXPECT_EQ(other.spec.chartType, kChartLines);
  EXPECT_EQ(other.spec.lastRow, 5);
}

TEST(GraphSpec, LongTextsAreCutToTheirFields) {
  const std::string longText(300, 'x');
  const Parsed p = Parse("BARS, {" + longText + "}, 3D, Items {" + longText + "}, Hits {" + longText + "}, 0-9]");
  ASSERT_EQ(p.result, 1);
  EXPECT_EQ(std::strlen(p.spec.title), kGraphTextSize - 1);
  EXPECT_EQ(std::strlen(p.spec.itemAxisLabel), kGraphTextSize - 1);
  EXPECT_EQ(std::strlen(p.spec.valueAxisLabel), kGraphTextSize - 1);
}

class GraphSpecSectionList : public testing::Test {
 protected:
  void TearDown() override {
    g_engine.templateSectionList = 0;
    g_engine.templateSectionCount = 0;
    if (handle_ != 0) kv::GlobalFree(handle_);
  }
  void Make(const std::vector<TemplateSectionRecord>& records, uint16_t count) {
    handle_ = kv::GlobalAlloc(kv::kGlobalMoveable | kv::kGlobalZeroInit, records.size() * sizeof(TemplateSectionRecord));
    auto* block = static_cast<TemplateSectionRecord*>(kv::GlobalLock(handle_));
    for (size_t i = 0; i < records.size(); ++i) block[i] = records[i];
    kv::GlobalUnlock(handle_);
    g_engine.templateSectionList = handle_;
    g_engine.templateSectionCount = count;
  }
  static TemplateSectionRecord Record(const char* name, uint16_t type, int32_t option, uint16_t rows,
                                      uint16_t keywordClass = TEMPLATE_CLASS_GRAPH) {
    TemplateSectionRecord r{};
    std::strcpy(r.Name, name);
    r.Class = keywordClass;
    r.GraphType = type;
    r.GraphOption = option;
    r.RowCount = rows;
    return r;
  }
  KvGlobal handle_ = 0;
};

TEST_F(GraphSpecSectionList, TheSectionsEntrySuppliesTypeDepthAndLastRow) {
  // A table of the same name comes first: its record holds the table's
  // repeat counts, not the chart's, and is passed over.
  Make({Record("TopHoursBeginSection", kChartPies, 1, 3),
        Record("TopDocumentsBeginSection", kChartStackedBars, 0, 30, TEMPLATE_CLASS_TABLE),
        Record("topdocumentsbeginsection", kChartLines, 0, 4), Record("TopDocumentsBeginSection", kChartAreas, 1, 8)},
       4);
  const std::string text = "BARS, {t}, 3D, Items {}, Hits {}, 0-19]";
  const Parsed p = Parse(text);
  ASSERT_EQ(p.result, 1);
  EXPECT_EQ(p.spec.chartType, kChartLines) << "the first matching entry, compared without case";
  EXPECT_EQ(p.spec.threeD, 0);
  EXPECT_EQ(p.spec.lastRow, 4);
  EXPECT_EQ(p.spec.firstRow, 0);

  const Parsed editor = Parse(text, 1, true);
  EXPECT_EQ(editor.spec.chartType, kChartBars) << "the editor's parse ignores the list";
  EXPECT_EQ(editor.spec.lastRow, 19);

  const Parsed none = Parse(text, 1, false, "TopExit");
  EXPECT_EQ(none.spec.chartType, kChartBars);
}

TEST_F(GraphSpecSectionList, ACountLargerThanTheBlockReadsNoFurther) {
  Make({Record("TopHoursBeginSection", kChartPies, 1, 3)}, 500);
  const Parsed p = Parse("BARS, {t}, 3D, Items {}, Hits {}, 0-19]");
  ASSERT_EQ(p.result, 1);
  EXPECT_EQ(p.spec.chartType, kChartBars);
}

TEST(GraphSpecText, NextTokenAndTrimBlanks) {
  char text[] = "a,,b;c";
  EXPECT_STREQ(NextToken(text, ","), "a");
  EXPECT_STREQ(NextToken(nullptr, ","), "") << "a delimiter at the position gives an empty token";
  EXPECT_STREQ(NextToken(nullptr, ";,"), "b");
  EXPECT_EQ(NextToken(nullptr, ","), nullptr) << "the last piece is not ended by a delimiter";
  EXPECT_EQ(NextToken(nullptr, ","), nullptr);

  char blanks[] = " \t x y \t ";
  EXPECT_STREQ(TrimBlanks(blanks), "x y");
  char empty[] = " \t";
  EXPECT_STREQ(TrimBlanks(empty), "");
  EXPECT_EQ(TrimBlanks(nullptr), nullptr);
}

}  // namespace
}  // namespace vrn
