// Registration, the settings it reads, the text cache over the client's
// resource module and the callback dispatch, with the English resource
// module of the program folder and INI files in a temporary engine folder.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "engine/core/engine_state.h"
#include "platform/module/module.h"
#include "platform/netbind/netbind.h"
#include "platform/testsupport/files.h"

namespace {

using kv::test::WriteBytes;

std::string MakeTempFolder() {
  std::string pattern = testing::TempDir() + "kvregXXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const char* made = mkdtemp(buffer.data());
  return made != nullptr ? std::string(made) + "/" : std::string();
}

// A fresh load of the engine: its state as at load time, its folder and the
// system's [intl] file in a temporary folder, the English texts loaded.
class Registration : public testing::Test {
 protected:
  void SetUp() override {
    vrn::g_engine = vrn::EngineState{};
    vrn::ResetNameTables();
    folder_ = MakeTempFolder();
    ASSERT_FALSE(folder_.empty());
    ASSERT_EQ(system(("mkdir -p '" + folder_ + "kvm_log' '" + folder_ + "profiles'").c_str()), 0);
    vrn::SetApplicationPath(folder_ + "libVornic.so");
    setenv("KV_WIN_INI", (folder_ + "WIN.INI").c_str(), 1);
    resources_ = KvLoadModule("kvm_log_en.so");
    ASSERT_NE(resources_, nullptr) << "kvm_log_en.so is built into the program folder";
  }
  void TearDown() override {
    for (uint16_t slot = 0; slot < VRN_MAX_CLIENTS; ++slot) VRN_DeRegister(slot);
    if (resources_ != nullptr) KvFreeModule(resources_);
    unsetenv("KV_WIN_INI");
    vrn::SetApplicationPath("");
    system(("rm -rf '" + folder_ + "'").c_str());
  }

  void ModuleIni(const std::string& text) { WriteBytes(folder_ + "kvm_log/kvm_log.ini", text); }

  int16_t Register(VrnYieldCallback yield = nullptr, VrnDisplayErrorFn display = nullptr, uint16_t tag = 7) {
    const std::string dir = folder_ + "profiles/";
    return VRN_Register(dir.c_str(), 1, tag, yield, nullptr, resources_, 0, 0, display);
  }

  std::string folder_;
  KvModule resources_ = nullptr;
};

TEST_F(Registration, ReadsTheDefaultsSettings) {
  ModuleIni(
      "[defaults]\nDisableServerLookup=1\nLogFileReloadSize=5000\nDisableColdFusion=1\n"
      "UseHTMLTitleExtensions=1\nOverrideIISHomePage=1\nDNSTimeout=7\nMaxDNSThreads=9\n");
  ASSERT_EQ(Register(), 0);
  EXPECT_EQ(vrn::g_engine.disableServerLookup, 1u);
  EXPECT_EQ(vrn::g_engine.logFileReloadSize, 5000u);
  EXPECT_EQ(vrn::g_engine.disableColdFusion, 1u);
  EXPECT_EQ(vrn::g_engine.useHTMLTitleExtensions, 1u);
  EXPECT_EQ(vrn::g_engine.overrideIISHomePage, 1u);
  EXPECT_EQ(vrn::g_engine.dnsTimeoutMs, 7000u);
  EXPECT_EQ(vrn::g_engine.dnsFastMode, 1u);
  EXPECT_EQ(vrn::g_engine.maxDnsThreads, 9u);
  EXPECT_EQ(vrn::g_engine.dnsQueueSize, 2000u);
  EXPECT_EQ(vrn::ProfileDirectory(), folder_ + "profiles/");
  EXPECT_EQ(vrn::g_engine.lastRegisteredDir, folder_ + "profiles/");
  EXPECT_EQ(vrn::g_engine.unresolvedDomain, "Unresolved");
  EXPECT_EQ(vrn::g_engine.unresolvedAddressType, "Numeric IP Address");
  EXPECT_EQ(vrn::g_engine.unresolvedCountry, "Unknown");
}

TEST_F(Registration, MissingSettingsTakeTheirDefaults) {
  ModuleIni("");
  ASSERT_EQ(Register(), 0);
  EXPECT_EQ(vrn::g_engine.disableServerLookup, 0u);
  EXPECT_EQ(vrn::g_engine.logFileReloadSize, 1000000u);
  EXPECT_EQ(vrn::g_engine.dnsTimeoutMs, 25000u);
  EXPECT_EQ(vrn::g_engine.maxDnsThreads, 32u);
  EXPECT_EQ(vrn::g_engine.ftpDownloadMode, 1u);
  // Both cookie flags are read at registration: their defaults are "1".
  EXPECT_EQ(vrn::g_engine.cookieEnable, 1u);
  EXPECT_EQ(vrn::g_engine.cookieValidate, 1u);
  EXPECT_EQ(vrn::g_engine.displayIDate, 0u);
  EXPECT_STREQ(vrn::g_engine.displaySDate, "/");
  EXPECT_STREQ(vrn::g_engine.displaySTime, ":");
  EXPECT_EQ(vrn::g_engine.logIDate, 0u);
  EXPECT_STREQ(vrn::g_engine.logSDate, "/");
  EXPECT_STREQ(vrn::g_engine.logSTime, ":");
}

TEST_F(Registration, QueueSizeIsAtLeastTwo) {
  for (const char* setting : {"0", "1", "-5", "2", "37"}) {
    ModuleIni(std::string("[defaults]\nDNSLookupQueueSize=") + setting + "\n");
    ASSERT_EQ(Register(), 0) << setting;
    const int expected = std::max(2, std::atoi(setting));
    EXPECT_EQ(vrn::g_engine.dnsQueueSize, static_cast<uint32_t>(expected)) << setting;
    VRN_DeRegister(0);
  }
}

TEST_F(Registration, LookupModeFollowsTheSettings) {
  ModuleIni("[defaults]\nForceSlowDNS=1\n");
  ASSERT_EQ(Register(), 0);
  EXPECT_EQ(vrn::g_engine.dnsFastMode, 0u);
  ModuleIni("[defaults]\nForceSlowDNS=0\nForceFastDNS=1\n");
  EXPECT_EQ(vrn::ReadDNSModeSettings(), 1);
  EXPECT_EQ(vrn::g_engine.dnsFastMode, 1u);
}

TEST_F(Registration, DateSettingsOfTheSystemAndTheLog) {
  WriteBytes(folder_ + "WIN.INI", "[intl]\niDate=1\nsDate=.\nsTime=-\n");
  ModuleIni("[intl]\niDate=99\nsDate=\nsTime=h\n");
  ASSERT_EQ(Register(), 0);
  EXPECT_EQ(vrn::g_engine.displayIDate, 1u);
  EXPECT_STREQ(vrn::g_engine.displaySDate, ".");
  EXPECT_STREQ(vrn::g_engine.displaySTime, "-");
  EXPECT_EQ(vrn::g_engine.logIDate, 1u) << "99 takes the system's order";
  EXPECT_STREQ(vrn::g_engine.logSDate, ".") << "empty takes the system's separator";
  EXPECT_STREQ(vrn::g_engine.logSTime, "h");

  // They are read once per load of the library, not at later registrations.
  ModuleIni("[intl]\niDate=2\n");
  ASSERT_EQ(Register(), 1);
  EXPECT_EQ(vrn::g_engine.logIDate, 1u);
}

TEST_F(Registration, FtpDownloadModeAndCookieFlagsFollowIniChanges) {
  ModuleIni("[Cookie]\nEnable=0\nValidate=0\n");
  ASSERT_EQ(Register(), 0);
  EXPECT_EQ(vrn::g_engine.cookieEnable, 0u);
  EXPECT_EQ(vrn::g_engine.cookieValidate, 0u);
  const struct {
    const char* value;
    uint32_t mode;
  } modes[] = {{"Once", 2}, {"once", 2}, {"DETECT", 1}, {"Detect", 1}, {"Never", 0}, {"", 0}, {"Once more", 0}};
  for (const auto& m : modes) {
    ModuleIni(std::string("[Defaults]\nFTPDownload=") + m.value + "\n[Cookie]\nValidate=1\n");
    VRN_NotifyIniFileChanged();
    EXPECT_EQ(vrn::g_engine.ftpDownloadMode, m.mode) << m.value;
    EXPECT_EQ(vrn::g_engine.cookieEnable, 1u);
    EXPECT_EQ(vrn::g_engine.cookieValidate, 1u);
  }
}

TEST_F(Registration, SlotsAreReusedAfterDeregistration) {
  ModuleIni("");
  for (int16_t expected = 0; expected < VRN_MAX_CLIENTS; ++expected) EXPECT_EQ(Register(), expected);
  EXPECT_EQ(Register(), -1) << "every slot is taken";
  VRN_DeRegister(1);
  EXPECT_EQ(Register(nullptr, nullptr, 42), 1);
  EXPECT_EQ(vrn::g_engine.slots[1].tag, 42);
  for (uint16_t slot = 0; slot < VRN_MAX_CLIENTS; ++slot) VRN_DeRegister(slot);
  EXPECT_EQ(vrn::g_engine.activeClients, 0u);
  // The cap counts clients at a time, not registrations since load.
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(Register(), 0);
    VRN_DeRegister(0);
  }
  VRN_DeRegister(0);   // a free slot: nothing happens
  VRN_DeRegister(99);  // no such slot
  EXPECT_EQ(vrn::g_engine.activeClients, 0u);
}

int32_t YieldA() { return 1; }
int32_t YieldB() { return 1; }
int32_t DisplayA(KvWindow, const char*, const char*, uint32_t, uint32_t, uint32_t) { return 0; }
int32_t DisplayB(KvWindow, const char*, const char*, uint32_t, uint32_t, uint32_t) { return 0; }

TEST_F(Registration, RemainingClientKeepsWorkingWhenAnotherLeaves) {
  ModuleIni("");
  ASSERT_EQ(Register(&YieldA, &DisplayA), 0);
  const char* domain = vrn::LoadResString(5614);
  ASSERT_STREQ(domain, "Unresolved");
  ASSERT_EQ(Register(&YieldB, &DisplayB), 1);
  EXPECT_EQ(vrn::g_engine.yieldCallback, &YieldB);
  EXPECT_EQ(glpfnDisplayReportError, &DisplayB);

  VRN_DeRegister(1);
  EXPECT_EQ(vrn::g_engine.activeClients, 1u);
  EXPECT_EQ(vrn::g_engine.yieldCallback, &YieldA) << "the remaining client's callbacks come back";
  EXPECT_EQ(vrn::g_engine.savedYieldCallback, &YieldA);
  EXPECT_EQ(glpfnDisplayReportError, &DisplayA);
  EXPECT_EQ(vrn::LoadResString(5614), domain) << "the text cache outlives a client that is not the last";
  EXPECT_STREQ(vrn::LoadResString(5615), "Numeric IP Address");

  VRN_DeRegister(0);
  EXPECT_EQ(vrn::CachedTextCount(), 0u);
  EXPECT_EQ(vrn::g_engine.resourceModule, nullptr);
  EXPECT_EQ(glpfnDisplayReportError, nullptr);
  EXPECT_STREQ(vrn::LoadResString(5614), "String Not Found!");
}

TEST_F(Registration, TextCacheOverTheResourceModule) {
  ModuleIni("");
  ASSERT_EQ(Register(), 0);
  const size_t before = vrn::CachedTextCount();

  // A missing string is never cached.
  for (uint32_t id : {5740u, 5749u, 60000u, 0xFFFFu}) {
    EXPECT_STREQ(vrn::LoadResString(id), "String Not Found!") << id;
    EXPECT_STREQ(vrn::LoadTextResource(static_cast<uint16_t>(id)), "String Not Found!") << id;
  }
  EXPECT_EQ(vrn::CachedTextCount(), before);

  // Ids are taken by their low 16 bits; a cached text keeps its address.
  const char* a = vrn::LoadResString(5677);
  EXPECT_STREQ(a, "Profile Name");
  EXPECT_EQ(vrn::LoadResString(0x10000u + 5677), a);
  EXPECT_EQ(vrn::CachedTextCount(), before + 1);

  // A TEXT block comes with two zero bytes after its bytes.
  const char* options = vrn::LoadTextResource(5500);
  const size_t size = vrn::TextResourceSize(5500);
  ASSERT_EQ(size, 21u);
  EXPECT_EQ(std::memcmp(options, "Include\0" "1\0" "Exclude\0" "0\0" "\r", 21), 0);
  EXPECT_EQ(options[21], '\0');
  EXPECT_EQ(options[22], '\0');
  const char* countries = vrn::LoadTextResource(5613);
  EXPECT_EQ(std::strncmp(countries, "Afghanistan,af\r\n", 16), 0);
  EXPECT_EQ(std::strlen(countries), vrn::TextResourceSize(5613));

  // A string and a TEXT block of one id share the entry loaded first.
  EXPECT_EQ(vrn::LoadTextResource(5677), a);
  EXPECT_EQ(vrn::LoadResString(5500), options);
}

TEST_F(Registration, MonthAndWeekdayNamesComeFromTheTextsAndSurviveDeregistration) {
  ModuleIni("");
  ASSERT_EQ(Register(), 0);
  const size_t before = vrn::CachedTextCount();
  struct tm t{};
  t.tm_year = 124;
  t.tm_mon = 8;
  t.tm_mday = 1;
  t.tm_wday = 0;
  EXPECT_EQ(vrn::FormatIntlDateTime("%a %A %b %B", t, nullptr), "Sun Sunday Sep September");
  EXPECT_EQ(vrn::CachedTextCount(), before + 12 + 12 + 7 + 7) << "the 38 names were read from the texts";
  VRN_DeRegister(0);
  EXPECT_EQ(vrn::FormatIntlDateTime("%a %A %b %B", t, nullptr), "Sun Sunday Sep September");
  EXPECT_STREQ(vrn::ShortMonthName(11), "Dec");
}

TEST_F(Registration, SetStringTableAndBounds) {
  ModuleIni("");
  char out[64];
  EXPECT_EQ(VRN_GetSetString(0, 0, out, sizeof out), 0);
  EXPECT_STREQ(out, "Unknown StringID=0") << "no resource module before registration";
  ASSERT_EQ(Register(), 0);
  const struct {
    uint16_t key;
    const char* text;
  } cases[] = {
      {0, "Profile Name"},           {4, "Report Location"},  {561, "Home Page"},
      {571, "Search Keywords"},      {16384, "Status Codes"}, {8448, "Report Style"},
      {31, "Unknown StringID=1f"},   {5, "Unknown StringID=5"}, {0xFFFF, "Unknown StringID=ffff"},
  };
  for (const auto& c : cases) {
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(VRN_GetSetString(0, c.key, out, sizeof out), 0);
    EXPECT_STREQ(out, c.text) << c.key;
  }
  std::memset(out, 'Z', sizeof out);
  VRN_GetSetString(0, 0, out, 5);
  EXPECT_STREQ(out, "Prof");
  EXPECT_EQ(out[5], 'Z');
  VRN_GetSetString(0, 31, out, 8);
  EXPECT_STREQ(out, "Unknown");
  EXPECT_EQ(out[8], 'Z');
  EXPECT_EQ(VRN_GetSetString(0, 0, nullptr, 10), 0);
  VRN_GetSetString(0, 0, out, 0);
  EXPECT_EQ(out[0], 'U') << "size 0 writes nothing";
}

TEST_F(Registration, ErrorTextIsBoundedByItsSize) {
  ModuleIni("");
  ASSERT_EQ(Register(), 0);
  char out[32];
  const struct {
    uint16_t id;
    uint16_t size;
    int32_t result;
    const char* text;
  } cases[] = {
      {5614, 32, 10, "Unresolved"},
      {5614, 4, 3, "Unr"},
      {5740, 32, 0, "Undefined Error"},
      {5740, 6, 0, "Undef"},
      {5740, 1, 0, ""},
  };
  for (const auto& c : cases) {
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(ADT_GetErrorTxtMsg(c.id, out, c.size), c.result) << c.id << "/" << c.size;
    EXPECT_STREQ(out, c.text) << c.id << "/" << c.size;
    if (c.size < sizeof out) {
      EXPECT_EQ(out[c.size], 'Z') << c.id << "/" << c.size;
    }
  }
  std::memset(out, 'Z', sizeof out);
  EXPECT_EQ(ADT_GetErrorTxtMsg(5614, out, 0), 0);
  EXPECT_EQ(out[0], 'Z');
  EXPECT_EQ(ADT_GetErrorTxtMsg(5614, nullptr, 10), 0);
}

// ---- callback dispatch ------------------------------------------------------

struct Calls {
  std::vector<std::string> log;
  int32_t progressAnswer = 1;
  int32_t percentAnswer = 1;
};
Calls g_calls;

int32_t Progress(uint32_t index, const char* status, uint32_t records, int32_t percent, uint32_t rate) {
  g_calls.log.push_back("progress " + std::to_string(index) + " '" + status + "' " + std::to_string(records) + " " +
                        std::to_string(percent) + " " + std::to_string(rate));
  return g_calls.progressAnswer;
}
int32_t Percent(uint32_t percent) {
  g_calls.log.push_back("percent " + std::to_string(percent));
  return g_calls.percentAnswer;
}
int32_t Yield() {
  g_calls.log.push_back("yield");
  return 0;
}

TEST(CallClientCallback, FirstCallbackSetAnswersAndCancels) {
  struct Case {
    bool progress, percent, yield;
    int32_t progressAnswer, percentAnswer;
    uint32_t refresh;
    int expected;
    const char* call;  // "" = nothing called
  };
  const Case cases[] = {
      {true, true, true, 1, 1, 0, 3, "progress 4 'status' 10 50 3"},
      {true, true, true, 7, 0, 0, 2, "progress 4 'status' 10 50 3"},  // only the progress callback counts
      {true, false, false, 6, 1, 0, 3, "progress 4 'status' 10 50 3"},
      {true, false, false, 1, 1, 1, 3, "progress 0 '' 0 -1 0"},
      {true, false, false, 7, 1, 1, 2, "progress 0 '' 0 -1 0"},
      {false, true, true, 1, 1, 0, 3, "percent 50"},
      {false, true, true, 1, 0, 0, 2, "percent 50"},
      {false, true, false, 1, 1, 1, 3, "percent 65535"},
      {false, true, false, 1, 0, 1, 2, "percent 65535"},
      {false, false, true, 1, 1, 0, 3, "yield"},
      {false, false, true, 1, 1, 1, 3, "yield"},
      {false, false, false, 1, 1, 0, 1, ""},
  };
  for (const Case& c : cases) {
    g_calls = Calls{};
    g_calls.progressAnswer = c.progressAnswer;
    g_calls.percentAnswer = c.percentAnswer;
    vrn::g_engine.progressCallback = c.progress ? &Progress : nullptr;
    vrn::g_engine.percentCallback = c.percent ? &Percent : nullptr;
    vrn::g_engine.yieldCallback = c.yield ? &Yield : nullptr;
    EXPECT_EQ(vrn::CallClientCallback(c.refresh, 4, "status", 10, 50, 3), c.expected) << c.call;
    if (*c.call == '\0') {
      EXPECT_TRUE(g_calls.log.empty());
    } else {
      ASSERT_EQ(g_calls.log.size(), 1u) << c.call;
      EXPECT_EQ(g_calls.log[0], c.call);
    }
  }
  vrn::g_engine.progressCallback = &Progress;
  g_calls = Calls{};
  EXPECT_EQ(vrn::CallClientCallback(0, 1, nullptr, 2, -1, 0), 3);
  EXPECT_EQ(g_calls.log[0], "progress 1 '' 2 -1 0") << "a missing status text is passed as empty";
  vrn::g_engine = vrn::EngineState{};
}

TEST(AcpRegister, SetsTheYieldCallbackAndClearsTheOthers) {
  vrn::g_engine = vrn::EngineState{};
  vrn::g_engine.progressCallback = &Progress;
  vrn::g_engine.percentCallback = &Percent;
  EXPECT_EQ(ACP_Register(0, &Yield, nullptr), 0);
  EXPECT_EQ(vrn::g_engine.progressCallback, nullptr);
  EXPECT_EQ(vrn::g_engine.percentCallback, nullptr);
  EXPECT_EQ(vrn::g_engine.yieldCallback, &Yield);
  EXPECT_EQ(vrn::g_engine.savedYieldCallback, &Yield);
  EXPECT_EQ(ACP_Register(0, nullptr, nullptr), 0);
  EXPECT_EQ(vrn::g_engine.yieldCallback, nullptr);
  EXPECT_EQ(ACP_DeRegister(0), 0);
}

// Each client's binding of the network libraries is its own: a client that
// leaves, or an ACP_DeRegister without a binding of its own, never unloads
// the libraries under a client that still holds them.
TEST_F(Registration, NetworkBindingLastsWhileAClientHoldsIt) {
  ModuleIni("");
  uint32_t first = 9, second = 9;
  ASSERT_EQ(VRN_Register((folder_ + "profiles/").c_str(), 1, 1, nullptr, &first, resources_, 0, 0, nullptr), 0);
  ASSERT_EQ(VRN_Register((folder_ + "profiles/").c_str(), 1, 2, nullptr, &second, resources_, 0, 0, nullptr), 1);
  ASSERT_EQ(first, 1u) << "the socket and FTP modules are built into the program folder";
  ASSERT_EQ(second, 1u);
  EXPECT_EQ(vrn::g_engine.networkBound, 1u);

  EXPECT_EQ(ACP_Register(0, nullptr, nullptr), 0);  // no binding asked for
  EXPECT_EQ(ACP_DeRegister(0), 0);
  VRN_DeRegister(0);
  EXPECT_NE(g_networkBinding.socketModule, nullptr) << "the second client still holds the libraries";
  EXPECT_EQ(vrn::g_engine.networkBound, 1u);

  VRN_DeRegister(1);
  EXPECT_EQ(g_networkBinding.socketModule, nullptr) << "the last binding is released with its client";
  EXPECT_EQ(vrn::g_engine.networkBound, 0u);

  uint32_t direct = 9;
  EXPECT_EQ(ACP_Register(0, nullptr, &direct), 0);
  EXPECT_EQ(direct, 1u);
  EXPECT_EQ(ACP_DeRegister(0), 0);
  EXPECT_EQ(g_networkBinding.socketModule, nullptr) << "a binding of ACP_Register goes with ACP_DeRegister";
}

int g_aborted = 0;
void OnAbort() { ++g_aborted; }

TEST(RealtimeAbort, DeferredCallbackRunsOnceWhenTheUpdateEnds) {
  vrn::g_engine = vrn::EngineState{};
  g_aborted = 0;
  EXPECT_EQ(VRN_AbortRealtimeAnalysis(&OnAbort), 0u);
  EXPECT_EQ(vrn::g_engine.abortFlag, 1u);
  vrn::EndRealtimeUpdate();
  EXPECT_EQ(g_aborted, 0) << "no update was running: nothing deferred";

  vrn::g_engine.abortFlag = 0;
  vrn::g_engine.realtimeNesting = 2;
  EXPECT_EQ(VRN_AbortRealtimeAnalysis(&OnAbort), 2u);
  EXPECT_EQ(vrn::g_engine.abortFlag, 1u);
  vrn::EndRealtimeUpdate();
  EXPECT_EQ(g_aborted, 1);
  EXPECT_EQ(vrn::g_engine.realtimeNesting, 1u);
  vrn::EndRealtimeUpdate();
  vrn::EndRealtimeUpdate();
  EXPECT_EQ(g_aborted, 1);
  EXPECT_EQ(vrn::g_engine.realtimeNesting, 0u);
}

TEST(SettersAndQueries, StoreTheirValues) {
  vrn::g_engine = vrn::EngineState{};
  volatile uint32_t cancel = 0;
  VRN_SetCancelBOOL(&cancel, 0);
  EXPECT_EQ(vrn::g_engine.cancelWord, &cancel);
  VRN_SetProgressHWND(17, 0);
  EXPECT_EQ(vrn::g_engine.progressWindow, 17u);

  vrn::g_engine.setListChangeCounter = 5;
  uint32_t mine = 0;
  EXPECT_EQ(VRN_QuerySetListChange(&mine), 1u);
  EXPECT_EQ(mine, 5u);
  EXPECT_EQ(VRN_QuerySetListChange(&mine), 0u);
  EXPECT_EQ(VRN_QuerySetListChange(nullptr), 0u);
}

}  // namespace
