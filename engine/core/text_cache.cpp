// The engine's texts: string-table texts and "TEXT" resources of the
// client's resource module, copied once and kept per id. A string and a
// TEXT block of the same id share one entry (whichever is loaded first).
#include <cstring>
#include <string>
#include <unordered_map>

#include "engine/core/engine_state.h"
#include "platform/module/resource.h"

namespace vrn {
namespace {

struct CachedText {
  std::string bytes;     // the text; for a TEXT block its bytes and one extra zero
  uint32_t textSize = 0; // byte count of a TEXT block, 0 for a string
};

// Keyed by the low 16 bits of the id; node-based, so a returned pointer stays
// valid until its entry is dropped.
std::unordered_map<uint16_t, CachedText>& Cache() {
  static std::unordered_map<uint16_t, CachedText> cache;
  return cache;
}

constexpr int kStringBufferSize = 512;  // at most 511 characters per string

}  // namespace

const char* LoadResString(uint32_t id) {
  const uint16_t key = static_cast<uint16_t>(id & 0xFFFF);
  auto& cache = Cache();
  auto it = cache.find(key);
  if (it != cache.end()) return it->second.bytes.c_str();
  if (g_engine.resourceModule == nullptr) return kTextNotFound;
  char buffer[kStringBufferSize];
  const int32_t n = KvLoadString(g_engine.resourceModule, key, buffer, kStringBufferSize);
  if (n <= 0) return kTextNotFound;
  CachedText entry;
  entry.bytes.assign(buffer, static_cast<size_t>(n));
  return cache.emplace(key, std::move(entry)).first->second.bytes.c_str();
}

const char* LoadTextResource(uint16_t id) {
  auto& cache = Cache();
  auto it = cache.find(id);
  if (it != cache.end()) return it->second.bytes.c_str();
  if (g_engine.resourceModule == nullptr) return kTextNotFound;
  uint32_t size = 0;
  const void* data = KvFindText(g_engine.resourceModule, id, &size);
  if (data == nullptr || size == 0) return kTextNotFound;
  CachedText entry;
  entry.bytes.assign(static_cast<const char*>(data), size);
  entry.bytes.push_back('\0');  // with the string's own terminator: two zero bytes
  entry.textSize = size;
  return cache.emplace(id, std::move(entry)).first->second.bytes.c_str();
}

size_t TextResourceSize(uint16_t id) {
  auto& cache = Cache();
  auto it = cache.find(id);
  return it == cache.end() ? 0 : it->second.textSize;
}

void ClearTextCache(uint32_t first, uint32_t last) {
  auto& cache = Cache();
  for (auto it = cache.begin(); it != cache.end();) {
    if (it->first >= first && it->first <= last) {
      it = cache.erase(it);
    } else {
      ++it;
    }
  }
}

size_t CachedTextCount() { return Cache().size(); }

}  // namespace vrn
