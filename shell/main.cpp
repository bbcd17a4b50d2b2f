// The main program KELVARON.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <thread>

#include "platform/module/module.h"
#include "platform/ui/window.h"
#include "shell/startup_main.h"

int main(int argc, char** argv) {
  // Help and unknown arguments are answered before anything is started, so
  // that they never take the place of the running copy.
  if (int code = kv::app::CheckArguments(argc, argv, stdout, stderr); code >= 0) return code;
  std::string commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += ' ';
    commandLine += argv[i];
  }
  // A request to end (the session or the operator) closes the program the way
  // the exit command does; every thread started later inherits the mask.
  sigset_t endSignals;
  sigemptyset(&endSignals);
  sigaddset(&endSignals, SIGTERM);
  sigaddset(&endSignals, SIGINT);
  sigaddset(&endSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
  std::thread([endSignals]() {
    for (;;) {
      int signal = 0;
      if (sigwait(&endSignals, &signal) == 0) kv::app::RequestExit();
    }
  }).detach();
  return kv::app::WinMain(KvSelfModule(), nullptr, commandLine.c_str(), kv::ui::ShowNormal);
}
