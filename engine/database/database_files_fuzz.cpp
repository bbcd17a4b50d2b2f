// Stored realtime files under arbitrary input. The first byte chooses:
// even: the rest is a period database file, rebuilt into tables that must
// then hold consistent arrays and take further names; odd: the rest is a
// master.dat, widened by a few days at both ends of its first and last
// record and read back record by record.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/database/analysis_context.h"
#include "engine/database/item_tables.h"
#include "engine/database/realtime_store.h"
#include "platform/base/files.h"

namespace {

using namespace vrn;

void CheckTable(SummaryTableEntry* t) {
  const uint64_t slots = uint64_t{t->Count} + t->DeleteCount;
  if (t->ItemBlock == nullptr) {
    if (slots != 0) std::abort();
    return;
  }
  if (slots > t->ChunkSize || t->Items != t->ItemBlock) std::abort();
  for (uint64_t i = 0; i < slots; ++i) {
    if (t->ItemBlock[i] == nullptr) std::abort();
  }
  for (uint32_t p = 0; p < t->Count; ++p) {
    if (t->SortIndex == nullptr || t->SortIndex[p] >= slots) std::abort();
  }
  AddNameToTable(t, "/fuzz.htm");
}

void PeriodImage(const uint8_t* data, size_t size) {
  TemplateRecord templ{};
  const int result = DecodePeriodImage(data, size, &templ);
  if (result == kDbLoaded) {
    if (templ.TopTablesCount != static_cast<uint32_t>(kItemTableCount) || !templ.TopTablesPtr || !templ.TopUsersPtr) {
      std::abort();
    }
    for (uint32_t t = 0; t < templ.TopTablesCount; ++t) {
      if (t != kTopSearchKeywords && t != kTopSearchEngines) CheckTable(&templ.TopTablesPtr[t]);
    }
    CheckTable(templ.TopUsersPtr);
  } else if (result != kDbBad || templ.TopTablesPtr || templ.TopUsersPtr) {
    std::abort();
  }
  FreeItemTables(&templ);
}

void MasterFile(const uint8_t* data, size_t size) {
  static std::string path;
  if (path.empty()) {
    char folder[] = "/tmp/dbfilesfuzzXXXXXX";
    if (!mkdtemp(folder)) std::abort();
    path = std::string(folder) + "/master.dat";
  }
  if (size < 2) return;
  const uint32_t back = data[0] % 8;
  const uint32_t ahead = data[1] % 8;
  data += 2;
  size -= 2;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);

  // Around the stored first and last day, so that the widening stays small.
  uint32_t first = 0x60000000u, last = 0x60000000u;
  if (size >= kMasterHeaderSize + kMasterRecordSize) {
    MasterRecord r{};
    DecodeMasterRecord(data + kMasterHeaderSize, &r);
    first = r.start;
    DecodeMasterRecord(data + size - kMasterRecordSize, &r);  // as the widening reads it
    last = r.end;
  }
  const uint32_t start = first > back * 86400 ? first - back * 86400 : 0;
  const uint32_t end = last < 0xFFFFFFFFu - ahead * 86400 ? last + ahead * 86400 : 0xFFFFFFFFu;
  if (end > start && end - start > 60u * 86400) return;  // keep each run small
  if (!OpenOrCreateMasterFile(path.c_str(), start, end)) return;
  FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) std::abort();
  uint8_t header[kMasterHeaderSize];
  if (std::fread(header, 1, sizeof header, in) == sizeof header) {
    uint8_t image[kMasterRecordSize];
    while (std::fread(image, 1, sizeof image, in) == sizeof image) {
      MasterRecord r{};
      DecodeMasterRecord(image, &r);
      if (std::strlen(r.fileName) >= sizeof r.fileName) std::abort();
    }
  }
  std::fclose(in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0) {
    PeriodImage(data + 1, size - 1);
  } else {
    MasterFile(data + 1, size - 1);
  }
  return 0;
}
