#include "platform/ostrel/ostrel.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/base/memory.h"
#include "platform/base/registry.h"
#include "platform/testsupport/files.h"
#include "platform/ui/window.h"

namespace {

using kv::test::ReadText;
using kv::test::WriteBytes;

// A temporary folder for one test, removed with its files afterwards.
class TempDir {
 public:
  TempDir() {
    std::string t = ::testing::TempDir() + "kvostrelXXXXXX";
    if (mkdtemp(t.data())) path_ = t;
  }
  ~TempDir() {
    if (path_.empty()) return;
    if (DIR* d = opendir(path_.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") unlink((path_ + "/" + n).c_str());
      }
      closedir(d);
    }
    rmdir(path_.c_str());
  }
  std::string File(const char* name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// ---- CString -----------------------------------------------------------------

TEST(CStringTest, CopyAssignConcatenate) {
  CString a("abc");
  CString b = a;
  b += "def";
  EXPECT_STREQ(a, "abc");
  EXPECT_STREQ(b, "abcdef");
  CString c = std::move(b);
  EXPECT_STREQ(c, "abcdef");
  EXPECT_STREQ(b, "");  // moved-from is empty, never null
  EXPECT_EQ(b.GetLength(), 0);

  CString d = "x" + a + CString("-") + "y";
  EXPECT_TRUE(d == "xabc-y");
  d += '!';
  EXPECT_EQ(d.GetLength(), 7);

  // Own text as an argument.
  d += d;
  EXPECT_STREQ(d, "xabc-y!xabc-y!");
  d = d.GetString() + 7;
  EXPECT_STREQ(d, "xabc-y!");
  d += static_cast<const char*>(d);
  EXPECT_STREQ(d, "xabc-y!xabc-y!");
  d = static_cast<const char*>(nullptr);
  EXPECT_TRUE(d.IsEmpty());

  CString e("abcdef", 3);
  EXPECT_STREQ(e, "abc");
  CString f("ab", 10);  // the length never reads past the terminator
  EXPECT_STREQ(f, "ab");
  CString g("ab", -1);
  EXPECT_STREQ(g, "");
  a.Empty();
  EXPECT_TRUE(a.IsEmpty());
}

TEST(CStringTest, FormatGrowsAndChecks) {
  CString s;
  EXPECT_TRUE(s.Format("%d-%s-%05.1f", 42, "x", 3.14159));
  EXPECT_STREQ(s, "42-x-003.1");
  std::string big(5000, 'q');
  EXPECT_TRUE(s.Format("<%s>", big.c_str()));
  EXPECT_EQ(s.GetLength(), 5002);
  EXPECT_EQ(std::string(s.GetString()), "<" + big + ">");
  // The string's own text as an argument.
  CString t("abc");
  EXPECT_TRUE(t.Format("%s+%s", t.GetString(), t.GetString()));
  EXPECT_STREQ(t, "abc+abc");
  // A conversion the formatter refuses (a wide character with no narrow
  // form in the C locale) leaves the text empty and says so.
  EXPECT_FALSE(t.Format("%ls", L"\u00e9"));
  EXPECT_TRUE(t.IsEmpty());
}

TEST(CStringTest, FindAndFindNoCase) {
  const CString s("Hello World, hello");
  struct Case {
    const char* needle;
    int32_t start;
    int32_t exact;
    int32_t nocase;
  };
  const Case cases[] = {
      {"llo", 0, 2, 2},       {"llo", 3, 15, 15},  {"HELLO", 0, -1, 0},   {"hello", 1, 13, 13},
      {"world", 0, -1, 6},    {"", 0, -1, -1},     {nullptr, 0, -1, -1},  {"o", -1, -1, -1},
      {"o", 18, -1, -1},      {"o", 1000, -1, -1}, {"hello!", 0, -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.needle ? c.needle : "(null)");
    SCOPED_TRACE(c.start);
    EXPECT_EQ(s.Find(c.needle, c.start), c.exact);
    EXPECT_EQ(s.FindNoCase(c.needle, c.start), c.nocase);
  }
  EXPECT_EQ(s.Find(','), 11);
  EXPECT_EQ(s.Find('H', 1), -1);
}

TEST(CStringTest, LoadStringFromTheCallersResources) {
  CString s("old");
  EXPECT_TRUE(s.LoadString(5594));
  EXPECT_STREQ(s, "Short write");
  EXPECT_TRUE(s.LoadString(7));  // exists, empty
  EXPECT_STREQ(s, "");
  s = "old";
  EXPECT_FALSE(s.LoadString(4711));
  EXPECT_STREQ(s, "");

  const char* p = KVUI_GetString(10011);
  EXPECT_STREQ(p, "General Options");
  EXPECT_EQ(KVUI_GetString(10011), p);  // the same lasting text
  EXPECT_STREQ(KVUI_GetString(4711), "");
}

// ---- CFile -------------------------------------------------------------------

TEST(CFileTest, OpenReadWriteLengthAndClose) {
  TempDir dir;
  const std::string path = dir.File("data.bin");
  const int fds = OpenDescriptors();
  {
    CFile f;
    EXPECT_FALSE(f.Open(path.c_str(), CFile::modeRead));  // missing, no create
    ASSERT_TRUE(f.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareDenyWrite));
    EXPECT_TRUE(f.Write("hello\0world", 11));
    EXPECT_EQ(f.GetLength(), 11);
    char none[4];
    EXPECT_EQ(f.Read(none, sizeof none), 0u);  // opened for writing only
    // Still open at scope end: the destructor closes it.
  }
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_EQ(ReadText(path), std::string("hello\0world", 11));

  CFile f;
  ASSERT_TRUE(f.Open(path.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite));
  char buf[32] = {};
  EXPECT_EQ(f.Read(buf, sizeof buf), 11u);
  EXPECT_EQ(std::memcmp(buf, "hello\0world", 11), 0);
  EXPECT_TRUE(f.Write("!", 1));
  EXPECT_EQ(f.GetLength(), 12);
  f.Close();
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(f.GetLength(), -1);
  EXPECT_FALSE(f.Write("x", 1));
  EXPECT_EQ(f.Read(buf, 1), 0u);

  ASSERT_TRUE(f.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite));  // truncates
  EXPECT_EQ(f.GetLength(), 0);
  EXPECT_FALSE(f.Open("", CFile::modeRead));
  EXPECT_FALSE(f.Open(path.c_str(), 3));  // no such access mode
}

// ---- KVUI_ functions -------------------------------------------------------------

TEST(OstrelServicesTest, ReadEntireFile) {
  TempDir dir;
  const std::string data("line one\r\n\0binary\xff", 19);
  WriteBytes(dir.File("a.txt"), data);
  WriteBytes(dir.File("empty.txt"), "");
  const size_t live = kv::GlobalLiveCount();

  KvGlobal h = 77;
  int32_t size = -1;
  char* text = KVUI_ReadEntireFile(dir.File("a.txt").c_str(), &h, 1, 64, &size);
  ASSERT_NE(text, nullptr);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(size, 19);
  EXPECT_EQ(std::string(text, 19), data);
  EXPECT_EQ(text[19], '\0');
  EXPECT_EQ(kv::GlobalLock(h), text);  // the block is the handle's
  EXPECT_TRUE(KVUI_UnlockAndFree(h));
  EXPECT_EQ(kv::GlobalLiveCount(), live);
  EXPECT_FALSE(KVUI_UnlockAndFree(h));  // already gone

  text = KVUI_ReadEntireFile(dir.File("empty.txt").c_str(), &h, 1, 64, &size);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(size, 0);
  EXPECT_STREQ(text, "");
  KVUI_UnlockAndFree(h);

  // Without a handle the block is the allocator's.
  text = KVUI_ReadEntireFile(dir.File("a.txt").c_str(), nullptr, 0, 0, &size);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text, 19), data);
  KVUI_MyFree(text);

  for (const std::string& bad : {dir.File("missing.txt"), dir.path(), std::string()}) {
    h = 5;
    size = 5;
    EXPECT_EQ(KVUI_ReadEntireFile(bad.c_str(), &h, 1, 64, &size), nullptr) << bad;
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(size, 0);
  }
  EXPECT_EQ(KVUI_ReadEntireFile(nullptr, &h, 1, 64, &size), nullptr);

  // A file too large for a 32-bit size is refused before anything is
  // allocated or read (a sparse file: it takes no disk space).
  const std::string huge = dir.File("huge.log");
  WriteBytes(huge, "");
  ASSERT_EQ(truncate(huge.c_str(), 0x80000000LL), 0);
  for (KvGlobal* handle : {&h, static_cast<KvGlobal*>(nullptr)}) {
    h = 5;
    size = 5;
    EXPECT_EQ(KVUI_ReadEntireFile(huge.c_str(), handle, 1, 64, &size), nullptr);
    EXPECT_EQ(size, 0);
    if (handle) {
      EXPECT_EQ(h, 0u);
    }
  }
  EXPECT_EQ(kv::GlobalLiveCount(), live);
}

TEST(OstrelServicesTest, Allocators) {
  auto* p = static_cast<unsigned char*>(KVUI_MyAlloc(64));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0);
  std::memset(p, 0x5A, 64);
  p = static_cast<unsigned char*>(KVUI_MyRealloc(p, 100000));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0x5A);
  void* q = p;
  KVUI_MyFree2(&q);
  EXPECT_EQ(q, nullptr);
  KVUI_MyFree2(&q);  // null twice is fine
  KVUI_MyFree2(nullptr);
  void* r = KVUI_MyRealloc(nullptr, 8);
  ASSERT_NE(r, nullptr);
  KVUI_MyFree(r);
  KVUI_MyFree(nullptr);
  void* z = KVUI_MyAlloc(0);
  EXPECT_NE(z, nullptr);
  KVUI_MyFree(z);
}

TEST(OstrelServicesTest, PasswordsRoundTripEveryByteAndStayBounded) {
  // Every byte value at many positions: a password of 255 characters whose
  // i-th character is 1 + (i * 7 + k) % 255, for several shifts k.
  for (int k = 0; k < 255; k += 17) {
    std::string pw;
    for (int i = 0; i < KVUI_MAX_PASSWORD; ++i) pw += static_cast<char>(1 + (i * 7 + k) % 255);
    char enc[2 * KVUI_MAX_PASSWORD + 1];
    ASSERT_TRUE(KVUI_EncryptPassword(pw.c_str(), enc, sizeof enc));
    ASSERT_EQ(std::strlen(enc), pw.size() * 2);
    for (const char* c = enc; *c; ++c) ASSERT_TRUE(std::strchr("0123456789ABCDEF", *c)) << *c;
    char dec[KVUI_MAX_PASSWORD + 1];
    ASSERT_TRUE(KVUI_DecryptPassword(enc, dec, sizeof dec));
    ASSERT_EQ(std::string(dec), pw);
  }
  // Equal characters do not show as equal digits.
  char enc[16];
  ASSERT_TRUE(KVUI_EncryptPassword("aaaa", enc, sizeof enc));
  EXPECT_NE(std::string(enc, 2), std::string(enc + 2, 2));
  EXPECT_EQ(std::string(enc).find("aaaa"), std::string::npos);

  // Empty password round trip.
  ASSERT_TRUE(KVUI_EncryptPassword("", enc, sizeof enc));
  EXPECT_STREQ(enc, "");
  char dec[8] = "x";
  ASSERT_TRUE(KVUI_DecryptPassword("", dec, sizeof dec));
  EXPECT_STREQ(dec, "");

  // Bounds: the output must hold the whole result; too long is refused.
  char small[8] = "junk";
  EXPECT_FALSE(KVUI_EncryptPassword("abcd", small, 8));  // needs 9
  EXPECT_STREQ(small, "");
  EXPECT_TRUE(KVUI_EncryptPassword("abc", small, 7));
  std::string too_long(KVUI_MAX_PASSWORD + 1, 'p');
  char huge[1024];
  EXPECT_FALSE(KVUI_EncryptPassword(too_long.c_str(), huge, sizeof huge));
  EXPECT_FALSE(KVUI_EncryptPassword(nullptr, huge, sizeof huge));
  EXPECT_FALSE(KVUI_EncryptPassword("a", nullptr, 10));

  ASSERT_TRUE(KVUI_EncryptPassword("secret", huge, sizeof huge));
  char out[7];
  EXPECT_TRUE(KVUI_DecryptPassword(huge, out, 7));
  EXPECT_STREQ(out, "secret");
  EXPECT_FALSE(KVUI_DecryptPassword(huge, out, 6));
  EXPECT_STREQ(out, "");

  // Texts that are not our form.
  std::string nul_byte;  // digits that decode to a NUL at position 0
  {
    char e[4];
    ASSERT_TRUE(KVUI_EncryptPassword("\x01", e, sizeof e));
    int v = std::stoi(e, nullptr, 16) ^ 1;  // the key byte of position 0
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", v);
    nul_byte = hex;
  }
  const std::string bad[] = {"ABC", "GG", "12 4", nul_byte, std::string(2 * KVUI_MAX_PASSWORD + 2, 'A')};
  for (const std::string& b : bad) {
    SCOPED_TRACE(b);
    std::strcpy(out, "x");
    EXPECT_FALSE(KVUI_DecryptPassword(b.c_str(), out, sizeof out));
    EXPECT_STREQ(out, "");
  }
  // Lower-case digits are read too.
  ASSERT_TRUE(KVUI_EncryptPassword("Zz", huge, sizeof huge));
  for (char* c = huge; *c; ++c) *c = static_cast<char>(std::tolower(*c));
  EXPECT_TRUE(KVUI_DecryptPassword(huge, out, sizeof out));
  EXPECT_STREQ(out, "Zz");
}

TEST(OstrelServicesTest, PathsAndFolders) {
  struct Case {
    const char* folder;
    const char* name;
    const char* joined;
  };
  const Case cases[] = {
      {"/srv/kv", "LOGSTATS", "/srv/kv/LOGSTATS"},
      {"/srv/kv/", "a.log", "/srv/kv/a.log"},
      {"C:\\KV\\", "a.log", "C:\\KV\\a.log"},
      {"", "a.log", "a.log"},
      {nullptr, "a.log", "a.log"},
      {"/x", nullptr, "/x/"},
  };
  char out[64];
  for (const Case& c : cases) {
    EXPECT_EQ(KVUI_ConstructFullFilename(out, sizeof out, c.folder, c.name), out);
    EXPECT_STREQ(out, c.joined);
  }
  // A result that does not fit is refused whole.
  EXPECT_EQ(KVUI_ConstructFullFilename(out, 8, "/folder", "name"), nullptr);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(KVUI_ConstructFullFilename(nullptr, 8, "/a", "b"), nullptr);
  // The output may be one of the inputs.
  std::strcpy(out, "/base");
  EXPECT_EQ(KVUI_ConstructFullFilename(out, sizeof out, out, "f"), out);
  EXPECT_STREQ(out, "/base/f");

  // The calling module is this test program.
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = '\0';
  std::string folder(exe);
  folder.resize(folder.rfind('/'));
  char local[4096];
  EXPECT_EQ(KVUI_GetLocalDirectory(nullptr, local, sizeof local), static_cast<int32_t>(folder.size()));
  EXPECT_EQ(std::string(local), folder);
  char tiny[4] = "zzz";
  EXPECT_EQ(KVUI_GetLocalDirectory(nullptr, tiny, sizeof tiny), 0);
  EXPECT_STREQ(tiny, "");
}

TEST(OstrelServicesTest, SchedulerLog) {
  TempDir dir;
  unsetenv("KV_SCHEDULE_LOG");
  char path[4096];
  ASSERT_GT(KVUI_GetScheduleLogFilename(path, sizeof path), 0);
  EXPECT_NE(std::string(path).find("/SCHEDULE.LOG"), std::string::npos);
  char tiny[4];
  EXPECT_EQ(KVUI_GetScheduleLogFilename(tiny, sizeof tiny), 0);

  const std::string log = dir.File("sched.log");
  setenv("KV_SCHEDULE_LOG", log.c_str(), 1);
  ASSERT_EQ(KVUI_GetScheduleLogFilename(path, sizeof path), static_cast<int32_t>(log.size()));
  EXPECT_EQ(std::string(path), log);
  EXPECT_TRUE(KVUI_CreateSchedulerLogFile(nullptr));
  EXPECT_EQ(access(log.c_str(), W_OK), 0);
  WriteBytes(log, "earlier line\r\n");
  EXPECT_TRUE(KVUI_CreateSchedulerLogFile(log.c_str()));  // kept, not truncated
  EXPECT_EQ(ReadText(log), "earlier line\r\n");
  EXPECT_FALSE(KVUI_CreateSchedulerLogFile(dir.File("no/such/folder/x.log").c_str()));
  unsetenv("KV_SCHEDULE_LOG");
}

TEST(OstrelServicesTest, RegistryStringData) {
  TempDir dir;
  setenv("KV_REGISTRY", dir.File("registry.ini").c_str(), 1);
  const char* key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
  ASSERT_TRUE(kv::RegSetString(key, "RegisteredOwner", "Ada Operator"));
  char buf[64] = "x";
  EXPECT_TRUE(KVUI_FindRegistryStringData(key, "RegisteredOwner", buf, sizeof buf));
  EXPECT_STREQ(buf, "Ada Operator");
  char small[4];
  EXPECT_TRUE(KVUI_FindRegistryStringData(key, "RegisteredOwner", small, sizeof small));
  EXPECT_STREQ(small, "Ada");
  EXPECT_FALSE(KVUI_FindRegistryStringData(key, "RegisteredOrganization", buf, sizeof buf));
  EXPECT_STREQ(buf, "");
  EXPECT_FALSE(KVUI_FindRegistryStringData(nullptr, "x", buf, sizeof buf));
  unsetenv("KV_REGISTRY");
}

// ---- messages and windows ------------------------------------------------------------

int g_dispatched = 0;
KvResult CountProc(KvWindow w, uint32_t m, KvWParam wp, KvLParam lp) {
  if (m >= kv::msg::User) ++g_dispatched;
  return kv::ui::DefWindowProc(w, m, wp, lp);
}

TEST(OstrelServicesTest, MyPeekMessageDispatchesWithoutBlocking) {
  kv::ui::RegisterWindowClass("KvOstrelCount", &CountProc);
  KvWindow w = kv::ui::CreateWindow("KvOstrelCount", "", 0, 0);
  g_dispatched = 0;
  EXPECT_FALSE(KVUI_MyPeekMessage());  // nothing waiting: returns at once
  for (int i = 0; i < 3; ++i) kv::ui::PostMessage(w, kv::msg::User + i, 0, 0);
  EXPECT_FALSE(KVUI_MyPeekMessage());
  EXPECT_EQ(g_dispatched, 3);
  kv::ui::PostQuitMessage(9);
  EXPECT_TRUE(KVUI_MyPeekMessage());
  kv::ui::Message m;
  EXPECT_EQ(kv::ui::GetMessage(&m), 0);  // still there for the thread's loop
  EXPECT_EQ(m.wparam, 9u);
  EXPECT_TRUE(KVUI_CenterDialog(w));
  EXPECT_FALSE(KVUI_CenterDialog(0));
  kv::ui::DestroyWindow(w);
  EXPECT_FALSE(KVUI_SubclassFancyBitmap(w));
}

// A window object that records what reached it.
class Recorder : public CWindow {
 public:
  std::vector<std::string> log;
  void Layout() override { log.push_back("Layout"); }
  KvResult OnCommand(uint32_t id, uint32_t code, KvWindow) override {
    log.push_back("Command " + std::to_string(id) + "/" + std::to_string(code));
    return 1;
  }
  KvResult OnTimer(uintptr_t id) override {
    log.push_back("Timer " + std::to_string(id));
    return 0;
  }
  KvResult OnLButtonDown(uint32_t flags, int32_t x, int32_t y) override {
    log.push_back("LDown " + std::to_string(flags) + " " + std::to_string(x) + "," + std::to_string(y));
    return 0;
  }
  KvResult OnMessage(uint32_t message, KvWParam wp, KvLParam lp) override {
    if (message == kv::msg::User + 1) {
      log.push_back("User " + std::to_string(wp));
      return 33;
    }
    return CWindow::OnMessage(message, wp, lp);
  }
  KvResult OnClose() override {
    log.push_back("Close");
    return Default();  // the default closes the window
  }
  KvResult OnDestroy() override {
    log.push_back("Destroy");
    return 0;
  }
};

TEST(CWindowTest, MessagesReachTheirHandlers) {
  Recorder r;
  ASSERT_TRUE(r.Create("rec", kv::ui::StyleVisible, 0));
  EXPECT_FALSE(r.Create("again", 0, 0));
  const KvWindow w = r.GetHandle();
  EXPECT_EQ(CWindow::FromHandle(w), &r);

  kv::ui::SendMessage(w, kv::msg::Command, kv::ui::MakeWParam(1234, 1), 0);
  EXPECT_EQ(kv::ui::SendMessage(w, kv::msg::User + 1, 5, 0), 33);
  // Coordinates are signed 16-bit halves.
  kv::ui::SendMessage(w, kv::msg::LButtonDown, 1, static_cast<KvLParam>(0xFFFE0003u));
  kv::ui::MoveWindow(w, 0, 0, 100, 50);  // Size: the default lays out
  kv::ui::SetTimer(w, 4, 1);
  kv::ui::Message m;
  while (kv::ui::GetMessage(&m) > 0) {
    kv::ui::DispatchMessage(&m);
    if (m.message == kv::msg::Timer) break;
  }
  kv::ui::KillTimer(w, 4);
  int32_t width = 0, height = 0;
  r.GetPreferedLayoutSize(&width, &height);
  EXPECT_EQ(width, 100);
  EXPECT_EQ(height, 50);

  kv::ui::SendMessage(w, kv::msg::Close, 0, 0);
  EXPECT_FALSE(kv::ui::IsWindow(w));
  EXPECT_EQ(r.GetHandle(), 0u);
  EXPECT_EQ(r.log, (std::vector<std::string>{"Command 1234/1", "User 5", "LDown 1 3,-2", "Layout", "Timer 4",
                                             "Close", "Destroy"}));
}

TEST(CWindowTest, ObjectDestroyedBeforeItsWindowAndButtons) {
  KvWindow w = 0;
  {
    Recorder r;
    ASSERT_TRUE(r.Create("short-lived", 0, 0));
    w = r.GetHandle();
  }
  EXPECT_FALSE(kv::ui::IsWindow(w));  // the destructor took the window along

  Recorder parent;
  ASSERT_TRUE(parent.Create("parent", 0, 0));
  CBitmapButton button;
  ASSERT_TRUE(button.Create(parent.GetHandle(), 77, "Go"));
  kv::ui::SendMessage(button.GetHandle(), kv::msg::Paint, 0, 0);
  EXPECT_EQ(button.GetDrawCount(), 1);
  kv::ui::SendMessage(button.GetHandle(), kv::msg::LButtonUp, 0, 0);
  kv::ui::EnableWindow(button.GetHandle(), false);
  kv::ui::SendMessage(button.GetHandle(), kv::msg::LButtonUp, 0, 0);  // disabled: no command

  CToolbar bar;
  ASSERT_TRUE(bar.Create(parent.GetHandle()));
  for (uint32_t id : {501u, 502u}) bar.AddButton(id);
  EXPECT_TRUE(bar.PressButton(502));
  EXPECT_FALSE(bar.PressButton(503));
  int32_t width = 0, height = 0;
  bar.GetPreferedLayoutSize(&width, &height);
  EXPECT_GT(width, 0);
  EXPECT_EQ(parent.log, (std::vector<std::string>{"Command 77/0", "Command 502/0"}));

  // Destroying the parent window takes the children's windows along; their
  // objects hear of it and stay safe to destroy afterwards.
  EXPECT_TRUE(parent.Destroy());
  EXPECT_EQ(button.GetHandle(), 0u);
  EXPECT_EQ(bar.GetHandle(), 0u);
}

// The virtual operations keep their order in the table of virtual functions,
// so that objects made by one module are used correctly by another.
template <typename F>
uintptr_t VirtualSlot(F f) {
  struct Raw {
    uintptr_t ptr;
    ptrdiff_t adj;
  } raw;
  static_assert(sizeof(F) == sizeof(Raw));
  std::memcpy(&raw, &f, sizeof raw);
  return raw.ptr;  // 1 + byte offset in the table for a virtual function
}

TEST(CWindowTest, VirtualOperationsInTheirOrder) {
  const uintptr_t slots[] = {
      VirtualSlot(&CWindow::Layout),          VirtualSlot(&CWindow::GetPreferedLayoutSize),
      VirtualSlot(&CWindow::OnCommand),       VirtualSlot(&CWindow::OnSysCommand),
      VirtualSlot(&CWindow::OnDestroy),       VirtualSlot(&CWindow::OnClose),
      VirtualSlot(&CWindow::OnSize),          VirtualSlot(&CWindow::OnContextMenu),
      VirtualSlot(&CWindow::OnLButtonDown),   VirtualSlot(&CWindow::OnLButtonUp),
      VirtualSlot(&CWindow::OnLButtonDblClk), VirtualSlot(&CWindow::OnRButtonDown),
      VirtualSlot(&CWindow::OnRButtonUp),     VirtualSlot(&CWindow::OnMouseMove),
      VirtualSlot(&CWindow::OnTimer),         VirtualSlot(&CWindow::OnPaint),
      VirtualSlot(&CWindow::OnNotify),        VirtualSlot(&CWindow::OnMove),
      VirtualSlot(&CWindow::OnWindowPosChanged), VirtualSlot(&CWindow::OnMessage),
      VirtualSlot(&CWindow::OnEraseBackground),  VirtualSlot(&CWindow::OnHorzScroll),
      VirtualSlot(&CWindow::OnVertScroll),
  };
  // The destructor takes the first two entries.
  for (size_t i = 0; i < std::size(slots); ++i) {
    EXPECT_EQ(slots[i], 1 + (i + 2) * sizeof(void*)) << i;
  }
  // Draw follows the inherited operations.
  EXPECT_EQ(VirtualSlot(&CBitmapButton::Draw), 1 + (std::size(slots) + 2) * sizeof(void*));
  EXPECT_EQ(VirtualSlot(&CToolbar::Draw), 1 + (std::size(slots) + 2) * sizeof(void*));
}

}  // namespace
