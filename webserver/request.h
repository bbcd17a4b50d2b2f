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

// Adds a session with a fresh number drawn from the system's random source:
// never zero, never the number of another live session. Null when the
// random source fails (no session is made from a weaker one).
std::shared_ptr<UserSession> AddUserSession(const std::string& userName, bool administrator);
// The session with that number (its last-request tick is set to now), or
// null. A session idle for longer than the session time-out is removed here,
// at its use, whatever the housekeeping has done.
std::shared_ptr<UserSession> FindUserSession(uint32_t userNumber);
// Ends the session with that number (log-off); false when there is none.
bool RemoveUserSession(uint32_t userNumber);
// The idle time, in minutes, after which FindUserSession no longer finds a
// session (WebUserTimeout; 30 until the server sets it).
void SetSessionTimeout(uint32_t minutes);
// Removes every session idle for longer than timeoutMinutes at tick `now`;
// one idle for exactly the time-out is kept. Returns how many went.
size_t RemoveIdleSessions(uint32_t now, uint32_t timeoutMinutes);
// Forgets every session.
void ClearUserSessions();
size_t UserSessionCount();
// Sets a session's last-request tick (housekeeping tests).
void SetSessionTick(uint32_t userNumber, uint32_t tick);

// ---- slowing down guesses ------------------------------------------------------

// Failed attempts per key (an address, an account): after `freeTries`
// failures each further one makes the key wait, twice as long each time from
// half a second up to `capMs`. A key left alone for 15 minutes is forgotten.
struct ThrottleRule {
  uint32_t freeTries;
  uint32_t capMs;
};
inline constexpr ThrottleRule kLogonAddressRule{5, 30000};  // log-ons from one address
inline constexpr ThrottleRule kLogonAccountRule{5, 8000};   // log-ons to one account
inline constexpr ThrottleRule kSessionGuessRule{20, 10000};  // unknown session numbers
// Milliseconds the key must still wait at tick `now` (0: it may try).
uint32_t ThrottleWait(const std::string& key, uint32_t now);
void ThrottleFailure(const std::string& key, const ThrottleRule& rule, uint32_t now);
// Forgets a key's failures (a log-on to the account that succeeded).
void ThrottleForget(const std::string& key);
// Drops keys untouched for 15 minutes; ClearThrottle drops all.
void PruneThrottle(uint32_t now);
void ClearThrottle();

// ---- the request -------------------------------------------------------------

inline constexpr size_t kRequestBufferSize = 2048;
// A head longer than the buffer is read on and its rest dropped up to this
// size; a longer one is refused with 431.
inline constexpr size_t kMostHeadSize = 8192;
// The most of a body that is read (the log-on form's fields).
inline constexpr size_t kMostBodySize = 8192;
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
  // The request's body (a form sent by POST): its fields become variables.
  void SetBody(std::string_view body);
  // Content-Length of the head as read (-1 when there is none or it is not
  // a plain number).
  long long ContentLength() const;
  void ParseHttpRequest(const WebServerSettings& settings);
  // The status line and headers for the current status; for redirects and
  // errors the whole answer.
  std::string BuildHttpResponse(uint32_t tick, const std::tm& local, long utcOffsetSeconds) const;
  // Sends BuildHttpResponse for the current local time in one send.
  void SendHttpResponse() const;
  // The value of a header field (name without regard to case, at a line
  // start); false when absent.
  bool HeaderField(std::string_view name, std::string& out) const;

  WsSocket socket_;
  std::string text_;     // the request as read
  std::string body_;     // the body of a POST (form fields)
  bool headOnly_ = false;  // a HEAD request: the answer's head alone
  std::string localAddress_;  // "addr:port" the connection came in on
  uint32_t peerAddress_ = 0;  // the peer's address as accept gave it; 0: none
  // For 200: the body's type and length (-1: not known).
  std::string contentType_;
  long long contentLength_ = -1;
  // The answer was given up part-way: the connection must end with a reset.
  bool aborted_ = false;
  uint16_t status_ = 0;  // 0, 200, 301, 404, 503 or kStatusReportRedirect
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
// (any case) cut out, up to "&", ";", CR, LF or a blank: where the log-on
// ends the value it reads.
std::string HidePasswords(std::string_view line);
// As HidePasswords, and "User" values (session numbers) cut out too.
std::string HideSecrets(std::string_view line);
// A path or name written for a URL: every byte but letters, digits, "-._~"
// and "/" as "%XX".
std::string UrlPath(std::string_view text);
// The Content-Type of a file by the extension of its name; `start` is its
// first bytes, which tell an HTML text report from a plain one.
std::string ContentTypeOf(std::string_view path, std::string_view start);
// The access log line of one answered request.
std::string BuildAccessLogLine(const RemoteRequest& request, const uint8_t peer[4], const std::tm& local);
// The report type stored in a status.rep image (0 when unreadable or out of
// range).
int32_t ReportTypeFromStatus(std::string_view image);
// The extension of a report type ("htm" outside 0 to 4).
const char* ReportExtension(int32_t type);
// True when an item (report folder) name can safely name a folder: any
// bytes a file name may hold but "/", "\\" and control bytes, not dots alone.
bool IsSafeItemName(std::string_view item);

#endif
