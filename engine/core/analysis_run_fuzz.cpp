// A whole run through the exports over arbitrary profile text and log: the
// input is a 16-bit little-endian length, that much profile text, and the
// log. The profile is read by the profile reader; what would reach outside
// the run (the log's location, name lookups, stored days, data sources) is
// set to stay inside it, and the profile is stored and read back through
// VRN_GetSet. The log then goes through VRN_Cre8Report, its steps and
// VRN_CloseReport twice: counting only, and as an analysis (with its
// read-ahead and counting threads). Both runs read the same lines and take
// the same records, and the line counts add up: no more lines than the log
// has line ends (and one), no more records than lines that were neither
// unrecognised nor skipped.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <vornic/filter.h>
#include <vornic/profile.h>
#include <vornic/registration.h>
#include <vornic/report.h>

#include "engine/core/engine_state.h"
#include "engine/core/profile.h"
#include "platform/base/paths.h"
#include "platform/module/module.h"
#include "platform/ui/msgbox.h"

namespace {

std::string g_folder;
std::string g_logPath;
KvModule g_resources = nullptr;
int16_t g_slot = -1;

void Put(const std::string& path, std::string_view bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int32_t NoDisplay(KvWindow, const char*, const char*, uint32_t, uint32_t, uint32_t) { return 0; }

void CleanUp() {
  if (g_slot >= 0) VRN_DeRegister(static_cast<uint16_t>(g_slot));
  if (g_resources != nullptr) KvFreeModule(g_resources);
  std::error_code ignored;
  std::filesystem::remove_all(g_folder, ignored);
}

void Release(DravelEntry* e) {
  FreeFiltersForProfile(e);
  FreeMorvane(e->MorvaneIP);
  FreeMorvane(e->MorvaneAuthUser);
  e->MorvaneIP = nullptr;
  e->MorvaneAuthUser = nullptr;
}

template <size_t N>
void SetText(char (&field)[N], const std::string& text) {
  std::snprintf(field, N, "%s", text.c_str());
}

struct Counts {
  bool ran = false;
  uint32_t records = 0;
  uint64_t lines = 0, unrecognised = 0, skipped = 0;
};

Counts Run(uint32_t kind) {
  Counts counts;
  DravelEntry* profile = VRN_GetSet("site.wlp");
  if (profile == nullptr) return counts;
  char output[300];
  std::snprintf(output, sizeof output, "%sreports/index.htm", g_folder.c_str());
  uint32_t handle = 0;
  uint16_t error = 0;
  if (VRN_Cre8Report(7, 0, profile, "site.wlp", "Fuzz", output, &handle, 80, 0, 0, 0xFFFFFFFFu, kind, 0, "Test",
                     "ENGLISH", "", 0, 0, &error) == 0) {
    uint32_t yield = 0;
    for (int steps = 0; steps < 200000 && VRN_PeekReport(0, handle, &yield, &error) == 0; ++steps) {
    }
    counts.records = ADT_GetReportRecCount(handle);
    counts.ran = ADT_GetReportLineCounts(handle, &counts.lines, &counts.unrecognised, &counts.skipped) == 1 &&
                 error == 0;
    VRN_CloseReport(0, handle, &error);
  }
  VRN_FreeSet(profile);
  return counts;
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
  char pattern[] = "/tmp/kvrunfuzzXXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  g_folder = std::string(pattern) + "/";
  g_logPath = g_folder + "logs/access.log";
  std::atexit(CleanUp);
  kv::ui::SetMessageBoxHandler([](const kv::ui::MessageBoxInfo&) { return 0; });
  const std::string profiles = g_folder + "kvm_log/profiles/";
  std::filesystem::create_directories(profiles);
  std::filesystem::create_directories(g_folder + "reports");
  vrn::SetApplicationPath(g_folder + "libVornic.so");
  setenv("KV_WIN_INI", (g_folder + "WIN.INI").c_str(), 1);
  Put(g_folder + "kvm_log/kvm_log.ini", "[defaults]\nDNSTimeout=2\n");
  Put(g_folder + "style.ini", "[Kelvaron Styles]\nStyle 1=Test\n\n[Test]\nTable Columns=012\n");
  g_resources = KvLoadModule("kvm_log_en.so");
  if (g_resources == nullptr) std::abort();
  g_slot = VRN_Register(profiles.c_str(), 1, 7, nullptr, nullptr, g_resources, 0, 0, NoDisplay);
  if (g_slot != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 32 * 1024) return 0;
  const size_t textSize = std::min<size_t>(data[0] | static_cast<size_t>(data[1]) << 8, size - 2);
  const std::string_view text(reinterpret_cast<const char*>(data) + 2, textSize);
  const std::string log(reinterpret_cast<const char*>(data) + 2 + textSize, size - 2 - textSize);

  DravelEntry entry{};
  if (vrn::ReadDravelText(text, "site", &entry) != DRAVEL_READ_OK) {
    Release(&entry);
    entry = DravelEntry{};
    if (vrn::ReadDravelText("[Profile]\nVersion=4\n", "site", &entry) != DRAVEL_READ_OK) std::abort();
  }
  // Nothing of the run reaches outside its folder or the loopback.
  SetText(entry.LogFilePath, g_logPath);
  entry.DNSLookup = 0;
  entry.RealtimeAnalysis = 0;
  entry.PellavarFlag = 0;
  entry.IncrementalUpdate = 0;
  entry.RealtimeReports = 0;
  SetText(entry.PellavarRepository, "");
  SetText(entry.ODBCDataSource, "");
  SetText(entry.ODBCPellavar, "");
  SetText(entry.ReportSaveToPath, "");
  SetText(entry.LogFileUsername, "");
  SetText(entry.LogFilePassword, "");
  FreeMorvane(entry.MorvaneIP);
  FreeMorvane(entry.MorvaneAuthUser);
  entry.MorvaneIP = nullptr;
  entry.MorvaneAuthUser = nullptr;
  std::string file;
  const bool composed = vrn::ComposeDravelFile(entry, file);
  Release(&entry);
  if (!composed) return 0;
  Put(g_folder + "kvm_log/profiles/site.wlp", file);
  Put(g_logPath, log);

  const Counts counted = Run(5);
  const Counts analysed = Run(6);
  const uint64_t ends = static_cast<uint64_t>(std::count(log.begin(), log.end(), '\n')) +
                        static_cast<uint64_t>(std::count(log.begin(), log.end(), '\r')) + 1;
  for (const Counts& c : {counted, analysed}) {
    if (!c.ran) continue;
    if (c.lines > ends || c.unrecognised + c.skipped > c.lines || c.records > c.lines - c.unrecognised - c.skipped)
      std::abort();
  }
  if (counted.ran && analysed.ran &&
      (counted.records != analysed.records || counted.lines != analysed.lines ||
       counted.unrecognised != analysed.unrecognised || counted.skipped != analysed.skipped))
    std::abort();
  return 0;
}
