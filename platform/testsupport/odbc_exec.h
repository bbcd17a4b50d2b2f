// Statements run on a data source through the system's ODBC driver manager,
// for tests that fill a database before a program reads it.
#ifndef KV_PLATFORM_TESTSUPPORT_ODBC_EXEC_H
#define KV_PLATFORM_TESTSUPPORT_ODBC_EXEC_H

#include <string>
#include <vector>

namespace kv::test {

// Connects with the connection string, runs the statements in turn (each
// committed) and disconnects. "" when all of them ran; else what failed,
// with the driver's message. The driver manager stays loaded.
std::string RunOdbcStatements(const std::string& connect, const std::vector<std::string>& statements);

}  // namespace kv::test

#endif
