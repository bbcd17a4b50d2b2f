// Log sources: what the line reader reads from. A source is a heap record
// whose address is the handle callers hold (kNoLogSource = none). Each kind
// brings its own small table of operations, so further kinds (ODBC tables,
// archive members) plug in from their own files through
// RegisterLogSourceOpener.
#ifndef VORNIC_CORE_LOG_SOURCE_H
#define VORNIC_CORE_LOG_SOURCE_H

#include <cstdint>
#include <string>

#include "platform/base/kvtypes.h"

namespace vrn {

// Kinds of source.
enum : uint16_t {
  kLogSourceFile = 0,
  kLogSourceArchiveMember = 1,  // reserved
  kLogSourceOdbc = 2,
};

// Marker in front of the name of a file extracted from an archive.
constexpr const char kExtractedLogMarker[] = "<<ZentiqZIP>>";

struct LogSource;
typedef intptr_t LogSourceHandle;
constexpr LogSourceHandle kNoLogSource = -1;

// Operations of one kind. Every pointer may be null where the kind has no
// such operation (the generic function then answers as for handle -1).
struct LogSourceOps {
  uint64_t (*size)(LogSource* source);
  // New position, or all ones on failure.
  uint64_t (*seek)(LogSource* source, uint64_t offset, uint32_t origin);
  // Reads up to `count` bytes; false on failure.
  bool (*read)(LogSource* source, void* buffer, uint32_t count, uint32_t* done);
  // Closes the kind's resources (the record is freed by the caller).
  bool (*close)(LogSource* source);
  // Sources read row by row (not byte by byte): puts the record at `position`
  // as one line of text (zero-terminated, at most capacity - 1 bytes) into
  // buffer, stores its length in *length and the position of the next record
  // in *next; returns 3 for a line, any other value ends the read with it.
  uint16_t (*fetchLine)(LogSource* source, char* buffer, uint32_t capacity, uint64_t position, uint32_t* length,
                        uint64_t* next);
};

struct LogSource {
  uint16_t kind = kLogSourceFile;
  KvFile file = KV_INVALID_FILE;  // kind 0
  char name[1024] = {};           // location as opened (marker removed)
  uint16_t memberIndex = 0;       // kind 1
  bool finished = false;          // an extracted copy: it grows no more
  uint64_t size = 0;              // kinds 1 and 2
  uint64_t position = 0;          // kinds 1 and 2
  const LogSourceOps* ops = nullptr;
  void* kindData = nullptr;       // owned by the kind; released by ops->close
};

// An opener for locations that begin with a prefix (compared without regard
// to case), e.g. "odbc:". It fills a new record (name already set) and
// returns true, or false to have the open fail.
typedef bool (*LogSourceOpener)(LogSource* source, const char* location);
// Registers (or with a null opener removes) the opener of a prefix. At most 8.
bool RegisterLogSourceOpener(const char* prefix, LogSourceOpener opener);

// Opens a location: the extracted-file marker is removed, a registered
// prefix goes to its opener, anything else is opened as a plain file with
// the given access and disposition (kv::FileOpen's). kNoLogSource on failure.
LogSourceHandle OpenLogSource(const char* location, uint32_t access, uint32_t disposition);
// Why a location named as a log file does not open for reading (the system's
// reason, or that it is no regular file); empty when it opens now.
std::string LogOpenFailure(const char* location);
// Opens for reading an existing file: what report runs use.
LogSourceHandle OpenLogSourceForReading(const char* location);

LogSource* LogSourceRecord(LogSourceHandle handle);  // null for kNoLogSource / 0
uint16_t GetLogSourceKind(LogSourceHandle handle);
uint64_t GetLogSourceSize(LogSourceHandle handle);
// Origins: 0 start, 1 current, 2 end. Returns the new position; 0 for -1.
uint64_t SeekLogSource(LogSourceHandle handle, uint64_t offset, uint32_t origin);
// The current position (a seek by 0 from the current position); 0 for -1.
uint64_t GetLogSourcePosition(LogSourceHandle handle);
// Non-zero on success. A failed read of a plain file is shown with the name
// ("Error reading log file %s.") through the client's error display.
int ReadLogSource(LogSourceHandle handle, void* buffer, uint32_t count, uint32_t* done);
// Tells the line reader to forget the source, closes and frees it. Non-zero
// on success; 0 for -1.
int CloseLogSource(LogSourceHandle handle);

// A checked file read: the platform read's result; a failure is shown with
// the handle in hexadecimal ("Error reading from file handle %.8lX.").
bool ReadFromHandle(KvFile file, void* buffer, uint32_t count, uint32_t* done);

}  // namespace vrn

#endif
