// Windows, window classes, per-thread message queues and timers.
//
// Nothing is drawn: a window is a record in a process-wide table, named by a
// small number (KvWindow). A number that names no live window is an error
// (the call fails and returns 0/false), never a crash.
//
// Every thread that owns a window or calls a queue function gets its own
// message queue. Posting works from any thread; sending to a window of the
// calling thread calls its procedure directly, sending to a window of another
// thread blocks until that thread handles it (while blocked the sender still
// handles sends addressed to itself, so two threads sending to each other do
// not deadlock). A thread handles sends addressed to it whenever it calls
// GetMessage, PeekMessage, WaitMessage or SendMessage. When a thread ends, its
// windows and timers go away and sends still waiting for it return 0.
#ifndef KV_PLATFORM_UI_WINDOW_H
#define KV_PLATFORM_UI_WINDOW_H

#include <cstddef>
#include <cstdint>

#include "platform/base/kvtypes.h"

namespace kv::msg {
// Message numbers. The values are the customary ones, so that numbers written
// as plain integers elsewhere (user messages 0x400 + n and the like) mean the
// same thing.
inline constexpr uint32_t Null = 0x0000;
inline constexpr uint32_t Create = 0x0001;
inline constexpr uint32_t Destroy = 0x0002;
inline constexpr uint32_t Move = 0x0003;
inline constexpr uint32_t Size = 0x0005;
inline constexpr uint32_t Activate = 0x0006;
inline constexpr uint32_t Enable = 0x000A;
inline constexpr uint32_t SetText = 0x000C;
inline constexpr uint32_t Paint = 0x000F;
inline constexpr uint32_t Close = 0x0010;
inline constexpr uint32_t Quit = 0x0012;
inline constexpr uint32_t EraseBackground = 0x0014;
inline constexpr uint32_t ShowWindow = 0x0018;
inline constexpr uint32_t WindowPosChanged = 0x0047;
inline constexpr uint32_t Notify = 0x004E;
inline constexpr uint32_t ContextMenu = 0x007B;
inline constexpr uint32_t InitDialog = 0x0110;
inline constexpr uint32_t Command = 0x0111;
inline constexpr uint32_t SysCommand = 0x0112;
inline constexpr uint32_t Timer = 0x0113;
inline constexpr uint32_t HorzScroll = 0x0114;
inline constexpr uint32_t VertScroll = 0x0115;
inline constexpr uint32_t EnterIdle = 0x0121;
inline constexpr uint32_t MouseMove = 0x0200;
inline constexpr uint32_t LButtonDown = 0x0201;
inline constexpr uint32_t LButtonUp = 0x0202;
inline constexpr uint32_t LButtonDblClk = 0x0203;
inline constexpr uint32_t RButtonDown = 0x0204;
inline constexpr uint32_t RButtonUp = 0x0205;
inline constexpr uint32_t User = 0x0400;  // first free message number
}  // namespace kv::msg

namespace kv::ui {

// Command identifiers of the standard buttons (also message-box answers).
inline constexpr int32_t IdOk = 1;
inline constexpr int32_t IdCancel = 2;
inline constexpr int32_t IdAbort = 3;
inline constexpr int32_t IdRetry = 4;
inline constexpr int32_t IdIgnore = 5;
inline constexpr int32_t IdYes = 6;
inline constexpr int32_t IdNo = 7;

// Window styles (bit values as customary).
inline constexpr uint32_t StyleChild = 0x40000000u;
inline constexpr uint32_t StyleMinimized = 0x20000000u;
inline constexpr uint32_t StyleVisible = 0x10000000u;
inline constexpr uint32_t StyleDisabled = 0x08000000u;
inline constexpr uint32_t StyleGroup = 0x00020000u;  // first control of a group

// Show commands for ShowWindow.
inline constexpr int32_t ShowHide = 0;
inline constexpr int32_t ShowNormal = 1;
inline constexpr int32_t ShowMinimized = 2;
inline constexpr int32_t ShowMaximized = 3;
inline constexpr int32_t ShowNoActivate = 4;
inline constexpr int32_t Show = 5;
inline constexpr int32_t ShowMinimize = 6;
inline constexpr int32_t ShowMinNoActive = 7;
inline constexpr int32_t ShowNA = 8;
inline constexpr int32_t ShowRestore = 9;

// Packing of two 16-bit halves into a message parameter (command messages
// carry the control id in the low half and the notification in the high half).
constexpr KvWParam MakeWParam(uint32_t low, uint32_t high) {
  return static_cast<KvWParam>((low & 0xFFFFu) | ((high & 0xFFFFu) << 16));
}
constexpr uint32_t LowWord(uintptr_t v) { return static_cast<uint32_t>(v & 0xFFFFu); }
constexpr uint32_t HighWord(uintptr_t v) { return static_cast<uint32_t>((v >> 16) & 0xFFFFu); }

// A queued message.
struct Message {
  KvWindow window = 0;  // 0 for a thread message
  uint32_t message = 0;
  KvWParam wparam = 0;
  KvLParam lparam = 0;
  uint32_t time = 0;  // milliseconds of a monotonic clock when queued
};

// What Create receives in its lparam (a pointer to this record, valid for the
// duration of the call). A Create procedure that returns -1 refuses the window.
struct CreateInfo {
  const char* class_name;
  const char* title;
  uint32_t style;
  KvWindow parent;
  intptr_t param;  // the creator's value (CreateWindow's last argument)
};

struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// A thread as the queues know it: a small non-zero number per thread.
using ThreadId = uint32_t;
ThreadId CurrentThreadId();

// ---- classes --------------------------------------------------------------
// Registers a class under a name (matched ignoring case). extra_words is the
// number of intptr_t slots each window of the class carries (Get/SetWindowWord).
// Fails (false) for an empty name, a null procedure, a negative or huge
// word count, or a name already registered.
bool RegisterWindowClass(const char* name, KvWindowProc proc, int32_t extra_words = 0);
bool UnregisterWindowClass(const char* name);
bool IsWindowClassRegistered(const char* name);

// ---- windows --------------------------------------------------------------
// Creates a window of a registered class owned by the calling thread; sends
// Create (lparam = const CreateInfo*); param is also the window's first user
// data (GetWindowUserData). Without StyleVisible the window is hidden. Returns 0 on failure (unknown class, stale parent, Create said -1).
KvWindow CreateWindow(const char* class_name, const char* title, uint32_t style, KvWindow parent,
                      intptr_t param = 0);
// Destroys the window and its children: the window gets Destroy, then each
// child does; their timers end and their queued messages are dropped. The
// messages go through SendMessage, so this works from any thread.
bool DestroyWindow(KvWindow window);
bool IsWindow(KvWindow window);
// First live window whose class and title match (ignoring case); null means any.
KvWindow FindWindow(const char* class_name, const char* title);
KvWindow GetParent(KvWindow window);
ThreadId GetWindowThreadId(KvWindow window);
// The procedure of the window; SetWindowProc replaces it and returns the old one
// (null on a stale window).
KvWindowProc GetWindowProc(KvWindow window);
KvWindowProc SetWindowProc(KvWindow window, KvWindowProc proc);

// Show state. ShowWindow returns whether the window was visible before.
bool ShowWindow(KvWindow window, int32_t command);
bool IsWindowVisible(KvWindow window);
bool IsIconic(KvWindow window);  // minimised
bool EnableWindow(KvWindow window, bool enable);  // returns whether it was disabled
bool IsWindowEnabled(KvWindow window);
uint32_t GetWindowStyle(KvWindow window);

// Window text. GetWindowText copies at most size-1 characters and always
// terminates (when size > 0); returns the number of characters copied.
bool SetWindowText(KvWindow window, const char* text);
int32_t GetWindowText(KvWindow window, char* buffer, int32_t size);
int32_t GetWindowTextLength(KvWindow window);

// Per-window words (index 0 .. extra_words-1 of the class) and one user value.
// Set returns the previous value; a bad index or stale window returns 0.
intptr_t SetWindowWord(KvWindow window, int32_t index, intptr_t value);
intptr_t GetWindowWord(KvWindow window, int32_t index);
intptr_t SetWindowUserData(KvWindow window, intptr_t value);
intptr_t GetWindowUserData(KvWindow window);

// Position and size (no screen; kept for layout code). MoveWindow sends Size
// (wparam 0, lparam = width | height << 16) to the window.
bool MoveWindow(KvWindow window, int32_t x, int32_t y, int32_t width, int32_t height);
bool GetWindowRect(KvWindow window, Rect* rect);
bool GetClientRect(KvWindow window, Rect* rect);  // 0,0 based

// The procedure of last resort: Close destroys the window; everything else 0.
KvResult DefWindowProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam);

// ---- messages -------------------------------------------------------------
// Queues a message for the window's owner thread. False on a stale window.
bool PostMessage(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam);
// Queues a thread message (window 0) for the given thread. False when that
// thread has no queue (it never used one or has ended).
bool PostThreadMessage(ThreadId thread, uint32_t message, KvWParam wparam, KvLParam lparam);
// Calls the window's procedure on its owner thread and returns its result;
// 0 for a stale window or when the owner thread ends before handling it.
KvResult SendMessage(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam);
// Posts Quit with the exit code to the calling thread's queue.
void PostQuitMessage(int32_t exit_code);

// Waits for a message of the calling thread (window filter 0 = any window or
// thread message; range 0,0 = any message). Returns 1 with a message, 0 when
// the message is Quit (message->wparam holds the exit code), -1 on a bad
// argument (null message, stale filter window).
int32_t GetMessage(Message* message, KvWindow filter = 0, uint32_t first = 0, uint32_t last = 0);

inline constexpr uint32_t PeekNoRemove = 0;
inline constexpr uint32_t PeekRemove = 1;
// Like GetMessage but never blocks: false when nothing is waiting.
bool PeekMessage(Message* message, KvWindow filter = 0, uint32_t first = 0, uint32_t last = 0,
                 uint32_t remove = PeekRemove);
// Calls the procedure of the message's window (thread messages are dropped);
// returns the procedure's result.
KvResult DispatchMessage(const Message* message);
// Kept for callers' loops; does nothing here.
bool TranslateMessage(const Message* message);
// Blocks until a message can be retrieved (or a due timer) or timeout_ms has
// passed; handles incoming sends meanwhile. timeout_ms < 0 waits without limit.
// Returns true when a message is waiting. Like GetMessage, it lets scripted
// modeless dialogs of the thread act (dialog.h) before it blocks.
bool WaitMessage(int32_t timeout_ms = -1);
// True when the calling thread's queue holds a message or a due timer.
bool HasMessages();

// ---- timers ---------------------------------------------------------------
// A timer of the window with this id delivers Timer (wparam = id) through the
// owner thread's queue every period_ms (at least 1 ms); ticks that are not
// fetched coalesce into one. Setting an existing id restarts it with the new
// period. Returns id (non-zero) or 0 on failure (stale window, id 0).
uintptr_t SetTimer(KvWindow window, uintptr_t id, uint32_t period_ms);
bool KillTimer(KvWindow window, uintptr_t id);

}  // namespace kv::ui

#endif
