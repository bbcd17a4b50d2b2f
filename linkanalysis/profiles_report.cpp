// The memorized-report dialog and the login dialog.
#include "linkanalysis/profiles_report.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/base/ini.h"
#include "platform/module/module.h"
#include "platform/ostrel/ostrel.h"
#include "platform/ui/dialog.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"

namespace fs = std::filesystem;

namespace kvla {
namespace {

namespace ids = report_ids;
using namespace kv::ui;

constexpr const char* kCaption = "Vodo Darevudo";
constexpr uint32_t kSelChange = 1;
constexpr const char* kKindPrefixes[] = {"file:///", "ftp://", "mailto:"};

struct ReportDialog {
  bool scheduleMode = false;
  MemorizedReport* chosen = nullptr;
  std::vector<ProfileListEntry> reports;
  KvWindow pages[3] = {0, 0, 0};
  int32_t pageCount = 0;
  std::string username;  // of the save-to address (FTP login)
  std::string password;
};

thread_local ReportDialog* t_report = nullptr;
thread_local std::string* t_description = nullptr;
thread_local std::string* t_loginUser = nullptr;
thread_local std::string* t_loginPassword = nullptr;

KvModule Self() { return KvModuleFromAddress(reinterpret_cast<const void*>(&RunMemorizedReportDialog)); }
std::string Text(uint32_t id) { return KVUI_GetModuleString(Self(), id); }
std::string Field(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }
std::string SettingsFile() { return ProfileFolder() + "LINKANLZ.INI"; }

void Warn(KvWindow owner, const std::string& text) {
  MessageBox(owner, text.c_str(), kCaption, MbOk | MbIconWarning);
}

KvWindow Page(const ReportDialog& st, int32_t templateId) {
  int32_t index = templateId == kContentPage ? 0 : templateId == kStylePage ? 1 : 2;
  return index < st.pageCount ? st.pages[index] : 0;
}

// Puts a report's values on the pages.
void ShowReport(ReportDialog* st, const MemorizedReport& r) {
  if (KvWindow content = Page(*st, kContentPage))
    for (int32_t i = 0; i < kReportTableCount; ++i)
      SetDlgItemInt(content, ids::kFirstRows + i, CheckedReportRows(i, r.rows[i]), true);
  if (KvWindow style = Page(*st, kStylePage)) {
    SetDlgItemText(style, ids::kStyle, Field(r.style, sizeof r.style).c_str());
    SetDlgItemText(style, ids::kLanguage, Field(r.language, sizeof r.language).c_str());
    SetDlgItemText(style, ids::kTitle, Field(r.title, sizeof r.title).c_str());
  }
  if (KvWindow save = Page(*st, kSaveAsPage)) {
    SaveToFields fields = SplitSaveToAddress(Field(r.saveAs, sizeof r.saveAs), ReportFolder(false));
    ListSetCurSel(save, ids::kKind, fields.combo);
    SetDlgItemText(save, ids::kEmail, fields.email.c_str());
    SetDlgItemText(save, ids::kPath, fields.path.c_str());
    EnableDlgItem(save, ids::kEmail, fields.combo == 2);
    SetDlgItemText(save, ids::kBrowse, Text(fields.combo == 1 ? 9 : 8).c_str());
  }
  st->username = Field(r.username, sizeof r.username);
  st->password = Field(r.password, sizeof r.password);
}

// Reads the pages into r (file and description are left as they are). The
// save-to address is checked; false (after the message) keeps the dialog open.
bool CollectPages(KvWindow dialog, ReportDialog* st, MemorizedReport* r) {
  if (KvWindow content = Page(*st, kContentPage))
    for (int32_t i = 0; i < kReportTableCount; ++i) {
      bool ok = false;
      int32_t value = GetDlgItemInt(content, ids::kFirstRows + i, &ok, true);
      r->rows[i] = CheckedReportRows(i, ok ? value : 0);
    }
  if (KvWindow style = Page(*st, kStylePage)) {
    std::snprintf(r->style, sizeof r->style, "%s", GetDlgItemString(style, ids::kStyle).c_str());
    std::snprintf(r->language, sizeof r->language, "%s", GetDlgItemString(style, ids::kLanguage).c_str());
    std::snprintf(r->title, sizeof r->title, "%s", GetDlgItemString(style, ids::kTitle).c_str());
  }
  if (KvWindow save = Page(*st, kSaveAsPage)) {
    int32_t kind = SaveToKindOfCombo(ListGetCurSel(save, ids::kKind));
    std::string address;
    int32_t error = BuildSaveToAddress(kind, GetDlgItemString(save, ids::kPath), GetDlgItemString(save, ids::kEmail),
                                       ReportFolder(true), &address);
    if (error == 0 && address.size() >= sizeof r->saveAs) error = 13;
    if (error != 0) {
      Warn(dialog, Text(static_cast<uint32_t>(error)));
      return false;
    }
    std::snprintf(r->saveAs, sizeof r->saveAs, "%s", address.c_str());
    r->urlType = SaveToKindOf(address) == kSaveFtp ? kSaveFtp : SaveToKindOf(address) == kSaveMail ? kSaveMail : kSaveFile;
  }
  std::snprintf(r->username, sizeof r->username, "%s", st->username.c_str());
  std::snprintf(r->password, sizeof r->password, "%s", st->password.c_str());
  return true;
}

void FillReportList(KvWindow dialog, ReportDialog* st, const std::string& select) {
  st->reports = MemorizedReportList();
  ListResetContent(dialog, ids::kReports);
  int32_t chosen = -1;
  for (size_t i = 0; i < st->reports.size(); ++i) {
    ListAddString(dialog, ids::kReports, st->reports[i].description);
    if (chosen < 0 && !select.empty() && strcasecmp(st->reports[i].description, select.c_str()) == 0)
      chosen = static_cast<int32_t>(i);
  }
  if (chosen < 0 && !st->reports.empty()) chosen = 0;
  ListSetCurSel(dialog, ids::kReports, chosen);
}

void LoadChosen(KvWindow dialog, ReportDialog* st) {
  int32_t index = ListGetCurSel(dialog, ids::kReports);
  MemorizedReport r;
  if (index >= 0 && index < static_cast<int32_t>(st->reports.size())) {
    ReadMemorizedReport(st->reports[index].file, &r);
  } else {
    std::memset(&r, 0, sizeof r);
    for (int32_t i = 0; i < kReportTableCount; ++i) r.rows[i] = ReportRowDefault(i);
  }
  ShowReport(st, r);
}

void SelectPage(ReportDialog* st, int32_t index) {
  for (int32_t i = 0; i < st->pageCount; ++i) ShowWindow(st->pages[i], i == index ? ShowNA : ShowHide);
}

KvResult DescriptionProc(KvWindow dialog, uint32_t message, KvWParam wparam, KvLParam) {
  if (message == kv::msg::InitDialog) return 1;
  if (message == kv::msg::Close) return EndDialog(dialog, 0), 1;
  if (message != kv::msg::Command) return 0;
  int32_t id = static_cast<int32_t>(LowWord(wparam));
  if (id == IdCancel) return EndDialog(dialog, 0), 1;
  if (id != IdOk) return 0;
  std::string text = GetDlgItemString(dialog, ids::kDescription);
  if (text.empty()) {
    Warn(dialog, "Please enter a description.");
    return 1;
  }
  if (t_description) *t_description = text.substr(0, kDescriptionSize - 1);
  EndDialog(dialog, 1);
  return 1;
}

void Memorize(KvWindow dialog, ReportDialog* st) {
  std::string description;
  std::string* outer = t_description;
  t_description = &description;
  intptr_t asked = DialogBoxParam(Self(), kDescriptionDialog, dialog, &DescriptionProc, 0);
  t_description = outer;
  if (asked != 1) return;
  MemorizedReport r;
  std::memset(&r, 0, sizeof r);
  for (int32_t i = 0; i < kReportTableCount; ++i) r.rows[i] = ReportRowDefault(i);
  // In schedule mode there is no save-to page: the chosen report's stays.
  int32_t index = ListGetCurSel(dialog, ids::kReports);
  if (index >= 0 && index < static_cast<int32_t>(st->reports.size())) ReadMemorizedReport(st->reports[index].file, &r);
  if (!CollectPages(dialog, st, &r)) return;
  std::string file;
  for (const ProfileListEntry& entry : st->reports)
    if (strcasecmp(entry.description, description.c_str()) == 0) file = entry.file;
  if (file.empty()) {
    std::error_code ec;
    fs::create_directories(ProfileFolder(), ec);
    file = NextFreeFileName(".LAR");
  }
  if (file.empty() || file.size() >= sizeof r.file) return Warn(dialog, "The memorized report could not be saved.");
  std::snprintf(r.file, sizeof r.file, "%s", file.c_str());
  std::snprintf(r.description, sizeof r.description, "%s", description.c_str());
  if (!WriteMemorizedReport(&r)) return Warn(dialog, "The memorized report could not be saved.");
  kv::IniWriteString("Main", "LastReport", description.c_str(), SettingsFile().c_str());
  FillReportList(dialog, st, description);
}

void Delete(KvWindow dialog, ReportDialog* st) {
  int32_t index = ListGetCurSel(dialog, ids::kReports);
  if (index < 0 || index >= static_cast<int32_t>(st->reports.size())) return;
  if (MessageBox(dialog, "Are you sure you want to remove this memorized report?", kCaption,
                 MbYesNo | MbIconWarning) != IdYes)
    return;
  std::error_code ec;
  fs::remove(st->reports[index].file, ec);
  FillReportList(dialog, st, "");
  LoadChosen(dialog, st);
}

bool Start(KvWindow dialog, ReportDialog* st) {
  MemorizedReport& r = *st->chosen;
  std::memset(&r, 0, sizeof r);
  int32_t index = ListGetCurSel(dialog, ids::kReports);
  if (index >= 0 && index < static_cast<int32_t>(st->reports.size())) ReadMemorizedReport(st->reports[index].file, &r);
  if (!CollectPages(dialog, st, &r)) return false;
  std::string language = Field(r.language, sizeof r.language);
  if (language.empty() || strcasecmp(language.c_str(), "(Default)") == 0) {
    language = kv::IniString("Language", "Report", "ENGLISH", SettingsFile().c_str());
    std::snprintf(r.language, sizeof r.language, "%s", language.c_str());
  }
  return true;
}

void KindChanged(KvWindow page) {
  int32_t sel = ListGetCurSel(page, ids::kKind);
  EnableDlgItem(page, ids::kEmail, sel == 2);
  SetDlgItemText(page, ids::kBrowse, Text(sel == 1 ? 9 : 8).c_str());
}

KvResult PageProc(KvWindow page, uint32_t message, KvWParam wparam, KvLParam) {
  if (message == kv::msg::InitDialog) {
    if (GetDlgItem(page, ids::kKind))
      for (const char* prefix : kKindPrefixes) ListAddString(page, ids::kKind, prefix);
    return 1;
  }
  if (message != kv::msg::Command) return 0;
  int32_t id = static_cast<int32_t>(LowWord(wparam));
  if (id == ids::kKind && HighWord(wparam) == kSelChange) {
    KindChanged(page);
    return 1;
  }
  if (id == ids::kBrowse && ListGetCurSel(page, ids::kKind) == 0) {
    std::string path;
    if (ChooseReportFile(page, GetDlgItemString(page, ids::kPath), &path)) SetDlgItemText(page, ids::kPath, path.c_str());
    return 1;
  }
  if (id == ids::kBrowse && ListGetCurSel(page, ids::kKind) == 1 && t_report) {
    RunLoginDialog(page, &t_report->username, &t_report->password);
    return 1;
  }
  return 0;
}

KvResult ReportProc(KvWindow dialog, uint32_t message, KvWParam wparam, KvLParam) {
  ReportDialog* st = t_report;
  if (!st) return 0;
  if (message == kv::msg::InitDialog) {
    KVUI_CenterDialog(dialog);
    const int32_t templates[3] = {kContentPage, kStylePage, kSaveAsPage};
    const uint32_t titles[3] = {16, 17, 15};
    st->pageCount = st->scheduleMode ? 2 : 3;
    for (int32_t i = 0; i < st->pageCount; ++i) {
      st->pages[i] = CreateDialogParam(Self(), templates[i], dialog, &PageProc, 0);
      ListAddString(dialog, ids::kTabs, Text(titles[i]).c_str());
    }
    ListSetCurSel(dialog, ids::kTabs, 0);
    SelectPage(st, 0);
    if (st->scheduleMode) SetDlgItemText(dialog, IdOk, "OK");
    FillReportList(dialog, st, kv::IniString("Main", "LastReport", "", SettingsFile().c_str()));
    LoadChosen(dialog, st);
    return 1;
  }
  if (message == kv::msg::Close) return EndDialog(dialog, 0), 1;
  if (message != kv::msg::Command) return 0;
  int32_t id = static_cast<int32_t>(LowWord(wparam));
  uint32_t code = HighWord(wparam);
  switch (id) {
    case IdOk:
      if (Start(dialog, st)) EndDialog(dialog, 1);
      return 1;
    case IdCancel:
      EndDialog(dialog, 0);
      return 1;
    case ids::kReports:
      if (code == kSelChange) LoadChosen(dialog, st);
      return 1;
    case ids::kTabs:
      if (code == kSelChange) SelectPage(st, ListGetCurSel(dialog, ids::kTabs));
      return 1;
    case ids::kMemorize:
      Memorize(dialog, st);
      return 1;
    case ids::kDelete:
      Delete(dialog, st);
      return 1;
    default:
      return 0;
  }
}

KvResult LoginProc(KvWindow dialog, uint32_t message, KvWParam wparam, KvLParam) {
  if (message == kv::msg::InitDialog) {
    if (t_loginUser) SetDlgItemText(dialog, ids::kUsername, t_loginUser->c_str());
    if (t_loginPassword) SetDlgItemText(dialog, ids::kPassword, t_loginPassword->c_str());
    return 1;
  }
  if (message == kv::msg::Close) return EndDialog(dialog, 0), 1;
  if (message != kv::msg::Command) return 0;
  int32_t id = static_cast<int32_t>(LowWord(wparam));
  if (id == IdCancel) return EndDialog(dialog, 0), 1;
  if (id != IdOk) return 0;
  if (t_loginUser) *t_loginUser = GetDlgItemString(dialog, ids::kUsername).substr(0, 40);
  if (t_loginPassword) *t_loginPassword = GetDlgItemString(dialog, ids::kPassword).substr(0, 40);
  EndDialog(dialog, 1);
  return 1;
}

}  // namespace

intptr_t RunMemorizedReportDialog(KvWindow parent, bool scheduleMode, MemorizedReport* chosen) {
  if (!chosen) return 0;
  ReportDialog st;
  st.scheduleMode = scheduleMode;
  st.chosen = chosen;
  ReportDialog* outer = t_report;
  t_report = &st;
  intptr_t result = DialogBoxParam(Self(), kReportDialog, parent, &ReportProc, 0);
  t_report = outer;
  return result == 1 ? 1 : 0;
}

KvWindow ReportDialogPage(int32_t index) {
  if (!t_report || index < 0 || index >= t_report->pageCount) return 0;
  return t_report->pages[index];
}

bool ChooseReportFile(KvWindow parent, const std::string& current, std::string* chosen) {
  kv::ui::SaveFileRequest request;
  request.title = "Report Filename";
  request.types = kv::ui::ParseFileFilter(Text(14), '\x01');
  request.folder = ReportFolder(false);
  request.current = current.empty() ? request.folder + "REPORT.HTM" : current;
  return kv::ui::GetSaveFileName(parent, request, chosen);
}

intptr_t RunLoginDialog(KvWindow parent, std::string* username, std::string* password) {
  std::string* outerUser = t_loginUser;
  std::string* outerPassword = t_loginPassword;
  t_loginUser = username;
  t_loginPassword = password;
  intptr_t result = DialogBoxParam(Self(), kLoginDialog, parent, &LoginProc, 0);
  t_loginUser = outerUser;
  t_loginPassword = outerPassword;
  return result == 1 ? 1 : 0;
}

}  // namespace kvla
