// Sending one local file to an FTP location with the machinery of the remote
// log fetch: the process-wide fetch state, the URL window and its time-out.
#include <string>

#include <vornic/remote.h>

#include "engine/core/engine_state.h"
#include "engine/core/log_file_list.h"
#include "engine/network/remote_logs.h"
#include "platform/base/clock.h"
#include "platform/base/files.h"
#include "platform/base/memory.h"
#include "platform/ftp4w32/ftp4w32.h"
#include "platform/netbind/netbind.h"

namespace vrn {

KvResult OnFtpSendNotice(KvWParam wparam, KvLParam lparam) {
  g_fetch.idleSeconds = 0;
  if (wparam == FTP_NOTIFY_END) {
    if (lparam != 0) SetURLErrorText(static_cast<int32_t>(lparam));
    g_fetch.busy = 0;
    g_fetch.doneBytes = g_fetch.totalBytes;
    AbortURLTransfer();
  } else {
    g_fetch.doneBytes = lparam > 0 ? static_cast<uint64_t>(lparam) : 0;
  }
  return 0;
}

}  // namespace vrn

using namespace vrn;

VORNIC_API int16_t VRN_Cre8URL(KvWindow statusWindow, const char* location, const char* user, const char* password,
                               const char* localFile, KvGlobal* fetchHandle) {
  ClearURLErrorText();
  if (fetchHandle != nullptr) *fetchHandle = 0;
  // Whatever fetch or upload was left open ends here: only one exists.
  AbortURLTransfer();
  DestroyURLWindow();
  if (g_fetch.localFile != KV_INVALID_FILE) kv::FileClose(g_fetch.localFile);
  g_fetch.localFile = KV_INVALID_FILE;
  g_fetch.ready = 0;
  g_fetch.started = 0;
  g_fetch.windowCreated = 0;
  g_fetch.busy = 0;
  g_fetch.statusWindow = statusWindow;
  LoadNetworkSettings();

  SendStatusText(OpeningText(location));
  if (location == nullptr || localFile == nullptr || fetchHandle == nullptr) return -1;
  char path[kLogNameWidth] = "";
  char host[kLogNameWidth] = "";
  uint16_t port = 0;
  if (ParseLogLocation(path, sizeof path, location, host, sizeof host, &port) != kLocationFtp) return -1;
  const NetworkLibraryBinding& ftp = g_networkBinding;
  if (ftp.socketModule == nullptr || ftp.ftpModule == nullptr) return -1;

  const std::string remote = NormalizeLogPath(path, ProfileDirectory(), kv::Now());
  g_fetch.locationKind = kLocationFtp;
  ftp.FtpSetSynchronousMode();
  ftp.FtpSetDefaultPort(port);
  ftp.FtpSetDefaultTimeOut(120);
  const char* name = user != nullptr ? user : "";
  SendStatusText(LogonText(name, host));
  const int32_t logon = ftp.FtpLogin(host, name, password != nullptr ? password : "", 0, 0);
  if (logon != 0) {
    SetURLErrorText(logon);
    ftp.FtpLocalClose();
    return -1;
  }

  g_fetch.totalBytes = 0;
  g_fetch.doneBytes = 0;
  auto closeSession = [] {
    if (g_networkBinding.FtpCloseConnection() != 0) g_networkBinding.FtpLocalClose();
  };
  if (!CreateURLWindow()) {
    closeSession();
    return -1;
  }
  ftp.FtpSetAsynchronousMode();
  if (g_netSettings.ftpPassive != 0) ftp.FtpSetPassiveMode(1);
  const int32_t sent = ftp.FtpSendFile(localFile, remote.c_str(), FTP_TYPE_BINARY, 1, g_fetch.window,
                                       VRN_URL_MSG_FTP_SEND);
  if (sent != 0) {
    SetURLErrorText(sent);
    closeSession();
    DestroyURLWindow();
    return -1;
  }
  g_fetch.busy = 1;
  g_fetch.started = 1;
  SendStatus(VRN_URL_MSG_UPLOAD, reinterpret_cast<KvLParam>(remote.c_str()));
  if (const int64_t bytes = ftp.FtpBytesToBeTransferred(); bytes > 0) g_fetch.totalBytes = static_cast<uint64_t>(bytes);
  g_fetch.doneBytes = 0;
  const KvGlobal handle = kv::GlobalAlloc(kv::kGlobalMoveable, sizeof(KvWindow));
  if (handle == 0) {
    AbortURLTransfer();
    DestroyURLWindow();
    g_fetch.busy = 0;
    return -1;
  }
  if (auto* held = static_cast<KvWindow*>(kv::GlobalLock(handle)); held != nullptr) {
    *held = statusWindow;
    kv::GlobalUnlock(handle);
  }
  *fetchHandle = handle;
  return 0;
}
