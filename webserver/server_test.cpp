// The server on loopback: start and stop, listening addresses, logon, report
// lists, requests through the program's hooks, redirects, options, slow and
// oversized requests and Remote.log.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/base/clock.h"
#include "platform/base/ini.h"
#include "platform/testsupport/files.h"
#include "platform/testsupport/ports.h"
#include "platform/ui/msgbox.h"
#include "shell/settings_file.h"
#include "webserver/request.h"
#include "webserver/webserver.h"

namespace fs = std::filesystem;

namespace {

using kv::test::ReadText;

fs::path g_folder;  // the program folder of this test process
std::string g_accounts;

class ProgramFolder : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string tmpl = testing::TempDir() + "kvweb_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    g_folder = tmpl;
    const char* src = std::getenv("KV_SOURCE_DIR");
    ASSERT_NE(src, nullptr);
    fs::copy(fs::path(src) / "data" / "wwwroot", g_folder / "wwwroot", fs::copy_options::recursive);
    std::ofstream(g_folder / "KELVARON.INI") << "[Defaults]\r\n";
    g_accounts = (g_folder / "accounts").string();
    std::ofstream(g_accounts) << "# test accounts\nalice:s&cret:staff\nbob:pw:staff\ncarol:pw2:staff,admins\n";
    setenv("KV_LOGON_USERS", g_accounts.c_str(), 1);
    setenv("KV_DEBUG_LOG", (g_folder / "debug.log").c_str(), 1);
    StoreProgramPath((g_folder / "KELVARON").c_str());
    InitWebServerSettings();
  }
  void TearDown() override {
    ExitWebServer();
    fs::remove_all(g_folder);
  }
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new ProgramFolder);

using kv::test::FreePort;

int Connect(const char* address, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  timeval tv{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string ReadToEnd(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

// Sends a raw request and returns the whole answer ("" when refused).
std::string Exchange(uint16_t port, const std::string& request, const char* address = "127.0.0.1") {
  int fd = Connect(address, port);
  if (fd < 0) return "";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  return ReadToEnd(fd);
}

std::string Get(uint16_t port, const std::string& url) {
  return Exchange(port, "GET " + url + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
}

bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

bool Accepts(const char* address, uint16_t port) {
  int fd = Connect(address, port);
  if (fd < 0) return false;
  close(fd);
  return true;
}

void SetKey(const char* key, const std::string& value) {
  ASSERT_TRUE(kv::IniWriteString("Defaults", key, value.c_str(), GetBaseIniPath()));
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class WebServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = FreePort();
    fs::remove(g_folder / "debug.log");
    fs::remove(g_folder / "Remote.log");
    std::ofstream(g_folder / "KELVARON.INI", std::ios::trunc) << "[Defaults]\r\n";
    SetKey("WebAddress", "127.0.0.1:" + std::to_string(port));
    previous = kv::ui::SetMessageBoxHandler([this](const kv::ui::MessageBoxInfo& info) {
      std::lock_guard<std::mutex> lock(boxLock);
      boxes.push_back(info.caption + "|" + info.text);
      return 1;
    });
  }
  void TearDown() override {
    ExitWebServer();
    kv::ui::SetMessageBoxHandler(previous);
    SetRemoteReportHooks({});
    fs::remove_all(g_folder / "Reports");
  }
  void StartEnabled() {
    SetKey("WebEnable", "TRUE");
    StartWebServer();
    ASSERT_TRUE(WaitFor([&] { return IsWebServerRunning(); }));
  }
  uint16_t port = 0;
  kv::ui::MessageBoxHandler previous;
  std::mutex boxLock;
  std::vector<std::string> boxes;
};

TEST_F(WebServerTest, EnableValuesAndStop) {
  struct Case {
    const char* value;
    bool on;
  } cases[] = {{"true", true}, {"yes", false}, {"True", true}, {"1", false},
               {"t", true},    {"", false},    {"TRUE", true}, {"FALSE", false}};
  for (const auto& c : cases) {
    SetKey("WebEnable", c.value);
    StartWebServer();
    if (c.on) {
      EXPECT_TRUE(WaitFor([&] { return IsWebServerRunning() && Accepts("127.0.0.1", port); })) << c.value;
      EXPECT_NE(Get(port, "/").find("200 OK"), std::string::npos) << c.value;
    } else {
      EXPECT_FALSE(IsWebServerRunning()) << c.value;
      EXPECT_TRUE(WaitFor([&] { return !Accepts("127.0.0.1", port); })) << c.value;
    }
  }
  EXPECT_TRUE(boxes.empty());
  // A missing WebAllowReport reads 0, whatever the record started with.
  EXPECT_EQ(GetWebServerSettings().allowRequests, 0);
  EXPECT_EQ(GetWebServerSettings().userTimeout, 30u);
}

TEST_F(WebServerTest, SecondStartStartsNoSecondListener) {
  SetKey("WebEnable", "TRUE");
  StartWebServer();
  StartWebServer();
  ASSERT_TRUE(WaitFor([&] { return IsWebServerRunning(); }));
  StartWebServer();
  EXPECT_NE(Get(port, "/").find("200 OK"), std::string::npos);
  ExitWebServer();
  std::string log = ReadText(g_folder / "debug.log");
  EXPECT_EQ(Count(log, "\nServerThread") + (log.rfind("ServerThread", 0) == 0 ? 1 : 0), 1u) << log;
  EXPECT_EQ(Count(log, "~ServerThread"), 1u) << log;
  EXPECT_EQ(Count(log, "bind failed"), 0u) << log;
}

TEST_F(WebServerTest, MissingLogonRightShowsTheMessageAndStaysStopped) {
  unsetenv("KV_LOGON_USERS");
  SetKey("WebEnable", "TRUE");
  StartWebServer();
  setenv("KV_LOGON_USERS", g_accounts.c_str(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(IsWebServerRunning());
  EXPECT_FALSE(Accepts("127.0.0.1", port));
  ASSERT_EQ(boxes.size(), 1u);
  const std::string caption = LoadResourceText(kCaptionNoLogonRight);
  const std::string text = LoadResourceText(kTextNoLogonRight);
  EXPECT_NE(caption, text);
  EXPECT_EQ(boxes[0], caption + "|" + text);
  // Called again with the right in place, it starts.
  StartWebServer();
  EXPECT_TRUE(WaitFor([&] { return IsWebServerRunning(); }));
}

TEST_F(WebServerTest, ListeningAddresses) {
  // A colon and a port: every local address.
  SetKey("WebAddress", ":" + std::to_string(port));
  StartEnabled();
  EXPECT_TRUE(Accepts("127.0.0.1", port));
  EXPECT_TRUE(Accepts("127.0.0.2", port));
  ExitWebServer();
  // An address and a port: that address only.
  SetKey("WebAddress", "127.0.0.2:" + std::to_string(port));
  StartEnabled();
  EXPECT_TRUE(Accepts("127.0.0.2", port));
  EXPECT_FALSE(Accepts("127.0.0.1", port));
  ExitWebServer();
  // An address alone: port 99 of that address.
  if (Accepts("127.0.0.2", 99) || Accepts("127.0.0.3", 99)) GTEST_SKIP() << "port 99 is taken";
  SetKey("WebAddress", "127.0.0.3");
  SetKey("WebEnable", "TRUE");
  StartWebServer();
  if (!WaitFor([&] { return IsWebServerRunning(); }, 2000)) GTEST_SKIP() << "port 99 cannot be bound here";
  EXPECT_TRUE(Accepts("127.0.0.3", 99));
  EXPECT_FALSE(Accepts("127.0.0.2", 99));
}

TEST_F(WebServerTest, SetUpFailureLeavesTheServerStoppedUntilTheNextStart) {
  // The port is held by a listener of the test's own.
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  SetKey("WebEnable", "TRUE");
  StartWebServer();
  EXPECT_TRUE(WaitFor([&] { return ReadText(g_folder / "debug.log").find("bind failed") != std::string::npos; }));
  EXPECT_FALSE(IsWebServerRunning());
  EXPECT_TRUE(boxes.empty());
  close(holder);
  StartWebServer();
  EXPECT_TRUE(WaitFor([&] { return IsWebServerRunning(); }));
  EXPECT_NE(Get(port, "/").find("200 OK"), std::string::npos);
}

std::string UserOf(const std::string& page) {
  std::smatch m;
  if (!std::regex_search(page, m, std::regex("User=([0-9]+)"))) return "";
  return m[1];
}

TEST_F(WebServerTest, UsersLogOnRequestReadAndDeleteReports) {
  SetKey("WebAllowReport", "1");
  SetKey("WebLogging", "1");
  SetKey("WebNoReports", "2");
  SetKey("WebAdmin", "gadmins");
  std::mutex jobsLock;
  std::vector<RemoteReportJob> jobs;
  RemoteReportHooks hooks;
  hooks.listProfiles = [] { return std::vector<std::string>{"Web Site", "Other & more", "Broken"}; };
  hooks.runReport = [&](const RemoteReportJob& job) -> int32_t {
    std::lock_guard<std::mutex> lock(jobsLock);
    jobs.push_back(job);
    if (job.profile == "Broken") return -1;
    std::ofstream(fs::path(job.folder) / "rep.htm") << "<HTML>report of " << job.profile << "</HTML>";
    return 0;
  };
  SetRemoteReportHooks(hooks);
  StartEnabled();

  std::string page = Get(port, "/");
  EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
  EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(page.find("NAME=\"Username\""), std::string::npos);

  EXPECT_NE(Get(port, "/logon.htm?Username=alice&Password=wrong").find("Logon failed"), std::string::npos);
  EXPECT_NE(Get(port, "/logon.htm?Username=alice&Password=s%26").find("Logon failed"), std::string::npos);
  // The name is typed in another case: the session and its folder are the
  // account's own.
  page = Get(port, "/logon.htm?Username=Alice&Password=s%26cret");
  ASSERT_NE(page.find("Welcome"), std::string::npos) << page;
  const std::string alice = UserOf(page);
  ASSERT_FALSE(alice.empty());

  page = Get(port, "/reports.htm?User=" + alice);
  EXPECT_NE(page.find("<option value=\"Web Site\">"), std::string::npos);
  EXPECT_NE(page.find(">Other &amp; more<"), std::string::npos);  // names are escaped
  EXPECT_EQ(page.find("%reportList%"), std::string::npos);

  // Requests: only listed profiles, a failed run leaves nothing behind.
  EXPECT_NE(Get(port, "/request.htm?User=" + alice + "&Item=Unlisted").find("No such report"), std::string::npos);
  EXPECT_NE(Get(port, "/request.htm?User=" + alice + "&Item=Broken").find("could not be made"), std::string::npos);
  EXPECT_NE(Get(port, "/request.htm?User=12345&Item=Web+Site").find("session has ended"), std::string::npos);
  page = Get(port, "/request.htm?User=" + alice + "&Item=Web+Site");
  EXPECT_NE(page.find("is ready"), std::string::npos) << page;
  const fs::path users = g_folder / "Reports" / "Remote Reports" / "users";
  // The jobs are written by the server's connection threads: read them
  // under the same lock.
  auto jobCount = [&] {
    std::lock_guard<std::mutex> lock(jobsLock);
    return jobs.size();
  };
  {
    std::lock_guard<std::mutex> lock(jobsLock);
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[1].userName, "alice");
    EXPECT_EQ(fs::path(jobs[1].folder), users / "alice" / "Web Site");
  }
  EXPECT_FALSE(fs::exists(users / "alice" / "Broken"));
  EXPECT_EQ(fs::file_size(users / "alice" / "Web Site" / "status.rep"), 1971u);

  page = Get(port, "/reports.htm?User=" + alice);
  EXPECT_NE(page.find("view.htm?User=" + alice + "&Item=Web+Site"), std::string::npos) << page;

  // Viewing redirects to the report file, which is then served as it is.
  page = Get(port, "/view.htm?User=" + alice + "&Item=Web+Site");
  EXPECT_EQ(page.substr(0, page.find("\r\n\r\n")), "HTTP/1.0 301 Redirect\r\nLocation: http://127.0.0.1:" +
                                                        std::to_string(port) + "/" + alice +
                                                        "/alice/Web%20Site/rep.htm\r\nContent-Type: text/html\r\n"
                                                        "Content-Length: 37");
  page = Get(port, "/" + alice + "/Alice/Web%20Site/rep.htm");
  EXPECT_NE(page.find("\r\n\r\n<HTML>report of Web Site</HTML>"), std::string::npos) << page;
  // Naming another user's folder reaches one's own.
  EXPECT_NE(Get(port, "/" + alice + "/bob/Web%20Site/rep.htm").find("report of Web Site"), std::string::npos);

  // Bob sees only his own folder, and may not change the options.
  // The field name is decoded for the logon, and so for the log's cut.
  const std::string bob = UserOf(Get(port, "/logon.htm?Username=bob&%50assword=pw"));
  ASSERT_FALSE(bob.empty());
  EXPECT_NE(Get(port, "/" + bob + "/Alice/Web%20Site/rep.htm").find("404 URL Not Found"), std::string::npos);
  EXPECT_EQ(Get(port, "/users/Alice/Web%20Site/rep.htm").find("report of"), std::string::npos);
  EXPECT_NE(Get(port, "/saveopt.htm?User=" + bob + "&WebUserTimeout=5&WebNoReports=1&WebNoDays=2")
                .find("Only the administrator"),
            std::string::npos);
  EXPECT_EQ(kv::IniString("Defaults", "WebNoReports", "", GetBaseIniPath()), "2");

  // The per-user limit.
  EXPECT_NE(Get(port, "/request.htm?User=" + alice + "&Item=Other+%26+more").find("is ready"), std::string::npos);
  EXPECT_NE(Get(port, "/request.htm?User=" + bob + "&Item=Web+Site").find("is ready"), std::string::npos);
  size_t before = jobCount();
  EXPECT_NE(Get(port, "/request.htm?User=" + alice + "&Item=Broken").find("as many reports"), std::string::npos);
  EXPECT_EQ(jobCount(), before);
  // Asking again for a report one holds replaces it.
  EXPECT_NE(Get(port, "/request.htm?User=" + alice + "&Item=Web+Site").find("is ready"), std::string::npos);

  // Carol is an administrator through her group.
  const std::string carol = UserOf(Get(port, "/logon.htm?Username=carol&Password=pw2"));
  ASSERT_FALSE(carol.empty());
  EXPECT_NE(Get(port, "/" + carol + "/alice/Web%20Site/rep.htm").find("report of Web Site"), std::string::npos);
  EXPECT_NE(Get(port, "/options.htm?User=" + carol).find("name=\"WebNoReports\" value=\"2\""), std::string::npos);
  page = Get(port, "/saveopt.htm?User=" + carol + "&WebUserTimeout=5&WebNoReports=1&WebNoDays=2&WebLogging=1");
  EXPECT_NE(page.find("saved"), std::string::npos) << page;
  EXPECT_EQ(kv::IniString("Defaults", "WebNoDays", "", GetBaseIniPath()), "-2");  // removal off
  EXPECT_EQ(GetWebServerSettings().daysToKeep, -2);
  EXPECT_EQ(GetWebServerSettings().reportsPerUser, 1);
  EXPECT_EQ(GetWebServerSettings().allowRequests, 0);
  EXPECT_TRUE(IsWebServerRunning());
  EXPECT_NE(Get(port, "/request.htm?User=" + alice + "&Item=Web+Site").find("cannot be requested"),
            std::string::npos);

  EXPECT_NE(Get(port, "/delete.htm?User=" + alice + "&Item=Web+Site").find("was deleted"), std::string::npos);
  EXPECT_FALSE(fs::exists(users / "alice" / "Web Site"));
  EXPECT_NE(Get(port, "/delete.htm?User=" + alice + "&Item=..").find("No such report"), std::string::npos);
  EXPECT_TRUE(fs::exists(users / "alice"));

  // Remote.log: one line per answer, passwords cut.
  std::string log = ReadText(g_folder / "Remote.log");
  EXPECT_EQ(log.find("cret"), std::string::npos);
  EXPECT_EQ(log.find("pw2"), std::string::npos);
  EXPECT_EQ(log.find("assword=pw"), std::string::npos) << log;
  EXPECT_NE(log.find("Username=bob&%50assword= HTTP/1.0"), std::string::npos) << log;
  EXPECT_NE(log.find("127.0.0.1 - - ["), std::string::npos);
  EXPECT_NE(log.find("\"GET \\logon.htm?Username=Alice&Password= HTTP/1.0\" 200 0\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" - alice ["), std::string::npos);
  EXPECT_NE(log.find("\"GET \\view.htm?User=&Item=Web+Site HTTP/1.0\" 11301 0\r\n"), std::string::npos);
  EXPECT_NE(log.find("\"GET \\alice\\Web Site\\rep.htm HTTP/1.0\" 200 0\r\n"), std::string::npos) << log;
  // Session numbers are credentials: the log holds none, and only the
  // program's user may read it.
  for (const std::string& number : {alice, bob, carol}) EXPECT_EQ(log.find(number), std::string::npos) << number;
  struct stat st {};
  ASSERT_EQ(::stat((g_folder / "Remote.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(WebServerTest, SessionsEndAtLogOffAndWhenIdleUnderTraffic) {
  SetKey("WebUserTimeout", "1");
  StartEnabled();
  auto ended = [&](const std::string& user) {
    return Get(port, "/reports.htm?User=" + user).find("session has ended") != std::string::npos;
  };
  // Log-off ends the session at once; the form posts its fields.
  const std::string form = "Username=bob&Password=pw";
  const std::string bob = UserOf(Exchange(port, "POST /logon.htm HTTP/1.0\r\nContent-Length: " +
                                                    std::to_string(form.size()) + "\r\n\r\n" + form));
  ASSERT_FALSE(bob.empty());
  EXPECT_FALSE(ended(bob));
  EXPECT_NE(Get(port, "/logoff.htm?User=" + bob).find("logged off"), std::string::npos);
  EXPECT_TRUE(ended(bob));

  const std::string alice = UserOf(Get(port, "/logon.htm?Username=alice&Password=s%26cret"));
  const std::string carol = UserOf(Get(port, "/logon.htm?Username=carol&Password=pw2"));
  ASSERT_FALSE(alice.empty());
  ASSERT_FALSE(carol.empty());
  // Time passes with requests all along (carol's): alice, idle for longer
  // than the time-out, is gone; carol, who kept using hers, is not.
  kv::ScopedTestClock clock(kv::Now(), kv::TickCount64());
  for (int step = 0; step < 4; ++step) {
    clock.Advance(20000);
    EXPECT_FALSE(ended(carol)) << step;
  }
  EXPECT_TRUE(ended(alice));
  EXPECT_FALSE(ended(carol));
}

// With a descriptor limit of 64 the server still serves the six connections
// a browser opens at once, and more.
TEST_F(WebServerTest, ALowDescriptorLimitStillServesABrowsersConnections) {
  StartEnabled();
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  int open = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++open;
  }
  if (open > 36) GTEST_SKIP() << open << " descriptors open already";
  rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  // Eight requests held open at once (their last line still to come), then
  // ended together: every one is answered.
  std::vector<int> clients;
  for (int i = 0; i < 8; ++i) {
    int fd = Connect("127.0.0.1", port);
    if (fd < 0) break;
    const std::string head = "GET /default.htm HTTP/1.0\r\nHost: x\r\n";
    send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    clients.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int fd : clients) send(fd, "\r\n", 2, MSG_NOSIGNAL);
  int served = 0;
  for (int fd : clients) served += ReadToEnd(fd).rfind("HTTP/1.0 200 OK\r\n", 0) == 0 ? 1 : 0;
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(clients.size(), 8u);
  EXPECT_EQ(served, 8);
}

TEST_F(WebServerTest, LoggingFollowsTheKey) {
  std::ofstream(g_folder / "Remote.log") << "old line\r\n";
  SetKey("WebLogging", "0");
  StartEnabled();
  Get(port, "/");
  EXPECT_EQ(ReadText(g_folder / "Remote.log"), "old line\r\n");
  SetKey("WebLogging", "1");
  StartWebServer();
  Get(port, "/a.htm");
  std::string log = ReadText(g_folder / "Remote.log");
  EXPECT_EQ(log.rfind("old line\r\n127.0.0.1 - - [", 0), 0u) << log;
  EXPECT_NE(log.find("\"GET \\a.htm HTTP/1.0\" 0 0\r\n"), std::string::npos) << log;
  SetKey("WebLogging", "0");
  StartWebServer();
  Get(port, "/b.htm");
  EXPECT_EQ(ReadText(g_folder / "Remote.log"), log);
}

TEST_F(WebServerTest, StalledAndOversizedRequestsAreAnswered) {
  StartEnabled();
  // No empty line: answered once the client has been quiet for a while.
  auto start = std::chrono::steady_clock::now();
  int fd = Connect("127.0.0.1", port);
  ASSERT_GE(fd, 0);
  std::string part = "GET /default.htm HTTP/1.0\r\nHost: x\r\n";
  send(fd, part.data(), part.size(), MSG_NOSIGNAL);
  std::string answer = ReadToEnd(fd);
  EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << answer;
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  // More than the buffer holds, never ended: cut and answered.
  answer = Exchange(port, "GET /default.htm HTTP/1.0\r\nHost: x\r\nX-Long: " + std::string(5000, 'a'));
  EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
  // A folder is redirected to its default page, a missing file is not found.
  fs::create_directories(g_folder / "wwwroot" / "sub");
  EXPECT_EQ(Get(port, "/sub").rfind("HTTP/1.0 301 Redirect\r\nLocation: http://127.0.0.1:" + std::to_string(port) +
                                        "/sub/\r\nContent-Type: text/html\r\nContent-Length: 37\r\n\r\n"
                                        "<TITLE>URL Moved</TITLE>\r\nURL Moved\r\n",
                                    0),
            0u);
  EXPECT_EQ(Get(port, "/nothing.htm").rfind("HTTP/1.0 404 URL Not Found\r\n", 0), 0u);
  EXPECT_EQ(Exchange(port, "BREW / HTTP/1.0\r\nHost: x\r\n\r\n").rfind("HTTP/1.0 404", 0), 0u);
}

// Sends a request whole, waits until the server has surely answered and
// closed, then reads: a connection reset meanwhile throws the answer away
// ("" and *reset then).
std::string ExchangeLate(uint16_t port, const std::string& request, bool* reset) {
  *reset = false;
  int fd = Connect("127.0.0.1", port);
  if (fd < 0) return "";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == ECONNRESET) *reset = true;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

TEST_F(WebServerTest, LongHeadsAreReadWholeAndAnsweredWithoutAReset) {
  StartEnabled();
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  std::string cookies = "Cookie: ";
  for (int i = 0; cookies.size() < 2700; ++i) cookies += "pref" + std::to_string(i) + "=" + std::string(40, 'c') + "; ";
  cookies += "\r\n";
  struct Case {
    std::string head;
    std::string status;
  } cases[] = {
      // A browser's head with the cookies of its host: answered, not reset.
      {"GET /default.htm HTTP/1.1\r\n" + host + "User-Agent: test\r\n" + cookies + "\r\n", "HTTP/1.0 200 OK\r\n"},
      {"GET /default.htm HTTP/1.0\r\n" + host + "X-Pad: " + std::string(8000, 'p') + "\r\n\r\n",
       "HTTP/1.0 200 OK\r\n"},
      // Beyond what is read: refused as too large, the refusal not lost.
      {"GET /default.htm HTTP/1.0\r\n" + host + "X-Pad: " + std::string(9000, 'p') + "\r\n\r\n",
       "HTTP/1.0 431 Request Header Fields Too Large\r\n"},
      {"GET /default.htm HTTP/1.0\r\n" + host + "X-Pad: " + std::string(60000, 'p') + "\r\n\r\n",
       "HTTP/1.0 431 Request Header Fields Too Large\r\n"},
  };
  for (const auto& c : cases) {
    bool reset = false;
    std::string answer = ExchangeLate(port, c.head, &reset);
    EXPECT_FALSE(reset) << c.head.size();
    EXPECT_EQ(answer.rfind(c.status, 0), 0u) << c.head.size() << ": " << answer.substr(0, 200);
    // The answer says its length, and all of it came.
    size_t length = answer.find("Content-Length: ");
    ASSERT_NE(length, std::string::npos) << answer;
    EXPECT_EQ(answer.size() - answer.find("\r\n\r\n") - 4, std::stoul(answer.substr(length + 16))) << answer;
  }
}

TEST_F(WebServerTest, FilesCarryTheirLengthAndACutTransferIsReset) {
  StartEnabled();
  std::string content;
  for (int i = 0; content.size() < (24u << 20); ++i) content += "row " + std::to_string(i) + "\n";
  std::ofstream(g_folder / "wwwroot" / "data.txt", std::ios::binary) << content;
  std::string answer = Get(port, "/data.txt");
  EXPECT_NE(answer.find("Content-Length: " + std::to_string(content.size()) + "\r\n"), std::string::npos);
  EXPECT_NE(answer.find("Content-Type: text/plain\r\n"), std::string::npos);
  EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), content);
  // HEAD: the same head, no body.
  std::string head = Exchange(port, "HEAD /data.txt HTTP/1.0\r\n\r\n");
  auto withoutDate = [](std::string h) {
    size_t at = h.find("Date: ");
    return at == std::string::npos ? h : h.erase(at, h.find("\r\n", at) + 2 - at);
  };
  EXPECT_EQ(withoutDate(head), withoutDate(answer.substr(0, answer.find("\r\n\r\n") + 4)));
  EXPECT_NE(head.find("Content-Length: " + std::to_string(content.size()) + "\r\n"), std::string::npos);
  EXPECT_EQ(head.find("\r\n\r\n") + 4, head.size());

  // The file is cut short while it is sent: the client is told by a reset,
  // never by a clean end after a part.
  int fd = Connect("127.0.0.1", port);
  ASSERT_GE(fd, 0);
  std::string r = "GET /data.txt HTTP/1.0\r\n\r\n";
  send(fd, r.data(), r.size(), MSG_NOSIGNAL);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  fs::resize_file(g_folder / "wwwroot" / "data.txt", 1000);
  std::string got;
  char buf[4096];
  bool reset = false;
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == ECONNRESET) reset = true;
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  EXPECT_TRUE(reset) << got.size() << " bytes, then a clean end";
  fs::remove(g_folder / "wwwroot" / "data.txt");
}

// ---- load, faults and hostile clients ----

// A client socket connected from a chosen loopback address (-1 on failure).
int ConnectFrom(const char* source, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  timeval tv{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A figure of this process from /proc/self/status ("VmRSS", "Threads").
long ProcessFigure(const std::string& name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::atol(line.c_str() + name.size() + 1);
  }
  return -1;
}

bool Readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

TEST_F(WebServerTest, IdleDownloadsOfOneUserHoldNoMoreThanTheirShare) {
  StartEnabled();
  const fs::path folder = g_folder / "Reports" / "Remote Reports" / "users" / "alice" / "Big";
  fs::create_directories(folder);
  std::ofstream(folder / "status.rep", std::ios::binary) << std::string(1971, '\0');
  {
    std::ofstream big(folder / "rep.htm", std::ios::binary);
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 8; ++i) big << block;
  }
  const std::string alice = UserOf(Get(port, "/logon.htm?Username=alice&Password=s%26cret"));
  const std::string bob = UserOf(Get(port, "/logon.htm?Username=bob&Password=pw"));
  ASSERT_FALSE(alice.empty());
  ASSERT_FALSE(bob.empty());
  // Twenty-four downloads of alice's big report that are never read (small
  // receive buffers, so that the report cannot go into them whole).
  std::vector<int> idle;
  for (int i = 0; i < 24; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.5", &from.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(port);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const std::string r = "GET /" + alice + "/alice/Big/rep.htm HTTP/1.0\r\nHost: x\r\n\r\n";
    send(fd, r.data(), r.size(), MSG_NOSIGNAL);
    idle.push_back(fd);
  }
  int busy = 0, sending = 0;
  for (int fd : idle) {
    char status[13] = {};
    if (!Readable(fd, 5000) || recv(fd, status, 12, MSG_PEEK) != 12) continue;
    busy += std::string(status) == "HTTP/1.0 503" ? 1 : 0;
    sending += std::string(status) == "HTTP/1.0 200" ? 1 : 0;
  }
  EXPECT_EQ(sending, 16);
  EXPECT_EQ(busy, 8);
  // Meanwhile other users are served.
  EXPECT_NE(Get(port, "/reports.htm?User=" + bob).find("Your reports"), std::string::npos);
  for (int fd : idle) close(fd);
  EXPECT_TRUE(WaitFor([&] {
    return Get(port, "/" + alice + "/alice/Big/rep.htm").rfind("HTTP/1.0 200 OK\r\n", 0) == 0;
  }, 15000));
  fs::remove_all(folder);
}

TEST_F(WebServerTest, FailedAcceptIsRetriedAndTheServerGoesOn) {
  StartEnabled();
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 512);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  // The client's thread is made and running first: nothing but its socket
  // may need a descriptor once the table is full.
  std::atomic<bool> running{false}, go{false}, answered{false};
  std::string answer;
  std::thread client([&] {
    running = true;
    while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    answer = Get(port, "/default.htm");
    answered = true;
  });
  // The descriptor table full but for the client's own socket: the server's
  // accept fails with "too many open files" for a while.
  while (!running) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::vector<int> fillers;
  for (int fd; (fd = dup(0)) >= 0;) fillers.push_back(fd);
  const int error = errno;
  close(fillers.back());
  fillers.pop_back();
  go = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_FALSE(answered);  // nothing could be accepted meanwhile
  for (int fd : fillers) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  client.join();
  EXPECT_EQ(error, EMFILE);
  EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << answer;
  EXPECT_TRUE(IsWebServerRunning());
  EXPECT_EQ(Get(port, "/").rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
}

TEST_F(WebServerTest, FileVanishingWhileServedGivesOnly200Or404) {
  StartEnabled();
  const fs::path source = g_folder / "race-source.txt";
  const fs::path served = g_folder / "wwwroot" / "race.txt";
  const fs::path page = g_folder / "wwwroot" / "race.htm";
  const fs::path pageSource = g_folder / "race-source.htm";
  std::string content;
  for (int i = 0; content.size() < 200000; ++i) content += "line " + std::to_string(i) + "\n";
  std::ofstream(source, std::ios::binary) << content;
  std::ofstream(pageSource, std::ios::binary) << "<p>race %User%</p>";
  std::atomic<bool> done{false};
  std::thread flipper([&] {
    while (!done) {
      ::link(source.c_str(), served.c_str());
      ::link(pageSource.c_str(), page.c_str());
      std::this_thread::yield();
      ::unlink(served.c_str());
      ::unlink(page.c_str());
    }
  });
  std::mutex lock;
  std::map<std::string, int> seen;
  std::vector<std::thread> clients;
  for (int c = 0; c < 16; ++c) {
    clients.emplace_back([&, c] {
      for (int i = 0; i < 30; ++i) {
        const bool asPage = (i + c) % 2 == 0;
        std::string a = Get(port, asPage ? "/race.htm" : "/race.txt");
        std::string kind = a.substr(0, a.find("\r\n"));
        if (kind == "HTTP/1.0 200 OK") {
          std::string body = a.substr(a.find("\r\n\r\n") + 4);
          if (body != (asPage ? "<p>race 0</p>" : content)) kind += " with a wrong body of " + std::to_string(body.size());
        }
        std::lock_guard<std::mutex> l(lock);
        ++seen[kind];
      }
    });
  }
  for (auto& t : clients) t.join();
  done = true;
  flipper.join();
  int total = 0;
  for (const auto& [kind, n] : seen) {
    total += n;
    EXPECT_TRUE(kind == "HTTP/1.0 200 OK" || kind == "HTTP/1.0 404 URL Not Found") << n << " answers: " << kind;
  }
  EXPECT_EQ(total, 16 * 30);
  EXPECT_TRUE(IsWebServerRunning());
  EXPECT_EQ(Get(port, "/").rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
}

TEST_F(WebServerTest, SlowReadersOfABigFileHoldLittleMemoryAndAreDropped) {
  StartEnabled();
  constexpr off_t kSize = 50 << 20;
  {
    std::ofstream(g_folder / "wwwroot" / "big.bin");
    ASSERT_EQ(truncate((g_folder / "wwwroot" / "big.bin").c_str(), kSize), 0);
  }
  ASSERT_EQ(Get(port, "/").rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long threadsBefore = ProcessFigure("Threads");
  const long memoryBefore = ProcessFigure("VmRSS");
  // Twenty clients ask for the file and never read.
  std::vector<int> readers;
  for (int i = 0; i < 20; ++i) {
    // From an address of their own, so that their ports are no other test's.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.5", &from.sin_addr);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    std::string request = "GET /big.bin HTTP/1.0\r\nHost: x\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    readers.push_back(fd);
  }
  for (int fd : readers) EXPECT_TRUE(Readable(fd, 10000));  // the answer has begun
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long grown = ProcessFigure("VmRSS") - memoryBefore;  // kB
  EXPECT_LT(grown, 200 * 1024) << "kB more while 20 clients hold a 50 MB file";
  // Other clients are still served meanwhile.
  EXPECT_EQ(Get(port, "/default.htm").rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
  // The server gives the readers up: their threads end without a byte read.
  EXPECT_TRUE(WaitFor([&] { return ProcessFigure("Threads") <= threadsBefore; }, 40000))
      << ProcessFigure("Threads") << " threads, " << threadsBefore << " before";
  for (int fd : readers) {
    std::string got = ReadToEnd(fd);
    EXPECT_LT(got.size(), static_cast<size_t>(kSize));
    EXPECT_EQ(got.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
  }
  fs::remove(g_folder / "wwwroot" / "big.bin");
}

TEST_F(WebServerTest, TricklingClientsAreBoundedRefusedAndClosed) {
  StartEnabled();
  // A hundred clients from one address (one of their own, so that their
  // ports are no other test's) send a byte a second and never end their
  // request.
  std::vector<int> tricklers;
  for (int i = 0; i < 100; ++i) {
    int fd = ConnectFrom("127.0.0.4", port);
    ASSERT_GE(fd, 0);
    send(fd, "GET /default.htm HTTP/1.0\r\nX: ", 31, MSG_NOSIGNAL);
    tricklers.push_back(fd);
  }
  // Clients of other addresses are still served meanwhile.
  for (const char* other : {"127.0.0.2", "127.0.0.3"}) {
    int fd = ConnectFrom(other, port);
    ASSERT_GE(fd, 0) << other;
    std::string r = "GET /default.htm HTTP/1.0\r\nHost: x\r\n\r\n";
    send(fd, r.data(), r.size(), MSG_NOSIGNAL);
    EXPECT_EQ(ReadToEnd(fd).rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << other;
  }
  // Those over the bound are refused at once and plainly; the rest are
  // closed once their request has taken too long.
  int refused = 0, closed = 0;
  std::vector<bool> ended(tricklers.size(), false);
  for (int second = 0; second < 40 && closed + refused < static_cast<int>(tricklers.size()); ++second) {
    for (size_t i = 0; i < tricklers.size(); ++i) {
      if (ended[i]) continue;
      if (Readable(tricklers[i], 0)) {
        std::string answer = ReadToEnd(tricklers[i]);
        ended[i] = true;
        if (answer.rfind("HTTP/1.0 503", 0) == 0)
          ++refused;
        else
          ++closed;
        continue;
      }
      send(tricklers[i], "a", 1, MSG_NOSIGNAL);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  EXPECT_GT(refused, 0);
  EXPECT_LT(refused, 100);
  EXPECT_EQ(refused + closed, 100) << refused << " refused, " << closed << " closed";
  for (size_t i = 0; i < tricklers.size(); ++i) {
    if (!ended[i]) close(tricklers[i]);
  }
  EXPECT_TRUE(IsWebServerRunning());
  EXPECT_EQ(Get(port, "/").rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
}

TEST_F(WebServerTest, InstalledPagesShowNoEscapeText) {
  SetKey("WebAllowReport", "1");
  StartEnabled();
  const std::string user = UserOf(Get(port, "/logon.htm?Username=bob&Password=pw"));
  ASSERT_FALSE(user.empty());
  for (const auto& entry : fs::directory_iterator(g_folder / "wwwroot")) {
    if (entry.path().extension() != ".htm") continue;
    const std::string name = entry.path().filename().string();
    std::string page = Get(port, "/" + name + "?User=" + user);
    EXPECT_EQ(page.find("\\r\\n"), std::string::npos) << name << ":\n" << page;
  }
}

}  // namespace
