// The crawler's page scan on large pages.
//
//   ScanManyAnchorsOneClose   a page of N anchors ("<a href=...>") and a single
//                             "</a>" at its very end, the shape that makes
//                             every anchor look for its closing token across
//                             the rest of the page. Reported with its fitted
//                             complexity: the scan must stay linear in N
//                             (Big O "N", not "N^2").
//   ScanManyImagesInComments  N image tags without ALT, WIDTH and HEIGHT, every
//                             second one inside a comment: the tag checks and
//                             the skip ranges, again linear in N.
//
// Every found link goes into an in-memory link database, as in a run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "linkanalysis/crawl.h"
#include "linkanalysis/linkcontext.h"
#include "platform/sync/sync.h"

namespace {

using kvla::PageRecord;

// A run without workers: the mutexes and arrays the scan adds links to.
struct MemoryRun {
  LinkAnalysisDataStruct ctx;
  PageRecord root{};
  MemoryRun() {
    ctx.databaseMutex = KvCreateMutex(nullptr, 0, 0);
    ctx.inlistMutex = KvCreateMutex(nullptr, 0, 0);
    ctx.cookieMutex = KvCreateMutex(nullptr, 0, 0);
    ctx.dnsMutex = KvCreateMutex(nullptr, 0, 0);
    ctx.records.reserve(kvla::kBlockRecords);
    ctx.refs.reserve(kvla::kBlockRecords);
    ctx.blocks = 1;
    ctx.running = true;
    ctx.serverName = ctx.serverHost = "www.site.test";
    PageRecord seed{};
    seed.index = -1;
    std::snprintf(seed.host, sizeof seed.host, "%s", "www.site.test");
    seed.linkType = kvla::kLinkHttp;
    const std::string start = "=\"http://www.site.test/index.html\"";
    kvla::AddFoundLink(&ctx, &seed, start.data(), start.size(), 0, 0);
    root = ctx.records[0];
  }
  ~MemoryRun() {
    for (KvHandle h : {ctx.databaseMutex, ctx.inlistMutex, ctx.cookieMutex, ctx.dnsMutex})
      if (h) KvCloseHandle(h);
  }
};

void Scan(benchmark::State& state, const std::string& page, int64_t links) {
  for (auto _ : state) {
    state.PauseTiming();
    auto run = std::make_unique<MemoryRun>();
    state.ResumeTiming();
    if (!kvla::ScanPage(&run->ctx, nullptr, &run->root, page.data(), page.size()))
      state.SkipWithError("the scan failed");
    if (run->ctx.count != links + 1) state.SkipWithError("wrong number of links found");
    state.PauseTiming();
    run.reset();
    state.ResumeTiming();
  }
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(page.size()));
}

void ScanManyAnchorsOneClose(benchmark::State& state) {
  const int64_t n = state.range(0);
  std::string page = "<html><body>\n";
  for (int64_t i = 0; i < n; ++i) page += "<a href=\"/p" + std::to_string(i) + ".html\">\n";
  page += "</a></body></html>\n";
  Scan(state, page, n);
}
BENCHMARK(ScanManyAnchorsOneClose)->RangeMultiplier(4)->Range(1 << 10, 1 << 16)->Complexity()->Unit(benchmark::kMillisecond);

void ScanManyImagesInComments(benchmark::State& state) {
  const int64_t n = state.range(0);
  std::string page = "<html><body>\n";
  for (int64_t i = 0; i < n; ++i) {
    const std::string img = "<img src=\"/i" + std::to_string(i) + ".gif\">";
    page += i % 2 ? "<!-- " + img + " -->\n" : img + "\n";
  }
  page += "</body></html>\n";
  Scan(state, page, (n + 1) / 2);
}
BENCHMARK(ScanManyImagesInComments)->RangeMultiplier(4)->Range(1 << 10, 1 << 16)->Complexity()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
