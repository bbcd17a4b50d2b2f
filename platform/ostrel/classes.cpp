// The classes of the utility library: CString, CFile, CWaitCursor and the
// window objects.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/base/files.h"
#include "platform/base/strutil.h"
#include "platform/ostrel/ostrel.h"
#include "platform/ostrel/ostrel_internal.h"
#include "platform/ui/window.h"

namespace {

int32_t ToIndex(size_t pos) {
  return pos == std::string::npos || pos > static_cast<size_t>(INT32_MAX) ? -1 : static_cast<int32_t>(pos);
}

}  // namespace

// ---- CString -------------------------------------------------------------------

CString::CString() = default;
CString::CString(const char* text) : text_(text ? text : "") {}
CString::CString(const char* text, int32_t length) {
  if (text && length > 0) text_.assign(text, strnlen(text, static_cast<size_t>(length)));
}
CString::CString(const CString& other) = default;
CString::CString(CString&& other) noexcept : text_(std::move(other.text_)) { other.text_.clear(); }
CString::~CString() = default;

CString& CString::operator=(const CString& other) = default;
CString& CString::operator=(CString&& other) noexcept {
  if (this != &other) {
    text_ = std::move(other.text_);
    other.text_.clear();
  }
  return *this;
}
CString& CString::operator=(const char* text) {
  // The text may point into this string; assign copes with that.
  text_.assign(text ? text : "");
  return *this;
}
CString& CString::operator+=(const CString& other) {
  text_ += other.text_;
  return *this;
}
CString& CString::operator+=(const char* text) {
  if (text) text_.append(std::string(text));  // a copy: the text may be our own
  return *this;
}
CString& CString::operator+=(char c) {
  text_ += c;
  return *this;
}

CString operator+(const CString& a, const CString& b) {
  CString r(a);
  r += b;
  return r;
}
CString operator+(const CString& a, const char* b) {
  CString r(a);
  r += b;
  return r;
}
CString operator+(const char* a, const CString& b) {
  CString r(a);
  r += b;
  return r;
}
bool operator==(const CString& a, const char* b) { return a.text_ == (b ? b : ""); }
bool operator==(const CString& a, const CString& b) { return a.text_ == b.text_; }

CString::operator const char*() const { return text_.c_str(); }
const char* CString::GetString() const { return text_.c_str(); }
int32_t CString::GetLength() const {
  return text_.size() > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(text_.size());
}
bool CString::IsEmpty() const { return text_.empty(); }
void CString::Empty() { text_.clear(); }

bool CString::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool ok = FormatV(format, args);
  va_end(args);
  return ok;
}

bool CString::FormatV(const char* format, va_list args) {
  if (!format) {
    text_.clear();
    return false;
  }
  // Built apart from text_, since an argument may be this string's own text.
  std::vector<char> buf(256);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(buf.data(), buf.size(), format, copy);
    va_end(copy);
    if (n < 0) {
      text_.clear();
      return false;
    }
    if (static_cast<size_t>(n) < buf.size()) {
      text_.assign(buf.data(), static_cast<size_t>(n));
      return true;
    }
    buf.resize(static_cast<size_t>(n) + 1);
  }
}

int32_t CString::Find(const char* needle, int32_t start) const {
  if (!needle || !*needle || start < 0 || static_cast<size_t>(start) > text_.size()) return -1;
  return ToIndex(text_.find(needle, static_cast<size_t>(start)));
}

int32_t CString::Find(char c, int32_t start) const {
  if (start < 0 || static_cast<size_t>(start) > text_.size()) return -1;
  return ToIndex(text_.find(c, static_cast<size_t>(start)));
}

int32_t CString::FindNoCase(const char* needle, int32_t start) const {
  if (!needle || !*needle || start < 0 || static_cast<size_t>(start) > text_.size()) return -1;
  return ToIndex(kv::ToAsciiLower(text_).find(kv::ToAsciiLower(needle), static_cast<size_t>(start)));
}

bool CString::LoadString(uint32_t id, KvModule module) {
  if (!module) module = ostrel_internal::CallerModule(__builtin_return_address(0));
  bool found = false;
  text_ = ostrel_internal::ModuleString(module, id, &found);
  return found;
}

// ---- CFile ---------------------------------------------------------------------

CFile::CFile() : file_(KV_INVALID_FILE) {}
CFile::~CFile() { Close(); }

bool CFile::Open(const char* path, uint32_t flags) {
  Close();
  if (!path || !*path) return false;
  uint32_t access = kv::kFileRead;
  switch (flags & 0x3u) {
    case modeWrite:
      access = kv::kFileWrite;
      break;
    case modeReadWrite:
      access = kv::kFileReadWrite;
      break;
    case modeRead:
      break;
    default:
      return false;
  }
  kv::FileDisposition disposition = kv::FileDisposition::kOpenExisting;
  if (flags & modeCreate) {
    disposition = (flags & modeNoTruncate) ? kv::FileDisposition::kOpenAlways : kv::FileDisposition::kCreateAlways;
  }
  file_ = kv::FileOpen(path, access, disposition);
  return file_ != KV_INVALID_FILE;
}

uint32_t CFile::Read(void* buffer, uint32_t count) {
  if (file_ == KV_INVALID_FILE || !buffer || count == 0) return 0;
  uint32_t done = 0;
  return kv::FileRead(file_, buffer, count, &done) ? done : 0;
}

bool CFile::Write(const void* buffer, uint32_t count) {
  if (file_ == KV_INVALID_FILE || (!buffer && count != 0)) return false;
  if (count == 0) return true;
  uint32_t done = 0;
  return kv::FileWrite(file_, buffer, count, &done) && done == count;
}

int64_t CFile::GetLength() const { return file_ == KV_INVALID_FILE ? -1 : kv::FileSize(file_); }

void CFile::Close() {
  if (file_ != KV_INVALID_FILE) {
    kv::FileClose(file_);
    file_ = KV_INVALID_FILE;
  }
}

bool CFile::IsOpen() const { return file_ != KV_INVALID_FILE; }

// ---- CWaitCursor ---------------------------------------------------------------

CWaitCursor::CWaitCursor() = default;
CWaitCursor::~CWaitCursor() = default;
void CWaitCursor::Restore() {}

// ---- CWindow -------------------------------------------------------------------

namespace {

constexpr const char* kWindowClass = "KVUI_Window";

int32_t XOf(KvLParam lp) { return static_cast<int16_t>(kv::ui::LowWord(static_cast<uintptr_t>(lp))); }
int32_t YOf(KvLParam lp) { return static_cast<int16_t>(kv::ui::HighWord(static_cast<uintptr_t>(lp))); }

}  // namespace

CWindow::CWindow() = default;

CWindow::~CWindow() {
  if (window_ != 0) {
    // Detach first: the derived parts of this object are already gone.
    const KvWindow w = window_;
    kv::ui::SetWindowWord(w, 0, 0);
    window_ = 0;
    kv::ui::DestroyWindow(w);
  }
}

bool CWindow::Create(const char* title, uint32_t style, KvWindow parent) {
  if (window_ != 0) return false;
  static std::once_flag once;
  std::call_once(once, [] { kv::ui::RegisterWindowClass(kWindowClass, &CWindow::Route, 1); });
  return kv::ui::CreateWindow(kWindowClass, title, style, parent, reinterpret_cast<intptr_t>(this)) != 0;
}

bool CWindow::Destroy() { return window_ != 0 && kv::ui::DestroyWindow(window_); }

CWindow* CWindow::FromHandle(KvWindow window) {
  return reinterpret_cast<CWindow*>(kv::ui::GetWindowWord(window, 0));
}

KvResult CWindow::Route(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (message == kv::msg::Create) {
    auto* info = reinterpret_cast<const kv::ui::CreateInfo*>(lparam);
    auto* self = info ? reinterpret_cast<CWindow*>(info->param) : nullptr;
    if (self) {
      self->window_ = window;
      kv::ui::SetWindowWord(window, 0, reinterpret_cast<intptr_t>(self));
    }
  }
  CWindow* self = FromHandle(window);
  if (!self) return kv::ui::DefWindowProc(window, message, wparam, lparam);
  KvResult r = self->Dispatch(message, wparam, lparam);
  if (message == kv::msg::Destroy) {
    // The last message this object hears of its window.
    kv::ui::SetWindowWord(window, 0, 0);
    if (self->window_ == window) self->window_ = 0;
  }
  return r;
}

KvResult CWindow::Dispatch(uint32_t message, KvWParam wp, KvLParam lp) {
  const Current saved = current_;  // handlers may send to this window again
  current_ = Current{message, wp, lp};
  KvResult r = 0;
  using kv::ui::HighWord;
  using kv::ui::LowWord;
  const auto flags = static_cast<uint32_t>(wp);
  switch (message) {
    case kv::msg::Command: r = OnCommand(LowWord(wp), HighWord(wp), static_cast<KvWindow>(lp)); break;
    case kv::msg::SysCommand: r = OnSysCommand(wp, lp); break;
    case kv::msg::Destroy: r = OnDestroy(); break;
    case kv::msg::Close: r = OnClose(); break;
    case kv::msg::Size: r = OnSize(flags, static_cast<int32_t>(LowWord(static_cast<uintptr_t>(lp))),
                                   static_cast<int32_t>(HighWord(static_cast<uintptr_t>(lp)))); break;
    case kv::msg::ContextMenu: r = OnContextMenu(static_cast<KvWindow>(wp), XOf(lp), YOf(lp)); break;
    case kv::msg::LButtonDown: r = OnLButtonDown(flags, XOf(lp), YOf(lp)); break;
    case kv::msg::LButtonUp: r = OnLButtonUp(flags, XOf(lp), YOf(lp)); break;
    case kv::msg::LButtonDblClk: r = OnLButtonDblClk(flags, XOf(lp), YOf(lp)); break;
    case kv::msg::RButtonDown: r = OnRButtonDown(flags, XOf(lp), YOf(lp)); break;
    case kv::msg::RButtonUp: r = OnRButtonUp(flags, XOf(lp), YOf(lp)); break;
    case kv::msg::MouseMove: r = OnMouseMove(flags, XOf(lp), YOf(lp)); break;
    case kv::msg::Timer: r = OnTimer(wp); break;
    case kv::msg::Paint: r = OnPaint(); break;
    case kv::msg::Notify: r = OnNotify(static_cast<uint32_t>(wp), lp); break;
    case kv::msg::Move: r = OnMove(XOf(lp), YOf(lp)); break;
    case kv::msg::WindowPosChanged: r = OnWindowPosChanged(lp); break;
    case kv::msg::EraseBackground: r = OnEraseBackground(wp); break;
    case kv::msg::HorzScroll:
      r = OnHorzScroll(LowWord(wp), static_cast<int16_t>(HighWord(wp)), static_cast<KvWindow>(lp));
      break;
    case kv::msg::VertScroll:
      r = OnVertScroll(LowWord(wp), static_cast<int16_t>(HighWord(wp)), static_cast<KvWindow>(lp));
      break;
    default: r = OnMessage(message, wp, lp); break;
  }
  current_ = saved;
  return r;
}

KvResult CWindow::Default() {
  if (window_ == 0) return 0;
  return kv::ui::DefWindowProc(window_, current_.message, current_.wparam, current_.lparam);
}

void CWindow::Layout() {}

void CWindow::GetPreferedLayoutSize(int32_t* width, int32_t* height) {
  kv::ui::Rect r;
  if (!kv::ui::GetClientRect(window_, &r)) r = kv::ui::Rect{};
  if (width) *width = r.right;
  if (height) *height = r.bottom;
}

KvResult CWindow::OnCommand(uint32_t, uint32_t, KvWindow) { return Default(); }
KvResult CWindow::OnSysCommand(KvWParam, KvLParam) { return Default(); }
KvResult CWindow::OnDestroy() { return Default(); }
KvResult CWindow::OnClose() { return Default(); }
KvResult CWindow::OnSize(uint32_t, int32_t, int32_t) {
  Layout();
  return 0;
}
KvResult CWindow::OnContextMenu(KvWindow, int32_t, int32_t) { return Default(); }
KvResult CWindow::OnLButtonDown(uint32_t, int32_t, int32_t) { return Default(); }
KvResult CWindow::OnLButtonUp(uint32_t, int32_t, int32_t) { return Default(); }
KvResult CWindow::OnLButtonDblClk(uint32_t, int32_t, int32_t) { return Default(); }
KvResult CWindow::OnRButtonDown(uint32_t, int32_t, int32_t) { return Default(); }
KvResult CWindow::OnRButtonUp(uint32_t, int32_t, int32_t) { return Default(); }
KvResult CWindow::OnMouseMove(uint32_t, int32_t, int32_t) { return Default(); }
KvResult CWindow::OnTimer(uintptr_t) { return Default(); }
KvResult CWindow::OnPaint() { return Default(); }
KvResult CWindow::OnNotify(uint32_t, KvLParam) { return Default(); }
KvResult CWindow::OnMove(int32_t, int32_t) { return Default(); }
KvResult CWindow::OnWindowPosChanged(KvLParam) { return Default(); }
KvResult CWindow::OnMessage(uint32_t, KvWParam, KvLParam) { return Default(); }
KvResult CWindow::OnEraseBackground(KvWParam) { return Default(); }
KvResult CWindow::OnHorzScroll(uint32_t, int32_t, KvWindow) { return Default(); }
KvResult CWindow::OnVertScroll(uint32_t, int32_t, KvWindow) { return Default(); }

// ---- CBitmapButton, CToolbar, CCoolbar -------------------------------------------

bool CBitmapButton::Create(KvWindow parent, uint32_t id, const char* text) {
  id_ = id;
  return CWindow::Create(text, kv::ui::StyleChild | kv::ui::StyleVisible, parent);
}

void CBitmapButton::Draw() { ++draws_; }

KvResult CBitmapButton::OnPaint() {
  Draw();
  return 0;
}

KvResult CBitmapButton::OnLButtonUp(uint32_t, int32_t, int32_t) {
  if (!kv::ui::IsWindowEnabled(GetHandle())) return 0;
  kv::ui::SendMessage(kv::ui::GetParent(GetHandle()), kv::msg::Command, kv::ui::MakeWParam(id_, 0),
                      static_cast<KvLParam>(GetHandle()));
  return 0;
}

bool CToolbar::Create(KvWindow parent) {
  return CWindow::Create("", kv::ui::StyleChild | kv::ui::StyleVisible, parent);
}

bool CToolbar::AddButton(uint32_t id) {
  if (count_ >= static_cast<int32_t>(sizeof ids_ / sizeof ids_[0])) return false;
  ids_[count_++] = id;
  return true;
}

int32_t CToolbar::GetButtonCount() const { return count_; }

bool CToolbar::PressButton(uint32_t id) {
  for (int32_t i = 0; i < count_; ++i) {
    if (ids_[i] == id) {
      kv::ui::SendMessage(kv::ui::GetParent(GetHandle()), kv::msg::Command, kv::ui::MakeWParam(id, 0),
                          static_cast<KvLParam>(GetHandle()));
      return true;
    }
  }
  return false;
}

void CToolbar::Draw() {}

void CToolbar::GetPreferedLayoutSize(int32_t* width, int32_t* height) {
  // Buttons of 24 x 22 in one row.
  if (width) *width = count_ * 24;
  if (height) *height = 22;
}

KvResult CToolbar::OnPaint() {
  Draw();
  return 0;
}

bool CCoolbar::Create(KvWindow parent) {
  return CWindow::Create("", kv::ui::StyleChild | kv::ui::StyleVisible, parent);
}

void CCoolbar::GetPreferedLayoutSize(int32_t* width, int32_t* height) {
  // Its own width, one band high.
  CWindow::GetPreferedLayoutSize(width, nullptr);
  if (height) *height = 26;
}
