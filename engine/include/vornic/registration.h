/* Client registration, client callbacks, engine texts and the small setters
 * of the engine's client interface. */
#ifndef VORNIC_REGISTRATION_H
#define VORNIC_REGISTRATION_H

#include <vornic/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Lets the client's message loop run; called with no arguments. */
typedef int32_t (*VrnYieldCallback)(void);

/* Progress of a long operation: (index, status text, record count, percent
   or -1, rate). An answer of 7 cancels the operation. */
typedef int32_t (*VrnProgressCallback)(uint32_t index, const char* status, uint32_t records, int32_t percent,
                                       uint32_t rate);

/* Percent done (65535 = refresh only). An answer of 0 cancels. */
typedef int32_t (*VrnPercentCallback)(uint32_t percent);

/* The client's error display: (owner window 0, caption, text, a4, a5, a6).
   The engine calls it as (0, "Kelvaron", text, 0, 0, 0); a database write
   error calls it as (0, NULL, NULL, 5675, 5675, 0), i.e. with a text id of
   the client's resource module in the fourth and fifth places. */
typedef int32_t (*VrnDisplayErrorFn)(KvWindow owner, const char* caption, const char* text, uint32_t a4, uint32_t a5,
                                     uint32_t a6);

/* Called once when a running realtime update ends after an abort request. */
typedef void (*VrnAbortCallback)(void);

/* Number of client slots. */
#define VRN_MAX_CLIENTS 4

/* Sets the yield callback (null allowed), clears the progress and percent
   callbacks; when networkResult is given, binds the network libraries and
   writes 1 (bound) or 0 there. Returns 0. clientId is not read. */
VORNIC_API int16_t ACP_Register(uint32_t clientId, VrnYieldCallback yield, uint32_t* networkResult);

/* Stops the charting library and releases the network libraries. Returns 0. */
VORNIC_API int16_t ACP_DeRegister(uint32_t clientId);

/* Registers a client. profileDir ends with a separator ("\" or "/");
   resources is the module holding every text the engine loads by number.
   Returns the slot index 0..3, or -1 (no free slot, out of memory). */
VORNIC_API int16_t VRN_Register(const char* profileDir, uint16_t clientId, uint16_t clientTag, VrnYieldCallback yield,
                                uint32_t* networkResult, KvModule resources, uint32_t restriction,
                                KvHandle impersonationToken, VrnDisplayErrorFn displayError);

/* Releases a slot; the engine-wide resources go with the last client. */
VORNIC_API void VRN_DeRegister(uint16_t slot);

/* The display text of a profile-setting key, or "Unknown StringID=%x".
   At most outSize - 1 characters and a terminating zero are written
   (nothing when outSize is 0). Returns 0. */
VORNIC_API int16_t VRN_GetSetString(uint32_t reserved, uint16_t key, char* out, uint32_t outSize);

/* The text of string id from the client's resource module, or "Undefined
   Error" when it is missing; at most size - 1 characters and a zero.
   Returns the number of characters loaded (0 when missing). */
VORNIC_API int32_t ADT_GetErrorTxtMsg(uint16_t id, char* out, uint16_t size);

/* Window that archive extraction and the ODBC reader post progress to. */
VORNIC_API void VRN_SetProgressHWND(KvWindow window, uint32_t reserved);

/* Address of the client's cancel word, tested during archive extraction. */
VORNIC_API void VRN_SetCancelBOOL(volatile uint32_t* cancel, uint32_t reserved);

/* Raises the abort flag; when a realtime update is running, callback runs
   once when it ends. Returns the realtime nesting count. */
VORNIC_API uint32_t VRN_AbortRealtimeAnalysis(VrnAbortCallback callback);

/* Re-reads the module INI settings that may change while registered
   ([Defaults] FTPDownload, [Cookie] Enable and Validate). */
VORNIC_API void VRN_NotifyIniFileChanged(void);

/* 1 (and the counter copied to *clientCounter) when the profile set changed
   since the client's copy, else 0. */
VORNIC_API uint32_t VRN_QuerySetListChange(uint32_t* clientCounter);

/* The client's error display function, set by VRN_Register. */
VORNIC_DATA VrnDisplayErrorFn glpfnDisplayReportError;

#ifdef __cplusplus
}
#endif

#endif
