// The General Options sheet driven through the dialog script against a real
// KELVARON.INI, the NT service configuration after it, and the remote report
// server started by the program and by the sheet, fetched over loopback.
#include "shell/options_sheet.h"

#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/ini.h"
#include "platform/module/resource.h"
#include "platform/netapi32/netapi32.h"
#include "platform/testsupport/ports.h"
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"
#include "shell/options_remote.h"
#include "shell/plugin_host.h"
#include "shell/settings_file.h"
#include "shell/settings_scramble.h"
#include "shell/startup_main.h"
#include "shell/startup_service.h"
#include "webserver/server_internal.h"
#include "webserver/webserver.h"

namespace fs = std::filesystem;
using namespace kv::opts;
using kv::ui::DialogEvent;

namespace {

std::string g_dir;  // the program folder (settings file path is fixed at first use)
std::string g_accounts;

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    char templ[] = "/tmp/kvoptsXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    g_dir = std::string(templ) + "/";
    fs::path bin = std::getenv("KV_PROGRAM_DIR");
    for (const char* f : {"KELVARON", "WSOCK32.so", "FTP4W32.so", "NETAPI32.so", "PRODUCT.RSL", "BASE.RSL"})
      fs::create_symlink(bin / f, g_dir + f);
    fs::copy(fs::path(std::getenv("KV_SOURCE_DIR")) / "data" / "wwwroot", g_dir + "wwwroot",
             fs::copy_options::recursive);
    fs::create_directories(g_dir + "LANG/FRENCH.1");
    fs::create_directories(g_dir + "LANG/GERMAN");
    std::ofstream(g_dir + "LANG/readme.txt") << "not a language\n";
    fs::copy_file(fs::path(std::getenv("KV_TEST_DIR")) / "shell_plugins" / "kvm_test.so", g_dir + "kvm_test.so");
    std::ofstream(g_dir + "kvm_test.so.cfg") << "id=4\nname=Test\nprofiles=One,Two\n";
    fs::copy_file(fs::path(std::getenv("KV_TEST_DIR")) / "shell_plugins" / "kvm_optstest.so",
                  g_dir + "kvm_optstest.so");
    g_accounts = g_dir + "accounts";
    std::ofstream(g_accounts) << "alice:pw:staff\n";
    setenv("KV_PROGRAM_DIR", g_dir.c_str(), 1);
    setenv("KV_LOCK_DIR", (g_dir + "locks").c_str(), 1);
    setenv("KV_REGISTRY", (g_dir + "registry.ini").c_str(), 1);
    setenv("KV_DEBUG_LOG", (g_dir + "debug.log").c_str(), 1);
    setenv("KV_LOGON_USERS", g_accounts.c_str(), 1);
    StoreProgramPath((g_dir + "KELVARON").c_str());
  }
  void TearDown() override { fs::remove_all(g_dir); }
};
::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new Environment);

std::string Key(const char* section, const char* key) {
  return kv::IniString(section, key, "<absent>", GetBaseIniPath());
}

std::string WindowText(KvWindow window) {
  char text[256] = "";
  kv::ui::GetWindowText(window, text, sizeof text);
  return text;
}

bool IsSheet(KvWindow dialog) {
  return kv::ui::GetDlgItem(dialog, kSheetTabList) != 0 && kv::ui::GetDlgItem(dialog, kSheetHelpButton) != 0;
}

std::string Text(KvWindow dialog, int32_t id) { return kv::ui::GetDlgItemString(dialog, id); }
bool IsChecked(KvWindow dialog, int32_t id) { return kv::ui::IsDlgButtonChecked(dialog, id) == kv::ui::Checked; }

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(GetBaseIniPath(), std::ios::trunc) << "[Defaults]\n";
    kv::app::AppState& a = kv::app::App();
    base_ = KvLoadModule((g_dir + "BASE.RSL").c_str());
    ASSERT_NE(base_, nullptr);
    a.resourceModule = base_;
    a.runningAsService = false;
    previousBoxes_ = kv::ui::SetMessageBoxHandler([this](const kv::ui::MessageBoxInfo& info) {
      boxes.push_back(info.caption + "|" + info.text);
      return 0;  // the default answer
    });
  }
  void TearDown() override {
    kv::app::App().resourceModule = KvSelfModule();
    KvFreeModule(base_);
    kv::ui::SetMessageBoxHandler(previousBoxes_);
    setenv("KV_LOGON_USERS", g_accounts.c_str(), 1);
  }

  // Runs the sheet; `act` gets the sheet window once it is shown and returns
  // whether to press OK (else Cancel). Other dialogs go to `other`.
  bool RunSheet(const std::function<bool(KvWindow)>& act,
                const std::function<void(KvWindow, DialogEvent)>& other = nullptr) {
    bool acted = false;
    auto previous = kv::ui::SetDialogScript([&](KvWindow dialog, DialogEvent event) {
      if (IsSheet(dialog)) {
        if (event != DialogEvent::Shown || acted) return;
        acted = true;
        bool ok = act(dialog);
        kv::ui::PressButton(dialog, ok ? kv::ui::IdOk : kv::ui::IdCancel);
      } else if (other) {
        other(dialog, event);
      }
    });
    OptionsPageInfo info;
    bool ok = RunOptionsSheet(0, &info);
    kv::ui::SetDialogScript(previous);
    EXPECT_TRUE(acted);
    EXPECT_EQ(info.pageName, "General");
    EXPECT_EQ(info.title, "General Options");
    EXPECT_EQ(info.bitmapId, kOptionsBitmapId);
    return ok;
  }

  static KvWindow Page(KvWindow sheet, int32_t index) {
    kv::ui::SendMessage(sheet, kSheetSetCurSel, static_cast<KvWParam>(index), 0);
    return SheetPageWindow(sheet, index);
  }

  KvModule base_ = nullptr;
  kv::ui::MessageBoxHandler previousBoxes_;
  std::vector<std::string> boxes;
};

TEST_F(OptionsTest, ReopensOnTheLastPageShownAndCancelWritesNothing) {
  std::string before;
  {
    std::ifstream in(GetBaseIniPath());
    before.assign(std::istreambuf_iterator<char>(in), {});
  }
  std::string caption;
  EXPECT_FALSE(RunSheet([&](KvWindow sheet) {
    caption = WindowText(sheet);
    EXPECT_EQ(kv::ui::ListGetCount(sheet, kSheetTabList), kOptionsPageCount);
    KvWindow proxy = Page(sheet, 3);
    kv::ui::SetDlgItemText(proxy, ids::kHttpHost, "typed.example");
    kv::ui::PressButton(sheet, kSheetHelpButton);  // help of the page shown
    return false;
  }));
  EXPECT_EQ(caption, "General Options");
  EXPECT_FALSE(OptionsOkPressed());
  EXPECT_EQ(LastOptionsPage(), 3);
  std::string after;
  {
    std::ifstream in(GetBaseIniPath());
    after.assign(std::istreambuf_iterator<char>(in), {});
  }
  EXPECT_EQ(after, before);
  std::ifstream log(g_dir + "debug.log");
  std::string logText((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(logText.find("command 1, context 1025"), std::string::npos);

  KvWindow current = 0, expected = 1;
  RunSheet([&](KvWindow sheet) {
    current = static_cast<KvWindow>(kv::ui::SendMessage(sheet, kSheetGetCurPage, 0, 0));
    expected = SheetPageWindow(sheet, 3);
    EXPECT_EQ(kv::ui::ListGetCurSel(sheet, kSheetTabList), 3);
    return false;
  });
  EXPECT_NE(current, 0u);
  EXPECT_EQ(current, expected);
}

TEST_F(OptionsTest, ProxyPageSplitsAndJoinsHostAndPort) {
  struct Case {
    const char* stored;
    const char* shownHost;
    const char* shownPort;
    const char* typedPort;  // null: leave the field as shown
    const char* written;
  };
  const Case cases[] = {
      {"proxy.example:8080", "proxy.example", "8080", nullptr, "proxy.example:8080"},
      {"proxy.example", "proxy.example", "80", nullptr, "proxy.example:80"},
      {"proxy.example", "proxy.example", "80", "", "proxy.example"},
      {"", "", "", "3128", ""},  // no host: nothing to join
      {"proxy.example:abc", "proxy.example", "abc", nullptr, "proxy.example"},
      {"proxy.example:99999", "proxy.example", "99999", nullptr, "proxy.example"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    std::ofstream(GetBaseIniPath(), std::ios::trunc) << "[Defaults]\nProxyEnable=1\nHTTPProxy=" << c.stored
                                                     << "\nFTPProxy=ftp.example\n";
    ASSERT_TRUE(RunSheet([&](KvWindow sheet) {
      KvWindow page = Page(sheet, 3);
      EXPECT_TRUE(IsChecked(page, ids::kProxyEnable));
      EXPECT_EQ(Text(page, ids::kHttpHost), c.shownHost);
      EXPECT_EQ(Text(page, ids::kHttpPort), c.shownPort);
      EXPECT_EQ(Text(page, ids::kFtpPort), "80");
      EXPECT_TRUE(kv::ui::IsWindowEnabled(kv::ui::GetDlgItem(page, ids::kHttpHost)));
      if (c.typedPort) kv::ui::SetDlgItemText(page, ids::kHttpPort, c.typedPort);
      return true;
    }));
    EXPECT_EQ(Key("Defaults", "HTTPProxy"), c.written);
    EXPECT_EQ(Key("Defaults", "FTPProxy"), "ftp.example:80");
    EXPECT_EQ(Key("Defaults", "ProxyEnable"), "TRUE");
  }
}

TEST_F(OptionsTest, ProxyAuthenticationDialogSetsTheHeldValue) {
  struct Case {
    const char* stored;
    const char* shownUser;
    const char* user;
    const char* password;
    bool ok;
    const char* written;
  };
  const Case cases[] = {
      {"bob:old", "bob", "carol", "a:b", true, "carol:a:b"},
      {"bob:old", "bob", "", "secret", true, ""},  // no user name: no authentication
      {"bob:old", "bob", "carol", "new", false, "bob:old"},  // cancelled
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user);
    std::ofstream(GetBaseIniPath(), std::ios::trunc) << "[Defaults]\nHTTPProxyAuth=" << c.stored << "\n";
    std::string shownUser;
    ASSERT_TRUE(RunSheet(
        [&](KvWindow sheet) {
          KvWindow page = Page(sheet, 3);
          EXPECT_FALSE(IsChecked(page, ids::kProxyEnable));
          EXPECT_FALSE(kv::ui::IsWindowEnabled(kv::ui::GetDlgItem(page, ids::kHttpHost)));
          kv::ui::PressButton(page, ids::kProxyAuth);
          return true;
        },
        [&](KvWindow dialog, DialogEvent event) {
          if (event != DialogEvent::Shown || WindowText(dialog) != "Proxy Authentication") return;
          shownUser = Text(dialog, ids::kAuthUser);
          kv::ui::SetDlgItemText(dialog, ids::kAuthUser, c.user);
          kv::ui::SetDlgItemText(dialog, ids::kAuthPassword, c.password);
          kv::ui::PressButton(dialog, c.ok ? kv::ui::IdOk : kv::ui::IdCancel);
        }));
    EXPECT_EQ(shownUser, c.shownUser);
    EXPECT_EQ(Key("Defaults", "HTTPProxyAuth"), c.written);
    EXPECT_EQ(Key("Defaults", "ProxyEnable"), "FALSE");
  }
}

TEST(OptionsHelpersTest, StoredWebCounts) {
  struct Case {
    int32_t number;
    bool checked;
    int32_t fallback;
    int32_t stored;
  };
  const Case cases[] = {{0, false, 7, -7}, {0, true, 7, 7}, {14, true, 7, 14},
                        {5, false, 7, -5}, {0, false, 10, -10}, {-3, true, 7, 3}};
  for (const Case& c : cases)
    EXPECT_EQ(detail::StoredWebCount(c.number, c.checked, c.fallback), c.stored) << c.number << c.checked;
}

TEST_F(OptionsTest, WebAccessPageShowsItsKeys) {
  struct Case {
    const char* ini;
    bool enabled;
    const char* address;
    const char* port;
    bool all;
    const char* days;
    bool daysOn;
    bool allow;
  };
  const Case cases[] = {
      {"", false, kAllAddresses, "99", true, "7", true, true},
      {"WebEnable=true\nWebAddress=10.0.0.1:8099\nWebNoDays=-3\nWebAllowReport=0\n", true, "10.0.0.1", "8099",
       false, "3", false, false},
      {"WebEnable=True\nWebAddress=:8100\n", true, kAllAddresses, "8100", true, "7", true, true},
      {"WebEnable=t\n", true, kAllAddresses, "99", true, "7", true, true},
      {"WebEnable=TRUE\n", true, kAllAddresses, "99", true, "7", true, true},
      {"WebEnable=yes\n", false, kAllAddresses, "99", true, "7", true, true},
      {"WebEnable=1\n", false, kAllAddresses, "99", true, "7", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ini);
    std::ofstream(GetBaseIniPath(), std::ios::trunc) << "[Defaults]\n" << c.ini;
    RunSheet([&](KvWindow sheet) {
      KvWindow page = Page(sheet, 5);
      EXPECT_EQ(IsChecked(page, ids::kWebEnable), c.enabled);
      EXPECT_EQ(Text(page, ids::kWebAddress), c.address);
      EXPECT_EQ(Text(page, ids::kWebPort), c.port);
      EXPECT_EQ(IsChecked(page, ids::kWebAllAddresses), c.all);
      EXPECT_EQ(Text(page, ids::kWebDays), c.days);
      EXPECT_EQ(IsChecked(page, ids::kWebDaysOn), c.daysOn);
      EXPECT_EQ(Text(page, ids::kWebReports), "10");
      EXPECT_EQ(IsChecked(page, ids::kWebAllowReport), c.allow);
      EXPECT_FALSE(IsChecked(page, ids::kWebLogging));
      return false;
    });
  }
}

TEST_F(OptionsTest, WebAccessPageListsTheAccountsOfTheAccountLookups) {
  // The groups (in brackets) and then the users of the machine, as the
  // account database holds them, through the account-lookup binding.
  std::vector<std::string> want;
  setgrent();
  while (struct group* g = getgrent()) want.push_back(std::string("[") + g->gr_name + "]");
  endgrent();
  setpwent();
  while (struct passwd* p = getpwent()) want.emplace_back(p->pw_name);
  endpwent();
  KvNetApiUnbind();
  const uint32_t lookups = KvNetApiLookupCount();
  std::vector<std::string> shown;
  RunSheet([&](KvWindow sheet) {
    KvWindow page = Page(sheet, 5);
    for (int32_t i = 0; i < kv::ui::ListGetCount(page, ids::kWebAdmin); ++i)
      shown.push_back(kv::ui::ListGetString(page, ids::kWebAdmin, i));
    return false;
  });
  EXPECT_EQ(shown, want);
  EXPECT_EQ(KvNetApiLookupCount(), lookups + 3);  // both lists and the buffer release
}

TEST_F(OptionsTest, WebAccessPageWritesItsKeys) {
  std::ofstream(GetBaseIniPath(), std::ios::trunc) << "[Defaults]\nWebAdmin=uroot\n";
  std::string admin;
  ASSERT_TRUE(RunSheet([&](KvWindow sheet) {
    KvWindow page = Page(sheet, 5);
    admin = kv::ui::ListGetString(page, ids::kWebAdmin, kv::ui::ListGetCurSel(page, ids::kWebAdmin));
    kv::ui::CheckDlgButton(page, ids::kWebEnable, kv::ui::Checked);
    kv::ui::CheckDlgButton(page, ids::kWebAllAddresses, kv::ui::Unchecked);
    kv::ui::SetDlgItemText(page, ids::kWebAddress, "127.0.0.1");
    kv::ui::SetDlgItemText(page, ids::kWebPort, "8099");
    kv::ui::SetDlgItemText(page, ids::kWebDays, "0");
    kv::ui::CheckDlgButton(page, ids::kWebDaysOn, kv::ui::Unchecked);
    kv::ui::SetDlgItemText(page, ids::kWebReports, "4");
    kv::ui::CheckDlgButton(page, ids::kWebLogging, kv::ui::Checked);
    kv::ui::CheckDlgButton(page, ids::kWebAllowReport, kv::ui::Unchecked);
    kv::ui::ListSetCurSel(page, ids::kWebAdmin, kv::ui::ListFindString(page, ids::kWebAdmin, "[root]"));
    return true;
  }));
  EXPECT_EQ(admin, "root");
  EXPECT_EQ(Key("Defaults", "WebEnable"), "TRUE");
  EXPECT_EQ(Key("Defaults", "WebAddress"), "127.0.0.1:8099");
  EXPECT_EQ(Key("Defaults", "WebNoDays"), "-7");
  EXPECT_EQ(Key("Defaults", "WebNoReports"), "4");
  EXPECT_EQ(Key("Defaults", "WebLogging"), "1");
  EXPECT_EQ(Key("Defaults", "WebAllowReport"), "0");
  EXPECT_EQ(Key("Defaults", "WebAdmin"), "groot");
  EXPECT_TRUE(boxes.empty());
}

TEST_F(OptionsTest, WebAccessWithoutTheLogonRightStaysDisabled) {
  unsetenv("KV_LOGON_USERS");  // no account file: the logon right is missing
  ASSERT_TRUE(RunSheet([&](KvWindow sheet) {
    KvWindow page = Page(sheet, 5);
    kv::ui::CheckDlgButton(page, ids::kWebEnable, kv::ui::Checked);
    // The placeholder left in the field is no address.
    kv::ui::CheckDlgButton(page, ids::kWebAllAddresses, kv::ui::Unchecked);
    return true;
  }));
  EXPECT_EQ(Key("Defaults", "WebEnable"), "FALSE");
  EXPECT_EQ(Key("Defaults", "WebAddress"), ":99");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0].find("Kelvaron|The account does not hold the right"), std::string::npos) << boxes[0];
}

TEST_F(OptionsTest, LanguagePageListsAndWritesLanguagesAndCountry) {
  struct Case {
    const char* program;
    const char* report;
    const char* chooseReport;
    bool message;
  };
  const Case cases[] = {
      {"english", "GERMAN", "FRENCH", false},  // found without regard to case: no message
      {"KLINGON", "NONE", "GERMAN", true},     // not offered: the first entry is chosen and differs
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    boxes.clear();
    std::ofstream(GetBaseIniPath(), std::ios::trunc)
        << "[Language]\nProgram=" << c.program << "\nReport=" << c.report << "\nCountry=GB\n";
    std::vector<std::string> reports, programs;
    std::string country, report;
    ASSERT_TRUE(RunSheet([&](KvWindow sheet) {
      KvWindow page = Page(sheet, 0);
      for (int32_t i = 0; i < kv::ui::ListGetCount(page, ids::kReportLanguage); ++i)
        reports.push_back(kv::ui::ListGetString(page, ids::kReportLanguage, i));
      for (int32_t i = 0; i < kv::ui::ListGetCount(page, ids::kProgramLanguage); ++i)
        programs.push_back(kv::ui::ListGetString(page, ids::kProgramLanguage, i));
      report = kv::ui::ListGetString(page, ids::kReportLanguage, kv::ui::ListGetCurSel(page, ids::kReportLanguage));
      country = kv::ui::ListGetString(page, ids::kCountry, kv::ui::ListGetCurSel(page, ids::kCountry));
      kv::ui::ListSetCurSel(page, ids::kReportLanguage, kv::ui::ListFindString(page, ids::kReportLanguage, c.chooseReport));
      kv::ui::ListSetCurSel(page, ids::kCountry, kv::ui::ListFindString(page, ids::kCountry, "DE\tGermany"));
      return true;
    }));
    EXPECT_EQ(reports, (std::vector<std::string>{"ENGLISH", "FRENCH", "GERMAN"}));
    EXPECT_EQ(programs, (std::vector<std::string>{"ENGLISH"}));
    EXPECT_EQ(report, std::string(c.report) == "NONE" ? "ENGLISH" : c.report);
    EXPECT_EQ(country, "GB\tUnited Kingdom");
    EXPECT_EQ(Key("Language", "Program"), "ENGLISH");
    EXPECT_EQ(Key("Language", "Report"), c.chooseReport);
    EXPECT_EQ(Key("Language", "Country"), "DE");
    EXPECT_EQ(boxes.size(), c.message ? 1u : 0u);
    if (c.message && !boxes.empty()) {
      EXPECT_NE(boxes[0].find("next time"), std::string::npos);
    }
  }
}

TEST_F(OptionsTest, ServicePageWritesTheLogonAccount) {
  std::string stored;
  ASSERT_TRUE(ScramblePassword("old", stored));
  std::ofstream(GetBaseIniPath(), std::ios::trunc) << "[Defaults]\nUsername=alice\nPassword=" << stored << "\n";
  struct Case {
    const char* user;
    const char* password;
    bool changed;
    const char* kept;
  };
  const Case cases[] = {
      {"alice", "old", false, "old"},
      {"alice", "new", true, "new"},
      {"bob", "old", true, "old"},
      {"alice", "0123456789012345678901234567890123456789", true, "012345678901234567890123456789"},
      {"alice", "", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password);
    std::ofstream(GetBaseIniPath(), std::ios::trunc) << "[Defaults]\nUsername=alice\nPassword=" << stored << "\n";
    bool wasEnabled = true;
    ASSERT_TRUE(RunSheet([&](KvWindow sheet) {
      KvWindow page = Page(sheet, 2);
      EXPECT_FALSE(IsChecked(page, ids::kRunAsService));
      EXPECT_EQ(Text(page, ids::kServiceUser), "alice");
      EXPECT_EQ(Text(page, ids::kServicePassword), "old");
      wasEnabled = kv::ui::IsWindowEnabled(kv::ui::GetDlgItem(page, ids::kServiceUser));
      kv::ui::PressButton(page, ids::kRunAsService);
      EXPECT_TRUE(kv::ui::IsWindowEnabled(kv::ui::GetDlgItem(page, ids::kServiceUser)));
      kv::ui::SetDlgItemText(page, ids::kServiceUser, c.user);
      kv::ui::SetDlgItemText(page, ids::kServicePassword, c.password);
      return true;
    }));
    EXPECT_FALSE(wasEnabled);
    EXPECT_TRUE(ServiceSwitch());
    EXPECT_EQ(LogonAccountChanged(), c.changed);
    EXPECT_EQ(Key("Defaults", "Username"), c.user);
    EXPECT_EQ(ReadScrambledSetting(settings::kPassword), c.kept);
    if (!*c.password) {
      EXPECT_EQ(Key("Defaults", "Password"), "");
    }
  }
}

TEST_F(OptionsTest, MailPageWritesItsKeys) {
  std::ofstream(GetBaseIniPath(), std::ios::trunc) << "[eMail]\nSubject=Weekly\n";
  const std::string longPassword(40, 'p');
  std::string server, from;
  ASSERT_TRUE(RunSheet([&](KvWindow sheet) {
    KvWindow page = Page(sheet, 4);
    EXPECT_TRUE(IsChecked(page, ids::kMailSmtp));
    EXPECT_FALSE(kv::ui::IsWindowEnabled(kv::ui::GetDlgItem(page, ids::kMapiProfile)));
    server = Text(page, ids::kMailServer);
    from = Text(page, ids::kMailFrom);
    EXPECT_EQ(Text(page, ids::kMailSubject), "Weekly");
    kv::ui::PressButton(page, ids::kMailMapi);
    EXPECT_TRUE(kv::ui::IsWindowEnabled(kv::ui::GetDlgItem(page, ids::kMapiProfile)));
    EXPECT_FALSE(kv::ui::IsWindowEnabled(kv::ui::GetDlgItem(page, ids::kMailServer)));
    kv::ui::SetDlgItemText(page, ids::kMapiProfile, "Office");
    kv::ui::SetDlgItemText(page, ids::kMapiPassword, longPassword.c_str());
    return true;
  }));
  EXPECT_EQ(server, kDefaultMailHost);
  EXPECT_EQ(from, kDefaultMailSender);
  EXPECT_EQ(Key("eMail", "eMailType"), "MAPI");
  EXPECT_EQ(Key("eMail", "Subject"), "Weekly");
  EXPECT_EQ(Key("eMail", "MAPIProfile"), "Office");
  EXPECT_EQ(Key("eMail", "SMTPServer"), kDefaultMailHost);
  // The password is kept as far as the scrambled form holds it, never lost.
  EXPECT_EQ(ReadScrambledSetting(settings::kMapiPassword), longPassword.substr(0, 35));
  std::string stored = Key("eMail", "MAPIPassword");
  EXPECT_EQ(stored.size(), 80u);
}

TEST_F(OptionsTest, BrowserPageBrowsesForTheProgram) {
  const std::string folder = g_dir + "browsers";
  fs::create_directories(folder + "/more");
  std::ofstream(folder + "/firefox") << "#!/bin/sh\n";
  std::ofstream(folder + "/more/chromium") << "#!/bin/sh\n";
  std::ofstream(GetBaseIniPath(), std::ios::trunc) << "[Browser]\nPath=" << folder << "/old\n";
  std::vector<std::string> listed;
  std::string shownFolder;
  int step = 0;
  ASSERT_TRUE(RunSheet(
      [&](KvWindow sheet) {
        KvWindow page = Page(sheet, 1);
        EXPECT_TRUE(kv::ui::PressButton(page, ids::kBrowserBrowse));
        return true;
      },
      [&](KvWindow dialog, DialogEvent event) {
        if (event != DialogEvent::Shown || WindowText(dialog) != "Choose the browser program") return;
        // Opened in the folder of the program named so far.
        shownFolder = Text(dialog, ids::kChooserFolder);
        for (int i = 0; i < kv::ui::ListGetCount(dialog, ids::kChooserList); ++i)
          listed.push_back(kv::ui::ListGetString(dialog, ids::kChooserList, i));
        // A folder opens on OK; a file chosen there ends the chooser.
        kv::ui::SetDlgItemText(dialog, ids::kChooserName, "more");
        kv::ui::PressButton(dialog, kv::ui::IdOk);
        EXPECT_EQ(Text(dialog, ids::kChooserFolder), folder + "/more");
        kv::ui::SetDlgItemText(dialog, ids::kChooserName, "chromium");
        kv::ui::PressButton(dialog, kv::ui::IdOk);
        ++step;
      }));
  EXPECT_EQ(step, 1);
  EXPECT_EQ(shownFolder, folder);
  EXPECT_EQ(listed, (std::vector<std::string>{"../", "more/", "firefox"}));
  EXPECT_EQ(Key("Browser", "Path"), folder + "/more/chromium");

  // Cancelled, the field keeps what it held.
  ASSERT_TRUE(RunSheet(
      [&](KvWindow sheet) {
        EXPECT_TRUE(kv::ui::PressButton(Page(sheet, 1), ids::kBrowserBrowse));
        return true;
      },
      [&](KvWindow dialog, DialogEvent event) {
        if (event != DialogEvent::Shown || WindowText(dialog) != "Choose the browser program") return;
        kv::ui::SetDlgItemText(dialog, ids::kChooserName, "firefox");
        kv::ui::PressButton(dialog, kv::ui::IdCancel);
      }));
  EXPECT_EQ(Key("Browser", "Path"), folder + "/more/chromium");
}

TEST_F(OptionsTest, PageButtonBitmapIsInTheResourceModule) {
  const KvResourceEntry* entry = KvFindResource(base_, KV_RESOURCE_BITMAP, kOptionsBitmapId);
  ASSERT_NE(entry, nullptr);
  ASSERT_GE(entry->size, 54u);
  const auto* bytes = static_cast<const unsigned char*>(entry->data);
  auto u32 = [&](size_t at) {
    return static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | bytes[at + 3] << 24);
  };
  EXPECT_EQ(bytes[0], 'B');
  EXPECT_EQ(bytes[1], 'M');
  EXPECT_EQ(u32(2), entry->size);  // the file's own size
  EXPECT_EQ(u32(18), 32u);         // a 32 x 32 image, as the page button shows
  EXPECT_EQ(u32(22), 32u);
}

TEST_F(OptionsTest, BrowserPageWritesThePath) {
  std::ofstream(GetBaseIniPath(), std::ios::trunc) << "[Browser]\nPath=/usr/bin/old\n";
  std::string shown;
  ASSERT_TRUE(RunSheet([&](KvWindow sheet) {
    KvWindow page = Page(sheet, 1);
    shown = Text(page, ids::kBrowserPath);
    kv::ui::SetDlgItemText(page, ids::kBrowserPath, "C:\\Program Files\\IEXPLORE.EXE");
    return true;
  }));
  EXPECT_EQ(shown, "/usr/bin/old");
  EXPECT_EQ(Key("Browser", "Path"), "C:\\Program Files\\IEXPLORE.EXE");
  EXPECT_EQ(GetBrowserKind(), 1);
}

// ---- the Options window -----------------------------------------------------------

TEST(OptionsWindowTest, PlugInPagesAreCreatedAndClosedWithTheirResult) {
  ASSERT_TRUE(kv::host::LoadSupportLibraries(g_dir, 0));
  std::vector<OptionsWindowPage> pages = OptionsWindowPages();
  ASSERT_EQ(pages.size(), 2u);  // the other plug-in has no option page
  EXPECT_EQ(pages[0].name, "General");
  EXPECT_EQ(pages[0].libraryId, 0);
  EXPECT_EQ(pages[1].name, "Opts Test");
  EXPECT_EQ(pages[1].libraryId, 9);

  std::string log = g_dir + "optspage.log";
  setenv("KV_OPTS_PLUGIN_LOG", log.c_str(), 1);
  struct Case {
    const char* result;
    bool ok;
    const char* calls;
  };
  const Case cases[] = {{"1", true, "create\nclose save=1\n"},
                        {"0", false, "create\nclose save=0\n"},
                        {"-1", false, "create\nclose save=0\n"}};
  for (const Case& c : cases) {
    fs::remove(log);
    setenv("KV_OPTS_PLUGIN_RESULT", c.result, 1);
    EXPECT_EQ(RunOptionsWindow(0, 1), c.ok) << c.result;
    std::ifstream in(log);
    std::string calls((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(calls, c.calls) << c.result;
  }
  fs::remove(log);
  EXPECT_FALSE(RunOptionsWindow(0, 2));
  EXPECT_FALSE(RunOptionsWindow(0, -1));
  EXPECT_FALSE(fs::exists(log));
  unsetenv("KV_OPTS_PLUGIN_LOG");
  unsetenv("KV_OPTS_PLUGIN_RESULT");
  kv::host::UnloadSupportLibraries();
  kv::host::ClearEntryArrays();
}

// ---- NT service ------------------------------------------------------------------

TEST_F(OptionsTest, ServiceRunningWithTheSwitchOffIsRemoved) {
  ASSERT_TRUE(kv::svc::CreateService(kv::app::kServiceName, "Kelvaron v4.0 Real-Time Service",
                                     kv::svc::kOwnProcess | kv::svc::kInteractive, "/bin/true /service"));
  kv::app::App().runningAsService = true;
  ASSERT_TRUE(RunSheet([&](KvWindow sheet) {
    KvWindow page = Page(sheet, 2);
    EXPECT_TRUE(IsChecked(page, ids::kRunAsService));
    kv::ui::PressButton(page, ids::kRunAsService);
    return true;
  }));
  EXPECT_FALSE(ServiceSwitch());
  ConfigureNtService(true);
  EXPECT_FALSE(kv::svc::IsServiceInstalled(kv::app::kServiceName));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0],
            "Kelvaron Service|Kelvaron Service will now exit. Please restart Kelvaron for the new settings to take "
            "effect.");
  EXPECT_TRUE(kv::app::App().exitRequested.load());  // the program closes
  kv::app::App().exitRequested = false;
  kv::app::App().runningAsService = false;

  // Cancel restores the switch; without OK nothing happens at all.
  kv::app::App().runningAsService = true;
  EXPECT_FALSE(RunSheet([&](KvWindow sheet) {
    kv::ui::PressButton(Page(sheet, 2), ids::kRunAsService);
    return false;
  }));
  EXPECT_TRUE(ServiceSwitch());
  boxes.clear();
  ConfigureNtService(false);
  EXPECT_TRUE(boxes.empty());
  EXPECT_FALSE(kv::app::App().exitRequested.load());
  kv::app::App().runningAsService = false;
}

TEST_F(OptionsTest, ServiceThatFailsToStartIsRemovedAgain) {
  // The service's program is missing, so its start fails.
  fs::rename(g_dir + "KELVARON", g_dir + "KELVARON.away");
  ASSERT_TRUE(RunSheet([&](KvWindow sheet) {
    kv::ui::PressButton(Page(sheet, 2), ids::kRunAsService);
    return true;
  }));
  ConfigureNtService(true);
  fs::rename(g_dir + "KELVARON.away", g_dir + "KELVARON");
  EXPECT_FALSE(kv::svc::IsServiceInstalled(kv::app::kServiceName));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].rfind("Kelvaron|Kelvaron Service failed to start. Kelvaron will remove the Service. (", 0), 0u)
      << boxes[0];
  EXPECT_FALSE(kv::app::App().exitRequested.load());
}

TEST_F(OptionsTest, ServiceThatCannotBeInstalledLeavesAnExistingOneAlone) {
  // A service of that name exists already: creating it fails, and the one
  // that is there is neither started nor removed.
  ASSERT_TRUE(kv::svc::CreateService(kv::app::kServiceName, "other", kv::svc::kOwnProcess, "/bin/true"));
  ASSERT_TRUE(RunSheet([&](KvWindow sheet) {
    kv::ui::PressButton(Page(sheet, 2), ids::kRunAsService);
    return true;
  }));
  ConfigureNtService(true);
  EXPECT_TRUE(kv::svc::IsServiceInstalled(kv::app::kServiceName));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0].find("failed to install/start"), std::string::npos) << boxes[0];
  kv::svc::DeleteService(kv::app::kServiceName);
}

// ---- the remote report server ---------------------------------------------------

// GET of the path on loopback; "" when nobody answers.
std::string Fetch(uint16_t port, const char* path) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return "";
  }
  std::string request = std::string("GET ") + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

std::string FetchWhenUp(uint16_t port, const char* path) {
  for (int i = 0; i < 500; ++i) {
    if (IsWebServerRunning()) {
      std::string page = Fetch(port, path);
      if (!page.empty()) return page;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "";
}

TEST(RemoteReportsTest, TheProgramServesTheLogOnPageWhileItRuns) {
  uint16_t port = kv::test::FreePort();
  std::ofstream(GetBaseIniPath(), std::ios::trunc) << "[Language]\nProgram=ENGLISH\n[Defaults]\nWebEnable=TRUE\n"
                                                   << "WebAddress=127.0.0.1:" << port << "\n";
  std::string page;
  bool panelShown = false;
  auto previous = kv::ui::SetDialogScript([&](KvWindow dialog, DialogEvent event) {
    if (event == DialogEvent::Shown && dialog == kv::app::App().panelWindow.load()) panelShown = true;
  });
  std::vector<std::string> profiles;
  int32_t known = 0, unknown = 0;
  std::thread client([&] {
    page = FetchWhenUp(port, "/");
    // The hooks, as a connection thread calls them, reach the plug-ins on
    // the program's own thread.
    RemoteReportHooks hooks = GetRemoteReportHooks();
    if (hooks.listProfiles) profiles = hooks.listProfiles();
    RemoteReportJob job;
    job.profile = "One";
    job.folder = g_dir + "job";
    if (hooks.runReport) known = hooks.runReport(job);  // the plug-in makes no reports
    job.profile = "Three";
    if (hooks.runReport) unknown = hooks.runReport(job);
    kv::app::RequestExit();
  });
  int code = kv::app::RunApplication(KvSelfModule(), 0, "", kv::ui::ShowNormal);
  client.join();
  kv::ui::SetDialogScript(previous);
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(panelShown);
  EXPECT_EQ(page.rfind("HTTP/1.0 200", 0), 0u) << page.substr(0, 200);
  EXPECT_NE(page.find("ACTION=\"/logon.htm\""), std::string::npos);
  EXPECT_EQ(profiles, (std::vector<std::string>{"One", "Two"}));
  EXPECT_EQ(known, -1);
  EXPECT_EQ(unknown, -1);
  // Shutdown stopped the server.
  EXPECT_FALSE(IsWebServerRunning());
  EXPECT_EQ(Fetch(port, "/"), "");
}

TEST_F(OptionsTest, SavedOptionsStartAndStopTheServer) {
  uint16_t port = kv::test::FreePort();
  InitRemoteReports();
  auto enable = [&](bool on) {
    return RunSheet([&](KvWindow sheet) {
      KvWindow page = Page(sheet, 5);
      kv::ui::CheckDlgButton(page, ids::kWebEnable, on ? kv::ui::Checked : kv::ui::Unchecked);
      kv::ui::CheckDlgButton(page, ids::kWebAllAddresses, kv::ui::Unchecked);
      kv::ui::SetDlgItemText(page, ids::kWebAddress, "127.0.0.1");
      kv::ui::SetDlgItemText(page, ids::kWebPort, std::to_string(port).c_str());
      return true;
    });
  };
  ASSERT_TRUE(enable(true));
  ConfigureNtService(true);
  std::string page = FetchWhenUp(port, "/");
  EXPECT_EQ(page.rfind("HTTP/1.0 200", 0), 0u) << page.substr(0, 200);
  ASSERT_TRUE(enable(false));
  ConfigureNtService(true);
  for (int i = 0; i < 250 && IsWebServerRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(IsWebServerRunning());
  ExitRemoteReports();
  EXPECT_EQ(Fetch(port, "/"), "");
}

}  // namespace
