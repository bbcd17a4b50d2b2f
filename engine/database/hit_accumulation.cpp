// One hit into the analysis database.
#include "engine/database/hit_accumulation.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstring>
#include <ctime>
#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

#include "engine/core/engine_state.h"
#include "engine/core/filter_eval.h"
#include "engine/core/report_run.h"
#include "engine/core/search_keywords.h"
#include "engine/database/batch_worker.h"
#include "engine/database/finishing.h"
#include "engine/database/org_lookup.h"

namespace vrn {
namespace {

// ---- text helpers ------------------------------------------------------------------

inline char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// A hit text: null and a lone "-" are no value.
const char* Text(const char* text) {
  if (text == nullptr || (text[0] == '-' && text[1] == 0)) return "";
  return text;
}

bool EqualsNoCase(const char* a, const char* b) {
  size_t i = 0;
  for (; a[i] != 0 && b[i] != 0; ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return a[i] == 0 && b[i] == 0;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(const char* text, const char* prefix) {
  for (size_t i = 0; prefix[i] != 0; ++i) {
    if (text[i] == 0 || Lower(text[i]) != Lower(prefix[i])) return false;
  }
  return true;
}

void CopyBounded(char* dst, size_t size, const char* src, size_t max = static_cast<size_t>(-1)) {
  size_t n = 0;
  if (src != nullptr) {
    while (n + 1 < size && n < max && src[n] != 0) {
      dst[n] = src[n];
      ++n;
    }
  }
  dst[n] = 0;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsNumericText(const char* text) {
  if (text[0] == 0) return false;
  for (const char* p = text; *p != 0; ++p) {
    if ((*p < '0' || *p > '9') && *p != '.') return false;
  }
  return true;
}

const char* OptionText(const AnalysisContext* context, int index, const char* fallback) {
  if (context->options == nullptr || index < 0 || index >= kOptTextCount) return fallback;
  const char* text = context->options->texts[index];
  return text != nullptr ? text : fallback;
}

// ---- tables ------------------------------------------------------------------------

SummaryTableEntry* TableOf(AnalysisContext* context, uint32_t table) {
  TemplateRecord& t = context->templ;
  if (t.TopTablesPtr == nullptr || table >= t.TopTablesCount) return nullptr;
  return &t.TopTablesPtr[table];
}

NameTableEntry* ItemOf(SummaryTableEntry* table, uint32_t itemNumber) {
  if (table == nullptr) return nullptr;
  NameTableEntry** items = table->Items != nullptr ? table->Items : table->ItemBlock;
  if (items == nullptr || itemNumber >= table->Count + table->DeleteCount) return nullptr;
  return items[itemNumber];
}

// A table is filled when the report uses it and the analysis has it (an
// analysis loaded from an older database may hold fewer tables).
bool Used(const AnalysisContext* context, int table) {
  return IsTableUsed(table) && context->templ.TopTablesPtr != nullptr &&
         static_cast<uint32_t>(table) < context->templ.TopTablesCount;
}

// Adds `name` to table `number` (clearing its empty flag); the item and its
// number, or null when the table operation failed.
NameTableEntry* AddName(AnalysisContext* context, uint32_t number, const char* name, uint32_t* itemNumber = nullptr) {
  SummaryTableEntry* table = TableOf(context, number);
  if (table == nullptr) return nullptr;
  ClearTableEmpty(static_cast<int>(number));
  const uint32_t found = AddNameToTable(table, name);
  if (found == 0) return nullptr;
  if (itemNumber != nullptr) *itemNumber = found - 1;
  return ItemOf(table, found - 1);
}

// Adds and counts (CountItemHit); false when the table operation failed.
bool CountName(AnalysisContext* context, uint32_t number, const char* name, uint16_t slot, uint32_t newVisitor) {
  NameTableEntry* item = AddName(context, number, name);
  if (item == nullptr) return false;
  CountItemHit(item, slot, newVisitor);
  return true;
}

// Users of `item` rise only the first time the visit touches it (list `list`).
void CountUserByList(AnalysisContext* context, NameTableEntry* visit, uint16_t list, NameTableEntry* item,
                     uint32_t itemNumber, uint16_t slot) {
  if (visit == nullptr || item == nullptr) return;
  if (AddTopName(context, visit, list, itemNumber) == 1) CountItemUser(item, slot);
}

uint32_t ListCount(const NameTableEntry* visit, uint16_t list) {
  if (visit == nullptr || visit->TopNames == nullptr || visit->TopNamesCount <= list) return 0;
  return TopNameItemCount(visit->Lists()[list]);
}

void AppendTrail(AnalysisContext* context, NameTableEntry* visit, uint32_t itemNumber, uint16_t isForm) {
  if (visit == nullptr || itemNumber > 0xFFFF) return;
  if (visit->TopNames == nullptr && CreateItemTopNames(visit) == 0) return;
  TopNameList& trail = visit->Lists()[kListTrail];
  AppendVisitTrail(context, &trail.count, &trail.trail, static_cast<uint16_t>(itemNumber), isForm);
}

// ---- the search tables ---------------------------------------------------------------

class ContextSearchTables : public SearchTables {
 public:
  explicit ContextSearchTables(AnalysisContext* context) : context_(context) {}
  bool CountItem(uint32_t table, const char* name, uint16_t slot, uint32_t newVisit, SearchItemRef* ref) override {
    NameTableEntry* item = AddName(context_, table, name);
    if (item == nullptr) return false;
    CountItemHit(item, slot, newVisit);
    if (ref != nullptr) {
      ref->name = item->String;
      ref->detailCount = &item->TopNamesCount;
      ref->details = reinterpret_cast<decltype(ref->details)>(&item->TopNames);
    }
    return true;
  }

 private:
  AnalysisContext* context_;
};

// ---- agents ------------------------------------------------------------------------

struct Row {
  const char* pattern;
  const char* second;
  const char* name;
};

const Row kBrowserRows[] = {
    {"WEBTV", nullptr, "WebTV"},
    {"NCSA MOSAIC", nullptr, "NCSA Mosaic"},
    {"QMOSAIC", nullptr, "Quarterdeck Mosaic"},
    {"OMNIWEB", nullptr, "OmniWeb"},
    {"IBM WEBEXPLORER", nullptr, "IBM WebExplorer"},
    {"LYNX", nullptr, "Lynx"},
    {"MICROSOFT INTERNET EXPLORER", nullptr, "Microsoft Internet Explorer"},
    {"MSIE", nullptr, "Microsoft Internet Explorer"},
    {"SCOUTGET", nullptr, "Scoutget"},
    {"KELVARON", nullptr, "Kelvaron"},
    {"AIR_MOSAIC", nullptr, "Spry AIR Mosaic"},
    {"SPRY_MOSAIC", nullptr, "Spry AIR Mosaic"},
    {"SPYGLASS_MOSAIC", nullptr, "SpyGlass Mosaic"},
    {"ENHANCED_MOSAIC", nullptr, "SpyGlass Mosaic"},
    {"COMPUSERVE", nullptr, "Compuserve"},
    {"AOLBROWSER", nullptr, "America Online Browser"},
    {"NETCRUISER", nullptr, "NetCruiser"},
    {"IWENG", nullptr, "IWENG"},
    {"GNNWORK", nullptr, "GNNworks"},
    {"FFINET", nullptr, "FFiNet DLL"},
};

const Row kPlatformRows[] = {
    {"WIN95", nullptr, "Windows 95"},
    {"WINDOWS 95", nullptr, "Windows 95"},
    {"WINNT", nullptr, "Windows NT"},
    {"WINDOWS NT", nullptr, "Windows NT"},
    {"WINDOWS X86", nullptr, "Windows 3.x"},
    {"WIN16", nullptr, "Windows 3.x"},
    {"WIN32", nullptr, "Windows Win32s"},
    {"WINDOWS", "16BIT", "Windows 3.x"},
    {"WINDOWS", "32BIT", "Windows Win32s"},
    {"WINDOWS", "32-BIT", "Windows Win32s"},
    {"MACINTOSH", nullptr, "Macintosh"},
    {"LINUX", nullptr, "Linux"},
    {"AIR_MOSAIC", "16BIT", "Windows 3.x"},
    {"AIR_MOSAIC", "32BIT", "Windows Win32s"},
    {"SUN", nullptr, "SunOS"},
    {"HP-UX", nullptr, "Hewlett Packard Unix (HP9000)"},
    {"X WINDOW", nullptr, "X Windows"},
    {"OS/2", nullptr, "OS/2"},
};

const char* const kRobotWords[] = {"SPYDER",  "SPIDER",  "SLURP",         "SCOOTER", "INFOSEEK",  "GULLIVER", "LYCOS",
                                   "FIDO",    "NETSITE", "SURFBOT",       "WWW-COLLECTOR", "BACKRUB", "CRAWLER",
                                   "ENIGMABOT", "LINKBOT", "WEBFIND", "HAPPYBOT", "DOCUMAGIX", "WHACKER", "OBOT"};

const char* FindRow(const Row* rows, size_t count, std::string_view upper) {
  for (size_t i = 0; i < count; ++i) {
    if (upper.find(rows[i].pattern) == std::string_view::npos) continue;
    if (rows[i].second != nullptr && upper.find(rows[i].second) == std::string_view::npos) continue;
    return rows[i].name;
  }
  return nullptr;
}

// What an agent text names in the agent tables. It depends on the text
// alone, so it is worked out once for each text the log holds; the "Others"
// option is put in where the agent names nothing.
struct AgentNames {
  bool othersBrowser = false;  // browser: the "Others" text instead of `browser`
  std::string browser;
  std::string netscape;  // table 33 name when the browser is "Netscape"
  std::string explorer;  // table 34 name when the browser is "Microsoft Internet Explorer"
  const char* platform = nullptr;  // null: "Others"
  bool robot = false;
  std::string spider;
};

void DescribeAgent(std::string_view agent, AgentNames* out) {
  // The upper-cased first 99 characters decide.
  char upperText[99];
  const size_t upperLength = std::min<size_t>(agent.size(), sizeof upperText);
  for (size_t i = 0; i < upperLength; ++i) upperText[i] = Upper(agent[i]);
  const std::string_view upper(upperText, upperLength);
  const bool mozilla = upper.find("MOZILLA") != std::string_view::npos;
  const bool compatible = upper.find("COMPATIBLE") != std::string_view::npos;

  out->othersBrowser = false;
  if (agent.empty()) {
    out->othersBrowser = true;
    out->browser.clear();
  } else if (mozilla && !compatible) {
    out->browser = "Netscape";
  } else if (const char* name = FindRow(kBrowserRows, std::size(kBrowserRows), upper)) {
    out->browser = name;
  } else if (mozilla && compatible) {
    out->browser = "Other Netscape Compatible";
  } else {
    out->browser.assign(agent);
  }

  out->netscape = "Netscape";
  const size_t slash = agent.find('/');
  const size_t dot = slash == std::string_view::npos ? std::string_view::npos : agent.find('.', slash + 1);
  if (dot != std::string_view::npos) {
    out->netscape += ' ';
    out->netscape.append(agent.substr(slash + 1, dot - slash));
    out->netscape += 'x';
  }

  std::string fullUpper(agent);
  for (char& c : fullUpper) c = Upper(c);
  out->explorer = "Explorer ";
  const size_t msie = fullUpper.find("MSIE ");
  if (fullUpper.find("MICROSOFT INTERNET EXPLORER/4") != std::string::npos) {
    out->explorer += "4.";
  } else if (msie != std::string::npos) {
    out->explorer.append(agent.substr(msie + 5, 2));
  } else {
    out->explorer += "1.";
  }
  out->explorer += 'x';

  out->platform = FindRow(kPlatformRows, std::size(kPlatformRows), upper);

  out->robot = false;
  for (const char* word : kRobotWords) out->robot = out->robot || upper.find(word) != std::string_view::npos;
  out->spider.clear();
  if (out->robot) {
    std::string_view name = agent.substr(0, 99);
    if (name.substr(0, 7) != "Mozilla") {
      const size_t cut = name.find('/');
      if (cut != std::string_view::npos) name = name.substr(0, cut);
    }
    out->spider.assign(name);
  }
}

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

// The names of the agent texts met so far on this thread; emptied when it
// grows past kAgentCacheSize texts.
constexpr size_t kAgentCacheSize = 4096;
using AgentNameMap = std::unordered_map<std::string, AgentNames, TextHash, std::equal_to<>>;
thread_local AgentNameMap t_agentNames;
// The entry of the agent looked up last (hits of one visit come together);
// elements of the map stay where they are until it is emptied.
thread_local const AgentNameMap::value_type* t_lastAgent = nullptr;

const AgentNames& NamesOfAgent(std::string_view agent) {
  if (t_lastAgent != nullptr && t_lastAgent->first == agent) return t_lastAgent->second;
  auto found = t_agentNames.find(agent);
  if (found == t_agentNames.end()) {
    if (t_agentNames.size() >= kAgentCacheSize) t_agentNames.clear();
    found = t_agentNames.emplace(std::string(agent), AgentNames{}).first;
    DescribeAgent(agent, &found->second);
  }
  t_lastAgent = &*found;
  return found->second;
}

bool UpdateAgentTables(AnalysisContext* context, const char* userAgent, uint16_t slot, uint32_t newVisitor) {
  const bool browsers = Used(context, kTopBrowsers);
  const bool platforms = Used(context, kTopPlatforms);
  const bool spiders = Used(context, kTopSpiders);
  const bool netscape = Used(context, kTopNetscape);
  const bool explorer = Used(context, kTopExplorer);
  if (!browsers && !platforms && !spiders && !netscape && !explorer) return true;
  // The agent, cut at its first double blank.
  const char* text = Text(userAgent);
  size_t length = 0;
  while (text[length] != 0 && !(text[length] == ' ' && text[length + 1] == ' ')) ++length;
  const std::string_view agent(text, length);
  const AgentNames& names = NamesOfAgent(agent);
  const char* others = OptionText(context, kOptOthers, "Others");

  const char* browser = names.othersBrowser ? others : names.browser.c_str();
  if (browsers && !CountName(context, kTopBrowsers, browser, slot, newVisitor)) return false;
  if (netscape && std::strcmp(browser, "Netscape") == 0 &&
      !CountName(context, kTopNetscape, names.netscape.c_str(), slot, newVisitor)) {
    return false;
  }
  if (explorer && std::strcmp(browser, "Microsoft Internet Explorer") == 0 &&
      !CountName(context, kTopExplorer, names.explorer.c_str(), slot, newVisitor)) {
    return false;
  }
  if (platforms &&
      !CountName(context, kTopPlatforms, names.platform != nullptr ? names.platform : others, slot, newVisitor)) {
    return false;
  }
  if (spiders && names.robot && !CountName(context, kTopSpiders, names.spider.c_str(), slot, newVisitor)) return false;
  return true;
}

// ---- page tables ---------------------------------------------------------------------

// The first-level directory of a page, or false when there is none to count.
bool DirectoryOf(const AnalysisContext* context, const char* page, char* out, size_t size) {
  size_t restStart = 0;
  const size_t folderLength = std::strlen(context->homePageFolder);
  if (folderLength != 0 && StartsWithNoCase(page, context->homePageFolder)) {
    restStart = folderLength;
  } else {
    // A page built without a site base (no home page and no server field)
    // is the request path itself: its directory is taken from the path.
    const char* scheme = std::strstr(page, "://");
    if (scheme != nullptr) {
      restStart = static_cast<size_t>(scheme - page) + 3;
      while (page[restStart] != 0 && !IsSeparator(page[restStart])) ++restStart;
    }
  }
  const char* rest = page + restStart;
  size_t cut = 0;
  if (IsSeparator(rest[0])) {
    cut = 1;
    while (rest[cut] != 0 && !IsSeparator(rest[cut])) ++cut;
    if (rest[cut] == 0) cut = 0;  // no further separator: up to the first one
  } else {
    while (rest[cut] != 0 && !IsSeparator(rest[cut])) ++cut;
    if (rest[cut] == 0) return false;
  }
  CopyBounded(out, size, page, restStart + cut + 1);
  return true;
}

bool IsHomePageHit(ReportHandle* run, const AnalysisContext* context, const HitRecord* hit, const char* page,
                   const char* pagePart) {
  if (hit->FormatCode == 3 && g_engine.overrideIISHomePage == 0) {
    const char* p = pagePart;
    while (IsSeparator(*p)) ++p;
    return context->homePageFileName[0] != 0 && StartsWithNoCase(p, context->homePageFileName);
  }
  const bool rootOrDefault = ((IsSeparator(pagePart[0]) && pagePart[1] == 0) ||
                              (pagePart[0] != 0 && EqualsNoCase(pagePart + 1, context->homePageFileName)));
  if (!rootOrDefault) return false;
  return Text(hit->Server)[0] == 0 || (run != nullptr && run->overrideMultiHome != 0) ||
         (context->homePageFolder[0] != 0 && StartsWithNoCase(page, context->homePageFolder));
}

// The text after the first "." met from the end that is followed by more
// than two characters (the whole text when none).
const char* DomainSuffix(const char* domain) {
  const size_t length = std::strlen(domain);
  for (size_t i = length; i > 0; --i) {
    if (domain[i - 1] == '.' && length - i > 2) return domain + i;
  }
  return nullptr;
}

bool UpdateAds(AnalysisContext* context, const HitRecord* hit, NameTableEntry* visit, uint16_t slot) {
  if (context->adViewCount == 0 || context->adViews == nullptr) return true;
  if (!Used(context, kTopAds) && !Used(context, kTopAdClicks) && !Used(context, kTopAdViews)) return true;
  // The upper-cased first 1023 characters of the address.
  char url[1024];
  {
    const char* text = Text(hit->URL);
    size_t n = 0;
    for (; n + 1 < sizeof url && text[n] != 0; ++n) url[n] = Upper(text[n]);
    url[n] = 0;
  }
  auto allContained = [&url](uint16_t count, const char* words) {
    if (count == 0) return false;
    const char* w = words;
    for (uint16_t i = 0; i < count; ++i) {
      if (std::strstr(url, w) == nullptr) return false;
      w += std::strlen(w) + 1;
    }
    return true;
  };
  for (uint16_t i = 0; i < context->adViewCount; ++i) {
    const AdViewEntry* entry = context->adViews[i];
    if (entry == nullptr) continue;
    const bool view = allContained(entry->firstCount, entry->firstWords);
    const bool click = allContained(entry->secondCount, entry->secondWords);
    if (!view && !click) continue;
    char name[sizeof entry->name + 1];
    CopyBounded(name, sizeof name, entry->name, sizeof entry->name);
    const int kinds[2] = {view ? static_cast<int>(kTopAdViews) : -1, click ? static_cast<int>(kTopAdClicks) : -1};
    for (int table : kinds) {
      if (table < 0) continue;
      if (Used(context, kTopAds) && !CountName(context, kTopAds, name, slot, 0)) return false;
      if (Used(context, table)) {
        uint32_t number = 0;
        NameTableEntry* item = AddName(context, static_cast<uint32_t>(table), name, &number);
        if (item == nullptr) return false;
        CountItemHits(item, slot);
        CountUserByList(context, visit, table == kTopAdViews ? kListAdViews : kListAdClicks, item, number, slot);
      }
    }
    break;
  }
  return true;
}

// Reused for the city names, so that it keeps its room.
thread_local std::string t_cityText;

// Geography and organisation of a new visitor.
// The run's counters the side tables count: the new visitors' origins by
// time slot and the failed hits by status. A side tables' thread keeps its
// own until the run settles (the run's lie beside the counters the visit
// thread writes for every hit).
struct SideCounts {
  uint32_t unknown[kTimeSlots] = {};
  uint32_t domestic[kTimeSlots] = {};
  uint32_t international[kTimeSlots] = {};
  uint32_t failed5xx[4] = {};  // 500-503
  uint32_t failed4xx[5] = {};  // 400-404

  // Adds them to the run's and starts again from zero.
  void MoveTo(TemplateRecord* t) {
    for (int s = 0; s < kTimeSlots; ++s) {
      t->SlotUnknownCountry[s] += unknown[s];
      t->SlotDomestic[s] += domestic[s];
      t->SlotInternational[s] += international[s];
    }
    uint32_t* to5xx[4] = {&t->Failed500, &t->Failed501, &t->Failed502, &t->Failed503};
    uint32_t* to4xx[5] = {&t->Failed400, &t->Failed401, &t->Failed402, &t->Failed403, &t->Failed404};
    for (int i = 0; i < 4; ++i) *to5xx[i] += failed5xx[i];
    for (int i = 0; i < 5; ++i) *to4xx[i] += failed4xx[i];
    *this = SideCounts{};
  }
};

bool UpdateGeography(AnalysisContext* context, const char* domain, const OrganizationRecord* org, bool found,
                     uint16_t slot, SideCounts* counts) {
  std::string code;
  if (found && org->country[0] != 0) {
    code = org->country;
  } else if (!found && !IsNumericText(domain)) {
    const char* dot = std::strrchr(domain, '.');
    const char* last = dot != nullptr ? dot + 1 : domain;
    bool us = false;
    for (uint16_t i = 0; i < context->usDomainCount && context->usDomains != nullptr; ++i) {
      if (context->usDomains[i] != nullptr && EqualsNoCase(context->usDomains[i], last)) us = true;
    }
    if (us) code = "US";
    else if (last[0] != 0 && std::strlen(last) < 3) code = last;
  }
  for (char& c : code) c = Upper(c);

  const bool homeAny = std::strcmp(context->Country, "*") == 0;
  const bool unknown = code.empty();
  const bool domestic = !unknown && (homeAny || EqualsNoCase(code.c_str(), context->Country));
  if (unknown) ++counts->unknown[slot];
  else if (domestic) ++counts->domestic[slot];
  else ++counts->international[slot];

  if (!unknown && Used(context, kTopCountries) && !CountName(context, kTopCountries, code.c_str(), slot, 1)) return false;
  if (Used(context, kTopVisitors)) {
    const char* origin = nullptr;
    if (unknown) origin = OptionText(context, kOptLegendUnknown, "Unknown");
    else if (homeAny) origin = GetCountryName(context, "*");
    else if (domestic) origin = code.c_str();
    else origin = OptionText(context, kOptLegendInternational, "International");
    if (!CountName(context, kTopVisitors, origin, slot, 1)) return false;
  }
  if (found && Used(context, kTopStates) && org->state[0] != 0 && (code == "US" || code == "CA")) {
    if (!CountName(context, kTopStates, org->state, slot, 1)) return false;
  }
  if (found && domestic && Used(context, kTopCities) && org->city[0] != 0 && std::strcmp(org->city, "N/A") != 0) {
    // The country and state names have a buffer each.
    const char* country = GetCountryName(context, code.c_str());
    std::string& city = t_cityText;
    city = org->city;
    if (org->state[0] != 0) {
      city += ", ";
      city += GetStateName(context, org->state);
    }
    city += ", ";
    city += country;
    if (!CountName(context, kTopCities, city.c_str(), slot, 1)) return false;
  }
  return true;
}

const char* const kHourNames[24] = {"00:00-00:59", "01:00-01:59", "02:00-02:59", "03:00-03:59", "04:00-04:59",
                                    "05:00-05:59", "06:00-06:59", "07:00-07:59", "08:00-08:59", "09:00-09:59",
                                    "10:00-10:59", "11:00-11:59", "12:00-12:59", "13:00-13:59", "14:00-14:59",
                                    "15:00-15:59", "16:00-16:59", "17:00-17:59", "18:00-18:59", "19:00-19:59",
                                    "20:00-20:59", "21:00-21:59", "22:00-22:59", "23:00-23:59"};
const char* const kWeekdayFallback[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

bool UpdateCalendar(AnalysisContext* context, uint32_t time, uint16_t slot, uint32_t newVisitor) {
  // UTC weekday (1 January 1970 was a Thursday) and hour.
  const uint32_t days = time / 86400;
  const int weekday = static_cast<int>((days + 4) % 7);
  const int hour = static_cast<int>(time % 86400 / 3600);
  if (Used(context, kTopWeekdays)) {
    SummaryTableEntry* table = TableOf(context, kTopWeekdays);
    if (table == nullptr) return false;
    auto name = [context](int day) { return OptionText(context, kOptShortWeekdays + day, kWeekdayFallback[day]); };
    if (table->Count == 0) {
      for (int d = 0; d < 7; ++d) {
        if (AddName(context, kTopWeekdays, name(d)) == nullptr) return false;
      }
    }
    if (!CountName(context, kTopWeekdays, name(weekday), slot, newVisitor)) return false;
  }
  if (Used(context, kTopHours)) {
    SummaryTableEntry* table = TableOf(context, kTopHours);
    if (table == nullptr) return false;
    if (table->Count == 0) {
      for (const char* name : kHourNames) {
        if (AddName(context, kTopHours, name) == nullptr) return false;
      }
    }
    if (!CountName(context, kTopHours, kHourNames[hour], slot, newVisitor)) return false;
  }
  return true;
}

// Referrer texts of tables 11 and 23.
void ReferrerKey(const char* referrer, std::string* key) {
  const char* q = std::strchr(referrer, '?');
  if (q == nullptr) {
    key->assign(referrer);
    return;
  }
  key->assign(referrer, static_cast<size_t>(q - referrer) + 1);
  key->append(q + 1, strnlen(q + 1, 35));
}

void ReferringSite(const char* referrer, std::string* site) {
  site->assign(referrer, strnlen(referrer, 199));
  if (StartsWithNoCase(site->c_str(), "file:///")) return;
  size_t from = 0;
  if (StartsWithNoCase(site->c_str(), "http://")) from = 7;
  else if (StartsWithNoCase(site->c_str(), "https://")) from = 8;
  else if (StartsWithNoCase(site->c_str(), "ftp://")) from = 6;
  const size_t cut = site->find_first_of("/\\:", from);
  if (cut == std::string::npos) return;
  (*site)[cut] = '/';
  site->resize(cut + 1);
}

// Reused for the referrer names, so that they keep their room.
thread_local std::string t_referrerText;

char g_pageBuffer[1024];
char g_countryName[256];
char g_stateName[256];

const char* NamedCodeName(const NamedCode* list, uint16_t count, const char* code, char* buffer, size_t size) {
  const char* name = code;
  for (uint16_t i = 0; list != nullptr && i < count; ++i) {
    if (list[i].name != nullptr && EqualsNoCase(list[i].code, code)) {
      name = list[i].name;
      break;
    }
  }
  CopyBounded(buffer, size, name);
  return buffer;
}

}  // namespace

// ---- counters ------------------------------------------------------------------------

void CountItemHits(NameTableEntry* item, uint16_t slot) {
  if (item == nullptr) return;
  ++item->SlotHits[slot % kTimeSlots];
  ++item->TotalByHits;
}

void CountItemUser(NameTableEntry* item, uint16_t slot) {
  if (item == nullptr) return;
  ++item->SlotUsers[slot % kTimeSlots];
  ++item->TotalByUsers;
}

void CountItemHit(NameTableEntry* item, uint16_t slot, uint32_t isNewVisitor) {
  CountItemHits(item, slot);
  if (isNewVisitor == 1) CountItemUser(item, slot);
}

void EnableReferrerTables() {
  MarkTableUsed(kTopReferers);
  MarkTableUsed(kTopReferingSites);
}

void EnableAgentTables() {
  for (int table : {kTopBrowsers, kTopPlatforms, kTopSpiders, kTopNetscape, kTopExplorer}) MarkTableUsed(table);
}

void FormatStatusText(char* out, size_t size, const char* format, uint32_t status) {
  if (out == nullptr || size == 0) return;
  std::string text;
  bool used = false;
  const char* p = format != nullptr ? format : "";
  while (*p != 0) {
    if (*p != '%') {
      text.push_back(*p++);
      continue;
    }
    if (p[1] == '%') {
      text.push_back('%');
      p += 2;
      continue;
    }
    // %[flags][width][l]conversion
    const char* q = p + 1;
    while (*q != 0 && std::strchr("-+ #0", *q) != nullptr) ++q;
    int widthDigits = 0;
    while (*q >= '0' && *q <= '9' && widthDigits < 3) {
      ++q;
      ++widthDigits;
    }
    if (*q == 'l') ++q;
    if (!used && (*q == 'd' || *q == 'i' || *q == 'u')) {
      std::string spec(p, static_cast<size_t>(q - p));
      spec.erase(std::remove(spec.begin(), spec.end(), 'l'), spec.end());
      spec += 'u';
      char number[64];
      std::snprintf(number, sizeof number, spec.c_str(), static_cast<unsigned>(status));
      text += number;
      used = true;
      p = q + 1;
      continue;
    }
    text.push_back(*p++);  // anything else stays as text
  }
  CopyBounded(out, size, text.c_str());
}

// ---- pages -----------------------------------------------------------------------------

const char* BuildPageName(ReportHandle* run, AnalysisContext* context, HitRecord* hit, int isFtp,
                          const char** pagePart, const char** extension) {
  char* buffer = g_pageBuffer;
  const size_t room = sizeof g_pageBuffer;
  const char* server = Text(hit->Server);
  size_t length = 0;
  if (server[0] == 0 || (run != nullptr && run->overrideMultiHome != 0)) {
    CopyBounded(buffer, room, context->homePageFolder);
    length = std::strlen(buffer);
  } else {
    const char* scheme = isFtp ? "ftp://" : "http://";
    CopyBounded(buffer, room, scheme);
    length = std::strlen(buffer);
    CopyBounded(buffer + length, room - length, server, strnlen(server, sizeof hit->Server));
    length += std::strlen(buffer + length);
  }
  const size_t partStart = length;
  const char* path = Text(hit->URL);
  if (isFtp && !IsSeparator(path[0]) && !(length > 0 && IsSeparator(buffer[length - 1])) && length + 1 < room) {
    buffer[length++] = '/';
    buffer[length] = 0;
  }
  CopyBounded(buffer + length, room - length, path, kMaxPagePath);
  length += std::strlen(buffer + length);

  // The extension: after the last "." of the last path segment, before "?".
  const char* question = std::strchr(buffer + partStart, '?');
  const char* segmentEnd = question != nullptr ? question : buffer + length;
  const char* ext = nullptr;
  for (const char* p = segmentEnd; p > buffer + partStart;) {
    --p;
    if (IsSeparator(*p)) break;
    if (*p == '.') {
      ext = p + 1;
      break;
    }
  }
  if (ext == nullptr && question == nullptr) {
    // A folder: the default document.
    if (length == 0 || !IsSeparator(buffer[length - 1])) {
      if (length + 1 < room) {
        buffer[length++] = '/';
        buffer[length] = 0;
      }
    }
    const size_t nameStart = length;
    CopyBounded(buffer + length, room - length, context->homePageFileName);
    const char* dot = std::strrchr(buffer + nameStart, '.');
    ext = dot != nullptr ? dot + 1 : nullptr;
  }
  if (pagePart != nullptr) *pagePart = buffer + partStart;
  if (extension != nullptr) *extension = ext != nullptr ? ext : buffer + std::strlen(buffer);
  return buffer;
}

namespace {

// An extension as the file types see it: its first 511 characters before
// any "?", and whether it has a "?".
struct ExtensionKey {
  std::string_view name;
  bool query = false;
};

ExtensionKey KeyOfExtension(const char* extension) {
  const char* question = std::strchr(extension, '?');
  const size_t length = strnlen(extension, question != nullptr ? static_cast<size_t>(question - extension) : 511);
  return {std::string_view(extension, length < 511 ? length : 511), question != nullptr};
}

bool MatchesFileType(const ExtensionKey& key, const FileType* fileType) {
  if (fileType == nullptr || !EqualsNoCase(key.name, fileType->Name)) return false;
  if (fileType->Number == 2) return true;
  if (fileType->Number == 1) return key.query;
  if (fileType->Number == 0) return !key.query;
  return false;
}

}  // namespace

int MatchFileType(const char* extension, const FileType* fileType) {
  if (extension == nullptr || fileType == nullptr) return 0;
  return MatchesFileType(KeyOfExtension(extension), fileType) ? 1 : 0;
}

int IsFormHit(const HitRecord* hit) {
  if (hit == nullptr) return 0;
  return hit->MethodCode == kMethodPost || (hit->MethodCode == kMethodGet && std::strchr(Text(hit->URL), '?') != nullptr);
}

int IsUploadHit(const HitRecord* hit) { return hit != nullptr && hit->MethodCode == kMethodPut ? 1 : 0; }

int IsDocumentHit(const AnalysisContext* context, const HitRecord* /*hit*/, const char* page, const char* extension) {
  if (extension != nullptr && extension[0] != 0) {
    const ExtensionKey key = KeyOfExtension(extension);
    for (uint16_t i = 0; i < context->documentTypeCount && context->documentTypes != nullptr; ++i) {
      if (MatchesFileType(key, context->documentTypes[i])) return 1;
    }
    return 0;
  }
  return page != nullptr && std::strchr(page, '?') == nullptr ? 1 : 0;
}

int MapHostToDomain(const AnalysisContext* context, const char* clientHost, char* domain) {
  if (context == nullptr || clientHost == nullptr || domain == nullptr) return 0;
  if (context->intranetCount == 0 || context->intranet == nullptr) return 0;
  // The host's labels.
  std::string_view labels[64];
  size_t labelCount = 0;
  {
    const char* start = clientHost;
    for (const char* p = clientHost;; ++p) {
      if (*p == '.' || *p == 0) {
        if (labelCount == 64) return 0;
        labels[labelCount++] = std::string_view(start, static_cast<size_t>(p - start));
        if (*p == 0) break;
        start = p + 1;
      }
    }
  }
  for (uint16_t e = 0; e < context->intranetCount; ++e) {
    const IntranetEntry* entry = context->intranet[e];
    if (entry == nullptr || entry->texts[0] == nullptr || entry->parts == nullptr) continue;
    if (entry->partCount != labelCount) continue;
    const char* pattern = entry->parts;
    bool all = true;
    for (size_t i = 0; i < labelCount && all; ++i) {
      const size_t plen = std::strlen(pattern);
      const std::string_view label = labels[i];
      if (plen > 0 && pattern[0] == '*') {
        all = label.size() + 1 >= plen && EqualsNoCase(label.substr(label.size() + 1 - plen), {pattern + 1, plen - 1});
      } else if (plen > 0 && pattern[plen - 1] == '*') {
        all = label.size() + 1 >= plen && EqualsNoCase(label.substr(0, plen - 1), {pattern, plen - 1});
      } else {
        all = EqualsNoCase(label, {pattern, plen});
      }
      pattern += plen + 1;
    }
    if (all) {
      CopyBounded(domain, sizeof(HitRecord::Domain), entry->texts[0]);
      return 1;
    }
  }
  return 0;
}

int TimeOnPage(SummaryTableEntry* sessionTable, SummaryTableEntry* directory, uint32_t isForm, NameTableEntry* visit,
               uint32_t pageItem, uint32_t time) {
  (void)sessionTable;
  if (visit == nullptr) return 0;
  int added = 0;
  uint32_t when = time;
  if (visit->LastPageTime != 0) {
    when = time > visit->LastPageTime ? time : visit->LastPageTime;
    const uint32_t spent = when - visit->LastPageTime;
    visit->TimeOnPages += spent;
    ++visit->TimeOnPagesCount;
    if (directory != nullptr) {
      NameTableEntry* previous =
          ItemOf(&directory[visit->LastPageWasForm != 0 ? kTopForms : kTopDocuments], visit->LastPageEntryItem);
      if (previous != nullptr) {
        previous->TimeOnPages += spent;
        ++previous->TimeOnPagesCount;
      }
    }
    added = 1;
  }
  visit->LastPageWasForm = isForm;
  visit->LastPageTime = when;
  visit->LastPageEntryItem = pageItem;
  return added;
}

const char* GetCountryName(const AnalysisContext* context, const char* code) {
  const ReportOptions* options = context != nullptr ? context->options : nullptr;
  return NamedCodeName(options != nullptr ? options->countries : nullptr, options != nullptr ? options->countryCount : 0,
                       code != nullptr ? code : "", g_countryName, sizeof g_countryName);
}

const char* GetStateName(const AnalysisContext* context, const char* code) {
  const ReportOptions* options = context != nullptr ? context->options : nullptr;
  return NamedCodeName(options != nullptr ? options->states : nullptr, options != nullptr ? options->stateCount : 0,
                       code != nullptr ? code : "", g_stateName, sizeof g_stateName);
}

// ---- one hit ---------------------------------------------------------------------------

// ---- the tables counted beside the visit ------------------------------------------
// The tables a hit reaches through its address, referrer, agent, user,
// extension, status and time alone (client hosts, search engines and
// phrases, extensions, referrers and referring sites, authenticated users,
// browsers, platforms and spiders, errors, weekdays and hours; domain
// suffixes, countries, visitor origins, states, cities and organisations)
// depend on the visit only through whether it is new. A run counts them on
// two threads of their own (the request's group and the visitor's), hit by
// hit in log order, while another keeps the visits; each table is only ever
// touched by one thread during a run, so every table ends as it would
// counted in one line.

namespace {

// What those tables need of a hit.
struct SideHit {
  uint32_t time = 0;
  uint32_t bytes = 0;
  uint32_t status = 0;
  uint16_t slot = 0;
  uint16_t formatCode = 0;
  bool success = false;
  uint32_t newVisitor = 0;
  bool methodOther = false;  // counted up to the organisation only
  bool isUpload = false;
  const char* clientHost = nullptr;
  const char* domain = nullptr;
  const char* referrer = nullptr;
  const char* agent = nullptr;
  const char* user = nullptr;
  const char* extension = nullptr;
};

// The side tables fall in two groups, each counted on a thread of its own
// during a run: the visitor's (organisation, domain suffix, origin,
// organisation table) and the request's (client hosts, search engines and
// phrases, extensions, referrers, authenticated users, agents, weekdays and
// hours). False when a table operation failed.
bool CountVisitorSide(AnalysisContext* context, const SideHit& h, SideCounts* counts) {
  const uint16_t slot = h.slot;
  const uint32_t newVisitor = h.newVisitor;
  const char* clientHost = Text(h.clientHost);
  if (h.methodOther) return true;

  // Organisation of a new visitor (the record is read only when found).
  OrganizationRecord org;
  bool orgFound = false;
  if (newVisitor == 1 && (Used(context, kTopCountries) || Used(context, kTopCompanies) || Used(context, kTopCities) ||
                          Used(context, kTopStates) || Used(context, kTopVisitors))) {
    std::memset(&org, 0, sizeof org);
    orgFound = FindOrganization(context, context->orgFileSize, 0, h.domain, &org) == 1;
  }
  if (!h.success) return true;

  const char* domain = Text(h.domain);
  if (Used(context, kTopSuffixes)) {
    const char* suffix = DomainSuffix(domain);
    if (suffix != nullptr && !IsNumericText(suffix)) {
      for (uint16_t i = 0; i < context->orgSuffixCount && context->orgSuffixes != nullptr; ++i) {
        if (context->orgSuffixes[i] == nullptr || !EqualsNoCase(context->orgSuffixes[i], suffix)) continue;
        const char* label = context->orgSuffixLabels != nullptr ? context->orgSuffixLabels[i] : nullptr;
        if (label != nullptr && !CountName(context, kTopSuffixes, label, slot, newVisitor)) return false;
        break;
      }
    }
  }

  if (newVisitor == 1 && !UpdateGeography(context, domain, &org, orgFound, slot, counts)) return false;

  if (Used(context, kTopCompanies)) {
    const char* name = domain;
    if (name[0] == 0 || g_engine.unresolvedDomain == name) {
      name = clientHost[0] != 0 ? clientHost : g_engine.unresolvedCountry.c_str();
    }
    SummaryTableEntry* table = TableOf(context, kTopCompanies);
    ClearTableEmpty(kTopCompanies);
    const uint32_t found = AddTimedItemToTable(0, nullptr, context, table, name, nullptr, h.time,
                                               context->CachedTime, context->MaxCachedCount, context->MaxTopCount);
    if (found == 0) return false;
    CountItemHit(ItemOf(table, found - 1), slot, newVisitor);
  }

  return true;
}

// `folder` is the run's folder for the search engine list; null when there
// is no run (no search then).
bool CountRequestSide(AnalysisContext* context, const char* folder, const SideHit& h, SideCounts* counts) {
  const uint16_t slot = h.slot;
  const uint32_t newVisitor = h.newVisitor;
  const char* clientHost = Text(h.clientHost);

  // Failed hits by status.
  if (!h.success) {
    const uint32_t status = h.status;
    if (Used(context, kTopServerErrors) && status >= 500 && status <= 503) {
      ++counts->failed5xx[status - 500];
      const char* name = OptionText(context, kOptReturnCode500 + static_cast<int>(status - 500), "");
      if (!CountName(context, kTopServerErrors, name, slot, 0)) return false;
    } else if (Used(context, kTopClientErrors)) {
      char name[256];
      if (status >= 400 && status <= 404) {
        ++counts->failed4xx[status - 400];
        CopyBounded(name, sizeof name, OptionText(context, kOptReturnCode400 + static_cast<int>(status - 400), ""));
      } else {
        FormatStatusText(name, sizeof name, OptionText(context, kOptReturnCodeOther, "%03d"), status);
      }
      if (!CountName(context, kTopClientErrors, name, slot, 0)) return false;
    }
  }

  // Client hosts.
  if (h.success && Used(context, kTopUsers)) {
    SummaryTableEntry* table = TableOf(context, kTopUsers);
    ClearTableEmpty(kTopUsers);
    const uint32_t found = AddItemToTable(0, nullptr, context, table, clientHost, nullptr, h.time, 0,
                                          context->MaxCachedCount, context->MaxTopCount, 0);
    if (found == 0) return false;
    CountItemHit(ItemOf(table, found - 1), slot, newVisitor);
  }

  // Search engines and keywords. A run without any search engine
  // definitions (no keywords.ini) counts none and goes on.
  if (folder != nullptr) {
    ContextSearchTables tables(context);
    if (ProcessSearchReferrerIn(folder, &context->searchEngines, &tables, h.referrer, slot, newVisitor) == 0 &&
        context->searchEngines != nullptr) {
      return false;
    }
  }

  if (h.methodOther || !h.success) return true;

  if (!h.isUpload && Used(context, kTopExtensions) && h.status != 304) {
    // The extension before any "?", or "*." and the default document's.
    const char* extension = Text(h.extension);
    char type[sizeof g_pageBuffer + 2];
    if (extension[0] != 0) {
      CopyBounded(type, sizeof type, extension, std::strcspn(extension, "?"));
    } else {
      const char* dot = std::strrchr(context->homePageFileName, '.');
      type[0] = '*';
      type[1] = '.';
      CopyBounded(type + 2, sizeof type - 2, dot != nullptr ? dot + 1 : "");
    }
    NameTableEntry* item = AddName(context, kTopExtensions, type);
    if (item == nullptr) return false;
    CountItemHits(item, slot);
    item->TotalBytes += static_cast<double>(h.bytes);
  }

  if (newVisitor == 1 || h.formatCode == 7) {
    const char* referrer = Text(h.referrer);
    const char* none = OptionText(context, kOptNoReferrer, "No Referrer");
    std::string& key = t_referrerText;
    if (Used(context, kTopReferers)) {
      if (referrer[0] != 0) ReferrerKey(referrer, &key);
      if (!CountName(context, kTopReferers, referrer[0] != 0 ? key.c_str() : none, slot, 1)) return false;
    }
    if (Used(context, kTopReferingSites)) {
      if (referrer[0] != 0) ReferringSite(referrer, &key);
      if (!CountName(context, kTopReferingSites, referrer[0] != 0 ? key.c_str() : none, slot, 1)) return false;
    }
  }

  const char* user = Text(h.user);
  if (Used(context, kTopAuthUsers) && user[0] != 0 && !CountName(context, kTopAuthUsers, user, slot, newVisitor)) {
    return false;
  }

  if (!UpdateAgentTables(context, h.agent, slot, newVisitor)) return false;

  return UpdateCalendar(context, h.time, slot, newVisitor);
}

bool CountSideTables(AnalysisContext* context, const char* folder, const SideHit& h, SideCounts* counts) {
  return CountRequestSide(context, folder, h, counts) && CountVisitorSide(context, h, counts);
}

}  // namespace

namespace {

// What the hit step works out from a hit and the run's settings alone: the
// run's own thread does it for a queued hit, so that the visit thread
// starts from it.
struct PreparedHit {
  uint16_t slot = 0;
  char day[kDayTextSize] = {};  // the day's text (DayTextOf)
  bool fullAddress = false;     // the URL starts with "http://"
  bool isFtp = false;
  bool isForm = false;
  bool isDocument = false;
  bool isUpload = false;
  // The run's referrer filters' answer for the hit (HitPassesReferrerFilters),
  // asked only of a new visit's first hit; -1 when not asked yet.
  int8_t referrerVerdict = -1;
  const char* page = "";       // the page (BuildPageName)
  const char* part = "";       // its part after the base
  const char* extension = "";  // its extension
};

// Fills `prepared` for `hit`, the page in `page` (sizeof g_pageBuffer);
// maps the client host's domain (MapHostToDomain) in the hit.
void PrepareHit(ReportHandle* run, AnalysisContext* context, HitRecord* hit, char* page, PreparedHit* prepared) {
  prepared->slot = static_cast<uint16_t>(TimeSlotOf(context, hit->HitTime) % kTimeSlots);
  DayTextOf(context, hit->HitTime, prepared->day);
  MapHostToDomain(context, hit->ClientHost, hit->Domain);
  if (hit->MethodCode == kMethodOther) return;
  prepared->fullAddress = StartsWithNoCase(Text(hit->URL), "http://");
  prepared->isFtp = StartsWithNoCase(Text(hit->Protocol), "FTP");
  const char* pagePart = nullptr;
  const char* extensionPtr = nullptr;
  const char* built = BuildPageName(run, context, hit, prepared->isFtp ? 1 : 0, &pagePart, &extensionPtr);
  const size_t pageLength = std::strlen(built);
  std::memcpy(page, built, pageLength + 1);
  prepared->page = page;
  prepared->part = pagePart != nullptr ? page + (pagePart - built) : "";
  prepared->extension = extensionPtr != nullptr ? page + (extensionPtr - built) : "";
  prepared->isForm = IsFormHit(hit) != 0;
  prepared->isDocument = IsDocumentHit(context, hit, page, prepared->extension) != 0;
  prepared->isUpload = IsUploadHit(hit) != 0;
}

// What the side tables need of the hit (but whether its visit is new).
SideHit SideHitOf(const HitRecord* hit, const PreparedHit& prepared) {
  SideHit side;
  side.time = hit->HitTime;
  side.bytes = hit->Bytes;
  side.status = hit->StatusCode;
  side.slot = prepared.slot;
  side.formatCode = hit->FormatCode;
  side.success = hit->Success != 0;
  side.clientHost = hit->ClientHost;
  side.domain = hit->Domain;
  side.referrer = hit->Referrer;
  side.agent = hit->UserAgent;
  side.user = hit->UserName;
  side.methodOther = hit->MethodCode == kMethodOther;
  if (!side.methodOther) {
    side.isUpload = prepared.isUpload;
    side.extension = prepared.extension;
  }
  return side;
}

// A visit batch once the visit thread has it: the side tables' threads read
// its hits where they lie, with the visit thread's verdict on each, and the
// last of the three to let go of it frees it.
struct LentHits {
  std::string records;
  // Per hit: 0 not for the side tables (dropped, banned, counted in line),
  // 1 counted, 2 counted as a new visitor. Room for every hit is made at
  // once: the visit thread writes a hit's verdict while the side tables'
  // threads read those of the hits lent before it.
  std::unique_ptr<uint8_t[]> verdicts;
  size_t verdictCount = 0;
  std::atomic<int> holders{0};
};

void Release(LentHits* lent) {
  if (lent->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete lent;
}

// A stretch of a lent batch handed to a side tables' thread: its hits from
// byte `begin` to `end`, the first of them with verdict `firstVerdict`.
struct LentRange {
  LentHits* lent;
  uint32_t begin;
  uint32_t end;
  uint32_t firstVerdict;
  uint32_t pad;
};

}  // namespace

// A run's counting threads: the visits (visits, pages and the run's
// counters) and the side tables' two groups. The run's own thread hands
// each hit it read, with what it worked out of it, to the visit thread in
// batches; the visit thread lends each batch it is done with, and its
// verdict on every hit, to both side tables' threads. All keep log order.
struct HitCounting {
  AnalysisContext* context = nullptr;
  ReportHandle* run = nullptr;
  std::unique_ptr<BatchWorker> visits;
  // The side tables' two groups (CountRequestSide, CountVisitorSide).
  std::unique_ptr<BatchWorker> requestSide;
  std::unique_ptr<BatchWorker> visitorSide;
  // The groups' own run counters, added to the context's when the run
  // settles.
  SideCounts requestCounts;
  SideCounts visitorCounts;
  // The visit thread's own: the batch it works through, how far it has been
  // lent to the side tables, where its hit at hand starts, and that hit's
  // verdict (LentHits).
  LentHits* lending = nullptr;
  size_t lentUpTo = 0;
  size_t lentVerdicts = 0;
  size_t current = 0;
  uint8_t verdict = 0;
};

namespace {

int AccumulateHitIn(ReportHandle* run, AnalysisContext* context, HitRecord* hit, bool ahead,
                    const PreparedHit* prepared = nullptr);

// A hit in a batch of the visit thread: the record, then its line's bytes
// with the zeros every line copy has behind it, padded to the record's
// alignment. The copy's field pointers are set to the copied line where it
// is written (AppendHit).
constexpr size_t kHitAlign = alignof(HitRecord);
constexpr uint32_t kNoText = 0xFFFFFFFFu;

// `bytes` rounded up to the record's alignment.
size_t Padded(size_t bytes) { return (bytes + kHitAlign - 1) / kHitAlign * kHitAlign; }

size_t HitLineBytes(const HitRecord& hit) {
  return Padded(hit.Line != nullptr ? size_t{hit.LineLength} + 1 + kHitLineSlack : 0);
}

// Then the prepared part: its head and the page with its zero, padded.
struct PreparedHead {
  char day[kDayTextSize];
  uint16_t slot;
  uint8_t flags;  // 1 ftp, 2 form, 4 document, 8 upload, 16 full address
  int8_t referrerVerdict;
  uint32_t pageBytes;    // padded
  uint32_t partAt;       // kNoText: none
  uint32_t extensionAt;  // kNoText: none
  uint32_t pad2;
};
static_assert(sizeof(PreparedHead) % kHitAlign == 0);


// Bytes AppendHit adds for the hit.
size_t HitBytes(const HitRecord& hit, const PreparedHit& prepared) {
  return sizeof(HitRecord) + HitLineBytes(hit) + sizeof(PreparedHead) + Padded(std::strlen(prepared.page) + 1);
}

// Appends the hit to the batch, which must have room for it (HitBytes): the
// batch does not move while it is filled, so the copy's field pointers are
// set to its own line here, where it stays.
void AppendHit(std::string* batch, const HitRecord& hit, const PreparedHit& prepared) {
  static_assert(sizeof(HitRecord) % kHitAlign == 0);
  const size_t at = batch->size();
  const size_t lineBytes = HitLineBytes(hit);
  const size_t pageLength = std::strlen(prepared.page);
  PreparedHead head{};
  head.slot = prepared.slot;
  head.flags = static_cast<uint8_t>((prepared.isFtp ? 1 : 0) | (prepared.isForm ? 2 : 0) |
                                    (prepared.isDocument ? 4 : 0) | (prepared.isUpload ? 8 : 0) |
                                    (prepared.fullAddress ? 16 : 0));
  std::memcpy(head.day, prepared.day, kDayTextSize);
  head.referrerVerdict = prepared.referrerVerdict;
  head.pageBytes = static_cast<uint32_t>(Padded(pageLength + 1));
  head.partAt = prepared.part[0] != 0 ? static_cast<uint32_t>(prepared.part - prepared.page) : kNoText;
  head.extensionAt = prepared.extension[0] != 0 ? static_cast<uint32_t>(prepared.extension - prepared.page) : kNoText;
  batch->resize(at + sizeof(HitRecord) + lineBytes + sizeof head + head.pageBytes);
  char* out = batch->data() + at;
  auto* copy = reinterpret_cast<HitRecord*>(out);
  std::memcpy(out, &hit, sizeof(HitRecord));
  out += sizeof(HitRecord);
  if (hit.Line != nullptr) {
    std::memcpy(out, hit.Line, hit.LineLength);
    std::memset(out + hit.LineLength, 0, lineBytes - hit.LineLength);
    RebaseFields(copy, hit.Line, hit.LineLength, out);
    copy->Line = out;
    out += lineBytes;
  }
  std::memcpy(out, &head, sizeof head);
  out += sizeof head;
  std::memcpy(out, prepared.page, pageLength);
  std::memset(out + pageLength, 0, head.pageBytes - pageLength);
}

// The hit of a visit batch at `at` and what was prepared for it; `at`
// moves on to the next hit.
HitRecord* ReadBatchHit(char* bytes, size_t* at, PreparedHit* prepared) {
  auto* hit = reinterpret_cast<HitRecord*>(bytes + *at);
  *at += sizeof(HitRecord) + HitLineBytes(*hit);
  PreparedHead head;
  std::memcpy(&head, bytes + *at, sizeof head);
  *at += sizeof head;
  const char* page = bytes + *at;
  *at += head.pageBytes;
  prepared->slot = head.slot;
  prepared->isFtp = (head.flags & 1) != 0;
  prepared->isForm = (head.flags & 2) != 0;
  prepared->isDocument = (head.flags & 4) != 0;
  prepared->isUpload = (head.flags & 8) != 0;
  prepared->fullAddress = (head.flags & 16) != 0;
  prepared->referrerVerdict = head.referrerVerdict;
  std::memcpy(prepared->day, head.day, kDayTextSize);
  prepared->page = page;
  prepared->part = head.partAt != kNoText ? page + head.partAt : "";
  prepared->extension = head.extensionAt != kNoText ? page + head.extensionAt : "";
  return hit;
}

// Hands the hits of the batch at hand that the visit thread is done with,
// and has not lent yet, to both side tables' threads.
void LendDone(HitCounting* counting) {
  LentHits* lent = counting->lending;
  if (lent == nullptr || counting->current <= counting->lentUpTo) return;
  LentRange range{};
  range.lent = lent;
  range.begin = static_cast<uint32_t>(counting->lentUpTo);
  range.end = static_cast<uint32_t>(counting->current);
  range.firstVerdict = static_cast<uint32_t>(counting->lentVerdicts);
  lent->holders.fetch_add(2, std::memory_order_relaxed);
  for (BatchWorker* side : {counting->requestSide.get(), counting->visitorSide.get()}) {
    side->Filling().append(reinterpret_cast<const char*>(&range), sizeof range);
    side->HandOver();
  }
  counting->lentUpTo = counting->current;
  counting->lentVerdicts = lent->verdictCount;
}

bool CountHitBatch(void* owner, std::string* batch) {
  auto* counting = static_cast<HitCounting*>(owner);
  // The batch's hits are worked on in place (each lies at the record's
  // alignment) and then lent to the side tables' threads.
  auto* lent = new (std::nothrow) LentHits;
  if (lent == nullptr) return false;
  lent->records = std::move(*batch);
  lent->verdicts.reset(new (std::nothrow) uint8_t[lent->records.size() / sizeof(HitRecord) + 1]);
  if (!lent->verdicts) {
    delete lent;
    return false;
  }
  lent->holders.store(1, std::memory_order_relaxed);
  const bool lending = counting->requestSide != nullptr && counting->visitorSide != nullptr;
  if (lending) {
    counting->lending = lent;
    counting->lentUpTo = 0;
    counting->lentVerdicts = 0;
  }
  char* bytes = lent->records.data();
  const size_t size = lent->records.size();
  bool ok = true;
  for (size_t at = 0; ok && at + sizeof(HitRecord) <= size;) {
    counting->current = at;
    counting->verdict = 0;
    // The batch was written on another core: the next hits are asked for
    // ahead of their turn.
    for (size_t ahead = 1024; ahead <= 4096; ahead += 64) {
      if (at + ahead < size) __builtin_prefetch(bytes + at + ahead);
    }
    PreparedHit prepared;
    HitRecord* hit = ReadBatchHit(bytes, &at, &prepared);
    ok = AccumulateHitIn(counting->run, counting->context, hit, true, &prepared) != 0;
    lent->verdicts[lent->verdictCount++] = counting->verdict;
    counting->current = at;
  }
  if (lending) {
    LendDone(counting);
    counting->lending = nullptr;
  }
  Release(lent);
  return ok;
}

// Lets go of the lent batches of a side tables' batch.
void DropLentRanges(void* /*owner*/, const char* records, size_t size) {
  for (size_t at = 0; at + sizeof(LentRange) <= size; at += sizeof(LentRange)) {
    LentRange range;
    std::memcpy(&range, records + at, sizeof range);
    Release(range.lent);
  }
}

// Works through a side tables' batch with `count` (SideHit -> bool).
template <typename Count>
bool CountLentRanges(std::string* batch, Count count) {
  const char* records = batch->data();
  const size_t size = batch->size();
  bool ok = true;
  for (size_t at = 0; at + sizeof(LentRange) <= size; at += sizeof(LentRange)) {
    LentRange range;
    std::memcpy(&range, records + at, sizeof range);
    char* bytes = range.lent->records.data();
    uint32_t verdict = range.firstVerdict;
    for (size_t hitAt = range.begin; ok && hitAt < range.end; ++verdict) {
      PreparedHit prepared;
      const HitRecord* hit = ReadBatchHit(bytes, &hitAt, &prepared);
      const uint8_t v = range.lent->verdicts[verdict];
      if (v == 0) continue;
      SideHit side = SideHitOf(hit, prepared);
      side.newVisitor = v == 2 ? 1 : 0;
      ok = count(side);
    }
    Release(range.lent);
  }
  return ok;
}

bool CountRequestBatch(void* owner, std::string* batch) {
  auto* counting = static_cast<HitCounting*>(owner);
  const char* folder = counting->run->grandparentDir;
  return CountLentRanges(batch, [&](const SideHit& h) {
    return CountRequestSide(counting->context, folder, h, &counting->requestCounts);
  });
}

bool CountVisitorBatch(void* owner, std::string* batch) {
  auto* counting = static_cast<HitCounting*>(owner);
  return CountLentRanges(batch,
                         [&](const SideHit& h) { return CountVisitorSide(counting->context, h, &counting->visitorCounts); });
}

// Waits for the side tables alone and takes their threads' counters into
// the context. On the visit thread, the hits of its batch that it is done
// with go to the side tables first.
int SettleSide(AnalysisContext* context) {
  HitCounting* counting = context->hitCounting;
  if (counting == nullptr) return 1;
  LendDone(counting);
  bool ok = counting->requestSide == nullptr || counting->requestSide->Settle();
  if (counting->visitorSide != nullptr && !counting->visitorSide->Settle()) ok = false;
  counting->requestCounts.MoveTo(&context->templ);
  counting->visitorCounts.MoveTo(&context->templ);
  return ok ? 1 : 0;
}

// Counts the hit's side tables: on their threads when `ahead` and there are
// some, else here and now, after what those threads still hold. 0 when a
// table operation failed, here or on those threads.
int CountSide(ReportHandle* run, AnalysisContext* context, const HitRecord* hit, const PreparedHit& prepared,
              uint32_t newVisitor, bool ahead) {
  HitCounting* counting = context->hitCounting;
  if (ahead && counting != nullptr && counting->lending != nullptr) {
    // On the visit thread: the side tables' threads read the hit from the
    // lent batch; the verdict is all they need from here.
    if (counting->requestSide->Failed() || counting->visitorSide->Failed()) return 0;
    counting->verdict = newVisitor == 1 ? 2 : 1;
    return 1;
  }
  if (SettleSide(context) == 0) return 0;
  SideHit side = SideHitOf(hit, prepared);
  side.newVisitor = newVisitor;
  SideCounts counts;
  const bool ok = CountSideTables(context, run != nullptr ? run->grandparentDir : nullptr, side, &counts);
  counts.MoveTo(&context->templ);
  return ok ? 1 : 0;
}

}  // namespace

int SettleHitTables(AnalysisContext* context) {
  if (context == nullptr || context->hitCounting == nullptr) return 1;
  HitCounting* counting = context->hitCounting;
  // The visits first: their thread fills the side tables' batches.
  bool ok = counting->visits == nullptr || counting->visits->Settle();
  if (SettleSide(context) == 0) ok = false;
  return ok ? 1 : 0;
}

void EndHitTables(AnalysisContext* context) {
  if (context == nullptr || context->hitCounting == nullptr) return;
  SettleHitTables(context);
  HitCounting* counting = context->hitCounting;
  context->hitCounting = nullptr;
  delete counting;
}

int AddHitToDatabase(ReportHandle* run, HitRecord* hit) {
  AnalysisContext* context = RunContext(run);
  if (context == nullptr || hit == nullptr) return 0;
  if (SettleHitTables(context) == 0) return 0;
  return AccumulateHit(run, context, hit);
}

int QueueHitForTables(ReportHandle* run, HitRecord* hit) {
  AnalysisContext* context = RunContext(run);
  if (context == nullptr || hit == nullptr) return 0;
  HitCounting* counting = context->hitCounting;
  if (counting == nullptr) {
    // The run's first hit starts its counting threads; a run that cannot
    // have them counts here.
    counting = new (std::nothrow) HitCounting;
    if (counting != nullptr) {
      counting->context = context;
      counting->run = run;
      counting->requestSide = BatchWorker::Start(&CountRequestBatch, counting, &DropLentRanges);
      counting->visitorSide = BatchWorker::Start(&CountVisitorBatch, counting, &DropLentRanges);
      counting->visits = BatchWorker::Start(&CountHitBatch, counting);
      context->hitCounting = counting;
    }
  }
  if (counting != nullptr && counting->visits != nullptr && counting->run == run) {
    if (counting->visits->Failed()) return 0;
    char page[sizeof g_pageBuffer];
    PreparedHit prepared;
    PrepareHit(run, context, hit, page, &prepared);
    // The filters' answer is the hit's own: asked here, it is ready should
    // the hit begin a visit.
    prepared.referrerVerdict = HitPassesReferrerFilters(run, hit) != 0 ? 1 : 0;
    // A batch never moves once it holds a hit (the copies point into it).
    AppendHit(&counting->visits->FillingWithRoom(HitBytes(*hit, prepared)), *hit, prepared);
    counting->visits->HandOverWhenFull();
    return 1;
  }
  if (SettleHitTables(context) == 0) return 0;
  return AccumulateHitIn(run, context, hit, true);
}

int AccumulateHit(ReportHandle* run, AnalysisContext* context, HitRecord* hit) {
  return AccumulateHitIn(run, context, hit, false);
}

namespace {

int AccumulateHitIn(ReportHandle* run, AnalysisContext* context, HitRecord* hit, bool ahead,
                    const PreparedHit* prepared) {
  if (context == nullptr || hit == nullptr) return 0;
  TemplateRecord& t = context->templ;
  SummaryTableEntry* sessionTable = t.TopUsersPtr;
  if (t.TopTablesPtr == nullptr || sessionTable == nullptr) return 0;

  // 1. The hit's time slot, its page and the rest of what is worked out
  // from the hit alone (prepared already for a queued hit); the domain the
  // intranet host patterns name is set in the hit then too.
  char ownPage[sizeof g_pageBuffer];
  PreparedHit preparedHere;
  if (prepared == nullptr) {
    PrepareHit(run, context, hit, ownPage, &preparedHere);
    prepared = &preparedHere;
  }
  const uint16_t slot = prepared->slot;

  // 2. Log kind: referrer and agent logs are analysed alone.
  if (hit->FormatCode == 7 || hit->FormatCode == 8) {
    // These switch the tables in use, which the side tables' threads read:
    // they finish first, and the hit is counted here.
    if (SettleSide(context) == 0) return 0;
    ahead = false;
    if (context->logKind != 1 && context->logKind != hit->FormatCode) return 1;
    context->logKind = hit->FormatCode;
    if (hit->FormatCode == 7) EnableReferrerTables();
    else EnableAgentTables();
  } else if (context->logKind != hit->FormatCode) {
    // Written on a change only: the side tables' threads read the table
    // directory beside it for every hit.
    context->logKind = hit->FormatCode;
  }

  // 3. Day change. A hit of a day closed already counts on that day.
  const bool today = CloseDayOf(context, hit->HitTime, prepared->day) != 0;

  // 4. Hits that transferred bytes.
  if (Used(context, kTopBandwidth) && hit->Bytes != 0) {
    NameTableEntry* item = AddName(context, kTopBandwidth, " ");
    if (item == nullptr) return 0;
    CountItemHits(item, slot);
  }

  const bool success = hit->Success != 0;
  const char* clientHost = hit->ClientHost;

  // 5. The visit.
  NameTableEntry* visit = nullptr;
  uint32_t newVisitor = 0;
  if (success) {
    uint32_t isNew = 0;
    const uint32_t found = AddTimedItemToTable(1, &isNew, context, sessionTable, clientHost, hit->Cookie,
                                               hit->HitTime, context->CachedTime, context->MaxCachedCount, 0);
    if (found == 0) return 0;
    visit = ItemOf(sessionTable, found - 1);
    if (visit == nullptr) return 0;
    // A banned visitor stays banned: none of its hits is counted.
    if (isNew == 0 && visit->Banned == 1) return 1;
    if (isNew == 1 || hit->FormatCode == 7) {
      const int passes = prepared->referrerVerdict >= 0 ? prepared->referrerVerdict
                                                        : (run != nullptr ? HitPassesReferrerFilters(run, hit) : 1);
      if (run != nullptr && passes == 0) {
        visit->Banned = 1;
        return 1;
      }
      if (today) ++t.TodaysUsers;
      else CountOnEarlierDay(context, prepared->day, 0, 1);
      ++t.SlotUsers[slot];
    }
    ++visit->SlotHits[slot];
    ++visit->TotalByHits;
    visit->TotalBytes += static_cast<double>(hit->Bytes);
    newVisitor = isNew;
  }

  // 11. General counters.
  if (hit->MethodCode == kMethodOther) ++t.SlotOtherMethod[slot];
  if (success) {
    if (today) ++t.TodaysHits;
    else CountOnEarlierDay(context, prepared->day, 1, 0);
  }
  ++t.SlotHits[slot];
  if (hit->StatusCode == 304) ++t.SlotNotModified[slot];
  else if (success) t.SlotBytes[slot] += static_cast<double>(hit->Bytes);
  if (!success) ++t.SlotFailed[slot];

  if (hit->MethodCode == kMethodOther) return CountSide(run, context, hit, *prepared, newVisitor, ahead);

  // 12. What the hit asked for.
  const char* page = prepared->page;
  const char* part = prepared->part;
  const char* extension = prepared->extension;
  const bool isForm = prepared->isForm;
  const bool isDocument = prepared->isDocument;
  const bool isUpload = prepared->isUpload;
  SummaryTableEntry* directory = t.TopTablesPtr;

  if (success) {
    if (!UpdateAds(context, hit, visit, slot)) return 0;

    if (!isUpload && IsHomePageHit(run, context, hit, page, part)) ++t.SlotHomePageHits[slot];

    if (isDocument && (Used(context, kTopDocuments) || Used(context, kTopBottom) || Used(context, kTopEntry) ||
                       Used(context, kTopExit) || Used(context, kTopSinglePage) || Used(context, kTopPaths))) {
      ++t.DocumentHits;
      ClearTableEmpty(kTopBottom);
      uint32_t number = 0;
      NameTableEntry* item = AddName(context, kTopDocuments, page, &number);
      if (item == nullptr) return 0;
      CountItemHits(item, slot);
      if (Used(context, kTopPaths)) AppendTrail(context, visit, number, 0);
      TimeOnPage(sessionTable, directory, 0, visit, number, hit->HitTime);
      const bool firstTouch = visit != nullptr && AddTopName(context, visit, kListDocuments, number) == 1;
      if (firstTouch) CountItemUser(item, slot);
      if (firstTouch && ListCount(visit, kListDocuments) == 1 && ListCount(visit, kListForms) == 0 &&
          Used(context, kTopEntry)) {
        if (!CountName(context, kTopEntry, page, slot, 1)) return 0;
      }
    }

    if (isUpload) {
      if (Used(context, kTopUploads)) {
        uint32_t number = 0;
        NameTableEntry* item = AddName(context, kTopUploads, page, &number);
        if (item == nullptr) return 0;
        CountItemHits(item, slot);
        CountUserByList(context, visit, kListUploads, item, number, slot);
      }
    } else if (extension[0] != 0 && Used(context, kTopDownloads)) {
      bool download = false;
      const ExtensionKey key = KeyOfExtension(extension);
      for (uint16_t i = 0; i < context->downloadTypeCount && context->downloadTypes != nullptr && !download; ++i) {
        download = MatchesFileType(key, context->downloadTypes[i]);
      }
      if (download) {
        uint32_t number = 0;
        NameTableEntry* item = AddName(context, kTopDownloads, page, &number);
        if (item == nullptr) return 0;
        CountItemHits(item, slot);
        CountUserByList(context, visit, kListDownloads, item, number, slot);
      }
    }

    if (Used(context, kTopDirectory) && !prepared->fullAddress) {
      char folder[sizeof g_pageBuffer];
      if (DirectoryOf(context, page, folder, sizeof folder)) {
        uint32_t number = 0;
        NameTableEntry* item = AddName(context, kTopDirectory, folder, &number);
        if (item == nullptr) return 0;
        CountItemHits(item, slot);
        CountUserByList(context, visit, kListDirectories, item, number, slot);
        if (hit->StatusCode != 304) {
          ++item->NonCachedTotalByHits;
          item->TotalBytes += static_cast<double>(hit->Bytes);
        }
      }
    }

  }

  // Forms, successful or failed.
  if (isForm) {
    ++t.FormHits;
    if (!success) ++t.FailedFormHits;
    if (success && (Used(context, kTopForms) || Used(context, kTopEntry) || Used(context, kTopExit) ||
                    Used(context, kTopSinglePage) || Used(context, kTopPaths))) {
      char form[512];
      CopyBounded(form, sizeof form, page, std::strcspn(page, "?"));
      uint32_t number = 0;
      NameTableEntry* item = AddName(context, kTopForms, form, &number);
      if (item == nullptr) return 0;
      CountItemHits(item, slot);
      if (!isDocument) {
        if (Used(context, kTopPaths)) AppendTrail(context, visit, number, 1);
        TimeOnPage(sessionTable, directory, 1, visit, number, hit->HitTime);
        const bool firstTouch = visit != nullptr && AddTopName(context, visit, kListForms, number) == 1;
        if (firstTouch) CountItemUser(item, slot);
        if (firstTouch && ListCount(visit, kListDocuments) == 0 && ListCount(visit, kListForms) == 1 &&
            Used(context, kTopEntry)) {
          if (!CountName(context, kTopEntry, form, slot, 1)) return 0;
        }
      }
    }
    if (Used(context, kTopFormErrors)) {
      const char* name = success ? OptionText(context, kOptSuccessfulForms, "Successful Forms Submitted")
                                 : OptionText(context, kOptFailedForms, "Failed Forms Submitted");
      if (!CountName(context, kTopFormErrors, name, slot, newVisitor)) return 0;
    }
  }
  return CountSide(run, context, hit, *prepared, newVisitor, ahead);
}

}  // namespace

}  // namespace vrn
