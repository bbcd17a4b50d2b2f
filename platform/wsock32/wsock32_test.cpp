// The socket module as its users see it: loaded from the program folder,
// functions found by name, events delivered through the message loop.
#include "platform/wsock32/wsock32.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/module/module.h"
#include "platform/ui/window.h"

namespace {

namespace ui = kv::ui;

struct Api {
  WsWSAStartupFn WSAStartup;
  WsWSACleanupFn WSACleanup;
  WsWSAGetLastErrorFn WSAGetLastError;
  WsWSAAsyncSelectFn WSAAsyncSelect;
  WsWSAAsyncGetHostByAddrFn WSAAsyncGetHostByAddr;
  WsWSAAsyncGetHostByNameFn WSAAsyncGetHostByName;
  WsWSACancelAsyncRequestFn WSACancelAsyncRequest;
  WsSocketFn socket;
  WsConnectFn connect;
  WsBindFn bind;
  WsListenFn listen;
  WsAcceptFn accept;
  WsSendFn send;
  WsRecvFn recv;
  WsClosesocketFn closesocket;
  WsSelectFn select;
  WsIoctlsocketFn ioctlsocket;
  WsGetsockoptFn getsockopt;
  WsHtonsFn htons_;
  WsInetAddrFn inet_addr;
  WsGethostbynameFn gethostbyname;
  WsGethostbyaddrFn gethostbyaddr;
  WsGethostnameFn gethostname;
};

constexpr uint32_t kClientMsg = 0x500;
constexpr uint32_t kServerMsg = 0x501;
constexpr uint32_t kLookupMsg = 0x502;

std::vector<ui::Message> g_received;

KvResult RecordProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (message >= kClientMsg && message <= kLookupMsg) {
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

// Dispatches this thread's messages until cond holds or the time is up.
bool PumpUntil(const std::function<bool()>& cond, int timeoutMs = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    ui::Message m;
    while (ui::PeekMessage(&m)) ui::DispatchMessage(&m);
    if (cond()) return true;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    ui::WaitMessage(static_cast<int32_t>(left));
  }
}

// Messages received for a socket/task with the given event (0 = any).
int Count(uint32_t message, KvWParam wparam, int event = 0) {
  int n = 0;
  for (auto& m : g_received)
    if (m.message == message && m.wparam == wparam && (event == 0 || WS_SELECT_EVENT(m.lparam) == event)) ++n;
  return n;
}

const ui::Message* Find(uint32_t message, KvWParam wparam, int event = 0) {
  for (auto& m : g_received)
    if (m.message == message && m.wparam == wparam && (event == 0 || WS_SELECT_EVENT(m.lparam) == event)) return &m;
  return nullptr;
}

class WinsockTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    module_ = KvLoadModule("WSOCK32.DLL");
    ASSERT_NE(module_, nullptr) << "WSOCK32.so not found in the program folder";
    auto get = [](const char* name) {
      KvProc p = KvGetProcAddress(module_, name);
      EXPECT_NE(p, nullptr) << name;
      return p;
    };
#define BIND(field, name) api_.field = reinterpret_cast<decltype(api_.field)>(get(name))
    BIND(WSAStartup, "WSAStartup");
    BIND(WSACleanup, "WSACleanup");
    BIND(WSAGetLastError, "WSAGetLastError");
    BIND(WSAAsyncSelect, "WSAAsyncSelect");
    BIND(WSAAsyncGetHostByAddr, "WSAAsyncGetHostByAddr");
    BIND(WSAAsyncGetHostByName, "WSAAsyncGetHostByName");
    BIND(WSACancelAsyncRequest, "WSACancelAsyncRequest");
    BIND(socket, "socket");
    BIND(connect, "connect");
    BIND(bind, "bind");
    BIND(listen, "listen");
    BIND(accept, "accept");
    BIND(send, "send");
    BIND(recv, "recv");
    BIND(closesocket, "closesocket");
    BIND(select, "select");
    BIND(ioctlsocket, "ioctlsocket");
    BIND(getsockopt, "getsockopt");
    BIND(htons_, "htons");
    BIND(inet_addr, "inet_addr");
    BIND(gethostbyname, "gethostbyname");
    BIND(gethostbyaddr, "gethostbyaddr");
    BIND(gethostname, "gethostname");
#undef BIND
    ui::RegisterWindowClass("WsTestWindow", RecordProc);
  }
  static void TearDownTestSuite() {
    if (module_ != nullptr) KvFreeModule(module_);
    module_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(module_, nullptr);
    WsaData data;
    ASSERT_EQ(api_.WSAStartup(0x0101, &data), 0);
    window_ = ui::CreateWindow("WsTestWindow", "sockets", 0, 0);
    ASSERT_NE(window_, 0u);
    g_received.clear();
  }
  void TearDown() override {
    for (WsSocket s : open_) api_.closesocket(s);
    ui::DestroyWindow(window_);
    api_.WSACleanup();
  }

  WsSocket NewSocket() {
    WsSocket s = api_.socket(WS_AF_INET, WS_SOCK_STREAM, 0);
    EXPECT_NE(s, WS_INVALID_SOCKET);
    open_.push_back(s);
    return s;
  }
  void Forget(WsSocket s) { std::erase(open_, s); }

  static WsSockAddrIn Loopback(uint16_t port) {
    WsSockAddrIn a{};
    a.family = WS_AF_INET;
    a.port = api_.htons_(port);
    a.address = api_.inet_addr("127.0.0.1");
    return a;
  }
  static const WsSockAddr* Addr(const WsSockAddrIn& a) { return reinterpret_cast<const WsSockAddr*>(&a); }

  // A listening socket on a free loopback port.
  WsSocket Listener(uint16_t* port) {
    WsSocket s = NewSocket();
    WsSockAddrIn a = Loopback(0);
    EXPECT_EQ(api_.bind(s, Addr(a), sizeof a), 0);
    EXPECT_EQ(api_.listen(s, 5), 0);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&local), &len);
    *port = ntohs(local.sin_port);
    return s;
  }

  static KvModule module_;
  static Api api_;
  KvWindow window_ = 0;
  std::vector<WsSocket> open_;
};

KvModule WinsockTest::module_ = nullptr;
Api WinsockTest::api_;

TEST_F(WinsockTest, ModuleDoesNotReplaceTheProcessSocketCalls) {
  // Loaded locally: the process keeps libc's functions of the same names.
  EXPECT_NE(reinterpret_cast<void*>(api_.send), dlsym(RTLD_DEFAULT, "send"));
  EXPECT_NE(reinterpret_cast<void*>(api_.socket), dlsym(RTLD_DEFAULT, "socket"));
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  // A descriptor the module did not make is no socket of its.
  char c;
  EXPECT_EQ(api_.recv(static_cast<WsSocket>(fd), &c, 1, 0), WS_SOCKET_ERROR);
  EXPECT_EQ(api_.WSAGetLastError(), WSAENOTSOCK);
  ::close(fd);
}

TEST_F(WinsockTest, StartupAndCleanupCount) {
  WsaData data;
  EXPECT_EQ(api_.WSAStartup(0x0001, &data), WSAVERNOTSUPPORTED);
  EXPECT_EQ(api_.WSAStartup(0x0101, nullptr), WSAEFAULT);
  ASSERT_EQ(api_.WSAStartup(0x0202, &data), 0);  // a later version gets 1.1
  EXPECT_EQ(data.version, 0x0101);
  EXPECT_EQ(data.highVersion, 0x0101);
  EXPECT_EQ(api_.WSACleanup(), 0);
  EXPECT_EQ(api_.WSACleanup(), 0);  // the fixture's start-up
  EXPECT_EQ(api_.WSACleanup(), WS_SOCKET_ERROR);
  EXPECT_EQ(api_.WSAGetLastError(), WSANOTINITIALISED);
  ASSERT_EQ(api_.WSAStartup(0x0101, &data), 0);  // for TearDown
}

TEST_F(WinsockTest, AddressTextsAndByteOrder) {
  struct Case {
    const char* text;
    uint32_t expected;  // network order
  } cases[] = {
      {"127.0.0.1", 0x0100007Fu}, {"10.1.2.3", 0x0302010Au}, {"1.2.3.4  ", 0x04030201u},
      {"", WS_INADDR_NONE},       {"abc", WS_INADDR_NONE},    {"1.2.3.256", WS_INADDR_NONE},
      {"1.2.3.4x", WS_INADDR_NONE}, {"1.2.3.4 5", WS_INADDR_NONE},
  };
  for (const Case& c : cases) EXPECT_EQ(api_.inet_addr(c.text), c.expected) << c.text;
  EXPECT_EQ(api_.inet_addr(nullptr), WS_INADDR_NONE);
  EXPECT_EQ(api_.htons_(0x1234), 0x3412);
}

TEST_F(WinsockTest, ASocketSelectedBeforeItConnectsOrListensIsNotTakenForClosed) {
  // Selected first, connected or listening a while later: in between the
  // socket is neither, which poll reports as hung up.
  WsSocket client = NewSocket();
  ASSERT_EQ(api_.WSAAsyncSelect(client, window_, kClientMsg, WS_FD_CONNECT | WS_FD_READ | WS_FD_CLOSE), 0);
  WsSocket listener = NewSocket();
  ASSERT_EQ(api_.WSAAsyncSelect(listener, window_, kServerMsg, WS_FD_ACCEPT), 0);
  PumpUntil([] { return false; }, 200);
  EXPECT_EQ(Find(kClientMsg, client, WS_FD_CLOSE), nullptr) << "an unconnected socket was told it closed";

  WsSockAddrIn any = Loopback(0);
  ASSERT_EQ(api_.bind(listener, Addr(any), sizeof any), 0);
  ASSERT_EQ(api_.listen(listener, 4), 0);
  sockaddr_in local{};
  socklen_t len = sizeof local;
  ASSERT_EQ(getsockname(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&local), &len), 0);
  WsSockAddrIn to = Loopback(ntohs(local.sin_port));
  const int rc = api_.connect(client, Addr(to), sizeof to);
  if (rc != 0) {
    EXPECT_EQ(api_.WSAGetLastError(), WSAEWOULDBLOCK);
  }
  ASSERT_TRUE(PumpUntil([&] { return Find(kServerMsg, listener, WS_FD_ACCEPT) && Find(kClientMsg, client, WS_FD_CONNECT); }));
  WsSocket server = api_.accept(listener, nullptr, nullptr);
  ASSERT_NE(server, WS_INVALID_SOCKET);
  open_.push_back(server);
  ASSERT_EQ(api_.send(server, "late", 4, 0), 4);
  ASSERT_TRUE(PumpUntil([&] { return Find(kClientMsg, client, WS_FD_READ) != nullptr; }));
  EXPECT_EQ(Find(kClientMsg, client, WS_FD_CLOSE), nullptr);
  char buf[8];
  EXPECT_EQ(api_.recv(client, buf, sizeof buf, 0), 4);
}

TEST_F(WinsockTest, AsyncSelectRoundTripThroughTheMessageLoop) {
  uint16_t port;
  WsSocket listener = Listener(&port);
  ASSERT_EQ(api_.WSAAsyncSelect(listener, window_, kServerMsg, WS_FD_ACCEPT), 0);

  WsSocket client = NewSocket();
  ASSERT_EQ(api_.WSAAsyncSelect(client, window_, kClientMsg, WS_FD_CONNECT | WS_FD_READ | WS_FD_WRITE | WS_FD_CLOSE),
            0);
  WsSockAddrIn to = Loopback(port);
  // Selection makes the socket non-blocking: the connect completes later.
  int rc = api_.connect(client, Addr(to), sizeof to);
  if (rc != 0) {
    EXPECT_EQ(api_.WSAGetLastError(), WSAEWOULDBLOCK);
  }

  ASSERT_TRUE(PumpUntil([&] {
    return Find(kClientMsg, client, WS_FD_CONNECT) && Find(kClientMsg, client, WS_FD_WRITE) &&
           Find(kServerMsg, listener, WS_FD_ACCEPT);
  }));
  EXPECT_EQ(WS_SELECT_ERROR(Find(kClientMsg, client, WS_FD_CONNECT)->lparam), 0);

  WsSockAddrIn peer{};
  int32_t peerLen = sizeof peer;
  WsSocket server = api_.accept(listener, reinterpret_cast<WsSockAddr*>(&peer), &peerLen);
  ASSERT_NE(server, WS_INVALID_SOCKET);
  open_.push_back(server);
  EXPECT_EQ(peerLen, 16);
  EXPECT_EQ(peer.family, WS_AF_INET);
  EXPECT_EQ(peer.address, api_.inet_addr("127.0.0.1"));
  ASSERT_EQ(api_.WSAAsyncSelect(server, window_, kServerMsg, WS_FD_READ | WS_FD_CLOSE), 0);

  // Two sends before the server reads: FD_READ is posted once and comes
  // again only after a recv.
  ASSERT_EQ(api_.send(client, "hello ", 6, 0), 6);
  ASSERT_EQ(api_.send(client, "world", 5, 0), 5);
  ASSERT_TRUE(PumpUntil([&] { return Find(kServerMsg, server, WS_FD_READ) != nullptr; }));
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(Count(kServerMsg, server, WS_FD_READ), 1);

  std::string got;
  char buf[64];
  ASSERT_TRUE(PumpUntil([&] {
    int n = api_.recv(server, buf, sizeof buf, 0);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
    return got.size() >= 11;
  }));
  EXPECT_EQ(got, "hello world");

  // Nothing more to read: a non-blocking recv says so.
  EXPECT_EQ(api_.recv(server, buf, sizeof buf, 0), WS_SOCKET_ERROR);
  EXPECT_EQ(api_.WSAGetLastError(), WSAEWOULDBLOCK);

  ASSERT_EQ(api_.send(server, "answer", 6, 0), 6);
  ASSERT_TRUE(PumpUntil([&] { return Find(kClientMsg, client, WS_FD_READ) != nullptr; }));
  uint32_t pending = 0;
  ASSERT_EQ(api_.ioctlsocket(client, WS_FIONREAD, &pending), 0);
  EXPECT_EQ(pending, 6u);
  char peek[6];
  EXPECT_EQ(api_.recv(client, peek, 6, WS_MSG_PEEK), 6);
  EXPECT_EQ(api_.recv(client, buf, sizeof buf, 0), 6);
  EXPECT_EQ(std::string(buf, 6), "answer");

  // The server hangs up: the client hears FD_CLOSE once, and recv gives 0.
  ASSERT_EQ(api_.closesocket(server), 0);
  Forget(server);
  ASSERT_TRUE(PumpUntil([&] { return Find(kClientMsg, client, WS_FD_CLOSE) != nullptr; }));
  EXPECT_EQ(WS_SELECT_ERROR(Find(kClientMsg, client, WS_FD_CLOSE)->lparam), 0);
  EXPECT_EQ(api_.recv(client, buf, sizeof buf, 0), 0);
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(Count(kClientMsg, client, WS_FD_CLOSE), 1);

  // A closed socket is no socket any more.
  ASSERT_EQ(api_.closesocket(client), 0);
  Forget(client);
  EXPECT_EQ(api_.recv(client, buf, sizeof buf, 0), WS_SOCKET_ERROR);
  EXPECT_EQ(api_.WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(api_.closesocket(client), WS_SOCKET_ERROR);
}

// A closed socket's number is not the next socket's: an event of the closed
// one still queued must not be taken for the new one.
TEST_F(WinsockTest, AClosedSocketsNumberIsNotHandedOutAgainAtOnce) {
  std::vector<WsSocket> seen;
  for (int i = 0; i < 8; ++i) {
    WsSocket s = api_.socket(WS_AF_INET, WS_SOCK_STREAM, 0);
    ASSERT_NE(s, WS_INVALID_SOCKET);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), s), 0) << "number " << s << " again after " << i << " closes";
    seen.push_back(s);
    ASSERT_EQ(api_.closesocket(s), 0);
    char c;
    EXPECT_EQ(api_.recv(s, &c, 1, 0), WS_SOCKET_ERROR);
    EXPECT_EQ(api_.WSAGetLastError(), WSAENOTSOCK);
  }
}

TEST_F(WinsockTest, RefusedConnectIsReportedWithItsError) {
  uint16_t port;
  WsSocket listener = Listener(&port);
  ASSERT_EQ(api_.closesocket(listener), 0);  // nobody listens on port now
  Forget(listener);

  WsSocket client = NewSocket();
  ASSERT_EQ(api_.WSAAsyncSelect(client, window_, kClientMsg, WS_FD_CONNECT | WS_FD_WRITE), 0);
  WsSockAddrIn to = Loopback(port);
  if (api_.connect(client, Addr(to), sizeof to) != 0) {
    EXPECT_EQ(api_.WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([&] { return Find(kClientMsg, client, WS_FD_CONNECT) != nullptr; }));
    EXPECT_EQ(WS_SELECT_ERROR(Find(kClientMsg, client, WS_FD_CONNECT)->lparam), WSAECONNREFUSED);
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(Count(kClientMsg, client, WS_FD_WRITE), 0);
  } else {
    ADD_FAILURE() << "connect to a closed port succeeded";
  }

  // A blocking connect reports the refusal directly.
  WsSocket blocking = NewSocket();
  EXPECT_EQ(api_.connect(blocking, Addr(to), sizeof to), WS_SOCKET_ERROR);
  EXPECT_EQ(api_.WSAGetLastError(), WSAECONNREFUSED);
}

TEST_F(WinsockTest, BlockingCallsAndSelect) {
  uint16_t port;
  WsSocket listener = Listener(&port);
  WsSocket client = NewSocket();
  WsSockAddrIn to = Loopback(port);
  ASSERT_EQ(api_.connect(client, Addr(to), sizeof to), 0);
  WsSocket server = api_.accept(listener, nullptr, nullptr);
  ASSERT_NE(server, WS_INVALID_SOCKET);
  open_.push_back(server);

  WsFdSet readable{};
  readable.count = 1;
  readable.sockets[0] = server;
  WsTimeVal zero{0, 0};
  EXPECT_EQ(api_.select(0, &readable, nullptr, nullptr, &zero), 0);
  EXPECT_EQ(readable.count, 0u);

  ASSERT_EQ(api_.send(client, "x", 1, 0), 1);
  readable.count = 2;
  readable.sockets[0] = listener;
  readable.sockets[1] = server;
  WsTimeVal wait{5, 0};
  EXPECT_EQ(api_.select(0, &readable, nullptr, nullptr, &wait), 1);
  ASSERT_EQ(readable.count, 1u);
  EXPECT_EQ(readable.sockets[0], server);

  WsFdSet bad{};
  bad.count = WS_FD_SETSIZE + 1;
  EXPECT_EQ(api_.select(0, &bad, nullptr, nullptr, &zero), WS_SOCKET_ERROR);
  EXPECT_EQ(api_.WSAGetLastError(), WSAEINVAL);

  int32_t value = -1, len = sizeof value;
  ASSERT_EQ(api_.getsockopt(client, WS_SOL_SOCKET, WS_SO_ERROR, reinterpret_cast<char*>(&value), &len), 0);
  EXPECT_EQ(value, 0);
  ASSERT_EQ(api_.getsockopt(client, WS_SOL_SOCKET, WS_SO_TYPE, reinterpret_cast<char*>(&value), &len), 0);
  EXPECT_EQ(value, WS_SOCK_STREAM);
  len = 2;
  EXPECT_EQ(api_.getsockopt(client, WS_SOL_SOCKET, WS_SO_ERROR, reinterpret_cast<char*>(&value), &len),
            WS_SOCKET_ERROR);
  EXPECT_EQ(api_.WSAGetLastError(), WSAEFAULT);

  // Bad arguments are refused, not followed.
  EXPECT_EQ(api_.send(client, nullptr, 5, 0), WS_SOCKET_ERROR);
  EXPECT_EQ(api_.WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(api_.connect(client, Addr(to), 8), WS_SOCKET_ERROR);
  EXPECT_EQ(api_.WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(api_.socket(23, WS_SOCK_STREAM, 0), WS_INVALID_SOCKET);
  EXPECT_EQ(api_.WSAGetLastError(), WSAEAFNOSUPPORT);

  char name[256];
  ASSERT_EQ(api_.gethostname(name, sizeof name), 0);
  EXPECT_GT(std::strlen(name), 0u);
  EXPECT_EQ(api_.gethostname(name, 1), WS_SOCKET_ERROR);
}

// The name the system resolver gives for 127.0.0.1.
std::string SystemNameOfLoopback() {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<sockaddr*>(&a), sizeof a, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
    return "";
  return host;
}

TEST_F(WinsockTest, BlockingLookups) {
  const std::string expected = SystemNameOfLoopback();
  if (expected.empty()) GTEST_SKIP() << "the system resolver has no name for 127.0.0.1";
  const uint32_t loopback = api_.inet_addr("127.0.0.1");
  WsHostEntry* e = api_.gethostbyaddr(reinterpret_cast<const char*>(&loopback), 4, WS_AF_INET);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(std::string(e->name), expected);
  EXPECT_EQ(e->addressType, WS_AF_INET);
  EXPECT_EQ(e->addressLength, 4);

  e = api_.gethostbyname(expected.c_str());
  ASSERT_NE(e, nullptr);
  ASSERT_NE(e->addresses[0], nullptr);
  uint32_t first;
  std::memcpy(&first, e->addresses[0], 4);
  EXPECT_EQ(first & 0xFF, 127u);  // network order: 127 comes first

  EXPECT_EQ(api_.gethostbyaddr(reinterpret_cast<const char*>(&loopback), 3, WS_AF_INET), nullptr);
  EXPECT_EQ(api_.WSAGetLastError(), WSAEFAULT);
}

TEST_F(WinsockTest, AsyncReverseLookupAnswersThroughTheWindow) {
  const std::string expected = SystemNameOfLoopback();
  if (expected.empty()) GTEST_SKIP() << "the system resolver has no name for 127.0.0.1";
  alignas(8) char buffer[WS_MAXGETHOSTSTRUCT];
  const uint32_t loopback = api_.inet_addr("127.0.0.1");
  KvHandle task = api_.WSAAsyncGetHostByAddr(window_, kLookupMsg, reinterpret_cast<const char*>(&loopback), 4,
                                             WS_AF_INET, buffer, sizeof buffer);
  ASSERT_NE(task, 0u);
  ASSERT_TRUE(PumpUntil([&] { return Find(kLookupMsg, task) != nullptr; }));
  const ui::Message* m = Find(kLookupMsg, task);
  EXPECT_EQ(WS_ASYNC_ERROR(m->lparam), 0);
  const uint16_t length = WS_ASYNC_BUFLEN(m->lparam);
  EXPECT_GT(length, sizeof(WsHostEntry));
  EXPECT_LE(length, sizeof buffer);
  auto* e = reinterpret_cast<WsHostEntry*>(buffer);
  EXPECT_EQ(std::string(e->name), expected);
  // Everything the record points to lies inside the answered length.
  EXPECT_GE(e->name, buffer);
  EXPECT_LT(e->name + std::strlen(e->name), buffer + length);
  ASSERT_NE(e->addresses[0], nullptr);
  EXPECT_EQ(std::memcmp(e->addresses[0], &loopback, 4), 0);
  EXPECT_EQ(e->addresses[1], nullptr);

  // A buffer too small for the answer gets WSAENOBUFS and the length needed,
  // and nothing written past its end.
  alignas(8) char small[48];
  std::memset(small, 0x5A, sizeof small);
  task = api_.WSAAsyncGetHostByAddr(window_, kLookupMsg, reinterpret_cast<const char*>(&loopback), 4, WS_AF_INET,
                                    small, 16);
  ASSERT_NE(task, 0u);
  ASSERT_TRUE(PumpUntil([&] { return Find(kLookupMsg, task) != nullptr; }));
  m = Find(kLookupMsg, task);
  EXPECT_EQ(WS_ASYNC_ERROR(m->lparam), WSAENOBUFS);
  EXPECT_GT(WS_ASYNC_BUFLEN(m->lparam), 16);
  for (size_t i = 0; i < sizeof small; ++i) ASSERT_EQ(small[i], 0x5A) << i;

  // By name.
  task = api_.WSAAsyncGetHostByName(window_, kLookupMsg, expected.c_str(), buffer, sizeof buffer);
  ASSERT_NE(task, 0u);
  ASSERT_TRUE(PumpUntil([&] { return Find(kLookupMsg, task) != nullptr; }));
  EXPECT_EQ(WS_ASYNC_ERROR(Find(kLookupMsg, task)->lparam), 0);
}

TEST_F(WinsockTest, CancelledLookupPostsNothingAndLeavesTheBufferAlone) {
  const uint32_t loopback = api_.inet_addr("127.0.0.1");
  struct Request {
    KvHandle task;
    bool cancelled;
    alignas(8) char buffer[WS_MAXGETHOSTSTRUCT];
  };
  std::vector<Request> requests(16);
  int cancelled = 0;
  for (auto& r : requests) {
    std::memset(r.buffer, 0x33, sizeof r.buffer);
    r.task = api_.WSAAsyncGetHostByAddr(window_, kLookupMsg, reinterpret_cast<const char*>(&loopback), 4,
                                        WS_AF_INET, r.buffer, sizeof r.buffer);
    ASSERT_NE(r.task, 0u);
    r.cancelled = api_.WSACancelAsyncRequest(r.task) == 0;
    cancelled += r.cancelled;
  }
  // A request that was answered first cannot be cancelled any more.
  ASSERT_GT(cancelled, 0);
  // Every request that was not cancelled answers; then nothing else comes.
  ASSERT_TRUE(PumpUntil([&] {
    for (auto& r : requests)
      if (!r.cancelled && !Find(kLookupMsg, r.task)) return false;
    return true;
  }));
  PumpUntil([] { return false; }, 200);
  for (auto& r : requests) {
    if (!r.cancelled) continue;
    EXPECT_EQ(Count(kLookupMsg, r.task), 0);
    for (size_t i = 0; i < sizeof r.buffer; ++i) ASSERT_EQ(r.buffer[i], 0x33);
  }
  EXPECT_EQ(api_.WSACancelAsyncRequest(requests[0].task), WS_SOCKET_ERROR);
  EXPECT_EQ(api_.WSAGetLastError(), WSAEINVAL);
}

// Events of one thread's sockets, kept by that thread alone.
struct ThreadEvents {
  int reads = 0;
  int closes = 0;
  int errors = 0;
};
thread_local ThreadEvents t_events;
constexpr uint32_t kStressMsg = 0x510;

KvResult StressProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (message != kStressMsg) return ui::DefWindowProc(window, message, wparam, lparam);
  if (WS_SELECT_ERROR(lparam) != 0) ++t_events.errors;
  if (WS_SELECT_EVENT(lparam) == WS_FD_READ) ++t_events.reads;
  if (WS_SELECT_EVENT(lparam) == WS_FD_CLOSE) ++t_events.closes;
  return 0;
}

// Many threads at once, each fetching answers that come in many small pieces
// and end with the server's close, as the crawler's workers do: every answer
// must arrive whole and end with exactly one FD_CLOSE. Reading while the
// module's poller looks at the same socket must never cost an event.
TEST_F(WinsockTest, ManyThreadsEveryAnswerEndsWithItsClose) {
  static const bool registered = ui::RegisterWindowClass("WsStressWindow", StressProc);
  ASSERT_TRUE(registered);
  constexpr int kThreads = 48;
  constexpr int kConnections = 60;  // per thread
  constexpr int kPieces = 24;
  constexpr int kPieceSize = 100;
  std::atomic<int> lost{0}, wrong{0}, failed{0}, done{0};

  // One plain server per thread: the answer in pieces, then a close.
  struct Server {
    int listener = -1;
    uint16_t port = 0;
    std::thread thread;
  };
  std::vector<Server> servers(kThreads);
  for (Server& sv : servers) {
    sv.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sv.listener, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(sv.listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(sv.listener, 16), 0);
    socklen_t len = sizeof a;
    getsockname(sv.listener, reinterpret_cast<sockaddr*>(&a), &len);
    sv.port = ntohs(a.sin_port);
    sv.thread = std::thread([fd = sv.listener] {
      const std::string piece(kPieceSize, 'p');
      for (int c = 0; c < kConnections; ++c) {
        int peer = ::accept(fd, nullptr, nullptr);
        if (peer < 0) return;
        for (int k = 0; k < kPieces; ++k) {
          if (::send(peer, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) break;
          if (k % 4 == 3) std::this_thread::yield();
        }
        ::close(peer);
      }
    });
  }

  const Api api = api_;
  auto client = [&](uint16_t port) {
    KvWindow window = ui::CreateWindow("WsStressWindow", "stress", 0, 0);
    if (window == 0) {
      ++failed;
      return;
    }
    for (int c = 0; c < kConnections; ++c) {
      t_events = ThreadEvents{};
      WsSocket s = api.socket(WS_AF_INET, WS_SOCK_STREAM, 0);
      WsSockAddrIn to{};
      to.family = WS_AF_INET;
      to.port = api.htons_(port);
      to.address = api.inet_addr("127.0.0.1");
      if (s == WS_INVALID_SOCKET || api.connect(s, reinterpret_cast<const WsSockAddr*>(&to), sizeof to) != 0 ||
          api.WSAAsyncSelect(s, window, kStressMsg, WS_FD_READ | WS_FD_CLOSE) != 0) {
        ++failed;
        if (s != WS_INVALID_SOCKET) api.closesocket(s);
        break;
      }
      size_t got = 0;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      int readsSeen = 0;
      while (t_events.closes == 0 && std::chrono::steady_clock::now() < deadline) {
        ui::Message m;
        while (ui::PeekMessage(&m)) ui::DispatchMessage(&m);
        // Only an event makes the client read, and then it reads all there
        // is, as the crawler does.
        if (t_events.reads != readsSeen) {
          readsSeen = t_events.reads;
          char buf[512];
          for (int n; (n = api.recv(s, buf, sizeof buf, 0)) > 0;) got += static_cast<size_t>(n);
        }
        if (t_events.closes == 0) ui::WaitMessage(20);
      }
      if (t_events.closes != 1) ++lost;
      // Whatever the close left unread.
      char buf[512];
      for (int n; (n = api.recv(s, buf, sizeof buf, 0)) > 0;) got += static_cast<size_t>(n);
      if (got != static_cast<size_t>(kPieces * kPieceSize) || t_events.errors != 0) {
        ++wrong;
      }
      api.closesocket(s);
      ++done;
      if (t_events.closes != 1) break;  // one lost close is proof enough
    }
    ui::DestroyWindow(window);
  };
  std::vector<std::thread> clients;
  for (const Server& sv : servers) clients.emplace_back(client, sv.port);
  for (auto& t : clients) t.join();
  for (Server& sv : servers) {
    ::shutdown(sv.listener, SHUT_RDWR);
    ::close(sv.listener);
    sv.thread.join();
  }
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(lost.load(), 0) << "connections whose close was never posted, of " << done.load();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
