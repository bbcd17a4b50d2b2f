// The line parsers, one table row per case with the exact field values, and
// the dates of every format under several time zones.
#include "engine/core/line_parsers.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/core/log_reader_test_support.h"

namespace vrn {
namespace {

using readertest::Snapshot;
using readertest::Wall;

std::string Field(const Snapshot& s, const std::string& name) {
  if (name == "client") return s.client;
  if (name == "server") return s.server;
  if (name == "user") return s.user;
  if (name == "date") return s.date;
  if (name == "method") return s.methodText;
  if (name == "url") return s.url;
  if (name == "protocol") return s.protocol;
  if (name == "status") return s.statusText;
  if (name == "sent") return s.bytesSent;
  if (name == "received") return s.bytesReceived;
  if (name == "referrer") return s.referrer;
  if (name == "agent") return s.agent;
  if (name == "cookie") return s.cookie;
  if (name == "serverName") return s.serverName;
  if (name == "format") return std::to_string(s.format);
  if (name == "code") return std::to_string(s.status);
  if (name == "bytes") return std::to_string(s.bytes);
  if (name == "methodCode") return std::to_string(s.method);
  if (name == "time") return std::to_string(s.time);
  ADD_FAILURE() << "no field " << name;
  return "";
}

struct Case {
  const char* name;
  std::string line;
  bool hit;
  std::vector<std::pair<std::string, std::string>> fields;
};

class LineParserTest : public testing::Test {
 protected:
  void SetUp() override { readertest::ResetEngineSettings(); }
  void Run(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      readertest::ResetEngineSettings();
      bool ok = false;
      const Snapshot s = readertest::ParseText(c.line, &ok);
      EXPECT_EQ(ok, c.hit) << c.name << ": " << c.line;
      if (!ok || !c.hit) continue;
      for (const auto& [field, value] : c.fields) EXPECT_EQ(Field(s, field), value) << c.name << " / " << field;
    }
  }
  readertest::TzScope utc_{"UTC"};
};

const std::string kDate = "[10/Oct/2000:13:55:36 -0700]";
const std::string kTime = std::to_string(Wall(2000, 10, 10, 13, 55, 36));

TEST_F(LineParserTest, CommonFormat) {
  Run({
      {"plain common line", "1.2.3.4 - - " + kDate + " \"GET /a HTTP/1.0\" 200 512\n", true,
       {{"format", "2"}, {"client", "1.2.3.4"}, {"server", ""}, {"user", ""}, {"date", "10/Oct/2000:13:55:36 -0700"},
        {"method", "GET"}, {"url", "/a"}, {"protocol", "HTTP/1.0"}, {"status", "200"}, {"sent", "512"},
        {"code", "200"}, {"bytes", "512"}, {"methodCode", "0"}, {"time", kTime}, {"referrer", ""}, {"agent", ""}}},
      {"user name with a space", "host - John Smith " + kDate + " \"POST /b HTTP/1.1\" 404 -\r\n", true,
       {{"user", "John Smith"}, {"server", ""}, {"methodCode", "2"}, {"code", "404"}, {"sent", "-"}, {"bytes", "0"}}},
      {"ident and user", "h ident bob " + kDate + " \"HEAD / HTTP/1.0\" 200 0\n", true,
       {{"server", "ident"}, {"user", "bob"}, {"methodCode", "3"}}},
      {"ident holding a slash", "h a/b bob " + kDate + " \"GET / HTTP/1.0\" 200 0\n", true, {{"server", ""}}},
      {"combined", "h - u " + kDate + " \"GET /p?q=1 HTTP/1.1\" 200 10 \"http://ref/x%20y\" \"Mozilla/4.0 (compatible; MSIE 5.0)\"\n",
       true,
       {{"url", "/p?q=1"}, {"referrer", "http://ref/x y"}, {"agent", "Mozilla/4.0 (compatible; MSIE 5.0)"},
        {"user", "u"}}},
      {"combined with cookie", "h - - " + kDate + " \"GET / HTTP/1.1\" 200 1 \"-\" \"A\" \"id=1.2.3.4-5.6\"\n", true,
       {{"referrer", ""}, {"agent", "A"}, {"cookie", "id=1.2.3.4-5.6"}}},
      {"utf-8 in agent and user", "h - j\xc3\xb6rg " + kDate + " \"GET / HTTP/1.1\" 200 1 \"-\" \"Agent \xe2\x82\xac\"\n",
       true, {{"user", "j\xc3\xb6rg"}, {"agent", "Agent \xe2\x82\xac"}}},
      {"trailing question mark", "h - - " + kDate + " \"GET /a? HTTP/1.0\" 200 1\n", true, {{"url", "/a"}}},
      {"no protocol", "h - - " + kDate + " \"GET /a\" 200 5\n", true, {{"url", "/a"}, {"protocol", ""}, {"sent", "5"}}},
      {"server after the date", "h - - " + kDate + " www.site.com \"GET / HTTP/1.0\" 200 1\n", true,
       {{"server", "www.site.com"}}},
      {"server after the bytes", "h - - " + kDate + " \"GET / HTTP/1.0\" 200 1 vhost.com \"r\" \"a\"\n", true,
       {{"server", "vhost.com"}, {"referrer", "r"}, {"agent", "a"}}},
      {"parenthesis after the bytes", "h - - " + kDate + " \"GET / HTTP/1.0\" 200 1 (x) \"c\"\n", true,
       {{"server", ""}, {"cookie", "c"}}},
      {"proxy line", "h - - " + kDate + " \"GET http://x.com/ HTTP/1.0\" 200 1 junk \"r\" \"a\"\n", true,
       {{"url", "http://x.com/"}, {"referrer", ""}, {"server", ""}}},
      {"bracket groups then cookie", "h - - " + kDate + " \"GET / HTTP/1.0\" 200 1 [a] [b] \"ck\"\n", true,
       {{"cookie", "ck"}}},
      {"weekday date", "h - - [Tue, 10 Oct 2000 13:55:36 -0700] \"GET / HTTP/1.0\" 200 1\n", true, {{"time", kTime}}},
      {"percent-decoded long URL", "h - - " + kDate + " \"GET /%41" + std::string(300, 'b') + " HTTP/1.0\" 200 1\n", true,
       {{"url", "/A" + std::string(256, 'b')}}},
      {"URL of 260 characters ending in a question mark",
       "h - - " + kDate + " \"GET /" + std::string(258, 'c') + "? HTTP/1.0\" 200 1\n", true,
       {{"url", "/" + std::string(258, 'c')}}},
      {"URL of 261 characters with a query",
       "h - - " + kDate + " \"GET /?" + std::string(259, 'd') + " HTTP/1.0\" 200 1\n", true,
       {{"url", "/?" + std::string(254, 'd') + "..."}}},
      {"URL decoded to a question mark at its end", "h - - " + kDate + " \"GET /a%3F HTTP/1.0\" 200 1\n", true,
       {{"url", "/a"}}},
      {"escapes at a 16-byte block boundary", "h - - " + kDate + " \"GET /" + std::string(14, 'e') +
       "%41%42 HTTP/1.0\" 200 1 \"" + std::string(15, 'r') + "%43\" \"a\"\n", true,
       {{"url", "/" + std::string(14, 'e') + "AB"}, {"referrer", std::string(15, 'r') + "C"}}},
      {"long referrer", "h - - " + kDate + " \"GET / HTTP/1.0\" 200 1 \"http://r/" + std::string(300, 'f') +
       "\" \"a\"\n", true, {{"referrer", "http://r/" + std::string(251, 'f')}, {"agent", "a"}}},
      {"comma request", "h - - " + kDate + " \"GET /page, Mozilla/4.0 (x)|http://ref/, foo?a=1 HTTP/1.0\" 200 55\n",
       true,
       {{"url", "/page?a=1"}, {"agent", "Mozilla/4.0 (x)"}, {"referrer", "http://ref/"}, {"protocol", "HTTP/1.0"},
        {"status", "200"}, {"sent", "55"}}},
      {"comma request long query stays within the URL limit",
       "h - - " + kDate + " \"GET /" + std::string(250, 'p') + ", A|R, x?" + std::string(40, 'q') + " HTTP/1.0\" 200 1\n",
       true, {{"url", "/" + std::string(250, 'p') + "?" + std::string(4, 'q') + "..."}, {"agent", "A"}, {"referrer", "R"}}},
      {"no bracket", "h - - 10/Oct/2000 \"GET / HTTP/1.0\" 200 1\n", false, {}},
      {"line end before the bytes", "h - - " + kDate + " \"GET / HTTP/1.0\"\n", false, {}},
      {"request without quote", "h - - " + kDate + " GET / HTTP/1.0 200 1\n", false, {}},
      {"unknown method", "h - - " + kDate + " \"BREW /pot HTTP/1.0\" 418 1\n", false, {}},
      {"bad month", "h - - [10/Foo/2000:13:55:36 -0700] \"GET / HTTP/1.0\" 200 1\n", false, {}},
      {"year 1850", "h - - [10/Oct/1850:13:55:36 -0700] \"GET / HTTP/1.0\" 200 1\n", false, {}},
  });
}

TEST_F(LineParserTest, CommonFormatTakesAFollowingAgentLine) {
  readertest::TempFolder dir;
  const std::string base = "h - - " + kDate + " \"GET / HTTP/1.0\" 200 1\n";
  const std::string path = dir.Write("f.log", base + "/ a b c agent text http://ref\n" + base +
                                                  "Mozilla/4.0|http://r2/\n" + base + "/ too few\n");
  const auto hits = readertest::ReadFileHits(path);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].agent, "c agent text");
  EXPECT_EQ(hits[0].referrer, "http://ref");
  EXPECT_EQ(hits[1].agent, "Mozilla/4.0");
  EXPECT_EQ(hits[1].referrer, "http://r2/");
  EXPECT_EQ(hits[2].agent, "");
}

TEST_F(LineParserTest, AFollowingLineRunningPastTheBufferedDataIsTaken) {
  readertest::TempFolder dir;
  const std::string base = "h - - " + kDate + " \"GET / HTTP/1.0\" 200 1\n";
  const std::string agent(1400, 'A');
  const std::string pair = base + "/x y z " + agent + " http://ref/\n";
  // Rejected lines up to byte 15200: the pair starts more than 1024 bytes
  // before the end of the first 16384 bytes read, and its second line runs
  // past them.
  std::string filler;
  while (filler.size() < 15200) filler += std::string(99, 'x') + "\n";
  const auto hits = readertest::ReadFileHits(dir.Write("f.log", filler + pair + base));
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].agent, agent);
  EXPECT_EQ(hits[0].referrer, "http://ref/");
  EXPECT_EQ(hits[1].agent, "");
}

TEST_F(LineParserTest, CommaFormat) {
  const std::string head = "192.168.1.1, -, 4/5/98, 17:29:07, W3SVC1, SERVER, 10.0.0.1, 20, 300, 4000, 200, 0, ";
  const std::string when = std::to_string(Wall(1998, 4, 5, 17, 29, 7));
  Run({
      {"plain", head + "GET, /index.htm, -,\r\n", true,
       {{"format", "3"}, {"client", "192.168.1.1"}, {"user", ""}, {"date", "4/5/98, 17:29:07"}, {"time", when},
        {"serverName", "SERVER"}, {"server", "10.0.0.1"}, {"received", "300"}, {"sent", "4000"}, {"status", "200"},
        {"method", "GET"}, {"url", "/index.htm"}, {"protocol", "HTTP/1.0"}, {"bytes", "4000"}}},
      {"parameters", head + "GET, /index.htm, a=1,\n", true, {{"url", "/index.htm?a=1"}}},
      {"server dash is the computer name",
       "1.1.1.1, bob, 4/5/98, 17:29:07, W3SVC1, SERVER, -, 20, 300, 4000, 200, 0, GET, /x, -,\n", true,
       {{"server", "SERVER"}, {"user", "bob"}}},
      {"ftp sent", "1.1.1.1, -, 4/5/98, 17:29:07, MSFTPSVC1, S, 1.2.3.4, 1, 0, 9, 0, 0, [7]sent, /f.zip, -,\n", true,
       {{"method", "GET"}, {"protocol", "FTP"}, {"code", "0"}, {"bytes", "9"}}},
      {"ftp created is a put", "1.1.1.1, -, 4/5/98, 17:29:07, MSFTPSVC1, S, 1.2.3.4, 1, 12, 0, 0, 0, [7]created, /up, -,\n",
       true, {{"method", "PUT"}, {"protocol", "FTP"}, {"bytes", "12"}, {"methodCode", "1"}}},
      {"extended with cookie", head + "GET, /p, Mozilla/4.0, http://ref/%7E, \"c=1.2.3.4-5.6\", a=1,\n", true,
       {{"url", "/p?a=1"}, {"agent", "Mozilla/4.0"}, {"referrer", "http://ref/~"}, {"cookie", "c=1.2.3.4-5.6"}}},
      {"extended without parameters", head + "GET, /p, Mozilla/4.0, http://ref/, -,\n", true,
       {{"url", "/p"}, {"agent", "Mozilla/4.0"}, {"referrer", "http://ref/"}}},
      {"long parameters keep the URL limit", head + "GET, /" + std::string(250, 'u') + ", " + std::string(30, 'k') + ",\n",
       true, {{"url", "/" + std::string(250, 'u') + "?" + std::string(4, 'k') + "..."}}},
      {"other service", "1.1.1.1, -, 4/5/98, 17:29:07, SMTPSVC1, S, 1.2.3.4, 1, 0, 9, 250, 0, GET, /x, -,\n", false, {}},
      {"unknown operation", head + "DELETE, /x, -,\n", false, {}},
  });
}

TEST_F(LineParserTest, DateFirstFormat) {
  Run({
      {"plain", "Mon Jun 16 13:55:36 1997 www.server.com 192.168.1.1 GET /index%2Ehtml HTTP/1.0\n", true,
       {{"format", "4"}, {"date", "Jun 16 13:55:36 1997"}, {"server", "www.server.com"}, {"client", "192.168.1.1"},
        {"method", "GET"}, {"url", "/index.html"}, {"protocol", "HTTP/1.0"}, {"status", "200"}, {"sent", "0"},
        {"code", "200"}, {"time", std::to_string(Wall(1997, 6, 16, 13, 55, 36))}}},
      {"angle brackets end the URL", "Mon Jun 16 13:55:36 1997 s c GET /a<x> HTTP/1.0\n", true, {{"url", "/a"}}},
      {"line starting with a slash", "/on Jun 16 13:55:36 1997 s c GET /a HTTP/1.0\n", false, {}},
  });
}

TEST_F(LineParserTest, TabFormat) {
  const std::string line = "04/05/98 17:29:07\t1.2.3.4\t-\tx\t-\tGET\t/a%20b\thttp://ref\tx\tMozilla\t200\t123\t\n";
  Run({
      {"plain", line, true,
       {{"format", "5"}, {"date", "04/05/98 17:29:07"}, {"client", "1.2.3.4"}, {"server", ""}, {"user", ""},
        {"method", "GET"}, {"url", "/a b"}, {"referrer", "http://ref"}, {"agent", "Mozilla"}, {"status", "200"},
        {"sent", "123\t"}, {"bytes", "123"}, {"protocol", "HTTP/1.0"},
        {"time", std::to_string(Wall(1998, 4, 5, 17, 29, 7))}}},
      {"user given", "04/05/98 17:29:07\tc\tsrv\tx\tann\tGET\t/\tr\tx\ta\t200\t1\t\n", true,
       {{"user", "ann"}, {"server", "srv"}}},
  });
}

TEST_F(LineParserTest, KeyValueFormat) {
  const std::string full =
      "log {start 946684800}{host 1.2.3.4} {addr 10.0.0.1}{method GET}{url /k}{status 404}{bytes 77}"
      "{agent Moz}{referrer http://r/}\n";
  Run({
      {"all groups", full, true,
       {{"format", "6"}, {"time", "946684800"}, {"client", "1.2.3.4"}, {"server", "10.0.0.1"}, {"method", "GET"},
        {"url", "/k"}, {"status", "404"}, {"code", "404"}, {"bytes", "77"}, {"sent", "77"}, {"received", "77"},
        {"agent", "Moz"}, {"referrer", "http://r/"}, {"date", "946684800"}}},
      {"no bytes group", "log {start 946684800}{host h}{method GET}{url /k}{status 200}\n", false, {}},
      {"unknown method", "log {start 1}{host h}{method BREW}{url /k}{status 200}{bytes 1}\n", false, {}},
  });
}

TEST_F(LineParserTest, KeyValueHostTextsAndLocalTime) {
  readertest::TzScope tz("Europe/Berlin");
  readertest::TempFolder dir;
  const std::string path =
      dir.Write("k.log", "xlog {start 946684800}{host 1.2.3.4}{addr 10.0.0.1}{method GET}{url /}{status 200}{bytes 1}\n");
  const LogSourceHandle source = OpenLogSourceForReading(path.c_str());
  HitRecord hit = {};
  uint64_t next = 0;
  ASSERT_EQ(ReadNextHit(source, 0, &hit, &next, kDefaultReadWindow), kReadHit);
  EXPECT_EQ(hit.HitTime, 946684800u + 3600u);
  EXPECT_STREQ(hit.ClientHost, "1.2.3.4");
  EXPECT_STREQ(hit.Server, "10.0.0.1");
  EXPECT_STREQ(hit.Domain, "Unresolved");
  EXPECT_EQ(hit.Success, 1);
  FreeHitLine(&hit);
  CloseLogSource(source);
}

TEST_F(LineParserTest, ReferrerAndAgentLines) {
  Run({
      {"referrer arrow", "http://ref.com/page.html -> /target.html\n", true,
       {{"format", "7"}, {"url", "/target.html"}, {"referrer", "http://ref.com/page.html"}, {"client", "localhost"},
        {"date", "01/Jan/1997:00:00:00 +0000"}, {"method", "GET"}, {"protocol", "HTTP/1.0"}, {"status", "200"},
        {"code", "200"}, {"sent", "0"}, {"received", "0"}, {"agent", ""}, {"cookie", ""}}},
      {"bracketed referrer", "[10/Oct/2000:13:55:36] \"http://ref.com/\" more text\n", true,
       {{"format", "7"}, {"referrer", "http://ref.com/"}, {"url", "/"}}},
      {"agent", "Mozilla/4.0 (compatible; MSIE 4.0)\n", true,
       {{"format", "8"}, {"agent", "Mozilla/4.0 (compatible; MSIE 4.0)"}, {"referrer", "-"}, {"url", "/"}}},
      {"bracketed agent", "[10/Oct/2000:13:55:36] \"Mozilla/4.0 (compatible; MSIE 4.0)\" x y\n", true,
       {{"format", "8"}, {"agent", "Mozilla/4.0 (compatible; MSIE 4.0)"}}},
  });
}

TEST_F(LineParserTest, ReferrerHitsShareOneLocalWallClockTime) {
  readertest::TzScope tz("Asia/Tokyo");
  readertest::TempFolder dir;
  const std::string path = dir.Write("r.log", "http://a/ -> /x\nhttp://b/ -> /y\n");
  const int64_t before = UtcToLocalWallClock(static_cast<int64_t>(time(nullptr)));
  const auto hits = readertest::ReadFileHits(path);
  const int64_t after = UtcToLocalWallClock(static_cast<int64_t>(time(nullptr)));
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].time, hits[1].time);
  EXPECT_GE(static_cast<int64_t>(hits[0].time), before);
  EXPECT_LE(static_cast<int64_t>(hits[0].time), after);
}

TEST_F(LineParserTest, BracketedLinesAreConsumedThroughTheirLineEnd) {
  readertest::TempFolder dir;
  // Without the fix the rest of each bracketed line came back as a line of
  // its own; here the text after the quote would itself be an agent line.
  const std::string path =
      dir.Write("b.log", "[x] \"http://r/\" Mozilla/4.0 (compatible; MSIE 4.0)\n[y] \"Agent/1 (a; b)\" Other/2 (c; d)\n");
  const auto hits = readertest::ReadFileHits(path);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].referrer, "http://r/");
  EXPECT_EQ(hits[1].agent, "Agent/1 (a; b)");
}

// Dates of every format, with their zone rules, under several zones.
TEST(LineDates, EveryFormatUnderSeveralZones) {
  struct Zone {
    const char* tz;
    int offsetOct2000;  // seconds east of UTC on 2000-10-10
    int offsetApr1998;
  } zones[] = {{"UTC", 0, 0}, {"Europe/Berlin", 7200, 7200}, {"America/New_York", -4 * 3600, -4 * 3600},
               {"Asia/Kolkata", 19800, 19800}};
  for (const Zone& z : zones) {
    readertest::TzScope tz(z.tz);
    readertest::ResetEngineSettings();
    const int64_t oct = Wall(2000, 10, 10, 13, 55, 36);
    struct Row {
      std::string line;
      int64_t expected;
    } rows[] = {
        {"h - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.0\" 200 1\n", oct},
        {"h - - [10/Oct/2000:13:55:36 +0000] \"GET / HTTP/1.0\" 200 1\n", oct + z.offsetOct2000},
        {"h - - [10/Oct/2000:13:55:36] \"GET / HTTP/1.0\" 200 1\n", oct + z.offsetOct2000},
        {"h - - [10/Oct/00:13:55:36 +0100] \"GET / HTTP/1.0\" 200 1\n", oct},
        {"1.1.1.1, -, 4/5/98, 17:29:07, W3SVC1, S, -, 1, 1, 1, 200, 0, GET, /, -,\n", Wall(1998, 4, 5, 17, 29, 7)},
        {"Mon Oct 10 13:55:36 2000 s c GET / HTTP/1.0\n", oct},
        {"04/05/98 17:29:07\tc\t-\tx\t-\tGET\t/\tr\tx\ta\t200\t1\t\n", Wall(1998, 4, 5, 17, 29, 7) + z.offsetApr1998},
        {"#Fields: date time c-ip cs-method cs-uri-stem\n2000-10-10 13:55:36 1.1.1.1 GET /\n", oct + z.offsetOct2000},
        {"#Fields: date time c-ip cs-method cs-uri-stem\n2000-10-10 13:55 1.1.1.1 GET /\n",
         oct - 36 + z.offsetOct2000},
    };
    for (const Row& r : rows) {
      readertest::ResetEngineSettings();
      readertest::TempFolder dir;
      const auto hits = readertest::ReadFileHits(dir.Write("d.log", r.line));
      ASSERT_EQ(hits.size(), 1u) << z.tz << ": " << r.line;
      EXPECT_EQ(static_cast<int64_t>(hits[0].time), r.expected) << z.tz << ": " << r.line;
    }
  }
}

TEST(LineDates, HitTimeRangeEndsAndUnknownMethods) {
  readertest::TzScope tz("UTC");
  readertest::ResetEngineSettings();
  readertest::TempFolder dir;
  const auto hits = readertest::ReadFileHits(dir.Write(
      "r.log",
      "h - - [07/Feb/2106:06:28:14 -0700] \"GET /last HTTP/1.0\" 200 1\n"
      "h - - [07/Feb/2106:06:28:15 -0700] \"GET /past HTTP/1.0\" 200 1\n"
      "h - - [19/Jan/2038:03:14:08 -0700] \"GET /2038 HTTP/1.0\" 200 1\n"
      "h - - [01/Jan/1993:00:00:00 -0700] \"GET /first HTTP/1.0\" 200 1\n"
      "h - - [31/Dec/1992:23:59:59 -0700] \"GET /early HTTP/1.0\" 200 1\n"
      "h - - [01/Jan/1993:00:00:00 -0700] \"BREW /pot HTTP/1.0\" 418 1\n"
      "04/05/98 17:29:07\tc\t-\tx\t-\t\t/empty-method\tr\tx\ta\t200\t1\t\n"));
  ASSERT_EQ(hits.size(), 4u);
  EXPECT_EQ(hits[0].url, "/last");
  EXPECT_EQ(hits[0].time, 0xFFFFFFFEu);
  EXPECT_EQ(hits[1].url, "/2038");
  EXPECT_EQ(hits[1].time, 2147483648u);
  EXPECT_EQ(hits[2].url, "/first");
  EXPECT_EQ(hits[2].time, Wall(1993, 1, 1, 0, 0, 0));
  EXPECT_EQ(hits[3].url, "/empty-method");
  EXPECT_EQ(hits[3].method, kMethodOther);
  EXPECT_EQ(GetSkippedLineCount(), 1u);  // the unknown method
}

// The local wall clock of a UTC wall-clock time, by the C library.
int64_t LocalWallClockOf(uint32_t utcWall) {
  const time_t instant = static_cast<time_t>(utcWall);
  struct tm local = {};
  localtime_r(&instant, &local);
  return static_cast<int64_t>(utcWall) + local.tm_gmtoff;
}

// The same dates as comma lines (times as they stand) and as tab lines (UTC,
// moved to the local wall clock), under several zones.
TEST(LineDates, TwoDigitYearsAndDateLayouts) {
  struct Row {
    uint32_t layout;  // 0 = none
    uint32_t iDate;
    const char* date;  // date and time fields
    bool hit;
    uint32_t expected;
  } rows[] = {
      {0, 0, "4/5/97, 10:00:00", true, Wall(1997, 4, 5, 10, 0, 0)},
      {0, 0, "4/5/03, 10:00:00", true, Wall(2003, 4, 5, 10, 0, 0)},
      {0, 0, "4/5/1850, 10:00:00", false, 0},
      {0, 0, "4/5/2003, 10:00:00", true, Wall(2003, 4, 5, 10, 0, 0)},
      {0, 1, "4/5/03, 10:00:00", true, Wall(2003, 5, 4, 10, 0, 0)},
      {0, 2, "03/5/4, 10:00:00", true, Wall(2003, 5, 4, 10, 0, 0)},
      {8, 1, "05.04.1998, 10:00:00", true, Wall(1998, 5, 4, 10, 0, 0)},
      {9, 0, "05.04.1998, 10:00:00", true, Wall(1998, 4, 5, 10, 0, 0)},
      {10, 0, "1998-04-05, 10:00:00", true, Wall(1998, 4, 5, 10, 0, 0)},
      {34, 1, "05-04-98, 10:00:00", true, Wall(1998, 5, 4, 10, 0, 0)},
      {35, 0, "05/04/98, 10:00:00", true, Wall(1998, 4, 5, 10, 0, 0)},
      {36, 0, "98.04.05, 10:00:00", true, Wall(1998, 4, 5, 10, 0, 0)},
      {9, 0, "31.12.69, 23:59:59", true, Wall(2069, 12, 31, 23, 59, 59)},
      {9, 0, "01.01.70, 00:00:00", false, 0},  // 1970: before the first log year
      {0, 0, "13/5/98, 10:00:00", false, 0},
      {0, 0, "0/5/98, 10:00:00", false, 0},
  };
  for (const char* zone : {"UTC", "Europe/Berlin", "America/New_York", "Australia/Sydney", "Asia/Kolkata"}) {
    readertest::TzScope tz(zone);
    for (const Row& r : rows) {
      for (bool tab : {false, true}) {
        readertest::ResetEngineSettings();
        g_engine.logIDate = r.iDate;
        SetReaderDateLayout(r.layout);
        std::string date = r.date;
        std::string line = "1.1.1.1, -, " + date + ", W3SVC1, S, -, 1, 1, 1, 200, 0, GET, /, -,\n";
        if (tab) {
          date.erase(date.find(','), 1);
          line = date + "\tc\t-\tx\t-\tGET\t/\tr\tx\ta\t200\t1\t\n";
        }
        readertest::TempFolder dir;
        const auto hits = readertest::ReadFileHits(dir.Write("c.log", line));
        ASSERT_EQ(hits.size(), r.hit ? 1u : 0u) << zone << " " << line;
        if (r.hit) {
          const int64_t expected = tab ? LocalWallClockOf(r.expected) : r.expected;
          EXPECT_EQ(static_cast<int64_t>(hits[0].time), expected) << zone << " " << line;
        }
        // A tab line moves the layout to its tab form, whether its hit is kept or not.
        const bool moves = tab && r.layout >= 8 && r.layout <= 10;
        EXPECT_EQ(GetReaderDateLayout(), moves ? r.layout + 26 : r.layout) << zone << " " << line;
      }
    }
  }
}

TEST(LineDates, TabLineMovesTheLayoutToItsTabForm) {
  readertest::TzScope tz("UTC");
  const uint32_t layouts[][2] = {{8, 34}, {9, 35}, {10, 36}, {35, 35}, {0, 0}};
  for (const auto& l : layouts) {
    readertest::ResetEngineSettings();
    SetReaderDateLayout(l[0]);
    readertest::TempFolder dir;
    readertest::ReadFileHits(dir.Write("t.log", "98/04/05 17:29:07\tc\t-\tx\t-\tGET\t/\tr\tx\ta\t200\t1\t\n"));
    EXPECT_EQ(GetReaderDateLayout(), l[1]) << l[0];
  }
}

TEST(TemplateUrl, RewriteUnlessDisabled) {
  readertest::TzScope tz("UTC");
  struct Row {
    uint32_t disabled;
    const char* url;
    const char* expected;
  } rows[] = {
      {0, "/cf/DBML.EXE?template=/X/Page.dbm&id=5", "/X/Page.dbm?id=5"},
      {0, "/cf/dbml.exe?template=/x/page.dbm", "/cf/dbml.exe?template=/x/page.dbm"},
      {0, "/cf/dbml.exe?template=/x/page.htm&a=1", "/cf/dbml.exe?template=/x/page.htm&a=1"},
      {1, "/cf/dbml.exe?template=/x/page.dbm&id=5", "/cf/dbml.exe?template=/x/page.dbm&id=5"},
  };
  for (const Row& r : rows) {
    readertest::ResetEngineSettings();
    g_engine.disableColdFusion = r.disabled;
    bool ok = false;
    const Snapshot s = readertest::ParseText(
        std::string("h - - [10/Oct/2000:13:55:36 -0700] \"GET ") + r.url + " HTTP/1.0\" 200 1\n", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(s.url, r.expected);
  }
}

TEST(MethodCodes, MapFtpAndSetMethod) {
  struct Row {
    const char* method;
    int ftp;               // MapFTPMethod result
    const char* after;     // method text after MapFTPMethod
  } rows[] = {{"[3]sent", 1, "GET"}, {"created", 1, "PUT"}, {"get", 2, "GET"}, {"POST", 2, "POST"},
              {"head", 2, "HEAD"}, {"PUT", 0, "PUT"},       {"", 0, ""}};
  for (const Row& r : rows) {
    HitRecord hit = {};
    char* line = InitHitRecord(&hit, r.method, static_cast<uint32_t>(std::strlen(r.method)));
    hit.Method = line;
    if (r.method[0] == 0) hit.Method = HitEmptyText();
    EXPECT_EQ(MapFTPMethod(&hit), r.ftp) << r.method;
    EXPECT_STREQ(hit.Method, r.after);
    FreeHitLine(&hit);
  }
  struct Code {
    const char* method;
    bool ok;
    uint16_t code;
  } codes[] = {{"GET", true, 0}, {"gets", true, 0}, {"Put", true, 1}, {"POST", true, 2},
               {"HEAD", true, 3}, {"", true, 4},    {"OPTIONS", false, 0}};
  for (const Code& c : codes) {
    HitRecord hit = {};
    hit.Method = const_cast<char*>(c.method);
    EXPECT_EQ(SetMethodCode(&hit), c.ok) << c.method;
    if (c.ok) {
      EXPECT_EQ(hit.MethodCode, c.code) << c.method;
    }
  }
}

}  // namespace
}  // namespace vrn
