// The property-sheet runner, the General Options sheet and the NT service
// configuration that follows it.
#include "shell/options_sheet.h"

#include <cstring>
#include <map>
#include <string>

#include "platform/base/debuglog.h"
#include "platform/base/lasterror.h"
#include <cstdio>
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"
#include "shell/plugin_host.h"
#include "shell/settings_file.h"
#include "shell/startup_main.h"
#include "shell/startup_service.h"
#include "webserver/webserver.h"

namespace kv::opts {

// ---- property-sheet runner ----------------------------------------------------

namespace {

struct SheetState {
  const SheetHeader* header = nullptr;
  KvWindow window = 0;
  std::vector<KvWindow> pages;
  int32_t current = -1;
};

std::map<KvWindow, SheetState*>& Sheets() {
  static std::map<KvWindow, SheetState*> sheets;
  return sheets;
}

SheetState* StateOf(KvWindow sheet) {
  auto it = Sheets().find(sheet);
  return it == Sheets().end() ? nullptr : it->second;
}

KvResult Notify(SheetState* s, int32_t index, int32_t code) {
  if (index < 0 || index >= static_cast<int32_t>(s->pages.size()) || !s->pages[index]) return 0;
  SheetNotify n;
  n.from = s->window;
  n.id = index;
  n.code = code;
  return ui::SendMessage(s->pages[index], msg::Notify, static_cast<KvWParam>(index),
                         reinterpret_cast<KvLParam>(&n));
}

KvWindow CreatePage(SheetState* s, int32_t index) {
  if (index < 0 || index >= static_cast<int32_t>(s->pages.size())) return 0;
  if (!s->pages[index]) {
    const SheetPage& p = s->header->pages[index];
    KvWindow page = ui::CreateDialogParam(p.module, p.templateId, s->window, p.proc, p.param);
    s->pages[index] = page;
  }
  return s->pages[index];
}

void SelectPage(SheetState* s, int32_t index) {
  if (index < 0 || index >= static_cast<int32_t>(s->pages.size()) || index == s->current) return;
  if (s->current >= 0) {
    Notify(s, s->current, kNotifyKillActive);
    if (s->pages[s->current]) ui::ShowWindow(s->pages[s->current], ui::ShowHide);
  }
  KvWindow page = CreatePage(s, index);
  s->current = index;
  ui::ListSetCurSel(s->window, kSheetTabList, index);
  Notify(s, index, kNotifySetActive);
  if (page) ui::ShowWindow(page, ui::ShowNormal);
}

void EndSheet(SheetState* s, bool ok) {
  for (int32_t i = 0; i < static_cast<int32_t>(s->pages.size()); ++i) Notify(s, i, ok ? kNotifyApply : kNotifyReset);
  ui::EndDialog(s->window, ok ? 1 : 0);
}

KvResult SheetProc(KvWindow dialog, uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (message == msg::InitDialog) {
    auto* s = reinterpret_cast<SheetState*>(lparam);
    s->window = dialog;
    Sheets()[dialog] = s;
    ui::SetWindowText(dialog, s->header->caption.c_str());
    for (const SheetPage& p : s->header->pages) {
      const KvDialogTemplate* t = KvFindDialog(p.module, static_cast<uint32_t>(p.templateId));
      ui::ListAddString(dialog, kSheetTabList, t ? t->caption : "");
    }
    if (!s->header->hasHelp) ui::EnableDlgItem(dialog, kSheetHelpButton, false);
    int32_t start = s->header->startPage;
    if (start < 0 || start >= static_cast<int32_t>(s->pages.size())) start = 0;
    SelectPage(s, start);
    return 1;
  }
  SheetState* s = StateOf(dialog);
  if (!s) return 0;
  switch (message) {
    case msg::Command: {
      int32_t id = static_cast<int32_t>(ui::LowWord(wparam));
      uint32_t code = ui::HighWord(wparam);
      if (id == ui::IdOk) {
        EndSheet(s, true);
      } else if (id == ui::IdCancel) {
        EndSheet(s, false);
      } else if (id == kSheetHelpButton) {
        Notify(s, s->current, kNotifyHelp);
      } else if (id == kSheetTabList && code == 1) {  // selection changed
        SelectPage(s, ui::ListGetCurSel(dialog, kSheetTabList));
      } else {
        return 0;
      }
      return 1;
    }
    case msg::Close:
      EndSheet(s, false);
      return 1;
    case kSheetSetCurSel:
      SelectPage(s, static_cast<int32_t>(wparam));
      return 1;
    case kSheetPressButton:
      if (wparam == 0) EndSheet(s, true);
      else if (wparam == 1) EndSheet(s, false);
      else if (wparam == 2) Notify(s, s->current, kNotifyHelp);
      return 1;
    case kSheetCancelToClose:
      ui::SetDlgItemText(dialog, ui::IdCancel, "Close");
      return 1;
    case kSheetGetCurPage:
      return s->current >= 0 ? static_cast<KvResult>(s->pages[s->current]) : 0;
    default:
      return 0;
  }
}

}  // namespace

intptr_t RunPropertySheet(const SheetHeader& header) {
  if (header.pages.empty()) return -1;
  SheetState state;
  state.header = &header;
  state.pages.assign(header.pages.size(), 0);
  ui::DialogTemplate t;
  t.title = header.caption;
  t.width = 260;
  t.height = 190;
  t.items.push_back({kSheetTabList, "LISTBOX", "", ui::StyleVisible, 5, 5, 250, 14});
  t.items.push_back({ui::IdOk, "BUTTON", "OK", ui::StyleVisible | ui::ButtonDefPush, 95, 172, 50, 14});
  t.items.push_back({ui::IdCancel, "BUTTON", "Cancel", ui::StyleVisible | ui::ButtonPush, 150, 172, 50, 14});
  t.items.push_back({kSheetHelpButton, "BUTTON", "Help", ui::StyleVisible | ui::ButtonPush, 205, 172, 50, 14});
  intptr_t result = ui::DialogBoxIndirectParam(t, header.owner, SheetProc, reinterpret_cast<KvLParam>(&state));
  for (KvWindow page : state.pages)
    if (page) ui::DestroyWindow(page);
  if (state.window) Sheets().erase(state.window);
  return result < 0 ? (state.window ? 0 : -1) : result;
}

KvWindow SheetPageWindow(KvWindow sheet, int32_t index) {
  SheetState* s = StateOf(sheet);
  return s ? CreatePage(s, index) : 0;
}

// ---- the General Options sheet ------------------------------------------------

OptionsPageRow OptionsPageTable[kOptionsPageCount] = {
    {ConfigDefaultsDlg, 850, 0, 0, {0, 0}, nullptr, 1015},
    {SelectBrowserDlg, 730, 1, 0, {0, 0}, nullptr, 1017},
    {ServiceLogonPage, 9600, 2, 0, {0, 0}, nullptr, 1023},
    {ProxyPage, 10701, 3, 0, {0, 0}, nullptr, 1025},
    {MailPage, 10801, 4, 0, {0, 0}, nullptr, 1019},
    {WebAccessPage, 31001, 5, 0, {0, 0}, nullptr, 1029},
};

namespace {
int32_t g_lastPage = 0;
bool g_okPressed = false;
bool g_serviceSwitch = false;
bool g_logonChanged = false;
}  // namespace

int32_t LastOptionsPage() { return g_lastPage; }
bool OptionsOkPressed() { return g_okPressed; }
bool ServiceSwitch() { return g_serviceSwitch; }
bool LogonAccountChanged() { return g_logonChanged; }

// Shared by the pages (options_pages.cpp).
namespace detail {
void RememberPage(int32_t index) { g_lastPage = index; }
void SetOkPressed() { g_okPressed = true; }
void SetServiceSwitch(bool on) { g_serviceSwitch = on; }
void SetLogonChanged() { g_logonChanged = true; }
uint32_t HelpContextOf(int32_t index) {
  return index >= 0 && index < kOptionsPageCount ? OptionsPageTable[index].helpContext : 0;
}
}  // namespace detail

bool RunOptionsSheet(KvWindow owner, OptionsPageInfo* info) {
  app::AppState& a = app::App();
  KvModule module = a.resourceModule ? a.resourceModule : KvSelfModule();
  if (info) {
    info->pageName = "General";
    info->title = "General Options";
    info->bitmapId = kOptionsBitmapId;
    info->imageWidth = 32;
    info->imageHeight = 32;
  }
  SheetHeader header;
  header.owner = owner;
  char caption[128] = "";
  KvLoadString(module, kOptionsCaptionText, caption, sizeof caption);
  header.caption = caption;
  header.hasHelp = true;
  // Pages whose template does not load are left out; the start page is the
  // last one shown when it is still there.
  std::vector<int32_t> rows;
  for (OptionsPageRow& row : OptionsPageTable) {
    row.loaded = KvFindDialog(module, static_cast<uint32_t>(row.templateId));
    if (!row.loaded) continue;
    if (row.index == g_lastPage) header.startPage = static_cast<int32_t>(header.pages.size());
    rows.push_back(row.index);
    header.pages.push_back({module, row.templateId, row.proc, static_cast<KvLParam>(row.index)});
  }
  g_okPressed = false;
  g_logonChanged = false;
  g_serviceSwitch = a.runningAsService;
  RunPropertySheet(header);
  for (OptionsPageRow& row : OptionsPageTable) row.loaded = nullptr;
  return g_okPressed;
}

void ConfigureNtService(bool okPressed) {
  if (!okPressed) return;
  app::AppState& a = app::App();
  const char* kCaption = "Kelvaron Service";
  const char* kExitText = "Kelvaron Service will now exit. Please restart Kelvaron for the new settings to take effect.";
  bool closeProgram = false;
  if (!a.runningAsService && g_serviceSwitch) {
    std::string command = std::string(GetProgramDirectory()) + "KELVARON /service";
    if (!svc::CreateService(app::kServiceName, "Kelvaron v4.0 Real-Time Service", svc::kOwnProcess | svc::kInteractive,
                            command.c_str())) {
      // Nothing was installed: there is nothing to start or to remove.
      ui::MessageBox(0,
                     "Kelvaron Service failed to install/start. Administrator privileges is required to install and "
                     "start the Kelvaron Service.",
                     kCaption, ui::MbOk);
    } else if (!svc::StartService(app::kServiceName, {"0"})) {
      char text[160];
      std::snprintf(text, sizeof text, "Kelvaron Service failed to start. Kelvaron will remove the Service. (%lu)",
                    static_cast<unsigned long>(kv::GetLastError()));
      ui::MessageBox(0, text, "Kelvaron", ui::MbOk);
      svc::DeleteService(app::kServiceName);
    } else {
      closeProgram = true;  // the service takes over
    }
  } else if (a.runningAsService && g_serviceSwitch && g_logonChanged) {
    if (ui::MessageBox(0, kExitText, kCaption, ui::MbOk) == ui::IdOk) closeProgram = true;
  } else if (a.runningAsService && !g_serviceSwitch) {
    if (ui::MessageBox(0, kExitText, kCaption, ui::MbOk) == ui::IdOk) {
      if (!svc::IsServiceInstalled(app::kServiceName))
        ui::MessageBox(0, "OpenService Failed", kCaption, ui::MbOk);
      else if (!svc::DeleteService(app::kServiceName))
        ui::MessageBox(0, "DeleteService Failed", kCaption, ui::MbOk);
      closeProgram = true;
    }
  }
  StartWebServer();
  if (closeProgram) app::RequestExit();
}

std::vector<OptionsWindowPage> OptionsWindowPages() {
  std::vector<OptionsWindowPage> pages{{"General", 0}};
  for (SupportLibrary* lib = host::FirstSupportLibrary(); lib; lib = lib->next)
    if (host::KeptFunction(*lib, kSupportCreateOptionPage) && host::KeptFunction(*lib, kSupportCloseOptionPage))
      pages.push_back({std::string(lib->name, strnlen(lib->name, sizeof lib->name)), lib->id});
  return pages;
}

bool RunOptionsWindow(KvWindow owner, int32_t page) {
  std::vector<OptionsWindowPage> pages = OptionsWindowPages();
  if (page < 0 || page >= static_cast<int32_t>(pages.size())) return false;
  if (page == 0) {
    OptionsPageInfo info;
    bool ok = RunOptionsSheet(owner, &info);
    ConfigureNtService(ok);
    return ok;
  }
  // The plug-in's page: its bitmap, size and texts are for the window's page
  // button and title strip.
  int32_t id = pages[page].libraryId;
  KvHandle bitmap = 0;
  int32_t size[4] = {0, 0, 0, 0};
  char tabText[kOptionTextSize] = "";
  char title[kOptionTextSize] = "";
  auto hostValue = reinterpret_cast<intptr_t>(app::App().programInstance);
  int32_t result =
      host::CallSupportFunction<CreateOptionPageFn>(id, kSupportCreateOptionPage, hostValue, &bitmap, size, tabText, title);
  host::CallSupportFunction<CloseOptionPageFn>(id, kSupportCloseOptionPage, result > 0 ? 1 : 0);
  return result > 0;
}

}  // namespace kv::opts
