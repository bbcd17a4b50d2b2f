// The log status library: appending status lines and reading them back.
#include "logstatus/saldune.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/base/memory.h"
#include "platform/module/module.h"
#include "platform/base/paths.h"
#include "platform/ostrel/ostrel.h"

namespace {

// Copies text into a caller's buffer of KVLS_ERROR_TEXT_SIZE bytes.
void SetErrorText(char* error_text, std::string_view text) {
  if (error_text == nullptr) return;
  size_t n = text.size() < KVLS_ERROR_TEXT_SIZE - 1 ? text.size() : KVLS_ERROR_TEXT_SIZE - 1;
  std::memcpy(error_text, text.data(), n);
  error_text[n] = '\0';
}

void SetErrorWithPath(char* error_text, const char* what, const char* path) {
  std::string text(what);
  text += "\r\n";
  text += path != nullptr ? path : "";
  text += '.';
  SetErrorText(error_text, text);
}

// Appends the time stamp field "\"<id>:<time_t> <ctime text>\"," to out.
void AppendTimeStamp(std::string& out, time_t when, int32_t id) {
  char ctext[64];
  // ctime_r fails (null) for years it cannot print; the stamp then carries
  // the number alone.
  if (ctime_r(&when, ctext) == nullptr) ctext[0] = '\0';
  size_t n = std::strlen(ctext);
  if (n > 0 && ctext[n - 1] == '\n') ctext[--n] = '\0';
  char field[KVLS_TIMESTAMP_SIZE];
  int len = std::snprintf(field, sizeof field, "\"%d:%lld %s\",", static_cast<int>(id),
                          static_cast<long long>(when), ctext);
  if (len < 0) return;
  if (static_cast<size_t>(len) >= sizeof field) len = sizeof field - 1;
  out.append(field, static_cast<size_t>(len));
}

// A value may not hold what would end a field or a line early.
bool IsStorableValue(const char* value) {
  return value != nullptr && std::strpbrk(value, "\"\r\n") == nullptr;
}

// ---- reading ---------------------------------------------------------------

// A decimal number as the C runtime reads one: leading blanks, a sign,
// digits up to the first other character. Far too many digits saturate.
int64_t ParseDecimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < (INT64_MAX - 9) / 10) value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

// One field of a line: the number and the value (a view into the line).
struct Field {
  int32_t id = -1;
  std::string_view value;
};

// Reads the field that starts at pos: it ends at the first comma outside
// double quotes; an opening quote is skipped and a closing one cut; the number
// is the text before the first colon. On success pos moves behind the comma.
// A field without a comma after it, or without a colon, yields nothing.
bool ReadField(std::string_view line, size_t& pos, Field& field) {
  bool quoted = false;
  size_t end = pos;
  for (; end < line.size(); ++end) {
    char c = line[end];
    if (c == '"') quoted = !quoted;
    else if (c == ',' && !quoted) break;
  }
  if (end >= line.size()) return false;
  std::string_view text = line.substr(pos, end - pos);
  pos = end + 1;
  if (!text.empty() && text.front() == '"') text.remove_prefix(1);
  if (!text.empty() && text.back() == '"') text.remove_suffix(1);
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  int64_t value = ParseDecimal(text.substr(0, colon));
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < -INT32_MAX) value = -INT32_MAX;
  field.id = static_cast<int32_t>(value);
  field.value = text.substr(colon + 1);
  if (field.value.size() > KVLS_MAX_VALUE - 1) field.value = field.value.substr(0, KVLS_MAX_VALUE - 1);
  return true;
}

// The loaded image: its text (NUL after the last byte) and its end.
struct Image {
  char* begin = nullptr;
  char* end = nullptr;
};

// Takes the next line from the handle's cursor: up to its CR, at most
// KVLS_MAX_LINE - 1 characters kept; the cursor moves behind the CR LF.
// Returns false when no CR is left in the image.
bool NextLine(LogStatusHandle* handle, const Image& image, std::string_view& line) {
  char* start = handle->cursor;
  if (start == nullptr || start < image.begin || start >= image.end) return false;
  char* cr = static_cast<char*>(std::memchr(start, '\r', static_cast<size_t>(image.end - start)));
  if (cr == nullptr) return false;
  size_t len = static_cast<size_t>(cr - start);
  if (len > KVLS_MAX_LINE - 1) len = KVLS_MAX_LINE - 1;
  line = std::string_view(start, len);
  char* next = cr + 1;
  if (next < image.end && *next == '\n') ++next;
  handle->cursor = next;
  return true;
}

// Reads the whole status file into the handle.
bool LoadImage(LogStatusHandle* handle) {
  if (handle->path[0] == '\0') return false;
  KvGlobal image = 0;
  int32_t size = 0;
  char* text = KVUI_ReadEntireFile(handle->path, &image, 1, 64, &size);
  if (text == nullptr || size < 0) {
    if (image != 0) KVUI_UnlockAndFree(image);
    return false;
  }
  handle->image = image;
  handle->size = size;
  handle->cursor = text;
  return true;
}

// The text of the loaded image (locked since the load; the extra lock here
// is only to learn its address).
Image ImageOf(const LogStatusHandle* handle) {
  Image image;
  image.begin = static_cast<char*>(kv::GlobalLock(handle->image));
  if (image.begin != nullptr) {
    kv::GlobalUnlock(handle->image);
    size_t size = kv::GlobalSize(handle->image);
    size_t used = handle->size > 0 ? static_cast<size_t>(handle->size) : 0;
    image.end = image.begin + (used < size ? used : size);
  }
  return image;
}

}  // namespace

extern "C" {

int32_t KVLS_LogStatusFileCleanup(LogStatusHandle* handle) {
  if (handle == nullptr) return 0;
  if (handle->image != 0) KVUI_UnlockAndFree(handle->image);
  handle->image = 0;
  handle->size = 0;
  handle->cursor = nullptr;
  KVUI_MyFree2(reinterpret_cast<void**>(&handle->line));
  return 0;
}

char* KVLS_LogStatusFileStartup(const char* path, LogStatusHandle* handle) {
  if (handle == nullptr) return nullptr;
  std::memset(handle, 0, sizeof *handle);
  if (path != nullptr) {
    size_t n = std::strlen(path);
    if (n < KVLS_MAX_PATH) std::memcpy(handle->path, path, n + 1);
  }
  return handle->path;
}

int32_t KVLS_TimeStamp(char* out, const time_t* when, int32_t id) {
  if (out == nullptr) return 0;
  std::string field;
  AppendTimeStamp(field, when != nullptr ? *when : time(nullptr), id);
  std::memcpy(out, field.c_str(), field.size() + 1);  // at most KVLS_TIMESTAMP_SIZE bytes
  return static_cast<int32_t>(field.size());
}

int32_t KVLS_WriteEntryIntoLogStatusFile(int32_t /*unused*/, const LogStatusEntry* entries,
                                         int32_t count, const time_t* when, const char* path,
                                         char* error_text) {
  if (error_text != nullptr) error_text[0] = '\0';
  if (path == nullptr || path[0] == '\0') {
    SetErrorWithPath(error_text, "Unable to create the status logfile", path);
    return 0;
  }
  if (count < 0 || (count > 0 && entries == nullptr)) {
    SetErrorWithPath(error_text, "The status entries are not valid for the status logfile", path);
    return 0;
  }

  // The whole line is built and checked before the file is touched, so a
  // refused entry leaves the file as it was.
  std::string line;
  line.reserve(256);
  AppendTimeStamp(line, when != nullptr ? *when : time(nullptr), 0);
  char number[16];
  for (int32_t i = 0; i < count; ++i) {
    if (!IsStorableValue(entries[i].value)) {
      SetErrorWithPath(error_text,
                       "A status value holds a double quote or a line break and cannot be stored in the "
                       "status logfile",
                       path);
      return 0;
    }
    int n = std::snprintf(number, sizeof number, "\"%d:", static_cast<int>(entries[i].id));
    line.append(number, static_cast<size_t>(n));
    line.append(entries[i].value);
    line.append("\",");
    if (line.size() > KVLS_MAX_LINE) break;  // refused below; stop growing
  }
  line.append("\r\n");
  if (line.size() > KVLS_MAX_LINE - 1) {
    SetErrorWithPath(error_text, "The status line is too long for the status logfile", path);
    return 0;
  }

  std::string native = kv::ResolvePath(path);
  int fd = open(native.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) {
    SetErrorWithPath(error_text, "Unable to create the status logfile", path);
    return 0;
  }
  // Writers of every process queue on an exclusive lock of the file itself;
  // it is released when the descriptor closes.
  int rc;
  do {
    rc = flock(fd, LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    close(fd);
    return 0;
  }
  off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) {
    close(fd);
    SetErrorWithPath(error_text, "Unable to seek to the end of the status logfile", path);
    return 0;
  }
  ssize_t written;
  do {
    written = write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(line.size())) {
    // A short write (disk full) would leave half a line for every reader:
    // take it back while the lock is still held.
    if (written > 0 && ftruncate(fd, end) != 0) {
      // Nothing more can be done; the reader ignores a line without CR.
    }
    close(fd);
    SetErrorWithPath(error_text, "Unable to write to the status logfile", path);
    return 0;
  }
  close(fd);
  return 1;
}

LogStatusItem* KVLS_ReadEntryFromLogStatusFile(int32_t /*unused*/, LogStatusHandle* handle,
                                               const time_t* key, int32_t* stamp_out, int32_t mode,
                                               int32_t* count_out, char* error_text) {
  if (error_text != nullptr) error_text[0] = '\0';
  if (count_out != nullptr) *count_out = 0;
  if (handle == nullptr) return nullptr;
  handle->path[KVLS_MAX_PATH - 1] = '\0';  // a caller-filled handle stays bounded

  if (handle->cursor == nullptr || handle->image == 0) {
    if (handle->image != 0) KVLS_LogStatusFileCleanup(handle);
    if (!LoadImage(handle)) {
      KVLS_LogStatusFileCleanup(handle);
      return nullptr;
    }
  }
  if (handle->line == nullptr) {
    handle->line = static_cast<char*>(KVUI_MyAlloc(KVLS_MAX_LINE));
    if (handle->line == nullptr) {
      KVLS_LogStatusFileCleanup(handle);
      return nullptr;
    }
  }

  int64_t wanted = key != nullptr ? static_cast<int64_t>(*key) : static_cast<int64_t>(time(nullptr));
  uint32_t search = 0;
  if (mode == KVLS_MODE_EARLIEST) search = UINT32_MAX;
  else if (mode == KVLS_MODE_KEY) search = static_cast<uint32_t>(wanted);

  const char* chosen = nullptr;
  size_t chosen_len = 0;
  int64_t chosen_stamp = 0;
  Image image = ImageOf(handle);
  for (;;) {
    std::string_view line;
    if (!NextLine(handle, image, line) || line.empty()) break;
    size_t pos = 0;
    Field first;
    if (!ReadField(line, pos, first) || first.value.empty() || first.id != 0) continue;
    int64_t stamp = ParseDecimal(first.value);  // the number before the blank
    uint32_t ustamp = static_cast<uint32_t>(stamp);
    bool stop = false;
    bool take = false;
    switch (mode) {
      case KVLS_MODE_NEXT:
        take = stop = true;
        break;
      case KVLS_MODE_EARLIEST:
        take = ustamp < search;
        break;
      case KVLS_MODE_LATEST:
        take = ustamp > search;
        break;
      case KVLS_MODE_KEY:
        take = stop = stamp == wanted;
        break;
      default:
        break;
    }
    if (take) {
      chosen = line.data();
      chosen_len = line.size();
      chosen_stamp = stamp;
      search = ustamp;
    }
    if (stop) break;
  }
  if (chosen == nullptr) {
    KVLS_LogStatusFileCleanup(handle);
    return nullptr;
  }
  if (stamp_out != nullptr) *stamp_out = static_cast<int32_t>(chosen_stamp);

  // The chosen line again, through the line buffer.
  std::memcpy(handle->line, chosen, chosen_len);
  handle->line[chosen_len] = '\0';
  std::string_view line(handle->line, chosen_len);
  size_t pos = 0;
  Field field;
  ReadField(line, pos, field);  // the time stamp
  LogStatusItem* items = nullptr;
  int32_t count = 0;
  while (ReadField(line, pos, field)) {
    void* grown = items == nullptr ? KVUI_MyAlloc(sizeof(LogStatusItem))
                                   : KVUI_MyRealloc(items, sizeof(LogStatusItem) * (count + 1));
    if (grown == nullptr) break;
    items = static_cast<LogStatusItem*>(grown);
    LogStatusItem& item = items[count];
    std::memset(&item, 0, sizeof item);
    item.id = field.id;
    std::memcpy(item.value, field.value.data(), field.value.size());  // at most 255 bytes
    item.value[field.value.size()] = '\0';
    item.stamp = static_cast<int32_t>(chosen_stamp);
    ++count;
  }
  if (count == 0) {
    KVUI_MyFree(items);
    KVLS_LogStatusFileCleanup(handle);
    return nullptr;
  }
  if (count_out != nullptr) *count_out = count;
  return items;
}

// The exports by ordinal, for callers that bind them by number.
KV_EXPORT extern const KvOrdinalEntry kv_ordinal_table[];
const KvOrdinalEntry kv_ordinal_table[] = {
    {1, reinterpret_cast<KvProc>(&KVLS_LogStatusFileCleanup)},
    {2, reinterpret_cast<KvProc>(&KVLS_LogStatusFileStartup)},
    {3, reinterpret_cast<KvProc>(&KVLS_ReadEntryFromLogStatusFile)},
    {4, reinterpret_cast<KvProc>(&KVLS_TimeStamp)},
    {5, reinterpret_cast<KvProc>(&KVLS_WriteEntryIntoLogStatusFile)},
    {0, nullptr},
};

}  // extern "C"
