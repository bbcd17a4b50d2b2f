// The schedule dialog driven through the plug-in's entry point, as a user
// fills it in.
#include "linkanalysis/profiles_schedule.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>

#include "linkanalysis/link_testutil.h"
#include "linkanalysis/plugin_entry.h"
#include "linkanalysis/profiles_files.h"
#include "platform/ui/dialog.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"

namespace fs = std::filesystem;
using kvla::test::ReadFile;
using kvla::test::TempFolder;
using kvla::test::WriteFile;
using namespace kv::ui;
namespace ids = kvla::schedule_ids;

namespace {

class LinkScheduleDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kvla::SetLocalDirectory(local_.path());
    fs::create_directories(kvla::ProfileFolder());
    WriteFile(local_.file("WIN.INI"), "[intl]\nsDate=/\nsTime=:\niDate=0\n");
    setenv("KV_WIN_INI", local_.file("WIN.INI").c_str(), 1);
    previousBox_ = SetMessageBoxHandler([this](const MessageBoxInfo& info) {
      boxes_.push_back(info.text);
      return 1;
    });
    WriteFile(Profile("LINK0.LAP"), "[Main]\nDescription=Alpha\nServerName=a.example\n");
    WriteFile(Profile("LINK1.LAP"), "[Main]\nDescription=Beta\nServerName=b.example\n");
    ProfileEntry* previous = nullptr;
    for (;;) {
      ProfileEntry* out = nullptr;
      if (PSL_FindProfile(0, previous, nullptr, &out) != KV_RESULT_DONE) break;
      profiles_.push_back(out);
      previous = out;
    }
  }
  void TearDown() override {
    SetDialogScript(nullptr);
    SetMessageBoxHandler(previousBox_);
    unsetenv("KV_WIN_INI");
    kvla::SetLocalDirectory("");
  }
  std::string Profile(const std::string& name) const { return kvla::ProfileFolder() + name; }
  // Runs fill on the dialog when it is shown; a dialog still open afterwards
  // is cancelled.
  void Script(std::function<void(KvWindow)> fill) {
    SetDialogScript([fill](KvWindow dialog, DialogEvent event) {
      if (event == DialogEvent::Shown) fill(dialog);
      else PressButton(dialog, IdCancel);  // still open once the script is done
    });
  }
  void Select(KvWindow dialog, int32_t id, int32_t index) {
    ListSetCurSel(dialog, id, index);
    SendMessage(dialog, kv::msg::Command, MakeWParam(static_cast<uint32_t>(id), 1), 0);
  }
  TempFolder local_;
  std::vector<std::string> boxes_;
  MessageBoxHandler previousBox_;
  std::vector<ProfileEntry*> profiles_;
};

TEST_F(LinkScheduleDialogTest, NewScheduleFromAMemorizedReport) {
  ASSERT_EQ(profiles_.size(), 2u);
  kvla::MemorizedReport report{};
  std::snprintf(report.file, sizeof report.file, "%s", Profile("LINK0.LAR").c_str());
  std::snprintf(report.description, sizeof report.description, "Weekly upload");
  std::snprintf(report.saveAs, sizeof report.saveAs, "ftp://host/dir/r.htm");
  std::snprintf(report.username, sizeof report.username, "up");
  std::snprintf(report.password, sizeof report.password, "pw");
  report.urlType = 1;
  ASSERT_TRUE(kvla::WriteMemorizedReport(&report));

  std::string shownPath, shownDate;
  Script([&](KvWindow d) {
    EXPECT_EQ(ListGetCount(d, ids::kRepeat), 5);
    EXPECT_EQ(ListGetString(d, ids::kRepeat, 4), "Month(s)");
    EXPECT_EQ(ListGetString(d, ids::kKind, 2), "mailto:");
    EXPECT_EQ(ListGetString(d, ids::kMemorized, 0), "Weekly upload");
    EXPECT_EQ(ListGetString(d, ids::kProfile, 1), "Beta");
    shownPath = GetDlgItemString(d, ids::kPath);
    shownDate = GetDlgItemString(d, ids::kDate);
    Select(d, ids::kProfile, 1);
    Select(d, ids::kMemorized, 0);
    EXPECT_EQ(ListGetCurSel(d, ids::kKind), 1);
    EXPECT_EQ(GetDlgItemString(d, ids::kPath), "host/dir/r.htm");
    EXPECT_EQ(GetDlgItemString(d, ids::kBrowse), "&Login");
    SetDlgItemText(d, ids::kDate, "12/31/2030");
    SetDlgItemText(d, ids::kTime, "08:30:00");
    SetDlgItemText(d, ids::kFrequency, "2");
    ListSetCurSel(d, ids::kRepeat, 3);
    PressButton(d, IdOk);
  });
  ScheduleEntry* out = nullptr;
  ASSERT_EQ(PSL_EditScheduledEvent(0, nullptr, &out), KV_RESULT_DONE) << (boxes_.empty() ? "" : boxes_.back());
  EXPECT_EQ(shownPath, local_.path() + "/REPORTS/Link Analysis/REPORT.HTM");
  // A new schedule starts five minutes from now.
  char today[16];
  time_t soon = std::time(nullptr) + 300;
  struct tm local {};
  localtime_r(&soon, &local);
  std::strftime(today, sizeof today, "%m/%d/%Y", &local);
  EXPECT_EQ(shownDate, today);

  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(kvla::OwnsScheduleEntry(out));
  EXPECT_STREQ(out->scheduleFile, Profile("LINK0.LAS").c_str());
  EXPECT_EQ(out->profile, profiles_[1]);
  EXPECT_EQ(out->hasProfile, 1);
  struct tm want {};
  want.tm_year = 130, want.tm_mon = 11, want.tm_mday = 31, want.tm_hour = 8, want.tm_min = 30, want.tm_isdst = -1;
  EXPECT_EQ(out->startTime, static_cast<int32_t>(mktime(&want)));
  EXPECT_EQ(out->repeatType, 3);
  EXPECT_EQ(out->repeatFrequency, 2);
  EXPECT_STREQ(out->saveAs, "ftp://host/dir/r.htm");
  EXPECT_STREQ(out->username, "up");
  EXPECT_STREQ(out->password, "pw");
  EXPECT_STREQ(out->memorizedReport, Profile("LINK0.LAR").c_str());
  EXPECT_STREQ(out->associatedProfile, Profile("LINK1.LAP").c_str());
}

TEST_F(LinkScheduleDialogTest, WrongEntriesKeepTheDialogOpenWithTheirMessage) {
  struct Case {
    const char* date;
    const char* time;
    int32_t kind;
    const char* path;
    const char* email;
    const char* message;
  } cases[] = {
      {"", "10:00:00", 0, "r.htm", "", "Blank date or time entered."},
      {"02/31/2030", "10:00:00", 0, "r.htm", "", "Invalid date."},
      {"01/01/2040", "10:00:00", 0, "r.htm", "", "Invalid date."},  // past what 32 bits hold
      {"01/02/2030", "25:00:00", 0, "r.htm", "", "Invalid time."},
      {"01/02/2030", "10:00:00", 0, "", "", "Please enter a \"save to\" address."},
      {"01/02/2030", "10:00:00", 2, "r.htm", "", "Please enter an e-Mail address."},
      {"01/02/2030", "10:00:00", 1, "hostonly", "", "Invalid URL specified for the \"save as\" path."},
  };
  std::string longPath(270, 'a');
  Script([&](KvWindow d) {
    for (const Case& c : cases) {
      SetDlgItemText(d, ids::kDate, c.date);
      SetDlgItemText(d, ids::kTime, c.time);
      ListSetCurSel(d, ids::kKind, c.kind);
      SetDlgItemText(d, ids::kPath, c.path);
      SetDlgItemText(d, ids::kEmail, c.email);
      boxes_.clear();
      PressButton(d, IdOk);
      ASSERT_TRUE(IsDialog(d));
      ASSERT_EQ(boxes_.size(), 1u) << c.date << " " << c.path;
      EXPECT_EQ(boxes_[0], c.message) << c.date << " " << c.time << " " << c.path;
    }
    // An address longer than the record holds is refused, not cut.
    SetDlgItemText(d, ids::kDate, "01/02/2030");
    ListSetCurSel(d, ids::kKind, 0);
    SetDlgItemText(d, ids::kPath, ("C:\\" + longPath).c_str());
    boxes_.clear();
    PressButton(d, IdOk);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0], "Invalid URL specified for the \"save as\" path.");
  });
  ScheduleEntry* out = nullptr;
  EXPECT_EQ(PSL_EditScheduledEvent(0, nullptr, &out), KV_RESULT_FAILED);
  EXPECT_EQ(out, nullptr);
  EXPECT_FALSE(fs::exists(Profile("LINK0.LAS")));
}

TEST_F(LinkScheduleDialogTest, EditingShowsTheScheduleInTheSystemsDateOrder) {
  WriteFile(local_.file("WIN.INI"), "[intl]\nsDate=-\nsTime=.\niDate=2\n");
  ScheduleEntry entry{};
  std::snprintf(entry.scheduleFile, sizeof entry.scheduleFile, "%s", Profile("LINK4.LAS").c_str());
  std::snprintf(entry.associatedProfile, sizeof entry.associatedProfile, "%s", Profile("LINK1.LAP").c_str());
  std::snprintf(entry.saveAs, sizeof entry.saveAs, "mailto:ops@example.org/week.htm");
  entry.startTime = 1800000000;
  entry.repeatType = 2;
  entry.repeatFrequency = 7;
  const ScheduleEntry before = entry;

  std::string date, time, email, path;
  int32_t profile = -1, kind = -1;
  Script([&](KvWindow d) {
    date = GetDlgItemString(d, ids::kDate);
    time = GetDlgItemString(d, ids::kTime);
    email = GetDlgItemString(d, ids::kEmail);
    path = GetDlgItemString(d, ids::kPath);
    profile = ListGetCurSel(d, ids::kProfile);
    kind = ListGetCurSel(d, ids::kKind);
    SetDlgItemText(d, ids::kFrequency, "9");
  });
  ScheduleEntry* out = nullptr;
  EXPECT_EQ(PSL_EditScheduledEvent(0, &entry, &out), KV_RESULT_FAILED);  // cancelled
  EXPECT_EQ(std::memcmp(&entry, &before, sizeof entry), 0);
  EXPECT_FALSE(fs::exists(Profile("LINK4.LAS")));

  time_t when = 1800000000;
  struct tm local {};
  localtime_r(&when, &local);
  char wantDate[16], wantTime[16];
  std::strftime(wantDate, sizeof wantDate, "%Y-%m-%d", &local);
  std::strftime(wantTime, sizeof wantTime, "%H.%M.%S", &local);
  EXPECT_EQ(date, wantDate);
  EXPECT_EQ(time, wantTime);
  EXPECT_EQ(email, "ops@example.org");
  EXPECT_EQ(path, "week.htm");
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(profile, 1);

  // Saved unchanged: the file holds the same schedule.
  Script([&](KvWindow d) { PressButton(d, IdOk); });
  ASSERT_EQ(PSL_EditScheduledEvent(0, &entry, &out), KV_RESULT_DONE) << (boxes_.empty() ? "" : boxes_.back());
  EXPECT_EQ(out->startTime, 1800000000);
  EXPECT_STREQ(out->saveAs, "mailto:ops@example.org/week.htm");
  EXPECT_EQ(out->repeatFrequency, 7);
  EXPECT_EQ(out->profile, profiles_[1]);
}

TEST_F(LinkScheduleDialogTest, NewMemorizedReportFromTheScheduleDialog) {
  std::string selected;
  SetDialogScript([&](KvWindow dialog, DialogEvent event) {
    char title[64] = "";
    GetWindowText(dialog, title, sizeof title);
    const std::string t = title;
    if (event == DialogEvent::Idle) {
      PressButton(dialog, IdCancel);
    } else if (t == "Schedule Link Analysis") {
      PressButton(dialog, ids::kNew);
      selected = ListGetString(dialog, ids::kMemorized, ListGetCurSel(dialog, ids::kMemorized));
      SetDlgItemText(dialog, ids::kDate, "01/02/2030");
      SetDlgItemText(dialog, ids::kTime, "10:00:00");
      PressButton(dialog, IdOk);
    } else if (t == "Create Link Analysis Report") {
      PressButton(dialog, 1003);  // memorize
      PressButton(dialog, IdOk);
    } else {
      SetDlgItemText(dialog, 1401, "Fresh");
      PressButton(dialog, IdOk);
    }
  });
  ScheduleEntry* out = nullptr;
  ASSERT_EQ(PSL_EditScheduledEvent(0, nullptr, &out), KV_RESULT_DONE) << (boxes_.empty() ? "" : boxes_.back());
  EXPECT_EQ(selected, "Fresh");
  EXPECT_STREQ(out->memorizedReport, Profile("LINK0.LAR").c_str());
  // The new report has no address of its own: the schedule's default stays.
  EXPECT_STREQ(out->saveAs, (local_.path() + "/REPORTS/Link Analysis/REPORT.HTM").c_str());
}

TEST_F(LinkScheduleDialogTest, BrowseChoosesALocalReportFileAndHelpOpensTheSchedulesHelp) {
  const std::string reports = local_.path() + "/REPORTS/Link Analysis";
  fs::create_directories(reports + "/archive");
  WriteFile(reports + "/old.htm", "x");
  WriteFile(reports + "/notes.txt", "x");
  setenv("KV_DEBUG_LOG", local_.file("debug.log").c_str(), 1);
  std::string chooserName, chosenPath;
  std::vector<std::string> listed;
  SetDialogScript([&](KvWindow dialog, DialogEvent event) {
    char title[64] = "";
    GetWindowText(dialog, title, sizeof title);
    if (std::string(title) == "Report Filename") {
      if (event != DialogEvent::Shown) return PressButton(dialog, IdCancel), void();
      chooserName = GetDlgItemString(dialog, file_dialog_ids::kName);
      for (int32_t i = 0; i < ListGetCount(dialog, file_dialog_ids::kList); ++i)
        listed.push_back(ListGetString(dialog, file_dialog_ids::kList, i));
      SetDlgItemText(dialog, file_dialog_ids::kName, "monthly.htm");
      PressButton(dialog, IdOk);
      return;
    }
    if (event != DialogEvent::Shown) return PressButton(dialog, IdCancel), void();
    PressButton(dialog, ids::kHelp);
    PressButton(dialog, ids::kBrowse);
    chosenPath = GetDlgItemString(dialog, ids::kPath);
    PressButton(dialog, IdCancel);
  });
  ScheduleEntry* out = nullptr;
  PSL_EditScheduledEvent(0, nullptr, &out);
  unsetenv("KV_DEBUG_LOG");
  EXPECT_EQ(chooserName, "REPORT.HTM");
  EXPECT_EQ(listed, (std::vector<std::string>{"../", "archive/", "old.htm"}));
  EXPECT_EQ(chosenPath, reports + "/monthly.htm");
  EXPECT_NE(ReadFile(local_.file("debug.log")).find("PRODUCT.HLP, command 1, context 3035"), std::string::npos);
}

}  // namespace
