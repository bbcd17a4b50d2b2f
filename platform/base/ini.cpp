#include "platform/base/ini.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/base/fdutil.h"
#include "platform/base/ini_detail.h"
#include "platform/base/lasterror.h"
#include "platform/base/paths.h"
#include "platform/base/strutil.h"

namespace kv {

namespace ini {

Document::Document(std::string text) : text_(std::move(text)) { Parse(); }

void Document::Parse() {
  lines_.clear();
  size_t pos = 0;
  const size_t size = text_.size();
  if (text_.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
  while (pos < size) {
    Line line;
    line.begin = pos;
    size_t nl = text_.find('\n', pos);
    line.next = nl == std::string::npos ? size : nl + 1;
    line.end = nl == std::string::npos ? size : nl;
    if (line.end > line.begin && text_[line.end - 1] == '\r') --line.end;
    std::string_view content = TrimBlanks(std::string_view(text_).substr(line.begin, line.end - line.begin));
    if (content.empty()) {
      line.kind = Line::kBlank;
    } else if (content.front() == ';') {
      line.kind = Line::kComment;
    } else if (content.front() == '[') {
      size_t close = content.find(']');
      if (close != std::string_view::npos) {
        line.kind = Line::kSection;
        line.name = TrimBlanks(content.substr(1, close - 1));
      } else {
        line.kind = Line::kOther;
      }
    } else {
      size_t eq = content.find('=');
      std::string_view key = eq == std::string_view::npos ? std::string_view() : TrimBlanks(content.substr(0, eq));
      if (!key.empty()) {
        line.kind = Line::kKey;
        line.name = key;
        line.value = TrimBlanks(content.substr(eq + 1));
      } else {
        line.kind = Line::kOther;
      }
    }
    lines_.push_back(line);
    pos = line.next;
  }
}

int Document::FindSection(std::string_view name) const {
  for (size_t i = 0; i < lines_.size(); ++i)
    if (lines_[i].kind == Line::kSection && IEquals(lines_[i].name, name)) return static_cast<int>(i);
  return -1;
}

size_t Document::SectionEnd(size_t header) const {
  size_t i = header + 1;
  while (i < lines_.size() && lines_[i].kind != Line::kSection) ++i;
  return i;
}

int Document::FindKey(size_t header, std::string_view key) const {
  size_t end = SectionEnd(header);
  for (size_t i = header + 1; i < end; ++i)
    if (lines_[i].kind == Line::kKey && IEquals(lines_[i].name, key)) return static_cast<int>(i);
  return -1;
}

std::vector<const Line*> Document::SectionKeys(std::string_view section) const {
  std::vector<const Line*> keys;
  int header = FindSection(section);
  if (header < 0) return keys;
  size_t end = SectionEnd(static_cast<size_t>(header));
  for (size_t i = static_cast<size_t>(header) + 1; i < end; ++i)
    if (lines_[i].kind == Line::kKey) keys.push_back(&lines_[i]);
  return keys;
}

std::string Document::Eol() const {
  size_t nl = text_.find('\n');
  if (nl != std::string::npos && nl > 0 && text_[nl - 1] == '\r') return "\r\n";
  return "\n";
}

// What ends the last line of a file that ends without a line break (a
// final lone CR only needs its LF).
std::string Document::LineBreakToEnd() const { return !text_.empty() && text_.back() == '\r' ? "\n" : Eol(); }

void Document::SetValue(std::string_view section, std::string_view key, std::string_view value) {
  const std::string eol = Eol();
  int header = FindSection(section);
  if (header < 0) {
    std::string add;
    if (!text_.empty() && text_.back() != '\n' && text_ != "\xEF\xBB\xBF") add += LineBreakToEnd();
    add += "[";
    add += section;
    add += "]" + eol;
    add += key;
    add += "=";
    add += value;
    add += eol;
    text_ += add;
    Parse();
    return;
  }
  int found = FindKey(static_cast<size_t>(header), key);
  if (found >= 0) {
    const Line& line = lines_[static_cast<size_t>(found)];
    std::string replacement(line.name);
    replacement += "=";
    replacement += value;
    text_.replace(line.begin, line.end - line.begin, replacement);
    Parse();
    return;
  }
  // A new key goes after the last non-blank line of the section.
  size_t last = static_cast<size_t>(header);
  for (size_t i = SectionEnd(last); i > last + 1; --i) {
    if (lines_[i - 1].kind != Line::kBlank) {
      last = i - 1;
      break;
    }
  }
  const Line& after = lines_[last];
  std::string add;
  if (after.next == text_.size() && text_.back() != '\n') add += LineBreakToEnd();
  add += key;
  add += "=";
  add += value;
  add += eol;
  text_.insert(after.next, add);
  Parse();
}

bool Document::DeleteKey(std::string_view section, std::string_view key) {
  int header = FindSection(section);
  if (header < 0) return false;
  size_t end = SectionEnd(static_cast<size_t>(header));
  bool any = false;
  for (size_t i = end; i > static_cast<size_t>(header) + 1; --i) {
    const Line& line = lines_[i - 1];
    if (line.kind == Line::kKey && IEquals(line.name, key)) {
      text_.erase(line.begin, line.next - line.begin);
      any = true;
    }
  }
  if (any) Parse();
  return any;
}

size_t Document::DeleteSections(const std::function<bool(std::string_view)>& match) {
  size_t count = 0;
  for (size_t i = lines_.size(); i > 0; --i) {
    const Line& header = lines_[i - 1];
    if (header.kind != Line::kSection || !match(header.name)) continue;
    size_t end = SectionEnd(i - 1);
    size_t stop = end < lines_.size() ? lines_[end].begin : text_.size();
    text_.erase(header.begin, stop - header.begin);
    ++count;
  }
  if (count) Parse();
  return count;
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') return value.substr(1, value.size() - 2);
  return value;
}

namespace {

bool ReadFd(int fd, std::string* out) {
  out->clear();
  char buf[16384];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    if (n == 0) return true;
    out->append(buf, static_cast<size_t>(n));
  }
}

// The file itself when `path` is a symbolic link (a rename must not replace
// the link).
std::string FollowLink(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char real[PATH_MAX];
    if (realpath(path.c_str(), real)) return real;
  }
  return path;
}

std::atomic<unsigned> g_tempCounter{0};

}  // namespace

bool ReadFile(const std::string& path, std::string* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    SetLastError(kErrorAccessDenied);
    return false;
  }
  bool ok = ReadFd(fd, out);
  close(fd);
  return ok;
}

namespace {

// Releases the lock and closes. The explicit unlock matters: a child forked
// meanwhile shares the open file, and closing alone would leave the file
// locked for as long as the child keeps its copy.
void UnlockAndClose(int fd) {
  flock(fd, LOCK_UN);
  close(fd);
}

// The edit proper, with `fd` open on `path` and locked.
bool EditLocked(int fd, const struct stat& locked, const std::string& path,
                const std::function<bool(std::string&)>& edit) {
  if (S_ISDIR(locked.st_mode) || access(path.c_str(), W_OK) != 0) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  std::string text;
  if (!ReadFd(fd, &text)) return false;
  const std::string before = text;
  if (!edit(text)) return false;
  if (text == before) return true;
  std::string temp = path + ".~" + std::to_string(getpid()) + "." + std::to_string(g_tempCounter++);
  int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (out < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  bool ok = WriteAllFd(out, text.data(), text.size());
  int err = errno;
  if (ok) fchmod(out, locked.st_mode & 07777);
  if (close(out) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    SetLastErrorFromErrno(err);
  }
  return ok;
}

}  // namespace

bool EditFile(const std::string& given, bool create, const std::function<bool(std::string&)>& edit) {
  const std::string path = FollowLink(given);
  int fd = -1;
  struct stat locked;
  for (;;) {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
    if (fd < 0) {
      int err = errno;
      if (err == ENOENT && !create) return true;
      SetLastError(err == ENOENT ? kErrorPathNotFound : ErrorFromErrno(err));
      return false;
    }
    while (flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        SetLastErrorFromErrno(errno);
        close(fd);
        return false;
      }
    }
    // Another writer may have replaced the file while we waited; then lock
    // the new one.
    struct stat current;
    if (fstat(fd, &locked) == 0 && stat(path.c_str(), &current) == 0 && locked.st_dev == current.st_dev &&
        locked.st_ino == current.st_ino)
      break;
    UnlockAndClose(fd);
  }
  const bool ok = EditLocked(fd, locked, path, edit);
  UnlockAndClose(fd);
  return ok;
}

}  // namespace ini

namespace {

bool HasSeparator(const char* file) { return std::strpbrk(file, "/\\:") != nullptr; }

// Text that would break the line structure of the file.
bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// The INI text of a file; empty when missing or unreadable.
std::string Load(const char* file) {
  std::string text;
  if (!ini::ReadFile(IniFilePath(file), &text)) text.clear();
  return text;
}

// Writes a double-NUL list into out with the truncation rule for lists.
uint32_t CopyList(const std::vector<std::string>& items, char* out, uint32_t size) {
  if (!out || size == 0) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  std::string all;
  for (const auto& item : items) {
    all += item;
    all.push_back('\0');
  }
  if (all.size() + 1 <= size) {
    std::memcpy(out, all.data(), all.size());
    out[all.size()] = '\0';
    if (all.empty() && size >= 2) out[1] = '\0';
    return static_cast<uint32_t>(all.size());
  }
  SetLastError(kErrorMoreData);
  if (size < 2) {
    out[0] = '\0';
    return 0;
  }
  std::memcpy(out, all.data(), size - 2);
  out[size - 2] = '\0';
  out[size - 1] = '\0';
  return size - 2;
}

uint32_t CopyValue(std::string_view value, char* out, uint32_t size) {
  size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(out, value.data(), n);
  out[n] = '\0';
  if (n < value.size()) SetLastError(kErrorMoreData);
  return static_cast<uint32_t>(n);
}

void AddUnique(std::vector<std::string>* names, std::string_view name) {
  for (const auto& n : *names)
    if (IEquals(n, name)) return;
  names->emplace_back(name);
}

std::vector<std::string> SectionNamesOf(const ini::Document& doc) {
  std::vector<std::string> names;
  for (const auto& line : doc.Lines())
    if (line.kind == ini::Line::kSection) AddUnique(&names, line.name);
  return names;
}

std::vector<std::string> KeyNamesOf(const ini::Document& doc, std::string_view section) {
  std::vector<std::string> names;
  for (const ini::Line* line : doc.SectionKeys(section)) AddUnique(&names, line->name);
  return names;
}

// The value of section/key (quotes dropped) when present.
bool Lookup(const ini::Document& doc, std::string_view section, std::string_view key, std::string_view* value) {
  int header = doc.FindSection(TrimBlanks(section));
  if (header < 0) return false;
  int line = doc.FindKey(static_cast<size_t>(header), TrimBlanks(key));
  if (line < 0) return false;
  *value = ini::Unquote(doc.Lines()[static_cast<size_t>(line)].value);
  return true;
}

}  // namespace

std::string SystemIniPath() {
  const char* env = std::getenv("KV_WIN_INI");
  if (env && *env) return ResolvePath(env);
  return ResolvePath(ProgramFolder() + "WIN.INI");
}

std::string IniFilePath(const char* file) {
  if (!file || !*file) return SystemIniPath();
  if (!HasSeparator(file)) {
    if (IEquals(file, "win.ini")) return SystemIniPath();
    return ResolvePath(ProgramFolder() + file);
  }
  return ResolvePath(file);
}

uint32_t IniGetString(const char* section, const char* key, const char* def, char* out, uint32_t size,
                      const char* file) {
  if (!out || size == 0) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  ini::Document doc(Load(file));
  SetLastError(kErrorSuccess);
  if (!section) return CopyList(SectionNamesOf(doc), out, size);
  if (!key) return CopyList(KeyNamesOf(doc, TrimBlanks(section)), out, size);
  std::string_view value;
  if (!Lookup(doc, section, key, &value)) {
    value = def ? def : "";
    SetLastError(kErrorFileNotFound);
  }
  return CopyValue(value, out, size);
}

int32_t IniGetInt(const char* section, const char* key, int32_t def, const char* file) {
  if (!section || !key) {
    SetLastError(kErrorInvalidParameter);
    return def;
  }
  ini::Document doc(Load(file));
  std::string_view value;
  if (!Lookup(doc, section, key, &value)) return def;
  value = TrimBlanks(value);
  size_t i = 0;
  bool negative = false;
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
  if (i >= value.size() || value[i] < '0' || value[i] > '9') return def;
  uint32_t n = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) n = n * 10u + static_cast<uint32_t>(value[i] - '0');
  if (negative) n = 0u - n;
  return static_cast<int32_t>(n);
}

bool IniWriteString(const char* section, const char* key, const char* value, const char* file) {
  if (!section) {
    // All null: a request to flush; every write already reached the file.
    if (!key && !value) return true;
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  std::string_view sec = TrimBlanks(section);
  std::string_view k = key ? TrimBlanks(key) : std::string_view();
  if (HasLineBreak(sec) || sec.find(']') != std::string_view::npos ||
      (key && (k.empty() || HasLineBreak(k) || k.find('=') != std::string_view::npos || k.front() == '[' ||
               k.front() == ';')) ||
      (key && value && HasLineBreak(value))) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  const std::string path = IniFilePath(file);
  const bool create = key && value;
  bool ok = ini::EditFile(path, create, [&](std::string& text) {
    ini::Document doc(std::move(text));
    if (!key) {
      doc.DeleteSections([&](std::string_view name) { return IEquals(name, sec); });
    } else if (!value) {
      doc.DeleteKey(sec, k);
    } else {
      doc.SetValue(sec, k, value);
    }
    text = doc.Text();
    return true;
  });
  if (ok) SetLastError(kErrorSuccess);
  return ok;
}

uint32_t IniGetSection(const char* section, char* out, uint32_t size, const char* file) {
  if (!out || size == 0 || !section) {
    SetLastError(kErrorInvalidParameter);
    if (out && size) out[0] = '\0';
    return 0;
  }
  std::vector<std::string> entries;
  for (auto& [k, v] : IniSection(section, file)) entries.push_back(k + "=" + v);
  return CopyList(entries, out, size);
}

std::string IniString(const char* section, const char* key, const char* def, const char* file) {
  if (!section || !key) {
    SetLastError(kErrorInvalidParameter);
    return def ? def : "";
  }
  ini::Document doc(Load(file));
  std::string_view value;
  if (!Lookup(doc, section, key, &value)) return def ? def : "";
  return std::string(value);
}

std::vector<std::string> IniSectionNames(const char* file) { return SectionNamesOf(ini::Document(Load(file))); }

std::vector<std::string> IniKeyNames(const char* section, const char* file) {
  if (!section) return {};
  return KeyNamesOf(ini::Document(Load(file)), TrimBlanks(section));
}

std::vector<std::pair<std::string, std::string>> IniSection(const char* section, const char* file) {
  std::vector<std::pair<std::string, std::string>> result;
  if (!section) return result;
  ini::Document doc(Load(file));
  for (const ini::Line* line : doc.SectionKeys(TrimBlanks(section)))
    result.emplace_back(std::string(line->name), std::string(ini::Unquote(line->value)));
  return result;
}

}  // namespace kv
