// Writing a whole buffer to a file descriptor (internal to the platform layer).
#ifndef KV_PLATFORM_FDUTIL_H
#define KV_PLATFORM_FDUTIL_H

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace kv {

// Writes all `size` bytes, going on after short writes and interruptions;
// false (errno set) when a write fails.
inline bool WriteAllFd(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace kv

#endif
