// ODBC data sources in a folder of the test's own, on the SQLite driver.
#ifndef KV_PLATFORM_TESTSUPPORT_ODBC_H
#define KV_PLATFORM_TESTSUPPORT_ODBC_H

#include <string>
#include <vector>

namespace kv::test {

// The installed SQLite ODBC driver's path, "" when none is installed.
std::string FindSqliteDriver();

// Writes <folder>/odbcinst.ini (driver "SQLite3" = `driver`) and
// <folder>/odbc.ini with one data source per name, each on the database
// <folder>/<name>.db, and points ODBCSYSINI and ODBCINI at them. False when a
// file cannot be written.
bool WriteSqliteSources(const std::string& folder, const std::string& driver, const std::vector<std::string>& names);

// Keeps the driver manager, the given driver and the settings library (which
// the driver loads for every connection) loaded until the process ends, as a
// program that uses them holds them: they keep caches of their own that are
// released only at exit. False when one of them will not load.
bool PinOdbcLibraries(const std::string& driver);

}  // namespace kv::test

#endif
