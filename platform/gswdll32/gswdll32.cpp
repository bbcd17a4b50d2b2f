// The charting library, reached by ordinal: 1 starts the graphics server,
// 124 opens the caller's session, 125 closes it and 2 stops the server.
// Charts are drawn with libgd: a chart is opened with its size, given its
// texts, values and style, exported to a bitmap or a drawing file, and
// closed (see gswdll32.h for the entry points). Every call answers 0 on
// success.
#include <atomic>
#include <cstdint>

#include "platform/gswdll32/gswdll32.h"
#include "platform/gswdll32/chart_draw.h"
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
    {kv::gsw::kOrdOpenChart, reinterpret_cast<KvProc>(&kv::gsw::OpenChart)},
    {kv::gsw::kOrdCloseChart, reinterpret_cast<KvProc>(&kv::gsw::CloseChart)},
    {kv::gsw::kOrdSetOption11, reinterpret_cast<KvProc>(&kv::gsw::SetOption)},
    {kv::gsw::kOrdSetOption15, reinterpret_cast<KvProc>(&kv::gsw::SetOption)},
    {kv::gsw::kOrdWidthBase, reinterpret_cast<KvProc>(&kv::gsw::WidthBase)},
    {kv::gsw::kOrdHeightBase, reinterpret_cast<KvProc>(&kv::gsw::HeightBase)},
    {kv::gsw::kOrdExport, reinterpret_cast<KvProc>(&kv::gsw::ExportChart)},
    {kv::gsw::kOrdExportBitmap, reinterpret_cast<KvProc>(&kv::gsw::ExportChartBitmap)},
    {kv::gsw::kOrdBatch, reinterpret_cast<KvProc>(&kv::gsw::Batch)},
    {kv::gsw::kOrdValues, reinterpret_cast<KvProc>(&kv::gsw::SetValues)},
    {kv::gsw::kOrdLabels, reinterpret_cast<KvProc>(&kv::gsw::SetLabels)},
    {kv::gsw::kOrdLegends, reinterpret_cast<KvProc>(&kv::gsw::SetLegends)},
    {kv::gsw::kOrdTitle, reinterpret_cast<KvProc>(&kv::gsw::SetTitle)},
    {kv::gsw::kOrdItemAxis, reinterpret_cast<KvProc>(&kv::gsw::SetItemAxis)},
    {kv::gsw::kOrdValueAxis, reinterpret_cast<KvProc>(&kv::gsw::SetValueAxis)},
    {kv::gsw::kOrdStyle, reinterpret_cast<KvProc>(&kv::gsw::SetStyle)},
    {kv::gsw::kOrdFont, reinterpret_cast<KvProc>(&kv::gsw::SetFont)},
    {kv::gsw::kOrdLegendPlace, reinterpret_cast<KvProc>(&kv::gsw::SetLegendPlace)},
    {0, nullptr},
};
