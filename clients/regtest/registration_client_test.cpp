// A client of the engine as the log analysis plug-in is one: it loads
// libVornic.so from the program folder at run time, registers with its
// English resource module, reads settings and texts, and deregisters.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/module/module.h"
#include <vornic/vornic.h>

namespace {

namespace fs = std::filesystem;

std::string ProgramDir() {
  const char* dir = std::getenv("KV_PROGRAM_DIR");
  std::string s = dir != nullptr ? dir : "";
  if (!s.empty() && s.back() != '/') s += '/';
  return s;
}

std::vector<std::string> g_shown;
int g_yields = 0;

int32_t ShowError(KvWindow, const char* caption, const char* text, uint32_t, uint32_t, uint32_t) {
  g_shown.push_back(std::string(caption != nullptr ? caption : "") + "|" + (text != nullptr ? text : ""));
  return 0;
}
int32_t ShowErrorOther(KvWindow, const char*, const char*, uint32_t, uint32_t, uint32_t) { return 0; }
int32_t Yield() {
  ++g_yields;
  return 1;
}

// The engine's exports, looked up in the loaded library.
class EngineClient : public testing::Test {
 protected:
  template <typename F>
  F Get(const char* name) {
    void* symbol = dlsym(library_, name);
    EXPECT_NE(symbol, nullptr) << name;
    return reinterpret_cast<F>(symbol);
  }

  void SetUp() override {
    const std::string dir = ProgramDir();
    ASSERT_FALSE(dir.empty()) << "KV_PROGRAM_DIR is set by the test runner";
    library_ = dlopen((dir + "libVornic.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    reg_ = Get<decltype(&VRN_Register)>("VRN_Register");
    dereg_ = Get<decltype(&VRN_DeRegister)>("VRN_DeRegister");
    errorText_ = Get<decltype(&ADT_GetErrorTxtMsg)>("ADT_GetErrorTxtMsg");
    setString_ = Get<decltype(&VRN_GetSetString)>("VRN_GetSetString");
    initPath_ = Get<decltype(&VRN_InitApplicationPath)>("VRN_InitApplicationPath");
    display_ = Get<VrnDisplayErrorFn*>("glpfnDisplayReportError");

    // The engine's folder: a temporary folder holding a copy of the
    // resource module, whose path becomes the engine's application path.
    std::string pattern = testing::TempDir() + "kvregclientXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
    fs::create_directories(folder_ + "kvm_log");
    fs::create_directories(folder_ + "profiles");
    fs::copy_file(dir + "kvm_log_en.so", folder_ + "kvm_log_en.so");
    resources_ = KvLoadModule((folder_ + "kvm_log_en.so").c_str());
    ASSERT_NE(resources_, nullptr);
    initPath_(resources_);
    g_shown.clear();
    g_yields = 0;
  }

  void TearDown() override {
    if (dereg_ != nullptr) {
      for (uint16_t slot = 0; slot < VRN_MAX_CLIENTS; ++slot) dereg_(slot);
    }
    if (resources_ != nullptr) KvFreeModule(resources_);
    if (library_ != nullptr) dlclose(library_);
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  int16_t Register(VrnDisplayErrorFn display, uint32_t* network = nullptr) {
    const std::string profiles = folder_ + "profiles/";
    return reg_(profiles.c_str(), 3, 11, &Yield, network, resources_, 0, 0, display);
  }

  std::string ErrorText(uint16_t id) {
    char out[128];
    errorText_(id, out, sizeof out);
    return out;
  }

  std::string SetString(uint16_t key) {
    char out[128];
    setString_(0, key, out, sizeof out);
    return out;
  }

  void* library_ = nullptr;
  std::string folder_;
  KvModule resources_ = nullptr;
  decltype(&VRN_Register) reg_ = nullptr;
  decltype(&VRN_DeRegister) dereg_ = nullptr;
  decltype(&ADT_GetErrorTxtMsg) errorText_ = nullptr;
  decltype(&VRN_GetSetString) setString_ = nullptr;
  decltype(&VRN_InitApplicationPath) initPath_ = nullptr;
  VrnDisplayErrorFn* display_ = nullptr;
};

TEST_F(EngineClient, RegistersReadsSettingsAndTexts) {
  auto writeString = Get<decltype(&WriteModuleProfileString)>("WriteModuleProfileString");
  auto writeInt = Get<decltype(&WriteModuleProfileInt)>("WriteModuleProfileInt");
  auto getInt = Get<decltype(&GetModuleProfileInt)>("GetModuleProfileInt");
  auto getString = Get<decltype(&GetModuleProfileString)>("GetModuleProfileString");
  auto mainPath = Get<decltype(&VRN_GetMainPath)>("VRN_GetMainPath");
  ASSERT_NE(writeString, nullptr);

  char path[VRN_PATH_SIZE];
  mainPath(path);
  EXPECT_EQ(fs::path(path), fs::path(folder_ + "kvm_log/"));
  ASSERT_TRUE(writeString("Defaults", "FTPDownload", "Once"));
  ASSERT_TRUE(writeInt("Defaults", "DNSTimeout", -1));
  EXPECT_EQ(getInt("defaults", "dnstimeout", 25), -1);

  uint32_t network = 99;
  ASSERT_EQ(Register(&ShowError, &network), 0);
  EXPECT_TRUE(network == 0 || network == 1) << network;
  EXPECT_EQ(*display_, &ShowError);

  char text[32];
  EXPECT_EQ(getString("Defaults", "FTPDownload", "Detect", text, sizeof text), 4u);
  EXPECT_STREQ(text, "Once");
  EXPECT_EQ(ErrorText(5614), "Unresolved");
  EXPECT_EQ(ErrorText(5716), "Unable to extract the ZIP archive %s.");
  EXPECT_EQ(ErrorText(5748), "Undefined Error");
  EXPECT_EQ(SetString(0), "Profile Name");
  EXPECT_EQ(SetString(31), "Unknown StringID=1f");

  auto normalize = Get<decltype(&NormalizeLogPath)>("NormalizeLogPath");
  char log[VRN_PATH_SIZE] = "..\\logs\\50%.log";
  normalize(log, "c:\\app\\profiles\\");
  EXPECT_STREQ(log, "c:\\app\\logs\\50%.log");
  auto mktimeEx = Get<decltype(&Y2K_mktimeEx)>("Y2K_mktimeEx");
  uint32_t seconds = 0;
  mktimeEx(0, 0, 0, 1, 29, 0, &seconds);
  EXPECT_EQ(seconds, 951782400u);

  dereg_(0);
  EXPECT_EQ(*display_, nullptr);
  EXPECT_EQ(ErrorText(5614), "Undefined Error") << "no client, no texts";
}

TEST_F(EngineClient, SecondClientKeepsWorkingAfterTheFirstLeaves) {
  ASSERT_EQ(Register(&ShowError), 0);
  ASSERT_EQ(Register(&ShowErrorOther), 1);
  EXPECT_EQ(SetString(8448), "Report Style");

  dereg_(0);
  EXPECT_EQ(ErrorText(5615), "Numeric IP Address");
  EXPECT_EQ(SetString(16384), "Status Codes");
  EXPECT_EQ(*display_, &ShowErrorOther);

  // The freed slot is taken again, up to four clients at a time.
  EXPECT_EQ(Register(&ShowError), 0);
  EXPECT_EQ(Register(&ShowError), 2);
  EXPECT_EQ(Register(&ShowError), 3);
  EXPECT_EQ(Register(&ShowError), -1);
  for (uint16_t slot = 0; slot < VRN_MAX_CLIENTS; ++slot) dereg_(slot);
  EXPECT_EQ(Register(&ShowError), 0);
  dereg_(0);
}

TEST_F(EngineClient, ChartingFailureReachesTheClientsErrorDisplay) {
  auto initGsw = Get<decltype(&InitGSWLibrary)>("InitGSWLibrary");
  ASSERT_EQ(Register(&ShowError), 0);
  initGsw(1, 0);
  EXPECT_TRUE(g_shown.empty()) << "the charting module of the program folder starts";
  dereg_(0);  // stops it again

  ASSERT_EQ(Register(&ShowError), 0);
  const std::string saved = ProgramDir();
  setenv("KV_PROGRAM_DIR", folder_.c_str(), 1);  // a folder without the charting module
  initGsw(1, 0);
  setenv("KV_PROGRAM_DIR", saved.c_str(), 1);
  ASSERT_EQ(g_shown.size(), 1u);
  EXPECT_EQ(g_shown[0].substr(0, 41), "Kelvaron|Graphics library failed to load.");
  dereg_(0);
}

TEST_F(EngineClient, RealtimeAbortAndSetListQueries) {
  auto abortRealtime = Get<decltype(&VRN_AbortRealtimeAnalysis)>("VRN_AbortRealtimeAnalysis");
  auto query = Get<decltype(&VRN_QuerySetListChange)>("VRN_QuerySetListChange");
  auto notify = Get<decltype(&VRN_NotifyIniFileChanged)>("VRN_NotifyIniFileChanged");
  auto setCancel = Get<decltype(&VRN_SetCancelBOOL)>("VRN_SetCancelBOOL");
  auto setWindow = Get<decltype(&VRN_SetProgressHWND)>("VRN_SetProgressHWND");
  ASSERT_EQ(Register(&ShowError), 0);
  EXPECT_EQ(abortRealtime(nullptr), 0u);
  uint32_t counter = 0;
  EXPECT_EQ(query(&counter), 0u);
  notify();
  volatile uint32_t cancel = 0;
  setCancel(&cancel, 0);
  setWindow(0, 0);
  dereg_(0);
}

}  // namespace
