// REPORT.INI text and a variable value, split from the input at its first
// zero byte: the vocabulary is loaded with every reference expanding to the
// value, and freed.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/core/report_settings.h"

namespace {

std::string g_value;

int LoadNothing(const char*) { return 1; }
bool LookupAny(const char* name, std::string* value) {
  if (name[0] == '\0') return false;
  *value = g_value;
  return true;
}

std::string Folder() {
  static std::string folder = [] {
    char pattern[] = "/tmp/kvreportfuzzXXXXXX";
    const char* made = mkdtemp(pattern);
    return made != nullptr ? std::string(made) + "/" : std::string("/tmp/");
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\0');
  const std::string ini = input.substr(0, cut);
  g_value = cut == std::string::npos ? std::string() : input.substr(cut + 1);
  vrn::SetRplVariableSource({LoadNothing, LookupAny});
  if (FILE* f = std::fopen((Folder() + "REPORT.INI").c_str(), "wb")) {
    std::fwrite(ini.data(), 1, ini.size(), f);
    std::fclose(f);
  }
  vrn::ReportOptions* options = nullptr;
  vrn::LoadReportSettingsFrom(Folder().c_str(), "ENGLISH", &options);
  vrn::FreeReportOptions(options);
  std::string text = ini;
  vrn::ExpandRplReferences(&text, 300);
  return 0;
}
