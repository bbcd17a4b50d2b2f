// The realtime store, master.dat and the period database files.
//
// Period file body (from offset 512, all integers little-endian, stored
// pointers are file offsets from the start of the file, 0 = none):
//   per item table, in index order: the names of its item slots
//   (NUL-terminated, an item without a name writes nothing), the detail
//   blocks of its item slots, the 348-byte item images, and the Count
//   entries of its name index (when it has one);
//   the directory: TopTablesCount 60-byte descriptors (ItemBlock 0, Items =
//   offset of the first item image, SortIndex = offset of the index);
//   the session table block in the same form, then its 60-byte descriptor;
//   the 1840-byte TemplateRecord (TopTablesPtr = offset of the directory,
//   TopUsersPtr = offset of the session descriptor).
// A detail block of tables 39 and 40 is the names of its 20-byte records
// followed by the records (16 bytes of counters, then the name's offset);
// for other tables it is the data of each non-empty TopNameList followed by
// the array of 14-byte list records. The visit trail (list 11) holds 32-bit
// entries and is stored with its count in 16-bit units.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <new>
#include <vector>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/core/engine_state.h"
#include "engine/core/report_run.h"
#include "engine/database/analysis_context.h"
#include "engine/database/item_tables.h"
#include "engine/database/odbc_store.h"
#include "engine/database/realtime_store.h"
#include "platform/base/files.h"
#include "platform/base/paths.h"
#include "platform/ui/msgbox.h"

namespace vrn {

static_assert(std::endian::native == std::endian::little, "the TemplateRecord image is copied as it lies in memory");
static_assert(offsetof(TemplateRecord, TopTablesCount) == 1828, "TemplateRecord counters keep their stored layout");
static_assert(offsetof(TemplateRecord, SlotBytes) == 1272, "TemplateRecord counters keep their stored layout");

namespace {

constexpr uint32_t kTemplateCountersSize = 1832;  // up to and including TopTablesCount
constexpr uint32_t kSearchDetailDataSize = 16;

RealtimeStore* g_openStore = nullptr;

inline void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t Get32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace

// Copies at most size - 1 characters and a NUL.
void CopyDbFileText(char* out, size_t size, const std::string& text);
void CopyDbFileText(char* out, size_t size, const std::string& text) {
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(out, text.data(), n);
  out[n] = 0;
}

namespace {

bool WriteAll(KvFile file, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(size, 1u << 30));
    uint32_t done = 0;
    if (!kv::FileWrite(file, p, chunk, &done) || done != chunk) return false;
    p += chunk;
    size -= chunk;
  }
  return true;
}

bool ReadAll(KvFile file, void* data, size_t size) {
  auto* p = static_cast<uint8_t*>(data);
  while (size > 0) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(size, 1u << 30));
    uint32_t done = 0;
    if (!kv::FileRead(file, p, chunk, &done) || done != chunk) return false;
    p += chunk;
    size -= chunk;
  }
  return true;
}

// Last second of the day that starts at `start`, kept inside 32 bits.
inline uint32_t DayEnd(uint32_t start) {
  const uint64_t end = uint64_t{start} + kSecondsPerDay - 1;
  return end > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(end);
}

// Days from `from` on (day starts), `count` of them, stopping at the end of
// the 32-bit time range.
std::vector<uint8_t> DayRecords(uint32_t from, uint64_t count) {
  std::vector<uint8_t> out;
  uint64_t t = from - from % kSecondsPerDay;
  for (uint64_t i = 0; i < count && t <= 0xFFFFFFFFu; ++i, t += kSecondsPerDay) {
    uint8_t image[kMasterRecordSize];
    EncodeMasterRecord(MakeMasterRecord(static_cast<uint32_t>(t)), image);
    out.insert(out.end(), image, image + kMasterRecordSize);
  }
  return out;
}

uint64_t DaysToCover(uint32_t from, uint32_t to) {
  // (to - from) / 86400 rounded up.
  return (uint64_t{to} - from + kSecondsPerDay - 1) / kSecondsPerDay;
}

}  // namespace

// ---- master records ---------------------------------------------------------------------

void EncodeMasterRecord(const MasterRecord& record, uint8_t out[kMasterRecordSize]) {
  std::memset(out, 0, kMasterRecordSize);
  std::memcpy(out, record.fileName, strnlen(record.fileName, sizeof record.fileName));
  Put32(out + 20, record.start);
  Put32(out + 24, record.end);
  Put32(out + 28, record.lastAdded);
  std::memcpy(out + 32, record.reserved, sizeof record.reserved);
}

void DecodeMasterRecord(const uint8_t in[kMasterRecordSize], MasterRecord* record) {
  std::memcpy(record->fileName, in, sizeof record->fileName);
  record->fileName[sizeof record->fileName - 1] = 0;
  record->start = Get32(in + 20);
  record->end = Get32(in + 24);
  record->lastAdded = Get32(in + 28);
  std::memcpy(record->reserved, in + 32, sizeof record->reserved);
}

MasterRecord MakeMasterRecord(uint32_t time) {
  MasterRecord record{};
  record.start = time - time % kSecondsPerDay;
  record.end = DayEnd(record.start);
  std::snprintf(record.fileName, sizeof record.fileName, "%08x.dat", record.start);
  return record;
}

bool IsIncompleteRecord(const MasterRecord& record, const DravelEntry* profile) {
  const uint32_t first = profile ? profile->FirstLogTime : 0;
  return record.end >= first && (record.lastAdded == 0 || record.lastAdded <= record.end);
}

// ---- master.dat -------------------------------------------------------------------------

int CreateMasterFile(const char* path, uint32_t start, uint32_t end) {
  if (!path) return 0;
  KvFile file = kv::FileOpen(path, kv::kFileWrite, kv::FileDisposition::kCreateAlways);
  if (file == KV_INVALID_FILE) return 0;
  uint8_t header[kMasterHeaderSize] = {};
  Put32(header, kMasterFormatWord);
  // One record per day from the day holding start until a day reaches end
  // (at least one record).
  const uint32_t first = start - start % kSecondsPerDay;
  const uint64_t days = end >= first ? (uint64_t{end} - first) / kSecondsPerDay + 1 : 1;
  std::vector<uint8_t> records = DayRecords(first, days);
  const bool ok = WriteAll(file, header, sizeof header) && WriteAll(file, records.data(), records.size());
  kv::FileClose(file);
  return ok ? 1 : 0;
}

int PrependDays(uint32_t start, KvFile file, const MasterRecord* first) {
  if (!first || start >= first->start) return 0;
  const int64_t size = kv::FileSize(file);
  if (size < kMasterHeaderSize) return 0;
  std::vector<uint8_t> old(static_cast<size_t>(size - kMasterHeaderSize));
  if (kv::FileSeek(file, kMasterHeaderSize, kv::kSeekBegin) != kMasterHeaderSize) return 0;
  if (!old.empty() && !ReadAll(file, old.data(), old.size())) return 0;
  const uint64_t n = DaysToCover(start, first->start);
  std::vector<uint8_t> fresh = DayRecords(start, n);
  if (kv::FileSeek(file, kMasterHeaderSize, kv::kSeekBegin) != kMasterHeaderSize) return 0;
  return WriteAll(file, fresh.data(), fresh.size()) && WriteAll(file, old.data(), old.size()) ? 1 : 0;
}

int AppendDays(uint32_t end, KvFile file, const MasterRecord* last) {
  if (!last || end <= last->end || last->end == 0xFFFFFFFFu) return 0;
  const uint64_t n = DaysToCover(last->end, end);
  std::vector<uint8_t> fresh = DayRecords(last->end + 1, n);
  if (kv::FileSeek(file, 0, kv::kSeekEnd) < 0) return 0;
  return WriteAll(file, fresh.data(), fresh.size()) ? 1 : 0;
}

int OpenOrCreateMasterFile(const char* path, uint32_t start, uint32_t end) {
  if (!path) return 0;
  KvFile file = kv::FileOpen(path, kv::kFileReadWrite, kv::FileDisposition::kOpenExisting);
  if (file != KV_INVALID_FILE) {
    uint8_t image[kMasterRecordSize];
    const int64_t size = kv::FileSize(file);
    if (size >= kMasterHeaderSize + kMasterRecordSize && kv::FileSeek(file, kMasterHeaderSize, kv::kSeekBegin) >= 0 &&
        ReadAll(file, image, sizeof image)) {
      MasterRecord first{};
      DecodeMasterRecord(image, &first);
      int ok = 1;
      if (start < first.start) ok = PrependDays(start, file, &first);
      if (ok) {
        const int64_t now = kv::FileSize(file);
        MasterRecord last{};
        ok = now >= kMasterHeaderSize + kMasterRecordSize &&
             kv::FileSeek(file, now - kMasterRecordSize, kv::kSeekBegin) >= 0 && ReadAll(file, image, sizeof image);
        if (ok) {
          DecodeMasterRecord(image, &last);
          if (end > last.end) ok = AppendDays(end, file, &last);
        }
      }
      kv::FileClose(file);
      return ok ? 1 : 0;
    }
    kv::FileClose(file);
  }
  return CreateMasterFile(path, start, end);
}

// ---- the store -----------------------------------------------------------------------------

RealtimeStore* CurrentRealtimeStore() { return g_openStore; }

namespace {

// The realtime folder (or ODBC profile file) this process holds locked
// while its store is open: another process's update, report or deletion
// of the same store fails at once with a message instead of interleaving
// its writes.
struct FolderLock {
  std::string folder;
  int fd = -1;
};
FolderLock g_folderLock;

}  // namespace

int LockRealtimeFolder(const char* folder) {
  if (!folder || !*folder) return 0;
  const std::string native = kv::ResolvePath(folder);
  if (g_folderLock.fd >= 0 && g_folderLock.folder == native) return 1;
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  if (g_folderLock.fd >= 0) ::close(g_folderLock.fd);
  g_folderLock.folder = native;
  g_folderLock.fd = fd;
  return 1;
}

int LockOdbcStoreOf(const DravelEntry* profile) {
  const std::string file = ProfileDirectory() + std::string(profile->Name, strnlen(profile->Name, sizeof profile->Name)) +
                           "." + std::string(profile->Extension, strnlen(profile->Extension, sizeof profile->Extension));
  // A profile without a file of its own (made in memory) has nothing to lock.
  struct stat info {};
  if (profile->Name[0] == '\0' || ::stat(kv::ResolvePath(file).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 1;
  const int locked = LockRealtimeFolder(file.c_str());
  if (locked < 0) {
    DisplayReportError(("The ODBC data source of the profile " + kv::ResolvePath(file) +
                        " is in use by another update; try again when it has ended.")
                           .c_str());
  }
  return locked < 0 ? -1 : 1;
}

void UnlockRealtimeFolder() {
  if (g_folderLock.fd >= 0) ::close(g_folderLock.fd);
  g_folderLock.fd = -1;
  g_folderLock.folder.clear();
}

void ReleaseRealtimeStore(RealtimeStore* store) {
  if (!store) return;
  // The lock lasts as long as the store is open (one store at a time).
  UnlockRealtimeFolder();
  if (store->kind == kStoreFiles && store->master != KV_INVALID_FILE && store->master != 0) {
    kv::FileClose(store->master);
  }
  if (store->kind == kStoreOdbc) DisconnectFromODBCDatabase(store);
  if (g_openStore == store) g_openStore = nullptr;
  std::free(store);
}

void CloseRealtimeStore() {
  if (g_openStore) ReleaseRealtimeStore(g_openStore);
}

RealtimeStore* OpenRealtimeStore(DravelEntry* profile, const char* dataFile, uint32_t firstLogTime,
                                 uint32_t lastLogTime, int extend) {
  // The open store goes first (it may own the profile's ODBC connection);
  // a connection still left in the profile's working fields is released.
  CloseRealtimeStore();
  if (!profile) return nullptr;
  if (profile->PellavarFlag == kStoreOdbc && profile->ODBCConnection) {
    auto connection = static_cast<SQLHDBC>(profile->ODBCConnection);
    if (g_odbc.module) {
      g_odbc.fn.Disconnect(connection);
      g_odbc.fn.FreeConnect(connection);
    }
    profile->ODBCConnection = nullptr;
  }
  if (profile->PellavarFlag != kStoreFiles && profile->PellavarFlag != kStoreOdbc) return nullptr;
  auto* store = static_cast<RealtimeStore*>(AllocZeroed(sizeof(RealtimeStore)));
  if (!store) return nullptr;
  store->kind = profile->PellavarFlag;
  store->profile = profile;
  store->master = KV_INVALID_FILE;
  if (store->kind == kStoreOdbc) {
    // One update at a time: the profile's file stands for its data source.
    if (LockOdbcStoreOf(profile) < 0) {
      ReleaseRealtimeStore(store);
      return nullptr;
    }
    // The list of days is loaded on every open; only an update adds rows.
    const bool ok = LoadODBCLibrary() != nullptr && ConnectToODBCDatabase(store) != 0 &&
                    ExtendMasterRows(store, firstLogTime, lastLogTime, extend != 0 ? 1 : 0) != 0;
    if (!ok) {
      ReleaseRealtimeStore(store);
      return nullptr;
    }
    g_openStore = store;
    return store;
  }
  char base[VRN_REALTIME_DIR_SIZE];
  char daily[VRN_REALTIME_DIR_SIZE];
  if (!ConvertDravelFileToRealTimeDir(profile, dataFile, base, daily, 0)) {
    ReleaseRealtimeStore(store);
    return nullptr;
  }
  // The folders are made with any missing folder above them (a new
  // program folder has no data file folder yet).
  {
    const std::string folderPath(base);
    for (size_t i = 1; i < folderPath.size(); ++i) {
      if (folderPath[i] == '/' || folderPath[i] == '\\') kv::CreateFolder(folderPath.substr(0, i).c_str());
    }
  }
  kv::CreateFolder(base);
  kv::CreateFolder(daily);
  CopyDbFileText(store->folder, sizeof store->folder, daily);
  const int locked = LockRealtimeFolder(daily);
  if (locked != 1) {
    DisplayReportError(locked < 0 ? ("The realtime database in " + kv::ResolvePath(daily) +
                                     " is in use by another update; try again when it has ended.")
                                        .c_str()
                                  : ("The realtime database folder " + kv::ResolvePath(daily) + " cannot be opened.").c_str());
    ReleaseRealtimeStore(store);
    return nullptr;
  }
  const std::string masterPath = std::string(daily) + "\\master.dat";
  bool opened = OpenOrCreateMasterFile(masterPath.c_str(), firstLogTime, lastLogTime) != 0;
  if (opened) {
    store->master = kv::FileOpen(masterPath.c_str(), kv::kFileReadWrite, kv::FileDisposition::kOpenExisting);
    opened = store->master != KV_INVALID_FILE && kv::FileSeek(store->master, kMasterHeaderSize, kv::kSeekBegin) >= 0;
  }
  if (!opened) {
    const int error = errno;
    DisplayReportError(("The list of stored days " + kv::ResolvePath(masterPath) + " cannot be opened for writing (" +
                        std::strerror(error) + ").")
                           .c_str());
    ReleaseRealtimeStore(store);
    return nullptr;
  }
  g_openStore = store;
  return store;
}

RealtimeStore* OpenRealtimeStoreToRead(DravelEntry* profile, const char* dataFile) {
  CloseRealtimeStore();
  if (!profile || profile->PellavarFlag != kStoreFiles) return nullptr;
  char base[VRN_REALTIME_DIR_SIZE];
  char daily[VRN_REALTIME_DIR_SIZE];
  if (!ConvertDravelFileToRealTimeDir(profile, dataFile, base, daily, 0)) return nullptr;
  auto* store = static_cast<RealtimeStore*>(AllocZeroed(sizeof(RealtimeStore)));
  if (!store) return nullptr;
  store->kind = kStoreFiles;
  store->profile = profile;
  CopyDbFileText(store->folder, sizeof store->folder, daily);
  const std::string masterPath = std::string(daily) + "\\master.dat";
  store->master = kv::FileOpen(masterPath.c_str(), kv::kFileRead, kv::FileDisposition::kOpenExisting);
  if (store->master == KV_INVALID_FILE || kv::FileSeek(store->master, kMasterHeaderSize, kv::kSeekBegin) < 0) {
    ReleaseRealtimeStore(store);
    return nullptr;
  }
  g_openStore = store;
  return store;
}

int ReadMasterRecord(RealtimeStore* store, MasterRecord* record) {
  if (!store || !record) return 0;
  if (store->kind == kStoreOdbc) return ReadNextODBCEntry(store, record) ? 1 : 0;
  if (store->kind != kStoreFiles) return 0;
  uint8_t image[kMasterRecordSize];
  uint32_t done = 0;
  if (!kv::FileRead(store->master, image, sizeof image, &done) || done != sizeof image) return 0;
  DecodeMasterRecord(image, record);
  return 1;
}

int SeekMasterRecord(RealtimeStore* store, uint32_t index) {
  if (!store) return 0;
  if (store->kind == kStoreOdbc) {
    SetODBCEntryPointer(store, index);
    return 1;
  }
  if (store->kind != kStoreFiles) return 0;
  const int64_t pos = int64_t{kMasterHeaderSize} + int64_t{kMasterRecordSize} * index;
  return kv::FileSeek(store->master, pos, kv::kSeekBegin) == pos ? 1 : 0;
}

int StepBackMasterRecord(RealtimeStore* store) {
  if (!store) return 0;
  if (store->kind == kStoreOdbc) {
    ResetToLastODBCEntry(store);
    return 1;
  }
  if (store->kind != kStoreFiles) return 0;
  // Never into the header: the cursor stays on a record boundary.
  const int64_t pos = kv::FileTell(store->master);
  if (pos < int64_t{kMasterHeaderSize} + kMasterRecordSize) return 0;
  return kv::FileSeek(store->master, pos - kMasterRecordSize, kv::kSeekBegin) >= 0 ? 1 : 0;
}

int RewriteMasterRecord(RealtimeStore* store, const MasterRecord* record) {
  if (!store || !record) return 0;
  if (store->kind == kStoreOdbc) return RewriteLastODBCEntry(store, record) ? 1 : 0;
  if (store->kind != kStoreFiles) return 0;
  if (!StepBackMasterRecord(store)) return 0;
  uint8_t image[kMasterRecordSize];
  EncodeMasterRecord(*record, image);
  uint32_t done = 0;
  return kv::FileWrite(store->master, image, sizeof image, &done) && done == sizeof image ? 1 : 0;
}

int FindFirstIncompleteRecord(RealtimeStore* store, const DravelEntry* profile, MasterRecord* record) {
  if (!store || !record) return 0;
  while (ReadMasterRecord(store, record)) {
    if (IsIncompleteRecord(*record, profile)) return StepBackMasterRecord(store);
  }
  return 0;
}

// ---- item tables of a template -----------------------------------------------------------

uint32_t CreateItemTables(TemplateRecord* templ) {
  if (!templ) return 0;
  auto* dir = static_cast<SummaryTableEntry*>(AllocZeroed(kItemTableCount * sizeof(SummaryTableEntry)));
  if (!dir) return 0;
  for (int i = 0; i < kItemTableCount; ++i) InitTableDescriptor(&dir[i]);
  templ->TopTablesPtr = dir;
  templ->TopTablesCount = kItemTableCount;
  return kItemTableCount;
}

int GrowItemTables(TemplateRecord* templ) {
  if (!templ) return 0;
  const uint32_t have = templ->TopTablesPtr ? std::min<uint32_t>(templ->TopTablesCount, kItemTableCount) : 0;
  auto* dir = static_cast<SummaryTableEntry*>(AllocZeroed(kItemTableCount * sizeof(SummaryTableEntry)));
  if (!dir) return 0;
  for (uint32_t i = 0; i < static_cast<uint32_t>(kItemTableCount); ++i) {
    if (i < have) {
      dir[i] = templ->TopTablesPtr[i];
    } else {
      InitTableDescriptor(&dir[i]);
    }
  }
  std::free(templ->TopTablesPtr);
  templ->TopTablesPtr = dir;
  templ->TopTablesCount = kItemTableCount;
  return 1;
}

int CreateSessionTable(TemplateRecord* templ) {
  if (!templ) return 0;
  auto* table = static_cast<SummaryTableEntry*>(AllocZeroed(sizeof(SummaryTableEntry)));
  if (!table) return 0;
  InitTableDescriptor(table);
  templ->TopUsersPtr = table;
  return 1;
}

int CreateTablesForHandle(ReportHandle* run) {
  AnalysisContext* context = RunContext(run);
  if (!context) return 0;
  if (!CreateItemTables(&context->templ)) return 0;
  return CreateSessionTable(&context->templ);
}

namespace {

// Frees one table's items (with a yield call before each), details and arrays.
void FreeOneTable(SummaryTableEntry* table, bool searchDetails) {
  if (!table) return;
  if (table->ItemBlock) {
    const uint64_t slots = std::min<uint64_t>(uint64_t{table->Count} + table->DeleteCount, table->ChunkSize);
    for (uint64_t n = 0; n < slots; ++n) {
      NameTableEntry* rec = table->ItemBlock[n];
      if (!rec) continue;
      CallClientCallback(1, 0, "", 0, 0, 0);
      std::free(rec->String);
      if (searchDetails) {
        FreeDetailEntryList(rec->Details(), rec->TopNamesCount);
      } else {
        FreeItemTopNames(rec);
      }
      std::free(rec);
      table->ItemBlock[n] = nullptr;
    }
  }
  std::free(table->ItemBlock);
  std::free(table->SortIndex);
  InitTableDescriptor(table);
}

}  // namespace

void FreeItemTables(TemplateRecord* templ) {
  if (!templ) return;
  if (templ->TopTablesPtr) {
    for (uint32_t i = 0; i < templ->TopTablesCount; ++i) {
      FreeOneTable(&templ->TopTablesPtr[i], i == kTopSearchKeywords || i == kTopSearchEngines);
    }
    std::free(templ->TopTablesPtr);
  }
  templ->TopTablesPtr = nullptr;
  if (templ->TopUsersPtr) {
    FreeOneTable(templ->TopUsersPtr, false);
    std::free(templ->TopUsersPtr);
  }
  templ->TopUsersPtr = nullptr;
  templ->TopTablesCount = 0;
}

// ---- writing a period file ------------------------------------------------------------------

namespace {

// Writes the body part by part: each part is gathered in memory and then
// written, and after each part the file's size is compared with the offset
// counted so far.
class PeriodWriter {
 public:
  explicit PeriodWriter(KvFile file) : file_(file) {}

  uint64_t Offset() const { return offset_ + part_.size(); }
  bool Fits() const { return Offset() <= 0xFFFFFFFFu; }
  uint32_t Here() const { return static_cast<uint32_t>(Offset()); }

  void Bytes(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    part_.insert(part_.end(), p, p + size);
  }
  void Word(uint32_t v) {
    uint8_t b[4];
    Put32(b, v);
    Bytes(b, 4);
  }
  // Writes the part gathered; false when the write came out short. A size
  // that does not match the counted offset shows `what`.
  bool EndPart(const char* what) {
    if (!Fits()) return false;
    if (!part_.empty() && !WriteAll(file_, part_.data(), part_.size())) return false;
    offset_ += part_.size();
    part_.clear();
    if (kv::FileSize(file_) != static_cast<int64_t>(offset_)) kv::ui::MessageBox(0, what, "Error", kv::ui::MbOk);
    return true;
  }
  void SetOffset(uint64_t offset) { offset_ = offset; }

 private:
  KvFile file_;
  uint64_t offset_ = 0;
  std::vector<uint8_t> part_;
};

NameTableEntry** SlotArray(const SummaryTableEntry* table) {
  return table->Items ? table->Items : table->ItemBlock;
}

uint32_t SlotCount(const SummaryTableEntry* table) {
  if (!SlotArray(table)) return 0;
  const uint64_t n = uint64_t{table->Count} + table->DeleteCount;
  return static_cast<uint32_t>(std::min<uint64_t>(n, table->ChunkSize));
}

// Writes one table block (names, details, items, index) and then frees the
// table. `dirEntry` receives the descriptor image. false: short write.
bool WriteTableBlock(PeriodWriter& w, SummaryTableEntry* table, uint32_t number, bool session,
                     uint8_t dirEntry[kSummaryTableEntrySize]) {
  const bool searchDetails = !session && (number == kTopSearchKeywords || number == kTopSearchEngines);
  NameTableEntry** items = SlotArray(table);
  const uint32_t n = SlotCount(table);
  std::vector<uint32_t> stringOffsets(n, 0);
  std::vector<uint32_t> detailOffsets(n, 0);

  // a. Names.
  for (uint32_t i = 0; i < n; ++i) {
    const NameTableEntry* rec = items[i];
    if (!rec) continue;
    if (rec->String) {
      stringOffsets[i] = w.Here();
      w.Bytes(rec->String, std::strlen(rec->String) + 1);
    } else if (session && !rec->TopFlag && !rec->Deleted) {
      char text[64];
      std::snprintf(text, sizeof text, "String at index %u is NULL", i);
      kv::ui::MessageBox(0, text, "Problem", kv::ui::MbOk);
    }
  }
  if (!w.EndPart("Bad when writing strings")) return false;

  // b. Details.
  for (uint32_t i = 0; i < n; ++i) {
    const NameTableEntry* rec = items[i];
    if (!rec || !rec->TopNames || rec->TopNamesCount == 0) continue;
    if (searchDetails) {
      SearchDetailEntry** details = rec->Details();
      std::vector<uint32_t> names(rec->TopNamesCount, 0);
      for (uint32_t d = 0; d < rec->TopNamesCount; ++d) {
        if (details[d] && details[d]->text) {
          names[d] = w.Here();
          w.Bytes(details[d]->text, std::strlen(details[d]->text) + 1);
        }
      }
      if (!w.EndPart(number == kTopSearchKeywords ? "Bad when writing search engine strings"
                                                  : "Bad when writing search keyword strings")) {
        return false;
      }
      detailOffsets[i] = w.Here();
      for (uint32_t d = 0; d < rec->TopNamesCount; ++d) {
        const SearchDetailEntry empty{};
        const SearchDetailEntry& e = details[d] ? *details[d] : empty;
        w.Word(e.reserved[0]);
        w.Word(e.reserved[1]);
        w.Word(e.hits);
        w.Word(e.visits);
        w.Word(names[d]);
      }
      if (!w.EndPart(number == kTopSearchKeywords ? "Bad when writing TopNameTables"
                                                  : "Bad when writing top keywords table")) {
        return false;
      }
    } else {
      const TopNameList* lists = rec->Lists();
      const uint32_t count = std::min<uint32_t>(rec->TopNamesCount, kTopNameListCount);
      std::vector<uint32_t> data(count, 0);
      std::vector<uint16_t> stored(count, 0);
      for (uint32_t l = 0; l < count; ++l) {
        const TopNameList& list = lists[l];
        if (list.count == 0 || !list.values) continue;
        if (l == kListTrail) {
          // 32-bit entries, counted in 16-bit units.
          const uint32_t entries = std::min<uint32_t>(list.count, 0x7FFF);
          stored[l] = static_cast<uint16_t>(entries * 2);
          data[l] = w.Here();
          for (uint32_t e = 0; e < entries; ++e) w.Word(list.trail[e]);
        } else {
          stored[l] = list.count;
          data[l] = w.Here();
          for (uint32_t e = 0; e < list.count; ++e) {
            const uint8_t b[2] = {static_cast<uint8_t>(list.values[e]), static_cast<uint8_t>(list.values[e] >> 8)};
            w.Bytes(b, 2);
          }
        }
      }
      detailOffsets[i] = w.Here();
      for (uint32_t l = 0; l < count; ++l) {
        TopNameList copy = lists[l];
        copy.size = kTopNameListSize;
        copy.format = kRecordFormat;
        copy.count = stored[l];
        uint8_t image[kTopNameListSize];
        EncodeTopNameList(copy, data[l], image);
        w.Bytes(image, sizeof image);
      }
    }
  }
  if (!w.EndPart("Bad when writing TopNameTables")) return false;

  // c. Items.
  const uint32_t firstItem = n > 0 ? w.Here() : 0;
  for (uint32_t i = 0; i < n; ++i) {
    NameTableEntry blank{};
    blank.SizeWord = kNameTableEntrySize;
    blank.FormatWord = kRecordFormat;
    blank.Deleted = 1;
    blank.PrevLink = kNoItem;
    blank.NextLink = kNoItem;
    const NameTableEntry& rec = items[i] ? *items[i] : blank;
    NameTableEntry image = rec;
    image.SizeWord = kNameTableEntrySize;
    image.FormatWord = kRecordFormat;
    if (!searchDetails && image.TopNamesCount > kTopNameListCount) image.TopNamesCount = kTopNameListCount;
    if (detailOffsets[i] == 0) image.TopNamesCount = 0;
    uint8_t bytes[kNameTableEntrySize];
    EncodeNameTableEntry(image, stringOffsets[i], detailOffsets[i], bytes);
    w.Bytes(bytes, sizeof bytes);
  }
  // d. Name index.
  uint32_t indexOffset = 0;
  if (table->SortIndex && table->Count > 0 && table->Count <= n) {
    indexOffset = w.Here();
    for (uint32_t p = 0; p < table->Count; ++p) w.Word(table->SortIndex[p]);
  }
  if (!w.EndPart("Bad when writing NameTables")) return false;

  SummaryTableEntry described = *table;
  described.SizeWord = kSummaryTableEntrySize;
  described.FormatWord = kRecordFormat;
  if (n == 0) {
    described.Count = 0;
    described.DeleteCount = 0;
  }
  EncodeSummaryTableEntry(described, 0, firstItem, indexOffset, dirEntry);
  // The written table is released at once.
  FreeOneTable(table, searchDetails);
  return true;
}

// Writes the body from offset 512 and returns the template's offset (0 on
// failure). Consumes the tables.
uint32_t WritePeriodBody(KvFile file, TemplateRecord* templ) {
  PeriodWriter w(file);
  w.SetOffset(kPeriodHeaderSize);
  const uint32_t tableCount = templ->TopTablesPtr ? std::min<uint32_t>(templ->TopTablesCount, kItemTableCount) : 0;
  std::vector<uint8_t> directory(size_t{tableCount} * kSummaryTableEntrySize);
  for (uint32_t t = 0; t < tableCount; ++t) {
    if (!WriteTableBlock(w, &templ->TopTablesPtr[t], t, false, &directory[size_t{t} * kSummaryTableEntrySize])) {
      return 0;
    }
  }
  const uint32_t directoryOffset = tableCount > 0 ? w.Here() : 0;
  w.Bytes(directory.data(), directory.size());
  if (!w.EndPart("Bad when writing SummaryTables")) return 0;
  std::free(templ->TopTablesPtr);
  templ->TopTablesPtr = nullptr;

  uint32_t sessionOffset = 0;
  if (templ->TopUsersPtr) {
    uint8_t entry[kSummaryTableEntrySize];
    if (!WriteTableBlock(w, templ->TopUsersPtr, 0, true, entry)) return 0;
    sessionOffset = w.Here();
    w.Bytes(entry, sizeof entry);
    if (!w.EndPart("Bad when writing SummaryTables")) return 0;
    std::free(templ->TopUsersPtr);
    templ->TopUsersPtr = nullptr;
  }

  const uint32_t templateOffset = w.Here();
  uint8_t image[kTemplateRecordFileSize] = {};
  TemplateRecord counters = *templ;
  counters.TopTablesCount = tableCount;
  std::memcpy(image, &counters, kTemplateCountersSize);
  Put32(image + kTemplateCountersSize, directoryOffset);
  Put32(image + kTemplateCountersSize + 4, sessionOffset);
  w.Bytes(image, sizeof image);
  if (!w.EndPart("Bad when writing TemplateTables")) return 0;
  templ->TopTablesCount = 0;
  return templateOffset;
}

}  // namespace

namespace {

// Flushes an open file or folder to the disk; false when the system says
// it could not.
bool SyncPath(const std::string& path, bool folder) {
  const std::string native = kv::ResolvePath(path);
  const int fd = ::open(native.c_str(), (folder ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// The byte offset of the day's record in master.dat, checked against the
// record stored there; -1 when the day has no record.
int64_t MasterRecordOffset(RealtimeStore* store, const MasterRecord& record) {
  uint8_t image[kMasterRecordSize];
  uint32_t done = 0;
  if (kv::FileSeek(store->master, kMasterHeaderSize, kv::kSeekBegin) != kMasterHeaderSize ||
      !kv::FileRead(store->master, image, sizeof image, &done) || done != sizeof image) {
    return -1;
  }
  MasterRecord first{};
  DecodeMasterRecord(image, &first);
  if (record.start < first.start || (record.start - first.start) % kSecondsPerDay != 0) return -1;
  const int64_t at = int64_t{kMasterHeaderSize} + int64_t{kMasterRecordSize} * ((record.start - first.start) / kSecondsPerDay);
  if (kv::FileSeek(store->master, at, kv::kSeekBegin) != at || !kv::FileRead(store->master, image, sizeof image, &done) ||
      done != sizeof image) {
    return -1;
  }
  MasterRecord stored{};
  DecodeMasterRecord(image, &stored);
  return stored.start == record.start ? at : -1;
}

}  // namespace

int StoreMasterRecord(RealtimeStore* store, const MasterRecord* record, MasterRecord* previous) {
  if (!store || !record || store->kind != kStoreFiles) return 0;
  const int64_t cursor = kv::FileTell(store->master);
  if (cursor < 0) return 0;
  const int64_t at = MasterRecordOffset(store, *record);
  bool ok = at >= 0;
  if (ok && previous) {
    uint8_t image[kMasterRecordSize];
    uint32_t done = 0;
    ok = kv::FileSeek(store->master, at, kv::kSeekBegin) == at &&
         kv::FileRead(store->master, image, sizeof image, &done) && done == sizeof image;
    if (ok) DecodeMasterRecord(image, previous);
  }
  if (ok) {
    uint8_t image[kMasterRecordSize];
    EncodeMasterRecord(*record, image);
    uint32_t done = 0;
    ok = kv::FileSeek(store->master, at, kv::kSeekBegin) == at &&
         kv::FileWrite(store->master, image, sizeof image, &done) && done == sizeof image &&
         ::fsync(static_cast<int>(store->master)) == 0;
  }
  // The cursor stays where the caller left it.
  if (kv::FileSeek(store->master, cursor, kv::kSeekBegin) != cursor) ok = false;
  return ok ? 1 : 0;
}

int SavePeriodDatabase(const MasterRecord* record, RealtimeStore* store, ReportHandle* run) {
  AnalysisContext* context = RunContext(run);
  if (!record || !store || !context) return kDbFileError;
  if (store->kind == kStoreOdbc) {
    const int saved = SaveDayToODBC(store, &context->templ, record);
    FreeItemTables(&context->templ);
    if (saved == 2) return kDbCancelled;
    return saved == 1 ? kDbDone : kDbOdbcError;
  }
  char name[sizeof record->fileName];
  std::memcpy(name, record->fileName, sizeof name);
  name[sizeof name - 1] = 0;
  if (name[0] == 0 || std::strchr(name, '/') || std::strchr(name, '\\')) {
    FreeItemTables(&context->templ);
    return kDbFileError;
  }
  // The day is written whole to a file of its own and only then put in the
  // place of the stored one: an interrupted or refused save leaves the
  // stored day as it was.
  const std::string path = std::string(store->folder) + "\\" + name;
  const std::string fresh = path + ".new";
  KvFile file = kv::FileOpen(fresh.c_str(), kv::kFileWrite, kv::FileDisposition::kCreateAlways);
  if (file == KV_INVALID_FILE) {
    FreeItemTables(&context->templ);
    return kDbFileError;
  }
  uint8_t header[kPeriodHeaderSize] = {};
  uint32_t templateOffset = 0;
  if (WriteAll(file, header, sizeof header)) templateOffset = WritePeriodBody(file, &context->templ);
  // Whatever was not written is released too: after a save the context
  // holds no tables.
  FreeItemTables(&context->templ);
  bool ok = templateOffset != 0 && kv::FileSeek(file, 0, kv::kSeekBegin) == 0;
  if (ok) {
    uint8_t word[4];
    Put32(word, templateOffset);
    ok = WriteAll(file, word, sizeof word) && ::fsync(static_cast<int>(file)) == 0;
  }
  kv::FileClose(file);
  if (!ok) {
    kv::FileDelete(fresh.c_str());
    return kDbFileError;
  }
  // Until the new day is in place and its record says how far it goes, the
  // record says "nothing added": a crash in between reads the day again
  // from the logs instead of adding its new records a second time.
  MasterRecord cleared = *record;
  cleared.lastAdded = 0;
  std::memset(cleared.reserved, 0, sizeof cleared.reserved);
  MasterRecord previous{};
  if (StoreMasterRecord(store, &cleared, &previous) != 1) {
    kv::FileDelete(fresh.c_str());
    return kDbFileError;
  }
  if (!kv::FileMove(fresh.c_str(), path.c_str(), true)) {
    kv::FileDelete(fresh.c_str());
    StoreMasterRecord(store, &previous, nullptr);
    return kDbFileError;
  }
  SyncPath(store->folder, true);
  return kDbDone;
}

// ---- reading a period file ----------------------------------------------------------------------

namespace {

class ImageReader {
 public:
  ImageReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Has(uint64_t offset, uint64_t length) const { return offset <= size_ && length <= size_ - offset; }
  const uint8_t* At(uint32_t offset) const { return data_ + offset; }
  // A NUL-terminated text at `offset` inside the image, or null.
  const char* Text(uint32_t offset) const {
    if (offset == 0 || offset >= size_) return nullptr;
    const void* end = std::memchr(data_ + offset, 0, size_ - offset);
    return end ? reinterpret_cast<const char*>(data_ + offset) : nullptr;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

char* DupText(const char* text) {
  const size_t n = std::strlen(text);
  auto* copy = static_cast<char*>(std::malloc(n + 1));
  if (copy) std::memcpy(copy, text, n + 1);
  return copy;
}

// Capacity of a loaded table's arrays for n item slots: the chunk rule,
// never below what the slots need and never far above it.
uint32_t LoadedCapacity(uint32_t chunkSize, uint32_t n) {
  uint64_t capacity = chunkSize == 100 ? (uint64_t{n} + 1) / 100 * 100 + 100 : chunkSize;
  const uint64_t most = 2 * uint64_t{n} + kFirstChunkSize;
  if (capacity > most) capacity = most;
  if (capacity < n) capacity = n;
  return static_cast<uint32_t>(capacity);
}

bool ReadSearchDetails(const ImageReader& in, uint32_t offset, NameTableEntry* item) {
  const uint32_t count = item->TopNamesCount;
  item->TopNames = nullptr;
  item->TopNamesCount = 0;
  if (offset == 0 || count == 0) return true;
  if (!in.Has(offset, uint64_t{count} * kSearchDetailEntrySize)) return false;
  auto** entries = static_cast<SearchDetailEntry**>(std::calloc(count, sizeof(SearchDetailEntry*)));
  if (!entries) return false;
  item->TopNames = entries;
  item->TopNamesCount = count;
  for (uint32_t d = 0; d < count; ++d) {
    const uint8_t* p = in.At(offset + d * kSearchDetailEntrySize);
    auto* e = static_cast<SearchDetailEntry*>(std::calloc(1, sizeof(SearchDetailEntry)));
    if (!e) return false;
    entries[d] = e;
    e->reserved[0] = Get32(p);
    e->reserved[1] = Get32(p + 4);
    e->hits = Get32(p + 8);
    e->visits = Get32(p + 12);
    const uint32_t nameOffset = Get32(p + kSearchDetailDataSize);
    if (nameOffset != 0) {
      const char* name = in.Text(nameOffset);
      if (!name || !(e->text = DupText(name))) return false;
    }
  }
  return true;
}

bool ReadTopNameLists(const ImageReader& in, uint32_t offset, NameTableEntry* item) {
  const uint32_t count = item->TopNamesCount;
  item->TopNames = nullptr;
  item->TopNamesCount = 0;
  if (offset == 0 || count == 0) return true;
  if (count > kTopNameListCount || !in.Has(offset, uint64_t{count} * kTopNameListSize)) return false;
  auto* lists = static_cast<TopNameList*>(std::calloc(kTopNameListCount, sizeof(TopNameList)));
  if (!lists) return false;
  for (uint16_t l = 0; l < kTopNameListCount; ++l) {
    lists[l].size = kTopNameListSize;
    lists[l].format = kRecordFormat;
  }
  item->TopNames = lists;
  item->TopNamesCount = kTopNameListCount;  // shorter arrays are widened to 12
  for (uint32_t l = 0; l < count; ++l) {
    TopNameList list{};
    uint32_t dataOffset = 0;
    if (!DecodeTopNameList(in.At(offset + l * kTopNameListSize), &list, &dataOffset)) return false;
    if (list.count == 0) continue;
    if (dataOffset == 0 || !in.Has(dataOffset, uint64_t{list.count} * 2)) return false;
    const size_t bytes = size_t{list.count} * 2;
    auto* data = static_cast<uint8_t*>(std::malloc(bytes + 4));
    if (!data) return false;
    // Entries are little-endian 16-bit (or, for the trail, 32-bit) words.
    for (size_t b = 0; b < bytes; b += 2) {
      const uint16_t v = static_cast<uint16_t>(in.At(dataOffset)[b] | (in.At(dataOffset)[b + 1] << 8));
      std::memcpy(data + b, &v, 2);
    }
    if (l == kListTrail) {
      const uint16_t entries = static_cast<uint16_t>(list.count / 2);
      auto* trail = reinterpret_cast<uint32_t*>(data);
      for (uint16_t e = 0; e < entries; ++e) trail[e] = Get32(in.At(dataOffset) + 4u * e);
      lists[l].count = entries;
    } else {
      lists[l].count = list.count;
    }
    lists[l].values = reinterpret_cast<uint16_t*>(data);
  }
  return true;
}

// Rebuilds one table from its stored descriptor. On failure the table holds
// whatever was built so far (freed by the caller).
bool ReadTable(const ImageReader& in, const uint8_t* entryImage, SummaryTableEntry* table, bool searchDetails,
               bool session) {
  uint32_t itemBlockOffset = 0, itemsOffset = 0, indexOffset = 0;
  SummaryTableEntry stored{};
  if (!DecodeSummaryTableEntry(entryImage, &stored, &itemBlockOffset, &itemsOffset, &indexOffset)) return false;
  const uint64_t slots = uint64_t{stored.Count} + stored.DeleteCount;
  if (slots > 0x3FFFFFFFu) return false;
  const uint32_t n = static_cast<uint32_t>(slots);
  if (n > 0 && (itemsOffset == 0 || !in.Has(itemsOffset, uint64_t{n} * kNameTableEntrySize))) return false;
  if (indexOffset != 0 && !in.Has(indexOffset, uint64_t{stored.Count} * 4)) return false;

  *table = stored;
  table->ItemBlock = nullptr;
  table->Items = nullptr;
  table->SortIndex = nullptr;
  const uint32_t capacity = LoadedCapacity(stored.ChunkSize, n);
  table->ChunkSize = capacity;
  table->Count = 0;
  table->DeleteCount = 0;
  if (capacity == 0) return true;
  auto** block = static_cast<NameTableEntry**>(std::calloc(capacity, sizeof(NameTableEntry*)));
  if (!block) return false;
  table->ItemBlock = block;
  table->Items = block;
  // The names of a table are written one after another in item order: a
  // name that does not begin where the one before it ended was changed
  // inside (a zero byte in it cuts it short).
  uint64_t nextName = 0;
  for (uint32_t i = 0; i < n; ++i) {
    NameTableEntry item{};
    uint32_t stringOffset = 0, detailOffset = 0;
    if (!DecodeNameTableEntry(in.At(itemsOffset + i * kNameTableEntrySize), &item, &stringOffset, &detailOffset)) {
      return false;
    }
    auto* rec = static_cast<NameTableEntry*>(std::calloc(1, sizeof(NameTableEntry)));
    if (!rec) return false;
    *rec = item;
    rec->String = nullptr;
    rec->TopNames = nullptr;
    block[i] = rec;
    // Count the slot now so that a failure frees what was built.
    table->Count = i + 1;
    if (stringOffset != 0) {
      const char* text = in.Text(stringOffset);
      if (!text || (nextName != 0 && stringOffset != nextName) || !(rec->String = DupText(text))) return false;
      nextName = uint64_t{stringOffset} + std::strlen(text) + 1;
    } else if (session && !item.Deleted) {
      // A deleted session item gets no name: when it is taken again for a
      // new visitor, the new name takes its place.
      if (!(rec->String = DupText(""))) return false;
    }
    rec->TopNamesCount = item.TopNamesCount;
    const bool ok = searchDetails ? ReadSearchDetails(in, detailOffset, rec) : ReadTopNameLists(in, detailOffset, rec);
    if (!ok) return false;
  }
  table->Count = stored.Count;
  table->DeleteCount = stored.DeleteCount;
  // Links name item slots of this table (or none): anything else would send
  // the list code outside the arrays.
  if (n > 0) {
    auto link = [n](uint32_t v) { return v == kNoItem || v < n; };
    if (!link(table->DeleteListHead) || !link(table->DateListHead) || !link(table->DateListTail) ||
        !link(table->TopTableListHead) || !link(table->TopTableListTail)) {
      return false;
    }
    for (uint32_t i = 0; i < n; ++i) {
      if (!link(block[i]->PrevLink) || !link(block[i]->NextLink)) return false;
    }
  }
  // Both arrays always have the same capacity (the table code grows them
  // together), so an index is made even for a table stored without one.
  {
    auto* index = static_cast<uint32_t*>(std::calloc(capacity, sizeof(uint32_t)));
    if (!index) return false;
    table->SortIndex = index;
    if (indexOffset != 0) {
      for (uint32_t p = 0; p < stored.Count; ++p) {
        index[p] = Get32(in.At(indexOffset + 4 * p));
        if (index[p] >= n) return false;
      }
    } else if (stored.Count > 0) {
      // A table stored without its index cannot be searched by name.
      return false;
    }
  }
  return true;
}

}  // namespace

int DecodePeriodImage(const uint8_t* data, size_t size, TemplateRecord* templ) {
  if (!data || !templ || size < 4 || size > 0xFFFFFFFFu) return kDbBad;
  ImageReader in(data, size);
  const uint32_t templateOffset = Get32(data);
  // The template's offset is the word a save writes last: below the body it
  // is a file whose save did not end.
  if (templateOffset < kPeriodHeaderSize || !in.Has(templateOffset, kTemplateRecordFileSize)) return kDbBad;
  TemplateRecord loaded{};
  std::memcpy(&loaded, data + templateOffset, kTemplateCountersSize);
  const uint32_t directoryOffset = Get32(data + templateOffset + kTemplateCountersSize);
  const uint32_t sessionOffset = Get32(data + templateOffset + kTemplateCountersSize + 4);
  loaded.TopTablesPtr = nullptr;
  loaded.TopUsersPtr = nullptr;
  const uint32_t tableCount = directoryOffset != 0 ? loaded.TopTablesCount : 0;
  loaded.TopTablesCount = 0;
  bool ok = tableCount <= static_cast<uint32_t>(kItemTableCount);
  if (ok && directoryOffset != 0) {
    ok = in.Has(directoryOffset, uint64_t{tableCount} * kSummaryTableEntrySize);
    if (ok && tableCount > 0) {
      loaded.TopTablesPtr = static_cast<SummaryTableEntry*>(AllocZeroed(tableCount * sizeof(SummaryTableEntry)));
      ok = loaded.TopTablesPtr != nullptr;
      if (ok) {
        loaded.TopTablesCount = tableCount;
        for (uint32_t t = 0; t < tableCount; ++t) InitTableDescriptor(&loaded.TopTablesPtr[t]);
      }
      for (uint32_t t = 0; ok && t < tableCount; ++t) {
        ok = ReadTable(in, in.At(directoryOffset + t * kSummaryTableEntrySize), &loaded.TopTablesPtr[t],
                       t == kTopSearchKeywords || t == kTopSearchEngines, false);
      }
    }
  }
  if (ok && !loaded.TopTablesPtr) ok = CreateItemTables(&loaded) != 0;
  if (ok && loaded.TopTablesCount < static_cast<uint32_t>(kItemTableCount)) ok = GrowItemTables(&loaded) != 0;
  if (ok && sessionOffset != 0) {
    ok = in.Has(sessionOffset, kSummaryTableEntrySize);
    if (ok) {
      loaded.TopUsersPtr = static_cast<SummaryTableEntry*>(AllocZeroed(sizeof(SummaryTableEntry)));
      ok = loaded.TopUsersPtr != nullptr;
      if (ok) {
        InitTableDescriptor(loaded.TopUsersPtr);
        ok = ReadTable(in, in.At(sessionOffset), loaded.TopUsersPtr, false, true);
      }
    }
  }
  if (ok && !loaded.TopUsersPtr) ok = CreateSessionTable(&loaded) != 0;
  if (!ok) {
    FreeItemTables(&loaded);
    return kDbBad;
  }
  FreeItemTables(templ);
  *templ = loaded;
  return kDbLoaded;
}

int LoadPeriodDatabase(const MasterRecord* record, RealtimeStore* store, ReportHandle* run, ReportHandle* source,
                       const char* profilePath) {
  if (!record || !store || !run) return kDbBad;
  // The run: language, working paths and the profile's file name.
  std::snprintf(run->language, sizeof run->language, "%s", "ENGLISH");
  const std::string path = profilePath ? profilePath : "";
  const size_t cut = path.find_last_of("\\/");
  const std::string folder = cut == std::string::npos ? ProfileDirectory() : path.substr(0, cut + 1);
  const std::string fileName = cut == std::string::npos ? path : path.substr(cut + 1);
  SetReportWorkPaths(run, folder.c_str());
  CopyDbFileText(run->profileFile, sizeof run->profileFile, fileName);

  const int made = source ? CloneAnalysisContext(run, source, 0) : SetUpAnalysisContext(run, 0);
  if (!made || !RunContext(run)) return kDbBad;
  if (record->lastAdded == 0) return kDbEmpty;
  if (store->kind == kStoreOdbc) return LoadDayFromODBC(store, RunContext(run), record);
  if (store->kind != kStoreFiles) return kDbBad;

  char name[sizeof record->fileName];
  std::memcpy(name, record->fileName, sizeof name);
  name[sizeof name - 1] = 0;
  if (name[0] == 0 || std::strchr(name, '/') || std::strchr(name, '\\')) return kDbMissing;
  const std::string filePath = std::string(store->folder) + "\\" + name;
  KvFile file = kv::FileOpen(filePath.c_str(), kv::kFileRead, kv::FileDisposition::kOpenExisting);
  // An open day whose record says it holds records needs its file; a
  // complete day without one had no records.
  const bool holdsRecords = record->lastAdded >= record->start && record->lastAdded <= record->end;
  if (file == KV_INVALID_FILE) return holdsRecords ? kDbBad : kDbMissing;
  const int64_t size = kv::FileSize(file);
  if (size == 0) {
    // A save never leaves an empty file.
    kv::FileClose(file);
    return kDbBad;
  }
  std::vector<uint8_t> image;
  bool ok = size > 0 && static_cast<uint64_t>(size) <= 0xFFFFFFFFu;
  if (ok) {
    try {
      image.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
      ok = false;
    }
  }
  ok = ok && ReadAll(file, image.data(), image.size());
  kv::FileClose(file);
  if (!ok) return kDbBad;
  return DecodePeriodImage(image.data(), image.size(), &RunContext(run)->templ);
}

}  // namespace vrn

// ---- realtime folder (exported) ------------------------------------------------------------------

int ConvertDravelFileToRealTimeDir(const DravelEntry* profile, const char* dataFile, char* folder,
                                                        char* intervalFolder, int interval) {
  static const char* const kIntervalNames[] = {"daily", "weekly", "monthly", "quartrly", "yearly"};
  if (folder) folder[0] = 0;
  if (intervalFolder) intervalFolder[0] = 0;
  if (!profile || !folder) return 0;
  std::string base;
  const size_t repoLen = strnlen(profile->PellavarRepository, sizeof profile->PellavarRepository);
  if (repoLen > 0) {
    base.assign(profile->PellavarRepository, repoLen);
  } else {
    if (!dataFile) return 0;
    base = dataFile;
    const size_t dot = base.rfind('.');
    if (dot != std::string::npos) base = base.substr(0, dot) + ".dat";
  }
  if (base.size() >= VRN_REALTIME_DIR_SIZE) return 0;
  std::string sub;
  if (intervalFolder) {
    if (interval < 0 || interval > 4) return 0;
    sub = base + "\\" + kIntervalNames[interval];
    if (sub.size() >= VRN_REALTIME_DIR_SIZE) return 0;
  }
  vrn::CopyDbFileText(folder, VRN_REALTIME_DIR_SIZE, base);
  if (intervalFolder) vrn::CopyDbFileText(intervalFolder, VRN_REALTIME_DIR_SIZE, sub);
  return 1;
}

