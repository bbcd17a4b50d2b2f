// The profile folder's files: schedules and memorized reports key by key,
// the lists and free names, save-to addresses and the schedule's date texts.
#include "linkanalysis/profiles_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>

#include "linkanalysis/link_testutil.h"
#include "platform/ostrel/ostrel.h"

namespace fs = std::filesystem;
using kvla::test::ReadFile;
using kvla::test::TempFolder;
using kvla::test::WriteFile;

namespace {

class LinkProfileFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kvla::SetLocalDirectory(local_.path());
    fs::create_directories(kvla::ProfileFolder());
  }
  void TearDown() override { kvla::SetLocalDirectory(""); }
  std::string Profile(const std::string& name) const { return kvla::ProfileFolder() + name; }
  TempFolder local_;
};

TEST_F(LinkProfileFilesTest, ScheduleRoundTripKeepsEveryFieldAndKeyOrder) {
  ScheduleEntry in{};
  std::snprintf(in.scheduleFile, sizeof in.scheduleFile, "%s", Profile("LINK0.LAS").c_str());
  in.startTime = 1700000000;
  in.repeatType = 3;
  in.repeatFrequency = 2;
  std::snprintf(in.saveAs, sizeof in.saveAs, "ftp://host/dir/REPORT.HTM");
  std::snprintf(in.associatedProfile, sizeof in.associatedProfile, "%s", Profile("LINK0.LAP").c_str());
  std::snprintf(in.username, sizeof in.username, "operator");
  // The longest password the record holds must come back whole.
  std::memset(in.password, 'p', sizeof in.password - 1);
  in.password[3] = '=';
  std::snprintf(in.memorizedReport, sizeof in.memorizedReport, "%s", Profile("LINK0.LAR").c_str());
  ASSERT_TRUE(kvla::WriteSchedule(&in));

  std::string text = ReadFile(in.scheduleFile);
  EXPECT_EQ(text.find(std::string(in.password)), std::string::npos) << "password stored in plain text";
  const char* order[] = {"StartTime=", "RepeatType=", "RepeatFrequency=", "SaveAsFilename=",
                         "AssociatedProfileFilename=", "Username=", "Password=", "MemorizedReportFilename="};
  size_t last = 0;
  for (const char* key : order) {
    size_t at = text.find(key);
    ASSERT_NE(at, std::string::npos) << key;
    EXPECT_GE(at, last) << key;
    last = at;
  }

  ScheduleEntry out{};
  out.hasProfile = 7;
  ASSERT_TRUE(kvla::ReadSchedule(in.scheduleFile, &out));
  EXPECT_EQ(std::memcmp(&in, &out, sizeof in), 0);
}

TEST_F(LinkProfileFilesTest, MissingScheduleReadsEmptyAndTooLongPathIsRefused) {
  ScheduleEntry out{};
  ASSERT_TRUE(kvla::ReadSchedule(Profile("NONE.LAS").c_str(), &out));
  EXPECT_EQ(out.startTime, 0);
  EXPECT_STREQ(out.saveAs, "");
  EXPECT_STREQ(out.password, "");
  EXPECT_STREQ(out.scheduleFile, Profile("NONE.LAS").c_str());
  std::string longPath(300, 'x');
  EXPECT_FALSE(kvla::ReadSchedule(longPath.c_str(), &out));
  EXPECT_STREQ(out.scheduleFile, "");
}

TEST_F(LinkProfileFilesTest, MemorizedReportStoredValuesAreChecked) {
  struct Case {
    const char* lines;
    int32_t index;  // table index, or -1 for URLType
    int32_t expected;
  } cases[] = {
      {"URLType=2", -1, 0},   {"URLType=-1", -1, 0},        {"URLType=4", -1, 0},
      {"URLType=1", -1, 1},   {"URLType=3", -1, 3},         {"", -1, 0},
      {"Thumbnails=0", 7, 50}, {"Suggestions=3000", 8, 10}, {"BrokenLinks=-5", 0, 50},
      {"Syntax=2000", 9, 2000}, {"GraphicsImages=1", 6, 1}, {"", 6, 100},
      {"LargestPages=x", 5, 10},
  };
  for (const Case& c : cases) {
    std::string path = Profile("CASE.LAR");
    WriteFile(path, std::string("[Main]\r\n") + c.lines + "\r\n");
    kvla::MemorizedReport report;
    EXPECT_TRUE(kvla::ReadMemorizedReport(path.c_str(), &report)) << c.lines;
    int32_t got = c.index < 0 ? report.urlType : report.rows[c.index];
    EXPECT_EQ(got, c.expected) << c.lines;
  }
  kvla::MemorizedReport missing;
  EXPECT_FALSE(kvla::ReadMemorizedReport(Profile("NONE.LAR").c_str(), &missing));
  EXPECT_EQ(missing.rows[0], 50);
  EXPECT_EQ(kvla::ReportRowDefault(10), 1);
  EXPECT_EQ(kvla::ReportRowMaximum(-1), 1);
}

TEST_F(LinkProfileFilesTest, MemorizedReportRoundTripAndApply) {
  kvla::MemorizedReport in{};
  std::snprintf(in.file, sizeof in.file, "%s", Profile("LINK3.LAR").c_str());
  std::snprintf(in.description, sizeof in.description, "Weekly");
  std::snprintf(in.saveAs, sizeof in.saveAs, "mailto:ops@example.org/REPORT.HTM");
  in.urlType = 3;
  std::snprintf(in.username, sizeof in.username, "u");
  std::snprintf(in.password, sizeof in.password, "s3cr=t;#x");
  std::snprintf(in.language, sizeof in.language, "FRENCH");
  std::snprintf(in.style, sizeof in.style, "Plain");
  std::snprintf(in.title, sizeof in.title, "Site quality");
  for (int i = 0; i < kvla::kReportTableCount; ++i) in.rows[i] = 100 + i;
  ASSERT_TRUE(kvla::WriteMemorizedReport(&in));
  kvla::MemorizedReport out;
  ASSERT_TRUE(kvla::ReadMemorizedReport(in.file, &out));
  EXPECT_EQ(std::memcmp(&in, &out, sizeof in), 0);

  kvla::ReportRunSettings settings;
  kvla::ApplyMemorizedReport(out, &settings);
  EXPECT_EQ(settings.saveAs, "mailto:ops@example.org/REPORT.HTM");
  EXPECT_EQ(settings.password, "s3cr=t;#x");
  EXPECT_EQ(settings.deliveryKind, 3);
  EXPECT_EQ(settings.rows[9], 109);
  EXPECT_EQ(settings.language, "FRENCH");
  EXPECT_EQ(settings.title, "Site quality");
}

TEST_F(LinkProfileFilesTest, ListsAndFreeNames) {
  int32_t count = 5;
  EXPECT_EQ(KVLA_GetProfileFileList(&count), nullptr);
  EXPECT_EQ(count, 0);

  WriteFile(Profile("LINK0.LAP"), "[Main]\nDescription=Home site\n");
  WriteFile(Profile("link1.lap"), "[Main]\nServerName=www.example.org\n");
  WriteFile(Profile("LINK2.LAS"), "[Main]\n");
  WriteFile(Profile("LINK0.LAR"), "[Main]\n");
  WriteFile(Profile("NOTES.TXT"), "x");
  fs::create_directories(Profile("DIR.LAP"));

  kvla::ProfileListEntry* list = KVLA_GetProfileFileList(&count);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(count, 2);
  EXPECT_STREQ(list[0].file, Profile("LINK0.LAP").c_str());
  EXPECT_STREQ(list[0].description, "Home site");
  EXPECT_STREQ(list[1].file, Profile("link1.lap").c_str());
  EXPECT_STREQ(list[1].description, "No profile description found");
  KVUI_MyFree(list);

  auto reports = kvla::MemorizedReportList();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_STREQ(reports[0].description, "Report description");
  EXPECT_EQ(kvla::ListProfileFolder(".LAS"), std::vector<std::string>{Profile("LINK2.LAS")});

  // Names are taken in any case; each kind counts on its own.
  EXPECT_EQ(kvla::NextFreeFileName(".LAP"), Profile("LINK2.LAP"));
  EXPECT_EQ(kvla::NextFreeFileName(".LAS"), Profile("LINK0.LAS"));
  EXPECT_EQ(kvla::NextFreeFileName(".LAR"), Profile("LINK1.LAR"));
}

TEST(LinkSaveToTest, KindsByPrefix) {
  struct Case {
    const char* text;
    int32_t kind;
  } cases[] = {
      {"C:\\REPORTS\\A.HTM", 0}, {"\\\\server\\share", 0}, {"..\\up.htm", 0}, {"file:///C|/x.htm", 0},
      {"ftp://host/x.htm", 1},   {"http://host/x", 2},     {"mailto:a@b", 3},  {"odbc:dsn", 4},
      {"report.htm", 0},         {"", 0},                  {"f", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(kvla::SaveToKindOf(c.text), c.kind) << c.text;
  EXPECT_EQ(kvla::LocalFromFileUrl("file:///C|/dir/x.htm"), "C:\\dir\\x.htm");
  EXPECT_EQ(kvla::LocalFromFileUrl("C:\\x"), "C:\\x");
}

TEST(LinkSaveToTest, BuildingTheAddress) {
  const std::string folder = "/local/REPORTS/Link Analysis/";
  struct Case {
    int32_t kind;
    const char* path;
    const char* email;
    int32_t error;
    const char* result;
  } cases[] = {
      {0, "", "", 6, ""},
      {0, ".\\week.htm", "", 0, "/local/REPORTS/Link Analysis/week.htm"},
      {0, "\\week.htm", "", 0, "/local/REPORTS/Link Analysis/week.htm"},
      {0, "C:\\out\\r.htm", "", 0, "C:\\out\\r.htm"},
      {1, "host/dir/r.htm", "", 0, "ftp://host/dir/r.htm"},
      {1, "ftp://host/r.htm", "", 0, "ftp://host/r.htm"},
      {1, "host", "", 13, ""},
      {1, "/host/r.htm", "", 13, ""},
      {1, "host\\dir/r.htm", "", 13, ""},
      {3, "r.htm", "", 7, ""},
      {3, "r.htm", "ops@example.org", 0, "mailto:ops@example.org/r.htm"},
      {3, "/r.htm", "ops@example.org", 0, "mailto:ops@example.org/r.htm"},
      {3, "r.htm", "nobody", 13, ""},
      {0, "http://host/x.htm", "", 0, "http://host/x.htm"},
      {0, "http://host", "", 13, ""},
  };
  for (const Case& c : cases) {
    std::string out = "unchanged";
    int32_t error = kvla::BuildSaveToAddress(c.kind, c.path, c.email, folder, &out);
    EXPECT_EQ(error, c.error) << c.kind << " " << c.path;
    if (c.error == 0) EXPECT_EQ(out, c.result) << c.path;
    else EXPECT_EQ(out, "unchanged") << c.path;
  }
}

TEST(LinkScheduleDateTest, ParsingDatesAndTimes) {
  struct Case {
    const char* date;
    const char* time;
    int32_t order;
    int32_t error;
    int year, month, day;
  } cases[] = {
      {"12/31/1999", "23:59:59", 0, 0, 99, 11, 31},
      {"31/12/99", "00:00:00", 1, 0, 99, 11, 31},
      {"2026/02/30", "10:00:00", 2, 0, 126, 1, 30},
      {"2026/02/31", "10:00:00", 2, 11, 0, 0, 0},
      {"01/01/1969", "10:00:00", 0, 11, 0, 0, 0},
      {"01/01/69", "10:00:00", 0, 11, 0, 0, 0},
      {"13/01/2000", "10:00:00", 0, 11, 0, 0, 0},
      {"01/00/2000", "10:00:00", 0, 11, 0, 0, 0},
      {"01/32/2000", "10:00:00", 0, 11, 0, 0, 0},
      {"01-02-2000", "10:00:00", 0, 11, 0, 0, 0},
      {"01/02/2000", "24:00:00", 0, 12, 0, 0, 0},
      {"01/02/2000", "10:60:00", 0, 12, 0, 0, 0},
      {"01/02/2000", "10:00", 0, 12, 0, 0, 0},
      {"", "10:00:00", 0, 10, 0, 0, 0},
      {"01/02/2000", "", 0, 10, 0, 0, 0},
  };
  for (const Case& c : cases) {
    struct tm tm {};
    int32_t error = kvla::ParseScheduleDateTime(c.date, c.time, '/', ':', c.order, &tm);
    EXPECT_EQ(error, c.error) << c.date << " " << c.time;
    if (error == 0) {
      EXPECT_EQ(tm.tm_year, c.year) << c.date;
      EXPECT_EQ(tm.tm_mon, c.month) << c.date;
      EXPECT_EQ(tm.tm_mday, c.day) << c.date;
    }
  }
}

TEST(LinkScheduleDateTest, ShownTextsParseBackToTheSameTime) {
  for (int order = 0; order < 3; ++order) {
    std::string date, time;
    const int64_t when = 1781234567;
    kvla::FormatScheduleDateTime(when, '.', '-', order, &date, &time);
    struct tm tm {};
    ASSERT_EQ(kvla::ParseScheduleDateTime(date, time, '.', '-', order, &tm), 0) << date << " " << time;
    EXPECT_EQ(static_cast<int64_t>(mktime(&tm)), when) << date << " " << time;
  }
  std::string date, time;
  kvla::FormatScheduleDateTime(0, '/', ':', 0, &date, &time);
  struct tm tm {};
  ASSERT_EQ(kvla::ParseScheduleDateTime(date, time, '/', ':', 0, &tm), 0);
  int64_t shown = mktime(&tm), now = std::time(nullptr);
  EXPECT_GE(shown, now + 290);
  EXPECT_LE(shown, now + 310);
}

}  // namespace
