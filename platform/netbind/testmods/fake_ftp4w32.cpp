// An FTP module for the binding tests: FtpInit and FtpRelease append a line
// to the file named by KV_NETBIND_CALL_LOG, everything else does nothing.
// Built in variants that lack one name (KV_OMIT_<name>).
#include <cstdio>
#include <cstdlib>

#include "platform/ftp4w32/ftp4w32.h"

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

#define FAKE(name, ret, ...) \
  extern "C" KV_EXPORT ret name(__VA_ARGS__) { return 0; }

extern "C" KV_EXPORT int32_t FtpInit(KvWindow window) {
  char line[64];
  std::snprintf(line, sizeof line, "FtpInit %u", static_cast<unsigned>(window));
  Record(line);
  return 0;
}

#ifndef KV_OMIT_FtpRelease
extern "C" KV_EXPORT int32_t FtpRelease() {
  Record("FtpRelease");
  return 0;
}
#endif

FAKE(FtpBytesToBeTransferred, int64_t)
FAKE(FtpSetDefaultPort, int32_t, int32_t)
FAKE(FtpSetDefaultTimeOut, int32_t, int32_t)
FAKE(FtpLogin, int32_t, const char*, const char*, const char*, KvWindow, uint32_t)
FAKE(FtpOpenConnection, int32_t, const char*)
FAKE(FtpCloseConnection, int32_t)
FAKE(FtpLocalClose, int32_t)
FAKE(FtpRecvFile, int32_t, const char*, const char*, char, int32_t, KvWindow, uint32_t)
FAKE(FtpSendFile, int32_t, const char*, const char*, char, int32_t, KvWindow, uint32_t)
FAKE(FtpDir, int32_t, const char*, const char*, int32_t, KvWindow, uint32_t)
FAKE(FtpSetAsynchronousMode, int32_t)
FAKE(FtpSetSynchronousMode, int32_t)
FAKE(FtpAbort, int32_t)
FAKE(FtpPWD, int32_t, char*, int32_t)
#ifndef KV_OMIT_FtpCWD
FAKE(FtpCWD, int32_t, const char*)
#endif
FAKE(FtpSetPassiveMode, int32_t, int32_t)
