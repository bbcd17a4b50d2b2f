// The plug-in host: support libraries found in the program folder, their
// list sorted by id, calls routed to their entry points, the host callbacks,
// and the arrays of profile and schedule entries that the host keeps for the
// plug-ins.
//
// Everything here runs on the user-interface thread, except that the schedule
// array is guarded by the scheduler mutex (the scheduler's tick takes it too).
#ifndef KV_SHELL_PLUGIN_HOST_H
#define KV_SHELL_PLUGIN_HOST_H

#include <cstdint>
#include <string>
#include <vector>

#include "shell/plugin_host_abi.h"

// One loaded plug-in. The entry points are kept in the order of
// kSupportFunctionOrder.
struct SupportLibrary {
  KvModule module = nullptr;
  int32_t id = 0;
  int32_t type = 0;
  int32_t value = 0;
  char name[KV_SUPPORT_NAME_SIZE] = {};
  SupportLibrary* next = nullptr;
  InitializeSupportLibraryFn initialize = nullptr;
  SupplyCallbackFn supplyCallback = nullptr;
  IsFunctionSupportedFn isFunctionSupported = nullptr;
  KvProc functions[kSupportFunctionCount] = {};
};

namespace kv::host {

// The order in which entry points are asked for and kept.
inline constexpr int32_t kSupportFunctionOrder[kSupportFunctionCount] = {
    2, 3, 4, 6, 5, 28, 7, 8, 10, 9, 1, 11, 13, 15, 16, 17,
    18, 19, 12, 14, 20, 21, 24, 22, 23, 25, 26, 27, 29, 30, 31, 32};
// The order in which they are asked for at load time.
inline constexpr int32_t kSupportQueryOrder[kSupportFunctionCount] = {
    1, 2, 3, 4, 6, 5, 28, 7, 8, 10, 9, 11, 13, 15, 16, 17,
    18, 19, 12, 14, 20, 21, 24, 22, 23, 25, 26, 27, 29, 30, 31, 32};
// The order in which callbacks are handed over.
inline constexpr int32_t kCallbackSupplyOrder[kHostCallbackCount] = {5, 1, 2, 3, 4, 6, 7, 8,
                                                                     11, 9, 10, 12, 13, 14, 15};

// The entry point that was kept for a function id at load time (null when the
// library does not offer it or the id is out of range).
KvProc KeptFunction(const SupportLibrary& library, int32_t functionId);

// Loads every file matching "kvm*.so" in the folder (with its trailing "/"),
// in name order; hostValue goes to each InitializeSupportLibrary. Returns
// true when at least one library was loaded.
bool LoadSupportLibraries(const std::string& folder, intptr_t hostValue);
// For each library in list order: its unload entry point (14) when it has
// one, then the module is freed and the record released.
void UnloadSupportLibraries();

// The head of the list (sorted by id ascending; equal ids in load order).
SupportLibrary* FirstSupportLibrary();
// The first library with this id, or null.
SupportLibrary* FindSupportLibrary(int32_t id);

// The entry point for a function id of the first library with that id, asked
// for again at call time; null when there is no such library or entry point.
KvProc GetSupportFunction(int32_t libraryId, int32_t functionId);

// Calls the entry point with the exact function type Fn; 0 when the library
// or the entry point is missing.
template <typename Fn, typename... Args>
int32_t CallSupportFunction(int32_t libraryId, int32_t functionId, Args... args) {
  KvProc proc = GetSupportFunction(libraryId, functionId);
  if (!proc) return 0;
  return reinterpret_cast<Fn>(proc)(args...);
}

// For a command not tied to an entry (ids 2, 7, 19, 21): -1 when no library
// offers the function, the library's id when one does, else the id chosen in
// the library dialog (template 31002 of the resource module; -1 when it is
// cancelled).
int32_t ChooseSupportLibrary(KvWindow owner, int32_t functionId);

// ---- profile and schedule arrays ----------------------------------------
std::vector<ProfileEntry*>& Profiles();
std::vector<ScheduleEntry*>& Schedules();  // take SchedulerLock around use
// Rebuilds the profile array through each library's entry point 5, re-points
// scheduled events from an old entry to the new one that replaced it, and
// sorts the array by description.
void EnumerateProfiles(KvWindow window);
// Sorts the schedule array by next run time (caller holds the lock).
void SortSchedules();
// The next run of an enabled entry whose time has passed: its start time
// advanced by its repeat interval until it lies after now.
void ComputeNextRun(ScheduleEntry* entry, int64_t now);
// Drops every entry of both arrays (the entries themselves are the plug-ins').
void ClearEntryArrays();

// Takes and releases the scheduler mutex (no-op when it was not created).
class SchedulerLock {
 public:
  SchedulerLock();
  ~SchedulerLock();
  SchedulerLock(const SchedulerLock&) = delete;
  SchedulerLock& operator=(const SchedulerLock&) = delete;

 private:
  bool held_ = false;
};

// What the host callbacks change, for the panel and the progress window.
struct HostRequests {
  bool refresh[3] = {false, false, false};  // callback 14
  bool stopRequested = false;               // answered by callback 10
  int32_t progressIndex = -1;               // callback 10: entry's index, -1 absent
  int32_t progressPercent = 0;
  int32_t progressRecords = 0;
  int32_t progressRate = 0;
  std::string progressText;
};
HostRequests& Requests();

// The host callbacks (ids 1 to 15), as handed to the plug-ins.
KvProc HostCallback(int32_t callbackId);

}  // namespace kv::host

// Callback 15, also exported: passes its arguments to the report library's
// PerlRun and returns its result (3 when the library cannot be bound).
extern "C" KV_EXPORT intptr_t CreateReport(intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4,
                                           intptr_t a5, intptr_t a6);

#endif
