// The service table, logon and the running-copy channel, in-process.
#include "shell/startup_service.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/base/lasterror.h"
#include "platform/ui/window.h"

namespace fs = std::filesystem;
using namespace kv::svc;

namespace {

class ServiceStandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/kvsvcXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = std::string(templ) + "/";
    setenv("KV_LOCK_DIR", (dir_ + "locks").c_str(), 1);
    setenv("KV_REGISTRY", (dir_ + "registry.ini").c_str(), 1);
    setenv("KV_LOGON_FILE", (dir_ + "logons").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_;
};

TEST_F(ServiceStandInTest, TableCreateQueryDelete) {
  EXPECT_FALSE(IsServiceInstalled("Svc"));
  EXPECT_EQ(kv::GetLastError(), kErrorServiceDoesNotExist);
  ServiceStatus status;
  EXPECT_FALSE(QueryServiceStatus("Svc", &status));
  EXPECT_FALSE(StartService("Svc", {}));
  EXPECT_FALSE(ControlService("Svc", kControlStop, &status));

  ASSERT_TRUE(CreateService("Svc", "A service", kOwnProcess | kInteractive, "/bin/prog /service"));
  EXPECT_FALSE(CreateService("Svc", "Again", kOwnProcess, "/bin/prog"));
  EXPECT_FALSE(CreateService("", "Empty", kOwnProcess, "/bin/prog"));
  EXPECT_FALSE(CreateService("Other", "No path", kOwnProcess, ""));
  ServiceConfig config;
  ASSERT_TRUE(QueryServiceConfig("Svc", &config));
  EXPECT_EQ(config.serviceType, kOwnProcess | kInteractive);
  EXPECT_EQ(config.binaryPath, "/bin/prog /service");
  EXPECT_EQ(config.displayName, "A service");
  // Installed and not running: stopped; a control finds nobody to answer.
  ASSERT_TRUE(QueryServiceStatus("Svc", &status));
  EXPECT_EQ(status.currentState, kStopped);
  EXPECT_FALSE(ControlService("Svc", kControlInterrogate, &status));
  EXPECT_EQ(kv::GetLastError(), kErrorServiceNotActive);
  EXPECT_TRUE(DeleteService("Svc"));
  EXPECT_FALSE(IsServiceInstalled("Svc"));
  EXPECT_FALSE(DeleteService("Svc"));
}

TEST_F(ServiceStandInTest, DispatcherNeedsAStartByTheManager) {
  unsetenv("KV_SERVICE_START");
  EXPECT_FALSE(StartServiceCtrlDispatcher("Kelvaron", [](int, char**) {}));
  EXPECT_EQ(kv::GetLastError(), kErrorFailedServiceControllerConnect);
  EXPECT_FALSE(RegisterServiceCtrlHandler("Kelvaron", [](uint32_t) {}));
  EXPECT_FALSE(SetServiceStatus(ServiceStatus{}));
}

TEST_F(ServiceStandInTest, LogonChecksThePasswordFile) {
  std::ofstream(dir_ + "logons") << "office\\alice:secret\nbob:pw:with:colons\r\n\\carol:\n";
  struct Case {
    const char* user;
    const char* domain;
    const char* password;
    bool ok;
  };
  const Case cases[] = {
      {"alice", "office", "secret", true},   {"ALICE", "OFFICE", "secret", true},
      {"alice", "office", "Secret", false},  {"alice", "", "secret", false},
      {"bob", "", "pw:with:colons", true},   {"bob", "office", "pw:with:colons", false},
      {"carol", "", "", true},               {"dave", "", "", false},
      {"", "", "", false},
  };
  for (const Case& c : cases) {
    intptr_t token = -1;
    EXPECT_EQ(LogonUser(c.user, c.domain, c.password, 5, 0, &token), c.ok) << c.user << "@" << c.domain;
    if (!c.ok) {
      EXPECT_EQ(token, 0);
      continue;
    }
    EXPECT_NE(token, 0);
    EXPECT_TRUE(ImpersonateLoggedOnUser(token));
    EXPECT_FALSE(ImpersonatedUser().empty());
    // Impersonation belongs to the calling thread.
    std::string other = "x";
    std::thread([&] { other = ImpersonatedUser(); }).join();
    EXPECT_EQ(other, "");
    EXPECT_TRUE(RevertToSelf());
    EXPECT_EQ(ImpersonatedUser(), "");
    EXPECT_TRUE(CloseToken(token));
    EXPECT_FALSE(ImpersonateLoggedOnUser(token));
  }
  unsetenv("KV_LOGON_FILE");
  intptr_t token = 0;
  EXPECT_FALSE(LogonUser("alice", "office", "secret", 5, 0, &token));
}

TEST_F(ServiceStandInTest, RunningWindowIsFoundAndReached) {
  const char* cls = "TEST:MAIN";
  EXPECT_FALSE(FindRunningWindow(cls));
  EXPECT_FALSE(SendToRunningWindow(cls, 2034, 0, 0));
  ASSERT_TRUE(kv::ui::RegisterWindowClass("TestRunning", [](KvWindow w, uint32_t m, KvWParam p, KvLParam l) {
    return kv::ui::DefWindowProc(w, m, p, l);
  }));
  KvWindow window = kv::ui::CreateWindow("TestRunning", "", 0, 0);
  ASSERT_TRUE(AnnounceWindowClass(cls, window));
  EXPECT_FALSE(AnnounceWindowClass(cls, window));  // one holder of a class
  EXPECT_TRUE(FindRunningWindow(cls));
  EXPECT_TRUE(SendToRunningWindow(cls, 2034, 7, -3));
  kv::ui::Message m;
  ASSERT_TRUE(kv::ui::PeekMessage(&m, window, 2034, 2034));
  EXPECT_EQ(m.wparam, 7u);
  EXPECT_EQ(m.lparam, -3);
  WithdrawWindowClass(cls);
  EXPECT_FALSE(FindRunningWindow(cls));
  EXPECT_FALSE(SendToRunningWindow(cls, 2034, 0, 0));
  kv::ui::DestroyWindow(window);
  kv::ui::UnregisterWindowClass("TestRunning");
}

// The run-time files (here those of the running-copy channel) live in a
// folder of the user's own, and one planted by someone else is not used.
TEST_F(ServiceStandInTest, RunTimeFilesLiveInAPrivateFolder) {
  const char* cls = "TEST:PRIVATE";
  const std::string own = "kelvaron-" + std::to_string(geteuid());
  ASSERT_TRUE(kv::ui::RegisterWindowClass("TestPrivate", [](KvWindow w, uint32_t m, KvWParam p, KvLParam l) {
    return kv::ui::DefWindowProc(w, m, p, l);
  }));
  KvWindow window = kv::ui::CreateWindow("TestPrivate", "", 0, 0);
  auto announce = [&] {
    bool ok = AnnounceWindowClass(cls, window);
    if (ok) WithdrawWindowClass(cls);
    return ok;
  };
  auto files = [](const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
    return names;
  };
  // The session's runtime folder when there is no lock folder.
  unsetenv("KV_LOCK_DIR");
  ASSERT_EQ(mkdir((dir_ + "run").c_str(), 0700), 0);
  setenv("XDG_RUNTIME_DIR", (dir_ + "run").c_str(), 1);
  EXPECT_TRUE(announce());
  struct stat st {};
  ASSERT_EQ(lstat((dir_ + "run/kelvaron").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(files(dir_ + "run/kelvaron").empty());
  unsetenv("XDG_RUNTIME_DIR");

  // Else a folder of the user's own in the lock folder; folders that are
  // open to others, links or another's are refused.
  const std::string locks = dir_ + "locks/";
  setenv("KV_LOCK_DIR", locks.c_str(), 1);
  ASSERT_EQ(mkdir(locks.c_str(), 0700), 0);
  ASSERT_EQ(chmod(locks.c_str(), 01777), 0);  // a lock folder shared by all users
  EXPECT_TRUE(announce());
  ASSERT_EQ(lstat((locks + own).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  fs::remove_all(locks + own);

  struct Case {
    const char* what;
    std::function<void()> plant;
  } cases[] = {
      {"open to all", [&] {
         EXPECT_EQ(mkdir((locks + own).c_str(), 0700), 0);
         EXPECT_EQ(chmod((locks + own).c_str(), 0777), 0);
       }},
      {"open to the group", [&] {
         EXPECT_EQ(mkdir((locks + own).c_str(), 0700), 0);
         EXPECT_EQ(chmod((locks + own).c_str(), 0750), 0);
       }},
      {"a link", [&] {
         fs::create_directories(dir_ + "elsewhere");
         EXPECT_EQ(symlink((dir_ + "elsewhere").c_str(), (locks + own).c_str()), 0);
       }},
      {"a file", [&] { std::ofstream(locks + own) << "x"; }},
  };
  for (const auto& c : cases) {
    c.plant();
    EXPECT_FALSE(announce()) << c.what;
    EXPECT_FALSE(FindRunningWindow(cls)) << c.what;
    EXPECT_TRUE(files(locks + own).empty()) << c.what;
    EXPECT_TRUE(files(dir_ + "elsewhere").empty()) << c.what;
    std::error_code ec;
    fs::remove_all(locks + own, ec);
    fs::remove(locks + own, ec);
  }
  if (geteuid() == 0) {  // another user's folder, which only root can make here
    ASSERT_EQ(mkdir((locks + own).c_str(), 0700), 0);
    ASSERT_EQ(chown((locks + own).c_str(), 65534, 65534), 0);
    EXPECT_FALSE(announce()) << "another's";
    EXPECT_TRUE(files(locks + own).empty());
  }
  kv::ui::DestroyWindow(window);
  kv::ui::UnregisterWindowClass("TestPrivate");
}

TEST(ServiceTextTest, CommandLinesAndStatusTexts) {
  using detail::SplitCommandLine;
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitCommandLine("/opt/kv/KELVARON /service"), (V{"/opt/kv/KELVARON", "/service"}));
  EXPECT_EQ(SplitCommandLine("\"/opt/my kv/KELVARON\"  /service "), (V{"/opt/my kv/KELVARON", "/service"}));
  EXPECT_EQ(SplitCommandLine("a \"\" b"), (V{"a", "", "b"}));
  EXPECT_EQ(SplitCommandLine("   "), V{});
  EXPECT_EQ(SplitCommandLine("\"unterminated word"), V{"unterminated word"});

  ServiceStatus s;
  EXPECT_TRUE(detail::ParseStatusText("16\n4\n1\n0\n0\n0\n1000\n", &s));
  EXPECT_EQ(s.currentState, kRunning);
  EXPECT_EQ(s.waitHint, 1000u);
  for (const char* bad : {"", "16 4 1", "16 4 1 0 0 0 x", "-"}) EXPECT_FALSE(detail::ParseStatusText(bad, &s)) << bad;
}

}  // namespace
