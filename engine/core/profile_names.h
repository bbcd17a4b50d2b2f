// Unique names for new profile files.
#ifndef ENGINE_CORE_PROFILE_NAMES_H
#define ENGINE_CORE_PROFILE_NAMES_H

#include <string>

namespace vrn {

// The next free profile name of a profile directory: eight upper-case hex
// digits, one above the largest hex number that begins a "*.wlp" file name
// there ("00000001" for none). When that number would pass FFFFFFFF, the
// lowest number from 1 that no "*.wlp" file uses.
std::string NextProfileName(const std::string& directory);

}  // namespace vrn

#endif
