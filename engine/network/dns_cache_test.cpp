// The disk name cache NSLOOKUP.DTX / NSLOOKUP.DIN: layout kept byte for
// byte, other entry counts than the file's, appends, damaged files, flush.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/network/dns_test_support.h"
#include "vornic/dns.h"

namespace {

uint32_t Addr(const char* text) {
  uint32_t a = 0;
  EXPECT_TRUE(vrn::ParseDottedQuad(text, &a)) << text;
  return a;
}

std::string LE32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

uint32_t WordAt(const std::string& bytes, size_t index) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(bytes[index * 4 + i]);
  return v;
}

// An index file of the given addresses (newest first) and offsets.
std::string IndexFile(const std::vector<uint32_t>& addresses, const std::vector<uint32_t>& offsets) {
  std::string s;
  for (uint32_t a : addresses) s += LE32(a);
  for (uint32_t o : offsets) s += LE32(o);
  return s;
}

std::string Lookup(uint32_t address) {
  std::string name;
  return vrn::LookupDNSCache(address, &name) ? name : std::string("<miss>");
}

class DiskCache : public dnstest::EngineFixture {
 protected:
  void Start(const std::string& moduleIni) {
    StartEngine(moduleIni, false);
    // Registration opened a fresh cache; the tests lay their own files.
    vrn::CloseDNSCache();
    text_ = ProfileDir() + "NSLOOKUP.DTX";
    index_ = ProfileDir() + "NSLOOKUP.DIN";
  }
  void SetEntries(int n) {
    dnstest::WriteFile(folder_ + "kvm_log/kvm_log.ini",
                       n > 0 ? "[Defaults]\nDNSCacheEntries=" + std::to_string(n) + "\n" : std::string());
  }
  // Three answers written oldest first, so the newest line is last.
  void LayThreeAnswers() {
    const std::string lines[3] = {"old.example.com 10.0.0.1 5F5E1000\r\n", "mid.example.org 10.0.0.2 5F5E1001\r\n",
                                  "new.example.net,x 10.0.0.3 5F5E1002\r\n"};
    std::string text;
    std::vector<uint32_t> offsets;
    for (const std::string& l : lines) {
      offsets.insert(offsets.begin(), static_cast<uint32_t>(text.size()));
      text += l;
    }
    dnstest::WriteFile(text_, text);
    dnstest::WriteFile(index_, IndexFile({Addr("10.0.0.3"), Addr("10.0.0.2"), Addr("10.0.0.1")}, offsets));
  }
  std::string text_, index_;
};

TEST_F(DiskCache, ReopeningKeepsBothFilesByteForByte) {
  Start("[Defaults]\nDNSCacheEntries=3\n");
  LayThreeAnswers();
  const std::string text = dnstest::ReadFile(text_), index = dnstest::ReadFile(index_);
  ASSERT_EQ(vrn::OpenDNSCache(ProfileDir().c_str()), 1);
  EXPECT_EQ(Lookup(Addr("10.0.0.1")), "old.example.com");
  EXPECT_EQ(Lookup(Addr("10.0.0.2")), "mid.example.org");
  EXPECT_EQ(Lookup(Addr("10.0.0.3")), "new.example.net") << "the name ends at a comma";
  vrn::CloseDNSCache();
  EXPECT_EQ(dnstest::ReadFile(text_), text);
  EXPECT_EQ(dnstest::ReadFile(index_), index);
}

TEST_F(DiskCache, OtherEntryCountsThanTheFileKeepEveryNameRight) {
  Start("");
  LayThreeAnswers();
  const std::string original = dnstest::ReadFile(index_);

  // More slots than the file holds: the file's own three, then empty slots;
  // the offsets are never taken for addresses.
  SetEntries(10);
  ASSERT_EQ(vrn::OpenDNSCache(ProfileDir().c_str()), 1);
  EXPECT_EQ(Lookup(Addr("10.0.0.1")), "old.example.com");
  EXPECT_EQ(Lookup(Addr("10.0.0.3")), "new.example.net");
  EXPECT_EQ(Lookup(0x00000024), "<miss>") << "an offset value is no address";
  vrn::CloseDNSCache();
  std::string grown = dnstest::ReadFile(index_);
  ASSERT_EQ(grown.size(), 80u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(WordAt(grown, i), WordAt(original, i));
    EXPECT_EQ(WordAt(grown, 10 + i), WordAt(original, 3 + i));
  }
  for (size_t i = 3; i < 10; ++i) EXPECT_EQ(WordAt(grown, i), 0u);

  // Fewer slots: the newest two stay, the file shrinks to two arrays of two.
  SetEntries(2);
  ASSERT_EQ(vrn::OpenDNSCache(ProfileDir().c_str()), 1);
  EXPECT_EQ(Lookup(Addr("10.0.0.3")), "new.example.net");
  EXPECT_EQ(Lookup(Addr("10.0.0.2")), "mid.example.org");
  EXPECT_EQ(Lookup(Addr("10.0.0.1")), "<miss>");
  vrn::CloseDNSCache();
  EXPECT_EQ(dnstest::ReadFile(index_),
            IndexFile({Addr("10.0.0.3"), Addr("10.0.0.2")}, {WordAt(original, 3), WordAt(original, 4)}));

  // No setting: 7000 slots (more than the file's count).
  SetEntries(0);
  ASSERT_EQ(vrn::OpenDNSCache(ProfileDir().c_str()), 1);
  EXPECT_EQ(Lookup(Addr("10.0.0.2")), "mid.example.org");
  vrn::CloseDNSCache();
  EXPECT_EQ(dnstest::ReadFile(index_).size(), 7000u * 8);
}

TEST_F(DiskCache, AppendsGoFirstAndTheOldestDrops) {
  Start("[Defaults]\nDNSCacheEntries=3\n");
  ASSERT_EQ(vrn::OpenDNSCache(ProfileDir().c_str()), 1);
  EXPECT_TRUE(vrn::AppendDNSCache(Addr("1.1.1.1"), "one.example.com"));
  EXPECT_TRUE(vrn::AppendDNSCache(Addr("2.2.2.2"), "2.2.2.2"));  // a failed lookup keeps its numeric text
  EXPECT_TRUE(vrn::AppendDNSCache(Addr("1.1.1.1"), "uno.example.com"));
  EXPECT_FALSE(vrn::AppendDNSCache(0, "zero")) << "address 0 marks an empty slot";
  EXPECT_EQ(Lookup(Addr("1.1.1.1")), "uno.example.com") << "the newest answer wins";
  EXPECT_TRUE(vrn::AppendDNSCache(Addr("3.3.3.3"), std::string(150, 'n').c_str()));
  EXPECT_EQ(Lookup(Addr("3.3.3.3")), std::string(99, 'n')) << "names are cut to 99 characters";
  EXPECT_EQ(Lookup(Addr("2.2.2.2")), "2.2.2.2");
  vrn::CloseDNSCache();

  const std::string text = dnstest::ReadFile(text_);
  const std::string index = dnstest::ReadFile(index_);
  ASSERT_EQ(index.size(), 24u);
  EXPECT_EQ(WordAt(index, 0), Addr("3.3.3.3"));
  EXPECT_EQ(WordAt(index, 1), Addr("1.1.1.1"));
  EXPECT_EQ(WordAt(index, 2), Addr("2.2.2.2"));
  EXPECT_EQ(text.substr(WordAt(index, 4), 24), "uno.example.com 1.1.1.1 ");
  EXPECT_EQ(text.substr(0, 24), "one.example.com 1.1.1.1 ");
  EXPECT_EQ(text.find("\r\n"), text.find(" 1.1.1.1 ") + 9 + 8) << "a hex time of 8 digits ends the line";

  ASSERT_EQ(vrn::OpenDNSCache(ProfileDir().c_str()), 1);
  EXPECT_EQ(Lookup(Addr("1.1.1.1")), "uno.example.com");
  EXPECT_EQ(Lookup(Addr("3.3.3.3")), std::string(99, 'n'));
  EXPECT_TRUE(vrn::AppendDNSCache(Addr("4.4.4.4"), "four"));
  EXPECT_EQ(Lookup(Addr("2.2.2.2")), "<miss>") << "the oldest of three slots dropped";
  EXPECT_EQ(Lookup(Addr("1.1.1.1")), "uno.example.com");
}

TEST_F(DiskCache, DamagedFilesGiveMissesNotCrashes) {
  Start("");
  struct Case {
    const char* what;
    std::string text;
    std::string index;
  };
  const Case cases[] = {
      {"offset past the text", "a.example.com 9.9.9.9 0\r\n", IndexFile({Addr("9.9.9.9")}, {100000})},
      {"offset at a blank", " 9.9.9.9 0\r\n", IndexFile({Addr("9.9.9.9")}, {0})},
      {"odd index size", "a.example.com 9.9.9.9 0\r\n", IndexFile({Addr("9.9.9.9")}, {0}) + "xyz"},
      {"index too short for one pair", "a.example.com 9.9.9.9 0\r\n", "\x09\x09\x09"},
      {"empty files", "", ""},
  };
  for (const Case& c : cases) {
    dnstest::WriteFile(text_, c.text);
    dnstest::WriteFile(index_, c.index);
    ASSERT_EQ(vrn::OpenDNSCache(ProfileDir().c_str()), 1) << c.what;
    const std::string name = Lookup(Addr("9.9.9.9"));
    EXPECT_TRUE(name == "<miss>" || name == "a.example.com") << c.what << ": " << name;
    EXPECT_EQ(Lookup(Addr("9.9.9.9")), name) << c.what;
    vrn::CloseDNSCache();
    EXPECT_EQ(dnstest::ReadFile(index_).size() % 8, 0u) << c.what;
  }
}

TEST_F(DiskCache, FlushForgetsEveryName) {
  Start("");
  LayThreeAnswers();
  ASSERT_EQ(vrn::OpenDNSCache(ProfileDir().c_str()), 1);
  EXPECT_EQ(Lookup(Addr("10.0.0.1")), "old.example.com");
  EXPECT_EQ(VRN_FlushDNSCache(), 1);
  EXPECT_TRUE(vrn::IsDNSCacheOpen());
  EXPECT_EQ(Lookup(Addr("10.0.0.1")), "<miss>");
  EXPECT_EQ(dnstest::ReadFile(text_), "");
  vrn::CloseDNSCache();
  ASSERT_EQ(vrn::OpenDNSCache(ProfileDir().c_str()), 1);
  EXPECT_EQ(Lookup(Addr("10.0.0.3")), "<miss>");
}

TEST_F(DiskCache, AMissRaisesTheActivityFlag) {
  Start("");
  LayThreeAnswers();
  ASSERT_EQ(vrn::OpenDNSCache(ProfileDir().c_str()), 1);
  vrn::g_dnsActivityFlag = 0;
  EXPECT_EQ(Lookup(Addr("10.0.0.1")), "old.example.com");
  EXPECT_EQ(vrn::g_dnsActivityFlag, 0u);
  EXPECT_EQ(Lookup(Addr("10.9.9.9")), "<miss>");
  EXPECT_EQ(vrn::g_dnsActivityFlag, 1u);
}

}  // namespace
