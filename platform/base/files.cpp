#include "platform/base/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/base/fdutil.h"
#include "platform/base/lasterror.h"
#include "platform/base/paths.h"
#include "platform/base/strutil.h"

namespace kv {

namespace {

// Standard input, output and error are never files of ours: a zeroed
// handle field must not reach them.
constexpr KvFile kFirstFile = 3;

bool ValidHandle(KvFile file) {
  if (file < kFirstFile || file > INT_MAX) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  return true;
}

bool BadPath(const char* path) {
  if (!path || !*path) {
    SetLastError(kErrorInvalidParameter);
    return true;
  }
  return false;
}

std::string ParentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsFolderPath(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// errno after a failed call on `path`: ENOENT becomes "path not found" when
// the parent folder itself is missing.
void SetPathError(int err, const std::string& path) {
  if (err == ENOENT && !IsFolderPath(ParentOf(path))) {
    SetLastError(kErrorPathNotFound);
  } else if (err == ENOTDIR) {
    SetLastError(kErrorPathNotFound);
  } else {
    SetLastErrorFromErrno(err);
  }
}

std::string NameOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  size_t slash = p.find_last_of('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

void FillInfo(const struct stat& st, FileInfo* info) {
  info->folder = S_ISDIR(st.st_mode);
  info->size = info->folder ? 0 : static_cast<uint64_t>(st.st_size);
  info->writeTime = st.st_mtim.tv_sec;
  info->readOnly = (st.st_mode & S_IWUSR) == 0;
}

// Copies an open source into a new or truncated target path.
bool CopyContent(int src, const struct stat& srcStat, const std::string& to, bool failIfExists) {
  int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (failIfExists ? O_EXCL : 0);
  int dst = open(to.c_str(), flags, srcStat.st_mode & 07777);
  if (dst < 0) {
    int err = errno;
    if (err == EEXIST) {
      SetLastError(kErrorFileExists);
    } else {
      SetPathError(err, to);
    }
    return false;
  }
  std::vector<char> buffer(1 << 16);
  bool ok = true;
  int err = 0;
  for (;;) {
    ssize_t n = read(src, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      ok = false;
      break;
    }
    if (n == 0) break;
    if (!WriteAllFd(dst, buffer.data(), static_cast<size_t>(n))) {
      err = errno;
      ok = false;
      break;
    }
  }
  if (ok) {
    fchmod(dst, srcStat.st_mode & 07777);
    struct timespec times[2] = {srcStat.st_atim, srcStat.st_mtim};
    futimens(dst, times);
  }
  if (close(dst) != 0 && ok) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    // A cut copy is worse than none: remove what was written.
    unlink(to.c_str());
    SetLastErrorFromErrno(err);
  }
  return ok;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

KvFile FileOpen(const char* path, uint32_t access, FileDisposition disposition) {
  if (BadPath(path) || (access & kFileReadWrite) == 0 || (access & ~kFileReadWrite) != 0) {
    SetLastError(kErrorInvalidParameter);
    return KV_INVALID_FILE;
  }
  int flags = O_CLOEXEC;
  flags |= access == kFileReadWrite ? O_RDWR : (access == kFileWrite ? O_WRONLY : O_RDONLY);
  switch (disposition) {
    case FileDisposition::kCreateNew: flags |= O_CREAT | O_EXCL; break;
    case FileDisposition::kCreateAlways: flags |= O_CREAT | O_TRUNC; break;
    case FileDisposition::kOpenExisting: break;
    case FileDisposition::kOpenAlways: flags |= O_CREAT; break;
    case FileDisposition::kTruncateExisting: flags |= O_TRUNC; break;
    default: SetLastError(kErrorInvalidParameter); return KV_INVALID_FILE;
  }
  if ((flags & O_TRUNC) && (access & kFileWrite) == 0) {
    // Truncating needs write access.
    SetLastError(kErrorInvalidParameter);
    return KV_INVALID_FILE;
  }
  std::string native = ResolvePath(path);
  int fd = open(native.c_str(), flags, 0666);
  if (fd < 0) {
    int err = errno;
    if (err == EEXIST) {
      SetLastError(kErrorFileExists);
    } else {
      SetPathError(err, native);
    }
    return KV_INVALID_FILE;
  }
  if (fd < kFirstFile) {
    // The process runs without its standard streams; keep clear of their numbers.
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, static_cast<int>(kFirstFile));
    int err = errno;
    close(fd);
    if (moved < 0) {
      SetLastErrorFromErrno(err);
      return KV_INVALID_FILE;
    }
    fd = moved;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    SetLastError(kErrorAccessDenied);
    return KV_INVALID_FILE;
  }
  SetLastError(kErrorSuccess);
  return static_cast<KvFile>(fd);
}

bool FileRead(KvFile file, void* buffer, uint32_t size, uint32_t* done) {
  if (done) *done = 0;
  if (!ValidHandle(file)) return false;
  if (!buffer && size > 0) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  char* p = static_cast<char*>(buffer);
  uint32_t total = 0;
  while (total < size) {
    ssize_t n = read(static_cast<int>(file), p + total, size - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastError(errno == EISDIR ? kErrorAccessDenied : ErrorFromErrno(errno));
      if (done) *done = total;
      return false;
    }
    if (n == 0) break;
    total += static_cast<uint32_t>(n);
  }
  if (done) *done = total;
  return true;
}

bool FileWrite(KvFile file, const void* buffer, uint32_t size, uint32_t* done) {
  if (done) *done = 0;
  if (!ValidHandle(file)) return false;
  if (!buffer && size > 0) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  const char* p = static_cast<const char*>(buffer);
  uint32_t total = 0;
  while (total < size) {
    ssize_t n = write(static_cast<int>(file), p + total, size - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastError(ErrorFromErrno(errno));
      if (done) *done = total;
      return false;
    }
    total += static_cast<uint32_t>(n);
  }
  if (done) *done = total;
  return true;
}

int64_t FileSeek(KvFile file, int64_t offset, uint32_t origin) {
  if (!ValidHandle(file)) return -1;
  int whence;
  switch (origin) {
    case kSeekBegin: whence = SEEK_SET; break;
    case kSeekCurrent: whence = SEEK_CUR; break;
    case kSeekEnd: whence = SEEK_END; break;
    default: SetLastError(kErrorInvalidParameter); return -1;
  }
  off_t pos = lseek(static_cast<int>(file), static_cast<off_t>(offset), whence);
  if (pos < 0) {
    SetLastError(errno == EINVAL ? kErrorInvalidParameter : ErrorFromErrno(errno));
    return -1;
  }
  return static_cast<int64_t>(pos);
}

int64_t FileTell(KvFile file) { return FileSeek(file, 0, kSeekCurrent); }

int64_t FileSize(KvFile file) {
  if (!ValidHandle(file)) return -1;
  struct stat st;
  if (fstat(static_cast<int>(file), &st) != 0) {
    SetLastErrorFromErrno(errno);
    return -1;
  }
  return static_cast<int64_t>(st.st_size);
}

bool FileSetEnd(KvFile file) {
  int64_t pos = FileTell(file);
  if (pos < 0) return false;
  if (ftruncate(static_cast<int>(file), static_cast<off_t>(pos)) != 0) {
    SetLastError(errno == EINVAL ? kErrorAccessDenied : ErrorFromErrno(errno));
    return false;
  }
  return true;
}

bool FileClose(KvFile file) {
  if (!ValidHandle(file)) return false;
  if (close(static_cast<int>(file)) != 0 && errno != EINTR) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool FileDelete(const char* path) {
  if (BadPath(path)) return false;
  std::string native = ResolvePath(path);
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) {
    SetPathError(errno, native);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  if (unlink(native.c_str()) != 0) {
    SetPathError(errno, native);
    return false;
  }
  return true;
}

namespace {

// rename without replacing an existing target.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // File systems without the flag: check, then rename.
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return rename(from.c_str(), to.c_str());
}

// Prepares the resolved source and target; a target that names the source
// itself in another case becomes a change of case.
bool PrepareMove(const char* from, const char* to, std::string* src, std::string* dst, bool* sameFile) {
  if (BadPath(from) || BadPath(to)) return false;
  *src = ResolvePath(from);
  *dst = ResolvePath(to);
  *sameFile = false;
  struct stat a, b;
  if (lstat(src->c_str(), &a) != 0) {
    SetPathError(errno, *src);
    return false;
  }
  if (lstat(dst->c_str(), &b) == 0 && SameFile(a, b)) {
    *sameFile = true;
    std::string name = NameOf(ToNativePath(to));
    *dst = ParentOf(*dst) + "/" + name;
  }
  return true;
}

}  // namespace

bool FileRename(const char* from, const char* to) {
  std::string src, dst;
  bool same;
  if (!PrepareMove(from, to, &src, &dst, &same)) return false;
  if (same) {
    if (src == dst) return true;
    if (rename(src.c_str(), dst.c_str()) != 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    return true;
  }
  if (RenameNoReplace(src, dst) != 0) {
    SetPathError(errno, dst);
    return false;
  }
  return true;
}

bool FileMove(const char* from, const char* to, bool replace) {
  std::string src, dst;
  bool same;
  if (!PrepareMove(from, to, &src, &dst, &same)) return false;
  if (same) return FileRename(from, to);
  struct stat srcStat;
  if (stat(src.c_str(), &srcStat) != 0) {
    SetPathError(errno, src);
    return false;
  }
  if (replace) {
    struct stat dstStat;
    if (stat(dst.c_str(), &dstStat) == 0 && S_ISDIR(dstStat.st_mode)) {
      SetLastError(kErrorAccessDenied);
      return false;
    }
    if (rename(src.c_str(), dst.c_str()) == 0) return true;
  } else {
    if (RenameNoReplace(src, dst) == 0) return true;
  }
  if (errno != EXDEV) {
    SetPathError(errno, dst);
    return false;
  }
  if (S_ISDIR(srcStat.st_mode)) {
    SetLastError(kErrorNotSupported);
    return false;
  }
  int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    SetPathError(errno, src);
    return false;
  }
  bool ok = CopyContent(in, srcStat, dst, !replace);
  close(in);
  if (!ok) return false;
  if (unlink(src.c_str()) != 0) {
    // Keep exactly one copy: the source could not go, so drop the new one.
    int err = errno;
    unlink(dst.c_str());
    SetLastErrorFromErrno(err);
    return false;
  }
  return true;
}

bool FileCopy(const char* from, const char* to, bool failIfExists) {
  if (BadPath(from) || BadPath(to)) return false;
  std::string src = ResolvePath(from);
  std::string dst = ResolvePath(to);
  int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    SetPathError(errno, src);
    return false;
  }
  struct stat srcStat, dstStat;
  if (fstat(in, &srcStat) != 0 || S_ISDIR(srcStat.st_mode)) {
    close(in);
    SetLastError(kErrorAccessDenied);
    return false;
  }
  if (stat(dst.c_str(), &dstStat) == 0) {
    if (failIfExists) {
      close(in);
      SetLastError(kErrorFileExists);
      return false;
    }
    // Copying a file onto itself would truncate it first and lose it.
    if (SameFile(srcStat, dstStat) || S_ISDIR(dstStat.st_mode)) {
      close(in);
      SetLastError(S_ISDIR(dstStat.st_mode) ? kErrorAccessDenied : kErrorSharingViolation);
      return false;
    }
  }
  bool ok = CopyContent(in, srcStat, dst, failIfExists);
  close(in);
  return ok;
}

bool CreateFolder(const char* path) {
  if (BadPath(path)) return false;
  std::string native = ResolvePath(path);
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  if (mkdir(native.c_str(), 0777) != 0) {
    int err = errno;
    if (err == EEXIST) {
      SetLastError(kErrorAlreadyExists);
    } else {
      SetPathError(err, native);
    }
    return false;
  }
  return true;
}

bool RemoveFolder(const char* path) {
  if (BadPath(path)) return false;
  std::string native = ResolvePath(path);
  if (rmdir(native.c_str()) != 0) {
    int err = errno;
    if (err == ENOTEMPTY || err == EEXIST) {
      SetLastError(kErrorDirNotEmpty);
    } else {
      SetPathError(err, native);
    }
    return false;
  }
  return true;
}

bool GetFileInfo(const char* path, FileInfo* info) {
  if (BadPath(path)) return false;
  if (!info) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  std::string native = ResolvePath(path);
  struct stat st;
  if (stat(native.c_str(), &st) != 0) {
    SetPathError(errno, native);
    return false;
  }
  info->name = NameOf(native);
  FillInfo(st, info);
  return true;
}

bool PathExists(const char* path) {
  if (!path || !*path) return false;
  struct stat st;
  return stat(ResolvePath(path).c_str(), &st) == 0;
}

bool FolderExists(const char* path) {
  if (!path || !*path) return false;
  return IsFolderPath(ResolvePath(path));
}

bool WildcardMatch(const char* pattern, const char* name) {
  if (!pattern || !name) return false;
  if (std::strcmp(pattern, "*.*") == 0) pattern = "*";
  const char* p = pattern;
  const char* n = name;
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*n) {
    if (*p == '*') {
      star = p++;
      resume = n;
    } else if (*p == '?' || (*p && AsciiLower(*p) == AsciiLower(*n))) {
      ++p;
      ++n;
    } else if (star) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (*p == '*') ++p;
  return *p == '\0';
}

std::vector<FileInfo> FindFiles(const char* pattern) {
  std::vector<FileInfo> result;
  if (BadPath(pattern)) return result;
  std::string native = ToNativePath(pattern);
  size_t slash = native.find_last_of('/');
  std::string folder = slash == std::string::npos ? std::string() : native.substr(0, slash + 1);
  std::string mask = slash == std::string::npos ? native : native.substr(slash + 1);
  if (mask.empty()) {
    SetLastError(kErrorFileNotFound);
    return result;
  }
  std::string dirPath = folder.empty() ? std::string(".") : ResolvePath(folder);
  DIR* dir = opendir(dirPath.c_str());
  if (!dir) {
    SetLastError(kErrorPathNotFound);
    return result;
  }
  int dfd = dirfd(dir);
  while (dirent* e = readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (!WildcardMatch(mask.c_str(), e->d_name)) continue;
    struct stat st;
    if (fstatat(dfd, e->d_name, &st, 0) != 0 && fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    FileInfo info;
    info.name = e->d_name;
    FillInfo(st, &info);
    result.push_back(std::move(info));
  }
  closedir(dir);
  std::sort(result.begin(), result.end(), [](const FileInfo& a, const FileInfo& b) {
    int c = ICompare(a.name, b.name);
    return c != 0 ? c < 0 : a.name < b.name;
  });
  SetLastError(result.empty() ? kErrorFileNotFound : kErrorSuccess);
  return result;
}

}  // namespace kv
