// INI files with private-profile semantics.
//
// File names: a name without any "/", "\" or ":" is looked up in the
// program folder, except "WIN.INI" (any case), which is SystemIniPath(), as
// is a null or empty name. Other names are paths as in paths.h (drive
// letters, "\", any case).
//
// Reading: sections and keys are compared without regard to ASCII case; the
// first section of a name and the first key of a name in it count. Lines end
// in LF or CR LF; blanks around names and values are dropped; lines whose
// first non-blank character is ";" are comments; a value in matching double
// quotes is returned without them. A missing file, section or key gives the
// default. Every read sees the latest write, also of other processes (the
// file is read anew on each call).
//
// Writing rewrites the file through a temporary file and a rename, under an
// exclusive lock so that writers in other threads and processes do not lose
// each other's changes. Everything else in the file (comments, order, line
// ends, other sections) is kept. Writing a key creates the file and the
// section when missing. A section, key or value that contains a line break,
// a key that contains "=" or starts with "[" or ";", or a section that
// contains "]" is refused (kErrorInvalidParameter): it would corrupt the file.
//
// Buffer results copy at most size-1 characters and a NUL and return the
// number of characters copied, without the NUL. Lists ("a\0b\0\0") that do
// not fit are cut and still end in two NULs; the result is then size-2.
// A null out or size 0 returns 0 and writes nothing.
#ifndef KV_PLATFORM_INI_H
#define KV_PLATFORM_INI_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kv {

// The file that stands in for the system's WIN.INI (its [intl] values):
// env KV_WIN_INI if set, else "<program folder>/WIN.INI".
std::string SystemIniPath();

// The full path an INI file name refers to (rules above).
std::string IniFilePath(const char* file);

// The value of section/key, or def (null = "").
// section null: the list of section names; key null: the list of key names
// of the section (double-NUL lists).
uint32_t IniGetString(const char* section, const char* key, const char* def, char* out, uint32_t size,
                      const char* file);

// The leading number of the value: optional blanks, optional sign, digits
// ("12abc" is 12); def when the key is missing or no digit leads. Digits are
// taken modulo 2^32, so "4294967295" reads as -1 (a negative value written
// as unsigned reads back unchanged).
int32_t IniGetInt(const char* section, const char* key, int32_t def, const char* file);

// Writes key=value. value null deletes the key; key null deletes the whole
// section (its header and all lines up to the next section). Deleting from
// a missing file or section succeeds without creating anything.
bool IniWriteString(const char* section, const char* key, const char* value, const char* file);

// All "key=value" lines of the section as "k=v\0k=v\0\0" (names and values
// trimmed, quotes dropped as for IniGetString; comments and blank lines
// left out).
uint32_t IniGetSection(const char* section, char* out, uint32_t size, const char* file);

// std::string conveniences with the same semantics.
std::string IniString(const char* section, const char* key, const char* def, const char* file);
std::vector<std::string> IniSectionNames(const char* file);
std::vector<std::string> IniKeyNames(const char* section, const char* file);
std::vector<std::pair<std::string, std::string>> IniSection(const char* section, const char* file);

}  // namespace kv

#endif
