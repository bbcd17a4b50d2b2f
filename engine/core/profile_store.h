// The profile store: reading, enumerating, refreshing, writing and deleting
// the ".wlp" profiles of the registered profile directory.
#ifndef VORNIC_CORE_PROFILE_STORE_H
#define VORNIC_CORE_PROFILE_STORE_H

#include <cstddef>
#include <cstdint>

namespace vrn {

// Ends an open profile enumeration (the next LogGetNextProfile starts anew).
void ResetProfileEnumeration();

// Parses an option list resource (pairs of NUL-terminated name and value
// texts, each possibly followed by one extra NUL, ended by a byte 13 where
// the next name would start) of size bytes into the client's list form:
// title, NUL, then per pair name, NUL, value, NUL, NUL. Returns the pair
// count; the list is not written when out is null.
size_t ParseOptionResource(const char* resource, size_t size, const char* title, char* out, size_t outSize,
                           size_t* needed);

}  // namespace vrn

#endif
