// Finishing an analysis: day change, visit postings, sorting, time grid,
// range text and the release of the report options.
#include "engine/database/finishing.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>

#include "engine/core/engine_state.h"
#include "engine/core/report_run.h"
#include "engine/database/item_tables.h"
#include "engine/database/table_accessors.h"
#include "platform/base/memory.h"

namespace vrn {

namespace {

constexpr uint32_t kDaySeconds = 86400;

MonthSlotState g_monthSlots{};

struct tm UtcFields(uint32_t t) {
  time_t value = static_cast<time_t>(t);
  struct tm fields {};
  gmtime_r(&value, &fields);
  return fields;
}

void CopyText(char* to, size_t size, const char* from) {
  size_t n = from ? std::strlen(from) : 0;
  if (n > size - 1) n = size - 1;
  if (n) std::memcpy(to, from, n);
  to[n] = '\0';
}

SummaryTableEntry* TableOf(AnalysisContext* context, uint32_t table) {
  TemplateRecord& t = context->templ;
  if (!t.TopTablesPtr || table >= t.TopTablesCount) return nullptr;
  return &t.TopTablesPtr[table];
}

void CountHitAndUser(NameTableEntry* item, uint16_t slot) {
  ++item->TotalByHits;
  ++item->SlotHits[slot];
  ++item->TotalByUsers;
  ++item->SlotUsers[slot];
}

// Adds `name` to `table` and counts one hit and one user in `slot`.
void PostName(SummaryTableEntry* table, const char* name, uint16_t slot) {
  if (!table || !name || !*name) return;
  uint32_t n = AddNameToTable(table, name);
  if (n == 0) return;
  CountHitAndUser(table->ItemBlock[n - 1], slot);
}

// The run's context, locked for the call when the run holds no locked
// pointer. `locked` tells the caller to unlock.
AnalysisContext* LockRunContext(ReportHandle* run, bool* locked) {
  *locked = false;
  if (!run) return nullptr;
  if (run->database) return static_cast<AnalysisContext*>(run->database);
  if (!run->databaseHandle) return nullptr;
  auto* context = static_cast<AnalysisContext*>(kv::GlobalLock(run->databaseHandle));
  *locked = context != nullptr;
  return context;
}

void UnlockRunContext(ReportHandle* run, bool locked) {
  if (locked) kv::GlobalUnlock(run->databaseHandle);
}

inline const NameTableEntry* EntryOf(const void* p) { return *static_cast<const NameTableEntry* const*>(p); }

inline int Descending(uint32_t a, uint32_t b) { return a < b ? 1 : (a > b ? -1 : 0); }

inline uint32_t AverageTime(const NameTableEntry* e) {
  return (e && e->TimeOnPages && e->TimeOnPagesCount) ? e->TimeOnPages / e->TimeOnPagesCount : 0;
}

using Comparator = int (*)(const void*, const void*);
Comparator ComparatorOf(int mode) {
  switch (mode) {
    case kSortByHits: return CompareByHits;
    case kSortByUsers: return CompareByUsers;
    case kSortByAverageTime: return CompareByAverageTime;
    default: return nullptr;
  }
}

}  // namespace

// ---- month-slot modes ----------------------------------------------------------

MonthSlotState& MonthSlots() { return g_monthSlots; }

namespace {
uint16_t MonthSlotOver(uint32_t t, int slots) {
  const uint32_t* b = g_monthSlots.boundaries;
  if (t < b[0]) return 0;
  for (int i = 0; i < slots; ++i) {
    if (b[i] <= t && t < b[i + 1]) return static_cast<uint16_t>(i);
  }
  return static_cast<uint16_t>(slots - 1);
}
}  // namespace

uint16_t GetMonthSlot(uint32_t t) { return MonthSlotOver(t, 12); }
uint16_t GetTwoYearMonthSlot(uint32_t t) { return MonthSlotOver(t, 24); }

bool UsesCalendarMonths(const AnalysisContext* context) {
  return context != nullptr && !g_monthSlots.twelveMonths && !g_monthSlots.twentyFourMonths &&
         context->secondsPerSlot != 0 && context->secondsPerSlot % kMonthScaleSeconds == 0;
}

namespace {
int MonthIndex(uint32_t t) {
  const struct tm f = UtcFields(t);
  return f.tm_year * 12 + f.tm_mon;
}

int MonthsPerSlot(const AnalysisContext* context) {
  return static_cast<int>(context->secondsPerSlot / kMonthScaleSeconds);
}
}  // namespace

uint16_t CalendarMonthSlot(const AnalysisContext* context, uint32_t t) {
  if (context == nullptr || t < context->slotOrigin || !UsesCalendarMonths(context)) return 0;
  const int months = MonthIndex(t) - MonthIndex(context->slotOrigin);
  return static_cast<uint16_t>(std::clamp(months / MonthsPerSlot(context), 0, static_cast<int>(kTimeSlots) - 1));
}

uint32_t CalendarMonthStart(const AnalysisContext* context, uint16_t slot) {
  if (context == nullptr || !UsesCalendarMonths(context)) return 0;
  const struct tm origin = UtcFields(context->slotOrigin);
  const int month = origin.tm_mon + slot * MonthsPerSlot(context);
  struct tm f {};
  f.tm_year = origin.tm_year + month / 12;
  f.tm_mon = month % 12;
  f.tm_mday = 1;
  const time_t t = timegm(&f);
  return t < 0 || t > 0xFFFFFFFF ? context->slotOrigin : static_cast<uint32_t>(t);
}

uint16_t TimeSlotOf(const AnalysisContext* context, uint32_t t) {
  if (g_monthSlots.twelveMonths) return GetMonthSlot(t);
  if (g_monthSlots.twentyFourMonths) return GetTwoYearMonthSlot(t);
  if (UsesCalendarMonths(context)) return CalendarMonthSlot(context, t);
  if (!context || context->slotCount == 0 || context->secondsPerSlot == 0) return 0;
  uint32_t span = uint32_t{context->slotCount} * context->secondsPerSlot;
  uint32_t slot = span ? ((t - context->slotOrigin) % span) / context->secondsPerSlot
                       : (t - context->slotOrigin) / context->secondsPerSlot;
  return static_cast<uint16_t>(std::min<uint32_t>(slot, 31));
}

// ---- day change ----------------------------------------------------------------------

namespace {

// True when `format` shows the time of day (%H %M %S %p %T).
bool ShowsTimeOfDay(const char* format) {
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') continue;
    const char c = p[1];
    if (c == '\0') break;
    ++p;
    if (c == 'H' || c == 'M' || c == 'S' || c == 'p' || c == 'T') return true;
  }
  return false;
}

// Weekday (0 Sunday) and month (0 January) of a UTC day number.
void WeekdayAndMonth(uint32_t days, int* weekday, int* month) {
  *weekday = static_cast<int>((days + 4) % 7);  // 1 January 1970 was a Thursday
  // Civil date from the day count, years of March to February.
  const uint32_t z = days + 719468;
  const uint32_t era = z / 146097;
  const uint32_t dayOfEra = z - era * 146097;
  const uint32_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const uint32_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const uint32_t shifted = (5 * dayOfYear + 2) / 153;  // 0 March .. 11 February
  *month = static_cast<int>(shifted < 10 ? shifted + 2 : shifted - 10);
}

// The text of the day formatted last, with everything it was made from: a
// day's text stays the same through the day when the format does not show
// the time of day, so the hits of one day format it once.
struct DayText {
  bool valid = false;
  uint32_t day = 0;
  std::string format;
  uint32_t dateOrder = 0;
  std::string dateSeparator;
  std::string names[4];  // short and full weekday, short and full month
  char text[kDayTextSize] = "";
};
thread_local DayText t_dayText;

const char* LocaleName(const char* const* names, int count, int i) { return i >= 0 && i < count ? names[i] : ""; }

// The day text of `time` (not 0) as FormatIntlDateTime writes it.
void FormatDayText(const AnalysisContext* context, uint32_t time, char* day) {
  const char* format = "%B %d, %Y";
  if (context->options && context->options->texts[kIntlTexts + 3]) format = context->options->texts[kIntlTexts + 3];
  IntlLocale storage;
  const IntlLocale* locale = ReportOptionsLocale(context->options, &storage);
  // Without options the engine's own names are used: not kept.
  if (!locale || ShowsTimeOfDay(format)) {
    struct tm fields = UtcFields(time);
    FormatIntlDateTime(day, kDayTextSize, format, &fields, locale);
    return;
  }
  const uint32_t dayNumber = time / kDaySeconds;
  int weekday = 0;
  int month = 0;
  WeekdayAndMonth(dayNumber, &weekday, &month);
  const char* names[4] = {LocaleName(locale->shortWeekdays, 7, weekday), LocaleName(locale->fullWeekdays, 7, weekday),
                          LocaleName(locale->shortMonths, 12, month), LocaleName(locale->fullMonths, 12, month)};
  DayText& kept = t_dayText;
  bool same = kept.valid && kept.day == dayNumber && kept.dateOrder == locale->dateOrder &&
              kept.format == format && kept.dateSeparator == locale->dateSeparator;
  for (int i = 0; i < 4 && same; ++i) same = kept.names[i] == names[i];
  if (same) {
    std::memcpy(day, kept.text, kDayTextSize);
    return;
  }
  struct tm fields = UtcFields(time);
  FormatIntlDateTime(day, kDayTextSize, format, &fields, locale);
  kept.valid = true;
  kept.day = dayNumber;
  kept.format = format;
  kept.dateOrder = locale->dateOrder;
  kept.dateSeparator = locale->dateSeparator;
  for (int i = 0; i < 4; ++i) kept.names[i] = names[i];
  std::memcpy(kept.text, day, kDayTextSize);
}

}  // namespace

void DayTextOf(const AnalysisContext* context, uint32_t time, char* day) {
  std::memset(day, 0, kDayTextSize);
  if (context && time != 0) FormatDayText(context, time, day);
}

void CloseDay(AnalysisContext* context, uint32_t time) {
  if (!context) return;
  char day[kDayTextSize];
  DayTextOf(context, time, day);
  CloseDayOf(context, time, day);
}

// ---- the days of a log out of time order --------------------------------------------
//
// The day step keeps one day open, the latest: a record of an earlier day
// (a log written as requests end, or two servers' logs one after the other)
// comes after that day was closed and folded into the per-day figures. The
// day book keeps every day the context closed, with its hits and users, so
// that such a record is counted on its own day and the figures come out as
// those of the same records in time order: the busiest day is the earliest of
// those with the most, the quietest the earliest of those with the fewest.
// The book lives beside the template and is never stored; a template loaded
// or changed since the book last saw it starts a new one.
struct DayBook {
  struct Day {
    uint32_t time;  // a time of the day (the first seen): its weekday and place in time
    uint32_t hits;
    uint32_t users;
  };
  using Rank = std::tuple<uint32_t, uint32_t, const std::string*>;  // count, day time, day text
  // The template's current day as the book last left it.
  char today[kDayTextSize];
  uint32_t todayTime = 0;
  uint32_t closedDays = 0;
  // The current day when the book began: the days before it were closed
  // before the book (a stored template), so a record of one of them cannot
  // be put on its day. 0: the book holds every closed day; kSinceNextDay:
  // days were closed but none is open, the next day opened sets it.
  static constexpr uint32_t kSinceNextDay = 0xFFFFFFFFu;
  uint32_t since = 0;
  // A day text came back after its day had closed (a day format without the
  // year): texts no longer name one day each.
  bool ambiguous = false;
  std::unordered_map<std::string, Day> days;
  // The closed days with hits (with users), the quietest first.
  std::set<Rank> byHits;
  std::set<Rank> byUsers;
  // The quietest days closed before the book (0xFFFFFFFF: none).
  uint32_t earlierFewestHits = 0xFFFFFFFFu;
  uint32_t earlierFewestUsers = 0xFFFFFFFFu;
  char earlierFewestHitsDay[kDayTextSize];
  char earlierFewestUsersDay[kDayTextSize];
};

namespace {

std::string DayKey(const char* day) { return std::string(day, strnlen(day, kDayTextSize)); }

bool SameDayText(const char* a, const char* b) { return std::strncmp(a, b, kDayTextSize) == 0; }

bool InStep(const DayBook* book, const TemplateRecord& T) {
  return book != nullptr && book->todayTime == T.TodayDateTime && book->closedDays == T.ClosedDays &&
         SameDayText(book->today, T.Today);
}

void LeaveInStep(DayBook* book, const TemplateRecord& T) {
  std::memcpy(book->today, T.Today, kDayTextSize);
  book->todayTime = T.TodayDateTime;
  book->closedDays = T.ClosedDays;
}

// Leaves the book in step with the template: a new one at the first day step
// and whenever the template's day state is not the one the book left (a
// template loaded, days merged into it).
DayBook* BookOf(AnalysisContext* context) {
  const TemplateRecord& T = context->templ;
  DayBook* book = context->dayBook;
  if (InStep(book, T)) return book;
  delete book;
  context->dayBook = book = new (std::nothrow) DayBook;
  if (book == nullptr) return nullptr;
  LeaveInStep(book, T);
  book->since = T.TodayDateTime == 0 && T.ClosedDays != 0 ? DayBook::kSinceNextDay : T.TodayDateTime;
  book->earlierFewestHits = T.FewestHits;
  book->earlierFewestUsers = T.FewestUsers;
  std::memcpy(book->earlierFewestHitsDay, T.FewestHitsDay, kDayTextSize);
  std::memcpy(book->earlierFewestUsersDay, T.FewestUsersDay, kDayTextSize);
  return book;
}

// Enters the day being closed (the template's current one) in the book.
void EnterClosedDay(DayBook* book, const TemplateRecord& T) {
  if (T.TodayDateTime == 0) return;
  const auto [at, added] = book->days.try_emplace(DayKey(T.Today), DayBook::Day{T.TodayDateTime, T.TodaysHits,
                                                                                  T.TodaysUsers});
  if (!added) {
    book->ambiguous = true;
    return;
  }
  if (T.TodaysHits != 0) book->byHits.emplace(T.TodaysHits, T.TodayDateTime, &at->first);
  if (T.TodaysUsers != 0) book->byUsers.emplace(T.TodaysUsers, T.TodayDateTime, &at->first);
}

// One count (hits or users) of a closed day rises from `from` to `to`: the
// most and fewest values that count keeps follow, as in time order.
struct Extremes {
  uint32_t* most;
  char* mostDay;
  uint32_t* fewest;
  char* fewestDay;
  std::set<DayBook::Rank>* ranks;
  uint32_t earlierFewest;
  const char* earlierFewestDay;
};

void RaiseDayCount(const DayBook& book, const Extremes& e, const std::string& day, const DayBook::Day& entry,
                   uint32_t from, uint32_t to) {
  if (from == to) return;
  if (from != 0) e.ranks->erase(DayBook::Rank{from, entry.time, &day});
  e.ranks->emplace(to, entry.time, &day);
  // The most: a day of the book that has as many and came earlier wins too.
  bool most = *e.most < to;
  if (!most && *e.most == to) {
    const auto holder = book.days.find(DayKey(e.mostDay));
    most = holder != book.days.end() && holder->second.time > entry.time;
  }
  if (most) {
    *e.most = to;
    CopyText(e.mostDay, kDayTextSize, day.c_str());
  }
  // The fewest changes only when the day is new to it or was the fewest.
  if (from != 0 && !SameDayText(e.fewestDay, day.c_str())) return;
  const DayBook::Rank& least = *e.ranks->begin();
  if (e.earlierFewest != 0xFFFFFFFFu && e.earlierFewest <= std::get<0>(least)) {
    *e.fewest = e.earlierFewest;
    std::memcpy(e.fewestDay, e.earlierFewestDay, kDayTextSize);
  } else {
    *e.fewest = std::get<0>(least);
    CopyText(e.fewestDay, kDayTextSize, std::get<2>(least)->c_str());
  }
}

}  // namespace

int CloseDayOf(AnalysisContext* context, uint32_t time, const char* day) {
  if (!context || !day) return 1;
  TemplateRecord& T = context->templ;
  if (std::strncmp(day, T.Today, kDayTextSize) == 0) return 1;
  if (!(T.TodayDateTime <= time || time == 0)) {
    // A record of a day before the current one: its own day when the book
    // has it or it is a day of its time not yet met.
    DayBook* book = BookOf(context);
    if (book == nullptr || book->ambiguous) return 1;
    const std::string key = DayKey(day);
    if (book->days.count(key) != 0) return 0;
    if (book->since != 0 && time < book->since) return 1;
    book->days.emplace(key, DayBook::Day{time, 0, 0});
    ++T.ClosedDays;
    const int weekday = UtcFields(time).tm_wday;
    ++(weekday == 0 || weekday == 6 ? T.WeekendCount : T.WeekdayCount);
    LeaveInStep(book, T);
    return 0;
  }
  DayBook* book = BookOf(context);
  if (book != nullptr) EnterClosedDay(book, T);
  if (T.MostHits < T.TodaysHits) {
    T.MostHits = T.TodaysHits;
    std::memcpy(T.MostHitsDay, T.Today, kDayTextSize);
  }
  if (T.TodaysHits != 0 && T.TodaysHits < T.FewestHits) {
    T.FewestHits = T.TodaysHits;
    std::memcpy(T.FewestHitsDay, T.Today, kDayTextSize);
  }
  if (T.MostUsers < T.TodaysUsers) {
    T.MostUsers = T.TodaysUsers;
    std::memcpy(T.MostUsersDay, T.Today, kDayTextSize);
  }
  if (T.TodaysUsers != 0 && T.TodaysUsers < T.FewestUsers) {
    T.FewestUsers = T.TodaysUsers;
    std::memcpy(T.FewestUsersDay, T.Today, kDayTextSize);
  }
  std::memset(T.Today, 0, kDayTextSize);
  CopyText(T.Today, kDayTextSize, day);
  if (T.TodayDateTime != 0) {
    ++T.ClosedDays;
    int weekday = UtcFields(T.TodayDateTime).tm_wday;
    if (weekday == 0 || weekday == 6) {
      ++T.WeekendCount;
      T.WeekendHits += T.TodaysHits;
      T.WeekendUsers += T.TodaysUsers;
    } else {
      ++T.WeekdayCount;
      T.WeekdayHits += T.TodaysHits;
      T.WeekdayUsers += T.TodaysUsers;
    }
    T.TodaysHits = 0;
    T.TodaysUsers = 0;
  }
  T.TodayDateTime = time;
  if (book != nullptr) {
    if (book->since == DayBook::kSinceNextDay && time != 0) book->since = time;
    LeaveInStep(book, T);
  }
  return 1;
}

void CountOnEarlierDay(AnalysisContext* context, const char* day, uint32_t hits, uint32_t users) {
  if (!context || !day || (hits == 0 && users == 0)) return;
  TemplateRecord& T = context->templ;
  DayBook* book = context->dayBook;
  // The book is as CloseDayOf left it for this record; should it not be,
  // the record counts on the current day.
  const bool inStep = InStep(book, T) && !book->ambiguous;
  const auto found = inStep ? book->days.find(DayKey(day)) : std::unordered_map<std::string, DayBook::Day>::iterator();
  if (!inStep || found == book->days.end()) {
    T.TodaysHits += hits;
    T.TodaysUsers += users;
    return;
  }
  const std::string& key = found->first;
  DayBook::Day& entry = found->second;
  const int weekday = UtcFields(entry.time).tm_wday;
  if (weekday == 0 || weekday == 6) {
    T.WeekendHits += hits;
    T.WeekendUsers += users;
  } else {
    T.WeekdayHits += hits;
    T.WeekdayUsers += users;
  }
  const Extremes byHits{&T.MostHits,        T.MostHitsDay,         &T.FewestHits,           T.FewestHitsDay,
                        &book->byHits,      book->earlierFewestHits, book->earlierFewestHitsDay};
  const Extremes byUsers{&T.MostUsers,       T.MostUsersDay,         &T.FewestUsers,           T.FewestUsersDay,
                         &book->byUsers,     book->earlierFewestUsers, book->earlierFewestUsersDay};
  RaiseDayCount(*book, byHits, key, entry, entry.hits, entry.hits + hits);
  RaiseDayCount(*book, byUsers, key, entry, entry.users, entry.users + users);
  entry.hits += hits;
  entry.users += users;
}

void ReleaseDayBook(AnalysisContext* context) {
  if (context == nullptr) return;
  delete context->dayBook;
  context->dayBook = nullptr;
}

// ---- visits --------------------------------------------------------------------------

void PostVisitDetails(AnalysisContext* context, uint32_t visitNumber) {
  if (!context) return;
  SummaryTableEntry* sessions = context->templ.TopUsersPtr;
  if (!sessions || !sessions->ItemBlock || sessions->Count == 0) return;
  if (visitNumber >= sessions->Count + sessions->DeleteCount) return;
  NameTableEntry* visit = sessions->ItemBlock[visitNumber];
  if (!visit || visit->Overflow || visit->Deleted || visit->LastPageTime == 0) return;

  ClearTableEmpty(kTopExit);
  TemplateRecord& T = context->templ;
  if (visit->TimeOnPagesCount != 0 && visit->TimeOnPages != 0) {
    T.UserSessionsTime += visit->TimeOnPages;
    ++T.UserSessionsTimeCount;
  }
  const uint16_t slot = TimeSlotOf(context, visit->LastPageTime);
  SummaryTableEntry* forms = TableOf(context, kTopForms);
  SummaryTableEntry* documents = TableOf(context, kTopDocuments);

  // Exit page.
  char name[1024];
  {
    SummaryTableEntry* pages = visit->LastPageWasForm == 1 ? forms : documents;
    name[0] = '\0';
    if (pages) GetItemName(pages, 0, visit->LastPageEntryItem, name, sizeof name);
    PostName(TableOf(context, kTopExit), name, slot);
  }

  TopNameList* lists = visit->TopNames && visit->TopNamesCount == kTopNameListCount ? visit->Lists() : nullptr;

  // Path.
  if (SummaryTableEntry* paths = TableOf(context, kTopPaths)) {
    if (paths->Count <= BigTableCutoff()) {
      char key[4096];
      size_t length = 0;
      key[0] = '\0';
      if (lists && lists[kListTrail].trail) {
        // Each page number as eight lower-case hex digits.
        static constexpr char kHex[] = "0123456789abcdef";
        for (uint16_t i = 0; i < lists[kListTrail].count && length + 9 <= sizeof key; ++i) {
          const uint32_t page = lists[kListTrail].trail[i];
          for (int digit = 0; digit < 8; ++digit) key[length + digit] = kHex[(page >> (28 - 4 * digit)) & 0xF];
          length += 8;
          key[length] = '\0';
        }
      }
      if (length) {
        ClearTableEmpty(kTopPaths);
        PostName(paths, key, 0);
      }
    } else {
      SectionTableEntry& section = GetSectionTable()[kTopPaths];
      section.used = 0;
      section.empty = 1;
    }
  }

  // Single page.
  if (lists) {
    const TopNameList& docs = lists[kListDocuments];
    const TopNameList& frms = lists[kListForms];
    SummaryTableEntry* pages = nullptr;
    const TopNameList* list = nullptr;
    const uint32_t docCount = TopNameItemCount(docs);
    const uint32_t formCount = TopNameItemCount(frms);
    if (docCount == 1 && formCount == 0) {
      pages = documents;
      list = &docs;
    } else if (docCount == 0 && formCount == 1) {
      pages = forms;
      list = &frms;
    }
    if (pages && list->values) {
      ClearTableEmpty(kTopSinglePage);
      name[0] = '\0';
      GetItemName(pages, 0, LastTopNameItem(*list), name, sizeof name);
      PostName(TableOf(context, kTopSinglePage), name, slot);
    }
  }
}

void PostOpenVisits(AnalysisContext* context) {
  if (!context || !context->templ.TopUsersPtr) return;
  SummaryTableEntry* sessions = context->templ.TopUsersPtr;
  for (uint32_t n = 0; n < sessions->Count + sessions->DeleteCount; ++n) PostVisitDetails(context, n);
}

// ---- sorting ----------------------------------------------------------------------------

int CompareByHits(const void* a, const void* b) {
  const NameTableEntry* x = EntryOf(a);
  const NameTableEntry* y = EntryOf(b);
  return Descending(x ? x->TotalByHits : 0, y ? y->TotalByHits : 0);
}

int CompareByUsers(const void* a, const void* b) {
  const NameTableEntry* x = EntryOf(a);
  const NameTableEntry* y = EntryOf(b);
  return Descending(x ? x->TotalByUsers : 0, y ? y->TotalByUsers : 0);
}

int CompareByAverageTime(const void* a, const void* b) {
  return Descending(AverageTime(EntryOf(a)), AverageTime(EntryOf(b)));
}

void SortTable(SummaryTableEntry* table, int mode) {
  if (!table || !table->ItemBlock || !table->Items) return;
  Comparator compare = ComparatorOf(mode);
  if (!compare || table->Count < 2) return;
  std::qsort(table->Items, table->Count, sizeof(NameTableEntry*), compare);
}

void SortNamedTable(SummaryTableEntry* table, int mode, int mergeTwins) {
  if (!table || !table->ItemBlock || !table->Items) return;
  if (mergeTwins) MergeTopTwins(table);
  Comparator compare = ComparatorOf(mode);
  const uint32_t slots = table->Count + table->DeleteCount;
  if (!compare || slots < 2) return;
  NameTableEntry** items = table->Items;
  // The overflow item stays first; freed records go behind every counted
  // item, so that the first Count entries are the table's items.
  const uint32_t first = (items[0] && items[0]->Overflow) ? 1 : 0;
  NameTableEntry** end = std::stable_partition(items + first, items + slots,
                                               [](const NameTableEntry* e) { return e && !e->Deleted; });
  const size_t counted = static_cast<size_t>(end - (items + first));
  if (counted > 1) std::qsort(items + first, counted, sizeof(NameTableEntry*), compare);
}

void SortAllTables(AnalysisContext* context, int mergeTwins) {
  if (!context || !context->templ.TopTablesPtr) return;
  auto table = [context](uint32_t n) { return TableOf(context, n); };
  RenumberItems(table(kTopDocuments));
  RenumberItems(table(kTopForms));
  const int mode = context->SortBy == 2 ? kSortByUsers : kSortByHits;
  for (uint32_t n : {kTopDocuments, kTopForms, kTopDownloads, kTopExtensions, kTopDirectory, kTopCountries,
                     kTopSuffixes, kTopReferers, kTopBrowsers, kTopPlatforms})
    SortTable(table(n), mode);
  SortNamedTable(table(kTopCompanies), mode, mergeTwins);
  SortNamedTable(table(kTopUsers), mode, mergeTwins);
  for (uint32_t n : {kTopCities, kTopStates, kTopVisitors, kTopServerErrors, kTopClientErrors, kTopFormErrors})
    SortTable(table(n), mode);
  SortTable(table(kTopReferingSites), kSortByUsers);
  for (uint32_t n : {kTopEntry, kTopExit, kTopSinglePage, kTopPaths, kTopAds, kTopAdClicks, kTopAdViews,
                     kTopSpiders, kTopNetscape, kTopExplorer, kTopUploads})
    SortTable(table(n), mode);
  if (context->templ.TopTablesCount > 36) {
    for (uint32_t n : {kTopAuthUsers, kTopSearchKeywords, kTopSearchEngines}) SortTable(table(n), mode);
  }
}

void FinishAnalysisContext(AnalysisContext* context) {
  if (!context) return;
  SettleHitTables(context);
  CloseDay(context, 0);
  PostOpenVisits(context);
  SortAllTables(context, 1);
}

KvGlobal CloseSummary(ReportHandle* run) {
  if (!run || !run->databaseHandle) return 0;
  KvGlobal handle = run->databaseHandle;
  bool lockedHere = false;
  AnalysisContext* context = LockRunContext(run, &lockedHere);
  if (context) FinishAnalysisContext(context);
  // The run's lock ends here with its pointer; readers lock the handle.
  if (run->database) {
    kv::GlobalUnlock(handle);
    run->database = nullptr;
  }
  UnlockRunContext(run, lockedHere);
  DetachAllTableItems(handle);
  return handle;
}

// ---- time grid and range text ----------------------------------------------------------

void ChooseGraphIntervalFor(AnalysisContext* context, uint32_t start, uint32_t end) {
  if (!context) return;
  const ReportOptions* o = context->options;
  const uint16_t scaleCount = (o && o->intervals) ? o->intervalCount : 0;
  auto scale = [&](uint16_t i) -> const IntervalScale* { return i < scaleCount ? &o->intervals[i] : nullptr; };
  auto fixed = [&](uint16_t slots, uint16_t index) {
    context->slotCount = slots;
    context->intervalScaleIndex = index;
    context->secondsPerSlot = scale(index) ? scale(index)->secondsPerSlot : 0;
  };
  context->slotCount = 0;
  if (g_monthSlots.twelveMonths) {
    fixed(12, 17);
  } else if (g_monthSlots.twentyFourMonths) {
    fixed(24, 18);
  } else {
    const uint32_t span = end >= start ? end - start : 0;
    if (span < kDaySeconds + 1 || span >= 2678400) {
      for (uint16_t i = 0; i < scaleCount; ++i) {
        const IntervalScale& s = o->intervals[i];
        if (uint64_t{span} <= uint64_t{s.secondsPerSlot} * s.slotCount) {
          context->slotCount = s.slotCount;
          context->intervalScaleIndex = i;
          context->secondsPerSlot = s.secondsPerSlot;
          break;
        }
      }
    } else {
      uint16_t days = 0;
      for (uint64_t t = start - start % kDaySeconds; t < end; t += kDaySeconds) ++days;
      context->slotCount = days;
      context->secondsPerSlot = kDaySeconds;
      context->intervalScaleIndex = days < 8 ? 9 : days < 15 ? 10 : days < 29 ? 11 : 12;
    }
  }
  // A window longer than every scale takes the month scale of the most
  // slots; its slots then hold several months each (below).
  if (context->slotCount == 0 && !g_monthSlots.twelveMonths && !g_monthSlots.twentyFourMonths &&
      end > start && end - start > kDaySeconds) {
    for (uint16_t i = 0; i < scaleCount; ++i) {
      const IntervalScale& s = o->intervals[i];
      if (s.secondsPerSlot == kMonthScaleSeconds && s.slotCount > context->slotCount) {
        context->slotCount = s.slotCount;
        context->intervalScaleIndex = i;
        context->secondsPerSlot = s.secondsPerSlot;
      }
    }
  }
  if (context->slotCount == 0 && scale(0)) {
    context->slotCount = scale(0)->slotCount;
    context->intervalScaleIndex = 0;
    context->secondsPerSlot = scale(0)->secondsPerSlot;
  }
  // A month scale's slots are the calendar months the window touches, as
  // many months to a slot as keep them within the scale's slots.
  if (UsesCalendarMonths(context) && end >= start) {
    const int months = MonthIndex(end) - MonthIndex(start) + 1;
    const int slots = std::clamp<int>(context->slotCount, 1, kTimeSlots);
    constexpr int kMostMonthsPerSlot = static_cast<int>(0xFFFFFFFFu / kMonthScaleSeconds);
    const int perSlot = std::min((months + slots - 1) / slots, kMostMonthsPerSlot);
    context->secondsPerSlot = static_cast<uint32_t>(perSlot) * kMonthScaleSeconds;
    context->slotCount = static_cast<uint16_t>((months + perSlot - 1) / perSlot);
  }
  // Every per-slot array holds 32 counters.
  if (context->slotCount > kTimeSlots) context->slotCount = kTimeSlots;
}

void ChooseGraphInterval(ReportHandle* run) {
  bool locked = false;
  AnalysisContext* context = LockRunContext(run, &locked);
  if (!context) return;
  ChooseGraphIntervalFor(context, run->startTime, run->endTime);
  UnlockRunContext(run, locked);
}

void FormatRangeTextFor(AnalysisContext* context, uint32_t start, uint32_t end) {
  if (!context) return;
  IntlLocale storage;
  const IntlLocale* locale = ReportOptionsLocale(context->options, &storage);
  char first[100];
  char last[100];
  struct tm fields = UtcFields(start);
  FormatIntlDateTime(first, sizeof first, "%D %T", &fields, locale);
  fields = UtcFields(end);
  FormatIntlDateTime(last, sizeof last, "%D %T", &fields, locale);
  const std::string text = std::string(first) + " - " + last;
  CopyText(context->rangeText, sizeof context->rangeText, text.c_str());
}

void FormatRangeText(ReportHandle* run) {
  bool locked = false;
  AnalysisContext* context = LockRunContext(run, &locked);
  if (!context) return;
  FormatRangeTextFor(context, run->startTime, run->endTime);
  UnlockRunContext(run, locked);
}

// ---- report options ------------------------------------------------------------------

void ReleaseReportOptions(ReportHandle* run) {
  bool locked = false;
  AnalysisContext* context = LockRunContext(run, &locked);
  if (!context) return;
  FreeReportOptions(context->options);
  context->options = nullptr;
  UnlockRunContext(run, locked);
}

}  // namespace vrn
