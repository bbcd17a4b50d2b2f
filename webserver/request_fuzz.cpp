// Request texts from the network: parsing, path mapping, the answer's head
// and the access log line must hold for any bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "webserver/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = [] {
    AddUserSession("alice", false);
    return true;
  }();
  (void)once;
  WebServerSettings settings{};
  std::strcpy(settings.documentRoot, "/nonexistent/wwwroot");
  std::strcpy(settings.usersRoot, "/nonexistent/users");
  RemoteRequest request(WS_INVALID_SOCKET);
  request.localAddress_ = "127.0.0.1:99";
  // A head, and what follows its empty line as a form's body.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t end = text.find("\r\n\r\n");
  request.SetText(text.substr(0, end == std::string::npos ? text.size() : end + 2));
  if (end != std::string::npos) request.SetBody(std::string_view(text).substr(end + 4));
  request.ParseHttpRequest(settings);
  // Whatever the request, a mapped path stays under its root.
  if (!request.localPath_.empty()) {
    const std::string root = request.underUsersRoot_ ? settings.usersRoot : settings.documentRoot;
    if (request.localPath_.compare(0, root.size(), root) != 0) __builtin_trap();
    std::string rest = request.localPath_.substr(root.size()) + "\\";
    size_t start = 0;
    for (size_t i = 0; i < rest.size(); ++i) {
      if (rest[i] == '\\' || rest[i] == '/') {
        if (rest.compare(start, i - start, "..") == 0 && i - start == 2) __builtin_trap();
        start = i + 1;
      }
    }
  }
  std::tm local{};
  local.tm_year = 126;
  for (uint16_t status : {uint16_t{0}, uint16_t{200}, uint16_t{301}, uint16_t{503}, kStatusReportRedirect}) {
    request.status_ = status;
    std::string head = request.BuildHttpResponse(1, local, 3600);
    // No header may be split by text taken from the request.
    size_t end = head.find("\r\n\r\n");
    if (end == std::string::npos) __builtin_trap();
    for (size_t i = 0; i < end; ++i) {
      if (head[i] == '\n' && head[i - 1] != '\r') __builtin_trap();
    }
  }
  uint8_t peer[4] = {127, 0, 0, 1};
  std::string line = BuildAccessLogLine(request, peer, local);
  (void)line;
  return 0;
}
