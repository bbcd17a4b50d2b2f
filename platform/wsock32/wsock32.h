/* Records, constants and call signatures of the socket module WSOCK32.so.
 *
 * The module is loaded at run time (through the platform's module loader)
 * and its functions are found by name. Several of those names are also
 * libc's (socket, connect, send, recv, bind, ...), so this header declares
 * no functions by those names: it gives the pointer type of each export
 * (WsSocketFn for "socket", ...), which callers use for the looked-up
 * addresses. Everything here is plain C with fixed-width fields.
 *
 * Socket handles are small non-negative numbers; WS_INVALID_SOCKET is none.
 * Calls that fail return WS_SOCKET_ERROR (or WS_INVALID_SOCKET, or null) and
 * leave a WSAE* code for the calling thread, read by WSAGetLastError. */
#ifndef KV_PLATFORM_WSOCK32_H
#define KV_PLATFORM_WSOCK32_H

#include <stddef.h>
#include <stdint.h>

#include "platform/base/kvtypes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t WsSocket;
#define WS_INVALID_SOCKET ((WsSocket)0xFFFFFFFFu)
#define WS_SOCKET_ERROR (-1)

/* Address families, socket types, protocols. */
#define WS_AF_INET 2
#define WS_SOCK_STREAM 1
#define WS_SOCK_DGRAM 2
#define WS_IPPROTO_TCP 6
#define WS_IPPROTO_UDP 17
#define WS_INADDR_ANY 0x00000000u
#define WS_INADDR_NONE 0xFFFFFFFFu
#define WS_INADDR_LOOPBACK 0x7F000001u /* host order */

/* send/recv flags. */
#define WS_MSG_OOB 0x1
#define WS_MSG_PEEK 0x2

/* getsockopt levels and options. */
#define WS_SOL_SOCKET 0xFFFF
#define WS_SO_REUSEADDR 0x0004
#define WS_SO_KEEPALIVE 0x0008
#define WS_SO_SNDBUF 0x1001
#define WS_SO_RCVBUF 0x1002
#define WS_SO_ERROR 0x1007
#define WS_SO_TYPE 0x1008
#define WS_TCP_NODELAY 0x0001

/* ioctlsocket commands. */
#define WS_FIONREAD 0x4004667Fu
#define WS_FIONBIO 0x8004667Eu

/* Events of WSAAsyncSelect. The message's wParam is the socket, its lParam
   (error << 16) | event. */
#define WS_FD_READ 0x01
#define WS_FD_WRITE 0x02
#define WS_FD_OOB 0x04
#define WS_FD_ACCEPT 0x08
#define WS_FD_CONNECT 0x10
#define WS_FD_CLOSE 0x20
#define WS_SELECT_EVENT(lparam) ((uint16_t)((uint32_t)(lparam)&0xFFFF))
#define WS_SELECT_ERROR(lparam) ((uint16_t)(((uint32_t)(lparam) >> 16) & 0xFFFF))

/* Asynchronous host lookups answer with wParam = task handle and lParam =
   (error << 16) | length of the host entry written into the caller's buffer
   (on WSAENOBUFS: the length that would have been needed). */
#define WS_ASYNC_ERROR(lparam) WS_SELECT_ERROR(lparam)
#define WS_ASYNC_BUFLEN(lparam) WS_SELECT_EVENT(lparam)
/* A buffer of this size always holds an answer. */
#define WS_MAXGETHOSTSTRUCT 1024

/* Error codes (WSAGetLastError, WSAStartup's result, the high word of a
   notification). */
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEPFNOSUPPORT 10046
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004

/* An IPv4 socket address, 16 bytes: family, port (network order), address
   (network order), eight zero bytes. */
typedef struct WsSockAddrIn {
  int16_t family;
  uint16_t port;
  uint32_t address;
  char zero[8];
} WsSockAddrIn;

/* The generic socket address the calls take (16 bytes). */
typedef struct WsSockAddr {
  int16_t family;
  char data[14];
} WsSockAddr;

/* A host entry. In a caller's buffer (asynchronous lookups) the record comes
   first and every text and list it points to lies in the same buffer.
   Lists end with a null pointer; each address is `addressLength` bytes in
   network order. */
typedef struct WsHostEntry {
  char* name;
  char** aliases;
  int16_t addressType;
  int16_t addressLength;
  char** addresses;
} WsHostEntry;

/* The answer of WSAStartup. */
typedef struct WsaData {
  uint16_t version;
  uint16_t highVersion;
  char description[257];
  char systemStatus[129];
  uint16_t maxSockets;
  uint16_t maxUdpDatagram;
  char* vendorInfo;
} WsaData;

/* The socket sets of select: at most 64 sockets each. */
#define WS_FD_SETSIZE 64
typedef struct WsFdSet {
  uint32_t count;
  WsSocket sockets[WS_FD_SETSIZE];
} WsFdSet;

typedef struct WsTimeVal {
  int32_t seconds;
  int32_t microseconds;
} WsTimeVal;

/* Signatures of the exports, by export name. */
typedef int32_t (*WsWSAStartupFn)(uint16_t versionRequested, WsaData* data);
typedef int32_t (*WsWSACleanupFn)(void);
typedef int32_t (*WsWSAGetLastErrorFn)(void);
typedef int32_t (*WsWSAAsyncSelectFn)(WsSocket s, KvWindow window, uint32_t message, int32_t events);
typedef KvHandle (*WsWSAAsyncGetHostByAddrFn)(KvWindow window, uint32_t message, const char* address,
                                              int32_t length, int32_t type, char* buffer, int32_t bufferLength);
typedef KvHandle (*WsWSAAsyncGetHostByNameFn)(KvWindow window, uint32_t message, const char* name, char* buffer,
                                              int32_t bufferLength);
typedef int32_t (*WsWSACancelAsyncRequestFn)(KvHandle task);
typedef WsSocket (*WsSocketFn)(int32_t family, int32_t type, int32_t protocol);
typedef int32_t (*WsConnectFn)(WsSocket s, const WsSockAddr* address, int32_t length);
typedef int32_t (*WsBindFn)(WsSocket s, const WsSockAddr* address, int32_t length);
typedef int32_t (*WsListenFn)(WsSocket s, int32_t backlog);
typedef WsSocket (*WsAcceptFn)(WsSocket s, WsSockAddr* address, int32_t* length);
typedef int32_t (*WsSendFn)(WsSocket s, const char* buffer, int32_t length, int32_t flags);
typedef int32_t (*WsRecvFn)(WsSocket s, char* buffer, int32_t length, int32_t flags);
typedef int32_t (*WsClosesocketFn)(WsSocket s);
typedef int32_t (*WsSelectFn)(int32_t ignored, WsFdSet* readSet, WsFdSet* writeSet, WsFdSet* exceptSet,
                              const WsTimeVal* timeout);
typedef int32_t (*WsIoctlsocketFn)(WsSocket s, uint32_t command, uint32_t* argument);
typedef int32_t (*WsGetsockoptFn)(WsSocket s, int32_t level, int32_t option, char* value, int32_t* length);
typedef uint16_t (*WsHtonsFn)(uint16_t value);
typedef uint32_t (*WsInetAddrFn)(const char* text);
typedef WsHostEntry* (*WsGethostbynameFn)(const char* name);
typedef WsHostEntry* (*WsGethostbyaddrFn)(const char* address, int32_t length, int32_t type);
typedef int32_t (*WsGethostnameFn)(char* name, int32_t length);

#ifdef __cplusplus
}
#endif

#endif
