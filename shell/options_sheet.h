// The "General Options" sheet: six pages that edit the program-wide keys of
// KELVARON.INI (languages, browser, NT service and its logon, proxies,
// e-mail, remote report access), the installation or removal of the NT
// service after the sheet closes, and the small property-sheet runner that
// shows the pages.
//
// The pages are headless dialogs made from the language module's templates;
// the platform's dialog script drives them (the sheet and each page are
// reported to it when shown). Everything runs on the user-interface thread.
#ifndef KV_SHELL_OPTIONS_SHEET_H
#define KV_SHELL_OPTIONS_SHEET_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/kvtypes.h"
#include "platform/module/resource.h"
#include "platform/ui/dialog.h"
#include "shell/plugin_host_abi.h"

namespace kv::opts {

// ---- the property-sheet runner ----------------------------------------------

// Notification codes a page receives as a Notify message whose lparam points
// to a SheetNotify record.
inline constexpr int32_t kNotifySetActive = -200;
inline constexpr int32_t kNotifyKillActive = -201;
inline constexpr int32_t kNotifyApply = -202;
inline constexpr int32_t kNotifyReset = -203;
inline constexpr int32_t kNotifyHelp = -205;

struct SheetNotify {
  KvWindow from = 0;  // the sheet
  intptr_t id = 0;
  int32_t code = 0;
};

// Messages to the sheet window.
inline constexpr uint32_t kSheetSetCurSel = 0x400 + 101;     // wparam: page index
inline constexpr uint32_t kSheetPressButton = 0x400 + 112;   // wparam: 0 OK, 1 Cancel, 2 Help
inline constexpr uint32_t kSheetCancelToClose = 0x400 + 107; // 1131: Cancel reads "Close"
inline constexpr uint32_t kSheetGetCurPage = 0x400 + 118;    // answers the page's window
// Control ids of the sheet window.
inline constexpr int32_t kSheetTabList = 0x3020;  // list of the page titles
inline constexpr int32_t kSheetHelpButton = 9;

struct SheetPage {
  KvModule module = nullptr;  // holds the page's dialog template
  int32_t templateId = 0;
  ui::DialogProc proc = nullptr;
  KvLParam param = 0;  // InitDialog's lparam
};

struct SheetHeader {
  KvWindow owner = 0;
  std::string caption;
  int32_t startPage = 0;
  bool hasHelp = true;
  std::vector<SheetPage> pages;
};

// Runs the sheet modally: the start page is created and activated; a page
// is created when it is first selected; OK sends Apply to every page created
// so far (in page order), Cancel sends Reset to them. Returns 1 after OK, 0
// after Cancel or Close, -1 when the sheet could not be shown (no page).
intptr_t RunPropertySheet(const SheetHeader& header);

// The window of page `index` of a running sheet, created (not selected) when
// it is not yet; 0 for a bad index.
KvWindow SheetPageWindow(KvWindow sheet, int32_t index);

// ---- the General Options sheet ----------------------------------------------

// One row of the page table.
struct OptionsPageRow {
  ui::DialogProc proc;
  int32_t templateId;
  uint16_t index;
  uint16_t flag;  // not used by the sheet
  uint8_t spare[2];
  const KvDialogTemplate* loaded;  // the template of this showing
  uint32_t helpContext;
};
inline constexpr int32_t kOptionsPageCount = 6;
extern OptionsPageRow OptionsPageTable[kOptionsPageCount];

inline constexpr int32_t kOptionsBitmapId = 26568;
inline constexpr uint32_t kOptionsCaptionText = 10011;

struct OptionsPageInfo {
  int32_t bitmapId = 0;  // the page button's bitmap
  int32_t imageWidth = 0, imageHeight = 0;
  std::string pageName;
  std::string title;
};

// Shows the sheet (owner may be 0) and fills the Options window's page
// information. Returns whether OK was pressed.
bool RunOptionsSheet(KvWindow owner, OptionsPageInfo* info);
// After the sheet: installs, restarts or removes the NT service as the
// service page asks, then lets the remote report server apply its settings.
// Does nothing unless OK was pressed.
void ConfigureNtService(bool okPressed);

// ---- the Options window ---------------------------------------------------------

// A plug-in's page of the Options window: entry point 22 creates and runs it
// (out: its bitmap, {0, 0, width, height} of the bitmap, the page button's
// text and the page's title, each buffer kOptionTextSize bytes) and returns
// what its sheet returned (above 0: OK); entry point 23 closes it, saving
// its settings when `save` is 1.
using CreateOptionPageFn = ::CreateOptionPageFn;  // both sides take the contract's declaration
using CloseOptionPageFn = ::CloseOptionPageFn;
inline constexpr int32_t kOptionTextSize = KV_OPTION_TEXT_SIZE;

struct OptionsWindowPage {
  std::string name;       // "General" or the plug-in's name
  int32_t libraryId = 0;  // 0 for the General page
};
// The window's pages: "General", then one per plug-in that offers entry
// points 22 and 23, in the order of the plug-in list.
std::vector<OptionsWindowPage> OptionsWindowPages();

// Shows page `page` of the Options window (0: the General sheet, followed by
// ConfigureNtService; n: the n-th plug-in page). Returns whether it was left
// with OK; false for a page that does not exist.
bool RunOptionsWindow(KvWindow owner, int32_t page = 0);

// Process-wide state of the sheet (for the window and for tests).
int32_t LastOptionsPage();
bool OptionsOkPressed();
bool ServiceSwitch();
bool LogonAccountChanged();

// Control ids of the pages' templates.
namespace ids {
inline constexpr int32_t kProgramLanguage = 1001, kReportLanguage = 1002, kCountry = 1003;
inline constexpr int32_t kBrowserPath = 1001, kBrowserBrowse = 1002;
// The file chooser of the browser page.
inline constexpr int32_t kChooserFolder = 1101, kChooserList = 1102, kChooserName = 1103;
inline constexpr int32_t kRunAsService = 1001, kServiceUser = 1002, kServicePassword = 1003;
inline constexpr int32_t kProxyEnable = 1001, kHttpHost = 1002, kHttpPort = 1003, kFtpHost = 1004,
                         kFtpPort = 1005, kProxyAuth = 1006;
inline constexpr int32_t kAuthUser = 1001, kAuthPassword = 1002;
inline constexpr int32_t kMailSmtp = 1001, kMailMapi = 1002, kMailSubject = 1003, kMailServer = 1004,
                         kMailFrom = 1005, kMailReplyTo = 1006, kMapiProfile = 1007, kMapiPassword = 1008;
inline constexpr int32_t kWebEnable = 1001, kWebAddress = 1002, kWebPort = 1003, kWebAllAddresses = 1004,
                         kWebAdmin = 1005, kWebReportsOn = 1006, kWebReports = 1007, kWebDaysOn = 1008,
                         kWebDays = 1009, kWebLogging = 1010, kWebAllowReport = 1011;
}  // namespace ids
inline constexpr int32_t kProxyAuthTemplate = 820;
inline constexpr int32_t kFileChooserTemplate = 731;

// Texts shown in place of empty e-mail keys.
inline constexpr const char* kDefaultMailHost = "localhost";
inline constexpr const char* kDefaultMailSender = "Kelvaron@localhost";
inline constexpr const char* kAllAddresses = "<All Addresses>";

// Helpers of the pages (exposed for tests).
namespace detail {
// "host:port" split at the first ':'; port "" when there is none.
void SplitHostPort(const std::string& value, std::string* host, std::string* port);
// The value a proxy key gets from the page's host and port fields.
std::string JoinProxy(const std::string& host, const std::string& port);
// The stored WebNoReports / WebNoDays value: the number (fallback when 0),
// negated when its box is clear.
int32_t StoredWebCount(int32_t number, bool boxChecked, int32_t fallback);
// The English name of a language id, upper case ("" when unknown).
std::string LanguageName(uint32_t language);
}  // namespace detail

}  // namespace kv::opts

// The pages' dialog procedures.
extern "C" {
KV_EXPORT KvResult ConfigDefaultsDlg(KvWindow, uint32_t, KvWParam, KvLParam);
KV_EXPORT KvResult SelectBrowserDlg(KvWindow, uint32_t, KvWParam, KvLParam);
KV_EXPORT KvResult ChooseFileDlg(KvWindow, uint32_t, KvWParam, KvLParam);
KV_EXPORT KvResult ServiceLogonPage(KvWindow, uint32_t, KvWParam, KvLParam);
KV_EXPORT KvResult ProxyPage(KvWindow, uint32_t, KvWParam, KvLParam);
KV_EXPORT KvResult MailPage(KvWindow, uint32_t, KvWParam, KvLParam);
KV_EXPORT KvResult WebAccessPage(KvWindow, uint32_t, KvWParam, KvLParam);
KV_EXPORT KvResult DravelLoginDlg(KvWindow, uint32_t, KvWParam, KvLParam);
}

#endif
