// The "odbc:" log source: a table of an ODBC data source read as a log in
// the comma-separated layout. Each row becomes one text line, and positions
// count 100 per row. When the log list is built, PrepareODBCLogSource reads
// every row once, keeps its place in the table and its time and sorts them by
// time; later reads fetch the rows from their places in that order. The
// prepared log is read with a forward-only cursor, a page of rows at a time,
// so that neither the engine nor the driver holds the whole table. One ODBC
// log is prepared at a time; VRN_CloseODBC ends it.
#ifndef VORNIC_CORE_ODBC_LOG_SOURCE_H
#define VORNIC_CORE_ODBC_LOG_SOURCE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include <vornic/odbc.h>

#include "engine/core/log_source.h"
#include "engine/database/odbc_library.h"

namespace vrn {

constexpr uint64_t kOdbcRowWidth = 100;        // positions per row
constexpr uint32_t kOdbcLineSize = 2048;       // rendered line, terminator included
constexpr uint32_t kOdbcSourceOpen = 0xFFFFFFFDu;   // handle word of an open source (-3)
constexpr uint32_t kOdbcSourceClosed = 0xFFFFFFFFu; // handle word while not open (-1)
constexpr size_t kOdbcConnectionSize = 300;

// The ODBC part of a log source (LogSource::kindData of kind 2). The size
// and position of the source are LogSource::size and LogSource::position.
struct OdbcSourceData {
  uint32_t handle = kOdbcSourceClosed;
  SQLHDBC connection = SQL_NULL_HDBC;
  SQLHSTMT statement = SQL_NULL_HSTMT;
  char connectionString[kOdbcConnectionSize] = {};
  uint32_t rowCount = 0;
  uint32_t currentRow = 0;
  // True when the driver took bookmarks; otherwise a row is found again by
  // its position in the (static) result set.
  bool bookmarks = false;
  // True for the prepared log and its copies: the rows are read in pages
  // through a forward-only cursor (no bookmarks, no scrolling).
  bool paged = false;
  // True for a source that made its own connection: closing it releases the
  // connection. Sources copied from the prepared source share its connection.
  bool ownsConnection = false;
  // The serial number the connection was made under: a handle value that the
  // driver manager hands out again after a release is a different connection.
  uint64_t connectionSerial = 0;
};

// One entry of the row table: how to fetch the row again (its place in the
// table, counted from 1), and its time (for a row without a usable time,
// that of the row stored before it; 0 for none).
struct OdbcRowEntry {
  uint32_t bookmark;
  uint32_t time;
};

// Rows read per page of the prepared log.
constexpr uint32_t kOdbcPageRows = 4096;

// The columns of a log table, selected by these names (in any case).
constexpr const char* kOdbcLogColumns[14] = {
    "ClientHost", "username",   "LogTime",       "service",     "machine",   "serverip", "processingtime",
    "bytesrecvd", "bytessent",  "servicestatus", "win32status", "operation", "target",   "parameters"};

// The line a row without a usable time (or too long for a line) is read as:
// no log layout takes it, so it is counted as a line not recognised.
constexpr char kOdbcUnusableLine[] = "-, -, -, \r\n";

// Registers the "odbc:" opener with the log sources and the preparation
// with the log file list. Called once when the engine is registered.
void RegisterOdbcLogSource();

// Opens an "odbc:" location into a new record (name already set). Reuses the
// prepared source of the same connection string; otherwise connects, finds
// the table, selects and binds. False (handle -1, nothing left open) on
// failure.
bool OpenODBCLogSource(const char* location, LogSource* source);

// Reads and sorts the rows of a connection string (without "odbc:"). 1 when
// the rows are ready (or already were), 0 on failure or cancel.
int PrepareODBCLogSource(const char* connection);

// Renders the row at position (row = position / 100) into line (at least
// kOdbcLineSize bytes). 3 with a line and *next = position of the following
// row; 1 when there is no further row. Every row gives a line: a row whose
// time is missing or unreadable, or whose texts do not fit, gives
// kOdbcUnusableLine.
uint16_t FetchODBCLogLine(LogSource* source, char* line, uint64_t position, uint64_t* next);

// Sets the row count and size of a source whose size is still 0 by probing
// with absolute fetches.
void CountODBCRows(LogSource* source);

// Origin 0: row = offset / 100; 2: the row count; 1: unchanged. Returns the
// position, row times 100.
uint64_t SeekODBCSource(LogSource* source, uint64_t offset, uint32_t origin);

// Start of the record before offset: (row - 1) * 100 for row = offset / 100
// within the row count, 0 for row 0, else the start of the last row.
uint64_t FindODBCRecordStart(LogSource* source, uint64_t offset);

// Date texts: a timestamp as "d/m/y, h:m:s" in the log's date order, and a
// text date of an Access data source ("yyyy-mm-dd hh:mm:ss AM") turned into
// the same shape. Both write at most size - 1 characters and a terminator,
// with the log's date and time separators.
void TimestampToText(const SQL_TIMESTAMP_STRUCT& timestamp, char* out, size_t size);
// A time kept as text in the ODBC form "yyyy-mm-dd[ hh:mm:ss[.fff]]" into a
// timestamp. False for any other text.
bool OdbcTextToTimestamp(const char* text, SQL_TIMESTAMP_STRUCT* out);
void AccessDateToText(const char* text, char* out, size_t size);

// What the source learned, for inspection.
const char* OdbcLogTableName();
bool OdbcLogIsAccess();
bool OdbcLogIsPrepared();
const std::vector<OdbcRowEntry>& OdbcLogRowTable();

}  // namespace vrn

#endif
