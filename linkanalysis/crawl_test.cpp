#include "linkanalysis/crawl.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "linkanalysis/crawlhttp.h"
#include "linkanalysis/link_testutil.h"
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"

namespace kvla {
namespace {

// Links found by scanning one page, as records of an in-memory run.
class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::BeginMemoryRun(&ctx_);
    ctx_.serverName = ctx_.serverHost = "www.site.test";
    PageRecord seed{};
    seed.index = -1;
    std::strcpy(seed.host, "www.site.test");
    seed.linkType = kLinkHttp;
    std::string start = "=\"http://www.site.test/dir/index.html\"";
    ASSERT_EQ(1, AddFoundLink(&ctx_, &seed, start.data(), start.size(), 0, 0));
  }
  void TearDown() override { test::EndMemoryRun(&ctx_); }

  // Scans `html` as the start page's body; returns the found records by path.
  std::map<std::string, PageRecord> Scan(const std::string& html) {
    PageRecord root = ctx_.records[0];
    EXPECT_EQ(1, ScanPage(&ctx_, nullptr, &root, html.data(), html.size()));
    std::map<std::string, PageRecord> found;
    for (int32_t i = 1; i < ctx_.count; ++i) found[ctx_.records[i].path] = ctx_.records[i];
    return found;
  }
  LinkAnalysisDataStruct ctx_;
};

TEST_F(ScanTest, SkippedBlocksAndKeptLinks) {
  auto found = Scan(
      "<a href=\"keep.html\">k</a>"
      "<!-- <a href=\"comment.html\">c</a> -->"
      "<COMMENT><a href=\"c2.html\">x</a></COMMENT>"
      "<SCRIPT language=\"js\"> <a href=\"script.html\">s</a> </SCRIPT>"
      "<APPLET code=\"x\"><a href=\"applet.html\">a</a></APPLET>"
      "<p>HREF=\"text.html\" outside any tag</a></p>"
      "<A HREF = \"/abs/upper.html\">u</A>"
      "<a href=\"keep.html\">again</a>");
  std::set<std::string> paths;
  for (auto& [p, r] : found) paths.insert(p);
  EXPECT_EQ((std::set<std::string>{"/dir/keep.html", "/abs/upper.html"}), paths);
  ASSERT_EQ(2u, ctx_.refs[0].children.size());
  EXPECT_EQ(2, ctx_.refs[0].children[0].links);
  int32_t keep = found["/dir/keep.html"].index;
  ASSERT_EQ(1u, ctx_.refs[keep].parents.size());
  EXPECT_EQ(2, ctx_.refs[keep].parents[0].links);
}

TEST_F(ScanTest, TagKindsCheckBitsAndLinkTypes) {
  auto found = Scan(
      "<img alt=\"a\" src=\"alt.gif\">"
      "<img src=\"full.gif\" width=\"1\" height=\"2\" alt=\"q\">"
      "<img src=\"bare.gif\">"
      "<frame src=\"frame.html\"><body background=\"bg.gif\"><area shape=\"r\" href=\"area.html\">"
      "<form method=\"post\" action=\"/cgi/form\"><input type=\"image\" src=\"in.gif\">"
      "<meta http-equiv=\"refresh\" content=\"0; URL=next.html\">"
      "<table background=\"tb.gif\"><embed src=\"movie.swf\">"
      "<a href=\"mailto:me@site.test\">m</a><a href=\"file:///etc/passwd\">f</a>"
      "<a href=\"telnet://host.test\">t</a><a href=\"http://other.test/x.html\">o</a>"
      "<a href=\"page.html#part\">p</a>"
      "<a href=\"//net.test/n.html\">network path</a><a href=\"http://www.site.test:99999/port.html\">b</a>");
  struct Case {
    const char* path;
    int32_t bits;
    int32_t linkType;
  } cases[] = {
      {"/dir/alt.gif", 6, kLinkHttp},      {"/dir/full.gif", 0, kLinkHttp},   {"/dir/bare.gif", 7, kLinkHttp},
      {"/dir/frame.html", 0, kLinkHttp},   {"/dir/bg.gif", 7, kLinkHttp},     {"/dir/area.html", 0, kLinkHttp},
      {"/cgi/form", 0, kLinkHttp},         {"/dir/in.gif", 7, kLinkHttp},     {"/dir/next.html", 0, kLinkHttp},
      {"/dir/tb.gif", 7, kLinkHttp},       {"/dir/movie.swf", 0, kLinkHttp},  {"mailto:me@site.test", 0, kLinkMailto},
      {"file:///etc/passwd", 0, kLinkFile}, {"telnet://host.test", 0, kLinkTelnet}, {"/x.html", 0, kLinkHttp},
      {"/dir/page.html#part", 0, 0},       {"/n.html", 0, kLinkHttp},         {"/port.html", 0, 0},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(found.count(c.path)) << c.path;
    EXPECT_EQ(c.bits, found[c.path].checkBits) << c.path;
    EXPECT_EQ(c.linkType, found[c.path].linkType) << c.path;
  }
  EXPECT_EQ(std::size(cases), found.size());
  EXPECT_TRUE(found["/x.html"].flags & kFlagOutside);
  EXPECT_TRUE(found["/x.html"].flags & kFlagTaken);  // outside links are not followed here
  EXPECT_STREQ("other.test", found["/x.html"].host);
  EXPECT_EQ(200, found["/dir/page.html#part"].status);
  EXPECT_STREQ("net.test", found["/n.html"].host);
  EXPECT_TRUE(found["/n.html"].flags & kFlagOutside);
  // A port above 65535 is no port: the link is recorded as unreachable and
  // never requested, not sent to port 80.
  EXPECT_EQ(kStatusConnect, found["/port.html"].status);
  EXPECT_TRUE(found["/port.html"].flags & kFlagTaken);
  EXPECT_EQ(0, found["/port.html"].port);
  EXPECT_FALSE(found["/dir/area.html"].flags & kFlagTaken);
}

TEST_F(ScanTest, SyntaxFaultsBecomeErrorRecords) {
  auto found = Scan(
      "<a href=noquote.html>x</a>"
      "<a href>y</a>"
      "<a href=\"open.html>z</a>"
      "<a href=\"" + std::string(1100, 'l') + "\">w</a>");
  std::multiset<int32_t> statuses;
  for (auto& [p, r] : found) {
    EXPECT_EQ(0u, p.find("ERROR"));
    EXPECT_TRUE(r.flags & kFlagTaken);
    EXPECT_NE(0u, r.linkText);
    statuses.insert(r.status);
  }
  EXPECT_EQ((std::multiset<int32_t>{kStatusNoEquals, kStatusNoLeadingQuote, kStatusNoTrailingQuote,
                                    kStatusUrlTooLong}),
            statuses);
}

// Words in attributes and text are no tags: only "<SCRIPT" or "<APPLET" as a
// tag name opens a block that hides links.
TEST_F(ScanTest, BlocksOpenOnlyAtTheirTagName) {
  const char* notBlocks[] = {
      "<a title=\"A JavaScript library\" href=\"nav.html\">n</a>",
      "<img alt=\"applet demo\" src=\"pic.gif\">",
      "<p class=\"script \">text about a SCRIPT here</p>",
      "<scripts>not a script</scripts>",
      "<appletviewer>",
      "<SCRIPT>var s = '<a href=\"in.html\">';</SCRIPT>",  // a block that ends
      "<script type=\"text/javascript\">x()</script>",
  };
  // Blocks, however the tag is written: what lies inside stays hidden.
  const char* blocks[] = {"<SCRIPT>", "<script type=\"x\">", "<script\n>", "<script/>", "<Applet code=\"x\">"};
  std::string page;
  std::set<std::string> expected;
  int n = 0;
  for (const char* text : notBlocks) {
    page += std::string(text) + "<a href=\"after" + std::to_string(n) + ".html\">after</a>\n";
    expected.insert("/dir/after" + std::to_string(n++) + ".html");
  }
  for (const char* block : blocks) {
    const std::string close = block[1] == 'A' ? "</APPLET>" : "</script>";
    page += std::string(block) + "<a href=\"hidden" + std::to_string(n) + ".html\">h</a>" + close +
            "<a href=\"shown" + std::to_string(n) + ".html\">s</a>\n";
    expected.insert("/dir/shown" + std::to_string(n++) + ".html");
  }
  expected.insert({"/dir/nav.html", "/dir/pic.gif"});
  std::set<std::string> paths;
  for (const auto& [p, r] : Scan(page)) paths.insert(p);
  EXPECT_EQ(expected, paths);
}

// What a link's text names: entities decoded, escaped and plain forms one
// record, a NUL kept inside the URL, other schemes recorded and never
// requested, and a link to another port of the same host a record of its own.
TEST_F(ScanTest, LinkTextsNameOneUrlEach) {
  std::string html =
      "<a href=\"/q?a=1&amp;b=2\">1</a><a href=\"/q?a=1&#38;b=2\">1 again</a>"
      "<a href=\"a b.html\">2</a><a href=\"a%20b.html\">2 again</a>"
      "<a href=\"javascript:void(0)\">js</a><a href=\"JavaScript:go('x')\">js2</a>"
      "<a href=\"tel:+441234\">phone</a><a href=\"MAILTO:me@site.test\">mail</a>"
      "<a href=\"&#109;&#97;ilto:me@site.test\">hidden mail</a>"
      "<a href=\"/inside.html\">own</a><a href=\"http://www.site.test:8080/inside.html\">other port</a>"
      "<a href=\"http://www.site.test:80/inside.html\">own again</a>"
      "<a href=\"https://www.site.test/inside.html\">other scheme</a>";
  html += std::string("<a href=\"nul") + '\0' + "cut.html\">n</a>";
  PageRecord root = ctx_.records[0];
  ASSERT_EQ(1, ScanPage(&ctx_, nullptr, &root, html.data(), html.size()));
  std::map<std::string, PageRecord> byUrl;
  for (int32_t i = 1; i < ctx_.count; ++i) {
    const std::string url = RecordUrl(ctx_.records[i]);
    EXPECT_FALSE(byUrl.count(url)) << "twice: " << url;
    byUrl[url] = ctx_.records[i];
  }
  std::set<std::string> urls;
  for (const auto& [u, r] : byUrl) urls.insert(u);
  EXPECT_EQ((std::set<std::string>{"http://www.site.test/q?a=1&b=2", "http://www.site.test/dir/a%20b.html",
                                   "javascript:void(0)", "JavaScript:go('x')", "tel:+441234", "MAILTO:me@site.test",
                                   "mailto:me@site.test",
                                   "http://www.site.test/inside.html", "http://www.site.test:8080/inside.html",
                                   "https://www.site.test/inside.html", "http://www.site.test/dir/nul%00cut.html"}),
            urls);
  EXPECT_EQ(2, ctx_.refs[static_cast<size_t>(byUrl["http://www.site.test/q?a=1&b=2"].index)].parents[0].links);
  EXPECT_EQ(2, ctx_.refs[static_cast<size_t>(byUrl["http://www.site.test/dir/a%20b.html"].index)].parents[0].links);
  EXPECT_EQ(2, ctx_.refs[static_cast<size_t>(byUrl["http://www.site.test/inside.html"].index)].parents[0].links);
  EXPECT_EQ(kLinkMailto, byUrl["MAILTO:me@site.test"].linkType);
  EXPECT_EQ(kLinkMailto, byUrl["mailto:me@site.test"].linkType);
  for (const char* other : {"javascript:void(0)", "tel:+441234"}) {
    // Not a path of the site: nothing to request, nothing broken.
    EXPECT_EQ(0, byUrl[other].linkType) << other;
    EXPECT_EQ(0, byUrl[other].status) << other;
  }
}

// A scan that cannot have its memory says so instead of ending the process
// (run in a child whose address space is held tight; sanitizer builds reserve
// too much address space for that).
TEST_F(ScanTest, AScanWithoutMemoryFailsAlone) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the address space of a sanitizer build cannot be limited";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "the address space of a sanitizer build cannot be limited";
#endif
#endif
  std::string page = "<html><a href=\"first.html\">f</a>";
  page.resize(3u << 20, ' ');
  PageRecord root = ctx_.records[0];
  pid_t child = fork();
  if (child == 0) {
    std::ifstream status("/proc/self/status");
    long long sizeKb = 0;
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmSize:", 0) == 0) sizeKb = std::atoll(line.c_str() + 7);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(sizeKb + 1024) * 1024;
    if (sizeKb == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
    const int result = ScanPage(&ctx_, nullptr, &root, page.data(), page.size());
    _exit(result == -1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(0, WEXITSTATUS(status));
  // With memory the same page scans.
  EXPECT_EQ(1, ScanPage(&ctx_, nullptr, &root, page.data(), page.size()));
}

// Stop ends a scan even while nothing on the page counts as a link (every
// anchor lies in a comment, so no link is ever added that could notice).
TEST_F(ScanTest, StopEndsTheScan) {
  std::string page = "<!-- ";
  for (int i = 0; i < 200; ++i) page += "<a href=\"p" + std::to_string(i) + ".html\">x</a> <img src=\"i.gif\">";
  page += " -->";
  PageRecord root = ctx_.records[0];
  ctx_.stop = true;
  EXPECT_EQ(0, ScanPage(&ctx_, nullptr, &root, page.data(), page.size()));
  ctx_.stop = false;
  EXPECT_EQ(1, ScanPage(&ctx_, nullptr, &root, page.data(), page.size()));
  EXPECT_EQ(1, ctx_.count);  // nothing found outside the comment
}

// Whole crawls against the loopback site.
const char kIndex[] =
    "<html><head><title>Home</title></head><body>\n"
    "<a href=\"page1.html\">1</a> <a href=\"page1.html\">1 again</a>\n"
    "<a href=\"sub/page2.html\">2</a> <a href=\"missing.html\">broken</a>\n"
    "<a href=\"/r/2\">redirect</a> <a href=\"/r/9\">long redirect</a> <a href=\"/nocontent\">nc</a>\n"
    "<a href=\"cookie.html\">cookie</a> <a href=\"mailto:me@site.test\">mail</a>\n"
    "<a href=\"file:///etc/passwd\">file</a> <a href=\"http://localhost:@PORT@/outside.html\">out</a>\n"
    "<!-- <a href=\"hidden.html\">h</a> -->\n"
    "<img src=\"logo.gif\" alt=\"logo\">\n"
    "</body></html>\n";

std::map<std::string, std::string> SiteFiles() {
  return {
      {"index.html", kIndex},
      {"page1.html", "<html><title>One</title><a href=\"index.html\">home</a><a href=\"sub/page2.html\">2</a></html>"},
      {"sub/page2.html", "<html><title>Two</title><a href=\"../page1.html\">1</a><a href=\"deep.html\">d</a></html>"},
      {"sub/deep.html", "<html><title>Deep</title></html>"},
      {"logo.gif", "GIF89a<a href=\"never.html\">"},
      {"outside.html", "<html></html>"},
      {"hidden.html", "<html></html>"},
  };
}

struct CrawlResult {
  std::map<std::string, PageRecord> byUrl;
  std::vector<std::string> requests;
  int notified = 0;
  std::map<std::string, std::string> titles;
};

std::string DynamicText(LinkAnalysisDataStruct& ctx, uint32_t offset) {
  char buf[kMaxDynamicText] = "";
  if (offset) KVLA_GetDynamicData(&ctx, static_cast<int32_t>(offset), buf);
  return buf;
}

int g_notified = 0;
KvResult NotifyProc(KvWindow w, uint32_t msg, KvWParam wp, KvLParam lp) {
  if (msg == kv::msg::User + 77) {
    ++g_notified;
    return 0;
  }
  return kv::ui::DefWindowProc(w, msg, wp, lp);
}

// Runs a crawl as the run window does: start-up, wait until idle, stop, save,
// clean up; then reads the saved database back.
CrawlResult Crawl(LinkAnalysisDataStruct& ctx, test::TestSite* site, int seconds = 90) {
  CrawlResult result;
  static bool registered = kv::ui::RegisterWindowClass("LinkTestNotify", &NotifyProc, 0);
  EXPECT_TRUE(registered);
  g_notified = 0;
  ctx.notifyWindow = kv::ui::CreateWindow("LinkTestNotify", "", 0, 0, 0);
  ctx.notifyMessage = kv::msg::User + 77;
  EXPECT_EQ(1, KVLA_AnalysisEngineStartUp(0, &ctx));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int idleRounds = 0;
  while (idleRounds < 3 && std::chrono::steady_clock::now() < deadline) {
    kv::ui::Message m;
    while (kv::ui::PeekMessage(&m)) kv::ui::DispatchMessage(&m);
    idleRounds = IsCrawlIdle(&ctx) ? idleRounds + 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_EQ(3, idleRounds) << "the crawl did not end";
  StopWorkers(&ctx);
  kv::ui::Message m;
  while (kv::ui::PeekMessage(&m)) kv::ui::DispatchMessage(&m);
  result.notified = g_notified;
  EXPECT_EQ(1, SaveLinkDatabase(&ctx));
  EXPECT_EQ(1, KVLA_AnalysisEngineCleanUp(0, &ctx));
  kv::ui::DestroyWindow(ctx.notifyWindow);
  EXPECT_EQ(1, OpenLinkDatabase(&ctx));
  for (int32_t i = 0; i < ctx.count; ++i) {
    PageRecord r{};
    EXPECT_TRUE(KVLA_ReadDatabaseItem(&ctx, i, &r));
    std::string url = RecordUrl(r);
    // A record that was redirected to a page that has a record of its own
    // too is named with the address it was found as.
    if (auto other = result.byUrl.find(url); other != result.byUrl.end()) {
      if (r.originalPath) {
        url += " (from " + DynamicText(ctx, r.originalPath) + ")";
      } else if (other->second.originalPath) {
        result.byUrl[url + " (from " + DynamicText(ctx, other->second.originalPath) + ")"] = other->second;
        result.byUrl.erase(other);
      }
    }
    EXPECT_FALSE(result.byUrl.count(url)) << "twice: " << url;
    result.byUrl[url] = r;
    char title[kMaxDynamicText];
    KVLA_GetPageTitle(&ctx, &r, title);
    result.titles[url] = title;
  }
  if (site) result.requests = site->requests();
  return result;
}

class CrawlTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    auto files = SiteFiles();
    site_ = std::make_unique<test::TestSite>(files);
    // The outside link names this very server under another name.
    std::string index = kIndex;
    index.replace(index.find("@PORT@"), 6, std::to_string(site_->port()));
    test::WriteFile(site_->root() + "/index.html", index);
    ctx_.dataFolder = folder_.path();
    ctx_.serverName = "http://" + site_->host() + "/";
    ctx_.startPage = "/index.html";
    ctx_.dialupTimeout = 10;
    ctx_.generalPurposeTimeout = 10;
    ctx_.redirectCutoff = 5;
  }
  std::string Url(const std::string& path) { return "http://" + site_->host() + path; }
  test::TempFolder folder_;
  std::unique_ptr<test::TestSite> site_;
  LinkAnalysisDataStruct ctx_;
};

TEST_P(CrawlTest, EveryLinkLandsInTheDatabase) {
  ctx_.numThreads = GetParam();
  CrawlResult r = Crawl(ctx_, site_.get());
  struct Expect {
    std::string url;
    int32_t status;
    bool analysed;
  } expected[] = {
      {Url("/index.html"), 200, true},     {Url("/page1.html"), 200, true},   {Url("/sub/page2.html"), 200, true},
      {Url("/sub/deep.html"), 200, true},  {Url("/missing.html"), 404, true}, {Url("/r/0"), 200, true},
      {Url("/r/5"), kStatusTooManyRedirects, true}, {Url("/nocontent"), 204, true},    {Url("/cookie.html"), 200, true},
      {Url("/needcookie.html"), 200, true}, {"mailto:me@site.test", 0, true}, {"file:///etc/passwd", 0, true},
      {"http://localhost:" + std::to_string(site_->port()) + "/outside.html", 0, false},
      {Url("/logo.gif"), 200, true},
  };
  for (const Expect& e : expected) {
    ASSERT_TRUE(r.byUrl.count(e.url)) << e.url;
    EXPECT_EQ(e.status, r.byUrl[e.url].status) << e.url;
    EXPECT_EQ(e.analysed, (r.byUrl[e.url].flags & kFlagAnalysed) != 0) << e.url;
  }
  EXPECT_EQ(std::size(expected), r.byUrl.size());
  EXPECT_EQ("Home", r.titles[Url("/index.html")]);
  EXPECT_EQ("Two", r.titles[Url("/sub/page2.html")]);
  // Redirects: the first one's status and the original path are kept.
  const PageRecord& redirected = r.byUrl[Url("/r/0")];
  EXPECT_EQ(2, redirected.redirectCount);
  EXPECT_EQ(302, redirected.firstRedirectStatus);
  char text[kMaxDynamicText];
  ASSERT_EQ(1, KVLA_GetDynamicData(&ctx_, static_cast<int32_t>(redirected.originalPath), text));
  EXPECT_STREQ("/r/2", text);
  EXPECT_EQ(5, r.byUrl[Url("/r/5")].redirectCount);  // cut off: no further request, no page
  EXPECT_FALSE(r.byUrl[Url("/logo.gif")].flags & kFlagGetSent);
  EXPECT_TRUE(r.byUrl[Url("/nocontent")].flags & kFlagGetSent);

  std::multiset<std::string> asked;
  for (const std::string& line : r.requests) {
    asked.insert(line.substr(0, line.find('|')));
    EXPECT_EQ(std::string::npos, line.find("outside")) << line;
    EXPECT_EQ(std::string::npos, line.find("hidden")) << line;
    EXPECT_EQ(std::string::npos, line.find("never")) << line;
  }
  EXPECT_EQ(1u, asked.count("HEAD /index.html"));
  EXPECT_EQ(1u, asked.count("GET /index.html"));
  EXPECT_EQ(1u, asked.count("HEAD /logo.gif"));
  EXPECT_EQ(0u, asked.count("GET /logo.gif"));
  EXPECT_EQ(0u, asked.count("HEAD /r/4"));
  EXPECT_EQ(1u, asked.count("HEAD /r/5"));

  // Parents and children survive the save.
  PageRecord index = r.byUrl[Url("/index.html")];
  PageRecord child{};
  char url[512];
  ASSERT_TRUE(KVLA_GetPageChild(&ctx_, &index, url, 0, 404, 511, &child));
  EXPECT_EQ(Url("/missing.html"), url);
  PageRecord page1 = r.byUrl[Url("/page1.html")];
  int32_t n = 0;
  RefEntry* parents = KVLA_ReadReferenceList(&ctx_, &page1, 0, &n);
  ASSERT_EQ(2, n);
  std::map<int32_t, int32_t> links = {{parents[0].index, parents[0].links}, {parents[1].index, parents[1].links}};
  std::free(parents);
  EXPECT_EQ(2, links[index.index]);
  EXPECT_EQ(1, links[r.byUrl[Url("/sub/page2.html")].index]);
  EXPECT_EQ(r.notified, static_cast<int>(std::count_if(r.byUrl.begin(), r.byUrl.end(), [](const auto& kv) {
              return (kv.second.flags & kFlagAnalysed) != 0;
            })));
}

INSTANTIATE_TEST_SUITE_P(Threads, CrawlTest, ::testing::Values(1, 4, 60));

// A generated site of a few thousand pages, served from this process by a
// small threaded HTTP/1.0 server (each answer ends with the server's close),
// and what its link structure must be, worked out from the generator alone.
class GeneratedSite {
 public:
  static constexpr int kPages = 2000;
  static constexpr int kImages = 40;

  GeneratedSite() {
    for (int i = 0; i < kPages; ++i) {
      std::string p = Page(i);
      std::string html = "<html><head><title>Page " + std::to_string(i) + "</title></head><body>\n";
      auto link = [&](const std::string& to, int times = 1) {
        for (int t = 0; t < times; ++t) html += "<a href=\"" + to + "\">x</a>\n";
        links_[p][to] += times;
      };
      link(Page((i + 1) % kPages));
      link(Page((i * 7 + 3) % kPages), i % 3 == 0 ? 2 : 1);
      link(Page((i * 13 + 11) % kPages));
      if (i % 10 == 0) link("/missing/" + std::to_string(i) + ".html");
      if (i % 100 == 0) link("/moved/" + std::to_string(i / 100));
      // Redirects linked from many pages, and pages that link one target
      // again after 16 others (past the length from which a reference list
      // is indexed).
      if (i % 7 == 0) link("/moved/" + std::to_string(i % 20));
      if (i % 50 == 0) {
        for (int k = 0; k < 17; ++k) link(Page((i + 100 + k * 37) % kPages));
        link(Page((i + 100) % kPages), 2);
      }
      const std::string img = "/img/" + std::to_string(i % kImages) + ".gif";
      html += i % kImages < kImages / 2 ? "<img src=\"" + img + "\" alt=\"a\" width=\"1\" height=\"1\">\n"
                                        : "<img src=\"" + img + "\">\n";
      links_[p][img] += 1;
      html += "</body></html>\n";
      files_[p] = html;
    }
    for (int k = 0; k < kImages; ++k) files_["/img/" + std::to_string(k) + ".gif"] = "GIF89a";
    for (int k = 0; k * 100 < kPages; ++k) {
      const std::string target = "/target/" + std::to_string(k) + ".html";
      files_[target] = "<html><title>Target</title><a href=\"" + Page(k) + "\">back</a></html>";
      redirects_["/moved/" + std::to_string(k)] = target;
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 128) != 0)
      throw std::runtime_error("generated site: no listening socket");
    socklen_t len = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    for (int t = 0; t < 16; ++t) servers_.emplace_back([this] { Serve(); });
  }
  ~GeneratedSite() {
    ::shutdown(listener_, SHUT_RDWR);
    for (auto& t : servers_) t.join();
    ::close(listener_);
  }
  static std::string Page(int i) { return i == 0 ? "/index.html" : "/p" + std::to_string(i) + ".html"; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  // Links of each page that is scanned: path -> (target path -> count).
  const std::map<std::string, std::map<std::string, int>>& links() const { return links_; }
  const std::map<std::string, std::string>& redirects() const { return redirects_; }
  int requests() const { return requests_.load(); }

 private:
  void Serve() {
    for (;;) {
      int peer = ::accept(listener_, nullptr, nullptr);
      if (peer < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;  // the listener was shut down
      }
      Answer(peer);
      ::close(peer);
    }
  }
  void Answer(int peer) {
    std::string request;
    char buf[2048];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
      ssize_t n = ::recv(peer, buf, sizeof buf, 0);
      if (n <= 0) return;
      request.append(buf, static_cast<size_t>(n));
    }
    ++requests_;
    const size_t sp1 = request.find(' '), sp2 = request.find(' ', sp1 + 1);
    const std::string method = request.substr(0, sp1), path = request.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string head, body;
    if (auto r = redirects_.find(path); r != redirects_.end()) {
      head = "HTTP/1.0 302 Found\r\nLocation: " + r->second + "\r\nContent-Length: 0\r\n";
    } else if (auto f = files_.find(path); f != files_.end()) {
      body = f->second;
      head = "HTTP/1.0 200 OK\r\nContent-Type: " + std::string(path.ends_with(".gif") ? "image/gif" : "text/html") +
             "\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n";
    } else {
      body = "<html>not here</html>";
      head = "HTTP/1.0 404 Not Found\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
    std::string answer = head + "\r\n" + (method == "GET" ? body : std::string());
    for (size_t sent = 0; sent < answer.size();) {
      ssize_t n = ::send(peer, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  std::map<std::string, std::string> files_;
  std::map<std::string, std::string> redirects_;
  std::map<std::string, std::map<std::string, int>> links_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<int> requests_{0};
  std::vector<std::thread> servers_;
};

// The saved database in a form that does not depend on the order in which
// the workers met the pages: per URL, the record's bytes with the fields that
// differ from run to run legitimately cleared (its index and the parent's
// copied word, the elapsed time, the offsets of its texts and reference
// lists), then its texts, then its parents and children by URL.
std::map<std::string, std::string> CanonicalDatabase(LinkAnalysisDataStruct& ctx) {
  std::map<int32_t, std::string> urls;
  std::vector<PageRecord> records(static_cast<size_t>(ctx.count));
  for (int32_t i = 0; i < ctx.count; ++i) {
    EXPECT_TRUE(KVLA_ReadDatabaseItem(&ctx, i, &records[static_cast<size_t>(i)]));
    const PageRecord& r = records[static_cast<size_t>(i)];
    // A redirected record is named with the address it was found as too: the
    // page it leads to may have a record of its own.
    urls[i] = RecordUrl(r) + (r.originalPath ? " (from " + DynamicText(ctx, r.originalPath) + ")" : "");
  }
  std::map<std::string, std::string> out;
  for (PageRecord& r : records) {
    auto text = [&](uint32_t field) {
      char buf[kMaxDynamicText] = "";
      if (field) KVLA_GetDynamicData(&ctx, static_cast<int32_t>(field), buf);
      return std::string(buf);
    };
    auto refs = [&](int32_t which) {
      int32_t n = 0;
      RefEntry* list = KVLA_ReadReferenceList(&ctx, &r, which, &n);
      std::set<std::string> named;
      for (int32_t k = 0; k < n; ++k) named.insert(urls[list[k].index] + "*" + std::to_string(list[k].links));
      std::free(list);
      std::string joined;
      for (const std::string& s : named) joined += s + " ";
      return joined;
    };
    std::string texts = "original=" + text(r.originalPath) + "|title=" + text(r.title) + "|meta=" +
                        text(r.metaText) + "|base=" + text(r.baseDir) + "|user=" + text(r.userName) +
                        "|password=" + text(r.password) + "|linktext=" + text(r.linkText);
    std::string lists = "|parents=" + refs(0) + "|children=" + refs(1);
    const std::string url = urls[r.index];
    const std::string status = "status=" + std::to_string(r.status) + "|";
    r.index = 0;
    r.inherited = 0;
    r.elapsedMs = 0;
    r.originalPath = r.title = r.metaText = r.baseDir = r.userName = r.password = r.linkText = 0;
    r.refs = ReferenceBlock{};
    unsigned char bytes[kRecordSize];
    EncodeRecord(r, bytes);
    std::string hex;
    for (unsigned char c : bytes) {
      static const char digits[] = "0123456789abcdef";
      hex += digits[c >> 4];
      hex += digits[c & 15];
    }
    EXPECT_FALSE(out.count(url)) << "twice: " << url;
    out[url] = status + hex + "|" + texts + lists;
  }
  return out;
}

// 1, 4, 20 and 60 workers crawl the same generated site into the same
// database, and that database holds the site's link structure as generated.
TEST(CrawlThreads, AnyNumberOfWorkersGivesTheSameDatabase) {
  GeneratedSite site;
  std::map<std::string, std::string> first;
  int firstWorkers = 0;
  for (int workers : {1, 4, 20, 60}) {
    SCOPED_TRACE(std::to_string(workers) + " workers");
    test::TempFolder data;
    LinkAnalysisDataStruct ctx;
    ctx.dataFolder = data.path();
    ctx.serverName = site.host();
    ctx.startPage = "/index.html";
    ctx.numThreads = workers;
    ctx.dialupTimeout = 20;
    ctx.generalPurposeTimeout = 20;
    Crawl(ctx, nullptr);
    std::map<std::string, std::string> db = CanonicalDatabase(ctx);
    if (first.empty()) {
      // The generator's answer: every page, image, missing page and redirect
      // once, each scanned page with exactly its generated children.
      const std::string base = "http://" + site.host();
      std::set<std::string> expected;
      for (const auto& [page, children] : site.links()) {
        expected.insert(base + page);
        for (const auto& [to, n] : children) expected.insert(base + to);
      }
      for (const auto& [from, to] : site.redirects()) {
        expected.erase(base + from);
        expected.insert(base + to + " (from " + from + ")");
      }
      std::set<std::string> got;
      for (const auto& [url, rec] : db) got.insert(url);
      EXPECT_EQ(expected, got);
      for (const auto& [page, children] : site.links()) {
        std::string want;
        std::set<std::string> named;
        for (const auto& [to, n] : children) {
          auto r = site.redirects().find(to);
          named.insert(base + (r == site.redirects().end() ? to : r->second + " (from " + to + ")") + "*" +
                       std::to_string(n));
        }
        for (const std::string& s : named) want += s + " ";
        const std::string& rec = db[base + page];
        size_t at = rec.find("|children=");
        ASSERT_NE(std::string::npos, at) << page;
        EXPECT_EQ(want, rec.substr(at + 10)) << page;
      }
      // Every page answered: none was lost to a time-out or any other own
      // status.
      for (const auto& [url, rec] : db) {
        const bool missing = url.find("/missing/") != std::string::npos;
        EXPECT_EQ(0u, rec.find(missing ? "status=404|" : "status=200|")) << url << " " << rec.substr(0, 16);
      }
      first = db;
      firstWorkers = workers;
      continue;
    }
    ASSERT_EQ(first.size(), db.size());
    for (const auto& [url, rec] : first) {
      auto it = db.find(url);
      ASSERT_NE(it, db.end()) << url;
      EXPECT_EQ(rec, it->second) << url << " differs from the crawl with " << firstWorkers << " worker(s)";
    }
  }
}

TEST(CrawlOptions, StayBelowAndOutsideLinks) {
  test::TestSite site({
      {"index.html", "<html><a href=\"sub/start.html\">s</a></html>"},
      {"sub/start.html", "<html><a href=\"../index.html\">up</a><a href=\"deeper/d.html\">d</a>"
                         "<a href=\"http://localhost:@PORT@/sub/out.html\">o</a></html>"},
      {"sub/deeper/d.html", "<html></html>"},
      {"sub/out.html", "<html><a href=\"never.html\">n</a></html>"},
  });
  std::string start = test::ReadFile(site.root() + "/sub/start.html");
  start.replace(start.find("@PORT@"), 6, std::to_string(site.port()));
  test::WriteFile(site.root() + "/sub/start.html", start);
  test::TempFolder data;
  LinkAnalysisDataStruct ctx;
  ctx.dataFolder = data.path();
  ctx.serverName = site.host();
  ctx.startPage = "/sub/start.html";
  ctx.numThreads = 3;
  ctx.stayBelow = true;
  ctx.outsideLinks = true;
  CrawlResult r = Crawl(ctx, &site);
  std::string base = "http://" + site.host();
  std::string out = "http://localhost:" + std::to_string(site.port()) + "/sub/out.html";
  ASSERT_EQ(4u, r.byUrl.size());
  EXPECT_FALSE(r.byUrl[base + "/index.html"].flags & kFlagAnalysed);  // above the start page
  EXPECT_EQ(200, r.byUrl[base + "/sub/deeper/d.html"].status);
  // An outside link is requested, but its links are not followed.
  EXPECT_EQ(200, r.byUrl[out].status);
  EXPECT_TRUE(r.byUrl[out].flags & kFlagOutside);
  std::set<std::string> asked;
  for (const std::string& line : r.requests) asked.insert(line.substr(0, line.find('|')));
  EXPECT_EQ((std::set<std::string>{"HEAD /sub/start.html", "GET /sub/start.html", "HEAD /sub/deeper/d.html",
                                   "GET /sub/deeper/d.html", "HEAD /sub/out.html", "GET /sub/out.html"}),
            asked);
}

// A redirect from the profile's server (127.0.0.1) to another address
// (127.0.0.2): the profile's password never goes there, and with outside
// links off nothing is asked of it at all.
TEST(CrawlRedirect, CredentialsAndScopeStayWithTheProfileServer) {
  test::TestSite other({{"secret.html", "<html><title>S</title><a href=\"deeper.html\">d</a></html>"},
                        {"deeper.html", "<html></html>"}},
                       "127.0.0.2");
  const std::string away = "http://" + other.host() + "/secret.html";
  test::TestSite site({{"index.html", "<html><a href=\"/goto?" + away + "\">away</a>"
                                      "<a href=\"page.html\">p</a></html>"},
                       {"page.html", "<html></html>"}});
  const std::string authorization = "|Basic " + Base64("user:pw") + "|";
  for (bool outsideLinks : {false, true}) {
    SCOPED_TRACE(outsideLinks ? "outside links on" : "outside links off");
    const size_t askedHere = site.requests().size(), askedThere = other.requests().size();
    test::TempFolder data;
    LinkAnalysisDataStruct ctx;
    ctx.dataFolder = data.path();
    ctx.serverName = site.host();
    ctx.startPage = "/index.html";
    ctx.numThreads = 2;
    ctx.userName = "user";
    ctx.password = "pw";
    ctx.outsideLinks = outsideLinks;
    CrawlResult r = Crawl(ctx, &site);
    std::vector<std::string> here(r.requests.begin() + static_cast<ptrdiff_t>(askedHere), r.requests.end());
    std::vector<std::string> there = other.requests();
    there.erase(there.begin(), there.begin() + static_cast<ptrdiff_t>(askedThere));
    // The profile's own server gets the credentials with every request.
    EXPECT_EQ(5u, here.size());
    for (const std::string& line : here) EXPECT_NE(std::string::npos, line.find(authorization)) << line;
    if (!outsideLinks) {
      EXPECT_TRUE(there.empty()) << there.front();
      const PageRecord& redirect = r.byUrl["http://" + site.host() + "/goto?" + away];
      EXPECT_EQ(302, redirect.status);
      EXPECT_FALSE(redirect.flags & kFlagRedirected);
      EXPECT_FALSE(r.byUrl.count(away));
    } else {
      std::set<std::string> asked;
      for (const std::string& line : there) {
        asked.insert(line.substr(0, line.find('|')));
        EXPECT_EQ(std::string::npos, line.find("Basic")) << line;
      }
      // Requested, as outside links are, but not scanned for links.
      EXPECT_EQ((std::set<std::string>{"HEAD /secret.html", "GET /secret.html"}), asked);
      ASSERT_TRUE(r.byUrl.count(away));
      EXPECT_TRUE(r.byUrl[away].flags & kFlagOutside);
      EXPECT_EQ(200, r.byUrl[away].status);
    }
  }
}

// The file types come from LINKANLZ.INI, and a profile can leave whole
// content categories out: their links are recorded but never requested.
// WriteDataFiles keeps every page's body in the data folder.
TEST(CrawlFileTypes, CategoriesFromTheSettingsAndTheProfilesFilter) {
  test::TestSite site({
      {"index.html", "<html><a href=\"a.xhtml\">a</a><a href=\"b.jpg\">b</a><a href=\"c.odt\">c</a>"
                     "<a href=\"d.gif\">d</a></html>"},
      {"a.xhtml", "<html><title>X</title><a href=\"e.html\">e</a></html>"},
      {"b.jpg", "JPEG"},
      {"c.odt", "ODT"},
      {"d.gif", "GIF89a"},
      {"e.html", "<html><title>E</title></html>"},
  });
  test::TempFolder data;
  test::WriteFile(data.file("LINKANLZ.INI"),
                  "[FileTypes]\nCategory1=htm, .HTML;xhtml\nCategory9=pdf odt\n");
  LinkAnalysisDataStruct ctx;
  ctx.dataFolder = data.path();
  ctx.settingsFile = data.file("LINKANLZ.INI");
  ctx.serverName = site.host();
  ctx.startPage = "/index.html";
  ctx.numThreads = 2;
  ctx.excludedCategories = (1u << 3) | (1u << 9);  // images other than GIF, documents
  ctx.writeDataFiles = true;
  CrawlResult r = Crawl(ctx, &site);
  std::set<std::string> asked;
  for (const std::string& line : r.requests) asked.insert(line.substr(0, line.find('|')));
  EXPECT_EQ((std::set<std::string>{"HEAD /index.html", "GET /index.html", "HEAD /a.xhtml", "GET /a.xhtml",
                                   "HEAD /e.html", "GET /e.html", "HEAD /d.gif"}),
            asked);
  const std::string base = "http://" + site.host();
  EXPECT_EQ(1, r.byUrl[base + "/a.xhtml"].category);
  EXPECT_EQ(9, r.byUrl[base + "/c.odt"].category);
  EXPECT_EQ(3, r.byUrl[base + "/b.jpg"].category);
  EXPECT_EQ(0, r.byUrl[base + "/b.jpg"].status);
  EXPECT_TRUE(r.byUrl[base + "/b.jpg"].flags & kFlagAnalysed);
  EXPECT_EQ("X", r.titles[base + "/a.xhtml"]);
  // The bodies that arrived, each in its own file of the data folder.
  const PageRecord& a = r.byUrl[base + "/a.xhtml"];
  EXPECT_EQ(test::ReadFile(site.root() + "/a.xhtml"), test::ReadFile(ComputeSaveFilename(&ctx, a)));
  EXPECT_EQ(0u, ComputeSaveFilename(&ctx, a).find(data.path() + "/PAGES/"));
  EXPECT_EQ(test::ReadFile(site.root() + "/index.html"),
            test::ReadFile(ComputeSaveFilename(&ctx, r.byUrl[base + "/index.html"])));
  PageRecord odd{};
  odd.index = 7;
  std::strcpy(odd.host, "h.test");
  std::strcpy(odd.path, "/../../etc/x?y=1");
  EXPECT_EQ(data.path() + "/PAGES/7_h.test_.._.._etc_x_y_1", ComputeSaveFilename(&ctx, odd));
}

TEST(CrawlLocal, LocalFileTree) {
  test::TempFolder site;
  test::WriteFile(site.file("tree/index.html"),
                  "<html><title>Local</title><a href=\"a.html\">a</a><a href=\"missing.html\">m</a>"
                  "<img src=\"pic.gif\"><a href=\"%2e%2e/secret.txt\">s</a></html>");
  test::WriteFile(site.file("tree/a.html"), "<html><title>A</title><a href=\"index.html\">back</a></html>");
  test::WriteFile(site.file("tree/pic.gif"), "GIF89a");
  test::WriteFile(site.file("secret.txt"), "not part of the tree");
  test::TempFolder data;
  LinkAnalysisDataStruct ctx;
  ctx.dataFolder = data.path();
  ctx.searchMode = 1;
  ctx.localFilePath = "file://" + site.file("tree/index.html");
  ctx.numThreads = 2;
  ctx.outsideLinks = true;
  ctx.debugMode = true;
  ctx.pluginFolder = data.path();
  CrawlResult r = Crawl(ctx, nullptr);
  std::string debug = test::ReadFile(data.file("DEBUG.TXT"));
  EXPECT_NE(std::string::npos, debug.find("Server response for GET on: http:///a.html\r\nHTTP/: 200\r\n"));
  EXPECT_NE(std::string::npos, test::ReadFile(data.file("LINKANLZ.DBG")).find("1: /index.html (analysed)\r\n"));
  EXPECT_FALSE(ctx.outsideLinks);
  std::map<std::string, int32_t> statuses;
  for (auto& [url, rec] : r.byUrl) statuses[rec.path] = rec.status;
  EXPECT_EQ((std::map<std::string, int32_t>{{"/index.html", 200}, {"/a.html", 200}, {"/missing.html", 404},
                                            {"/pic.gif", 200}, {"/%2e%2e/secret.txt", 404}}),
            statuses);
  EXPECT_EQ("A", r.titles["http:///a.html"]);
  EXPECT_EQ(6, r.byUrl["http:///pic.gif"].contentLength);
}

TEST(CrawlStartUp, LoadRegistersTheLedClassOnce) {
  std::vector<kv::ui::MessageBoxInfo> boxes;
  auto previous = kv::ui::SetMessageBoxHandler([&](const kv::ui::MessageBoxInfo& box) {
    boxes.push_back(box);
    return 0;
  });
  DetachLinkAnalysis();
  ASSERT_TRUE(AttachLinkAnalysis());
  EXPECT_TRUE(boxes.empty());
  EXPECT_FALSE(AttachLinkAnalysis());  // the class is taken
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ("Unable to register LED window class.", boxes[0].text);
  EXPECT_EQ("Vodo Darevudo", boxes[0].caption);
  DetachLinkAnalysis();
  EXPECT_FALSE(kv::ui::IsWindowClassRegistered(kLedClass));
  kv::ui::SetMessageBoxHandler(previous);
}

TEST(CrawlStartUp, FailuresAreReported) {
  test::TempFolder data;
  LinkAnalysisDataStruct ctx;
  ctx.dataFolder = data.path();
  ctx.debugMode = true;
  ctx.pluginFolder = data.file("no/such/folder");
  EXPECT_EQ(0, KVLA_AnalysisEngineStartUp(0, &ctx));
  ASSERT_FALSE(ctx.errors.empty());
  EXPECT_EQ("Couldn't create the debug log file.", ctx.errors.back());
  EXPECT_EQ(1, KVLA_AnalysisEngineCleanUp(0, &ctx));
}

// A server of our own on loopback that answers each request with a handler
// (one thread a connection), for answers no ordinary server gives: endless,
// slow, cut short, reset.
class ScriptedServer {
 public:
  // Writes the answer to the socket; returns when done or the peer is gone.
  using Handler =
      std::function<void(ScriptedServer& self, int fd, const std::string& method, const std::string& path)>;
  explicit ScriptedServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 128) != 0)
      throw std::runtime_error("scripted server: no listening socket");
    socklen_t len = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~ScriptedServer() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    std::lock_guard<std::mutex> lock(lock_);
    for (auto& t : connections_) t.join();
    ::close(listener_);
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  bool stopping() const { return stopping_.load(); }
  // Sends all of it; false once the peer is gone or the server stops.
  bool Send(int fd, std::string_view data) {
    for (size_t sent = 0; sent < data.size();) {
      if (stopping_) return false;
      ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
      sentBytes_ += n;
    }
    return true;
  }
  int64_t sentBytes() const { return sentBytes_.load(); }
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(lock_);
    return requests_;
  }

 private:
  void Accept() {
    for (;;) {
      int peer = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (peer < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      std::lock_guard<std::mutex> lock(lock_);
      connections_.emplace_back([this, peer] {
        Answer(peer);
        ::close(peer);
      });
    }
  }
  void Answer(int peer) {
    timeval tv{5, 0};
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string request;
    char buf[2048];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
      ssize_t n = ::recv(peer, buf, sizeof buf, 0);
      if (n <= 0) return;
      request.append(buf, static_cast<size_t>(n));
    }
    const size_t sp1 = request.find(' '), sp2 = request.find(' ', sp1 + 1);
    const std::string method = request.substr(0, sp1), path = request.substr(sp1 + 1, sp2 - sp1 - 1);
    {
      std::lock_guard<std::mutex> lock(lock_);
      requests_.push_back(method + " " + path);
    }
    handler_(*this, peer, method, path);
  }

  Handler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int64_t> sentBytes_{0};
  std::thread acceptor_;
  std::mutex lock_;
  std::vector<std::thread> connections_;
  std::vector<std::string> requests_;
};

std::string Head(int status, const std::string& type, int64_t length, const std::string& more = "") {
  std::string h = "HTTP/1.0 " + std::to_string(status) + " X\r\nContent-Type: " + type + "\r\n";
  if (length >= 0) h += "Content-Length: " + std::to_string(length) + "\r\n";
  return h + more + "\r\n";
}

// The peak of the process's resident memory since the last reset (kB), and
// the reset.
int64_t PeakResidentKb(const char* field = "VmHWM:") {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::atoll(line.c_str() + std::strlen(field));
  return -1;
}
bool ResetPeakResident() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Pages of 200 MB and downloads of 200 MB cost a worker a few MB: no body is
// held whole, a page is kept and scanned up to the limit (and its record says
// so), a download is not read past its head.
TEST(CrawlBounds, LargePagesAndDownloadsStayInBoundedMemory) {
  constexpr int64_t kBig = int64_t{200} << 20;
  std::atomic<int64_t> downloadSent{0};
  ScriptedServer server([&](ScriptedServer& self, int fd, const std::string& method, const std::string& path) {
    if (path == "/index.html") {
      const std::string body =
          "<html><title>Big</title><a href=\"big.html\">b</a><a href=\"disc.iso\">i</a>"
          "<a href=\"movie.mp4\">m</a><a href=\"src.tar.xz\">t</a></html>";
      self.Send(fd, Head(200, "text/html", static_cast<int64_t>(body.size())) + (method == "GET" ? body : ""));
    } else if (path == "/big.html") {
      if (!self.Send(fd, Head(200, "text/html", kBig)) || method != "GET") return;
      std::string start = "<html><title>Huge</title><a href=\"early.html\">e</a>";
      std::string filler;
      while (filler.size() < 65536) filler += "<p>Filler text of a very long page, with no links.</p>\n";
      filler.resize(65536);
      int64_t sent = 0;
      if (!self.Send(fd, start)) return;
      sent += static_cast<int64_t>(start.size());
      while (sent < kBig) {
        // A link far beyond what is scanned.
        std::string chunk = sent > kBig / 2 && sent - 65536 <= kBig / 2 ? "<a href=\"late.html\">l</a>" : filler;
        chunk.resize(static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(chunk.size()), kBig - sent)));
        if (!self.Send(fd, chunk)) return;
        sent += static_cast<int64_t>(chunk.size());
      }
    } else if (path == "/disc.iso" || path == "/movie.mp4" || path == "/src.tar.xz") {
      if (!self.Send(fd, Head(200, "application/octet-stream", kBig)) || method != "GET") return;
      const std::string zeros(65536, '\0');
      for (int64_t sent = 0; sent < kBig; sent += 65536) {
        if (!self.Send(fd, zeros)) return;
        downloadSent += 65536;
      }
    } else {
      self.Send(fd, Head(404, "text/html", 0));
    }
  });
  test::TempFolder data;
  LinkAnalysisDataStruct ctx;
  ctx.dataFolder = data.path();
  ctx.serverName = server.host();
  ctx.startPage = "/index.html";
  ctx.numThreads = 4;
  ctx.dialupTimeout = 20;
  ctx.generalPurposeTimeout = 20;
  const int64_t before = PeakResidentKb("VmRSS:");
  const bool reset = ResetPeakResident();
  CrawlResult r = Crawl(ctx, nullptr, 60);
  const int64_t peak = PeakResidentKb();
  const std::string base = "http://" + server.host();
  const PageRecord& big = r.byUrl[base + "/big.html"];
  EXPECT_EQ(200, big.status);
  // What was kept and scanned: the limit, less the answer's head.
  EXPECT_LE(big.scannedBytes, static_cast<int32_t>(kMaxScanBytes));
  EXPECT_GT(big.scannedBytes, static_cast<int32_t>(kMaxScanBytes) - 1024);
  EXPECT_TRUE(r.byUrl.count(base + "/early.html"));
  EXPECT_FALSE(r.byUrl.count(base + "/late.html"));
  for (const char* download : {"/disc.iso", "/movie.mp4", "/src.tar.xz"}) {
    EXPECT_EQ(200, r.byUrl[base + download].status) << download;
    EXPECT_EQ(kBig, r.byUrl[base + download].contentLength) << download;
  }
  // Neither the downloads nor the big page were read to their end.
  EXPECT_LT(downloadSent.load(), kBig);
  EXPECT_LT(server.sentBytes(), kBig);
  std::printf("peak resident growth: %lld kB with 4 workers\n", static_cast<long long>(peak - before));
  if (reset && !kSanitized) {
    EXPECT_LT(peak - before, 100 * 1024) << "kB above the start";
  }
}

// A server that drips one byte every 200 ms is cut off by the request's
// overall deadline; an endless calendar stops at the record limit.
TEST(CrawlBounds, SlowAndEndlessSitesEnd) {
  ScriptedServer server([&](ScriptedServer& self, int fd, const std::string& method, const std::string& path) {
    if (path == "/index.html") {
      const std::string body = "<html><a href=\"drip.html\">d</a><a href=\"cal/0.html\">c</a></html>";
      self.Send(fd, Head(200, "text/html", static_cast<int64_t>(body.size())) + (method == "GET" ? body : ""));
    } else if (path == "/drip.html") {
      if (!self.Send(fd, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n")) return;
      while (self.Send(fd, "x")) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } else if (path.rfind("/cal/", 0) == 0) {
      const int n = std::atoi(path.c_str() + 5);
      const std::string body = "<html><a href=\"" + std::to_string(n + 1) + ".html\">next</a><a href=\"" +
                               std::to_string(n - 1) + ".html\">previous</a></html>";
      self.Send(fd, Head(200, "text/html", static_cast<int64_t>(body.size())) + (method == "GET" ? body : ""));
    } else {
      self.Send(fd, Head(404, "text/html", 0));
    }
  });
  test::TempFolder data;
  LinkAnalysisDataStruct ctx;
  ctx.dataFolder = data.path();
  ctx.serverName = server.host();
  ctx.startPage = "/index.html";
  ctx.numThreads = 4;
  ctx.dialupTimeout = 1;
  ctx.generalPurposeTimeout = 1;
  ctx.requestDeadline = 2;
  ctx.maxRecords = 60;
  const auto start = std::chrono::steady_clock::now();
  CrawlResult r = Crawl(ctx, nullptr, 20);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 15.0);
  const std::string base = "http://" + server.host();
  EXPECT_EQ(kStatusTimeoutDisconnect, r.byUrl[base + "/drip.html"].status);
  EXPECT_EQ(60u, r.byUrl.size());
  ASSERT_FALSE(ctx.errors.empty());
  EXPECT_NE(std::string::npos, ctx.errors.back().find("limit of 60 records")) << ctx.errors.back();
}

// The record limit stops sites without end, not real ones: documentation
// pages carry tables of contents (links to fragments of themselves) and
// outside links, records that are never requested; a site whose pages to
// request fit the limit is crawled whole, its broken links at the pages' ends
// too, whatever the number of workers.
TEST(CrawlBounds, RecordsNeverRequestedDoNotCountTowardsTheLimit) {
  std::map<std::string, std::string> files;
  std::string index = "<html><title>Docs</title>";
  for (int k = 0; k < 10; ++k) {
    const std::string name = "api/p" + std::to_string(k) + ".html";
    index += "<a href=\"" + name + "\">" + std::to_string(k) + "</a>";
    std::string page = "<html><title>Page</title><ul>";
    for (int s = 0; s < 12; ++s) page += "<li><a href=\"#s" + std::to_string(s) + "\">section</a></li>";
    page += "</ul><a href=\"http://outside" + std::to_string(k) + ".test/\">elsewhere</a>"
            "<a href=\"../index.html\">home</a><a href=\"missing" + std::to_string(k) + ".html\">gone</a></html>";
    files[name] = page;
  }
  files["index.html"] = index + "</html>";
  test::TestSite site(files);
  std::map<std::string, std::string> first;
  for (int workers : {1, 4}) {
    SCOPED_TRACE(std::to_string(workers) + " workers");
    test::TempFolder data;
    LinkAnalysisDataStruct ctx;
    ctx.dataFolder = data.path();
    ctx.serverName = site.host();
    ctx.startPage = "/index.html";
    ctx.numThreads = workers;
    ctx.maxRecords = 25;  // the index, ten pages and ten broken links: 21
    CrawlResult r = Crawl(ctx, &site, 30);
    const std::string base = "http://" + site.host();
    for (int k = 0; k < 10; ++k) {
      EXPECT_EQ(404, r.byUrl[base + "/api/missing" + std::to_string(k) + ".html"].status) << k;
      // A fragment's record (named by its path) is answered from its page.
      EXPECT_EQ(200, r.byUrl["/api/p" + std::to_string(k) + ".html#s11"].status) << k;
      EXPECT_TRUE(r.byUrl.count("http://outside" + std::to_string(k) + ".test/")) << k;
    }
    EXPECT_EQ(21u + 10 * 12 + 10, r.byUrl.size());
    EXPECT_FALSE(ctx.recordLimitReached);
    for (const std::string& error : ctx.errors) EXPECT_EQ(std::string::npos, error.find("limit")) << error;
    std::map<std::string, std::string> db = CanonicalDatabase(ctx);
    if (first.empty())
      first = db;
    else
      EXPECT_TRUE(db == first);
  }
}

// Workers with nothing to take sleep: 60 idle workers cost next to no CPU.
TEST(CrawlBounds, IdleWorkersSleep) {
  ScriptedServer server([&](ScriptedServer& self, int fd, const std::string&, const std::string&) {
    self.Send(fd, Head(404, "text/html", 0));
  });
  test::TempFolder data;
  LinkAnalysisDataStruct ctx;
  ctx.dataFolder = data.path();
  ctx.serverName = server.host();
  ctx.startPage = "/index.html";
  ctx.numThreads = 60;
  ASSERT_EQ(1, KVLA_AnalysisEngineStartUp(0, &ctx));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!IsCrawlIdle(&ctx) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(IsCrawlIdle(&ctx));
  auto cpu = [] {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  const double before = cpu();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double used = cpu() - before;
  std::printf("CPU of 60 idle workers: %.3f s in 1 s\n", used);
  EXPECT_LT(used, 0.25);
  // A record added now is taken at once, and the stop ends them all.
  const std::string more = "=\"http://" + server.host() + "/more.html\">";
  PageRecord seed{};
  seed.index = -1;
  ASSERT_EQ(1, AddFoundLink(&ctx, &seed, more.data(), more.size(), 0, 0));
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  auto taken = [&ctx] {
    PageRecord copy{};  // read under the array's lock
    return KVLA_ReadDatabaseItem(&ctx, 1, &copy) && (copy.flags & kFlagTaken);
  };
  while (std::chrono::steady_clock::now() < deadline && !taken())
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(taken());
  const auto stopAt = std::chrono::steady_clock::now();
  StopWorkers(&ctx);
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(2));
  EXPECT_EQ(1, KVLA_AnalysisEngineCleanUp(0, &ctx));
}

// Answers that break off are failures, not pages: a redirect loop, a GET
// reset after the HEAD's 200, a body short of its Content-length.
TEST(CrawlStatuses, BrokenAnswersAreFailures) {
  ScriptedServer server([&](ScriptedServer& self, int fd, const std::string& method, const std::string& path) {
    if (path == "/index.html") {
      const std::string body =
          "<html><a href=\"loop/a\">l</a><a href=\"reset.html\">r</a><a href=\"short.html\">s</a>"
          "<a href=\"whole.html\">w</a></html>";
      self.Send(fd, Head(200, "text/html", static_cast<int64_t>(body.size())) + (method == "GET" ? body : ""));
    } else if (path == "/loop/a" || path == "/loop/b") {
      const std::string to = path == "/loop/a" ? "/loop/b" : "/loop/a";
      self.Send(fd, Head(302, "text/html", 0, "Location: " + to + "\r\n"));
    } else if (path == "/reset.html") {
      if (method == "HEAD") {
        self.Send(fd, Head(200, "text/html", 100));
        return;
      }
      linger l{1, 0};  // the close resets the connection
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    } else if (path == "/short.html" || path == "/whole.html") {
      std::string body = "<html><a href=\"" + path.substr(1, 5) + "-link.html\">x</a>";
      body.resize(500, ' ');
      if (!self.Send(fd, Head(200, "text/html", path == "/short.html" ? 1000 : 500))) return;
      if (method == "GET") self.Send(fd, body);
    } else {
      self.Send(fd, Head(404, "text/html", 0));
    }
  });
  test::TempFolder data;
  for (int workers : {1, 4}) {
    SCOPED_TRACE(std::to_string(workers) + " workers");
    LinkAnalysisDataStruct ctx;
    ctx.dataFolder = data.path();
    ctx.serverName = server.host();
    ctx.startPage = "/index.html";
    ctx.numThreads = workers;
    ctx.dialupTimeout = 5;
    ctx.generalPurposeTimeout = 5;
    ctx.writeDataFiles = true;
    CrawlResult r = Crawl(ctx, nullptr, 30);
    const std::string base = "http://" + server.host();
    // The loop's one record ends on either of its two addresses.
    const bool atA = r.byUrl.count(base + "/loop/a") != 0, atB = r.byUrl.count(base + "/loop/b") != 0;
    ASSERT_TRUE(atA != atB);
    EXPECT_EQ(kStatusTooManyRedirects, r.byUrl[base + (atA ? "/loop/a" : "/loop/b")].status);
    EXPECT_EQ(kStatusReceive, r.byUrl[base + "/reset.html"].status);
    EXPECT_EQ(kStatusPremature, r.byUrl[base + "/short.html"].status);
    EXPECT_EQ(200, r.byUrl[base + "/whole.html"].status);
    EXPECT_TRUE(r.byUrl.count(base + "/whole-link.html"));
    EXPECT_FALSE(r.byUrl.count(base + "/short-link.html"));
    // A data file is kept for the whole answer only.
    EXPECT_EQ(500u, test::ReadFile(ComputeSaveFilename(&ctx, r.byUrl[base + "/whole.html"])).size());
    EXPECT_FALSE(std::filesystem::exists(ComputeSaveFilename(&ctx, r.byUrl[base + "/short.html"])));
  }
}

// A free loopback port (bound and let go: good enough for a server started
// right after).
int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

bool HaveProgram(const char* name) {
  std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

bool WaitForPort(int port, int ms) {
  for (int waited = 0; waited < ms; waited += 20) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (up) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// A child process, ended and reaped with the object.
struct Child {
  pid_t pid = -1;
  explicit Child(std::vector<std::string> argv) {
    pid = fork();
    if (pid == 0) {
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
  }
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

// Through a real proxy the request names the site's port: the proxy reaches
// the site (not whatever listens on port 80), and the profile's credentials
// with it.
TEST(CrawlProxy, TheProxyIsToldTheSitesPort) {
  if (!HaveProgram("tinyproxy")) GTEST_SKIP() << "tinyproxy is not installed (scripts/setup-deps installs it)";
  const std::map<std::string, std::string> files = {
      {"index.html", "<html><title>Home</title><a href=\"page.html\">p</a></html>"},
      {"page.html", "<html><title>Page</title></html>"}};
  test::TestSite site(files);
  test::TempFolder folder;
  const int proxyPort = FreePort();
  std::string config = "Port " + std::to_string(proxyPort) +
                       "\nListen 127.0.0.1\nTimeout 10\nMaxClients 20\nAllow 127.0.0.1\nLogLevel Error\n"
                       "DisableViaHeader Yes\n";
  if (geteuid() == 0) config += "User nobody\nGroup nogroup\n";
  test::WriteFile(folder.file("tinyproxy.conf"), config);
  Child proxy({"tinyproxy", "-d", "-c", folder.file("tinyproxy.conf")});
  ASSERT_TRUE(WaitForPort(proxyPort, 5000)) << "tinyproxy did not start";
  test::TempFolder data;
  LinkAnalysisDataStruct ctx;
  ctx.dataFolder = data.path();
  ctx.serverName = site.host();
  ctx.startPage = "/index.html";
  ctx.numThreads = 2;
  ctx.dialupTimeout = 10;
  ctx.generalPurposeTimeout = 10;
  ctx.httpProxy = "127.0.0.1:" + std::to_string(proxyPort);
  ctx.userName = "profile";
  ctx.password = "secret";
  CrawlResult r = Crawl(ctx, &site, 30);
  const std::string base = "http://" + site.host();
  EXPECT_EQ(200, r.byUrl[base + "/index.html"].status);
  EXPECT_EQ(200, r.byUrl[base + "/page.html"].status);
  EXPECT_EQ("Page", r.titles[base + "/page.html"]);
  std::set<std::string> asked;
  for (const std::string& line : r.requests) {
    asked.insert(line.substr(0, line.find('|')));
    EXPECT_NE(std::string::npos, line.find("|Basic cHJvZmlsZTpzZWNyZXQ=|")) << line;
  }
  EXPECT_TRUE(asked.count("GET /page.html"));
}

// A generated documentation site as its generator writes it: every page with
// style sheets and scripts in its head, inline scripts whose strings hold
// markup, a side bar whose links carry titles such as "… JavaScript library",
// relative links up and across folders, fragments, escaped query strings,
// figures, mail and script links; planted into it broken links, a missing
// figure, moved pages (answered with 301 by the server) linked from many
// pages, and module indexes that link one page again after a hundred others.
const char kDocSiteGenerator[] = R"PY(
import os, sys
root, modules, funcs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def write(path, text):
    full = os.path.join(root, path.lstrip('/'))
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, 'w') as f:
        f.write(text)
def page(path, title, body):
    rel = '../' * path.count('/', 1)
    side = ''.join('<li><a class="reference internal" title="Module %d of the JavaScript library" '
                   'href="%sapi/mod%d/index.html">mod%d</a></li>\n' % (k, rel, k, k) for k in range(modules))
    return ('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">\n<title>%s</title>\n'
            '<link rel="stylesheet" href="%s_static/basic.css" type="text/css">\n'
            '<script src="%s_static/jquery.js"></script>\n'
            '<script>var DOCUMENTATION_OPTIONS = {URL_ROOT: "%s"}; var tpl = \'<a href="%snot-a-page.html">\';</script>\n'
            '</head><body>\n<div class="sphinxsidebar" role="navigation"><ul>\n%s</ul>\n'
            '<a href="%ssearch.html?q=api&amp;check_keywords=yes&amp;area=default">search</a></div>\n'
            '<div class="body">%s</div>\n<div class="footer"><a href="mailto:docs@site.test">mail</a> '
            '<a href="javascript:void(0)">top</a> <a href="%sindex.html#top">home</a></div>\n'
            '<script src="%s_static/searchtools.js"></script>\n</body></html>\n'
            % (title, rel, rel, rel, rel, side, rel, body, rel, rel))
write('_static/basic.css', 'body { margin: 0 }\n')
write('_static/jquery.js', '/* script */\n')
write('_static/searchtools.js', '/* script */\n')
write('search.html', page('/search.html', 'Search', '<p>Search</p>'))
body = ''.join('<p><a class="reference" href="api/mod%d/index.html">Module %d</a></p>\n' % (k, k) for k in range(modules))
write('index.html', page('/index.html', 'Documentation', '<h1 id="top">Docs</h1>\n' + body +
                         '<a href="old/mod0.html">moved</a>\n'))
for k in range(modules):
    links = ''.join('<li><a href="func%d.html">func%d</a></li>\n' % (j, j) for j in range(funcs))
    # The first function again, twice, after a hundred other links.
    links += '<li><a href="func0.html">first</a></li><li><a href="func0.html#params">first again</a></li>\n'
    write('api/mod%d/index.html' % k, page('/api/mod%d/index.html' % k, 'Module %d' % k,
          '<h1>Module %d</h1><img src="../../_images/mod%d.png" alt="diagram"><ul>\n%s</ul>' % (k, k, links)))
    write('_images/mod%d.png' % k, 'PNG')
    for j in range(funcs):
        b = '<h1 id="func">func%d</h1>\n' % j
        b += '<p><a href="func%d.html">next</a> <a href="func%d.html">previous</a> ' % ((j + 1) % funcs, (j - 1) % funcs)
        b += '<a href="index.html">up</a> <a href="../../index.html">home</a> <a href="#func">here</a> '
        b += '<a href="../mod%d/func%d.html#details">see also</a></p>\n' % ((k + 1) % modules, j)
        b += '<img src="../../_images/mod%d.png" alt="diagram" width="10" height="10">\n' % k
        if j % 10 == 0:
            b += '<a href="../../old/mod%d.html">old module page</a>\n' % ((k + j) % modules)
        if j % 25 == 0:
            b += '<script>var x = "no tag here";</script>\n<a href="missing/%d_%d.html">gone</a>\n' % (k, j)
        if k == 3 and j == 7:
            b += '<img src="../../_images/nothere.png" alt="gone figure">\n'
        write('api/mod%d/func%d.html' % (k, j), page('/api/mod%d/func%d.html' % (k, j), 'func%d' % j, b))
with open(os.path.join(root, '..', 'redirects.conf'), 'w') as f:
    for k in range(modules):
        f.write('location = /old/mod%d.html { return 301 /api/mod%d/index.html; }\n' % (k, k))
)PY";

std::string RunCapture(const std::string& command) {
  std::string out;
  if (std::FILE* p = ::popen(command.c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

// The generated documentation site served by nginx: the crawler reaches every
// URL that wget's spider reaches (but the scripts' sources, which the tag
// table has no row for) and finds the same broken links; 1, 4, 20 and 60
// workers save one database.
TEST(CrawlRealSite, ReachesWhatWgetReachesWithAnyNumberOfWorkers) {
  for (const char* program : {"nginx", "wget"})
    if (!HaveProgram(program) && access(("/usr/sbin/" + std::string(program)).c_str(), X_OK) != 0)
      GTEST_SKIP() << program << " is not installed (scripts/setup-deps installs it)";
  test::TempFolder folder;
  const std::string siteRoot = folder.file("site");
  test::WriteFile(folder.file("gen.py"), kDocSiteGenerator);
  // 3,000 pages of functions in 30 modules; a sanitizer build, some ten
  // times slower, crawls a third of them.
  const size_t modules = kSanitized ? 10 : 30;
  const std::string generate =
      "python3 " + folder.file("gen.py") + " " + siteRoot + " " + std::to_string(modules) + " 100";
  ASSERT_EQ(0, std::system(generate.c_str()));
  const int port = FreePort();
  std::filesystem::create_directories(folder.file("tmp"));
  test::WriteFile(folder.file("nginx.conf"),
                  "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + folder.file("nginx.pid") +
                      ";\nerror_log " + folder.file("error.log") +
                      ";\nevents { worker_connections 512; }\nhttp {\n  access_log off;\n"
                      "  client_body_temp_path " + folder.file("tmp") + ";\n  proxy_temp_path " + folder.file("tmp") +
                      ";\n  fastcgi_temp_path " + folder.file("tmp") + ";\n  uwsgi_temp_path " + folder.file("tmp") +
                      ";\n  scgi_temp_path " + folder.file("tmp") +
                      ";\n  types { text/html html; text/css css; application/javascript js; image/png png; }\n"
                      "  default_type application/octet-stream;\n  server {\n    listen 127.0.0.1:" + std::to_string(port) +
                      ";\n    root " + siteRoot + ";\n    include " + folder.file("redirects.conf") + ";\n  }\n}\n");
  const char* nginx = HaveProgram("nginx") ? "nginx" : "/usr/sbin/nginx";
  Child server({nginx, "-p", folder.path(), "-c", folder.file("nginx.conf")});
  ASSERT_TRUE(WaitForPort(port, 5000)) << test::ReadFile(folder.file("error.log"));
  const std::string base = "http://127.0.0.1:" + std::to_string(port);

  // wget's spider, the independent answer.
  const std::string spider = RunCapture("cd " + folder.path() +
                                        " && timeout 120 wget --spider -r -l inf -nv -e robots=off -P " +
                                        folder.file("wget") + " " + base + "/index.html 2>&1");
  std::set<std::string> wgetUrls, wgetBroken;
  {
    std::istringstream in(spider);
    bool brokenList = false;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("Found ", 0) == 0 && line.find("broken link") != std::string::npos) {
        brokenList = true;
        continue;
      }
      if (brokenList) {
        if (line.rfind(base, 0) == 0) wgetBroken.insert(line);
        continue;
      }
      size_t at = line.find("URL:");
      if (at != std::string::npos) {
        size_t from = line.find_first_not_of(' ', at + 4);
        size_t end = line.find_first_of(" [", from);
        wgetUrls.insert(line.substr(from, end == std::string::npos ? std::string::npos : end - from));
      } else if (line.rfind(base, 0) == 0 && line.back() == ':') {
        wgetUrls.insert(line.substr(0, line.size() - 1));
      }
    }
  }
  std::erase_if(wgetUrls, [](const std::string& url) { return url.ends_with(".js"); });
  // wget also reads the markup in an inline script's strings; the crawler
  // skips script blocks.
  wgetUrls.erase(base + "/not-a-page.html");
  wgetBroken.erase(base + "/not-a-page.html");
  ASSERT_GT(wgetUrls.size(), modules * 100) << spider.substr(0, 2000);
  ASSERT_EQ(modules * 4 + 1, wgetBroken.size());  // four a module and a figure

  std::map<std::string, std::string> first;
  for (int workers : {1, 4, 20, 60}) {
    SCOPED_TRACE(std::to_string(workers) + " workers");
    test::TempFolder data;
    LinkAnalysisDataStruct ctx;
    ctx.dataFolder = data.path();
    ctx.serverName = "127.0.0.1:" + std::to_string(port);
    ctx.startPage = "/index.html";
    ctx.numThreads = workers;
    ctx.dialupTimeout = 20;
    ctx.generalPurposeTimeout = 20;
    CrawlResult r = Crawl(ctx, nullptr, 120);
    std::map<std::string, std::string> db = CanonicalDatabase(ctx);
    if (first.empty()) {
      std::set<std::string> reached, broken;
      for (const auto& [key, rec] : r.byUrl) {
        const std::string url = RecordUrl(rec);
        if (rec.linkType != kLinkHttp) continue;
        reached.insert(url.substr(0, url.find('#')));
        if (rec.originalPath) {
          char text[kMaxDynamicText];
          if (KVLA_GetDynamicData(&ctx, static_cast<int32_t>(rec.originalPath), text)) reached.insert(base + text);
        }
        if (rec.status == 404) broken.insert(url);
        EXPECT_TRUE(rec.status == 200 || rec.status == 404) << url << " " << rec.status;
      }
      std::vector<std::string> missed;
      std::set_difference(wgetUrls.begin(), wgetUrls.end(), reached.begin(), reached.end(), std::back_inserter(missed));
      EXPECT_TRUE(missed.empty()) << missed.size() << " URLs wget reached were not, the first: " << missed.front();
      EXPECT_EQ(wgetBroken, broken);
      EXPECT_FALSE(reached.count(base + "/not-a-page.html"));  // text in a script
      std::printf("wget reached %zu URLs (%zu broken); the crawl made %zu records\n", wgetUrls.size(),
                  wgetBroken.size(), r.byUrl.size());
      first = db;
      continue;
    }
    EXPECT_EQ(first.size(), db.size());
    size_t differ = 0;
    std::string example;
    for (const auto& [url, rec] : first) {
      auto it = db.find(url);
      if (it != db.end() && it->second == rec) continue;
      if (!differ++) example = url + "\n" + rec + "\n" + (it == db.end() ? std::string("(none)") : it->second);
    }
    EXPECT_EQ(0u, differ) << "records differ from the crawl with 1 worker, the first:\n" << example;
  }
}

// The debug log holds the requests: it is readable by the user alone (also
// when an older one was world-readable) and shows no credentials.
TEST(CrawlDebug, TheLogIsPrivateAndHoldsNoCredentials) {
  const std::map<std::string, std::string> files = {{"index.html", "<html><a href=\"a.html\">a</a></html>"},
                                                    {"a.html", "<html>a</html>"}};
  test::TestSite site(files);
  test::TempFolder data;
  test::WriteFile(data.file("DEBUG.TXT"), "old");
  ASSERT_EQ(0, ::chmod(data.file("DEBUG.TXT").c_str(), 0644));
  LinkAnalysisDataStruct ctx;
  ctx.dataFolder = data.path();
  ctx.serverName = site.host();
  ctx.startPage = "/index.html";
  ctx.numThreads = 2;
  ctx.debugMode = true;
  ctx.userName = "profile";
  ctx.password = "secret";
  CrawlResult r = Crawl(ctx, &site, 30);
  EXPECT_EQ(200, r.byUrl["http://" + site.host() + "/a.html"].status);
  // The server was sent the credentials; the log does not hold them.
  ASSERT_FALSE(r.requests.empty());
  EXPECT_NE(std::string::npos, r.requests[0].find("Basic cHJvZmlsZTpzZWNyZXQ="));
  struct stat st {};
  ASSERT_EQ(0, ::stat(data.file("DEBUG.TXT").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  const std::string log = test::ReadFile(data.file("DEBUG.TXT"));
  EXPECT_NE(std::string::npos, log.find("GET /a.html HTTP/1.0\r\n"));
  EXPECT_NE(std::string::npos, log.find("Authorization: (not shown)\r\n"));
  EXPECT_EQ(std::string::npos, log.find("cHJvZmlsZTpzZWNyZXQ="));
  EXPECT_EQ(std::string::npos, log.find("secret"));
}

// A data file gets the whole body of a download larger than what is kept in
// memory, written as it arrives.
TEST(CrawlBounds, DataFilesGetWholeBodiesWithoutHoldingThem) {
  constexpr int64_t kSize = int64_t{24} << 20;
  ScriptedServer server([&](ScriptedServer& self, int fd, const std::string& method, const std::string& path) {
    if (path == "/index.html") {
      const std::string body = "<html><a href=\"disc.iso\">i</a></html>";
      self.Send(fd, Head(200, "text/html", static_cast<int64_t>(body.size())) + (method == "GET" ? body : ""));
    } else if (path == "/disc.iso") {
      if (!self.Send(fd, Head(200, "application/octet-stream", kSize)) || method != "GET") return;
      std::string chunk(65536, '\0');
      for (int64_t sent = 0; sent < kSize; sent += 65536) {
        for (size_t k = 0; k < chunk.size(); k += 4096)
          chunk[k] = static_cast<char>((sent + static_cast<int64_t>(k)) >> 12);
        if (!self.Send(fd, chunk)) return;
      }
    } else {
      self.Send(fd, Head(404, "text/html", 0));
    }
  });
  test::TempFolder data;
  LinkAnalysisDataStruct ctx;
  ctx.dataFolder = data.path();
  ctx.serverName = server.host();
  ctx.startPage = "/index.html";
  ctx.numThreads = 2;
  ctx.writeDataFiles = true;
  const int64_t before = PeakResidentKb("VmRSS:");
  const bool reset = ResetPeakResident();
  CrawlResult r = Crawl(ctx, nullptr, 30);
  const int64_t peak = PeakResidentKb();
  const PageRecord& disc = r.byUrl["http://" + server.host() + "/disc.iso"];
  EXPECT_EQ(200, disc.status);
  const std::string file = test::ReadFile(ComputeSaveFilename(&ctx, disc));
  ASSERT_EQ(static_cast<size_t>(kSize), file.size());
  for (size_t k = 0; k < file.size(); k += 4096) {
    if (file[k] != static_cast<char>(k >> 12)) {
      ADD_FAILURE() << "byte " << k << " of the data file";
      break;
    }
  }
  if (reset && !kSanitized) {
    EXPECT_LT(peak - before, 16 * 1024) << "kB above the start";
  }
}

}  // namespace
}  // namespace kvla
