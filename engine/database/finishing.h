// Finishing an analysis: the day-change rule over the TemplateRecord's day
// counters, the postings made when a visit ends (time on pages, exit page,
// path, single-page visit), the sorting of the item tables into report
// order, the choice of the run's time grid, the range text, and the release
// of the report options. Also the engine-wide month-slot state that the year
// ranges switch on, and the time slot of a time.
#ifndef VORNIC_DATABASE_FINISHING_H
#define VORNIC_DATABASE_FINISHING_H

#include <cstdint>

#include "engine/database/analysis_context.h"
#include "platform/base/kvtypes.h"

namespace vrn {

struct ReportHandle;
struct SummaryTableEntry;
struct NameTableEntry;

// ---- month-slot modes ----------------------------------------------------------
// Process-wide: with the twelve-month flag a time's slot is its month of the
// range's year (GetMonthSlot), with the twenty-four-month flag its month of
// the two years (GetTwoYearMonthSlot). Boundary i is the first second of
// month slot i; boundary 12 (24) ends the last slot.
struct MonthSlotState {
  uint32_t twelveMonths;
  uint32_t twentyFourMonths;
  uint32_t boundaries[25];
};
MonthSlotState& MonthSlots();
// Below boundary 0: 0; boundary i <= t < boundary i+1: i; anything else the
// last slot (11, or 23).
uint16_t GetMonthSlot(uint32_t t);
uint16_t GetTwoYearMonthSlot(uint32_t t);
// Slot of a time: the month rule of the mode in force, else
// ((t - slot origin) mod (slot count x seconds per slot)) / seconds per slot
// (unsigned 32-bit); always below 32, 0 for a context without a grid.
uint16_t TimeSlotOf(const AnalysisContext* context, uint32_t t);

// ---- calendar months of a long window ------------------------------------------------
// A grid of 31-day slots (the month scales) counts calendar months: slot n is
// the n-th month from the month of the slot origin (UTC), whatever the length
// of the months between; a slot of k times 31 days holds k calendar months.
// The year ranges' month modes rule when switched on.
constexpr uint32_t kMonthScaleSeconds = 31u * 86400u;
bool UsesCalendarMonths(const AnalysisContext* context);
// The slot of the calendar month of `t`, counted from the origin's month: 0
// before the origin, at most 31.
uint16_t CalendarMonthSlot(const AnalysisContext* context, uint32_t t);
// The first second of the first month of slot `slot`.
uint32_t CalendarMonthStart(const AnalysisContext* context, uint16_t slot);

// ---- day change and visits -----------------------------------------------------
// Day-change rule; time 0 closes the current day for good.
void CloseDay(AnalysisContext* context, uint32_t time);
// Bytes of a day text (TemplateRecord::Today).
constexpr size_t kDayTextSize = 60;
// CloseDay with the day text of `time` (DayTextOf) worked out already.
// Returns 1 when a hit of `time` counts on the current day (TodaysHits,
// TodaysUsers), 0 when it belongs to a day the context closed already (its
// record came after those of a later day): its counts then go to that day
// through CountOnEarlierDay, as they would have in time order.
int CloseDayOf(AnalysisContext* context, uint32_t time, const char* day);
// Counts `hits` and `users` on the closed day `day` (for which CloseDayOf
// returned 0) and updates the per-day figures: the weekday and weekend sums,
// the busiest and quietest days.
void CountOnEarlierDay(AnalysisContext* context, const char* day, uint32_t hits, uint32_t users);
// Frees what the day step keeps of the closed days (with the context).
void ReleaseDayBook(AnalysisContext* context);
// The text CloseDay keeps for the day of `time` (kDayTextSize bytes).
void DayTextOf(const AnalysisContext* context, uint32_t time, char* day);
// Posts one ended visit (item number `visit` of the session table).
void PostVisitDetails(AnalysisContext* context, uint32_t visit);
// PostVisitDetails for every visit of the session table, in item order.
void PostOpenVisits(AnalysisContext* context);

// ---- finishing and sorting ---------------------------------------------------------
// Finishes the run's context (FinishAnalysisContext), clears the run's locked
// pointer and detaches the tables' working item views. Returns the context's
// handle, 0 when the run has none.
KvGlobal CloseSummary(ReportHandle* run);
// CloseDay(0), PostOpenVisits, SortAllTables with twin merging.
void FinishAnalysisContext(AnalysisContext* context);
void SortAllTables(AnalysisContext* context, int mergeTwins);

enum SortMode : int { kSortByHits = 0, kSortByUsers = 1, kSortByAverageTime = 2 };
// Sorts the first Count entries of Items (descending by the mode's key).
void SortTable(SummaryTableEntry* table, int mode);
// Tables with an overflow item: item 0 stays first; with mergeTwins the live
// twins of retired items are merged into them first.
void SortNamedTable(SummaryTableEntry* table, int mode, int mergeTwins);
void MergeTopTwins(SummaryTableEntry* table);

// qsort comparators on two NameTableEntry* (descending).
int CompareByHits(const void* a, const void* b);
int CompareByUsers(const void* a, const void* b);
int CompareByAverageTime(const void* a, const void* b);

// ---- time grid and texts -------------------------------------------------------------
// Sets the context's slot count, interval scale index and seconds per slot
// from the run's window and the report options' interval scales.
void ChooseGraphInterval(ReportHandle* run);
// Grid choice on a context directly (window start and end given).
void ChooseGraphIntervalFor(AnalysisContext* context, uint32_t start, uint32_t end);
// The context's range text: "%D %T - %D %T" of the run's window.
void FormatRangeText(ReportHandle* run);
void FormatRangeTextFor(AnalysisContext* context, uint32_t start, uint32_t end);

// ---- report options --------------------------------------------------------------------
// Frees the run's context's report options and clears the pointer (locks the
// context when the run holds no locked pointer).
void ReleaseReportOptions(ReportHandle* run);
// (The record itself is freed by FreeReportOptions, report_settings.h.)

}  // namespace vrn

#endif
