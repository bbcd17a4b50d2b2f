// The realtime update day by day over real logs and period files, its
// cancellation and failures, the realtime report's merge of stored days, and
// the deletion of a profile's realtime data.
#include "engine/database/realtime_update.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include <vornic/profile.h>
#include <vornic/realtime.h>
#include <vornic/registration.h>
#include <vornic/vornic.h>

#include "engine/core/engine_state.h"
#include "engine/database/accum_testutil.h"
#include "engine/database/analysis_context.h"
#include "engine/database/finishing.h"
#include "engine/database/realtime_store.h"
#include "engine/database/report_ranges.h"
#include "engine/network/dns_queue.h"

namespace {

using accumtest::Wall;

const uint32_t kDay1 = Wall(2026, 3, 1, 0, 0, 0);
const uint32_t kDay2 = kDay1 + 86400;

std::string Stamp(uint32_t t) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const time_t v = t;
  struct tm f{};
  gmtime_r(&v, &f);
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%s/%04d:%02d:%02d:%02d +0000", f.tm_mday, kMonths[f.tm_mon],
                f.tm_year + 1900, f.tm_hour, f.tm_min, f.tm_sec);
  return text;
}

std::string Line(uint32_t t, const char* page = "/a.html") {
  return "10.0.0.1 - - [" + Stamp(t) + "] \"GET " + page + " HTTP/1.0\" 200 100\n";
}

// Progress calls seen, and what to answer.
struct ProgressLog {
  int calls = 0;
  int cancelAfter = -1;      // answer 7 from this call on
  int abortAfter = -1;       // call VRN_AbortRealtimeAnalysis at this call
  uint32_t nestingSeen = 0;
};
ProgressLog g_progress;
int g_deferredCalls = 0;
void Deferred() { ++g_deferredCalls; }

int32_t Progress(uint32_t, const char*, uint32_t, int32_t, uint32_t) {
  const int call = g_progress.calls++;
  if (g_progress.abortAfter >= 0 && call == g_progress.abortAfter)
    g_progress.nestingSeen = VRN_AbortRealtimeAnalysis(&Deferred);
  if (g_progress.cancelAfter >= 0 && call >= g_progress.cancelAfter) return 7;
  return 0;
}

std::vector<uint32_t> g_errorIds;
std::vector<std::string> g_errorTexts;
// Numbered messages only: texts shown as they stand (the note that no
// search-engine file was found, for one) carry no number; they are kept
// apart.
int32_t CaptureError(KvWindow, const char*, const char* text, uint32_t a4, uint32_t, uint32_t) {
  if (a4 != 0) g_errorIds.push_back(a4);
  if (a4 == 0 && text != nullptr) g_errorTexts.push_back(text);
  return 0;
}

class RealtimeTest : public accumtest::ContextFixture {
 protected:
  void SetUp() override {
    ContextFixture::SetUp();
    setenv("TZ", "UTC", 1);
    tzset();
    ASSERT_NE(MakeContext(), nullptr);
    ASSERT_TRUE(vrn::AllocateDNSFifo(64));
    profile_.RealtimeAnalysis = 1;
    profile_.PellavarFlag = 1;
    std::snprintf(profile_.PellavarRepository, sizeof profile_.PellavarRepository, "%srt", folder_.c_str());
    std::snprintf(profile_.LogFilePath, sizeof profile_.LogFilePath, "%slogs/*.log", folder_.c_str());
    g_progress = ProgressLog{};
    g_deferredCalls = 0;
    g_errorIds.clear();
    g_errorTexts.clear();
    savedError_ = glpfnDisplayReportError;
    glpfnDisplayReportError = &CaptureError;
  }
  void TearDown() override {
    glpfnDisplayReportError = savedError_;
    vrn::CloseRealtimeStore();
    vrn::FreeDNSFifo();
    ContextFixture::TearDown();
  }
  void WriteLog(const std::string& text, const char* name = "access.log") {
    accumtest::WriteText(folder_ + "logs/" + name, text);
  }
  std::vector<vrn::MasterRecordFields> Records() {
    std::vector<vrn::MasterRecordFields> records;
    vrn::ReadMasterFile(folder_ + "rt/daily/master.dat", &records);
    return records;
  }
  // The hourly hit counters stored for a day (empty when it does not load).
  std::vector<uint32_t> StoredSlots(uint32_t dayStart) {
    vrn::MasterRecord record = vrn::MakeMasterRecord(dayStart);
    record.lastAdded = dayStart + 1;
    std::vector<uint32_t> slots;
    vrn::RealtimeStore* store = vrn::OpenRealtimeStore(&profile_, "", kDay1, kDay1, 0);
    if (store == nullptr) return slots;
    auto* day = static_cast<vrn::ReportHandle*>(std::calloc(1, sizeof(vrn::ReportHandle)));
    day->profile = &profile_;
    if (vrn::LoadPeriodDatabase(&record, store, day, run_, "site.wlp") == vrn::kDbLoaded) {
      const auto& hits = vrn::RunContext(day)->templ.SlotHits;
      slots.assign(std::begin(hits), std::begin(hits) + 24);
    }
    vrn::FreeReportContext(day);
    std::free(day);
    vrn::CloseRealtimeStore();
    return slots;
  }
  // Hits stored in the period file of a day (-1 when it does not load).
  int StoredHits(uint32_t dayStart) {
    vrn::MasterRecord record = vrn::MakeMasterRecord(dayStart);
    record.lastAdded = dayStart + 1;
    vrn::RealtimeStore* store = vrn::OpenRealtimeStore(&profile_, "", kDay1, kDay1, 0);
    if (store == nullptr) return -1;
    auto* day = static_cast<vrn::ReportHandle*>(std::calloc(1, sizeof(vrn::ReportHandle)));
    day->profile = &profile_;
    const int loaded = vrn::LoadPeriodDatabase(&record, store, day, run_, "site.wlp");
    int hits = -1;
    if (loaded == vrn::kDbLoaded) {
      hits = 0;
      for (uint32_t h : vrn::RunContext(day)->templ.SlotHits) hits += static_cast<int>(h);
    }
    vrn::FreeReportContext(day);
    std::free(day);
    vrn::CloseRealtimeStore();
    return hits;
  }

  DravelEntry profile_{};
  VrnDisplayErrorFn savedError_ = nullptr;
};

TEST_F(RealtimeTest, DayByDayFromThePlaceReachedInTheLog) {
  // Day 1 from its very first second; day 2 begins in the log's newest second.
  WriteLog(Line(kDay1) + Line(kDay1 + 36000) + Line(kDay1 + 43200) + Line(kDay1 + 43200, "/b.html") +
           Line(kDay2 + 32400));

  // Day 1 runs out inside the log: it is complete, and more work follows.
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_MORE_WORK));
  EXPECT_EQ(profile_.FirstLogTime, kDay1);
  EXPECT_EQ(profile_.LastLogTime, kDay2 + 32400);
  auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_STREQ(records[0].fileName, "69a38180.dat");
  EXPECT_EQ(records[0].lastAdded, kDay1 + 86400);  // end + 1
  EXPECT_EQ(records[1].lastAdded, 0u);
  EXPECT_EQ(StoredHits(kDay1), 4);
  EXPECT_EQ(profile_.RealtimeFirstTime, kDay1);
  EXPECT_GT(g_progress.calls, 0);

  // Day 2's one line is stored at once: the day keeps the place it reached
  // in the log, so a line written later in the same second is read then.
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_UP_TO_DATE));
  EXPECT_EQ(Records()[1].lastAdded, kDay2 + 32400);
  EXPECT_EQ(StoredHits(kDay2), 1);

  // New lines arrive, one in the same second as the stored one and one a
  // little earlier than it: each is added once.
  const std::string more = Line(kDay2 + 32400, "/same-second.html") + Line(kDay2 + 32390, "/earlier.html");
  WriteLog(Line(kDay1) + Line(kDay1 + 36000) + Line(kDay1 + 43200) + Line(kDay1 + 43200, "/b.html") +
           Line(kDay2 + 32400) + more);
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_UP_TO_DATE));
  EXPECT_EQ(Records()[1].lastAdded, kDay2 + 32400);
  EXPECT_EQ(StoredHits(kDay2), 3);

  // Nothing new: nothing is added twice.
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_UP_TO_DATE));
  EXPECT_EQ(StoredHits(kDay2), 3);
  EXPECT_EQ(StoredHits(kDay1), 4);
  EXPECT_EQ(vrn::g_engine.realtimeNesting, 0u);
}

TEST_F(RealtimeTest, ALogReopenedInChunksLosesNoRecord) {
  const uint32_t savedReload = vrn::g_engine.logFileReloadSize;
  vrn::g_engine.logFileReloadSize = 150;  // a reopen every two lines or so
  std::string log;
  for (int i = 0; i < 12; ++i) log += Line(kDay1 + 600 * static_cast<uint32_t>(i) + 1);
  WriteLog(log + Line(kDay2 + 3600));
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_MORE_WORK));
  vrn::g_engine.logFileReloadSize = savedReload;
  EXPECT_EQ(StoredHits(kDay1), 12);
}

TEST_F(RealtimeTest, LogsSpreadOverSeveralFiles) {
  // An older log that ends inside the day and the newest one.
  WriteLog(Line(kDay1 + 100) + Line(kDay1 + 200), "a.log");
  WriteLog(Line(kDay1 + 300) + Line(kDay1 + 400) + Line(kDay1 + 500), "b.log");
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_UP_TO_DATE));
  // The newest log's newest second waits.
  EXPECT_EQ(StoredHits(kDay1), 4);
  EXPECT_EQ(Records()[0].lastAdded, kDay1 + 400);
}

TEST(RealtimeStatusText, OneArgumentInPlaceOfItsFirstConversion) {
  const struct {
    const char* text;
    const char* want;
  } cases[] = {
      {"%d records added", "42 records added"},
      {"Reading %s", "Reading 42"},
      {"%lu of %d", "42 of %d"},
      {"100%% done: %u", "100% done: 42"},
      {"no conversion %x %", "no conversion %x %"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(vrn::FormatStatusText(c.text, "42"), c.want) << c.text;
  EXPECT_EQ(vrn::FormatStatusText(nullptr, "42"), "");
}

TEST_F(RealtimeTest, WithoutRealtimeAnalysisTheProfileIsUpToDateAtOnce) {
  profile_.RealtimeAnalysis = 0;
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_UP_TO_DATE));
  EXPECT_EQ(profile_.RealtimeUpToDate, 1u);
  EXPECT_EQ(g_progress.calls, 0);
  EXPECT_FALSE(std::filesystem::exists(folder_ + "rt"));
}

TEST_F(RealtimeTest, LogsThatCannotBeReadLeaveTheProfileUpToDate) {
  WriteLog("nothing that looks like a log line\n");
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_UP_TO_DATE));
  EXPECT_TRUE(Records().empty());
}

TEST_F(RealtimeTest, CancelLeavesTheDayAsItWas) {
  WriteLog(Line(kDay1 + 100) + Line(kDay1 + 200) + Line(kDay2 + 300));
  g_progress.cancelAfter = 1;  // the first call passes, the next cancels
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_CANCELLED));
  auto records = Records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].lastAdded, 0u);
  EXPECT_EQ(vrn::g_engine.abortFlag, 0u);
  EXPECT_EQ(vrn::g_engine.progressCallback, nullptr);
  EXPECT_EQ(vrn::g_engine.realtimeNesting, 0u);

  // The next update adds the same records.
  g_progress = ProgressLog{};
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_MORE_WORK));
  EXPECT_EQ(StoredHits(kDay1), 2);
}

TEST_F(RealtimeTest, AbortDuringTheUpdateRunsTheDeferredCallbackOnce) {
  WriteLog(Line(kDay1 + 100) + Line(kDay1 + 200) + Line(kDay2 + 300));
  g_progress.abortAfter = 2;
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_CANCELLED));
  EXPECT_EQ(g_progress.nestingSeen, 1u);
  EXPECT_EQ(g_deferredCalls, 1);
  EXPECT_EQ(vrn::g_engine.realtimeNesting, 0u);
  EXPECT_EQ(vrn::g_engine.deferredAbortCallback, nullptr);
  EXPECT_EQ(vrn::CurrentRealtimeStore(), nullptr);
  // Outside an update the callback is not kept.
  EXPECT_EQ(VRN_AbortRealtimeAnalysis(&Deferred), 0u);
  EXPECT_EQ(vrn::g_engine.deferredAbortCallback, nullptr);
  vrn::g_engine.abortFlag = 0;
}

TEST_F(RealtimeTest, ASaveThatFailsStartsTheDayAgainNextTime) {
  WriteLog(Line(kDay1 + 100) + Line(kDay1 + 200) + Line(kDay2 + 300));
  // The day's period file cannot be written: a folder holds its name.
  std::filesystem::create_directories(folder_ + "rt/daily/69a38180.dat");
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_FAILED));
  EXPECT_FALSE(std::filesystem::exists(folder_ + "rt/daily/69a38180.dat.new"));
  auto records = Records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].lastAdded, 0u);
  EXPECT_EQ(g_errorIds, std::vector<uint32_t>{5675});

  std::filesystem::remove(folder_ + "rt/daily/69a38180.dat");
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_MORE_WORK));
  EXPECT_EQ(StoredHits(kDay1), 2);
}

TEST_F(RealtimeTest, SeveralProfilesArePassedOverUntilAllAreUpToDate) {
  // Each day ends once the log goes on well past it.
  WriteLog(Line(kDay1 + 100) + Line(kDay2 + 3600) + Line(kDay2 + 86400 + 3600));
  DravelEntry plain{};
  DravelEntry* profiles[] = {&profile_, nullptr, &plain};
  EXPECT_EQ(OLD_UpdateRealtime(3, profiles, &Progress), 0);
  EXPECT_EQ(profile_.RealtimeUpToDate, 1u);
  EXPECT_EQ(plain.RealtimeUpToDate, 1u);
  auto records = Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].lastAdded, kDay1 + 86400);
  EXPECT_EQ(records[1].lastAdded, kDay2 + 86400);
  EXPECT_EQ(vrn::g_engine.abortFlag, 0u);
  EXPECT_EQ(vrn::g_engine.realtimeNesting, 0u);
}

TEST_F(RealtimeTest, ReportMergesTheStoredDaysOfItsRange) {
  WriteLog(Line(kDay1 + 100) + Line(kDay1 + 200) + Line(kDay2 + 300) + Line(kDay2 + 400) + Line(kDay2 + 500) +
           Line(kDay2 + 86400 + 10));
  // The report's update pass brings the days up to date first.
  run_->realtimeOption = 1;  // the merged range gets its own slots
  EXPECT_EQ(vrn::DoRealtimeReport(&profile_, nullptr, kDay1, kDay2 + 86400, "out.htm", run_, nullptr, 0),
            vrn::kRealtimeReportOk);
  vrn::AnalysisContext* context = vrn::RunContext(run_);
  ASSERT_NE(context, nullptr);
  uint32_t hits = 0;
  for (uint32_t h : context->templ.SlotHits) hits += h;
  EXPECT_EQ(hits, 5u);  // the third day lies outside the range (it ends at midnight)
  EXPECT_EQ(StoredHits(kDay1), 2);
  EXPECT_EQ(StoredHits(kDay2), 3);

  // A range without stored data.
  EXPECT_EQ(vrn::DoRealtimeReport(&profile_, nullptr, kDay1 - 10 * 86400, kDay1 - 5 * 86400, "out.htm", run_,
                                  nullptr, 0),
            vrn::kRealtimeReportNoData);
  // Update only: no report pass.
  EXPECT_EQ(vrn::DoRealtimeReport(&profile_, nullptr, kDay1, kDay2, "out.htm", run_, nullptr, 1),
            vrn::kRealtimeReportOk);
  profile_.PellavarFlag = 0;
  EXPECT_EQ(vrn::DoRealtimeReport(&profile_, nullptr, kDay1, kDay2, "out.htm", run_, nullptr, 0),
            vrn::kRealtimeReportNoStorage);
}

TEST_F(RealtimeTest, DeletingRealtimeDataRemovesFilesAndFoldersOnly) {
  WriteLog(Line(kDay1 + 100) + Line(kDay2 + 300));
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_MORE_WORK));
  ASSERT_TRUE(std::filesystem::exists(folder_ + "rt/daily/69a38180.dat"));
  // A record naming a file outside the folder is not followed.
  accumtest::WriteText(folder_ + "rt/keep.txt", "x");
  {
    std::FILE* f = std::fopen((folder_ + "rt/daily/master.dat").c_str(), "ab");
    ASSERT_NE(f, nullptr);
    char record[64] = "..\\keep.txt";
    std::fwrite(record, 1, sizeof record, f);
    std::fclose(f);
  }
  VRN_DeleteRealtimeDatabase(&profile_);
  EXPECT_FALSE(std::filesystem::exists(folder_ + "rt/daily"));
  EXPECT_TRUE(std::filesystem::exists(folder_ + "rt/keep.txt"));
  EXPECT_TRUE(std::filesystem::exists(folder_ + "logs/access.log"));

  // Through the profile deletion, only when asked for.
  std::filesystem::remove_all(folder_ + "rt");
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_MORE_WORK));
  vrn::g_engine.slots[0].profileDir = folder_;
  accumtest::WriteText(folder_ + "gone.wlp", "x");
  EXPECT_EQ(VRN_DeleteSet(&profile_, "gone.wlp", 0, 0), 0);
  EXPECT_TRUE(std::filesystem::exists(folder_ + "rt/daily/master.dat"));
  accumtest::WriteText(folder_ + "gone.wlp", "x");
  EXPECT_EQ(VRN_DeleteSet(&profile_, "gone.wlp", 1, 0), 0);
  EXPECT_FALSE(std::filesystem::exists(folder_ + "rt"));
  vrn::g_engine.slots[0].profileDir.clear();
}

// An hourly range across midnight: the hours of both days land in their own
// slots (the second day's hours follow on from the first day's).
TEST_F(RealtimeTest, AnHourlyRangeAcrossMidnightKeepsBothDays) {
  const uint32_t times[] = {kDay1 + 22 * 3600 + 600, kDay1 + 23 * 3600 + 300, kDay1 + 23 * 3600 + 2400,
                            kDay2 + 900,             kDay2 + 3 * 3600 + 1800, kDay2 + 10 * 3600 + 1200,
                            kDay2 + 10 * 3600 + 1300, kDay2 + 12 * 3600};
  std::string log;
  for (uint32_t t : times) log += Line(t);
  WriteLog(log);
  const uint32_t from = kDay1 + 23 * 3600, to = kDay2 + 11 * 3600 - 1;  // the 12 hours 23:00 to 10:59:59
  // The expected slots: each record in the range by its hour since `from`.
  std::vector<uint32_t> want(12, 0);
  for (uint32_t t : times)
    if (t >= from && t <= to) ++want[(t - from) / 3600];
  run_->realtimeOption = 1;
  ASSERT_EQ(vrn::DoRealtimeReport(&profile_, nullptr, from, to, "out.htm", run_, nullptr, 0), vrn::kRealtimeReportOk);
  vrn::AnalysisContext* context = vrn::RunContext(run_);
  ASSERT_NE(context, nullptr);
  ASSERT_EQ(context->slotCount, 12);
  std::vector<uint32_t> got(context->templ.SlotHits, context->templ.SlotHits + 12);
  EXPECT_EQ(got, want);
}

// A year range switches month slots on for its report; a day stored after
// it still counts its hours.
TEST_F(RealtimeTest, AYearRangeLeavesTheDaysInHours) {
  uint32_t start = kDay1, end = kDay2;
  VRN_CalculateRealtimeReportRange(21, &start, &end);  // this year, by months
  ASSERT_EQ(vrn::MonthSlots().twelveMonths, 1u);
  WriteLog(Line(kDay1 + 3600 + 5) + Line(kDay1 + 10 * 3600) + Line(kDay1 + 10 * 3600 + 60) + Line(kDay2 + 3600));
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_MORE_WORK));
  std::vector<uint32_t> want(24, 0);
  want[1] = 1;
  want[10] = 2;
  EXPECT_EQ(StoredSlots(kDay1), want);
  vrn::MonthSlots().twelveMonths = 0;
}

// A damaged period file of an open day is told and the day is read again
// from the logs; the days after it are not held up.
TEST_F(RealtimeTest, ADamagedDayIsToldAndReadAgain) {
  const std::string day1 = Line(kDay1 + 100) + Line(kDay1 + 200) + Line(kDay1 + 300);
  WriteLog(day1);
  EXPECT_EQ(VRN_UpdateRealtime(0, &profile_, &Progress), static_cast<uint32_t>(VRN_REALTIME_UP_TO_DATE));
  ASSERT_EQ(StoredHits(kDay1), 3);
  accumtest::WriteText(folder_ + "rt/daily/69a38180.dat", std::string(600, '\x7f'));
  const uint32_t kDay3 = kDay2 + 86400;
  WriteLog(day1 + Line(kDay1 + 400) + Line(kDay2 + 100) + Line(kDay3 + 1000) + Line(kDay3 + 1100));
  uint32_t result = VRN_REALTIME_MORE_WORK;
  for (int call = 0; call < 6 && result == VRN_REALTIME_MORE_WORK; ++call)
    result = VRN_UpdateRealtime(0, &profile_, &Progress);
  EXPECT_EQ(result, static_cast<uint32_t>(VRN_REALTIME_UP_TO_DATE));
  int damaged = 0;
  for (const std::string& text : g_errorTexts) damaged += text.find("is damaged") != std::string::npos ? 1 : 0;
  EXPECT_EQ(damaged, 1);
  EXPECT_EQ(StoredHits(kDay1), 4);
  EXPECT_EQ(StoredHits(kDay2), 1);
  EXPECT_EQ(StoredHits(kDay3), 2);
}

}  // namespace
