// Report runs: the run's state block (ReportHandle) and the engine-wide
// state of the log side (file list, open source, byte totals). One run at a
// time exists in the library; everything runs on the client's thread.
#ifndef VORNIC_CORE_REPORT_RUN_H
#define VORNIC_CORE_REPORT_RUN_H

#include <cstdint>
#include <string>

#include <vornic/profile.h>

#include "engine/core/hit_record.h"
#include "engine/core/log_source.h"
#include "engine/core/view_buffer.h"
#include "engine/network/dns_queue.h"
#include "platform/base/kvtypes.h"

namespace vrn {

// Report kinds.
enum : uint32_t {
  kReportKindDetail = 2,     // detailed block per hit
  kReportKindVisits = 3,     // one line per hit, visit blocks
  kReportKindKeptView = 4,   // text view whose files stay after the run
  kReportKindCount = 5,      // count only
  kReportKindAnalysis = 6,   // into the analysis database
};

constexpr uint32_t kViewTextSize = 3096;   // header and per-hit text buffers
constexpr size_t kReportHandleBytes = 36208;

// The run's state. It lives in a moveable global-memory block locked for
// the length of each call; nothing of it is stored on disk.
struct ReportHandle {
  uint32_t clientTag;
  uint32_t dnsOn;
  uint32_t overrideMultiHome;
  uint32_t startTime;
  uint32_t endTime;
  uint64_t fileStart;      // current file's first record in the window
  uint64_t fileEnd;        // start of its last record in the window
  uint64_t readPos;
  int32_t pending;
  uint32_t donePercent;    // 0..100, never falls during a run
  uint32_t recordCount;
  uint32_t dnsTimeout;
  char profileDir[260];
  char parentDir[260];
  char grandparentDir[260];
  char firstLocation[260];
  char profileFile[260];
  char viewCaption[55];
  uint32_t kind;
  uint32_t variant;
  uint16_t realtimeOption;
  int32_t viewCount;
  int32_t writingBuffer;
  int32_t viewedBuffer;
  uint16_t viewSeries;     // low 12 bits name the view files
  char styleName[260];
  char language[79];
  char viewFolder[300];
  // Text view work area.
  uint32_t headerComposed;
  uint32_t headerLines;
  uint32_t headerLength;
  char headerText[kViewTextSize];
  char hitText[kViewTextSize];
  HitRecord hit;           // the record each step reads into
  uint16_t openViewFiles;
  ViewBuffer** viewTable;
  uint32_t viewTableCapacity;
  void* viewKeys;          // view buffers by key (view_buffer.cpp)
  char lineArea[512];
  uint32_t lineWidth;
  uint32_t columnStops[4];
  KvGlobal databaseHandle;
  void* database;
  DravelEntry* profile;    // the caller's record, read by the run
  uint32_t sectionListHandle;
  uint16_t sectionCount;
  // Added for this implementation.
  uint16_t slot;
  uint32_t finished;       // the run ended (normally or by a failure)
  DnsRun dns;              // what name resolution reads of the run
};

// Fills the three working folders from the profile folder: a copy; the
// parent (without a trailing separator, cut just after the last "\", "/" or
// ":"; nothing cut when there is none); the grandparent from the parent.
void SetReportWorkPaths(ReportHandle* run, const char* profileDir);

// Reads the next record of the run's open source into hit (ReadNextHit with
// the read window 100000). 3 hit, 2 nothing this time, 1 end of the file.
uint16_t ReadLogRecord(uint64_t position, HitRecord* hit, uint64_t* next);

// Engine-wide run state (for tests).
uint16_t ReportRunFileCount();
LogSourceHandle ReportRunSource();
// Forgets the yield counter and the last reload chunk, as at library load.
void ResetReportRunCounters();

}  // namespace vrn

#endif
