// Internal side of the profile record: the profile reader and writer, the
// text form of the lookup settings, and the helpers the filter code shares.
// The record itself is public (vornic/profile.h).
#ifndef ENGINE_CORE_PROFILE_H
#define ENGINE_CORE_PROFILE_H

#include <string>
#include <string_view>

#include <vornic/filter.h>
#include <vornic/profile.h>

namespace vornic {

// Copies src into a fixed field of `width` bytes: at most width - 1
// characters, always NUL-terminated (width 0 writes nothing).
void CopyToField(char* field, size_t width, std::string_view src);

// The text of a fixed field (up to its first NUL, never past width).
std::string_view FieldText(const char* field, size_t width);

// The whole profile file as it would be written (profile section, filter
// sections, lookup sections). False when a value cannot be stored (a CR or
// LF inside a text would break the line structure).
bool ComposeDravelFile(const DravelEntry& entry, std::string& out);

// The profile file path of the record (profile directory + Name + "." +
// Extension); empty when no profile directory is registered.
std::string ProfileFilePath(const DravelEntry& entry);

// Filter sections of a profile: reading from the whole profile text,
// composing for writing. ReadFilterSections returns 1 on success, 0 when a
// section is unusable (an unknown FilterType) or memory is short.
int ReadFilterSections(DravelEntry& entry, const char* text);
bool AppendFilterSections(const DravelEntry& entry, std::string& out);

// Lookup sections: reading (nullptr when missing or unusable) and composing
// (nothing for a nullptr settings record).
MorvaneSettings* ReadMorvaneSection(const char* text, const char* sectionName);
int ParseMorvaneSection(const char* sectionName, const char* sectionText, MorvaneSettings* settings);
bool AppendMorvaneSection(const MorvaneSettings* settings, const char* sectionName, std::string& out);

// The text of one section ("[name]" or "[[name]]" header line) up to the
// next line that starts with "[", header line included; empty when the
// section is missing. A NUL-terminated copy suitable for the text lookups.
std::string ExtractSection(const char* text, const char* sectionName);

// True when the text holds a CR or LF (such a value cannot be written).
bool HasLineBreak(std::string_view text);

}  // namespace vornic

#endif
