// The command-line engine client as a user runs it: a child process over a
// copy of the sample profile and log, its output and its exit codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <vornic/filter.h>

#include "platform/testsupport/ports.h"
#include "platform/testsupport/servers.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Result {
  int code;
  std::string out;
  std::string err;
};

class Client : public testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("KV_PROGRAM_DIR");
    ASSERT_NE(bin, nullptr);
    program_ = std::string(bin) + "/kvm-log";
    ASSERT_TRUE(fs::exists(program_));
    std::string pattern = testing::TempDir() + "kvclientXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
    fs::create_directories(folder_ + "profiles");
    fs::create_directories(folder_ + "samples");
    const std::string src = std::getenv("KV_SOURCE_DIR");
    fs::copy_file(src + "/data/kvm_log/profiles/00000001.wlp", folder_ + "profiles/00000001.wlp");
    fs::copy_file(src + "/data/kvm_log/samples/access_combined.log", folder_ + "samples/access_combined.log");
    // The folder above the profile folder holds the report template and
    // vocabulary, as in the program folder's kvm_log/.
    fs::copy(src + "/data/kvm_log/Template", folder_ + "Template");
    fs::copy_file(src + "/data/kvm_log/REPORT.INI", folder_ + "REPORT.INI");
  }
  void TearDown() override { fs::remove_all(folder_); }

  // Sets a key of the sample profile's [Profile] section.
  void SetProfileKey(const std::string& key, const std::string& value) {
    std::string profile = Read(folder_ + "profiles/00000001.wlp");
    const size_t at = profile.find("\n" + key + "=");
    ASSERT_NE(at, std::string::npos) << key;
    const size_t end = profile.find_first_of("\r\n", at + 1);
    profile.replace(at + 1, end - at - 1, key + "=" + value);
    std::ofstream(folder_ + "profiles/00000001.wlp", std::ios::binary | std::ios::trunc) << profile;
  }

  // Runs the client with args; env holds extra NAME=value words.
  Result Run(const std::string& args, const std::string& env = "") {
    const std::string out = folder_ + "out.txt", err = folder_ + "err.txt";
    const std::string command = env + " TZ=UTC '" + program_ + "' --profiles '" + folder_ + "profiles' " + args +
                                " >'" + out + "' 2>'" + err + "'";
    int status = std::system(command.c_str());
    return Result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(out), Read(err)};
  }

  std::string program_;
  std::string folder_;
};

TEST_F(Client, HelpListAndCount) {
  Result help = Run("--help");
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("Usage: kvm-log"), std::string::npos);

  Result list = Run("list");
  EXPECT_EQ(list.code, 0);
  EXPECT_NE(list.out.find("00000001.wlp\tSample site"), std::string::npos) << list.out;

  Result count = Run("run 00000001 --kind count");
  EXPECT_EQ(count.code, 0) << count.err;
  EXPECT_EQ(count.out, "425\n");
  // The window's end is inclusive: its last second is in.
  Result day = Run("run 00000001.wlp --kind count --from 2026-11-15 --to 2026-11-15");
  Result after = Run("run 00000001 --kind count --from 2026-11-16");
  EXPECT_EQ(day.code, 0);
  EXPECT_EQ(std::stoi(day.out) + std::stoi(after.out), 425);
}

TEST_F(Client, ListingToStandardOutputOrAFile) {
  Result shown = Run("run 00000001 --from '2026-11-15 00:21' --to '2026-11-15 00:24:14'");
  ASSERT_EQ(shown.code, 0) << shown.err;
  EXPECT_NE(shown.out.find("Address:\t192.0.2.33"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find(" 00:24:14\tGET"), std::string::npos);
  EXPECT_EQ(shown.out.find('\x01'), std::string::npos);  // the viewer's markers are not printed
  Result toFile = Run("run 00000001 --kind detail --output '" + folder_ + "listing.txt'");
  ASSERT_EQ(toFile.code, 0) << toFile.err;
  EXPECT_TRUE(toFile.out.empty());
  EXPECT_NE(Read(folder_ + "listing.txt").find("Event:\tGET"), std::string::npos);
  // The listing's temporary folder is removed after the run.
  int left = 0;
  const char* tmp = std::getenv("TMPDIR");
  for (const auto& e : fs::directory_iterator(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp"))
    left += e.path().filename().string().rfind("kvm_log", 0) == 0 && fs::is_empty(e.path()) ? 1 : 0;
  EXPECT_EQ(left, 0);
}

// A profile with name lookups on, its lookups answered from a hosts file of
// the test's own (nss_wrapper), so no outside resolver is asked.
TEST_F(Client, NameLookupsOfAProfileShowHostNames) {
  std::string profile = Read(folder_ + "profiles/00000001.wlp");
  const size_t at = profile.find("DNSLookup=0");
  ASSERT_NE(at, std::string::npos);
  profile.replace(at, 11, "DNSLookup=1");
  std::ofstream(folder_ + "profiles/00000001.wlp", std::ios::binary | std::ios::trunc) << profile;
  std::ofstream(folder_ + "hosts") << "192.0.2.33 visitor.example.net\n";
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string env = "LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_HOSTS='" + folder_ + "hosts' ASAN_OPTIONS='" +
                          std::string(asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "") +
                          "verify_asan_link_order=0'";
  // Five hits of one address in this window: one lookup, shared.
  const std::string window = " --from '2026-11-15 00:21' --to '2026-11-15 00:24:14'";
  Result shown = Run("run 00000001" + window, env);
  ASSERT_EQ(shown.code, 0) << shown.err;
  EXPECT_NE(shown.out.find("visitor.example.net"), std::string::npos) << shown.out;
  EXPECT_EQ(shown.out.find("192.0.2.33"), std::string::npos) << shown.out;
  EXPECT_NE(Read(folder_ + "profiles/NSLOOKUP.DTX").find("visitor.example.net 192.0.2.33 "), std::string::npos);
  Result count = Run("run 00000001 --kind count" + window, env);
  EXPECT_EQ(count.code, 0) << count.err;
  EXPECT_EQ(count.out, "5\n");
}

TEST_F(Client, ClearErrorsAndExitCodes) {
  struct E {
    std::string args;
    int code;
    const char* message;
  } cases[] = {
      {"", 1, "Usage"},
      {"run", 1, "Usage"},
      {"--bogus list", 1, "unknown option"},
      {"run 00000001 --kind pie", 1, "unknown kind"},
      {"run 00000001 --group 7", 1, "no grouping 7"},
      {"run nosuch", 2, "unknown profile nosuch"},
      {"run 00000001 --from 2026-02-30", 4, "bad time"},
      {"run 00000001 --from 2026-11-16 --to 2026-11-15", 4, "ends before it starts"},
      {"run 00000001 --from 2030-01-01", 3, "no log record lies in the time window"},
      {"report", 1, "Usage"},
      {"report 00000001 extra", 1, "Usage"},
      {"report 00000001 --format pdf", 1, "unknown format pdf"},
      {"report 00000001 --kind count", 1, "--kind is an option of run"},
      {"run 00000001 --style Plain", 1, "--style is an option of report"},
      {"list --report-dir x", 1, "--report-dir is an option of report"},
      {"report nosuch", 2, "unknown profile nosuch"},
      {"report 00000001 --from 2030-01-01 --report-dir '" + folder_ + "r'", 3, "no log record lies"},
      {"report 00000001 --report-dir '" + folder_ + "samples/access_combined.log/r'", 5,
       "cannot make the report folder"},
  };
  for (const E& e : cases) {
    Result r = Run(e.args);
    EXPECT_EQ(r.code, e.code) << e.args << ": " << r.err;
    EXPECT_NE((r.err + r.out).find(e.message), std::string::npos) << e.args << ": " << r.err;
  }
  fs::remove(folder_ + "samples/access_combined.log");
  Result gone = Run("run 00000001");
  EXPECT_EQ(gone.code, 3);
  EXPECT_NE(gone.err.find("cannot be opened"), std::string::npos) << gone.err;
}

// The hits of the sample log that the sample profile counts: every request
// but those of the pictures, style sheets and scripts its second filter
// leaves out.
int SampleHits(const std::string& log) {
  static const std::regex request("\"[A-Z]+ ([^ ?\"]*)");
  static const std::regex excluded(".*\\.(gif|jpg|png|ico|css|js)$", std::regex::icase);
  std::istringstream in(log);
  int hits = 0;
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, request) && !std::regex_match(m[1].str(), excluded)) ++hits;
  }
  return hits;
}

TEST_F(Client, ReportOfTheSampleIsHtmlWithItsChart) {
  const int hits = SampleHits(Read(folder_ + "samples/access_combined.log"));
  ASSERT_GT(hits, 0);
  ASSERT_LT(hits, 425);
  const std::string dir = folder_ + "site report";
  Result r = Run("report 00000001 --report-dir '" + dir + "'");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, dir + "/index.htm\n");
  const std::string html = Read(dir + "/index.htm");
  EXPECT_EQ(html.rfind("<HTML>", 0), 0u) << html.substr(0, 200);
  EXPECT_NE(html.find("</HTML>"), std::string::npos);
  EXPECT_EQ(html.find("%%"), std::string::npos);
  EXPECT_NE(html.find("<TD>Hits (all)</TD><TD CLASS=\"n\">" + std::to_string(hits) + "</TD>"),
            std::string::npos)
      << html;
  EXPECT_NE(html.find("Sample site"), std::string::npos);
  // Each table row once: the visitors' ranks run 1, 2, 3 ...
  const size_t visitors = html.find("ID=\"TopUsers-TABLE\"");
  ASSERT_NE(visitors, std::string::npos);
  const size_t first = html.find("<TD CLASS=\"n\">1</TD><TD>10.1.4.37</TD><TD CLASS=\"n\">20</TD>", visitors);
  ASSERT_NE(first, std::string::npos);
  const size_t next = html.find("\r\n", first) + 2;
  EXPECT_TRUE(std::regex_search(html.substr(next, html.find("\r\n", next) - next),
                                std::regex("^<TR[^>]*><TD CLASS=\"n\">2</TD><TD>")))
      << html.substr(first, 300);
  // The chart is a picture of the report's folder that the page shows.
  std::smatch image;
  ASSERT_TRUE(std::regex_search(html, image, std::regex("<IMG SRC=\"([^\"]+)\"")));
  const std::string picture = dir + "/" + image[1].str();
  ASSERT_TRUE(fs::is_regular_file(picture)) << picture;
  EXPECT_EQ(Read(picture).rfind("GIF8", 0), 0u);

  // The default folder lies under the current directory; the other
  // formats take their extensions.
  Result here = Run("report 00000001.wlp", "cd '" + folder_ + "' &&");
  ASSERT_EQ(here.code, 0) << here.err;
  EXPECT_EQ(here.out, fs::path(folder_).lexically_normal().string() + "reports/00000001/index.htm\n");
  EXPECT_TRUE(fs::is_regular_file(folder_ + "reports/00000001/index.htm"));
  for (const char* format : {"text", "doc", "xls"}) {
    const std::string ext = std::string(format) == "text" ? "txt" : format;
    Result other = Run(std::string("report 00000001 --format ") + format + " --report-dir '" + dir + "'");
    ASSERT_EQ(other.code, 0) << format << ": " << other.err;
    EXPECT_EQ(other.out, dir + "/index." + ext + "\n");
    const std::string text = Read(dir + "/index." + ext);
    EXPECT_NE(text.find(std::to_string(hits)), std::string::npos) << format;
  }
}

// ---- the client on a user's own folders -------------------------------------

// Runs the client in dir with the profile folder named as given.
Result RunIn(const std::string& program, const std::string& dir, const std::string& profiles,
             const std::string& args) {
  const std::string out = dir + "/.out.txt", err = dir + "/.err.txt";
  const std::string command = "cd '" + dir + "' && TZ=UTC '" + program + "' --profiles '" + profiles + "' " + args +
                              " >'" + out + "' 2>'" + err + "'";
  int status = std::system(command.c_str());
  return Result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(out), Read(err)};
}

TEST_F(Client, AProfileFolderAnywhereAbsoluteOrRelative) {
  // Templates beside the profile folder are the ones used: their language
  // file gives the report its title.
  std::string rpl = Read(folder_ + "Template/ENGLISH.RPL");
  const size_t at = rpl.find("<ReportTitle>{");
  ASSERT_NE(at, std::string::npos);
  rpl.insert(at + 14, "Own ");
  std::ofstream(folder_ + "Template/ENGLISH.RPL", std::ios::binary | std::ios::trunc) << rpl;
  fs::create_directories(folder_ + "work/deeper");
  struct Case {
    std::string dir, profiles;
  } relative[] = {{folder_, "profiles"}, {folder_, "./profiles/"}, {folder_ + "work/deeper", "../../profiles"},
                  {folder_ + "profiles", "."}};
  for (const Case& c : relative) {
    Result r = RunIn(program_, c.dir, c.profiles, "report 00000001 --report-dir '" + folder_ + "rel'");
    ASSERT_EQ(r.code, 0) << c.dir << " " << c.profiles << ": " << r.err;
    EXPECT_NE(Read(folder_ + "rel/index.htm").find("Own Web Site Activity Report"), std::string::npos) << c.profiles;
    Result count = RunIn(program_, c.dir, c.profiles, "run 00000001 --kind count");
    EXPECT_EQ(count.out, "425\n") << c.profiles << ": " << count.err;
    fs::remove_all(folder_ + "rel");
  }

  // Without templates or report settings beside it, the profile folder takes
  // the program folder's, and the report shows its logo.
  fs::remove_all(folder_ + "Template");
  fs::remove(folder_ + "REPORT.INI");
  Result r = Run("report 00000001 --report-dir '" + folder_ + "abs'");
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string html = Read(folder_ + "abs/index.htm");
  EXPECT_NE(html.find("Web Site Activity Report"), std::string::npos);
  EXPECT_EQ(html.find("Own Web"), std::string::npos);
  EXPECT_EQ(r.err.find("kvlogoss"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_regular_file(folder_ + "abs/kvlogoss.gif"));

  Result help = Run("--help");
  EXPECT_NE(help.out.find("REPORT.INI"), std::string::npos);
  EXPECT_NE(help.out.find("keywords.ini"), std::string::npos);
}

TEST_F(Client, DescriptionsOfAnyAllowedLength) {
  for (size_t length : {54, 55, 70, 80}) {
    std::string description = "Site " + std::string(length - 5, 'd');
    SetProfileKey("Description", description);
    Result count = Run("run 00000001 --kind count");
    EXPECT_EQ(count.code, 0) << length << ": " << count.err;
    EXPECT_EQ(count.out, "425\n") << length;
    Result report = Run("report 00000001 --report-dir '" + folder_ + "r'");
    ASSERT_EQ(report.code, 0) << length << ": " << report.err;
    EXPECT_NE(Read(folder_ + "r/index.htm").find(description), std::string::npos) << length;
  }
}

// The whole of time by default: the report's range, time grid and per-day
// figures are those of the log's own first and last records.
TEST_F(Client, TheDefaultWindowIsTheLogsOwnTime) {
  {
    std::ofstream log(folder_ + "samples/month.log");
    static const char* kMonths[] = {"Oct"};
    for (int day = 1; day <= 30; ++day)
      for (int hour = 0; hour < 24; ++hour) {
        char line[200];
        std::snprintf(line, sizeof line,
                      "10.0.%d.%d - - [%02d/%s/2026:%02d:15:00 +0000] \"GET /p%d.html HTTP/1.1\" 200 100 \"-\" "
                      "\"Mozilla/5.0 (X11)\"\n",
                      day, hour, day, kMonths[0], hour, hour % 5);
        log << line;
      }
  }
  SetProfileKey("LogFilePath", "..\\samples\\month.log");
  Result r = Run("report 00000001 --report-dir '" + folder_ + "r'");
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string html = Read(folder_ + "r/index.htm");
  // 720 hits from the first record (Oct 1, 00:15) to the last (Oct 30,
  // 23:15): 30 days begun, 24 hits a day.
  EXPECT_NE(html.find("<TD>Average hits per day</TD><TD CLASS=\"n\">24</TD>"), std::string::npos)
      << html.substr(html.find("Average hits"), 200);
  EXPECT_NE(html.find("10/01/26 00:15:00 - 10/30/26 23:15:00"), std::string::npos)
      << html.substr(html.find("Report range"), 200);
  // An explicit window keeps its own bounds.
  Result w = Run("report 00000001 --from 2026-10-01 --to 2026-10-10 --report-dir '" + folder_ + "w'");
  ASSERT_EQ(w.code, 0) << w.err;
  EXPECT_NE(Read(folder_ + "w/index.htm").find("10/01/26 00:00:00 - 10/10/26 23:59:59"), std::string::npos);
}

// The report's colours and fonts are those of the style chosen.
TEST_F(Client, TheStyleChosenShowsInTheReport) {
  struct Case {
    const char* style;
    const char* background;
    const char* titleFont;
    const char* numbers;
  } cases[] = {{"Classic", "BGCOLOR=\"#80FFFF\"", "FACE=\"Times New Roman\"", "TD.n { text-align: LEFT; }"},
               {"Plain", "BGCOLOR=\"#FFFFFF\"", "FACE=\"Arial\"", "TD.n { text-align: RIGHT; }"}};
  for (const Case& c : cases) {
    Result r = Run(std::string("report 00000001 --style ") + c.style + " --report-dir '" + folder_ + c.style + "'");
    ASSERT_EQ(r.code, 0) << c.style << ": " << r.err;
    const std::string html = Read(folder_ + c.style + "/index.htm");
    EXPECT_NE(html.find(std::string("<BODY ") + c.background), std::string::npos) << c.style;
    EXPECT_NE(html.find(std::string("<FONT ") + c.titleFont), std::string::npos) << c.style;
    EXPECT_NE(html.find(c.numbers), std::string::npos) << c.style;
    EXPECT_EQ(html.find("%%"), std::string::npos) << c.style;
  }
}

// Referrer and agent logs get reports of their own templates.
TEST_F(Client, ReferrerAndAgentLogReportsHoldTheirEntries) {
  {
    std::ofstream ref(folder_ + "samples/referrers.log");
    for (int i = 0; i < 12; ++i) ref << "http://www.site" << i % 4 << ".example/from.html -> /to" << i % 3 << ".html\n";
    std::ofstream agent(folder_ + "samples/agents.log");
    for (int i = 0; i < 12; ++i) agent << (i % 3 == 0 ? "Mozilla/4.0 (compatible; MSIE 5.0; Windows NT)\n"
                                                       : "Mozilla/4.5 (Win95; I)\n");
  }
  struct Case {
    const char* log;
    const char* expected;
  } cases[] = {{"referrers.log", "http://www.site3.example/from.html"}, {"agents.log", "Netscape"}};
  for (const Case& c : cases) {
    SetProfileKey("LogFilePath", std::string("..\\samples\\") + c.log);
    Result r = Run("report 00000001 --report-dir '" + folder_ + "r'");
    ASSERT_EQ(r.code, 0) << c.log << ": " << r.err;
    const std::string html = Read(folder_ + "r/index.htm");
    EXPECT_NE(html.find(c.expected), std::string::npos) << c.log << ": " << html;
    EXPECT_EQ(html.find("%%"), std::string::npos) << c.log;
  }
}

// ---- a remote log over FTP on loopback ----------------------------------------

// An FTP server (pyftpdlib) over a folder, with one read-only user.
class FtpServer {
 public:
  ~FtpServer() { Stop(); }
  bool Start(const std::string& root, const std::string& log) {
    port_ = kv::test::FreePort();
    std::vector<std::string> args = {"/usr/bin/python3", "-m", "pyftpdlib", "-i", "127.0.0.1",
                                     "-p", std::to_string(port_), "-d", root,
                                     "-u", "kvuser", "-P", "s3cret"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = 0;
      return false;
    }
    return kv::test::WaitForPort(port_);
  }
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = 0;
  }
  std::string Url(const std::string& path) const { return "ftp://127.0.0.1:" + std::to_string(port_) + "/" + path; }

 private:
  pid_t pid_ = 0;
  uint16_t port_ = 0;
};

TEST_F(Client, ARemoteLogIsFetchedBeforeTheRun) {
  fs::create_directories(folder_ + "root");
  fs::copy_file(folder_ + "samples/access_combined.log", folder_ + "root/access.log");
  FtpServer server;
  ASSERT_TRUE(server.Start(folder_ + "root", folder_ + "ftp.log")) << Read(folder_ + "ftp.log");
  SetProfileKey("LogFilePath", server.Url("access.log"));
  // The profile keeps its log-on texts scrambled.
  for (const char* key : {"LogFileUsername", "LogFilePassword"}) {
    std::string text = key == std::string("LogFileUsername") ? "kvuser" : "s3cret";
    ScrambleProfileText(text.data());
    SetProfileKey(key, text);
  }

  Result count = Run("run 00000001 --kind count");
  ASSERT_EQ(count.code, 0) << count.err;
  EXPECT_EQ(count.out, "425\n");
  EXPECT_NE(count.err.find("100%"), std::string::npos) << count.err;
  EXPECT_NE(count.err.find("ftp://127.0.0.1:"), std::string::npos) << count.err;

  // A report of the fetched log.
  Result report = Run("report 00000001 --report-dir '" + folder_ + "rep'");
  ASSERT_EQ(report.code, 0) << report.err;
  EXPECT_NE(Read(folder_ + "rep/index.htm").find("10.1.4.37"), std::string::npos);

  // A file the server does not hold, and a server that is gone: the run is
  // not made and the fetch's failure is told.
  SetProfileKey("LogFilePath", server.Url("missing.log"));
  Result missing = Run("run 00000001 --kind count");
  EXPECT_EQ(missing.code, 3) << missing.err;
  EXPECT_NE(missing.err.find("the remote log cannot be fetched"), std::string::npos) << missing.err;
  EXPECT_TRUE(missing.out.empty());
  SetProfileKey("LogFilePath", server.Url("access.log"));
  server.Stop();
  Result gone = Run("run 00000001 --kind count");
  EXPECT_EQ(gone.code, 3) << gone.err;
  EXPECT_NE(gone.err.find("the remote log cannot be fetched"), std::string::npos) << gone.err;
  EXPECT_TRUE(gone.out.empty());
}

// A remote log whose fetch ends short or fails: the fetch's own text and
// exit code 3, no count; a whole fetch afterwards counts every record.
class RemoteClient : public Client {
 protected:
  void SetUp() override {
    Client::SetUp();
    fs::create_directories(folder_ + "root");
    fs::copy_file(folder_ + "samples/access_combined.log", folder_ + "root/access.log");
    port_ = kv::test::FreePort();
  }
  std::string Script(const char* name) const {
    return std::string(std::getenv("KV_SOURCE_DIR")) + "/engine/network/testdata/" + name;
  }
  void SetLogOn() {
    for (const char* key : {"LogFileUsername", "LogFilePassword"}) {
      std::string text = key == std::string("LogFileUsername") ? "kvuser" : "s3cret";
      ScrambleProfileText(text.data());
      SetProfileKey(key, text);
    }
  }
  // What a count run gives for the whole log: one record per line.
  std::string Expected() const {
    const std::string log = Read(folder_ + "root/access.log");
    return std::to_string(std::count(log.begin(), log.end(), '\n')) + "\n";
  }
  uint16_t port_ = 0;
  kv::test::ServerProcess server_;
};

TEST_F(RemoteClient, FailedHttpFetchesTellWhyWithExitThree) {
  ASSERT_TRUE(server_.Start({kv::test::Python(), Script("odd_http_server.py"), std::to_string(port_), folder_ + "root"},
                            folder_ + "http.log", port_))
      << Read(folder_ + "http.log");
  const std::pair<const char*, const char*> cases[] = {
      {"missing.log", "The remote file or folder is not available."},
      {"short/access.log", "The transfer ended before the whole file arrived."},
      {"hugehead/access.log", "The server's answer could not be read."},  // a head over 64 KiB
  };
  for (const auto& [path, why] : cases) {
    SetProfileKey("LogFilePath", "http://127.0.0.1:" + std::to_string(port_) + "/" + path);
    Result r = Run("run 00000001 --kind count");
    EXPECT_EQ(r.code, 3) << path << ": " << r.err;
    EXPECT_NE(r.err.find(std::string("the remote log cannot be fetched: ") + why), std::string::npos)
        << path << ": " << r.err;
    EXPECT_TRUE(r.out.empty()) << path << ": " << r.out;
  }
}

// Answers whose heads are long (40 header lines, and nearly 64 KiB) are
// valid answers: the whole log is fetched and every record counted.
TEST_F(RemoteClient, HttpAnswersWithLongHeadsAreCountedWhole) {
  ASSERT_TRUE(server_.Start({kv::test::Python(), Script("odd_http_server.py"), std::to_string(port_), folder_ + "root"},
                            folder_ + "http.log", port_))
      << Read(folder_ + "http.log");
  for (const char* path : {"bighead/access.log", "widehead/access.log"}) {
    SetProfileKey("LogFilePath", "http://127.0.0.1:" + std::to_string(port_) + "/" + path);
    Result r = Run("run 00000001 --kind count");
    EXPECT_EQ(r.code, 0) << path << ": " << r.err;
    EXPECT_EQ(r.out, Expected()) << path << ": " << r.err;
  }
}

TEST_F(RemoteClient, AnFtpCopyCutShortIsFetchedWholeOnTheNextRun) {
  // The first server stops sending half way through and reports success.
  ASSERT_TRUE(server_.Start({kv::test::Python(), Script("ftp_server.py"), std::to_string(port_), folder_ + "root",
                             "kvuser", "s3cret", "--short"},
                            folder_ + "ftp.log", port_))
      << Read(folder_ + "ftp.log");
  SetProfileKey("LogFilePath", "ftp://127.0.0.1:" + std::to_string(port_) + "/access.log");
  SetLogOn();
  Result cut = Run("run 00000001 --kind count");
  EXPECT_EQ(cut.code, 3) << cut.err;
  EXPECT_NE(cut.err.find("The transfer ended before the whole file arrived."), std::string::npos) << cut.err;
  EXPECT_TRUE(cut.out.empty()) << cut.out;

  // A whole server in its place, the file unchanged: the next run (the
  // default Detect mode) fetches the file again and counts every record.
  server_.Stop();
  ASSERT_TRUE(server_.Start({kv::test::Python(), "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", std::to_string(port_),
                             "-d", folder_ + "root", "-u", "kvuser", "-P", "s3cret"},
                            folder_ + "ftp.log", port_))
      << Read(folder_ + "ftp.log");
  Result whole = Run("run 00000001 --kind count");
  EXPECT_EQ(whole.code, 0) << whole.err;
  EXPECT_EQ(whole.out, Expected());
}

}  // namespace
