// A support library for the Options window's tests: it offers an option page
// (entry points 22 and 23) and nothing else. Its create call answers with the
// number in env KV_OPTS_PLUGIN_RESULT (default 1); every call is appended to
// the file named by env KV_OPTS_PLUGIN_LOG.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "shell/plugin_host_abi.h"

namespace {

void Log(const std::string& line) {
  if (const char* path = std::getenv("KV_OPTS_PLUGIN_LOG")) std::ofstream(path, std::ios::app) << line << "\n";
}

int32_t CreatePage(intptr_t hostValue, KvHandle* bitmap, int32_t* size, char* tabText, char* title) {
  (void)hostValue;
  Log("create");
  if (bitmap) *bitmap = 122;
  if (size) {
    size[0] = size[1] = 0;
    size[2] = size[3] = 32;
  }
  if (tabText) std::snprintf(tabText, 260, "%s", "Opts\r\nTest");
  if (title) std::snprintf(title, 260, "%s", "Opts Test Options");
  const char* result = std::getenv("KV_OPTS_PLUGIN_RESULT");
  return result ? std::atoi(result) : 1;
}

int32_t ClosePage(int32_t save) {
  Log("close save=" + std::to_string(save));
  return 0;
}

}  // namespace

extern "C" {

KV_EXPORT int32_t InitializeSupportLibrary(intptr_t, int32_t* type, int32_t* value, int32_t* id, char* name) {
  *type = 1;
  *value = 0;
  *id = 9;
  std::snprintf(name, KV_SUPPORT_NAME_BUFFER, "%s", "Opts Test");
  return 1;
}

KV_EXPORT int32_t SupplyCallback(int32_t, KvProc) { return 0; }

KV_EXPORT KvProc IsFunctionSupported(int32_t functionId) {
  switch (functionId) {
    case kSupportCreateOptionPage: return reinterpret_cast<KvProc>(&CreatePage);
    case kSupportCloseOptionPage: return reinterpret_cast<KvProc>(&ClosePage);
    default: return nullptr;
  }
}

}  // extern "C"
