// Test support: an analysis block with its 41 tables, the session table and
// a small report vocabulary, freed through FreeAnalysisDatabase.
#ifndef VORNIC_DATABASE_ITEM_TABLES_TEST_SUPPORT_H
#define VORNIC_DATABASE_ITEM_TABLES_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/database/analysis_context.h"
#include "engine/database/item_tables.h"
#include "platform/base/memory.h"

namespace vrn::testing_support {

inline char* Dup(const char* text) {
  char* copy = static_cast<char*>(std::malloc(std::strlen(text) + 1));
  std::strcpy(copy, text);
  return copy;
}

struct ScaleSpec {
  const char* name;
  uint16_t slots;
  uint32_t seconds;
  const char* labelFormat;
  const char* dayFormat;
};

class TestAnalysis {
 public:
  explicit TestAnalysis(uint32_t tableCount = kItemTableCount) {
    handle = AllocAnalysisDatabase();
    EXPECT_NE(handle, 0u);
    ctx = static_cast<AnalysisContext*>(kv::GlobalLock(handle));
    ctx->orgFile = KV_INVALID_FILE;
    ctx->templ.TopTablesPtr = static_cast<SummaryTableEntry*>(std::calloc(kItemTableCount, sizeof(SummaryTableEntry)));
    for (int i = 0; i < kItemTableCount; ++i) InitTableDescriptor(&ctx->templ.TopTablesPtr[i]);
    ctx->templ.TopTablesCount = tableCount;
    ctx->templ.TopUsersPtr = static_cast<SummaryTableEntry*>(std::calloc(1, sizeof(SummaryTableEntry)));
    InitTableDescriptor(ctx->templ.TopUsersPtr);
    ctx->templ.FewestHits = 0xFFFFFFFFu;
    ctx->templ.FewestUsers = 0xFFFFFFFFu;
    auto* o = static_cast<ReportOptions*>(std::calloc(1, sizeof(ReportOptions)));
    const char* shortDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    const char* longDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    const char* months[] = {"January", "February", "March",     "April",   "May",      "June",
                            "July",    "August",   "September", "October", "November", "December"};
    for (int i = 0; i < 7; ++i) {
      o->texts[kShortWeekdays + i] = Dup(shortDays[i]);
      o->texts[kLongWeekdays + i] = Dup(longDays[i]);
    }
    for (int i = 0; i < 12; ++i) {
      o->texts[kShortMonths + i] = Dup(std::string(months[i], 3).c_str());
      o->texts[kLongMonths + i] = Dup(months[i]);
    }
    o->texts[kOptOthers] = Dup("Everything else");
    o->texts[kIntlTexts + 0] = Dup("/");
    o->texts[kIntlTexts + 1] = Dup(":");
    o->texts[kIntlTexts + 2] = Dup("%A %B %d, %Y - %T");
    o->texts[kIntlTexts + 3] = Dup("%B %d, %Y");
    ctx->options = o;
  }
  ~TestAnalysis() {
    ctx->templ.TopTablesCount = kItemTableCount;  // every allocated table is freed
    kv::GlobalUnlock(handle);
    FreeAnalysisDatabase(handle);
  }
  TestAnalysis(const TestAnalysis&) = delete;
  TestAnalysis& operator=(const TestAnalysis&) = delete;

  SummaryTableEntry* Table(uint32_t n) { return &ctx->templ.TopTablesPtr[n]; }
  SummaryTableEntry* Sessions() { return ctx->templ.TopUsersPtr; }

  // Replaces the interval scales.
  void SetScales(const std::vector<ScaleSpec>& specs) {
    ReportOptions* o = ctx->options;
    for (uint16_t i = 0; i < o->intervalCount; ++i) {
      std::free(o->intervals[i].slotLabelFormat);
      std::free(o->intervals[i].intervalName);
      std::free(o->intervals[i].periodDayFormat);
    }
    std::free(o->intervals);
    o->intervals = static_cast<IntervalScale*>(std::calloc(specs.size() + 1, sizeof(IntervalScale)));
    o->intervalCount = static_cast<uint16_t>(specs.size());
    for (size_t i = 0; i < specs.size(); ++i) {
      o->intervals[i].secondsPerSlot = specs[i].seconds;
      o->intervals[i].slotCount = specs[i].slots;
      o->intervals[i].intervalName = Dup(specs[i].name);
      o->intervals[i].slotLabelFormat = Dup(specs[i].labelFormat);
      o->intervals[i].periodDayFormat = Dup(specs[i].dayFormat);
    }
  }

  KvGlobal handle = 0;
  AnalysisContext* ctx = nullptr;
};

// Item of a table by item number.
inline NameTableEntry* Item(const SummaryTableEntry* table, uint32_t n) { return table->ItemBlock[n]; }

// Names of the index in order.
inline std::vector<std::string> IndexNames(const SummaryTableEntry* table) {
  std::vector<std::string> names;
  for (uint32_t p = 0; p < table->Count; ++p) names.emplace_back(table->ItemBlock[table->SortIndex[p]]->String);
  return names;
}

}  // namespace vrn::testing_support

#endif
