// The log file list of a profile and the time-window search inside a log.
//
// A profile names its logs by one location text: local paths with
// wildcards (several separated by "|"), an "http://" or "ftp://" address, a
// "file:///" address or an "odbc:" source. BuildLogFileList turns a location
// into concrete log names (extracting ZIP and gzip archives on the way);
// FindLogTimeRange finds, inside one open log, the byte range whose records
// fall into a time window by bisection over file offsets.
#ifndef VORNIC_CORE_LOG_FILE_LIST_H
#define VORNIC_CORE_LOG_FILE_LIST_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include <vornic/profile.h>

#include "engine/core/hit_record.h"
#include "engine/core/log_source.h"

namespace vrn {

// Width of a listed name (a path, an "odbc:" text, or the extracted-file
// marker followed by an extracted file's path), terminator included.
constexpr size_t kLogNameWidth = 512;

// One listed log. The size is kept in 64 bits so that logs beyond 4 GB are
// counted right (the record lives only in memory).
struct LogNameEntry {
  char name[kLogNameWidth];
  uint64_t size;       // bytes
  uint32_t writeTime;  // last write, seconds (0 = unknown)
};

// Location kinds (ParseLogLocation).
enum : uint16_t {
  kLocationLocal = 0,
  kLocationFtp = 1,
  kLocationHttp = 2,
  kLocationOdbc = 4,
};

// Archive kinds of a listed element (LogListSummary::ArchiveKind and
// ClassifyLogArchive).
enum : uint16_t {
  kArchivePlain = 0,
  kArchiveZip = 1,
  kArchiveOdbc = 2,
  kArchiveGzip = 3,
};

// Bits of DravelEntry::LogKindFlags set while listing.
enum : uint16_t {
  kLogKindZip = 8,
  kLogKindGzip = 16,
  kLogKindOdbc = 32,
};

// Modes of SeekLogToTime.
enum : int {
  kSeekWindowEnd = 0,
  kSeekWindowStart = 1,
};

// True when the text begins with "odbc:" in any letter case.
bool IsOdbcLocation(const char* location);

// Classifies a location and splits it. outPath receives the local path (or
// the remote path, "/" when none); outHost (may be null) the host of a remote
// location, empty otherwise; outPort (may be null) the port (21 ftp, 80 http
// unless the location gives one). Every copy is bounded by the given sizes.
// A relative local path is kept whole (the caller expands it against the
// profile's folder with NormalizeLogPath). Returns a kLocation* kind.
uint16_t ParseLogLocation(char* outPath, size_t pathSize, const char* location, char* outHost, size_t hostSize,
                          uint16_t* outPort);

// The full path of a local location's path part (from ParseLogLocation): date
// macros expanded and ".\" / "..\" taken against the profile folder as
// NormalizeLogPath does, and any other relative path ("logs\x.log",
// "ex*.log") put under the profile folder too, so that a profile finds its
// logs wherever the process was started.
std::string ResolveLocalLogPath(const char* path, const std::string& profileFolder, time_t now);

// Lists the logs of a location. callerValue is passed on to the extraction;
// profile (may be null) receives LogKindFlags bits and gives the name of its
// temporary ZIP folder and its ODBCDataSource; with extract set, ZIP and gzip
// archives are extracted and their members listed, and an "odbc:" location
// is prepared and listed. Returns the list (free with FreeLogFileList) with
// its length in *count and the summary filled, or null when nothing matched.
LogNameEntry** BuildLogFileList(uint32_t callerValue, DravelEntry* profile, const char* location, uint16_t* count,
                                LogListSummary* summary, uint32_t extract);
// Frees each entry and the array; null or a count of 0 does nothing.
void FreeLogFileList(LogNameEntry** list, uint16_t count);

// Appends one entry to a list grown one pointer at a time (*count follows).
// False, with the list unchanged, when the name does not fit kLogNameWidth
// whole, the count is full or memory is short.
bool AppendLogNameEntry(LogNameEntry*** list, uint16_t* count, const std::string& name, uint64_t size,
                        uint32_t writeTime);
// A file's last-write time as a listed write time (0 when unknown or beyond
// 32 bits).
uint32_t LogWriteTime(std::time_t t);

// Preparation of an "odbc:" log source (the connection string without
// "odbc:"): 1 when its rows are ready. The ODBC log source registers it;
// until one is registered, "odbc:" locations list nothing.
typedef int (*OdbcLogPreparer)(const char* connection);
void RegisterOdbcLogPreparer(OdbcLogPreparer preparer);

// Sets the reader's date layout to the code and returns 1 when it is one of
// 8, 9, 10, 34, 35, 36; otherwise sets no layout (0) and returns 0.
int SetLogFormatHint(uint32_t code);

// Finds where a record starts at or before offset: for a row source by row
// arithmetic, for a file by FindRecordStartInFile. True with *start set; false
// (and *start = 0, so that a caller reads from the start) when the source
// cannot be positioned or read.
bool FindRecordStart(LogSourceHandle source, uint64_t offset, uint64_t* start);
// The file form: walks back from offset over 4096-byte chunks (never reading
// at or past offset) to the line end before the last non-blank byte; blank
// tails (spaces, tabs, zero bytes, line ends) are passed over. A start of 0
// is a real answer (the first record, or nothing but blanks before offset).
bool FindRecordStartInFile(LogSourceHandle source, uint64_t offset, uint64_t* start);

// Finds the byte range of the open log whose records lie in [startTime,
// endTime] (both seconds inclusive). 0 with *startOffset = start of the first
// record in the window, *endOffset = start of the last record in the window
// (or the end of the last record of the file when the window ends at it),
// *firstTime / *lastTime (may be null) = times of the first and last record
// in the window. -1 when the log holds no readable record or no record in
// the window. profile may be null.
int16_t FindLogTimeRange(LogSourceHandle source, const DravelEntry* profile, uint32_t startTime, uint32_t endTime,
                         uint64_t* startOffset, uint64_t* endOffset, uint32_t* firstTime, uint32_t* lastTime);

// The time of the first record of the open log, wherever it lies. False when
// the log holds no readable record.
bool ReadFirstHitTime(LogSourceHandle source, uint32_t* time);

// Seeks inside [lower, upper) for a time. Mode kSeekWindowStart: the start of
// the first record whose time is not before `time`. Mode kSeekWindowEnd: the
// start of the last record whose time is not after `time` (upper when the
// records up to upper all are). 1 with *offset set, 0 when there is no such
// record. hit is the record to read into (its line is freed after each read).
int SeekLogToTime(LogSourceHandle source, const DravelEntry* profile, int mode, HitRecord* hit, uint32_t time,
                  uint64_t* offset, uint64_t lower, uint64_t upper);

// Quick refresh of a profile's log times: LogSizeKB from the listed sizes,
// FirstLogTime from the first record of the oldest log and LastLogTime from
// the last record of the newest one (skipped for archives). 1 on success.
int UpdateProfileLogTimes(DravelEntry* profile, const char* location);

// Full refresh of a profile's log status: lists (with extraction), scans
// every log's first and last record, trying other date layouts when the
// profile's own gives bad files. profiles (may be null) is an array of count
// profiles whose status may be reused. 1 when the status was set.
int GetProfileLogStatus(uint32_t callerValue, DravelEntry* profile, const char* location,
                        const DravelEntry* profiles, uint16_t count, uint32_t unused);

// Scans each listed log's first and last record time. first/last/kilobytes
// are in/out; *bad receives the number of bad logs (no record, or first time
// after last time). With stopAtBad, the first bad log ends the scan with 0.
// 1 when all names were scanned.
int ScanLogTimes(const DravelEntry* profile, LogNameEntry* const* list, uint16_t count, bool stopAtBad,
                 uint32_t* firstTime, uint32_t* lastTime, uint32_t* kilobytes, uint32_t* bad);

}  // namespace vrn

#endif
