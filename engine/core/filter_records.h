// Internal side of the filter records: the "[Filter%d]" sections of a
// profile file and the credential scrambler.
#ifndef ENGINE_CORE_FILTER_RECORDS_H
#define ENGINE_CORE_FILTER_RECORDS_H

#include <string>

#include <vornic/filter.h>
#include <vornic/profile.h>

#include "engine/core/profile_text.h"

namespace vrn {

// Width of a list, status-code or day text in a filter section.
constexpr size_t kFilterTextWidth = 400;

// Reads the sections Filter1, Filter2, ... (up to the first missing number)
// into the profile's filter list, replacing any filters it held. Returns 1 on
// success, 0 when a section has an unknown FilterType or memory is short (the
// filters read before stay linked).
int ReadFilterSections(DravelEntry& entry, const ProfileText& text);

// One filter read from the section of that name; null with *bad set when the
// section's FilterType is unknown, null with *bad clear when memory is short.
FilterRecord* ReadFilterSection(const ProfileText& text, std::string_view sectionName, bool* bad);

// Appends the filter sections of the profile's list. False when a filter
// cannot be stored whole: a text holding a line break, or a list whose text
// form is longer than a filter section value can hold.
bool AppendFilterSections(const DravelEntry& entry, std::string& out);

// Appends one filter's section with the given number.
bool AppendFilterSection(const FilterRecord& filter, int number, std::string& out);

}  // namespace vrn

#endif
