// The disk cache of looked-up names, two files in the profile directory:
//   NSLOOKUP.DTX  text, one line per answer: "<name> a.b.c.d <hex time>\r\n";
//                 only the first token (up to a space, CR, LF or comma) is
//                 read back;
//   NSLOOKUP.DIN  N little-endian 32-bit addresses, newest first (0 = empty
//                 slot), then the N 32-bit offsets of their lines in the
//                 .DTX file; N is the file size over 8.
// In memory the slots form a ring (the newest answer overwrites the oldest)
// with a hash index from address to its newest slot, so that a lookup and an
// append cost the same whatever N is. The files keep their layout exactly.
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/core/engine_state.h"
#include "engine/network/dns_queue.h"
#include "platform/base/clock.h"
#include "platform/base/files.h"
#include "vornic/dns.h"
#include "vornic/settings.h"

namespace vrn {

uint32_t g_dnsActivityFlag = 0;

namespace {

constexpr uint32_t kDefaultCacheEntries = 7000;
constexpr uint32_t kMaxCacheEntries = 65535;  // slots are indexed with 16 bits
constexpr uint32_t kCachedLineRead = 100;
constexpr size_t kMaxNameLength = 99;

struct DiskCache {
  bool open = false;
  std::string folder;  // ends with a separator
  KvFile text = KV_INVALID_FILE;
  KvFile index = KV_INVALID_FILE;
  uint32_t slots = 0;
  // Ring of slots: the slot with sequence number s lives at s % slots; the
  // newest has sequence `newest`, slot i (newest first) has newest - i.
  std::vector<uint32_t> addresses;
  std::vector<uint32_t> offsets;
  uint64_t newest = 0;
  std::unordered_map<uint32_t, uint64_t> byAddress;  // address -> sequence of its newest slot
};

DiskCache g_cache;

std::string JoinFolder(const std::string& folder) {
  if (folder.empty()) return folder;
  const char last = folder.back();
  return last == '/' || last == '\\' ? folder : folder + "/";
}

uint32_t GetLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void PutLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// Reads count 32-bit words at offset; false (and nothing stored) on a short read.
bool ReadWords(KvFile file, int64_t offset, uint32_t count, std::vector<uint32_t>* out) {
  out->assign(count, 0);
  if (count == 0) return true;
  std::vector<uint8_t> bytes(static_cast<size_t>(count) * 4);
  uint32_t done = 0;
  if (kv::FileSeek(file, offset, kv::kSeekBegin) != offset ||
      !kv::FileRead(file, bytes.data(), static_cast<uint32_t>(bytes.size()), &done) || done != bytes.size()) {
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) (*out)[i] = GetLE32(&bytes[static_cast<size_t>(i) * 4]);
  return true;
}

void Forget() {
  g_cache.open = false;
  g_cache.text = KV_INVALID_FILE;
  g_cache.index = KV_INVALID_FILE;
  g_cache.slots = 0;
  g_cache.addresses.clear();
  g_cache.offsets.clear();
  g_cache.byAddress.clear();
  g_cache.newest = 0;
}

void CloseFiles() {
  if (g_cache.text != KV_INVALID_FILE) kv::FileClose(g_cache.text);
  if (g_cache.index != KV_INVALID_FILE) kv::FileClose(g_cache.index);
  Forget();
}

size_t PositionOf(uint64_t sequence) { return static_cast<size_t>(sequence % g_cache.slots); }

// The sequence number of slot i (0 = newest).
uint64_t SequenceOfSlot(uint32_t i) { return g_cache.newest - i; }

void ClearSlotOf(uint32_t address) {
  auto it = g_cache.byAddress.find(address);
  if (it == g_cache.byAddress.end()) return;
  g_cache.addresses[PositionOf(it->second)] = 0;
  g_cache.byAddress.erase(it);
}

}  // namespace

bool IsDNSCacheOpen() { return g_cache.open; }

int OpenDNSCache(const char* profileDir) {
  if (g_cache.open) CloseDNSCache();
  if (profileDir == nullptr) return 0;
  const std::string folder = JoinFolder(profileDir);
  const std::string textPath = folder + "NSLOOKUP.DTX";
  const std::string indexPath = folder + "NSLOOKUP.DIN";
  KvFile text = kv::FileOpen(textPath.c_str(), kv::kFileReadWrite, kv::FileDisposition::kOpenAlways);
  KvFile index = kv::FileOpen(indexPath.c_str(), kv::kFileReadWrite, kv::FileDisposition::kOpenAlways);
  if (text == KV_INVALID_FILE || index == KV_INVALID_FILE) {
    if (text != KV_INVALID_FILE) kv::FileClose(text);
    if (index != KV_INVALID_FILE) kv::FileClose(index);
    return 0;
  }

  // The file's own count comes from its size: two arrays of equal length.
  const int64_t size = kv::FileSize(index);
  const int64_t half = size > 0 ? size / 2 : 0;
  const uint64_t fileCount64 = static_cast<uint64_t>(half) / 4;
  const uint32_t fileCount = fileCount64 > kMaxCacheEntries ? kMaxCacheEntries : static_cast<uint32_t>(fileCount64);

  uint32_t slots = fileCount > kDefaultCacheEntries ? fileCount : kDefaultCacheEntries;
  const int32_t setting = GetModuleProfileInt("Defaults", "DNSCacheEntries", 0);
  if (setting > 0) slots = static_cast<uint32_t>(setting);
  if (slots > kMaxCacheEntries) slots = kMaxCacheEntries;

  std::vector<uint32_t> fileAddresses, fileOffsets;
  if (!ReadWords(index, 0, fileCount, &fileAddresses)) fileAddresses.assign(fileCount, 0);
  if (!ReadWords(index, half, fileCount, &fileOffsets)) fileOffsets.assign(fileCount, 0);

  Forget();
  g_cache.folder = folder;
  g_cache.text = text;
  g_cache.index = index;
  g_cache.slots = slots;
  g_cache.addresses.assign(slots, 0);
  g_cache.offsets.assign(slots, 0);
  g_cache.newest = static_cast<uint64_t>(slots) - 1;
  // Keep the newest min(slots, fileCount) answers; index them oldest first
  // so that an address listed twice finds its newest slot.
  const uint32_t kept = fileCount < slots ? fileCount : slots;
  for (uint32_t i = kept; i-- > 0;) {
    const uint64_t seq = SequenceOfSlot(i);
    const size_t pos = PositionOf(seq);
    g_cache.addresses[pos] = fileAddresses[i];
    g_cache.offsets[pos] = fileOffsets[i];
    if (fileAddresses[i] != 0) g_cache.byAddress[fileAddresses[i]] = seq;
  }
  g_cache.open = true;
  return 1;
}

void CloseDNSCache() {
  if (!g_cache.open) return;
  const uint32_t n = g_cache.slots;
  std::vector<uint8_t> addresses(static_cast<size_t>(n) * 4), offsets(static_cast<size_t>(n) * 4);
  for (uint32_t i = 0; i < n; ++i) {
    const size_t pos = PositionOf(SequenceOfSlot(i));
    PutLE32(&addresses[static_cast<size_t>(i) * 4], g_cache.addresses[pos]);
    PutLE32(&offsets[static_cast<size_t>(i) * 4], g_cache.offsets[pos]);
  }
  uint32_t done = 0;
  if (kv::FileSeek(g_cache.index, 0, kv::kSeekBegin) == 0 &&
      kv::FileWrite(g_cache.index, addresses.data(), static_cast<uint32_t>(addresses.size()), &done) &&
      done == addresses.size()) {
    if (kv::FileWrite(g_cache.index, offsets.data(), static_cast<uint32_t>(offsets.size()), &done) &&
        done == offsets.size()) {
      // A smaller cache than before must not leave old words behind: the
      // reader splits the file at half its size.
      kv::FileSetEnd(g_cache.index);
    }
  }
  CloseFiles();
}

bool LookupDNSCache(uint32_t address, std::string* name) {
  if (!g_cache.open || address == 0) {
    g_dnsActivityFlag = 1;
    return false;
  }
  auto it = g_cache.byAddress.find(address);
  if (it != g_cache.byAddress.end()) {
    const uint64_t seq = it->second;
    const size_t pos = PositionOf(seq);
    if (g_cache.newest - seq >= g_cache.slots || g_cache.addresses[pos] != address) {
      g_cache.byAddress.erase(it);  // overwritten by newer answers
    } else {
      char line[kCachedLineRead + 1] = {};
      uint32_t done = 0;
      const int64_t offset = g_cache.offsets[pos];
      if (kv::FileSeek(g_cache.text, offset, kv::kSeekBegin) == offset &&
          kv::FileRead(g_cache.text, line, kCachedLineRead, &done)) {
        line[done] = '\0';
        const size_t length = std::strcspn(line, " \r\n,");
        if (length > 0 && length <= kMaxNameLength) {
          if (name != nullptr) name->assign(line, length);
          return true;
        }
      }
      // The stored line cannot be read back: forget the slot, count a miss.
      ClearSlotOf(address);
    }
  }
  g_dnsActivityFlag = 1;
  return false;
}

bool AppendDNSCache(uint32_t address, const char* name) {
  if (!g_cache.open || address == 0 || name == nullptr) return false;
  const size_t length = strnlen(name, kMaxNameLength);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&address);
  char line[kMaxNameLength + 64];
  const int n = std::snprintf(line, sizeof(line), "%.*s %d.%d.%d.%d %lX\r\n", static_cast<int>(length), name, b[0],
                              b[1], b[2], b[3], static_cast<unsigned long>(static_cast<uint32_t>(kv::Now())));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(line)) return false;
  const int64_t offset = kv::FileSeek(g_cache.text, 0, kv::kSeekEnd);
  if (offset < 0 || offset > static_cast<int64_t>(UINT32_MAX)) return false;  // offsets are 32-bit
  uint32_t done = 0;
  if (!kv::FileWrite(g_cache.text, line, static_cast<uint32_t>(n), &done) || done != static_cast<uint32_t>(n)) {
    // The disk is full or failing: stop caching (the index on disk still
    // matches the lines before this one).
    CloseFiles();
    return false;
  }
  ++g_cache.newest;
  const size_t pos = PositionOf(g_cache.newest);
  const uint32_t dropped = g_cache.addresses[pos];
  if (dropped != 0) {
    auto it = g_cache.byAddress.find(dropped);
    if (it != g_cache.byAddress.end() && PositionOf(it->second) == pos) g_cache.byAddress.erase(it);
  }
  g_cache.addresses[pos] = address;
  g_cache.offsets[pos] = static_cast<uint32_t>(offset);
  g_cache.byAddress[address] = g_cache.newest;
  return true;
}

}  // namespace vrn

int32_t VRN_FlushDNSCache(void) {
  std::string folder = vrn::ProfileDirectory();
  if (folder.empty()) folder = vrn::g_cache.folder;
  // Drop what is in memory without writing it back, then the files.
  vrn::CloseFiles();
  if (folder.empty()) return 1;
  folder = vrn::JoinFolder(folder);
  kv::FileDelete((folder + "NSLOOKUP.DTX").c_str());
  kv::FileDelete((folder + "NSLOOKUP.DIN").c_str());
  vrn::OpenDNSCache(folder.c_str());
  return 1;
}
