// The site database lookup against the real driver manager and the SQLite
// ODBC driver, with a data source in a temporary folder.
#include "engine/database/morvane_lookup.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "engine/database/odbc_library.h"
#include "platform/module/module.h"
#include "platform/testsupport/odbc.h"
#include "platform/ui/msgbox.h"

namespace {

using namespace vrn;

std::string g_folder;

using kv::test::FindSqliteDriver;

// Runs statements on the "lookup" data source through a binding of its own.
void Exec(const std::vector<std::string>& statements) {
  OdbcBinding b;
  ASSERT_TRUE(LoadODBCBinding(&b));
  SQLHDBC connection = SQL_NULL_HDBC;
  ASSERT_TRUE(OdbcSucceeded(b.fn.AllocConnect(b.environment, &connection)));
  char dsn[] = "DSN=lookup";
  ASSERT_TRUE(OdbcSucceeded(
      b.fn.DriverConnect(connection, nullptr, (SQLCHAR*)dsn, SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)));
  for (const std::string& sql : statements) {
    SQLHSTMT statement = SQL_NULL_HSTMT;
    ASSERT_TRUE(OdbcSucceeded(b.fn.AllocStmt(connection, &statement)));
    EXPECT_TRUE(OdbcSucceeded(b.fn.ExecDirect(statement, (SQLCHAR*)sql.c_str(), SQL_NTS))) << sql;
    b.fn.FreeStmt(statement, SQL_DROP);
  }
  b.fn.Disconnect(connection);
  b.fn.FreeConnect(connection);
  UnloadODBCBinding(&b);
}

class OdbcFolder : public testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/kvlookupXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    g_folder = pattern;
    const std::string driver = FindSqliteDriver();
    ASSERT_FALSE(driver.empty()) << "the SQLite ODBC driver is not installed";
    ASSERT_TRUE(kv::test::WriteSqliteSources(g_folder, driver, {"lookup"}));
    ASSERT_TRUE(kv::test::PinOdbcLibraries(driver));
    Exec({"CREATE TABLE hosts (addr varchar(50), owner varchar(255), visits integer, ratio double, seen date)",
          "INSERT INTO hosts VALUES ('10.0.0.1', 'Anna Berg', 12, 0.5, '2026-03-10')",
          "INSERT INTO hosts VALUES ('10.0.0.2', NULL, 3, 1.25, NULL)",
          "INSERT INTO hosts VALUES ('10.0.0.3', '" + std::string(280, 'w') + "', 0, 0, NULL)",
          "CREATE TABLE people (login varchar(50), fullname varchar(100))",
          "INSERT INTO people VALUES ('anna', 'Anna Berg')"});
  }
  void TearDown() override {
    DisconnectFromMorvaneDatabase();
    UnloadODBCLibrary();
    for (const char* f : {"odbcinst.ini", "odbc.ini", "lookup.db"}) std::remove((g_folder + "/" + f).c_str());
    rmdir(g_folder.c_str());
  }
};
const testing::Environment* const g_env = testing::AddGlobalTestEnvironment(new OdbcFolder);

struct Col {
  uint32_t dataType;
  uint32_t columnNumber;
  uint32_t sequence;
};

MorvaneSettings* MakeSettings(const char* table, const char* key, const std::vector<Col>& columns) {
  MorvaneSettings* m = AllocMorvane();
  std::strcpy(m->DSN, "DSN=lookup");
  std::strcpy(m->Table, table);
  std::strcpy(m->KeyColumn, key);
  m->Enabled = 1;
  MorvaneColumn** tail = &m->Columns;
  for (const Col& c : columns) {
    MorvaneColumn* column = AllocMorvaneData();
    column->DataType = c.dataType;
    column->ColumnNumber = c.columnNumber;
    column->ReportSequence = c.sequence;
    *tail = column;
    tail = &column->Next;
  }
  return m;
}

class MorvaneLookupTest : public testing::Test {
 protected:
  void SetUp() override {
    previous_ = kv::ui::SetMessageBoxHandler([this](const kv::ui::MessageBoxInfo& box) {
      boxes_.push_back(box.caption + "|" + box.text);
      return 0;
    });
  }
  void TearDown() override {
    DisconnectFromMorvaneDatabase();
    FreeMorvane(profile_.MorvaneIP);
    FreeMorvane(profile_.MorvaneAuthUser);
    kv::ui::SetMessageBoxHandler(previous_);
  }

  // Connects and prepares the address form with the given columns of hosts.
  void Address(const std::vector<Col>& columns) {
    FreeMorvane(profile_.MorvaneIP);
    profile_.MorvaneIP = MakeSettings("hosts", "addr", columns);
    ASSERT_EQ(ConnectToMorvaneDatabase(profile_.MorvaneIP), 1);
    ASSERT_EQ(PrepareMorvaneIPQuery(&profile_), 1);
  }

  std::string ByIP(const char* key, int expected = 1, size_t size = 2000) {
    std::vector<char> out(size, 'x');
    EXPECT_EQ(GetMorvaneDataByIP(&profile_, key, out.data(), out.size()), expected) << key;
    EXPECT_NE(std::memchr(out.data(), 0, out.size()), nullptr);
    return out.data();
  }

  DravelEntry profile_{};
  std::vector<std::string> boxes_;
  kv::ui::MessageBoxHandler previous_;
};

TEST_F(MorvaneLookupTest, ValuesAreJoinedInReportSequence) {
  struct Case {
    const char* what;
    std::vector<Col> columns;
    const char* key;
    std::string expected;
  };
  const Case cases[] = {
      {"three in sequence, listed out of order",
       {{SQL_DOUBLE, 4, 2}, {SQL_VARCHAR, 2, 0}, {SQL_INTEGER, 3, 1}},
       "10.0.0.1",
       "Anna Berg<BR>12<BR>0.500000"},
      {"a gap in the sequence ends the values", {{SQL_VARCHAR, 2, 0}, {SQL_INTEGER, 3, 2}}, "10.0.0.1", "Anna Berg"},
      {"no column of sequence 0", {{SQL_VARCHAR, 2, 1}}, "10.0.0.1", ""},
      {"null and unprinted types give empty values",
       {{SQL_CHAR, 2, 0}, {SQL_TYPE_DATE, 5, 1}, {SQL_REAL, 4, 2}},
       "10.0.0.2",
       "<BR><BR>1.250000"},
      {"text is cut at 250 characters", {{SQL_VARCHAR, 2, 0}}, "10.0.0.3", std::string(250, 'w')},
      {"a key without a row", {{SQL_VARCHAR, 2, 0}}, "10.9.9.9", ""},
      {"a quote in the key is only data", {{SQL_VARCHAR, 2, 0}}, "x' OR '1'='1", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DisconnectFromMorvaneDatabase();
    Address(c.columns);
    EXPECT_EQ(ByIP(c.key), c.expected);
    // The statement stays prepared for the next key.
    EXPECT_EQ(ByIP("10.0.0.1").empty(), c.columns[0].sequence != 0 && c.columns.size() == 1);
  }
  EXPECT_TRUE(boxes_.empty()) << boxes_[0];
}

TEST_F(MorvaneLookupTest, OutputStaysWithinTheCallersBuffer) {
  Address({{SQL_VARCHAR, 2, 0}, {SQL_INTEGER, 3, 1}});
  EXPECT_EQ(ByIP("10.0.0.1", 1, 6), "Anna ");
  EXPECT_EQ(ByIP("10.0.0.1", 1, 1), "");
}

TEST_F(MorvaneLookupTest, OneConnectionServesBothForms) {
  profile_.MorvaneAuthUser = MakeSettings("people", "login", {{SQL_VARCHAR, 2, 0}});
  // Settings without a key column never connect.
  MorvaneSettings* noKey = MakeSettings("hosts", "", {{SQL_VARCHAR, 2, 0}});
  EXPECT_EQ(ConnectToMorvaneDatabase(noKey), 0);
  EXPECT_FALSE(MorvaneLookupConnected());
  EXPECT_EQ(ConnectToMorvaneDatabase(nullptr), 0);
  // Before connecting nothing can be prepared or looked up.
  char out[64] = "x";
  EXPECT_EQ(PrepareMorvaneUserQuery(&profile_), 0);
  EXPECT_EQ(GetMorvaneDataByUser(&profile_, "anna", out, sizeof out), 0);
  EXPECT_STREQ(out, "");

  ASSERT_EQ(ConnectToMorvaneDatabase(profile_.MorvaneAuthUser), 1);
  // A second connect with other settings keeps the first connection.
  EXPECT_EQ(ConnectToMorvaneDatabase(noKey), 1);
  FreeMorvane(noKey);
  ASSERT_EQ(PrepareMorvaneUserQuery(&profile_), 1);
  EXPECT_EQ(GetMorvaneDataByUser(&profile_, "anna", out, sizeof out), 1);
  EXPECT_STREQ(out, "Anna Berg");
  // The address form of the same connection.
  profile_.MorvaneIP = MakeSettings("hosts", "addr", {{SQL_INTEGER, 3, 0}});
  ASSERT_EQ(PrepareMorvaneIPQuery(&profile_), 1);
  EXPECT_EQ(ByIP("10.0.0.1"), "12");

  // The lookup's binding is its own: the shared one is left as it was.
  const KvModule shared = LoadODBCLibrary();
  ASSERT_NE(shared, nullptr);
  const SQLHENV environment = g_odbc.environment;
  DisconnectFromMorvaneDatabase();
  EXPECT_FALSE(MorvaneLookupConnected());
  EXPECT_EQ(g_odbc.module, shared);
  EXPECT_EQ(g_odbc.environment, environment);
  EXPECT_EQ(GetMorvaneDataByUser(&profile_, "anna", out, sizeof out), 0);
  // Disconnecting again only clears the flag.
  DisconnectFromMorvaneDatabase();
  EXPECT_FALSE(MorvaneLookupConnected());
  EXPECT_TRUE(boxes_.empty()) << boxes_[0];
}

TEST_F(MorvaneLookupTest, DriverErrorsAreShownAndFail) {
  profile_.MorvaneIP = MakeSettings("missing_table", "addr", {{SQL_VARCHAR, 2, 0}});
  ASSERT_EQ(ConnectToMorvaneDatabase(profile_.MorvaneIP), 1);
  EXPECT_EQ(PrepareMorvaneIPQuery(&profile_), 0);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].rfind("ODBC Error|SQLPrepare: ", 0), 0u) << boxes_[0];
  EXPECT_EQ(ByIP("10.0.0.1", 0), "");
  // A failed statement is not kept: the next use prepares it again.
  EXPECT_EQ(PrepareMorvaneIPQuery(&profile_), 0);
  EXPECT_EQ(boxes_.size(), 2u);
  DisconnectFromMorvaneDatabase();

  // An unknown data source does not connect.
  DisconnectFromMorvaneDatabase();
  MorvaneSettings* nowhere = MakeSettings("hosts", "addr", {{SQL_VARCHAR, 2, 0}});
  std::strcpy(nowhere->DSN, "DSN=nowhere");
  boxes_.clear();
  EXPECT_EQ(ConnectToMorvaneDatabase(nowhere), 0);
  EXPECT_FALSE(MorvaneLookupConnected());
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].rfind("ODBC Error|Error connecting to driver: ", 0), 0u) << boxes_[0];
  FreeMorvane(nowhere);
}

}  // namespace
