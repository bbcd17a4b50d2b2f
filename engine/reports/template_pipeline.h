// The template pipeline: the template source of a report kind becomes the
// working template (chosen chapters and sections, expanded repeat blocks),
// which is then localised from the report language's variable file.
#ifndef VORNIC_REPORTS_TEMPLATE_PIPELINE_H
#define VORNIC_REPORTS_TEMPLATE_PIPELINE_H

#include <cstdint>
#include <string>

#include <vornic/templates.h>

#include "platform/base/kvtypes.h"

namespace vrn {

struct ReportHandle;

// Longest generated repeat line and longest text before the first chapter.
constexpr size_t kRepeatLineLimit = 10000;

// Copies run->parentDir + "Template\" + sourceName to workingPath, keeping
// the chapters and sections that the run's section list keeps and expanding
// their repeat blocks. Without a section list nothing is written (0). A
// source that does not open ("Can't Load template file") or an output that
// cannot be made ("Cannot Save template file!") shows a message box and
// gives 0; 1 when the working template was written.
int BuildWorkingTemplate(const char* workingPath, ReportHandle* run, const char* sourceName);
// The same, but a run without a section list gets the whole template: every
// section kept, each repeat block expanded with its own section's counts.
int BuildWholeWorkingTemplate(const char* workingPath, ReportHandle* run, const char* sourceName);

// Writes `chapter` to `out` with each "%%%BeginRepeat%%%" ... "%%%EndRepeat"
// block expanded into section->RowCount rows (times ColumnCount columns when
// non-zero): "^" becomes the row number from 1, "~" the row plus FirstRow
// (and ",column"). Returns 1 when the text held a repeat block, 0 when it
// was written unchanged; -1 when a write failed.
int ExpandRepeatBlocks(ReportHandle* run, const TemplateSectionRecord* section, KvFile out,
                       const std::string& chapter);
// The same into a string (what ExpandRepeatBlocks writes).
int ExpandRepeatBlocksToText(const TemplateSectionRecord* section, const std::string& chapter, std::string* out);

// Replaces each "LANG_STR<name>" of the working template by the value of
// name in run->parentDir + "Template\<language>.RPL" (with the Morvane
// variants of TopAuthUsersTC and TopUsersTC when the profile enables them).
// 1 when rewritten (or left as it was, holding no such name), 0 when the
// file could not be opened, read or written.
int LocaliseTemplate(const char* workingPath, ReportHandle* run);
// The same, with the working template's text as it now stands in
// *localised when 1 is returned (left empty otherwise).
int LocaliseTemplate(const char* workingPath, ReportHandle* run, std::string* localised);

}  // namespace vrn

#endif
