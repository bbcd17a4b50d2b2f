#include "shell/settings_scramble.h"

#include <random>

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ScramblePasswordWithFiller(std::string_view password,
                                const std::array<uint8_t, kScrambleBlockSize>& filler, std::string& out) {
  out.clear();
  if (password.size() > kMaxScrambledPassword || password.find('\0') != std::string_view::npos) return false;
  if (password.empty()) return true;
  std::array<uint8_t, kScrambleBlockSize> block = filler;
  for (size_t i = 0; i < password.size(); ++i) block[kScrambleOffset + i] = static_cast<uint8_t>(password[i]);
  block[kScrambleOffset + password.size()] = 0;
  // Ascending, so each byte meets its successor's value from before this step.
  for (size_t i = 0; i + 1 < kScrambleBlockSize; ++i) block[i] ^= block[i + 1];
  static const char kHex[] = "0123456789abcdef";
  out.reserve(kScrambleBlockSize * 2);
  for (uint8_t b : block) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return true;
}

bool ScramblePassword(std::string_view password, std::string& out) {
  // Printable filler (32..126) from the system's random source.
  std::array<uint8_t, kScrambleBlockSize> filler{};
  std::random_device source;
  std::uniform_int_distribution<int> printable(32, 126);
  for (auto& b : filler) b = static_cast<uint8_t>(printable(source));
  return ScramblePasswordWithFiller(password, filler, out);
}

std::string UnscramblePassword(std::string_view stored) {
  std::array<uint8_t, kScrambleBlockSize> block{};
  for (size_t i = 0; i < kScrambleBlockSize && 2 * i + 1 < stored.size(); ++i) {
    int hi = HexDigit(stored[2 * i]);
    int lo = HexDigit(stored[2 * i + 1]);
    if (hi < 0 || lo < 0) break;
    block[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  // Descending, so each byte meets its successor already restored.
  for (size_t i = kScrambleBlockSize - 1; i-- > 0;) block[i] ^= block[i + 1];
  std::string password;
  for (size_t i = kScrambleOffset; i < kScrambleBlockSize && block[i] != 0; ++i)
    password += static_cast<char>(block[i]);
  return password;
}
