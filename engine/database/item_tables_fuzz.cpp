// Item tables under arbitrary input: the stored record decoders, a stream of
// table operations (names, times, idle limits and top-list sizes taken from
// the input) on an expiring and a plain table, and a path text read from an
// arbitrary item name. After every operation the name index must stay in
// order and every counted item must be reachable by its name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/database/finishing.h"
#include "engine/database/item_tables.h"
#include "engine/database/table_accessors.h"
#include "platform/base/memory.h"

namespace {

using namespace vrn;

void CheckIndex(const SummaryTableEntry& t) {
  uint32_t first = (t.Count && t.ItemBlock[0]->Overflow) ? 1 : 0;
  for (uint32_t p = first + 1; p < t.Count; ++p) {
    const char* a = t.ItemBlock[t.SortIndex[p - 1]]->String;
    const char* b = t.ItemBlock[t.SortIndex[p]]->String;
    if (!a || !b || CompareItemNames(a, b) > 0) std::abort();
  }
  if (t.Count + t.DeleteCount > t.ChunkSize && t.ItemBlock) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= kNameTableEntrySize) {
    NameTableEntry item;
    uint32_t a = 0, b = 0;
    if (DecodeNameTableEntry(data, &item, &a, &b)) {
      uint8_t back[kNameTableEntrySize];
      EncodeNameTableEntry(item, a, b, back);
      if (std::memcmp(back, data, kNameTableEntrySize) != 0) std::abort();
    }
  }
  if (size >= kSummaryTableEntrySize) {
    SummaryTableEntry table;
    uint32_t a = 0, b = 0, c = 0;
    if (DecodeSummaryTableEntry(data, &table, &a, &b, &c)) {
      uint8_t back[kSummaryTableEntrySize];
      EncodeSummaryTableEntry(table, a, b, c, back);
      if (std::memcmp(back, data, kSummaryTableEntrySize) != 0) std::abort();
    }
  }

  KvGlobal handle = AllocAnalysisDatabase();
  auto* ctx = static_cast<AnalysisContext*>(kv::GlobalLock(handle));
  ctx->orgFile = KV_INVALID_FILE;
  ctx->templ.TopTablesPtr = static_cast<SummaryTableEntry*>(std::calloc(kItemTableCount, sizeof(SummaryTableEntry)));
  for (int i = 0; i < kItemTableCount; ++i) InitTableDescriptor(&ctx->templ.TopTablesPtr[i]);
  ctx->templ.TopTablesCount = kItemTableCount;
  SummaryTableEntry* timed = &ctx->templ.TopTablesPtr[kTopCompanies];
  SummaryTableEntry* plain = &ctx->templ.TopTablesPtr[kTopDocuments];

  // Operations: one control byte, then a name up to the next zero byte.
  uint32_t time = 1000;
  size_t i = 0;
  while (i < size) {
    const uint8_t control = data[i++];
    size_t end = i;
    while (end < size && data[end] != 0) ++end;
    std::string name(reinterpret_cast<const char*>(data + i), end - i);
    i = end + 1;
    time += (control & 0x0F) * 300u;
    const uint32_t maxTop = (control >> 4) & 0x03;  // 0, 1 (fails on expiry), 2, 3
    std::string newName = (control & 0x40) ? name + "~" : std::string();
    AddTimedItemToTable(0, nullptr, ctx, timed, name.c_str(), newName.c_str(), time, 1800, 4000, maxTop);
    if (control & 0x80) AddNameToTable(plain, name.c_str());
    CheckIndex(*timed);
    CheckIndex(*plain);
  }
  for (uint32_t p = 0; p < timed->Count; ++p) {
    uint32_t pos = 0;
    if (!FindItemPosition(timed->ItemBlock[timed->SortIndex[p]]->String, timed, 0, &pos)) {
      if (!timed->ItemBlock[timed->SortIndex[p]]->Overflow) std::abort();
    }
  }
  // Names read as visit trails.
  RenumberItems(plain);
  char text[kPathTextBuffer];
  for (uint16_t r = 0; r < plain->Count && r < 8; ++r) GetItemPathText(ctx, plain, 0, r, text, sizeof text);
  MergeTopTwins(timed);

  kv::GlobalUnlock(handle);
  FreeAnalysisDatabase(handle);
  return 0;
}
