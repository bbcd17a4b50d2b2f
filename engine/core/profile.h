// Internal side of the profile record: the profile reader and writer and the
// helpers the filter and lookup code share. The record itself is public
// (vornic/profile.h); the filter sections are in filter_records.h, the lookup
// sections in morvane_settings.h.
#ifndef ENGINE_CORE_PROFILE_H
#define ENGINE_CORE_PROFILE_H

#include <cstddef>
#include <string>
#include <string_view>

#include <vornic/filter.h>
#include <vornic/profile.h>

namespace vrn {

// Copies src into a fixed field of `width` bytes: at most width - 1
// characters, always NUL-terminated (width 0 writes nothing).
void CopyToField(char* field, size_t width, std::string_view src);

// The text of a fixed field (up to its first NUL, never past width).
std::string_view FieldText(const char* field, size_t width);

// True when the text holds a CR or LF (such a value cannot be written).
bool HasLineBreak(std::string_view text);

// Appends the line "key=value" with its CR LF.
void AppendKeyLine(std::string& out, std::string_view key, std::string_view value);
// Appends "key=<value>" with the value as a signed decimal ("%d"); the reader
// takes it back modulo 2^32, so every 32-bit value round-trips.
void AppendKeyNumber(std::string& out, std::string_view key, int32_t value);

// Reads a profile from its file text (as ReadDravelFile does after loading
// the file); name is the profile's name (the file name without extension).
// Returns DRAVEL_READ_OK or 0.
int16_t ReadDravelText(std::string_view text, std::string_view name, DravelEntry* entry);

// The whole profile file as it is written (profile section, filter
// sections, lookup sections). False when the record cannot be stored whole:
// a text holding CR or LF (it would break the line structure), or a filter
// list too long to be read back.
bool ComposeDravelFile(const DravelEntry& entry, std::string& out);

// The profile file path of the record (profile directory + Name + "." +
// Extension); empty when no profile directory is registered.
std::string ProfileFilePath(const DravelEntry& entry);

// Writes data to path through a temporary file in the same folder that then
// replaces path; on any failure the previous file at path is untouched and
// the temporary file removed.
bool ReplaceFileAtomically(const std::string& path, const std::string& data);

// Largest profile file this reader accepts.
constexpr size_t kMaxProfileFileSize = 4u << 20;

}  // namespace vrn

#endif
