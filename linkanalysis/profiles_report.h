// The memorized-report dialog (template 125): choosing, memorizing and
// deleting memorized reports, with the pages "Content", "Style" and "Save As
// / Mail To"; and the FTP login dialog (template 136).
#ifndef KV_LINKANALYSIS_PROFILES_REPORT_H
#define KV_LINKANALYSIS_PROFILES_REPORT_H

#include <cstdint>
#include <string>

#include "linkanalysis/profiles_files.h"

namespace kvla {

inline constexpr int32_t kReportDialog = 125;
inline constexpr int32_t kContentPage = 12000, kStylePage = 10000, kSaveAsPage = 11000;
inline constexpr int32_t kDescriptionDialog = 14000, kLoginDialog = 136;
namespace report_ids {
inline constexpr int32_t kReports = 1001, kTabs = 1002, kMemorize = 1003, kDelete = 1004;
inline constexpr int32_t kFirstRows = 1101;  // 1101..1110, in report table order
inline constexpr int32_t kStyle = 1201, kLanguage = 1202, kTitle = 1203;
inline constexpr int32_t kKind = 1301, kEmail = 1302, kPath = 1303, kBrowse = 1304;
inline constexpr int32_t kDescription = 1401;
inline constexpr int32_t kUsername = 1361, kPassword = 1362;
}

// Runs the dialog. In schedule mode the "Save As / Mail To" page is left out
// and the start button reads "OK". On start: 1, with the report as the pages
// show it in *chosen (file: the memorized report chosen, "" when none);
// cancelled: 0.
intptr_t RunMemorizedReportDialog(KvWindow parent, bool scheduleMode, MemorizedReport* chosen);

// The page windows of the running dialog (0 when absent), in tab order.
KvWindow ReportDialogPage(int32_t index);

// Asks for an FTP username and password; 1 when OK was pressed.
intptr_t RunLoginDialog(KvWindow parent, std::string* username, std::string* password);

// The save-file dialog "Report Filename" for a local save-to path: HTML files
// listed, opened beside `current` ("REPORT.HTM" in the report folder when
// empty). True with *chosen set when the user chose a file.
bool ChooseReportFile(KvWindow parent, const std::string& current, std::string* chosen);

}  // namespace kvla

#endif
