// The W3C extended format: the column directive at the head and inside the
// log, the data lines, and reopening a file across a column change.
#include "engine/core/w3c_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/core/log_reader_test_support.h"

namespace vrn {
namespace {

using readertest::Snapshot;
using readertest::Wall;

struct Shown {
  uint32_t a4, a5;
};
std::vector<Shown> g_shown;
int32_t RecordError(KvWindow, const char*, const char*, uint32_t a4, uint32_t a5, uint32_t) {
  g_shown.push_back({a4, a5});
  return 0;
}

class W3CTest : public testing::Test {
 protected:
  void SetUp() override {
    readertest::ResetEngineSettings();
    g_shown.clear();
    saved_ = glpfnDisplayReportError;
    glpfnDisplayReportError = RecordError;
  }
  void TearDown() override {
    glpfnDisplayReportError = saved_;
    readertest::ResetEngineSettings();
  }
  VrnDisplayErrorFn saved_ = nullptr;
  readertest::TzScope tz_{"UTC"};
  readertest::TempFolder dir_;
};

const char kAllFields[] =
    "#Fields: date time c-ip cs-username s-ip cs-method cs-uri-stem cs-uri-query sc-status sc-bytes cs-bytes "
    "cs(User-Agent) cs(Referer) cs(Cookie)\n";

TEST_F(W3CTest, DataLineFields) {
  const std::string log = std::string("#Software: x\n#Version: 1.0\n") + kAllFields +
                          "2000-10-10 13:55:36 1.2.3.4 - 10.0.0.1 GET /a%41 x=1 200 512 99 "
                          "Mozilla/4.0+(compatible;+MSIE+4.01) http://r/ \"id=\"\"q\"\" x\"\r\n"
                          "2000-10-10 13:55:37 1.2.3.5 bob - POST /b - 404 1 2 - - -\n"
                          "2000-10-10 13:55:38 1.2.3.6 - - [2]sent /f.zip - 226 3 0 - - -\n";
  const auto hits = readertest::ReadFileHits(dir_.Write("w.log", log));
  ASSERT_EQ(hits.size(), 3u);
  const Snapshot& a = hits[0];
  EXPECT_EQ(a.format, 11);
  EXPECT_EQ(a.time, Wall(2000, 10, 10, 13, 55, 36));
  EXPECT_EQ(a.client, "1.2.3.4");
  EXPECT_EQ(a.user, "");
  EXPECT_EQ(a.server, "10.0.0.1");
  EXPECT_EQ(a.methodText, "GET");
  EXPECT_EQ(a.url, "/aA?x=1");
  EXPECT_EQ(a.protocol, "HTTP/1.0");
  EXPECT_EQ(a.status, 200u);
  EXPECT_EQ(a.bytesSent, "512");
  EXPECT_EQ(a.bytesReceived, "99");
  EXPECT_EQ(a.bytes, 512u);
  EXPECT_EQ(a.agent, "Mozilla/4.0 (compatible; MSIE 4.01)");
  EXPECT_EQ(a.referrer, "http://r/");
  EXPECT_EQ(a.cookie, "id=\"q\" x");
  const Snapshot& b = hits[1];
  EXPECT_EQ(b.url, "/b");
  EXPECT_EQ(b.user, "bob");
  EXPECT_EQ(b.server, "");
  EXPECT_EQ(b.method, kMethodPost);
  EXPECT_EQ(b.referrer, "");
  const Snapshot& c = hits[2];
  EXPECT_EQ(c.methodText, "GET");
  EXPECT_EQ(c.protocol, "FTP");
  EXPECT_EQ(c.url, "/f.zip");
}

TEST_F(W3CTest, ColumnCountsAndUnknownColumns) {
  const std::string log =
      "#Fields: date time c-ip cs-method cs-uri-stem x-unknown\n"
      "2000-10-10 13:55:36 1.2.3.4 GET /six extra\n"
      "2000-10-10 13:55:36 1.2.3.4 GET /five\n"
      "2000-10-10 13:55:36 1.2.3.4 GET /seven extra more\n"
      "2000-10-10 13:55:36 1.2.3.4 OPTIONS /x extra\n"
      "2000-13-10 13:55:36 1.2.3.4 GET /badmonth extra\n"
      "2000/10/10 13:55:36 1.2.3.4 GET /baddate extra\n"
      "2000-10-10 1355 1.2.3.4 GET /badtime extra\n";
  const auto hits = readertest::ReadFileHits(dir_.Write("c.log", log));
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].url, "/six");
}

TEST_F(W3CTest, HeaderIsSoughtInTheFirst4096Bytes) {
  const std::string line = "2000-10-10 13:55:36 1.2.3.4 GET /x\n";
  const std::string fields = "#Fields: date time c-ip cs-method cs-uri-stem\n";
  // At 4080 the directive runs past the 4096 bytes read: it is not taken
  // from the head (its cut names would lack the time) but met in passing.
  for (size_t at : {size_t{0}, size_t{3000}, size_t{4080}, size_t{5000}}) {
    std::string head;
    while (head.size() < at) head += "#Remark: padding padding padding\n";
    head.resize(at);
    if (at > 0) head.back() = '\n';
    const std::string path = dir_.Write("h.log", head + fields + line);
    const LogSourceHandle source = OpenLogSourceForReading(path.c_str());
    int found = -1;
    EXPECT_EQ(ReadW3CFieldsHeader(source, &found), 1);
    EXPECT_EQ(found, at < 4000 ? 1 : 0) << at;
    EXPECT_EQ(SeekLogSource(source, 0, 1), 0u);
    if (found) ResetLogReader();
    // Found in passing or not, the line parses.
    const auto hits = readertest::ReadAllHits(source);
    ASSERT_EQ(hits.size(), 1u) << at;
    EXPECT_EQ(hits[0].url, "/x");
    CloseLogSource(source);
  }
}

TEST_F(W3CTest, DirectiveWithoutDateOrTimeIsRefusedWithAMessage) {
  const std::string path = dir_.Write("n.log", "#Fields: date c-ip cs-method cs-uri-stem\n2000-10-10 1.2.3.4 GET /x\n");
  const LogSourceHandle source = OpenLogSourceForReading(path.c_str());
  int found = 0;
  EXPECT_EQ(ReadW3CFieldsHeader(source, &found), 0);
  EXPECT_EQ(found, 1);
  EXPECT_FALSE(W3CColumnsUsable());
  ASSERT_EQ(g_shown.size(), 1u);
  EXPECT_EQ(g_shown[0].a4, 5739u);
  EXPECT_EQ(g_shown[0].a5, 5738u);
  CloseLogSource(source);
  // Every failing directive shows it again.
  EXPECT_EQ(ParseW3CFieldsLine("time c-ip", 0, 9), 0);
  EXPECT_EQ(g_shown.size(), 2u);
  // An unusable table rejects data lines.
  const std::string unusable =
      dir_.Write("u.log", "#Fields: c-ip cs-method\n1.2.3.4 GET\n#Fields: date time cs-method\n2000-1-2 3:04 GET\n");
  const LogSourceHandle u = OpenLogSourceForReading(unusable.c_str());
  const auto hits = readertest::ReadAllHits(u);
  CloseLogSource(u);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].time, Wall(2000, 1, 2, 3, 4, 0));
}

TEST_F(W3CTest, MoreColumnsThanTheTableHolds) {
  std::string fields = "#Fields: date time cs-method";
  std::string line = "2001-02-03 04:05:06 GET";
  for (int i = 0; i < 45; ++i) {
    fields += " x-col" + std::to_string(i);
    line += " v" + std::to_string(i);
  }
  fields += " cs-uri-stem\n";
  line += " /beyond\n";
  EXPECT_EQ(ParseW3CFieldsLine(fields.c_str(), 8, static_cast<uint32_t>(fields.size())), 1);
  EXPECT_EQ(W3CColumns().count, 49);
  const auto hits = readertest::ReadFileHits(dir_.Write("m.log", fields + line));
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].url, "");  // the stem lies beyond the table: passed over
  EXPECT_EQ(hits[0].time, Wall(2001, 2, 3, 4, 5, 6));
}

std::string ChangingLog() {
  std::string log = "#Fields: date time c-ip cs-method cs-uri-stem\n";
  for (int i = 0; i < 3000; ++i) log += "2000-10-10 10:00:00 1.1.1." + std::to_string(i % 250) + " GET /first" + std::to_string(i) + "\n";
  log += "#Date: 2000-10-11 00:00:00\n#Fields: time date cs-uri-stem cs-method c-ip sc-status\n";
  for (int i = 0; i < 3000; ++i) log += "11:00:00 2000-10-11 /second" + std::to_string(i) + " POST 2.2.2.2 404\n";
  return log;
}

TEST_F(W3CTest, ColumnsChangeMidFile) {
  const auto hits = readertest::ReadFileHits(dir_.Write("chg.log", ChangingLog()));
  ASSERT_EQ(hits.size(), 6000u);
  EXPECT_EQ(hits[2999].url, "/first2999");
  EXPECT_EQ(hits[3000].url, "/second0");
  EXPECT_EQ(hits[3000].method, kMethodPost);
  EXPECT_EQ(hits[3000].status, 404u);
  EXPECT_EQ(hits[3000].client, "2.2.2.2");
  EXPECT_EQ(hits[3000].time, Wall(2000, 10, 11, 11, 0, 0));
}

TEST_F(W3CTest, ReopeningAcrossAColumnChangeKeepsTheColumnsInForce) {
  const auto whole = readertest::ReadFileHits(dir_.Write("chg.log", ChangingLog()));
  // A file of its own, so that nothing the reader met in the first file helps.
  const std::string path = dir_.Write("chg2.log", ChangingLog());

  // Read as a report run does, closing and reopening the file every 20000
  // bytes (and reading its head directive again each time).
  std::vector<Snapshot> hits;
  LogSourceHandle source = OpenLogSourceForReading(path.c_str());
  int found = 0;
  ASSERT_EQ(ReadW3CFieldsHeader(source, &found), 1);
  if (found) ResetLogReader();
  uint64_t pos = 0, lastChunk = 0;
  for (;;) {
    if (pos / 20000 != lastChunk) {
      lastChunk = pos / 20000;
      CloseLogSource(source);
      source = OpenLogSourceForReading(path.c_str());
      ASSERT_EQ(ReadW3CFieldsHeader(source, &found), 1);
      if (found) ResetLogReader();
    }
    HitRecord hit = {};
    uint64_t next = pos;
    const uint16_t r = ReadNextHit(source, pos, &hit, &next, kDefaultReadWindow);
    if (r == kReadHit) {
      hits.push_back(readertest::Snap(hit));
      FreeHitLine(&hit);
    }
    if (r == kReadEnd) break;
    pos = next;
  }
  CloseLogSource(source);
  ASSERT_EQ(hits.size(), whole.size());
  for (size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i], whole[i]) << i;
}

TEST_F(W3CTest, JumpsWithinOneSourceUseTheColumnsInForceThere) {
  const std::string log = ChangingLog();
  const std::string path = dir_.Write("jump.log", log);
  readertest::ReadFileHits(path);  // the reader meets both directives once
  const uint64_t inFirst = log.rfind('\n', log.find("/first10\n")) + 1;    // line starts
  const uint64_t inSecond = log.rfind('\n', log.find("/second10 ")) + 1;
  const LogSourceHandle source = OpenLogSourceForReading(path.c_str());
  int found = 0;
  ASSERT_EQ(ReadW3CFieldsHeader(source, &found), 1);
  ResetLogReader();
  HitRecord hit = {};
  uint64_t next = 0;
  for (uint64_t at : {inSecond, inFirst, inSecond}) {
    ASSERT_EQ(ReadNextHit(source, at, &hit, &next, kDefaultReadWindow), kReadHit);
    EXPECT_STREQ(hit.URL, at == inSecond ? "/second10" : "/first10") << at;
    FreeHitLine(&hit);
  }
  CloseLogSource(source);
}

TEST_F(W3CTest, AFileReplacedUnderItsNameForgetsTheOldColumnChanges) {
  const std::string path = dir_.Write("rot.log", ChangingLog());
  readertest::ReadFileHits(path);  // the reader meets the change of the old file
  std::string fresh = "#Fields: date time c-ip cs-method cs-uri-stem\n";
  for (int i = 0; i < 6000; ++i) fresh += "2000-10-12 09:00:00 3.3.3.3 GET /new" + std::to_string(i) + "\n";
  dir_.Write("rot.log", fresh);
  const uint64_t late = fresh.rfind('\n', fresh.find("/new5000\n")) + 1;
  ASSERT_GT(late, ChangingLog().find("#Fields: time"));

  const LogSourceHandle source = OpenLogSourceForReading(path.c_str());
  int found = 0;
  ASSERT_EQ(ReadW3CFieldsHeader(source, &found), 1);
  ResetLogReader();
  HitRecord hit = {};
  uint64_t next = 0;
  ASSERT_EQ(ReadNextHit(source, 0, &hit, &next, kDefaultReadWindow), kReadHit);
  EXPECT_STREQ(hit.URL, "/new0");
  FreeHitLine(&hit);
  // A jump past where the old file changed its columns.
  ASSERT_EQ(ReadNextHit(source, late, &hit, &next, kDefaultReadWindow), kReadHit);
  EXPECT_STREQ(hit.URL, "/new5000");
  EXPECT_STREQ(hit.ClientAddress, "3.3.3.3");
  FreeHitLine(&hit);
  CloseLogSource(source);
}

TEST_F(W3CTest, WholeLogsMatchALineByLineSplitForEveryLineEnd) {
  const std::string fields = "#Fields: date time c-ip cs-method cs-uri-stem cs-uri-query sc-status cs(User-Agent)";
  std::mt19937 rng(5);
  std::vector<std::string> lines;
  size_t total = 0;
  for (int n = 0; total < 90000; ++n) {
    const int pad = rng() % 10 == 0 ? 900 + static_cast<int>(rng() % 2500) : static_cast<int>(rng() % 40);
    std::string line = "2001-03-0" + std::to_string(1 + n % 9) + " 10:" + std::to_string(10 + n % 50) + ":00 10.0.0." +
                       std::to_string(n % 250) + " " + (n % 7 == 0 ? "OPTIONS" : "GET") + " /w" + std::to_string(n) +
                       " q=" + std::to_string(n) + " 200 Agent+" + std::string(static_cast<size_t>(pad), 'z');
    if (n % 13 == 0) line = "#Remark: " + line;
    total += line.size() + 2;
    lines.push_back(line);
  }
  std::vector<Snapshot> reference;
  for (const std::string& line : lines) {
    auto one = readertest::ReadFileHits(dir_.Write("one.log", fields + "\n" + line + "\n"));
    reference.insert(reference.end(), one.begin(), one.end());
  }
  ASSERT_GT(reference.size(), lines.size() / 2);
  for (const char* end : {"\n", "\r\n", "\r", "\n\r"}) {
    std::string data = fields + end;
    for (const std::string& line : lines) data += line + end;
    data.resize(data.size() - std::strlen(end));  // the last line without its end
    const auto hits = readertest::ReadFileHits(dir_.Write("all.log", data));
    ASSERT_EQ(hits.size(), reference.size()) << int(end[0]);
    for (size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i], reference[i]) << i << " " << int(end[0]);
  }
}

TEST_F(W3CTest, CommonLinesAfterADirectiveAreW3C) {
  const auto hits = readertest::ReadFileHits(
      dir_.Write("mix.log", "#Fields: date time c-ip cs-method cs-uri-stem\n"
                            "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET /common HTTP/1.0\" 200 1\n"
                            "2000-10-10 13:55:36 1.2.3.4 GET /w3c\n"));
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].url, "/w3c");
}

}  // namespace
}  // namespace vrn
