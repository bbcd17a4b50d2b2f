// The KVUI_ functions: memory, whole-file reading, folders and paths,
// password scrambling, the scheduler log, message pumping, string resources
// and the registry reader.
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/files.h"
#include "platform/base/memory.h"
#include "platform/base/paths.h"
#include "platform/base/registry.h"
#include "platform/module/module.h"
#include "platform/module/resource.h"
#include "platform/ostrel/ostrel.h"
#include "platform/ostrel/ostrel_internal.h"
#include "platform/ui/window.h"

namespace {

// Copies text into a caller's buffer when it fits whole; else leaves "".
bool CopyWhole(const std::string& text, char* out, int32_t size) {
  if (!out || size <= 0) return false;
  if (text.size() >= static_cast<size_t>(size)) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

// The password key: each position has its own key byte, so that equal
// characters do not give equal digits.
uint8_t KeyByte(size_t i) {
  static const char kKey[] = "Ostrel/KVUI password scrambling key";
  const size_t n = sizeof kKey - 1;
  return static_cast<uint8_t>(static_cast<uint8_t>(kKey[i % n]) ^ static_cast<uint8_t>(i * 37u + 11u));
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string FolderOf(const std::string& file) {
  size_t slash = file.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return file.substr(0, slash);
}

}  // namespace

namespace ostrel_internal {

std::string ModuleString(KvModule module, uint32_t id, bool* found) {
  if (found) *found = false;
  const KvResourceEntry* e = KvFindResource(module, KV_RESOURCE_STRING, id);
  if (!e || (!e->data && e->size != 0)) return std::string();
  if (found) *found = true;
  return std::string(static_cast<const char*>(e->data), e->size);
}

KvModule CallerModule(const void* return_address) { return KvModuleFromAddress(return_address); }

}  // namespace ostrel_internal

extern "C" {

// ---- memory -------------------------------------------------------------------

void* KVUI_MyAlloc(size_t size) { return std::calloc(1, size == 0 ? 1 : size); }

void* KVUI_MyRealloc(void* block, size_t size) {
  if (!block) return KVUI_MyAlloc(size);
  return std::realloc(block, size == 0 ? 1 : size);
}

void KVUI_MyFree(void* block) { std::free(block); }

void KVUI_MyFree2(void** block) {
  if (!block) return;
  std::free(*block);
  *block = nullptr;
}

KvBool KVUI_UnlockAndFree(KvGlobal handle) {
  if (handle == 0) return 0;
  while (kv::GlobalLockCount(handle) > 0) {
    if (!kv::GlobalUnlock(handle)) break;
  }
  return kv::GlobalFree(handle) ? 1 : 0;
}

// ---- files and folders ----------------------------------------------------------

char* KVUI_ReadEntireFile(const char* path, KvGlobal* handle_out, int32_t, uint32_t, int32_t* size_out) {
  if (handle_out) *handle_out = 0;
  if (size_out) *size_out = 0;
  if (!path || !*path) return nullptr;
  KvFile f = kv::FileOpen(path, kv::kFileRead, kv::FileDisposition::kOpenExisting);
  if (f == KV_INVALID_FILE) return nullptr;
  const int64_t size = kv::FileSize(f);
  if (size < 0 || size > INT32_MAX - 1) {
    kv::FileClose(f);
    return nullptr;
  }
  const size_t bytes = static_cast<size_t>(size) + 1;
  KvGlobal handle = 0;
  char* text = nullptr;
  if (handle_out) {
    handle = kv::GlobalAlloc(kv::kGlobalMoveable | kv::kGlobalZeroInit, bytes);
    text = handle ? static_cast<char*>(kv::GlobalLock(handle)) : nullptr;
    if (!text && handle) kv::GlobalFree(handle);
  } else {
    text = static_cast<char*>(KVUI_MyAlloc(bytes));
  }
  if (!text) {
    kv::FileClose(f);
    return nullptr;
  }
  uint32_t done = 0;
  const bool ok = kv::FileRead(f, text, static_cast<uint32_t>(size), &done);
  kv::FileClose(f);
  if (!ok) {
    if (handle_out) {
      KVUI_UnlockAndFree(handle);
    } else {
      KVUI_MyFree(text);
    }
    return nullptr;
  }
  // A file that shrank meanwhile gives what was read.
  text[done] = '\0';
  if (handle_out) *handle_out = handle;
  if (size_out) *size_out = static_cast<int32_t>(done);
  return text;
}

int32_t KVUI_GetLocalDirectory(KvModule module, char* buffer, int32_t size) {
  if (!buffer || size <= 0) return 0;
  buffer[0] = '\0';
  if (!module) module = ostrel_internal::CallerModule(__builtin_return_address(0));
  std::vector<char> path(4096);
  uint32_t n = KvGetModuleFileName(module, path.data(), static_cast<uint32_t>(path.size()));
  if (n == 0 || n >= path.size() - 1) return 0;
  std::string folder = FolderOf(std::string(path.data(), n));
  if (folder.empty() || !CopyWhole(folder, buffer, size)) return 0;
  return static_cast<int32_t>(folder.size());
}

char* KVUI_ConstructFullFilename(char* out, int32_t out_size, const char* folder, const char* name) {
  if (!out || out_size <= 0) return nullptr;
  std::string joined = folder ? folder : "";
  if (!joined.empty() && joined.back() != '/' && joined.back() != '\\') joined += '/';
  joined += name ? name : "";
  // The inputs may overlap the output: the join is built apart first.
  return CopyWhole(joined, out, out_size) ? out : nullptr;
}

// ---- passwords ----------------------------------------------------------------

KvBool KVUI_EncryptPassword(const char* password, char* out, int32_t out_size) {
  if (!out || out_size <= 0) return 0;
  if (!password) {
    out[0] = '\0';
    return 0;
  }
  const size_t n = strnlen(password, KVUI_MAX_PASSWORD + 1);
  if (n > KVUI_MAX_PASSWORD) {
    out[0] = '\0';
    return 0;
  }
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = static_cast<uint8_t>(static_cast<uint8_t>(password[i]) ^ KeyByte(i));
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return CopyWhole(text, out, out_size) ? 1 : 0;
}

KvBool KVUI_DecryptPassword(const char* text, char* out, int32_t out_size) {
  if (!out || out_size <= 0) return 0;
  out[0] = '\0';
  if (!text) return 0;
  const size_t len = strnlen(text, 2 * KVUI_MAX_PASSWORD + 1);
  if (len > 2 * KVUI_MAX_PASSWORD || len % 2 != 0) return 0;
  std::string plain;
  for (size_t i = 0; i < len / 2; ++i) {
    const int hi = HexValue(text[2 * i]);
    const int lo = HexValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return 0;
    const uint8_t b = static_cast<uint8_t>(static_cast<uint8_t>(hi << 4 | lo) ^ KeyByte(i));
    if (b == 0) return 0;  // no password holds a NUL: not our form
    plain += static_cast<char>(b);
  }
  return CopyWhole(plain, out, out_size) ? 1 : 0;
}

// ---- scheduler log --------------------------------------------------------------

int32_t KVUI_GetScheduleLogFilename(char* buffer, int32_t size) {
  if (!buffer || size <= 0) return 0;
  buffer[0] = '\0';
  std::string path;
  const char* env = std::getenv("KV_SCHEDULE_LOG");
  if (env && *env) {
    path = env;
  } else {
    std::string folder = FolderOf(kv::ModuleFileFromAddress(reinterpret_cast<const void*>(&KVUI_GetScheduleLogFilename)));
    if (folder.empty()) return 0;
    path = folder + (folder.back() == '/' ? "" : "/") + "SCHEDULE.LOG";
  }
  return CopyWhole(path, buffer, size) ? static_cast<int32_t>(path.size()) : 0;
}

KvBool KVUI_CreateSchedulerLogFile(const char* path) {
  std::vector<char> own(4096);
  if (!path || !*path) {
    if (KVUI_GetScheduleLogFilename(own.data(), static_cast<int32_t>(own.size())) == 0) return 0;
    path = own.data();
  }
  KvFile f = kv::FileOpen(path, kv::kFileWrite, kv::FileDisposition::kOpenAlways);
  if (f == KV_INVALID_FILE) return 0;
  kv::FileClose(f);
  return 1;
}

// ---- messages and resources -------------------------------------------------------

KvBool KVUI_MyPeekMessage(void) {
  // Bounded, so that a handler that keeps posting to itself cannot hold the
  // caller here for ever.
  kv::ui::Message m;
  for (int i = 0; i < 10000 && kv::ui::PeekMessage(&m, 0, 0, 0, kv::ui::PeekRemove); ++i) {
    if (m.message == kv::msg::Quit) {
      kv::ui::PostQuitMessage(static_cast<int32_t>(m.wparam));  // for the thread's own loop
      return 1;
    }
    kv::ui::TranslateMessage(&m);
    kv::ui::DispatchMessage(&m);
  }
  return 0;
}

const char* KVUI_GetModuleString(KvModule module, uint32_t id) {
  if (!module) module = ostrel_internal::CallerModule(__builtin_return_address(0));
  bool found = false;
  std::string text = ostrel_internal::ModuleString(module, id, &found);
  if (!found) return "";
  // Texts are kept for the life of the process, so the pointer stays valid;
  // a changed text (another language module at the same handle) is kept too.
  static std::mutex mu;
  static auto* cache = new std::map<std::pair<KvModule, uint32_t>, std::vector<std::unique_ptr<std::string>>>;
  std::lock_guard<std::mutex> lock(mu);
  auto& list = (*cache)[{module, id}];
  for (auto& s : list) {
    if (*s == text) return s->c_str();
  }
  list.push_back(std::make_unique<std::string>(std::move(text)));
  return list.back()->c_str();
}

const char* KVUI_GetString(uint32_t id) {
  return KVUI_GetModuleString(ostrel_internal::CallerModule(__builtin_return_address(0)), id);
}

KvBool KVUI_FindRegistryStringData(const char* key, const char* name, char* buffer, int32_t size) {
  if (!buffer || size <= 0) return 0;
  buffer[0] = '\0';
  if (!key) return 0;
  std::string value;
  if (!kv::RegGetString(key, name, &value)) return 0;
  size_t n = std::min(value.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return 1;
}

KvBool KVUI_CenterDialog(KvWindow window) { return kv::ui::IsWindow(window) ? 1 : 0; }
intptr_t KVUI_GetBoldFaceFont(KvWindow window) { return kv::ui::IsWindow(window) ? 1 : 0; }
KvBool KVUI_SubclassFancyBitmap(KvWindow window) { return kv::ui::IsWindow(window) ? 1 : 0; }
KvBool KVUI_UnsubclassWindow(KvWindow window) { return kv::ui::IsWindow(window) ? 1 : 0; }

}  // extern "C"
