#include "shell/settings_scramble.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

std::array<uint8_t, kScrambleBlockSize> Filled(uint8_t value) {
  std::array<uint8_t, kScrambleBlockSize> filler;
  filler.fill(value);
  return filler;
}

std::array<uint8_t, kScrambleBlockSize> Ascending(uint8_t first) {
  std::array<uint8_t, kScrambleBlockSize> filler;
  for (size_t i = 0; i < filler.size(); ++i) filler[i] = static_cast<uint8_t>(first + i);
  return filler;
}

bool IsLowerHex(const std::string& text) {
  return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Blocks worked out by hand: the password at offset 4 with its NUL, each byte
// XORed with the former value of the next one, written as lower-case hex.
//   "abc" in 'A' filler: 41^41 x3, 41^61=20, 61^62=03, 62^63=01, 63^00=63,
//   00^41=41, then 41^41=00 up to the last byte, which stays 41.
struct Vector {
  const char* password;
  std::array<uint8_t, kScrambleBlockSize> filler;
  const char* stored;
};

TEST(PasswordScramble, HandComputedBlocks) {
  const Vector vectors[] = {
      {"abc", Filled('A'), "00000020030163410000000000000000000000000000000000000000000000000000000000000041"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345678", Ascending(33),
       "030107650301070103010f010301070103011f010301070103010f01036a010301070103010f3800"},
  };
  for (const Vector& v : vectors) {
    std::string out;
    ASSERT_TRUE(ScramblePasswordWithFiller(v.password, v.filler, out)) << v.password;
    EXPECT_EQ(out, v.stored) << v.password;
    EXPECT_EQ(UnscramblePassword(v.stored), v.password);
    // Hex digits in upper case read the same.
    std::string upper = v.stored;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(UnscramblePassword(upper), v.password);
  }
}

TEST(PasswordScramble, RoundTripsWithRandomFiller) {
  for (size_t length : {0u, 1u, 30u, 35u}) {
    std::string password;
    for (size_t i = 0; i < length; ++i) password += static_cast<char>(' ' + (i * 7) % 95);
    std::string first, second;
    ASSERT_TRUE(ScramblePassword(password, first));
    ASSERT_TRUE(ScramblePassword(password, second));
    EXPECT_EQ(UnscramblePassword(first), password);
    EXPECT_EQ(UnscramblePassword(second), password);
    if (length == 0) {
      EXPECT_EQ(first, "");
      continue;
    }
    EXPECT_EQ(first.size(), 80u);
    EXPECT_TRUE(IsLowerHex(first)) << first;
    EXPECT_NE(first, second) << "filler must differ between writes";
  }
}

TEST(PasswordScramble, FillerIsPrintableRandom) {
  // Undo the chain of a scrambled empty-ish password and look at the filler.
  std::set<std::string> seen;
  for (int round = 0; round < 20; ++round) {
    std::string out;
    ASSERT_TRUE(ScramblePassword("x", out));
    seen.insert(out);
    uint8_t block[40];
    for (int i = 0; i < 40; ++i) block[i] = static_cast<uint8_t>(std::stoi(out.substr(2 * i, 2), nullptr, 16));
    for (int i = 38; i >= 0; --i) block[i] ^= block[i + 1];
    for (int i = 0; i < 40; ++i) {
      if (i == 4 || i == 5) continue;  // 'x' and its NUL
      EXPECT_GE(block[i], 32) << i;
      EXPECT_LE(block[i], 126) << i;
    }
  }
  EXPECT_GT(seen.size(), 15u);
}

TEST(PasswordScramble, RefusesWhatDoesNotFit) {
  std::string out = "old";
  EXPECT_FALSE(ScramblePassword(std::string(36, 'p'), out));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(ScramblePassword(std::string("ab\0cd", 5), out));
  EXPECT_TRUE(ScramblePassword(std::string(35, 'p'), out));
}

TEST(PasswordScramble, DamagedValuesStayInsideTheBlock) {
  // A block without any NUL after offset 4: all bytes 'z' after undoing the
  // chain. The result must stop at the block's end (36 characters).
  std::array<uint8_t, kScrambleBlockSize> plain;
  plain.fill('z');
  std::string stored;
  for (size_t i = 0; i < plain.size(); ++i) {
    uint8_t b = i + 1 < plain.size() ? static_cast<uint8_t>(plain[i] ^ plain[i + 1]) : plain[i];
    char hex[3];
    snprintf(hex, sizeof hex, "%02x", b);
    stored += hex;
  }
  EXPECT_EQ(UnscramblePassword(stored), std::string(36, 'z'));

  struct Case {
    std::string stored;
    std::string expected;
  };
  const std::string abc = "00000020030163410000000000000000000000000000000000000000000000000000000000000041";
  const Case cases[] = {
      {"", ""},
      {"0", ""},
      {"zz", ""},
      // Too short: the bytes not given count as 0, the chain runs over them.
      {abc.substr(0, 10), "\x03"},
      // An odd digit at the end is ignored.
      {abc.substr(0, 11), "\x03"},
      // Parsing stops at the first pair that is not hex.
      {abc.substr(0, 12) + "g0" + abc.substr(14), "\x02\x01"},
      // Digits beyond the 80 are ignored.
      {abc + "ffff", "abc"},
      {std::string(4000, 'f'), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(UnscramblePassword(c.stored), c.expected) << c.stored.substr(0, 90);
}

}  // namespace
