// Local users and groups through the account-lookup binding.
#include "engine/core/user_groups.h"

namespace vrn {

static_assert(kNerrSuccess == KV_NERR_SUCCESS && kErrorMoreData == KV_NET_ERROR_MORE_DATA &&
              kErrorInvalidParameter == KV_NET_ERROR_INVALID_PARAMETER && kErrorInvalidLevel == KV_NET_ERROR_INVALID_LEVEL &&
              kNerrUserNotFound == KV_NERR_USER_NOT_FOUND && kNerrInvalidComputer == KV_NERR_INVALID_COMPUTER &&
              kNerrInternalError == KV_NERR_INTERNAL_ERROR && kErrorNotEnoughMemory == KV_NET_ERROR_NOT_ENOUGH_MEMORY);

uint32_t NetUserEnum(const char* serverName, uint32_t level, uint32_t filter, uint8_t** buffer,
                     uint32_t preferredMaximumLength, uint32_t* entriesRead, uint32_t* totalEntries,
                     uint32_t* resumeHandle) {
  return KvNetUserEnum(serverName, level, filter, buffer, preferredMaximumLength, entriesRead, totalEntries,
                       resumeHandle);
}

uint32_t NetApiBufferFree(void* buffer) { return KvNetApiBufferFree(buffer); }

uint32_t NetUserGetLocalGroups(const char* serverName, const char* userName, uint32_t level, uint32_t flags,
                               uint8_t** buffer, uint32_t preferredMaximumLength, uint32_t* entriesRead,
                               uint32_t* totalEntries) {
  return KvNetUserGetLocalGroups(serverName, userName, level, flags, buffer, preferredMaximumLength, entriesRead,
                                 totalEntries);
}

uint32_t NetLocalGroupEnum(const char* serverName, uint32_t level, uint8_t** buffer, uint32_t preferredMaximumLength,
                           uint32_t* entriesRead, uint32_t* totalEntries, uintptr_t* resumeHandle) {
  return KvNetLocalGroupEnum(serverName, level, buffer, preferredMaximumLength, entriesRead, totalEntries,
                             resumeHandle);
}

}  // namespace vrn
