// Checks the wildcard matcher against a plain recursive definition and the
// path mapping against its basic promises, on arbitrary input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/base/files.h"
#include "platform/base/paths.h"
#include "platform/base/strutil.h"

namespace {

// Table of "pattern from i matches name from j", filled from the back.
bool Reference(const std::string& p, const std::string& n) {
  std::vector<std::vector<char>> m(p.size() + 1, std::vector<char>(n.size() + 1, 0));
  m[p.size()][n.size()] = 1;
  for (size_t i = p.size(); i-- > 0;) {
    for (size_t j = n.size() + 1; j-- > 0;) {
      if (p[i] == '*') {
        m[i][j] = m[i + 1][j] || (j < n.size() && m[i][j + 1]);
      } else if (j < n.size() && (p[i] == '?' || kv::AsciiLower(p[i]) == kv::AsciiLower(n[j]))) {
        m[i][j] = m[i + 1][j + 1];
      }
    }
  }
  return m[0][0] != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\0');
  if (split == std::string::npos) split = input.size();
  std::string pattern = input.substr(0, split);
  std::string name = split < input.size() ? input.substr(split + 1) : std::string();
  name = name.substr(0, name.find('\0'));
  if (pattern != "*.*" && kv::WildcardMatch(pattern.c_str(), name.c_str()) != Reference(pattern, name)) std::abort();
  std::string native = kv::ToNativePath(input);
  if (native.find('\\') != std::string::npos) std::abort();
  if (kv::ToNativePath(native) != native && !(native.size() >= 2 && native[1] == ':')) std::abort();
  return 0;
}
