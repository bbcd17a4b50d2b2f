// The small INI files of the link analysis plug-in in its profile folder
// ("KVM_LINK/" under the plug-in's local directory): profiles "*.LAP",
// schedules "*.LAS" and memorized reports "*.LAR"; their lists, free file
// names, the schedule and memorized-report files key by key, the report
// tables' row limits, the save-to address rules and the schedule's date and
// time texts.
#ifndef KV_LINKANALYSIS_PROFILES_FILES_H
#define KV_LINKANALYSIS_PROFILES_FILES_H

#include <cstdint>
#include <string>
#include <vector>

#include "shell/plugin_host_abi.h"

namespace kvla {

inline constexpr int32_t kPathSize = 260;
inline constexpr int32_t kDescriptionSize = 80;
inline constexpr int32_t kReportTableCount = 10;

// One entry of the profile and memorized-report lists.
struct ProfileListEntry {
  char file[kPathSize];
  char description[kDescriptionSize];
};
static_assert(sizeof(ProfileListEntry) == 340, "ProfileListEntry is 340 bytes");

// Save-to kinds (the memorized report's urlType; 2 and 4 only as parsed).
enum SaveToKind : int32_t { kSaveFile = 0, kSaveFtp = 1, kSaveHttp = 2, kSaveMail = 3, kSaveOdbc = 4 };

struct MemorizedReport {
  char file[kPathSize];
  char description[kDescriptionSize];
  char saveAs[kPathSize];
  int32_t urlType;
  char username[41];
  char password[41];
  char language[256];
  char style[256];
  char title[256];
  int32_t rows[kReportTableCount];
};

// What a memorized report and a schedule set for one run: delivery, table
// sizes and report texts, and whether a user is present.
struct ReportRunSettings {
  std::string saveAs;
  std::string username;
  std::string password;
  int32_t deliveryKind = kSaveFile;
  int32_t rows[kReportTableCount] = {};
  std::string language;
  std::string style;
  std::string title;
  bool scheduled = false;           // no user present
  std::string schedulerLog;
};

// ---- folders ------------------------------------------------------------------

// The plug-in's local directory (the folder of the module that holds this
// code); tests may set another one (empty: back to the module's folder).
std::string LocalDirectory();
void SetLocalDirectory(const std::string& folder);
// "<local>/KVM_LINK/" and "<local>/REPORTS/Link Analysis/" (with the final
// "/"). The report folder is created (both levels) by ReportFolder(true).
std::string ProfileFolder();
std::string ReportFolder(bool create);

// ---- lists ----------------------------------------------------------------------

// Regular files of the profile folder whose extension matches ext (".LAP",
// ".LAS", ".LAR"; any case), in name order, as full paths.
std::vector<std::string> ListProfileFolder(const char* ext);
// Profiles with [Main] "Description" ("No profile description found" when
// empty); memorized reports with [Main] "MemorizedReportDescription" ("Report
// description" when empty). A path that does not fit an entry is left out.
std::vector<ProfileListEntry> ProfileList();
std::vector<ProfileListEntry> MemorizedReportList();
// The first "LINK<n><ext>" (n = 0, 1, ...) with no file of that name (any
// case) in the profile folder, as a full path; "" when none can be had.
std::string NextFreeFileName(const char* ext);

// ---- schedules --------------------------------------------------------------------

// Zeroes the record, sets scheduleFile and reads the keys of [Main]; missing
// keys read as zeroes and empty texts. False when the path does not fit.
bool ReadSchedule(const char* path, ScheduleEntry* entry);
// Writes the keys to entry->scheduleFile. False when a write fails.
bool WriteSchedule(const ScheduleEntry* entry);

// ---- memorized reports -------------------------------------------------------

// The row limits of report table `index` (outside 0-9: 1 and 1).
int32_t ReportRowDefault(int32_t index);
int32_t ReportRowMaximum(int32_t index);
// A stored row count made valid: outside 1..maximum it is the default.
int32_t CheckedReportRows(int32_t index, int32_t value);
const char* ReportTableKey(int32_t index);

// Zeroes the record, sets file and reads it; returns whether the file exists.
bool ReadMemorizedReport(const char* path, MemorizedReport* report);
bool WriteMemorizedReport(const MemorizedReport* report);
// Copies delivery, rows and report texts into the run's settings.
void ApplyMemorizedReport(const MemorizedReport& report, ReportRunSettings* settings);

// ---- save-to addresses --------------------------------------------------------

// The kind named by the text's prefix (see SaveToKind).
int32_t SaveToKindOf(const std::string& text);
// A "file:///" address as a local path ("|" in second place becomes ":",
// "/" becomes "\"); any other text unchanged.
std::string LocalFromFileUrl(const std::string& text);

// How the save-to fields show an address: the kind combo's index (0
// "file:///", 1 "ftp://", 2 "mailto:"), the e-mail address (mail only) and
// the path. An empty address is "REPORT.HTM" in the report folder.
struct SaveToFields {
  int32_t combo = 0;
  std::string email;
  std::string path;
};
SaveToFields SplitSaveToAddress(const std::string& address, const std::string& reportFolder);
// The kind that the combo's index stands for.
int32_t SaveToKindOfCombo(int32_t combo);

// The address as the save-to fields make it on saving: kind chosen in the
// combo (kSaveFile, kSaveFtp or kSaveMail), the path text and, for mail, the
// e-mail address. On success returns 0 and sets *out; otherwise the number
// of the plug-in's string that tells what is wrong (6 empty, 7 no e-mail
// address, 13 invalid address).
int32_t BuildSaveToAddress(int32_t kind, const std::string& path, const std::string& email,
                           const std::string& reportFolder, std::string* out);

// ---- schedule date and time ----------------------------------------------------

// Parses a date ("a<sep>b<sep>c", order by iDate: 0 month-day-year, 1
// day-month-year, 2 year-month-day) and a time ("h<sep>m<sep>s"). Returns 0
// and fills *tm (local time fields, tm_isdst -1) or the number of the
// plug-in's string: 10 blank, 11 invalid date, 12 invalid time.
int32_t ParseScheduleDateTime(const std::string& date, const std::string& time, char dateSep,
                              char timeSep, int32_t dateOrder, struct tm* out);
// The date and time texts shown for a start time (0: now + 300 seconds).
void FormatScheduleDateTime(int64_t startTime, char dateSep, char timeSep, int32_t dateOrder,
                            std::string* date, std::string* time);

// ---- profiles -------------------------------------------------------------------

// What the plug-in's entries show of a .LAP file.
struct ProfileSummary {
  std::string description;
  std::string start;       // start URL, or the home-page file in local mode
  std::string dataFolder;  // where the link database of the profile lives
};
// False when the file does not exist.
bool ReadProfileSummary(const char* lapPath, ProfileSummary* summary);
// Zero-fills the entry and fills it from a profile; false when the path does
// not fit (a cut path would name another file).
bool BuildProfileEntry(const char* lapPath, const ProfileSummary& summary, ProfileEntry* entry);

}  // namespace kvla

extern "C" {
// The "*.LAP" list of the profile folder: an array of *count entries from
// KVUI_MyAlloc (the caller frees it with KVUI_MyFree), or null with *count 0
// when there is none or no memory.
KV_EXPORT kvla::ProfileListEntry* KVLA_GetProfileFileList(int32_t* count);
}

#endif
