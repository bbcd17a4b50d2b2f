// A support library for the host's tests. Its settings come from a file
// beside it ("<its path>.cfg", lines key=value): id, type, value, name,
// refuse (1: initialisation fails), splash (a text shown on the splash
// when callback 7 arrives), tray (1: offers entry point 21), profiles (descriptions, comma
// separated), enumerate ("none": entry point 5 returns 5 at once), log (a
// file to which every call is appended). Built with KV_TESTPLUGIN_BARE it
// exports only InitializeSupportLibrary.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "shell/plugin_host_abi.h"

namespace {

bool g_reload = true;

// Read when first needed and again at the start of each enumeration.
std::map<std::string, std::string>& Config() {
  static std::map<std::string, std::string> config;
  if (g_reload) {
    g_reload = false;
    config.clear();
    Dl_info info{};
    static int anchor;
    if (dladdr(&anchor, &info) && info.dli_fname) {
      std::ifstream in(std::string(info.dli_fname) + ".cfg");
      std::string line;
      while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) config[line.substr(0, eq)] = line.substr(eq + 1);
      }
    }
  }
  return config;
}

std::string Get(const char* key, const char* def = "") {
  auto it = Config().find(key);
  return it == Config().end() ? def : it->second;
}

void Log(const std::string& line) {
  std::string path = Get("log");
  if (path.empty()) return;
  std::ofstream out(path, std::ios::app);
  out << Get("name", "test") << ": " << line << "\n";
}

#ifndef KV_TESTPLUGIN_BARE
KvProc g_callbacks[kHostCallbackCount + 1] = {};
std::vector<ProfileEntry*> g_entries;
size_t g_cursor = 0;
std::vector<std::string> g_descriptions;
std::string g_help;

int32_t Enumerate(KvWindow, ProfileEntry* previous, ProfileEntry* old, ProfileEntry** out) {
  Log(std::string("enumerate previous=") + (previous ? previous->description : "-") +
      " old=" + (old ? old->description : "-"));
  if (old) {
    for (ProfileEntry*& e : g_entries)
      if (e == old) {
        delete e;
        e = nullptr;
      }
  }
  if (!previous) {
    g_reload = true;
    g_cursor = 0;
    g_descriptions.clear();
    if (Get("enumerate") != "none") {
      std::stringstream list(Get("profiles"));
      std::string d;
      while (std::getline(list, d, ','))
        if (!d.empty()) g_descriptions.push_back(d);
    }
  }
  if (g_cursor >= g_descriptions.size()) return KV_RESULT_NO_MORE;
  auto* entry = new ProfileEntry{};
  entry->libraryId = std::atoi(Get("id", "7").c_str());
  std::snprintf(entry->description, sizeof entry->description, "%s", g_descriptions[g_cursor].c_str());
  std::snprintf(entry->profileFile, sizeof entry->profileFile, "/profiles/%s.prf", g_descriptions[g_cursor].c_str());
  entry->key = static_cast<int32_t>(g_cursor) + 100 * entry->libraryId;
  ++g_cursor;
  g_entries.push_back(entry);
  *out = entry;
  return KV_RESULT_DONE;
}

int32_t Edit(KvWindow, ProfileEntry*, ProfileEntry** out) {
  Log("edit");
  if (out) *out = nullptr;
  return KV_RESULT_FAILED;
}

int32_t Unload() {
  Log("unload");
  for (ProfileEntry* e : g_entries) delete e;
  g_entries.clear();
  return KV_RESULT_DONE;
}

const char* Help(intptr_t, intptr_t) {
  g_help = "help of " + Get("name", "test");
  return g_help.c_str();
}

int32_t Tray(KvWindow) {
  Log("tray");
  return KV_RESULT_DONE;
}
#endif

}  // namespace

extern "C" {

KV_EXPORT int32_t InitializeSupportLibrary(intptr_t hostValue, int32_t* type, int32_t* value, int32_t* id, char* name) {
  Log("init host=" + std::to_string(hostValue));
  if (Get("refuse") == "1") return 0;
  *type = std::atoi(Get("type", "1").c_str());
  *value = std::atoi(Get("value", "0").c_str());
  *id = std::atoi(Get("id", "7").c_str());
  // A name longer than the host keeps is cut by the host.
  std::string text = Get("name", "test");
  std::snprintf(name, KV_SUPPORT_NAME_BUFFER, "%s", text.c_str());
  return 1;
}

#ifndef KV_TESTPLUGIN_BARE
KV_EXPORT int32_t SupplyCallback(int32_t callbackId, KvProc function) {
  Log("supply " + std::to_string(callbackId));
  if (callbackId >= 1 && callbackId <= kHostCallbackCount) g_callbacks[callbackId] = function;
  // A status text for the splash, as a library shows its loading.
  if (callbackId == kHostSplashText && function && !Get("splash").empty())
    reinterpret_cast<HostTextFn>(function)(Get("splash").c_str());
  return 0;
}

KV_EXPORT KvProc IsFunctionSupported(int32_t functionId) {
  Log("query " + std::to_string(functionId));
  switch (functionId) {
    case kSupportEditProfile: return reinterpret_cast<KvProc>(&Edit);
    case kSupportEnumerateProfiles: return reinterpret_cast<KvProc>(&Enumerate);
    case kSupportUnload: return reinterpret_cast<KvProc>(&Unload);
    case kSupportHelpText: return reinterpret_cast<KvProc>(&Help);
    case kSupportTrayCommand:
      return Get("tray") == "1" ? reinterpret_cast<KvProc>(&Tray) : nullptr;
    default: return nullptr;
  }
}

// For the tests: the host callback that was handed over under the id.
KV_EXPORT KvProc KvTest_Callback(int32_t callbackId) {
  return callbackId >= 1 && callbackId <= kHostCallbackCount ? g_callbacks[callbackId] : nullptr;
}
#endif

}  // extern "C"
