// Parsing of one request, its path mapping and its answer's head.
#include "webserver/request.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <map>
#include <mutex>

#include <sys/random.h>

#include "platform/base/clock.h"
#include "platform/base/paths.h"
#include "platform/netbind/netbind.h"

namespace {

constexpr size_t kNameSize = 100;   // variable names, host, item, user name
constexpr size_t kValueSize = 200;  // variable values

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

std::string Cut(std::string text, size_t size) {
  if (text.size() >= size) text.resize(size - 1);
  return text;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

bool StartsNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of "name=" in a query, up to "&" or ";".
std::string QueryValue(std::string_view query, std::string_view name) {
  std::string key = std::string(name) + "=";
  size_t at = 0;
  while ((at = query.find(key, at)) != std::string_view::npos) {
    // Only a whole field name counts: "xUser=" is not "User=".
    if (at == 0 || query[at - 1] == '&' || query[at - 1] == ';') break;
    ++at;
  }
  if (at == std::string_view::npos) return {};
  size_t start = at + key.size();
  size_t end = query.find_first_of("&;", start);
  return std::string(query.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}

uint32_t DecimalValue(std::string_view text) {
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > 0xFFFFFFFFu) return 0xFFFFFFFFu;
  }
  return static_cast<uint32_t>(v);
}

// ---- the session list ----

std::mutex g_sessionLock;
std::vector<std::shared_ptr<UserSession>> g_sessions;

}  // namespace

namespace {

std::atomic<uint32_t> g_sessionTimeoutMinutes{30};

// A number from the system's random source; false when it cannot be had.
bool RandomNumber(uint32_t& out) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    ssize_t got = ::getrandom(&out, sizeof out, 0);
    if (got == static_cast<ssize_t>(sizeof out)) return true;
    if (got < 0 && errno != EINTR && errno != EAGAIN) return false;
  }
  return false;
}

bool IdleTooLong(const UserSession& s, uint32_t now, uint32_t timeoutMinutes) {
  // Unsigned subtraction keeps the idle time right across a tick wrap.
  return static_cast<uint64_t>(static_cast<uint32_t>(now - s.lastRequest)) >
         static_cast<uint64_t>(timeoutMinutes) * 60000u;
}

}  // namespace

void SetSessionTimeout(uint32_t minutes) { g_sessionTimeoutMinutes = minutes; }

std::shared_ptr<UserSession> AddUserSession(const std::string& userName, bool administrator) {
  auto s = std::make_shared<UserSession>();
  s->userName = Cut(userName, kNameSize);
  s->administrator = administrator;
  s->lastRequest = kv::TickCount();
  std::lock_guard<std::mutex> lock(g_sessionLock);
  for (;;) {
    uint32_t n = 0;
    if (!RandomNumber(n)) return nullptr;
    if (n == 0) continue;
    bool used = std::any_of(g_sessions.begin(), g_sessions.end(),
                            [n](const auto& e) { return e->userNumber == n; });
    if (used) continue;
    s->userNumber = n;
    break;
  }
  g_sessions.push_back(s);
  return s;
}

std::shared_ptr<UserSession> FindUserSession(uint32_t userNumber) {
  if (userNumber == 0) return nullptr;
  const uint32_t now = kv::TickCount();
  const uint32_t timeout = g_sessionTimeoutMinutes.load();
  std::lock_guard<std::mutex> lock(g_sessionLock);
  for (auto it = g_sessions.begin(); it != g_sessions.end(); ++it) {
    if ((*it)->userNumber != userNumber) continue;
    if (IdleTooLong(**it, now, timeout)) {
      g_sessions.erase(it);
      return nullptr;
    }
    (*it)->lastRequest = now;
    return *it;
  }
  return nullptr;
}

bool RemoveUserSession(uint32_t userNumber) {
  if (userNumber == 0) return false;
  std::lock_guard<std::mutex> lock(g_sessionLock);
  return std::erase_if(g_sessions, [&](const auto& s) { return s->userNumber == userNumber; }) > 0;
}

size_t RemoveIdleSessions(uint32_t now, uint32_t timeoutMinutes) {
  std::lock_guard<std::mutex> lock(g_sessionLock);
  const size_t before = g_sessions.size();
  std::erase_if(g_sessions, [&](const auto& s) { return IdleTooLong(*s, now, timeoutMinutes); });
  return before - g_sessions.size();
}

void ClearUserSessions() {
  std::lock_guard<std::mutex> lock(g_sessionLock);
  g_sessions.clear();
}

size_t UserSessionCount() {
  std::lock_guard<std::mutex> lock(g_sessionLock);
  return g_sessions.size();
}

void SetSessionTick(uint32_t userNumber, uint32_t tick) {
  std::lock_guard<std::mutex> lock(g_sessionLock);
  for (auto& s : g_sessions) {
    if (s->userNumber == userNumber) s->lastRequest = tick;
  }
}

// ---- slowing down guesses ----

namespace {

struct ThrottleEntry {
  uint32_t failures = 0;
  uint32_t lastFailure = 0;  // tick
  uint32_t waitMs = 0;       // from lastFailure
};

constexpr uint32_t kForgetMs = 15 * 60000;
constexpr size_t kMostThrottleKeys = 65536;

std::mutex g_throttleLock;
std::map<std::string, ThrottleEntry> g_throttle;

void PruneThrottleLocked(uint32_t now) {
  std::erase_if(g_throttle, [now](const auto& e) { return now - e.second.lastFailure > kForgetMs; });
}

}  // namespace

uint32_t ThrottleWait(const std::string& key, uint32_t now) {
  std::lock_guard<std::mutex> lock(g_throttleLock);
  auto it = g_throttle.find(key);
  if (it == g_throttle.end()) return 0;
  const uint32_t since = now - it->second.lastFailure;
  return since >= it->second.waitMs ? 0 : it->second.waitMs - since;
}

void ThrottleFailure(const std::string& key, const ThrottleRule& rule, uint32_t now) {
  std::lock_guard<std::mutex> lock(g_throttleLock);
  if (g_throttle.size() >= kMostThrottleKeys && g_throttle.find(key) == g_throttle.end()) {
    PruneThrottleLocked(now);
    // Still full: the keys that do not wait make room (memory stays bounded).
    if (g_throttle.size() >= kMostThrottleKeys)
      std::erase_if(g_throttle, [now](const auto& e) { return now - e.second.lastFailure >= e.second.waitMs; });
    if (g_throttle.size() >= kMostThrottleKeys) return;
  }
  ThrottleEntry& e = g_throttle[key];
  if (e.failures > 0 && now - e.lastFailure > kForgetMs) e.failures = 0;
  ++e.failures;
  e.lastFailure = now;
  e.waitMs = 0;
  if (e.failures > rule.freeTries) {
    const uint32_t doublings = std::min<uint32_t>(e.failures - rule.freeTries - 1, 20);
    e.waitMs = static_cast<uint32_t>(std::min<uint64_t>(500ull << doublings, rule.capMs));
  }
}

void ThrottleForget(const std::string& key) {
  std::lock_guard<std::mutex> lock(g_throttleLock);
  g_throttle.erase(key);
}

void PruneThrottle(uint32_t now) {
  std::lock_guard<std::mutex> lock(g_throttleLock);
  PruneThrottleLocked(now);
}

void ClearThrottle() {
  std::lock_guard<std::mutex> lock(g_throttleLock);
  g_throttle.clear();
}

// ---- variables and form fields ----

void RemoteRequest::GetFormField(const char* name, std::string& out) const {
  out.clear();
  if (name == nullptr) return;
  out = QueryValue(query_, name);
  std::replace(out.begin(), out.end(), '+', ' ');
}

void RemoteRequest::GetVariableText(const char* name, std::string& out) const {
  out.clear();
  if (name == nullptr) return;
  for (const auto& [n, v] : variables_) {
    if (EqualNoCase(n, name)) {
      out = v;
      return;
    }
  }
}

void RemoteRequest::GetVariableInt(const char* name, uint32_t& out) const {
  std::string text;
  GetVariableText(name, text);
  out = DecimalValue(text);
}

void RemoteRequest::SetVariableText(const char* name, const std::string& value) {
  if (name == nullptr) return;
  std::string n = Cut(name, kNameSize);
  std::string v = Cut(value, kValueSize);
  for (auto& entry : variables_) {
    if (EqualNoCase(entry.first, n)) {
      entry.second = std::move(v);
      return;
    }
  }
  variables_.emplace_back(std::move(n), std::move(v));
}

void RemoteRequest::SetVariableInt(const char* name, uint32_t value) {
  SetVariableText(name, std::to_string(value));
}

// ---- parsing ----

std::string DecodeUrlText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string CleanRequestPath(std::string_view path) {
  // Escapes are read before the segments are checked, so that neither "%2f"
  // nor "%2e" can smuggle a ".." past the check; browsers escape blanks and
  // other bytes of folder names ("%20"), and the report redirect writes them
  // so.
  std::string text;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size() && HexValue(path[i + 1]) >= 0 && HexValue(path[i + 2]) >= 0) {
      text += static_cast<char>(HexValue(path[i + 1]) * 16 + HexValue(path[i + 2]));
      i += 2;
    } else {
      text += path[i];
    }
  }
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return {};
  }
  std::string out;
  size_t start = 0;
  bool trailing = false;
  while (start <= text.size()) {
    size_t end = text.find_first_of("/\\", start);
    std::string_view seg = std::string_view(text).substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (end == std::string::npos) trailing = seg.empty();
    // Segments of dots only (".", "..", "...") never name a folder here.
    bool dots = !seg.empty() && seg.find_first_not_of('.') == std::string_view::npos;
    if (!seg.empty() && !dots) {
      out += '\\';
      out += seg;
    } else if (end == std::string::npos && dots) {
      trailing = true;
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (out.empty() || trailing) out += "\\default.htm";
  return out;
}

void RemoteRequest::SetText(std::string_view text) {
  text_.assign(text.substr(0, std::min(text.size(), kRequestBufferSize)));
  // The text ends at its first zero byte, as a C string would.
  size_t zero = text_.find('\0');
  if (zero != std::string::npos) text_.resize(zero);
}

void RemoteRequest::SetBody(std::string_view body) { body_.assign(body.substr(0, std::min(body.size(), kMostBodySize))); }

bool RemoteRequest::HeaderField(std::string_view name, std::string& out) const {
  out.clear();
  const std::string_view t = text_;
  // The header lines follow the request line; each name starts a line and
  // ends at ":" (no blank before it).
  size_t line = t.find('\n');
  while (line != std::string_view::npos) {
    const size_t start = line + 1;
    size_t end = t.find('\n', start);
    std::string_view text = t.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (text.size() > name.size() && text[name.size()] == ':' && EqualNoCase(text.substr(0, name.size()), name)) {
      std::string_view value = text.substr(name.size() + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
      out.assign(value);
      return true;
    }
    line = end;
  }
  return false;
}

long long RemoteRequest::ContentLength() const {
  std::string value;
  if (!HeaderField("Content-Length", value) || value.empty() || value.size() > 15 ||
      value.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return std::stoll(value);
}

namespace {

// A Host value that may go into a Location header as it is: a name or an
// address, with a port.
bool IsPlainHost(std::string_view host) {
  if (host.empty() || host.size() >= kNameSize) return false;
  for (unsigned char c : host) {
    if (!std::isalnum(c) && c != '.' && c != '-' && c != '_' && c != ':' && c != '[' && c != ']') return false;
  }
  return true;
}

// The session a request names by number. While the peer's address has named
// too many numbers that matched no session it gets none looked up, so that
// numbers cannot be tried one after another.
std::shared_ptr<UserSession> SessionNamed(uint32_t number, uint32_t peer) {
  if (number == 0) return nullptr;
  const std::string key = "n:" + std::to_string(peer);
  const uint32_t now = kv::TickCount();
  if (peer != 0 && ThrottleWait(key, now) > 0) return nullptr;
  auto s = FindUserSession(number);
  if (!s && peer != 0) ThrottleFailure(key, kSessionGuessRule, now);
  return s;
}

}  // namespace

void RemoteRequest::ParseHttpRequest(const WebServerSettings& settings) {
  status_ = 0;
  query_.clear();
  item_.clear();
  host_.clear();
  userName_.clear();
  userNumber_ = 0;
  localPath_.clear();
  underUsersRoot_ = false;
  headOnly_ = false;
  session_.reset();
  settings_ = settings;
  const std::string_view t = text_;

  // Fields anywhere in the text.
  for (size_t eq = t.find('='); eq != std::string_view::npos; eq = t.find('=', eq + 1)) {
    size_t back = t.find_last_of("\r\n&?", eq);
    if (back == std::string_view::npos) continue;
    std::string_view name = t.substr(back + 1, eq - back - 1);
    size_t end = t.find_first_of("&;\r\n ", eq + 1);
    std::string_view value = t.substr(eq + 1, end == std::string_view::npos ? std::string_view::npos : end - eq - 1);
    std::string n = DecodeUrlText(name);
    SetVariableText(n.c_str(), DecodeUrlText(value));
  }
  // The fields of a form sent by POST, as a query's are read.
  for (size_t start = 0; start < body_.size();) {
    size_t end = body_.find('&', start);
    if (end == std::string::npos) end = body_.size();
    std::string_view field = std::string_view(body_).substr(start, end - start);
    size_t eq = field.find('=');
    if (eq != std::string_view::npos && eq > 0) {
      std::string n = DecodeUrlText(field.substr(0, eq));
      SetVariableText(n.c_str(), DecodeUrlText(field.substr(eq + 1)));
    }
    start = end + 1;
  }

  // The Host field names the server as the client reached it; without one
  // (or with one that could not stand in a URL) the address the connection
  // came in on does.
  std::string host;
  if (HeaderField("Host", host) && IsPlainHost(host)) {
    host_ = host;
  } else {
    host_ = Cut(localAddress_, kNameSize);
  }

  size_t pos;
  if (StartsNoCase(t, "get ")) {
    pos = 4;
  } else if (StartsNoCase(t, "post ")) {
    pos = 5;
  } else if (StartsNoCase(t, "head ")) {
    pos = 5;
    headOnly_ = true;
  } else {
    return;
  }
  while (pos < t.size() && t[pos] == ' ') ++pos;
  if (pos >= t.size() || t[pos] != '/') return;
  size_t urlEnd = t.find_first_of(" \r\n", pos);
  if (urlEnd == std::string_view::npos) return;
  std::string_view url = t.substr(pos, urlEnd - pos);
  std::string_view path = url;
  size_t q = url.find('?');
  if (q != std::string_view::npos) {
    path = url.substr(0, q);
    query_ = std::string(url.substr(q + 1));
    std::string user = QueryValue(query_, "User");
    if (!user.empty()) {
      userNumber_ = DecimalValue(user);
      session_ = SessionNamed(userNumber_, peerAddress_);
      userName_ = session_ ? session_->userName : "unknown";
    }
    std::string item = QueryValue(query_, "Item");
    if (!item.empty()) {
      item_ = Cut(DecodeUrlText(item), kNameSize);
      SetVariableText("qItem", item_);
    }
  }

  // The version word: "HTTP/x.y", then blanks and exactly CR LF.
  size_t v = urlEnd;
  while (v < t.size() && t[v] == ' ') ++v;
  size_t vEnd = t.find_first_of(" \r\n", v);
  if (vEnd == std::string_view::npos || vEnd - v != 8 || !StartsNoCase(t.substr(v), "http/")) return;
  while (vEnd < t.size() && t[vEnd] == ' ') ++vEnd;
  if (t.substr(vEnd, 2) != "\r\n") return;

  // Path mapping.
  std::string mapped;
  size_t segEnd = path.find_first_of("/\\", 1);
  std::string_view first = path.substr(1, segEnd == std::string_view::npos ? std::string_view::npos : segEnd - 1);
  std::string_view rest = segEnd == std::string_view::npos ? std::string_view() : path.substr(segEnd);
  if (!first.empty() && std::isdigit(static_cast<unsigned char>(first[0]))) {
    uint32_t number = DecimalValue(first);
    auto s = session_ && userNumber_ == number ? session_ : SessionNamed(number, peerAddress_);
    if (s) {
      session_ = s;
      userNumber_ = number;
      userName_ = s->userName;
      underUsersRoot_ = true;
      if (s->administrator) {
        mapped = std::string(rest);
      } else {
        // Whatever user folder the URL names, a user reaches only his own.
        size_t next = rest.empty() ? std::string_view::npos : rest.find_first_of("/\\", 1);
        mapped = "/" + s->userName + (next == std::string_view::npos ? std::string("/") : std::string(rest.substr(next)));
      }
    } else {
      mapped = "/unknown" + std::string(rest);
    }
  } else if (StartsNoCase(path, "/users")) {
    mapped = "/unknown" + std::string(path.substr(6));
  } else {
    mapped = std::string(path);
  }
  std::string clean = CleanRequestPath(mapped);
  if (clean.empty()) return;
  localPath_ = std::string(underUsersRoot_ ? settings.usersRoot : settings.documentRoot) + clean;
}

// ---- answers ----

std::string FormatHttpDate(const std::tm& local, long utcOffsetSeconds) {
  long bias = utcOffsetSeconds < 0 ? -utcOffsetSeconds : utcOffsetSeconds;
  char buf[80];
  std::snprintf(buf, sizeof buf, "%s, %u %s %04u %02u:%02u:%02u %c%02u%02u", kDays[((local.tm_wday % 7) + 7) % 7],
                static_cast<unsigned>(local.tm_mday), kMonths[((local.tm_mon % 12) + 12) % 12],
                static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_hour),
                static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec),
                utcOffsetSeconds > 0 ? '+' : '-', static_cast<unsigned>(bias / 3600),
                static_cast<unsigned>((bias / 60) % 60));
  return buf;
}

int32_t ReportTypeFromStatus(std::string_view image) {
  if (image.size() <= 415) return 0;
  std::string_view text = image.substr(415);
  if (text.empty() || text[0] < '0' || text[0] > '9') return 0;
  uint32_t type = DecimalValue(text);
  return type <= 4 ? static_cast<int32_t>(type) : 0;
}

const char* ReportExtension(int32_t type) {
  static const char* const kExt[5] = {"htm", "doc", "xls", "cvs", "txt"};
  return type >= 0 && type <= 4 ? kExt[type] : kExt[0];
}

bool IsSafeItemName(std::string_view item) {
  if (item.empty() || item.size() >= kNameSize) return false;
  if (item.find_first_not_of('.') == std::string_view::npos) return false;
  for (unsigned char c : item) {
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
  }
  return true;
}

std::string UrlPath(std::string_view text) {
  static const char* const hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string ContentTypeOf(std::string_view path, std::string_view start) {
  size_t cut = path.find_last_of("\\/");
  std::string_view name = cut == std::string_view::npos ? path : path.substr(cut + 1);
  size_t dot = name.rfind('.');
  std::string ext;
  if (dot != std::string_view::npos) {
    for (char c : name.substr(dot + 1)) ext += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (ext == "htm" || ext == "html") return "text/html";
  if (ext == "gif") return "image/gif";
  if (ext == "xls") return "application/msexcel";
  if (ext == "doc") return "application/msword";
  if (ext == "png") return "image/png";
  if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
  if (ext == "ico") return "image/x-icon";
  if (ext == "css") return "text/css";
  if (ext == "js") return "text/javascript";
  if (ext == "cvs" || ext == "csv") return "text/csv";
  if (ext == "txt") {
    // A text report may have been written as an HTML document.
    size_t at = start.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (at < start.size() && std::isspace(static_cast<unsigned char>(start[at]))) ++at;
    std::string_view rest = start.substr(at);
    if (StartsNoCase(rest, "<!doctype html") || StartsNoCase(rest, "<html")) return "text/html";
    return "text/plain";
  }
  return "application/octet-stream";
}

std::string RemoteRequest::BuildHttpResponse(uint32_t /*tick*/, const std::tm& local, long utcOffsetSeconds) const {
  // The answers for redirects and errors carry a short page of their own.
  auto whole = [](const std::string& statusLine, const std::string& fields, const std::string& body) {
    return statusLine + "\r\n" + fields + "Content-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
  };
  if (status_ == 200) {
    std::string head = "HTTP/1.0 200 OK\r\nServer: Kelvaron Server\r\nAllow: GET, POST, HEAD\r\n";
    const std::string type = contentType_.empty() ? ContentTypeOf(localPath_, "") : contentType_;
    // Addresses carry session numbers: no page tells them to another site.
    head += "Content-Type: " + type + "\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n";
    if (contentLength_ >= 0) head += "Content-Length: " + std::to_string(contentLength_) + "\r\n";
    head += "Cache-Control: no-cache, no-store\r\nPragma: no-cache\r\nDate: " + FormatHttpDate(local, utcOffsetSeconds) + "\r\n\r\n";
    return head;
  }
  if (status_ == 301) {
    std::string_view root = settings_.documentRoot;
    std::string rel;
    if (!underUsersRoot_ && localPath_.compare(0, root.size(), root) == 0) {
      rel = localPath_.substr(root.size());
      if (!rel.empty() && (rel[0] == '\\' || rel[0] == '/')) rel.erase(0, 1);
    } else {
      size_t cut = localPath_.find_last_of("\\/");
      rel = cut == std::string::npos ? localPath_ : localPath_.substr(cut + 1);
    }
    std::replace(rel.begin(), rel.end(), '\\', '/');
    return whole("HTTP/1.0 301 Redirect", "Location: http://" + host_ + "/" + UrlPath(rel) + "\r\n",
                 "<TITLE>URL Moved</TITLE>\r\nURL Moved\r\n");
  }
  if (status_ == kStatusReportRedirect && IsSafeItemName(item_) && IsSafeItemName(userName_)) {
    int32_t type = 0;
    std::string status = std::string(settings_.usersRoot) + "\\" + userName_ + "\\" + item_ + "\\status.rep";
    FILE* f = std::fopen(kv::ResolvePath(status).c_str(), "rb");
    if (f != nullptr) {
      char image[1971];
      size_t n = std::fread(image, 1, sizeof image, f);
      std::fclose(f);
      type = ReportTypeFromStatus(std::string_view(image, n));
    }
    // Behind the user number the path names a user's folder (which only an
    // administrator may choose), so the report's owner comes before the item.
    return whole("HTTP/1.0 301 Redirect",
                 "Location: http://" + host_ + "/" + std::to_string(userNumber_) + "/" + UrlPath(userName_) + "/" +
                     UrlPath(item_) + "/rep." + ReportExtension(type) + "\r\n",
                 "<TITLE>URL Moved</TITLE>\r\nURL Moved\r\n");
  }
  if (status_ == 503)
    return whole("HTTP/1.0 503 Service Unavailable", "Retry-After: 5\r\n", "<TITLE>Server Busy</TITLE>\r\nServer Busy\r\n");
  return whole("HTTP/1.0 404 URL Not Found", "", "<TITLE>URL Not Found</TITLE>\r\nURL Not Found\r\n");
}

namespace {

// Cuts the values of the fields with one of `names` (decoded, any case) out
// of a log line. A name runs back to a separator of the line; a value ends
// where the request's own field reading ends it.
std::string HideFields(std::string_view line, std::initializer_list<std::string_view> names) {
  std::string out(line);
  for (size_t eq = out.find('='); eq != std::string::npos; eq = out.find('=', eq + 1)) {
    if (eq == 0) continue;
    size_t back = out.find_last_of("&?;\\/ \"\r\n", eq - 1);
    size_t start = back == std::string::npos ? 0 : back + 1;
    const std::string name = DecodeUrlText(std::string_view(out).substr(start, eq - start));
    if (std::none_of(names.begin(), names.end(), [&](std::string_view n) { return EqualNoCase(name, n); })) continue;
    size_t end = out.find_first_of("&; \r\n", eq + 1);
    if (end == std::string::npos) end = out.size();
    out.erase(eq + 1, end - eq - 1);
  }
  return out;
}

}  // namespace

std::string HidePasswords(std::string_view line) { return HideFields(line, {"Password"}); }

std::string HideSecrets(std::string_view line) { return HideFields(line, {"Password", "User"}); }

std::string BuildAccessLogLine(const RemoteRequest& r, const uint8_t peer[4], const std::tm& local) {
  // The served path relative to the root that served it, "\" kept.
  std::string_view root = r.underUsersRoot_ ? r.settings_.usersRoot : r.settings_.documentRoot;
  std::string path = r.localPath_;
  if (path.compare(0, root.size(), root) == 0) path.erase(0, root.size());
  char buf[128];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u - ", peer[0], peer[1], peer[2], peer[3]);
  std::string line = buf;
  line += r.userName_.empty() ? "-" : r.userName_;
  std::snprintf(buf, sizeof buf, " [%u/%s/%u:%u:%u:%u] \"GET ", static_cast<unsigned>(local.tm_mday),
                kMonths[((local.tm_mon % 12) + 12) % 12], static_cast<unsigned>(local.tm_year + 1900),
                static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                static_cast<unsigned>(local.tm_sec));
  line += buf;
  line += path;
  if (!r.query_.empty()) line += "?" + r.query_;
  line += " HTTP/1.0\" " + std::to_string(r.status_) + " 0\r\n";
  return HideSecrets(line);
}

void RemoteRequest::SendHttpResponse() const {
  std::time_t now = kv::Now();
  std::tm local{};
  kv::LocalTime(now, &local);
  std::string head = BuildHttpResponse(kv::TickCount(), local, local.tm_gmtoff);
  if (g_networkBinding.socketModule != nullptr && g_networkBinding.send != nullptr) {
    g_networkBinding.send(socket_, head.data(), static_cast<int32_t>(head.size()), 0);
  }
}
