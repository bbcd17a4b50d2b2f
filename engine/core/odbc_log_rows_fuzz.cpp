// An ODBC log table holding arbitrary values: the input's lines are rows,
// their tab-separated fields the values of the log's 14 columns (missing
// ones NULL), stored through the SQLite ODBC driver in a data source of a
// temporary folder. The first byte picks the table's name ("logfile" or
// another) and whether the source is read as an Access one. The source is
// prepared, every row rendered as a comma line and read by the line reader:
// a line always ends within its buffer, no more hits come than rows, and
// they come in time order as the prepared rows are sorted. The texts of the
// time and number columns are stored only in the shape the driver itself
// can convert (its own conversions are not what is tested here; the time's
// text as an Access source gives it has a fuzzer of its own).
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <vornic/odbc.h>

#include "engine/core/engine_state.h"
#include "engine/core/hit_record.h"
#include "engine/core/log_reader.h"
#include "engine/core/log_source.h"
#include "engine/core/odbc_log_source.h"
#include "engine/database/odbc_library.h"
#include "platform/module/module.h"
#include "platform/ui/msgbox.h"

namespace {

std::string g_folder;
constexpr int kColumnCount = 14;
constexpr const char* kColumns =
    "(ClientHost varchar(255), username varchar(255), LogTime datetime, service varchar(255), "
    "machine varchar(255), serverip varchar(50), processingtime int, bytesrecvd int, bytessent int, "
    "servicestatus int, win32status int, operation varchar(255), target varchar(255), parameters varchar(255))";

std::string FindSqliteDriver() {
  for (const char* path : {"/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so",
                           "/usr/lib/aarch64-linux-gnu/odbc/libsqlite3odbc.so", "/usr/lib/odbc/libsqlite3odbc.so"}) {
    if (access(path, R_OK) == 0) return path;
  }
  return "";
}

// A value as an SQL literal: quotes doubled; a zero byte ends it, as the
// driver's texts end there.
std::string Literal(const std::string& value) {
  std::string out = "'";
  for (char c : value) {
    if (c == '\0') break;
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

constexpr int kTimeColumn = 2;
constexpr int kFirstNumberColumn = 6;
constexpr int kLastNumberColumn = 10;

// "YYYY-MM-DD HH:MM:SS" made of the value's digits (missing ones 0), or
// NULL for an empty value.
std::string TimeLiteral(const std::string& value) {
  if (value.empty()) return "NULL";
  std::string digits;
  for (char c : value)
    if (c >= '0' && c <= '9') digits += c;
  digits.resize(14, '0');
  return "'" + digits.substr(0, 4) + "-" + digits.substr(4, 2) + "-" + digits.substr(6, 2) + " " +
         digits.substr(8, 2) + ":" + digits.substr(10, 2) + ":" + digits.substr(12, 2) + "'";
}

// A whole number of at most nine digits (with its sign), else NULL.
std::string NumberLiteral(const std::string& value) {
  size_t i = !value.empty() && value[0] == '-' ? 1 : 0;
  if (value.size() <= i || value.size() - i > 9) return "NULL";
  for (size_t k = i; k < value.size(); ++k)
    if (value[k] < '0' || value[k] > '9') return "NULL";
  return value;
}

bool Exec(SQLHDBC connection, const std::string& sql) {
  const vrn::OdbcFunctions& fn = vrn::g_odbc.fn;
  SQLHSTMT statement = SQL_NULL_HSTMT;
  if (!vrn::OdbcSucceeded(fn.AllocStmt(connection, &statement))) return false;
  const bool ok = vrn::OdbcSucceeded(
      fn.ExecDirect(statement, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS));
  fn.FreeStmt(statement, SQL_DROP);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "UTC", 1);
  char pattern[] = "/tmp/kvodbclogfuzzXXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  g_folder = pattern;
  std::atexit([] {
    VRN_CloseODBC(-1);
    for (const char* f : {"/odbcinst.ini", "/odbc.ini", "/web.db", "/access.db"})
      std::remove((g_folder + f).c_str());
    rmdir(g_folder.c_str());
  });
  const std::string driver = FindSqliteDriver();
  if (driver.empty()) std::abort();
  std::ofstream(g_folder + "/odbcinst.ini") << "[SQLite3]\nDriver=" << driver << "\n";
  std::ofstream(g_folder + "/odbc.ini") << "[web]\nDriver=SQLite3\nDatabase=" << g_folder
                                        << "/web.db\nSyncPragma=OFF\n\n[MS Access Logs]\nDriver=SQLite3\nDatabase="
                                        << g_folder << "/access.db\nSyncPragma=OFF\n\n";
  setenv("ODBCSYSINI", g_folder.c_str(), 1);
  setenv("ODBCINI", (g_folder + "/odbc.ini").c_str(), 1);
  // The driver manager and the driver stay loaded for the whole run.
  for (const char* library : {"libodbc.so.2", driver.c_str(), "libodbcinst.so.2"}) dlopen(library, RTLD_NOW);
  kv::ui::SetMessageBoxHandler([](const kv::ui::MessageBoxInfo&) { return 0; });
  vrn::g_engine.logSDate[0] = '/';
  vrn::g_engine.logSTime[0] = ':';
  vrn::RegisterOdbcLogSource();
  if (vrn::LoadODBCLibrary() == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 16 * 1024) return 0;
  const bool access = (data[0] & 1) != 0;
  const char* table = (data[0] & 2) != 0 ? "logfile" : "hits";
  vrn::g_engine.logIDate = (data[0] >> 2) % 3;
  const std::string dsn = access ? "MS Access Logs" : "web";

  // The rows.
  std::vector<std::string> statements = {std::string("DROP TABLE IF EXISTS logfile"), "DROP TABLE IF EXISTS hits",
                                         std::string("CREATE TABLE ") + table + kColumns};
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t rows = 0;
  for (size_t start = 0; start < text.size() && rows < 200;) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string sql = std::string("INSERT INTO ") + table + " VALUES (";
    size_t field = start;
    for (int c = 0; c < kColumnCount; ++c) {
      if (c > 0) sql += ", ";
      if (field > end) {
        sql += "NULL";
        continue;
      }
      size_t stop = text.find('\t', field);
      if (stop == std::string::npos || stop > end) stop = end;
      const std::string value = text.substr(field, stop - field);
      field = stop + 1;
      if (c == kTimeColumn) {
        sql += TimeLiteral(value);
      } else if (c >= kFirstNumberColumn && c <= kLastNumberColumn) {
        sql += NumberLiteral(value);
      } else {
        sql += Literal(value);
      }
    }
    statements.push_back(sql + ")");
    ++rows;
    start = end + 1;
  }
  const vrn::OdbcFunctions& fn = vrn::g_odbc.fn;
  SQLHDBC connection = SQL_NULL_HDBC;
  if (!vrn::OdbcSucceeded(fn.AllocConnect(vrn::g_odbc.environment, &connection))) std::abort();
  const std::string connect = "DSN=" + dsn;
  if (!vrn::OdbcSucceeded(fn.DriverConnect(connection, nullptr,
                                           reinterpret_cast<SQLCHAR*>(const_cast<char*>(connect.c_str())), SQL_NTS,
                                           nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)))
    std::abort();
  for (const std::string& sql : statements) Exec(connection, sql);
  fn.Disconnect(connection);
  fn.FreeConnect(connection);

  if (vrn::PrepareODBCLogSource(connect.c_str()) == 1) {
    const std::string location = "odbc:" + connect;
    const vrn::LogSourceHandle handle = vrn::OpenLogSourceForReading(location.c_str());
    if (handle != vrn::kNoLogSource) {
      vrn::LogSource* source = vrn::LogSourceRecord(handle);
      char line[vrn::kOdbcLineSize];
      uint64_t position = 0, next = 0;
      for (size_t n = 0; n <= rows; ++n) {
        std::memset(line, 0x5A, sizeof line);
        if (vrn::FetchODBCLogLine(source, line, position, &next) != 3) break;
        if (std::memchr(line, 0, sizeof line) == nullptr || next <= position) std::abort();
        position = next;
      }
      vrn::ResetLogReader();
      size_t hits = 0;
      uint32_t last = 0;
      position = 0;
      for (size_t guard = 0; guard < 4 * rows + 4; ++guard) {
        vrn::HitRecord hit;
        std::memset(&hit, 0, sizeof hit);
        const uint16_t r = vrn::ReadNextHit(handle, position, &hit, &next, vrn::kDefaultReadWindow);
        if (r == vrn::kReadHit) {
          if (++hits > rows || hit.HitTime < last) std::abort();
          last = hit.HitTime;
          vrn::FreeHitLine(&hit);
        }
        if (r == vrn::kReadEnd || next <= position) break;
        position = next;
      }
      vrn::CloseLogSource(handle);
    }
  }
  VRN_CloseODBC(-1);
  return 0;
}
