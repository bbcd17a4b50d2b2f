// A whole analysis run through the exports, checked against figures worked
// out here from the log's own lines: the tables a run counts beside the
// visits (on a thread of its own) hold every hit of the run, each once,
// when the report is written.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <system_error>
#include <thread>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>

#include <vornic/report.h>
#include <vornic/summary.h>

#include "engine/database/analysis_context.h"
#include "engine/database/item_tables.h"
#include "engine/reports/report_driver_testutil.h"
#include "platform/base/memory.h"

namespace {

using drvtest::Wall;
using drvtest::WriteFile;

class AnalysisRunTables : public drvtest::ReportFixture {
 protected:
  void SetUp() override {
    ReportFixture::SetUp();
    ASSERT_TRUE(InstallDeliveredTemplates());
    WriteStyle("Table Columns=012\n");
  }

  // Item names of a table and their hits (the overflow item and freed
  // records left out).
  static std::map<std::string, uint32_t> HitsByName(const vrn::AnalysisContext* context, uint32_t number) {
    std::map<std::string, uint32_t> hits;
    const vrn::SummaryTableEntry& table = context->templ.TopTablesPtr[number];
    for (uint32_t i = 0; i < table.Count + table.DeleteCount; ++i) {
      const vrn::NameTableEntry* item = table.ItemBlock[i];
      if (item == nullptr || item->Deleted || item->Overflow || item->String == nullptr) continue;
      hits[item->String] += item->TotalByHits;
    }
    return hits;
  }

  // Runs two days of 12,000 generated hits from 900 addresses through the
  // exports and checks the tables against the log's own figures: enough hits
  // for many batches of the counting threads and a last one that is not
  // full. With `bannedReferrer`, the profile turns away the visits that
  // arrive from it: none of their hits is counted.
  void RunAndCheck(const char* bannedReferrer = nullptr);
};

void AnalysisRunTables::RunAndCheck(const char* bannedReferrer) {
  {
  const char* const kTypes[] = {"html", "gif", "css", "jpg", "js"};
  const char* const kAgents[] = {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) Firefox/121.0",
                                 "Mozilla/5.0 (X11; Linux x86_64) Chrome/120.0 Safari/537.36",
                                 "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)"};
  std::map<std::string, uint32_t> byHost, byType, byUser;
  std::map<int, uint32_t> byHour;
  uint32_t counted = 0;
  // Visits by address: the time of the last hit and whether the visit was
  // turned away (a visit ends when a hit comes more than 1,800 s after it).
  struct Visit {
    uint32_t last;
    bool banned;
  };
  std::map<std::string, Visit> visits;
  std::string log;
  const uint32_t start = Wall(2026, 11, 3, 0, 0, 0);
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 8) & 0xFFFFFF; };
  for (uint32_t k = 0; k < 12000; ++k) {
    const uint32_t time = start + k * 14;
    const uint32_t r = next();
    const std::string host = "10.7." + std::to_string(r % 900 / 200) + "." + std::to_string(r % 200);
    const char* type = kTypes[r / 900 % 5];
    const bool notModified = k % 17 == 0;
    const std::string user = k % 11 == 0 ? "user" + std::to_string(r % 4) : "-";
    const time_t t = time;
    struct tm fields {};
    gmtime_r(&t, &fields);
    char date[64];
    std::strftime(date, sizeof date, "%d/%b/%Y:%H:%M:%S +0000", &fields);
    const std::string referrer = "http://ref" + std::to_string(r % 7) + ".example.org/";
    log += host + " - " + user + " [" + date + "] \"GET /d" + std::to_string(r % 6) + "/p" + std::to_string(r % 50) +
           "." + type + " HTTP/1.1\" " + (notModified ? "304" : "200") + " " + std::to_string(100 + r % 5000) +
           " \"" + referrer + "\" \"" + kAgents[r % 3] + "\"\n";
    auto visit = visits.find(host);
    if (visit == visits.end() || visit->second.last + 1800 < time) {
      visits[host] = Visit{time, bannedReferrer != nullptr && referrer == bannedReferrer};
    } else {
      visit->second.last = time;
    }
    if (visits[host].banned) continue;
    ++counted;
    ++byHost[host];
    ++byHour[fields.tm_hour];
    if (!notModified) ++byType[type];
    if (user != "-") ++byUser[user];
  }
  WriteFile(Folder() + "logs/access.log", log);
  std::string filters;
  if (bannedReferrer != nullptr) {
    filters = std::string("[[Filter1]]\nName=Turned away\nFilterType=exclude\nDefaultOveride=0\nReferrer=") +
              bannedReferrer + "\nReferrerEnabled=1\n";
  }
  WriteFile(ProfileDir() + "site.wlp",
            "[Profile]\nVersion=4\nDescription=Generated\nLogFilePath=" + Folder() +
                "logs/access.log\nHomePageName=http://www.example.com/\nDNSLookup=0\nOverrideMultiHome=0\n"
                "PellavarFlag=0\nRealtimeAnalysis=0\nLogFileFormat=0\n" + filters);

  DravelEntry* profile = VRN_GetSet("site.wlp");
  ASSERT_NE(profile, nullptr);
  char output[300];
  std::snprintf(output, sizeof output, "%sreports/index.htm", Folder().c_str());
  uint32_t handle = 0;
  uint16_t error = 0;
  ASSERT_EQ(VRN_Cre8Report(7, 0, profile, "site.wlp", "Summary", output, &handle, 80, 0, Wall(2026, 11, 1, 0, 0, 0),
                           Wall(2026, 12, 1, 0, 0, 0), 6, 0, "Test", "ENGLISH", "", 0, 0, &error),
            0)
      << error;
  uint32_t yield = 0;
  while (VRN_PeekReport(0, handle, &yield, &error) == 0) {
  }
  EXPECT_EQ(error, 0);
  EXPECT_EQ(ADT_GetReportRecCount(handle), 12000u);
  const KvGlobal database = VRN_DoSummary(handle, nullptr, nullptr);
  ASSERT_NE(database, 0u);
  auto* context = static_cast<vrn::AnalysisContext*>(kv::GlobalLock(database));
  ASSERT_NE(context, nullptr);

  EXPECT_EQ(HitsByName(context, vrn::kTopUsers), byHost);
  EXPECT_EQ(HitsByName(context, vrn::kTopAuthUsers), byUser);
  std::map<int, uint32_t> hours;
  for (const auto& [name, hits] : HitsByName(context, vrn::kTopHours)) {
    if (hits != 0) hours[std::atoi(name.c_str())] = hits;
  }
  EXPECT_EQ(hours, byHour);
  // Extension names as the report shows them: the type, whatever marks it.
  std::map<std::string, uint32_t> types;
  for (const auto& [name, hits] : HitsByName(context, vrn::kTopExtensions)) {
    types[name.substr(name.find_last_of('.') + 1)] += hits;
  }
  EXPECT_EQ(types, byType);
  uint32_t browsers = 0;
  for (const auto& [name, hits] : HitsByName(context, vrn::kTopBrowsers)) browsers += hits;
  const vrn::NameTableEntry* first = context->templ.TopTablesPtr[vrn::kTopBrowsers].ItemBlock[0];
  if (first->Overflow) browsers += first->TotalByHits;
  EXPECT_EQ(browsers, counted);

  kv::GlobalUnlock(database);
  EXPECT_EQ(VRN_CloseReport(0, handle, &error), 0);
  VRN_FreeSet(profile);
  }
}

TEST_F(AnalysisRunTables, EveryHitIsInTheTablesCountedBesideTheVisits) { RunAndCheck(); }

TEST_F(AnalysisRunTables, AVisitTurnedAwayByItsReferrerCountsNone) {
  // The referrer filters are asked for a visit's first hit; every hit of a
  // visit turned away is left out of every table, later visits of the same
  // address from elsewhere are counted.
  RunAndCheck("http://ref3.example.org/");
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KV_UNDER_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KV_UNDER_SANITIZER 1
#endif

// A sanitizer's runtime needs more address space than the limit leaves.
#ifndef KV_UNDER_SANITIZER
TEST_F(AnalysisRunTables, ARunThatCannotStartThreadsCountsTheSame) {
  // In a child whose address space has no room for a thread's stack, the
  // run reads and counts on its own thread: the same figures.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
      std::fclose(f);
    }
    limit.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (6u << 20);
    if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(77);
    try {
      std::thread probe([] {});
      probe.join();
      _exit(77);  // threads still start: nothing to show here
    } catch (const std::system_error&) {
    }
    RunAndCheck();
    _exit(testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "threads could not be kept from starting";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

}  // namespace
