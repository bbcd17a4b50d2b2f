// Reports as a user gets them: the command-line client (build/bin/kvm-log)
// analyses a generated log with a template of the test's own and writes the
// report in each output format. The expected rows follow from how the log
// was generated, not from the engine.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/reports/html_test_support.h"

namespace {

namespace fs = std::filesystem;
using htmltest::TagBalance;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// One generated hit of the combined log format.
struct Hit {
  std::string host = "192.0.2.1";
  std::string user = "-";
  int day = 16;    // of November 2026 (a Monday)
  int hour = 10;
  int minute = 0;
  int second = 0;
  std::string path = "/index.html";
  int status = 200;
  int bytes = 1000;
  std::string referrer = "-";
  std::string agent = "Mozilla/5.0 (X11; Linux x86_64) Gecko/20100101 Firefox/118.0";
};

std::string LogLine(const Hit& h) {
  char time[64];
  std::snprintf(time, sizeof time, "[%02d/Nov/2026:%02d:%02d:%02d +0000]", h.day, h.hour, h.minute, h.second);
  return h.host + " - " + h.user + " " + time + " \"GET " + h.path + " HTTP/1.1\" " + std::to_string(h.status) +
         " " + std::to_string(h.bytes) + " \"" + h.referrer + "\" \"" + h.agent + "\"\n";
}

const char* const kFormats[] = {"html", "text", "doc", "xls"};

std::string Extension(const std::string& format) {
  if (format == "html") return "htm";
  if (format == "text") return "txt";
  return format;
}

class ReportOutput : public testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("KV_PROGRAM_DIR");
    const char* source = std::getenv("KV_SOURCE_DIR");
    ASSERT_NE(bin, nullptr);
    ASSERT_NE(source, nullptr);
    program_ = std::string(bin) + "/kvm-log";
    ASSERT_TRUE(fs::exists(program_));
    std::string pattern = testing::TempDir() + "kvreportXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
    fs::create_directories(folder_ + "profiles");
    fs::create_directories(folder_ + "logs");
    fs::create_directories(folder_ + "Template");
    const std::string data = std::string(source) + "/data/kvm_log/";
    // The referrer and agent log templates; template.var is the test's own.
    for (const char* name : {"ENGLISH.RPL", "referlog.var", "agentlog.var"})
      fs::copy_file(data + "Template/" + name, folder_ + "Template/" + name);
    fs::copy_file(data + "REPORT.INI", folder_ + "REPORT.INI");
    Write(folder_ + "profiles/00000001.wlp",
          "[Profile]\nVersion=4\nDescription=Generated site\nLogFilePath=" + folder_ +
              "logs/access.log\nHomePageName=http://www.example.com/\nDNSLookup=0\nOverrideMultiHome=0\n"
              "PellavarFlag=0\nRealtimeAnalysis=0\nLogFileFormat=0\n");
  }
  void TearDown() override { fs::remove_all(folder_); }

  void WriteLog(const std::vector<Hit>& hits) {
    std::string text;
    for (const Hit& h : hits) text += LogLine(h);
    Write(folder_ + "logs/access.log", text);
  }
  void WriteTemplate(const std::string& text) { Write(folder_ + "Template/template.var", text); }

  // Writes the report in the format; its text (empty when the client
  // failed, with the failure recorded).
  std::string Report(const std::string& format) {
    const std::string dir = folder_ + "report-" + format;
    const std::string err = folder_ + "err.txt";
    const std::string command = "TZ=UTC '" + program_ + "' --profiles '" + folder_ + "profiles/' report 00000001" +
                                " --format " + format + " --report-dir '" + dir + "' >/dev/null 2>'" + err + "'";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << "\n" << Read(err);
    return Read(dir + "/index." + Extension(format));
  }

  std::string program_;
  std::string folder_;
};

// Three pages with 3, 2 and 1 hits.
std::vector<Hit> ThreePages() {
  std::vector<Hit> hits;
  const char* const pages[] = {"/first.html", "/second.html", "/third.html"};
  for (int page = 0; page < 3; ++page) {
    for (int n = 0; n < 3 - page; ++n) {
      Hit h;
      h.minute = page * 10 + n;
      h.path = pages[page];
      hits.push_back(h);
    }
  }
  return hits;
}

// A template whose rows fall across the 10 KB reading window at every
// offset near its border: a line that is dropped (a row past the table's
// end) must leave nothing behind, and a token cut by the window is read
// whole. Each format is walked the same way.
TEST_F(ReportOutput, RowsAcrossTheReadingWindowLeaveNothingBehind) {
  WriteLog(ThreePages());
  const std::string chapter =
      "<!-- %%BeginChapter%% -->\r\n"
      "<!-- %%TopDocumentsBeginSection[TABLE,0,{LANG_STR<TopDocumentsTC>}]%% -->\r\n"
      "<TABLE>\r\n"
      "%%%BeginRepeat%%%\r\n"
      "<TR><TD>ROW ^</TD><TD>%%TopDocumentsDesc[~]%%</TD><TD>%%TopDocumentsHits[~]%%</TD></TR>\r\n"
      "%%%EndRepeat[0,40]%%%\r\n"
      "</TABLE>\r\n"
      "<!-- %%TopDocumentsEndSection%% -->\r\n"
      "\r\n"
      "<!-- %%EndChapter%% -->\r\n"
      "\r\n"
      "END\r\n";
  // Every offset near the border in HTML, a few in each other format.
  for (size_t n = 10224; n <= 10241; ++n) {
    // n filler bytes in lines of 62, the last line shortened to fit.
    std::string filler;
    while (filler.size() < n) filler += std::string(60, 'x') + "\r\n";
    filler.resize(n - 2);
    filler += "\r\n";
    WriteTemplate(filler + "<TR><TD>%%TopDocumentsHits[500]%%</TD></TR>\r\n<P>%%TopDocumentsDesc[0]%%</P>\r\n" +
                  chapter);
    for (const char* format : kFormats) {
      if (std::string(format) != "html" && n % 4 != 0) continue;
      SCOPED_TRACE(std::string(format) + " with " + std::to_string(n) + " filler bytes");
      const std::string report = Report(format);
      ASSERT_GE(report.size(), n);
      EXPECT_EQ(report.compare(0, n, filler), 0);
      // The row of item 500 is gone whole; the description of item 0 follows.
      const std::string first = "<P>http://www.example.com/first.html</P>\r\n";
      EXPECT_EQ(report.compare(n, first.size(), first), 0) << report.substr(n, 80);
      // Three of forty rows hold an item; the others leave no fragment.
      EXPECT_EQ(Count(report, "ROW"), 3u) << report.substr(n);
      EXPECT_NE(report.find("<TR><TD>ROW 3</TD><TD>http://www.example.com/third.html</TD><TD>1</TD></TR>"),
                std::string::npos);
      EXPECT_EQ(report.find("%%"), std::string::npos);
      EXPECT_EQ(report.substr(report.size() - 7), "\r\nEND\r\n");
      if (std::string(format) == "html") {
        EXPECT_EQ(TagBalance(report), "");
      }
    }
  }
}

// Whatever a visitor puts in a request, a referrer, an agent or a user name
// is text in an HTML report; text and document reports keep it as it is.
TEST_F(ReportOutput, LogTextIsEscapedInEveryFormat) {
  std::vector<Hit> hits;
  for (int i = 0; i < 4; ++i) {
    Hit h;
    h.minute = i;
    h.host = "192.0.2." + std::to_string(10 + i);
    h.user = "<b>mal\"lory";
    h.path = "/a<script>alert(1)</script>.html";
    h.referrer = "http://www.google.com/search?q=%3Cscript%3Ekw%3C%2Fscript%3E&x=<img src=x onerror=alert(2)>";
    h.agent = "Mozilla/5.0 <div><table>\"quoted\" & more";
    hits.push_back(h);
  }
  WriteLog(hits);
  std::string rows;
  const char* const tables[] = {"TopDocuments", "TopReferers", "TopReferingSites", "TopBrowsers",
                                "TopAuthUsers", "TopSearchKeywords", "TopEntry", "TopExit", "TopPlatforms"};
  for (const char* table : tables) {
    rows += std::string("<!-- %%") + table + "BeginSection[TABLE,0,{x}]%% -->\r\n<TABLE>\r\n%%%BeginRepeat%%%\r\n" +
            "<TR><TD>" + table + "</TD><TD>%%" + table + "Desc[~]%%</TD><TD>%%" + table + "Title[~]%%</TD></TR>\r\n" +
            "%%%EndRepeat[0,3]%%%\r\n</TABLE>\r\n<!-- %%" + table + "EndSection%% -->\r\n\r\n";
  }
  WriteTemplate("<HTML>\r\n<BODY>\r\n<!-- %%BeginChapter%% -->\r\n" + rows +
                "<!-- %%EndChapter%% -->\r\n\r\n</BODY>\r\n</HTML>\r\n");

  // A text report and a document report are HTML documents as well (a
  // browser or an office program reads their markup): log text is text in
  // every format.
  for (const char* format : {"html", "text", "doc", "xls"}) {
    SCOPED_TRACE(format);
    const std::string html = Report(format);
    EXPECT_EQ(TagBalance(html), "");
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<img"), std::string::npos);
    EXPECT_EQ(html.find("<b>"), std::string::npos);
    EXPECT_EQ(html.find("<div>"), std::string::npos);
    // Each value is there, as text.
    EXPECT_NE(html.find("a&lt;script&gt;alert(1)&lt;/script&gt;.html"), std::string::npos) << html;
    EXPECT_NE(html.find("&amp;x=&lt;img src=x"), std::string::npos) << html;
    EXPECT_NE(html.find("&lt;b&gt;mal&quot;lory"), std::string::npos);
    EXPECT_NE(html.find("q=&lt;script&gt;kw&lt;/script&gt;&amp;x="), std::string::npos);
    // No "&" of a log value stands bare: every one opens an entity.
    for (size_t at = html.find('&'); at != std::string::npos; at = html.find('&', at + 1)) {
      const std::string tail = html.substr(at, 6);
      EXPECT_TRUE(tail.rfind("&lt;", 0) == 0 || tail.rfind("&gt;", 0) == 0 || tail.rfind("&amp;", 0) == 0 ||
                  tail.rfind("&quot;", 0) == 0)
          << html.substr(at > 40 ? at - 40 : 0, 80);
    }
  }
}

// Every section of a chapter shows the rows its own repeat block asks for,
// whatever the other sections of the chapter ask for and whatever range a
// chart beside the table draws.
TEST_F(ReportOutput, EachSectionShowsItsOwnRows) {
  // 14 days from Sunday 15 November, one hit in every hour, from 20
  // addresses (address i has i + 1 hits in the first hours of the first day)
  // and 12 pages.
  std::vector<Hit> hits;
  int n = 0;
  for (int day = 15; day < 29; ++day) {
    for (int hour = 0; hour < 24; ++hour) {
      Hit h;
      h.day = day;
      h.hour = hour;
      h.path = "/page" + std::to_string(n % 12) + ".html";
      h.host = "198.51.100." + std::to_string(200 + n % 3);
      hits.push_back(h);
      ++n;
    }
  }
  for (int host = 0; host < 20; ++host) {
    for (int k = 0; k <= host; ++k) {
      Hit h;
      h.day = 30;
      h.hour = 1;
      h.minute = host;
      h.second = k;
      h.host = "203.0.113." + std::to_string(host + 1);
      h.path = "/page0.html";
      hits.push_back(h);
    }
  }
  WriteLog(hits);
  auto section = [](const std::string& table, const std::string& keyword, const std::string& repeat,
                    const std::string& graph) {
    std::string text = "<!-- %%" + table + "BeginSection[" + keyword + ",0,{x}]%% -->\r\n";
    if (!graph.empty()) text += "<IMG SRC=\"%%" + table + "Graph[" + graph + "]%%\">\r\n";
    text += "<TABLE>\r\n%%%BeginRepeat%%%\r\n<TR><TD>" + table + " ^</TD><TD>%%" + table + "Desc[~]%%</TD><TD>%%" +
            table + "Hits[~]%%</TD></TR>\r\n%%%EndRepeat[" + repeat + "]%%%\r\n</TABLE>\r\n<!-- %%" + table +
            "EndSection%% -->\r\n\r\n";
    return text;
  };
  WriteTemplate(
      "<HTML>\r\n<BODY>\r\n"
      "<!-- %%BeginChapter%% -->\r\n" +
      section("TopWeekdays", "TABLE", "0,7", "BARS, {Days}, 2D, Items {Day}, Hits {Hits}, 0-6") +
      "<!-- %%EndChapter%% -->\r\n\r\n"
      "<!-- %%BeginChapter%% -->\r\n" +
      section("TopHours", "GRAPH", "0,24", "LINES, {Hours}, 2D, Timeline {Hour}, Hits {Hits}, 0-0") +
      "<!-- %%EndChapter%% -->\r\n\r\n"
      "<!-- %%BeginChapter%% -->\r\n" +
      section("TopDocuments", "TABLE", "0,10", "") + section("TopBrowsers", "TABLE", "0,2", "") +
      "<!-- %%EndChapter%% -->\r\n\r\n"
      "</BODY>\r\n</HTML>\r\n");
  const std::string html = Report("html");
  EXPECT_EQ(TagBalance(html), "");
  EXPECT_EQ(Count(html, "<TR><TD>TopWeekdays "), 7u) << html;
  EXPECT_EQ(Count(html, "<TR><TD>TopHours "), 24u) << html;
  EXPECT_EQ(Count(html, "<TR><TD>TopDocuments "), 10u) << html;
  EXPECT_EQ(Count(html, "<TR><TD>TopBrowsers "), 1u) << html;  // one agent in the log
  // Every hour of the log has 14 hits (one a day), hour 1 also the 210 of day 30.
  EXPECT_NE(html.find("<TD>00:00-00:59</TD><TD>14</TD>"), std::string::npos) << html;
  EXPECT_NE(html.find("<TD>01:00-01:59</TD><TD>224</TD>"), std::string::npos) << html;
}

// The totals of the visitor table add up the rows it shows: item 0 is the
// busiest visitor, not an overflow item to leave out.
TEST_F(ReportOutput, VisitorTotalsCountEveryShownRow) {
  std::vector<Hit> hits;
  for (int host = 0; host < 6; ++host) {
    for (int k = 0; k < 10 - host; ++k) {
      Hit h;
      h.minute = host;
      h.second = k;
      h.host = "192.0.2." + std::to_string(50 + host);
      hits.push_back(h);
    }
  }
  WriteLog(hits);
  WriteTemplate(
      "<HTML>\r\n<BODY>\r\n<!-- %%BeginChapter%% -->\r\n"
      "<!-- %%TopUsersBeginSection[TABLE,0,{x}]%% -->\r\n<TABLE>\r\n%%%BeginRepeat%%%\r\n"
      "<TR><TD>%%TopUsersDesc[~]%%</TD><TD>%%TopUsersHits[~]%%</TD></TR>\r\n%%%EndRepeat[0,6]%%%\r\n"
      "<TR><TD>Total</TD><TD>%%TopUsersTotalHits%%</TD></TR>\r\n</TABLE>\r\n"
      "<!-- %%TopUsersEndSection%% -->\r\n\r\n<!-- %%EndChapter%% -->\r\n\r\n</BODY>\r\n</HTML>\r\n");
  const std::string html = Report("html");
  // 10 + 9 + 8 + 7 + 6 + 5 hits in the six rows.
  EXPECT_NE(html.find("<TR><TD>192.0.2.50</TD><TD>10</TD></TR>"), std::string::npos) << html;
  EXPECT_NE(html.find("<TR><TD>Total</TD><TD>45</TD></TR>"), std::string::npos) << html;
}

// A report vocabulary without time scales puts every hit in one slot; the
// header figures that add up the slots still count them all.
TEST_F(ReportOutput, HeaderFiguresWithoutTimeScales) {
  std::string vocabulary = Read(folder_ + "REPORT.INI");
  const size_t interval = vocabulary.find("[Interval]");
  ASSERT_NE(interval, std::string::npos);
  vocabulary.erase(interval, vocabulary.find("\n[", interval + 1) + 1 - interval);
  Write(folder_ + "REPORT.INI", vocabulary);
  std::vector<Hit> hits = ThreePages();
  hits[0].status = 404;
  hits[0].day = 20;
  WriteLog(hits);
  WriteTemplate(
      "<P>hits %%HeaderTotalHits%%</P>\r\n<P>all %%TechnicalStatsTotalHits%%</P>\r\n"
      "<P>failed %%TechnicalStatsFailedHits%%</P>\r\n<P>users %%HeaderTotalUsers%%</P>\r\n");
  const std::string html = Report("html");
  // Six hits from one address, one of them failed.
  EXPECT_NE(html.find("<P>hits 5</P>"), std::string::npos) << html;
  EXPECT_NE(html.find("<P>all 6</P>"), std::string::npos) << html;
  EXPECT_NE(html.find("<P>failed 1</P>"), std::string::npos) << html;
  EXPECT_EQ(html.find("<P>users 0</P>"), std::string::npos) << html;
}

// A template window that ends with the first "%" of a token's opening pair:
// the token still decides that its table is filled.
TEST_F(ReportOutput, ATokenOpeningAtTheWindowsLastByteIsFound) {
  std::vector<Hit> hits = ThreePages();
  for (Hit& h : hits) h.referrer = "http://links.example.org/list.html";
  WriteLog(hits);
  for (size_t n : {10237u, 10238u, 10239u, 10240u}) {
    SCOPED_TRACE(n);
    std::string filler;
    while (filler.size() < n) filler += std::string(60, 'x') + "\r\n";
    filler.resize(n - 2);
    filler += "\r\n";
    WriteTemplate(filler + "%%TopReferersDesc[0]%%\r\nEND\r\n");
    const std::string text = Report("text");
    EXPECT_EQ(text.substr(n), "http://links.example.org/list.html\r\nEND\r\n");
  }
}

// The delivered template over a log that carries markup in every field:
// the page's elements stay balanced and no markup of the log gets in.
TEST_F(ReportOutput, TheDeliveredTemplateMakesABalancedPage) {
  fs::copy_file(std::string(std::getenv("KV_SOURCE_DIR")) + "/data/kvm_log/Template/template.var",
                folder_ + "Template/template.var");
  std::vector<Hit> hits;
  for (int i = 0; i < 30; ++i) {
    Hit h;
    h.minute = i;
    h.host = "192.0.2." + std::to_string(1 + i % 7);
    h.user = i % 2 == 0 ? "-" : "<td>eve";
    h.path = "/p" + std::to_string(i % 4) + (i % 3 == 0 ? "</td></tr></table><script>x()</script>.html" : ".html");
    h.referrer = "http://www.google.com/search?q=%3C%2Ftable%3E" + std::to_string(i % 5);
    h.agent = i % 2 == 0 ? "Mozilla/5.0 </table><b>" : "Wget/1.21.3";
    hits.push_back(h);
  }
  WriteLog(hits);
  const std::string html = Report("html");
  ASSERT_FALSE(html.empty());
  EXPECT_EQ(TagBalance(html), "") << html;
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("%%"), std::string::npos);
}

}  // namespace
