// Fuzz target: location texts and the time-window search over arbitrary log
// bytes (held in memory behind a registered source kind).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/core/log_file_list.h"
#include "engine/core/log_reader.h"
#include "engine/core/log_source.h"

namespace {

std::string g_data;

struct MemoryState {
  uint64_t position = 0;
};

uint64_t MemSize(vrn::LogSource*) { return g_data.size(); }
uint64_t MemSeek(vrn::LogSource* s, uint64_t offset, uint32_t origin) {
  auto* st = static_cast<MemoryState*>(s->kindData);
  if (origin == 0) st->position = offset;
  if (origin == 1) st->position += offset;
  if (origin == 2) st->position = g_data.size() + offset;
  return st->position;
}
bool MemRead(vrn::LogSource* s, void* buffer, uint32_t count, uint32_t* done) {
  auto* st = static_cast<MemoryState*>(s->kindData);
  uint64_t n = 0;
  if (st->position < g_data.size()) {
    n = g_data.size() - st->position;
    if (n > count) n = count;
    std::memcpy(buffer, g_data.data() + st->position, n);
    st->position += n;
  }
  *done = static_cast<uint32_t>(n);
  return true;
}
bool MemClose(vrn::LogSource* s) {
  delete static_cast<MemoryState*>(s->kindData);
  s->kindData = nullptr;
  return true;
}
const vrn::LogSourceOps kMemOps = {MemSize, MemSeek, MemRead, MemClose, nullptr};
bool MemOpen(vrn::LogSource* s, const char*) {
  s->kindData = new MemoryState();
  s->ops = &kMemOps;
  return true;
}

uint32_t Word(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool registered = vrn::RegisterLogSourceOpener("kvfuzz:", MemOpen);
  if (!registered || size < 9) return 0;

  // The first line (up to 80 bytes) is a location.
  size_t lineEnd = 8;
  while (lineEnd < size && lineEnd < 88 && data[lineEnd] != '\n') ++lineEnd;
  const std::string location(reinterpret_cast<const char*>(data) + 8, lineEnd - 8);
  char path[16];
  char host[8];
  uint16_t port = 0;
  vrn::ParseLogLocation(path, sizeof(path), location.c_str(), host, sizeof(host), &port);
  if (std::strlen(path) >= sizeof(path) || std::strlen(host) >= sizeof(host)) __builtin_trap();

  // The rest is a log; the first eight bytes pick the window.
  g_data.assign(reinterpret_cast<const char*>(data) + lineEnd, size - lineEnd);
  const uint32_t a = Word(data), b = Word(data + 4);
  const vrn::LogSourceHandle source = vrn::OpenLogSourceForReading("kvfuzz:log");
  if (source == vrn::kNoLogSource) return 0;
  for (uint64_t offset : {uint64_t{0}, uint64_t{1}, g_data.size() / 2, g_data.size()}) {
    uint64_t start = 0;
    if (vrn::FindRecordStart(source, offset, &start) && offset > 0 && start >= offset) __builtin_trap();
  }
  uint64_t from = 0, to = 0;
  uint32_t first = 0, last = 0;
  const uint32_t s = a < b ? a : b, e = a < b ? b : a;
  if (vrn::FindLogTimeRange(source, nullptr, s, e, &from, &to, &first, &last) == 0) {
    // The times found lie in the window whatever the order of the records.
    if (from > g_data.size() || first < s || last > e) __builtin_trap();
  }
  vrn::CloseLogSource(source);
  return 0;
}
