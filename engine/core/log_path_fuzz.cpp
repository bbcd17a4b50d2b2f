// Log path expansion and the date formatter on arbitrary text: a path and a
// base folder (as profiles give them) and a format (as report settings give
// it), split from the input at its first zero bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/core/engine_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t first = input.find('\0');
  const std::string path = input.substr(0, first);
  const std::string rest = first == std::string::npos ? std::string() : input.substr(first + 1);
  const size_t second = rest.find('\0');
  const std::string base = rest.substr(0, second);
  const std::string format = second == std::string::npos ? std::string() : rest.substr(second + 1);

  const std::string expanded = vrn::NormalizeLogPath(path, base, 1709288430);  // 2024-03-01 10:20:30 UTC
  (void)expanded;

  // The export works in the caller's buffer of 260 characters.
  char buffer[VRN_PATH_SIZE];
  const size_t n = path.size() < sizeof buffer - 1 ? path.size() : sizeof buffer - 1;
  std::memcpy(buffer, path.data(), n);
  buffer[n] = '\0';
  NormalizeLogPath(buffer, base.c_str());

  struct tm t{};
  t.tm_year = static_cast<int>(size % 300);
  t.tm_mon = static_cast<int>(size % 12);
  t.tm_mday = 1 + static_cast<int>(size % 31);
  t.tm_wday = static_cast<int>(size % 7);
  char out[64];
  vrn::FormatIntlDateTime(out, sizeof out, format.c_str(), &t, nullptr);
  return 0;
}
