/* Report writing: the report of an analysis run (VRN_DoSummary), the report
 * of a realtime profile from its stored days (VRN_DoRealtime) and the text of
 * the last failure of report writing (VRN_GetSummaryErrMsg).
 *
 * Both report calls run on the client's thread and return when the report
 * file is complete. The output file's extension decides the output kind:
 * "doc" or "xls" (first three characters, any case) a document report,
 * "txt" a text report, anything else HTML. */
#ifndef VORNIC_SUMMARY_H
#define VORNIC_SUMMARY_H

#include <stddef.h>
#include <stdint.h>

#include <vornic/export.h>
#include <vornic/profile.h>
#include <vornic/registration.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Told of every file a report writes or copies, before it is written, and
   of status texts: (1, full path, flag) with flag 1 for a supporting file
   (logo, pictures, chart images) and 0 for a report page (the output file,
   the frame files); (0, status text, 0) for a status text. The result is not
   used. */
typedef int32_t (*ReportFileCallback)(int32_t kind, const char* path, int32_t flag);

/* Client function called once the tables of a realtime report are sorted. */
typedef void (*VrnTablesSortedCallback)(void);

/* Writes the report of an analysis run (kind 6) whose records have all been
   read: finishes and sorts the tables, then writes the report to the run's
   output path from its working template. Returns the global-memory handle
   of the run's analysis database, or 0 when the run could not be locked or
   holds no analysis. A failure of the writing itself is not seen in the
   result: it shows only in the summary error text. The handle belongs to
   the run; VRN_CloseReport frees it. */
VORNIC_API KvGlobal VRN_DoSummary(uint32_t reportHandle, VrnPercentCallback percent, ReportFileCallback fileCallback);

/* Mode value: the output path is used exactly as given. */
#define VRN_REALTIME_EXACT_PATH 3

/* Writes the report of a realtime profile over the window start..end from
   its stored days (or, with updateOnly non-zero, only brings the stored days
   up to date). Returns 0 when the report was written or the profile keeps no
   realtime store, 7 or 1 when the realtime report could not be made, and
   with updateOnly the update's own result. */
VORNIC_API uint16_t VRN_DoRealtime(DravelEntry* profile, const char* outputPath, const char* styleName,
                                   VrnPercentCallback percent, ReportFileCallback fileCallback, uint16_t mode,
                                   uint32_t startTime, uint32_t endTime, VrnTablesSortedCallback tablesSorted,
                                   const char* language, KvGlobal sectionList, uint16_t sectionCount,
                                   uint32_t updateOnly);

/* Copies the last failure of report writing (nothing clears it when a report
   succeeds) into buffer: at most size - 1 characters and a zero (nothing when
   size is 0). Returns buffer. */
VORNIC_API char* VRN_GetSummaryErrMsg(char* buffer, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
