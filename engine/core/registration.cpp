// Client registration, the client callback dispatch, the error display hook
// and the small setters of the engine's client interface.
//
// Up to VRN_MAX_CLIENTS clients may be registered at a time; a slot is free
// again after its client deregisters. The engine-wide resources (the name
// cache, the lookup queue, the text cache, the ODBC library) are set up by
// the first registration and released by the last deregistration, so that
// the remaining clients keep working when one leaves. Each client's binding
// of the network libraries is counted and released with that client.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/core/engine_state.h"
#include "engine/core/odbc_log_source.h"
#include "engine/database/odbc_store.h"
#include "engine/database/realtime_store.h"
#include "engine/network/dns_queue.h"
#include "engine/network/remote_logs.h"
#include "engine/network/title_cache.h"
#include "platform/base/files.h"
#include "platform/base/ini.h"
#include "platform/module/resource.h"
#include "platform/netbind/netbind.h"

VrnDisplayErrorFn glpfnDisplayReportError = nullptr;

namespace vrn {

EngineState g_engine;

namespace {

constexpr size_t kMaxProfileDir = 300;
constexpr size_t kMaxLastDir = 259;
constexpr char kSystemIni[] = "WIN.INI";

uint32_t g_registrationOrder = 0;
// Bindings of the network libraries taken through ACP_Register itself (not
// through VRN_Register); ACP_DeRegister releases only these, so that it never
// drops a binding a registered client holds.
uint32_t g_directNetworkBindings = 0;

char FirstChar(const std::string& text) { return text.empty() ? '\0' : text[0]; }

// Display and log date settings, read once per load of the library.
void ReadDateSettings() {
  g_engine.displayIDate = static_cast<uint32_t>(kv::IniGetInt("intl", "iDate", 0, kSystemIni));
  const std::string sysDate = kv::IniString("intl", "sDate", "/", kSystemIni);
  const std::string sysTime = kv::IniString("intl", "sTime", ":", kSystemIni);
  g_engine.displaySDate[0] = FirstChar(sysDate);
  g_engine.displaySTime[0] = FirstChar(sysTime);

  int32_t logDate = GetModuleProfileInt("intl", "iDate", 99);
  if (logDate == 99) logDate = kv::IniGetInt("intl", "iDate", 0, kSystemIni);
  g_engine.logIDate = static_cast<uint32_t>(logDate);
  std::string logTime = GetModuleProfileStr("intl", "sTime", "");
  if (logTime.empty()) logTime = sysTime;
  std::string logSep = GetModuleProfileStr("intl", "sDate", "");
  if (logSep.empty()) logSep = sysDate;
  g_engine.logSTime[0] = FirstChar(logTime);
  g_engine.logSDate[0] = FirstChar(logSep);
}

void ReadDefaultsSettings() {
  g_engine.disableServerLookup = static_cast<uint32_t>(GetModuleProfileInt("defaults", "DisableServerLookup", 0));
  g_engine.logFileReloadSize = static_cast<uint32_t>(GetModuleProfileInt("defaults", "LogFileReloadSize", 1000000));
  g_engine.disableColdFusion = static_cast<uint32_t>(GetModuleProfileInt("defaults", "DisableColdFusion", 0));
  g_engine.useHTMLTitleExtensions =
      static_cast<uint32_t>(GetModuleProfileInt("defaults", "UseHTMLTitleExtensions", 0));
  g_engine.overrideIISHomePage = static_cast<uint32_t>(GetModuleProfileInt("defaults", "OverrideIISHomePage", 0));
}

bool SameFolder(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// Deletes the downloaded remote logs listed by the "*.dir" files of folder.
void DeleteDownloadsIn(const std::string& folder) {
  if (folder.empty()) return;  // never the current folder of the process
  const std::string pattern = folder + "*.dir";
  for (const kv::FileInfo& info : kv::FindFiles(pattern.c_str())) {
    if (info.folder) continue;
    const std::string full = folder + info.name;
    DeleteDownloadedFiles(full.c_str());
  }
}

// Binds the network libraries for one client; returns the result written to
// the client (1 bound, 0 not).
uint32_t AcquireNetwork(bool* took) {
  const bool bound = BindNetworkLibraries() != 0;
  if (took != nullptr) *took = bound;
  g_engine.networkBound = bound ? 1 : 0;
  return bound ? 1u : 0u;
}

void ReleaseNetwork() {
  ReleaseNetworkLibraries();
  // The libraries stay loaded while another client holds a binding.
  bool others = false;
  for (const ClientSlot& s : g_engine.slots) others = others || (s.inUse && s.holdsNetwork);
  if (!others) g_engine.networkBound = 0;
}

int16_t AcpRegister(VrnYieldCallback yield, uint32_t* networkResult, bool* tookNetwork) {
  if (tookNetwork != nullptr) *tookNetwork = false;
  if (networkResult != nullptr) *networkResult = AcquireNetwork(tookNetwork);
  g_engine.progressCallback = nullptr;
  g_engine.percentCallback = nullptr;
  g_engine.yieldCallback = yield;
  g_engine.savedYieldCallback = yield;
  return 0;
}

void AcpDeRegister(bool releaseNetwork) {
  if (g_engine.activeClients == 0) ReleaseGSWLibrary(1);
  if (releaseNetwork) ReleaseNetwork();
}

// Puts back the values of the most recently registered client still there.
void RestoreLatestClient() {
  const ClientSlot* latest = nullptr;
  for (const ClientSlot& s : g_engine.slots) {
    if (s.inUse && (latest == nullptr || s.order > latest->order)) latest = &s;
  }
  if (latest == nullptr) return;
  g_engine.yieldCallback = latest->yield;
  g_engine.savedYieldCallback = latest->yield;
  g_engine.resourceModule = latest->resources;
  g_engine.impersonationToken = latest->impersonationToken;
  g_engine.restrictionFlag = latest->restriction;
  glpfnDisplayReportError = latest->displayError;
}

// Key of a profile setting -> string id of its display text.
struct SetStringKey {
  uint16_t key;
  uint16_t id;
};
constexpr SetStringKey kSetStrings[] = {
    {0, 5677},     {1, 5678},     {2, 5679},     {3, 5680},    {4, 5681},     {561, 5682},   {562, 5683},
    {563, 5684},   {564, 5685},   {565, 5686},   {566, 5687},  {572, 5688},   {573, 5689},   {574, 5690},
    {16384, 5697}, {13312, 5699}, {575, 5691},   {567, 5692},  {568, 5693},   {569, 5695},   {570, 5696},
    {571, 5694},   {12288, 5698}, {7936, 5704},  {5632, 5700}, {10496, 5701}, {5888, 5702},  {6144, 5703},
    {8960, 5705},  {8192, 5706},  {8448, 5707},
};

void CopyBounded(const char* text, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  size_t n = std::strlen(text);
  if (n > size - 1) n = size - 1;
  std::memcpy(out, text, n);
  out[n] = '\0';
}

}  // namespace

const std::string& ProfileDirectory() { return g_engine.slots[0].profileDir; }

int CallClientCallback(uint32_t refresh, uint32_t a1, const char* a2, uint32_t a3, int32_t a4, uint32_t a5) {
  if (g_engine.progressCallback != nullptr) {
    const int32_t answer = refresh != 0 ? g_engine.progressCallback(0, "", 0, -1, 0)
                                        : g_engine.progressCallback(a1, a2 != nullptr ? a2 : "", a3, a4, a5);
    return answer == 7 ? 2 : 3;
  }
  if (g_engine.percentCallback != nullptr) {
    const int32_t answer = g_engine.percentCallback(refresh != 0 ? 65535u : static_cast<uint32_t>(a4));
    return answer == 0 ? 2 : 3;
  }
  if (g_engine.yieldCallback != nullptr) {
    g_engine.yieldCallback();
    return 3;
  }
  return 1;
}

void DisplayReportError(const char* text) {
  if (glpfnDisplayReportError != nullptr) glpfnDisplayReportError(0, "Kelvaron", text != nullptr ? text : "", 0, 0, 0);
}

void EndRealtimeUpdate() {
  CloseRealtimeStore();
  if (g_engine.deferredAbortCallback != nullptr) {
    const VrnAbortCallback callback = g_engine.deferredAbortCallback;
    g_engine.deferredAbortCallback = nullptr;
    callback();
  }
  if (g_engine.realtimeNesting > 0) --g_engine.realtimeNesting;
}

int ReadDNSModeSettings() {
  uint32_t platform = 0, major = 0;
  GetWindowsVersion(&platform, &major);
  int fast = (platform == 2 && major < 4) ? 0 : 1;
  if (fast != 0) {
    if (GetModuleProfileInt("defaults", "ForceSlowDNS", 0) != 0) fast = 0;
  } else if (GetModuleProfileInt("defaults", "ForceFastDNS", 0) != 0) {
    fast = 1;
  }
  if (fast != 0) {
    uint32_t threads = platform == 1 ? 5 : 32;
    const int32_t setting = GetModuleProfileInt("defaults", "MaxDNSThreads", 0);
    if (setting > 0) threads = static_cast<uint32_t>(setting);
    g_engine.maxDnsThreads = threads;
  }
  g_engine.dnsFastMode = static_cast<uint32_t>(fast);
  return fast;
}

uint32_t GetDNSTimeout() {
  const int32_t seconds = GetModuleProfileInt("Defaults", "DNSTimeout", 25);
  return static_cast<uint32_t>(seconds) * 1000u;
}

void ReadNotifiedIniSettings() {
  const std::string mode = GetModuleProfileStr("Defaults", "FTPDownload", "Detect");
  if (strcasecmp(mode.c_str(), "Once") == 0) {
    g_engine.ftpDownloadMode = 2;
  } else if (strcasecmp(mode.c_str(), "Detect") == 0) {
    g_engine.ftpDownloadMode = 1;
  } else {
    g_engine.ftpDownloadMode = 0;
  }
  g_engine.cookieEnable = GetModuleProfileInt("Cookie", "Enable", 1) != 0 ? 1 : 0;
  g_engine.cookieValidate = GetModuleProfileInt("Cookie", "Validate", 1) != 0 ? 1 : 0;
}

}  // namespace vrn

// ---- exports -------------------------------------------------------------

using vrn::g_engine;

int16_t ACP_Register(uint32_t /*clientId*/, VrnYieldCallback yield, uint32_t* networkResult) {
  bool took = false;
  const int16_t result = vrn::AcpRegister(yield, networkResult, &took);
  // A binding taken outside VRN_Register belongs to no slot; it is released
  // by the client's own ACP_DeRegister.
  if (took) ++vrn::g_directNetworkBindings;
  return result;
}

int16_t ACP_DeRegister(uint32_t /*clientId*/) {
  const bool release = vrn::g_directNetworkBindings > 0;
  if (release) --vrn::g_directNetworkBindings;
  vrn::AcpDeRegister(release);
  return 0;
}

int16_t VRN_Register(const char* profileDir, uint16_t /*clientId*/, uint16_t clientTag, VrnYieldCallback yield,
                     uint32_t* networkResult, KvModule resources, uint32_t restriction, KvHandle impersonationToken,
                     VrnDisplayErrorFn displayError) {
  const std::string dir = profileDir != nullptr ? std::string(profileDir).substr(0, vrn::kMaxProfileDir) : "";
  vrn::OwnModule();

  if (g_engine.registrationCounter == 65535) {
    vrn::ClearTextCache(vrn::kEngineTextFirst, vrn::kEngineTextLast);
    for (vrn::ClientSlot& s : g_engine.slots) s = vrn::ClientSlot{};
    g_engine.activeClients = 0;
    g_engine.registrationCounter = 0;
    vrn::ReadDateSettings();
  }

  int slot = -1;
  for (int i = 0; i < VRN_MAX_CLIENTS; ++i) {
    if (!g_engine.slots[i].inUse) {
      slot = i;
      break;
    }
  }
  if (slot < 0) return -1;

  g_engine.restrictionFlag = restriction;
  g_engine.impersonationToken = impersonationToken;
  glpfnDisplayReportError = displayError;
  g_engine.resourceModule = resources;
  g_engine.lastRegisteredDir = dir.substr(0, vrn::kMaxLastDir);

  vrn::ReadDefaultsSettings();
  vrn::ReadDNSModeSettings();
  g_engine.dnsTimeoutMs = vrn::GetDNSTimeout();
  vrn::ReadNotifiedIniSettings();
  vrn::RegisterOdbcLogSource();

  if (g_engine.activeClients == 0) {
    // First client: the name cache and the lookup queue.
    int32_t size = GetModuleProfileInt("defaults", "DNSLookupQueueSize", static_cast<int32_t>(g_engine.dnsQueueSize));
    if (size < 2) size = 2;
    const bool cacheOpen = vrn::OpenDNSCache(dir.c_str()) != 0;
    if (!vrn::AllocateDNSFifo(static_cast<uint32_t>(size))) {
      if (cacheOpen) vrn::CloseDNSCache();
      return -1;
    }
    g_engine.dnsQueueSize = static_cast<uint32_t>(size);
  }

  vrn::ClientSlot& s = g_engine.slots[slot];
  s = vrn::ClientSlot{};
  s.tag = clientTag;
  s.profileDir = dir;
  s.networkWord = static_cast<uint16_t>(vrn::AcpRegister(yield, networkResult, &s.holdsNetwork));
  s.inUse = 1;
  s.order = ++vrn::g_registrationOrder;
  s.yield = yield;
  s.resources = resources;
  s.displayError = displayError;
  s.impersonationToken = impersonationToken;
  s.restriction = restriction;
  ++g_engine.activeClients;
  if (g_engine.registrationCounter < 65534) ++g_engine.registrationCounter;

  g_engine.unresolvedAddressType = vrn::LoadResString(5615);
  g_engine.unresolvedDomain = vrn::LoadResString(5614);
  g_engine.unresolvedCountry = vrn::LoadResString(5616);
  return static_cast<int16_t>(slot);
}

void VRN_DeRegister(uint16_t slotIndex) {
  if (slotIndex >= VRN_MAX_CLIENTS || !g_engine.slots[slotIndex].inUse) return;
  vrn::ClientSlot& s = g_engine.slots[slotIndex];

  vrn::SaveTitleCache();

  bool shared = false;
  for (int i = 0; i < VRN_MAX_CLIENTS; ++i) {
    if (i != slotIndex && g_engine.slots[i].inUse && vrn::SameFolder(g_engine.slots[i].profileDir, s.profileDir)) {
      shared = true;
    }
  }
  if (g_engine.ftpDownloadMode != 1 && !shared) vrn::DeleteDownloadsIn(s.profileDir);

  const bool wasLatest = [&] {
    for (const vrn::ClientSlot& o : g_engine.slots) {
      if (o.inUse && o.order > s.order) return false;
    }
    return true;
  }();
  const bool holdsNetwork = s.holdsNetwork;
  s.inUse = 0;
  s.holdsNetwork = false;
  if (g_engine.activeClients > 0) --g_engine.activeClients;
  if (wasLatest) vrn::RestoreLatestClient();

  if (g_engine.activeClients == 0) {
    vrn::ClearTextCache(0, 0xFFFF);
    vrn::CloseDNSCache();
    VRN_CloseODBC(-1);
    vrn::UnloadODBCLibrary();
    // The last client is gone: nothing of it may be called or read any more
    // (it may unload its resource module and code next).
    g_engine.resourceModule = nullptr;
    g_engine.yieldCallback = nullptr;
    g_engine.savedYieldCallback = nullptr;
    g_engine.progressCallback = nullptr;
    g_engine.percentCallback = nullptr;
    glpfnDisplayReportError = nullptr;
  }
  vrn::AcpDeRegister(holdsNetwork);
  if (g_engine.activeClients == 0) vrn::FreeDNSFifo();
}

int16_t VRN_GetSetString(uint32_t /*reserved*/, uint16_t key, char* out, uint32_t outSize) {
  if (out == nullptr || outSize == 0) return 0;
  const char* text = nullptr;
  for (const vrn::SetStringKey& k : vrn::kSetStrings) {
    if (k.key == key) {
      text = vrn::LoadResString(k.id);
      break;
    }
  }
  if (vrn::IsTextNotFound(text)) {
    char unknown[40];
    std::snprintf(unknown, sizeof unknown, "Unknown StringID=%x", static_cast<unsigned>(key));
    vrn::CopyBounded(unknown, out, outSize);
  } else {
    vrn::CopyBounded(text, out, outSize < 8193 ? outSize : 8193);
  }
  return 0;
}

int32_t ADT_GetErrorTxtMsg(uint16_t id, char* out, uint16_t size) {
  if (out == nullptr || size == 0) return 0;
  int32_t n = 0;
  if (g_engine.resourceModule != nullptr) n = KvLoadString(g_engine.resourceModule, id, out, size);
  if (n <= 0) {
    vrn::CopyBounded("Undefined Error", out, size);
    return 0;
  }
  return n;
}

void VRN_SetProgressHWND(KvWindow window, uint32_t /*reserved*/) { g_engine.progressWindow = window; }

void VRN_SetCancelBOOL(volatile uint32_t* cancel, uint32_t /*reserved*/) { g_engine.cancelWord = cancel; }

uint32_t VRN_AbortRealtimeAnalysis(VrnAbortCallback callback) {
  g_engine.abortFlag = 1;
  if (g_engine.realtimeNesting != 0) g_engine.deferredAbortCallback = callback;
  return g_engine.realtimeNesting;
}

void VRN_NotifyIniFileChanged(void) { vrn::ReadNotifiedIniSettings(); }

uint32_t VRN_QuerySetListChange(uint32_t* clientCounter) {
  if (clientCounter == nullptr) return 0;
  if (*clientCounter == g_engine.setListChangeCounter) return 0;
  *clientCounter = g_engine.setListChangeCounter;
  return 1;
}
