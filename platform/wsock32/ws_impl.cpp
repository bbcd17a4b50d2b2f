// BSD sockets behind the socket module's calls.
//
// libc's functions whose names the module itself exports (socket, connect,
// send, recv, bind, listen, accept, getsockopt, gethostname) are reached only
// through pointers looked up in libc itself, so a call here can never land in
// one of the module's own exports. Everything else is called directly.
//
// Socket handles are the descriptors themselves; only descriptors made by
// this module count as sockets (anything else is WSAENOTSOCK).
//
// Asynchronous selection: one poller thread waits with poll() on every
// selected socket and on a wake-up descriptor, and posts the selected events
// to the windows as messages. An event is posted once and then waits to be
// re-enabled by the call that consumes it (recv for FD_READ, send failing
// with WSAEWOULDBLOCK for FD_WRITE, accept for FD_ACCEPT); FD_CONNECT and
// FD_CLOSE come once.
//
// A closed socket's number is not handed out again at once: it stays taken
// (by a descriptor of /dev/null) while the next few sockets are made, so that
// an event of the closed socket still waiting in a message queue cannot be
// taken for one of a new socket that got the same number.
//
// Asynchronous host lookups run on a thread each and post their answer; the
// answer is written into the caller's buffer under the task lock, so after
// WSACancelAsyncRequest returns nothing touches that buffer or posts.
#include "platform/wsock32/ws_impl.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <deque>
#include <cstdio>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/window.h"

namespace kvws {
namespace {

// ---- libc functions whose names the module exports -------------------------
struct Libc {
  int (*socket)(int, int, int) = nullptr;
  int (*connect)(int, const sockaddr*, socklen_t) = nullptr;
  int (*bind)(int, const sockaddr*, socklen_t) = nullptr;
  int (*listen)(int, int) = nullptr;
  int (*accept4)(int, sockaddr*, socklen_t*, int) = nullptr;
  ssize_t (*send)(int, const void*, size_t, int) = nullptr;
  ssize_t (*recv)(int, void*, size_t, int) = nullptr;
  int (*getsockopt)(int, int, int, void*, socklen_t*) = nullptr;
  int (*gethostname)(char*, size_t) = nullptr;
  bool complete = false;  // every pointer above was found
};

template <typename F>
void LookUp(void* lib, const char* name, F& slot) {
  slot = reinterpret_cast<F>(dlsym(lib, name));
}

const Libc& C() {
  static const Libc libc = [] {
    Libc l;
    void* lib = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    if (lib == nullptr) lib = dlopen("libc.so.6", RTLD_LAZY);
    if (lib != nullptr) {
      LookUp(lib, "socket", l.socket);
      LookUp(lib, "connect", l.connect);
      LookUp(lib, "bind", l.bind);
      LookUp(lib, "listen", l.listen);
      LookUp(lib, "accept4", l.accept4);
      LookUp(lib, "send", l.send);
      LookUp(lib, "recv", l.recv);
      LookUp(lib, "getsockopt", l.getsockopt);
      LookUp(lib, "gethostname", l.gethostname);
      l.complete = l.socket && l.connect && l.bind && l.listen && l.accept4 && l.send && l.recv && l.getsockopt &&
                   l.gethostname;
    }
    return l;
  }();
  return libc;
}

// ---- last error -------------------------------------------------------------
thread_local int32_t t_lastError = 0;

void SetError(int32_t code) { t_lastError = code; }

int32_t ErrorFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: case EPIPE: return WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSAEINVAL;
  }
}

int32_t Fail(int err) {
  SetError(ErrorFromErrno(err));
  return WS_SOCKET_ERROR;
}

int32_t FailCode(int32_t code) {
  SetError(code);
  return WS_SOCKET_ERROR;
}

// ---- the socket table -------------------------------------------------------
struct SocketState {
  uint64_t generation = 0;
  // Selection.
  KvWindow window = 0;
  uint32_t message = 0;
  int32_t events = 0;
  bool readArmed = true;
  bool writeArmed = true;
  bool acceptArmed = true;
  bool oobArmed = true;
  bool connectPending = false;
  bool connected = false;
  bool listening = false;
  bool stream = true;      // a TCP socket (else UDP)
  bool closeSeen = false;  // end of the stream (or an error) has been seen
  bool quiet = false;      // poll reported something we could not act on
};

struct Module {
  std::mutex mutex;
  std::map<int, SocketState> sockets;
  uint64_t nextGeneration = 1;
  int32_t startups = 0;

  // Numbers of closed sockets kept from reuse (mutex), oldest first.
  static constexpr size_t kQuarantine = 16;
  std::deque<int> quarantine;
  int placeholderFd = -1;

  // Poller.
  std::thread poller;
  // Made under the mutex; read without it by whoever wakes the poller.
  std::atomic<int> wakeFd{-1};
  bool stopping = false;

  // Lookups.
  struct Task {
    KvWindow window = 0;
    uint32_t message = 0;
    char* buffer = nullptr;
    int32_t bufferLength = 0;
    bool cancelled = false;
    bool finished = false;
  };
  std::mutex taskMutex;
  std::map<KvHandle, Task> tasks;
  KvHandle nextTask = 1;
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::list<Worker> workers;

  ~Module() { Shutdown(); }

  void Shutdown() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    Wake();
    if (poller.joinable()) poller.join();
    std::list<Worker> all;
    {
      std::lock_guard<std::mutex> lock(taskMutex);
      for (auto& [handle, task] : tasks) task.cancelled = true;
      all.swap(workers);
    }
    for (auto& w : all)
      if (w.thread.joinable()) w.thread.join();
    if (const int fd = wakeFd.exchange(-1); fd >= 0) close(fd);
    std::lock_guard<std::mutex> lock(mutex);
    ReleaseQuarantine(0);
    if (placeholderFd >= 0) close(placeholderFd);
    placeholderFd = -1;
  }

  // Closes a socket's descriptor, keeping its number taken for a while
  // (caller holds mutex).
  void CloseKeepingNumber(int fd) {
    if (placeholderFd < 0) placeholderFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (placeholderFd < 0 || dup3(placeholderFd, fd, O_CLOEXEC) < 0) {
      close(fd);
      return;
    }
    quarantine.push_back(fd);
    ReleaseQuarantine(kQuarantine);
  }
  // Gives the kept numbers back until at most `keep` remain (caller holds mutex).
  void ReleaseQuarantine(size_t keep) {
    while (quarantine.size() > keep) {
      close(quarantine.front());
      quarantine.pop_front();
    }
  }

  void Wake() {
    if (const int fd = wakeFd.load(); fd >= 0) {
      uint64_t one = 1;
      ssize_t ignored = write(fd, &one, sizeof one);
      (void)ignored;
    }
  }

  void PollerLoop();
  // Acts on what poll reported; false when there was nothing to act on.
  bool HandleEvents(int fd, SocketState& s, short revents);
  void Post(int fd, SocketState& s, int32_t event, int32_t error);
  // Starts the poller (caller holds mutex).
  bool EnsurePoller();
};

Module& M() {
  static Module module;
  return module;
}

// Finds a socket made by this module; null (and WSAENOTSOCK) otherwise.
// Caller holds the mutex.
SocketState* FindLocked(Module& m, WsSocket s) {
  if (s > static_cast<WsSocket>(INT_MAX)) return nullptr;
  auto it = m.sockets.find(static_cast<int>(s));
  return it == m.sockets.end() ? nullptr : &it->second;
}

bool IsSocket(WsSocket s) {
  Module& m = M();
  std::lock_guard<std::mutex> lock(m.mutex);
  return FindLocked(m, s) != nullptr;
}

bool Selected(const SocketState& s) { return s.window != 0 && s.events != 0; }

void Module::Post(int fd, SocketState& s, int32_t event, int32_t error) {
  if (!(s.events & event) || s.window == 0) return;
  const KvLParam lparam = static_cast<KvLParam>((static_cast<uint32_t>(error & 0xFFFF) << 16) |
                                                static_cast<uint32_t>(event & 0xFFFF));
  if (!kv::ui::PostMessage(s.window, s.message, static_cast<KvWParam>(fd), lparam)) {
    // The window is gone: nobody is listening any more.
    s.window = 0;
    s.events = 0;
  }
}

bool Module::EnsurePoller() {
  if (poller.joinable()) return true;
  if (wakeFd.load() < 0) {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return false;
    wakeFd.store(fd);
  }
  try {
    poller = std::thread([this] { PollerLoop(); });
  } catch (...) {
    return false;
  }
  return true;
}

short WantedEvents(const SocketState& s) {
  if (!Selected(s) || s.quiet) return 0;
  // A TCP socket that is neither connected, connecting nor listening has
  // nothing to wait for; poll would call it hung up, and that is no close.
  if (s.stream && !s.connected && !s.connectPending && !s.listening) return 0;
  short ev = 0;
  if (s.connectPending) return (s.events & (WS_FD_CONNECT | WS_FD_WRITE | WS_FD_CLOSE)) ? POLLOUT : 0;
  if (s.listening) return ((s.events & WS_FD_ACCEPT) && s.acceptArmed) ? POLLIN : 0;
  if (!s.closeSeen) {
    if ((s.events & WS_FD_READ) && s.readArmed) ev |= POLLIN | POLLRDHUP;
    if ((s.events & WS_FD_CLOSE) && !(s.events & WS_FD_READ)) ev |= POLLIN | POLLRDHUP;
    if ((s.events & WS_FD_OOB) && s.oobArmed) ev |= POLLPRI;
  }
  if ((s.events & WS_FD_WRITE) && s.writeArmed && s.connected) ev |= POLLOUT;
  return ev;
}

bool Module::HandleEvents(int fd, SocketState& s, short revents) {
  bool acted = false;
  if (revents & POLLNVAL) return false;
  if (s.connectPending) {
    if (revents & (POLLOUT | POLLERR | POLLHUP)) {
      int err = 0;
      socklen_t len = sizeof err;
      if (C().getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      s.connectPending = false;
      Post(fd, s, WS_FD_CONNECT, ErrorFromErrno(err));
      if (err == 0) {
        s.connected = true;
        s.writeArmed = true;
      } else {
        s.closeSeen = true;
      }
      acted = true;
    }
  } else if (s.listening) {
    if (revents & POLLIN) {
      s.acceptArmed = false;
      Post(fd, s, WS_FD_ACCEPT, 0);
      acted = true;
    }
  } else {
    if ((revents & POLLPRI) && (s.events & WS_FD_OOB) && s.oobArmed) {
      s.oobArmed = false;
      Post(fd, s, WS_FD_OOB, 0);
      acted = true;
    }
    if ((revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) && !s.closeSeen) {
      char byte;
      ssize_t n = C().recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
      if (n > 0) {
        if ((s.events & WS_FD_READ) && s.readArmed) {
          s.readArmed = false;
          Post(fd, s, WS_FD_READ, 0);
          acted = true;
        } else if (!(s.events & WS_FD_READ) && (revents & (POLLRDHUP | POLLHUP))) {
          // Only FD_CLOSE is wanted: the peer has closed, unread data or not.
          s.closeSeen = true;
          Post(fd, s, WS_FD_CLOSE, 0);
          acted = true;
        }
      } else if (n == 0) {
        s.closeSeen = true;
        Post(fd, s, WS_FD_CLOSE, 0);
        acted = true;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        const int32_t code = ErrorFromErrno(errno);
        s.closeSeen = true;
        Post(fd, s, WS_FD_CLOSE, code == WSAECONNRESET ? WSAECONNRESET : WSAECONNABORTED);
        acted = true;
      }
    }
    if ((revents & (POLLOUT | POLLERR | POLLHUP)) && (s.events & WS_FD_WRITE) && s.writeArmed && s.connected) {
      s.writeArmed = false;
      Post(fd, s, WS_FD_WRITE, 0);
      acted = true;
    }
  }
  return acted;
}

void Module::PollerLoop() {
  std::vector<pollfd> fds;
  std::vector<uint64_t> generations;
  for (;;) {
    fds.clear();
    generations.clear();
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopping) return;
      fds.push_back({wakeFd.load(), POLLIN, 0});
      generations.push_back(0);
      for (auto& [fd, s] : sockets) {
        const short ev = WantedEvents(s);
        if (ev == 0) continue;
        fds.push_back({fd, ev, 0});
        generations.push_back(s.generation);
      }
    }
    int n = poll(fds.data(), fds.size(), -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) return;
    if (fds[0].revents & POLLIN) {
      uint64_t value;
      ssize_t ignored = read(wakeFd.load(), &value, sizeof value);
      (void)ignored;
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      auto it = sockets.find(fds[i].fd);
      // The socket may have been closed (and its number reused) meanwhile.
      if (it == sockets.end() || it->second.generation != generations[i]) continue;
      SocketState& s = it->second;
      if (HandleEvents(fds[i].fd, s, fds[i].revents)) continue;
      // Nothing to act on. poll's answer may be stale: between poll and the
      // lock the caller may have read what it saw (and re-armed). Ask again,
      // now, under the lock, so that no call of the caller can come between
      // the answer and what is made of it.
      pollfd now{fds[i].fd, WantedEvents(s), 0};
      if (now.events == 0) continue;
      int ready;
      do {
        ready = poll(&now, 1, 0);
      } while (ready < 0 && errno == EINTR);
      if (ready <= 0 || now.revents == 0) continue;  // nothing pending: wait for it as usual
      // Something poll keeps reporting that we cannot act on would spin the
      // loop: leave the socket alone until a call of the caller re-arms it.
      if (!HandleEvents(fds[i].fd, s, now.revents)) s.quiet = true;
    }
  }
}

// Re-arms an event after the call that consumes it. Caller holds no lock.
void Rearm(WsSocket s, int32_t event) {
  Module& m = M();
  std::lock_guard<std::mutex> lock(m.mutex);
  SocketState* st = FindLocked(m, s);
  if (st == nullptr || !Selected(*st)) return;
  bool changed = false;
  switch (event) {
    case WS_FD_READ:
      changed = !st->readArmed || st->quiet;
      st->readArmed = true;
      st->oobArmed = true;
      break;
    case WS_FD_WRITE:
      changed = !st->writeArmed || st->quiet;
      st->writeArmed = true;
      break;
    case WS_FD_ACCEPT:
      changed = !st->acceptArmed || st->quiet;
      st->acceptArmed = true;
      break;
    default:
      break;
  }
  st->quiet = false;
  if (changed) m.Wake();
}

bool ToSockaddr(const WsSockAddr* address, int32_t length, sockaddr_in* out) {
  if (address == nullptr || length < static_cast<int32_t>(sizeof(WsSockAddrIn))) {
    SetError(WSAEFAULT);
    return false;
  }
  WsSockAddrIn in;
  std::memcpy(&in, address, sizeof in);
  if (in.family != WS_AF_INET) {
    SetError(WSAEAFNOSUPPORT);
    return false;
  }
  std::memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  out->sin_port = in.port;
  out->sin_addr.s_addr = in.address;
  return true;
}

void FromSockaddr(const sockaddr_in& in, WsSockAddr* address, int32_t* length) {
  if (address == nullptr || length == nullptr) return;
  WsSockAddrIn out{};
  out.family = WS_AF_INET;
  out.port = in.sin_port;
  out.address = in.sin_addr.s_addr;
  const int32_t n = *length < static_cast<int32_t>(sizeof out) ? *length : static_cast<int32_t>(sizeof out);
  if (n > 0) std::memcpy(address, &out, static_cast<size_t>(n));
  *length = static_cast<int32_t>(sizeof out);
}

// ---- host entries -----------------------------------------------------------
struct HostAnswer {
  std::string name;
  std::vector<std::string> aliases;
  std::vector<std::string> addresses;  // 4 bytes each, network order
};

// The resolver's error as a WSA code.
int32_t ErrorFromHerrno(int herr) {
  switch (herr) {
    case HOST_NOT_FOUND: return WSAHOST_NOT_FOUND;
    case TRY_AGAIN: return WSATRY_AGAIN;
    case NO_RECOVERY: return WSANO_RECOVERY;
    case NO_DATA: return WSANO_DATA;
    default: return WSANO_RECOVERY;
  }
}

void CopyHostent(const hostent& h, HostAnswer* out) {
  out->name = h.h_name ? h.h_name : "";
  for (char** a = h.h_aliases; a && *a; ++a) out->aliases.emplace_back(*a);
  for (char** a = h.h_addr_list; a && *a; ++a) out->addresses.emplace_back(*a, 4);
}

// Runs one of the resolver's reentrant lookups, growing its work buffer
// while the answer does not fit.
template <typename Lookup>
int32_t Resolve(Lookup lookup, HostAnswer* out) {
  std::vector<char> work(8192);
  for (;;) {
    hostent h{}, *result = nullptr;
    int herr = 0;
    int rc = lookup(&h, work.data(), work.size(), &result, &herr);
    if (rc == ERANGE && work.size() < (1u << 20)) {
      work.resize(work.size() * 2);
      continue;
    }
    if (rc != 0 || result == nullptr) return ErrorFromHerrno(herr);
    CopyHostent(h, out);
    return 0;
  }
}

int32_t ResolveByAddr(const std::string& address, HostAnswer* out) {
  return Resolve(
      [&](hostent* h, char* work, size_t size, hostent** result, int* herr) {
        return gethostbyaddr_r(address.data(), static_cast<socklen_t>(address.size()), AF_INET, h, work, size,
                               result, herr);
      },
      out);
}

int32_t ResolveByName(const std::string& name, HostAnswer* out) {
  return Resolve(
      [&](hostent* h, char* work, size_t size, hostent** result, int* herr) {
        return gethostbyname2_r(name.c_str(), AF_INET, h, work, size, result, herr);
      },
      out);
}

constexpr size_t kPtr = sizeof(char*);
size_t AlignUp(size_t n) { return (n + kPtr - 1) / kPtr * kPtr; }

// Bytes needed to lay the answer out as a host entry.
size_t HostEntrySize(const HostAnswer& a) {
  size_t n = AlignUp(sizeof(WsHostEntry));
  n += (a.aliases.size() + 1) * kPtr;
  n += (a.addresses.size() + 1) * kPtr;
  n += a.addresses.size() * 4;
  n += a.name.size() + 1;
  for (auto& s : a.aliases) n += s.size() + 1;
  return n;
}

// Lays the answer out at `buffer` (which must hold HostEntrySize bytes): the
// record first, then its lists and texts, all pointing into the buffer.
void WriteHostEntry(const HostAnswer& a, char* buffer) {
  size_t pos = AlignUp(sizeof(WsHostEntry));
  char* aliasList = buffer + pos;
  pos += (a.aliases.size() + 1) * kPtr;
  char* addrList = buffer + pos;
  pos += (a.addresses.size() + 1) * kPtr;
  auto putPtr = [](char* slot, char* value) { std::memcpy(slot, &value, kPtr); };
  for (size_t i = 0; i < a.addresses.size(); ++i) {
    char* at = buffer + pos;
    std::memcpy(at, a.addresses[i].data(), 4);
    putPtr(addrList + i * kPtr, at);
    pos += 4;
  }
  putPtr(addrList + a.addresses.size() * kPtr, nullptr);
  char* name = buffer + pos;
  std::memcpy(name, a.name.c_str(), a.name.size() + 1);
  pos += a.name.size() + 1;
  for (size_t i = 0; i < a.aliases.size(); ++i) {
    char* at = buffer + pos;
    std::memcpy(at, a.aliases[i].c_str(), a.aliases[i].size() + 1);
    putPtr(aliasList + i * kPtr, at);
    pos += a.aliases[i].size() + 1;
  }
  putPtr(aliasList + a.aliases.size() * kPtr, nullptr);
  WsHostEntry entry;
  entry.name = name;
  std::memcpy(&entry.aliases, &aliasList, kPtr);
  entry.addressType = WS_AF_INET;
  entry.addressLength = 4;
  std::memcpy(&entry.addresses, &addrList, kPtr);
  std::memcpy(buffer, &entry, sizeof entry);
}

// An IPv4 address as the lookups by address take it: 4 bytes of type
// AF_INET. Sets the error otherwise.
bool IsInetAddress(const char* address, int32_t length, int32_t type) {
  if (address == nullptr || length != 4) {
    SetError(WSAEFAULT);
    return false;
  }
  if (type != WS_AF_INET) {
    SetError(WSAEAFNOSUPPORT);
    return false;
  }
  return true;
}

// Per-thread answer of the blocking lookups.
thread_local std::vector<char> t_hostBuffer;

WsHostEntry* ThreadHostEntry(const HostAnswer& a) {
  t_hostBuffer.assign(HostEntrySize(a), 0);
  // vector storage is suitably aligned for the record (operator new).
  WriteHostEntry(a, t_hostBuffer.data());
  return reinterpret_cast<WsHostEntry*>(t_hostBuffer.data());
}

KvHandle StartLookup(KvWindow window, uint32_t message, char* buffer, int32_t bufferLength,
                     std::function<int32_t(HostAnswer*)> resolve) {
  if (buffer == nullptr || bufferLength <= 0) {
    SetError(WSAEFAULT);
    return 0;
  }
  if (!kv::ui::IsWindow(window)) {
    SetError(WSAEINVAL);
    return 0;
  }
  Module& m = M();
  std::lock_guard<std::mutex> lock(m.taskMutex);
  // Join the workers that have finished.
  for (auto it = m.workers.begin(); it != m.workers.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = m.workers.erase(it);
    } else {
      ++it;
    }
  }
  KvHandle handle = m.nextTask++;
  if (handle == 0) handle = m.nextTask++;
  Module::Task task;
  task.window = window;
  task.message = message;
  task.buffer = buffer;
  task.bufferLength = bufferLength;
  m.tasks[handle] = task;
  auto done = std::make_shared<std::atomic<bool>>(false);
  try {
    std::thread t([&m, handle, done, resolve = std::move(resolve)] {
      HostAnswer answer;
      int32_t error = resolve(&answer);
      {
        std::lock_guard<std::mutex> lock(m.taskMutex);
        auto it = m.tasks.find(handle);
        if (it != m.tasks.end()) {
          Module::Task& t = it->second;
          if (!t.cancelled) {
            uint32_t length = 0;
            if (error == 0) {
              const size_t need = HostEntrySize(answer);
              if (need > static_cast<size_t>(t.bufferLength)) {
                error = WSAENOBUFS;
                length = static_cast<uint32_t>(need > 0xFFFF ? 0xFFFF : need);
              } else {
                WriteHostEntry(answer, t.buffer);
                length = static_cast<uint32_t>(need);
              }
            }
            const KvLParam lparam =
                static_cast<KvLParam>((static_cast<uint32_t>(error & 0xFFFF) << 16) | (length & 0xFFFF));
            kv::ui::PostMessage(t.window, t.message, static_cast<KvWParam>(handle), lparam);
          }
          m.tasks.erase(it);
        }
      }
      done->store(true);
    });
    m.workers.push_back({std::move(t), done});
  } catch (...) {
    m.tasks.erase(handle);
    SetError(WSAENOBUFS);
    return 0;
  }
  return handle;
}

}  // namespace

// ---- start-up -----------------------------------------------------------------
int32_t Startup(uint16_t version, WsaData* data) {
  const unsigned major = version & 0xFF, minor = (version >> 8) & 0xFF;
  if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
  if (data == nullptr) return WSAEFAULT;
  if (!C().complete) return WSASYSNOTREADY;
  std::memset(data, 0, sizeof *data);
  data->version = 0x0101;
  data->highVersion = 0x0101;
  std::snprintf(data->description, sizeof data->description, "%s", "BSD sockets, version 1.1 calls");
  std::snprintf(data->systemStatus, sizeof data->systemStatus, "%s", "Running");
  data->maxSockets = 32767;
  data->maxUdpDatagram = 65467;
  data->vendorInfo = nullptr;
  Module& m = M();
  std::lock_guard<std::mutex> lock(m.mutex);
  ++m.startups;
  return 0;
}

int32_t Cleanup() {
  Module& m = M();
  std::lock_guard<std::mutex> lock(m.mutex);
  if (m.startups <= 0) return FailCode(WSANOTINITIALISED);
  --m.startups;
  return 0;
}

int32_t LastError() { return t_lastError; }

// ---- sockets ----------------------------------------------------------------
WsSocket Socket(int32_t family, int32_t type, int32_t protocol) {
  if (!C().complete) {
    SetError(WSASYSNOTREADY);
    return WS_INVALID_SOCKET;
  }
  if (family != WS_AF_INET) {
    SetError(WSAEAFNOSUPPORT);
    return WS_INVALID_SOCKET;
  }
  int sysType;
  if (type == WS_SOCK_STREAM) {
    sysType = SOCK_STREAM;
    if (protocol != 0 && protocol != WS_IPPROTO_TCP) {
      SetError(WSAEPROTONOSUPPORT);
      return WS_INVALID_SOCKET;
    }
  } else if (type == WS_SOCK_DGRAM) {
    sysType = SOCK_DGRAM;
    if (protocol != 0 && protocol != WS_IPPROTO_UDP) {
      SetError(WSAEPROTONOSUPPORT);
      return WS_INVALID_SOCKET;
    }
  } else {
    SetError(WSAESOCKTNOSUPPORT);
    return WS_INVALID_SOCKET;
  }
  int fd = C().socket(AF_INET, sysType | SOCK_CLOEXEC, protocol);
  if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
    {
      // Out of descriptors: the kept numbers go first.
      std::lock_guard<std::mutex> lock(M().mutex);
      M().ReleaseQuarantine(0);
    }
    fd = C().socket(AF_INET, sysType | SOCK_CLOEXEC, protocol);
  }
  if (fd < 0) {
    SetError(ErrorFromErrno(errno));
    return WS_INVALID_SOCKET;
  }
  Module& m = M();
  std::lock_guard<std::mutex> lock(m.mutex);
  SocketState st;
  st.generation = m.nextGeneration++;
  st.stream = sysType == SOCK_STREAM;
  m.sockets[fd] = st;
  return static_cast<WsSocket>(fd);
}

int32_t CloseSocket(WsSocket s) {
  Module& m = M();
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    if (FindLocked(m, s) == nullptr) return FailCode(WSAENOTSOCK);
    m.sockets.erase(static_cast<int>(s));
    // Close under the lock so that the number cannot be handed out again
    // before the poller has forgotten it.
    m.CloseKeepingNumber(static_cast<int>(s));
  }
  m.Wake();
  return 0;
}

int32_t Connect(WsSocket s, const WsSockAddr* address, int32_t length) {
  if (!IsSocket(s)) return FailCode(WSAENOTSOCK);
  sockaddr_in in;
  if (!ToSockaddr(address, length, &in)) return WS_SOCKET_ERROR;
  int rc = C().connect(static_cast<int>(s), reinterpret_cast<const sockaddr*>(&in), sizeof in);
  const int err = rc == 0 ? 0 : errno;
  Module& m = M();
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    SocketState* st = FindLocked(m, s);
    if (st != nullptr) {
      if (rc == 0) {
        st->connected = true;
      } else if (err == EINPROGRESS) {
        st->connectPending = true;
        st->quiet = false;
      }
    }
  }
  if (rc == 0 || err == EINPROGRESS) m.Wake();
  if (rc == 0) return 0;
  return Fail(err);
}

int32_t Bind(WsSocket s, const WsSockAddr* address, int32_t length) {
  if (!IsSocket(s)) return FailCode(WSAENOTSOCK);
  sockaddr_in in;
  if (!ToSockaddr(address, length, &in)) return WS_SOCKET_ERROR;
  if (C().bind(static_cast<int>(s), reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0) return Fail(errno);
  return 0;
}

int32_t Listen(WsSocket s, int32_t backlog) {
  if (!IsSocket(s)) return FailCode(WSAENOTSOCK);
  if (backlog < 0) backlog = 0;
  if (backlog > SOMAXCONN) backlog = SOMAXCONN;
  if (C().listen(static_cast<int>(s), backlog) != 0) return Fail(errno);
  Module& m = M();
  std::lock_guard<std::mutex> lock(m.mutex);
  if (SocketState* st = FindLocked(m, s)) {
    st->listening = true;
    if (Selected(*st)) m.Wake();  // now there is something to watch
  }
  return 0;
}

WsSocket Accept(WsSocket s, WsSockAddr* address, int32_t* length) {
  if (!IsSocket(s)) {
    SetError(WSAENOTSOCK);
    return WS_INVALID_SOCKET;
  }
  if (address != nullptr && (length == nullptr || *length < static_cast<int32_t>(sizeof(WsSockAddrIn)))) {
    SetError(WSAEFAULT);
    return WS_INVALID_SOCKET;
  }
  sockaddr_in in{};
  socklen_t len = sizeof in;
  int fd;
  bool released = false;
  for (;;) {
    fd = C().accept4(static_cast<int>(s), reinterpret_cast<sockaddr*>(&in), &len, SOCK_CLOEXEC);
    if (fd >= 0 || errno == EINTR) {
      if (fd >= 0) break;
      continue;
    }
    if ((errno == EMFILE || errno == ENFILE) && !released) {
      // Out of descriptors: the kept numbers go first.
      std::lock_guard<std::mutex> lock(M().mutex);
      M().ReleaseQuarantine(0);
      released = true;
      continue;
    }
    break;
  }
  const int err = errno;
  Rearm(s, WS_FD_ACCEPT);
  if (fd < 0) {
    SetError(ErrorFromErrno(err));
    return WS_INVALID_SOCKET;
  }
  Module& m = M();
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    SocketState st;
    st.generation = m.nextGeneration++;
    st.connected = true;
    // An accepted socket takes over the listening socket's selection.
    if (SocketState* parent = FindLocked(m, s); parent != nullptr && Selected(*parent)) {
      st.window = parent->window;
      st.message = parent->message;
      st.events = parent->events;
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    m.sockets[fd] = st;
    if (Selected(st)) m.Wake();
  }
  FromSockaddr(in, address, length);
  return static_cast<WsSocket>(fd);
}

int32_t Send(WsSocket s, const char* buffer, int32_t length, int32_t flags) {
  if (!IsSocket(s)) return FailCode(WSAENOTSOCK);
  if (length < 0) return FailCode(WSAEINVAL);
  if (buffer == nullptr && length > 0) return FailCode(WSAEFAULT);
  if (flags & ~WS_MSG_OOB) return FailCode(WSAEOPNOTSUPP);
  const int sysFlags = MSG_NOSIGNAL | ((flags & WS_MSG_OOB) ? MSG_OOB : 0);
  ssize_t n;
  do {
    n = C().send(static_cast<int>(s), buffer, static_cast<size_t>(length), sysFlags);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) Rearm(s, WS_FD_WRITE);
    return Fail(err);
  }
  return static_cast<int32_t>(n);
}

int32_t Recv(WsSocket s, char* buffer, int32_t length, int32_t flags) {
  if (!IsSocket(s)) return FailCode(WSAENOTSOCK);
  if (length < 0) return FailCode(WSAEINVAL);
  if (buffer == nullptr && length > 0) return FailCode(WSAEFAULT);
  if (flags & ~(WS_MSG_OOB | WS_MSG_PEEK)) return FailCode(WSAEOPNOTSUPP);
  const int sysFlags = ((flags & WS_MSG_OOB) ? MSG_OOB : 0) | ((flags & WS_MSG_PEEK) ? MSG_PEEK : 0);
  ssize_t n;
  do {
    n = C().recv(static_cast<int>(s), buffer, static_cast<size_t>(length), sysFlags);
  } while (n < 0 && errno == EINTR);
  const int err = errno;
  Rearm(s, WS_FD_READ);
  if (n < 0) return Fail(err);
  return static_cast<int32_t>(n);
}

int32_t AsyncSelect(WsSocket s, KvWindow window, uint32_t message, int32_t events) {
  Module& m = M();
  std::lock_guard<std::mutex> lock(m.mutex);
  SocketState* st = FindLocked(m, s);
  if (st == nullptr) return FailCode(WSAENOTSOCK);
  if (events != 0 && !kv::ui::IsWindow(window)) return FailCode(WSAEINVAL);
  const int fd = static_cast<int>(s);
  if (events != 0) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return Fail(errno);
    if (!m.EnsurePoller()) return FailCode(WSAENOBUFS);
    // Find out what the socket is now, whoever connected it.
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (!st->connectPending && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0) st->connected = true;
    int accepting = 0;
    socklen_t alen = sizeof accepting;
    if (C().getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &alen) == 0 && accepting) st->listening = true;
  }
  st->window = events != 0 ? window : 0;
  st->message = message;
  st->events = events;
  st->readArmed = st->writeArmed = st->acceptArmed = st->oobArmed = true;
  st->quiet = false;
  m.Wake();
  return 0;
}

int32_t Select(WsFdSet* readSet, WsFdSet* writeSet, WsFdSet* exceptSet, const WsTimeVal* timeout) {
  WsFdSet* sets[3] = {readSet, writeSet, exceptSet};
  const short masks[3] = {POLLIN, POLLOUT, POLLPRI};
  std::vector<pollfd> fds;
  std::vector<std::pair<int, uint32_t>> where;  // set index, slot
  for (int k = 0; k < 3; ++k) {
    if (sets[k] == nullptr) continue;
    if (sets[k]->count > WS_FD_SETSIZE) return FailCode(WSAEINVAL);
    for (uint32_t i = 0; i < sets[k]->count; ++i) {
      if (!IsSocket(sets[k]->sockets[i])) return FailCode(WSAENOTSOCK);
      fds.push_back({static_cast<int>(sets[k]->sockets[i]), masks[k], 0});
      where.emplace_back(k, i);
    }
  }
  if (fds.empty()) return FailCode(WSAEINVAL);
  int ms = -1;
  if (timeout != nullptr) {
    if (timeout->seconds < 0 || timeout->microseconds < 0) return FailCode(WSAEINVAL);
    const int64_t total = static_cast<int64_t>(timeout->seconds) * 1000 + timeout->microseconds / 1000;
    ms = total > INT_MAX ? INT_MAX : static_cast<int>(total);
  }
  int n;
  do {
    n = poll(fds.data(), fds.size(), ms);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail(errno);
  // Keep in each set only the sockets that are ready, in order.
  WsFdSet result[3];
  for (auto& r : result) r.count = 0;
  int32_t ready = 0;
  for (size_t j = 0; j < fds.size(); ++j) {
    const int k = where[j].first;
    short got = fds[j].revents;
    bool hit = k == 0 ? (got & (POLLIN | POLLHUP | POLLERR)) != 0
                      : k == 1 ? (got & (POLLOUT | POLLERR | POLLHUP)) != 0 : (got & POLLPRI) != 0;
    if (hit) {
      result[k].sockets[result[k].count++] = sets[k]->sockets[where[j].second];
      ++ready;
    }
  }
  for (int k = 0; k < 3; ++k) {
    if (sets[k] == nullptr) continue;
    sets[k]->count = result[k].count;
    std::memcpy(sets[k]->sockets, result[k].sockets, result[k].count * sizeof(WsSocket));
  }
  return ready;
}

int32_t IoctlSocket(WsSocket s, uint32_t command, uint32_t* argument) {
  if (!IsSocket(s)) return FailCode(WSAENOTSOCK);
  if (argument == nullptr) return FailCode(WSAEFAULT);
  const int fd = static_cast<int>(s);
  if (command == WS_FIONBIO) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return Fail(errno);
    flags = *argument ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (fcntl(fd, F_SETFL, flags) != 0) return Fail(errno);
    return 0;
  }
  if (command == WS_FIONREAD) {
    int count = 0;
    if (ioctl(fd, FIONREAD, &count) != 0) return Fail(errno);
    *argument = static_cast<uint32_t>(count < 0 ? 0 : count);
    return 0;
  }
  return FailCode(WSAEINVAL);
}

int32_t GetSockOpt(WsSocket s, int32_t level, int32_t option, char* value, int32_t* length) {
  if (!IsSocket(s)) return FailCode(WSAENOTSOCK);
  if (value == nullptr || length == nullptr || *length < 4) return FailCode(WSAEFAULT);
  int sysLevel, sysOption;
  if (level == WS_SOL_SOCKET) {
    sysLevel = SOL_SOCKET;
    switch (option) {
      case WS_SO_REUSEADDR: sysOption = SO_REUSEADDR; break;
      case WS_SO_KEEPALIVE: sysOption = SO_KEEPALIVE; break;
      case WS_SO_SNDBUF: sysOption = SO_SNDBUF; break;
      case WS_SO_RCVBUF: sysOption = SO_RCVBUF; break;
      case WS_SO_ERROR: sysOption = SO_ERROR; break;
      case WS_SO_TYPE: sysOption = SO_TYPE; break;
      default: return FailCode(WSAENOPROTOOPT);
    }
  } else if (level == WS_IPPROTO_TCP && option == WS_TCP_NODELAY) {
    sysLevel = IPPROTO_TCP;
    sysOption = TCP_NODELAY;
  } else {
    return FailCode(WSAENOPROTOOPT);
  }
  int v = 0;
  socklen_t len = sizeof v;
  if (C().getsockopt(static_cast<int>(s), sysLevel, sysOption, &v, &len) != 0) return Fail(errno);
  if (sysLevel == SOL_SOCKET && sysOption == SO_ERROR) v = ErrorFromErrno(v);
  if (sysLevel == SOL_SOCKET && sysOption == SO_TYPE) v = v == SOCK_STREAM ? WS_SOCK_STREAM : WS_SOCK_DGRAM;
  int32_t out = v;
  std::memcpy(value, &out, 4);
  *length = 4;
  return 0;
}

uint16_t Htons(uint16_t value) { return static_cast<uint16_t>((value >> 8) | (value << 8)); }

uint32_t InetAddr(const char* text) {
  if (text == nullptr) return WS_INADDR_NONE;
  // Dotted forms only (a, a.b, a.b.c, a.b.c.d; decimal, octal or hex parts),
  // nothing but blanks after them.
  const char* end = text;
  while (*end && *end != ' ' && *end != '\t') ++end;
  for (const char* p = end; *p; ++p)
    if (*p != ' ' && *p != '\t') return WS_INADDR_NONE;
  std::string part(text, end);
  if (part.empty()) return WS_INADDR_NONE;
  in_addr a{};
  if (inet_aton(part.c_str(), &a) == 0) return WS_INADDR_NONE;
  return a.s_addr;
}

int32_t GetHostName(char* name, int32_t length) {
  if (name == nullptr || length <= 0) return FailCode(WSAEFAULT);
  if (!C().complete) return FailCode(WSASYSNOTREADY);
  char buf[256] = {};
  if (C().gethostname(buf, sizeof buf - 1) != 0) return Fail(errno);
  const size_t n = std::strlen(buf);
  if (n + 1 > static_cast<size_t>(length)) return FailCode(WSAEFAULT);
  std::memcpy(name, buf, n + 1);
  return 0;
}

WsHostEntry* GetHostByName(const char* name) {
  if (name == nullptr) {
    SetError(WSAEFAULT);
    return nullptr;
  }
  HostAnswer a;
  const int32_t err = ResolveByName(name, &a);
  if (err != 0) {
    SetError(err);
    return nullptr;
  }
  return ThreadHostEntry(a);
}

WsHostEntry* GetHostByAddr(const char* address, int32_t length, int32_t type) {
  if (!IsInetAddress(address, length, type)) return nullptr;
  HostAnswer a;
  const int32_t err = ResolveByAddr(std::string(address, 4), &a);
  if (err != 0) {
    SetError(err);
    return nullptr;
  }
  return ThreadHostEntry(a);
}

KvHandle AsyncGetHostByAddr(KvWindow window, uint32_t message, const char* address, int32_t length, int32_t type,
                            char* buffer, int32_t bufferLength) {
  if (!IsInetAddress(address, length, type)) return 0;
  std::string addr(address, 4);
  return StartLookup(window, message, buffer, bufferLength,
                     [addr](HostAnswer* a) { return ResolveByAddr(addr, a); });
}

KvHandle AsyncGetHostByName(KvWindow window, uint32_t message, const char* name, char* buffer,
                            int32_t bufferLength) {
  if (name == nullptr) {
    SetError(WSAEFAULT);
    return 0;
  }
  std::string n(name, strnlen(name, 1024));
  return StartLookup(window, message, buffer, bufferLength, [n](HostAnswer* a) { return ResolveByName(n, a); });
}

int32_t CancelAsyncRequest(KvHandle task) {
  Module& m = M();
  std::lock_guard<std::mutex> lock(m.taskMutex);
  auto it = m.tasks.find(task);
  // Unknown, or already answered: too late to cancel.
  if (it == m.tasks.end() || it->second.cancelled) return FailCode(WSAEINVAL);
  it->second.cancelled = true;
  return 0;
}

}  // namespace kvws
