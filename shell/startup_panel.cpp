// A minimal headless main panel: it records its window for the exit command
// and the other-copy message, shows itself as the start record asks, and ends
// on the exit command or Cancel. The panel's own contents are built on it.
#include "platform/ui/dialog.h"
#include "platform/ui/window.h"
#include "shell/startup_main.h"

extern "C" KvResult Big_Buttons_Dialog(KvWindow dialog, uint32_t message, KvWParam wparam, KvLParam lparam) {
  kv::app::AppState& a = kv::app::App();
  switch (message) {
    case kv::msg::InitDialog: {
      a.panelWindow = dialog;
      const auto* start = reinterpret_cast<const kv::app::PanelStart*>(lparam);
      kv::ui::ShowWindow(dialog, start ? start->showCommand : kv::ui::ShowNormal);
      if (a.exitRequested) kv::ui::EndDialog(dialog, 0);
      return 1;
    }
    case kv::msg::Command: {
      int32_t id = static_cast<int32_t>(kv::ui::LowWord(wparam));
      if (id == kv::app::kExitCommand || id == kv::ui::IdCancel) {
        kv::ui::EndDialog(dialog, 0);
        return 1;
      }
      return 0;
    }
    case kv::msg::Close:
      kv::ui::EndDialog(dialog, 0);
      return 1;
    case kv::msg::Destroy:
      a.panelWindow = 0;
      return 0;
    default:
      return 0;
  }
}
