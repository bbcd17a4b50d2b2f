// Table tokens of any content against a small analysis: the row and detail
// numbers they carry index tables of a few items. Chart tokens are left out
// (they write files); their chart spec text has its own target.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/database/analysis_context.h"
#include "engine/database/finishing.h"
#include "engine/database/item_tables.h"
#include "engine/reports/report_tables.h"
#include "platform/base/memory.h"

namespace {

struct Analysis {
  KvGlobal handle = 0;
  vrn::AnalysisContext* ctx = nullptr;
  Analysis() {
    handle = vrn::AllocAnalysisDatabase();
    ctx = static_cast<vrn::AnalysisContext*>(kv::GlobalLock(handle));
    ctx->orgFile = KV_INVALID_FILE;
    ctx->templ.TopTablesPtr =
        static_cast<vrn::SummaryTableEntry*>(std::calloc(vrn::kItemTableCount, sizeof(vrn::SummaryTableEntry)));
    for (int i = 0; i < vrn::kItemTableCount; ++i) vrn::InitTableDescriptor(&ctx->templ.TopTablesPtr[i]);
    ctx->templ.TopTablesCount = vrn::kItemTableCount;
    ctx->templ.TopUsersPtr = static_cast<vrn::SummaryTableEntry*>(std::calloc(1, sizeof(vrn::SummaryTableEntry)));
    vrn::InitTableDescriptor(ctx->templ.TopUsersPtr);
    const char* names[] = {"/a.htm", "file:///../b.htm", "0000000000000001", "x.example.com"};
    for (int t = 0; t < vrn::kItemTableCount; ++t) {
      vrn::SummaryTableEntry* table = &ctx->templ.TopTablesPtr[t];
      for (uint32_t i = 0; i < 4; ++i) {
        const uint32_t n = vrn::AddNameToTable(table, names[i]);
        if (n == 0) continue;
        vrn::NameTableEntry* e = table->ItemBlock[n - 1];
        e->TotalByHits = 10 - i;
        e->TotalByUsers = i;
        e->TotalBytes = 1000.0 * i;
        e->TimeOnPages = 100 * i;
        e->TimeOnPagesCount = i;
      }
    }
    vrn::ResetSectionTable(1);
  }
  ~Analysis() {
    kv::GlobalUnlock(handle);
    vrn::FreeAnalysisDatabase(handle);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Analysis analysis;
  if (size < 1) return 0;
  const int index = data[0] % vrn::kItemTableCount;
  const char* section = vrn::GetSectionTable()[index].name;
  const std::string suffix(reinterpret_cast<const char*>(data + 1), size - 1);
  if (suffix.find('\0') != std::string::npos) return 0;
  const std::string token = std::string(section) + suffix;
  std::string lower = token;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.find("graph") != std::string::npos) return 0;
  char value[vrn::kReportValueSize];
  int32_t control = 0;
  vrn::EmitReportTable(analysis.ctx, value, sizeof value, token.c_str(), section,
                       vrn::GetTableDescriptor(analysis.ctx, index), index, data[0] & 1, &control, nullptr);
  if (std::strlen(value) >= sizeof value) std::abort();
  return 0;
}
