// Read access to finished item tables.
#include "engine/database/table_accessors.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <vornic/settings.h>

#include "engine/database/finishing.h"

namespace vrn {

namespace {

const NameTableEntry* ItemAtRank(const SummaryTableEntry* table, int fromEnd, uint32_t rank) {
  if (!table || !table->ItemBlock || table->Count == 0 || rank >= table->Count) return nullptr;
  NameTableEntry** items = LockTableItems(table);
  uint32_t index = fromEnd == 1 ? table->Count - rank - 1 : rank;
  const NameTableEntry* item = items[index];
  UnlockTableItems(table);
  return item;
}

const NameTableEntry* ItemByName(const SummaryTableEntry* table, const char* name) {
  if (!table || !name || !table->ItemBlock) return nullptr;
  NameTableEntry** items = LockTableItems(table);
  const NameTableEntry* found = nullptr;
  for (uint32_t i = 0; i < table->Count; ++i) {
    if (items[i] && items[i]->String && CompareItemNames(items[i]->String, name) == 0) {
      found = items[i];
      break;
    }
  }
  UnlockTableItems(table);
  return found;
}

void CopyBounded(char* buffer, size_t size, const char* text) {
  if (!buffer || size == 0) return;
  size_t n = text ? std::strlen(text) : 0;
  if (n > size - 1) n = size - 1;
  if (n) std::memcpy(buffer, text, n);
  buffer[n] = '\0';
}

template <typename F>
auto SumRange(const SummaryTableEntry* table, uint32_t to, uint32_t from, F value) -> decltype(value(nullptr)) {
  decltype(value(nullptr)) sum{};
  if (!table || !table->ItemBlock) return sum;
  if (to > table->Count) to = table->Count;
  NameTableEntry** items = LockTableItems(table);
  for (uint32_t i = from; i < to; ++i) {
    if (items[i]) sum += value(items[i]);
  }
  UnlockTableItems(table);
  return sum;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const IntervalScale* ContextScale(const AnalysisContext* context) {
  if (!context || !context->options) return nullptr;
  const ReportOptions* o = context->options;
  return IntervalScaleAt(o, context->intervalScaleIndex);
}

std::string FormatTime(const AnalysisContext* context, const char* format, uint32_t t) {
  time_t value = static_cast<time_t>(t);
  struct tm fields {};
  gmtime_r(&value, &fields);
  IntlLocale storage;
  return FormatIntlDateTime(format ? format : "", fields, ReportOptionsLocale(context->options, &storage));
}

}  // namespace

NameTableEntry** LockTableItems(const SummaryTableEntry* table) {
  if (!table) return nullptr;
  return table->Items ? table->Items : table->ItemBlock;
}

void UnlockTableItems(const SummaryTableEntry* /*table*/) {}

NameTableEntry** GetTableItemsAt(const SummaryTableEntry* table, uint32_t rank) {
  if (!table || !table->ItemBlock || rank >= table->Count) return nullptr;
  NameTableEntry** items = LockTableItems(table);
  UnlockTableItems(table);
  return items;
}

void GetItemName(const SummaryTableEntry* table, int fromEnd, uint32_t rank, char* buffer, size_t size) {
  const NameTableEntry* item = ItemAtRank(table, fromEnd, rank);
  CopyBounded(buffer, size, item ? item->String : nullptr);
}

void GetItemPathText(const AnalysisContext* context, const SummaryTableEntry* table, int fromEnd, uint16_t rank,
                     char* buffer, size_t size) {
  CopyBounded(buffer, size, nullptr);
  const NameTableEntry* item = ItemAtRank(table, fromEnd, rank);
  if (!context || !buffer || size == 0 || !item || !item->String) return;
  const SummaryTableEntry* tables = context->templ.TopTablesPtr;
  if (!tables || context->templ.TopTablesCount <= kTopDocuments) return;
  std::string text;
  const size_t groups = std::strlen(item->String) / 8;
  for (size_t g = 0; g < groups; ++g) {
    uint32_t entry = 0;
    bool valid = true;
    for (size_t i = 0; i < 8; ++i) {
      int d = HexDigit(item->String[g * 8 + i]);
      if (d < 0) {
        valid = false;
        break;
      }
      entry = (entry << 4) | static_cast<uint32_t>(d);
    }
    if (!valid) break;
    const SummaryTableEntry* pages = (entry >> 16) == 1 ? &tables[kTopForms] : &tables[kTopDocuments];
    const uint32_t number = entry & 0xFFFF;
    const NameTableEntry* page = nullptr;
    if (pages->ItemBlock) {
      NameTableEntry** items = LockTableItems(pages);
      for (uint32_t i = 0; i < pages->Count; ++i) {
        if (items[i] && items[i]->OriginalIndex == number) {
          page = items[i];
          break;
        }
      }
      UnlockTableItems(pages);
    }
    if (!page || !page->String) break;
    size_t nameLength = std::strlen(page->String);
    if (nameLength > 1023) nameLength = 1023;
    if (text.size() + nameLength > kPathTextLimit) break;
    if (!text.empty()) text += "\r\n";
    text.append(page->String, nameLength);
  }
  CopyBounded(buffer, size, text.c_str());
}

uint32_t GetItemSlotHits(const SummaryTableEntry* table, int fromEnd, uint16_t rank, uint16_t slot) {
  const NameTableEntry* item = ItemAtRank(table, fromEnd, rank);
  return (item && slot < 32) ? item->SlotHits[slot] : 0;
}

uint32_t GetItemSlotUsers(const SummaryTableEntry* table, int fromEnd, uint16_t rank, uint16_t slot) {
  const NameTableEntry* item = ItemAtRank(table, fromEnd, rank);
  return (item && slot < 32) ? item->SlotUsers[slot] : 0;
}

uint32_t GetItemHits(const SummaryTableEntry* table, int fromEnd, uint16_t rank) {
  const NameTableEntry* item = ItemAtRank(table, fromEnd, rank);
  return item ? item->TotalByHits : 0;
}

uint32_t GetItemUsers(const SummaryTableEntry* table, int fromEnd, uint16_t rank) {
  const NameTableEntry* item = ItemAtRank(table, fromEnd, rank);
  return item ? item->TotalByUsers : 0;
}

uint32_t GetItemNonCachedHits(const SummaryTableEntry* table, int fromEnd, uint16_t rank) {
  const NameTableEntry* item = ItemAtRank(table, fromEnd, rank);
  return item ? item->NonCachedTotalByHits : 0;
}

double GetItemBytes(const SummaryTableEntry* table, int fromEnd, uint16_t rank) {
  const NameTableEntry* item = ItemAtRank(table, fromEnd, rank);
  return item ? item->TotalBytes : 0.0;
}

uint32_t GetItemAverageTime(const SummaryTableEntry* table, int fromEnd, uint16_t rank) {
  const NameTableEntry* item = ItemAtRank(table, fromEnd, rank);
  if (!item || item->TimeOnPages == 0 || item->TimeOnPagesCount == 0) return 0;
  return item->TimeOnPages / item->TimeOnPagesCount;
}

uint32_t GetItemHitsByName(const SummaryTableEntry* table, const char* name) {
  const NameTableEntry* item = ItemByName(table, name);
  return item ? item->TotalByHits : 0;
}

uint32_t GetItemUsersByName(const SummaryTableEntry* table, const char* name) {
  const NameTableEntry* item = ItemByName(table, name);
  return item ? item->TotalByUsers : 0;
}

uint32_t SumTableHits(const SummaryTableEntry* table, uint32_t to, uint32_t from) {
  return SumRange(table, to, from, [](const NameTableEntry* i) { return i ? i->TotalByHits : 0u; });
}

uint32_t SumTableUsers(const SummaryTableEntry* table, uint32_t to, uint32_t from) {
  return SumRange(table, to, from, [](const NameTableEntry* i) { return i ? i->TotalByUsers : 0u; });
}

double SumTableBytes(const SummaryTableEntry* table, uint32_t to, uint32_t from) {
  return SumRange(table, to, from, [](const NameTableEntry* i) { return i ? i->TotalBytes : 0.0; });
}

uint32_t SumHitsByNames(const SummaryTableEntry* table, uint32_t to, uint32_t from, const SummaryTableEntry* other) {
  return SumRange(table, to, from, [other](const NameTableEntry* i) {
    return (i && i->String) ? GetItemHitsByName(other, i->String) : 0u;
  });
}

uint32_t SumUsersByNames(const SummaryTableEntry* table, uint32_t to, uint32_t from,
                         const SummaryTableEntry* other) {
  return SumRange(table, to, from, [other](const NameTableEntry* i) {
    return (i && i->String) ? GetItemUsersByName(other, i->String) : 0u;
  });
}

void RenumberItems(SummaryTableEntry* table) {
  if (!table || !table->ItemBlock) return;
  NameTableEntry** items = LockTableItems(table);
  const uint32_t slots = table->Count + table->DeleteCount;
  for (uint32_t i = 0; i < slots; ++i) {
    if (items[i]) items[i]->OriginalIndex = i;
  }
  UnlockTableItems(table);
}

uint32_t BigTableCutoff() {
  static uint32_t remembered = 10000;
  if (remembered == 0) {
    remembered = static_cast<uint32_t>(GetModuleProfileInt("Defaults", "BigTableCutoff", 10000));
  }
  return remembered;
}

const IntlLocale* ReportOptionsLocale(const ReportOptions* options, IntlLocale* storage) {
  if (!options || !storage) return nullptr;
  auto text = [](const char* t) { return t ? t : ""; };
  for (int i = 0; i < 7; ++i) {
    storage->shortWeekdays[i] = text(options->texts[kShortWeekdays + i]);
    storage->fullWeekdays[i] = text(options->texts[kLongWeekdays + i]);
  }
  for (int i = 0; i < 12; ++i) {
    storage->shortMonths[i] = text(options->texts[kShortMonths + i]);
    storage->fullMonths[i] = text(options->texts[kLongMonths + i]);
  }
  storage->dateOrder = options->dateOrder;
  storage->dateSeparator = text(options->texts[kIntlTexts + 0]);
  storage->timeSeparator = text(options->texts[kIntlTexts + 1]);
  return storage;
}

int FormatSlotLabel(const AnalysisContext* context, uint16_t slot, char* buffer, size_t size) {
  CopyBounded(buffer, size, nullptr);
  if (!context || slot >= context->slotCount) return 0;
  const IntervalScale* scale = ContextScale(context);
  if (!scale) return 0;
  uint32_t start = slot == 0 ? context->reportStart : context->slotOrigin + slot * context->secondsPerSlot;
  if (UsesCalendarMonths(context)) start = CalendarMonthStart(context, slot);
  std::string label = FormatTime(context, scale->slotLabelFormat, start);
  if (label.size() > kSlotLabelSize - 1) label.resize(kSlotLabelSize - 1);
  CopyBounded(buffer, size, label.c_str());
  return 1;
}

int FormatPeriodLabel(const AnalysisContext* context, char* buffer, size_t size) {
  CopyBounded(buffer, size, nullptr);
  const IntervalScale* scale = ContextScale(context);
  if (!scale) return 0;
  std::string first = FormatTime(context, scale->periodDayFormat, context->reportStart);
  std::string last = FormatTime(context, scale->periodDayFormat, context->reportEnd);
  if (first.size() > 39) first.resize(39);
  if (last.size() > 39) last.resize(39);
  std::string text = first + " - " + last + " (" + (scale->intervalName ? scale->intervalName : "") + ")";
  CopyBounded(buffer, size, text.c_str());
  return 1;
}

}  // namespace vrn
