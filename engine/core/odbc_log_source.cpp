// The "odbc:" log source. See odbc_log_source.h.
#include "engine/core/odbc_log_source.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <utility>

#include "engine/core/engine_state.h"
#include "engine/core/log_file_list.h"
#include "engine/core/log_reader.h"
#include "engine/core/zip_extract.h"
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"

namespace vrn {

namespace {

constexpr uint32_t kRowTableStep = 512;
constexpr uint32_t kProgressStep = 301;
constexpr uint32_t kMessagePercent = 1024;
constexpr uint32_t kMessageSorting = 1047;
constexpr uint32_t kMessageRowCount = 1056;
constexpr size_t kTextWidth = 256;
constexpr size_t kColumnCount = 14;
constexpr char kDefaultTable[] = "logfile";

// The bound result columns of the log statement. They are the engine's: one
// statement is open at a time and every source of it reads these buffers.
struct ColumnBuffers {
  // The bookmark as the driver gives it: 8 bytes on a 64-bit driver manager
  // (the low 4 bytes on a driver that takes a 32-bit bookmark).
  SQLUBIGINT bookmark = 0;
  SQLLEN bookmarkIndicator = 0;
  char text[kColumnCount + 1][kTextWidth] = {};  // by column number; 3 holds an Access date
  SQL_TIMESTAMP_STRUCT timestamp = {};
  SQLBIGINT number[kColumnCount + 1] = {};       // columns 7..11
  SQLLEN indicator[kColumnCount + 1] = {};
};

// One row of a page: its line and time (0 without a usable time).
struct PageRow {
  std::string line;
  uint32_t time = 0;
};

// The rows of the prepared log read at positions `first`.. (a page of
// them), or while preparing the rows at those places of the table.
struct Window {
  uint64_t first = UINT64_MAX;
  std::vector<PageRow> rows;
};

struct OdbcLogState {
  OdbcSourceData* prepared = nullptr;  // owns its connection
  uint64_t preparedSize = 0;
  std::vector<OdbcRowEntry> rows;
  bool counting = false;
  bool access = false;
  // The time column is no date-time column of the data source (a text
  // column, say): it is read as text in the ODBC form "yyyy-mm-dd hh:mm:ss",
  // as a driver's own conversion of such a text cannot be relied on.
  bool timeAsText = false;
  char table[kTextWidth + 1] = "logfile";
  std::string schema;  // the table's schema when the catalog names one
  // The SELECT of the log's columns by name, without paging.
  std::string select;
  // How the pages of the prepared log are read. A data source with cursors
  // of its own holds the rows in one scrollable cursor for the whole
  // transaction the log is read in: a page is a move and a fetch of it, and
  // every page comes from the same scan. One that takes "LIMIT n OFFSET m"
  // gets a query per page. Otherwise one forward-only query is read on, and
  // run again when a row before it is wanted; streamAt is the place of the
  // row it gives next (UINT64_MAX while it is not open).
  enum class Paging { kCursor, kLimit, kStream };
  Paging paging = Paging::kStream;
  uint64_t streamAt = UINT64_MAX;
  Window window;  // the rows read last
  ColumnBuffers columns;
  uint32_t lastRowTime = 0;
  uint32_t lastBookmark = 0;
  // Connections made here and not yet released, with the binding they were
  // made in; a handle that is not listed is never passed to the driver.
  // A handle is known by its value and the serial it was made under, as the
  // driver manager reuses the values of released handles.
  struct LiveConnection {
    SQLHDBC handle;
    uint64_t serial;
  };
  std::vector<LiveConnection> live;
  uint64_t nextSerial = 0;
  uint32_t liveGeneration = 0;
  // Open "odbc:" sources (records that VRN_CloseODBC may be given).
  std::vector<LogSource*> open;
};

OdbcLogState g_log;

OdbcSourceData* DataOf(LogSource* source) {
  if (source == nullptr || source->kind != kLogSourceOdbc) return nullptr;
  return static_cast<OdbcSourceData*>(source->kindData);
}

void CopyText(char* out, size_t size, const char* text) {
  if (out == nullptr || size == 0) return;
  size_t n = text != nullptr ? std::strlen(text) : 0;
  if (n >= size) n = size - 1;
  if (n > 0) std::memcpy(out, text, n);
  out[n] = 0;
}

char DateSeparator() { return g_engine.logSDate[0] != 0 ? g_engine.logSDate[0] : '/'; }
char TimeSeparator() { return g_engine.logSTime[0] != 0 ? g_engine.logSTime[0] : ':'; }

std::vector<OdbcLogState::LiveConnection>::iterator FindLive(const OdbcSourceData* data) {
  return std::find_if(g_log.live.begin(), g_log.live.end(), [data](const OdbcLogState::LiveConnection& c) {
    return c.handle == data->connection && c.serial == data->connectionSerial;
  });
}

// True when the record's connection is one made here and not yet released.
bool IsLive(const OdbcSourceData* data) {
  if (data == nullptr || data->connection == SQL_NULL_HDBC || g_odbc.module == nullptr) return false;
  if (g_log.liveGeneration != g_odbc.generation) {
    // The driver manager was unloaded since: every handle of ours is gone.
    g_log.live.clear();
    g_log.liveGeneration = g_odbc.generation;
    return false;
  }
  return FindLive(data) != g_log.live.end();
}

void AddLive(OdbcSourceData* data) {
  if (g_log.liveGeneration != g_odbc.generation) {
    g_log.live.clear();
    g_log.liveGeneration = g_odbc.generation;
  }
  data->connectionSerial = ++g_log.nextSerial;
  g_log.live.push_back({data->connection, data->connectionSerial});
}

void ForgetLive(const OdbcSourceData* data) {
  auto it = FindLive(data);
  if (it != g_log.live.end()) g_log.live.erase(it);
}

// Frees the statement and the connection of a source record when they are
// still live, and marks the record as not open.
void ReleaseHandles(OdbcSourceData* data) {
  if (data == nullptr) return;
  if (IsLive(data)) {
    if (data->statement != SQL_NULL_HSTMT) g_odbc.fn.FreeStmt(data->statement, SQL_DROP);
    // A log read in a transaction of its own ends it: it only read.
    g_odbc.fn.Transact(g_odbc.environment, data->connection, SQL_ROLLBACK);
    g_odbc.fn.Disconnect(data->connection);
    g_odbc.fn.FreeConnect(data->connection);
    ForgetLive(data);
  }
  data->statement = SQL_NULL_HSTMT;
  data->connection = SQL_NULL_HDBC;
  data->connectionSerial = 0;
  data->handle = kOdbcSourceClosed;
}

// Everything of the ODBC log but open source records: the prepared source
// with its connection and the row table; back to fetching by number.
void ReleasePrepared() {
  if (g_log.prepared != nullptr) {
    ReleaseHandles(g_log.prepared);
    delete g_log.prepared;
    g_log.prepared = nullptr;
  }
  g_log.preparedSize = 0;
  std::vector<OdbcRowEntry>().swap(g_log.rows);
  g_log.window.first = UINT64_MAX;
  std::vector<PageRow>().swap(g_log.window.rows);
  g_log.streamAt = UINT64_MAX;
  g_log.counting = false;
}

void ForgetOpen(LogSource* source) {
  auto it = std::find(g_log.open.begin(), g_log.open.end(), source);
  if (it != g_log.open.end()) g_log.open.erase(it);
}

void SendProgress(uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (g_engine.progressWindow != 0) kv::ui::SendMessage(g_engine.progressWindow, message, wparam, lparam);
}

// ---- operations of the source kind -------------------------------------------

uint64_t OdbcSize(LogSource* source) { return source->size; }

uint64_t OdbcSeek(LogSource* source, uint64_t offset, uint32_t origin) { return SeekODBCSource(source, offset, origin); }

bool OdbcClose(LogSource* source) {
  OdbcSourceData* data = DataOf(source);
  ForgetOpen(source);
  if (data == nullptr) return true;
  // A source that made its own connection releases it; copies of the
  // prepared source leave the shared one to VRN_CloseODBC.
  if (data->ownsConnection) ReleaseHandles(data);
  delete data;
  source->kindData = nullptr;
  return true;
}

uint16_t OdbcFetchLine(LogSource* source, char* buffer, uint32_t capacity, uint64_t position, uint32_t* length,
                       uint64_t* next) {
  char line[kOdbcLineSize];
  uint64_t after = position;
  const uint16_t r = FetchODBCLogLine(source, line, position, &after);
  if (next != nullptr) *next = after;
  if (length != nullptr) *length = 0;
  if (r != 3 || buffer == nullptr || capacity == 0) return r == 3 ? 1 : r;
  size_t n = std::strlen(line);
  if (n >= capacity) n = capacity - 1;
  std::memcpy(buffer, line, n);
  buffer[n] = 0;
  if (length != nullptr) *length = static_cast<uint32_t>(n);
  return 3;
}

const LogSourceOps kOdbcOps = {OdbcSize, OdbcSeek, nullptr, OdbcClose, OdbcFetchLine};

bool OpenerForLogSources(LogSource* source, const char* location) { return OpenODBCLogSource(location, source); }

// ---- opening -----------------------------------------------------------------

// The log table: "logfile" when the data source has a table of that name
// (in any case) or lists none, else the first table it lists. The schema
// the catalog names with it is kept, so that a table outside the default
// schema is found.
void FindTableName(SQLHDBC connection) {
  CopyText(g_log.table, sizeof(g_log.table), kDefaultTable);
  g_log.schema.clear();
  if (g_log.access) return;
  SQLHSTMT catalog = SQL_NULL_HSTMT;
  if (!OdbcSucceeded(g_odbc.fn.AllocStmt(connection, &catalog))) return;
  char schema[kTextWidth] = {};
  char name[kTextWidth] = {};
  SQLLEN schemaIndicator = 0, indicator = 0;
  std::string first, firstSchema;
  bool logfile = false;
  if (OdbcSucceeded(g_odbc.fn.Tables(catalog, nullptr, 0, nullptr, 0, nullptr, 0,
                                     reinterpret_cast<SQLCHAR*>(const_cast<char*>("TABLE")), SQL_NTS)) &&
      OdbcSucceeded(g_odbc.fn.BindCol(catalog, 2, SQL_C_CHAR, schema, sizeof(schema), &schemaIndicator)) &&
      OdbcSucceeded(g_odbc.fn.BindCol(catalog, 3, SQL_C_CHAR, name, sizeof(name), &indicator))) {
    while (!logfile && OdbcSucceeded(g_odbc.fn.Fetch(catalog))) {
      name[sizeof(name) - 1] = 0;
      schema[sizeof(schema) - 1] = 0;
      if (indicator == SQL_NULL_DATA || name[0] == 0) continue;
      const std::string inSchema = schemaIndicator == SQL_NULL_DATA ? std::string() : std::string(schema);
      if (strcasecmp(name, kDefaultTable) == 0) {
        logfile = true;
        CopyText(g_log.table, sizeof(g_log.table), name);
        g_log.schema = inSchema;
      } else if (first.empty()) {
        first = name;
        firstSchema = inSchema;
      }
    }
    g_odbc.fn.Transact(g_odbc.environment, connection, SQL_COMMIT);
  }
  if (!logfile && !first.empty()) {
    CopyText(g_log.table, sizeof(g_log.table), first.c_str());
    g_log.schema = firstSchema;
  }
  g_odbc.fn.FreeStmt(catalog, SQL_DROP);
}

// A name as an identifier of the statement: in brackets for an Access data
// source, else in double quotes, a quote inside doubled.
std::string QuotedName(const std::string& name) {
  const char open = g_log.access ? '[' : '"';
  const char close = g_log.access ? ']' : '"';
  std::string quoted(1, open);
  for (char c : name) {
    quoted += c;
    if (c == close) quoted += c;
  }
  quoted += close;
  return quoted;
}

// The names of the log table's columns as the catalog spells them, by
// column number (1..14); "" for a log column the table does not have; and
// the SQL type of each. False when the catalog cannot tell, or lists no
// column of the table (as for a table that is not there).
bool FindLogColumns(SQLHDBC connection, std::string (&found)[kColumnCount + 1], SQLSMALLINT (&types)[kColumnCount + 1]) {
  SQLHSTMT catalog = SQL_NULL_HSTMT;
  if (!OdbcSucceeded(g_odbc.fn.AllocStmt(connection, &catalog))) return false;
  char table[kTextWidth] = {}, schema[kTextWidth] = {}, column[kTextWidth] = {};
  SQLLEN tableIndicator = 0, schemaIndicator = 0, columnIndicator = 0, typeIndicator = 0;
  SQLSMALLINT type = 0;
  int listed = 0;
  SQLCHAR* schemaName = g_log.schema.empty() ? nullptr : reinterpret_cast<SQLCHAR*>(g_log.schema.data());
  if (OdbcSucceeded(g_odbc.fn.Columns(catalog, nullptr, 0, schemaName, schemaName != nullptr ? SQL_NTS : 0,
                                      reinterpret_cast<SQLCHAR*>(g_log.table), SQL_NTS, nullptr, 0)) &&
      OdbcSucceeded(g_odbc.fn.BindCol(catalog, 2, SQL_C_CHAR, schema, sizeof(schema), &schemaIndicator)) &&
      OdbcSucceeded(g_odbc.fn.BindCol(catalog, 3, SQL_C_CHAR, table, sizeof(table), &tableIndicator)) &&
      OdbcSucceeded(g_odbc.fn.BindCol(catalog, 4, SQL_C_CHAR, column, sizeof(column), &columnIndicator)) &&
      OdbcSucceeded(g_odbc.fn.BindCol(catalog, 5, SQL_C_SSHORT, &type, sizeof(type), &typeIndicator))) {
    while (OdbcSucceeded(g_odbc.fn.Fetch(catalog))) {
      table[sizeof(table) - 1] = schema[sizeof(schema) - 1] = column[sizeof(column) - 1] = 0;
      // The names given are patterns ("_" stands for any character): only
      // the table itself counts.
      if (tableIndicator == SQL_NULL_DATA || std::strcmp(table, g_log.table) != 0) continue;
      if (!g_log.schema.empty() && (schemaIndicator == SQL_NULL_DATA || g_log.schema != schema)) continue;
      ++listed;
      if (columnIndicator == SQL_NULL_DATA) continue;
      for (size_t i = 0; i < kColumnCount; ++i) {
        if (found[i + 1].empty() && strcasecmp(column, kOdbcLogColumns[i]) == 0) {
          found[i + 1] = column;
          types[i + 1] = typeIndicator == SQL_NULL_DATA ? SQLSMALLINT{0} : type;
        }
      }
    }
    g_odbc.fn.Transact(g_odbc.environment, connection, SQL_COMMIT);
  }
  g_odbc.fn.FreeStmt(catalog, SQL_DROP);
  return listed > 0;
}

// The SELECT of the 14 log columns by name. A table the catalog lists
// without one of them is refused, naming what it lacks (false). When the
// catalog does not list the table, the names are given unquoted, so that
// the data source matches them in its own way (and names a missing table
// or column itself).
bool BuildSelect(SQLHDBC connection) {
  std::string found[kColumnCount + 1];
  SQLSMALLINT types[kColumnCount + 1] = {};
  const bool listed = !g_log.access && FindLogColumns(connection, found, types);
  const SQLSMALLINT timeType = types[3];
  g_log.timeAsText = listed && !found[3].empty() && timeType != SQL_TYPE_TIMESTAMP && timeType != SQL_TIMESTAMP &&
                     timeType != SQL_TYPE_DATE && timeType != SQL_DATE && timeType != SQL_DATETIME;
  std::string missing;
  int lacking = 0;
  std::string select = "SELECT ";
  for (size_t col = 1; col <= kColumnCount; ++col) {
    if (col > 1) select += ", ";
    if (!listed) {
      select += kOdbcLogColumns[col - 1];
    } else if (found[col].empty()) {
      missing += std::string(lacking++ > 0 ? ", " : "") + "\"" + kOdbcLogColumns[col - 1] + "\"";
    } else {
      select += QuotedName(found[col]);
    }
  }
  const std::string shown = (g_log.schema.empty() ? std::string() : g_log.schema + ".") + g_log.table;
  if (lacking > 0) {
    const std::string text = "The ODBC log table \"" + shown + "\" has no column " + missing +
                             "; a log table has the 14 columns of a web server's ODBC log. The log is not read.";
    DisplayReportError(text.c_str());
    return false;
  }
  select += " FROM ";
  if (!g_log.schema.empty()) select += QuotedName(g_log.schema) + ".";
  select += QuotedName(g_log.table);
  g_log.select = select;
  return true;
}

bool BindColumns(SQLHSTMT statement, bool* bookmarks) {
  ColumnBuffers& c = g_log.columns;
  auto bind = [&](SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER value, SQLLEN size, SQLLEN* indicator) {
    return OdbcSucceeded(ReportODBCError(g_odbc.fn.BindCol(statement, column, type, value, size, indicator),
                                         "SQLBindCol", SQL_NULL_HDBC, statement));
  };
  if (*bookmarks) {
    // The bookmark in the type the driver manager's headers give it, then
    // as the 32-bit value of older drivers; a driver that takes neither is
    // read by row position.
    c.bookmark = 0;
    *bookmarks = OdbcSucceeded(g_odbc.fn.BindCol(statement, 0, SQL_C_BOOKMARK, &c.bookmark, sizeof(SQLUBIGINT),
                                                 &c.bookmarkIndicator)) ||
                 OdbcSucceeded(g_odbc.fn.BindCol(statement, 0, SQL_C_ULONG, &c.bookmark, sizeof(SQLUINTEGER),
                                                 &c.bookmarkIndicator));
  }
  for (SQLUSMALLINT col = 1; col <= kColumnCount; ++col) {
    bool ok;
    if (col >= 7 && col <= 11) {
      ok = bind(col, SQL_C_SBIGINT, &c.number[col], sizeof(c.number[col]), &c.indicator[col]);
    } else if (col == 3 && !g_log.access && !g_log.timeAsText) {
      ok = bind(col, SQL_C_TIMESTAMP, &c.timestamp, sizeof(c.timestamp), &c.indicator[col]);
    } else {
      ok = bind(col, SQL_C_CHAR, c.text[col], kTextWidth, &c.indicator[col]);
    }
    if (!ok) return false;
  }
  return true;
}

bool ExecuteText(SQLHSTMT statement, const std::string& text) {
  std::string copy = text;
  return OdbcSucceeded(g_odbc.fn.ExecDirect(statement, reinterpret_cast<SQLCHAR*>(copy.data()), SQL_NTS));
}

constexpr char kCursorName[] = "kv_log_rows";

// Chooses how the prepared log's pages are read (g_log.paging) and leaves
// the statement ready for its first page. False when the SELECT fails
// (shown).
bool StartPaging(OdbcSourceData* data) {
  using Paging = OdbcLogState::Paging;
  SQLHSTMT statement = data->statement;
  g_log.streamAt = UINT64_MAX;
  if (!g_log.access) {
    if (OdbcSucceeded(g_odbc.fn.SetConnectOption(data->connection, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF))) {
      if (ExecuteText(statement, std::string("DECLARE ") + kCursorName + " SCROLL CURSOR FOR " + g_log.select)) {
        g_odbc.fn.FreeStmt(statement, SQL_CLOSE);
        g_log.paging = Paging::kCursor;
        return true;
      }
      g_odbc.fn.FreeStmt(statement, SQL_CLOSE);
      g_odbc.fn.Transact(g_odbc.environment, data->connection, SQL_ROLLBACK);
      g_odbc.fn.SetConnectOption(data->connection, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_ON);
    }
    if (ExecuteText(statement, g_log.select + " LIMIT 1 OFFSET 0")) {
      g_odbc.fn.FreeStmt(statement, SQL_CLOSE);
      g_odbc.fn.Transact(g_odbc.environment, data->connection, SQL_COMMIT);
      g_log.paging = Paging::kLimit;
      return true;
    }
    g_odbc.fn.FreeStmt(statement, SQL_CLOSE);
  }
  g_log.paging = Paging::kStream;
  if (!OdbcSucceeded(ReportODBCError(g_odbc.fn.ExecDirect(statement, reinterpret_cast<SQLCHAR*>(g_log.select.data()),
                                                          SQL_NTS),
                                     "SQLExecDirect", data->connection, statement))) {
    return false;
  }
  g_log.streamAt = 0;
  return true;
}

bool OpenFresh(const char* location, OdbcSourceData* data) {
  if (LoadODBCLibrary() == nullptr) return false;
  CopyText(data->connectionString, sizeof(data->connectionString), location + 5);

  if (!OdbcSucceeded(ReportODBCError(g_odbc.fn.AllocConnect(g_odbc.environment, &data->connection),
                                     "SQLAllocConnect", SQL_NULL_HDBC, SQL_NULL_HSTMT))) {
    data->connection = SQL_NULL_HDBC;
    return false;
  }
  AddLive(data);
  SQLCHAR completed[kOdbcConnectionSize] = {};
  SQLSMALLINT completedLength = 0;
  const SQLRETURN connected = g_odbc.fn.DriverConnect(
      data->connection, nullptr, reinterpret_cast<SQLCHAR*>(data->connectionString), SQL_NTS, completed,
      static_cast<SQLSMALLINT>(sizeof(completed) - 1), &completedLength, SQL_DRIVER_NOPROMPT);
  if (!OdbcSucceeded(ReportODBCError(connected, "SQLDriverConnect", data->connection, SQL_NULL_HSTMT))) {
    // Not connected: the handle is freed without a disconnect.
    g_odbc.fn.FreeConnect(data->connection);
    ForgetLive(data);
    data->connection = SQL_NULL_HDBC;
    data->connectionSerial = 0;
    return false;
  }

  g_log.access = std::strstr(data->connectionString, "MS Access") != nullptr;
  FindTableName(data->connection);
  if (!BuildSelect(data->connection)) return false;

  if (!OdbcSucceeded(ReportODBCError(g_odbc.fn.AllocStmt(data->connection, &data->statement), "SQLAllocStmt",
                                     data->connection, SQL_NULL_HSTMT))) {
    data->statement = SQL_NULL_HSTMT;
    return false;
  }

  if (g_log.counting) {
    // The log being prepared: a forward-only cursor read a page at a time,
    // so that even a driver that keeps a whole result holds one page.
    data->paged = true;
    if (!StartPaging(data)) return false;
    data->bookmarks = false;
    return BindColumns(data->statement, &data->bookmarks);
  }

  // A source read on its own reads by row number on a static cursor. A
  // driver that refuses bookmarks is read by row position instead: the
  // cursor is static, so a row keeps its position.
  data->bookmarks = OdbcSucceeded(g_odbc.fn.SetStmtOption(data->statement, SQL_USE_BOOKMARKS, SQL_UB_ON));
  g_odbc.fn.SetStmtOption(data->statement, SQL_ROWSET_SIZE, 1);
  g_odbc.fn.SetStmtOption(data->statement, SQL_CURSOR_TYPE, SQL_CURSOR_STATIC);
  g_odbc.fn.SetCursorName(data->statement, reinterpret_cast<SQLCHAR*>(const_cast<char*>("C1")), SQL_NTS);

  if (!OdbcSucceeded(ReportODBCError(g_odbc.fn.ExecDirect(data->statement,
                                                          reinterpret_cast<SQLCHAR*>(g_log.select.data()), SQL_NTS),
                                     "SQLExecDirect", data->connection, data->statement))) {
    return false;
  }
  return BindColumns(data->statement, &data->bookmarks);
}

// ---- rendering ---------------------------------------------------------------

const char* ColumnText(int column) {
  const ColumnBuffers& c = g_log.columns;
  if (c.indicator[column] == SQL_NULL_DATA) return "-";  // the log's "no value"
  return c.text[column];
}

// A column's text for the comma-separated line: a comma inside it would
// start another field, so it is written as its URL escape "%2C" (the target
// is decoded again when the line is read; elsewhere the escape stays).
std::string LineText(int column) {
  std::string text = ColumnText(column);
  for (size_t at = 0; (at = text.find(',', at)) != std::string::npos; at += 3) text.replace(at, 1, "%2C");
  return text;
}

long long ColumnNumber(int column) {
  const ColumnBuffers& c = g_log.columns;
  return c.indicator[column] == SQL_NULL_DATA ? 0 : static_cast<long long>(c.number[column]);
}

// The row just fetched: its date text and time, and (when line is given) its
// line. False when the row has no usable time or does not fit a line.
bool RenderRow(char* line) {
  ColumnBuffers& c = g_log.columns;
  for (int col = 1; col <= static_cast<int>(kColumnCount); ++col) c.text[col][kTextWidth - 1] = 0;

  char date[kTextWidth] = {};
  if (c.indicator[3] == SQL_NULL_DATA) return false;
  if (g_log.access) {
    AccessDateToText(c.text[3], date, sizeof(date));
  } else if (g_log.timeAsText) {
    SQL_TIMESTAMP_STRUCT t = {};
    if (!OdbcTextToTimestamp(c.text[3], &t)) return false;
    TimestampToText(t, date, sizeof(date));
  } else {
    TimestampToText(c.timestamp, date, sizeof(date));
  }
  // The date is written and read back in the order the line reader parses
  // a comma line's date with, so that the row's time and its hit's agree.
  struct tm parsed = {};
  if (!ParseOrderedDate(date, CommaDateOrder(), &parsed)) return false;

  char numbers[5][32];
  std::string texts[kColumnCount + 1];
  for (int col : {1, 2, 4, 5, 6, 12, 13, 14}) texts[col] = LineText(col);
  size_t total = std::strlen(date);
  for (int col : {1, 2, 4, 5, 6, 12, 13, 14}) total += texts[col].size();
  for (int i = 0; i < 5; ++i) {
    total += static_cast<size_t>(std::snprintf(numbers[i], sizeof(numbers[i]), "%lld, ", ColumnNumber(7 + i)));
  }
  // The line adds nine ", " and CR LF: it must fit the line with its terminator.
  if (total + 20 >= kOdbcLineSize) return false;

  int64_t seconds = WallClockSeconds(parsed);
  if (seconds < 0) seconds = 0;
  if (seconds > static_cast<int64_t>(UINT32_MAX)) seconds = UINT32_MAX;
  g_log.lastRowTime = static_cast<uint32_t>(seconds);

  if (line == nullptr) return true;
  std::snprintf(line, kOdbcLineSize, "%s, %s, %s, %s, %s, %s, %s%s%s%s%s%s, %s, %s, \r\n", texts[1].c_str(),
                texts[2].c_str(), date, texts[4].c_str(), texts[5].c_str(), texts[6].c_str(), numbers[0], numbers[1],
                numbers[2], numbers[3], numbers[4], texts[12].c_str(), texts[13].c_str(), texts[14].c_str());
  return true;
}

// The row just fetched as its line (the unusable line when it has no usable
// time or does not fit), and its time (0 then).
uint32_t RenderRowOrUnusable(char* line) {
  if (RenderRow(line)) return g_log.lastRowTime;
  CopyText(line, kOdbcLineSize, kOdbcUnusableLine);
  g_log.lastRowTime = 0;
  return 0;
}

// The SQLSTATE of the statement's last error and its message (both ""
// when there is none). Reading them takes them from the statement.
std::pair<std::string, std::string> StatementError(SQLHSTMT statement) {
  SQLCHAR state[6] = {};
  SQLCHAR message[SQL_MAX_MESSAGE_LENGTH] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  if (!OdbcSucceeded(g_odbc.fn.Error(g_odbc.environment, SQL_NULL_HDBC, statement, state, &native, message,
                                     sizeof(message) - 1, &length))) {
    return {"", ""};
  }
  message[sizeof(message) - 1] = 0;
  return {std::string(reinterpret_cast<char*>(state), 5), reinterpret_cast<char*>(message)};
}

// Fetches the next row of a forward-only query into the column buffers.
// 1: a row; 2: a row whose values the driver could not give (it is read as
// unusable); 0: no further row, or an error that ends the query (shown).
int FetchNext(OdbcSourceData* data) {
  const SQLRETURN r = g_odbc.fn.Fetch(data->statement);
  if (OdbcSucceeded(r)) return 1;
  if (r != SQL_ERROR) return 0;
  // A value out of range or of a type that does not convert (data
  // exceptions, class 22; restricted conversions, 07006) spoils its row only.
  const auto [state, message] = StatementError(data->statement);
  if (state.rfind("22", 0) == 0 || state == "07006") return 2;
  const std::string text = "SQLFetch: " + state + " - " + message;
  kv::ui::MessageBox(0, text.c_str(), "ODBC Error", kv::ui::MbOk);
  return 0;
}

// Runs a statement text on the log's statement (its cursor closed first).
// False on an error (shown).
bool RunOnStatement(OdbcSourceData* data, const std::string& text) {
  g_odbc.fn.FreeStmt(data->statement, SQL_CLOSE);
  std::string copy = text;
  return OdbcSucceeded(ReportODBCError(
      g_odbc.fn.ExecDirect(data->statement, reinterpret_cast<SQLCHAR*>(copy.data()), SQL_NTS), "SQLExecDirect",
      data->connection, data->statement));
}

// Reads the rows at places from..last (from 0) of the prepared log, a page
// of rows at a time, and hands each to take(place, fetched): fetched is
// false for a row whose values the driver could not give. False on an error
// (shown); the rows end early at the end of the table.
template <typename Take>
bool ReadRange(OdbcSourceData* data, uint64_t from, uint64_t last, Take take) {
  using Paging = OdbcLogState::Paging;
  uint64_t at = from;
  if (g_log.paging == Paging::kStream) {
    if (g_log.streamAt > from) {
      // The query is read past the rows wanted (or closed): run it again.
      g_log.streamAt = UINT64_MAX;
      if (!RunOnStatement(data, g_log.select)) return false;
      g_log.streamAt = 0;
    }
    while (g_log.streamAt < from) {
      if (FetchNext(data) == 0) {
        g_log.streamAt = UINT64_MAX;
        return true;
      }
      ++g_log.streamAt;
    }
    while (at <= last) {
      const int r = FetchNext(data);
      if (r == 0) {
        g_log.streamAt = UINT64_MAX;
        g_odbc.fn.FreeStmt(data->statement, SQL_CLOSE);
        return true;
      }
      take(at++, r == 1);
      g_log.streamAt = at;
    }
    return true;
  }
  if (g_log.paging == Paging::kCursor &&
      !RunOnStatement(data, "MOVE ABSOLUTE " + std::to_string(from) + " IN " + kCursorName)) {
    return false;
  }
  while (at <= last) {
    const uint64_t want = std::min<uint64_t>(kOdbcPageRows, last - at + 1);
    const std::string text =
        g_log.paging == Paging::kCursor
            ? "FETCH FORWARD " + std::to_string(want) + " FROM " + kCursorName
            : g_log.select + " LIMIT " + std::to_string(want) + " OFFSET " + std::to_string(at);
    if (!RunOnStatement(data, text)) return false;
    uint64_t got = 0;
    for (int r; got < want && (r = FetchNext(data)) != 0; ++got) take(at + got, r == 1);
    at += got;
    if (got < want) break;  // the end of the table
  }
  // A cursor of the data source stays, in the transaction the log is read
  // in; a query per page ends its work.
  g_odbc.fn.FreeStmt(data->statement, SQL_CLOSE);
  if (g_log.paging == Paging::kLimit) g_odbc.fn.Transact(g_odbc.environment, data->connection, SQL_COMMIT);
  return true;
}

// Fills the window of the rows read at positions first.. (a page of them):
// while preparing, the rows at those places of the table; afterwards the
// rows the row table sorted there, read in one pass over the places they
// span. False on an error (shown).
bool LoadWindow(OdbcSourceData* data, uint64_t first) {
  Window& window = g_log.window;
  window.first = UINT64_MAX;
  window.rows.clear();
  char line[kOdbcLineSize];
  auto render = [&](bool fetched, PageRow* row) {
    row->time = fetched ? RenderRowOrUnusable(line) : 0;
    row->line = fetched ? line : kOdbcUnusableLine;
  };
  if (g_log.counting) {
    window.rows.reserve(kOdbcPageRows);
    const bool ok = ReadRange(data, first, first + kOdbcPageRows - 1, [&](uint64_t, bool fetched) {
      window.rows.emplace_back();
      render(fetched, &window.rows.back());
    });
    if (!ok) return false;
    window.first = first;
    return true;
  }
  const uint64_t end = std::min<uint64_t>(g_log.rows.size(), first + kOdbcPageRows);
  if (first >= end) return false;
  // The window's places in table order, each with its position.
  std::vector<std::pair<uint64_t, uint64_t>> places;
  places.reserve(end - first);
  for (uint64_t position = first; position < end; ++position) {
    places.emplace_back(uint64_t{g_log.rows[position].bookmark} - 1, position - first);
  }
  std::sort(places.begin(), places.end());
  window.rows.resize(end - first);
  std::vector<bool> filled(end - first, false);
  size_t next = 0;
  const bool ok = ReadRange(data, places.front().first, places.back().first, [&](uint64_t place, bool fetched) {
    while (next < places.size() && places[next].first < place) ++next;
    if (next >= places.size() || places[next].first != place) return;  // not a row of this window
    render(fetched, &window.rows[places[next].second]);
    filled[places[next].second] = true;
    for (size_t same = next + 1; same < places.size() && places[same].first == place; ++same) {
      window.rows[places[same].second] = window.rows[places[next].second];
      filled[places[same].second] = true;
    }
  });
  if (!ok) return false;
  // Rows gone from the table since it was prepared end the window.
  size_t kept = 0;
  while (kept < filled.size() && filled[kept]) ++kept;
  window.rows.resize(kept);
  window.first = first;
  return true;
}

// The row read at position `position` of the prepared log (while preparing,
// the row at that place of the table); null past the last row or on an
// error.
const PageRow* RowAt(OdbcSourceData* data, uint64_t position) {
  const uint64_t first = position - position % kOdbcPageRows;
  if (g_log.window.first != first && !LoadWindow(data, first)) return nullptr;
  const uint64_t index = position - first;
  return index < g_log.window.rows.size() ? &g_log.window.rows[index] : nullptr;
}

bool FetchRow(SQLHSTMT statement, SQLUSMALLINT orientation, SQLLEN row) {
  SQLULEN fetched = 0;
  SQLUSMALLINT status = SQL_ROW_SUCCESS;
  const SQLRETURN r = g_odbc.fn.ExtendedFetch(statement, orientation, row, &fetched, &status);
  // A text longer than its column buffer comes truncated, with information:
  // the row is still good.
  return OdbcSucceeded(r) && (status == SQL_ROW_SUCCESS || status == SQL_ROW_SUCCESS_WITH_INFO);
}

// Progress of the sort: comparisons so far over count times log2(count).
struct SortProgress {
  double expected = 1;
  uint64_t comparisons = 0;
  uint32_t lastPercent = 0;
};

}  // namespace

// ---- the interface ---------------------------------------------------------------

void RegisterOdbcLogSource() {
  RegisterLogSourceOpener("odbc:", OpenerForLogSources);
  RegisterOdbcLogPreparer(PrepareODBCLogSource);
}

bool OpenODBCLogSource(const char* location, LogSource* source) {
  if (location == nullptr || source == nullptr || strncasecmp(location, "odbc:", 5) != 0) return false;
  auto* data = new (std::nothrow) OdbcSourceData();
  if (data == nullptr) return false;
  source->kind = kLogSourceOdbc;
  source->size = 0;
  source->position = 0;
  source->ops = &kOdbcOps;
  source->kindData = data;

  if (g_log.prepared != nullptr) {
    if (std::strcmp(g_log.prepared->connectionString, location + 5) == 0) {
      *data = *g_log.prepared;
      data->ownsConnection = false;
      source->size = g_log.preparedSize;
      source->position = uint64_t{data->currentRow} * kOdbcRowWidth;
      g_log.open.push_back(source);
      return true;
    }
    // Another data source: the prepared rows are not this log's.
    ReleasePrepared();
  }

  if (!OpenFresh(location, data)) {
    ReleaseHandles(data);
    delete data;
    source->kindData = nullptr;
    source->ops = nullptr;
    VRN_CloseODBC(-1);
    return false;
  }
  data->handle = kOdbcSourceOpen;
  data->currentRow = 1;
  data->ownsConnection = true;
  source->position = kOdbcRowWidth;
  g_log.open.push_back(source);
  if (!g_log.counting) CountODBCRows(source);
  return true;
}

int PrepareODBCLogSource(const char* connection) {
  if (connection == nullptr) return 0;
  if (g_log.prepared != nullptr) {
    if (std::strcmp(g_log.prepared->connectionString, connection) == 0) return 1;
    ReleasePrepared();
  }
  g_log.counting = true;

  LogSource source;
  const std::string location = std::string("odbc:") + connection;
  CopyText(source.name, sizeof(source.name), location.c_str());
  if (!OpenODBCLogSource(location.c_str(), &source)) {
    g_log.counting = false;
    return 0;
  }
  OdbcSourceData* data = DataOf(&source);
  auto fail = [&]() {
    ForgetOpen(&source);
    ReleaseHandles(data);
    delete data;
    ReleasePrepared();
    return 0;
  };

  g_log.rows.clear();
  uint32_t count = 0, reported = 0;
  // A row without a usable time is sorted with the row stored before it,
  // so that a run over the time of its neighbours reads and counts it.
  uint32_t previousTime = 0;
  uint64_t position = 0;
  char line[kOdbcLineSize];
  for (;;) {
    uint64_t next = position;
    if (FetchODBCLogLine(&source, line, position, &next) != 3) break;
    if (g_log.rows.size() == g_log.rows.capacity()) {
      try {
        g_log.rows.reserve(g_log.rows.size() + kRowTableStep);
      } catch (const std::bad_alloc&) {
        return fail();
      }
    }
    if (g_log.lastRowTime != 0) previousTime = g_log.lastRowTime;
    g_log.rows.push_back({g_log.lastBookmark, previousTime});
    ++count;
    if (count - reported >= kProgressStep) {
      reported = count;
      char text[16];
      std::snprintf(text, sizeof(text), "%u", count);
      SendProgress(kMessageRowCount, 0, reinterpret_cast<KvLParam>(text));
      if (PumpAndCheckCancel()) return fail();
    }
    if (next <= position) break;
    position = next;
  }

  source.size = uint64_t{count} * kOdbcRowWidth;
  data->rowCount = count;
  SendProgress(kMessagePercent, 0, 0);
  SendProgress(kMessageSorting, 0, 0);
  SortProgress progress;
  if (count > 1) progress.expected = static_cast<double>(count) * std::log2(static_cast<double>(count));
  std::stable_sort(g_log.rows.begin(), g_log.rows.end(), [&](const OdbcRowEntry& a, const OdbcRowEntry& b) {
    const uint32_t percent = static_cast<uint32_t>(static_cast<double>(++progress.comparisons) * 100.0 / progress.expected);
    if (percent != progress.lastPercent && percent < 95) {
      progress.lastPercent = percent;
      SendProgress(kMessagePercent, percent, 0);
    }
    return a.time < b.time;
  });

  ForgetOpen(&source);
  source.kindData = nullptr;
  // Positions count in time order from now on: the rows read while
  // preparing were in table order.
  g_log.window.first = UINT64_MAX;
  std::vector<PageRow>().swap(g_log.window.rows);
  g_log.prepared = data;
  g_log.preparedSize = source.size;
  g_log.counting = false;
  SendProgress(kMessagePercent, 100, 0);
  return 1;
}

uint16_t FetchODBCLogLine(LogSource* source, char* line, uint64_t position, uint64_t* next) {
  OdbcSourceData* data = DataOf(source);
  if (line != nullptr) line[0] = 0;
  if (data == nullptr || data->statement == SQL_NULL_HSTMT || !IsLive(data)) return 1;
  uint64_t row = position / kOdbcRowWidth;
  if (data->paged) {
    // While preparing, the rows in table order; afterwards in time order,
    // each from its place in the table.
    if (!g_log.counting && (row >= data->rowCount || row >= g_log.rows.size())) return 1;
    const PageRow* found = RowAt(data, row);
    if (found == nullptr) return 1;
    if (next != nullptr) *next = (row + 1) * kOdbcRowWidth;
    g_log.lastRowTime = found->time;
    g_log.lastBookmark = g_log.counting ? static_cast<uint32_t>(row + 1) : g_log.rows[row].bookmark;
    if (line != nullptr) CopyText(line, kOdbcLineSize, found->line.c_str());
    return 3;
  }
  // A source read on its own: the row at the position asked for, by its
  // number on the static cursor, wherever the cursor was left.
  if (row >= data->rowCount) return 1;
  if (next != nullptr) *next = (row + 1) * kOdbcRowWidth;
  const bool fetched = FetchRow(data->statement, SQL_FETCH_ABSOLUTE, static_cast<SQLLEN>(row + 1));
  g_odbc.fn.Transact(g_odbc.environment, data->connection, SQL_COMMIT);
  if (!fetched) return 1;
  g_log.lastBookmark = data->bookmarks ? static_cast<uint32_t>(g_log.columns.bookmark) : static_cast<uint32_t>(row + 1);
  // A row without a usable time, or too long for a line, is still a row of
  // the log: it is read as the unusable line.
  char own[kOdbcLineSize];
  RenderRowOrUnusable(line != nullptr ? line : own);
  return 3;
}

void CountODBCRows(LogSource* source) {
  OdbcSourceData* data = DataOf(source);
  if (data == nullptr || source->size != 0 || !IsLive(data)) return;
  auto answers = [&](uint64_t row) { return FetchRow(data->statement, SQL_FETCH_ABSOLUTE, static_cast<SQLLEN>(row)); };
  constexpr uint64_t kLimit = uint64_t{1} << 31;
  uint64_t low = 0;     // the last row that answered (0: none yet)
  uint64_t high = 1024; // the first row that did not
  while (high < kLimit && answers(high)) {
    low = high;
    high *= 2;
  }
  while (high - low >= 21) {
    const uint64_t middle = low + (high - low) / 2;
    if (answers(middle)) {
      low = middle;
    } else {
      high = middle;
    }
  }
  while (low + 1 < high && answers(low + 1)) ++low;
  g_odbc.fn.Transact(g_odbc.environment, data->connection, SQL_COMMIT);
  data->rowCount = static_cast<uint32_t>(low);
  source->size = low * kOdbcRowWidth;
}

uint64_t SeekODBCSource(LogSource* source, uint64_t offset, uint32_t origin) {
  OdbcSourceData* data = DataOf(source);
  if (data == nullptr) return 0;
  if (origin == 0) {
    const uint64_t row = offset / kOdbcRowWidth;
    data->currentRow = row > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(row);
  } else if (origin == 2) {
    data->currentRow = data->rowCount;
  }
  source->position = uint64_t{data->currentRow} * kOdbcRowWidth;
  return source->position;
}

uint64_t FindODBCRecordStart(LogSource* source, uint64_t offset) {
  OdbcSourceData* data = DataOf(source);
  const uint64_t rows = data != nullptr ? data->rowCount : 0;
  const uint64_t row = offset / kOdbcRowWidth;
  if (row <= rows) return row == 0 ? 0 : (row - 1) * kOdbcRowWidth;
  return rows == 0 ? 0 : (rows - 1) * kOdbcRowWidth;
}

bool OdbcTextToTimestamp(const char* text, SQL_TIMESTAMP_STRUCT* out) {
  if (text == nullptr || out == nullptr) return false;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
  const int fields = std::sscanf(text, "%4d-%2d-%2d%n %2d:%2d:%2d%n", &year, &month, &day, &used, &hour, &minute,
                                 &second, &used);
  if (fields != 3 && fields != 6) return false;
  if (fields == 3) hour = minute = second = 0;
  // Fractions of a second may follow; nothing else.
  const char* rest = text + used;
  if (*rest == '.' && fields == 6) {
    ++rest;
    while (*rest >= '0' && *rest <= '9') ++rest;
  }
  while (*rest == ' ') ++rest;
  if (*rest != 0) return false;
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 61 ||
      hour < 0 || minute < 0 || second < 0) {
    return false;
  }
  *out = SQL_TIMESTAMP_STRUCT{};
  out->year = static_cast<SQLSMALLINT>(year);
  out->month = static_cast<SQLUSMALLINT>(month);
  out->day = static_cast<SQLUSMALLINT>(day);
  out->hour = static_cast<SQLUSMALLINT>(hour);
  out->minute = static_cast<SQLUSMALLINT>(minute);
  out->second = static_cast<SQLUSMALLINT>(second);
  return true;
}

void TimestampToText(const SQL_TIMESTAMP_STRUCT& t, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  int first = t.month, second = t.day, third = t.year;
  const uint32_t order = PlainDateOrder(CommaDateOrder());
  if (order == 1) {
    first = t.day;
    second = t.month;
  } else if (order == 2) {
    first = t.year;
    second = t.month;
    third = t.day;
  }
  const char d = DateSeparator(), s = TimeSeparator();
  std::snprintf(out, size, "%d%c%d%c%d, %d%c%d%c%d", first, d, second, d, third, t.hour, s, t.minute, s, t.second);
}

void AccessDateToText(const char* text, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  const std::string input = text != nullptr ? text : "";
  CopyText(out, size, input.c_str());
  const size_t space = input.find(' ');
  if (space == std::string::npos) return;

  std::string date = input.substr(0, space);
  const size_t dash = date.find('-');
  if (dash == 4) {
    const size_t dash2 = date.find('-', dash + 1);
    if (dash2 != std::string::npos) {
      const std::string year = date.substr(0, 4);
      const std::string month = date.substr(dash + 1, dash2 - dash - 1);
      const std::string day = date.substr(dash2 + 1);
      const std::string sep(1, DateSeparator());
      const uint32_t order = PlainDateOrder(CommaDateOrder());
      if (order == 1) {
        date = day + sep + month + sep + year;
      } else if (order == 2) {
        date = year + sep + month + sep + day;
      } else {
        date = month + sep + day + sep + year;
      }
    }
  }

  const bool afternoon = input.find("PM") != std::string::npos;
  const bool morning = input.find("AM") != std::string::npos;
  const std::string time = input.substr(space + 1);
  size_t cut = time.find(':');
  if (cut == std::string::npos) cut = time.find('.');
  if (cut == std::string::npos) return;
  int hour = std::atoi(time.substr(0, cut).c_str());
  if (afternoon && hour < 12) {
    hour += 12;
  } else if (morning && !afternoon && hour == 12) {
    hour = 0;  // 12 AM is midnight; a 24-hour text keeps its 12
  }
  std::string rest = time.substr(cut);
  if (rest.size() >= 2 && (rest.compare(rest.size() - 2, 2, "PM") == 0 || rest.compare(rest.size() - 2, 2, "AM") == 0)) {
    rest.erase(rest.size() - 2);
    if (!rest.empty() && rest.back() == ' ') rest.pop_back();
  }
  for (char& c : rest) {
    if (c == ':' || c == '.') c = TimeSeparator();
  }
  const std::string result = date + ", " + std::to_string(hour) + rest;
  CopyText(out, size, result.c_str());
}

const char* OdbcLogTableName() { return g_log.table; }
bool OdbcLogIsAccess() { return g_log.access; }
bool OdbcLogIsPrepared() { return g_log.prepared != nullptr; }
const std::vector<OdbcRowEntry>& OdbcLogRowTable() { return g_log.rows; }

}  // namespace vrn

using vrn::g_log;

void VRN_CloseODBC(intptr_t handle) {
  vrn::LogSource* source = vrn::LogSourceRecord(handle);
  if (source != nullptr && std::find(g_log.open.begin(), g_log.open.end(), source) != g_log.open.end()) {
    vrn::ReleaseHandles(vrn::DataOf(source));
  }
  vrn::ReleasePrepared();
}
