// The page title cache (kept in memory, written to "title.wdb" in the
// profile folder) and the page-title lookup built on it.
#include "engine/network/title_cache.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>
#include <filesystem>
#include <unordered_map>

#include <vornic/titles.h>

#include "engine/core/engine_state.h"
#include "engine/network/title_fetch.h"

namespace vrn {

namespace {

constexpr char kMagic[4] = {'K', 'V', 'T', 'C'};
constexpr size_t kEntryHeadSize = 12;
// A file larger than the largest valid image is not read at all.
constexpr size_t kMaxFileSize =
    kTitleCacheHeaderSize + kTitleCacheMaxEntries * (kEntryHeadSize + kTitleAddressMax + kTitleTextMax);

struct CachedTitle {
  std::string title;
  int64_t expiry = 0;
};

struct TitleCache {
  std::mutex lock;
  bool loaded = false;
  bool dirty = false;
  std::string folder;  // the profile folder the entries belong to
  std::unordered_map<std::string, CachedTitle> entries;
};

TitleCache& Cache() {
  static TitleCache cache;
  return cache;
}

void Put16(std::string* out, uint16_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>(v >> 8));
}
void Put32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void Put64(std::string* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Get64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool Storable(const std::string& address, const std::string& title) {
  return !address.empty() && address.size() <= kTitleAddressMax && !title.empty() && title.size() <= kTitleTextMax;
}

std::string CacheFilePath(const std::string& folder) { return folder + kTitleCacheFileName; }

// Writes the entries that have not expired; the file is replaced only once
// the new image is complete.
void WriteCacheFile(TitleCache& cache, int64_t now) {
  std::vector<TitleCacheEntry> list;
  list.reserve(cache.entries.size());
  for (const auto& [address, entry] : cache.entries) {
    if (entry.expiry > now) list.push_back({address, entry.title, entry.expiry});
  }
  std::sort(list.begin(), list.end(),
            [](const TitleCacheEntry& a, const TitleCacheEntry& b) { return a.address < b.address; });
  const std::string image = EncodeTitleCache(list);
  const std::string path = CacheFilePath(cache.folder);
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(image.data(), static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
      std::error_code ec;
      std::filesystem::remove(temporary, ec);
      return;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) std::filesystem::remove(temporary, ec);
}

// Makes the cache that of the current profile folder, reading its file the
// first time. A cache of another folder with unsaved titles is written first.
void EnsureLoaded(TitleCache& cache, int64_t now) {
  const std::string& folder = ProfileDirectory();
  if (cache.loaded && cache.folder == folder) return;
  if (cache.loaded && cache.dirty && !cache.folder.empty()) WriteCacheFile(cache, now);
  cache.entries.clear();
  cache.dirty = false;
  cache.loaded = true;
  cache.folder = folder;
  if (folder.empty()) return;
  std::ifstream in(CacheFilePath(folder), std::ios::binary);
  if (!in) return;
  in.seekg(0, std::ios::end);
  const std::streamoff length = in.tellg();
  if (length <= 0 || static_cast<uint64_t>(length) > kMaxFileSize) return;
  in.seekg(0);
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  if (!in.read(reinterpret_cast<char*>(bytes.data()), length)) return;
  std::vector<TitleCacheEntry> list;
  if (!DecodeTitleCache(bytes.data(), bytes.size(), &list)) return;
  for (auto& e : list) {
    if (e.expiry > now) cache.entries[e.address] = {std::move(e.title), e.expiry};
  }
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace

std::string EncodeTitleCache(const std::vector<TitleCacheEntry>& entries) {
  std::string out(kMagic, sizeof kMagic);
  Put16(&out, kTitleCacheVersion);
  Put16(&out, 0);
  const size_t countAt = out.size();
  Put32(&out, 0);
  uint32_t count = 0;
  for (const auto& e : entries) {
    if (count == kTitleCacheMaxEntries) break;
    if (!Storable(e.address, e.title)) continue;
    Put64(&out, static_cast<uint64_t>(e.expiry));
    Put16(&out, static_cast<uint16_t>(e.address.size()));
    Put16(&out, static_cast<uint16_t>(e.title.size()));
    out += e.address;
    out += e.title;
    ++count;
  }
  for (int i = 0; i < 4; ++i) out[countAt + i] = static_cast<char>((count >> (8 * i)) & 0xFF);
  return out;
}

bool DecodeTitleCache(const uint8_t* data, size_t size, std::vector<TitleCacheEntry>* entries) {
  entries->clear();
  if (data == nullptr || size < kTitleCacheHeaderSize || std::memcmp(data, kMagic, sizeof kMagic) != 0 ||
      Get16(data + 4) != kTitleCacheVersion || Get16(data + 6) != 0) {
    return false;
  }
  const uint32_t count = Get32(data + 8);
  if (count > kTitleCacheMaxEntries) return false;
  size_t at = kTitleCacheHeaderSize;
  std::vector<TitleCacheEntry> list;
  list.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (size - at < kEntryHeadSize) return false;
    const auto expiry = static_cast<int64_t>(Get64(data + at));
    const size_t addressLength = Get16(data + at + 8);
    const size_t titleLength = Get16(data + at + 10);
    at += kEntryHeadSize;
    if (addressLength == 0 || addressLength > kTitleAddressMax || titleLength == 0 || titleLength > kTitleTextMax ||
        size - at < addressLength + titleLength) {
      return false;
    }
    TitleCacheEntry e;
    e.expiry = expiry;
    e.address.assign(reinterpret_cast<const char*>(data + at), addressLength);
    e.title.assign(reinterpret_cast<const char*>(data + at + addressLength), titleLength);
    at += addressLength + titleLength;
    list.push_back(std::move(e));
  }
  if (at != size) return false;
  *entries = std::move(list);
  return true;
}

bool LookupCachedTitle(const std::string& address, int64_t now, std::string* title) {
  TitleCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.lock);
  EnsureLoaded(cache, now);
  const auto it = cache.entries.find(address);
  if (it == cache.entries.end()) return false;
  if (it->second.expiry <= now) {
    cache.entries.erase(it);
    cache.dirty = true;
    return false;
  }
  *title = it->second.title;
  return true;
}

void AddCachedTitle(const std::string& address, const std::string& title, int64_t now) {
  const std::string stored = title.substr(0, kTitleTextMax);
  if (!Storable(address, stored)) return;
  TitleCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.lock);
  EnsureLoaded(cache, now);
  if (cache.entries.find(address) == cache.entries.end() && cache.entries.size() >= kTitleCacheMaxEntries) {
    const auto first = std::min_element(cache.entries.begin(), cache.entries.end(), [](const auto& a, const auto& b) {
      return a.second.expiry < b.second.expiry;
    });
    cache.entries.erase(first);
  }
  cache.entries[address] = {stored, now + kTitleLifetimeSeconds};
  cache.dirty = true;
}

void ResetTitleCache() {
  TitleCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.lock);
  cache.entries.clear();
  cache.loaded = false;
  cache.dirty = false;
  cache.folder.clear();
}

void SaveTitleCache() {
  TitleCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.lock);
  if (cache.loaded && cache.dirty && !cache.folder.empty()) WriteCacheFile(cache, Now());
  // The next registration may name another profile folder: its cache is
  // read from there when first used.
  cache.entries.clear();
  cache.loaded = false;
  cache.dirty = false;
  cache.folder.clear();
}

int GetPageTitle(const char* address, const char* user, const char* password, char* title, size_t size,
                 int32_t (*callback)(int32_t, const char*, int32_t), uint32_t* stopWord) {
  if (title == nullptr || size == 0) return 0;
  title[0] = '\0';
  if (address == nullptr || address[0] == '\0') return 0;
  if (g_engine.noPageTitles == 1) return 0;
  // An address longer than any request line a server takes is not tried.
  constexpr size_t kLongestAddress = 4096;
  const size_t length = strnlen(address, kLongestAddress + 1);
  if (length > kLongestAddress) return 0;
  const std::string page(address, length);
  std::string found;
  const int64_t now = Now();
  if (!LookupCachedTitle(page, now, &found)) {
    const TitleFetch result = FetchPageTitle(page, user, password, callback, &found);
    if (result == TitleFetch::kUnreachable) {
      if (stopWord != nullptr) *stopWord = 1;
      return 0;
    }
    if (result != TitleFetch::kFound) return 0;
    AddCachedTitle(page, found, now);
  }
  const size_t n = std::min(found.size(), size - 1);
  std::memcpy(title, found.data(), n);
  title[n] = '\0';
  return 1;
}

}  // namespace vrn

int32_t VRN_GetHTML_Title(uint32_t /*reserved*/, const char* address, const char* user, const char* password,
                          char* title, ReportFileCallback callback, uint32_t* stopWord) {
  return vrn::GetPageTitle(address, user, password, title, VRN_HTML_TITLE_SIZE, callback, stopWord);
}
