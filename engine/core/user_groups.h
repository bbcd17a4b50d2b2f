// Local users and groups: the network management calls that list a
// machine's user accounts and local groups and the groups of one user. They
// go to the account-lookup module through the process-wide binding of it
// (platform/netapi32), which the main program uses as well; the module
// answers from the system's account database. Names are UTF-8 texts.
//
// Each call returns its entries in one buffer that the caller releases with
// NetApiBufferFree (also after kErrorMoreData). Only the local machine is
// served: a null or empty server name, or this machine's own name (with or
// without a leading "\\"). A module that does not load gives
// kErrorModNotFound, a function it lacks kErrorProcNotFound.
#ifndef VORNIC_CORE_USER_GROUPS_H
#define VORNIC_CORE_USER_GROUPS_H

#include <cstdint>

#include "platform/netapi32/netapi32.h"

namespace vrn {

// Status values.
constexpr uint32_t kNerrSuccess = 0;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInvalidLevel = 124;
constexpr uint32_t kErrorModNotFound = KV_NET_ERROR_MOD_NOT_FOUND;
constexpr uint32_t kErrorProcNotFound = KV_NET_ERROR_PROC_NOT_FOUND;
constexpr uint32_t kErrorMoreData = 234;         // more entries than the preferred length holds
constexpr uint32_t kNerrInternalError = 2140;    // the account database could not be read
constexpr uint32_t kNerrUserNotFound = 2221;
constexpr uint32_t kNerrInvalidComputer = 2351;  // not this machine

constexpr uint32_t kMaxPreferredLength = 0xFFFFFFFFu;  // no limit: every entry at once
constexpr uint32_t kFilterNormalAccount = 0x0002;       // user filter: ordinary accounts
constexpr uint32_t kLocalGroupIncludeIndirect = 0x0001;

// Level-0 entries: a name.
struct UserInfo0 {
  char* name;
};
struct LocalGroupInfo0 {
  char* name;
};
struct LocalGroupUsersInfo0 {
  char* name;
};

// Lists user accounts (level 0) from *resumeHandle on (0 = from the first).
// filter 0 or kFilterNormalAccount lists every account (all of them are
// ordinary accounts here); other filters list none. With a preferred length
// other than kMaxPreferredLength, as many entries as fit in about that many
// bytes (at least one) are returned with kErrorMoreData and *resumeHandle
// set to where the next call goes on; the last part gives kNerrSuccess and
// *resumeHandle 0. *totalEntries is the number of accounts.
uint32_t NetUserEnum(const char* serverName, uint32_t level, uint32_t filter, uint8_t** buffer,
                     uint32_t preferredMaximumLength, uint32_t* entriesRead, uint32_t* totalEntries,
                     uint32_t* resumeHandle);

// Releases a buffer returned by the calls here (null is fine).
uint32_t NetApiBufferFree(void* buffer);

// Lists the groups of a user (level 0): the user's primary group first, then
// every group that names the user as a member. A name may be written
// "DOMAIN\user". flags 0 or kLocalGroupIncludeIndirect (groups do not nest
// here, so both give the same). kNerrUserNotFound for an unknown user;
// kErrorMoreData when the preferred length cuts the list (no resume).
uint32_t NetUserGetLocalGroups(const char* serverName, const char* userName, uint32_t level, uint32_t flags,
                               uint8_t** buffer, uint32_t preferredMaximumLength, uint32_t* entriesRead,
                               uint32_t* totalEntries);

// Lists the machine's groups (level 0), in parts as NetUserEnum does.
uint32_t NetLocalGroupEnum(const char* serverName, uint32_t level, uint8_t** buffer, uint32_t preferredMaximumLength,
                           uint32_t* entriesRead, uint32_t* totalEntries, uintptr_t* resumeHandle);

}  // namespace vrn

#endif
