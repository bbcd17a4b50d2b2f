// The main program's spine: process entry, single instance, the service
// entry and its control handler, the start-up sequence, the hidden top-level
// window and shutdown.
#ifndef KV_SHELL_STARTUP_MAIN_H
#define KV_SHELL_STARTUP_MAIN_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/base/kvtypes.h"
#include "platform/module/module.h"
#include "shell/language_modules.h"
#include "shell/startup_service.h"

namespace kv::app {

inline constexpr const char* kMainClass = "KELVARON40:MAIN";
inline constexpr const char* kProgressBarClass = "Kelvaron Progress Bar";
inline constexpr const char* kSchedulerMutexName = "KV40_SchedulerMutex";
inline constexpr const char* kServiceName = "Kelvaron40";
inline constexpr const char* kDispatchName = "Kelvaron";
inline constexpr uint32_t kOpenPanelMessage = 2024;
inline constexpr uint32_t kOtherInstanceMessage = 2034;
inline constexpr int32_t kExitCommand = 5780;
inline constexpr int32_t kPanelTemplate = 100;

// Process-wide state, set once during start-up.
struct AppState {
  KvModule programInstance = nullptr;
  KvModule resourceModule = nullptr;  // the program or BASE.RSL
  ProductModule product;
  std::atomic<KvWindow> hiddenWindow{0};
  KvWindow splashWindow = 0;
  std::atomic<KvWindow> panelWindow{0};  // set by the main panel; target of the exit command
  KvWindow progressDialog = 0;     // the progress window's dialog (status items 19200...)
  KvWindow progressBar = 0;
  KvHandle schedulerMutex = 0;
  std::string commandLine;
  std::string helpFile;
  uint16_t languageId = 1033;
  uint16_t cpuUsage = 100;
  intptr_t logonToken = 0;
  bool runningAsService = false;
  int16_t hidePanel = 1;
  bool networkBound = false;
  std::atomic<bool> exitRequested{false};  // an exit came before the panel was open
  ServiceStatus serviceStatus;
};
AppState& App();

// The program's arguments: none (a plain start) or "/service" (the start by
// the service manager). Anything else, a request for help included, is
// answered with the usage text on `out` (help) or `err` (an unknown argument)
// before anything is started or taken; the result is then the exit code (0
// for help, 2 otherwise). -1: go on and start.
int CheckArguments(int argc, char** argv, std::FILE* out, std::FILE* err);

int WinMain(KvModule instance, KvModule previous, const char* commandLine, int32_t showCommand);
int RunApplication(KvModule instance, intptr_t ignored, const char* commandLine, int32_t showCommand);
void ServiceMain(int argc, char** argv);
void ServiceCtrlHandler(uint32_t control);
void ShutdownApplication();
bool RegisterMainWindowClass(KvModule instance);
bool RegisterProgressBarClass(KvModule instance);

// The main panel's start record.
struct PanelStart {
  int32_t showCommand = 0;
  int32_t flag = 0;
};

// Ends the program from any thread: the exit command to the main panel, or,
// before the panel is open, the hidden window is closed and no panel opens.
void RequestExit();

// Splits a service user name at the first "/" (or, when there is none, the
// first "\") into domain and user; without a separator the domain is empty.
void SplitServiceUser(const std::string& name, std::string* domain, std::string* user);

}  // namespace kv::app

// The hidden window's procedure.
extern "C" KV_EXPORT KvResult MainWndProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam);

// The main panel's dialog procedure (a minimal headless panel until the
// panel itself is built: it ends on the exit command or Cancel).
extern "C" KV_EXPORT KvResult Big_Buttons_Dialog(KvWindow dialog, uint32_t message, KvWParam wparam,
                                                 KvLParam lparam);

#endif
