// Loading a day from the ODBC result store when its rows hold arbitrary
// values: the input is turned into rows of the nine day tables
// (odbc_fuzz_rows.h), written through the SQLite ODBC driver into a data
// source in a temporary folder, and the day is loaded and released again.
// A load may fail; it must never touch memory it does not own.
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "engine/database/item_tables.h"
#include "engine/database/odbc_fuzz_rows.h"
#include "engine/database/odbc_store.h"
#include "platform/module/module.h"
#include "platform/ui/msgbox.h"

namespace {

using namespace vrn;

constexpr uint32_t kDayStart = 1773100800;  // a fixed day's start
std::string g_folder;
RealtimeStore g_store{};
DravelEntry g_profile{};
AnalysisContext* g_context = nullptr;

std::string FindSqliteDriver() {
  for (const char* path : {"/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so",
                           "/usr/lib/aarch64-linux-gnu/odbc/libsqlite3odbc.so", "/usr/lib/odbc/libsqlite3odbc.so"}) {
    if (access(path, R_OK) == 0) return path;
  }
  return "";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/kvodbcfuzzXXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  const std::string folder = pattern;
  g_folder = folder;
  std::atexit([] {
    for (const char* f : {"/odbcinst.ini", "/odbc.ini", "/fuzz.db"}) std::remove((g_folder + f).c_str());
    rmdir(g_folder.c_str());
  });
  const std::string driver = FindSqliteDriver();
  if (driver.empty()) std::abort();
  std::ofstream(folder + "/odbcinst.ini") << "[SQLite3]\nDriver=" << driver << "\n";
  std::ofstream(folder + "/odbc.ini") << "[fuzz]\nDriver=SQLite3\nDatabase=" << folder
                                      << "/fuzz.db\nSyncPragma=OFF\n\n";
  setenv("ODBCSYSINI", folder.c_str(), 1);
  setenv("ODBCINI", (folder + "/odbc.ini").c_str(), 1);
  KvLoadModule("ODBC32.DLL");
  KvLoadModule(driver.c_str());
  dlopen("libodbcinst.so.2", RTLD_NOW);
  kv::ui::SetMessageBoxHandler([](const kv::ui::MessageBoxInfo&) { return 0; });
  std::snprintf(g_profile.ODBCPellavar, sizeof g_profile.ODBCPellavar, "DSN=fuzz");
  if (VRN_CreateODBCTables(&g_profile) != 1) std::abort();
  g_store.kind = kStoreOdbc;
  g_store.profile = &g_profile;
  if (ConnectToODBCDatabase(&g_store) != 1) std::abort();
  g_context = static_cast<AnalysisContext*>(std::calloc(1, sizeof(AnalysisContext)));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto* connection = static_cast<OdbcConnection*>(g_store.odbc);
  for (const std::string& sql : odbcfuzz::DayRowStatements(data, size, kDayStart)) {
    odbcstore::ExecDirect(connection->connection, sql, "fuzz");
  }
  MasterRecord day{};
  day.start = kDayStart;
  day.end = kDayStart + 86399;
  LoadDayFromODBC(&g_store, g_context, &day);
  FreeItemTables(&g_context->templ);
  DeleteDayRows(connection, kDayStart);
  return 0;
}
