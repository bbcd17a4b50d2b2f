// The disk name cache over arbitrary file contents: the input is split at its
// first zero byte into NSLOOKUP.DIN and NSLOOKUP.DTX; the cache is opened,
// asked for a few addresses, given one answer and closed, and the index it
// writes back must again be two arrays of equal length.
#include <unistd.h>

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
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\0');
  Write(Folder() + "NSLOOKUP.DIN", input.substr(0, cut));
  Write(Folder() + "NSLOOKUP.DTX", cut == std::string::npos ? std::string() : input.substr(cut + 1));
  if (vrn::OpenDNSCache(Folder().c_str()) != 1) return 0;
  std::string name;
  for (size_t i = 0; i + 4 <= size && i < 64; i += 4) {
    uint32_t address = 0;
    for (int b = 0; b < 4; ++b) address |= static_cast<uint32_t>(data[i + b]) << (8 * b);
    if (vrn::LookupDNSCache(address, &name) && (name.empty() || name.size() > 99)) std::abort();
  }
  vrn::AppendDNSCache(0x04030201u, "fuzz.example.com");
  if (!vrn::LookupDNSCache(0x04030201u, &name) || name != "fuzz.example.com") std::abort();
  vrn::CloseDNSCache();
  std::ifstream index(Folder() + "NSLOOKUP.DIN", std::ios::binary | std::ios::ate);
  if (static_cast<long long>(index.tellg()) % 8 != 0) std::abort();
  return 0;
}
