// Parsing of one request, its path mapping and its answer's head.
#include "webserver/request.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>

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

std::shared_ptr<UserSession> AddUserSession(const std::string& userName, bool administrator) {
  static std::mutex randomLock;
  static std::mt19937 random{std::random_device{}()};
  auto s = std::make_shared<UserSession>();
  s->userName = Cut(userName, kNameSize);
  s->administrator = administrator;
  s->lastRequest = kv::TickCount();
  std::lock_guard<std::mutex> lock(g_sessionLock);
  for (;;) {
    uint32_t n;
    {
      std::lock_guard<std::mutex> r(randomLock);
      n = random() & 0x7FFFFFFFu;
    }
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
  std::lock_guard<std::mutex> lock(g_sessionLock);
  for (auto& s : g_sessions) {
    if (s->userNumber == userNumber) {
      s->lastRequest = kv::TickCount();
      return s;
    }
  }
  return nullptr;
}

size_t RemoveIdleSessions(uint32_t now, uint32_t timeoutMinutes) {
  const uint64_t limit = static_cast<uint64_t>(timeoutMinutes) * 60000u;
  std::lock_guard<std::mutex> lock(g_sessionLock);
  const size_t before = g_sessions.size();
  // Unsigned subtraction keeps the idle time right across a tick wrap.
  std::erase_if(g_sessions, [&](const auto& s) { return static_cast<uint32_t>(now - s->lastRequest) > limit; });
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

void RemoteRequest::ParseHttpRequest(const WebServerSettings& settings) {
  status_ = 0;
  query_.clear();
  item_.clear();
  host_.clear();
  userName_.clear();
  userNumber_ = 0;
  localPath_.clear();
  underUsersRoot_ = false;
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

  size_t hostAt = t.find("Host: ");
  if (hostAt == std::string_view::npos) return;
  {
    size_t start = hostAt + 6;
    size_t end = t.find_first_of(" \r\n", start);
    host_ = Cut(std::string(t.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start)),
                kNameSize);
  }

  size_t pos;
  if (StartsNoCase(t, "get ")) {
    pos = 4;
  } else if (StartsNoCase(t, "post ")) {
    pos = 5;
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
      session_ = FindUserSession(userNumber_);
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
    auto s = FindUserSession(number);
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
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':' || c == '"' || c == '<' || c == '>' ||
        c == '|' || c == '*' || c == '?')
      return false;
  }
  return true;
}

std::string RemoteRequest::BuildHttpResponse(uint32_t tick, const std::tm& local, long utcOffsetSeconds) const {
  char buf[1024];
  if (status_ == 200) {
    const char* type = "";
    if (localPath_.find(".htm") != std::string::npos) {
      type = "Content-Type: text/html\r\n";
    } else if (localPath_.find(".gif") != std::string::npos) {
      type = "Content-Type: image/gif\r\n";
    } else if (localPath_.find(".xls") != std::string::npos) {
      type = "Content-Type: application/msexcel\r\n";
    } else if (localPath_.find(".doc") != std::string::npos) {
      type = "Content-Type: application/msword\r\n";
    }
    std::snprintf(buf, sizeof buf,
                  "HTTP/1.0 200 OK\r\nServer: Kelvaron Server\r\nAllow: GET, POST\r\n%sCache-Control: "
                  "no-cache\r\nPragma: no-cache\r\nDate: %s\r\n\r\n",
                  type, FormatHttpDate(local, utcOffsetSeconds).c_str());
    return buf;
  }
  if (status_ == 301) {
    std::string_view root = settings_.documentRoot;
    std::string rel;
    if (!underUsersRoot_ && localPath_.compare(0, root.size(), root) == 0) {
      rel = localPath_.substr(root.size());
      if (!rel.empty() && (rel[0] == '\\' || rel[0] == '/')) rel.erase(0, 1);
    } else {
      size_t cut = localPath_.find_last_of("\\/", localPath_.find('?'));
      rel = cut == std::string::npos ? localPath_ : localPath_.substr(cut + 1);
    }
    size_t qm = rel.find('?');
    std::replace(rel.begin(), qm == std::string::npos ? rel.end() : rel.begin() + static_cast<long>(qm), '\\', '/');
    std::snprintf(buf, sizeof buf, "HTTP/1.0 301 Redirect\r\nLocation: http://%s/%s\r\n\r\n<TITLE>URL Moved</TITLE>\r\nURL Moved #%u\r\n",
                  host_.c_str(), rel.c_str(), tick);
    return buf;
  }
  if (status_ == kStatusReportRedirect && IsSafeItemName(item_) && !userName_.empty()) {
    int32_t type = 0;
    std::string status = std::string(settings_.usersRoot) + "\\" + userName_ + "\\" + item_ + "\\status.rep";
    FILE* f = std::fopen(kv::ResolvePath(status).c_str(), "rb");
    if (f != nullptr) {
      char image[1971];
      size_t n = std::fread(image, 1, sizeof image, f);
      std::fclose(f);
      type = ReportTypeFromStatus(std::string_view(image, n));
    }
    auto blanks = [](const std::string& text) {
      std::string out;
      for (char c : text) out += c == ' ' ? std::string("%20") : std::string(1, c);
      return out;
    };
    // Behind the user number the path names a user's folder (which only an
    // administrator may choose), so the report's owner comes before the item.
    std::snprintf(buf, sizeof buf, "HTTP/1.0 301 Redirect\r\nLocation: http://%s/%lu/%s/%s/rep.%s\r\n\r\n",
                  host_.c_str(), static_cast<unsigned long>(userNumber_), blanks(userName_).c_str(),
                  blanks(item_).c_str(), ReportExtension(type));
    std::string out = buf;
    std::replace(out.begin(), out.end(), '\\', '/');
    return out;
  }
  std::snprintf(buf, sizeof buf, "HTTP/1.0 404 URL Not Found\r\n\r\n<TITLE>URL Not Found</TITLE>\r\nURL Not Found #%u\r\n",
                tick);
  return buf;
}

std::string HidePasswords(std::string_view line) {
  // The logon page reads the field by its decoded name ("%50assword" is
  // "Password"), so the names are decoded here too before they are compared.
  std::string out(line);
  for (size_t eq = out.find('='); eq != std::string::npos; eq = out.find('=', eq + 1)) {
    size_t back = out.find_last_of("&?;\\/ \"\r\n", eq == 0 ? 0 : eq - 1);
    size_t start = back == std::string::npos ? 0 : back + 1;
    if (eq == 0 || !EqualNoCase(DecodeUrlText(std::string_view(out).substr(start, eq - start)), "Password")) continue;
    size_t end = out.find_first_of("&; \"\r\n", eq + 1);
    if (end == std::string::npos) end = out.size();
    out.erase(eq + 1, end - eq - 1);
  }
  return out;
}

std::string BuildAccessLogLine(const RemoteRequest& r, const uint8_t peer[4], const std::tm& local) {
  // The served path relative to the root that served it, "\" kept.
  std::string_view root = r.underUsersRoot_ ? r.settings_.usersRoot : r.settings_.documentRoot;
  std::string path = r.localPath_;
  if (path.compare(0, root.size(), root) == 0) path.erase(0, root.size());
  char buf[kRequestBufferSize * 2 + 512];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u - %s [%u/%s/%u:%u:%u:%u] \"GET %s%s%s HTTP/1.0\" %u 0\r\n", peer[0],
                peer[1], peer[2], peer[3], r.userName_.empty() ? "-" : r.userName_.c_str(),
                static_cast<unsigned>(local.tm_mday), kMonths[((local.tm_mon % 12) + 12) % 12],
                static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_hour),
                static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec), path.c_str(),
                r.query_.empty() ? "" : "?", r.query_.c_str(), static_cast<unsigned>(r.status_));
  return HidePasswords(buf);
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
