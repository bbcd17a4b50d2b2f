#include "platform/base/debuglog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/base_testutil.h"

namespace kv {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(DebugLog, AppendsLinesToTheConfiguredFile) {
  test::TempFolder dir;
  std::string log = dir / "trace.log";
  test::ScopedEnv env("KV_DEBUG_LOG", log.c_str());
  EXPECT_EQ(DebugLogPath(), log);
  DebugOutput("first");
  DebugOutput(std::string("second\n"));  // no doubled line break
  DebugOutput(static_cast<const char*>(nullptr));
  EXPECT_EQ(test::ReadText(log), "first\nsecond\n\n");
}

TEST(DebugLog, DefaultsToTheProgramFolderAndCopiesToStderr) {
  test::TempFolder dir;
  test::ScopedEnv program("KV_PROGRAM_DIR", dir.Path().c_str());
  test::ScopedEnv log("KV_DEBUG_LOG", nullptr);
  test::ScopedEnv err("KV_DEBUG_STDERR", "1");
  testing::internal::CaptureStderr();
  DebugOutput("to both");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "to both\n");
  EXPECT_EQ(test::ReadText(dir / "debug.log"), "to both\n");
}

TEST(DebugLog, LinesOfThreadsDoNotMix) {
  test::TempFolder dir;
  std::string log = dir / "threads.log";
  test::ScopedEnv env("KV_DEBUG_LOG", log.c_str());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) DebugOutput("thread " + std::to_string(t) + " line " + std::to_string(i));
    });
  for (auto& th : threads) th.join();
  auto lines = Lines(test::ReadText(log));
  ASSERT_EQ(lines.size(), 800u);
  std::set<std::string> unique(lines.begin(), lines.end());
  EXPECT_EQ(unique.size(), 800u);
  for (const auto& l : lines) EXPECT_THAT(l, ::testing::MatchesRegex("thread [0-3] line [0-9]+"));
}

}  // namespace
}  // namespace kv
