// Plug-in host: loading from a folder, the list by id, routing, enumeration
// and callbacks, with copies of the test plug-in configured per file.
#include "shell/plugin_host.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/module/resource.h"
#include "platform/ui/dialog.h"
#include "shell/startup_main.h"

namespace fs = std::filesystem;
using namespace kv::host;

namespace {

class PluginHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/kvhostXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    dir_ += "/";
    log_ = dir_ + "calls.log";
    plugin_ = fs::path(std::getenv("KV_TEST_DIR")) / "shell_plugins";
  }
  void TearDown() override {
    UnloadSupportLibraries();
    ClearEntryArrays();
    fs::remove_all(dir_);
  }
  void Add(const std::string& file, const std::string& config, const char* source = "kvm_test.so") {
    fs::copy_file(plugin_ / source, dir_ + file);
    std::ofstream(dir_ + file + ".cfg") << config << "log=" << log_ << "\n";
  }
  std::vector<std::string> LogLines(const std::string& prefix) {
    std::ifstream in(log_);
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line))
      if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
    return out;
  }
  std::string dir_, log_;
  fs::path plugin_;
};

TEST_F(PluginHostTest, LibrariesAreSortedByIdAndBadOnesLeftOut) {
  Add("kvm_a.so", "id=9\nname=Nine\n");
  Add("kvm_b.so", "id=3\nname=Three first\n");
  Add("kvm_c.so", "id=3\nname=Three second\n");
  Add("kvm_d.so", "id=1\nname=Refuses\nrefuse=1\n");
  Add("kvm_e.so", "id=1\nname=Bare\n", "kvm_test_bare.so");
  Add("other.so", "id=0\nname=Not a plug-in name\n");
  ASSERT_TRUE(LoadSupportLibraries(dir_, 42));
  std::vector<std::pair<int32_t, std::string>> seen;
  for (SupportLibrary* l = FirstSupportLibrary(); l; l = l->next) seen.emplace_back(l->id, l->name);
  std::vector<std::pair<int32_t, std::string>> want{{3, "Three first"}, {3, "Three second"}, {9, "Nine"}};
  EXPECT_EQ(seen, want);
  // Routing by id reaches the library loaded first.
  EXPECT_EQ(FindSupportLibrary(3), FirstSupportLibrary());
  EXPECT_EQ(GetSupportFunction(3, kSupportUnload), KeptFunction(*FirstSupportLibrary(), kSupportUnload));
  EXPECT_EQ(GetSupportFunction(3, 6), nullptr);
  EXPECT_EQ(GetSupportFunction(4, kSupportUnload), nullptr);
  EXPECT_EQ((CallSupportFunction<TrayCommandFn>(3, kSupportTrayCommand, KvWindow{0})), 0);
  // The host value reaches every library, also the ones left out.
  EXPECT_EQ(LogLines("Refuses: ").front(), "init host=42");
  EXPECT_EQ(LogLines("Bare: ").size(), 1u);
}

TEST_F(PluginHostTest, EntryPointsAskedAndCallbacksHandedInOrder) {
  Add("kvm_one.so", "id=5\nname=One\n");
  ASSERT_TRUE(LoadSupportLibraries(dir_, 0));
  std::vector<std::string> queries, supplies;
  for (const std::string& l : LogLines("One: ")) {
    if (l.rfind("query ", 0) == 0) queries.push_back(l.substr(6));
    if (l.rfind("supply ", 0) == 0) supplies.push_back(l.substr(7));
  }
  std::vector<std::string> wantQ, wantS;
  for (int32_t id : kSupportQueryOrder) wantQ.push_back(std::to_string(id));
  for (int32_t id : kCallbackSupplyOrder) wantS.push_back(std::to_string(id));
  EXPECT_EQ(queries, wantQ);
  EXPECT_EQ(supplies, wantS);
  KvModule module = FirstSupportLibrary()->module;
  auto callback = reinterpret_cast<KvProc (*)(int32_t)>(KvGetProcAddress(module, "KvTest_Callback"));
  ASSERT_NE(callback, nullptr);
  for (int32_t id = 1; id <= kHostCallbackCount; ++id) EXPECT_EQ(callback(id), HostCallback(id)) << id;
  UnloadSupportLibraries();
  EXPECT_EQ(LogLines("One: ").back(), "unload");
  EXPECT_EQ(FirstSupportLibrary(), nullptr);
}

TEST_F(PluginHostTest, NameLongerThanTheFieldIsCut) {
  Add("kvm_long.so", "id=2\nname=" + std::string(200, 'n') + "\n");
  ASSERT_TRUE(LoadSupportLibraries(dir_, 0));
  EXPECT_EQ(std::string(FirstSupportLibrary()->name), std::string(KV_SUPPORT_NAME_SIZE - 1, 'n'));
}

TEST_F(PluginHostTest, NothingToLoad) {
  Add("kvm_x.so", "id=1\nrefuse=1\n");
  EXPECT_FALSE(LoadSupportLibraries(dir_, 0));
  EXPECT_FALSE(LoadSupportLibraries(dir_ + "missing/", 0));
}

TEST_F(PluginHostTest, EnumerationSortsAndRepointsSchedules) {
  Add("kvm_a.so", "id=1\nname=A\nprofiles=Zulu,Alpha\n");
  Add("kvm_b.so", "id=2\nname=B\nprofiles=Mike\n");
  ASSERT_TRUE(LoadSupportLibraries(dir_, 0));
  EnumerateProfiles(0);
  std::vector<std::string> names;
  for (ProfileEntry* p : Profiles()) names.push_back(p->description);
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Mike", "Zulu"}));

  // The library lists its profiles in another order than the sorted array:
  // each event must follow its own profile (same profile file), not the
  // entry that happened to come back in its place.
  ScheduleEntry toZulu{}, toAlpha{};
  toZulu.profile = Profiles()[2];
  toAlpha.profile = Profiles()[0];
  auto add = reinterpret_cast<HostScheduleFn>(HostCallback(kHostAddSchedule));
  ASSERT_EQ(add(&toZulu), KV_RESULT_DONE);
  ASSERT_EQ(add(&toAlpha), KV_RESULT_DONE);
  EnumerateProfiles(0);
  ASSERT_EQ(Profiles().size(), 3u);
  ASSERT_NE(toZulu.profile, nullptr);
  ASSERT_NE(toAlpha.profile, nullptr);
  EXPECT_STREQ(toZulu.profile->description, "Zulu");
  EXPECT_STREQ(toAlpha.profile->description, "Alpha");
  EXPECT_NE(std::find(Profiles().begin(), Profiles().end(), toZulu.profile), Profiles().end());
  // The old entries went back to their library in array order.
  auto lines = LogLines("A: ");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "enumerate previous=- old=Alpha"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "enumerate previous=Zulu old=Zulu"), lines.end());
  auto remove = reinterpret_cast<HostScheduleFn>(HostCallback(kHostRemoveSchedule));
  remove(&toZulu);
  remove(&toAlpha);
  EXPECT_TRUE(Schedules().empty());
}

TEST_F(PluginHostTest, EntriesGoBackOnceWhenLibrariesShareAnId) {
  Add("kvm_a.so", "id=3\nname=A\nprofiles=A1,A2\n");
  Add("kvm_b.so", "id=3\nname=B\nprofiles=B1\n");
  ASSERT_TRUE(LoadSupportLibraries(dir_, 0));
  EnumerateProfiles(0);
  ASSERT_EQ(Profiles().size(), 3u);
  EnumerateProfiles(0);  // A is handed its two and B's; B gets none back
  ASSERT_EQ(Profiles().size(), 3u);
  for (const std::string& line : LogLines("B: "))
    if (line.rfind("enumerate", 0) == 0) {
      EXPECT_NE(line.find("old=-"), std::string::npos) << line;
    }
  std::vector<std::string> names;
  for (ProfileEntry* p : Profiles()) names.push_back(p->description);
  EXPECT_EQ(names, (std::vector<std::string>{"A1", "A2", "B1"}));
}

TEST_F(PluginHostTest, EnumerationEndingAtOnceLeavesNoProfiles) {
  Add("kvm_a.so", "id=1\nname=A\nprofiles=One,Two\n");
  ASSERT_TRUE(LoadSupportLibraries(dir_, 0));
  EnumerateProfiles(0);
  ASSERT_EQ(Profiles().size(), 2u);
  std::ofstream(dir_ + "kvm_a.so.cfg", std::ios::app) << "enumerate=none\n";
  EnumerateProfiles(0);
  EXPECT_TRUE(Profiles().empty());
  // Only the entry passed with the call that ended the list went back.
  auto lines = LogLines("A: ");
  EXPECT_EQ(lines.back(), "enumerate previous=- old=One");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "enumerate previous=One old=Two"), 0);
}

TEST_F(PluginHostTest, FindCallbacksAndChoice) {
  Add("kvm_a.so", "id=1\nname=A\nprofiles=One,Two\ntray=1\n");
  Add("kvm_b.so", "id=2\nname=B\nprofiles=Three\n");
  ASSERT_TRUE(LoadSupportLibraries(dir_, 0));
  EnumerateProfiles(0);
  auto find = reinterpret_cast<HostFindProfileFn>(HostCallback(kHostFindProfile));
  ProfileEntry* out = reinterpret_cast<ProfileEntry*>(1);
  EXPECT_EQ(find(200, &out), KV_RESULT_DONE);
  EXPECT_STREQ(out->description, "Three");
  EXPECT_EQ(find(999, &out), KV_RESULT_FAILED);
  EXPECT_EQ(out, nullptr);

  ScheduleEntry s1{}, s2{};
  s1.key = 11;
  s1.startTime = 500;
  s2.key = 12;
  s2.startTime = 100;
  auto add = reinterpret_cast<HostScheduleFn>(HostCallback(kHostAddSchedule));
  add(&s1);
  add(&s2);
  EXPECT_EQ(Schedules().front(), &s2);  // sorted by next run
  ScheduleEntry* found = nullptr;
  EXPECT_EQ(reinterpret_cast<HostFindScheduleFn>(HostCallback(kHostFindSchedule))(11, &found), KV_RESULT_DONE);
  EXPECT_EQ(found, &s1);

  // Callback 6: 1 when every other description equals the given one's.
  auto compare = reinterpret_cast<HostCompareFn>(HostCallback(kHostCompareDescriptions));
  EXPECT_EQ(compare(Profiles()[0], nullptr), KV_RESULT_FAILED);

  auto refresh = reinterpret_cast<HostRefreshFn>(HostCallback(kHostRefresh));
  Requests() = HostRequests{};
  EXPECT_EQ(refresh(0, 1, 0), 0);
  EXPECT_FALSE(Requests().refresh[0]);
  EXPECT_TRUE(Requests().refresh[1]);

  auto progress = reinterpret_cast<HostProgressFn>(HostCallback(kHostRealtimeProgress));
  EXPECT_EQ(progress(Profiles()[1], "reading", 10, 50, 3), KV_RESULT_DONE);
  EXPECT_EQ(Requests().progressIndex, 1);
  Requests().stopRequested = true;
  EXPECT_EQ(progress(nullptr, "reading", 10, 50, 3), KV_PROGRESS_STOP);
  EXPECT_EQ(Requests().progressIndex, -1);
  Requests() = HostRequests{};

  // Both offer the edit command, only A the tray command, nobody id 19.
  EXPECT_EQ(ChooseSupportLibrary(0, kSupportTrayCommand), 1);
  EXPECT_EQ(ChooseSupportLibrary(0, kSupportLibraryCommand), -1);
}

TEST_F(PluginHostTest, LibraryChoiceDialog) {
  Add("kvm_a.so", "id=1\nname=Alpha kind\n");
  Add("kvm_b.so", "id=2\nname=Beta kind\n");
  ASSERT_TRUE(LoadSupportLibraries(dir_, 0));
  KvModule base = KvLoadModule("BASE.RSL");
  ASSERT_NE(base, nullptr);
  kv::app::App().resourceModule = base;
  struct Seen {
    std::string prompt, first, second, help;
    bool thirdVisible = true;
  } seen;
  bool cancel = false;
  auto previous = kv::ui::SetDialogScript([&](KvWindow dialog, kv::ui::DialogEvent event) {
    if (event != kv::ui::DialogEvent::Shown) return;
    seen.prompt = kv::ui::GetDlgItemString(dialog, 101);
    seen.first = kv::ui::GetDlgItemString(dialog, 10000);
    seen.second = kv::ui::GetDlgItemString(dialog, 10001);
    seen.thirdVisible = kv::ui::IsWindowVisible(kv::ui::GetDlgItem(dialog, 10002));
    kv::ui::PressButton(dialog, 10001);
    seen.help = kv::ui::GetDlgItemString(dialog, 102);
    kv::ui::PressButton(dialog, cancel ? kv::ui::IdCancel : kv::ui::IdOk);
  });
  EXPECT_EQ(ChooseSupportLibrary(0, kSupportEditProfile), 2);
  EXPECT_EQ(seen.prompt, "Choose the kind of profile to create:");
  EXPECT_EQ(seen.first, "Alpha kind");
  EXPECT_EQ(seen.second, "Beta kind");
  EXPECT_FALSE(seen.thirdVisible);
  EXPECT_EQ(seen.help, "help of Beta kind");
  cancel = true;
  EXPECT_EQ(ChooseSupportLibrary(0, kSupportLibraryCommand), -1);  // offered by nobody: no dialog
  EXPECT_EQ(ChooseSupportLibrary(0, kSupportEditProfile), -1);
  kv::ui::SetDialogScript(previous);
  kv::app::App().resourceModule = nullptr;
  KvFreeModule(base);
}

TEST(ScheduleNextRunTest, NextRunAfterNow) {
  struct Case {
    int32_t start, type, count;
    uint16_t enabled;
    int64_t now;
    int32_t want;
  };
  const Case cases[] = {
      {1000, 0, 5, 1, 1000, 1300},          // minutes: the run at now has passed
      {1000, 1, 1, 1, 9000, 11800},         // hours
      {1000, 0, 5, 0, 5000, 1000},          // disabled: unchanged
      {9000, 2, 1, 1, 5000, 9000},          // still ahead: unchanged
      {1000, 9, 1, 1, 5000, 1000},          // unknown kind: unchanged
      {1000, 2, 0, 1, 5000, 1000},          // no repeat: unchanged
      {1705276800, 4, 1, 1, 1705276800, 1707955200},  // 15 Jan 2024 + 1 month
  };
  for (const Case& c : cases) {
    ScheduleEntry e{};
    e.startTime = c.start;
    e.repeatType = c.type;
    e.repeatFrequency = c.count;
    e.enabled = c.enabled;
    ComputeNextRun(&e, c.now);
    EXPECT_EQ(e.startTime, c.want) << c.start << " " << c.type;
  }
}

}  // namespace
