// Run-time modules over dlopen/dlsym. See module.h for the name mapping.
#include "platform/module/module.h"

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "platform/base/lasterror.h"
#include "platform/base/paths.h"
#include "platform/base/strutil.h"
#include "platform/module/module_internal.h"

namespace {

// Upper bound on the entries of an ordinal table, in case one lacks its end.
constexpr size_t kMaxOrdinals = 65536;
constexpr size_t kMaxName = 4096;

struct Registry {
    std::mutex lock;
    std::unordered_map<const link_map*, KvModuleRecord*> by_map;
    std::unordered_set<const KvModuleRecord*> live;  // every record in by_map, for handle checks
    KvModuleRecord* self = nullptr;
};

// Never destroyed: modules may be freed from static destructors elsewhere.
Registry& GetRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

link_map* MapOf(void* handle) {
    link_map* map = nullptr;
    if (handle == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0) return nullptr;
    return map;
}

std::string ExecutablePath() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return std::string(buffer, static_cast<size_t>(n));
}

// Called with the registry lock held.
KvModuleRecord* SelfLocked(Registry& registry) {
    if (registry.self == nullptr) {
        auto* record = new KvModuleRecord;
        record->handle = dlopen(nullptr, RTLD_NOW);
        record->map = MapOf(record->handle);
        record->path = ExecutablePath();
        record->refs = 1;
        record->pinned = true;
        registry.self = record;
        registry.live.insert(record);
        if (record->map != nullptr) registry.by_map[record->map] = record;
    }
    return registry.self;
}

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The entry of `folder` whose name equals `name` without regard to case; the
// exact spelling wins. Empty when none.
std::string FindInFolder(const std::string& folder, const std::string& name) {
    std::string exact = folder + name;
    if (IsRegularFile(exact)) return exact;
    std::string found;
    if (DIR* dir = opendir(folder.empty() ? "." : folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (strcasecmp(entry->d_name, name.c_str()) != 0) continue;
            std::string candidate = folder + entry->d_name;
            if (!IsRegularFile(candidate)) continue;
            if (found.empty() || candidate < found) found = candidate;
        }
        closedir(dir);
    }
    return found;
}

// The file to load for a requested name: {path, is_system_library}.
std::pair<std::string, bool> MapModuleName(std::string_view name) {
    std::string folder;
    std::string file;
    if (name.front() == '/') {
        size_t slash = name.rfind('/');
        folder = std::string(name.substr(0, slash + 1));
        file = std::string(name.substr(slash + 1));
    } else {
        size_t cut = name.find_last_of("\\/");
        std::string_view rest = cut == std::string_view::npos ? name : name.substr(cut + 1);
        if (cut == std::string_view::npos && rest.size() >= 2 && rest[1] == ':') rest.remove_prefix(2);
        file = std::string(rest);
        folder = kv::ProgramFolder();
        if (!folder.empty() && folder.back() != '/') folder += '/';
    }
    if (file.empty()) return {};

    size_t dot = file.rfind('.');
    std::string_view base = dot == std::string::npos ? std::string_view(file) : std::string_view(file).substr(0, dot);
    std::string_view ext = dot == std::string::npos ? std::string_view() : std::string_view(file).substr(dot);
    if (kv::IEquals(base, "ODBC32") && (ext.empty() || kv::IEquals(ext, ".DLL"))) return {"libodbc.so.2", true};

    std::string path = FindInFolder(folder, file);
    if (path.empty() && !kv::IEquals(ext, ".so")) path = FindInFolder(folder, std::string(base) + ".so");
    return {path, false};
}

// A record for a map that is not registered yet (called with the lock held).
// Takes over `handle` (may be null for modules found by address).
KvModuleRecord* AddRecordLocked(Registry& registry, void* handle, link_map* map, bool pinned) {
    auto* record = new KvModuleRecord;
    record->handle = handle;
    record->map = map;
    record->path = map->l_name != nullptr ? map->l_name : "";
    record->refs = 1;
    record->pinned = pinned;
    registry.by_map[map] = record;
    registry.live.insert(record);
    return record;
}

}  // namespace

namespace kv::module_internal {

KvModuleRecord* Resolve(KvModule module) {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    if (module == nullptr) return SelfLocked(registry);
    if (registry.live.count(module) != 0) return module;
    kv::SetLastError(KV_ERROR_INVALID_HANDLE);
    return nullptr;
}

void* FindOwnSymbol(KvModuleRecord* record, const char* name) {
    if (record == nullptr || record->handle == nullptr || record->map == nullptr) return nullptr;
    void* symbol = dlsym(record->handle, name);
    if (symbol == nullptr) return nullptr;
    // dlsym also searches the module's dependencies; only the module's own
    // definitions count.
    Dl_info info;
    link_map* owner = nullptr;
    if (dladdr1(symbol, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0 || owner != record->map) {
        return nullptr;
    }
    return symbol;
}

}  // namespace kv::module_internal

using kv::module_internal::FindOwnSymbol;
using kv::module_internal::Resolve;

extern "C" {

KvModule KvLoadModule(const char* name) {
    if (name == nullptr || name[0] == '\0' || strnlen(name, kMaxName) >= kMaxName) {
        kv::SetLastError(KV_ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto [path, system] = MapModuleName(name);
    if (path.empty()) {
        kv::SetLastError(KV_ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        kv::SetLastError(system ? KV_ERROR_MOD_NOT_FOUND : KV_ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    link_map* map = MapOf(handle);
    if (map == nullptr) {
        dlclose(handle);
        kv::SetLastError(KV_ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    SelfLocked(registry);
    auto it = registry.by_map.find(map);
    if (it != registry.by_map.end()) {
        KvModuleRecord* record = it->second;
        if (record->handle == nullptr) {
            record->handle = handle;  // found by address before; now held
        } else {
            dlclose(handle);  // the record already holds one loader reference
        }
        if (record != registry.self) ++record->refs;
        return record;
    }
    return AddRecordLocked(registry, handle, map, false);
}

KvBool KvFreeModule(KvModule module) {
    Registry& registry = GetRegistry();
    std::unique_lock<std::mutex> guard(registry.lock);
    KvModuleRecord* record = registry.live.count(module) != 0 ? module : nullptr;
    if (record == nullptr) {
        kv::SetLastError(KV_ERROR_INVALID_HANDLE);
        return 0;
    }
    if (record == registry.self) return 1;
    if (record->refs > 0) --record->refs;
    if (record->refs > 0 || record->pinned) {
        if (record->pinned && record->refs == 0) record->refs = 1;
        return 1;
    }
    registry.by_map.erase(record->map);
    registry.live.erase(record);
    void* handle = record->handle;
    delete record;
    guard.unlock();
    if (handle != nullptr) dlclose(handle);
    return 1;
}

KvModule KvSelfModule(void) {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    return SelfLocked(registry);
}

KvModule KvModuleFromAddress(const void* address) {
    Dl_info info;
    link_map* map = nullptr;
    if (address == nullptr || dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
        map == nullptr) {
        kv::SetLastError(KV_ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    SelfLocked(registry);
    auto it = registry.by_map.find(map);
    if (it != registry.by_map.end()) return it->second;
    // A module the program linked or that was loaded by other means: give it
    // a record that is never unloaded through us.
    void* handle = map->l_name != nullptr && map->l_name[0] != '\0' ? dlopen(map->l_name, RTLD_NOW | RTLD_NOLOAD)
                                                                      : nullptr;
    return AddRecordLocked(registry, handle, map, true);
}

KvProc KvGetProcAddress(KvModule module, const char* name) {
    // Small values are ordinals, as the platform allows in place of a name.
    if (reinterpret_cast<uintptr_t>(name) < 0x10000u) {
        if (name == nullptr) {
            kv::SetLastError(KV_ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        return KvGetProcOrdinal(module, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(name)));
    }
    KvModuleRecord* record = Resolve(module);
    if (record == nullptr) return nullptr;
    void* symbol = FindOwnSymbol(record, name);
    if (symbol == nullptr) {
        kv::SetLastError(KV_ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<KvProc>(symbol);
}

KvProc KvGetProcOrdinal(KvModule module, uint32_t ordinal) {
    KvModuleRecord* record = Resolve(module);
    if (record == nullptr) return nullptr;
    const auto* table = static_cast<const KvOrdinalEntry*>(FindOwnSymbol(record, KV_ORDINAL_TABLE_SYMBOL));
    if (table != nullptr && ordinal != 0) {
        for (size_t i = 0; i < kMaxOrdinals && table[i].ordinal != 0; ++i) {
            if (table[i].ordinal == ordinal && table[i].function != nullptr) return table[i].function;
        }
    }
    kv::SetLastError(KV_ERROR_PROC_NOT_FOUND);
    return nullptr;
}

uint32_t KvGetModuleFileName(KvModule module, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) {
        kv::SetLastError(KV_ERROR_INVALID_PARAMETER);
        return 0;
    }
    buffer[0] = '\0';
    KvModuleRecord* record = Resolve(module);
    if (record == nullptr) return 0;
    const std::string& path = record->path;
    if (path.empty()) {
        kv::SetLastError(KV_ERROR_MOD_NOT_FOUND);
        return 0;
    }
    size_t n = std::min<size_t>(path.size(), size - 1);
    std::memcpy(buffer, path.data(), n);
    buffer[n] = '\0';
    if (n < path.size()) kv::SetLastError(KV_ERROR_INSUFFICIENT_BUFFER);
    return static_cast<uint32_t>(n);
}

}  // extern "C"
