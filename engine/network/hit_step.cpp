// The per-hit step: host fields, completion, filters, then the run's
// consumer (the analysis database, nothing, or the text view).
#include "engine/network/hit_step.h"

#include <vornic/report.h>

#include "engine/core/hit_record.h"

namespace vrn {

int ProcessResolvedHit(uint32_t state, HitRecord* hit, DnsRun* run) {
  if (hit == nullptr || run == nullptr) return 0;
  FillHitHostFields(state, hit, HitLookupsOn(state, run->lookupSetting));
  CompleteHitRecord(hit);
  run->runningTotal += hit->RecordSize;
  if (HitPassesFilters(run->handle, hit) <= 0) return 1;  // dropped; the run goes on
  if (run->runKind == 6) {
    if (QueueHitForTables(run->handle, hit) != 0) return 1;
    run->stopError = VRN_ERR_NO_MEMORY;  // a table could not take the hit's item
    return 0;
  }
  if (run->runKind == 5) return 1;
  if (WriteHitToView(run->handle, hit) != 0) return 1;
  run->stopError = VRN_ERR_FILE;
  return 0;
}

}  // namespace vrn
