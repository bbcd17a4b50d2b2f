// Remote log fetches over HTTP against a real HTTP server on loopback (a
// small Python server of this folder's testdata that honours byte ranges),
// driven by this thread's message loop.
#include <sys/resource.h>

#include "engine/network/remote_test_support.h"

namespace {

using namespace remotetest;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

class HttpFetchTest : public RemoteFixture {
 protected:
  void StartHttp() {
    port_ = FreePort();
    const std::string script = std::string(getenv("KV_SOURCE_DIR") != nullptr ? getenv("KV_SOURCE_DIR") : "") +
                               "/engine/network/testdata/range_server.py";
    ASSERT_TRUE(fs::exists(script)) << script;
    ASSERT_TRUE(server_.Start({Python(), script, std::to_string(port_), Root(), RequestLog()}, folder_ + "server.log",
                              port_))
        << ReadFile(folder_ + "server.log");
  }
  std::string RequestLog() const { return folder_ + "requests.txt"; }
  // The requests the server saw since the last call: "path|range|authorization".
  std::vector<std::string> TakeRequests() {
    std::vector<std::string> seen = Lines(ReadFile(RequestLog()));
    fs::remove(RequestLog());
    return seen;
  }
  std::string Location(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
  }
};

TEST_F(HttpFetchTest, PlainFetchWritesTheBody) {
  const std::string log = LogLines(400);
  WriteFile(Root() + "access.log", log);
  StartHttp();
  WriteProfile(Location("access.log"), "ann", "pw:1");
  ASSERT_EQ(Open(0), 0) << UrlError();
  ASSERT_TRUE(WaitOver());
  EXPECT_EQ(UrlError(), "");
  EXPECT_EQ(ReadFile(Cache() + "access.log"), log);
  EXPECT_TRUE(vrn::RemoteCopyReady());
  EXPECT_EQ(VRN_GetURLDonePercent(handle_), 100);
  EXPECT_EQ(CountStatus(VRN_URL_MSG_CONNECTING), 1u);
  Close();

  // The file is fetched with the profile's Basic credentials ("ann:pw:1")
  // and no range; the list file names its copy inside the cache folder.
  const std::vector<std::string> requests = TakeRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], "/access.log||Basic YW5uOnB3OjE=|");
  const std::string list = ReadFile(ListFile());
  EXPECT_NE(list.find("\r\naccess.log\r\n127.0.0.1/access.log\r\nHTTP\r\n"), std::string::npos) << list;
}

// A location naming several files is refused before anything is asked or
// changed: fetching the first alone would analyse a part as the whole.
TEST_F(HttpFetchTest, SeveralEntriesAreRefusedAndTheCacheKept) {
  const std::string log = LogLines(40);
  WriteFile(Root() + "access.log", log);
  WriteFile(Root() + "other.log", "x\n");
  StartHttp();
  WriteProfile(Location("access.log"), "", "");
  ASSERT_EQ(Open(0), 0) << UrlError();
  ASSERT_TRUE(WaitOver());
  Close();
  const std::string list = ReadFile(ListFile());
  TakeRequests();
  for (const char* location : {"access.log|/other.log", "access.log other.log"}) {
    WriteProfile(Location(location), "", "");
    EXPECT_EQ(Open(0), -1) << location;
    EXPECT_EQ(UrlError(), "An HTTP location names one file; this one names several.");
    EXPECT_TRUE(TakeRequests().empty());
    EXPECT_EQ(ReadFile(ListFile()), list);
    EXPECT_EQ(ReadFile(Cache() + "access.log"), log);
    EXPECT_FALSE(fs::exists(Cache() + "other.log"));
  }
}

// Detect mode continues a local copy; each case gives the copy, the remote
// file, the path's mode folder and the ranges the server must have seen.
TEST_F(HttpFetchTest, DetectModeContinuesACopyFromItsLastKilobyte) {
  const std::string grown = LogLines(120);
  const std::string rotated = LogLines(120, 5000);
  struct Case {
    const char* name;
    std::string copy;
    std::string remote;
    const char* folder;
    std::vector<std::string> ranges;
  };
  const std::string oldCopy = grown.substr(0, 3000);
  const std::vector<Case> cases = {
      {"grown log", oldCopy, grown, "", {"bytes=1976-"}},
      {"unchanged log", grown, grown, "", {"bytes=" + std::to_string(grown.size() - 1024) + "-"}},
      {"server ignores ranges", oldCopy, grown, "norange/", {"bytes=1976-"}},
      {"multipart answer", oldCopy, grown, "multi/", {"bytes=1976-"}},
      {"rotated log", oldCopy, rotated, "", {"bytes=1976-", "bytes=0-1976"}},
      {"rotated to a shorter log", grown, rotated.substr(0, 1500), "", {"bytes=" + std::to_string(grown.size() - 1024) + "-", ""}},
      {"copy below a kilobyte", grown.substr(0, 1023), grown, "", {""}},
  };
  StartHttp();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(Root() + "access.log", c.remote);
    fs::create_directories(Cache());
    fs::remove(ListFile());  // each case starts from its own copy
    WriteFile(Cache() + "access.log", c.copy);
    WriteProfile(Location(std::string(c.folder) + "access.log"));
    TakeRequests();
    ASSERT_EQ(Open(1), 0) << UrlError();
    ASSERT_TRUE(WaitOver());
    EXPECT_EQ(UrlError(), "");
    EXPECT_TRUE(vrn::RemoteCopyReady());
    EXPECT_EQ(VRN_GetURLDonePercent(handle_), 100);
    Close();
    EXPECT_EQ(ReadFile(Cache() + "access.log"), c.remote);
    std::vector<std::string> ranges;
    for (const std::string& r : TakeRequests()) {
      const size_t a = r.find('|'), b = r.find('|', a + 1);
      ranges.push_back(r.substr(a + 1, b - a - 1));
    }
    EXPECT_EQ(ranges, c.ranges);
  }
}

TEST_F(HttpFetchTest, MissingFileEndsTheFetchAndClearsReady) {
  StartHttp();
  WriteProfile(Location("missing.log"));
  ASSERT_EQ(Open(0), 0);
  ASSERT_TRUE(WaitOver(5000)) << "a failed fetch is over";
  EXPECT_FALSE(vrn::RemoteCopyReady());
  EXPECT_EQ(ReadFile(Cache() + "missing.log"), "");
  Close();
}

TEST_F(HttpFetchTest, UnreachableServerFailsWithoutAHandle) {
  // Nobody listens on the port: the connection fails and no handle is left.
  WriteProfile("http://127.0.0.1:" + std::to_string(FreePort()) + "/access.log");
  EXPECT_EQ(Open(0), -1);
  EXPECT_EQ(handle_, 0u);
  EXPECT_FALSE(vrn::RemoteCopyReady());
  EXPECT_EQ(ui::FindWindow("VORNIC", "URL Window"), 0u);
}

TEST_F(HttpFetchTest, ProxyCarriesTheWholeAddressAndItsCredentials) {
  WriteFile(Root() + "access.log", LogLines(30));
  StartHttp();
  // The log's own host does not resolve: only the proxy is contacted.
  WriteFile(folder_ + "kelvaron.ini", "[Defaults]\nProxyEnable=TRUE\nHTTPProxy=127.0.0.1:" + std::to_string(port_) +
                                          "\nHTTPProxyAuth=px:secret\n");
  WriteProfile("http://logs.invalid/access.log");
  ASSERT_EQ(Open(0), 0) << UrlError();
  ASSERT_TRUE(WaitOver());
  EXPECT_EQ(ReadFile(Cache() + "access.log"), LogLines(30));
  Close();
  const std::vector<std::string> requests = TakeRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], "http://logs.invalid/access.log|||Basic cHg6c2VjcmV0");

  // Proxy turned off: the request goes to the log's own server.
  WriteFile(folder_ + "kelvaron.ini", "[Defaults]\nProxyEnable=FALSE\nHTTPProxy=127.0.0.1:1\n");
  WriteProfile(Location("access.log"));
  ASSERT_EQ(Open(0), 0) << UrlError();
  ASSERT_TRUE(WaitOver());
  Close();
  EXPECT_EQ(TakeRequests(), std::vector<std::string>{"/access.log|||"});
}

// A server of testdata/odd_http_server.py, whose answers go wrong.
class OddServerTest : public HttpFetchTest {
 protected:
  void StartOdd() {
    port_ = FreePort();
    const std::string script = std::string(getenv("KV_SOURCE_DIR") != nullptr ? getenv("KV_SOURCE_DIR") : "") +
                               "/engine/network/testdata/odd_http_server.py";
    ASSERT_TRUE(server_.Start({Python(), script, std::to_string(port_), Root()}, folder_ + "server.log", port_))
        << ReadFile(folder_ + "server.log");
  }
};

// Every fetch that fails says why, is over, and leaves nothing to analyse.
TEST_F(OddServerTest, FailedFetchesTellWhyAndAreNotReady) {
  const std::string log = LogLines(600);
  WriteFile(Root() + "access.log", log);
  StartOdd();
  const struct {
    const char* path;
    const char* error;
  } cases[] = {
      {"missing.log", "The remote file or folder is not available."},
      {"short/access.log", "The transfer ended before the whole file arrived."},
      {"hugehead/access.log", "The server's answer could not be read."},  // a head over 64 KiB
      {"garbage", "The server's answer could not be read."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    WriteProfile(Location(c.path));
    ASSERT_EQ(Open(0), 0) << UrlError();
    ASSERT_TRUE(WaitOver(10000));
    EXPECT_EQ(UrlError(), c.error);
    EXPECT_FALSE(vrn::RemoteCopyReady());
    Close();
  }
}

// A head of many header lines is read whole, up to 64 KiB, however it is
// split across reads: the body after it is the whole log, nothing of the
// head is in the copy, and the progress ends at 100%.
TEST_F(OddServerTest, LongHeadsBeforeTheBodyAreReadWhole) {
  const std::string log = LogLines(600);
  WriteFile(Root() + "access.log", log);
  StartOdd();
  for (const char* path : {"bighead/access.log", "widehead/access.log"}) {
    SCOPED_TRACE(path);
    fs::remove_all(Cache());
    WriteProfile(Location(path));
    ASSERT_EQ(Open(0), 0) << UrlError();
    ASSERT_TRUE(WaitOver(10000));
    EXPECT_EQ(UrlError(), "");
    EXPECT_TRUE(vrn::RemoteCopyReady());
    EXPECT_EQ(VRN_GetURLDonePercent(handle_), 100);
    Close();
    const std::string copy = ReadFile(Cache() + "access.log");
    EXPECT_EQ(copy.size(), log.size());
    EXPECT_TRUE(copy == log) << "the copy is not the log";
  }
}

// The local copy cannot grow (the file size limit of the process): the
// fetch fails with the local file's text.
TEST_F(OddServerTest, AFailedLocalWriteEndsTheFetchWithItsText) {
  WriteFile(Root() + "access.log", LogLines(3000));
  StartHttp();
  WriteProfile(Location("access.log"));
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int16_t opened = Open(0);
  const bool over = opened == 0 && WaitOver(10000);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  ASSERT_EQ(opened, 0);
  ASSERT_TRUE(over);
  EXPECT_EQ(UrlError(), "The local copy of the remote log could not be written.");
  EXPECT_FALSE(vrn::RemoteCopyReady());
  Close();
}

// The location's port is part of the address asked for: in the Host line
// of a direct request, and in the request line and Host line sent to a
// proxy. The server echoes the request head as the body.
TEST_F(OddServerTest, ThePortOfTheLocationReachesServerAndProxy) {
  StartOdd();
  WriteProfile(Location("echo"));
  ASSERT_EQ(Open(0), 0) << UrlError();
  ASSERT_TRUE(WaitOver());
  Close();
  const std::string host = "127.0.0.1:" + std::to_string(port_);
  EXPECT_EQ(ReadFile(Cache() + "echo.").rfind("GET /echo HTTP/1.0\r\nHost: " + host + "\r\n", 0), 0u)
      << ReadFile(Cache() + "echo.");

  WriteFile(folder_ + "kelvaron.ini", "[Defaults]\nProxyEnable=TRUE\nHTTPProxy=" + host + "\n");
  for (const char* location : {"127.0.0.1:18081", "logs.invalid:8080", "logs.invalid"}) {
    SCOPED_TRACE(location);
    fs::remove_all(Cache());
    WriteProfile(std::string("http://") + location + "/logs/echo");
    ASSERT_EQ(Open(0), 0) << UrlError();
    ASSERT_TRUE(WaitOver());
    EXPECT_EQ(UrlError(), "");
    Close();
    const std::string head = ReadFile(Cache() + "echo.");
    EXPECT_EQ(head.rfind(std::string("GET http://") + location + "/logs/echo HTTP/1.0\r\nHost: " + location + "\r\n", 0),
              0u)
        << head;
  }
}

class SilentServerTest : public HttpFetchTest {
 protected:
  SilentServerTest() { timeout_ = 1; }
};

TEST_F(SilentServerTest, SilenceEndsTheFetchWithTheTimeOutText) {
  // A listener that accepts (through its backlog) and never answers.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  WriteProfile("http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/access.log");
  ASSERT_EQ(Open(0), 0);
  EXPECT_EQ(VRN_PeekURL(), 0);
  ASSERT_TRUE(WaitOver(10000));
  EXPECT_EQ(UrlError(), "The transfer stopped: the server sent nothing for too long.");
  EXPECT_FALSE(vrn::RemoteCopyReady());
  Close();
  close(fd);
}

TEST_F(SilentServerTest, AFinishedFetchKeepsItsOutcomeUntilClosed) {
  WriteFile(Root() + "access.log", LogLines(10));
  StartHttp();
  WriteProfile(Location("access.log"));
  ASSERT_EQ(Open(0), 0);
  ASSERT_TRUE(WaitOver());
  const uint64_t done = vrn::g_fetch.doneBytes;
  PumpUntil([] { return false; }, 2500);  // longer than the time-out
  EXPECT_EQ(UrlError(), "");
  EXPECT_EQ(VRN_PeekURL(), -1);
  EXPECT_EQ(vrn::g_fetch.doneBytes, done);
  EXPECT_TRUE(vrn::RemoteCopyReady());
  Close();
}

}  // namespace

namespace {

using namespace remotetest;

// A copy of 4 GiB and more is continued at its own offset: the range that
// nginx answers lies past what 32 bits hold. Both files are sparse below
// their last few kilobytes.
TEST_F(HttpFetchTest, ACopyPastFourGigabytesIsContinuedInPlace) {
  const std::string nginx = access("/usr/sbin/nginx", X_OK) == 0 ? "/usr/sbin/nginx" : "";
  if (nginx.empty()) GTEST_SKIP() << "nginx is not installed (scripts/setup-deps installs it)";
  constexpr uint64_t kBase = 4ull << 30;
  const std::string head = LogLines(30), more = LogLines(20, 30);
  auto sparse = [&](const std::string& path, const std::string& tail) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).close();
    fs::resize_file(path, kBase);
    std::ofstream(path, std::ios::binary | std::ios::app) << tail;
  };
  fs::create_directories(Cache());
  sparse(Root() + "big.log", head + more);
  sparse(Cache() + "big.log", head);

  port_ = FreePort();
  const std::string d = folder_ + "nginx/";
  fs::create_directories(d);
  WriteFile(d + "nginx.conf", "daemon off;\nmaster_process off;\npid " + d + "nginx.pid;\nerror_log " + d +
                                  "error.log;\nevents {}\nhttp {\n  access_log off;\n  client_body_temp_path " + d +
                                  "body;\n  proxy_temp_path " + d + "proxy;\n  fastcgi_temp_path " + d +
                                  "fcgi;\n  uwsgi_temp_path " + d + "uwsgi;\n  scgi_temp_path " + d +
                                  "scgi;\n  server {\n    listen 127.0.0.1:" + std::to_string(port_) +
                                  ";\n    root " + Root() + ";\n  }\n}\n");
  ASSERT_TRUE(server_.Start({nginx, "-p", d, "-c", d + "nginx.conf", "-e", d + "error.log"}, d + "stderr.log", port_))
      << ReadFile(d + "stderr.log");
  WriteProfile("http://127.0.0.1:" + std::to_string(port_) + "/big.log");
  ASSERT_EQ(Open(1), 0) << UrlError();
  ASSERT_TRUE(WaitOver());
  EXPECT_EQ(UrlError(), "");
  EXPECT_TRUE(vrn::RemoteCopyReady());
  Close();

  ASSERT_EQ(fs::file_size(Cache() + "big.log"), kBase + head.size() + more.size());
  std::ifstream copy(Cache() + "big.log", std::ios::binary);
  // The copy's last bytes are the remote file's, and its first kilobytes
  // are still the zeros they were (nothing written at a wrapped offset).
  std::string start(8192, 'x');
  copy.read(start.data(), static_cast<std::streamsize>(start.size()));
  EXPECT_EQ(start, std::string(8192, '\0'));
  copy.seekg(static_cast<std::streamoff>(kBase));
  std::string tail(head.size() + more.size(), '\0');
  copy.read(tail.data(), static_cast<std::streamsize>(tail.size()));
  EXPECT_EQ(tail, head + more);
}

}  // namespace
