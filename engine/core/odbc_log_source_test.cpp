// The "odbc:" log source against the real driver manager and the SQLite
// ODBC driver, with data sources defined in a temporary folder.
#include "engine/core/odbc_log_source.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <vornic/registration.h>

#include "engine/core/engine_state.h"
#include "engine/core/log_file_list.h"
#include "engine/core/log_reader.h"
#include "engine/core/log_source.h"
#include "platform/testsupport/odbc.h"
#include "platform/testsupport/timezone.h"
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"

namespace {

std::string g_folder;  // the data sources' folder

using kv::test::FindSqliteDriver;
using kv::test::UtcSeconds;

// Data sources: "weblog" (the general table), "other" (a second database),
// "empty" (no table at all) and "MS Access Logs" (read as an Access source).
class OdbcFolder : public testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/kvodbclogXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    g_folder = pattern;
    const std::string driver = FindSqliteDriver();
    ASSERT_FALSE(driver.empty()) << "the SQLite ODBC driver is not installed";
    ASSERT_TRUE(kv::test::WriteSqliteSources(g_folder, driver, {"weblog", "other", "empty", "MS Access Logs"}));
    ASSERT_TRUE(kv::test::PinOdbcLibraries(driver));
  }
  void TearDown() override {
    VRN_CloseODBC(-1);
    vrn::UnloadODBCLibrary();
    for (const char* f : {"odbcinst.ini", "odbc.ini", "weblog.db", "other.db", "empty.db", "MS Access Logs.db"}) {
      std::remove((g_folder + "/" + f).c_str());
    }
    rmdir(g_folder.c_str());
  }
};
const testing::Environment* const g_env = testing::AddGlobalTestEnvironment(new OdbcFolder);

// Runs statements on a data source through the engine's binding.
void Exec(const char* dsn, const std::vector<std::string>& statements) {
  ASSERT_NE(vrn::LoadODBCLibrary(), nullptr);
  const vrn::OdbcFunctions& fn = vrn::g_odbc.fn;
  SQLHDBC connection = SQL_NULL_HDBC;
  ASSERT_TRUE(vrn::OdbcSucceeded(fn.AllocConnect(vrn::g_odbc.environment, &connection)));
  const std::string text = std::string("DSN=") + dsn;
  ASSERT_TRUE(vrn::OdbcSucceeded(fn.DriverConnect(connection, nullptr, (SQLCHAR*)text.c_str(), SQL_NTS, nullptr, 0,
                                                  nullptr, SQL_DRIVER_NOPROMPT)));
  for (const std::string& sql : statements) {
    SQLHSTMT statement = SQL_NULL_HSTMT;
    ASSERT_TRUE(vrn::OdbcSucceeded(fn.AllocStmt(connection, &statement)));
    EXPECT_TRUE(vrn::OdbcSucceeded(fn.ExecDirect(statement, (SQLCHAR*)sql.c_str(), SQL_NTS))) << sql;
    fn.FreeStmt(statement, SQL_DROP);
  }
  fn.Disconnect(connection);
  fn.FreeConnect(connection);
}

constexpr char kColumns[] =
    "(ClientHost varchar(255), username varchar(255), LogTime datetime, service varchar(255), "
    "machine varchar(255), serverip varchar(50), processingtime int, bytesrecvd int, bytessent int, "
    "servicestatus int, win32status int, operation varchar(255), target varchar(255), parameters varchar(255))";

std::string Row(const std::string& client, const std::string& time, int status, const std::string& target) {
  return "INSERT INTO hits VALUES ('" + client + "', 'anna', '" + time + "', 'W3SVC', 'WEB1', '10.0.0.1', 15, 120, " +
         "2048, " + std::to_string(status) + ", 0, 'GET', '" + target + "', '-')";
}

void MakeTable(const char* dsn, const std::vector<std::string>& rows, const char* table = "hits") {
  std::vector<std::string> statements = {std::string("DROP TABLE IF EXISTS ") + table,
                                         std::string("CREATE TABLE ") + table + kColumns};
  for (std::string row : rows) {
    if (std::strcmp(table, "hits") != 0) row.replace(row.find("hits"), 4, table);
    statements.push_back(row);
  }
  Exec(dsn, statements);
}


// What the progress window saw; it may set the cancel word.
struct Seen {
  std::vector<std::pair<uint32_t, uintptr_t>> messages;  // message, wparam
  std::vector<std::string> counts;                       // texts of 1056
  bool cancelAtCount = false;
  volatile uint32_t cancelWord = 0;
};
Seen* g_seen = nullptr;

KvResult ProgressProc(KvWindow, uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (g_seen == nullptr) return 0;
  g_seen->messages.push_back({message, wparam});
  if (message == 1056) {
    g_seen->counts.push_back(reinterpret_cast<const char*>(lparam));
    if (g_seen->cancelAtCount) g_seen->cancelWord = 1;
  }
  return 0;
}

class OdbcLog : public testing::Test {
 protected:
  void SetUp() override {
    vrn::g_engine.logIDate = 0;
    vrn::g_engine.logSDate[0] = '/';
    vrn::g_engine.logSTime[0] = ':';
    vrn::SetReaderDateLayout(0);
    vrn::RegisterOdbcLogSource();
    previous_ = kv::ui::SetMessageBoxHandler([this](const kv::ui::MessageBoxInfo& box) {
      boxes_.push_back(box.caption + "|" + box.text);
      return 0;
    });
  }
  void TearDown() override {
    VRN_CloseODBC(-1);
    kv::ui::SetMessageBoxHandler(previous_);
    vrn::g_engine.logIDate = 0;
    vrn::g_engine.logSDate[0] = '/';
    vrn::g_engine.logSTime[0] = ':';
    if (window_ != 0) kv::ui::DestroyWindow(window_);
    vrn::g_engine.progressWindow = 0;
    vrn::g_engine.cancelWord = nullptr;
    g_seen = nullptr;
  }

  void WatchProgress() {
    g_seen = &seen_;
    kv::ui::RegisterWindowClass("KvOdbcProgress", ProgressProc);
    window_ = kv::ui::CreateWindow("KvOdbcProgress", "progress", 0, 0);
    ASSERT_NE(window_, 0u);
    vrn::g_engine.progressWindow = window_;
    vrn::g_engine.cancelWord = &seen_.cancelWord;
  }

  // Every line of a source from position 0, as FetchODBCLogLine renders it.
  static std::vector<std::string> Lines(vrn::LogSourceHandle handle) {
    std::vector<std::string> lines;
    vrn::LogSource* source = vrn::LogSourceRecord(handle);
    char line[vrn::kOdbcLineSize];
    uint64_t position = 0, next = 0;
    while (vrn::FetchODBCLogLine(source, line, position, &next) == 3 && lines.size() < 100) {
      lines.push_back(line);
      position = next;
    }
    return lines;
  }

  std::vector<std::string> boxes_;
  kv::ui::MessageBoxHandler previous_;
  Seen seen_;
  KvWindow window_ = 0;
};

TEST_F(OdbcLog, PreparedRowsAreReadInTimeOrderAsCommaLines) {
  MakeTable("weblog", {Row("1.2.3.1", "2024-03-10 12:30:00", 200, "/b.html"),
                       Row("1.2.3.2", "2024-03-09 08:00:05", 404, "/a.html"),
                       Row("1.2.3.3", "2024-03-11 23:59:59", 304, "/c.html")});
  ASSERT_EQ(vrn::PrepareODBCLogSource("DSN=weblog"), 1);
  EXPECT_STREQ(vrn::OdbcLogTableName(), "hits");
  EXPECT_FALSE(vrn::OdbcLogIsAccess());
  ASSERT_EQ(vrn::OdbcLogRowTable().size(), 3u);
  EXPECT_EQ(vrn::PrepareODBCLogSource("DSN=weblog"), 1) << "already prepared";

  const vrn::LogSourceHandle handle = vrn::OpenLogSourceForReading("odbc:DSN=weblog");
  ASSERT_NE(handle, vrn::kNoLogSource);
  EXPECT_EQ(vrn::GetLogSourceKind(handle), vrn::kLogSourceOdbc);
  EXPECT_EQ(vrn::GetLogSourceSize(handle), 300u);
  EXPECT_EQ(Lines(handle),
            (std::vector<std::string>{
                "1.2.3.2, anna, 3/9/2024, 8:0:5, W3SVC, WEB1, 10.0.0.1, 15, 120, 2048, 404, 0, GET, /a.html, -, \r\n",
                "1.2.3.1, anna, 3/10/2024, 12:30:0, W3SVC, WEB1, 10.0.0.1, 15, 120, 2048, 200, 0, GET, /b.html, -, \r\n",
                "1.2.3.3, anna, 3/11/2024, 23:59:59, W3SVC, WEB1, 10.0.0.1, 15, 120, 2048, 304, 0, GET, /c.html, -, "
                "\r\n"}));

  // Through the line reader: comma-layout hits at their wall-clock times.
  std::vector<uint32_t> times;
  std::vector<std::string> urls;
  uint64_t position = 0;
  for (int i = 0; i < 10; ++i) {
    vrn::HitRecord hit;
    uint64_t next = 0;
    const uint16_t r = vrn::ReadNextHit(handle, position, &hit, &next, vrn::kDefaultReadWindow);
    if (r == vrn::kReadEnd) break;
    ASSERT_EQ(r, vrn::kReadHit);
    EXPECT_EQ(hit.FormatCode, vrn::kFormatComma);
    times.push_back(hit.HitTime);
    urls.push_back(hit.URL);
    vrn::FreeHitLine(&hit);
    position = next;
  }
  EXPECT_EQ(times, (std::vector<uint32_t>{UtcSeconds(2024, 3, 9, 8, 0, 5), UtcSeconds(2024, 3, 10, 12, 30, 0),
                                          UtcSeconds(2024, 3, 11, 23, 59, 59)}));
  EXPECT_EQ(urls, (std::vector<std::string>{"/a.html", "/b.html", "/c.html"}));
  EXPECT_EQ(vrn::CloseLogSource(handle), 1);
  EXPECT_TRUE(vrn::OdbcLogIsPrepared()) << "closing a source keeps the prepared rows";
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(OdbcLog, PositionsCountAHundredPerRow) {
  MakeTable("weblog", {Row("1.0.0.1", "2024-03-01 00:00:01", 200, "/1"), Row("1.0.0.2", "2024-03-02 00:00:01", 200, "/2"),
                       Row("1.0.0.3", "2024-03-03 00:00:01", 200, "/3")});
  ASSERT_EQ(vrn::PrepareODBCLogSource("DSN=weblog"), 1);
  const vrn::LogSourceHandle handle = vrn::OpenLogSourceForReading("odbc:DSN=weblog");
  ASSERT_NE(handle, vrn::kNoLogSource);
  vrn::LogSource* source = vrn::LogSourceRecord(handle);
  char line[vrn::kOdbcLineSize];
  uint64_t next = 0;
  ASSERT_EQ(vrn::FetchODBCLogLine(source, line, 250, &next), 3);
  EXPECT_EQ(std::string(line).substr(0, 8), "1.0.0.3,") << "position 250 is row 2, counted from 0";
  EXPECT_EQ(next, 300u);
  EXPECT_EQ(vrn::FetchODBCLogLine(source, line, 300, &next), 1) << "no row after the last";

  struct SeekCase {
    uint64_t offset;
    uint32_t origin;
    uint64_t position;
  };
  for (const SeekCase& c : {SeekCase{250, 0, 200}, SeekCase{999, 1, 200}, SeekCase{0, 2, 300}, SeekCase{0, 0, 0}}) {
    EXPECT_EQ(vrn::SeekLogSource(handle, c.offset, c.origin), c.position) << c.offset << " from " << c.origin;
  }
  struct StartCase {
    uint64_t offset;
    uint64_t start;
  };
  for (const StartCase& c : {StartCase{0, 0}, StartCase{99, 0}, StartCase{100, 0}, StartCase{250, 100},
                             StartCase{300, 200}, StartCase{1000, 200}}) {
    EXPECT_EQ(vrn::FindODBCRecordStart(source, c.offset), c.start) << c.offset;
    uint64_t start = 7;
    EXPECT_TRUE(vrn::FindRecordStart(handle, c.offset, &start));
    EXPECT_EQ(start, c.start) << "the log list's record start agrees at " << c.offset;
  }
  vrn::CloseLogSource(handle);
}

TEST_F(OdbcLog, UnusableRowsAreCountedAsNotRecognisedAndMissingValuesAreNotTakenFromTheRowBefore) {
  const std::string wide(255, 'w');
  const std::string head = "INSERT INTO hits VALUES ('" + wide + "', '" + wide + "', '2024-03-10 12:30:00', '" + wide +
                           "', '" + wide + "', '" + wide + "', 0, 0, 0, 0, 0, '" + wide + "', '" + wide + "', '";
  // Texts of 7 * 255, the date text "3/10/2024, 12:30:0" (18) and five "0, "
  // (15) come to 1818: a last column of 209 gives 2027 characters, which
  // fit; 210 do not.
  MakeTable("weblog", {Row("1.0.0.1", "2024-03-01 10:00:00", 200, "/first"),
                       "INSERT INTO hits VALUES ('1.0.0.2', NULL, '2024-03-02 10:00:00', 'W3SVC', 'WEB1', '10.0.0.1', "
                       "NULL, NULL, NULL, 500, NULL, 'GET', '/second', NULL)",
                       "INSERT INTO hits VALUES ('1.0.0.3', 'x', NULL, 'W3SVC', 'W', '1', 0, 0, 0, 200, 0, 'GET', '/nodate', '-')",
                       "INSERT INTO hits VALUES ('1.0.0.4', 'x', 'not a date', 'W3SVC', 'W', '1', 0, 0, 0, 200, 0, 'GET', '/bad', '-')",
                       head + std::string(209, 'k') + "')", head + std::string(210, 's') + "')",
                       Row("1.0.0.9", "2024-03-12 10:00:00", 200, std::string(400, 'u'))});
  ASSERT_EQ(vrn::PrepareODBCLogSource("DSN=weblog"), 1);
  const vrn::LogSourceHandle handle = vrn::OpenLogSourceForReading("odbc:DSN=weblog");
  ASSERT_NE(handle, vrn::kNoLogSource);
  std::vector<std::string> lines = Lines(handle);
  // Every row is a line: the rows without a time and the one too long for
  // a line are lines that no layout takes, sorted with the row stored
  // before them.
  ASSERT_EQ(lines.size(), 7u);
  for (int i : {5, 3, 2}) {
    EXPECT_EQ(lines[i], vrn::kOdbcUnusableLine) << i;
    lines.erase(lines.begin() + i);
  }
  EXPECT_EQ(lines[1], "1.0.0.2, -, 3/2/2024, 10:0:0, W3SVC, WEB1, 10.0.0.1, 0, 0, 0, 500, 0, GET, /second, -, \r\n");
  EXPECT_EQ(lines[2].size(), 2047u) << "2027 characters of texts and 20 of separators";
  EXPECT_EQ(lines[2].substr(2039, 5), "kkkk,");
  // A text longer than its column arrives cut, and the rows after it are read.
  EXPECT_EQ(lines[3].substr(0, 8), "1.0.0.9,");
  EXPECT_NE(lines[3].find(", " + std::string(255, 'u') + ", -, \r\n"), std::string::npos);

  // Through the line reader: seven lines, three hits; not recognised are
  // the three unusable rows and the long row, whose operation is no method.
  const vrn::ReaderLineCounts before = vrn::GetReaderLineCounts();
  uint64_t position = 0;
  int hits = 0;
  for (int i = 0; i < 20; ++i) {
    vrn::HitRecord hit;
    uint64_t next = 0;
    const uint16_t r = vrn::ReadNextHit(handle, position, &hit, &next, vrn::kDefaultReadWindow);
    if (r == vrn::kReadHit) {
      ++hits;
      vrn::FreeHitLine(&hit);
    }
    if (r == vrn::kReadEnd || next <= position) break;
    position = next;
  }
  const vrn::ReaderLineCounts after = vrn::GetReaderLineCounts();
  EXPECT_EQ(hits, 3);
  EXPECT_EQ(after.lines - before.lines, 7u);
  EXPECT_EQ(after.unrecognised - before.unrecognised, 4u);
  EXPECT_EQ(after.skipped - before.skipped, 0u);
  vrn::CloseLogSource(handle);
}

TEST_F(OdbcLog, TableNameComesFromTheCatalogOrIsLogfile) {
  Exec("empty", {"DROP TABLE IF EXISTS hits"});
  EXPECT_EQ(vrn::PrepareODBCLogSource("DSN=empty"), 0);
  EXPECT_STREQ(vrn::OdbcLogTableName(), "logfile");
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].rfind("ODBC Error|SQLExecDirect: ", 0), 0u) << boxes_[0];
  EXPECT_NE(boxes_[0].find("logfile"), std::string::npos) << boxes_[0];
  EXPECT_FALSE(vrn::OdbcLogIsPrepared());

  boxes_.clear();
  EXPECT_EQ(vrn::PrepareODBCLogSource("DSN=no such source"), 0);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].rfind("ODBC Error|SQLDriverConnect: IM002 - ", 0), 0u) << boxes_[0];
  EXPECT_EQ(vrn::OpenLogSourceForReading("odbc:DSN=no such source"), vrn::kNoLogSource);

  MakeTable("other", {Row("2.0.0.1", "2024-05-01 01:02:03", 200, "/x")}, "iis_2024");
  ASSERT_EQ(vrn::PrepareODBCLogSource("DSN=other"), 1);
  EXPECT_STREQ(vrn::OdbcLogTableName(), "iis_2024");
}

// Hits of the prepared "weblog" source through the line reader: time and URL.
std::vector<std::pair<uint32_t, std::string>> ReadHits() {
  std::vector<std::pair<uint32_t, std::string>> hits;
  const vrn::LogSourceHandle handle = vrn::OpenLogSourceForReading("odbc:DSN=weblog");
  EXPECT_NE(handle, vrn::kNoLogSource);
  if (handle == vrn::kNoLogSource) return hits;
  uint64_t position = 0;
  for (int i = 0; i < 100; ++i) {
    vrn::HitRecord hit;
    uint64_t next = 0;
    const uint16_t r = vrn::ReadNextHit(handle, position, &hit, &next, vrn::kDefaultReadWindow);
    if (r == vrn::kReadHit) {
      hits.emplace_back(hit.HitTime, hit.URL);
      vrn::FreeHitLine(&hit);
    }
    if (r == vrn::kReadEnd || next <= position) break;
    position = next;
  }
  vrn::CloseLogSource(handle);
  return hits;
}

TEST_F(OdbcLog, RowDatesReadBackTheSameWhateverTheDateLayoutAndOrder) {
  // The rows' times are the database's; the run's date layout (profile) and
  // the log [intl] order must not change them.
  MakeTable("weblog", {Row("1.0.0.1", "2024-03-10 08:00:00", 200, "/ten"),
                       Row("1.0.0.2", "2024-03-25 09:30:00", 200, "/twentyfive"),
                       Row("1.0.0.3", "2024-12-01 23:59:59", 200, "/december")});
  const std::vector<std::pair<uint32_t, std::string>> want = {{UtcSeconds(2024, 3, 10, 8, 0, 0), "/ten"},
                                                              {UtcSeconds(2024, 3, 25, 9, 30, 0), "/twentyfive"},
                                                              {UtcSeconds(2024, 12, 1, 23, 59, 59), "/december"}};
  struct Case {
    uint32_t layout;
    uint8_t order;
  };
  for (const Case& c : {Case{0, 0}, Case{0, 1}, Case{0, 2}, Case{9, 0}, Case{9, 2}, Case{8, 1}, Case{10, 0},
                        Case{10, 1}}) {
    SCOPED_TRACE(testing::Message() << "layout " << c.layout << " order " << int(c.order));
    VRN_CloseODBC(-1);
    vrn::g_engine.logIDate = c.order;
    vrn::SetReaderDateLayout(c.layout);
    ASSERT_EQ(vrn::PrepareODBCLogSource("DSN=weblog"), 1);
    EXPECT_EQ(ReadHits(), want);
  }
  vrn::SetReaderDateLayout(0);
}

TEST_F(OdbcLog, CommasInsideTextsKeepEveryFieldInItsPlace) {
  Exec("weblog", {"DROP TABLE IF EXISTS hits", std::string("CREATE TABLE hits") + kColumns,
                  "INSERT INTO hits VALUES ('1.0.0.1', 'anna', '2024-03-10 08:00:00', 'W3SVC', 'WEB1', '10.0.0.1', 15, "
                  "120, 2048, 404, 0, 'GET', '/list,all.html', 'ids=1,2,3')",
                  "INSERT INTO hits VALUES ('1.0.0.2', 'bob', '2024-03-10 08:00:01', 'W3SVC', 'WEB,1', '10.0.0.1', 15, "
                  "120, 777, 200, 0, 'GET', '/plain.html', 'a=,')"});
  ASSERT_EQ(vrn::PrepareODBCLogSource("DSN=weblog"), 1);
  const vrn::LogSourceHandle handle = vrn::OpenLogSourceForReading("odbc:DSN=weblog");
  ASSERT_NE(handle, vrn::kNoLogSource);
  struct Want {
    std::string url, user;
    uint32_t status, bytes;
  };
  const Want want[] = {{"/list,all.html?ids=1%2C2%2C3", "anna", 404, 2048}, {"/plain.html?a=%2C", "bob", 200, 777}};
  uint64_t position = 0;
  for (const Want& w : want) {
    vrn::HitRecord hit;
    uint64_t next = 0;
    ASSERT_EQ(vrn::ReadNextHit(handle, position, &hit, &next, vrn::kDefaultReadWindow), vrn::kReadHit);
    EXPECT_EQ(std::string(hit.URL), w.url);
    EXPECT_EQ(std::string(hit.UserName), w.user);
    EXPECT_EQ(hit.StatusCode, w.status);
    EXPECT_EQ(hit.Bytes, w.bytes);
    vrn::FreeHitLine(&hit);
    position = next;
  }
  vrn::CloseLogSource(handle);
}

std::vector<std::string> g_displayed;
int32_t RecordDisplayed(KvWindow, const char*, const char* text, uint32_t, uint32_t, uint32_t) {
  g_displayed.emplace_back(text != nullptr ? text : "");
  return 0;
}

TEST_F(OdbcLog, TheLogfileTableIsPreferredAndATableWithoutTheLogColumnsIsRefused) {
  const VrnDisplayErrorFn saved = glpfnDisplayReportError;
  glpfnDisplayReportError = &RecordDisplayed;
  g_displayed.clear();
  // A notes table listed before the log table.
  Exec("empty", {"DROP TABLE IF EXISTS hits", "CREATE TABLE aaa_notes (id int, note varchar(50), at datetime)",
                 "INSERT INTO aaa_notes VALUES (1, 'x', '2024-03-10 08:00:00')"});
  MakeTable("empty", {Row("1.0.0.1", "2024-03-10 08:00:00", 200, "/in-logfile")}, "LogFile");
  ASSERT_EQ(vrn::PrepareODBCLogSource("DSN=empty"), 1);
  EXPECT_STREQ(vrn::OdbcLogTableName(), "LogFile");
  EXPECT_EQ(vrn::OdbcLogRowTable().size(), 1u);
  EXPECT_TRUE(g_displayed.empty());
  VRN_CloseODBC(-1);

  // Without it, the first table is taken only when it has the log's columns.
  Exec("empty", {"DROP TABLE LogFile"});
  EXPECT_EQ(vrn::PrepareODBCLogSource("DSN=empty"), 0);
  EXPECT_FALSE(vrn::OdbcLogIsPrepared());
  ASSERT_EQ(g_displayed.size(), 1u);
  EXPECT_NE(g_displayed[0].find("\"aaa_notes\" has no column \"ClientHost\", \"username\", \"LogTime\", \"service\""),
            std::string::npos)
      << g_displayed[0];
  EXPECT_EQ(vrn::OpenLogSourceForReading("odbc:DSN=empty"), vrn::kNoLogSource);
  Exec("empty", {"DROP TABLE aaa_notes"});
  glpfnDisplayReportError = saved;
}

TEST_F(OdbcLog, AccessSourcesReadTheirDateAsText) {
  Exec("MS Access Logs", {"DROP TABLE IF EXISTS logfile", std::string("CREATE TABLE logfile") + kColumns,
                          "INSERT INTO logfile VALUES ('3.0.0.1', '-', '2024-03-10 12:30:00 PM', 'W3SVC', 'W', '1', 0, "
                          "0, 0, 200, 0, 'GET', '/pm', '-')",
                          "INSERT INTO logfile VALUES ('3.0.0.2', '-', '2024-03-10 12:30:00 AM', 'W3SVC', 'W', '1', 0, "
                          "0, 0, 200, 0, 'GET', '/am', '-')",
                          "INSERT INTO logfile VALUES ('3.0.0.3', '-', '2024-03-10 1:15:00 PM', 'W3SVC', 'W', '1', 0, "
                          "0, 0, 200, 0, 'GET', '/one', '-')",
                          "INSERT INTO logfile VALUES ('3.0.0.4', '-', '2024-03-10 12:45:00', 'W3SVC', 'W', '1', 0, 0, "
                          "0, 200, 0, 'GET', '/noon24', '-')"});
  ASSERT_EQ(vrn::PrepareODBCLogSource("DSN=MS Access Logs"), 1);
  EXPECT_TRUE(vrn::OdbcLogIsAccess());
  EXPECT_STREQ(vrn::OdbcLogTableName(), "logfile");
  const vrn::LogSourceHandle handle = vrn::OpenLogSourceForReading("odbc:DSN=MS Access Logs");
  ASSERT_NE(handle, vrn::kNoLogSource);
  std::vector<std::string> dates;
  for (const std::string& line : Lines(handle)) dates.push_back(line.substr(0, line.find(", W3SVC")));
  EXPECT_EQ(dates, (std::vector<std::string>{"3.0.0.2, -, 03/10/2024, 0:30:00", "3.0.0.1, -, 03/10/2024, 12:30:00",
                                             "3.0.0.4, -, 03/10/2024, 12:45:00", "3.0.0.3, -, 03/10/2024, 13:15:00"}));
  vrn::CloseLogSource(handle);
}

TEST_F(OdbcLog, TheLogsDateAndTimeSeparatorsAreUsed) {
  MakeTable("weblog", {Row("1.0.0.1", "2024-03-10 12:30:00", 200, "/b"), Row("1.0.0.2", "2024-03-09 08:00:05", 200, "/a")});
  vrn::g_engine.logIDate = 1;
  vrn::g_engine.logSDate[0] = '.';
  vrn::g_engine.logSTime[0] = '.';
  ASSERT_EQ(vrn::PrepareODBCLogSource("DSN=weblog"), 1);
  const vrn::LogSourceHandle handle = vrn::OpenLogSourceForReading("odbc:DSN=weblog");
  ASSERT_NE(handle, vrn::kNoLogSource);
  const std::vector<std::string> lines = Lines(handle);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(0, 30), "1.0.0.2, anna, 9.3.2024, 8.0.5");
  vrn::HitRecord hit;
  uint64_t next = 0;
  ASSERT_EQ(vrn::ReadNextHit(handle, 100, &hit, &next, vrn::kDefaultReadWindow), vrn::kReadHit);
  EXPECT_EQ(hit.HitTime, UtcSeconds(2024, 3, 10, 12, 30, 0));
  vrn::FreeHitLine(&hit);
  vrn::CloseLogSource(handle);
}

TEST_F(OdbcLog, PreparationReportsProgressAndStopsWhenCancelled) {
  Exec("weblog", {"DROP TABLE IF EXISTS hits", std::string("CREATE TABLE hits") + kColumns,
                  "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 700) "
                  "INSERT INTO hits SELECT '9.9.9.9', '-', datetime(1700000000 - i * 60, 'unixepoch'), 'W3SVC', 'W', "
                  "'1', i, 0, 0, 200, 0, 'GET', '/p' || i, '-' FROM n"});
  WatchProgress();
  seen_.cancelAtCount = true;
  EXPECT_EQ(vrn::PrepareODBCLogSource("DSN=weblog"), 0);
  EXPECT_EQ(seen_.counts, (std::vector<std::string>{"301"}));
  EXPECT_FALSE(vrn::OdbcLogIsPrepared());
  EXPECT_TRUE(vrn::OdbcLogRowTable().empty());

  seen_ = Seen{};
  ASSERT_EQ(vrn::PrepareODBCLogSource("DSN=weblog"), 1);
  EXPECT_EQ(seen_.counts, (std::vector<std::string>{"301", "602"}));
  // After the count: percent 0 and the sorting notice, rising percents below
  // 95 while sorting, and 100 at the end.
  std::vector<std::pair<uint32_t, uintptr_t>> tail;
  for (const auto& m : seen_.messages) {
    if (m.first != 1056) tail.push_back(m);
  }
  ASSERT_GE(tail.size(), 3u);
  EXPECT_EQ(tail[0], (std::pair<uint32_t, uintptr_t>{1024, 0}));
  EXPECT_EQ(tail[1], (std::pair<uint32_t, uintptr_t>{1047, 0}));
  EXPECT_EQ(tail.back(), (std::pair<uint32_t, uintptr_t>{1024, 100}));
  for (size_t i = 2; i + 1 < tail.size(); ++i) {
    EXPECT_EQ(tail[i].first, 1024u);
    EXPECT_LT(tail[i].second, 95u);
    EXPECT_GT(tail[i].second, tail[i - 1].first == 1024 ? tail[i - 1].second : 0u);
  }
  // Stored newest first, read oldest first.
  const auto& rows = vrn::OdbcLogRowTable();
  ASSERT_EQ(rows.size(), 700u);
  for (size_t i = 1; i < rows.size(); ++i) ASSERT_LT(rows[i - 1].time, rows[i].time);
  EXPECT_EQ(rows.front().bookmark, 700u);
}

TEST_F(OdbcLog, AnUnpreparedSourceCountsItsRowsAndReadsByPosition) {
  Exec("weblog", {"DROP TABLE IF EXISTS hits", std::string("CREATE TABLE hits") + kColumns,
                  "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1500) "
                  "INSERT INTO hits SELECT '8.8.8.' || i, '-', datetime(1700000000 + i, 'unixepoch'), 'W3SVC', 'W', "
                  "'1', i, 0, 0, 200, 0, 'GET', '/q', '-' FROM n"});
  const vrn::LogSourceHandle handle = vrn::OpenLogSourceForReading("odbc:DSN=weblog");
  ASSERT_NE(handle, vrn::kNoLogSource);
  EXPECT_FALSE(vrn::OdbcLogIsPrepared());
  EXPECT_EQ(vrn::GetLogSourceSize(handle), 150000u);
  vrn::LogSource* source = vrn::LogSourceRecord(handle);
  char line[vrn::kOdbcLineSize];
  uint64_t next = 0;
  // The counting probes moved the cursor; each read still gets its own row.
  for (uint64_t row : {0u, 1499u, 700u}) {
    ASSERT_EQ(vrn::FetchODBCLogLine(source, line, row * 100, &next), 3);
    EXPECT_EQ(std::string(line).substr(0, std::string(line).find(',')), "8.8.8." + std::to_string(row + 1));
    EXPECT_EQ(next, (row + 1) * 100);
  }
  EXPECT_EQ(vrn::FetchODBCLogLine(source, line, 150000, &next), 1);
  EXPECT_EQ(vrn::CloseLogSource(handle), 1);

  Exec("weblog", {"DELETE FROM hits"});
  const vrn::LogSourceHandle empty = vrn::OpenLogSourceForReading("odbc:DSN=weblog");
  ASSERT_NE(empty, vrn::kNoLogSource);
  EXPECT_EQ(vrn::GetLogSourceSize(empty), 0u) << "an empty table has no rows";
  vrn::CloseLogSource(empty);
}

TEST_F(OdbcLog, AReleasedConnectionIsNeverReadThroughTheSameHandleValueMadeAgain) {
  MakeTable("weblog", {Row("1.0.0.1", "2024-03-01 10:00:00", 200, "/w")});
  Exec("other", {"DROP TABLE IF EXISTS iis_2024"});
  MakeTable("other", {Row("2.0.0.1", "2024-04-01 10:00:00", 200, "/o1"), Row("2.0.0.2", "2024-04-02 10:00:00", 200, "/o2")});
  ASSERT_EQ(vrn::PrepareODBCLogSource("DSN=weblog"), 1);
  const vrn::LogSourceHandle copy = vrn::OpenLogSourceForReading("odbc:DSN=weblog");
  ASSERT_NE(copy, vrn::kNoLogSource);
  auto* copyData = static_cast<vrn::OdbcSourceData*>(vrn::LogSourceRecord(copy)->kindData);
  const SQLHDBC released = copyData->connection;
  VRN_CloseODBC(-1);  // the prepared connection is released; the copy keeps its old value

  // The driver manager hands released handle values out again: sources made
  // now may get the copy's old value, and must still not be read through it.
  std::vector<vrn::LogSourceHandle> others;
  bool reused = false;
  for (int i = 0; i < 24 && !reused; ++i) {
    const vrn::LogSourceHandle other = vrn::OpenLogSourceForReading("odbc:DSN=other");
    ASSERT_NE(other, vrn::kNoLogSource);
    others.push_back(other);
    auto* data = static_cast<vrn::OdbcSourceData*>(vrn::LogSourceRecord(other)->kindData);
    reused = data->connection == released;
    EXPECT_TRUE(Lines(copy).empty()) << "read through source " << i << "'s connection";
  }
  // Whatever the allocator did, the copy may carry the value of a live handle.
  auto* last = static_cast<vrn::OdbcSourceData*>(vrn::LogSourceRecord(others.back())->kindData);
  copyData->connection = last->connection;
  EXPECT_TRUE(Lines(copy).empty()) << "a handle value made again is another connection";
  EXPECT_EQ(Lines(others.back()).size(), 2u);
  for (auto h : others) EXPECT_EQ(vrn::CloseLogSource(h), 1);
  EXPECT_EQ(vrn::CloseLogSource(copy), 1);
}

TEST_F(OdbcLog, CloseODBCEndsThePreparedLogAndAnotherSourceIsNotReadFromIt) {
  MakeTable("weblog", {Row("1.0.0.1", "2024-03-01 10:00:00", 200, "/w")});
  Exec("other", {"DROP TABLE IF EXISTS iis_2024"});
  MakeTable("other", {Row("2.0.0.1", "2024-04-01 10:00:00", 200, "/o1"), Row("2.0.0.2", "2024-04-02 10:00:00", 200, "/o2")});
  ASSERT_EQ(vrn::PrepareODBCLogSource("DSN=weblog"), 1);
  const vrn::LogSourceHandle copy = vrn::OpenLogSourceForReading("odbc:DSN=weblog");
  ASSERT_NE(copy, vrn::kNoLogSource);

  // Another data source is opened for itself, not from the prepared rows.
  const vrn::LogSourceHandle other = vrn::OpenLogSourceForReading("odbc:DSN=other");
  ASSERT_NE(other, vrn::kNoLogSource);
  EXPECT_EQ(Lines(other).size(), 2u);
  EXPECT_FALSE(vrn::OdbcLogIsPrepared());
  EXPECT_TRUE(Lines(copy).empty()) << "the prepared connection is gone, and nothing is read through it";
  VRN_CloseODBC(other);
  EXPECT_TRUE(Lines(other).empty());
  EXPECT_EQ(vrn::CloseLogSource(other), 1);
  EXPECT_EQ(vrn::CloseLogSource(copy), 1);

  ASSERT_EQ(vrn::PrepareODBCLogSource("DSN=weblog"), 1);
  VRN_CloseODBC(12345);  // not a source of ours: only the prepared log ends
  EXPECT_FALSE(vrn::OdbcLogIsPrepared());
  EXPECT_TRUE(vrn::OdbcLogRowTable().empty());

  // The log list prepares through the registered hook and lists the source.
  DravelEntry profile{};
  uint16_t count = 0;
  LogListSummary summary{};
  vrn::LogNameEntry** list = vrn::BuildLogFileList(0, &profile, "odbc:DSN=other", &count, &summary, 1);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(count, 1u);
  EXPECT_STREQ(list[0]->name, "odbc:DSN=other");
  EXPECT_EQ(summary.ArchiveKind, vrn::kArchiveOdbc);
  vrn::FreeLogFileList(list, count);
  EXPECT_TRUE(vrn::OdbcLogIsPrepared());
  EXPECT_EQ(vrn::OdbcLogRowTable().size(), 2u);
}

TEST(OdbcDates, AccessTextDates) {
  struct Case {
    uint32_t order;
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {0, "2024-03-10 12:30:00 PM", "03/10/2024, 12:30:00"},
      {0, "2024-03-10 12:30:00 AM", "03/10/2024, 0:30:00"},
      {0, "2024-03-10 01:05:09 PM", "03/10/2024, 13:05:09"},
      {0, "2024-03-10 11:59:59 AM", "03/10/2024, 11:59:59"},
      {0, "2024-03-10 12:30:00", "03/10/2024, 12:30:00"},
      {1, "2024-03-10 07:08:09", "10/03/2024, 7:08:09"},
      {2, "2024-03-10 7.08.09 PM", "2024/03/10, 19:08:09"},
      {0, "3/10/2024 2:00:00 PM", "3/10/2024, 14:00:00"},
      {0, "24-03-10 2:00:00", "24-03-10, 2:00:00"},
      {0, "2024-03-10", "2024-03-10"},
      {0, "2024-03-10 noon", "2024-03-10 noon"},
      {0, "", ""},
  };
  for (const Case& c : cases) {
    vrn::g_engine.logIDate = c.order;
    char out[256];
    vrn::AccessDateToText(c.text, out, sizeof(out));
    EXPECT_STREQ(out, c.expected) << c.text << " in order " << c.order;
  }
  char small[8];
  vrn::AccessDateToText("2024-03-10 12:30:00 PM", small, sizeof(small));
  EXPECT_STREQ(small, "03/10/2");
  vrn::g_engine.logIDate = 0;
}

TEST(OdbcDates, TimesKeptAsText) {
  struct Case {
    const char* text;
    bool ok;
    int year, month, day, hour, minute, second;
  };
  const Case cases[] = {
      {"2024-03-09 08:07:06", true, 2024, 3, 9, 8, 7, 6},
      {"2024-03-09 23:59:59.250", true, 2024, 3, 9, 23, 59, 59},
      {"2024-03-09", true, 2024, 3, 9, 0, 0, 0},
      {"2024-3-9 8:7:6", true, 2024, 3, 9, 8, 7, 6},
      {"not a time", false, 0, 0, 0, 0, 0, 0},
      {"", false, 0, 0, 0, 0, 0, 0},
      {"2024-13-01 00:00:00", false, 0, 0, 0, 0, 0, 0},
      {"2024-03-09 24:00:00", false, 0, 0, 0, 0, 0, 0},
      {"2024-03-09 08:07", false, 0, 0, 0, 0, 0, 0},
      {"2024-03-09 08:07:06 PM", false, 0, 0, 0, 0, 0, 0},
      {"03/09/2024 08:07:06", false, 0, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SQL_TIMESTAMP_STRUCT t = {};
    EXPECT_EQ(vrn::OdbcTextToTimestamp(c.text, &t), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(std::vector<int>({t.year, t.month, t.day, t.hour, t.minute, t.second}),
              std::vector<int>({c.year, c.month, c.day, c.hour, c.minute, c.second}))
        << c.text;
  }
}

TEST(OdbcDates, Timestamps) {
  SQL_TIMESTAMP_STRUCT t = {};
  t.year = 2024;
  t.month = 3;
  t.day = 9;
  t.hour = 8;
  t.minute = 7;
  t.second = 6;
  const char* expected[] = {"3/9/2024, 8:7:6", "9/3/2024, 8:7:6", "2024/3/9, 8:7:6"};
  for (uint32_t order = 0; order < 3; ++order) {
    vrn::g_engine.logIDate = order;
    char out[64];
    vrn::TimestampToText(t, out, sizeof(out));
    EXPECT_STREQ(out, expected[order]);
  }
  vrn::g_engine.logIDate = 0;
}

}  // namespace
