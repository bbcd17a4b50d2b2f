// The report server's whole answer to any request: the request as the
// listener hands it on (head, and a POST's body), its parse, AnswerRequest
// over the shipped page templates with every tag, a user's report folder
// with its status.rep, the account file, and the access log line.
// In the input "@USER@" stands for the session number of a logged-on user,
// "@ADMIN@" for an administrator's and "@PASSWORD@" for the user's password,
// so that real requests reach past the log-on.
// Whatever the request, the answer received ends its head (CR LF CR LF, no
// bare LF within it), and the access log line never holds the password
// where the request gave it as a Password field.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

#include "platform/base/paths.h"
#include "platform/netbind/netbind.h"
#include "shell/settings_file.h"
#include "webserver/request.h"
#include "webserver/server_internal.h"
#include "webserver/webserver.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kPassword = "Rq7-vX2w_Lp9";
std::string g_folder;
WebServerSettings g_settings{};
// A listener of the socket module on a free loopback port: the answer goes
// out on a socket that module accepted, as the server's does.
WsSocket g_listener = WS_INVALID_SOCKET;
sockaddr_in g_address{};

void Put(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// alice's report folder as a run leaves it (a deleting request removes it).
void PutReport() {
  const fs::path report = fs::path(g_folder) / "Reports" / "Remote Reports" / "users" / "alice" / "month";
  if (fs::exists(report / "status.rep")) return;
  Put(report / "rep.htm", "<html><body><h1>month</h1></body></html>\r\n");
  Put(report / "status.rep", BuildStatusImage("month", 1796988080, kReportHtml));
}

void Replace(std::string& text, std::string_view name, const std::string& value) {
  for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size()))
    text.replace(at, name.size(), value);
}

// Whether every place the request holds the password is the value of a
// field named Password (the name starting the query or a field of it).
bool PasswordOnlyAsField(const std::string& text) {
  static const std::string kField = "password=";
  bool any = false;
  for (size_t at = text.find(kPassword); at != std::string::npos; at = text.find(kPassword, at + 1)) {
    any = true;
    if (at < kField.size() + 1) return false;
    const char before = text[at - kField.size() - 1];
    if (before != '?' && before != '&' && before != ';') return false;
    for (size_t i = 0; i < kField.size(); ++i) {
      const char c = text[at - kField.size() + i];
      if ((c >= 'A' && c <= 'Z' ? c + 32 : c) != kField[i]) return false;
    }
  }
  return any;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The socket module is loaded from the program folder: the built one
  // beside this fuzzer's folder unless told otherwise.
  const std::string bin = kv::ProgramFolder() + "../bin/";
  if (std::getenv("KV_PROGRAM_DIR") == nullptr) setenv("KV_PROGRAM_DIR", bin.c_str(), 1);
  setenv("TZ", "UTC", 1);
  char pattern[] = "/tmp/kvanswerfuzzXXXXXX";
  if (mkdtemp(pattern) == nullptr) abort();
  g_folder = std::string(pattern) + "/";
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(g_folder, ignored);
  });
  std::error_code ec;
  fs::copy(bin + "wwwroot", g_folder + "wwwroot", fs::copy_options::recursive, ec);
  if (ec || !fs::exists(g_folder + "wwwroot/default.htm")) abort();
  Put(g_folder + "KELVARON.INI", "[Defaults]\r\n");
  Put(g_folder + "accounts", std::string("# accounts\nalice:") + kPassword + ":staff\ncarol:pw2:staff,admins\n");
  setenv("KV_LOGON_USERS", (g_folder + "accounts").c_str(), 1);
  setenv("KV_DEBUG_LOG", (g_folder + "debug.log").c_str(), 1);
  StoreProgramPath((g_folder + "KELVARON").c_str());
  InitWebServerSettings();
  if (BindNetworkLibraries() == 0) abort();
  const NetworkLibraryBinding& ws = g_networkBinding;
  WsaData wsa{};
  ws.WSAStartup(0x0101, &wsa);
  g_listener = ws.socket(WS_AF_INET, WS_SOCK_STREAM, 0);
  WsSockAddrIn address{};
  address.family = WS_AF_INET;
  address.port = 0;
  address.address = ws.inet_addr("127.0.0.1");
  if (g_listener == WS_INVALID_SOCKET ||
      ws.bind(g_listener, reinterpret_cast<const WsSockAddr*>(&address), sizeof address) != 0 ||
      ws.listen(g_listener, 16) != 0)
    abort();
  socklen_t length = sizeof g_address;
  if (::getsockname(static_cast<int>(g_listener), reinterpret_cast<sockaddr*>(&g_address), &length) != 0) abort();
  g_settings = GetWebServerSettings();
  std::snprintf(g_settings.programFolder, sizeof g_settings.programFolder, "%s", g_folder.c_str());
  std::snprintf(g_settings.iniPath, sizeof g_settings.iniPath, "%sKELVARON.INI", g_folder.c_str());
  std::snprintf(g_settings.documentRoot, sizeof g_settings.documentRoot, "%swwwroot", g_folder.c_str());
  std::snprintf(g_settings.usersRoot, sizeof g_settings.usersRoot, "%sReports\\Remote Reports\\users",
                g_folder.c_str());
  std::snprintf(g_settings.webAdmin, sizeof g_settings.webAdmin, "gadmins");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  ClearUserSessions();
  ClearThrottle();
  const auto user = AddUserSession("alice", false);
  const auto admin = AddUserSession("carol", true);
  if (!user || !admin) abort();
  PutReport();

  std::string text(reinterpret_cast<const char*>(data), size);
  Replace(text, "@USER@", std::to_string(user->userNumber));
  Replace(text, "@ADMIN@", std::to_string(admin->userNumber));
  Replace(text, "@PASSWORD@", kPassword);

  // The listener's split: the head up to its empty line, what follows as
  // the start of the body.
  const size_t end = HeadEnd(text);
  const std::string head = text.substr(0, end == std::string::npos ? text.size() : end);
  const std::string body = end == std::string::npos ? std::string() : text.substr(end);

  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (client < 0 || ::connect(client, reinterpret_cast<const sockaddr*>(&g_address), sizeof g_address) != 0) abort();
  WsSockAddrIn peerAddress{};
  int32_t peerLength = sizeof peerAddress;
  const WsSocket socket =
      g_networkBinding.accept(g_listener, reinterpret_cast<WsSockAddr*>(&peerAddress), &peerLength);
  if (socket == WS_INVALID_SOCKET) abort();
  ::fcntl(static_cast<int>(socket), F_SETFL, ::fcntl(static_cast<int>(socket), F_GETFL) & ~O_NONBLOCK);
  std::string received;
  std::thread reader([&received, client] {
    char block[65536];
    for (;;) {
      const ssize_t got = ::read(client, block, sizeof block);
      if (got <= 0) break;
      received.append(block, static_cast<size_t>(got));
    }
  });

  RemoteRequest request(socket);
  request.peerAddress_ = 0x0100007F;
  request.localAddress_ = "127.0.0.1:99";
  request.SetText(head);
  if (strncasecmp(head.c_str(), "post ", 5) == 0 && request.ContentLength() > 0) {
    request.SetBody(std::string_view(body).substr(
        0, static_cast<size_t>(std::min<long long>(request.ContentLength(), static_cast<long long>(kMostBodySize)))));
  }
  request.ParseHttpRequest(g_settings);
  AnswerRequest(request);
  ::shutdown(static_cast<int>(socket), SHUT_WR);
  reader.join();
  // The client ends with a reset, so that no connection of the thousands a
  // run makes lingers in TIME_WAIT and holds a port of the machine.
  const linger reset{1, 0};
  ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(client);
  g_networkBinding.closesocket(socket);

  // The answer ends its head, and no header line was split.
  const size_t headEnd = received.find("\r\n\r\n");
  if (headEnd == std::string::npos) __builtin_trap();
  for (size_t i = 1; i < headEnd; ++i) {
    if (received[i] == '\n' && received[i - 1] != '\r') __builtin_trap();
  }

  std::tm local{};
  local.tm_year = 126;
  const uint8_t peer[4] = {127, 0, 0, 1};
  const std::string line = BuildAccessLogLine(request, peer, local);
  if (PasswordOnlyAsField(head) && line.find(kPassword) != std::string::npos) __builtin_trap();
  return 0;
}
