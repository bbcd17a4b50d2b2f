// The profile reader's view of a profile file held in memory: its sections
// and their "key=value" lines, indexed once so that every lookup is cheap
// and finds a key only at the start of a line of its own section.
//
// Rules (the profile file's text form):
//  - A section starts at a line whose first character is "["; its name is the
//    text after the leading "[" characters up to the first "]", so
//    "[Filter1]" and "[[Filter1]]" both name the section Filter1. Names are
//    compared exactly. The first section of a name counts.
//  - A section runs to the next line that starts with "[".
//  - A key line is "key=value"; blanks in front of the key are skipped, the
//    key is everything up to the first "=", the value everything behind it to
//    the line end (LF, with a CR in front of it dropped). A line without a
//    line end (the last line of a file that does not end in one) gives no
//    value. The first line of a key counts.
//  - A NUL byte is an ordinary character of its line (a value copied into a
//    fixed field ends there); the exported lookups take NUL-terminated text.
#ifndef ENGINE_CORE_PROFILE_TEXT_H
#define ENGINE_CORE_PROFILE_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vrn {

class ProfileText {
 public:
  struct Section {
    std::string_view name;
    std::unordered_map<std::string_view, std::string_view> keys;
  };

  explicit ProfileText(std::string_view text);

  // The section of that name (given with or without its brackets), or null.
  const Section* Find(std::string_view name) const;

  // The value of key in section, or false when the section or key is missing.
  bool Lookup(std::string_view section, std::string_view key, std::string_view& value) const;

  // The value as text (def when missing).
  std::string GetString(std::string_view section, std::string_view key, std::string_view def) const;

  // Copies the value (or def) into a fixed field of width bytes: at most
  // width - 1 characters and a NUL.
  void GetField(std::string_view section, std::string_view key, std::string_view def, char* out,
                size_t width) const;

  // The leading signed decimal number of the value (at most its first 32
  // characters; blanks skipped; digits taken modulo 2^32; no digits gives 0),
  // or def when the key is missing.
  int32_t GetInt(std::string_view section, std::string_view key, int32_t def) const;

 private:
  std::vector<Section> sections_;
  std::unordered_map<std::string_view, size_t> byName_;
};

// The section name without surrounding brackets ("[[Filter1]]" -> "Filter1").
std::string_view StripSectionBrackets(std::string_view name);

// The leading number of a text as GetInt reads a value.
int32_t ParseProfileInt(std::string_view value);

}  // namespace vrn

#endif
