// The six pages of the General Options sheet and the proxy log-on dialog.
// Each page reads its keys of KELVARON.INI when it opens and writes them when
// the sheet's OK applies it.
#include <strings.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/base/debuglog.h"
#include "platform/base/files.h"
#include "platform/netapi32/netapi32.h"
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"
#include "shell/options_sheet.h"
#include "shell/settings_file.h"
#include "shell/startup_main.h"
#include "webserver/logon.h"

namespace kv::opts {

namespace detail {
// Defined with the sheet (options_sheet.cpp).
void RememberPage(int32_t index);
void SetOkPressed();
void SetServiceSwitch(bool on);
void SetLogonChanged();
uint32_t HelpContextOf(int32_t index);

void SplitHostPort(const std::string& value, std::string* host, std::string* port) {
  size_t colon = value.find(':');
  *host = value.substr(0, colon);
  *port = colon == std::string::npos ? "" : value.substr(colon + 1);
}

namespace {
// A port field's number: digits only, 1 to 65535.
bool PortNumber(const std::string& text, int32_t* value) {
  if (text.empty() || text.size() > 5) return false;
  int32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < 1 || v > 65535) return false;
  *value = v;
  return true;
}
}  // namespace

std::string JoinProxy(const std::string& host, const std::string& port) {
  if (host.empty()) return "";
  int32_t number = 0;
  if (!PortNumber(port, &number)) return host;
  return host + ":" + std::to_string(number);
}

int32_t StoredWebCount(int32_t number, bool boxChecked, int32_t fallback) {
  if (number < 0) number = -number;
  if (number == 0) number = fallback;
  return boxChecked ? number : -number;
}

std::string LanguageName(uint32_t language) {
  switch (language & 0x3FF) {  // the primary language
    case 0x09: return "ENGLISH";
    case 0x0C: return "FRENCH";
    case 0x07: return "GERMAN";
    case 0x11: return "JAPANESE";
    case 0x0A: return "SPANISH";
    case 0x10: return "ITALIAN";
    case 0x13: return "DUTCH";
    case 0x16: return "PORTUGUESE";
    case 0x1D: return "SWEDISH";
    default: return "";
  }
}
}  // namespace detail

namespace {

using namespace kv::ui;

KvModule Resources() {
  app::AppState& a = app::App();
  return a.resourceModule ? a.resourceModule : KvSelfModule();
}

std::string ResourceString(uint32_t id) {
  char text[512] = "";
  KvLoadString(Resources(), id, text, sizeof text);
  return text;
}

std::string Field(KvWindow dialog, int32_t id, size_t limit = 0) {
  std::string text = GetDlgItemString(dialog, id);
  if (limit && text.size() > limit) text.resize(limit);
  return text;
}

std::string SelectedText(KvWindow dialog, int32_t id) {
  int32_t sel = ListGetCurSel(dialog, id);
  return sel < 0 ? std::string() : ListGetString(dialog, id, sel);
}

void SelectOrFirst(KvWindow dialog, int32_t id, const std::string& text) {
  int32_t at = text.empty() ? ListError : ListFindString(dialog, id, text.c_str());
  ListSetCurSel(dialog, id, at >= 0 ? at : (ListGetCount(dialog, id) > 0 ? 0 : -1));
}

bool IsOn(KvWindow dialog, int32_t id) { return IsDlgButtonChecked(dialog, id) == ui::Checked; }

// What every page does with the sheet's notifications. Returns true when the
// page is to save its fields now.
bool HandleNotify(int32_t index, KvLParam lparam, KvResult* result) {
  const auto* n = reinterpret_cast<const SheetNotify*>(lparam);
  *result = 0;
  if (!n) return false;
  switch (n->code) {
    case kNotifyHelp: {
      char line[400];
      std::snprintf(line, sizeof line, "WinHelp %s, command 1, context %u", app::App().helpFile.c_str(),
                    detail::HelpContextOf(index));
      DebugOutput(line);
      *result = 1;
      return false;
    }
    case kNotifySetActive:
      detail::RememberPage(index);
      return false;
    case kNotifyApply:
      detail::SetOkPressed();
      SendMessage(n->from, kSheetCancelToClose, 0, 0);
      return true;
    default:
      return false;
  }
}

const std::string kEnglish = "ENGLISH";

}  // namespace
}  // namespace kv::opts

using namespace kv::opts;
using namespace kv::ui;
namespace msg = kv::msg;

// ---- page 0: languages and country ------------------------------------------------

namespace {
std::string g_programAtOpening;

// The code of a country line: the text before its first tab or blank.
std::string CountryCode(const std::string& line) { return line.substr(0, line.find_first_of("\t ")); }
}  // namespace

extern "C" KvResult ConfigDefaultsDlg(KvWindow dialog, uint32_t message, KvWParam, KvLParam lparam) {
  if (message == msg::InitDialog) {
    // Report languages: English and every folder under LANG.
    ListAddString(dialog, ids::kReportLanguage, kEnglish.c_str());
    std::string pattern = std::string(GetProgramDirectory()) + "LANG/*.*";
    for (const kv::FileInfo& f : kv::FindFiles(pattern.c_str())) {
      if (!f.folder) continue;
      std::string name = f.name.substr(0, f.name.rfind('.'));
      if (!name.empty() && ListFindString(dialog, ids::kReportLanguage, name.c_str()) < 0)
        ListAddString(dialog, ids::kReportLanguage, name.c_str());
    }
    SelectOrFirst(dialog, ids::kReportLanguage, ReadReportLanguage());
    // Program languages: every language of the module's main panel template.
    uint32_t languages[64];
    uint32_t count = KvGetResourceLanguages(Resources(), KV_RESOURCE_DIALOG, 100, languages, 64);
    for (uint32_t i = 0; i < count && i < 64; ++i) {
      std::string name = detail::LanguageName(languages[i]);
      if (!name.empty() && ListFindString(dialog, ids::kProgramLanguage, name.c_str()) < 0)
        ListAddString(dialog, ids::kProgramLanguage, name.c_str());
    }
    g_programAtOpening = ReadProgramLanguage();
    SelectOrFirst(dialog, ids::kProgramLanguage, g_programAtOpening);
    // Countries: one a line of text 5613.
    uint32_t size = 0;
    const char* text = static_cast<const char*>(KvFindText(Resources(), 5613, &size));
    std::string country = ReadCountry();
    if (text) {
      std::string all(text, size);
      size_t start = 0;
      while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        std::string line = all.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) {
          int32_t at = ListAddString(dialog, ids::kCountry, line.c_str());
          if (at >= 0 && CountryCode(line) == country) ListSetCurSel(dialog, ids::kCountry, at);
        }
        start = end + 1;
      }
    }
    return 1;
  }
  if (message != msg::Notify) return 0;
  KvResult result = 0;
  if (!HandleNotify(0, lparam, &result)) return result;
  std::string program = SelectedText(dialog, ids::kProgramLanguage);
  if (!program.empty()) {
    WriteProgramLanguage(program.c_str());
    if (strcasecmp(program.c_str(), g_programAtOpening.c_str()) != 0)
      MessageBox(0, ResourceString(9179).c_str(), ResourceString(9178).c_str(), MbOk);
  }
  std::string report = SelectedText(dialog, ids::kReportLanguage);
  if (!report.empty()) WriteReportLanguage(report.c_str());
  std::string country = SelectedText(dialog, ids::kCountry);
  if (!country.empty()) WriteCountry(CountryCode(country).c_str());
  return result;
}

// ---- page 1: browser ---------------------------------------------------------------

namespace {

// The file chooser's state: the folder shown and, on OK, the file chosen.
struct FileChoice {
  std::string folder;
  std::string chosen;
};

void ShowFolder(KvWindow dialog, FileChoice* choice) {
  SetDlgItemText(dialog, ids::kChooserFolder, choice->folder.c_str());
  SetDlgItemText(dialog, ids::kChooserName, "");
  ListResetContent(dialog, ids::kChooserList);
  std::vector<std::string> folders, files;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(choice->folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code e;
    (it->is_directory(e) ? folders : files).push_back(it->path().filename().string());
  }
  std::sort(folders.begin(), folders.end());
  std::sort(files.begin(), files.end());
  if (choice->folder != "/") ListAddString(dialog, ids::kChooserList, "../");
  for (const auto& f : folders) ListAddString(dialog, ids::kChooserList, (f + "/").c_str());
  for (const auto& f : files) ListAddString(dialog, ids::kChooserList, f.c_str());
}

}  // namespace

extern "C" KvResult ChooseFileDlg(KvWindow dialog, uint32_t message, KvWParam wparam, KvLParam lparam) {
  static FileChoice* choice = nullptr;
  if (message == msg::InitDialog) {
    choice = reinterpret_cast<FileChoice*>(lparam);
    if (choice) ShowFolder(dialog, choice);
    return 1;
  }
  if (message == msg::Close) {
    EndDialog(dialog, 0);
    return 1;
  }
  if (message != msg::Command || !choice) return 0;
  int32_t id = static_cast<int32_t>(LowWord(wparam));
  if (id == ids::kChooserList) {
    int32_t at = ListGetCurSel(dialog, ids::kChooserList);
    if (at >= 0) SetDlgItemText(dialog, ids::kChooserName, ListGetString(dialog, ids::kChooserList, at).c_str());
    return 1;
  }
  if (id == IdCancel) {
    EndDialog(dialog, 0);
    return 1;
  }
  if (id != IdOk) return 0;
  std::string name = GetDlgItemString(dialog, ids::kChooserName);
  if (name.empty()) return 1;
  std::filesystem::path path = name[0] == '/' ? std::filesystem::path(name) : std::filesystem::path(choice->folder) / name;
  std::error_code ec;
  path = std::filesystem::weakly_canonical(path, ec);
  if (ec) return 1;
  if (std::filesystem::is_directory(path, ec)) {
    choice->folder = path.string();
    ShowFolder(dialog, choice);
  } else if (std::filesystem::exists(path, ec)) {
    choice->chosen = path.string();
    EndDialog(dialog, 1);
  }
  return 1;
}

extern "C" KvResult SelectBrowserDlg(KvWindow dialog, uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (message == msg::InitDialog) {
    SetDlgItemText(dialog, ids::kBrowserPath, ReadBrowserPath().c_str());
    return 1;
  }
  if (message == msg::Command && static_cast<int32_t>(LowWord(wparam)) == ids::kBrowserBrowse) {
    // The chooser opens in the folder of the program named so far.
    FileChoice choice;
    std::error_code ec;
    std::filesystem::path current = Field(dialog, ids::kBrowserPath);
    choice.folder = current.has_parent_path() && std::filesystem::is_directory(current.parent_path(), ec)
                        ? current.parent_path().string()
                        : "/usr/bin";
    if (DialogBoxParam(Resources(), kFileChooserTemplate, dialog, ChooseFileDlg,
                       reinterpret_cast<KvLParam>(&choice)) == 1 &&
        !choice.chosen.empty())
      SetDlgItemText(dialog, ids::kBrowserPath, choice.chosen.c_str());
    return 1;
  }
  if (message != msg::Notify) return 0;
  KvResult result = 0;
  if (!HandleNotify(1, lparam, &result)) return result;
  WriteBrowserPath(Field(dialog, ids::kBrowserPath).c_str());
  return result;
}

// ---- page 2: NT service and logon ----------------------------------------------------

namespace {
constexpr size_t kLogonPasswordLimit = 30;
std::string g_userAtOpening, g_passwordAtOpening;

void EnableLogonFields(KvWindow dialog) {
  bool on = IsDlgButtonChecked(dialog, ids::kRunAsService) == Checked;
  EnableDlgItem(dialog, ids::kServiceUser, on);
  EnableDlgItem(dialog, ids::kServicePassword, on);
}
}  // namespace

extern "C" KvResult ServiceLogonPage(KvWindow dialog, uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (message == msg::InitDialog) {
    CheckDlgButton(dialog, ids::kRunAsService, kv::app::App().runningAsService ? Checked : Unchecked);
    g_userAtOpening = ReadSetting(::settings::kUsername);
    g_passwordAtOpening = ReadScrambledSetting(::settings::kPassword);
    SetDlgItemText(dialog, ids::kServiceUser, g_userAtOpening.c_str());
    SetDlgItemText(dialog, ids::kServicePassword, g_passwordAtOpening.c_str());
    EnableLogonFields(dialog);  // this platform counts as Windows NT: the page is enabled
    return 1;
  }
  if (message == msg::Command) {
    if (static_cast<int32_t>(LowWord(wparam)) != ids::kRunAsService) return 0;
    EnableLogonFields(dialog);
    return 1;
  }
  if (message != msg::Notify) return 0;
  const auto* n = reinterpret_cast<const SheetNotify*>(lparam);
  if (n && n->code == kNotifyReset) {
    detail::SetServiceSwitch(kv::app::App().runningAsService);
    return 0;
  }
  KvResult result = 0;
  if (!HandleNotify(2, lparam, &result)) return result;
  detail::SetServiceSwitch(IsOn(dialog, ids::kRunAsService));
  std::string user = Field(dialog, ids::kServiceUser, ::settings::kUsername.size - 1);
  std::string password = Field(dialog, ids::kServicePassword, kLogonPasswordLimit);
  WriteSetting(::settings::kUsername, user.c_str());
  if (user != g_userAtOpening || password != g_passwordAtOpening) detail::SetLogonChanged();
  WriteScrambledSetting(::settings::kPassword, password);
  return result;
}

// ---- page 3: proxies ------------------------------------------------------------------

namespace {
std::string g_heldProxyAuth;

void EnableProxyFields(KvWindow dialog) {
  bool on = IsDlgButtonChecked(dialog, ids::kProxyEnable) == Checked;
  for (int32_t id : {ids::kHttpHost, ids::kHttpPort, ids::kFtpHost, ids::kFtpPort})
    EnableDlgItem(dialog, id, on);
}

void ShowProxy(KvWindow dialog, const ::SettingKey& key, int32_t hostId, int32_t portId) {
  std::string host, port;
  detail::SplitHostPort(ReadSetting(key), &host, &port);
  SetDlgItemText(dialog, hostId, host.c_str());
  if (!host.empty()) SetDlgItemText(dialog, portId, port.empty() ? "80" : port.c_str());
}
}  // namespace

extern "C" KvResult DravelLoginDlg(KvWindow dialog, uint32_t message, KvWParam wparam, KvLParam lparam) {
  static std::string* held = nullptr;
  if (message == msg::InitDialog) {
    held = reinterpret_cast<std::string*>(lparam);
    std::string user, password;
    if (held) detail::SplitHostPort(*held, &user, &password);
    SetDlgItemText(dialog, ids::kAuthUser, user.c_str());
    SetDlgItemText(dialog, ids::kAuthPassword, password.c_str());
    return 1;
  }
  if (message == msg::Close) {
    EndDialog(dialog, 0);
    return 1;
  }
  if (message != msg::Command) return 0;
  int32_t id = static_cast<int32_t>(LowWord(wparam));
  if (id == IdOk) {
    std::string user = GetDlgItemString(dialog, ids::kAuthUser);
    if (held) *held = user.empty() ? std::string() : user + ":" + GetDlgItemString(dialog, ids::kAuthPassword);
    EndDialog(dialog, 1);
    return 1;
  }
  if (id == IdCancel) {
    EndDialog(dialog, 0);
    return 1;
  }
  return 0;
}

extern "C" KvResult ProxyPage(KvWindow dialog, uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (message == msg::InitDialog) {
    CheckDlgButton(dialog, ids::kProxyEnable, ReadSettingFlag(::settings::kProxyEnable) ? Checked : Unchecked);
    ShowProxy(dialog, ::settings::kHttpProxy, ids::kHttpHost, ids::kHttpPort);
    ShowProxy(dialog, ::settings::kFtpProxy, ids::kFtpHost, ids::kFtpPort);
    g_heldProxyAuth = ReadSetting(::settings::kHttpProxyAuth);
    EnableProxyFields(dialog);
    return 1;
  }
  if (message == msg::Command) {
    int32_t id = static_cast<int32_t>(LowWord(wparam));
    if (id == ids::kProxyEnable) {
      EnableProxyFields(dialog);
      return 1;
    }
    if (id == ids::kProxyAuth) {
      DialogBoxParam(Resources(), kProxyAuthTemplate, dialog, DravelLoginDlg,
                     reinterpret_cast<KvLParam>(&g_heldProxyAuth));
      return 1;
    }
    return 0;
  }
  if (message != msg::Notify) return 0;
  KvResult result = 0;
  if (!HandleNotify(3, lparam, &result)) return result;
  WriteSettingFlag(::settings::kProxyEnable, IsOn(dialog, ids::kProxyEnable));
  WriteSetting(::settings::kHttpProxy,
               detail::JoinProxy(Field(dialog, ids::kHttpHost), Field(dialog, ids::kHttpPort)).c_str());
  WriteSetting(::settings::kHttpProxyAuth, g_heldProxyAuth.c_str());
  WriteSetting(::settings::kFtpProxy,
               detail::JoinProxy(Field(dialog, ids::kFtpHost), Field(dialog, ids::kFtpPort)).c_str());
  return result;
}

// ---- page 4: e-mail ---------------------------------------------------------------

namespace {
// The longest password that the scrambled form holds.
constexpr size_t kMapiPasswordLimit = 35;

void EnableMailFields(KvWindow dialog) {
  bool mapi = IsDlgButtonChecked(dialog, ids::kMailMapi) == Checked;
  for (int32_t id : {ids::kMailServer, ids::kMailFrom, ids::kMailReplyTo}) EnableDlgItem(dialog, id, !mapi);
  for (int32_t id : {ids::kMapiProfile, ids::kMapiPassword}) EnableDlgItem(dialog, id, mapi);
}

void ShowOr(KvWindow dialog, int32_t id, const ::SettingKey& key, const char* fallback) {
  std::string value = ReadSetting(key);
  SetDlgItemText(dialog, id, value.empty() ? fallback : value.c_str());
}
}  // namespace

extern "C" KvResult MailPage(KvWindow dialog, uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (message == msg::InitDialog) {
    CheckRadioButton(dialog, ids::kMailSmtp, ids::kMailMapi, ReadMailUsesMapi() ? ids::kMailMapi : ids::kMailSmtp);
    SetDlgItemText(dialog, ids::kMailSubject, ReadSetting(::settings::kMailSubject).c_str());
    ShowOr(dialog, ids::kMailServer, ::settings::kSmtpServer, kDefaultMailHost);
    ShowOr(dialog, ids::kMailFrom, ::settings::kMailFrom, kDefaultMailSender);
    ShowOr(dialog, ids::kMailReplyTo, ::settings::kMailReplyTo, kDefaultMailSender);
    SetDlgItemText(dialog, ids::kMapiProfile, ReadSetting(::settings::kMapiProfile).c_str());
    SetDlgItemText(dialog, ids::kMapiPassword, ReadScrambledSetting(::settings::kMapiPassword).c_str());
    EnableMailFields(dialog);
    return 1;
  }
  if (message == msg::Command) {
    int32_t id = static_cast<int32_t>(LowWord(wparam));
    if (id != ids::kMailSmtp && id != ids::kMailMapi) return 0;
    EnableMailFields(dialog);
    return 1;
  }
  if (message != msg::Notify) return 0;
  KvResult result = 0;
  if (!HandleNotify(4, lparam, &result)) return result;
  WriteSetting(::settings::kMailType, IsOn(dialog, ids::kMailMapi) ? "MAPI" : "SMTP");
  WriteSetting(::settings::kMailSubject, Field(dialog, ids::kMailSubject).c_str());
  WriteSetting(::settings::kSmtpServer, Field(dialog, ids::kMailServer).c_str());
  WriteSetting(::settings::kMailFrom, Field(dialog, ids::kMailFrom).c_str());
  WriteSetting(::settings::kMailReplyTo, Field(dialog, ids::kMailReplyTo).c_str());
  WriteSetting(::settings::kMapiProfile, Field(dialog, ids::kMapiProfile).c_str());
  WriteScrambledSetting(::settings::kMapiPassword, Field(dialog, ids::kMapiPassword, kMapiPasswordLimit));
  return result;
}

// ---- page 5: remote report access ---------------------------------------------------

namespace {
const ::SettingKey kWebEnable{"Defaults", "WebEnable", "FALSE", 10};
const ::SettingKey kWebAddress{"Defaults", "WebAddress", "", 100};
const ::SettingKey kWebAdmin{"Defaults", "WebAdmin", "", 100};

int32_t ReadWebInt(const char* key, int32_t def) {
  ::SettingKey k{"Defaults", key, "", 32};
  std::string v = ReadSetting(k);
  if (v.empty()) return def;
  return static_cast<int32_t>(std::strtol(v.c_str(), nullptr, 10));
}

void WriteWebInt(const char* key, int32_t value) {
  ::SettingKey k{"Defaults", key, "", 32};
  WriteSetting(k, std::to_string(value).c_str());
}

// The machine's groups, in brackets, then its users, through the account
// lookups (a lookup that fails lists nothing of its kind).
void FillAccounts(KvWindow dialog) {
  auto add = [&](uint8_t* buffer, uint32_t count, bool group) {
    const auto* entries = reinterpret_cast<const KvNetInfo0*>(buffer);
    for (uint32_t i = 0; i < count; ++i) {
      if (entries[i].name == nullptr) continue;
      const std::string name = group ? std::string("[") + entries[i].name + "]" : std::string(entries[i].name);
      ListAddString(dialog, ids::kWebAdmin, name.c_str());
    }
    if (buffer != nullptr) KvNetApiBufferFree(buffer);
  };
  uint8_t* buffer = nullptr;
  uint32_t read = 0, total = 0;
  if (KvNetLocalGroupEnum(nullptr, 0, &buffer, KV_NET_MAX_PREFERRED_LENGTH, &read, &total, nullptr) ==
      KV_NERR_SUCCESS) {
    add(buffer, read, true);
  } else if (buffer != nullptr) {
    KvNetApiBufferFree(buffer);
  }
  buffer = nullptr;
  read = total = 0;
  if (KvNetUserEnum(nullptr, 0, KV_NET_FILTER_NORMAL_ACCOUNT, &buffer, KV_NET_MAX_PREFERRED_LENGTH, &read, &total,
                    nullptr) == KV_NERR_SUCCESS) {
    add(buffer, read, false);
  } else if (buffer != nullptr) {
    KvNetApiBufferFree(buffer);
  }
}
}  // namespace

extern "C" KvResult WebAccessPage(KvWindow dialog, uint32_t message, KvWParam, KvLParam lparam) {
  if (message == msg::InitDialog) {
    std::string enable = ReadSetting(kWebEnable);
    CheckDlgButton(dialog, ids::kWebEnable, !enable.empty() && (enable[0] | 0x20) == 't' ? Checked : Unchecked);
    std::string address, port;
    detail::SplitHostPort(ReadSetting(kWebAddress), &address, &port);
    SetDlgItemText(dialog, ids::kWebPort, port.empty() ? "99" : port.c_str());
    CheckDlgButton(dialog, ids::kWebAllAddresses, address.empty() ? Checked : Unchecked);
    SetDlgItemText(dialog, ids::kWebAddress, address.empty() ? kAllAddresses : address.c_str());
    int32_t days = ReadWebInt("WebNoDays", 7), reports = ReadWebInt("WebNoReports", 10);
    SetDlgItemInt(dialog, ids::kWebDays, std::abs(days), false);
    SetDlgItemInt(dialog, ids::kWebReports, std::abs(reports), false);
    CheckDlgButton(dialog, ids::kWebDaysOn, days > 0 ? Checked : Unchecked);
    CheckDlgButton(dialog, ids::kWebReportsOn, reports > 0 ? Checked : Unchecked);
    CheckDlgButton(dialog, ids::kWebLogging, ReadWebInt("WebLogging", 0) > 0 ? Checked : Unchecked);
    CheckDlgButton(dialog, ids::kWebAllowReport, ReadWebInt("WebAllowReport", 1) > 0 ? Checked : Unchecked);
    FillAccounts(dialog);
    std::string admin = ReadSetting(kWebAdmin);
    int32_t at = ListError;
    if (admin.size() > 1 && admin[0] == 'g')
      at = ListFindString(dialog, ids::kWebAdmin, ("[" + admin.substr(1) + "]").c_str());
    else if (admin.size() > 1 && admin[0] == 'u')
      at = ListFindString(dialog, ids::kWebAdmin, admin.substr(1).c_str());
    if (at < 0) at = ListFindString(dialog, ids::kWebAdmin, "Administrator");
    ListSetCurSel(dialog, ids::kWebAdmin, at);
    return 1;
  }
  if (message != msg::Notify) return 0;
  KvResult result = 0;
  if (!HandleNotify(5, lparam, &result)) return result;
  // 1. Enabling needs the right to log users on, probed with a dummy logon.
  bool enable = IsOn(dialog, ids::kWebEnable);
  if (enable) {
    uint64_t token = 0;
    uint32_t error = 0;
    if (LogonUserA("LocalSystem", "", "GROVEKIT", kLogonInteractive, 0, &token, &error)) {
      CloseLogonToken(token);
    } else if (error == kErrorPrivilegeNotHeld) {
      MessageBox(0, ResourceString(5718).c_str(), "Kelvaron", MbOk);
      enable = false;
    }
  }
  WriteSetting(kWebEnable, enable ? "TRUE" : "FALSE");
  // 2. The address (the all-addresses placeholder is no address), then the port.
  std::string address = Field(dialog, ids::kWebAddress);
  if (IsOn(dialog, ids::kWebAllAddresses) || address == kAllAddresses) address.clear();
  std::string port = Field(dialog, ids::kWebPort);
  if (!port.empty()) address += ":" + port;
  WriteSetting(kWebAddress, address.c_str());
  // 3. The administrator: a group in brackets or a user.
  std::string admin = SelectedText(dialog, ids::kWebAdmin);
  if (admin.size() > 2 && admin.front() == '[' && admin.back() == ']')
    WriteSetting(kWebAdmin, ("g" + admin.substr(1, admin.size() - 2)).c_str());
  else if (!admin.empty())
    WriteSetting(kWebAdmin, ("u" + admin).c_str());
  // 4. Counts, negated while their boxes are clear.
  WriteWebInt("WebNoReports",
              detail::StoredWebCount(GetDlgItemInt(dialog, ids::kWebReports, nullptr, false),
                                     IsOn(dialog, ids::kWebReportsOn), 10));
  WriteWebInt("WebNoDays", detail::StoredWebCount(GetDlgItemInt(dialog, ids::kWebDays, nullptr, false),
                                                  IsOn(dialog, ids::kWebDaysOn), 7));
  // 5. Switches.
  WriteSetting(::SettingKey{"Defaults", "WebLogging", "", 4}, IsOn(dialog, ids::kWebLogging) ? "1" : "0");
  WriteSetting(::SettingKey{"Defaults", "WebAllowReport", "", 4}, IsOn(dialog, ids::kWebAllowReport) ? "1" : "0");
  return result;
}
