#include "platform/base/files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utime.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/base/base_testutil.h"
#include "platform/base/lasterror.h"
#include "platform/base/paths.h"
#include "platform/testsupport/sanitizers.h"

#if defined(__GNUC__) && !defined(__clang__)
// The replacement pair below is matched; GCC cannot see that across inlining.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// Counts the allocations of the calling thread, to show that the per-call
// file functions make none.
static thread_local long t_allocations = 0;

#ifdef KV_TEST_SANITIZER_ALLOCATOR
// A sanitizer's runtime owns operator new; its allocator reports every
// allocation, operator new's included, to an installed hook instead.
#include <sanitizer/allocator_interface.h>
namespace {
void CountAllocation(const volatile void*, size_t) { ++t_allocations; }
void IgnoreFree(const volatile void*) {}
const int kHookInstalled = __sanitizer_install_malloc_and_free_hooks(CountAllocation, IgnoreFree);
}  // namespace
#else
void* operator new(size_t size) {
  ++t_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#endif

namespace kv {
namespace {

using test::ReadText;
using test::ScopedEnv;
using test::WriteText;

TEST(Paths, MapsSeparatorsAndDriveLetters) {
  struct Case {
    const char* root;  // KV_DRIVE_ROOT, null = unset
    const char* path;
    const char* expected;
  } cases[] = {
      {nullptr, "c:\\logs\\x.log", "/logs/x.log"},
      {nullptr, "C:/logs/x.log", "/logs/x.log"},
      {nullptr, "c:\\", "/"},
      {nullptr, "c:", "/"},
      {nullptr, "d:x.log", "/x.log"},
      {"/srv/c", "c:\\logs\\x.log", "/srv/c/logs/x.log"},
      {"/srv/c/", "C:\\\\logs", "/srv/c/logs"},
      {"/srv/c", "/tmp/x", "/tmp/x"},          // POSIX paths are not moved
      {"/srv/c", "\\tmp\\x", "/tmp/x"},
      {nullptr, "logs\\sub\\", "logs/sub/"},  // relative stays relative
      {nullptr, "", ""},
  };
  for (const auto& c : cases) {
    ScopedEnv root("KV_DRIVE_ROOT", c.root);
    EXPECT_EQ(ToNativePath(c.path), c.expected) << c.path;
  }
}

TEST(Paths, FindsExistingNamesWhateverTheirCase) {
  test::TempFolder dir;
  ASSERT_EQ(mkdir((dir / "Logs").c_str(), 0777), 0);
  ASSERT_EQ(mkdir((dir / "Logs/Sub").c_str(), 0777), 0);
  WriteText(dir / "Logs/Sub/Access.LOG", "x");
  ScopedEnv root("KV_DRIVE_ROOT", dir.Path().c_str());
  struct Case {
    const char* path;
    std::string expected;
  } cases[] = {
      {"c:\\LOGS\\sub\\access.log", dir / "Logs/Sub/Access.LOG"},
      {"c:\\logs\\SUB\\new.log", dir / "Logs/Sub/new.log"},  // new file in the existing folder
      {"c:\\logs\\missing\\Sub", dir / "Logs/missing/Sub"},  // nothing after a missing part is searched
      {"c:\\Logs\\Sub\\Access.LOG", dir / "Logs/Sub/Access.LOG"},
  };
  for (const auto& c : cases) EXPECT_EQ(ResolvePath(c.path), c.expected) << c.path;

  // Through the file functions.
  KvFile f = FileOpen("C:\\LOGS\\SUB\\ACCESS.LOG", kFileRead, FileDisposition::kOpenExisting);
  ASSERT_NE(f, KV_INVALID_FILE);
  char ch = 0;
  uint32_t done = 0;
  EXPECT_TRUE(FileRead(f, &ch, 1, &done));
  EXPECT_EQ(ch, 'x');
  EXPECT_TRUE(FileClose(f));
  EXPECT_TRUE(FolderExists("c:/logs/sub/"));
}

void KnownFoldersProbe() {}

TEST(Paths, KnownFolders) {
  {
    ScopedEnv program("KV_PROGRAM_DIR", "/opt/prog");
    EXPECT_EQ(ProgramFolder(), "/opt/prog/");
    char out[6];
    EXPECT_EQ(GetProgramFolder(out, sizeof out), 10u);  // full length: the text was cut
    EXPECT_STREQ(out, "/opt/");
  }
  {
    ScopedEnv program("KV_PROGRAM_DIR", nullptr);
    std::string folder = ProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '/');
    EXPECT_EQ(access((folder + "platform_base_files_test").c_str(), X_OK), 0) << folder;
  }
  std::string lib = ModuleFileFromAddress(reinterpret_cast<const void*>(&FileOpen));
  EXPECT_THAT(lib, ::testing::EndsWith("/libkvplat_base.so"));
  EXPECT_EQ(ModuleFileFromAddress(nullptr), "");
  char self[4096];
  ASSERT_NE(realpath("/proc/self/exe", self), nullptr);
  EXPECT_EQ(ModuleFileFromAddress(reinterpret_cast<const void*>(&KnownFoldersProbe)), self);
  char buf[8];
  EXPECT_GT(GetModuleFileFromAddress(reinterpret_cast<const void*>(&FileOpen), buf, sizeof buf), 8u);
  EXPECT_EQ(std::strlen(buf), 7u);
  {
    ScopedEnv tmp("TMPDIR", "/var/tmp");
    EXPECT_EQ(TempFolder(), "/var/tmp/");
  }
  test::TempFolder dir;
  std::string old = CurrentFolder();
  ASSERT_TRUE(SetCurrentFolder(dir.Path().c_str()));
  char real[4096];
  ASSERT_NE(realpath(dir.Path().c_str(), real), nullptr);
  EXPECT_EQ(CurrentFolder(), real);
  ASSERT_TRUE(SetCurrentFolder(old.c_str()));
  EXPECT_FALSE(SetCurrentFolder((dir / "missing").c_str()));
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
}

class FilesTest : public ::testing::Test {
 protected:
  test::TempFolder dir_;
  std::string P(const char* name) { return dir_ / name; }
};

TEST_F(FilesTest, ReadWriteSeekSetEnd) {
  std::string path = P("data.bin");
  KvFile f = FileOpen(path.c_str(), kFileReadWrite, FileDisposition::kCreateNew);
  ASSERT_NE(f, KV_INVALID_FILE);
  uint32_t done = 0;
  ASSERT_TRUE(FileWrite(f, "hello world", 11, &done));
  EXPECT_EQ(done, 11u);
  EXPECT_EQ(FileSize(f), 11);
  EXPECT_EQ(FileSeek(f, -5, kSeekEnd), 6);
  char buf[16] = {};
  ASSERT_TRUE(FileRead(f, buf, sizeof buf, &done));
  EXPECT_EQ(done, 5u);  // short count at the end is success
  EXPECT_STREQ(buf, "world");
  ASSERT_TRUE(FileRead(f, buf, sizeof buf, &done));
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(FileSeek(f, 5, kSeekBegin), 5);
  EXPECT_TRUE(FileSetEnd(f));
  EXPECT_EQ(FileSize(f), 5);
  EXPECT_EQ(FileSeek(f, -6, kSeekCurrent), -1);  // before the start
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  EXPECT_EQ(FileTell(f), 5);
  EXPECT_TRUE(FileClose(f));
  EXPECT_EQ(ReadText(path), "hello");
}

TEST_F(FilesTest, ReadWriteSeekSizeAllocateNothing) {
  KvFile f = FileOpen(P("hot.bin").c_str(), kFileReadWrite, FileDisposition::kCreateAlways);
  ASSERT_NE(f, KV_INVALID_FILE);
  char buf[64] = "0123456789";
  uint32_t done = 0;
  bool ok = true;
#ifdef KV_TEST_SANITIZER_ALLOCATOR
  ASSERT_EQ(kHookInstalled, 1) << "no allocation would be counted";
#endif
  long before = t_allocations;
  for (int i = 0; i < 100; ++i) {
    ok = ok && FileWrite(f, buf, 10, &done);
    ok = ok && FileSeek(f, -10, kSeekCurrent) >= 0;
    ok = ok && FileRead(f, buf, 10, &done);
    ok = ok && FileSize(f) == (i + 1) * 10 && FileTell(f) == (i + 1) * 10;
  }
  long after = t_allocations;
  EXPECT_TRUE(ok);
  EXPECT_EQ(after, before);
  EXPECT_TRUE(FileClose(f));
}

TEST_F(FilesTest, Dispositions) {
  std::string path = P("d.txt");
  struct Case {
    FileDisposition disposition;
    bool exists;
    bool opens;
    uint32_t error;
    const char* contentAfter;  // null: no file
  } cases[] = {
      {FileDisposition::kCreateNew, false, true, 0, ""},
      {FileDisposition::kCreateNew, true, false, kErrorFileExists, "old"},
      {FileDisposition::kCreateAlways, true, true, 0, ""},
      {FileDisposition::kOpenExisting, false, false, kErrorFileNotFound, nullptr},
      {FileDisposition::kOpenExisting, true, true, 0, "old"},
      {FileDisposition::kOpenAlways, false, true, 0, ""},
      {FileDisposition::kOpenAlways, true, true, 0, "old"},
      {FileDisposition::kTruncateExisting, true, true, 0, ""},
      {FileDisposition::kTruncateExisting, false, false, kErrorFileNotFound, nullptr},
  };
  for (const auto& c : cases) {
    unlink(path.c_str());
    if (c.exists) WriteText(path, "old");
    SetLastError(0);
    KvFile f = FileOpen(path.c_str(), kFileReadWrite, c.disposition);
    EXPECT_EQ(f != KV_INVALID_FILE, c.opens) << static_cast<int>(c.disposition);
    if (f != KV_INVALID_FILE) FileClose(f);
    if (!c.opens) {
      EXPECT_EQ(GetLastError(), c.error) << static_cast<int>(c.disposition);
    }
    if (c.contentAfter) {
      EXPECT_EQ(ReadText(path), c.contentAfter);
    } else {
      EXPECT_NE(access(path.c_str(), F_OK), 0);
    }
  }
  SetLastError(0);
  EXPECT_EQ(FileOpen(P("no/such/x").c_str(), kFileRead, FileDisposition::kOpenExisting), KV_INVALID_FILE);
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
  EXPECT_EQ(FileOpen(dir_.Path().c_str(), kFileRead, FileDisposition::kOpenExisting), KV_INVALID_FILE);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
}

TEST_F(FilesTest, BadArgumentsAndHandlesAreErrors) {
  char buf[4];
  uint32_t done = 7;
  struct Case {
    const char* what;
    bool ok;
    uint32_t error;
  } cases[] = {
      {"read invalid", FileRead(KV_INVALID_FILE, buf, 4, &done), kErrorInvalidHandle},
      {"read closed", FileRead(1000000, buf, 4, nullptr), kErrorInvalidHandle},
      {"write invalid", FileWrite(KV_INVALID_FILE, buf, 4, nullptr), kErrorInvalidHandle},
      {"close invalid", FileClose(KV_INVALID_FILE), kErrorInvalidHandle},
      {"close unknown", FileClose(999999), kErrorInvalidHandle},
      {"write zero handle", FileWrite(0, buf, 4, nullptr), kErrorInvalidHandle},
      {"write stdout", FileWrite(1, buf, 0, nullptr), kErrorInvalidHandle},
      {"close stderr", FileClose(2), kErrorInvalidHandle},
      {"seek invalid", FileSeek(KV_INVALID_FILE, 0, kSeekBegin) >= 0, kErrorInvalidHandle},
      {"size invalid", FileSize(123456) >= 0, kErrorInvalidHandle},
      {"open null", FileOpen(nullptr, kFileRead, FileDisposition::kOpenExisting) != KV_INVALID_FILE,
       kErrorInvalidParameter},
      {"open no access", FileOpen(P("x").c_str(), 0, FileDisposition::kOpenAlways) != KV_INVALID_FILE,
       kErrorInvalidParameter},
      {"delete null", FileDelete(nullptr), kErrorInvalidParameter},
      {"copy null", FileCopy(nullptr, "x", false), kErrorInvalidParameter},
      {"find empty", !FindFiles("").empty(), kErrorInvalidParameter},
  };
  for (const auto& c : cases) EXPECT_FALSE(c.ok) << c.what;
  EXPECT_EQ(done, 0u);
  // Error codes are per thread, so check them one by one.
  SetLastError(0);
  FileRead(KV_INVALID_FILE, buf, 4, nullptr);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  FileOpen(nullptr, kFileRead, FileDisposition::kOpenExisting);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  KvFile f = FileOpen(P("ok").c_str(), kFileWrite, FileDisposition::kCreateAlways);
  ASSERT_NE(f, KV_INVALID_FILE);
  EXPECT_FALSE(FileRead(f, nullptr, 4, nullptr));
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  EXPECT_FALSE(FileSeek(f, 0, 7) >= 0);
  EXPECT_TRUE(FileClose(f));
  EXPECT_FALSE(FileClose(f));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

int OpenWithoutStandardStreams(void* arg) {
  close(0);
  close(1);
  KvFile f = FileOpen(static_cast<const char*>(arg), kFileWrite, FileDisposition::kCreateAlways);
  if (f < 3) return 1;
  return FileWrite(f, "ok", 2, nullptr) && FileClose(f) ? 0 : 2;
}

TEST_F(FilesTest, NeverHandsOutTheStandardStreamNumbers) {
  std::string path = P("daemon.txt");
  EXPECT_EQ(test::RunInChild(OpenWithoutStandardStreams, path.data()), 0);
  EXPECT_EQ(ReadText(path), "ok");
}

TEST_F(FilesTest, SeeksPastFourGigabytesOnASparseFile) {
  std::string path = P("sparse.bin");
  KvFile f = FileOpen(path.c_str(), kFileReadWrite, FileDisposition::kCreateAlways);
  ASSERT_NE(f, KV_INVALID_FILE);
  const int64_t far = (int64_t{5} << 30) + 123;  // 5 GiB + 123
  ASSERT_EQ(FileSeek(f, far, kSeekBegin), far);
  if (!FileWrite(f, "END", 3, nullptr)) {
    FileClose(f);
    GTEST_SKIP() << "file system refuses a 5 GiB sparse file";
  }
  EXPECT_EQ(FileSize(f), far + 3);
  EXPECT_EQ(FileSeek(f, -3, kSeekEnd), far);
  char buf[4] = {};
  uint32_t done = 0;
  ASSERT_TRUE(FileRead(f, buf, 3, &done));
  EXPECT_STREQ(buf, "END");
  EXPECT_EQ(FileSeek(f, far - (int64_t{4} << 30), kSeekBegin), far - (int64_t{4} << 30));
  EXPECT_EQ(FileSeek(f, int64_t{4} << 30, kSeekCurrent), far);  // relative step past 32 bits
  ASSERT_TRUE(FileRead(f, buf, 3, &done));
  EXPECT_STREQ(buf, "END");
  EXPECT_EQ(FileSeek(f, int64_t{1} << 32, kSeekBegin), int64_t{1} << 32);
  ASSERT_TRUE(FileRead(f, buf, 1, &done));
  EXPECT_EQ(buf[0], '\0');  // the hole reads as zero
  EXPECT_TRUE(FileClose(f));
  FileInfo info;
  ASSERT_TRUE(GetFileInfo(path.c_str(), &info));
  EXPECT_EQ(info.size, static_cast<uint64_t>(far + 3));
}

TEST_F(FilesTest, CopyMoveRenameDelete) {
  std::string a = P("a.txt"), b = P("b.txt"), c = P("c.txt");
  WriteText(a, "alpha");
  struct utimbuf old = {1000000000, 1000000000};
  ASSERT_EQ(utime(a.c_str(), &old), 0);

  EXPECT_TRUE(FileCopy(a.c_str(), b.c_str(), true));
  EXPECT_EQ(ReadText(b), "alpha");
  FileInfo info;
  ASSERT_TRUE(GetFileInfo(b.c_str(), &info));
  EXPECT_EQ(info.writeTime, 1000000000);  // last-write time kept
  EXPECT_FALSE(FileCopy(a.c_str(), b.c_str(), true));
  EXPECT_EQ(GetLastError(), kErrorFileExists);
  WriteText(c, "gamma");
  EXPECT_TRUE(FileCopy(c.c_str(), b.c_str(), false));
  EXPECT_EQ(ReadText(b), "gamma");

  // A copy onto itself (also by another spelling) must not destroy the file.
  EXPECT_FALSE(FileCopy(a.c_str(), a.c_str(), false));
  EXPECT_FALSE(FileCopy(a.c_str(), P("A.TXT").c_str(), false));
  EXPECT_EQ(ReadText(a), "alpha");

  EXPECT_FALSE(FileRename(a.c_str(), b.c_str()));  // target exists
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  EXPECT_EQ(ReadText(b), "gamma");
  EXPECT_TRUE(FileRename(a.c_str(), P("renamed.txt").c_str()));
  EXPECT_FALSE(PathExists(a.c_str()));
  EXPECT_TRUE(FileRename(P("RENAMED.TXT").c_str(), P("Renamed.Txt").c_str()));  // change of case only
  EXPECT_THAT(FindFiles(P("*").c_str()),
              ::testing::Contains(::testing::Field(&FileInfo::name, "Renamed.Txt")));

  EXPECT_FALSE(FileMove(c.c_str(), b.c_str(), false));
  EXPECT_TRUE(FileMove(c.c_str(), b.c_str(), true));
  EXPECT_EQ(ReadText(b), "gamma");
  EXPECT_FALSE(PathExists(c.c_str()));

  EXPECT_TRUE(FileDelete(b.c_str()));
  EXPECT_FALSE(FileDelete(b.c_str()));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_FALSE(FileDelete(P("nofolder/x").c_str()));
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
}

TEST_F(FilesTest, MovesAcrossFileSystems) {
  // /dev/shm is usually another file system than the test folder.
  struct statvfs shm, here;
  if (statvfs("/dev/shm", &shm) != 0 || statvfs(dir_.Path().c_str(), &here) != 0 || shm.f_fsid == here.f_fsid)
    GTEST_SKIP() << "no second file system";
  std::string src = P("cross.txt");
  std::string dst = "/dev/shm/kvbase_cross_" + std::to_string(getpid());
  WriteText(src, "across");
  EXPECT_FALSE(FileRename(src.c_str(), dst.c_str()));
  ASSERT_TRUE(FileMove(src.c_str(), dst.c_str(), false));
  EXPECT_EQ(ReadText(dst), "across");
  EXPECT_FALSE(PathExists(src.c_str()));
  unlink(dst.c_str());
}

TEST_F(FilesTest, Folders) {
  EXPECT_TRUE(CreateFolder(P("New").c_str()));
  EXPECT_FALSE(CreateFolder(P("new").c_str()));  // exists in another case
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  EXPECT_FALSE(CreateFolder(P("a/b").c_str()));
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
  WriteText(P("New/f"), "");
  EXPECT_FALSE(RemoveFolder(P("NEW").c_str()));
  EXPECT_EQ(GetLastError(), kErrorDirNotEmpty);
  EXPECT_FALSE(FileDelete(P("New").c_str()));  // not a file
  EXPECT_TRUE(FileDelete(P("new/F").c_str()));
  EXPECT_TRUE(RemoveFolder(P("NEW").c_str()));
  EXPECT_FALSE(FolderExists(P("New").c_str()));
}

TEST(Wildcards, MatchesLikeTheFileSearch) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"*", "anything.log", true},     {"*.*", "noext", true},       {"*.log", "EX990101.LOG", true},
      {"*.log", "x.log.gz", false},    {"ex??????.log", "ex990101.log", true},
      {"ex??????.log", "ex9901.log", false}, {"*a*b", "xxaxxbxxb", true}, {"a*", "", false},
      {"", "", true},                  {"?", "", false},              {"*.dir", "PROFILE.DIR", true},
      {"ex*", "in.log", false},        {"**x", "x", true},
  };
  for (const auto& c : cases) EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
  EXPECT_FALSE(WildcardMatch(nullptr, "x"));
}

TEST_F(FilesTest, FindsFilesByWildcard) {
  ASSERT_EQ(mkdir(P("Logs").c_str(), 0777), 0);
  WriteText(P("Logs/ex990102.log"), "22");
  WriteText(P("Logs/EX990101.LOG"), "1");
  WriteText(P("Logs/ex990101.log.gz"), "333");
  ASSERT_EQ(mkdir(P("Logs/Archive.log").c_str(), 0777), 0);
  struct utimbuf t = {1234567890, 1234567890};
  ASSERT_EQ(utime(P("Logs/ex990102.log").c_str(), &t), 0);

  ScopedEnv root("KV_DRIVE_ROOT", dir_.Path().c_str());
  auto found = FindFiles("c:\\LOGS\\ex*.log");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].name, "EX990101.LOG");
  EXPECT_EQ(found[0].size, 1u);
  EXPECT_FALSE(found[0].folder);
  EXPECT_EQ(found[1].name, "ex990102.log");
  EXPECT_EQ(found[1].writeTime, 1234567890);

  auto all = FindFiles("c:/logs/*.*");
  ASSERT_EQ(all.size(), 4u);  // no "." or ".."
  EXPECT_EQ(all[0].name, "Archive.log");
  EXPECT_TRUE(all[0].folder);

  EXPECT_TRUE(FindFiles("c:\\logs\\*.txt").empty());
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_TRUE(FindFiles("c:\\nologs\\*").empty());
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
  auto exact = FindFiles("c:\\logs\\EX990102.LOG");  // no wildcard: the one name
  ASSERT_EQ(exact.size(), 1u);
  EXPECT_EQ(exact[0].name, "ex990102.log");
}

}  // namespace
}  // namespace kv
