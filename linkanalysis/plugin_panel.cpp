// The profile panel.
#include "linkanalysis/plugin_panel.h"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "linkanalysis/profiles_files.h"
#include "platform/module/module.h"
#include "platform/ostrel/ostrel.h"
#include "platform/ui/dialog.h"
#include "platform/ui/window.h"

namespace kvla {
namespace {

using namespace kv::ui;

std::atomic<bool> g_busy{false};
std::atomic<KvWindow> g_panel{0};

KvResult PanelProc(KvWindow panel, uint32_t message, KvWParam, KvLParam lparam) {
  switch (message) {
    case kv::msg::InitDialog: {
      KVUI_GetBoldFaceFont(GetDlgItem(panel, 1000));
      KVUI_GetBoldFaceFont(GetDlgItem(panel, 1002));
      Rect rect;
      if (GetWindowRect(panel, &rect))
        MoveWindow(panel, rect.left + 2, rect.top + 2, rect.right - rect.left, rect.bottom - rect.top);
      return 1;
    }
    case kPanelShowProfile: {
      const auto* entry = reinterpret_cast<const ProfileEntry*>(lparam);
      if (!entry) return 1;
      // The profile file as it is now; the entry's own texts when it cannot be read.
      std::string file(entry->profileFile, strnlen(entry->profileFile, sizeof entry->profileFile));
      ProfileSummary summary;
      if (!ReadProfileSummary(file.c_str(), &summary)) {
        summary.description.assign(entry->description, strnlen(entry->description, sizeof entry->description));
        summary.start.assign(entry->text, strnlen(entry->text, sizeof entry->text));
      }
      SetDlgItemText(panel, panel_ids::kDescription, summary.description.c_str());
      SetDlgItemText(panel, panel_ids::kWebsite, summary.start.c_str());
      return 1;
    }
    case kv::msg::Destroy:
      if (g_panel.load() == panel) g_panel.store(0);
      return 0;
    default:
      return 0;
  }
}

}  // namespace

int32_t UpdateProfilePanel(KvWindow parent, ProfileEntry* entry, int32_t show) {
  // A call made while an earlier one is still inside waits for it.
  bool expected = false;
  while (!g_busy.compare_exchange_weak(expected, true)) {
    expected = false;
    KVUI_MyPeekMessage();
    std::this_thread::yield();
  }
  KvWindow panel = g_panel.load();
  if (!panel || !IsWindow(panel)) {
    KvModule self = KvModuleFromAddress(reinterpret_cast<const void*>(&UpdateProfilePanel));
    panel = CreateDialogParam(self, kPanelDialog, parent, &PanelProc, 0);
    g_panel.store(panel);
    if (!panel) {
      g_busy.store(false);
      return KV_RESULT_FAILED;
    }
  }
  SendMessage(panel, kPanelShowProfile, 0, reinterpret_cast<KvLParam>(entry));
  if (show == 1) ShowWindow(panel, ShowNA);
  else if (show == 2) ShowWindow(panel, ShowHide);
  g_busy.store(false);
  return KV_RESULT_DONE;
}

KvWindow ProfilePanelWindow() { return g_panel.load(); }

}  // namespace kvla
