/* The ad views file ADVIEWS.TXT of the program folder: one advertisement a
 * line as three double-quoted fields. */
#ifndef VORNIC_ADVIEWS_H
#define VORNIC_ADVIEWS_H

#include <stdint.h>
#include <stdio.h>

#include <vornic/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Longest line (without its line end) and the size the out texts need. */
#define ADVIEWS_LINE_SIZE 1024

/* Opens the engine folder's ADVIEWS.TXT; null when missing. */
VORNIC_API FILE* VRN_OpenAdViewsDataFile(void);
/* Reads the next line: 1 with b = first, c = second and a = third field (a
 * line without a double quote also gives 1 and leaves them), 0 at the end of
 * the file, -1 for a line with fewer than three quoted fields (message box;
 * the file is then closed and must not be used again). Each out text holds
 * ADVIEWS_LINE_SIZE bytes. */
VORNIC_API int32_t VRN_GetAdViewsEntry(FILE* file, char* a, char* b, char* c);
/* Closes the file (null is ignored). */
VORNIC_API void VRN_CloseAdViewsDataFile(FILE* file);

#ifdef __cplusplus
}
#endif

#endif
