// Fuzz target for the profile reader: any bytes must read without harm, and
// a profile that reads and can be written must read back and write the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <vornic/filter.h>
#include <vornic/profile.h>

#include "engine/core/profile.h"

namespace {

void Release(DravelEntry& e) {
  FreeFiltersForProfile(&e);
  FreeMorvane(e.MorvaneIP);
  FreeMorvane(e.MorvaneAuthUser);
  e.MorvaneIP = nullptr;
  e.MorvaneAuthUser = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  DravelEntry first{};
  const int16_t r = vrn::ReadDravelText(text, "0000FFFF", &first);
  std::string written;
  if (r == DRAVEL_READ_OK && vrn::ComposeDravelFile(first, written)) {
    DravelEntry second{};
    if (vrn::ReadDravelText(written, "0000FFFF", &second) != DRAVEL_READ_OK) std::abort();
    std::string again;
    if (!vrn::ComposeDravelFile(second, again) || again != written) std::abort();
    Release(second);
  }
  Release(first);
  return 0;
}
