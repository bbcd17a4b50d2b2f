// Host fields from a resolved name: domain, address type and country, with
// the English texts and country list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/network/dns_test_support.h"

namespace {

// The two texts of a field: before and after its first terminating zero.
template <size_t N>
std::string First(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}
template <size_t N>
std::string Second(const char (&field)[N]) {
  const size_t a = strnlen(field, N);
  if (a + 1 >= N) return "";
  return std::string(field + a + 1, strnlen(field + a + 1, N - a - 1));
}

class HostNames : public dnstest::EngineFixture {
 protected:
  void SetUp() override { StartEngine("", false); }
};

struct SplitCase {
  const char* host;
  const char* domain;
  const char* type;
  const char* typeLabel;
  const char* country;
  const char* countryLabel;
};

TEST_F(HostNames, SplitsTheLabelsOfAName) {
  const std::string longLabel(94, 'x');
  const std::string longHost = "ab." + longLabel + ".q";  // 99 characters
  ASSERT_EQ(longHost.size(), 99u);
  const SplitCase cases[] = {
      {"www.example.com", "example.com", "Commercial", "com", "United States", "US"},
      {"www.bbc.co.uk", "bbc.co.uk", "Country Domain", "", "United Kingdom", "uk"},
      {"bbc.co.uk", "bbc.co.uk", "Country Domain", "", "United Kingdom", "uk"},
      {"host", "host", "Numeric IP Address", "", "Unknown", ""},
      {"a.b", "a.b", "Country Domain", "", "b", ""},
      {"x.community", "x.community", "Country Domain", "", "community", ""},
      {"shop.example.cat", "example.cat", "Country Domain", "", "cat", ""},
      {"www.example.ca", "www.example.ca", "Country Domain", "", "Canada", "ca"},
      {"WWW.EXAMPLE.COM", "EXAMPLE.COM", "Commercial", "COM", "United States", "US"},
      {"Mail.Host.Co.UK", "Host.Co.UK", "Country Domain", "", "United Kingdom", "UK"},
      {"a.b.city.ny.us", "city.ny.us", "United States", "us", "United States", "US"},
      {"gw.army.mil", "army.mil", "Military", "mil", "United States", "US"},
      {"x.arpa", "x.arpa", "ARPA", "arpa", "United States", "US"},
      {"x.ar", "x.ar", "Country Domain", "", "Argentina", "ar"},
  };
  for (const SplitCase& c : cases) {
    dnstest::TestHit t(c.host);
    vrn::SplitHostName(&t.hit);
    EXPECT_EQ(First(t.hit.Domain), c.domain) << c.host;
    EXPECT_EQ(First(t.hit.AddressType), c.type) << c.host;
    EXPECT_EQ(Second(t.hit.AddressType), c.typeLabel) << c.host;
    EXPECT_EQ(First(t.hit.Country), c.country) << c.host;
    EXPECT_EQ(Second(t.hit.Country), c.countryLabel) << c.host;
    EXPECT_STREQ(t.hit.ClientHost, c.host) << "the host itself stays";
  }

  // A 99-character name with a 94-character label: every field is cut at its
  // own size and terminated; nothing beyond it is touched.
  dnstest::TestHit t(longHost);
  std::memset(t.hit.Domain, '#', sizeof(t.hit.Domain));
  std::memset(t.hit.AddressType, '#', sizeof(t.hit.AddressType));
  std::memset(t.hit.Country, '#', sizeof(t.hit.Country));
  std::memset(t.hit.Server, 'S', sizeof(t.hit.Server) - 1);
  t.hit.Server[sizeof(t.hit.Server) - 1] = '\0';
  vrn::SplitHostName(&t.hit);
  EXPECT_EQ(First(t.hit.Domain), (longLabel + ".q").substr(0, 59));
  EXPECT_EQ(t.hit.Domain[59], '\0');
  EXPECT_EQ(First(t.hit.Country), "q");
  EXPECT_EQ(t.hit.AddressType[49], '\0');
  EXPECT_EQ(t.hit.Country[49], '\0');
  EXPECT_EQ(std::string(t.hit.Server), std::string(99, 'S'));

  dnstest::TestHit label(std::string("h.") + std::string(97, 'z'));
  vrn::SplitHostName(&label.hit);
  EXPECT_EQ(First(label.hit.Country), std::string(49, 'z'));
  EXPECT_EQ(First(label.hit.Domain), (std::string("h.") + std::string(97, 'z')).substr(0, 59));
}

TEST_F(HostNames, FillsTheFieldsByLookupState) {
  struct Case {
    uint32_t state;
    uint32_t lookupsOn;
    const char* host;
    const char* domain;  // null: the fields stay as they were
  };
  const Case cases[] = {
      {vrn::kDnsNotNumeric, 0, "www.example.com", "example.com"},
      {vrn::kDnsLookupsOff, 0, "1.2.3.4", "Unresolved"},
      {vrn::kDnsFound, 0, "www.example.com", "Unresolved"},
      {vrn::kDnsFound, 1, "www.example.com", "example.com"},
      {vrn::kDnsFromCache, 1, "www.example.org", "example.org"},
      {vrn::kDnsLookupsOff, 1, "www.example.net", "example.net"},
      {vrn::kDnsFound, 1, "1.2.3.4", nullptr},
      {vrn::kDnsFailed, 1, "www.example.com", nullptr},
      {vrn::kDnsTimedOut, 2, "www.example.com", nullptr},
  };
  for (const Case& c : cases) {
    dnstest::TestHit t(c.host);
    vrn::CopyHitText(t.hit.Domain, sizeof(t.hit.Domain), "before");
    vrn::FillHitHostFields(c.state, &t.hit, c.lookupsOn);
    EXPECT_EQ(First(t.hit.Domain), c.domain != nullptr ? c.domain : "before") << c.host << " state " << c.state;
    if (c.domain != nullptr && std::string(c.domain) == "Unresolved") {
      EXPECT_EQ(First(t.hit.AddressType), "Numeric IP Address");
      EXPECT_EQ(First(t.hit.Country), "Unknown");
    }
  }
}

TEST(DottedQuad, ParsesOnlyFourDecimalBytes) {
  struct Case {
    const char* text;
    bool ok;
    uint8_t bytes[4];
  };
  const Case cases[] = {
      {"1.2.3.4", true, {1, 2, 3, 4}},       {"255.255.255.255", true, {255, 255, 255, 255}},
      {"0.0.0.0", true, {0, 0, 0, 0}},       {"256.1.1.1", false, {}},
      {"1.2.3", false, {}},                  {"1.2.3.4.5", false, {}},
      {"1..2.3", false, {}},                 {"", false, {}},
      {"1.2.3.4 ", false, {}},               {"0001.2.3.4", false, {}},
      {"10.0.0.1a", false, {}},
  };
  for (const Case& c : cases) {
    uint32_t address = 0xDEADBEEF;
    EXPECT_EQ(vrn::ParseDottedQuad(c.text, &address), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(std::memcmp(&address, c.bytes, 4), 0) << c.text;
    }
  }
  EXPECT_FALSE(vrn::ParseDottedQuad(nullptr, nullptr));
}

}  // namespace
