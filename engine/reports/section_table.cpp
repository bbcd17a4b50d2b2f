#include "engine/reports/section_table.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "engine/core/report_run.h"
#include "engine/database/finishing.h"
#include "engine/database/table_accessors.h"
#include "engine/reports/template_text.h"
#include "platform/base/files.h"
#include "platform/base/memory.h"

namespace vrn {

namespace {

void ResetEntry(SectionTableEntry& entry) {
  entry.used = 0;
  entry.empty = 1;
  entry.maxRow = 0;
  entry.counter = 0;
}

void NoteToken(std::string_view token) {
  const int section = FindTokenSection(std::string(token).c_str());
  if (section < 0) return;
  SectionTableEntry& entry = GetSectionTable()[section];
  entry.used = 1;
  entry.maxRow = std::max<uint32_t>(entry.maxRow, ParseRowIndex(std::string(token).c_str()));
}

// The item at rank of the table, with its item array locked; null (and
// nothing locked) when the table has no items or the rank is not below Count.
NameTableEntry* LockItemAt(const SummaryTableEntry* table, uint32_t rank) {
  if (table == nullptr) return nullptr;
  NameTableEntry** items = LockTableItems(table);
  if (items == nullptr) return nullptr;
  if (rank >= table->Count || items[rank] == nullptr) {
    UnlockTableItems(table);
    return nullptr;
  }
  return items[rank];
}

const SearchDetailEntry* DetailAt(const NameTableEntry* item, uint32_t rank) {
  if (item == nullptr || item->TopNames == nullptr || rank >= item->TopNamesCount) return nullptr;
  return item->Details()[rank];
}

}  // namespace

int FindTokenSection(const char* token) {
  if (token == nullptr) return -1;
  SectionTableEntry* table = GetSectionTable();
  for (int i = 0; i < kItemTableCount; ++i) {
    if (table[i].name != nullptr && IStartsWith(token, table[i].name)) return i;
  }
  return -1;
}

void ScanTemplateSections(const char* path) {
  SectionTableEntry* table = GetSectionTable();
  for (int i = 0; i < kItemTableCount; ++i) ResetEntry(table[i]);
  if (path == nullptr) return;
  KvFile file = kv::FileOpen(path, kv::kFileRead, kv::FileDisposition::kOpenExisting);
  if (file == KV_INVALID_FILE) return;
  const int64_t size = kv::FileSize(file);
  std::string window(kSectionScanWindow, '\0');
  int64_t offset = 0;
  while (size > 0 && offset < size) {
    const uint32_t want = static_cast<uint32_t>(std::min<int64_t>(kSectionScanWindow, size - offset));
    uint32_t got = 0;
    if (kv::FileSeek(file, offset, kv::kSeekBegin) < 0 || !kv::FileRead(file, window.data(), want, &got) ||
        got != want) {
      kv::FileClose(file);
      return;  // a short read keeps what was found so far
    }
    const std::string_view text(window.data(), want);
    size_t pos = 0;
    size_t lastEnd = 0;      // end of the last complete token of this window
    size_t unclosed = 0;     // opening "%%" of a token the window cuts off
    for (;;) {
      const size_t open = text.find("%%", pos);
      if (open == std::string_view::npos) break;
      const size_t close = text.find("%%", open + 2);
      if (close == std::string_view::npos) {
        unclosed = open;
        break;
      }
      NoteToken(text.substr(open + 2, close - open - 2));
      pos = close + 2;
      lastEnd = pos;
    }
    // A token cut by the window's end is read again at the start of the
    // next window, also when the window held no complete token before it.
    size_t advance = lastEnd > 0 ? lastEnd : (unclosed > 0 ? unclosed : want);
    // A window that ends with a lone "%" may end with the first half of an
    // opening pair: that "%" is read again with the next window.
    if (advance == want && want > 1 && text[want - 1] == '%' && text[want - 2] != '%') advance = want - 1;
    if (offset + static_cast<int64_t>(want) >= size) advance = want;  // the last window
    offset += static_cast<int64_t>(advance);
  }
  kv::FileClose(file);
  ResetEntry(table[kObsoleteTopPathsSection]);
}

uint16_t ParseRowIndex(const char* token) {
  if (token == nullptr) return 0;
  const char* bracket = std::strrchr(token, '[');
  if (bracket == nullptr) return 0;
  uint32_t value = 0;
  for (const char* p = bracket + 1; *p >= '0' && *p <= '9'; ++p) value = (value * 10 + static_cast<uint32_t>(*p - '0')) & 0xFFFFu;
  return static_cast<uint16_t>(value);
}

uint16_t ParseColumnIndex(const char* token) {
  if (token == nullptr) return 0;
  const char* bracket = std::strrchr(token, '[');
  if (bracket == nullptr) return 0;
  const char* comma = std::strchr(bracket, ',');
  if (comma == nullptr) return 0;
  uint32_t value = 0;
  for (const char* p = comma + 1; *p >= '0' && *p <= '9'; ++p) value = (value * 10 + static_cast<uint32_t>(*p - '0')) & 0xFFFFu;
  return static_cast<uint16_t>(value);
}

void SortTopTableDescending(NameTableEntry* item) {
  if (item == nullptr || item->TopNames == nullptr || item->TopNamesCount < 2) return;
  SearchDetailEntry** entries = item->Details();
  std::sort(entries, entries + item->TopNamesCount, [](const SearchDetailEntry* a, const SearchDetailEntry* b) {
    const uint32_t x = a != nullptr ? a->hits : 0;
    const uint32_t y = b != nullptr ? b->hits : 0;
    return x > y;
  });
}

void GetItemNameSortDetails(const AnalysisContext* /*context*/, const SummaryTableEntry* table, uint16_t itemRank,
                            uint16_t detailRank, char* out, size_t size) {
  CopyText(out, size, "");
  if (detailRank != 0) return;
  NameTableEntry* item = LockItemAt(table, itemRank);
  if (item == nullptr) return;
  if (item->String != nullptr) {
    CopyText(out, size, item->String);
    SortTopTableDescending(item);
  }
  UnlockTableItems(table);
}

void GetDetailEntryText(const AnalysisContext* /*context*/, const SummaryTableEntry* table, uint16_t itemRank,
                        uint16_t detailRank, char* out, size_t size) {
  CopyText(out, size, "");
  NameTableEntry* item = LockItemAt(table, itemRank);
  if (item == nullptr) return;
  const SearchDetailEntry* entry = DetailAt(item, detailRank);
  if (entry != nullptr && entry->text != nullptr) CopyText(out, size, entry->text);
  UnlockTableItems(table);
}

uint32_t GetDetailEntryCount(const SummaryTableEntry* table, uint16_t itemRank, uint16_t detailRank) {
  NameTableEntry* item = LockItemAt(table, itemRank);
  if (item == nullptr) return 0;
  const SearchDetailEntry* entry = DetailAt(item, detailRank);
  const uint32_t value = entry != nullptr ? entry->hits : 0;
  UnlockTableItems(table);
  return value;
}

uint32_t GetDetailEntrySecondCount(const SummaryTableEntry* table, uint16_t itemRank, uint16_t detailRank) {
  NameTableEntry* item = LockItemAt(table, itemRank);
  if (item == nullptr) return 0;
  const SearchDetailEntry* entry = DetailAt(item, detailRank);
  const uint32_t value = entry != nullptr ? entry->visits : 0;
  UnlockTableItems(table);
  return value;
}

int CloseReportDatabase(ReportHandle* run) {
  if (run == nullptr) return 1;
  ReleaseReportOptions(run);
  if (run->database != nullptr && run->databaseHandle != 0) kv::GlobalUnlock(run->databaseHandle);
  run->database = nullptr;
  // Frees the database with what it still owns and clears the handle.
  FreeReportContext(run);
  return 1;
}

}  // namespace vrn
