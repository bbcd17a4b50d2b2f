// A socket module for the binding tests: every export does nothing but
// WSAStartup and WSACleanup, which append a line to the file named by
// KV_NETBIND_CALL_LOG. Built in variants that lack one name
// (KV_OMIT_<name>) or whose start-up fails (KV_STARTUP_FAILS).
#include <cstdio>
#include <cstdlib>

#include "platform/wsock32/wsock32.h"

namespace {
void Record(const char* line) {
  const char* path = std::getenv("KV_NETBIND_CALL_LOG");
  if (path == nullptr) return;
  if (FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "%s\n", line);
    std::fclose(f);
  }
}
}  // namespace

#define FAKE(name, ret, value, ...)                                                    \
  extern "C" ret FakeWs_##name(__VA_ARGS__) __asm__(#name) KV_EXPORT;                  \
  extern "C" ret FakeWs_##name(__VA_ARGS__) { return value; }

extern "C" int32_t FakeWs_WSAStartup(uint16_t version, WsaData* data) __asm__("WSAStartup") KV_EXPORT;
extern "C" int32_t FakeWs_WSAStartup(uint16_t version, WsaData* data) {
  char line[64];
  std::snprintf(line, sizeof line, "WSAStartup %04x", version);
  Record(line);
#ifdef KV_STARTUP_FAILS
  (void)data;
  return WSASYSNOTREADY;
#else
  if (data != nullptr) data->version = 0x0101;
  return 0;
#endif
}

extern "C" int32_t FakeWs_WSACleanup() __asm__("WSACleanup") KV_EXPORT;
extern "C" int32_t FakeWs_WSACleanup() {
  Record("WSACleanup");
  return 0;
}

#ifndef KV_OMIT_WSAAsyncSelect
FAKE(WSAAsyncSelect, int32_t, 0, WsSocket, KvWindow, uint32_t, int32_t)
#endif
#ifndef KV_OMIT_WSACancelAsyncRequest
FAKE(WSACancelAsyncRequest, int32_t, 0, KvHandle)
#endif
#ifndef KV_OMIT_connect
FAKE(connect, int32_t, -1, WsSocket, const WsSockAddr*, int32_t)
#endif
#ifndef KV_OMIT_socket
FAKE(socket, WsSocket, WS_INVALID_SOCKET, int32_t, int32_t, int32_t)
#endif
#ifndef KV_OMIT_gethostbyname
FAKE(gethostbyname, WsHostEntry*, nullptr, const char*)
#endif
#ifndef KV_OMIT_WSAAsyncGetHostByAddr
FAKE(WSAAsyncGetHostByAddr, KvHandle, 0, KvWindow, uint32_t, const char*, int32_t, int32_t, char*, int32_t)
#endif
#ifndef KV_OMIT_gethostbyaddr
FAKE(gethostbyaddr, WsHostEntry*, nullptr, const char*, int32_t, int32_t)
#endif
#ifndef KV_OMIT_send
FAKE(send, int32_t, -1, WsSocket, const char*, int32_t, int32_t)
#endif
#ifndef KV_OMIT_recv
FAKE(recv, int32_t, -1, WsSocket, char*, int32_t, int32_t)
#endif
#ifndef KV_OMIT_closesocket
FAKE(closesocket, int32_t, -1, WsSocket)
#endif
#ifndef KV_OMIT_htons
FAKE(htons, uint16_t, 0, uint16_t)
#endif
#ifndef KV_OMIT_getsockopt
FAKE(getsockopt, int32_t, -1, WsSocket, int32_t, int32_t, char*, int32_t*)
#endif
#ifndef KV_OMIT_inet_addr
FAKE(inet_addr, uint32_t, WS_INADDR_NONE, const char*)
#endif
#ifndef KV_OMIT_WSAGetLastError
FAKE(WSAGetLastError, int32_t, 0)
#endif
#ifndef KV_OMIT_ioctlsocket
FAKE(ioctlsocket, int32_t, -1, WsSocket, uint32_t, uint32_t*)
#endif
#ifndef KV_OMIT_gethostname
FAKE(gethostname, int32_t, -1, char*, int32_t)
#endif
#ifndef KV_OMIT_bind
FAKE(bind, int32_t, -1, WsSocket, const WsSockAddr*, int32_t)
#endif
#ifndef KV_OMIT_select
FAKE(select, int32_t, -1, int32_t, WsFdSet*, WsFdSet*, WsFdSet*, const WsTimeVal*)
#endif
#ifndef KV_OMIT_listen
FAKE(listen, int32_t, -1, WsSocket, int32_t)
#endif
#ifndef KV_OMIT_accept
FAKE(accept, WsSocket, WS_INVALID_SOCKET, WsSocket, WsSockAddr*, int32_t*)
#endif
