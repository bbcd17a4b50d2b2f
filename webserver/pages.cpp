// The pages of the server: files served from the document root and the
// users' report folders, and the page templates whose %tags% log users on,
// list, request, show and delete reports and edit the server's options.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>

#include "platform/base/clock.h"
#include "platform/base/ini.h"
#include "webserver/logon.h"
#include "webserver/server_internal.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kStatusSize = 1971;
constexpr size_t kPageLimit = 1 << 20;  // page templates run through the tag interpreter
constexpr size_t kSendBlock = 64 << 10;  // files are sent in blocks of this size
// Files of one user's reports sent at once: however many connections fetch
// them (and however slowly they read), the other users keep the server's
// places.
constexpr int kMostTransfersPerUser = 16;

std::mutex g_transferLock;
std::map<std::string, int> g_transfers;  // by user name

// A place for a transfer of a user's file, held while it lives.
class TransferPlace {
 public:
  explicit TransferPlace(std::string user) : user_(std::move(user)) {
    std::lock_guard<std::mutex> lock(g_transferLock);
    int& n = g_transfers[user_];
    held_ = n < kMostTransfersPerUser;
    if (held_) ++n;
    if (n == 0) g_transfers.erase(user_);
  }
  ~TransferPlace() {
    if (!held_) return;
    std::lock_guard<std::mutex> lock(g_transferLock);
    auto it = g_transfers.find(user_);
    if (it != g_transfers.end() && --it->second <= 0) g_transfers.erase(it);
  }
  TransferPlace(const TransferPlace&) = delete;
  TransferPlace& operator=(const TransferPlace&) = delete;
  bool held() const { return held_; }

 private:
  std::string user_;
  bool held_ = false;
};

std::string Html(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UrlText(std::string_view text) {
  static const char* const hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string UserFolder(const RemoteRequest& r) {
  return NativePath(std::string(r.settings_.usersRoot) + "\\" + r.session_->userName);
}

std::vector<std::string> ReportsOf(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec) && fs::exists(it->path() / "status.rep", ec)) out.push_back(it->path().filename().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Up to `limit` bytes of a file, read to its end: the file may be shorter
// than any size learnt before, or be gone ("" then).
std::string ReadFileText(const std::string& path, size_t limit) {
  std::string data;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return data;
  char block[16384];
  while (data.size() < limit) {
    ssize_t got = ::read(fd, block, std::min(sizeof block, limit - data.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    data.append(block, static_cast<size_t>(got));
  }
  ::close(fd);
  return data;
}

const char* const kLogOnAgain = "<p>Your session has ended. <a href=\"/default.htm\">Log on</a> again.</p>";

std::string TagLogon(RemoteRequest& r) {
  std::string user, password;
  r.GetVariableText("Username", user);
  r.GetVariableText("Password", password);
  const uint32_t now = kv::TickCount();
  // Failed log-ons make both the address and the account wait, longer each
  // time; the account's wait stays short, so that nobody can lock its owner
  // out for long.
  std::string lowered = user;
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string addressKey = "a:" + std::to_string(r.peerAddress_);
  const std::string accountKey = "u:" + lowered;
  const uint32_t wait = std::max(ThrottleWait(addressKey, now), ThrottleWait(accountKey, now));
  if (wait > 0) {
    return "<p>Too many failed log-ons. Wait " + std::to_string((wait + 999) / 1000) +
           " seconds and <a href=\"/default.htm\">try again</a>.</p>";
  }
  uint64_t token = 0;
  uint32_t error = 0;
  std::string account;
  if (!user.empty() && user.size() <= 99 && IsSafeItemName(user) &&
      LogonUserA(user.c_str(), "", password.c_str(), kLogonInteractive, 0, &token, &error)) {
    CloseLogonToken(token);
    account = LogonAccountName(user, password);
  }
  if (account.empty()) {
    if (user.empty()) return "<p>Give your user name and password. <a href=\"/default.htm\">Log on</a></p>";
    ThrottleFailure(addressKey, kLogonAddressRule, now);
    if (!lowered.empty()) ThrottleFailure(accountKey, kLogonAccountRule, now);
    return "<p>Logon failed: unknown user name or wrong password. <a href=\"/default.htm\">Try again</a>.</p>";
  }
  ThrottleForget(accountKey);
  // The session (and the report folder) is the account's, spelt as the
  // account file spells it, whatever case the user typed.
  user = account;
  std::string admin = r.settings_.webAdmin;
  bool administrator = false;
  if (admin.size() > 1 && (admin[0] == 'u' || admin[0] == 'U')) {
    administrator = SameText(admin.substr(1), user);
  } else if (admin.size() > 1 && (admin[0] == 'g' || admin[0] == 'G')) {
    for (const auto& g : UserGroups(user)) administrator = administrator || SameText(g, admin.substr(1));
  }
  r.session_ = AddUserSession(user, administrator);
  if (!r.session_) return "<p>The server cannot log users on now. <a href=\"/default.htm\">Try again</a> later.</p>";
  r.userName_ = r.session_->userName;
  r.userNumber_ = r.session_->userNumber;
  r.loggedOn_ = true;
  r.SetVariableInt("User", r.userNumber_);
  std::error_code ec;
  fs::create_directories(UserFolder(r), ec);
  return "<p>Welcome, " + Html(user) + ". <a href=\"/reports.htm?User=" + std::to_string(r.userNumber_) +
         "\">Your reports</a></p>";
}

std::string TagLogoff(RemoteRequest& r) {
  if (r.session_) {
    RemoveUserSession(r.userNumber_);
    r.session_.reset();
    r.userNumber_ = 0;
  }
  return "<p>You are logged off. <a href=\"/default.htm\">Log on</a> again.</p>";
}

std::string TagReportList(RemoteRequest& r) {
  if (!r.session_) return kLogOnAgain;
  std::string user = std::to_string(r.userNumber_);
  std::string out = "<table>\r\n";
  for (const auto& item : ReportsOf(UserFolder(r))) {
    out += "<tr><td>" + Html(item) + "</td><td><a href=\"/view.htm?User=" + user + "&Item=" + UrlText(item) +
           "\">View</a></td><td><a href=\"/delete.htm?User=" + user + "&Item=" + UrlText(item) +
           "\">Delete</a></td></tr>\r\n";
  }
  return out + "</table>\r\n";
}

std::string TagRequestForm(RemoteRequest& r) {
  if (!r.session_ || r.settings_.allowRequests == 0) return "";
  auto hooks = GetRemoteReportHooks();
  std::vector<std::string> profiles;
  if (hooks.listProfiles) profiles = hooks.listProfiles();
  std::string out = "<form action=\"/request.htm\" method=\"GET\"><input type=\"hidden\" name=\"User\" value=\"" +
                    std::to_string(r.userNumber_) + "\"><select name=\"Item\">\r\n";
  for (const auto& p : profiles) out += "<option value=\"" + Html(p) + "\">" + Html(p) + "</option>\r\n";
  return out + "</select><input type=\"submit\" value=\"Request report\"></form>\r\n";
}

std::string TagRunReport(RemoteRequest& r) {
  if (!r.session_) return kLogOnAgain;
  if (r.settings_.allowRequests == 0) return "<p>Reports cannot be requested here.</p>";
  if (!IsSafeItemName(r.item_)) return "<p>No such report.</p>";
  auto hooks = GetRemoteReportHooks();
  std::vector<std::string> profiles;
  if (hooks.listProfiles) profiles = hooks.listProfiles();
  if (std::find(profiles.begin(), profiles.end(), r.item_) == profiles.end() || !hooks.runReport)
    return "<p>No such report.</p>";
  std::string userFolder = UserFolder(r);
  auto existing = ReportsOf(userFolder);
  bool replaces = std::find(existing.begin(), existing.end(), r.item_) != existing.end();
  if (!replaces && static_cast<int64_t>(existing.size()) >= r.settings_.reportsPerUser)
    return "<p>You hold as many reports as you may. Delete one first.</p>";
  RemoteReportJob job;
  job.userName = r.session_->userName;
  job.userNumber = r.userNumber_;
  job.profile = r.item_;
  job.folder = userFolder + "/" + r.item_;
  std::error_code ec;
  fs::create_directories(job.folder, ec);
  int32_t type = hooks.runReport(job);
  if (type < 0) {
    if (!replaces) fs::remove_all(job.folder, ec);
    return "<p>The report " + Html(r.item_) + " could not be made.</p>";
  }
  std::ofstream(job.folder + "/status.rep", std::ios::binary | std::ios::trunc)
      << BuildStatusImage(r.item_, static_cast<int64_t>(kv::Now()), type);
  return "<p>The report " + Html(r.item_) + " is ready: <a href=\"/view.htm?User=" + std::to_string(r.userNumber_) +
         "&Item=" + UrlText(r.item_) + "\">View</a></p>";
}

std::string TagDeleteReport(RemoteRequest& r) {
  if (!r.session_) return kLogOnAgain;
  if (!IsSafeItemName(r.item_)) return "<p>No such report.</p>";
  std::error_code ec;
  std::string folder = UserFolder(r) + "/" + r.item_;
  if (!fs::exists(fs::path(folder) / "status.rep", ec)) return "<p>No such report.</p>";
  fs::remove_all(folder, ec);
  return "<p>The report " + Html(r.item_) + " was deleted.</p>";
}

std::string TagViewReport(RemoteRequest& r) {
  if (!r.session_) return kLogOnAgain;
  if (!IsSafeItemName(r.item_)) return "<p>No such report.</p>";
  r.status_ = kStatusReportRedirect;
  return "";
}

std::string NumberField(const char* name, int64_t value) {
  return std::string(name) + ": <input type=\"text\" name=\"" + name + "\" value=\"" + std::to_string(value) +
         "\"><br>\r\n";
}

std::string TagOptRemote(RemoteRequest& r) {
  if (!r.session_ || !r.session_->administrator) return "<p>Only the administrator may change the options.</p>";
  const auto& s = r.settings_;
  std::string out = "<form action=\"/saveopt.htm\" method=\"GET\"><input type=\"hidden\" name=\"User\" value=\"" +
                    std::to_string(r.userNumber_) + "\">\r\n";
  out += NumberField("WebUserTimeout", s.userTimeout);
  out += NumberField("WebNoReports", s.reportsPerUser);
  out += NumberField("WebNoDays", s.daysToKeep < 0 ? -static_cast<int64_t>(s.daysToKeep) : s.daysToKeep);
  auto box = [](const char* name, bool on) {
    return std::string(name) + ": <input type=\"checkbox\" name=\"" + name + "\" value=\"1\"" +
           (on ? " checked" : "") + "><br>\r\n";
  };
  out += box("RemoveOld", s.daysToKeep >= 1);
  out += box("WebLogging", s.logging != 0);
  out += box("WebAllowReport", s.allowRequests != 0);
  return out + "<input type=\"submit\" value=\"Save\"></form>\r\n";
}

bool ReadNumber(const RemoteRequest& r, const char* name, int64_t low, int64_t high, int64_t& out) {
  std::string text;
  r.GetFormField(name, text);
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  out = std::stoll(text);
  return out >= low && out <= high;
}

std::string TagSaveOptRemote(RemoteRequest& r) {
  if (!r.session_ || !r.session_->administrator) return "<p>Only the administrator may change the options.</p>";
  int64_t timeout, reports, days;
  if (!ReadNumber(r, "WebUserTimeout", 1, 100000, timeout) || !ReadNumber(r, "WebNoReports", 0, 100000, reports) ||
      !ReadNumber(r, "WebNoDays", 1, 100000, days))
    return "<p>The options were not saved: give whole numbers.</p>";
  std::string flag;
  auto on = [&](const char* name) {
    r.GetFormField(name, flag);
    return flag == "1";
  };
  if (!on("RemoveOld")) days = -days;
  const char* ini = r.settings_.iniPath;
  kv::IniWriteString("Defaults", "WebUserTimeout", std::to_string(timeout).c_str(), ini);
  kv::IniWriteString("Defaults", "WebNoReports", std::to_string(reports).c_str(), ini);
  kv::IniWriteString("Defaults", "WebNoDays", std::to_string(days).c_str(), ini);
  kv::IniWriteString("Defaults", "WebLogging", on("WebLogging") ? "1" : "0", ini);
  kv::IniWriteString("Defaults", "WebAllowReport", on("WebAllowReport") ? "1" : "0", ini);
  StartWebServer();
  return "<p>The options were saved.</p>";
}

std::string RunTag(RemoteRequest& r, const std::string& tag, bool& known) {
  known = true;
  if (SameText(tag, "logon")) return TagLogon(r);
  if (SameText(tag, "logoff")) return TagLogoff(r);
  if (SameText(tag, "reportList")) return TagReportList(r);
  if (SameText(tag, "requestForm")) return TagRequestForm(r);
  if (SameText(tag, "runReport")) return TagRunReport(r);
  if (SameText(tag, "deleteReport")) return TagDeleteReport(r);
  if (SameText(tag, "viewReport")) return TagViewReport(r);
  if (SameText(tag, "optRemote")) return TagOptRemote(r);
  if (SameText(tag, "saveOptRemote")) return TagSaveOptRemote(r);
  if (SameText(tag, "User")) return r.session_ ? std::to_string(r.userNumber_) : "0";
  if (SameText(tag, "UserName")) return Html(r.session_ ? r.session_->userName : "");
  if (SameText(tag, "Item")) return Html(r.item_);
  known = false;
  return "";
}

// The page with its tags replaced. A tag is "%" name "%" with a name of
// letters and digits; other "%" signs stay as they are.
std::string RunPage(RemoteRequest& r, const std::string& page) {
  std::string out;
  size_t i = 0;
  while (i < page.size()) {
    size_t pct = page.find('%', i);
    if (pct == std::string::npos) {
      out.append(page, i, std::string::npos);
      break;
    }
    out.append(page, i, pct - i);
    size_t end = pct + 1;
    while (end < page.size() && std::isalnum(static_cast<unsigned char>(page[end]))) ++end;
    if (end < page.size() && page[end] == '%' && end > pct + 1) {
      bool known = false;
      std::string value = RunTag(r, page.substr(pct + 1, end - pct - 1), known);
      if (known) {
        out += value;
        i = end + 1;
        continue;
      }
    }
    out += '%';
    i = pct + 1;
  }
  return out;
}

}  // namespace

std::string BuildStatusImage(const std::string& name, int64_t created, int32_t type) {
  std::string image(kStatusSize, '\0');
  std::memcpy(image.data(), name.data(), std::min<size_t>(name.size(), 400));
  uint64_t t = static_cast<uint64_t>(created);
  for (int k = 0; k < 8; ++k) image[407 + k] = static_cast<char>((t >> (8 * k)) & 0xFF);
  std::string typeText = std::to_string(type);
  std::memcpy(image.data() + 415, typeText.data(), typeText.size());
  return image;
}

int64_t StatusTime(std::string_view image) {
  if (image.size() < 415) return -1;
  uint64_t t = 0;
  for (int k = 0; k < 8; ++k) t |= static_cast<uint64_t>(static_cast<unsigned char>(image[407 + k])) << (8 * k);
  return static_cast<int64_t>(t);
}

void RemoveOldReports(const WebServerSettings& settings, int64_t now, int32_t days) {
  if (days < 1) return;
  const int64_t limit = static_cast<int64_t>(days) * 86400;
  std::error_code ec;
  std::string root = NativePath(settings.usersRoot);
  for (fs::directory_iterator users(root, ec), end; !ec && users != end; users.increment(ec)) {
    std::error_code inner;
    if (!users->is_directory(inner) || users->is_symlink(inner)) continue;
    std::vector<fs::path> old;
    for (fs::directory_iterator items(users->path(), inner); !inner && items != end; items.increment(inner)) {
      std::error_code e;
      if (!items->is_directory(e) || items->is_symlink(e)) continue;
      fs::path status = items->path() / "status.rep";
      if (!fs::exists(status, e)) continue;
      int64_t made = StatusTime(ReadFileText(status.string(), kStatusSize));
      if (made < 0) {
        struct stat st{};
        if (::stat(status.c_str(), &st) != 0) continue;
        made = st.st_mtime;
      }
      if (now - made > limit) old.push_back(items->path());
    }
    for (const auto& p : old) {
      std::error_code e;
      fs::remove_all(p, e);
    }
  }
}

namespace {

// Sends the head and, unless the request was HEAD, the body with it.
bool SendAnswer(RemoteRequest& r, const std::string& body) {
  std::time_t now = kv::Now();
  std::tm local{};
  kv::LocalTime(now, &local);
  std::string answer = r.BuildHttpResponse(kv::TickCount(), local, local.tm_gmtoff);
  if (!r.headOnly_) answer += body;
  return SendAll(r.socket_, answer.data(), answer.size());
}

}  // namespace

void AnswerRequest(RemoteRequest& r) {
  const WsSocket socket = r.socket_;
  if (r.localPath_.empty()) {
    SendAnswer(r, "");
    return;
  }
  std::string path = NativePath(r.localPath_);
  std::error_code ec;
  if (fs::is_directory(path, ec) && !r.underUsersRoot_) {
    r.localPath_ += "\\";
    r.status_ = 301;
    SendAnswer(r, "");
    return;
  }
  // The file is opened once and everything else is learnt from the open
  // file: it may be replaced or removed at any moment (a user deleting his
  // report while it is fetched), and what was opened is what is served.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st{};
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd);
    fd = -1;
  }
  if (fd < 0) {
    SendAnswer(r, "");
    return;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::optional<TransferPlace> place;
  if (r.underUsersRoot_) {
    place.emplace(r.userName_);
    if (!place->held()) {
      ::close(fd);
      r.status_ = 503;
      SendAnswer(r, "");
      return;
    }
  }
  bool page = !r.underUsersRoot_ && ContentTypeOf(r.localPath_, "") == "text/html";
  // Page templates are small; one that is not is sent as it is.
  if (page && st.st_size <= static_cast<off_t>(kPageLimit)) {
    std::string text;
    char block[16384];
    for (;;) {
      ssize_t got = ::read(fd, block, sizeof block);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0 || text.size() + static_cast<size_t>(got) > kPageLimit) break;
      text.append(block, static_cast<size_t>(got));
    }
    ::close(fd);
    std::string body = RunPage(r, text);
    if (r.status_ != 0) {
      SendAnswer(r, "");
      return;
    }
    r.status_ = 200;
    // The pages show user and report names as the file system holds them.
    r.contentType_ = "text/html; charset=utf-8";
    r.contentLength_ = static_cast<long long>(body.size());
    if (!SendAnswer(r, body)) r.aborted_ = true;
    return;
  }
  // Other files go out in blocks as they are read: as many bytes as the
  // file held when it was opened, which the head announces. A file cut
  // short meanwhile, or a peer that stops taking it, ends the connection
  // with a reset, so that the client cannot take a part for the whole.
  char start[512];
  ssize_t startSize = ::pread(fd, start, sizeof start, 0);
  r.contentType_ = ContentTypeOf(r.localPath_, std::string_view(start, startSize > 0 ? static_cast<size_t>(startSize) : 0));
  r.contentLength_ = static_cast<long long>(st.st_size);
  r.status_ = 200;
  if (!SendAnswer(r, "")) {
    r.aborted_ = true;
    ::close(fd);
    return;
  }
  if (!r.headOnly_) {
    std::vector<char> block(kSendBlock);
    off_t left = st.st_size;
    while (left > 0) {
      ssize_t got = ::read(fd, block.data(), static_cast<size_t>(std::min<off_t>(left, static_cast<off_t>(block.size()))));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0 || !SendAll(socket, block.data(), static_cast<size_t>(got))) break;
      left -= got;
    }
    if (left > 0) r.aborted_ = true;
  }
  ::close(fd);
}
