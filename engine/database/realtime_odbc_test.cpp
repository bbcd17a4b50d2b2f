// The realtime update on an ODBC store (the SQLite driver, a data source in
// a temporary folder) through the engine's exports: a day's save that the
// database refuses leaves the day as it was and is told as the failure it
// is.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <vornic/odbcstore.h>
#include <vornic/profile.h>
#include <vornic/realtime.h>
#include <vornic/registration.h>

#include "engine/database/accum_testutil.h"
#include "engine/database/odbc_library.h"
#include "engine/database/realtime_store.h"
#include "engine/network/dns_queue.h"
#include "platform/testsupport/odbc.h"
#include "platform/ui/msgbox.h"

namespace {

using accumtest::Wall;

const uint32_t kDay1 = Wall(2026, 3, 1, 0, 0, 0);

std::string g_sources;

class OdbcSources : public testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/kvrtodbcXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    g_sources = pattern;
    const std::string driver = kv::test::FindSqliteDriver();
    ASSERT_FALSE(driver.empty()) << "the SQLite ODBC driver is not installed";
    ASSERT_TRUE(kv::test::WriteSqliteSources(g_sources, driver, {"days"}));
    ASSERT_TRUE(kv::test::PinOdbcLibraries(driver));
  }
  void TearDown() override {
    vrn::UnloadODBCLibrary();
    for (const char* f : {"odbcinst.ini", "odbc.ini", "days.db"}) std::remove((g_sources + "/" + f).c_str());
    rmdir(g_sources.c_str());
  }
};
const testing::Environment* const g_env = testing::AddGlobalTestEnvironment(new OdbcSources);

std::string Stamp(uint32_t t) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const time_t v = t;
  struct tm f{};
  gmtime_r(&v, &f);
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%s/%04d:%02d:%02d:%02d +0000", f.tm_mday, kMonths[f.tm_mon],
                f.tm_year + 1900, f.tm_hour, f.tm_min, f.tm_sec);
  return text;
}

std::string Line(uint32_t t) { return "10.0.0.1 - - [" + Stamp(t) + "] \"GET /a.html HTTP/1.0\" 200 100\n"; }

// One value of a query on the data source, as text ("<none>" without a row).
std::string One(const std::string& sql) {
  const vrn::OdbcFunctions& fn = vrn::g_odbc.fn;
  EXPECT_NE(vrn::LoadODBCLibrary(), nullptr);
  SQLHDBC connection = SQL_NULL_HDBC;
  EXPECT_TRUE(vrn::OdbcSucceeded(fn.AllocConnect(vrn::g_odbc.environment, &connection)));
  char dsn[] = "DSN=days";
  EXPECT_TRUE(vrn::OdbcSucceeded(
      fn.DriverConnect(connection, nullptr, (SQLCHAR*)dsn, SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)));
  SQLHSTMT statement = SQL_NULL_HSTMT;
  EXPECT_TRUE(vrn::OdbcSucceeded(fn.AllocStmt(connection, &statement)));
  EXPECT_TRUE(vrn::OdbcSucceeded(fn.ExecDirect(statement, (SQLCHAR*)sql.c_str(), SQL_NTS))) << sql;
  std::string value = "<none>";
  char text[256] = "";
  SQLLEN indicator = 0;
  if (sql.rfind("SELECT", 0) == 0) {
    fn.BindCol(statement, 1, SQL_C_CHAR, text, sizeof text, &indicator);
    if (vrn::OdbcSucceeded(fn.Fetch(statement))) value = indicator == SQL_NULL_DATA ? "<null>" : text;
  }
  fn.FreeStmt(statement, SQL_DROP);
  fn.Disconnect(connection);
  fn.FreeConnect(connection);
  return value;
}

std::vector<uint32_t> g_errorIds;
// Numbered messages only (a text shown as it stands carries no number).
int32_t CaptureError(KvWindow, const char*, const char*, uint32_t a4, uint32_t, uint32_t) {
  if (a4 != 0) g_errorIds.push_back(a4);
  return 0;
}
int32_t Progress(uint32_t, const char*, uint32_t, int32_t, uint32_t) { return 0; }

class RealtimeOdbcTest : public accumtest::ContextFixture {
 protected:
  void SetUp() override {
    ContextFixture::SetUp();
    setenv("TZ", "UTC", 1);
    tzset();
    ASSERT_NE(MakeContext(), nullptr);
    ASSERT_TRUE(vrn::AllocateDNSFifo(64));
    std::remove((g_sources + "/days.db").c_str());
    profile_.RealtimeAnalysis = 1;
    profile_.PellavarFlag = vrn::kStoreOdbc;
    std::strcpy(profile_.ODBCPellavar, "DSN=days");
    std::snprintf(profile_.LogFilePath, sizeof profile_.LogFilePath, "%slogs/*.log", folder_.c_str());
    previousBox_ = kv::ui::SetMessageBoxHandler([this](const kv::ui::MessageBoxInfo& box) {
      boxes_.push_back(box.text);
      return 0;
    });
    g_errorIds.clear();
    savedError_ = glpfnDisplayReportError;
    glpfnDisplayReportError = &CaptureError;
    ASSERT_EQ(VRN_CreateODBCTables(&profile_), 1);
  }
  void TearDown() override {
    glpfnDisplayReportError = savedError_;
    kv::ui::SetMessageBoxHandler(previousBox_);
    vrn::CloseRealtimeStore();
    vrn::FreeDNSFifo();
    ContextFixture::TearDown();
    std::remove((g_sources + "/days.db").c_str());
  }
  void WriteLog(const std::string& text) { accumtest::WriteText(folder_ + "logs/access.log", text); }
  std::string Day1(const std::string& what) {
    return One("SELECT " + what + " WHERE StartTime = " + std::to_string(kDay1));
  }
  // The day's hits: the sum of its hourly hit counters (the template's
  // per-slot arrays, array 4).
  std::string Day1Hits() {
    return One(
        "SELECT sum(intervalValue) FROM KVLogDwordIntervalTable WHERE SummaryTableType = 268435454 AND DataType = 4 "
        "AND StartTime = " +
        std::to_string(kDay1));
  }

  DravelEntry profile_{};
  VrnDisplayErrorFn savedError_ = nullptr;
  kv::ui::MessageBoxHandler previousBox_;
  std::vector<std::string> boxes_;
};

TEST_F(RealtimeOdbcTest, ARefusedSaveLeavesTheDayAsItWasAndIsAFailure) {
  // The day holds two records; its newest second waits.
  WriteLog(Line(kDay1 + 100) + Line(kDay1 + 200) + Line(kDay1 + 300));
  ASSERT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_UP_TO_DATE));
  ASSERT_EQ(Day1("CurrentTime FROM KVLogMasterTable"), std::to_string(kDay1 + 200));
  ASSERT_EQ(Day1Hits(), "2");
  const std::string names = Day1("count(*) FROM KVLogNameTable");

  // The database refuses the day's template row: every row of the day is
  // written before it, and the old ones were deleted first.
  One("CREATE TRIGGER refuse BEFORE INSERT ON KVLogTemplateTable BEGIN SELECT RAISE(ABORT, 'refused'); END");
  WriteLog(Line(kDay1 + 100) + Line(kDay1 + 200) + Line(kDay1 + 300) + Line(kDay1 + 400) + Line(kDay1 + 500));
  for (int call = 0; call < 2; ++call) {
    // A failure, told through the error display and the result.
    EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_FAILED));
    EXPECT_EQ(Day1("CurrentTime FROM KVLogMasterTable"), std::to_string(kDay1 + 200));
    EXPECT_EQ(Day1Hits(), "2");
    EXPECT_EQ(Day1("count(*) FROM KVLogNameTable"), names);
  }
  EXPECT_EQ(g_errorIds, (std::vector<uint32_t>{5675, 5675}));
  EXPECT_FALSE(boxes_.empty());  // the driver's own text

  // Accepted again: the records after the stored ones are added once.
  One("DROP TRIGGER refuse");
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_UP_TO_DATE));
  EXPECT_EQ(Day1("CurrentTime FROM KVLogMasterTable"), std::to_string(kDay1 + 400));
  EXPECT_EQ(Day1Hits(), "4");
}

// The database ends the day's transaction itself when it refuses a delete
// (as SQLite does when its disk is full): nothing more is sent, so that no
// delete after it commits on its own, and every table of the day stays.
TEST_F(RealtimeOdbcTest, ADeleteThatEndsTheTransactionLeavesEveryTable) {
  WriteLog(Line(kDay1 + 100) + Line(kDay1 + 200) + Line(kDay1 + 300));
  ASSERT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_UP_TO_DATE));
  const char* const kTables[] = {"KVLogTemplateTable", "KVLogSummaryTable", "KVLogNameTable", "KVLogSortIndexTable",
                                 "KVLogDwordIntervalTable", "KVLogDoubleIntervalTable"};
  std::vector<std::string> before;
  for (const char* table : kTables) before.push_back(Day1(std::string("count(*) FROM ") + table));
  One("CREATE TRIGGER full BEFORE DELETE ON KVLogSortIndexTable BEGIN SELECT RAISE(ROLLBACK, 'full'); END");
  WriteLog(Line(kDay1 + 100) + Line(kDay1 + 200) + Line(kDay1 + 300) + Line(kDay1 + 400));
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_FAILED));
  for (size_t i = 0; i < before.size(); ++i)
    EXPECT_EQ(Day1(std::string("count(*) FROM ") + kTables[i]), before[i]) << kTables[i];
  EXPECT_EQ(Day1Hits(), "2");  // the newest second waits
  One("DROP TRIGGER full");
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_UP_TO_DATE));
  EXPECT_EQ(Day1Hits(), "3");
}

// A day whose rows are damaged is read again from the log into a context of
// its own: the counters of the failed load do not stay.
TEST_F(RealtimeOdbcTest, ADamagedDayIsBuiltAgainFromNothing) {
  WriteLog(Line(kDay1 + 100) + Line(kDay1 + 200) + Line(kDay1 + 300));
  ASSERT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_UP_TO_DATE));
  ASSERT_EQ(Day1Hits(), "2");  // the newest second waits
  ASSERT_EQ(Day1("TodaysHits FROM KVLogTemplateTable"), "2");
  // The day's tables lose their items: the template loads, the tables do not.
  One("DELETE FROM KVLogNameTable WHERE StartTime = " + std::to_string(kDay1));
  WriteLog(Line(kDay1 + 100) + Line(kDay1 + 200) + Line(kDay1 + 300) + Line(kDay1 + 400));
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_UP_TO_DATE));
  EXPECT_EQ(Day1Hits(), "3");
  EXPECT_EQ(Day1("TodaysHits FROM KVLogTemplateTable"), "3");
}

}  // namespace
