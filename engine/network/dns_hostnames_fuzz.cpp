// Host fields from arbitrary resolved names: the input fills ClientHost
// (100 bytes, not necessarily terminated); every field written must stay
// terminated within its size and the other fields untouched.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/core/hit_record.h"
#include "engine/network/dns_queue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vrn::HitRecord hit{};
  std::memset(&hit, 0x5A, sizeof(hit));
  const size_t n = size < sizeof(hit.ClientHost) ? size : sizeof(hit.ClientHost);
  std::memcpy(hit.ClientHost, data, n);
  const vrn::HitRecord before = hit;
  const uint32_t state = size > 0 ? data[0] % 9 : 0;
  vrn::FillHitHostFields(state, &hit, size % 2);
  vrn::SplitHostName(&hit);
  if (hit.Domain[sizeof(hit.Domain) - 1] != '\0' || hit.AddressType[sizeof(hit.AddressType) - 1] != '\0' ||
      hit.Country[sizeof(hit.Country) - 1] != '\0') {
    std::abort();
  }
  if (std::memcmp(hit.ClientHost, before.ClientHost, sizeof(hit.ClientHost)) != 0 ||
      std::memcmp(hit.Server, before.Server, sizeof(hit.Server)) != 0) {
    std::abort();
  }
  uint32_t address = 0;
  char text[101] = {};
  std::memcpy(text, data, size < 100 ? size : 100);
  vrn::ParseDottedQuad(text, &address);
  return 0;
}
