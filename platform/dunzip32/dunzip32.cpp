// The unzip module on libzip: counts members, reports one member, extracts
// one member to a file through a temporary file that replaces the output only
// when the member was written whole.
#include "platform/dunzip32/dunzip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/fdutil.h"
#include "platform/base/kvtypes.h"
#include "platform/base/paths.h"

namespace {

// Copies text into a fixed field, cut to fit; true when it was cut.
bool CopyField(char* out, size_t size, const char* text) {
  const size_t n = std::strlen(text);
  const size_t m = n < size - 1 ? n : size - 1;
  std::memcpy(out, text, m);
  out[m] = 0;
  return m < n;
}

// The archive of the last request stays open for the next one while the file
// is unchanged: a caller goes through an archive's members one request each,
// and opening it reads its whole central directory every time.
struct OpenArchive {
  std::string native;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  struct timespec written = {};
  zip_t* zip = nullptr;
};
std::mutex g_openMutex;
OpenArchive g_open;
// The archive kept open is closed when the module is unloaded.
struct CloseAtUnload {
  ~CloseAtUnload() {
    if (g_open.zip != nullptr) zip_discard(g_open.zip);
    g_open.zip = nullptr;
  }
} g_closeAtUnload;

class Archive {
 public:
  explicit Archive(const char* path) : lock_(g_openMutex) {
    const std::string native = kv::ResolvePath(path);
    struct stat st;
    if (::stat(native.c_str(), &st) != 0) return;
    if (g_open.zip != nullptr && g_open.native == native && g_open.device == st.st_dev && g_open.inode == st.st_ino &&
        g_open.size == st.st_size && g_open.written.tv_sec == st.st_mtim.tv_sec &&
        g_open.written.tv_nsec == st.st_mtim.tv_nsec) {
      zip_ = g_open.zip;
      return;
    }
    if (g_open.zip != nullptr) zip_discard(g_open.zip);
    g_open = OpenArchive();
    int error = 0;
    zip_ = zip_open(native.c_str(), ZIP_RDONLY, &error);
    if (zip_ == nullptr) return;
    g_open.native = native;
    g_open.device = st.st_dev;
    g_open.inode = st.st_ino;
    g_open.size = st.st_size;
    g_open.written = st.st_mtim;
    g_open.zip = zip_;
  }
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;
  zip_t* get() const { return zip_; }

 private:
  std::lock_guard<std::mutex> lock_;
  zip_t* zip_ = nullptr;
};

bool StatMember(zip_t* zip, uint32_t index, zip_stat_t* st) {
  const zip_int64_t n = zip_get_num_entries(zip, 0);
  if (n < 0 || static_cast<zip_int64_t>(index) >= n) return false;
  zip_stat_init(st);
  return zip_stat_index(zip, index, 0, st) == 0 && (st->valid & ZIP_STAT_NAME) != 0;
}

bool IsFolderName(const char* name) {
  const size_t n = std::strlen(name);
  return n > 0 && (name[n - 1] == '/' || name[n - 1] == '\\');
}

int32_t Extract(DunzipRequest* r) {
  Archive archive(r->archivePath);
  if (archive.get() == nullptr) return DUNZIP_OPEN_FAILED;
  zip_stat_t st;
  if (!StatMember(archive.get(), r->memberIndex, &st)) return DUNZIP_NO_SUCH_MEMBER;
  if (IsFolderName(st.name)) return DUNZIP_NOTHING_TO_EXTRACT;
  const uint64_t total = (st.valid & ZIP_STAT_SIZE) != 0 ? st.size : 0;
  r->uncompressedSize = total;

  std::string output = r->outputPath != nullptr ? r->outputPath : "";
  if (r->nameCallback != nullptr) {
    std::vector<char> named(DUNZIP_PATH_SIZE, 0);
    if (r->nameCallback(r->user, named.data(), DUNZIP_PATH_SIZE) != 0) {
      named[DUNZIP_PATH_SIZE - 1] = 0;
      output = named.data();
    }
  }
  if (output.empty()) return DUNZIP_BAD_REQUEST;
  const std::string native = kv::ResolvePath(output);
  struct stat existing;
  if (r->overwrite == 0 && ::stat(native.c_str(), &existing) == 0) return DUNZIP_KEPT_EXISTING;

  zip_file_t* member = zip_fopen_index(archive.get(), r->memberIndex, 0);
  if (member == nullptr) return DUNZIP_READ_FAILED;

  std::string tempPath = native + ".XXXXXX";
  std::vector<char> pattern(tempPath.begin(), tempPath.end());
  pattern.push_back(0);
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    zip_fclose(member);
    return DUNZIP_WRITE_FAILED;
  }
  ::fchmod(fd, 0644);
  tempPath = pattern.data();

  int32_t result = DUNZIP_OK;
  std::vector<char> buffer(65536);
  uint64_t written = 0;
  uint32_t lastPercent = 101;
  for (;;) {
    const zip_int64_t got = zip_fread(member, buffer.data(), buffer.size());
    if (got < 0) {
      result = DUNZIP_READ_FAILED;
      break;
    }
    if (got == 0) break;
    if (!kv::WriteAllFd(fd, buffer.data(), static_cast<size_t>(got))) {
      result = DUNZIP_WRITE_FAILED;
      break;
    }
    written += static_cast<uint64_t>(got);
    if (r->progress != nullptr) {
      uint32_t percent = total == 0 ? 100u : static_cast<uint32_t>(written >= total ? 100 : written * 100 / total);
      if (percent != lastPercent || written >= total) {
        lastPercent = percent;
        if (r->progress(r->user, percent) != 0) {
          result = DUNZIP_CANCELLED;
          break;
        }
      }
    }
  }
  // A member shorter or longer than its directory says is damaged.
  if (result == DUNZIP_OK && (st.valid & ZIP_STAT_SIZE) != 0 && written != total) result = DUNZIP_READ_FAILED;
  if (zip_fclose(member) != 0 && result == DUNZIP_OK) result = DUNZIP_READ_FAILED;
  if (::close(fd) != 0 && result == DUNZIP_OK) result = DUNZIP_WRITE_FAILED;
  r->bytesWritten = written;
  if (result == DUNZIP_OK && ::rename(tempPath.c_str(), native.c_str()) != 0) result = DUNZIP_WRITE_FAILED;
  if (result != DUNZIP_OK) ::unlink(tempPath.c_str());
  return result;
}

}  // namespace

extern "C" KV_EXPORT int32_t dunzip(DunzipRequest* r) {
  if (r == nullptr || r->structSize != sizeof(DunzipRequest) || r->archivePath == nullptr ||
      r->archivePath[0] == 0) {
    return DUNZIP_BAD_REQUEST;
  }
  switch (r->action) {
    case DUNZIP_ACTION_COUNT: {
      r->memberCount = 0;
      Archive archive(r->archivePath);
      if (archive.get() == nullptr) return DUNZIP_OPEN_FAILED;
      const zip_int64_t n = zip_get_num_entries(archive.get(), 0);
      if (n < 0) return DUNZIP_OPEN_FAILED;
      r->memberCount = n > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(n);
      return DUNZIP_OK;
    }
    case DUNZIP_ACTION_MEMBER_INFO: {
      r->memberName[0] = 0;
      r->memberNameCut = 0;
      r->compressedSize = r->uncompressedSize = 0;
      r->isFolder = 0;
      Archive archive(r->archivePath);
      if (archive.get() == nullptr) return DUNZIP_OPEN_FAILED;
      zip_stat_t st;
      if (!StatMember(archive.get(), r->memberIndex, &st)) return DUNZIP_NO_SUCH_MEMBER;
      r->memberNameCut = CopyField(r->memberName, sizeof(r->memberName), st.name) ? 1 : 0;
      r->compressedSize = (st.valid & ZIP_STAT_COMP_SIZE) != 0 ? st.comp_size : 0;
      r->uncompressedSize = (st.valid & ZIP_STAT_SIZE) != 0 ? st.size : 0;
      r->isFolder = IsFolderName(st.name) ? 1 : 0;
      return DUNZIP_OK;
    }
    case DUNZIP_ACTION_EXTRACT:
      r->bytesWritten = 0;
      return Extract(r);
    default:
      return DUNZIP_BAD_REQUEST;
  }
}
