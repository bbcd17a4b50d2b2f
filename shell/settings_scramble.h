// The scrambled form of passwords kept in KELVARON.INI.
//
// A password is placed at offset 4 of a 40-byte block of random printable
// filler (with its terminating NUL), every byte but the last is XORed with the
// original value of its successor, and the block is written as 80 lower-case
// hexadecimal digits. An empty password is stored as the empty text.
#ifndef KV_SHELL_SETTINGS_SCRAMBLE_H
#define KV_SHELL_SETTINGS_SCRAMBLE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr size_t kScrambleBlockSize = 40;
constexpr size_t kScrambleOffset = 4;
// The longest password that fits into the block with its NUL.
constexpr size_t kMaxScrambledPassword = kScrambleBlockSize - kScrambleOffset - 1;

// Scrambles password into out (80 hex digits, or "" for an empty password).
// Returns false and leaves out empty when the password is longer than
// kMaxScrambledPassword characters or holds a NUL.
bool ScramblePassword(std::string_view password, std::string& out);

// The same with a given filler block instead of random filler.
bool ScramblePasswordWithFiller(std::string_view password,
                                const std::array<uint8_t, kScrambleBlockSize>& filler, std::string& out);

// Recovers a password from its stored form. Only complete pairs of hex digits
// are read, up to the first pair that is not hex and at most 40 of them; bytes
// not read count as 0. The result is the text from offset 4 up to the first
// NUL, never beyond the block (at most 36 characters).
std::string UnscramblePassword(std::string_view stored);

#endif
