// The profile record and its ".wlp" file: reading, writing, creating,
// copying, and the paths that belong to a profile.
#include "engine/core/profile.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

#include "engine/core/engine_state.h"
#include "engine/core/filter_records.h"
#include "engine/core/morvane_settings.h"
#include "engine/core/profile_names.h"
#include "engine/core/profile_text.h"
#include "platform/base/files.h"

namespace vrn {
namespace {

constexpr const char* kProfileSection = "Profile";

// The profile section's text keys, in file order.
struct TextKey {
  const char* key;
  size_t offset;
  size_t width;
  bool scrambled;
};

#define VRN_TEXT_KEY(field, scrambled) \
  TextKey { #field, offsetof(DravelEntry, field), sizeof(DravelEntry::field), scrambled }

const TextKey kTextKeys[] = {
    VRN_TEXT_KEY(Description, false),      VRN_TEXT_KEY(LogFilePath, false),
    VRN_TEXT_KEY(LogFileUsername, true),   VRN_TEXT_KEY(LogFilePassword, true),
    VRN_TEXT_KEY(ReportSaveToPath, false), VRN_TEXT_KEY(LogOwner, false),
    VRN_TEXT_KEY(HomePageName, false),     VRN_TEXT_KEY(HomePageUsername, true),
    VRN_TEXT_KEY(HomePagePassword, true),  VRN_TEXT_KEY(ODBCDataSource, false),
    VRN_TEXT_KEY(ODBCPellavar, false),     VRN_TEXT_KEY(PellavarRepository, false),
};
#undef VRN_TEXT_KEY

char* FieldAt(DravelEntry& e, const TextKey& k) { return reinterpret_cast<char*>(&e) + k.offset; }
const char* FieldAt(const DravelEntry& e, const TextKey& k) { return reinterpret_cast<const char*>(&e) + k.offset; }

bool BadFileNamePart(std::string_view s) {
  return s.empty() || s.find_first_of("/\\") != std::string_view::npos || s == "." || s == "..";
}

bool ReadWholeFile(const char* path, std::string& out) {
  KvFile f = kv::FileOpen(path, kv::kFileRead, kv::FileDisposition::kOpenExisting);
  if (f == KV_INVALID_FILE) return false;
  const int64_t size = kv::FileSize(f);
  bool ok = size > 0 && static_cast<uint64_t>(size) <= kMaxProfileFileSize;
  if (ok) {
    out.assign(static_cast<size_t>(size), '\0');
    uint32_t done = 0;
    ok = kv::FileRead(f, out.data(), static_cast<uint32_t>(size), &done) && done == size;
  }
  kv::FileClose(f);
  return ok;
}

}  // namespace

void CopyToField(char* field, size_t width, std::string_view src) {
  if (field == nullptr || width == 0) return;
  const size_t n = src.size() < width - 1 ? src.size() : width - 1;
  if (n > 0) std::memcpy(field, src.data(), n);
  field[n] = '\0';
}

std::string_view FieldText(const char* field, size_t width) {
  if (field == nullptr || width == 0) return {};
  // A field holds at most width - 1 characters; a missing NUL ends it there.
  const void* nul = std::memchr(field, '\0', width - 1);
  return std::string_view(field, nul ? static_cast<const char*>(nul) - field : width - 1);
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

void AppendKeyLine(std::string& out, std::string_view key, std::string_view value) {
  out += key;
  out += '=';
  out += value;
  out += "\r\n";
}

void AppendKeyNumber(std::string& out, std::string_view key, int32_t value) {
  AppendKeyLine(out, key, std::to_string(value));
}

int16_t ReadDravelText(std::string_view fileText, std::string_view name, DravelEntry* entry) {
  if (entry == nullptr || name.size() >= sizeof entry->Name) return 0;
  const ProfileText text(fileText);
  std::memset(entry, 0, sizeof *entry);

  for (const TextKey& k : kTextKeys) {
    char* field = FieldAt(*entry, k);
    text.GetField(kProfileSection, k.key, "", field, k.width);
    if (k.scrambled && field[0] != '\0') ScrambleProfileText(field);
  }
  entry->DNSLookup = static_cast<uint8_t>(text.GetInt(kProfileSection, "DNSLookup", 0));
  entry->OverrideMultiHome = static_cast<uint32_t>(text.GetInt(kProfileSection, "OverrideMultiHome", 0));
  entry->PellavarFlag = static_cast<uint16_t>(text.GetInt(kProfileSection, "PellavarFlag", 0));
  entry->RealtimeAnalysis = static_cast<uint32_t>(text.GetInt(kProfileSection, "RealtimeAnalysis", 0));
  entry->IncrementalUpdate = static_cast<uint32_t>(text.GetInt(kProfileSection, "IncrementalUpdate", 0));
  entry->RealtimeReportFrequency =
      static_cast<uint16_t>(text.GetInt(kProfileSection, "RealtimeReportFrequency", 0));
  entry->RealtimeReportInterval = static_cast<uint32_t>(text.GetInt(kProfileSection, "RealtimeReportInterval", 0));
  entry->RealtimeReports = static_cast<uint32_t>(text.GetInt(kProfileSection, "RealtimeReports", 0));
  entry->LogFileFormat = static_cast<uint32_t>(text.GetInt(kProfileSection, "LogFileFormat", 0));
  entry->PellavarWork = 0;
  entry->Version = DRAVEL_VERSION;

  CopyToField(entry->Name, sizeof entry->Name, name);
  CopyToField(entry->Extension, sizeof entry->Extension, "wlp");

  // A remote log is fetched as the engine's download setting says.
  if (std::strncmp(entry->LogFilePath, "ftp:", 4) == 0 || std::strncmp(entry->LogFilePath, "http:", 5) == 0) {
    entry->IncrementalUpdate = g_engine.ftpDownloadMode;
  }

  if (ReadFilterSections(*entry, text) == 0) return 0;
  entry->MorvaneIP = ReadMorvaneSection(text, kMorvaneIPSection);
  entry->MorvaneAuthUser = ReadMorvaneSection(text, kMorvaneAuthUserSection);
  return DRAVEL_READ_OK;
}

bool ComposeDravelFile(const DravelEntry& e, std::string& out) {
  out.clear();
  out += "[Profile]\r\nVersion=4\r\n";
  for (const TextKey& k : kTextKeys) {
    std::string value(FieldText(FieldAt(e, k), k.width));
    if (HasLineBreak(value)) return false;
    if (k.scrambled && !value.empty()) ScrambleProfileText(value.data());
    AppendKeyLine(out, k.key, value);
  }
  const struct {
    const char* key;
    int32_t value;
  } numbers[] = {
      {"DNSLookup", e.DNSLookup},
      {"OverrideMultiHome", static_cast<int32_t>(e.OverrideMultiHome)},
      {"PellavarFlag", e.PellavarFlag},
      {"RealtimeAnalysis", static_cast<int32_t>(e.RealtimeAnalysis)},
      {"IncrementalUpdate", static_cast<int32_t>(e.IncrementalUpdate)},
      {"RealtimeReportFrequency", e.RealtimeReportFrequency},
      {"RealtimeReportInterval", static_cast<int32_t>(e.RealtimeReportInterval)},
      {"RealtimeReports", static_cast<int32_t>(e.RealtimeReports)},
      {"LogFileFormat", static_cast<int32_t>(e.LogFileFormat)},
  };
  for (const auto& n : numbers) AppendKeyNumber(out, n.key, n.value);
  return AppendFilterSections(e, out) && AppendMorvaneSection(e.MorvaneIP, kMorvaneIPSection, out) &&
         AppendMorvaneSection(e.MorvaneAuthUser, kMorvaneAuthUserSection, out);
}

std::string ProfileFilePath(const DravelEntry& e) {
  const std::string& dir = ProfileDirectory();
  const std::string_view name = FieldText(e.Name, sizeof e.Name);
  const std::string_view ext = FieldText(e.Extension, sizeof e.Extension);
  // The name must stay inside the profile directory.
  if (dir.empty() || BadFileNamePart(name) || ext.find_first_of("/\\") != std::string_view::npos) return {};
  std::string path = dir;
  path += name;
  path += '.';
  path += ext;
  return path;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& data) {
  if (path.empty() || data.size() > 0xFFFFFFFFu) return false;
  static std::atomic<uint32_t> counter{0};
  std::string temp;
  KvFile f = KV_INVALID_FILE;
  for (int attempt = 0; attempt < 16 && f == KV_INVALID_FILE; ++attempt) {
    temp = path + ".~" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    f = kv::FileOpen(temp.c_str(), kv::kFileWrite, kv::FileDisposition::kCreateNew);
  }
  if (f == KV_INVALID_FILE) return false;
  uint32_t done = 0;
  bool ok = kv::FileWrite(f, data.data(), static_cast<uint32_t>(data.size()), &done) && done == data.size();
  ok = kv::FileClose(f) && ok;
  ok = ok && kv::FileMove(temp.c_str(), path.c_str(), true);
  if (!ok) kv::FileDelete(temp.c_str());
  return ok;
}

}  // namespace vrn

extern "C" {

KV_EXPORT int16_t ReadDravelFile(const char* path, DravelEntry* entry) {
  if (path == nullptr || entry == nullptr) return 0;
  std::string text;
  if (!vrn::ReadWholeFile(path, text)) return 0;
  // The name is the file name without its last extension.
  std::string_view name(path);
  const size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  return vrn::ReadDravelText(text, name, entry);
}

KV_EXPORT int32_t WriteDravelFile(const DravelEntry* entry) {
  if (entry == nullptr) return 0;
  std::string data;
  if (!vrn::ComposeDravelFile(*entry, data)) return 0;
  return vrn::ReplaceFileAtomically(vrn::ProfileFilePath(*entry), data) ? 1 : 0;
}

KV_EXPORT int16_t VRN_CreateDravelEntry(DravelEntry* entry) {
  if (entry == nullptr) return -1;
  const std::string& dir = vrn::ProfileDirectory();
  if (dir.empty()) return -1;
  const std::string name = vrn::NextProfileName(dir);
  vrn::CopyToField(entry->Name, sizeof entry->Name, name);
  vrn::CopyToField(entry->Extension, sizeof entry->Extension, "wlp");
  if (entry->Filters == nullptr) {
    FilterRecord* f = CreateNewIncludeFilter();
    if (f == nullptr) return -1;
    vrn::CopyToField(f->Name, sizeof f->Name, "Include Everything");
    AddFilterToProfile(f, entry, -1);
  }
  return WriteDravelFile(entry) == 1 ? 0 : -1;
}

KV_EXPORT int16_t VRN_UpdateDravelEntry(DravelEntry* entry) {
  return WriteDravelFile(entry) == 1 ? 0 : -1;
}

KV_EXPORT int16_t VRN_DuplicateDravelEntry(const DravelEntry* source, DravelEntry* target) {
  if (source == nullptr || target == nullptr) return -1;
  const std::string from = vrn::ProfileFilePath(*source);
  if (from.empty()) return -1;
  const std::string& dir = vrn::ProfileDirectory();
  const std::string name = vrn::NextProfileName(dir);
  std::string data;
  if (!vrn::ReadWholeFile(from.c_str(), data)) return -1;
  if (!vrn::ReplaceFileAtomically(dir + name + ".wlp", data)) return -1;
  vrn::CopyToField(target->Name, sizeof target->Name, name);
  vrn::CopyToField(target->Extension, sizeof target->Extension, "wlp");
  return 0;
}

KV_EXPORT int32_t BuildLogProfileFilename(char* out, size_t size, const DravelEntry* entry) {
  if (out == nullptr || size == 0) return 0;
  out[0] = '\0';
  if (entry == nullptr) return 0;
  const std::string path = vrn::ProfileFilePath(*entry);
  if (path.empty() || path.size() >= size) return 0;
  std::memcpy(out, path.c_str(), path.size() + 1);
  return 1;
}

KV_EXPORT char* GenerateDravelFilePath(char* out, size_t size, const DravelEntry* entry) {
  if (out == nullptr || size == 0) return nullptr;
  out[0] = '\0';
  if (entry == nullptr) return nullptr;
  const std::string_view name = vrn::FieldText(entry->Name, sizeof entry->Name);
  const std::string_view ext = vrn::FieldText(entry->Extension, sizeof entry->Extension);
  // The data file must stay inside the data folder.
  if (vrn::BadFileNamePart(name) || ext.find_first_of("/\\") != std::string_view::npos) return nullptr;
  std::string path = vrn::DatfilesPath();
  path += name;
  path += '.';
  path += ext;
  if (path.size() >= size) return nullptr;
  std::memcpy(out, path.c_str(), path.size() + 1);
  return out;
}

}  // extern "C"
