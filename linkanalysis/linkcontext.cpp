#include "linkanalysis/linkcontext.h"

#include <sched.h>

#include <chrono>

#include "platform/sync/sync.h"
#include "platform/ui/window.h"

namespace kvla {

void ReportLinkError(LinkAnalysisDataStruct* ctx, const std::string& text) {
  if (!ctx) return;
  {
    std::lock_guard<std::mutex> lock(ctx->errorLock);
    ctx->errors.push_back(text);
  }
  DebugLogWrite(ctx, text.data(), text.size());
  DebugLogWrite(ctx, "\r\n", 2);
}

void DebugLogWrite(LinkAnalysisDataStruct* ctx, const char* data, size_t size) {
  if (!ctx || !data) return;
  std::lock_guard<std::mutex> lock(ctx->debugLogLock);
  if (ctx->debugLog) {
    std::fwrite(data, 1, size, ctx->debugLog);
    std::fflush(ctx->debugLog);
  }
}

int PumpMessages(LinkAnalysisDataStruct* ctx) {
  kv::ui::Message msg;
  while (kv::ui::PeekMessage(&msg, 0, 0, 0, kv::ui::PeekRemove)) {
    if (msg.message == kv::msg::Quit) break;
    kv::ui::DispatchMessage(&msg);
  }
  sched_yield();
  if (!ctx) return 1;
  return ctx->stop.load() ? 0 : 1;
}

int LockMutex(LinkAnalysisDataStruct* ctx, KvHandle mutex) {
  if (!mutex) return 0;
  if (!PumpMessages(ctx)) return 0;
  for (;;) {
    uint32_t r = KvWaitForSingleObject(mutex, KV_INFINITE);
    if (r == KV_WAIT_OBJECT_0 || r == KV_WAIT_ABANDONED_0) return 1;
    // A failed wait is repeated, unless the handle is gone for good.
    if (ctx && ctx->stop.load()) return 0;
    if (!PumpMessages(ctx)) return 0;
  }
}

void ReleaseLock(KvHandle mutex) {
  if (mutex) KvReleaseMutex(mutex);
}

int DelayPumping(LinkAnalysisDataStruct* ctx, uint32_t ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (!PumpMessages(ctx)) return 0;
    // Wait for a message instead of spinning, at most until the end.
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left > 0) kv::ui::WaitMessage(static_cast<int32_t>(left < 5 ? left : 5));
  }
  return PumpMessages(ctx);
}

uint32_t StoreText(LinkAnalysisDataStruct* ctx, const char* text) {
  if (!ctx || !text || !*text) return 0;
  std::lock_guard<std::mutex> lock(ctx->textLock);
  try {
    if (!ctx->freeTexts.empty()) {
      uint32_t h = ctx->freeTexts.back();
      ctx->freeTexts.pop_back();
      ctx->texts[h - 1] = text;
      ctx->textUsed[h - 1] = true;
      return h;
    }
    ctx->texts.emplace_back(text);
    ctx->textUsed.push_back(true);
    return static_cast<uint32_t>(ctx->texts.size());
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

std::string GetText(LinkAnalysisDataStruct* ctx, uint32_t handle) {
  if (!ctx || handle == 0) return {};
  std::lock_guard<std::mutex> lock(ctx->textLock);
  if (handle > ctx->texts.size() || !ctx->textUsed[handle - 1]) return {};
  return ctx->texts[handle - 1];
}

void FreeText(LinkAnalysisDataStruct* ctx, uint32_t handle) {
  if (!ctx || handle == 0) return;
  std::lock_guard<std::mutex> lock(ctx->textLock);
  if (handle > ctx->texts.size() || !ctx->textUsed[handle - 1]) return;
  ctx->textUsed[handle - 1] = false;
  ctx->texts[handle - 1].clear();
  ctx->texts[handle - 1].shrink_to_fit();
  ctx->freeTexts.push_back(handle);
}

void SetText(LinkAnalysisDataStruct* ctx, uint32_t* field, const char* text) {
  if (!field) return;
  FreeText(ctx, *field);
  *field = StoreText(ctx, text);
}

}  // namespace kvla
