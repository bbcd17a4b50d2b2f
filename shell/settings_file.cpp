#include "shell/settings_file.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <vector>

#include "platform/base/ini.h"
#include "platform/base/paths.h"
#include "platform/base/registry.h"
#include "platform/module/module.h"
#include "shell/settings_scramble.h"

namespace {

std::mutex g_pathMutex;
std::string g_programFile;  // as given to StoreProgramPath
bool g_pathsBuilt = false;
std::string g_iniPath;
std::string g_programDirectory;

void BuildPaths() {
  std::lock_guard<std::mutex> lock(g_pathMutex);
  if (g_pathsBuilt) return;
  g_programDirectory = g_programFile.empty() ? kv::ProgramFolder() : ProgramFolderOf(g_programFile);
  g_iniPath = g_programDirectory + "KELVARON.INI";
  g_pathsBuilt = true;
}

std::atomic<int> g_browserKind{0};

// Result of the one probe for IsOdbcAvailable(1): -1 not tested, 0 absent, 1 present.
std::atomic<int> g_odbcProbe{-1};

bool CanLoadOdbc() {
  KvModule module = KvLoadModule("ODBC32.DLL");
  if (module == nullptr) return false;
  KvFreeModule(module);
  return true;
}

bool IsTrueText(const std::string& value) {
  return !value.empty() && (value[0] == 't' || value[0] == 'T' || value[0] == '1');
}

// The text of a key cut to size-1 characters.
std::string ReadText(const char* section, const char* key, const char* def, uint32_t size) {
  std::vector<char> buffer(size > 0 ? size : 1);
  uint32_t n = kv::IniGetString(section, key, def, buffer.data(), static_cast<uint32_t>(buffer.size()),
                                GetBaseIniPath());
  return std::string(buffer.data(), n);
}

int ReadInt(const char* section, const char* key, int def) {
  return kv::IniGetInt(section, key, def, GetBaseIniPath());
}

// Copies text into a caller's buffer, cut to its size.
void CopyToBuffer(const std::string& text, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// One of author/company: the key's value, else the registry's name (the
// system's own key first, then the NT one), written back to the key.
void FillFromRegistry(const SettingKey& setting, const char* valueName, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  std::string value = ReadText(setting.section, setting.key, "", static_cast<uint32_t>(size));
  if (value.empty()) {
    static const char* const kKeys[] = {
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
    };
    for (const char* key : kKeys) {
      std::string found;
      if (kv::RegGetString(key, valueName, &found) && !found.empty()) {
        // The whole name goes to the file; only the caller's copy is cut.
        kv::IniWriteString(setting.section, setting.key, found.c_str(), GetBaseIniPath());
        value = found;
        break;
      }
    }
  }
  CopyToBuffer(value, out, size);
}

}  // namespace

// ---- program folder ---------------------------------------------------------

void StoreProgramPath(const char* programFile) {
  std::lock_guard<std::mutex> lock(g_pathMutex);
  g_programFile = programFile != nullptr ? programFile : "";
}

std::string ProgramFolderOf(std::string_view programFile) {
  size_t cut = programFile.find_last_of("\\/");
  if (cut == std::string_view::npos) return std::string();
  return std::string(programFile.substr(0, cut + 1));
}

const char* GetBaseIniPath() {
  BuildPaths();
  return g_iniPath.c_str();
}

const char* GetProgramDirectory() {
  BuildPaths();
  return g_programDirectory.c_str();
}

// ---- keys ---------------------------------------------------------------------

std::string ReadSetting(const SettingKey& key) { return ReadText(key.section, key.key, key.def, key.size); }

bool WriteSetting(const SettingKey& key, const char* value) {
  return kv::IniWriteString(key.section, key.key, value, GetBaseIniPath());
}

bool ReadSettingFlag(const SettingKey& key) { return IsTrueText(ReadSetting(key)); }

bool WriteSettingFlag(const SettingKey& key, bool on) { return WriteSetting(key, on ? "TRUE" : "FALSE"); }

std::string ReadScrambledSetting(const SettingKey& key) { return UnscramblePassword(ReadSetting(key)); }

bool WriteScrambledSetting(const SettingKey& key, std::string_view password) {
  std::string stored;
  if (!ScramblePassword(password, stored)) return false;
  return WriteSetting(key, stored.c_str());
}

bool ReadMailUsesMapi() {
  std::string type = ReadSetting(settings::kMailType);
  return !type.empty() && (type[0] == 'M' || type[0] == 'm');
}

// ---- accessors ------------------------------------------------------------------

int ReadTimeout() { return ReadInt("Defaults", "Timeout", 60); }

bool PicturesEnabled() { return ReadInt("Defaults", "NoPictures", 0) == 0; }

void ReadListPosition(int16_t& start, int16_t& offset) {
  start = static_cast<int16_t>(ReadInt("Defaults", "ListStart", 0));
  offset = static_cast<int16_t>(ReadInt("Defaults", "ListOffset", 0));
}

void WriteListPosition(uint16_t start, uint16_t offset) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", static_cast<int>(start));
  kv::IniWriteString("Defaults", "ListStart", text, GetBaseIniPath());
  std::snprintf(text, sizeof text, "%d", static_cast<int>(offset));
  kv::IniWriteString("Defaults", "ListOffset", text, GetBaseIniPath());
}

std::string ReadBrowserPath() { return ReadSetting(settings::kBrowserPath); }

void WriteBrowserPath(const char* path) {
  WriteSetting(settings::kBrowserPath, path != nullptr ? path : "");
  if (path == nullptr) return;
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p)
    if (*p == '\\' || *p == '/') name = p + 1;
  if (strcasecmp(name, "IEXPLORE.EXE") == 0) g_browserKind = 1;
  else if (strcasecmp(name, "NETSCAPE.EXE") == 0) g_browserKind = 0;
}

std::string ReadLastSummary() { return ReadSetting(settings::kLastSummary); }
void WriteLastSummary(const char* text) { WriteSetting(settings::kLastSummary, text != nullptr ? text : ""); }
std::string ReadLastView() { return ReadSetting(settings::kLastView); }
void WriteLastView(const char* text) { WriteSetting(settings::kLastView, text != nullptr ? text : ""); }
std::string ReadDefaultTemplate() { return ReadSetting(settings::kDefaultTemplate); }
void WriteDefaultTemplate(const char* text) {
  WriteSetting(settings::kDefaultTemplate, text != nullptr ? text : "");
}
std::string ReadProgramLanguage() { return ReadSetting(settings::kProgramLanguage); }
void WriteProgramLanguage(const char* text) {
  WriteSetting(settings::kProgramLanguage, text != nullptr ? text : "");
}
std::string ReadReportLanguage() { return ReadSetting(settings::kReportLanguage); }
void WriteReportLanguage(const char* text) {
  WriteSetting(settings::kReportLanguage, text != nullptr ? text : "");
}
std::string ReadCountry() { return ReadSetting(settings::kCountry); }
void WriteCountry(const char* text) { WriteSetting(settings::kCountry, text != nullptr ? text : ""); }

int ReadListRefreshRate() { return ReadInt("Defaults", "ListRefreshRate", 30); }

uint16_t ReadCpuUsage() {
  uint16_t value = static_cast<uint16_t>(ReadInt("Defaults", "CPUUsage", 100));
  return value > 100 ? 100 : value;
}

bool IsOdbcAvailable(int kind) {
  if (kind == 2) return ReadInt("Defaults", "GlobalPellavarODBC", 0) != 0 && CanLoadOdbc();
  if (kind != 1) return false;
  int probe = g_odbcProbe.load();
  if (probe < 0) {
    probe = CanLoadOdbc() ? 1 : 0;
    g_odbcProbe.store(probe);
  }
  return probe == 1;
}

bool ShowImportOffer() { return ReadInt("Defaults", "DontDisplayImportDlg", 0) == 0; }

void SuppressImportOffer() { WriteProfileUnsigned("Defaults", "DontDisplayImportDlg", 1, GetBaseIniPath()); }

void ReadAuthorAndCompany(char* author, size_t authorSize, char* company, size_t companySize) {
  FillFromRegistry(settings::kAuthor, "RegisteredOwner", author, authorSize);
  FillFromRegistry(settings::kCompany, "RegisteredOrganization", company, companySize);
}

bool WriteProfileUnsigned(const char* section, const char* key, uint32_t value, const char* file) {
  char text[16];
  std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(value));
  return kv::IniWriteString(section, key, text, file);
}

void CutAtMarkerChar(char* text) {
  if (text == nullptr) return;
  for (size_t i = std::strlen(text); i-- > 0;)
    if (text[i] == '\x01') text[i] = '\0';
}

int GetBrowserKind() { return g_browserKind.load(); }
void SetBrowserKind(int kind) { g_browserKind.store(kind); }
