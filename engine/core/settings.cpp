// The engine's folders and INI files, numbers and memory helpers, 64-bit
// file positions, and the start and stop of the charting library.
//
// The engine's folder is the folder of its application path: the module
// given to VRN_InitApplicationPath, else this library itself. Paths are
// written with "/"; "\" is accepted in what callers hand in.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/engine_state.h"
#include "platform/base/files.h"
#include "platform/base/ini.h"
#include "platform/base/lasterror.h"
#include "platform/base/paths.h"
#include "platform/module/module.h"
#include "platform/ui/window.h"

namespace vrn {
namespace {

constexpr size_t kMaxApplicationPath = 255;

std::string g_applicationPath;   // at most 255 characters
size_t g_folderLength = 0;       // characters up to and including the last separator
KvHandle g_gswToken = 0;
KvModule g_gswModule = nullptr;

void EnsureApplicationPath() {
  if (!g_applicationPath.empty()) return;
  char path[VRN_PATH_SIZE];
  if (KvGetModuleFileName(OwnModule(), path, sizeof path) != 0) {
    SetApplicationPath(path);
  } else {
    SetApplicationPath(kv::ModuleFileFromAddress(reinterpret_cast<const void*>(&EnsureApplicationPath)));
  }
}

void CopyPath(const std::string& text, char* out) {
  if (out == nullptr) return;
  kv::CopyOut(text, out, VRN_PATH_SIZE);
}

std::string IntText(int32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%ld", static_cast<long>(value));
  return buffer;
}

}  // namespace

KvModule OwnModule() {
  if (g_engine.ownModule == nullptr) {
    g_engine.ownModule = KvModuleFromAddress(reinterpret_cast<const void*>(&OwnModule));
  }
  return g_engine.ownModule;
}

void SetApplicationPath(const std::string& modulePath) {
  g_applicationPath = modulePath.substr(0, kMaxApplicationPath);
  const size_t last = g_applicationPath.find_last_of("\\/");
  g_folderLength = last == std::string::npos ? 0 : last + 1;
}

std::string EngineFolder() {
  EnsureApplicationPath();
  std::string folder = g_applicationPath.substr(0, g_folderLength);
  for (char& c : folder) {
    if (c == '\\') c = '/';
  }
  return folder;
}

std::string BaseIniPath() { return EngineFolder() + "kelvaron.ini"; }
std::string ModuleIniPath() { return EngineFolder() + "kvm_log/kvm_log.ini"; }
std::string MainPath() { return EngineFolder() + "kvm_log/"; }
std::string DatfilesPath() { return EngineFolder() + "kvm_log/datfiles/"; }

std::string GetBaseProfileStr(const char* section, const char* key, const char* def) {
  return kv::IniString(section, key, def, BaseIniPath().c_str());
}

std::string GetModuleProfileStr(const char* section, const char* key, const char* def) {
  return kv::IniString(section, key, def, ModuleIniPath().c_str());
}

void* AllocZeroed(size_t size) { return std::calloc(size == 0 ? 1 : size, 1); }

int64_t SeekFile64(KvFile file, uint32_t low, int32_t high, uint32_t method) {
  const int64_t offset = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low);
  return kv::FileSeek(file, offset, method);
}

int64_t GetFileSize64(KvFile file) { return kv::FileSize(file); }

// The system this engine runs on counts as Windows NT 4: the charting
// library is started once by the client (mode 1) and lookups run fast.
void GetWindowsVersion(uint32_t* platformId, uint32_t* majorVersion) {
  if (platformId != nullptr) *platformId = 2;
  if (majorVersion != nullptr) *majorVersion = 4;
}

namespace {

bool ChartingActsFor(uint32_t mode) {
  uint32_t platform = 0, major = 0;
  GetWindowsVersion(&platform, &major);
  const bool oldNt = platform == 2 && major < 4;
  return (mode == 1 && !oldNt) || (mode == 0 && oldNt);
}

using GswStartFn = int32_t (*)(const char*, const char*);
using GswCallFn = int32_t (*)(void);

}  // namespace

void ReleaseGSWLibrary(uint32_t mode) {
  if (!ChartingActsFor(mode) || g_engine.gswStartResult != 0 || g_gswModule == nullptr) return;
  auto close = reinterpret_cast<GswCallFn>(KvGetProcOrdinal(g_gswModule, 125));
  auto stop = reinterpret_cast<GswCallFn>(KvGetProcOrdinal(g_gswModule, 2));
  if (close != nullptr) close();
  if (stop != nullptr) stop();
  KvFreeModule(g_gswModule);
  g_gswModule = nullptr;
  g_engine.gswStartResult = 1;
}

}  // namespace vrn

// ---- exports -------------------------------------------------------------

using vrn::CopyPath;

void VRN_InitApplicationPath(KvModule module) {
  char path[VRN_PATH_SIZE];
  if (KvGetModuleFileName(module, path, sizeof path) == 0) return;
  vrn::SetApplicationPath(path);
}

char* BuildBaseIniPath(char* out) {
  if (out == nullptr) return nullptr;
  const std::string folder = vrn::EngineFolder();
  CopyPath(folder + "kelvaron.ini", out);
  const size_t at = folder.size() < VRN_PATH_SIZE - 1 ? folder.size() : VRN_PATH_SIZE - 1;
  return out + at;
}

void GetBaseIniPath(char* out) { CopyPath(vrn::BaseIniPath(), out); }
void GetModuleIniPath(char* out) { CopyPath(vrn::ModuleIniPath(), out); }
void VRN_GetMainPath(char* out) { CopyPath(vrn::MainPath(), out); }
void VRN_GetExePath(char* out) { CopyPath(vrn::EngineFolder(), out); }
void VRN_GetDatfilesPath(char* out) { CopyPath(vrn::DatfilesPath(), out); }

int32_t GetBaseProfileInt(const char* section, const char* key, int32_t def) {
  return kv::IniGetInt(section, key, def, vrn::BaseIniPath().c_str());
}

int32_t GetModuleProfileInt(const char* section, const char* key, int32_t def) {
  return kv::IniGetInt(section, key, def, vrn::ModuleIniPath().c_str());
}

uint32_t GetBaseProfileString(const char* section, const char* key, const char* def, char* out, uint32_t size) {
  return kv::IniGetString(section, key, def, out, size, vrn::BaseIniPath().c_str());
}

uint32_t GetModuleProfileString(const char* section, const char* key, const char* def, char* out, uint32_t size) {
  return kv::IniGetString(section, key, def, out, size, vrn::ModuleIniPath().c_str());
}

KvBool WriteBaseProfileString(const char* section, const char* key, const char* value) {
  return kv::IniWriteString(section, key, value, vrn::BaseIniPath().c_str()) ? 1 : 0;
}

KvBool WriteModuleProfileString(const char* section, const char* key, const char* value) {
  return kv::IniWriteString(section, key, value, vrn::ModuleIniPath().c_str()) ? 1 : 0;
}

// Integers are written signed: -1 stays "-1".
KvBool WriteBaseProfileInt(const char* section, const char* key, int32_t value) {
  return WriteBaseProfileString(section, key, vrn::IntText(value).c_str());
}

KvBool WriteModuleProfileInt(const char* section, const char* key, int32_t value) {
  return WriteModuleProfileString(section, key, vrn::IntText(value).c_str());
}

// Starts the charting library. Impersonation tokens have no meaning on this
// system: the library always starts under the process's own identity.
void InitGSWLibrary(uint32_t mode, KvHandle impersonationToken) {
  vrn::g_gswToken = impersonationToken;
  if (!vrn::ChartingActsFor(mode)) return;
  if (vrn::g_engine.gswStartResult == 0) return;  // already running
  uint32_t result = 1;
  KvModule module = KvLoadModule("GSWDLL32.dll");
  if (module != nullptr) {
    auto start = reinterpret_cast<vrn::GswStartFn>(KvGetProcOrdinal(module, 1));
    auto open = reinterpret_cast<vrn::GswCallFn>(KvGetProcOrdinal(module, 124));
    if (start != nullptr && open != nullptr && KvGetProcOrdinal(module, 125) != nullptr &&
        KvGetProcOrdinal(module, 2) != nullptr) {
      result = static_cast<uint32_t>(start("", "C"));
    }
    if (result == 0) {
      vrn::g_gswModule = module;
      const KvWindow server = kv::ui::FindWindow("GS_Server", "Graphics Server");
      if (server != 0 && kv::ui::IsIconic(server)) kv::ui::ShowWindow(server, kv::ui::ShowHide);
      open();
    } else {
      KvFreeModule(module);
    }
  }
  vrn::g_engine.gswStartResult = result;
  if (result != 0) {
    vrn::DisplayReportError(
        "Graphics library failed to load. Graphing will be disabled. Try killing the \"GSW32.exe\" from the Task "
        "Manager and restart Kelvaron.");
  }
}
