// Headless dialogs built from dialog templates.
//
// A dialog is a window of the class "#32770" whose controls are child windows
// holding state only: text, check state, list items and selection, enabled
// state. Its dialog procedure receives InitDialog (lparam = the caller's value)
// and Command messages (wparam = MakeWParam(control id, notification),
// lparam = the control window); it returns non-zero for messages it handled.
//
// Nobody sees these dialogs, so a script hook drives them: it is called when a
// dialog is shown and when it is idle, and may set control values, press
// buttons (PressButton), send Close and end the dialog. A modal dialog is idle
// when its own loop runs out of messages; a visible modeless dialog when its
// thread's GetMessage or WaitMessage is about to block. Without a script a
// modal dialog runs its message loop until its procedure (for instance on a
// timer) calls EndDialog.
#ifndef KV_PLATFORM_UI_DIALOG_H
#define KV_PLATFORM_UI_DIALOG_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/base/kvtypes.h"
#include "platform/ui/window.h"

namespace kv::ui {

// A dialog procedure: same shape as a window procedure; non-zero = handled.
using DialogProc = KvWindowProc;

// Control classes (matched ignoring case): "BUTTON" (push button, check box,
// radio button by its style), "EDIT", "STATIC", "LISTBOX", "COMBOBOX"; a class
// registered by the program makes a window of that class; any other name makes
// a control that only holds text. Templates from a module's resources are
// converted on loading ("CHECKBOX" and "RADIO" become buttons of that style,
// "GROUPBOX" a static control, HIDDEN / DISABLED / GROUP / DEFAULT / AUTO /
// 3STATE the matching bits).
inline constexpr const char* DialogClassName = "#32770";

// Button style bits (low nibble of the style), as customary.
inline constexpr uint32_t ButtonPush = 0x0;
inline constexpr uint32_t ButtonDefPush = 0x1;
inline constexpr uint32_t ButtonCheckBox = 0x2;
inline constexpr uint32_t ButtonAutoCheckBox = 0x3;
inline constexpr uint32_t ButtonRadio = 0x4;
inline constexpr uint32_t Button3State = 0x5;
inline constexpr uint32_t ButtonAuto3State = 0x6;
inline constexpr uint32_t ButtonAutoRadio = 0x9;

// List box / combo box style: items are kept sorted (ignoring case).
inline constexpr uint32_t ListSorted = 0x0100;

// Check states.
inline constexpr int32_t Unchecked = 0;
inline constexpr int32_t Checked = 1;
inline constexpr int32_t Indeterminate = 2;

// Notification of a pressed button in a Command message.
inline constexpr uint32_t ButtonClicked = 0;

// Returned by list functions on failure and by ListGetCurSel without selection.
inline constexpr int32_t ListError = -1;

struct DialogItem {
  int32_t id = 0;
  std::string class_name;  // "BUTTON", "EDIT", ...
  std::string text;
  uint32_t style = StyleVisible;
  int32_t x = 0, y = 0, width = 0, height = 0;
};

struct DialogTemplate {
  std::string title;
  uint32_t style = StyleVisible;
  int32_t x = 0, y = 0, width = 0, height = 0;
  std::vector<DialogItem> items;
};

// ---- modal ----------------------------------------------------------------
// Runs a modal dialog: creates it from the template, sends InitDialog with
// param, calls the script (Shown), then runs a message loop until EndDialog;
// the owner (when given) is disabled meanwhile. Returns the EndDialog result,
// or -1 when the dialog could not be created (no template, bad owner, no
// procedure), was destroyed without EndDialog, or the loop met Quit (which is
// posted again for the caller's loop).
intptr_t DialogBoxIndirectParam(const DialogTemplate& tmpl, KvWindow owner, DialogProc proc,
                                KvLParam param);
// The same from a dialog template resource of the module (numeric id).
intptr_t DialogBoxParam(KvModule module, int32_t template_id, KvWindow owner, DialogProc proc,
                        KvLParam param);

// ---- modeless -------------------------------------------------------------
// Creates a modeless dialog (the script is called with Shown when it becomes
// visible). Returns 0 on failure. The thread's own message loop drives it;
// EndDialog on a modeless dialog hides it (DestroyWindow removes it).
KvWindow CreateDialogIndirectParam(const DialogTemplate& tmpl, KvWindow owner, DialogProc proc,
                                   KvLParam param);
KvWindow CreateDialogParam(KvModule module, int32_t template_id, KvWindow owner, DialogProc proc,
                           KvLParam param);
// When the message belongs to the dialog or one of its controls, dispatches it
// and returns true; otherwise false (the caller dispatches it).
bool IsDialogMessage(KvWindow dialog, const Message* message);

// Ends a modal dialog with the result (the loop returns after the current
// message). False on a window that is no dialog.
bool EndDialog(KvWindow dialog, intptr_t result);
bool IsDialog(KvWindow window);

// ---- controls -------------------------------------------------------------
KvWindow GetDlgItem(KvWindow dialog, int32_t id);
int32_t GetDlgCtrlID(KvWindow control);
bool SetDlgItemText(KvWindow dialog, int32_t id, const char* text);
// Copies at most size-1 characters, terminated; returns the characters copied.
int32_t GetDlgItemText(KvWindow dialog, int32_t id, char* buffer, int32_t size);
std::string GetDlgItemString(KvWindow dialog, int32_t id);
bool SetDlgItemInt(KvWindow dialog, int32_t id, int32_t value, bool is_signed);
// The control's text as a decimal number; *ok (when given) says whether the
// text was a number in range (a missing control or "" is not).
int32_t GetDlgItemInt(KvWindow dialog, int32_t id, bool* ok, bool is_signed);
bool CheckDlgButton(KvWindow dialog, int32_t id, int32_t state);
int32_t IsDlgButtonChecked(KvWindow dialog, int32_t id);
// Checks `check` and unchecks the other buttons with ids first..last.
bool CheckRadioButton(KvWindow dialog, int32_t first, int32_t last, int32_t check);
bool EnableDlgItem(KvWindow dialog, int32_t id, bool enable);

// List boxes and combo boxes share these.
int32_t ListAddString(KvWindow dialog, int32_t id, const char* text);  // index or ListError
int32_t ListInsertString(KvWindow dialog, int32_t id, int32_t index, const char* text);
bool ListDeleteString(KvWindow dialog, int32_t id, int32_t index);
bool ListResetContent(KvWindow dialog, int32_t id);
int32_t ListGetCount(KvWindow dialog, int32_t id);  // ListError for no list
// Copies item text (size-1 characters at most, terminated); characters copied or ListError.
int32_t ListGetText(KvWindow dialog, int32_t id, int32_t index, char* buffer, int32_t size);
std::string ListGetString(KvWindow dialog, int32_t id, int32_t index);
int32_t ListFindString(KvWindow dialog, int32_t id, const char* text);  // exact, ignoring case
bool ListSetCurSel(KvWindow dialog, int32_t id, int32_t index);          // -1 clears
int32_t ListGetCurSel(KvWindow dialog, int32_t id);
bool ListSetItemData(KvWindow dialog, int32_t id, int32_t index, intptr_t data);
intptr_t ListGetItemData(KvWindow dialog, int32_t id, int32_t index);

// ---- script hook ----------------------------------------------------------
enum class DialogEvent { Shown, Idle };
// Called on the dialog's thread. One hook per process; returns the previous.
using DialogScript = std::function<void(KvWindow dialog, DialogEvent event)>;
DialogScript SetDialogScript(DialogScript script);
// What a user's click does: a push button sends Command(id, ButtonClicked) to
// the dialog; an auto check box toggles first, an auto radio button checks
// itself and unchecks its group. False for no such enabled control.
bool PressButton(KvWindow dialog, int32_t id);

}  // namespace kv::ui

#endif
