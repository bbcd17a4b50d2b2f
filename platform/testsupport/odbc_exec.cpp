#include "platform/testsupport/odbc_exec.h"

#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>

namespace kv::test {

namespace {

struct Manager {
  decltype(&::SQLAllocHandle) allocHandle = nullptr;
  decltype(&::SQLSetEnvAttr) setEnvAttr = nullptr;
  decltype(&::SQLDriverConnect) driverConnect = nullptr;
  decltype(&::SQLExecDirect) execDirect = nullptr;
  decltype(&::SQLGetDiagRec) getDiagRec = nullptr;
  decltype(&::SQLDisconnect) disconnect = nullptr;
  decltype(&::SQLFreeHandle) freeHandle = nullptr;
  bool loaded = false;
};

const Manager& LoadManager() {
  static const Manager manager = [] {
    Manager m;
    void* library = dlopen("libodbc.so.2", RTLD_NOW);  // never closed
    if (library == nullptr) return m;
    m.allocHandle = reinterpret_cast<decltype(m.allocHandle)>(dlsym(library, "SQLAllocHandle"));
    m.setEnvAttr = reinterpret_cast<decltype(m.setEnvAttr)>(dlsym(library, "SQLSetEnvAttr"));
    m.driverConnect = reinterpret_cast<decltype(m.driverConnect)>(dlsym(library, "SQLDriverConnect"));
    m.execDirect = reinterpret_cast<decltype(m.execDirect)>(dlsym(library, "SQLExecDirect"));
    m.getDiagRec = reinterpret_cast<decltype(m.getDiagRec)>(dlsym(library, "SQLGetDiagRec"));
    m.disconnect = reinterpret_cast<decltype(m.disconnect)>(dlsym(library, "SQLDisconnect"));
    m.freeHandle = reinterpret_cast<decltype(m.freeHandle)>(dlsym(library, "SQLFreeHandle"));
    m.loaded = m.allocHandle && m.setEnvAttr && m.driverConnect && m.execDirect && m.getDiagRec && m.disconnect &&
               m.freeHandle;
    return m;
  }();
  return manager;
}

bool Succeeded(SQLRETURN r) { return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO; }

std::string Diagnostic(const Manager& m, SQLSMALLINT type, SQLHANDLE handle) {
  SQLCHAR state[6] = {};
  SQLCHAR message[1024] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  if (!Succeeded(m.getDiagRec(type, handle, 1, state, &native, message, sizeof(message), &length))) return "";
  return std::string(reinterpret_cast<char*>(state)) + " " + reinterpret_cast<char*>(message);
}

}  // namespace

std::string RunOdbcStatements(const std::string& connect, const std::vector<std::string>& statements) {
  const Manager& m = LoadManager();
  if (!m.loaded) return "no ODBC driver manager";
  SQLHENV environment = SQL_NULL_HENV;
  if (!Succeeded(m.allocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment))) return "no environment";
  m.setEnvAttr(environment, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  std::string failed;
  SQLHDBC connection = SQL_NULL_HDBC;
  if (!Succeeded(m.allocHandle(SQL_HANDLE_DBC, environment, &connection))) {
    m.freeHandle(SQL_HANDLE_ENV, environment);
    return "no connection handle";
  }
  std::string text = connect;
  if (!Succeeded(m.driverConnect(connection, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS, nullptr, 0,
                                 nullptr, SQL_DRIVER_NOPROMPT))) {
    failed = "cannot connect: " + Diagnostic(m, SQL_HANDLE_DBC, connection);
  } else {
    for (const std::string& sql : statements) {
      SQLHSTMT statement = SQL_NULL_HSTMT;
      if (!Succeeded(m.allocHandle(SQL_HANDLE_STMT, connection, &statement))) {
        failed = "no statement handle";
        break;
      }
      std::string copy = sql;
      if (!Succeeded(m.execDirect(statement, reinterpret_cast<SQLCHAR*>(copy.data()), SQL_NTS))) {
        failed = Diagnostic(m, SQL_HANDLE_STMT, statement) + " in: " + sql.substr(0, 200);
      }
      m.freeHandle(SQL_HANDLE_STMT, statement);
      if (!failed.empty()) break;
    }
    m.disconnect(connection);
  }
  m.freeHandle(SQL_HANDLE_DBC, connection);
  m.freeHandle(SQL_HANDLE_ENV, environment);
  return failed;
}

}  // namespace kv::test
