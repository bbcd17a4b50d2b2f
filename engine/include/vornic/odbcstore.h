/* The realtime result store in an ODBC data source: creating its ten tables,
 * asking whether they exist, and dropping them. The data source is the
 * profile's ODBCPellavar connection string. */
#ifndef VORNIC_ODBCSTORE_H
#define VORNIC_ODBCSTORE_H

#include <vornic/export.h>
#include <vornic/profile.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when all ten tables were created, else 0 (also when they were there). */
VORNIC_API int VRN_CreateODBCTables(DravelEntry* profile);
/* 1 when the first table (KVLogMasterTable) already existed, else 0. Creates
   the tables that are missing, as VRN_CreateODBCTables does. */
VORNIC_API int VRN_DoODBCTablesExist(DravelEntry* profile);
/* Drops the ten tables of a profile that keeps its realtime database in
   ODBC tables; errors are ignored. */
VORNIC_API void VRN_DeleteODBCDatabase(DravelEntry* profile);

#ifdef __cplusplus
}
#endif

#endif
