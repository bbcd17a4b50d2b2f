// The link analysis plug-in's entry points.
#include "linkanalysis/plugin_entry.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "linkanalysis/crawl.h"
#include "linkanalysis/linkdb.h"
#include "linkanalysis/plugin_panel.h"
#include "linkanalysis/profiles_files.h"
#include "linkanalysis/profiles_report.h"
#include "linkanalysis/profiles_schedule.h"
#include "platform/base/debuglog.h"
#include "platform/base/ini.h"
#include "platform/module/module.h"
#include "platform/ostrel/ostrel.h"
#include "platform/ui/msgbox.h"

namespace fs = std::filesystem;

namespace kvla {
namespace {

constexpr const char* kCaption = "Vodo Darevudo";
constexpr uint32_t kHelpString = 19;

// Records handed to the host. A slot whose record was freed holds null and is
// reused before the array grows. The records are freed when the plug-in is
// unloaded.
template <typename T>
class EntryArray {
 public:
  ~EntryArray() {
    for (T* record : slots_) delete record;
  }
  T* Add(const T& value) {
    T* record = new (std::nothrow) T(value);
    if (!record) return nullptr;
    for (T*& slot : slots_)
      if (!slot) {
        slot = record;
        return record;
      }
    slots_.push_back(record);
    return record;
  }
  bool Owns(const T* record) const {
    if (!record) return false;
    for (const T* slot : slots_)
      if (slot == record) return true;
    return false;
  }
  // Frees the record when it is one of ours; false otherwise.
  bool Free(const T* record) {
    if (!record) return false;
    for (T*& slot : slots_)
      if (slot == record) {
        delete slot;
        slot = nullptr;
        return true;
      }
    return false;
  }
  size_t Live() const {
    size_t n = 0;
    for (const T* slot : slots_) n += slot != nullptr;
    return n;
  }
  T* FindProfileFile(const char* path) const {
    for (T* slot : slots_)
      if (slot && std::strncmp(slot->profileFile, path, sizeof slot->profileFile) == 0) return slot;
    return nullptr;
  }

 private:
  std::vector<T*> slots_;
};

struct PluginState {
  std::recursive_mutex lock;
  EntryArray<ProfileEntry> profiles;
  EntryArray<ScheduleEntry> schedules;
  // Enumeration state, restarted by a call with next null.
  std::vector<ProfileListEntry> profileFiles;
  size_t profileCursor = 0;
  std::vector<std::string> scheduleFiles;
  size_t scheduleCursor = 0;
  intptr_t hostValue = 0;
  std::string lastUnavailable;
  std::string helpText;
};

PluginState& State() {
  static PluginState state;
  return state;
}

// An entry point needs a part of the plug-in that this build does not have:
// says so to the user (or, unattended, in the scheduler log) and fails.
int32_t Unavailable(KvWindow parent, const std::string& text, bool unattended) {
  State().lastUnavailable = text;
  kv::DebugOutput("kvm_link: " + text);
  if (unattended) {
    char log[4096];
    if (KVUI_GetScheduleLogFilename(log, sizeof log) > 0 && KVUI_CreateSchedulerLogFile(log)) {
      if (std::FILE* f = std::fopen(log, "ab")) {
        std::fprintf(f, "Link Analysis: %s\r\n", text.c_str());
        std::fclose(f);
      }
    }
  } else {
    kv::ui::MessageBox(parent, text.c_str(), kCaption, kv::ui::MbOk | kv::ui::MbIconWarning);
  }
  return KV_RESULT_FAILED;
}

bool EntryFromProfile(const char* lapPath, ProfileEntry* entry) {
  ProfileSummary summary;
  if (!ReadProfileSummary(lapPath, &summary)) return false;
  return BuildProfileEntry(lapPath, summary, entry);
}

// Reads a schedule and points it at the profile record of its .LAP file.
bool ResolveSchedule(const char* lasPath, ScheduleEntry* entry) {
  if (!ReadSchedule(lasPath, entry)) return false;
  ProfileEntry built{};
  if (!EntryFromProfile(entry->associatedProfile, &built)) return false;
  ProfileEntry* profile = State().profiles.FindProfileFile(built.profileFile);
  if (!profile) return false;
  entry->profile = profile;
  entry->hasProfile = 1;
  return true;
}

bool SameFolder(const std::string& a, const std::string& b) {
  std::error_code ec1, ec2;
  return fs::equivalent(a, b, ec1) && !ec1 && !ec2;
}

// Deletes the files of a profile's data folder and the folder. A data folder
// that is the profile folder or the local directory is left alone: emptying
// it would delete every other profile and schedule with this one.
void DeleteDataFolder(const std::string& folder) {
  std::error_code ec;
  if (folder.empty() || !fs::is_directory(folder, ec)) return;
  if (SameFolder(folder, ProfileFolder()) || SameFolder(folder, LocalDirectory())) return;
  for (const fs::directory_entry& file : fs::directory_iterator(folder, ec)) {
    std::error_code fileEc;
    if (file.is_regular_file(fileEc) || file.is_symlink(fileEc)) fs::remove(file.path(), fileEc);
  }
  fs::remove(folder, ec);  // only when it is empty now
}

int32_t RunProfileEditor(KvWindow parent) {
  return Unavailable(parent, "The link analysis profile editor is not available.", false);
}

}  // namespace

bool OwnsProfileEntry(const ProfileEntry* entry) {
  std::lock_guard<std::recursive_mutex> lock(State().lock);
  return State().profiles.Owns(entry);
}

bool OwnsScheduleEntry(const ScheduleEntry* entry) {
  std::lock_guard<std::recursive_mutex> lock(State().lock);
  return State().schedules.Owns(entry);
}

size_t LiveProfileEntries() {
  std::lock_guard<std::recursive_mutex> lock(State().lock);
  return State().profiles.Live();
}

std::string LastUnavailableMessage() {
  std::lock_guard<std::recursive_mutex> lock(State().lock);
  return State().lastUnavailable;
}

}  // namespace kvla

using kvla::State;

extern "C" {

int32_t InitializeSupportLibrary(intptr_t, int32_t* type, int32_t* value, int32_t* id, char* name) {
  if (kvla::AttachFailed()) return 0;  // the load-time set-up failed: the load fails
  if (type) *type = 2;
  if (value) *value = 0;
  if (id) *id = 2;
  if (name) std::snprintf(name, KV_SUPPORT_NAME_BUFFER, "%s", "Link Analysis");
  return 1;
}

int32_t SupplyCallback(int32_t, KvProc) { return 0; }

KvProc IsFunctionSupported(int32_t functionId) {
  switch (functionId) {
    case kSupportGenerateReport: return reinterpret_cast<KvProc>(&PSL_GenerateReport);
    case kSupportEditProfile: return reinterpret_cast<KvProc>(&PSL_EditProfile);
    case kSupportDeleteProfile: return reinterpret_cast<KvProc>(&PSL_DeleteProfile);
    case kSupportCopyProfile: return reinterpret_cast<KvProc>(&PSL_CopyProfile);
    case kSupportEnumerateProfiles: return reinterpret_cast<KvProc>(&PSL_FindProfile);
    case kSupportEditScheduledEvent: return reinterpret_cast<KvProc>(&PSL_EditScheduledEvent);
    case kSupportDeleteScheduledEvent: return reinterpret_cast<KvProc>(&PSL_DeleteScheduledEvent);
    case kSupportEnumerateScheduledEvents: return reinterpret_cast<KvProc>(&PSL_FindScheduledEvent);
    case kSupportRunScheduledEvent: return reinterpret_cast<KvProc>(&PSL_StartScheduledEvent);
    case kSupportUpdatePanelData: return reinterpret_cast<KvProc>(&PSL_UpdateMainPanelData);
    case kSupportCreateOptionPage: return reinterpret_cast<KvProc>(&OnCreateOptionDialog);
    case kSupportCloseOptionPage: return reinterpret_cast<KvProc>(&OnCloseOptionDialog);
    case kSupportHelpText: return reinterpret_cast<KvProc>(&PSL_GetProfileHelp);
    default: return nullptr;
  }
}

int32_t OnCreateOptionDialog(intptr_t hostValue, KvHandle* bitmap, int32_t* size, char* tabText, char* title) {
  State().hostValue = hostValue;
  if (bitmap) *bitmap = 0;
  if (size) size[0] = size[1] = size[2] = size[3] = 0;
  if (tabText) std::snprintf(tabText, 32, "%s", "Link\r\nAnalysis");
  if (title) std::snprintf(title, 32, "%s", "Link Analysis Options");
  kvla::Unavailable(0, "The link analysis option page is not available.", false);
  return -1;  // as the property-sheet runner answers a sheet it could not show
}

int32_t OnCloseOptionDialog(int32_t) {
  // No sheet was created, so there is nothing to write back or free.
  return 0;
}

int32_t PSL_FindProfile(KvWindow hostValue, ProfileEntry* next, ProfileEntry* old, ProfileEntry** out) {
  std::lock_guard<std::recursive_mutex> lock(State().lock);
  kvla::PluginState& st = State();
  st.hostValue = static_cast<intptr_t>(hostValue);
  if (out) *out = nullptr;
  st.profiles.Free(old);
  if (!next) {
    st.profileFiles = kvla::ProfileList();
    st.profileCursor = 0;
    if (st.profileFiles.empty()) return KV_RESULT_FAILED;
  }
  if (st.profileCursor >= st.profileFiles.size()) {
    st.profileFiles.clear();
    st.profileCursor = 0;
    return KV_RESULT_NO_MORE;
  }
  if (!out) return KV_RESULT_FAILED;
  const kvla::ProfileListEntry file = st.profileFiles[st.profileCursor++];
  ProfileEntry built{};
  if (!kvla::EntryFromProfile(file.file, &built)) return KV_RESULT_FAILED;
  ProfileEntry* record = st.profiles.Add(built);
  if (!record) return KV_RESULT_FAILED;
  *out = record;
  return KV_RESULT_DONE;
}

int32_t PSL_EditProfile(KvWindow parent, ProfileEntry* entry, ProfileEntry** out) {
  if (out) *out = nullptr;
  if (!entry) {
    std::string path = kvla::NextFreeFileName(".LAP");
    if (path.empty()) return KV_RESULT_FAILED;
  }
  return kvla::RunProfileEditor(parent);
}

int32_t PSL_CopyProfile(KvWindow parent, ProfileEntry* entry, ProfileEntry** out) {
  if (out) *out = nullptr;
  if (!entry) return KV_RESULT_FAILED;
  ProfileEntry copy = *entry;
  std::error_code ec;
  std::string source(copy.profileFile, strnlen(copy.profileFile, sizeof copy.profileFile));
  if (!fs::is_regular_file(source, ec)) return KV_RESULT_FAILED;
  fs::create_directories(kvla::ProfileFolder(), ec);
  std::string target = kvla::NextFreeFileName(".LAP");
  if (target.empty() || target.size() >= sizeof copy.profileFile) return KV_RESULT_FAILED;
  if (!fs::copy_file(source, target, fs::copy_options::none, ec)) return KV_RESULT_FAILED;
  std::string description = "Copy of " + std::string(copy.description, strnlen(copy.description, sizeof copy.description));
  if (!kv::IniWriteString("Main", "Description", description.c_str(), target.c_str())) return KV_RESULT_FAILED;
  std::snprintf(copy.profileFile, sizeof copy.profileFile, "%s", target.c_str());
  return PSL_EditProfile(parent, &copy, out);
}

int32_t PSL_DeleteProfile(KvWindow, ProfileEntry* entry) {
  if (!entry) return KV_RESULT_FAILED;
  std::string lap(entry->profileFile, strnlen(entry->profileFile, sizeof entry->profileFile));
  if (lap.empty()) return KV_RESULT_FAILED;
  kvla::ProfileSummary summary;
  if (kvla::ReadProfileSummary(lap.c_str(), &summary)) kvla::DeleteDataFolder(summary.dataFolder);
  std::error_code ec;
  fs::remove(lap, ec);
  return KV_RESULT_DONE;
}

int32_t PSL_GenerateReport(KvWindow parent, ProfileEntry* entry, int32_t) {
  if (!entry) return KV_RESULT_FAILED;
  kvla::MemorizedReport chosen;
  if (kvla::RunMemorizedReportDialog(parent, false, &chosen) == 0) return KV_RESULT_FAILED;
  kvla::ReportRunSettings settings;
  kvla::ApplyMemorizedReport(chosen, &settings);
  settings.scheduled = false;
  return kvla::Unavailable(parent, "The link analysis run window and report generator are not available.", false);
}

int32_t PSL_FindScheduledEvent(KvWindow hostValue, ScheduleEntry* next, ScheduleEntry** out) {
  std::lock_guard<std::recursive_mutex> lock(State().lock);
  kvla::PluginState& st = State();
  st.hostValue = static_cast<intptr_t>(hostValue);
  if (out) *out = nullptr;
  if (!next) {
    st.scheduleFiles = kvla::ListProfileFolder(".LAS");
    st.scheduleCursor = 0;
    if (st.scheduleFiles.empty()) return KV_RESULT_FAILED;
  }
  if (st.scheduleCursor >= st.scheduleFiles.size()) {
    st.scheduleFiles.clear();
    st.scheduleCursor = 0;
    return KV_RESULT_NO_MORE;
  }
  if (!out) return KV_RESULT_FAILED;
  const std::string file = st.scheduleFiles[st.scheduleCursor++];
  ScheduleEntry entry{};
  if (!kvla::ResolveSchedule(file.c_str(), &entry)) return KV_RESULT_FAILED;
  ScheduleEntry* record = st.schedules.Add(entry);
  if (!record) return KV_RESULT_FAILED;
  *out = record;
  return KV_RESULT_DONE;
}

int32_t PSL_EditScheduledEvent(KvWindow parent, ScheduleEntry* entry, ScheduleEntry** out) {
  if (out) *out = nullptr;
  // The dialog works on a copy: a cancelled dialog leaves the host's record
  // as it was.
  ScheduleEntry work{};
  if (entry) {
    work = *entry;
  } else {
    std::error_code ec;
    fs::create_directories(kvla::ProfileFolder(), ec);
    std::string path = kvla::NextFreeFileName(".LAS");
    if (path.empty() || path.size() >= sizeof work.scheduleFile) return KV_RESULT_FAILED;
    std::snprintf(work.scheduleFile, sizeof work.scheduleFile, "%s", path.c_str());
  }
  if (kvla::RunScheduleDialog(parent, &work) == 0) return KV_RESULT_FAILED;
  std::lock_guard<std::recursive_mutex> lock(State().lock);
  ScheduleEntry saved{};
  if (!kvla::ResolveSchedule(work.scheduleFile, &saved)) return KV_RESULT_FAILED;
  ScheduleEntry* record = State().schedules.Add(saved);
  if (!record) return KV_RESULT_FAILED;
  if (out) *out = record;
  return KV_RESULT_DONE;
}

int32_t PSL_DeleteScheduledEvent(KvWindow, ScheduleEntry* entry) {
  if (!entry) return KV_RESULT_FAILED;
  std::lock_guard<std::recursive_mutex> lock(State().lock);
  std::error_code ec;
  fs::remove(std::string(entry->scheduleFile, strnlen(entry->scheduleFile, sizeof entry->scheduleFile)), ec);
  State().schedules.Free(entry);
  return KV_RESULT_DONE;
}

int32_t PSL_StartScheduledEvent(KvWindow parent, ScheduleEntry* entry) {
  if (!entry) return KV_RESULT_FAILED;
  kvla::ReportRunSettings settings;
  kvla::MemorizedReport report;
  std::string memorized(entry->memorizedReport, strnlen(entry->memorizedReport, sizeof entry->memorizedReport));
  if (!memorized.empty() && kvla::ReadMemorizedReport(memorized.c_str(), &report))
    kvla::ApplyMemorizedReport(report, &settings);
  char log[4096];
  if (KVUI_GetScheduleLogFilename(log, sizeof log) > 0 && KVUI_CreateSchedulerLogFile(log)) settings.schedulerLog = log;
  settings.saveAs.assign(entry->saveAs, strnlen(entry->saveAs, sizeof entry->saveAs));
  settings.username.assign(entry->username, strnlen(entry->username, sizeof entry->username));
  settings.password.assign(entry->password, strnlen(entry->password, sizeof entry->password));
  settings.deliveryKind = kvla::SaveToKindOf(settings.saveAs);
  settings.scheduled = true;
  return kvla::Unavailable(parent, "The link analysis run window is not available; the scheduled run of " +
                                       std::string(entry->associatedProfile,
                                                   strnlen(entry->associatedProfile, sizeof entry->associatedProfile)) +
                                       " did not take place.",
                           true);
}

int32_t PSL_UpdateMainPanelData(KvWindow parent, ProfileEntry* entry, int32_t, int32_t show) {
  return kvla::UpdateProfilePanel(parent, entry, show);
}

const char* PSL_GetProfileHelp(intptr_t, intptr_t) {
  KvModule self = KvModuleFromAddress(reinterpret_cast<const void*>(&PSL_GetProfileHelp));
  return KVUI_GetModuleString(self, kvla::kHelpString);
}

}  // extern "C"

// Exports by ordinal, for callers that bind them so.
extern "C" KV_MODULE_TABLE const KvOrdinalEntry kv_ordinal_table[] = {
    {1, reinterpret_cast<KvProc>(&InitializeSupportLibrary)},
    {2, reinterpret_cast<KvProc>(&IsFunctionSupported)},
    {3, reinterpret_cast<KvProc>(&OnCloseOptionDialog)},
    {4, reinterpret_cast<KvProc>(&OnCreateOptionDialog)},
    {5, reinterpret_cast<KvProc>(&PSL_CopyProfile)},
    {6, reinterpret_cast<KvProc>(&PSL_DeleteProfile)},
    {7, reinterpret_cast<KvProc>(&PSL_DeleteScheduledEvent)},
    {8, reinterpret_cast<KvProc>(&PSL_EditProfile)},
    {9, reinterpret_cast<KvProc>(&PSL_EditScheduledEvent)},
    {10, reinterpret_cast<KvProc>(&PSL_FindProfile)},
    {11, reinterpret_cast<KvProc>(&PSL_FindScheduledEvent)},
    {12, reinterpret_cast<KvProc>(&PSL_GenerateReport)},
    {13, reinterpret_cast<KvProc>(&PSL_GetProfileHelp)},
    {14, reinterpret_cast<KvProc>(&PSL_StartScheduledEvent)},
    {15, reinterpret_cast<KvProc>(&PSL_UpdateMainPanelData)},
    {16, reinterpret_cast<KvProc>(&SupplyCallback)},
    {17, reinterpret_cast<KvProc>(&KVLA_AnalysisEngineCleanUp)},
    {18, reinterpret_cast<KvProc>(&KVLA_AnalysisEngineStartUp)},
    {19, reinterpret_cast<KvProc>(&KVLA_CheckDatabaseVersion)},
    {24, reinterpret_cast<KvProc>(&KVLA_GetDynamicData)},
    {26, reinterpret_cast<KvProc>(&KVLA_GetPageChild)},
    {27, reinterpret_cast<KvProc>(&KVLA_GetPageParent)},
    {28, reinterpret_cast<KvProc>(&KVLA_GetPageTitle)},
    {29, reinterpret_cast<KvProc>(&KVLA_GetProfileFileList)},
    {30, reinterpret_cast<KvProc>(&KVLA_ReadDatabaseItem)},
    {31, reinterpret_cast<KvProc>(&KVLA_ReadReferenceList)},
    {32, reinterpret_cast<KvProc>(&KVLA_WriteDatabaseItem)},
    {0, nullptr},
};
