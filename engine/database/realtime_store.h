// Per-day analysis databases kept as files: the realtime store handle, the
// day index master.dat with its 64-byte MasterRecords, the period database
// files "%08x.dat" (writer and reader), and the creation, growing and
// freeing of the item tables of a TemplateRecord.
//
// master.dat: a 448-byte header (format word 4, then zeros) followed by one
// MasterRecord per day, in ascending order without gaps. A period file
// starts with the 32-bit file offset of its TemplateRecord image and 508
// zero bytes; the body follows from offset 512 (see database_files.cpp).
// All integers are little-endian; stored pointers are file offsets, 0 none.
//
// One store is open in the process at a time; everything runs on the
// client's thread.
#ifndef VORNIC_DATABASE_REALTIME_STORE_H
#define VORNIC_DATABASE_REALTIME_STORE_H

#include <cstddef>
#include <cstdint>

#include <vornic/periodfiles.h>
#include <vornic/profile.h>

#include "engine/database/analysis_context.h"
#include "platform/base/kvtypes.h"

namespace vrn {

struct ReportHandle;

constexpr uint32_t kSecondsPerDay = 86400;
constexpr uint32_t kMasterHeaderSize = 448;
constexpr uint32_t kMasterRecordSize = 64;
constexpr uint32_t kMasterFormatWord = 4;
constexpr uint32_t kPeriodHeaderSize = 512;

// Store kinds (the profile's PellavarFlag).
enum : uint32_t { kStoreFiles = 1, kStoreOdbc = 2 };

// Results of the realtime and database operations.
enum : int {
  kDbAdded = 2,
  kDbNothing = 3,
  kDbOdbcError = 4,   // also: cancelled
  kDbDayComplete = 5,
  kDbFileError = 6,
  kDbDone = 7,        // saved
  kDbCancelled = 8,
  kDbMissing = 21,
  kDbEmpty = 22,
  kDbLoaded = 23,
  kDbBad = 24,
};

// One day of master.dat (stored: 64 bytes).
struct MasterRecord {
  char fileName[20];   // "%08x.dat" of start, NUL-padded
  uint32_t start;      // first second of the day
  uint32_t end;        // last second of the day
  uint32_t lastAdded;  // 0 nothing yet; end + 1 complete
  uint8_t reserved[32];
};

void EncodeMasterRecord(const MasterRecord& record, uint8_t out[kMasterRecordSize]);
// Copies the stored record; the name is always NUL-terminated afterwards.
void DecodeMasterRecord(const uint8_t in[kMasterRecordSize], MasterRecord* record);
// The record of the day containing `time` (nothing added yet).
MasterRecord MakeMasterRecord(uint32_t time);
// Incomplete for the profile: end >= FirstLogTime and lastAdded 0 or <= end.
bool IsIncompleteRecord(const MasterRecord& record, const DravelEntry* profile);

// The open store (kind 1: master.dat handle and the "daily" folder; kind 2:
// the ODBC connection state).
struct RealtimeStore {
  uint32_t kind;
  KvFile master;
  char folder[260];
  void* odbc;
  DravelEntry* profile;
};

// Opens the profile's store (closing the one that is open): kind 1 widens
// master.dat to [firstLogTime, lastLogTime] and positions on the first
// record; kind 2 connects to the profile's ODBC store and, with `extend`,
// extends its master rows to the two times. Null on failure.
RealtimeStore* OpenRealtimeStore(DravelEntry* profile, const char* dataFile, uint32_t firstLogTime,
                                 uint32_t lastLogTime, int extend);
// Opens a file store's master.dat for reading only, as it stands (no
// folder made, no day added, no lock): for a report on a store this
// process cannot write. Null when it cannot be read.
RealtimeStore* OpenRealtimeStoreToRead(DravelEntry* profile, const char* dataFile);
void ReleaseRealtimeStore(RealtimeStore* store);
// Releases the open store, if any.
void CloseRealtimeStore();
// The open store, or null.
RealtimeStore* CurrentRealtimeStore();

// Record cursor. 1 success, 0 failure.
int ReadMasterRecord(RealtimeStore* store, MasterRecord* record);
int SeekMasterRecord(RealtimeStore* store, uint32_t index);
int RewriteMasterRecord(RealtimeStore* store, const MasterRecord* record);
int StepBackMasterRecord(RealtimeStore* store);
// Reads on to the first incomplete record and steps back over it (1); 0
// when the records end.
int FindFirstIncompleteRecord(RealtimeStore* store, const DravelEntry* profile, MasterRecord* record);

// master.dat maintenance. 1 success, 0 failure.
int CreateMasterFile(const char* path, uint32_t start, uint32_t end);
int OpenOrCreateMasterFile(const char* path, uint32_t start, uint32_t end);
int PrependDays(uint32_t start, KvFile file, const MasterRecord* first);
int AppendDays(uint32_t end, KvFile file, const MasterRecord* last);

// Writes the record at its place in master.dat and flushes it, keeping the
// cursor where it is; *previous (may be null) receives the record it
// replaced. 1, or 0 when the day has no record or the write failed.
int StoreMasterRecord(RealtimeStore* store, const MasterRecord* record, MasterRecord* previous);

// Locks the realtime folder (or, for an ODBC store, the profile's file)
// for this process until UnlockRealtimeFolder (which releasing a store
// calls) or another one is locked: 1 held, -1 held by another process, 0 it
// cannot be opened.
int LockRealtimeFolder(const char* folder);
void UnlockRealtimeFolder();
// The same for an ODBC store (its profile's file); -1, told through the
// error display, when another process holds it.
int LockOdbcStoreOf(const DravelEntry* profile);

// Writes the run's context as the record's period file (kind 1) and frees
// its tables: kDbDone, kDbFileError, kDbOdbcError.
int SavePeriodDatabase(const MasterRecord* record, RealtimeStore* store, ReportHandle* run);
// Sets up the run's context (cloned from `source` when given) and loads the
// record's day into it: kDbMissing, kDbEmpty, kDbLoaded, kDbBad.
int LoadPeriodDatabase(const MasterRecord* record, RealtimeStore* store, ReportHandle* run, ReportHandle* source,
                       const char* profilePath);

// Period file images in memory (also used by the fuzz target).
// Rebuilds the tables of a whole file image into `templ` (its counters are
// replaced by the stored ones): kDbLoaded or kDbBad (templ then holds no
// tables). The image is not modified.
int DecodePeriodImage(const uint8_t* data, size_t size, TemplateRecord* templ);

// Item tables of a TemplateRecord.
// 41 new directory entries; 41, or 0 when memory failed.
uint32_t CreateItemTables(TemplateRecord* templ);
// Widens a shorter directory to 41 entries; 1, or 0 when memory failed.
int GrowItemTables(TemplateRecord* templ);
// A new session table descriptor; 1 or 0.
int CreateSessionTable(TemplateRecord* templ);
// Both on the run's context; 1 or 0.
int CreateTablesForHandle(ReportHandle* run);
// Frees every table, the directory and the session table (yield call before
// each item); the template then holds no tables.
void FreeItemTables(TemplateRecord* templ);

}  // namespace vrn

#endif
