// The settings record, start and stop, the listener and the connections.
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/base/clock.h"
#include "platform/base/debuglog.h"
#include "platform/base/files.h"
#include "platform/base/ini.h"
#include "platform/base/paths.h"
#include "platform/module/resource.h"
#include "platform/netbind/netbind.h"
#include "platform/ui/msgbox.h"
#include "shell/settings_file.h"
#include "webserver/logon.h"
#include "webserver/server_internal.h"
#include "webserver/webserver.h"

namespace {

std::mutex g_settingsLock;  // the record
WebServerSettings g_settings{};

std::mutex g_logLock;  // Remote.log
int g_logFile = -1;

std::atomic<bool> g_serverRunning{false};

// The listener's life: set before its thread starts, cleared when it has
// cleaned up, so that a new start waits for an old listener to end.
std::mutex g_lifeLock;
std::condition_variable g_lifeChanged;
bool g_listenerAlive = false;
bool g_stopRequested = false;
int g_connections = 0;
std::map<uint32_t, int> g_connectionsByPeer;  // open connections per peer address
// Connections still reading their request, with the tick they were taken on.
std::map<ConnectionRecord*, uint32_t> g_reading;

// Each connection holds a thread, its socket and, while a file is served, that
// file: their number is bounded, in all and per peer address, so that one
// client cannot take every thread or descriptor of the program.
constexpr int kMostConnections = 256;
constexpr int kMostConnectionsPerPeer = 32;
// A request must be read whole within this time, however its bytes trickle
// in; an answer that the peer does not take for this long is given up.
constexpr int kRequestSeconds = 15;
constexpr int kSendSeconds = 10;

const char kBusyAnswer[] =
    "HTTP/1.0 503 Service Unavailable\r\nRetry-After: 5\r\n\r\n<TITLE>Server Busy</TITLE>\r\nServer Busy\r\n";

std::mutex g_hooksLock;
RemoteReportHooks g_hooks;

std::atomic<KvModule> g_resources{nullptr};  // the program's resource module

bool g_bound = false;  // StartWebServer holds one network binding

void Copy(char* out, size_t size, const std::string& text) {
  size_t n = std::min(text.size(), size - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

bool EnableValue(const char* text) { return text[0] == 't' || text[0] == 'T'; }

void CloseLogLocked() {
  if (g_logFile >= 0) ::close(g_logFile);
  g_logFile = -1;
}

// Waits up to `ms` for the listener to be gone.
bool WaitListenerGone(std::unique_lock<std::mutex>& lock, int ms) {
  return g_lifeChanged.wait_for(lock, std::chrono::milliseconds(ms), [] { return !g_listenerAlive; });
}

// The most connections served at once: the fixed bound, lowered when the
// program's descriptor limit could not hold a socket and a file for each.
int ConnectionLimit() {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return kMostConnections;
  const rlim_t spare = files.rlim_cur > 64 ? (files.rlim_cur - 64) / 2 : 0;
  return static_cast<int>(std::clamp<rlim_t>(spare, 4, kMostConnections));
}

// A connection that has been reading its request for this long may give its
// place to a new one when every place is taken.
constexpr uint32_t kEvictableMs = 1000;

// The connection that has been reading its request longest, if it has been
// for kEvictableMs: told to end unanswered (its reads end at once).
bool EvictOldestReaderLocked() {
  const uint32_t now = kv::TickCount();
  ConnectionRecord* oldest = nullptr;
  uint32_t age = 0;
  for (const auto& [record, since] : g_reading) {
    if (!record->evicted && now - since >= kEvictableMs && now - since >= age) {
      oldest = record;
      age = now - since;
    }
  }
  if (oldest == nullptr) return false;
  oldest->evicted = true;
  ::shutdown(static_cast<int>(oldest->socket), SHUT_RDWR);
  return true;
}

// Takes a connection slot for a peer and counts the record as reading its
// request; false when the bounds are reached. When every place is taken, the
// connection that has trickled its request longest makes room: clients that
// send their request at once are served while slow ones wait their turn.
// Evicted connections still count until their threads end, which they do
// at once, so the bound is passed by at most those few.
bool TakeConnectionSlot(uint32_t peer, int limit, ConnectionRecord* record) {
  std::lock_guard<std::mutex> lock(g_lifeLock);
  int& mine = g_connectionsByPeer[peer];
  const bool peerFull = mine >= std::min(limit, kMostConnectionsPerPeer);
  if (peerFull || (g_connections >= limit && (g_connections >= limit + limit / 4 || !EvictOldestReaderLocked()))) {
    if (mine == 0) g_connectionsByPeer.erase(peer);
    return false;
  }
  ++mine;
  ++g_connections;
  g_reading[record] = kv::TickCount();
  return true;
}

// The request is read (or given up): the connection no longer reads. True
// when it was evicted meanwhile.
bool EndReading(ConnectionRecord* record) {
  std::lock_guard<std::mutex> lock(g_lifeLock);
  g_reading.erase(record);
  return record->evicted;
}

void ReleaseConnectionSlot(uint32_t peer) {
  std::lock_guard<std::mutex> lock(g_lifeLock);
  auto it = g_connectionsByPeer.find(peer);
  if (it != g_connectionsByPeer.end() && --it->second <= 0) g_connectionsByPeer.erase(it);
  --g_connections;
  g_lifeChanged.notify_all();
}

// A connection's thread: small stacks (a request and its answer need little),
// so that the connection bound, not the address space, decides how many
// clients are served at once.
constexpr size_t kConnectionStack = 1 << 20;

void* RunConnection(void* argument) {
  auto* record = static_cast<ConnectionRecord*>(argument);
  const uint32_t peer = record->peer.address;
  ConnectionThread(record);
  ReleaseConnectionSlot(peer);
  return nullptr;
}

// Starts the thread of a taken connection, detached; false when none can be
// had.
bool StartConnectionThread(ConnectionRecord* record) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, kConnectionStack);
  pthread_t thread;
  const bool started = pthread_create(&thread, &attributes, &RunConnection, record) == 0;
  pthread_attr_destroy(&attributes);
  return started;
}

// No thread could be started: the connection that has trickled its request
// longest gives its place (and its thread's memory) up. True when one ended.
bool MakeRoomForAThread() {
  std::unique_lock<std::mutex> lock(g_lifeLock);
  const int before = g_connections;
  if (!EvictOldestReaderLocked()) return false;
  return g_lifeChanged.wait_for(lock, std::chrono::milliseconds(500), [&] { return g_connections < before; });
}

// Tells a peer that was not taken on that the server is busy, without ever
// waiting for it, and closes its connection.
void RefuseConnection(WsSocket socket) {
  const int fd = static_cast<int>(socket);
  ssize_t sent = ::send(fd, kBusyAnswer, sizeof kBusyAnswer - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  (void)sent;
  // What the peer has sent so far is taken off first: a socket closed with
  // unread bytes is reset, and the reset would throw the answer away.
  ::shutdown(fd, SHUT_WR);
  char drain[4096];
  for (int i = 0; i < 16 && ::recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0; ++i) {
  }
  g_networkBinding.closesocket(socket);
}

// Errors of accept that say nothing about the listening socket itself: the
// descriptor table or buffers are full for a moment, or a peer gave up
// before it was taken on. The listener pauses and goes on.
bool AcceptMayBeRetried(int32_t error) {
  return error == WSAEMFILE || error == WSAENOBUFS || error == WSAECONNABORTED || error == WSAECONNRESET ||
         error == WSAEINTR || error == WSAEWOULDBLOCK || error == WSAENETDOWN;
}

}  // namespace

std::string NativePath(const std::string& path) { return kv::ResolvePath(path); }

void InitWebServerSettings() {
  std::lock_guard<std::mutex> lock(g_settingsLock);
  std::memset(&g_settings, 0, sizeof g_settings);
  g_settings.userTimeout = 30;
  g_settings.daysToKeep = 7;
  g_settings.reportsPerUser = 10;
  g_settings.allowRequests = 1;
}

WebServerSettings GetWebServerSettings() {
  std::lock_guard<std::mutex> lock(g_settingsLock);
  return g_settings;
}

bool IsWebServerRunning() { return g_serverRunning.load(); }

void SetWebServerResources(KvModule module) { g_resources.store(module); }

const char* LoadResourceText(uint32_t id) {
  static char buffer[100];
  buffer[0] = '\0';
  if (KvModule module = g_resources.load()) KvLoadString(module, id, buffer, sizeof buffer);
  if (buffer[0] == '\0') KvLoadString(nullptr, id, buffer, sizeof buffer);
  if (buffer[0] == '\0') {
    // The program's resources may lack the texts (a program built without
    // them); the operator still learns why the server stays off.
    if (id == kTextNoLogonRight) {
      Copy(buffer, sizeof buffer, "This account may not log users on; the web server was not started.");
    } else if (id == kCaptionNoLogonRight) {
      Copy(buffer, sizeof buffer, "Kelvaron Web Server");
    }
  }
  return buffer;
}

void SetRemoteReportHooks(RemoteReportHooks hooks) {
  std::lock_guard<std::mutex> lock(g_hooksLock);
  g_hooks = std::move(hooks);
}

RemoteReportHooks GetRemoteReportHooks() {
  std::lock_guard<std::mutex> lock(g_hooksLock);
  return g_hooks;
}

int StartWebServer() {
  {
    std::lock_guard<std::mutex> lock(g_lifeLock);
    if (!g_bound) g_bound = BindNetworkLibraries() != 0;
  }
  WebServerSettings s;
  {
    std::lock_guard<std::mutex> lock(g_settingsLock);
    const char* ini = GetBaseIniPath();
    Copy(g_settings.iniPath, sizeof g_settings.iniPath, ini);
    Copy(g_settings.programFolder, sizeof g_settings.programFolder, GetProgramDirectory());
    kv::IniGetString("Defaults", "WebEnable", "FALSE", g_settings.webEnable, 10, ini);
    kv::IniGetString("Defaults", "WebAddress", "", g_settings.webAddress, 100, ini);
    kv::IniGetString("Defaults", "WebAdmin", "", g_settings.webAdmin, 100, ini);
    g_settings.userTimeout = static_cast<uint32_t>(kv::IniGetInt("Defaults", "WebUserTimeout", 30, ini));
    g_settings.reportsPerUser = kv::IniGetInt("Defaults", "WebNoReports", 10, ini);
    g_settings.daysToKeep = kv::IniGetInt("Defaults", "WebNoDays", 7, ini);
    g_settings.logging = kv::IniGetInt("Defaults", "WebLogging", 0, ini);
    g_settings.allowRequests = kv::IniGetInt("Defaults", "WebAllowReport", 0, ini);
    s = g_settings;
  }
  const bool enabled = EnableValue(s.webEnable);
  {
    std::unique_lock<std::mutex> lock(g_lifeLock);
    // A listener that has not bound yet may still fail (its port taken) and
    // end: a start asked for meanwhile must not be lost, so it waits until
    // that listener either serves or is gone.
    if (enabled && g_listenerAlive && !g_stopRequested && !g_serverRunning)
      g_lifeChanged.wait_for(lock, std::chrono::seconds(30),
                             [] { return !g_listenerAlive || g_serverRunning || g_stopRequested; });
    if (enabled && !(g_listenerAlive && !g_stopRequested)) {
      // A listener that was told to stop still holds its port: let it go.
      if (g_listenerAlive) WaitListenerGone(lock, 5000);
      if (!g_listenerAlive && g_bound) {
        uint64_t token = 0;
        uint32_t error = 0;
        bool ok = LogonUserA("LocalSystem", "", "brindlex", kLogonInteractive, 0, &token, &error);
        if (ok) CloseLogonToken(token);
        if (!ok && error == kErrorPrivilegeNotHeld) {
          lock.unlock();
          std::string text = LoadResourceText(kTextNoLogonRight);
          std::string caption = LoadResourceText(kCaptionNoLogonRight);
          kv::ui::MessageBox(0, text.c_str(), caption.c_str(), 0);
          lock.lock();
        } else {
          g_listenerAlive = true;
          g_stopRequested = false;
          std::thread([] { ServerThread(); }).detach();
        }
      }
    } else if (!enabled && g_listenerAlive && !g_stopRequested) {
      // The listener sees the cleared flag within a second, closes its own
      // socket and ends; closing it from here could hand its number to a
      // new socket while the listener still waits on it.
      g_stopRequested = true;
      g_serverRunning = false;
    }
  }
  {
    std::lock_guard<std::mutex> lock(g_logLock);
    if (s.logging != 0 && g_logFile < 0) {
      std::string path = NativePath(std::string(s.programFolder) + "Remote.log");
      g_logFile = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    } else if (s.logging == 0 && g_logFile >= 0) {
      CloseLogLocked();
    }
  }
  return 0;
}

void ExitWebServer() {
  {
    std::unique_lock<std::mutex> lock(g_lifeLock);
    g_stopRequested = true;
    g_serverRunning = false;
    WaitListenerGone(lock, 10000);
    g_lifeChanged.wait_for(lock, std::chrono::seconds(15), [] { return g_connections == 0; });
    if (g_bound) ReleaseNetworkLibraries();
    g_bound = false;
  }
  std::lock_guard<std::mutex> lock(g_logLock);
  CloseLogLocked();
}

// ---- the listener ----

int32_t ServerThread() {
  auto endThread = [](int32_t rc) {
    std::lock_guard<std::mutex> lock(g_lifeLock);
    g_serverRunning = false;
    g_listenerAlive = false;
    g_lifeChanged.notify_all();
    return rc;
  };
  const NetworkLibraryBinding& ws = g_networkBinding;
  kv::DebugOutput("ServerThread\r\n");
  WebServerSettings s;
  {
    std::lock_guard<std::mutex> lock(g_settingsLock);
    std::string folder = g_settings.programFolder;
    kv::CreateFolder((folder + "Reports").c_str());
    kv::CreateFolder((folder + "Reports\\Remote Reports").c_str());
    kv::CreateFolder((folder + "Reports\\Remote Reports\\users").c_str());
    Copy(g_settings.documentRoot, sizeof g_settings.documentRoot, folder + "wwwroot");
    Copy(g_settings.usersRoot, sizeof g_settings.usersRoot, folder + "Reports\\Remote Reports\\users");
    s = g_settings;
  }
  WsaData data{};
  ws.WSAStartup(0x0101, &data);

  WsSockAddrIn address{};
  address.family = WS_AF_INET;
  address.port = ws.htons_(99);
  address.address = WS_INADDR_ANY;
  std::string where = s.webAddress;
  if (!where.empty()) {
    size_t colon = where.find(':');
    if (colon != std::string::npos) {
      address.port = ws.htons_(static_cast<uint16_t>(std::atoi(where.c_str() + colon + 1)));
      where.resize(colon);
    }
    if (!where.empty()) address.address = ws.inet_addr(where.c_str());
  }
  WsSocket listener = ws.socket(WS_AF_INET, WS_SOCK_STREAM, 0);
  if (listener == WS_INVALID_SOCKET) {
    kv::DebugOutput("socket failed\r\n");
    ws.WSACleanup();
    return endThread(-1);
  }
  // A listening socket takes its port even while connections of an earlier
  // listener on it linger in TIME_WAIT, as the socket layer of the system the
  // server was made for allows; the binding table has no setsockopt, and the
  // socket module's handles are the system's descriptors.
  int reuse = 1;
  ::setsockopt(static_cast<int>(listener), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (ws.bind(listener, reinterpret_cast<const WsSockAddr*>(&address), sizeof address) != 0) {
    ws.closesocket(listener);
    kv::DebugOutput("bind failed\r\n");
    ws.WSACleanup();
    return endThread(-1);
  }
  if (ws.listen(listener, 2147483647) != 0) {
    ws.closesocket(listener);
    kv::DebugOutput("listen failed\r\n");
    ws.WSACleanup();
    return endThread(-1);
  }
  {
    std::lock_guard<std::mutex> lock(g_lifeLock);
    if (!g_stopRequested) g_serverRunning = true;
    g_lifeChanged.notify_all();
  }
  // The wait is taken in one-second slices so that a stop is seen at once;
  // housekeeping still needs 30 quiet seconds in a row.
  int quietSeconds = 0;
  while (g_serverRunning) {
    WsFdSet set{};
    set.count = 1;
    set.sockets[0] = listener;
    WsTimeVal timeout{1, 0};
    int32_t n = ws.select(0, &set, nullptr, nullptr, &timeout);
    if (!g_serverRunning) break;
    if (n == 0) {
      if (++quietSeconds < 30) continue;
      quietSeconds = 0;
      kv::DebugOutput("Clean up dead users\r\n");
      WebServerSettings now = GetWebServerSettings();
      RemoveIdleSessions(kv::TickCount(), now.userTimeout);
      if (now.daysToKeep >= 1) RemoveOldReports(now, static_cast<int64_t>(kv::Now()), now.daysToKeep);
      continue;
    }
    quietSeconds = 0;
    if (n < 0) break;
    auto* record = new ConnectionRecord;
    int32_t length = sizeof record->peer;
    record->socket = ws.accept(listener, reinterpret_cast<WsSockAddr*>(&record->peer), &length);
    if (record->socket == WS_INVALID_SOCKET) {
      const int32_t error = ws.WSAGetLastError();
      delete record;
      if (!AcceptMayBeRetried(error)) {
        kv::DebugOutput("accept failed\r\n");
        break;
      }
      kv::Sleep(100);
      continue;
    }
    const uint32_t peer = record->peer.address;
    // The bound follows the descriptor limit as it is now.
    if (!TakeConnectionSlot(peer, ConnectionLimit(), record)) {
      RefuseConnection(record->socket);
      delete record;
      continue;
    }
    if (!StartConnectionThread(record) && !(MakeRoomForAThread() && StartConnectionThread(record))) {
      // No thread to be had (memory or a thread limit): this peer is turned
      // away, the server goes on.
      EndReading(record);
      RefuseConnection(record->socket);
      delete record;
      ReleaseConnectionSlot(peer);
    }
  }
  ws.closesocket(listener);
  ws.WSACleanup();
  ClearUserSessions();
  {
    std::lock_guard<std::mutex> lock(g_logLock);
    CloseLogLocked();
  }
  kv::DebugOutput("~ServerThread\r\n");
  return endThread(0);
}

// ---- one connection ----

bool SendAll(WsSocket socket, const char* data, size_t size) {
  // Every block must be taken by the peer within the send time: a reader
  // that stalls (or drips) is given up instead of holding its thread.
  constexpr size_t kBlock = 64 << 10;
  while (size > 0) {
    size_t block = std::min(size, kBlock);
    const uint32_t started = kv::TickCount();
    while (block > 0) {
      const uint32_t spent = kv::TickCount() - started;
      if (spent >= kSendSeconds * 1000u) return false;
      const uint32_t left = kSendSeconds * 1000u - spent;
      timeval limit{static_cast<time_t>(left / 1000), static_cast<suseconds_t>((left % 1000) * 1000)};
      ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
      int32_t sent = g_networkBinding.send(socket, data, static_cast<int32_t>(block), 0);
      if (sent <= 0) return false;
      data += sent;
      size -= static_cast<size_t>(sent);
      block -= static_cast<size_t>(sent);
    }
  }
  return true;
}

namespace {

void ServeConnection(ConnectionRecord* record) {
  const NetworkLibraryBinding& ws = g_networkBinding;
  // An answer the peer does not take is given up after a while (the socket
  // module's handles are the system's descriptors).
  timeval sendLimit{kSendSeconds, 0};
  ::setsockopt(static_cast<int>(record->socket), SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
  RemoteRequest request(record->socket);
  char buffer[kRequestBufferSize + 1];
  size_t held = 0;
  int waits = 10;
  const uint32_t started = kv::TickCount();
  while (g_serverRunning && held < kRequestBufferSize) {
    // However the bytes trickle in, the request is read within its time.
    if (kv::TickCount() - started >= kRequestSeconds * 1000u) break;
    WsFdSet set{};
    set.count = 1;
    set.sockets[0] = record->socket;
    WsTimeVal timeout{1, 0};
    if (ws.select(0, &set, nullptr, nullptr, &timeout) <= 0) {
      if (--waits <= 0) break;
      continue;
    }
    int32_t got = ws.recv(record->socket, buffer + held, static_cast<int32_t>(kRequestBufferSize - held), 0);
    if (got <= 0) break;
    held += static_cast<size_t>(got);
    buffer[held] = '\0';
    waits = 5;
    if (char* end = std::strstr(buffer, "\r\n\r\n"); end != nullptr) {
      *end = '\0';
      held = static_cast<size_t>(end - buffer);
      break;
    }
  }
  buffer[held] = '\0';
  // A connection that gave its place to another is closed unanswered.
  if (EndReading(record)) return;
  request.SetText(std::string_view(buffer, held));
  request.ParseHttpRequest(GetWebServerSettings());
  AnswerRequest(request);
  kv::Sleep(100);
  if (GetWebServerSettings().logging != 0) {
    std::tm local{};
    kv::LocalTime(kv::Now(), &local);
    uint8_t peer[4];
    std::memcpy(peer, &record->peer.address, 4);
    std::string line = BuildAccessLogLine(request, peer, local);
    std::lock_guard<std::mutex> lock(g_logLock);
    if (g_logFile >= 0) {
      ssize_t done = ::write(g_logFile, line.data(), line.size());
      (void)done;
    }
  }
}

}  // namespace

int32_t ConnectionThread(ConnectionRecord* record) {
  // Nothing one request meets (memory running short included) may end the
  // program: the connection is closed and the server goes on.
  try {
    ServeConnection(record);
  } catch (const std::exception& e) {
    kv::DebugOutput((std::string("connection failed: ") + e.what() + "\r\n").c_str());
  }
  EndReading(record);  // a request that failed while still being read
  g_networkBinding.closesocket(record->socket);
  delete record;
  return 0;
}
