// Temporary bodies so that the library links while the real ones are written.
#include "platform/base/clock.h"
#include "platform/base/debuglog.h"
#include "platform/base/files.h"
#include "platform/base/ini.h"
#include "platform/base/lasterror.h"
#include "platform/base/memory.h"
#include "platform/base/paths.h"
#include "platform/base/registry.h"

namespace kv {
std::string ToNativePath(std::string_view p) { return std::string(p); }
std::string ResolvePath(std::string_view p) { return std::string(p); }
std::string ProgramFolder() { return "./"; }
uint32_t GetProgramFolder(char*, uint32_t) { return 0; }
std::string ModuleFileFromAddress(const void*) { return {}; }
uint32_t GetModuleFileFromAddress(const void*, char*, uint32_t) { return 0; }
std::string TempFolder() { return "/tmp/"; }
uint32_t GetTempFolder(char*, uint32_t) { return 0; }
std::string CurrentFolder() { return "."; }
uint32_t GetCurrentFolder(char*, uint32_t) { return 0; }
bool SetCurrentFolder(const char*) { return false; }
uint32_t CopyOut(std::string_view, char*, uint32_t) { return 0; }
KvFile FileOpen(const char*, uint32_t, FileDisposition) { return KV_INVALID_FILE; }
bool FileRead(KvFile, void*, uint32_t, uint32_t*) { return false; }
bool FileWrite(KvFile, const void*, uint32_t, uint32_t*) { return false; }
int64_t FileSeek(KvFile, int64_t, uint32_t) { return -1; }
int64_t FileTell(KvFile) { return -1; }
int64_t FileSize(KvFile) { return -1; }
bool FileSetEnd(KvFile) { return false; }
bool FileClose(KvFile) { return false; }
bool FileDelete(const char*) { return false; }
bool FileRename(const char*, const char*) { return false; }
bool FileMove(const char*, const char*, bool) { return false; }
bool FileCopy(const char*, const char*, bool) { return false; }
bool CreateFolder(const char*) { return false; }
bool RemoveFolder(const char*) { return false; }
bool GetFileInfo(const char*, FileInfo*) { return false; }
bool PathExists(const char*) { return false; }
bool FolderExists(const char*) { return false; }
std::vector<FileInfo> FindFiles(const char*) { return {}; }
bool WildcardMatch(const char*, const char*) { return false; }
KvGlobal GlobalAlloc(uint32_t, size_t) { return 0; }
void* GlobalLock(KvGlobal) { return nullptr; }
bool GlobalUnlock(KvGlobal) { return false; }
KvGlobal GlobalReAlloc(KvGlobal, size_t, uint32_t) { return 0; }
size_t GlobalSize(KvGlobal) { return 0; }
uint32_t GlobalLockCount(KvGlobal) { return 0; }
bool GlobalFree(KvGlobal) { return false; }
size_t GlobalLiveCount() { return 0; }
std::time_t Now() { return 0; }
bool LocalTime(std::time_t, std::tm*) { return false; }
bool UtcTime(std::time_t, std::tm*) { return false; }
std::time_t FromLocalTime(const std::tm&) { return -1; }
uint64_t TickCount64() { return 0; }
uint32_t TickCount() { return 0; }
void Sleep(uint32_t) {}
ScopedTestClock::ScopedTestClock(std::time_t, uint64_t) {}
ScopedTestClock::~ScopedTestClock() {}
void ScopedTestClock::SetNow(std::time_t) {}
void ScopedTestClock::SetTicks(uint64_t) {}
void ScopedTestClock::Advance(uint64_t) {}
void DebugOutput(const char*) {}
void DebugOutput(const std::string&) {}
std::string DebugLogPath() { return {}; }
std::string SystemIniPath() { return {}; }
std::string IniFilePath(const char*) { return {}; }
uint32_t IniGetString(const char*, const char*, const char*, char*, uint32_t, const char*) { return 0; }
int32_t IniGetInt(const char*, const char*, int32_t d, const char*) { return d; }
bool IniWriteString(const char*, const char*, const char*, const char*) { return false; }
uint32_t IniGetSection(const char*, char*, uint32_t, const char*) { return 0; }
std::string IniString(const char*, const char*, const char*, const char*) { return {}; }
std::vector<std::string> IniSectionNames(const char*) { return {}; }
std::vector<std::string> IniKeyNames(const char*, const char*) { return {}; }
std::vector<std::pair<std::string, std::string>> IniSection(const char*, const char*) { return {}; }
std::string RegistryPath() { return {}; }
bool RegGetString(const char*, const char*, std::string*) { return false; }
uint32_t RegGetString(const char*, const char*, char*, uint32_t) { return 0; }
bool RegGetDword(const char*, const char*, uint32_t*) { return false; }
bool RegSetString(const char*, const char*, const char*) { return false; }
bool RegSetDword(const char*, const char*, uint32_t) { return false; }
bool RegDeleteValue(const char*, const char*) { return false; }
bool RegDeleteKey(const char*) { return false; }
bool RegKeyExists(const char*) { return false; }
std::vector<std::string> RegValueNames(const char*) { return {}; }
std::vector<std::string> RegSubKeyNames(const char*) { return {}; }
}  // namespace kv
