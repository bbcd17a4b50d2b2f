// Run-time binding of the ODBC driver manager and the shared error report.
#include "engine/database/odbc_library.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/module/module.h"
#include "platform/ui/msgbox.h"

namespace vrn {

const char* const kOdbcFunctionNames[kOdbcFunctionCount] = {
    "SQLAllocEnv",   "SQLAllocConnect",  "SQLDriverConnect", "SQLDisconnect",      "SQLFreeConnect",
    "SQLFreeEnv",    "SQLError",         "SQLAllocStmt",     "SQLFreeStmt",        "SQLSetStmtOption",
    "SQLSetCursorName", "SQLExecDirect", "SQLBindCol",       "SQLExtendedFetch",   "SQLTransact",
    "SQLTables",     "SQLColumns",       "SQLGetTypeInfo",   "SQLPrepare",         "SQLExecute",
    "SQLBindParameter", "SQLParamData",  "SQLPutData",       "SQLBindParameter",   "SQLSetConnectOption",
    "SQLFetch",
};

OdbcBinding g_odbc;

namespace {
uint32_t g_lastGeneration = 0;
}  // namespace

bool LoadODBCBinding(OdbcBinding* binding, const char* moduleName) {
  if (binding == nullptr || moduleName == nullptr) return false;
  if (binding->module != nullptr) return true;
  KvModule module = KvLoadModule(moduleName);
  if (module == nullptr) return false;

  // The slots are filled in order through a view of the record as an array
  // of entry points; OdbcFunctions holds exactly one pointer per name.
  OdbcFunctions fn = {};
  KvProc procs[kOdbcFunctionCount] = {};
  for (size_t i = 0; i < kOdbcFunctionCount; ++i) {
    procs[i] = KvGetProcAddress(module, kOdbcFunctionNames[i]);
    if (procs[i] == nullptr) {
      KvFreeModule(module);
      return false;
    }
  }
  static_assert(sizeof(procs) == sizeof(fn));
  std::memcpy(&fn, procs, sizeof(fn));

  SQLHENV environment = SQL_NULL_HENV;
  if (!OdbcSucceeded(fn.AllocEnv(&environment)) || environment == SQL_NULL_HENV) {
    KvFreeModule(module);
    return false;
  }
  binding->module = module;
  binding->environment = environment;
  binding->fn = fn;
  binding->generation = ++g_lastGeneration;
  return true;
}

void UnloadODBCBinding(OdbcBinding* binding) {
  if (binding == nullptr || binding->module == nullptr) return;
  if (binding->environment != SQL_NULL_HENV) binding->fn.FreeEnv(binding->environment);
  KvFreeModule(binding->module);
  *binding = OdbcBinding{};
}

KvModule LoadODBCLibrary() { return LoadODBCBinding(&g_odbc) ? g_odbc.module : nullptr; }

void UnloadODBCLibrary() { UnloadODBCBinding(&g_odbc); }

SQLRETURN ReportODBCErrorIn(const OdbcBinding& binding, SQLRETURN result, const char* operation, SQLHDBC connection,
                            SQLHSTMT statement) {
  if (result != SQL_ERROR || binding.module == nullptr) return result;
  SQLCHAR state[8] = {};
  SQLCHAR message[512] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  binding.fn.Error(binding.environment, connection, statement, state, &native, message,
                   static_cast<SQLSMALLINT>(sizeof(message) - 1), &length);
  state[sizeof(state) - 1] = 0;
  message[sizeof(message) - 1] = 0;
  std::string text;
  if (operation != nullptr && operation[0] != 0) {
    text = std::string(operation) + ": " + reinterpret_cast<const char*>(state) + " - " +
           reinterpret_cast<const char*>(message);
  } else {
    text = reinterpret_cast<const char*>(message);
  }
  kv::ui::MessageBox(0, text.c_str(), "ODBC Error", kv::ui::MbOk);
  return result;
}

SQLRETURN ReportODBCError(SQLRETURN result, const char* operation, SQLHDBC connection, SQLHSTMT statement) {
  return ReportODBCErrorIn(g_odbc, result, operation, connection, statement);
}

}  // namespace vrn
