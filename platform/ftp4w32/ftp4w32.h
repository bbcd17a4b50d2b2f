/* Constants and call signatures of the FTP client module FTP4W32.so.
 *
 * The module keeps one FTP session per process (a control connection to one
 * server). It is loaded at run time and its functions are found by name;
 * this header gives the pointer type of each export (FtpLoginFn for
 * "FtpLogin", ...).
 *
 * Results: 0 is success, anything else one of the FTP_E_* codes below.
 *
 * Modes. In synchronous mode (the default) every call returns when its work
 * is over. In asynchronous mode FtpRecvFile and FtpSendFile return as soon as
 * the server has accepted the transfer (0 = started) when a window is given;
 * the data then moves on a thread of the module, which posts the caller's
 * message to the window:
 *   wParam FTP_NOTIFY_PROGRESS, lParam = bytes moved so far (when the
 *   caller asked for progress), and once at the end
 *   wParam FTP_NOTIFY_END, lParam = 0 or the FTP_E_* code of the failure.
 * Without a window a transfer runs synchronously in either mode. Log-on,
 * PWD, CWD and listings always run synchronously.
 *
 * Every wait on the network is bounded by the default time-out. */
#ifndef KV_PLATFORM_FTP4W32_H
#define KV_PLATFORM_FTP4W32_H

#include <stdint.h>

#include "platform/base/kvtypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Notification wParam values. */
#define FTP_NOTIFY_PROGRESS 0
#define FTP_NOTIFY_END 1

/* Transfer types. */
#define FTP_TYPE_BINARY 'I'
#define FTP_TYPE_ASCII 'A'

#define FTP_DEFAULT_PORT 21
#define FTP_DEFAULT_TIMEOUT 30 /* seconds */

/* Error codes. */
#define FTP_E_NOT_INITIALISED 3001   /* FtpInit was not called */
#define FTP_E_INVALID_ARGUMENT 3002  /* null or overlong argument, bad type */
#define FTP_E_NOT_CONNECTED 3003     /* no session */
#define FTP_E_ALREADY_CONNECTED 3004 /* a session is open already */
#define FTP_E_BUSY 3005              /* a transfer is running */
#define FTP_E_HOST_NOT_FOUND 3006    /* the host name does not resolve */
#define FTP_E_CONNECT_FAILED 3007    /* the control connection was refused */
#define FTP_E_TIMEOUT 3008           /* the server did not answer in time */
#define FTP_E_CONNECTION_LOST 3009   /* the server closed or reset the session */
#define FTP_E_BAD_REPLY 3010         /* a reply without a code, overlong or garbled */
#define FTP_E_SERVER_REFUSED 3011    /* the greeting was not 220 */
#define FTP_E_LOGIN_REFUSED 3012     /* user name or password not accepted */
#define FTP_E_COMMAND_FAILED 3013    /* the server refused a command (PWD, CWD, TYPE, ...) */
#define FTP_E_FILE_UNAVAILABLE 3014  /* the remote file or folder does not exist or is not accessible */
#define FTP_E_DATA_CONNECTION 3015   /* the data connection could not be opened */
#define FTP_E_TRANSFER_FAILED 3016   /* the server reported a failed transfer */
#define FTP_E_LOCAL_FILE 3017        /* the local file could not be opened, read or written */
#define FTP_E_ABORTED 3018           /* FtpAbort ended the transfer */
#define FTP_E_BUFFER_TOO_SMALL 3019  /* the answer does not fit the caller's buffer */
#define FTP_E_OUT_OF_MEMORY 3020

/* Signatures of the exports, by export name. */
typedef int32_t (*FtpInitFn)(KvWindow window);
typedef int32_t (*FtpReleaseFn)(void);
typedef int32_t (*FtpSetDefaultPortFn)(int32_t port);
typedef int32_t (*FtpSetDefaultTimeOutFn)(int32_t seconds);
typedef int32_t (*FtpSetPassiveModeFn)(int32_t passive);
typedef int32_t (*FtpSetAsynchronousModeFn)(void);
typedef int32_t (*FtpSetSynchronousModeFn)(void);
/* Opens the control connection to host:(default port) and reads the
   greeting, without logging on. */
typedef int32_t (*FtpOpenConnectionFn)(const char* host);
/* Opens the session (unless FtpOpenConnection did) and logs on. */
typedef int32_t (*FtpLoginFn)(const char* host, const char* user, const char* password, KvWindow window,
                              uint32_t message);
/* Ends the session with QUIT; non-zero when that could not be done cleanly
   (the caller then calls FtpLocalClose). */
typedef int32_t (*FtpCloseConnectionFn)(void);
/* Drops the session without talking to the server. */
typedef int32_t (*FtpLocalCloseFn)(void);
/* The current remote folder, copied into buffer (size bytes with the
   terminating zero). */
typedef int32_t (*FtpPWDFn)(char* buffer, int32_t size);
typedef int32_t (*FtpCWDFn)(const char* directory);
/* Writes the listing of pattern (null or empty: the current folder) into
   localFile: names only when longListing is 0, else one long line per file. */
typedef int32_t (*FtpDirFn)(const char* pattern, const char* localFile, int32_t longListing, KvWindow window,
                            uint32_t message);
typedef int32_t (*FtpRecvFileFn)(const char* remote, const char* local, char type, int32_t notifyProgress,
                                 KvWindow window, uint32_t message);
typedef int32_t (*FtpSendFileFn)(const char* local, const char* remote, char type, int32_t notifyProgress,
                                 KvWindow window, uint32_t message);
/* Ends a running transfer; its end notification carries FTP_E_ABORTED. */
typedef int32_t (*FtpAbortFn)(void);
/* Size of the running (or last) transfer in bytes; 0 when unknown. */
typedef int64_t (*FtpBytesToBeTransferredFn)(void);
/* The server's last refusal (a reply code of 400 or more and the first line
   of its text) since the last command was sent, "" when there was none;
   copied into buffer (size bytes with the terminating zero). Callers look it
   up by name and do without it when it is missing. */
typedef int32_t (*FtpLastRefusalFn)(char* buffer, int32_t size);

#ifdef __cplusplus
}
#endif

#endif
