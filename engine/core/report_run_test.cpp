// Report runs end to end: a profile, its logs, a time window, and the steps
// until the run answers -1; counts, percent, reloads, view files.
#include "engine/core/report_run.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <vornic/report.h>

#include "engine/core/engine_state.h"
#include "engine/core/report_run_testutil.h"
#include "engine/network/hit_step.h"
#include "platform/base/clock.h"
#include "platform/base/memory.h"

namespace {

using namespace runtest;

struct RunResult {
  int16_t created = -1;
  uint16_t createError = 0;
  uint32_t records = 0;
  uint16_t stepError = 0;
  uint32_t finalPercent = 0;
  bool percentMonotonic = true;
  bool percentInRange = true;
  uint32_t yields = 0;
  std::vector<std::string> views;   // the view files' text, by buffer
  std::vector<std::string> titles;  // the buffers' titles
};

class ReportRun : public EngineFixture {
 protected:
  // Creates a run, steps it to the end and closes it.
  RunResult Run(const std::string& profileFile, uint32_t start, uint32_t end, uint32_t kind, uint32_t variant = 0,
                const std::string& viewFolder = "") {
    RunResult r;
    DravelEntry* profile = NewProfile();
    char folder[300] = {};
    std::strncpy(folder, (viewFolder.empty() ? folder_ + "view/" : viewFolder).c_str(), sizeof folder - 1);
    uint32_t handle = 0;
    r.created = VRN_Cre8Report(11, static_cast<uint16_t>(slot_), profile, profileFile.c_str(), "Caption", folder,
                               &handle, 77, 0, start, end, kind, variant, nullptr, nullptr, "", 0, 0,
                               &r.createError);
    if (r.created == 0) {
      uint32_t last = 0;
      for (int i = 0; i < 10000000; ++i) {
        uint32_t yield = 0;
        uint16_t error = 0;
        int16_t step = VRN_PeekReport(static_cast<uint16_t>(slot_), handle, &yield, &error);
        r.yields += yield;
        uint32_t percent = ADT_GetReportDonePercent(handle);
        if (percent < last) r.percentMonotonic = false;
        if (percent > 100) r.percentInRange = false;
        last = percent;
        if (step != 0) {
          r.stepError = error;
          break;
        }
      }
      r.records = ADT_GetReportRecCount(handle);
      r.finalPercent = ADT_GetReportDonePercent(handle);
      for (int32_t i = 0; i < ADT_ViewReportCount(handle); ++i) {
        ADT_SetViewReportBuffer(handle, i);
        char path[600];
        ADT_GetReportASCII_Filename(handle, path, sizeof path);
        r.views.push_back(ReadFile(path));
        r.titles.push_back(ADT_GetViewReportDescPtr(handle, i));
      }
      uint16_t error = 0;
      EXPECT_EQ(VRN_CloseReport(static_cast<uint16_t>(slot_), handle, &error), 0);
    }
    VRN_FreeSet(profile);
    return r;
  }

  // Creates a run of profileFile over the whole time range; its view files
  // go to view/ when inView is set, else beside the profile.
  int16_t Create(DravelEntry* profile, const char* profileFile, uint32_t kind, uint32_t variant, bool inView,
                 uint32_t* handle, uint16_t* error) {
    char folder[300] = {};
    if (inView) std::strncpy(folder, (folder_ + "view/").c_str(), sizeof folder - 1);
    return VRN_Cre8Report(1, 0, profile, profileFile, "", folder, handle, 77, 0, 0, 0xFFFFFFFEu, kind, variant,
                          nullptr, nullptr, "", 0, 0, error);
  }
  static DravelEntry* NewProfile() { return static_cast<DravelEntry*>(std::calloc(1, sizeof(DravelEntry))); }

  // Three logs whose first times are out of name order: a.log day 3, b.log
  // day 1, c.log day 2; 300 records a day, one a minute from 08:00.
  std::vector<uint32_t> WriteThreeDays() {
    std::vector<uint32_t> times;
    const char* names[] = {"a.log", "b.log", "c.log"};
    const int days[] = {3, 1, 2};
    for (int f = 0; f < 3; ++f) {
      std::string text;
      for (int i = 0; i < 300; ++i) {
        uint32_t t = Wall(2026, 11, days[f], 8, 0, 0) + static_cast<uint32_t>(i) * 60;
        times.push_back(t);
        text += CombinedLine(t, "10.0.0." + std::to_string(i % 7), "GET", "/page" + std::to_string(i % 13) + ".html",
                             200, 1000 + static_cast<uint32_t>(i));
      }
      WriteFile(folder_ + "logs/" + names[f], text);
    }
    return times;
  }
};

// Caps the size of every file the process writes, while it lives: writes
// beyond the cap fail.
class FileSizeCap {
 public:
  explicit FileSizeCap(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, SIG_IGN);
    rlimit capped = saved_;
    capped.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &capped);
  }
  ~FileSizeCap() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, SIG_DFL);
  }
  FileSizeCap(const FileSizeCap&) = delete;
  FileSizeCap& operator=(const FileSizeCap&) = delete;

 private:
  rlimit saved_{};
};

uint32_t CountIn(const std::vector<uint32_t>& times, uint32_t start, uint32_t end) {
  uint32_t n = 0;
  for (uint32_t t : times) n += (t >= start && t <= end) ? 1 : 0;
  return n;
}

TEST_F(ReportRun, CountsExactlyTheWindowAcrossFilesOutOfNameOrder) {
  std::vector<uint32_t> times = WriteThreeDays();
  WriteProfile("count.wlp", folder_ + "logs/*.log");
  const uint32_t start = Wall(2026, 11, 1, 10, 30, 0);  // into the first file (day 1)
  const uint32_t end = Wall(2026, 11, 3, 9, 15, 0);     // into the last file (day 3)
  const uint32_t expected = CountIn(times, start, end);
  ASSERT_GT(expected, 300u);
  ASSERT_LT(expected, 900u);

  RunResult r = Run("count.wlp", start, end, 5);
  ASSERT_EQ(r.created, 0) << r.createError;
  EXPECT_EQ(r.records, expected);
  EXPECT_EQ(r.stepError, 0);
  EXPECT_EQ(r.finalPercent, 100u);
  EXPECT_TRUE(r.percentMonotonic);
  EXPECT_TRUE(r.percentInRange);
  EXPECT_GE(r.yields, 3u);  // file changes and every 301st read step

  // Reopening the file every 100 bytes changes nothing in what is read.
  vrn::g_engine.logFileReloadSize = 100;
  RunResult reloaded = Run("count.wlp", start, end, 5);
  ASSERT_EQ(reloaded.created, 0);
  EXPECT_EQ(reloaded.records, expected);
  EXPECT_TRUE(reloaded.percentMonotonic);
  EXPECT_EQ(reloaded.finalPercent, 100u);

  // The whole range.
  RunResult all = Run("count.wlp", 0, 0xFFFFFFFEu, 5);
  EXPECT_EQ(all.records, 900u);
}

TEST_F(ReportRun, RejectedStretchLongerThanTheReadWindowIsPassedOver) {
  std::string text;
  const uint32_t t0 = Wall(2026, 11, 5, 0, 0, 0);
  for (int i = 0; i < 10; ++i) text += CombinedLine(t0 + static_cast<uint32_t>(i), "10.1.1.1", "GET", "/a.html", 200, 5);
  while (text.size() < 160000) text += "this line is not a log line at all, it is rejected by the reader ###\n";
  for (int i = 10; i < 25; ++i) text += CombinedLine(t0 + static_cast<uint32_t>(i), "10.1.1.1", "GET", "/b.html", 200, 5);
  WriteFile(folder_ + "logs/noisy.log", text);
  WriteProfile("noisy.wlp", folder_ + "logs/noisy.log");
  RunResult r = Run("noisy.wlp", 0, 0xFFFFFFFEu, 5);
  ASSERT_EQ(r.created, 0);
  EXPECT_EQ(r.records, 25u);
  EXPECT_EQ(r.finalPercent, 100u);
}

TEST_F(ReportRun, CreationFailures) {
  // No record in the window: no error word.
  WriteThreeDays();
  WriteProfile("p.wlp", folder_ + "logs/*.log");
  RunResult none = Run("p.wlp", Wall(2030, 1, 1, 0, 0, 0), Wall(2030, 1, 2, 0, 0, 0), 5);
  EXPECT_EQ(none.created, -1);
  EXPECT_EQ(none.createError, 0);

  // Every log empty.
  WriteFile(folder_ + "logs/empty1.txt", "");
  WriteFile(folder_ + "logs/empty2.txt", "");
  WriteProfile("empty.wlp", folder_ + "logs/*.txt");
  RunResult empty = Run("empty.wlp", 0, 0xFFFFFFFEu, 5);
  EXPECT_EQ(empty.created, -1);
  EXPECT_EQ(empty.createError, VRN_ERR_NO_DATA);

  // Unknown profile, no matching log.
  EXPECT_EQ(Run("missing.wlp", 0, 0xFFFFFFFEu, 5).created, -1);
  WriteProfile("nolog.wlp", folder_ + "logs/nothing*.log");
  RunResult nolog = Run("nolog.wlp", 0, 0xFFFFFFFEu, 5);
  EXPECT_EQ(nolog.created, -1);
  EXPECT_EQ(nolog.createError, VRN_ERR_FILE);
}

TEST_F(ReportRun, AnalysisRunReadsEveryRecordIntoItsContext) {
  WriteThreeDays();
  WriteProfile("p.wlp", folder_ + "logs/*.log");
  const RunResult count = Run("p.wlp", 0, 0xFFFFFFFEu, 5);
  const RunResult analysis = Run("p.wlp", 0, 0xFFFFFFFEu, 6);
  ASSERT_EQ(analysis.created, 0) << analysis.createError;
  EXPECT_EQ(analysis.stepError, 0);
  EXPECT_EQ(analysis.records, count.records);
  EXPECT_EQ(analysis.finalPercent, 100u);

  // A profile name that does not fit is refused before anything is read.
  RunResult longName = Run(std::string(300, 'x') + ".wlp", 0, 0xFFFFFFFEu, 5);
  EXPECT_EQ(longName.created, -1);
  EXPECT_EQ(longName.createError, VRN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(vrn::ReportRunFileCount(), 0u);
  EXPECT_EQ(kv::GlobalLiveCount(), 0u);
}

TEST_F(ReportRun, OneRunAtATimeAndStepsAfterTheEnd) {
  WriteThreeDays();
  WriteProfile("p.wlp", folder_ + "logs/*.log");
  DravelEntry* a = NewProfile();
  DravelEntry* b = NewProfile();
  uint32_t first = 0, second = 0;
  uint16_t error = 0;
  ASSERT_EQ(Create(a, "p.wlp", 5, 0, false, &first, &error), 0);
  EXPECT_EQ(Create(b, "p.wlp", 5, 0, false, &second, &error), -1);
  EXPECT_EQ(second, 0u);
  int steps = 0;
  while (VRN_PeekReport(0, first, nullptr, &error) == 0) ++steps;
  EXPECT_EQ(ADT_GetReportRecCount(first), 900u);
  EXPECT_EQ(VRN_PeekReport(0, first, nullptr, &error), -1);
  EXPECT_EQ(VRN_PeekReport(0, first, nullptr, &error), -1);
  EXPECT_EQ(VRN_CloseReport(0, first, &error), 0);
  // A stale or foreign handle is refused, not used.
  EXPECT_EQ(VRN_PeekReport(0, first, nullptr, &error), -1);
  EXPECT_EQ(error, VRN_ERR_BAD_ARGUMENT);
  EXPECT_EQ(ADT_GetReportRecCount(first), 0u);
  VRN_FreeSet(a);
  VRN_FreeSet(b);
}

int StopAfterThree(uint32_t state, vrn::HitRecord* hit, vrn::DnsRun* run) {
  static int seen = 0;
  if (hit == nullptr) {
    seen = 0;
    return 1;
  }
  (void)state;
  (void)run;
  return ++seen < 3 ? 1 : 0;
}

TEST_F(ReportRun, StopFromThePerHitStepEndsTheRunAsAFailure) {
  WriteThreeDays();
  WriteProfile("p.wlp", folder_ + "logs/*.log");
  DravelEntry* profile = NewProfile();
  uint32_t handle = 0;
  uint16_t error = 0;
  ASSERT_EQ(Create(profile, "p.wlp", 5, 0, false, &handle, &error), 0);
  StopAfterThree(0, nullptr, nullptr);
  auto* run = static_cast<vrn::ReportHandle*>(kv::GlobalLock(handle));
  run->dns.hitStep = StopAfterThree;
  kv::GlobalUnlock(handle);
  int16_t step = 0;
  int steps = 0;
  while ((step = VRN_PeekReport(0, handle, nullptr, &error)) == 0) ++steps;
  EXPECT_EQ(step, -1);
  EXPECT_NE(error, 0);
  EXPECT_LT(steps, 10);
  EXPECT_EQ(VRN_PeekReport(0, handle, nullptr, &error), -1);
  EXPECT_EQ(VRN_CloseReport(0, handle, &error), 0);
  VRN_FreeSet(profile);
}

// Passes two hits into the analysis database and then refuses one as the
// database does when a table cannot take its item.
int RefuseTheThirdHit(uint32_t state, vrn::HitRecord* hit, vrn::DnsRun* run) {
  static int seen = 0;
  if (hit == nullptr) {
    seen = 0;
    return 1;
  }
  if (++seen < 3) return vrn::ProcessResolvedHit(state, hit, run);
  run->stopError = VRN_ERR_NO_MEMORY;
  return 0;
}

TEST_F(ReportRun, AnAnalysisStoppedByItsDatabaseTellsWhyAndFinishesTheDatabase) {
  WriteThreeDays();
  WriteProfile("p.wlp", folder_ + "logs/*.log");
  DravelEntry* profile = NewProfile();
  uint32_t handle = 0;
  uint16_t error = 0;
  ASSERT_EQ(Create(profile, "p.wlp", 6, 0, false, &handle, &error), 0) << error;
  RefuseTheThirdHit(0, nullptr, nullptr);
  auto* run = static_cast<vrn::ReportHandle*>(kv::GlobalLock(handle));
  ASSERT_NE(run->databaseHandle, 0u);
  run->dns.hitStep = RefuseTheThirdHit;
  kv::GlobalUnlock(handle);
  int16_t step = 0;
  int steps = 0;
  while ((step = VRN_PeekReport(0, handle, nullptr, &error)) == 0 && steps < 100) ++steps;
  EXPECT_EQ(step, -1);
  EXPECT_EQ(error, VRN_ERR_NO_MEMORY) << "not the file error of a view";
  EXPECT_EQ(ADT_GetReportDonePercent(handle), 100u);
  run = static_cast<vrn::ReportHandle*>(kv::GlobalLock(handle));
  EXPECT_EQ(run->databaseHandle, 0u) << "the database is finished and released at the stop";
  kv::GlobalUnlock(handle);
  EXPECT_EQ(VRN_CloseReport(0, handle, &error), 0);
  VRN_FreeSet(profile);
  EXPECT_EQ(kv::GlobalLiveCount(), 0u);
}

// ---- text views -------------------------------------------------------------

class ReportView : public ReportRun {
 protected:
  void WriteVisits() {
    const uint32_t d = Wall(2026, 11, 15, 9, 0, 0);
    std::string text;
    text += CombinedLine(d, "192.0.2.7", "GET", "/index.html", 200, 2047, "-", "Mozilla/4.0 (compatible; MSIE 5.0)", "bob");
    text += CombinedLine(d + 5, "192.0.2.7", "GET", "/a/b/c.htm", 200, 512, "-", "Mozilla/4.0 (compatible; MSIE 5.0)", "bob");
    text += CombinedLine(d + 9, "192.0.2.7", "POST", "/cgi-bin/form.cgi", 404, 0, "http://www.example.com/", "Mozilla/4.0 (compatible; MSIE 5.0)", "bob");
    text += CombinedLine(d + 30, "198.51.100.4", "GET", "/very/long/directory/name/that/goes/on/and/on/and/on/for/quite/a/while/file.html", 500, 123456);
    text += CombinedLine(d + 31, "198.51.100.4", "HEAD", "/", 200, 0);
    text += CombinedLine(d + 86400, "192.0.2.7", "GET", "/index.html", 403, 10, "-", "Mozilla/4.0 (compatible; MSIE 5.0)", "bob");
    WriteFile(folder_ + "logs/visits.log", text);
    WriteProfile("v.wlp", folder_ + "logs/visits.log");
  }

  void ExpectGolden(const RunResult& r, const std::string& name) {
    const char* src = std::getenv("KV_SOURCE_DIR");
    ASSERT_NE(src, nullptr);
    const std::string base = std::string(src) + "/engine/core/testdata/" + name;
    for (size_t i = 0; i < r.views.size(); ++i) {
      // The temporary folder's name differs from run to run.
      std::string text = r.views[i];
      for (size_t at; (at = text.find(folder_)) != std::string::npos;) text.replace(at, folder_.size(), "@FOLDER@/");
      const std::string path = base + "_" + std::to_string(i) + ".txt";
      if (std::getenv("KV_UPDATE_GOLDEN") != nullptr) WriteFile(path, text);
      EXPECT_EQ(text, ReadFile(path)) << path;
    }
  }
};

TEST_F(ReportView, GoldenViewsByKindAndVariant) {
  WriteVisits();
  // The header shows the creation time: fix the clock.
  kv::ScopedTestClock clock(Wall(2026, 12, 1, 12, 0, 0), 1000);
  struct G {
    uint32_t kind, variant;
    const char* golden;
    std::vector<std::string> titles;
  } cases[] = {
      {3, 0, "view_k3_v0", {""}},
      {2, 0, "view_k2_v0", {""}},
      {3, 4, "view_k3_v4", {"Get", "Post", "Head"}},
      {2, 8, "view_k2_v8", {"192.0.2.7", "198.51.100.4"}},
      {3, 8, "view_k3_v8", {"192.0.2.7", "198.51.100.4"}},
      {2, 4, "view_k2_v4", {"Get", "Post", "Head"}},
  };
  for (const G& g : cases) {
    RunResult r = Run("v.wlp", 0, 0xFFFFFFFEu, g.kind, g.variant);
    ASSERT_EQ(r.created, 0);
    EXPECT_EQ(r.records, 6u);
    EXPECT_EQ(r.titles, g.titles) << g.golden;
    ExpectGolden(r, g.golden);
  }
  // Kind 3 deleted its files.
  EXPECT_TRUE(ListFolder(folder_ + "view/").empty());
}

TEST_F(ReportView, KeptViewFilesAreNeverOverwrittenByTheNextRun) {
  WriteVisits();
  RunResult first = Run("v.wlp", 0, 0xFFFFFFFEu, 4, 4);
  ASSERT_EQ(first.created, 0);
  std::vector<std::string> afterFirst = ListFolder(folder_ + "view/");
  ASSERT_EQ(afterFirst.size(), 3u);
  std::vector<std::string> contents;
  for (const auto& n : afterFirst) contents.push_back(ReadFile(folder_ + "view/" + n));
  RunResult second = Run("v.wlp", 0, 0xFFFFFFFEu, 4, 4);
  ASSERT_EQ(second.created, 0);
  std::vector<std::string> afterSecond = ListFolder(folder_ + "view/");
  EXPECT_EQ(afterSecond.size(), 6u);
  for (size_t i = 0; i < afterFirst.size(); ++i)
    EXPECT_EQ(ReadFile(folder_ + "view/" + afterFirst[i]), contents[i]) << afterFirst[i];
  EXPECT_EQ(afterFirst[0], "~000_000.TMP");
  EXPECT_EQ(afterSecond[3], "~001_000.TMP");
}

TEST_F(ReportView, AtMostFiveViewFilesOpenAndClosedOnesReopen) {
  const uint32_t d = Wall(2026, 11, 15, 9, 0, 0);
  std::string text;
  for (int i = 0; i < 7; ++i)
    text += CombinedLine(d + static_cast<uint32_t>(i), "10.9.9." + std::to_string(i), "GET", "/x.html", 200, 1);
  WriteFile(folder_ + "logs/hosts.log", text);
  WriteProfile("h.wlp", folder_ + "logs/hosts.log");
  // Ticks move only when the run sleeps or the test advances them.
  kv::ScopedTestClock clock(Wall(2026, 12, 1, 12, 0, 0), 1000);
  DravelEntry* profile = NewProfile();
  uint32_t handle = 0;
  uint16_t error = 0;
  ASSERT_EQ(Create(profile, "h.wlp", 3, 8, true, &handle, &error), 0);
  auto* run = static_cast<vrn::ReportHandle*>(kv::GlobalLock(handle));
  uint16_t mostOpen = 0;
  while (VRN_PeekReport(0, handle, nullptr, &error) == 0) {
    mostOpen = std::max(mostOpen, run->openViewFiles);
    clock.Advance(10);
  }
  EXPECT_EQ(ADT_ViewReportCount(handle), 7);
  EXPECT_EQ(mostOpen, 5);
  ASSERT_FALSE(run->viewTable[1]->open);  // the least recently used went first
  ASSERT_FALSE(run->viewTable[2]->open);
  ASSERT_TRUE(run->viewTable[0]->open);   // the viewed buffer stays open

  // Selecting a closed buffer reopens it at its end.
  ADT_AttachLongToReport(handle, 77);
  EXPECT_EQ(ADT_SetViewReportBuffer(handle, 1), 0u);
  EXPECT_TRUE(run->viewTable[1]->open);
  EXPECT_LE(run->openViewFiles, 5);
  EXPECT_GE(ADT_GetReportASCII_fh(handle), 3);
  EXPECT_EQ(ADT_PreviousViewReportBuffer(handle), 77u);  // back to buffer 0 with its word
  EXPECT_EQ(ADT_PreviousViewReportBuffer(handle), 0u);   // wraps to the last
  EXPECT_EQ(ADT_GetViewReportBufferNum(handle), 6);
  EXPECT_EQ(ADT_NextViewReportBuffer(handle), 77u);      // wraps to 0

  // A closed buffer whose file is gone stays closed and is reported.
  int closedIndex = -1;
  for (int i = 0; i < 7 && closedIndex < 0; ++i)
    if (!run->viewTable[i]->open) closedIndex = i;
  ASSERT_GE(closedIndex, 0);
  std::filesystem::remove(folder_ + "view/" + run->viewTable[closedIndex]->fileName);
  const uint16_t openBefore = run->openViewFiles;
  g_shownErrors.clear();
  ADT_SetViewReportBuffer(handle, closedIndex);
  EXPECT_FALSE(run->viewTable[closedIndex]->open);
  EXPECT_LE(run->openViewFiles, openBefore);
  EXPECT_EQ(ADT_GetReportASCII_fh(handle), -1);
  EXPECT_FALSE(g_shownErrors.empty());
  kv::GlobalUnlock(handle);
  EXPECT_EQ(VRN_CloseReport(0, handle, &error), 0);
  EXPECT_TRUE(ListFolder(folder_ + "view/").empty());
  VRN_FreeSet(profile);
}

TEST_F(ReportRun, W3CColumnsChangedMidFileSurviveAReload) {
  std::string text = "#Software: test\r\n#Fields: date time c-ip cs-method cs-uri-stem sc-status sc-bytes\r\n";
  for (int i = 0; i < 20; ++i)
    text += "2026-11-05 10:00:" + std::string(i < 10 ? "0" : "") + std::to_string(i) + " 10.0.0.1 GET /ok/a" +
            std::to_string(i) + ".html 200 100\r\n";
  // The columns change inside the log: the page and the client swap places
  // (the head's table still reads such a line, but takes the wrong fields).
  text += "#Fields: date time cs-uri-stem cs-method c-ip sc-status sc-bytes\r\n";
  for (int i = 20; i < 60; ++i)
    text += "2026-11-05 10:00:" + std::to_string(i) + " /ok/b" + std::to_string(i) + ".html GET 10.0.0.2 200 100\r\n";
  WriteFile(folder_ + "logs/ex.log", text);
  WriteProfile("w.wlp", folder_ + "logs/ex.log");
  RunResult whole = Run("w.wlp", 0, 0xFFFFFFFEu, 3);
  ASSERT_EQ(whole.created, 0);
  EXPECT_EQ(whole.records, 60u);
  ASSERT_EQ(whole.views.size(), 1u);
  size_t pages = 0;
  for (size_t at = 0; (at = whole.views[0].find("/ok/", at)) != std::string::npos; ++at) ++pages;
  EXPECT_EQ(pages, 60u);
  vrn::g_engine.logFileReloadSize = 150;
  RunResult reloaded = Run("w.wlp", 0, 0xFFFFFFFEu, 3);
  ASSERT_EQ(reloaded.created, 0);
  EXPECT_EQ(reloaded.records, 60u);
  ASSERT_EQ(reloaded.views.size(), 1u);
  size_t shown = 0;
  for (size_t at = 0; (at = reloaded.views[0].find("/ok/", at)) != std::string::npos; ++at) ++shown;
  EXPECT_EQ(shown, 60u);
}

TEST_F(ReportRun, AHitThatCannotBeQueuedStopsTheRunVisibly) {
  WriteThreeDays();
  WriteProfile("p.wlp", folder_ + "logs/*.log");
  DravelEntry* profile = NewProfile();
  uint32_t handle = 0;
  uint16_t error = 0;
  ASSERT_EQ(Create(profile, "p.wlp", 5, 0, false, &handle, &error), 0);
  ASSERT_EQ(VRN_PeekReport(0, handle, nullptr, &error), 0);
  vrn::FreeDNSFifo();  // no queue: the next hit cannot be queued
  g_shownErrors.clear();
  EXPECT_EQ(VRN_PeekReport(0, handle, nullptr, &error), -1);
  EXPECT_EQ(error, VRN_ERR_NO_MEMORY);
  EXPECT_FALSE(g_shownErrors.empty());
  EXPECT_EQ(VRN_PeekReport(0, handle, nullptr, &error), -1);
  EXPECT_EQ(ADT_GetReportRecCount(handle), 1u);
  EXPECT_EQ(VRN_CloseReport(0, handle, &error), 0);
  ASSERT_TRUE(vrn::AllocateDNSFifo(vrn::g_engine.dnsQueueSize));
  VRN_FreeSet(profile);
}

TEST_F(ReportRun, AViewWriteThatFailsMidRunStopsTheRun) {
  WriteThreeDays();
  WriteProfile("p.wlp", folder_ + "logs/*.log");
  DravelEntry* profile = NewProfile();
  uint32_t handle = 0;
  uint16_t error = 0;
  ASSERT_EQ(Create(profile, "p.wlp", 3, 0, true, &handle, &error), 0);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(VRN_PeekReport(0, handle, nullptr, &error), 0);
  char path[600] = {};
  ADT_GetReportASCII_Filename(handle, path, sizeof path);
  const std::string before = ReadFile(path);
  ASSERT_FALSE(before.empty());
  g_shownErrors.clear();
  int16_t step = 0;
  int steps = 0;
  {
    // The view file may not grow any more: the next hit's write fails.
    FileSizeCap cap(before.size());
    while ((step = VRN_PeekReport(0, handle, nullptr, &error)) == 0 && steps < 10) ++steps;
  }
  EXPECT_EQ(step, -1);
  EXPECT_EQ(steps, 0) << "the first hit that cannot be written stops the run";
  EXPECT_EQ(error, VRN_ERR_FILE);
  EXPECT_EQ(ADT_GetReportDonePercent(handle), 100u);
  EXPECT_FALSE(g_shownErrors.empty());
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(VRN_PeekReport(0, handle, nullptr, &error), -1);
  EXPECT_EQ(VRN_CloseReport(0, handle, &error), 0);
  EXPECT_EQ(vrn::DNSFifoCount(), 0u);
  VRN_FreeSet(profile);
}

TEST_F(ReportRun, AHeaderThatCannotBeWrittenFailsAndClosesTheRun) {
  WriteThreeDays();
  WriteProfile("p.wlp", folder_ + "logs/*.log");
  DravelEntry* profile = NewProfile();
  uint32_t handle = 0;
  uint16_t error = 0;
  int16_t created = 0;
  {
    // Files may be created but not grow: every write fails.
    FileSizeCap cap(0);
    created = Create(profile, "p.wlp", 3, 0, true, &handle, &error);
  }
  EXPECT_EQ(created, -1);
  EXPECT_EQ(error, VRN_ERR_FILE);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(kv::GlobalLiveCount(), 0u);
  EXPECT_EQ(vrn::ReportRunSource(), vrn::kNoLogSource);
  EXPECT_TRUE(ListFolder(folder_ + "view/").empty());
  // The run was closed: a new one can be made.
  ASSERT_EQ(Create(profile, "p.wlp", 3, 0, true, &handle, &error), 0);
  EXPECT_EQ(VRN_CloseReport(0, handle, &error), 0);
  VRN_FreeSet(profile);
}

}  // namespace
