// Headless dialogs: a dialog window with child control windows whose state
// (text, check, items, selection, enabled) is kept here, and the script hook
// that plays the user.
#include "platform/ui/dialog.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/base/strutil.h"
#include "platform/module/resource.h"
#include "platform/ui/ui_internal.h"

namespace kv::ui {
namespace {

struct ControlState {
  int32_t id = 0;
  KvWindow dialog = 0;
  std::string cls;  // lower case
  uint32_t style = 0;
  int32_t check = Unchecked;
  std::vector<std::pair<std::string, intptr_t>> items;
  int32_t selection = ListError;
};

struct DialogState {
  DialogProc proc = nullptr;
  bool modal = false;
  std::atomic<bool> ended{false};  // EndDialog may come from another thread
  std::atomic<intptr_t> result{0};
  ThreadId thread = 0;
  std::vector<KvWindow> controls;  // template order
};

struct Registry {
  std::mutex mu;
  std::map<KvWindow, std::shared_ptr<DialogState>> dialogs;
  std::map<KvWindow, std::shared_ptr<ControlState>> controls;
  DialogScript script;
};

Registry& R() {
  static Registry* r = new Registry;  // outlives threads ending at exit
  return *r;
}

std::shared_ptr<DialogState> DialogOf(KvWindow w) {
  std::lock_guard<std::mutex> lock(R().mu);
  auto it = R().dialogs.find(w);
  return it == R().dialogs.end() ? nullptr : it->second;
}

std::shared_ptr<ControlState> ControlOf(KvWindow w) {
  std::lock_guard<std::mutex> lock(R().mu);
  auto it = R().controls.find(w);
  return it == R().controls.end() ? nullptr : it->second;
}

std::shared_ptr<ControlState> Item(KvWindow dialog, int32_t id, KvWindow* window = nullptr) {
  KvWindow w = GetDlgItem(dialog, id);
  if (window) *window = w;
  return w ? ControlOf(w) : nullptr;
}

bool IsList(const ControlState& c) { return c.cls == "listbox" || c.cls == "combobox"; }

uint32_t ButtonKind(const ControlState& c) { return c.style & 0xFu; }

bool IsRadio(const ControlState& c) {
  return c.cls == "button" && (ButtonKind(c) == ButtonRadio || ButtonKind(c) == ButtonAutoRadio);
}

void CallScript(KvWindow dialog, DialogEvent event) {
  DialogScript script;
  {
    std::lock_guard<std::mutex> lock(R().mu);
    script = R().script;
  }
  if (script) script(dialog, event);
}

KvResult ControlProc(KvWindow w, uint32_t m, KvWParam wp, KvLParam lp) { return DefWindowProc(w, m, wp, lp); }

KvResult DialogWindowProc(KvWindow w, uint32_t m, KvWParam wp, KvLParam lp) {
  auto state = DialogOf(w);
  if (!state) return m == msg::Close ? 0 : DefWindowProc(w, m, wp, lp);
  KvResult handled = state->proc ? state->proc(w, m, wp, lp) : 0;
  if (handled == 0 && m == msg::Close) {
    // Closing a dialog that does not handle Close means Cancel.
    SendMessage(w, msg::Command, MakeWParam(static_cast<uint32_t>(IdCancel), ButtonClicked),
                static_cast<KvLParam>(GetDlgItem(w, IdCancel)));
  }
  return handled;
}

void RegisterClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterWindowClass(DialogClassName, &DialogWindowProc, 0);
    for (const char* name : {"BUTTON", "EDIT", "STATIC", "LISTBOX", "COMBOBOX", "KVUI_CONTROL"}) {
      RegisterWindowClass(name, &ControlProc, 0);
    }
  });
}

const char* KnownControlClass(const std::string& lower) {
  for (const char* name : {"button", "edit", "static", "listbox", "combobox"}) {
    if (lower == name) return name;
  }
  return nullptr;
}

KvWindow Build(const DialogTemplate& tmpl, KvWindow owner, DialogProc proc, KvLParam param, bool modal,
               std::shared_ptr<DialogState>* out_state) {
  RegisterClasses();
  if (!proc) return 0;
  if (owner != 0 && !IsWindow(owner)) return 0;
  const uint32_t dialog_style = tmpl.style & ~(StyleVisible | StyleChild);
  KvWindow dlg = CreateWindow(DialogClassName, tmpl.title.c_str(), dialog_style, owner, 0);
  if (!dlg) return 0;
  MoveWindow(dlg, tmpl.x, tmpl.y, tmpl.width, tmpl.height);
  auto state = std::make_shared<DialogState>();
  state->proc = proc;
  state->modal = modal;
  state->thread = CurrentThreadId();
  for (const DialogItem& item : tmpl.items) {
    std::string lower = ToAsciiLower(item.class_name);
    const char* known = KnownControlClass(lower);
    std::string cls = known ? std::string(known)
                            : (IsWindowClassRegistered(item.class_name.c_str()) ? item.class_name : "KVUI_CONTROL");
    KvWindow ctl = CreateWindow(cls.c_str(), item.text.c_str(), item.style | StyleChild, dlg, 0);
    if (!ctl) {
      DestroyWindow(dlg);
      return 0;
    }
    MoveWindow(ctl, item.x, item.y, item.width, item.height);
    auto cs = std::make_shared<ControlState>();
    cs->id = item.id;
    cs->dialog = dlg;
    cs->cls = lower;
    cs->style = item.style;
    {
      std::lock_guard<std::mutex> lock(R().mu);
      R().controls[ctl] = cs;
    }
    state->controls.push_back(ctl);
  }
  {
    std::lock_guard<std::mutex> lock(R().mu);
    R().dialogs[dlg] = state;
  }
  KvWindow first = state->controls.empty() ? 0 : state->controls.front();
  SendMessage(dlg, msg::InitDialog, static_cast<KvWParam>(first), param);
  if (!IsWindow(dlg)) return 0;
  if ((modal || (tmpl.style & StyleVisible)) && !state->ended) ShowWindow(dlg, Show);
  if (out_state) *out_state = state;
  return dlg;
}

// A template of a module's resources in this layer's terms.
bool Convert(const KvDialogTemplate* src, DialogTemplate* out) {
  if (!src) return false;
  out->title = src->caption ? src->caption : "";
  out->style = StyleVisible;
  out->x = src->x;
  out->y = src->y;
  out->width = src->cx;
  out->height = src->cy;
  out->items.clear();
  if (src->control_count > 0 && !src->controls) return false;
  for (uint32_t i = 0; i < src->control_count; ++i) {
    const KvDialogControl& c = src->controls[i];
    DialogItem item;
    item.id = c.id;
    item.text = c.text ? c.text : "";
    item.x = c.x;
    item.y = c.y;
    item.width = c.cx;
    item.height = c.cy;
    std::string cls = ToAsciiLower(c.class_name ? c.class_name : "");
    uint32_t style = 0;
    const bool autom = (c.style & KV_STYLE_AUTO) != 0;
    if (cls == "checkbox") {
      cls = "button";
      if (c.style & KV_STYLE_3STATE) {
        style = autom ? ButtonAuto3State : Button3State;
      } else {
        style = autom ? ButtonAutoCheckBox : ButtonCheckBox;
      }
    } else if (cls == "radio") {
      cls = "button";
      style = autom ? ButtonAutoRadio : ButtonRadio;
    } else if (cls == "button") {
      style = (c.style & KV_STYLE_DEFAULT) ? ButtonDefPush : ButtonPush;
    } else if (cls == "groupbox") {
      cls = "static";
    }
    if (!(c.style & KV_STYLE_HIDDEN)) style |= StyleVisible;
    if (c.style & KV_STYLE_DISABLED) style |= StyleDisabled;
    if (c.style & KV_STYLE_GROUP) style |= StyleGroup;
    if (c.style & KV_STYLE_SORT) style |= ListSorted;
    // A class of the program's own keeps its spelling; converted ones are ours.
    const std::string given = c.class_name ? c.class_name : "";
    item.class_name = IEquals(cls, given) ? given : cls;
    item.style = style;
    out->items.push_back(std::move(item));
  }
  return true;
}

int32_t CopyText(const std::string& text, char* buffer, int32_t size) {
  if (!buffer || size <= 0) return 0;
  size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<int32_t>(n);
}

}  // namespace

namespace internal {

void OnWindowRemoved(KvWindow window) {
  std::lock_guard<std::mutex> lock(R().mu);
  R().dialogs.erase(window);
  R().controls.erase(window);
}

void OnWindowShown(KvWindow window) {
  if (DialogOf(window)) CallScript(window, DialogEvent::Shown);
}

void OnThreadIdle() {
  std::vector<KvWindow> modeless;
  ThreadId me = CurrentThreadId();
  {
    std::lock_guard<std::mutex> lock(R().mu);
    if (!R().script) return;
    for (auto& [w, st] : R().dialogs) {
      if (!st->modal && st->thread == me) modeless.push_back(w);
    }
  }
  for (KvWindow w : modeless) {
    if (IsWindowVisible(w)) CallScript(w, DialogEvent::Idle);
  }
}

}  // namespace internal

// ---- modal and modeless -------------------------------------------------------

intptr_t DialogBoxIndirectParam(const DialogTemplate& tmpl, KvWindow owner, DialogProc proc, KvLParam param) {
  std::shared_ptr<DialogState> state;
  bool owner_enabled = owner != 0 && IsWindowEnabled(owner);
  if (owner_enabled) EnableWindow(owner, false);
  KvWindow dlg = Build(tmpl, owner, proc, param, true, &state);
  if (!dlg) {
    if (owner_enabled) EnableWindow(owner, true);
    return -1;
  }
  bool quit = false;
  bool idle_due = true;
  while (!state->ended && IsWindow(dlg)) {
    Message m;
    if (PeekMessage(&m, 0, 0, 0, PeekRemove)) {
      if (m.message == msg::Quit) {
        // Leave the loop and let the caller's loop see the Quit too.
        PostQuitMessage(static_cast<int32_t>(m.wparam));
        quit = true;
        break;
      }
      TranslateMessage(&m);
      DispatchMessage(&m);
      idle_due = true;
      continue;
    }
    if (idle_due) {
      idle_due = false;
      CallScript(dlg, DialogEvent::Idle);
      continue;
    }
    WaitMessage(-1);
  }
  if (owner_enabled) EnableWindow(owner, true);
  const bool ended = state->ended;
  const intptr_t result = state->result;
  DestroyWindow(dlg);
  return (quit || !ended) ? -1 : result;
}

intptr_t DialogBoxParam(KvModule module, int32_t template_id, KvWindow owner, DialogProc proc, KvLParam param) {
  DialogTemplate tmpl;
  if (template_id < 0 || !Convert(KvFindDialog(module, static_cast<uint32_t>(template_id)), &tmpl)) return -1;
  return DialogBoxIndirectParam(tmpl, owner, proc, param);
}

KvWindow CreateDialogIndirectParam(const DialogTemplate& tmpl, KvWindow owner, DialogProc proc, KvLParam param) {
  return Build(tmpl, owner, proc, param, false, nullptr);
}

KvWindow CreateDialogParam(KvModule module, int32_t template_id, KvWindow owner, DialogProc proc, KvLParam param) {
  DialogTemplate tmpl;
  if (template_id < 0 || !Convert(KvFindDialog(module, static_cast<uint32_t>(template_id)), &tmpl)) return 0;
  return CreateDialogIndirectParam(tmpl, owner, proc, param);
}

bool IsDialogMessage(KvWindow dialog, const Message* message) {
  if (!message || !DialogOf(dialog) || message->window == 0) return false;
  KvWindow w = message->window;
  if (w != dialog) {
    auto c = ControlOf(w);
    if (!c || c->dialog != dialog) return false;
  }
  DispatchMessage(message);
  return true;
}

bool EndDialog(KvWindow dialog, intptr_t result) {
  auto state = DialogOf(dialog);
  if (!state) return false;
  state->result = result;
  state->ended = true;
  if (state->modal) {
    PostMessage(dialog, msg::Null, 0, 0);  // wakes the dialog's loop
  } else {
    ShowWindow(dialog, ShowHide);
  }
  return true;
}

bool IsDialog(KvWindow window) { return DialogOf(window) != nullptr; }

// ---- controls -----------------------------------------------------------------

KvWindow GetDlgItem(KvWindow dialog, int32_t id) {
  auto state = DialogOf(dialog);
  if (!state) return 0;
  for (KvWindow w : state->controls) {
    auto c = ControlOf(w);
    if (c && c->id == id) return w;
  }
  return 0;
}

int32_t GetDlgCtrlID(KvWindow control) {
  auto c = ControlOf(control);
  return c ? c->id : 0;
}

bool SetDlgItemText(KvWindow dialog, int32_t id, const char* text) {
  KvWindow w = GetDlgItem(dialog, id);
  return w && SetWindowText(w, text);
}

int32_t GetDlgItemText(KvWindow dialog, int32_t id, char* buffer, int32_t size) {
  if (!buffer || size <= 0) return 0;
  buffer[0] = '\0';
  KvWindow w = GetDlgItem(dialog, id);
  return w ? GetWindowText(w, buffer, size) : 0;
}

std::string GetDlgItemString(KvWindow dialog, int32_t id) {
  KvWindow w = GetDlgItem(dialog, id);
  if (!w) return std::string();
  std::string out(static_cast<size_t>(GetWindowTextLength(w)) + 1, '\0');
  int32_t n = GetWindowText(w, out.data(), static_cast<int32_t>(out.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

bool SetDlgItemInt(KvWindow dialog, int32_t id, int32_t value, bool is_signed) {
  std::string text = is_signed ? std::to_string(value) : std::to_string(static_cast<uint32_t>(value));
  return SetDlgItemText(dialog, id, text.c_str());
}

int32_t GetDlgItemInt(KvWindow dialog, int32_t id, bool* ok, bool is_signed) {
  if (ok) *ok = false;
  if (!GetDlgItem(dialog, id)) return 0;
  std::string text = GetDlgItemString(dialog, id);
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    if (text[i] == '-' && !is_signed) return 0;
    negative = text[i] == '-';
    ++i;
  }
  size_t digits = 0;
  int64_t value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + (text[i] - '0');
    if (value > 0x1FFFFFFFFll) return 0;  // far out of range
    ++i;
    ++digits;
  }
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (digits == 0 || i != text.size()) return 0;
  if (negative) value = -value;
  if (is_signed ? (value < INT32_MIN || value > INT32_MAX) : (value > static_cast<int64_t>(UINT32_MAX))) return 0;
  if (ok) *ok = true;
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

bool CheckDlgButton(KvWindow dialog, int32_t id, int32_t state) {
  auto c = Item(dialog, id);
  if (!c || c->cls != "button" || state < Unchecked || state > Indeterminate) return false;
  std::lock_guard<std::mutex> lock(R().mu);
  c->check = state;
  return true;
}

int32_t IsDlgButtonChecked(KvWindow dialog, int32_t id) {
  auto c = Item(dialog, id);
  if (!c) return Unchecked;
  std::lock_guard<std::mutex> lock(R().mu);
  return c->check;
}

bool CheckRadioButton(KvWindow dialog, int32_t first, int32_t last, int32_t check) {
  if (first > last || check < first || check > last || !GetDlgItem(dialog, check)) return false;
  for (int32_t id = first; id <= last; ++id) {
    if (GetDlgItem(dialog, id)) CheckDlgButton(dialog, id, id == check ? Checked : Unchecked);
  }
  return true;
}

bool EnableDlgItem(KvWindow dialog, int32_t id, bool enable) {
  KvWindow w = GetDlgItem(dialog, id);
  if (!w) return false;
  EnableWindow(w, enable);
  return true;
}

int32_t ListInsertString(KvWindow dialog, int32_t id, int32_t index, const char* text) {
  auto c = Item(dialog, id);
  if (!c || !IsList(*c) || !text) return ListError;
  std::lock_guard<std::mutex> lock(R().mu);
  const int32_t count = static_cast<int32_t>(c->items.size());
  if (count >= INT32_MAX - 1) return ListError;
  if (index < 0 || index > count) index = count;  // -1 appends
  c->items.insert(c->items.begin() + index, {std::string(text), 0});
  if (c->selection >= index) ++c->selection;
  return index;
}

int32_t ListAddString(KvWindow dialog, int32_t id, const char* text) {
  auto c = Item(dialog, id);
  if (!c || !IsList(*c) || !text) return ListError;
  int32_t index = -1;
  if (c->style & ListSorted) {
    // Sorted lists keep their items in order, ignoring case.
    std::lock_guard<std::mutex> lock(R().mu);
    index = 0;
    while (index < static_cast<int32_t>(c->items.size()) &&
           ICompare(c->items[static_cast<size_t>(index)].first, text) <= 0) {
      ++index;
    }
  }
  return ListInsertString(dialog, id, index, text);
}

bool ListDeleteString(KvWindow dialog, int32_t id, int32_t index) {
  auto c = Item(dialog, id);
  if (!c || !IsList(*c)) return false;
  std::lock_guard<std::mutex> lock(R().mu);
  if (index < 0 || index >= static_cast<int32_t>(c->items.size())) return false;
  c->items.erase(c->items.begin() + index);
  if (c->selection == index) {
    c->selection = ListError;
  } else if (c->selection > index) {
    --c->selection;
  }
  return true;
}

bool ListResetContent(KvWindow dialog, int32_t id) {
  auto c = Item(dialog, id);
  if (!c || !IsList(*c)) return false;
  std::lock_guard<std::mutex> lock(R().mu);
  c->items.clear();
  c->selection = ListError;
  return true;
}

int32_t ListGetCount(KvWindow dialog, int32_t id) {
  auto c = Item(dialog, id);
  if (!c || !IsList(*c)) return ListError;
  std::lock_guard<std::mutex> lock(R().mu);
  return static_cast<int32_t>(c->items.size());
}

std::string ListGetString(KvWindow dialog, int32_t id, int32_t index) {
  auto c = Item(dialog, id);
  if (!c || !IsList(*c)) return std::string();
  std::lock_guard<std::mutex> lock(R().mu);
  if (index < 0 || index >= static_cast<int32_t>(c->items.size())) return std::string();
  return c->items[static_cast<size_t>(index)].first;
}

int32_t ListGetText(KvWindow dialog, int32_t id, int32_t index, char* buffer, int32_t size) {
  if (buffer && size > 0) buffer[0] = '\0';
  auto c = Item(dialog, id);
  if (!c || !IsList(*c)) return ListError;
  std::string text;
  {
    std::lock_guard<std::mutex> lock(R().mu);
    if (index < 0 || index >= static_cast<int32_t>(c->items.size())) return ListError;
    text = c->items[static_cast<size_t>(index)].first;
  }
  return CopyText(text, buffer, size);
}

int32_t ListFindString(KvWindow dialog, int32_t id, const char* text) {
  auto c = Item(dialog, id);
  if (!c || !IsList(*c) || !text) return ListError;
  std::lock_guard<std::mutex> lock(R().mu);
  for (size_t i = 0; i < c->items.size(); ++i) {
    if (IEquals(c->items[i].first, text)) return static_cast<int32_t>(i);
  }
  return ListError;
}

bool ListSetCurSel(KvWindow dialog, int32_t id, int32_t index) {
  KvWindow w = 0;
  auto c = Item(dialog, id, &w);
  if (!c || !IsList(*c)) return false;
  std::string text;
  {
    std::lock_guard<std::mutex> lock(R().mu);
    if (index < -1 || index >= static_cast<int32_t>(c->items.size())) return false;
    c->selection = index;
    if (c->cls == "combobox" && index >= 0) text = c->items[static_cast<size_t>(index)].first;
  }
  // A combo box shows the selected item in its edit field.
  if (c->cls == "combobox") SetWindowText(w, text.c_str());
  return true;
}

int32_t ListGetCurSel(KvWindow dialog, int32_t id) {
  auto c = Item(dialog, id);
  if (!c || !IsList(*c)) return ListError;
  std::lock_guard<std::mutex> lock(R().mu);
  return c->selection;
}

bool ListSetItemData(KvWindow dialog, int32_t id, int32_t index, intptr_t data) {
  auto c = Item(dialog, id);
  if (!c || !IsList(*c)) return false;
  std::lock_guard<std::mutex> lock(R().mu);
  if (index < 0 || index >= static_cast<int32_t>(c->items.size())) return false;
  c->items[static_cast<size_t>(index)].second = data;
  return true;
}

intptr_t ListGetItemData(KvWindow dialog, int32_t id, int32_t index) {
  auto c = Item(dialog, id);
  if (!c || !IsList(*c)) return ListError;
  std::lock_guard<std::mutex> lock(R().mu);
  if (index < 0 || index >= static_cast<int32_t>(c->items.size())) return ListError;
  return c->items[static_cast<size_t>(index)].second;
}

// ---- script hook ----------------------------------------------------------------

DialogScript SetDialogScript(DialogScript script) {
  std::lock_guard<std::mutex> lock(R().mu);
  std::swap(R().script, script);
  return script;
}

bool PressButton(KvWindow dialog, int32_t id) {
  KvWindow w = 0;
  auto c = Item(dialog, id, &w);
  if (!c || !IsWindowEnabled(w) || !IsWindowEnabled(dialog)) return false;
  if (c->cls == "button") {
    const uint32_t kind = ButtonKind(*c);
    if (kind == ButtonAutoCheckBox) {
      std::lock_guard<std::mutex> lock(R().mu);
      c->check = c->check == Checked ? Unchecked : Checked;
    } else if (kind == ButtonAuto3State) {
      std::lock_guard<std::mutex> lock(R().mu);
      c->check = (c->check + 1) % 3;
    } else if (kind == ButtonAutoRadio) {
      // The group: from the nearest control at or before this one that starts
      // a group, up to the next one that starts another.
      auto state = DialogOf(dialog);
      if (state) {
        const auto& list = state->controls;
        size_t pos = 0;
        while (pos < list.size() && list[pos] != w) ++pos;
        size_t begin = pos;
        while (begin > 0 && !(GetWindowStyle(list[begin]) & StyleGroup)) --begin;
        std::lock_guard<std::mutex> lock(R().mu);
        for (size_t i = begin; i < list.size(); ++i) {
          if (i > begin && (GetWindowStyle(list[i]) & StyleGroup)) break;
          auto it = R().controls.find(list[i]);
          if (it != R().controls.end() && IsRadio(*it->second)) it->second->check = Unchecked;
        }
        c->check = Checked;
      }
    }
  }
  SendMessage(dialog, msg::Command, MakeWParam(static_cast<uint32_t>(id), ButtonClicked), static_cast<KvLParam>(w));
  return true;
}

}  // namespace kv::ui
