// The schedule dialog.
#include "linkanalysis/profiles_schedule.h"

#include <strings.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "linkanalysis/profiles_files.h"
#include "linkanalysis/profiles_report.h"
#include "platform/base/debuglog.h"
#include "platform/base/ini.h"
#include "platform/base/paths.h"
#include "platform/module/module.h"
#include "platform/ostrel/ostrel.h"
#include "platform/ui/dialog.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"

namespace kvla {
namespace {

namespace ids = schedule_ids;
using namespace kv::ui;

constexpr const char* kCaption = "Vodo Darevudo";
constexpr uint32_t kComboSelChange = 1;
constexpr uint32_t kScheduleHelpContext = 3035;
constexpr const char* kKindPrefixes[] = {"file:///", "ftp://", "mailto:"};

struct ScheduleDialog {
  ScheduleEntry* entry = nullptr;
  std::vector<ProfileListEntry> reports;
  std::vector<ProfileListEntry> profiles;
  char dateSep = '/';
  char timeSep = ':';
  int32_t dateOrder = 0;
};

thread_local ScheduleDialog* t_dialog = nullptr;

KvModule Self() { return KvModuleFromAddress(reinterpret_cast<const void*>(&RunScheduleDialog)); }

std::string Text(uint32_t id) { return KVUI_GetModuleString(Self(), id); }

std::string Field(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

void Warn(KvWindow dialog, const std::string& text) {
  MessageBox(dialog, text.c_str(), kCaption, MbOk | MbIconWarning);
}

char IntlSeparator(const char* key, char def) {
  std::string value = kv::IniString("intl", key, std::string(1, def).c_str(), "WIN.INI");
  return value.empty() ? def : value[0];
}

int32_t SelectByPath(const std::vector<ProfileListEntry>& list, const char* path) {
  for (size_t i = 0; i < list.size(); ++i)
    if (strcasecmp(list[i].file, path) == 0) return static_cast<int32_t>(i);
  return 0;
}

// Shows the entry's save-to address in the kind combo and the two fields.
void ShowSaveTo(KvWindow dialog, const ScheduleDialog& st) {
  SaveToFields fields = SplitSaveToAddress(Field(st.entry->saveAs, sizeof st.entry->saveAs), ReportFolder(false));
  ListSetCurSel(dialog, ids::kKind, fields.combo);
  SetDlgItemText(dialog, ids::kEmail, fields.email.c_str());
  SetDlgItemText(dialog, ids::kPath, fields.path.c_str());
  EnableDlgItem(dialog, ids::kEmail, fields.combo == 2);
  SetDlgItemText(dialog, ids::kBrowse, Text(fields.combo == 1 ? 9 : 8).c_str());
}

void FillMemorizedList(KvWindow dialog, ScheduleDialog* st, const char* select) {
  st->reports = MemorizedReportList();
  ListResetContent(dialog, ids::kMemorized);
  if (st->reports.empty()) {
    ListAddString(dialog, ids::kMemorized, "No memorized reports found");
  } else {
    for (const ProfileListEntry& r : st->reports) ListAddString(dialog, ids::kMemorized, r.description);
  }
  ListSetCurSel(dialog, ids::kMemorized, SelectByPath(st->reports, select));
}

void Init(KvWindow dialog, ScheduleDialog* st) {
  KVUI_GetBoldFaceFont(GetDlgItem(dialog, ids::kHeading));
  KVUI_CenterDialog(dialog);
  st->dateSep = IntlSeparator("sDate", '/');
  st->timeSep = IntlSeparator("sTime", ':');
  st->dateOrder = kv::IniGetInt("intl", "iDate", 0, "WIN.INI");

  FillMemorizedList(dialog, st, st->entry->memorizedReport);

  st->profiles = ProfileList();
  for (const ProfileListEntry& p : st->profiles) ListAddString(dialog, ids::kProfile, p.description);
  ListSetCurSel(dialog, ids::kProfile, SelectByPath(st->profiles, st->entry->associatedProfile));

  std::string date, time;
  FormatScheduleDateTime(st->entry->startTime, st->dateSep, st->timeSep, st->dateOrder, &date, &time);
  SetDlgItemText(dialog, ids::kDate, date.c_str());
  SetDlgItemText(dialog, ids::kTime, time.c_str());
  SetDlgItemInt(dialog, ids::kFrequency, st->entry->repeatFrequency, true);
  for (uint32_t id = 1; id <= 5; ++id) ListAddString(dialog, ids::kRepeat, Text(id).c_str());
  int32_t repeat = st->entry->repeatType;
  ListSetCurSel(dialog, ids::kRepeat, repeat >= 0 && repeat <= 4 ? repeat : 0);
  for (const char* prefix : kKindPrefixes) ListAddString(dialog, ids::kKind, prefix);
  ShowSaveTo(dialog, *st);
}

void ChooseMemorizedReport(KvWindow dialog, ScheduleDialog* st) {
  int32_t index = ListGetCurSel(dialog, ids::kMemorized);
  if (index < 0 || index >= static_cast<int32_t>(st->reports.size())) return;
  MemorizedReport report;
  ReadMemorizedReport(st->reports[index].file, &report);
  ScheduleEntry* e = st->entry;
  std::snprintf(e->saveAs, sizeof e->saveAs, "%s", report.saveAs);
  std::snprintf(e->username, sizeof e->username, "%s", report.username);
  std::snprintf(e->password, sizeof e->password, "%s", report.password);
  std::snprintf(e->memorizedReport, sizeof e->memorizedReport, "%s", report.file);
  ShowSaveTo(dialog, *st);
}

// Reads and checks the fields; writes the .LAS file. False keeps the dialog open.
bool Save(KvWindow dialog, ScheduleDialog* st) {
  ScheduleEntry* e = st->entry;
  bool ok = false;
  int32_t frequency = GetDlgItemInt(dialog, ids::kFrequency, &ok, true);
  int32_t repeat = ListGetCurSel(dialog, ids::kRepeat);
  struct tm tm {};
  int32_t error = ParseScheduleDateTime(GetDlgItemString(dialog, ids::kDate), GetDlgItemString(dialog, ids::kTime),
                                        st->dateSep, st->timeSep, st->dateOrder, &tm);
  time_t when = error == 0 ? mktime(&tm) : static_cast<time_t>(-1);
  // The start time is stored in 32 bits: a date it cannot hold is invalid.
  if (error == 0 && (when == static_cast<time_t>(-1) || when > INT32_MAX)) error = 11;
  if (error != 0) {
    Warn(dialog, Text(static_cast<uint32_t>(error)));
    return false;
  }
  int32_t kindIndex = ListGetCurSel(dialog, ids::kKind);
  int32_t kind = SaveToKindOfCombo(kindIndex);
  std::string address;
  error = BuildSaveToAddress(kind, GetDlgItemString(dialog, ids::kPath), GetDlgItemString(dialog, ids::kEmail),
                             ReportFolder(true), &address);
  // An address the record cannot hold whole would be stored cut.
  if (error == 0 && address.size() >= sizeof e->saveAs) error = 13;
  if (error != 0) {
    Warn(dialog, Text(static_cast<uint32_t>(error)));
    return false;
  }
  e->repeatFrequency = ok ? frequency : 0;
  e->repeatType = repeat >= 0 ? repeat : 0;
  e->startTime = static_cast<int32_t>(when);
  std::snprintf(e->saveAs, sizeof e->saveAs, "%s", address.c_str());
  int32_t report = ListGetCurSel(dialog, ids::kMemorized);
  if (report >= 0 && report < static_cast<int32_t>(st->reports.size()))
    std::snprintf(e->memorizedReport, sizeof e->memorizedReport, "%s", st->reports[report].file);
  int32_t profile = ListGetCurSel(dialog, ids::kProfile);
  if (profile >= 0 && profile < static_cast<int32_t>(st->profiles.size()))
    std::snprintf(e->associatedProfile, sizeof e->associatedProfile, "%s", st->profiles[profile].file);
  if (!WriteSchedule(e)) {
    Warn(dialog, "The schedule could not be saved.");
    return false;
  }
  return true;
}

KvResult ScheduleProc(KvWindow dialog, uint32_t message, KvWParam wparam, KvLParam lparam) {
  ScheduleDialog* st = t_dialog;
  if (!st) return 0;
  if (message == kv::msg::InitDialog) {
    (void)lparam;
    Init(dialog, st);
    return 1;
  }
  if (message == kv::msg::Close) {
    EndDialog(dialog, 0);
    return 1;
  }
  if (message != kv::msg::Command) return 0;
  const int32_t id = static_cast<int32_t>(LowWord(wparam));
  const uint32_t code = HighWord(wparam);
  switch (id) {
    case IdOk:
      if (Save(dialog, st)) EndDialog(dialog, 1);
      return 1;
    case IdCancel:
      EndDialog(dialog, 0);
      return 1;
    case ids::kMemorized:
      if (code == kComboSelChange) ChooseMemorizedReport(dialog, st);
      return 1;
    case ids::kNew: {
      MemorizedReport chosen;
      if (RunMemorizedReportDialog(dialog, true, &chosen) == 1) {
        std::string select = chosen.file[0] ? Field(chosen.file, sizeof chosen.file)
                                            : Field(st->entry->memorizedReport, sizeof st->entry->memorizedReport);
        FillMemorizedList(dialog, st, select.c_str());
        ChooseMemorizedReport(dialog, st);
      }
      return 1;
    }
    case ids::kHelp: {
      // The program's help file, as the main program names it.
      std::string language =
          kv::IniString("Language", "Program", "ENGLISH", (kv::ProgramFolder() + "KELVARON.INI").c_str());
      char line[600];
      std::snprintf(line, sizeof line, "WinHelp %sHELP\\%s\\PRODUCT.HLP, command 1, context %u",
                    kv::ProgramFolder().c_str(), language.c_str(), kScheduleHelpContext);
      kv::DebugOutput(line);
      return 1;
    }
    case ids::kBrowse:
      if (ListGetCurSel(dialog, ids::kKind) == 0) {
        std::string path;
        if (ChooseReportFile(dialog, GetDlgItemString(dialog, ids::kPath), &path))
          SetDlgItemText(dialog, ids::kPath, path.c_str());
      } else if (ListGetCurSel(dialog, ids::kKind) == 1) {
        std::string user = Field(st->entry->username, sizeof st->entry->username);
        std::string password = Field(st->entry->password, sizeof st->entry->password);
        if (RunLoginDialog(dialog, &user, &password) == 1) {
          std::snprintf(st->entry->username, sizeof st->entry->username, "%s", user.c_str());
          std::snprintf(st->entry->password, sizeof st->entry->password, "%s", password.c_str());
        }
      }
      return 1;
    case ids::kKind:
      if (code == kComboSelChange) {
        int32_t sel = ListGetCurSel(dialog, ids::kKind);
        EnableDlgItem(dialog, ids::kEmail, sel == 2);
        SetDlgItemText(dialog, ids::kBrowse, Text(sel == 1 ? 9 : 8).c_str());
      }
      return 1;
    default:
      return 0;
  }
}

}  // namespace

intptr_t RunScheduleDialog(KvWindow parent, ScheduleEntry* entry) {
  if (!entry) return 0;
  if (ProfileList().empty()) {
    MessageBox(parent, "No link analysis profile files found.", kCaption, MbOk | MbIconWarning);
    return 0;
  }
  ScheduleDialog st;
  st.entry = entry;
  ScheduleDialog* outer = t_dialog;
  t_dialog = &st;
  intptr_t result = DialogBoxParam(Self(), kScheduleDialog, parent, &ScheduleProc, 0);
  t_dialog = outer;
  return result == 1 ? 1 : 0;
}

}  // namespace kvla
