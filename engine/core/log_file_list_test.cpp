// Log locations, the log file list, record starts and the time-window search.
#include "engine/core/log_file_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "engine/core/log_reader_test_support.h"

namespace {

using readertest::TempFolder;

// ---- locations ---------------------------------------------------------------

TEST(ParseLogLocation, Table) {
  struct Case {
    const char* location;
    uint16_t kind;
    const char* path;
    const char* host;
    uint16_t port;  // 0: not checked (the out port keeps its preset)
  };
  const Case cases[] = {
      {"c:\\logs\\ex*.log", vrn::kLocationLocal, "c:\\logs\\ex*.log", "", 0},
      {"D:x.log", vrn::kLocationLocal, "D:x.log", "", 0},
      {"..\\logs\\a.log", vrn::kLocationLocal, "..\\logs\\a.log", "", 0},
      {"\\\\server\\share\\a.log", vrn::kLocationLocal, "\\\\server\\share\\a.log", "", 0},
      {"file:///c|/logs/a.log", vrn::kLocationLocal, "c:\\logs\\a.log", "", 0},
      {"FILE:///var/log/a.log", vrn::kLocationLocal, "/var/log/a.log", "", 0},
      {"ftp://host", vrn::kLocationFtp, "/", "host", 21},
      {"ftp://host:2121/logs/x.log", vrn::kLocationFtp, "/logs/x.log", "host", 2121},
      {"ftp://host:2121", vrn::kLocationFtp, "/", "host", 2121},
      {"http://host:8080/p/x.log", vrn::kLocationHttp, "/p/x.log", "host", 8080},
      {"HTTP://Host/p\\x.log", vrn::kLocationHttp, "/p\\x.log", "Host", 80},
      {"http://host:99999/x", vrn::kLocationHttp, "/x", "host", 80},
      {"odbc:DSN", vrn::kLocationOdbc, "odbc:DSN", "", 0},
      {"ODBC:DSN=logs;UID=a", vrn::kLocationOdbc, "ODBC:DSN=logs;UID=a", "", 0},
      // Relative local paths stay whole (expanded later against the profile's folder).
      {"logs\\x.log", vrn::kLocationLocal, "logs\\x.log", "", 0},
      {"ex*.log", vrn::kLocationLocal, "ex*.log", "", 0},
      {"logs/ex%yy%%mm%%dd%.log", vrn::kLocationLocal, "logs/ex%yy%%mm%%dd%.log", "", 0},
      {"/var/log/access.log", vrn::kLocationLocal, "/var/log/access.log", "", 0},
      {"", vrn::kLocationLocal, "", "", 0},
  };
  for (const Case& c : cases) {
    char path[300];
    char host[100];
    std::memset(host, 'x', sizeof(host));
    host[99] = 0;
    uint16_t port = 7;
    EXPECT_EQ(vrn::ParseLogLocation(path, sizeof(path), c.location, host, sizeof(host), &port), c.kind) << c.location;
    EXPECT_STREQ(path, c.path) << c.location;
    EXPECT_STREQ(host, c.host) << c.location;
    if (c.port != 0) {
      EXPECT_EQ(port, c.port) << c.location;
    }
  }
}

TEST(ParseLogLocation, OutputsAreBoundedAndOptional) {
  char path[8];
  char host[5];
  EXPECT_EQ(vrn::ParseLogLocation(path, sizeof(path), "http://averylonghostname:81/a/very/long/path", host,
                                  sizeof(host), nullptr),
            vrn::kLocationHttp);
  EXPECT_STREQ(path, "/a/very");
  EXPECT_STREQ(host, "aver");
  EXPECT_EQ(vrn::ParseLogLocation(path, sizeof(path), "ftp://h/x", nullptr, 0, nullptr), vrn::kLocationFtp);
  EXPECT_STREQ(path, "/x");
  EXPECT_EQ(vrn::ParseLogLocation(path, sizeof(path), nullptr, nullptr, 0, nullptr), vrn::kLocationLocal);
  EXPECT_STREQ(path, "");
}

TEST(ResolveLocalLogPath, RelativePathsGoUnderTheProfileFolder) {
  struct Case {
    const char* path;
    const char* expected;
  };
  const Case cases[] = {
      {"logs\\x.log", "/srv/kv/profiles/logs\\x.log"},
      {"ex*.log", "/srv/kv/profiles/ex*.log"},
      {".\\a.log", "/srv/kv/profiles/a.log"},
      {"..\\samples\\a.log", "/srv/kv/samples\\a.log"},
      {"/var/log/a.log", "/var/log/a.log"},
      {"\\\\server\\share\\a.log", "\\\\server\\share\\a.log"},
      {"c:\\logs\\a.log", "c:\\logs\\a.log"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(vrn::ResolveLocalLogPath(c.path, "/srv/kv/profiles/", 0), c.expected) << c.path;
  }
  EXPECT_EQ(vrn::ResolveLocalLogPath("x.log", "/srv/kv/profiles", 0), "/srv/kv/profiles/x.log");
  EXPECT_EQ(vrn::ResolveLocalLogPath("x.log", "", 0), "x.log");
}

TEST(SetLogFormatHint, OnlyDateLayoutCodes) {
  for (uint32_t code = 0; code < 40; ++code) {
    const bool layout = (code >= 8 && code <= 10) || (code >= 34 && code <= 36);
    EXPECT_EQ(vrn::SetLogFormatHint(code), layout ? 1 : 0) << code;
    EXPECT_EQ(vrn::GetReaderDateLayout(), layout ? code : 0u) << code;
  }
  vrn::SetLogFormatHint(0);
}

// ---- the list ----------------------------------------------------------------

struct Listed {
  std::vector<std::string> names;
  LogListSummary summary{};
  bool null = true;
};

Listed List(const std::string& location, DravelEntry* profile = nullptr, uint32_t extract = 0) {
  Listed out;
  uint16_t count = 99;
  vrn::LogNameEntry** list = vrn::BuildLogFileList(0, profile, location.c_str(), &count, &out.summary, extract);
  out.null = list == nullptr;
  for (uint16_t i = 0; list != nullptr && i < count; ++i) out.names.push_back(list[i]->name);
  if (list == nullptr) {
    EXPECT_EQ(count, 0);
  }
  vrn::FreeLogFileList(list, count);
  return out;
}

void SetWriteTime(const std::string& path, time_t t) {
  struct utimbuf times = {t, t};
  ASSERT_EQ(utime(path.c_str(), &times), 0);
}

TEST(BuildLogFileList, PatternsListsAndDuplicates) {
  TempFolder dir, other;
  const std::string d = dir.File("");
  dir.Write("ex1.log", std::string(1, 'a'));
  dir.Write("ex2.log", std::string(1024, 'b'));
  dir.Write("EX3.LOG", std::string(1025, 'c'));
  dir.Write("other.txt", "x");
  mkdir(dir.File("ex_dir.log").c_str(), 0755);
  const std::string alone = other.Write("alone.log", "z");
  SetWriteTime(d + "ex1.log", 1000000);
  SetWriteTime(d + "ex2.log", 3000000);
  SetWriteTime(d + "EX3.LOG", 2000000);
  SetWriteTime(d + "other.txt", 500000);

  struct Case {
    std::string location;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {d + "ex*.log", {d + "ex1.log", d + "ex2.log", d + "EX3.LOG"}},
      {d + "ex*.log|other.txt", {d + "ex1.log", d + "ex2.log", d + "EX3.LOG", d + "other.txt"}},
      {d + "ex1.log|EX1.LOG|ex*.LOG", {d + "ex1.log", d + "ex2.log", d + "EX3.LOG"}},
      {d + "ex1.log|" + alone, {d + "ex1.log", alone}},
      {d + "ex2.log|", {d + "ex2.log"}},
      {d + "nothing*.log", {}},
      {d + "nothing.log|other.txt", {d + "other.txt"}},
  };
  for (const Case& c : cases) {
    const Listed l = List(c.location);
    EXPECT_EQ(l.names, c.names) << c.location;
    EXPECT_EQ(l.null, c.names.empty()) << c.location;
  }

  const Listed all = List(d + "ex*.log|other.txt");
  EXPECT_EQ(uint16_t{all.summary.FileCount}, 4);
  EXPECT_EQ(uint32_t{all.summary.TotalSizeKB}, 1u + 1u + 2u + 1u);
  EXPECT_EQ(uint32_t{all.summary.EarliestWriteTime}, 500000u);
  EXPECT_EQ(uint32_t{all.summary.LatestWriteTime}, 3000000u);
  EXPECT_EQ(uint16_t{all.summary.ArchiveKind}, vrn::kArchivePlain);
}

TEST(BuildLogFileList, NamesThatCannotBeHeldWholeAreLeftOut) {
  TempFolder dir;
  const std::string longName(200, 'n');
  const std::string sub = dir.File(std::string(150, 's'));
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  const std::string subsub = sub + "/" + std::string(150, 't');
  ASSERT_EQ(mkdir(subsub.c_str(), 0755), 0);
  const std::string file = subsub + "/" + longName + ".log";
  FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  ASSERT_GE(file.size(), vrn::kLogNameWidth);
  EXPECT_TRUE(List(subsub + "/*.log").null);
}

int g_prepared = 0;
std::string g_preparedWith;
int TestPreparer(const char* connection) {
  ++g_prepared;
  g_preparedWith = connection;
  return 1;
}

// A stand-in row source of five rows.
uint64_t RowSize(vrn::LogSource*) { return 500; }
uint64_t RowSeek(vrn::LogSource*, uint64_t offset, uint32_t) { return offset; }
uint16_t RowFetch(vrn::LogSource*, char*, uint32_t, uint64_t, uint32_t*, uint64_t*) { return 1; }
const vrn::LogSourceOps kRowOps = {RowSize, RowSeek, nullptr, nullptr, RowFetch};
bool RowOpen(vrn::LogSource* s, const char*) {
  s->kind = vrn::kLogSourceOdbc;
  s->ops = &kRowOps;
  return true;
}

TEST(BuildLogFileList, OdbcLocationsInAnyCase) {
  DravelEntry profile{};
  std::snprintf(profile.ODBCDataSource, sizeof(profile.ODBCDataSource), "DSN=weblog");
  vrn::RegisterOdbcLogPreparer(nullptr);
  Listed l = List("ODBC:DSN=weblog", &profile, 1);
  EXPECT_TRUE(l.null) << "no ODBC source is registered: nothing is listed";
  EXPECT_EQ(profile.LogKindFlags & vrn::kLogKindOdbc, vrn::kLogKindOdbc);

  vrn::RegisterOdbcLogPreparer(TestPreparer);
  g_prepared = 0;
  l = List("Odbc:DSN=weblog", &profile, 0);
  EXPECT_TRUE(l.null) << "without extraction the source is not prepared";
  EXPECT_EQ(g_prepared, 0);
  l = List("odbc:DSN=weblog", &profile, 1);
  ASSERT_EQ(l.names.size(), 1u);
  EXPECT_EQ(l.names[0], "odbc:DSN=weblog");
  EXPECT_EQ(g_preparedWith, "DSN=weblog");
  EXPECT_EQ(uint16_t{l.summary.ArchiveKind}, vrn::kArchiveOdbc);
  vrn::RegisterOdbcLogPreparer(nullptr);

  // With one registered, the extracted-file marker in front changes nothing.
  ASSERT_TRUE(vrn::RegisterLogSourceOpener("odbc:", RowOpen));
  const std::string markedOdbc = std::string(vrn::kExtractedLogMarker) + "odbc:DSN=weblog";
  const vrn::LogSourceHandle rows = vrn::OpenLogSourceForReading(markedOdbc.c_str());
  ASSERT_NE(rows, vrn::kNoLogSource);
  EXPECT_EQ(vrn::GetLogSourceKind(rows), vrn::kLogSourceOdbc);
  EXPECT_STREQ(vrn::LogSourceRecord(rows)->name, "odbc:DSN=weblog");
  // Record starts of a row source are row arithmetic: 100 positions a row.
  const uint64_t offsets[][2] = {{0, 0}, {99, 0}, {100, 0}, {250, 100}, {500, 400}, {10000, 400}};
  for (const auto& o : offsets) {
    uint64_t start = 1;
    EXPECT_TRUE(vrn::FindRecordStart(rows, o[0], &start));
    EXPECT_EQ(start, o[1]) << o[0];
  }
  vrn::CloseLogSource(rows);
  vrn::RegisterLogSourceOpener("odbc:", nullptr);

  // Without a registered source an "odbc:" location does not open as a file.
  EXPECT_EQ(vrn::OpenLogSourceForReading("odbc:DSN=weblog"), vrn::kNoLogSource);
  const std::string marked = std::string(vrn::kExtractedLogMarker) + "ODBC:DSN=weblog";
  EXPECT_EQ(vrn::OpenLogSourceForReading(marked.c_str()), vrn::kNoLogSource);
}

// ---- record starts -------------------------------------------------------------

TEST(FindRecordStart, FileCases) {
  TempFolder dir;
  struct Case {
    const char* name;
    std::string text;
    uint64_t offset;
    uint64_t start;
  };
  const std::string a = "first line\r\n";
  const std::string b = "second line\r\n";
  const std::string longLine(9000, 'q');
  const Case cases[] = {
      {"offset 0", a + b, 0, 0},
      {"end of file: the last line", a + b, (a + b).size(), a.size()},
      {"a line start: the line before it", a + b, a.size(), 0},
      {"inside a line: its start", a + b, a.size() + 3, a.size()},
      {"one byte into a line", a + b, a.size() + 1, a.size()},
      {"LF ends", "x1\ny2\nz3\n", 9, 6},
      {"blank tail", a + b + "\r\n\r\n   \n\n", (a + b).size() + 9, a.size()},
      {"zero tail over several chunks", a + b + std::string(10000, '\0'), (a + b).size() + 10000, a.size()},
      {"only blanks before the offset", std::string(5000, ' ') + "\n" + a, 5001, 0},
      {"a line longer than a chunk", a + longLine + "\n", a.size() + longLine.size() + 1, a.size()},
  };
  for (const Case& c : cases) {
    const std::string path = dir.Write("r.log", c.text);
    const vrn::LogSourceHandle source = vrn::OpenLogSourceForReading(path.c_str());
    ASSERT_NE(source, vrn::kNoLogSource);
    uint64_t start = 12345;
    EXPECT_TRUE(vrn::FindRecordStart(source, c.offset, &start)) << c.name;
    EXPECT_EQ(start, c.start) << c.name;
    vrn::CloseLogSource(source);
  }
  // A source that cannot be read is a failure, told apart from offset 0.
  uint64_t start = 5;
  EXPECT_FALSE(vrn::FindRecordStart(vrn::kNoLogSource, 100, &start));
  EXPECT_EQ(start, 0u);
}

// ---- a generated log of any size ------------------------------------------------
//
// Record i of a generated log: a fixed-width common-format line stamped
// kGenStart + i / 2 (two records a second). Bytes are made on demand, so a log
// of several GB costs nothing on disk; the read counter tells how much of it
// was read.

constexpr uint32_t kGenStart = 1600000000;  // 2020-09-13 12:26:40 UTC
uint64_t g_genSize = 0;
uint64_t g_genBytesRead = 0;
uint64_t g_genHighestRead = 0;

std::string GenLine(uint64_t i) {
  const time_t t = static_cast<time_t>(kGenStart + i / 2);
  struct tm tm;
  gmtime_r(&t, &tm);
  char date[40];
  std::strftime(date, sizeof(date), "%d/%b/%Y:%H:%M:%S", &tm);
  char line[128];
  std::snprintf(line, sizeof(line), "10.0.0.1 - - [%s +0000] \"GET /p%012llu HTTP/1.0\" 200 1234\n", date,
                static_cast<unsigned long long>(i));
  return line;
}

const uint64_t kGenLine = GenLine(0).size();

struct GenState {
  uint64_t position = 0;
};

uint64_t GenSize(vrn::LogSource*) { return g_genSize; }
uint64_t GenSeek(vrn::LogSource* s, uint64_t offset, uint32_t origin) {
  auto* st = static_cast<GenState*>(s->kindData);
  if (origin == 0) st->position = offset;
  if (origin == 1) st->position += offset;
  if (origin == 2) st->position = g_genSize + offset;
  return st->position;
}
bool GenRead(vrn::LogSource* s, void* buffer, uint32_t count, uint32_t* done) {
  auto* st = static_cast<GenState*>(s->kindData);
  auto* out = static_cast<char*>(buffer);
  uint32_t n = 0;
  while (n < count && st->position < g_genSize) {
    const uint64_t line = st->position / kGenLine;
    const uint64_t within = st->position % kGenLine;
    const std::string text = GenLine(line);
    const uint64_t take = std::min<uint64_t>({kGenLine - within, count - n, g_genSize - st->position});
    std::memcpy(out + n, text.data() + within, take);
    n += static_cast<uint32_t>(take);
    st->position += take;
  }
  if (n > 0) g_genHighestRead = std::max(g_genHighestRead, st->position);
  g_genBytesRead += n;
  *done = n;
  return true;
}
bool GenClose(vrn::LogSource* s) {
  delete static_cast<GenState*>(s->kindData);
  s->kindData = nullptr;
  return true;
}
const vrn::LogSourceOps kGenOps = {GenSize, GenSeek, GenRead, GenClose, nullptr};
bool GenOpen(vrn::LogSource* s, const char*) {
  s->kindData = new GenState();
  s->ops = &kGenOps;
  return true;
}

class GeneratedLog : public testing::Test {
 protected:
  void SetUp() override {
    readertest::ResetEngineSettings();
    ASSERT_TRUE(vrn::RegisterLogSourceOpener("kvgen:", GenOpen));
  }
  void TearDown() override {
    vrn::RegisterLogSourceOpener("kvgen:", nullptr);
    vrn::ForgetReaderSource();
  }
  readertest::TzScope tz_{"UTC0"};
};

TEST_F(GeneratedLog, RecordStartsNeverReadAtOrPastTheOffset) {
  g_genSize = 1000 * kGenLine;
  const vrn::LogSourceHandle source = vrn::OpenLogSourceForReading("kvgen:small");
  ASSERT_NE(source, vrn::kNoLogSource);
  for (uint64_t offset : {uint64_t{1}, kGenLine - 1, kGenLine, kGenLine + 1, 3 * kGenLine + 17, uint64_t{4095},
                          uint64_t{4096}, uint64_t{4097}, 999 * kGenLine}) {
    g_genHighestRead = 0;
    uint64_t start = 0;
    ASSERT_TRUE(vrn::FindRecordStart(source, offset, &start)) << offset;
    EXPECT_LE(g_genHighestRead, offset) << offset;
    EXPECT_EQ(start % kGenLine, 0u) << offset;
    EXPECT_LT(start, offset) << offset;
    EXPECT_GE(start + 2 * kGenLine, offset) << offset;
  }
  vrn::CloseLogSource(source);
}

TEST_F(GeneratedLog, SeveralGigabytesAreWindowedWithoutReadingThem) {
  g_genSize = (6ull << 30) / kGenLine * kGenLine;  // about 6 GB of whole lines
  const uint64_t records = g_genSize / kGenLine;
  const vrn::LogSourceHandle source = vrn::OpenLogSourceForReading("kvgen:big");
  ASSERT_NE(source, vrn::kNoLogSource);
  ASSERT_EQ(vrn::GetLogSourceSize(source), g_genSize);

  // Check the reader's time of a generated record first.
  {
    vrn::HitRecord hit;
    std::memset(&hit, 0, sizeof(hit));
    uint64_t next = 0;
    ASSERT_EQ(vrn::ReadNextHit(source, 3 * kGenLine, &hit, &next, vrn::kDefaultReadWindow), vrn::kReadHit);
    EXPECT_EQ(hit.HitTime, kGenStart + 1);
    EXPECT_EQ(next, 4 * kGenLine);
    vrn::FreeHitLine(&hit);
  }

  struct Window {
    uint64_t firstSecond, lastSecond;  // seconds after kGenStart
  };
  const uint64_t seconds = records / 2;
  const Window windows[] = {
      {seconds * 8 / 10, seconds * 8 / 10 + 3600},  // an hour, past 4 GB
      {seconds / 3, seconds * 9 / 10},              // across 4 GB
      {seconds - 10, seconds + 100},                // the end of the log
      {0, 5},                                        // the start
  };
  for (const Window& w : windows) {
    g_genBytesRead = 0;
    uint64_t from = 0, to = 0;
    uint32_t first = 0, last = 0;
    const uint32_t s = static_cast<uint32_t>(kGenStart + w.firstSecond);
    const uint32_t e = static_cast<uint32_t>(kGenStart + w.lastSecond);
    ASSERT_EQ(vrn::FindLogTimeRange(source, nullptr, s, e, &from, &to, &first, &last), 0);
    const uint64_t lastRecord = std::min(2 * w.lastSecond + 1, records - 1);
    EXPECT_EQ(from, 2 * w.firstSecond * kGenLine);
    if (w.firstSecond > seconds * 7 / 10) {
      EXPECT_GT(from, 4ull << 30) << "offsets past 4 GB";
    }
    if (lastRecord == records - 1) {
      EXPECT_TRUE(to == lastRecord * kGenLine || to == g_genSize) << to;
    } else {
      EXPECT_EQ(to, lastRecord * kGenLine);
    }
    EXPECT_EQ(first, s);
    EXPECT_EQ(last, kGenStart + lastRecord / 2);
    EXPECT_LT(g_genBytesRead, 4u << 20) << "bytes read for a window of " << w.firstSecond;
  }
  vrn::CloseLogSource(source);
}

// ---- the time window against a brute-force scan ------------------------------

struct LogShape {
  const char* name;
  int records;
  const char* lineEnd;
  const char* tail;  // after the last record
  uint32_t base;     // time of the first record
  bool cutLastLineEnd = false;  // the last record has no line end (a log being written)
};

uint32_t ShapeTime(const LogShape& shape, int i) {
  // Pairs of records in one second, then a third one second later, then a gap.
  return shape.base + 7 * static_cast<uint32_t>(i / 3) + (i % 3 == 2 ? 1 : 0);
}

std::string MakeLog(const LogShape& shape) {
  std::string text;
  for (int i = 0; i < shape.records; ++i) {
    const time_t t = ShapeTime(shape, i);
    struct tm tm;
    gmtime_r(&t, &tm);
    char date[40];
    std::strftime(date, sizeof(date), "%d/%b/%Y:%H:%M:%S", &tm);
    char line[160];
    std::snprintf(line, sizeof(line), "10.1.%d.%d - - [%s +0000] \"GET /page%d.html HTTP/1.0\" 200 %d%s", i % 250,
                  i % 7, date, i, 100 + i, shape.lineEnd);
    text += line;
  }
  if (shape.cutLastLineEnd) text.resize(text.size() - std::strlen(shape.lineEnd));
  return text + shape.tail;
}

// What a report run reads of a range: from the start offset while the read
// position is not beyond the end offset.
std::vector<uint32_t> ReadRange(vrn::LogSourceHandle source, uint64_t from, uint64_t to) {
  std::vector<uint32_t> times;
  uint64_t pos = from;
  while (pos <= to) {
    vrn::HitRecord hit;
    std::memset(&hit, 0, sizeof(hit));
    uint64_t next = pos;
    const uint16_t r = vrn::ReadNextHit(source, pos, &hit, &next, vrn::kDefaultReadWindow);
    if (r == vrn::kReadHit) {
      times.push_back(hit.HitTime);
      vrn::FreeHitLine(&hit);
    }
    if (r == vrn::kReadEnd || next <= pos) break;
    pos = next;
  }
  return times;
}

class TimeRange : public testing::Test {
 protected:
  void SetUp() override { readertest::ResetEngineSettings(); }
  void TearDown() override { vrn::ForgetReaderSource(); }

  // Compares FindLogTimeRange with the records of the window for every pair
  // of candidate window ends: before and after every record, every sampled
  // record's second and its neighbours, the first and the last record's.
  void CheckAgainstBruteForce(const std::string& path, int sampleStep) {
    const std::vector<readertest::Snapshot> all = readertest::ReadFileHits(path);
    ASSERT_FALSE(all.empty()) << path;
    std::vector<uint32_t> candidates = {all.front().time - 100, all.back().time + 1000};
    for (size_t i = 0; i < all.size(); i += static_cast<size_t>(sampleStep)) {
      for (int d = -1; d <= 1; ++d) candidates.push_back(all[i].time + d);
    }
    for (int d = -1; d <= 1; ++d) candidates.push_back(all.back().time + d);
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());

    const vrn::LogSourceHandle source = vrn::OpenLogSourceForReading(path.c_str());
    ASSERT_NE(source, vrn::kNoLogSource);
    for (uint32_t s : candidates) {
      for (uint32_t e : candidates) {
        if (e < s) continue;
        std::vector<uint32_t> expected;
        for (const auto& h : all) {
          if (h.time >= s && h.time <= e) expected.push_back(h.time);
        }
        uint64_t from = 0, to = 0;
        uint32_t first = 0, last = 0;
        const int16_t r = vrn::FindLogTimeRange(source, nullptr, s, e, &from, &to, &first, &last);
        if (expected.empty()) {
          EXPECT_EQ(r, -1) << path << " window " << s << ".." << e;
          continue;
        }
        ASSERT_EQ(r, 0) << path << " window " << s << ".." << e;
        EXPECT_EQ(ReadRange(source, from, to), expected) << path << " window " << s << ".." << e;
        EXPECT_EQ(first, expected.front()) << path << " window " << s << ".." << e;
        EXPECT_EQ(last, expected.back()) << path << " window " << s << ".." << e;
      }
    }
    vrn::CloseLogSource(source);
  }

  readertest::TzScope tz_{"UTC0"};
  TempFolder dir_;
};

TEST_F(TimeRange, AgreesWithABruteForceScan) {
  // Logs of consecutive periods; small ones (under 1 KB: linear only) and
  // larger ones (bisection); CR LF and LF; blank and space tails; a last
  // record without its line end. The records carry a UTC offset, so their
  // wall-clock times move with the time zone.
  const uint32_t day = 1600000000;
  const LogShape shapes[] = {
      {"tiny-crlf.log", 9, "\r\n", "", day},
      {"tiny-lf-blank-tail.log", 10, "\n", "\n\n  \n", day + 100},
      {"tiny-no-final-line-end.log", 8, "\r\n", "", day + 200, true},
      {"mid-crlf-blank-tail.log", 120, "\r\n", "\r\n\r\n", day + 1000},
      {"large-lf.log", 4000, "\n", "", day + 5000},
      {"large-no-final-line-end.log", 1500, "\n", "", day + 40000, true},
      {"one-record.log", 1, "\n", "\n", day + 90000},
  };
  for (const char* zone : {"UTC0", "EST5EDT", "JST-9"}) {
    readertest::TzScope tz(zone);
    SCOPED_TRACE(zone);
    for (const LogShape& shape : shapes) {
      const std::string text = MakeLog(shape);
      if (shape.records <= 10) {
        EXPECT_LT(text.size(), 1024u) << shape.name;
      }
      // The largest (slowest) log under one zone; the others cover the zones.
      if (shape.records > 2000 && std::strcmp(zone, "UTC0") != 0) continue;
      const std::string path = dir_.Write(shape.name, text);
      ASSERT_EQ(readertest::ReadFileHits(path).size(), static_cast<size_t>(shape.records)) << shape.name;
      CheckAgainstBruteForce(path, shape.records > 200 ? 397 : shape.records > 20 ? 11 : 1);
    }
  }
}

TEST_F(TimeRange, WindowEndIsInclusiveOfItsLastSecondOnly) {
  // Records at t, t + 1, t + 2 (one each): a window ending at t + 1 takes the
  // first two and not the third, in a small and in a large log.
  for (int padding : {0, 3000}) {
    std::string text;
    const uint32_t t0 = 1600000000;
    auto line = [](uint32_t t, int i) {
      const time_t tt = t;
      struct tm tm;
      gmtime_r(&tt, &tm);
      char date[40];
      std::strftime(date, sizeof(date), "%d/%b/%Y:%H:%M:%S", &tm);
      char buf[160];
      std::snprintf(buf, sizeof(buf), "10.0.0.%d - - [%s +0000] \"GET /x%d HTTP/1.0\" 200 1\n", i % 200, date, i);
      return std::string(buf);
    };
    int n = 0;
    for (int i = 0; i < padding; ++i) text += line(t0 - 10000 + static_cast<uint32_t>(i), n++);
    const size_t atT = text.size();
    text += line(t0, n++);
    text += line(t0 + 1, n++);
    const size_t atT2 = text.size();
    text += line(t0 + 2, n++);
    for (int i = 0; i < padding; ++i) text += line(t0 + 10 + static_cast<uint32_t>(i), n++);
    const std::string path = dir_.Write("edge.log", text);
    const vrn::LogSourceHandle source = vrn::OpenLogSourceForReading(path.c_str());
    ASSERT_NE(source, vrn::kNoLogSource);
    uint64_t from = 0, to = 0;
    uint32_t first = 0, last = 0;
    ASSERT_EQ(vrn::FindLogTimeRange(source, nullptr, t0, t0 + 1, &from, &to, &first, &last), 0);
    EXPECT_EQ(from, atT);
    EXPECT_LT(to, atT2) << "the record one second past the end is left out";
    EXPECT_EQ(ReadRange(source, from, to), (std::vector<uint32_t>{t0, t0 + 1}));
    EXPECT_EQ(last, t0 + 1);

    // A window entirely between two records, and one after every record.
    EXPECT_EQ(vrn::FindLogTimeRange(source, nullptr, t0 + 3, t0 + 9, &from, &to, nullptr, nullptr), -1);
    EXPECT_EQ(vrn::FindLogTimeRange(source, nullptr, t0 + 100000, t0 + 100001, &from, &to, nullptr, nullptr), -1);
    // A window before every record leaves the file out.
    EXPECT_EQ(vrn::FindLogTimeRange(source, nullptr, t0 - 50000, t0 - 40000, &from, &to, nullptr, nullptr), -1);
    vrn::CloseLogSource(source);
  }
}

TEST_F(TimeRange, LogsWithoutRecords) {
  for (const std::string& text : {std::string(), std::string("\r\n\r\n"), std::string("not a log line\n")}) {
    const std::string path = dir_.Write("empty.log", text);
    const vrn::LogSourceHandle source = vrn::OpenLogSourceForReading(path.c_str());
    ASSERT_NE(source, vrn::kNoLogSource);
    uint64_t from = 0, to = 0;
    EXPECT_EQ(vrn::FindLogTimeRange(source, nullptr, 0, UINT32_MAX, &from, &to, nullptr, nullptr), -1);
    vrn::CloseLogSource(source);
  }
}

// ---- profile log times --------------------------------------------------------------

TEST_F(TimeRange, ProfileLogTimesFromOldestAndNewestLog) {
  const LogShape older{"a.log", 50, "\r\n", "\r\n", 1600000000};
  const LogShape newer{"b.log", 60, "\n", "", 1600100000};
  const std::string a = dir_.Write(older.name, MakeLog(older));
  const std::string b = dir_.Write(newer.name, MakeLog(newer));
  SetWriteTime(a, 1600000500);
  SetWriteTime(b, 1600100500);
  const std::string location = dir_.File("*.log");

  DravelEntry profile{};
  ASSERT_EQ(vrn::UpdateProfileLogTimes(&profile, location.c_str()), 1);
  EXPECT_EQ(profile.FirstLogTime, ShapeTime(older, 0));
  EXPECT_EQ(profile.LastLogTime, ShapeTime(newer, newer.records - 1));
  EXPECT_EQ(profile.LogSizeKB, (MakeLog(older).size() + 1023) / 1024 + (MakeLog(newer).size() + 1023) / 1024);

  vrn::LogNameEntry* list[2] = {};
  uint16_t count = 0;
  LogListSummary summary;
  vrn::LogNameEntry** built = vrn::BuildLogFileList(0, nullptr, location.c_str(), &count, &summary, 0);
  ASSERT_EQ(count, 2);
  list[0] = built[0];
  list[1] = built[1];
  uint32_t first = 0, last = 0, kb = 0, bad = 9;
  EXPECT_EQ(vrn::ScanLogTimes(nullptr, list, 2, true, &first, &last, &kb, &bad), 1);
  EXPECT_EQ(bad, 0u);
  EXPECT_EQ(first, ShapeTime(older, 0));
  EXPECT_EQ(last, ShapeTime(newer, newer.records - 1));
  EXPECT_EQ(kb, profile.LogSizeKB);
  vrn::FreeLogFileList(built, count);

  // A log without records is bad; with the stop flag it ends the scan.
  dir_.Write("c.log", "garbage\n");
  built = vrn::BuildLogFileList(0, nullptr, dir_.File("*.log").c_str(), &count, &summary, 0);
  ASSERT_EQ(count, 3);
  first = last = kb = 0;
  EXPECT_EQ(vrn::ScanLogTimes(nullptr, built, count, false, &first, &last, &kb, &bad), 1);
  EXPECT_EQ(bad, 1u);
  EXPECT_EQ(first, ShapeTime(older, 0));
  first = last = kb = 0;
  EXPECT_EQ(vrn::ScanLogTimes(nullptr, built, count, true, &first, &last, &kb, &bad), 0);
  vrn::FreeLogFileList(built, count);

  // The full refresh keeps the status fields and takes another profile's
  // status fields only, never its other settings.
  DravelEntry mine{};
  std::snprintf(mine.Description, sizeof(mine.Description), "mine");
  DravelEntry others[1] = {};
  std::snprintf(others[0].Description, sizeof(others[0].Description), "other");
  std::snprintf(others[0].LogFilePath, sizeof(others[0].LogFilePath), "%s", location.c_str());
  dir_.Write("c.log", "");  // no bytes: no record, scanned as bad
  std::remove(dir_.File("c.log").c_str());
  LogListSummary now;
  uint16_t n = 0;
  built = vrn::BuildLogFileList(0, nullptr, location.c_str(), &n, &now, 0);
  vrn::FreeLogFileList(built, n);
  others[0].LogStatus = now;
  others[0].LogFileFormat = 9;
  ASSERT_EQ(vrn::GetProfileLogStatus(0, &mine, location.c_str(), others, 1, 0), 1);
  EXPECT_STREQ(mine.Description, "mine");
  EXPECT_EQ(mine.LogFileFormat, 0u);
  EXPECT_EQ(uint16_t{mine.LogStatus.FileCount}, 2);
  EXPECT_EQ(mine.FirstLogTime, ShapeTime(older, 0));
  EXPECT_EQ(mine.LastLogTime, ShapeTime(newer, newer.records - 1));
  EXPECT_EQ(mine.LogSizeKB, profile.LogSizeKB);
}

TEST_F(TimeRange, LogStatusTriesOtherDateOrders) {
  // Comma-separated logs whose dates read only in one order; the intl order
  // is month-day-year. A profile without a date layout of its own takes the
  // first order that reads every log cleanly; one with its own layout keeps it.
  auto commaLog = [](const std::vector<std::string>& dates) {
    std::string text;
    for (const std::string& d : dates) {
      text += "1.1.1.1, -, " + d + ", 10:00:00, W3SVC1, S, -, 1, 1, 1, 200, 0, GET, /, -,\r\n";
    }
    return text;
  };
  struct Case {
    const char* name;
    std::vector<std::string> dates;
    uint32_t ownFormat;
    uint32_t formatAfter;
    uint32_t first, last;  // 0: no record could be read
  };
  const Case cases[] = {
      {"month-day-year", {"5/13/98", "5/20/98"}, 0, 0, readertest::Wall(1998, 5, 13, 10, 0, 0),
       readertest::Wall(1998, 5, 20, 10, 0, 0)},
      {"day-month-year", {"13/5/98", "20/5/98"}, 0, 9, readertest::Wall(1998, 5, 13, 10, 0, 0),
       readertest::Wall(1998, 5, 20, 10, 0, 0)},
      {"year-month-day", {"98/5/13", "98/5/20"}, 0, 10, readertest::Wall(1998, 5, 13, 10, 0, 0),
       readertest::Wall(1998, 5, 20, 10, 0, 0)},
      {"own layout kept", {"13/5/98", "20/5/98"}, 8, 8, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder logs;
    logs.Write("in.log", commaLog(c.dates));
    DravelEntry profile{};
    profile.LogFileFormat = c.ownFormat;
    profile.FirstLogTime = profile.LastLogTime = 7;
    EXPECT_EQ(vrn::GetProfileLogStatus(0, &profile, logs.File("*.log").c_str(), nullptr, 0, 0), 1);
    EXPECT_EQ(profile.LogFileFormat, c.formatAfter);
    EXPECT_EQ(profile.FirstLogTime, c.first);
    EXPECT_EQ(profile.LastLogTime, c.last);
    EXPECT_EQ(vrn::GetReaderDateLayout(), c.formatAfter) << "the layout follows the profile's format";
  }
  vrn::SetLogFormatHint(0);
}

}  // namespace
