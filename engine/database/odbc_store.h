// The realtime result store kept in an ODBC data source: each day's database
// (template record, item tables, session table) as rows of ten tables keyed
// by the day's start time, and KVLogMasterTable as the list of days.
//
// The driver manager is the shared binding of odbc_library.h. A store handle
// of kind kStoreOdbc (realtime_store.h) carries an OdbcConnection in its
// `odbc` field; the profile's ODBCConnection field mirrors the connection
// handle while it is open.
//
// Special values of the stored rows: kOdbcNoLink stands for -1 in the link
// fields; kOdbcSessionTable and kOdbcTemplateArrays are SummaryTableType
// values of the session table and of the template's own per-slot arrays.
#ifndef VORNIC_DATABASE_ODBC_STORE_H
#define VORNIC_DATABASE_ODBC_STORE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <vornic/odbcstore.h>
#include <vornic/profile.h>

#include "engine/database/analysis_context.h"
#include "engine/database/odbc_library.h"
#include "engine/database/realtime_store.h"

namespace vrn {

constexpr uint32_t kOdbcNoLink = 0x0FFFFFFDu;
constexpr uint32_t kOdbcTemplateArrays = 0x0FFFFFFEu;
constexpr uint32_t kOdbcSessionTable = 0x0FFFFFFFu;

// DataType of interval rows.
constexpr uint32_t kOdbcItemSlotHits = 9;
constexpr uint32_t kOdbcItemSlotUsers = 10;
constexpr uint32_t kOdbcTemplateBytes = 11;

// The ten tables, in schema order.
enum OdbcTable : int {
  kOdbcMaster = 0,
  kOdbcTemplate,
  kOdbcSummary,
  kOdbcName,
  kOdbcTopName,
  kOdbcDwordInterval,
  kOdbcDoubleInterval,
  kOdbcSortIndex,
  kOdbcSearchEngine,
  kOdbcSearchKeyword,
  kOdbcTableCount
};
// Name of a table ("KVLogMasterTable" ...), null out of range.
const char* OdbcTableName(int table);

// The connection state of an open ODBC store.
struct OdbcConnection {
  SQLHDBC connection = SQL_NULL_HDBC;
  // Master start times in ascending order: capacity, count, and the next
  // row ReadNextODBCEntry returns.
  uint32_t capacity = 0;
  uint32_t count = 0;
  uint32_t position = 0;
  uint32_t* startTimes = nullptr;
};

// ---- schema and writing ----------------------------------------------------------
// Connects the store to its profile's ODBCPellavar data source: 1/0.
int ConnectToODBCDatabase(RealtimeStore* store);
// Creates the ten tables and their indexes on a connection: 3 all created,
// 1 KVLogMasterTable already existed (nothing else was looked at), 2 failure.
int CreateODBCSchema(SQLHDBC connection);
// Type names used by the last schema creation (integer, text).
const char* OdbcIntegerTypeName();
const char* OdbcTextTypeName();
// Replaces one day's rows (its master row included) in one transaction and
// frees the template's item tables: 1 written, 0 failure, 2 cancelled by the
// client. After a failure or a cancel the day's rows are as they were.
int SaveDayToODBC(RealtimeStore* store, TemplateRecord* templ, const MasterRecord* record);

// The text of a double as stored: "%f" cut at the decimal point; false (and
// an empty text) when that takes 30 characters or more.
bool FormatOdbcDouble(double value, char out[32]);
// A stored double text back as a value (0 for an empty or unreadable text).
double ParseOdbcDouble(const char* text);

// ---- reading, master rows and deletion -------------------------------------------
// Loads the record's day into the context: kDbEmpty (no template row),
// kDbLoaded, kDbBad, kDbCancelled.
int LoadDayFromODBC(RealtimeStore* store, AnalysisContext* context, const MasterRecord* record);
// Deletes every row of the day: 1, or 0 when a statement could not be made
// or a delete failed.
int DeleteDayRows(OdbcConnection* connection, uint32_t startTime);
// Loads the master start times and, with create set, adds master rows so
// that [spanStart, spanEnd] is covered: 1/0.
int ExtendMasterRows(RealtimeStore* store, uint32_t spanStart, uint32_t spanEnd, int create);
// Adds day rows for the span around the loaded start times (see the
// implementation): 1/0.
int AddMasterRows(RealtimeStore* store, uint32_t spanStart, uint32_t spanEnd);
// Loads (again) the master start times: 1/0.
int LoadMasterTimes(RealtimeStore* store);
// The master record at the current position (1, position moves on), or 0 at
// the end.
int ReadNextODBCEntry(RealtimeStore* store, MasterRecord* record);
void SetODBCEntryPointer(RealtimeStore* store, uint32_t position);
// Replaces the master row of the record's day: 1/0.
int RewriteLastODBCEntry(RealtimeStore* store, const MasterRecord* record);
void ResetToLastODBCEntry(RealtimeStore* store);
// Drops the ten tables of the profile's ODBC store (the open store is
// closed first): 1 when its list of days is gone, 0 when the store cannot
// be reached or kept its tables.
int DropODBCTables(DravelEntry* profile);
// Ends the store's connection and frees its state.
void DisconnectFromODBCDatabase(RealtimeStore* store);

// ---- internal helpers shared by the two halves -------------------------------------
namespace odbcstore {

constexpr int kMaxColumns = 22;
constexpr size_t kTextBuffer = 256;

struct ColumnDef {
  const char* name;
  int textSize;  // 0 for an integer column
};
struct TableDef {
  const char* name;
  int columnCount;
  int indexCount;  // the index columns are the first ones
  ColumnDef columns[kMaxColumns];
};
const TableDef& Table(int table);

// Value buffers of one table's columns (parameters and result columns).
struct RowBuffer {
  SQLUINTEGER number[kMaxColumns];
  char text[kMaxColumns][kTextBuffer];
  SQLLEN indicator[kMaxColumns];
  void Clear();
  // Setters and getters by column name; a missing name is a programming
  // error and asserts in debug builds.
  void Set(int table, const char* column, uint32_t value);
  void SetText(int table, const char* column, const char* value);
  uint32_t Get(int table, const char* column) const;
  const char* GetText(int table, const char* column) const;
};
int ColumnIndex(int table, const char* column);

// The ten statements of a store operation, in OdbcTable order.
struct StatementPool {
  SQLHSTMT statements[kOdbcTableCount] = {};
  bool allocated = false;
};
bool AllocPool(SQLHDBC connection, StatementPool* pool);
void FreePool(StatementPool* pool);

// Binds every column of the table as an input parameter of an insert, the
// first column as parameter firstParameter + 1 (a row of a multi-row insert).
bool BindInsertParameters(SQLHSTMT statement, int table, RowBuffer* row, int firstParameter = 0);
// Binds every column as a result column.
bool BindResultColumns(SQLHSTMT statement, int table, RowBuffer* row);
// After a fetch: nulls become 0 / empty, texts end within their size.
void NormaliseRow(int table, RowBuffer* row);

// "INSERT INTO <table> (<columns>) VALUES (?, ...)", with `rows` rows of
// parameters.
std::string InsertText(int table, int rows = 1);

// Ends the store's transaction (autocommit was turned off): commits when
// `commit` is set, rolls back otherwise or when the commit fails, and turns
// autocommit on again; true when committed. A connection whose transaction
// the database had already ended itself is connected again, so that the
// next transaction is really one.
bool EndTransaction(RealtimeStore* store, bool commit);
// Executes a statement text directly on a new statement, reporting a failure
// under `operation`; true on success.
bool ExecDirect(SQLHDBC connection, const std::string& text, const char* operation);
// True when the client asked to cancel.
bool ClientCancelled();
// The day's name of a start time.
void DayName(uint32_t startTime, char* out, size_t size);

}  // namespace odbcstore

}  // namespace vrn

#endif
