#include "shell/settings_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/base/ini.h"
#include "platform/base/registry.h"
#include "platform/module/module.h"

namespace {

namespace fs = std::filesystem;

const char* const kOwnerKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const char* const kNtOwnerKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// One program folder for the whole run: the INI path is built once.
class ProgramFolderEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "kvsettingsXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    setenv("KV_REGISTRY", (folder_ + "/registry.ini").c_str(), 1);
    StoreProgramPath((folder_ + "/KELVARON").c_str());
  }
  void TearDown() override { fs::remove_all(folder_); }
  static std::string folder_;
};
std::string ProgramFolderEnvironment::folder_;
testing::Environment* const kEnvironment = testing::AddGlobalTestEnvironment(new ProgramFolderEnvironment);

class SettingsFile : public testing::Test {
 protected:
  void SetUp() override {
    fs::remove(ProgramFolderEnvironment::folder_ + "/KELVARON.INI");
    fs::remove(ProgramFolderEnvironment::folder_ + "/registry.ini");
  }
  static std::string Raw(const char* section, const char* key) {
    return kv::IniString(section, key, "<absent>", GetBaseIniPath());
  }
  static void Put(const char* section, const char* key, const char* value) {
    ASSERT_TRUE(kv::IniWriteString(section, key, value, GetBaseIniPath()));
  }
};

TEST_F(SettingsFile, PathsComeFromTheProgramFile) {
  EXPECT_EQ(std::string(GetBaseIniPath()), ProgramFolderEnvironment::folder_ + "/KELVARON.INI");
  EXPECT_EQ(std::string(GetProgramDirectory()), ProgramFolderEnvironment::folder_ + "/");
  EXPECT_EQ(GetBaseIniPath(), GetBaseIniPath()) << "built once";

  struct Case {
    const char* program;
    const char* folder;
  };
  const Case cases[] = {
      {"C:\\KELVARON.EXE", "C:\\"},
      {"C:\\Program Files\\Kelvaron\\KELVARON.EXE", "C:\\Program Files\\Kelvaron\\"},
      {"/opt/kv/bin/KELVARON", "/opt/kv/bin/"},
      {"KELVARON", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ProgramFolderOf(c.program), c.folder) << c.program;
  EXPECT_EQ(ProgramFolderOf("C:\\KELVARON.EXE") + "KELVARON.INI", "C:\\KELVARON.INI");
}

TEST_F(SettingsFile, DefaultsWhenTheFileIsMissing) {
  EXPECT_EQ(ReadTimeout(), 60);
  EXPECT_TRUE(PicturesEnabled());
  int16_t start = 7, offset = 7;
  ReadListPosition(start, offset);
  EXPECT_EQ(start, 0);
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(ReadListRefreshRate(), 30);
  EXPECT_EQ(ReadCpuUsage(), 100);
  EXPECT_TRUE(ShowImportOffer());
  EXPECT_EQ(ReadBrowserPath(), "");
  EXPECT_EQ(ReadLastSummary(), "");
  EXPECT_EQ(ReadLastView(), "");
  EXPECT_EQ(ReadDefaultTemplate(), "EXECUTIV.TPL");
  EXPECT_EQ(ReadProgramLanguage(), "ENGLISH");
  EXPECT_EQ(ReadReportLanguage(), "ENGLISH");
  EXPECT_EQ(ReadCountry(), "US");
  EXPECT_EQ(ReadSetting(settings::kMailSubject), "Kelvaron Reports");
  EXPECT_EQ(ReadSetting(settings::kMailType), "SMTP");
  EXPECT_FALSE(ReadMailUsesMapi());
  EXPECT_FALSE(ReadSettingFlag(settings::kProxyEnable));
  EXPECT_EQ(ReadScrambledSetting(settings::kPassword), "");
  EXPECT_FALSE(fs::exists(GetBaseIniPath())) << "reading creates nothing";
}

TEST_F(SettingsFile, IntegerKeys) {
  Put("Defaults", "Timeout", "15");
  Put("Defaults", "NoPictures", "1");
  Put("Defaults", "ListRefreshRate", "5");
  Put("Defaults", "DontDisplayImportDlg", "3");
  EXPECT_EQ(ReadTimeout(), 15);
  EXPECT_FALSE(PicturesEnabled());
  EXPECT_EQ(ReadListRefreshRate(), 5);
  EXPECT_FALSE(ShowImportOffer());

  Put("Defaults", "DontDisplayImportDlg", nullptr);
  EXPECT_TRUE(ShowImportOffer());
  SuppressImportOffer();
  EXPECT_EQ(Raw("Defaults", "DontDisplayImportDlg"), "1");
  EXPECT_FALSE(ShowImportOffer());

  WriteListPosition(12, 65535);
  EXPECT_EQ(Raw("Defaults", "ListStart"), "12");
  EXPECT_EQ(Raw("Defaults", "ListOffset"), "65535");
  int16_t start = 0, offset = 0;
  ReadListPosition(start, offset);
  EXPECT_EQ(start, 12);
  EXPECT_EQ(offset, -1);
}

TEST_F(SettingsFile, CpuUsageIsSixteenBitsAndAtMostHundred) {
  struct Case {
    const char* stored;
    uint16_t expected;
  };
  const Case cases[] = {{nullptr, 100}, {"250", 100}, {"100", 100}, {"50", 50}, {"0", 0},
                        {"-1", 100},    {"65536", 0}, {"65586", 50}, {"abc", 100}};
  for (const Case& c : cases) {
    Put("Defaults", "CPUUsage", c.stored);
    EXPECT_EQ(ReadCpuUsage(), c.expected) << (c.stored ? c.stored : "(absent)");
  }
}

TEST_F(SettingsFile, TextKeysAreCutToTheirBuffers) {
  const std::string longText(300, 'x');
  struct Case {
    void (*write)(const char*);
    std::string (*read)();
    size_t kept;
  };
  const Case cases[] = {
      {WriteBrowserPath, ReadBrowserPath, 79},         {WriteLastSummary, ReadLastSummary, 39},
      {WriteLastView, ReadLastView, 39},               {WriteDefaultTemplate, ReadDefaultTemplate, 79},
      {WriteProgramLanguage, ReadProgramLanguage, 29}, {WriteReportLanguage, ReadReportLanguage, 29},
      {WriteCountry, ReadCountry, 29},
  };
  for (const Case& c : cases) {
    c.write("short value");
    EXPECT_EQ(c.read(), "short value");
    c.write(longText.c_str());
    EXPECT_EQ(c.read(), longText.substr(0, c.kept));
  }
  EXPECT_EQ(Raw("Report", "Last View"), longText) << "the file keeps the whole value";
  EXPECT_EQ(Raw("Language", "Country"), longText);
}

TEST_F(SettingsFile, BooleansByFirstCharacter) {
  struct Case {
    const char* stored;
    bool proxy;
    bool mapi;
  };
  const Case cases[] = {
      {"TRUE", true, false}, {"true", true, false},  {"1", true, false},    {"T", true, false},
      {"FALSE", false, false}, {"0", false, false},  {"yes", false, false}, {"", false, false},
      {"MAPI", false, true}, {"mapi", false, true},  {"SMTP", false, false},
  };
  for (const Case& c : cases) {
    Put("Defaults", "ProxyEnable", c.stored);
    Put("eMail", "eMailType", c.stored);
    EXPECT_EQ(ReadSettingFlag(settings::kProxyEnable), c.proxy) << c.stored;
    EXPECT_EQ(ReadMailUsesMapi(), c.mapi) << c.stored;
  }
  ASSERT_TRUE(WriteSettingFlag(settings::kProxyEnable, true));
  EXPECT_EQ(Raw("Defaults", "ProxyEnable"), "TRUE");
  ASSERT_TRUE(WriteSettingFlag(settings::kProxyEnable, false));
  EXPECT_EQ(Raw("Defaults", "ProxyEnable"), "FALSE");
}

TEST_F(SettingsFile, BrowserKindFollowsTheBrowserPath) {
  struct Case {
    int before;
    const char* path;
    int after;
  };
  const Case cases[] = {
      {0, "C:\\Program Files\\Internet Explorer\\iexplore.exe", 1},
      {0, "C:\\PROGRA~1\\IE\\IEXPLORE.EXE", 1},
      {1, "C:\\Netscape\\Program\\netscape.exe", 0},
      {1, "/usr/bin/NetScape.Exe", 0},
      {1, "C:\\Other\\browser.exe", 1},
      {0, "C:\\Other\\browser.exe", 0},
      {1, "C:\\tools\\iexplore.exe.bak", 1},
      {1, "C:\\iexplore.exe\\netscape", 1},
  };
  for (const Case& c : cases) {
    SetBrowserKind(c.before);
    WriteBrowserPath(c.path);
    EXPECT_EQ(GetBrowserKind(), c.after) << c.path;
    EXPECT_EQ(ReadBrowserPath(), c.path);
  }
}

TEST_F(SettingsFile, AuthorAndCompanyComeFromTheRegistryOnce) {
  char author[64], company[8];
  // Nothing anywhere: both stay empty and nothing is written.
  ReadAuthorAndCompany(author, sizeof author, company, sizeof company);
  EXPECT_STREQ(author, "");
  EXPECT_STREQ(company, "");
  EXPECT_EQ(Raw("Main", "Author"), "<absent>");
  EXPECT_EQ(Raw("Main", "Company"), "<absent>");

  // The owner from the first key, the organisation only under the NT key.
  ASSERT_TRUE(kv::RegSetString(kOwnerKey, "RegisteredOwner", "Ada Owner"));
  ASSERT_TRUE(kv::RegSetString(kNtOwnerKey, "RegisteredOwner", "NT Owner"));
  ASSERT_TRUE(kv::RegSetString(kNtOwnerKey, "RegisteredOrganization", "Example Organisation Ltd"));
  ReadAuthorAndCompany(author, sizeof author, company, sizeof company);
  EXPECT_STREQ(author, "Ada Owner");
  EXPECT_STREQ(company, "Example") << "cut to the caller's buffer";
  EXPECT_EQ(Raw("Main", "Author"), "Ada Owner");
  EXPECT_EQ(Raw("Main", "Company"), "Example Organisation Ltd") << "the file keeps the whole name";

  // Once the keys hold values the registry is no longer consulted.
  ASSERT_TRUE(kv::RegSetString(kOwnerKey, "RegisteredOwner", "Someone Else"));
  ReadAuthorAndCompany(author, sizeof author, company, sizeof company);
  EXPECT_STREQ(author, "Ada Owner");

  // A value the user typed wins over the registry.
  Put("Main", "Author", "Typed Author");
  ReadAuthorAndCompany(author, sizeof author, nullptr, 0);
  EXPECT_STREQ(author, "Typed Author");
}

TEST_F(SettingsFile, ScrambledPasswords) {
  ASSERT_TRUE(WriteScrambledSetting(settings::kPassword, "s3cret:pass"));
  std::string stored = Raw("Defaults", "Password");
  EXPECT_EQ(stored.size(), 80u);
  EXPECT_EQ(stored.find("s3cret"), std::string::npos);
  EXPECT_EQ(ReadScrambledSetting(settings::kPassword), "s3cret:pass");
  ASSERT_TRUE(WriteScrambledSetting(settings::kPassword, "s3cret:pass"));
  EXPECT_NE(Raw("Defaults", "Password"), stored) << "two writes store different texts";
  EXPECT_EQ(ReadScrambledSetting(settings::kPassword), "s3cret:pass");

  ASSERT_TRUE(WriteScrambledSetting(settings::kMapiPassword, ""));
  EXPECT_EQ(Raw("eMail", "MAPIPassword"), "");
  EXPECT_EQ(ReadScrambledSetting(settings::kMapiPassword), "");

  // A password that does not fit is refused and the old one stays.
  EXPECT_FALSE(WriteScrambledSetting(settings::kPassword, std::string(36, 'x')));
  EXPECT_EQ(ReadScrambledSetting(settings::kPassword), "s3cret:pass");
}

TEST_F(SettingsFile, OdbcAvailability) {
  KvModule probe = KvLoadModule("ODBC32.DLL");
  bool present = probe != nullptr;
  if (probe != nullptr) KvFreeModule(probe);

  EXPECT_FALSE(IsOdbcAvailable(0));
  EXPECT_FALSE(IsOdbcAvailable(3));
  EXPECT_EQ(IsOdbcAvailable(1), present);
  EXPECT_EQ(IsOdbcAvailable(1), present);
  EXPECT_FALSE(IsOdbcAvailable(2)) << "GlobalPellavarODBC absent";
  Put("Defaults", "GlobalPellavarODBC", "0");
  EXPECT_FALSE(IsOdbcAvailable(2));
  Put("Defaults", "GlobalPellavarODBC", "1");
  EXPECT_EQ(IsOdbcAvailable(2), present);
}

TEST_F(SettingsFile, WriteProfileUnsignedWritesDecimal) {
  struct Case {
    uint32_t value;
    const char* text;
  };
  const Case cases[] = {{0, "0"}, {42, "42"}, {2147483648u, "2147483648"}, {4294967295u, "4294967295"}};
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteProfileUnsigned("Some Section", "Value", c.value, GetBaseIniPath()));
    EXPECT_EQ(Raw("Some Section", "Value"), c.text);
  }
}

TEST(CutAtMarkerChar, TurnsEveryMarkerIntoNul) {
  char text[] = "first\x01second\x01third\x01";
  CutAtMarkerChar(text);
  EXPECT_EQ(std::string(text, sizeof text), std::string("first\0second\0third\0\0", sizeof text));

  char none[] = "plain";
  CutAtMarkerChar(none);
  EXPECT_STREQ(none, "plain");
  char only[] = "\x01\x01";
  CutAtMarkerChar(only);
  EXPECT_EQ(std::string(only, 3), std::string("\0\0\0", 3));
  CutAtMarkerChar(nullptr);
}

}  // namespace
