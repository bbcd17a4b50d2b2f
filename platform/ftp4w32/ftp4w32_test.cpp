// The FTP module as its users see it: loaded from the program folder, talking
// to a real FTP server on loopback (pyftpdlib, started per test) and, for
// the misbehaving servers, to a small scripted server in this file.
#include "platform/ftp4w32/ftp4w32.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/module/module.h"
#include "platform/testsupport/files.h"
#include "platform/testsupport/ports.h"
#include "platform/testsupport/servers.h"
#include "platform/ui/window.h"

namespace {

namespace fs = std::filesystem;
namespace ui = kv::ui;
using kv::test::FreePort;
using kv::test::ReadText;
using kv::test::WriteText;

struct Api {
  FtpInitFn Init;
  FtpReleaseFn Release;
  FtpSetDefaultPortFn SetDefaultPort;
  FtpSetDefaultTimeOutFn SetDefaultTimeOut;
  FtpSetPassiveModeFn SetPassiveMode;
  FtpSetAsynchronousModeFn SetAsynchronousMode;
  FtpSetSynchronousModeFn SetSynchronousMode;
  FtpOpenConnectionFn OpenConnection;
  FtpLoginFn Login;
  FtpCloseConnectionFn CloseConnection;
  FtpLocalCloseFn LocalClose;
  FtpPWDFn PWD;
  FtpCWDFn CWD;
  FtpDirFn Dir;
  FtpRecvFileFn RecvFile;
  FtpSendFileFn SendFile;
  FtpAbortFn Abort;
  FtpBytesToBeTransferredFn BytesToBeTransferred;
};

constexpr uint32_t kRecvMsg = 0x450;
constexpr uint32_t kSendMsg = 0x45F;
const char* const kUser = "kvuser";
const char* const kPass = "s3cret";

std::vector<ui::Message> g_received;

KvResult RecordProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (message == kRecvMsg || message == kSendMsg) {
    ui::Message m;
    m.window = window;
    m.message = message;
    m.wparam = wparam;
    m.lparam = lparam;
    g_received.push_back(m);
    return 0;
  }
  return ui::DefWindowProc(window, message, wparam, lparam);
}

bool PumpUntil(const std::function<bool()>& cond, int timeoutMs = 20000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    ui::Message m;
    while (ui::PeekMessage(&m)) ui::DispatchMessage(&m);
    if (cond()) return true;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    ui::WaitMessage(static_cast<int32_t>(std::min<long long>(left, 50)));
  }
}

const ui::Message* EndMessage(uint32_t message) {
  for (auto& m : g_received)
    if (m.message == message && m.wparam == FTP_NOTIFY_END) return &m;
  return nullptr;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

// A listening socket on loopback; returns its descriptor and port.
int ListenOn(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(fd, 4);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

int AcceptWithin(int listenFd, int ms) {
  pollfd p{listenFd, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return -1;
  return accept(listenFd, nullptr, nullptr);
}

void SendText(int fd, const std::string& s) {
  if (fd >= 0) {
    ssize_t n = send(fd, s.data(), s.size(), MSG_NOSIGNAL);
    (void)n;
  }
}

// A scripted FTP server for one control connection: sends the greeting,
// then hands every command line to the handler.
class ScriptedServer {
 public:
  using Handler = std::function<void(ScriptedServer&, const std::string& command)>;

  ScriptedServer(std::string greeting, Handler handler) : greeting_(std::move(greeting)), handler_(std::move(handler)) {
    listen_ = ListenOn(&port);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    CloseData();
    if (dataListen_ >= 0) close(dataListen_);
    close(listen_);
  }

  // The standard answers most scripts start from.
  static bool Standard(ScriptedServer& s, const std::string& c) {
    if (c.rfind("USER", 0) == 0) s.Reply("331 password please\r\n");
    else if (c.rfind("PASS", 0) == 0) s.Reply("230 logged on\r\n");
    else if (c.rfind("TYPE", 0) == 0) s.Reply("200 type set\r\n");
    else if (c.rfind("SIZE", 0) == 0) s.Reply("550 no size\r\n");
    else if (c == "PWD") s.Reply("257 \"/\" is current\r\n");
    else if (c == "NOOP") s.Reply("200 ok\r\n");
    else if (c == "PASV") {
      uint16_t p = s.OpenPassive();
      s.Reply("227 Entering Passive Mode (127,0,0,1," + std::to_string(p >> 8) + "," + std::to_string(p & 0xFF) +
              ")\r\n");
    } else if (c == "QUIT") {
      s.Reply("221 bye\r\n");
    } else {
      return false;
    }
    return true;
  }

  void Reply(const std::string& text) { SendText(control_, text); }
  uint16_t OpenPassive() {
    uint16_t p;
    if (dataListen_ >= 0) close(dataListen_);
    dataListen_ = ListenOn(&p);
    return p;
  }
  bool AcceptData() {
    data_ = AcceptWithin(dataListen_, 5000);
    return data_ >= 0;
  }
  void SendData(const std::string& bytes) { SendText(data_, bytes); }
  void CloseData() {
    if (data_ >= 0) close(data_);
    data_ = -1;
  }
  void CloseControl() {
    if (control_ >= 0) close(control_);
    control_ = -1;
  }
  std::vector<std::string> Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }

  uint16_t port = 0;

 private:
  void Run() {
    control_ = -1;
    while (!stop_ && control_ < 0) control_ = AcceptWithin(listen_, 100);
    if (control_ < 0) return;
    Reply(greeting_);
    std::string pending;
    char buf[1024];
    while (!stop_ && control_ >= 0) {
      pollfd p{control_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t n = recv(control_, buf, sizeof buf, 0);
      if (n <= 0) break;
      pending.append(buf, static_cast<size_t>(n));
      size_t nl;
      while ((nl = pending.find("\r\n")) != std::string::npos) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 2);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          commands_.push_back(line);
        }
        handler_(*this, line);
        if (control_ < 0) break;
      }
    }
    CloseControl();
  }

  std::string greeting_;
  Handler handler_;
  int listen_ = -1;
  int control_ = -1;
  int dataListen_ = -1;
  int data_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> commands_;
};

class FtpTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    module_ = KvLoadModule("FTP4W32.DLL");
    ASSERT_NE(module_, nullptr) << "FTP4W32.so not found in the program folder";
#define BIND(field, name) api_.field = reinterpret_cast<decltype(api_.field)>(KvGetProcAddress(module_, name))
    BIND(Init, "FtpInit");
    BIND(Release, "FtpRelease");
    BIND(SetDefaultPort, "FtpSetDefaultPort");
    BIND(SetDefaultTimeOut, "FtpSetDefaultTimeOut");
    BIND(SetPassiveMode, "FtpSetPassiveMode");
    BIND(SetAsynchronousMode, "FtpSetAsynchronousMode");
    BIND(SetSynchronousMode, "FtpSetSynchronousMode");
    BIND(OpenConnection, "FtpOpenConnection");
    BIND(Login, "FtpLogin");
    BIND(CloseConnection, "FtpCloseConnection");
    BIND(LocalClose, "FtpLocalClose");
    BIND(PWD, "FtpPWD");
    BIND(CWD, "FtpCWD");
    BIND(Dir, "FtpDir");
    BIND(RecvFile, "FtpRecvFile");
    BIND(SendFile, "FtpSendFile");
    BIND(Abort, "FtpAbort");
    BIND(BytesToBeTransferred, "FtpBytesToBeTransferred");
#undef BIND
    ui::RegisterWindowClass("FtpTestWindow", RecordProc);
  }
  static void TearDownTestSuite() {
    if (module_) KvFreeModule(module_);
    module_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(module_, nullptr);
    char tmpl[] = "/tmp/kv_ftp_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    tmp_ = tmpl;
    root_ = tmp_ / "root";
    local_ = tmp_ / "local";
    fs::create_directories(root_ / "sub");
    fs::create_directories(local_);
    ASSERT_EQ(api_.Init(0), 0);
    window_ = ui::CreateWindow("FtpTestWindow", "ftp", 0, 0);
    ASSERT_NE(window_, 0u);
    g_received.clear();
  }
  void TearDown() override {
    api_.LocalClose();
    api_.Release();
    ui::DestroyWindow(window_);
    server_.Stop();
    std::error_code ec;
    fs::remove_all(tmp_, ec);
  }

  // Starts the real FTP server on a free port with root_ as its folder.
  void StartServer() {
    port_ = FreePort();
    const std::string python = kv::test::Python();
    const std::string port = std::to_string(port_), dir = root_.string();
    std::vector<std::string> args = {python, "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", port, "-d", dir,
                                     "-u",   kUser, "-P", kPass, "-w"};
    ASSERT_EQ(server_.Spawn(args, tmp_ / "server.log", false), 0);
    kv::test::WaitForPort(port_);
    ASSERT_TRUE(kv::test::CanConnect(port_)) << ReadText(tmp_ / "server.log");
  }

  void LogOn(uint16_t port, int timeout = 10) {
    ASSERT_EQ(api_.SetDefaultPort(port), 0);
    ASSERT_EQ(api_.SetDefaultTimeOut(timeout), 0);
    ASSERT_EQ(api_.Login("127.0.0.1", kUser, kPass, 0, 0), 0);
  }

  static KvModule module_;
  static Api api_;
  fs::path tmp_, root_, local_;
  KvWindow window_ = 0;
  kv::test::ServerProcess server_;
  uint16_t port_ = 0;
};

KvModule FtpTest::module_ = nullptr;
Api FtpTest::api_;

TEST_F(FtpTest, LogOnFoldersAndListings) {
  WriteText(root_ / "access.log", "line\n");
  WriteText(root_ / "big.bin", std::string(123456, 'x'));
  WriteText(root_ / "sub" / "old.log", "o");
  StartServer();
  LogOn(port_);

  char folder[300];
  ASSERT_EQ(api_.PWD(folder, sizeof folder), 0);
  EXPECT_STREQ(folder, "/");
  ASSERT_EQ(api_.CWD("sub"), 0);
  ASSERT_EQ(api_.PWD(folder, sizeof folder), 0);
  EXPECT_STREQ(folder, "/sub");
  char tiny[3];
  EXPECT_EQ(api_.PWD(tiny, sizeof tiny), FTP_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(api_.CWD("/missing"), FTP_E_FILE_UNAVAILABLE);
  ASSERT_EQ(api_.CWD("/"), 0);

  for (int passive : {1, 0}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    api_.SetPassiveMode(passive);
    const fs::path shortDir = local_ / "shortdir.ftp", longDir = local_ / "longdir.ftp";
    ASSERT_EQ(api_.Dir(nullptr, shortDir.c_str(), 0, 0, 0), 0);
    auto names = Lines(ReadText(shortDir));
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
              (std::set<std::string>{"access.log", "big.bin", "sub"}));

    ASSERT_EQ(api_.Dir("", longDir.c_str(), 1, 0, 0), 0);
    auto lines = Lines(ReadText(longDir));
    ASSERT_EQ(lines.size(), 3u);
    bool sawBig = false;
    for (auto& l : lines)
      if (l.find("big.bin") != std::string::npos) {
        sawBig = true;
        EXPECT_NE(l.find(" 123456 "), std::string::npos) << l;
      }
    EXPECT_TRUE(sawBig);
  }

  // A listing of a folder that is not there leaves an empty file.
  const fs::path none = local_ / "none.ftp";
  WriteText(none, "stale");
  EXPECT_NE(api_.Dir("/missing/*.log", none.c_str(), 0, 0, 0), 0);
  EXPECT_EQ(ReadText(none), "");

  EXPECT_EQ(api_.CloseConnection(), 0);
  EXPECT_EQ(api_.PWD(folder, sizeof folder), FTP_E_NOT_CONNECTED);
  EXPECT_NE(api_.CloseConnection(), 0);
  EXPECT_EQ(api_.LocalClose(), 0);
}

TEST_F(FtpTest, FilesTravelByteExactBothWays) {
  struct Case {
    const char* name;
    size_t size;
    int passive;
  } cases[] = {
      {"empty", 0, 1}, {"one", 1, 1}, {"several MB", 5 * 1024 * 1024 + 7, 1}, {"active", 300000, 0},
  };
  unsigned seed = 1;
  for (const Case& c : cases) {
    WriteText(root_ / (std::string(c.name) + ".bin"), RandomBytes(c.size, seed++));
  }
  StartServer();
  LogOn(port_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    api_.SetPassiveMode(c.passive);
    const std::string remote = std::string(c.name) + ".bin";
    const fs::path copy = local_ / remote;
    ASSERT_EQ(api_.RecvFile(remote.c_str(), copy.c_str(), 'I', 0, 0, 0), 0);
    EXPECT_EQ(ReadText(copy), ReadText(root_ / remote));
    EXPECT_EQ(api_.BytesToBeTransferred(), static_cast<int64_t>(c.size));

    const std::string upload = std::string("up_") + c.name + ".bin";
    ASSERT_EQ(api_.SendFile(copy.c_str(), upload.c_str(), 'I', 0, 0, 0), 0);
    EXPECT_EQ(ReadText(root_ / upload), ReadText(root_ / remote));
  }
}

TEST_F(FtpTest, AsynchronousTransfersReportProgressAndEndToTheWindow) {
  const std::string content = RandomBytes(3 * 1024 * 1024 + 11, 7);
  WriteText(root_ / "big.bin", content);
  StartServer();
  LogOn(port_);
  api_.SetAsynchronousMode();
  api_.SetPassiveMode(1);

  const fs::path copy = local_ / "big.bin";
  ASSERT_EQ(api_.RecvFile("big.bin", copy.c_str(), 'I', 1, window_, kRecvMsg), 0);
  EXPECT_EQ(api_.BytesToBeTransferred(), static_cast<int64_t>(content.size()));
  ASSERT_TRUE(PumpUntil([] { return EndMessage(kRecvMsg) != nullptr; }));
  EXPECT_EQ(EndMessage(kRecvMsg)->lparam, 0);
  int64_t last = 0;
  int progress = 0;
  for (auto& m : g_received) {
    if (m.message != kRecvMsg || m.wparam != FTP_NOTIFY_PROGRESS) continue;
    EXPECT_GT(m.lparam, last);
    last = m.lparam;
    ++progress;
  }
  EXPECT_GT(progress, 0);
  EXPECT_EQ(last, static_cast<int64_t>(content.size()));
  EXPECT_EQ(ReadText(copy), content);

  // The same for a send, and the session is usable again after it.
  g_received.clear();
  ASSERT_EQ(api_.SendFile(copy.c_str(), "sent.bin", 'I', 1, window_, kSendMsg), 0);
  ASSERT_TRUE(PumpUntil([] { return EndMessage(kSendMsg) != nullptr; }));
  EXPECT_EQ(EndMessage(kSendMsg)->lparam, 0);
  EXPECT_EQ(ReadText(root_ / "sent.bin"), content);
  char folder[64];
  EXPECT_EQ(api_.PWD(folder, sizeof folder), 0);
}

TEST_F(FtpTest, AbortOfATransferFromTheRealServer) {
  // A large sparse file, copied to nowhere: far too much to finish before
  // the abort that follows the first progress report.
  {
    std::ofstream(root_ / "huge.bin").close();
    fs::resize_file(root_ / "huge.bin", 8ull << 30);
  }
  StartServer();
  LogOn(port_, 30);
  api_.SetAsynchronousMode();
  api_.SetPassiveMode(1);
  ASSERT_EQ(api_.RecvFile("huge.bin", "/dev/null", 'I', 1, window_, kRecvMsg), 0);
  EXPECT_EQ(api_.BytesToBeTransferred(), static_cast<int64_t>(8ull << 30));
  ASSERT_TRUE(PumpUntil([] { return !g_received.empty(); }));
  ASSERT_EQ(api_.Abort(), 0);
  ASSERT_TRUE(PumpUntil([] { return EndMessage(kRecvMsg) != nullptr; }));
  EXPECT_EQ(EndMessage(kRecvMsg)->lparam, FTP_E_ABORTED);

  // The server's answers to the abort were all read: the session goes on.
  char folder[64];
  ASSERT_EQ(api_.PWD(folder, sizeof folder), 0);
  EXPECT_STREQ(folder, "/");
  WriteText(root_ / "small.bin", "after");
  api_.SetSynchronousMode();
  ASSERT_EQ(api_.RecvFile("small.bin", (local_ / "small.bin").c_str(), 'I', 0, 0, 0), 0);
  EXPECT_EQ(ReadText(local_ / "small.bin"), "after");
  EXPECT_EQ(api_.CloseConnection(), 0);
}

TEST_F(FtpTest, ErrorCodesOfTheRealServer) {
  WriteText(root_ / "here.bin", "data");
  StartServer();
  ASSERT_EQ(api_.SetDefaultPort(port_), 0);
  ASSERT_EQ(api_.SetDefaultTimeOut(10), 0);

  // Nothing works before a log-on; bad arguments never reach the server.
  char folder[64];
  EXPECT_EQ(api_.PWD(folder, sizeof folder), FTP_E_NOT_CONNECTED);
  EXPECT_EQ(api_.Login("127.0.0.1", kUser, "wrong", 0, 0), FTP_E_LOGIN_REFUSED);
  EXPECT_EQ(api_.PWD(folder, sizeof folder), FTP_E_NOT_CONNECTED);
  EXPECT_EQ(api_.Login("127.0.0.1", "bad\r\nDELE here.bin", kPass, 0, 0), FTP_E_INVALID_ARGUMENT);

  LogOn(port_);
  EXPECT_EQ(api_.Login("127.0.0.1", kUser, kPass, 0, 0), FTP_E_ALREADY_CONNECTED);
  const fs::path copy = local_ / "copy.bin";
  WriteText(copy, "keep me");
  EXPECT_EQ(api_.RecvFile("missing.bin", copy.c_str(), 'I', 0, 0, 0), FTP_E_FILE_UNAVAILABLE);
  EXPECT_EQ(ReadText(copy), "keep me");  // a failed fetch leaves the old copy alone
  EXPECT_EQ(api_.SendFile((local_ / "nothere").c_str(), "x.bin", 'I', 0, 0, 0), FTP_E_LOCAL_FILE);
  EXPECT_EQ(api_.RecvFile("here.bin", copy.c_str(), 'X', 0, 0, 0), FTP_E_INVALID_ARGUMENT);
  EXPECT_EQ(api_.RecvFile("here\r\nDELE here.bin", copy.c_str(), 'I', 0, 0, 0), FTP_E_INVALID_ARGUMENT);
  EXPECT_EQ(api_.RecvFile("here.bin", (local_ / "no" / "such" / "dir").c_str(), 'I', 0, 0, 0), FTP_E_LOCAL_FILE);
  // The session survives all of it.
  ASSERT_EQ(api_.RecvFile("here.bin", copy.c_str(), 'I', 0, 0, 0), 0);
  EXPECT_EQ(ReadText(copy), "data");
  EXPECT_TRUE(fs::exists(root_ / "here.bin"));

  // A server that vanishes: the next command reports the lost connection.
  server_.Stop(SIGKILL);
  EXPECT_EQ(api_.PWD(folder, sizeof folder), FTP_E_CONNECTION_LOST);
  EXPECT_EQ(api_.Login("127.0.0.1", kUser, kPass, 0, 0), FTP_E_CONNECT_FAILED);
}

TEST_F(FtpTest, MalformedServersEndTheCallWithAnError) {
  struct Case {
    const char* name;
    std::string greeting;
    int32_t expected;
  } cases[] = {
      {"no code", "hello there\r\n", FTP_E_BAD_REPLY},
      {"overlong line", "220 " + std::string(100000, 'a') + "\r\n", FTP_E_BAD_REPLY},
      {"refusal", "421 too many users\r\n", FTP_E_SERVER_REFUSED},
      {"never ending reply", "220-welcome\r\n more\r\n", FTP_E_TIMEOUT},
      {"silence", "", FTP_E_TIMEOUT},
      {"only ever about to be ready", [] {
         std::string lines;
         for (int i = 0; i < 100; ++i) lines += "120 ready in a minute\r\n";
         return lines;
       }(), FTP_E_SERVER_REFUSED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.greeting, [](ScriptedServer& s, const std::string& cmd) { ScriptedServer::Standard(s, cmd); });
    ASSERT_EQ(api_.SetDefaultPort(server.port), 0);
    ASSERT_EQ(api_.SetDefaultTimeOut(1), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(api_.Login("127.0.0.1", kUser, kPass, 0, 0), c.expected);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    char folder[16];
    EXPECT_EQ(api_.PWD(folder, sizeof folder), FTP_E_NOT_CONNECTED);
  }

  // A server that hangs up at once.
  {
    uint16_t port;
    int fd = ListenOn(&port);
    std::thread t([fd] {
      int c = AcceptWithin(fd, 5000);
      if (c >= 0) close(c);
    });
    ASSERT_EQ(api_.SetDefaultPort(port), 0);
    EXPECT_EQ(api_.OpenConnection("127.0.0.1"), FTP_E_CONNECTION_LOST);
    t.join();
    close(fd);
  }
  // A long PWD answer is refused rather than copied past the buffer.
  {
    ScriptedServer server("220 hi\r\n", [](ScriptedServer& s, const std::string& cmd) {
      if (cmd == "PWD") s.Reply("257 \"/" + std::string(500, 'd') + "\"\r\n");
      else ScriptedServer::Standard(s, cmd);
    });
    ASSERT_EQ(api_.SetDefaultPort(server.port), 0);
    ASSERT_EQ(api_.Login("127.0.0.1", kUser, kPass, 0, 0), 0);
    char folder[300];
    std::memset(folder, 0x7E, sizeof folder);
    EXPECT_EQ(api_.PWD(folder, sizeof folder), FTP_E_BUFFER_TOO_SMALL);
    api_.LocalClose();
  }
}

TEST_F(FtpTest, DataConnectionThatNeverOpensIsAnError) {
  api_.SetDefaultTimeOut(1);
  // Passive: the announced port has no listener.
  {
    ScriptedServer server("220 hi\r\n", [](ScriptedServer& s, const std::string& cmd) {
      if (cmd == "PASV") {
        const uint16_t dead = FreePort();
        s.Reply("227 Entering Passive Mode (127,0,0,1," + std::to_string(dead >> 8) + "," +
                std::to_string(dead & 0xFF) + ")\r\n");
      } else {
        ScriptedServer::Standard(s, cmd);
      }
    });
    ASSERT_EQ(api_.SetDefaultPort(server.port), 0);
    ASSERT_EQ(api_.Login("127.0.0.1", kUser, kPass, 0, 0), 0);
    api_.SetPassiveMode(1);
    EXPECT_EQ(api_.RecvFile("f.bin", (local_ / "f.bin").c_str(), 'I', 0, 0, 0), FTP_E_DATA_CONNECTION);
    api_.LocalClose();
  }
  // Active: the server agrees, says it is sending, but never connects.
  {
    ScriptedServer server("220 hi\r\n", [](ScriptedServer& s, const std::string& cmd) {
      if (cmd.rfind("PORT", 0) == 0) s.Reply("200 ok\r\n");
      else if (cmd.rfind("RETR", 0) == 0) s.Reply("150 sending\r\n");
      else if (cmd == "ABOR") s.Reply("226 aborted\r\n");
      else ScriptedServer::Standard(s, cmd);
    });
    ASSERT_EQ(api_.SetDefaultPort(server.port), 0);
    ASSERT_EQ(api_.Login("127.0.0.1", kUser, kPass, 0, 0), 0);
    api_.SetPassiveMode(0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(api_.RecvFile("f.bin", (local_ / "f.bin").c_str(), 'I', 0, 0, 0), FTP_E_DATA_CONNECTION);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    api_.LocalClose();
  }
}

TEST_F(FtpTest, ServerVanishingMidTransferIsReported) {
  ScriptedServer server("220 hi\r\n", [](ScriptedServer& s, const std::string& cmd) {
    if (cmd.rfind("RETR", 0) == 0) {
      s.Reply("150 Opening data connection (100000 bytes)\r\n");
      if (s.AcceptData()) s.SendData(std::string(1000, 'z'));
      // Gone: both connections drop without a final reply.
      s.CloseData();
      s.CloseControl();
    } else {
      ScriptedServer::Standard(s, cmd);
    }
  });
  ASSERT_EQ(api_.SetDefaultPort(server.port), 0);
  api_.SetDefaultTimeOut(5);
  ASSERT_EQ(api_.Login("127.0.0.1", kUser, kPass, 0, 0), 0);
  api_.SetPassiveMode(1);
  api_.SetAsynchronousMode();
  ASSERT_EQ(api_.RecvFile("f.bin", (local_ / "f.bin").c_str(), 'I', 1, window_, kRecvMsg), 0);
  EXPECT_EQ(api_.BytesToBeTransferred(), 100000);
  ASSERT_TRUE(PumpUntil([] { return EndMessage(kRecvMsg) != nullptr; }));
  EXPECT_EQ(EndMessage(kRecvMsg)->lparam, FTP_E_CONNECTION_LOST);
}

TEST_F(FtpTest, ServerFallingSilentMidTransferTimesOut) {
  ScriptedServer server("220 hi\r\n", [](ScriptedServer& s, const std::string& cmd) {
    if (cmd.rfind("RETR", 0) == 0) {
      s.Reply("150 sending\r\n");
      if (s.AcceptData()) s.SendData(std::string(500, 'q'));  // then nothing, connection open
    } else {
      ScriptedServer::Standard(s, cmd);
    }
  });
  ASSERT_EQ(api_.SetDefaultPort(server.port), 0);
  api_.SetDefaultTimeOut(1);
  ASSERT_EQ(api_.Login("127.0.0.1", kUser, kPass, 0, 0), 0);
  api_.SetPassiveMode(1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(api_.RecvFile("f.bin", (local_ / "f.bin").c_str(), 'I', 0, 0, 0), FTP_E_TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(ReadText(local_ / "f.bin"), std::string(500, 'q'));
  // A session that went silent is given up.
  char folder[16];
  EXPECT_EQ(api_.PWD(folder, sizeof folder), FTP_E_NOT_CONNECTED);
}

TEST_F(FtpTest, FailedLocalFileKeepsTheSessionInStep) {
  // The server has finished (226) before the client gives up on the
  // transfer; its answer to ABOR must not be taken for the next command's.
  ScriptedServer server("220 hi\r\n", [](ScriptedServer& s, const std::string& cmd) {
    if (cmd.rfind("RETR", 0) == 0) {
      if (s.AcceptData()) s.SendData("abcd");
      s.CloseData();
      s.Reply("150 sending\r\n226 done\r\n");
    } else if (cmd == "ABOR") {
      s.Reply("225 no transfer to abort\r\n");
    } else {
      ScriptedServer::Standard(s, cmd);
    }
  });
  ASSERT_EQ(api_.SetDefaultPort(server.port), 0);
  api_.SetDefaultTimeOut(5);
  ASSERT_EQ(api_.Login("127.0.0.1", kUser, kPass, 0, 0), 0);
  api_.SetPassiveMode(1);
  EXPECT_EQ(api_.RecvFile("f.bin", (local_ / "no" / "dir" / "f.bin").c_str(), 'I', 0, 0, 0), FTP_E_LOCAL_FILE);
  char folder[64];
  ASSERT_EQ(api_.PWD(folder, sizeof folder), 0);
  EXPECT_STREQ(folder, "/");
}

TEST_F(FtpTest, AbortEndsARunningTransfer) {
  ScriptedServer server("220 hi\r\n", [](ScriptedServer& s, const std::string& cmd) {
    if (cmd.rfind("RETR", 0) == 0) {
      s.Reply("150 sending\r\n");
      // Some data, then the server stalls with the connection open.
      if (s.AcceptData()) s.SendData(std::string(70000, 'a'));
    } else if (cmd == "ABOR") {
      s.CloseData();
      s.Reply("426 transfer aborted\r\n226 abort done\r\n");
    } else {
      ScriptedServer::Standard(s, cmd);
    }
  });
  ASSERT_EQ(api_.SetDefaultPort(server.port), 0);
  api_.SetDefaultTimeOut(30);
  ASSERT_EQ(api_.Login("127.0.0.1", kUser, kPass, 0, 0), 0);
  api_.SetPassiveMode(1);
  api_.SetAsynchronousMode();
  EXPECT_EQ(api_.Abort(), FTP_E_NOT_CONNECTED);  // nothing running yet
  ASSERT_EQ(api_.RecvFile("f.bin", (local_ / "f.bin").c_str(), 'I', 1, window_, kRecvMsg), 0);
  ASSERT_TRUE(PumpUntil([] {
    for (auto& m : g_received)
      if (m.message == kRecvMsg && m.wparam == FTP_NOTIFY_PROGRESS && m.lparam == 70000) return true;
    return false;
  }));
  // While it runs, other commands wait their turn.
  char folder[64];
  EXPECT_EQ(api_.PWD(folder, sizeof folder), FTP_E_BUSY);

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(api_.Abort(), 0);
  ASSERT_TRUE(PumpUntil([] { return EndMessage(kRecvMsg) != nullptr; }));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(EndMessage(kRecvMsg)->lparam, FTP_E_ABORTED);
  auto commands = server.Commands();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "ABOR"), commands.end());
  // The control connection stayed in step.
  ASSERT_EQ(api_.PWD(folder, sizeof folder), 0);
  EXPECT_STREQ(folder, "/");
  EXPECT_EQ(api_.CloseConnection(), 0);
}

}  // namespace
