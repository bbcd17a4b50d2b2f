// The contract between the main program and its support libraries
// (plug-ins): the records the host reads, the numbering of the plug-in's
// entry points and of the host's callbacks, the result codes and the
// function types on both sides. A plug-in includes this header only.
//
// All functions use the C calling convention. Every pointer-size argument is
// passed as declared here; a plug-in must define its entry points with these
// exact types.
#ifndef KV_SHELL_PLUGIN_HOST_ABI_H
#define KV_SHELL_PLUGIN_HOST_ABI_H

#include <stdint.h>

#include "platform/base/kvtypes.h"
#include "platform/module/module.h" /* KvProc */

#ifdef __cplusplus
extern "C" {
#endif

/* Results of entry points and callbacks. */
#define KV_RESULT_DONE 1
#define KV_RESULT_FAILED 3
#define KV_RESULT_NO_MORE 5
/* Entry point 13 (poll): the plug-in still works on the profile / cancelled. */
#define KV_POLL_WORKING 1
#define KV_POLL_CANCELLED 4
/* Callback 10: the user asked to stop the analysis. */
#define KV_PROGRESS_STOP 7

/* Entry points of a plug-in (SupportFunctionId), asked for through
   IsFunctionSupported. */
typedef enum SupportFunctionId {
  kSupportGenerateReport = 1,
  kSupportEditProfile = 2,
  kSupportDeleteProfile = 3,
  kSupportCopyProfile = 4,
  kSupportEnumerateProfiles = 5,
  kSupportEditScheduledEvent = 7,
  kSupportDeleteScheduledEvent = 8,
  kSupportEnumerateScheduledEvents = 9,
  kSupportRunScheduledEvent = 11,
  kSupportUpdatePanelData = 12,
  kSupportPollProfile = 13,
  kSupportUnload = 14,
  kSupportSecondReport = 15,
  kSupportLibraryCommand = 19,
  kSupportTrayCommand = 21,
  kSupportCreateOptionPage = 22,
  kSupportCloseOptionPage = 23,
  kSupportStopAll = 24,
  kSupportHelpText = 26,
  kSupportAfterEnumeration = 28,
  kSupportColumnCaption = 29,
  kSupportSortCompare = 31,
  kSupportFunctionCount = 32 /* ids run from 1 to 32 */
} SupportFunctionId;

/* Host callbacks (HostCallbackId), handed over through SupplyCallback. */
typedef enum HostCallbackId {
  kHostSetStatus1 = 1,
  kHostSetStatus2 = 2,
  kHostSetStatus3 = 3,
  kHostSetProgress = 4,
  kHostNothing = 5,
  kHostCompareDescriptions = 6,
  kHostSplashText = 7,
  kHostFindProfile = 8,
  kHostAddSchedule = 9,
  kHostRealtimeProgress = 10,
  kHostFindSchedule = 11,
  kHostRemoveSchedule = 12,
  kHostAddProfile = 13,
  kHostRefresh = 14,
  kHostCreateReport = 15,
  kHostCallbackCount = 15 /* ids run from 1 to 15 */
} HostCallbackId;

/* A plug-in's profile as the host reads it (allocated, filled and freed by
   the plug-in; zero-filled before use). */
typedef struct ProfileEntry {
  int32_t type;
  int32_t libraryId;        /* routing key: the owning library's id */
  char description[80];     /* the list's sort key */
  char text[520];           /* shown in the panel */
  char profileFile[260];
  int32_t values[3];        /* shown in the panel */
  int32_t running;          /* non-zero while the plug-in works on it */
  int32_t key;
  int32_t reserved;
} ProfileEntry;

/* A plug-in's scheduled event as the host reads it. */
typedef struct ScheduleEntry {
  ProfileEntry* profile;
  char scheduleFile[260];
  char associatedProfile[260];
  char saveAs[260];
  char username[41];
  char password[105];
  char memorizedReport[260];
  int32_t startTime;        /* next run, seconds since 1970 */
  int32_t repeatType;       /* 0 minutes, 1 hours, 2 days, 3 weeks, 4 months */
  int32_t repeatFrequency;  /* repeat count */
  int32_t hasProfile;
  /* The host's own words. */
  uint16_t active;
  uint16_t transient;
  uint16_t runNow;
  uint16_t enabled;
  int32_t key;
  int32_t reserved;
} ScheduleEntry;

/* The three fixed exports of a plug-in. */
typedef int32_t (*InitializeSupportLibraryFn)(intptr_t hostValue, int32_t* type, int32_t* value,
                                              int32_t* id, char* name);
typedef int32_t (*SupplyCallbackFn)(int32_t callbackId, KvProc function);
typedef KvProc (*IsFunctionSupportedFn)(int32_t functionId);

/* Size of the name buffer handed to InitializeSupportLibrary; the host keeps
   at most 99 characters of it. */
#define KV_SUPPORT_NAME_BUFFER 260
#define KV_SUPPORT_NAME_SIZE 100

/* Entry points, by id. */
typedef int32_t (*GenerateReportFn)(KvWindow window, ProfileEntry* entry, int32_t runFlag);    /* 1 */
typedef int32_t (*EditProfileFn)(KvWindow window, ProfileEntry* entry, ProfileEntry** out);    /* 2, 4 */
typedef int32_t (*DeleteProfileFn)(KvWindow window, ProfileEntry* entry);                      /* 3, 15 */
typedef int32_t (*EnumerateProfilesFn)(KvWindow window, ProfileEntry* previousNew, ProfileEntry* old,
                                       ProfileEntry** out);                                    /* 5 */
typedef int32_t (*EditScheduledEventFn)(KvWindow window, ScheduleEntry* entry, ScheduleEntry** out); /* 7 */
typedef int32_t (*ScheduledEventFn)(KvWindow window, ScheduleEntry* entry);                    /* 8, 11 */
typedef int32_t (*EnumerateScheduledEventsFn)(KvWindow window, ScheduleEntry* previous,
                                              ScheduleEntry** out);                            /* 9 */
typedef int32_t (*UpdatePanelDataFn)(KvWindow window, ProfileEntry* entry, int32_t unused, int32_t show); /* 12 */
typedef int32_t (*PollProfileFn)(int32_t value, ProfileEntry* entry);                          /* 13 */
typedef int32_t (*UnloadFn)(void);                                                             /* 14 */
typedef int32_t (*LibraryCommandFn)(KvWindow window, KvWindow other);                          /* 19 */
typedef int32_t (*TrayCommandFn)(KvWindow window);                                             /* 21 */
typedef int32_t (*StopAllFn)(KvWindow window, KvProc function);                                /* 24 */
/* 22: creates and runs the plug-in's page of the Options window. Out: the
   page button's bitmap (a handle, 4 bytes), {0, 0, width, height} of the
   bitmap (int32_t[4]), the page button's text and the page's title
   (KV_OPTION_TEXT_SIZE bytes each). Returns what the page's sheet returned
   (above 0: OK). 23: closes it, saving its settings when `save` is 1. */
#define KV_OPTION_TEXT_SIZE 260
typedef int32_t (*CreateOptionPageFn)(intptr_t hostValue, KvHandle* bitmap, int32_t* size, char* tabText,
                                      char* title);                                            /* 22 */
typedef int32_t (*CloseOptionPageFn)(int32_t save);                                            /* 23 */
typedef const char* (*HelpTextFn)(intptr_t unused1, intptr_t unused2);                         /* 26 */
typedef int32_t (*AfterEnumerationFn)(ProfileEntry* entry);                                    /* 28 */

/* Host callbacks, by id. */
typedef int32_t (*HostTextFn)(const char* text);                                   /* 1, 2, 3, 7 */
typedef int32_t (*HostPercentFn)(int32_t percent);                                 /* 4 */
typedef int32_t (*HostNothingFn)(void);                                            /* 5 */
typedef int32_t (*HostCompareFn)(ProfileEntry* entry, ProfileEntry* other);        /* 6 */
typedef int32_t (*HostFindProfileFn)(int32_t key, ProfileEntry** out);             /* 8 */
typedef int32_t (*HostScheduleFn)(ScheduleEntry* entry);                           /* 9, 12 */
typedef int32_t (*HostProgressFn)(ProfileEntry* entry, const char* text, int32_t records,
                                  int32_t percent, int32_t rate);                  /* 10 */
typedef int32_t (*HostFindScheduleFn)(int32_t key, ScheduleEntry** out);           /* 11 */
typedef int32_t (*HostAddProfileFn)(ProfileEntry* entry);                          /* 13 */
typedef int32_t (*HostRefreshFn)(int32_t first, int32_t second, int32_t third);    /* 14 */
typedef intptr_t (*HostCreateReportFn)(intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4,
                                       intptr_t a5, intptr_t a6);                  /* 15 */

#ifdef __cplusplus
}
#endif

#endif
