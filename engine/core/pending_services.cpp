// Stand-ins for engine services whose own implementations are built in their
// own areas (consumers of the per-hit step, title cache, remote log copies).
// Each does the least that is honest: it
// reports "not available" where it has a result and never invents data.
// The real implementation replaces each function here when it lands.
#include <cstdint>
#include <cstdlib>

#include "engine/network/dns_queue.h"
#include "engine/network/hit_step.h"
#include "engine/network/title_cache.h"

namespace vrn {

// ---- title cache (replaced by the page title code) -------------------------

// No title cache is kept yet, so there is nothing to write.
void SaveTitleCache() {}

// Page titles are not fetched yet: no title is found.
int GetPageTitle(const char*, const char*, const char*, char* title, size_t size, int32_t (*)(int32_t, const char*, int32_t),
                 uint32_t*) {
  if (title != nullptr && size != 0) title[0] = '\0';
  return 0;
}

}  // namespace vrn
