// The host fields of a hit after its lookup: domain, address type and
// country, derived from the labels of the resolved client host.
//
// AddressType and Country may hold two texts: a caption, its terminating
// zero, then the label it was derived from ("Commercial\0com"). Every copy is
// bounded by its field and the field is always terminated.
#include <cstring>
#include <string_view>

#include "engine/core/engine_state.h"
#include "engine/core/hit_record.h"
#include "engine/network/dns_queue.h"

namespace vrn {
namespace {

// Top-level names with their own address type; entry k has text 5618 + k.
constexpr const char* kTopLevelNames[9] = {"gov", "mil", "net", "org", "int", "arpa", "edu", "com", "us"};
constexpr uint32_t kTextOtherAddressType = 5617;
constexpr uint32_t kTextFirstAddressType = 5618;
constexpr uint32_t kTextUnitedStates = 5626;
constexpr uint16_t kTextCountryList = 5613;

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Writes `first`, its zero, then `second` and its zero into a field of
// `size` bytes, cutting where the field ends; the rest of the field is zero.
template <size_t N>
void PutPair(char (&field)[N], std::string_view first, std::string_view second) {
  std::memset(field, 0, N);
  const size_t a = first.size() < N - 1 ? first.size() : N - 1;
  if (a > 0) std::memcpy(field, first.data(), a);
  if (a + 1 >= N - 1) return;
  const size_t room = N - 1 - (a + 1);
  const size_t b = second.size() < room ? second.size() : room;
  if (b > 0) std::memcpy(field + a + 1, second.data(), b);
}

template <size_t N>
void PutText(char (&field)[N], std::string_view text) {
  PutPair(field, text, std::string_view());
}

// The country name of a top-level label from the client's country list
// (lines "name,code"); empty when the label is not listed.
std::string_view CountryOfCode(std::string_view label) {
  const char* list = LoadTextResource(kTextCountryList);
  if (IsTextNotFound(list)) return {};
  std::string_view rest(list, std::strlen(list));
  while (!rest.empty()) {
    size_t end = rest.find_first_of("\r\n");
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    const size_t comma = line.find(',');
    if (comma == std::string_view::npos) continue;
    std::string_view code = line.substr(comma + 1);
    while (!code.empty() && (code.back() == ' ' || code.back() == '\t')) code.remove_suffix(1);
    while (!code.empty() && (code.front() == ' ' || code.front() == '\t')) code.remove_prefix(1);
    if (!code.empty() && EqualNoCase(code, label)) return line.substr(0, comma);
  }
  return {};
}

}  // namespace

void SplitHostName(HitRecord* hit) {
  if (hit == nullptr) return;
  const std::string_view host(hit->ClientHost, strnlen(hit->ClientHost, sizeof(hit->ClientHost) - 1));
  const size_t last = host.rfind('.');
  if (last == std::string_view::npos) {
    PutText(hit->Domain, host);
    PutText(hit->AddressType, g_engine.unresolvedAddressType);
    PutText(hit->Country, g_engine.unresolvedCountry);
    return;
  }

  const std::string_view label = host.substr(last + 1);
  bool countryKnown = false;
  int kind = -1;
  for (int k = 0; k < 9; ++k) {
    if (EqualNoCase(label, kTopLevelNames[k])) {
      kind = k;
      break;
    }
  }
  if (kind >= 0) {
    PutPair(hit->AddressType, LoadResString(kTextFirstAddressType + static_cast<uint32_t>(kind)), label);
    PutPair(hit->Country, LoadResString(kTextUnitedStates), "US");
    countryKnown = kind == 8;
  } else {
    PutText(hit->AddressType, LoadResString(kTextOtherAddressType));
    const std::string_view country = label.empty() ? std::string_view() : CountryOfCode(label);
    if (!country.empty()) {
      PutPair(hit->Country, country, label);
      countryKnown = true;
    } else {
      PutText(hit->Country, label);
    }
  }

  // The domain: the last two labels, or three under a country's own domain.
  const size_t second = last == 0 ? std::string_view::npos : host.rfind('.', last - 1);
  if (second == std::string_view::npos) {
    PutText(hit->Domain, host);
    return;
  }
  size_t from = second + 1;
  if (countryKnown) {
    const size_t third = second == 0 ? std::string_view::npos : host.rfind('.', second - 1);
    from = third == std::string_view::npos ? 0 : third + 1;
  }
  PutText(hit->Domain, host.substr(from));
}

void FillHitHostFields(uint32_t state, HitRecord* hit, uint32_t lookupsOn) {
  if (hit == nullptr) return;
  if (state == kDnsNotNumeric) {
    SplitHostName(hit);
    return;
  }
  if (lookupsOn == 0) {
    PutText(hit->Domain, g_engine.unresolvedDomain);
    PutText(hit->AddressType, g_engine.unresolvedAddressType);
    PutText(hit->Country, g_engine.unresolvedCountry);
    return;
  }
  if (state != kDnsFound && state != kDnsFromCache && state != kDnsLookupsOff) return;
  char host[sizeof(hit->ClientHost)];
  CopyHitText(host, sizeof(host), hit->ClientHost);
  if (IsNumericAddress(host)) return;
  SplitHostName(hit);
}

bool ParseDottedQuad(const char* text, uint32_t* address) {
  if (text == nullptr) return false;
  uint8_t bytes[4];
  const char* p = text;
  for (int i = 0; i < 4; ++i) {
    if (*p < '0' || *p > '9') return false;
    uint32_t value = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + static_cast<uint32_t>(*p - '0');
      if (++digits > 3 || value > 255) return false;
      ++p;
    }
    bytes[i] = static_cast<uint8_t>(value);
    if (i < 3) {
      if (*p != '.') return false;
      ++p;
    }
  }
  if (*p != '\0') return false;
  uint32_t a = 0;
  std::memcpy(&a, bytes, 4);  // network order: first byte first in memory
  if (address != nullptr) *address = a;
  return true;
}

}  // namespace vrn
