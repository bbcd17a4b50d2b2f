// Incremental analysis through the command-line client, as a user runs it:
// the per-day databases of a generated month are built with `update` (as
// files, in a SQLite data source and in a PostgreSQL server, both through
// their ODBC drivers), reported on with `realtime`, listed with `days` and
// removed with `delete-days`. The realtime report of a range must read as
// the summary report of the same log and range does.
#include <signal.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/testsupport/odbc.h"
#include "platform/testsupport/ports.h"
#include "platform/testsupport/postgres.h"

namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const std::string& path, const std::string& text, bool append = false) {
  std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  out << text;
  ASSERT_TRUE(out.good()) << path;
}

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

uint32_t Utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return static_cast<uint32_t>(timegm(&t));
}

// One combined-format line at wall-clock time t.
std::string Line(uint32_t t, const std::string& host, const std::string& page, int status, int bytes,
                 const std::string& referrer, const std::string& agent) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const time_t v = t;
  std::tm f{};
  gmtime_r(&v, &f);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%02d/%s/%04d:%02d:%02d:%02d +0000", f.tm_mday, kMonths[f.tm_mon],
                f.tm_year + 1900, f.tm_hour, f.tm_min, f.tm_sec);
  return host + " - - [" + stamp + "] \"GET " + page + " HTTP/1.1\" " + std::to_string(status) + " " +
         std::to_string(bytes) + " \"" + referrer + "\" \"" + agent + "\"\n";
}

// The lines of the days [first, last] of March 2026 (day `gap` has none),
// from a fixed pseudo-random sequence, in time order.
std::string MonthLog(int first, int last, int gap) {
  static const char* const kPages[] = {"/", "/index.html", "/about.html", "/contact.html", "/products/",
                                       "/products/widgets.html", "/products/gadgets.html", "/support/faq.html",
                                       "/news/launch.html", "/members/account.html", "/img/logo.png",
                                       "/css/site.css", "/search.html?q=widgets", "/missing.html"};
  static const char* const kReferrers[] = {"-", "https://www.google.com/search?q=blue+widgets",
                                           "https://www.bing.com/search?q=gadgets", "http://partner.example.org/links",
                                           "-"};
  static const char* const kAgents[] = {"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)",
                                        "Mozilla/5.0 (X11; Linux x86_64) Firefox/120.0",
                                        "Opera/9.80 (Windows NT 6.1) Presto/2.12"};
  uint32_t seed = 12345;
  auto next = [&](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  std::string log;
  for (int day = first; day <= last; ++day) {
    if (day == gap) continue;
    // Hours of quiet around midnight: no visit runs from one day into the
    // next (a stored day ends its open visits, a summary run would not).
    uint32_t t = Utc(2026, 3, day, 1, 0, 5);
    const uint32_t end = Utc(2026, 3, day, 22, 0, 0);
    while (t < end) {
      const std::string host = "192.0.2." + std::to_string(1 + next(40));
      const char* page = kPages[next(sizeof kPages / sizeof *kPages)];
      const std::string p = page;
      const int status = p == "/missing.html" ? 404 : (next(10) == 0 ? 304 : 200);
      log += Line(t, host, page, status, static_cast<int>(200 + next(5000)),
                  kReferrers[next(sizeof kReferrers / sizeof *kReferrers)], kAgents[next(3)]);
      t += 600 + next(3600);
    }
  }
  return log;
}

using Postgres = kv::test::PostgresServer;

enum class Store { kFiles, kSqlite, kPostgres };

std::string StoreName(const testing::TestParamInfo<Store>& info) {
  switch (info.param) {
    case Store::kFiles: return "Files";
    case Store::kSqlite: return "SqliteOdbc";
    case Store::kPostgres: return "PostgresOdbc";
  }
  return "?";
}

struct Result {
  int code;
  std::string out;
  std::string err;
};

class Incremental : public testing::TestWithParam<Store> {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("KV_PROGRAM_DIR");
    ASSERT_NE(bin, nullptr);
    program_ = std::string(bin) + "/kvm-log";
    std::string pattern = testing::TempDir() + "kvincrXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
    // The layout of the program folder: the profiles in kvm_log/profiles,
    // the template and vocabulary above them, the search engine
    // definitions in the folder above that.
    profiles_ = folder_ + "kvm_log/profiles/";
    fs::create_directories(profiles_);
    fs::create_directories(folder_ + "logs");
    const std::string src = std::getenv("KV_SOURCE_DIR");
    fs::copy(src + "/data/kvm_log/Template", folder_ + "kvm_log/Template");
    fs::copy_file(src + "/data/kvm_log/REPORT.INI", folder_ + "kvm_log/REPORT.INI");
    fs::copy_file(std::string(bin) + "/keywords.ini", folder_ + "keywords.ini");
    std::string profile = Read(src + "/data/kvm_log/profiles/00000001.wlp");
    std::string store = "1", connect;
    if (GetParam() == Store::kSqlite) {
      const std::string driver = kv::test::FindSqliteDriver();
      ASSERT_FALSE(driver.empty()) << "the SQLite ODBC driver is not installed";
      store = "2";
      driver_ = driver;
      connect = "Driver=" + driver + ";Database=" + folder_ + "days.db;SyncPragma=OFF;";
    } else if (GetParam() == Store::kPostgres) {
      bool missing = false;
      const std::string why = postgres_.Start(&missing);
      if (missing) GTEST_SKIP() << why;
      ASSERT_EQ(why, "");
      store = "2";
      driver_ = postgres_.Driver();
      connect = postgres_.ConnectText();
    }
    Set(&profile, "LogFilePath", folder_ + "logs/access.log");
    Set(&profile, "PellavarFlag", store);
    Set(&profile, "RealtimeAnalysis", "1");
    Set(&profile, "ODBCPellavar", connect);
    Set(&profile, "PellavarRepository", folder_ + "days");
    Write(profiles_ + "00000001.wlp", profile);
  }
  void TearDown() override {
    postgres_.Stop();
    fs::remove_all(folder_);
  }

  static void Set(std::string* profile, const std::string& key, const std::string& value) {
    const size_t at = profile->find("\n" + key + "=");
    ASSERT_NE(at, std::string::npos) << key;
    const size_t end = profile->find_first_of("\r\n", at + 1);
    profile->replace(at + 1, end - at - 1, key + "=" + value);
  }

  // The environment before the program: the driver manager and the driver
  // stay loaded to the client's end, as in-process tests keep them
  // (PinOdbcLibraries): their caches are freed only at exit.
  std::string Environment(const std::string& preload = "") const {
    std::string env;
    if (!driver_.empty() || !preload.empty()) {
      const char* asan = std::getenv("ASAN_OPTIONS");
      std::string libraries = preload;
      if (!driver_.empty())
        libraries += (libraries.empty() ? "" : ":") + std::string("libodbc.so.2:") + driver_ + ":libodbcinst.so.2";
      env = "LD_PRELOAD='" + libraries + "' ASAN_OPTIONS='" +
            std::string(asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "") + "verify_asan_link_order=0' ";
    }
    return env + "TZ=UTC ";
  }

  Result Run(const std::string& args) {
    const std::string out = folder_ + "out.txt", err = folder_ + "err.txt";
    const int code = Shell("cd '" + folder_ + "' && " + Environment() + "'" + program_ + "' --profiles '" + profiles_ +
                           "' " + args + " >'" + out + "' 2>'" + err + "'");
    return Result{code, Read(out), Read(err)};
  }

  // Runs the command with a progress bar and sends it SIGINT, as Ctrl-C
  // does, once the bar first moves; the result holds its standard error.
  Result RunInterrupted(const std::string& args) {
    int pipes[2];
    if (pipe(pipes) != 0) return Result{-1, "", "no pipe"};
    const std::string command = "cd '" + folder_ + "' && exec env " + Environment() + "'" + program_ + "' --profiles '" +
                                profiles_ + "' --progress " + args + " 2>&1 >/dev/null";
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(pipes[1], 1);
      close(pipes[0]);
      close(pipes[1]);
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(pipes[1]);
    std::string err;
    char buffer[4096];
    bool sent = false;
    ssize_t n;
    while ((n = read(pipes[0], buffer, sizeof buffer)) > 0) {
      err.append(buffer, static_cast<size_t>(n));
      if (!sent && err.find('%') != std::string::npos) {
        kill(pid, SIGINT);
        sent = true;
      }
    }
    close(pipes[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return Result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), "", err};
  }

  // The summary report and the realtime report of [from, to] as text.
  void ExpectSameReports(const std::string& from, const std::string& to) {
    const std::string window = " --format text --from '" + from + "' --to '" + to + "'";
    Result summary = Run("report 00000001 --report-dir summary" + window);
    ASSERT_EQ(summary.code, 0) << summary.err;
    Result realtime = Run("realtime 00000001 --report-dir realtime" + window);
    ASSERT_EQ(realtime.code, 0) << realtime.err;
    EXPECT_EQ(realtime.out, folder_ + "realtime/index.txt\n");
    const std::string a = Read(folder_ + "summary/index.txt");
    const std::string b = Read(folder_ + "realtime/index.txt");
    ASSERT_GT(a.size(), 1000u);
    ASSERT_NE(a.find("<H2>"), std::string::npos);
    ASSERT_NE(b.find("<H2>"), std::string::npos);
    // Line by line from the first chapter on, so that a difference names
    // its table. (Above it stands the template's description, which the
    // client hands to a summary run only.)
    std::istringstream sa(a.substr(a.find("<H2>"))), sb(b.substr(b.find("<H2>")));
    std::string la, lb, section;
    int line = 0, shown = 0;
    while (true) {
      const bool ga = static_cast<bool>(std::getline(sa, la));
      const bool gb = static_cast<bool>(std::getline(sb, lb));
      if (!ga && !gb) break;
      ++line;
      if (la.rfind("<H", 0) == 0) section = la;
      // The time the writing took is the one line that may differ.
      if (ga && gb && la.find("Report written in") != std::string::npos &&
          lb.find("Report written in") != std::string::npos)
        continue;
      if ((la != lb || ga != gb) && shown++ < 12) {
        ADD_FAILURE() << "line " << line << " (" << section << ")\n  summary:  " << la << "\n  realtime: " << lb;
      }
    }
  }

  std::string program_;
  std::string folder_;
  std::string profiles_;
  std::string driver_;  // the ODBC driver of the store, if any
  Postgres postgres_;
};

// The month's days 1-29 first, then the rest added by a second update: the
// report over the whole month equals the summary report in every table.
TEST_P(Incremental, AMonthAddedDayByDayReportsAsTheSummaryDoes) {
  Write(folder_ + "logs/access.log", MonthLog(1, 29, 10));
  Result first = Run("update 00000001");
  ASSERT_EQ(first.code, 0) << first.err;
  // The rest of the month arrives; its newest second is the last line.
  Write(folder_ + "logs/access.log",
        MonthLog(30, 31, 0) + Line(Utc(2026, 3, 31, 23, 59, 30), "198.51.100.7", "/last.html", 200, 777, "-",
                                   "Mozilla/5.0 (X11; Linux x86_64) Firefox/120.0"),
        true);
  Result second = Run("update 00000001");
  ASSERT_EQ(second.code, 0) << second.err;
  EXPECT_EQ(second.out, "up to date after 3 steps\n");
  ExpectSameReports("2026-03-01", "2026-03-31");
  // A range inside the month (the day without lines included).
  ExpectSameReports("2026-03-08", "2026-03-12");

  // The stored days: the day without lines is passed on, the last one is
  // open up to the second before the newest.
  Result days = Run("days 00000001");
  ASSERT_EQ(days.code, 0) << days.err;
  EXPECT_NE(days.out.find("first\t2026-03-01 00:00:00\n"), std::string::npos) << days.out;
  EXPECT_NE(days.out.find("last\t2026-03-31 "), std::string::npos) << days.out;
  // Every store lists its days alike.
  EXPECT_NE(days.out.find("2026-03-09\tcomplete\n2026-03-10\tcomplete\n2026-03-11\tcomplete\n"), std::string::npos)
      << days.out;
  EXPECT_NE(days.out.find("2026-03-31\tup to "), std::string::npos) << days.out;
  EXPECT_EQ(std::count(days.out.begin(), days.out.end(), '\n'), 2 + 31) << days.out;
}

TEST_P(Incremental, DeletedDaysAreGoneAndCanBeBuiltAgain) {
  Write(folder_ + "logs/access.log", MonthLog(1, 12, 0));
  ASSERT_EQ(Run("update 00000001").code, 0);
  Result before = Run("days 00000001");
  EXPECT_NE(before.out.find("first\t2026-03-01"), std::string::npos) << before.out << before.err;
  Result deleted = Run("delete-days 00000001");
  ASSERT_EQ(deleted.code, 0) << deleted.err;
  Result after = Run("days 00000001");
  EXPECT_EQ(after.out, "no stored day holds data\n") << after.err;
  if (GetParam() == Store::kFiles) {
    EXPECT_FALSE(fs::exists(folder_ + "days/daily"));
  }
  // Built again from the logs, the days report as before.
  ASSERT_EQ(Run("update 00000001").code, 0);
  ExpectSameReports("2026-03-01", "2026-03-12");
}

// Ctrl-C during an update ends it with 130 and leaves a store that the next
// update completes: the month then reports as the summary does.
TEST_P(Incremental, AnInterruptedUpdateLeavesAStoreTheNextUpdateCompletes) {
  Write(folder_ + "logs/access.log", MonthLog(1, 31, 10));
  // Interrupted once its progress shows: an update may still end first on a
  // fast machine, and then the next try starts from nothing again.
  int interrupted = 0;
  for (int attempt = 0; attempt < 5 && interrupted == 0; ++attempt) {
    Result r = RunInterrupted("update 00000001");
    if (r.code == 130) {
      EXPECT_NE(r.err.find("kvm-log: cancelled"), std::string::npos) << r.err;
      ++interrupted;
      break;
    }
    EXPECT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(Run("delete-days 00000001").code, 0);
  }
  EXPECT_GT(interrupted, 0) << "no update was still running when interrupted";
  Result done = Run("update 00000001");
  ASSERT_EQ(done.code, 0) << done.err;
  ExpectSameReports("2026-03-01", "2026-03-31");
}

INSTANTIATE_TEST_SUITE_P(Stores, Incremental, testing::Values(Store::kFiles, Store::kSqlite, Store::kPostgres),
                         StoreName);

// ---- the client's own handling of the commands ---------------------------------

class IncrementalClient : public Incremental {};

TEST_P(IncrementalClient, AFileUrlLocationIsUpdated) {
  std::string profile = Read(profiles_ + "00000001.wlp");
  Set(&profile, "LogFilePath", "file://" + folder_ + "logs/access.log");
  Write(profiles_ + "00000001.wlp", profile);
  Write(folder_ + "logs/access.log", MonthLog(1, 2, 0));
  Result update = Run("update 00000001");
  ASSERT_EQ(update.code, 0) << update.err;
  Result days = Run("days 00000001");
  EXPECT_NE(days.out.find("2026-03-01\tcomplete\n"), std::string::npos) << days.out;
}

TEST_P(IncrementalClient, RangesAndErrors) {
  // A log around the machine's clock now, for the ranges that count from it.
  const time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const uint32_t wall = static_cast<uint32_t>(timegm(&local));
  std::string log;
  for (uint32_t t = wall - 3 * 86400; t < wall - 120; t += 1800)
    log += Line(t, "192.0.2.9", "/hourly.html", 200, 100, "-", "Mozilla/5.0");
  // A hit every second of the last two minutes, so that "today" holds data
  // just after midnight too.
  for (uint32_t t = wall - 120; t < wall; ++t) log += Line(t, "192.0.2.9", "/hourly.html", 200, 100, "-", "Mozilla/5.0");
  Write(folder_ + "logs/access.log", log);
  for (const char* range : {"--range today", "--range yesterday", "--range week", "--range month",
                            "--range year", "--last-days 2", "--last-hours 5"}) {
    Result r = Run(std::string("realtime 00000001 --format text --report-dir r ") + range);
    EXPECT_EQ(r.code, 0) << range << ": " << r.err;
    EXPECT_NE(Read(folder_ + "r/index.txt").find("/hourly.html"), std::string::npos) << range;
  }
  struct E {
    const char* args;
    int code;
    const char* message;
  } cases[] = {
      {"realtime 00000001 --range fortnight", 1, "unknown range fortnight"},
      {"realtime 00000001 --last-days 0", 1, "a count of 1 or more"},
      {"realtime 00000001 --range today --last-days 2", 1, "give one range only"},
      {"realtime 00000001 --range today --from 2026-01-01", 1, "give one range only"},
      {"report 00000001 --range today", 1, "--range is an option of realtime"},
      {"update nosuch", 2, "unknown profile nosuch"},
      {"realtime 00000001 --from 2001-01-01 --to 2001-01-02 --report-dir r", 3, "no stored day holds data"},
  };
  for (const E& e : cases) {
    Result r = Run(e.args);
    EXPECT_EQ(r.code, e.code) << e.args << ": " << r.err;
    EXPECT_NE((r.err + r.out).find(e.message), std::string::npos) << e.args << ": " << r.err;
  }
  Result help = Run("--help");
  for (const char* word : {"update PROFILE", "realtime PROFILE", "days PROFILE", "delete-days PROFILE", "--last-hours"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  // A profile without per-day databases.
  std::string profile = Read(profiles_ + "00000001.wlp");
  Set(&profile, "RealtimeAnalysis", "0");
  Write(profiles_ + "00000001.wlp", profile);
  Result off = Run("update 00000001");
  EXPECT_EQ(off.code, 3);
  EXPECT_NE(off.err.find("keeps no per-day databases"), std::string::npos) << off.err;
}

// A day that the store cannot take fails the update and the realtime report
// that rest on it, though the engine answers them as usual.
TEST_P(IncrementalClient, ADayTheStoreRefusesFailsTheCommand) {
  Write(folder_ + "logs/access.log", MonthLog(1, 1, 0));
  ASSERT_EQ(Run("update 00000001").code, 0);
  // The day's file (beside the list of days) becomes a folder: the day
  // cannot be written.
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder_ + "days"))
    if (entry.is_regular_file() && entry.path().filename() != "master.dat") files.push_back(entry.path());
  ASSERT_FALSE(files.empty());
  for (const auto& file : files) {
    fs::remove(file);
    fs::create_directories(file / "taken");
  }
  Write(folder_ + "logs/access.log", MonthLog(1, 2, 0));
  for (const char* command : {"update 00000001", "realtime 00000001 --format text --report-dir r --from 2026-03-01 --to 2026-03-02"}) {
    Result r = Run(command);
    EXPECT_EQ(r.code, 5) << command << ": " << r.out << r.err;
    EXPECT_NE(r.err.find("Error writing the analysis database"), std::string::npos) << command << ": " << r.err;
    EXPECT_NE(r.err.find("could not be stored"), std::string::npos) << command << ": " << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, IncrementalClient, testing::Values(Store::kFiles), StoreName);

}  // namespace

// ---- a file store under crashes, concurrent updates and refused writes ---------

namespace faults {

// Several referring sites and browsers, so that every table of a report has
// rows to hold against the summary's.
const char* const kAgents[] = {"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)",
                               "Mozilla/5.0 (X11; Linux x86_64) Firefox/120.0", "Opera/9.80 (Windows NT 6.1) Presto/2.12"};

// Lines of one day of March 2026 from `from` (inclusive) to `to`
// (exclusive) wall-clock seconds of the day, a few minutes apart.
std::string DayLines(int day, uint32_t from, uint32_t to, uint32_t seed = 7) {
  static const char* const kPages[] = {"/", "/a.html", "/b.html", "/c/d.html", "/e.png", "/missing.html"};
  std::string log;
  for (uint32_t s = from; s < to;) {
    seed = seed * 1103515245u + 12345u;
    const uint32_t r = seed >> 8;
    const std::string page = kPages[r % 6];
    log += Line(Utc(2026, 3, day) + s, "192.0.2." + std::to_string(1 + r % 30), page + "?n=" + std::to_string(s),
                page == "/missing.html" ? 404 : 200, static_cast<int>(100 + r % 900), "-", "Mozilla/5.0");
    s += 60 + r % 240;
  }
  return log;
}

// A preloaded library that watches the writes to files whose path holds
// KV_SHIM_PATH: it kills the process at the KV_SHIM_KILL_AT-th (after
// writing half of it), or right after a rename onto such a file with
// KV_SHIM_KILL_RENAME, holds the first one for KV_SHIM_HOLD_MS after making
// the file KV_SHIM_HOLD_MARK, and writes its count to KV_SHIM_COUNT at exit.
constexpr const char* kShimSource = R"(
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
static long count;
static int watched(int fd) {
  const char* want = getenv("KV_SHIM_PATH");
  char link[64], path[4096];
  if (want == NULL) return 0;
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  if (n < 0) return 0;
  path[n] = 0;
  return strstr(path, want) != NULL;
}
ssize_t write(int fd, const void* data, size_t size) {
  static ssize_t (*real)(int, const void*, size_t);
  if (real == NULL) real = (ssize_t (*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  if (watched(fd)) {
    ++count;
    const char* at = getenv("KV_SHIM_KILL_AT");
    if (at != NULL && atol(at) == count) {
      if (size > 1) real(fd, data, size / 2);
      kill(getpid(), SIGKILL);
    }
    const char* hold = getenv("KV_SHIM_HOLD_MS");
    if (hold != NULL && count == 1) {
      FILE* mark = fopen(getenv("KV_SHIM_HOLD_MARK"), "w");
      if (mark != NULL) fclose(mark);
      usleep((useconds_t)atol(hold) * 1000);
    }
  }
  return real(fd, data, size);
}
ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset) {
  static ssize_t (*real)(int, const void*, size_t, off_t);
  if (real == NULL) real = (ssize_t (*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite64");
  if (watched(fd)) {
    ++count;
    const char* hold = getenv("KV_SHIM_HOLD_MS");
    if (hold != NULL && count == 1) {
      FILE* mark = fopen(getenv("KV_SHIM_HOLD_MARK"), "w");
      if (mark != NULL) fclose(mark);
      usleep((useconds_t)atol(hold) * 1000);
    }
  }
  return real(fd, data, size, offset);
}
ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) { return pwrite64(fd, data, size, offset); }
int rename(const char* from, const char* to) {
  static int (*real)(const char*, const char*);
  if (real == NULL) real = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
  const int r = real(from, to);
  const char* want = getenv("KV_SHIM_PATH");
  if (getenv("KV_SHIM_KILL_RENAME") != NULL && want != NULL && strstr(to, want) != NULL) kill(getpid(), SIGKILL);
  return r;
}
__attribute__((destructor)) static void done(void) {
  const char* file = getenv("KV_SHIM_COUNT");
  if (file == NULL) return;
  const long seen = count;
  FILE* out = fopen(file, "w");
  if (out != NULL) {
    fprintf(out, "%ld\n", seen);
    fclose(out);
  }
}
)";

class StoreFaults : public Incremental {
 protected:
  void SetUp() override {
    Incremental::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Write(folder_ + "shim.c", kShimSource);
    ASSERT_EQ(Shell("cc -shared -fPIC -o '" + folder_ + "shim.so' '" + folder_ + "shim.c' -ldl"), 0);
  }

  // The store's files as the shim watches them.
  std::string StorePath() const { return folder_ + (GetParam() == Store::kFiles ? "days/" : "days.db"); }

  // The command line of the client with the shim and the given settings.
  std::string ShimmedCommand(const std::string& settings, const std::string& args) const {
    return "cd '" + folder_ + "' && " + Environment(folder_ + "shim.so") + "KV_SHIM_PATH='" + StorePath() + "' " +
           settings + " '" + program_ + "' --profiles '" + profiles_ + "' " + args;
  }

  Result RunShimmed(const std::string& settings, const std::string& args) {
    const std::string out = folder_ + "out.txt", err = folder_ + "err.txt";
    const int code = Shell(ShimmedCommand(settings, args) + " >'" + out + "' 2>'" + err + "'");
    return Result{code, Read(out), Read(err)};
  }

  // The lines of the realtime report of a day as text from its first
  // chapter on, without the line of the time it took.
  std::vector<std::string> DayReport(const std::string& day) {
    Result r = Run("realtime 00000001 --report-dir rt --format text --from " + day + " --to " + day);
    EXPECT_EQ(r.code, 0) << r.err;
    const std::string text = Read(folder_ + "rt/index.txt");
    const size_t chapter = text.find("<H2>");
    std::istringstream in(chapter == std::string::npos ? "" : text.substr(chapter));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
      if (line.find("Report written in") == std::string::npos) lines.push_back(line);
    return lines;
  }

  // The first line where two reports differ, or "".
  static std::string FirstDifference(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
      const std::string la = i < a.size() ? a[i] : "(end)", lb = i < b.size() ? b[i] : "(end)";
      if (la != lb) return "line " + std::to_string(i + 1) + "\n  want: " + la + "\n  got:  " + lb;
    }
    return "";
  }

  void Snapshot() { ASSERT_EQ(Shell("rm -rf '" + folder_ + "snap' && cp -a '" + folder_ + "days' '" + folder_ + "snap'"), 0); }
  void Restore() { ASSERT_EQ(Shell("rm -rf '" + folder_ + "days' && cp -a '" + folder_ + "snap' '" + folder_ + "days'"), 0); }
};

// The afternoon of a stored morning is added by an update that is killed at
// chosen writes to the store (in the day's file, between the file and its
// record, after the file is in place): the next update leaves the day as an
// update that was never interrupted does.
TEST_P(StoreFaults, AnUpdateKilledAtAnyWriteLosesAndDoublesNothing) {
  const std::string log = folder_ + "logs/access.log";
  Write(log, DayLines(1, 3600, 43200));
  ASSERT_EQ(Run("update 00000001").code, 0);
  Snapshot();
  Write(log, DayLines(1, 43200, 79200, 11), true);
  Result counted = RunShimmed("KV_SHIM_COUNT='" + folder_ + "count'", "update 00000001");
  ASSERT_EQ(counted.code, 0) << counted.err;
  const long writes = std::atol(Read(folder_ + "count").c_str());
  ASSERT_GT(writes, 3);
  const std::vector<std::string> expected = DayReport("2026-03-01");
  ASSERT_GT(expected.size(), 50u);
  const std::string expectedDays = Run("days 00000001").out;

  std::vector<std::string> kills = {"KV_SHIM_KILL_RENAME=1"};
  for (long at : {1L, 2L, 3L, writes / 3, writes / 2, writes - 2, writes - 1, writes})
    kills.push_back("KV_SHIM_KILL_AT=" + std::to_string(at));
  for (const std::string& kill : kills) {
    Restore();
    Result killed = RunShimmed(kill, "update 00000001");
    EXPECT_EQ(killed.code, 128 + SIGKILL) << kill << ": " << killed.err;
    Result next = Run("update 00000001");
    EXPECT_EQ(next.code, 0) << kill << ": " << next.err;
    EXPECT_EQ(Run("days 00000001").out, expectedDays) << kill;
    EXPECT_EQ(FirstDifference(expected, DayReport("2026-03-01")), "") << kill;
  }
}

// The disk fills while the day is saved after the log was rotated (its
// morning is no longer in the log): the update fails, the stored morning
// stays, and once there is room the afternoon is added to it. The log is
// rotated by moving it away, and by emptying it in place.
TEST_P(StoreFaults, ASaveRefusedByAFullDiskKeepsTheStoredDay) {
  const std::string log = folder_ + "logs/access.log";
  const std::string morning = DayLines(1, 3600, 43200), afternoon = DayLines(1, 43200, 79200, 11);
  Write(log, morning);
  ASSERT_EQ(Run("update 00000001").code, 0);
  Snapshot();
  const std::string storedDays = Run("days 00000001").out;
  Write(log, afternoon, true);
  ASSERT_EQ(Run("update 00000001").code, 0);
  const std::vector<std::string> expected = DayReport("2026-03-01");

  for (const char* rotation : {"mv", "truncate"}) {
    Restore();
    fs::remove(log + ".1");
    if (std::string(rotation) == "mv") {
      fs::rename(log, log + ".1");
      Write(log, afternoon);
    } else {
      // Emptied in place and written again past the place the day reached.
      Write(log, afternoon + afternoon.substr(0, morning.size() > afternoon.size() ? morning.size() - afternoon.size() + 1 : 0));
      Write(log, afternoon);
    }
    // Writes past 8 KiB are refused (EFBIG) rather than ending the process.
    const std::string out = folder_ + "out.txt", err = folder_ + "err.txt";
    const int code = Shell("cd '" + folder_ + "' && trap '' XFSZ && TZ=UTC prlimit --fsize=8192 '" + program_ +
                           "' --profiles '" + profiles_ + "' update 00000001 >'" + out + "' 2>'" + err + "'");
    EXPECT_EQ(code, 5) << rotation << ": " << Read(out) << Read(err);
    EXPECT_NE(Read(err).find("Error writing the analysis database"), std::string::npos) << rotation << ": " << Read(err);
    EXPECT_EQ(Run("days 00000001").out, storedDays) << rotation;
    ASSERT_EQ(Run("update 00000001").code, 0) << rotation;
    EXPECT_EQ(FirstDifference(expected, DayReport("2026-03-01")), "") << rotation;
  }
}

// Two updates started together: the second fails at once with a clear
// message while the first holds the store, as do a report and a deletion;
// the first completes the store.
class ConcurrentUpdates : public StoreFaults {};
class LogOrder : public StoreFaults {};

TEST_P(ConcurrentUpdates, ASecondUpdateFailsWhileOneRuns) {
  // The store is made first, so that the first update's first write to it
  // lies inside the update.
  Write(folder_ + "logs/access.log", MonthLog(1, 1, 0));
  ASSERT_EQ(Run("update 00000001").code, 0);
  Write(folder_ + "logs/access.log", MonthLog(1, 6, 3));
  const std::string mark = folder_ + "holding";
  const std::string command =
      ShimmedCommand("KV_SHIM_HOLD_MS=3000 KV_SHIM_HOLD_MARK='" + mark + "'", "update 00000001") + " >'" + folder_ +
      "first.txt' 2>&1";
  const pid_t first = fork();
  if (first == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 1000 && !fs::exists(mark); ++i) usleep(10000);
  ASSERT_TRUE(fs::exists(mark)) << "the first update never wrote to its store";
  for (const char* args : {"update 00000001", "delete-days 00000001",
                           "realtime 00000001 --format text --report-dir r --from 2026-03-01 --to 2026-03-06"}) {
    Result second = Run(args);
    EXPECT_EQ(second.code, 5) << args << ": " << second.out << second.err;
    EXPECT_NE(second.err.find("in use by another update"), std::string::npos) << args << ": " << second.err;
  }
  int status = 0;
  ASSERT_EQ(waitpid(first, &status, 0), first);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Read(folder_ + "first.txt");
  Result again = Run("update 00000001");
  EXPECT_EQ(again.code, 0) << again.err;
  ExpectSameReports("2026-03-01", "2026-03-06");
}

// A log in local time as the server writes it, across the night the clocks
// go back (the hour from 02:00 comes twice, "+0200" then "+0100"), updated
// while the log ends at points in and around the repeated hour: the day
// holds every line, as the summary report of the same log counts them.
TEST_P(LogOrder, ALocalTimeLogAcrossTheClockGoingBackLosesNoLine) {
  std::vector<std::string> lines;
  auto add = [&](int h, int m, int s, const char* zone) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "25/Oct/2026:%02d:%02d:%02d %s", h, m, s, zone);
    lines.push_back("192.0.2." + std::to_string(1 + lines.size() % 50) + " - - [" + stamp + "] \"GET /p" +
                    std::to_string(lines.size() % 7) + ".html HTTP/1.1\" 200 512 \"http://site" +
                    std::to_string(lines.size() % 3) + ".example.org/\" \"" + kAgents[lines.size() % 3] + "\"\n");
  };
  for (int t = 3600; t < 3 * 3600; t += 20) add(t / 3600, t / 60 % 60, t % 60, "+0200");
  for (int t = 2 * 3600; t < 5 * 3600; t += 20) add(t / 3600, t / 60 % 60, t % 60, "+0100");
  // The log ends before, inside and after the repeated hour when updated.
  const size_t ends[] = {100, 300, 400, 450, 500, 560, 700, lines.size()};
  std::string log;
  size_t written = 0;
  for (size_t end : ends) {
    for (; written < end; ++written) log += lines[written];
    Write(folder_ + "logs/access.log", log);
    Result r = Run("update 00000001");
    ASSERT_EQ(r.code, 0) << "log of " << end << " lines: " << r.err;
  }
  ExpectSameReports("2026-10-25", "2026-10-25");
}

// A real server's log writes each line when its request ends, so its lines
// stand out of time order by up to a minute; updated every 1,000 lines, the
// day holds every line, as the summary report of the same log counts them.
TEST_P(LogOrder, LinesOutOfTimeOrderAreEachStoredOnce) {
  std::vector<std::string> lines;
  uint32_t seed = 99;
  for (int i = 0; i < 10000; ++i) {
    seed = seed * 1103515245u + 12345u;
    const uint32_t r = seed >> 8;
    // Begun at its stamp, written when done: up to 60 s after later ones.
    const uint32_t t = Utc(2026, 3, 5, 1) + static_cast<uint32_t>(i) * 3 - (r % 4 == 0 ? r % 61 : 0);
    static const char* const kPages[] = {"/", "/a.html", "/b.html", "/c.png", "/d.css"};
    lines.push_back(Line(t, "198.51.100." + std::to_string(1 + r % 60), kPages[r % 5], r % 17 == 0 ? 404 : 200,
                         static_cast<int>(r % 4000), "http://site" + std::to_string(r % 3) + ".example.org/",
                         kAgents[r / 7 % 3]));
  }
  std::string log;
  for (size_t i = 0; i < lines.size(); ++i) {
    log += lines[i];
    if ((i + 1) % 1000 != 0) continue;
    Write(folder_ + "logs/access.log", log);
    Result r = Run("update 00000001");
    ASSERT_EQ(r.code, 0) << i << ": " << r.err;
  }
  ExpectSameReports("2026-03-05", "2026-03-05");
}

}  // namespace faults

using faults::ConcurrentUpdates;
using faults::LogOrder;
using faults::StoreFaults;
INSTANTIATE_TEST_SUITE_P(Files, StoreFaults, testing::Values(Store::kFiles), StoreName);
INSTANTIATE_TEST_SUITE_P(Stores, ConcurrentUpdates, testing::Values(Store::kFiles, Store::kSqlite), StoreName);
INSTANTIATE_TEST_SUITE_P(Stores, LogOrder, testing::Values(Store::kFiles, Store::kSqlite), StoreName);

// ---- failures told as failures -----------------------------------------------

class StoreFailures : public Incremental {};

// A store that cannot be written (a file store run by a user without write
// access to it, a SQLite data source opened read-only): update and
// delete-days fail with a message and exit 5; days still lists the days;
// once writable again, the update completes.
TEST_P(StoreFailures, AStoreThatCannotBeWrittenFailsEachCommand) {
  Write(folder_ + "logs/access.log", MonthLog(1, 2, 0));
  ASSERT_EQ(Run("update 00000001").code, 0);
  Write(folder_ + "logs/access.log", MonthLog(3, 3, 0), true);
  const std::string profile = Read(profiles_ + "00000001.wlp");
  std::string prefix;
  if (GetParam() == Store::kFiles) {
    // Permissions do not stop root: the client runs as an unprivileged user.
    if (geteuid() == 0) {
      if (Shell("runuser -u nobody -- test -x '" + program_ + "'") != 0) {
        GTEST_SKIP() << "the user nobody cannot run " << program_;
      }
      // The report writer keeps its working copies beside the template.
      ASSERT_EQ(Shell("chmod -R go+rX '" + folder_ + "' && chmod 755 '" + folder_ + "' && chmod -R a+w '" + folder_ +
                      "kvm_log/Template'"),
                0);
      prefix = "runuser -u nobody -- ";
    } else {
      ASSERT_EQ(Shell("chmod -R a-w '" + folder_ + "days'"), 0);
    }
  } else {
    std::string readOnly = profile;
    Set(&readOnly, "ODBCPellavar", "Driver=" + driver_ + ";Database=file:" + folder_ + "days.db?mode=ro;SyncPragma=OFF;");
    Write(profiles_ + "00000001.wlp", readOnly);
  }
  const std::string before = Run("days 00000001").out;
  ASSERT_NE(before.find("2026-03-02"), std::string::npos) << before;
  // The report is written from the days as they stand, and says what it
  // lacks.
  fs::create_directories(folder_ + "r");
  fs::permissions(folder_ + "r", fs::perms::all);
  struct Case {
    const char* args;
    const char* message;
    const char* out;
  } cases[] = {
      {"update 00000001", "the update failed", ""},
      {"delete-days 00000001", "were not deleted", ""},
      {"realtime 00000001 --format text --report-dir r --from 2026-03-01 --to 2026-03-03", "could not be stored",
       "r/index.txt\n"},
  };
  for (const Case& c : cases) {
    const std::string out = folder_ + "out.txt", err = folder_ + "err.txt";
    const int code = Shell("cd '" + folder_ + "' && " + Environment() + prefix + "'" + program_ + "' --profiles '" +
                           profiles_ + "' " + c.args + " >'" + out + "' 2>'" + err + "'");
    EXPECT_EQ(code, 5) << c.args << ": " << Read(out) << Read(err);
    EXPECT_EQ(Read(out), c.out[0] == '\0' ? "" : folder_ + c.out) << c.args;
    EXPECT_NE(Read(err).find(c.message), std::string::npos) << c.args << ": " << Read(err);
  }
  EXPECT_NE(Read(folder_ + "r/index.txt").find("Hits (all)"), std::string::npos);
  EXPECT_EQ(Run("days 00000001").out, before);
  // Writable again.
  if (GetParam() == Store::kFiles && geteuid() != 0) {
    ASSERT_EQ(Shell("chmod -R u+w '" + folder_ + "days'"), 0);
  }
  Write(profiles_ + "00000001.wlp", profile);
  Result done = Run("update 00000001");
  EXPECT_EQ(done.code, 0) << done.err;
  EXPECT_NE(Run("days 00000001").out.find("2026-03-03"), std::string::npos);
}

// An update whose log is missing, and a report over a stored day whose file
// is damaged, fail and say why.
TEST_P(StoreFailures, AMissingLogAndADamagedDayAreFailures) {
  Write(folder_ + "logs/access.log", MonthLog(1, 3, 0));
  ASSERT_EQ(Run("update 00000001").code, 0);
  fs::rename(folder_ + "logs/access.log", folder_ + "logs/old.log");
  Result missing = Run("update 00000001");
  EXPECT_EQ(missing.code, 5) << missing.out << missing.err;
  EXPECT_NE(missing.err.find("No log file is found"), std::string::npos) << missing.err;
  EXPECT_EQ(missing.out.find("up to date"), std::string::npos) << missing.out;
  fs::rename(folder_ + "logs/old.log", folder_ + "logs/access.log");
  if (GetParam() != Store::kFiles) return;
  // The complete day of March 2 loses the end of its file.
  char name[16];
  std::snprintf(name, sizeof name, "%08x.dat", Utc(2026, 3, 2));
  const std::string day = folder_ + "days/daily/" + name;
  ASSERT_TRUE(fs::exists(day));
  fs::resize_file(day, fs::file_size(day) / 2);
  Result report = Run("realtime 00000001 --format text --report-dir r --from 2026-03-01 --to 2026-03-03");
  EXPECT_EQ(report.code, 5) << report.out << report.err;
  EXPECT_NE(report.err.find("Mar/2/2026 is damaged"), std::string::npos) << report.err;
}

// A location of several logs (a rotated log and the current one) is built
// by its first update, without an error on a fresh store, and reports as
// the summary of the same logs does.
TEST_P(StoreFailures, ALocationOfSeveralLogsIsBuiltByItsFirstUpdate) {
  std::string profile = Read(profiles_ + "00000001.wlp");
  Set(&profile, "LogFilePath", folder_ + "logs/access.log*");
  Write(profiles_ + "00000001.wlp", profile);
  Write(folder_ + "logs/access.log.1", MonthLog(1, 5, 0));
  Write(folder_ + "logs/access.log", MonthLog(6, 8, 0));
  Result first = Run("update 00000001");
  EXPECT_EQ(first.code, 0) << first.err;
  EXPECT_EQ(first.err, "");
  EXPECT_NE(first.out.find("up to date"), std::string::npos) << first.out;
  ExpectSameReports("2026-03-01", "2026-03-07");
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreFailures, testing::Values(Store::kFiles, Store::kSqlite), StoreName);

// A database server that cannot be reached fails every command that needs
// it, with the connection as the cause (not a full disk).
class UnreachableServer : public Incremental {};

TEST_P(UnreachableServer, EachCommandFailsAndSaysWhy) {
  Write(folder_ + "logs/access.log", MonthLog(1, 2, 0));
  ASSERT_EQ(Run("update 00000001").code, 0);
  Write(folder_ + "logs/access.log", MonthLog(3, 3, 0), true);
  postgres_.Stop();
  for (const char* args : {"update 00000001", "delete-days 00000001",
                           "realtime 00000001 --format text --report-dir r --from 2026-03-01 --to 2026-03-03"}) {
    Result r = Run(args);
    EXPECT_EQ(r.code, 5) << args << ": " << r.out << r.err;
    EXPECT_EQ(r.out, "") << args;
    EXPECT_EQ(r.err.find("disk is not full"), std::string::npos) << args << ": " << r.err;
    EXPECT_EQ(r.out.find("deleted"), std::string::npos) << args;
  }
}

INSTANTIATE_TEST_SUITE_P(Postgres, UnreachableServer, testing::Values(Store::kPostgres), StoreName);

// A range of hours is reported as the whole days that hold it (the stored
// days cannot be cut into hours), and the user is told: the report is the
// one of those days, its header included.
TEST_P(IncrementalClient, ARangeOfHoursIsReportedAsItsWholeDays) {
  Write(folder_ + "logs/access.log", MonthLog(14, 17, 0));
  ASSERT_EQ(Run("update 00000001").code, 0);
  auto report = [&](const std::string& window, std::string* err) {
    Result r = Run("realtime 00000001 --format text --report-dir r " + window);
    EXPECT_EQ(r.code, 0) << window << ": " << r.err;
    *err = r.err;
    std::istringstream in(Read(folder_ + "r/index.txt"));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
      if (line.find("Report written in") == std::string::npos && line.find("Generated on") == std::string::npos)
        lines.push_back(line);
    return lines;
  };
  std::string err;
  const std::vector<std::string> days = report("--from 2026-03-15 --to 2026-03-16", &err);
  EXPECT_EQ(err, "");
  ASSERT_GT(days.size(), 50u);
  for (const char* window : {"--from '2026-03-15 22:00' --to '2026-03-16 02:00'",
                             "--from '2026-03-15 00:00' --to '2026-03-16 23:59:30'"}) {
    const std::vector<std::string> hours = report(window, &err);
    EXPECT_NE(err.find("the report covers 2026-03-15 00:00:00 .. 2026-03-16 23:59:59"), std::string::npos)
        << window << ": " << err;
    EXPECT_EQ(hours, days) << window;
  }
}
