// Helpers shared by the sources of the utility library.
#ifndef KV_PLATFORM_OSTREL_OSTREL_INTERNAL_H
#define KV_PLATFORM_OSTREL_OSTREL_INTERNAL_H

#include <cstdint>
#include <string>

#include "platform/base/kvtypes.h"

namespace ostrel_internal {

// String resource `id` of the module (null: the program); *found says
// whether it exists.
std::string ModuleString(KvModule module, uint32_t id, bool* found);

// The module that holds a code address (a caller's return address).
KvModule CallerModule(const void* return_address);

}  // namespace ostrel_internal

#endif
