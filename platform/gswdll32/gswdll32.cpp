// The charting library, reached by ordinal: 1 starts the graphics server,
// 124 opens the caller's session, 125 closes it and 2 stops the server.
// Every call answers 0 on success. Drawing is added with the chart code.
#include <atomic>
#include <cstdint>

#include "platform/module/module.h"

namespace {

std::atomic<int32_t> g_started{0};   // start calls not yet stopped
std::atomic<int32_t> g_sessions{0};  // open sessions

// Ordinal 1: (command line, locale name) -> 0 when the server runs.
int32_t GswStart(const char* /*commandLine*/, const char* /*locale*/) {
  ++g_started;
  return 0;
}

// Ordinal 124: opens a session with the running server; -1 when none runs.
int32_t GswOpenSession() {
  if (g_started.load() <= 0) return -1;
  ++g_sessions;
  return 0;
}

// Ordinal 125: closes a session; -1 when none is open.
int32_t GswCloseSession() {
  int32_t open = g_sessions.load();
  while (open > 0) {
    if (g_sessions.compare_exchange_weak(open, open - 1)) return 0;
  }
  return -1;
}

// Ordinal 2: stops the server; -1 when it was not started.
int32_t GswStop() {
  int32_t started = g_started.load();
  while (started > 0) {
    if (g_started.compare_exchange_weak(started, started - 1)) return 0;
  }
  return -1;
}

}  // namespace

extern "C" KV_EXPORT const KvOrdinalEntry kv_ordinal_table[] = {
    {1, reinterpret_cast<KvProc>(&GswStart)},
    {2, reinterpret_cast<KvProc>(&GswStop)},
    {124, reinterpret_cast<KvProc>(&GswOpenSession)},
    {125, reinterpret_cast<KvProc>(&GswCloseSession)},
    {0, nullptr},
};
