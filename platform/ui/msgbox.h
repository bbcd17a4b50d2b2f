// Message boxes. Nobody sees them: each goes to a notifier, which writes it to
// standard error and appends it to a log file (environment KV_MSGBOX_LOG, else
// the debug log), and answers with the box's default button. A test (or a
// non-interactive run) can install a handler that records the boxes and
// chooses the answer.
#ifndef KV_PLATFORM_UI_MSGBOX_H
#define KV_PLATFORM_UI_MSGBOX_H

#include <cstdint>
#include <functional>
#include <string>

#include "platform/base/kvtypes.h"

namespace kv::ui {

// Box types (values as customary): buttons in the low nibble, icon in the next,
// default button in the one after.
inline constexpr uint32_t MbOk = 0x0;
inline constexpr uint32_t MbOkCancel = 0x1;
inline constexpr uint32_t MbAbortRetryIgnore = 0x2;
inline constexpr uint32_t MbYesNoCancel = 0x3;
inline constexpr uint32_t MbYesNo = 0x4;
inline constexpr uint32_t MbRetryCancel = 0x5;
inline constexpr uint32_t MbIconError = 0x10;
inline constexpr uint32_t MbIconQuestion = 0x20;
inline constexpr uint32_t MbIconWarning = 0x30;
inline constexpr uint32_t MbIconInformation = 0x40;
inline constexpr uint32_t MbDefButton1 = 0x000;
inline constexpr uint32_t MbDefButton2 = 0x100;
inline constexpr uint32_t MbDefButton3 = 0x200;

struct MessageBoxInfo {
  KvWindow owner = 0;
  std::string text;
  std::string caption;
  uint32_t type = 0;
  int32_t default_answer = 0;  // the id of the default button (IdOk, IdYes, ...)
};

// Returns the answer: an id such as IdOk or IdNo (window.h). A null text or
// caption counts as "" (a null caption as "Error", as customary).
int32_t MessageBox(KvWindow owner, const char* text, const char* caption, uint32_t type);

// The default answer of a box type: its default button when the type names one
// of its buttons, else its first button.
int32_t MessageBoxDefaultAnswer(uint32_t type);

// A handler sees every box (after it is logged) and returns the answer; a
// returned 0 or an id that is not one of the box's buttons means the default.
// Returns the previous handler. An empty handler restores the default.
using MessageBoxHandler = std::function<int32_t(const MessageBoxInfo&)>;
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

}  // namespace kv::ui

#endif
