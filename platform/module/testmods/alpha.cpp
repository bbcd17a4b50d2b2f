// Test module: exports by name and by ordinal.
#include "platform/module/module.h"

extern "C" {
KV_EXPORT int32_t AlphaAdd(int32_t a, int32_t b) { return a + b; }
KV_EXPORT int32_t AlphaName(void) { return 1; }
KV_EXPORT int32_t AlphaOnly(void) { return 11; }
KV_EXPORT int32_t alpha_counter = 42;

static int32_t Ordinal1(void) { return 101; }
static int32_t Ordinal124(int32_t x) { return x * 2; }

KV_MODULE_TABLE extern const KvOrdinalEntry kv_ordinal_table[] = {
    {1, reinterpret_cast<KvProc>(&Ordinal1)},
    {124, reinterpret_cast<KvProc>(&Ordinal124)},
    {0, nullptr},
};
}
