#include "platform/base/paths.h"

#include <dirent.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/base/lasterror.h"
#include "platform/base/strutil.h"

namespace kv {

namespace {

std::string DriveRoot() {
  const char* root = std::getenv("KV_DRIVE_ROOT");
  std::string r = (root && *root) ? root : "/";
  if (r.back() != '/') r.push_back('/');
  return r;
}

std::string ReadLink(const char* link) {
  char buf[PATH_MAX];
  ssize_t n = readlink(link, buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Looks in `folder` for an entry equal to `name` without regard to case;
// the smallest such name in byte order wins.
bool FindNoCase(const std::string& folder, const std::string& name, std::string* found) {
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return false;
  bool any = false;
  while (dirent* e = readdir(dir)) {
    if (!IEquals(e->d_name, name)) continue;
    if (!any || std::strcmp(e->d_name, found->c_str()) < 0) *found = e->d_name;
    any = true;
  }
  closedir(dir);
  return any;
}

}  // namespace

std::string ToNativePath(std::string_view path) {
  std::string out;
  if (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') {
    out = DriveRoot();
    path.remove_prefix(2);
    while (!path.empty() && (path.front() == '\\' || path.front() == '/')) path.remove_prefix(1);
  }
  out.reserve(out.size() + path.size());
  for (char c : path) out.push_back(c == '\\' ? '/' : c);
  return out;
}

std::string ResolvePath(std::string_view path) {
  std::string native = ToNativePath(path);
  if (native.empty() || Exists(native)) return native;

  const bool absolute = native.front() == '/';
  const bool trailing = native.back() == '/';
  std::string result = absolute ? "/" : "";
  bool searching = true;
  size_t pos = 0;
  while (pos < native.size()) {
    size_t slash = native.find('/', pos);
    if (slash == std::string::npos) slash = native.size();
    std::string part = native.substr(pos, slash - pos);
    pos = slash + 1;
    if (part.empty()) continue;
    std::string folder = result;
    if (!result.empty() && result.back() != '/') result.push_back('/');
    std::string candidate = result + part;
    if (searching && !Exists(candidate)) {
      std::string found;
      if (part != "." && part != ".." && FindNoCase(folder, part, &found)) {
        candidate = result + found;
      } else {
        searching = false;
      }
    }
    result = candidate;
  }
  if (trailing && !result.empty() && result.back() != '/') result.push_back('/');
  return result;
}

uint32_t CopyOut(std::string_view text, char* out, uint32_t size) {
  if (!out || size == 0) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
  return text.size() > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(text.size());
}

std::string ProgramFolder() {
  const char* env = std::getenv("KV_PROGRAM_DIR");
  std::string dir;
  if (env && *env) {
    dir = env;
  } else {
    dir = ReadLink("/proc/self/exe");
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
  }
  if (dir.empty() || dir.back() != '/') dir.push_back('/');
  return dir;
}

uint32_t GetProgramFolder(char* out, uint32_t size) { return CopyOut(ProgramFolder(), out, size); }

namespace {

struct ModuleQuery {
  uintptr_t address = 0;
  bool found = false;
  bool mainProgram = false;
  std::string name;
};

int FindModule(dl_phdr_info* info, size_t, void* data) {
  auto* q = static_cast<ModuleQuery*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (q->address >= start && q->address - start < ph.p_memsz) {
      q->found = true;
      q->name = info->dlpi_name ? info->dlpi_name : "";
      // The program itself comes first and carries no name.
      q->mainProgram = q->name.empty();
      return 1;
    }
  }
  return 0;
}

}  // namespace

std::string ModuleFileFromAddress(const void* address) {
  ModuleQuery q;
  q.address = reinterpret_cast<uintptr_t>(address);
  if (!address || dl_iterate_phdr(FindModule, &q) == 0 || !q.found) {
    SetLastError(kErrorInvalidParameter);
    return {};
  }
  if (q.mainProgram) return ReadLink("/proc/self/exe");
  char real[PATH_MAX];
  if (realpath(q.name.c_str(), real)) return real;
  return q.name;
}

uint32_t GetModuleFileFromAddress(const void* address, char* out, uint32_t size) {
  std::string path = ModuleFileFromAddress(address);
  if (path.empty()) {
    if (out && size) out[0] = '\0';
    return 0;
  }
  return CopyOut(path, out, size);
}

std::string TempFolder() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = (env && *env) ? env : "/tmp";
  if (dir.back() != '/') dir.push_back('/');
  return dir;
}

uint32_t GetTempFolder(char* out, uint32_t size) { return CopyOut(TempFolder(), out, size); }

std::string CurrentFolder() {
  char buf[PATH_MAX];
  if (!getcwd(buf, sizeof buf)) {
    SetLastErrorFromErrno(errno);
    return {};
  }
  return buf;
}

uint32_t GetCurrentFolder(char* out, uint32_t size) {
  std::string dir = CurrentFolder();
  if (dir.empty()) return 0;
  return CopyOut(dir, out, size);
}

bool SetCurrentFolder(const char* path) {
  if (!path || !*path) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (chdir(ResolvePath(path).c_str()) != 0) {
    SetLastError(errno == ENOENT ? kErrorPathNotFound : ErrorFromErrno(errno));
    return false;
  }
  return true;
}

}  // namespace kv
