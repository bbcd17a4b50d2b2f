// The realtime update and the realtime report's reading of stored days.
//
// A profile with realtime analysis keeps one analysis database per day (the
// period files indexed by master.dat, database_files.h). The update brings
// the first day that is not complete up to date, one day per call: it loads
// what the day already holds, adds the log records that are new since the
// last update, waits for their name lookups, saves the day and advances the
// day's master record. The realtime report first brings the open days of
// its range up to date, then loads every day of the range and merges it
// into the report's database.
#ifndef VORNIC_DATABASE_REALTIME_UPDATE_H
#define VORNIC_DATABASE_REALTIME_UPDATE_H

#include <cstdint>
#include <string>

#include <vornic/profile.h>

namespace vrn {

struct ReportHandle;
struct RealtimeStore;
struct MasterRecord;

// Result codes of the day step (AddNewRecords' detail).
enum : uint32_t {
  kDayNothingNew = 1,    // no log file had records newer than last added
  kDayAdded = 2,         // records were added (replaced by the save result)
  kDayNothingToAdd = 3,  // no log file, the day did not load, or a file stopped
  kDayCancelled = 4,     // cancelled by the client, or the ODBC store failed
  kDayComplete = 5,      // the day was saved and is complete
  kDayWriteFailed = 6,   // writing the period file failed
  kDaySaved = 7,         // the day was saved (or nothing needed saving)
};

// Results of DoRealtimeReport.
enum : int {
  kRealtimeReportOk = 0,
  kRealtimeReportStoreError = 2,
  kRealtimeReportNoStorage = 4,
  kRealtimeReportBadDay = 5,
  kRealtimeReportStopped = 7,   // cancelled, update failed or a merge failed
  kRealtimeReportNoData = 22,
};

// Receives the status texts of the update and report passes (records added,
// day being read).
typedef void (*RealtimeStatusFn)(const char* text);

// One update step for the profile's logs at `location` (the expanded log
// location). `bytesTaken` receives the bytes of log added, `upToDate` 1 when
// no further call is needed. 1 when the step ran, 0 on failure.
int UpdateRealtimeDatabase(const char* location, DravelEntry* profile, uint32_t slot, uint64_t* bytesTaken,
                           uint32_t* upToDate);

// The day step for `record` (the store's cursor stands on it). Leaves a code
// of the table above in *detail; returns 1 or 0.
int AddNewRecords(DravelEntry* profile, uint32_t slot, MasterRecord* record, RealtimeStore* store,
                  const char* location, RealtimeStatusFn status, uint64_t* bytesTaken, uint32_t* detail);

// Loads the day into the run's context, or gives a missing or empty day
// fresh tables. 1, or 0 for a bad file.
int LoadOrCreateDay(const MasterRecord* record, RealtimeStore* store, ReportHandle* run, const char* profileFile);

// The time up to which the log at `path` can be added to the day now (0 when
// it has nothing new). *dayEnds = 1 when the day ends inside this log;
// *offset = where adding will stop.
uint32_t FindLastUniqueDate(ReportHandle* run, const MasterRecord* record, const char* path, int newestFile,
                            uint32_t* dayEnds, uint64_t* offset);

// How a day that keeps the place it reached in its log reads the log.
struct LogRange {
  bool byPosition = false;      // go on from `begin` (else find the day's start by time)
  uint64_t begin = 0;
  uint64_t wholeLinesEnd = 0;   // reading stops here (the end of the last whole line)
  uint64_t stopOffset = 0;      // out: where the next update goes on
  uint32_t newest = 0;          // out: the newest time added
  bool pastDay = false;         // out: the log went on well past the day
};

// Adds one log's records newer than the day's last added time, up to
// `limit`. 2 added, 3 nothing or stopped, 4 cancelled, 1 when the day is
// already complete, 0 when the log cannot be read. *startOffset = where
// adding began. With `range`, every record of the day after the place
// reached is added whatever its time order (limit is not used when the day
// has nothing yet or range->byPosition), up to range->wholeLinesEnd.
int AddToCurrentDatabase(uint32_t slot, const MasterRecord* record, const char* path, uint32_t limit,
                         uint32_t fileIndex, uint32_t fileCount, ReportHandle* run, RealtimeStatusFn status,
                         uint64_t* startOffset, LogRange* range = nullptr);

// The realtime report over [rangeStart, rangeEnd]: brings the range's open
// days up to date, then (unless updateOnly) loads each day and merges it
// into `run`'s context. 0 merged (or update only), 22 no day held data, 4 no
// realtime storage, 2 store error, 5 bad period file, 7 cancelled or failed.
int DoRealtimeReport(DravelEntry* profile, const char* profileFile, uint32_t rangeStart, uint32_t rangeEnd,
                     const char* runText, ReportHandle* run, RealtimeStatusFn status, int updateOnly);

// Loads one day for the report into `day` (cloned from `source`): 0, or 5
// for a bad period file.
int OpenRealtimeDay(RealtimeStore* store, const MasterRecord* record, ReportHandle* day, ReportHandle* source,
                    const char* profileFile, const char* runText);

// Removes the profile's realtime database (period files, master.dat and
// folders, or the ODBC tables): 1, or 0 (told through the error display)
// when it is in use or could not be removed.
int DeleteRealtimeData(DravelEntry* profile);

// Releases the run's report options, its context's lists and its context.
void FreeHandleContext(ReportHandle* run);

// The profile's log location as the realtime code reads it: LogFilePath
// without a leading "file:///", a local path expanded against the profile
// directory.
std::string RealtimeLogLocation(const DravelEntry* profile);

// A status text of the client's resources with one argument put in place of
// its first "%d", "%u", "%ld", "%lu" or "%s" ("%%" gives "%"); any other "%"
// stays as it is, so that the client's text is never used as a format.
std::string FormatStatusText(const char* text, const std::string& argument);

// Process-wide progress state of the update (for tests).
void ResetRealtimeProgress();

}  // namespace vrn

#endif
