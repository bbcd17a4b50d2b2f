// Run-time binding of the socket and FTP modules.
#include "platform/netbind/netbind.h"

#include <cstring>
#include <mutex>

#include "platform/module/module.h"

NetworkLibraryBinding g_networkBinding;

namespace {

std::mutex g_bindMutex;
int32_t g_bindings = 0;  // successful bindings not yet released

template <typename F>
bool Resolve(KvModule module, const char* name, F& slot) {
  slot = reinterpret_cast<F>(KvGetProcAddress(module, name));
  return slot != nullptr;
}

// Resolves every socket slot, in the fixed order; true when all were found.
bool ResolveSocketSlots(NetworkLibraryBinding& b) {
  KvModule m = b.socketModule;
  bool all = true;
  all &= Resolve(m, "WSACleanup", b.WSACleanup);
  all &= Resolve(m, "WSAStartup", b.WSAStartup);
  all &= Resolve(m, "WSAAsyncSelect", b.WSAAsyncSelect);
  all &= Resolve(m, "WSACancelAsyncRequest", b.WSACancelAsyncRequest);
  all &= Resolve(m, "connect", b.connect);
  all &= Resolve(m, "socket", b.socket);
  all &= Resolve(m, "gethostbyname", b.gethostbyname);
  all &= Resolve(m, "WSAAsyncGetHostByAddr", b.WSAAsyncGetHostByAddr);
  all &= Resolve(m, "gethostbyaddr", b.gethostbyaddr);
  all &= Resolve(m, "send", b.send);
  all &= Resolve(m, "recv", b.recv);
  all &= Resolve(m, "closesocket", b.closesocket);
  all &= Resolve(m, "htons", b.htons_);
  all &= Resolve(m, "getsockopt", b.getsockopt);
  all &= Resolve(m, "inet_addr", b.inet_addr);
  all &= Resolve(m, "WSAGetLastError", b.WSAGetLastError);
  all &= Resolve(m, "ioctlsocket", b.ioctlsocket);
  all &= Resolve(m, "gethostname", b.gethostname);
  all &= Resolve(m, "bind", b.bind);
  all &= Resolve(m, "select", b.select);
  all &= Resolve(m, "listen", b.listen);
  all &= Resolve(m, "accept", b.accept);
  return all;
}

bool ResolveFtpSlots(NetworkLibraryBinding& b) {
  KvModule m = b.ftpModule;
  bool all = true;
  all &= Resolve(m, "FtpRelease", b.FtpRelease);
  all &= Resolve(m, "FtpInit", b.FtpInit);
  all &= Resolve(m, "FtpBytesToBeTransferred", b.FtpBytesToBeTransferred);
  all &= Resolve(m, "FtpSetDefaultPort", b.FtpSetDefaultPort);
  all &= Resolve(m, "FtpSetDefaultTimeOut", b.FtpSetDefaultTimeOut);
  all &= Resolve(m, "FtpLogin", b.FtpLogin);
  all &= Resolve(m, "FtpOpenConnection", b.FtpOpenConnection);
  all &= Resolve(m, "FtpCloseConnection", b.FtpCloseConnection);
  all &= Resolve(m, "FtpLocalClose", b.FtpLocalClose);
  all &= Resolve(m, "FtpRecvFile", b.FtpRecvFile);
  all &= Resolve(m, "FtpSendFile", b.FtpSendFile);
  all &= Resolve(m, "FtpDir", b.FtpDir);
  all &= Resolve(m, "FtpSetAsynchronousMode", b.FtpSetAsynchronousMode);
  all &= Resolve(m, "FtpSetSynchronousMode", b.FtpSetSynchronousMode);
  all &= Resolve(m, "FtpAbort", b.FtpAbort);
  all &= Resolve(m, "FtpPWD", b.FtpPWD);
  all &= Resolve(m, "FtpCWD", b.FtpCWD);
  all &= Resolve(m, "FtpSetPassiveMode", b.FtpSetPassiveMode);
  return all;
}

// Empties every slot, so that a call through a slot of an unloaded module
// stops at a null pointer instead of jumping into unmapped code.
void ClearSlots(NetworkLibraryBinding& b) {
  const WsaData data = b.wsaData;
  b = NetworkLibraryBinding{};
  b.wsaData = data;
}

void FreeSocketModule(NetworkLibraryBinding& b) {
  if (b.socketModule != nullptr) {
    KvFreeModule(b.socketModule);
    b.socketModule = nullptr;
  }
}

void FreeFtpModule(NetworkLibraryBinding& b) {
  if (b.ftpModule != nullptr) {
    KvFreeModule(b.ftpModule);
    b.ftpModule = nullptr;
  }
}

// Loads, resolves and starts both modules; all or nothing.
bool BindOnce(NetworkLibraryBinding& b) {
  b.socketModule = KvLoadModule("WSOCK32.DLL");
  if (b.socketModule == nullptr) return false;
  if (!ResolveSocketSlots(b)) {
    FreeSocketModule(b);
    return false;
  }
  b.ftpModule = KvLoadModule("FTP4W32.DLL");
  if (b.ftpModule == nullptr) {
    FreeSocketModule(b);
    return false;
  }
  if (!ResolveFtpSlots(b)) {
    FreeSocketModule(b);
    FreeFtpModule(b);
    return false;
  }
  b.FtpInit(0);
  if (b.WSAStartup(0x0101, &b.wsaData) != 0) {
    // Without a started socket layer there is no network: undo the FTP
    // start-up and unload both rather than report a binding that cannot work.
    b.FtpRelease();
    FreeSocketModule(b);
    FreeFtpModule(b);
    return false;
  }
  return true;
}

}  // namespace

extern "C" KvBool BindNetworkLibraries(void) {
  std::lock_guard<std::mutex> lock(g_bindMutex);
  if (g_bindings > 0) {
    ++g_bindings;
    return 1;
  }
  if (!BindOnce(g_networkBinding)) {
    ClearSlots(g_networkBinding);
    return 0;
  }
  g_bindings = 1;
  return 1;
}

extern "C" void ReleaseNetworkLibraries(void) {
  std::lock_guard<std::mutex> lock(g_bindMutex);
  if (g_bindings <= 0) return;
  if (--g_bindings > 0) return;
  NetworkLibraryBinding& b = g_networkBinding;
  if (b.socketModule != nullptr) {
    b.WSACleanup();
    FreeSocketModule(b);
  }
  if (b.ftpModule != nullptr) {
    b.FtpRelease();
    FreeFtpModule(b);
  }
  ClearSlots(b);
}
