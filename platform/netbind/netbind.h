/* Run-time binding of the socket module (WSOCK32) and the FTP client module
 * (FTP4W32): one process-wide table of their functions.
 *
 * BindNetworkLibraries loads both modules from the program folder, resolves
 * every slot, calls FtpInit with no window and WSAStartup for version 1.1.
 * It is all or nothing: a missing module or name, or a failed WSAStartup,
 * leaves neither module loaded and returns 0.
 *
 * Bindings are counted: the first successful call loads, later calls only
 * count; ReleaseNetworkLibraries undoes one successful binding and unloads
 * (WSACleanup, then FtpRelease) with the last one. A release without a
 * binding does nothing. The slots are meaningful only while both module
 * handles are set. */
#ifndef KV_PLATFORM_NETBIND_H
#define KV_PLATFORM_NETBIND_H

#include "platform/base/kvtypes.h"
#include "platform/ftp4w32/ftp4w32.h"
#include "platform/wsock32/wsock32.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NetworkLibraryBinding {
  KvModule socketModule; /* WSOCK32; null = not loaded */
  KvModule ftpModule;    /* FTP4W32; null = not loaded */

  /* Socket slots, in the order they are resolved. */
  WsWSACleanupFn WSACleanup;
  WsWSAStartupFn WSAStartup;
  WsWSAAsyncSelectFn WSAAsyncSelect;
  WsWSACancelAsyncRequestFn WSACancelAsyncRequest;
  WsConnectFn connect;
  WsSocketFn socket;
  WsGethostbynameFn gethostbyname;
  WsWSAAsyncGetHostByAddrFn WSAAsyncGetHostByAddr;
  WsGethostbyaddrFn gethostbyaddr;
  WsSendFn send;
  WsRecvFn recv;
  WsClosesocketFn closesocket;
  WsHtonsFn htons_; /* "htons"; the underscore keeps the system's htons macro away */
  WsGetsockoptFn getsockopt;
  WsInetAddrFn inet_addr;
  WsWSAGetLastErrorFn WSAGetLastError;
  WsIoctlsocketFn ioctlsocket;
  WsGethostnameFn gethostname;
  WsBindFn bind;
  WsSelectFn select;
  WsListenFn listen;
  WsAcceptFn accept;

  /* FTP slots, in the order they are resolved. */
  FtpReleaseFn FtpRelease;
  FtpInitFn FtpInit;
  FtpBytesToBeTransferredFn FtpBytesToBeTransferred;
  FtpSetDefaultPortFn FtpSetDefaultPort;
  FtpSetDefaultTimeOutFn FtpSetDefaultTimeOut;
  FtpLoginFn FtpLogin;
  FtpOpenConnectionFn FtpOpenConnection;
  FtpCloseConnectionFn FtpCloseConnection;
  FtpLocalCloseFn FtpLocalClose;
  FtpRecvFileFn FtpRecvFile;
  FtpSendFileFn FtpSendFile;
  FtpDirFn FtpDir;
  FtpSetAsynchronousModeFn FtpSetAsynchronousMode;
  FtpSetSynchronousModeFn FtpSetSynchronousMode;
  FtpAbortFn FtpAbort;
  FtpPWDFn FtpPWD;
  FtpCWDFn FtpCWD;
  FtpSetPassiveModeFn FtpSetPassiveMode;

  /* The answer of WSAStartup. */
  WsaData wsaData;
} NetworkLibraryBinding;

/* The process-wide table. */
KV_EXPORT extern NetworkLibraryBinding g_networkBinding;

/* 1 when both modules are loaded, every slot resolved and both started;
   0 otherwise (nothing is left loaded by a failed first binding). */
KV_EXPORT KvBool BindNetworkLibraries(void);

/* Undoes one successful BindNetworkLibraries. */
KV_EXPORT void ReleaseNetworkLibraries(void);

#ifdef __cplusplus
}
#endif

#endif
