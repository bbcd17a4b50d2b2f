// Resource lookups in a module's compiled resource table.
#include "platform/module/resource.h"

#include <atomic>
#include <cstring>

#include "platform/base/lasterror.h"
#include "platform/module/module_internal.h"

namespace {

std::atomic<uint32_t> g_language{0};

constexpr uint32_t kEnglish = 1033;

const KvResourceTable* TableOf(KvModule module) {
    KvModuleRecord* record = kv::module_internal::Resolve(module);
    if (record == nullptr) return nullptr;
    if (!record->resources_looked.load(std::memory_order_acquire)) {
        const auto* table =
            static_cast<const KvResourceTable*>(kv::module_internal::FindOwnSymbol(record, KV_RESOURCE_TABLE_SYMBOL));
        if (table != nullptr &&
            (table->magic != KV_RESOURCE_TABLE_MAGIC || table->version != KV_RESOURCE_TABLE_VERSION ||
             (table->count != 0 && table->entries == nullptr))) {
            table = nullptr;
        }
        record->resources.store(table, std::memory_order_relaxed);
        record->resources_looked.store(true, std::memory_order_release);
    }
    const KvResourceTable* table = record->resources.load(std::memory_order_relaxed);
    if (table == nullptr) kv::SetLastError(KV_ERROR_RESOURCE_TYPE_NOT_FOUND);
    return table;
}

bool Less(const KvResourceEntry& e, uint32_t type, uint32_t id) {
    return e.type < type || (e.type == type && e.id < id);
}

// The entries of (type, id) in all languages: [first, last).
void FindRange(const KvResourceTable* table, uint32_t type, uint32_t id, const KvResourceEntry** first,
               const KvResourceEntry** last) {
    const KvResourceEntry* begin = table->entries;
    const KvResourceEntry* end = begin + table->count;
    const KvResourceEntry* lo = begin;
    size_t n = table->count;
    while (n > 0) {  // lower bound
        size_t half = n / 2;
        if (Less(lo[half], type, id)) {
            lo += half + 1;
            n -= half + 1;
        } else {
            n = half;
        }
    }
    const KvResourceEntry* hi = lo;
    while (hi != end && hi->type == type && hi->id == id) ++hi;
    *first = lo;
    *last = hi;
}

const KvResourceEntry* Find(KvModule module, uint32_t type, uint32_t id) {
    const KvResourceTable* table = TableOf(module);
    if (table == nullptr) return nullptr;
    const KvResourceEntry* first;
    const KvResourceEntry* last;
    FindRange(table, type, id, &first, &last);
    if (first == last) {
        kv::SetLastError(KV_ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    auto in = [&](uint32_t language) -> const KvResourceEntry* {
        for (const KvResourceEntry* e = first; e != last; ++e) {
            if (e->language == language) return e;
        }
        return nullptr;
    };
    const uint32_t preferred = g_language.load(std::memory_order_relaxed);
    const KvResourceEntry* chosen = preferred != 0 ? in(preferred) : nullptr;
    if (chosen == nullptr) chosen = in(0);
    if (chosen == nullptr) chosen = in(kEnglish);
    if (chosen != nullptr) return chosen;
    return first;
}

}  // namespace

extern "C" {

int32_t KvLoadString(KvModule module, uint32_t id, char* buffer, int32_t size) {
    if (buffer == nullptr || size <= 0) {
        kv::SetLastError(KV_ERROR_INVALID_PARAMETER);
        return 0;
    }
    buffer[0] = '\0';
    const KvResourceEntry* entry = Find(module, KV_RESOURCE_STRING, id);
    if (entry == nullptr || entry->data == nullptr) return 0;
    size_t length = entry->size;
    size_t n = length < static_cast<size_t>(size - 1) ? length : static_cast<size_t>(size - 1);
    const auto* text = static_cast<const unsigned char*>(entry->data);
    // Do not cut a multi-byte character in two.
    if (n < length) {
        while (n > 0 && (text[n] & 0xC0u) == 0x80u) --n;
    }
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return static_cast<int32_t>(n);
}

const void* KvFindText(KvModule module, uint32_t id, uint32_t* size) {
    if (size != nullptr) *size = 0;
    const KvResourceEntry* entry = Find(module, KV_RESOURCE_TEXT, id);
    if (entry == nullptr) return nullptr;
    if (size != nullptr) *size = entry->size;
    return entry->data;
}

const KvDialogTemplate* KvFindDialog(KvModule module, uint32_t id) {
    const KvResourceEntry* entry = Find(module, KV_RESOURCE_DIALOG, id);
    return entry == nullptr ? nullptr : static_cast<const KvDialogTemplate*>(entry->data);
}

const KvMenuTemplate* KvFindMenu(KvModule module, uint32_t id) {
    const KvResourceEntry* entry = Find(module, KV_RESOURCE_MENU, id);
    return entry == nullptr ? nullptr : static_cast<const KvMenuTemplate*>(entry->data);
}

const KvResourceEntry* KvFindResource(KvModule module, uint32_t type, uint32_t id) { return Find(module, type, id); }

uint32_t KvGetResourceLanguages(KvModule module, uint32_t type, uint32_t id, uint32_t* languages, uint32_t max) {
    const KvResourceTable* table = TableOf(module);
    if (table == nullptr) return 0;
    const KvResourceEntry* first;
    const KvResourceEntry* last;
    FindRange(table, type, id, &first, &last);
    uint32_t count = 0;
    for (const KvResourceEntry* e = first; e != last; ++e, ++count) {
        if (languages != nullptr && count < max) languages[count] = e->language;
    }
    return count;
}

void KvSetResourceLanguage(uint32_t language) { g_language.store(language, std::memory_order_relaxed); }

uint32_t KvGetResourceLanguage(void) { return g_language.load(std::memory_order_relaxed); }

const KvResourceTable* KvGetResourceTable(KvModule module) { return TableOf(module); }

}  // extern "C"
