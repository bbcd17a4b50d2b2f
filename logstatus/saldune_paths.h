// Where day status files live: the folder "LOGSTATS" beside the library.
#ifndef KV_LOGSTATUS_SALDUNE_PATHS_H
#define KV_LOGSTATUS_SALDUNE_PATHS_H

#include <ctime>
#include <string>

namespace kvls {

// "<folder of this library>/LOGSTATS/"; empty when the folder is unknown.
std::string LogStatusFolder();

// The day file of the local date of `when` in LogStatusFolder(), named
// "<month>-<day>-<year>.LOG" with the month counted from 0 and the year as
// years since 1900 (1 March 1998 is "2-1-98.LOG"). Empty when the folder is
// unknown or the date cannot be had.
std::string LogStatusDayFile(time_t when);

// The file name part of LogStatusDayFile.
std::string LogStatusDayFileName(time_t when);

}  // namespace kvls

#endif
