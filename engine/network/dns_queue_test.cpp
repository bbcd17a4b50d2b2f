// The lookup queue over the real socket module, in both lookup modes. Real
// reverse lookups are made deterministic by running this program under
// nss_wrapper with a hosts file of its own (the program re-executes itself
// under it), so no test depends on outside DNS.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/report_run.h"
#include "engine/network/dns_test_support.h"
#include "engine/network/hit_step.h"
#include "vornic/profile.h"
#include "vornic/report.h"
#include "platform/base/clock.h"
#include "platform/base/memory.h"
#include "platform/netbind/netbind.h"
#include "platform/ui/window.h"

namespace {

constexpr const char kHostsVariable[] = "KV_DNS_TEST_HOSTS";

void RemoveHostsFile() {
  const char* path = getenv(kHostsVariable);
  if (path == nullptr) return;
  std::string file(path);
  std::remove(file.c_str());
  rmdir(file.substr(0, file.rfind('/')).c_str());
}

// Before main: re-execute under nss_wrapper with a hosts file of our own.
__attribute__((constructor)) void RunUnderNssWrapper(int /*argc*/, char** argv) {
  if (getenv(kHostsVariable) != nullptr) {
    atexit(RemoveHostsFile);
    return;
  }
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kvdnshostsXXXXXX";
  std::vector<char> dir(pattern.begin(), pattern.end());
  dir.push_back('\0');
  if (mkdtemp(dir.data()) == nullptr) return;
  const std::string hosts = std::string(dir.data()) + "/hosts";
  FILE* f = std::fopen(hosts.c_str(), "w");
  if (f == nullptr) return;
  std::fputs(
      "1.2.3.4 alpha.example.com\n"
      "5.6.7.8 www.bbc.co.uk\n"
      "9.8.7.6 server.example.org\n",
      f);
  std::fclose(f);
  std::string preload = "libnss_wrapper.so";
  if (const char* old = getenv("LD_PRELOAD"); old != nullptr && *old != '\0') preload += std::string(":") + old;
  std::string asan = "verify_asan_link_order=0";
  if (const char* old = getenv("ASAN_OPTIONS"); old != nullptr && *old != '\0') asan = std::string(old) + ":" + asan;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  setenv("ASAN_OPTIONS", asan.c_str(), 1);
  setenv("NSS_WRAPPER_HOSTS", hosts.c_str(), 1);
  setenv(kHostsVariable, hosts.c_str(), 1);
  execv("/proc/self/exe", argv);
  // Could not re-execute: the lookups below then fail visibly.
  RemoveHostsFile();
}

// What the per-hit step saw of each hit, in the order it saw them.
struct Passed {
  std::string host;
  std::string server;
  std::string domain;
  uint32_t state;
};
std::vector<Passed> g_passed;
size_t g_refuseAt = SIZE_MAX;  // index of the hit that the step refuses

int RecordingStep(uint32_t state, vrn::HitRecord* hit, vrn::DnsRun* run) {
  vrn::FillHitHostFields(state, hit, run->lookupSetting);
  g_passed.push_back({hit->ClientHost, hit->Server, hit->Domain, state});
  return g_passed.size() - 1 == g_refuseAt ? 0 : 1;
}

// The real per-hit step of a report run, recording what it passes on.
int RecordingRunStep(uint32_t state, vrn::HitRecord* hit, vrn::DnsRun* run) {
  const int result = vrn::ProcessResolvedHit(state, hit, run);
  g_passed.push_back({hit->ClientHost, hit->Server, hit->Domain, state});
  return g_passed.size() - 1 == g_refuseAt ? 0 : result;
}

std::vector<std::string> Hosts() {
  std::vector<std::string> out;
  for (const Passed& p : g_passed) out.push_back(p.host);
  return out;
}

std::vector<uint32_t> States() {
  std::vector<uint32_t> out;
  for (const Passed& p : g_passed) out.push_back(p.state);
  return out;
}

class Queue : public dnstest::EngineFixture {
 protected:
  void Start(const std::string& ini, bool network, uint32_t lookupSetting) {
    g_passed.clear();
    g_refuseAt = SIZE_MAX;
    StartEngine(ini, network);
    run_.lookupSetting = lookupSetting;
    run_.timeoutMs = vrn::g_engine.dnsTimeoutMs;
    run_.runKind = 5;
    run_.hitStep = RecordingStep;
  }
  void TearDown() override {
    vrn::CancelDNSFifo();
    vrn::DestroyDNSWindow();
    EngineFixture::TearDown();
  }
  // Queues a hit and polls once, as a report step does.
  int Queue1(const std::string& client, const std::string& server = "") {
    dnstest::TestHit t(client, server);
    const int queued = vrn::QueueHitForDNS(&run_, &t.hit);
    EXPECT_EQ(t.hit.Line, nullptr) << "the line copy passes to the queue";
    if (queued == 0) return 0;
    return vrn::CheckDNS(&run_) == 3 ? 3 : 1;
  }
  // The drain at a log's end, bounded so that a stuck queue fails the test
  // instead of hanging it: 4 empty, 3 stopped, -1 still pending.
  int Drain() {
    for (int i = 0; i < 20000; ++i) {
      const int r = vrn::CheckDNS(&run_);
      if (r == 3 || r == 4) return r;
      kv::Sleep(1);
    }
    return -1;
  }
  // What a whole report run did.
  struct RunOutcome {
    int16_t created = -1;
    int16_t last = 0;           // the step result that ended the loop
    uint16_t error = 0;         // its error word
    uint32_t records = 0;
    uint32_t percent = 0;
    bool emptyAtFileEnds = true;  // no hit left queued once a file's end was read
    std::string view;           // the text view's files, for text kinds
  };

  // Log lines of the given client addresses, one a minute on day `day`.
  static std::string LogLines(const std::vector<std::string>& clients, int day) {
    std::string log;
    for (size_t i = 0; i < clients.size(); ++i) {
      log += clients[i] + " - - [0" + std::to_string(day) + "/Dec/2026:10:0" + std::to_string(i) +
             ":00 +0000] \"GET /p" + std::to_string(i) + ".html HTTP/1.0\" 200 100 \"-\" \"Agent\"\n";
    }
    return log;
  }

  // The profile "dns.wlp" over the logs folder's *.log, lookups on.
  void WriteLookupProfile() {
    ASSERT_EQ(system(("mkdir -p '" + folder_ + "logs' '" + folder_ + "view'").c_str()), 0);
    dnstest::WriteFile(ProfileDir() + "dns.wlp", "[Profile]\nVersion=4\nDescription=Lookups\nLogFilePath=" + folder_ +
                                                     "logs/*.log\nDNSLookup=1\nOverrideMultiHome=0\n"
                                                     "PellavarFlag=0\nRealtimeAnalysis=0\nLogFileFormat=0\n");
  }

  // Creates a run of the profile, steps it until it answers -1 (or, with
  // stepLimit, until that many steps answered 0) and closes it. The run's
  // per-hit step records what it passes on when `record` is set.
  RunOutcome RunReport(uint32_t kind, bool record, int stepLimit = 100000) {
    RunOutcome out;
    DravelEntry* profile = static_cast<DravelEntry*>(std::calloc(1, sizeof(DravelEntry)));
    char viewFolder[300] = {};
    std::snprintf(viewFolder, sizeof(viewFolder), "%sview/", folder_.c_str());
    uint32_t handle = 0;
    uint16_t error = 0;
    out.created = VRN_Cre8Report(1, 0, profile, "dns.wlp", "Caption", viewFolder, &handle, 77, 0, 0, 0xFFFFFFFEu,
                                 kind, 0, nullptr, nullptr, "", 0, 0, &error);
    if (out.created == 0) {
      if (record) {
        auto* run = static_cast<vrn::ReportHandle*>(kv::GlobalLock(handle));
        run->dns.hitStep = RecordingRunStep;
        kv::GlobalUnlock(handle);
      }
      for (int i = 0; i < stepLimit; ++i) {
        out.last = VRN_PeekReport(0, handle, nullptr, &out.error);
        if (out.last != 0) break;
        auto* run = static_cast<vrn::ReportHandle*>(kv::GlobalLock(handle));
        if (run->readPos > run->fileEnd && vrn::DNSFifoCount() != 0) out.emptyAtFileEnds = false;
        kv::GlobalUnlock(handle);
      }
      out.records = ADT_GetReportRecCount(handle);
      out.percent = ADT_GetReportDonePercent(handle);
      for (int32_t i = 0; i < ADT_ViewReportCount(handle); ++i) {
        ADT_SetViewReportBuffer(handle, i);
        char path[600] = {};
        ADT_GetReportASCII_Filename(handle, path, sizeof(path));
        out.view += dnstest::ReadFile(path);
      }
      EXPECT_EQ(VRN_CloseReport(0, handle, &error), 0);
    }
    VRN_FreeSet(profile);
    return out;
  }

  vrn::DnsRun run_;
};

// nss_wrapper's hosts lookups are not safe to run on several threads at
// once (now and then one fails), so the lookup threads take turns at the
// socket module's resolver here.
std::mutex g_resolverTurn;
WsGethostbyaddrFn g_realGetHostByAddr = nullptr;
WsHostEntry* GetHostByAddrInTurn(const char* address, int32_t length, int32_t type) {
  std::lock_guard<std::mutex> lock(g_resolverTurn);
  return g_realGetHostByAddr(address, length, type);
}

// Both lookup modes over the real socket module.
class Modes : public Queue, public testing::WithParamInterface<bool> {
 protected:
  void StartMode() {
    const bool fast = GetParam();
    Start(fast ? "" : "[defaults]\nForceSlowDNS=1\n", true, 1);
    ASSERT_EQ(vrn::g_engine.dnsFastMode, fast ? 1u : 0u);
    if (!fast) {
      ASSERT_TRUE(vrn::CreateDNSWindow());
    }
    g_realGetHostByAddr = g_networkBinding.gethostbyaddr;
    ASSERT_NE(g_realGetHostByAddr, nullptr);
    g_networkBinding.gethostbyaddr = GetHostByAddrInTurn;
  }
  void TearDown() override {
    if (g_realGetHostByAddr != nullptr) {
      vrn::CancelDNSFifo();
      EXPECT_TRUE(vrn::WaitForDNSLookupThreads(10000));
      g_networkBinding.gethostbyaddr = g_realGetHostByAddr;
      g_realGetHostByAddr = nullptr;
    }
    Queue::TearDown();
  }
};

TEST_P(Modes, HitsLeaveInLogOrderWithOneLookupPerAddress) {
  StartMode();
  const uint32_t before = vrn::GetDNSCounters().lookupsStarted;
  // Queued before any is passed on: the third waits for the first's answer.
  for (const char* host : {"1.2.3.4", "5.6.7.8", "1.2.3.4"}) {
    dnstest::TestHit t(host);
    ASSERT_EQ(vrn::QueueHitForDNS(&run_, &t.hit), 1) << host;
  }
  EXPECT_EQ(Drain(), 4);
  EXPECT_EQ(Hosts(), (std::vector<std::string>{"alpha.example.com", "www.bbc.co.uk", "alpha.example.com"}));
  EXPECT_EQ(States(), (std::vector<uint32_t>{2, 2, 2}));
  ASSERT_EQ(g_passed.size(), 3u);
  EXPECT_EQ(g_passed[0].domain, "example.com");
  EXPECT_EQ(g_passed[1].domain, "bbc.co.uk");
  EXPECT_EQ(vrn::GetDNSCounters().lookupsStarted - before, 2u);
  EXPECT_EQ(vrn::DNSFifoCount(), 0u);

  // The next run answers from the disk cache without any lookup.
  vrn::CloseDNSCache();
  ASSERT_EQ(vrn::OpenDNSCache(ProfileDir().c_str()), 1);
  g_passed.clear();
  const uint32_t again = vrn::GetDNSCounters().lookupsStarted;
  for (const char* host : {"1.2.3.4", "5.6.7.8", "1.2.3.4"}) ASSERT_EQ(Queue1(host), 1) << host;
  EXPECT_EQ(Drain(), 4);
  EXPECT_EQ(Hosts(), (std::vector<std::string>{"alpha.example.com", "www.bbc.co.uk", "alpha.example.com"}));
  EXPECT_EQ(States(), (std::vector<uint32_t>{4, 4, 4}));
  EXPECT_EQ(vrn::GetDNSCounters().lookupsStarted, again);
  EXPECT_EQ(vrn::WaitForDNSLookupThreads(5000), true);
}

TEST_P(Modes, ServerNamesAndFailedLookups) {
  StartMode();
  ASSERT_EQ(Queue1("1.2.3.4", "9.8.7.6"), 1);
  ASSERT_EQ(Queue1("7.7.7.7", "9.8.7.6"), 1);
  ASSERT_EQ(Queue1("0.0.0.0"), 1);
  EXPECT_EQ(Drain(), 4);
  ASSERT_EQ(g_passed.size(), 3u);
  EXPECT_EQ(g_passed[0].host, "alpha.example.com");
  EXPECT_EQ(g_passed[0].server, "server.example.org");
  EXPECT_EQ(g_passed[1].host, "7.7.7.7") << "a failed lookup keeps the address";
  EXPECT_EQ(g_passed[1].state, 3u);
  EXPECT_EQ(g_passed[1].server, "server.example.org");
  EXPECT_EQ(g_passed[2].host, "0.0.0.0");
  EXPECT_EQ(g_passed[2].state, 3u);
  // Three real lookups: two clients and one server address (0.0.0.0 is never asked).
  EXPECT_EQ(vrn::GetDNSCounters().lookupsStarted, 3u);

  // A failed lookup is cached with its numeric text: no second attempt;
  // "0.0.0.0" is never cached and never asked.
  g_passed.clear();
  ASSERT_EQ(Queue1("7.7.7.7"), 1);
  ASSERT_EQ(Queue1("0.0.0.0"), 1);
  EXPECT_EQ(Drain(), 4);
  ASSERT_EQ(g_passed.size(), 2u);
  EXPECT_EQ(g_passed[0].host, "7.7.7.7");
  EXPECT_EQ(g_passed[0].state, 4u);
  EXPECT_EQ(g_passed[1].host, "0.0.0.0");
  EXPECT_EQ(g_passed[1].state, 3u);
  EXPECT_EQ(vrn::GetDNSCounters().lookupsStarted, 3u);

  // Client and server of one hit at the same address: one lookup for both.
  g_passed.clear();
  ASSERT_EQ(Queue1("5.6.7.8", "5.6.7.8"), 1);
  EXPECT_EQ(Drain(), 4);
  ASSERT_EQ(g_passed.size(), 1u);
  EXPECT_EQ(g_passed[0].host, "www.bbc.co.uk");
  EXPECT_EQ(g_passed[0].server, "www.bbc.co.uk");
  EXPECT_EQ(vrn::GetDNSCounters().lookupsStarted, 4u);
}

TEST_F(Queue, ServerLookupsCanBeTurnedOff) {
  Start("[defaults]\nDisableServerLookup=1\n", true, 1);
  ASSERT_EQ(Queue1("1.2.3.4", "9.8.7.6"), 1);
  EXPECT_EQ(Drain(), 4);
  ASSERT_EQ(g_passed.size(), 1u);
  EXPECT_EQ(g_passed[0].host, "alpha.example.com");
  EXPECT_EQ(g_passed[0].server, "9.8.7.6");
  EXPECT_EQ(vrn::GetDNSCounters().lookupsStarted, 1u);
}

// A whole report run with lookups on: the text view lists the hits in log
// order under their names, with one lookup per address.
TEST_P(Modes, AReportRunShowsNamesInLogOrder) {
  StartMode();
  WriteLookupProfile();
  dnstest::WriteFile(folder_ + "logs/access.log", LogLines({"1.2.3.4", "5.6.7.8", "1.2.3.4"}, 1));
  const uint32_t before = vrn::GetDNSCounters().lookupsStarted;
  const RunOutcome r = RunReport(3, false);
  ASSERT_EQ(r.created, 0);
  EXPECT_EQ(r.last, -1);
  EXPECT_EQ(r.records, 3u);
  const size_t a = r.view.find("alpha.example.com");
  const size_t b = r.view.find("www.bbc.co.uk");
  const size_t c = a == std::string::npos ? a : r.view.find("alpha.example.com", a + 1);
  EXPECT_TRUE(a < b && b < c && c != std::string::npos) << r.view;
  EXPECT_EQ(r.view.find("1.2.3.4"), std::string::npos) << r.view;
  EXPECT_EQ(vrn::GetDNSCounters().lookupsStarted - before, 2u);
}

// Runs over two logs with lookups on: the queue drains at each file's end,
// a refused hit stops the run as a failure, and the runs around it start
// and end on an empty queue.
TEST_P(Modes, ReportRunsDrainAtFileEndsStopOnARefusalAndStartClean) {
  StartMode();
  WriteLookupProfile();
  dnstest::WriteFile(folder_ + "logs/a.log", LogLines({"1.2.3.4", "5.6.7.8", "1.2.3.4"}, 1));
  dnstest::WriteFile(folder_ + "logs/b.log", LogLines({"5.6.7.8", "7.7.7.7", "1.2.3.4", "9.8.7.6"}, 2));
  const std::vector<std::string> names = {"alpha.example.com", "www.bbc.co.uk",     "alpha.example.com",
                                          "www.bbc.co.uk",     "7.7.7.7",           "alpha.example.com",
                                          "server.example.org"};

  // A hit left in the queue by an earlier user that stopped never reaches
  // the new run.
  run_.lookupSetting = 0;
  {
    dnstest::TestHit stale("10.9.9.9");
    ASSERT_EQ(vrn::QueueHitForDNS(&run_, &stale.hit), 1);
  }
  ASSERT_EQ(vrn::DNSFifoCount(), 1u);
  const uint32_t before = vrn::GetDNSCounters().lookupsStarted;
  RunOutcome r = RunReport(5, true);
  ASSERT_EQ(r.created, 0);
  EXPECT_EQ(r.last, -1);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(r.records, 7u);
  EXPECT_EQ(r.percent, 100u);
  EXPECT_TRUE(r.emptyAtFileEnds);
  EXPECT_EQ(Hosts(), names);
  EXPECT_EQ(vrn::GetDNSCounters().lookupsStarted - before, 4u) << "one lookup per address over both files";
  EXPECT_EQ(vrn::DNSFifoCount(), 0u);
  EXPECT_EQ(vrn::LiveDNSLookupThreads(), 0u);

  // The per-hit step refuses the fourth hit (the first of the second log):
  // the run answers -1 with the failure, percent 100, and stays ended.
  g_passed.clear();
  g_refuseAt = 3;
  r = RunReport(5, true);
  ASSERT_EQ(r.created, 0);
  EXPECT_EQ(r.last, -1);
  EXPECT_EQ(r.error, VRN_ERR_FILE);
  EXPECT_EQ(r.percent, 100u);
  EXPECT_EQ(Hosts(), std::vector<std::string>(names.begin(), names.begin() + 4));
  EXPECT_EQ(vrn::DNSFifoCount(), 0u);

  // The next run passes every hit again, now from the disk cache.
  g_passed.clear();
  g_refuseAt = SIZE_MAX;
  const uint32_t cachedBefore = vrn::GetDNSCounters().lookupsStarted;
  r = RunReport(5, true);
  EXPECT_EQ(r.last, -1);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(r.records, 7u);
  EXPECT_EQ(Hosts(), names);
  EXPECT_EQ(States(), std::vector<uint32_t>(7, 4));
  EXPECT_EQ(vrn::GetDNSCounters().lookupsStarted, cachedBefore);
}

// A name server that takes 15 ms an answer and names each
// address "h<third>-<fourth>.many.example.net", counting the lookups that
// run at once.
std::atomic<int> g_inFlight{0};
std::atomic<int> g_mostInFlight{0};
WsHostEntry* SlowNamedLookup(const char* address, int32_t length, int32_t) {
  const int now = ++g_inFlight;
  for (int most = g_mostInFlight.load(); now > most && !g_mostInFlight.compare_exchange_weak(most, now);) {
  }
  kv::Sleep(15);
  thread_local std::string name;
  thread_local char bytes[4];
  thread_local char* addresses[2] = {bytes, nullptr};
  thread_local char* aliases[1] = {nullptr};
  thread_local WsHostEntry entry{};
  const auto* b = reinterpret_cast<const unsigned char*>(address);
  name = length == 4 ? "h" + std::to_string(b[2]) + "-" + std::to_string(b[3]) + ".many.example.net" : "";
  std::memcpy(bytes, address, 4);
  entry.name = name.data();
  entry.aliases = aliases;
  entry.addressType = 2;
  entry.addressLength = 4;
  entry.addresses = addresses;
  --g_inFlight;
  return &entry;
}

// Many lookups at once: 600 hits of 200 addresses, each address three times,
// leave the queue in log order, each with its own name, after one lookup an
// address, with the lookup threads running side by side.
TEST_P(Modes, ManyLookupsAtOnceKeepLogOrderAndTheirOwnNames) {
  // Slow mode asks the socket module's own asynchronous resolver, which no
  // test name server stands in for.
  if (!GetParam()) GTEST_SKIP() << "fast mode only";
  StartMode();
  g_networkBinding.gethostbyaddr = SlowNamedLookup;
  g_mostInFlight = 0;
  const uint32_t before = vrn::GetDNSCounters().lookupsStarted;
  std::vector<std::string> expected;
  for (int i = 0; i < 600; ++i) {
    const int k = (i * 7) % 200;
    const std::string address = "10.1." + std::to_string(k / 100) + "." + std::to_string(k % 100 + 1);
    expected.push_back("h" + std::to_string(k / 100) + "-" + std::to_string(k % 100 + 1) + ".many.example.net");
    ASSERT_NE(Queue1(address), 0) << address;
  }
  EXPECT_EQ(Drain(), 4);
  EXPECT_EQ(Hosts(), expected);
  EXPECT_EQ(vrn::GetDNSCounters().lookupsStarted - before, 200u);
  EXPECT_GT(g_mostInFlight.load(), 2) << "the lookups ran one after another";
  EXPECT_TRUE(vrn::WaitForDNSLookupThreads(10000));
}

INSTANTIATE_TEST_SUITE_P(Lookups, Modes, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "Fast" : "Slow"; });

TEST_F(Queue, SlowModeIgnoresAnswersForUnknownTasks) {
  Start("[defaults]\nForceSlowDNS=1\n", true, 1);
  ASSERT_TRUE(vrn::CreateDNSWindow());
  ASSERT_TRUE(kv::ui::PostMessage(vrn::DNSWindow(), vrn::kDnsAnswerMessage, 0x7777, 0));
  ASSERT_TRUE(kv::ui::PostMessage(vrn::DNSWindow(), vrn::kDnsAnswerMessage, 0xFFFFFFFFu, 0));
  kv::ui::Message m;
  while (kv::ui::PeekMessage(&m, vrn::DNSWindow())) kv::ui::DispatchMessage(&m);
  ASSERT_EQ(Queue1("5.6.7.8"), 1);
  EXPECT_EQ(Drain(), 4);
  EXPECT_EQ(Hosts(), (std::vector<std::string>{"www.bbc.co.uk"}));
}

TEST_F(Queue, AQueueOfTwoFillsDrainsAndSurvivesARefusedHit) {
  Start("[defaults]\nDNSLookupQueueSize=2\n", false, 0);
  {
    dnstest::TestHit a("1.1.1.1"), b("host.example.com");
    ASSERT_EQ(vrn::QueueHitForDNS(&run_, &a.hit), 1);
    EXPECT_FALSE(vrn::IsDNSFifoFull());
    ASSERT_EQ(vrn::QueueHitForDNS(&run_, &b.hit), 1);
    EXPECT_TRUE(vrn::IsDNSFifoFull());
    EXPECT_EQ(vrn::CheckDNS(&run_), 4);
    EXPECT_EQ(States(), (std::vector<uint32_t>{5, 8}));
    EXPECT_EQ(g_passed[0].domain, "Unresolved");
    EXPECT_EQ(g_passed[1].domain, "example.com");
  }

  // The third hit is refused while the fifth waits for room: queueing fails,
  // the refused entry is released, and the queue still drains.
  g_passed.clear();
  g_refuseAt = 2;
  int results[5];
  for (int i = 0; i < 5; ++i) {
    dnstest::TestHit t("10.0.0." + std::to_string(i + 1));
    results[i] = vrn::QueueHitForDNS(&run_, &t.hit);
  }
  EXPECT_EQ(results[0] + results[1] + results[2] + results[3], 4);
  EXPECT_EQ(results[4], 3) << "the step asked to stop while the hit waited";
  EXPECT_EQ(Hosts(), (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
  EXPECT_EQ(vrn::DrainDNSFifo(&run_), 4);
  EXPECT_EQ(Hosts(), (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"}));

  // A refusal that leaves entries behind: the run is cancelled, the next run
  // starts on an empty queue and drains.
  g_passed.clear();
  g_refuseAt = 0;
  {
    dnstest::TestHit a("10.1.0.1"), b("10.1.0.2");
    ASSERT_EQ(vrn::QueueHitForDNS(&run_, &a.hit), 1);
    ASSERT_EQ(vrn::QueueHitForDNS(&run_, &b.hit), 1);
  }
  EXPECT_EQ(vrn::CheckDNS(&run_), 3);
  EXPECT_EQ(vrn::DNSFifoCount(), 1u);
  vrn::CancelDNSFifo();
  EXPECT_EQ(vrn::DNSFifoCount(), 0u);
  g_refuseAt = SIZE_MAX;
  ASSERT_EQ(Queue1("10.1.0.3"), 1);
  EXPECT_EQ(Drain(), 4);
  EXPECT_EQ(Hosts(), (std::vector<std::string>{"10.1.0.1", "10.1.0.3"}));
}

TEST_F(Queue, QueueingAndCheckingAtOnceAnswersAsTheTwoCallsDo) {
  // Lookups off: each hit through QueueAndCheckDNS, then the same hits
  // through QueueHitForDNS and CheckDNS; the step sees the same hits, states
  // and domains, in the same order, and the answers agree. A hit behind a
  // waiting entry is queued behind it; a refusal answers 3 either way.
  Start("[defaults]\nDNSLookupQueueSize=4\n", false, 0);
  const std::vector<std::string> clients = {"1.1.1.1", "host.example.com", "10.0.0.7", "-", "www.bbc.co.uk"};
  std::vector<Passed> byPairs;
  std::vector<int> pairAnswers, onceAnswers;
  for (int pass = 0; pass < 2; ++pass) {
    g_passed.clear();
    for (const std::string& client : clients) {
      dnstest::TestHit t(client);
      if (pass == 0) {
        const int queued = vrn::QueueHitForDNS(&run_, &t.hit);
        pairAnswers.push_back(queued == 1 ? vrn::CheckDNS(&run_) : queued);
      } else {
        onceAnswers.push_back(vrn::QueueAndCheckDNS(&run_, &t.hit));
      }
      EXPECT_EQ(t.hit.Line, nullptr) << client;
    }
    if (pass == 0) byPairs = g_passed;
  }
  EXPECT_EQ(onceAnswers, pairAnswers);
  ASSERT_EQ(g_passed.size(), byPairs.size());
  for (size_t i = 0; i < byPairs.size(); ++i) {
    EXPECT_EQ(g_passed[i].host, byPairs[i].host);
    EXPECT_EQ(g_passed[i].domain, byPairs[i].domain);
    EXPECT_EQ(g_passed[i].state, byPairs[i].state);
  }

  g_passed.clear();
  {
    dnstest::TestHit waiting("10.2.0.1"), next("10.2.0.2");
    ASSERT_EQ(vrn::QueueHitForDNS(&run_, &waiting.hit), 1);
    EXPECT_EQ(vrn::QueueAndCheckDNS(&run_, &next.hit), 4);
  }
  EXPECT_EQ(Hosts(), (std::vector<std::string>{"10.2.0.1", "10.2.0.2"}));

  g_passed.clear();
  g_refuseAt = 0;
  dnstest::TestHit refused("10.3.0.1");
  EXPECT_EQ(vrn::QueueAndCheckDNS(&run_, &refused.hit), 3);
  EXPECT_EQ(refused.hit.Line, nullptr);
  EXPECT_EQ(vrn::DNSFifoCount(), 0u);
}

TEST_F(Queue, LookupWhenNeededStopsAtTheFirstName) {
  Start("", true, 2);
  ASSERT_EQ(Queue1("www.example.com"), 1);
  EXPECT_EQ(run_.lookupSetting, 0u);
  ASSERT_EQ(Queue1("1.2.3.4"), 1);
  EXPECT_EQ(Drain(), 4);
  EXPECT_EQ(Hosts(), (std::vector<std::string>{"www.example.com", "1.2.3.4"}));
  EXPECT_EQ(States(), (std::vector<uint32_t>{8, 5}));
  EXPECT_EQ(vrn::GetDNSCounters().lookupsStarted, 0u);
}

// A resolver that hangs until released, in place of the socket module's.
struct HangingResolver {
  std::mutex mutex;
  std::condition_variable released;
  bool open = false;
  std::atomic<int> calls{0};
};
HangingResolver* g_hang = nullptr;

WsGethostbyaddrFn g_afterHang = nullptr;  // the real resolver, asked once released

WsHostEntry* HangingGetHostByAddr(const char* address, int32_t length, int32_t type) {
  HangingResolver* h = g_hang;
  ++h->calls;
  std::unique_lock<std::mutex> lock(h->mutex);
  if (!h->released.wait_for(lock, std::chrono::seconds(20), [&] { return h->open; })) return nullptr;
  lock.unlock();
  std::lock_guard<std::mutex> turn(g_resolverTurn);
  return g_afterHang(address, length, type);
}

class HungLookups : public Queue {
 protected:
  void SetUpHang(const std::string& ini) {
    Start(ini, true, 1);
    hang_ = new HangingResolver;
    g_hang = hang_;
    saved_ = g_networkBinding.gethostbyaddr;
    g_afterHang = saved_;
    g_networkBinding.gethostbyaddr = HangingGetHostByAddr;
  }
  // Lets every hung lookup go on to the real resolver.
  void Open() {
    std::lock_guard<std::mutex> lock(hang_->mutex);
    hang_->open = true;
    hang_->released.notify_all();
  }
  void Release() {
    if (hang_ == nullptr) return;
    Open();
    EXPECT_TRUE(vrn::WaitForDNSLookupThreads(10000));
    EXPECT_EQ(vrn::LiveDNSLookupThreads(), 0u);
    g_networkBinding.gethostbyaddr = saved_;
    delete hang_;
    hang_ = nullptr;
    g_hang = nullptr;
  }
  void TearDown() override {
    Release();
    Queue::TearDown();
  }
  HangingResolver* hang_ = nullptr;
  WsGethostbyaddrFn saved_ = nullptr;
};

TEST_F(HungLookups, FastLookupsTimeOutWithinTheThreadLimit) {
  SetUpHang("[defaults]\nMaxDNSThreads=2\nDNSTimeout=1\n");
  kv::ScopedTestClock clock(1700000000, 1000);  // sleeps advance the clock
  for (const char* host : {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.1"}) ASSERT_EQ(Queue1(host), 1) << host;
  EXPECT_EQ(Drain(), 4);
  EXPECT_EQ(Hosts(), (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.1"}));
  EXPECT_EQ(States(), (std::vector<uint32_t>{7, 7, 7, 4})) << "the last one was cached as timed out";
  const vrn::DnsCounters c = vrn::GetDNSCounters();
  EXPECT_EQ(c.lookupsStarted, 3u);
  EXPECT_EQ(c.timeouts, 3u);
  EXPECT_EQ(c.highestInFlight, 2u);

  // A duplicate shares its leader's time-out.
  g_passed.clear();
  ASSERT_EQ(Queue1("10.0.0.9"), 1);
  ASSERT_EQ(Queue1("10.0.0.9"), 1);
  EXPECT_EQ(Drain(), 4);
  EXPECT_EQ(States(), (std::vector<uint32_t>{7, 7}));
  EXPECT_EQ(vrn::GetDNSCounters().lookupsStarted, 4u);
}

TEST_F(HungLookups, CancellingWhileThreadsRunFreesTheQueue) {
  SetUpHang("");
  for (const char* host : {"10.0.0.1", "10.0.0.2", "10.0.0.2", "10.0.0.3"}) ASSERT_EQ(Queue1(host), 1) << host;
  EXPECT_EQ(vrn::DNSFifoCount(), 4u);
  while (hang_->calls.load() < 3) kv::Sleep(1);
  vrn::CancelDNSFifo();
  EXPECT_EQ(vrn::DNSFifoCount(), 0u);
  EXPECT_TRUE(g_passed.empty()) << "cancelled hits are not passed on";
  EXPECT_EQ(vrn::LiveDNSLookupThreads(), 3u);

  // The next run works at once while the old threads still hang.
  run_.lookupSetting = 0;
  ASSERT_EQ(Queue1("10.0.0.1"), 1);
  EXPECT_EQ(Drain(), 4);
  EXPECT_EQ(Hosts(), (std::vector<std::string>{"10.0.0.1"}));
  Release();  // the threads end and write nothing of the freed queue
}

// With lookups "when needed", the first name in the log turns lookups off;
// a hit whose lookup was already running still gets the fields of its name.
TEST_F(HungLookups, AHitLookedUpBeforeLookupsTurnOffKeepsItsNameFields) {
  SetUpHang("");
  run_.lookupSetting = 2;
  run_.hitStep = RecordingRunStep;
  ASSERT_EQ(Queue1("1.2.3.4"), 1);
  ASSERT_EQ(Queue1("www.example.org"), 1);
  EXPECT_EQ(run_.lookupSetting, 0u);
  ASSERT_EQ(Queue1("5.6.7.8"), 1);
  Open();
  EXPECT_EQ(Drain(), 4);
  ASSERT_EQ(g_passed.size(), 3u);
  EXPECT_EQ(g_passed[0].host, "alpha.example.com");
  EXPECT_EQ(g_passed[0].domain, "example.com");
  EXPECT_EQ(g_passed[1].domain, "example.org");
  EXPECT_EQ(g_passed[2].host, "5.6.7.8");
  EXPECT_EQ(g_passed[2].domain, "Unresolved");
  EXPECT_EQ(vrn::GetDNSCounters().lookupsStarted, 1u);
}

// Closing a run (the client's cancel) while its lookups hang returns without
// waiting for their threads, which end on their own once answered; the next
// run starts clean and looks the addresses up afresh.
TEST_F(HungLookups, ClosingARunMidLookupLeavesItsThreadsToEndOnTheirOwn) {
  SetUpHang("");
  WriteLookupProfile();
  dnstest::WriteFile(folder_ + "logs/a.log", LogLines({"1.2.3.4", "5.6.7.8", "1.2.3.4", "9.8.7.6"}, 1));
  DravelEntry* profile = static_cast<DravelEntry*>(std::calloc(1, sizeof(DravelEntry)));
  char viewFolder[300] = {};
  uint32_t handle = 0;
  uint16_t error = 0;
  ASSERT_EQ(VRN_Cre8Report(1, 0, profile, "dns.wlp", "", viewFolder, &handle, 77, 0, 0, 0xFFFFFFFEu, 5, 0, nullptr,
                           nullptr, "", 0, 0, &error),
            0);
  auto* run = static_cast<vrn::ReportHandle*>(kv::GlobalLock(handle));
  run->dns.hitStep = RecordingRunStep;
  kv::GlobalUnlock(handle);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(VRN_PeekReport(0, handle, nullptr, &error), 0);
  while (hang_->calls.load() < 3) kv::Sleep(1);
  EXPECT_EQ(vrn::LiveDNSLookupThreads(), 3u);
  // The lookups hang until released: the close returns while they still
  // hang (it is given 5 s, far below the lookup time-out, before they are
  // released), and they end once the name server answers.
  std::atomic<bool> closed{false};
  int16_t closeResult = -1;
  std::thread closer([&] {
    closeResult = VRN_CloseReport(0, handle, &error);
    closed = true;
  });
  for (int i = 0; i < 500 && !closed; ++i) kv::Sleep(10);
  EXPECT_TRUE(closed.load()) << "the close waits for hung lookups";
  EXPECT_EQ(vrn::LiveDNSLookupThreads(), 3u);
  Open();
  closer.join();
  EXPECT_EQ(closeResult, 0);
  EXPECT_TRUE(vrn::WaitForDNSLookupThreads(10000));
  VRN_FreeSet(profile);
  EXPECT_TRUE(g_passed.empty()) << "hits of a closed run are not passed on";
  EXPECT_EQ(vrn::DNSFifoCount(), 0u);

  // The next run, with a resolver that answers: nothing of the closed run
  // was cached, so every address is looked up and named.
  Release();
  g_realGetHostByAddr = g_networkBinding.gethostbyaddr;
  g_networkBinding.gethostbyaddr = GetHostByAddrInTurn;
  const uint32_t before = vrn::GetDNSCounters().lookupsStarted;
  const RunOutcome r = RunReport(5, true);
  g_networkBinding.gethostbyaddr = g_realGetHostByAddr;
  g_realGetHostByAddr = nullptr;
  EXPECT_EQ(r.last, -1);
  EXPECT_EQ(r.records, 4u);
  EXPECT_EQ(Hosts(), (std::vector<std::string>{"alpha.example.com", "www.bbc.co.uk", "alpha.example.com",
                                                "server.example.org"}));
  EXPECT_EQ(vrn::GetDNSCounters().lookupsStarted - before, 3u);
}

}  // namespace
