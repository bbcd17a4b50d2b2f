// The settings record, start and stop, the listener and the connections.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
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

// A connection reading its request costs the listener a descriptor and a
// buffer; one being answered costs a thread, its socket and the file it
// serves. Their number is bounded, in all and per peer address, so that one
// client cannot take every thread or descriptor of the program.
constexpr int kMostConnections = 256;        // being answered at once
constexpr int kMostConnectionsPerPeer = 64;  // reading or answered, per address
// A request must be read whole within this time, however its bytes trickle
// in; an answer that the peer does not take for this long is given up.
constexpr int kRequestSeconds = 15;
constexpr int kSendSeconds = 10;
// Waits for the first bytes of a request and, after each piece, for more.
constexpr uint32_t kFirstDataMs = 10000;
constexpr uint32_t kMoreDataMs = 5000;
// Descriptors kept free for the program's other work (log, reports, files).
constexpr int kSpareDescriptors = 8;
// Housekeeping (idle users, old reports) runs this often, busy or not.
constexpr uint32_t kHousekeepingMs = 30000;

const char kBusyAnswer[] =
    "HTTP/1.0 503 Service Unavailable\r\nRetry-After: 5\r\nContent-Type: text/html\r\nContent-Length: "
    "41\r\n\r\n<TITLE>Server Busy</TITLE>\r\nServer Busy\r\n";
const char kHeadTooLargeAnswer[] =
    "HTTP/1.0 431 Request Header Fields Too Large\r\nContent-Type: text/html\r\nContent-Length: 81\r\n\r\n"
    "<TITLE>Request Header Fields Too Large</TITLE>\r\nRequest Header Fields Too Large\r\n";

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

// The descriptors the program has open now.
int OpenDescriptors() {
  int count = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) ++count;
  return ec ? -1 : count - 1;  // the listing's own descriptor
}

// True when the descriptor table has room for one more connection besides
// those there are: each needs its socket (counted as open) and, while it is
// answered, one file more.
bool RoomForAConnection(int connections) {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return true;
  // Under a table this large the count is not worth taking for each one.
  if (files.rlim_cur >= (1 << 16) && connections < (1 << 14)) return true;
  const int open = OpenDescriptors();
  if (open < 0) return true;
  const long long limit = static_cast<long long>(std::min<rlim_t>(files.rlim_cur, 1 << 30));
  return open + connections + 1 + kSpareDescriptors <= limit;
}

// Takes a place for a peer; false when its address holds its share.
bool TakeConnectionSlot(uint32_t peer) {
  std::lock_guard<std::mutex> lock(g_lifeLock);
  int& mine = g_connectionsByPeer[peer];
  if (mine >= kMostConnectionsPerPeer) return false;
  ++mine;
  ++g_connections;
  return true;
}

void ReleaseConnectionSlot(uint32_t peer) {
  std::lock_guard<std::mutex> lock(g_lifeLock);
  auto it = g_connectionsByPeer.find(peer);
  if (it != g_connectionsByPeer.end() && --it->second <= 0) g_connectionsByPeer.erase(it);
  --g_connections;
  g_lifeChanged.notify_all();
}

int ConnectionCount() {
  std::lock_guard<std::mutex> lock(g_lifeLock);
  return g_connections;
}

// The threads that answer requests: made when a request finds none idle (up
// to kMostConnections), each waiting a while for the next request once it
// has answered one, so that a steady stream of requests is answered without
// a thread made for each.
constexpr auto kIdleWorkerLife = std::chrono::seconds(5);
struct WorkerPool {
  std::mutex lock;
  std::condition_variable ready;
  std::vector<ConnectionRecord*> queue;
  int workers = 0;      // threads
  int idleWorkers = 0;  // of them waiting for a request
};
// Never destroyed: idle threads may still wait on it while the program ends.
WorkerPool& g_pool = *new WorkerPool;

// A connection's thread: small stacks (a request and its answer need little),
// so that the connection bound, not the address space, decides how many
// clients are served at once.
constexpr size_t kConnectionStack = 1 << 20;

void* RunWorker(void* argument) {
  auto* record = static_cast<ConnectionRecord*>(argument);
  for (;;) {
    const uint32_t peer = record->peer.address;
    ConnectionThread(record);
    ReleaseConnectionSlot(peer);
    std::unique_lock<std::mutex> lock(g_pool.lock);
    ++g_pool.idleWorkers;
    g_pool.ready.wait_for(lock, kIdleWorkerLife, [] { return !g_pool.queue.empty(); });
    --g_pool.idleWorkers;
    if (g_pool.queue.empty()) {
      --g_pool.workers;
      return nullptr;
    }
    record = g_pool.queue.back();
    g_pool.queue.pop_back();
  }
}

// Hands a connection whose request was read to a thread; false when none can
// be had.
bool StartConnectionThread(ConnectionRecord* record) {
  {
    std::lock_guard<std::mutex> lock(g_pool.lock);
    if (g_pool.idleWorkers > static_cast<int>(g_pool.queue.size())) {
      g_pool.queue.push_back(record);
      g_pool.ready.notify_one();
      return true;
    }
    if (g_pool.workers >= kMostConnections) return false;
    ++g_pool.workers;
  }
  pthread_attr_t attributes;
  bool started = false;
  if (pthread_attr_init(&attributes) == 0) {
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, kConnectionStack);
    pthread_t thread;
    started = pthread_create(&thread, &attributes, &RunWorker, record) == 0;
    pthread_attr_destroy(&attributes);
  }
  if (!started) {
    std::lock_guard<std::mutex> lock(g_pool.lock);
    --g_pool.workers;
  }
  return started;
}

// Connections whose answer went out whole are closed without losing it: the
// sending side is shut, and the listener reads and drops what the peer still
// sends until it closes its side (or for a short while) before the socket is
// closed. A socket closed with unread bytes is reset, and the reset would
// throw the answer away at the peer. The listener does this for all of them
// at once, so that a peer slow to close holds a descriptor, not a thread.
constexpr uint32_t kDrainMs = 2000;
constexpr size_t kMostDrained = 1 << 20;

std::mutex g_drainLock;
bool g_drainOpen = false;                // the listener takes connections to drain
std::vector<WsSocket> g_drainQueue;      // handed over, not yet taken
int g_wakeListener[2] = {-1, -1};        // a byte here wakes the listener's poll

void CloseAfterAnswer(WsSocket socket) {
  const int fd = static_cast<int>(socket);
  ::shutdown(fd, SHUT_WR);
  {
    std::lock_guard<std::mutex> lock(g_drainLock);
    if (g_drainOpen) {
      g_drainQueue.push_back(socket);
      char byte = 1;
      ssize_t done = ::write(g_wakeListener[1], &byte, 1);
      (void)done;
      return;
    }
  }
  // No listener to hand it to (the server stops): drained here, briefly.
  const uint32_t started = kv::TickCount();
  char drain[4096];
  for (;;) {
    const uint32_t spent = kv::TickCount() - started;
    if (spent >= 500) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(500 - spent)) <= 0) break;
    ssize_t got = ::recv(fd, drain, sizeof drain, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;
  }
  g_networkBinding.closesocket(socket);
}

// Ends a connection with a reset: an answer given up part-way must not look
// complete to the peer.
void AbortConnection(WsSocket socket) {
  linger hard{1, 0};
  ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  g_networkBinding.closesocket(socket);
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
    SetSessionTimeout(s.userTimeout);
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
      // The log names users and what they fetched: for the program's user
      // alone, also when an older copy was made with wider rights.
      g_logFile = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      struct stat st{};
      if (g_logFile >= 0 && ::fstat(g_logFile, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0)
        ::fchmod(g_logFile, st.st_mode & 0700);
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
  SetSessionTimeout(s.userTimeout);
  // Requests are read here, for every connection at once, without a thread
  // each: a client that trickles its request holds a descriptor and a
  // buffer, never a thread. A request read whole goes to a thread of its own
  // to be answered.
  const int listenFd = static_cast<int>(listener);
  ::fcntl(listenFd, F_SETFL, ::fcntl(listenFd, F_GETFL) | O_NONBLOCK);
  struct Reader {
    ConnectionRecord* record;
    uint32_t since;     // tick it was taken on
    uint32_t lastData;  // tick of its last piece
  };
  std::vector<Reader> readers;
  struct Drainer {
    WsSocket socket;
    uint32_t since;
    size_t drained;
  };
  std::vector<Drainer> drainers;
  std::vector<pollfd> fds;
  if (::pipe2(g_wakeListener, O_CLOEXEC | O_NONBLOCK) != 0) g_wakeListener[0] = g_wakeListener[1] = -1;
  {
    std::lock_guard<std::mutex> lock(g_drainLock);
    g_drainOpen = g_wakeListener[0] >= 0;
  }
  uint32_t lastHousekeeping = kv::TickCount();
  uint32_t acceptPausedAt = 0;
  bool acceptPaused = false;

  auto dropReader = [&](size_t i) {
    const uint32_t peer = readers[i].record->peer.address;
    ws.closesocket(readers[i].record->socket);
    delete readers[i].record;
    readers[i] = readers.back();
    readers.pop_back();
    ReleaseConnectionSlot(peer);
  };
  // The request is read (or given up on): a thread answers it.
  auto handOver = [&](size_t i) {
    ConnectionRecord* record = readers[i].record;
    readers[i] = readers.back();
    readers.pop_back();
    if (!StartConnectionThread(record)) {
      // No thread to be had (memory, a thread limit, or every place taken
      // by answers): this peer is turned away, the server goes on.
      const uint32_t peer = record->peer.address;
      RefuseConnection(record->socket);
      delete record;
      ReleaseConnectionSlot(peer);
    }
  };
  // The connection that has been reading its request longest gives its place
  // up when it has been reading for a second: clients that send their
  // request at once are served while slow ones wait their turn.
  auto evictOldest = [&](uint32_t now) {
    size_t oldest = readers.size();
    for (size_t i = 0; i < readers.size(); ++i) {
      if (now - readers[i].since >= 1000 &&
          (oldest == readers.size() || now - readers[i].since > now - readers[oldest].since))
        oldest = i;
    }
    if (oldest == readers.size()) return false;
    dropReader(oldest);
    return true;
  };

  while (g_serverRunning) {
    uint32_t now = kv::TickCount();
    if (acceptPaused && now - acceptPausedAt >= 100) acceptPaused = false;
    fds.clear();
    fds.push_back({listenFd, static_cast<short>(acceptPaused ? 0 : POLLIN), 0});
    for (const auto& r : readers) fds.push_back({static_cast<int>(r.record->socket), POLLIN, 0});
    fds.push_back({g_wakeListener[0], POLLIN, 0});
    for (const auto& d : drainers) fds.push_back({static_cast<int>(d.socket), POLLIN, 0});
    int n = ::poll(fds.data(), fds.size(), acceptPaused ? 100 : 200);
    if (!g_serverRunning) break;
    if (n < 0 && errno != EINTR) break;
    now = kv::TickCount();

    // Answered connections: read to the peer's end, then closed.
    const size_t drainBase = readers.size() + 2;
    for (size_t k = fds.size(); k-- > drainBase;) {
      const size_t i = k - drainBase;
      Drainer& d = drainers[i];
      bool done = now - d.since >= kDrainMs;
      if (!done && fds[k].revents != 0) {
        char drain[4096];
        for (;;) {
          ssize_t got = ::recv(static_cast<int>(d.socket), drain, sizeof drain, MSG_DONTWAIT);
          if (got < 0 && errno == EINTR) continue;
          if (got < 0 && errno == EAGAIN) break;
          if (got <= 0 || (d.drained += static_cast<size_t>(got)) > kMostDrained) {
            done = true;
            break;
          }
        }
      }
      if (done) {
        ws.closesocket(d.socket);
        drainers[i] = drainers.back();
        drainers.pop_back();
      }
    }
    if (fds[readers.size() + 1].revents != 0) {
      char bytes[256];
      while (::read(g_wakeListener[0], bytes, sizeof bytes) > 0) {
      }
    }
    {
      std::lock_guard<std::mutex> lock(g_drainLock);
      for (WsSocket socket : g_drainQueue) drainers.push_back({socket, now, 0});
      g_drainQueue.clear();
    }

    if (now - lastHousekeeping >= kHousekeepingMs) {
      lastHousekeeping = now;
      kv::DebugOutput("Clean up dead users\r\n");
      WebServerSettings current = GetWebServerSettings();
      SetSessionTimeout(current.userTimeout);
      RemoveIdleSessions(now, current.userTimeout);
      PruneThrottle(now);
      if (current.daysToKeep >= 1) RemoveOldReports(current, static_cast<int64_t>(kv::Now()), current.daysToKeep);
    }

    // Pieces of requests. The readers are walked from the end, so that one
    // that is handed on or dropped does not move those still to be seen.
    for (size_t k = readers.size() + 1; k-- > 1;) {
      const size_t i = k - 1;
      Reader& r = readers[i];
      ConnectionRecord* record = r.record;
      bool ended = false, headDone = false;
      if (fds[k].revents != 0) {
        char piece[4096];
        for (;;) {
          int32_t got = ws.recv(record->socket, piece, sizeof piece, 0);
          if (got <= 0) {
            if (got < 0 && ws.WSAGetLastError() == WSAEWOULDBLOCK) break;
            ended = true;  // the peer closed its side or the connection failed
            break;
          }
          const size_t before = record->head.size();
          record->head.append(piece, static_cast<size_t>(got));
          r.lastData = now;
          size_t end = HeadEnd(std::string_view(record->head).substr(before >= 3 ? before - 3 : 0));
          if (end != std::string::npos) {
            end += before >= 3 ? before - 3 : 0;
            record->bodyStart = record->head.substr(end);
            record->head.resize(end - 2);  // the last line keeps its CR LF
            headDone = true;
            break;
          }
          if (record->head.size() >= kMostHeadSize) {
            record->headTooLarge = true;
            break;
          }
        }
      }
      const bool headRead = headDone || record->headTooLarge;
      const bool quiet = now - r.lastData >= (record->head.empty() ? kFirstDataMs : kMoreDataMs);
      const bool late = now - r.since >= kRequestSeconds * 1000u;
      if (headRead) {
        handOver(i);
      } else if (ended || quiet || late) {
        // Answered with what was read; a connection that sent nothing is
        // closed.
        if (record->head.empty()) {
          dropReader(i);
        } else {
          handOver(i);
        }
      }
    }

    if (!acceptPaused && (fds[0].revents & POLLIN) != 0) {
      // Every waiting connection is taken on at once, a bounded number a round.
      for (int taken = 0; taken < 64; ++taken) {
        auto* record = new ConnectionRecord;
        int32_t length = sizeof record->peer;
        record->socket = ws.accept(listener, reinterpret_cast<WsSockAddr*>(&record->peer), &length);
        if (record->socket == WS_INVALID_SOCKET) {
          const int32_t error = ws.WSAGetLastError();
          delete record;
          if (error == WSAEWOULDBLOCK || error == WSAEINTR) break;
          if (!AcceptMayBeRetried(error)) {
            kv::DebugOutput("accept failed\r\n");
            g_serverRunning = false;
            break;
          }
          // The descriptor table is full for a moment: a trickler makes
          // room, or accepting waits a little.
          if (!evictOldest(now)) {
            acceptPaused = true;
            acceptPausedAt = now;
          }
          break;
        }
        const int fd = static_cast<int>(record->socket);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        const uint32_t peer = record->peer.address;
        bool room = RoomForAConnection(ConnectionCount());
        if (!room) room = evictOldest(now);
        if (!room || !TakeConnectionSlot(peer)) {
          RefuseConnection(record->socket);
          delete record;
          continue;
        }
        readers.push_back({record, now, now});
      }
    }
  }
  while (!readers.empty()) dropReader(readers.size() - 1);
  {
    std::lock_guard<std::mutex> lock(g_drainLock);
    g_drainOpen = false;
    for (WsSocket socket : g_drainQueue) drainers.push_back({socket, 0, 0});
    g_drainQueue.clear();
  }
  for (const auto& d : drainers) ws.closesocket(d.socket);
  for (int& fd : g_wakeListener) {
    if (fd >= 0) ::close(fd);
    fd = -1;
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

size_t HeadEnd(std::string_view data) {
  size_t at = data.find("\r\n\r\n");
  return at == std::string_view::npos ? at : at + 4;
}

namespace {

// "address:port" of the connection's own end.
std::string LocalAddressOf(WsSocket socket) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      address.ss_family != AF_INET)
    return {};
  const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(in->sin_port));
}

// The body of a request as its Content-Length gives it, up to the most that
// is read; what the listener read behind the head comes first.
std::string ReadBody(const ConnectionRecord& record, long long length) {
  const size_t want = static_cast<size_t>(std::min<long long>(length, static_cast<long long>(kMostBodySize)));
  std::string body = record.bodyStart.substr(0, want);
  const int fd = static_cast<int>(record.socket);
  const uint32_t started = kv::TickCount();
  char piece[4096];
  while (body.size() < want) {
    const uint32_t spent = kv::TickCount() - started;
    if (spent >= kMoreDataMs || !g_serverRunning) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(kMoreDataMs - spent)) <= 0) break;
    int32_t got = g_networkBinding.recv(record.socket, piece,
                                        static_cast<int32_t>(std::min(sizeof piece, want - body.size())), 0);
    if (got <= 0) {
      if (got < 0 && g_networkBinding.WSAGetLastError() == WSAEWOULDBLOCK) continue;
      break;
    }
    body.append(piece, static_cast<size_t>(got));
  }
  return body;
}

void WriteAccessLog(const RemoteRequest& request, const ConnectionRecord& record) {
  if (GetWebServerSettings().logging == 0) return;
  std::tm local{};
  kv::LocalTime(kv::Now(), &local);
  uint8_t peer[4];
  std::memcpy(peer, &record.peer.address, 4);
  std::string line = BuildAccessLogLine(request, peer, local);
  std::lock_guard<std::mutex> lock(g_logLock);
  if (g_logFile >= 0) {
    ssize_t done = ::write(g_logFile, line.data(), line.size());
    (void)done;
  }
}

// Answers the request; false when the answer was given up part-way.
bool ServeConnection(ConnectionRecord* record) {
  // An answer the peer does not take is given up after a while (the socket
  // module's handles are the system's descriptors).
  const int fd = static_cast<int>(record->socket);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  timeval sendLimit{kSendSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
  RemoteRequest request(record->socket);
  request.peerAddress_ = record->peer.address;
  request.localAddress_ = LocalAddressOf(record->socket);
  if (record->headTooLarge) {
    SendAll(record->socket, kHeadTooLargeAnswer, sizeof kHeadTooLargeAnswer - 1);
    request.SetText(record->head);
    request.status_ = 431;
    WriteAccessLog(request, *record);
    return true;
  }
  request.SetText(record->head);
  if (::strncasecmp(record->head.c_str(), "post ", 5) == 0) {
    const long long length = request.ContentLength();
    if (length > 0) request.SetBody(ReadBody(*record, length));
  }
  request.ParseHttpRequest(GetWebServerSettings());
  AnswerRequest(request);
  WriteAccessLog(request, *record);
  return !request.aborted_;
}

}  // namespace

int32_t ConnectionThread(ConnectionRecord* record) {
  // Nothing one request meets (memory running short included) may end the
  // program: the connection is closed and the server goes on.
  bool complete = false;
  try {
    complete = ServeConnection(record);
  } catch (const std::exception& e) {
    kv::DebugOutput((std::string("connection failed: ") + e.what() + "\r\n").c_str());
  }
  if (complete) {
    CloseAfterAnswer(record->socket);
  } else {
    AbortConnection(record->socket);
  }
  delete record;
  return 0;
}
