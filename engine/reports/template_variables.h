// The template variable resolver: turns the name of a template token into
// the text that replaces it in the report (numbers, percentages, times,
// names from the analysis, style values) or into a control value that the
// report writer acts on ("%%Remove%%", "%%BookMarkColumn%%",
// "%%RemoveColumn%%"). Names of table cells go on to the table writer.
//
// Names are matched without regard to letter case. Everything runs on the
// client's thread; the row counters of the database lookups are
// process-wide, so one report at a time.
#ifndef VORNIC_REPORTS_TEMPLATE_VARIABLES_H
#define VORNIC_REPORTS_TEMPLATE_VARIABLES_H

#include <cstddef>
#include <cstdint>

#include <vornic/profile.h>
#include <vornic/summary.h>

namespace vrn {

struct ReportHandle;
struct AnalysisContext;
struct SummaryTableEntry;

// Resolves `name` into out (size bytes, normally 4096). Returns 1 with the
// value (a marker value sets *markerFlag to 1; the flag is never cleared
// here), 0 with an empty text for an unknown name or when there is no
// context. `callback` is the report's file callback (status texts).
int ResolveTemplateVariable(ReportHandle* run, AnalysisContext* context, const char* name, char* out, size_t size,
                            uint32_t* markerFlag, ReportFileCallback callback);

// Puts the running row counters and current rows of the database lookups
// back to 0 (at the start of every report and when a run is created).
void ResetResolverCounters();

// Hits of the hours-table items of the work hours (after hours) of the
// context's report options, each named "%02d:00-%02d:59" by its hour.
uint32_t SumWorkHoursHits(const AnalysisContext* context, const SummaryTableEntry* hours);
uint32_t SumAfterHoursHits(const AnalysisContext* context, const SummaryTableEntry* hours);
// The same hours' users.
uint32_t SumWorkHoursUsers(const AnalysisContext* context, const SummaryTableEntry* hours);
uint32_t SumAfterHoursUsers(const AnalysisContext* context, const SummaryTableEntry* hours);

// The SummaryByDay family. An unknown name leaves out as it was; returns 1.
int ResolveSummaryByDay(const AnalysisContext* context, const char* name, char* out, size_t size,
                        uint32_t* markerFlag);

// The day count of the per-day averages: (the earlier of now and the range
// end, minus the range start) / 86400, rounded up; 0 for an empty range.
uint32_t ReportDayCount(uint32_t rangeStart, uint32_t rangeEnd, uint32_t now);

// Closes the connection of the site's database lookup (authenticated users,
// visitor domains) when one is open.
void DisconnectMorvaneLookup();

}  // namespace vrn

#endif
