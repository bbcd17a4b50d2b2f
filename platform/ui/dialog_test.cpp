#include "platform/ui/dialog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ui/window.h"

namespace kv::ui {
namespace {

constexpr int32_t kName = 1001, kRemember = 1002, kDaily = 1003, kWeekly = 1004, kMonthly = 1005,
                  kPeriodList = 1006, kApply = 1007;

// What the account dialog's procedure read back when OK was pressed.
struct AccountResult {
  std::string name;
  int32_t remember = -1;
  int32_t period = 0;
  std::string list_choice;
  std::vector<int32_t> commands;
};

KvResult AccountDlg(KvWindow dlg, uint32_t m, KvWParam wp, KvLParam lp) {
  static AccountResult* out = nullptr;
  switch (m) {
    case msg::InitDialog:
      out = reinterpret_cast<AccountResult*>(lp);
      for (const char* item : {"Zeta", "alpha", "Mid"}) ListAddString(dlg, kPeriodList, item);
      CheckRadioButton(dlg, kDaily, kMonthly, kWeekly);
      return 1;
    case msg::Command: {
      const int32_t id = static_cast<int32_t>(LowWord(wp));
      out->commands.push_back(id);
      if (id == IdOk) {
        out->name = GetDlgItemString(dlg, kName);
        out->remember = IsDlgButtonChecked(dlg, kRemember);
        for (int32_t r = kDaily; r <= kMonthly; ++r) {
          if (IsDlgButtonChecked(dlg, r) == Checked) out->period = out->period * 10000 + r;
        }
        out->list_choice = ListGetString(dlg, kPeriodList, ListGetCurSel(dlg, kPeriodList));
        EndDialog(dlg, IdOk);
        return 1;
      }
      if (id == IdCancel) {
        EndDialog(dlg, IdCancel);
        return 1;
      }
      return 0;
    }
    default:
      return 0;
  }
}

class DialogTest : public ::testing::Test {
 protected:
  void TearDown() override { SetDialogScript(nullptr); }
};

TEST_F(DialogTest, ModalDialogFromResourcesIsFilledByScriptAndReadBack) {
  RegisterWindowClass("KvDlgOwner", &DefWindowProc);
  KvWindow owner = CreateWindow("KvDlgOwner", "owner", StyleVisible, 0);
  ASSERT_NE(owner, 0u);

  std::vector<std::string> notes;
  SetDialogScript([&](KvWindow dlg, DialogEvent event) {
    if (event != DialogEvent::Shown) return;
    notes.push_back("shown");
    EXPECT_FALSE(IsWindowEnabled(owner));  // modal: the owner waits
    char caption[32];
    GetWindowText(dlg, caption, sizeof caption);
    EXPECT_STREQ(caption, "Account");
    EXPECT_EQ(GetDlgItemString(dlg, kName), "nobody");  // the template's text
    EXPECT_EQ(IsDlgButtonChecked(dlg, kWeekly), Checked);  // set by InitDialog
    // The sorted combo box holds the items in order.
    ASSERT_EQ(ListGetCount(dlg, kPeriodList), 3);
    EXPECT_EQ(ListGetString(dlg, kPeriodList, 0), "alpha");
    EXPECT_EQ(ListGetString(dlg, kPeriodList, 2), "Zeta");

    EXPECT_TRUE(SetDlgItemText(dlg, kName, "alice"));
    EXPECT_TRUE(PressButton(dlg, kRemember));
    EXPECT_TRUE(PressButton(dlg, kMonthly));
    EXPECT_TRUE(ListSetCurSel(dlg, kPeriodList, ListFindString(dlg, kPeriodList, "ZETA")));
    EXPECT_FALSE(PressButton(dlg, kApply));  // disabled in the template
    EXPECT_FALSE(PressButton(dlg, 4242));
    EXPECT_TRUE(PressButton(dlg, IdOk));
  });

  AccountResult result;
  intptr_t r = DialogBoxParam(nullptr, 200, owner, &AccountDlg, reinterpret_cast<KvLParam>(&result));
  EXPECT_EQ(r, IdOk);
  EXPECT_EQ(notes, std::vector<std::string>{"shown"});
  EXPECT_EQ(result.name, "alice");
  EXPECT_EQ(result.remember, Checked);
  EXPECT_EQ(result.period, kMonthly);  // the only radio button checked
  EXPECT_EQ(result.list_choice, "Zeta");
  EXPECT_EQ(result.commands, (std::vector<int32_t>{kRemember, kMonthly, IdOk}));
  EXPECT_TRUE(IsWindowEnabled(owner));
  EXPECT_EQ(FindWindow(DialogClassName, "Account"), 0u);  // gone
  DestroyWindow(owner);
}

TEST_F(DialogTest, CloseMeansCancelAndBadRequestsFail) {
  SetDialogScript([](KvWindow dlg, DialogEvent event) {
    if (event == DialogEvent::Shown) SendMessage(dlg, msg::Close, 0, 0);
  });
  AccountResult result;
  EXPECT_EQ(DialogBoxParam(nullptr, 200, 0, &AccountDlg, reinterpret_cast<KvLParam>(&result)), IdCancel);
  EXPECT_EQ(result.commands, std::vector<int32_t>{IdCancel});

  EXPECT_EQ(DialogBoxParam(nullptr, 999, 0, &AccountDlg, 0), -1);        // no such template
  EXPECT_EQ(DialogBoxParam(nullptr, 200, 54321, &AccountDlg, 0), -1);    // stale owner
  EXPECT_EQ(DialogBoxParam(nullptr, 200, 0, nullptr, 0), -1);            // no procedure
  EXPECT_EQ(CreateDialogParam(nullptr, 999, 0, &AccountDlg, 0), 0u);
}

DialogTemplate SmallTemplate() {
  DialogTemplate t;
  t.title = "Small";
  t.items = {{10, "EDIT", "", StyleVisible},
             {11, "LISTBOX", "", StyleVisible},
             {IdOk, "BUTTON", "OK", StyleVisible | ButtonDefPush}};
  return t;
}

TEST_F(DialogTest, ModalLoopRunsTimersWithoutScriptAndEndsFromTheProcedure) {
  static int ticks;
  ticks = 0;
  auto proc = [](KvWindow dlg, uint32_t m, KvWParam wp, KvLParam) -> KvResult {
    if (m == msg::InitDialog) {
      SetTimer(dlg, 1, 5);
      return 1;
    }
    if (m == msg::Timer && wp == 1 && ++ticks == 3) {
      KillTimer(dlg, 1);
      EndDialog(dlg, 77);
    }
    return 0;
  };
  EXPECT_EQ(DialogBoxIndirectParam(SmallTemplate(), 0, proc, 0), 77);
  EXPECT_EQ(ticks, 3);
}

TEST_F(DialogTest, EndInInitDialogAndQuitInsideTheLoop) {
  int shown = 0;
  SetDialogScript([&](KvWindow, DialogEvent e) { shown += e == DialogEvent::Shown; });
  auto ends_at_once = [](KvWindow dlg, uint32_t m, KvWParam, KvLParam lp) -> KvResult {
    if (m == msg::InitDialog) EndDialog(dlg, lp);
    return 0;
  };
  EXPECT_EQ(DialogBoxIndirectParam(SmallTemplate(), 0, ends_at_once, 12), 12);
  EXPECT_EQ(shown, 0);  // never shown

  auto quits = [](KvWindow, uint32_t m, KvWParam, KvLParam) -> KvResult {
    if (m == msg::InitDialog) PostQuitMessage(5);
    return 0;
  };
  EXPECT_EQ(DialogBoxIndirectParam(SmallTemplate(), 0, quits, 0), -1);
  EXPECT_EQ(shown, 1);
  // The Quit is left for the caller's own loop.
  Message m;
  EXPECT_EQ(GetMessage(&m), 0);
  EXPECT_EQ(m.wparam, 5u);
}

TEST_F(DialogTest, ModelessDialogDrivenFromTheThreadLoop) {
  static KvWindow s_dlg;
  auto proc = [](KvWindow dlg, uint32_t m, KvWParam wp, KvLParam) -> KvResult {
    if (m == msg::Command && LowWord(wp) == static_cast<uint32_t>(IdOk)) {
      EndDialog(dlg, 1);
      PostQuitMessage(0);
      return 1;
    }
    return 0;
  };
  std::vector<DialogEvent> events;
  SetDialogScript([&](KvWindow dlg, DialogEvent e) {
    events.push_back(e);
    if (e == DialogEvent::Idle) {
      SetDlgItemText(dlg, 10, "typed");
      PressButton(dlg, IdOk);
    }
  });
  DialogTemplate t = SmallTemplate();
  t.style |= StyleVisible;
  s_dlg = CreateDialogIndirectParam(t, 0, proc, 0);
  ASSERT_NE(s_dlg, 0u);
  ASSERT_EQ(events, std::vector<DialogEvent>{DialogEvent::Shown});
  EXPECT_TRUE(IsDialog(s_dlg));

  // Messages of the dialog or its controls are handled by IsDialogMessage.
  RegisterWindowClass("KvDlgOther", &DefWindowProc);
  KvWindow other = CreateWindow("KvDlgOther", "", 0, 0);
  Message mm{GetDlgItem(s_dlg, 10), msg::User, 0, 0, 0};
  EXPECT_TRUE(IsDialogMessage(s_dlg, &mm));
  mm.window = other;
  EXPECT_FALSE(IsDialogMessage(s_dlg, &mm));
  EXPECT_FALSE(IsDialogMessage(other, &mm));

  Message m;
  while (GetMessage(&m) > 0) {
    if (!IsDialogMessage(s_dlg, &m)) DispatchMessage(&m);
  }
  EXPECT_EQ(events.back(), DialogEvent::Idle);
  EXPECT_FALSE(IsWindowVisible(s_dlg));  // ended: hidden, still there
  EXPECT_EQ(GetDlgItemString(s_dlg, 10), "typed");
  EXPECT_TRUE(DestroyWindow(s_dlg));
  EXPECT_FALSE(IsDialog(s_dlg));
  EXPECT_EQ(GetDlgItem(s_dlg, 10), 0u);
  DestroyWindow(other);
}

TEST_F(DialogTest, ModelessDialogIdleInAPeekAndWaitPump) {
  static bool done;
  done = false;
  auto proc = [](KvWindow dlg, uint32_t m, KvWParam wp, KvLParam) -> KvResult {
    if (m == msg::Command && LowWord(wp) == static_cast<uint32_t>(IdCancel)) {
      done = true;
      DestroyWindow(dlg);
      return 1;
    }
    return 0;
  };
  int idles = 0;
  SetDialogScript([&](KvWindow dlg, DialogEvent e) {
    if (e == DialogEvent::Idle && ++idles == 2) SendMessage(dlg, msg::Close, 0, 0);
  });
  DialogTemplate t = SmallTemplate();
  t.style |= StyleVisible;
  KvWindow dlg = CreateDialogIndirectParam(t, 0, proc, 0);
  ASSERT_NE(dlg, 0u);
  for (int rounds = 0; !done && rounds < 100; ++rounds) {
    Message m;
    while (PeekMessage(&m)) {
      if (!IsDialogMessage(dlg, &m)) DispatchMessage(&m);
    }
    WaitMessage(10);
  }
  EXPECT_TRUE(done);  // Close without a handler of its own became Cancel
  EXPECT_FALSE(IsWindow(dlg));
}

TEST_F(DialogTest, ControlValues) {
  KvWindow dlg = CreateDialogIndirectParam(SmallTemplate(), 0, [](KvWindow, uint32_t, KvWParam, KvLParam) -> KvResult { return 0; }, 0);
  ASSERT_NE(dlg, 0u);

  struct IntCase {
    const char* text;
    bool is_signed;
    bool ok;
    int32_t value;
  };
  const IntCase cases[] = {
      {"42", true, true, 42},           {"  -17 ", true, true, -17},   {"-17", false, false, 0},
      {"", true, false, 0},             {"12abc", true, false, 0},     {"2147483647", true, true, 2147483647},
      {"2147483648", true, false, 0},   {"4294967295", false, true, -1}, {"4294967296", false, false, 0},
      {"99999999999999999999", true, false, 0}, {"+5", true, true, 5}, {"-", true, false, 0},
  };
  for (const IntCase& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_TRUE(SetDlgItemText(dlg, 10, c.text));
    bool ok = !c.ok;
    EXPECT_EQ(GetDlgItemInt(dlg, 10, &ok, c.is_signed), c.value);
    EXPECT_EQ(ok, c.ok);
  }
  ASSERT_TRUE(SetDlgItemInt(dlg, 10, -5, false));
  EXPECT_EQ(GetDlgItemString(dlg, 10), "4294967291");
  bool ok = true;
  EXPECT_EQ(GetDlgItemInt(dlg, 99, &ok, true), 0);  // no such control
  EXPECT_FALSE(ok);

  // Text is cut to the caller's buffer.
  SetDlgItemText(dlg, 10, "abcdef");
  char buf[4] = "zzz";
  EXPECT_EQ(GetDlgItemText(dlg, 10, buf, sizeof buf), 3);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(GetDlgItemText(dlg, 99, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");

  // Lists keep insertion order unless sorted; the selection follows its item.
  EXPECT_EQ(ListAddString(dlg, 11, "b"), 0);
  EXPECT_EQ(ListAddString(dlg, 11, "a"), 1);
  EXPECT_EQ(ListInsertString(dlg, 11, 0, "c"), 0);
  EXPECT_TRUE(ListSetCurSel(dlg, 11, 2));  // "a"
  EXPECT_TRUE(ListDeleteString(dlg, 11, 0));
  EXPECT_EQ(ListGetCurSel(dlg, 11), 1);
  EXPECT_EQ(ListGetString(dlg, 11, 1), "a");
  EXPECT_TRUE(ListDeleteString(dlg, 11, 1));
  EXPECT_EQ(ListGetCurSel(dlg, 11), ListError);
  EXPECT_FALSE(ListSetCurSel(dlg, 11, 5));
  EXPECT_FALSE(ListDeleteString(dlg, 11, -1));
  EXPECT_TRUE(ListSetItemData(dlg, 11, 0, 1234));
  EXPECT_EQ(ListGetItemData(dlg, 11, 0), 1234);
  EXPECT_EQ(ListGetText(dlg, 11, 0, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "b");
  EXPECT_EQ(ListGetText(dlg, 11, 7, buf, sizeof buf), ListError);
  EXPECT_EQ(ListAddString(dlg, 10, "not a list"), ListError);  // an edit control
  EXPECT_EQ(ListGetCount(dlg, 10), ListError);
  EXPECT_TRUE(ListResetContent(dlg, 11));
  EXPECT_EQ(ListGetCount(dlg, 11), 0);

  // Check states only on buttons and only known values.
  EXPECT_TRUE(CheckDlgButton(dlg, IdOk, Checked));
  EXPECT_FALSE(CheckDlgButton(dlg, IdOk, 7));
  EXPECT_FALSE(CheckDlgButton(dlg, 10, Checked));

  EXPECT_TRUE(EnableDlgItem(dlg, IdOk, false));
  EXPECT_FALSE(PressButton(dlg, IdOk));
  EXPECT_EQ(GetDlgCtrlID(GetDlgItem(dlg, 11)), 11);
  EXPECT_TRUE(DestroyWindow(dlg));
  EXPECT_FALSE(SetDlgItemText(dlg, 10, "x"));
  EXPECT_EQ(ListGetCount(dlg, 11), ListError);
}

}  // namespace
}  // namespace kv::ui
