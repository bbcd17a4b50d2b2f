// The window table, window classes, per-thread queues, sends and timers.
//
// Locks: one mutex guards the table of classes, windows and queues; each queue
// has its own mutex and condition variable. When both are needed the table's
// is taken first. No procedure is ever called while a lock is held.
#include "platform/ui/window.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/base/strutil.h"
#include "platform/ui/ui_internal.h"

namespace kv::ui {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kMaxExtraWords = 1024;

// Class names are keyed in lower case.
std::string Lower(const char* s) { return ToAsciiLower(s ? s : ""); }

uint32_t NowMs() {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

struct Queue;

struct SendRecord {
  KvWindow window = 0;
  uint32_t message = 0;
  KvWParam wparam = 0;
  KvLParam lparam = 0;
  KvResult result = 0;
  bool done = false;                // guarded by sender->mu
  std::shared_ptr<Queue> sender;
};

struct TimerRecord {
  KvWindow window = 0;
  uintptr_t id = 0;
  Clock::duration period{};
  Clock::time_point due{};
};

struct Queue {
  ThreadId thread = 0;
  std::mutex mu;
  std::condition_variable cv;
  std::deque<Message> posted;
  std::deque<std::shared_ptr<SendRecord>> sends;
  std::vector<TimerRecord> timers;
  bool quit = false;
  int32_t quit_code = 0;
  bool dead = false;
};

struct ClassRecord {
  std::string name;
  KvWindowProc proc = nullptr;
  int32_t extra_words = 0;
};

struct WindowRecord {
  std::shared_ptr<ClassRecord> cls;
  KvWindowProc proc = nullptr;
  std::string title;
  uint32_t style = 0;
  KvWindow parent = 0;
  ThreadId owner = 0;
  std::vector<intptr_t> words;
  intptr_t user_data = 0;
  Rect rect;
  bool destroying = false;
};

struct Table {
  std::mutex mu;
  std::map<std::string, std::shared_ptr<ClassRecord>> classes;  // by lower-case name
  std::map<KvWindow, std::shared_ptr<WindowRecord>> windows;
  std::unordered_map<ThreadId, std::shared_ptr<Queue>> queues;
  KvWindow next_window = 1;
  ThreadId next_thread = 1;
};

// Never destroyed: threads may still be ending while the process exits.
Table& T() {
  static Table* table = new Table;
  return *table;
}

void ThreadEnded(ThreadId id, const std::shared_ptr<Queue>& queue);

struct ThreadState {
  ThreadId id = 0;
  std::shared_ptr<Queue> queue;
  ~ThreadState() {
    if (id != 0) ThreadEnded(id, queue);
  }
};
thread_local ThreadState t_state;

ThreadId MyId() {
  if (t_state.id == 0) {
    std::lock_guard<std::mutex> lock(T().mu);
    t_state.id = T().next_thread++;
    if (T().next_thread == 0) T().next_thread = 1;
  }
  return t_state.id;
}

Queue& MyQueue() {
  if (!t_state.queue) {
    ThreadId id = MyId();
    auto q = std::make_shared<Queue>();
    q->thread = id;
    std::lock_guard<std::mutex> lock(T().mu);
    T().queues[id] = q;
    t_state.queue = q;
  }
  return *t_state.queue;
}

std::shared_ptr<Queue> QueueOf(ThreadId id) {  // table lock held
  auto it = T().queues.find(id);
  return it == T().queues.end() ? nullptr : it->second;
}

std::shared_ptr<WindowRecord> Find(KvWindow w) {  // table lock held
  if (w == 0) return nullptr;
  auto it = T().windows.find(w);
  return it == T().windows.end() ? nullptr : it->second;
}

// The queue of the thread that owns the window; null for a stale window or
// an owner without a queue.
std::shared_ptr<Queue> OwnerQueueOf(KvWindow w) {
  std::lock_guard<std::mutex> lock(T().mu);
  auto rec = Find(w);
  return rec ? QueueOf(rec->owner) : nullptr;
}

void Complete(const std::shared_ptr<SendRecord>& rec, KvResult result) {
  std::lock_guard<std::mutex> lock(rec->sender->mu);
  rec->result = result;
  rec->done = true;
  rec->sender->cv.notify_all();
}

KvWindowProc ProcOf(KvWindow w) {
  std::lock_guard<std::mutex> lock(T().mu);
  auto rec = Find(w);
  return rec ? rec->proc : nullptr;
}

void HandleSend(const std::shared_ptr<SendRecord>& rec) {
  KvWindowProc proc = ProcOf(rec->window);
  KvResult result = proc ? proc(rec->window, rec->message, rec->wparam, rec->lparam) : 0;
  Complete(rec, result);
}

// Handles every send waiting for the calling thread. Returns whether any was.
bool ProcessSends(Queue& q) {
  bool any = false;
  for (;;) {
    std::shared_ptr<SendRecord> rec;
    {
      std::lock_guard<std::mutex> lock(q.mu);
      if (q.sends.empty()) return any;
      rec = q.sends.front();
      q.sends.pop_front();
    }
    HandleSend(rec);
    any = true;
  }
}

// Removes the windows of a list from the table and their traces from queues.
void RemoveWindows(const std::vector<KvWindow>& list) {
  {
    std::lock_guard<std::mutex> lock(T().mu);
    for (KvWindow w : list) {
      auto rec = Find(w);
      if (!rec) continue;
      if (auto q = QueueOf(rec->owner)) {
        std::lock_guard<std::mutex> ql(q->mu);
        std::erase_if(q->posted, [w](const Message& m) { return m.window == w; });
        std::erase_if(q->timers, [w](const TimerRecord& t) { return t.window == w; });
      }
      T().windows.erase(w);
    }
  }
  for (KvWindow w : list) internal::OnWindowRemoved(w);
}

void ThreadEnded(ThreadId id, const std::shared_ptr<Queue>& queue) {
  // The thread's windows go away without messages: whatever their procedures
  // refer to may already be gone.
  std::vector<KvWindow> owned;
  {
    std::lock_guard<std::mutex> lock(T().mu);
    for (auto& [w, rec] : T().windows) {
      if (rec->owner == id) owned.push_back(w);
    }
    T().queues.erase(id);
  }
  RemoveWindows(owned);
  if (!queue) return;
  std::deque<std::shared_ptr<SendRecord>> pending;
  {
    std::lock_guard<std::mutex> lock(queue->mu);
    queue->dead = true;
    pending.swap(queue->sends);
    queue->posted.clear();
    queue->timers.clear();
  }
  for (auto& rec : pending) Complete(rec, 0);
}

bool Matches(const Message& m, KvWindow filter, uint32_t first, uint32_t last) {
  if (filter != 0 && m.window != filter) return false;
  if (first == 0 && last == 0) return true;
  return m.message >= first && m.message <= last;
}

bool RangeHas(uint32_t msg, uint32_t first, uint32_t last) {
  return (first == 0 && last == 0) || (msg >= first && msg <= last);
}

// Takes (or copies) the next message that matches; queue lock held.
bool TakeLocked(Queue& q, Message* out, KvWindow filter, uint32_t first, uint32_t last, bool remove,
                Clock::time_point now) {
  for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
    if (Matches(*it, filter, first, last)) {
      *out = *it;
      if (remove) q.posted.erase(it);
      return true;
    }
  }
  if (q.quit && RangeHas(msg::Quit, first, last)) {
    *out = Message{0, msg::Quit, static_cast<KvWParam>(q.quit_code), 0, NowMs()};
    if (remove) q.quit = false;
    return true;
  }
  // The most overdue timer first, so that one fast timer cannot starve others.
  TimerRecord* best = nullptr;
  for (auto& t : q.timers) {
    if (t.due > now) continue;
    if (filter != 0 && t.window != filter) continue;
    if (!RangeHas(msg::Timer, first, last)) continue;
    if (!best || t.due < best->due) best = &t;
  }
  if (best) {
    *out = Message{best->window, msg::Timer, best->id, 0, NowMs()};
    if (remove) best->due = now + best->period;  // missed ticks coalesce
    return true;
  }
  return false;
}

bool HasMessagesLocked(Queue& q, Clock::time_point now) {
  if (!q.posted.empty() || q.quit) return true;
  for (auto& t : q.timers) {
    if (t.due <= now) return true;
  }
  return false;
}

// Waits on the queue's condition until something arrives or `until`.
void WaitLocked(Queue& q, std::unique_lock<std::mutex>& lock, Clock::time_point until, bool limited) {
  Clock::time_point wake = until;
  bool have_wake = limited;
  const Clock::time_point now = Clock::now();
  for (auto& t : q.timers) {
    // A timer already due that is still waiting here is one the caller's
    // filter leaves out; it must not make the wait return at once.
    if (t.due <= now) continue;
    if (!have_wake || t.due < wake) {
      wake = t.due;
      have_wake = true;
    }
  }
  if (have_wake) {
    q.cv.wait_until(lock, wake);
  } else {
    q.cv.wait(lock);
  }
}

bool Peek(Message* out, KvWindow filter, uint32_t first, uint32_t last, bool remove) {
  Queue& q = MyQueue();
  ProcessSends(q);
  std::lock_guard<std::mutex> lock(q.mu);
  return TakeLocked(q, out, filter, first, last, remove, Clock::now());
}

}  // namespace

namespace internal {
std::vector<KvWindow> ChildrenOf(KvWindow window) {
  std::vector<KvWindow> out;
  std::lock_guard<std::mutex> lock(T().mu);
  for (auto& [w, rec] : T().windows) {
    if (rec->parent == window) out.push_back(w);
  }
  return out;
}
}  // namespace internal

ThreadId CurrentThreadId() { return MyId(); }

// ---- classes ----------------------------------------------------------------

bool RegisterWindowClass(const char* name, KvWindowProc proc, int32_t extra_words) {
  if (!name || !*name || !proc || extra_words < 0 || extra_words > kMaxExtraWords) return false;
  std::lock_guard<std::mutex> lock(T().mu);
  auto key = Lower(name);
  if (T().classes.count(key)) return false;
  auto cls = std::make_shared<ClassRecord>();
  cls->name = name;
  cls->proc = proc;
  cls->extra_words = extra_words;
  T().classes[key] = cls;
  return true;
}

bool UnregisterWindowClass(const char* name) {
  if (!name) return false;
  std::lock_guard<std::mutex> lock(T().mu);
  auto it = T().classes.find(Lower(name));
  if (it == T().classes.end()) return false;
  for (auto& [w, rec] : T().windows) {
    if (rec->cls == it->second) return false;  // still in use
  }
  T().classes.erase(it);
  return true;
}

bool IsWindowClassRegistered(const char* name) {
  if (!name) return false;
  std::lock_guard<std::mutex> lock(T().mu);
  return T().classes.count(Lower(name)) != 0;
}

// ---- windows ----------------------------------------------------------------

KvWindow CreateWindow(const char* class_name, const char* title, uint32_t style, KvWindow parent,
                      intptr_t param) {
  if (!class_name) return 0;
  MyQueue();
  KvWindow w = 0;
  KvWindowProc proc = nullptr;
  {
    std::lock_guard<std::mutex> lock(T().mu);
    auto it = T().classes.find(Lower(class_name));
    if (it == T().classes.end()) return 0;
    if (parent != 0 && !Find(parent)) return 0;
    if (T().windows.size() >= 0xFFFFFFF0u) return 0;
    w = T().next_window;
    while (w == 0 || T().windows.count(w)) ++w;
    T().next_window = w + 1;
    auto rec = std::make_shared<WindowRecord>();
    rec->cls = it->second;
    rec->proc = it->second->proc;
    rec->title = title ? title : "";
    rec->style = style;
    rec->parent = parent;
    rec->owner = MyId();
    rec->words.assign(static_cast<size_t>(it->second->extra_words), 0);
    rec->user_data = param;
    T().windows[w] = rec;
    proc = rec->proc;
  }
  CreateInfo info{class_name, title ? title : "", style, parent, param};
  KvResult r = proc(w, msg::Create, 0, reinterpret_cast<KvLParam>(&info));
  if (r == -1) {
    RemoveWindows({w});
    return 0;
  }
  if (!IsWindow(w)) return 0;  // destroyed itself while being created
  if (style & StyleVisible) internal::OnWindowShown(w);
  return w;
}

bool DestroyWindow(KvWindow window) {
  {
    std::lock_guard<std::mutex> lock(T().mu);
    auto rec = Find(window);
    if (!rec || rec->destroying) return false;
    rec->destroying = true;
  }
  // The window hears of it first, then its children (each with its own
  // children), then all leave the table together.
  SendMessage(window, msg::Destroy, 0, 0);
  std::vector<KvWindow> gone{window};
  for (size_t i = 0; i < gone.size(); ++i) {
    for (KvWindow child : internal::ChildrenOf(gone[i])) {
      bool fresh = false;
      {
        std::lock_guard<std::mutex> lock(T().mu);
        auto rec = Find(child);
        if (rec && !rec->destroying) {
          rec->destroying = true;
          fresh = true;
        }
      }
      if (fresh) {
        SendMessage(child, msg::Destroy, 0, 0);
        gone.push_back(child);
      }
    }
  }
  RemoveWindows(gone);
  return true;
}

bool IsWindow(KvWindow window) {
  std::lock_guard<std::mutex> lock(T().mu);
  return Find(window) != nullptr;
}

KvWindow FindWindow(const char* class_name, const char* title) {
  std::lock_guard<std::mutex> lock(T().mu);
  for (auto& [w, rec] : T().windows) {
    if (rec->destroying) continue;
    if (class_name && !IEquals(rec->cls->name, class_name)) continue;
    if (title && !IEquals(rec->title, title)) continue;
    return w;
  }
  return 0;
}

KvWindow GetParent(KvWindow window) {
  std::lock_guard<std::mutex> lock(T().mu);
  auto rec = Find(window);
  return rec ? rec->parent : 0;
}

ThreadId GetWindowThreadId(KvWindow window) {
  std::lock_guard<std::mutex> lock(T().mu);
  auto rec = Find(window);
  return rec ? rec->owner : 0;
}

KvWindowProc GetWindowProc(KvWindow window) { return ProcOf(window); }

KvWindowProc SetWindowProc(KvWindow window, KvWindowProc proc) {
  if (!proc) return nullptr;
  std::lock_guard<std::mutex> lock(T().mu);
  auto rec = Find(window);
  if (!rec) return nullptr;
  KvWindowProc old = rec->proc;
  rec->proc = proc;
  return old;
}

bool ShowWindow(KvWindow window, int32_t command) {
  bool was = false, now = false;
  {
    std::lock_guard<std::mutex> lock(T().mu);
    auto rec = Find(window);
    if (!rec) return false;
    was = (rec->style & StyleVisible) != 0;
    switch (command) {
      case ShowHide:
        rec->style &= ~StyleVisible;
        break;
      case ShowMinimized:
      case ShowMinimize:
      case ShowMinNoActive:
        rec->style |= StyleVisible | StyleMinimized;
        break;
      case ShowNormal:
      case ShowMaximized:
      case ShowRestore:
        rec->style = (rec->style | StyleVisible) & ~StyleMinimized;
        break;
      default:  // Show, ShowNA, ShowNoActivate and unknown commands
        rec->style |= StyleVisible;
        break;
    }
    now = (rec->style & StyleVisible) != 0;
  }
  if (was != now) {
    SendMessage(window, msg::ShowWindow, now ? 1 : 0, 0);
    if (now) internal::OnWindowShown(window);
  }
  return was;
}

bool IsWindowVisible(KvWindow window) { return (GetWindowStyle(window) & StyleVisible) != 0; }
bool IsIconic(KvWindow window) { return (GetWindowStyle(window) & StyleMinimized) != 0; }

bool EnableWindow(KvWindow window, bool enable) {
  bool was_disabled = false;
  {
    std::lock_guard<std::mutex> lock(T().mu);
    auto rec = Find(window);
    if (!rec) return false;
    was_disabled = (rec->style & StyleDisabled) != 0;
    if (enable) {
      rec->style &= ~StyleDisabled;
    } else {
      rec->style |= StyleDisabled;
    }
  }
  if (was_disabled == enable) SendMessage(window, msg::Enable, enable ? 1 : 0, 0);
  return was_disabled;
}

bool IsWindowEnabled(KvWindow window) {
  std::lock_guard<std::mutex> lock(T().mu);
  auto rec = Find(window);
  return rec && (rec->style & StyleDisabled) == 0;
}

uint32_t GetWindowStyle(KvWindow window) {
  std::lock_guard<std::mutex> lock(T().mu);
  auto rec = Find(window);
  return rec ? rec->style : 0;
}

bool SetWindowText(KvWindow window, const char* text) {
  std::lock_guard<std::mutex> lock(T().mu);
  auto rec = Find(window);
  if (!rec) return false;
  rec->title = text ? text : "";
  return true;
}

int32_t GetWindowText(KvWindow window, char* buffer, int32_t size) {
  if (!buffer || size <= 0) return 0;
  buffer[0] = '\0';
  std::lock_guard<std::mutex> lock(T().mu);
  auto rec = Find(window);
  if (!rec) return 0;
  size_t n = std::min(rec->title.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, rec->title.data(), n);
  buffer[n] = '\0';
  return static_cast<int32_t>(n);
}

int32_t GetWindowTextLength(KvWindow window) {
  std::lock_guard<std::mutex> lock(T().mu);
  auto rec = Find(window);
  return rec ? static_cast<int32_t>(std::min<size_t>(rec->title.size(), INT32_MAX)) : 0;
}

intptr_t SetWindowWord(KvWindow window, int32_t index, intptr_t value) {
  std::lock_guard<std::mutex> lock(T().mu);
  auto rec = Find(window);
  if (!rec || index < 0 || static_cast<size_t>(index) >= rec->words.size()) return 0;
  intptr_t old = rec->words[static_cast<size_t>(index)];
  rec->words[static_cast<size_t>(index)] = value;
  return old;
}

intptr_t GetWindowWord(KvWindow window, int32_t index) {
  std::lock_guard<std::mutex> lock(T().mu);
  auto rec = Find(window);
  if (!rec || index < 0 || static_cast<size_t>(index) >= rec->words.size()) return 0;
  return rec->words[static_cast<size_t>(index)];
}

intptr_t SetWindowUserData(KvWindow window, intptr_t value) {
  std::lock_guard<std::mutex> lock(T().mu);
  auto rec = Find(window);
  if (!rec) return 0;
  intptr_t old = rec->user_data;
  rec->user_data = value;
  return old;
}

intptr_t GetWindowUserData(KvWindow window) {
  std::lock_guard<std::mutex> lock(T().mu);
  auto rec = Find(window);
  return rec ? rec->user_data : 0;
}

bool MoveWindow(KvWindow window, int32_t x, int32_t y, int32_t width, int32_t height) {
  if (width < 0) width = 0;
  if (height < 0) height = 0;
  {
    std::lock_guard<std::mutex> lock(T().mu);
    auto rec = Find(window);
    if (!rec) return false;
    rec->rect = Rect{x, y, x + width, y + height};
  }
  KvLParam size = static_cast<KvLParam>((static_cast<uint32_t>(width) & 0xFFFFu) |
                                        ((static_cast<uint32_t>(height) & 0xFFFFu) << 16));
  SendMessage(window, msg::Size, 0, size);
  return true;
}

bool GetWindowRect(KvWindow window, Rect* rect) {
  if (!rect) return false;
  std::lock_guard<std::mutex> lock(T().mu);
  auto rec = Find(window);
  if (!rec) return false;
  *rect = rec->rect;
  return true;
}

bool GetClientRect(KvWindow window, Rect* rect) {
  Rect r;
  if (!rect || !GetWindowRect(window, &r)) return false;
  *rect = Rect{0, 0, r.right - r.left, r.bottom - r.top};
  return true;
}

KvResult DefWindowProc(KvWindow window, uint32_t message, KvWParam, KvLParam) {
  if (message == msg::Close) DestroyWindow(window);
  return 0;
}

// ---- messages ---------------------------------------------------------------

bool PostMessage(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam) {
  std::shared_ptr<Queue> q = OwnerQueueOf(window);
  if (!q) return false;
  std::lock_guard<std::mutex> lock(q->mu);
  if (q->dead) return false;
  q->posted.push_back(Message{window, message, wparam, lparam, NowMs()});
  q->cv.notify_all();
  return true;
}

bool PostThreadMessage(ThreadId thread, uint32_t message, KvWParam wparam, KvLParam lparam) {
  std::shared_ptr<Queue> q;
  {
    std::lock_guard<std::mutex> lock(T().mu);
    q = QueueOf(thread);
  }
  if (!q) return false;
  std::lock_guard<std::mutex> lock(q->mu);
  if (q->dead) return false;
  q->posted.push_back(Message{0, message, wparam, lparam, NowMs()});
  q->cv.notify_all();
  return true;
}

KvResult SendMessage(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam) {
  ThreadId me = MyId();
  std::shared_ptr<Queue> target;
  KvWindowProc proc = nullptr;
  {
    std::lock_guard<std::mutex> lock(T().mu);
    auto rec = Find(window);
    if (!rec) return 0;
    if (rec->owner == me) {
      proc = rec->proc;
    } else {
      target = QueueOf(rec->owner);
      if (!target) return 0;
    }
  }
  if (proc) return proc(window, message, wparam, lparam);

  Queue& mine = MyQueue();
  auto rec = std::make_shared<SendRecord>();
  rec->window = window;
  rec->message = message;
  rec->wparam = wparam;
  rec->lparam = lparam;
  rec->sender = t_state.queue;
  {
    std::lock_guard<std::mutex> lock(target->mu);
    if (target->dead) return 0;
    target->sends.push_back(rec);
    target->cv.notify_all();
  }
  // Wait for the answer, handling sends addressed to this thread meanwhile.
  for (;;) {
    std::shared_ptr<SendRecord> incoming;
    {
      std::unique_lock<std::mutex> lock(mine.mu);
      mine.cv.wait(lock, [&] { return rec->done || !mine.sends.empty(); });
      if (rec->done) return rec->result;
      incoming = mine.sends.front();
      mine.sends.pop_front();
    }
    HandleSend(incoming);
  }
}

void PostQuitMessage(int32_t exit_code) {
  Queue& q = MyQueue();
  std::lock_guard<std::mutex> lock(q.mu);
  q.quit = true;
  q.quit_code = exit_code;
  q.cv.notify_all();
}

int32_t GetMessage(Message* message, KvWindow filter, uint32_t first, uint32_t last) {
  if (!message) return -1;
  if (filter != 0 && !IsWindow(filter)) return -1;
  Queue& q = MyQueue();
  bool idle_told = false;
  for (;;) {
    ProcessSends(q);
    {
      std::lock_guard<std::mutex> lock(q.mu);
      if (q.sends.empty() && TakeLocked(q, message, filter, first, last, true, Clock::now())) {
        return message->message == msg::Quit ? 0 : 1;
      }
    }
    if (!idle_told) {
      // Nothing to hand out: let scripted dialogs of this thread act once
      // before blocking.
      idle_told = true;
      internal::OnThreadIdle();
      continue;
    }
    std::unique_lock<std::mutex> lock(q.mu);
    Message probe;
    if (!q.sends.empty() || TakeLocked(q, &probe, filter, first, last, false, Clock::now())) continue;
    WaitLocked(q, lock, Clock::time_point{}, false);
  }
}

bool PeekMessage(Message* message, KvWindow filter, uint32_t first, uint32_t last, uint32_t remove) {
  if (!message) return false;
  return Peek(message, filter, first, last, (remove & PeekRemove) != 0);
}

KvResult DispatchMessage(const Message* message) {
  if (!message || message->window == 0) return 0;
  KvWindowProc proc = ProcOf(message->window);
  if (!proc) return 0;
  return proc(message->window, message->message, message->wparam, message->lparam);
}

bool TranslateMessage(const Message*) { return false; }

bool WaitMessage(int32_t timeout_ms) {
  Queue& q = MyQueue();
  const bool limited = timeout_ms >= 0;
  const Clock::time_point until =
      limited ? Clock::now() + std::chrono::milliseconds(timeout_ms) : Clock::time_point{};
  bool idle_told = false;
  for (;;) {
    ProcessSends(q);
    std::unique_lock<std::mutex> lock(q.mu);
    if (!q.sends.empty()) continue;
    Clock::time_point now = Clock::now();
    if (HasMessagesLocked(q, now)) return true;
    if (limited && now >= until) return false;
    if (!idle_told) {
      idle_told = true;
      lock.unlock();
      internal::OnThreadIdle();
      continue;
    }
    WaitLocked(q, lock, until, limited);
  }
}

bool HasMessages() {
  Queue& q = MyQueue();
  std::lock_guard<std::mutex> lock(q.mu);
  return HasMessagesLocked(q, Clock::now());
}

// ---- timers -----------------------------------------------------------------

uintptr_t SetTimer(KvWindow window, uintptr_t id, uint32_t period_ms) {
  if (id == 0) return 0;
  if (period_ms == 0) period_ms = 1;
  std::shared_ptr<Queue> q = OwnerQueueOf(window);
  if (!q) return 0;
  std::lock_guard<std::mutex> lock(q->mu);
  if (q->dead) return 0;
  auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(period_ms));
  auto due = Clock::now() + period;
  for (auto& t : q->timers) {
    if (t.window == window && t.id == id) {
      t.period = period;
      t.due = due;
      q->cv.notify_all();
      return id;
    }
  }
  q->timers.push_back(TimerRecord{window, id, period, due});
  q->cv.notify_all();
  return id;
}

bool KillTimer(KvWindow window, uintptr_t id) {
  std::shared_ptr<Queue> q = OwnerQueueOf(window);
  if (!q) return false;
  std::lock_guard<std::mutex> lock(q->mu);
  size_t before = q->timers.size();
  std::erase_if(q->timers, [&](const TimerRecord& t) { return t.window == window && t.id == id; });
  // Ticks are made when fetched, so none of this timer appears after this.
  return q->timers.size() != before;
}

}  // namespace kv::ui
