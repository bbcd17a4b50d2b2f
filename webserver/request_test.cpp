// Request parsing, path mapping, answer heads, log lines and sessions.
#include "webserver/request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <vector>

#include "platform/base/clock.h"

#include "webserver/server_internal.h"

namespace {

WebServerSettings Roots() {
  WebServerSettings s{};
  std::strcpy(s.documentRoot, "C:\\kv\\wwwroot");
  std::strcpy(s.usersRoot, "C:\\kv\\Reports\\Remote Reports\\users");
  return s;
}

RemoteRequest Parse(const std::string& text, const WebServerSettings& s = Roots()) {
  RemoteRequest r(WS_INVALID_SOCKET);
  r.SetText(text);
  r.ParseHttpRequest(s);
  return r;
}

class WebRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearUserSessions();
    alice = AddUserSession("alice", false);
    admin = AddUserSession("root", true);
  }
  void TearDown() override { ClearUserSessions(); }
  std::shared_ptr<UserSession> alice, admin;
};

TEST_F(WebRequestTest, QueryGivesUserItemAndVariables) {
  std::string n = std::to_string(alice->userNumber);
  RemoteRequest r = Parse("GET /request.htm?User=" + n + "&Item=Monthly+Web%2fFTP+Report&Password=p%26w HTTP/1.0\r\n" +
                          "Host: reports.example:99\r\nAccept: */*\r\n");
  EXPECT_EQ(r.host_, "reports.example:99");
  EXPECT_EQ(r.userNumber_, alice->userNumber);
  EXPECT_EQ(r.userName_, "alice");
  EXPECT_EQ(r.session_, alice);
  EXPECT_EQ(r.item_, "Monthly Web/FTP Report");
  std::string v;
  r.GetVariableText("qitem", v);
  EXPECT_EQ(v, "Monthly Web/FTP Report");
  r.GetVariableText("PASSWORD", v);
  EXPECT_EQ(v, "p&w");  // variables are decoded
  r.GetFormField("Item", v);
  EXPECT_EQ(v, "Monthly Web%2fFTP Report");  // form fields are not
  r.GetFormField("Missing", v);
  EXPECT_EQ(v, "");
  EXPECT_EQ(r.localPath_, "C:\\kv\\wwwroot\\request.htm");
  EXPECT_FALSE(r.underUsersRoot_);
}

TEST_F(WebRequestTest, UnknownUserNumberIsUnknown) {
  RemoteRequest r = Parse("GET /reports.htm?User=77 HTTP/1.0\r\nHost: h\r\n");
  EXPECT_EQ(r.userName_, "unknown");
  EXPECT_EQ(r.session_, nullptr);
}

TEST_F(WebRequestTest, PathMapping) {
  const std::string a = std::to_string(alice->userNumber);
  const std::string root = std::to_string(admin->userNumber);
  const std::string doc = "C:\\kv\\wwwroot";
  const std::string users = "C:\\kv\\Reports\\Remote Reports\\users";
  struct Case {
    std::string url, local;
  } cases[] = {
      {"/", doc + "\\default.htm"},
      {"/sub/", doc + "\\sub\\default.htm"},
      {"/Users/bob/rep.htm", doc + "\\unknown\\bob\\rep.htm"},
      {"/users", doc + "\\unknown"},  // a folder: answered with a redirect
      {"/" + a + "/alice/Weekly/rep.htm", users + "\\alice\\Weekly\\rep.htm"},
      // Another user's folder behind one's own number is one's own folder.
      {"/" + a + "/bob/Weekly/rep.htm", users + "\\alice\\Weekly\\rep.htm"},
      {"/" + a, users + "\\alice\\default.htm"},
      // The administrator reaches every user's folder.
      {"/" + root + "/bob/Weekly/rep.htm", users + "\\bob\\Weekly\\rep.htm"},
      {"/999/bob/rep.htm", doc + "\\unknown\\bob\\rep.htm"},
      // No way out of the roots.
      {"/../../etc/passwd", doc + "\\etc\\passwd"},
      {"/x/..%2f..%2f..%2fetc/passwd", doc + "\\x\\etc\\passwd"},
      {"/%2f..%2f..", doc + "\\default.htm"},
      {"/" + a + "/bob/..\\..\\bob/rep.htm", users + "\\alice\\bob\\rep.htm"},
      {"/....\\/secret", doc + "\\secret"},
      {"/a..b/c", doc + "\\a..b\\c"},
      {"/%2e%2E/%2e./x", doc + "\\x"},
      {"/" + a + "/alice/Web%20Site/rep.htm", users + "\\alice\\Web Site\\rep.htm"},
      {"/a+b%zz", doc + "\\a+b%zz"},
      {"/a%0d%0aX", ""},
      {"/a%00.htm", ""},
  };
  for (const auto& c : cases) {
    RemoteRequest r = Parse("GET " + c.url + " HTTP/1.0\r\nHost: h\r\n");
    EXPECT_EQ(r.localPath_, c.local) << c.url;
  }
}

TEST_F(WebRequestTest, MalformedRequestsStayUnanswered) {
  const char* texts[] = {
      "PUT / HTTP/1.0\r\nHost: h\r\n",      // other method
      "GETX / HTTP/1.0\r\nHost: h\r\n",     // method word too long
      "GET x HTTP/1.0\r\nHost: h\r\n",      // URL without "/"
      "GET / HTTP/1.10\r\nHost: h\r\n",     // version of 9 characters
      "GET / FTP/1.00\r\nHost: h\r\n",      // not HTTP
      "GET / HTTP/1.0\nHost: h\r\n",        // LF alone
      "GET / HTTP/1.0 x\r\nHost: h\r\n",    // more after the version
      "GET /index.htm",                     // cut short
      "",
  };
  for (const char* t : texts) {
    RemoteRequest r = Parse(t);
    EXPECT_EQ(r.localPath_, "") << t;
    EXPECT_EQ(r.status_, 0) << t;
  }
  EXPECT_EQ(Parse("post /a.htm http/1.1   \r\nHost: h\r\n").localPath_, "C:\\kv\\wwwroot\\a.htm");
}

TEST_F(WebRequestTest, VariablesReplaceByNameWithoutCaseAndAreBounded) {
  RemoteRequest r(WS_INVALID_SOCKET);
  r.SetVariableText("Name", "one");
  r.SetVariableText("NAME", "two");
  r.SetVariableInt("count", 4294967295u);
  ASSERT_EQ(r.variables_.size(), 2u);
  std::string v;
  r.GetVariableText("name", v);
  EXPECT_EQ(v, "two");
  uint32_t n = 1;
  r.GetVariableInt("Count", n);
  EXPECT_EQ(n, 4294967295u);
  r.GetVariableInt("none", n);
  EXPECT_EQ(n, 0u);
  r.SetVariableText(std::string(300, 'n').c_str(), std::string(500, 'v'));
  EXPECT_EQ(r.variables_.back().first.size(), 99u);
  EXPECT_EQ(r.variables_.back().second.size(), 199u);
  // Fields of a request text: names run back to CR, LF, "&" or "?".
  RemoteRequest f = Parse("GET /a?x=1&y=%41%zz+b;z HTTP/1.0\r\nHost: h\r\nk=v w\r\n");
  f.GetVariableText("y", v);
  EXPECT_EQ(v, "A%zz b");
  f.GetVariableText("k", v);
  EXPECT_EQ(v, "v");
  f.GetVariableText("x", v);
  EXPECT_EQ(v, "1");
}

TEST_F(WebRequestTest, RequestTextIsCutAtTheBufferSize) {
  RemoteRequest r(WS_INVALID_SOCKET);
  r.SetText(std::string(5000, 'a'));
  EXPECT_EQ(r.text_.size(), kRequestBufferSize);
}

TEST(WebHttpDate, ZoneSignAndMagnitudes) {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 0;
  t.tm_mday = 5;
  t.tm_wday = 1;
  t.tm_hour = 7;
  t.tm_min = 8;
  t.tm_sec = 9;
  EXPECT_EQ(FormatHttpDate(t, 3600), "Mon, 5 Jan 2026 07:08:09 +0100");
  EXPECT_EQ(FormatHttpDate(t, -5 * 3600), "Mon, 5 Jan 2026 07:08:09 -0500");
  EXPECT_EQ(FormatHttpDate(t, 5 * 3600 + 1800), "Mon, 5 Jan 2026 07:08:09 +0530");
  EXPECT_EQ(FormatHttpDate(t, 0), "Mon, 5 Jan 2026 07:08:09 -0000");
}

TEST(WebAccessLog, PasswordsAreCut) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"GET /l.htm?Username=a&Password=secret&x=1 HTTP", "GET /l.htm?Username=a&Password=&x=1 HTTP"},
      {"GET /l.htm?Password=secret;x HTTP", "GET /l.htm?Password=;x HTTP"},
      // The last field: the line after it stays.
      {"\"GET /l.htm?Password=secret HTTP/1.0\" 200 0\r\n", "\"GET /l.htm?Password= HTTP/1.0\" 200 0\r\n"},
      {"?password=a&PASSWORD=b", "?password=&PASSWORD="},
      {"no secret here", "no secret here"},
      // The logon page decodes field names: so does the cut.
      {"GET \\logon.htm?Username=bob&%50assword=pw HTTP", "GET \\logon.htm?Username=bob&%50assword= HTTP"},
      {"?Pass%77ord=pw&%70%61%73%73%77%6f%72%64=x;y", "?Pass%77ord=&%70%61%73%73%77%6f%72%64=;y"},
      {"GET \\a&Password=pw?x=1 HTTP", "GET \\a&Password= HTTP"},
      // Names that only look alike keep their values.
      {"?xPassword=keep&Password2=keep&Pass+word=keep", "?xPassword=keep&Password2=keep&Pass+word=keep"},
      // A raw quote is part of the value the log-on reads: all of it goes.
      {"\"GET \\logon.htm?Username=a&Password=ab\"cd\"ef HTTP/1.0\" 200 0\r\n",
       "\"GET \\logon.htm?Username=a&Password= HTTP/1.0\" 200 0\r\n"},
      {"?Password=\"&x=1", "?Password=&x=1"},
  };
  for (const auto& c : cases) EXPECT_EQ(HidePasswords(c.in), c.out) << c.in;
  // What the log-on reads as the password is exactly what the log loses.
  for (const std::string password : {"ab\"cd", "\"", "x\"y\"z", "a%22b", "p+q"}) {
    RemoteRequest r(WS_INVALID_SOCKET);
    r.SetText("GET /logon.htm?Username=a&Password=" + password + " HTTP/1.0\r\nHost: h\r\n");
    r.ParseHttpRequest(Roots());
    std::string read;
    r.GetVariableText("Password", read);
    EXPECT_EQ(read, DecodeUrlText(password));
    uint8_t peer[4] = {1, 2, 3, 4};
    std::string line = BuildAccessLogLine(r, peer, std::tm{});
    EXPECT_NE(line.find("Password= HTTP/1.0\""), std::string::npos) << line;
    EXPECT_EQ(line.find(password.substr(password.size() - 1) + " HTTP"), std::string::npos) << line;
  }
  EXPECT_EQ(HideSecrets("?User=123&Item=a&user=9;Username=bob"), "?User=&Item=a&user=;Username=bob");
}

TEST(WebSessions, NumbersAreRandomNonZeroAndUnique) {
  ClearUserSessions();
  // Numbers of the old generator were its outputs masked to 31 bits: a
  // run of them never set the top bit. These come from the system's random
  // source and use all 32.
  std::set<uint32_t> seen;
  bool top = false;
  for (int i = 0; i < 2000; ++i) {
    auto s = AddUserSession("u" + std::to_string(i), false);
    ASSERT_NE(s, nullptr);
    EXPECT_NE(s->userNumber, 0u);
    EXPECT_TRUE(seen.insert(s->userNumber).second) << s->userNumber;
    top = top || (s->userNumber & 0x80000000u) != 0;
    EXPECT_EQ(FindUserSession(s->userNumber), s);
  }
  EXPECT_TRUE(top);
  EXPECT_EQ(UserSessionCount(), 2000u);
  ClearUserSessions();
}

// The numbers a session-taker computes for the next session from the 624
// numbers before it, were they outputs of a Mersenne Twister masked to 31
// bits: each number leaves one bit of its state word open, so the next
// output is one of eight.
std::set<uint32_t> PredictNextTwisterOutputs(const std::vector<uint32_t>& seen) {
  auto untemper = [](uint32_t y) {
    y ^= y >> 18;
    y ^= (y << 15) & 0xEFC60000u;
    uint32_t t = y;
    for (int i = 0; i < 4; ++i) t = y ^ ((t << 7) & 0x9D2C5680u);
    y = t;
    t = y;
    for (int i = 0; i < 2; ++i) t = y ^ (t >> 11);
    return t;
  };
  auto temper = [](uint32_t y) {
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    return y ^ (y >> 18);
  };
  const size_t n = seen.size();
  std::set<uint32_t> out;
  for (uint32_t a : {0u, 0x80000000u}) {
    for (uint32_t b : {0u, 0x80000000u}) {
      for (uint32_t c : {0u, 0x80000000u}) {
        const uint32_t x0 = untemper(seen[n - 624] | a), x1 = untemper(seen[n - 623] | b);
        const uint32_t x397 = untemper(seen[n - 624 + 397] | c);
        const uint32_t y = (x0 & 0x80000000u) | (x1 & 0x7FFFFFFFu);
        const uint32_t next = x397 ^ (y >> 1) ^ ((y & 1u) ? 0x9908B0DFu : 0u);
        out.insert(temper(next) & 0x7FFFFFFFu);
        out.insert(temper(next));
      }
    }
  }
  return out;
}

TEST(WebSessions, TheNextNumberCannotBeComputedFromEarlierOnes) {
  // A check of the check: it does foretell a masked twister's next output.
  std::mt19937 twister{12345};
  std::vector<uint32_t> outputs;
  for (int i = 0; i < 624; ++i) outputs.push_back(static_cast<uint32_t>(twister()) & 0x7FFFFFFFu);
  ASSERT_EQ(PredictNextTwisterOutputs(outputs).count(static_cast<uint32_t>(twister()) & 0x7FFFFFFFu), 1u);
  // A user logs on again and again and learns his numbers; the next user's
  // number is none of those computed from them.
  ClearUserSessions();
  for (int round = 0; round < 3; ++round) {
    std::vector<uint32_t> seen;
    for (int i = 0; i < 624; ++i) seen.push_back(AddUserSession("mallory", false)->userNumber);
    const uint32_t victim = AddUserSession("root", true)->userNumber;
    EXPECT_EQ(PredictNextTwisterOutputs(seen).count(victim), 0u) << "round " << round;
    ClearUserSessions();
  }
}

TEST_F(WebRequestTest, SessionsEndAtLogOffAndAtIdleUse) {
  // Idle for longer than the time-out: gone at its next use, without any
  // housekeeping run.
  SetSessionTimeout(1);
  SetSessionTick(alice->userNumber, kv::TickCount() - 60001u);
  SetSessionTick(admin->userNumber, kv::TickCount() - 50000u);
  EXPECT_EQ(FindUserSession(alice->userNumber), nullptr);
  EXPECT_EQ(UserSessionCount(), 1u);
  RemoteRequest r = Parse("GET /reports.htm?User=" + std::to_string(admin->userNumber) + " HTTP/1.0\r\nHost: h\r\n");
  EXPECT_EQ(r.session_, admin);  // used in time: kept, and its time starts anew
  // Log-off ends the session at once.
  EXPECT_TRUE(RemoveUserSession(admin->userNumber));
  EXPECT_FALSE(RemoveUserSession(admin->userNumber));
  EXPECT_EQ(FindUserSession(admin->userNumber), nullptr);
  SetSessionTimeout(30);
}

TEST_F(WebRequestTest, HeaderNamesAndHost) {
  struct Case {
    std::string head;
    std::string host;
  } cases[] = {
      {"Host: a.example:99\r\n", "a.example:99"},
      {"host: b.example\r\n", "b.example"},  // as proxies write it
      {"HOST:c.example  \r\nAccept: */*\r\n", "c.example"},
      {"User-Agent: x Host: evil.example\r\n", "10.1.1.1:99"},  // not at a line start
      {"X-Host: evil.example\r\nHost: d.example\r\n", "d.example"},
      {"Host: e.example/x?\r\n", "10.1.1.1:99"},  // not a host
      {"Host: \r\n", "10.1.1.1:99"},
      {"", "10.1.1.1:99"},  // HTTP/1.0 without Host: the listening address
  };
  for (const auto& c : cases) {
    RemoteRequest r(WS_INVALID_SOCKET);
    r.localAddress_ = "10.1.1.1:99";
    r.SetText("GET /default.htm HTTP/1.0\r\n" + c.head);
    r.ParseHttpRequest(Roots());
    EXPECT_EQ(r.host_, c.host) << c.head;
    EXPECT_EQ(r.localPath_, "C:\\kv\\wwwroot\\default.htm") << c.head;
  }
  // HEAD is answered as GET is, its head alone.
  RemoteRequest head = Parse("HEAD /default.htm HTTP/1.0\r\nHost: h\r\n");
  EXPECT_TRUE(head.headOnly_);
  EXPECT_EQ(head.localPath_, "C:\\kv\\wwwroot\\default.htm");
  RemoteRequest len = Parse("POST /logon.htm HTTP/1.0\r\ncontent-length: 27\r\n");
  EXPECT_EQ(len.ContentLength(), 27);
  EXPECT_EQ(Parse("POST / HTTP/1.0\r\nContent-Length: -1\r\n").ContentLength(), -1);
}

TEST_F(WebRequestTest, FormSentByPostGivesVariables) {
  RemoteRequest r(WS_INVALID_SOCKET);
  r.SetText("POST /logon.htm HTTP/1.1\r\nHost: h\r\nContent-Length: 37\r\n");
  r.SetBody("Username=alice&Password=s%26cret+%22x");
  r.ParseHttpRequest(Roots());
  std::string v;
  r.GetVariableText("Username", v);
  EXPECT_EQ(v, "alice");
  r.GetVariableText("Password", v);
  EXPECT_EQ(v, "s&cret \"x");
  EXPECT_EQ(r.query_, "");  // nothing of it reaches the log line
}

TEST(WebThrottle, FailuresMakeTheKeyWaitLongerUpToItsCap) {
  ClearThrottle();
  const ThrottleRule rule{2, 4000};
  const uint32_t t = 0xFFFFF000u;  // across a tick wrap
  ThrottleFailure("k", rule, t);
  ThrottleFailure("k", rule, t);
  EXPECT_EQ(ThrottleWait("k", t), 0u);  // the free tries
  ThrottleFailure("k", rule, t);
  EXPECT_EQ(ThrottleWait("k", t), 500u);
  EXPECT_EQ(ThrottleWait("k", t + 499), 1u);
  EXPECT_EQ(ThrottleWait("k", t + 500), 0u);
  const uint32_t waits[] = {1000, 2000, 4000, 4000};
  uint32_t now = t + 500;
  for (uint32_t w : waits) {
    ThrottleFailure("k", rule, now);
    EXPECT_EQ(ThrottleWait("k", now), w);
    now += w;
  }
  EXPECT_EQ(ThrottleWait("other", now), 0u);
  ThrottleForget("k");
  EXPECT_EQ(ThrottleWait("k", t), 0u);
  // Left alone for a quarter of an hour, a key starts afresh.
  for (int i = 0; i < 5; ++i) ThrottleFailure("q", rule, t);
  ThrottleFailure("q", rule, t + 15 * 60000 + 1);
  EXPECT_EQ(ThrottleWait("q", t + 15 * 60000 + 1), 0u);
  ClearThrottle();
}

TEST_F(WebRequestTest, GuessedSessionNumbersAreThrottledPerAddress) {
  ClearThrottle();
  const std::string good = std::to_string(alice->userNumber);
  auto ask = [](const std::string& number, uint32_t peer) {
    RemoteRequest r(WS_INVALID_SOCKET);
    r.peerAddress_ = peer;
    r.SetText("GET /reports.htm?User=" + number + " HTTP/1.0\r\nHost: h\r\n");
    r.ParseHttpRequest(Roots());
    return r.session_ != nullptr;
  };
  for (uint32_t guess = 1; guess <= kSessionGuessRule.freeTries + 1; ++guess) ask(std::to_string(guess), 7);
  // The guesser's next try finds nothing, even the right number ...
  EXPECT_FALSE(ask(good, 7));
  // ... while other addresses are served.
  EXPECT_TRUE(ask(good, 8));
  ClearThrottle();
  EXPECT_TRUE(ask(good, 7));
}

TEST_F(WebRequestTest, AccessLogLine) {
  std::string n = std::to_string(alice->userNumber);
  RemoteRequest r = Parse("POST /" + n + "/alice/W/rep.htm?User=" + n + "&Password=pw HTTP/1.1\r\nHost: h\r\n");
  r.status_ = 200;
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 3;
  t.tm_hour = 4;
  t.tm_min = 5;
  t.tm_sec = 6;
  uint8_t peer[4] = {10, 0, 0, 7};
  // Session numbers are credentials: cut as passwords are.
  EXPECT_EQ(BuildAccessLogLine(r, peer, t),
            "10.0.0.7 - alice [3/Dec/2026:4:5:6] \"GET \\alice\\W\\rep.htm?User=&Password= HTTP/1.0\" 200 0\r\n");
  RemoteRequest bare = Parse("GET / HTTP/1.0\r\nHost: h\r\n");
  EXPECT_EQ(BuildAccessLogLine(bare, peer, t), "10.0.0.7 - - [3/Dec/2026:4:5:6] \"GET \\default.htm HTTP/1.0\" 0 0\r\n");
}

class WebResponseTest : public WebRequestTest {
 protected:
  void SetUp() override {
    WebRequestTest::SetUp();
    dir = std::filesystem::path(testing::TempDir()) / ("kvweb_resp_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "users" / "alice" / "Web Report");
    std::filesystem::create_directories(dir / "users" / "alice" / "Odd");
    std::ofstream(dir / "users" / "alice" / "Web Report" / "status.rep", std::ios::binary)
        << BuildStatusImage("Web Report", 1000, 2);
    std::string odd(1971, '\0');
    std::memcpy(odd.data() + 415, "17", 2);
    std::ofstream(dir / "users" / "alice" / "Odd" / "status.rep", std::ios::binary) << odd;
    settings = Roots();
    std::strcpy(settings.usersRoot, (dir / "users").c_str());
  }
  void TearDown() override {
    std::filesystem::remove_all(dir);
    WebRequestTest::TearDown();
  }
  std::filesystem::path dir;
  WebServerSettings settings;
  std::tm tm_{};
};

TEST_F(WebResponseTest, Heads) {
  std::string n = std::to_string(alice->userNumber);
  const std::string moved = "Content-Type: text/html\r\nContent-Length: 37\r\n\r\n<TITLE>URL Moved</TITLE>\r\nURL Moved\r\n";
  const std::string notFound =
      "HTTP/1.0 404 URL Not Found\r\nContent-Type: text/html\r\nContent-Length: 45\r\n\r\n<TITLE>URL Not "
      "Found</TITLE>\r\nURL Not Found\r\n";
  struct Case {
    std::string url;
    uint16_t status;
    std::string head;
  } cases[] = {
      {"/view.htm?User=" + n + "&Item=Web+Report", kStatusReportRedirect,
       "HTTP/1.0 301 Redirect\r\nLocation: http://h:99/" + n + "/alice/Web%20Report/rep.xls\r\n" + moved},
      // A type outside 0 to 4, and a missing status file, give "htm".
      {"/view.htm?User=" + n + "&Item=Odd", kStatusReportRedirect,
       "HTTP/1.0 301 Redirect\r\nLocation: http://h:99/" + n + "/alice/Odd/rep.htm\r\n" + moved},
      {"/view.htm?User=" + n + "&Item=None", kStatusReportRedirect,
       "HTTP/1.0 301 Redirect\r\nLocation: http://h:99/" + n + "/alice/None/rep.htm\r\n" + moved},
      // Names that Linux allows but a URL does not take as they are.
      {"/view.htm?User=" + n + "&Item=Q%231+50%25%3A%3F%22%3C%3E%C3%A9", kStatusReportRedirect,
       "HTTP/1.0 301 Redirect\r\nLocation: http://h:99/" + n + "/alice/Q%231%2050%25%3A%3F%22%3C%3E%C3%A9/rep.htm\r\n" +
           moved},
      // An item that would split the header or climb out is not redirected.
      {"/view.htm?User=" + n + "&Item=a%0d%0aSet-Cookie:x", kStatusReportRedirect, notFound},
      {"/view.htm?User=" + n + "&Item=..", kStatusReportRedirect, notFound},
      {"/view.htm?User=" + n + "&Item=a%2f..%2f..", kStatusReportRedirect, notFound},
      {"/sub", 301, "HTTP/1.0 301 Redirect\r\nLocation: http://h:99/sub\r\n" + moved},
      {"/x.htm", 0, notFound},
  };
  for (const auto& c : cases) {
    RemoteRequest r = Parse("GET " + c.url + " HTTP/1.0\r\nHost: h:99\r\n", settings);
    r.status_ = c.status;
    EXPECT_EQ(r.BuildHttpResponse(42, tm_, 0), c.head) << c.url;
  }
}

TEST_F(WebResponseTest, LongRedirectsAreWhole) {
  // A folder of a long path: the redirect carries all of it and ends its
  // head, however long the host and path are.
  const std::string folder = std::string(900, 'f') + "/" + std::string(600, 'g');
  RemoteRequest r = Parse("GET /" + folder + " HTTP/1.0\r\nHost: " + std::string(99, 'h') + "\r\n", settings);
  ASSERT_FALSE(r.localPath_.empty());
  r.status_ = 301;
  std::string head = r.BuildHttpResponse(1, tm_, 0);
  EXPECT_EQ(head.rfind("HTTP/1.0 301 Redirect\r\nLocation: http://" + std::string(99, 'h') + "/" + folder + "\r\n", 0), 0u);
  EXPECT_NE(head.find("\r\n\r\n<TITLE>URL Moved</TITLE>\r\nURL Moved\r\n"), std::string::npos);
}

TEST_F(WebResponseTest, ContentTypes) {
  struct Case {
    const char* url;
    const char* start;
    const char* type;
  } cases[] = {{"/a.htm", "", "text/html"},
               {"/a.HTML", "", "text/html"},
               {"/a.gif", "", "image/gif"},
               {"/a.xls", "", "application/msexcel"},
               {"/a.doc", "", "application/msword"},
               {"/a.cvs", "", "text/csv"},
               {"/favicon.ico", "", "image/x-icon"},
               // Text reports: plain, unless written as an HTML document.
               {"/rep.txt", "<script>alert(1)</script>", "text/plain"},
               {"/rep.txt", "Hits  <b>", "text/plain"},
               {"/rep.txt", "\xEF\xBB\xBF\r\n <!DOCTYPE html><html>", "text/html"},
               {"/rep.txt", "<HTML><HEAD>", "text/html"},
               // Only the name's own extension counts.
               {"/a.htm.bin", "", "application/octet-stream"},
               {"/x.html5/rep", "", "application/octet-stream"}};
  for (const auto& c : cases) {
    EXPECT_EQ(ContentTypeOf(c.url, c.start), c.type) << c.url << " " << c.start;
    RemoteRequest r = Parse(std::string("GET ") + c.url + " HTTP/1.0\r\nHost: h\r\n", settings);
    r.status_ = 200;
    r.contentType_ = ContentTypeOf(r.localPath_, c.start);
    r.contentLength_ = 12;
    std::string head = r.BuildHttpResponse(1, tm_, 0);
    EXPECT_EQ(head.rfind(std::string("HTTP/1.0 200 OK\r\nServer: Kelvaron Server\r\nAllow: GET, POST, HEAD\r\n") +
                             "Content-Type: " + c.type + "\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n" +
                             "Content-Length: 12\r\n" +
                             "Cache-Control: no-cache, no-store\r\nPragma: no-cache\r\nDate: ",
                         0),
              0u)
        << c.url << "\n" << head;
  }
}

TEST_F(WebRequestTest, IdleSessionsGoOneTickAfterTheTimeout) {
  const uint32_t start = 0xFFFFFF00u;  // the tick count wraps in between
  SetSessionTick(alice->userNumber, start);
  SetSessionTick(admin->userNumber, start + 1);
  EXPECT_EQ(RemoveIdleSessions(start + 5 * 60000u, 5), 0u);
  EXPECT_EQ(RemoveIdleSessions(start + 5 * 60000u + 1, 5), 1u);
  // Looked up at that moment (a use checks the idle time too).
  kv::ScopedTestClock clock(0, uint64_t{start} + 5 * 60000u + 1);
  SetSessionTimeout(5);
  EXPECT_EQ(FindUserSession(alice->userNumber), nullptr);
  EXPECT_NE(FindUserSession(admin->userNumber), nullptr);
  SetSessionTimeout(30);
}

TEST_F(WebResponseTest, OldReportsAreRemoved) {
  std::filesystem::create_directories(dir / "users" / "bob" / "New");
  std::ofstream(dir / "users" / "bob" / "New" / "status.rep", std::ios::binary)
      << BuildStatusImage("New", 1000 + 3 * 86400, 0);
  RemoveOldReports(settings, 1000 + 3 * 86400, 3);  // "Web Report": exactly three days
  EXPECT_TRUE(std::filesystem::exists(dir / "users" / "alice" / "Web Report"));
  RemoveOldReports(settings, 1000 + 3 * 86400 + 1, 0);  // below one day: no removal
  EXPECT_TRUE(std::filesystem::exists(dir / "users" / "alice" / "Web Report"));
  RemoveOldReports(settings, 1000 + 3 * 86400 + 1, 3);
  EXPECT_FALSE(std::filesystem::exists(dir / "users" / "alice" / "Web Report"));
  EXPECT_FALSE(std::filesystem::exists(dir / "users" / "alice" / "Odd"));  // its time is 0
  EXPECT_TRUE(std::filesystem::exists(dir / "users" / "bob" / "New"));
}

}  // namespace
