// Random bytes as a working template: the walk over windows, token names,
// control values, bookmarks and removals must always finish, never read or
// write out of bounds, and leave a report no larger than it could write.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/core/engine_state.h"
#include "engine/core/report_run.h"
#include "engine/database/analysis_context.h"
#include "engine/reports/report_driver.h"
#include "engine/reports/template_variables.h"
#include "platform/base/memory.h"

namespace {

struct Scratch {
  std::string folder;
  std::string templatePath;
  std::string outputPath;
};

const Scratch& Folder() {
  static Scratch scratch = [] {
    char pattern[] = "/tmp/drvfuzzXXXXXX";
    Scratch s;
    if (mkdtemp(pattern) == nullptr) std::abort();
    s.folder = std::string(pattern) + "/";
    std::filesystem::create_directories(s.folder + "kvm_log/profiles");
    std::filesystem::create_directories(s.folder + "kvm_log/Template");
    std::filesystem::create_directories(s.folder + "reports");
    std::ofstream(s.folder + "kvm_log/Template/ENGLISH.RPL") << "<A>{B}\n";
    std::ofstream(s.folder + "style.ini") << "[Test]\nTable Columns=02\nLong Description=0\n";
    vrn::SetApplicationPath(s.folder + "libVornic.so");
    s.templatePath = s.folder + "kvm_log/Template/TEMP0.HTM";
    s.outputPath = s.folder + "reports/report.htm";
    return s;
  }();
  return scratch;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  const Scratch& s = Folder();
  {
    std::ofstream out(s.templatePath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  vrn::ReportHandle* run = new vrn::ReportHandle{};
  vrn::SetReportWorkPaths(run, (s.folder + "kvm_log/profiles/").c_str());
  std::snprintf(run->styleName, sizeof run->styleName, "Test");
  // A context without tables: every table token resolves to nothing.
  const KvGlobal handle = kv::GlobalAlloc(kv::kGlobalMoveable | kv::kGlobalZeroInit, sizeof(vrn::AnalysisContext));
  auto* context = static_cast<vrn::AnalysisContext*>(kv::GlobalLock(handle));
  context->orgFile = KV_INVALID_FILE;
  context->logKind = data[0] % 2 == 0 ? 1 : 7;
  std::snprintf(context->workingTemplatePath, sizeof context->workingTemplatePath, "%s", s.templatePath.c_str());
  std::snprintf(context->outputPath, sizeof context->outputPath, "%s", s.outputPath.c_str());
  std::snprintf(context->imagesReference, sizeof context->imagesReference, "%s", s.folder.c_str());
  vrn::ResetResolverCounters();
  // Referrer logs ask for their own template, which is not there: the walk
  // then meets a missing template, which must fail cleanly too.
  const int result = vrn::WriteReport(run, context, nullptr);
  if (result == 1) {
    std::error_code error;
    const auto written = std::filesystem::file_size(s.outputPath, error);
    // No value of a token can be longer than its buffer.
    if (!error && written > size * (vrn::kTokenValueSize / 4 + 1)) std::abort();
  }
  kv::GlobalUnlock(handle);
  kv::GlobalFree(handle);
  delete run;
  return 0;
}
