#include "platform/testsupport/process.h"

#include <sys/wait.h>
#include <unistd.h>

namespace kv::test {

pid_t StartChild(int (*body)(void*), void* arg) {
  pid_t pid = fork();
  if (pid == 0) _exit(body(arg));
  return pid;
}

int WaitChild(pid_t pid) {
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunInChild(int (*body)(void*), void* arg) { return WaitChild(StartChild(body, arg)); }

}  // namespace kv::test
