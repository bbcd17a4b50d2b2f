#include "logstatus/saldune.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "logstatus/saldune_paths.h"
#include "platform/module/module.h"
#include "platform/ostrel/ostrel.h"
#include "platform/testsupport/timezone.h"

namespace {

namespace fs = std::filesystem;

using kv::test::ScopedTimeZone;

class LogStatus : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "kvlogstatusXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    path_ = folder_ + "/status.log";
    KVLS_LogStatusFileStartup(path_.c_str(), &handle_);
  }
  void TearDown() override {
    KVLS_LogStatusFileCleanup(&handle_);
    fs::remove_all(folder_);
  }

  std::string FileText() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void AppendRaw(const std::string& text) const {
    std::ofstream out(path_, std::ios::binary | std::ios::app);
    out << text;
  }
  int32_t Write(time_t stamp, std::vector<std::pair<int32_t, std::string>> fields, char* error = nullptr) {
    std::vector<LogStatusEntry> entries;
    for (auto& [id, value] : fields) entries.push_back({id, value.c_str()});
    return KVLS_WriteEntryIntoLogStatusFile(0, entries.data(), static_cast<int32_t>(entries.size()), &stamp,
                                            path_.c_str(), error);
  }

  // One read as (stamp, "id=value;id=value"); stamp -1 and "" for null.
  struct Read {
    int32_t stamp = -1;
    std::string fields;
    int32_t count = 0;
  };
  Read ReadOne(int32_t mode, const time_t* key = nullptr) {
    Read result;
    int32_t stamp = -1;
    int32_t count = -5;
    char error[KVLS_ERROR_TEXT_SIZE] = "untouched";
    LogStatusItem* items = KVLS_ReadEntryFromLogStatusFile(0, &handle_, key, &stamp, mode, &count, error);
    EXPECT_STREQ(error, "") << "reading clears and never fills the error text";
    result.count = count;
    if (items == nullptr) {
      EXPECT_EQ(count, 0);
      return result;
    }
    result.stamp = stamp;
    for (int32_t i = 0; i < count; ++i) {
      EXPECT_EQ(items[i].stamp, stamp);
      if (i > 0) result.fields += ";";
      result.fields += std::to_string(items[i].id) + "=" + items[i].value;
    }
    KVUI_MyFree(items);
    return result;
  }

  std::string folder_;
  std::string path_;
  LogStatusHandle handle_;
};

TEST_F(LogStatus, GoldenLine) {
  {
    ScopedTimeZone utc("UTC");
    ASSERT_EQ(Write(100, {{1, "alpha"}, {22, "b,c:d"}, {-3, ""}}), 1);
    char stamp[KVLS_TIMESTAMP_SIZE];
    time_t when = 100;
    EXPECT_EQ(KVLS_TimeStamp(stamp, &when, 7), 33);
    EXPECT_STREQ(stamp, "\"7:100 Thu Jan  1 00:01:40 1970\",");
  }
  {
    ScopedTimeZone west("EST5");
    ASSERT_EQ(Write(1000000000, {}), 1);
  }
  EXPECT_EQ(FileText(),
            "\"0:100 Thu Jan  1 00:01:40 1970\",\"1:alpha\",\"22:b,c:d\",\"-3:\",\r\n"
            "\"0:1000000000 Sat Sep  8 20:46:40 2001\",\r\n");

  // A null time pointer stamps the current time.
  time_t before = time(nullptr);
  LogStatusEntry entry{5, "now"};
  ASSERT_EQ(KVLS_WriteEntryIntoLogStatusFile(0, &entry, 1, nullptr, path_.c_str(), nullptr), 1);
  time_t after = time(nullptr);
  time_t key = after;
  Read last;
  for (time_t t = before; t <= after && last.count == 0; ++t) {
    key = t;
    last = ReadOne(KVLS_MODE_KEY, &key);
  }
  EXPECT_EQ(last.fields, "5=now");
}

TEST_F(LogStatus, ModesPickTheirLine) {
  ASSERT_EQ(Write(100, {{1, "first"}}), 1);
  ASSERT_EQ(Write(50, {{1, "second"}, {2, "x"}}), 1);
  ASSERT_EQ(Write(200, {{1, "third"}}), 1);
  ASSERT_EQ(Write(100, {{1, "fourth"}}), 1);
  time_t key100 = 100, key75 = 75;

  struct Step {
    int32_t mode;
    const time_t* key;
    int32_t stamp;
    const char* fields;
  };
  // Each row runs on a fresh handle; the rows of one sequence share one.
  const std::vector<std::vector<Step>> sequences = {
      {{KVLS_MODE_EARLIEST, nullptr, 50, "1=second;2=x"}, {KVLS_MODE_EARLIEST, nullptr, -1, ""}},
      {{KVLS_MODE_LATEST, nullptr, 200, "1=third"}, {KVLS_MODE_LATEST, nullptr, -1, ""}},
      {{KVLS_MODE_KEY, &key100, 100, "1=first"}, {KVLS_MODE_KEY, &key100, 100, "1=fourth"},
       {KVLS_MODE_KEY, &key100, -1, ""}, {KVLS_MODE_KEY, &key100, 100, "1=first"}},
      {{KVLS_MODE_KEY, &key75, -1, ""}},
      {{KVLS_MODE_NEXT, nullptr, 100, "1=first"}, {KVLS_MODE_NEXT, nullptr, 50, "1=second;2=x"},
       {KVLS_MODE_NEXT, nullptr, 200, "1=third"}, {KVLS_MODE_NEXT, nullptr, 100, "1=fourth"},
       {KVLS_MODE_NEXT, nullptr, -1, ""}, {KVLS_MODE_NEXT, nullptr, 100, "1=first"}},
      {{0, nullptr, -1, ""}, {5, nullptr, -1, ""}},
  };
  for (size_t s = 0; s < sequences.size(); ++s) {
    KVLS_LogStatusFileCleanup(&handle_);
    for (size_t i = 0; i < sequences[s].size(); ++i) {
      const Step& step = sequences[s][i];
      Read r = ReadOne(step.mode, step.key);
      EXPECT_EQ(r.stamp, step.stamp) << "sequence " << s << " step " << i;
      EXPECT_EQ(r.fields, step.fields) << "sequence " << s << " step " << i;
    }
  }
}

TEST_F(LogStatus, ReloadSeesAppendedLines) {
  ASSERT_EQ(Write(10, {{1, "a"}}), 1);
  EXPECT_EQ(ReadOne(KVLS_MODE_NEXT).fields, "1=a");
  ASSERT_EQ(Write(20, {{1, "b"}}), 1);
  // The image loaded before the append does not hold the new line.
  EXPECT_EQ(ReadOne(KVLS_MODE_NEXT).count, 0);
  // That null read released the image: the next read starts afresh.
  EXPECT_EQ(ReadOne(KVLS_MODE_NEXT).fields, "1=a");
  EXPECT_EQ(ReadOne(KVLS_MODE_NEXT).fields, "1=b");
  EXPECT_EQ(ReadOne(KVLS_MODE_LATEST).count, 0);
  EXPECT_EQ(ReadOne(KVLS_MODE_LATEST).fields, "1=b");
}

TEST_F(LogStatus, ReadingOddFiles) {
  struct Case {
    const char* name;
    std::string text;
    int32_t mode;
    const char* fields;
  };
  const std::string longValue(300, 'v');
  static const char kWithNul[] = "\"0:1 x\",\"1:a\0b\",\r\n\"0:2 x\",\"1:c\",\r\n";
  const Case cases[] = {
      {"stamps only", "\"0:1 x\",\r\n\"0:2 y\",\r\n", KVLS_MODE_NEXT, ""},
      {"stamps only, earliest", "\"0:1 x\",\r\n\"0:2 y\",\r\n", KVLS_MODE_EARLIEST, ""},
      {"stamps only, latest", "\"0:1 x\",\r\n\"0:2 y\",\r\n", KVLS_MODE_LATEST, ""},
      {"empty file", "", KVLS_MODE_NEXT, ""},
      {"value cut to 255", "\"0:1 x\",\"4:" + longValue + "\",\r\n", KVLS_MODE_NEXT, nullptr},
      {"empty line ends the scan", "\r\n\"0:1 x\",\"1:a\",\r\n", KVLS_MODE_NEXT, ""},
      {"empty line ends the scan later", "\"0:5 x\",\"1:a\",\r\n\r\n\"0:1 x\",\"1:b\",\r\n", KVLS_MODE_EARLIEST,
       "1=a"},
      {"first field not 0", "\"1:5 x\",\"1:a\",\r\n\"0:6 x\",\"1:b\",\r\n", KVLS_MODE_NEXT, "1=b"},
      {"first field without value", "\"0:\",\"1:a\",\r\n\"0:6 x\",\"1:b\",\r\n", KVLS_MODE_NEXT, "1=b"},
      {"partial last line", "\"0:1 x\",\"1:a\",\r\n\"0:2 x\",\"1:b\",", KVLS_MODE_LATEST, "1=a"},
      {"bare LF lines", "\"0:1 x\",\"1:a\",\n\"0:2 x\",\"1:b\",\n", KVLS_MODE_NEXT, ""},
      {"CR without LF", "\"0:1 x\",\"1:a\",\r\"0:2 x\",\"1:b\",\r", KVLS_MODE_LATEST, "1=b"},
      {"last field without comma", "\"0:1 x\",\"1:a\",\"2:b\"\r\n", KVLS_MODE_NEXT, "1=a"},
      {"field without colon stops", "\"0:1 x\",\"1:a\",\"junk\",\"2:b\",\r\n", KVLS_MODE_NEXT, "1=a"},
      {"quoted comma", "\"0:1 x\",\"1:a,b\",\r\n", KVLS_MODE_NEXT, "1=a,b"},
      {"unquoted fields", "0:1 x,7:plain,\r\n", KVLS_MODE_NEXT, "7=plain"},
      {"NUL inside", std::string(kWithNul, sizeof kWithNul - 1), KVLS_MODE_LATEST, "1=c"},
      {"field numbers as the runtime reads them", "\"0:1 x\",\" +5:a\",\"99999999999:b\",\"-7:c\",\"x:d\",\r\n",
       KVLS_MODE_NEXT, "5=a;2147483647=b;-7=c;0=d"},
      // Stamps compare unsigned: -3 is later than every positive stamp.
      {"signed stamps, earliest", "\"0: +7 x\",\"1:a\",\r\n\"0:-3 y\",\"1:b\",\r\n", KVLS_MODE_EARLIEST, "1=a"},
      {"signed stamps, latest", "\"0: +7 x\",\"1:a\",\r\n\"0:-3 y\",\"1:b\",\r\n", KVLS_MODE_LATEST, "1=b"},
  };
  for (const Case& c : cases) {
    fs::remove(path_);
    AppendRaw(c.text);
    KVLS_LogStatusFileCleanup(&handle_);
    Read r = ReadOne(c.mode);
    if (c.fields == nullptr) {
      EXPECT_EQ(r.fields, "4=" + longValue.substr(0, 255)) << c.name;
    } else {
      EXPECT_EQ(r.fields, c.fields) << c.name;
    }
  }
  // A line longer than the line buffer is read cut, never past it.
  fs::remove(path_);
  std::string huge = "\"0:1 x\",";
  for (int i = 0; i < 3000; ++i) huge += "\"1:abc\",";
  AppendRaw(huge + "\r\n");
  KVLS_LogStatusFileCleanup(&handle_);
  Read r = ReadOne(KVLS_MODE_NEXT);
  EXPECT_EQ(r.count, (KVLS_MAX_LINE - 1 - 8) / 8);
}

TEST_F(LogStatus, MissingFileReadsNothing) {
  Read r = ReadOne(KVLS_MODE_NEXT);
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(handle_.image, 0u);
  EXPECT_EQ(handle_.cursor, nullptr);
  EXPECT_EQ(handle_.line, nullptr);
}

TEST_F(LogStatus, RefusedEntriesWriteNothing) {
  struct Case {
    const char* name;
    std::vector<LogStatusEntry> entries;
    int32_t count;
  };
  const char* quote = "say \"hi\"";
  const char* cr = "a\rb";
  const char* lf = "a\nb";
  const std::string big(9000, 'y');
  const Case cases[] = {
      {"double quote", {{1, "ok"}, {2, quote}}, 2},
      {"CR", {{1, cr}}, 1},
      {"LF", {{1, lf}}, 1},
      {"null value", {{1, nullptr}}, 1},
      {"too long", {{1, big.c_str()}}, 1},
      {"negative count", {{1, "ok"}}, -1},
  };
  for (const Case& c : cases) {
    char error[KVLS_ERROR_TEXT_SIZE] = "";
    time_t when = 100;
    EXPECT_EQ(KVLS_WriteEntryIntoLogStatusFile(0, c.entries.data(), c.count, &when, path_.c_str(), error), 0)
        << c.name;
    EXPECT_NE(std::string(error).find(path_), std::string::npos) << c.name << ": " << error;
    EXPECT_FALSE(fs::exists(path_)) << c.name;
  }
  time_t when = 100;
  EXPECT_EQ(KVLS_WriteEntryIntoLogStatusFile(0, nullptr, 1, &when, path_.c_str(), nullptr), 0);
  EXPECT_EQ(KVLS_WriteEntryIntoLogStatusFile(0, nullptr, 0, &when, nullptr, nullptr), 0);

  // The limit itself: a line of exactly 8191 characters (CR LF included) is
  // written, one more is refused.
  ScopedTimeZone utc("UTC");
  const std::string prefix = "\"0:100 Thu Jan  1 00:01:40 1970\",\"1:";  // 36 characters
  const size_t fits = 8191 - prefix.size() - 4;                          // value, "\",", CR LF
  std::string value(fits, 'z');
  EXPECT_EQ(Write(100, {{1, value}}), 1);
  EXPECT_EQ(FileText().size(), 8191u);
  char error[KVLS_ERROR_TEXT_SIZE];
  EXPECT_EQ(Write(100, {{1, value + "z"}}, error), 0);
  EXPECT_EQ(FileText().size(), 8191u);
}

TEST_F(LogStatus, FailuresNameTheFile) {
  const std::string missing = folder_ + "/no/such/folder/status.log";
  char error[KVLS_ERROR_TEXT_SIZE];
  LogStatusEntry entry{1, "a"};
  EXPECT_EQ(KVLS_WriteEntryIntoLogStatusFile(0, &entry, 1, nullptr, missing.c_str(), error), 0);
  EXPECT_EQ(std::string(error), "Unable to create the status logfile\r\n" + missing + ".");

  // A path longer than the error buffer is cut to it.
  std::string deep = folder_ + "/" + std::string(2000, 'd') + "/status.log";
  char bounded[KVLS_ERROR_TEXT_SIZE + 16];
  std::memset(bounded, '#', sizeof bounded);
  EXPECT_EQ(KVLS_WriteEntryIntoLogStatusFile(0, &entry, 1, nullptr, deep.c_str(), bounded), 0);
  EXPECT_EQ(std::strlen(bounded), KVLS_ERROR_TEXT_SIZE - 1u);
  for (size_t i = KVLS_ERROR_TEXT_SIZE; i < sizeof bounded; ++i) EXPECT_EQ(bounded[i], '#');
}

TEST_F(LogStatus, StartupBoundsThePath) {
  LogStatusHandle handle;
  std::memset(&handle, 0x5a, sizeof handle);
  char* path = KVLS_LogStatusFileStartup(path_.c_str(), &handle);
  EXPECT_EQ(path, handle.path);
  EXPECT_EQ(std::string(path), path_);
  EXPECT_EQ(handle.image, 0u);
  EXPECT_EQ(handle.cursor, nullptr);
  EXPECT_EQ(handle.size, 0);
  EXPECT_EQ(handle.line, nullptr);

  std::string tooLong(KVLS_MAX_PATH, 'p');
  EXPECT_STREQ(KVLS_LogStatusFileStartup(tooLong.c_str(), &handle), "");
  int32_t count = 9;
  EXPECT_EQ(KVLS_ReadEntryFromLogStatusFile(0, &handle, nullptr, nullptr, KVLS_MODE_NEXT, &count, nullptr), nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(KVLS_LogStatusFileStartup(path_.c_str(), nullptr), nullptr);
  EXPECT_EQ(KVLS_LogStatusFileCleanup(nullptr), 0);
  EXPECT_EQ(KVLS_TimeStamp(nullptr, nullptr, 0), 0);
}

TEST_F(LogStatus, WritersInManyProcessesLeaveWholeLines) {
  constexpr int kWriters = 8;
  constexpr int kLines = 1000;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Values of different lengths, so that torn writes would show.
      std::string pad(static_cast<size_t>(w * 37 % 200), static_cast<char>('a' + w));
      int failures = 0;
      for (int i = 0; i < kLines; ++i) {
        std::string writer = std::to_string(w);
        std::string seq = std::to_string(i);
        LogStatusEntry entries[] = {{1, writer.c_str()}, {2, seq.c_str()}, {3, pad.c_str()}};
        time_t when = 1000 + i;
        if (KVLS_WriteEntryIntoLogStatusFile(0, entries, 3, &when, path_.c_str(), nullptr) != 1) ++failures;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  // Every line is whole, and each writer's lines are all there in order.
  std::map<int, int> next;
  int lines = 0;
  for (;;) {
    int32_t count = 0, stamp = 0;
    LogStatusItem* items =
        KVLS_ReadEntryFromLogStatusFile(0, &handle_, nullptr, &stamp, KVLS_MODE_NEXT, &count, nullptr);
    if (items == nullptr) break;
    ++lines;
    ASSERT_EQ(count, 3);
    int writer = std::atoi(items[0].value);
    int seq = std::atoi(items[1].value);
    EXPECT_EQ(seq, next[writer]) << "writer " << writer;
    next[writer] = seq + 1;
    EXPECT_EQ(stamp, 1000 + seq);
    EXPECT_EQ(std::string(items[2].value),
              std::string(static_cast<size_t>(writer * 37 % 200), static_cast<char>('a' + writer)));
    KVUI_MyFree(items);
  }
  EXPECT_EQ(lines, kWriters * kLines);
  for (int w = 0; w < kWriters; ++w) EXPECT_EQ(next[w], kLines) << "writer " << w;
}

TEST_F(LogStatus, WritersWaitForTheLockOnTheFile) {
  int fd = open(path_.c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    LogStatusEntry entry{1, "late"};
    time_t when = 5;
    _exit(KVLS_WriteEntryIntoLogStatusFile(0, &entry, 1, &when, path_.c_str(), nullptr) == 1 ? 0 : 1);
  }
  usleep(200 * 1000);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the writer went past a held lock";
  EXPECT_EQ(FileText(), "");
  ASSERT_EQ(flock(fd, LOCK_UN), 0);
  close(fd);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ReadOne(KVLS_MODE_NEXT).fields, "1=late");
}

TEST(LogStatusLibrary, ExportsByNameAndOrdinal) {
  const char* folder = getenv("KV_PROGRAM_DIR");
  ASSERT_NE(folder, nullptr);
  std::string file = std::string(folder) + "/libSaldune.so";
  KvModule module = KvLoadModule(file.c_str());
  ASSERT_NE(module, nullptr) << file;
  const char* names[] = {"KVLS_LogStatusFileCleanup", "KVLS_LogStatusFileStartup", "KVLS_ReadEntryFromLogStatusFile",
                         "KVLS_TimeStamp", "KVLS_WriteEntryIntoLogStatusFile"};
  for (uint32_t ordinal = 1; ordinal <= 5; ++ordinal) {
    KvProc byName = KvGetProcAddress(module, names[ordinal - 1]);
    EXPECT_NE(byName, nullptr) << names[ordinal - 1];
    EXPECT_EQ(KvGetProcOrdinal(module, ordinal), byName) << ordinal;
  }
  EXPECT_EQ(KvGetProcOrdinal(module, 6), nullptr);
  EXPECT_EQ(KvGetProcAddress(module, "AppendTimeStamp"), nullptr) << "internals stay hidden";

  // The loaded library works on its own: a line written through it reads back.
  using StampFn = int32_t (*)(char*, const time_t*, int32_t);
  auto stamp = reinterpret_cast<StampFn>(KvGetProcOrdinal(module, 4));
  ASSERT_NE(stamp, nullptr);
  char text[KVLS_TIMESTAMP_SIZE];
  time_t when = 42;
  EXPECT_GT(stamp(text, &when, 3), 0);
  EXPECT_EQ(std::string(text).substr(0, 6), "\"3:42 ");
  KvFreeModule(module);
}

TEST(LogStatusPaths, DayFileNames) {
  ScopedTimeZone utc("UTC");
  struct Case {
    time_t when;
    const char* name;
  };
  const Case cases[] = {
      {888710400, "2-1-98.LOG"},    // 1 March 1998: month counted from 0
      {946684800, "0-1-100.LOG"},   // 1 January 2000: years since 1900
      {1703980800, "11-31-123.LOG"},  // 31 December 2023
  };
  for (const Case& c : cases) EXPECT_EQ(kvls::LogStatusDayFileName(c.when), c.name);
  std::string folder = kvls::LogStatusFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.substr(folder.size() - 9), "LOGSTATS/");
  EXPECT_EQ(kvls::LogStatusDayFile(888710400), folder + "2-1-98.LOG");
}

}  // namespace
