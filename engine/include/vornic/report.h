/* Report runs and the profile store.
 *
 * A run walks the records of a profile's logs that fall inside a time
 * window: VRN_Cre8Report creates it and returns a handle, VRN_PeekReport is
 * called until it answers -1, VRN_CloseReport ends it (also after a failed
 * step). Only one run exists at a time in the library.
 *
 * Report kinds: 2 detailed text view, 3 text view by visit, 4 text view
 * whose files are kept after the run, any other value except 5 and 6 a text
 * view whose files are deleted at close, 5 count only, 6 analysis database
 * (the hits go into the run's analysis, which VRN_DoSummary then writes as
 * a report). */
#ifndef VORNIC_REPORT_H
#define VORNIC_REPORT_H

#include <stdint.h>

#include <vornic/export.h>
#include <vornic/profile.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Error words. */
#define VRN_ERR_NO_DATA 0x8002     /* every log file that opened was empty */
#define VRN_ERR_FILE 0x8008        /* a log or view file could not be opened or written */
#define VRN_ERR_NO_MEMORY 0x8009
#define VRN_ERR_BAD_ARGUMENT 0x800A  /* an argument out of range (kind, handle, text too long) */
#define VRN_ERR_NOT_AVAILABLE 0x800B /* not available: a run kind this build lacks, or a remote log with no fetched copy */

/* Creates a run. Returns 0 with the run's handle in *outHandle, or -1 with
   *outHandle = 0 and the reason in *errorWord (0 when the window simply holds
   no record). The run fills *profile from profileFile: the record's filter
   list and database-lookup settings are freed first, so the record must be
   zero-filled or one that VRN_GetSet (or an earlier run) filled; a record
   with stray pointers in those fields is not safe to pass. viewFolder is expanded in place (it must hold 300 bytes).
   A failed write of the text view's header fails the run like any other
   failure (-1, VRN_ERR_FILE). */
VORNIC_API int16_t VRN_Cre8Report(uint32_t clientTag, uint16_t slot, DravelEntry* profile, const char* profileFile,
                                  const char* viewCaption, char* viewFolder, uint32_t* outHandle,
                                  uint32_t lineWidth, uint16_t realtimeOption, uint32_t startTime,
                                  uint32_t endTime, uint32_t kind, uint32_t variant, const char* styleName,
                                  const char* language, const char* reportHeader, uint32_t sectionListHandle,
                                  uint16_t sectionCount, uint16_t* errorWord);

/* One step: 0 call again, -1 finished (percent 100 after a normal end) or
   failed (*errorWord non-zero). *yieldWord (may be null) is set to 1 when the
   client should let its message loop run; the engine never clears it. */
VORNIC_API int16_t VRN_PeekReport(uint16_t slot, uint32_t handle, uint32_t* yieldWord, uint16_t* errorWord);

/* Ends the run and frees the handle. Returns 0. */
VORNIC_API int16_t VRN_CloseReport(uint16_t slot, uint32_t handle, uint16_t* errorWord);

/* The log side of a run (used by VRN_Cre8Report and VRN_PeekReport). */
VORNIC_API int16_t RemoteADT_Cre8Report(uint16_t slot, DravelEntry* profile, const char* profileFile,
                                        uint32_t startTime, uint32_t endTime, uint64_t* fileStart,
                                        uint64_t* fileEnd, char* firstLocation /* 260 bytes */,
                                        uint32_t clientTag, uint32_t* dnsOn, uint16_t* errorWord);
/* hit is the run's hit record (internal layout). Returns 3 hit, 2 nothing
   this time, 1 end of the current file. */
VORNIC_API int16_t RemoteADT_GetReportRecord(DravelEntry* profile, uint16_t slot, uint16_t* bufferSize, void* hit,
                                             int32_t* pending, uint64_t* position, uint32_t handle,
                                             uint16_t* errorWord);
VORNIC_API int16_t RemoteADT_CloseReport(uint16_t slot, uint16_t* errorWord);

/* Accessors of a run (0 on a bad handle). */
VORNIC_API uint32_t ADT_GetReportDonePercent(uint32_t handle);
VORNIC_API uint32_t ADT_GetReportRecCount(uint32_t handle);
/* The lines of the run's logs read so far: all of them, those that were not
   recognised as a log line (comments, directives and blank lines aside), and
   those skipped (holding a zero byte, longer than the reader's buffer, or with
   an unknown request method). 1, or 0 on a bad handle or a null pointer. */
VORNIC_API int16_t ADT_GetReportLineCounts(uint32_t handle, uint64_t* lines, uint64_t* unrecognised,
                                           uint64_t* skipped);
/* OS file descriptor of the viewed buffer's file (reopened when closed), or -1. */
VORNIC_API intptr_t ADT_GetReportASCII_fh(uint32_t handle);
/* The viewed buffer's file path; at most size - 1 characters and a zero. */
VORNIC_API void ADT_GetReportASCII_Filename(uint32_t handle, char* out, uint32_t size);
VORNIC_API void ADT_AttachLongToReport(uint32_t handle, uint32_t value);
VORNIC_API int32_t ADT_ViewReportCount(uint32_t handle);
VORNIC_API int32_t ADT_GetViewReportBufferNum(uint32_t handle);
/* The buffer's title, valid until VRN_CloseReport; NULL for a bad index. */
VORNIC_API const char* ADT_GetViewReportDescPtr(uint32_t handle, int32_t index);
VORNIC_API uint32_t ADT_SetViewReportBuffer(uint32_t handle, int32_t index);
VORNIC_API uint32_t ADT_PreviousViewReportBuffer(uint32_t handle);
VORNIC_API uint32_t ADT_NextViewReportBuffer(uint32_t handle);

/* ---- the profile store ------------------------------------------------
   Profile records returned by VRN_GetSet and LogGetNextProfile belong to the
   client. They are allocated with the C allocator (calloc) together with
   their filter list and lookup settings; release one with VRN_FreeSet (which
   is FreeFiltersForProfile, FreeMorvane of both lookups, then free()). */

typedef void (*VrnStatusCallback)(const char* description);

/* Reads profile directory + name into a new record, or NULL. */
VORNIC_API DravelEntry* VRN_GetSet(const char* profileFile);
/* Releases a record from VRN_GetSet or LogGetNextProfile (NULL is allowed). */
VORNIC_API void VRN_FreeSet(DravelEntry* profile);
/* Writes the profile file. 0 success, -1 failure. */
VORNIC_API int16_t VRN_PutSet(const DravelEntry* profile);
/* The next readable profile of the profile directory as a new record, or NULL
   when the enumeration is over (the next call starts a new one). Unreadable
   profile files are skipped. */
VORNIC_API DravelEntry* LogGetNextProfile(DravelEntry* const* clientProfiles, uint16_t count,
                                          VrnStatusCallback status);
/* Refreshes the profile's log times and kinds. Returns 1. */
VORNIC_API int32_t LogFastRefresh(DravelEntry* profile, uint32_t unused1, uint32_t unused2, VrnStatusCallback status);
/* Deletes a profile file (with its realtime data when realtime is 1 and its
   download list). Returns 0, or -1 when the profile file could not be
   deleted. */
VORNIC_API int16_t VRN_DeleteSet(DravelEntry* profile, const char* profileFile, uint32_t realtime, uint32_t unused);
/* Option list of a filter field: *list (a malloc block or NULL, reallocated
   here) receives the title and NUL-separated name/value pairs; *count the
   pair count. 0 success, -1 with *errorWord set. */
VORNIC_API int16_t ADT_GetFilterOptionList(uint32_t unused, uint32_t fieldTable, uint16_t record, uint16_t field,
                                           char** list, uint16_t* count, uint16_t* errorWord);

#ifdef __cplusplus
}
#endif

#endif
