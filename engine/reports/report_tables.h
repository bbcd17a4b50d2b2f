// Values of the table tokens of a report template: section and chapter
// brackets, one cell per row (names, titles, descriptions, hits, users,
// percentages, times, bytes), totals, diagnostic figures and charts drawn
// through the charting module (GSWDLL32) and converted by the image module
// (VIC32).
#ifndef VORNIC_REPORTS_REPORT_TABLES_H
#define VORNIC_REPORTS_REPORT_TABLES_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/database/analysis_context.h"
#include "engine/database/item_tables.h"
#include "engine/reports/graph_specs.h"

namespace vrn {

// The client's file callback: (kind, text, flag); kind 1 announces a file
// the report writes (text = its full path), kind 0 passes a status text.
// The result is not used. Null means no calls.
using ReportFileCallback = int32_t (*)(int32_t kind, const char* text, int32_t flag);

// Size of the value buffer the template resolver hands in.
constexpr size_t kReportValueSize = 4096;

// Writes the value of `token` (which begins with `sectionName`) into
// value[0..size). *controlFlag is set to 1 when the value is a control value
// (a bracket marker, or an empty text that drops the template line), else
// left as it is. `table` and `sectionIndex` belong to the section name (the
// index into GetSectionTable()); `firstTotalsRow` is 1 for TopUsers and
// TopCompanies, 0 otherwise. Charts write their image files beside the
// context's output path. Always 0.
int32_t EmitReportTable(AnalysisContext* context, char* value, size_t size, const char* token,
                        const char* sectionName, SummaryTableEntry* table, int sectionIndex,
                        uint16_t firstTotalsRow, int32_t* controlFlag, ReportFileCallback callback);

// The descriptor of table `index` (0..TopTablesCount-1) in the context's
// table directory; null for a bad index or a context without tables.
SummaryTableEntry* GetTableDescriptor(AnalysisContext* context, int index);

// A report begins: no chart of any section has been met yet, and the hits
// of whole tables are summed afresh (ForgetTableSums).
void ResetChartOccurrences();
// The hits of every item of `table`: summed once per table until
// ForgetTableSums (the percent cells of a table's rows each divide by them;
// a report's tables stay as they are while it is written).
uint32_t WholeTableHits(const SummaryTableEntry* table);
void ForgetTableSums();

// The table ranks a chart shows: the graph spec's first to last row, the last
// lowered to first + itemCount - 1 and to at most 50 rows.
std::vector<uint16_t> ChartRows(const GraphSpec& spec, uint32_t itemCount);

// Engine-wide chart settings, read by the report writer at the start of
// every report (kelvaron.ini [Main] Debug, [Report] Full Path; kvm_log.ini
// [Report] Graph Type) and forced for document reports.
struct ChartSettings {
  uint32_t debug = 0;      // nonzero: the chart bitmaps are kept
  uint32_t fullPath = 0;   // 1: the chart reference is the image's full path
  uint32_t graphType = 0;  // 0 GIF, 1 JPEG, 2 the charting module's own file (".wmf")
};
ChartSettings& GetChartSettings();

}  // namespace vrn

#endif
