#include "engine/reports/report_driver.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <string>

#include <vornic/summary.h>

#include "engine/core/engine_state.h"
#include "engine/reports/report_driver_testutil.h"
#include "engine/reports/report_tables.h"

namespace {

using drvtest::Exists;
using drvtest::ReadFile;
using drvtest::ReportFixture;
using drvtest::WriteFile;

// ---- shared formatting --------------------------------------------------------

TEST(ReportFormatting, PercentTexts) {
  struct Case {
    uint32_t part, whole;
    const char* text;
  } cases[] = {{1, 8, "12.5%"}, {1, 3, "33.33%"}, {2, 3, "66.66%"}, {1, 1, "100%"}, {0, 0, "0%"},
               {5, 0, "0%"},    {0, 7, "0%"},     {1, 20, "5%"},    {3, 40, "7.5%"}, {4000000000u, 4000000000u, "100%"}};
  for (const Case& c : cases) {
    char text[32];
    vrn::FormatPercentText(text, c.part, c.whole);
    EXPECT_STREQ(text, c.text) << c.part << " of " << c.whole;
  }
}

TEST(ReportFormatting, ThousandsSeparators) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {{1234567, "1,234,567"}, {123, "123"},   {1000, "1,000"},     {999, "999"},
               {0, "0"},               {12.9, "12"}, {4294967295.0, "2,147,483,647"}};
  for (const Case& c : cases) {
    char text[32];
    vrn::FormatThousands(text, c.value);
    EXPECT_STREQ(text, c.text) << c.value;
  }
}

TEST(ReportFormatting, PrefixComparisonAndMarkers) {
  EXPECT_EQ(vrn::CompareTextPrefix("TopBrowsers[3]", "topbrowsers"), 0);
  EXPECT_EQ(vrn::CompareTextPrefix("TopBrowsers", "TopBrowsers"), 0);
  EXPECT_LT(vrn::CompareTextPrefix("Top", "TopBrowsers"), 0);
  EXPECT_NE(vrn::CompareTextPrefix("TopReferingSites", "TopReferers"), 0);

  struct Case {
    const char* value;
    uint16_t code;
  } cases[] = {{"%%BookMark%%", 1},        {"%%remove%%", 2},          {"%%BookMarkColumn%%", 3},
               {"%%RemoveColumn%%", 4},    {"%%BOOKMARKCHAPTER%%", 5}, {"%%RemoveChapter%%", 6},
               {"", 0},                    {"%%Keep%%", 0},            {"%%BookMark", 0}};
  for (const Case& c : cases) EXPECT_EQ(vrn::MarkerCodeOf(c.value), c.code) << c.value;
}

TEST(ReportFormatting, OutputKindFromTheLastExtension) {
  struct Case {
    const char* path;
    vrn::OutputKind kind;
  } cases[] = {{"/r/REPORT.DOC", vrn::OutputKind::kDocument}, {"/r/x.xlsx", vrn::OutputKind::kDocument},
               {"/r/a.Xls", vrn::OutputKind::kDocument},      {"/r/report.txt", vrn::OutputKind::kText},
               {"/r/report.TXT", vrn::OutputKind::kText},     {"/r/report.txt2", vrn::OutputKind::kHtml},
               {"/r/doc.htm", vrn::OutputKind::kHtml},        {"/r/report", vrn::OutputKind::kHtml},
               {"/r/a.doc.htm", vrn::OutputKind::kHtml}};
  for (const Case& c : cases) EXPECT_EQ(vrn::OutputKindOf(c.path), c.kind) << c.path;
}

// Log text as report text: markup characters become entities and the bytes
// become valid UTF-8 (a stray byte is a Latin-1 letter), never cut inside an
// entity or a letter.
TEST(ReportFormatting, EscapedTextIsValidUtf8) {
  struct Case {
    std::string text;
    size_t limit;
    std::string want;
  } cases[] = {
      {"/a<b>&\"c\"", std::string::npos, "/a&lt;b&gt;&amp;&quot;c&quot;"},
      {"caf\xE9.html", std::string::npos, "caf\xC3\xA9.html"},          // Latin-1 e acute
      {"caf\xC3\xA9.html", std::string::npos, "caf\xC3\xA9.html"},      // already UTF-8
      {"\xE2\x82\xAC \xF0\x9F\x98\x80", std::string::npos, "\xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"\xC0\xAF", std::string::npos, "\xC3\x80\xC2\xAF"},            // overlong: two Latin-1 letters
      {"\xED\xA0\x80", std::string::npos, "\xC3\xAD\xC2\xA0\xC2\x80"},  // a surrogate
      {"\xE2\x82", std::string::npos, "\xC3\xA2\xC2\x82"},            // cut sequence
      {"ab&cd", 4, "ab"},                                           // the entity does not fit
      {"a\xE9" "b", 2, "a"},                                         // nor the letter
      {"a\xE9" "b", 3, "a\xC3\xA9"},
  };
  for (const Case& c : cases) EXPECT_EQ(vrn::EscapeHtmlText(c.text, c.limit), c.want) << c.text;
}

// ---- the walk ------------------------------------------------------------------

class WalkTest : public ReportFixture {
 protected:
  void SetUp() override {
    ReportFixture::SetUp();
    WriteStyle("Title Text Color=00FF00\nFrame Width=3\nTable Columns=012\n");
    ASSERT_NE(MakeRun(), nullptr);
  }
};

TEST_F(WalkTest, TokensAreReplacedAndTextCopied) {
  SetTemplate("A %%Style_FrameWidth%% B\r\n%%Style_TitleTextColor%%\r\nx %%NoSuchName%% y\r\n100%% sure\r\n");
  std::string out;
  ASSERT_EQ(Write(&out), 1);
  // An unknown name writes nothing; a lone "%%" pair without a closing one
  // before the end of the template is text.
  EXPECT_EQ(out, "A 3 B\r\n#00FF00\r\nx  y\r\n100%% sure\r\n");
}

TEST_F(WalkTest, AControlValueDropsItsLine) {
  SetTemplate("keep1\r\nx %%MSWordAutoPrintOrNot%% y %%Style_FrameWidth%% z\r\nkeep2\r\n");
  std::string out;
  ASSERT_EQ(Write(&out), 1);
  EXPECT_EQ(out, "keep1\r\nkeep2\r\n");
}

TEST_F(WalkTest, ADroppedLastLineLeavesNothingBehind) {
  SetTemplate("first line\r\nsecond %%Style_FrameWidth%% %%MSWordAutoPrintOrNot%%");
  std::string out;
  ASSERT_EQ(Write(&out), 1);
  EXPECT_EQ(out, "first line\r\n");
}

TEST_F(WalkTest, ColumnsAreRemovedInTheMiddleOfALine) {
  struct Case {
    const char* columns;
    const char* expected;
  } cases[] = {
      {"012", "<TR><TD>n</TD><TD>h</TD><TD>p</TD><TD>u</TD></TR>\r\nnext\r\n"},
      {"02", "<TR><TD>n</TD><TD>h</TD><TD>u</TD></TR>\r\nnext\r\n"},
      {"1", "<TR><TD>n</TD><TD>p</TD></TR>\r\nnext\r\n"},
  };
  for (const Case& c : cases) {
    WriteStyle(std::string("Table Columns=") + c.columns + "\n");
    SetTemplate(
        "<TR><TD>n</TD>%%BeginColumn_%%<TD>h</TD>%%EndColumn_Hits%%%%BeginColumn_%%<TD>p</TD>"
        "%%EndColumn_PercentOfTotal%%%%BeginColumn_%%<TD>u</TD>%%EndColumn_UserSessions%%</TR>\r\nnext\r\n");
    std::string out;
    ASSERT_EQ(Write(&out), 1);
    EXPECT_EQ(out, c.expected) << c.columns;
  }
}

TEST_F(WalkTest, ALineDroppedAfterARemovedColumnTakesBackOnlyItself) {
  WriteStyle("Table Columns=12\n");
  SetTemplate("prev\r\nx %%BeginColumn_%%abc%%EndColumn_Hits%% y %%MSWordAutoPrintOrNot%%\r\nnext\r\n");
  std::string out;
  ASSERT_EQ(Write(&out), 1);
  EXPECT_EQ(out, "prev\r\nnext\r\n");
}

TEST_F(WalkTest, AnEmptySectionIsRemovedWithItsBookmarkLine) {
  const std::string text =
      "head\r\n%%TopBrowsersBeginSection%%\r\n<TABLE>\r\n<TR>%%Style_FrameWidth%%</TR>\r\n"
      "%%TopBrowsersEndSection%%\r\ntail\r\n";
  SetTemplate(text);
  vrn::GetSectionTable()[vrn::kTopBrowsers].empty = 1;
  std::string out;
  ASSERT_EQ(Write(&out), 1);
  EXPECT_EQ(out, "head\r\ntail\r\n");

  // A section with content keeps its table; only the bracket lines go.
  SetTemplate(text);
  vrn::GetSectionTable()[vrn::kTopBrowsers].empty = 0;
  ASSERT_EQ(Write(&out), 1);
  EXPECT_EQ(out, "head\r\n<TABLE>\r\n<TR>3</TR>\r\ntail\r\n");
}

TEST_F(WalkTest, TokensAcrossWindowBordersAreReadWhole) {
  // The token starts at every position around the first window's end.
  for (size_t filler = vrn::kTemplateWindow - 24; filler <= vrn::kTemplateWindow + 2; ++filler) {
    std::string text(filler, 'a');
    for (size_t i = 100; i < filler; i += 100) text[i] = '\n';
    SetTemplate(text + "%%Style_FrameWidth%%end\r\n");
    std::string out;
    ASSERT_EQ(Write(&out), 1);
    EXPECT_EQ(out, text + "3end\r\n") << filler;
  }
}

TEST_F(WalkTest, AnUnclosedPairAlwaysAdvances) {
  // A "%%" that opens a window and never closes within it, and one that
  // never closes before the end of the template: both are copied as text.
  const std::string longText = "%%" + std::string(vrn::kTemplateWindow + 500, 'x') + "\r\n%%Style_FrameWidth%%";
  SetTemplate(longText);
  std::string out;
  ASSERT_EQ(Write(&out), 1);
  EXPECT_EQ(out, longText.substr(0, longText.size() - 20) + "3");

  SetTemplate("abc %%def");
  ASSERT_EQ(Write(&out), 1);
  EXPECT_EQ(out, "abc %%def");
}

TEST_F(WalkTest, AnEmptyTemplateGivesAnEmptyReport) {
  SetTemplate("");
  std::string out = "x";
  ASSERT_EQ(Write(&out), 1);
  EXPECT_EQ(out, "");
  EXPECT_TRUE(Exists(context_->outputPath));
}

TEST_F(WalkTest, ProgressIsReportedThroughThePercentCallback) {
  static std::vector<uint32_t> seen;
  seen.clear();
  vrn::g_engine.percentCallback = [](uint32_t percent) -> int32_t {
    seen.push_back(percent);
    return 1;
  };
  SetTemplate("%%Style_FrameWidth%%" + std::string(300, 'x') + "%%Style_FrameWidth%%" + std::string(80, 'y'));
  ASSERT_EQ(Write(nullptr), 1);
  vrn::g_engine.percentCallback = nullptr;
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], 0u);
  EXPECT_EQ(seen[1], 320u * 100 / 420);
}

// ---- failures ---------------------------------------------------------------------

// Lines of text, `size` bytes in all, each ending in "\r\n".
std::string FillerLines(size_t size) {
  std::string text(size, 'f');
  for (size_t i = 98; i + 1 < size; i += 100) text.replace(i, 2, "\r\n");
  if (size >= 2) text.replace(size - 2, 2, "\r\n");
  return text;
}

TEST_F(WalkTest, TakeBacksReachIntoOutputAlreadyWritten) {
  // The report is written in pieces: a dropped line that began before the
  // first piece was written, at every position around the piece's end.
  for (size_t filler = vrn::kReportOutputChunk - 40; filler <= vrn::kReportOutputChunk + 8; filler += 6) {
    const std::string text = FillerLines(filler);
    SetTemplate(text + "dropped line %%MSWordAutoPrintOrNot%% and its end\r\nnext\r\n");
    std::string out;
    ASSERT_EQ(Write(&out), 1);
    EXPECT_TRUE(out == text + "next\r\n") << filler << ": " << out.size() << " bytes";
  }
  // An empty section longer than a piece is cut back to its bookmark; a
  // full one keeps its lines. A column removed across the piece's end.
  const std::string body = FillerLines(vrn::kReportOutputChunk + 5000);
  const std::string section = "head\r\n%%TopBrowsersBeginSection%%\r\n" + body + "%%TopBrowsersEndSection%%\r\ntail\r\n";
  struct Case {
    uint32_t empty;
    std::string expected;
  } cases[] = {{1, "head\r\ntail\r\n"}, {0, "head\r\n" + body + "tail\r\n"}};
  for (const Case& c : cases) {
    SetTemplate(section);
    vrn::GetSectionTable()[vrn::kTopBrowsers].empty = c.empty;
    std::string out;
    ASSERT_EQ(Write(&out), 1);
    EXPECT_TRUE(out == c.expected) << c.empty << ": " << out.size() << " bytes";
  }
  WriteStyle("Table Columns=12\n");
  const std::string cell(vrn::kReportOutputChunk + 100, 'c');
  SetTemplate("<TR>%%BeginColumn_%%" + cell + "%%EndColumn_Hits%%<TD>p</TD></TR>\r\nnext\r\n");
  std::string out;
  ASSERT_EQ(Write(&out), 1);
  EXPECT_EQ(out, "<TR><TD>p</TD></TR>\r\nnext\r\n");
}

// Caps the size of every file the process writes while it lives.
class FileSizeCap {
 public:
  explicit FileSizeCap(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit capped = saved_;
    capped.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &capped);
  }
  ~FileSizeCap() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, SIG_DFL);
  }
  FileSizeCap(const FileSizeCap&) = delete;
  FileSizeCap& operator=(const FileSizeCap&) = delete;

 private:
  rlimit saved_{};
};

TEST_F(WalkTest, AReportTheDiskRefusesFailsAndIsRemoved) {
  // The file takes fewer bytes than the report has: refused in the middle
  // of the report (a later piece) or at its end (the report is shorter
  // than a piece).
  struct Case {
    size_t reportSize;
    rlim_t cap;
  } cases[] = {{3 * vrn::kReportOutputChunk, vrn::kReportOutputChunk + vrn::kReportOutputChunk / 2},
               {200000, 100000}};
  for (const Case& c : cases) {
    SetTemplate(FillerLines(c.reportSize - 23) + "%%Style_FrameWidth%%end\r\n");
    vrn::g_engine.summaryErrorText.clear();
    int result = 0;
    {
      FileSizeCap cap(c.cap);
      result = Write(nullptr);
    }
    EXPECT_EQ(result, 0) << c.reportSize;
    EXPECT_EQ(vrn::g_engine.summaryErrorText, "Error writing the report files.") << c.reportSize;
    EXPECT_FALSE(Exists(context_->outputPath)) << c.reportSize;
  }
}


TEST_F(WalkTest, AMissingTemplateOrOutputFolderFailsWithItsPath) {
  SetTemplate("x");
  const std::string templatePath = context_->workingTemplatePath;
  std::remove(templatePath.c_str());
  vrn::g_engine.summaryErrorText.clear();
  EXPECT_EQ(Write(nullptr), 0);
  EXPECT_EQ(vrn::g_engine.summaryErrorText, "Unable to open the file " + templatePath + ".");
  EXPECT_FALSE(Exists(context_->outputPath));

  SetTemplate("x");
  const std::string output = Folder() + "missing/folder/report.htm";
  std::snprintf(context_->outputPath, sizeof context_->outputPath, "%s", output.c_str());
  EXPECT_EQ(Write(nullptr), 0);
  EXPECT_EQ(vrn::g_engine.summaryErrorText, "Unable to open the file " + output + ".");

  // The client reads it, cut to its buffer.
  char small[10];
  std::memset(small, '#', sizeof small);
  EXPECT_EQ(VRN_GetSummaryErrMsg(small, sizeof small), small);
  EXPECT_STREQ(small, "Unable to");
  char untouched[4] = {'a', 'b', 'c', 0};
  VRN_GetSummaryErrMsg(untouched, 0);
  EXPECT_STREQ(untouched, "abc");
}

TEST_F(WalkTest, ASuccessfulReportLeavesTheLastErrorText) {
  vrn::g_engine.summaryErrorText = "earlier failure";
  WriteFile(Folder() + "Base/Images/kvlogoss.gif", "GIF89a-logo");
  std::snprintf(context_->imagesReference, sizeof context_->imagesReference, "%sBase/Images/TEMP0.HTM",
                Folder().c_str());
  SetTemplate("ok");
  ASSERT_EQ(Write(nullptr), 1);
  EXPECT_EQ(vrn::g_engine.summaryErrorText, "earlier failure");
  EXPECT_EQ(ReadFile(Folder() + "reports/kvlogoss.gif"), "GIF89a-logo");
}

// ---- output kinds, pictures and the frame page ---------------------------------------

TEST_F(WalkTest, AnHtmlReportCopiesItsPicturesAndAnnouncesItsFiles) {
  WriteStyle("Logo Filename=\n");
  WriteFile(Folder() + "kvm_log/images/dizorez.gif", "GIF89a-dizorez");
  SetTemplate("body");
  std::string out;
  ASSERT_EQ(Write(&out), 1);
  const std::string reports = Folder() + "reports/";
  EXPECT_EQ(ReadFile(reports + "dizorez.gif"), "GIF89a-dizorez");
  ASSERT_GE(drvtest::g_fileCalls.size(), 3u);
  // An empty logo name means the standard logo.
  EXPECT_EQ(drvtest::g_fileCalls[0].text, reports + "kvlogoss.gif");
  EXPECT_EQ(drvtest::g_fileCalls[0].flag, 1);
  EXPECT_EQ(drvtest::g_fileCalls[1].text, reports + "dizorez.gif");
  bool pageAnnounced = false;
  for (const auto& call : drvtest::g_fileCalls) {
    if (call.text == context_->outputPath) pageAnnounced = call.kind == 1 && call.flag == 0;
  }
  EXPECT_TRUE(pageAnnounced);
  EXPECT_EQ(context_->documentOutput, 0);
}

TEST_F(WalkTest, ADocumentReportCopiesItsLogoAndDrawsChartFiles) {
  vrn::FreeReportContext(run_);
  delete run_;
  run_ = nullptr;
  WriteStyle("Frame Page=1\n");
  ASSERT_NE(MakeRun("reports/REPORT.DOC"), nullptr);
  SetTemplate("doc body");
  std::string out;
  ASSERT_EQ(Write(&out), 1);
  EXPECT_EQ(out, "doc body");
  EXPECT_EQ(context_->documentOutput, 1);
  EXPECT_EQ(vrn::GetChartSettings().graphType, 2u);
  EXPECT_EQ(vrn::GetChartSettings().fullPath, 1u);
  // The one picture: the logo that the document shows.
  bool logo = false;
  for (const auto& call : drvtest::g_fileCalls) logo = logo || call.text == Folder() + "reports/kvlogoss.gif";
  EXPECT_TRUE(logo);
  for (const auto& call : drvtest::g_fileCalls) {
    EXPECT_EQ(call.flag, call.text == Folder() + "reports/kvlogoss.gif" ? 1 : 0) << call.text;
  }
  EXPECT_FALSE(Exists(Folder() + "reports/REPORT_t.htm"));
}

TEST_F(WalkTest, AFramePageWrapsAnHtmlReportButNotAText) {
  WriteStyle("Frame Page=1\nTOC Width=25\n");
  SetTemplate("<A NAME=\"top\">report body</A>");
  std::string out;
  ASSERT_EQ(Write(&out), 1);
  const std::string reports = Folder() + "reports/";
  EXPECT_EQ(ReadFile(reports + "report_b.htm"), "<A NAME=\"top\">report body</A>");
  const std::string toc = ReadFile(reports + "report_t.htm");
  EXPECT_NE(toc.find("report_b.htm"), std::string::npos);
  EXPECT_NE(toc.find("CONTENT"), std::string::npos);
  EXPECT_EQ(out,
            "<HTML>\r\n<HEAD>\r\n<TITLE>Test site</TITLE>\r\n</HEAD>\r\n<FRAMESET COLS=\"25%,*\" BORDER=2>\r\n"
            "<FRAME SRC=\"report_t.htm\" NAME=TOC SCROLLING=AUTO>\r\n"
            "<FRAME SRC=\"report_b.htm\" NAME=CONTENT SCROLLING=AUTO>\r\n</FRAMESET>\r\n<BODY>\r\n</BODY>\r\n</HTML>");

  std::snprintf(context_->outputPath, sizeof context_->outputPath, "%sreports/plain.txt", Folder().c_str());
  ASSERT_EQ(Write(&out), 1);
  EXPECT_EQ(out, "<A NAME=\"top\">report body</A>");
  EXPECT_FALSE(Exists(reports + "plain_t.htm"));
  EXPECT_FALSE(Exists(reports + "plain_b.htm"));
}

TEST_F(WalkTest, WriterSettingsAreReadForEachReportAndStayInForce) {
  WriteFile(Folder() + "kvm_log/kvm_log.ini", "[Defaults]\nNoHTMLTitles=1\n[Report]\nGraph Type=1\n");
  WriteFile(vrn::BaseIniPath(), "[Main]\nDebug=1\n[Report]\nFull Path=0\n");
  SetTemplate("x");
  ASSERT_EQ(Write(nullptr), 1);
  EXPECT_EQ(vrn::g_engine.noPageTitles, 1);
  EXPECT_EQ(vrn::GetChartSettings().graphType, 1u);
  EXPECT_EQ(vrn::GetChartSettings().debug, 1u);
  EXPECT_EQ(vrn::GetChartSettings().fullPath, 0u);
  WriteFile(Folder() + "kvm_log/kvm_log.ini", "[Defaults]\n");
  ASSERT_EQ(Write(nullptr), 1);
  EXPECT_EQ(vrn::g_engine.noPageTitles, 0);
  EXPECT_EQ(vrn::GetChartSettings().graphType, 0u);
}

// ---- style -------------------------------------------------------------------------------

TEST_F(WalkTest, StyleDefaultsAndLimits) {
  WriteStyle("Page Background Color=ABCDEF123\nTable Columns=3\nLogo Filename=mine.gif\n");
  vrn::ReportStyle style;
  vrn::ReadReportStyle("Test", &style);
  EXPECT_STREQ(style.colours[vrn::kColourPageBackground], "#ABCDEF");
  EXPECT_STREQ(style.colours[vrn::kColourTitleText], "#00FF00");
  EXPECT_STREQ(style.fonts[vrn::kFontTitle], "Arial");
  EXPECT_STREQ(style.logoPicture, "mine.gif");
  EXPECT_EQ(style.columns[0] + style.columns[1] + style.columns[2], 0u);
  EXPECT_EQ(style.columns[3], 1u);
  EXPECT_EQ(style.tocWidth, 20u);
  EXPECT_EQ(style.sortBy, 1u);
  EXPECT_STREQ(style.numberAlignment, "CENTER");
}

// ---- kinds --------------------------------------------------------------------------------

TEST_F(WalkTest, LogKindsMarkTheSectionsTheyCannotFill) {
  vrn::SectionTableEntry* sections = vrn::GetSectionTable();
  for (int i = 0; i < vrn::kItemTableCount; ++i) sections[i].empty = 0;
  vrn::SetKindSectionFlags(7);
  EXPECT_EQ(sections[vrn::kTopWeekdays].empty, 1u);
  EXPECT_EQ(sections[vrn::kTopPaths].empty, 1u);
  EXPECT_EQ(sections[vrn::kTopReferers].empty, 0u);
  EXPECT_EQ(sections[vrn::kTopBrowsers].empty, 0u);

  for (int i = 0; i < vrn::kItemTableCount; ++i) sections[i].empty = 0;
  vrn::SetKindSectionFlags(8);
  EXPECT_EQ(sections[vrn::kTopBrowsers].empty, 0u);
  EXPECT_EQ(sections[vrn::kTopSearchKeywords].empty, 0u);
  EXPECT_EQ(sections[vrn::kTopReferers].empty, 1u);
  EXPECT_EQ(sections[vrn::kGeneralStats].empty, 1u);

  for (int i = 0; i < vrn::kItemTableCount; ++i) sections[i].empty = 0;
  vrn::SetKindSectionFlags(1);
  for (int i = 0; i < vrn::kItemTableCount; ++i) EXPECT_EQ(sections[i].empty, 0u);
}

}  // namespace
