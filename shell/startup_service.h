// The program's stand-ins for the system's service manager, logon and
// impersonation, and the channel through which a second copy of the program
// reaches the running one.
//
// Service table: one registry key per service under
// "SYSTEM\CurrentControlSet\Services" (values "DisplayName", "ImagePath",
// "Type"). Run-time files live in a folder of the user's own:
// "kelvaron-<uid>" in the lock folder that env KV_LOCK_DIR names, else
// "kelvaron" in his runtime folder (env XDG_RUNTIME_DIR), else
// ".kelvaron/run-<host>" in his home folder; a folder that is not a real
// folder of his without rights for others is never used. "svc-<name>.lock" is held (flock) by the
// service's process while its dispatcher runs, "svc-<name>.status" holds the
// status it last reported and "svc-<name>.sock" is its control channel. A
// service whose process died reads as stopped.
//
// Logon checks a password file (env KV_LOGON_FILE; lines
// "domain\user:password", the domain may be empty); impersonation records the
// token for the calling thread. Nothing here needs privileges.
#ifndef KV_SHELL_STARTUP_SERVICE_H
#define KV_SHELL_STARTUP_SERVICE_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/kvtypes.h"

namespace kv::svc {

// Service states.
inline constexpr uint32_t kStopped = 1;
inline constexpr uint32_t kStartPending = 2;
inline constexpr uint32_t kStopPending = 3;
inline constexpr uint32_t kRunning = 4;
inline constexpr uint32_t kContinuePending = 5;
inline constexpr uint32_t kPausePending = 6;
inline constexpr uint32_t kPaused = 7;
// Controls.
inline constexpr uint32_t kControlStop = 1;
inline constexpr uint32_t kControlPause = 2;
inline constexpr uint32_t kControlContinue = 3;
inline constexpr uint32_t kControlInterrogate = 4;
inline constexpr uint32_t kControlShutdown = 5;
inline constexpr uint32_t kAcceptStop = 1;
// Service types.
inline constexpr uint32_t kOwnProcess = 0x10;
inline constexpr uint32_t kInteractive = 0x100;

// Last-error values the functions set (platform values).
inline constexpr uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;
inline constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
inline constexpr uint32_t kErrorServiceNotActive = 1062;
inline constexpr uint32_t kErrorServiceRequestTimeout = 1053;
inline constexpr uint32_t kErrorLogonFailure = 1326;

}  // namespace kv::svc

struct ServiceStatus {
  uint32_t serviceType = kv::svc::kOwnProcess;
  uint32_t currentState = 0;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

struct ServiceConfig {
  uint32_t serviceType = kv::svc::kOwnProcess;
  std::string binaryPath;   // program path, a blank and the arguments
  std::string displayName;
};

namespace kv::svc {

// ---- the service table (any process) --------------------------------------
bool CreateService(const char* name, const char* displayName, uint32_t serviceType,
                   const char* binaryPath);
bool DeleteService(const char* name);
bool IsServiceInstalled(const char* name);
bool QueryServiceConfig(const char* name, ServiceConfig* config);
bool QueryServiceStatus(const char* name, ServiceStatus* status);
// Starts the service's program (detached) with the start arguments and waits
// until its dispatcher is connected. False when the service is not installed,
// already runs, or its program ended or never connected.
bool StartService(const char* name, const std::vector<std::string>& arguments);
// Sends a control to the running service's handler and returns its status.
bool ControlService(const char* name, uint32_t control, ServiceStatus* status);

// ---- inside the service's process -----------------------------------------
using ServiceMainFn = void (*)(int argc, char** argv);
using ServiceHandlerFn = void (*)(uint32_t control);
// Connects the process to the service manager and runs the service entry on
// a thread of its own (argv[0] is the service name, then the start
// arguments); serves controls on the calling thread until the entry returns.
// False (last error 1063) when the process was not started as that service.
bool StartServiceCtrlDispatcher(const char* name, ServiceMainFn entry);
// Registers the control handler; false outside a dispatcher of that name.
bool RegisterServiceCtrlHandler(const char* name, ServiceHandlerFn handler);
// Reports the service's status to the manager.
bool SetServiceStatus(const ServiceStatus& status);

// ---- logon and impersonation ------------------------------------------------
bool LogonUser(const char* user, const char* domain, const char* password, uint32_t logonType,
               uint32_t provider, intptr_t* token);
bool ImpersonateLoggedOnUser(intptr_t token);
bool RevertToSelf();
bool CloseToken(intptr_t token);
// The user the calling thread impersonates ("" when none).
std::string ImpersonatedUser();

// ---- the running copy of the program ---------------------------------------
// Announces that this process holds a window of the class: a second copy
// finds it through FindRunningWindow / SendToRunningWindow. False when
// another process holds the class already.
bool AnnounceWindowClass(const char* className, KvWindow window);
// The folder of the run-time files with its trailing "/", made when missing;
// "" when it cannot be had as a private folder of the user (then nothing
// that needs it works: the caller must refuse to run). *tried: the folder
// looked at.
std::string RunTimeFolder(std::string* tried = nullptr);
// Withdraws the announcement (also done by process exit).
void WithdrawWindowClass(const char* className);
// True when another process announced the class.
bool FindRunningWindow(const char* className);
// Posts the message to the announced window of the running copy; true when
// it was delivered to that copy's queue.
bool SendToRunningWindow(const char* className, uint32_t message, KvWParam wparam, KvLParam lparam);

// Parsers of the stand-ins' texts (exposed for tests).
namespace detail {
// A command line split at blanks; double quotes group blanks into a word.
std::vector<std::string> SplitCommandLine(const std::string& text);
// Whether a password file line ("domain\user:password", "user:password")
// names the account ("domain\user", compared ignoring case) and password.
bool LogonLineMatches(std::string line, const std::string& account, const std::string& password);
// A status file's text: seven decimal words.
bool ParseStatusText(const std::string& text, ServiceStatus* status);
}  // namespace detail

}  // namespace kv::svc

#endif
