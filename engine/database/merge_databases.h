// Merging the per-day analysis databases of a report range into the report's
// context: the slot layout of the merged range, the merge of one day, and
// the section flags of the merged database.
#ifndef VORNIC_DATABASE_MERGE_DATABASES_H
#define VORNIC_DATABASE_MERGE_DATABASES_H

#include <cstdint>

#include "engine/database/analysis_context.h"

namespace vrn {

struct ReportHandle;

// Merges day `b` into report `a`. `dayIndex` counts the days of the range
// from 0; progress is reported from `progressFrom` to `progressTo` percent;
// with `partialFirstDay` B's slots are merged from `firstSlot` on (see
// CountSlotsBeforeStart); `dayStartTime` selects the month slot in the
// month-slot modes. B's open visits are posted (B is changed). 1 merged, 0
// cancelled by the client (A then partly merged).
int MergeReportDatabases(ReportHandle* a, ReportHandle* b, uint32_t dayIndex, uint32_t progressFrom,
                         uint32_t progressTo, int partialFirstDay, uint32_t reserved, uint32_t firstSlot,
                         uint32_t dayStartTime);
// Number of B's slots (0 to 24) that end at or before A's slot origin: the
// smallest n below 24 with A's origin < B's origin + (n + 1) x B's slot
// seconds, else 24.
void CountSlotsBeforeStart(const AnalysisContext* a, const AnalysisContext* b, uint32_t* count);
// A's slot layout from the run's time window.
void SetMergedRangeSlots(ReportHandle* run);
void SetMergedRangeSlotsFor(AnalysisContext* context, uint32_t start, uint32_t end);
// Section flags after the last day is merged.
void SetMergedSectionFlags(ReportHandle* run);
void SetMergedSectionFlagsFor(const AnalysisContext* context);
// Sets the used flag of all 41 sections.
void EnableAllSections();

}  // namespace vrn

#endif
