#include "platform/base/debuglog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "platform/base/paths.h"

namespace kv {

namespace {

std::mutex& LogMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

void WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

std::string DebugLogPath() {
  const char* env = std::getenv("KV_DEBUG_LOG");
  if (env && *env) return ToNativePath(env);
  return ProgramFolder() + "debug.log";
}

void DebugOutput(const std::string& text) {
  std::string line = text;
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  std::string path = DebugLogPath();
  std::lock_guard<std::mutex> lock(LogMutex());
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) {
    WriteAll(fd, line);
    close(fd);
  }
  if (std::getenv("KV_DEBUG_STDERR")) WriteAll(2, line);
}

void DebugOutput(const char* text) { DebugOutput(std::string(text ? text : "")); }

}  // namespace kv
