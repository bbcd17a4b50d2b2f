#include "engine/core/report_run_testutil.h"

#include <stdlib.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <vornic/registration.h>

#include "engine/core/engine_state.h"
#include "engine/core/report_run.h"
#include "platform/module/module.h"
#include "platform/testsupport/files.h"
#include "platform/testsupport/timezone.h"

namespace runtest {

std::vector<std::string> g_shownErrors;

namespace {
int32_t ShowError(KvWindow, const char*, const char* text, uint32_t, uint32_t, uint32_t) {
  g_shownErrors.push_back(text != nullptr ? text : "");
  return 0;
}
}  // namespace

std::string MakeTempFolder(const char* tag) {
  std::string pattern = testing::TempDir() + tag + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const char* made = mkdtemp(buffer.data());
  return made != nullptr ? std::string(made) + "/" : std::string();
}

void WriteFile(const std::string& path, const std::string& bytes) { kv::test::WriteBytes(path, bytes); }

std::string ReadFile(const std::string& path) { return kv::test::ReadText(path); }

std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

uint32_t Wall(int year, int month, int day, int hour, int minute, int second) {
  return kv::test::UtcSeconds(year, month, day, hour, minute, second);
}

std::string CombinedLine(uint32_t t, const std::string& host, const std::string& method, const std::string& url,
                         uint32_t status, uint32_t bytes, const std::string& referrer, const std::string& agent,
                         const std::string& user) {
  static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t tt = t;
  std::tm tm{};
  gmtime_r(&tt, &tm);
  char date[64];
  std::snprintf(date, sizeof date, "%02d/%s/%04d:%02d:%02d:%02d +0000", tm.tm_mday, months[tm.tm_mon],
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return host + " - " + user + " [" + date + "] \"" + method + " " + url + " HTTP/1.0\" " + std::to_string(status) +
         " " + std::to_string(bytes) + " \"" + referrer + "\" \"" + agent + "\"\n";
}

void EngineFixture::SetUp() {
  zone_.emplace("UTC");
  vrn::g_engine = vrn::EngineState{};
  vrn::ResetReportRunCounters();
  g_shownErrors.clear();
  folder_ = MakeTempFolder("kvrun");
  ASSERT_FALSE(folder_.empty());
  std::filesystem::create_directories(folder_ + "kvm_log");
  std::filesystem::create_directories(folder_ + "profiles");
  std::filesystem::create_directories(folder_ + "logs");
  std::filesystem::create_directories(folder_ + "view");
  vrn::SetApplicationPath(folder_ + "libVornic.so");
  setenv("KV_WIN_INI", (folder_ + "WIN.INI").c_str(), 1);
  WriteFile(folder_ + "kvm_log/kvm_log.ini", "[defaults]\nDNSTimeout=2\n");
  resources_ = KvLoadModule("kvm_log_en.so");
  ASSERT_NE(resources_, nullptr) << "kvm_log_en.so is built into the program folder";
  slot_ = VRN_Register(ProfileDir().c_str(), 1, 7, nullptr, nullptr, resources_, 0, 0, ShowError);
  ASSERT_EQ(slot_, 0);
}

void EngineFixture::TearDown() {
  if (slot_ >= 0) VRN_DeRegister(static_cast<uint16_t>(slot_));
  if (resources_ != nullptr) KvFreeModule(resources_);
  unsetenv("KV_WIN_INI");
  vrn::SetApplicationPath("");
  zone_.reset();
  if (!folder_.empty()) std::filesystem::remove_all(folder_);
}

void EngineFixture::WriteProfile(const std::string& file, const std::string& location, const std::string& extra) {
  WriteFile(ProfileDir() + file,
            "[Profile]\nVersion=4\nDescription=Test profile\nLogFilePath=" + location +
                "\nDNSLookup=0\nOverrideMultiHome=0\nPellavarFlag=0\nRealtimeAnalysis=0\nLogFileFormat=0\n" + extra);
}

}  // namespace runtest
