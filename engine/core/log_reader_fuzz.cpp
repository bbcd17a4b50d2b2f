// Random bytes as a log: the reader, format recognition, every parser and
// the W3C directive handling must neither crash nor read out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/core/engine_state.h"
#include "engine/core/hit_record.h"
#include "engine/core/log_reader.h"
#include "engine/core/log_source.h"
#include "engine/core/w3c_format.h"

namespace {

// An in-memory source kind: the bytes of the current input.
const uint8_t* g_data = nullptr;
size_t g_size = 0;

uint64_t MemSize(vrn::LogSource*) { return g_size; }
uint64_t MemSeek(vrn::LogSource* s, uint64_t offset, uint32_t origin) {
  uint64_t base = origin == 0 ? 0 : origin == 1 ? s->position : g_size;
  s->position = base + offset;
  return s->position;
}
bool MemRead(vrn::LogSource* s, void* buffer, uint32_t count, uint32_t* done) {
  uint64_t n = 0;
  if (s->position < g_size) n = g_size - s->position;
  if (n > count) n = count;
  if (n > 0) std::memcpy(buffer, g_data + s->position, n);
  s->position += n;
  *done = static_cast<uint32_t>(n);
  return true;
}
bool MemClose(vrn::LogSource*) { return true; }
const vrn::LogSourceOps kMemOps = {MemSize, MemSeek, MemRead, MemClose, nullptr};
bool OpenMem(vrn::LogSource* s, const char*) {
  s->ops = &kMemOps;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = [] {
    vrn::RegisterLogSourceOpener("mem:", OpenMem);
    vrn::g_engine.unresolvedDomain = "Unresolved";
    vrn::g_engine.unresolvedAddressType = "Unresolved";
    vrn::g_engine.unresolvedCountry = "Unresolved";
    return true;
  }();
  (void)once;
  if (size < 2) return 0;
  // The first two bytes choose the settings; the rest is the log.
  static const uint32_t kLayouts[] = {0, 8, 9, 10, 34, 35, 36, 7};
  vrn::SetReaderDateLayout(kLayouts[data[0] & 7]);
  vrn::g_engine.logIDate = (data[0] >> 3) % 3;
  vrn::g_engine.cookieValidate = (data[0] >> 5) & 1;
  vrn::g_engine.disableColdFusion = (data[0] >> 6) & 1;
  const uint32_t window = (data[1] & 1) ? 100000 : 16 + data[1] * 8u;
  g_data = data + 2;
  g_size = size - 2;

  const vrn::LogSourceHandle source = vrn::OpenLogSourceForReading("mem:fuzz");
  if (source == vrn::kNoLogSource) return 0;
  int found = 0;
  if (vrn::ReadW3CFieldsHeader(source, &found) == 1 && found) vrn::ResetLogReader();
  uint64_t pos = 0;
  for (int guard = 0; guard < 100000; ++guard) {
    vrn::HitRecord hit;
    std::memset(&hit, 0, sizeof(hit));
    uint64_t next = pos;
    const uint16_t r = vrn::ReadNextHit(source, pos, &hit, &next, window);
    if (r == vrn::kReadHit) {
      // What the rest of the engine does with a hit: copy it, complete it,
      // read every text.
      vrn::HitRecord* copy = vrn::DuplicateHitRecord(&hit, false, true);
      if (copy != nullptr) {
        vrn::CompleteHitRecord(copy);
        size_t total = 0;
        for (int i = 0; i < vrn::kHitFieldCount; ++i) {
          const char* text = *vrn::HitFieldSlot(copy, i);
          if (text != nullptr) total += std::strlen(text);
        }
        (void)total;
        vrn::FreeHitRecord(copy);
      }
      vrn::FreeHitLine(&hit);
    }
    if (r == vrn::kReadEnd || next <= pos) break;
    pos = next;
  }
  vrn::CloseLogSource(source);
  return 0;
}
