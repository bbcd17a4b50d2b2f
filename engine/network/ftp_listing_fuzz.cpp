// FTP long-listing lines over arbitrary bytes: a size other than 0 (which a
// folder's line gives) is a field of digits that the line really holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/network/remote_logs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(begin, end - begin);
    uint64_t value = 0;
    if (vrn::SizeFromListingLine(line.c_str(), &value)) {
      if (value != 0 && line.find(std::to_string(value)) == std::string::npos) abort();
    }
    begin = end + 1;
  }
  return 0;
}
