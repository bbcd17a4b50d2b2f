// The program's side of the remote report server: its start and exit with
// the program, and the report hooks that route remote users' requests to the
// plug-ins through the plug-in host.
//
// The hooks are called on the server's connection threads; the plug-in host
// belongs to the user-interface thread, so the hooks send their work to the
// program's hidden window and wait for the answer.
#ifndef KV_SHELL_OPTIONS_REMOTE_H
#define KV_SHELL_OPTIONS_REMOTE_H

#include <cstdint>

#include "platform/base/kvtypes.h"

namespace kv::opts {

// Messages to the hidden window.
inline constexpr uint32_t kStartWebServerMessage = 0x400 + 2101;  // start the server once the panel shows
inline constexpr uint32_t kRemoteListMessage = 0x400 + 2102;      // lparam: std::vector<std::string>*
inline constexpr uint32_t kRemoteRunMessage = 0x400 + 2103;       // lparam: RemoteRun*

// Program start: the settings record and the hooks.
void InitRemoteReports();
// Handles the messages above on the hidden window's thread; false for any
// other message.
bool HandleRemoteReportMessage(uint32_t message, KvWParam wparam, KvLParam lparam, KvResult* result);
// Program exit: the hooks are withdrawn and the server stopped.
void ExitRemoteReports();

}  // namespace kv::opts

#endif
