/* ODBC log tables: release of an "odbc:" log source and of its prepared
 * rows. */
#ifndef VORNIC_ODBC_H
#define VORNIC_ODBC_H

#include <stdint.h>
#include <vornic/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Releases an ODBC log: the statement and connection of the given log source
   (a handle of an open "odbc:" source, or -1/0 for none), then the prepared
   rows, so that the next listing reads the table again. */
VORNIC_API void VRN_CloseODBC(intptr_t source);

#ifdef __cplusplus
}
#endif

#endif
