// Service table, control channel, logon and the running-copy channel.
#include "shell/startup_service.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <strings.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/base/clock.h"
#include "platform/base/lasterror.h"
#include "platform/base/registry.h"
#include "platform/ui/window.h"

namespace kv::svc {
namespace {

constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr const char* kStartEnv = "KV_SERVICE_START";
constexpr const char* kArgsEnv = "KV_SERVICE_ARGS";
constexpr const char* kReadyEnv = "KV_SERVICE_READY_FD";
constexpr char kArgSeparator = '\x1f';
constexpr int kStartTimeoutMs = 30000;
constexpr int kControlTimeoutMs = 30000;

// A folder that only this user can reach: a real folder (no link), owned by
// the effective user, with no rights for group or others. Made when missing.
bool PrivateFolder(const std::string& dir) {
  ::mkdir(dir.c_str(), 0700);
  struct stat st {};
  return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 077) == 0;
}

// The user's home folder: env HOME, else the account's.
std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/')
    return found->pw_dir;
  return "";
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "local";
  std::string out;
  for (const char* p = name; *p; ++p) out += std::isalnum(static_cast<unsigned char>(*p)) || *p == '-' ? *p : '_';
  return out;
}

}  // namespace

std::string RunTimeFolder(std::string* tried) {
  const char* lockDir = std::getenv("KV_LOCK_DIR");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string dir;
  if (lockDir && *lockDir) {
    std::string base = lockDir;
    ::mkdir(base.c_str(), 0700);
    dir = base + "/kelvaron-" + std::to_string(::geteuid());
  } else if (runtime && *runtime && runtime[0] == '/' && PrivateFolder(runtime)) {
    dir = std::string(runtime) + "/kelvaron";
  } else {
    // No runtime folder of the session: a folder in the user's home, which
    // no other user can make first (a shared folder such as /tmp could be).
    // Its name holds the host's, for a home shared between machines.
    std::string home = HomeFolder();
    if (!home.empty()) {
      std::string base = home + "/.kelvaron";
      if (PrivateFolder(base)) {
        dir = base + "/run-" + HostName();
      } else {
        dir = base;
      }
    }
  }
  if (tried != nullptr) *tried = dir;
  if (dir.empty() || !PrivateFolder(dir)) return "";
  return dir + "/";
}

namespace {

// A file name made of the name's letters and digits only.
std::string SafeName(const char* name) {
  std::string out;
  for (const char* p = name; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    out += std::isalnum(c) ? static_cast<char>(std::tolower(c)) : '_';
  }
  return out;
}

// The path of a run-time file of a service; "" without a safe folder.
std::string ServiceFile(const char* name, const char* suffix) {
  std::string dir = RunTimeFolder();
  return dir.empty() ? "" : dir + "svc-" + SafeName(name) + suffix;
}

std::string ServiceKey(const char* name) { return std::string(kServicesKey) + name; }

bool ValidName(const char* name) { return name && *name && std::strlen(name) < 200; }

// Opens the lock file and tries to take it; returns the descriptor holding
// the lock, or -1 (held by someone else: *busy = true).
int TryLock(const std::string& path, bool* busy) {
  *busy = false;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *busy = (errno == EWOULDBLOCK);
    ::close(fd);
    return -1;
  }
  return fd;
}

bool IsHeld(const std::string& path) {
  bool busy = false;
  int fd = TryLock(path, &busy);
  if (fd >= 0) ::close(fd);
  return busy;
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.data(), path.size());
  return true;
}

int Listen(const std::string& path) {
  sockaddr_un address;
  if (!FillAddress(path, &address)) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int Connect(const std::string& path) {
  sockaddr_un address;
  if (!FillAddress(path, &address)) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads or writes exactly size bytes within the time limit.
bool Transfer(int fd, void* data, size_t size, bool write, int timeoutMs) {
  char* p = static_cast<char*>(data);
  struct stat st {};
  bool socket = ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
  uint64_t end = TickCount64() + static_cast<uint64_t>(timeoutMs);
  while (size > 0) {
    uint64_t now = TickCount64();
    if (now >= end) return false;
    pollfd pfd{fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    int r = ::poll(&pfd, 1, static_cast<int>(end - now));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    // Sockets are written without SIGPIPE; pipes take plain reads and writes.
    ssize_t n = write ? (socket ? ::send(fd, p, size, MSG_NOSIGNAL) : ::write(fd, p, size)) : ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// ---- status file ----
void StatusToWords(const ServiceStatus& s, uint32_t* w) {
  w[0] = s.serviceType; w[1] = s.currentState; w[2] = s.controlsAccepted; w[3] = s.win32ExitCode;
  w[4] = s.serviceExitCode; w[5] = s.checkPoint; w[6] = s.waitHint;
}
ServiceStatus WordsToStatus(const uint32_t* w) {
  ServiceStatus s;
  s.serviceType = w[0]; s.currentState = w[1]; s.controlsAccepted = w[2]; s.win32ExitCode = w[3];
  s.serviceExitCode = w[4]; s.checkPoint = w[5]; s.waitHint = w[6];
  return s;
}

bool WriteStatusFile(const std::string& path, const ServiceStatus& status) {
  if (path.empty()) return false;
  std::ostringstream text;
  uint32_t w[7];
  StatusToWords(status, w);
  for (uint32_t v : w) text << v << '\n';
  // A new file of a name of its own, never one found in place (nor a link):
  // written whole, then put over the status file in one step.
  static std::atomic<uint32_t> serial{0};
  std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(serial++);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::string data = text.str();
  bool written = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  written = ::close(fd) == 0 && written;
  if (!written || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool ReadStatusFile(const std::string& path, ServiceStatus* status) {
  std::ifstream in(path, std::ios::binary);
  char buffer[512];
  in.read(buffer, sizeof buffer);
  return detail::ParseStatusText(std::string(buffer, static_cast<size_t>(in.gcount())), status);
}

// ---- the dispatcher of this process ----
struct Dispatcher {
  std::mutex lock;
  std::string name;
  ServiceHandlerFn handler = nullptr;
  ServiceStatus status;
  bool active = false;
};
Dispatcher& TheDispatcher() {
  static Dispatcher d;
  return d;
}

// ---- logon ----
struct Tokens {
  std::mutex lock;
  std::map<intptr_t, std::string> users;
  intptr_t next = 1;
};
Tokens& TheTokens() {
  static Tokens t;
  return t;
}
thread_local intptr_t t_impersonated = 0;

// ---- running copy ----
struct Announcement {
  int lockFd = -1;
  int listenFd = -1;
  int wakeFds[2] = {-1, -1};
  KvWindow window = 0;
  std::thread listener;
};
std::mutex g_announceLock;
std::map<std::string, Announcement*> g_announcements;

std::string ClassFile(const char* className, const char* suffix) {
  std::string dir = RunTimeFolder();
  return dir.empty() ? "" : dir + "win-" + SafeName(className) + suffix;
}

struct PostRequest {
  uint32_t message;
  uint32_t pad;
  uint64_t wparam;
  int64_t lparam;
};

void ServeRunningWindow(Announcement* a) {
  for (;;) {
    pollfd fds[2] = {{a->listenFd, POLLIN, 0}, {a->wakeFds[0], POLLIN, 0}};
    int r = ::poll(fds, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || (fds[1].revents & POLLIN)) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = ::accept4(a->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    PostRequest request{};
    uint8_t answer = 0;
    if (Transfer(fd, &request, sizeof request, false, 2000)) {
      answer = ui::PostMessage(a->window, request.message, static_cast<KvWParam>(request.wparam),
                               static_cast<KvLParam>(request.lparam))
                   ? 1
                   : 0;
      Transfer(fd, &answer, 1, true, 2000);
    }
    ::close(fd);
  }
}

}  // namespace

namespace detail {

std::vector<std::string> SplitCommandLine(const std::string& text) {
  std::vector<std::string> out;
  std::string current;
  bool quoted = false, any = false;
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (c == ' ' && !quoted) {
      if (any) out.push_back(current);
      current.clear();
      any = false;
    } else {
      current += c;
      any = true;
    }
  }
  if (any) out.push_back(current);
  return out;
}

bool LogonLineMatches(std::string line, const std::string& account, const std::string& password) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  size_t colon = line.find(':');
  if (colon == std::string::npos) return false;
  std::string name = line.substr(0, colon);
  if (name.find('\\') == std::string::npos) name = "\\" + name;
  return strcasecmp(name.c_str(), account.c_str()) == 0 && line.compare(colon + 1, std::string::npos, password) == 0;
}

bool ParseStatusText(const std::string& text, ServiceStatus* status) {
  std::istringstream in(text);
  uint32_t w[7];
  for (uint32_t& v : w)
    if (!(in >> v)) return false;
  if (status) *status = WordsToStatus(w);
  return true;
}

}  // namespace detail

// ---- service table ----------------------------------------------------------

bool CreateService(const char* name, const char* displayName, uint32_t serviceType,
                   const char* binaryPath) {
  if (!ValidName(name) || !binaryPath || !*binaryPath) {
    SetLastError(87);
    return false;
  }
  std::string key = ServiceKey(name);
  if (RegKeyExists(key.c_str())) {
    SetLastError(1073);  // the service exists
    return false;
  }
  return RegSetString(key.c_str(), "DisplayName", displayName ? displayName : name) &&
         RegSetString(key.c_str(), "ImagePath", binaryPath) &&
         RegSetDword(key.c_str(), "Type", serviceType);
}

bool DeleteService(const char* name) {
  if (!IsServiceInstalled(name)) return false;
  return RegDeleteKey(ServiceKey(name).c_str());
}

bool IsServiceInstalled(const char* name) {
  if (!ValidName(name) || !RegKeyExists(ServiceKey(name).c_str())) {
    SetLastError(kErrorServiceDoesNotExist);
    return false;
  }
  return true;
}

bool QueryServiceConfig(const char* name, ServiceConfig* config) {
  if (!config || !IsServiceInstalled(name)) return false;
  std::string key = ServiceKey(name);
  ServiceConfig c;
  if (!RegGetString(key.c_str(), "ImagePath", &c.binaryPath) ||
      !RegGetDword(key.c_str(), "Type", &c.serviceType)) {
    SetLastError(1015);  // the registry is corrupt
    return false;
  }
  RegGetString(key.c_str(), "DisplayName", &c.displayName);
  *config = c;
  return true;
}

bool QueryServiceStatus(const char* name, ServiceStatus* status) {
  if (!status || !IsServiceInstalled(name)) return false;
  ServiceStatus s;
  ServiceConfig config;
  if (QueryServiceConfig(name, &config)) s.serviceType = config.serviceType;
  s.currentState = kStopped;
  if (IsHeld(ServiceFile(name, ".lock"))) {
    ServiceStatus reported;
    // A live dispatcher that has reported nothing yet is starting.
    s.currentState = kStartPending;
    if (ReadStatusFile(ServiceFile(name, ".status"), &reported)) s = reported;
  }
  *status = s;
  return true;
}

bool StartService(const char* name, const std::vector<std::string>& arguments) {
  ServiceConfig config;
  if (!QueryServiceConfig(name, &config)) return false;
  if (IsHeld(ServiceFile(name, ".lock"))) {
    SetLastError(kErrorServiceAlreadyRunning);
    return false;
  }
  std::vector<std::string> argv = detail::SplitCommandLine(config.binaryPath);
  if (argv.empty()) {
    SetLastError(2);
    return false;
  }
  std::string args;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i) args += kArgSeparator;
    args += arguments[i];
  }
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return false;
  std::string fdText = std::to_string(ready[1]);
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  pid_t child = ::fork();
  if (child < 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    return false;
  }
  if (child == 0) {
    // The service runs detached from the starter: a grandchild in its own
    // session, inheriting only the ready pipe's write end.
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    // The starter may block the signals it waits for; the service must not
    // inherit that.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::close(ready[0]);
    int flags = ::fcntl(ready[1], F_GETFD);
    ::fcntl(ready[1], F_SETFD, flags & ~FD_CLOEXEC);
    ::setenv(kStartEnv, name, 1);
    ::setenv(kArgsEnv, args.c_str(), 1);
    ::setenv(kReadyEnv, fdText.c_str(), 1);
    ::execv(cargv[0], cargv.data());
    ::_exit(127);
  }
  ::close(ready[1]);
  int st = 0;
  while (::waitpid(child, &st, 0) < 0 && errno == EINTR) {
  }
  char byte = 0;
  bool ok = Transfer(ready[0], &byte, 1, false, kStartTimeoutMs) && byte == 'R';
  ::close(ready[0]);
  if (!ok) SetLastError(kErrorServiceRequestTimeout);
  return ok;
}

bool ControlService(const char* name, uint32_t control, ServiceStatus* status) {
  if (!IsServiceInstalled(name)) return false;
  int fd = Connect(ServiceFile(name, ".sock"));
  if (fd < 0) {
    SetLastError(kErrorServiceNotActive);
    return false;
  }
  uint32_t words[7];
  bool ok = Transfer(fd, &control, sizeof control, true, kControlTimeoutMs) &&
            Transfer(fd, words, sizeof words, false, kControlTimeoutMs);
  ::close(fd);
  if (!ok) {
    SetLastError(kErrorServiceRequestTimeout);
    return false;
  }
  if (status) *status = WordsToStatus(words);
  return true;
}

// ---- inside the service ---------------------------------------------------------

bool StartServiceCtrlDispatcher(const char* name, ServiceMainFn entry) {
  // A program with one service of its own: the name in its table is not
  // matched, the service it was started as is the one it serves.
  (void)name;
  const char* startedEnv = std::getenv(kStartEnv);
  std::string started = startedEnv ? startedEnv : "";
  if (!entry || !ValidName(started.c_str())) {
    SetLastError(kErrorFailedServiceControllerConnect);
    return false;
  }
  int readyFd = -1;
  if (const char* text = std::getenv(kReadyEnv)) readyFd = std::atoi(text);
  std::vector<std::string> args{started};
  if (const char* text = std::getenv(kArgsEnv); text && *text) {
    std::string all = text, part;
    for (char c : all) {
      if (c == kArgSeparator) {
        args.push_back(part);
        part.clear();
      } else {
        part += c;
      }
    }
    args.push_back(part);
  }
  // The variables belong to this start only; the program's children must not
  // take themselves for the service.
  ::unsetenv(kStartEnv);
  ::unsetenv(kArgsEnv);
  ::unsetenv(kReadyEnv);

  bool busy = false;
  std::string statusPath = ServiceFile(started.c_str(), ".status");
  int lockFd = TryLock(ServiceFile(started.c_str(), ".lock"), &busy);
  if (lockFd < 0) {
    if (readyFd >= 0) ::close(readyFd);
    SetLastError(busy ? kErrorServiceAlreadyRunning : kErrorFailedServiceControllerConnect);
    return false;
  }
  ::unlink(statusPath.c_str());
  std::string sockPath = ServiceFile(started.c_str(), ".sock");
  int listenFd = Listen(sockPath);
  int wake[2] = {-1, -1};
  if (listenFd < 0 || ::pipe2(wake, O_CLOEXEC) != 0) {
    if (listenFd >= 0) ::close(listenFd);
    ::close(lockFd);
    if (readyFd >= 0) ::close(readyFd);
    SetLastError(kErrorFailedServiceControllerConnect);
    return false;
  }
  Dispatcher& d = TheDispatcher();
  {
    std::lock_guard<std::mutex> g(d.lock);
    d.name = started;
    d.handler = nullptr;
    d.status = ServiceStatus{};
    d.status.currentState = kStartPending;
    d.active = true;
  }
  if (readyFd >= 0) {
    char byte = 'R';
    Transfer(readyFd, &byte, 1, true, 2000);
    ::close(readyFd);
  }

  std::thread worker([&]() {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    entry(static_cast<int>(args.size()), argv.data());
    char byte = 'E';
    [[maybe_unused]] ssize_t n = ::write(wake[1], &byte, 1);
  });

  for (;;) {
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {wake[0], POLLIN, 0}};
    int r = ::poll(fds, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || (fds[1].revents & POLLIN)) break;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    uint32_t control = 0;
    if (Transfer(fd, &control, sizeof control, false, 2000)) {
      ServiceHandlerFn handler;
      {
        std::lock_guard<std::mutex> g(d.lock);
        handler = d.handler;
      }
      if (handler) handler(control);
      uint32_t words[7];
      {
        std::lock_guard<std::mutex> g(d.lock);
        StatusToWords(d.status, words);
      }
      Transfer(fd, words, sizeof words, true, 2000);
    }
    ::close(fd);
  }
  worker.join();
  {
    std::lock_guard<std::mutex> g(d.lock);
    if (d.status.currentState != kStopped) {
      d.status.currentState = kStopped;
      d.status.controlsAccepted = 0;
      WriteStatusFile(statusPath, d.status);
    }
    d.active = false;
    d.handler = nullptr;
  }
  ::close(listenFd);
  ::unlink(sockPath.c_str());
  ::close(wake[0]);
  ::close(wake[1]);
  ::close(lockFd);
  return true;
}

bool RegisterServiceCtrlHandler(const char* name, ServiceHandlerFn handler) {
  Dispatcher& d = TheDispatcher();
  std::lock_guard<std::mutex> g(d.lock);
  (void)name;  // one service per process: the registered name is not matched
  if (!d.active || !handler) {
    SetLastError(kErrorFailedServiceControllerConnect);
    return false;
  }
  d.handler = handler;
  return true;
}

bool SetServiceStatus(const ServiceStatus& status) {
  Dispatcher& d = TheDispatcher();
  std::lock_guard<std::mutex> g(d.lock);
  if (!d.active) {
    SetLastError(6);
    return false;
  }
  d.status = status;
  return WriteStatusFile(ServiceFile(d.name.c_str(), ".status"), status);
}

// ---- logon ------------------------------------------------------------------

bool LogonUser(const char* user, const char* domain, const char* password, uint32_t /*logonType*/,
               uint32_t /*provider*/, intptr_t* token) {
  if (token) *token = 0;
  if (!user || !*user || !token) {
    SetLastError(87);
    return false;
  }
  std::string wanted = std::string(domain ? domain : "") + "\\" + user;
  const char* file = std::getenv("KV_LOGON_FILE");
  bool ok = false;
  if (file && *file) {
    std::ifstream in(file);
    std::string line;
    while (!ok && std::getline(in, line)) ok = detail::LogonLineMatches(line, wanted, password ? password : "");
  }
  if (!ok) {
    SetLastError(kErrorLogonFailure);
    return false;
  }
  Tokens& t = TheTokens();
  std::lock_guard<std::mutex> g(t.lock);
  *token = t.next++;
  t.users[*token] = wanted;
  return true;
}

bool ImpersonateLoggedOnUser(intptr_t token) {
  Tokens& t = TheTokens();
  std::lock_guard<std::mutex> g(t.lock);
  if (!t.users.count(token)) {
    SetLastError(6);
    return false;
  }
  t_impersonated = token;
  return true;
}

bool RevertToSelf() {
  t_impersonated = 0;
  return true;
}

bool CloseToken(intptr_t token) {
  Tokens& t = TheTokens();
  std::lock_guard<std::mutex> g(t.lock);
  return t.users.erase(token) == 1;
}

std::string ImpersonatedUser() {
  Tokens& t = TheTokens();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.users.find(t_impersonated);
  return it == t.users.end() ? std::string() : it->second;
}

// ---- running copy -------------------------------------------------------------

bool AnnounceWindowClass(const char* className, KvWindow window) {
  if (!className || !*className || !window) return false;
  std::lock_guard<std::mutex> g(g_announceLock);
  if (g_announcements.count(className)) return false;
  bool busy = false;
  int lockFd = TryLock(ClassFile(className, ".lock"), &busy);
  if (lockFd < 0) return false;
  auto* a = new Announcement;
  a->lockFd = lockFd;
  a->window = window;
  a->listenFd = Listen(ClassFile(className, ".sock"));
  if (a->listenFd < 0 || ::pipe2(a->wakeFds, O_CLOEXEC) != 0) {
    if (a->listenFd >= 0) ::close(a->listenFd);
    ::close(lockFd);
    delete a;
    return false;
  }
  a->listener = std::thread(ServeRunningWindow, a);
  g_announcements[className] = a;
  return true;
}

void WithdrawWindowClass(const char* className) {
  if (!className) return;
  Announcement* a = nullptr;
  {
    std::lock_guard<std::mutex> g(g_announceLock);
    auto it = g_announcements.find(className);
    if (it == g_announcements.end()) return;
    a = it->second;
    g_announcements.erase(it);
  }
  char byte = 'E';
  [[maybe_unused]] ssize_t n = ::write(a->wakeFds[1], &byte, 1);
  a->listener.join();
  ::close(a->listenFd);
  ::unlink(ClassFile(className, ".sock").c_str());
  ::close(a->wakeFds[0]);
  ::close(a->wakeFds[1]);
  ::close(a->lockFd);
  delete a;
}

bool FindRunningWindow(const char* className) {
  if (!className || !*className) return false;
  return IsHeld(ClassFile(className, ".lock"));
}

bool SendToRunningWindow(const char* className, uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (!FindRunningWindow(className)) return false;
  // The running copy may still be between taking its lock and listening.
  int fd = -1;
  for (int i = 0; i < 50 && fd < 0; ++i) {
    fd = Connect(ClassFile(className, ".sock"));
    if (fd < 0) Sleep(20);
  }
  if (fd < 0) return false;
  PostRequest request{message, 0, static_cast<uint64_t>(wparam), static_cast<int64_t>(lparam)};
  uint8_t answer = 0;
  bool ok = Transfer(fd, &request, sizeof request, true, 5000) && Transfer(fd, &answer, 1, false, 5000);
  ::close(fd);
  return ok && answer == 1;
}

}  // namespace kv::svc
