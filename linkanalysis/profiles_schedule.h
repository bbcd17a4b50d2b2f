// The schedule dialog (template 7000): a scheduled event's profile,
// memorized report, start date and time, repeat and save-to address.
#ifndef KV_LINKANALYSIS_PROFILES_SCHEDULE_H
#define KV_LINKANALYSIS_PROFILES_SCHEDULE_H

#include <cstdint>

#include "shell/plugin_host_abi.h"

namespace kvla {

inline constexpr int32_t kScheduleDialog = 7000;
namespace schedule_ids {
inline constexpr int32_t kHeading = 1000, kMemorized = 1001, kProfile = 1002, kTime = 1003, kDate = 1004,
                         kFrequency = 1005, kRepeat = 1006, kKind = 1007, kEmail = 1008, kPath = 1009,
                         kBrowse = 1010, kNew = 1011, kHelp = 9;
}

// Runs the dialog over the entry (its scheduleFile names the .LAS file).
// On OK the entry is updated and the .LAS file written: 1. Cancel, closing,
// or no profile to schedule: 0.
intptr_t RunScheduleDialog(KvWindow parent, ScheduleEntry* entry);

}  // namespace kvla

#endif
