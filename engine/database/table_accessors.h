// Read access to finished item tables for the report generator: an item's
// name, counters and averages by rank, sums over a range of ranks, counters
// of an item found by name, the text of a visit path, the labels of time
// slots and of the report period, the renumbering that precedes sorting and
// the big-table limit.
//
// A rank counts from the start of the item array (fromEnd != 1) or from its
// end (fromEnd == 1: rank 0 is the last item). After sorting, the first
// Count entries of the array are in report order. Every accessor answers 0,
// 0.0 or an empty text when the table has no ItemBlock, no items or the rank
// is not below Count.
#ifndef VORNIC_DATABASE_TABLE_ACCESSORS_H
#define VORNIC_DATABASE_TABLE_ACCESSORS_H

#include <cstddef>
#include <cstdint>

#include "engine/core/engine_state.h"
#include "engine/database/analysis_context.h"
#include "engine/database/item_tables.h"

namespace vrn {

// Longest visit path text (without the terminating zero, before the last
// line break).
constexpr size_t kPathTextLimit = 4090;
// Buffer a path text needs.
constexpr size_t kPathTextBuffer = 4096;
constexpr size_t kSlotLabelSize = 50;

NameTableEntry** LockTableItems(const SummaryTableEntry* table);
void UnlockTableItems(const SummaryTableEntry* table);
NameTableEntry** GetTableItemsAt(const SummaryTableEntry* table, uint32_t rank);

// Copies at most size - 1 characters of the item's name and a zero byte.
void GetItemName(const SummaryTableEntry* table, int fromEnd, uint32_t rank, char* buffer, size_t size);
// The item's name read as a visit trail ("%08x" per page), turned into the
// page names of tables 5 and 7 one per line (CR LF between).
void GetItemPathText(const AnalysisContext* context, const SummaryTableEntry* table, int fromEnd, uint16_t rank,
                     char* buffer, size_t size);
uint32_t GetItemSlotHits(const SummaryTableEntry* table, int fromEnd, uint16_t rank, uint16_t slot);
uint32_t GetItemSlotUsers(const SummaryTableEntry* table, int fromEnd, uint16_t rank, uint16_t slot);
uint32_t GetItemHits(const SummaryTableEntry* table, int fromEnd, uint16_t rank);
uint32_t GetItemUsers(const SummaryTableEntry* table, int fromEnd, uint16_t rank);
uint32_t GetItemNonCachedHits(const SummaryTableEntry* table, int fromEnd, uint16_t rank);
double GetItemBytes(const SummaryTableEntry* table, int fromEnd, uint16_t rank);
// TimeOnPages / TimeOnPagesCount in whole seconds; 0 when either is 0.
uint32_t GetItemAverageTime(const SummaryTableEntry* table, int fromEnd, uint16_t rank);

// Counters of the first item (array order) whose name equals `name`
// case-insensitively; 0 when none.
uint32_t GetItemHitsByName(const SummaryTableEntry* table, const char* name);
uint32_t GetItemUsersByName(const SummaryTableEntry* table, const char* name);

// Sums over ranks from .. min(to, Count) - 1 from the start.
uint32_t SumTableHits(const SummaryTableEntry* table, uint32_t to, uint32_t from);
uint32_t SumTableUsers(const SummaryTableEntry* table, uint32_t to, uint32_t from);
double SumTableBytes(const SummaryTableEntry* table, uint32_t to, uint32_t from);
// For each named item of the range, the counter of the same name in `other`.
uint32_t SumHitsByNames(const SummaryTableEntry* table, uint32_t to, uint32_t from, const SummaryTableEntry* other);
uint32_t SumUsersByNames(const SummaryTableEntry* table, uint32_t to, uint32_t from,
                         const SummaryTableEntry* other);

// Every item's OriginalIndex = its position in the item array.
void RenumberItems(SummaryTableEntry* table);
// Item count at which big tables are skipped by paths and merges (10000).
uint32_t BigTableCutoff();

// The report options' names as the date formatting takes them (null
// options give null: the engine's own names).
const IntlLocale* ReportOptionsLocale(const ReportOptions* options, IntlLocale* storage);
// 1 and the label of `slot` (< the context's slot count); else 0 and "".
int FormatSlotLabel(const AnalysisContext* context, uint16_t slot, char* buffer, size_t size);
// 1 and "start - end (interval name)".
int FormatPeriodLabel(const AnalysisContext* context, char* buffer, size_t size);

}  // namespace vrn

#endif
