// A start asked for while a listener that could not bind is still ending:
// the listener is held inside its socket clean-up, the window in which the
// start used to be taken for a second start of a running server and lost.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <functional>
#include <thread>

#include "platform/base/ini.h"
#include "platform/netbind/netbind.h"
#include "shell/settings_file.h"
#include "webserver/webserver.h"

namespace fs = std::filesystem;

namespace {

// The settings file's path is fixed at its first use: one program folder for
// the whole process.
fs::path g_folder;

class ProgramFolder : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string tmpl = testing::TempDir() + "kvwebrestart_XXXXXX";
    if (mkdtemp(tmpl.data())) g_folder = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    if (!g_folder.empty()) fs::remove_all(g_folder, ec);
  }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new ProgramFolder);

uint16_t FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 3000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// The clean-up gate: a listener's WSACleanup waits here until released.
std::mutex g_gateLock;
std::condition_variable g_gateChanged;
bool g_held = false, g_released = false;
WsWSACleanupFn g_realCleanup = nullptr;

int32_t HeldCleanup() {
  {
    std::unique_lock<std::mutex> lock(g_gateLock);
    if (!g_released) {
      g_held = true;
      g_gateChanged.notify_all();
      g_gateChanged.wait(lock, [] { return g_released; });
    }
  }
  return g_realCleanup();
}

TEST(WebServerRestartTest, StartWhileAFailedListenerEndsIsNotLost) {
  g_held = g_released = false;
  const fs::path& folder = g_folder;
  ASSERT_FALSE(folder.empty());
  std::ofstream(folder / "KELVARON.INI", std::ios::trunc) << "[Defaults]\r\n";
  std::ofstream(folder / "accounts") << "alice:pw:staff\n";
  setenv("KV_LOGON_USERS", (folder / "accounts").c_str(), 1);
  setenv("KV_DEBUG_LOG", (folder / "debug.log").c_str(), 1);
  StoreProgramPath((folder / "KELVARON").c_str());
  InitWebServerSettings();
  const char* ini = GetBaseIniPath();

  uint16_t port = FreeLoopbackPort();
  ASSERT_TRUE(kv::IniWriteString("Defaults", "WebAddress", ("127.0.0.1:" + std::to_string(port)).c_str(), ini));
  // A disabled start binds the socket module without a listener; then its
  // clean-up is gated.
  ASSERT_TRUE(kv::IniWriteString("Defaults", "WebEnable", "FALSE", ini));
  StartWebServer();
  g_realCleanup = g_networkBinding.WSACleanup;
  ASSERT_NE(g_realCleanup, nullptr);
  g_networkBinding.WSACleanup = HeldCleanup;

  int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  ASSERT_TRUE(kv::IniWriteString("Defaults", "WebEnable", "TRUE", ini));
  StartWebServer();
  {
    std::unique_lock<std::mutex> lock(g_gateLock);
    ASSERT_TRUE(g_gateChanged.wait_for(lock, std::chrono::seconds(60), [] { return g_held; }));
  }
  // The failed listener is inside its clean-up; the port is free again.
  close(holder);
  // The listener is let go a moment after the start is asked for: a start
  // that does not wait for it finds it still alive.
  std::thread releaser([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::lock_guard<std::mutex> lock(g_gateLock);
    g_released = true;
    g_gateChanged.notify_all();
  });
  StartWebServer();
  releaser.join();
  EXPECT_TRUE(WaitFor([] { return IsWebServerRunning(); }));
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  close(fd);

  g_networkBinding.WSACleanup = g_realCleanup;
  ExitWebServer();
}

}  // namespace
