// Links between the window table and the dialog layer inside kvplat_ui.
#ifndef KV_PLATFORM_UI_UI_INTERNAL_H
#define KV_PLATFORM_UI_UI_INTERNAL_H

#include <vector>

#include "platform/ui/window.h"

namespace kv::ui::internal {

// Direct children of a window, in creation order.
std::vector<KvWindow> ChildrenOf(KvWindow window);

// Called by the window table (defined by the dialog layer), never under a lock.
void OnWindowRemoved(KvWindow window);  // after the window left the table
void OnWindowShown(KvWindow window);    // its visibility went from off to on
void OnThreadIdle();                    // GetMessage is about to block

}  // namespace kv::ui::internal

#endif
