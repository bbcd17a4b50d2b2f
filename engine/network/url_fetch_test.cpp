// Remote log fetches over FTP and FTP uploads, against a real FTP server on
// loopback, driven by this thread's message loop as a client drives them.
#include <utime.h>

#include <algorithm>

#include "engine/network/remote_test_support.h"
#include "platform/ftp4w32/ftp4w32.h"

namespace {

using namespace remotetest;

const char* const kUser = "kvuser";
const char* const kPass = "s3cret";

class FtpFetchTest : public RemoteFixture {
 protected:
  void StartFtp(bool samePort = false) {
    if (!samePort) port_ = FreePort();
    ASSERT_TRUE(server_.Start({Python(), "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", std::to_string(port_), "-d",
                               Root(), "-u", kUser, "-P", kPass, "-w"},
                              folder_ + "server.log", port_))
        << ReadFile(folder_ + "server.log");
  }
  // pyftpdlib with one of the behaviours of testdata/ftp_server.py.
  void StartScripted(const std::vector<std::string>& options, bool samePort = false) {
    if (!samePort) port_ = FreePort();
    const std::string script = std::string(getenv("KV_SOURCE_DIR") != nullptr ? getenv("KV_SOURCE_DIR") : "") +
                               "/engine/network/testdata/ftp_server.py";
    std::vector<std::string> args = {Python(), script, std::to_string(port_), Root(), kUser, kPass};
    args.insert(args.end(), options.begin(), options.end());
    ASSERT_TRUE(server_.Start(args, folder_ + "server.log", port_)) << ReadFile(folder_ + "server.log");
  }
  void SetModuleSettings(const std::string& lines) {
    WriteFile(folder_ + "kvm_log/kvm_log.ini",
              "[Defaults]\nTransferTimeout=" + std::to_string(timeout_) + "\n" + lines);
  }
  // The contents of the files in the cache folder, sorted.
  std::vector<std::string> CachedCopies() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(Cache())) out.push_back(ReadFile(e.path().string()));
    std::sort(out.begin(), out.end());
    return out;
  }
  std::string Location(const std::string& path) const {
    return "ftp://127.0.0.1:" + std::to_string(port_) + "/" + path;
  }
  // Fetches the profile's location to its end; the handle stays open.
  void FetchAll(uint32_t mode) {
    ASSERT_EQ(Open(mode), 0) << UrlError();
    ASSERT_NE(handle_, 0u);
    ASSERT_TRUE(WaitOver());
  }
};

TEST_F(FtpFetchTest, FetchesEveryListedFileIntoShortLocalNames) {
  fs::create_directories(Root() + "old");
  const std::string current = LogLines(300), older = LogLines(50, 1000), notes = "not a log\n";
  WriteFile(Root() + "access.log", current);
  WriteFile(Root() + "old/access.log", older);
  WriteFile(Root() + "access.txt", notes);
  StartFtp();
  WriteProfile(Location("access.log|access.txt|old/access.log|access.log"), kUser, kPass);

  FetchAll(0);
  EXPECT_EQ(UrlError(), "");
  EXPECT_EQ(ReadFile(Cache() + "access.log"), current);
  EXPECT_EQ(ReadFile(Cache() + "acce0000.log"), older);
  EXPECT_EQ(ReadFile(Cache() + "access.txt"), notes);
  EXPECT_EQ(VRN_GetURLDonePercent(handle_), 100);
  EXPECT_TRUE(vrn::RemoteCopyReady());
  EXPECT_EQ(vrn::FetchedLogPath(), Cache() + "*.*");
  EXPECT_GE(CountStatus(VRN_URL_MSG_LISTING), 1u);
  ASSERT_FALSE(g_status.empty());
  EXPECT_EQ(g_status[0].message, static_cast<uint32_t>(VRN_URL_MSG_STATUS));
  EXPECT_EQ(g_status[0].text.rfind("Opening ftp://127.0.0.1:", 0), 0u) << g_status[0].text;
  EXPECT_LT(g_status[0].text.size(), 80u);

  // The list file: the location, then the local name (inside the cache
  // folder), remote path and listing line of each distinct remote file.
  const std::string list = ReadFile(ListFile());
  EXPECT_EQ(list.rfind("/access.log|access.txt|old/access.log|access.log\r\n", 0), 0u) << list;
  EXPECT_NE(list.find("\r\nacce0000.log\r\n/old/access.log\r\n"), std::string::npos) << list;
  size_t records = 0;
  for (size_t at = 0; (at = list.find("\r\n/access.log\r\n", at)) != std::string::npos; ++at) ++records;
  EXPECT_EQ(records, 1u) << "one record per remote path";

  DravelEntry profile{};
  std::snprintf(profile.LogFilePath, sizeof profile.LogFilePath, "%s", Location("access.log").c_str());
  g_status.clear();
  EXPECT_EQ(Close(&profile), 0);
  EXPECT_EQ(profile.LogAvailable, 1u);
  ASSERT_EQ(g_status.size(), 2u);
  EXPECT_EQ(g_status[0].message, static_cast<uint32_t>(VRN_URL_MSG_CLOSE_BEGIN));
  EXPECT_EQ(g_status[1].message, static_cast<uint32_t>(VRN_URL_MSG_CLOSE_END));
  EXPECT_EQ(ui::FindWindow("VORNIC", "URL Window"), 0u);

  std::string taken;
  EXPECT_TRUE(vrn::TakeFetchedRemoteLog(&taken));
  EXPECT_EQ(taken, Cache() + "*.*");
  EXPECT_FALSE(vrn::RemoteCopyReady());
}

TEST_F(FtpFetchTest, DetectSkipsCurrentCopiesAndForgetsFilesGoneFromTheServer) {
  WriteFile(Root() + "a.log", LogLines(40));
  WriteFile(Root() + "b.log", LogLines(40, 100));
  StartFtp();
  WriteProfile(Location("a.log|b.log"), kUser, kPass);
  FetchAll(1);
  Close();
  ASSERT_EQ(ReadFile(Cache() + "b.log"), LogLines(40, 100));

  // Nothing changed: the open is over at once, without a window. (The copy
  // is overwritten with other bytes of the same size: it is not fetched.)
  const std::string sameSize(LogLines(40).size(), 'k');
  WriteFile(Cache() + "a.log", sameSize);
  ASSERT_EQ(Open(1), 0);
  EXPECT_EQ(VRN_PeekURL(), -1);
  EXPECT_EQ(ui::FindWindow("VORNIC", "URL Window"), 0u);
  EXPECT_TRUE(vrn::RemoteCopyReady());
  Close();
  EXPECT_EQ(ReadFile(Cache() + "a.log"), sameSize);

  // A copy of another size than the listing's is not current, whatever the
  // list file says: it is fetched again.
  WriteFile(Cache() + "a.log", LogLines(40).substr(0, 700));
  FetchAll(1);
  EXPECT_EQ(UrlError(), "");
  EXPECT_TRUE(vrn::RemoteCopyReady());
  Close();
  EXPECT_EQ(ReadFile(Cache() + "a.log"), LogLines(40));
  EXPECT_EQ(ReadFile(Cache() + "b.log"), LogLines(40, 100));

  // A missing copy is fetched again; a grown remote file too.
  fs::remove(Cache() + "b.log");
  WriteFile(Root() + "a.log", LogLines(45));
  FetchAll(1);
  Close();
  EXPECT_EQ(ReadFile(Cache() + "a.log"), LogLines(45));
  EXPECT_EQ(ReadFile(Cache() + "b.log"), LogLines(40, 100));

  // b.log disappears from the server: its copy goes at the next fetch.
  fs::remove(Root() + "b.log");
  FetchAll(1);
  Close();
  EXPECT_TRUE(fs::exists(Cache() + "a.log"));
  EXPECT_FALSE(fs::exists(Cache() + "b.log"));
}

TEST_F(FtpFetchTest, OnceFetchesALocationOncePerProcess) {
  WriteFile(Root() + "access.log", LogLines(20));
  StartFtp();
  WriteProfile(Location("access.log"), kUser, kPass);
  // A list file from before this process's first fetch does not count.
  WriteFile(ListFile(), "/access.log\r\n" + Cache() + "access.log\r\n/access.log\r\nold line\r\n");
  fs::create_directories(Cache());
  WriteFile(Cache() + "access.log", "stale\n");
  utimbuf old{1000000000, 1000000000};
  ASSERT_EQ(utime(ListFile().c_str(), &old), 0);
  vrn::g_fetch.firstFetchTimeNs = 0;  // as in a new process
  FetchAll(2);
  Close();
  EXPECT_EQ(ReadFile(Cache() + "access.log"), LogLines(20));

  // Within the process the same location is not fetched again: the server
  // is gone, and the open still succeeds from the copy.
  server_.Stop();
  ASSERT_EQ(Open(2), 0) << UrlError();
  EXPECT_EQ(VRN_PeekURL(), -1);
  EXPECT_TRUE(vrn::RemoteCopyReady());
  Close();

  // Detect mode does contact the server, and fails without it.
  EXPECT_EQ(Open(1), -1);
  EXPECT_EQ(handle_, 0u);
  EXPECT_FALSE(vrn::RemoteCopyReady());
}

TEST_F(FtpFetchTest, RefusedLogonAndEmptyListingsFailWithTheirTexts) {
  WriteFile(Root() + "access.log", LogLines(5));
  StartFtp();
  WriteProfile(Location("access.log"), kUser, "wrong");
  EXPECT_EQ(Open(0), -1);
  EXPECT_EQ(handle_, 0u);
  EXPECT_EQ(UrlError(), "The server refused the user name or password.");
  EXPECT_EQ(ui::FindWindow("VORNIC", "URL Window"), 0u);

  WriteProfile(Location("missing.log|nothere/missing.log"), kUser, kPass);
  EXPECT_EQ(Open(0), -1);
  EXPECT_EQ(handle_, 0u);
  EXPECT_EQ(UrlError(), "No remote file matched the log location.");

  // The session was ended each time: a good profile fetches at once.
  WriteProfile(Location("access.log"), kUser, kPass);
  FetchAll(0);
  EXPECT_EQ(UrlError(), "");
  EXPECT_EQ(ReadFile(Cache() + "access.log"), LogLines(5));
}

TEST_F(FtpFetchTest, LocalLocationsAnswerAtOnceAndCloseQuietly) {
  WriteProfile("./logs/access.log");
  ASSERT_EQ(Open(1), 0);
  ASSERT_NE(handle_, 0u);
  EXPECT_EQ(VRN_PeekURL(), -1);
  EXPECT_EQ(vrn::FetchedLogPath(), ProfileDir() + "logs/access.log");
  EXPECT_FALSE(vrn::RemoteCopyReady());

  // The done count is reported once per change; no total means 0 percent.
  EXPECT_EQ(VRN_GetURLDonePercent(handle_), 0);
  g_status.clear();
  EXPECT_EQ(VRN_GetURLDonePercent(handle_), 0);
  EXPECT_TRUE(g_status.empty());
  vrn::g_fetch.doneBytes = 4096;
  EXPECT_EQ(VRN_GetURLDonePercent(handle_), 0);
  EXPECT_EQ(VRN_GetURLDonePercent(handle_), 0);
  ASSERT_EQ(CountStatus(VRN_URL_MSG_DONE), 1u);
  EXPECT_EQ(g_status.back().text, "4096");
  vrn::g_fetch.doneBytes = 0;

  g_status.clear();
  EXPECT_EQ(Close(), 0);
  EXPECT_TRUE(g_status.empty());
}

TEST_F(FtpFetchTest, UploadSendsTheFileAndRefusesOtherDestinations) {
  fs::create_directories(Root() + "reports");
  StartFtp();
  const std::string report = std::string(200000, 'r') + "end";
  WriteFile(folder_ + "report.html", report);

  ASSERT_EQ(VRN_Cre8URL(status_, Location("reports/report.html").c_str(), kUser, kPass,
                        (folder_ + "report.html").c_str(), &handle_),
            0)
      << UrlError();
  ASSERT_NE(handle_, 0u);
  ASSERT_TRUE(WaitOver());
  EXPECT_EQ(UrlError(), "");
  EXPECT_EQ(ReadFile(Root() + "reports/report.html"), report);
  ASSERT_EQ(CountStatus(VRN_URL_MSG_UPLOAD), 1u);
  for (const auto& m : g_status) {
    if (m.message == VRN_URL_MSG_UPLOAD) {
      EXPECT_EQ(m.text, "/reports/report.html");
    }
  }
  EXPECT_EQ(VRN_GetURLDonePercent(handle_), 100);
  Close();

  // An http destination is refused without contacting anything; a refused
  // logon leaves no window and no handle.
  KvGlobal none = 0;
  EXPECT_EQ(VRN_Cre8URL(status_, "http://127.0.0.1:1/x.html", kUser, kPass, (folder_ + "report.html").c_str(), &none),
            -1);
  EXPECT_EQ(none, 0u);
  EXPECT_EQ(VRN_Cre8URL(status_, Location("reports/r2.html").c_str(), kUser, "wrong",
                        (folder_ + "report.html").c_str(), &none),
            -1);
  EXPECT_EQ(none, 0u);
  EXPECT_EQ(ui::FindWindow("VORNIC", "URL Window"), 0u);
  EXPECT_EQ(UrlError(), "The server refused the user name or password.");
}

TEST_F(FtpFetchTest, ClosingARunningFetchAbortsItAndEndsTheSession) {
  WriteFile(Root() + "big.log", std::string(64 << 20, 'b'));
  WriteFile(Root() + "small.log", LogLines(3));
  StartFtp();
  WriteProfile(Location("big.log"), kUser, kPass);
  ASSERT_EQ(Open(0), 0) << UrlError();
  EXPECT_EQ(VRN_PeekURL(), 0);
  Close();  // no yield callback is registered: the close waits by itself
  EXPECT_EQ(VRN_PeekURL(), -1);
  EXPECT_FALSE(vrn::RemoteCopyReady()) << "a copy cut off by the close is not whole";
  EXPECT_EQ(ui::FindWindow("VORNIC", "URL Window"), 0u);

  WriteProfile(Location("small.log"), kUser, kPass);
  FetchAll(0);
  EXPECT_EQ(UrlError(), "");
  EXPECT_EQ(ReadFile(Cache() + "small.log"), LogLines(3));
}

// A transfer cut off while it runs leaves a copy that is never taken for
// whole: the fetch is not ready, and the next fetch takes the file again
// although its listing line did not change.
TEST_F(FtpFetchTest, ACopyCutOffMidwayIsFetchedAgainInDetectMode) {
  const std::string log = LogLines(4000);
  WriteFile(Root() + "access.log", log);
  StartScripted({"--rate", "65536"});
  WriteProfile(Location("access.log"), kUser, kPass);
  ASSERT_EQ(Open(1), 0) << UrlError();
  ASSERT_TRUE(PumpUntil([] { return vrn::g_fetch.doneBytes > 0; }));
  server_.Stop();  // the server dies in the middle of the transfer
  ASSERT_TRUE(WaitOver());
  EXPECT_NE(UrlError(), "");
  EXPECT_FALSE(vrn::RemoteCopyReady());
  Close();
  ASSERT_LT(ReadFile(Cache() + "access.log").size(), log.size());

  StartFtp(true);  // the server is back, the file unchanged
  FetchAll(1);
  EXPECT_EQ(UrlError(), "");
  EXPECT_TRUE(vrn::RemoteCopyReady());
  Close();
  EXPECT_EQ(ReadFile(Cache() + "access.log"), log);
}

// A server that ends the data connection early but reports success: the
// copy is shorter than the size the server gives, and the fetch fails so.
// The next fetch from a whole server takes the file again, in Once mode
// (within the same process) as in Detect mode.
TEST_F(FtpFetchTest, ATransferEndingShortOfTheFileSizeFails) {
  const std::string log = LogLines(300);
  WriteFile(Root() + "access.log", log);
  port_ = FreePort();
  for (uint32_t mode : {2u, 1u}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    fs::remove_all(Cache());
    fs::remove(ListFile());
    StartScripted({"--short"}, true);
    WriteProfile(Location("access.log"), kUser, kPass);
    FetchAll(mode);
    EXPECT_EQ(UrlError(), "The transfer ended before the whole file arrived.");
    EXPECT_FALSE(vrn::RemoteCopyReady());
    Close();
    EXPECT_EQ(ReadFile(Cache() + "access.log"), log.substr(0, log.size() / 2));

    server_.Stop();
    StartFtp(true);
    FetchAll(mode);
    EXPECT_EQ(UrlError(), "");
    EXPECT_TRUE(vrn::RemoteCopyReady());
    Close();
    EXPECT_EQ(ReadFile(Cache() + "access.log"), log);
    server_.Stop();
  }
}

// Local names are looked up without regard to case: remote names that
// differ only in case get copies of their own.
TEST_F(FtpFetchTest, NamesDifferingOnlyInCaseGetCopiesOfTheirOwn) {
  fs::create_directories(Root() + "logs");
  fs::create_directories(Root() + "case");
  fs::create_directories(Root() + "mixed");
  const std::string lower = LogLines(50), upper = LogLines(70, 500), mixed = LogLines(30, 900);
  WriteFile(Root() + "logs/access.log", lower);
  WriteFile(Root() + "case/ACCESS.LOG", upper);
  WriteFile(Root() + "mixed/Access.Log", mixed);
  StartFtp();
  WriteProfile(Location("logs/access.log|case/ACCESS.LOG|mixed/Access.Log"), kUser, kPass);
  FetchAll(0);
  EXPECT_EQ(UrlError(), "");
  Close();
  std::vector<std::string> expected = {lower, upper, mixed};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(CachedCopies(), expected);
}

// An entry whose folder cannot be entered contributes nothing: neither a
// record named after it nor a failure of the whole fetch.
TEST_F(FtpFetchTest, AMissingFolderInTheLocationListsNothing) {
  fs::create_directories(Root() + "old");
  WriteFile(Root() + "access.log", LogLines(20));
  WriteFile(Root() + "old/access.log", LogLines(10, 300));
  StartFtp();
  const struct {
    const char* location;
    std::vector<std::string> copies;
  } cases[] = {
      {"missing/access.log|access.log", {LogLines(20)}},
      {"access.log|missing/access.log", {LogLines(20)}},
      {"old/access.log|missing/access.log|access.log", {LogLines(10, 300)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.location);
    fs::remove_all(Cache());
    fs::remove(ListFile());
    WriteProfile(Location(c.location), kUser, kPass);
    FetchAll(0);
    EXPECT_EQ(UrlError(), "");
    EXPECT_TRUE(vrn::RemoteCopyReady());
    Close();
    EXPECT_EQ(CachedCopies(), c.copies);
    const std::string list = ReadFile(ListFile());
    EXPECT_EQ(list.find("missing", list.find('\n')), std::string::npos) << list;  // past the location line
  }
}

// FTPPassive=1 holds for the listings too: a server that refuses PORT (as
// one behind a firewall does) is listed and fetched; without the setting
// it lists nothing.
TEST_F(FtpFetchTest, PassiveSettingCarriesTheListingsToo) {
  WriteFile(Root() + "access.log", LogLines(25));
  StartScripted({"--no-port"});
  WriteProfile(Location("access.log"), kUser, kPass);
  for (const char* passive : {"0", "1", "0"}) {
    SCOPED_TRACE(std::string("FTPPassive=") + passive);
    SetModuleSettings(std::string("FTPPassive=") + passive + "\n");
    fs::remove_all(Cache());
    if (passive[0] == '1') {
      FetchAll(0);
      EXPECT_EQ(UrlError(), "");
      Close();
      EXPECT_EQ(ReadFile(Cache() + "access.log"), LogLines(25));
    } else {
      // The listing's data connection fails: the fetch is refused, not
      // taken for a folder without files.
      EXPECT_EQ(Open(0), -1);
      EXPECT_EQ(UrlError(),
                "The data connection to the server could not be opened. The server said: 500 PORT refused here; use "
                "PASV.");
    }
  }
}

TEST_F(FtpFetchTest, DeletingDownloadsRemovesOnlyTheListedCopiesInTheirFolder) {
  fs::create_directories(Cache());
  WriteFile(Cache() + "a.log", "a");
  WriteFile(folder_ + "outside.log", "keep");
  WriteFile(ListFile(), "/a.log\r\n" + Cache() + "a.log\r\n/a.log\r\nline\r\n" + folder_ +
                            "outside.log\r\n/outside.log\r\nline\r\n" + Cache() + "../../outside.log\r\n/x\r\nl\r\n");
  vrn::DeleteDownloadedFiles((ProfileDir() + "REMOTE.DIR").c_str());
  EXPECT_FALSE(fs::exists(Cache() + "a.log"));
  EXPECT_FALSE(fs::exists(ListFile()));
  EXPECT_FALSE(fs::exists(Cache()));
  EXPECT_EQ(ReadFile(folder_ + "outside.log"), "keep");
}

// A server whose transfers never move: receives and sends end by the
// time-out, which aborts the transfer and ends the session.
class StalledFtpTest : public FtpFetchTest {
 protected:
  StalledFtpTest() { timeout_ = 1; }
  void StartStalling() {
    port_ = FreePort();
    const std::string script = std::string(getenv("KV_SOURCE_DIR") != nullptr ? getenv("KV_SOURCE_DIR") : "") +
                               "/engine/network/testdata/stall_ftp_server.py";
    ASSERT_TRUE(server_.Start({Python(), script, std::to_string(port_)}, folder_ + "server.log", port_))
        << ReadFile(folder_ + "server.log");
  }
};

TEST_F(StalledFtpTest, StalledReceiveAndSendEndWithTheTimeOutText) {
  const std::string timedOut = "The transfer stopped: the server sent nothing for too long.";
  StartStalling();
  WriteProfile(Location("stall.log"), kUser, kPass);
  ASSERT_EQ(Open(0), 0) << UrlError();
  EXPECT_EQ(VRN_PeekURL(), 0);
  ASSERT_TRUE(WaitOver(15000));
  EXPECT_EQ(UrlError(), timedOut);
  EXPECT_FALSE(vrn::RemoteCopyReady()) << "a copy cut off by the time-out is not whole";
  Close();

  // Larger than what the socket buffers take, so the send stalls too.
  WriteFile(folder_ + "report.html", std::string(32 << 20, 'x'));
  ASSERT_EQ(VRN_Cre8URL(status_, Location("report.html").c_str(), kUser, kPass, (folder_ + "report.html").c_str(),
                        &handle_),
            0)
      << UrlError();
  EXPECT_EQ(VRN_PeekURL(), 0);
  ASSERT_TRUE(WaitOver(15000));
  EXPECT_EQ(UrlError(), timedOut);
  Close();
  EXPECT_EQ(ui::FindWindow("VORNIC", "URL Window"), 0u);
}

}  // namespace

namespace {

using namespace remotetest;

class FetchTexts : public RemoteFixture {};

// Each failure says what happened rather than a bare number, and a status
// text without a user name does not show a gap where the name would be.
TEST_F(FetchTexts, FailuresAndStatusesAreTold) {
  const std::pair<int32_t, const char*> errors[] = {
      {FTP_E_TRANSFER_FAILED, "The server reported that the transfer failed."},
      {FTP_E_CONNECTION_LOST, "The server closed the connection during the transfer."},
      {FTP_E_DATA_CONNECTION, "The data connection to the server could not be opened."},
      {vrn::VRN_URL_ERR_LISTING, "The server's file listing broke off part-way; the local copies are left as they were."},
      {vrn::VRN_URL_ERR_NO_RANGE, "The server answered part of the file without saying which part."},
  };
  for (const auto& [code, text] : errors) {
    vrn::SetURLErrorText(code);
    EXPECT_EQ(vrn::URLErrorText(), text) << code;
  }
  vrn::SetHttpStatusErrorText(302, "http://logs.example/new.log");
  EXPECT_EQ(vrn::URLErrorText(), "The server answered 302, a redirect to http://logs.example/new.log; redirects are "
                                 "not followed.");
  vrn::SetHttpStatusErrorText(503, "");
  EXPECT_EQ(vrn::URLErrorText(), "The server answered with status 503.");
  vrn::ClearURLErrorText();

  EXPECT_EQ(vrn::ContactText("", "logs.example"), "Connecting to logs.example");
  EXPECT_EQ(vrn::LogonText("", "logs.example"), "Connecting to logs.example");
  EXPECT_EQ(vrn::ContactText("ann", "logs.example"), "Contacting ann at logs.example");
}

}  // namespace
