// The per-hit step: what happens to each hit once its name lookup is done.
// CheckDNS calls it for every finished client entry, in log order.
#ifndef VORNIC_NETWORK_HIT_STEP_H
#define VORNIC_NETWORK_HIT_STEP_H

#include <cstdint>

#include "engine/network/dns_queue.h"

namespace vrn {

struct HitRecord;
struct ReportHandle;

// Fills the host fields, completes the hit, adds its RecordSize word to the
// run's running total, applies the filters (a rejected hit is dropped and 1
// returned), then: kind 6 adds it to the analysis database (0 there stops
// the run), kind 5 ends here, other kinds write it into the text view (1
// when written, else 0).
int ProcessResolvedHit(uint32_t state, HitRecord* hit, DnsRun* run);

// ---- consumers, provided by the report run and the analysis database ------

// The run's include and exclude filters: 1 keeps the hit, 0 or less drops it.
int HitPassesFilters(ReportHandle* run, HitRecord* hit);
// Adds the hit to the run's analysis database; 0 stops the run.
int AddHitToDatabase(ReportHandle* run, HitRecord* hit);
// AddHitToDatabase for the run's own loop, which settles the tables at its
// end.
int QueueHitForTables(ReportHandle* run, HitRecord* hit);
// Formats the hit as the text view's line into the run's per-hit text buffer
// (3096 bytes), adds its line count to the writing view buffer, positions
// that buffer's file and appends the bytes. 1 when all bytes were written.
int WriteHitToView(ReportHandle* run, HitRecord* hit);

}  // namespace vrn

#endif
