#include "platform/ui/file_dialog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/testsupport/files.h"
#include "platform/testsupport/tempdir.h"
#include "platform/ui/dialog.h"
#include "platform/ui/window.h"

namespace kv::ui {
namespace {

namespace ids = file_dialog_ids;

TEST(FileFilter, StringTableFiltersReadAsTypes) {
  struct Case {
    const char* filter;
    std::vector<std::pair<std::string, std::vector<std::string>>> types;
  } cases[] = {
      {"Hyper Text Markup\x01*.HTM\x01\x01", {{"Hyper Text Markup", {"*.HTM"}}}},
      {"Pages\x01*.htm;*.html\x01Text\x01*.txt\x01\x01", {{"Pages", {"*.htm", "*.html"}}, {"Text", {"*.txt"}}}},
      {"Pages\x01*.htm\x01\x01Ignored\x01*.x\x01", {{"Pages", {"*.htm"}}}},
      {"A description without patterns\x01", {}},
      {"", {}},
  };
  for (const auto& c : cases) {
    auto types = ParseFileFilter(c.filter, '\x01');
    ASSERT_EQ(types.size(), c.types.size()) << c.filter;
    for (size_t i = 0; i < types.size(); ++i) {
      EXPECT_EQ(types[i].description, c.types[i].first);
      EXPECT_EQ(types[i].patterns, c.types[i].second);
    }
  }
}

// The steps a user takes: the first when the dialog is shown, each further
// one when the dialog is idle again after the step before.
class SaveFileDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ / "sub");
    for (const char* name : {"a.htm", "B.HTM", "notes.txt"}) kv::test::WriteBytes(dir_ / name, "x");
  }
  void TearDown() override { SetDialogScript(nullptr); }

  void Steps(std::vector<std::function<void(KvWindow)>> steps) {
    steps_ = std::move(steps);
    SetDialogScript([this](KvWindow dialog, DialogEvent) {
      char title[64] = "";
      GetWindowText(dialog, title, sizeof title);
      title_ = title;
      // Out of steps, the dialog is cancelled, so that a test never waits
      // for a user.
      if (next_ < steps_.size())
        steps_[next_++](dialog);
      else
        PressButton(dialog, IdCancel);
    });
  }
  static std::vector<std::string> Listed(KvWindow dialog) {
    std::vector<std::string> items;
    for (int32_t i = 0; i < ListGetCount(dialog, ids::kList); ++i) items.push_back(ListGetString(dialog, ids::kList, i));
    return items;
  }

  kv::test::TempFolder dir_{"kvsavefile"};
  std::vector<std::function<void(KvWindow)>> steps_;
  size_t next_ = 0;
  std::string title_;
};

TEST_F(SaveFileDialogTest, OpensBesideTheCurrentFileListsItsTypeAndWalksIntoAFolder) {
  SaveFileRequest request;
  request.title = "Report Filename";
  request.types = ParseFileFilter("Hyper Text Markup\x01*.HTM\x01\x01", '\x01');
  request.current = dir_ / "REPORT.HTM";
  std::vector<std::string> listed;
  std::string name, folder, inSub;
  Steps({
      [&](KvWindow d) {
        listed = Listed(d);
        name = GetDlgItemString(d, ids::kName);
        folder = GetDlgItemString(d, ids::kFolder);
        ListSetCurSel(d, ids::kList, 1);  // "sub/"
        SendMessage(d, msg::Command, MakeWParam(ids::kList, 1), 0);
        PressButton(d, IdOk);
      },
      [&](KvWindow d) {
        inSub = GetDlgItemString(d, ids::kFolder);
        SetDlgItemText(d, ids::kName, "month.htm");
        PressButton(d, IdOk);
      },
  });
  std::string chosen = "untouched";
  ASSERT_TRUE(GetSaveFileName(0, request, &chosen));
  EXPECT_EQ(title_, "Report Filename");
  EXPECT_EQ(listed, (std::vector<std::string>{"../", "sub/", "a.htm", "B.HTM"}));
  EXPECT_EQ(name, "REPORT.HTM");
  EXPECT_EQ(folder, dir_.Path());
  EXPECT_EQ(inSub, dir_ / "sub");
  EXPECT_EQ(chosen, dir_ / "sub/month.htm");
}

TEST_F(SaveFileDialogTest, ANameOutsideAnyFolderKeepsTheDialogOpenAndCancelChangesNothing) {
  SaveFileRequest request;
  request.title = "Report Filename";
  request.current = "C:\\no such folder\\REPORT.HTM";  // opens in the given folder instead
  request.folder = dir_.Path();
  std::string folder;
  bool stillOpen = false;
  Steps({
      [&](KvWindow d) {
        folder = GetDlgItemString(d, ids::kFolder);
        EXPECT_EQ(Listed(d), (std::vector<std::string>{"../", "sub/", "a.htm", "B.HTM", "notes.txt"}));
        SetDlgItemText(d, ids::kName, "missing/x.htm");
        PressButton(d, IdOk);
      },
      [&](KvWindow d) {
        stillOpen = true;
        SetDlgItemText(d, ids::kName, "../");
        PressButton(d, IdOk);
        EXPECT_EQ(GetDlgItemString(d, ids::kFolder), dir_.Path().substr(0, dir_.Path().rfind('/')));
        PressButton(d, IdCancel);
      },
  });
  std::string chosen = "untouched";
  EXPECT_FALSE(GetSaveFileName(0, request, &chosen));
  EXPECT_EQ(folder, dir_.Path());
  EXPECT_TRUE(stillOpen);
  EXPECT_EQ(chosen, "untouched");
}

}  // namespace
}  // namespace kv::ui
