// The profile panel: a modeless child of the main window's panel area that
// shows the chosen profile's description and starting page.
#ifndef KV_LINKANALYSIS_PLUGIN_PANEL_H
#define KV_LINKANALYSIS_PLUGIN_PANEL_H

#include <cstdint>

#include "shell/plugin_host_abi.h"

namespace kvla {

inline constexpr int32_t kPanelDialog = 15000;
inline constexpr uint32_t kPanelShowProfile = 9026;  // lparam: the ProfileEntry
namespace panel_ids {
inline constexpr int32_t kDescription = 1001, kWebsite = 1003;
}

// Shows the entry on the panel (created under parent when there is none);
// show 1 shows it without activating it, 2 hides it. KV_RESULT_DONE, or
// KV_RESULT_FAILED when the panel cannot be created.
int32_t UpdateProfilePanel(KvWindow parent, ProfileEntry* entry, int32_t show);
// The panel window (0 before the first call).
KvWindow ProfilePanelWindow();

}  // namespace kvla

#endif
