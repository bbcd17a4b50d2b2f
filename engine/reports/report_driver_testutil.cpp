#include "engine/reports/report_driver_testutil.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <vornic/registration.h>

#include "engine/core/engine_state.h"
#include "engine/database/table_accessors.h"
#include "engine/reports/report_driver.h"
#include "platform/module/module.h"
#include "platform/testsupport/files.h"
#include "platform/testsupport/timezone.h"

namespace drvtest {

std::vector<FileCall> g_fileCalls;

int32_t RecordFileCall(int32_t kind, const char* text, int32_t flag) {
  g_fileCalls.push_back({kind, text != nullptr ? text : "", flag});
  return 0;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  kv::test::WriteBytes(path, bytes);
}

std::string ReadFile(const std::string& path) { return kv::test::ReadText(path); }

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

uint32_t Wall(int year, int month, int day, int hour, int minute, int second) {
  return kv::test::UtcSeconds(year, month, day, hour, minute, second);
}

namespace {
int32_t NoDisplay(KvWindow, const char*, const char*, uint32_t, uint32_t, uint32_t) { return 0; }
}  // namespace

void ReportFixture::SetUp() {
  zone_.emplace("UTC");
  vrn::g_engine = vrn::EngineState{};
  g_fileCalls.clear();
  std::string pattern = testing::TempDir() + "kvdrvXXXXXX";
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  folder_ = pattern + "/";
  std::filesystem::create_directories(ProfileDir());
  std::filesystem::create_directories(TemplateDir());
  std::filesystem::create_directories(folder_ + "reports");
  vrn::SetApplicationPath(folder_ + "libVornic.so");
  setenv("KV_WIN_INI", (folder_ + "WIN.INI").c_str(), 1);
  WriteFile(folder_ + "kvm_log/kvm_log.ini", "[defaults]\nDNSTimeout=2\n");
  WriteFile(folder_ + "kvm_log/REPORT.INI",
            "[Interval]\nCount=3\nScale1=Hours,24,3600,%H,%D\nScale2=Days,31,86400,%d,%D\n"
            "Scale3=Months,12,2678400,%b,%D\n"
            "[Countries]\nCount=2\nItem1=United States,US\nItem2=Switzerland,CH\n");
  WriteFile(TemplateDir() + "ENGLISH.RPL", "<Title>{Report}\n");
  WriteFile(ProfileDir() + "site.wlp", "[Profile]\nVersion=4\nDescription=Test site\nLogFilePath=none.log\n");
  WriteStyle("");
  resources_ = KvLoadModule("kvm_log_en.so");
  ASSERT_NE(resources_, nullptr) << "kvm_log_en.so is built into the program folder";
  slot_ = VRN_Register(ProfileDir().c_str(), 1, 7, nullptr, nullptr, resources_, 0, 0, NoDisplay);
  ASSERT_EQ(slot_, 0);
}

void ReportFixture::TearDown() {
  if (run_ != nullptr) {
    vrn::FreeReportContext(run_);
    delete run_;
    run_ = nullptr;
  }
  if (slot_ >= 0) VRN_DeRegister(static_cast<uint16_t>(slot_));
  if (resources_ != nullptr) KvFreeModule(resources_);
  unsetenv("KV_WIN_INI");
  vrn::SetApplicationPath("");
  zone_.reset();
  std::error_code ignored;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

void ReportFixture::WriteStyle(const std::string& lines) {
  WriteFile(folder_ + "style.ini", "[Kelvaron Styles]\nStyle 1=Test\n\n[Test]\n" + lines);
}

bool ReportFixture::InstallDeliveredTemplates() {
  const char* source = std::getenv("KV_SOURCE_DIR");
  if (source == nullptr) return false;
  const std::string data = std::string(source) + "/data/kvm_log/";
  for (const auto& entry : std::filesystem::directory_iterator(data + "Template")) {
    std::filesystem::copy_file(entry.path(), TemplateDir() + entry.path().filename().string(),
                               std::filesystem::copy_options::overwrite_existing);
  }
  std::filesystem::copy_file(data + "REPORT.INI", folder_ + "kvm_log/REPORT.INI",
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::create_directories(folder_ + "logs");
  return true;
}

vrn::AnalysisContext* ReportFixture::MakeRun(const std::string& outputPath) {
  run_ = new vrn::ReportHandle{};
  vrn::SetReportWorkPaths(run_, ProfileDir().c_str());
  std::snprintf(run_->profileFile, sizeof run_->profileFile, "site.wlp");
  std::snprintf(run_->styleName, sizeof run_->styleName, "Test");
  std::snprintf(run_->language, sizeof run_->language, "ENGLISH");
  const std::string output = outputPath.empty() || outputPath[0] == '/' ? outputPath : folder_ + outputPath;
  std::snprintf(run_->viewFolder, sizeof run_->viewFolder, "%s", output.c_str());
  run_->kind = vrn::kReportKindAnalysis;
  run_->startTime = Wall(2026, 3, 2, 0, 0, 0);
  run_->endTime = Wall(2026, 3, 2, 23, 59, 59);
  if (vrn::SetUpAnalysisContext(run_, 1) != 1) return nullptr;
  context_ = vrn::RunContext(run_);
  std::snprintf(context_->outputPath, sizeof context_->outputPath, "%s", output.c_str());
  return context_;
}

void ReportFixture::SetTemplate(const std::string& text) {
  const std::string path = TemplateDir() + "WORK.HTM";
  WriteFile(path, text);
  std::snprintf(context_->workingTemplatePath, sizeof context_->workingTemplatePath, "%s", path.c_str());
}

int ReportFixture::Write(std::string* output) {
  const int result = vrn::WriteReport(run_, context_, RecordFileCall);
  if (output != nullptr) *output = ReadFile(context_->outputPath);
  return result;
}

vrn::NameTableEntry* ReportFixture::AddItem(int table, const std::string& name, uint32_t hits, uint32_t users) {
  vrn::SummaryTableEntry* t = &context_->templ.TopTablesPtr[table];
  const uint32_t number = vrn::AddNameToTable(t, name.c_str());
  if (number == 0) return nullptr;
  vrn::NameTableEntry* item = t->ItemBlock[number - 1];
  item->TotalByHits = hits;
  item->TotalByUsers = users;
  return item;
}

}  // namespace drvtest
