// The disk name cache over arbitrary file contents: the input is a 16-bit
// little-endian length, that many bytes of NSLOOKUP.DIN, and the rest as
// NSLOOKUP.DTX, so either file may hold any byte. The cache is opened, asked
// for the addresses its index lists, given one answer and closed, and the
// index it writes back must again be two arrays of equal length.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "engine/network/dns_queue.h"

namespace {

const std::string& Folder();

void Remove() {
  std::remove((Folder() + "NSLOOKUP.DIN").c_str());
  std::remove((Folder() + "NSLOOKUP.DTX").c_str());
  rmdir(Folder().c_str());
}

const std::string& Folder() {
  // Never destroyed: Remove runs at exit and needs it.
  static const std::string& folder = *new std::string([] {
    char pattern[] = "/tmp/kvdnsfuzzXXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    std::atexit(Remove);
    return std::string(made) + "/";
  }());
  return folder;
}

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t indexSize = std::min<size_t>(data[0] | static_cast<size_t>(data[1]) << 8, size - 2);
  const std::string index(reinterpret_cast<const char*>(data) + 2, indexSize);
  Write(Folder() + "NSLOOKUP.DIN", index);
  Write(Folder() + "NSLOOKUP.DTX", std::string(reinterpret_cast<const char*>(data) + 2 + indexSize, size - 2 - indexSize));
  if (vrn::OpenDNSCache(Folder().c_str()) != 1) return 0;
  std::string name;
  // The addresses of the index's first half, as the reader splits it.
  const size_t listed = std::min<size_t>(indexSize / 2 / 4, 64);
  for (size_t i = 0; i < listed; ++i) {
    uint32_t address = 0;
    for (int b = 0; b < 4; ++b) address |= static_cast<uint32_t>(static_cast<uint8_t>(index[i * 4 + b])) << (8 * b);
    if (vrn::LookupDNSCache(address, &name) && (name.empty() || name.size() > 99)) std::abort();
  }
  vrn::AppendDNSCache(0x04030201u, "fuzz.example.com");
  if (!vrn::LookupDNSCache(0x04030201u, &name) || name != "fuzz.example.com") std::abort();
  vrn::CloseDNSCache();
  std::ifstream written(Folder() + "NSLOOKUP.DIN", std::ios::binary | std::ios::ate);
  if (static_cast<long long>(written.tellg()) % 8 != 0) std::abort();
  return 0;
}
