// Server processes (pyftpdlib, small Python HTTP scripts) for tests.
#ifndef KV_PLATFORM_TESTSUPPORT_SERVERS_H
#define KV_PLATFORM_TESTSUPPORT_SERVERS_H

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kv::test {

// "/usr/bin/python3" when it exists, else "python3" (found on PATH).
std::string Python();

// A server in a child process, stopped (SIGTERM, then waited for) by Stop or
// the destructor.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts args[0] (searched on PATH; a process started before is left as
  // it is) with its standard output on /dev/null
  // and its standard error into `errorLog` (appended to when `appendLog`,
  // else written from its start). Returns posix_spawnp's result: 0 when the
  // process runs.
  int Spawn(std::vector<std::string> args, const std::string& errorLog, bool appendLog = true);
  // Spawn, then WaitForPort(port) (up to 10 s until 127.0.0.1:port accepts).
  // False when the process could not be started or the port never accepted;
  // the process is kept (and stopped later) in the second case.
  bool Start(std::vector<std::string> args, const std::string& errorLog, uint16_t port, bool appendLog = true);
  // Sends `signal` to the process and waits for it; nothing when none runs.
  void Stop(int signal = SIGTERM);
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = 0;
};

}  // namespace kv::test

#endif
