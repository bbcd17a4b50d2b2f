#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <stdexcept>

#include "platform/testsupport/files.h"
#include "platform/testsupport/ports.h"
#include "platform/testsupport/process.h"
#include "platform/testsupport/tempdir.h"
#include "platform/testsupport/timezone.h"

namespace {

using namespace kv::test;

TEST(TestSupport, TempFolderHoldsFilesAndIsRemoved) {
  std::string path;
  {
    TempFolder dir;
    path = dir.Path();
    ASSERT_TRUE(std::filesystem::is_directory(path));
    WriteText(dir / "a.txt", std::string("x\0y\r\n", 5));
    EXPECT_EQ(ReadText(dir / "a.txt"), std::string("x\0y\r\n", 5));
    EXPECT_EQ(ReadText(dir / "missing"), "");
    EXPECT_TRUE(WriteBytes(dir / "b.bin", "b"));
    EXPECT_FALSE(WriteBytes(dir / "no/such/file", "x"));
    EXPECT_THROW(WriteText(dir / "no/such/file", "x"), std::runtime_error);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(TestSupport, ScopedTimeZoneRestoresTheOldValue) {
  setenv("TZ", "UTC", 1);
  {
    ScopedTimeZone zone("EST5");
    EXPECT_STREQ(getenv("TZ"), "EST5");
  }
  EXPECT_STREQ(getenv("TZ"), "UTC");
  unsetenv("TZ");
  { ScopedTimeZone zone("UTC"); }
  EXPECT_EQ(getenv("TZ"), nullptr);
}

TEST(TestSupport, UtcSecondsIgnoresTheZone) {
  ScopedTimeZone zone("EST5");
  EXPECT_EQ(UtcSeconds(1970, 1, 2, 0), 86400u);
  EXPECT_EQ(UtcSeconds(2024, 2, 29, 23, 59, 59), 1709251199u);
}

TEST(TestSupport, FreePortIsClosedUntilSomeoneListens) {
  const uint16_t port = FreePort();
  EXPECT_NE(port, 0);
  EXPECT_FALSE(CanConnect(port));
  EXPECT_FALSE(WaitForPort(port, 2));
}

TEST(TestSupport, ChildExitStatus) {
  static int code = 7;
  EXPECT_EQ(RunInChild([](void* arg) { return *static_cast<int*>(arg); }, &code), 7);
}

}  // namespace
