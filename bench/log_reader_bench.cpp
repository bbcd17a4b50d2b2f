// Throughput of the line reader: read + format recognition + parsing +
// finishing of every line of a log file, one core.
//
// The log is named by the environment variable KV_BENCH_LOG (see
// run-log-reader-bench, which generates a combined-format log of 100 MB or
// more). Without it a small log is generated in a temporary folder.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/core/engine_state.h"
#include "engine/core/hit_record.h"
#include "engine/core/log_reader.h"
#include "engine/core/log_source.h"

namespace {

std::string SmallLog() {
  static std::string path;
  if (!path.empty()) return path;
  char dir[] = "/tmp/kvbenchXXXXXX";
  if (mkdtemp(dir) == nullptr) return "";
  path = std::string(dir) + "/small.log";
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return "";
  for (int i = 0; i < 200000; ++i) {
    std::fprintf(f,
                 "10.%d.%d.%d - - [%02d/Mar/2024:%02d:%02d:%02d -0700] \"GET /page%d.html?id=%d HTTP/1.1\" 200 %d "
                 "\"http://www.example.com/\" \"Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0\"\n",
                 i % 200, i % 250, i % 199 + 1, 1 + i / 10000 % 28, i / 3600 % 24, i / 60 % 60, i % 60, i % 977, i,
                 i * 13 % 60000);
  }
  std::fclose(f);
  return path;
}

void BM_ReadCombinedLog(benchmark::State& state) {
  const char* env = getenv("KV_BENCH_LOG");
  const std::string path = env != nullptr && env[0] != 0 ? std::string(env) : SmallLog();
  vrn::g_engine.unresolvedDomain = "Unresolved";
  vrn::g_engine.unresolvedAddressType = "Unresolved";
  vrn::g_engine.unresolvedCountry = "Unresolved";
  uint64_t bytes = 0, lines = 0, hits = 0;
  for (auto _ : state) {
    const vrn::LogSourceHandle source = vrn::OpenLogSourceForReading(path.c_str());
    if (source == vrn::kNoLogSource) {
      state.SkipWithError("cannot open the log");
      return;
    }
    uint64_t pos = 0;
    vrn::HitRecord hit;
    for (;;) {
      uint64_t next = pos;
      const uint16_t r = vrn::ReadNextHit(source, pos, &hit, &next, vrn::kDefaultReadWindow);
      if (r == vrn::kReadHit) {
        ++hits;
        benchmark::DoNotOptimize(hit.HitTime);
        vrn::FreeHitLine(&hit);
      } else if (r == vrn::kReadEnd) {
        break;
      }
      ++lines;
      pos = next;
    }
    bytes += vrn::GetLogSourceSize(source);
    vrn::CloseLogSource(source);
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.SetItemsProcessed(static_cast<int64_t>(hits));
  state.counters["calls"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ReadCombinedLog)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
