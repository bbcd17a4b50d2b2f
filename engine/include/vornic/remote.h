/* Remote logs: copying a profile's "ftp://" or "http://" log into a local
 * cache folder before it is analysed, and sending a file to an FTP location.
 *
 * A fetch or upload is asynchronous and runs from window messages on the
 * caller's thread: VRN_OpenURL (or VRN_Cre8URL) starts it, the caller's
 * message loop dispatches the messages of the hidden "URL Window" (class
 * "VORNIC"), and the caller polls VRN_PeekURL and VRN_GetURLDonePercent and
 * ends with VRN_CloseURL. Only one fetch or upload exists at a time.
 *
 * Messages sent to the status window (wParam 0):
 *   0x414 progress text (lParam: the text)        0x415 close begins
 *   0x416 close ends ("odbc:" location)           0x417 close ends (others)
 *   0x418 logged on, listing starts               0x419 connecting (HTTP)
 *   0x41A upload started (lParam: remote path)    0x41F done count changed
 *                                                       (lParam: "%ld" text) */
#ifndef VORNIC_REMOTE_H
#define VORNIC_REMOTE_H

#include <stdint.h>

#include <vornic/export.h>
#include <vornic/profile.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Status messages. */
#define VRN_URL_MSG_STATUS 0x414
#define VRN_URL_MSG_CLOSE_BEGIN 0x415
#define VRN_URL_MSG_CLOSE_ODBC 0x416
#define VRN_URL_MSG_CLOSE_END 0x417
#define VRN_URL_MSG_LISTING 0x418
#define VRN_URL_MSG_CONNECTING 0x419
#define VRN_URL_MSG_UPLOAD 0x41A
#define VRN_URL_MSG_DONE 0x41F

/* Messages the URL window handles. */
#define VRN_URL_MSG_FTP_RECV 0x450
#define VRN_URL_MSG_FTP_SEND 0x45F
#define VRN_URL_MSG_SOCKET 0x478

/* Error codes whose texts VRN_GetURLErrMsg gives besides the FTP module's
   and the socket module's own codes. */
#define VRN_URL_ERR_NO_FILES 1010 /* the location named no remote file */
#define VRN_URL_ERR_TIMEOUT 2007  /* no network event for TransferTimeout seconds */
#define VRN_URL_ERR_SHORT 2008    /* the transfer ended before the whole file arrived */
#define VRN_URL_ERR_ANSWER 2009   /* the server's answer could not be read (HTTP) */
#define VRN_URL_ERR_LOCAL 2010    /* the local copy could not be written */

/* Starts the fetch of the remote log of the profile file profileFileName
   (a name in the registered profile directory). 0 = started, nothing to
   fetch, or a local/"odbc:" location (*fetchHandle then holds a handle);
   -1 = failed (no handle is left). */
VORNIC_API int16_t VRN_OpenURL(KvWindow statusWindow, const char* profileFileName, KvGlobal* fetchHandle);

/* 0 while the fetch or upload runs, -1 when it is over (successful or not:
   VRN_GetURLErrMsg tells). */
VORNIC_API int16_t VRN_PeekURL(void);

/* Percent done (0 while the total is unknown or 0); sends 0x41F to the
   status window when the done count changed since the last call. */
VORNIC_API int16_t VRN_GetURLDonePercent(KvGlobal fetchHandle);

/* Ends the fetch or upload, frees the handle and the file lists; with a
   profile, refreshes its log status from the fetched copy and sets its
   LogAvailable word. 0, or -1 when the log status could not be refreshed. */
VORNIC_API int16_t VRN_CloseURL(uint16_t clientSlot, KvGlobal fetchHandle, DravelEntry* profile);

/* Starts sending localFile to an "ftp://" location (whose path may hold the
   date macros of NormalizeLogPath), logging on with user and password.
   0 = started (*fetchHandle holds a handle), -1 = failed. */
VORNIC_API int16_t VRN_Cre8URL(KvWindow statusWindow, const char* location, const char* user, const char* password,
                               const char* localFile, KvGlobal* fetchHandle);

/* Copies the text of the last fetch or upload error (empty when none) into
   buffer (size bytes with the terminating zero) and returns buffer. */
VORNIC_API char* VRN_GetURLErrMsg(char* buffer, uint32_t size);

/* Window procedure of the "URL Window". */
VORNIC_API KvResult URLWndProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam);

#ifdef __cplusplus
}
#endif

#endif
