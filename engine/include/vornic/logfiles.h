/* Log files: deletion of log files and of the files extracted from a
 * profile's compressed logs. */
#ifndef VORNIC_LOGFILES_H
#define VORNIC_LOGFILES_H

#include <stdint.h>
#include <vornic/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Deletes every file (not folder) matching folder + pattern (wildcards in
   the pattern). Returns 1 when something matched, -1 when nothing did. */
VORNIC_API int32_t VRN_DeleteFiles(const char* folder, const char* pattern);

/* Deletes every file of the profile's temporary ZIP folder, the record of
   extracted members included, so that the next listing extracts again.
   Returns as VRN_DeleteFiles. */
VORNIC_API int32_t VRN_DeleteTempZIPFiles(const char* profileName);

#ifdef __cplusplus
}
#endif

#endif
