// Unique profile file names.
#include "engine/core/profile_names.h"

#include <cstdio>
#include <cstring>
#include <set>

#include <vornic/profile.h>

#include "engine/core/engine_state.h"
#include "platform/base/files.h"
#include "platform/base/paths.h"

namespace vrn {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Format8(uint32_t n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", n);
  return buf;
}

}  // namespace

std::string NextProfileName(const std::string& directory) {
  uint64_t largest = 0;
  std::set<uint64_t> used;
  for (const kv::FileInfo& f : kv::FindFiles((directory + "*.wlp").c_str())) {
    if (f.folder) continue;
    // The number runs from the start of the name to the first non-hex
    // character (the "." at the latest); beyond 32 bits it saturates.
    uint64_t n = 0;
    for (char c : f.name) {
      const int d = HexDigit(c);
      if (d < 0) break;
      n = n * 16 + static_cast<uint64_t>(d);
      if (n > 0xFFFFFFFFull) n = 0x100000000ull;
    }
    used.insert(n);
    if (n > largest) largest = n;
  }
  if (largest < 0xFFFFFFFFull) return Format8(static_cast<uint32_t>(largest + 1));
  // The numbers are used up to the top: take the lowest free one rather
  // than wrap around onto an existing profile.
  uint64_t n = 1;
  while (used.count(n) != 0) ++n;
  return Format8(static_cast<uint32_t>(n));
}

}  // namespace vrn

extern "C" KV_EXPORT int32_t __BuildUniqueDravelFileName(char* path, size_t pathSize, char* name, size_t nameSize,
                                                         char* extension, size_t extensionSize) {
  if (name != nullptr && nameSize > 0) name[0] = '\0';
  if (extension != nullptr && extensionSize > 0) extension[0] = '\0';
  if (path != nullptr && pathSize > 0) path[0] = '\0';
  if (name == nullptr || nameSize < 9 || extension == nullptr || extensionSize < 4) return 0;
  const std::string& dir = vrn::ProfileDirectory();
  if (dir.empty()) return 0;
  const std::string n = vrn::NextProfileName(dir);
  const std::string full = dir + n + ".wlp";
  if (path != nullptr && full.size() >= pathSize) return 0;
  std::memcpy(name, n.c_str(), n.size() + 1);
  std::memcpy(extension, "wlp", 4);
  if (path != nullptr) std::memcpy(path, full.c_str(), full.size() + 1);
  return 1;
}
