// Compressed logs: recognition, extraction once per archive content, cancel
// and failure, deletion, path helpers and report file copies.
#include "engine/core/zip_extract.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/core/engine_state.h"
#include "engine/core/gzip_extract.h"
#include "engine/core/log_file_list.h"
#include "engine/core/log_reader_test_support.h"
#include "platform/base/ini.h"
#include "platform/module/module.h"
#include "platform/testsupport/files.h"
#include "platform/ui/window.h"

namespace {

using kv::test::ReadText;

namespace fs = std::filesystem;
using readertest::TempFolder;

// A short stand-in for a file's content in comparisons and messages.
std::string Digest(const std::string& content) {
  return std::to_string(content.size()) + ":" + std::to_string(std::hash<std::string>()(content));
}

// A log of n common-format lines whose text compresses only moderately.
std::string LogText(int n, int seed) {
  std::string text;
  uint32_t x = 2463534242u + static_cast<uint32_t>(seed);
  for (int i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    char line[200];
    std::snprintf(line, sizeof(line),
                  "10.%u.%u.%u - - [10/Oct/2020:13:%02d:%02d +0000] \"GET /p%u/%x.html HTTP/1.0\" 200 %u\n",
                  x % 250, (x >> 8) % 250, (x >> 16) % 250, (i / 60) % 60, i % 60, x % 977, x, x % 100000);
    text += line;
  }
  return text;
}

void WriteGzip(const std::string& path, const std::string& content) {
  gzFile gz = gzopen(path.c_str(), "wb");
  ASSERT_NE(gz, nullptr);
  ASSERT_EQ(gzwrite(gz, content.data(), static_cast<unsigned>(content.size())), static_cast<int>(content.size()));
  ASSERT_EQ(gzclose(gz), Z_OK);
}

// A ZIP archive made by Python's zipfile (members deflated).
void WriteZip(const TempFolder& dir, const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& members) {
  std::string command =
      "python3 -c 'import sys,zipfile\n"
      "z=zipfile.ZipFile(sys.argv[1],\"w\",zipfile.ZIP_DEFLATED)\n"
      "for i in range(2,len(sys.argv),2): z.writestr(sys.argv[i],open(sys.argv[i+1],\"rb\").read())\n"
      "z.close()' '" +
      path + "'";
  int k = 0;
  for (const auto& m : members) {
    const std::string part = dir.Write("member" + std::to_string(k++) + ".src", m.second);
    command += " '" + m.first + "' '" + part + "'";
  }
  ASSERT_EQ(std::system(command.c_str()), 0);
  for (int i = 0; i < k; ++i) std::remove(dir.File("member" + std::to_string(i) + ".src").c_str());
}

void SetWriteTime(const std::string& path, time_t t) {
  struct utimbuf times = {t, t};
  ASSERT_EQ(utime(path.c_str(), &times), 0);
}

// What the progress window and the error display saw.
struct Seen {
  std::vector<uintptr_t> percents;
  std::vector<std::string> titles;
  std::vector<std::string> errors;
  int cancelAfter = -1;  // set the cancel word at this percent message (0-based), -1 never
  volatile uint32_t cancelWord = 0;
};
Seen* g_seen = nullptr;

KvResult ProgressProc(KvWindow, uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (g_seen == nullptr) return 0;
  if (message == 1024) {
    g_seen->percents.push_back(wparam);
    if (g_seen->cancelAfter >= 0 && static_cast<int>(g_seen->percents.size()) > g_seen->cancelAfter &&
        wparam > 0 && wparam < 100) {
      g_seen->cancelWord = 1;
    }
  }
  if (message == 1044 && lparam != 0) g_seen->titles.push_back(reinterpret_cast<const char*>(lparam));
  return 0;
}

int32_t RecordError(KvWindow, const char*, const char* text, uint32_t, uint32_t, uint32_t) {
  if (g_seen != nullptr) g_seen->errors.push_back(text != nullptr ? text : "");
  return 0;
}

class CompressedLogs : public testing::Test {
 protected:
  void SetUp() override {
    readertest::ResetEngineSettings();
    vrn::SetApplicationPath(engine_.File("engine.so"));
    g_seen = &seen_;
    kv::ui::RegisterWindowClass("KvTestProgressWindow", ProgressProc);
    window_ = kv::ui::CreateWindow("KvTestProgressWindow", "progress", 0, 0);
    ASSERT_NE(window_, 0u);
    vrn::g_engine.progressWindow = window_;
    vrn::g_engine.cancelWord = &seen_.cancelWord;
    savedDisplay_ = glpfnDisplayReportError;
    glpfnDisplayReportError = RecordError;
    std::snprintf(profile_.Name, sizeof(profile_.Name), "0000ABCD");
    std::snprintf(profile_.Extension, sizeof(profile_.Extension), "wlp");
  }
  void TearDown() override {
    vrn::g_engine.progressWindow = 0;
    vrn::g_engine.cancelWord = nullptr;
    glpfnDisplayReportError = savedDisplay_;
    kv::ui::DestroyWindow(window_);
    g_seen = nullptr;
    vrn::ForgetReaderSource();
  }

  struct Listing {
    std::vector<std::string> names;  // marker removed
    std::vector<std::string> contents;  // digests
    LogListSummary summary{};
  };
  Listing List(const std::string& location, DravelEntry* profile = nullptr) {
    Listing out;
    uint16_t count = 0;
    vrn::LogNameEntry** list =
        vrn::BuildLogFileList(0, profile != nullptr ? profile : &profile_, location.c_str(), &count, &out.summary, 1);
    const size_t marker = std::strlen(vrn::kExtractedLogMarker);
    for (uint16_t i = 0; i < count; ++i) {
      std::string name = list[i]->name;
      EXPECT_EQ(name.compare(0, marker, vrn::kExtractedLogMarker), 0) << name;
      EXPECT_EQ(list[i]->size, fs::file_size(name.substr(marker)));
      out.names.push_back(name.substr(marker));
      out.contents.push_back(Digest(ReadText(name.substr(marker))));
      // The listed name opens as a plain log.
      const vrn::LogSourceHandle source = vrn::OpenLogSourceForReading(list[i]->name);
      EXPECT_NE(source, vrn::kNoLogSource);
      if (source != vrn::kNoLogSource) {
        EXPECT_EQ(vrn::GetLogSourceKind(source), vrn::kLogSourceFile);
        vrn::CloseLogSource(source);
      }
    }
    vrn::FreeLogFileList(list, count);
    return out;
  }

  std::string TempFolderOf(const char* name) { return vrn::TempZipFolder(name, false); }

  TempFolder engine_, logs_;
  Seen seen_;
  KvWindow window_ = 0;
  VrnDisplayErrorFn savedDisplay_ = nullptr;
  DravelEntry profile_{};
};

TEST_F(CompressedLogs, ClassifiesByContent) {
  const std::string zip = logs_.File("a.zip");
  WriteZip(logs_, zip, {{"x.log", "abc\n"}, {"y.log", "def\n"}});
  const std::string gz = logs_.File("a.gz");
  WriteGzip(gz, "abc\n");
  struct Case {
    std::string path;
    uint16_t kind;
  };
  const std::vector<Case> cases = {
      {zip, vrn::kArchiveZip},
      {gz, vrn::kArchiveGzip},
      {logs_.Write("selfextract.exe", "MZ" + std::string(3000, 'x') + ReadText(zip)), vrn::kArchiveZip},
      {logs_.Write("pk.log", "PK is where a log line starts\n" + std::string(500, 'x') + "PK once\n"),
       vrn::kArchivePlain},
      {logs_.Write("plain.log", LogText(3, 1)), vrn::kArchivePlain},
      {logs_.Write("empty.log", ""), vrn::kArchivePlain},
      {logs_.Write("gzip-stored.log", std::string("\x1f\x8b\x07rest", 7)), vrn::kArchivePlain},
      {logs_.File("missing.log"), vrn::kArchivePlain},
  };
  for (const Case& c : cases) EXPECT_EQ(vrn::ClassifyLogArchive(c.path.c_str()), c.kind) << c.path;
}

TEST_F(CompressedLogs, ExtractedOnceAndAgainWhenTheArchiveChanges) {
  const std::string gzText = LogText(200, 1);
  const std::string aText = LogText(150, 2), bText = LogText(90, 3);
  WriteGzip(logs_.File("access.log.1.gz"), gzText);
  WriteZip(logs_, logs_.File("month.zip"), {{"a.log", aText}, {"sub/", ""}, {"b.log", bText}});
  logs_.Write("plain.log", "");
  const std::string location = logs_.File("access.log.*.gz|month.zip");

  Listing first = List(location);
  EXPECT_EQ(first.contents, (std::vector<std::string>{Digest(gzText), Digest(aText), Digest(bText)}));
  EXPECT_EQ(uint16_t{first.summary.FileCount}, 3);
  EXPECT_EQ(uint16_t{first.summary.ArchiveKind}, vrn::kArchiveZip);
  EXPECT_EQ(profile_.LogKindFlags, vrn::kLogKindZip | vrn::kLogKindGzip);
  EXPECT_TRUE(seen_.errors.empty());
  EXPECT_EQ(seen_.titles, (std::vector<std::string>{"access.log.1.gz", "month.zip"}));
  for (uintptr_t p : seen_.percents) EXPECT_LE(p, 100u);
  const std::string folder = TempFolderOf(profile_.Name);
  EXPECT_EQ(folder, engine_.File("kvm_log/datfiles/0000ABCD.ZIP/"));
  for (const std::string& n : first.names) EXPECT_EQ(n.compare(0, folder.size(), folder), 0) << n;
  const std::string ini = folder + "KV_ZIP.INI";
  EXPECT_EQ(kv::IniGetInt("Main", "NumUnzippedFiles", 0, ini.c_str()), 3);

  // A second listing finds everything extracted.
  seen_.titles.clear();
  Listing second = List(location);
  EXPECT_EQ(second.names, first.names);
  EXPECT_EQ(second.contents, first.contents);
  EXPECT_TRUE(seen_.titles.empty()) << "nothing is extracted again";
  EXPECT_EQ(kv::IniGetInt("Main", "NumUnzippedFiles", 0, ini.c_str()), 3);

  // The archives are rotated: same paths, new content.
  const std::string gzNew = LogText(220, 4);
  const std::string aNew = LogText(151, 5);
  WriteGzip(logs_.File("access.log.1.gz"), gzNew);
  SetWriteTime(logs_.File("access.log.1.gz"), time(nullptr) + 20);
  WriteZip(logs_, logs_.File("month.zip"), {{"a.log", aNew}, {"sub/", ""}, {"b.log", bText}});
  SetWriteTime(logs_.File("month.zip"), time(nullptr) + 20);
  seen_.titles.clear();
  Listing third = List(location);
  EXPECT_EQ(third.contents, (std::vector<std::string>{Digest(gzNew), Digest(aNew), Digest(bText)}));
  EXPECT_EQ(seen_.titles.size(), 2u);
  // The copies of the old content are gone; the folder holds the three logs and the record.
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(folder)) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 4u);

  // Another profile extracts into its own folder.
  DravelEntry other{};
  std::snprintf(other.Name, sizeof(other.Name), "0000FFFF.wlp");
  Listing theirs = List(location, &other);
  EXPECT_EQ(theirs.contents, third.contents);
  for (const std::string& n : theirs.names) EXPECT_NE(n.find("/0000FFFF.ZIP/"), std::string::npos) << n;

  // Deleting the temporary files makes the next listing extract again.
  EXPECT_EQ(VRN_DeleteTempZIPFiles(profile_.Name), 1);
  EXPECT_TRUE(fs::is_empty(folder));
  seen_.titles.clear();
  Listing fourth = List(location);
  EXPECT_EQ(fourth.contents, third.contents);
  EXPECT_EQ(seen_.titles.size(), 2u);
}

TEST_F(CompressedLogs, GzipProgressStaysWithinAHundred) {
  // A very repetitive log expands far more than ten times.
  std::string text;
  for (int i = 0; i < 40000; ++i) text += "10.0.0.1 - - [10/Oct/2020:13:55:36 +0000] \"GET / HTTP/1.0\" 200 1\n";
  WriteGzip(logs_.File("big.gz"), text);
  ASSERT_GT(text.size(), 10 * fs::file_size(logs_.File("big.gz")));
  Listing l = List(logs_.File("big.gz"));
  ASSERT_EQ(l.contents.size(), 1u);
  EXPECT_EQ(l.contents[0], Digest(text));
  ASSERT_GE(seen_.percents.size(), 3u);
  for (size_t i = 0; i < seen_.percents.size(); ++i) {
    EXPECT_LE(seen_.percents[i], 100u);
    if (i > 0) {
      EXPECT_GE(seen_.percents[i], seen_.percents[i - 1]);
    }
  }
  EXPECT_EQ(seen_.percents.back(), 100u);
}

TEST_F(CompressedLogs, CancelledExtractionsAreNeverListedAsComplete) {
  const std::string gzText = LogText(20000, 7);
  const std::string aText = LogText(100, 8), bText = LogText(20000, 9);
  WriteGzip(logs_.File("c.gz"), gzText);
  WriteZip(logs_, logs_.File("c.zip"), {{"a.log", aText}, {"b.log", bText}});

  for (const std::string name : {"c.gz", "c.zip"}) {
    SCOPED_TRACE(name);
    seen_.percents.clear();
    seen_.cancelWord = 0;
    seen_.cancelAfter = 1;  // the progress window asks to stop half-way
    Listing cancelled = List(logs_.File(name));
    EXPECT_EQ(seen_.cancelWord, 1u);
    EXPECT_TRUE(seen_.errors.empty()) << "a cancel is not an error";
    for (const std::string& c : cancelled.contents) EXPECT_EQ(c, Digest(aText)) << "only complete members are listed";

    seen_.cancelAfter = -1;
    seen_.cancelWord = 0;
    Listing later = List(logs_.File(name));
    if (name == "c.gz") {
      EXPECT_EQ(later.contents, std::vector<std::string>{Digest(gzText)});
    } else {
      EXPECT_EQ(later.contents, (std::vector<std::string>{Digest(aText), Digest(bText)}));
    }
  }
  // Nothing but the extracted logs and the record is left in the folder.
  for (const auto& e : fs::directory_iterator(TempFolderOf(profile_.Name))) {
    const std::string n = e.path().filename().string();
    EXPECT_TRUE(n == "KV_ZIP.INI" || (n.rfind("UNZIP", 0) == 0 && n.size() > 4 && n.substr(n.size() - 4) == ".LOG"))
        << n;
  }
}

TEST_F(CompressedLogs, DamagedArchivesAreShownAndNotListed) {
  const std::string text = LogText(5000, 11);
  WriteGzip(logs_.File("cut.gz"), text);
  const std::string bytes = ReadText(logs_.File("cut.gz"));
  std::ofstream(logs_.File("cut.gz"), std::ios::binary | std::ios::trunc) << bytes.substr(0, bytes.size() / 2);
  logs_.Write("notzip.zip", "PK" + std::string(300, 'x') + "PKPK");

  // The client's texts: the gzip and the ZIP failure each show their own,
  // with the archive's path.
  const KvModule texts = KvLoadModule("kvm_log_en.so");
  ASSERT_NE(texts, nullptr) << "kvm_log_en.so is built into the program folder";
  const KvModule saved = vrn::g_engine.resourceModule;
  vrn::g_engine.resourceModule = texts;
  const std::pair<const char*, const char*> cases[] = {{"cut.gz", "Unable to extract the gzip file %s."},
                                                       {"notzip.zip", "Unable to extract the ZIP archive %s."}};
  for (const auto& [name, format] : cases) {
    std::string shown = format;
    shown.replace(shown.find("%s"), 2, logs_.File(name));
    seen_.errors.clear();
    Listing l = List(logs_.File(name));
    EXPECT_TRUE(l.names.empty()) << name;
    EXPECT_EQ(seen_.errors, std::vector<std::string>{shown}) << name;
    // Still not recorded: the next listing tries again and fails again.
    seen_.errors.clear();
    EXPECT_TRUE(List(logs_.File(name)).names.empty()) << name;
    EXPECT_EQ(seen_.errors.size(), 1u) << name;
  }
  vrn::g_engine.resourceModule = saved;
  KvFreeModule(texts);
  for (const auto& e : fs::directory_iterator(TempFolderOf(profile_.Name))) {
    EXPECT_EQ(e.path().filename().string(), "KV_ZIP.INI");
  }
}

TEST_F(CompressedLogs, LogStatusOfCompressedLogs) {
  readertest::TzScope tz("UTC0");
  WriteGzip(logs_.File("day1.log.gz"), LogText(200, 21));  // 13:00:00 .. 13:03:19
  logs_.Write("day2.log", LogText(30, 22));                 // 13:00:00 .. 13:00:29
  const std::string location = logs_.File("day*");

  // The quick refresh does not open archives: it succeeds with the sizes only.
  DravelEntry quick{};
  quick.FirstLogTime = 7;
  ASSERT_EQ(vrn::UpdateProfileLogTimes(&quick, logs_.File("day1.log.gz").c_str()), 1);
  EXPECT_EQ(quick.FirstLogTime, 7u);
  EXPECT_EQ(quick.LogSizeKB, (fs::file_size(logs_.File("day1.log.gz")) + 1023) / 1024);
  EXPECT_TRUE(seen_.titles.empty()) << "nothing is extracted by the quick refresh";

  // The full refresh extracts and scans the extracted log.
  ASSERT_EQ(vrn::GetProfileLogStatus(0, &profile_, location.c_str(), nullptr, 0, 0), 1);
  EXPECT_EQ(profile_.FirstLogTime, readertest::Wall(2020, 10, 10, 13, 0, 0));
  EXPECT_EQ(profile_.LastLogTime, readertest::Wall(2020, 10, 10, 13, 3, 19));
  EXPECT_EQ(uint16_t{profile_.LogStatus.FileCount}, 2);
  EXPECT_EQ(uint16_t{profile_.LogStatus.ArchiveKind}, vrn::kArchivePlain);
  EXPECT_EQ(profile_.LogKindFlags & vrn::kLogKindGzip, vrn::kLogKindGzip);
  EXPECT_EQ(seen_.titles.size(), 1u);
}

// The record may name a member's earlier copy in another letter case than
// the fresh extraction's name; both reach the same file, which is kept.
TEST_F(CompressedLogs, AnEarlierCopyNamedInAnotherCaseIsNotTheFreshCopy) {
  const std::string gzText = LogText(40, 11), aText = LogText(30, 12);
  WriteGzip(logs_.File("access.log.1.gz"), gzText);
  WriteZip(logs_, logs_.File("month.zip"), {{"a.log", aText}});
  const std::string location = logs_.File("access.log.*.gz|month.zip");
  const Listing first = List(location);
  ASSERT_EQ(first.contents, (std::vector<std::string>{Digest(gzText), Digest(aText)}));
  const std::string folder = TempFolderOf(profile_.Name);
  ASSERT_EQ(first.names, (std::vector<std::string>{folder + "UNZIP1.LOG", folder + "UNZIP2.LOG"}));

  // The record names each member's copy by the name its next extraction
  // gets (the counter is at 2), in small letters; then both archives change.
  const std::string ini = folder + "KV_ZIP.INI";
  std::string record = ReadText(ini);
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"UNZIP1.LOG", "unzip3.log"},
                                 {"UNZIP2.LOG", "unzip4.log"}}) {
    const size_t at = record.find(from);
    ASSERT_NE(at, std::string::npos) << record;
    record.replace(at, from.size(), to);
  }
  std::ofstream(ini, std::ios::binary | std::ios::trunc) << record;
  SetWriteTime(logs_.File("access.log.1.gz"), time(nullptr) + 20);
  SetWriteTime(logs_.File("month.zip"), time(nullptr) + 20);

  seen_.titles.clear();
  const Listing second = List(location);
  EXPECT_EQ(seen_.titles.size(), 2u);
  EXPECT_EQ(second.names, (std::vector<std::string>{folder + "UNZIP3.LOG", folder + "UNZIP4.LOG"}));
  for (const std::string& name : second.names) EXPECT_TRUE(fs::exists(name)) << name;
  EXPECT_EQ(second.contents, first.contents);

  // And the next listing finds both copies without extracting again.
  seen_.titles.clear();
  const Listing third = List(location);
  EXPECT_TRUE(seen_.titles.empty());
  EXPECT_EQ(third.contents, first.contents);
}

TEST_F(CompressedLogs, DeleteFilesLeavesFolders) {
  logs_.Write("a.tmp", "1");
  logs_.Write("B.TMP", "2");
  logs_.Write("c.log", "3");
  fs::create_directory(logs_.File("d.tmp"));
  EXPECT_EQ(VRN_DeleteFiles(logs_.File("").c_str(), "*.tmp"), 1);
  EXPECT_FALSE(fs::exists(logs_.File("a.tmp")));
  EXPECT_FALSE(fs::exists(logs_.File("B.TMP")));
  EXPECT_TRUE(fs::exists(logs_.File("c.log")));
  EXPECT_TRUE(fs::is_directory(logs_.File("d.tmp")));
  EXPECT_EQ(VRN_DeleteFiles(logs_.File("").c_str(), "*.none"), -1);
  EXPECT_EQ(VRN_DeleteFiles(nullptr, nullptr), -1);
  EXPECT_EQ(VRN_DeleteTempZIPFiles("never-used"), -1);
}

TEST(PathHelpers, Table) {
  struct Case {
    const char* path;
    const char* folder;
    const char* file;
    const char* extension;
  };
  const Case cases[] = {
      {"c:\\logs\\ex0101.log", "c:\\logs", "ex0101.log", ".log"},
      {"c:ex.log", "c", "ex.log", ".log"},
      {"/var/log/access.log.1", "/var/log", "access.log.1", ".1"},
      {"name", "", "name", ""},
      {"dir.d\\name", "dir.d", "name", ""},
      {"", "", "", ""},
  };
  for (const Case& c : cases) {
    char out[64];
    vrn::GetPathFolder(c.path, out, sizeof(out));
    EXPECT_STREQ(out, c.folder) << c.path;
    vrn::GetPathFileName(c.path, out, sizeof(out));
    EXPECT_STREQ(out, c.file) << c.path;
    vrn::GetPathExtension(c.path, out, sizeof(out));
    EXPECT_STREQ(out, c.extension) << c.path;
  }
  char small[4];
  vrn::GetPathFileName("c:\\logs\\longname.log", small, sizeof(small));
  EXPECT_STREQ(small, "lon");

  char text[] = "profile.v1.wlp";
  char* cut = vrn::CutAtLastDot(text);
  ASSERT_NE(cut, nullptr);
  EXPECT_STREQ(text, "profile.v1");
  EXPECT_EQ(cut, text + 10);
  char none[] = "noext";
  EXPECT_EQ(vrn::CutAtLastDot(none), nullptr);
  EXPECT_STREQ(none, "noext");
}

TEST(CopyReportFile, CopiesWholeOrReportsAndCleansUp) {
  TempFolder from, to;
  std::string content;
  for (int i = 0; i < 700; ++i) content += "chart bytes " + std::to_string(i) + "\n";
  from.Write("chart.gif", content);
  const std::string sourceRef = from.File("template.htm");
  const std::string destRef = to.File("report.htm");

  vrn::g_engine.summaryErrorText.clear();
  EXPECT_EQ(vrn::CopyReportFile(sourceRef.c_str(), "chart.gif", destRef.c_str()), 1);
  EXPECT_EQ(ReadText(to.File("chart.gif")), content);
  EXPECT_TRUE(vrn::g_engine.summaryErrorText.empty());

  // Overwrites a longer destination completely.
  to.Write("small.txt", std::string(5000, 'z'));
  from.Write("small.txt", "abc");
  EXPECT_EQ(vrn::CopyReportFile(sourceRef.c_str(), "small.txt", destRef.c_str()), 1);
  EXPECT_EQ(ReadText(to.File("small.txt")), "abc");

  EXPECT_EQ(vrn::CopyReportFile(sourceRef.c_str(), "missing.gif", destRef.c_str()), 0);
  EXPECT_FALSE(vrn::g_engine.summaryErrorText.empty());
  EXPECT_FALSE(fs::exists(to.File("missing.gif")));

  vrn::g_engine.summaryErrorText.clear();
  const std::string nowhere = to.File("no/such/folder/report.htm");
  EXPECT_EQ(vrn::CopyReportFile(sourceRef.c_str(), "chart.gif", nowhere.c_str()), 0);
  EXPECT_FALSE(vrn::g_engine.summaryErrorText.empty());
}

TEST(CopyReportFile, EachFailureSetsTheTextThatSaysSo) {
  const KvModule texts = KvLoadModule("kvm_log_en.so");
  ASSERT_NE(texts, nullptr) << "kvm_log_en.so is built into the program folder";
  const KvModule saved = vrn::g_engine.resourceModule;
  vrn::g_engine.resourceModule = texts;
  TempFolder from, to;
  from.Write("chart.gif", "GIF89a");
  const std::string sourceRef = from.File("template.htm");
  const std::string destRef = to.File("report.htm");
  auto formatted = [](uint32_t id, const std::string& path) {
    std::string text = vrn::LoadResString(id);
    const size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, path);
    return text;
  };
  struct Case {
    const char* file;
    std::string dest;
    std::string text;
  };
  const Case cases[] = {
      {"missing.gif", destRef, formatted(5591, from.File("missing.gif"))},
      {"chart.gif", to.File("none/report.htm"), formatted(5592, to.File("none/chart.gif"))},
      // The process's own memory file opens, but a read at offset 0 fails.
      {"mem", destRef, vrn::LoadResString(5593)},
  };
  for (const Case& c : cases) {
    vrn::g_engine.summaryErrorText.clear();
    const std::string source = std::strcmp(c.file, "mem") == 0 ? "/proc/self/template" : sourceRef;
    EXPECT_EQ(vrn::CopyReportFile(source.c_str(), c.file, c.dest.c_str()), 0) << c.file;
    EXPECT_EQ(vrn::g_engine.summaryErrorText, c.text) << c.file;
    EXPECT_FALSE(fs::exists(to.File(c.file))) << c.file << ": no partial copy is left";
  }
  EXPECT_NE(std::string(vrn::LoadResString(5593)).find("reading"), std::string::npos);
  vrn::g_engine.resourceModule = saved;
  KvFreeModule(texts);
}

}  // namespace
