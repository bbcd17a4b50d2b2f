// Variable-file text: the parse ends soundly, keeps at most the bounded
// number of entries, and every name it returns is found again by a lookup
// after the file is loaded.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "engine/reports/rpl_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto pairs = vrn::ParseRplText(reinterpret_cast<const char*>(data), size);
  if (pairs.size() > vrn::kRplMaxVariables) std::abort();
  for (const auto& [name, value] : pairs) {
    if (name.find('>') != std::string::npos || value.find('}') != std::string::npos) std::abort();
  }
  static const std::string path = [] {
    char pattern[] = "/tmp/rplfuzzXXXXXX";
    const char* dir = mkdtemp(pattern);
    return std::string(dir != nullptr ? dir : "/tmp") + "/F.RPL";
  }();
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    vrn::ResetRplTable();
    if (vrn::ReadRplFile(path.c_str()) != 1) std::abort();
    for (const auto& pair : pairs) {
      std::string value;
      if (pair.first.find('\0') == std::string::npos && !vrn::LookupRplVariable(pair.first.c_str(), &value)) std::abort();
    }
  }
  return 0;
}
