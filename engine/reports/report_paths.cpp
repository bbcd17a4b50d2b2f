#include "engine/reports/report_paths.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "engine/core/engine_state.h"
#include "engine/core/report_run.h"
#include "engine/database/analysis_context.h"
#include "engine/database/table_accessors.h"
#include "engine/reports/template_pipeline.h"
#include "engine/reports/template_text.h"
#include "platform/base/files.h"
#include "platform/base/strutil.h"

namespace vrn {

const char* TemplateSourceName(uint16_t logKind) {
  if (logKind == 7) return "referlog.var";
  if (logKind == 8) return "agentlog.var";
  return "template.var";
}

bool MakeTempReportName(char* path, size_t size) {
  if (path == nullptr || size == 0) return false;
  const std::string folder(path, strnlen(path, size));
  // Every 16-bit number is tried once; a folder where all are taken gives up
  // instead of searching for ever.
  for (uint32_t n = 0; n <= 0xFFFFu; ++n) {
    char name[24];
    std::snprintf(name, sizeof name, "TEMP%u.HTM", n);
    const std::string candidate = folder + name;
    if (candidate.size() >= size) return false;
    if (FileExists(candidate.c_str()) == 0) {
      CopyText(path, size, candidate);
      return true;
    }
  }
  return false;
}

int FileExists(const char* path) { return path != nullptr && *path != '\0' && kv::PathExists(path) ? 1 : 0; }

int BuildTemplatePaths(ReportHandle* run, AnalysisContext* context) {
  if (run == nullptr || context == nullptr) return 0;
  // The pictures lie beside the search-engine file; a folder without them
  // takes the program folder's.
  std::string images = std::string(run->grandparentDir) + "Base/Images/";
  if (!kv::PathExists(images.c_str())) images = EngineFolder() + "Base/Images/";
  CopyText(context->imagesReference, sizeof context->imagesReference, images);
  MakeTempReportName(context->imagesReference, sizeof context->imagesReference);
  const std::string working = std::string(run->parentDir) + "Template\\";
  CopyText(context->workingTemplatePath, sizeof context->workingTemplatePath, working);
  if (!MakeTempReportName(context->workingTemplatePath, sizeof context->workingTemplatePath)) return 0;
  return BuildWorkingTemplate(context->workingTemplatePath, run, TemplateSourceName(context->logKind));
}

void FormatReportDate(AnalysisContext* context) {
  if (context == nullptr) return;
  const time_t now = std::time(nullptr);
  const struct tm* local = GetLocalTimeOf(&now);
  if (local == nullptr) return;
  const struct tm copy = *local;
  IntlLocale storage;
  const IntlLocale* locale = ReportOptionsLocale(context->options, &storage);
  const char* format = "%A %B %d, %Y - %T";
  if (context->options != nullptr && context->options->texts[kIntlTexts + 2] != nullptr)
    format = context->options->texts[kIntlTexts + 2];
  FormatIntlDateTime(context->reportDateText, sizeof context->reportDateText, format, &copy, locale);
}

void GetLanguageFolder(const char* language, std::string* path) {
  if (path == nullptr || language == nullptr) return;
  if (kv::IEquals(language, "ENGLISH")) return;
  *path += "LANG\\";
  *path += language;
  *path += "\\";
}

}  // namespace vrn
