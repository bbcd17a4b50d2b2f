// The profile store operations of the engine's client interface.
#include "engine/core/profile_store.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <vornic/filter.h>
#include <vornic/profile.h>
#include <vornic/report.h>

#include "engine/core/engine_state.h"
#include "engine/core/log_file_list.h"
#include "engine/database/realtime_update.h"
#include "engine/database/report_ranges.h"
#include "engine/network/remote_logs.h"
#include "platform/base/clock.h"
#include "platform/base/files.h"
#include "platform/base/memory.h"

namespace vrn {

namespace {

// The open enumeration: the names found when it started and the next one.
struct ProfileEnumeration {
  bool open = false;
  std::vector<std::string> names;
  size_t next = 0;
};
ProfileEnumeration g_enumeration;

// A realtime profile is withheld from a client registered with the
// restriction flag.
bool Refused(const DravelEntry* entry) { return g_engine.restrictionFlag != 0 && entry->RealtimeAnalysis != 0; }

DravelEntry* NewEntry() { return static_cast<DravelEntry*>(std::calloc(1, sizeof(DravelEntry))); }

bool StartsWithNoCase(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix)
    if (*text == '\0' || std::tolower(static_cast<unsigned char>(*text)) != *prefix) return false;
  return true;
}

}  // namespace

void ResetProfileEnumeration() { g_enumeration = ProfileEnumeration{}; }

size_t ParseOptionResource(const char* resource, size_t size, const char* title, char* out, size_t outSize,
                           size_t* needed) {
  std::string list = title != nullptr ? title : "";
  list += '\0';
  size_t pairs = 0;
  size_t p = 0;
  auto text = [&](std::string* into) {
    size_t len = strnlen(resource + p, size - p);
    into->assign(resource + p, len);
    p += len + (p + len < size ? 1 : 0);
    if (p < size && resource[p] == '\0') ++p;  // the optional extra zero
  };
  while (resource != nullptr && p < size && resource[p] != '\r') {
    std::string name, value;
    text(&name);
    if (p >= size) break;  // a name without its value
    text(&value);
    list += name;
    list += '\0';
    list += value;
    list += '\0';
    list += '\0';
    ++pairs;
  }
  if (needed != nullptr) *needed = list.size();
  if (out != nullptr && outSize >= list.size()) std::memcpy(out, list.data(), list.size());
  return pairs;
}

}  // namespace vrn

using namespace vrn;

VORNIC_API DravelEntry* VRN_GetSet(const char* profileFile) {
  if (profileFile == nullptr) return nullptr;
  DravelEntry* entry = NewEntry();
  if (entry == nullptr) return nullptr;
  if (ReadDravelFile((ProfileDirectory() + profileFile).c_str(), entry) != DRAVEL_READ_OK || Refused(entry)) {
    VRN_FreeSet(entry);
    return nullptr;
  }
  return entry;
}

VORNIC_API void VRN_FreeSet(DravelEntry* profile) {
  if (profile == nullptr) return;
  FreeFiltersForProfile(profile);
  FreeMorvane(profile->MorvaneIP);
  FreeMorvane(profile->MorvaneAuthUser);
  std::free(profile);
}

VORNIC_API int16_t VRN_PutSet(const DravelEntry* profile) {
  if (profile == nullptr) return -1;
  return WriteDravelFile(profile) != 0 ? 0 : -1;
}

VORNIC_API DravelEntry* LogGetNextProfile(DravelEntry* const* clientProfiles, uint16_t count,
                                          VrnStatusCallback status) {
  const std::string& dir = ProfileDirectory();
  if (!g_enumeration.open) {
    g_enumeration = ProfileEnumeration{};
    g_enumeration.open = true;
    for (const kv::FileInfo& f : kv::FindFiles((dir + "*.wlp").c_str()))
      if (!f.folder) g_enumeration.names.push_back(f.name);
  }
  // An unreadable or refused profile is passed over within the same call.
  while (g_enumeration.next < g_enumeration.names.size()) {
    const std::string fileName = g_enumeration.names[g_enumeration.next++];
    uint32_t clientWord = 0;
    for (uint16_t i = 0; clientProfiles != nullptr && i < count; ++i) {
      const DravelEntry* p = clientProfiles[i];
      if (p == nullptr) continue;
      std::string pname = std::string(p->Name, strnlen(p->Name, sizeof p->Name)) + "." +
                          std::string(p->Extension, strnlen(p->Extension, sizeof p->Extension));
      if (pname == fileName) {
        clientWord = p->ClientListWord;
        break;
      }
    }
    DravelEntry* entry = NewEntry();
    if (entry == nullptr) return nullptr;
    if (ReadDravelFile((dir + fileName).c_str(), entry) != DRAVEL_READ_OK || Refused(entry)) {
      VRN_FreeSet(entry);
      continue;
    }
    if (status != nullptr) status(entry->Description);
    entry->LogTimesCurrent = 0;
    entry->PellavarWork = 0;
    entry->RealtimeUpToDate = 0;
    std::string base = fileName.substr(0, fileName.rfind('.'));
    std::memset(entry->Name, 0, sizeof entry->Name);
    std::strncpy(entry->Name, base.c_str(), sizeof entry->Name - 1);
    std::memset(entry->Extension, 0, sizeof entry->Extension);
    std::strncpy(entry->Extension, "wlp", sizeof entry->Extension - 1);
    entry->ClientListWord = clientWord;
    return entry;
  }
  g_enumeration = ProfileEnumeration{};
  return nullptr;
}

VORNIC_API int32_t LogFastRefresh(DravelEntry* profile, uint32_t /*unused1*/, uint32_t /*unused2*/,
                                  VrnStatusCallback status) {
  if (profile == nullptr) return 1;
  if (status != nullptr) status(profile->Description);
  char parsed[kLogNameWidth] = "";
  const uint16_t kind = ParseLogLocation(parsed, sizeof parsed, profile->LogFilePath, nullptr, 0, nullptr);
  const std::string location =
      kind == kLocationLocal ? ResolveLocalLogPath(parsed, ProfileDirectory(), kv::Now()) : std::string(parsed);
  profile->LogTimesCurrent = UpdateProfileLogTimes(profile, location.c_str()) != 0 ? 1 : 0;
  const uint16_t archive = profile->LogStatus.ArchiveKind;
  const bool ftp = StartsWithNoCase(profile->LogFilePath, "ftp://");
  const bool http = StartsWithNoCase(profile->LogFilePath, "http://");
  if ((archive >= 1 && archive <= 3) || ftp || http) profile->LogTimesCurrent = 0;
  switch (archive) {
    case 0: profile->LogKindFlags |= 1; break;
    case 1: profile->LogKindFlags |= 8; break;
    case 2: profile->LogKindFlags |= 32; break;
    case 3: profile->LogKindFlags |= 16; break;
    default:
      if (ftp) profile->LogKindFlags |= 2;
      if (http) profile->LogKindFlags |= 4;
      break;
  }
  // The realtime database may reach further than the logs still do.
  GetRealtimeDateRange(profile);
  const uint32_t rtFirst = profile->RealtimeFirstTime;
  const uint32_t rtLast = profile->RealtimeLastTime;
  if (profile->FirstLogTime != 0 && rtFirst != 0 && rtFirst < profile->FirstLogTime) profile->FirstLogTime = rtFirst;
  if (profile->LastLogTime != 0 && rtLast != 0 && rtLast > profile->LastLogTime) profile->LastLogTime = rtLast;
  return 1;
}

VORNIC_API int16_t VRN_DeleteSet(DravelEntry* profile, const char* profileFile, uint32_t realtime,
                                 uint32_t /*unused*/) {
  if (profileFile == nullptr || profileFile[0] == '\0') return -1;
  if (profile != nullptr && profile->PellavarFlag != 0 && realtime == 1) DeleteRealtimeData(profile);
  std::string path = ProfileDirectory() + profileFile;
  const bool deleted = kv::FileDelete(path.c_str());
  if (path.size() >= 4 && StartsWithNoCase(path.c_str() + path.size() - 4, ".wlp")) {
    path.replace(path.size() - 4, 4, ".DIR");
    DeleteDownloadedFiles(path.c_str());
  }
  ++g_engine.setListChangeCounter;
  return deleted ? 0 : -1;
}

VORNIC_API int16_t ADT_GetFilterOptionList(uint32_t /*unused*/, uint32_t fieldTable, uint16_t record, uint16_t field,
                                           char** list, uint16_t* count, uint16_t* errorWord) {
  if (errorWord != nullptr) *errorWord = 0;
  if (list == nullptr || count == nullptr) return -1;
  const size_t offset = static_cast<size_t>(record) * 2434 + 4878 + static_cast<size_t>(field) * 142 + 20;
  const size_t tableSize = kv::GlobalSize(fieldTable);
  auto* table = static_cast<const uint8_t*>(kv::GlobalLock(fieldTable));
  if (table == nullptr || offset + 2 > tableSize) {
    if (table != nullptr) kv::GlobalUnlock(fieldTable);
    if (errorWord != nullptr) *errorWord = VRN_ERR_BAD_ARGUMENT;
    return -1;
  }
  const uint16_t key = static_cast<uint16_t>(table[offset] | (table[offset + 1] << 8));
  kv::GlobalUnlock(fieldTable);

  uint32_t titleId = 5503;
  uint16_t optionsId = 5500;
  if (key == 12288) {
    titleId = 5505;
    optionsId = 5502;
  } else if (key == 13312) {
    titleId = 5504;
    optionsId = 5501;
  }
  const char* title = LoadResString(titleId);
  const char* options = LoadTextResource(optionsId);
  const size_t optionsSize = TextResourceSize(optionsId);
  size_t needed = 0;
  ParseOptionResource(options, optionsSize, title, nullptr, 0, &needed);
  void* grown = std::realloc(*list, needed + 100);
  if (grown == nullptr) {
    if (errorWord != nullptr) *errorWord = VRN_ERR_NO_MEMORY;
    return -1;
  }
  *list = static_cast<char*>(grown);
  const size_t pairs = ParseOptionResource(options, optionsSize, title, *list, needed + 100, &needed);
  *count = static_cast<uint16_t>(pairs);
  return 0;
}
