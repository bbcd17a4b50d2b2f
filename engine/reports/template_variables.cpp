// The template variable resolver (see template_variables.h).
#include "engine/reports/template_variables.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "engine/core/engine_state.h"
#include "engine/core/report_run.h"
#include "engine/core/report_settings.h"
#include "engine/database/analysis_context.h"
#include "engine/database/hit_accumulation.h"
#include "engine/database/item_tables.h"
#include "engine/database/morvane_lookup.h"
#include "engine/database/table_accessors.h"
#include "engine/reports/report_driver.h"
#include "engine/reports/report_tables.h"
#include "engine/reports/section_table.h"
#include "platform/base/strutil.h"

namespace vrn {

using kv::AsciiLower;
using kv::IEquals;
using kv::ToAsciiLower;

namespace {

constexpr const char kRemove[] = "%%Remove%%";
constexpr const char kRemoveColumn[] = "%%RemoveColumn%%";
constexpr const char kBookMarkColumn[] = "%%BookMarkColumn%%";
constexpr size_t kMorvaneDataSize = 320;

// Process-wide lookup state: running row counters, current rows and the
// data of the current row, for authenticated users (0) and domains (1).
struct LookupState {
  uint32_t counter = 0;
  uint32_t currentRow = 0;
  char data[kMorvaneDataSize] = {};
};
LookupState g_lookup[2];

// Output of one resolution.
struct Out {
  char* text;
  size_t size;
  uint32_t* marker;

  void Set(const std::string& value) const {
    if (size == 0) return;
    const size_t n = std::min(value.size(), size - 1);
    std::memcpy(text, value.data(), n);
    text[n] = 0;
  }
  void Number(long value) const { Set(std::to_string(value)); }
  void Marker(const char* value) const {
    Set(value);
    if (marker != nullptr) *marker = 1;
  }
};

// IEquals without measuring either text first: most names differ from a
// word in their first characters.
bool Is(const char* name, const char* word) {
  for (;; ++name, ++word) {
    if (AsciiLower(*name) != AsciiLower(*word)) return false;
    if (*name == '\0') return true;
  }
}
bool Starts(const char* name, const char* prefix) { return CompareTextPrefix(name, prefix) == 0; }

std::string TimeText(uint32_t seconds) {
  char text[48];
  std::snprintf(text, sizeof text, "%02lu:%02lu:%02lu", static_cast<unsigned long>(seconds / 3600),
                static_cast<unsigned long>((seconds / 60) % 60), static_cast<unsigned long>(seconds % 60));
  return text;
}

SummaryTableEntry* TableAt(AnalysisContext* context, int index) {
  const TemplateRecord& t = context->templ;
  if (t.TopTablesPtr == nullptr || index < 0 || static_cast<uint32_t>(index) >= t.TopTablesCount) return nullptr;
  return &t.TopTablesPtr[index];
}

// The slot count of the per-slot sums.
uint32_t SlotCount(const AnalysisContext* context) {
  const IntervalScale* scale = IntervalScaleAt(context->options, context->intervalScaleIndex);
  const uint32_t s = scale != nullptr ? scale->slotCount : context->slotCount;
  // Without a time grid (no interval scales) every hit was counted in slot
  // 0: the sums then take every slot, the unused ones holding 0.
  if (s == 0) return kTimeSlots;
  return std::min<uint32_t>(s, kTimeSlots);
}

uint32_t SlotSum(const AnalysisContext* context, const uint32_t (&slots)[kTimeSlots]) {
  uint32_t sum = 0;
  const uint32_t s = SlotCount(context);
  for (uint32_t i = 0; i < s; ++i) sum += slots[i];
  return sum;
}

const char* OptionText(const AnalysisContext* context, int index) {
  if (context->options == nullptr || index < 0 || index >= static_cast<int>(kReportTextCount)) return "";
  const char* text = context->options->texts[index];
  return text != nullptr ? text : "";
}

bool IsReferrerOrAgentLog(const AnalysisContext* context) { return context->logKind == 7 || context->logKind == 8; }

uint32_t AllHits(const SummaryTableEntry* table) {
  return table != nullptr ? SumTableHits(table, table->Count, 0) : 0;
}

// Name of the item with the most (most == true) or fewest hits, the first in
// table order winning a tie; empty for a missing or empty table.
std::string ExtremeItemName(const SummaryTableEntry* table, bool most) {
  if (table == nullptr || table->ItemBlock == nullptr || table->Count == 0) return "";
  uint32_t best = 0;
  uint32_t bestHits = GetItemHits(table, 0, 0);
  for (uint32_t i = 1; i < table->Count && i <= 0xFFFF; ++i) {
    const uint32_t hits = GetItemHits(table, 0, static_cast<uint16_t>(i));
    if (most ? hits > bestHits : hits < bestHits) {
      best = i;
      bestHits = hits;
    }
  }
  char name[1024];
  GetItemName(table, 0, static_cast<uint16_t>(best), name, sizeof name);
  return name;
}

uint32_t SumHoursBy(const AnalysisContext* context, const SummaryTableEntry* hours, bool work, bool users) {
  if (context == nullptr || hours == nullptr || context->options == nullptr) return 0;
  const ReportOptions* o = context->options;
  const uint16_t count = std::min<uint16_t>(work ? o->workHourCount : o->afterHourCount, kMaxReportHours);
  const uint16_t* list = work ? o->workHours : o->afterHours;
  uint32_t sum = 0;
  for (uint16_t i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%02d:00-%02d:59", list[i], list[i]);
    sum += users ? GetItemUsersByName(hours, name) : GetItemHitsByName(hours, name);
  }
  return sum;
}

// Weekday-table sums over the short weekday names at the given indexes.
uint32_t SumDays(const AnalysisContext* context, const SummaryTableEntry* weekdays, const int* days, int count,
                 bool users) {
  if (weekdays == nullptr) return 0;
  uint32_t sum = 0;
  for (int i = 0; i < count; ++i) {
    const char* name = OptionText(context, kShortWeekdays + days[i]);
    sum += users ? GetItemUsersByName(weekdays, name) : GetItemHitsByName(weekdays, name);
  }
  return sum;
}

// "%%Remove%%" for a referrer or agent log; true when it was given.
bool RemovedForLogKind(const AnalysisContext* context, const Out& out) {
  if (!IsReferrerOrAgentLog(context)) return false;
  out.Marker(kRemove);
  return true;
}

MorvaneSettings* LookupSettings(ReportHandle* run, int which) {
  if (run == nullptr || run->profile == nullptr) return nullptr;
  return which == 0 ? run->profile->MorvaneAuthUser : run->profile->MorvaneIP;
}

bool LookupOn(ReportHandle* run, int which) {
  const MorvaneSettings* s = LookupSettings(run, which);
  return s != nullptr && s->Enabled != 0;
}

uint32_t RowMode(ReportHandle* run, int which) {
  const MorvaneSettings* s = LookupSettings(run, which);
  return s != nullptr ? s->ShowOnlyMorvane : 0;
}

// An ordinary cell of a table family.
void EmitCell(AnalysisContext* context, const Out& out, const char* name, const char* family, int index,
              uint16_t firstTotalsRow, ReportFileCallback callback) {
  SummaryTableEntry* table = TableAt(context, index);
  if (table == nullptr) {
    out.Set("");
    return;
  }
  int32_t control = 0;
  EmitReportTable(context, out.text, out.size, name, family, table, index, firstTotalsRow, &control, callback);
  if (control == 1 && out.marker != nullptr) *out.marker = 1;
}

// The user families with their database lookups (authenticated users,
// table 36, and visitor domains, table 10). True when the name was handled.
bool ResolveUserFamily(ReportHandle* run, AnalysisContext* context, const char* name, const Out& out,
                       ReportFileCallback callback, int which) {
  const bool auth = which == 0;
  const char* family = auth ? "TopAuthUsers" : "TopUsers";
  const int index = auth ? kTopAuthUsers : kTopUsers;
  const uint16_t firstTotalsRow = auth ? 0 : 1;
  LookupState& state = g_lookup[which];
  MorvaneSettings* settings = LookupSettings(run, which);
  const bool on = LookupOn(run, which);
  const uint32_t mode = RowMode(run, which);

  const char* const desc = auth ? "TopAuthUsersDesc" : "TopUsersDesc";
  if (Starts(name, desc)) {
    bool ready = on && ConnectToMorvaneDatabase(settings) != 0;
    if (ready) ready = (auth ? PrepareMorvaneUserQuery(run->profile) : PrepareMorvaneIPQuery(run->profile)) != 0;
    if (!ready) {
      EmitCell(context, out, name, family, index, firstTotalsRow, callback);
      return true;
    }
    auto fetch = auth ? GetMorvaneDataByUser : GetMorvaneDataByIP;
    state.data[0] = 0;
    bool found = false;
    do {
      std::string cellName = name;
      if (mode == 0) {
        state.currentRow = ParseRowIndex(name);
      } else {
        state.currentRow = state.counter++;
        cellName = std::string(desc) + "[" + std::to_string(state.currentRow) + "]";
      }
      out.Set("");
      EmitCell(context, out, cellName.c_str(), family, index, firstTotalsRow, callback);
      found = fetch(run->profile, out.text, state.data, sizeof state.data) == 1 && state.data[0] != 0;
      state.data[sizeof state.data - 1] = 0;
      if (!found) state.data[0] = 0;
      // Mode 1 goes on to the first row with data; mode 2 (all rows) shows
      // each row in turn, one per token, with or without data.
    } while (out.text[0] != 0 && mode == 1 && !found);
    return true;
  }
  static const char* const kCounts[2][3] = {{"TopAuthUsersHits", "TopAuthUsersAsPercent", "TopAuthUsersUsers"},
                                            {"TopUsersHits", "TopUsersAsPercent", "TopUsersUsers"}};
  for (const char* prefix : kCounts[auth ? 0 : 1]) {
    if (Starts(name, prefix)) {
      std::string cellName = name;
      if (on && mode != 0) cellName = std::string(prefix) + "[" + std::to_string(state.currentRow) + "]";
      EmitCell(context, out, cellName.c_str(), family, index, firstTotalsRow, callback);
      return true;
    }
  }
  if (Is(name, auth ? "TopAuthUsersMorvaneTitle" : "TopUserMorvaneTitle")) {
    if (on) out.Set(settings->ReportTitle);
    return true;
  }
  if (Is(name, auth ? "TopAuthUsersMorvaneData" : "TopUserMorvaneData")) {
    // The site's own data, looked up by a name from the log: text in every
    // output kind (all are HTML documents).
    // The values of the row are joined by "<BR>"; each value is text.
    std::string data = state.data;
    {
      std::string escaped;
      size_t from = 0;
      for (;;) {
        const size_t br = data.find("<BR>", from);
        escaped += EscapeHtmlText(std::string_view(data).substr(from, br == std::string::npos ? br : br - from));
        if (br == std::string::npos) break;
        escaped += "<BR>";
        from = br + 4;
      }
      data = escaped;
    }
    out.Set(data);
    return true;
  }
  if (Is(name, auth ? "Close_MorvaneAuthUser" : "Close_MorvaneDomain")) {
    DisconnectMorvaneLookup();
    out.Set("");
    return true;
  }
  if (Starts(name, family)) {
    EmitCell(context, out, name, family, index, firstTotalsRow, callback);
    return true;
  }
  return false;
}

// The ads family (table 29 with the clicks table 30 and the views table 31).
void ResolveAds(AnalysisContext* context, const char* name, const Out& out, ReportFileCallback callback) {
  static const char* const kCellPrefixes[] = {
      "TopAdsDesc",          "TopAdsDebugTableName", "TopAdsDebugElemCount", "TopAdsDebugElemNameSize",
      "TopAdsDebugElemSize", "TopAdsBeginSection",   "TopAdsEndSection",     "TopAdsBeginChapter",
      "TopAdsEndChapter"};
  for (const char* prefix : kCellPrefixes) {
    if (Starts(name, prefix)) {
      EmitCell(context, out, name, "TopAds", kTopAds, 0, callback);
      return;
    }
  }
  SummaryTableEntry* ads = TableAt(context, kTopAds);
  SummaryTableEntry* clicks = TableAt(context, kTopAdClicks);
  SummaryTableEntry* views = TableAt(context, kTopAdViews);
  if (ads == nullptr || clicks == nullptr || views == nullptr) {
    out.Set("");
    return;
  }
  const SectionTableEntry* sections = GetSectionTable();
  const uint32_t h = (sections != nullptr ? sections[kTopAds].maxRow : 0) + 1;
  const uint32_t n = ads->Count;
  struct Totals {
    const char* prefix;
    SummaryTableEntry* table;
  };
  const Totals totals[] = {{"TopAds_Views_", views}, {"TopAds_Clicks_", clicks}};
  for (const Totals& t : totals) {
    const std::string p = t.prefix;
    if (Is(name, (p + "TotalUsers").c_str())) return out.Number(SumUsersByNames(ads, h, 0, t.table));
    if (Is(name, (p + "TotalHits").c_str())) return out.Number(SumHitsByNames(ads, h, 0, t.table));
    if (Is(name, (p + "TotalAsPercent").c_str()))
      return out.Set(PercentText(SumHitsByNames(ads, h, 0, t.table), SumHitsByNames(ads, n, 0, t.table)));
  }
  if (Is(name, "TopAds_ClickThru_TotalUsers"))
    return out.Set(PercentText(SumUsersByNames(ads, h, 0, clicks), SumUsersByNames(ads, h, 0, views)));
  if (Is(name, "TopAds_ClickThru_TotalHits"))
    return out.Set(PercentText(SumHitsByNames(ads, h, 0, clicks), SumHitsByNames(ads, h, 0, views)));

  // A row of the ads table: its name first.
  const char* bracket = std::strchr(name, '[');
  if (bracket == nullptr) {
    out.Set("");
    return;
  }
  const std::string descToken = std::string("TopAdsDesc") + bracket;
  std::string adName;
  {
    char buffer[kTokenValueSize] = {};
    int32_t control = 0;
    EmitReportTable(context, buffer, sizeof buffer, descToken.c_str(), "TopAds", ads, kTopAds, 0, &control,
                    callback);
    buffer[sizeof buffer - 1] = 0;
    adName = buffer;
  }
  out.Set("");
  if (adName.empty()) return;
  const uint32_t viewHits = GetItemHitsByName(views, adName.c_str());
  const uint32_t viewUsers = GetItemUsersByName(views, adName.c_str());
  const uint32_t clickHits = GetItemHitsByName(clicks, adName.c_str());
  const uint32_t clickUsers = GetItemUsersByName(clicks, adName.c_str());
  if (Starts(name, "TopAds_Views_Hits")) return out.Number(viewHits);
  if (Starts(name, "TopAds_Views_Users")) return out.Number(viewUsers);
  if (Starts(name, "TopAds_Views_AsPercent")) return out.Set(PercentText(viewHits, SumHitsByNames(ads, n, 0, views)));
  if (Starts(name, "TopAds_Clicks_Hits")) return out.Number(clickHits);
  if (Starts(name, "TopAds_Clicks_Users")) return out.Number(clickUsers);
  if (Starts(name, "TopAds_Clicks_AsPercent"))
    return out.Set(PercentText(clickHits, SumHitsByNames(ads, n, 0, clicks)));
  if (Starts(name, "TopAds_ClickThru_Hits")) return out.Set(PercentText(clickHits, viewHits));
  if (Starts(name, "TopAds_ClickThru_Users")) return out.Set(PercentText(clickUsers, viewUsers));
}

// Name sizes of every item of a table (name length + 1 each).
uint32_t NameSizes(const SummaryTableEntry* table) {
  if (table == nullptr || table->ItemBlock == nullptr) return 0;
  uint32_t sum = 0;
  for (uint32_t i = 0; i < table->Count && i <= 0xFFFF; ++i) {
    char name[4096];
    GetItemName(table, 0, static_cast<uint16_t>(i), name, sizeof name);
    sum += static_cast<uint32_t>(std::strlen(name)) + 1;
  }
  return sum;
}

bool ResolveStyle(const char* name, const Out& out) {
  const ReportStyle& s = CurrentReportStyle();
  if (Starts(name, "Style_RepeatRowTextColor") || Starts(name, "Style_RepeatRowBackgroundColor")) {
    const bool text = Starts(name, "Style_RepeatRowTextColor");
    const uint32_t row = ParseRowIndex(name);
    const bool odd = (row + 1) % 2 == 1;
    const int colour = text ? (odd ? kColourOddRowText : kColourEvenRowText)
                            : (odd ? kColourOddRowBackground : kColourEvenRowBackground);
    out.Set(s.colours[colour]);
    return true;
  }
  static const struct {
    const char* name;
    int colour;
  } kColours[] = {
      {"Style_BackgroundColor", kColourPageBackground},
      {"Style_StandardTextColor", kColourPageText},
      {"Style_SectionBackgroundColor", kColourSectionBackground},
      {"Style_SectionTextColor", kColourSectionText},
      {"Style_TitleBackgroundColor", kColourTitleBackground},
      {"Style_TitleTextColor", kColourTitleText},
      {"Style_SubTitleBackgroundColor", kColourSubTitleBackground},
      {"Style_SubTitleTextColor", kColourSubTitleText},
      {"Style_OddRowBackgroundColor", kColourOddRowBackground},
      {"Style_OddRowTextColor", kColourOddRowText},
      {"Style_EvenRowBackgroundColor", kColourEvenRowBackground},
      {"Style_EvenRowTextColor", kColourEvenRowText},
      {"Style_TableFrameColor", kColourTableFrame},
  };
  for (const auto& c : kColours) {
    if (Is(name, c.name)) {
      out.Set(s.colours[c.colour]);
      return true;
    }
  }
  static const struct {
    const char* name;
    int font;
  } kFonts[] = {{"Style_StandardFontName", kFontStandard},
                {"Style_SectionFontName", kFontSection},
                {"Style_TitleFontName", kFontTitle},
                {"Style_SubTitleFontName", kFontSubTitle},
                {"Style_TableFontName", kFontTableData}};
  for (const auto& f : kFonts) {
    if (Is(name, f.name)) {
      out.Set(s.fonts[f.font]);
      return true;
    }
  }
  if (Is(name, "Style_BackgroundPicture")) return out.Set(s.backgroundPicture), true;
  if (Is(name, "Style_LogoPicture") || Is(name, "Style_LogoFile")) return out.Set(s.logoPicture), true;
  if (Is(name, "Style_FrameWidth")) return out.Number(static_cast<long>(s.frameWidth)), true;
  if (Is(name, "Style_NumberAlignment")) return out.Set(s.numberAlignment), true;
  return false;
}

// The column and description markers.
bool ResolveColumns(ReportHandle* run, const char* name, const Out& out) {
  const ReportStyle& s = CurrentReportStyle();
  if (Starts(name, "BeginShortDescription") || Starts(name, "BeginLongDescription") || Starts(name, "BeginColumn_")) {
    out.Marker(kBookMarkColumn);
    return true;
  }
  auto removeWhen = [&](bool off) {
    // A column that stays gives no text and leaves its line alone.
    if (off) {
      out.Marker(kRemoveColumn);
    } else {
      out.Set("");
    }
    return true;
  };
  if (Starts(name, "EndShortDescription") || Starts(name, "EndLongDescription"))
    return removeWhen(s.longDescription == 0);
  if (Starts(name, "EndColumn_Hits")) return removeWhen(s.columns[kColumnHits] == 0);
  if (Starts(name, "EndColumn_PercentOfTotal")) return removeWhen(s.columns[kColumnPercent] == 0);
  if (Starts(name, "EndColumn_UserSessions")) return removeWhen(s.columns[kColumnUsers] == 0);
  if (Starts(name, "EndColumn_MorvaneAuthUsers")) return removeWhen(!LookupOn(run, 0));
  if (Starts(name, "EndColumn_MorvaneDomain")) return removeWhen(!LookupOn(run, 1));
  if (Starts(name, "EndColumn_")) {
    out.Set("");
    return true;
  }
  return false;
}

void ResolveColumnCount(const char* name, const Out& out) {
  const ReportStyle& s = CurrentReportStyle();
  long n = ParseRowIndex(name);
  struct Form {
    const char* prefix;
    bool hits, percent, users;
  };
  static const Form kForms[] = {{"ColumnCount_HPU[", true, true, true},
                                {"ColumnCount_HP[", true, true, false},
                                {"ColumnCount_HU[", true, false, true},
                                {"ColumnCount_PU[", false, true, true}};
  for (const Form& f : kForms) {
    if (Starts(name, f.prefix)) {
      if (f.hits && s.columns[kColumnHits] == 0) --n;
      if (f.percent && s.columns[kColumnPercent] == 0) --n;
      if (f.users && s.columns[kColumnUsers] == 0) --n;
      break;
    }
  }
  out.Number(n);
}

// Table families by prefix, in the order they are tested.
struct Family {
  const char* prefix;
  int index;
};
const Family kFamiliesBeforeUsers[] = {
    {"TopWeekdays", kTopWeekdays},
    {"TopHours", kTopHours},
    {"TopExtensions", kTopExtensions},
    {"TopBandwidth", kTopBandwidth},
    {"TopSearchEnginesKeywordDetail", kTopSearchEngines},
    {"TopSearchKeywordsEngineDetail", kTopSearchKeywords},
    {"TopSearchEngines", kTopSearchEngines},
    {"TopSearchKeywords", kTopSearchKeywords},
    {"TopSuffixes", kTopSuffixes},
    {"TopCities", kTopCities},
    {"TopStates", kTopStates},
    {"TopVisitors", kTopVisitors},
    {"TopServerErrors", kTopServerErrors},
    {"TopClientErrors", kTopClientErrors},
    {"TopFormErrors", kTopFormErrors},
    {"RefererLogTopReferers", kTopReferers},
    {"TopReferers", kTopReferers},
    {"RefererLogTopReferingSites", kTopReferingSites},
    {"TopReferingSites", kTopReferingSites},
    {"AgentLogTopBrowsers", kTopBrowsers},
    {"TopBrowsers", kTopBrowsers},
};
const Family kFamiliesAfterUsers[] = {
    {"AgentLogTopPlatforms", kTopPlatforms},
    {"TopPlatforms", kTopPlatforms},
    {"TopCompanies", kTopCompanies},
    {"TopCountries", kTopCountries},
    {"TopForms", kTopForms},
    {"TopDownloads", kTopDownloads},
    {"TopDocuments", kTopDocuments},
    {"TopDirectory", kTopDirectory},
    {"TopBottom", kTopDocuments},
    {"TopEntry", kTopEntry},
    {"TopExit", kTopExit},
    {"TopSinglePage", kTopSinglePage},
    {"TopPaths", kTopPaths},
};
const Family kFamiliesAfterAds[] = {
    {"TopAdClicks", kTopAdClicks},   {"TopAdViews", kTopAdViews},     {"AgentLogTopSpiders", kTopSpiders},
    {"TopSpiders", kTopSpiders},     {"AgentLogTopNetscape", kTopNetscape}, {"TopNetscape", kTopNetscape},
    {"AgentLogTopExplorer", kTopExplorer}, {"TopExplorer", kTopExplorer}, {"TopUploads", kTopUploads},
};

// Runs the family table; true when a family matched.
bool ResolveFamilies(AnalysisContext* context, const char* name, const Out& out, ReportFileCallback callback,
                     const Family* families, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const Family& f = families[i];
    if (!Starts(name, f.prefix)) continue;
    if (f.index == kTopBandwidth) {
      SummaryTableEntry* table = TableAt(context, kTopBandwidth);
      if (table == nullptr || context->templ.TopTablesCount <= 37) {
        out.Set("");
        return true;
      }
      // The bandwidth table holds one item (the byte sums of the slots) once
      // a hit has bytes. Its count is left as it is: raising it for an empty
      // table would show an item that does not exist, lowering it would lose
      // items from the table's release.
    }
    EmitCell(context, out, name, f.prefix, f.index, f.index == kTopCompanies ? 1 : 0, callback);
    return true;
  }
  return false;
}

// Header values (exact names). True when handled.
bool ResolveHeader(AnalysisContext* context, const char* name, const Out& out) {
  const TemplateRecord& t = context->templ;
  // Counted when a name asks for them.
  const auto days = [context]() {
    return ReportDayCount(context->reportStart, context->reportEnd, static_cast<uint32_t>(std::time(nullptr)));
  };
  const auto hits = [&]() { return SlotSum(context, t.SlotHits); };
  const auto failed = [&]() { return SlotSum(context, t.SlotFailed); };
  const auto users = [&]() { return SlotSum(context, t.SlotUsers); };
  // The profile's texts are the owner's words, never markup.
  if (Is(name, "TitleLogDescription")) return out.Set(EscapeHtmlText(context->description)), true;
  if (Is(name, "HeaderWebDomain")) return out.Set(EscapeHtmlText(context->emptyText1)), true;
  if (Is(name, "HeaderGeneratedOn")) return out.Set(context->reportDateText), true;
  if (Is(name, "HeaderReportRange")) {
    if (!RemovedForLogKind(context, out)) out.Set(context->rangeText);
    return true;
  }
  if (Is(name, "HeaderHomePagePath")) {
    if (!RemovedForLogKind(context, out)) out.Set(EscapeHtmlText(context->homePage));
    return true;
  }
  if (Is(name, "HeaderCountry")) {
    const char* country = GetCountryName(context, context->Country);
    out.Set(country != nullptr ? country : "");
    return true;
  }
  if (Is(name, "HeaderHomePageHits")) {
    if (!RemovedForLogKind(context, out)) out.Number(SlotSum(context, t.SlotHomePageHits));
    return true;
  }
  if (Is(name, "HeaderPageTotalPageImpressions")) return out.Number(t.DocumentHits), true;
  if (Is(name, "HeaderTotalHits")) return out.Number(static_cast<long>(hits() - failed())), true;
  if (Is(name, "HeaderTotalUsers")) {
    if (!RemovedForLogKind(context, out)) out.Number(users());
    return true;
  }
  static const struct {
    const char* name;
    const uint32_t (TemplateRecord::*slots)[kTimeSlots];
  } kShares[] = {{"HeaderUSAUsersPercent", &TemplateRecord::SlotDomestic},
                 {"HeaderInternationalUsersPercent", &TemplateRecord::SlotInternational},
                 {"HeaderOriginUnknownUsersPercent", &TemplateRecord::SlotUnknownCountry}};
  for (const auto& share : kShares) {
    if (Is(name, share.name)) {
      if (!RemovedForLogKind(context, out)) out.Set(PercentText(SlotSum(context, t.*share.slots), users()));
      return true;
    }
  }
  if (Is(name, "HeaderAveragePageImprPerDay")) {
    const uint32_t d = days();
    return out.Number(d == 0 ? 0 : t.DocumentHits / d), true;
  }
  if (Is(name, "HeaderAverageHitsPerDay")) {
    const uint32_t d = days();
    return out.Number(d == 0 ? 0 : (hits() - failed()) / d), true;
  }
  if (Is(name, "HeaderAverageUsersPerDay")) {
    const uint32_t d = days();
    if (!RemovedForLogKind(context, out)) out.Number(d == 0 ? 0 : users() / d);
    return true;
  }
  if (Is(name, "HeaderAverageUsersTime")) {
    if (RemovedForLogKind(context, out)) return true;
    if (t.UserSessionsTime == 0 || t.UserSessionsTimeCount == 0) {
      out.Set("N/A");
    } else {
      out.Set(TimeText(t.UserSessionsTime / t.UserSessionsTimeCount));
    }
    return true;
  }
  if (Is(name, "GeneralStatsHeaderSearchEnginesHits")) return out.Number(AllHits(TableAt(context, 40))), true;
  if (Is(name, "GeneralStatsSearchKeywordsHits")) return out.Number(AllHits(TableAt(context, 39))), true;
  return false;
}

// Hours and technical values (exact names). True when handled.
bool ResolveTechnical(AnalysisContext* context, const char* name, const Out& out) {
  const TemplateRecord& t = context->templ;
  const SummaryTableEntry* hoursTable = TableAt(context, kTopHours);
  const SummaryTableEntry* weekdays = TableAt(context, kTopWeekdays);
  if (Is(name, "SummaryByHourMostActiveHour")) return out.Set(ExtremeItemName(hoursTable, true)), true;
  if (Is(name, "SummaryByHourLeastActiveHour")) return out.Set(ExtremeItemName(hoursTable, false)), true;
  static const char* const kTechnical[] = {"TechnicalStatsTotalHits",        "TechnicalStatsSuccessfulHits",
                                           "TechnicalStatsFailedHits",       "TechnicalStatsFailedHitsAsPercent",
                                           "TechnicalStatsCachedHits",       "TechnicalStatsCachedHitsAsPercent"};
  for (int i = 0; i < 6; ++i) {
    if (!Is(name, kTechnical[i])) continue;
    if (RemovedForLogKind(context, out)) return true;
    const uint32_t hits = SlotSum(context, t.SlotHits);
    const uint32_t failed = SlotSum(context, t.SlotFailed);
    const uint32_t cached = SlotSum(context, t.SlotNotModified);
    switch (i) {
      case 0: out.Number(hits); break;
      case 1: out.Number(static_cast<long>(hits - failed)); break;
      case 2: out.Number(failed); break;
      case 3: out.Set(PercentText(failed, hits)); break;
      case 4: out.Number(cached); break;
      default: out.Set(PercentText(cached, hits)); break;
    }
    return true;
  }
  // FormHits counts every form submitted, the failed ones among them.
  if (Is(name, "FormsSubmittedSuccess")) {
    return out.Number(t.FormHits >= t.FailedFormHits ? t.FormHits - t.FailedFormHits : 0), true;
  }
  if (Is(name, "FormsSubmittedFailed")) return out.Number(t.FailedFormHits), true;
  if (Is(name, "FormsSubmittedFailedAsPercent")) return out.Set(PercentText(t.FailedFormHits, t.FormHits)), true;
  static const struct {
    const char* name;
    uint32_t TemplateRecord::*counter;
  } kErrors[] = {{"WebServerError_500", &TemplateRecord::Failed500}, {"WebServerError_501", &TemplateRecord::Failed501},
                 {"WebServerError_502", &TemplateRecord::Failed502}, {"WebServerError_503", &TemplateRecord::Failed503},
                 {"WebClientError_400", &TemplateRecord::Failed400}, {"WebClientError_401", &TemplateRecord::Failed401},
                 {"WebClientError_402", &TemplateRecord::Failed402}, {"WebClientError_403", &TemplateRecord::Failed403},
                 {"WebClientError_404", &TemplateRecord::Failed404}};
  for (const auto& e : kErrors) {
    if (Is(name, e.name)) return out.Number(t.*e.counter), true;
  }
  static const int kWorkdays[] = {1, 2, 3, 4, 5};
  static const int kWeekend[] = {0, 6};
  static const struct {
    const char* hits;
    const char* users;
    const char* percent;
    const int* days;
    int count;
  } kDayGroups[] = {
      {"TopWeekdaysWeekdayHits", "TopWeekdaysWeekdayUsers", "TopWeekdaysWeekdayAsPercent", kWorkdays, 5},
      {"TopWeekdaysWeekendHits", "TopWeekdaysWeekendUsers", "TopWeekdaysWeekendAsPercent", kWeekend, 2}};
  for (const auto& g : kDayGroups) {
    if (Is(name, g.hits)) return out.Number(SumDays(context, weekdays, g.days, g.count, false)), true;
    if (Is(name, g.users)) return out.Number(SumDays(context, weekdays, g.days, g.count, true)), true;
    if (Is(name, g.percent)) {
      const uint32_t sum = SumDays(context, weekdays, g.days, g.count, false);
      out.Set(sum == 0 ? std::string("0") : PercentText(sum, AllHits(weekdays)));
      return true;
    }
  }
  static const struct {
    const char* hits;
    const char* users;
    const char* percent;
    bool work;
  } kHourGroups[] = {{"TopHoursWorkHoursHits", "TopHoursWorkHoursUsers", "TopHoursWorkHoursAsPercent", true},
                     {"TopHoursAfterHoursHits", "TopHoursAfterHoursUsers", "TopHoursAfterHoursAsPercent", false}};
  for (const auto& g : kHourGroups) {
    if (Is(name, g.hits)) return out.Number(SumHoursBy(context, hoursTable, g.work, false)), true;
    if (Is(name, g.users)) return out.Number(SumHoursBy(context, hoursTable, g.work, true)), true;
    if (Is(name, g.percent)) {
      const uint32_t sum = SumHoursBy(context, hoursTable, g.work, false);
      out.Set(sum == 0 ? std::string("0") : PercentText(sum, AllHits(hoursTable)));
      return true;
    }
  }
  return false;
}

}  // namespace

// ---- public operations ----------------------------------------------------------

void ResetResolverCounters() {
  ForgetTableSums();
  for (LookupState& s : g_lookup) {
    s.counter = 0;
    s.currentRow = 0;
    s.data[0] = 0;
  }
}

void DisconnectMorvaneLookup() {
  if (MorvaneLookupConnected()) DisconnectFromMorvaneDatabase();
}

uint32_t ReportDayCount(uint32_t rangeStart, uint32_t rangeEnd, uint32_t now) {
  const uint32_t end = std::min(now, rangeEnd);
  if (end <= rangeStart) return 0;
  const uint32_t span = end - rangeStart;
  return span / 86400 + (span % 86400 != 0 ? 1 : 0);
}

uint32_t SumWorkHoursHits(const AnalysisContext* context, const SummaryTableEntry* hours) {
  return SumHoursBy(context, hours, true, false);
}
uint32_t SumAfterHoursHits(const AnalysisContext* context, const SummaryTableEntry* hours) {
  return SumHoursBy(context, hours, false, false);
}
uint32_t SumWorkHoursUsers(const AnalysisContext* context, const SummaryTableEntry* hours) {
  return SumHoursBy(context, hours, true, true);
}
uint32_t SumAfterHoursUsers(const AnalysisContext* context, const SummaryTableEntry* hours) {
  return SumHoursBy(context, hours, false, true);
}

int ResolveSummaryByDay(const AnalysisContext* context, const char* name, char* text, size_t size,
                        uint32_t* markerFlag) {
  const Out out{text, size, markerFlag};
  if (context == nullptr || name == nullptr) return 1;
  const TemplateRecord& t = context->templ;
  static const char* const kNames[] = {
      "SummaryByDayAvgUsersOnWeekdays",  "SummaryByDayAvgHitsOnWeekdays",    "SummaryByDayAvgUsersOnWeekends",
      "SummaryByDayAvgHitsOnWeekends",   "SummaryByDayMostActiveDayOfWeek",  "SummaryByDayLeastActiveDayOfWeek",
      "SummaryByDayMostActiveDayEver",   "SummaryByDayMostActiveDayEverHits", "SummaryByDayLeastActiveDayEver",
      "SummaryByDayLeastActiveDayEverHits"};
  int which = -1;
  for (int i = 0; i < 10; ++i) {
    if (Is(name, kNames[i])) which = i;
  }
  if (which < 0) return 1;
  if (IsReferrerOrAgentLog(context)) {
    out.Marker(kRemove);
    return 1;
  }
  const uint32_t weekendDays = t.WeekendCount == 1 ? 1 : (t.WeekendCount + 1) / 2;
  const SummaryTableEntry* weekdays =
      t.TopTablesPtr != nullptr && t.TopTablesCount > 0 ? &t.TopTablesPtr[kTopWeekdays] : nullptr;
  switch (which) {
    case 0: out.Number(t.WeekdayCount == 0 ? 0 : t.WeekdayUsers / t.WeekdayCount); break;
    case 1: out.Number(t.WeekdayCount == 0 ? 0 : t.WeekdayHits / t.WeekdayCount); break;
    case 2: out.Number(weekendDays == 0 ? 0 : t.WeekendUsers / weekendDays); break;
    case 3: out.Number(weekendDays == 0 ? 0 : t.WeekendHits / weekendDays); break;
    case 4: out.Set(ExtremeItemName(weekdays, true)); break;
    case 5: out.Set(ExtremeItemName(weekdays, false)); break;
    case 6: out.Set(std::string(t.MostHitsDay, strnlen(t.MostHitsDay, sizeof t.MostHitsDay))); break;
    case 7: out.Number(t.MostHits); break;
    case 8: out.Set(std::string(t.FewestHitsDay, strnlen(t.FewestHitsDay, sizeof t.FewestHitsDay))); break;
    default:
      if (t.FewestHits == 0xFFFFFFFFu) {
        out.Set("N/A");
      } else {
        out.Number(t.FewestHits);
      }
      break;
  }
  return 1;
}

int ResolveTemplateVariable(ReportHandle* run, AnalysisContext* context, const char* name, char* text, size_t size,
                            uint32_t* markerFlag, ReportFileCallback callback) {
  if (text == nullptr || size == 0) return 0;
  text[0] = 0;
  if (context == nullptr || name == nullptr) return 0;
  const Out out{text, size, markerFlag};

  // 1. Paths and document automation.
  if (Is(name, "KelvaronPath")) {
    std::string path = context->outputPath;
    const size_t cut = path.find_last_of("\\/:");
    if (cut != std::string::npos) path.resize(path[cut] == ':' ? cut + 1 : cut);
    out.Set(path);
    return 1;
  }
  if (Is(name, "KelvaronINIFile")) return out.Set(MainPath() + "kvm_log.ini"), 1;
  if (Is(name, "MSWordAutoExitOrNot")) return 1;
  if (Is(name, "MSWordAutoPrintOrNot")) {
    if (markerFlag != nullptr) *markerFlag = 1;
    return 1;
  }
  if (Is(name, "MSWordProgressWindow")) {
    if (callback != nullptr) callback(0, text, 1);
    return 1;
  }
  // 2. Header values.
  if (ResolveHeader(context, name, out)) return 1;
  // 3. Days.
  if (Starts(name, "SummaryByDay")) return ResolveSummaryByDay(context, name, text, size, markerFlag);
  // 4. Hours and technical values.
  if (ResolveTechnical(context, name, out)) return 1;
  // 5. Table families, with the user families (6) and the ads (7) in their
  //    places of the order.
  if (ResolveFamilies(context, name, out, callback, kFamiliesBeforeUsers, std::size(kFamiliesBeforeUsers))) return 1;
  if (ResolveUserFamily(run, context, name, out, callback, 0)) return 1;
  if (ResolveUserFamily(run, context, name, out, callback, 1)) return 1;
  if (ResolveFamilies(context, name, out, callback, kFamiliesAfterUsers, std::size(kFamiliesAfterUsers))) return 1;
  if (Starts(name, "TopAds") && !Starts(name, "TopAdClicks") && !Starts(name, "TopAdViews")) {
    ResolveAds(context, name, out, callback);
    return 1;
  }
  if (ResolveFamilies(context, name, out, callback, kFamiliesAfterAds, std::size(kFamiliesAfterAds))) return 1;
  if (Is(name, "ReportProcessTime")) {
    const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
    return out.Set(TimeText(now >= context->creationTime ? now - context->creationTime : 0)), 1;
  }
  if (Starts(name, "TopUserSessions")) {
    SummaryTableEntry* sessions = context->templ.TopUsersPtr;
    if (sessions != nullptr) {
      int32_t control = 0;
      EmitReportTable(context, text, size, name, "TopUserSessions", sessions, 0, 0, &control, callback);
      if (control == 1 && markerFlag != nullptr) *markerFlag = 1;
    }
    return 1;
  }
  // 8. Debug totals.
  if (Starts(name, "TopTotalsDebugElem")) {
    const SectionTableEntry* sections = GetSectionTable();
    uint32_t items = 0;
    uint32_t names = 0;
    for (int i = 0; i < kItemTableCount && sections != nullptr; ++i) {
      const SummaryTableEntry* table = TableAt(context, i);
      if (table == nullptr) continue;
      items += table->Count;
      names += NameSizes(table);
    }
    if (context->templ.TopUsersPtr != nullptr) {
      items += context->templ.TopUsersPtr->Count;
      names += NameSizes(context->templ.TopUsersPtr);
    }
    if (Starts(name, "TopTotalsDebugElemCount")) return out.Number(items), 1;
    if (Starts(name, "TopTotalsDebugElemNameSize")) return out.Number(names), 1;
    if (Starts(name, "TopTotalsDebugElemSize")) return out.Number(static_cast<long>(items) * 348), 1;
  }
  // 9. Style values.
  if (Starts(name, "Style_")) return ResolveStyle(name, out) ? 1 : 0;
  // 10. Column and description markers.
  if (ResolveColumns(run, name, out)) return 1;
  // 11. Column counts.
  if (Starts(name, "ColumnCount_")) {
    ResolveColumnCount(name, out);
    return 1;
  }
  // 12. The report header of the style, copied as it stands.
  if (Starts(name, "ReportHeader")) return out.Set(context->emptyText2), 1;
  return 0;
}

}  // namespace vrn
