// A file-backed stand-in for the system registry. A key is a path such as
// "HKEY_LOCAL_MACHINE\Software\Maker\Product" (compared without regard to
// case; "/" is taken as "\"; leading, trailing and doubled "\" are dropped).
// Values are named strings or 32-bit numbers; the null or empty name is the
// key's default value. Storage: an INI file (env KV_REGISTRY, default
// "<program folder>/registry.ini") with one section per key; strings are
// stored in double quotes, numbers as "dword:xxxxxxxx". Reads of a value of
// the other type fail with kErrorInvalidParameter; missing keys or values
// fail with kErrorFileNotFound.
#ifndef KV_PLATFORM_REGISTRY_H
#define KV_PLATFORM_REGISTRY_H

#include <cstdint>
#include <string>
#include <vector>

namespace kv {

// The storage file.
std::string RegistryPath();

bool RegGetString(const char* key, const char* name, std::string* out);
// Buffer form: copies at most size-1 characters and a NUL; returns the full
// length of the value (without NUL), or 0 with the last error set when the
// value is missing (an empty value also returns 0, with kErrorSuccess).
uint32_t RegGetString(const char* key, const char* name, char* out, uint32_t size);
bool RegGetDword(const char* key, const char* name, uint32_t* out);

// Creates the key when missing. Strings with line breaks are refused.
bool RegSetString(const char* key, const char* name, const char* value);
bool RegSetDword(const char* key, const char* name, uint32_t value);

// Deletes one value.
bool RegDeleteValue(const char* key, const char* name);
// Deletes a key with all its values and sub-keys.
bool RegDeleteKey(const char* key);

// True when the key exists (has a value or a sub-key with a value).
bool RegKeyExists(const char* key);

// The names of the key's values and of its direct sub-keys.
std::vector<std::string> RegValueNames(const char* key);
std::vector<std::string> RegSubKeyNames(const char* key);

}  // namespace kv

#endif
