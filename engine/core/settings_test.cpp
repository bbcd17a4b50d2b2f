// The engine's folders, its two INI files, 64-bit file positions, zeroed
// memory and the start and stop of the charting library.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/core/engine_state.h"
#include "platform/base/files.h"
#include "platform/module/module.h"
#include "platform/testsupport/files.h"

namespace {

using kv::test::ReadText;

std::string MakeTempFolder() {
  std::string pattern = testing::TempDir() + "kvsettingsXXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const char* made = mkdtemp(buffer.data());
  return made != nullptr ? std::string(made) + "/" : std::string();
}

class EngineFolder : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder();
    ASSERT_FALSE(folder_.empty());
    ASSERT_EQ(system(("mkdir -p '" + folder_ + "kvm_log'").c_str()), 0);
    vrn::SetApplicationPath(folder_ + "libVornic.so");
  }
  void TearDown() override {
    vrn::SetApplicationPath("");
    system(("rm -rf '" + folder_ + "'").c_str());
  }
  std::string folder_;
};

TEST_F(EngineFolder, PathsLieUnderTheEngineFolder) {
  char out[VRN_PATH_SIZE];
  VRN_GetExePath(out);
  EXPECT_EQ(std::string(out), folder_);
  VRN_GetMainPath(out);
  EXPECT_EQ(std::string(out), folder_ + "kvm_log/");
  VRN_GetDatfilesPath(out);
  EXPECT_EQ(std::string(out), folder_ + "kvm_log/datfiles/");
  GetModuleIniPath(out);
  EXPECT_EQ(std::string(out), folder_ + "kvm_log/kvm_log.ini");
  GetBaseIniPath(out);
  EXPECT_EQ(std::string(out), folder_ + "kelvaron.ini");
  char* name = BuildBaseIniPath(out);
  EXPECT_STREQ(name, "kelvaron.ini");
  EXPECT_EQ(std::string(out), folder_ + "kelvaron.ini");
}

TEST(ApplicationPath, FolderOfTheGivenPath) {
  const struct {
    std::string given;
    std::string folder;
  } cases[] = {
      {"c:\\kv\\bin\\VORNIC.DLL", "c:/kv/bin/"},
      {"/opt/kv/libVornic.so", "/opt/kv/"},
      {"libVornic.so", ""},
      {"/" + std::string(300, 'a') + "/libVornic.so", "/"},  // cut to 255 characters: only the root is left
  };
  for (const auto& c : cases) {
    vrn::SetApplicationPath(c.given);
    EXPECT_EQ(vrn::EngineFolder(), c.folder) << c.given;
  }
  vrn::SetApplicationPath("");
}

TEST(ApplicationPath, PathOutputsAreBoundedBy260Characters) {
  vrn::SetApplicationPath("/" + std::string(240, 'f') + "/libVornic.so");
  struct {
    char out[VRN_PATH_SIZE];
    char canary[16];
  } g;
  std::memset(&g, 'Z', sizeof g);
  VRN_GetDatfilesPath(g.out);
  EXPECT_EQ(std::strlen(g.out), VRN_PATH_SIZE - 1u);
  for (char c : g.canary) EXPECT_EQ(c, 'Z');
  std::memset(&g, 'Z', sizeof g);
  const char* name = BuildBaseIniPath(g.out);
  EXPECT_GE(name, g.out);
  EXPECT_LT(name, g.out + VRN_PATH_SIZE);
  for (char c : g.canary) EXPECT_EQ(c, 'Z');
  VRN_GetMainPath(nullptr);  // no buffer: nothing written, no crash
  vrn::SetApplicationPath("");
}

TEST(ApplicationPath, InitFromAModuleTakesItsFolder) {
  const char* programDir = std::getenv("KV_PROGRAM_DIR");
  ASSERT_NE(programDir, nullptr);
  KvModule module = KvLoadModule("GSWDLL32.dll");
  ASSERT_NE(module, nullptr);
  VRN_InitApplicationPath(module);
  std::string expected = programDir;
  if (expected.back() != '/') expected += '/';
  char out[VRN_PATH_SIZE];
  VRN_GetExePath(out);
  char real[PATH_MAX];
  ASSERT_NE(realpath(expected.c_str(), real), nullptr);
  EXPECT_EQ(std::string(out), std::string(real) + "/");
  KvFreeModule(module);
  vrn::SetApplicationPath("");
}

TEST(ApplicationPath, DefaultsToTheModuleHoldingTheEngine) {
  // Here the engine is linked into the test program itself.
  vrn::SetApplicationPath("");
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = '\0';
  const std::string program(exe);
  EXPECT_EQ(vrn::EngineFolder(), program.substr(0, program.rfind('/') + 1));
  EXPECT_NE(vrn::OwnModule(), nullptr);
  vrn::SetApplicationPath("");
}

TEST_F(EngineFolder, IniAccessorsReadAndWriteTheirOwnFiles) {
  EXPECT_TRUE(WriteModuleProfileInt("Defaults", "Negative", -1));
  EXPECT_TRUE(WriteModuleProfileInt("Defaults", "Big", 2147483647));
  EXPECT_TRUE(WriteModuleProfileString("Defaults", "FTPDownload", "Once"));
  EXPECT_TRUE(WriteBaseProfileInt("Main", "Debug", -7));
  EXPECT_TRUE(WriteBaseProfileString("Language", "Country", "AU"));

  const std::string module = ReadText(folder_ + "kvm_log/kvm_log.ini");
  EXPECT_NE(module.find("Negative=-1"), std::string::npos) << module;
  EXPECT_EQ(module.find("4294967295"), std::string::npos) << module;
  EXPECT_NE(module.find("Big=2147483647"), std::string::npos) << module;
  EXPECT_EQ(module.find("Country"), std::string::npos) << "base keys stay in the base file";
  EXPECT_NE(ReadText(folder_ + "kelvaron.ini").find("Debug=-7"), std::string::npos);

  EXPECT_EQ(GetModuleProfileInt("defaults", "negative", 5), -1);
  EXPECT_EQ(GetModuleProfileInt("Defaults", "Missing", 5), 5);
  EXPECT_EQ(GetBaseProfileInt("Main", "Debug", 0), -7);
  EXPECT_EQ(GetBaseProfileInt("Defaults", "Negative", 3), 3);

  char text[8];
  std::memset(text, 'Z', sizeof text);
  EXPECT_EQ(GetModuleProfileString("Defaults", "FTPDownload", "Detect", text, 3), 2u);
  EXPECT_STREQ(text, "On");
  EXPECT_EQ(text[3], 'Z');
  EXPECT_EQ(GetBaseProfileString("Language", "Country", "US", text, sizeof text), 2u);
  EXPECT_STREQ(text, "AU");
  EXPECT_EQ(GetBaseProfileString("Language", "Missing", "US", text, sizeof text), 2u);
  EXPECT_STREQ(text, "US");
  EXPECT_EQ(vrn::GetModuleProfileStr("Defaults", "FTPDownload", ""), "Once");
  EXPECT_EQ(vrn::GetBaseProfileStr("Language", "Country", ""), "AU");
}

TEST_F(EngineFolder, SeekAndSizeBeyondFourGigabytes) {
  const std::string path = folder_ + "big.bin";
  KvFile file = kv::FileOpen(path.c_str(), kv::kFileReadWrite, kv::FileDisposition::kCreateAlways);
  ASSERT_NE(file, KV_INVALID_FILE);
  EXPECT_EQ(vrn::SeekFile64(file, 0x40000000u, 1, kv::kSeekBegin), 0x140000000LL);
  uint32_t done = 0;
  ASSERT_TRUE(kv::FileWrite(file, "x", 1, &done));
  EXPECT_EQ(vrn::GetFileSize64(file), 0x140000001LL);
  EXPECT_EQ(vrn::SeekFile64(file, 0xFFFFFFFFu, -1, kv::kSeekCurrent), 0x140000000LL);  // back one byte
  EXPECT_EQ(vrn::SeekFile64(file, 0, 0, kv::kSeekEnd), 0x140000001LL);
  EXPECT_EQ(vrn::SeekFile64(file, 0xFFFFFFFEu, -1, kv::kSeekBegin), -1) << "before the start";
  EXPECT_TRUE(kv::FileClose(file));
  EXPECT_EQ(vrn::SeekFile64(file, 0, 0, kv::kSeekBegin), -1) << "closed handle";
  EXPECT_EQ(vrn::SeekFile64(KV_INVALID_FILE, 0, 0, kv::kSeekBegin), -1);
  kv::FileDelete(path.c_str());
}

TEST(AllocZeroed, BlocksAreZeroFilled) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{4096}}) {
    auto* block = static_cast<unsigned char*>(vrn::AllocZeroed(size));
    ASSERT_NE(block, nullptr);
    for (size_t i = 0; i < size; ++i) ASSERT_EQ(block[i], 0);
    std::free(block);
  }
}

// Records what the engine shows through the client's error display.
std::vector<std::string> g_shown;
int32_t RecordError(KvWindow owner, const char* caption, const char* text, uint32_t a4, uint32_t a5, uint32_t a6) {
  EXPECT_EQ(owner, 0u);
  EXPECT_EQ(a4 + a5 + a6, 0u);
  g_shown.push_back(std::string(caption ? caption : "") + "|" + (text ? text : ""));
  return 0;
}

TEST(ChartingLibrary, StartsOnceByTheClientAndStopsAgain) {
  g_shown.clear();
  glpfnDisplayReportError = &RecordError;
  vrn::g_engine.gswStartResult = 1;

  InitGSWLibrary(0, 0);  // the per-run start does nothing on this system
  EXPECT_NE(vrn::g_engine.gswStartResult, 0u);
  InitGSWLibrary(1, 0);
  EXPECT_EQ(vrn::g_engine.gswStartResult, 0u);
  InitGSWLibrary(1, 0);  // already running
  EXPECT_EQ(vrn::g_engine.gswStartResult, 0u);
  vrn::ReleaseGSWLibrary(0);
  EXPECT_EQ(vrn::g_engine.gswStartResult, 0u);
  vrn::ReleaseGSWLibrary(1);
  EXPECT_NE(vrn::g_engine.gswStartResult, 0u);
  EXPECT_TRUE(g_shown.empty());
  glpfnDisplayReportError = nullptr;
}

TEST(ChartingLibrary, FailedStartIsShownAndDisablesGraphing) {
  const std::string saved = std::getenv("KV_PROGRAM_DIR") ? std::getenv("KV_PROGRAM_DIR") : "";
  const std::string empty = MakeTempFolder();
  setenv("KV_PROGRAM_DIR", empty.c_str(), 1);
  g_shown.clear();
  glpfnDisplayReportError = &RecordError;
  vrn::g_engine.gswStartResult = 1;

  InitGSWLibrary(1, 0);
  EXPECT_NE(vrn::g_engine.gswStartResult, 0u);
  ASSERT_EQ(g_shown.size(), 1u);
  EXPECT_EQ(g_shown[0],
            "Kelvaron|Graphics library failed to load. Graphing will be disabled. Try killing the \"GSW32.exe\" from "
            "the Task Manager and restart Kelvaron.");
  vrn::ReleaseGSWLibrary(1);  // nothing was started: nothing to stop
  EXPECT_EQ(g_shown.size(), 1u);

  glpfnDisplayReportError = nullptr;
  InitGSWLibrary(1, 0);  // without a display function the failure is silent
  setenv("KV_PROGRAM_DIR", saved.c_str(), 1);
  rmdir(empty.c_str());
}

}  // namespace
