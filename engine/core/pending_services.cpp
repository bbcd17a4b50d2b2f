// Stand-ins for engine services whose own implementations are built in their
// own areas (consumers of the per-hit step, title cache, remote log copies,
// realtime store). Each does the least that is honest: it
// reports "not available" where it has a result and never invents data.
// The real implementation replaces each function here when it lands.
#include <cstdint>
#include <cstdlib>

#include "engine/database/realtime_store.h"
#include "engine/network/dns_queue.h"
#include "engine/network/hit_step.h"
#include "engine/network/title_cache.h"

namespace vrn {

// ---- title cache (replaced by the page title code) -------------------------

// No title cache is kept yet, so there is nothing to write.
void SaveTitleCache() {}

// ---- realtime store (replaced by the realtime store code) ------------------

// No store is ever opened yet.
void CloseRealtimeStore() {}

}  // namespace vrn
