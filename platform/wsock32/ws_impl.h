// The socket module's implementation, behind its C exports (wsock32_exports.cpp).
// Kept apart so that no file that defines an export by a libc name ever
// includes the system's socket headers, and no file that calls libc defines
// such an export.
#ifndef KV_PLATFORM_WSOCK32_WS_IMPL_H
#define KV_PLATFORM_WSOCK32_WS_IMPL_H

#include "platform/wsock32/wsock32.h"

namespace kvws {

int32_t Startup(uint16_t version, WsaData* data);
int32_t Cleanup();
int32_t LastError();
int32_t AsyncSelect(WsSocket s, KvWindow window, uint32_t message, int32_t events);
KvHandle AsyncGetHostByAddr(KvWindow window, uint32_t message, const char* address, int32_t length, int32_t type,
                            char* buffer, int32_t bufferLength);
KvHandle AsyncGetHostByName(KvWindow window, uint32_t message, const char* name, char* buffer,
                            int32_t bufferLength);
int32_t CancelAsyncRequest(KvHandle task);
WsSocket Socket(int32_t family, int32_t type, int32_t protocol);
int32_t Connect(WsSocket s, const WsSockAddr* address, int32_t length);
int32_t Bind(WsSocket s, const WsSockAddr* address, int32_t length);
int32_t Listen(WsSocket s, int32_t backlog);
WsSocket Accept(WsSocket s, WsSockAddr* address, int32_t* length);
int32_t Send(WsSocket s, const char* buffer, int32_t length, int32_t flags);
int32_t Recv(WsSocket s, char* buffer, int32_t length, int32_t flags);
int32_t CloseSocket(WsSocket s);
int32_t Select(WsFdSet* readSet, WsFdSet* writeSet, WsFdSet* exceptSet, const WsTimeVal* timeout);
int32_t IoctlSocket(WsSocket s, uint32_t command, uint32_t* argument);
int32_t GetSockOpt(WsSocket s, int32_t level, int32_t option, char* value, int32_t* length);
uint16_t Htons(uint16_t value);
uint32_t InetAddr(const char* text);
WsHostEntry* GetHostByName(const char* name);
WsHostEntry* GetHostByAddr(const char* address, int32_t length, int32_t type);
int32_t GetHostName(char* name, int32_t length);

}  // namespace kvws

#endif
