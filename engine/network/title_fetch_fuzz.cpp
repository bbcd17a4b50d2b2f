// Outside text of the page titles over arbitrary bytes: a page body for the
// title extraction, a page address for the address split, and a title.wdb
// image for the cache file loader. A loaded image written again must load
// to the same entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/network/title_cache.h"
#include "engine/network/title_fetch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string title;
  if (vrn::ExtractHtmlTitle(reinterpret_cast<const char*>(data), size, &title)) {
    if (title.empty() || title.size() > vrn::kTitleTextMax || title.front() == ' ' || title.back() == ' ') abort();
  }

  vrn::PageLocation at;
  if (vrn::ParsePageLocation(std::string(reinterpret_cast<const char*>(data), size), &at)) {
    if (at.host.empty() || at.port == 0 || at.path.empty() || at.path[0] != '/') abort();
  }

  std::vector<vrn::TitleCacheEntry> entries;
  if (vrn::DecodeTitleCache(data, size, &entries)) {
    const std::string image = vrn::EncodeTitleCache(entries);
    if (image.size() != size) abort();
    std::vector<vrn::TitleCacheEntry> again;
    if (!vrn::DecodeTitleCache(reinterpret_cast<const uint8_t*>(image.data()), image.size(), &again) ||
        again.size() != entries.size()) {
      abort();
    }
    for (size_t i = 0; i < again.size(); ++i) {
      if (again[i].address != entries[i].address || again[i].title != entries[i].title ||
          again[i].expiry != entries[i].expiry) {
        abort();
      }
    }
  }
  return 0;
}
