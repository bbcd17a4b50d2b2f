// Helpers for the tests of the platform base.
#ifndef KV_PLATFORM_BASE_TESTUTIL_H
#define KV_PLATFORM_BASE_TESTUTIL_H

#include <sys/types.h>

#include <string>

namespace kv::test {

// A fresh folder under the test temp folder, removed with its content on
// destruction. Path() ends without "/".
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole-file helpers (plain POSIX, independent of the code under test).
void WriteText(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_;
};

// Runs `body` in a forked child; returns its exit status (the body's return
// value), or -1 when the child did not exit normally.
int RunInChild(int (*body)(void*), void* arg);

// The same in two steps, so that the caller can work while the child runs:
// StartChild returns the child's process id (-1 when fork fails), WaitChild
// its exit status as above.
pid_t StartChild(int (*body)(void*), void* arg);
int WaitChild(pid_t pid);

}  // namespace kv::test

#endif
