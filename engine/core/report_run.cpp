// Report runs: the outer layer (the ReportHandle and its accessors) and the
// inner layer (the engine-wide file list and open log source).
#include "engine/core/report_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <vornic/odbc.h>
#include <vornic/report.h>

#include "engine/core/engine_state.h"
#include "engine/core/filter_eval.h"
#include "engine/core/hit_text_view.h"
#include "engine/core/log_file_list.h"
#include "engine/core/log_reader.h"
#include "engine/core/profile.h"
#include "engine/core/read_ahead.h"
#include "engine/core/w3c_format.h"
#include "engine/database/analysis_context.h"
#include "engine/network/dns_queue.h"
#include "engine/network/remote_logs.h"
#include "engine/reports/section_table.h"
#include "platform/base/clock.h"
#include "platform/base/files.h"
#include "platform/base/memory.h"

namespace vrn {

namespace {

struct LogFileEntry {
  std::string name;      // the listed name, kept whole
  uint64_t start = 0;    // first record in the window
  uint64_t end = 0;      // start of the last record in the window
  uint32_t firstTime = 0;
  uint32_t lastTime = 0;
  uint64_t bytesBefore = 0;
};

struct RunState {
  bool open = false;            // a run exists (between create and close)
  std::vector<LogFileEntry> files;
  uint16_t current = 0;
  uint64_t total = 0;           // window bytes over all files
  LogSourceHandle source = kNoLogSource;
  bool odbc = false;            // the logs are an "odbc:" table
  // Lines of the run's logs as the reader took them (each line once, however
  // often a position is read again): all, not recognised, skipped.
  uint64_t lines = 0;
  uint64_t unrecognised = 0;
  uint64_t skipped = 0;
  uint64_t countedUpTo = 0;     // the current source is counted up to here
  // Hits in reading order: the latest time so far, and how many came after
  // a later one (each is counted at its own time all the same).
  uint32_t latestHit = 0;
  uint64_t outOfOrder = 0;
  // The current file was read up to here (atEnd: to its end); its lines
  // outside what was read are counted once (outsideCounted = index + 1).
  uint64_t stoppedAt = 0;
  bool atEnd = false;
  size_t outsideCounted = 0;
};

// Servers write a line when its request ends, so a log is in time order only
// roughly: the byte range of a window takes in the records of this many
// seconds around it, each kept or dropped by its own time.
constexpr uint32_t kOrderSlack = 3600;

RunState g_run;
uint16_t g_yieldCounter = 0;    // kept across runs
uint32_t g_lastReloadChunk = 0; // kept across runs
// The run's log read ahead of its steps (read_ahead.h); stopped
// (EndReadAhead) before anything else reads, moves or closes the run's
// source.
std::unique_ptr<ReadAhead> g_readAhead;

// Stops the reading ahead; the run takes back the source the thread reads
// now (it may have reopened the log ahead of the steps).
void EndReadAhead() {
  if (g_readAhead == nullptr) return;
  const LogSourceHandle current = g_readAhead->Stop(&g_lastReloadChunk);
  if (current != g_run.source) g_run.countedUpTo = 0;
  g_run.source = current;
  g_readAhead.reset();
}

void CloseRunSource() {
  EndReadAhead();
  if (g_run.source != kNoLogSource) CloseLogSource(g_run.source);
  g_run.source = kNoLogSource;  // never used again once closed
}

// Reads the column directive of a newly opened file. False when the file's
// "#Fields:" directive lacks the date or time column.
bool ReadColumnDirective(LogSourceHandle source) {
  int found = 0;
  if (ReadW3CFieldsHeader(source, &found) == 0) return false;
  if (found != 0) ResetLogReader();
  return true;
}

// Reopens the run's log for a read at `position`, as the steps do every so
// many bytes: the column table in force may come from a directive further
// into the file than its head, so a W3C table is kept across the reopen.
// False (and kNoLogSource) when the log will not open again.
bool ReopenRunLog(const std::string& name, uint64_t position, LogSourceHandle* source) {
  const bool w3c = InW3CMode();
  const W3CColumnTable columns = W3CColumns();
  if (*source != kNoLogSource) CloseLogSource(*source);
  *source = OpenLogSourceForReading(name.c_str());
  bool ok = *source != kNoLogSource;
  if (ok && w3c) {
    SetW3CColumns(columns);
    ResetLogReader();
  } else if (ok && !ReadColumnDirective(*source)) {
    ok = false;
  }
  if (!ok) {
    if (*source != kNoLogSource) CloseLogSource(*source);
    *source = kNoLogSource;
    return false;
  }
  SeekLogSource(*source, position, 0);
  return true;
}

// The earliest and latest time of the hits the run will take (those of each
// file's range whose own time lies in [from, to]), read through every file.
// False when there is none. The run's source is closed; the caller opens it
// again.
bool ScanRunHitTimes(uint32_t from, uint32_t to, uint32_t* earliest, uint32_t* latest) {
  CloseRunSource();
  bool any = false;
  HitRecord hit;
  std::memset(&hit, 0, sizeof hit);
  for (const LogFileEntry& e : g_run.files) {
    LogSourceHandle source = OpenLogSourceForReading(e.name.c_str());
    if (source == kNoLogSource) continue;
    if (!ReadColumnDirective(source)) {
      CloseLogSource(source);
      continue;
    }
    uint64_t pos = e.start;
    while (pos <= e.end) {
      uint64_t next = pos;
      const uint16_t r = ReadNextHit(source, pos, &hit, &next, kDefaultReadWindow);
      if (r == kReadHit) {
        const uint32_t t = hit.HitTime;
        FreeHitLine(&hit);
        if (t >= from && t <= to) {
          if (!any || t < *earliest) *earliest = t;
          if (!any || t > *latest) *latest = t;
          any = true;
        }
      } else if (r != kReadNothing) {
        break;
      }
      if (next <= pos) break;
      pos = next;
    }
    CloseLogSource(source);
  }
  return any;
}

// Counts the lines of the current file that the run did not read (before
// its range, and after where the reading stopped) as lines read, so that the
// line counts add up to the lines of the files.
void CountLinesOutsideRange() {
  if (g_run.odbc || g_run.current >= g_run.files.size() || g_run.outsideCounted == g_run.current + 1u) return;
  g_run.outsideCounted = g_run.current + 1u;
  const LogFileEntry& e = g_run.files[g_run.current];
  if (e.start == 0 && g_run.atEnd) return;
  EndReadAhead();  // the reader is this thread's alone while the file is counted
  const LogSourceHandle source = OpenLogSourceForReading(e.name.c_str());
  if (source == kNoLogSource) return;
  if (GetLogSourceKind(source) == kLogSourceFile) {
    uint64_t lines = CountSourceLines(source, 0, e.start);
    if (!g_run.atEnd && g_run.stoppedAt > e.start) lines += CountSourceLines(source, g_run.stoppedAt, ~uint64_t{0});
    g_run.lines += lines;
  }
  CloseLogSource(source);
}

// Opens a file of the list as the run's source. False when it will not open
// or its column directive is unusable (the source is then closed).
bool OpenRunFile(const LogFileEntry& entry) {
  CloseRunSource();
  g_run.source = OpenLogSourceForReading(entry.name.c_str());
  g_run.countedUpTo = 0;
  if (g_run.source == kNoLogSource) return false;
  if (!ReadColumnDirective(g_run.source)) {
    CloseRunSource();
    return false;
  }
  return true;
}

void SetError(uint16_t* errorWord, uint16_t value) {
  if (errorWord != nullptr) *errorWord = value;
}

void CopyBounded(char* field, size_t width, const char* text) {
  if (width == 0) return;
  size_t n = text != nullptr ? strnlen(text, width - 1) : 0;
  if (n > 0) std::memcpy(field, text, n);
  field[n] = '\0';
}

bool FitsIn(const char* text, size_t width) { return text == nullptr || strnlen(text, width) < width; }

const std::string& SlotProfileDir(uint16_t slot) {
  if (slot < VRN_MAX_CLIENTS && g_engine.slots[slot].inUse) return g_engine.slots[slot].profileDir;
  return ProfileDirectory();
}

bool IsTextView(uint32_t kind) { return kind != kReportKindCount && kind != kReportKindAnalysis; }

// The run behind a client handle, locked; null for anything else.
ReportHandle* LockRun(uint32_t handle) {
  if (handle == 0 || kv::GlobalSize(handle) != sizeof(ReportHandle)) return nullptr;
  auto* run = static_cast<ReportHandle*>(kv::GlobalLock(handle));
  if (run != nullptr) run->dns.handle = run;
  return run;
}

void UnlockRun(uint32_t handle) { kv::GlobalUnlock(handle); }

// Marks the run ended after a failure.
int16_t FailStep(ReportHandle* run, uint32_t handle, uint16_t* errorWord, uint16_t error) {
  run->finished = 1;
  SetError(errorWord, error);
  UnlockRun(handle);
  return -1;
}

// The lookup stage answered stop (the per-hit step refused a hit): the run
// ends as a failure with percent 100 and the step's reason (a view that
// could not be written, or an analysis database that could not take the
// hit); an analysis run's database is finished and released, as it holds
// the log only up to the refused hit.
int16_t StopRun(ReportHandle* run, uint32_t handle, uint32_t* yieldWord, uint16_t* errorWord) {
  if (yieldWord != nullptr) *yieldWord = 1;
  run->donePercent = 100;
  const uint16_t error = run->dns.stopError != 0 ? run->dns.stopError : VRN_ERR_FILE;
  if (run->kind == 6) CloseReportDatabase(run);
  return FailStep(run, handle, errorWord, error);
}

std::string DisplayName(const std::string& name) {
  const size_t markerLength = sizeof kExtractedLogMarker - 1;
  if (name.compare(0, markerLength, kExtractedLogMarker) == 0) return name.substr(markerLength);
  return name;
}

}  // namespace

uint16_t ReportRunFileCount() { return static_cast<uint16_t>(g_run.files.size()); }
LogSourceHandle ReportRunSource() { return g_run.source; }
void ResetReportRunCounters() {
  g_yieldCounter = 0;
  g_lastReloadChunk = 0;
}

namespace {

// The folder that holds a folder: without a trailing separator, cut just
// after the last "\", "/" or ":". A relative name without any separator
// lies in the current folder ("profiles" -> "./", "." -> "../").
std::string ParentFolder(std::string s) {
  if (!s.empty() && (s.back() == '\\' || s.back() == '/')) s.pop_back();
  if (s.empty()) return "/";
  const size_t at = s.find_last_of("\\/:");
  if (at != std::string::npos) {
    s.resize(at + 1);
    return s;
  }
  if (s == ".") return "../";
  if (s == "..") return "../../";
  return "./";
}

bool Holds(const std::string& folder, const char* name) { return kv::PathExists((folder + name).c_str()); }

}  // namespace

void SetReportWorkPaths(ReportHandle* run, const char* profileDir) {
  std::string dir = profileDir != nullptr ? profileDir : "";
  CopyBounded(run->profileDir, sizeof run->profileDir, dir.c_str());
  // The templates and report settings lie beside the profile folder when
  // they are there, else in the program's own kvm_log folder.
  const std::string parent = ParentFolder(run->profileDir);
  const std::string ownParent = Holds(parent, "Template") || Holds(parent, "REPORT.INI") ? parent : MainPath();
  CopyBounded(run->parentDir, sizeof run->parentDir, ownParent.c_str());
  // The search-engine file (and the pictures beside it): beside the profile
  // folder, or one folder further up as in the program folder's layout, else
  // the program folder.
  std::string grandparent = ParentFolder(parent);
  if (Holds(parent, "keywords.ini")) grandparent = parent;
  else if (!Holds(grandparent, "keywords.ini")) grandparent = EngineFolder();
  CopyBounded(run->grandparentDir, sizeof run->grandparentDir, grandparent.c_str());
}

uint16_t ReadLogRecord(uint64_t position, HitRecord* hit, uint64_t* next) {
  const ReaderLineCounts before = GetReaderLineCounts();
  const uint16_t code = ReadNextHit(g_run.source, position, hit, next, kDefaultReadWindow);
  if (position >= g_run.countedUpTo && *next > position) {
    const ReaderLineCounts after = GetReaderLineCounts();
    g_run.lines += after.lines - before.lines;
    g_run.unrecognised += after.unrecognised - before.unrecognised;
    g_run.skipped += after.skipped - before.skipped;
    g_run.countedUpTo = *next;
  }
  return code;
}

}  // namespace vrn

using namespace vrn;

// ---- inner layer --------------------------------------------------------

VORNIC_API int16_t RemoteADT_Cre8Report(uint16_t slot, DravelEntry* profile, const char* profileFile,
                                        uint32_t startTime, uint32_t endTime, uint64_t* fileStart,
                                        uint64_t* fileEnd, char* firstLocation, uint32_t clientTag,
                                        uint32_t* dnsOn, uint16_t* errorWord) {
  SetError(errorWord, 0);
  if (profile == nullptr || profileFile == nullptr || fileStart == nullptr || fileEnd == nullptr ||
      firstLocation == nullptr || dnsOn == nullptr || !FitsIn(profileFile, 260)) {
    SetError(errorWord, VRN_ERR_BAD_ARGUMENT);
    return -1;
  }
  const std::string profileDir = SlotProfileDir(slot);
  // The record is re-read: release what it held so nothing of it leaks.
  FreeFiltersForProfile(profile);
  FreeMorvane(profile->MorvaneIP);
  FreeMorvane(profile->MorvaneAuthUser);
  profile->MorvaneIP = profile->MorvaneAuthUser = nullptr;
  if (ReadDravelFile((profileDir + profileFile).c_str(), profile) != DRAVEL_READ_OK) return -1;
  *dnsOn = profile->DNSLookup;
  firstLocation[0] = '\0';

  char parsed[kLogNameWidth] = "";
  const uint16_t kind = ParseLogLocation(parsed, sizeof parsed, profile->LogFilePath, nullptr, 0, nullptr);
  std::string location;
  if (kind == kLocationLocal) {
    location = ResolveLocalLogPath(parsed, profileDir, kv::Now());
  } else if (kind == kLocationFtp || kind == kLocationHttp) {
    // A remote log is read from the local copy that VRN_OpenURL fetched
    // beforehand; taking it clears the copy's ready mark. The copies stay in
    // the profile's cache folder, where the next fetch continues from them.
    std::string copy;
    if (!TakeFetchedRemoteLog(&copy) || copy.empty()) {
      SetError(errorWord, VRN_ERR_NOT_AVAILABLE);
      return -1;
    }
    location = std::move(copy);
    CopyBounded(firstLocation, 81, std::string(FieldText(profile->LogFilePath, sizeof profile->LogFilePath)).c_str());
  } else {
    location = parsed;
  }

  g_run.odbc = kind == kLocationOdbc;
  SetLogFormatHint(profile->LogFileFormat);
  uint16_t count = 0;
  LogListSummary summary{};
  LogNameEntry** names = BuildLogFileList(clientTag, profile, location.c_str(), &count, &summary, 1);
  g_run.files.clear();
  g_run.total = 0;
  g_run.current = 0;
  CloseRunSource();
  if (names == nullptr) {
    SetError(errorWord, VRN_ERR_FILE);
    return -1;
  }

  // With no window asked, every file is read whole: a search for the range
  // of a window could end early in a file whose lines change layout or time
  // order on the way.
  const bool wholeTime = startTime == 0 && endTime >= 0xFFFFFFFEu;
  bool allEmpty = false, anyBytes = false;
  uint32_t opened = 0, unopened = 0;
  for (uint16_t i = 0; i < count; ++i) {
    if (names[i] == nullptr) continue;
    std::string name(names[i]->name, strnlen(names[i]->name, kLogNameWidth));
    LogSourceHandle source = OpenLogSourceForReading(name.c_str());
    if (source == kNoLogSource) {
      // Told with its reason, so that a log that cannot be read is not taken
      // for one that holds nothing.
      if (kind == kLocationLocal) {
        const std::string text =
            "The log " + DisplayName(name) + " cannot be opened: " + LogOpenFailure(name.c_str()) + ".";
        DisplayReportError(text.c_str());
        ++unopened;
      }
      continue;
    }
    ++opened;
    if (GetLogSourceSize(source) == 0) {
      if (!anyBytes) allEmpty = true;
    } else {
      allEmpty = false;
      anyBytes = true;
      LogFileEntry e;
      bool inWindow = false;
      if (wholeTime && GetLogSourceKind(source) == kLogSourceFile) {
        inWindow = ReadFirstHitTime(source, &e.firstTime);
        e.lastTime = e.firstTime;
        e.start = 0;
        e.end = GetLogSourceSize(source);
      } else {
        inWindow = FindLogTimeRange(source, profile, startTime, endTime, &e.start, &e.end, &e.firstTime,
                                    &e.lastTime) == 0;
        const uint32_t low = startTime > kOrderSlack ? startTime - kOrderSlack : 0;
        const uint32_t high = endTime < 0xFFFFFFFEu - kOrderSlack ? endTime + kOrderSlack : 0xFFFFFFFEu;
        uint64_t from = 0, to = 0;
        if (inWindow && FindLogTimeRange(source, profile, low, high, &from, &to, nullptr, nullptr) == 0) {
          if (from < e.start) e.start = from;
          if (to > e.end) e.end = to;
        }
      }
      if (inWindow) {
        if (kind == kLocationLocal && g_run.files.empty())
          CopyBounded(firstLocation, 260, DisplayName(name).c_str());
        e.name = std::move(name);
        e.bytesBefore = g_run.total;
        g_run.total += e.end - e.start + 1;
        g_run.files.push_back(std::move(e));
      }
    }
    CloseLogSource(source);
  }
  FreeLogFileList(names, count);

  // Ascending first times, by the engine's exchange (equal times keep the
  // order it leaves them in).
  auto& f = g_run.files;
  for (size_t i = 0; i < f.size(); ++i)
    for (size_t j = 0; j < f.size(); ++j)
      if (f[i].firstTime < f[j].firstTime) std::swap(f[i], f[j]);
  g_run.total = 0;
  for (auto& e : f) {
    e.bytesBefore = g_run.total;
    g_run.total += e.end - e.start + 1;
  }

  if (f.empty()) {
    // No listed log would open: a failure to read, not a log without records.
    SetError(errorWord, allEmpty ? VRN_ERR_NO_DATA : (opened == 0 && unopened != 0 ? VRN_ERR_FILE : 0));
    return -1;
  }
  g_run.current = 0;
  if (!OpenRunFile(f[0])) {
    SetError(errorWord, VRN_ERR_FILE);
    f.clear();
    return -1;
  }
  *fileStart = f[0].start;
  *fileEnd = f[0].end;

  if (!g_engine.networkBound) *dnsOn = 0;
  if (*dnsOn != 0) {
    if (!IsDNSCacheOpen()) OpenDNSCache(profileDir.c_str());
    if (g_engine.dnsFastMode == 0) CreateDNSWindow();
  }
  g_run.lines = g_run.unrecognised = g_run.skipped = 0;
  g_run.latestHit = 0;
  g_run.outOfOrder = 0;
  g_run.stoppedAt = f[0].start;
  g_run.atEnd = false;
  g_run.outsideCounted = 0;
  g_run.open = true;
  return 0;
}

VORNIC_API int16_t RemoteADT_GetReportRecord(DravelEntry* /*profile*/, uint16_t /*slot*/, uint16_t* /*bufferSize*/,
                                             void* hit, int32_t* pending, uint64_t* position, uint32_t /*handle*/,
                                             uint16_t* /*errorWord*/) {
  if (hit == nullptr || pending == nullptr || position == nullptr) return kReadEnd;
  EndReadAhead();  // the reader is this call's alone
  uint64_t next = *position;
  const uint16_t code = ReadLogRecord(*position, static_cast<HitRecord*>(hit), &next);
  if (code == kReadHit) *pending = 1;
  *position = next;
  return static_cast<int16_t>(code);
}

VORNIC_API int16_t RemoteADT_CloseReport(uint16_t /*slot*/, uint16_t* errorWord) {
  SetError(errorWord, 0);
  if (g_run.odbc) {
    // Releases the table's statement and connection and its prepared rows,
    // so that the next run of the profile reads the rows added since.
    const bool open = g_run.source != kNoLogSource && GetLogSourceKind(g_run.source) == kLogSourceOdbc;
    VRN_CloseODBC(open ? g_run.source : -1);
    g_run.odbc = false;
  }
  CloseRunSource();
  g_run.files.clear();
  g_run.files.shrink_to_fit();
  g_run.current = 0;
  g_run.total = 0;
  if (g_engine.dnsFastMode == 0) DestroyDNSWindow();
  g_run.open = false;
  return 0;
}

// ---- outer layer ----------------------------------------------------------

VORNIC_API int16_t VRN_Cre8Report(uint32_t clientTag, uint16_t slot, DravelEntry* profile, const char* profileFile,
                                  const char* viewCaption, char* viewFolder, uint32_t* outHandle,
                                  uint32_t lineWidth, uint16_t realtimeOption, uint32_t startTime,
                                  uint32_t endTime, uint32_t kind, uint32_t variant, const char* styleName,
                                  const char* language, const char* reportHeader, uint32_t sectionListHandle,
                                  uint16_t sectionCount, uint16_t* errorWord) {
  SetError(errorWord, 0);
  if (outHandle != nullptr) *outHandle = 0;
  if (outHandle == nullptr || profile == nullptr || profileFile == nullptr || !FitsIn(profileFile, 260) ||
      !FitsIn(viewFolder, 300) || !FitsIn(styleName, 260) || !FitsIn(language, 79) ||
      slot >= VRN_MAX_CLIENTS || !g_engine.slots[slot].inUse) {
    SetError(errorWord, VRN_ERR_BAD_ARGUMENT);
    return -1;
  }
  if (g_run.open) {
    // One run at a time: the file list and source are engine-wide.
    SetError(errorWord, VRN_ERR_BAD_ARGUMENT);
    return -1;
  }
  // The run starts on an empty queue (one that stopped leaves entries
  // behind). A lookup thread of an earlier run that still hangs is not
  // waited for: it holds its own job and socket-module reference, ends on
  // its own, and its answer is never taken.
  CancelDNSFifo();

  const KvGlobal handle = kv::GlobalAlloc(kv::kGlobalMoveable | kv::kGlobalZeroInit, sizeof(ReportHandle));
  if (handle == 0) {
    SetError(errorWord, VRN_ERR_NO_MEMORY);
    return -1;
  }
  void* memory = kv::GlobalLock(handle);
  auto* run = new (memory) ReportHandle{};
  run->clientTag = clientTag;
  run->slot = slot;
  run->profile = profile;
  run->overrideMultiHome = profile->OverrideMultiHome;
  CopyBounded(run->language, sizeof run->language, language != nullptr ? language : "ENGLISH");

  const std::string& profileDir = SlotProfileDir(slot);
  SetReportWorkPaths(run, profileDir.c_str());
  std::string folder = viewFolder != nullptr ? NormalizeLogPath(viewFolder, profileDir, kv::Now()) : "";
  if (folder.size() >= sizeof run->viewFolder) {
    run->~ReportHandle();
    kv::GlobalUnlock(handle);
    kv::GlobalFree(handle);
    SetError(errorWord, VRN_ERR_BAD_ARGUMENT);
    return -1;
  }
  if (viewFolder != nullptr) CopyBounded(viewFolder, 300, folder.c_str());
  run->dnsTimeout = GetDNSTimeout();

  CopyBounded(run->profileFile, sizeof run->profileFile, profileFile);
  // A longer caption is cut to the field, not refused (at a whole UTF-8
  // character).
  CopyBounded(run->viewCaption, sizeof run->viewCaption, viewCaption);
  for (size_t n = strlen(run->viewCaption); n > 0 && (run->viewCaption[n - 1] & 0xC0) == 0x80;) {
    size_t lead = n - 1;
    while (lead > 0 && (run->viewCaption[lead] & 0xC0) == 0x80) --lead;
    const unsigned char c = static_cast<unsigned char>(run->viewCaption[lead]);
    const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (n - lead < need) run->viewCaption[lead] = '\0';
    break;
  }
  CopyBounded(run->styleName, sizeof run->styleName, styleName);
  run->kind = kind;
  run->variant = variant;
  run->realtimeOption = realtimeOption;
  run->startTime = startTime;
  run->endTime = endTime;
  run->lineWidth = lineWidth;
  run->sectionListHandle = sectionListHandle;
  run->sectionCount = sectionCount;
  run->headerLength = kViewTextSize;

  uint16_t error = 0;
  int16_t result = RemoteADT_Cre8Report(slot, profile, profileFile, startTime, endTime, &run->fileStart,
                                        &run->fileEnd, run->firstLocation, clientTag, &run->dnsOn, &error);
  auto release = [&]() {
    ReleaseViewBuffers(run, false);
    FreeReportContext(run);
    run->~ReportHandle();
    kv::GlobalUnlock(handle);
    kv::GlobalFree(handle);
  };
  if (result != 0) {
    release();
    SetError(errorWord, error);
    return result;
  }

  InitGSWLibrary(0, g_engine.impersonationToken);
  CopyBounded(run->viewFolder, sizeof run->viewFolder, folder.c_str());
  run->openViewFiles = 0;
  run->dns.handle = run;
  run->dns.lookupSetting = run->dnsOn;
  run->dns.timeoutMs = run->dnsTimeout;
  run->dns.runKind = kind;

  if (kind == kReportKindAnalysis && (run->startTime == 0 || run->endTime >= 0xFFFFFFFEu)) {
    // A window left open at an end (by default the whole of time) ends at
    // the earliest or latest hit of the logs there, so that the report's
    // time grid, range and per-day figures are those of the log, whatever
    // the order of its lines.
    uint32_t first = 0xFFFFFFFFu, last = 0;
    if (ScanRunHitTimes(run->startTime, run->endTime, &first, &last) && first <= last) {
      if (run->startTime == 0) run->startTime = first;
      if (run->endTime >= 0xFFFFFFFEu) run->endTime = last;
    }
    if (!OpenRunFile(g_run.files[g_run.current])) {
      RemoteADT_CloseReport(slot, nullptr);
      release();
      SetError(errorWord, VRN_ERR_FILE);
      return -1;
    }
  }
  if (kind == kReportKindAnalysis && SetUpAnalysisContext(run, 1) == 0) {
    // The context holds the item tables every hit is added to.
    RemoteADT_CloseReport(slot, nullptr);
    release();
    SetError(errorWord, VRN_ERR_NO_MEMORY);
    return -1;
  }
  // The report header the template's "ReportHeader" shows.
  if (kind == kReportKindAnalysis && reportHeader != nullptr)
    CopyBounded(RunContext(run)->emptyText2, sizeof RunContext(run)->emptyText2, reportHeader);

  if (IsTextView(kind)) {
    // A series whose files do not exist yet, so that files kept by earlier
    // runs in the same folder are never overwritten.
    if (!ChooseViewSeries(run) || CreateViewBuffer(run) != 0) {
      RemoteADT_CloseReport(slot, nullptr);
      release();
      SetError(errorWord, VRN_ERR_FILE);
      return -1;
    }
  }
  run->readPos = run->fileStart;
  run->donePercent = 0;
  run->recordCount = 0;
  run->pending = 0;
  std::memset(run->lineArea, 0, sizeof run->lineArea);

  if (IsTextView(kind)) {
    // A header that cannot be written fails the run like any other failure.
    if (WriteViewHeader(run) != 0) {
      RemoteADT_CloseReport(slot, nullptr);
      release();
      SetError(errorWord, VRN_ERR_FILE);
      return -1;
    }
    SeekViewBuffer(run, 0);
  }
  // The report's charts read the client's section list while the run is
  // open (until VRN_CloseReport).
  g_engine.templateSectionList = sectionListHandle;
  g_engine.templateSectionCount = sectionCount;
  kv::GlobalUnlock(handle);
  *outHandle = handle;
  return 0;
}

namespace {

// Whether a run's log may be read ahead: a plain file.
bool MayReadAhead() {
  if (g_run.odbc) return false;
  const LogSource* source = LogSourceRecord(g_run.source);
  return source != nullptr && source->kind == kLogSourceFile && source->ops != nullptr &&
         source->ops->fetchLine == nullptr;
}

// The step's record, as the reopen every so many bytes and
// RemoteADT_GetReportRecord give it: from the thread reading ahead when the
// run may have one (started here at the run's position), else here.
// *sourceLost: the log would not open again (no record).
int16_t ReadStep(ReportHandle* run, const LogFileEntry& entry, uint32_t handle, uint16_t* errorWord,
                 bool* sourceLost) {
  if (g_readAhead != nullptr && g_readAhead->Expected() != run->readPos) EndReadAhead();
  if (g_readAhead == nullptr && MayReadAhead()) {
    ReadReload reload;
    reload.size = g_engine.logFileReloadSize;
    reload.lastChunk = g_lastReloadChunk;
    reload.reopen = &ReopenRunLog;
    reload.name = entry.name;
    g_readAhead = ReadAhead::Start(g_run.source, run->readPos, run->fileEnd, kDefaultReadWindow, std::move(reload));
  }
  if (g_readAhead != nullptr) {
    if (const ReadResult* next = g_readAhead->Next()) {
      const ReadResult& r = *next;
      g_lastReloadChunk = r.chunk;
      if (r.reopened) {
        g_run.source = r.source;
        g_run.countedUpTo = 0;
        if (r.source == kNoLogSource) {
          *sourceLost = true;
          return kReadNothing;
        }
      }
      // The lines are counted as ReadLogRecord counts them.
      if (r.position >= g_run.countedUpTo && r.next > r.position) {
        g_run.lines += r.counted.lines;
        g_run.unrecognised += r.counted.unrecognised;
        g_run.skipped += r.counted.skipped;
        g_run.countedUpTo = r.next;
      }
      // The step's own copy of the hit and its line, as the reader makes it.
      if (!CopyHitRecord(&run->hit, &r.hit)) {
        EndReadAhead();
        return kReadEnd;
      }
      if (r.code == kReadHit) run->pending = 1;
      run->readPos = r.next;
      return static_cast<int16_t>(r.code);
    }
    // The thread stopped with nothing more: the step reads on from here.
    EndReadAhead();
  }
  const uint32_t reloadSize = g_engine.logFileReloadSize;
  if (reloadSize != 0) {
    const auto chunk = static_cast<uint32_t>(run->readPos / reloadSize);
    if (run->readPos != 0 && chunk != g_lastReloadChunk) {
      g_lastReloadChunk = chunk;
      g_run.countedUpTo = 0;
      if (!ReopenRunLog(entry.name, run->readPos, &g_run.source)) {
        *sourceLost = true;
        return kReadNothing;
      }
    }
  }
  uint16_t bufferSize = 25600;
  return RemoteADT_GetReportRecord(run->profile, run->slot, &bufferSize, &run->hit, &run->pending, &run->readPos,
                                   handle, errorWord);
}

}  // namespace

VORNIC_API int16_t VRN_PeekReport(uint16_t /*slot*/, uint32_t handle, uint32_t* yieldWord, uint16_t* errorWord) {
  SetError(errorWord, 0);
  ReportHandle* run = LockRun(handle);
  if (run == nullptr) {
    SetError(errorWord, VRN_ERR_BAD_ARGUMENT);
    return -1;
  }
  auto yield = [yieldWord]() {
    if (yieldWord != nullptr) *yieldWord = 1;
  };
  if (run->finished) {
    UnlockRun(handle);
    return -1;
  }
  if (IsTextView(run->kind)) SeekViewBuffer(run, 0);

  // File change.
  if (run->readPos > run->fileEnd) {
    if (DrainDNSFifo(&run->dns) == 3) return StopRun(run, handle, yieldWord, errorWord);
    yield();
    CountLinesOutsideRange();
    if (static_cast<size_t>(g_run.current) + 1 >= g_run.files.size()) {
      // Text that waited for closed view files goes into them now: the run
      // ends well only when every hit is in its file.
      if (IsTextView(run->kind) && !FlushViewBuffers(run)) return StopRun(run, handle, yieldWord, errorWord);
      // An analysis ends well only when every hit is in its tables.
      if (run->kind == kReportKindAnalysis && SettleHitTables(RunContext(run)) == 0) {
        run->dns.stopError = VRN_ERR_NO_MEMORY;
        return StopRun(run, handle, yieldWord, errorWord);
      }
      run->donePercent = 100;
      run->finished = 1;
      if (g_run.outOfOrder != 0) {
        const std::string text = std::to_string(g_run.outOfOrder) +
                                 " log records came after records of a later time; each was taken at its own time.";
        DisplayReportError(text.c_str());
      }
      UnlockRun(handle);
      return -1;
    }
    CloseRunSource();
    ++g_run.current;
    const LogFileEntry& next = g_run.files[g_run.current];
    g_run.source = OpenLogSourceForReading(next.name.c_str());
    g_run.countedUpTo = 0;
    if (g_run.source == kNoLogSource) return FailStep(run, handle, errorWord, VRN_ERR_FILE);
    if (!ReadColumnDirective(g_run.source)) {
      CloseRunSource();
      return FailStep(run, handle, errorWord, 0);
    }
    run->fileStart = next.start;
    run->fileEnd = next.end;
    run->readPos = next.start;
    run->pending = 0;
    g_run.stoppedAt = next.start;
    g_run.atEnd = false;
  }

  if (run->pending == 0) {
    if (g_run.source == kNoLogSource) return FailStep(run, handle, errorWord, VRN_ERR_FILE);

    // Every 301st read step asks the client to yield.
    if (g_yieldCounter++ == 300) {
      g_yieldCounter = 0;
      yield();
    }

    // Percent of the window bytes read, in kilobytes once there are 2048
    // bytes or more; capped at 100 and never falling during a run.
    const LogFileEntry& entry = g_run.files[g_run.current];
    uint64_t total = g_run.total;
    uint64_t done = (run->readPos - run->fileStart) + entry.bytesBefore;
    if (total >= 2048) {
      total /= 1024;
      done /= 1024;
    }
    if (total > 0) {
      uint64_t percent = (done > total ? total : done) * 100 / total;
      if (percent > 100) percent = 100;
      if (percent > run->donePercent) run->donePercent = static_cast<uint32_t>(percent);
    }

    g_dnsActivityFlag = 0;
    bool sourceLost = false;
    const int16_t code = ReadStep(run, entry, handle, errorWord, &sourceLost);
    if (sourceLost) {
      // The log would not open again: the next step finds no source and
      // ends the run.
      CloseRunSource();
      UnlockRun(handle);
      return 0;
    }
    if (code == kReadHit || code == kReadNothing) {
      g_run.stoppedAt = run->readPos;
    } else {
      g_run.atEnd = true;
    }
    if (code == kReadNothing) {
      UnlockRun(handle);
      return 0;
    }
    if (code != kReadHit) {
      // End of this file: every queued hit is passed on before the next
      // step changes file or ends the run.
      if (DrainDNSFifo(&run->dns) == 3) return StopRun(run, handle, yieldWord, errorWord);
      run->readPos = run->fileEnd + 1;
      UnlockRun(handle);
      return 0;
    }

    HitRecord& hit = run->hit;
    // Each hit is kept or dropped by its own time: servers write a line when
    // its request ends, so a window's byte range may hold a few hits from
    // outside it.
    if (hit.HitTime < run->startTime || hit.HitTime > run->endTime) {
      FreeHitLine(&hit);
      run->pending = 0;
      UnlockRun(handle);
      return 0;
    }
    if (hit.HitTime < g_run.latestHit) {
      ++g_run.outOfOrder;
    } else {
      g_run.latestHit = hit.HitTime;
    }
    std::memset(hit.Server, 0, sizeof hit.Server);
    if (hit.ServerAddress != nullptr && std::strcmp(hit.ServerAddress, "-") != 0)
      CopyHitText(hit.Server, sizeof hit.Server, hit.ServerAddress);
    const int passed = QueueAndCheckDNS(&run->dns, &hit);
    if (passed == 0) {
      // The queue has released the hit's line; the run cannot go on without
      // losing hits, so it stops and says so.
      FreeHitLine(&hit);
      DisplayReportError("A log record could not be queued for name resolution; the run stops.");
      return FailStep(run, handle, errorWord, VRN_ERR_NO_MEMORY);
    }
    if (g_dnsActivityFlag == 1) yield();
    if (passed == 3) return StopRun(run, handle, yieldWord, errorWord);
  }

  ++run->recordCount;
  --run->pending;
  UnlockRun(handle);
  return 0;
}

VORNIC_API int16_t VRN_CloseReport(uint16_t slot, uint32_t handle, uint16_t* errorWord) {
  SetError(errorWord, 0);
  ReportHandle* run = LockRun(handle);
  if (run == nullptr) {
    SetError(errorWord, VRN_ERR_BAD_ARGUMENT);
    return -1;
  }
  ReleaseGSWLibrary(0);
  // The section list is the client's again.
  g_engine.templateSectionList = 0;
  g_engine.templateSectionCount = 0;
  const int16_t result = RemoteADT_CloseReport(slot, nullptr);
  // Queued hits are dropped; a lookup still running is left to end on its
  // own (its answer is never taken), so that a hung name server cannot hold
  // the close for the lookup time-out.
  CancelDNSFifo();
  if (IsTextView(run->kind)) ReleaseViewBuffers(run, run->kind == kReportKindKeptView);
  FreeHitLine(&run->hit);
  FreeReportContext(run);
  run->~ReportHandle();
  kv::GlobalUnlock(handle);
  kv::GlobalFree(handle);
  return result;
}

// ---- accessors ------------------------------------------------------------

namespace {

template <typename T, typename F>
T WithRun(uint32_t handle, T fallback, F f) {
  ReportHandle* run = LockRun(handle);
  if (run == nullptr) return fallback;
  T value = f(run);
  UnlockRun(handle);
  return value;
}

// Makes index the viewed buffer and positions its file at its end.
uint32_t SelectBuffer(ReportHandle* run, int32_t index) {
  ViewBuffer* b = GetViewBuffer(run, index);
  if (b == nullptr) return 0;
  run->viewedBuffer = index;
  SeekViewBuffer(run, static_cast<uint16_t>(index));
  return b->attachedWord;
}

}  // namespace

VORNIC_API uint32_t ADT_GetReportDonePercent(uint32_t handle) {
  return WithRun<uint32_t>(handle, 0, [](ReportHandle* r) { return r->donePercent; });
}

VORNIC_API uint32_t ADT_GetReportRecCount(uint32_t handle) {
  return WithRun<uint32_t>(handle, 0, [](ReportHandle* r) { return r->recordCount; });
}

VORNIC_API int16_t ADT_GetReportLineCounts(uint32_t handle, uint64_t* lines, uint64_t* unrecognised,
                                           uint64_t* skipped) {
  if (lines == nullptr || unrecognised == nullptr || skipped == nullptr) return 0;
  *lines = *unrecognised = *skipped = 0;
  return WithRun<int16_t>(handle, 0, [&](ReportHandle*) -> int16_t {
    *lines = g_run.lines;
    *unrecognised = g_run.unrecognised;
    *skipped = g_run.skipped;
    return 1;
  });
}

VORNIC_API intptr_t ADT_GetReportASCII_fh(uint32_t handle) {
  return WithRun<intptr_t>(handle, -1, [](ReportHandle* r) -> intptr_t {
    ViewBuffer* b = GetViewBuffer(r, r->viewedBuffer);
    if (b == nullptr || !ReopenViewBuffer(r, static_cast<uint16_t>(r->viewedBuffer))) return -1;
    return static_cast<intptr_t>(b->file);
  });
}

VORNIC_API void ADT_GetReportASCII_Filename(uint32_t handle, char* out, uint32_t size) {
  if (out == nullptr || size == 0) return;
  out[0] = '\0';
  WithRun<int>(handle, 0, [&](ReportHandle* r) {
    ViewBuffer* b = GetViewBuffer(r, r->viewedBuffer);
    if (b != nullptr) CopyBounded(out, size, ViewBufferPath(r, b).c_str());
    return 0;
  });
}

VORNIC_API void ADT_AttachLongToReport(uint32_t handle, uint32_t value) {
  WithRun<int>(handle, 0, [&](ReportHandle* r) {
    ViewBuffer* b = GetViewBuffer(r, r->viewedBuffer);
    if (b != nullptr) b->attachedWord = value;
    return 0;
  });
}

VORNIC_API int32_t ADT_ViewReportCount(uint32_t handle) {
  return WithRun<int32_t>(handle, 0, [](ReportHandle* r) { return r->viewCount; });
}

VORNIC_API int32_t ADT_GetViewReportBufferNum(uint32_t handle) {
  return WithRun<int32_t>(handle, 0, [](ReportHandle* r) { return r->viewedBuffer; });
}

VORNIC_API const char* ADT_GetViewReportDescPtr(uint32_t handle, int32_t index) {
  return WithRun<const char*>(handle, nullptr, [&](ReportHandle* r) -> const char* {
    ViewBuffer* b = GetViewBuffer(r, index);
    return b != nullptr ? b->title : nullptr;
  });
}

VORNIC_API uint32_t ADT_SetViewReportBuffer(uint32_t handle, int32_t index) {
  return WithRun<uint32_t>(handle, 0, [&](ReportHandle* r) { return SelectBuffer(r, index); });
}

VORNIC_API uint32_t ADT_PreviousViewReportBuffer(uint32_t handle) {
  return WithRun<uint32_t>(handle, 0, [](ReportHandle* r) {
    if (r->viewCount <= 0) return 0u;
    int32_t index = r->viewedBuffer <= 0 ? r->viewCount - 1 : r->viewedBuffer - 1;
    return SelectBuffer(r, index);
  });
}

VORNIC_API uint32_t ADT_NextViewReportBuffer(uint32_t handle) {
  return WithRun<uint32_t>(handle, 0, [](ReportHandle* r) {
    if (r->viewCount <= 0) return 0u;
    int32_t index = r->viewedBuffer >= r->viewCount - 1 ? 0 : r->viewedBuffer + 1;
    return SelectBuffer(r, index);
  });
}
