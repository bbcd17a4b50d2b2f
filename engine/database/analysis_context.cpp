// Set-up, cloning and release of the analysis context of a report run.
#include "engine/database/analysis_context.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <vornic/filter.h>
#include <vornic/profile.h>
#include <vornic/report.h>

#include "engine/core/engine_state.h"
#include "engine/core/file_types.h"
#include "engine/core/report_run.h"
#include "engine/core/search_keywords.h"
#include "engine/database/ad_views.h"
#include "engine/database/finishing.h"
#include "engine/database/item_tables.h"
#include "engine/database/org_lookup.h"
#include "engine/reports/report_paths.h"
#include "engine/reports/section_table.h"
#include "platform/base/files.h"
#include "platform/base/memory.h"

namespace vrn {

namespace {

// ---- small text helpers ------------------------------------------------------

void CopyBounded(char* dst, size_t size, const char* src) {
  size_t n = 0;
  if (src != nullptr) {
    while (n + 1 < size && src[n] != 0) {
      dst[n] = src[n];
      ++n;
    }
  }
  dst[n] = 0;
}

char* DupText(const char* text) {
  const size_t length = text != nullptr ? std::strlen(text) : 0;
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) return nullptr;
  if (length != 0) std::memcpy(copy, text, length);
  copy[length] = 0;
  return copy;
}

bool StartsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// Splits text at any character of `separators`, skipping empty words.
std::vector<std::string> SplitText(const std::string& text, const char* separators) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (std::strchr(separators, c) != nullptr) {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

// ---- the section table -----------------------------------------------------

constexpr uint16_t kTypeListRoom = FILE_TYPES_MAX;

void FreeWordList(char** list, uint16_t count) {
  if (list == nullptr) return;
  for (uint16_t i = 0; i < count; ++i) std::free(list[i]);
  std::free(list);
}

// ---- context lists -------------------------------------------------------------

void FreeIntranetEntry(IntranetEntry* entry) {
  if (entry == nullptr) return;
  for (char* text : entry->texts) std::free(text);
  std::free(entry->parts);
  std::free(entry);
}

// Appends a pointer to a counted array (grown by one slot).
template <typename T>
bool AppendPointer(T*** array, uint16_t* count, T* value) {
  if (*count == 0xFFFF) return false;
  auto** grown = static_cast<T**>(std::realloc(*array, (static_cast<size_t>(*count) + 1) * sizeof(T*)));
  if (grown == nullptr) return false;
  grown[*count] = value;
  *array = grown;
  ++*count;
  return true;
}

// Adds the words of `text` (split at blanks, empty words skipped,
// upper-cased) to a 50-byte word list; words that would not fit are dropped.
void FillWordList(const char* text, uint16_t* count, char* list, size_t room) {
  size_t used = 0;
  for (const std::string& word : SplitText(text != nullptr ? text : "", " ")) {
    if (used + word.size() + 1 > room) continue;
    for (size_t i = 0; i < word.size(); ++i) {
      const char c = word[i];
      list[used + i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    }
    list[used + word.size()] = 0;
    used += word.size() + 1;
    ++*count;
  }
}

// The home page folder: the path cut at its last "\", "/" or ":" behind a
// scheme prefix; a ":" stays, a "\" or "/" goes; no separator leaves the
// prefix alone.
void CutHomePageFolder(char* path) {
  size_t prefix = 0;
  if (StartsWith(path, "http://")) prefix = 7;
  else if (StartsWith(path, "ftp://")) prefix = 6;
  else if (StartsWith(path, "file:///")) prefix = 8;
  size_t i = std::strlen(path);
  while (i > prefix) {
    --i;
    const char c = path[i];
    if (c == ':') {
      path[i + 1] = 0;
      return;
    }
    if (c == '\\' || c == '/') {
      path[i] = 0;
      return;
    }
  }
  path[prefix] = 0;
}

const char* AfterLastSeparator(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != 0; ++p) {
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  }
  return name;
}

// Allocates and locks a new context for the run; false (fields cleared) on failure.
bool AllocRunContext(ReportHandle* run) {
  run->databaseHandle = 0;
  run->database = nullptr;
  const KvGlobal handle = AllocAnalysisDatabase();
  if (handle == 0) return false;
  auto* context = static_cast<AnalysisContext*>(kv::GlobalLock(handle));
  if (context == nullptr) {
    kv::GlobalFree(handle);
    return false;
  }
  context->orgFile = KV_INVALID_FILE;
  run->databaseHandle = handle;
  run->database = context;
  return true;
}

// Creates the 41 item tables and the session table (empty descriptors).
bool CreateContextTables(AnalysisContext* context) {
  TemplateRecord& t = context->templ;
  if (t.TopTablesPtr == nullptr) {
    t.TopTablesPtr = static_cast<SummaryTableEntry*>(AllocZeroed(kItemTableCount * sizeof(SummaryTableEntry)));
    if (t.TopTablesPtr == nullptr) return false;
    for (int i = 0; i < kItemTableCount; ++i) InitTableDescriptor(&t.TopTablesPtr[i]);
    t.TopTablesCount = kItemTableCount;
  }
  if (t.TopUsersPtr == nullptr) {
    t.TopUsersPtr = static_cast<SummaryTableEntry*>(AllocZeroed(sizeof(SummaryTableEntry)));
    if (t.TopUsersPtr == nullptr) return false;
    InitTableDescriptor(t.TopUsersPtr);
  }
  return true;
}

void SetDefaultLimits(AnalysisContext* context) {
  context->MaxTopCount = 500;
  context->MaxCachedCount = 4000;
  context->CachedTime = 1800;
  const char* keys[3] = {"MaxTopCount", "MaxCachedCount", "CachedTime"};
  uint32_t* values[3] = {&context->MaxTopCount, &context->MaxCachedCount, &context->CachedTime};
  for (int i = 0; i < 3; ++i) {
    std::string text = GetModuleProfileStr("Defaults", keys[i], "");
    if (text.size() > 50) text.resize(50);
    if (!text.empty()) *values[i] = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
  }
}

// Reads the organisation suffixes with their type labels.
bool LoadOrganisationSuffixes(AnalysisContext* context) {
  struct SuffixKey {
    const char* key;
    const char* def;
  };
  static const SuffixKey kKeys[8] = {{"gov_OrgType", "gov"}, {"mil_OrgType", "mil"}, {"net_OrgType", "net"},
                                     {"org_OrgType", "org"}, {"int_OrgType", "int"}, {"arpa_OrgType", "arpa"},
                                     {"edu_OrgType", "edu"}, {"com_OrgType", "com"}};
  FreeWordList(context->orgSuffixes, context->orgSuffixCount);
  std::free(context->orgSuffixLabels);
  context->orgSuffixes = nullptr;
  context->orgSuffixLabels = nullptr;
  context->orgSuffixCount = 0;
  for (int i = 0; i < 8; ++i) {
    std::string value = GetModuleProfileStr("Defaults", kKeys[i].key, kKeys[i].def);
    if (value.size() > 299) value.resize(299);
    const char* label = context->options != nullptr ? context->options->texts[kOptSuffixes + i] : nullptr;
    if (!AddOrganisationSuffixes(label != nullptr ? label : "", context, value.c_str())) return false;
  }
  return true;
}

bool CopyTypeList(FileType*** target, uint16_t* targetCount, FileType* const* source, uint16_t count) {
  *targetCount = 0;
  *target = static_cast<FileType**>(AllocZeroed((count > kTypeListRoom ? count : kTypeListRoom) * sizeof(FileType*)));
  if (*target == nullptr) return false;
  for (uint16_t i = 0; i < count; ++i) {
    auto* copy = static_cast<FileType*>(AllocZeroed(sizeof(FileType)));
    if (copy == nullptr) return false;
    if (source[i] != nullptr) *copy = *source[i];
    (*target)[(*targetCount)++] = copy;
  }
  return true;
}

bool CopyWordList(char*** target, uint16_t* targetCount, char* const* source, uint16_t count) {
  *targetCount = 0;
  *target = static_cast<char**>(AllocZeroed((count > kTypeListRoom ? count : kTypeListRoom) * sizeof(char*)));
  if (*target == nullptr) return false;
  for (uint16_t i = 0; i < count; ++i) {
    char* copy = DupText(source[i]);
    if (copy == nullptr) return false;
    (*target)[(*targetCount)++] = copy;
  }
  return true;
}

void ReleaseContextBlock(ReportHandle* run) {
  FreeReportContext(run);
}

}  // namespace

// ---- section table ---------------------------------------------------------------

SectionTableEntry g_sections[kItemTableCount];

SectionTableEntry* GetSectionTable() {
  for (int i = 0; i < kItemTableCount; ++i) {
    if (g_sections[i].name == nullptr) g_sections[i].name = ItemTableName(static_cast<uint32_t>(i));
  }
  return g_sections;
}

void ResetSectionTable(uint32_t used) {
  for (int i = 0; i < kItemTableCount; ++i) {
    g_sections[i].name = ItemTableName(static_cast<uint32_t>(i));
    g_sections[i].used = used;
    g_sections[i].empty = 1;
    g_sections[i].maxRow = 0;
    g_sections[i].counter = 0;
  }
}

void MarkTableUsed(int table) {
  if (table >= 0 && table < kItemTableCount) g_sections[table].used = 1;
}
void ClearTableEmpty(int table) {
  // Written once: the counting threads of a run read these entries for
  // every hit, and a write each time would take the line from the others.
  if (table >= 0 && table < kItemTableCount && g_sections[table].empty != 0) g_sections[table].empty = 0;
}

// ---- report options --------------------------------------------------------------

int CloneReportOptions(ReportHandle* target, ReportHandle* source) {
  AnalysisContext* to = RunContext(target);
  AnalysisContext* from = RunContext(source);
  if (to == nullptr || from == nullptr || from->options == nullptr) return 0;
  auto* options = static_cast<ReportOptions*>(AllocZeroed(sizeof(ReportOptions)));
  if (options == nullptr) return 0;
  to->options = options;
  const ReportOptions* src = from->options;
  for (int i = 0; i < kOptTextCount; ++i) {
    if (src->texts[i] != nullptr && (options->texts[i] = DupText(src->texts[i])) == nullptr) return 0;
  }
  options->dateOrder = src->dateOrder;
  options->workHourCount = src->workHourCount > 24 ? 24 : src->workHourCount;
  std::memcpy(options->workHours, src->workHours, sizeof options->workHours);
  options->afterHourCount = src->afterHourCount > 24 ? 24 : src->afterHourCount;
  std::memcpy(options->afterHours, src->afterHours, sizeof options->afterHours);
  if (src->intervalCount != 0 && src->intervals != nullptr) {
    options->intervals = static_cast<IntervalScale*>(AllocZeroed(src->intervalCount * sizeof(IntervalScale)));
    if (options->intervals == nullptr) return 0;
    options->intervalCount = src->intervalCount;
    for (uint16_t i = 0; i < src->intervalCount; ++i) {
      IntervalScale& s = options->intervals[i];
      s.secondsPerSlot = src->intervals[i].secondsPerSlot;
      s.slotCount = src->intervals[i].slotCount;
      if (src->intervals[i].slotLabelFormat != nullptr && (s.slotLabelFormat = DupText(src->intervals[i].slotLabelFormat)) == nullptr) return 0;
      if (src->intervals[i].intervalName != nullptr && (s.intervalName = DupText(src->intervals[i].intervalName)) == nullptr) return 0;
      if (src->intervals[i].periodDayFormat != nullptr && (s.periodDayFormat = DupText(src->intervals[i].periodDayFormat)) == nullptr) return 0;
    }
  }
  NamedCode** lists[2] = {&options->countries, &options->states};
  uint16_t* counts[2] = {&options->countryCount, &options->stateCount};
  const NamedCode* srcLists[2] = {src->countries, src->states};
  const uint16_t srcCounts[2] = {src->countryCount, src->stateCount};
  for (int l = 0; l < 2; ++l) {
    if (srcCounts[l] == 0 || srcLists[l] == nullptr) continue;
    *lists[l] = static_cast<NamedCode*>(AllocZeroed(srcCounts[l] * sizeof(NamedCode)));
    if (*lists[l] == nullptr) return 0;
    *counts[l] = srcCounts[l];
    for (uint16_t i = 0; i < srcCounts[l]; ++i) {
      std::memcpy((*lists[l])[i].code, srcLists[l][i].code, sizeof(NamedCode::code));
      (*lists[l])[i].code[sizeof(NamedCode::code) - 1] = 0;
      if (srcLists[l][i].name != nullptr && ((*lists[l])[i].name = DupText(srcLists[l][i].name)) == nullptr) return 0;
    }
  }
  return 1;
}

// ---- lists -----------------------------------------------------------------------

int AddOrganisationSuffixes(const char* label, AnalysisContext* context, const char* text) {
  if (context == nullptr || text == nullptr) return 0;
  for (const std::string& word : SplitText(text, " ;,")) {
    if (context->orgSuffixCount == 0xFFFF) return 0;
    const size_t n = static_cast<size_t>(context->orgSuffixCount) + 1;
    auto** suffixes = static_cast<char**>(std::realloc(context->orgSuffixes, n * sizeof(char*)));
    if (suffixes == nullptr) return 0;
    context->orgSuffixes = suffixes;
    auto** labels = static_cast<const char**>(std::realloc(context->orgSuffixLabels, n * sizeof(char*)));
    if (labels == nullptr) return 0;
    context->orgSuffixLabels = labels;
    char* copy = DupText(word.c_str());
    if (copy == nullptr) return 0;
    suffixes[n - 1] = copy;
    labels[n - 1] = label;
    context->orgSuffixCount = static_cast<uint16_t>(n);
  }
  return 1;
}

uint16_t ParseIntranetAddress(char* text) {
  if (text == nullptr || text[0] == 0) return 0;
  uint16_t parts = 1;
  for (char* p = text; *p != 0; ++p) {
    if (*p == '.') {
      *p = 0;
      if (parts < 0xFFFF) ++parts;
    }
  }
  return parts;
}

int CopyIntranetAddress(IntranetEntry* target, const char* parts, uint16_t partCount) {
  if (target == nullptr) return 0;
  target->partCount = 0;
  target->parts = nullptr;
  if (parts == nullptr || partCount == 0) return 1;
  size_t length = 0;
  for (uint16_t i = 0; i < partCount; ++i) length += std::strlen(parts + length) + 1;
  target->parts = static_cast<char*>(std::malloc(length));
  if (target->parts == nullptr) return 0;
  std::memcpy(target->parts, parts, length);
  target->partCount = partCount;
  return 1;
}

int LoadIntranetList(AnalysisContext* context, const char* path) {
  if (context == nullptr || path == nullptr) return 0;
  const KvFile file = kv::FileOpen(path, kv::kFileRead, kv::FileDisposition::kOpenExisting);
  if (file == KV_INVALID_FILE) return 0;
  std::string content;
  char chunk[4096];
  uint32_t done = 0;
  constexpr size_t kMaxList = 16u << 20;
  while (kv::FileRead(file, chunk, sizeof chunk, &done) && done != 0 && content.size() < kMaxList) {
    content.append(chunk, done);
  }
  kv::FileClose(file);

  constexpr size_t kLineRoom = 299;
  size_t position = 0;
  int result = 1;
  while (position < content.size()) {
    const size_t available = content.size() - position;
    if (available < 11) break;  // the last few bytes of a file are not a line
    const size_t window = available < kLineRoom ? available : kLineRoom;
    size_t end = 0;
    while (end < window && content[position + end] != '\r' && content[position + end] != '\n') ++end;
    std::string line = content.substr(position, end);
    size_t next = position + end;
    if (end == window) {
      // No line end within the room: the rest of the over-long line is
      // skipped rather than read as a line of its own.
      while (next < content.size() && content[next] != '\r' && content[next] != '\n') ++next;
    }
    if (next < content.size()) ++next;
    if (next < content.size() && (content[next] == '\r' || content[next] == '\n')) ++next;
    position = next;

    std::vector<std::string> fields;
    size_t start = 0;
    while (fields.size() < 6) {
      const size_t comma = line.find(',', start);
      fields.push_back(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    if (fields.size() < 6) continue;
    auto* entry = static_cast<IntranetEntry*>(AllocZeroed(sizeof(IntranetEntry)));
    bool ok = entry != nullptr;
    for (int i = 0; ok && i < 5; ++i) ok = (entry->texts[i] = DupText(fields[i].c_str())) != nullptr;
    if (ok) {
      std::vector<char> sixth(fields[5].begin(), fields[5].end());
      sixth.push_back(0);
      const uint16_t parts = ParseIntranetAddress(sixth.data());
      ok = CopyIntranetAddress(entry, sixth.data(), parts) != 0;
    }
    if (!ok || !AppendPointer(&context->intranet, &context->intranetCount, entry)) {
      FreeIntranetEntry(entry);
      result = 0;
      break;
    }
  }
  return result;
}

int OpenOrganizationFile(AnalysisContext* context, const char* folder) {
  if (context == nullptr || folder == nullptr) return 0;
  CloseOrganizationFile(context);
  const std::string base = folder;
  const char* names[2] = {"COMPANY.BIG", "COMPANY.SML"};
  for (int i = 0; i < 2; ++i) {
    const KvFile file = kv::FileOpen((base + names[i]).c_str(), kv::kFileRead, kv::FileDisposition::kOpenExisting);
    if (file == KV_INVALID_FILE) continue;
    const int64_t size = kv::FileSize(file);
    if (size < 0 || size > 0xFFFFFFFFLL) {
      kv::FileClose(file);
      continue;
    }
    context->orgFile = file;
    context->orgFileSize = static_cast<uint32_t>(size);
    context->orgFileKind = i == 0 ? 1 : 0;
    if (size <= kMaxOrgImageBytes) context->orgImage = LoadOrganizationImage(file, static_cast<uint32_t>(size));
    return 1;
  }
  context->orgFile = KV_INVALID_FILE;
  return 0;
}

void CloseOrganizationFile(AnalysisContext* context) {
  if (context == nullptr) return;
  if (context->orgFile != KV_INVALID_FILE && context->orgFile != 0) kv::FileClose(context->orgFile);
  context->orgFile = KV_INVALID_FILE;
  std::free(context->orgImage);
  context->orgImage = nullptr;
  FreeOrganizationMemo(context->orgMemo);
  context->orgMemo = nullptr;
}

int AddAdViewEntry(AnalysisContext* context, const char* name, const char* viewWords, const char* clickWords) {
  if (context == nullptr) return 0;
  auto* entry = static_cast<AdViewEntry*>(AllocZeroed(sizeof(AdViewEntry)));
  if (entry == nullptr) return 0;
  CopyBounded(entry->name, sizeof entry->name, name);
  FillWordList(viewWords, &entry->firstCount, entry->firstWords, sizeof entry->firstWords);
  FillWordList(clickWords, &entry->secondCount, entry->secondWords, sizeof entry->secondWords);
  if (!AppendPointer(&context->adViews, &context->adViewCount, entry)) {
    std::free(entry);
    return 0;
  }
  return 1;
}

void FreeContextOwnedLists(AnalysisContext* context, int deleteTemplate) {
  if (context == nullptr) return;
  FreeFileTypesArray(context->documentTypes, context->documentTypeCount);
  context->documentTypes = nullptr;
  context->documentTypeCount = 0;
  FreeFileTypesArray(context->downloadTypes, context->downloadTypeCount);
  context->downloadTypes = nullptr;
  context->downloadTypeCount = 0;
  FreeWordList(context->titleTypes, context->titleTypeCount);
  context->titleTypes = nullptr;
  context->titleTypeCount = 0;
  FreeWordList(context->usDomains, context->usDomainCount);
  context->usDomains = nullptr;
  context->usDomainCount = 0;
  FreeWordList(context->orgSuffixes, context->orgSuffixCount);
  context->orgSuffixes = nullptr;
  std::free(context->orgSuffixLabels);
  context->orgSuffixLabels = nullptr;
  context->orgSuffixCount = 0;
  CloseOrganizationFile(context);
  if (context->intranet != nullptr) {
    for (uint16_t i = 0; i < context->intranetCount; ++i) FreeIntranetEntry(context->intranet[i]);
    std::free(context->intranet);
  }
  context->intranet = nullptr;
  context->intranetCount = 0;
  if (context->adViews != nullptr) {
    for (uint16_t i = 0; i < context->adViewCount; ++i) std::free(context->adViews[i]);
    std::free(context->adViews);
  }
  context->adViews = nullptr;
  context->adViewCount = 0;
  if (deleteTemplate != 0 && context->workingTemplatePath[0] != 0) {
    kv::FileDelete(context->workingTemplatePath);
    context->workingTemplatePath[0] = 0;
  }
}

AnalysisContext* RunContext(ReportHandle* run) {
  return run != nullptr ? static_cast<AnalysisContext*>(run->database) : nullptr;
}

// ---- set-up ----------------------------------------------------------------------

int SetUpAnalysisContext(ReportHandle* run, int withTables) {
  if (run == nullptr) return 0;
  if (!AllocRunContext(run)) return 0;
  AnalysisContext* context = RunContext(run);
  context->creationTime = static_cast<uint32_t>(std::time(nullptr));
  context->logKind = 1;

  // Report options.
  if (!LoadReportSettings(run, &context->options)) {
    ReleaseContextBlock(run);
    return 0;
  }

  // Classification lists of the module INI.
  const std::string moduleIni = ModuleIniPath();
  context->documentTypes =
      GetFileTypesFromIniFile(&context->documentTypeCount, "DocumentTypes", "htm txt mdl shtml htmls html");
  context->downloadTypes =
      GetFileTypesFromIniFile(&context->downloadTypeCount, "DownloadTypes", "exe com zip pdf arc bin sit tar gz z arj");
  context->usDomains = ReadDefaultFileTypes(moduleIni.c_str(), 0, &context->usDomainCount, "USDomains",
                                            "com edu net org gov mil int arpa");
  context->titleTypes =
      ReadDefaultFileTypes(moduleIni.c_str(), 0, &context->titleTypeCount, "FetchTitleTypes", "htm html asp cfm shtml");
  if (context->documentTypes == nullptr || context->downloadTypes == nullptr || context->usDomains == nullptr ||
      context->titleTypes == nullptr || !LoadOrganisationSuffixes(context)) {
    ReleaseContextBlock(run);
    return 0;
  }
  CopyBounded(context->Country, sizeof context->Country, GetBaseProfileStr("Language", "Country", "US").c_str());

  // Time grid.
  ChooseGraphInterval(run);
  context->reportStart = run->startTime;
  context->reportEnd = run->endTime;
  context->slotOrigin = context->secondsPerSlot == 86400 ? context->reportStart - context->reportStart % 86400
                                                          : context->reportStart;
  context->templ.FewestHits = 0xFFFFFFFFu;
  context->templ.FewestUsers = 0xFFFFFFFFu;

  // The profile's description and home page.
  auto* profile = static_cast<DravelEntry*>(std::calloc(1, sizeof(DravelEntry)));
  if (profile != nullptr) {
    const std::string path = std::string(run->profileDir) + run->profileFile;
    if (ReadDravelFile(path.c_str(), profile) == DRAVEL_READ_OK) {
      CopyBounded(context->description, sizeof context->description, profile->Description);
      CopyBounded(context->homePage, sizeof context->homePage, profile->HomePageName);
      CopyBounded(context->homePageFolder, sizeof context->homePageFolder, profile->HomePageName);
      CopyBounded(context->HomePageUsername, sizeof context->HomePageUsername, profile->HomePageUsername);
      CopyBounded(context->HomePagePassword, sizeof context->HomePagePassword, profile->HomePagePassword);
      CutHomePageFolder(context->homePageFolder);
      const std::string expanded =
          NormalizeLogPath(context->homePage, std::string(run->profileDir), std::time(nullptr));
      CopyBounded(context->homePage, sizeof context->homePage, expanded.c_str());
      CopyBounded(context->homePageFileName, sizeof context->homePageFileName,
                  AfterLastSeparator(profile->HomePageName));
    }
    VRN_FreeSet(profile);
  }
  context->emptyText1[0] = 0;
  context->emptyText2[0] = 0;

  FormatReportDate(context);
  FormatRangeText(run);
  CopyBounded(context->outputPath, sizeof context->outputPath, run->viewFolder);
  // The working template decides which tables are filled; without one (no
  // section list from the client) every table is.
  if (BuildTemplatePaths(run, context) == 1) ScanTemplateSections(context->workingTemplatePath);
  else ResetSectionTable(1);

  SetDefaultLimits(context);
  OpenOrganizationFile(context, EngineFolder().c_str());
  LoadAdViewList(context);
  LoadIntranetList(context, (EngineFolder() + "KVINTRA.TXT").c_str());

  if (withTables != 0 && !CreateContextTables(context)) return 0;
  return 1;
}

int CloneAnalysisContext(ReportHandle* target, ReportHandle* source, int withTables) {
  if (target == nullptr || source == nullptr) return 0;
  AnalysisContext* from = RunContext(source);
  if (from == nullptr || !AllocRunContext(target)) {
    FreeReportContext(target);
    FreeReportContext(source);
    return 0;
  }
  AnalysisContext* to = RunContext(target);
  to->creationTime = static_cast<uint32_t>(std::time(nullptr));
  to->logKind = 1;
  if (!CloneReportOptions(target, source)) {
    ReleaseContextBlock(target);
    return 0;
  }
  if (!CopyTypeList(&to->documentTypes, &to->documentTypeCount, from->documentTypes, from->documentTypeCount) ||
      !CopyTypeList(&to->downloadTypes, &to->downloadTypeCount, from->downloadTypes, from->downloadTypeCount) ||
      !CopyWordList(&to->titleTypes, &to->titleTypeCount, from->titleTypes, from->titleTypeCount) ||
      !CopyWordList(&to->usDomains, &to->usDomainCount, from->usDomains, from->usDomainCount) ||
      !CopyWordList(&to->orgSuffixes, &to->orgSuffixCount, from->orgSuffixes, from->orgSuffixCount)) {
    ReleaseContextBlock(target);
    return 0;
  }
  // The clone's organisation types point into its own report options.
  to->orgSuffixLabels = static_cast<const char**>(AllocZeroed((to->orgSuffixCount + 1u) * sizeof(char*)));
  if (to->orgSuffixLabels == nullptr) {
    ReleaseContextBlock(target);
    return 0;
  }
  for (uint16_t i = 0; i < to->orgSuffixCount && from->orgSuffixLabels != nullptr; ++i) {
    const char* label = from->orgSuffixLabels[i];
    to->orgSuffixLabels[i] = label;
    for (int k = 0; k < kOptTextCount && label != nullptr; ++k) {
      if (from->options->texts[k] == label) to->orgSuffixLabels[i] = to->options->texts[k];
    }
  }
  std::memcpy(to->Country, from->Country, sizeof to->Country);
  to->slotCount = from->slotCount;
  to->intervalScaleIndex = from->intervalScaleIndex;
  to->secondsPerSlot = from->secondsPerSlot;
  to->reportStart = from->reportStart;
  to->slotOrigin = from->slotOrigin;
  to->reportEnd = from->reportEnd;
  to->templ.FewestHits = 0xFFFFFFFFu;
  to->templ.FewestUsers = 0xFFFFFFFFu;
  std::memcpy(to->description, from->description, sizeof to->description);
  std::memcpy(to->homePage, from->homePage, sizeof to->homePage);
  std::memcpy(to->homePageFolder, from->homePageFolder, sizeof to->homePageFolder);
  std::memcpy(to->HomePageUsername, from->HomePageUsername, sizeof to->HomePageUsername);
  std::memcpy(to->HomePagePassword, from->HomePagePassword, sizeof to->HomePagePassword);
  std::memcpy(to->homePageFileName, from->homePageFileName, sizeof to->homePageFileName);
  CopyBounded(to->outputPath, sizeof to->outputPath, target->viewFolder);
  std::memcpy(to->imagesReference, from->imagesReference, sizeof to->imagesReference);
  std::memcpy(to->workingTemplatePath, from->workingTemplatePath, sizeof to->workingTemplatePath);
  to->MaxTopCount = from->MaxTopCount;
  to->MaxCachedCount = from->MaxCachedCount;
  to->CachedTime = from->CachedTime;
  OpenOrganizationFile(to, EngineFolder().c_str());
  for (uint16_t i = 0; i < from->adViewCount; ++i) {
    auto* entry = static_cast<AdViewEntry*>(AllocZeroed(sizeof(AdViewEntry)));
    if (entry == nullptr || !AppendPointer(&to->adViews, &to->adViewCount, entry)) {
      std::free(entry);
      ReleaseContextBlock(target);
      return 0;
    }
    *entry = *from->adViews[i];
  }
  for (uint16_t i = 0; i < from->intranetCount; ++i) {
    const IntranetEntry* src = from->intranet[i];
    auto* entry = static_cast<IntranetEntry*>(AllocZeroed(sizeof(IntranetEntry)));
    bool ok = entry != nullptr;
    for (int k = 0; ok && k < 5; ++k) ok = (entry->texts[k] = DupText(src->texts[k])) != nullptr;
    ok = ok && CopyIntranetAddress(entry, src->parts, src->partCount) != 0;
    if (!ok || !AppendPointer(&to->intranet, &to->intranetCount, entry)) {
      FreeIntranetEntry(entry);
      ReleaseContextBlock(target);
      return 0;
    }
  }
  if (withTables != 0 && !CreateContextTables(to)) return 0;
  return 1;
}

void FreeReportContext(ReportHandle* run, int deleteTemplate) {
  if (run == nullptr) return;
  AnalysisContext* context = RunContext(run);
  const KvGlobal handle = run->databaseHandle;
  if (context == nullptr && handle != 0) context = static_cast<AnalysisContext*>(kv::GlobalLock(handle));
  if (context != nullptr) {
    EndHitTables(context);
    // The path is forgotten, so that freeing the tables leaves the file.
    if (deleteTemplate == 0) context->workingTemplatePath[0] = 0;
    FreeSearchEngines(&context->searchEngines);
    FreeReportOptions(context->options);
    context->options = nullptr;
  }
  if (handle != 0) FreeAnalysisDatabase(handle);
  run->databaseHandle = 0;
  run->database = nullptr;
}

}  // namespace vrn
