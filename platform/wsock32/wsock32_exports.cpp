// The exports of WSOCK32.so under their customary names. Names that libc
// also uses are given to functions of other C++ names by assembler labels;
// this file includes no system socket header, so nothing here can call (or
// be mistaken for) libc's functions of the same names.
#include "platform/wsock32/ws_impl.h"

#define WS_EXPORT(name) __asm__(#name) __attribute__((visibility("default")))

extern "C" {

int32_t WsExWSAStartup(uint16_t version, WsaData* data) WS_EXPORT(WSAStartup);
int32_t WsExWSAStartup(uint16_t version, WsaData* data) { return kvws::Startup(version, data); }

int32_t WsExWSACleanup() WS_EXPORT(WSACleanup);
int32_t WsExWSACleanup() { return kvws::Cleanup(); }

int32_t WsExWSAGetLastError() WS_EXPORT(WSAGetLastError);
int32_t WsExWSAGetLastError() { return kvws::LastError(); }

int32_t WsExWSAAsyncSelect(WsSocket s, KvWindow window, uint32_t message, int32_t events)
    WS_EXPORT(WSAAsyncSelect);
int32_t WsExWSAAsyncSelect(WsSocket s, KvWindow window, uint32_t message, int32_t events) {
  return kvws::AsyncSelect(s, window, message, events);
}

KvHandle WsExWSAAsyncGetHostByAddr(KvWindow window, uint32_t message, const char* address, int32_t length,
                                   int32_t type, char* buffer, int32_t bufferLength)
    WS_EXPORT(WSAAsyncGetHostByAddr);
KvHandle WsExWSAAsyncGetHostByAddr(KvWindow window, uint32_t message, const char* address, int32_t length,
                                   int32_t type, char* buffer, int32_t bufferLength) {
  return kvws::AsyncGetHostByAddr(window, message, address, length, type, buffer, bufferLength);
}

KvHandle WsExWSAAsyncGetHostByName(KvWindow window, uint32_t message, const char* name, char* buffer,
                                   int32_t bufferLength) WS_EXPORT(WSAAsyncGetHostByName);
KvHandle WsExWSAAsyncGetHostByName(KvWindow window, uint32_t message, const char* name, char* buffer,
                                   int32_t bufferLength) {
  return kvws::AsyncGetHostByName(window, message, name, buffer, bufferLength);
}

int32_t WsExWSACancelAsyncRequest(KvHandle task) WS_EXPORT(WSACancelAsyncRequest);
int32_t WsExWSACancelAsyncRequest(KvHandle task) { return kvws::CancelAsyncRequest(task); }

WsSocket WsExSocket(int32_t family, int32_t type, int32_t protocol) WS_EXPORT(socket);
WsSocket WsExSocket(int32_t family, int32_t type, int32_t protocol) { return kvws::Socket(family, type, protocol); }

int32_t WsExConnect(WsSocket s, const WsSockAddr* address, int32_t length) WS_EXPORT(connect);
int32_t WsExConnect(WsSocket s, const WsSockAddr* address, int32_t length) {
  return kvws::Connect(s, address, length);
}

int32_t WsExBind(WsSocket s, const WsSockAddr* address, int32_t length) WS_EXPORT(bind);
int32_t WsExBind(WsSocket s, const WsSockAddr* address, int32_t length) { return kvws::Bind(s, address, length); }

int32_t WsExListen(WsSocket s, int32_t backlog) WS_EXPORT(listen);
int32_t WsExListen(WsSocket s, int32_t backlog) { return kvws::Listen(s, backlog); }

WsSocket WsExAccept(WsSocket s, WsSockAddr* address, int32_t* length) WS_EXPORT(accept);
WsSocket WsExAccept(WsSocket s, WsSockAddr* address, int32_t* length) { return kvws::Accept(s, address, length); }

int32_t WsExSend(WsSocket s, const char* buffer, int32_t length, int32_t flags) WS_EXPORT(send);
int32_t WsExSend(WsSocket s, const char* buffer, int32_t length, int32_t flags) {
  return kvws::Send(s, buffer, length, flags);
}

int32_t WsExRecv(WsSocket s, char* buffer, int32_t length, int32_t flags) WS_EXPORT(recv);
int32_t WsExRecv(WsSocket s, char* buffer, int32_t length, int32_t flags) {
  return kvws::Recv(s, buffer, length, flags);
}

int32_t WsExClosesocket(WsSocket s) WS_EXPORT(closesocket);
int32_t WsExClosesocket(WsSocket s) { return kvws::CloseSocket(s); }

int32_t WsExSelect(int32_t ignored, WsFdSet* readSet, WsFdSet* writeSet, WsFdSet* exceptSet,
                   const WsTimeVal* timeout) WS_EXPORT(select);
int32_t WsExSelect(int32_t, WsFdSet* readSet, WsFdSet* writeSet, WsFdSet* exceptSet, const WsTimeVal* timeout) {
  return kvws::Select(readSet, writeSet, exceptSet, timeout);
}

int32_t WsExIoctlsocket(WsSocket s, uint32_t command, uint32_t* argument) WS_EXPORT(ioctlsocket);
int32_t WsExIoctlsocket(WsSocket s, uint32_t command, uint32_t* argument) {
  return kvws::IoctlSocket(s, command, argument);
}

int32_t WsExGetsockopt(WsSocket s, int32_t level, int32_t option, char* value, int32_t* length)
    WS_EXPORT(getsockopt);
int32_t WsExGetsockopt(WsSocket s, int32_t level, int32_t option, char* value, int32_t* length) {
  return kvws::GetSockOpt(s, level, option, value, length);
}

uint16_t WsExHtons(uint16_t value) WS_EXPORT(htons);
uint16_t WsExHtons(uint16_t value) { return kvws::Htons(value); }

uint32_t WsExInetAddr(const char* text) WS_EXPORT(inet_addr);
uint32_t WsExInetAddr(const char* text) { return kvws::InetAddr(text); }

WsHostEntry* WsExGethostbyname(const char* name) WS_EXPORT(gethostbyname);
WsHostEntry* WsExGethostbyname(const char* name) { return kvws::GetHostByName(name); }

WsHostEntry* WsExGethostbyaddr(const char* address, int32_t length, int32_t type) WS_EXPORT(gethostbyaddr);
WsHostEntry* WsExGethostbyaddr(const char* address, int32_t length, int32_t type) {
  return kvws::GetHostByAddr(address, length, type);
}

int32_t WsExGethostname(char* name, int32_t length) WS_EXPORT(gethostname);
int32_t WsExGethostname(char* name, int32_t length) { return kvws::GetHostName(name, length); }

}  // extern "C"
