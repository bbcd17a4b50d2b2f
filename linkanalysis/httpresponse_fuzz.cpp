// Fuzz target: a server's answer parsed into a page record, and the same
// bytes scanned as a page body for links.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "linkanalysis/crawl.h"
#include "linkanalysis/crawlhttp.h"
#include "linkanalysis/linkcontext.h"
#include "platform/sync/sync.h"

namespace {

LinkAnalysisDataStruct* Context() {
  static LinkAnalysisDataStruct* ctx = [] {
    auto* c = new LinkAnalysisDataStruct;
    c->databaseMutex = KvCreateMutex(nullptr, 0, 0);
    c->inlistMutex = KvCreateMutex(nullptr, 0, 0);
    c->cookieMutex = KvCreateMutex(nullptr, 0, 0);
    c->serverName = c->serverHost = "www.site.test";
    c->redirectCutoff = 3;
    c->running = true;
    return c;
  }();
  return ctx;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kvla;
  LinkAnalysisDataStruct* ctx = Context();
  ctx->records.clear();
  ctx->refs.clear();
  ctx->records.reserve(kBlockRecords);
  ctx->refs.reserve(kBlockRecords);
  ctx->count = 0;
  ctx->blocks = 1;
  ctx->cookies.clear();
  ctx->byHash.clear();
  ctx->firstUntaken = 0;
  ctx->texts.clear();
  ctx->textUsed.clear();
  ctx->freeTexts.clear();

  const char* text = reinterpret_cast<const char*>(data);
  PageRecord rec{};
  std::strcpy(rec.host, "www.site.test");
  std::strcpy(rec.path, "/dir/page.html");
  rec.linkType = kLinkHttp;
  rec.category = 1;
  rec.redirectCount = size ? data[0] % 4 : 0;
  ParseHttpResponse(ctx, &rec, nullptr, text, size, size % 2 ? "GET" : "HEAD");
  if (strnlen(rec.host, sizeof rec.host) == sizeof rec.host || strnlen(rec.path, sizeof rec.path) == sizeof rec.path)
    __builtin_trap();
  std::string request = BuildHttpRequest(ctx, rec, "GET");
  (void)request;

  PageRecord seed{};
  seed.index = -1;
  std::strcpy(seed.host, "www.site.test");
  seed.linkType = kLinkHttp;
  const char start[] = "=\"http://www.site.test/dir/index.html\"";
  AddFoundLink(ctx, &seed, start, sizeof start - 1, 0, 0);
  PageRecord root = ctx->records[0];
  ScanPage(ctx, nullptr, &root, text, size);
  for (const PageRecord& r : ctx->records)
    if (strnlen(r.path, sizeof r.path) == sizeof r.path) __builtin_trap();
  return 0;
}
