/* The engine's folders and INI files, log path expansion, date helpers and
 * the charting library start. */
#ifndef VORNIC_SETTINGS_H
#define VORNIC_SETTINGS_H

#include <time.h>

#include <vornic/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of every path out buffer of this family, terminating zero included. */
#define VRN_PATH_SIZE 260

/* Paths use "/" as separator. The engine's folder is the folder of the
   module given to VRN_InitApplicationPath, else that of libVornic.so. */
VORNIC_API void VRN_InitApplicationPath(KvModule module);
/* Each writes into a buffer of at least VRN_PATH_SIZE characters. */
VORNIC_API char* BuildBaseIniPath(char* out);     /* returns the file-name part of out */
VORNIC_API void GetBaseIniPath(char* out);        /* <folder>kelvaron.ini */
VORNIC_API void GetModuleIniPath(char* out);      /* <folder>kvm_log/kvm_log.ini */
VORNIC_API void VRN_GetMainPath(char* out);       /* <folder>kvm_log/ */
VORNIC_API void VRN_GetExePath(char* out);        /* <folder> */
VORNIC_API void VRN_GetDatfilesPath(char* out);   /* <folder>kvm_log/datfiles/ */

/* Typed access to the base INI (kelvaron.ini) and the module INI. String
   reads copy at most size - 1 characters and a zero and return the length. */
VORNIC_API int32_t GetBaseProfileInt(const char* section, const char* key, int32_t def);
VORNIC_API int32_t GetModuleProfileInt(const char* section, const char* key, int32_t def);
VORNIC_API uint32_t GetBaseProfileString(const char* section, const char* key, const char* def, char* out,
                                         uint32_t size);
VORNIC_API uint32_t GetModuleProfileString(const char* section, const char* key, const char* def, char* out,
                                           uint32_t size);
VORNIC_API KvBool WriteBaseProfileString(const char* section, const char* key, const char* value);
VORNIC_API KvBool WriteModuleProfileString(const char* section, const char* key, const char* value);
VORNIC_API KvBool WriteBaseProfileInt(const char* section, const char* key, int32_t value);
VORNIC_API KvBool WriteModuleProfileInt(const char* section, const char* key, int32_t value);

/* Expands a log path in place: a leading "..\" or ".\" (also with "/")
   against base, then the date macros (%yyyy%, %mm%, %dd%, %date-n%, ...).
   The result is cut to fit the buffer, whose size is taken as the larger of
   VRN_PATH_SIZE and the length of the given path plus one. Returns path. */
VORNIC_API char* NormalizeLogPath(char* path, const char* base);

/* mktime with two-digit years 00-69 meaning 2000-2069 (tm_year below 70
   gains 100). Normalises *t as mktime does. */
VORNIC_API time_t Y2K_mktime(struct tm* t);

/* Wall-clock seconds (the given local date and time counted as if it were
   UTC) of month 0-11, day 1-31, year as years since 1900 (below 70 gains
   100), stored through out. */
VORNIC_API void Y2K_mktimeEx(uint16_t hour, uint16_t minute, uint16_t second, uint16_t month, uint16_t day,
                             uint16_t year, uint32_t* out);

/* Starts the charting library (mode 1 by the client once, mode 0 by each
   report run; only one of them acts, depending on the system). */
VORNIC_API void InitGSWLibrary(uint32_t mode, KvHandle impersonationToken);

#ifdef __cplusplus
}
#endif

#endif
