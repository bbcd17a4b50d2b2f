// The report vocabulary (ReportOptions): weekday and month names, keyed
// texts, date settings, hour lists, interval scales and the country and US
// state lists, read from REPORT.INI of the report's application folder with
// references into the report language's variable file.
#ifndef VORNIC_CORE_REPORT_SETTINGS_H
#define VORNIC_CORE_REPORT_SETTINGS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vrn {

struct ReportHandle;

// Positions of the text groups within ReportOptions::texts.
enum ReportTextGroup : uint32_t {
  kShortWeekdays = 0,   // 7, Sunday first
  kLongWeekdays = 7,    // 7
  kShortMonths = 14,    // 12, January first
  kLongMonths = 26,     // 12
  kReturnCodeTexts = 38,  // 21
  kGenericTexts = 59,   // 5
  kIpTypeTexts = 64,    // 4
  kSuffixTexts = 68,    // 9
  kLegendTexts = 77,    // 9
  kIntlTexts = 86,      // 4
  kReportTextCount = 90,
};

constexpr uint32_t kMaxReportHours = 24;
constexpr size_t kNamedCodeSize = 10;     // code characters including the zero
// Time slots an item holds: no interval scale has more.
constexpr uint16_t kMaxScaleSlots = 32;

struct IntervalScale {
  uint32_t secondsPerSlot;
  uint16_t slotCount;          // at most kMaxScaleSlots
  char* slotLabelFormat;
  char* intervalName;
  char* periodDayFormat;
};

struct NamedCode {
  char* name;
  char code[kNamedCodeSize];
};

// Every text is a separate malloc'd copy owned by the record; after a
// complete load no text pointer is null.
struct ReportOptions {
  char* texts[kReportTextCount];
  uint16_t dateOrder;
  uint16_t workHourCount;
  uint16_t workHours[kMaxReportHours];
  uint16_t afterHourCount;
  uint16_t afterHours[kMaxReportHours];
  uint16_t intervalCount;
  IntervalScale* intervals;
  uint16_t countryCount;
  NamedCode* countries;
  uint16_t stateCount;
  NamedCode* states;
};

// One keyed text: its INI key and the text used when the key is missing.
struct OptionTextKey {
  char key[40];
  char defaultText[80];
};

// The keyed text tables in field order (21, 5, 4, 9, 9 and 4 entries).
extern const OptionTextKey kReturnCodeKeys[21];
extern const OptionTextKey kGenericKeys[5];
extern const OptionTextKey kIpTypeKeys[4];
extern const OptionTextKey kSuffixKeys[9];
extern const OptionTextKey kLegendKeys[9];
extern const OptionTextKey kIntlKeys[4];

// ---- the report language's variables ---------------------------------------
// The variable-file reader the vocabulary expands its references with: load
// makes path the current file (1 loaded, 0 failed); lookup gives the value of
// a variable of the current file (false when unknown). Until a source is set
// nothing is loaded and every reference expands to the empty text.
struct RplVariableSource {
  int (*load)(const char* path);
  bool (*lookup)(const char* name, std::string* value);
};
void SetRplVariableSource(const RplVariableSource& source);

// Rebuilds text with each "<name>" replaced by the variable's value (an
// unknown name gives the empty text); a ">" without an open "<" is dropped
// and an unclosed "<" drops the rest. The result is cut to capacity - 1
// characters. Returns 1.
int ExpandRplReferences(std::string* text, size_t capacity = 300);

// ---- loading -----------------------------------------------------------------
// Allocates the record, stores it through *out at once and fills it from
// appFolder + "REPORT.INI" with the variable file appFolder +
// "Template\<language>.RPL" (language null or empty: "ENGLISH"). Returns 1,
// or 0 when memory is short; the half-filled record is then the caller's to
// free with FreeReportOptions.
int LoadReportSettingsFrom(const char* appFolder, const char* language, ReportOptions** out);
// The same for a report run: its template base folder (the parent of the
// profile folder) and its language.
int LoadReportSettings(ReportHandle* run, ReportOptions** out);
// True when the last load that succeeded was of the run's settings and
// neither REPORT.INI nor the language's variable file changed since: the
// vocabulary loaded then is still the current one.
bool ReportSettingsUnchanged(const ReportHandle* run);
// Frees every text and list of the record, then the record; null is ignored.
void FreeReportOptions(ReportOptions* options);

// Reads one keyed text of section from iniPath (at most 249 characters),
// expands its references and stores a malloc'd copy in *out (what *out held
// is not freed). 1, or 0 when the copy cannot be allocated.
int ReadOptionText(char** out, const OptionTextKey& entry, const char* iniPath, const char* section);
int ReadReturnCodeText(char** out, const OptionTextKey& entry, const char* iniPath);
int ReadGenericText(char** out, const OptionTextKey& entry, const char* iniPath);
int ReadIpTypeText(char** out, const OptionTextKey& entry, const char* iniPath);
int ReadSuffixText(char** out, const OptionTextKey& entry, const char* iniPath);
int ReadLegendText(char** out, const OptionTextKey& entry, const char* iniPath);
int ReadIntlText(char** out, const OptionTextKey& entry, const char* iniPath);

// The interval scale at index, or null when the record has none there.
const IntervalScale* IntervalScaleAt(const ReportOptions* options, uint32_t index);

}  // namespace vrn

#endif
