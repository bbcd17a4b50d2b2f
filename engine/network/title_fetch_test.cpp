// Page titles read from pages served on loopback (HTTP by a small Python
// server, FTP by pyftpdlib), and the parsing of titles and page addresses.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <vornic/titles.h>

#include "engine/network/remote_test_support.h"
#include "engine/network/title_cache.h"
#include "engine/network/title_fetch.h"

using namespace remotetest;

namespace {

// Host names are resolved from a hosts file of this program's own: it
// re-executes itself under nss_wrapper before main, so that no lookup leaves
// the machine.
constexpr const char kHostsVariable[] = "KV_TITLE_TEST_HOSTS";

void RemoveHostsFile() {
  const char* path = getenv(kHostsVariable);
  if (path == nullptr) return;
  const std::string file(path);
  std::remove(file.c_str());
  rmdir(file.substr(0, file.rfind('/')).c_str());
}

__attribute__((constructor)) void RunUnderNssWrapper(int /*argc*/, char** argv) {
  if (getenv(kHostsVariable) != nullptr) {
    atexit(RemoveHostsFile);
    return;
  }
  char dir[] = "/tmp/kvtitlehostsXXXXXX";
  if (mkdtemp(dir) == nullptr) return;
  const std::string hosts = std::string(dir) + "/hosts";
  FILE* f = std::fopen(hosts.c_str(), "w");
  if (f == nullptr) return;
  std::fputs("127.0.0.1 pages.titles.test\n", f);
  std::fclose(f);
  std::string preload = "libnss_wrapper.so";
  if (const char* old = getenv("LD_PRELOAD"); old != nullptr && *old != '\0') preload += std::string(":") + old;
  std::string asan = "verify_asan_link_order=0";
  if (const char* old = getenv("ASAN_OPTIONS"); old != nullptr && *old != '\0') asan = std::string(old) + ":" + asan;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  setenv("ASAN_OPTIONS", asan.c_str(), 1);
  setenv("NSS_WRAPPER_HOSTS", hosts.c_str(), 1);
  setenv("NSS_WRAPPER_DISABLE_DEEPBIND", "1", 1);  // the sanitizer runtime refuses deep binding
  setenv(kHostsVariable, hosts.c_str(), 1);
  execv("/proc/self/exe", argv);
  // Could not re-execute: the name tests below then fail visibly.
  RemoveHostsFile();
}

// ---- title extraction and page addresses ---------------------------------------

TEST(ExtractHtmlTitle, FindsTheFirstCompleteTitleElement) {
  struct Case {
    const char* html;
    bool found;
    const char* title;
  };
  const Case cases[] = {
      {"<html><head><title>Home</title></head>", true, "Home"},
      {"<TITLE>Mixed Case</tItLe>", true, "Mixed Case"},
      {"<title lang=\"en\">With attributes</title>", true, "With attributes"},
      {"<title>\r\n\t Spread \n\n over\tlines \r\n</title>", true, "Spread over lines"},
      {"<title>a\x01\x1f" "b</title>", true, "a b"},
      {"<title>First</title><title>Second</title>", true, "First"},
      {"<titles>not a title</titles><title>Real</title>", true, "Real"},
      {"<title>   </title>", false, ""},
      {"<title></title>", false, ""},
      {"<title>Never closed", false, ""},
      {"<title", false, ""},
      {"<title attr", false, ""},
      {"no markup at all", false, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    std::string title = "unchanged";
    EXPECT_EQ(vrn::ExtractHtmlTitle(c.html, std::strlen(c.html), &title), c.found) << c.html;
    if (c.found) {
      EXPECT_EQ(title, c.title) << c.html;
    }
  }
}

TEST(ExtractHtmlTitle, CutsLongTitlesAndStopsAtTheGivenSize) {
  const std::string html = "<title>" + std::string(1000, 'x') + "</title>";
  std::string title;
  ASSERT_TRUE(vrn::ExtractHtmlTitle(html.data(), html.size(), &title));
  EXPECT_EQ(title, std::string(vrn::kTitleTextMax, 'x'));
  // A cut never ends the title with a blank.
  const std::string words = "<title>" + std::string(vrn::kTitleTextMax - 1, 'y') + " z</title>";
  ASSERT_TRUE(vrn::ExtractHtmlTitle(words.data(), words.size(), &title));
  EXPECT_EQ(title, std::string(vrn::kTitleTextMax - 1, 'y'));
  // The closing tag beyond the given size is not seen.
  EXPECT_FALSE(vrn::ExtractHtmlTitle(html.data(), html.size() - 3, &title));
}

TEST(ParsePageLocation, SplitsSchemeHostPortAndPath) {
  struct Case {
    const char* address;
    bool ok;
    bool ftp;
    const char* host;
    uint16_t port;
    const char* path;
  };
  const Case cases[] = {
      {"http://www.example.test/docs/a.html", true, false, "www.example.test", 80, "/docs/a.html"},
      {"HTTP://Host:8080/a.html?x=1#part", true, false, "Host", 8080, "/a.html?x=1"},
      {"http://host", true, false, "host", 80, "/"},
      {"http://host?q", true, false, "host", 80, "/?q"},
      {"host.test/index.html", true, false, "host.test", 80, "/index.html"},
      {"host.test/go?to=ftp://x/", true, false, "host.test", 80, "/go?to=ftp://x/"},
      {"ftp://files.test/pub/page.htm", true, true, "files.test", 21, "/pub/page.htm"},
      {"ftp://files.test:2121/p.html", true, true, "files.test", 2121, "/p.html"},
      {"gopher://host/", false, false, "", 0, ""},
      {"http:///path", false, false, "", 0, ""},
      {"http://host:/", false, false, "", 0, ""},
      {"http://host:0/", false, false, "", 0, ""},
      {"http://host:65536/", false, false, "", 0, ""},
      {"http://host:80x/", false, false, "", 0, ""},
      {"http://user@host/", false, false, "", 0, ""},
      {"", false, false, "", 0, ""},
  };
  for (const Case& c : cases) {
    vrn::PageLocation at;
    ASSERT_EQ(vrn::ParsePageLocation(c.address, &at), c.ok) << c.address;
    if (!c.ok) continue;
    EXPECT_EQ(at.ftp, c.ftp) << c.address;
    EXPECT_EQ(at.host, c.host) << c.address;
    EXPECT_EQ(at.port, c.port) << c.address;
    EXPECT_EQ(at.path, c.path) << c.address;
  }
}

// ---- fetching over loopback ------------------------------------------------------

std::vector<std::string> g_texts;
int32_t RecordStatus(int32_t kind, const char* text, int32_t flag) {
  EXPECT_EQ(kind, 0);
  EXPECT_EQ(flag, 0);
  g_texts.push_back(text != nullptr ? text : "(null)");
  return 0;
}

class TitleFetchTest : public RemoteFixture {
 protected:
  TitleFetchTest() { timeout_ = 1; }  // the slow page ends after a second
  void SetUp() override {
    RemoteFixture::SetUp();
    vrn::ResetTitleCache();
    g_texts.clear();
  }
  void TearDown() override {
    RemoteFixture::TearDown();
    vrn::ResetTitleCache();
  }
  void StartHttp() {
    port_ = FreePort();
    const std::string script = std::string(std::getenv("KV_SOURCE_DIR")) + "/engine/network/testdata/title_server.py";
    ASSERT_TRUE(server_.Start({Python(), script, std::to_string(port_), RequestLog()}, folder_ + "server.log", port_))
        << ReadFile(folder_ + "server.log");
  }
  std::string RequestLog() const { return folder_ + "requests.log"; }
  std::string Page(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

  struct Answer {
    int found;
    std::string title;
    uint32_t stop;
  };
  Answer Ask(const std::string& address, const char* user = "", const char* password = "") {
    char title[VRN_HTML_TITLE_SIZE];
    std::memset(title, 'z', sizeof title);
    uint32_t stop = 0;
    const int found = VRN_GetHTML_Title(0, address.c_str(), user, password, title, RecordStatus, &stop);
    return {found, std::string(title, strnlen(title, sizeof title)), stop};
  }
};

TEST_F(TitleFetchTest, ReadsTitlesOfServedPagesOnly) {
  StartHttp();
  struct Case {
    std::string address;
    const char* user;
    const char* password;
    int found;
    std::string title;
  };
  const Case cases[] = {
      {Page("/titled.html"), "", "", 1, "Hello World"},
      {"127.0.0.1:" + std::to_string(port_) + "/titled.html#top", "", "", 1, "Hello World"},
      {Page("/bighead.html"), "", "", 1, "Hello World"},    // a head of 40 more lines
      {Page("/plain.html"), "", "", 0, ""},
      {Page("/missing.html"), "", "", 0, ""},               // 404 page's own title is not taken
      {Page("/private.html"), "", "", 0, ""},               // 401
      {Page("/private.html"), "kvuser", "wrong", 0, ""},    // 401
      {Page("/private.html"), "kvuser", "s3cret", 1, "Members only"},
      {Page("/long.html"), "", "", 1, std::string(VRN_HTML_TITLE_SIZE - 1, 'L')},
      {Page("/slow.html"), "", "", 0, ""},                  // time-out, not a network failure
  };
  for (const Case& c : cases) {
    const Answer a = Ask(c.address, c.user, c.password);
    EXPECT_EQ(a.found, c.found) << c.address << " " << c.user;
    EXPECT_EQ(a.title, c.title) << c.address << " " << c.user;
    EXPECT_EQ(a.stop, 0u) << c.address;
  }
}

TEST_F(TitleFetchTest, PassesStatusTextsToTheCallback) {
  StartHttp();
  ASSERT_EQ(Ask(Page("/titled.html")).found, 1);
  const std::vector<std::string> expected = {
      "Reading the page title of " + Page("/titled.html"), "Connecting to 127.0.0.1",
      "Waiting for an answer from 127.0.0.1", "Receiving " + Page("/titled.html"), "Transfer complete"};
  EXPECT_EQ(g_texts, expected);
  // A page that ends by its length is complete although the server keeps
  // the connection; one that stops arriving is not.
  for (const auto& [path, complete] : {std::pair{"/kept.html", true}, std::pair{"/slow.html", false}}) {
    g_texts.clear();
    EXPECT_EQ(Ask(Page(path)).found, 0) << path;
    ASSERT_FALSE(g_texts.empty()) << path;
    EXPECT_EQ(g_texts.back() == "Transfer complete", complete) << path;
  }
}

TEST_F(TitleFetchTest, RefusedConnectionSetsTheStopWord) {
  const uint16_t closed = FreePort();
  const Answer a = Ask("http://127.0.0.1:" + std::to_string(closed) + "/titled.html");
  EXPECT_EQ(a.found, 0);
  EXPECT_EQ(a.title, "");
  EXPECT_EQ(a.stop, 1u);
  // FTP too: no control connection.
  const Answer f = Ask("ftp://127.0.0.1:" + std::to_string(closed) + "/page.html", "kvuser", "s3cret");
  EXPECT_EQ(f.found, 0);
  EXPECT_EQ(f.stop, 1u);
}

TEST_F(TitleFetchTest, HostNamesAreResolvedAndAnUnknownNameSetsTheStopWord) {
  // Not in the hosts file, and with a label longer than 63 characters no
  // name server can be asked about it either.
  const std::string kUnknownHost = std::string(70, 'u') + ".titles.test";
  StartHttp();
  const Answer named = Ask("http://pages.titles.test:" + std::to_string(port_) + "/titled.html");
  EXPECT_EQ(named.found, 1);
  EXPECT_EQ(named.title, "Hello World");
  EXPECT_EQ(named.stop, 0u);
  for (const std::string& address : {"http://" + kUnknownHost + ":" + std::to_string(port_) + "/titled.html",
                                     "ftp://" + kUnknownHost + ":" + std::to_string(port_) + "/page.html"}) {
    const Answer unknown = Ask(address, "kvuser", "s3cret");
    EXPECT_EQ(unknown.found, 0) << address;
    EXPECT_EQ(unknown.stop, 1u) << address;
  }
  EXPECT_EQ(ReadFile(RequestLog()), "/titled.html\n");
}

TEST_F(TitleFetchTest, ConnectionThatIsNeverAnsweredEndsAfterTheTimeOut) {
  // A listener whose accept queue is full drops further connection requests
  // unanswered.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    const int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(f);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const Answer r = Ask("http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/titled.html");
  EXPECT_EQ(r.found, 0);
  EXPECT_EQ(r.stop, 1u);
  for (const int f : fillers) close(f);
  close(listener);
}

TEST_F(TitleFetchTest, CachedTitleIsUsedWithoutAskingTheServer) {
  StartHttp();
  ASSERT_EQ(Ask(Page("/titled.html")).title, "Hello World");
  ASSERT_EQ(Ask(Page("/plain.html")).found, 0);
  server_.Stop();
  g_texts.clear();
  const Answer again = Ask(Page("/titled.html"));
  EXPECT_EQ(again.found, 1);
  EXPECT_EQ(again.title, "Hello World");
  EXPECT_EQ(again.stop, 0u);
  EXPECT_TRUE(g_texts.empty());
  // A page without a title is not cached: it is asked for again.
  EXPECT_EQ(Ask(Page("/plain.html")).stop, 1u);
  EXPECT_EQ(ReadFile(RequestLog()), "/titled.html\n/plain.html\n");
}

TEST_F(TitleFetchTest, NoPageTitlesSettingAnswersAtOnce) {
  StartHttp();
  vrn::g_engine.noPageTitles = 1;
  const Answer a = Ask(Page("/titled.html"));
  EXPECT_EQ(a.found, 0);
  EXPECT_EQ(a.title, "");
  EXPECT_TRUE(g_texts.empty());
  EXPECT_EQ(ReadFile(RequestLog()), "");
  vrn::g_engine.noPageTitles = 0;
  EXPECT_EQ(Ask(Page("/titled.html")).found, 1);
}

TEST_F(TitleFetchTest, InternalLookupCopiesWithTheCallersSize) {
  StartHttp();
  char small[6];
  uint32_t stop = 0;
  EXPECT_EQ(vrn::GetPageTitle(Page("/titled.html").c_str(), "", "", small, sizeof small, nullptr, &stop), 1);
  EXPECT_STREQ(small, "Hello");
  EXPECT_EQ(vrn::GetPageTitle(nullptr, "", "", small, sizeof small, nullptr, &stop), 0);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(vrn::GetPageTitle("gopher://x/", "", "", small, sizeof small, nullptr, nullptr), 0);
  EXPECT_EQ(stop, 0u);
}

TEST_F(TitleFetchTest, ReadsTitleOfAnFtpPage) {
  WriteFile(Root() + "page.html", "<html><title>From FTP</title></html>");
  WriteFile(Root() + "bare.html", "<html>nothing</html>");
  port_ = FreePort();
  ASSERT_TRUE(server_.Start({Python(), "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", std::to_string(port_), "-d",
                             Root(), "-u", "kvuser", "-P", "s3cret", "-D"},
                            folder_ + "server.log", port_));
  const std::string base = "ftp://127.0.0.1:" + std::to_string(port_);
  const Answer a = Ask(base + "/page.html", "kvuser", "s3cret");
  EXPECT_EQ(a.found, 1);
  EXPECT_EQ(a.title, "From FTP");
  EXPECT_EQ(a.stop, 0u);
  ASSERT_FALSE(g_texts.empty());
  EXPECT_EQ(g_texts[1], "Logging on as kvuser to 127.0.0.1");
  // Passive data connections when the FTP setting asks for them.
  EXPECT_EQ(ReadFile(folder_ + "server.log").find("<- PASV"), std::string::npos);
  WriteFile(folder_ + "kvm_log/kvm_log.ini", "[Defaults]\nTransferTimeout=1\nFTPPassive=1\n");
  vrn::ResetTitleCache();
  EXPECT_EQ(Ask(base + "/page.html", "kvuser", "s3cret").title, "From FTP");
  EXPECT_NE(ReadFile(folder_ + "server.log").find("<- PASV"), std::string::npos);
  for (const auto& [path, user, password] : {std::tuple{"/bare.html", "kvuser", "s3cret"},
                                             std::tuple{"/none.html", "kvuser", "s3cret"},
                                             std::tuple{"/page2.html", "kvuser", "wrong"}}) {
    const Answer b = Ask(base + path, user, password);
    EXPECT_EQ(b.found, 0) << path;
    EXPECT_EQ(b.stop, 0u) << path;
  }
}

}  // namespace
