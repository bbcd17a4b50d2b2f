/* The account-lookup module NETAPI32 (local users and groups) and the
 * process-wide run-time binding of it.
 *
 * The module NETAPI32.so answers the network management calls that list a
 * machine's user accounts and local groups and the groups of one user from
 * the system's account database (passwd and group, through the system's
 * name services). Names are UTF-8 texts. Each call returns its entries in
 * one buffer that the caller releases with NetApiBufferFree (also after
 * KV_NET_ERROR_MORE_DATA). Only the local machine is served: a null or empty
 * server name, or this machine's own name (with or without a leading "\\").
 *
 * The binding (KvNet... below) loads "NetApi32.dll" from the program folder
 * at the first call of any of its functions, looks each function up once at
 * its first call, keeps the module for the life of the process and frees it
 * at exit. A module that does not load gives KV_NET_ERROR_MOD_NOT_FOUND, a
 * function that the module lacks KV_NET_ERROR_PROC_NOT_FOUND; neither is
 * called then. The binding is made by whichever thread calls first. */
#ifndef KV_PLATFORM_NETAPI32_H
#define KV_PLATFORM_NETAPI32_H

#include <stdint.h>

#include "platform/base/kvtypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Status values. */
#define KV_NERR_SUCCESS 0u
#define KV_NET_ERROR_NOT_ENOUGH_MEMORY 8u
#define KV_NET_ERROR_INVALID_PARAMETER 87u
#define KV_NET_ERROR_INVALID_LEVEL 124u
#define KV_NET_ERROR_MOD_NOT_FOUND 126u    /* the binding: the module did not load */
#define KV_NET_ERROR_PROC_NOT_FOUND 127u   /* the binding: the module lacks the function */
#define KV_NET_ERROR_MORE_DATA 234u        /* more entries than the preferred length holds */
#define KV_NERR_INTERNAL_ERROR 2140u       /* the account database could not be read */
#define KV_NERR_USER_NOT_FOUND 2221u
#define KV_NERR_INVALID_COMPUTER 2351u     /* not this machine */

#define KV_NET_MAX_PREFERRED_LENGTH 0xFFFFFFFFu /* no limit: every entry at once */
#define KV_NET_FILTER_NORMAL_ACCOUNT 0x0002u    /* user filter: ordinary accounts */
#define KV_NET_LG_INCLUDE_INDIRECT 0x0001u

/* A level-0 entry: a name. */
typedef struct KvNetInfo0 {
  char* name;
} KvNetInfo0;

/* The module's functions (exported under these names). */
typedef uint32_t (*NetUserEnumFn)(const char* serverName, uint32_t level, uint32_t filter, uint8_t** buffer,
                                  uint32_t preferredMaximumLength, uint32_t* entriesRead, uint32_t* totalEntries,
                                  uint32_t* resumeHandle);
typedef uint32_t (*NetApiBufferFreeFn)(void* buffer);
typedef uint32_t (*NetUserGetLocalGroupsFn)(const char* serverName, const char* userName, uint32_t level,
                                            uint32_t flags, uint8_t** buffer, uint32_t preferredMaximumLength,
                                            uint32_t* entriesRead, uint32_t* totalEntries);
typedef uint32_t (*NetLocalGroupEnumFn)(const char* serverName, uint32_t level, uint8_t** buffer,
                                        uint32_t preferredMaximumLength, uint32_t* entriesRead,
                                        uint32_t* totalEntries, uintptr_t* resumeHandle);

/* The binding: the same arguments and results as the module's functions. */
KV_EXPORT uint32_t KvNetUserEnum(const char* serverName, uint32_t level, uint32_t filter, uint8_t** buffer,
                                 uint32_t preferredMaximumLength, uint32_t* entriesRead, uint32_t* totalEntries,
                                 uint32_t* resumeHandle);
KV_EXPORT uint32_t KvNetApiBufferFree(void* buffer);
KV_EXPORT uint32_t KvNetUserGetLocalGroups(const char* serverName, const char* userName, uint32_t level,
                                           uint32_t flags, uint8_t** buffer, uint32_t preferredMaximumLength,
                                           uint32_t* entriesRead, uint32_t* totalEntries);
KV_EXPORT uint32_t KvNetLocalGroupEnum(const char* serverName, uint32_t level, uint8_t** buffer,
                                       uint32_t preferredMaximumLength, uint32_t* entriesRead,
                                       uint32_t* totalEntries, uintptr_t* resumeHandle);

/* Frees the module and forgets every function looked up, as at exit; the
 * next call binds afresh (tests change the program folder in between). */
KV_EXPORT void KvNetApiUnbind(void);
/* How many times the binding has loaded the module / looked a name up. */
KV_EXPORT uint32_t KvNetApiLoadCount(void);
KV_EXPORT uint32_t KvNetApiLookupCount(void);

#ifdef __cplusplus
}
#endif

#endif
