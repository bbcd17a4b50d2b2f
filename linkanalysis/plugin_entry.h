// The link analysis plug-in's side of the plug-in contract: the fixed
// exports the host calls by name and the PSL_ entry points that
// IsFunctionSupported hands out. The plug-in keeps every ProfileEntry and
// ScheduleEntry it hands out in its own arrays and frees them itself.
#ifndef KV_LINKANALYSIS_PLUGIN_ENTRY_H
#define KV_LINKANALYSIS_PLUGIN_ENTRY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "shell/plugin_host_abi.h"

extern "C" {

KV_EXPORT int32_t InitializeSupportLibrary(intptr_t hostValue, int32_t* type, int32_t* value, int32_t* id,
                                           char* name);
KV_EXPORT int32_t SupplyCallback(int32_t callbackId, KvProc function);
KV_EXPORT KvProc IsFunctionSupported(int32_t functionId);

// Option page (entry points 22 and 23, CreateOptionPageFn and
// CloseOptionPageFn of the contract): the tab text and title buffers must
// hold 32 characters.
KV_EXPORT int32_t OnCreateOptionDialog(intptr_t hostValue, KvHandle* bitmap, int32_t* size, char* tabText,
                                       char* title);
KV_EXPORT int32_t OnCloseOptionDialog(int32_t save);

KV_EXPORT int32_t PSL_GenerateReport(KvWindow parent, ProfileEntry* entry, int32_t runFlag);
KV_EXPORT int32_t PSL_EditProfile(KvWindow parent, ProfileEntry* entry, ProfileEntry** out);
KV_EXPORT int32_t PSL_DeleteProfile(KvWindow parent, ProfileEntry* entry);
KV_EXPORT int32_t PSL_CopyProfile(KvWindow parent, ProfileEntry* entry, ProfileEntry** out);
// next: null on the first call of an enumeration (the host passes the
// entry it got last).
KV_EXPORT int32_t PSL_FindProfile(KvWindow hostValue, ProfileEntry* next, ProfileEntry* old, ProfileEntry** out);
KV_EXPORT int32_t PSL_EditScheduledEvent(KvWindow parent, ScheduleEntry* entry, ScheduleEntry** out);
KV_EXPORT int32_t PSL_DeleteScheduledEvent(KvWindow unused, ScheduleEntry* entry);
KV_EXPORT int32_t PSL_FindScheduledEvent(KvWindow hostValue, ScheduleEntry* next, ScheduleEntry** out);
KV_EXPORT int32_t PSL_StartScheduledEvent(KvWindow parent, ScheduleEntry* entry);
KV_EXPORT int32_t PSL_UpdateMainPanelData(KvWindow parent, ProfileEntry* entry, int32_t unused, int32_t show);
KV_EXPORT const char* PSL_GetProfileHelp(intptr_t unused1, intptr_t unused2);

}  // extern "C"

// The host calls the option page through the contract's types: the exports
// must be exactly those.
static_assert(std::is_same_v<decltype(&OnCreateOptionDialog), CreateOptionPageFn>);
static_assert(std::is_same_v<decltype(&OnCloseOptionDialog), CloseOptionPageFn>);

namespace kvla {
// Whether a record is one of the plug-in's live profile / schedule records.
bool OwnsProfileEntry(const ProfileEntry* entry);
bool OwnsScheduleEntry(const ScheduleEntry* entry);
size_t LiveProfileEntries();
// The last message an entry point showed or logged because a part of the
// plug-in it needs is not available ("" when none).
std::string LastUnavailableMessage();
}  // namespace kvla

#endif
