// Feeds arbitrary file contents to the status file reader in every mode.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "logstatus/saldune.h"
#include "platform/ostrel/ostrel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("kvls-fuzz", 0);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  LogStatusHandle handle;
  KVLS_LogStatusFileStartup(path, &handle);
  time_t key = size > 0 ? data[0] : 0;
  for (int32_t mode = 0; mode <= 5; ++mode) {
    // A bounded number of reads: mode 4 walks the lines one by one.
    for (int round = 0; round < 64; ++round) {
      int32_t count = 0, stamp = 0;
      char error[KVLS_ERROR_TEXT_SIZE];
      LogStatusItem* items = KVLS_ReadEntryFromLogStatusFile(0, &handle, &key, &stamp, mode, &count, error);
      if (items == nullptr) break;
      for (int32_t i = 0; i < count; ++i)
        if (strnlen(items[i].value, KVLS_MAX_VALUE) >= KVLS_MAX_VALUE) __builtin_trap();
      KVUI_MyFree(items);
    }
  }
  KVLS_LogStatusFileCleanup(&handle);
  close(fd);
  return 0;
}
