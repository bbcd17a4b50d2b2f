// The ODBC driver manager as the engine binds it, shared by the result store
// and the ODBC log source (see odbc_library.h).
#ifndef VORNIC_DATABASE_ODBC_STORE_H
#define VORNIC_DATABASE_ODBC_STORE_H

#include "engine/database/odbc_library.h"

#endif
