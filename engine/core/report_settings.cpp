// The report vocabulary read from REPORT.INI.
#include "engine/core/report_settings.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/core/engine_state.h"
#include "engine/core/file_types.h"
#include "engine/core/report_run.h"
#include "platform/base/files.h"
#include "platform/base/ini.h"
#include "platform/base/paths.h"

namespace vrn {

const OptionTextKey kReturnCodeKeys[21] = {
    {"200", "200 OK"},
    {"201", "201 Created"},
    {"202", "202 Accepted"},
    {"203", "203 Partial Info"},
    {"204", "204 No Response"},
    {"205", "205 Cached"},
    {"300", "300 Redirection"},
    {"301", "301 Moved"},
    {"302", "302 Found"},
    {"303", "303 Method"},
    {"304", "304 Cached"},
    {"400", "400 Bad Request"},
    {"401", "401 Unauthorized Access"},
    {"402", "402 Payment Required"},
    {"403", "403 Forbidden Access"},
    {"404", "404 Page or File Not Found"},
    {"500", "500 Internal Error"},
    {"501", "501 Not Implemented"},
    {"502", "502 Temporarily Overloaded"},
    {"503", "503 Gateway Timeout"},
    {"UK", "%03d Incomplete / Undefined"},
};

const OptionTextKey kGenericKeys[5] = {
    {"NoReferrer", "No Referrer"},
    {"UnknownBrowser", "Unknown Browser"},
    {"Others", "Others"},
    {"FailedForms", "Failed Forms Submitted"},
    {"SuccessfulForms", "Successful Forms Submitted"},
};

const OptionTextKey kIpTypeKeys[4] = {
    {"NumericIP", "Numeric IP"},
    {"None", "None"},
    {"Unknown", "Unknown"},
    {"CountryCode", "Country Code"},
};

const OptionTextKey kSuffixKeys[9] = {
    {"gov", "Government (.gov)"}, {"mil", "Military (.mil)"},   {"net", "Network (.net)"},
    {"org", "Organization (.org)"}, {"int", "Company (.int)"},  {"arpa", "Arpanet (.arpa)"},
    {"edu", "Education (.edu)"},  {"com", "Company (.com)"},    {"us", "United States (.us)"},
};

const OptionTextKey kLegendKeys[9] = {
    {"Total", "Total"},
    {"Unknown", "Unknown"},
    {"International", "International"},
    {"Domestic", "Domestic"},
    {"UserSessions", "User Sessions"},
    {"Percent", "Percent of Total Hits"},
    {"Hits", "Total Hits"},
    {"Bytes", "Total K Bytes"},
    {"TopItems", "Top Items"},
};

const OptionTextKey kIntlKeys[4] = {
    {"sDate", "/"},
    {"sTime", ":"},
    {"ReportGeneratedOnTimeFmt", "%A %B %d, %Y - %T"},
    {"ReportActivityTimeFmt", "%B %d, %Y"},
};

namespace {

constexpr size_t kOptionTextSize = 250;   // keyed texts
constexpr size_t kListTextSize = 300;     // name lists, hour lists, scales, items

RplVariableSource g_rpl{nullptr, nullptr};

char* CopyText(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// The value of key as a buffer of size characters would hold it, expanded.
std::string ReadExpanded(const char* iniPath, const char* section, const char* key, const char* def,
                         size_t size) {
  std::string value = kv::IniString(section, key, def, iniPath);
  if (value.size() > size - 1) value.resize(size - 1);
  ExpandRplReferences(&value, size);
  return value;
}

// The same for a key of a section read once.
std::string ReadExpanded(const IniSectionMap& section, const std::string& key, const char* def, size_t size) {
  std::string value = section.Get(key, def);
  if (value.size() > size - 1) value.resize(size - 1);
  ExpandRplReferences(&value, size);
  return value;
}

uint32_t DecimalValue(const std::string& text) {
  return static_cast<uint32_t>(ParseLongText(text.c_str()));
}

// Fills count name slots from the words of a list; slots the list leaves
// unnamed get the empty text, so that every slot holds a text.
bool ReadNameGroup(ReportOptions* options, uint32_t first, uint32_t count, const IniSectionMap& section,
                   const char* key, const char* def) {
  const std::vector<std::string> words = SplitWords(ReadExpanded(section, key, def, kListTextSize), " ,");
  for (uint32_t i = 0; i < count; ++i) {
    char* text = CopyText(i < words.size() ? words[i] : std::string());
    if (text == nullptr) return false;
    options->texts[first + i] = text;
  }
  return true;
}

// A group of keyed texts of one section, the section read once.
bool ReadTextGroup(ReportOptions* options, uint32_t first, const OptionTextKey* keys, uint32_t count,
                   const IniSectionMap& section) {
  for (uint32_t i = 0; i < count; ++i) {
    char* copy = CopyText(ReadExpanded(section, keys[i].key, keys[i].defaultText, kOptionTextSize));
    if (copy == nullptr) return false;
    options->texts[first + i] = copy;
  }
  return true;
}

void ReadHours(uint16_t* count, uint16_t* hours, const IniSectionMap& intl, const char* key, const char* def) {
  *count = 0;
  for (const std::string& word : SplitWords(ReadExpanded(intl, key, def, kListTextSize), " ;,")) {
    if (*count == kMaxReportHours) break;
    hours[(*count)++] = static_cast<uint16_t>(DecimalValue(word));
  }
}

uint16_t ReadCount(const IniSectionMap& section) {
  const long value = ParseLongText(section.Get("Count", "0").c_str());
  if (value <= 0) return 0;
  return value > 65535 ? 65535 : static_cast<uint16_t>(value);
}

std::string TrimScaleValue(const std::string& text) {
  const char* strip = " \t\"";
  const size_t first = text.find_first_not_of(strip);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(strip) - first + 1);
}

bool ReadIntervalScales(ReportOptions* options, const char* iniPath) {
  const IniSectionMap section("Interval", iniPath);
  const uint16_t count = ReadCount(section);
  if (count == 0) return true;
  options->intervals = static_cast<IntervalScale*>(std::calloc(count, sizeof(IntervalScale)));
  if (options->intervals == nullptr) return false;
  options->intervalCount = count;
  for (uint32_t n = 1; n <= count; ++n) {
    IntervalScale& scale = options->intervals[n - 1];
    const std::string key = "Scale" + std::to_string(n);
    const std::string value = ReadExpanded(section, key, "", kListTextSize);
    std::vector<std::string> parts;
    size_t at = 0;
    while (parts.size() < 5) {
      const size_t comma = value.find(',', at);
      parts.push_back(TrimScaleValue(value.substr(at, comma == std::string::npos ? std::string::npos : comma - at)));
      if (comma == std::string::npos) break;
      at = comma + 1;
    }
    parts.resize(5);
    const uint32_t slots = DecimalValue(parts[1]);
    // An item holds kMaxScaleSlots time slots; a scale never claims more.
    scale.slotCount = static_cast<uint16_t>(slots > kMaxScaleSlots ? kMaxScaleSlots : slots);
    scale.secondsPerSlot = DecimalValue(parts[2]);
    scale.intervalName = CopyText(parts[0]);
    scale.slotLabelFormat = CopyText(parts[3]);
    scale.periodDayFormat = CopyText(parts[4]);
    if (scale.intervalName == nullptr || scale.slotLabelFormat == nullptr || scale.periodDayFormat == nullptr)
      return false;
  }
  return true;
}

bool ReadNamedCodes(uint16_t* countOut, NamedCode** listOut, const char* iniPath, const char* sectionName) {
  const IniSectionMap section(sectionName, iniPath);
  const uint16_t count = ReadCount(section);
  if (count == 0) return true;
  *listOut = static_cast<NamedCode*>(std::calloc(count, sizeof(NamedCode)));
  if (*listOut == nullptr) return false;
  *countOut = count;
  for (uint32_t n = 1; n <= count; ++n) {
    NamedCode& entry = (*listOut)[n - 1];
    const std::string key = "Item" + std::to_string(n);
    std::string value = ReadExpanded(section, key, "", kListTextSize);
    const size_t comma = value.rfind(',');
    if (comma != std::string::npos) {
      const std::string code = value.substr(comma + 1, kNamedCodeSize - 1);
      std::memcpy(entry.code, code.c_str(), code.size() + 1);
      value.resize(comma);
    }
    entry.name = CopyText(value);
    if (entry.name == nullptr) return false;
  }
  return true;
}

void FreeNamedCodes(NamedCode* list, uint16_t count) {
  if (list == nullptr) return;
  for (uint16_t i = 0; i < count; ++i) std::free(list[i].name);
  std::free(list);
}

}  // namespace

void SetRplVariableSource(const RplVariableSource& source) { g_rpl = source; }

int ExpandRplReferences(std::string* text, size_t capacity) {
  if (text == nullptr) return 1;
  const size_t limit = capacity == 0 ? 0 : capacity - 1;
  const std::string source = text->size() > limit ? text->substr(0, limit) : *text;
  std::string out;
  size_t at = 0;
  while (at < source.size()) {
    const char c = source[at];
    if (c == '<') {
      const size_t close = source.find('>', at + 1);
      if (close == std::string::npos) break;  // an unclosed "<" drops the rest
      std::string value;
      if (g_rpl.lookup != nullptr) {
        const std::string name = source.substr(at + 1, close - at - 1);
        if (!g_rpl.lookup(name.c_str(), &value)) value.clear();
      }
      out += value;
      at = close + 1;
    } else {
      if (c != '>') out += c;
      ++at;
    }
  }
  if (out.size() > limit) out.resize(limit);
  *text = std::move(out);
  return 1;
}

int ReadOptionText(char** out, const OptionTextKey& entry, const char* iniPath, const char* section) {
  char* copy = CopyText(ReadExpanded(iniPath, section, entry.key, entry.defaultText, kOptionTextSize));
  if (copy == nullptr) return 0;
  *out = copy;
  return 1;
}

int ReadReturnCodeText(char** out, const OptionTextKey& entry, const char* iniPath) {
  return ReadOptionText(out, entry, iniPath, "ReturnCodes");
}
int ReadGenericText(char** out, const OptionTextKey& entry, const char* iniPath) {
  return ReadOptionText(out, entry, iniPath, "Generic");
}
int ReadIpTypeText(char** out, const OptionTextKey& entry, const char* iniPath) {
  return ReadOptionText(out, entry, iniPath, "IP Types");
}
int ReadSuffixText(char** out, const OptionTextKey& entry, const char* iniPath) {
  return ReadOptionText(out, entry, iniPath, "Suffixes");
}
int ReadLegendText(char** out, const OptionTextKey& entry, const char* iniPath) {
  return ReadOptionText(out, entry, iniPath, "Legends");
}
int ReadIntlText(char** out, const OptionTextKey& entry, const char* iniPath) {
  return ReadOptionText(out, entry, iniPath, "intl");
}

int LoadReportSettingsFrom(const char* appFolder, const char* language, ReportOptions** out) {
  if (out == nullptr) return 0;
  auto* options = static_cast<ReportOptions*>(std::calloc(1, sizeof(ReportOptions)));
  *out = options;
  if (options == nullptr) return 0;

  const std::string folder = appFolder != nullptr ? appFolder : "";
  const std::string lang = language != nullptr && *language != '\0' ? language : "ENGLISH";
  const std::string ini = folder + "REPORT.INI";
  const char* iniPath = ini.c_str();
  if (g_rpl.load != nullptr) {
    // A missing variable file leaves every reference empty; the load says so.
    g_rpl.load((folder + "Template\\" + lang + ".RPL").c_str());
  }

  // Each section of the file is read once.
  const IniSectionMap weekdays("Weekdays", iniPath);
  const IniSectionMap months("Months", iniPath);
  if (!ReadNameGroup(options, kShortWeekdays, 7, weekdays, "Short", "Sun, Mon, Tue, Wed, Thu, Fri, Sat") ||
      !ReadNameGroup(options, kLongWeekdays, 7, weekdays, "Long",
                     "Sunday, Monday, Tuesday, Wednesday, Thursday, Friday, Saturday") ||
      !ReadNameGroup(options, kShortMonths, 12, months, "Short",
                     "Jan, Feb, Mar, Apr, May, Jun, Jul, Aug, Sep, Oct, Nov, Dec") ||
      !ReadNameGroup(options, kLongMonths, 12, months, "Long",
                     "January, February, March, April, May, June, July, August, September, October, "
                     "November, December"))
    return 0;

  const IniSectionMap intl("intl", iniPath);
  if (!ReadTextGroup(options, kReturnCodeTexts, kReturnCodeKeys, 21, IniSectionMap("ReturnCodes", iniPath)) ||
      !ReadTextGroup(options, kGenericTexts, kGenericKeys, 5, IniSectionMap("Generic", iniPath)) ||
      !ReadTextGroup(options, kIpTypeTexts, kIpTypeKeys, 4, IniSectionMap("IP Types", iniPath)) ||
      !ReadTextGroup(options, kSuffixTexts, kSuffixKeys, 9, IniSectionMap("Suffixes", iniPath)) ||
      !ReadTextGroup(options, kLegendTexts, kLegendKeys, 9, IniSectionMap("Legends", iniPath)) ||
      !ReadTextGroup(options, kIntlTexts, kIntlKeys, 4, intl))
    return 0;

  options->dateOrder = static_cast<uint16_t>(DecimalValue(ReadExpanded(intl, "iDate", "0", kListTextSize)));
  ReadHours(&options->afterHourCount, options->afterHours, intl, "AfterHours", "1,2,3,4,5,6,7,17,18,19,20,21,22,23,0");
  ReadHours(&options->workHourCount, options->workHours, intl, "WorkHours", "8,9,10,11,12,13,14,15,16");

  if (!ReadIntervalScales(options, iniPath)) return 0;
  if (!ReadNamedCodes(&options->countryCount, &options->countries, iniPath, "Countries")) return 0;
  if (!ReadNamedCodes(&options->stateCount, &options->states, iniPath, "US States")) return 0;
  return 1;
}

namespace {

// A templates folder without report settings of its own takes the program's.
std::string SettingsFolder(const ReportHandle* run) {
  std::string folder = run->parentDir;
  if (!kv::PathExists((folder + "REPORT.INI").c_str())) folder = MainPath();
  return folder;
}

void AddFileStamp(std::string* stamp, const std::string& path) {
  struct stat st {};
  if (::stat(kv::ResolvePath(path).c_str(), &st) != 0) {
    *stamp += "|-";
    return;
  }
  *stamp += "|" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) +
            ":" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

// What a load reads: the folder, the language, and the state of both files.
std::string SettingsStamp(const ReportHandle* run) {
  const std::string folder = SettingsFolder(run);
  const std::string lang = run->language[0] != '\0' ? run->language : "ENGLISH";
  std::string stamp = folder + "|" + lang;
  AddFileStamp(&stamp, folder + "REPORT.INI");
  AddFileStamp(&stamp, folder + "Template\\" + lang + ".RPL");
  return stamp;
}

// The stamp of the last load that succeeded (empty: none, or one failed).
std::string g_lastLoad;

}  // namespace

int LoadReportSettings(ReportHandle* run, ReportOptions** out) {
  if (run == nullptr) {
    if (out != nullptr) *out = nullptr;
    return 0;
  }
  const std::string stamp = SettingsStamp(run);
  const int loaded = LoadReportSettingsFrom(SettingsFolder(run).c_str(), run->language, out);
  g_lastLoad = loaded != 0 ? stamp : std::string();
  return loaded;
}

bool ReportSettingsUnchanged(const ReportHandle* run) {
  return run != nullptr && !g_lastLoad.empty() && g_lastLoad == SettingsStamp(run);
}

void FreeReportOptions(ReportOptions* options) {
  if (options == nullptr) return;
  for (char* text : options->texts) std::free(text);
  if (options->intervals != nullptr) {
    for (uint16_t i = 0; i < options->intervalCount; ++i) {
      std::free(options->intervals[i].slotLabelFormat);
      std::free(options->intervals[i].intervalName);
      std::free(options->intervals[i].periodDayFormat);
    }
    std::free(options->intervals);
  }
  FreeNamedCodes(options->countries, options->countryCount);
  FreeNamedCodes(options->states, options->stateCount);
  std::free(options);
}

const IntervalScale* IntervalScaleAt(const ReportOptions* options, uint32_t index) {
  if (options == nullptr || options->intervals == nullptr || index >= options->intervalCount) return nullptr;
  return &options->intervals[index];
}

}  // namespace vrn
