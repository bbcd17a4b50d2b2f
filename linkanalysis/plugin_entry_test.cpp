// The plug-in's entry points called as the host calls them, over a profile
// folder of test files.
#include "linkanalysis/plugin_entry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include "linkanalysis/link_testutil.h"
#include "linkanalysis/plugin_panel.h"
#include "linkanalysis/profiles_files.h"
#include "platform/ui/dialog.h"
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"

namespace fs = std::filesystem;
using kvla::test::ReadFile;
using kvla::test::TempFolder;
using kvla::test::WriteFile;

namespace {

class LinkPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kvla::SetLocalDirectory(local_.path());
    fs::create_directories(kvla::ProfileFolder());
    setenv("KV_SCHEDULE_LOG", local_.file("SCHEDULE.LOG").c_str(), 1);
    previous_ = kv::ui::SetMessageBoxHandler([this](const kv::ui::MessageBoxInfo& info) {
      boxes_.push_back(info.text);
      return 1;
    });
  }
  void TearDown() override {
    kv::ui::SetDialogScript(nullptr);
    kv::ui::SetMessageBoxHandler(previous_);
    unsetenv("KV_SCHEDULE_LOG");
    kvla::SetLocalDirectory("");
  }
  std::string Profile(const std::string& name) const { return kvla::ProfileFolder() + name; }
  void WriteProfile(const std::string& name, const std::string& description, const std::string& server,
                    const std::string& dataFolder = "") {
    WriteFile(Profile(name), "[Main]\nDescription=" + description + "\nServerName=" + server +
                                 "\nStartPage=/index.html\nDataFolder=" + dataFolder + "\n");
  }
  // Enumerates every profile as the host does; the results in order.
  std::vector<int32_t> Enumerate(std::vector<ProfileEntry*>* entries) {
    std::vector<int32_t> results;
    ProfileEntry* previous = nullptr;
    for (int i = 0; i < 20; ++i) {
      ProfileEntry* out = nullptr;
      int32_t r = PSL_FindProfile(0, previous, nullptr, &out);
      results.push_back(r);
      if (r != KV_RESULT_DONE) break;
      entries->push_back(out);
      previous = out;
    }
    return results;
  }
  TempFolder local_;
  std::vector<std::string> boxes_;
  kv::ui::MessageBoxHandler previous_;
};

TEST(LinkPluginExportsTest, InitializeAndFunctionTable) {
  int32_t type = -1, value = -1, id = -1;
  char name[KV_SUPPORT_NAME_BUFFER];
  std::memset(name, 'x', sizeof name);
  EXPECT_EQ(InitializeSupportLibrary(99, &type, &value, &id, name), 1);
  EXPECT_EQ(type, 2);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(id, 2);
  EXPECT_STREQ(name, "Link Analysis");
  EXPECT_EQ(SupplyCallback(kHostSetStatus1, reinterpret_cast<KvProc>(&SupplyCallback)), 0);

  const std::map<int32_t, KvProc> supported = {
      {1, reinterpret_cast<KvProc>(&PSL_GenerateReport)},
      {2, reinterpret_cast<KvProc>(&PSL_EditProfile)},
      {3, reinterpret_cast<KvProc>(&PSL_DeleteProfile)},
      {4, reinterpret_cast<KvProc>(&PSL_CopyProfile)},
      {5, reinterpret_cast<KvProc>(&PSL_FindProfile)},
      {7, reinterpret_cast<KvProc>(&PSL_EditScheduledEvent)},
      {8, reinterpret_cast<KvProc>(&PSL_DeleteScheduledEvent)},
      {9, reinterpret_cast<KvProc>(&PSL_FindScheduledEvent)},
      {11, reinterpret_cast<KvProc>(&PSL_StartScheduledEvent)},
      {12, reinterpret_cast<KvProc>(&PSL_UpdateMainPanelData)},
      {22, reinterpret_cast<KvProc>(&OnCreateOptionDialog)},
      {23, reinterpret_cast<KvProc>(&OnCloseOptionDialog)},
      {26, reinterpret_cast<KvProc>(&PSL_GetProfileHelp)},
  };
  for (int32_t functionId = -2; functionId <= 40; ++functionId) {
    auto it = supported.find(functionId);
    EXPECT_EQ(IsFunctionSupported(functionId), it == supported.end() ? nullptr : it->second) << functionId;
  }
  EXPECT_STREQ(PSL_GetProfileHelp(0, 0),
               "Report on site quality and detect problem areas on your web site: broken links, slow pages, HTML "
               "syntax and more.");
}

TEST_F(LinkPluginTest, EnumeratingProfiles) {
  std::vector<ProfileEntry*> entries;
  EXPECT_EQ(Enumerate(&entries), std::vector<int32_t>{KV_RESULT_FAILED});  // no "*.LAP" file

  WriteProfile("LINK0.LAP", "Main site", "www.example.org");
  WriteFile(Profile("LINK1.LAP"), "[Main]\nSearchMode=1\nLocalFilePath=/srv/www/index.html\n");
  EXPECT_EQ(Enumerate(&entries), (std::vector<int32_t>{1, 1, 5}));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0]->type, 2);
  EXPECT_EQ(entries[0]->libraryId, 2);
  EXPECT_STREQ(entries[0]->description, "Main site");
  EXPECT_STREQ(entries[0]->text, "http://www.example.org/index.html");
  EXPECT_STREQ(entries[0]->profileFile, Profile("LINK0.LAP").c_str());
  EXPECT_EQ(entries[0]->running, 0);
  EXPECT_STREQ(entries[1]->text, "/srv/www/index.html");
  EXPECT_TRUE(kvla::OwnsProfileEntry(entries[0]));

  // The host hands the old entries back while enumerating again: they are
  // freed, so the live records stay one per profile.
  EXPECT_EQ(kvla::LiveProfileEntries(), 2u);
  ProfileEntry* out = nullptr;
  EXPECT_EQ(PSL_FindProfile(0, nullptr, entries[0], &out), KV_RESULT_DONE);
  EXPECT_EQ(kvla::LiveProfileEntries(), 2u);
  EXPECT_TRUE(kvla::OwnsProfileEntry(out));
  // A record that is not the plug-in's is left alone.
  ProfileEntry foreign{};
  ProfileEntry* second = nullptr;
  EXPECT_EQ(PSL_FindProfile(0, out, &foreign, &second), KV_RESULT_DONE);
  EXPECT_EQ(kvla::LiveProfileEntries(), 3u);
  EXPECT_EQ(PSL_FindProfile(0, second, entries[1], &out), KV_RESULT_NO_MORE);
  EXPECT_EQ(kvla::LiveProfileEntries(), 2u);
  EXPECT_EQ(out, nullptr);
}

TEST_F(LinkPluginTest, DeletingAProfileRemovesItsDataButLeavesTheEntry) {
  const std::string data = local_.file("data0");
  fs::create_directories(data);
  WriteFile(data + "/LINKANLZ.DAT", "x");
  WriteFile(data + "/LINKANLZ.REF", "x");
  WriteProfile("LINK0.LAP", "Doomed", "a.example", data);
  // A profile whose data folder is the profile folder itself: deleting it
  // must not take the other profiles and schedules with it.
  WriteProfile("LINK1.LAP", "Careless", "b.example", kvla::ProfileFolder());
  WriteFile(Profile("LINK0.LAS"), "[Main]\n");
  std::vector<ProfileEntry*> entries;
  ASSERT_EQ(Enumerate(&entries).size(), 3u);

  EXPECT_EQ(PSL_DeleteProfile(0, entries[0]), KV_RESULT_DONE);
  EXPECT_FALSE(fs::exists(data));
  EXPECT_FALSE(fs::exists(Profile("LINK0.LAP")));
  EXPECT_TRUE(kvla::OwnsProfileEntry(entries[0]));
  EXPECT_STREQ(entries[0]->description, "Doomed");

  EXPECT_EQ(PSL_DeleteProfile(0, entries[1]), KV_RESULT_DONE);
  EXPECT_FALSE(fs::exists(Profile("LINK1.LAP")));
  EXPECT_TRUE(fs::exists(Profile("LINK0.LAS")));
}

TEST_F(LinkPluginTest, CopyingAProfileLeavesTheCopyWhenTheEditorCannotRun) {
  WriteProfile("LINK0.LAP", "Main site", "www.example.org");
  std::vector<ProfileEntry*> entries;
  ASSERT_EQ(Enumerate(&entries).size(), 2u);
  ProfileEntry* out = reinterpret_cast<ProfileEntry*>(1);
  EXPECT_EQ(PSL_CopyProfile(0, entries[0], &out), KV_RESULT_FAILED);
  EXPECT_EQ(out, nullptr);
  EXPECT_STREQ(entries[0]->profileFile, Profile("LINK0.LAP").c_str());
  ASSERT_TRUE(fs::exists(Profile("LINK1.LAP")));
  std::string copy = ReadFile(Profile("LINK1.LAP"));
  EXPECT_NE(copy.find("Description=Copy of Main site"), std::string::npos) << copy;
  EXPECT_NE(copy.find("ServerName=www.example.org"), std::string::npos) << copy;
  EXPECT_NE(ReadFile(Profile("LINK0.LAP")).find("Description=Main site"), std::string::npos);
  ASSERT_FALSE(boxes_.empty());
  EXPECT_EQ(boxes_.back(), "The link analysis profile editor is not available.");

  ProfileEntry missing{};
  std::snprintf(missing.profileFile, sizeof missing.profileFile, "%s", Profile("GONE.LAP").c_str());
  EXPECT_EQ(PSL_CopyProfile(0, &missing, &out), KV_RESULT_FAILED);
  EXPECT_FALSE(fs::exists(Profile("LINK2.LAP")));
}

TEST_F(LinkPluginTest, EnumeratingSchedules) {
  ScheduleEntry* out = nullptr;
  EXPECT_EQ(PSL_FindScheduledEvent(0, nullptr, &out), KV_RESULT_FAILED);  // no "*.LAS" file

  WriteProfile("LINK0.LAP", "Main site", "www.example.org");
  std::vector<ProfileEntry*> profiles;
  ASSERT_EQ(Enumerate(&profiles).size(), 2u);
  ScheduleEntry schedule{};
  std::snprintf(schedule.scheduleFile, sizeof schedule.scheduleFile, "%s", Profile("LINK0.LAS").c_str());
  std::snprintf(schedule.associatedProfile, sizeof schedule.associatedProfile, "%s", Profile("LINK0.LAP").c_str());
  schedule.startTime = 1800000000;
  schedule.repeatType = 2;
  schedule.repeatFrequency = 1;
  ASSERT_TRUE(kvla::WriteSchedule(&schedule));

  ASSERT_EQ(PSL_FindScheduledEvent(0, nullptr, &out), KV_RESULT_DONE);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->profile, profiles[0]);
  EXPECT_EQ(out->hasProfile, 1);
  EXPECT_EQ(out->startTime, 1800000000);
  EXPECT_TRUE(kvla::OwnsScheduleEntry(out));
  ScheduleEntry* last = nullptr;
  EXPECT_EQ(PSL_FindScheduledEvent(0, out, &last), KV_RESULT_NO_MORE);

  // The schedule's profile file was deleted: its enumeration fails.
  fs::remove(Profile("LINK0.LAP"));
  ScheduleEntry* orphan = nullptr;
  EXPECT_EQ(PSL_FindScheduledEvent(0, nullptr, &orphan), KV_RESULT_FAILED);
  EXPECT_EQ(orphan, nullptr);

  EXPECT_EQ(PSL_DeleteScheduledEvent(0, out), KV_RESULT_DONE);
  EXPECT_FALSE(fs::exists(Profile("LINK0.LAS")));
  EXPECT_FALSE(kvla::OwnsScheduleEntry(out));
}

TEST_F(LinkPluginTest, EntryPointsWhosePartsAreMissingFailAndSaySo) {
  WriteProfile("LINK0.LAP", "Main site", "www.example.org");
  std::vector<ProfileEntry*> profiles;
  ASSERT_EQ(Enumerate(&profiles).size(), 2u);

  ProfileEntry* newProfile = reinterpret_cast<ProfileEntry*>(1);
  EXPECT_EQ(PSL_EditProfile(0, nullptr, &newProfile), KV_RESULT_FAILED);
  EXPECT_EQ(newProfile, nullptr);
  // A schedule dialog closed without saving makes no schedule.
  kv::ui::SetDialogScript([](KvWindow dialog, kv::ui::DialogEvent event) {
    if (event == kv::ui::DialogEvent::Shown) kv::ui::PressButton(dialog, kv::ui::IdCancel);
  });
  ScheduleEntry* newSchedule = reinterpret_cast<ScheduleEntry*>(1);
  EXPECT_EQ(PSL_EditScheduledEvent(0, nullptr, &newSchedule), KV_RESULT_FAILED);
  EXPECT_EQ(newSchedule, nullptr);
  EXPECT_FALSE(fs::exists(Profile("LINK0.LAS")));

  // The unattended run tells nobody on screen; the scheduler log says why.
  const size_t shown = boxes_.size();
  ScheduleEntry schedule{};
  std::snprintf(schedule.associatedProfile, sizeof schedule.associatedProfile, "%s", Profile("LINK0.LAP").c_str());
  EXPECT_EQ(PSL_StartScheduledEvent(0, &schedule), KV_RESULT_FAILED);
  EXPECT_EQ(boxes_.size(), shown);
  EXPECT_NE(ReadFile(local_.file("SCHEDULE.LOG")).find("did not take place"), std::string::npos);

  // The option page, called as the host calls it: through the contract's
  // types, with the host's 4-byte bitmap handle (alone on the heap, so that
  // a wider write is caught by the sanitizer build, and before a guard word,
  // so that the normal build sees it too).
  auto create = reinterpret_cast<CreateOptionPageFn>(IsFunctionSupported(kSupportCreateOptionPage));
  auto close = reinterpret_cast<CloseOptionPageFn>(IsFunctionSupported(kSupportCloseOptionPage));
  ASSERT_NE(create, nullptr);
  ASSERT_NE(close, nullptr);
  struct {
    KvHandle bitmap = 5;
    uint32_t guard = 0xA5A5A5A5u;
  } host;
  auto alone = std::make_unique<KvHandle>(5);
  int32_t size[4] = {1, 2, 3, 4};
  char tab[KV_OPTION_TEXT_SIZE], title[KV_OPTION_TEXT_SIZE];
  EXPECT_EQ(create(0, &host.bitmap, size, tab, title), -1);
  EXPECT_EQ(host.guard, 0xA5A5A5A5u);
  EXPECT_EQ(host.bitmap, 0u);
  EXPECT_EQ(create(0, alone.get(), size, tab, title), -1);
  EXPECT_STREQ(tab, "Link\r\nAnalysis");
  EXPECT_STREQ(title, "Link Analysis Options");
  EXPECT_EQ(close(1), 0);

  // With no profile at all the schedule dialog cannot be opened.
  fs::remove(Profile("LINK0.LAP"));
  EXPECT_EQ(PSL_EditScheduledEvent(0, nullptr, &newSchedule), KV_RESULT_FAILED);
  EXPECT_EQ(boxes_.back(), "No link analysis profile files found.");
}

TEST_F(LinkPluginTest, PanelShowsTheChosenProfile) {
  WriteProfile("LINK0.LAP", "Main site", "www.example.org");
  WriteFile(Profile("LINK1.LAP"), "[Main]\nDescription=Archive\nSearchMode=1\nLocalFilePath=/srv/a/index.htm\n");
  std::vector<ProfileEntry*> entries;
  ASSERT_EQ(Enumerate(&entries).size(), 3u);

  ASSERT_EQ(PSL_UpdateMainPanelData(0, entries[0], 0, 1), KV_RESULT_DONE);
  KvWindow panel = kvla::ProfilePanelWindow();
  ASSERT_NE(panel, 0u);
  EXPECT_EQ(kv::ui::GetDlgItemString(panel, kvla::panel_ids::kDescription), "Main site");
  EXPECT_EQ(kv::ui::GetDlgItemString(panel, kvla::panel_ids::kWebsite), "http://www.example.org/index.html");
  EXPECT_TRUE(kv::ui::IsWindowVisible(panel));

  // The panel reads the profile file as it is now, in the same window.
  WriteFile(Profile("LINK1.LAP"), "[Main]\nDescription=Archive 2\nSearchMode=1\nLocalFilePath=/srv/b/index.htm\n");
  ASSERT_EQ(PSL_UpdateMainPanelData(0, entries[1], 0, 2), KV_RESULT_DONE);
  EXPECT_EQ(kvla::ProfilePanelWindow(), panel);
  EXPECT_EQ(kv::ui::GetDlgItemString(panel, kvla::panel_ids::kDescription), "Archive 2");
  EXPECT_EQ(kv::ui::GetDlgItemString(panel, kvla::panel_ids::kWebsite), "/srv/b/index.htm");
  EXPECT_FALSE(kv::ui::IsWindowVisible(panel));
  kv::ui::DestroyWindow(panel);
  EXPECT_EQ(kvla::ProfilePanelWindow(), 0u);
}

}  // namespace
