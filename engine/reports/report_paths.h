// Where a report's pictures and working template live, which template
// source a report kind uses, and the report's generation date.
//
// The run's template base folder is ReportHandle::parentDir (the folder
// above the profile folder), its image base folder ReportHandle::grandparentDir.
#ifndef VORNIC_REPORTS_REPORT_PATHS_H
#define VORNIC_REPORTS_REPORT_PATHS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vrn {

struct ReportHandle;
struct AnalysisContext;

// Template source of a log kind: 7 "referlog.var", 8 "agentlog.var", else
// "template.var".
const char* TemplateSourceName(uint16_t logKind);

// Sets the context's images reference (image base folder + "Base\Images\"
// + a free name) and working template path (template base folder +
// "Template\" + a free name), then writes the working template from the log
// kind's source. Returns BuildWorkingTemplate's result (1 written, 0 not).
int BuildTemplatePaths(ReportHandle* run, AnalysisContext* context);

// `path` holds a folder ending in a separator; on return it holds the folder
// followed by the first "TEMP%d.HTM" (0..65535) that does not exist. False
// (path unchanged) when every name is taken or the result does not fit in
// `size` bytes.
bool MakeTempReportName(char* path, size_t size);

// 1 when a file or folder of that name exists, else 0.
int FileExists(const char* path);

// Writes the current local time in the report options' generated-on format
// into the context's report date.
void FormatReportDate(AnalysisContext* context);

// Unless language is "ENGLISH" (any case), appends "LANG\<language>\" to path.
void GetLanguageFolder(const char* language, std::string* path);

}  // namespace vrn

#endif
