// The main program's plug-in host loads kvm_link.so from a folder of its own
// and reaches the profiles and schedules in that folder's "KVM_LINK/".
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/ui/window.h"
#include "shell/plugin_host.h"

namespace fs = std::filesystem;
using namespace kv::host;

namespace {

class LinkPluginHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/kvlinkhostXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = std::string(templ) + "/";
    fs::copy_file(fs::path(std::getenv("KV_PROGRAM_DIR")) / "kvm_link.so", dir_ + "kvm_link.so");
    fs::create_directories(dir_ + "KVM_LINK");
  }
  void TearDown() override {
    UnloadSupportLibraries();
    ClearEntryArrays();
    fs::remove_all(dir_);
  }
  void Write(const std::string& name, const std::string& text) { std::ofstream(dir_ + name) << text; }
  std::string dir_;
};

// Loading kvm_link.so registers its LED window class; unloading it removes
// the class again.
TEST_F(LinkPluginHostTest, LoadAndUnloadRegisterAndRemoveTheLedWindowClass) {
  EXPECT_FALSE(kv::ui::IsWindowClassRegistered("Vodo Darevudo LED"));
  ASSERT_TRUE(LoadSupportLibraries(dir_, 7));
  ASSERT_NE(FindSupportLibrary(2), nullptr);
  EXPECT_TRUE(kv::ui::IsWindowClassRegistered("Vodo Darevudo LED"));
  UnloadSupportLibraries();
  EXPECT_FALSE(kv::ui::IsWindowClassRegistered("Vodo Darevudo LED"));
}

TEST_F(LinkPluginHostTest, HostLoadsThePluginAndListsItsProfiles) {
  Write("KVM_LINK/LINK0.LAP", "[Main]\nDescription=Intranet\nServerName=intranet.example\nStartPage=/\n");
  Write("KVM_LINK/LINK1.LAP", "[Main]\nDescription=Archive\nSearchMode=1\nLocalFilePath=/srv/archive/index.htm\n");
  Write("KVM_LINK/LINK0.LAS", "[Main]\nStartTime=1800000000\nRepeatType=3\nRepeatFrequency=1\n"
                              "AssociatedProfileFilename=" + dir_ + "KVM_LINK/LINK0.LAP\n");
  ASSERT_TRUE(LoadSupportLibraries(dir_, 7));
  SupportLibrary* library = FindSupportLibrary(2);
  ASSERT_NE(library, nullptr);
  EXPECT_STREQ(library->name, "Link Analysis");
  EXPECT_EQ(library->type, 2);
  EXPECT_NE(KeptFunction(*library, kSupportEnumerateProfiles), nullptr);
  EXPECT_EQ(KeptFunction(*library, kSupportPollProfile), nullptr);

  EnumerateProfiles(0);
  ASSERT_EQ(Profiles().size(), 2u);
  EXPECT_STREQ(Profiles()[0]->description, "Archive");  // sorted by description
  EXPECT_STREQ(Profiles()[0]->text, "/srv/archive/index.htm");
  EXPECT_STREQ(Profiles()[1]->description, "Intranet");
  EXPECT_STREQ(Profiles()[1]->text, "http://intranet.example/");
  EXPECT_EQ(Profiles()[1]->profileFile, dir_ + "KVM_LINK/LINK0.LAP");
  EXPECT_EQ(Profiles()[1]->libraryId, 2);

  // The schedule comes back pointing at the host's entry of its profile.
  auto findSchedule =
      reinterpret_cast<EnumerateScheduledEventsFn>(GetSupportFunction(2, kSupportEnumerateScheduledEvents));
  ASSERT_NE(findSchedule, nullptr);
  ScheduleEntry* schedule = nullptr;
  ASSERT_EQ(findSchedule(0, nullptr, &schedule), KV_RESULT_DONE);
  EXPECT_EQ(schedule->profile, Profiles()[1]);
  EXPECT_EQ(schedule->repeatType, 3);
  ScheduleEntry* none = nullptr;
  EXPECT_EQ(findSchedule(0, schedule, &none), KV_RESULT_NO_MORE);

  auto help = reinterpret_cast<HelpTextFn>(GetSupportFunction(2, kSupportHelpText));
  ASSERT_NE(help, nullptr);
  EXPECT_EQ(std::string(help(0, 0)).rfind("Report on site quality", 0), 0u);

  // A profile deleted through the host's entry point is gone from the next
  // enumeration.
  ASSERT_EQ(CallSupportFunction<DeleteProfileFn>(2, kSupportDeleteProfile, KvWindow{0}, Profiles()[0]),
            KV_RESULT_DONE);
  EnumerateProfiles(0);
  ASSERT_EQ(Profiles().size(), 1u);
  EXPECT_STREQ(Profiles()[0]->description, "Intranet");
}

}  // namespace
