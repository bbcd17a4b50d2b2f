// Stand-ins for engine services whose own implementations are built in their
// own areas (consumers of the per-hit step, title cache, remote log copies).
// Each does the least that is honest: it
// reports "not available" where it has a result and never invents data.
// The real implementation replaces each function here when it lands.
#include <cstdint>
#include <cstdlib>

#include "engine/network/dns_queue.h"
#include "engine/network/hit_step.h"

namespace vrn {

}  // namespace vrn
