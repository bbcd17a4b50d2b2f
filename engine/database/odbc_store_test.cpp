// The ODBC result store against the real driver manager and the SQLite ODBC
// driver, with a data source in a temporary folder.
#include "engine/database/odbc_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "engine/database/item_tables.h"
#include "engine/database/odbc_fuzz_rows.h"
#include "engine/database/report_ranges.h"
#include "platform/testsupport/odbc.h"
#include "platform/testsupport/sanitizers.h"
#include "platform/testsupport/timezone.h"
#include "platform/ui/msgbox.h"


namespace {

using namespace vrn;

std::string g_folder;

using kv::test::FindSqliteDriver;
using kv::test::UtcSeconds;

class OdbcFolder : public testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/kvodbcstoreXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    g_folder = pattern;
    const std::string driver = FindSqliteDriver();
    ASSERT_FALSE(driver.empty()) << "the SQLite ODBC driver is not installed";
    ASSERT_TRUE(kv::test::WriteSqliteSources(g_folder, driver, {"store"}));
    ASSERT_TRUE(kv::test::PinOdbcLibraries(driver));
  }
  void TearDown() override {
    UnloadODBCLibrary();
    for (const char* f : {"odbcinst.ini", "odbc.ini", "store.db"}) std::remove((g_folder + "/" + f).c_str());
    rmdir(g_folder.c_str());
  }
};
const testing::Environment* const g_env = testing::AddGlobalTestEnvironment(new OdbcFolder);

using Rows = std::vector<std::vector<std::string>>;

// Runs statements on the store's data source; a statement that starts with
// SELECT returns its rows as texts (columns bound as text).
Rows Sql(const std::string& sql) {
  Rows rows;
  EXPECT_NE(LoadODBCLibrary(), nullptr);
  const OdbcFunctions& fn = g_odbc.fn;
  SQLHDBC connection = SQL_NULL_HDBC;
  EXPECT_TRUE(OdbcSucceeded(fn.AllocConnect(g_odbc.environment, &connection)));
  char dsn[] = "DSN=store";
  EXPECT_TRUE(OdbcSucceeded(fn.DriverConnect(connection, nullptr, (SQLCHAR*)dsn, SQL_NTS, nullptr, 0, nullptr,
                                             SQL_DRIVER_NOPROMPT)));
  SQLHSTMT statement = SQL_NULL_HSTMT;
  EXPECT_TRUE(OdbcSucceeded(fn.AllocStmt(connection, &statement)));
  EXPECT_TRUE(OdbcSucceeded(fn.ExecDirect(statement, (SQLCHAR*)sql.c_str(), SQL_NTS))) << sql;
  if (sql.rfind("SELECT", 0) == 0) {
    // The selected columns: one more than the commas before " FROM ".
    const std::string list = sql.substr(0, sql.find(" FROM "));
    const int columns = 1 + static_cast<int>(std::count(list.begin(), list.end(), ','));
    char values[8][2000];
    SQLLEN indicators[8];
    for (int i = 0; i < columns; ++i) fn.BindCol(statement, i + 1, SQL_C_CHAR, values[i], sizeof values[i], &indicators[i]);
    while (OdbcSucceeded(fn.Fetch(statement))) {
      std::vector<std::string> row;
      for (int i = 0; i < columns; ++i) row.emplace_back(indicators[i] == SQL_NULL_DATA ? "<null>" : values[i]);
      rows.push_back(row);
    }
  }
  fn.FreeStmt(statement, SQL_DROP);
  fn.Disconnect(connection);
  fn.FreeConnect(connection);
  return rows;
}

std::string One(const std::string& sql) {
  Rows rows = Sql(sql);
  return rows.empty() || rows[0].empty() ? "<none>" : rows[0][0];
}

int KvTableCount() {
  return std::atoi(One("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name LIKE 'KVLog%'").c_str());
}


class OdbcStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    std::remove((g_folder + "/store.db").c_str());
    std::strcpy(profile_.ODBCPellavar, "DSN=store");
    profile_.RealtimeAnalysis = 1;
    profile_.PellavarFlag = kStoreOdbc;
    previous_ = kv::ui::SetMessageBoxHandler([this](const kv::ui::MessageBoxInfo& box) {
      boxes_.push_back(box.caption + "|" + box.text);
      return 0;
    });
    context_ = static_cast<AnalysisContext*>(std::calloc(1, sizeof(AnalysisContext)));
    loaded_ = static_cast<AnalysisContext*>(std::calloc(1, sizeof(AnalysisContext)));
  }
  void TearDown() override {
    DisconnectFromODBCDatabase(&store_);
    FreeItemTables(&context_->templ);
    FreeItemTables(&loaded_->templ);
    std::free(context_);
    std::free(loaded_);
    kv::ui::SetMessageBoxHandler(previous_);
    std::remove((g_folder + "/store.db").c_str());
  }

  void Open() {
    ASSERT_EQ(VRN_CreateODBCTables(&profile_), 1);
    store_.kind = kStoreOdbc;
    store_.master = KV_INVALID_FILE;
    store_.profile = &profile_;
    ASSERT_EQ(ConnectToODBCDatabase(&store_), 1);
    EXPECT_NE(profile_.ODBCConnection, nullptr);
  }

  MasterRecord Day(uint32_t t, uint32_t lastAdded = 0) {
    MasterRecord r{};
    r.start = GetIntervalStart(0, t);
    r.end = GetIntervalEnd(0, r.start);
    r.lastAdded = lastAdded;
    return r;
  }

  NameTableEntry* Item(uint32_t table, const char* name) {
    SummaryTableEntry* t = &context_->templ.TopTablesPtr[table];
    const uint32_t n = AddNameToTable(t, name);
    EXPECT_NE(n, 0u);
    return t->ItemBlock[n - 1];
  }

  static SearchDetailEntry** Details(const char* name, uint32_t hits, uint32_t visits) {
    auto** list = static_cast<SearchDetailEntry**>(std::calloc(1, sizeof(SearchDetailEntry*)));
    list[0] = static_cast<SearchDetailEntry*>(std::calloc(1, sizeof(SearchDetailEntry)));
    list[0]->hits = hits;
    list[0]->visits = visits;
    list[0]->text = strdup(name);
    return list;
  }

  // A day with a document table item, a visit with related-item lists and
  // a trail, and one search pair seen from both sides.
  void FillDay() {
    TemplateRecord& T = context_->templ;
    ASSERT_EQ(CreateItemTables(&T), 41u);
    ASSERT_EQ(CreateSessionTable(&T), 1);
    T.TodaysHits = 42;
    T.Failed404 = 3;
    T.TodayDateTime = UtcSeconds(2026, 3, 10, 23);
    T.SlotHits[0] = 1;
    T.SlotHits[31] = 9;
    T.SlotBytes[5] = 2048.5;

    NameTableEntry* doc = Item(kTopDocuments, "/index.html");
    doc->PrevLink = kNoItem;
    doc->NextLink = 0;
    doc->LastDateTime = kNoItem;
    doc->TotalBytes = 1234.75;
    doc->TotalByHits = 7;
    doc->SlotHits[3] = 5;
    doc->SlotUsers[31] = 2;
    // Counts above the signed range travel as the unsigned values they are.
    Item(kTopDocuments, "/about.html")->TotalByHits = 4000000000u;

    NameTableEntry* keyword = Item(kTopSearchKeywords, "shoes");
    keyword->TopNames = Details("Finder", 3, 1);
    keyword->TopNamesCount = 1;
    NameTableEntry* engine = Item(kTopSearchEngines, "Finder");
    engine->TopNames = Details("shoes", 3, 1);
    engine->TopNamesCount = 1;

    const uint32_t v = AddNameToTable(T.TopUsersPtr, "10.0.0.1");
    ASSERT_NE(v, 0u);
    NameTableEntry* visit = T.TopUsersPtr->ItemBlock[v - 1];
    ASSERT_EQ(CreateItemTopNames(visit), 1);
    TopNameList& docs = visit->Lists()[kListDocuments];
    docs.values = static_cast<uint16_t*>(std::malloc(2 * sizeof(uint16_t)));
    docs.values[0] = 1;
    docs.values[1] = 0;
    docs.count = 2;
    TopNameList& trail = visit->Lists()[kListTrail];
    trail.trail = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t)));
    trail.trail[0] = 0x10004;
    trail.count = 1;
  }

  DravelEntry profile_{};
  RealtimeStore store_{};
  AnalysisContext* context_ = nullptr;
  AnalysisContext* loaded_ = nullptr;
  std::vector<std::string> boxes_;
  kv::ui::MessageBoxHandler previous_;
};

TEST_F(OdbcStoreTest, SchemaIsCreatedOnceAndDroppedWithTheStore) {
  EXPECT_EQ(VRN_CreateODBCTables(&profile_), 1);
  EXPECT_EQ(KvTableCount(), 10);
  const std::string integer = OdbcIntegerTypeName();
  const std::string text = OdbcTextTypeName();
  EXPECT_EQ(One("SELECT sql FROM sqlite_master WHERE name = 'KVLogMasterTable'"),
            "CREATE TABLE KVLogMasterTable (StartTime " + integer + ", CurrentTime " + integer + ", EndTime " +
                integer + ", Today " + text + "(60))");
  EXPECT_EQ(One("SELECT sql FROM sqlite_master WHERE name = 'IDXKVLogDwordIntervalTable'"),
            "CREATE INDEX IDXKVLogDwordIntervalTable ON KVLogDwordIntervalTable (StartTime ASC, SummaryTableType "
            "ASC, kvArrayOrder ASC, DataType ASC)");
  const std::string names = One("SELECT sql FROM sqlite_master WHERE name = 'KVLogNameTable'");
  EXPECT_NE(names.find("kvString " + text + "(250)"), std::string::npos) << names;

  // Present already: reported as existing, nothing created.
  EXPECT_EQ(VRN_DoODBCTablesExist(&profile_), 1);
  EXPECT_EQ(VRN_CreateODBCTables(&profile_), 0);
  // With only the master table missing the check stops at the first table.
  Sql("DROP TABLE KVLogSortIndexTable");
  EXPECT_EQ(VRN_DoODBCTablesExist(&profile_), 1);
  EXPECT_EQ(KvTableCount(), 9);

  VRN_DeleteODBCDatabase(&profile_);
  EXPECT_EQ(KvTableCount(), 0);
  EXPECT_EQ(VRN_CreateODBCTables(&profile_), 1);
  EXPECT_EQ(KvTableCount(), 10);
  EXPECT_TRUE(boxes_.empty()) << boxes_[0];
  EXPECT_EQ(profile_.ODBCConnection, nullptr);

  // Deletion is for ODBC realtime profiles only.
  profile_.PellavarFlag = kStoreFiles;
  VRN_DeleteODBCDatabase(&profile_);
  EXPECT_EQ(KvTableCount(), 10);
}

TEST_F(OdbcStoreTest, UnknownDataSourceFailsWithTheDriverMessage) {
  std::strcpy(profile_.ODBCPellavar, "DSN=nowhere");
  EXPECT_EQ(VRN_CreateODBCTables(&profile_), 0);
  EXPECT_EQ(VRN_DoODBCTablesExist(&profile_), 0);
  ASSERT_FALSE(boxes_.empty());
  EXPECT_EQ(boxes_[0].rfind("ODBC Error|Error connecting to driver: ", 0), 0u) << boxes_[0];
  store_.kind = kStoreOdbc;
  store_.profile = &profile_;
  EXPECT_EQ(ConnectToODBCDatabase(&store_), 0);
  EXPECT_EQ(store_.odbc, nullptr);
}

TEST_F(OdbcStoreTest, DoublesAreStoredAsWholeNumbers) {
  struct Case {
    double value;
    const char* text;
    bool ok;
  };
  const Case cases[] = {{1234.75, "1234", true},
                        {0.5, "0", true},
                        {-2.5, "-2", true},
                        {0.0, "0", true}};
  for (const Case& c : cases) {
    char text[32] = "x";
    EXPECT_EQ(FormatOdbcDouble(c.value, text), c.ok) << c.value;
    EXPECT_STREQ(text, c.text);
  }
  EXPECT_TRUE(boxes_.empty());
  // 29 digits fit; 30 are refused with a message and an empty text.
  char text[32] = "x";
  EXPECT_TRUE(FormatOdbcDouble(5e28, text));
  EXPECT_EQ(std::strlen(text), 29u);
  EXPECT_FALSE(FormatOdbcDouble(5e29, text));
  EXPECT_STREQ(text, "");
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0], "ODBC Error|Double value larger than 29 digits");
  EXPECT_EQ(ParseOdbcDouble("1234"), 1234.0);
  EXPECT_EQ(ParseOdbcDouble(""), 0.0);
}

TEST_F(OdbcStoreTest, DayIsWrittenAsRowsAndReadBack) {
  Open();
  FillDay();
  const MasterRecord day = Day(UtcSeconds(2026, 3, 10, 12), UtcSeconds(2026, 3, 10, 18));
  ASSERT_EQ(SaveDayToODBC(&store_, &context_->templ, &day), 1);
  EXPECT_EQ(context_->templ.TopTablesPtr, nullptr);  // the tables are released after the save
  const std::string where = " WHERE StartTime = " + std::to_string(day.start);

  // Stored forms: -1 links, bytes cut at the decimal point, non-zero slots.
  EXPECT_EQ(Sql("SELECT kvPrevLink, kvNextLink, kvLastDateTime, kvTotalBytes, kvString FROM KVLogNameTable" + where +
                " AND SummaryTableType = 7 AND kvArrayOrder = 0"),
            (Rows{{"268435453", "0", "268435453", "1234", "/index.html"}}));
  EXPECT_EQ(Sql("SELECT kvArrayOrder, DataType, IntervalNumber, intervalValue FROM KVLogDwordIntervalTable" + where +
                " AND SummaryTableType = 7 ORDER BY kvArrayOrder, DataType"),
            (Rows{{"0", "9", "3", "5"}, {"0", "10", "31", "2"}}));
  EXPECT_EQ(Sql("SELECT DataType, IntervalNumber, intervalValue FROM KVLogDwordIntervalTable" + where +
                " AND SummaryTableType = 268435454 ORDER BY IntervalNumber"),
            (Rows{{"4", "0", "1"}, {"4", "31", "9"}}));
  EXPECT_EQ(Sql("SELECT DataType, IntervalNumber, intervalValue FROM KVLogDoubleIntervalTable" + where),
            (Rows{{"11", "5", "2048"}}));
  // Search pairs: an engine item's keyword goes to the keyword rows, a
  // keyword item's engine to the engine rows.
  EXPECT_EQ(Sql("SELECT Keyword, Engine, kvHits, kvSessions FROM KVLogSearchKeyword" + where),
            (Rows{{"shoes", "Finder", "3", "1"}}));
  EXPECT_EQ(Sql("SELECT Engine, Keyword FROM KVLogSearchEngine" + where), (Rows{{"Finder", "shoes"}}));
  EXPECT_EQ(Sql("SELECT NameTableIndex, NameTableType, TopNameValue FROM KVLogTopNameTable" + where +
                " ORDER BY NameTableType, TopNameValue"),
            (Rows{{"0", "0", "0"}, {"0", "0", "1"}, {"0", "11", "65540"}}));
  EXPECT_EQ(Sql("SELECT kvCount, SortIndexCount, DeleteCount FROM KVLogSummaryTable" + where +
                " AND SummaryTableType IN (7, 268435455) ORDER BY SummaryTableType"),
            (Rows{{"2", "2", "0"}, {"1", "1", "0"}}));
  EXPECT_EQ(One("SELECT count(*) FROM KVLogSummaryTable" + where), "42");
  EXPECT_EQ(Sql("SELECT CurrentTime, EndTime FROM KVLogMasterTable" + where),
            (Rows{{std::to_string(day.lastAdded), std::to_string(day.end)}}));
  EXPECT_EQ(Sql("SELECT TodaysHits, Failed404, TopTablesCount FROM KVLogTemplateTable" + where),
            (Rows{{"42", "3", "41"}}));

  // Saving the day again replaces its rows.
  const std::string names = One("SELECT count(*) FROM KVLogNameTable");
  FillDay();
  ASSERT_EQ(SaveDayToODBC(&store_, &context_->templ, &day), 1);
  EXPECT_EQ(One("SELECT count(*) FROM KVLogNameTable"), names);
  EXPECT_EQ(One("SELECT count(*) FROM KVLogMasterTable"), "1");

  ASSERT_EQ(LoadDayFromODBC(&store_, loaded_, &day), kDbLoaded);
  const TemplateRecord& L = loaded_->templ;
  EXPECT_EQ(L.TodaysHits, 42u);
  EXPECT_EQ(L.Failed404, 3u);
  EXPECT_EQ(L.TodayDateTime, UtcSeconds(2026, 3, 10, 23));
  EXPECT_STREQ(L.Today, "March 10, 2026");
  EXPECT_EQ(L.SlotHits[0], 1u);
  EXPECT_EQ(L.SlotHits[31], 9u);
  EXPECT_EQ(L.SlotBytes[5], 2048.0);
  ASSERT_EQ(L.TopTablesCount, 41u);
  ASSERT_NE(L.TopTablesPtr, nullptr);
  const SummaryTableEntry& docs = L.TopTablesPtr[kTopDocuments];
  ASSERT_EQ(docs.Count, 2u);
  ASSERT_GE(docs.ChunkSize, 2u);
  const NameTableEntry* doc = docs.ItemBlock[0];
  EXPECT_STREQ(doc->String, "/index.html");
  EXPECT_EQ(doc->PrevLink, kNoItem);
  EXPECT_EQ(doc->LastDateTime, kNoItem);
  EXPECT_EQ(doc->NextLink, 0u);
  EXPECT_EQ(doc->TotalBytes, 1234.0);
  EXPECT_EQ(doc->TotalByHits, 7u);
  EXPECT_EQ(doc->SlotHits[3], 5u);
  EXPECT_EQ(doc->SlotUsers[31], 2u);
  EXPECT_STREQ(docs.ItemBlock[1]->String, "/about.html");
  EXPECT_EQ(docs.ItemBlock[1]->TotalByHits, 4000000000u);
  // The name order survives: "/about.html" sorts first.
  EXPECT_EQ(docs.SortIndex[0], 1u);
  EXPECT_EQ(docs.SortIndex[1], 0u);

  const NameTableEntry* engine = L.TopTablesPtr[kTopSearchEngines].ItemBlock[0];
  ASSERT_EQ(engine->TopNamesCount, 1u);
  EXPECT_STREQ(engine->Details()[0]->text, "shoes");
  EXPECT_EQ(engine->Details()[0]->hits, 3u);
  EXPECT_EQ(engine->Details()[0]->visits, 1u);
  const NameTableEntry* keyword = L.TopTablesPtr[kTopSearchKeywords].ItemBlock[0];
  ASSERT_EQ(keyword->TopNamesCount, 1u);
  EXPECT_STREQ(keyword->Details()[0]->text, "Finder");

  ASSERT_NE(L.TopUsersPtr, nullptr);
  ASSERT_EQ(L.TopUsersPtr->Count, 1u);
  const NameTableEntry* visit = L.TopUsersPtr->ItemBlock[0];
  EXPECT_STREQ(visit->String, "10.0.0.1");
  ASSERT_EQ(visit->TopNamesCount, kTopNameListCount);
  const TopNameList& list = visit->Lists()[kListDocuments];
  ASSERT_EQ(list.count, 2);
  EXPECT_EQ(list.values[0], 1);
  EXPECT_EQ(list.values[1], 0);
  ASSERT_EQ(visit->Lists()[kListTrail].count, 1);
  EXPECT_EQ(visit->Lists()[kListTrail].trail[0], 0x10004u);
  EXPECT_TRUE(boxes_.empty()) << boxes_[0];
}

// Rows travel many to a statement: whatever the count of a table's rows
// (none left over, one, a statement's worth and more), each comes back once,
// in its place, and a trail keeps its order.
TEST_F(OdbcStoreTest, EveryCountOfRowsReadsBackInItsOrder) {
  Open();
  for (const uint32_t count : {1u, 44u, 45u, 46u, 128u, 129u, 300u}) {
    SCOPED_TRACE(count);
    TemplateRecord& T = context_->templ;
    ASSERT_EQ(CreateItemTables(&T), 41u);
    ASSERT_EQ(CreateSessionTable(&T), 1);
    for (uint32_t i = 0; i < count; ++i) {
      NameTableEntry* doc = Item(kTopDocuments, ("/p" + std::to_string(i) + ".html").c_str());
      doc->TotalByHits = i + 1;
      doc->SlotHits[i % kTimeSlots] = i + 7;
    }
    const uint32_t v = AddNameToTable(T.TopUsersPtr, "10.0.0.1");
    ASSERT_NE(v, 0u);
    NameTableEntry* visit = T.TopUsersPtr->ItemBlock[v - 1];
    ASSERT_EQ(CreateItemTopNames(visit), 1);
    TopNameList& trail = visit->Lists()[kListTrail];
    trail.trail = static_cast<uint32_t*>(std::malloc(count * sizeof(uint32_t)));
    for (uint32_t e = 0; e < count; ++e) trail.trail[e] = (e * 7919u) % 1000u;  // not in any sorted order
    trail.count = static_cast<uint16_t>(count);

    const MasterRecord day = Day(UtcSeconds(2026, 3, 10, 12), UtcSeconds(2026, 3, 10, 18));
    ASSERT_EQ(SaveDayToODBC(&store_, &T, &day), 1);
    const std::string where = " WHERE StartTime = " + std::to_string(day.start);
    EXPECT_EQ(One("SELECT count(*) FROM KVLogNameTable" + where + " AND SummaryTableType = 7"),
              std::to_string(count));
    EXPECT_EQ(One("SELECT count(*) FROM KVLogMasterTable"), "1");

    ASSERT_EQ(LoadDayFromODBC(&store_, loaded_, &day), kDbLoaded);
    const SummaryTableEntry& docs = loaded_->templ.TopTablesPtr[kTopDocuments];
    ASSERT_EQ(docs.Count, count);
    for (uint32_t i = 0; i < count; ++i) {
      const NameTableEntry* doc = docs.ItemBlock[i];
      ASSERT_STREQ(doc->String, ("/p" + std::to_string(i) + ".html").c_str());
      ASSERT_EQ(doc->TotalByHits, i + 1);
      for (int n = 0; n < kTimeSlots; ++n) {
        ASSERT_EQ(doc->SlotHits[n], static_cast<uint32_t>(n) == i % kTimeSlots ? i + 7 : 0u)
            << i << " " << n;
      }
    }
    const TopNameList& back = loaded_->templ.TopUsersPtr->ItemBlock[0]->Lists()[kListTrail];
    ASSERT_EQ(back.count, count);
    for (uint32_t e = 0; e < count; ++e) ASSERT_EQ(back.trail[e], (e * 7919u) % 1000u) << e;
    FreeItemTables(&loaded_->templ);
  }
  EXPECT_TRUE(boxes_.empty()) << boxes_[0];
}

// A row refused in the middle of a day's rows, by a database that then ends
// the transaction itself (as SQLite does when its disk is full), fails the
// save and leaves the day as it was stored before, and the connection goes
// on with real transactions.
TEST_F(OdbcStoreTest, ARowRefusedAmongManyLeavesTheStoredDay) {
  Open();
  const MasterRecord day = Day(UtcSeconds(2026, 3, 10, 12), UtcSeconds(2026, 3, 10, 18));
  const auto fill = [&](uint32_t count) {
    TemplateRecord& T = context_->templ;
    ASSERT_EQ(CreateItemTables(&T), 41u);
    ASSERT_EQ(CreateSessionTable(&T), 1);
    T.TodaysHits = count;
    for (uint32_t i = 0; i < count; ++i) {
      Item(kTopDocuments, ("/p" + std::to_string(i) + ".html").c_str())->SlotHits[0] = 1;
    }
  };
  fill(10);
  ASSERT_EQ(SaveDayToODBC(&store_, &context_->templ, &day), 1);
  const std::string where = " WHERE StartTime = " + std::to_string(day.start);
  Sql("CREATE TRIGGER full BEFORE INSERT ON KVLogNameTable WHEN NEW.kvString = '/p100.html' "
      "BEGIN SELECT RAISE(ROLLBACK, 'full'); END");
  // Refused twice on the same connection: the second save runs in a
  // transaction of its own too, and its deletes are undone with it.
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    fill(200);
    EXPECT_EQ(SaveDayToODBC(&store_, &context_->templ, &day), 0);
    EXPECT_EQ(context_->templ.TopTablesPtr, nullptr);
    EXPECT_EQ(One("SELECT count(*) FROM KVLogNameTable" + where), "10");
    EXPECT_EQ(One("SELECT count(*) FROM KVLogDwordIntervalTable" + where + " AND SummaryTableType = 7"), "10");
    EXPECT_EQ(One("SELECT TodaysHits FROM KVLogTemplateTable" + where), "10");
    EXPECT_EQ(One("SELECT count(*) FROM KVLogMasterTable"), "1");
    ASSERT_EQ(LoadDayFromODBC(&store_, loaded_, &day), kDbLoaded);
    EXPECT_EQ(loaded_->templ.TopTablesPtr[kTopDocuments].Count, 10u);
    FreeItemTables(&loaded_->templ);
  }

  // Accepted again, the whole day is stored.
  Sql("DROP TRIGGER full");
  boxes_.clear();
  fill(200);
  ASSERT_EQ(SaveDayToODBC(&store_, &context_->templ, &day), 1);
  EXPECT_EQ(One("SELECT count(*) FROM KVLogNameTable" + where), "200");
  EXPECT_EQ(One("SELECT count(*) FROM KVLogDwordIntervalTable" + where + " AND SummaryTableType = 7"), "200");
  EXPECT_TRUE(boxes_.empty()) << boxes_[0];
}

TEST_F(OdbcStoreTest, BadRowsFailTheDayWithoutOverrunningItsArrays) {
  Open();
  const MasterRecord day = Day(UtcSeconds(2026, 3, 10, 12));
  const std::string start = std::to_string(day.start);
  struct Case {
    const char* what;
    std::string sql;
    int result;
    const char* box;  // expected message box, or ""
  };
  const std::string nameRow = "INSERT INTO KVLogNameTable (StartTime, SummaryTableType, kvArrayOrder, kvString) VALUES (" +
                              start + ", 7, ";
  const Case cases[] = {
      {"a name row more than the items", nameRow + "1, 'x')", kDbBad,
       "Reading ODBC Tables Error|Actual name table count is larger than expected count."},
      {"interval number 32",
       "INSERT INTO KVLogDwordIntervalTable VALUES (" + start + ", 268435454, 268435454, 0, 32, 1)", kDbBad,
       "Reading ODBC Tables Error|Illegal value for interval number."},
      {"an item order beyond the items",
       "UPDATE KVLogNameTable SET kvArrayOrder = 5000 WHERE SummaryTableType = 7 AND kvArrayOrder = 1", kDbBad, ""},
      {"a sort position beyond the items",
       "UPDATE KVLogSortIndexTable SET kvArrayOrder = 5000 WHERE SummaryTableType = 7", kDbBad, ""},
      {"a directory larger than the engine's", "UPDATE KVLogTemplateTable SET TopTablesCount = 100000", kDbBad, ""},
      {"a chunk size below the items still holds them",
       "UPDATE KVLogSummaryTable SET ChunkSize = 1 WHERE SummaryTableType = 7", kDbLoaded, ""},
      {"a chunk size of 0 still holds the items",
       "UPDATE KVLogSummaryTable SET ChunkSize = 0 WHERE SummaryTableType = 7", kDbLoaded, ""},
      {"an item count far beyond the rows", "UPDATE KVLogSummaryTable SET kvCount = 4000000000 WHERE SummaryTableType = 7",
       kDbBad, ""},
      {"an item count within the limit but beyond the stored rows",
       "UPDATE KVLogSummaryTable SET kvCount = 5000000 WHERE SummaryTableType = 7", kDbBad, ""},
      {"a deleted count beyond the stored rows",
       "UPDATE KVLogSummaryTable SET DeleteCount = 40000000 WHERE SummaryTableType = 7", kDbBad, ""},
      {"more related-item lists than a visit has",
       "UPDATE KVLogNameTable SET kvTopNamesCount = 13 WHERE SummaryTableType = 268435455", kDbBad, ""},
      {"fewer search details than counted",
       "UPDATE KVLogNameTable SET kvTopNamesCount = 2 WHERE SummaryTableType = 40", kDbBad, ""},
      {"a search detail count beyond any memory",
       "UPDATE KVLogNameTable SET kvTopNamesCount = 1000000000 WHERE SummaryTableType = 39", kDbBad, ""},
      {"no template row", "DELETE FROM KVLogTemplateTable", kDbEmpty, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FillDay();
    ASSERT_EQ(SaveDayToODBC(&store_, &context_->templ, &day), 1);
    boxes_.clear();
    Sql(c.sql);
    EXPECT_EQ(LoadDayFromODBC(&store_, loaded_, &day), c.result);
    if (c.result == kDbLoaded) {
      const SummaryTableEntry& docs = loaded_->templ.TopTablesPtr[kTopDocuments];
      EXPECT_GE(docs.ChunkSize, docs.Count + docs.DeleteCount);
      ASSERT_NE(docs.ItemBlock[1], nullptr);
      EXPECT_STREQ(docs.ItemBlock[1]->String, "/about.html");
    }
    if (c.box[0] != 0) {
      ASSERT_EQ(boxes_.size(), 1u);
      EXPECT_EQ(boxes_[0], c.box);
    }
    FreeItemTables(&loaded_->templ);
  }
}

// Caps the address space the process may add while the object lives, so
// that memory sized by a damaged stored count cannot be taken, and its
// allocation failure shows as ENOMEM. Sanitizer runtimes reserve their
// shadow memory up front and cannot run under such a cap: there the loads
// go uncapped and the results alone tell.
class AddressSpaceCap {
 public:
  explicit AddressSpaceCap(uint64_t headroom) {
#ifndef KV_TEST_SANITIZER_ALLOCATOR
    uint64_t used = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmSize:", 0) == 0) used = std::strtoull(line.c_str() + 7, nullptr, 10) * 1024;
    }
    if (used != 0 && getrlimit(RLIMIT_AS, &old_) == 0) {
      rlimit capped = old_;
      capped.rlim_cur = std::min<rlim_t>(old_.rlim_cur, used + headroom);
      active_ = setrlimit(RLIMIT_AS, &capped) == 0;
    }
#else
    (void)headroom;
#endif
  }
  ~AddressSpaceCap() {
    if (active_) setrlimit(RLIMIT_AS, &old_);
  }
  AddressSpaceCap(const AddressSpaceCap&) = delete;
  AddressSpaceCap& operator=(const AddressSpaceCap&) = delete;

 private:
  rlimit old_{};
  bool active_ = false;
};

TEST_F(OdbcStoreTest, CountsBeyondTheStoredRowsRefuseTheDayBeforeAnyMemoryIsSizedByThem) {
  Open();
  const MasterRecord day = Day(UtcSeconds(2026, 3, 10, 12));
  const std::string start = std::to_string(day.start);
  // A template row with a one-table directory, or with only a session table.
  const std::string directory = "INSERT INTO KVLogTemplateTable (StartTime, TopTablesCount, TopTablesPtr, TopUsersPtr) "
                                "VALUES (" + start + ", 1, 1, 0)";
  const std::string sessionsOnly = "INSERT INTO KVLogTemplateTable (StartTime, TopTablesCount, TopTablesPtr, "
                                   "TopUsersPtr) VALUES (" + start + ", 0, 0, 1)";
  auto summary = [&](uint32_t type, uint32_t count, uint32_t deleted, uint32_t chunkSize, uint32_t sortIndexCount) {
    return "INSERT INTO KVLogSummaryTable (StartTime, SummaryTableType, kvCount, DeleteCount, ChunkSize, "
           "SortIndexCount) VALUES (" + start + ", " + std::to_string(type) + ", " + std::to_string(count) + ", " +
           std::to_string(deleted) + ", " + std::to_string(chunkSize) + ", " + std::to_string(sortIndexCount) + ")";
  };
  auto nameRow = [&](uint32_t type, uint32_t order) {
    return "INSERT INTO KVLogNameTable (StartTime, SummaryTableType, kvArrayOrder, kvString) VALUES (" + start +
           ", " + std::to_string(type) + ", " + std::to_string(order) + ", 'x')";
  };
  // An input the fuzzer ran out of memory on (kept as a seed), in the rows
  // the fuzzer makes of it: a summary row of 5 items and 268435455 deleted
  // ones with as large a chunk size, and no name row.
  static const uint8_t kOversizedCount[] = {0x01, 0x00, 0x00, 0x05, 0x75, 0x6e, 0x73, 0x69, 0x67, 0x6e,
                                            0x65, 0x64, 0xff, 0x1e, 0x6e, 0x69, 0xb4, 0xb4, 0x27, 0xb4,
                                            0xb4, 0x75, 0x73, 0xb4, 0x75, 0x28, 0x6e, 0xa1, 0x1d, 0xb4,
                                            0xb4, 0x01, 0x28, 0x6e, 0xa1, 0x1d, 0xb4, 0xb4, 0x01, 0x01};
  // One written the same way for a table of chunk size 0 with a name index
  // (kept as a seed too): 268435455 items and as many deleted ones, and no
  // name row.
  static const uint8_t kChunkSize0[] = {0x01, 0x00, 0x00, 0x60, 0x60, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,
                                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00};
  constexpr uint32_t kMost = 0x3FFFFFFF;  // the most items a table may count
  struct Case {
    const char* what;
    std::vector<std::string> rows;
  };
  const Case cases[] = {
      {"the fuzzer's input", odbcfuzz::DayRowStatements(kOversizedCount, sizeof kOversizedCount, day.start)},
      {"the fuzzer's input with chunk size 0", odbcfuzz::DayRowStatements(kChunkSize0, sizeof kChunkSize0, day.start)},
      {"chunk size 0 with a name index, items up to the limit", {directory, summary(0, kMost, 0, 0, 1)}},
      {"chunk size 0 with a name index, deleted items up to the limit", {directory, summary(0, 0, kMost, 0, 1)}},
      {"chunk size 0 with a name index, the session table", {sessionsOnly, summary(kOdbcSessionTable, kMost, 0, 0, 1)}},
      {"chunk size 0 with a name index, one name row for two items",
       {directory, summary(0, 2, 0, 0, 2), nameRow(0, 0)}},
      {"chunk size 0 without a name index", {directory, summary(0, 1000000, 0, 0, 0)}},
      {"chunk size and items at the limit, one name row",
       {directory, summary(0, kMost, 0, kMost, kMost), nameRow(0, 0)}},
      {"chunk size 100, deleted items beyond the rows", {directory, summary(0, 1, 50000000, 100, 1), nameRow(0, 0)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DeleteDayRows(static_cast<OdbcConnection*>(store_.odbc), day.start);
    for (const std::string& row : c.rows) Sql(row);
    int result = 0;
    int error = 0;
    {
      const AddressSpaceCap cap(256u << 20);
      errno = 0;
      result = LoadDayFromODBC(&store_, loaded_, &day);
      error = errno;
    }
    EXPECT_EQ(result, kDbBad);
    EXPECT_NE(error, ENOMEM) << "an allocation sized by a stored count failed";
    FreeItemTables(&loaded_->templ);
  }
}

TEST_F(OdbcStoreTest, MasterRowsCoverTheSpanInDayOrder) {
  Open();
  // Empty store: three days, none analysed.
  ASSERT_EQ(ExtendMasterRows(&store_, UtcSeconds(2026, 3, 10, 12), UtcSeconds(2026, 3, 12, 8), 1), 1);
  EXPECT_EQ(Sql("SELECT CurrentTime FROM KVLogMasterTable"), (Rows{{"0"}, {"0"}, {"0"}}));
  std::vector<uint32_t> starts;
  MasterRecord r{};
  while (ReadNextODBCEntry(&store_, &r) == 1) {
    EXPECT_EQ(r.fileName[0], 0);
    EXPECT_EQ(r.end, GetIntervalEnd(0, r.start));
    EXPECT_EQ(r.lastAdded, 0u);
    starts.push_back(r.start);
  }
  EXPECT_EQ(starts, (std::vector<uint32_t>{Day(UtcSeconds(2026, 3, 10, 12)).start, Day(UtcSeconds(2026, 3, 11, 12)).start,
                                           Day(UtcSeconds(2026, 3, 12, 12)).start}));
  EXPECT_EQ(Sql("SELECT Today FROM KVLogMasterTable WHERE StartTime = " + std::to_string(starts[0])).size(), 1u);

  // An earlier span start adds the days before; a later span end the days
  // after; a span inside adds nothing.
  ASSERT_EQ(ExtendMasterRows(&store_, UtcSeconds(2026, 3, 8, 1), UtcSeconds(2026, 3, 13, 1), 1), 1);
  EXPECT_EQ(One("SELECT count(*) FROM KVLogMasterTable"), "6");
  ASSERT_EQ(ExtendMasterRows(&store_, UtcSeconds(2026, 3, 9, 1), UtcSeconds(2026, 3, 11, 1), 1), 1);
  EXPECT_EQ(One("SELECT count(*) FROM KVLogMasterTable"), "6");
  starts.clear();
  while (ReadNextODBCEntry(&store_, &r) == 1) starts.push_back(r.start);
  ASSERT_EQ(starts.size(), 6u);
  EXPECT_EQ(starts[0], Day(UtcSeconds(2026, 3, 8, 12)).start);
  EXPECT_EQ(starts[5], Day(UtcSeconds(2026, 3, 13, 12)).start);
  EXPECT_TRUE(std::is_sorted(starts.begin(), starts.end()));

  // Position: back by one stops at 0; a rewrite lands just after its day.
  SetODBCEntryPointer(&store_, 0);
  ResetToLastODBCEntry(&store_);
  ASSERT_EQ(ReadNextODBCEntry(&store_, &r), 1);
  EXPECT_EQ(r.start, starts[0]);
  MasterRecord updated = Day(starts[2], starts[2] + 3600);
  ASSERT_EQ(RewriteLastODBCEntry(&store_, &updated), 1);
  ASSERT_EQ(ReadNextODBCEntry(&store_, &r), 1);
  EXPECT_EQ(r.start, starts[3]);
  ResetToLastODBCEntry(&store_);
  ResetToLastODBCEntry(&store_);
  ASSERT_EQ(ReadNextODBCEntry(&store_, &r), 1);
  EXPECT_EQ(r.start, starts[2]);
  EXPECT_EQ(r.lastAdded, starts[2] + 3600);
  EXPECT_EQ(One("SELECT count(*) FROM KVLogMasterTable"), "6");

  // A master row without a template row loads as an empty day.
  EXPECT_EQ(LoadDayFromODBC(&store_, loaded_, &r), kDbEmpty);

  // Without the create flag only the times are loaded.
  ASSERT_EQ(ExtendMasterRows(&store_, UtcSeconds(2026, 3, 1, 1), UtcSeconds(2026, 3, 30, 1), 0), 1);
  EXPECT_EQ(One("SELECT count(*) FROM KVLogMasterTable"), "6");
  EXPECT_TRUE(boxes_.empty()) << boxes_[0];
}

TEST_F(OdbcStoreTest, PositionCallsWithoutConnectionOnlyComplain) {
  RealtimeStore unconnected{};
  unconnected.kind = kStoreOdbc;
  MasterRecord r{};
  SetODBCEntryPointer(nullptr, 1);
  SetODBCEntryPointer(&unconnected, 1);
  EXPECT_EQ(RewriteLastODBCEntry(nullptr, &r), 0);
  EXPECT_EQ(RewriteLastODBCEntry(&unconnected, &r), 0);
  ResetToLastODBCEntry(nullptr);
  ResetToLastODBCEntry(&unconnected);
  EXPECT_EQ(boxes_, (std::vector<std::string>{
                        "Fatal Error|Calling SetODBCEntryPointer with no DB connection",
                        "Fatal Error|Calling SetODBCEntryPointer with no ODBC connection",
                        "Fatal Error|Calling RewriteLastODBCEntry with no DB connection",
                        "Fatal Error|Calling RewriteLastODBCEntry with no ODBC connection",
                        "Fatal Error|Calling ResetToLastODBCEntry with no DB connection",
                        "Fatal Error|Calling ResetToLastODBCEntry with no ODBC connection",
                    }));
  EXPECT_EQ(ReadNextODBCEntry(&unconnected, &r), 0);
  EXPECT_EQ(LoadDayFromODBC(&unconnected, loaded_, &r), kDbBad);
  ASSERT_EQ(CreateItemTables(&context_->templ), 41u);
  EXPECT_EQ(SaveDayToODBC(&unconnected, &context_->templ, &r), 0);
  EXPECT_EQ(context_->templ.TopTablesPtr, nullptr);
}

}  // namespace
