// A template source through the whole pipeline: its own sections all kept,
// the working template is built with expanded repeat blocks and localised
// from a small variable file. Nothing may read or write out of bounds, and
// no placeholder with a closing ">" survives the localisation.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "engine/core/report_run.h"
#include "engine/reports/rpl_files.h"
#include "engine/reports/template_lists.h"
#include "engine/reports/template_pipeline.h"
#include "engine/reports/template_text.h"
#include "platform/base/memory.h"
#include "platform/ui/msgbox.h"

namespace {

void Write(const std::string& path, const std::string& bytes) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string folder = [] {
    char pattern[] = "/tmp/pipefuzzXXXXXX";
    const char* dir = mkdtemp(pattern);
    const std::string app = std::string(dir != nullptr ? dir : "/tmp") + "/";
    mkdir((app + "Template").c_str(), 0700);
    Write(app + "Template/ENGLISH.RPL", "<A>{alpha}<TopUsersTC>{Visitors}");
    kv::ui::SetMessageBoxHandler([](const kv::ui::MessageBoxInfo&) { return 0; });
    return app;
  }();
  const std::string text(reinterpret_cast<const char*>(data), std::min<size_t>(size, 20000));
  Write(folder + "Template/template.var", text);

  std::vector<TemplateSectionRecord> sections;
  vrn::ParseTemplateSections(text, &sections, nullptr, 0);
  for (TemplateSectionRecord& s : sections) {
    s.Kept = 1;
    s.RowCount = s.RowCount % 5;
    s.ColumnCount = s.ColumnCount % 3;
  }
  auto run = std::make_unique<vrn::ReportHandle>();
  std::snprintf(run->parentDir, sizeof run->parentDir, "%s", folder.c_str());
  std::strcpy(run->language, "ENGLISH");
  run->sectionListHandle = kv::GlobalAlloc(kv::kGlobalMoveable, (sections.size() + 1) * sizeof(TemplateSectionRecord));
  if (!sections.empty())
    std::memcpy(kv::GlobalLock(run->sectionListHandle), sections.data(), sections.size() * sizeof(TemplateSectionRecord)),
        kv::GlobalUnlock(run->sectionListHandle);
  run->sectionCount = static_cast<uint16_t>(sections.size());
  const std::string working = folder + "Template/TEMP0.HTM";
  if (vrn::BuildWorkingTemplate(working.c_str(), run.get(), "template.var") == 1 &&
      vrn::LocaliseTemplate(working.c_str(), run.get()) == 1) {
    std::string out;
    vrn::ReadWholeFile(working.c_str(), &out);
    const size_t at = out.find("LANG_STR<");
    if (at != std::string::npos && text.find("LANG_STR<") == std::string::npos) std::abort();
  }
  kv::GlobalFree(run->sectionListHandle);
  return 0;
}
