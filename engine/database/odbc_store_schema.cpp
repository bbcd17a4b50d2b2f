// ODBC result store: the column lists, the statement helpers, connecting,
// creating the schema and writing one day.
#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "engine/core/engine_state.h"
#include "engine/database/item_tables.h"
#include "engine/database/odbc_store.h"
#include "engine/database/report_ranges.h"
#include "platform/ui/msgbox.h"

namespace vrn {

namespace odbcstore {

namespace {

// Integer columns hold 32-bit values; text columns carry their size.
const TableDef kTables[kOdbcTableCount] = {
    {"KVLogMasterTable", 4, 1, {{"StartTime", 0}, {"CurrentTime", 0}, {"EndTime", 0}, {"Today", 60}}},
    {"KVLogTemplateTable",
     22,
     1,
     {{"StartTime", 0},      {"TodayDateTime", 0},  {"Today", 60},          {"TodaysHits", 0},
      {"TodaysUsers", 0},    {"UserSessionsTimeCount", 0}, {"UserSessionsTime", 0}, {"DocumentHits", 0},
      {"FormHits", 0},       {"FailedFormHits", 0}, {"Failed500", 0},      {"Failed501", 0},
      {"Failed502", 0},      {"Failed503", 0},      {"Failed400", 0},      {"Failed401", 0},
      {"Failed402", 0},      {"Failed403", 0},      {"Failed404", 0},      {"TopTablesCount", 0},
      {"TopTablesPtr", 0},   {"TopUsersPtr", 0}}},
    {"KVLogSummaryTable",
     12,
     2,
     {{"StartTime", 0}, {"SummaryTableType", 0}, {"TopCount", 0}, {"kvCount", 0}, {"DeleteCount", 0},
      {"DeleteListHead", 0}, {"DateListHead", 0}, {"DateListTail", 0}, {"TopTableListHead", 0},
      {"TopTableListTail", 0}, {"ChunkSize", 0}, {"SortIndexCount", 0}}},
    {"KVLogNameTable",
     22,
     2,
     {{"StartTime", 0},         {"SummaryTableType", 0},  {"kvArrayOrder", 0},      {"kvOverflow", 0},
      {"kvTopFlag", 0},         {"kvDeleted", 0},         {"kvPrevLink", 0},        {"kvNextLink", 0},
      {"kvLastDateTime", 0},    {"kvOriginalIndex", 0},   {"kvTotalByHits", 0},     {"kvTotalByUsers", 0},
      {"kvNonCachedTotalByHits", 0}, {"kvTotalBytes", 30}, {"kvLastPageWasForm", 0}, {"kvLastPageTime", 0},
      {"kvLastPageEntryItem", 0}, {"kvTimeOnPages", 0},    {"kvTimeOnPagesCount", 0}, {"kvTopNamesCount", 0},
      {"kvString", 250},        {"kvBanned", 0}}},
    {"KVLogTopNameTable",
     4,
     3,
     {{"StartTime", 0}, {"NameTableIndex", 0}, {"NameTableType", 0}, {"TopNameValue", 0}}},
    {"KVLogDwordIntervalTable",
     6,
     4,
     {{"StartTime", 0}, {"SummaryTableType", 0}, {"kvArrayOrder", 0}, {"DataType", 0}, {"IntervalNumber", 0},
      {"intervalValue", 0}}},
    {"KVLogDoubleIntervalTable",
     6,
     4,
     {{"StartTime", 0}, {"SummaryTableType", 0}, {"kvArrayOrder", 0}, {"DataType", 0}, {"IntervalNumber", 0},
      {"intervalValue", 30}}},
    {"KVLogSortIndexTable",
     4,
     2,
     {{"StartTime", 0}, {"SummaryTableType", 0}, {"kvArrayOrder", 0}, {"SortIndex", 0}}},
    {"KVLogSearchEngine",
     5,
     2,
     {{"StartTime", 0}, {"Engine", 250}, {"Keyword", 250}, {"kvHits", 0}, {"kvSessions", 0}}},
    {"KVLogSearchKeyword",
     5,
     2,
     {{"StartTime", 0}, {"Keyword", 250}, {"Engine", 250}, {"kvHits", 0}, {"kvSessions", 0}}},
};

}  // namespace

const TableDef& Table(int table) { return kTables[table]; }

int ColumnIndex(int table, const char* column) {
  const TableDef& t = kTables[table];
  for (int i = 0; i < t.columnCount; ++i) {
    if (std::strcmp(t.columns[i].name, column) == 0) return i;
  }
  assert(!"unknown column");
  return -1;
}

void RowBuffer::Clear() { std::memset(this, 0, sizeof *this); }

void RowBuffer::Set(int table, const char* column, uint32_t value) {
  const int i = ColumnIndex(table, column);
  if (i < 0) return;
  number[i] = value;
  indicator[i] = 0;
}

void RowBuffer::SetText(int table, const char* column, const char* value) {
  const int i = ColumnIndex(table, column);
  if (i < 0) return;
  const size_t size = static_cast<size_t>(kTables[table].columns[i].textSize);
  const size_t n = value ? strnlen(value, size - 1) : 0;
  if (n) std::memcpy(text[i], value, n);
  text[i][n] = 0;
  indicator[i] = SQL_NTS;
}

uint32_t RowBuffer::Get(int table, const char* column) const {
  const int i = ColumnIndex(table, column);
  return i < 0 ? 0 : number[i];
}

const char* RowBuffer::GetText(int table, const char* column) const {
  const int i = ColumnIndex(table, column);
  return i < 0 ? "" : text[i];
}

bool AllocPool(SQLHDBC connection, StatementPool* pool) {
  *pool = StatementPool{};
  if (g_odbc.module == nullptr || connection == SQL_NULL_HDBC) return false;
  // Allocation order: master, template, summary, name, top-name, the two
  // search tables, then the interval and sort-index tables.
  static const int kOrder[kOdbcTableCount] = {kOdbcMaster,       kOdbcTemplate,      kOdbcSummary,
                                               kOdbcName,         kOdbcTopName,       kOdbcSearchEngine,
                                               kOdbcSearchKeyword, kOdbcDwordInterval, kOdbcDoubleInterval,
                                               kOdbcSortIndex};
  for (int t : kOrder) {
    SQLRETURN r = ReportODBCError(g_odbc.fn.AllocStmt(connection, &pool->statements[t]), "SQLAllocStmt",
                                  connection, SQL_NULL_HSTMT);
    if (!OdbcSucceeded(r)) {
      pool->statements[t] = SQL_NULL_HSTMT;
      pool->allocated = true;
      FreePool(pool);
      return false;
    }
  }
  pool->allocated = true;
  return true;
}

void FreePool(StatementPool* pool) {
  if (!pool->allocated) return;
  for (SQLHSTMT& s : pool->statements) {
    if (s != SQL_NULL_HSTMT && g_odbc.module != nullptr) g_odbc.fn.FreeStmt(s, SQL_DROP);
    s = SQL_NULL_HSTMT;
  }
  pool->allocated = false;
}

namespace {

bool BindParameters(SQLHSTMT statement, int table, RowBuffer* row, int count, int firstParameter) {
  const TableDef& t = kTables[table];
  for (int i = 0; i < count; ++i) {
    const auto number = static_cast<SQLUSMALLINT>(firstParameter + i + 1);
    const int size = t.columns[i].textSize;
    SQLRETURN r;
    if (size == 0) {
      row->indicator[i] = 0;
      r = g_odbc.fn.BindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_ULONG,
                                  SQL_INTEGER, 4, 0, &row->number[i], 4, &row->indicator[i]);
    } else {
      row->indicator[i] = SQL_NTS;
      r = g_odbc.fn.BindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_CHAR,
                                  SQL_VARCHAR, static_cast<SQLULEN>(size), 0, row->text[i], size,
                                  &row->indicator[i]);
    }
    if (!OdbcSucceeded(ReportODBCError(r, "SQLBindParameter", SQL_NULL_HDBC, statement))) return false;
  }
  return true;
}

}  // namespace

bool BindInsertParameters(SQLHSTMT statement, int table, RowBuffer* row, int firstParameter) {
  return BindParameters(statement, table, row, kTables[table].columnCount, firstParameter);
}

bool BindResultColumns(SQLHSTMT statement, int table, RowBuffer* row) {
  const TableDef& t = kTables[table];
  for (int i = 0; i < t.columnCount; ++i) {
    const int size = t.columns[i].textSize;
    // Integers are read back as the unsigned values they were sent as.
    SQLRETURN r = size == 0 ? g_odbc.fn.BindCol(statement, static_cast<SQLUSMALLINT>(i + 1), SQL_C_ULONG,
                                                &row->number[i], 0, &row->indicator[i])
                            : g_odbc.fn.BindCol(statement, static_cast<SQLUSMALLINT>(i + 1), SQL_C_CHAR,
                                                row->text[i], size, &row->indicator[i]);
    if (!OdbcSucceeded(ReportODBCError(r, "SQLBindCol", SQL_NULL_HDBC, statement))) return false;
  }
  return true;
}

void NormaliseRow(int table, RowBuffer* row) {
  const TableDef& t = kTables[table];
  for (int i = 0; i < t.columnCount; ++i) {
    const int size = t.columns[i].textSize;
    if (size == 0) {
      if (row->indicator[i] == SQL_NULL_DATA) row->number[i] = 0;
    } else {
      if (row->indicator[i] == SQL_NULL_DATA) row->text[i][0] = 0;
      row->text[i][size - 1] = 0;
    }
  }
}

std::string InsertText(int table, int rows) {
  const TableDef& t = kTables[table];
  std::string s = std::string("INSERT INTO ") + t.name + " (";
  for (int i = 0; i < t.columnCount; ++i) {
    s += t.columns[i].name;
    s += i + 1 < t.columnCount ? ", " : ") VALUES ";
  }
  for (int k = 0; k < rows; ++k) {
    s += k ? ", (?" : "(?";
    for (int i = 1; i < t.columnCount; ++i) s += ", ?";
    s += ")";
  }
  return s;
}

bool ExecDirect(SQLHDBC connection, const std::string& text, const char* operation) {
  if (g_odbc.module == nullptr || connection == SQL_NULL_HDBC) return false;
  SQLHSTMT statement = SQL_NULL_HSTMT;
  if (!OdbcSucceeded(ReportODBCError(g_odbc.fn.AllocStmt(connection, &statement), "SQLAllocStmt", connection,
                                     SQL_NULL_HSTMT))) {
    return false;
  }
  SQLRETURN r = g_odbc.fn.ExecDirect(statement, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())), SQL_NTS);
  ReportODBCError(r, operation, connection, statement);
  g_odbc.fn.FreeStmt(statement, SQL_DROP);
  return OdbcSucceeded(r);
}

namespace {
// Set when the client answers "cancel"; a save looks at it to tell a
// cancelled save from a failed one.
bool g_cancelAnswered = false;
}  // namespace

bool ClientCancelled() {
  const bool cancelled = CallClientCallback(1, 0, "", 0, 0, 0) == 2;
  if (cancelled) g_cancelAnswered = true;
  return cancelled;
}

void DayName(uint32_t startTime, char* out, size_t size) { FormatIntervalName(0, startTime, out, size); }

}  // namespace odbcstore

using namespace odbcstore;

const char* OdbcTableName(int table) {
  return table >= 0 && table < kOdbcTableCount ? Table(table).name : nullptr;
}

// ---- doubles as text ----------------------------------------------------------------------

bool FormatOdbcDouble(double value, char out[32]) {
  char text[400];
  std::snprintf(text, sizeof text, "%f", value);
  if (char* dot = std::strchr(text, '.')) *dot = 0;
  if (std::strlen(text) >= 30) {
    kv::ui::MessageBox(0, "Double value larger than 29 digits", "ODBC Error", kv::ui::MbOk);
    out[0] = 0;
    return false;
  }
  std::strcpy(out, text);
  return true;
}

double ParseOdbcDouble(const char* text) {
  if (text == nullptr || text[0] == 0) return 0.0;
  return std::strtod(text, nullptr);
}

// ---- connecting ------------------------------------------------------------------------------

namespace {

// Connects a new connection handle to `connectText`; null on failure.
SQLHDBC DriverConnect(const char* connectText, const char* allocOperation, const char* connectOperation,
                      bool traceOff) {
  if (LoadODBCLibrary() == nullptr) return SQL_NULL_HDBC;
  SQLHDBC connection = SQL_NULL_HDBC;
  if (!OdbcSucceeded(ReportODBCError(g_odbc.fn.AllocConnect(g_odbc.environment, &connection), allocOperation,
                                     SQL_NULL_HDBC, SQL_NULL_HSTMT))) {
    return SQL_NULL_HDBC;
  }
  if (traceOff) g_odbc.fn.SetConnectOption(connection, SQL_OPT_TRACE, SQL_OPT_TRACE_OFF);
  SQLCHAR outText[300] = {};
  SQLSMALLINT outLength = 0;
  std::string text(connectText);
  SQLRETURN r = g_odbc.fn.DriverConnect(connection, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS,
                                        outText, static_cast<SQLSMALLINT>(sizeof outText - 1), &outLength,
                                        SQL_DRIVER_NOPROMPT);
  ReportODBCError(r, connectOperation, connection, SQL_NULL_HSTMT);
  if (!OdbcSucceeded(r)) {
    g_odbc.fn.FreeConnect(connection);
    return SQL_NULL_HDBC;
  }
  return connection;
}

std::string ProfileConnectText(const DravelEntry* profile) {
  return std::string(profile->ODBCPellavar, strnlen(profile->ODBCPellavar, sizeof profile->ODBCPellavar));
}

}  // namespace

int ConnectToODBCDatabase(RealtimeStore* store) {
  if (store == nullptr || store->profile == nullptr) return 0;
  DisconnectFromODBCDatabase(store);
  auto* record = new (std::nothrow) OdbcConnection();
  if (record == nullptr) return 0;
  const std::string text = ProfileConnectText(store->profile);
  record->connection = DriverConnect(text.c_str(), "SQLAllocConnect", "SQLDriverConnect", true);
  if (record->connection == SQL_NULL_HDBC) {
    delete record;
    return 0;
  }
  store->odbc = record;
  store->profile->ODBCConnection = record->connection;
  return 1;
}

namespace odbcstore {

bool EndTransaction(RealtimeStore* store, bool commit) {
  auto* c = store ? static_cast<OdbcConnection*>(store->odbc) : nullptr;
  if (c == nullptr || c->connection == SQL_NULL_HDBC || g_odbc.module == nullptr) return false;
  bool committed = false;
  if (commit) {
    committed = OdbcSucceeded(ReportODBCError(g_odbc.fn.Transact(g_odbc.environment, c->connection, SQL_COMMIT),
                                              "SQLTransact", c->connection, SQL_NULL_HSTMT));
  }
  bool open = true;
  if (!committed) open = OdbcSucceeded(g_odbc.fn.Transact(g_odbc.environment, c->connection, SQL_ROLLBACK));
  g_odbc.fn.SetConnectOption(c->connection, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_ON);
  if (open || store->profile == nullptr) return committed;
  // The rollback found no transaction: the database ended it itself when
  // it refused a statement (SQLite does on a full disk). The driver may
  // still count it as open and then begin no new one, so that the next
  // save's statements would each be committed on their own: the connection
  // is made again. Where that fails (the database cannot be reached), the
  // old one stays and fails as before.
  SQLHDBC fresh = SQL_NULL_HDBC;
  if (!OdbcSucceeded(g_odbc.fn.AllocConnect(g_odbc.environment, &fresh))) return committed;
  g_odbc.fn.SetConnectOption(fresh, SQL_OPT_TRACE, SQL_OPT_TRACE_OFF);
  std::string text = ProfileConnectText(store->profile);
  SQLCHAR outText[300] = {};
  SQLSMALLINT outLength = 0;
  if (!OdbcSucceeded(g_odbc.fn.DriverConnect(fresh, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS,
                                             outText, static_cast<SQLSMALLINT>(sizeof outText - 1), &outLength,
                                             SQL_DRIVER_NOPROMPT))) {
    g_odbc.fn.FreeConnect(fresh);
    return committed;
  }
  g_odbc.fn.Disconnect(c->connection);
  g_odbc.fn.FreeConnect(c->connection);
  if (store->profile->ODBCConnection == c->connection) store->profile->ODBCConnection = fresh;
  c->connection = fresh;
  return committed;
}

}  // namespace odbcstore

// ---- the schema ----------------------------------------------------------------------------------

namespace {

std::string g_integerType = "NUMBER(10,0)";
std::string g_textType = "VARCHAR2";

// The driver's name of an SQL type, or `fallback` when it names none.
std::string AskTypeName(SQLHDBC connection, SQLSMALLINT type, const char* fallback) {
  std::string name;
  SQLHSTMT statement = SQL_NULL_HSTMT;
  if (OdbcSucceeded(ReportODBCError(g_odbc.fn.AllocStmt(connection, &statement), "SQLAllocStmt", connection,
                                    SQL_NULL_HSTMT))) {
    SQLCHAR text[256] = {};
    SQLLEN length = 0;
    if (OdbcSucceeded(g_odbc.fn.GetTypeInfo(statement, type)) &&
        OdbcSucceeded(g_odbc.fn.BindCol(statement, 1, SQL_C_CHAR, text, sizeof text, &length)) &&
        OdbcSucceeded(g_odbc.fn.Fetch(statement)) && length != SQL_NULL_DATA) {
      text[sizeof text - 1] = 0;
      name = reinterpret_cast<const char*>(text);
    }
    g_odbc.fn.FreeStmt(statement, SQL_DROP);
  }
  return name.empty() ? fallback : name;
}

struct ErrorInfo {
  std::string state;
  SQLINTEGER native = 0;
  std::string message;
};

ErrorInfo ReadError(SQLHDBC connection, SQLHSTMT statement) {
  SQLCHAR state[8] = {};
  SQLCHAR message[512] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  g_odbc.fn.Error(g_odbc.environment, connection, statement, state, &native, message,
                  static_cast<SQLSMALLINT>(sizeof message - 1), &length);
  state[sizeof state - 1] = 0;
  message[sizeof message - 1] = 0;
  return {reinterpret_cast<const char*>(state), native, reinterpret_cast<const char*>(message)};
}

// "Already exists" in the states drivers use for it. The SQLite driver
// reports the general error state with SQLite's own message, so that
// message counts too.
bool AlreadyExists(const ErrorInfo& e, const char* existsState, const char* existsState3) {
  if (e.state == existsState || e.state == existsState3) return true;
  if (e.state == "S1000" && e.native == 955) return true;
  return e.message.find("already exists") != std::string::npos;
}

// Runs `text` on a new statement: 0 success, else the error read.
bool RunCreate(SQLHDBC connection, const std::string& text, ErrorInfo* error) {
  SQLHSTMT statement = SQL_NULL_HSTMT;
  if (!OdbcSucceeded(ReportODBCError(g_odbc.fn.AllocStmt(connection, &statement), "SQLAllocStmt", connection,
                                     SQL_NULL_HSTMT))) {
    error->message = "SQLAllocStmt";
    return false;
  }
  SQLRETURN r = g_odbc.fn.ExecDirect(statement, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())), SQL_NTS);
  bool ok = OdbcSucceeded(r);
  if (!ok) *error = ReadError(connection, statement);
  g_odbc.fn.FreeStmt(statement, SQL_DROP);
  return ok;
}

// 3 created, 1 already there, 2 failure.
int CreateOneTable(SQLHDBC connection, int table) {
  const TableDef& t = Table(table);
  std::string text = std::string("CREATE TABLE ") + t.name + " (";
  for (int i = 0; i < t.columnCount; ++i) {
    const ColumnDef& c = t.columns[i];
    char part[400];
    if (c.textSize) {
      std::snprintf(part, sizeof part, "%s %s(%d)", c.name, g_textType.c_str(), c.textSize > 254 ? 254 : c.textSize);
    } else {
      std::snprintf(part, sizeof part, "%s %s", c.name, g_integerType.c_str());
    }
    text += part;
    text += i + 1 < t.columnCount ? ", " : ")";
  }
  ErrorInfo error;
  if (!RunCreate(connection, text, &error)) {
    if (AlreadyExists(error, "S0001", "42S01")) return 1;
    kv::ui::MessageBox(0, error.message.c_str(), "ODBC Error", kv::ui::MbOk);
    return 2;
  }
  if (t.indexCount > 0) {
    std::string index = std::string("CREATE INDEX IDX") + t.name + " ON " + t.name + " (";
    for (int i = 0; i < t.indexCount; ++i) {
      index += t.columns[i].name;
      index += i + 1 < t.indexCount ? " ASC, " : " ASC)";
    }
    if (!RunCreate(connection, index, &error) && !(error.state == "S0011" || error.state == "42S11" ||
                                                   error.message.find("already exists") != std::string::npos)) {
      kv::ui::MessageBox(0, error.message.c_str(), "ODBC Error", kv::ui::MbOk);
      return 2;
    }
  }
  return 3;
}

}  // namespace

const char* OdbcIntegerTypeName() { return g_integerType.c_str(); }
const char* OdbcTextTypeName() { return g_textType.c_str(); }

int CreateODBCSchema(SQLHDBC connection) {
  if (g_odbc.module == nullptr || connection == SQL_NULL_HDBC) return 2;
  g_textType = AskTypeName(connection, SQL_VARCHAR, "VARCHAR2");
  g_integerType = AskTypeName(connection, SQL_INTEGER, "NUMBER(10,0)");
  for (int t = 0; t < kOdbcTableCount; ++t) {
    const int r = CreateOneTable(connection, t);
    if (r != 3) return r;
  }
  return 3;
}

namespace {

// Connects to the profile's data source, creates the schema and closes
// again: 3, 1 or 2 as CreateODBCSchema.
int ConnectAndCreate(DravelEntry* profile) {
  if (profile == nullptr) return 2;
  const std::string text = ProfileConnectText(profile);
  SQLHDBC connection = DriverConnect(text.c_str(), "Error allocating SQL connection", "Error connecting to driver",
                                     false);
  if (connection == SQL_NULL_HDBC) return 2;
  profile->ODBCConnection = connection;
  const int result = CreateODBCSchema(connection);
  g_odbc.fn.Disconnect(connection);
  g_odbc.fn.FreeConnect(connection);
  profile->ODBCConnection = nullptr;
  return result;
}

}  // namespace

// ---- writing a day ----------------------------------------------------------------------------------

namespace {

uint32_t MapLink(uint32_t v) { return v == kNoItem ? kOdbcNoLink : v; }

// Parameters of one multi-row insert stay within the smallest limit of the
// drivers in use (999 in older SQLite builds).
constexpr int kMaxBatchParameters = 999;
constexpr int kMaxBatchRows = 128;

// Rows of a table are sent a batch at a time: an insert of `capacity` rows
// (prepared once, its parameters bound once to the batch's row buffers) runs
// each time the batch is full, and the rows left at the end go in one
// insert of their own count. The rows of a table reach the database in the
// order they were written.
class DayWriter {
 public:
  DayWriter(OdbcConnection* c, uint32_t start) : c_(c), start_(start) {}
  ~DayWriter() {
    for (Batch& b : batches_) Drop(&b.full);
  }

  bool Prepare() {
    for (int t = 0; t < kOdbcTableCount; ++t) {
      Batch& b = batches_[t];
      // One row at a time for the day's own rows (template, master).
      b.capacity = t == kOdbcTemplate || t == kOdbcMaster
                       ? 1
                       : std::min(kMaxBatchRows, kMaxBatchParameters / Table(t).columnCount);
      b.rows.reset(new (std::nothrow) RowBuffer[b.capacity]);
      if (!b.rows) return false;
      for (int k = 0; k < b.capacity; ++k) b.rows[k].Clear();
    }
    return true;
  }

  // The buffer of the next row of `table`; Insert sends it on.
  RowBuffer& Row(int table) { return batches_[table].rows[batches_[table].used]; }

  // Adds the row filled through Row(table) to its batch, running the batch
  // once it is full.
  bool Insert(int table, const char* operation) {
    Batch& b = batches_[table];
    b.rows[b.used].Set(table, "StartTime", start_);
    b.operation = operation;
    if (++b.used < b.capacity) return true;
    return Flush(table);
  }

  // Sends every row still held: true when all were written.
  bool FlushAll() {
    for (int t = 0; t < kOdbcTableCount; ++t) {
      if (!Flush(t)) return false;
    }
    return true;
  }

  bool WriteIntervals(const uint32_t* values, uint32_t type, uint32_t order, uint32_t dataType) {
    for (uint32_t n = 0; n < kTimeSlots; ++n) {
      if (values[n] == 0) continue;
      RowBuffer& row = Row(kOdbcDwordInterval);
      row.Set(kOdbcDwordInterval, "SummaryTableType", type);
      row.Set(kOdbcDwordInterval, "kvArrayOrder", order);
      row.Set(kOdbcDwordInterval, "DataType", dataType);
      row.Set(kOdbcDwordInterval, "IntervalNumber", n);
      row.Set(kOdbcDwordInterval, "intervalValue", values[n]);
      if (!Insert(kOdbcDwordInterval, "Write DwordInterval Table")) return false;
    }
    return true;
  }

  bool WriteDoubleIntervals(const double* values, uint32_t type, uint32_t order, uint32_t dataType) {
    for (uint32_t n = 0; n < kTimeSlots; ++n) {
      if (values[n] == 0.0) continue;
      RowBuffer& row = Row(kOdbcDoubleInterval);
      char text[32];
      FormatOdbcDouble(values[n], text);
      row.Set(kOdbcDoubleInterval, "SummaryTableType", type);
      row.Set(kOdbcDoubleInterval, "kvArrayOrder", order);
      row.Set(kOdbcDoubleInterval, "DataType", dataType);
      row.Set(kOdbcDoubleInterval, "IntervalNumber", n);
      row.SetText(kOdbcDoubleInterval, "intervalValue", text);
      if (!Insert(kOdbcDoubleInterval, "Write DoubleInterval Table")) return false;
    }
    return true;
  }

  // One search detail of an item of table 39 (engine details) or 40
  // (keyword details).
  bool WriteSearchDetail(uint32_t type, const char* itemName, const SearchDetailEntry* d) {
    if (itemName == nullptr || itemName[0] == 0 || d == nullptr || d->text == nullptr || d->text[0] == 0) return true;
    if (type == kTopSearchKeywords) {
      RowBuffer& row = Row(kOdbcSearchEngine);
      row.SetText(kOdbcSearchEngine, "Engine", d->text);
      row.SetText(kOdbcSearchEngine, "Keyword", itemName);
      row.Set(kOdbcSearchEngine, "kvHits", d->hits);
      row.Set(kOdbcSearchEngine, "kvSessions", d->visits);
      return Insert(kOdbcSearchEngine, "Write Engine Detail");
    }
    RowBuffer& row = Row(kOdbcSearchKeyword);
    row.SetText(kOdbcSearchKeyword, "Keyword", d->text);
    row.SetText(kOdbcSearchKeyword, "Engine", itemName);
    row.Set(kOdbcSearchKeyword, "kvHits", d->hits);
    row.Set(kOdbcSearchKeyword, "kvSessions", d->visits);
    return Insert(kOdbcSearchKeyword, "Write Keyword Detail");
  }

  bool WriteNameEntry(const NameTableEntry* item, uint32_t type, uint32_t index) {
    const bool search = type == kTopSearchKeywords || type == kTopSearchEngines;
    if (item->TopNames != nullptr) {
      for (uint32_t j = 0; j < item->TopNamesCount; ++j) {
        if (search) {
          if (!WriteSearchDetail(type, item->String, item->Details()[j])) return false;
        } else {
          if (j >= kTopNameListCount) break;
          const TopNameList& list = item->Lists()[j];
          for (uint16_t e = 0; e < list.count; ++e) {
            const uint32_t value = j == kListTrail ? (list.trail ? list.trail[e] : 0) : (list.values ? list.values[e] : 0);
            if (j == kListTrail ? list.trail == nullptr : list.values == nullptr) break;
            RowBuffer& row = Row(kOdbcTopName);
            row.Set(kOdbcTopName, "NameTableIndex", index);
            row.Set(kOdbcTopName, "NameTableType", j);
            row.Set(kOdbcTopName, "TopNameValue", value);
            if (!Insert(kOdbcTopName, "Write TopNameTable")) return false;
          }
        }
        if (ClientCancelled()) return false;
      }
    }
    if (!WriteIntervals(item->SlotHits, type, index, kOdbcItemSlotHits)) return false;
    if (!WriteIntervals(item->SlotUsers, type, index, kOdbcItemSlotUsers)) return false;
    const int T = kOdbcName;
    RowBuffer& row = Row(T);
    row.Set(T, "SummaryTableType", type);
    row.Set(T, "kvArrayOrder", index);
    row.Set(T, "kvOverflow", item->Overflow);
    row.Set(T, "kvTopFlag", item->TopFlag);
    row.Set(T, "kvDeleted", item->Deleted);
    row.Set(T, "kvPrevLink", MapLink(item->PrevLink));
    row.Set(T, "kvNextLink", MapLink(item->NextLink));
    row.Set(T, "kvLastDateTime", MapLink(item->LastDateTime));
    row.Set(T, "kvOriginalIndex", item->OriginalIndex);
    row.Set(T, "kvTotalByHits", item->TotalByHits);
    row.Set(T, "kvTotalByUsers", item->TotalByUsers);
    row.Set(T, "kvNonCachedTotalByHits", item->NonCachedTotalByHits);
    char bytes[32];
    FormatOdbcDouble(item->TotalBytes, bytes);
    row.SetText(T, "kvTotalBytes", bytes);
    row.Set(T, "kvLastPageWasForm", item->LastPageWasForm);
    row.Set(T, "kvLastPageTime", item->LastPageTime);
    row.Set(T, "kvLastPageEntryItem", item->LastPageEntryItem);
    row.Set(T, "kvTimeOnPages", item->TimeOnPages);
    row.Set(T, "kvTimeOnPagesCount", item->TimeOnPagesCount);
    row.Set(T, "kvTopNamesCount", item->TopNames != nullptr ? item->TopNamesCount : 0);
    row.SetText(T, "kvString", item->String ? item->String : "");
    row.Set(T, "kvBanned", item->Banned);
    return Insert(T, "Write NameTable");
  }

  bool WriteSummaryEntry(const SummaryTableEntry* table, uint32_t type) {
    const uint64_t n = uint64_t{table->Count} + table->DeleteCount;
    if (table->ItemBlock != nullptr) {
      for (uint64_t i = 0; i < n; ++i) {
        const NameTableEntry* item = table->ItemBlock[i];
        if (item != nullptr && !WriteNameEntry(item, type, static_cast<uint32_t>(i))) return false;
        if (ClientCancelled()) return false;
      }
    }
    if (table->SortIndex != nullptr && table->Count != 0) {
      for (uint32_t i = 0; i < table->Count; ++i) {
        RowBuffer& row = Row(kOdbcSortIndex);
        row.Set(kOdbcSortIndex, "SummaryTableType", type);
        row.Set(kOdbcSortIndex, "kvArrayOrder", i);
        row.Set(kOdbcSortIndex, "SortIndex", table->SortIndex[i]);
        if (!Insert(kOdbcSortIndex, "Write SortIndex Table")) return false;
      }
    }
    if (ClientCancelled()) return false;
    const int T = kOdbcSummary;
    RowBuffer& row = Row(T);
    row.Set(T, "SummaryTableType", type);
    row.Set(T, "TopCount", table->TopCount);
    row.Set(T, "kvCount", table->Count);
    row.Set(T, "DeleteCount", MapLink(table->DeleteCount));
    row.Set(T, "DeleteListHead", MapLink(table->DeleteListHead));
    row.Set(T, "DateListHead", MapLink(table->DateListHead));
    row.Set(T, "DateListTail", MapLink(table->DateListTail));
    row.Set(T, "TopTableListHead", MapLink(table->TopTableListHead));
    row.Set(T, "TopTableListTail", MapLink(table->TopTableListTail));
    row.Set(T, "ChunkSize", table->ChunkSize);
    row.Set(T, "SortIndexCount", table->Count);
    return Insert(T, "Write SummaryTable");
  }

  bool WriteDayTables(const TemplateRecord* templ, const char* dayName) {
    if (templ->TopTablesPtr != nullptr) {
      for (uint32_t t = 0; t < templ->TopTablesCount; ++t) {
        if (!WriteSummaryEntry(&templ->TopTablesPtr[t], t)) return false;
      }
    }
    if (templ->TopUsersPtr != nullptr && !WriteSummaryEntry(templ->TopUsersPtr, kOdbcSessionTable)) return false;
    if (ClientCancelled()) return false;
    const uint32_t* arrays[9] = {templ->SlotUsers,    templ->SlotDomestic,     templ->SlotInternational,
                                 templ->SlotUnknownCountry, templ->SlotHits, templ->SlotHomePageHits,
                                 templ->SlotNotModified, templ->SlotFailed,  templ->SlotOtherMethod};
    for (uint32_t d = 0; d < 9; ++d) {
      if (!WriteIntervals(arrays[d], kOdbcTemplateArrays, kOdbcTemplateArrays, d)) return false;
    }
    if (!WriteDoubleIntervals(templ->SlotBytes, kOdbcTemplateArrays, kOdbcTemplateArrays, kOdbcTemplateBytes)) {
      return false;
    }
    if (ClientCancelled()) return false;
    const int T = kOdbcTemplate;
    RowBuffer& row = Row(T);
    row.Set(T, "TodayDateTime", templ->TodayDateTime);
    row.SetText(T, "Today", dayName);
    row.Set(T, "TodaysHits", templ->TodaysHits);
    row.Set(T, "TodaysUsers", templ->TodaysUsers);
    row.Set(T, "UserSessionsTimeCount", templ->UserSessionsTimeCount);
    row.Set(T, "UserSessionsTime", templ->UserSessionsTime);
    row.Set(T, "DocumentHits", templ->DocumentHits);
    row.Set(T, "FormHits", templ->FormHits);
    row.Set(T, "FailedFormHits", templ->FailedFormHits);
    row.Set(T, "Failed500", templ->Failed500);
    row.Set(T, "Failed501", templ->Failed501);
    row.Set(T, "Failed502", templ->Failed502);
    row.Set(T, "Failed503", templ->Failed503);
    row.Set(T, "Failed400", templ->Failed400);
    row.Set(T, "Failed401", templ->Failed401);
    row.Set(T, "Failed402", templ->Failed402);
    row.Set(T, "Failed403", templ->Failed403);
    row.Set(T, "Failed404", templ->Failed404);
    row.Set(T, "TopTablesCount", templ->TopTablesPtr != nullptr ? templ->TopTablesCount : 0);
    row.Set(T, "TopTablesPtr", templ->TopTablesPtr != nullptr ? 1 : 0);
    row.Set(T, "TopUsersPtr", templ->TopUsersPtr != nullptr ? 1 : 0);
    return Insert(T, "Write TemplateTable");
  }

  bool WriteMaster(const MasterRecord* record, const char* dayName) {
    const int T = kOdbcMaster;
    RowBuffer& row = Row(T);
    row.Set(T, "EndTime", record->end);
    row.Set(T, "CurrentTime", record->lastAdded);
    row.SetText(T, "Today", dayName);
    return Insert(T, "Write MasterTable");
  }

 private:
  struct Batch {
    int capacity = 1;
    int used = 0;
    std::unique_ptr<RowBuffer[]> rows;
    SQLHSTMT full = SQL_NULL_HSTMT;  // the insert of `capacity` rows, once prepared
    const char* operation = "";
  };

  static void Drop(SQLHSTMT* statement) {
    if (*statement != SQL_NULL_HSTMT && g_odbc.module != nullptr) g_odbc.fn.FreeStmt(*statement, SQL_DROP);
    *statement = SQL_NULL_HSTMT;
  }

  // A statement inserting `count` rows of `table`, its parameters bound to
  // the batch's first `count` row buffers; null on failure (reported).
  SQLHSTMT PrepareInsert(int table, int count) {
    SQLHSTMT s = SQL_NULL_HSTMT;
    if (!OdbcSucceeded(ReportODBCError(g_odbc.fn.AllocStmt(c_->connection, &s), "SQLAllocStmt", c_->connection,
                                       SQL_NULL_HSTMT))) {
      return SQL_NULL_HSTMT;
    }
    const std::string text = InsertText(table, count);
    SQLRETURN r = g_odbc.fn.Prepare(s, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())), SQL_NTS);
    bool ok = OdbcSucceeded(ReportODBCError(r, "SQLPrepare", c_->connection, s));
    const int columns = Table(table).columnCount;
    for (int k = 0; ok && k < count; ++k) {
      ok = BindInsertParameters(s, table, &batches_[table].rows[k], k * columns);
    }
    if (!ok) Drop(&s);
    return s;
  }

  bool Flush(int table) {
    Batch& b = batches_[table];
    if (b.used == 0) return true;
    SQLHSTMT s = SQL_NULL_HSTMT;
    if (b.used == b.capacity) {
      if (b.full == SQL_NULL_HSTMT) b.full = PrepareInsert(table, b.capacity);
      s = b.full;
    } else {
      s = PrepareInsert(table, b.used);
    }
    if (s == SQL_NULL_HSTMT) return false;
    SQLRETURN r = g_odbc.fn.Execute(s);
    ReportODBCError(r, b.operation, c_->connection, s);
    if (s != b.full) Drop(&s);
    b.used = 0;
    return OdbcSucceeded(r);
  }

  OdbcConnection* c_;
  uint32_t start_;
  Batch batches_[kOdbcTableCount];
};

}  // namespace

int SaveDayToODBC(RealtimeStore* store, TemplateRecord* templ, const MasterRecord* record) {
  auto* c = store ? static_cast<OdbcConnection*>(store->odbc) : nullptr;
  if (c == nullptr || c->connection == SQL_NULL_HDBC || templ == nullptr || record == nullptr ||
      g_odbc.module == nullptr) {
    if (templ) FreeItemTables(templ);
    return 0;
  }
  // The day is replaced in one transaction: its old rows stay until the new
  // ones are all written, and a failed or cancelled save leaves the day as
  // it was.
  const bool transaction = OdbcSucceeded(ReportODBCError(
      g_odbc.fn.SetConnectOption(c->connection, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF), "SQLSetConnectOption",
      c->connection, SQL_NULL_HSTMT));
  g_cancelAnswered = false;
  char dayName[64] = "";
  DayName(record->start, dayName, sizeof dayName);
  int result = 0;
  if (transaction && DeleteDayRows(c, record->start) == 1) {
    auto writer = std::make_unique<DayWriter>(c, record->start);
    if (writer->Prepare() && writer->WriteDayTables(templ, dayName) && !ClientCancelled() &&
        writer->WriteMaster(record, dayName) && writer->FlushAll()) {
      result = 1;
    }
  }
  if (transaction && !EndTransaction(store, result == 1)) result = 0;
  if (result != 1 && g_cancelAnswered) result = 2;
  // Whatever was not written is released too: after a save the template
  // holds no tables, as after a period file save.
  FreeItemTables(templ);
  return result;
}

}  // namespace vrn

// ---- exports ---------------------------------------------------------------------------------------

VORNIC_API int VRN_CreateODBCTables(DravelEntry* profile) { return vrn::ConnectAndCreate(profile) == 3 ? 1 : 0; }

VORNIC_API int VRN_DoODBCTablesExist(DravelEntry* profile) { return vrn::ConnectAndCreate(profile) == 1 ? 1 : 0; }
