// Naming the local copies of many rotated remote logs (MakeLocalFetchName).
//
//   DatedRotatedLogs     2,000 names access.log.2020-01-01 ... : every one
//                        cuts to the same short name and extension ("202"),
//                        so all but the first take a counter; the worst case.
//   NumberedRotatedLogs  2,000 names access.log.1 ... access.log.2000: the
//                        extension keeps three characters, so from 1000 on
//                        groups of ten share one.
//
// "names/s" is the rate of naming; one iteration names all 2,000.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/core/engine_state.h"
#include "engine/network/remote_logs.h"

namespace {

constexpr int kLogs = 2000;

std::vector<std::string> DatedNames() {
  std::vector<std::string> names;
  for (int i = 0; i < kLogs; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/logs/access.log.%04d-%02d-%02d", 2020 + i / 336, 1 + (i / 28) % 12, 1 + i % 28);
    names.push_back(name);
  }
  return names;
}

std::vector<std::string> NumberedNames() {
  std::vector<std::string> names;
  for (int i = 1; i <= kLogs; ++i) names.push_back("/logs/access.log." + std::to_string(i));
  return names;
}

void NameAll(benchmark::State& state, const std::vector<std::string>& remotes) {
  vrn::g_engine = vrn::EngineState{};
  vrn::g_engine.slots[0].profileDir = "/profiles/";
  vrn::FetchFileList base;
  for (const std::string& r : remotes) {
    vrn::FetchFileRecord rec;
    vrn::SetFetchText(rec.remotePath, r);
    base.records.push_back(rec);
  }
  base.count = static_cast<uint32_t>(base.records.size());
  for (auto _ : state) {
    vrn::FetchFileList list = base;
    vrn::MakeLocalFetchName("site.wlp", &list);
    benchmark::DoNotOptimize(list.records.back().localPath[0]);
  }
  state.counters["names/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kLogs, benchmark::Counter::kIsRate);
}

void DatedRotatedLogs(benchmark::State& state) { NameAll(state, DatedNames()); }
void NumberedRotatedLogs(benchmark::State& state) { NameAll(state, NumberedNames()); }

BENCHMARK(DatedRotatedLogs)->Unit(benchmark::kMillisecond);
BENCHMARK(NumberedRotatedLogs)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
