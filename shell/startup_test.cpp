// Start-up, single copy, service and shutdown: the program run in-process
// through its message loop and a dialog script, and as real child processes.
#include "shell/startup_main.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "platform/base/clock.h"
#include "platform/ui/dialog.h"
#include "platform/ui/msgbox.h"
#include "shell/plugin_host.h"
#include "shell/settings_scramble.h"
#include "shell/startup_service.h"

namespace fs = std::filesystem;

namespace {

std::string MakeTempDir() {
  char templ[] = "/tmp/kvstartXXXXXX";
  if (!mkdtemp(templ)) return "";
  return std::string(templ) + "/";
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A program folder holding the program, its modules and optionally the
// test plug-in.
void FillProgramFolder(const std::string& dir, bool product, bool base, bool plugin) {
  fs::path bin = std::getenv("KV_PROGRAM_DIR");
  fs::create_directories(dir);
  for (const char* f : {"KELVARON", "WSOCK32.so", "FTP4W32.so"}) fs::create_symlink(bin / f, dir + f);
  if (product) fs::create_symlink(bin / "PRODUCT.RSL", dir + "PRODUCT.RSL");
  if (base) fs::create_symlink(bin / "BASE.RSL", dir + "BASE.RSL");
  if (plugin) {
    fs::copy_file(fs::path(std::getenv("KV_TEST_DIR")) / "shell_plugins" / "kvm_test.so", dir + "kvm_test.so");
    std::ofstream(dir + "kvm_test.so.cfg") << "id=4\nname=Test\nprofiles=One\nsplash=Loading Test\nlog=" << dir
                                           << "plugin.log\n";
  }
}

// The in-process runs share one program folder: the settings file's path is
// fixed at its first use.
std::string g_programDir;
std::string g_realProgramDir;

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_realProgramDir = std::getenv("KV_PROGRAM_DIR");
    g_programDir = MakeTempDir() + "prog/";
    FillProgramFolder(g_programDir, true, true, true);
    setenv("KV_PROGRAM_DIR", g_programDir.c_str(), 1);
    setenv("KV_LOCK_DIR", (g_programDir + "locks").c_str(), 1);
    setenv("KV_REGISTRY", (g_programDir + "registry.ini").c_str(), 1);
    setenv("KV_DEBUG_LOG", (g_programDir + "debug.log").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(fs::path(g_programDir).parent_path().parent_path()); }
};
::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new Environment);

// ---- in-process ------------------------------------------------------------

struct Seen {
  bool panelShown = false;
  KvModule resources = nullptr;
  uint16_t language = 0;
  std::string help;
  bool splash = false;
  bool mutex = false;
  bool plugin = false;
  bool network = false;
  std::string splashText;
};

Seen RunOnce(const std::string& language) {
  std::ofstream(g_programDir + "KELVARON.INI") << "[Language]\nProgram=" << language << "\n";
  Seen seen;
  auto previous = kv::ui::SetDialogScript([&](KvWindow dialog, kv::ui::DialogEvent event) {
    kv::app::AppState& a = kv::app::App();
    if (event != kv::ui::DialogEvent::Shown || dialog != a.panelWindow.load()) return;
    seen.panelShown = true;
    seen.resources = a.resourceModule;
    seen.language = a.languageId;
    seen.help = a.helpFile;
    seen.splash = kv::ui::IsWindow(a.splashWindow);
    seen.mutex = a.schedulerMutex != 0;
    seen.plugin = kv::host::FindSupportLibrary(4) != nullptr;
    seen.network = a.networkBound;
    char text[64] = "";
    kv::ui::GetWindowText(a.product.GetSplashTextWnd(a.splashWindow, 0), text, sizeof text);
    seen.splashText = text;
    kv::ui::SendMessage(dialog, kv::msg::Command, kv::ui::MakeWParam(kv::app::kExitCommand, 0), 0);
  });
  int code = kv::app::RunApplication(KvSelfModule(), 0, "", kv::ui::ShowNormal);
  kv::ui::SetDialogScript(previous);
  EXPECT_EQ(code, 0);
  return seen;
}

TEST(RunApplicationTest, StartsOpensThePanelAndShutsDown) {
  struct Case {
    const char* program;
    uint16_t language;
  };
  const Case cases[] = {{"ENGLISH", 1033}, {"", 1033}, {"FRENCH", 1036}, {"GERMAN", 1031},
                        {"JAPANESE", 1041}, {"KLINGON", 1033}};
  for (const Case& c : cases) {
    Seen seen = RunOnce(c.program);
    ASSERT_TRUE(seen.panelShown) << c.program;
    EXPECT_EQ(seen.language, c.language) << c.program;
    // The program carries no menus of its own: BASE.RSL serves every language.
    EXPECT_NE(seen.resources, KvSelfModule()) << c.program;
    EXPECT_NE(seen.resources, nullptr);
    EXPECT_EQ(seen.help, g_programDir + "HELP\\" + c.program + "\\PRODUCT.HLP");
    EXPECT_TRUE(seen.splash);
    EXPECT_TRUE(seen.mutex);
    EXPECT_TRUE(seen.plugin);
    EXPECT_TRUE(seen.network);
    EXPECT_EQ(seen.splashText, "Loading Test");  // through callback 7
    // Shutdown released everything.
    kv::app::AppState& a = kv::app::App();
    EXPECT_EQ(a.resourceModule, KvSelfModule());
    EXPECT_EQ(a.product.module, nullptr);
    EXPECT_EQ(kv::host::FirstSupportLibrary(), nullptr);
    EXPECT_FALSE(kv::ui::IsWindowClassRegistered(kv::app::kMainClass));
    EXPECT_FALSE(kv::ui::IsWindowClassRegistered(kv::app::kProgressBarClass));
  }
  std::string calls = ReadAll(g_programDir + "plugin.log");
  EXPECT_NE(calls.find("Test: init host=0"), std::string::npos);
  EXPECT_NE(calls.find("Test: unload"), std::string::npos);
}

TEST(RunApplicationTest, ExitBeforeThePanelOpensEndsTheRun) {
  std::ofstream(g_programDir + "KELVARON.INI") << "[Language]\nProgram=ENGLISH\n";
  bool panel = false;
  auto previous = kv::ui::SetDialogScript([&](KvWindow, kv::ui::DialogEvent) { panel = true; });
  std::thread stopper([] {
    // As the service's stop would come: from another thread, during start-up.
    while (!kv::app::App().hiddenWindow.load()) kv::Sleep(5);
    kv::app::RequestExit();
  });
  int code = kv::app::RunApplication(KvSelfModule(), 0, "", kv::ui::ShowNormal);
  stopper.join();
  kv::ui::SetDialogScript(previous);
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(panel);
}

TEST(ServiceUserTest, SplitsAtTheFirstSeparator) {
  struct Case {
    const char* name;
    const char* domain;
    const char* user;
  };
  const Case cases[] = {{"alice", "", "alice"},
                        {"office/alice", "office", "alice"},
                        {"office\\alice", "office", "alice"},
                        {"a\\b/c", "a\\b", "c"},  // "/" is looked for first
                        {"/alice", "", "alice"},
                        {"", "", ""}};
  for (const Case& c : cases) {
    std::string domain = "x", user = "x";
    kv::app::SplitServiceUser(c.name, &domain, &user);
    EXPECT_EQ(domain, c.domain) << c.name;
    EXPECT_EQ(user, c.user) << c.name;
  }
}

// ---- child processes ---------------------------------------------------------

class ProgramProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTempDir();
    prog_ = root_ + "prog/";
    env_ = {{"KV_PROGRAM_DIR", prog_},
            {"KV_LOCK_DIR", root_ + "locks"},
            {"KV_REGISTRY", root_ + "registry.ini"},
            {"KV_MSGBOX_LOG", root_ + "boxes.log"},
            {"KV_DEBUG_LOG", root_ + "debug.log"},
            {"KV_LOGON_FILE", root_ + "logons"}};
    saved_ = {getenv("KV_LOCK_DIR"), getenv("KV_REGISTRY")};
    setenv("KV_LOCK_DIR", env_["KV_LOCK_DIR"].c_str(), 1);
    setenv("KV_REGISTRY", env_["KV_REGISTRY"].c_str(), 1);
  }
  void TearDown() override {
    for (pid_t pid : children_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    // A service started by a test runs detached: stop it.
    ServiceStatus status;
    if (kv::svc::QueryServiceStatus(kv::app::kServiceName, &status) && status.currentState != kv::svc::kStopped) {
      kv::svc::ControlService(kv::app::kServiceName, kv::svc::kControlStop, nullptr);
      WaitForState(kv::svc::kStopped);
    }
    // A service reports "stopped" before its process has let go of its
    // socket and lock: the folder is removed only once no service lock of
    // this test is held, so that it does not vanish under its own clean-up.
    WaitFor([&] { return !AnyServiceLockHeld(); });
    setenv("KV_LOCK_DIR", saved_[0].c_str(), 1);
    setenv("KV_REGISTRY", saved_[1].c_str(), 1);
    std::error_code ec;
    fs::remove_all(root_, ec);
    EXPECT_FALSE(ec) << ec.message();
  }
  // The run-time files of the program's copies: a folder of the user's own
  // in the lock folder.
  std::string RunTimeFolder() { return root_ + "locks/kelvaron-" + std::to_string(geteuid()) + "/"; }
  bool AnyServiceLockHeld() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(RunTimeFolder(), ec)) {
      std::string name = entry.path().filename().string();
      if (name.rfind("svc-", 0) != 0 || entry.path().extension() != ".lock") continue;
      int fd = open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
      close(fd);
      if (held) return true;
    }
    return false;
  }
  pid_t Start(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
      for (auto& [k, v] : env_) setenv(k.c_str(), v.c_str(), 1);
      std::vector<char*> argv;
      std::string program = prog_ + "KELVARON";
      argv.push_back(program.data());
      std::vector<std::string> copy = args;
      for (std::string& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(126);
    }
    children_.push_back(pid);
    return pid;
  }
  // Waits for the child's end (at most 60 s: a loaded machine); its exit
  // code, or -1000.
  int Wait(pid_t pid) {
    for (int i = 0; i < 6000; ++i) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        children_.erase(std::find(children_.begin(), children_.end(), pid));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
      }
      kv::Sleep(10);
    }
    return -1000;
  }
  int Run(const std::vector<std::string>& args) { return Wait(Start(args)); }
  bool WaitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 6000; ++i) {
      if (condition()) return true;
      kv::Sleep(10);
    }
    return false;
  }
  bool WaitForState(uint32_t state) {
    return WaitFor([&] {
      ServiceStatus s;
      return kv::svc::QueryServiceStatus(kv::app::kServiceName, &s) && s.currentState == state;
    });
  }
  std::string Boxes() { return ReadAll(root_ + "boxes.log"); }
  std::string Debug() { return ReadAll(root_ + "debug.log"); }
  void InstallService(uint32_t type) {
    ASSERT_TRUE(kv::svc::CreateService(kv::app::kServiceName, "Kelvaron v4.0 Real-Time Service", type,
                                       (prog_ + "KELVARON /service").c_str()));
  }

  std::string root_, prog_;
  std::map<std::string, std::string> env_;
  std::vector<std::string> saved_;
  std::vector<pid_t> children_;
};

TEST_F(ProgramProcessTest, SecondCopyBringsTheRunningOneForwardAndEnds) {
  FillProgramFolder(prog_, true, true, false);
  pid_t first = Start({});
  ASSERT_TRUE(WaitFor([] { return kv::svc::FindRunningWindow(kv::app::kMainClass); }));
  EXPECT_EQ(Run({}), 0);
  ASSERT_TRUE(WaitFor([&] { return Debug().find("main panel was brought forward") != std::string::npos; }));
  // The first copy still runs, and ends on the request to end.
  EXPECT_EQ(waitpid(first, nullptr, WNOHANG), 0);
  kill(first, SIGTERM);
  EXPECT_EQ(Wait(first), 0);
  EXPECT_FALSE(kv::svc::FindRunningWindow(kv::app::kMainClass));
  EXPECT_EQ(Boxes(), "");
}

TEST_F(ProgramProcessTest, HelpAndUnknownArgumentsPrintUsageAndTakeNothing) {
  FillProgramFolder(prog_, true, true, false);
  struct Case {
    std::vector<std::string> args;
    int code;
    bool toOut;  // usage on stdout, else on stderr
  } cases[] = {
      {{"--help"}, 0, true},     {{"-h"}, 0, true},          {{"/?"}, 0, true},
      {{"--bogus"}, 2, false},   {{"/service", "x"}, 2, false}, {{"profile.kvp"}, 2, false},
  };
  for (const Case& c : cases) {
    const std::string out = root_ + "out.txt", err = root_ + "err.txt";
    pid_t pid = fork();
    if (pid == 0) {
      for (auto& [k, v] : env_) setenv(k.c_str(), v.c_str(), 1);
      if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(125);
      std::string program = prog_ + "KELVARON";
      std::vector<std::string> copy = c.args;
      std::vector<char*> argv{program.data()};
      for (std::string& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(126);
    }
    // Answered at once: a copy that started instead would still run here.
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 500 && !ended; ++i) {
      ended = waitpid(pid, &status, WNOHANG) == pid;
      if (!ended) kv::Sleep(10);
    }
    if (!ended) {
      EXPECT_TRUE(kv::svc::FindRunningWindow(kv::app::kMainClass)) << "neither ended nor started";
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      ADD_FAILURE() << c.args[0] << ": the program started instead of answering";
      continue;
    }
    ASSERT_TRUE(WIFEXITED(status)) << c.args[0];
    EXPECT_EQ(WEXITSTATUS(status), c.code) << c.args[0];
    EXPECT_NE(ReadAll(c.toOut ? out : err).find("Usage: KELVARON [/service]"), std::string::npos) << c.args[0];
    EXPECT_EQ(ReadAll(c.toOut ? err : out), "") << c.args[0];
    EXPECT_FALSE(kv::svc::FindRunningWindow(kv::app::kMainClass)) << c.args[0];
  }
  // No start-up left a trace.
  EXPECT_EQ(Debug(), "");
}

TEST_F(ProgramProcessTest, ReportServerMessageComesFromTheLanguageModule) {
  FillProgramFolder(prog_, true, true, false);
  // The report server enabled, but no account may log users on.
  std::ofstream(prog_ + "KELVARON.INI") << "[Defaults]\nWebEnable=TRUE\nWebAddress=127.0.0.1:0\n";
  env_.erase("KV_LOGON_USERS");
  pid_t pid = Start({});
  EXPECT_TRUE(WaitFor([&] { return Boxes().find("log users on") != std::string::npos; })) << Boxes();
  EXPECT_NE(Boxes().find("Kelvaron: The account does not hold the right to log users on. The remote report server "
                         "cannot be enabled."),
            std::string::npos)
      << Boxes();
  kill(pid, SIGTERM);
  EXPECT_EQ(Wait(pid), 0);
}

TEST_F(ProgramProcessTest, MissingModulesEndStartUp) {
  struct Case {
    bool product, base, productIsBase;
    const char* message;
  };
  const Case cases[] = {
      {false, true, false, "Error!: Unable to locate a CURRENT product resource support file (.PRD)."},
      {true, false, false, "Error!: Unable to locate a .BSE resource support file."},
      // A module without the entry points counts as missing.
      {false, true, true, "Error!: Unable to locate a CURRENT product resource support file (.PRD)."},
  };
  for (const Case& c : cases) {
    fs::remove_all(prog_);
    fs::remove(root_ + "boxes.log");
    FillProgramFolder(prog_, c.product, c.base, false);
    if (c.productIsBase) fs::create_symlink(fs::path(g_realProgramDir) / "BASE.RSL", prog_ + "PRODUCT.RSL");
    EXPECT_EQ(Run({}), 255) << c.message;
    EXPECT_NE(Boxes().find(c.message), std::string::npos) << Boxes();
  }
}

TEST_F(ProgramProcessTest, ServiceFlagWithoutManagerReportsAndEnds) {
  FillProgramFolder(prog_, true, true, false);
  EXPECT_EQ(Run({"/service"}), 0);
  EXPECT_NE(Debug().find("StartServiceCtrlDispatcher Failed"), std::string::npos);
}

TEST_F(ProgramProcessTest, InstalledServiceIsStartedThenReportedThenStopped) {
  FillProgramFolder(prog_, true, true, true);
  InstallService(kv::svc::kOwnProcess | kv::svc::kInteractive);
  std::string scrambled;
  ASSERT_TRUE(ScramblePassword("secret", scrambled));
  std::ofstream(prog_ + "KELVARON.INI") << "[Defaults]\nUsername=office/alice\nPassword=" << scrambled << "\n";
  std::ofstream(root_ + "logons") << "office\\alice:secret\n";

  EXPECT_EQ(Run({}), 0);  // starts the service and ends
  ASSERT_TRUE(WaitForState(kv::svc::kRunning));
  ASSERT_TRUE(WaitFor([&] { return ReadAll(prog_ + "plugin.log").find("init host=1") != std::string::npos; }))
      << ReadAll(prog_ + "plugin.log");

  // The service's copy holds the main window: a plain start forwards to it.
  EXPECT_EQ(Run({}), 0);
  EXPECT_TRUE(WaitFor([&] { return Debug().find("main panel was brought forward") != std::string::npos; }));
  EXPECT_EQ(Boxes().find("failed to logon"), std::string::npos);

  ServiceStatus status;
  ASSERT_TRUE(kv::svc::ControlService(kv::app::kServiceName, kv::svc::kControlInterrogate, &status));
  EXPECT_EQ(status.currentState, kv::svc::kRunning);
  EXPECT_EQ(status.serviceType, kv::svc::kOwnProcess | kv::svc::kInteractive);
  ASSERT_TRUE(kv::svc::ControlService(kv::app::kServiceName, kv::svc::kControlStop, nullptr));
  ASSERT_TRUE(WaitForState(kv::svc::kStopped));
  EXPECT_TRUE(WaitFor([&] { return ReadAll(prog_ + "plugin.log").find("unload") != std::string::npos; }));
}

TEST_F(ProgramProcessTest, ServiceStatusIsNeverWrittenThroughALink) {
  FillProgramFolder(prog_, true, true, false);
  InstallService(kv::svc::kOwnProcess | kv::svc::kInteractive);
  // Links named as the status file's companions, in the lock folder and in
  // the user's own folder, point at a file the service could write.
  const std::string victim = root_ + "victim";
  std::ofstream(victim) << "keep me\n";
  fs::create_directories(root_ + "locks");
  ASSERT_EQ(mkdir(RunTimeFolder().c_str(), 0700), 0);
  for (const std::string& dir : {root_ + "locks/", RunTimeFolder()}) {
    for (const char* name : {"svc-kelvaron40.status.tmp", "svc-kelvaron40.status"})
      ASSERT_EQ(symlink(victim.c_str(), (dir + name).c_str()), 0);
  }
  EXPECT_EQ(Run({}), 0);
  ASSERT_TRUE(WaitForState(kv::svc::kRunning));
  ASSERT_TRUE(kv::svc::ControlService(kv::app::kServiceName, kv::svc::kControlStop, nullptr));
  ASSERT_TRUE(WaitForState(kv::svc::kStopped));
  EXPECT_EQ(ReadAll(victim), "keep me\n");
  struct stat st {};
  ASSERT_EQ(lstat((RunTimeFolder() + "svc-kelvaron40.status").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));  // the link was replaced, not followed
}

TEST_F(ProgramProcessTest, ServiceWithWrongPasswordStillRuns) {
  FillProgramFolder(prog_, true, true, false);
  InstallService(kv::svc::kOwnProcess | kv::svc::kInteractive);
  std::string scrambled;
  ASSERT_TRUE(ScramblePassword("wrong", scrambled));
  std::ofstream(prog_ + "KELVARON.INI") << "[Defaults]\nUsername=alice\nPassword=" << scrambled << "\n";
  std::ofstream(root_ + "logons") << "alice:secret\n";
  EXPECT_EQ(Run({}), 0);
  ASSERT_TRUE(WaitForState(kv::svc::kRunning));
  EXPECT_TRUE(WaitFor([&] { return Boxes().find("Kelvaron service failed to logon") != std::string::npos; }));
  ASSERT_TRUE(kv::svc::ControlService(kv::app::kServiceName, kv::svc::kControlStop, nullptr));
  EXPECT_TRUE(WaitForState(kv::svc::kStopped));
}

TEST_F(ProgramProcessTest, NonInteractiveServiceTellsAndStops) {
  FillProgramFolder(prog_, true, true, false);
  InstallService(kv::svc::kOwnProcess);
  // The service stays running only for a few seconds after its box, too short
  // a window for a second start on a loaded machine. Its boxes go to a FIFO:
  // the service waits in its box until the test reads it, and so stays
  // running until the second start has been told.
  std::string fifo = root_ + "service-boxes";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string plainBoxes = env_["KV_MSGBOX_LOG"];
  env_["KV_MSGBOX_LOG"] = fifo;
  EXPECT_EQ(Run({}), 0);  // the service inherits the starter's environment
  env_["KV_MSGBOX_LOG"] = plainBoxes;
  int reader = -1;
  auto release = [&] {  // a reader lets the service's box go on
    if (reader < 0) reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  };
  struct Release {
    std::function<void()> f;
    ~Release() { f(); }
  } releaseOnExit{release};
  // Running without a main window: a plain start is told and ends.
  ASSERT_TRUE(WaitForState(kv::svc::kRunning));
  EXPECT_EQ(Run({}), 0);
  EXPECT_NE(Boxes().find("Kelvaron: Kelvaron Service is already running."), std::string::npos);
  release();
  ASSERT_GE(reader, 0);
  std::string serviceBoxes;
  EXPECT_TRUE(WaitFor([&] {
    char buffer[1024];
    ssize_t n;
    while ((n = read(reader, buffer, sizeof buffer)) > 0) serviceBoxes.append(buffer, static_cast<size_t>(n));
    return serviceBoxes.find('\n') != std::string::npos;
  }));
  EXPECT_NE(serviceBoxes.find("cannot start as a non-interactive service"), std::string::npos) << serviceBoxes;
  EXPECT_TRUE(WaitForState(kv::svc::kStopped));
  close(reader);
  EXPECT_TRUE(kv::svc::IsServiceInstalled(kv::app::kServiceName));
}

// Another local user makes the run-time folder first, in a lock folder
// shared by all users: no copy runs unguarded, and the installed service is
// kept.
TEST_F(ProgramProcessTest, RunTimeFolderTakenByAnotherUserIsRefused) {
  FillProgramFolder(prog_, true, true, false);
  const std::string locks = root_ + "locks";
  ASSERT_EQ(mkdir(locks.c_str(), 0700), 0);
  ASSERT_EQ(chmod(locks.c_str(), 01777), 0);
  const std::string planted = RunTimeFolder();
  if (geteuid() == 0) {
    // As a real other user (nobody).
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    pid_t pid = fork();
    if (pid == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
      _exit(mkdir(planted.c_str(), 0777) == 0 && chmod(planted.c_str(), 0777) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  } else {
    // A folder of one's own that others may write to is as good as theirs.
    ASSERT_EQ(mkdir(planted.c_str(), 0777), 0);
    ASSERT_EQ(chmod(planted.c_str(), 0777), 0);
  }
  InstallService(kv::svc::kOwnProcess | kv::svc::kInteractive);
  // Three copies, each told and ended at once.
  for (int i = 0; i < 3; ++i) {
    pid_t copy = Start({});
    int code = -1;
    for (int waited = 0; waited < 500 && code == -1; ++waited) {
      int status = 0;
      if (waitpid(copy, &status, WNOHANG) == copy) {
        children_.erase(std::find(children_.begin(), children_.end(), copy));
        code = WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
      } else {
        kv::Sleep(10);
      }
    }
    EXPECT_EQ(code, 0) << "copy " << i << " still runs";
  }
  EXPECT_TRUE(kv::svc::IsServiceInstalled(kv::app::kServiceName));
  EXPECT_EQ(Boxes().find("remove the Service"), std::string::npos) << Boxes();
  EXPECT_NE(Boxes().find("run-time files (" + planted.substr(0, planted.size() - 1) + ")"), std::string::npos)
      << Boxes();
  std::error_code ec;
  fs::remove_all(planted, ec);
}

// Without a lock folder or a runtime folder the run-time files go into the
// user's home, never into a folder others share.
TEST(RunTimeFolderTest, HomeWhenThereIsNoRuntimeFolder) {
  const std::string home = MakeTempDir();
  std::map<std::string, std::string> saved;
  for (const char* name : {"KV_LOCK_DIR", "XDG_RUNTIME_DIR", "HOME"}) {
    const char* v = getenv(name);
    saved[name] = v ? v : "";
  }
  unsetenv("KV_LOCK_DIR");
  unsetenv("XDG_RUNTIME_DIR");
  setenv("HOME", home.substr(0, home.size() - 1).c_str(), 1);
  std::string tried;
  const std::string folder = kv::svc::RunTimeFolder(&tried);
  for (const auto& [name, value] : saved) {
    if (value.empty()) {
      unsetenv(name.c_str());
    } else {
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
  EXPECT_EQ(folder.rfind(home + ".kelvaron/run-", 0), 0u) << folder;
  struct stat st {};
  ASSERT_EQ(lstat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, geteuid());
  std::error_code ec;
  fs::remove_all(home, ec);
}

TEST_F(ProgramProcessTest, ServiceThatCannotStartIsRemoved) {
  FillProgramFolder(prog_, true, true, false);
  ASSERT_TRUE(kv::svc::CreateService(kv::app::kServiceName, "x", kv::svc::kOwnProcess | kv::svc::kInteractive,
                                     (root_ + "missing-program /service").c_str()));
  EXPECT_EQ(Run({}), 0);
  EXPECT_NE(Boxes().find("Kelvaron Service failed to start. Kelvaron will remove the Service and exit."),
            std::string::npos);
  EXPECT_FALSE(kv::svc::IsServiceInstalled(kv::app::kServiceName));
}

}  // namespace
