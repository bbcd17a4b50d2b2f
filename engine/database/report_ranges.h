// Calendar arithmetic of the analysis database: the five period kinds of the
// realtime store (day, week, month, quarter, year) with their starts, ends,
// slot layouts and display names; the report ranges that a range code turns
// into a start and an end time (with the month-slot modes of the year
// ranges); and the time span of a profile's data (its logs' first and last
// hit, and the first and last time held by its realtime master records).
#ifndef VORNIC_DATABASE_REPORT_RANGES_H
#define VORNIC_DATABASE_REPORT_RANGES_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include <vornic/profile.h>

namespace vrn {

struct AnalysisContext;

// Period kinds.
enum : uint32_t {
  kPeriodDay = 0,
  kPeriodWeek = 1,
  kPeriodMonth = 2,
  kPeriodQuarter = 3,
  kPeriodYear = 4,
};

// Longest period name, terminator included.
constexpr size_t kIntervalNameSize = 100;

// 1 when the year (counted from 1900) is a leap year, else 0.
int IsLeapYear(uint16_t yearsSince1900);
// Days of month 0..11 of the year (counted from 1900).
int MonthLength(int month, int yearsSince1900);

// Start, last second and following start of the period of `kind` that holds
// t. Times count the log's clock as if it were UTC (as hit times do), so the
// machine's time zone does not move a period. Kinds above 4 give t.
uint32_t GetIntervalStart(uint32_t kind, uint32_t t);
uint32_t GetIntervalEnd(uint32_t kind, uint32_t t);
uint32_t GetNextIntervalStart(uint32_t kind, uint32_t t);
// Slot count, interval scale index and seconds per slot of a period kind;
// nothing for other kinds.
void SetIntervalSlots(uint32_t kind, AnalysisContext* context);
// The period's display name ("%d/%s/%d" by the date order for a day, "Week of
// ...", "<month>, <year>", "Q<n>, <year>", "<year>"), at most size - 1
// characters. An empty text for other kinds.
void FormatIntervalName(uint32_t kind, uint32_t t, char* out, size_t size);
// Forgets the month names of period names, so that they are read again.
void ResetIntervalNames();

// Short month name of a month slot (12..23 stand for the months of the
// second year) from the context's report options; empty without options.
void GetMonthLabel(uint16_t index, const AnalysisContext* context, char* out, size_t size);

// The report range of a range code; start and end hold the data's first and
// last time on entry. Returns the code, or the last month boundary for the
// codes that switch a month-slot mode on. Exported as
// VRN_CalculateRealtimeReportRange.
uint32_t CalculateReportRange(uint16_t code, uint32_t* start, uint32_t* end);

// The fields of one master record (the day's period file name, its first
// and last second, and the time up to which its logs have been added).
struct MasterRecordFields {
  char fileName[21];
  uint32_t start;
  uint32_t end;
  uint32_t lastAdded;
};
// Layout of "master.dat": a 448-byte header starting with the format word,
// then 64-byte records.
constexpr size_t kMasterFileHeaderBytes = 448;
constexpr size_t kMasterFileRecordBytes = 64;
constexpr uint32_t kMasterFileFormatWord = 4;

// The records of a "master.dat" image; false when it is shorter than its
// header or has the wrong format word. A trailing partial record is ignored.
bool ParseMasterImage(const uint8_t* data, size_t size, std::vector<MasterRecordFields>* records);
// Reads the records of a "master.dat" file without changing it. False when
// the file does not open, is shorter than its header or has the wrong
// format word; a trailing partial record is ignored.
bool ReadMasterFile(const std::string& path, std::vector<MasterRecordFields>* records);
// The path of a profile's "master.dat" (file storage), "" when it cannot be
// formed.
std::string ProfileMasterPath(const DravelEntry* profile);
// The master records of a profile's realtime store (file or ODBC storage),
// read without creating or widening anything. False when there are none.
bool ReadProfileMasterRecords(DravelEntry* profile, std::vector<MasterRecordFields>* records);

// The profile's realtime first and last time from its master records (both 0
// when realtime analysis is off or no record holds data). Reads the records
// without creating or widening anything.
void GetRealtimeDateRange(DravelEntry* profile);
// Widens the profile's realtime first and last time by one master record.
void WidenRealtimeDateRange(DravelEntry* profile, uint32_t recordStart, uint32_t recordEnd, uint32_t lastAdded);

// First and last hit time over the logs of a location: 1 when a first time
// below 0xFFFFFFFF and a last time other than 0 were found.
int LogFilesTimeSpan(DravelEntry* profile, const char* location, uint32_t* first, uint32_t* last);

// Tells the client (through its error display) that a database file could
// not be written: text 5675 of its resource module, or `text` in its place
// (still numbered 5675) when the cause is another.
void ReportDatabaseWriteError(const char* text = nullptr);

}  // namespace vrn

#endif
