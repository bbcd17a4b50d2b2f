#include "platform/testsupport/postgres.h"

#include <glob.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/testsupport/ports.h"

namespace kv::test {

namespace {

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string PostgresServer::Start(bool* missing) {
  *missing = false;
  glob_t found{};
  if (glob("/usr/lib/postgresql/*/bin/pg_ctl", 0, nullptr, &found) != 0 || found.gl_pathc == 0) {
    globfree(&found);
    *missing = true;
    return "no PostgreSQL server binaries";
  }
  bin_ = fs::path(found.gl_pathv[found.gl_pathc - 1]).parent_path().string() + "/";
  globfree(&found);
  driver_ = "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so";
  ansiDriver_ = "/usr/lib/x86_64-linux-gnu/odbc/psqlodbca.so";
  if (!fs::exists(driver_) || !fs::exists(ansiDriver_)) {
    *missing = true;
    return "no PostgreSQL ODBC driver";
  }
  char pattern[] = "/tmp/kvpgXXXXXX";
  if (mkdtemp(pattern) == nullptr) return "no temporary folder";
  dir_ = pattern;
  as_ = geteuid() == 0 ? "runuser -u nobody -- " : "";
  if (geteuid() == 0 && Shell("chown nobody '" + dir_ + "'") != 0) return "cannot hand the folder over";
  port_ = FreePort();
  if (Shell(as_ + "'" + bin_ + "initdb' -D '" + dir_ + "/data' -A trust -U kv --no-sync >'" + dir_ +
            "/initdb.log' 2>&1") != 0) {
    return "initdb failed: " + ReadText(dir_ + "/initdb.log");
  }
  if (Shell(as_ + "'" + bin_ + "pg_ctl' -D '" + dir_ + "/data' -l '" + dir_ + "/server.log' -w -t 30 -o \"-p " +
            std::to_string(port_) + " -k " + dir_ + " -c listen_addresses=127.0.0.1 -c fsync=off\" start >/dev/null") !=
      0) {
    return "the server did not start: " + ReadText(dir_ + "/server.log");
  }
  started_ = true;
  return "";
}

void PostgresServer::Stop() {
  if (started_) Shell(as_ + "'" + bin_ + "pg_ctl' -D '" + dir_ + "/data' -m immediate -w stop >/dev/null 2>&1");
  started_ = false;
  if (!dir_.empty()) {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  dir_.clear();
}

std::string PostgresServer::ConnectText(const std::string& driver) const {
  return "Driver=" + (driver.empty() ? driver_ : driver) + ";Server=127.0.0.1;Port=" + std::to_string(port_) +
         ";Database=postgres;UID=kv;";
}

}  // namespace kv::test
