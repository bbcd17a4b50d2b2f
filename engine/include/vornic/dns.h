/* Reverse name lookups: the disk name cache and the hidden window that
 * receives asynchronous lookup answers. */
#ifndef VORNIC_DNS_H
#define VORNIC_DNS_H

#include <stdint.h>

#include <vornic/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Forgets every cached name: deletes NSLOOKUP.DTX and NSLOOKUP.DIN in the
   first client's profile directory and opens an empty cache there.
   Returns 1. */
VORNIC_API int32_t VRN_FlushDNSCache(void);

/* Window procedure of the hidden "DNSLOOK" window: message 1034 carries an
   asynchronous lookup's answer (wparam the task, high word of lparam the
   error). */
VORNIC_API KvResult DNSWndProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam);

#ifdef __cplusplus
}
#endif

#endif
