// The report vocabulary read from REPORT.INI: defaults, references into the
// language's variables, name, hour, scale and code lists, and the shipped
// file.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/open_counter_test_support.h"
#include "engine/core/report_run.h"
#include "engine/core/report_settings.h"

namespace {

using vrn::ReportOptions;

// The language's variables as the variable-file reader would give them.
std::map<std::string, std::string> g_vars;
std::vector<std::string> g_loaded;

int LoadVars(const char* path) {
  g_loaded.emplace_back(path);
  return 1;
}
bool LookupVar(const char* name, std::string* value) {
  auto it = g_vars.find(name);
  if (it == g_vars.end()) return false;
  *value = it->second;
  return true;
}

class ReportSettings : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "kvreportXXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    ASSERT_NE(mkdtemp(buffer.data()), nullptr);
    folder_ = std::string(buffer.data()) + "/";
    g_vars.clear();
    g_loaded.clear();
    vrn::SetRplVariableSource({LoadVars, LookupVar});
  }
  void TearDown() override {
    vrn::FreeReportOptions(options_);
    vrn::SetRplVariableSource({nullptr, nullptr});
    system(("rm -rf '" + folder_ + "'").c_str());
  }
  void WriteIni(const std::string& text) { std::ofstream(folder_ + "REPORT.INI", std::ios::binary) << text; }
  const ReportOptions& Load(const char* language = nullptr) {
    EXPECT_EQ(vrn::LoadReportSettingsFrom(folder_.c_str(), language, &options_), 1);
    return *options_;
  }
  std::vector<std::string> Texts(uint32_t first, uint32_t count) const {
    std::vector<std::string> v;
    for (uint32_t i = 0; i < count; ++i) v.emplace_back(options_->texts[first + i]);
    return v;
  }
  static std::vector<int> Hours(const uint16_t* hours, uint16_t count) { return {hours, hours + count}; }

  std::string folder_;
  ReportOptions* options_ = nullptr;
};

TEST_F(ReportSettings, WithoutAFileEveryValueIsItsDefault) {
  vrn::SetRplVariableSource({nullptr, nullptr});  // no variable file either
  const ReportOptions& o = Load();
  using V = std::vector<std::string>;
  EXPECT_EQ(Texts(vrn::kShortWeekdays, 7), (V{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"}));
  EXPECT_EQ(Texts(vrn::kLongWeekdays + 6, 1), V{"Saturday"});
  EXPECT_EQ(Texts(vrn::kShortMonths, 12),
            (V{"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"}));
  EXPECT_EQ(Texts(vrn::kLongMonths + 11, 1), V{"December"});
  // Every keyed text takes its table's default, in field order.
  const struct {
    uint32_t first;
    const vrn::OptionTextKey* keys;
    uint32_t count;
  } groups[] = {{vrn::kReturnCodeTexts, vrn::kReturnCodeKeys, 21}, {vrn::kGenericTexts, vrn::kGenericKeys, 5},
                {vrn::kIpTypeTexts, vrn::kIpTypeKeys, 4},         {vrn::kSuffixTexts, vrn::kSuffixKeys, 9},
                {vrn::kLegendTexts, vrn::kLegendKeys, 9},         {vrn::kIntlTexts, vrn::kIntlKeys, 4}};
  for (const auto& g : groups)
    for (uint32_t i = 0; i < g.count; ++i) EXPECT_STREQ(o.texts[g.first + i], g.keys[i].defaultText) << g.keys[i].key;
  EXPECT_STREQ(o.texts[vrn::kReturnCodeTexts + 20], "%03d Incomplete / Undefined");
  EXPECT_STREQ(o.texts[vrn::kIntlTexts + 2], "%A %B %d, %Y - %T");
  EXPECT_EQ(o.dateOrder, 0);
  EXPECT_EQ(Hours(o.workHours, o.workHourCount), (std::vector<int>{8, 9, 10, 11, 12, 13, 14, 15, 16}));
  EXPECT_EQ(Hours(o.afterHours, o.afterHourCount),
            (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 17, 18, 19, 20, 21, 22, 23, 0}));
  EXPECT_EQ(o.intervalCount, 0);
  EXPECT_EQ(o.intervals, nullptr);
  EXPECT_EQ(o.countryCount, 0);
  EXPECT_EQ(o.stateCount, 0);
  EXPECT_EQ(vrn::IntervalScaleAt(&o, 0), nullptr);
}

TEST_F(ReportSettings, ReferencesTakeTheLanguagesValues) {
  g_vars = {{"Sunday", "Dim"}, {"Code404", "Introuvable"}, {"Sep", "/"}};
  WriteIni(
      "[Weekdays]\nShort=<Sunday>, Lun, Mar<gone>, Mer, Jeu, Ven, Sam\n"
      "[ReturnCodes]\n404=404 <Code404>\n200=<missing>\n"
      "[intl]\nsDate=<Sep>\niDate=<nothing>1\n");
  const ReportOptions& o = Load("FRENCH");
  ASSERT_EQ(g_loaded.size(), 1u);
  EXPECT_EQ(g_loaded[0], folder_ + "Template\\FRENCH.RPL");
  EXPECT_EQ(Texts(vrn::kShortWeekdays, 3), (std::vector<std::string>{"Dim", "Lun", "Mar"}));
  EXPECT_STREQ(o.texts[vrn::kReturnCodeTexts + 15], "404 Introuvable");
  EXPECT_STREQ(o.texts[vrn::kReturnCodeTexts + 0], "");
  EXPECT_STREQ(o.texts[vrn::kIntlTexts + 0], "/");
  EXPECT_EQ(o.dateOrder, 1);
}

TEST_F(ReportSettings, ARunReadsItsTemplateBaseFolderInItsLanguage) {
  WriteIni("[Legends]\nTotal=Sum\n");
  auto* run = static_cast<vrn::ReportHandle*>(std::calloc(1, sizeof(vrn::ReportHandle)));
  ASSERT_NE(run, nullptr);
  vrn::SetReportWorkPaths(run, (folder_ + "profiles/").c_str());
  EXPECT_EQ(vrn::LoadReportSettings(run, &options_), 1);
  std::free(run);
  EXPECT_STREQ(options_->texts[vrn::kLegendTexts], "Sum");
  ASSERT_EQ(g_loaded.size(), 1u);
  EXPECT_EQ(g_loaded[0], folder_ + "Template\\ENGLISH.RPL");
}

// Relative profile folders: the folders above them keep their separator, and
// a folder without the files takes the program's.
TEST_F(ReportSettings, WorkFoldersOfRelativeProfileFolders) {
  system(("mkdir -p '" + folder_ + "kvm_log/profiles' '" + folder_ + "kvm_log/Template' '" + folder_ +
          "own/profiles'").c_str());
  std::ofstream(folder_ + "keywords.ini") << "";
  std::ofstream(folder_ + "own/REPORT.INI") << "";
  std::ofstream(folder_ + "own/keywords.ini") << "";
  char* previous = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(folder_.c_str()), 0);
  struct Case {
    const char* cwd;
    const char* profiles;
    const char* parent;
    const char* grandparent;
  } cases[] = {
      {".", "kvm_log/profiles/", "kvm_log/", "./"},
      {".", "kvm_log/profiles", "kvm_log/", "./"},
      {"kvm_log", "profiles/", "./", "../"},
      {"kvm_log/profiles", "./", "../", "../../"},
      {".", "own/profiles/", "own/", "own/"},
      {"own", "profiles/", "./", "./"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(chdir((folder_ + c.cwd).c_str()), 0);
    auto* run = static_cast<vrn::ReportHandle*>(std::calloc(1, sizeof(vrn::ReportHandle)));
    ASSERT_NE(run, nullptr);
    vrn::SetReportWorkPaths(run, c.profiles);
    EXPECT_STREQ(run->parentDir, c.parent) << c.cwd << " " << c.profiles;
    EXPECT_STREQ(run->grandparentDir, c.grandparent) << c.cwd << " " << c.profiles;
    std::free(run);
  }
  // Nothing beside the folder: the program's folders, never a glued name.
  ASSERT_EQ(chdir(folder_.c_str()), 0);
  system("mkdir -p bare/profiles && rm keywords.ini");
  auto* run = static_cast<vrn::ReportHandle*>(std::calloc(1, sizeof(vrn::ReportHandle)));
  ASSERT_NE(run, nullptr);
  vrn::SetReportWorkPaths(run, "bare/profiles/");
  const std::string parent = run->parentDir, grandparent = run->grandparentDir;
  std::free(run);
  EXPECT_EQ(parent.substr(parent.size() - 8), "kvm_log/") << parent;
  EXPECT_EQ(parent.substr(0, grandparent.size()), grandparent);
  EXPECT_EQ(parent[0], '/');
  ASSERT_EQ(chdir(previous), 0);
  std::free(previous);
}

TEST_F(ReportSettings, ExpandingReferences) {
  g_vars = {{"a", "AAA"}, {"long", std::string(400, 'L')}};
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"x<a>y", "xAAAy"},
      {"<a><a>", "AAAAAA"},
      {"x<undefined>y", "xy"},
      {"a>b", "ab"},        // a ">" without "<" is dropped
      {"ab<a", "ab"},       // an unclosed "<" drops the rest
      {"<>", ""},
      {"plain text", "plain text"},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(vrn::ExpandRplReferences(&text), 1);
    EXPECT_EQ(text, c.expected) << c.text;
  }
  // The result stays within the work buffer.
  std::string text = "x<long>y";
  vrn::ExpandRplReferences(&text, 300);
  EXPECT_EQ(text, "x" + std::string(298, 'L'));
}

TEST_F(ReportSettings, NameAndHourListsStayWithinTheirSlots) {
  WriteIni(
      "[Weekdays]\nShort=Su Mo\nLong=A B C D E F G H I\n"
      "[intl]\nWorkHours=9;10 x 11\n"
      "AfterHours=" + [] {
        std::string s;
        for (int i = 0; i < 30; ++i) s += std::to_string(i % 24) + ",";
        return s;
      }() + "\n");
  const ReportOptions& o = Load();
  // Names missing from the list are empty texts, never missing ones.
  EXPECT_EQ(Texts(vrn::kShortWeekdays, 7), (std::vector<std::string>{"Su", "Mo", "", "", "", "", ""}));
  EXPECT_EQ(Texts(vrn::kLongWeekdays, 7), (std::vector<std::string>{"A", "B", "C", "D", "E", "F", "G"}));
  EXPECT_EQ(Hours(o.workHours, o.workHourCount), (std::vector<int>{9, 10, 0, 11}));
  EXPECT_EQ(o.afterHourCount, vrn::kMaxReportHours);
  EXPECT_EQ(o.afterHours[23], 23);
}

TEST_F(ReportSettings, IntervalScales) {
  WriteIni(
      "[Interval]\nCount=4\n"
      "Scale1= \"One Day\" , 24 ,3600,\t%H:00 , \"%B %d, %Y\"\n"
      "Scale2=Wide, 48, 60, %H:%M, %d, extra, values\n"
      "Scale3=Short only\n");
  const ReportOptions& o = Load();
  ASSERT_EQ(o.intervalCount, 4);
  const vrn::IntervalScale* s = vrn::IntervalScaleAt(&o, 0);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s->intervalName, "One Day");
  EXPECT_EQ(s->slotCount, 24);
  EXPECT_EQ(s->secondsPerSlot, 3600u);
  EXPECT_STREQ(s->slotLabelFormat, "%H:00");
  // Values are split at every comma: a format cannot hold one.
  EXPECT_STREQ(s->periodDayFormat, "%B %d");
  // An item has 32 time slots: a scale never claims more.
  EXPECT_EQ(vrn::IntervalScaleAt(&o, 1)->slotCount, vrn::kMaxScaleSlots);
  EXPECT_STREQ(vrn::IntervalScaleAt(&o, 1)->periodDayFormat, "%d");
  // Missing values and missing keys give zero numbers and empty texts.
  for (uint32_t i : {2u, 3u}) {
    const vrn::IntervalScale* t = vrn::IntervalScaleAt(&o, i);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->slotCount, 0);
    EXPECT_EQ(t->secondsPerSlot, 0u);
    ASSERT_NE(t->slotLabelFormat, nullptr);
    ASSERT_NE(t->periodDayFormat, nullptr);
    EXPECT_STREQ(t->slotLabelFormat, "");
  }
  EXPECT_STREQ(vrn::IntervalScaleAt(&o, 2)->intervalName, "Short only");
  EXPECT_EQ(vrn::IntervalScaleAt(&o, 4), nullptr);
  EXPECT_EQ(vrn::IntervalScaleAt(&o, 18), nullptr);
}

TEST_F(ReportSettings, CountryAndStateNamesEndAtTheLastComma) {
  WriteIni(
      "[Countries]\nCount=5\nItem1=Korea, Republic of,KR\nItem2=Blank Code, us\nItem3=No Code\n"
      "Item4=Long,ABCDEFGHIJKL\n"
      "[US States]\nCount=x\nItem1=Ohio,OH\n");
  const ReportOptions& o = Load();
  ASSERT_EQ(o.countryCount, 5);
  const struct {
    const char* name;
    const char* code;
  } expected[] = {{"Korea, Republic of", "KR"}, {"Blank Code", " us"}, {"No Code", ""}, {"Long", "ABCDEFGHI"}, {"", ""}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_STREQ(o.countries[i].name, expected[i].name);
    EXPECT_STREQ(o.countries[i].code, expected[i].code);
  }
  EXPECT_EQ(o.stateCount, 0);  // a count that is no number reads as 0
}

TEST_F(ReportSettings, TheLargestCountsReadEveryEntryAndStop) {
  // A count is held in 16 bits; the largest one fills its list exactly and
  // the reading stops at its last entry instead of starting over.
  WriteIni("[Interval]\nCount=70000\nScale1=One, 24, 3600, %H, %d\n"
           "[Countries]\nCount=65535\nItem1=Korea, Republic of,KR\nItem65535=Last,ZZ\n");
  const ReportOptions& o = Load();
  ASSERT_EQ(o.intervalCount, 65535);
  EXPECT_STREQ(vrn::IntervalScaleAt(&o, 0)->intervalName, "One");
  EXPECT_STREQ(vrn::IntervalScaleAt(&o, 65534)->intervalName, "");
  ASSERT_EQ(o.countryCount, 65535);
  EXPECT_STREQ(o.countries[0].code, "KR");
  EXPECT_STREQ(o.countries[65534].name, "Last");
  EXPECT_STREQ(o.countries[65534].code, "ZZ");
}

TEST_F(ReportSettings, KeyedTextsAreReadAsTheirBufferHoldsThem) {
  WriteIni("[Generic]\nOthers=" + std::string(400, 'o') + "\n");
  const ReportOptions& o = Load();
  EXPECT_EQ(std::string(o.texts[vrn::kGenericTexts + 2]), std::string(249, 'o'));
}

TEST_F(ReportSettings, ALoadStaysCurrentUntilItsFilesChangeOrAnotherLoadIsMade) {
  WriteIni("[Months]\nLong=Jan1, Feb1, Mar1, Apr1, May1, Jun1, Jul1, Aug1, Sep1, Oct1, Nov1, Dec1\n");
  auto run = std::make_unique<vrn::ReportHandle>();
  std::snprintf(run->parentDir, sizeof run->parentDir, "%s", folder_.c_str());
  std::snprintf(run->language, sizeof run->language, "ENGLISH");
  EXPECT_FALSE(vrn::ReportSettingsUnchanged(nullptr));
  ASSERT_EQ(vrn::LoadReportSettings(run.get(), &options_), 1);
  EXPECT_TRUE(vrn::ReportSettingsUnchanged(run.get()));
  // Another language is another load.
  std::snprintf(run->language, sizeof run->language, "GERMAN");
  EXPECT_FALSE(vrn::ReportSettingsUnchanged(run.get()));
  std::snprintf(run->language, sizeof run->language, "ENGLISH");
  // The file rewritten is read again.
  WriteIni("[Months]\nLong=Jan2, Feb2, Mar2, Apr2, May2, Jun2, Jul2, Aug2, Sep2, Oct2, Nov2, Dec2\n; edited\n");
  EXPECT_FALSE(vrn::ReportSettingsUnchanged(run.get()));
  vrn::FreeReportOptions(options_);
  options_ = nullptr;
  ASSERT_EQ(vrn::LoadReportSettings(run.get(), &options_), 1);
  EXPECT_TRUE(vrn::ReportSettingsUnchanged(run.get()));
  EXPECT_STREQ(options_->texts[vrn::kLongMonths + 10], "Nov2");
}

TEST_F(ReportSettings, EachSectionOfTheFileIsReadOnce) {
  // The shipped file, with every section present; the eleven sections are
  // read once each, not once a key.
  const char* source = std::getenv("KV_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  std::ifstream in(std::string(source) + "/data/kvm_log/REPORT.INI", std::ios::binary);
  WriteIni(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  vrn::test::OpenCounter opens(folder_);
  const ReportOptions& o = Load();
  EXPECT_LE(opens.Count("REPORT.INI"), 11u);
  EXPECT_GT(opens.Count("REPORT.INI"), 0u);
  EXPECT_GT(o.countryCount, 100);
  EXPECT_EQ(o.stateCount, 51);
}

TEST_F(ReportSettings, TheShippedVocabularyIsComplete) {
  const char* source = std::getenv("KV_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  const std::string shipped = std::string(source) + "/data/kvm_log/";
  ReportOptions* options = nullptr;
  ASSERT_EQ(vrn::LoadReportSettingsFrom(shipped.c_str(), nullptr, &options), 1);
  // Scale positions up to 23 are read by the time grid and the period layouts.
  ASSERT_GE(options->intervalCount, 24);
  for (uint16_t i = 0; i < options->intervalCount; ++i) {
    const vrn::IntervalScale& s = options->intervals[i];
    EXPECT_GT(s.slotCount, 0) << i;
    EXPECT_GT(s.secondsPerSlot, 0u) << i;
    EXPECT_STRNE(s.intervalName, "") << i;
    EXPECT_STRNE(s.slotLabelFormat, "") << i;
    EXPECT_STRNE(s.periodDayFormat, "") << i;
  }
  EXPECT_EQ(options->intervals[8].slotCount * options->intervals[8].secondsPerSlot, 86400u);
  EXPECT_EQ(options->intervals[17].slotCount, 12);
  EXPECT_EQ(options->intervals[18].slotCount, 24);
  EXPECT_GT(options->countryCount, 100);
  EXPECT_EQ(options->stateCount, 51);
  for (uint16_t i = 0; i < options->countryCount; ++i) EXPECT_EQ(std::string(options->countries[i].code).size(), 2u) << i;
  EXPECT_STREQ(options->texts[vrn::kReturnCodeTexts + 15], "404 Page or File Not Found");
  vrn::FreeReportOptions(options);
}

}  // namespace
