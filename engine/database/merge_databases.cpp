// Merging day databases into the report database of a range.
#include "engine/database/merge_databases.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>

#include "engine/core/engine_state.h"
#include "engine/core/report_run.h"
#include "engine/core/search_keywords.h"
#include "engine/database/finishing.h"
#include "engine/database/item_tables.h"
#include "engine/database/table_accessors.h"

namespace vrn {

namespace {

constexpr uint32_t kHour = 3600;
constexpr uint32_t kDay = 86400;
constexpr uint32_t kDaySlots = 24;

// Where B's slots go in A for one day.
struct SlotMap {
  const AnalysisContext* a;
  uint32_t dayIndex;
  uint32_t firstMerged;  // first of B's slots merged
  uint32_t firstSlot;    // B's slots before A's range start
  uint32_t dayStart;
  uint32_t hoursPerSlot;

  uint32_t SlotInA(uint32_t s) const {
    const MonthSlotState& months = MonthSlots();
    if (months.twelveMonths) return GetMonthSlot(dayStart);
    if (months.twentyFourMonths) return GetTwoYearMonthSlot(dayStart);
    if (UsesCalendarMonths(a)) return CalendarMonthSlot(a, dayStart);
    const uint32_t shifted = s - firstMerged;
    if (a->secondsPerSlot == kHour) return dayIndex == 0 ? shifted : shifted + kDaySlots - firstSlot;
    uint32_t d = hoursPerSlot / 24;
    if (d == 0) d = 1;
    return dayIndex / d;
  }
};

NameTableEntry** SlotArray(const SummaryTableEntry* table) {
  return table->Items ? table->Items : table->ItemBlock;
}

uint32_t SlotCount(const SummaryTableEntry* table) {
  if (!SlotArray(table)) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{table->Count} + table->DeleteCount, table->ChunkSize));
}

void MergeItem(NameTableEntry* to, const NameTableEntry* from, const SlotMap& map) {
  for (uint32_t s = map.firstMerged; s < kDaySlots; ++s) {
    const uint32_t a = map.SlotInA(s);
    if (a >= map.a->slotCount || a >= static_cast<uint32_t>(kTimeSlots)) break;
    to->SlotHits[a] += from->SlotHits[s];
    to->SlotUsers[a] += from->SlotUsers[s];
  }
  to->TotalByHits += from->TotalByHits;
  to->TotalByUsers += from->TotalByUsers;
  to->TimeOnPages += from->TimeOnPages;
  to->TimeOnPagesCount += from->TimeOnPagesCount;
  to->NonCachedTotalByHits += from->NonCachedTotalByHits;
  to->TotalBytes += from->TotalBytes;
}

void MergeSearchDetails(NameTableEntry* to, const NameTableEntry* from, uint32_t table) {
  if (!from->TopNames || from->TopNamesCount == 0) return;
  SearchDetailEntry** details = from->Details();
  const SearchItemRef ref{to->String, &to->TopNamesCount, &to->TopNames};
  for (uint32_t d = 0; d < from->TopNamesCount; ++d) {
    const SearchDetailEntry* e = details[d];
    if (!e || !e->text) continue;
    SearchDetail* found =
        table == kTopSearchKeywords ? FindSearchKeywordItem(ref, e->text) : FindSearchEngineItem(ref, e->text);
    if (!found) continue;
    found->hits += e->hits;
    found->visits += e->visits;
  }
}

// Merges B's items by name into A's table. With `skipOverflow` B's
// overflow item ("Others", item 0 of an expiring table) is not merged; a
// real item 0 is.
void MergeByName(SummaryTableEntry* to, const SummaryTableEntry* from, uint32_t table, bool skipOverflow,
                 bool skipDeleted, const SlotMap& map) {
  NameTableEntry** items = SlotArray(from);
  const uint32_t n = SlotCount(from);
  for (uint32_t i = 0; i < n; ++i) {
    const NameTableEntry* item = items[i];
    if (!item || !item->String) continue;
    if (skipOverflow && i == 0 && item->Overflow != 0) continue;
    if (skipDeleted && item->Deleted) continue;
    const uint32_t added = AddNameToTable(to, item->String);
    if (added == 0) return;
    NameTableEntry* target = to->ItemBlock[added - 1];
    MergeItem(target, item, map);
    if (table == kTopSearchKeywords || table == kTopSearchEngines) MergeSearchDetails(target, item, table);
  }
}

void SwitchSectionOff(uint32_t table) {
  SectionTableEntry& entry = GetSectionTable()[table];
  entry.used = 0;
  entry.empty = 1;
}

std::string FoldedName(const char* name) {
  std::string key(name);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return key;
}

// Item number in B -> item number in A of the page of the same name.
std::unordered_map<uint32_t, uint32_t> MatchPages(const SummaryTableEntry* a, const SummaryTableEntry* b) {
  std::unordered_map<uint32_t, uint32_t> map;
  std::unordered_map<std::string, uint32_t> firstInA;
  NameTableEntry** aItems = SlotArray(a);
  const uint32_t na = SlotCount(a);
  for (uint32_t j = 0; j < na; ++j) {
    if (aItems[j] && aItems[j]->String) firstInA.emplace(FoldedName(aItems[j]->String), j);
  }
  NameTableEntry** bItems = SlotArray(b);
  const uint32_t nb = SlotCount(b);
  for (uint32_t i = 0; i < nb; ++i) {
    if (!bItems[i] || !bItems[i]->String) continue;
    auto it = firstInA.find(FoldedName(bItems[i]->String));
    if (it != firstInA.end()) map.emplace(i, it->second);
  }
  return map;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Rewrites the page numbers of B's visit paths from B's item numbers to A's.
// A field holds the page's table in its high 16 bits (1 = forms, 0 =
// documents) and its item number in the low 16 bits; only fields of the
// matching table are rewritten, and the table bits are kept.
void RenumberPaths(const AnalysisContext* a, const AnalysisContext* b) {
  const TemplateRecord& ta = a->templ;
  const TemplateRecord& tb = b->templ;
  const auto docs = MatchPages(&ta.TopTablesPtr[kTopDocuments], &tb.TopTablesPtr[kTopDocuments]);
  const auto forms = MatchPages(&ta.TopTablesPtr[kTopForms], &tb.TopTablesPtr[kTopForms]);
  SummaryTableEntry* paths = &tb.TopTablesPtr[kTopPaths];
  NameTableEntry** items = SlotArray(paths);
  const uint32_t n = SlotCount(paths);
  for (uint32_t i = 0; i < n; ++i) {
    if (!items[i] || !items[i]->String) continue;
    char* text = items[i]->String;
    const size_t fields = std::strlen(text) / 8;
    for (size_t f = 0; f < fields; ++f) {
      char* field = text + 8 * f;
      uint32_t value = 0;
      bool hex = true;
      for (int k = 0; k < 8 && hex; ++k) {
        const int digit = HexDigit(field[k]);
        hex = digit >= 0;
        value = (value << 4) | static_cast<uint32_t>(digit < 0 ? 0 : digit);
      }
      if (!hex) continue;
      const uint32_t kind = value >> 16;
      const auto& map = kind == 1 ? forms : docs;
      if (kind > 1) continue;
      auto it = map.find(value & 0xFFFFu);
      if (it == map.end() || it->second > 0xFFFFu) continue;
      char buffer[9];
      std::snprintf(buffer, sizeof buffer, "%08x", (kind << 16) | it->second);
      std::memcpy(field, buffer, 8);
    }
  }
}

}  // namespace

void CountSlotsBeforeStart(const AnalysisContext* a, const AnalysisContext* b, uint32_t* count) {
  if (!count) return;
  *count = kDaySlots;
  if (!a || !b) return;
  // Whole B slots that end at or before A's origin: the B slot that holds
  // A's origin is the first one merged, and it lands in A's slot 0.
  for (uint32_t n = 0; n < kDaySlots; ++n) {
    if (uint64_t{a->slotOrigin} < uint64_t{b->slotOrigin} + uint64_t{n + 1} * b->secondsPerSlot) {
      *count = n;
      return;
    }
  }
}

void SetMergedRangeSlotsFor(AnalysisContext* context, uint32_t startTime, uint32_t endTime) {
  if (!context) return;
  uint64_t start = startTime;
  uint64_t end = std::max(startTime, endTime);
  const uint64_t span = end - start + 1;
  if (span > kDay) {
    start -= start % kDay;
    // The range ends with the last second of its last day.
    if ((end + 1) % kDay != 0) end = (end / kDay + 1) * kDay - 1;
    if (end > 0xFFFFFFFFu) end = 0xFFFFFFFFu;
    if (span <= 1209600) {
      context->secondsPerSlot = kDay;
      context->intervalScaleIndex = span <= 604800 ? 9 : 10;
      context->slotCount = static_cast<uint16_t>((end - start + 1) / kDay);
    } else {
      ChooseGraphIntervalFor(context, static_cast<uint32_t>(start), static_cast<uint32_t>(end));
    }
  } else {
    start -= start % kHour;
    if ((end + 1) % kHour != 0) end = (end / kHour + 1) * kHour - 1;
    if (end > 0xFFFFFFFFu) end = 0xFFFFFFFFu;
    context->secondsPerSlot = kHour;
    context->intervalScaleIndex = 8;
    context->slotCount = static_cast<uint16_t>((end - start + 1) / kHour);
  }
  if (context->slotCount > kTimeSlots) context->slotCount = kTimeSlots;
  context->reportStart = static_cast<uint32_t>(start);
  context->slotOrigin = static_cast<uint32_t>(start);
  context->reportEnd = static_cast<uint32_t>(end);
}

void SetMergedRangeSlots(ReportHandle* run) {
  if (!run) return;
  SetMergedRangeSlotsFor(RunContext(run), run->startTime, run->endTime);
}

void EnableAllSections() {
  SectionTableEntry* sections = GetSectionTable();
  for (int i = 0; i < kItemTableCount; ++i) sections[i].used = 1;
}

void SetMergedSectionFlagsFor(const AnalysisContext* context) {
  SectionTableEntry* sections = GetSectionTable();
  for (int i = 0; i < kItemTableCount; ++i) {
    sections[i].used = 1;
    sections[i].empty = 0;
  }
  if (!context || !context->templ.TopTablesPtr) return;
  const uint32_t cutoff = BigTableCutoff();
  const uint32_t count = std::min<uint32_t>(context->templ.TopTablesCount, kItemTableCount);
  for (uint32_t t = 0; t < count; ++t) {
    const uint32_t items = context->templ.TopTablesPtr[t].Count;
    const bool big = (t == kTopCompanies || t == kTopUsers || t == kTopPaths) && items > cutoff;
    const bool single = (t == kTopReferers || t == kTopBrowsers || t == kTopPlatforms || t == kTopReferingSites) &&
                        items == 1;
    if (big || single || items == 0) SwitchSectionOff(t);
  }
}

void SetMergedSectionFlags(ReportHandle* run) { SetMergedSectionFlagsFor(RunContext(run)); }

int MergeReportDatabases(ReportHandle* ra, ReportHandle* rb, uint32_t dayIndex, uint32_t progressFrom,
                         uint32_t progressTo, int partialFirstDay, uint32_t /*reserved*/, uint32_t firstSlot,
                         uint32_t dayStartTime) {
  AnalysisContext* a = RunContext(ra);
  AnalysisContext* b = RunContext(rb);
  if (!a || !b) return 0;
  TemplateRecord& ta = a->templ;
  TemplateRecord& tb = b->templ;

  SlotMap map{};
  map.a = a;
  map.dayIndex = dayIndex;
  map.firstSlot = std::min(firstSlot, kDaySlots);
  map.firstMerged = partialFirstDay ? map.firstSlot : 0;
  map.dayStart = dayStartTime;
  // Hours per slot; a slot length that is not a whole number of hours is
  // raised to one.
  const uint32_t hours = (a->secondsPerSlot + kHour - 1) / kHour;
  if (uint64_t{hours} * kHour != a->secondsPerSlot) a->secondsPerSlot = hours * kHour;
  map.hoursPerSlot = hours;

  // B's open visits end here.
  if (tb.TopUsersPtr) PostOpenVisits(b);

  // Day statistics.
  auto label = [](char (&to)[60], const char (&from)[60]) {
    std::memcpy(to, from, sizeof to);
    to[sizeof to - 1] = 0;
  };
  if (tb.TodaysHits > ta.MostHits) {
    ta.MostHits = tb.TodaysHits;
    label(ta.MostHitsDay, tb.Today);
  }
  if (tb.TodaysHits != 0 && tb.TodaysHits < ta.FewestHits) {
    ta.FewestHits = tb.TodaysHits;
    label(ta.FewestHitsDay, tb.Today);
  }
  if (tb.TodaysUsers > ta.MostUsers) {
    ta.MostUsers = tb.TodaysUsers;
    label(ta.MostUsersDay, tb.Today);
  }
  if (tb.TodaysUsers != 0 && tb.TodaysUsers < ta.FewestUsers) {
    ta.FewestUsers = tb.TodaysUsers;
    label(ta.FewestUsersDay, tb.Today);
  }
  if (tb.TodayDateTime != 0) {
    ++ta.ClosedDays;
    const int weekday = static_cast<int>((tb.TodayDateTime / kDay + 4) % 7);  // 1 Jan 1970 was a Thursday
    if (weekday == 0 || weekday == 6) {
      ++ta.WeekendCount;
      ta.WeekendHits += tb.TodaysHits;
      ta.WeekendUsers += tb.TodaysUsers;
    } else {
      ++ta.WeekdayCount;
      ta.WeekdayHits += tb.TodaysHits;
      ta.WeekdayUsers += tb.TodaysUsers;
    }
  }

  // Per-slot counters.
  for (uint32_t s = map.firstMerged; s < kDaySlots; ++s) {
    const uint32_t slot = map.SlotInA(s);
    if (slot >= a->slotCount || slot >= static_cast<uint32_t>(kTimeSlots)) break;
    ta.SlotUsers[slot] += tb.SlotUsers[s];
    ta.SlotDomestic[slot] += tb.SlotDomestic[s];
    ta.SlotInternational[slot] += tb.SlotInternational[s];
    ta.SlotUnknownCountry[slot] += tb.SlotUnknownCountry[s];
    ta.SlotHits[slot] += tb.SlotHits[s];
    ta.SlotHomePageHits[slot] += tb.SlotHomePageHits[s];
    ta.SlotNotModified[slot] += tb.SlotNotModified[s];
    ta.SlotBytes[slot] += tb.SlotBytes[s];
    ta.SlotFailed[slot] += tb.SlotFailed[s];
    ta.SlotOtherMethod[slot] += tb.SlotOtherMethod[s];
  }
  if (IsTableUsed(kTopServerErrors)) {
    ta.Failed500 += tb.Failed500;
    ta.Failed501 += tb.Failed501;
    ta.Failed502 += tb.Failed502;
    ta.Failed503 += tb.Failed503;
  }
  if (IsTableUsed(kTopClientErrors)) {
    ta.Failed400 += tb.Failed400;
    ta.Failed401 += tb.Failed401;
    ta.Failed402 += tb.Failed402;
    ta.Failed403 += tb.Failed403;
    ta.Failed404 += tb.Failed404;
  }
  ta.FormHits += tb.FormHits;
  ta.FailedFormHits += tb.FailedFormHits;
  ta.DocumentHits += tb.DocumentHits;
  ta.UserSessionsTime += tb.UserSessionsTime;
  ta.UserSessionsTimeCount += tb.UserSessionsTimeCount;

  if (!ta.TopTablesPtr || !tb.TopTablesPtr) return 1;
  const uint32_t cutoff = BigTableCutoff();
  const uint32_t tables = std::min({tb.TopTablesCount, ta.TopTablesCount, static_cast<uint32_t>(kItemTableCount)});
  for (uint32_t t = 0; t < tables; ++t) {
    SummaryTableEntry* to = &ta.TopTablesPtr[t];
    SummaryTableEntry* from = &tb.TopTablesPtr[t];
    if (t == kTopCompanies || t == kTopUsers) {
      if (to->Count > cutoff) {
        SwitchSectionOff(t);
      } else {
        bool ready = true;
        // The merged table is laid out as the days' tables are: with an
        // overflow item ("Others", item 0) only when theirs have one, so
        // that it shows the rows a summary of the same records shows.
        NameTableEntry** dayItems = SlotArray(from);
        const bool overflow = SlotCount(from) != 0 && dayItems[0] != nullptr && dayItems[0]->Overflow != 0;
        if (to->Count == 0 && to->DeleteCount == 0) ready = InitItemTable(a, to, overflow ? 1 : 0) != 0;
        if (ready) {
          MergeTopTwins(from);
          MergeByName(to, from, t, true, true, map);
        }
      }
    } else if (t != kTopPaths) {
      MergeByName(to, from, t, false, false, map);
    }
    const int32_t percent = static_cast<int32_t>(
        progressFrom + static_cast<int64_t>(t) * (int64_t{progressTo} - progressFrom) / static_cast<int64_t>(tables));
    if (CallClientCallback(0, 0, "", 0, percent, 0) == 2) return 0;
  }
  if (tables > kTopPaths) {
    if (ta.TopTablesPtr[kTopPaths].Count <= cutoff) {
      RenumberPaths(a, b);
      MergeByName(&ta.TopTablesPtr[kTopPaths], &tb.TopTablesPtr[kTopPaths], kTopPaths, false, false, map);
    } else {
      SwitchSectionOff(kTopPaths);
    }
  }
  return 1;
}

}  // namespace vrn
