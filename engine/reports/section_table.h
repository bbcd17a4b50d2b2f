// The section table (which of the 41 item tables the working template shows
// and how many rows of each it asks for), the scan that fills it, the row and
// column numbers of template tokens, the per-item detail lists of the two
// search tables, and the release of a run's report database.
//
// The table itself (SectionTableEntry, GetSectionTable) lives with the
// analysis context; this is the report side of it.
#ifndef VORNIC_REPORTS_SECTION_TABLE_H
#define VORNIC_REPORTS_SECTION_TABLE_H

#include <cstddef>
#include <cstdint>

#include "engine/database/analysis_context.h"
#include "engine/database/item_tables.h"

namespace vrn {

struct ReportHandle;

// Size of the windows the template is scanned in.
constexpr uint32_t kSectionScanWindow = 10240;
constexpr int kObsoleteTopPathsSection = 28;

// Resets every entry (used 0, empty 1, highest row 0) and marks used each
// section that a "%%token%%" of the template at `path` starts with (first
// match in table order, case-insensitive), raising its highest row to the
// token's row index. ObsoleteTopPaths is never left used. A template that
// does not open leaves every section unused; a short read keeps what was
// found so far.
void ScanTemplateSections(const char* path);

// The section whose name is a case-insensitive prefix of `token` (first in
// table order), or -1.
int FindTokenSection(const char* token);

// Decimal number after the last "[" (up to the first non-digit); 0 without "[".
uint16_t ParseRowIndex(const char* token);
// Decimal number after the first "," that follows the last "["; 0 when there
// is no "[" or no "," after it.
uint16_t ParseColumnIndex(const char* token);

// Sorts the item's detail entries by hits, largest first; null does nothing.
void SortTopTableDescending(NameTableEntry* item);
// out = ""; at detail rank 0 with an item rank below Count: the item's name,
// and its detail entries are sorted. The context is not read.
void GetItemNameSortDetails(const AnalysisContext* context, const SummaryTableEntry* table, uint16_t itemRank,
                            uint16_t detailRank, char* out, size_t size);
// out = "", then the text of the item's detail entry at detailRank (when both
// ranks are in range).
void GetDetailEntryText(const AnalysisContext* context, const SummaryTableEntry* table, uint16_t itemRank,
                        uint16_t detailRank, char* out, size_t size);
// First (hits) / second (visits) count of that detail entry; 0 out of range.
uint32_t GetDetailEntryCount(const SummaryTableEntry* table, uint16_t itemRank, uint16_t detailRank);
uint32_t GetDetailEntrySecondCount(const SummaryTableEntry* table, uint16_t itemRank, uint16_t detailRank);

// Frees the run's report options and its analysis database and clears the
// run's database handle and pointer. Returns 1.
int CloseReportDatabase(ReportHandle* run);

}  // namespace vrn

#endif
