// The process-wide run-time binding of the account-lookup module.
#include <mutex>

#include "platform/module/module.h"
#include "platform/netapi32/netapi32.h"

namespace {

struct Binding {
  KvModule module = nullptr;
  NetUserEnumFn userEnum = nullptr;
  NetApiBufferFreeFn bufferFree = nullptr;
  NetUserGetLocalGroupsFn userGetLocalGroups = nullptr;
  NetLocalGroupEnumFn localGroupEnum = nullptr;
  uint32_t loads = 0;
  uint32_t lookups = 0;
  std::mutex lock;  // the first call binds; two first calls must not both load

  void Unbind() {
    if (module != nullptr) KvFreeModule(module);
    module = nullptr;
    userEnum = nullptr;
    bufferFree = nullptr;
    userGetLocalGroups = nullptr;
    localGroupEnum = nullptr;
  }
  // The library is freed when the program ends.
  ~Binding() { Unbind(); }
};

Binding g_binding;

// The function of that name, loading the module and looking the name up on
// first use; *status says why there is none.
template <typename Fn>
Fn Bound(Fn* slot, const char* name, uint32_t* status) {
  std::lock_guard<std::mutex> guard(g_binding.lock);
  if (*slot != nullptr) return *slot;
  if (g_binding.module == nullptr) {
    g_binding.module = KvLoadModule("NetApi32.dll");
    if (g_binding.module == nullptr) {
      *status = KV_NET_ERROR_MOD_NOT_FOUND;
      return nullptr;
    }
    ++g_binding.loads;
  }
  ++g_binding.lookups;
  *slot = reinterpret_cast<Fn>(KvGetProcAddress(g_binding.module, name));
  if (*slot == nullptr) *status = KV_NET_ERROR_PROC_NOT_FOUND;
  return *slot;
}

}  // namespace

extern "C" {

uint32_t KvNetUserEnum(const char* serverName, uint32_t level, uint32_t filter, uint8_t** buffer,
                       uint32_t preferredMaximumLength, uint32_t* entriesRead, uint32_t* totalEntries,
                       uint32_t* resumeHandle) {
  uint32_t status = 0;
  NetUserEnumFn fn = Bound(&g_binding.userEnum, "NetUserEnum", &status);
  if (fn == nullptr) return status;
  return fn(serverName, level, filter, buffer, preferredMaximumLength, entriesRead, totalEntries, resumeHandle);
}

uint32_t KvNetApiBufferFree(void* buffer) {
  uint32_t status = 0;
  NetApiBufferFreeFn fn = Bound(&g_binding.bufferFree, "NetApiBufferFree", &status);
  if (fn == nullptr) return status;
  return fn(buffer);
}

uint32_t KvNetUserGetLocalGroups(const char* serverName, const char* userName, uint32_t level, uint32_t flags,
                                 uint8_t** buffer, uint32_t preferredMaximumLength, uint32_t* entriesRead,
                                 uint32_t* totalEntries) {
  uint32_t status = 0;
  NetUserGetLocalGroupsFn fn = Bound(&g_binding.userGetLocalGroups, "NetUserGetLocalGroups", &status);
  if (fn == nullptr) return status;
  return fn(serverName, userName, level, flags, buffer, preferredMaximumLength, entriesRead, totalEntries);
}

uint32_t KvNetLocalGroupEnum(const char* serverName, uint32_t level, uint8_t** buffer, uint32_t preferredMaximumLength,
                             uint32_t* entriesRead, uint32_t* totalEntries, uintptr_t* resumeHandle) {
  uint32_t status = 0;
  NetLocalGroupEnumFn fn = Bound(&g_binding.localGroupEnum, "NetLocalGroupEnum", &status);
  if (fn == nullptr) return status;
  return fn(serverName, level, buffer, preferredMaximumLength, entriesRead, totalEntries, resumeHandle);
}

void KvNetApiUnbind(void) {
  std::lock_guard<std::mutex> guard(g_binding.lock);
  g_binding.Unbind();
}

uint32_t KvNetApiLoadCount(void) { return g_binding.loads; }
uint32_t KvNetApiLookupCount(void) { return g_binding.lookups; }

}  // extern "C"
