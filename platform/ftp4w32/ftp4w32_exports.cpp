// The exports of FTP4W32.so: one FTP session for the whole process.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/ftp4w32/ftp4w32.h"
#include "platform/ftp4w32/ftpclient.h"

namespace {
kvftp::Session& TheSession() {
  static kvftp::Session session;
  return session;
}
}  // namespace

extern "C" {

KV_EXPORT int32_t FtpInit(KvWindow window) { return TheSession().Init(window); }
KV_EXPORT int32_t FtpRelease(void) { return TheSession().Release(); }
KV_EXPORT int32_t FtpSetDefaultPort(int32_t port) { return TheSession().SetDefaultPort(port); }
KV_EXPORT int32_t FtpSetDefaultTimeOut(int32_t seconds) { return TheSession().SetDefaultTimeOut(seconds); }
KV_EXPORT int32_t FtpSetPassiveMode(int32_t passive) { return TheSession().SetPassiveMode(passive); }
KV_EXPORT int32_t FtpSetAsynchronousMode(void) { return TheSession().SetAsynchronousMode(true); }
KV_EXPORT int32_t FtpSetSynchronousMode(void) { return TheSession().SetAsynchronousMode(false); }
KV_EXPORT int32_t FtpOpenConnection(const char* host) { return TheSession().OpenConnection(host); }
KV_EXPORT int32_t FtpLogin(const char* host, const char* user, const char* password, KvWindow, uint32_t) {
  return TheSession().Login(host, user, password);
}
KV_EXPORT int32_t FtpCloseConnection(void) { return TheSession().CloseConnection(); }
KV_EXPORT int32_t FtpLocalClose(void) { return TheSession().LocalClose(); }
KV_EXPORT int32_t FtpPWD(char* buffer, int32_t size) { return TheSession().Pwd(buffer, size); }
KV_EXPORT int32_t FtpCWD(const char* directory) { return TheSession().Cwd(directory); }
KV_EXPORT int32_t FtpDir(const char* pattern, const char* localFile, int32_t longListing, KvWindow, uint32_t) {
  return TheSession().Dir(pattern, localFile, longListing != 0);
}
KV_EXPORT int32_t FtpRecvFile(const char* remote, const char* local, char type, int32_t notifyProgress,
                              KvWindow window, uint32_t message) {
  return TheSession().RecvFile(remote, local, type, notifyProgress != 0, window, message);
}
KV_EXPORT int32_t FtpSendFile(const char* local, const char* remote, char type, int32_t notifyProgress,
                              KvWindow window, uint32_t message) {
  return TheSession().SendFile(local, remote, type, notifyProgress != 0, window, message);
}
KV_EXPORT int32_t FtpAbort(void) { return TheSession().Abort(); }
KV_EXPORT int64_t FtpBytesToBeTransferred(void) { return TheSession().BytesToBeTransferred(); }
KV_EXPORT int32_t FtpLastRefusal(char* buffer, int32_t size) {
  if (buffer == nullptr || size <= 0) return FTP_E_INVALID_ARGUMENT;
  const std::string text = TheSession().LastRefusal();
  const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n < text.size() ? FTP_E_BUFFER_TOO_SMALL : 0;
}

}  // extern "C"
