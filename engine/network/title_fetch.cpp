// Reading the title of a page from the network. The fetch is synchronous:
// the report that asks waits for the answer, each read bounded by the
// transfer time-out.
#include "engine/network/title_fetch.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <vornic/settings.h>

#include "engine/core/engine_state.h"
#include "engine/network/remote_logs.h"
#include "engine/network/title_cache.h"
#include "platform/ftp4w32/ftp4w32.h"
#include "platform/netbind/netbind.h"

namespace vrn {

namespace {

constexpr const char kUserAgent[] = "Kelvaron/4.0";
constexpr size_t kStatusWidth = 80;  // each status text, terminator included

constexpr uint32_t kTextConnecting = 5602;
constexpr uint32_t kTextReceiving = 5603;
constexpr uint32_t kTextReadingTitle = 5604;
constexpr uint32_t kTextWaiting = 5605;
constexpr uint32_t kTextComplete = 5606;

void Status(TitleStatusCallback callback, const std::string& text) {
  if (callback == nullptr) return;
  const std::string cut = text.size() < kStatusWidth ? text : text.substr(0, kStatusWidth - 1);
  callback(0, cut.c_str(), 0);
}

std::string Prefixed(uint32_t id, const std::string& what) { return std::string(LoadResString(id)) + what; }

bool IsBlank(unsigned char c) { return c <= 0x20 || c == 0x7F; }

const char* FindNoCase(const char* from, const char* end, const char* what) {
  const size_t n = std::strlen(what);
  for (const char* p = from; end - p >= static_cast<ptrdiff_t>(n); ++p) {
    if (strncasecmp(p, what, n) == 0) return p;
  }
  return nullptr;
}

int TimeoutSeconds() {
  const int32_t seconds = GetModuleProfileInt("Defaults", "TransferTimeout", 30);
  return seconds > 0 ? seconds : 30;
}

// Bytes outside the printable range are sent as %XX so that the request
// line stays one line.
std::string RequestPath(const std::string& path) {
  std::string out;
  for (const unsigned char c : path) {
    if (c <= 0x20 || c >= 0x7F) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

// Waits for the socket to become readable; false on time-out or error.
bool WaitReadable(WsSocket s, int seconds) {
  WsFdSet set{};
  set.count = 1;
  set.sockets[0] = s;
  WsTimeVal timeout{seconds, 0};
  return g_networkBinding.select(0, &set, nullptr, nullptr, &timeout) > 0;
}

// Connects without waiting longer than the time-out for an answer (a host
// that never answers would otherwise hold the report for minutes); the
// socket is blocking again afterwards.
bool ConnectWithin(WsSocket s, const WsSockAddrIn& server, int seconds) {
  const NetworkLibraryBinding& ws = g_networkBinding;
  uint32_t nonBlocking = 1;
  if (ws.ioctlsocket(s, WS_FIONBIO, &nonBlocking) != 0) return false;
  if (ws.connect(s, reinterpret_cast<const WsSockAddr*>(&server), sizeof server) != 0) {
    if (ws.WSAGetLastError() != WSAEWOULDBLOCK) return false;
    WsFdSet writable{};
    writable.count = 1;
    writable.sockets[0] = s;
    WsTimeVal timeout{seconds, 0};
    if (ws.select(0, nullptr, &writable, nullptr, &timeout) <= 0) return false;
    int32_t error = 0;
    int32_t length = sizeof error;
    if (ws.getsockopt(s, WS_SOL_SOCKET, WS_SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 || error != 0) {
      return false;
    }
  }
  uint32_t blocking = 0;
  return ws.ioctlsocket(s, WS_FIONBIO, &blocking) == 0;
}

bool SendAll(WsSocket s, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const int32_t n = g_networkBinding.send(s, data.data() + sent, static_cast<int32_t>(data.size() - sent), 0);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

TitleFetch FetchHttpTitle(const std::string& address, const PageLocation& at, const char* user, const char* password,
                          TitleStatusCallback callback, std::string* title) {
  const NetworkLibraryBinding& ws = g_networkBinding;
  uint32_t ip = 0;
  if (!ResolveHostAddress(at.host, &ip)) return TitleFetch::kUnreachable;
  const WsSocket s = ws.socket(WS_AF_INET, WS_SOCK_STREAM, 0);
  if (s == WS_INVALID_SOCKET) return TitleFetch::kUnreachable;
  WsSockAddrIn server{};
  server.family = WS_AF_INET;
  server.port = ws.htons_(at.port);
  server.address = ip;
  Status(callback, Prefixed(kTextConnecting, at.host));
  if (!ConnectWithin(s, server, TimeoutSeconds())) {
    ws.closesocket(s);
    return TitleFetch::kUnreachable;
  }

  std::string request = "GET " + RequestPath(at.path) + " HTTP/1.0\r\nHost: " + at.host;
  if (at.port != 80) request += ":" + std::to_string(at.port);
  request += "\r\nUser-Agent: ";
  request += kUserAgent;
  request += "\r\nAccept: text/html, */*\r\n";
  if (user != nullptr && user[0] != '\0') {
    request += "Authorization: Basic " +
               EncodeBase64(std::string(user) + ":" + (password != nullptr ? password : "")) + "\r\n";
  }
  request += "\r\n";
  if (!SendAll(s, request)) {
    ws.closesocket(s);
    return TitleFetch::kNoTitle;
  }

  Status(callback, Prefixed(kTextWaiting, at.host));
  const int timeout = TimeoutSeconds();
  std::string data;
  size_t bodyAt = 0;
  bool headRead = false;
  bool complete = false;  // the page (or its title) arrived before any failure
  uint64_t bodyLength = UINT64_MAX;
  char chunk[4096];
  while (data.size() < kTitlePageLimit) {
    if (!WaitReadable(s, timeout)) break;
    const size_t room = std::min(sizeof chunk, kTitlePageLimit - data.size());
    const int32_t n = ws.recv(s, chunk, static_cast<int32_t>(room), 0);
    if (n <= 0) {
      complete = n == 0;
      break;
    }
    data.append(chunk, static_cast<size_t>(n));
    if (!headRead) {
      HttpResponseHead head;
      const HeadScan scan = ScanHttpResponseHead(data.data(), data.size(), &head);
      if (scan == HeadScan::kNeedMore) continue;
      // Only a page that was served has a title: an error page's title is
      // not the page's.
      if (scan == HeadScan::kFailed || head.status != 200) break;
      headRead = true;
      bodyAt = head.headerLength;
      if (head.hasContentLength) bodyLength = head.contentLength;
      Status(callback, Prefixed(kTextReceiving, address));
    }
    std::string found;
    if (ExtractHtmlTitle(data.data() + bodyAt, data.size() - bodyAt, &found) || data.size() - bodyAt >= bodyLength) {
      complete = true;
      break;
    }
  }
  ws.closesocket(s);
  if (!headRead) return TitleFetch::kNoTitle;
  if (complete) Status(callback, LoadResString(kTextComplete));
  // Whatever arrived before a time-out may still hold the title.
  return ExtractHtmlTitle(data.data() + bodyAt, data.size() - bodyAt, title) ? TitleFetch::kFound
                                                                             : TitleFetch::kNoTitle;
}

TitleFetch FetchFtpTitle(const PageLocation& at, const char* user, const char* password, TitleStatusCallback callback,
                         std::string* title) {
  const NetworkLibraryBinding& ws = g_networkBinding;
  // The FTP module holds one session: a remote log copy in progress owns it.
  if (g_fetch.busy != 0) return TitleFetch::kNoTitle;
  const char* name = user != nullptr && user[0] != '\0' ? user : "anonymous";
  const char* secret = password != nullptr ? password : "";
  Status(callback, LogonText(name, at.host.c_str()));
  ws.FtpSetSynchronousMode();
  ws.FtpSetDefaultPort(at.port);
  ws.FtpSetDefaultTimeOut(TimeoutSeconds());
  // The data connection is made as for remote log copies.
  ws.FtpSetPassiveMode(ParseIntText(GetModuleProfileStr("Defaults", "FTPPassive", "0").c_str()) != 0 ? 1 : 0);
  const int32_t logon = ws.FtpLogin(at.host.c_str(), name, secret, 0, 0);
  if (logon != 0) {
    ws.FtpLocalClose();
    return logon == FTP_E_HOST_NOT_FOUND || logon == FTP_E_CONNECT_FAILED ? TitleFetch::kUnreachable
                                                                         : TitleFetch::kNoTitle;
  }
  std::error_code ec;
  std::string local = (std::filesystem::temp_directory_path(ec) / "kvtitle_XXXXXX").string();
  const int fd = mkstemp(local.data());
  TitleFetch result = TitleFetch::kNoTitle;
  if (fd >= 0) {
    close(fd);
    Status(callback, Prefixed(kTextReceiving, at.path));
    if (ws.FtpRecvFile(at.path.c_str(), local.c_str(), FTP_TYPE_BINARY, 0, 0, 0) == 0) {
      std::ifstream in(local, std::ios::binary);
      std::string data(kTitlePageLimit, '\0');
      in.read(data.data(), static_cast<std::streamsize>(data.size()));
      data.resize(static_cast<size_t>(in.gcount()));
      Status(callback, LoadResString(kTextComplete));
      if (ExtractHtmlTitle(data.data(), data.size(), title)) result = TitleFetch::kFound;
    }
    std::filesystem::remove(local, ec);
  }
  if (ws.FtpCloseConnection() != 0) ws.FtpLocalClose();
  return result;
}

}  // namespace

bool ExtractHtmlTitle(const char* data, size_t size, std::string* title) {
  if (data == nullptr) return false;
  const char* end = data + size;
  const char* p = data;
  const char* open = nullptr;
  // "<title" followed by ">" or white space, not a longer tag name.
  while ((p = FindNoCase(p, end, "<title")) != nullptr) {
    const char* after = p + 6;
    if (after < end && (*after == '>' || IsBlank(static_cast<unsigned char>(*after)))) {
      open = after;
      break;
    }
    p = after;
  }
  if (open == nullptr) return false;
  const char* text = static_cast<const char*>(std::memchr(open, '>', static_cast<size_t>(end - open)));
  if (text == nullptr) return false;
  ++text;
  const char* close = FindNoCase(text, end, "</title");
  if (close == nullptr) return false;
  std::string out;
  bool blank = false;
  for (const char* c = text; c < close; ++c) {
    if (IsBlank(static_cast<unsigned char>(*c))) {
      blank = true;
      continue;
    }
    if (blank && !out.empty()) {
      // A blank is kept only when a character can follow it.
      if (out.size() + 1 >= kTitleTextMax) break;
      out.push_back(' ');
    }
    blank = false;
    out.push_back(*c);
    if (out.size() >= kTitleTextMax) break;
  }
  if (out.empty()) return false;
  *title = std::move(out);
  return true;
}

bool ParsePageLocation(const std::string& address, PageLocation* location) {
  PageLocation at;
  std::string rest = address;
  size_t scheme = rest.find("://");
  // A "://" later in the address (in its query, say) names no scheme.
  if (scheme != std::string::npos && rest.find_first_of("/?#") < scheme) scheme = std::string::npos;
  if (scheme != std::string::npos) {
    const std::string name = rest.substr(0, scheme);
    if (strcasecmp(name.c_str(), "ftp") == 0) {
      at.ftp = true;
      at.port = 21;
    } else if (strcasecmp(name.c_str(), "http") != 0) {
      return false;
    }
    rest.erase(0, scheme + 3);
  }
  if (const size_t hash = rest.find('#'); hash != std::string::npos) rest.resize(hash);
  const size_t slash = rest.find_first_of("/?");
  std::string authority = rest.substr(0, slash);
  if (slash != std::string::npos) {
    at.path = rest.substr(slash);
    if (at.path[0] == '?') at.path.insert(0, "/");
  }
  if (const size_t colon = authority.find(':'); colon != std::string::npos) {
    const std::string port = authority.substr(colon + 1);
    authority.resize(colon);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long value = std::strtoul(port.c_str(), nullptr, 10);
    if (value == 0 || value > 65535) return false;
    at.port = static_cast<uint16_t>(value);
  }
  if (authority.empty()) return false;
  for (const unsigned char c : authority) {
    if (IsBlank(c) || c == '@') return false;
  }
  at.host = authority;
  *location = std::move(at);
  return true;
}

TitleFetch FetchPageTitle(const std::string& address, const char* user, const char* password,
                          TitleStatusCallback callback, std::string* title) {
  PageLocation at;
  if (!ParsePageLocation(address, &at)) return TitleFetch::kNoTitle;
  // Without the network modules no socket can be made.
  if (g_networkBinding.socketModule == nullptr || g_networkBinding.ftpModule == nullptr) {
    return TitleFetch::kUnreachable;
  }
  Status(callback, Prefixed(kTextReadingTitle, address));
  return at.ftp ? FetchFtpTitle(at, user, password, callback, title)
                : FetchHttpTitle(address, at, user, password, callback, title);
}

}  // namespace vrn
