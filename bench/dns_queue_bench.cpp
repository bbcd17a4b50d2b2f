// The lookup queue under load.
//
//   QueueWithSlowLookups   1,000,000 hits from 20,000 distinct addresses with
//                          fast (threaded) lookups through a resolver that
//                          answers after 20 ms. The best possible lookup rate
//                          is MaxDNSThreads / 20 ms; "lookups/s" (over the
//                          first 20,000 hits, which hold every address once)
//                          shows how close the queue comes; the hits after
//                          them are answered from the cache ("cached_hits/s");
//                          "threads_left" must be 0.
//   QueueWithLookupsOff    the same hits with lookups off: the queue's own
//                          cost per hit (copy, queue, pass on, host fields,
//                          completion), less the cost of making the hit.
//   MakeHitOnly            that cost of making a hit, for the subtraction.
//
// The resolver is put into the socket binding's slots here, in the benchmark
// only: nothing in the engine knows about it.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/engine_state.h"
#include "engine/core/hit_record.h"
#include "engine/network/dns_queue.h"
#include "platform/netbind/netbind.h"

namespace {

constexpr int kHits = 1000000;
constexpr int kAddresses = 20000;
constexpr uint32_t kThreads = 32;
constexpr auto kAnswerDelay = std::chrono::milliseconds(20);

int32_t BenchStartup(uint16_t, WsaData*) { return 0; }
int32_t BenchCleanup() { return 0; }
WsHostEntry* BenchByAddr(const char* address, int32_t, int32_t) {
  std::this_thread::sleep_for(kAnswerDelay);
  thread_local char name[64];
  thread_local WsHostEntry entry;
  const auto* b = reinterpret_cast<const uint8_t*>(address);
  std::snprintf(name, sizeof(name), "h%u-%u-%u.bench.example.com", b[1], b[2], b[3]);
  entry = WsHostEntry{};
  entry.name = name;
  return &entry;
}

// The client addresses of the hits, in a fixed scattered order.
const std::vector<std::string>& Addresses() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t;
    t.reserve(kAddresses);
    for (int i = 0; i < kAddresses; ++i) {
      t.push_back("10." + std::to_string(i / 65536) + "." + std::to_string((i / 256) % 256) + "." +
                  std::to_string(i % 256));
    }
    return t;
  }();
  return texts;
}

int AddressOf(int hit) { return static_cast<int>((static_cast<uint64_t>(hit) * 2654435761u) % kAddresses); }

const char kLine[] = "10.0.0.1 - - [01/Jan/2026:00:00:00 +0000] \"GET /index.html HTTP/1.0\" 200 1043";

void MakeHit(vrn::HitRecord* hit, int index) {
  vrn::InitHitRecord(hit, kLine, sizeof(kLine) - 1);
  vrn::CopyHitText(hit->ClientHost, sizeof(hit->ClientHost), Addresses()[AddressOf(index)].c_str());
}

uint64_t g_passed = 0;
int CountingStep(uint32_t state, vrn::HitRecord* hit, vrn::DnsRun* run) {
  vrn::FillHitHostFields(state, hit, vrn::HitLookupsOn(state, run->lookupSetting));
  vrn::CompleteHitRecord(hit);
  ++g_passed;
  return 1;
}

// An engine folder with a cache large enough for every address.
std::string Setup() {
  char pattern[] = "/tmp/kvdnsbenchXXXXXX";
  const char* dir = mkdtemp(pattern);
  if (dir == nullptr) return "";
  const std::string folder = std::string(dir) + "/";
  std::system(("mkdir -p '" + folder + "kvm_log'").c_str());
  std::ofstream(folder + "kvm_log/kvm_log.ini") << "[Defaults]\nDNSCacheEntries=30000\n";
  vrn::SetApplicationPath(folder + "libVornic.so");
  vrn::g_engine.dnsFastMode = 1;
  vrn::g_engine.maxDnsThreads = kThreads;
  vrn::g_engine.disableServerLookup = 1;
  vrn::AllocateDNSFifo(2000);
  return folder;
}

void Teardown(const std::string& folder) {
  vrn::CloseDNSCache();
  vrn::FreeDNSFifo();
  if (!folder.empty()) std::system(("rm -rf '" + folder + "'").c_str());
}

void QueueWithSlowLookups(benchmark::State& state) {
  const std::string folder = Setup();
  vrn::OpenDNSCache(folder.c_str());
  g_networkBinding.WSAStartup = BenchStartup;
  g_networkBinding.WSACleanup = BenchCleanup;
  g_networkBinding.gethostbyaddr = BenchByAddr;
  Addresses();
  vrn::DnsRun run;
  run.lookupSetting = 1;
  run.timeoutMs = 25000;
  run.hitStep = CountingStep;
  g_passed = 0;
  double seconds = 0, firstSeconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    vrn::HitRecord hit{};
    for (int i = 0; i < kHits; ++i) {
      MakeHit(&hit, i);
      if (vrn::QueueHitForDNS(&run, &hit) == 0) state.SkipWithError("a hit could not be queued");
      vrn::CheckDNS(&run);
      if (i + 1 == kAddresses) {
        // The first kAddresses hits hold every address once: all lookups.
        if (vrn::DrainDNSFifo(&run) != 4) state.SkipWithError("the queue did not drain");
        firstSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      }
    }
    if (vrn::DrainDNSFifo(&run) != 4) state.SkipWithError("the queue did not drain");
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const vrn::DnsCounters c = vrn::GetDNSCounters();
  vrn::WaitForDNSLookupThreads(5000);
  state.counters["hits"] = static_cast<double>(g_passed);
  state.counters["hits/s"] = g_passed / seconds;
  state.counters["lookups"] = c.lookupsStarted;
  state.counters["lookup_phase_s"] = firstSeconds;
  state.counters["lookups/s"] = c.lookupsStarted / firstSeconds;
  state.counters["cached_hits/s"] = (kHits - kAddresses) / (seconds - firstSeconds);
  state.counters["best_lookups/s"] = kThreads / std::chrono::duration<double>(kAnswerDelay).count();
  state.counters["most_in_flight"] = c.highestInFlight;
  state.counters["threads_left"] = vrn::LiveDNSLookupThreads();
  g_networkBinding.WSAStartup = nullptr;
  g_networkBinding.WSACleanup = nullptr;
  g_networkBinding.gethostbyaddr = nullptr;
  Teardown(folder);
}
BENCHMARK(QueueWithSlowLookups)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void QueueWithLookupsOff(benchmark::State& state) {
  const std::string folder = Setup();
  Addresses();
  vrn::DnsRun run;
  run.lookupSetting = 0;
  run.hitStep = CountingStep;
  g_passed = 0;
  vrn::HitRecord hit{};
  int i = 0;
  for (auto _ : state) {
    MakeHit(&hit, i++);
    vrn::QueueHitForDNS(&run, &hit);
    vrn::CheckDNS(&run);
  }
  vrn::DrainDNSFifo(&run);
  state.counters["hits"] = static_cast<double>(g_passed);
  Teardown(folder);
}
BENCHMARK(QueueWithLookupsOff)->Iterations(kHits)->Unit(benchmark::kNanosecond);

void MakeHitOnly(benchmark::State& state) {
  Addresses();
  vrn::HitRecord hit{};
  int i = 0;
  for (auto _ : state) {
    MakeHit(&hit, i++);
    benchmark::DoNotOptimize(hit.Line);
    vrn::FreeHitLine(&hit);
  }
}
BENCHMARK(MakeHitOnly)->Iterations(kHits)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
