// Internal side of the database-lookup settings: the "MorvaneIP" and
// "MorvaneAuthUser" sections of a profile file.
#ifndef ENGINE_CORE_MORVANE_SETTINGS_H
#define ENGINE_CORE_MORVANE_SETTINGS_H

#include <string>
#include <string_view>

#include <vornic/profile.h>

#include "engine/core/profile_text.h"

namespace vrn {

inline constexpr const char* kMorvaneIPSection = "MorvaneIP";
inline constexpr const char* kMorvaneAuthUserSection = "MorvaneAuthUser";

// A new settings record read from the named section, or null when the
// section is missing, its DSN, table or key column is empty, or memory is
// short.
MorvaneSettings* ReadMorvaneSection(const ProfileText& text, std::string_view sectionName);

// Fills settings from the named section; 1 on success, 0 when the DSN, table
// or key column is empty or a column record cannot be allocated.
int ParseMorvaneSection(const ProfileText& text, std::string_view sectionName, MorvaneSettings* settings);

// Appends the section; a null settings record appends nothing. False when a
// text holds a line break (it could not be read back).
bool AppendMorvaneSection(const MorvaneSettings* settings, const char* sectionName, std::string& out);

}  // namespace vrn

#endif
