// Files and folders. Paths are mapped and looked up as described in paths.h
// ("\" or "/", drive letters, any case). Every function checks its inputs;
// failures return false / KV_INVALID_FILE / -1 and set the last error
// (lasterror.h). A KvFile is an open file descriptor, never 0, 1 or 2 (a
// zeroed handle is "none", not standard input); a closed or unknown one is
// an invalid-handle error. Read, write, seek and size make no
// allocation.
#ifndef KV_PLATFORM_FILES_H
#define KV_PLATFORM_FILES_H

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "platform/base/kvtypes.h"

namespace kv {

// Access wanted (bit set).
enum : uint32_t {
  kFileRead = 1,
  kFileWrite = 2,
  kFileReadWrite = 3,
};

// What to do when the file exists / does not exist.
enum class FileDisposition : uint32_t {
  kCreateNew = 1,         // create; fail (kErrorFileExists) if it exists
  kCreateAlways = 2,      // create or truncate
  kOpenExisting = 3,      // open; fail (kErrorFileNotFound) if missing
  kOpenAlways = 4,        // open, creating it if missing
  kTruncateExisting = 5,  // open and truncate; fail if missing
};

// Seek origins.
enum : uint32_t {
  kSeekBegin = 0,
  kSeekCurrent = 1,
  kSeekEnd = 2,
};

// Opens or creates a file (created files get mode 0666 & ~umask). Reading a
// folder fails with kErrorAccessDenied.
KvFile FileOpen(const char* path, uint32_t access, FileDisposition disposition);

// Reads up to `size` bytes (fewer only at end of file); `*done` (may be null)
// receives the count. End of file is success with a short count.
bool FileRead(KvFile file, void* buffer, uint32_t size, uint32_t* done);

// Writes all `size` bytes; `*done` (may be null) receives the count written.
bool FileWrite(KvFile file, const void* buffer, uint32_t size, uint32_t* done);

// Moves the file position (64-bit) and returns the new position, or -1.
// A resulting negative position is kErrorInvalidParameter. Seeking past the
// end is allowed; a later write extends the file (sparse).
int64_t FileSeek(KvFile file, int64_t offset, uint32_t origin);

// The current position, or -1.
int64_t FileTell(KvFile file);

// The size in bytes, or -1.
int64_t FileSize(KvFile file);

// Cuts or extends the file at the current position.
bool FileSetEnd(KvFile file);

// Closes the file; closing KV_INVALID_FILE or a closed file is an error.
bool FileClose(KvFile file);

// Deletes a file (not a folder).
bool FileDelete(const char* path);

// Renames / moves a file or folder; fails with kErrorAlreadyExists when the
// target exists. Does not cross file systems.
bool FileRename(const char* from, const char* to);

// Moves a file or folder, across file systems too (files only: copy then
// delete). With replace, an existing target file is replaced.
bool FileMove(const char* from, const char* to, bool replace);

// Copies a file, keeping its permission bits and last-write time. With
// failIfExists, an existing target is kErrorFileExists; else it is replaced.
bool FileCopy(const char* from, const char* to, bool failIfExists);

// Creates one folder (its parent must exist); an existing one is
// kErrorAlreadyExists.
bool CreateFolder(const char* path);

// Removes an empty folder.
bool RemoveFolder(const char* path);

// What is known of a name on disk.
struct FileInfo {
  std::string name;        // file name only, as spelled on disk
  uint64_t size = 0;       // 0 for folders
  std::time_t writeTime = 0;  // last write, wall-clock seconds (UTC based)
  bool folder = false;
  bool readOnly = false;   // no write permission for the owner
};

// Information on an existing file or folder; false (kErrorFileNotFound /
// kErrorPathNotFound) when missing.
bool GetFileInfo(const char* path, FileInfo* info);

// True when the path names an existing file or folder / an existing folder.
bool PathExists(const char* path);
bool FolderExists(const char* path);

// Wildcard search. The pattern's last component may contain "*" (any run of
// characters) and "?" (one character), matched against each file name without
// regard to ASCII case; "*.*" matches every name (with or without a dot). The
// folder part is mapped and resolved as a path and takes no wildcards.
// "." and ".." are never returned. Results are sorted by name, ignoring
// case. An empty result sets kErrorFileNotFound (kErrorPathNotFound when
// the folder is missing); a success sets kErrorSuccess.
std::vector<FileInfo> FindFiles(const char* pattern);

// Wildcard match of one name as FindFiles does it.
bool WildcardMatch(const char* pattern, const char* name);

}  // namespace kv

#endif
