// ODBC result store: loading a day, the master rows, deleting a day and the
// whole store, disconnecting.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/core/engine_state.h"
#include "engine/core/report_settings.h"
#include "engine/database/item_tables.h"
#include "engine/database/odbc_store.h"
#include "engine/database/report_ranges.h"
#include "engine/database/table_accessors.h"
#include "platform/ui/msgbox.h"

namespace vrn {

using namespace odbcstore;

namespace {

constexpr const char* kReadErrorCaption = "Reading ODBC Tables Error";
// Upper bound of the items of one table read back (as for period files).
constexpr uint64_t kMaxLoadedItems = 0x3FFFFFFFu;

uint32_t UnmapLink(uint32_t v) { return v == kOdbcNoLink ? kNoItem : v; }

OdbcConnection* ConnectionOf(RealtimeStore* store) {
  return store ? static_cast<OdbcConnection*>(store->odbc) : nullptr;
}

// " FROM <table> WHERE StartTime = <start>" (the start is unsigned).
std::string WhereStart(int table, uint32_t start) {
  char text[160];
  std::snprintf(text, sizeof text, " FROM %s WHERE %s = %u", OdbcTableName(table), "StartTime", start);
  return text;
}

// Capacity of a table read back: ChunkSize 100 grows in steps of 100 past
// the items; any other ChunkSize is the capacity itself. As for period
// files, the stored word is not trusted beyond that: the capacity holds at
// least the items and at most twice them plus a first chunk.
uint64_t LoadCapacity(uint32_t chunkSize, uint64_t items) {
  uint64_t capacity = chunkSize == 100 ? ((items + 1) / 100 + 1) * 100 : chunkSize;
  capacity = std::min<uint64_t>(capacity, 2 * items + kFirstChunkSize);
  return std::max<uint64_t>(capacity, items);
}

// A day is read with one query a table: every row of the day is fetched
// once and kept grouped by the keys its items look it up by, so that the
// cost of a day does not grow with a query per item. The rows of one key
// keep the order in which the database returned them, as a keyed query
// returns them.
class DayReader {
 public:
  DayReader(OdbcConnection* c, uint32_t start) : c_(c), start_(start) { row_.Clear(); }
  ~DayReader() { FreePool(&pool_); }

  bool Prepare() { return AllocPool(c_->connection, &pool_); }

  int ReadTemplate(AnalysisContext* context) {
    const int T = kOdbcTemplate;
    int got = 0;
    RowBuffer templ;
    templ.Clear();
    // Only the first template row of the day counts.
    if (!SelectDay(T, [&](const RowBuffer& r) {
          if (got++ == 0) templ = r;
          return true;
        })) {
      return kDbBad;
    }
    if (got == 0) return kDbEmpty;
    TemplateRecord& t = context->templ;
    FreeItemTables(&t);
    if (!LoadDayRows()) return kDbBad;
    if (ClientCancelled()) return kDbCancelled;
    const RowBuffer& row = templ;
    t.TodayDateTime = row.Get(T, "TodayDateTime");
    t.TodaysHits = row.Get(T, "TodaysHits");
    t.TodaysUsers = row.Get(T, "TodaysUsers");
    t.UserSessionsTimeCount = row.Get(T, "UserSessionsTimeCount");
    t.UserSessionsTime = row.Get(T, "UserSessionsTime");
    t.DocumentHits = row.Get(T, "DocumentHits");
    t.FormHits = row.Get(T, "FormHits");
    t.FailedFormHits = row.Get(T, "FailedFormHits");
    t.Failed500 = row.Get(T, "Failed500");
    t.Failed501 = row.Get(T, "Failed501");
    t.Failed502 = row.Get(T, "Failed502");
    t.Failed503 = row.Get(T, "Failed503");
    t.Failed400 = row.Get(T, "Failed400");
    t.Failed401 = row.Get(T, "Failed401");
    t.Failed402 = row.Get(T, "Failed402");
    t.Failed403 = row.Get(T, "Failed403");
    t.Failed404 = row.Get(T, "Failed404");
    const uint32_t tableCount = row.Get(T, "TopTablesCount");
    const bool hasDirectory = row.Get(T, "TopTablesPtr") != 0;
    const bool hasSessions = row.Get(T, "TopUsersPtr") != 0;

    uint32_t* arrays[9] = {t.SlotUsers, t.SlotDomestic, t.SlotInternational, t.SlotUnknownCountry, t.SlotHits,
                           t.SlotHomePageHits, t.SlotNotModified, t.SlotFailed, t.SlotOtherMethod};
    for (uint32_t d = 0; d < 9; ++d) {
      if (!ReadIntervals(arrays[d], kOdbcTemplateArrays, kOdbcTemplateArrays, d)) return kDbBad;
    }
    if (!ReadDoubleIntervals(t.SlotBytes, kOdbcTemplateArrays, kOdbcTemplateArrays, kOdbcTemplateBytes)) {
      return kDbBad;
    }

    if (!hasDirectory || tableCount == 0) {
      if (CreateItemTables(&t) == 0) return kDbBad;
    } else {
      // The engine's directory holds at most the 41 tables.
      if (tableCount > static_cast<uint32_t>(kItemTableCount)) return kDbBad;
      auto* dir = static_cast<SummaryTableEntry*>(std::calloc(tableCount, sizeof(SummaryTableEntry)));
      if (dir == nullptr) return kDbBad;
      for (uint32_t i = 0; i < tableCount; ++i) InitTableDescriptor(&dir[i]);
      t.TopTablesPtr = dir;
      t.TopTablesCount = tableCount;
      for (uint32_t i = 0; i < tableCount; ++i) {
        const int result = ReadSummaryEntry(&dir[i], i);
        if (result != kDbLoaded) return result;
        if (ClientCancelled()) return kDbCancelled;
      }
      if (tableCount < static_cast<uint32_t>(kItemTableCount) && GrowItemTables(&t) == 0) return kDbBad;
    }
    if (!hasSessions) {
      if (CreateSessionTable(&t) == 0) return kDbBad;
    } else {
      auto* table = static_cast<SummaryTableEntry*>(std::calloc(1, sizeof(SummaryTableEntry)));
      if (table == nullptr) return kDbBad;
      InitTableDescriptor(table);
      t.TopUsersPtr = table;
      const int result = ReadSummaryEntry(table, kOdbcSessionTable);
      if (result != kDbLoaded) return result;
    }
    if (ClientCancelled()) return kDbCancelled;

    const char* format = "%B %d, %Y";
    if (context->options && context->options->texts[kIntlTexts + 3]) format = context->options->texts[kIntlTexts + 3];
    const time_t seconds = static_cast<time_t>(start_);
    struct tm fields {};
    gmtime_r(&seconds, &fields);
    IntlLocale storage;
    std::memset(t.Today, 0, sizeof t.Today);
    FormatIntlDateTime(t.Today, sizeof t.Today, format, &fields, ReportOptionsLocale(context->options, &storage));
    return kDbLoaded;
  }

 private:
  // The integer columns of a stored row.
  struct Numbers {
    SQLUINTEGER number[kMaxColumns];
    uint32_t Get(int table, const char* column) const {
      const int i = ColumnIndex(table, column);
      return i < 0 ? 0 : number[i];
    }
  };
  struct NameRow {
    Numbers numbers;
    double totalBytes;
    std::string name;
  };
  struct SearchRow {
    std::string text;
    uint32_t hits;
    uint32_t sessions;
  };
  struct IntervalKey {
    uint32_t type, order, dataType;
    bool operator==(const IntervalKey&) const = default;
  };
  struct IntervalKeyHash {
    size_t operator()(const IntervalKey& k) const {
      return std::hash<uint64_t>()((uint64_t{k.type} << 32 | k.order) * 31u + k.dataType);
    }
  };
  template <class Value>
  using IntervalRows = std::unordered_map<IntervalKey, std::vector<std::pair<uint32_t, Value>>, IntervalKeyHash>;

  // Runs "SELECT <columns> FROM <table> WHERE StartTime = <start>" and
  // hands every row to `take`; false on a driver error or when `take`
  // refused a row. The start time itself is not fetched again.
  template <class Take>
  bool SelectDay(int T, Take take) {
    SQLHSTMT s = pool_.statements[T];
    const TableDef& table = Table(T);
    std::string text = "SELECT ";
    for (int i = 1; i < table.columnCount; ++i) {
      if (i > 1) text += ", ";
      text += table.columns[i].name;
    }
    text += WhereStart(T, start_);
    row_.Clear();
    for (int i = 1; i < table.columnCount; ++i) {
      const int size = table.columns[i].textSize;
      const auto position = static_cast<SQLUSMALLINT>(i);
      // Integers are read back as the unsigned values they were sent as.
      SQLRETURN r = size == 0 ? g_odbc.fn.BindCol(s, position, SQL_C_ULONG, &row_.number[i], 0, &row_.indicator[i])
                              : g_odbc.fn.BindCol(s, position, SQL_C_CHAR, row_.text[i], size, &row_.indicator[i]);
      if (!OdbcSucceeded(ReportODBCError(r, "SQLBindCol", SQL_NULL_HDBC, s))) return false;
    }
    SQLRETURN r = g_odbc.fn.ExecDirect(s, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
    if (!OdbcSucceeded(ReportODBCError(r, "SQLExecDirect", c_->connection, s))) return false;
    bool ok = true;
    for (;;) {
      r = g_odbc.fn.Fetch(s);
      if (r == SQL_NO_DATA) break;
      ReportODBCError(r, "SQLFetch", c_->connection, s);
      if (!OdbcSucceeded(r)) {
        ok = false;
        break;
      }
      NormaliseRow(T, &row_);
      row_.number[0] = start_;
      if (!take(static_cast<const RowBuffer&>(row_))) {
        ok = false;
        break;
      }
    }
    g_odbc.fn.FreeStmt(s, SQL_CLOSE);
    return ok;
  }

  static Numbers NumbersOf(const RowBuffer& r) {
    Numbers n;
    std::memcpy(n.number, r.number, sizeof n.number);
    return n;
  }

  // Every other table's rows of the day.
  bool LoadDayRows() {
    if (!SelectDay(kOdbcSummary, [&](const RowBuffer& r) {
          summaries_.emplace(r.Get(kOdbcSummary, "SummaryTableType"), NumbersOf(r));
          return true;
        })) {
      return false;
    }
    if (!SelectDay(kOdbcName, [&](const RowBuffer& r) {
          const int T = kOdbcName;
          names_[r.Get(T, "SummaryTableType")].push_back(
              NameRow{NumbersOf(r), ParseOdbcDouble(r.GetText(T, "kvTotalBytes")), r.GetText(T, "kvString")});
          return true;
        })) {
      return false;
    }
    // The most numerous rows: their columns are looked up once, and the rows
    // of one array, which come one after the other, find it without a
    // lookup.
    {
      const int T = kOdbcDwordInterval;
      const int type = ColumnIndex(T, "SummaryTableType"), order = ColumnIndex(T, "kvArrayOrder"),
                dataType = ColumnIndex(T, "DataType"), number = ColumnIndex(T, "IntervalNumber"),
                value = ColumnIndex(T, "intervalValue");
      IntervalKey last{};
      std::vector<std::pair<uint32_t, uint32_t>>* rows = nullptr;
      if (!SelectDay(T, [&](const RowBuffer& r) {
            const IntervalKey key{r.number[type], r.number[order], r.number[dataType]};
            if (rows == nullptr || !(key == last)) {
              rows = &dwords_[key];
              last = key;
            }
            rows->emplace_back(r.number[number], r.number[value]);
            return true;
          })) {
        return false;
      }
    }
    if (!SelectDay(kOdbcDoubleInterval, [&](const RowBuffer& r) {
          const int T = kOdbcDoubleInterval;
          doubles_[IntervalKey{r.Get(T, "SummaryTableType"), r.Get(T, "kvArrayOrder"), r.Get(T, "DataType")}]
              .emplace_back(r.Get(T, "IntervalNumber"), ParseOdbcDouble(r.GetText(T, "intervalValue")));
          return true;
        })) {
      return false;
    }
    if (!SelectDay(kOdbcSortIndex, [&](const RowBuffer& r) {
          const int T = kOdbcSortIndex;
          sortIndex_[r.Get(T, "SummaryTableType")].emplace_back(r.Get(T, "kvArrayOrder"), r.Get(T, "SortIndex"));
          return true;
        })) {
      return false;
    }
    if (!SelectDay(kOdbcTopName, [&](const RowBuffer& r) {
          const int T = kOdbcTopName;
          topNames_[uint64_t{r.Get(T, "NameTableIndex")} << 32 | r.Get(T, "NameTableType")].push_back(
              r.Get(T, "TopNameValue"));
          return true;
        })) {
      return false;
    }
    if (!SelectDay(kOdbcSearchEngine, [&](const RowBuffer& r) {
          const int T = kOdbcSearchEngine;
          engines_[r.GetText(T, "Engine")].push_back(
              SearchRow{r.GetText(T, "Keyword"), r.Get(T, "kvHits"), r.Get(T, "kvSessions")});
          return true;
        })) {
      return false;
    }
    return SelectDay(kOdbcSearchKeyword, [&](const RowBuffer& r) {
      const int T = kOdbcSearchKeyword;
      keywords_[r.GetText(T, "Keyword")].push_back(
          SearchRow{r.GetText(T, "Engine"), r.Get(T, "kvHits"), r.Get(T, "kvSessions")});
      return true;
    });
  }

  // One per-slot array; false for an interval number beyond the slots.
  template <class Value>
  bool FillIntervals(const IntervalRows<Value>& rows, Value* values, uint32_t type, uint32_t order,
                     uint32_t dataType) {
    std::fill(values, values + kTimeSlots, Value{});
    const auto found = rows.find(IntervalKey{type, order, dataType});
    if (found == rows.end()) return true;
    for (const auto& [n, value] : found->second) {
      if (n >= static_cast<uint32_t>(kTimeSlots)) {
        kv::ui::MessageBox(0, "Illegal value for interval number.", kReadErrorCaption, kv::ui::MbOk);
        return false;
      }
      values[n] = value;
    }
    return true;
  }
  bool ReadIntervals(uint32_t* values, uint32_t type, uint32_t order, uint32_t dataType) {
    return FillIntervals(dwords_, values, type, order, dataType);
  }
  bool ReadDoubleIntervals(double* values, uint32_t type, uint32_t order, uint32_t dataType) {
    return FillIntervals(doubles_, values, type, order, dataType);
  }

  int ReadSummaryEntry(SummaryTableEntry* table, uint32_t type) {
    const int T = kOdbcSummary;
    const auto found = summaries_.find(type);
    if (found == summaries_.end()) return kDbBad;
    const Numbers& row = found->second;
    InitTableDescriptor(table);
    table->TopCount = row.Get(T, "TopCount");
    const uint32_t count = row.Get(T, "kvCount");
    const uint32_t deleted = UnmapLink(row.Get(T, "DeleteCount"));
    table->DeleteListHead = UnmapLink(row.Get(T, "DeleteListHead"));
    table->DateListHead = UnmapLink(row.Get(T, "DateListHead"));
    table->DateListTail = UnmapLink(row.Get(T, "DateListTail"));
    table->TopTableListHead = UnmapLink(row.Get(T, "TopTableListHead"));
    table->TopTableListTail = UnmapLink(row.Get(T, "TopTableListTail"));
    const uint32_t chunkSize = row.Get(T, "ChunkSize");
    const uint32_t sortIndexCount = row.Get(T, "SortIndexCount");

    const uint64_t n = uint64_t{count} + deleted;
    if (n > kMaxLoadedItems) return kDbBad;
    // Every item of a table is stored as a row of its own: counts that
    // claim more items than the day holds rows are damage, and memory is
    // never sized by them. This holds whatever the chunk size says: as
    // for period files, the stored chunk size is not trusted to tell
    // whether there are items (a table of chunk size 0 that counts items
    // has them read like any other), only how much room to leave.
    const bool hasItems = n != 0;
    const auto names = names_.find(type);
    const uint64_t stored = names == names_.end() ? 0 : names->second.size();
    if (hasItems && n > stored) return kDbBad;
    if (sortIndexCount == 0 && !hasItems) {
      // A table without items or a name index gets no arrays.
      table->ChunkSize = chunkSize;
      return kDbLoaded;
    }
    const uint64_t capacity = LoadCapacity(chunkSize, n);
    if (capacity == 0 || capacity > kMaxLoadedItems) return kDbBad;
    table->ChunkSize = static_cast<uint32_t>(capacity);
    table->SortIndex = static_cast<uint32_t*>(std::calloc(capacity, sizeof(uint32_t)));
    table->ItemBlock = static_cast<NameTableEntry**>(std::calloc(capacity, sizeof(NameTableEntry*)));
    table->Items = table->ItemBlock;
    if (table->SortIndex == nullptr || table->ItemBlock == nullptr) return kDbBad;
    table->Count = count;
    table->DeleteCount = deleted;
    table->SortIndexCount = sortIndexCount;

    if (sortIndexCount != 0 && count != 0 && !ReadSortIndex(table, type, count)) return kDbBad;
    if (!hasItems) return kDbLoaded;
    for (uint64_t i = 0; i < n; ++i) {
      auto* item = static_cast<NameTableEntry*>(std::calloc(1, sizeof(NameTableEntry)));
      if (item == nullptr) return kDbBad;
      item->SizeWord = kNameTableEntrySize;
      item->FormatWord = kRecordFormat;
      table->ItemBlock[i] = item;
    }
    return ReadNameEntries(table, type, static_cast<uint32_t>(n), names->second);
  }

  bool ReadSortIndex(SummaryTableEntry* table, uint32_t type, uint32_t count) {
    const auto found = sortIndex_.find(type);
    if (found == sortIndex_.end()) return true;
    if (found->second.size() > count) {
      kv::ui::MessageBox(0, "Actual sort index count is larger than expected count.", kReadErrorCaption,
                         kv::ui::MbOk);
      return false;
    }
    for (const auto& [order, index] : found->second) {
      // A position beyond the items would write past the index.
      if (order >= count) return false;
      table->SortIndex[order] = index;
    }
    return true;
  }

  int ReadNameEntries(SummaryTableEntry* table, uint32_t type, uint32_t expected, const std::vector<NameRow>& rows) {
    const int T = kOdbcName;
    if (rows.size() > expected) {
      kv::ui::MessageBox(0, "Actual name table count is larger than expected count.", kReadErrorCaption,
                         kv::ui::MbOk);
      return kDbBad;
    }
    std::vector<uint32_t> detailCounts(expected, 0);
    for (const NameRow& stored : rows) {
      const Numbers& row = stored.numbers;
      const uint32_t order = row.Get(T, "kvArrayOrder");
      if (order >= expected) return kDbBad;
      NameTableEntry* item = table->ItemBlock[order];
      std::free(item->String);
      item->String = nullptr;
      item->Overflow = row.Get(T, "kvOverflow");
      item->TopFlag = row.Get(T, "kvTopFlag");
      item->Deleted = row.Get(T, "kvDeleted");
      item->PrevLink = UnmapLink(row.Get(T, "kvPrevLink"));
      item->NextLink = UnmapLink(row.Get(T, "kvNextLink"));
      item->LastDateTime = UnmapLink(row.Get(T, "kvLastDateTime"));
      item->OriginalIndex = row.Get(T, "kvOriginalIndex");
      item->TotalByHits = row.Get(T, "kvTotalByHits");
      item->TotalByUsers = row.Get(T, "kvTotalByUsers");
      item->NonCachedTotalByHits = row.Get(T, "kvNonCachedTotalByHits");
      item->TotalBytes = stored.totalBytes;
      item->LastPageWasForm = row.Get(T, "kvLastPageWasForm");
      item->LastPageTime = row.Get(T, "kvLastPageTime");
      item->LastPageEntryItem = row.Get(T, "kvLastPageEntryItem");
      item->TimeOnPages = row.Get(T, "kvTimeOnPages");
      item->TimeOnPagesCount = row.Get(T, "kvTimeOnPagesCount");
      // The details are read below; until then the item holds none.
      item->TopNames = nullptr;
      item->TopNamesCount = 0;
      detailCounts[order] = row.Get(T, "kvTopNamesCount");
      item->Banned = row.Get(T, "kvBanned");
      if (!stored.name.empty()) {
        item->String = strdup(stored.name.c_str());
        if (item->String == nullptr) return kDbBad;
      }
    }
    const auto count = static_cast<uint32_t>(rows.size());
    for (uint32_t i = 0; i < count; ++i) {
      NameTableEntry* item = table->ItemBlock[i];
      if (!ReadIntervals(item->SlotHits, type, i, kOdbcItemSlotHits)) return kDbBad;
      if (!ReadIntervals(item->SlotUsers, type, i, kOdbcItemSlotUsers)) return kDbBad;
      const uint32_t details = detailCounts[i];
      if (details == 0) continue;
      if (type == kTopSearchEngines || type == kTopSearchKeywords) {
        const int r = ReadSearchDetails(item, type, details);
        if (r != kDbLoaded) return r;
      } else {
        // A visit keeps its twelve related-item lists.
        if (details > kTopNameListCount) return kDbBad;
        auto* lists = static_cast<TopNameList*>(std::calloc(kTopNameListCount, sizeof(TopNameList)));
        if (lists == nullptr) return kDbBad;
        for (uint32_t j = 0; j < kTopNameListCount; ++j) {
          lists[j].size = kTopNameListSize;
          lists[j].format = kRecordFormat;
        }
        item->TopNames = lists;
        item->TopNamesCount = details;
        for (uint32_t j = 0; j < details; ++j) {
          if (!ReadTopNameGroup(&lists[j], i, j)) return kDbBad;
        }
        if (ClientCancelled()) return kDbCancelled;
      }
    }
    return kDbLoaded;
  }

  bool ReadTopNameGroup(TopNameList* list, uint32_t index, uint32_t group) {
    const auto found = topNames_.find(uint64_t{index} << 32 | group);
    if (found == topNames_.end()) return true;
    const std::vector<uint32_t>& values = found->second;
    // A list counts at most 0xFFFF entries.
    if (values.size() > 0xFFFF) return false;
    const size_t n = values.size();
    if (n == 0) return true;
    if (group == kListTrail) {
      list->trail = static_cast<uint32_t*>(std::malloc(n * sizeof(uint32_t)));
      if (list->trail == nullptr) return false;
      std::copy(values.begin(), values.end(), list->trail);
    } else {
      list->values = static_cast<uint16_t*>(std::malloc(n * sizeof(uint16_t)));
      if (list->values == nullptr) return false;
      for (size_t e = 0; e < n; ++e) list->values[e] = static_cast<uint16_t>(values[e]);
    }
    list->count = static_cast<uint16_t>(n);
    return true;
  }

  // An engine item (table 40) reads its keywords from the engine rows; a
  // keyword item (table 39) its engines from the keyword rows.
  int ReadSearchDetails(NameTableEntry* item, uint32_t type, uint32_t wanted) {
    if (item->String == nullptr) return kDbBad;
    const bool engineItem = type == kTopSearchEngines;
    const int T = engineItem ? kOdbcSearchEngine : kOdbcSearchKeyword;
    // The key as a keyed query sends it: cut to the column's size.
    const size_t size = static_cast<size_t>(Table(T).columns[ColumnIndex(T, engineItem ? "Engine" : "Keyword")].textSize);
    const std::string key(item->String, strnlen(item->String, size - 1));
    const auto& groups = engineItem ? engines_ : keywords_;
    const auto found = groups.find(key);
    // The stored count is not trusted for memory: the list holds the rows
    // actually stored, and fewer rows than the item counted are damage.
    if (found == groups.end() || found->second.size() < wanted) return kDbBad;
    if (ClientCancelled()) return kDbCancelled;
    auto* list = static_cast<SearchDetailEntry**>(std::calloc(wanted, sizeof(SearchDetailEntry*)));
    if (list == nullptr) return kDbBad;
    for (uint32_t i = 0; i < wanted; ++i) {
      const SearchRow& stored = found->second[i];
      auto* d = static_cast<SearchDetailEntry*>(std::calloc(1, sizeof(SearchDetailEntry)));
      if (d != nullptr) {
        list[i] = d;
        d->hits = stored.hits;
        d->visits = stored.sessions;
        d->text = strdup(stored.text.c_str());
      }
      if (d == nullptr || d->text == nullptr) {
        for (uint32_t k = 0; k <= i; ++k) {
          if (list[k] != nullptr) std::free(list[k]->text);
          std::free(list[k]);
        }
        std::free(list);
        return kDbBad;
      }
    }
    std::stable_sort(list, list + wanted,
                     [](const SearchDetailEntry* a, const SearchDetailEntry* b) { return a->hits > b->hits; });
    item->TopNames = list;
    item->TopNamesCount = wanted;
    return kDbLoaded;
  }

  OdbcConnection* c_;
  uint32_t start_;
  StatementPool pool_;
  RowBuffer row_;
  std::unordered_map<uint32_t, Numbers> summaries_;
  std::unordered_map<uint32_t, std::vector<NameRow>> names_;
  IntervalRows<uint32_t> dwords_;
  IntervalRows<double> doubles_;
  std::unordered_map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>> sortIndex_;
  std::unordered_map<uint64_t, std::vector<uint32_t>> topNames_;
  std::unordered_map<std::string, std::vector<SearchRow>> engines_;
  std::unordered_map<std::string, std::vector<SearchRow>> keywords_;
};

}  // namespace

int LoadDayFromODBC(RealtimeStore* store, AnalysisContext* context, const MasterRecord* record) {
  OdbcConnection* c = ConnectionOf(store);
  if (c == nullptr || c->connection == SQL_NULL_HDBC || context == nullptr || record == nullptr ||
      g_odbc.module == nullptr) {
    return kDbBad;
  }
  auto reader = std::make_unique<DayReader>(c, record->start);
  if (!reader->Prepare()) return kDbBad;
  return reader->ReadTemplate(context);
}

// ---- deleting --------------------------------------------------------------------------------------

int DeleteDayRows(OdbcConnection* connection, uint32_t startTime) {
  if (connection == nullptr) return 0;
  StatementPool pool;
  if (!AllocPool(connection->connection, &pool)) return 0;
  static const int kOrder[kOdbcTableCount] = {kOdbcMaster,    kOdbcTemplate,       kOdbcSummary,
                                               kOdbcName,      kOdbcTopName,        kOdbcSortIndex,
                                               kOdbcDwordInterval, kOdbcDoubleInterval, kOdbcSearchEngine,
                                               kOdbcSearchKeyword};
  bool ok = true;
  for (int t : kOrder) {
    const std::string text = "DELETE" + WhereStart(t, startTime);
    SQLRETURN r = g_odbc.fn.ExecDirect(pool.statements[t], reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())),
                                       SQL_NTS);
    ReportODBCError(r, "SQLExecDirect", connection->connection, pool.statements[t]);
    // A delete that finds no row is no failure. After a failure nothing
    // more is sent: the database may have ended the transaction itself (a
    // full disk), and what followed would be committed statement by
    // statement.
    if (!OdbcSucceeded(r) && r != SQL_NO_DATA) {
      ok = false;
      break;
    }
  }
  FreePool(&pool);
  return ok ? 1 : 0;
}

// ---- master rows -----------------------------------------------------------------------------------

namespace {

bool AppendStartTime(OdbcConnection* c, uint32_t value) {
  if (c->startTimes == nullptr || c->count + 1 >= c->capacity) {
    const uint32_t capacity = c->startTimes == nullptr ? 256 : c->capacity + 256;
    auto* grown = static_cast<uint32_t*>(std::realloc(c->startTimes, capacity * sizeof(uint32_t)));
    if (grown == nullptr) return false;
    c->startTimes = grown;
    c->capacity = capacity;
  }
  c->startTimes[c->count++] = value;
  return true;
}

void FreeStartTimes(OdbcConnection* c) {
  std::free(c->startTimes);
  c->startTimes = nullptr;
  c->capacity = c->count = c->position = 0;
}

bool InsertMaster(OdbcConnection* c, SQLHSTMT statement, RowBuffer* row, uint32_t start, uint32_t end,
                  uint32_t current) {
  const int T = kOdbcMaster;
  char name[64] = "";
  DayName(start, name, sizeof name);
  row->Set(T, "StartTime", start);
  row->Set(T, "EndTime", end);
  row->Set(T, "CurrentTime", current);
  row->SetText(T, "Today", name);
  SQLRETURN r = g_odbc.fn.Execute(statement);
  ReportODBCError(r, "SQLExecute", c->connection, statement);
  return OdbcSucceeded(r);
}

bool FatalWithoutConnection(RealtimeStore* store, const char* operation) {
  if (store == nullptr) {
    const std::string text = std::string("Calling ") + operation + " with no DB connection";
    kv::ui::MessageBox(0, text.c_str(), "Fatal Error", kv::ui::MbOk);
    return true;
  }
  if (ConnectionOf(store) == nullptr) {
    const std::string text = std::string("Calling ") + operation + " with no ODBC connection";
    kv::ui::MessageBox(0, text.c_str(), "Fatal Error", kv::ui::MbOk);
    return true;
  }
  return false;
}

}  // namespace

int LoadMasterTimes(RealtimeStore* store) {
  OdbcConnection* c = ConnectionOf(store);
  if (c == nullptr || c->connection == SQL_NULL_HDBC || g_odbc.module == nullptr) return 0;
  FreeStartTimes(c);
  SQLHSTMT s = SQL_NULL_HSTMT;
  if (!OdbcSucceeded(ReportODBCError(g_odbc.fn.AllocStmt(c->connection, &s), "SQLAllocStmt", c->connection,
                                     SQL_NULL_HSTMT))) {
    return 0;
  }
  char text[160];
  std::snprintf(text, sizeof text, "SELECT %s FROM %s ORDER BY %s ASC", "StartTime", "KVLogMasterTable",
                "StartTime");
  SQLUINTEGER value = 0;
  SQLLEN indicator = 0;
  bool ok = OdbcSucceeded(ReportODBCError(g_odbc.fn.ExecDirect(s, reinterpret_cast<SQLCHAR*>(text), SQL_NTS),
                                          "SQLExecDirect", c->connection, s)) &&
            OdbcSucceeded(ReportODBCError(g_odbc.fn.BindCol(s, 1, SQL_C_ULONG, &value, 0, &indicator),
                                          "SQLBindCol", c->connection, s));
  while (ok) {
    SQLRETURN r = g_odbc.fn.Fetch(s);
    if (r == SQL_NO_DATA) break;
    if (!OdbcSucceeded(ReportODBCError(r, "SQLFetch", c->connection, s))) {
      ok = false;
      break;
    }
    if (indicator == SQL_NULL_DATA) continue;
    ok = AppendStartTime(c, value);
  }
  g_odbc.fn.FreeStmt(s, SQL_DROP);
  c->position = 0;
  return ok ? 1 : 0;
}

int AddMasterRows(RealtimeStore* store, uint32_t spanStart, uint32_t spanEnd) {
  OdbcConnection* c = ConnectionOf(store);
  if (c == nullptr || c->connection == SQL_NULL_HDBC || g_odbc.module == nullptr) return 0;
  SQLHSTMT s = SQL_NULL_HSTMT;
  if (!OdbcSucceeded(ReportODBCError(g_odbc.fn.AllocStmt(c->connection, &s), "SQLAllocStmt", c->connection,
                                     SQL_NULL_HSTMT))) {
    return 0;
  }
  auto row = std::make_unique<RowBuffer>();
  row->Clear();
  const std::string text = InsertText(kOdbcMaster);
  bool ok = OdbcSucceeded(ReportODBCError(
                g_odbc.fn.Prepare(s, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())), SQL_NTS),
                "SQLPrepare", c->connection, s)) &&
            BindInsertParameters(s, kOdbcMaster, row.get());
  // Writes day rows from t while `more(last end)` holds, the last end
  // starting at 0. A day that does not move on ends the loop.
  auto writeDays = [&](uint32_t t, auto more) {
    uint32_t end = 0;
    while (ok && more(end)) {
      const uint32_t start = GetIntervalStart(0, t);
      const uint32_t dayEnd = GetIntervalEnd(0, start);
      ok = InsertMaster(c, s, row.get(), start, dayEnd, 0);
      const uint32_t next = GetNextIntervalStart(0, dayEnd);
      if (!ok || next <= t || dayEnd < end) break;
      end = dayEnd;
      t = next;
    }
  };
  if (ok) {
    auto belowEnd = [&](uint32_t end) { return end < spanEnd; };
    if (c->count == 0) {
      writeDays(spanStart, belowEnd);
    } else {
      const uint32_t first = c->startTimes[0];
      if (spanStart < first) writeDays(spanStart, [&](uint32_t end) { return uint64_t{end} + 1 < first; });
      const uint32_t lastEnd = GetIntervalEnd(0, c->startTimes[c->count - 1]);
      if (lastEnd < spanEnd) writeDays(GetNextIntervalStart(0, lastEnd), belowEnd);
    }
  }
  g_odbc.fn.FreeStmt(s, SQL_DROP);
  return ok ? 1 : 0;
}

int ExtendMasterRows(RealtimeStore* store, uint32_t spanStart, uint32_t spanEnd, int create) {
  if (!LoadMasterTimes(store)) return 0;
  if (!create) return 1;
  OdbcConnection* c = ConnectionOf(store);
  const bool needed = (c->count == 0 && spanStart != 0 && spanEnd != 0) ||
                      (c->count != 0 && (spanStart < c->startTimes[0] ||
                                         uint64_t{c->startTimes[c->count - 1]} + kSecondsPerDay <= spanEnd));
  if (!needed) return 1;
  const int added = AddMasterRows(store, spanStart, spanEnd);
  if (!LoadMasterTimes(store)) return 0;
  return added;
}

int ReadNextODBCEntry(RealtimeStore* store, MasterRecord* record) {
  OdbcConnection* c = ConnectionOf(store);
  if (c == nullptr || record == nullptr || c->position >= c->count || g_odbc.module == nullptr) return 0;
  const uint32_t start = c->startTimes[c->position];
  SQLHSTMT s = SQL_NULL_HSTMT;
  if (OdbcSucceeded(ReportODBCError(g_odbc.fn.AllocStmt(c->connection, &s), "SQLAllocStmt", c->connection,
                                    SQL_NULL_HSTMT))) {
    auto row = std::make_unique<RowBuffer>();
    row->Clear();
    const std::string text = "SELECT *" + WhereStart(kOdbcMaster, start);
    if (BindResultColumns(s, kOdbcMaster, row.get()) &&
        OdbcSucceeded(ReportODBCError(
            g_odbc.fn.ExecDirect(s, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())), SQL_NTS),
            "SQLExecDirect", c->connection, s))) {
      SQLRETURN r = g_odbc.fn.Fetch(s);
      if (OdbcSucceeded(r)) {
        NormaliseRow(kOdbcMaster, row.get());
        std::memset(record, 0, sizeof *record);
        record->start = row->Get(kOdbcMaster, "StartTime");
        record->end = row->Get(kOdbcMaster, "EndTime");
        record->lastAdded = row->Get(kOdbcMaster, "CurrentTime");
      } else if (r != SQL_NO_DATA) {
        ReportODBCError(r, "SQLFetch", c->connection, s);
      }
    }
    g_odbc.fn.FreeStmt(s, SQL_DROP);
  }
  ++c->position;
  return 1;
}

void SetODBCEntryPointer(RealtimeStore* store, uint32_t position) {
  if (FatalWithoutConnection(store, "SetODBCEntryPointer")) return;
  ConnectionOf(store)->position = position;
}

int RewriteLastODBCEntry(RealtimeStore* store, const MasterRecord* record) {
  if (FatalWithoutConnection(store, "RewriteLastODBCEntry")) return 0;
  OdbcConnection* c = ConnectionOf(store);
  if (record == nullptr || c->connection == SQL_NULL_HDBC || g_odbc.module == nullptr) return 0;
  // The row is replaced in one transaction, so that a failed insert leaves
  // the old row.
  const bool transaction =
      OdbcSucceeded(g_odbc.fn.SetConnectOption(c->connection, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF));
  SQLHSTMT s = SQL_NULL_HSTMT;
  bool ok = false;
  if (OdbcSucceeded(ReportODBCError(g_odbc.fn.AllocStmt(c->connection, &s), "SQLAllocStmt", c->connection,
                                    SQL_NULL_HSTMT))) {
    const std::string text = "DELETE" + WhereStart(kOdbcMaster, record->start);
    const SQLRETURN r = ReportODBCError(
        g_odbc.fn.ExecDirect(s, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())), SQL_NTS),
        "SQLExecDirect", c->connection, s);
    ok = OdbcSucceeded(r) || r == SQL_NO_DATA;
    g_odbc.fn.FreeStmt(s, SQL_DROP);
    s = SQL_NULL_HSTMT;
  }
  if (ok && !OdbcSucceeded(ReportODBCError(g_odbc.fn.AllocStmt(c->connection, &s), "SQLAllocStmt", c->connection,
                                           SQL_NULL_HSTMT))) {
    ok = false;
  }
  if (ok) {
    auto row = std::make_unique<RowBuffer>();
    row->Clear();
    const std::string text = InsertText(kOdbcMaster);
    ok = OdbcSucceeded(ReportODBCError(
             g_odbc.fn.Prepare(s, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())), SQL_NTS),
             "SQLPrepare", c->connection, s)) &&
         BindInsertParameters(s, kOdbcMaster, row.get()) &&
         InsertMaster(c, s, row.get(), record->start, record->end, record->lastAdded);
    g_odbc.fn.FreeStmt(s, SQL_DROP);
  }
  if (transaction && !EndTransaction(store, ok)) ok = false;
  uint32_t i = 0;
  while (i < c->count && c->startTimes[i] != record->start) ++i;
  if (i < c->count) {
    c->position = i + 1;
  } else {
    LoadMasterTimes(store);
  }
  return ok ? 1 : 0;
}

void ResetToLastODBCEntry(RealtimeStore* store) {
  if (FatalWithoutConnection(store, "ResetToLastODBCEntry")) return;
  OdbcConnection* c = ConnectionOf(store);
  if (c->position > 0) --c->position;
}

void DisconnectFromODBCDatabase(RealtimeStore* store) {
  OdbcConnection* c = ConnectionOf(store);
  if (c == nullptr) return;
  if (c->connection != SQL_NULL_HDBC && g_odbc.module != nullptr) {
    g_odbc.fn.Disconnect(c->connection);
    g_odbc.fn.FreeConnect(c->connection);
  }
  if (store->profile != nullptr && store->profile->ODBCConnection == c->connection) {
    store->profile->ODBCConnection = nullptr;
  }
  FreeStartTimes(c);
  delete c;
  store->odbc = nullptr;
}

}  // namespace vrn

VORNIC_API void VRN_DeleteODBCDatabase(DravelEntry* profile) {
  using namespace vrn;
  if (profile == nullptr || profile->RealtimeAnalysis == 0 || profile->PellavarFlag != kStoreOdbc) return;
  DropODBCTables(profile);
}

namespace vrn {

int DropODBCTables(DravelEntry* profile) {
  if (profile == nullptr || profile->PellavarFlag != kStoreOdbc) return 0;
  // As opening a store does: the open one is closed first, so that none of
  // its statements holds the tables.
  CloseRealtimeStore();
  RealtimeStore store{};
  store.kind = kStoreOdbc;
  store.master = KV_INVALID_FILE;
  store.profile = profile;
  if (!ConnectToODBCDatabase(&store)) return 0;
  OdbcConnection* c = static_cast<OdbcConnection*>(store.odbc);
  for (int t = 0; t < kOdbcTableCount; ++t) {
    SQLHSTMT s = SQL_NULL_HSTMT;
    if (!OdbcSucceeded(g_odbc.fn.AllocStmt(c->connection, &s))) continue;
    const std::string text = std::string("DROP TABLE ") + OdbcTableName(t);
    g_odbc.fn.ExecDirect(s, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())), SQL_NTS);
    g_odbc.fn.FreeStmt(s, SQL_DROP);
  }
  // Deleted when the list of days can no longer be read.
  bool gone = false;
  SQLHSTMT s = SQL_NULL_HSTMT;
  if (OdbcSucceeded(g_odbc.fn.AllocStmt(c->connection, &s))) {
    std::string text = std::string("SELECT 1 FROM ") + OdbcTableName(0);
    gone = !OdbcSucceeded(g_odbc.fn.ExecDirect(s, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS));
    g_odbc.fn.FreeStmt(s, SQL_DROP);
  }
  DisconnectFromODBCDatabase(&store);
  return gone ? 1 : 0;
}

}  // namespace vrn
