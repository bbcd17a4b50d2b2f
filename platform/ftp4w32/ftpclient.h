// The FTP client behind the FTP module's exports: one session (control
// connection) per Session object, passive or active data connections, every
// wait on the network bounded by the time-out. Results are 0 or FTP_E_*.
#ifndef KV_PLATFORM_FTP4W32_FTPCLIENT_H
#define KV_PLATFORM_FTP4W32_FTPCLIENT_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/ftp4w32/ftp4w32.h"
#include "platform/ftp4w32/ftpreply.h"

namespace kvftp {

class Session {
 public:
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  int32_t Init(KvWindow window);
  int32_t Release();
  int32_t SetDefaultPort(int32_t port);
  int32_t SetDefaultTimeOut(int32_t seconds);
  int32_t SetPassiveMode(int32_t passive);
  int32_t SetAsynchronousMode(bool async);

  int32_t OpenConnection(const char* host);
  int32_t Login(const char* host, const char* user, const char* password);
  int32_t CloseConnection();
  int32_t LocalClose();
  int32_t Pwd(char* buffer, int32_t size);
  int32_t Cwd(const char* directory);
  int32_t Dir(const char* pattern, const char* localFile, bool longListing);
  int32_t RecvFile(const char* remote, const char* local, char type, bool notify, KvWindow window,
                   uint32_t message);
  int32_t SendFile(const char* local, const char* remote, char type, bool notify, KvWindow window,
                   uint32_t message);
  int32_t Abort();
  int64_t BytesToBeTransferred() const { return total_.load(); }
  // The server's last refusal (a reply of 400 or more, its code and first
  // line) since the last command was sent; "" when there was none.
  std::string LastRefusal();

 private:
  struct Transfer;

  // All private functions expect mutex_ held (or the transfer thread owning
  // the session while busy_).
  int32_t ConnectControl(const std::string& host);
  void DropControl();
  int32_t SendCommand(const std::string& command);
  int32_t ReadReply(Reply* reply);
  int32_t Command(const std::string& command, Reply* reply);
  int32_t CheckReady(bool needConnection);
  int32_t OpenDataChannel(int* listenFd, int* dataFd);
  int32_t AcceptData(int listenFd, int* dataFd);
  int32_t StartTransfer(const std::string& command, Transfer& t);
  int32_t RunTransfer(Transfer& t);
  int32_t Launch(std::unique_ptr<Transfer> t);
  void ResetAbort();
  int32_t SetType(char type);
  int32_t FinishAbort();
  void JoinWorker();
  int TimeoutMs() const { return timeoutSeconds_ * 1000; }

  std::recursive_mutex mutex_;
  std::mutex refusalMutex_;  // the reply is read on the transfer thread too
  std::string lastRefusal_;
  bool initialised_ = false;
  bool async_ = false;
  bool passive_ = false;
  int32_t port_ = FTP_DEFAULT_PORT;
  int32_t timeoutSeconds_ = FTP_DEFAULT_TIMEOUT;

  int control_ = -1;
  ReplyReader reader_;
  bool loggedOn_ = false;

  std::thread worker_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> abort_{false};
  int wakeFd_ = -1;  // eventfd that wakes a transfer's waits on FtpAbort
  std::atomic<int64_t> total_{0};
};

}  // namespace kvftp

#endif
