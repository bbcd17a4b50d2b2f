// One HTTP request of the remote report server, from its text to its answer,
// and the list of logged-on users that requests are matched against.
#ifndef KV_WEBSERVER_REQUEST_H
#define KV_WEBSERVER_REQUEST_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wsock32/wsock32.h"
#include "webserver/webserver.h"

// ---- logged-on users ---------------------------------------------------------

struct UserSession {
  std::string userName;   // at most 99 characters
  uint32_t userNumber = 0;  // the number pages carry as User=
  uint32_t lastRequest = 0;  // tick count of the last request
  bool administrator = false;
};

// Adds a session with a fresh, unguessable, non-zero number.
std::shared_ptr<UserSession> AddUserSession(const std::string& userName, bool administrator);
// The session with that number (its last-request tick is set to now), or null.
std::shared_ptr<UserSession> FindUserSession(uint32_t userNumber);
// Removes every session idle for longer than timeoutMinutes at tick `now`;
// one idle for exactly the time-out is kept. Returns how many went.
size_t RemoveIdleSessions(uint32_t now, uint32_t timeoutMinutes);
// Forgets every session.
void ClearUserSessions();
size_t UserSessionCount();
// Sets a session's last-request tick (housekeeping tests).
void SetSessionTick(uint32_t userNumber, uint32_t tick);

// ---- the request -------------------------------------------------------------

inline constexpr size_t kRequestBufferSize = 2048;
inline constexpr uint16_t kStatusReportRedirect = 11301;

class RemoteRequest {
 public:
  explicit RemoteRequest(WsSocket socket) : socket_(socket) {}
  virtual ~RemoteRequest() = default;

  // Value of "name=" in the query up to "&" or ";", "+" read as a blank;
  // empty when absent.
  virtual void GetFormField(const char* name, std::string& out) const;
  virtual void GetVariableInt(const char* name, uint32_t& out) const;
  virtual void GetVariableText(const char* name, std::string& out) const;
  virtual void SetVariableInt(const char* name, uint32_t value);
  virtual void SetVariableText(const char* name, const std::string& value);

  // Takes the request text (cut at 2048 bytes) and parses it.
  void SetText(std::string_view text);
  void ParseHttpRequest(const WebServerSettings& settings);
  // The status line and headers for the current status; for redirects and
  // errors the whole answer.
  std::string BuildHttpResponse(uint32_t tick, const std::tm& local, long utcOffsetSeconds) const;
  // Sends BuildHttpResponse for the current local time in one send.
  void SendHttpResponse() const;

  WsSocket socket_;
  std::string text_;     // the request as read
  uint16_t status_ = 0;  // 0, 200, 301, 404 or kStatusReportRedirect
  std::string query_;    // behind "?", "" when none
  std::string host_;
  std::string localPath_;  // the file the request resolved to
  bool underUsersRoot_ = false;  // localPath_ lies under the users root
  std::string item_;
  std::string userName_;
  uint32_t userNumber_ = 0;
  int32_t moduleNumber_ = 0;
  bool loggedOn_ = false;
  std::shared_ptr<UserSession> session_;
  std::vector<std::pair<std::string, std::string>> variables_;
  WebServerSettings settings_{};
};

// ---- helpers shared by the server, its pages and its tests --------------------

// "%XX" (two hexadecimal digits) becomes that byte, "+" a blank; any other
// "%" stays.
std::string DecodeUrlText(std::string_view text);
// The request's URL path mapped to a root-relative path with "\" separators:
// "%XX" escapes decoded, no empty, "." or ".." segments left, a trailing
// separator followed by "default.htm"; "" when the path holds control bytes.
std::string CleanRequestPath(std::string_view path);
// The HTTP Date value for a broken-down local time and its offset east of UTC.
std::string FormatHttpDate(const std::tm& local, long utcOffsetSeconds);
// The value of every field of a log line whose decoded name is "Password"
// (any case) cut out, up to "&", ";", blank or '"'.
std::string HidePasswords(std::string_view line);
// The access log line of one answered request.
std::string BuildAccessLogLine(const RemoteRequest& request, const uint8_t peer[4], const std::tm& local);
// The report type stored in a status.rep image (0 when unreadable or out of
// range).
int32_t ReportTypeFromStatus(std::string_view image);
// The extension of a report type ("htm" outside 0 to 4).
const char* ReportExtension(int32_t type);
// True when an item (report folder) name can safely name a folder.
bool IsSafeItemName(std::string_view item);

#endif
