#include "platform/base/ini.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/base_testutil.h"
#include "platform/base/ini_detail.h"
#include "platform/base/lasterror.h"

namespace kv {
namespace {

using test::ReadText;
using test::TempFolder;
using test::WriteText;

// A settings file as Windows tools write them: CR LF, comments, blanks
// around "=", sections in other cases, a repeated section.
const char kWindowsIni[] =
    "; Settings written by a Windows tool\r\n"
    "\r\n"
    "[Defaults]\r\n"
    "  MaxDNSThreads = 32 \r\n"
    "FTPDownload=Detect\r\n"
    "Quoted = \"  padded value  \"\r\n"
    "HalfQuote = \"abc\r\n"
    "Empty=\r\n"
    "; a comment = not a key\r\n"
    "Dup=first\r\n"
    "Dup=second\r\n"
    "Negative=-17\r\n"
    "Mixed=12abc\r\n"
    "NoNumber=abc\r\n"
    "Big=4294967295\r\n"
    "Plus= +7\r\n"
    "\r\n"
    "[ intl ]\r\n"
    "sShortDate=M/d/yy\r\n"
    "\r\n"
    "[DEFAULTS]\r\n"
    "Dup=third\r\n"
    "LaterOnly=x\r\n";

class IniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = dir_ / "settings.ini";
    WriteText(file_, kWindowsIni);
  }
  std::string Get(const char* section, const char* key, const char* def = "DEF", uint32_t size = 256) {
    std::vector<char> out(size + 1, '#');
    uint32_t n = IniGetString(section, key, def, out.data(), size, file_.c_str());
    EXPECT_EQ(out[size], '#') << "wrote past the buffer";
    return std::string(out.data(), n);
  }
  TempFolder dir_;
  std::string file_;
};

TEST_F(IniTest, ReadsValuesLikeThePrivateProfileFunctions) {
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  } cases[] = {
      {"defaults", "maxdnsthreads", "32"},           // any case, blanks dropped
      {"DEFAULTS", "FTPDOWNLOAD", "Detect"},
      {" Defaults ", " FTPDownload ", "Detect"},    // caller's blanks ignored
      {"Defaults", "Quoted", "  padded value  "},    // quotes dropped, inner blanks kept
      {"Defaults", "HalfQuote", "\"abc"},            // unmatched quote kept
      {"Defaults", "Empty", ""},                     // present but empty: not the default
      {"Defaults", "; a comment", "DEF"},            // comments are no keys
      {"Defaults", "Dup", "first"},                  // first key wins
      {"Defaults", "LaterOnly", "DEF"},              // first section of a name counts
      {"intl", "sShortDate", "M/d/yy"},              // section name with blanks inside brackets
      {"intl", "Missing", "DEF"},
      {"NoSuchSection", "x", "DEF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Get(c.section, c.key), c.expected) << c.section << "/" << c.key;
    EXPECT_EQ(IniString(c.section, c.key, "DEF", file_.c_str()), c.expected) << c.section << "/" << c.key;
  }
  EXPECT_EQ(Get("Defaults", "missing", nullptr), "");
}

TEST_F(IniTest, MissingFileGivesDefaults) {
  std::string missing = dir_ / "none.ini";
  char out[16];
  EXPECT_EQ(IniGetString("a", "b", "dflt", out, sizeof out, missing.c_str()), 4u);
  EXPECT_STREQ(out, "dflt");
  EXPECT_EQ(IniGetInt("a", "b", 42, missing.c_str()), 42);
  EXPECT_TRUE(IniSectionNames(missing.c_str()).empty());
  EXPECT_EQ(IniGetString(nullptr, nullptr, "", out, sizeof out, missing.c_str()), 0u);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], '\0');
}

TEST_F(IniTest, ReadsLeadingNumbers) {
  struct Case {
    const char* key;
    int32_t expected;
  } cases[] = {
      {"MaxDNSThreads", 32}, {"Negative", -17}, {"Mixed", 12}, {"NoNumber", 5},  {"Empty", 5},
      {"Missing", 5},        {"Big", -1},       {"Plus", 7},   {"FTPDownload", 5},
  };
  for (const auto& c : cases) EXPECT_EQ(IniGetInt("defaults", c.key, 5, file_.c_str()), c.expected) << c.key;
}

TEST_F(IniTest, CutsValuesToTheCallersSize) {
  struct Case {
    uint32_t size;
    const char* expected;
  } cases[] = {{1, ""}, {2, "D"}, {4, "Det"}, {6, "Detec"}, {7, "Detect"}, {100, "Detect"}};
  for (const auto& c : cases) EXPECT_EQ(Get("Defaults", "FTPDownload", "", c.size), c.expected) << c.size;
  // Defaults are cut the same way.
  EXPECT_EQ(Get("Defaults", "Missing", "default", 4), "def");
}

TEST_F(IniTest, ListsSectionAndKeyNamesAsDoubleNulLists) {
  using std::string_literals::operator""s;
  EXPECT_EQ(Get(nullptr, nullptr, "", 256), "Defaults\0intl\0"s);
  EXPECT_EQ(Get("intl", nullptr, "", 256), "sShortDate\0"s);
  EXPECT_THAT(IniKeyNames("DEFAULTS", file_.c_str()),
              ::testing::ElementsAre("MaxDNSThreads", "FTPDownload", "Quoted", "HalfQuote", "Empty", "Dup", "Negative",
                                     "Mixed", "NoNumber", "Big", "Plus"));
  EXPECT_THAT(IniSectionNames(file_.c_str()), ::testing::ElementsAre("Defaults", "intl"));

  // A list that does not fit is cut and still ends in two NULs.
  char out[8];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(IniGetString(nullptr, nullptr, "", out, 6, file_.c_str()), 4u);
  EXPECT_EQ(std::string(out, 6), "Defa\0\0"s);
  EXPECT_EQ(out[6], '#');
  EXPECT_EQ(IniGetString(nullptr, nullptr, "", out, 1, file_.c_str()), 0u);
  EXPECT_EQ(out[0], '\0');
}

TEST_F(IniTest, ReadsAWholeSection) {
  using std::string_literals::operator""s;
  char out[64];
  uint32_t n = IniGetSection("INTL", out, sizeof out, file_.c_str());
  EXPECT_EQ(std::string(out, n + 1), "sShortDate=M/d/yy\0\0"s);
  auto entries = IniSection("defaults", file_.c_str());
  ASSERT_GE(entries.size(), 4u);
  EXPECT_EQ(entries[0], std::make_pair(std::string("MaxDNSThreads"), std::string("32")));
  EXPECT_EQ(entries[2], std::make_pair(std::string("Quoted"), std::string("  padded value  ")));
  n = IniGetSection("Defaults", out, 10, file_.c_str());
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(std::string(out, 10), "MaxDNSTh\0\0"s);
}

TEST_F(IniTest, WritesKeepTheRestOfTheFile) {
  ASSERT_TRUE(IniWriteString("DEFAULTS", "ftpdownload", "Once", file_.c_str()));  // replace
  ASSERT_TRUE(IniWriteString("intl", "sTime", ":", file_.c_str()));                // new key
  ASSERT_TRUE(IniWriteString("New", "Key", "v", file_.c_str()));                   // new section
  std::string expected = kWindowsIni;
  expected.replace(expected.find("FTPDownload=Detect"), 18, "FTPDownload=Once");
  expected.replace(expected.find("sShortDate=M/d/yy\r\n") + 19, 0, "sTime=:\r\n");
  expected += "[New]\r\nKey=v\r\n";
  EXPECT_EQ(ReadText(file_), expected);
  EXPECT_EQ(Get("new", "key"), "v");
}

TEST_F(IniTest, DeletesKeysAndSections) {
  ASSERT_TRUE(IniWriteString("Defaults", "Dup", nullptr, file_.c_str()));
  std::string text = ReadText(file_);
  EXPECT_EQ(text.find("Dup=first"), std::string::npos);
  EXPECT_EQ(text.find("Dup=second"), std::string::npos);
  EXPECT_NE(text.find("Dup=third"), std::string::npos);  // another section

  ASSERT_TRUE(IniWriteString("defaults", nullptr, nullptr, file_.c_str()));
  EXPECT_EQ(ReadText(file_),
            "; Settings written by a Windows tool\r\n"
            "\r\n"
            "[ intl ]\r\n"
            "sShortDate=M/d/yy\r\n"
            "\r\n");
  EXPECT_EQ(Get("defaults", "LaterOnly"), "DEF");

  // Deleting what is not there changes nothing and creates nothing.
  std::string missing = dir_ / "absent.ini";
  EXPECT_TRUE(IniWriteString("a", "b", nullptr, missing.c_str()));
  EXPECT_TRUE(IniWriteString("a", nullptr, nullptr, missing.c_str()));
  EXPECT_NE(access(missing.c_str(), F_OK), 0);
}

TEST_F(IniTest, CreatesFileAndSectionAndKeepsLineEndStyle) {
  std::string fresh = dir_ / "fresh.ini";
  ASSERT_TRUE(IniWriteString("S", "a", "1", fresh.c_str()));
  ASSERT_TRUE(IniWriteString("S", "b", "2", fresh.c_str()));
  EXPECT_EQ(ReadText(fresh), "[S]\na=1\nb=2\n");

  // A file that ends without a line break, with a byte-order mark.
  std::string bom = dir_ / "bom.ini";
  WriteText(bom, "\xEF\xBB\xBF[S]\r\na=1");
  ASSERT_TRUE(IniWriteString("s", "b", "2", bom.c_str()));
  EXPECT_EQ(ReadText(bom), "\xEF\xBB\xBF[S]\r\na=1\r\nb=2\r\n");
  EXPECT_EQ(IniString("S", "a", "", bom.c_str()), "1");
  ASSERT_TRUE(IniWriteString("S", nullptr, nullptr, bom.c_str()));
  EXPECT_EQ(ReadText(bom), "\xEF\xBB\xBF");

  // A last line cut after its CR: the value must not pick up the CR.
  std::string cr = dir_ / "cr.ini";
  WriteText(cr, "[S]\r\na=1\r");
  ASSERT_TRUE(IniWriteString("S", "b", "2", cr.c_str()));
  EXPECT_EQ(IniString("S", "a", "", cr.c_str()), "1");
  EXPECT_EQ(ReadText(cr), "[S]\r\na=1\r\nb=2\r\n");
  WriteText(cr, "[S]\r\na=1\r");
  ASSERT_TRUE(IniWriteString("T", "c", "3", cr.c_str()));
  EXPECT_EQ(ReadText(cr), "[S]\r\na=1\r\n[T]\r\nc=3\r\n");
}

TEST_F(IniTest, RefusesTextThatWouldCorruptTheFile) {
  struct Case {
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {
      {"Defaults", "k", "line1\r\n[Evil]\r\nx=1"}, {"Defaults", "k", "a\nb"}, {"Defaults", "k=x", "v"},
      {"Defaults", "[k", "v"},  {"Defaults", ";k", "v"}, {"Defaults", "", "v"}, {"Defaults", "a\nb", "v"},
      {"Def]aults", "k", "v"}, {"Def\naults", "k", "v"},  {nullptr, "k", "v"},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(IniWriteString(c.section, c.key, c.value, file_.c_str())) << (c.key ? c.key : "(null)");
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  }
  EXPECT_EQ(ReadText(file_), kWindowsIni);
}

TEST_F(IniTest, ChecksBuffers) {
  SetLastError(0);
  EXPECT_EQ(IniGetString("a", "b", "c", nullptr, 10, file_.c_str()), 0u);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  char out[4] = "xyz";
  EXPECT_EQ(IniGetString("a", "b", "c", out, 0, file_.c_str()), 0u);
  EXPECT_STREQ(out, "xyz");
  EXPECT_EQ(IniGetSection(nullptr, out, sizeof out, file_.c_str()), 0u);
  EXPECT_EQ(IniGetInt(nullptr, "k", 3, file_.c_str()), 3);
}

TEST_F(IniTest, FailsInAMissingFolderAndOnReadOnlyFiles) {
  std::string inMissing = dir_ / "no/such/folder/x.ini";
  SetLastError(0);
  EXPECT_FALSE(IniWriteString("a", "b", "c", inMissing.c_str()));
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
  if (geteuid() != 0) {
    chmod(file_.c_str(), 0444);
    EXPECT_FALSE(IniWriteString("Defaults", "k", "v", file_.c_str()));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    EXPECT_EQ(ReadText(file_), kWindowsIni);
  }
}

TEST_F(IniTest, KeepsPermissionsAndFollowsLinks) {
  chmod(file_.c_str(), 0640);
  std::string link = dir_ / "link.ini";
  ASSERT_EQ(symlink(file_.c_str(), link.c_str()), 0);
  ASSERT_TRUE(IniWriteString("Defaults", "New", "1", link.c_str()));
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(IniString("defaults", "new", "", file_.c_str()), "1");
}

int WriteFromChild(void* arg) {
  const char* file = static_cast<const char*>(arg);
  return IniWriteString("Defaults", "FTPDownload", "FromChild", file) ? 0 : 1;
}

TEST_F(IniTest, SeesWritesOfAnotherProcess) {
  EXPECT_EQ(Get("Defaults", "FTPDownload"), "Detect");
  ASSERT_EQ(test::RunInChild(WriteFromChild, file_.data()), 0);
  EXPECT_EQ(Get("Defaults", "FTPDownload"), "FromChild");
}

struct WriterArgs {
  const char* file;
  int id;
};

int ManyWrites(void* arg) {
  auto* a = static_cast<WriterArgs*>(arg);
  for (int i = 0; i < 25; ++i) {
    std::string key = "k" + std::to_string(a->id) + "_" + std::to_string(i);
    if (!IniWriteString("Shared", key.c_str(), std::to_string(i).c_str(), a->file)) return 1;
  }
  return 0;
}

TEST_F(IniTest, ConcurrentWritersLoseNothing) {
  std::string file = dir_ / "shared.ini";
  // Two processes, each with two threads, each writing its own keys. The
  // child is forked before any writer starts: a child forked in the middle of
  // a write would share the writer's locked file (a file lock belongs to the
  // open file, which fork hands on) and keep it locked for ever.
  std::vector<WriterArgs> args;
  for (int id = 0; id < 4; ++id) args.push_back({file.c_str(), id});
  auto twoThreads = [](void* arg) -> int {
    auto* pair = static_cast<WriterArgs*>(arg);
    int r0 = 0, r1 = 0;
    std::thread t([&] { r0 = ManyWrites(&pair[0]); });
    r1 = ManyWrites(&pair[1]);
    t.join();
    return r0 | r1;
  };
  pid_t child = test::StartChild(twoThreads, &args[2]);
  ASSERT_GT(child, 0);
  EXPECT_EQ(twoThreads(&args[0]), 0);
  EXPECT_EQ(test::WaitChild(child), 0);
  auto keys = IniKeyNames("shared", file.c_str());
  EXPECT_EQ(keys.size(), 100u);
  EXPECT_EQ(IniGetInt("Shared", "k3_24", -1, file.c_str()), 24);
}

TEST_F(IniTest, AChildForkedDuringAnEditDoesNotKeepTheFileLocked) {
  // A child forked while an edit holds the file's lock shares the open file
  // and keeps it open here until told to end; the lock must still end with
  // the edit.
  int hold[2];
  ASSERT_EQ(pipe(hold), 0);
  pid_t child = -1;
  ASSERT_TRUE(ini::EditFile(file_, false, [&](std::string&) {
    child = fork();
    if (child == 0) {
      char c;
      close(hold[1]);
      _exit(read(hold[0], &c, 1) < 0 ? 1 : 0);
    }
    return true;  // no change: the same file stays in place
  }));
  close(hold[0]);
  ASSERT_GT(child, 0);
  auto write = std::async(std::launch::async, [&] { return IniWriteString("Forked", "k", "2", file_.c_str()); });
  const bool finished = write.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  close(hold[1]);  // lets the child end (and with it a lock it kept)
  EXPECT_TRUE(finished) << "the forked child kept the file locked";
  EXPECT_TRUE(write.get());
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(IniString("Forked", "k", "", file_.c_str()), "2");
}

TEST_F(IniTest, BareNamesLiveInTheProgramFolder) {
  test::ScopedEnv program("KV_PROGRAM_DIR", dir_.Path().c_str());
  std::string winIni = dir_ / "system.ini";
  test::ScopedEnv win("KV_WIN_INI", winIni.c_str());
  WriteText(winIni, "[intl]\nsDecimal=,\n");
  ASSERT_TRUE(IniWriteString("S", "k", "v", "REPORT.INI"));
  EXPECT_EQ(ReadText(dir_ / "REPORT.INI"), "[S]\nk=v\n");
  EXPECT_EQ(IniString("s", "K", "", "report.ini"), "v");  // found whatever the case
  EXPECT_EQ(IniString("intl", "sDecimal", ".", "win.ini"), ",");
  EXPECT_EQ(IniString("intl", "sDecimal", ".", nullptr), ",");
  EXPECT_EQ(SystemIniPath(), winIni);
}

}  // namespace
}  // namespace kv
