// The ODBC driver manager as the engine binds it.
#ifndef VORNIC_DATABASE_ODBC_STORE_H
#define VORNIC_DATABASE_ODBC_STORE_H

namespace vrn {

// Releases the ODBC environment and unloads the driver manager when loaded.
void UnloadODBCLibrary();

}  // namespace vrn

#endif
