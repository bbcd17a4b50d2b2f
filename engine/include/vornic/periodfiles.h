/* Realtime analysis folders: where a profile keeps its per-day database
 * files. */
#ifndef VORNIC_PERIODFILES_H
#define VORNIC_PERIODFILES_H

#include <stdint.h>
#include <vornic/export.h>
#include <vornic/profile.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the folder buffers of ConvertDravelFileToRealTimeDir. */
#define VRN_REALTIME_DIR_SIZE 260

/* The profile's realtime base folder: its PellavarRepository when that is
   not empty, else `dataFile` with its extension (from the last ".") replaced
   by ".dat" (a path without "." is taken as it is). With `intervalFolder`
   not null it also receives base + "\" + the interval's folder name
   (0 "daily", 1 "weekly", 2 "monthly", 3 "quartrly", 4 "yearly").
   Both buffers hold VRN_REALTIME_DIR_SIZE bytes. Returns 1, or 0 (buffers
   set to "") when an argument is missing, the interval is unknown or a
   folder would not fit. */
VORNIC_API int ConvertDravelFileToRealTimeDir(const DravelEntry* profile, const char* dataFile, char* folder,
                                              char* intervalFolder, int interval);

#ifdef __cplusplus
}
#endif

#endif
