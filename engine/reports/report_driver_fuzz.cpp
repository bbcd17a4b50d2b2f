// Random bytes as a working template over a registered engine and a run
// whose item tables hold items: the walk over windows, token names, table
// rows, control values, bookmarks and removals must always finish, never
// read or write out of bounds, and leave a report no larger than it could
// write. The template is the same file for every input and stays in place.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <vornic/registration.h>

#include "engine/core/engine_state.h"
#include "engine/core/report_run.h"
#include "engine/database/analysis_context.h"
#include "engine/database/item_tables.h"
#include "engine/reports/report_driver.h"
#include "engine/reports/template_variables.h"
#include "platform/base/paths.h"
#include "platform/module/module.h"
#include "platform/ui/msgbox.h"

namespace {

std::string g_folder;
std::string g_templatePath;
std::string g_outputPath;
vrn::ReportHandle* g_run = nullptr;
vrn::AnalysisContext* g_context = nullptr;
KvModule g_resources = nullptr;
int16_t g_slot = -1;

void Put(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

int32_t NoDisplay(KvWindow, const char*, const char*, uint32_t, uint32_t, uint32_t) { return 0; }

void CleanUp() {
  if (g_run != nullptr) {
    vrn::FreeReportContext(g_run);
    delete g_run;
  }
  if (g_slot >= 0) VRN_DeRegister(static_cast<uint16_t>(g_slot));
  if (g_resources != nullptr) KvFreeModule(g_resources);
  std::error_code ignored;
  std::filesystem::remove_all(g_folder, ignored);
}

// A few items in every table, with hits and users, as a counted run leaves them.
void FillTables() {
  static const char* const kNames[] = {"/index.html", "www.example.com", "Mozilla/5.0 (X11; Linux x86_64)",
                                       "192.0.2.7", "search words", "Mon", "200", "/images/logo.gif"};
  for (int table = 0; table < vrn::kItemTableCount; ++table) {
    vrn::SummaryTableEntry* t = &g_context->templ.TopTablesPtr[table];
    for (int i = 0; i < 8; ++i) {
      const uint32_t number = vrn::AddNameToTable(t, kNames[(table + i) % 8]);
      if (number == 0) continue;
      vrn::NameTableEntry* item = t->ItemBlock[number - 1];
      item->TotalByHits = 1000u / (i + 1) + static_cast<uint32_t>(table);
      item->TotalByUsers = 100u / (i + 1);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The program folder holds the modules the engine loads: the built one
  // beside this fuzzer's folder unless told otherwise.
  if (std::getenv("KV_PROGRAM_DIR") == nullptr) {
    const std::string bin = kv::ProgramFolder() + "../bin";
    setenv("KV_PROGRAM_DIR", bin.c_str(), 1);
  }
  setenv("TZ", "UTC", 1);
  char pattern[] = "/tmp/drvfuzzXXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  g_folder = std::string(pattern) + "/";
  std::atexit(CleanUp);
  kv::ui::SetMessageBoxHandler([](const kv::ui::MessageBoxInfo&) { return 0; });
  const std::string profiles = g_folder + "kvm_log/profiles/";
  std::filesystem::create_directories(profiles);
  std::filesystem::create_directories(g_folder + "reports");
  vrn::SetApplicationPath(g_folder + "libVornic.so");
  setenv("KV_WIN_INI", (g_folder + "WIN.INI").c_str(), 1);
  Put(g_folder + "kvm_log/kvm_log.ini", "[defaults]\nDNSTimeout=2\n");
  Put(g_folder + "kvm_log/REPORT.INI",
      "[Interval]\nCount=3\nScale1=Hours,24,3600,%H,%D\nScale2=Days,31,86400,%d,%D\n"
      "Scale3=Months,12,2678400,%b,%D\n[Countries]\nCount=2\nItem1=United States,US\nItem2=Switzerland,CH\n");
  Put(g_folder + "kvm_log/Template/ENGLISH.RPL", "<Title>{Report}\n<A>{B}\n");
  Put(profiles + "site.wlp", "[Profile]\nVersion=4\nDescription=Fuzz site\nLogFilePath=none.log\n");
  Put(g_folder + "style.ini", "[Kelvaron Styles]\nStyle 1=Test\n\n[Test]\nTable Columns=012\nLong Description=0\n");
  g_resources = KvLoadModule("kvm_log_en.so");
  if (g_resources == nullptr) std::abort();
  g_slot = VRN_Register(profiles.c_str(), 1, 7, nullptr, nullptr, g_resources, 0, 0, NoDisplay);
  if (g_slot != 0) std::abort();

  g_run = new vrn::ReportHandle{};
  vrn::SetReportWorkPaths(g_run, profiles.c_str());
  std::snprintf(g_run->profileFile, sizeof g_run->profileFile, "site.wlp");
  std::snprintf(g_run->styleName, sizeof g_run->styleName, "Test");
  std::snprintf(g_run->language, sizeof g_run->language, "ENGLISH");
  g_outputPath = g_folder + "reports/report.htm";
  std::snprintf(g_run->viewFolder, sizeof g_run->viewFolder, "%s", g_outputPath.c_str());
  g_run->kind = vrn::kReportKindAnalysis;
  g_run->startTime = 1772409600;  // a fixed day
  g_run->endTime = g_run->startTime + 86399;
  if (vrn::SetUpAnalysisContext(g_run, 1) != 1) std::abort();
  g_context = vrn::RunContext(g_run);
  std::snprintf(g_context->outputPath, sizeof g_context->outputPath, "%s", g_outputPath.c_str());
  std::snprintf(g_context->imagesReference, sizeof g_context->imagesReference, "%s", g_folder.c_str());
  g_templatePath = g_folder + "kvm_log/Template/WORK.HTM";
  std::snprintf(g_context->workingTemplatePath, sizeof g_context->workingTemplatePath, "%s", g_templatePath.c_str());
  FillTables();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  Put(g_templatePath, std::string(reinterpret_cast<const char*>(data), size));
  vrn::ResetResolverCounters();
  const int result = vrn::WriteReport(g_run, g_context, nullptr);
  if (!std::filesystem::exists(g_templatePath)) std::abort();  // the walk only reads its template
  if (result == 1) {
    std::error_code error;
    const auto written = std::filesystem::file_size(g_outputPath, error);
    // No value of a token can be longer than its buffer.
    if (!error && written > size * (vrn::kTokenValueSize / 4 + 1)) std::abort();
  }
  return 0;
}
