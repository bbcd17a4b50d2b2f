// Request parsing, path mapping, answer heads, log lines and sessions.
#include "webserver/request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

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
      "GET / HTTP/1.0\r\nHost_ h\r\n",      // no Host header
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
  };
  for (const auto& c : cases) EXPECT_EQ(HidePasswords(c.in), c.out) << c.in;
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
  EXPECT_EQ(BuildAccessLogLine(r, peer, t), "10.0.0.7 - alice [3/Dec/2026:4:5:6] \"GET \\alice\\W\\rep.htm?User=" + n +
                                                "&Password= HTTP/1.0\" 200 0\r\n");
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
  struct Case {
    std::string url;
    uint16_t status;
    std::string head;
  } cases[] = {
      {"/view.htm?User=" + n + "&Item=Web+Report", kStatusReportRedirect,
       "HTTP/1.0 301 Redirect\r\nLocation: http://h:99/" + n + "/alice/Web%20Report/rep.xls\r\n\r\n"},
      // A type outside 0 to 4, and a missing status file, give "htm".
      {"/view.htm?User=" + n + "&Item=Odd", kStatusReportRedirect,
       "HTTP/1.0 301 Redirect\r\nLocation: http://h:99/" + n + "/alice/Odd/rep.htm\r\n\r\n"},
      {"/view.htm?User=" + n + "&Item=None", kStatusReportRedirect,
       "HTTP/1.0 301 Redirect\r\nLocation: http://h:99/" + n + "/alice/None/rep.htm\r\n\r\n"},
      // An item that would split the header or climb out is not redirected.
      {"/view.htm?User=" + n + "&Item=a%0d%0aSet-Cookie:x", kStatusReportRedirect,
       "HTTP/1.0 404 URL Not Found\r\n\r\n<TITLE>URL Not Found</TITLE>\r\nURL Not Found #42\r\n"},
      {"/view.htm?User=" + n + "&Item=..", kStatusReportRedirect,
       "HTTP/1.0 404 URL Not Found\r\n\r\n<TITLE>URL Not Found</TITLE>\r\nURL Not Found #42\r\n"},
      {"/sub", 301, "HTTP/1.0 301 Redirect\r\nLocation: http://h:99/sub\r\n\r\n<TITLE>URL Moved</TITLE>\r\nURL Moved #42\r\n"},
      {"/x.htm", 0, "HTTP/1.0 404 URL Not Found\r\n\r\n<TITLE>URL Not Found</TITLE>\r\nURL Not Found #42\r\n"},
  };
  for (const auto& c : cases) {
    RemoteRequest r = Parse("GET " + c.url + " HTTP/1.0\r\nHost: h:99\r\n", settings);
    r.status_ = c.status;
    EXPECT_EQ(r.BuildHttpResponse(42, tm_, 0), c.head) << c.url;
  }
}

TEST_F(WebResponseTest, ContentTypeByPath) {
  struct Case {
    const char* url;
    const char* type;
  } cases[] = {{"/a.htm", "Content-Type: text/html\r\n"},
               {"/a.html", "Content-Type: text/html\r\n"},
               {"/a.gif", "Content-Type: image/gif\r\n"},
               {"/a.xls", "Content-Type: application/msexcel\r\n"},
               {"/a.doc", "Content-Type: application/msword\r\n"},
               {"/a.txt", ""}};
  for (const auto& c : cases) {
    RemoteRequest r = Parse(std::string("GET ") + c.url + " HTTP/1.0\r\nHost: h\r\n", settings);
    r.status_ = 200;
    std::string head = r.BuildHttpResponse(1, tm_, 0);
    EXPECT_EQ(head.rfind(std::string("HTTP/1.0 200 OK\r\nServer: Kelvaron Server\r\nAllow: GET, POST\r\n") + c.type +
                             "Cache-Control: no-cache\r\nPragma: no-cache\r\nDate: ",
                         0),
              0u)
        << c.url;
  }
}

TEST_F(WebRequestTest, IdleSessionsGoOneTickAfterTheTimeout) {
  const uint32_t start = 0xFFFFFF00u;  // the tick count wraps in between
  SetSessionTick(alice->userNumber, start);
  SetSessionTick(admin->userNumber, start + 1);
  EXPECT_EQ(RemoveIdleSessions(start + 5 * 60000u, 5), 0u);
  EXPECT_EQ(RemoveIdleSessions(start + 5 * 60000u + 1, 5), 1u);
  EXPECT_EQ(FindUserSession(alice->userNumber), nullptr);
  EXPECT_NE(FindUserSession(admin->userNumber), nullptr);
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
