// The plug-in's profile, schedule and memorized-report files.
#include "linkanalysis/profiles_files.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "platform/base/ini.h"
#include "platform/module/module.h"
#include "platform/ostrel/ostrel.h"

namespace fs = std::filesystem;

namespace kvla {
namespace {

std::mutex g_folderLock;
std::string g_localOverride;

constexpr const char* kMain = "Main";

// The stored form of the longest password a schedule can hold (two hex
// digits per character); read whole so that nothing written is cut.
constexpr uint32_t kStoredPasswordSize = 2 * 104 + 1;

struct TableLimit {
  const char* key;
  int32_t def;
};
constexpr TableLimit kTables[kReportTableCount] = {
    {"BrokenLinks", 50}, {"BrokenPages", 50}, {"OtherErrors", 50}, {"NewPages", 50},
    {"OldPages", 50},    {"LargestPages", 10}, {"GraphicsImages", 100}, {"Thumbnails", 50},
    {"Suggestions", 10}, {"Syntax", 50}};
constexpr int32_t kMaxRows = 2000;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Copies a text into a fixed field, cut to the field and terminated.
void CopyField(char* field, size_t size, const std::string& text) {
  std::snprintf(field, size, "%s", text.c_str());
}

// A key of [Main] read with at most size-1 characters, as the fixed fields keep.
std::string ReadKey(const char* key, uint32_t size, const char* file) {
  std::vector<char> buffer(size + 1);
  kv::IniGetString(kMain, key, "", buffer.data(), size, file);
  return buffer.data();
}

std::string ReadPassword(const char* file, size_t outSize) {
  std::string stored = ReadKey("Password", kStoredPasswordSize, file);
  if (stored.empty()) return "";
  std::vector<char> plain(outSize);
  if (!KVUI_DecryptPassword(stored.c_str(), plain.data(), static_cast<int32_t>(outSize))) return "";
  return plain.data();
}

bool WritePassword(const char* password, const char* file) {
  std::vector<char> stored(2 * KVUI_MAX_PASSWORD + 1);
  if (!KVUI_EncryptPassword(password, stored.data(), static_cast<int32_t>(stored.size()))) return false;
  return kv::IniWriteString(kMain, "Password", stored.data(), file);
}

bool WriteInt(const char* key, int32_t value, const char* file) {
  return kv::IniWriteString(kMain, key, std::to_string(value).c_str(), file);
}

std::vector<ProfileListEntry> DescribedList(const char* ext, const char* key, const char* empty) {
  std::vector<ProfileListEntry> list;
  for (const std::string& path : ListProfileFolder(ext)) {
    if (path.size() >= static_cast<size_t>(kPathSize)) continue;
    ProfileListEntry entry{};
    CopyField(entry.file, sizeof entry.file, path);
    std::string description = ReadKey(key, kDescriptionSize, path.c_str());
    CopyField(entry.description, sizeof entry.description, description.empty() ? empty : description);
    list.push_back(entry);
  }
  return list;
}

bool ParseNumbers(const std::string& text, char sep, int32_t out[3]) {
  size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    size_t end = i < 2 ? text.find(sep, pos) : text.size();
    if (end == std::string::npos) return false;
    std::string part = text.substr(pos, end - pos);
    while (!part.empty() && part.front() == ' ') part.erase(part.begin());
    while (!part.empty() && part.back() == ' ') part.pop_back();
    if (part.empty() || part.size() > 6) return false;
    for (char c : part)
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    out[i] = std::atoi(part.c_str());
    pos = end + 1;
  }
  return true;
}

}  // namespace

// ---- folders ------------------------------------------------------------------

std::string LocalDirectory() {
  {
    std::lock_guard<std::mutex> lock(g_folderLock);
    if (!g_localOverride.empty()) return g_localOverride;
  }
  char buffer[4096];
  KvModule self = KvModuleFromAddress(reinterpret_cast<const void*>(&LocalDirectory));
  if (KVUI_GetLocalDirectory(self, buffer, sizeof buffer) <= 0) return ".";
  return buffer;
}

void SetLocalDirectory(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_folderLock);
  g_localOverride = folder;
}

std::string ProfileFolder() { return LocalDirectory() + "/KVM_LINK/"; }

std::string ReportFolder(bool create) {
  std::string folder = LocalDirectory() + "/REPORTS/Link Analysis/";
  if (create) {
    std::error_code ec;
    fs::create_directories(folder, ec);
  }
  return folder;
}

// ---- lists ----------------------------------------------------------------------

std::vector<std::string> ListProfileFolder(const char* ext) {
  std::vector<std::string> paths;
  const std::string want = Upper(ext ? ext : "");
  std::error_code ec;
  fs::directory_iterator it(ProfileFolder(), ec);
  if (ec) return paths;
  for (const fs::directory_entry& entry : it) {
    std::error_code fileEc;
    if (!entry.is_regular_file(fileEc)) continue;
    std::string name = entry.path().filename().string();
    if (name.size() <= want.size() || Upper(name.substr(name.size() - want.size())) != want) continue;
    paths.push_back(ProfileFolder() + name);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::vector<ProfileListEntry> ProfileList() {
  return DescribedList(".LAP", "Description", "No profile description found");
}

std::vector<ProfileListEntry> MemorizedReportList() {
  return DescribedList(".LAR", "MemorizedReportDescription", "Report description");
}

std::string NextFreeFileName(const char* ext) {
  std::vector<std::string> taken;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(ProfileFolder(), ec))
    taken.push_back(Upper(entry.path().filename().string()));
  std::sort(taken.begin(), taken.end());
  const std::string upperExt = Upper(ext ? ext : "");
  for (int32_t n = 0; n < 1000000; ++n) {
    std::string name = "LINK" + std::to_string(n) + (ext ? ext : "");
    if (!std::binary_search(taken.begin(), taken.end(), "LINK" + std::to_string(n) + upperExt))
      return ProfileFolder() + name;
  }
  return "";
}

// ---- schedules --------------------------------------------------------------------

bool ReadSchedule(const char* path, ScheduleEntry* entry) {
  if (!entry) return false;
  std::memset(entry, 0, sizeof *entry);
  if (!path || std::strlen(path) >= sizeof entry->scheduleFile) return false;
  CopyField(entry->scheduleFile, sizeof entry->scheduleFile, path);
  entry->startTime = kv::IniGetInt(kMain, "StartTime", 0, path);
  entry->repeatType = kv::IniGetInt(kMain, "RepeatType", 0, path);
  entry->repeatFrequency = kv::IniGetInt(kMain, "RepeatFrequency", 0, path);
  CopyField(entry->saveAs, sizeof entry->saveAs, ReadKey("SaveAsFilename", kPathSize, path));
  CopyField(entry->associatedProfile, sizeof entry->associatedProfile,
            ReadKey("AssociatedProfileFilename", kPathSize, path));
  CopyField(entry->username, sizeof entry->username, ReadKey("Username", sizeof entry->username, path));
  CopyField(entry->password, sizeof entry->password, ReadPassword(path, sizeof entry->password));
  CopyField(entry->memorizedReport, sizeof entry->memorizedReport,
            ReadKey("MemorizedReportFilename", kPathSize, path));
  return true;
}

bool WriteSchedule(const ScheduleEntry* entry) {
  if (!entry || !entry->scheduleFile[0]) return false;
  const char* file = entry->scheduleFile;
  auto text = [](const char* field, size_t size) { return std::string(field, strnlen(field, size)); };
  bool ok = WriteInt("StartTime", entry->startTime, file);
  ok = ok && WriteInt("RepeatType", entry->repeatType, file);
  ok = ok && WriteInt("RepeatFrequency", entry->repeatFrequency, file);
  ok = ok && kv::IniWriteString(kMain, "SaveAsFilename", text(entry->saveAs, sizeof entry->saveAs).c_str(), file);
  ok = ok && kv::IniWriteString(kMain, "AssociatedProfileFilename",
                                text(entry->associatedProfile, sizeof entry->associatedProfile).c_str(), file);
  ok = ok && kv::IniWriteString(kMain, "Username", text(entry->username, sizeof entry->username).c_str(), file);
  ok = ok && WritePassword(text(entry->password, sizeof entry->password).c_str(), file);
  ok = ok && kv::IniWriteString(kMain, "MemorizedReportFilename",
                                text(entry->memorizedReport, sizeof entry->memorizedReport).c_str(), file);
  return ok;
}

// ---- memorized reports -------------------------------------------------------

int32_t ReportRowDefault(int32_t index) {
  return index >= 0 && index < kReportTableCount ? kTables[index].def : 1;
}

int32_t ReportRowMaximum(int32_t index) {
  return index >= 0 && index < kReportTableCount ? kMaxRows : 1;
}

int32_t CheckedReportRows(int32_t index, int32_t value) {
  // Zero, negative and too large counts all mean "not set".
  return value < 1 || value > ReportRowMaximum(index) ? ReportRowDefault(index) : value;
}

const char* ReportTableKey(int32_t index) {
  return index >= 0 && index < kReportTableCount ? kTables[index].key : "";
}

bool ReadMemorizedReport(const char* path, MemorizedReport* report) {
  if (!report) return false;
  std::memset(report, 0, sizeof *report);
  if (!path || std::strlen(path) >= sizeof report->file) return false;
  CopyField(report->file, sizeof report->file, path);
  CopyField(report->saveAs, sizeof report->saveAs, ReadKey("SaveAsFilename", kPathSize, path));
  CopyField(report->username, sizeof report->username, ReadKey("Username", sizeof report->username, path));
  CopyField(report->password, sizeof report->password, ReadPassword(path, sizeof report->password));
  CopyField(report->description, sizeof report->description,
            ReadKey("MemorizedReportDescription", kDescriptionSize, path));
  for (int32_t i = 0; i < kReportTableCount; ++i)
    report->rows[i] = CheckedReportRows(i, kv::IniGetInt(kMain, kTables[i].key, ReportRowDefault(i), path));
  int32_t type = kv::IniGetInt(kMain, "URLType", 0, path);
  report->urlType = type < 0 || (type > 1 && type != kSaveMail) ? kSaveFile : type;
  CopyField(report->style, sizeof report->style, ReadKey("MemorizedReportStyle", 256, path));
  CopyField(report->language, sizeof report->language, ReadKey("MemorizedReportLanguage", 256, path));
  CopyField(report->title, sizeof report->title, ReadKey("MemorizedReportTitle", 256, path));
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

bool WriteMemorizedReport(const MemorizedReport* report) {
  if (!report || !report->file[0]) return false;
  const char* file = report->file;
  auto text = [](const char* field, size_t size) { return std::string(field, strnlen(field, size)); };
  bool ok = kv::IniWriteString(kMain, "SaveAsFilename", text(report->saveAs, sizeof report->saveAs).c_str(), file);
  ok = ok && kv::IniWriteString(kMain, "Username", text(report->username, sizeof report->username).c_str(), file);
  ok = ok && WritePassword(text(report->password, sizeof report->password).c_str(), file);
  ok = ok && kv::IniWriteString(kMain, "MemorizedReportDescription",
                                text(report->description, sizeof report->description).c_str(), file);
  for (int32_t i = 0; i < kReportTableCount && ok; ++i) ok = WriteInt(kTables[i].key, report->rows[i], file);
  ok = ok && WriteInt("URLType", report->urlType, file);
  ok = ok && kv::IniWriteString(kMain, "MemorizedReportStyle", text(report->style, sizeof report->style).c_str(), file);
  ok = ok && kv::IniWriteString(kMain, "MemorizedReportLanguage",
                                text(report->language, sizeof report->language).c_str(), file);
  ok = ok && kv::IniWriteString(kMain, "MemorizedReportTitle", text(report->title, sizeof report->title).c_str(), file);
  return ok;
}

void ApplyMemorizedReport(const MemorizedReport& report, ReportRunSettings* settings) {
  if (!settings) return;
  settings->saveAs = std::string(report.saveAs, strnlen(report.saveAs, sizeof report.saveAs));
  settings->username = std::string(report.username, strnlen(report.username, sizeof report.username));
  settings->password = std::string(report.password, strnlen(report.password, sizeof report.password));
  for (int32_t i = 0; i < kReportTableCount; ++i) settings->rows[i] = report.rows[i];
  settings->deliveryKind = report.urlType;
  settings->language = std::string(report.language, strnlen(report.language, sizeof report.language));
  settings->style = std::string(report.style, strnlen(report.style, sizeof report.style));
  settings->title = std::string(report.title, strnlen(report.title, sizeof report.title));
}

// ---- save-to addresses --------------------------------------------------------

int32_t SaveToKindOf(const std::string& text) {
  if ((text.size() > 1 && (text[1] == ':' || text[1] == '\\')) || StartsWith(text, "..")) return kSaveFile;
  if (StartsWith(text, "file:///")) return kSaveFile;
  if (StartsWith(text, "ftp://")) return kSaveFtp;
  if (StartsWith(text, "http://")) return kSaveHttp;
  if (StartsWith(text, "mailto:")) return kSaveMail;
  if (StartsWith(text, "odbc:")) return kSaveOdbc;
  return kSaveFile;
}

std::string LocalFromFileUrl(const std::string& text) {
  if (!StartsWith(text, "file:///")) return text;
  std::string path = text.substr(8);
  if (path.size() > 1 && path[1] == '|') path[1] = ':';
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

SaveToFields SplitSaveToAddress(const std::string& address, const std::string& reportFolder) {
  SaveToFields fields;
  std::string text = address.empty() ? reportFolder + "REPORT.HTM" : address;
  int32_t kind = SaveToKindOf(text);
  fields.path = text;
  if (kind == kSaveFtp) {
    fields.combo = 1;
    fields.path = text.substr(6);
  } else if (kind == kSaveMail) {
    fields.combo = 2;
    std::string rest = text.substr(7);
    size_t split = rest.find_first_of("/\\");
    fields.email = rest.substr(0, split).substr(0, 64);
    fields.path = split == std::string::npos ? "" : rest.substr(split + 1);
  } else if (kind == kSaveFile) {
    fields.path = LocalFromFileUrl(text);
  }
  if (fields.path.size() > static_cast<size_t>(kPathSize)) fields.path.resize(kPathSize);
  return fields;
}

int32_t SaveToKindOfCombo(int32_t combo) { return combo == 1 ? kSaveFtp : combo == 2 ? kSaveMail : kSaveFile; }

int32_t BuildSaveToAddress(int32_t kind, const std::string& path, const std::string& email,
                           const std::string& reportFolder, std::string* out) {
  if (path.empty()) return 6;
  std::string text = path;
  if (kind == kSaveMail) {
    if (email.empty()) return 7;
    bool slash = email.back() == '/' || email.back() == '\\' || text.front() == '/' || text.front() == '\\';
    text = (StartsWith(email, "mailto:") ? "" : "mailto:") + email + (slash ? "" : "/") + text;
  } else if (kind == kSaveFile && (text.front() == '.' || text.front() == '\\')) {
    if (StartsWith(text, ".\\")) text.erase(0, 2);
    while (!text.empty() && text.front() == '\\') text.erase(text.begin());
    text = reportFolder + text;
  }
  static const char* const kPrefixes[] = {"file:///", "ftp://", "http://", "mailto:", "odbc:"};
  bool prefixed = false;
  for (const char* prefix : kPrefixes) prefixed = prefixed || StartsWith(text, prefix);
  if (!prefixed) {
    if (kind == kSaveFtp) text = "ftp://" + text;
    else if (kind == kSaveMail) text = "mailto:" + text;
  }
  int32_t actual = SaveToKindOf(text);
  if (actual == kSaveFtp || actual == kSaveHttp) {
    std::string rest = text.substr(actual == kSaveFtp ? 6 : 7);
    if (rest.empty() || rest.front() == '/' || rest.find('/') == std::string::npos ||
        rest.find('\\') != std::string::npos)
      return 13;
  } else if (actual == kSaveMail && text.find('@') == std::string::npos) {
    return 13;
  }
  *out = text;
  return 0;
}

// ---- schedule date and time ----------------------------------------------------

int32_t ParseScheduleDateTime(const std::string& date, const std::string& time, char dateSep,
                              char timeSep, int32_t dateOrder, struct tm* out) {
  if (date.empty() || time.empty()) return 10;
  int32_t d[3];
  if (!ParseNumbers(date, dateSep, d)) return 11;
  int32_t year, month, day;
  if (dateOrder == 1) {
    day = d[0], month = d[1], year = d[2];
  } else if (dateOrder == 2) {
    year = d[0], month = d[1], day = d[2];
  } else {
    month = d[0], day = d[1], year = d[2];
  }
  if (year >= 1900) {
    year -= 1900;
    if (year < 70) return 11;
  }
  if (year < 70 || month < 1 || month > 12 || day == 0 || day > 31 || (month == 2 && day > 30)) return 11;
  int32_t t[3];
  if (!ParseNumbers(time, timeSep, t) || t[0] >= 24 || t[1] >= 60 || t[2] >= 60) return 12;
  std::memset(out, 0, sizeof *out);
  out->tm_year = year;
  out->tm_mon = month - 1;
  out->tm_mday = day;
  out->tm_hour = t[0];
  out->tm_min = t[1];
  out->tm_sec = t[2];
  out->tm_isdst = -1;
  return 0;
}

void FormatScheduleDateTime(int64_t startTime, char dateSep, char timeSep, int32_t dateOrder,
                            std::string* date, std::string* time) {
  time_t when = startTime ? static_cast<time_t>(startTime) : std::time(nullptr) + 300;
  struct tm local {};
  localtime_r(&when, &local);
  char buffer[64];
  int year = local.tm_year >= 100 ? local.tm_year + 1900 : local.tm_year;
  int a = local.tm_mon + 1, b = local.tm_mday, c = year;
  if (dateOrder == 1) a = local.tm_mday, b = local.tm_mon + 1;
  if (dateOrder == 2) a = year, b = local.tm_mon + 1, c = local.tm_mday;
  std::snprintf(buffer, sizeof buffer, "%02d%c%02d%c%02d", a, dateSep, b, dateSep, c);
  *date = buffer;
  std::snprintf(buffer, sizeof buffer, "%02d%c%02d%c%02d", local.tm_hour, timeSep, local.tm_min, timeSep,
                local.tm_sec);
  *time = buffer;
}

// ---- profiles -------------------------------------------------------------------

bool ReadProfileSummary(const char* lapPath, ProfileSummary* summary) {
  std::error_code ec;
  if (!lapPath || !summary || !fs::is_regular_file(lapPath, ec)) return false;
  summary->description = ReadKey("Description", kDescriptionSize, lapPath);
  summary->dataFolder = kv::IniString(kMain, "DataFolder", "", lapPath);
  if (kv::IniGetInt(kMain, "SearchMode", 0, lapPath) == 1) {
    summary->start = kv::IniString(kMain, "LocalFilePath", "", lapPath);
  } else {
    std::string server = kv::IniString(kMain, "ServerName", "", lapPath);
    std::string page = kv::IniString(kMain, "StartPage", "/", lapPath);
    if (!page.empty() && page.front() != '/') page.insert(page.begin(), '/');
    summary->start = server.empty() ? "" : (server.find("://") == std::string::npos ? "http://" : "") + server + page;
  }
  return true;
}

bool BuildProfileEntry(const char* lapPath, const ProfileSummary& summary, ProfileEntry* entry) {
  if (!entry || !lapPath || std::strlen(lapPath) >= sizeof entry->profileFile) return false;
  std::memset(entry, 0, sizeof *entry);
  entry->type = 2;
  entry->libraryId = 2;
  CopyField(entry->description, sizeof entry->description, summary.description);
  CopyField(entry->text, sizeof entry->text, summary.start);
  CopyField(entry->profileFile, sizeof entry->profileFile, lapPath);
  return true;
}

}  // namespace kvla

extern "C" KV_EXPORT kvla::ProfileListEntry* KVLA_GetProfileFileList(int32_t* count) {
  if (count) *count = 0;
  std::vector<kvla::ProfileListEntry> list = kvla::ProfileList();
  if (list.empty()) return nullptr;
  auto* out = static_cast<kvla::ProfileListEntry*>(KVUI_MyAlloc(list.size() * sizeof(kvla::ProfileListEntry)));
  if (!out) return nullptr;
  std::memcpy(out, list.data(), list.size() * sizeof(kvla::ProfileListEntry));
  if (count) *count = static_cast<int32_t>(list.size());
  return out;
}
