// The profile record and its file: round trips, older files, creation,
// copies, unique names, failed writes and malformed files.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <vornic/filter.h>
#include <vornic/profile.h>

#include "engine/core/engine_state.h"
#include "engine/core/profile.h"
#include "engine/core/profile_test_support.h"

namespace {

using vrn::test::ReadFile;
using vrn::test::TempProfileDir;
using vrn::test::WriteFile;

struct Entry {
  DravelEntry e{};
  ~Entry() { Release(); }
  void Release() {
    FreeFiltersForProfile(&e);
    FreeMorvane(e.MorvaneIP);
    FreeMorvane(e.MorvaneAuthUser);
    e.MorvaneIP = nullptr;
    e.MorvaneAuthUser = nullptr;
  }
};

// A text of exactly n characters drawn from the printable range, with the
// characters that matter to the file form ("=", "[", ";", blanks) in it.
std::string Text(size_t n, char seed) {
  static const char kChars[] = "abc XYZ=[;]01\"'\\,%/.-";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += kChars[(i * 7 + static_cast<size_t>(seed)) % (sizeof kChars - 1)];
  s[0] = seed;  // not a blank, so nothing depends on leading blanks
  return s;
}

void Fill(char* field, size_t width, const std::string& text) {
  ASSERT_LT(text.size(), width);
  std::memcpy(field, text.c_str(), text.size() + 1);
}

std::vector<std::string> Items(const FilterString* list) {
  std::vector<std::string> v;
  for (; list != nullptr; list = list->Next) v.emplace_back(list->Text);
  return v;
}

MorvaneSettings* MakeMorvane(const char* dsn, int columns) {
  MorvaneSettings* m = AllocMorvane();
  m->Enabled = 1;
  std::strcpy(m->DSN, dsn);
  Fill(m->Table, sizeof m->Table, Text(299, 'T'));
  std::strcpy(m->KeyColumn, "client_ip");
  std::strcpy(m->ReportTitle, "Customers");
  m->ShowOnlyMorvane = 2;
  MorvaneColumn** tail = &m->Columns;
  for (int i = 0; i < columns; ++i) {
    MorvaneColumn* c = AllocMorvaneData();
    c->DataType = 10u + static_cast<uint32_t>(i);
    c->ColumnNumber = 20u + static_cast<uint32_t>(i);
    c->ReportSequence = 30u + static_cast<uint32_t>(i);
    Fill(c->DataColumn, sizeof c->DataColumn, Text(i == columns - 1 ? 307 : 5, static_cast<char>('A' + i)));
    *tail = c;
    tail = &c->Next;
  }
  return m;
}

void FillEveryKey(DravelEntry& e) {
  std::strcpy(e.Name, "0000ABCD");
  std::strcpy(e.Extension, "wlp");
  Fill(e.Description, sizeof e.Description, Text(80, 'D'));
  Fill(e.LogFilePath, sizeof e.LogFilePath, Text(300, 'L'));
  Fill(e.ReportSaveToPath, sizeof e.ReportSaveToPath, Text(255, 'R'));
  Fill(e.LogOwner, sizeof e.LogOwner, Text(99, 'O'));
  Fill(e.HomePageName, sizeof e.HomePageName, Text(80, 'H'));
  Fill(e.ODBCDataSource, sizeof e.ODBCDataSource, Text(300, 'S'));
  Fill(e.ODBCPellavar, sizeof e.ODBCPellavar, Text(300, 'P'));
  Fill(e.PellavarRepository, sizeof e.PellavarRepository, Text(259, 'Q'));
  // Credentials: full width, with characters from the whole byte range.
  std::string user;
  for (int i = 0; i < 40; ++i) user += static_cast<char>(0x20 + i * 5);
  std::string password;
  for (int i = 0; i < 40; ++i) password += static_cast<char>(0x80 + i * 3);
  Fill(e.LogFileUsername, sizeof e.LogFileUsername, user);
  Fill(e.LogFilePassword, sizeof e.LogFilePassword, password);
  Fill(e.HomePageUsername, sizeof e.HomePageUsername, Text(40, 'u'));
  Fill(e.HomePagePassword, sizeof e.HomePagePassword, std::string(40, 'p'));
  e.DNSLookup = 255;
  e.OverrideMultiHome = 0xFFFFFFFFu;
  e.PellavarFlag = 2;
  e.RealtimeAnalysis = 1;
  e.IncrementalUpdate = 0x80000000u;
  e.RealtimeReportFrequency = 65535;
  e.RealtimeReportInterval = 7;
  e.RealtimeReports = 12345678;
  e.LogFileFormat = 36;
}

TEST(ProfileFileTest, EveryKeyFiltersAndLookupsRoundTripAtFullLength) {
  TempProfileDir dir;
  Entry in;
  FillEveryKey(in.e);
  FilterRecord* inc = CreateNewIncludeFilter();
  std::strcpy(inc->Name, "Include Everything");
  AddFilterToProfile(inc, &in.e, -1);
  FilterRecord* exc = CreateNewExcludeFilter();
  Fill(exc->Name, sizeof exc->Name, Text(127, 'F'));
  exc->dwFlags = ENABLE_FILES | ENABLE_RETURNCODES;
  ReturnCodeStringToStruct("404 500", exc);
  FilterStringToStruct(std::string(399, 'f').c_str(), &exc->Files, 1);
  AddFilterToProfile(exc, &in.e, -1);
  FilterRecord* unnamed = CreateNewExcludeFilter();  // no name, no test
  AddFilterToProfile(unnamed, &in.e, -1);
  in.e.MorvaneIP = MakeMorvane("ip-dsn", 3);
  in.e.MorvaneAuthUser = MakeMorvane("user-dsn", 1);
  // Working fields are not stored.
  in.e.LogSizeKB = 5;
  in.e.RealtimeUpToDate = 1;

  ASSERT_EQ(WriteDravelFile(&in.e), 1);
  Entry out;
  ASSERT_EQ(ReadDravelFile(dir.file("0000ABCD.wlp").c_str(), &out.e), DRAVEL_READ_OK);

  EXPECT_EQ(out.e.Version, 4);
  EXPECT_STREQ(out.e.Name, "0000ABCD");
  EXPECT_STREQ(out.e.Extension, "wlp");
  for (auto field : {&DravelEntry::Description, &DravelEntry::HomePageName}) {
    EXPECT_STREQ(out.e.*field, in.e.*field);
  }
  for (auto field : {&DravelEntry::LogFilePath, &DravelEntry::ODBCDataSource, &DravelEntry::ODBCPellavar}) {
    EXPECT_STREQ(out.e.*field, in.e.*field);
  }
  for (auto field : {&DravelEntry::LogFileUsername, &DravelEntry::LogFilePassword, &DravelEntry::HomePageUsername,
                     &DravelEntry::HomePagePassword}) {
    EXPECT_STREQ(out.e.*field, in.e.*field);
  }
  EXPECT_STREQ(out.e.ReportSaveToPath, in.e.ReportSaveToPath);
  EXPECT_STREQ(out.e.LogOwner, in.e.LogOwner);
  EXPECT_STREQ(out.e.PellavarRepository, in.e.PellavarRepository);
  EXPECT_EQ(out.e.DNSLookup, 255);
  EXPECT_EQ(out.e.OverrideMultiHome, 0xFFFFFFFFu);
  EXPECT_EQ(out.e.PellavarFlag, 2);
  EXPECT_EQ(out.e.RealtimeAnalysis, 1u);
  EXPECT_EQ(out.e.IncrementalUpdate, 0x80000000u);
  EXPECT_EQ(out.e.RealtimeReportFrequency, 65535);
  EXPECT_EQ(out.e.RealtimeReportInterval, 7u);
  EXPECT_EQ(out.e.RealtimeReports, 12345678u);
  EXPECT_EQ(out.e.LogFileFormat, 36u);
  EXPECT_EQ(out.e.LogSizeKB, 0u);
  EXPECT_EQ(out.e.RealtimeUpToDate, 0u);

  // Filters, the unnamed one included, in order.
  std::vector<const FilterRecord*> filters;
  for (const FilterRecord* f = out.e.Filters; f != nullptr; f = f->Next) filters.push_back(f);
  ASSERT_EQ(filters.size(), 3u);
  EXPECT_STREQ(filters[0]->Name, "Include Everything");
  EXPECT_EQ(filters[0]->FilterType, 1u);
  EXPECT_EQ(Items(filters[0]->Directory), std::vector<std::string>{"/"});
  EXPECT_STREQ(filters[1]->Name, exc->Name);
  EXPECT_EQ(filters[1]->dwFlags, ENABLE_FILES | ENABLE_RETURNCODES);
  EXPECT_EQ(Items(filters[1]->Files), Items(exc->Files));
  EXPECT_EQ(filters[1]->ReturnCodes[1], 500u);
  EXPECT_STREQ(filters[2]->Name, "");
  EXPECT_EQ(filters[2]->FilterType, 2u);
  EXPECT_EQ(filters[2]->dwFlags, 0u);

  // Both lookup sections, every column of each.
  for (auto pair : {std::make_pair(in.e.MorvaneIP, out.e.MorvaneIP),
                    std::make_pair(in.e.MorvaneAuthUser, out.e.MorvaneAuthUser)}) {
    const MorvaneSettings* a = pair.first;
    const MorvaneSettings* b = pair.second;
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->Enabled, a->Enabled);
    EXPECT_STREQ(b->DSN, a->DSN);
    EXPECT_STREQ(b->Table, a->Table);
    EXPECT_STREQ(b->KeyColumn, a->KeyColumn);
    EXPECT_STREQ(b->ReportTitle, a->ReportTitle);
    EXPECT_EQ(b->ShowOnlyMorvane, a->ShowOnlyMorvane);
    const MorvaneColumn* ca = a->Columns;
    const MorvaneColumn* cb = b->Columns;
    for (; ca != nullptr && cb != nullptr; ca = ca->Next, cb = cb->Next) {
      EXPECT_STREQ(cb->DataColumn, ca->DataColumn);
      EXPECT_EQ(cb->DataType, ca->DataType);
      EXPECT_EQ(cb->ColumnNumber, ca->ColumnNumber);
      EXPECT_EQ(cb->ReportSequence, ca->ReportSequence);
    }
    EXPECT_EQ(ca, nullptr);
    EXPECT_EQ(cb, nullptr);
  }

  // Written again, the file is the same byte for byte.
  const std::string first = ReadFile(dir.file("0000ABCD.wlp"));
  ASSERT_EQ(WriteDravelFile(&out.e), 1);
  EXPECT_EQ(ReadFile(dir.file("0000ABCD.wlp")), first);
}

TEST(ProfileFileTest, FileFormHasTheProfileSectionInOrder) {
  TempProfileDir dir;
  Entry in;
  std::strcpy(in.e.Name, "00000001");
  std::strcpy(in.e.Extension, "wlp");
  std::strcpy(in.e.Description, "Main site");
  std::strcpy(in.e.LogFileUsername, "anonymous");
  in.e.DNSLookup = 1;
  in.e.OverrideMultiHome = 0xFFFFFFFFu;  // numbers are written signed
  in.e.MorvaneIP = MakeMorvane("dsn", 0);
  in.e.MorvaneIP->Enabled = 0xFFFFFFFEu;
  FilterRecord* f = CreateNewExcludeFilter();
  f->HourBegin = 0xFFFFFFFFu;
  AddFilterToProfile(f, &in.e, -1);
  ASSERT_EQ(WriteDravelFile(&in.e), 1);
  const std::string text = ReadFile(dir.file("00000001.wlp"));
  const std::string head =
      "[Profile]\r\nVersion=4\r\nDescription=Main site\r\nLogFilePath=\r\nLogFileUsername=";
  ASSERT_EQ(text.compare(0, head.size(), head), 0) << text;
  EXPECT_EQ(text.find("anonymous"), std::string::npos) << "credentials are stored scrambled";
  const std::string rest =
      "\r\nLogFilePassword=\r\nReportSaveToPath=\r\nLogOwner=\r\nHomePageName=\r\nHomePageUsername=\r\n"
      "HomePagePassword=\r\nODBCDataSource=\r\nODBCPellavar=\r\nPellavarRepository=\r\nDNSLookup=1\r\n"
      "OverrideMultiHome=-1\r\nPellavarFlag=0\r\nRealtimeAnalysis=0\r\nIncrementalUpdate=0\r\n"
      "RealtimeReportFrequency=0\r\nRealtimeReportInterval=0\r\nRealtimeReports=0\r\nLogFileFormat=0\r\n"
      "[[Filter1]]\r\n";
  EXPECT_NE(text.find(rest), std::string::npos) << text;
  EXPECT_NE(text.find("\r\nHourBegin=-1\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\n[MorvaneIP]\r\nMorvaneEnabled=-2\r\nMorvaneDSN=dsn\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("MorvaneAuthUser"), std::string::npos);

  Entry out;
  ASSERT_EQ(ReadDravelFile(dir.file("00000001.wlp").c_str(), &out.e), DRAVEL_READ_OK);
  EXPECT_STREQ(out.e.LogFileUsername, "anonymous");
  EXPECT_STREQ(out.e.LogFilePassword, "");
  EXPECT_EQ(out.e.OverrideMultiHome, 0xFFFFFFFFu);
  ASSERT_NE(out.e.MorvaneIP, nullptr);
  EXPECT_EQ(out.e.MorvaneIP->Enabled, 0xFFFFFFFEu);
  EXPECT_EQ(out.e.MorvaneAuthUser, nullptr);
  ASSERT_NE(out.e.Filters, nullptr);
  EXPECT_EQ(out.e.Filters->HourBegin, 0xFFFFFFFFu);
}

TEST(ProfileFileTest, KeyNamesInsideValuesDoNotLeak) {
  TempProfileDir dir;
  WriteFile(dir.file("a.wlp"),
            "[Profile]\r\nDescription=DNSLookup=1 LogFileFormat=9 RealtimeAnalysis=1\r\n"
            "LogOwner=RealtimeReports=5\r\nDNSLookup=0\r\n[[Filter1]]\r\nName=LogFileFormat=10\r\n"
            "FilterType=include\r\nLogFileFormat=8\r\n");
  Entry out;
  ASSERT_EQ(ReadDravelFile(dir.file("a.wlp").c_str(), &out.e), DRAVEL_READ_OK);
  EXPECT_EQ(out.e.DNSLookup, 0);
  EXPECT_EQ(out.e.LogFileFormat, 0u);
  EXPECT_EQ(out.e.RealtimeAnalysis, 0u);
  EXPECT_EQ(out.e.RealtimeReports, 0u);
  EXPECT_STREQ(out.e.Description, "DNSLookup=1 LogFileFormat=9 RealtimeAnalysis=1");
}

TEST(ProfileFileTest, OlderFormReadsWithDefaults) {
  TempProfileDir dir;
  const std::string src = vrn::test::SourceDir();
  const std::string fixture = src + "/engine/core/testdata/profile_older_form.wlp";
  Entry out;
  ASSERT_EQ(ReadDravelFile(fixture.c_str(), &out.e), DRAVEL_READ_OK);
  EXPECT_STREQ(out.e.Name, "profile_older_form");
  EXPECT_STREQ(out.e.LogFilePath, "c:\\logs\\in%y%m%d.log");
  EXPECT_EQ(out.e.DNSLookup, 1);
  EXPECT_EQ(out.e.LogFileFormat, 9u);
  EXPECT_EQ(out.e.MorvaneIP, nullptr);

  std::vector<const FilterRecord*> f;
  for (const FilterRecord* p = out.e.Filters; p != nullptr; p = p->Next) f.push_back(p);
  ASSERT_EQ(f.size(), 3u) << "reading stops at the first missing number";
  EXPECT_EQ(f[0]->dwFlags, ENABLE_RETURNCODES | ENABLE_DIRECTORY | ENABLE_FILES | ENABLE_USERS |
                               ENABLE_MULTIHOME | ENABLE_REFERRER);
  EXPECT_STREQ(f[1]->Name, "") << "an unnamed filter is kept";
  EXPECT_EQ(f[1]->FilterType, 2u);
  EXPECT_EQ(f[1]->dwFlags, ENABLE_DIRECTORY | ENABLE_FILES);
  EXPECT_EQ(Items(f[1]->Directory), (std::vector<std::string>{"/images/", "/cgi-bin/"}));
  EXPECT_STREQ(f[2]->Name, "Office hours, weekdays");
  EXPECT_EQ(f[2]->dwFlags, ENABLE_RETURNCODES | ENABLE_DIRECTORY | ENABLE_FILES | ENABLE_DAYS | ENABLE_HOURS |
                               ENABLE_USERS | ENABLE_MULTIHOME | ENABLE_REFERRER);
  EXPECT_EQ(f[2]->Days, 62u);
  EXPECT_EQ(f[2]->HourBegin, 9u);
  EXPECT_EQ(Items(f[2]->Referrer), std::vector<std::string>{"(No Referrer)"});
  EXPECT_EQ(Items(f[2]->Username), std::vector<std::string>{"*"});

  // Written in the current form and read again, nothing changes.
  std::strcpy(out.e.Name, "00000002");
  ASSERT_EQ(WriteDravelFile(&out.e), 1);
  Entry again;
  ASSERT_EQ(ReadDravelFile(dir.file("00000002.wlp").c_str(), &again.e), DRAVEL_READ_OK);
  const FilterRecord* a = out.e.Filters;
  const FilterRecord* b = again.e.Filters;
  for (; a != nullptr && b != nullptr; a = a->Next, b = b->Next) {
    EXPECT_STREQ(a->Name, b->Name);
    EXPECT_EQ(a->dwFlags, b->dwFlags);
    EXPECT_EQ(a->Days, b->Days);
    EXPECT_EQ(Items(a->Referrer), Items(b->Referrer));
    EXPECT_EQ(Items(a->Users), Items(b->Users));
  }
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(b, nullptr);
}

TEST(ProfileFileTest, SampleProfilesReadWithTheirLocations) {
  const std::string src = vrn::test::SourceDir();
  const struct {
    const char* file;
    const char* locationStart;
  } samples[] = {{"00000001.wlp", "..\\samples\\access_%date-"}, {"00000002.wlp", "..\\samples\\logs%yyyy%"},
                 {"00000003.wlp", "..\\samples\\access_log."},       {"00000004.wlp", "ftp://"},
                 {"00000005.wlp", "http://"},                          {"00000006.wlp", "odbc:"}};
  for (const auto& s : samples) {
    const std::string path = src + "/data/kvm_log/profiles/" + s.file;
    Entry e;
    ASSERT_EQ(ReadDravelFile(path.c_str(), &e.e), DRAVEL_READ_OK) << s.file;
    EXPECT_EQ(std::strncmp(e.e.LogFilePath, s.locationStart, std::strlen(s.locationStart)), 0) << e.e.LogFilePath;
    ASSERT_NE(e.e.Filters, nullptr);
    EXPECT_STREQ(e.e.Filters->Name, "Include Everything");
    if (std::strncmp(e.e.LogFilePath, "ftp:", 4) == 0 || std::strncmp(e.e.LogFilePath, "http:", 5) == 0) {
      EXPECT_STREQ(e.e.LogFileUsername, "weblogs");
      EXPECT_STREQ(e.e.LogFilePassword, "logs-2026");
    }
  }
}

TEST(ProfileFileTest, RemoteLocationsTakeTheDownloadMode) {
  TempProfileDir dir;
  const uint32_t saved = vrn::g_engine.ftpDownloadMode;
  vrn::g_engine.ftpDownloadMode = 2;
  const struct {
    const char* location;
    uint32_t expected;
  } cases[] = {{"http://www.example.com/logs/access.log", 2},
               {"ftp://ftp.example.com/logs/*.log", 2},
               {"HTTP://www.example.com/access.log", 9},
               {"c:\\logs\\access.log", 9}};
  for (const auto& c : cases) {
    WriteFile(dir.file("r.wlp"), std::string("[Profile]\r\nLogFilePath=") + c.location + "\r\nIncrementalUpdate=9\r\n");
    Entry out;
    ASSERT_EQ(ReadDravelFile(dir.file("r.wlp").c_str(), &out.e), DRAVEL_READ_OK);
    EXPECT_EQ(out.e.IncrementalUpdate, c.expected) << c.location;
  }
  vrn::g_engine.ftpDownloadMode = saved;
}

TEST(ProfileFileTest, NameComesFromTheFileName) {
  TempProfileDir dir;
  const struct {
    const char* file;
    const char* name;
  } cases[] = {{"0001ABCD.wlp", "0001ABCD"}, {"two.dots.wlp", "two.dots"}, {"noext", "noext"},
               {"1234567890123456789012345678901.wlp", "1234567890123456789012345678901"}};
  for (const auto& c : cases) {
    WriteFile(dir.file(c.file), "[Profile]\r\nDNSLookup=1\r\n");
    Entry out;
    ASSERT_EQ(ReadDravelFile(dir.file(c.file).c_str(), &out.e), DRAVEL_READ_OK) << c.file;
    EXPECT_STREQ(out.e.Name, c.name);
    EXPECT_STREQ(out.e.Extension, "wlp");
  }
  // A name too long for the record would make later writes go elsewhere.
  WriteFile(dir.file("12345678901234567890123456789012.wlp"), "[Profile]\r\n");
  Entry out;
  EXPECT_EQ(ReadDravelFile(dir.file("12345678901234567890123456789012.wlp").c_str(), &out.e), 0);
}

TEST(ProfileFileTest, MalformedFilesFailCleanlyOrReadBounded) {
  TempProfileDir dir;
  const struct {
    std::string text;
    int16_t result;
  } cases[] = {
      {"", 0},
      {"no sections at all", DRAVEL_READ_OK},
      {"[Filter1]\r\nName=x\r\nFilterType=include\r\n", DRAVEL_READ_OK},  // no [Profile]
      {"[Profile]\r\n[[Filter1]]\r\nName=x\r\nFilterType=sometimes\r\n", 0},
      {"[Profile]\r\nDescription=" + std::string(5000, 'd') + "\r\nLogFilePassword=" + std::string(500, 'p') +
           "\r\n[[Filter1]]\r\nName=" + std::string(1000, 'n') + "\r\nFilterType=exclude\r\nUsers=" +
           std::string(3000, 'u') + "\r\n[MorvaneIP]\r\nMorvaneDSN=" + std::string(900, 's') +
           "\r\nMorvaneTable=t\r\nMorvaneKeyColumn=k\r\nMorvaneDataColumn1=" + std::string(900, 'c') + "\r\n",
       DRAVEL_READ_OK},
      {std::string("[Profile]\r\nDescription=a") + '\0' + "b\r\nDNSLookup=1\r\n", DRAVEL_READ_OK},
      {"[Profile]\r\nDescription=\x01\x02\xff\xfe\r\n[[Filter1]]\r\nName=\x80\r\nFilterType=include\r\n",
       DRAVEL_READ_OK},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    WriteFile(dir.file("m.wlp"), cases[i].text);
    Entry out;
    EXPECT_EQ(ReadDravelFile(dir.file("m.wlp").c_str(), &out.e), cases[i].result) << "case " << i;
    EXPECT_LT(std::strlen(out.e.Description), sizeof out.e.Description);
    EXPECT_LT(std::strlen(out.e.LogFilePassword), sizeof out.e.LogFilePassword);
    for (const FilterRecord* f = out.e.Filters; f != nullptr; f = f->Next) {
      EXPECT_LT(std::strlen(f->Name), sizeof f->Name);
      for (const FilterString* s = f->Users; s != nullptr; s = s->Next) EXPECT_LT(std::strlen(s->Text), 400u);
    }
    if (out.e.MorvaneIP != nullptr) {
      EXPECT_EQ(std::strlen(out.e.MorvaneIP->DSN), sizeof out.e.MorvaneIP->DSN - 1);
      ASSERT_NE(out.e.MorvaneIP->Columns, nullptr);
      EXPECT_EQ(std::strlen(out.e.MorvaneIP->Columns->DataColumn), sizeof out.e.MorvaneIP->Columns->DataColumn - 1);
    }
  }
  Entry out;
  EXPECT_EQ(ReadDravelFile(dir.file("missing.wlp").c_str(), &out.e), 0);
  EXPECT_EQ(ReadDravelFile(dir.path().c_str(), &out.e), 0);
  EXPECT_EQ(ReadDravelFile(nullptr, &out.e), 0);
  EXPECT_EQ(ReadDravelFile(dir.file("m.wlp").c_str(), nullptr), 0);
}

TEST(ProfileFileTest, EveryTruncationOfAProfileReadsWithoutHarm) {
  TempProfileDir dir;
  Entry in;
  FillEveryKey(in.e);
  AddFilterToProfile(CreateNewIncludeFilter(), &in.e, -1);
  in.e.MorvaneIP = MakeMorvane("dsn", 2);
  ASSERT_EQ(WriteDravelFile(&in.e), 1);
  const std::string whole = ReadFile(dir.file("0000ABCD.wlp"));
  for (size_t n = 0; n < whole.size(); n += 7) {
    WriteFile(dir.file("cut.wlp"), whole.substr(0, n));
    Entry out;
    const int16_t r = ReadDravelFile(dir.file("cut.wlp").c_str(), &out.e);
    EXPECT_TRUE(r == 0 || r == DRAVEL_READ_OK);
    if (n == 0) {
      EXPECT_EQ(r, 0);
    }
  }
}

TEST(MorvaneSectionTest, ColumnsAndMissingParts) {
  TempProfileDir dir;
  const struct {
    std::string sections;
    bool ip;
    bool user;
    int ipColumns;
  } cases[] = {
      // Columns stop at the first missing number.
      {"[MorvaneIP]\r\nMorvaneDSN=d\r\nMorvaneTable=t\r\nMorvaneKeyColumn=k\r\nMorvaneDataColumn1=a\r\n"
       "MorvaneDataColumn2=b\r\nMorvaneDataColumn4=d\r\n",
       true, false, 2},
      // An empty table makes the section count as missing.
      {"[MorvaneIP]\r\nMorvaneDSN=d\r\nMorvaneTable=\r\nMorvaneKeyColumn=k\r\n", false, false, 0},
      // Both sections; the first one's last key must not come from the second.
      {"[MorvaneIP]\r\nMorvaneDSN=d\r\nMorvaneTable=t\r\nMorvaneKeyColumn=k\r\nMorvaneDataColumn1=a\r\n"
       "[MorvaneAuthUser]\r\nMorvaneDSN=d2\r\nMorvaneTable=t2\r\nMorvaneKeyColumn=k2\r\nMorvaneReportSequence1=9\r\n",
       true, true, 1},
  };
  for (const auto& c : cases) {
    WriteFile(dir.file("m.wlp"), "[Profile]\r\nDNSLookup=1\r\n" + c.sections);
    Entry out;
    ASSERT_EQ(ReadDravelFile(dir.file("m.wlp").c_str(), &out.e), DRAVEL_READ_OK);
    EXPECT_EQ(out.e.DNSLookup, 1);
    EXPECT_EQ(out.e.MorvaneIP != nullptr, c.ip);
    EXPECT_EQ(out.e.MorvaneAuthUser != nullptr, c.user);
    if (out.e.MorvaneIP != nullptr) {
      int n = 0;
      for (const MorvaneColumn* col = out.e.MorvaneIP->Columns; col != nullptr; col = col->Next) {
        EXPECT_EQ(col->ReportSequence, 0u);
        ++n;
      }
      EXPECT_EQ(n, c.ipColumns);
    }
  }
}

TEST(MorvaneSectionTest, ColumnWithoutNameDoesNotCutTheList) {
  TempProfileDir dir;
  Entry in;
  std::strcpy(in.e.Name, "00000001");
  std::strcpy(in.e.Extension, "wlp");
  in.e.MorvaneAuthUser = MakeMorvane("dsn", 3);
  in.e.MorvaneAuthUser->Columns->Next->DataColumn[0] = '\0';
  ASSERT_EQ(WriteDravelFile(&in.e), 1);
  Entry out;
  ASSERT_EQ(ReadDravelFile(dir.file("00000001.wlp").c_str(), &out.e), DRAVEL_READ_OK);
  ASSERT_NE(out.e.MorvaneAuthUser, nullptr);
  const MorvaneColumn* c = out.e.MorvaneAuthUser->Columns;
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->DataType, 10u);
  ASSERT_NE(c->Next, nullptr);
  EXPECT_EQ(c->Next->DataType, 12u);
  EXPECT_EQ(std::strlen(c->Next->DataColumn), 307u);
  EXPECT_EQ(c->Next->Next, nullptr);
}

TEST(ProfileStoreTest, UniqueNames) {
  const struct {
    std::vector<std::string> files;
    const char* next;
  } cases[] = {
      {{}, "00000001"},
      {{"0000000A.wlp", "0000000b.wlp", "000000FF.txt"}, "0000000C"},
      {{"zz.wlp", "00000003.WLP"}, "00000004"},
      {{"FFFFFFFF.wlp", "00000001.wlp", "00000003.wlp"}, "00000002"},
      {{"123456789.wlp", "00000001.wlp"}, "00000002"},
  };
  for (const auto& c : cases) {
    TempProfileDir dir;
    for (const auto& f : c.files) WriteFile(dir.file(f), "[Profile]\r\n");
    std::filesystem::create_directory(dir.file("7FFFFFFF.wlp"));  // folders do not count
    char path[512];
    char name[9];
    char ext[4];
    ASSERT_EQ(__BuildUniqueDravelFileName(path, sizeof path, name, sizeof name, ext, sizeof ext), 1);
    EXPECT_STREQ(name, c.next);
    EXPECT_STREQ(ext, "wlp");
    EXPECT_EQ(std::string(path), dir.path() + "/" + c.next + ".wlp");
    EXPECT_EQ(__BuildUniqueDravelFileName(nullptr, 0, name, sizeof name, ext, sizeof ext), 1);
    EXPECT_EQ(__BuildUniqueDravelFileName(path, 10, name, sizeof name, ext, sizeof ext), 0);
    EXPECT_EQ(__BuildUniqueDravelFileName(path, sizeof path, name, 8, ext, sizeof ext), 0);
  }
}

TEST(ProfileStoreTest, CreateAddsTheDefaultFilterAndTheNextName) {
  TempProfileDir dir;
  Entry a;
  std::strcpy(a.e.Description, "first");
  ASSERT_EQ(VRN_CreateDravelEntry(&a.e), 0);
  EXPECT_STREQ(a.e.Name, "00000001");
  ASSERT_NE(a.e.Filters, nullptr);
  EXPECT_STREQ(a.e.Filters->Name, "Include Everything");
  EXPECT_EQ(a.e.Filters->Next, nullptr);

  Entry b;
  AddFilterToProfile(CreateNewExcludeFilter(), &b.e, -1);
  ASSERT_EQ(VRN_CreateDravelEntry(&b.e), 0);
  EXPECT_STREQ(b.e.Name, "00000002");
  EXPECT_EQ(b.e.Filters->Next, nullptr) << "a profile with filters gets no default filter";

  Entry back;
  ASSERT_EQ(ReadDravelFile(dir.file("00000001.wlp").c_str(), &back.e), DRAVEL_READ_OK);
  EXPECT_STREQ(back.e.Description, "first");
  ASSERT_NE(back.e.Filters, nullptr);
  EXPECT_STREQ(back.e.Filters->Name, "Include Everything");
  EXPECT_EQ(back.e.Filters->Next, nullptr);

  // Duplicate: the file is copied under the next name.
  Entry copy;
  ASSERT_EQ(VRN_DuplicateDravelEntry(&a.e, &copy.e), 0);
  EXPECT_STREQ(copy.e.Name, "00000003");
  EXPECT_STREQ(copy.e.Extension, "wlp");
  EXPECT_EQ(ReadFile(dir.file("00000003.wlp")), ReadFile(dir.file("00000001.wlp")));
  Entry missing;
  std::strcpy(missing.e.Name, "0000FFFF");
  std::strcpy(missing.e.Extension, "wlp");
  Entry target;
  EXPECT_EQ(VRN_DuplicateDravelEntry(&missing.e, &target.e), -1);
  EXPECT_STREQ(target.e.Name, "");

  // Update rewrites in place and leaves no temporary files behind.
  std::strcpy(a.e.Description, "changed");
  ASSERT_EQ(VRN_UpdateDravelEntry(&a.e), 0);
  Entry changed;
  ASSERT_EQ(ReadDravelFile(dir.file("00000001.wlp").c_str(), &changed.e), DRAVEL_READ_OK);
  EXPECT_STREQ(changed.e.Description, "changed");
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"00000001.wlp", "00000002.wlp", "00000003.wlp"}));
}

TEST(ProfileStoreTest, PathsAreBounded) {
  TempProfileDir dir;
  Entry e;
  std::strcpy(e.e.Name, "00000001");
  std::strcpy(e.e.Extension, "wlp");
  char out[512];
  ASSERT_EQ(BuildLogProfileFilename(out, sizeof out, &e.e), 1);
  EXPECT_EQ(std::string(out), dir.path() + "/00000001.wlp");
  char small[8] = "xxxxxxx";
  EXPECT_EQ(BuildLogProfileFilename(small, sizeof small, &e.e), 0);
  EXPECT_STREQ(small, "");
  ASSERT_NE(GenerateDravelFilePath(out, sizeof out, &e.e), nullptr);
  const std::string data(out);
  EXPECT_EQ(data.substr(data.size() - 29), "kvm_log/datfiles/00000001.wlp");
  EXPECT_EQ(GenerateDravelFilePath(small, sizeof small, &e.e), nullptr);
  EXPECT_STREQ(small, "");

  // Names that would leave the profile directory are refused.
  for (const char* bad : {"../escape", "a/b", "a\\b", "", ".."}) {
    std::strcpy(e.e.Name, bad);
    EXPECT_EQ(BuildLogProfileFilename(out, sizeof out, &e.e), 0) << bad;
    EXPECT_EQ(GenerateDravelFilePath(out, sizeof out, &e.e), nullptr) << bad;
    EXPECT_EQ(WriteDravelFile(&e.e), 0) << bad;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/../escape.wlp"));
}

// Runs WriteDravelFile in a child process under a file size limit.
int WriteUnderSizeLimit(const DravelEntry& e, rlim_t limit) {
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {limit, limit};
    setrlimit(RLIMIT_FSIZE, &rl);
    _exit(WriteDravelFile(&e));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ProfileStoreTest, FailedWritesKeepThePreviousFile) {
  TempProfileDir dir;
  Entry e;
  std::strcpy(e.e.Name, "00000001");
  std::strcpy(e.e.Extension, "wlp");
  std::strcpy(e.e.Description, "the previous profile");
  ASSERT_EQ(WriteDravelFile(&e.e), 1);
  const std::string previous = ReadFile(dir.file("00000001.wlp"));

  // A disk that fills up part-way.
  FillEveryKey(e.e);
  std::strcpy(e.e.Name, "00000001");
  EXPECT_EQ(WriteUnderSizeLimit(e.e, previous.size() + 100), 0);
  EXPECT_EQ(ReadFile(dir.file("00000001.wlp")), previous);

  // A value that cannot be stored on one line.
  std::strcpy(e.e.Description, "two\r\nDNSLookup=1");
  EXPECT_EQ(WriteDravelFile(&e.e), 0);
  EXPECT_EQ(VRN_UpdateDravelEntry(&e.e), -1);
  std::strcpy(e.e.Description, "ok");
  std::strcpy(e.e.HomePagePassword, "pass\nword");
  EXPECT_EQ(WriteDravelFile(&e.e), 0);
  EXPECT_EQ(ReadFile(dir.file("00000001.wlp")), previous);
  e.e.HomePagePassword[0] = '\0';

  // A folder that cannot be written: the child drops the superuser's rights
  // (which ignore folder permissions) before it tries.
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                                               std::filesystem::perms::group_read | std::filesystem::perms::group_exec |
                                               std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
  const pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(9);
    const bool refused = WriteDravelFile(&e.e) == 0 && VRN_CreateDravelEntry(&e.e) == -1;
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
  EXPECT_EQ(ReadFile(dir.file("00000001.wlp")), previous);
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 1u) << "no temporary file is left behind";
}

}  // namespace
