// Relabelling of a realtime report's stored names (see realtime_names.h).
#include "engine/reports/realtime_names.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/database/analysis_context.h"
#include "engine/database/item_tables.h"
#include "engine/database/table_accessors.h"
#include "engine/reports/report_paths.h"

namespace vrn {

namespace {

const char* TextAt(const ReportOptions* options, uint32_t index) {
  if (options == nullptr || index >= kReportTextCount) return nullptr;
  return options->texts[index];
}

SummaryTableEntry* TableOf(AnalysisContext* context, uint32_t index) {
  if (context == nullptr) return nullptr;
  TemplateRecord& t = context->templ;
  if (t.TopTablesPtr == nullptr || index >= t.TopTablesCount) return nullptr;
  return &t.TopTablesPtr[index];
}

// Relabels one table with a group of `count` texts starting at `first`.
int RelabelGroup(AnalysisContext* context, const ReportOptions* stored, uint32_t table, uint32_t first,
                 uint32_t count) {
  SummaryTableEntry* t = TableOf(context, table);
  // A table that is not in use or holds nothing has nothing to relabel.
  if (t == nullptr || t->ItemBlock == nullptr || t->Count == 0) return 1;
  if (context->options == nullptr || stored == nullptr) return 1;
  const char* storedNames[32] = {};
  const char* currentNames[32] = {};
  for (uint32_t i = 0; i < count && i < 32; ++i) {
    storedNames[i] = TextAt(stored, first + i);
    currentNames[i] = TextAt(context->options, first + i);
  }
  return RelabelTableItems(t, storedNames, currentNames, count);
}

}  // namespace

int ReplaceItemName(NameTableEntry* item, const char* name) {
  if (item == nullptr || name == nullptr) return 0;
  const size_t length = std::strlen(name);
  auto* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) return 0;
  std::memcpy(copy, name, length + 1);
  std::free(item->String);
  item->String = copy;
  return 1;
}

int RelabelTableItems(SummaryTableEntry* table, const char* const* stored, const char* const* current,
                      uint32_t count) {
  if (table == nullptr || table->ItemBlock == nullptr || stored == nullptr || current == nullptr) return 1;
  NameTableEntry** items = LockTableItems(table);
  int result = 1;
  for (uint32_t i = 0; i < table->Count && result == 1; ++i) {
    NameTableEntry* item = items[i];
    if (item == nullptr || item->String == nullptr || item->String[0] == 0) continue;
    for (uint32_t n = 0; n < count; ++n) {
      if (stored[n] == nullptr || current[n] == nullptr) continue;
      if (CompareItemNames(item->String, stored[n]) != 0) continue;
      if (ReplaceItemName(item, current[n]) == 0) result = 0;
      break;
    }
  }
  UnlockTableItems(table);
  return result;
}

int RelabelVisitorOrigins(AnalysisContext* context, const ReportOptions* stored) {
  return RelabelGroup(context, stored, kTopVisitors, kLegendTexts, 4);
}
int RelabelWeekdays(AnalysisContext* context, const ReportOptions* stored) {
  return RelabelGroup(context, stored, kTopWeekdays, kShortWeekdays, 7);
}
int RelabelServerErrors(AnalysisContext* context, const ReportOptions* stored) {
  return RelabelGroup(context, stored, kTopServerErrors, kReturnCodeTexts, 21);
}
int RelabelClientErrors(AnalysisContext* context, const ReportOptions* stored) {
  return RelabelGroup(context, stored, kTopClientErrors, kReturnCodeTexts, 21);
}
int RelabelFormErrors(AnalysisContext* context, const ReportOptions* stored) {
  return RelabelGroup(context, stored, kTopFormErrors, kGenericTexts, 5);
}
int RelabelSuffixes(AnalysisContext* context, const ReportOptions* stored) {
  return RelabelGroup(context, stored, kTopSuffixes, kSuffixTexts, 9);
}

void ReplaceMonthName(char* text, size_t size, const ReportOptions* current, const ReportOptions* stored) {
  if (text == nullptr || size == 0 || current == nullptr || stored == nullptr) return;
  const std::string original(text, strnlen(text, size));
  for (uint32_t month = 0; month < 12; ++month) {
    const char* old = TextAt(stored, kLongMonths + month);
    const char* now = TextAt(current, kLongMonths + month);
    if (old == nullptr || now == nullptr || old[0] == 0) continue;
    const size_t at = original.find(old);
    if (at == std::string::npos) continue;
    const size_t blank = original.find(' ', at + std::strlen(old));
    if (blank == std::string::npos) return;
    std::string result = original.substr(0, at) + now + original.substr(blank);
    if (result.size() >= size) result.resize(size - 1);
    std::memcpy(text, result.data(), result.size());
    text[result.size()] = 0;
    return;
  }
}

int RelabelRealtimeTables(AnalysisContext* context, const ReportOptions* stored) {
  if (context == nullptr) return 1;
  using Step = int (*)(AnalysisContext*, const ReportOptions*);
  static const Step kSteps[] = {RelabelVisitorOrigins, RelabelWeekdays,   RelabelServerErrors,
                                RelabelClientErrors,   RelabelFormErrors, RelabelSuffixes};
  for (Step step : kSteps) {
    if (step(context, stored) == 0) return 0;
  }
  FormatReportDate(context);
  ReplaceMonthName(context->templ.MostHitsDay, sizeof context->templ.MostHitsDay, context->options, stored);
  ReplaceMonthName(context->templ.FewestHitsDay, sizeof context->templ.FewestHitsDay, context->options, stored);
  return 1;
}

}  // namespace vrn
