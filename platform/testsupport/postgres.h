// A PostgreSQL server of the test's own: a cluster made by initdb in a
// temporary folder, listening on a free loopback port, reached through the
// PostgreSQL ODBC driver by its path (no data source definitions needed).
#ifndef KV_PLATFORM_TESTSUPPORT_POSTGRES_H
#define KV_PLATFORM_TESTSUPPORT_POSTGRES_H

#include <cstdint>
#include <string>

namespace kv::test {

class PostgresServer {
 public:
  PostgresServer() = default;
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;
  ~PostgresServer() { Stop(); }

  // "" when the server runs; else why not, with *missing set when the
  // server programs or the ODBC driver are not installed. Run as root, the
  // server runs as the user "nobody" (the server refuses root).
  std::string Start(bool* missing);
  // Stops the server at once and removes its folder.
  void Stop();

  // The Unicode driver's path, and the ANSI one's.
  const std::string& Driver() const { return driver_; }
  const std::string& AnsiDriver() const { return ansiDriver_; }
  // A connection string for the database "postgres" as the user "kv",
  // through the given driver (by default the Unicode one).
  std::string ConnectText(const std::string& driver = "") const;

 private:
  std::string bin_, driver_, ansiDriver_, dir_, as_;
  uint16_t port_ = 0;
  bool started_ = false;
};

}  // namespace kv::test

#endif
