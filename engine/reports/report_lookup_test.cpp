// Visitor rows of a report with the site's own data looked up by address:
// the lookup's row modes over a real SQLite data source through the ODBC
// driver manager, in the report the writer makes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <vornic/profile.h>

#include "engine/database/item_tables.h"
#include "engine/database/morvane_lookup.h"
#include "engine/database/odbc_library.h"
#include "engine/reports/report_driver_testutil.h"
#include "engine/reports/template_variables.h"
#include "platform/testsupport/odbc.h"

namespace {

std::string g_folder;

// Runs statements on the "sitedata" data source through a binding of its own.
void Exec(const std::vector<std::string>& statements) {
  vrn::OdbcBinding b;
  ASSERT_TRUE(vrn::LoadODBCBinding(&b));
  SQLHDBC connection = SQL_NULL_HDBC;
  ASSERT_TRUE(vrn::OdbcSucceeded(b.fn.AllocConnect(b.environment, &connection)));
  char dsn[] = "DSN=sitedata";
  ASSERT_TRUE(vrn::OdbcSucceeded(
      b.fn.DriverConnect(connection, nullptr, (SQLCHAR*)dsn, SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)));
  for (const std::string& sql : statements) {
    SQLHSTMT statement = SQL_NULL_HSTMT;
    ASSERT_TRUE(vrn::OdbcSucceeded(b.fn.AllocStmt(connection, &statement)));
    EXPECT_TRUE(vrn::OdbcSucceeded(b.fn.ExecDirect(statement, (SQLCHAR*)sql.c_str(), SQL_NTS))) << sql;
    b.fn.FreeStmt(statement, SQL_DROP);
  }
  b.fn.Disconnect(connection);
  b.fn.FreeConnect(connection);
  vrn::UnloadODBCBinding(&b);
}

class SiteData : public testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/kvsitedataXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    g_folder = pattern;
    const std::string driver = kv::test::FindSqliteDriver();
    ASSERT_FALSE(driver.empty()) << "the SQLite ODBC driver is not installed";
    ASSERT_TRUE(kv::test::WriteSqliteSources(g_folder, driver, {"sitedata"}));
    ASSERT_TRUE(kv::test::PinOdbcLibraries(driver));
    Exec({"CREATE TABLE hosts (addr varchar(50), owner varchar(255))",
          "INSERT INTO hosts VALUES ('10.0.0.1', 'Anna <Berg>')",
          "INSERT INTO hosts VALUES ('10.0.0.3', 'Carl')"});
  }
  void TearDown() override {
    vrn::DisconnectFromMorvaneDatabase();
    vrn::UnloadODBCLibrary();
    for (const char* f : {"odbcinst.ini", "odbc.ini", "sitedata.db"}) std::remove((g_folder + "/" + f).c_str());
    rmdir(g_folder.c_str());
  }
};
const testing::Environment* const g_env = testing::AddGlobalTestEnvironment(new SiteData);

class VisitorLookup : public drvtest::ReportFixture {
 protected:
  void SetUp() override {
    ReportFixture::SetUp();
    ASSERT_NE(MakeRun(), nullptr);
    lookup_ = AllocMorvane();
    std::strcpy(lookup_->DSN, "DSN=sitedata");
    std::strcpy(lookup_->Table, "hosts");
    std::strcpy(lookup_->KeyColumn, "addr");
    std::strcpy(lookup_->ReportTitle, "Owner");
    lookup_->Enabled = 1;
    lookup_->Columns = AllocMorvaneData();
    lookup_->Columns->DataType = SQL_VARCHAR;
    lookup_->Columns->ColumnNumber = 2;
    lookup_->Columns->ReportSequence = 0;
    profile_.MorvaneIP = lookup_;
    run_->profile = &profile_;
    // Three visitors, the second without a row in the site's data.
    AddItem(vrn::kTopUsers, "10.0.0.1", 9);
    AddItem(vrn::kTopUsers, "10.0.0.2", 5);
    AddItem(vrn::kTopUsers, "10.0.0.3", 2);
  }
  void TearDown() override {
    vrn::DisconnectFromMorvaneDatabase();
    run_->profile = nullptr;
    FreeMorvane(lookup_);
    ReportFixture::TearDown();
  }
  std::string Rows(uint32_t mode) {
    lookup_->ShowOnlyMorvane = mode;
    SetTemplate(
        "%%TopUserMorvaneTitle%%\r\n"
        "A %%TopUsersDesc[0]%% %%TopUserMorvaneData%% %%TopUsersHits[0]%%\r\n"
        "B %%TopUsersDesc[1]%% %%TopUserMorvaneData%% %%TopUsersHits[1]%%\r\n"
        "C %%TopUsersDesc[2]%% %%TopUserMorvaneData%% %%TopUsersHits[2]%%\r\n"
        "%%Close_MorvaneDomain%%END\r\n");
    // Each report starts its running rows afresh, as both report entry
    // points do before writing.
    vrn::ResetResolverCounters();
    std::string out;
    EXPECT_EQ(Write(&out), 1);
    return out;
  }

  DravelEntry profile_{};
  MorvaneSettings* lookup_ = nullptr;
};

TEST_F(VisitorLookup, RowModesOfTheSiteDataLookup) {
  // Mode 0: each row is the token's own; the data is text in the page.
  EXPECT_EQ(Rows(0),
            "Owner\r\nA 10.0.0.1 Anna &lt;Berg&gt; 9\r\nB 10.0.0.2  5\r\nC 10.0.0.3 Carl 2\r\nEND\r\n");
  // Mode 1: each token goes on to the next row with data.
  EXPECT_EQ(Rows(1), "Owner\r\nA 10.0.0.1 Anna &lt;Berg&gt; 9\r\nB 10.0.0.3 Carl 2\r\nEND\r\n");
  // Mode 2: all rows, one per token, with data or without.
  EXPECT_EQ(Rows(2),
            "Owner\r\nA 10.0.0.1 Anna &lt;Berg&gt; 9\r\nB 10.0.0.2  5\r\nC 10.0.0.3 Carl 2\r\nEND\r\n");
}

}  // namespace
