// Shared between the module and resource functions of this library.
#ifndef KV_PLATFORM_MODULE_MODULE_INTERNAL_H
#define KV_PLATFORM_MODULE_MODULE_INTERNAL_H

#include <atomic>
#include <string>

#include "platform/module/module.h"
#include "platform/module/resource.h"

struct link_map;

struct KvModuleRecord {
    void* handle = nullptr;           // dlopen handle (null: found by address only)
    const link_map* map = nullptr;    // identifies the loaded object
    std::string path;                 // file path
    unsigned refs = 0;                // loads not yet freed
    bool pinned = false;              // never unloaded through us
    std::atomic<const KvResourceTable*> resources{nullptr};
    std::atomic<bool> resources_looked{false};
};

namespace kv::module_internal {

// The live record for a handle (null module: the calling program), or null
// with KV_ERROR_INVALID_HANDLE.
KvModuleRecord* Resolve(KvModule module);

// A symbol that the module itself defines (not one of its dependencies).
void* FindOwnSymbol(KvModuleRecord* record, const char* name);

}  // namespace kv::module_internal

#endif
