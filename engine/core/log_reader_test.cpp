// The line reader: line finding, format recognition, and whole logs read
// through the 16384-byte buffer compared with a plain line-by-line split.
#include "engine/core/log_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/core/log_reader_test_support.h"
#include "platform/base/files.h"

namespace vrn {
namespace {

using readertest::Snapshot;

class LogReaderTest : public testing::Test {
 protected:
  void SetUp() override { readertest::ResetEngineSettings(); }
  void TearDown() override { readertest::ResetEngineSettings(); }
  readertest::TzScope tz_{"Europe/Berlin"};
  readertest::TempFolder dir_;
};

TEST_F(LogReaderTest, FindNextLine) {
  struct Case {
    std::string data;
    int result;
    uint32_t start, length;
    uint64_t skipped;
  } cases[] = {
      {"abc\ndef", 2, 0, 4, 0},
      {"abc\r\ndef", 2, 0, 5, 0},
      {"abc\n\rdef", 2, 0, 5, 0},
      {"abc\n\ndef", 2, 0, 5, 0},
      {"abc\r\rdef", 2, 0, 5, 0},
      {"abc\r\n\ndef", 2, 0, 5, 0},
      {"abc\rdef", 2, 0, 4, 0},
      {"abc", 1, 0, 0, 0},
      {"", 1, 0, 0, 0},
      {std::string("a\0c\nnext\n", 9), 2, 4, 5, 1},
      {std::string("a\0c\r\nb\0\nlast", 12), 1, 8, 0, 2},
      {"caf\xc3\xa9 \xff\xfe\n", 2, 0, 9, 0},
  };
  for (const Case& c : cases) {
    ResetSkippedLineCount();
    uint32_t start = 99, length = 99;
    EXPECT_EQ(FindNextLine(c.data.data(), static_cast<uint32_t>(c.data.size()), &start, &length), c.result) << c.data;
    EXPECT_EQ(start, c.start) << c.data;
    if (c.result == 2) {
      EXPECT_EQ(length, c.length) << c.data;
    }
    EXPECT_EQ(GetSkippedLineCount(), c.skipped) << c.data;
  }
}

TEST_F(LogReaderTest, DetectLineFormat) {
  const std::string common = "1.2.3.4 - - [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.0\" 200 1";
  struct Case {
    const char* name;
    std::string line;
    uint16_t code;
  } cases[] = {
      {"format= line", "format=%h %l %u", 1},
      {"plain text", "hello world\n", 1},
      {"common", common + "\n", 2},
      {"combined with agent", common + " \"-\" \"Mozilla/4.0 (compatible; MSIE 5.0)\"\n", 2},
      {"15 commas inside a quoted agent", common + " \"-\" \"a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,p\"\n", 3},
      {"comma log", "1.1.1.1, -, 4/5/98, 17:29:07, W3SVC1, S, 1.2.3.4, 1, 0, 9, 200, 0, GET, /x, -,\n", 3},
      {"date first", "Mon Jun 16 13:55:36 1997 www.server.com 1.2.3.4 GET /index.html HTTP/1.0\n", 4},
      {"date first without line end", "Mon Jun 16 13:55:36 1997 www.server.com 1.2.3.4 GET /index.html HTTP/1.0", 4},
      {"ten spaces", "Mon Jun 16 13:55:36 1997 www.server.com 1.2.3.4 GET /index.html HTTP/1.0 x\n", 1},
      {"twelve tabs", "a\tb\tc\td\te\tf\tg\th\ti\tj\tk\tl\tm\n", 5},
      {"eleven tabs", "a\tb\tc\td\te\tf\tg\th\ti\tj\tk\tl\n", 1},
      {"key-value", "xlog {start 1}", 6},
      {"key-value with blanks", "my log \t {start 1}", 6},
      {"brace too early", "log{start 1}", 6},
      {"brace without log", "xxx {start 1}", 1},
      {"referrer arrow", "http://a.com/x -> /y\n", 7},
      {"agent", "Mozilla/4.0 (compatible; MSIE 4.0)\n", 8},
      {"quoted agent without brackets", "\"Mozilla/4.0 (compatible; MSIE 4.0)\"\n", 8},
      {"bracket with empty quote", "[x] \"\"y\n", 1},
      {"bracketed http referrer", "[x] \"http://a/\"\n", 9},
      {"bracketed ftp referrer", "[x] \"ftp://a/\"\n", 9},
      {"bracketed file referrer", "[x] \"file:///a\"\n", 9},
      {"bracketed mailto referrer", "[x] \"mailto:a@b\"\n", 9},
      {"bracketed agent", "[x] \"Mozilla/4.0\"\n", 10},
      // The quote of the next line must not make this a bracketed line.
      {"bracket without quote in the line", "[x] no quote here\n\"http://a/\"\n", 2},
      {"w3c version", "#Version: 1.0\n", 11},
      {"w3c date", "#Date: 2000-10-10 00:00:00\n", 11},
      {"w3c fields", "#Fields: date time\n", 11},
      {"other directive", "#Software: x\n", 1},
  };
  for (const Case& c : cases) {
    ForgetReaderSource();
    ResetLogReader();
    ForgetReaderSource();  // leaves W3C mode
    EXPECT_FALSE(InW3CMode());
    EXPECT_EQ(DetectLineFormat(c.line.data(), 0, static_cast<uint32_t>(c.line.size())), c.code) << c.name;
  }
  // Once a directive was seen, every line is W3C until the source is closed.
  ForgetReaderSource();
  const std::string fields = "#Fields: date time\n";
  EXPECT_EQ(DetectLineFormat(fields.data(), 0, static_cast<uint32_t>(fields.size())), 11);
  EXPECT_EQ(DetectLineFormat(common.data(), 0, static_cast<uint32_t>(common.size())), 11);
  ForgetReaderSource();
  EXPECT_EQ(DetectLineFormat(common.data(), 0, static_cast<uint32_t>(common.size())), 2);
}

// The recognition rules written out plainly, character by character.
uint16_t PlainDetect(const std::string& line) {
  const size_t n = line.size();
  auto starts = [&](const char* prefix) { return line.compare(0, std::strlen(prefix), prefix) == 0; };
  if (starts("format=")) return 1;
  if (starts("#Version:") || starts("#Date:") || starts("#Fields:")) return 11;
  if (n > 0 && line[0] == '[') {
    size_t q = 1;
    while (q < n && line[q] != '"' && line[q] != '\r' && line[q] != '\n') ++q;
    if (q < n && line[q] == '"') {
      const std::string rest = line.substr(q + 1);
      if (!rest.empty() && rest[0] == '"') return 1;
      for (const char* scheme : {"http:", "ftp:", "file:", "mailto:"}) {
        if (rest.compare(0, std::strlen(scheme), scheme) == 0) return 9;
      }
      return 10;
    }
  }
  uint16_t code = 1;
  int tabs = 0, spaces = 0, colons = 0, commas = 0, browser = 0;
  bool bracket = false;
  for (size_t i = 0; i < n; ++i) {
    const char c = line[i];
    if (c == '\r' || c == '\n') break;
    if (c == '\t') {
      if (tabs == 11) return 5;
      ++tabs;
    } else if (c == ' ') {
      ++spaces;
    } else if (c == ':') {
      ++colons;
    } else if (c == ',') {
      if (commas == 14) return 3;
      ++commas;
    } else if (c == '"') {
      code = 2;
    } else if (c == '[' || c == ']') {
      code = 2;
      bracket = true;
    } else if (c == '-' && i + 1 < n && line[i + 1] == '>') {
      code = 7;
    } else if (c == '{' && i >= 3) {
      size_t b = i;
      while (b > 0 && (line[b - 1] == ' ' || line[b - 1] == '\t')) --b;
      if (b >= 3 && std::tolower(line[b - 1]) == 'g' && std::tolower(line[b - 2]) == 'o' &&
          std::tolower(line[b - 3]) == 'l') {
        return 6;
      }
    } else if (code == 1 || code == 2) {
      if (c == '/') browser = 1;
      else if (c == '(' && browser == 1) browser = 2;
      else if (c == ';' && browser == 2) browser = 3;
      else if (c == ')' && browser == 3) browser = 4;
    }
  }
  if (spaces == 9 && colons == 2) return 4;
  if (browser == 4 && (code == 1 || (code == 2 && !bracket))) return 8;
  return code;
}

TEST_F(LogReaderTest, DetectionAgreesWithThePlainRulesOnRandomLines) {
  std::mt19937 rng(11);
  const std::string alphabet = "abcLOGlog \t:,\"[]->{/(;)xyz0123456789.";
  for (int round = 0; round < 20000; ++round) {
    const int length = std::uniform_int_distribution<int>(0, 120)(rng);
    std::string line;
    for (int i = 0; i < length; ++i) line += alphabet[rng() % alphabet.size()];
    if (rng() % 4 == 0) line += (rng() % 2) ? "\n" : "\r\nmore \"text\" after";
    ForgetReaderSource();
    const uint16_t expected = PlainDetect(line);
    ASSERT_EQ(DetectLineFormat(line.data(), 0, static_cast<uint32_t>(line.size())), expected) << line;
    // The reader's form may look past the end: what lies there must not count.
    std::string padded = line + "\t,,,,\",[]->{/(;)\n";
    padded.resize(line.size() + 16, '\t');
    ASSERT_EQ(DetectLineFormatPadded(padded.data(), 0, static_cast<uint32_t>(line.size())), expected) << line;
  }
}

// Lines of every layout but W3C, with lengths that vary so that lines
// straddle the buffer's end and the 1024-byte refill margin.
std::vector<std::string> GenerateLines(size_t minBytes, unsigned seed) {
  std::mt19937 rng(seed);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  std::vector<std::string> lines;
  size_t total = 0;
  int n = 0;
  while (total < minBytes) {
    std::string line;
    const std::string num = std::to_string(n);
    const int kind = pick(0, 9);
    const int longText = pick(0, 9) == 0 ? pick(900, 3000) : pick(0, 60);
    const std::string pad(static_cast<size_t>(longText), static_cast<char>('a' + n % 26));
    switch (kind) {
      case 0:
      case 1:
      case 2:
        line = "10.0.0." + std::to_string(n % 250) + " - user" + num + " [" + std::to_string(1 + n % 28) +
               "/Mar/2001:12:" + std::to_string(10 + n % 50) + ":07 +0100] \"GET /page" + num + ".html?q=" + pad.substr(0, 50) +
               " HTTP/1.1\" 200 " + std::to_string(n * 7) + " \"http://ref.example/" + num + "\" \"Mozilla/5.0 (X11; " + pad +
               ")\"";
        break;
      case 3:
        line = "192.168.1." + std::to_string(n % 200) + ", -, 3/" + std::to_string(1 + n % 28) +
               "/01, 10:00:00, W3SVC1, SRV, 10.0.0.1, 5, 100, " + std::to_string(n) + ", 200, 0, GET, /c" + num + pad.substr(0, 30) + ", -,";
        break;
      case 4:
        line = "Thu Mar " + std::to_string(1 + n % 28) + " 10:11:12 2001 www.s.com 1.2.3." + std::to_string(n % 250) +
               " GET /d" + num + pad.substr(0, 20) + " HTTP/1.0";
        break;
      case 5:
        line = "03/" + std::to_string(1 + n % 28) + "/01 08:09:10\t1.1.1." + std::to_string(n % 250) + "\t-\tx\tu" + num +
               "\tPOST\t/t" + num + "\thttp://r/\tx\tAgent " + pad + "\t404\t" + num + "\t";
        break;
      case 6:
        line = "log {start " + std::to_string(983000000 + n) + "}{host h" + num + "}{method GET}{url /k" + num +
               "}{status 200}{bytes " + num + "}{agent " + pad + "}";
        break;
      case 7:
        line = "http://from.example/" + num + pad + " -> /to" + num;
        break;
      case 8:
        line = "Mozilla/4.0 (compatible; MSIE 4.0; n" + num + pad + ")";
        break;
      default:
        line = n % 2 ? "junk line " + num : "";  // rejected lines, also empty ones
        break;
    }
    total += line.size() + 2;
    lines.push_back(line);
    ++n;
  }
  return lines;
}

// Each line read on its own: what the reader must produce in sequence.
std::vector<Snapshot> ReferenceHits(const std::vector<std::string>& lines) {
  std::vector<Snapshot> hits;
  readertest::TempFolder dir;
  for (const std::string& line : lines) {
    auto one = readertest::ReadFileHits(dir.Write("line.log", line + "\n"));
    hits.insert(hits.end(), one.begin(), one.end());
  }
  return hits;
}

TEST_F(LogReaderTest, WholeLogsMatchALineByLineSplitForEveryLineEnd) {
  const auto lines = GenerateLines(120000, 7);
  const auto reference = ReferenceHits(lines);
  ASSERT_GT(reference.size(), lines.size() / 2);
  const char* ends[] = {"\n", "\r\n", "\r", "\n\r"};
  for (const char* end : ends) {
    std::string data;
    for (const std::string& line : lines) {
      // An empty line would merge with the line end before it.
      if (line.empty() && std::string(end).size() == 2) continue;
      data += line;
      data += end;
    }
    for (bool lastWithoutEnd : {false, true}) {
      std::string bytes = data;
      if (lastWithoutEnd) bytes.resize(bytes.size() - std::strlen(end));
      ASSERT_GT(bytes.size(), 50000u);
      const auto hits = readertest::ReadFileHits(dir_.Write("all.log", bytes));
      ASSERT_EQ(hits.size(), reference.size()) << "line end " << int(end[0]) << " last-without-end " << lastWithoutEnd;
      for (size_t i = 0; i < hits.size(); ++i) {
        ASSERT_EQ(hits[i], reference[i]) << "hit " << i << " line end " << int(end[0]);
      }
    }
  }
}

TEST_F(LogReaderTest, LastLineWithoutLineEndIsRead) {
  const std::string line = "h - - [10/Oct/2000:13:55:36 -0700] \"GET /last HTTP/1.0\" 200 1";
  const auto hits = readertest::ReadFileHits(dir_.Write("l.log", line + "\n" + line));
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[1].url, "/last");
}

TEST_F(LogReaderTest, HighBytesAreTextAndZeroBytesSkipTheLine) {
  const std::string good = "h - - [10/Oct/2000:13:55:36 -0700] \"GET /a HTTP/1.0\" 200 1 \"-\" \"Agent \xc3\xa9\"\n";
  std::string zero = "h - - [10/Oct/2000:13:55:36 -0700] \"GET /z";
  zero.push_back('\0');
  zero += " HTTP/1.0\" 200 1\n";
  const auto hits = readertest::ReadFileHits(dir_.Write("z.log", good + zero + good + std::string("\0\0\0", 3)));
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].agent, "Agent \xc3\xa9");
  EXPECT_EQ(GetSkippedLineCount(), 2u);  // the line with a zero, and the zero tail
}

TEST_F(LogReaderTest, LineLongerThanTheBufferIsSkippedWhole) {
  const std::string good = "h - - [10/Oct/2000:13:55:36 -0700] \"GET /a HTTP/1.0\" 200 1\n";
  // A long line whose tail would itself look like a log line.
  const std::string huge = std::string(40000, 'x') + " " + good;
  const auto hits = readertest::ReadFileHits(dir_.Write("h.log", good + huge + good));
  EXPECT_EQ(hits.size(), 2u);
  EXPECT_EQ(GetSkippedLineCount(), 1u);
}

TEST_F(LogReaderTest, ALongLineCrossingTheWindowEndGivesNoHitFromItsTail) {
  // The window ends inside a line longer than the buffer, whose tail, read
  // on its own, would be a log line. For several places of the window end.
  const std::string good = "h - - [10/Oct/2000:13:55:36 -0700] \"GET /a HTTP/1.0\" 200 1\n";
  const std::string huge = std::string(40000, 'x') + " " + good;
  const std::string path = dir_.Write("h.log", good + huge + good);
  for (uint32_t window : {26000u, 30000u, 34000u, 38000u}) {
    SCOPED_TRACE(window);
    ForgetReaderSource();
    const auto hits = readertest::ReadFileHits(path, window);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].client, "h");
    EXPECT_EQ(hits[1].client, "h");
  }
}

TEST_F(LogReaderTest, AHalfWrittenLastLineIsLeftUntilItIsComplete) {
  // A log that is still being written: its last line so far is only part of
  // a line. The read ends before it, and once the line is complete the next
  // read from there gives it whole, once.
  const std::string first = "h - - [10/Oct/2000:13:55:36 -0700] \"GET /first HTTP/1.0\" 200 1\n";
  const std::string last = "h - - [10/Oct/2000:13:55:37 -0700] \"GET /last HTTP/1.0\" 200 1234\n";
  for (size_t cut : {size_t{5}, size_t{20}, size_t{40}}) {
    SCOPED_TRACE(cut);
    ForgetReaderSource();
    const std::string path = dir_.Write("g.log", first + last.substr(0, cut));
    const LogSourceHandle source = OpenLogSourceForReading(path.c_str());
    HitRecord hit = {};
    uint64_t next = 0;
    ASSERT_EQ(ReadNextHit(source, 0, &hit, &next, kDefaultReadWindow), kReadHit);
    EXPECT_STREQ(hit.URL, "/first");
    FreeHitLine(&hit);
    uint64_t pos = next;
    EXPECT_EQ(ReadNextHit(source, pos, &hit, &next, kDefaultReadWindow), kReadEnd);
    EXPECT_EQ(next, first.size());
    CloseLogSource(source);

    // The writer finishes the line.
    dir_.Write("g.log", first + last);
    const LogSourceHandle again = OpenLogSourceForReading(path.c_str());
    pos = next;
    ASSERT_EQ(ReadNextHit(again, pos, &hit, &next, kDefaultReadWindow), kReadHit);
    EXPECT_STREQ(hit.URL, "/last");
    EXPECT_EQ(hit.Bytes, 1234u);
    FreeHitLine(&hit);
    EXPECT_EQ(ReadNextHit(again, next, &hit, &next, kDefaultReadWindow), kReadEnd);
    EXPECT_EQ(next, (first + last).size());
    CloseLogSource(again);
  }
}

TEST_F(LogReaderTest, RejectedStretchLongerThanTheWindowIsNotTheEnd) {
  std::string data;
  while (data.size() < 250000) data += "this is not a log line at all\n";
  data += "h - - [10/Oct/2000:13:55:36 -0700] \"GET /after HTTP/1.0\" 200 1\n";
  data += "tail junk\n";
  const std::string path = dir_.Write("w.log", data);
  const LogSourceHandle source = OpenLogSourceForReading(path.c_str());
  HitRecord hit = {};
  uint64_t next = 0;
  EXPECT_EQ(ReadNextHit(source, 0, &hit, &next, kDefaultReadWindow), kReadNothing);
  EXPECT_GE(next, 100000u);
  EXPECT_LT(next, 100000u + 100u);
  uint64_t pos = next;
  uint16_t r = kReadNothing;
  while (r == kReadNothing) {
    r = ReadNextHit(source, pos, &hit, &next, kDefaultReadWindow);
    pos = next;
  }
  ASSERT_EQ(r, kReadHit);
  EXPECT_STREQ(hit.URL, "/after");
  FreeHitLine(&hit);
  EXPECT_EQ(ReadNextHit(source, pos, &hit, &next, kDefaultReadWindow), kReadEnd);
  EXPECT_EQ(next, data.size());
  CloseLogSource(source);
}

TEST_F(LogReaderTest, UnknownOperationCountsTheWindowAfresh) {
  std::string data;
  while (data.size() < 90000) data += "this is not a log line at all\n";
  data += "1.1.1.1, -, 4/5/98, 17:29:07, W3SVC1, S, -, 1, 1, 1, 200, 0, OPTIONS, /, -,\n";
  while (data.size() < 150000) data += "this is not a log line at all\n";
  data += "1.1.1.1, -, 4/5/98, 17:29:07, W3SVC1, S, -, 1, 1, 1, 200, 0, GET, /found, -,\n";
  const std::string path = dir_.Write("f.log", data);
  const LogSourceHandle source = OpenLogSourceForReading(path.c_str());
  HitRecord hit = {};
  uint64_t next = 0;
  ASSERT_EQ(ReadNextHit(source, 0, &hit, &next, kDefaultReadWindow), kReadHit);
  EXPECT_STREQ(hit.URL, "/found");
  EXPECT_EQ(next, data.size());
  EXPECT_EQ(GetSkippedLineCount(), 1u);  // the line with the unknown operation
  FreeHitLine(&hit);
  CloseLogSource(source);
}

TEST_F(LogReaderTest, ReadsAgainBehindTheBufferAndAcrossSources) {
  const auto lines = GenerateLines(40000, 3);
  std::string data;
  for (const auto& l : lines) data += l + "\n";
  const std::string a = dir_.Write("a.log", data);
  const std::string b = dir_.Write("b.log", "h - - [10/Oct/2000:13:55:36 -0700] \"GET /b HTTP/1.0\" 200 1\n");
  const LogSourceHandle sa = OpenLogSourceForReading(a.c_str());
  const LogSourceHandle sb = OpenLogSourceForReading(b.c_str());
  HitRecord first = {}, hit = {};
  uint64_t next = 0, pos = 0;
  ASSERT_EQ(ReadNextHit(sa, 0, &first, &next, kDefaultReadWindow), kReadHit);
  const Snapshot firstSnap = readertest::Snap(first);
  FreeHitLine(&first);
  // Far into the file, then the other source, then back to the start.
  for (int i = 0; i < 60; ++i) {
    if (ReadNextHit(sa, pos, &hit, &next, kDefaultReadWindow) == kReadHit) FreeHitLine(&hit);
    pos = next;
  }
  ASSERT_EQ(ReadNextHit(sb, 0, &hit, &next, kDefaultReadWindow), kReadHit);
  EXPECT_STREQ(hit.URL, "/b");
  FreeHitLine(&hit);
  ASSERT_EQ(ReadNextHit(sa, 0, &hit, &next, kDefaultReadWindow), kReadHit);
  EXPECT_EQ(readertest::Snap(hit), firstSnap);
  FreeHitLine(&hit);
  CloseLogSource(sb);
  CloseLogSource(sa);
}

// One open source read while its file changes under it: it is appended to
// and read on, or rewritten in place (as long as before or shorter) and read
// again from its head. The reader gives what the file holds at that time,
// however much of it the reader had read before.
TEST_F(LogReaderTest, AnOpenSourceGivesWhatItsFileHoldsAfterAChange) {
  auto log = [](const std::string& tag, size_t minBytes) {
    std::string data;
    for (int n = 0; data.size() < minBytes; ++n) {
      data += "10.0.0." + std::to_string(n % 250) + " - - [10/Oct/2000:13:55:36 -0700] \"GET /" + tag +
              std::to_string(n) + " HTTP/1.0\" 200 " + std::to_string(n) + "\n";
    }
    return data;
  };
  auto urls = [](LogSourceHandle source, uint64_t from, uint64_t* end) {
    std::vector<std::string> seen;
    uint64_t pos = from, next = from;
    HitRecord hit = {};
    for (uint16_t r = kReadNothing; r != kReadEnd; pos = next) {
      r = ReadNextHit(source, pos, &hit, &next, kDefaultReadWindow);
      if (r == kReadHit) {
        seen.push_back(hit.URL);
        FreeHitLine(&hit);
      }
    }
    *end = next;
    return seen;
  };
  auto write = [](const std::string& path, const std::string& bytes, const char* mode) {
    FILE* f = std::fopen(path.c_str(), mode);
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  };
  const std::string old = log("old", 100000);
  const std::string added = log("add", 60000);
  const std::string same = log("new", old.size()).substr(0, old.size() - 1) + "\n";
  const std::string shorter = log("new", 30000);
  struct Case {
    const char* name;
    bool append;                  // else rewritten and read again from 0
    const std::string* bytes;     // appended, or the new content
  } cases[] = {{"appended", true, &added}, {"rewritten as long", false, &same}, {"rewritten shorter", false, &shorter}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ForgetReaderSource();
    const std::string path = dir_.Write("c.log", old);
    const LogSourceHandle source = OpenLogSourceForReading(path.c_str());
    uint64_t end = 0;
    std::vector<std::string> seen = urls(source, 0, &end);
    ASSERT_EQ(end, old.size());
    ASSERT_EQ(seen.front(), "/old0");
    uint64_t from = end;
    if (c.append) {
      write(path, *c.bytes, "ab");
    } else {
      // Partly read: the reader stands in the middle of the old content.
      HitRecord hit = {};
      uint64_t pos = 0, next = 0;
      while (pos < 40000) {
        ASSERT_EQ(ReadNextHit(source, pos, &hit, &next, kDefaultReadWindow), kReadHit);
        FreeHitLine(&hit);
        pos = next;
      }
      write(path, *c.bytes, "r+b");
      if (c.bytes->size() < old.size()) {
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(c.bytes->size())), 0);
      }
      from = 0;
    }
    const std::vector<std::string> after = urls(source, from, &end);
    EXPECT_EQ(end, c.append ? old.size() + c.bytes->size() : c.bytes->size());
    const std::string tag = c.append ? "/add" : "/new";
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front(), tag + "0");
    for (const std::string& url : after) ASSERT_EQ(url.compare(0, 4, tag), 0) << url;
    CloseLogSource(source);
  }
}

TEST_F(LogReaderTest, EndsAndBadHandles) {
  HitRecord hit = {};
  uint64_t next = 7;
  static char stale[] = "freed already";
  hit.Line = stale;  // a line the caller has already handed on
  EXPECT_EQ(ReadNextHit(kNoLogSource, 5, &hit, &next, kDefaultReadWindow), kReadEnd);
  EXPECT_EQ(hit.Line, nullptr);
  EXPECT_EQ(next, 5u);
  const std::string empty = dir_.Write("e.log", "");
  const LogSourceHandle source = OpenLogSourceForReading(empty.c_str());
  ASSERT_NE(source, kNoLogSource);
  EXPECT_EQ(ReadNextHit(source, 0, &hit, &next, kDefaultReadWindow), kReadEnd);
  EXPECT_EQ(ReadNextHit(source, 1000, &hit, &next, kDefaultReadWindow), kReadEnd);
  CloseLogSource(source);

  EXPECT_EQ(GetLogSourceSize(kNoLogSource), 0u);
  EXPECT_EQ(SeekLogSource(kNoLogSource, 10, 0), 0u);
  char buf[4];
  uint32_t done = 9;
  EXPECT_EQ(ReadLogSource(kNoLogSource, buf, 4, &done), 0);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(CloseLogSource(kNoLogSource), 0);
  EXPECT_EQ(OpenLogSourceForReading(dir_.File("missing.log").c_str()), kNoLogSource);
}

TEST_F(LogReaderTest, SourceOperationsAndTheExtractedFileMarker) {
  const std::string path = dir_.Write("s.log", "0123456789");
  const std::string marked = std::string(kExtractedLogMarker) + path;
  const LogSourceHandle source = OpenLogSourceForReading(marked.c_str());
  ASSERT_NE(source, kNoLogSource);
  EXPECT_STREQ(LogSourceRecord(source)->name, path.c_str());
  EXPECT_EQ(GetLogSourceKind(source), kLogSourceFile);
  EXPECT_EQ(GetLogSourceSize(source), 10u);
  EXPECT_EQ(SeekLogSource(source, 4, 0), 4u);
  char buf[8] = {};
  uint32_t done = 0;
  EXPECT_NE(ReadLogSource(source, buf, 3, &done), 0);
  EXPECT_EQ(done, 3u);
  EXPECT_EQ(std::string(buf, 3), "456");
  EXPECT_EQ(GetLogSourcePosition(source), 7u);
  EXPECT_EQ(SeekLogSource(source, 2, 1), 9u);
  EXPECT_EQ(SeekLogSource(source, 0, 2), 10u);
  EXPECT_EQ(CloseLogSource(source), 1);
}

std::vector<std::string> g_messages;
int32_t RecordMessage(KvWindow, const char* caption, const char* text, uint32_t, uint32_t, uint32_t) {
  g_messages.push_back(std::string(caption != nullptr ? caption : "") + "|" + (text != nullptr ? text : ""));
  return 0;
}

TEST_F(LogReaderTest, ReadFromHandleReportsFailuresWithTheHandle) {
  const VrnDisplayErrorFn saved = glpfnDisplayReportError;
  glpfnDisplayReportError = RecordMessage;
  g_messages.clear();
  const std::string path = dir_.Write("h.bin", "abcdef");
  const KvFile file = kv::FileOpen(path.c_str(), kv::kFileRead, kv::FileDisposition::kOpenExisting);
  ASSERT_NE(file, KV_INVALID_FILE);
  char buf[8] = {};
  uint32_t done = 0;
  EXPECT_TRUE(ReadFromHandle(file, buf, 4, &done));
  EXPECT_EQ(done, 4u);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_TRUE(g_messages.empty());
  kv::FileClose(file);
  EXPECT_FALSE(ReadFromHandle(file, buf, 4, &done));  // closed: an invalid handle
  ASSERT_EQ(g_messages.size(), 1u);
  char expected[64];
  std::snprintf(expected, sizeof(expected), "Kelvaron|Error reading from file handle %.8lX.",
                static_cast<unsigned long>(static_cast<uint32_t>(file)));
  EXPECT_EQ(g_messages[0], expected);
  glpfnDisplayReportError = saved;
}

// A source kind registered from outside: rows fetched one per position.
struct RowData {
  std::vector<std::string> rows;
};
uint16_t FetchRow(LogSource* source, char* buffer, uint32_t capacity, uint64_t position, uint32_t* length,
                  uint64_t* next) {
  auto* data = static_cast<RowData*>(source->kindData);
  if (position >= data->rows.size()) return kReadEnd;
  const std::string& row = data->rows[position];
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>(row.size(), capacity - 1));
  std::memcpy(buffer, row.data(), n);
  buffer[n] = 0;
  *length = n;
  *next = position + 1;
  return kReadHit;
}
bool CloseRows(LogSource* source) {
  delete static_cast<RowData*>(source->kindData);
  return true;
}
const LogSourceOps kRowOps = {nullptr, nullptr, nullptr, CloseRows, FetchRow};
bool OpenRows(LogSource* source, const char*) {
  source->kind = kLogSourceOdbc;
  source->ops = &kRowOps;
  source->kindData = new RowData{{"h - - [10/Oct/2000:13:55:36 -0700] \"GET /r1 HTTP/1.0\" 200 1", "not a log line",
                                  "h - - [10/Oct/2000:13:55:36 -0700] \"GET /r3 HTTP/1.0\" 200 1"}};
  return true;
}

TEST_F(LogReaderTest, RegisteredRowSourceIsReadRowByRow) {
  ASSERT_TRUE(RegisterLogSourceOpener("rows:", OpenRows));
  const std::string location = std::string(kExtractedLogMarker) + "ROWS:table";
  const LogSourceHandle source = OpenLogSourceForReading(location.c_str());
  ASSERT_NE(source, kNoLogSource);
  EXPECT_EQ(GetLogSourceKind(source), kLogSourceOdbc);
  const auto hits = readertest::ReadAllHits(source);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].url, "/r1");
  EXPECT_EQ(hits[1].url, "/r3");
  EXPECT_EQ(CloseLogSource(source), 1);
  EXPECT_TRUE(RegisterLogSourceOpener("rows:", nullptr));
}

}  // namespace
}  // namespace vrn
