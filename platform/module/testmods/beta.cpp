// Test module: the same interface as alpha without AlphaOnly and without an
// ordinal table. It links the module library, whose exports must not count as
// its own.
#include "platform/module/module.h"

extern "C" {
KV_EXPORT int32_t AlphaAdd(int32_t a, int32_t b) { return a - b; }
KV_EXPORT int32_t AlphaName(void) { return 2; }
KV_EXPORT KvModule BetaSelf(void) { return KvModuleFromAddress(reinterpret_cast<const void*>(&AlphaName)); }
}
