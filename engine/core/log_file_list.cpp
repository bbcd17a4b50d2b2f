// The log file list of a location, record starts, the time-window search by
// bisection over file offsets, and the profile's log status.
#include "engine/core/log_file_list.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/engine_state.h"
#include "engine/core/gzip_extract.h"
#include "engine/core/log_reader.h"
#include "engine/core/profile.h"
#include "engine/core/w3c_format.h"
#include "engine/core/zip_extract.h"
#include "engine/database/report_ranges.h"
#include "platform/base/files.h"

namespace vrn {

namespace {

constexpr uint32_t kRecordChunk = 4096;
constexpr uint32_t kQuickWindow = 16384;
constexpr uint64_t kLinearSpan = 1024;
constexpr uint64_t kRowWidth = 100;  // positions per row of a row source

OdbcLogPreparer g_odbcPreparer = nullptr;

bool StartsWithNoCase(const char* text, const char* prefix) {
  return text != nullptr && strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

uint32_t KilobytesOf(uint64_t bytes) {
  const uint64_t kb = (bytes + 1023) / 1024;
  return kb > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(kb);
}

uint32_t AddSaturated(uint32_t a, uint32_t b) { return a > UINT32_MAX - b ? UINT32_MAX : a + b; }

bool SameNameNoCase(const std::vector<std::string>& seen, const std::string& name) {
  for (const std::string& s : seen) {
    if (s.size() == name.size() && strcasecmp(s.c_str(), name.c_str()) == 0) return true;
  }
  return false;
}

bool IsDateLayoutCode(uint32_t code) { return (code >= 8 && code <= 10) || (code >= 34 && code <= 36); }

// Reads the first hit at or after pos, going on after answers of 2. The
// hit's offset is where the successful read began: reading from there again
// gives this hit first.
bool ReadHitFrom(LogSourceHandle source, HitRecord* hit, uint64_t pos, uint32_t window, uint64_t* hitStart,
                 uint64_t* next, uint32_t* time) {
  for (;;) {
    uint64_t after = pos;
    const uint16_t r = ReadNextHit(source, pos, hit, &after, window);
    if (r == kReadHit) {
      *hitStart = pos;
      *next = after;
      *time = hit->HitTime;
      FreeHitLine(hit);
      return true;
    }
    if (r != kReadNothing || after <= pos) return false;
    pos = after;
  }
}

// The last hit of the source: steps back record by record from the end until
// one reads, not below floor. One read window of 16384 bytes per step.
bool ReadLastHit(LogSourceHandle source, HitRecord* hit, uint64_t floor, uint64_t* hitStart, uint64_t* next,
                 uint32_t* time) {
  uint64_t pos = GetLogSourceSize(source);
  while (pos > 0) {
    uint64_t start = 0;
    if (!FindRecordStart(source, pos, &start) || start >= pos) return false;
    uint64_t after = start;
    const uint16_t r = ReadNextHit(source, start, hit, &after, kQuickWindow);
    if (r == kReadHit) {
      *hitStart = start;
      *next = after;
      *time = hit->HitTime;
      FreeHitLine(hit);
      return true;
    }
    if (start == 0 || start <= floor) return false;
    pos = start;
  }
  return false;
}

// Opens a listed log for a scan: the W3C column directive is read as a run
// reads it. kNoLogSource when it does not open.
LogSourceHandle OpenForScan(const char* name) {
  const LogSourceHandle source = OpenLogSourceForReading(name);
  if (source == kNoLogSource) return source;
  int found = 0;
  if (GetLogSourceKind(source) == kLogSourceFile && ReadW3CFieldsHeader(source, &found) == 1 && found != 0) {
    ResetLogReader();
  }
  return source;
}

// First and last record time of an open log within the quick read limits.
bool QuickFirstTime(LogSourceHandle source, uint32_t* time) {
  HitRecord hit;
  std::memset(&hit, 0, sizeof(hit));
  uint64_t next = 0;
  const uint16_t r = ReadNextHit(source, 0, &hit, &next, kQuickWindow);
  if (r != kReadHit) return false;
  *time = hit.HitTime;
  FreeHitLine(&hit);
  return true;
}

bool QuickLastTime(LogSourceHandle source, uint32_t* time) {
  HitRecord hit;
  std::memset(&hit, 0, sizeof(hit));
  const uint64_t size = GetLogSourceSize(source);
  const uint64_t floor = size > kQuickWindow ? size - kQuickWindow : 0;
  uint64_t start = 0, next = 0;
  return ReadLastHit(source, &hit, floor, &start, &next, time);
}

struct SeekOutcome {
  bool found = false;
  uint64_t offset = 0;
  uint32_t time = 0;  // the record found (start) or the last record admitted (end)
};

SeekOutcome SeekCore(LogSourceHandle source, int mode, HitRecord* hit, uint32_t time, uint64_t lower, uint64_t upper) {
  SeekOutcome out;
  HitRecord local;
  if (hit == nullptr) {
    std::memset(&local, 0, sizeof(local));
    hit = &local;
  }
  const bool findStart = mode == kSeekWindowStart;
  const uint64_t initialUpper = upper;
  uint64_t lo = lower, hi = upper;
  bool loAdmitted = false;  // the hit at lo lies in the window (end search)
  uint32_t loTime = 0;
  uint64_t previous = UINT64_MAX;

  // 1. Bisection down to a span of 1024 bytes.
  while (hi > lo && hi - lo > kLinearSpan) {
    const uint64_t mid = lo + (hi - lo) / 2;
    uint64_t start = 0;
    if (!FindRecordStart(source, mid, &start)) return out;
    if (start == previous) break;
    previous = start;
    uint64_t hitStart = 0, next = 0;
    uint32_t t = 0;
    const uint64_t oldLo = lo, oldHi = hi;
    if (!ReadHitFrom(source, hit, start, kDefaultReadWindow, &hitStart, &next, &t)) {
      // No record from here on: everything sought lies before.
      if (start < hi) hi = start;
    } else if (t < time || (t == time && !findStart)) {
      if (hitStart > lo && hitStart < hi) {
        lo = hitStart;
        loAdmitted = !findStart;
        loTime = t;
      }
    } else {
      if (hitStart < hi && hitStart >= lo) hi = hitStart;
    }
    if (lo == oldLo && hi == oldHi) break;
  }

  // 2. Linear scan from the lower bound.
  uint64_t pos = lo;
  uint64_t lastGood = lo;
  bool admitted = loAdmitted;
  uint32_t lastTime = loTime;
  for (;;) {
    uint64_t hitStart = 0, next = 0;
    uint32_t t = 0;
    if (pos >= initialUpper || !ReadHitFrom(source, hit, pos, kDefaultReadWindow, &hitStart, &next, &t) ||
        hitStart >= initialUpper) {
      if (!findStart && admitted) {
        out.found = true;
        out.offset = lastGood;
        out.time = lastTime;
      }
      return out;
    }
    if (findStart) {
      if (t >= time) {
        out.found = true;
        out.offset = hitStart;
        out.time = t;
        return out;
      }
      if (next >= initialUpper) return out;
    } else {
      // The window's end second is inclusive: a record one second later
      // ends the window.
      if (t > time) {
        if (admitted) {
          out.found = true;
          out.offset = lastGood;
          out.time = lastTime;
        }
        return out;
      }
      lastGood = hitStart;
      lastTime = t;
      admitted = true;
      if (next >= initialUpper) {
        out.found = true;
        out.offset = initialUpper;
        out.time = t;
        return out;
      }
    }
    if (next <= pos) return out;
    pos = next;
  }
}

}  // namespace

// ---- locations -----------------------------------------------------------------

bool IsOdbcLocation(const char* location) { return StartsWithNoCase(location, "odbc:"); }

std::string ResolveLocalLogPath(const char* path, const std::string& profileFolder, time_t now) {
  std::string full = NormalizeLogPath(path != nullptr ? path : "", profileFolder, now);
  const bool absolute = !full.empty() && (full[0] == '/' || full[0] == '\\');
  const bool drive = full.size() >= 2 && full[1] == ':';
  if (full.empty() || absolute || drive || profileFolder.empty()) return full;
  std::string folder = profileFolder;
  if (folder.back() != '/' && folder.back() != '\\') folder += '/';
  return folder + full;
}

uint16_t ParseLogLocation(char* outPath, size_t pathSize, const char* location, char* outHost, size_t hostSize,
                          uint16_t* outPort) {
  if (outHost != nullptr && hostSize > 0) outHost[0] = 0;
  const std::string text = location != nullptr ? location : "";
  if ((text.size() >= 2 && (text[1] == ':' || text[1] == '\\')) || text.compare(0, 2, "..") == 0) {
    CopyToField(outPath, pathSize, text);
    return kLocationLocal;
  }
  if (IsOdbcLocation(text.c_str())) {
    CopyToField(outPath, pathSize, text);
    return kLocationOdbc;
  }
  if (StartsWithNoCase(text.c_str(), "file:///")) {
    std::string rest = text.substr(8);
    if (rest.size() >= 2 && rest[1] == '|') {
      rest[1] = ':';
      for (char& c : rest) {
        if (c == '/') c = '\\';
      }
    } else if (!(rest.size() >= 2 && rest[1] == ':')) {
      // No drive: the third "/" starts an absolute path of this platform.
      rest = "/" + rest;
    }
    CopyToField(outPath, pathSize, rest);
    return kLocationLocal;
  }

  uint16_t kind = kLocationLocal;
  size_t prefix = 0;
  uint16_t port = 0;
  if (StartsWithNoCase(text.c_str(), "http://")) {
    kind = kLocationHttp;
    prefix = 7;
    port = 80;
  } else if (StartsWithNoCase(text.c_str(), "ftp://")) {
    kind = kLocationFtp;
    prefix = 6;
    port = 21;
  } else {
    // A local path, absolute or relative, is kept whole.
    CopyToField(outPath, pathSize, text);
    return kLocationLocal;
  }

  std::string path = "/";
  std::string host;
  const size_t hostEnd = text.find_first_of(":/\\", prefix);
  if (hostEnd != std::string::npos && text[hostEnd] == ':') {
    host = text.substr(prefix, hostEnd - prefix);
    const int32_t value = ParseIntText(text.c_str() + hostEnd + 1);
    if (value > 0 && value <= 65535) port = static_cast<uint16_t>(value);
    const size_t slash = text.find_first_of("/\\", hostEnd + 1);
    if (slash != std::string::npos) path = text.substr(slash);
  } else {
    host = text.substr(prefix, hostEnd == std::string::npos ? std::string::npos : hostEnd - prefix);
    if (hostEnd != std::string::npos) path = text.substr(hostEnd);
  }
  CopyToField(outPath, pathSize, path);
  if (outHost != nullptr) CopyToField(outHost, hostSize, host);
  if (outPort != nullptr) *outPort = port;
  return kind;
}

void RegisterOdbcLogPreparer(OdbcLogPreparer preparer) { g_odbcPreparer = preparer; }

// ---- the list -------------------------------------------------------------------

LogNameEntry** BuildLogFileList(uint32_t callerValue, DravelEntry* profile, const char* location, uint16_t* count,
                                LogListSummary* summary, uint32_t extract) {
  LogListSummary localSummary;
  if (summary == nullptr) summary = &localSummary;
  std::memset(summary, 0, sizeof(*summary));
  uint16_t localCount = 0;
  if (count == nullptr) count = &localCount;
  *count = 0;
  if (location == nullptr || location[0] == 0) return nullptr;

  LogNameEntry** list = nullptr;
  const std::string profileName =
      profile != nullptr ? std::string(FieldText(profile->Name, sizeof(profile->Name))) : std::string();

  if (IsOdbcLocation(location)) {
    if (profile != nullptr) profile->LogKindFlags |= kLogKindOdbc;
    std::string connection = location + 5;
    if (profile != nullptr && profile->ODBCDataSource[0] != 0) {
      connection = std::string(FieldText(profile->ODBCDataSource, sizeof(profile->ODBCDataSource)));
    }
    if (extract != 0 && g_odbcPreparer != nullptr && g_odbcPreparer(connection.c_str()) == 1) {
      summary->ArchiveKind = kArchiveOdbc;
      AppendLogNameEntry(&list, count, "odbc:" + connection, 0, 0);
    }
  } else {
    const std::string text = location;
    const std::string first = text.substr(0, text.find('|'));
    const size_t cut = first.find_last_of(":\\/");
    const std::string folderPrefix = cut == std::string::npos ? std::string() : first.substr(0, cut + 1);

    std::vector<std::string> elements;
    size_t from = folderPrefix.size();
    while (from <= text.size()) {
      size_t bar = text.find('|', from);
      if (bar == std::string::npos) bar = text.size();
      const std::string element = text.substr(from, bar - from);
      if (!element.empty()) {
        const bool alone =
            element[0] == '\\' || element[0] == '/' || (element.size() >= 2 && element[1] == ':');
        elements.push_back(alone ? element : folderPrefix + element);
      }
      from = bar + 1;
    }

    std::vector<std::string> seen;  // every name met, archives included
    for (const std::string& element : elements) {
      const size_t sep = element.find_last_of("\\/:");
      const std::string folder = sep == std::string::npos ? std::string() : element.substr(0, sep + 1);
      for (const kv::FileInfo& info : kv::FindFiles(element.c_str())) {
        if (info.folder) continue;
        const std::string full = folder + info.name;
        if (full.size() >= kLogNameWidth || SameNameNoCase(seen, full)) continue;
        seen.push_back(full);
        const uint16_t kind = extract != 0 ? ClassifyLogArchive(full.c_str()) : static_cast<uint16_t>(kArchivePlain);
        if (kind == kArchiveZip) {
          summary->ArchiveKind = kArchiveZip;
          if (profile != nullptr) profile->LogKindFlags |= kLogKindZip;
          list = ExtractZipLog(profileName.c_str(), callerValue, full.c_str(), list, count);
        } else if (kind == kArchiveGzip) {
          summary->ArchiveKind = kArchiveGzip;
          if (profile != nullptr) profile->LogKindFlags |= kLogKindGzip;
          list = ExtractGzipLog(profileName.c_str(), callerValue, full.c_str(), list, count);
        } else {
          summary->ArchiveKind = kArchivePlain;
          AppendLogNameEntry(&list, count, full, info.size, LogWriteTime(info.writeTime));
        }
      }
    }
  }

  if (*count == 0) {
    std::free(list);
    return nullptr;
  }
  int32_t earliest = 0, latest = 0;
  bool any = false;
  uint32_t kilobytes = 0;
  for (uint16_t i = 0; i < *count; ++i) {
    const LogNameEntry* e = list[i];
    kilobytes = AddSaturated(kilobytes, KilobytesOf(e->size));
    if (e->writeTime == 0) continue;
    const int32_t t = static_cast<int32_t>(e->writeTime);
    if (!any || t < earliest) earliest = t;
    if (!any || t > latest) latest = t;
    any = true;
  }
  summary->FileCount = *count;
  summary->EarliestWriteTime = static_cast<uint32_t>(earliest);
  summary->LatestWriteTime = static_cast<uint32_t>(latest);
  summary->TotalSizeKB = kilobytes;
  return list;
}

void FreeLogFileList(LogNameEntry** list, uint16_t count) {
  if (list == nullptr || count == 0) return;
  for (uint16_t i = 0; i < count; ++i) std::free(list[i]);
  std::free(list);
}

bool AppendLogNameEntry(LogNameEntry*** list, uint16_t* count, const std::string& name, uint64_t size,
                        uint32_t writeTime) {
  if (list == nullptr || count == nullptr || *count == UINT16_MAX || name.size() >= kLogNameWidth) return false;
  auto* entry = static_cast<LogNameEntry*>(std::calloc(1, sizeof(LogNameEntry)));
  if (entry == nullptr) return false;
  auto** grown =
      static_cast<LogNameEntry**>(std::realloc(*list, (static_cast<size_t>(*count) + 1) * sizeof(LogNameEntry*)));
  if (grown == nullptr) {
    std::free(entry);
    return false;
  }
  std::memcpy(entry->name, name.data(), name.size());
  entry->size = size;
  entry->writeTime = writeTime;
  grown[*count] = entry;
  *list = grown;
  ++*count;
  return true;
}

uint32_t LogWriteTime(std::time_t t) {
  return t > 0 && t <= static_cast<std::time_t>(UINT32_MAX) ? static_cast<uint32_t>(t) : 0;
}

int SetLogFormatHint(uint32_t code) {
  if (IsDateLayoutCode(code)) {
    SetReaderDateLayout(code);
    return 1;
  }
  SetReaderDateLayout(0);
  return 0;
}

// ---- record starts ---------------------------------------------------------------

bool FindRecordStart(LogSourceHandle source, uint64_t offset, uint64_t* start) {
  uint64_t dummy = 0;
  if (start == nullptr) start = &dummy;
  *start = 0;
  LogSource* src = LogSourceRecord(source);
  if (src == nullptr || src->ops == nullptr) return false;
  if (src->kind == kLogSourceOdbc || src->ops->fetchLine != nullptr) {
    // Rows are kRowWidth positions apart: the row before the one at offset.
    const uint64_t rows = GetLogSourceSize(source) / kRowWidth;
    const uint64_t row = offset / kRowWidth;
    if (row <= rows) {
      *start = row == 0 ? 0 : (row - 1) * kRowWidth;
    } else {
      *start = rows == 0 ? 0 : (rows - 1) * kRowWidth;
    }
    return true;
  }
  return FindRecordStartInFile(source, offset, start);
}

bool FindRecordStartInFile(LogSourceHandle source, uint64_t offset, uint64_t* start) {
  uint64_t dummy = 0;
  if (start == nullptr) start = &dummy;
  *start = 0;
  if (LogSourceRecord(source) == nullptr) return false;
  if (offset == 0) return true;
  std::vector<unsigned char> chunk(kRecordChunk);
  uint64_t end = offset;
  bool content = false;  // a byte other than a blank or a line end was seen
  for (;;) {
    const uint64_t begin = end > kRecordChunk ? end - kRecordChunk : 0;
    const uint32_t want = static_cast<uint32_t>(end - begin);
    if (SeekLogSource(source, begin, 0) != begin) return false;
    uint32_t got = 0;
    if (ReadLogSource(source, chunk.data(), want, &got) == 0 || got == 0) return false;
    if (got > want) got = want;
    for (uint32_t i = got; i-- > 0;) {
      const unsigned char c = chunk[i];
      if (c == '\r' || c == '\n') {
        if (content) {
          *start = begin + i + 1;
          return true;
        }
      } else if (c != ' ' && c != '\t' && c != 0) {
        content = true;
      }
    }
    if (begin == 0) return true;  // the record (or only blanks) from the start
    end = begin;
  }
}

// ---- the time window ------------------------------------------------------------

bool ReadFirstHitTime(LogSourceHandle source, uint32_t* time) {
  if (LogSourceRecord(source) == nullptr || time == nullptr) return false;
  HitRecord hit;
  std::memset(&hit, 0, sizeof(hit));
  uint64_t start = 0, next = 0;
  return ReadHitFrom(source, &hit, 0, kDefaultReadWindow, &start, &next, time);
}

int SeekLogToTime(LogSourceHandle source, const DravelEntry* /*profile*/, int mode, HitRecord* hit, uint32_t time,
                  uint64_t* offset, uint64_t lower, uint64_t upper) {
  const SeekOutcome out = SeekCore(source, mode, hit, time, lower, upper);
  if (!out.found) return 0;
  if (offset != nullptr) *offset = out.offset;
  return 1;
}

int16_t FindLogTimeRange(LogSourceHandle source, const DravelEntry* /*profile*/, uint32_t startTime, uint32_t endTime,
                         uint64_t* startOffset, uint64_t* endOffset, uint32_t* firstTime, uint32_t* lastTime) {
  if (firstTime != nullptr) *firstTime = startTime;
  if (lastTime != nullptr) *lastTime = endTime;
  if (LogSourceRecord(source) == nullptr || endTime < startTime) return -1;
  HitRecord hit;
  std::memset(&hit, 0, sizeof(hit));

  // The first record.
  uint64_t firstStart = 0, afterFirst = 0;
  uint32_t t0 = 0;
  if (!ReadHitFrom(source, &hit, 0, kDefaultReadWindow, &firstStart, &afterFirst, &t0)) return -1;
  if (t0 > endTime) return -1;  // every record lies after the window
  const bool startSettled = t0 == startTime;

  // The last record, stepping back from the end.
  uint64_t lastStart = 0, afterLast = 0;
  uint32_t tn = 0;
  if (!ReadLastHit(source, &hit, 0, &lastStart, &afterLast, &tn)) return -1;
  if (tn < startTime) return -1;  // every record lies before the window
  const bool endSettled = tn == endTime;

  uint64_t from = 0;
  uint32_t first = startTime;
  if (!startSettled) {
    const SeekOutcome s = SeekCore(source, kSeekWindowStart, &hit, startTime, 0, afterLast);
    if (!s.found) return -1;
    from = s.offset;
    first = s.time;
  }
  if (first > endTime) return -1;  // the window falls between two records

  uint64_t to = afterLast;
  uint32_t last = endTime;
  if (!endSettled) {
    const SeekOutcome e = SeekCore(source, kSeekWindowEnd, &hit, endTime, from, afterLast);
    if (!e.found) return -1;
    to = e.offset;
    last = e.time;
  }
  if (startOffset != nullptr) *startOffset = from;
  if (endOffset != nullptr) *endOffset = to;
  if (firstTime != nullptr) *firstTime = first;
  if (lastTime != nullptr) *lastTime = last;
  return 0;
}

// ---- log status ----------------------------------------------------------------

int UpdateProfileLogTimes(DravelEntry* profile, const char* location) {
  if (profile == nullptr) return 0;
  SetLogFormatHint(profile->LogFileFormat);
  uint16_t count = 0;
  LogListSummary summary;
  LogNameEntry** list = BuildLogFileList(0, profile, location, &count, &summary, 0);
  if (list == nullptr) {
    SetReaderDateLayout(0);
    return 0;
  }
  uint16_t earliest = 0, latest = 0;
  uint32_t kilobytes = 0;
  for (uint16_t i = 0; i < count; ++i) {
    kilobytes = AddSaturated(kilobytes, KilobytesOf(list[i]->size));
    const uint32_t t = list[i]->writeTime;
    if (t == 0) continue;
    if (list[earliest]->writeTime == 0 || t < list[earliest]->writeTime) earliest = i;
    if (list[latest]->writeTime == 0 || t > list[latest]->writeTime) latest = i;
  }
  profile->LogSizeKB = kilobytes;

  int result = 1;
  if (ClassifyLogArchive(list[earliest]->name) == kArchivePlain &&
      ClassifyLogArchive(list[latest]->name) == kArchivePlain) {
    uint32_t first = 0, last = 0;
    bool ok = false;
    LogSourceHandle source = OpenForScan(list[earliest]->name);
    if (source != kNoLogSource) {
      ok = QuickFirstTime(source, &first);
      if (ok && latest != earliest) {
        CloseLogSource(source);
        source = OpenForScan(list[latest]->name);
        ok = source != kNoLogSource;
      }
      if (ok) ok = QuickLastTime(source, &last);
      if (source != kNoLogSource) CloseLogSource(source);
    }
    if (ok) {
      if (first != 0) profile->FirstLogTime = first;
      if (last != 0) profile->LastLogTime = last;
    } else {
      result = 0;
    }
  }
  FreeLogFileList(list, count);
  SetReaderDateLayout(0);
  return result;
}

int ScanLogTimes(const DravelEntry* /*profile*/, LogNameEntry* const* list, uint16_t count, bool stopAtBad,
                 uint32_t* firstTime, uint32_t* lastTime, uint32_t* kilobytes, uint32_t* bad) {
  uint32_t dummyFirst = 0, dummyLast = 0, dummyKb = 0, dummyBad = 0;
  if (firstTime == nullptr) firstTime = &dummyFirst;
  if (lastTime == nullptr) lastTime = &dummyLast;
  if (kilobytes == nullptr) kilobytes = &dummyKb;
  if (bad == nullptr) bad = &dummyBad;
  *bad = 0;
  if (list == nullptr) return count == 0 ? 1 : 0;
  for (uint16_t i = 0; i < count; ++i) {
    if (list[i] == nullptr) continue;
    const LogSourceHandle source = OpenForScan(list[i]->name);
    if (source == kNoLogSource) continue;
    uint32_t first = 0, last = 0;
    bool good = QuickFirstTime(source, &first);
    if (good) good = QuickLastTime(source, &last);
    if (good && first > last) good = false;
    const uint64_t size = GetLogSourceSize(source);
    CloseLogSource(source);
    if (!good) {
      ++*bad;
      if (stopAtBad) return 0;
      continue;
    }
    if (*firstTime == 0 || *firstTime > first) *firstTime = first;
    if (*lastTime == 0 || *lastTime < last) *lastTime = last;
    *kilobytes = AddSaturated(*kilobytes, KilobytesOf(size));
  }
  return 1;
}

int GetProfileLogStatus(uint32_t callerValue, DravelEntry* profile, const char* location,
                        const DravelEntry* profiles, uint16_t count, uint32_t /*unused*/) {
  if (profile == nullptr) return 0;
  uint16_t listed = 0;
  LogListSummary summary;
  LogNameEntry** list = BuildLogFileList(callerValue, profile, location, &listed, &summary, 1);
  if (list == nullptr) return 0;

  // Another profile of the same location whose logs look unchanged lends its
  // status; the scan below refreshes it in any case.
  if (profiles != nullptr && location != nullptr) {
    for (uint16_t i = 0; i < count; ++i) {
      const DravelEntry& other = profiles[i];
      if (&other == profile) continue;
      char parsed[DRAVEL_PATH_WIDTH + 1];
      const std::string otherPath(FieldText(other.LogFilePath, sizeof(other.LogFilePath)));
      ParseLogLocation(parsed, sizeof(parsed), otherPath.c_str(), nullptr, 0, nullptr);
      if (strcasecmp(parsed, location) != 0) continue;
      const LogListSummary& s = other.LogStatus;
      if (s.FileCount == summary.FileCount && s.TotalSizeKB == summary.TotalSizeKB &&
          s.EarliestWriteTime == summary.EarliestWriteTime && s.LatestWriteTime == summary.LatestWriteTime) {
        profile->LogSizeKB = other.LogSizeKB;
        profile->FirstLogTime = other.FirstLogTime;
        profile->LastLogTime = other.LastLogTime;
        profile->LogStatus = other.LogStatus;
      }
      break;
    }
  }

  const uint32_t ownFormat = profile->LogFileFormat;
  const uint32_t ownLayout = SetLogFormatHint(ownFormat) == 1 ? ownFormat : 0;
  profile->LogStatus = summary;

  struct Attempt {
    uint32_t layout = 0;
    int complete = 0;
    uint32_t bad = 0, first = 0, last = 0, kilobytes = 0;
  };
  Attempt attempts[3];
  attempts[0].layout = ownLayout;
  attempts[1].layout = (g_engine.logIDate == 1 || g_engine.logIDate == 2) ? 8 : 9;
  attempts[2].layout = g_engine.logIDate == 2 ? 9 : 10;
  int clean = -1;
  bool anyComplete = false;
  for (int a = 0; a < 3; ++a) {
    if (a > 0 && IsDateLayoutCode(ownFormat)) break;
    SetReaderDateLayout(attempts[a].layout);
    const bool stop = a > 0 && anyComplete;
    Attempt& at = attempts[a];
    at.complete = ScanLogTimes(profile, list, listed, stop, &at.first, &at.last, &at.kilobytes, &at.bad);
    if (at.complete == 1) anyComplete = true;
    if (at.complete == 1 && at.bad == 0) {
      clean = a;
      break;
    }
  }

  int chosen = clean;
  if (chosen < 0) {
    if (attempts[0].complete == 1) {
      chosen = 0;
    } else if (!IsDateLayoutCode(ownFormat) && attempts[1].complete == 1) {
      chosen = 1;
    }
  }
  int result = 0;
  if (chosen >= 0) {
    const Attempt& at = attempts[chosen];
    profile->FirstLogTime = at.first;
    profile->LastLogTime = at.last;
    profile->LogSizeKB = at.kilobytes;
    if (chosen > 0) {
      profile->LogFileFormat = at.layout;
      VRN_UpdateDravelEntry(profile);
    }
    result = 1;
  } else {
    profile->FirstLogTime = 0;
    profile->LastLogTime = 0;
    profile->LogSizeKB = 0;
  }
  GetRealtimeDateRange(profile);
  SetLogFormatHint(profile->LogFileFormat);
  FreeLogFileList(list, listed);
  return result;
}

}  // namespace vrn
