// The page title cache and the page-title lookup of the report tables.
//
// Titles found on the network are kept in memory with an expiry time and
// written to "title.wdb" in the profile folder by SaveTitleCache.
//
// File layout of title.wdb (all integers little-endian, no padding):
//   offset 0   4 bytes  magic "KVTC"
//   offset 4   u16      version, 1
//   offset 6   u16      reserved, 0
//   offset 8   u32      entry count, at most kTitleCacheMaxEntries
//   offset 12  entries, one after the other:
//                i64    expiry, seconds since 1970-01-01 UTC
//                u16    address length, 1..kTitleAddressMax
//                u16    title length, 1..kTitleTextMax
//                bytes  address (no terminator)
//                bytes  title (no terminator)
//   The file ends with the last entry; a file of another magic or version,
//   with a length out of range, a short entry or bytes after the last entry
//   is ignored as a whole (the cache starts empty).
#ifndef VORNIC_NETWORK_TITLE_CACHE_H
#define VORNIC_NETWORK_TITLE_CACHE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vrn {

// The HTML title of the page at `address` (fetched with the user name and
// password unless cached) into title[0..size): 1 when found, else 0 with an
// empty title. Sets *stopWord to 1 when the host, a socket or a connection
// failed. Status texts go to `callback` as (0, text, 0).
int GetPageTitle(const char* address, const char* user, const char* password, char* title, size_t size,
                 int32_t (*callback)(int32_t, const char*, int32_t), uint32_t* stopWord);

// Writes the page title cache to its file.
void SaveTitleCache();

// ---- the cache itself ---------------------------------------------------------

inline constexpr char kTitleCacheFileName[] = "title.wdb";
inline constexpr uint16_t kTitleCacheVersion = 1;
inline constexpr size_t kTitleCacheHeaderSize = 12;
inline constexpr size_t kTitleCacheMaxEntries = 10000;
inline constexpr size_t kTitleAddressMax = 1024;  // longer addresses are not cached
inline constexpr size_t kTitleTextMax = 255;      // titles are cut to this many bytes
inline constexpr int64_t kTitleLifetimeSeconds = 7 * 24 * 60 * 60;

struct TitleCacheEntry {
  std::string address;
  std::string title;
  int64_t expiry = 0;  // seconds since 1970 UTC
};

// The file image of the entries (in the given order).
std::string EncodeTitleCache(const std::vector<TitleCacheEntry>& entries);
// Parses a file image; false (entries empty) when it does not follow the layout.
bool DecodeTitleCache(const uint8_t* data, size_t size, std::vector<TitleCacheEntry>* entries);

// The unexpired cached title of an address, loading the profile folder's
// file first when needed.
bool LookupCachedTitle(const std::string& address, int64_t now, std::string* title);
// Adds or replaces the title of an address, expiring kTitleLifetimeSeconds
// after now. When the cache is full, the entry that expires first goes.
void AddCachedTitle(const std::string& address, const std::string& title, int64_t now);
// Forgets the in-memory cache without writing it.
void ResetTitleCache();

}  // namespace vrn

#endif
