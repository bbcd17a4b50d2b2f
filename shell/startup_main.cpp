// Process entry, service entry, start-up sequence, hidden window, shutdown.
#include "shell/startup_main.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/base/clock.h"
#include "platform/base/debuglog.h"
#include "platform/base/lasterror.h"
#include "platform/module/resource.h"
#include "platform/netbind/netbind.h"
#include "platform/sync/sync.h"
#include "platform/ui/dialog.h"
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"
#include "shell/options_remote.h"
#include "shell/plugin_host.h"
#include "shell/settings_file.h"
#include "shell/settings_scramble.h"

namespace kv::app {
namespace {

constexpr const char* kCaption = "Kelvaron";
constexpr const char* kServiceCaption = "Kelvaron Service";
constexpr uint32_t kServiceNotification = 0x00200000u;
constexpr int32_t kProgressBarFailureText = 10061;
constexpr uint32_t kLogonService = 5;

using CustomControlsFn = int32_t (*)(KvModule instance);

// The custom control library's set-up (ordinal 66) and release (67); a
// missing library or ordinal is skipped.
void CallCustomControls(uint32_t ordinal, KvModule instance) {
  KvModule library = KvLoadModule("CSTCTLS4.DLL");
  if (!library) return;
  if (auto fn = reinterpret_cast<CustomControlsFn>(KvGetProcOrdinal(library, ordinal))) fn(instance);
  KvFreeModule(library);
}

KvResult ProgressBarWndProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam) {
  return ui::DefWindowProc(window, message, wparam, lparam);
}

void ReportServiceStatus(uint32_t state, uint32_t accepted, uint32_t checkPoint, uint32_t waitHint) {
  ServiceStatus& s = App().serviceStatus;
  s.currentState = state;
  s.controlsAccepted = accepted;
  s.checkPoint = checkPoint;
  s.waitHint = waitHint;
  svc::SetServiceStatus(s);
}

// Dispatches what is waiting without blocking. A Quit met here is posted
// again so that the message loop still ends on it.
void DispatchWaiting() {
  ui::Message m;
  while (ui::PeekMessage(&m)) {
    if (m.message == msg::Quit) {
      ui::PostQuitMessage(static_cast<int32_t>(m.wparam));
      return;
    }
    KvWindow status = App().progressDialog;
    if (status && ui::IsDialogMessage(status, &m)) continue;
    ui::TranslateMessage(&m);
    ui::DispatchMessage(&m);
  }
}

}  // namespace

AppState& App() {
  static AppState state;
  return state;
}

void SplitServiceUser(const std::string& name, std::string* domain, std::string* user) {
  size_t at = name.find('/');
  if (at == std::string::npos) at = name.find('\\');
  if (at == std::string::npos) {
    domain->clear();
    *user = name;
  } else {
    *domain = name.substr(0, at);
    *user = name.substr(at + 1);
  }
}

void RequestExit() {
  AppState& a = App();
  if (KvWindow panel = a.panelWindow.load()) {
    ui::SendMessage(panel, msg::Command, ui::MakeWParam(kExitCommand, 0), 0);
    return;
  }
  a.exitRequested = true;
  if (KvWindow hidden = a.hiddenWindow.load()) ui::PostMessage(hidden, msg::Close, 0, 0);
}

bool RegisterMainWindowClass(KvModule /*instance*/) {
  // Message queues here grow as needed; there is no size to negotiate.
  if (!ui::RegisterWindowClass(kMainClass, MainWndProc, 0)) {
    ui::MessageBox(0, "Unable to register the main Kelvaron window class.", kCaption, ui::MbIconError);
    return false;
  }
  return true;
}

bool RegisterProgressBarClass(KvModule /*instance*/) {
  if (!ui::RegisterWindowClass(kProgressBarClass, ProgressBarWndProc, 32 / static_cast<int32_t>(sizeof(intptr_t)))) {
    char text[256];
    KvLoadString(App().resourceModule, kProgressBarFailureText, text, sizeof text);
    ui::MessageBox(0, text, kCaption, ui::MbIconError);
    return false;
  }
  return true;
}

int CheckArguments(int argc, char** argv, std::FILE* out, std::FILE* err) {
  static const char kUsage[] =
      "Usage: KELVARON [/service]\n"
      "  (no argument)  start Kelvaron, or bring the running copy forward\n"
      "  /service       run as the Kelvaron service (started by the service manager)\n";
  bool help = false;
  const char* unknown = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i] ? argv[i] : "";
    if (strcasecmp(arg, "/service") == 0) continue;
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "/?") == 0 ||
        strcasecmp(arg, "/help") == 0) {
      help = true;
    } else if (!unknown) {
      unknown = arg;
    }
  }
  if (unknown) {
    std::fprintf(err, "KELVARON: unknown argument \"%s\"\n%s", unknown, kUsage);
    return 2;
  }
  if (help) {
    std::fputs(kUsage, out);
    return 0;
  }
  return -1;
}

int WinMain(KvModule instance, KvModule previous, const char* commandLine, int32_t showCommand) {
  AppState& a = App();
  a.programInstance = instance;
  a.resourceModule = instance;
  const char* line = commandLine ? commandLine : "";
  if (std::strstr(line, "/service")) {
    if (!svc::StartServiceCtrlDispatcher(kDispatchName, ServiceMain))
      DebugOutput("StartServiceCtrlDispatcher Failed\r\n");
    return 0;
  }
  // Without a private folder for the run-time files this copy could neither
  // find a running one nor be found, nor tell a service that failed from one
  // it cannot see: it refuses to start rather than run unguarded.
  std::string runTime;
  if (svc::RunTimeFolder(&runTime).empty()) {
    std::string text = "Kelvaron cannot use the folder for its run-time files";
    if (!runTime.empty()) text += " (" + runTime + ")";
    text += ": it belongs to another user, is open to others or cannot be made. Kelvaron will not start.";
    ui::MessageBox(0, text.c_str(), kCaption, ui::MbOk);
    return 0;
  }
  if (svc::FindRunningWindow(kMainClass)) {
    svc::SendToRunningWindow(kMainClass, kOtherInstanceMessage, 0, 0);
    return 0;
  }
  if (!svc::IsServiceInstalled(kServiceName))
    return RunApplication(instance, reinterpret_cast<intptr_t>(previous), line, showCommand);
  ServiceStatus status;
  if (!svc::QueryServiceStatus(kServiceName, &status)) {
    ui::MessageBox(0, "QueryServiceStatus Failed", kCaption, ui::MbOk);
    return 0;
  }
  if (status.currentState == svc::kStopped) {
    if (svc::StartService(kServiceName, {"0"})) return 0;
    ui::MessageBox(0, "Kelvaron Service failed to start. Kelvaron will remove the Service and exit.", kCaption,
                   ui::MbOk);
    svc::DeleteService(kServiceName);
    return 0;
  }
  ui::MessageBox(0,
                 "Kelvaron Service is already running. You can use Services (Control Panel) applet to stop the "
                 "running service.",
                 kCaption, ui::MbOk);
  return 0;
}

int RunApplication(KvModule instance, intptr_t /*ignored*/, const char* commandLine, int32_t showCommand) {
  AppState& a = App();
  a.programInstance = instance;
  if (!a.resourceModule) a.resourceModule = instance;
  if (!RegisterMainWindowClass(instance)) return -1;
  KvWindow hidden = ui::CreateWindow(kMainClass, kCaption, 0, 0);
  if (!ui::IsWindow(hidden)) return -1;
  a.hiddenWindow = hidden;
  // A second copy finds this one through the class name.
  svc::AnnounceWindowClass(kMainClass, hidden);
  a.commandLine = commandLine ? commandLine : "";
  std::string folder = GetProgramDirectory();

  a.schedulerMutex = KvCreateMutex(kSchedulerMutexName, 0, 0);
  if (!a.schedulerMutex) ui::MessageBox(0, "Failed to create scheduler mutex", "Kelvaron Error", ui::MbOk);

  char author[260], company[260];
  ReadAuthorAndCompany(author, sizeof author, company, sizeof company);
  a.cpuUsage = ReadCpuUsage();

  a.networkBound = BindNetworkLibraries() != 0;
  CallCustomControls(66, instance);

  std::string program = ReadProgramLanguage();
  a.languageId = lang::LanguageIdFor(program);
  if (!lang::LoadProductModule("PRODUCT.RSL", &a.product)) {
    ui::MessageBox(0, "Unable to locate a CURRENT product resource support file (.PRD).", "Error!", ui::MbOk);
    return -1;
  }
  a.product.Register(a.languageId, a.languageId);
  bool loaded = false;
  KvModule resources = lang::ChooseResourceModule(program, "BASE.RSL", &loaded);
  if (!resources) {
    ui::MessageBox(0, "Unable to locate a .BSE resource support file.", "Error!", ui::MbIconError);
    return -1;
  }
  a.resourceModule = resources;
  KvSetResourceLanguage(a.languageId);
  a.helpFile = folder + "HELP\\" + program + "\\PRODUCT.HLP";

  if (!RegisterProgressBarClass(instance)) return -1;

  a.splashWindow = a.product.CreateSplash(hidden);
  if (!ui::IsWindow(a.splashWindow)) {
    ui::MessageBox(0, "Splash screen failed to load.", "Error!", ui::MbIconError);
    ShutdownApplication();
    return -1;
  }
  DispatchWaiting();
  // The splash stays up until the clock has advanced by two whole seconds;
  // messages are served meanwhile instead of spinning.
  std::time_t shown = std::time(nullptr);
  while (std::time(nullptr) < shown + 2) {
    ui::WaitMessage(50);
    DispatchWaiting();
  }

  host::LoadSupportLibraries(folder, a.logonToken);
  kv::opts::InitRemoteReports();

  ui::PostMessage(hidden, kOpenPanelMessage, static_cast<KvWParam>(showCommand), 0);
  ui::Message m;
  int32_t got;
  while ((got = ui::GetMessage(&m)) > 0) {
    ui::TranslateMessage(&m);
    ui::DispatchMessage(&m);
  }
  int exitCode = got == 0 ? static_cast<int>(static_cast<int32_t>(m.wparam)) : 0;

  ShutdownApplication();
  svc::WithdrawWindowClass(kMainClass);
  ui::UnregisterWindowClass(kMainClass);
  a.hiddenWindow = 0;
  a.exitRequested = false;
  a.runningAsService = false;
  return exitCode;
}

void ShutdownApplication() {
  AppState& a = App();
  if (a.product.module) {
    a.product.DestroySplash(a.splashWindow);
    a.product.Unregister();
  }
  a.splashWindow = 0;
  ui::UnregisterWindowClass(kProgressBarClass);
  CallCustomControls(67, a.programInstance);
  kv::opts::ExitRemoteReports();
  host::UnloadSupportLibraries();
  host::ClearEntryArrays();
  if (a.resourceModule && a.resourceModule != a.programInstance) KvFreeModule(a.resourceModule);
  a.resourceModule = a.programInstance;
  if (a.product.module) {
    a.product.Unregister();
    lang::FreeProductModule(&a.product);
  }
  if (a.networkBound) {
    ReleaseNetworkLibraries();
    a.networkBound = false;
  }
  if (a.schedulerMutex) {
    KvCloseHandle(a.schedulerMutex);
    a.schedulerMutex = 0;
  }
}

void ServiceMain(int argc, char** argv) {
  AppState& a = App();
  if (argc == 2 && argv && argv[1]) a.hidePanel = static_cast<int16_t>(std::atoi(argv[1]));
  a.runningAsService = true;
  if (!svc::RegisterServiceCtrlHandler(kDispatchName, ServiceCtrlHandler))
    DebugOutput("RegisterServiceCtrlHandler Failed\r\n");
  ReportServiceStatus(svc::kStartPending, 0, 0, 1000);
  Sleep(500);
  ReportServiceStatus(svc::kStartPending, 0, 1, 1000);
  Sleep(500);
  ReportServiceStatus(svc::kRunning, svc::kAcceptStop, 0, 1000);

  ServiceConfig config;
  if (svc::QueryServiceConfig(kServiceName, &config)) {
    a.serviceStatus.serviceType = config.serviceType;
  } else {
    char text[64];
    std::snprintf(text, sizeof text, "QueryServiceConfig Failed (%lu)", static_cast<unsigned long>(GetLastError()));
    ui::MessageBox(0, text, kServiceCaption, ui::MbOk);
  }

  if (a.serviceStatus.serviceType & svc::kInteractive) {
    std::string username = ReadSetting(settings::kUsername).substr(0, 100);
    std::string stored = ReadSetting(settings::kPassword).substr(0, 100);
    std::string password = UnscramblePassword(stored);
    intptr_t token = 0;
    if (!username.empty()) {
      std::string domain, user;
      SplitServiceUser(username, &domain, &user);
      if (!svc::LogonUser(user.c_str(), domain.c_str(), password.c_str(), kLogonService, 0, &token)) {
        token = 0;
        ui::MessageBox(0,
                       "Kelvaron service failed to logon with the provided username/password. Please check your "
                       "settings in the NT Service panel under the Options dialog.",
                       kServiceCaption, ui::MbOk);
      }
      svc::ImpersonateLoggedOnUser(token);
    }
    a.logonToken = token;
    RunApplication(a.programInstance, 0, "", ui::Show);
    if (token) {
      svc::RevertToSelf();
      svc::CloseToken(token);
      a.logonToken = 0;
    }
  } else {
    ui::MessageBox(0,
                   "Kelvaron Service cannot start as a non-interactive service. Please make sure the Kelvaron "
                   "Real-Time Service is configure to log on as \"System Account\" with the \"Allow Service to "
                   "Interact with Desktop\" option checked.",
                   kServiceCaption, ui::MbOk | kServiceNotification);
    Sleep(3000);
  }
  ReportServiceStatus(svc::kStopped, 0, 0, 0);
}

void ServiceCtrlHandler(uint32_t control) {
  if (control < svc::kControlStop || control > svc::kControlShutdown) return;
  if (control == svc::kControlStop || control == svc::kControlShutdown) {
    RequestExit();
    return;
  }
  ReportServiceStatus(svc::kRunning, svc::kAcceptStop, 0, 1000);
}

}  // namespace kv::app

using kv::app::App;

extern "C" KvResult MainWndProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam) {
  kv::app::AppState& a = App();
  switch (message) {
    case kv::app::kOpenPanelMessage: {
      if (!a.exitRequested) {
        kv::app::PanelStart start;
        start.showCommand = static_cast<int32_t>(wparam);
        start.flag = 0;
        // The remote report server starts once the panel is shown.
        kv::ui::PostMessage(window, kv::opts::kStartWebServerMessage, 0, 0);
        kv::ui::DialogBoxParam(a.resourceModule, kv::app::kPanelTemplate, 0, Big_Buttons_Dialog,
                               reinterpret_cast<KvLParam>(&start));
        a.panelWindow = 0;
      }
      kv::ui::DestroyWindow(window);
      return 0;
    }
    case kv::app::kOtherInstanceMessage: {
      a.hidePanel = 0;
      KvWindow panel = a.panelWindow.load();
      if (panel && (!kv::ui::IsWindowVisible(panel) || kv::ui::IsIconic(panel)))
        kv::ui::ShowWindow(panel, kv::ui::ShowNormal);
      kv::DebugOutput("Another copy was started: the main panel was brought forward");
      return 0;
    }
    case kv::msg::Destroy:
      kv::ui::PostQuitMessage(0);
      return 0;
    default: {
      KvResult result = 0;
      if (kv::opts::HandleRemoteReportMessage(message, wparam, lparam, &result)) return result;
      return kv::ui::DefWindowProc(window, message, wparam, lparam);
    }
  }
}
