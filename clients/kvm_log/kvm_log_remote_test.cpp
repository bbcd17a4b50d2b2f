// Remote logs through kvm-log against the FTP and HTTP servers users run
// (vsftpd, ProFTPD, nginx), started here on loopback with a configuration in
// the test's folder, and small servers of our own for the answers those do
// not give. Every run either counts the whole log or is refused with exit 3;
// a refused run leaves the cached copies as they were.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/testsupport/ports.h"
#include "platform/testsupport/servers.h"

namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const std::string& path, const std::string& text, bool append = false) {
  std::ofstream(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc)) << text;
}

// `count` log lines from number `first` on, every line as long as the others:
// files of as many lines are of the same size.
std::string LogLines(int first, int count) {
  std::string out;
  char line[160];
  for (int i = first; i < first + count; ++i) {
    std::snprintf(line, sizeof line,
                  "10.1.%03d.%03d - - [10/Dec/2026:%02d:%02d:%02d +0000] \"GET /p%05d.html HTTP/1.0\" 200 %05d "
                  "\"-\" \"kvtest\"\n",
                  i / 250 % 1000, i % 250, i / 3600 % 24, i / 60 % 60, i % 60, i, i);
    out += line;
  }
  return out;
}

// The fetch's own files of a profile folder (its cache folder and list
// file), each with its contents.
std::map<std::string, std::string> Snapshot(const std::string& profiles) {
  std::map<std::string, std::string> files;
  if (fs::exists(profiles + "/00000001.dir")) files["00000001.dir"] = Read(profiles + "/00000001.dir");
  if (!fs::exists(profiles + "/00000001.ftp")) return files;
  for (const auto& e : fs::directory_iterator(profiles + "/00000001.ftp")) {
    files[e.path().filename().string()] = Read(e.path().string());
  }
  return files;
}

// The names of the files that differ between two snapshots ("" when none).
std::string Changed(const std::map<std::string, std::string>& before, const std::map<std::string, std::string>& after) {
  std::string out;
  for (const auto& [name, text] : before) {
    const auto now = after.find(name);
    if (now == after.end()) out += name + " deleted; ";
    else if (now->second != text) out += name + " changed; ";
  }
  for (const auto& [name, text] : after) {
    if (before.count(name) == 0) out += name + " added; ";
  }
  return out;
}

struct Result {
  int code;
  std::string out;
  std::string err;
};

std::string FirstExisting(std::initializer_list<const char*> paths) {
  for (const char* p : paths) {
    if (access(p, X_OK) == 0) return p;
  }
  return std::string();
}

class RemoteRun : public testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("KV_PROGRAM_DIR");
    ASSERT_NE(bin, nullptr);
    program_ = std::string(bin) + "/kvm-log";
    source_ = std::getenv("KV_SOURCE_DIR");
    std::string pattern = testing::TempDir() + "kvremoteXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
    // A server that drops its rights to another user still reads the files.
    chmod(folder_.c_str(), 0755);
    fs::create_directories(folder_ + "profiles");
    fs::create_directories(folder_ + "root/logs");
    fs::copy_file(source_ + "/data/kvm_log/profiles/00000001.wlp", folder_ + "profiles/00000001.wlp");
    fs::copy(source_ + "/data/kvm_log/Template", folder_ + "Template");
    fs::copy_file(source_ + "/data/kvm_log/REPORT.INI", folder_ + "REPORT.INI");
    port_ = kv::test::FreePort();
  }
  void TearDown() override {
    server_.Stop();
    fs::remove_all(folder_);
  }

  // Runs the client over a profile folder (the test's own by default);
  // `input` is its standard input.
  Result Run(const std::string& args, const std::string& profiles = "", const std::string& input = "") {
    const std::string out = folder_ + "out.txt", err = folder_ + "err.txt", in = folder_ + "in.txt";
    Write(in, input);
    const std::string command = "TZ=UTC '" + program_ + "' --profiles '" +
                                (profiles.empty() ? folder_ + "profiles" : profiles) + "' " + args + " <'" + in +
                                "' >'" + out + "' 2>'" + err + "'";
    const int status = std::system(command.c_str());
    return Result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(out), Read(err)};
  }
  // Points the profile at a location with a user and password, as a user
  // does: through kvm-log, the password on standard input.
  void SetLocation(const std::string& location, const std::string& user = "", const std::string& password = "") {
    const Result r = Run("set 00000001 --location '" + location + "' --user '" + user + "' --password -", "",
                         password + "\n");
    ASSERT_EQ(r.code, 0) << r.err;
  }
  std::string Count(const Result& r) const { return r.code == 0 ? r.out : "exit " + std::to_string(r.code); }
  static std::string Lines(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return std::to_string(n) + "\n";
  }
  std::string Url(const char* scheme, const std::string& path) const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + "/" + path;
  }
  std::string Script(const char* name) const { return source_ + "/engine/network/testdata/" + name; }

  // ---- the servers -------------------------------------------------------------

  // ProFTPD with one user of its own (kvuser, s3cret) whose home is root/.
  // As root it runs as root and shuts the user into that folder.
  bool StartProftpd() {
    const std::string binary = FirstExisting({"/usr/sbin/proftpd", "/usr/local/sbin/proftpd"});
    if (binary.empty()) return false;
    const bool root = geteuid() == 0;
    const passwd* me = getpwuid(geteuid());
    const group* mine = getgrgid(getegid());
    if (me == nullptr || mine == nullptr) return false;
    const std::string d = folder_ + "proftpd/";
    fs::create_directories(d);
    // crypt(3) SHA-512 of "s3cret".
    Write(d + "passwd", "kvuser:$6$kvtestsalt$G0QBcYCzJFq0hpR0SUfy7K/3/9PDJJMCvk4nG1d9Z5mmS3N79zY/8L4f1/hji5OcjJnzHn0x"
                        "GY0VdTWVz6Juj/:" + std::to_string(geteuid()) + ":" + std::to_string(getegid()) + "::" +
                        folder_ + "root:/bin/sh\n");
    Write(d + "group", std::string(mine->gr_name) + ":x:" + std::to_string(getegid()) + ":\n");
    chmod((d + "passwd").c_str(), 0600);
    chmod((d + "group").c_str(), 0600);
    Write(d + "proftpd.conf",
          "ServerType standalone\nServerName \"kv test\"\nPort " + std::to_string(port_) +
              "\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\n"
              "User " + me->pw_name + "\nGroup " + mine->gr_name + "\nPidFile " + d + "proftpd.pid\n"
              "ScoreboardFile " + d + "proftpd.scoreboard\nDelayTable none\nWtmpLog off\nUseReverseDNS off\n"
              "<IfModule mod_ident.c>\nIdentLookups off\n</IfModule>\n"
              "AuthOrder mod_auth_file.c\nAuthUserFile " + d + "passwd\nAuthGroupFile " + d + "group\n"
              "RequireValidShell off\nRootLogin on\n" + (root ? "DefaultRoot ~\n" : "") +
              "TransferLog none\nSystemLog " + d + "system.log\nMaxInstances 20\n");
    return server_.Start({binary, "-n", "-q", "-c", d + "proftpd.conf"}, d + "stderr.log", port_);
  }

  // vsftpd serving root/ to anonymous log-ons. As root it drops to the
  // system's "daemon" user inside that folder.
  bool StartVsftpd() {
    // The Debian package conflicts with ProFTPD's: it may be unpacked beside it.
    const std::string binary = FirstExisting({"/usr/sbin/vsftpd", "/opt/kv-vsftpd/usr/sbin/vsftpd"});
    if (binary.empty()) return false;
    const std::string d = folder_ + "vsftpd/";
    fs::create_directories(d + "empty");
    std::string conf = "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" + std::to_string(port_) +
                       "\nbackground=NO\nanonymous_enable=YES\nno_anon_password=YES\nanon_root=" + folder_ +
                       "root\nlocal_enable=NO\nwrite_enable=NO\nsecure_chroot_dir=" + d +
                       "empty\nseccomp_sandbox=NO\nconnect_from_port_20=NO\nxferlog_enable=NO\nvsftpd_log_file=" + d +
                       "vsftpd.log\npasv_enable=YES\nport_enable=YES\nhide_ids=YES\n";
    conf += geteuid() == 0 ? "ftp_username=daemon\nnopriv_user=nobody\n" : "run_as_launching_user=YES\n";
    Write(d + "vsftpd.conf", conf);
    return server_.Start({binary, d + "vsftpd.conf"}, d + "stderr.log", port_);
  }

  // nginx in one process serving root/, with /moved.log redirected.
  bool StartNginx() {
    const std::string binary = FirstExisting({"/usr/sbin/nginx", "/usr/local/sbin/nginx"});
    if (binary.empty()) return false;
    const std::string d = folder_ + "nginx/";
    fs::create_directories(d);
    const std::string port = std::to_string(port_);
    Write(d + "nginx.conf", "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d + "nginx.pid;\n"
                            "error_log " + d + "error.log;\nevents { worker_connections 64; }\nhttp {\n"
                            "  access_log off;\n  client_body_temp_path " + d + "body;\n  proxy_temp_path " + d +
                            "proxy;\n  fastcgi_temp_path " + d + "fcgi;\n  uwsgi_temp_path " + d + "uwsgi;\n"
                            "  scgi_temp_path " + d + "scgi;\n  server {\n    listen 127.0.0.1:" + port + ";\n"
                            "    root " + folder_ + "root;\n"
                            "    location = /moved.log { return 302 http://127.0.0.1:" + port + "/access.log; }\n"
                            "  }\n}\n");
    return server_.Start({binary, "-p", d, "-c", d + "nginx.conf", "-e", d + "error.log"}, d + "stderr.log", port_);
  }

  // The pyftpdlib server of the remote log tests, with its options.
  bool StartScriptedFtp(std::vector<std::string> options) {
    std::vector<std::string> args = {kv::test::Python(), Script("ftp_server.py"), std::to_string(port_),
                                     folder_ + "root", "kvuser", "s3cret"};
    args.insert(args.end(), options.begin(), options.end());
    return server_.Start(args, folder_ + "ftp.log", port_);
  }

  std::string program_;
  std::string source_;
  std::string folder_;
  uint16_t port_ = 0;
  kv::test::ServerProcess server_;
};

#define START_OR_SKIP(call, what)                                           \
  do {                                                                      \
    if (!(call)) {                                                          \
      server_.Stop();                                                       \
      GTEST_SKIP() << what << " is not installed or did not start (scripts/setup-deps installs it)"; \
    }                                                                       \
  } while (0)

// A folder of logs of equal size, listed by a wildcard. ProFTPD names them
// in folder order in NLST and sorted in LIST. Each log grows in turn: every
// run counts every line and fetches the grown log alone. Both servers also name a folder that matches the
// wildcard, which is no log. The log-on set through kvm-log is stored
// scrambled.
TEST_F(RemoteRun, FtpServersFetchEveryGrownLogOfAFolder) {
  for (const char* server : {"proftpd", "vsftpd"}) {
    SCOPED_TRACE(server);
    server_.Stop();
    fs::remove_all(folder_ + "root/logs");
    fs::create_directories(folder_ + "root/logs");
    fs::remove_all(folder_ + "profiles/00000001.ftp");
    fs::remove(folder_ + "profiles/00000001.dir");
    std::map<std::string, std::string> logs;
    int next = 0;
    for (const char* name : {"c.log", "a.log", "b.log"}) {
      logs[name] = LogLines(next, 100);
      next += 100;
      Write(folder_ + "root/logs/" + name, logs[name]);
    }
    const bool proftpd = server == std::string("proftpd");
    port_ = kv::test::FreePort();
    START_OR_SKIP(proftpd ? StartProftpd() : StartVsftpd(), server);
    if (proftpd) {
      SetLocation(Url("ftp", "logs/*.log"), "kvuser", "s3cret");
      EXPECT_EQ(Read(folder_ + "profiles/00000001.wlp").find("kvuser"), std::string::npos) << "stored scrambled";
    } else {
      SetLocation(Url("ftp", "logs/*.log"), "anonymous", "");
    }
    auto whole = [&] {
      std::string all;
      for (const auto& [name, text] : logs) all += text;
      return Lines(all);
    };
    Result first = Run("run 00000001 --kind count");
    EXPECT_EQ(Count(first), whole()) << first.err;
    for (const char* name : {"a.log", "b.log", "c.log"}) {
      SCOPED_TRACE(name);
      const std::string more = LogLines(next, 20);
      next += 20;
      logs[name] += more;
      Write(folder_ + "root/logs/" + name, more, true);
      std::map<std::string, fs::file_time_type> written;
      for (const auto& e : fs::directory_iterator(folder_ + "profiles/00000001.ftp")) {
        written[e.path().filename().string()] = fs::last_write_time(e.path());
      }
      Result grown = Run("run 00000001 --kind count");
      EXPECT_EQ(Count(grown), whole()) << grown.err;
      // Only the grown log was fetched again: the copies of the others stand.
      for (const auto& [copy, time] : written) {
        if (copy != name) {
          EXPECT_EQ(fs::last_write_time(folder_ + "profiles/00000001.ftp/" + copy), time) << copy;
        }
      }
    }
    // A folder that the wildcard names too is not a log.
    fs::create_directories(folder_ + "root/logs/older.log");
    Result folder = Run("run 00000001 --kind count");
    EXPECT_EQ(Count(folder), whole()) << folder.err;
  }
}

// A profile folder copied after a fetch fetches into its own cache folder,
// over FTP and HTTP: the copy's run counts the grown log whole and the
// original's copies stay as they were. A list file naming a path outside the
// cache folder does not make the fetch write there.
TEST_F(RemoteRun, ACopiedProfileFolderFetchesIntoItsOwnCache) {
  for (const char* server : {"proftpd", "nginx"}) {
    SCOPED_TRACE(server);
    server_.Stop();
    fs::remove_all(folder_ + "profiles/00000001.ftp");
    fs::remove(folder_ + "profiles/00000001.dir");
    fs::remove_all(folder_ + "copy");
    fs::remove_all(folder_ + "outside");
    std::string log = LogLines(0, 300);
    Write(folder_ + "root/access.log", log);
    const bool ftp = server == std::string("proftpd");
    port_ = kv::test::FreePort();
    START_OR_SKIP(ftp ? StartProftpd() : StartNginx(), server);
    SetLocation(Url(ftp ? "ftp" : "http", "access.log"), ftp ? "kvuser" : "", ftp ? "s3cret" : "");
    Result first = Run("run 00000001 --kind count");
    ASSERT_EQ(Count(first), Lines(log)) << first.err;
    const std::string list = Read(folder_ + "profiles/00000001.dir");
    EXPECT_EQ(list.find(folder_), std::string::npos) << "copies are named inside their cache folder:\n" << list;

    fs::copy(folder_ + "profiles", folder_ + "copy", fs::copy_options::recursive);
    const auto original = Snapshot(folder_ + "profiles");
    const std::string more = LogLines(300, 200);
    log += more;
    Write(folder_ + "root/access.log", more, true);
    Result copied = Run("run 00000001 --kind count", folder_ + "copy");
    EXPECT_EQ(Count(copied), Lines(log)) << copied.err;
    EXPECT_EQ(Changed(original, Snapshot(folder_ + "profiles")), "");

    // A list file whose copy lies outside the cache folder.
    std::string planted = Read(folder_ + "copy/00000001.dir");
    const size_t name = planted.find("\r\n") + 2;
    planted.replace(name, planted.find("\r\n", name) - name, folder_ + "outside/victim.log");
    Write(folder_ + "copy/00000001.dir", planted);
    fs::create_directories(folder_ + "outside");
    Write(folder_ + "root/access.log", LogLines(500, 10), true);
    log += LogLines(500, 10);
    Result again = Run("run 00000001 --kind count", folder_ + "copy");
    EXPECT_EQ(Count(again), Lines(log)) << again.err;
    EXPECT_FALSE(fs::exists(folder_ + "outside/victim.log"));
  }
}

// A server that breaks off a listing (426 or 451 after half of it): the run
// is refused with the reason, the server's reply included, and no cached
// copy is deleted or changed; the next whole listing counts every log.
TEST_F(RemoteRun, AListingBrokenOffIsRefusedAndTheCacheKept) {
  std::string all;
  for (int i = 0; i < 4; ++i) {
    const std::string text = LogLines(i * 100, 100);
    Write(folder_ + "root/logs/" + std::to_string(i) + ".log", text);
    all += text;
  }
  START_OR_SKIP(StartScriptedFtp({}), "pyftpdlib");
  SetLocation(Url("ftp", "logs/"), "kvuser", "s3cret");  // the whole folder
  Result first = Run("run 00000001 --kind count");
  ASSERT_EQ(Count(first), Lines(all)) << first.err;
  const auto cache = Snapshot(folder_ + "profiles");

  for (const auto& [command, reply] : {std::pair<const char*, const char*>{"NLST", "426 Connection closed"},
                                       {"LIST", "451 Local error in processing"}}) {
    SCOPED_TRACE(command);
    server_.Stop();
    ASSERT_TRUE(StartScriptedFtp({"--cut-listing", command, reply})) << Read(folder_ + "ftp.log");
    Result cut = Run("run 00000001 --kind count");
    EXPECT_EQ(cut.code, 3) << cut.out << cut.err;
    EXPECT_TRUE(cut.out.empty()) << cut.out;
    EXPECT_NE(cut.err.find("listing broke off part-way"), std::string::npos) << cut.err;
    EXPECT_NE(cut.err.find(std::string("The server said: ") + reply), std::string::npos) << cut.err;
    EXPECT_EQ(Changed(cache, Snapshot(folder_ + "profiles")), "");
  }
  server_.Stop();
  ASSERT_TRUE(StartScriptedFtp({})) << Read(folder_ + "ftp.log");
  Result whole = Run("run 00000001 --kind count");
  EXPECT_EQ(Count(whole), Lines(all)) << whole.err;
}

// An entry of an FTP location that names nothing on the server is told on
// standard error and the others are counted; with nothing left the run is
// refused.
TEST_F(RemoteRun, MissingFtpEntriesAreTold) {
  const std::string log = LogLines(0, 150);
  Write(folder_ + "root/logs/a.log", log);
  START_OR_SKIP(StartVsftpd(), "vsftpd");
  SetLocation(Url("ftp", "logs/a.log|logs/none.log|gone/b.log"), "anonymous", "");
  Result some = Run("run 00000001 --kind count");
  EXPECT_EQ(Count(some), Lines(log)) << some.err;
  EXPECT_NE(some.err.find("logs/none.log is not on the server"), std::string::npos) << some.err;
  EXPECT_NE(some.err.find("gone/b.log is not on the server"), std::string::npos) << some.err;

  SetLocation(Url("ftp", "logs/none.log|gone/b.log"), "anonymous", "");
  Result none = Run("run 00000001 --kind count");
  EXPECT_EQ(none.code, 3) << none.out << none.err;
  EXPECT_NE(none.err.find("No remote file matched the log location."), std::string::npos) << none.err;
}

// HTTP answers that are whole only when read right, or are to be refused:
// chunked bodies (whole, and cut before the last chunk), a redirect, and a
// location naming several files.
TEST_F(RemoteRun, HttpAnswersAreCountedWholeOrRefusedWithTheirReason) {
  const std::string log = LogLines(0, 400);
  Write(folder_ + "root/access.log", log);
  Write(folder_ + "root/other.log", LogLines(400, 10));
  const struct {
    const char* server;
    std::string path;
    int code;
    std::string why;  // in the refusal
  } cases[] = {
      {"odd", "chunked/access.log", 0, ""},
      {"odd", "chunkcut/access.log", 3, "The transfer ended before the whole file arrived."},
      {"nginx", "moved.log", 3, "a redirect to http://127.0.0.1:PORT/access.log; redirects are not followed"},
      {"nginx", "access.log|other.log", 3, "An HTTP location names one file; this one names several."},
  };
  std::string running;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    if (running != c.server) {
      server_.Stop();
      port_ = kv::test::FreePort();
      if (c.server == std::string("nginx")) {
        START_OR_SKIP(StartNginx(), "nginx");
      } else {
        ASSERT_TRUE(server_.Start({kv::test::Python(), Script("odd_http_server.py"), std::to_string(port_),
                                   folder_ + "root"},
                                  folder_ + "http.log", port_));
      }
      running = c.server;
    }
    fs::remove_all(folder_ + "profiles/00000001.ftp");
    fs::remove(folder_ + "profiles/00000001.dir");
    SetLocation(Url("http", c.path));
    Result r = Run("run 00000001 --kind count");
    if (c.code == 0) {
      EXPECT_EQ(Count(r), Lines(log)) << r.err;
      continue;
    }
    std::string why = c.why;
    if (const size_t at = why.find("PORT"); at != std::string::npos) why.replace(at, 4, std::to_string(port_));
    EXPECT_EQ(r.code, 3) << r.out << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("the remote log cannot be fetched: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
  }
}

// A later run asks for the log's tail: a part sent in chunks, a few at a
// time, is placed by its range and the grown log counted whole.
TEST_F(RemoteRun, AChunkedPartIsPlacedByItsRange) {
  std::string log = LogLines(0, 300);
  Write(folder_ + "root/access.log", log);
  ASSERT_TRUE(server_.Start({kv::test::Python(), Script("odd_http_server.py"), std::to_string(port_),
                             folder_ + "root"},
                            folder_ + "http.log", port_));
  SetLocation(Url("http", "chunkrange/access.log"));
  Result first = Run("run 00000001 --kind count");
  ASSERT_EQ(Count(first), Lines(log)) << first.err;
  const std::string more = LogLines(300, 150);
  log += more;
  Write(folder_ + "root/access.log", more, true);
  Result grown = Run("run 00000001 --kind count");
  EXPECT_EQ(Count(grown), Lines(log)) << grown.err;
  const std::string copy = Read(folder_ + "profiles/00000001.ftp/access.log");
  EXPECT_TRUE(copy == log) << "the copy holds " << copy.size() << " bytes of " << log.size();
}

// A server that answers the range of a later run with 206 and the whole file
// but no Content-Range: every such run is refused and the copy keeps the
// file's size; it is never analysed at twice its length.
TEST_F(RemoteRun, APartWithoutItsRangeIsRefused) {
  const std::string log = LogLines(0, 300);
  Write(folder_ + "root/access.log", log);
  ASSERT_TRUE(server_.Start({kv::test::Python(), Script("odd_http_server.py"), std::to_string(port_),
                             folder_ + "root"},
                            folder_ + "http.log", port_));
  SetLocation(Url("http", "norange/access.log"));
  Result first = Run("run 00000001 --kind count");
  ASSERT_EQ(Count(first), Lines(log)) << first.err;
  for (int run = 0; run < 4; ++run) {
    SCOPED_TRACE(run);
    Result again = Run("run 00000001 --kind count");
    EXPECT_EQ(again.code, 3) << again.out << again.err;
    EXPECT_NE(again.err.find("The server answered part of the file without saying which part."), std::string::npos)
        << again.err;
    const std::string copy = Read(folder_ + "profiles/00000001.ftp/access.log");
    EXPECT_TRUE(copy == log) << "the copy holds " << copy.size() << " bytes of " << log.size();
  }
}

}  // namespace
