// Support libraries: loading, the list by id, routing and the host callbacks.
#include "shell/plugin_host.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/base/files.h"
#include "platform/base/strutil.h"
#include "platform/module/resource.h"
#include "platform/sync/sync.h"
#include "platform/ui/dialog.h"
#include "platform/ui/window.h"
#include "shell/startup_main.h"

// The plug-ins fill profile entries of the stored size.
static_assert(sizeof(ProfileEntry) == 892, "ProfileEntry is 892 bytes");

namespace kv::host {
namespace {

SupportLibrary* g_libraries = nullptr;
std::vector<ProfileEntry*> g_profiles;
std::vector<ScheduleEntry*> g_schedules;
HostRequests g_requests;

int32_t KeptIndex(int32_t functionId) {
  for (int32_t i = 0; i < kSupportFunctionCount; ++i)
    if (kSupportFunctionOrder[i] == functionId) return i;
  return -1;
}

void InsertById(SupportLibrary* library) {
  SupportLibrary** link = &g_libraries;
  while (*link && (*link)->id <= library->id) link = &(*link)->next;
  library->next = *link;
  *link = library;
}

bool LoadOne(const std::string& path, intptr_t hostValue) {
  KvModule module = KvLoadModule(path.c_str());
  if (!module) return false;
  auto* library = new SupportLibrary;
  library->module = module;
  auto drop = [&]() {
    KvFreeModule(module);
    delete library;
    return false;
  };
  library->initialize =
      reinterpret_cast<InitializeSupportLibraryFn>(KvGetProcAddress(module, "InitializeSupportLibrary"));
  if (!library->initialize) return drop();
  // The plug-in writes its name into a buffer larger than the record's
  // field; the record keeps what fits.
  char name[KV_SUPPORT_NAME_BUFFER] = {};
  if (library->initialize(hostValue, &library->type, &library->value, &library->id, name) == 0)
    return drop();
  name[sizeof name - 1] = '\0';
  size_t length = strnlen(name, sizeof library->name - 1);
  std::memcpy(library->name, name, length);
  library->name[length] = '\0';
  library->supplyCallback = reinterpret_cast<SupplyCallbackFn>(KvGetProcAddress(module, "SupplyCallback"));
  library->isFunctionSupported =
      reinterpret_cast<IsFunctionSupportedFn>(KvGetProcAddress(module, "IsFunctionSupported"));
  if (!library->supplyCallback || !library->isFunctionSupported) return drop();
  for (int32_t id : kSupportQueryOrder) library->functions[KeptIndex(id)] = library->isFunctionSupported(id);
  for (int32_t id : kCallbackSupplyOrder) library->supplyCallback(id, HostCallback(id));
  InsertById(library);
  return true;
}

int32_t FindProfileIndex(const ProfileEntry* entry) {
  for (size_t i = 0; i < g_profiles.size(); ++i)
    if (g_profiles[i] == entry) return static_cast<int32_t>(i);
  return -1;
}

// ---- host callbacks ----
int32_t SetStatusLine(int32_t item, const char* text) {
  KvWindow dialog = app::App().progressDialog;
  if (dialog) ui::SetDlgItemText(dialog, item, text ? text : "");
  return KV_RESULT_DONE;
}
int32_t CbStatus1(const char* text) { return SetStatusLine(19200, text); }
int32_t CbStatus2(const char* text) { return SetStatusLine(19210, text); }
int32_t CbStatus3(const char* text) { return SetStatusLine(19220, text); }
int32_t CbProgress(int32_t percent) {
  KvWindow bar = app::App().progressBar;
  if (bar) ui::PostMessage(bar, app::kOpenPanelMessage, static_cast<KvWParam>(percent), 0);
  return KV_RESULT_DONE;
}
int32_t CbNothing() { return KV_RESULT_DONE; }
int32_t CbCompare(ProfileEntry* entry, ProfileEntry* /*other*/) {
  if (!entry) return KV_RESULT_FAILED;
  for (ProfileEntry* p : g_profiles) {
    if (!p || p == entry) continue;
    if (std::strncmp(p->description, entry->description, sizeof entry->description) != 0)
      return KV_RESULT_FAILED;
  }
  return KV_RESULT_DONE;
}
int32_t CbSplashText(const char* text) {
  app::AppState& a = app::App();
  if (a.splashWindow && a.product.GetSplashTextWnd) {
    KvWindow status = a.product.GetSplashTextWnd(a.splashWindow, 0);
    if (status) ui::SetWindowText(status, text ? text : "");
  }
  return KV_RESULT_DONE;
}
int32_t CbFindProfile(int32_t key, ProfileEntry** out) {
  if (!out) return KV_RESULT_FAILED;
  for (ProfileEntry* p : g_profiles)
    if (p && p->key == key) {
      *out = p;
      return KV_RESULT_DONE;
    }
  *out = nullptr;
  return KV_RESULT_FAILED;
}
int32_t CbAddSchedule(ScheduleEntry* entry) {
  if (!entry) return KV_RESULT_FAILED;
  SchedulerLock lock;
  try {
    g_schedules.push_back(entry);
  } catch (...) {
    return KV_RESULT_FAILED;
  }
  if (entry->enabled) ComputeNextRun(entry, static_cast<int64_t>(std::time(nullptr)));
  SortSchedules();
  return KV_RESULT_DONE;
}
int32_t CbRealtimeProgress(ProfileEntry* entry, const char* text, int32_t records, int32_t percent,
                           int32_t rate) {
  g_requests.progressIndex = FindProfileIndex(entry);
  g_requests.progressText = text ? text : "";
  g_requests.progressRecords = records;
  g_requests.progressPercent = percent;
  g_requests.progressRate = rate;
  return g_requests.stopRequested ? KV_PROGRESS_STOP : KV_RESULT_DONE;
}
int32_t CbFindSchedule(int32_t key, ScheduleEntry** out) {
  if (!out) return KV_RESULT_FAILED;
  SchedulerLock lock;
  for (ScheduleEntry* s : g_schedules)
    if (s && s->key == key) {
      *out = s;
      return KV_RESULT_DONE;
    }
  *out = nullptr;
  return KV_RESULT_FAILED;
}
int32_t CbRemoveSchedule(ScheduleEntry* entry) {
  SchedulerLock lock;
  g_schedules.erase(std::remove(g_schedules.begin(), g_schedules.end(), entry), g_schedules.end());
  SortSchedules();
  return KV_RESULT_DONE;
}
int32_t CbAddProfile(ProfileEntry* entry) {
  if (!entry) return KV_RESULT_FAILED;
  try {
    g_profiles.push_back(entry);
  } catch (...) {
    return KV_RESULT_FAILED;
  }
  return KV_RESULT_DONE;
}
int32_t CbRefresh(int32_t first, int32_t second, int32_t third) {
  if (first) g_requests.refresh[0] = true;
  if (second) g_requests.refresh[1] = true;
  if (third) g_requests.refresh[2] = true;
  return 0;
}

// ---- the library dialog ----
struct ChooseState {
  int32_t functionId = 0;
  std::vector<SupportLibrary*> offers;
  int32_t chosen = -1;
};
constexpr int32_t kChooseTemplate = 31002;
constexpr int32_t kChoosePrompt = 101;
constexpr int32_t kChooseHelp = 102;
constexpr int32_t kFirstChoice = 10000;
constexpr size_t kMaxChoices = 16;  // radio buttons of the template

KvResult ChooseDlg(KvWindow dialog, uint32_t message, KvWParam wparam, KvLParam lparam) {
  auto* state = reinterpret_cast<ChooseState*>(ui::GetWindowUserData(dialog));
  if (message == msg::InitDialog) {
    state = reinterpret_cast<ChooseState*>(lparam);
    ui::SetWindowUserData(dialog, lparam);
    uint32_t prompt = state->functionId == kSupportEditProfile           ? 32026
                      : state->functionId == kSupportEditScheduledEvent ? 32027
                                                                         : 32028;
    char text[256];
    KvLoadString(app::App().resourceModule, prompt, text, sizeof text);
    ui::SetDlgItemText(dialog, kChoosePrompt, text);
    for (size_t i = 0; i < state->offers.size(); ++i) {
      int32_t id = kFirstChoice + static_cast<int32_t>(i);
      ui::SetDlgItemText(dialog, id, state->offers[i]->name);
      ui::ShowWindow(ui::GetDlgItem(dialog, id), ui::ShowNormal);
    }
    if (!state->offers.empty()) ui::CheckDlgButton(dialog, kFirstChoice, ui::Checked);
    return 1;
  }
  if (message == msg::Command && state) {
    int32_t id = static_cast<int32_t>(ui::LowWord(wparam));
    if (id >= kFirstChoice && id < kFirstChoice + static_cast<int32_t>(state->offers.size())) {
      HelpTextFn help = reinterpret_cast<HelpTextFn>(
          state->offers[static_cast<size_t>(id - kFirstChoice)]->isFunctionSupported(kSupportHelpText));
      const char* text = help ? help(0, 0) : nullptr;
      ui::SetDlgItemText(dialog, kChooseHelp, text ? text : "");
      return 1;
    }
    if (id == ui::IdOk) {
      for (size_t i = 0; i < state->offers.size(); ++i)
        if (ui::IsDlgButtonChecked(dialog, kFirstChoice + static_cast<int32_t>(i)) == ui::Checked)
          state->chosen = state->offers[i]->id;
      ui::EndDialog(dialog, 1);
      return 1;
    }
    if (id == ui::IdCancel) {
      ui::EndDialog(dialog, 0);
      return 1;
    }
  }
  return 0;
}

}  // namespace

KvProc KeptFunction(const SupportLibrary& library, int32_t functionId) {
  int32_t index = KeptIndex(functionId);
  return index < 0 ? nullptr : library.functions[index];
}

bool LoadSupportLibraries(const std::string& folder, intptr_t hostValue) {
  std::vector<std::string> names;
  for (const FileInfo& e : FindFiles((folder + "kvm*.so").c_str()))
    if (!e.folder) names.push_back(e.name);
  bool any = false;
  for (const std::string& name : names)
    if (LoadOne(folder + name, hostValue)) any = true;
  return any;
}

void UnloadSupportLibraries() {
  while (SupportLibrary* library = g_libraries) {
    g_libraries = library->next;
    if (auto unload = reinterpret_cast<UnloadFn>(KeptFunction(*library, kSupportUnload))) unload();
    KvFreeModule(library->module);
    delete library;
  }
}

SupportLibrary* FirstSupportLibrary() { return g_libraries; }

SupportLibrary* FindSupportLibrary(int32_t id) {
  for (SupportLibrary* l = g_libraries; l; l = l->next)
    if (l->id == id) return l;
  return nullptr;
}

KvProc GetSupportFunction(int32_t libraryId, int32_t functionId) {
  SupportLibrary* library = FindSupportLibrary(libraryId);
  if (!library || !library->isFunctionSupported) return nullptr;
  return library->isFunctionSupported(functionId);
}

int32_t ChooseSupportLibrary(KvWindow owner, int32_t functionId) {
  ChooseState state;
  state.functionId = functionId;
  for (SupportLibrary* l = g_libraries; l; l = l->next)
    if (KeptFunction(*l, functionId) && state.offers.size() < kMaxChoices) state.offers.push_back(l);
  if (state.offers.empty()) return -1;
  if (state.offers.size() == 1) return state.offers.front()->id;
  KvModule resources = app::App().resourceModule;
  if (!ui::DialogBoxParam(resources, kChooseTemplate, owner, ChooseDlg, reinterpret_cast<KvLParam>(&state)))
    return -1;
  return state.chosen;
}

// ---- arrays --------------------------------------------------------------------

std::vector<ProfileEntry*>& Profiles() { return g_profiles; }
std::vector<ScheduleEntry*>& Schedules() { return g_schedules; }

void EnumerateProfiles(KvWindow window) {
  std::vector<ProfileEntry*> fresh;
  // Owners are read before any library runs: a library frees the entries
  // handed back to it, so the old array is not read again afterwards, and an
  // entry goes back at most once (two libraries may share an id).
  std::vector<std::pair<int32_t, ProfileEntry*>> owners;
  for (ProfileEntry* p : g_profiles)
    if (p) owners.emplace_back(p->libraryId, p);
  std::vector<ProfileEntry*> handedBack;
  for (SupportLibrary* library = g_libraries; library; library = library->next) {
    auto enumerate = reinterpret_cast<EnumerateProfilesFn>(KeptFunction(*library, kSupportEnumerateProfiles));
    if (!enumerate) continue;
    // The old entries of this library, in array order.
    std::vector<ProfileEntry*> old;
    for (const auto& [id, p] : owners)
      if (id == library->id && std::find(handedBack.begin(), handedBack.end(), p) == handedBack.end())
        old.push_back(p);
    // The events of this library's profiles, with the profile file each
    // belongs to: the library frees an old entry once it is handed back, and
    // it need not list its profiles in the array's (sorted) order, so an
    // event follows the new entry of its own profile file. Entries without a
    // file name are paired by position.
    struct Pending {
      ScheduleEntry* schedule;
      ProfileEntry* oldEntry;
      std::string file;
      bool moved;
    };
    std::vector<Pending> pending;
    {
      SchedulerLock lock;
      for (ScheduleEntry* s : g_schedules)
        if (s && s->profile && std::find(old.begin(), old.end(), s->profile) != old.end())
          pending.push_back({s, s->profile, std::string(s->profile->profileFile, strnlen(s->profile->profileFile, sizeof s->profile->profileFile)), false});
    }
    size_t next = 0;
    ProfileEntry* previous = nullptr;
    for (;;) {
      ProfileEntry* oldEntry = next < old.size() ? old[next] : nullptr;
      ProfileEntry* out = nullptr;
      int32_t result = enumerate(window, previous, oldEntry, &out);
      if (oldEntry) handedBack.push_back(oldEntry);
      if (result != KV_RESULT_DONE || !out) break;
      std::string file(out->profileFile, strnlen(out->profileFile, sizeof out->profileFile));
      {
        SchedulerLock lock;
        for (Pending& p : pending) {
          if (p.moved) continue;
          bool same = p.file.empty() ? (p.oldEntry == oldEntry && out != oldEntry)
                                     : strcasecmp(p.file.c_str(), file.c_str()) == 0;
          if (same) {
            p.schedule->profile = out;
            p.moved = true;
          }
        }
      }
      if (oldEntry) ++next;
      try {
        fresh.push_back(out);
      } catch (...) {
        break;
      }
      previous = out;
    }
    // An event whose profile went back to the library without a successor
    // would point at a freed entry.
    SchedulerLock lock;
    for (Pending& p : pending)
      if (!p.moved && std::find(handedBack.begin(), handedBack.end(), p.oldEntry) != handedBack.end()) {
        p.schedule->profile = nullptr;
        p.schedule->hasProfile = 0;
      }
  }
  g_profiles.swap(fresh);
  std::stable_sort(g_profiles.begin(), g_profiles.end(), [](const ProfileEntry* a, const ProfileEntry* b) {
    return std::strncmp(a->description, b->description, sizeof a->description) < 0;
  });
}

void SortSchedules() {
  std::stable_sort(g_schedules.begin(), g_schedules.end(), [](const ScheduleEntry* a, const ScheduleEntry* b) {
    return a->startTime < b->startTime;
  });
}

void ComputeNextRun(ScheduleEntry* entry, int64_t now) {
  if (!entry || !entry->enabled || entry->startTime > now) return;
  static constexpr int64_t kUnit[4] = {60, 3600, 86400, 7 * 86400};
  int64_t count = entry->repeatFrequency;
  if (count <= 0 || entry->repeatType < 0 || entry->repeatType > 4) return;
  int64_t next = entry->startTime;
  if (entry->repeatType < 4) {
    int64_t step = kUnit[entry->repeatType] * count;
    next += ((now - next) / step + 1) * step;
  } else {
    // Months are counted from the first run, so that its day of the month
    // is kept (timegm carries a day past a month's end into the next).
    std::time_t first = static_cast<std::time_t>(next);
    std::tm base{};
    gmtime_r(&first, &base);
    for (int64_t k = 1; next <= now && k * count < 1200000; ++k) {
      std::tm tm = base;
      tm.tm_mon += static_cast<int>(k * count);
      next = static_cast<int64_t>(timegm(&tm));
    }
  }
  if (next > INT32_MAX) return;
  entry->startTime = static_cast<int32_t>(next);
}

void ClearEntryArrays() {
  g_profiles.clear();
  SchedulerLock lock;
  g_schedules.clear();
}

SchedulerLock::SchedulerLock() {
  KvHandle mutex = app::App().schedulerMutex;
  if (mutex) {
    uint32_t r = KvWaitForSingleObject(mutex, KV_INFINITE);
    held_ = (r == KV_WAIT_OBJECT_0 || r == KV_WAIT_ABANDONED_0);
  }
}

SchedulerLock::~SchedulerLock() {
  if (held_) KvReleaseMutex(app::App().schedulerMutex);
}

HostRequests& Requests() { return g_requests; }

KvProc HostCallback(int32_t callbackId) {
  switch (callbackId) {
    case kHostSetStatus1: return reinterpret_cast<KvProc>(&CbStatus1);
    case kHostSetStatus2: return reinterpret_cast<KvProc>(&CbStatus2);
    case kHostSetStatus3: return reinterpret_cast<KvProc>(&CbStatus3);
    case kHostSetProgress: return reinterpret_cast<KvProc>(&CbProgress);
    case kHostNothing: return reinterpret_cast<KvProc>(&CbNothing);
    case kHostCompareDescriptions: return reinterpret_cast<KvProc>(&CbCompare);
    case kHostSplashText: return reinterpret_cast<KvProc>(&CbSplashText);
    case kHostFindProfile: return reinterpret_cast<KvProc>(&CbFindProfile);
    case kHostAddSchedule: return reinterpret_cast<KvProc>(&CbAddSchedule);
    case kHostRealtimeProgress: return reinterpret_cast<KvProc>(&CbRealtimeProgress);
    case kHostFindSchedule: return reinterpret_cast<KvProc>(&CbFindSchedule);
    case kHostRemoveSchedule: return reinterpret_cast<KvProc>(&CbRemoveSchedule);
    case kHostAddProfile: return reinterpret_cast<KvProc>(&CbAddProfile);
    case kHostRefresh: return reinterpret_cast<KvProc>(&CbRefresh);
    case kHostCreateReport: return reinterpret_cast<KvProc>(&CreateReport);
    default: return nullptr;
  }
}

}  // namespace kv::host

extern "C" intptr_t CreateReport(intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4, intptr_t a5, intptr_t a6) {
  using PerlRunFn = intptr_t (*)(intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t);
  static KvModule library = KvLoadModule("BRENVIK.DLL");
  PerlRunFn run = library ? reinterpret_cast<PerlRunFn>(KvGetProcAddress(library, "PerlRun")) : nullptr;
  if (!run) return KV_RESULT_FAILED;
  return run(a1, a2, a3, a4, a5, a6);
}
