// Test helpers for the profile code: a temporary profile directory that is
// registered as the engine's for the test's lifetime, and file helpers.
#ifndef ENGINE_CORE_PROFILE_TEST_SUPPORT_H
#define ENGINE_CORE_PROFILE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "engine/core/engine_state.h"
#include "platform/testsupport/files.h"

namespace vrn::test {

class TempProfileDir {
 public:
  TempProfileDir() {
    std::string pattern = testing::TempDir() + "profilesXXXXXX";
    char* made = mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    dir_ = pattern;
    saved_ = g_engine.slots[0].profileDir;
    g_engine.slots[0].profileDir = dir_ + "/";
  }
  ~TempProfileDir() {
    g_engine.slots[0].profileDir = saved_;
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(dir_, ec);
  }
  TempProfileDir(const TempProfileDir&) = delete;
  TempProfileDir& operator=(const TempProfileDir&) = delete;

  const std::string& path() const { return dir_; }
  std::string file(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
  std::string saved_;
};

// The source tree: KV_SOURCE_DIR, or the tree this file was compiled from.
inline std::string SourceDir() {
  const char* env = std::getenv("KV_SOURCE_DIR");
  if (env != nullptr && env[0] != '\0') return env;
  return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().string();
}

inline void WriteFile(const std::string& path, const std::string& data) { kv::test::WriteBytes(path, data); }

inline std::string ReadFile(const std::string& path) { return kv::test::ReadText(path); }

}  // namespace vrn::test

#endif
