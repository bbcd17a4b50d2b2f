// Test helpers of the remote log tests: a registered engine with the socket
// and FTP modules bound, a profile naming a remote location, a status window
// that records what it is sent, and a pump of the thread's messages.
#ifndef VORNIC_NETWORK_REMOTE_TEST_SUPPORT_H
#define VORNIC_NETWORK_REMOTE_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <vornic/profile.h>
#include <vornic/registration.h>
#include <vornic/remote.h>

#include "engine/core/engine_state.h"
#include "engine/network/remote_logs.h"
#include "platform/module/module.h"
#include "platform/testsupport/files.h"
#include "platform/testsupport/ports.h"
#include "platform/testsupport/servers.h"
#include "platform/ui/window.h"

namespace remotetest {

namespace fs = std::filesystem;
namespace ui = kv::ui;

inline std::string ReadFile(const std::string& path) { return kv::test::ReadText(path); }

inline void WriteFile(const std::string& path, const std::string& bytes) { kv::test::WriteBytes(path, bytes); }

// Lines of common-log-format text, `count` of them, each distinct.
inline std::string LogLines(int count, int first = 0, const char* path = "/index.html") {
  std::string text;
  for (int i = first; i < first + count; ++i) {
    char line[160];
    std::snprintf(line, sizeof line, "10.0.%d.%d - - [01/Jan/2026:10:%02d:%02d +0000] \"GET %s HTTP/1.0\" 200 %d\n",
                  (i / 250) % 250, i % 250 + 1, (i / 60) % 60, i % 60, path, 100 + i);
    text += line;
  }
  return text;
}

using kv::test::CanConnect;
using kv::test::FreePort;
using kv::test::Python;
// A child process (a server); stopped by Stop or the destructor.
using Child = kv::test::ServerProcess;

// What the status window was sent.
struct StatusMessage {
  uint32_t message;
  std::string text;  // for 0x414, 0x41A and 0x41F
};
inline std::vector<StatusMessage> g_status;

inline KvResult StatusProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (message >= VRN_URL_MSG_STATUS && message <= VRN_URL_MSG_DONE) {
    StatusMessage m{message, ""};
    if ((message == VRN_URL_MSG_STATUS || message == VRN_URL_MSG_UPLOAD || message == VRN_URL_MSG_DONE) &&
        lparam != 0) {
      m.text = reinterpret_cast<const char*>(lparam);
    }
    g_status.push_back(m);
    return 0;
  }
  return ui::DefWindowProc(window, message, wparam, lparam);
}

inline size_t CountStatus(uint32_t message) {
  size_t n = 0;
  for (const auto& m : g_status) n += m.message == message ? 1 : 0;
  return n;
}

// Dispatches the thread's messages until cond holds or the time is up.
inline bool PumpUntil(const std::function<bool()>& cond, int timeoutMs = 20000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    ui::Message m;
    while (ui::PeekMessage(&m)) ui::DispatchMessage(&m);
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    ui::WaitMessage(20);
  }
}

inline std::string UrlError() {
  char text[256];
  return VRN_GetURLErrMsg(text, sizeof text);
}

// The engine registered over a temporary folder with the network bound.
class RemoteFixture : public testing::Test {
 protected:
  void SetUp() override {
    vrn::g_engine = vrn::EngineState{};
    char tmpl[] = "/tmp/kv_fetch_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    folder_ = std::string(tmpl) + "/";
    fs::create_directories(folder_ + "kvm_log");
    fs::create_directories(folder_ + "profiles");
    fs::create_directories(folder_ + "root");
    vrn::SetApplicationPath(folder_ + "libVornic.so");
    setenv("KV_WIN_INI", (folder_ + "WIN.INI").c_str(), 1);
    WriteFile(folder_ + "kvm_log/kvm_log.ini", "[Defaults]\nTransferTimeout=" + std::to_string(timeout_) + "\n");
    resources_ = KvLoadModule("kvm_log_en.so");
    ASSERT_NE(resources_, nullptr);
    uint32_t network = 0;
    slot_ = VRN_Register(ProfileDir().c_str(), 1, 7, nullptr, &network, resources_, 0, 0, nullptr);
    ASSERT_EQ(slot_, 0);
    ASSERT_EQ(network, 1u) << "WSOCK32.so and FTP4W32.so are built into the program folder";
    if (!ui::IsWindowClassRegistered("FetchStatusTest")) ui::RegisterWindowClass("FetchStatusTest", StatusProc);
    status_ = ui::CreateWindow("FetchStatusTest", "status", 0, 0);
    ASSERT_NE(status_, 0u);
    g_status.clear();
  }
  void TearDown() override {
    if (handle_ != 0) VRN_CloseURL(0, handle_, nullptr);
    handle_ = 0;
    server_.Stop();
    ui::DestroyWindow(status_);
    if (slot_ >= 0) VRN_DeRegister(static_cast<uint16_t>(slot_));
    if (resources_ != nullptr) KvFreeModule(resources_);
    unsetenv("KV_WIN_INI");
    vrn::SetApplicationPath("");
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

  std::string ProfileDir() const { return folder_ + "profiles/"; }
  std::string Root() const { return folder_ + "root/"; }
  std::string Cache() const { return ProfileDir() + "remote.ftp/"; }
  std::string ListFile() const { return ProfileDir() + "remote.dir"; }

  // Writes the profile "remote.wlp" with the location and credentials.
  void WriteProfile(const std::string& location, const char* user = "", const char* password = "") {
    DravelEntry e{};
    std::strcpy(e.Name, "remote");
    std::strcpy(e.Extension, "wlp");
    std::snprintf(e.LogFilePath, sizeof e.LogFilePath, "%s", location.c_str());
    std::snprintf(e.LogFileUsername, sizeof e.LogFileUsername, "%s", user);
    std::snprintf(e.LogFilePassword, sizeof e.LogFilePassword, "%s", password);
    ASSERT_EQ(WriteDravelFile(&e), 1);
  }

  // Opens the fetch of "remote.wlp" in the given download mode.
  int16_t Open(uint32_t mode) {
    vrn::g_engine.ftpDownloadMode = mode;
    return VRN_OpenURL(status_, "remote.wlp", &handle_);
  }

  // Pumps until VRN_PeekURL says the fetch is over.
  bool WaitOver(int timeoutMs = 20000) {
    return PumpUntil([] { return VRN_PeekURL() == -1; }, timeoutMs);
  }

  int16_t Close(DravelEntry* profile = nullptr) {
    const int16_t r = VRN_CloseURL(0, handle_, profile);
    handle_ = 0;
    return r;
  }

  std::string folder_;
  uint32_t timeout_ = 30;
  KvModule resources_ = nullptr;
  int16_t slot_ = -1;
  KvWindow status_ = 0;
  KvGlobal handle_ = 0;
  Child server_;
  uint16_t port_ = 0;
};

}  // namespace remotetest

#endif
