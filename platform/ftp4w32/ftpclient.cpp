#include "platform/ftp4w32/ftpclient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/base/paths.h"
#include "platform/ui/window.h"

namespace kvftp {

namespace {

constexpr size_t kMaxArgument = 1024;  // longest path or name sent in a command
constexpr size_t kChunk = 64 * 1024;
constexpr int kMaxGreetingWaits = 8;

// A text the caller wants sent in a command: present, bounded, one line.
bool ValidArgument(const char* s, bool mayBeEmpty = false) {
  if (s == nullptr) return false;
  const size_t n = strnlen(s, kMaxArgument + 1);
  if (n > kMaxArgument || (n == 0 && !mayBeEmpty)) return false;
  return std::strpbrk(s, "\r\n") == nullptr;
}

void CloseFd(int& fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

enum class Wait { kReady, kTimeout, kAborted, kError };

// Waits for events on fd, and for the abort signal when wakeFd >= 0.
Wait WaitFor(int fd, short events, int timeoutMs, int wakeFd) {
  pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
  const nfds_t n = wakeFd >= 0 ? 2 : 1;
  for (;;) {
    int rc = poll(fds, n, timeoutMs);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return Wait::kError;
    if (rc == 0) return Wait::kTimeout;
    if (n == 2 && (fds[1].revents & POLLIN)) return Wait::kAborted;
    return Wait::kReady;
  }
}

// Connects a socket to addr within the time-out. 0 or an FTP_E_* code.
int32_t ConnectWithin(const sockaddr_in& addr, int timeoutMs, int wakeFd, int* out, int32_t refusedCode) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return refusedCode;
  int rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (rc != 0 && errno != EINPROGRESS) {
    close(fd);
    return refusedCode;
  }
  if (rc != 0) {
    Wait w = WaitFor(fd, POLLOUT, timeoutMs, wakeFd);
    if (w != Wait::kReady) {
      close(fd);
      return w == Wait::kTimeout ? FTP_E_TIMEOUT : w == Wait::kAborted ? FTP_E_ABORTED : refusedCode;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
      close(fd);
      return refusedCode;
    }
  }
  *out = fd;
  return 0;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void Notify(KvWindow window, uint32_t message, KvWParam kind, int64_t value) {
  if (window != 0) kv::ui::PostMessage(window, message, kind, static_cast<KvLParam>(value));
}

}  // namespace

struct Session::Transfer {
  bool receive = true;  // server to local file
  int file = -1;
  int data = -1;
  int listen = -1;
  bool notify = false;
  KvWindow window = 0;
  uint32_t message = 0;
  int64_t done = 0;

  ~Transfer() {
    CloseFd(file);
    CloseFd(data);
    CloseFd(listen);
  }
};

Session::Session() { wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

Session::~Session() {
  LocalClose();
  CloseFd(wakeFd_);
}

// ---- settings -----------------------------------------------------------------

int32_t Session::Init(KvWindow) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!initialised_) {
    async_ = false;
    passive_ = false;
    port_ = FTP_DEFAULT_PORT;
    timeoutSeconds_ = FTP_DEFAULT_TIMEOUT;
  }
  initialised_ = true;
  return wakeFd_ >= 0 ? 0 : FTP_E_OUT_OF_MEMORY;
}

int32_t Session::Release() {
  LocalClose();
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  initialised_ = false;
  return 0;
}

int32_t Session::SetDefaultPort(int32_t port) {
  if (port <= 0 || port > 65535) return FTP_E_INVALID_ARGUMENT;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  port_ = port;
  return 0;
}

int32_t Session::SetDefaultTimeOut(int32_t seconds) {
  if (seconds <= 0 || seconds > 86400) return FTP_E_INVALID_ARGUMENT;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  timeoutSeconds_ = seconds;
  return 0;
}

int32_t Session::SetPassiveMode(int32_t passive) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  passive_ = passive != 0;
  return 0;
}

int32_t Session::SetAsynchronousMode(bool async) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  async_ = async;
  return 0;
}

// ---- control connection -------------------------------------------------------

int32_t Session::CheckReady(bool needConnection) {
  if (!initialised_) return FTP_E_NOT_INITIALISED;
  if (busy_.load()) return FTP_E_BUSY;
  JoinWorker();
  if (needConnection && (control_ < 0 || !loggedOn_)) return FTP_E_NOT_CONNECTED;
  return 0;
}

void Session::DropControl() {
  CloseFd(control_);
  reader_.Reset();
  loggedOn_ = false;
}

int32_t Session::ConnectControl(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return FTP_E_HOST_NOT_FOUND;
  sockaddr_in addr;
  std::memcpy(&addr, found->ai_addr, sizeof addr);
  freeaddrinfo(found);
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  reader_.Reset();
  int32_t rc = ConnectWithin(addr, TimeoutMs(), -1, &control_, FTP_E_CONNECT_FAILED);
  if (rc != 0) return rc;
  // "Ready in a while" (120) comes before the real greeting; a server that
  // sends nothing else is refused after a few.
  Reply reply;
  int waits = 0;
  do {
    rc = ReadReply(&reply);
    if (rc != 0) return rc;
  } while (reply.code == 120 && ++waits < kMaxGreetingWaits);
  if (reply.code != 220) {
    DropControl();
    return FTP_E_SERVER_REFUSED;
  }
  return 0;
}

std::string Session::LastRefusal() {
  std::lock_guard<std::mutex> lock(refusalMutex_);
  return lastRefusal_;
}

int32_t Session::SendCommand(const std::string& command) {
  if (control_ < 0) return FTP_E_NOT_CONNECTED;
  {
    std::lock_guard<std::mutex> lock(refusalMutex_);
    lastRefusal_.clear();
  }
  std::string line = command + "\r\n";
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = send(control_, p, left, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      Wait w = WaitFor(control_, POLLOUT, TimeoutMs(), -1);
      if (w == Wait::kReady) continue;
      DropControl();
      return w == Wait::kTimeout ? FTP_E_TIMEOUT : FTP_E_CONNECTION_LOST;
    }
    if (n <= 0) {
      DropControl();
      return FTP_E_CONNECTION_LOST;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return 0;
}

int32_t Session::ReadReply(Reply* reply) {
  if (control_ < 0) return FTP_E_NOT_CONNECTED;
  char buf[4096];
  for (;;) {
    switch (reader_.Next(reply)) {
      case ReplyReader::Status::kReply:
        if (reply->code >= 400) {
          std::string line = reply->text.substr(0, reply->text.find('\n'));
          if (line.size() > 200) line.resize(200);
          std::lock_guard<std::mutex> lock(refusalMutex_);
          lastRefusal_ = std::to_string(reply->code) + " " + line;
        }
        return 0;
      case ReplyReader::Status::kError:
        // The rest of the stream cannot be trusted.
        DropControl();
        return FTP_E_BAD_REPLY;
      case ReplyReader::Status::kNeedMore:
        break;
    }
    Wait w = WaitFor(control_, POLLIN, TimeoutMs(), -1);
    if (w != Wait::kReady) {
      DropControl();
      return w == Wait::kTimeout ? FTP_E_TIMEOUT : FTP_E_CONNECTION_LOST;
    }
    ssize_t n = recv(control_, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) {
      DropControl();
      return FTP_E_CONNECTION_LOST;
    }
    reader_.Feed(buf, static_cast<size_t>(n));
  }
}

int32_t Session::Command(const std::string& command, Reply* reply) {
  int32_t rc = SendCommand(command);
  if (rc != 0) return rc;
  return ReadReply(reply);
}

int32_t Session::OpenConnection(const char* host) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  int32_t rc = CheckReady(false);
  if (rc != 0) return rc;
  if (!ValidArgument(host) || std::strlen(host) > 255) return FTP_E_INVALID_ARGUMENT;
  if (control_ >= 0) return FTP_E_ALREADY_CONNECTED;
  return ConnectControl(host);
}

int32_t Session::Login(const char* host, const char* user, const char* password) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  int32_t rc = CheckReady(false);
  if (rc != 0) return rc;
  if (!ValidArgument(user) || !ValidArgument(password, true)) return FTP_E_INVALID_ARGUMENT;
  if (loggedOn_) return FTP_E_ALREADY_CONNECTED;
  if (control_ < 0) {
    if (!ValidArgument(host) || std::strlen(host) > 255) return FTP_E_INVALID_ARGUMENT;
    rc = ConnectControl(host);
    if (rc != 0) return rc;
  }
  Reply reply;
  rc = Command(std::string("USER ") + user, &reply);
  if (rc != 0) return rc;
  if (reply.code == 331) {
    rc = Command(std::string("PASS ") + password, &reply);
    if (rc != 0) return rc;
  }
  if (reply.code != 230 && reply.code != 202) {
    // A refused log-on ends the session: the next FtpLogin starts afresh.
    SendCommand("QUIT");
    DropControl();
    return FTP_E_LOGIN_REFUSED;
  }
  loggedOn_ = true;
  return 0;
}

int32_t Session::CloseConnection() {
  if (busy_.load()) {
    Abort();
    JoinWorker();
  }
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  JoinWorker();
  if (control_ < 0) return FTP_E_NOT_CONNECTED;
  Reply reply;
  int32_t rc = Command("QUIT", &reply);
  if (rc != 0) return rc;  // the connection is dropped already
  DropControl();
  return reply.code / 100 == 2 ? 0 : FTP_E_COMMAND_FAILED;
}

int32_t Session::LocalClose() {
  if (busy_.load()) Abort();
  JoinWorker();
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  JoinWorker();
  DropControl();
  return 0;
}

int32_t Session::Pwd(char* buffer, int32_t size) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  int32_t rc = CheckReady(true);
  if (rc != 0) return rc;
  if (buffer == nullptr || size <= 0) return FTP_E_INVALID_ARGUMENT;
  Reply reply;
  rc = Command("PWD", &reply);
  if (rc != 0) return rc;
  std::string folder;
  if (reply.code != 257 || !ParsePwdReply(reply.text, &folder)) return FTP_E_COMMAND_FAILED;
  if (folder.size() + 1 > static_cast<size_t>(size)) return FTP_E_BUFFER_TOO_SMALL;
  std::memcpy(buffer, folder.c_str(), folder.size() + 1);
  return 0;
}

int32_t Session::Cwd(const char* directory) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  int32_t rc = CheckReady(true);
  if (rc != 0) return rc;
  if (!ValidArgument(directory)) return FTP_E_INVALID_ARGUMENT;
  Reply reply;
  rc = Command(std::string("CWD ") + directory, &reply);
  if (rc != 0) return rc;
  if (reply.code / 100 == 2) return 0;
  return reply.code == 550 ? FTP_E_FILE_UNAVAILABLE : FTP_E_COMMAND_FAILED;
}

// ---- data connections ---------------------------------------------------------

int32_t Session::OpenDataChannel(int* listenFd, int* dataFd) {
  sockaddr_in peer{}, local{};
  socklen_t len = sizeof peer;
  if (getpeername(control_, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return FTP_E_CONNECTION_LOST;
  len = sizeof local;
  if (getsockname(control_, reinterpret_cast<sockaddr*>(&local), &len) != 0) return FTP_E_CONNECTION_LOST;
  Reply reply;
  if (passive_) {
    int32_t rc = Command("PASV", &reply);
    if (rc != 0) return rc;
    uint32_t address;
    uint16_t port;
    if (reply.code != 227 || !ParsePassiveReply(reply.text, &address, &port) || port == 0)
      return FTP_E_DATA_CONNECTION;
    // The data connection goes to the server we talk to, whatever address
    // the reply names: a reply must not send us to a third host.
    sockaddr_in addr = peer;
    addr.sin_port = htons(port);
    return ConnectWithin(addr, TimeoutMs(), wakeFd_, dataFd, FTP_E_DATA_CONNECTION);
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return FTP_E_DATA_CONNECTION;
  sockaddr_in bindAddr = local;
  bindAddr.sin_port = 0;
  len = sizeof bindAddr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&bindAddr), sizeof bindAddr) != 0 || listen(fd, 1) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&bindAddr), &len) != 0) {
    close(fd);
    return FTP_E_DATA_CONNECTION;
  }
  const uint8_t* a = reinterpret_cast<const uint8_t*>(&bindAddr.sin_addr.s_addr);
  const uint16_t port = ntohs(bindAddr.sin_port);
  char command[64];
  std::snprintf(command, sizeof command, "PORT %u,%u,%u,%u,%u,%u", a[0], a[1], a[2], a[3], port >> 8, port & 0xFF);
  int32_t rc = Command(command, &reply);
  if (rc != 0 || reply.code / 100 != 2) {
    close(fd);
    return rc != 0 ? rc : FTP_E_DATA_CONNECTION;
  }
  *listenFd = fd;
  return 0;
}

int32_t Session::AcceptData(int listenFd, int* dataFd) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  getpeername(control_, reinterpret_cast<sockaddr*>(&peer), &len);
  for (;;) {
    Wait w = WaitFor(listenFd, POLLIN, TimeoutMs(), wakeFd_);
    if (w == Wait::kAborted) return FTP_E_ABORTED;
    if (w != Wait::kReady) return FTP_E_DATA_CONNECTION;
    sockaddr_in from{};
    socklen_t flen = sizeof from;
    int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&from), &flen, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
      return FTP_E_DATA_CONNECTION;
    }
    // Only the server itself may open the data connection.
    if (from.sin_addr.s_addr != peer.sin_addr.s_addr) {
      close(fd);
      continue;
    }
    *dataFd = fd;
    return 0;
  }
}

// Sends the transfer command and waits for the server's go-ahead (1xx) and,
// in active mode, for its data connection.
int32_t Session::StartTransfer(const std::string& command, Transfer& t) {
  int32_t rc = OpenDataChannel(&t.listen, &t.data);
  if (rc != 0) return rc;
  Reply reply;
  rc = Command(command, &reply);
  if (rc != 0) return rc;
  if (reply.code / 100 != 1) {
    if (reply.code == 550 || reply.code == 450) return FTP_E_FILE_UNAVAILABLE;
    if (reply.code == 425) return FTP_E_DATA_CONNECTION;
    return FTP_E_TRANSFER_FAILED;
  }
  if (total_.load() == 0) {
    const int64_t announced = ParseTransferSize(reply.text);
    if (announced > 0) total_.store(announced);
  }
  if (t.data < 0) {
    rc = AcceptData(t.listen, &t.data);
    CloseFd(t.listen);
    if (rc != 0) {
      FinishAbort();
      return rc;
    }
  }
  return 0;
}

// After a transfer was cut short: tells the server and reads its answers,
// so that the control connection stays in step. Depending on how far the
// transfer had gone the server answers ABOR with one or two replies (426 and
// 226, or 226 and 225, or one of them); the NOOP that follows answers 200,
// which marks the end of the exchange.
int32_t Session::FinishAbort() {
  if (control_ < 0) return FTP_E_ABORTED;
  if (SendCommand("ABOR") != 0 || SendCommand("NOOP") != 0) return FTP_E_ABORTED;
  Reply reply;
  for (int k = 0; k < 6; ++k) {
    if (ReadReply(&reply) != 0) return FTP_E_ABORTED;
    if (reply.code == 200) return FTP_E_ABORTED;
  }
  DropControl();  // out of step: the session cannot be trusted any more
  return FTP_E_ABORTED;
}

int32_t Session::RunTransfer(Transfer& t) {
  std::vector<char> buf(kChunk);
  int32_t failure = 0;
  for (;;) {
    if (abort_.load()) {
      failure = FTP_E_ABORTED;
      break;
    }
    if (t.receive) {
      Wait w = WaitFor(t.data, POLLIN, TimeoutMs(), wakeFd_);
      if (w == Wait::kAborted) {
        failure = FTP_E_ABORTED;
        break;
      }
      if (w != Wait::kReady) {
        failure = w == Wait::kTimeout ? FTP_E_TIMEOUT : FTP_E_CONNECTION_LOST;
        break;
      }
      ssize_t n = recv(t.data, buf.data(), buf.size(), MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n < 0) {
        failure = FTP_E_CONNECTION_LOST;
        break;
      }
      if (n == 0) break;
      if (!WriteAll(t.file, buf.data(), static_cast<size_t>(n))) {
        failure = FTP_E_LOCAL_FILE;
        break;
      }
      t.done += n;
    } else {
      ssize_t n = read(t.file, buf.data(), buf.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        failure = FTP_E_LOCAL_FILE;
        break;
      }
      if (n == 0) break;
      size_t off = 0;
      while (off < static_cast<size_t>(n) && failure == 0) {
        Wait w = WaitFor(t.data, POLLOUT, TimeoutMs(), wakeFd_);
        if (w != Wait::kReady) {
          failure = w == Wait::kAborted ? FTP_E_ABORTED
                    : w == Wait::kTimeout ? FTP_E_TIMEOUT
                                          : FTP_E_CONNECTION_LOST;
          break;
        }
        ssize_t m = send(t.data, buf.data() + off, static_cast<size_t>(n) - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (m < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (m <= 0) {
          failure = FTP_E_CONNECTION_LOST;
          break;
        }
        off += static_cast<size_t>(m);
      }
      if (failure != 0) break;
      t.done += n;
    }
    if (t.notify) Notify(t.window, t.message, FTP_NOTIFY_PROGRESS, t.done);
  }
  CloseFd(t.data);
  CloseFd(t.file);
  if (failure == FTP_E_ABORTED || failure == FTP_E_LOCAL_FILE) {
    FinishAbort();
    return failure;
  }
  if (failure == FTP_E_TIMEOUT) {
    // A server that went silent mid-transfer: the session is not to be trusted.
    DropControl();
    return failure;
  }
  // The server's verdict on the transfer (also after a broken data
  // connection: it tells whether the server is still there).
  Reply reply;
  int32_t rc = ReadReply(&reply);
  if (rc != 0) return rc;
  if (failure != 0) return FTP_E_TRANSFER_FAILED;
  return reply.code / 100 == 2 ? 0 : FTP_E_TRANSFER_FAILED;
}

void Session::JoinWorker() {
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

int32_t Session::Abort() {
  if (!busy_.load()) return FTP_E_NOT_CONNECTED;
  abort_.store(true);
  uint64_t one = 1;
  ssize_t ignored = write(wakeFd_, &one, sizeof one);
  (void)ignored;
  return 0;
}

int32_t Session::SetType(char type) {
  Reply reply;
  int32_t rc = Command(std::string("TYPE ") + type, &reply);
  if (rc != 0) return rc;
  return reply.code / 100 == 2 ? 0 : FTP_E_COMMAND_FAILED;
}

void Session::ResetAbort() {
  abort_.store(false);
  uint64_t drain;
  while (read(wakeFd_, &drain, sizeof drain) > 0) {
  }
}

// Moves the data of a started transfer: on a worker thread that posts the end
// notification when asynchronous with a window, else here and now.
int32_t Session::Launch(std::unique_ptr<Transfer> t) {
  busy_.store(true);
  if (async_ && t->window != 0) {
    try {
      worker_ = std::thread([this, t = std::move(t)]() mutable {
        const int32_t result = RunTransfer(*t);
        const KvWindow w = t->window;
        const uint32_t m = t->message;
        t.reset();
        busy_.store(false);
        Notify(w, m, FTP_NOTIFY_END, result);
      });
      return 0;
    } catch (...) {
      busy_.store(false);
      return FTP_E_OUT_OF_MEMORY;
    }
  }
  const int32_t rc = RunTransfer(*t);
  busy_.store(false);
  return rc;
}

// ---- transfers --------------------------------------------------------------

int32_t Session::Dir(const char* pattern, const char* localFile, bool longListing) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  int32_t rc = CheckReady(true);
  if (rc != 0) return rc;
  if ((pattern != nullptr && !ValidArgument(pattern, true)) || localFile == nullptr || !*localFile)
    return FTP_E_INVALID_ARGUMENT;
  Transfer t;
  // The listing file is scratch: it is emptied first, so a failed listing
  // leaves an empty file rather than an older listing.
  t.file = open(kv::ResolvePath(localFile).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (t.file < 0) return FTP_E_LOCAL_FILE;
  ResetAbort();
  rc = SetType(FTP_TYPE_ASCII);
  if (rc != 0) return rc;
  total_.store(0);
  std::string command = longListing ? "LIST" : "NLST";
  if (pattern != nullptr && *pattern) command += std::string(" ") + pattern;
  rc = StartTransfer(command, t);
  if (rc != 0) return rc;
  busy_.store(true);
  rc = RunTransfer(t);
  busy_.store(false);
  return rc;
}

int32_t Session::RecvFile(const char* remote, const char* local, char type, bool notify, KvWindow window,
                          uint32_t message) {
  std::unique_lock<std::recursive_mutex> lock(mutex_);
  int32_t rc = CheckReady(true);
  if (rc != 0) return rc;
  if (!ValidArgument(remote) || local == nullptr || !*local || (type != 'I' && type != 'A'))
    return FTP_E_INVALID_ARGUMENT;
  ResetAbort();
  total_.store(0);
  rc = SetType(type);
  if (rc != 0) return rc;
  Reply reply;
  rc = Command(std::string("SIZE ") + remote, &reply);
  if (rc != 0) return rc;
  if (reply.code == 213) {
    const int64_t size = ParseSizeReply(reply.text);
    if (size > 0) total_.store(size);
  }
  auto t = std::make_unique<Transfer>();
  t->receive = true;
  t->notify = notify;
  t->window = window;
  t->message = message;
  rc = StartTransfer(std::string("RETR ") + remote, *t);
  if (rc != 0) return rc;
  // The local copy is replaced only once the server is sending the file.
  t->file = open(kv::ResolvePath(local).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (t->file < 0) {
    CloseFd(t->data);
    FinishAbort();
    return FTP_E_LOCAL_FILE;
  }
  return Launch(std::move(t));
}

int32_t Session::SendFile(const char* local, const char* remote, char type, bool notify, KvWindow window,
                          uint32_t message) {
  std::unique_lock<std::recursive_mutex> lock(mutex_);
  int32_t rc = CheckReady(true);
  if (rc != 0) return rc;
  if (!ValidArgument(remote) || local == nullptr || !*local || (type != 'I' && type != 'A'))
    return FTP_E_INVALID_ARGUMENT;
  auto t = std::make_unique<Transfer>();
  t->receive = false;
  t->notify = notify;
  t->window = window;
  t->message = message;
  t->file = open(kv::ResolvePath(local).c_str(), O_RDONLY | O_CLOEXEC);
  if (t->file < 0) return FTP_E_LOCAL_FILE;
  struct stat st{};
  if (fstat(t->file, &st) != 0 || !S_ISREG(st.st_mode)) return FTP_E_LOCAL_FILE;
  ResetAbort();
  total_.store(st.st_size);
  rc = SetType(type);
  if (rc != 0) return rc;
  rc = StartTransfer(std::string("STOR ") + remote, *t);
  if (rc != 0) return rc;
  return Launch(std::move(t));
}

}  // namespace kvftp
