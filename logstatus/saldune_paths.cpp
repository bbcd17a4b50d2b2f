#include "logstatus/saldune_paths.h"

#include <cstdio>

#include "platform/base/kvtypes.h"
#include "platform/module/module.h"
#include "platform/ostrel/ostrel.h"

namespace kvls {

std::string LogStatusFolder() {
  static const int kAnchor = 0;  // an address inside this library
  KvModule self = KvModuleFromAddress(&kAnchor);
  char folder[4096];
  if (self == nullptr || KVUI_GetLocalDirectory(self, folder, sizeof folder) <= 0) return std::string();
  char full[4096 + 16];
  if (KVUI_ConstructFullFilename(full, sizeof full, folder, "LOGSTATS/") == nullptr) return std::string();
  return full;
}

std::string LogStatusDayFileName(time_t when) {
  struct tm local;
  if (localtime_r(&when, &local) == nullptr) return std::string();
  char name[64];
  std::snprintf(name, sizeof name, "%d-%d-%d.LOG", local.tm_mon, local.tm_mday, local.tm_year);
  return name;
}

std::string LogStatusDayFile(time_t when) {
  std::string folder = LogStatusFolder();
  std::string name = LogStatusDayFileName(when);
  if (folder.empty() || name.empty()) return std::string();
  return folder + name;
}

}  // namespace kvls
