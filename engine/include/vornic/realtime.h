/* Realtime analysis: the day-by-day update of a profile's realtime
 * database, its deletion, the report ranges of a range code and the time
 * span of a profile's logs. */
#ifndef VORNIC_REALTIME_H
#define VORNIC_REALTIME_H

#include <stdint.h>
#include <vornic/export.h>
#include <vornic/profile.h>
#include <vornic/registration.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results of VRN_UpdateRealtime. */
#define VRN_REALTIME_CANCELLED 4
#define VRN_REALTIME_UP_TO_DATE 6
#define VRN_REALTIME_MORE_WORK 1
#define VRN_REALTIME_FAILED 3

/* Brings one day of the profile's realtime database up to date (the first
   day not yet complete). The progress callback receives (slot, status
   text, records, percent or -1, rate); an answer of 7 cancels. Returns 4
   when cancelled (also by VRN_AbortRealtimeAnalysis), 6 when the database
   is up to date, 1 when more work remains (call again), 3 when the step
   failed (the logs are missing, the store cannot be opened, locked or
   written; the reason went to the error display). */
VORNIC_API uint32_t VRN_UpdateRealtime(uint32_t slot, DravelEntry* profile, VrnProgressCallback progress);

/* Updates the realtime databases of `count` profiles (null entries are
   skipped) pass after pass until each is up to date or the client cancels.
   Returns 0. */
VORNIC_API int16_t OLD_UpdateRealtime(uint16_t count, DravelEntry** profiles, VrnProgressCallback progress);

/* Deletes the profile's realtime database (its per-day files, master.dat
   and folders, or its ODBC tables) when the profile keeps one. Returns 1,
   or 0 when it is in use by another update, cannot be reached or could not
   be removed (the reason went to the error display). */
VORNIC_API int32_t VRN_DeleteRealtimeDatabase(DravelEntry* profile);

/* Turns a range code into a report range. On entry *start and *end hold the
   first and last time of the profile's realtime data; on return the range.
   Returns the code, or for the year codes that switch on month slots (21,
   23, 39, 41, 48 twelve months; 24 twenty-four months) the last month
   boundary. */
VORNIC_API uint32_t VRN_CalculateRealtimeReportRange(uint16_t code, uint32_t* start, uint32_t* end);

/* First and last hit time over the log files of a location (a listed path
   with wildcards, as the profile's LogFilePath after expansion). Returns 1
   when both were found; else 0 with *first 0xFFFFFFFF and *last 0. */
VORNIC_API int32_t GetLogFileStartAndEndTimes(DravelEntry* profile, const char* location, uint32_t* first,
                                              uint32_t* last);

#ifdef __cplusplus
}
#endif

#endif
