#include "platform/ui/window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace kv::ui {
namespace {

using namespace std::chrono_literals;

// What a recording window procedure saw.
struct Seen {
  KvWindow window;
  uint32_t message;
  KvWParam wparam;
  KvLParam lparam;
  ThreadId thread;
};

std::mutex g_mu;
std::vector<Seen> g_seen;

std::vector<Seen> TakeSeen() {
  std::lock_guard<std::mutex> lock(g_mu);
  std::vector<Seen> out;
  out.swap(g_seen);
  return out;
}

constexpr uint32_t kAskResult = msg::User + 1;   // answered with wparam * 2
constexpr uint32_t kStopLoop = msg::User + 2;    // owner posts Quit
constexpr uint32_t kSendBack = msg::User + 3;    // sends kAskResult to window lparam

KvResult RecordProc(KvWindow w, uint32_t m, KvWParam wp, KvLParam lp) {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_seen.push_back(Seen{w, m, wp, lp, CurrentThreadId()});
  }
  switch (m) {
    case kAskResult:
      return static_cast<KvResult>(wp * 2);
    case kStopLoop:
      PostQuitMessage(static_cast<int32_t>(wp));
      return 0;
    case kSendBack:
      return SendMessage(static_cast<KvWindow>(lp), kAskResult, wp, 0) + 1;
    default:
      return DefWindowProc(w, m, wp, lp);
  }
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterWindowClass("KvTestRecorder", &RecordProc, 2);
    TakeSeen();
  }
  void TearDown() override { TakeSeen(); }
};

// A thread that owns a window of the recorder class and runs a message loop
// until Quit; the loop's exit code is kept.
class OwnerThread {
 public:
  OwnerThread() {
    thread_ = std::thread([this] {
      KvWindow w = CreateWindow("kvtestrecorder", "owned", 0, 0);
      {
        std::lock_guard<std::mutex> lock(mu_);
        window_ = w;
        thread_id_ = CurrentThreadId();
      }
      cv_.notify_all();
      Message m;
      int32_t r;
      while ((r = GetMessage(&m)) > 0) DispatchMessage(&m);
      exit_code_ = r == 0 ? static_cast<int32_t>(m.wparam) : -999;
      DestroyWindow(w);
    });
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return window_ != 0; });
  }
  ~OwnerThread() {
    if (thread_.joinable()) {
      PostMessage(window_, kStopLoop, 0, 0);
      thread_.join();
    }
  }
  void Join() { thread_.join(); }
  KvWindow window() const { return window_; }
  ThreadId id() const { return thread_id_; }
  int32_t exit_code() const { return exit_code_; }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  KvWindow window_ = 0;
  ThreadId thread_id_ = 0;
  std::atomic<int32_t> exit_code_{0};
  std::thread thread_;
};

TEST_F(WindowTest, PostedSentAndTimerMessagesReachTheOwnerThread) {
  OwnerThread owner;
  const KvWindow w = owner.window();
  ASSERT_NE(w, 0u);
  EXPECT_EQ(GetWindowThreadId(w), owner.id());
  EXPECT_NE(owner.id(), CurrentThreadId());

  TakeSeen();  // the Create message
  // A send across threads returns the owner's answer, computed on its thread.
  EXPECT_EQ(SendMessage(w, kAskResult, 21, 0), 42);
  auto seen = TakeSeen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].message, kAskResult);
  EXPECT_EQ(seen[0].thread, owner.id());

  // Posts from two threads all arrive, each thread's in its own order.
  std::thread other([w] {
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(PostMessage(w, msg::User + 10, 1000 + i, 0));
  });
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(PostMessage(w, msg::User + 10, i, 0));
  other.join();
  ASSERT_EQ(SetTimer(w, 7, 5), 7u);
  // The timer keeps ticking on the owner's loop.
  auto deadline = std::chrono::steady_clock::now() + 5s;
  int ticks = 0;
  std::vector<KvWParam> posted;
  while (std::chrono::steady_clock::now() < deadline && (ticks < 3 || posted.size() < 100)) {
    std::this_thread::sleep_for(5ms);
    for (const Seen& s : TakeSeen()) {
      EXPECT_EQ(s.thread, owner.id());
      if (s.message == msg::Timer) {
        EXPECT_EQ(s.wparam, 7u);
        ++ticks;
      } else if (s.message == msg::User + 10) {
        posted.push_back(s.wparam);
      }
    }
  }
  EXPECT_GE(ticks, 3);
  ASSERT_EQ(posted.size(), 100u);
  KvWParam last_low = 0, last_high = 999;
  for (KvWParam v : posted) {
    if (v >= 1000) {
      EXPECT_GT(v, last_high);
      last_high = v;
    } else {
      EXPECT_TRUE(v == 0 || v > last_low);
      last_low = v;
    }
  }
  EXPECT_TRUE(KillTimer(w, 7));
  EXPECT_FALSE(KillTimer(w, 7));

  // Quit ends the owner's loop with the given code.
  ASSERT_TRUE(PostMessage(w, kStopLoop, 17, 0));
  owner.Join();
  EXPECT_EQ(owner.exit_code(), 17);
}

TEST_F(WindowTest, SendAcrossThreadsBlocksUntilHandled) {
  std::atomic<bool> handled{false};
  std::atomic<bool> release{false};
  static std::atomic<bool>* s_handled;
  static std::atomic<bool>* s_release;
  s_handled = &handled;
  s_release = &release;
  ASSERT_TRUE(RegisterWindowClass("KvTestSlow", [](KvWindow, uint32_t m, KvWParam, KvLParam) -> KvResult {
    if (m != msg::User) return 0;
    while (!s_release->load()) std::this_thread::sleep_for(1ms);
    s_handled->store(true);
    return 5;
  }));
  std::atomic<KvWindow> window{0};
  std::thread owner([&] {
    window = CreateWindow("KvTestSlow", "", 0, 0);
    Message m;
    while (GetMessage(&m) > 0) DispatchMessage(&m);
    DestroyWindow(window);
  });
  while (window == 0) std::this_thread::sleep_for(1ms);
  std::atomic<KvResult> result{-1};
  std::atomic<bool> returned{false};
  std::thread sender([&] {
    result = SendMessage(window, msg::User, 0, 0);
    returned = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned.load());  // still waiting for the owner
  release = true;
  sender.join();
  EXPECT_TRUE(handled.load());
  EXPECT_EQ(result.load(), 5);
  PostThreadMessage(GetWindowThreadId(window), msg::Quit, 0, 0);
  // A Quit as a plain thread message is just a message; end it properly.
  struct Q {
    static KvResult Proc(KvWindow, uint32_t m, KvWParam, KvLParam) {
      if (m == msg::User + 5) PostQuitMessage(0);
      return 0;
    }
  };
  SetWindowProc(window, &Q::Proc);
  PostMessage(window, msg::User + 5, 0, 0);
  owner.join();
  UnregisterWindowClass("KvTestSlow");
}

TEST_F(WindowTest, MutualSendsDoNotDeadlock) {
  OwnerThread a;
  // This thread owns b; a's procedure answers kSendBack by sending to b while
  // this thread is blocked sending to a.
  KvWindow b = CreateWindow("KvTestRecorder", "b", 0, 0);
  ASSERT_NE(b, 0u);
  EXPECT_EQ(SendMessage(a.window(), kSendBack, 4, static_cast<KvLParam>(b)), 9);
  bool b_saw_it_here = false;
  for (const Seen& s : TakeSeen()) {
    if (s.window == b && s.message == kAskResult) b_saw_it_here = s.thread == CurrentThreadId();
  }
  EXPECT_TRUE(b_saw_it_here);
  EXPECT_TRUE(DestroyWindow(b));
}

TEST_F(WindowTest, SendToAThreadThatEndsReturnsZero) {
  std::atomic<KvWindow> window{0};
  std::atomic<bool> go{false};
  std::thread owner([&] {
    window = CreateWindow("KvTestRecorder", "", 0, 0);
    while (!go) std::this_thread::sleep_for(1ms);
    // Ends without ever handling its queue.
  });
  while (window == 0) std::this_thread::sleep_for(1ms);
  KvWindow w = window;
  std::thread sender([&] {
    std::this_thread::sleep_for(20ms);
    go = true;
  });
  EXPECT_EQ(SendMessage(w, kAskResult, 3, 0), 0);
  owner.join();
  sender.join();
  EXPECT_FALSE(IsWindow(w));  // the thread's windows went with it
}

TEST_F(WindowTest, StaleAndBogusHandlesAreErrors) {
  KvWindow w = CreateWindow("KvTestRecorder", "t", 0, 0);
  ASSERT_NE(w, 0u);
  ASSERT_TRUE(DestroyWindow(w));
  char buf[8] = "xxxxxxx";
  Rect r;
  Message m;
  for (KvWindow bad : {w, KvWindow{0}, KvWindow{0xFFFFFFFFu}, KvWindow{123456}}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(IsWindow(bad));
    EXPECT_FALSE(PostMessage(bad, msg::User, 0, 0));
    EXPECT_EQ(SendMessage(bad, kAskResult, 1, 0), 0);
    EXPECT_FALSE(DestroyWindow(bad));
    EXPECT_FALSE(SetWindowText(bad, "x"));
    EXPECT_EQ(GetWindowText(bad, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(SetTimer(bad, 1, 10), 0u);
    EXPECT_FALSE(KillTimer(bad, 1));
    EXPECT_FALSE(ShowWindow(bad, Show));
    EXPECT_FALSE(IsWindowVisible(bad));
    EXPECT_EQ(SetWindowWord(bad, 0, 5), 0);
    EXPECT_EQ(GetWindowUserData(bad), 0);
    EXPECT_FALSE(GetWindowRect(bad, &r));
    EXPECT_EQ(CreateWindow("KvTestRecorder", "", 0, bad == 0 ? KvWindow{77777} : bad), 0u);
    EXPECT_EQ(GetMessage(&m, bad == 0 ? KvWindow{77777} : bad), -1);
  }
  // No message of the destroyed window can be fetched.
  EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PeekRemove));
  EXPECT_EQ(CreateWindow("NoSuchClass", "", 0, 0), 0u);
  EXPECT_EQ(CreateWindow(nullptr, "", 0, 0), 0u);
}

TEST_F(WindowTest, ClassesWindowsTextAndWords) {
  EXPECT_FALSE(RegisterWindowClass("KVTESTRECORDER", &RecordProc));  // names ignore case
  EXPECT_FALSE(RegisterWindowClass("", &RecordProc));
  EXPECT_FALSE(RegisterWindowClass("KvTestNull", nullptr));
  EXPECT_FALSE(RegisterWindowClass("KvTestHuge", &RecordProc, 1 << 30));

  KvWindow parent = CreateWindow("KvTestRecorder", "Main Title", StyleVisible, 0, 99);
  ASSERT_NE(parent, 0u);
  auto seen = TakeSeen();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].message, msg::Create);
  KvWindow child = CreateWindow("KvTestRecorder", "child", StyleChild, parent);
  ASSERT_NE(child, 0u);
  EXPECT_EQ(GetParent(child), parent);
  EXPECT_EQ(GetWindowUserData(parent), 99);  // the creator's value
  EXPECT_EQ(SetWindowUserData(parent, 5), 99);
  EXPECT_EQ(GetWindowUserData(parent), 5);
  EXPECT_FALSE(UnregisterWindowClass("KvTestRecorder"));  // in use

  EXPECT_EQ(FindWindow("kvtestrecorder", "MAIN TITLE"), parent);
  EXPECT_EQ(FindWindow(nullptr, "child"), child);
  EXPECT_EQ(FindWindow("KvTestRecorder", "nothing"), 0u);

  // Text is cut to the buffer and always terminated.
  char small[5];
  EXPECT_EQ(GetWindowText(parent, small, sizeof small), 4);
  EXPECT_STREQ(small, "Main");
  EXPECT_EQ(GetWindowTextLength(parent), 10);
  EXPECT_EQ(GetWindowText(parent, nullptr, 5), 0);

  // Two extra words; index 2 is outside.
  EXPECT_EQ(SetWindowWord(parent, 0, 11), 0);
  EXPECT_EQ(SetWindowWord(parent, 1, 12), 0);
  EXPECT_EQ(SetWindowWord(parent, 0, 13), 11);
  EXPECT_EQ(GetWindowWord(parent, 1), 12);
  EXPECT_EQ(SetWindowWord(parent, 2, 5), 0);
  EXPECT_EQ(GetWindowWord(parent, 2), 0);
  EXPECT_EQ(GetWindowWord(parent, -1), 0);

  // Show state.
  EXPECT_TRUE(IsWindowVisible(parent));
  EXPECT_TRUE(ShowWindow(parent, ShowMinimize));
  EXPECT_TRUE(IsIconic(parent));
  ShowWindow(parent, ShowRestore);
  EXPECT_FALSE(IsIconic(parent));
  EXPECT_TRUE(ShowWindow(parent, ShowHide));
  EXPECT_FALSE(IsWindowVisible(parent));
  EXPECT_FALSE(IsWindowVisible(child));  // created without the visible style

  // Destroying the parent tells it first, then the child, and drops their
  // queued messages.
  ASSERT_TRUE(PostMessage(child, msg::User, 0, 0));
  TakeSeen();
  ASSERT_TRUE(DestroyWindow(parent));
  seen = TakeSeen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].window, parent);
  EXPECT_EQ(seen[0].message, msg::Destroy);
  EXPECT_EQ(seen[1].window, child);
  EXPECT_EQ(seen[1].message, msg::Destroy);
  EXPECT_FALSE(IsWindow(child));
  Message m;
  EXPECT_FALSE(PeekMessage(&m));
}

TEST_F(WindowTest, CreateCanBeRefused) {
  ASSERT_TRUE(RegisterWindowClass("KvTestRefuse", [](KvWindow, uint32_t m, KvWParam, KvLParam lp) -> KvResult {
    if (m == msg::Create) {
      auto* info = reinterpret_cast<const CreateInfo*>(lp);
      return info->param == 1 ? -1 : 0;
    }
    return 0;
  }));
  EXPECT_EQ(CreateWindow("KvTestRefuse", "", 0, 0, 1), 0u);
  KvWindow ok = CreateWindow("KvTestRefuse", "", 0, 0, 2);
  EXPECT_NE(ok, 0u);
  DestroyWindow(ok);
  EXPECT_TRUE(UnregisterWindowClass("KvTestRefuse"));
}

TEST_F(WindowTest, PeekFiltersAndQuit) {
  KvWindow a = CreateWindow("KvTestRecorder", "a", 0, 0);
  KvWindow b = CreateWindow("KvTestRecorder", "b", 0, 0);
  ASSERT_TRUE(PostMessage(a, msg::User + 1, 1, 0));
  ASSERT_TRUE(PostMessage(b, msg::User + 2, 2, 0));
  ASSERT_TRUE(PostThreadMessage(CurrentThreadId(), msg::User + 3, 3, 0));
  Message m;
  // No remove leaves it in place.
  ASSERT_TRUE(PeekMessage(&m, 0, 0, 0, PeekNoRemove));
  EXPECT_EQ(m.window, a);
  ASSERT_TRUE(PeekMessage(&m, 0, 0, 0, PeekNoRemove));
  EXPECT_EQ(m.window, a);
  // Window filter and message range.
  ASSERT_TRUE(PeekMessage(&m, b, 0, 0, PeekRemove));
  EXPECT_EQ(m.message, msg::User + 2u);
  ASSERT_TRUE(PeekMessage(&m, 0, msg::User + 3, msg::User + 3, PeekRemove));
  EXPECT_EQ(m.window, 0u);
  EXPECT_EQ(m.wparam, 3u);
  EXPECT_FALSE(PeekMessage(&m, b, 0, 0, PeekRemove));
  // GetMessage with a filter waits for a matching message while others stay.
  std::thread poster([b] {
    std::this_thread::sleep_for(20ms);
    PostMessage(b, msg::User + 4, 4, 0);
  });
  ASSERT_EQ(GetMessage(&m, b), 1);
  poster.join();
  EXPECT_EQ(m.message, msg::User + 4u);
  // Quit comes after the posted messages, then GetMessage returns 0.
  PostQuitMessage(4);
  ASSERT_EQ(GetMessage(&m), 1);
  EXPECT_EQ(m.window, a);
  ASSERT_EQ(GetMessage(&m), 0);
  EXPECT_EQ(m.message, msg::Quit);
  EXPECT_EQ(m.wparam, 4u);
  EXPECT_FALSE(HasMessages());
  DestroyWindow(a);
  DestroyWindow(b);
}

TEST_F(WindowTest, TimerTicksCoalesceAndWaitMessageTimesOut) {
  KvWindow w = CreateWindow("KvTestRecorder", "", 0, 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitMessage(30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 25ms);

  ASSERT_EQ(SetTimer(w, 3, 5), 3u);
  EXPECT_EQ(SetTimer(w, 0, 5), 0u);
  std::this_thread::sleep_for(60ms);  // many periods pass unfetched
  Message m;
  int ticks = 0;
  while (PeekMessage(&m)) {
    if (m.message == msg::Timer) ++ticks;
  }
  EXPECT_EQ(ticks, 1);
  // The next tick needs a new period; WaitMessage wakes for it.
  EXPECT_TRUE(WaitMessage(2000));
  ASSERT_TRUE(PeekMessage(&m));
  EXPECT_EQ(m.message, msg::Timer);
  EXPECT_EQ(m.wparam, 3u);
  EXPECT_TRUE(KillTimer(w, 3));
  EXPECT_FALSE(WaitMessage(30));

  // A post from another thread wakes a waiting thread.
  std::thread poster([w] {
    std::this_thread::sleep_for(20ms);
    PostMessage(w, msg::User, 0, 0);
  });
  EXPECT_TRUE(WaitMessage(5000));
  poster.join();
  ASSERT_TRUE(PeekMessage(&m));
  EXPECT_EQ(m.message, msg::User);
  DestroyWindow(w);
}

TEST_F(WindowTest, DefaultCloseDestroysAndMoveSendsSize) {
  KvWindow w = CreateWindow("KvTestRecorder", "", 0, 0);
  ASSERT_TRUE(MoveWindow(w, 10, 20, 300, 200));
  Rect r, c;
  ASSERT_TRUE(GetWindowRect(w, &r));
  ASSERT_TRUE(GetClientRect(w, &c));
  EXPECT_EQ(r.left, 10);
  EXPECT_EQ(r.bottom, 220);
  EXPECT_EQ(c.right, 300);
  EXPECT_EQ(c.bottom, 200);
  bool sized = false;
  for (const Seen& s : TakeSeen()) {
    if (s.message == msg::Size) sized = LowWord(static_cast<uintptr_t>(s.lparam)) == 300 && HighWord(static_cast<uintptr_t>(s.lparam)) == 200;
  }
  EXPECT_TRUE(sized);
  SendMessage(w, msg::Close, 0, 0);
  EXPECT_FALSE(IsWindow(w));
}

}  // namespace
}  // namespace kv::ui
