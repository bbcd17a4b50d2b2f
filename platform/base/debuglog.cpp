#include "platform/base/debuglog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "platform/base/fdutil.h"
#include "platform/base/paths.h"

namespace kv {

namespace {

std::mutex& LogMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
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
    WriteAllFd(fd, line.data(), line.size());
    close(fd);
  }
  if (std::getenv("KV_DEBUG_STDERR")) WriteAllFd(2, line.data(), line.size());
}

void DebugOutput(const char* text) { DebugOutput(std::string(text ? text : "")); }

}  // namespace kv
