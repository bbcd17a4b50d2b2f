#include "platform/testsupport/odbc.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

namespace kv::test {

std::string FindSqliteDriver() {
  for (const char* path : {"/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so",
                           "/usr/lib/aarch64-linux-gnu/odbc/libsqlite3odbc.so", "/usr/lib/odbc/libsqlite3odbc.so",
                           "/usr/lib64/libsqlite3odbc.so"}) {
    if (access(path, R_OK) == 0) return path;
  }
  return "";
}

bool WriteSqliteSources(const std::string& folder, const std::string& driver, const std::vector<std::string>& names) {
  std::ofstream inst(folder + "/odbcinst.ini");
  inst << "[SQLite3]\nDriver=" << driver << "\n";
  inst.close();
  std::ofstream ini(folder + "/odbc.ini");
  for (const std::string& name : names) {
    ini << "[" << name << "]\nDriver=SQLite3\nDatabase=" << folder << "/" << name << ".db\nSyncPragma=OFF\n\n";
  }
  ini.close();
  if (!inst || !ini) return false;
  setenv("ODBCSYSINI", folder.c_str(), 1);
  setenv("ODBCINI", (folder + "/odbc.ini").c_str(), 1);
  return true;
}

bool PinOdbcLibraries(const std::string& driver) {
  bool all = true;
  for (const char* library : {"libodbc.so.2", driver.c_str(), "libodbcinst.so.2"}) {
    if (dlopen(library, RTLD_NOW) == nullptr) all = false;  // never closed
  }
  return all;
}

}  // namespace kv::test
