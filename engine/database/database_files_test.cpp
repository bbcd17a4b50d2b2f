// Realtime folders, master.dat and the period database files.
#include "engine/database/realtime_store.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "engine/core/search_keywords.h"
#include "engine/database/accum_testutil.h"
#include "engine/database/hit_accumulation.h"
#include "engine/database/item_tables.h"
#include "platform/base/files.h"

namespace vrn {
namespace {

using accumtest::TestHit;
using accumtest::Wall;

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
uint32_t Word(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} | (uint32_t{b[at + 1]} << 8) | (uint32_t{b[at + 2]} << 16) | (uint32_t{b[at + 3]} << 24);
}
void PutWord(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<MasterRecord> ReadMaster(const std::string& path) {
  std::vector<uint8_t> bytes = ReadBytes(path);
  std::vector<MasterRecord> records;
  for (size_t at = kMasterHeaderSize; at + kMasterRecordSize <= bytes.size(); at += kMasterRecordSize) {
    MasterRecord r{};
    DecodeMasterRecord(&bytes[at], &r);
    records.push_back(r);
  }
  return records;
}

class DbFilesTest : public accumtest::ContextFixture {
 protected:
  std::string Master() const { return folder_ + "master.dat"; }
};

// ---- realtime folder -------------------------------------------------------------------

TEST(RealtimeDirTest, FolderFromDataFileOrRepository) {
  struct Case {
    const char* repository;
    const char* dataFile;
    int interval;
    int result;
    const char* base;
    const char* sub;
  } cases[] = {
      {"", "c:\\logs\\site.wlp", 0, 1, "c:\\logs\\site.dat", "c:\\logs\\site.dat\\daily"},
      {"", "c:\\logs.d\\site", 3, 1, "c:\\logs.dat", "c:\\logs.dat\\quartrly"},
      {"", "/srv/site", 4, 1, "/srv/site", "/srv/site\\yearly"},
      {"d:\\rt", "c:\\logs\\site.wlp", 1, 1, "d:\\rt", "d:\\rt\\weekly"},
      {"d:\\rt", nullptr, 2, 1, "d:\\rt", "d:\\rt\\monthly"},
      {"", "c:\\site.wlp", 5, 0, "", ""},
      {"", nullptr, 0, 0, "", ""},
  };
  for (const Case& c : cases) {
    DravelEntry profile{};
    std::snprintf(profile.PellavarRepository, sizeof profile.PellavarRepository, "%s", c.repository);
    char base[VRN_REALTIME_DIR_SIZE] = "x";
    char sub[VRN_REALTIME_DIR_SIZE] = "x";
    EXPECT_EQ(ConvertDravelFileToRealTimeDir(&profile, c.dataFile, base, sub, c.interval), c.result)
        << (c.dataFile ? c.dataFile : "(null)");
    EXPECT_STREQ(base, c.base);
    EXPECT_STREQ(sub, c.sub);
  }
  // A path that would not fit the caller's buffer is refused, not cut.
  DravelEntry profile{};
  std::string longPath(VRN_REALTIME_DIR_SIZE - 4, 'a');
  char base[VRN_REALTIME_DIR_SIZE];
  char sub[VRN_REALTIME_DIR_SIZE];
  EXPECT_EQ(ConvertDravelFileToRealTimeDir(&profile, longPath.c_str(), base, nullptr, 0), 1);
  EXPECT_EQ(ConvertDravelFileToRealTimeDir(&profile, longPath.c_str(), base, sub, 0), 0);
  EXPECT_STREQ(base, "");
}

// ---- master.dat ------------------------------------------------------------------------------

TEST_F(DbFilesTest, MasterFileIsCreatedWidenedAndKeepsItsRecords) {
  const uint32_t day = Wall(2026, 3, 2, 0, 0, 0);
  ASSERT_EQ(CreateMasterFile(Master().c_str(), day + 3600, day + 2 * 86400 + 100), 1);
  std::vector<uint8_t> bytes = ReadBytes(Master());
  ASSERT_EQ(bytes.size(), kMasterHeaderSize + 3 * kMasterRecordSize);
  EXPECT_EQ(Word(bytes, 0), 4u);
  for (size_t i = 4; i < kMasterHeaderSize; ++i) ASSERT_EQ(bytes[i], 0) << i;
  char name[20];
  std::snprintf(name, sizeof name, "%08x.dat", day);
  EXPECT_EQ(std::memcmp(&bytes[kMasterHeaderSize], name, std::strlen(name) + 1), 0);
  std::vector<MasterRecord> records = ReadMaster(Master());
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].start, day + 86400 * i);
    EXPECT_EQ(records[i].end, day + 86400 * i + 86399);
    EXPECT_EQ(records[i].lastAdded, 0u);
  }

  // Mark the first day as partly added, then widen 3 days back and half a
  // day forward: 3 records in front, the old ones unchanged, one at the end.
  records[0].lastAdded = day + 5000;
  uint8_t image[kMasterRecordSize];
  EncodeMasterRecord(records[0], image);
  std::memcpy(&bytes[kMasterHeaderSize], image, sizeof image);
  WriteBytes(Master(), bytes);
  ASSERT_EQ(OpenOrCreateMasterFile(Master().c_str(), day - 3 * 86400, records[2].end + 43200), 1);
  std::vector<MasterRecord> widened = ReadMaster(Master());
  ASSERT_EQ(widened.size(), 7u);
  for (size_t i = 0; i < widened.size(); ++i) {
    EXPECT_EQ(widened[i].start, day - 3 * 86400 + 86400 * i) << i;
  }
  EXPECT_EQ(widened[3].lastAdded, day + 5000);
  EXPECT_EQ(widened[0].lastAdded, 0u);

  // Times already covered change nothing.
  ASSERT_EQ(OpenOrCreateMasterFile(Master().c_str(), day, day + 10), 1);
  EXPECT_EQ(ReadMaster(Master()).size(), 7u);

  // An empty file is made anew; a last time on the first second of a day
  // needs that day too.
  WriteBytes(Master(), {});
  ASSERT_EQ(OpenOrCreateMasterFile(Master().c_str(), day, day), 1);
  EXPECT_EQ(ReadMaster(Master()).size(), 1u);
  ASSERT_EQ(CreateMasterFile(Master().c_str(), day + 5, day + 86400), 1);
  EXPECT_EQ(ReadMaster(Master()).size(), 2u);
  ASSERT_EQ(CreateMasterFile(Master().c_str(), day + 5, day + 86399), 1);
  EXPECT_EQ(ReadMaster(Master()).size(), 1u);
}

TEST_F(DbFilesTest, MasterFileAtTheEndOfTimeStops) {
  // The last day of the 32-bit time range ends at 0xFFFFFFFF instead of
  // wrapping around to 1970.
  ASSERT_EQ(CreateMasterFile(Master().c_str(), 0xFFFF0000u, 0xFFFFFFFFu), 1);
  std::vector<MasterRecord> records = ReadMaster(Master());
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().end, 0xFFFFFFFFu);
  for (size_t i = 1; i < records.size(); ++i) EXPECT_GT(records[i].start, records[i - 1].start);
  ASSERT_EQ(OpenOrCreateMasterFile(Master().c_str(), 0xFFFF0000u, 0xFFFFFFFFu), 1);
  EXPECT_EQ(ReadMaster(Master()).size(), records.size());
}

TEST_F(DbFilesTest, StoreOpensFoldersAndWalksRecords) {
  const uint32_t day = Wall(2026, 3, 2, 0, 0, 0);
  DravelEntry profile{};
  profile.PellavarFlag = 1;
  profile.FirstLogTime = day + 86400 + 10;
  const std::string dataFile = folder_ + "site.wlp";
  RealtimeStore* store = OpenRealtimeStore(&profile, dataFile.c_str(), day, day + 3 * 86400 - 1, 0);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(CurrentRealtimeStore(), store);
  EXPECT_EQ(store->kind, 1u);
  EXPECT_TRUE(std::filesystem::is_regular_file(folder_ + "site.dat/daily/master.dat"));

  // The cursor never steps back into the header.
  EXPECT_EQ(StepBackMasterRecord(store), 0);
  MasterRecord r{};
  ASSERT_EQ(ReadMasterRecord(store, &r), 1);
  EXPECT_EQ(r.start, day);
  // The first day ends before the first log time: the second is the first
  // incomplete one; rewriting it marks it complete.
  ASSERT_EQ(FindFirstIncompleteRecord(store, &profile, &r), 1);
  EXPECT_EQ(r.start, day + 86400);
  ASSERT_EQ(ReadMasterRecord(store, &r), 1);
  r.lastAdded = r.end + 1;
  ASSERT_EQ(RewriteMasterRecord(store, &r), 1);
  ASSERT_EQ(FindFirstIncompleteRecord(store, &profile, &r), 1);
  EXPECT_EQ(r.start, day + 2 * 86400);
  ASSERT_EQ(SeekMasterRecord(store, 1), 1);
  ASSERT_EQ(ReadMasterRecord(store, &r), 1);
  EXPECT_EQ(r.lastAdded, r.end + 1);
  ASSERT_EQ(SeekMasterRecord(store, 3), 1);
  EXPECT_EQ(ReadMasterRecord(store, &r), 0);

  // A second open closes the first; a profile without realtime storage
  // gets none and the open store is closed.
  RealtimeStore* second = OpenRealtimeStore(&profile, dataFile.c_str(), day, day, 0);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(CurrentRealtimeStore(), second);
  profile.PellavarFlag = 0;
  EXPECT_EQ(OpenRealtimeStore(&profile, dataFile.c_str(), day, day, 1), nullptr);
  EXPECT_EQ(CurrentRealtimeStore(), nullptr);
}

// ---- period files ---------------------------------------------------------------------------

// Everything a saved day must give back, as text.
std::string Describe(const TemplateRecord& t) {
  std::ostringstream out;
  TemplateRecord counters = t;
  counters.TopTablesPtr = nullptr;
  counters.TopUsersPtr = nullptr;
  const auto* raw = reinterpret_cast<const uint8_t*>(&counters);
  for (size_t i = 0; i < offsetof(TemplateRecord, TopTablesCount); ++i) out << int(raw[i]) << ',';
  out << "\ntables " << t.TopTablesCount << '\n';
  auto table = [&out](const SummaryTableEntry& e, bool details) {
    SummaryTableEntry d = e;
    d.ChunkSize = 0;
    uint8_t image[kSummaryTableEntrySize];
    EncodeSummaryTableEntry(d, 0, 0, 0, image);
    for (uint8_t b : image) out << int(b) << ' ';
    out << '\n';
    NameTableEntry** items = e.Items ? e.Items : e.ItemBlock;
    for (uint32_t i = 0; items && i < e.Count + e.DeleteCount; ++i) {
      const NameTableEntry* rec = items[i];
      NameTableEntry copy = *rec;
      copy.TopNamesCount = 0;
      uint8_t itemImage[kNameTableEntrySize];
      EncodeNameTableEntry(copy, 0, 0, itemImage);
      for (uint8_t b : itemImage) out << int(b) << ' ';
      out << "[" << (rec->String ? rec->String : "(none)") << "]";
      if (details) {
        for (uint32_t k = 0; k < rec->TopNamesCount; ++k) {
          const SearchDetailEntry* x = rec->Details()[k];
          out << " {" << x->text << ':' << x->hits << ':' << x->visits << '}';
        }
      } else if (rec->TopNames) {
        for (uint32_t l = 0; l < kTopNameListCount; ++l) {
          const TopNameList& list = rec->Lists()[l];
          out << " L" << l << ':';
          for (uint16_t k = 0; k < list.count; ++k) out << (l == kListTrail ? list.trail[k] : list.values[k]) << ';';
        }
      }
      out << '\n';
    }
    for (uint32_t p = 0; e.SortIndex && p < e.Count; ++p) out << e.SortIndex[p] << ' ';
    out << '\n';
  };
  for (uint32_t i = 0; i < t.TopTablesCount; ++i) table(t.TopTablesPtr[i], i == 39 || i == 40);
  if (t.TopUsersPtr) table(*t.TopUsersPtr, false);
  return out.str();
}

class PeriodFileTest : public DbFilesTest {
 protected:
  void SetUp() override {
    DbFilesTest::SetUp();
    profile_.PellavarFlag = 1;
    dataFile_ = folder_ + "site.wlp";
    record_ = MakeMasterRecord(kDay + 100);
    record_.lastAdded = kDay + 7200;
  }
  void TearDown() override {
    CloseRealtimeStore();
    FreeOther();
    DbFilesTest::TearDown();
  }
  void FreeOther() {
    if (other_) {
      FreeReportContext(other_);
      std::free(other_);
      other_ = nullptr;
    }
  }
  // A day with pages, forms, visits and their trails, errors and search
  // tallies.
  AnalysisContext* FillDay() {
    AnalysisContext* context = MakeContext("", "http://www.site.com/index.htm");
    EXPECT_NE(context, nullptr);
    if (!context) return nullptr;
    const char* pages[] = {"/index.htm", "/about.htm", "/cgi-bin/send.pl?x=1", "/missing.htm", "/index.htm"};
    const uint32_t status[] = {200, 200, 200, 404, 304};
    for (int visit = 0; visit < 3; ++visit) {
      for (int p = 0; p < 5; ++p) {
        TestHit hit(kDay + 600 * visit + 60 * p, "host" + std::to_string(visit) + ".example.com", pages[p],
                    status[p], p == 2 ? kMethodPost : kMethodGet, 1000 + p);
        hit.referrer = "http://www.other.org/links.htm";
        hit.agent = "Mozilla/4.0 (compatible; MSIE 4.01; Windows 95)";
        EXPECT_NE(AddHitToDatabase(run_, hit.get()), 0);
      }
    }
    // Search tallies with their cross details.
    SummaryTableEntry* keywords = &context->templ.TopTablesPtr[kTopSearchKeywords];
    SummaryTableEntry* engines = &context->templ.TopTablesPtr[kTopSearchEngines];
    for (const char* word : {"widgets", "gears"}) {
      const uint32_t k = AddNameToTable(keywords, word);
      EXPECT_NE(k, 0u);
      NameTableEntry* item = keywords->ItemBlock[k - 1];
      item->TotalByHits = 3;
      SearchItemRef ref{item->String, &item->TopNamesCount, &item->TopNames};
      SearchDetail* d = FindSearchKeywordItem(ref, "Finder");
      EXPECT_NE(d, nullptr);
      if (!d) return nullptr;
      d->hits = 2;
      d->visits = 1;
      EXPECT_NE(FindSearchKeywordItem(ref, "Seeker"), nullptr);
    }
    const uint32_t e = AddNameToTable(engines, "Finder");
    NameTableEntry* engine = engines->ItemBlock[e - 1];
    SearchItemRef ref{engine->String, &engine->TopNamesCount, &engine->TopNames};
    FindSearchEngineItem(ref, "widgets")->hits = 5;
    std::snprintf(context->templ.Today, sizeof context->templ.Today, "Monday");
    context->templ.TodayDateTime = kDay;
    return context;
  }
  std::string PeriodPath() const { return folder_ + "site.dat/daily/" + record_.fileName; }

  const uint32_t kDay = Wall(2026, 3, 2, 0, 0, 0);
  DravelEntry profile_{};
  std::string dataFile_;
  MasterRecord record_{};
  ReportHandle* other_ = nullptr;
};

TEST_F(PeriodFileTest, SavedDayLoadsBackTheSame) {
  AnalysisContext* context = FillDay();
  ASSERT_NE(context, nullptr);
  // At least one visit holds a trail and lists, and the tables hold items.
  const SummaryTableEntry* sessions = context->templ.TopUsersPtr;
  uint32_t trails = 0;
  for (uint32_t i = 0; i < sessions->Count + sessions->DeleteCount; ++i) {
    const NameTableEntry* visit = sessions->ItemBlock[i];
    if (visit->TopNames && visit->Lists()[kListTrail].count > 1) ++trails;
  }
  ASSERT_GT(trails, 0u);
  ASSERT_GT(context->templ.TopTablesPtr[kTopDocuments].Count, 1u);
  const std::string before = Describe(context->templ);

  RealtimeStore* store = OpenRealtimeStore(&profile_, dataFile_.c_str(), kDay, kDay + 86399, 0);
  ASSERT_NE(store, nullptr);
  ASSERT_EQ(SavePeriodDatabase(&record_, store, run_), kDbDone);
  EXPECT_EQ(context->templ.TopTablesPtr, nullptr);
  EXPECT_EQ(context->templ.TopUsersPtr, nullptr);

  // Layout: template offset first, zeros up to 512, the template at the end
  // with its directory and session entry offsets.
  std::vector<uint8_t> bytes = ReadBytes(PeriodPath());
  ASSERT_GT(bytes.size(), kPeriodHeaderSize + kTemplateRecordFileSize);
  const uint32_t templ = Word(bytes, 0);
  EXPECT_EQ(templ + kTemplateRecordFileSize, bytes.size());
  for (size_t i = 4; i < kPeriodHeaderSize; ++i) ASSERT_EQ(bytes[i], 0) << i;
  const uint32_t directory = Word(bytes, templ + 1832);
  const uint32_t session = Word(bytes, templ + 1836);
  EXPECT_EQ(Word(bytes, templ + 1828), 41u);
  EXPECT_EQ(session + kSummaryTableEntrySize, templ);
  EXPECT_EQ(Word(bytes, directory), 60u);
  EXPECT_EQ(Word(bytes, directory + 4), 768u);
  EXPECT_EQ(Word(bytes, session), 60u);
  // The session entry's item block is stored as 0 and its items point to
  // 348-byte images.
  EXPECT_EQ(Word(bytes, session + 48), 0u);
  EXPECT_EQ(Word(bytes, Word(bytes, session + 52)), 348u);

  FreeReportContext(run_);
  ASSERT_EQ(LoadPeriodDatabase(&record_, store, run_, nullptr, (folder_ + "profiles/site.wlp").c_str()), kDbLoaded);
  ASSERT_NE(RunContext(run_), nullptr);
  EXPECT_STREQ(run_->profileFile, "site.wlp");
  EXPECT_STREQ(run_->language, "ENGLISH");
  const std::string after = Describe(RunContext(run_)->templ);
  EXPECT_EQ(before, after);

  // The loaded tables take further names.
  SummaryTableEntry* docs = &RunContext(run_)->templ.TopTablesPtr[kTopDocuments];
  const uint32_t count = docs->Count;
  EXPECT_NE(AddNameToTable(docs, "/new.htm"), 0u);
  EXPECT_EQ(docs->Count, count + 1);
  std::string known = docs->ItemBlock[docs->SortIndex[0]]->String;
  for (char& c : known) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(AddNameToTable(docs, known.c_str()), docs->SortIndex[0] + 1) << known;
  EXPECT_EQ(docs->Count, count + 1);

  // A cloned context loads the same day.
  other_ = static_cast<ReportHandle*>(std::calloc(1, sizeof(ReportHandle)));
  ASSERT_EQ(LoadPeriodDatabase(&record_, store, other_, run_, (folder_ + "profiles/site.wlp").c_str()), kDbLoaded);
  EXPECT_EQ(Describe(RunContext(other_)->templ).substr(0, 200), after.substr(0, 200));
}

TEST_F(PeriodFileTest, ShortDirectoryLoadsWithAllTables) {
  AnalysisContext* context = FillDay();
  ASSERT_NE(context, nullptr);
  // An older day with 36 tables: the last 5 tables are not stored.
  for (uint32_t t = 36; t < 41; ++t) {
    if (t == kTopSearchKeywords || t == kTopSearchEngines) FreeTableDetailLists(&context->templ.TopTablesPtr[t]);
    FreeItemTable(&context->templ.TopTablesPtr[t]);
  }
  context->templ.TopTablesCount = 36;
  RealtimeStore* store = OpenRealtimeStore(&profile_, dataFile_.c_str(), kDay, kDay + 86399, 0);
  ASSERT_NE(store, nullptr);
  ASSERT_EQ(SavePeriodDatabase(&record_, store, run_), kDbDone);
  FreeReportContext(run_);
  ASSERT_EQ(LoadPeriodDatabase(&record_, store, run_, nullptr, "site.wlp"), kDbLoaded);
  const TemplateRecord& t = RunContext(run_)->templ;
  ASSERT_EQ(t.TopTablesCount, 41u);
  EXPECT_GT(t.TopTablesPtr[kTopDocuments].Count, 0u);
  for (uint32_t i = 36; i < 41; ++i) {
    EXPECT_EQ(t.TopTablesPtr[i].Count, 0u) << i;
    EXPECT_EQ(t.TopTablesPtr[i].SizeWord, 60u);
    EXPECT_EQ(t.TopTablesPtr[i].ItemBlock, nullptr);
  }
}

TEST_F(PeriodFileTest, LoadResultsForMissingEmptyAndDamagedFiles) {
  AnalysisContext* context = FillDay();
  ASSERT_NE(context, nullptr);
  RealtimeStore* store = OpenRealtimeStore(&profile_, dataFile_.c_str(), kDay, kDay + 86399, 0);
  ASSERT_NE(store, nullptr);
  ASSERT_EQ(SavePeriodDatabase(&record_, store, run_), kDbDone);
  const std::vector<uint8_t> good = ReadBytes(PeriodPath());
  const uint32_t templ = Word(good, 0);
  const uint32_t session = Word(good, templ + 1836);
  const uint32_t directory = Word(good, templ + 1832);
  const uint32_t docsEntry = directory + kTopDocuments * kSummaryTableEntrySize;
  const uint32_t docsItems = Word(good, docsEntry + 52);

  auto load = [&](const MasterRecord& record) {
    FreeReportContext(run_);
    return LoadPeriodDatabase(&record, store, run_, nullptr, "site.wlp");
  };
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    int result;
  } cases[] = {
      {"intact", [](std::vector<uint8_t>&) {}, kDbLoaded},
      // The record says the day holds records up to a time: a file that a
      // save left empty or unfinished (its first word, written last, still
      // 0) is damaged.
      {"empty file", [](std::vector<uint8_t>& b) { b.clear(); }, kDbBad},
      {"template offset not yet written", [](std::vector<uint8_t>& b) { PutWord(b, 0, 0); }, kDbBad},
      {"template offset inside the header", [](std::vector<uint8_t>& b) { PutWord(b, 0, 4); }, kDbBad},
      {"cut short", [](std::vector<uint8_t>& b) { b.resize(b.size() - 1); }, kDbBad},
      {"template offset beyond the end", [](std::vector<uint8_t>& b) { PutWord(b, 0, 0xFFFFFFF0u); }, kDbBad},
      {"more than 41 tables", [&](std::vector<uint8_t>& b) { PutWord(b, templ + 1828, 42); }, kDbBad},
      {"item count past the end", [&](std::vector<uint8_t>& b) { PutWord(b, docsEntry + 12, 0x10000000u); },
       kDbBad},
      {"item with a broken size word", [&](std::vector<uint8_t>& b) { PutWord(b, docsItems, 347); }, kDbBad},
      {"a zero byte inside a name (the name is cut short)",
       [&](std::vector<uint8_t>& b) { b[Word(b, docsItems + 332) + 5] = 0; }, kDbBad},
      {"a name changed without a zero byte", [&](std::vector<uint8_t>& b) { b[Word(b, docsItems + 332) + 5] ^= 1; },
       kDbLoaded},
      {"name offset outside the file", [&](std::vector<uint8_t>& b) { PutWord(b, docsItems + 332, 0x7FFFFFFFu); },
       kDbBad},
      {"list link outside the table", [&](std::vector<uint8_t>& b) { PutWord(b, docsItems + 24, 5000); }, kDbBad},
      {"name index entry outside the table",
       [&](std::vector<uint8_t>& b) { PutWord(b, Word(b, docsEntry + 56), 0x00FFFFFFu); }, kDbBad},
      {"name index missing", [&](std::vector<uint8_t>& b) { PutWord(b, docsEntry + 56, 0); }, kDbBad},
      {"session items past the end", [&](std::vector<uint8_t>& b) { PutWord(b, session + 52, templ); }, kDbBad},
      {"capacity below the item count", [&](std::vector<uint8_t>& b) { PutWord(b, docsEntry + 40, 1); }, kDbLoaded},
      {"capacity far above the item count", [&](std::vector<uint8_t>& b) { PutWord(b, docsEntry + 40, 0x3FFFFFFFu); },
       kDbLoaded},
      {"no directory, no session table",
       [&](std::vector<uint8_t>& b) {
         PutWord(b, templ + 1832, 0);
         PutWord(b, templ + 1836, 0);
       },
       kDbLoaded},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = good;
    c.damage(bytes);
    WriteBytes(PeriodPath(), bytes);
    EXPECT_EQ(load(record_), c.result) << c.what;
    ASSERT_NE(RunContext(run_), nullptr) << c.what;
    const TemplateRecord& t = RunContext(run_)->templ;
    if (c.result == kDbLoaded) {
      EXPECT_EQ(t.TopTablesCount, 41u) << c.what;
      EXPECT_NE(t.TopUsersPtr, nullptr) << c.what;
      const SummaryTableEntry& docs = t.TopTablesPtr[kTopDocuments];
      EXPECT_GE(docs.ChunkSize, docs.Count + docs.DeleteCount) << c.what;
      EXPECT_LT(docs.ChunkSize, 1000u) << c.what;
    } else {
      EXPECT_EQ(t.TopTablesPtr, nullptr) << c.what;
    }
  }
  // Nothing added yet: empty without looking at the file; no file: missing.
  MasterRecord fresh = record_;
  fresh.lastAdded = 0;
  EXPECT_EQ(load(fresh), kDbEmpty);
  std::filesystem::remove(PeriodPath());
  // No file: damaged for an open day that holds records, missing (a day
  // without records) for a complete one.
  EXPECT_EQ(load(record_), kDbBad);
  MasterRecord complete = record_;
  complete.lastAdded = complete.end + 1;
  EXPECT_EQ(load(complete), kDbMissing);
  // A record naming a file outside the folder is not followed.
  MasterRecord outside = record_;
  std::snprintf(outside.fileName, sizeof outside.fileName, "../site.wlp");
  EXPECT_EQ(load(outside), kDbMissing);
  EXPECT_EQ(SavePeriodDatabase(&outside, store, run_), kDbFileError);
}

TEST_F(PeriodFileTest, SaveFailsWhenTheFileCannotBeMade) {
  AnalysisContext* context = FillDay();
  ASSERT_NE(context, nullptr);
  RealtimeStore* store = OpenRealtimeStore(&profile_, dataFile_.c_str(), kDay, kDay + 86399, 0);
  ASSERT_NE(store, nullptr);
  std::filesystem::remove_all(folder_ + "site.dat/daily");
  EXPECT_EQ(SavePeriodDatabase(&record_, store, run_), kDbFileError);
  // The context holds no tables afterwards either.
  EXPECT_EQ(context->templ.TopTablesPtr, nullptr);
}

TEST(ItemTableAllocTest, CreateGrowAndFree) {
  TemplateRecord t{};
  ASSERT_EQ(CreateItemTables(&t), 41u);
  ASSERT_EQ(CreateSessionTable(&t), 1);
  for (uint32_t i = 0; i < 41; ++i) {
    EXPECT_EQ(t.TopTablesPtr[i].SizeWord, 60u);
    EXPECT_EQ(t.TopTablesPtr[i].FormatWord, 768u);
  }
  ASSERT_NE(AddNameToTable(&t.TopTablesPtr[3], "edu"), 0u);
  t.TopTablesCount = 36;
  ASSERT_EQ(GrowItemTables(&t), 1);
  EXPECT_EQ(t.TopTablesCount, 41u);
  EXPECT_EQ(t.TopTablesPtr[3].Count, 1u);
  EXPECT_STREQ(t.TopTablesPtr[3].ItemBlock[0]->String, "edu");
  EXPECT_EQ(t.TopTablesPtr[40].SizeWord, 60u);
  EXPECT_EQ(t.TopTablesPtr[40].Count, 0u);
  FreeItemTables(&t);
  EXPECT_EQ(t.TopTablesPtr, nullptr);
  EXPECT_EQ(t.TopUsersPtr, nullptr);
}

}  // namespace
}  // namespace vrn
