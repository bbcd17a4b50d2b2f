// The realtime update (one day per call), the realtime report's reading of
// stored days, and the deletion of a profile's realtime data.
#include "engine/database/realtime_update.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vornic/periodfiles.h>
#include <vornic/profile.h>
#include <vornic/realtime.h>

#include "engine/core/engine_state.h"
#include "engine/core/hit_record.h"
#include "engine/core/log_file_list.h"
#include "engine/core/log_reader.h"
#include "engine/core/log_source.h"
#include "engine/core/report_run.h"
#include "engine/core/w3c_format.h"
#include "engine/database/analysis_context.h"
#include "engine/database/finishing.h"
#include "engine/database/merge_databases.h"
#include "engine/database/odbc_store.h"
#include "engine/database/realtime_store.h"
#include "engine/database/report_ranges.h"
#include "engine/network/dns_queue.h"
#include "platform/base/clock.h"
#include "platform/base/files.h"
#include "platform/base/paths.h"

namespace vrn {

namespace {

// Process-wide progress of the update: the highest percent reported so far
// (progress never falls back within an update), the records counted for the
// status text and the last reload chunk of the log being added.
uint32_t g_highestPercent = 0;
uint32_t g_statusRecords = 0;
uint32_t g_lastReloadChunk = 0;

constexpr uint32_t kTailWindow = 16384;
// How far out of time order the lines of a log may stand (a line is written
// when its request ends): a day is complete once the log goes on this far
// past its end, and a new day also reads this far before its start.
constexpr uint32_t kLineOrderSlack = 300;
constexpr uint32_t kStatusEvery = 300;

// A report handle of the engine's size, zero-filled, freed with its context.
// A day cloned from the report's run shares the report's working template,
// which stays when the day is freed.
struct RunDeleter {
  int deleteTemplate = 1;
  void operator()(ReportHandle* run) const {
    if (run == nullptr) return;
    FreeReportContext(run, deleteTemplate);
    std::free(run);
  }
};
using RunPtr = std::unique_ptr<ReportHandle, RunDeleter>;

// A day database always keeps its 24 hours: the month-slot mode of a year
// range is for the merged report only and is held off while a day takes
// records.
class DaySlotsOnly {
 public:
  DaySlotsOnly() : saved_(MonthSlots()) {
    MonthSlots().twelveMonths = 0;
    MonthSlots().twentyFourMonths = 0;
  }
  ~DaySlotsOnly() {
    MonthSlots().twelveMonths = saved_.twelveMonths;
    MonthSlots().twentyFourMonths = saved_.twentyFourMonths;
  }
  DaySlotsOnly(const DaySlotsOnly&) = delete;
  DaySlotsOnly& operator=(const DaySlotsOnly&) = delete;

 private:
  MonthSlotState saved_;
};

RunPtr NewRun(uint32_t slot, DravelEntry* profile, int deleteTemplate = 1) {
  auto* run = static_cast<ReportHandle*>(std::calloc(1, sizeof(ReportHandle)));
  if (run == nullptr) return RunPtr(nullptr, RunDeleter{deleteTemplate});
  run->slot = static_cast<uint16_t>(slot);
  run->profile = profile;
  run->kind = kReportKindAnalysis;
  run->dnsOn = profile != nullptr ? profile->DNSLookup : 0;
  run->dnsTimeout = GetDNSTimeout();
  run->dns.handle = run;
  run->dns.lookupSetting = run->dnsOn;
  run->dns.timeoutMs = run->dnsTimeout;
  run->dns.runKind = kReportKindAnalysis;
  return RunPtr(run, RunDeleter{deleteTemplate});
}

}  // namespace

std::string FormatStatusText(const char* text, const std::string& argument) {
  std::string out;
  bool used = false;
  for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    if (p[1] == '%') {
      out += '%';
      ++p;
      continue;
    }
    const char* q = p + 1;
    if (*q == 'l') ++q;
    if (!used && (*q == 'd' || *q == 'u' || *q == 's')) {
      out += argument;
      used = true;
      p = q;
      continue;
    }
    out += *p;
  }
  return out;
}

namespace {

void SendStatus(RealtimeStatusFn status, uint32_t textId, const std::string& argument) {
  if (status == nullptr) return;
  const std::string text = FormatStatusText(LoadResString(textId), argument);
  status(text.c_str());
}

// Opens a log for reading with its W3C column directive. kNoLogSource when
// it does not open; *headerBad when its directive lacks date or time.
LogSourceHandle OpenLog(const char* path, bool* headerBad) {
  *headerBad = false;
  const LogSourceHandle source = OpenLogSourceForReading(path);
  if (source == kNoLogSource) return source;
  if (GetLogSourceKind(source) == kLogSourceFile) {
    int found = 0;
    if (ReadW3CFieldsHeader(source, &found) != 1) {
      *headerBad = true;
    } else if (found != 0) {
      ResetLogReader();
    }
  }
  return source;
}

std::string ProfileDataFile(const DravelEntry* profile) {
  char path[1024] = "";
  if (GenerateDravelFilePath(path, sizeof path, profile) == nullptr) return "";
  return path;
}

// The profile's own file in the profile folder: a day's context reads it as
// a report run's context does (its home page names the site's pages, its
// folder's parent holds the search engine definitions).
std::string ProfileFilePath(const DravelEntry* profile) {
  return ProfileDirectory() + std::string(profile->Name, strnlen(profile->Name, sizeof profile->Name)) + "." +
         std::string(profile->Extension, strnlen(profile->Extension, sizeof profile->Extension));
}

bool IsCancelAnswer(int answer) { return answer == 2; }

// An ODBC store's open day keeps the place it reached in its log in a small
// file of this machine (the master rows have no room for it): the day's
// start and last added time, then the 32 bytes of the place as a file
// store's master record keeps them. It counts only while the day's row
// still says the same last added time.
constexpr uint32_t kPlaceFileSize = 40;

std::string OdbcPlaceFile(const DravelEntry* profile, bool makeFolder) {
  char base[VRN_REALTIME_DIR_SIZE] = "";
  const std::string dataFile = ProfileDataFile(profile);
  if (dataFile.empty() || ConvertDravelFileToRealTimeDir(profile, dataFile.c_str(), base, nullptr, 0) != 1) return "";
  if (makeFolder) kv::CreateFolder(base);
  return std::string(base) + "\\place.dat";
}

// Puts the kept place of the record's day into its spare bytes (the record
// is left as it is when none is kept for it).
void ReadOdbcPlace(const DravelEntry* profile, MasterRecord* record) {
  const std::string path = OdbcPlaceFile(profile, false);
  if (path.empty()) return;
  KvFile file = kv::FileOpen(path.c_str(), kv::kFileRead, kv::FileDisposition::kOpenExisting);
  if (file == KV_INVALID_FILE) return;
  uint8_t image[kPlaceFileSize];
  uint32_t done = 0;
  const bool read = kv::FileRead(file, image, sizeof image, &done) && done == sizeof image;
  kv::FileClose(file);
  auto word = [&](int at) {
    return uint32_t{image[at]} | uint32_t{image[at + 1]} << 8 | uint32_t{image[at + 2]} << 16 |
           uint32_t{image[at + 3]} << 24;
  };
  if (read && word(0) == record->start && word(4) == record->lastAdded && record->lastAdded != 0)
    std::memcpy(record->reserved, image + 8, sizeof record->reserved);
}

// Keeps the record's place (or forgets any) once its day's row is written.
void WriteOdbcPlace(const DravelEntry* profile, const MasterRecord& record) {
  const std::string path = OdbcPlaceFile(profile, true);
  if (path.empty()) return;
  uint8_t image[kPlaceFileSize] = {};
  for (int i = 0; i < 4; ++i) {
    image[i] = static_cast<uint8_t>(record.start >> (8 * i));
    image[4 + i] = static_cast<uint8_t>(record.lastAdded >> (8 * i));
  }
  std::memcpy(image + 8, record.reserved, sizeof record.reserved);
  const std::string fresh = path + ".new";
  KvFile file = kv::FileOpen(fresh.c_str(), kv::kFileWrite, kv::FileDisposition::kCreateAlways);
  if (file == KV_INVALID_FILE) return;
  uint32_t done = 0;
  const bool ok = kv::FileWrite(file, image, sizeof image, &done) && done == sizeof image &&
                  ::fsync(static_cast<int>(file)) == 0;
  kv::FileClose(file);
  if (!ok || !kv::FileMove(fresh.c_str(), path.c_str(), true)) kv::FileDelete(fresh.c_str());
}

// The bookkeeping after a day step for the record at the cursor: shared by
// the update and the report's update pass. Returns 0 when writing the
// record back failed.
int WriteBackDay(RealtimeStore* store, DravelEntry* profile, MasterRecord* record, int stepResult) {
  // A day that was not saved keeps its record and its stored file as they
  // were: the next update adds the same records again.
  if (stepResult == 0) return 1;
  if (store->kind == kStoreOdbc) {
    // A saved day's master row was written with the day; writing it again
    // keeps the same values. A day that took no record (nothing new, or
    // a day without log lines that is now complete) moves on only here.
    if (RewriteMasterRecord(store, record) != 1) return 0;
    WriteOdbcPlace(profile, *record);
  } else if (StoreMasterRecord(store, record, nullptr) != 1) {
    return 0;
  }
  WidenRealtimeDateRange(profile, record->start, record->end, record->lastAdded);
  return 1;
}

}  // namespace

void ResetRealtimeProgress() {
  g_highestPercent = 0;
  g_statusRecords = 0;
  g_lastReloadChunk = 0;
}

void FreeHandleContext(ReportHandle* run) {
  if (run != nullptr) FreeReportContext(run);
}

int LoadOrCreateDay(const MasterRecord* record, RealtimeStore* store, ReportHandle* run, const char* profileFile) {
  const int loaded = LoadPeriodDatabase(record, store, run, nullptr, profileFile);
  if (loaded == kDbLoaded) return 1;
  if (loaded == kDbMissing || loaded == kDbEmpty) return RunContext(run) != nullptr && CreateTablesForHandle(run) == 1;
  return 0;
}

namespace {

// The time of the last dated record of a log (0 when it has none).
uint32_t NewestRecordTime(ReportHandle* run, const char* path) {
  bool headerBad = false;
  const LogSourceHandle source = OpenLog(path, &headerBad);
  if (source == kNoLogSource) return 0;
  uint32_t newest = 0;
  uint64_t at = headerBad ? 0 : GetLogSourceSize(source);
  while (at > 0) {
    uint64_t start = 0;
    if (!FindRecordStart(source, at, &start) || start >= at) break;
    uint64_t next = start;
    if (ReadNextHit(source, start, &run->hit, &next, kTailWindow) == kReadHit) {
      newest = run->hit.HitTime;
      FreeHitLine(&run->hit);
      break;
    }
    at = start;
  }
  CloseLogSource(source);
  return newest;
}

}  // namespace

uint32_t FindLastUniqueDate(ReportHandle* run, const MasterRecord* record, const char* path, int newestFile,
                            uint32_t* dayEnds, uint64_t* offset) {
  if (dayEnds != nullptr) *dayEnds = 0;
  if (offset != nullptr) *offset = 0;
  if (run == nullptr || record == nullptr || path == nullptr) return 0;
  bool headerBad = false;
  const LogSourceHandle source = OpenLog(path, &headerBad);
  if (source == kNoLogSource) return 0;
  if (headerBad) {
    CloseLogSource(source);
    return 0;
  }
  HitRecord& hit = run->hit;
  const uint64_t size = GetLogSourceSize(source);

  // The newest dated record, walking back from the end line by line.
  uint64_t at = size;
  uint64_t lineStart = 0;
  bool found = false;
  uint32_t T = 0;
  while (at > 0) {
    uint64_t start = 0;
    if (!FindRecordStart(source, at, &start) || start >= at) break;
    uint64_t next = start;
    if (ReadNextHit(source, start, &hit, &next, kTailWindow) == kReadHit) {
      T = hit.HitTime;
      FreeHitLine(&hit);
      lineStart = start;
      found = true;
      break;
    }
    at = start;
  }
  // A log without any dated record has nothing to add.
  if (!found) {
    CloseLogSource(source);
    return 0;
  }
  // Nothing newer than what the day holds. With nothing added yet, records
  // stamped at the day's very first second are new.
  if ((record->lastAdded != 0 && T <= record->lastAdded) || (record->lastAdded == 0 && T < record->start)) {
    CloseLogSource(source);
    return 0;
  }
  if (T > record->end) {
    if (dayEnds != nullptr) *dayEnds = 1;
    uint64_t endOffset = size;
    if (SeekLogToTime(source, run->profile, kSeekWindowEnd, &hit, record->end, &endOffset, 0, size) != 1)
      endOffset = size;
    if (offset != nullptr) *offset = endOffset;
    CloseLogSource(source);
    return record->end;
  }
  if (newestFile == 0) {
    if (offset != nullptr) *offset = size;
    CloseLogSource(source);
    return T + 1;
  }
  // The newest log: the records of its newest second stay for the next
  // update, since more may still be written in that second.
  if (IsCancelAnswer(CallClientCallback(0, run->slot, nullptr, 0, -1, 0))) {
    g_engine.abortFlag = 1;
    CancelDNSFifo();
    CloseLogSource(source);
    return 0;
  }
  at = lineStart;
  uint32_t result = 0;
  while (at > 0) {
    if (IsCancelAnswer(CallClientCallback(0, run->slot, nullptr, 0, -1, 0))) {
      g_engine.abortFlag = 1;
      CancelDNSFifo();
      break;
    }
    uint64_t start = 0;
    if (!FindRecordStart(source, at, &start) || start >= at) break;
    uint64_t next = start;
    if (ReadNextHit(source, start, &hit, &next, kTailWindow) == kReadHit) {
      const uint32_t t = hit.HitTime;
      FreeHitLine(&hit);
      if (t < T) {
        result = t;
        if (offset != nullptr) *offset = start;
        break;
      }
    }
    at = start;
  }
  CloseLogSource(source);
  return result;
}

int AddToCurrentDatabase(uint32_t slot, const MasterRecord* record, const char* path, uint32_t limit,
                         uint32_t fileIndex, uint32_t fileCount, ReportHandle* run, RealtimeStatusFn status,
                         uint64_t* startOffset, LogRange* range) {
  if (startOffset != nullptr) *startOffset = 0;
  if (record == nullptr || run == nullptr || path == nullptr) return 3;
  if (record->end < record->lastAdded) return 1;
  AnalysisContext* context = RunContext(run);
  if (context == nullptr) return 3;
  bool headerBad = false;
  LogSourceHandle source = OpenLog(path, &headerBad);
  if (source == kNoLogSource) return 3;
  if (headerBad) {
    CloseLogSource(source);
    return 0;
  }
  const bool byPosition = range != nullptr && range->byPosition;
  const bool anythingAdded = record->lastAdded != 0;
  const uint32_t from = anythingAdded ? record->lastAdded : record->start;
  HitRecord& hit = run->hit;
  const uint64_t size = GetLogSourceSize(source);
  // Only whole lines are read when the place reached is kept: the line
  // being written is read whole by the next update.
  const uint64_t readEnd = range != nullptr ? std::min(size, range->wholeLinesEnd) : size;
  uint64_t begin = 0;
  if (byPosition) {
    begin = std::min(range->begin, readEnd);
  } else {
    // A day not begun yet also takes the lines of its first minutes that
    // stand a little before its start in the log.
    const uint32_t seekTo = !anythingAdded && range != nullptr && from > kLineOrderSlack ? from - kLineOrderSlack : from;
    if (SeekLogToTime(source, run->profile, kSeekWindowStart, &hit, seekTo, &begin, 0, size) != 1) {
      CloseLogSource(source);
      return 3;
    }
  }
  if (range != nullptr) {
    range->stopOffset = begin;
    range->newest = 0;
    range->pastDay = false;
  }
  if (startOffset != nullptr) *startOffset = begin;
  uint64_t limitOffset = readEnd;
  if (!byPosition) {
    uint64_t endAt = size;
    if (SeekLogToTime(source, run->profile, kSeekWindowEnd, &hit, limit, &endAt, begin, size) == 1) limitOffset = endAt;
  }
  if (fileCount == 0) fileCount = 1;

  char name[kIntervalNameSize];
  FormatIntervalName(kPeriodDay, record->start, name, sizeof name);
  uint32_t percent = fileIndex * 100 / fileCount;
  if (percent > 100) percent = 100;
  if (percent < g_highestPercent) percent = g_highestPercent;
  if (IsCancelAnswer(CallClientCallback(0, slot, name, 0, static_cast<int32_t>(percent), 0))) {
    g_engine.abortFlag = 1;
    CancelDNSFifo();
    CloseLogSource(source);
    return 4;
  }

  SetIntervalSlots(kPeriodDay, context);
  context->slotOrigin = record->start;
  run->kind = kReportKindAnalysis;
  run->dns.runKind = kReportKindAnalysis;
  run->dns.handle = run;

  int result = 1;
  uint32_t records = 0;
  uint32_t lastSeen = from;
  uint64_t pos = begin;
  const uint64_t startTick = kv::TickCount64();
  uint64_t lastRateTick = startTick;
  uint32_t rate = 0;
  for (;;) {
    const uint32_t reloadSize = g_engine.logFileReloadSize;
    if (reloadSize != 0 && pos != 0) {
      const auto chunk = static_cast<uint32_t>(pos / reloadSize);
      if (chunk != g_lastReloadChunk) {
        g_lastReloadChunk = chunk;
        CloseLogSource(source);
        source = OpenLog(path, &headerBad);
        if (source == kNoLogSource) return 3;
        if (headerBad) {
          CloseLogSource(source);
          return 0;
        }
      }
    }
    if (range != nullptr) {
      range->stopOffset = pos;
      if (pos >= readEnd) break;
    }
    uint64_t next = pos;
    const uint16_t r = ReadNextHit(source, pos, &hit, &next, kDefaultReadWindow);
    if (r == kReadNothing && next > pos) {
      pos = next;
      continue;
    }
    if (r != kReadHit) break;
    if (range != nullptr && next > readEnd) {
      // The line being written: the next update reads it whole.
      FreeHitLine(&hit);
      break;
    }
    pos = next;
    if (hit.FormatCode == kFormatReferrer || hit.FormatCode == kFormatAgent) {
      // These logs carry no time per line: the last time seen stands in.
      hit.HitTime = lastSeen;
      hit.TimeCopy = lastSeen;
    } else if (byPosition || (range != nullptr && !anythingAdded)) {
      // Every line of the day after the place reached, whatever its order
      // (lines written as requests end, a clock put back): a line of the day
      // before or after is passed over, and a line well after the day ends
      // the reading.
      if (hit.HitTime > record->end) {
        FreeHitLine(&hit);
        if (hit.HitTime - record->end > kLineOrderSlack) {
          // The log has gone on well past the day: the day is complete.
          range->pastDay = true;
          break;
        }
        continue;
      }
      if (hit.HitTime < record->start) {
        FreeHitLine(&hit);
        continue;
      }
      lastSeen = hit.HitTime;
    } else {
      if (anythingAdded && hit.HitTime == from) {
        FreeHitLine(&hit);
        continue;
      }
      if (hit.HitTime > limit) {
        FreeHitLine(&hit);
        break;
      }
      lastSeen = hit.HitTime;
    }
    if (range != nullptr) {
      range->stopOffset = pos;
      if (hit.HitTime > range->newest) range->newest = hit.HitTime;
    }
    std::memset(hit.Server, 0, sizeof hit.Server);
    if (hit.ServerAddress != nullptr && std::strcmp(hit.ServerAddress, "-") != 0)
      CopyHitText(hit.Server, sizeof hit.Server, hit.ServerAddress);
    hit.Reserved2 = 1;
    const int queued = QueueHitForDNS(&run->dns, &hit);
    if (queued == 0 || queued == 3) {
      if (queued == 0) FreeHitLine(&hit);
      result = 3;
      break;
    }
    if (g_engine.abortFlag != 0) {
      result = 4;
      break;
    }
    if (CheckDNS(&run->dns) == 3) {
      result = 3;
      break;
    }
    if (g_engine.abortFlag != 0) {
      result = 4;
      break;
    }
    result = 2;
    ++records;
    uint64_t span = limitOffset > begin ? limitOffset - begin : 1;
    uint64_t done = pos > begin ? pos - begin : 0;
    if (done > span) done = span;
    uint64_t p = done * 100 / span / fileCount + uint64_t{fileIndex} * 100 / fileCount;
    if (p > 100) p = 100;
    percent = static_cast<uint32_t>(p);
    if (percent > g_highestPercent) g_highestPercent = percent;
    const uint64_t now = kv::TickCount64();
    if (now - lastRateTick >= 500 && now > startTick) {
      lastRateTick = now;
      rate = static_cast<uint32_t>(done * 1000 / (now - startTick));
    }
    if (IsCancelAnswer(CallClientCallback(0, slot, name, records, static_cast<int32_t>(percent), rate))) {
      g_engine.abortFlag = 1;
      result = 4;
      break;
    }
    if (status != nullptr && ++g_statusRecords % kStatusEvery == 0)
      SendStatus(status, 5673, std::to_string(g_statusRecords));
  }
  if (source != kNoLogSource) CloseLogSource(source);
  return result;
}

namespace {

// The place a day reached in its log, kept in the spare bytes of its master
// record: a mark, the file's device and inode, the offset after the last
// line read and a hash of the bytes before it (a file emptied in place and
// written again is not taken for the one read).
struct LogPlace {
  bool known = false;
  uint32_t device = 0;
  uint64_t inode = 0;
  uint64_t offset = 0;  // IdentifyLog: the file's size
  uint32_t hash = 0;
};

constexpr uint32_t kPlaceHashBytes = 256;

// FNV-1a of the up to 256 bytes before `offset` in the log; false when they
// cannot be read.
bool HashBeforePlace(const char* path, uint64_t offset, uint32_t* hash) {
  const int fd = ::open(kv::ResolvePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t buffer[kPlaceHashBytes];
  const uint64_t from = offset > kPlaceHashBytes ? offset - kPlaceHashBytes : 0;
  const size_t want = static_cast<size_t>(offset - from);
  const ssize_t n = want > 0 ? ::pread(fd, buffer, want, static_cast<off_t>(from)) : 0;
  ::close(fd);
  if (n < 0 || static_cast<size_t>(n) != want) return false;
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < want; ++i) h = (h ^ buffer[i]) * 16777619u;
  *hash = h;
  return true;
}

constexpr uint8_t kPlaceMark[4] = {'L', 'P', 'O', 'S'};

uint64_t Get64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

LogPlace StoredLogPlace(const MasterRecord& record) {
  LogPlace place;
  // Only an open day that holds records has a place to go on from.
  if (std::memcmp(record.reserved, kPlaceMark, 4) != 0 || record.lastAdded < record.start ||
      record.lastAdded > record.end)
    return place;
  place.known = true;
  place.device = static_cast<uint32_t>(Get64(record.reserved + 4) & 0xFFFFFFFFu);
  place.inode = Get64(record.reserved + 8);
  place.offset = Get64(record.reserved + 16);
  place.hash = static_cast<uint32_t>(Get64(record.reserved + 24) & 0xFFFFFFFFu);
  return place;
}

void SetStoredLogPlace(MasterRecord* record, const LogPlace& place) {
  std::memset(record->reserved, 0, sizeof record->reserved);
  if (!place.known) return;
  std::memcpy(record->reserved, kPlaceMark, 4);
  uint8_t word[8];
  Put64(word, place.device);
  std::memcpy(record->reserved + 4, word, 4);
  Put64(record->reserved + 8, place.inode);
  Put64(record->reserved + 16, place.offset);
  Put64(word, place.hash);
  std::memcpy(record->reserved + 24, word, 4);
}

// A local log file's device, inode and size; false for any other log.
bool IdentifyLog(const char* path, LogPlace* place) {
  struct stat info {};
  if (path == nullptr || ::stat(kv::ResolvePath(path).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  place->device = static_cast<uint32_t>(info.st_dev ^ (static_cast<uint64_t>(info.st_dev) >> 32));
  place->inode = info.st_ino;
  place->offset = static_cast<uint64_t>(info.st_size);
  return true;
}

// The offset after the last line end within the first `size` bytes of the
// log (0 when it has none).
uint64_t WholeLinesEnd(const char* path, uint64_t size) {
  const int fd = ::open(kv::ResolvePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buffer[4096];
  uint64_t end = size;
  uint64_t found = 0;
  while (end > 0 && found == 0) {
    const uint64_t from = end > sizeof buffer ? end - sizeof buffer : 0;
    const ssize_t n = ::pread(fd, buffer, static_cast<size_t>(end - from), static_cast<off_t>(from));
    if (n <= 0) break;
    for (ssize_t i = n; i > 0; --i) {
      if (buffer[i - 1] == '\n' || buffer[i - 1] == '\r') {
        found = from + static_cast<uint64_t>(i);
        break;
      }
    }
    end = from;
  }
  ::close(fd);
  return found;
}

}  // namespace

int AddNewRecords(DravelEntry* profile, uint32_t slot, MasterRecord* record, RealtimeStore* store,
                  const char* location, RealtimeStatusFn status, uint64_t* bytesTaken, uint32_t* detail) {
  uint32_t dummy = 0;
  if (detail == nullptr) detail = &dummy;
  if (bytesTaken != nullptr) *bytesTaken = 0;
  *detail = kDayNothingToAdd;
  if (profile == nullptr || record == nullptr || store == nullptr || location == nullptr) return 0;
  const DaySlotsOnly daySlots;
  RunPtr run = NewRun(slot, profile);
  if (!run) return 0;
  uint16_t count = 0;
  LogListSummary summary{};
  LogNameEntry** list = BuildLogFileList(slot, profile, location, &count, &summary, 1);
  if (list == nullptr || count == 0) {
    FreeLogFileList(list, count);
    return 0;
  }
  const std::string profilePath = ProfileFilePath(profile);
  int loaded = LoadPeriodDatabase(record, store, run.get(), nullptr, profilePath.c_str());
  if (loaded == kDbBad) {
    // A damaged day is told and read again from the logs, so that it does
    // not stop the days after it; the save replaces what is stored.
    char name[kIntervalNameSize];
    FormatIntervalName(kPeriodDay, record->start, name, sizeof name);
    DisplayReportError(("The analysis database of " + std::string(name) +
                        " is damaged; the day is read again from the logs.")
                           .c_str());
    record->lastAdded = 0;
    std::memset(record->reserved, 0, sizeof record->reserved);
    // Into a context of its own: the failed load may have filled counters.
    FreeReportContext(run.get());
    loaded = LoadPeriodDatabase(record, store, run.get(), nullptr, profilePath.c_str());
  }
  const bool ready = loaded == kDbLoaded ||
                     ((loaded == kDbMissing || loaded == kDbEmpty) && RunContext(run.get()) != nullptr &&
                      CreateTablesForHandle(run.get()) == 1);
  if (!ready) {
    FreeLogFileList(list, count);
    return 0;
  }

  uint32_t newest = record->lastAdded;
  bool dayComplete = false;
  uint32_t result = kDayNothingNew;
  uint64_t added = 0;
  // A store with one local log keeps the place its day reached in the log,
  // and reads on from there.
  LogPlace place{};
  const bool keepsPlace = count == 1 && list[0] != nullptr &&
                          (store->kind == kStoreFiles || !OdbcPlaceFile(profile, false).empty()) &&
                          IdentifyLog(list[0]->name, &place);
  if (keepsPlace) {
    if (store->kind == kStoreOdbc) ReadOdbcPlace(profile, record);
    const LogPlace stored = StoredLogPlace(*record);
    LogRange range;
    range.wholeLinesEnd = WholeLinesEnd(list[0]->name, place.offset);
    if (stored.known && stored.device == place.device && stored.inode == place.inode) {
      // The same file: on from the place reached, or from its start when it
      // no longer holds what was read (emptied in place by a rotation and
      // written again).
      uint32_t hash = 0;
      range.byPosition = true;
      range.begin = stored.offset <= place.offset && HashBeforePlace(list[0]->name, stored.offset, &hash) &&
                            hash == stored.hash
                        ? stored.offset
                        : 0;
    }
    uint64_t beganAt = 0;
    const int r =
        AddToCurrentDatabase(slot, record, list[0]->name, record->end, 0, 1, run.get(), status, &beganAt, &range);
    if (r == 4 || g_engine.abortFlag != 0) {
      result = kDayCancelled;
    } else if (r == 3 || r == 0) {
      result = kDayNothingToAdd;
    } else {
      if (r == 2) {
        result = kDayAdded;
        added = range.stopOffset > beganAt ? range.stopOffset - beganAt : 0;
      }
      place.offset = range.stopOffset;
      place.known = HashBeforePlace(list[0]->name, place.offset, &place.hash);
      if (range.pastDay) {
        dayComplete = true;
        newest = record->end + 1;
      } else if (range.newest > newest) {
        // Open until the log goes on past the day.
        newest = std::min(range.newest, record->end - 1);
      }
    }
  }
  // The log written now is the one with the newest record, wherever its
  // name stands in the list ("access.log" lists before "access.log.1").
  int newestIndex = count - 1;
  if (!keepsPlace && count > 1) {
    uint32_t newestTime = 0;
    for (uint16_t i = 0; i < count; ++i) {
      const uint32_t t = list[i] != nullptr ? NewestRecordTime(run.get(), list[i]->name) : 0;
      if (t >= newestTime) {
        newestTime = t;
        newestIndex = i;
      }
    }
  }
  for (uint16_t i = 0; i < count && !keepsPlace; ++i) {
    if (list[i] == nullptr) continue;
    uint32_t ends = 0;
    uint64_t stopOffset = 0;
    const uint32_t t = FindLastUniqueDate(run.get(), record, list[i]->name, i == newestIndex ? 1 : 0, &ends, &stopOffset);
    if (g_engine.abortFlag != 0) {
      result = kDayCancelled;
      break;
    }
    if (t > newest) newest = t;
    if (ends != 0) dayComplete = true;
    if (t != 0 && t > record->lastAdded) {
      uint64_t beganAt = 0;
      const int r = AddToCurrentDatabase(slot, record, list[i]->name, t, i, count, run.get(), status, &beganAt);
      if (r == 4) {
        result = kDayCancelled;
        break;
      }
      if (r == 3) {
        if (result != kDayAdded) result = kDayNothingToAdd;
        added = 0;
      } else if (r == 2) {
        result = kDayAdded;
        added += (stopOffset > beganAt ? stopOffset - beganAt : 0) + 1;
      }
    }
  }
  *detail = result;
  FreeLogFileList(list, count);

  if (result == kDayNothingToAdd || result == kDayCancelled) {
    CancelDNSFifo();
    return 0;
  }
  // Every queued hit is passed on before the day is saved.
  for (;;) {
    const int r = CheckDNS(&run->dns);
    if (r == 3) {
      // The database refused a hit: the day is not saved, so that its
      // record stays where it was and the same records are added again.
      CancelDNSFifo();
      *detail = kDayNothingToAdd;
      return 0;
    }
    if (r != 1 && r != 2) break;
    kv::Sleep(10);
    if (g_engine.abortFlag != 0) {
      CancelDNSFifo();
      *detail = kDayCancelled;
      return 0;
    }
  }
  if (SettleHitTables(RunContext(run.get())) == 0) {
    // As a refused hit above: the day is not saved.
    *detail = kDayNothingToAdd;
    return 0;
  }

  // Where the next update goes on (nothing for a day whose store does not
  // keep it).
  SetStoredLogPlace(record, keepsPlace ? place : LogPlace{});
  // A time at or past the day's end completes the day.
  if (newest >= record->end) {
    if (newest > record->end) dayComplete = true;
    record->lastAdded = record->end + 1;
    if (dayComplete) *detail = kDayComplete;
  } else {
    record->lastAdded = newest;
  }
  if (result == kDayAdded) {
    const int saved = SavePeriodDatabase(record, store, run.get());
    if (saved == kDbFileError) {
      *detail = kDayWriteFailed;
      ReportDatabaseWriteError();
      return 0;
    }
    if (saved == kDbCancelled) {
      *detail = kDayCancelled;
      return 0;
    }
    if (saved == kDbOdbcError) {
      // The store refused the day (its rows are as they were): a failure,
      // told as a failed write is, with the data source as its cause.
      *detail = kDayWriteFailed;
      ReportDatabaseWriteError(
          "The ODBC data source did not store the day (the connection was lost or the database refused it; its "
          "own message is above).");
      return 0;
    }
    *detail = (saved == kDbDone && dayComplete) ? kDayComplete : static_cast<uint32_t>(saved);
  }
  if (bytesTaken != nullptr) *bytesTaken = added;
  return 1;
}

int UpdateRealtimeDatabase(const char* location, DravelEntry* profile, uint32_t slot, uint64_t* bytesTaken,
                           uint32_t* upToDate) {
  uint32_t dummy = 0;
  if (upToDate == nullptr) upToDate = &dummy;
  if (bytesTaken != nullptr) *bytesTaken = 0;
  *upToDate = 0;
  if (profile == nullptr || profile->RealtimeAnalysis == 0) return 0;
  const std::string dataFile = ProfileDataFile(profile);
  uint32_t first = 0, last = 0;
  if (LogFilesTimeSpan(profile, location, &first, &last) != 1) {
    *upToDate = 1;
    // Logs without a dated record leave nothing to add; no log at all is a
    // failure, not an update.
    uint16_t count = 0;
    LogListSummary summary{};
    LogNameEntry** list = BuildLogFileList(slot, profile, location, &count, &summary, 1);
    FreeLogFileList(list, count);
    if (count == 0) {
      DisplayReportError(("No log file is found at " + std::string(location != nullptr ? location : "") + ".").c_str());
      return 0;
    }
    return 1;
  }
  if (first == 0 || last == 0) {
    *upToDate = 1;
    return 1;
  }
  profile->FirstLogTime = first;
  profile->LastLogTime = last;
  RealtimeStore* store = OpenRealtimeStore(profile, dataFile.c_str(), first, last, 1);
  if (store == nullptr) {
    *upToDate = 1;
    return 0;
  }
  MasterRecord record{};
  if (FindFirstIncompleteRecord(store, profile, &record) != 1) {
    // Every day is complete.
    *upToDate = 1;
    ReleaseRealtimeStore(store);
    return 1;
  }
  g_highestPercent = 0;
  uint32_t detail = 0;
  const int step = AddNewRecords(profile, slot, &record, store, location, nullptr, bytesTaken, &detail);
  if (step == 0 && (detail == kDayNothingToAdd || detail == kDayWriteFailed)) {
    *upToDate = 1;
    ReleaseRealtimeStore(store);
    return detail == kDayWriteFailed ? 0 : 1;
  }
  if (step == 1) {
    *upToDate = detail == kDayComplete ? 0 : 1;
    const int written = WriteBackDay(store, profile, &record, 1);
    ReleaseRealtimeStore(store);
    if (written != 1) {
      *upToDate = 1;
      ReportDatabaseWriteError();
    }
    return written;
  }
  if (detail != kDayCancelled) ReleaseRealtimeStore(store);
  return 1;
}

int OpenRealtimeDay(RealtimeStore* store, const MasterRecord* record, ReportHandle* day, ReportHandle* source,
                    const char* profileFile, const char* runText) {
  const int loaded = LoadPeriodDatabase(record, store, day, source, profileFile);
  if (loaded == kDbBad || RunContext(day) == nullptr) return kRealtimeReportBadDay;
  if (loaded != kDbLoaded && CreateTablesForHandle(day) != 1) return kRealtimeReportBadDay;
  AnalysisContext* context = RunContext(day);
  std::snprintf(context->outputPath, sizeof context->outputPath, "%s", runText != nullptr ? runText : "");
  day->startTime = record->start;
  day->endTime = record->end;
  FormatRangeTextFor(context, record->start, record->end);
  SetIntervalSlots(kPeriodDay, context);
  context->reportStart = record->start;
  context->slotOrigin = record->start;
  context->reportEnd = record->end;
  return kRealtimeReportOk;
}

namespace {

// Adds to a loaded day, for the report only, the log records after its last
// added time: the newest second of the newest log, which an update that goes
// on by time (a location of several logs) holds back because more records
// may still be written in it, or a line still being written. Nothing is
// stored.
// 1, or 0 when the client cancelled or the day refused a record.
int AddHeldBackRecords(ReportHandle* day, const MasterRecord& record, DravelEntry* profile, const char* location) {
  const DaySlotsOnly daySlots;
  uint16_t count = 0;
  LogListSummary summary{};
  LogNameEntry** list = BuildLogFileList(day->slot, profile, location, &count, &summary, 1);
  if (list == nullptr || count == 0) {
    FreeLogFileList(list, count);
    return 1;
  }
  int result = 1;
  for (uint16_t i = 0; i < count && result == 1; ++i) {
    if (list[i] == nullptr) continue;
    uint64_t began = 0;
    const int r = AddToCurrentDatabase(day->slot, &record, list[i]->name, record.end, i, count, day, nullptr, &began);
    if (r == 4) result = 0;
  }
  FreeLogFileList(list, count);
  // Every queued record reaches the day before it is merged.
  for (;;) {
    const int r = CheckDNS(&day->dns);
    if (r == 3) {
      result = 0;
      break;
    }
    if (r != 1 && r != 2) break;
    kv::Sleep(10);
    if (g_engine.abortFlag != 0) {
      result = 0;
      break;
    }
  }
  if (result == 0) CancelDNSFifo();
  if (SettleHitTables(RunContext(day)) == 0) result = 0;
  return result;
}

}  // namespace

int DoRealtimeReport(DravelEntry* profile, const char* profileFile, uint32_t rangeStart, uint32_t rangeEnd,
                     const char* runText, ReportHandle* run, RealtimeStatusFn status, int updateOnly) {
  if (profile == nullptr || run == nullptr) return kRealtimeReportStopped;
  if (rangeEnd % 86400 == 0 && rangeEnd != 0) --rangeEnd;
  ResetRealtimeProgress();
  g_engine.abortFlag = 0;
  if (profile->PellavarFlag == 0) return kRealtimeReportNoStorage;

  const std::string dataFile = profileFile != nullptr ? profileFile : ProfileDataFile(profile);
  SetReportWorkPaths(run, ProfileDirectory().c_str());
  const std::string location = RealtimeLogLocation(profile);
  uint32_t logsFirst = 0xFFFFFFFFu, logsLast = 0;
  const bool logsKnown = LogFilesTimeSpan(profile, location.c_str(), &logsFirst, &logsLast) == 1;
  // The report names the range asked for, cut to the days that hold data.
  const uint32_t askedStart = rangeStart, askedEnd = rangeEnd;
  // The range never reaches beyond what the stored days and the logs hold.
  {
    uint32_t low = logsKnown ? logsFirst : profile->RealtimeFirstTime;
    if (logsKnown && profile->RealtimeFirstTime != 0 && profile->RealtimeFirstTime < low)
      low = profile->RealtimeFirstTime;
    if (rangeStart < low) rangeStart = low;
    uint32_t high = profile->RealtimeLastTime > logsLast ? profile->RealtimeLastTime : logsLast;
    if (rangeEnd > high) rangeEnd = high;
  }

  // Nothing of the range lies within the data.
  if (rangeStart > rangeEnd) return updateOnly != 0 ? kRealtimeReportOk : kRealtimeReportNoData;

  RealtimeStore* store = OpenRealtimeStore(profile, dataFile.c_str(), rangeStart, rangeEnd, 0);
  // A file store this process cannot write (or that another update holds)
  // is reported on as it stands, and the report says it lacks what the
  // logs added since.
  const bool readOnly = store == nullptr && profile->PellavarFlag == kStoreFiles && updateOnly == 0 &&
                        (store = OpenRealtimeStoreToRead(profile, dataFile.c_str())) != nullptr;
  if (store == nullptr) {
    g_engine.summaryErrorText = "the stored days cannot be opened";
    return kRealtimeReportStoreError;
  }
  if (readOnly) {
    ReportDatabaseWriteError(
        "The stored days cannot be brought up to date now; the report holds what they hold, without the logs' "
        "newer records.");
  }
  MasterRecord record{};
  uint32_t firstDay = 0;
  for (;; ++firstDay) {
    if (ReadMasterRecord(store, &record) != 1) {
      ReleaseRealtimeStore(store);
      return kRealtimeReportStoreError;
    }
    if (record.end >= rangeStart) break;
  }
  uint32_t lastDay = firstDay;
  while (ReadMasterRecord(store, &record) == 1 && record.start < rangeEnd) ++lastDay;

  // Update pass: the open days of the range that the logs reach.
  for (uint32_t day = firstDay; day <= lastDay && !readOnly; ++day) {
    if (SeekMasterRecord(store, day) != 1 || ReadMasterRecord(store, &record) != 1) break;
    const bool overlaps = logsKnown && record.end >= logsFirst && record.start <= logsLast;
    const bool open = record.lastAdded == 0 || record.lastAdded <= record.end;
    if (!overlaps || !open) continue;
    StepBackMasterRecord(store);
    SendStatus(status, 5673, "0");
    g_highestPercent = 0;
    uint32_t detail = 0;
    uint64_t bytes = 0;
    const int step = AddNewRecords(profile, run->slot, &record, store, location.c_str(), status, &bytes, &detail);
    if (detail == kDayCancelled) {
      ReleaseRealtimeStore(store);
      CancelDNSFifo();
      return kRealtimeReportStopped;
    }
    // A day whose record cannot be written back is not up to date: the
    // report says it lacks the day's new records.
    if (WriteBackDay(store, profile, &record, step) != 1) ReportDatabaseWriteError();
  }

  if (updateOnly != 0) {
    ReleaseRealtimeStore(store);
    return kRealtimeReportOk;
  }
  if (g_engine.abortFlag != 0 || IsCancelAnswer(CallClientCallback(0, run->slot, nullptr, 0, -1, 0))) {
    ReleaseRealtimeStore(store);
    CancelDNSFifo();
    return kRealtimeReportStopped;
  }

  // Report pass: every day of the range merged into the report's database.
  std::snprintf(run->language, sizeof run->language, "ENGLISH");
  {
    const char* slash = std::strrchr(dataFile.c_str(), '\\');
    const char* slash2 = std::strrchr(dataFile.c_str(), '/');
    if (slash2 != nullptr && (slash == nullptr || slash2 > slash)) slash = slash2;
    std::snprintf(run->profileFile, sizeof run->profileFile, "%s", slash != nullptr ? slash + 1 : dataFile.c_str());
  }
  {
    const uint32_t firstDayStart = GetIntervalStart(kPeriodDay, rangeStart);
    const uint32_t lastDayEnd = GetIntervalEnd(kPeriodDay, rangeEnd);
    run->startTime = askedStart > firstDayStart ? askedStart : firstDayStart;
    run->endTime = askedEnd < lastDayEnd ? askedEnd : lastDayEnd;
  }
  run->profile = profile;
  run->kind = kReportKindAnalysis;
  FreeReportContext(run);
  if (SetUpAnalysisContext(run, 0) != 1 || CreateTablesForHandle(run) != 1) {
    ReleaseRealtimeStore(store);
    return kRealtimeReportStopped;
  }
  AnalysisContext* context = RunContext(run);
  std::snprintf(context->outputPath, sizeof context->outputPath, "%s", runText != nullptr ? runText : "");
  if (run->realtimeOption == 1) {
    SetMergedRangeSlots(run);
    FormatRangeText(run);
  }
  RunPtr dayRun = NewRun(run->slot, profile, 0);
  if (!dayRun) {
    ReleaseRealtimeStore(store);
    return kRealtimeReportStopped;
  }
  std::snprintf(dayRun->language, sizeof dayRun->language, "ENGLISH");
  std::memcpy(dayRun->profileDir, run->profileDir, sizeof run->profileDir);
  std::memcpy(dayRun->viewFolder, run->viewFolder, sizeof run->viewFolder);

  // The hours of the range's first day before the range starts: found once
  // for the range, so that every later day's hours follow on from them.
  uint32_t firstSlot = 0;
  bool partialFirstDay = false;
  if (SeekMasterRecord(store, firstDay) == 1 && ReadMasterRecord(store, &record) == 1 && rangeStart > record.start) {
    partialFirstDay = true;
    // The day's hour that holds the merged range's slot origin lands in its
    // first slot (the rule of CountSlotsBeforeStart for a day's hourly slots).
    const uint32_t origin = context->slotOrigin;
    firstSlot = origin > record.start ? (origin - record.start) / 3600 : 0;
    if (firstSlot > 24) firstSlot = 24;
  }
  int outcome = kRealtimeReportNoData;
  const uint32_t dayCount = lastDay - firstDay + 1;
  for (uint32_t day = firstDay; day <= lastDay; ++day) {
    const uint32_t index = day - firstDay;
    const uint32_t from = index * 100 / dayCount;
    const uint32_t to = (index + 1) * 100 / dayCount;
    if (IsCancelAnswer(CallClientCallback(0, run->slot, nullptr, 0, static_cast<int32_t>(from), 0))) break;
    if (SeekMasterRecord(store, day) != 1 || ReadMasterRecord(store, &record) != 1) {
      ReleaseRealtimeStore(store);
      return kRealtimeReportStoreError;
    }
    char name[kIntervalNameSize];
    FormatIntervalName(kPeriodDay, record.start, name, sizeof name);
    SendStatus(status, 5674, name);
    // The open day that holds the logs' newest second gets the records the
    // update held back.
    const bool heldBack = logsKnown && record.start <= logsLast && logsLast <= record.end &&
                          record.lastAdded <= record.end && record.lastAdded < logsLast;
    if (record.lastAdded == 0 && !heldBack) continue;
    FreeReportContext(dayRun.get(), 0);
    const int opened = OpenRealtimeDay(store, &record, dayRun.get(), run, ProfileFilePath(profile).c_str(), runText);
    if (opened != kRealtimeReportOk) {
      // The report would lack the day: it is not written, and the day is
      // named.
      g_engine.summaryErrorText = "the stored day " + std::string(name) + " is damaged (an update reads an open day " +
                                  "again; a complete one needs its days deleted and built again)";
      ReleaseRealtimeStore(store);
      return opened;
    }
    if (heldBack && AddHeldBackRecords(dayRun.get(), record, profile, location.c_str()) != 1) {
      ReleaseRealtimeStore(store);
      CancelDNSFifo();
      return kRealtimeReportStopped;
    }
    const bool partial = index == 0 && partialFirstDay;
    const int merged = MergeReportDatabases(run, dayRun.get(), index, from, to, partial ? 1 : 0, 0, firstSlot,
                                            record.start);
    FreeReportContext(dayRun.get(), 0);
    if (merged != 1) {
      ReleaseRealtimeStore(store);
      return kRealtimeReportStopped;
    }
    outcome = kRealtimeReportOk;
  }
  dayRun.reset();
  ReleaseRealtimeStore(store);
  SetMergedSectionFlags(run);
  CallClientCallback(0, run->slot, nullptr, 0, 100, 0);
  return outcome;
}

int DeleteRealtimeData(DravelEntry* profile) {
  if (profile == nullptr || profile->PellavarFlag == 0) return 1;
  if (profile->PellavarFlag == kStoreOdbc) {
    CloseRealtimeStore();
    if (LockOdbcStoreOf(profile) < 0) return 0;
    const int dropped = DropODBCTables(profile);
    UnlockRealtimeFolder();
    if (dropped == 1) {
      const std::string place = OdbcPlaceFile(profile, false);
      if (!place.empty()) kv::FileDelete(place.c_str());
      return 1;
    }
    DisplayReportError("The tables of the ODBC data source cannot be dropped (the data source cannot be reached or "
                       "refused).");
    return 0;
  }
  if (profile->PellavarFlag != kStoreFiles) return 1;
  // The records are read as they are: opening the store would first widen
  // master.dat to the profile's log times only to delete it.
  CloseRealtimeStore();
  const std::string dataFile = ProfileDataFile(profile);
  char base[VRN_REALTIME_DIR_SIZE] = "";
  char daily[VRN_REALTIME_DIR_SIZE] = "";
  if (ConvertDravelFileToRealTimeDir(profile, dataFile.c_str(), base, daily, 0) != 1) return 0;
  if (!kv::FolderExists(daily)) {
    kv::RemoveFolder(base);
    return 1;
  }
  // Not while another update works on the days.
  if (LockRealtimeFolder(daily) < 0) {
    DisplayReportError(("The realtime database in " + kv::ResolvePath(daily) +
                        " is in use by another update; try again when it has ended.")
                           .c_str());
    return 0;
  }
  const std::string master = std::string(daily) + "\\master.dat";
  std::vector<MasterRecordFields> records;
  ReadMasterFile(master, &records);
  for (const MasterRecordFields& r : records) {
    // A stored name is a plain file name: one naming a folder is not
    // followed out of the realtime folder.
    if (r.fileName[0] == '\0' || std::strpbrk(r.fileName, "\\/:") != nullptr || std::strcmp(r.fileName, "..") == 0)
      continue;
    const std::string file = std::string(daily) + "\\" + r.fileName;
    kv::FileDelete(file.c_str());
    // A save that never ended leaves its new file beside the day's.
    kv::FileDelete((file + ".new").c_str());
  }
  kv::FileDelete(master.c_str());
  kv::RemoveFolder(daily);
  UnlockRealtimeFolder();
  kv::RemoveFolder(base);
  if (kv::PathExists(master.c_str()) || kv::FolderExists(daily)) {
    DisplayReportError(("The stored days in " + kv::ResolvePath(daily) + " cannot be deleted.").c_str());
    return 0;
  }
  return 1;
}

std::string RealtimeLogLocation(const DravelEntry* profile) {
  if (profile == nullptr) return "";
  // A "file:///" location is read as the report run reads it.
  const std::string path(profile->LogFilePath, strnlen(profile->LogFilePath, sizeof profile->LogFilePath));
  char parsed[kLogNameWidth] = "";
  const uint16_t kind = ParseLogLocation(parsed, sizeof parsed, path.c_str(), nullptr, 0, nullptr);
  if (kind == kLocationLocal) return ResolveLocalLogPath(parsed, ProfileDirectory(), kv::Now());
  return path;
}

}  // namespace vrn

// ---- the client's realtime update calls --------------------------------------------

using vrn::g_engine;

namespace {

// Set-up and end shared by the realtime update exports.
void BeginRealtimeCall(VrnProgressCallback progress) {
  ++g_engine.realtimeNesting;
  g_engine.abortFlag = 0;
  g_engine.percentCallback = nullptr;
  g_engine.yieldCallback = nullptr;
  g_engine.progressCallback = progress;
}

void EndRealtimeCall() {
  g_engine.abortFlag = 0;
  g_engine.progressCallback = nullptr;
  g_engine.percentCallback = nullptr;
  g_engine.yieldCallback = g_engine.savedYieldCallback;
  vrn::EndRealtimeUpdate();
}

// The last update step failed (told through the error display).
bool g_updateFailed = false;

bool RealtimeOn(const DravelEntry* profile) { return profile->PellavarFlag != 0 && profile->RealtimeAnalysis != 0; }

// One profile's update with the client calls around it; false when the
// client cancelled or the update was aborted.
bool UpdateOneProfile(uint32_t index, uint32_t slot, DravelEntry* profile) {
  if (vrn::CallClientCallback(0, index, nullptr, 0, -1, 0) == 2 || g_engine.abortFlag != 0) return false;
  const std::string location = vrn::RealtimeLogLocation(profile);
  uint64_t bytes = 0;
  if (vrn::UpdateRealtimeDatabase(location.c_str(), profile, slot, &bytes, &profile->RealtimeUpToDate) == 0)
    g_updateFailed = true;
  if (g_engine.abortFlag != 0) return false;
  return vrn::CallClientCallback(0, index, nullptr, 0, -1, 0) != 2 && g_engine.abortFlag == 0;
}

}  // namespace

VORNIC_API uint32_t VRN_UpdateRealtime(uint32_t slot, DravelEntry* profile, VrnProgressCallback progress) {
  BeginRealtimeCall(progress);
  bool cancelled = false;
  g_updateFailed = false;
  if (profile != nullptr && RealtimeOn(profile)) {
    profile->RealtimeUpToDate = 0;
    cancelled = !UpdateOneProfile(slot, slot, profile);
  } else if (profile != nullptr) {
    profile->RealtimeUpToDate = 1;
  }
  EndRealtimeCall();
  if (cancelled) return VRN_REALTIME_CANCELLED;
  if (g_updateFailed) return VRN_REALTIME_FAILED;
  return profile == nullptr || profile->RealtimeUpToDate != 0 ? VRN_REALTIME_UP_TO_DATE : VRN_REALTIME_MORE_WORK;
}

VORNIC_API int16_t OLD_UpdateRealtime(uint16_t count, DravelEntry** profiles, VrnProgressCallback progress) {
  BeginRealtimeCall(progress);
  for (uint32_t pass = 0; profiles != nullptr && g_engine.abortFlag == 0; ++pass) {
    bool stop = false;
    for (uint16_t i = 0; i < count && !stop; ++i) {
      DravelEntry* profile = profiles[i];
      if (profile == nullptr) continue;
      if (!RealtimeOn(profile)) {
        profile->RealtimeUpToDate = 1;
        continue;
      }
      if (pass % 100 == 0) profile->RealtimeUpToDate = 0;
      if (vrn::CallClientCallback(0, i, nullptr, 0, -1, 0) == 2 || g_engine.abortFlag != 0) {
        stop = true;
        break;
      }
      if (profile->RealtimeUpToDate != 0) continue;
      if (!UpdateOneProfile(i, i, profile)) stop = true;
    }
    if (stop) break;
    bool work = false;
    for (uint16_t i = 0; i < count; ++i)
      if (profiles[i] != nullptr && profiles[i]->RealtimeUpToDate == 0) work = true;
    if (!work) g_engine.abortFlag = 1;
  }
  EndRealtimeCall();
  return 0;
}

VORNIC_API int32_t VRN_DeleteRealtimeDatabase(DravelEntry* profile) {
  if (profile != nullptr && profile->PellavarFlag != 0) return vrn::DeleteRealtimeData(profile);
  return 1;
}
