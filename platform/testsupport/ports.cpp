#include "platform/testsupport/ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace kv::test {

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

bool Bindable(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in a = Loopback(port);
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

}  // namespace

uint16_t FreePort() {
  // Ports below the kernel's range for outgoing connections, so that no
  // client socket of a test running beside this one takes the port between
  // this check and the server's bind; each process walks the range from a
  // start of its own, so that tests running side by side pick apart.
  constexpr uint32_t kLow = 20000, kSpan = 12000;
  static std::atomic<uint32_t> next{(static_cast<uint32_t>(getpid()) * 7919u) % kSpan};
  for (int tries = 0; tries < 500; ++tries) {
    const auto port = static_cast<uint16_t>(kLow + next.fetch_add(53) % kSpan);
    if (Bindable(port) && !CanConnect(port)) return port;
  }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

bool CanConnect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(port);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

bool WaitForPort(uint16_t port, int tries) {
  for (int i = 0; i < tries && !CanConnect(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return CanConnect(port);
}

}  // namespace kv::test
