// The "odbc:" log source on the databases logs are kept in: a PostgreSQL
// server of the test's own (through its Unicode and its ANSI ODBC driver)
// and SQLite beside it. One table of log tables is read on each: columns in
// any order, missing values, big numbers, quotes and commas, names that need
// quoting, tables that are not log tables. The rows of a million-row table
// are read with flat memory.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <vornic/registration.h>

#include "engine/core/engine_state.h"
#include "engine/core/log_reader.h"
#include "engine/core/log_source.h"
#include "engine/core/odbc_log_source.h"
#include "platform/testsupport/odbc.h"
#include "platform/testsupport/postgres.h"
#include "platform/testsupport/process.h"
#include "platform/testsupport/sanitizers.h"
#include "platform/testsupport/timezone.h"
#include "platform/ui/msgbox.h"

namespace {

namespace fs = std::filesystem;
using kv::test::UtcSeconds;

enum class Database { kSqlite, kPostgres, kPostgresAnsi };

std::string DatabaseName(const testing::TestParamInfo<Database>& info) {
  switch (info.param) {
    case Database::kSqlite: return "Sqlite";
    case Database::kPostgres: return "PostgresUnicode";
    case Database::kPostgresAnsi: return "PostgresAnsi";
  }
  return "?";
}

// Runs statements through the engine's binding; "" or what failed.
std::string Exec(const std::string& connect, const std::vector<std::string>& statements) {
  if (vrn::LoadODBCLibrary() == nullptr) return "no driver manager";
  const vrn::OdbcFunctions& fn = vrn::g_odbc.fn;
  SQLHDBC connection = SQL_NULL_HDBC;
  if (!vrn::OdbcSucceeded(fn.AllocConnect(vrn::g_odbc.environment, &connection))) return "no connection handle";
  if (!vrn::OdbcSucceeded(fn.DriverConnect(connection, nullptr, (SQLCHAR*)connect.c_str(), SQL_NTS, nullptr, 0,
                                           nullptr, SQL_DRIVER_NOPROMPT))) {
    fn.FreeConnect(connection);
    return "cannot connect: " + connect;
  }
  std::string failed;
  for (const std::string& sql : statements) {
    SQLHSTMT statement = SQL_NULL_HSTMT;
    if (!vrn::OdbcSucceeded(fn.AllocStmt(connection, &statement))) return "no statement handle";
    if (!vrn::OdbcSucceeded(fn.ExecDirect(statement, (SQLCHAR*)sql.c_str(), SQL_NTS)) && failed.empty()) {
      failed = "failed: " + sql.substr(0, 300);
    }
    fn.FreeStmt(statement, SQL_DROP);
  }
  fn.Transact(vrn::g_odbc.environment, connection, SQL_COMMIT);
  fn.Disconnect(connection);
  fn.FreeConnect(connection);
  return failed;
}

// The servers and files of the whole suite.
struct Places {
  std::string folder;  // SQLite databases
  std::string sqliteDriver;
  kv::test::PostgresServer postgres;  // started by the first test that needs it
  bool postgresTried = false;
  std::string postgresWhy;  // why there is no server ("" when it runs)
  bool postgresMissing = false;
};
Places* g_places = nullptr;

class OdbcLogTables : public testing::TestWithParam<Database> {
 public:
  static void SetUpTestSuite() {
    g_places = new Places;
    char pattern[] = "/tmp/kvodbctablesXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    g_places->folder = pattern;
    g_places->sqliteDriver = kv::test::FindSqliteDriver();
    if (!g_places->sqliteDriver.empty()) kv::test::PinOdbcLibraries(g_places->sqliteDriver);
  }
  static void TearDownTestSuite() {
    VRN_CloseODBC(-1);
    vrn::UnloadODBCLibrary();
    if (g_places == nullptr) return;
    g_places->postgres.Stop();
    std::error_code ignored;
    fs::remove_all(g_places->folder, ignored);
    delete g_places;
    g_places = nullptr;
  }

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
    saved_ = glpfnDisplayReportError;
    glpfnDisplayReportError = &RecordDisplayed;
    Displayed().clear();
    if (GetParam() == Database::kSqlite) {
      ASSERT_FALSE(g_places->sqliteDriver.empty()) << "the SQLite ODBC driver is not installed";
    } else {
      if (!g_places->postgresTried) {
        g_places->postgresTried = true;
        g_places->postgresWhy = g_places->postgres.Start(&g_places->postgresMissing);
        if (g_places->postgresWhy.empty()) {
          kv::test::PinOdbcLibraries(g_places->postgres.Driver());
          kv::test::PinOdbcLibraries(g_places->postgres.AnsiDriver());
        }
      }
      if (g_places->postgresMissing) GTEST_SKIP() << g_places->postgresWhy;
      ASSERT_EQ(g_places->postgresWhy, "");
    }
    NewDatabase();
  }
  void TearDown() override {
    VRN_CloseODBC(-1);
    kv::ui::SetMessageBoxHandler(previous_);
    glpfnDisplayReportError = saved_;
  }

  static std::vector<std::string>& Displayed() {
    static std::vector<std::string> displayed;
    return displayed;
  }
  static int32_t RecordDisplayed(KvWindow, const char*, const char* text, uint32_t, uint32_t, uint32_t) {
    Displayed().emplace_back(text != nullptr ? text : "");
    return 0;
  }

  // An empty database: a new SQLite file, or the PostgreSQL database with
  // its schemas emptied.
  void NewDatabase() {
    VRN_CloseODBC(-1);
    static int serial = 0;
    if (GetParam() == Database::kSqlite) {
      connect_ = "Driver=" + g_places->sqliteDriver + ";Database=" + g_places->folder + "/log" +
                 std::to_string(++serial) + ".db;SyncPragma=OFF;";
      return;
    }
    connect_ = g_places->postgres.ConnectText(GetParam() == Database::kPostgresAnsi ? g_places->postgres.AnsiDriver()
                                                                                    : g_places->postgres.Driver());
    ASSERT_EQ(Exec(connect_, {"DROP SCHEMA IF EXISTS public CASCADE", "DROP SCHEMA IF EXISTS weblogs CASCADE",
                              "CREATE SCHEMA public"}),
              "");
  }

  bool Postgres() const { return GetParam() != Database::kSqlite; }

  std::string connect_;
  std::vector<std::string> boxes_;
  kv::ui::MessageBoxHandler previous_;
  VrnDisplayErrorFn saved_ = nullptr;
};

// The log columns with their types; every table below is made of these,
// in some order, with or without other columns.
struct Column {
  const char* name;
  const char* type;
};
const Column kLogColumns[14] = {
    {"ClientHost", "varchar(255)"}, {"username", "varchar(255)"},    {"LogTime", "timestamp"},
    {"service", "varchar(255)"},    {"machine", "varchar(255)"},     {"serverip", "varchar(50)"},
    {"processingtime", "bigint"},   {"bytesrecvd", "bigint"},        {"bytessent", "bigint"},
    {"servicestatus", "bigint"},    {"win32status", "bigint"},       {"operation", "varchar(255)"},
    {"target", "varchar(255)"},     {"parameters", "varchar(255)"}};

// One row in the log columns' order (values as SQL literals).
struct Row {
  std::string client, user, time;
  std::string elapsed, received, sent, status;
  std::string target, parameters;
};

std::string Literal(const std::string& text) {
  if (text == "NULL") return text;
  std::string quoted = "'";
  for (char c : text) {
    quoted += c;
    if (c == '\'') quoted += c;
  }
  return quoted + "'";
}

// The value of log column i (0..13) of a row, as a SQL literal.
std::string Value(const Row& row, int i) {
  switch (i) {
    case 0: return Literal(row.client);
    case 1: return Literal(row.user);
    case 2: return Literal(row.time);
    case 3: return "'W3SVC1'";
    case 4: return "'WEB1'";
    case 5: return "'10.0.0.1'";
    case 6: return row.elapsed;
    case 7: return row.received;
    case 8: return row.sent;
    case 9: return row.status;
    case 10: return "0";
    case 11: return "'GET'";
    case 12: return Literal(row.target);
    case 13: return Literal(row.parameters);
  }
  return "NULL";
}

// A table: its name as written in SQL, the log columns in the given order
// (-1: an extra column "id"), and its rows.
std::vector<std::string> MakeTable(const std::string& table, const std::vector<int>& order, const std::vector<Row>& rows) {
  std::string create = "CREATE TABLE " + table + " (";
  for (size_t i = 0; i < order.size(); ++i) {
    if (i > 0) create += ", ";
    create += order[i] < 0 ? std::string("id integer") : std::string(kLogColumns[order[i]].name) + " " +
                                                           kLogColumns[order[i]].type;
  }
  std::vector<std::string> statements = {create + ")"};
  int id = 0;
  for (const Row& row : rows) {
    std::string insert = "INSERT INTO " + table + " VALUES (";
    for (size_t i = 0; i < order.size(); ++i) {
      if (i > 0) insert += ", ";
      insert += order[i] < 0 ? std::to_string(++id) : Value(row, order[i]);
    }
    statements.push_back(insert + ")");
  }
  return statements;
}

std::vector<int> Order(std::initializer_list<int> columns) { return std::vector<int>(columns); }
const std::vector<int> kInOrder = Order({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});

// A hit as the line reader gives it.
struct Hit {
  uint32_t time;
  std::string client, user, url;
  uint32_t status, bytes;
  bool operator==(const Hit& o) const {
    return time == o.time && client == o.client && user == o.user && url == o.url && status == o.status &&
           bytes == o.bytes;
  }
};
std::ostream& operator<<(std::ostream& out, const Hit& h) {
  return out << "{" << h.time << " " << h.client << " " << h.user << " " << h.url << " " << h.status << " " << h.bytes
             << "}";
}

// Every hit of a prepared location through the line reader, and the lines
// the reader counted (all, not recognised).
struct ReadResult {
  std::vector<Hit> hits;
  uint64_t lines = 0, unrecognised = 0;
};
ReadResult ReadAll(const std::string& location) {
  ReadResult result;
  const vrn::LogSourceHandle handle = vrn::OpenLogSourceForReading(location.c_str());
  EXPECT_NE(handle, vrn::kNoLogSource);
  if (handle == vrn::kNoLogSource) return result;
  const vrn::ReaderLineCounts before = vrn::GetReaderLineCounts();
  uint64_t position = 0;
  for (;;) {
    vrn::HitRecord hit;
    uint64_t next = 0;
    const uint16_t r = vrn::ReadNextHit(handle, position, &hit, &next, vrn::kDefaultReadWindow);
    if (r == vrn::kReadHit) {
      result.hits.push_back(Hit{hit.HitTime, hit.ClientAddress, hit.UserName, hit.URL, hit.StatusCode, hit.Bytes});
      vrn::FreeHitLine(&hit);
    }
    if (r == vrn::kReadEnd || next <= position) break;
    position = next;
  }
  const vrn::ReaderLineCounts after = vrn::GetReaderLineCounts();
  result.lines = after.lines - before.lines;
  result.unrecognised = after.unrecognised - before.unrecognised;
  vrn::CloseLogSource(handle);
  return result;
}

const Row kFirst = {"1.1.1.1", "anna", "2024-03-09 08:00:05", "15", "120", "2048", "200", "/a.html", "-"};
const Row kSecond = {"2.2.2.2", "bob", "2024-03-10 12:30:00", "16", "130", "4096", "404", "/b.html", "-"};
const Row kThird = {"3.3.3.3", "carl", "2024-03-11 23:59:59", "17", "140", "777", "304", "/c.html", "-"};
const Hit kFirstHit = {UtcSeconds(2024, 3, 9, 8, 0, 5), "1.1.1.1", "anna", "/a.html", 200, 2048};
const Hit kSecondHit = {UtcSeconds(2024, 3, 10, 12, 30, 0), "2.2.2.2", "bob", "/b.html", 404, 4096};
const Hit kThirdHit = {UtcSeconds(2024, 3, 11, 23, 59, 59), "3.3.3.3", "carl", "/c.html", 304, 777};

struct TableCase {
  const char* what;
  std::vector<std::string> statements;
  std::vector<Hit> hits;     // in time order
  uint64_t lines;            // lines the reader counts
  uint64_t unrecognised;
  const char* refusal;       // a text the refusal shows; null when the log is read
};

std::vector<TableCase> Cases() {
  std::vector<TableCase> cases;
  const std::vector<Row> three = {kSecond, kFirst, kThird};  // stored out of time order
  const std::vector<Hit> threeHits = {kFirstHit, kSecondHit, kThirdHit};
  cases.push_back({"the columns in the log's order", MakeTable("hits", kInOrder, three), threeHits, 3, 0, nullptr});
  cases.push_back({"two columns swapped", MakeTable("hits", Order({0, 1, 2, 3, 4, 5, 6, 7, 12, 9, 10, 11, 8, 13}), three),
                   threeHits, 3, 0, nullptr});
  cases.push_back({"an id first", MakeTable("hits", Order({-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}), three),
                   threeHits, 3, 0, nullptr});
  cases.push_back({"the time first, in another order",
                   MakeTable("hits", Order({2, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 1, 0}), three), threeHits, 3, 0,
                   nullptr});
  cases.push_back({"names in other cases", MakeTable("hits", kInOrder, three), threeHits, 3, 0, nullptr});
  for (const char* from : {"ClientHost", "LogTime", "bytessent"}) {
    std::string& create = cases.back().statements[0];
    const size_t at = create.find(from);
    std::string upper = from;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    create.replace(at, upper.size(), upper);
  }
  {
    Row empty = {"4.4.4.4", "NULL", "2024-03-10 00:00:00", "NULL", "NULL", "NULL", "500", "/nulls.html", "NULL"};
    Row noTime = {"5.5.5.5", "eve", "NULL", "1", "1", "1", "200", "/notime.html", "-"};
    cases.push_back({"missing values", MakeTable("hits", kInOrder, {kFirst, noTime, empty, kThird}),
                     {kFirstHit, {UtcSeconds(2024, 3, 10, 0, 0, 0), "4.4.4.4", "", "/nulls.html", 500, 0}, kThirdHit},
                     4, 1, nullptr});
  }
  {
    // The time kept as text: a text that is no time is a row not recognised.
    Row bad = kSecond;
    bad.time = "not a time";
    cases.push_back({"a time of text that is no time", MakeTable("hits", kInOrder, {kFirst, bad, kThird}),
                     {kFirstHit, kThirdHit}, 3, 1, nullptr});
    std::string& create = cases.back().statements[0];
    create.replace(create.find("LogTime timestamp"), 17, "LogTime varchar(30)");
  }
  {
    Row big = kFirst;
    big.sent = "3221225472";
    big.received = "5000000000";
    big.elapsed = "9000000000";
    Row top = kSecond;
    top.sent = "4294967295";
    cases.push_back({"big numbers", MakeTable("hits", kInOrder, {big, top}),
                     {{kFirstHit.time, "1.1.1.1", "anna", "/a.html", 200, 3221225472u},
                      {kSecondHit.time, "2.2.2.2", "bob", "/b.html", 404, 4294967295u}},
                     2, 0, nullptr});
  }
  {
    Row quoted = {"6.6.6.6", "O'Brien", "2024-03-10 08:00:00", "1", "2", "3", "200", "/it's,here.html", "a=\"b\",c"};
    cases.push_back({"quotes and commas", MakeTable("hits", kInOrder, {quoted}),
                     {{UtcSeconds(2024, 3, 10, 8, 0, 0), "6.6.6.6", "O'Brien", "/it's,here.html?a=\"b\"%2Cc", 200, 3}},
                     1, 0, nullptr});
  }
  {
    // Preferred by its name in any case; a notes table listed before it.
    std::vector<std::string> statements = MakeTable("\"LogFile\"", kInOrder, three);
    statements.push_back("CREATE TABLE aaa_notes (id integer, note varchar(20))");
    cases.push_back({"a quoted table name", statements, threeHits, 3, 0, nullptr});
  }
  cases.push_back({"a table name with a space and a quote", MakeTable("\"web \"\"log\"\"\"", kInOrder, three), threeHits,
                   3, 0, nullptr});
  cases.push_back({"a table without a log column",
                   MakeTable("hits", Order({0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13}), three), {}, 0, 0,
                   "hits\" has no column \"bytesrecvd\";"});
  {
    // Fifteen columns, none of them the log's: another table altogether.
    std::string create = "CREATE TABLE aaa_orders (";
    for (int i = 0; i < 15; ++i) create += std::string(i > 0 ? ", " : "") + "c" + std::to_string(i) + " integer";
    std::vector<std::string> statements = {create + ")"};
    for (const std::string& s : MakeTable("hits", kInOrder, three)) statements.push_back(s);
    cases.push_back({"another table listed first", statements, {}, 0, 0,
                     "aaa_orders\" has no column \"ClientHost\", \"username\", \"LogTime\""});
  }
  return cases;
}

TEST_P(OdbcLogTables, EveryCaseReadsAsItsHits) {
  for (const TableCase& c : Cases()) {
    SCOPED_TRACE(c.what);
    NewDatabase();
    ASSERT_EQ(Exec(connect_, c.statements), "");
    Displayed().clear();
    boxes_.clear();
    const int prepared = vrn::PrepareODBCLogSource(connect_.c_str());
    if (c.refusal != nullptr) {
      EXPECT_EQ(prepared, 0);
      ASSERT_EQ(Displayed().size(), 1u);
      EXPECT_NE(Displayed()[0].find(c.refusal), std::string::npos) << Displayed()[0];
      EXPECT_TRUE(boxes_.empty());
      continue;
    }
    ASSERT_EQ(prepared, 1) << (boxes_.empty() ? "" : boxes_[0]);
    const ReadResult read = ReadAll("odbc:" + connect_);
    EXPECT_EQ(read.hits, c.hits);
    EXPECT_EQ(read.lines, c.lines) << "every row is a line";
    EXPECT_EQ(read.unrecognised, c.unrecognised);
    EXPECT_TRUE(boxes_.empty()) << boxes_[0];
    EXPECT_TRUE(Displayed().empty()) << Displayed()[0];
  }
}

// Rows written to the table after the log was prepared are left to the next
// run: the run reads the rows it counted, each once.
TEST_P(OdbcLogTables, RowsAddedWhileTheLogIsReadAreLeftToTheNextRun) {
  ASSERT_EQ(Exec(connect_, MakeTable("hits", kInOrder, {kThird, kFirst})), "");
  ASSERT_EQ(vrn::PrepareODBCLogSource(connect_.c_str()), 1);
  std::vector<std::string> more = MakeTable("hits", kInOrder, {kSecond, kSecond});
  more.erase(more.begin());
  ASSERT_EQ(Exec(connect_, more), "");
  const ReadResult read = ReadAll("odbc:" + connect_);
  EXPECT_EQ(read.hits, (std::vector<Hit>{kFirstHit, kThirdHit}));
  EXPECT_EQ(read.lines, 2u);
  VRN_CloseODBC(-1);
  ASSERT_EQ(vrn::PrepareODBCLogSource(connect_.c_str()), 1);
  EXPECT_EQ(ReadAll("odbc:" + connect_).hits, (std::vector<Hit>{kFirstHit, kSecondHit, kSecondHit, kThirdHit}));
}

// A source opened without preparation reads the rows by number on a
// scrollable cursor, where the driver is given its bookmark column.
TEST_P(OdbcLogTables, AnUnpreparedSourceReadsItsRows) {
  ASSERT_EQ(Exec(connect_, MakeTable("hits", Order({2, 0, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}),
                                     {kFirst, kSecond, kThird})),
            "");
  const vrn::LogSourceHandle handle = vrn::OpenLogSourceForReading(("odbc:" + connect_).c_str());
  ASSERT_NE(handle, vrn::kNoLogSource) << (boxes_.empty() ? "" : boxes_[0]);
  EXPECT_EQ(vrn::GetLogSourceSize(handle), 300u);
  vrn::LogSource* source = vrn::LogSourceRecord(handle);
  char line[vrn::kOdbcLineSize];
  uint64_t next = 0;
  ASSERT_EQ(vrn::FetchODBCLogLine(source, line, 200, &next), 3);
  EXPECT_EQ(std::string(line),
            "3.3.3.3, carl, 3/11/2024, 23:59:59, W3SVC1, WEB1, 10.0.0.1, 17, 140, 777, 304, 0, GET, /c.html, -, \r\n");
  ASSERT_EQ(vrn::FetchODBCLogLine(source, line, 0, &next), 3);
  EXPECT_EQ(std::string(line).substr(0, 8), "1.1.1.1,");
  EXPECT_EQ(vrn::CloseLogSource(handle), 1);
  EXPECT_TRUE(boxes_.empty()) << boxes_[0];
}

// A table outside the default schema, on the server only.
TEST_P(OdbcLogTables, ATableOfAnotherSchemaIsRead) {
  if (!Postgres()) GTEST_SKIP() << "SQLite has no schemas";
  std::vector<std::string> statements = {"CREATE SCHEMA weblogs"};
  for (const std::string& s : MakeTable("weblogs.hits", kInOrder, {kSecond, kFirst})) statements.push_back(s);
  ASSERT_EQ(Exec(connect_, statements), "");
  ASSERT_EQ(vrn::PrepareODBCLogSource(connect_.c_str()), 1) << (boxes_.empty() ? "" : boxes_[0]);
  EXPECT_STREQ(vrn::OdbcLogTableName(), "hits");
  EXPECT_EQ(ReadAll("odbc:" + connect_).hits, (std::vector<Hit>{kFirstHit, kSecondHit}));
}

// The memory a child process gains while it prepares a location and reads
// every row of it, in kB; -1 when the child failed. The rows read are
// written to *rows.
struct ReadJob {
  std::string location;
  int fd;  // the pipe the child writes its figures to
};
int ReadInChild(void* arg) {
  const ReadJob* job = static_cast<ReadJob*>(arg);
  long pages = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr || std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) return 1;
  std::fclose(statm);
  const long before = resident * (sysconf(_SC_PAGESIZE) / 1024);
  if (vrn::PrepareODBCLogSource(job->location.c_str() + 5) != 1) return 2;
  const vrn::LogSourceHandle handle = vrn::OpenLogSourceForReading(job->location.c_str());
  if (handle == vrn::kNoLogSource) return 3;
  vrn::LogSource* source = vrn::LogSourceRecord(handle);
  char line[vrn::kOdbcLineSize];
  uint64_t position = 0, next = 0, rows = 0;
  while (vrn::FetchODBCLogLine(source, line, position, &next) == 3) {
    ++rows;
    position = next;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const long figures[2] = {usage.ru_maxrss - before, static_cast<long>(rows)};
  if (write(job->fd, figures, sizeof(figures)) != static_cast<ssize_t>(sizeof(figures))) return 4;
  _exit(0);  // the parent's handles and servers are not the child's to end
}

// Memory gained (kB) and rows read by a child that reads the location.
std::pair<long, long> MeasureRead(const std::string& location) {
  int pipes[2];
  if (pipe(pipes) != 0) return {-1, -1};
  ReadJob job{location, pipes[1]};
  const int status = kv::test::RunInChild(&ReadInChild, &job);
  close(pipes[1]);
  long figures[2] = {-1, -1};
  const bool got = read(pipes[0], figures, sizeof(figures)) == static_cast<ssize_t>(sizeof(figures));
  close(pipes[0]);
  if (status != 0 || !got) {
    ADD_FAILURE() << "the child ended with " << status;
    return {-1, -1};
  }
  return {figures[0], figures[1]};
}

// A table of the given number of rows, a second apart, made by the data
// source itself; shuffled, the row stored i-th is at second i * 7919 mod
// rows (a prime that does not divide the count: every second once).
std::vector<std::string> GeneratedRows(bool postgres, long rows, bool shuffled = false) {
  const std::string values =
      "'10.0.' || (i % 250) || '.' || (i % 7), 'user' || (i % 50), %TIME%, 'W3SVC1', 'WEB1', '10.0.0.1', i % 1000, "
      "i % 5000, 1000 + i, 200, 0, 'GET', '/page' || (i % 1000) || '.html', 'q=' || i";
  std::string insert;
  if (postgres) {
    insert = "INSERT INTO hits SELECT " + values + " FROM generate_series(1, " + std::to_string(rows) + ") AS n(i)";
    insert.replace(insert.find("%TIME%"), 6,
                   std::string("timestamp '2024-01-01 00:00:00' + ") + (shuffled ? "(i * 7919) % " + std::to_string(rows) : "i") +
                       " * interval '1 second'");
  } else {
    insert = "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(rows) +
             ") INSERT INTO hits SELECT " + values + " FROM n";
    insert.replace(insert.find("%TIME%"), 6,
                   "datetime(1704067200 + " + (shuffled ? "(i * 7919) % " + std::to_string(rows) : std::string("i")) +
                       ", 'unixepoch')");
  }
  std::vector<std::string> statements = MakeTable("hits", kInOrder, {});
  statements.push_back(insert);
  return statements;
}

// Rows stored far out of time order, more of them than are read at a
// time: every row is read once, in time order.
TEST_P(OdbcLogTables, AShuffledTableIsReadInTimeOrderEveryRowOnce) {
  constexpr long kRows = 10000;
  ASSERT_EQ(Exec(connect_, GeneratedRows(Postgres(), kRows, true)), "");
  ASSERT_EQ(vrn::PrepareODBCLogSource(connect_.c_str()), 1);
  const vrn::LogSourceHandle handle = vrn::OpenLogSourceForReading(("odbc:" + connect_).c_str());
  ASSERT_NE(handle, vrn::kNoLogSource);
  vrn::LogSource* source = vrn::LogSourceRecord(handle);
  std::vector<bool> seen(kRows + 1, false);
  char line[vrn::kOdbcLineSize];
  uint64_t position = 0, next = 0;
  long rows = 0, second = 0;
  while (vrn::FetchODBCLogLine(source, line, position, &next) == 3) {
    // "..., GET, /pageN.html, q=I, ": the row's number is after "q=".
    const std::string text = line;
    const long i = std::stol(text.substr(text.rfind("q=") + 2));
    ASSERT_TRUE(i >= 1 && i <= kRows && !seen[i]) << text;
    seen[i] = true;
    const long at = (i * 7919) % kRows;
    ASSERT_EQ(at, second) << "row " << rows << ": " << text;
    ++second;
    ++rows;
    position = next;
  }
  EXPECT_EQ(rows, kRows);
  // Going back reads the same rows again.
  ASSERT_EQ(vrn::FetchODBCLogLine(source, line, 100, &next), 3);
  EXPECT_EQ(std::stol(std::string(line).substr(std::string(line).rfind("q=") + 2)) * 7919 % kRows, 1);
  vrn::CloseLogSource(handle);
}

// The memory of reading a log table does not grow with its rows beyond the
// row table's 8 bytes a row: a tenth of the rows takes about as much.
TEST_P(OdbcLogTables, AMillionRowsAreReadInFlatMemory) {
#ifdef KV_TEST_SANITIZER_ALLOCATOR
  GTEST_SKIP() << "the sanitizer's allocator keeps freed memory";
#endif
  if (GetParam() == Database::kPostgresAnsi) GTEST_SKIP() << "the pages are the server's: read once, with one driver";
  ASSERT_EQ(Exec(connect_, GeneratedRows(Postgres(), 100000)), "");
  const std::pair<long, long> small = MeasureRead("odbc:" + connect_);
  EXPECT_EQ(small.second, 100000);
  NewDatabase();
  ASSERT_EQ(Exec(connect_, GeneratedRows(Postgres(), 1000000)), "");
  const std::pair<long, long> large = MeasureRead("odbc:" + connect_);
  EXPECT_EQ(large.second, 1000000);
  std::fprintf(stderr, "memory gained reading 100,000 rows: %ld kB; 1,000,000 rows: %ld kB\n", small.first,
               large.first);
  // 900,000 rows more: 7 MB of row table, room for its growth, and some slack.
  EXPECT_LT(large.first - small.first, 24 * 1024);
  EXPECT_LT(large.first, 64 * 1024);
}

INSTANTIATE_TEST_SUITE_P(Databases, OdbcLogTables,
                         testing::Values(Database::kSqlite, Database::kPostgres, Database::kPostgresAnsi), DatabaseName);

}  // namespace
