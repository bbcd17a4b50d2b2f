// The page title cache.
#ifndef VORNIC_NETWORK_TITLE_CACHE_H
#define VORNIC_NETWORK_TITLE_CACHE_H

#include <cstddef>
#include <cstdint>

namespace vrn {

// The HTML title of the page at `address` (fetched with the user name and
// password unless cached) into title[0..size): 1 when found, else 0 with an
// empty title. Sets *stopWord to 1 when the host, a socket or a connection
// failed. Status texts go to `callback` as (0, text, 0).
int GetPageTitle(const char* address, const char* user, const char* password, char* title, size_t size,
                 int32_t (*callback)(int32_t, const char*, int32_t), uint32_t* stopWord);

// Writes the page title cache to its file.
void SaveTitleCache();

}  // namespace vrn

#endif
