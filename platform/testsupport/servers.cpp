#include "platform/testsupport/servers.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <utility>

#include "platform/testsupport/ports.h"

extern char** environ;

namespace kv::test {

std::string Python() { return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

int ServerProcess::Spawn(std::vector<std::string> args, const std::string& errorLog, bool appendLog) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, errorLog.c_str(), O_WRONLY | O_CREAT | (appendLog ? O_APPEND : 0),
                                   0644);
  const int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) pid_ = 0;
  return rc;
}

bool ServerProcess::Start(std::vector<std::string> args, const std::string& errorLog, uint16_t port,
                          bool appendLog) {
  if (Spawn(std::move(args), errorLog, appendLog) != 0) return false;
  return WaitForPort(port);
}

void ServerProcess::Stop(int signal) {
  if (pid_ > 0) {
    kill(pid_, signal);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = 0;
}

}  // namespace kv::test
