// The page title cache.
#ifndef VORNIC_NETWORK_TITLE_CACHE_H
#define VORNIC_NETWORK_TITLE_CACHE_H

namespace vrn {

// Writes the page title cache to its file.
void SaveTitleCache();

}  // namespace vrn

#endif
