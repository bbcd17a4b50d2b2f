// The account-lookup module NETAPI32: local users and groups from the
// system's account database.
#include "platform/netapi32/netapi32.h"

#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// Largest group list asked of the system for one user.
constexpr int kMaxUserGroups = 65536;

bool IsLocalServer(const char* server) {
  if (server == nullptr || server[0] == 0) return true;
  while (*server == '\\') ++server;
  char host[256] = {};
  if (gethostname(host, sizeof(host) - 1) != 0) return false;
  return strcasecmp(server, host) == 0 || strcasecmp(server, "localhost") == 0;
}

// Every name of the passwd or group database, in its order; false when the
// database could not be read.
bool ReadUserNames(std::vector<std::string>* names) {
  names->clear();
  setpwent();
  for (;;) {
    errno = 0;
    struct passwd* entry = getpwent();
    if (entry == nullptr) break;
    if (entry->pw_name != nullptr && entry->pw_name[0] != 0) names->push_back(entry->pw_name);
  }
  const int error = errno;
  endpwent();
  return error == 0 || error == ENOENT || error == ESRCH;
}

[[maybe_unused]] bool ReadGroupNames(std::vector<std::string>* names) {
  names->clear();
  setgrent();
  for (;;) {
    errno = 0;
    struct group* entry = getgrent();
    if (entry == nullptr) break;
    if (entry->gr_name != nullptr && entry->gr_name[0] != 0) names->push_back(entry->gr_name);
  }
  const int error = errno;
  endgrent();
  return error == 0 || error == ENOENT || error == ESRCH;
}

// Bytes one level-0 entry takes in a returned buffer.
size_t EntryBytes(const std::string& name) { return sizeof(char*) + name.size() + 1; }

// Copies names[first, first + count) into one buffer of level-0 entries: the
// entry array, then the texts. Null when there is nothing to return or
// memory is short (*ok false then).
uint8_t* PackNames(const std::vector<std::string>& names, size_t first, size_t count, bool* ok) {
  *ok = true;
  if (count == 0) return nullptr;
  size_t bytes = 0;
  for (size_t i = first; i < first + count; ++i) bytes += EntryBytes(names[i]);
  auto* block = static_cast<uint8_t*>(std::malloc(bytes));
  if (block == nullptr) {
    *ok = false;
    return nullptr;
  }
  auto* entries = reinterpret_cast<char**>(block);
  char* text = reinterpret_cast<char*>(block + count * sizeof(char*));
  for (size_t i = 0; i < count; ++i) {
    const std::string& name = names[first + i];
    std::memcpy(text, name.c_str(), name.size() + 1);
    entries[i] = text;
    text += name.size() + 1;
  }
  return block;
}

// How many entries from first fit the preferred length (at least one while
// any remain).
size_t EntriesThatFit(const std::vector<std::string>& names, size_t first, uint32_t preferred) {
  if (first >= names.size()) return 0;
  if (preferred == KV_NET_MAX_PREFERRED_LENGTH) return names.size() - first;
  size_t count = 0, bytes = 0;
  for (size_t i = first; i < names.size(); ++i) {
    bytes += EntryBytes(names[i]);
    if (count > 0 && bytes > preferred) break;
    ++count;
  }
  return count;
}

// The part of a listing from *resume on, into the caller's out-values.
template <typename Resume>
uint32_t ReturnPart(const std::vector<std::string>& names, uint8_t** buffer, uint32_t preferred,
                    uint32_t* entriesRead, uint32_t* totalEntries, Resume* resume) {
  const size_t first = resume != nullptr ? static_cast<size_t>(*resume) : 0;
  *totalEntries = static_cast<uint32_t>(names.size());
  const size_t count = EntriesThatFit(names, first, preferred);
  bool ok = true;
  *buffer = PackNames(names, first, count, &ok);
  if (!ok) return KV_NET_ERROR_NOT_ENOUGH_MEMORY;
  *entriesRead = static_cast<uint32_t>(count);
  const bool more = first + count < names.size();
  if (resume != nullptr) *resume = more ? static_cast<Resume>(first + count) : 0;
  return more ? KV_NET_ERROR_MORE_DATA : KV_NERR_SUCCESS;
}

}  // namespace

extern "C" {

KV_EXPORT uint32_t NetUserEnum(const char* serverName, uint32_t level, uint32_t filter, uint8_t** buffer,
                     uint32_t preferredMaximumLength, uint32_t* entriesRead, uint32_t* totalEntries,
                     uint32_t* resumeHandle) {
  if (buffer == nullptr || entriesRead == nullptr || totalEntries == nullptr) return KV_NET_ERROR_INVALID_PARAMETER;
  *buffer = nullptr;
  *entriesRead = 0;
  *totalEntries = 0;
  if (level != 0) return KV_NET_ERROR_INVALID_LEVEL;
  if (!IsLocalServer(serverName)) return KV_NERR_INVALID_COMPUTER;
  std::vector<std::string> names;
  if (filter == 0 || (filter & KV_NET_FILTER_NORMAL_ACCOUNT) != 0) {
    if (!ReadUserNames(&names)) return KV_NERR_INTERNAL_ERROR;
  }
  if (resumeHandle != nullptr && *resumeHandle > names.size()) *resumeHandle = static_cast<uint32_t>(names.size());
  return ReturnPart(names, buffer, preferredMaximumLength, entriesRead, totalEntries, resumeHandle);
}

KV_EXPORT uint32_t NetApiBufferFree(void* buffer) {
  std::free(buffer);
  return KV_NERR_SUCCESS;
}

KV_EXPORT uint32_t NetUserGetLocalGroups(const char* serverName, const char* userName, uint32_t level, uint32_t flags,
                               uint8_t** buffer, uint32_t preferredMaximumLength, uint32_t* entriesRead,
                               uint32_t* totalEntries) {
  if (buffer == nullptr || entriesRead == nullptr || totalEntries == nullptr) return KV_NET_ERROR_INVALID_PARAMETER;
  *buffer = nullptr;
  *entriesRead = 0;
  *totalEntries = 0;
  if (level != 0) return KV_NET_ERROR_INVALID_LEVEL;
  if ((flags & ~KV_NET_LG_INCLUDE_INDIRECT) != 0 || userName == nullptr) return KV_NET_ERROR_INVALID_PARAMETER;
  if (!IsLocalServer(serverName)) return KV_NERR_INVALID_COMPUTER;
  if (const char* slash = std::strrchr(userName, '\\'); slash != nullptr) userName = slash + 1;
  if (userName[0] == 0) return KV_NERR_USER_NOT_FOUND;

  std::vector<char> text(16384);
  struct passwd account = {};
  struct passwd* found = nullptr;
  int error;
  while ((error = getpwnam_r(userName, &account, text.data(), text.size(), &found)) == ERANGE &&
         text.size() < (1u << 20)) {
    text.resize(text.size() * 2);
  }
  if (found == nullptr) return error == 0 || error == ENOENT || error == ESRCH ? KV_NERR_USER_NOT_FOUND : KV_NERR_INTERNAL_ERROR;

  // The groups the system gives the user at logon, the primary one first.
  int count = 64;
  std::vector<gid_t> ids(static_cast<size_t>(count));
  while (getgrouplist(userName, account.pw_gid, ids.data(), &count) < 0) {
    if (count <= static_cast<int>(ids.size()) || count > kMaxUserGroups) return KV_NERR_INTERNAL_ERROR;
    ids.resize(static_cast<size_t>(count));
  }
  ids.resize(static_cast<size_t>(count));
  auto primary = std::find(ids.begin(), ids.end(), account.pw_gid);
  if (primary != ids.end()) std::rotate(ids.begin(), primary, primary + 1);

  std::vector<std::string> names;
  std::vector<char> groupText(16384);
  for (gid_t id : ids) {
    struct group entry = {};
    struct group* group = nullptr;
    while (getgrgid_r(id, &entry, groupText.data(), groupText.size(), &group) == ERANGE &&
           groupText.size() < (1u << 20)) {
      groupText.resize(groupText.size() * 2);
    }
    if (group == nullptr || group->gr_name == nullptr || group->gr_name[0] == 0) continue;  // a number without a name
    if (std::find(names.begin(), names.end(), group->gr_name) == names.end()) names.push_back(group->gr_name);
  }
  uint32_t* noResume = nullptr;
  return ReturnPart(names, buffer, preferredMaximumLength, entriesRead, totalEntries, noResume);
}

#ifndef KV_OMIT_NetLocalGroupEnum
KV_EXPORT uint32_t NetLocalGroupEnum(const char* serverName, uint32_t level, uint8_t** buffer, uint32_t preferredMaximumLength,
                           uint32_t* entriesRead, uint32_t* totalEntries, uintptr_t* resumeHandle) {
  if (buffer == nullptr || entriesRead == nullptr || totalEntries == nullptr) return KV_NET_ERROR_INVALID_PARAMETER;
  *buffer = nullptr;
  *entriesRead = 0;
  *totalEntries = 0;
  if (level != 0) return KV_NET_ERROR_INVALID_LEVEL;
  if (!IsLocalServer(serverName)) return KV_NERR_INVALID_COMPUTER;
  std::vector<std::string> names;
  if (!ReadGroupNames(&names)) return KV_NERR_INTERNAL_ERROR;
  if (resumeHandle != nullptr && *resumeHandle > names.size()) *resumeHandle = names.size();
  return ReturnPart(names, buffer, preferredMaximumLength, entriesRead, totalEntries, resumeHandle);
}
#endif

}  // extern "C"

// The exports have the binding's types.
static_assert(std::is_same_v<decltype(&NetUserEnum), NetUserEnumFn>);
static_assert(std::is_same_v<decltype(&NetApiBufferFree), NetApiBufferFreeFn>);
static_assert(std::is_same_v<decltype(&NetUserGetLocalGroups), NetUserGetLocalGroupsFn>);
#ifndef KV_OMIT_NetLocalGroupEnum
static_assert(std::is_same_v<decltype(&NetLocalGroupEnum), NetLocalGroupEnumFn>);
#endif
