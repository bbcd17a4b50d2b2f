// Period arithmetic, report ranges and the time span of a profile's data.
#include "engine/database/report_ranges.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <vornic/realtime.h>
#include <vornic/periodfiles.h>
#include <vornic/settings.h>

#include "engine/core/engine_state.h"
#include "engine/core/hit_record.h"
#include "engine/core/log_file_list.h"
#include "engine/core/log_reader.h"
#include "engine/core/log_source.h"
#include "engine/core/report_settings.h"
#include "engine/core/w3c_format.h"
#include "engine/database/analysis_context.h"
#include "engine/database/finishing.h"
#include "engine/database/realtime_store.h"
#include "platform/base/clock.h"
#include "platform/base/files.h"

namespace vrn {

namespace {

constexpr int16_t kCommonYear[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int16_t kLeapYear[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

const char* const kEnglishFullMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                            "July",    "August",   "September", "October", "November", "December"};

// Month names of period names: texts 5628.. (day names) and 5640.. (month
// names); kept once they came from the client's texts.
struct PeriodNames {
  bool loaded = false;
  std::string dayMonths[12];
  std::string monthMonths[12];
};
PeriodNames g_periodNames;

const PeriodNames& Names() {
  if (!g_periodNames.loaded) {
    const bool fromTexts = g_engine.resourceModule != nullptr;
    for (int m = 0; m < 12; ++m) {
      const char* a = fromTexts ? LoadResString(5628 + static_cast<uint32_t>(m)) : nullptr;
      const char* b = fromTexts ? LoadResString(5640 + static_cast<uint32_t>(m)) : nullptr;
      g_periodNames.dayMonths[m] = (a != nullptr && !IsTextNotFound(a)) ? a : ShortMonthName(m);
      g_periodNames.monthMonths[m] = (b != nullptr && !IsTextNotFound(b)) ? b : kEnglishFullMonths[m];
    }
    g_periodNames.loaded = fromTexts;
  }
  return g_periodNames;
}

struct tm UtcFields(uint32_t t) {
  struct tm f{};
  kv::UtcTime(static_cast<time_t>(t), &f);
  f.tm_isdst = 0;
  return f;
}

struct tm LocalFields(time_t t) {
  struct tm f{};
  kv::LocalTime(t, &f);
  return f;
}

// UTC fields with the daylight-saving flag of the local fields.
struct tm StoredTimeFields(uint32_t t) {
  struct tm f = UtcFields(t);
  f.tm_isdst = LocalFields(static_cast<time_t>(t)).tm_isdst;
  return f;
}

// Hit times count the log's own clock as if it were UTC; so do period
// boundaries and ranges, whatever the machine's time zone.
uint32_t ToTime(struct tm f) {
  const int64_t t = WallClockSeconds(f);
  return t < 0 ? 0 : t > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(t);
}

// The machine's clock now, in the time of the hits.
uint32_t WallClockNow() {
  const struct tm f = LocalFields(kv::Now());
  return ToTime(f);
}

// Day + n with one carry into the next month (month 12 -> 0 of the next year).
void AddDaysWithCarry(struct tm* f, int n) {
  f->tm_mday += n;
  const int length = MonthLength(f->tm_mon, f->tm_year);
  if (f->tm_mday > length) {
    f->tm_mday -= length;
    if (++f->tm_mon > 11) {
      f->tm_mon = 0;
      ++f->tm_year;
    }
  }
}

void ClearTime(struct tm* f) { f->tm_sec = f->tm_min = f->tm_hour = 0; }
void EndOfDay(struct tm* f) {
  f->tm_sec = 59;
  f->tm_min = 59;
  f->tm_hour = 23;
}

void RefreshDst(struct tm* f) {
  struct tm copy = *f;
  const time_t t = Y2K_mktime(&copy);
  f->tm_isdst = LocalFields(t).tm_isdst;
}

void BackDays(struct tm* f, int n) {
  ClearTime(f);
  if (f->tm_mday <= n) {
    if (--f->tm_mon < 0) {
      f->tm_mon = 11;
      --f->tm_year;
    }
    f->tm_mday = MonthLength(f->tm_mon, f->tm_year) + f->tm_mday - n;
  } else {
    f->tm_mday -= n;
  }
  RefreshDst(f);
}

void SpanDays(const struct tm& a, struct tm* b, int n) {
  *b = a;
  AddDaysWithCarry(b, n - 1);
  EndOfDay(b);
  RefreshDst(b);
}

void FirstOfMonth(struct tm* f) {
  ClearTime(f);
  f->tm_mday = 1;
  RefreshDst(f);
}
void LastOfMonth(struct tm* f) {
  EndOfDay(f);
  f->tm_mday = MonthLength(f->tm_mon, f->tm_year);
  RefreshDst(f);
}
void FirstOfYear(struct tm* f) {
  f->tm_mon = 0;
  FirstOfMonth(f);
}
void LastOfYear(struct tm* f) {
  f->tm_mon = 11;
  LastOfMonth(f);
}

void PreviousMonth(struct tm* f) {
  if (--f->tm_mon < 0) {
    f->tm_mon = 11;
    --f->tm_year;
  }
}

void QuarterOf(struct tm* s, struct tm* e) {
  s->tm_mon = s->tm_mon / 3 * 3;
  FirstOfMonth(s);
  *e = *s;
  e->tm_mon += 2;
  LastOfMonth(e);
}

void HalfYearOf(struct tm* s, struct tm* e) {
  s->tm_mon = s->tm_mon >= 6 ? 6 : 0;
  FirstOfMonth(s);
  *e = *s;
  e->tm_mon += 5;
  LastOfMonth(e);
}

void YearOf(struct tm* s, struct tm* e) {
  FirstOfYear(s);
  *e = *s;
  LastOfYear(e);
}

// Twelve month boundaries of the year of `start` and the next 1 January;
// with twoYears the 24 months of that year and the next.
uint32_t BuildMonthBoundaries(uint32_t start, bool twoYears) {
  MonthSlotState& state = MonthSlots();
  struct tm base = UtcFields(start);
  ClearTime(&base);
  base.tm_mday = 1;
  const int count = twoYears ? 24 : 13;
  uint32_t last = 0;
  for (int i = 0; i < count; ++i) {
    struct tm f = base;
    f.tm_mon = i % 12;
    f.tm_year = base.tm_year + i / 12;
    last = ToTime(f);
    state.boundaries[i] = last;
  }
  return last;
}

}  // namespace

int IsLeapYear(uint16_t yearsSince1900) {
  const unsigned full = unsigned{yearsSince1900} + 1900u;
  return (yearsSince1900 % 4 == 0 && (full % 100 != 0 || full % 400 == 0)) ? 1 : 0;
}

int MonthLength(int month, int yearsSince1900) {
  const int m = ((month % 12) + 12) % 12;
  return IsLeapYear(static_cast<uint16_t>(yearsSince1900)) ? kLeapYear[m] : kCommonYear[m];
}

uint32_t GetIntervalStart(uint32_t kind, uint32_t t) {
  struct tm f = UtcFields(t);
  ClearTime(&f);
  switch (kind) {
    case kPeriodDay: return ToTime(f);
    case kPeriodWeek: return ToTime(f) - static_cast<uint32_t>(f.tm_wday) * 86400u;
    case kPeriodMonth: f.tm_mday = 1; return ToTime(f);
    case kPeriodQuarter:
      f.tm_mday = 1;
      f.tm_mon = f.tm_mon / 3 * 3;
      return ToTime(f);
    case kPeriodYear:
      f.tm_mday = 1;
      f.tm_mon = 0;
      return ToTime(f);
    default: return t;
  }
}

uint32_t GetIntervalEnd(uint32_t kind, uint32_t t) {
  struct tm f = UtcFields(t);
  EndOfDay(&f);
  switch (kind) {
    case kPeriodDay: return ToTime(f);
    case kPeriodWeek: AddDaysWithCarry(&f, 6 - f.tm_wday); return ToTime(f);
    case kPeriodMonth: f.tm_mday = MonthLength(f.tm_mon, f.tm_year); return ToTime(f);
    case kPeriodQuarter:
      f.tm_mon = f.tm_mon / 3 * 3 + 2;
      f.tm_mday = MonthLength(f.tm_mon, f.tm_year);
      return ToTime(f);
    case kPeriodYear:
      f.tm_mon = 11;
      f.tm_mday = 31;
      return ToTime(f);
    default: return t;
  }
}

uint32_t GetNextIntervalStart(uint32_t kind, uint32_t t) {
  struct tm f = UtcFields(t);
  ClearTime(&f);
  switch (kind) {
    case kPeriodDay:
      AddDaysWithCarry(&f, 1);
      return ToTime(f);
    case kPeriodWeek: AddDaysWithCarry(&f, 7 - f.tm_wday); return ToTime(f);
    case kPeriodMonth:
      f.tm_mday = 1;
      if (++f.tm_mon > 11) {
        f.tm_mon = 0;
        ++f.tm_year;
      }
      return ToTime(f);
    case kPeriodQuarter:
      f.tm_mday = 1;
      if (f.tm_mon >= 9) {
        f.tm_mon = 0;
        ++f.tm_year;
      } else {
        f.tm_mon = f.tm_mon / 3 * 3 + 3;
      }
      return ToTime(f);
    case kPeriodYear:
      f.tm_mday = 1;
      f.tm_mon = 0;
      ++f.tm_year;
      return ToTime(f);
    default: return t;
  }
}

void SetIntervalSlots(uint32_t kind, AnalysisContext* context) {
  if (context == nullptr) return;
  static constexpr struct {
    uint16_t slots;
    uint32_t seconds;
    uint16_t scale;
  } kLayouts[5] = {{24, 3600, 19}, {7, 86400, 20}, {16, 172800, 21}, {14, 604800, 22}, {13, 2419200, 23}};
  if (kind > kPeriodYear) return;
  context->slotCount = kLayouts[kind].slots;
  context->secondsPerSlot = kLayouts[kind].seconds;
  context->intervalScaleIndex = kLayouts[kind].scale;
}

void FormatIntervalName(uint32_t kind, uint32_t t, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  out[0] = '\0';
  const struct tm f = UtcFields(t);
  const int year = f.tm_year + 1900;
  switch (kind) {
    case kPeriodDay: {
      const char* month = Names().dayMonths[f.tm_mon].c_str();
      if (g_engine.displayIDate == 1) {
        std::snprintf(out, size, "%d/%s/%d", f.tm_mday, month, year);
      } else if (g_engine.displayIDate == 2) {
        std::snprintf(out, size, "%d/%s/%d", year, month, f.tm_mday);
      } else {
        std::snprintf(out, size, "%s/%d/%d", month, f.tm_mday, year);
      }
      break;
    }
    // The week shows the four-digit year like every other name.
    case kPeriodWeek: std::snprintf(out, size, "Week of %d/%d/%d", f.tm_mon + 1, f.tm_mday, year); break;
    case kPeriodMonth: std::snprintf(out, size, "%s, %d", Names().monthMonths[f.tm_mon].c_str(), year); break;
    case kPeriodQuarter: std::snprintf(out, size, "Q%d, %d", f.tm_mon / 3 + 1, year); break;
    case kPeriodYear: std::snprintf(out, size, "%d", year); break;
    default: break;
  }
}

void ResetIntervalNames() { g_periodNames = PeriodNames{}; }

void GetMonthLabel(uint16_t index, const AnalysisContext* context, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  out[0] = '\0';
  const int m = index % 12;
  if (context == nullptr || context->options == nullptr) return;
  const char* name = context->options->texts[kShortMonths + m];
  if (name == nullptr) return;
  std::snprintf(out, size, "%s", name);
}

uint32_t CalculateReportRange(uint16_t code, uint32_t* startIo, uint32_t* endIo) {
  const uint32_t S = startIo != nullptr ? *startIo : 0;
  const uint32_t E = endIo != nullptr ? *endIo : 0;
  const time_t now = kv::Now();
  struct tm base{};
  if (code == 6) {
    base = LocalFields(now - 86400);
  } else if (code == 8) {
    base = LocalFields(now - 604800);
  } else if (code < 25) {
    base = LocalFields(now);
  } else if (code == 26) {
    base = StoredTimeFields(E - 86400u);
  } else if (code == 28) {
    base = StoredTimeFields(E - 604800u);
  } else if (code <= 41) {
    base = StoredTimeFields(E);
  } else {
    base = StoredTimeFields(S);
  }
  struct tm s = base;
  struct tm e = base;
  bool direct = false;
  uint32_t start = 0, end = 0;

  auto lastMinutes = [&](uint32_t step, uint32_t back) {
    const uint32_t n = WallClockNow();
    const uint32_t w = n - (n % step) - back;
    if (w >= S) {
      start = w;
      end = n;
      direct = true;
    }
  };
  auto lastDays = [&](int back) {
    e = s;
    EndOfDay(&e);
    BackDays(&s, back);
  };

  switch (code) {
    case 2: lastMinutes(60, 840); break;
    case 3: lastMinutes(300, 3300); break;
    case 4: lastMinutes(3600, 39600); break;
    case 5: case 25: case 42:
    case 6: case 26:
      e = s;
      ClearTime(&s);
      EndOfDay(&e);
      break;
    case 7: case 27: case 43:
    case 8: case 28:
      BackDays(&s, s.tm_wday);
      SpanDays(s, &e, 7);
      break;
    case 9: case 29: lastDays(6); break;
    case 12: case 32: lastDays(13); break;
    case 15: case 35: lastDays(29); break;
    case 10: case 30: case 44:
      BackDays(&s, s.tm_wday + 7);
      SpanDays(s, &e, 14);
      break;
    case 11: case 31:
      BackDays(&s, s.tm_wday + 14);
      SpanDays(s, &e, 14);
      break;
    case 13: case 33: case 45:
      e = s;
      FirstOfMonth(&s);
      LastOfMonth(&e);
      break;
    case 14: case 34:
      PreviousMonth(&s);
      FirstOfMonth(&s);
      e = s;
      LastOfMonth(&e);
      break;
    case 16: case 36: case 46: QuarterOf(&s, &e); break;
    case 17: case 37:
      if (s.tm_mon <= 2) {
        s.tm_mon = 9;
        --s.tm_year;
      } else {
        s.tm_mon = (s.tm_mon / 3 - 1) * 3;
      }
      QuarterOf(&s, &e);
      break;
    case 18: HalfYearOf(&s, &e); break;
    case 19:
      if (s.tm_mon < 6) {
        s.tm_mon = 6;
        --s.tm_year;
      } else {
        s.tm_mon = 0;
      }
      HalfYearOf(&s, &e);
      break;
    case 20: case 21: case 38: case 39: case 47: case 48: YearOf(&s, &e); break;
    case 22: case 23: case 40: case 41:
      --s.tm_year;
      YearOf(&s, &e);
      break;
    case 24:
      --s.tm_year;
      FirstOfYear(&s);
      e = s;
      ++e.tm_year;
      LastOfYear(&e);
      break;
    default: break;
  }
  if (!direct) {
    start = ToTime(s);
    end = ToTime(e);
  }
  if (startIo != nullptr) *startIo = start;
  if (endIo != nullptr) *endIo = end;

  MonthSlotState& state = MonthSlots();
  state.twelveMonths = 0;
  state.twentyFourMonths = 0;
  switch (code) {
    case 21: case 23: case 39: case 41: case 48:
      state.twelveMonths = 1;
      return BuildMonthBoundaries(start, false);
    case 24:
      state.twentyFourMonths = 1;
      return BuildMonthBoundaries(start, true);
    default: return code;
  }
}

namespace {
uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
}  // namespace

bool ParseMasterImage(const uint8_t* data, size_t size, std::vector<MasterRecordFields>* records) {
  if (records == nullptr) return false;
  records->clear();
  if (data == nullptr || size < kMasterFileHeaderBytes || Le32(data) != kMasterFileFormatWord) return false;
  for (size_t at = kMasterFileHeaderBytes; size - at >= kMasterFileRecordBytes; at += kMasterFileRecordBytes) {
    const uint8_t* image = data + at;
    MasterRecordFields r{};
    std::memcpy(r.fileName, image, 20);
    r.fileName[20] = '\0';
    r.start = Le32(image + 20);
    r.end = Le32(image + 24);
    r.lastAdded = Le32(image + 28);
    records->push_back(r);
  }
  return true;
}

bool ReadMasterFile(const std::string& path, std::vector<MasterRecordFields>* records) {
  if (records == nullptr) return false;
  records->clear();
  const KvFile file = kv::FileOpen(path.c_str(), kv::kFileRead, kv::FileDisposition::kOpenExisting);
  if (file == KV_INVALID_FILE) return false;
  std::vector<uint8_t> image;
  uint8_t chunk[16384];
  uint32_t done = 0;
  bool ok = true;
  while ((ok = kv::FileRead(file, chunk, sizeof chunk, &done)) && done > 0) image.insert(image.end(), chunk, chunk + done);
  kv::FileClose(file);
  return ok && ParseMasterImage(image.data(), image.size(), records);
}

std::string ProfileMasterPath(const DravelEntry* profile) {
  char dataFile[VRN_REALTIME_DIR_SIZE + 64] = "";
  if (profile == nullptr) return "";
  // A profile with its own repository needs no data file path.
  if (GenerateDravelFilePath(dataFile, sizeof dataFile, profile) == nullptr) dataFile[0] = '\0';
  char base[VRN_REALTIME_DIR_SIZE] = "";
  char daily[VRN_REALTIME_DIR_SIZE] = "";
  if (ConvertDravelFileToRealTimeDir(profile, dataFile, base, daily, 0) != 1) return "";
  return std::string(daily) + "\\master.dat";
}

bool ReadProfileMasterRecords(DravelEntry* profile, std::vector<MasterRecordFields>* records) {
  if (profile == nullptr || records == nullptr) return false;
  records->clear();
  if (profile->PellavarFlag == kStoreFiles) return ReadMasterFile(ProfileMasterPath(profile), records);
  if (profile->PellavarFlag != kStoreOdbc) return false;
  // The ODBC store's master rows, read without extending them.
  char dataFile[VRN_REALTIME_DIR_SIZE + 64] = "";
  if (GenerateDravelFilePath(dataFile, sizeof dataFile, profile) == nullptr) dataFile[0] = '\0';
  RealtimeStore* store = OpenRealtimeStore(profile, dataFile, 0, 0, 0);
  if (store == nullptr) return false;
  MasterRecord record{};
  while (ReadMasterRecord(store, &record) == 1) {
    MasterRecordFields r{};
    std::memcpy(r.fileName, record.fileName, sizeof record.fileName);
    r.start = record.start;
    r.end = record.end;
    r.lastAdded = record.lastAdded;
    records->push_back(r);
  }
  ReleaseRealtimeStore(store);
  return !records->empty();
}

void WidenRealtimeDateRange(DravelEntry* profile, uint32_t recordStart, uint32_t recordEnd, uint32_t lastAdded) {
  if (profile == nullptr || lastAdded == 0) return;
  const uint32_t v = lastAdded < recordEnd ? lastAdded : recordEnd;
  if (profile->RealtimeFirstTime == 0 || (recordStart != 0 && recordStart < profile->RealtimeFirstTime))
    profile->RealtimeFirstTime = recordStart;
  if (profile->RealtimeLastTime == 0 || v > profile->RealtimeLastTime) profile->RealtimeLastTime = v;
}

void GetRealtimeDateRange(DravelEntry* profile) {
  if (profile == nullptr) return;
  profile->RealtimeFirstTime = 0;
  profile->RealtimeLastTime = 0;
  if (profile->RealtimeAnalysis == 0) return;
  std::vector<MasterRecordFields> records;
  if (!ReadProfileMasterRecords(profile, &records)) return;
  uint32_t first = 0, last = 0;
  for (const MasterRecordFields& r : records) {
    if (first == 0) {
      if (r.lastAdded != 0) {
        first = r.start;
        last = r.lastAdded;
      }
    } else if (r.lastAdded > last) {
      last = r.lastAdded;
    }
  }
  profile->RealtimeFirstTime = first;
  profile->RealtimeLastTime = last;
}

int LogFilesTimeSpan(DravelEntry* profile, const char* location, uint32_t* firstOut, uint32_t* lastOut) {
  uint32_t first = 0xFFFFFFFFu, last = 0;
  uint16_t count = 0;
  LogListSummary summary{};
  LogNameEntry** list = location != nullptr ? BuildLogFileList(0, profile, location, &count, &summary, 1) : nullptr;
  HitRecord hit;
  std::memset(&hit, 0, sizeof hit);
  for (uint16_t i = 0; list != nullptr && i < count; ++i) {
    if (list[i] == nullptr) continue;
    const LogSourceHandle source = OpenLogSourceForReading(list[i]->name);
    if (source == kNoLogSource) continue;
    int found = 0;
    if (GetLogSourceKind(source) == kLogSourceFile && ReadW3CFieldsHeader(source, &found) == 1 && found != 0)
      ResetLogReader();
    // The first hit from the start.
    bool any = false;
    uint64_t pos = 0;
    for (;;) {
      uint64_t next = pos;
      const uint16_t r = ReadNextHit(source, pos, &hit, &next, kDefaultReadWindow);
      if (r == kReadHit) {
        if (hit.HitTime < first) first = hit.HitTime;
        FreeHitLine(&hit);
        any = true;
        break;
      }
      if (r != kReadNothing || next <= pos) break;
      pos = next;
    }
    if (any) {
      // The last hit, record by record back from the end.
      uint64_t at = GetLogSourceSize(source);
      while (at > 0) {
        uint64_t recordStart = 0;
        if (!FindRecordStart(source, at, &recordStart) || recordStart >= at) break;
        uint64_t next = recordStart;
        if (ReadNextHit(source, recordStart, &hit, &next, 16384) == kReadHit) {
          if (hit.HitTime > last) last = hit.HitTime;
          FreeHitLine(&hit);
          break;
        }
        at = recordStart;
      }
    }
    CloseLogSource(source);
  }
  FreeLogFileList(list, count);
  if (firstOut != nullptr) *firstOut = first;
  if (lastOut != nullptr) *lastOut = last;
  return (first < 0xFFFFFFFFu && last != 0) ? 1 : 0;
}

void ReportDatabaseWriteError(const char* text) {
  if (glpfnDisplayReportError != nullptr) glpfnDisplayReportError(0, nullptr, text, 5675, 5675, 0);
}

}  // namespace vrn

extern "C" {

VORNIC_API uint32_t VRN_CalculateRealtimeReportRange(uint16_t code, uint32_t* start, uint32_t* end) {
  return vrn::CalculateReportRange(code, start, end);
}

VORNIC_API int32_t GetLogFileStartAndEndTimes(DravelEntry* profile, const char* location, uint32_t* first,
                                              uint32_t* last) {
  return vrn::LogFilesTimeSpan(profile, location, first, last);
}

}  // extern "C"
