// Relabelling of a realtime report's stored names. Some item names come from
// the report vocabulary (weekday names, visitor-origin legends, return-code,
// generic and suffix texts); days stored under one report language carry
// that language's names. Before the report is written each stored name is
// replaced by the name at the same position of the current vocabulary.
#ifndef VORNIC_REPORTS_REALTIME_NAMES_H
#define VORNIC_REPORTS_REALTIME_NAMES_H

#include <cstddef>
#include <cstdint>

#include "engine/core/report_settings.h"

namespace vrn {

struct AnalysisContext;
struct SummaryTableEntry;
struct NameTableEntry;

// Relabels the context's tables from `stored` to the context's current
// options, rebuilds the generated-on text and the month names of the most
// and least active day texts. 1, or 0 when a name copy could not be made
// (the steps after it are not run).
int RelabelRealtimeTables(AnalysisContext* context, const ReportOptions* stored);

// For each named item, the first of the `count` stored names that equals its
// name (any case) is replaced by the current name at the same position.
// 1, or 0 when a copy fails (later items stay as they are).
int RelabelTableItems(SummaryTableEntry* table, const char* const* stored, const char* const* current,
                      uint32_t count);

// Gives the item a heap copy of name, freeing the old one. 0 when the copy
// cannot be made (the item keeps its name).
int ReplaceItemName(NameTableEntry* item, const char* name);

// The six per-table steps; each skips a table that is not enabled or holds
// no item (success).
int RelabelVisitorOrigins(AnalysisContext* context, const ReportOptions* stored);
int RelabelWeekdays(AnalysisContext* context, const ReportOptions* stored);
int RelabelServerErrors(AnalysisContext* context, const ReportOptions* stored);
int RelabelClientErrors(AnalysisContext* context, const ReportOptions* stored);
int RelabelFormErrors(AnalysisContext* context, const ReportOptions* stored);
int RelabelSuffixes(AnalysisContext* context, const ReportOptions* stored);

// Replaces the first stored long month name found in text (size bytes) by
// the current long name of that month, keeping everything before it and
// everything from the first blank after it. Unchanged when no stored month
// name occurs or no blank follows it.
void ReplaceMonthName(char* text, size_t size, const ReportOptions* current, const ReportOptions* stored);

}  // namespace vrn

#endif
