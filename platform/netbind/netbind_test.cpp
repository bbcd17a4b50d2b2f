#include "platform/netbind/netbind.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string TestDir() {
  const char* d = getenv("KV_TEST_DIR");
  return d ? d : ".";
}

// True when the shared object at path is mapped in this process.
bool IsMapped(const std::string& path) {
  void* h = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (h == nullptr) return false;
  dlclose(h);
  return true;
}

// The function slots of the table, from the first socket slot to the last
// FTP slot, as they stand.
std::vector<const void*> SlotValues() {
  const char* first = reinterpret_cast<const char*>(&g_networkBinding.WSACleanup);
  const char* last = reinterpret_cast<const char*>(&g_networkBinding.FtpSetPassiveMode);
  std::vector<const void*> values;
  for (const char* p = first; p <= last; p += sizeof(void*)) {
    const void* value;
    std::memcpy(&value, p, sizeof value);
    values.push_back(value);
  }
  return values;
}

class NetBindTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* prog = getenv("KV_PROGRAM_DIR");
    savedProgramDir_ = prog ? prog : "";
    char tmpl[] = "/tmp/kv_netbind_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    tmp_ = tmpl;
    log_ = tmp_ + "/calls.log";
    setenv("KV_NETBIND_CALL_LOG", log_.c_str(), 1);
  }
  void TearDown() override {
    while (g_networkBinding.socketModule != nullptr || g_networkBinding.ftpModule != nullptr)
      ReleaseNetworkLibraries();
    setenv("KV_PROGRAM_DIR", savedProgramDir_.c_str(), 1);
    unsetenv("KV_NETBIND_CALL_LOG");
    std::error_code ec;
    fs::remove_all(tmp_, ec);
  }

  // Makes the given folder of test modules the program folder.
  std::string UseVariant(const std::string& variant) {
    std::string dir = TestDir() + "/netbind/" + variant;
    setenv("KV_PROGRAM_DIR", dir.c_str(), 1);
    return dir;
  }

  std::string Calls() const {
    std::ifstream in(log_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  std::string savedProgramDir_, tmp_, log_;
};

TEST_F(NetBindTest, CompleteModulesBindStartAndReleaseInOrder) {
  const std::string dir = UseVariant("complete");
  ASSERT_EQ(BindNetworkLibraries(), 1);
  EXPECT_NE(g_networkBinding.socketModule, nullptr);
  EXPECT_NE(g_networkBinding.ftpModule, nullptr);
  EXPECT_NE(g_networkBinding.accept, nullptr);
  EXPECT_NE(g_networkBinding.FtpSetPassiveMode, nullptr);
  EXPECT_EQ(g_networkBinding.wsaData.version, 0x0101);
  EXPECT_TRUE(IsMapped(dir + "/WSOCK32.so"));
  EXPECT_TRUE(IsMapped(dir + "/FTP4W32.so"));
  // FtpInit without a window comes before the socket start-up for 1.1.
  EXPECT_EQ(Calls(), "FtpInit 0\nWSAStartup 0101\n");
  // Every one of the 22 socket and 18 FTP slots is filled.
  EXPECT_EQ(SlotValues().size(), 40u);
  for (size_t i = 0; i < SlotValues().size(); ++i) EXPECT_NE(SlotValues()[i], nullptr) << "slot " << i;

  ReleaseNetworkLibraries();
  EXPECT_EQ(g_networkBinding.socketModule, nullptr);
  EXPECT_EQ(g_networkBinding.ftpModule, nullptr);
  EXPECT_EQ(Calls(), "FtpInit 0\nWSAStartup 0101\nWSACleanup\nFtpRelease\n");
  for (size_t i = 0; i < SlotValues().size(); ++i) EXPECT_EQ(SlotValues()[i], nullptr) << "slot " << i;
  EXPECT_FALSE(IsMapped(dir + "/WSOCK32.so"));
  EXPECT_FALSE(IsMapped(dir + "/FTP4W32.so"));
}

TEST_F(NetBindTest, AnyFailureLeavesNeitherModuleLoaded) {
  struct Case {
    const char* variant;
    const char* calls;  // what the modules saw
  } cases[] = {
      {"no_async_by_addr", ""},
      {"no_accept", ""},
      {"no_ftp_cwd", ""},
      {"no_ftp_release", ""},
      {"no_ftp_module", ""},
      // A failing start-up is a failed binding: the FTP side is released again.
      {"startup_fails", "FtpInit 0\nWSAStartup 0101\nFtpRelease\n"},
      {"no_such_folder", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variant);
    std::remove(log_.c_str());
    const std::string dir = UseVariant(c.variant);
    EXPECT_EQ(BindNetworkLibraries(), 0);
    EXPECT_EQ(g_networkBinding.socketModule, nullptr);
    EXPECT_EQ(g_networkBinding.ftpModule, nullptr);
    EXPECT_EQ(g_networkBinding.WSAStartup, nullptr);
    EXPECT_EQ(g_networkBinding.FtpInit, nullptr);
    EXPECT_FALSE(IsMapped(dir + "/WSOCK32.so"));
    EXPECT_FALSE(IsMapped(dir + "/FTP4W32.so"));
    EXPECT_EQ(Calls(), c.calls);
    // Nothing to release afterwards.
    ReleaseNetworkLibraries();
    EXPECT_EQ(Calls(), c.calls);
  }
}

TEST_F(NetBindTest, ReleaseWithoutBindingCallsNothing) {
  UseVariant("complete");
  ReleaseNetworkLibraries();
  ReleaseNetworkLibraries();
  EXPECT_EQ(Calls(), "");
}

TEST_F(NetBindTest, SecondClientKeepsTheModulesUntilTheLastRelease) {
  const std::string dir = UseVariant("complete");
  ASSERT_EQ(BindNetworkLibraries(), 1);
  ASSERT_EQ(BindNetworkLibraries(), 1);
  EXPECT_EQ(Calls(), "FtpInit 0\nWSAStartup 0101\n");

  ReleaseNetworkLibraries();
  EXPECT_NE(g_networkBinding.socketModule, nullptr);
  EXPECT_NE(g_networkBinding.ftpModule, nullptr);
  EXPECT_TRUE(IsMapped(dir + "/WSOCK32.so"));
  EXPECT_EQ(Calls(), "FtpInit 0\nWSAStartup 0101\n");

  ReleaseNetworkLibraries();
  EXPECT_EQ(g_networkBinding.socketModule, nullptr);
  EXPECT_EQ(Calls(), "FtpInit 0\nWSAStartup 0101\nWSACleanup\nFtpRelease\n");
  ReleaseNetworkLibraries();
  EXPECT_EQ(Calls(), "FtpInit 0\nWSAStartup 0101\nWSACleanup\nFtpRelease\n");
}

TEST_F(NetBindTest, BindsTheRealModulesOfTheProgramFolder) {
  if (savedProgramDir_.empty() || !fs::exists(savedProgramDir_ + "/WSOCK32.so") ||
      !fs::exists(savedProgramDir_ + "/FTP4W32.so"))
    GTEST_SKIP() << "modules not built";
  setenv("KV_PROGRAM_DIR", savedProgramDir_.c_str(), 1);
  ASSERT_EQ(BindNetworkLibraries(), 1);
  EXPECT_EQ(g_networkBinding.wsaData.version, 0x0101);
  EXPECT_EQ(g_networkBinding.htons_(0x1234), 0x3412);
  EXPECT_EQ(g_networkBinding.inet_addr("127.0.0.1"), 0x0100007Fu);
  ReleaseNetworkLibraries();
  EXPECT_EQ(g_networkBinding.socketModule, nullptr);
}

}  // namespace
