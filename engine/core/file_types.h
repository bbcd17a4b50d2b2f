// File-type lists of the module INI file: the typed lists of the exported
// family (vornic/reportsettings.h) and the plain word lists.
#ifndef VORNIC_CORE_FILE_TYPES_H
#define VORNIC_CORE_FILE_TYPES_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <vornic/reportsettings.h>

namespace vrn {

// Size of the buffer a plain word list is read into (at most one less
// character is read).
constexpr uint32_t kDefaultTypesLineSize = 300;

// The words of text, separated by any of the characters of separators.
std::vector<std::string> SplitWords(const std::string& text, const char* separators);

// One section of an INI file read once, its keys looked up as the
// private-profile functions find them (without regard to ASCII case, the
// first key of a name counts, values trimmed and unquoted).
class IniSectionMap {
 public:
  IniSectionMap(const char* section, const char* iniPath);
  // The value of key, or def when the section lacks it.
  std::string Get(const std::string& key, const char* def) const;

 private:
  std::unordered_map<std::string, std::string> values_;  // lower-case keys
};

// Reads key of section Defaults of the INI file iniPath (def when missing,
// at most kDefaultTypesLineSize - 1 characters) and returns its words
// (separated by blanks, ";" and ",") as an array with room for
// FILE_TYPES_MAX texts, each a malloc'd copy, with *count set. Words past
// FILE_TYPES_MAX are not read; a word whose copy fails is skipped. Null
// (count 0) when the array cannot be allocated. The second argument is not
// used. Release with FreeDefaultFileTypes.
char** ReadDefaultFileTypes(const char* iniPath, uint32_t unused, uint16_t* count, const char* key,
                            const char* def);
// Frees the first count texts of a list from ReadDefaultFileTypes, then the
// array; null is ignored.
void FreeDefaultFileTypes(char** list, uint16_t count);

}  // namespace vrn

#endif
