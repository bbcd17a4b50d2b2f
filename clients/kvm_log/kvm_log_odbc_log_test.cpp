// A log kept in a database table, reported on with the command-line client
// as a user runs it: the same generated rows as a table of a PostgreSQL
// server (through its ODBC driver), as a SQLite table and as a text log in
// the comma-separated layout give the same report and the same line counts.
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
#include "platform/testsupport/odbc_exec.h"
#include "platform/testsupport/postgres.h"

namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.good()) << path;
}

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One request of the generated log. A row without a time has time 0.
struct Row {
  int64_t time;
  std::string client, user, target, parameters;
  int64_t elapsed, received, sent, status;
  int stored;  // its place in the table
};

// 10,000 requests over a week of March 2026 from a fixed pseudo-random
// sequence, some in the same second, two without a time; stored in the
// table far out of time order.
std::vector<Row> Generate() {
  static const char* const kTargets[] = {"/",           "/index.html", "/about.html",     "/o'clock.html",
                                         "/products/",  "/news/a.html", "/img/logo.png",  "/css/site.css",
                                         "/search.cgi", "/missing.html"};
  static const char* const kUsers[] = {"-", "-", "-", "anna", "bob"};
  uint32_t seed = 4242;
  auto next = [&](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  std::tm start{};
  start.tm_year = 2026 - 1900;
  start.tm_mon = 2;
  start.tm_mday = 2;
  int64_t t = timegm(&start) + 3600;
  constexpr int kRows = 10000;
  std::vector<Row> rows;
  for (int i = 0; i < kRows; ++i) {
    t += next(5) == 0 ? 0 : 1 + next(110);
    Row r;
    r.time = (i == 4000 || i == 7000) ? 0 : t;
    r.client = "192.0.2." + std::to_string(1 + next(60));
    r.user = kUsers[next(5)];
    r.target = kTargets[next(10)];
    r.parameters = r.target == "/search.cgi" ? "q=" + std::to_string(next(30)) : "-";
    r.elapsed = next(2000);
    r.received = 100 + next(400);
    r.sent = i % 997 == 0 ? 3221225472LL : 200 + next(50000);
    r.status = r.target == "/missing.html" ? 404 : (next(8) == 0 ? 304 : 200);
    r.stored = static_cast<int>((static_cast<int64_t>(i) * 7919) % kRows);
    rows.push_back(r);
  }
  return rows;
}

// The statements that make the table "logfile" of the rows.
std::vector<std::string> TableStatements(const std::vector<Row>& rows) {
  std::vector<const Row*> stored(rows.size());
  for (const Row& r : rows) stored[r.stored] = &r;
  std::vector<std::string> statements = {
      "CREATE TABLE logfile (ClientHost varchar(255), username varchar(255), LogTime timestamp, service "
      "varchar(255), machine varchar(255), serverip varchar(50), processingtime bigint, bytesrecvd bigint, bytessent "
      "bigint, servicestatus bigint, win32status bigint, operation varchar(255), target varchar(255), parameters "
      "varchar(255))"};
  auto quoted = [](const std::string& text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("''") : std::string(1, c);
    return q + "'";
  };
  std::string insert;
  for (size_t i = 0; i < stored.size(); ++i) {
    const Row& r = *stored[i];
    std::string time = "NULL";
    if (r.time != 0) {
      const time_t v = r.time;
      std::tm f{};
      gmtime_r(&v, &f);
      char text[96];
      std::snprintf(text, sizeof text, "'%04d-%02d-%02d %02d:%02d:%02d'", f.tm_year + 1900, f.tm_mon + 1, f.tm_mday,
                    f.tm_hour, f.tm_min, f.tm_sec);
      time = text;
    }
    insert += std::string(insert.empty() ? "INSERT INTO logfile VALUES " : ", ") + "(" + quoted(r.client) + ", " +
              quoted(r.user) + ", " + time + ", 'W3SVC1', 'WEB1', '10.0.0.1', " + std::to_string(r.elapsed) + ", " +
              std::to_string(r.received) + ", " + std::to_string(r.sent) + ", " + std::to_string(r.status) +
              ", 0, 'GET', " + quoted(r.target) + ", " + quoted(r.parameters) + ")";
    if ((i + 1) % 500 == 0 || i + 1 == stored.size()) {
      statements.push_back(insert);
      insert.clear();
    }
  }
  return statements;
}

// The same rows as the web server's text log in the comma-separated layout,
// in time order (a row without a time has "-" for its date and time).
std::string TextLog(std::vector<Row> rows) {
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return a.time != b.time ? a.time < b.time : a.stored < b.stored;
  });
  std::string log;
  for (const Row& r : rows) {
    std::string when = "-, -";
    if (r.time != 0) {
      const time_t v = r.time;
      std::tm f{};
      gmtime_r(&v, &f);
      char text[96];
      std::snprintf(text, sizeof text, "%d/%d/%04d, %02d:%02d:%02d", f.tm_mon + 1, f.tm_mday, f.tm_year + 1900,
                    f.tm_hour, f.tm_min, f.tm_sec);
      when = text;
    }
    log += r.client + ", " + r.user + ", " + when + ", W3SVC1, WEB1, 10.0.0.1, " + std::to_string(r.elapsed) + ", " +
           std::to_string(r.received) + ", " + std::to_string(r.sent) + ", " + std::to_string(r.status) + ", 0, GET, " +
           r.target + ", " + r.parameters + ",\r\n";
  }
  return log;
}

struct Result {
  int code;
  std::string out;
  std::string err;
};

class OdbcLogReports : public testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("KV_PROGRAM_DIR");
    ASSERT_NE(bin, nullptr);
    program_ = std::string(bin) + "/kvm-log";
    std::string pattern = testing::TempDir() + "kvodbclogXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
    profiles_ = folder_ + "kvm_log/profiles/";
    fs::create_directories(profiles_);
    fs::create_directories(folder_ + "logs");
    const std::string src = std::getenv("KV_SOURCE_DIR");
    fs::copy(src + "/data/kvm_log/Template", folder_ + "kvm_log/Template");
    fs::copy_file(src + "/data/kvm_log/REPORT.INI", folder_ + "kvm_log/REPORT.INI");
    fs::copy_file(std::string(bin) + "/keywords.ini", folder_ + "keywords.ini");
    profile_ = Read(src + "/data/kvm_log/profiles/00000001.wlp");
  }
  void TearDown() override {
    postgres_.Stop();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  static void Set(std::string* profile, const std::string& key, const std::string& value) {
    const size_t at = profile->find("\n" + key + "=");
    ASSERT_NE(at, std::string::npos) << key;
    const size_t end = profile->find_first_of("\r\n", at + 1);
    profile->replace(at + 1, end - at - 1, key + "=" + value);
  }

  // The report of the log at `location` into folder `name`; the driver (if
  // any) stays loaded to the client's end, as in-process tests keep it.
  Result Report(const std::string& location, const std::string& driver, const std::string& name) {
    std::string profile = profile_;
    Set(&profile, "LogFilePath", location);
    Write(profiles_ + "00000001.wlp", profile);
    std::string env;
    if (!driver.empty()) {
      const char* asan = std::getenv("ASAN_OPTIONS");
      env = "LD_PRELOAD='libodbc.so.2:" + driver + ":libodbcinst.so.2' ASAN_OPTIONS='" +
            std::string(asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "") + "verify_asan_link_order=0' ";
    }
    const std::string out = folder_ + "out.txt", err = folder_ + "err.txt";
    const int code = Shell("cd '" + folder_ + "' && " + env + "TZ=UTC '" + program_ + "' --profiles '" + profiles_ +
                           "' report 00000001 --report-dir " + name +
                           " --format text --from 2026-03-01 --to 2026-03-31 >'" + out + "' 2>'" + err + "'");
    return Result{code, Read(out), Read(err)};
  }

  // The report's text from its first chapter on, without the line that
  // says how long the writing took.
  std::string Chapters(const std::string& name) {
    const std::string text = Read(folder_ + name + "/index.txt");
    const size_t at = text.find("<H2>");
    if (at == std::string::npos) return "";
    std::istringstream lines(text.substr(at));
    std::string line, kept;
    while (std::getline(lines, line)) {
      if (line.find("Report written in") == std::string::npos) kept += line + "\n";
    }
    return kept;
  }

  // Differences line by line, at most a dozen, each with its chapter.
  static void ExpectSame(const std::string& a, const std::string& b, const std::string& what) {
    std::istringstream sa(a), sb(b);
    std::string la, lb, section;
    int line = 0, shown = 0;
    for (;;) {
      const bool ga = static_cast<bool>(std::getline(sa, la));
      const bool gb = static_cast<bool>(std::getline(sb, lb));
      if (!ga && !gb) break;
      ++line;
      if (la.rfind("<H", 0) == 0) section = la;
      if ((la != lb || ga != gb) && shown++ < 12) {
        ADD_FAILURE() << what << ", line " << line << " (" << section << ")\n  text log: " << la
                      << "\n  table:    " << lb;
      }
    }
  }

  std::string program_, folder_, profiles_, profile_;
  kv::test::PostgresServer postgres_;
};

TEST_F(OdbcLogReports, ATableReportsAsItsTextLogDoesOnEveryDatabase) {
  const std::vector<Row> rows = Generate();
  Write(folder_ + "logs/access.log", TextLog(rows));
  const Result text = Report(folder_ + "logs/access.log", "", "text");
  ASSERT_EQ(text.code, 0) << text.err;
  const std::string want = Chapters("text");
  ASSERT_GT(want.size(), 1000u);
  EXPECT_NE(text.err.find("10000 lines read, 2 not recognised, 0 skipped"), std::string::npos) << text.err;

  struct Database {
    std::string name, driver, connect;
  };
  std::vector<Database> databases;
  const std::string sqlite = kv::test::FindSqliteDriver();
  ASSERT_FALSE(sqlite.empty()) << "the SQLite ODBC driver is not installed";
  databases.push_back({"sqlite", sqlite, "Driver=" + sqlite + ";Database=" + folder_ + "logs/log.db;"});
  bool missing = false;
  const std::string why = postgres_.Start(&missing);
  if (!missing) {
    ASSERT_EQ(why, "");
    databases.push_back({"postgres", postgres_.Driver(), postgres_.ConnectText()});
  }
  for (const Database& d : databases) {
    SCOPED_TRACE(d.name);
    ASSERT_EQ(kv::test::RunOdbcStatements(d.connect, TableStatements(rows)), "");
    const Result table = Report("odbc:" + d.connect, d.driver, d.name);
    ASSERT_EQ(table.code, 0) << table.err;
    EXPECT_NE(table.err.find("10000 lines read, 2 not recognised, 0 skipped"), std::string::npos) << table.err;
    ExpectSame(want, Chapters(d.name), d.name);
  }
  if (missing) GTEST_SKIP() << why << ": the SQLite table alone was held against the text log";
}

}  // namespace
