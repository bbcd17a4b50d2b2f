// Child processes for tests.
#ifndef KV_PLATFORM_TESTSUPPORT_PROCESS_H
#define KV_PLATFORM_TESTSUPPORT_PROCESS_H

#include <sys/types.h>

namespace kv::test {

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
