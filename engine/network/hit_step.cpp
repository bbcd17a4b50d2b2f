// The per-hit step: host fields, completion, filters, then the run's
// consumer (the analysis database, nothing, or the text view).
#include "engine/network/hit_step.h"

#include "engine/core/hit_record.h"

namespace vrn {

int ProcessResolvedHit(uint32_t state, HitRecord* hit, DnsRun* run) {
  if (hit == nullptr || run == nullptr) return 0;
  FillHitHostFields(state, hit, HitLookupsOn(state, run->lookupSetting));
  CompleteHitRecord(hit);
  run->runningTotal += hit->RecordSize;
  if (HitPassesFilters(run->handle, hit) <= 0) return 1;  // dropped; the run goes on
  if (run->runKind == 6) return AddHitToDatabase(run->handle, hit) != 0 ? 1 : 0;
  if (run->runKind == 5) return 1;
  return WriteHitToView(run->handle, hit) != 0 ? 1 : 0;
}

}  // namespace vrn
