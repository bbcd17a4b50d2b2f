// The memorized-report dialog: preselection, pages, memorizing, deleting,
// starting, and the entry points that open it.
#include "linkanalysis/profiles_report.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "linkanalysis/link_testutil.h"
#include "linkanalysis/plugin_entry.h"
#include "linkanalysis/profiles_files.h"
#include "linkanalysis/profiles_schedule.h"
#include "platform/base/ini.h"
#include "platform/ui/dialog.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"

namespace fs = std::filesystem;
using kvla::test::ReadFile;
using kvla::test::TempFolder;
using kvla::test::WriteFile;
using namespace kv::ui;
namespace ids = kvla::report_ids;

namespace {

class LinkReportDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kvla::SetLocalDirectory(local_.path());
    fs::create_directories(kvla::ProfileFolder());
    previousBox_ = SetMessageBoxHandler([this](const MessageBoxInfo& info) {
      boxes_.push_back(info.text);
      return answer_;
    });
    AddReport("LINK0.LAR", "Daily", "C:\\out\\daily.htm", 5);
    AddReport("LINK1.LAR", "Weekly", "mailto:ops@example.org/week.htm", 7);
  }
  void TearDown() override {
    SetDialogScript(nullptr);
    SetMessageBoxHandler(previousBox_);
    kvla::SetLocalDirectory("");
  }
  std::string Profile(const std::string& name) const { return kvla::ProfileFolder() + name; }
  void AddReport(const char* name, const char* description, const char* saveAs, int32_t rows) {
    kvla::MemorizedReport r{};
    std::snprintf(r.file, sizeof r.file, "%s", Profile(name).c_str());
    std::snprintf(r.description, sizeof r.description, "%s", description);
    std::snprintf(r.saveAs, sizeof r.saveAs, "%s", saveAs);
    std::snprintf(r.style, sizeof r.style, "Plain");
    std::snprintf(r.title, sizeof r.title, "%s report", description);
    for (int i = 0; i < kvla::kReportTableCount; ++i) r.rows[i] = rows + i;
    ASSERT_TRUE(kvla::WriteMemorizedReport(&r));
  }
  // Runs fill on the dialog that shows first (the report dialog), and steps
  // for nested dialogs by their title; a dialog left open is cancelled.
  void Script(std::function<void(KvWindow)> fill, std::function<void(KvWindow, const std::string&)> nested = {}) {
    SetDialogScript([fill, nested](KvWindow dialog, DialogEvent event) {
      char title[64] = "";
      GetWindowText(dialog, title, sizeof title);
      if (event == DialogEvent::Shown) {
        if (std::string(title) == "Create Link Analysis Report") fill(dialog);
        else if (nested) nested(dialog, title);
      } else {
        PressButton(dialog, IdCancel);
      }
    });
  }
  void Select(KvWindow dialog, int32_t id, int32_t index) {
    ListSetCurSel(dialog, id, index);
    SendMessage(dialog, kv::msg::Command, MakeWParam(static_cast<uint32_t>(id), 1), 0);
  }
  TempFolder local_;
  std::vector<std::string> boxes_;
  MessageBoxHandler previousBox_;
  int32_t answer_ = IdYes;
};

TEST_F(LinkReportDialogTest, LastReportIsPreselectedAndStartReturnsThePagesValues) {
  kv::IniWriteString("Main", "LastReport", "weekly", Profile("LINKANLZ.INI").c_str());
  kv::IniWriteString("Language", "Report", "GERMAN", Profile("LINKANLZ.INI").c_str());
  std::vector<std::string> tabs;
  Script([&](KvWindow d) {
    EXPECT_EQ(ListGetCurSel(d, ids::kReports), 1);
    for (int i = 0; i < ListGetCount(d, ids::kTabs); ++i) tabs.push_back(ListGetString(d, ids::kTabs, i));
    KvWindow content = kvla::ReportDialogPage(0), style = kvla::ReportDialogPage(1), save = kvla::ReportDialogPage(2);
    EXPECT_EQ(GetDlgItemString(content, ids::kFirstRows + 9), "16");
    EXPECT_EQ(GetDlgItemString(style, ids::kTitle), "Weekly report");
    EXPECT_EQ(ListGetCurSel(save, ids::kKind), 2);
    EXPECT_EQ(GetDlgItemString(save, ids::kEmail), "ops@example.org");
    EXPECT_EQ(GetDlgItemString(save, ids::kPath), "week.htm");
    // Another memorized report, then the user's own changes.
    Select(d, ids::kReports, 0);
    EXPECT_EQ(GetDlgItemString(save, ids::kPath), "C:\\out\\daily.htm");
    SetDlgItemText(content, ids::kFirstRows + 0, "0");      // not set: the default
    SetDlgItemText(content, ids::kFirstRows + 1, "2500");   // too many: the default
    SetDlgItemText(content, ids::kFirstRows + 2, "1999");
    SetDlgItemText(style, ids::kLanguage, "(Default)");
    PressButton(d, IdOk);
  });
  kvla::MemorizedReport chosen;
  ASSERT_EQ(kvla::RunMemorizedReportDialog(0, false, &chosen), 1);
  EXPECT_EQ(tabs, (std::vector<std::string>{"Content", "Style", "Save As / Mail To"}));
  EXPECT_STREQ(chosen.file, Profile("LINK0.LAR").c_str());
  EXPECT_STREQ(chosen.saveAs, "C:\\out\\daily.htm");
  EXPECT_EQ(chosen.rows[0], 50);
  EXPECT_EQ(chosen.rows[1], 50);
  EXPECT_EQ(chosen.rows[2], 1999);
  EXPECT_EQ(chosen.rows[3], 8);
  EXPECT_STREQ(chosen.language, "GERMAN");
  EXPECT_STREQ(chosen.title, "Daily report");
}

TEST_F(LinkReportDialogTest, MemorizeAndDelete) {
  int32_t listed = 0;
  Script(
      [&](KvWindow d) {
        KvWindow save = kvla::ReportDialogPage(2);
        SetDlgItemText(kvla::ReportDialogPage(1), ids::kTitle, "Monthly report");
        ListSetCurSel(save, ids::kKind, 1);
        SetDlgItemText(save, ids::kPath, "ftp.example.org/pub/month.htm");
        PressButton(d, ids::kMemorize);  // a new description
        listed = ListGetCount(d, ids::kReports);
        EXPECT_EQ(ListGetString(d, ids::kReports, ListGetCurSel(d, ids::kReports)), "Monthly");
        // The same description again replaces that report's file.
        SetDlgItemText(kvla::ReportDialogPage(1), ids::kTitle, "Monthly report 2");
        PressButton(d, ids::kMemorize);
        EXPECT_EQ(ListGetCount(d, ids::kReports), listed);
        // Deleting asks first; "No" keeps the report.
        answer_ = IdNo;
        PressButton(d, ids::kDelete);
        EXPECT_TRUE(fs::exists(Profile("LINK2.LAR")));
        answer_ = IdYes;
        PressButton(d, ids::kDelete);
      },
      [&](KvWindow nested, const std::string&) {
        SetDlgItemText(nested, ids::kDescription, "");
        PressButton(nested, IdOk);  // refused: no description
        SetDlgItemText(nested, ids::kDescription, "Monthly");
        PressButton(nested, IdOk);
      });
  kvla::MemorizedReport chosen;
  EXPECT_EQ(kvla::RunMemorizedReportDialog(0, false, &chosen), 0);
  EXPECT_EQ(listed, 3);
  ASSERT_GE(boxes_.size(), 3u);
  EXPECT_EQ(boxes_[0], "Please enter a description.");
  EXPECT_EQ(boxes_.back(), "Are you sure you want to remove this memorized report?");
  EXPECT_FALSE(fs::exists(Profile("LINK2.LAR")));
  EXPECT_TRUE(fs::exists(Profile("LINK0.LAR")));
  EXPECT_EQ(kv::IniString("Main", "LastReport", "", Profile("LINKANLZ.INI").c_str()), "Monthly");
}

TEST_F(LinkReportDialogTest, MemorizedReportWrittenByTheDialog) {
  Script(
      [&](KvWindow d) {
        KvWindow save = kvla::ReportDialogPage(2);
        ListSetCurSel(save, ids::kKind, 1);
        SetDlgItemText(save, ids::kPath, "ftp.example.org/pub/month.htm");
        SetDlgItemText(kvla::ReportDialogPage(0), ids::kFirstRows + 4, "77");
        PressButton(d, ids::kMemorize);
      },
      [&](KvWindow nested, const std::string& title) {
        if (title == "Login") {
          SetDlgItemText(nested, ids::kUsername, "ftpuser");
          SetDlgItemText(nested, ids::kPassword, "ftppw");
        } else {
          SetDlgItemText(nested, ids::kDescription, "Monthly");
        }
        PressButton(nested, IdOk);
      });
  // The login button of the FTP address is pressed before memorizing.
  SetDialogScript([inner = SetDialogScript(nullptr)](KvWindow dialog, DialogEvent event) {
    char title[64] = "";
    GetWindowText(dialog, title, sizeof title);
    if (event == DialogEvent::Shown && std::string(title) == "Create Link Analysis Report") {
      KvWindow save = kvla::ReportDialogPage(2);
      ListSetCurSel(save, ids::kKind, 1);
      PressButton(save, ids::kBrowse);
    }
    inner(dialog, event);
  });
  kvla::MemorizedReport chosen;
  EXPECT_EQ(kvla::RunMemorizedReportDialog(0, false, &chosen), 0);
  kvla::MemorizedReport stored;
  ASSERT_TRUE(kvla::ReadMemorizedReport(Profile("LINK2.LAR").c_str(), &stored));
  EXPECT_STREQ(stored.description, "Monthly");
  EXPECT_STREQ(stored.saveAs, "ftp://ftp.example.org/pub/month.htm");
  EXPECT_EQ(stored.urlType, 1);
  EXPECT_STREQ(stored.username, "ftpuser");
  EXPECT_STREQ(stored.password, "ftppw");
  EXPECT_EQ(stored.rows[4], 77);
  EXPECT_EQ(ReadFile(Profile("LINK2.LAR")).find("ftppw"), std::string::npos);
}

TEST_F(LinkReportDialogTest, BrowseOnTheSaveToPageChoosesALocalFile) {
  const std::string reports = local_.path() + "/REPORTS/Link Analysis";
  fs::create_directories(reports);
  std::string title, shownName, chosen;
  Script(
      [&](KvWindow d) {
        KvWindow save = kvla::ReportDialogPage(2);
        ListSetCurSel(save, ids::kKind, 0);
        SetDlgItemText(save, ids::kPath, (reports + "/weekly.htm").c_str());
        PressButton(save, ids::kBrowse);
        chosen = GetDlgItemString(save, ids::kPath);
        PressButton(d, IdCancel);
      },
      [&](KvWindow nested, const std::string& caption) {
        title = caption;
        shownName = GetDlgItemString(nested, kv::ui::file_dialog_ids::kName);
        SetDlgItemText(nested, kv::ui::file_dialog_ids::kName, "daily.htm");
        PressButton(nested, IdOk);
      });
  kvla::MemorizedReport report;
  kvla::RunMemorizedReportDialog(0, false, &report);
  EXPECT_EQ(title, "Report Filename");
  EXPECT_EQ(shownName, "weekly.htm");
  EXPECT_EQ(chosen, reports + "/daily.htm");
}

TEST_F(LinkReportDialogTest, ScheduleModeHasNoSaveToPage) {
  std::string okText;
  int32_t pages = 0;
  Script([&](KvWindow d) {
    okText = GetDlgItemString(d, IdOk);
    pages = ListGetCount(d, ids::kTabs);
    EXPECT_EQ(kvla::ReportDialogPage(2), 0u);
    PressButton(d, IdOk);
  });
  kvla::MemorizedReport chosen;
  ASSERT_EQ(kvla::RunMemorizedReportDialog(0, true, &chosen), 1);
  EXPECT_EQ(okText, "OK");
  EXPECT_EQ(pages, 2);
  // The chosen report's address stays as it was stored.
  EXPECT_STREQ(chosen.saveAs, "C:\\out\\daily.htm");
  EXPECT_STREQ(chosen.language, "ENGLISH");
}

TEST_F(LinkReportDialogTest, GeneratingAReportNeedsTheRunWindow) {
  WriteFile(Profile("LINK0.LAP"), "[Main]\nDescription=Main site\nServerName=www.example.org\n");
  ProfileEntry* entry = nullptr;
  ASSERT_EQ(PSL_FindProfile(0, nullptr, nullptr, &entry), KV_RESULT_DONE);
  Script([&](KvWindow) {});  // cancelled
  EXPECT_EQ(PSL_GenerateReport(0, entry, 0), KV_RESULT_FAILED);
  EXPECT_TRUE(boxes_.empty());
  Script([&](KvWindow d) { PressButton(d, IdOk); });
  EXPECT_EQ(PSL_GenerateReport(0, entry, 0), KV_RESULT_FAILED);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0], "The link analysis run window and report generator are not available.");
}

}  // namespace
