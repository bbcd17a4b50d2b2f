// Run-time binding of the ODBC driver manager ("ODBC32.DLL", the system's
// driver manager here). The module is loaded and its 26 entry points are
// looked up by name only when a data source is first used, so that the engine
// runs without a driver manager installed. One binding (module and
// environment) is shared by the ODBC log source and the result store; a user
// that needs an environment of its own loads a binding of its own.
#ifndef VORNIC_DATABASE_ODBC_LIBRARY_H
#define VORNIC_DATABASE_ODBC_LIBRARY_H

#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <cstdint>

#include "platform/base/kvtypes.h"

namespace vrn {

// The bound entry points, in the order in which they are looked up. The
// parameter binder has two slots of the same name.
struct OdbcFunctions {
  decltype(&::SQLAllocEnv) AllocEnv;
  decltype(&::SQLAllocConnect) AllocConnect;
  decltype(&::SQLDriverConnect) DriverConnect;
  decltype(&::SQLDisconnect) Disconnect;
  decltype(&::SQLFreeConnect) FreeConnect;
  decltype(&::SQLFreeEnv) FreeEnv;
  decltype(&::SQLError) Error;
  decltype(&::SQLAllocStmt) AllocStmt;
  decltype(&::SQLFreeStmt) FreeStmt;
  decltype(&::SQLSetStmtOption) SetStmtOption;
  decltype(&::SQLSetCursorName) SetCursorName;
  decltype(&::SQLExecDirect) ExecDirect;
  decltype(&::SQLBindCol) BindCol;
  decltype(&::SQLExtendedFetch) ExtendedFetch;
  decltype(&::SQLTransact) Transact;
  decltype(&::SQLTables) Tables;
  decltype(&::SQLColumns) Columns;
  decltype(&::SQLGetTypeInfo) GetTypeInfo;
  decltype(&::SQLPrepare) Prepare;
  decltype(&::SQLExecute) Execute;
  decltype(&::SQLBindParameter) BindParameter;
  decltype(&::SQLParamData) ParamData;
  decltype(&::SQLPutData) PutData;
  decltype(&::SQLBindParameter) BindParameter2;
  decltype(&::SQLSetConnectOption) SetConnectOption;
  decltype(&::SQLFetch) Fetch;
};

constexpr size_t kOdbcFunctionCount = 26;
static_assert(sizeof(OdbcFunctions) == kOdbcFunctionCount * sizeof(void*), "one slot per bound entry point");

// Exported names of the slots of OdbcFunctions, in slot order.
extern const char* const kOdbcFunctionNames[kOdbcFunctionCount];

// One loaded driver manager: module, environment and entry points.
struct OdbcBinding {
  KvModule module = nullptr;
  SQLHENV environment = SQL_NULL_HENV;
  OdbcFunctions fn = {};
  // Differs for every load in the process (0 while not loaded), so that a
  // handle made under an earlier load is known to be gone.
  uint32_t generation = 0;
};

// The engine's shared binding (module null while not loaded).
extern OdbcBinding g_odbc;

// Loads a module (by default "ODBC32.DLL"), binds every entry point and
// allocates an environment into *binding. True when all of it succeeded;
// otherwise the module is unloaded again and *binding is left empty. A
// binding that is already loaded is kept as it is (true).
bool LoadODBCBinding(OdbcBinding* binding, const char* moduleName = "ODBC32.DLL");
// Frees the environment and unloads the module of *binding, leaving it empty.
void UnloadODBCBinding(OdbcBinding* binding);

// The shared binding: loads it when needed and returns its module, or null
// when the driver manager is missing, lacks an entry point or refuses an
// environment.
KvModule LoadODBCLibrary();
// Releases the shared environment and unloads the driver manager when loaded.
void UnloadODBCLibrary();

// True for SQL_SUCCESS and SQL_SUCCESS_WITH_INFO.
inline bool OdbcSucceeded(SQLRETURN result) { return result == SQL_SUCCESS || result == SQL_SUCCESS_WITH_INFO; }

// Returns result. For SQL_ERROR, reads the error of the statement, else the
// connection, else the environment of the shared binding and shows it in a
// box captioned "ODBC Error" as "operation: state - message" (the message
// alone when no operation is named). Other results pass silently.
SQLRETURN ReportODBCError(SQLRETURN result, const char* operation, SQLHDBC connection, SQLHSTMT statement);
// The same with the environment of a given binding.
SQLRETURN ReportODBCErrorIn(const OdbcBinding& binding, SQLRETURN result, const char* operation, SQLHDBC connection,
                            SQLHSTMT statement);

}  // namespace vrn

#endif
