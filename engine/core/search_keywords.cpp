// Search engines and keywords of referrers.
#include "engine/core/search_keywords.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/engine_state.h"
#include "engine/core/file_types.h"
#include "engine/core/hit_record.h"
#include "engine/core/report_run.h"
#include "platform/base/files.h"

namespace vrn {

namespace {

constexpr size_t kWordMax = kSearchKeywordSize - 1;
constexpr const char kNoMore[] = "NoMore";

// The search state between calls: one referrer at a time, engine-wide.
struct SearchState {
  char work[kSearchReferrerMax + 1];
  bool found;
  bool decoded;      // the escapes behind the cursor were decoded once
  size_t cursor;     // where the next keyword starts
};
SearchState g_search{};

// The answers of FindSearchEngine for the last few referrer texts of one
// engine list. An answer depends on the examined text and the list only; the
// list is changed only by the loading and freeing functions here, which bump
// the generation, so an answer of an older generation is never reused.
struct RememberedReferrer {
  bool used;
  size_t length;
  const SearchEngine* engine;
  size_t cursor;
  char text[kSearchReferrerMax + 1];
};
constexpr size_t kRememberedReferrers = 16;  // a power of two
struct RememberedAnswers {
  const SearchEngine* list;
  uint64_t generation;
  RememberedReferrer entries[kRememberedReferrers];
};
RememberedAnswers g_remembered{};
uint64_t g_listGeneration = 1;

void ListChanged() { ++g_listGeneration; }

// A slot for the n bytes of text: their count and up to 8 bytes from either
// end (a referrer's end tells it from its neighbours best).
size_t RememberedSlot(const char* text, size_t n) {
  uint64_t head = 0;
  uint64_t tail = 0;
  const size_t k = n < 8 ? n : 8;
  std::memcpy(&head, text, k);
  std::memcpy(&tail, text + n - k, k);
  uint64_t h = (head * 0x9E3779B97F4A7C15ull) ^ (tail * 0xC2B2AE3D27D4EB4Full) ^ n;
  h ^= h >> 29;
  return static_cast<size_t>(h) & (kRememberedReferrers - 1);
}

// Stands for "read, and no engines were listed": an analysis whose file is
// missing or empty looks for it only once.
SearchEngine g_noSearchEngines{};

char* CopyText(const char* text) {
  const size_t n = std::strlen(text);
  char* copy = static_cast<char*>(std::malloc(n + 1));
  if (copy != nullptr) std::memcpy(copy, text, n + 1);
  return copy;
}

// The value of key as a buffer of kSearchIniValueSize bytes holds it, or an
// empty text when the key is missing or says there are no more.
std::string ReadSeriesValue(const IniSectionMap& section, const std::string& key, bool* more) {
  std::string value = section.Get(key, kNoMore);
  if (value.size() > kSearchIniValueSize - 1) value.resize(kSearchIniValueSize - 1);
  *more = value != kNoMore;
  return value;
}

void FreeStrings(SearchString* list) {
  while (list != nullptr) {
    SearchString* next = list->next;
    std::free(list->text);
    std::free(list);
    list = next;
  }
}

// Reads the series "<prefix>1", "<prefix>2" ... of section into the front of
// *list. Empty values are passed over: an empty ID or indicator would match
// every referrer.
bool LoadSeries(const char* iniPath, const char* sectionName, const char* prefix, SearchString** list) {
  const IniSectionMap section(sectionName, iniPath);
  for (unsigned n = 1;; ++n) {
    bool more = false;
    const std::string value = ReadSeriesValue(section, prefix + std::to_string(n), &more);
    if (!more) return true;
    if (value.empty()) continue;
    auto* node = static_cast<SearchString*>(std::calloc(1, sizeof(SearchString)));
    if (node == nullptr) return false;
    node->text = CopyText(value.c_str());
    if (node->text == nullptr) {
      std::free(node);
      return false;
    }
    node->next = *list;
    *list = node;
  }
}

// std::tolower of c, with the ASCII letters lowered without a call.
inline int LowerChar(unsigned char c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
  return std::tolower(c);
}

int CompareNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const int x = LowerChar(static_cast<unsigned char>(*a));
    const int y = LowerChar(static_cast<unsigned char>(*b));
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

// A detail without a record or name (as a damaged database may hold) orders
// as the empty name.
const char* DetailName(const SearchDetail* detail) {
  return detail != nullptr && detail->name != nullptr ? detail->name : "";
}

SearchDetail* InsertDetail(const SearchItemRef& item, uint32_t count, uint32_t at, const char* name) {
  auto* detail = static_cast<SearchDetail*>(std::calloc(1, sizeof(SearchDetail)));
  if (detail == nullptr) return nullptr;
  detail->name = CopyText(name);
  auto** grown = detail->name == nullptr
                     ? nullptr
                     : static_cast<SearchDetail**>(std::realloc(*item.details, (count + 1u) * sizeof(SearchDetail*)));
  if (grown == nullptr) {
    std::free(detail->name);
    std::free(detail);
    return nullptr;
  }
  std::memmove(grown + at + 1, grown + at, (count - at) * sizeof(SearchDetail*));
  grown[at] = detail;
  *item.details = grown;
  *item.detailCount = count + 1;
  return detail;
}

SearchDetail* FindOrInsertDetail(const SearchItemRef& item, const char* name) {
  if (item.detailCount == nullptr || item.details == nullptr || name == nullptr) return nullptr;
  SearchDetail** entries = static_cast<SearchDetail**>(*item.details);
  const uint32_t count = entries != nullptr ? *item.detailCount : 0;
  uint32_t low = 0;
  uint32_t high = count;
  while (high - low >= 5) {
    const uint32_t middle = low + (high - low) / 2;
    const int order = CompareNoCase(name, DetailName(entries[middle]));
    if (order == 0 && entries[middle] != nullptr) return entries[middle];
    if (order < 0)
      high = middle;
    else
      low = middle;
  }
  for (uint32_t i = low; i < high; ++i) {
    const int order = CompareNoCase(name, DetailName(entries[i]));
    if (order == 0 && entries[i] != nullptr) return entries[i];
    if (order < 0) return InsertDetail(item, count, i, name);
  }
  return InsertDetail(item, count, high, name);
}

}  // namespace

// ---- the engine list ---------------------------------------------------------

bool LoadSearchEngines(const char* iniPath, SearchEngine** engines) {
  ListChanged();
  const IniSectionMap section("SearchEngines", iniPath);
  for (unsigned n = 1;; ++n) {
    bool more = false;
    const std::string name = ReadSeriesValue(section, "Engine" + std::to_string(n), &more);
    if (!more) return true;
    auto* engine = static_cast<SearchEngine*>(std::calloc(1, sizeof(SearchEngine)));
    if (engine == nullptr) return false;
    engine->name = CopyText(name.c_str());
    if (engine->name == nullptr) {
      std::free(engine);
      return false;
    }
    engine->next = *engines;
    *engines = engine;
  }
}

bool LoadSearchEngineIDs(const char* iniPath, SearchEngine* engines) {
  ListChanged();
  for (SearchEngine* e = engines; e != nullptr; e = e->next)
    if (!LoadSeries(iniPath, e->name, "ID", &e->ids)) return false;
  return true;
}

bool LoadKeywordIndicators(const char* iniPath, SearchEngine* engines) {
  ListChanged();
  for (SearchEngine* e = engines; e != nullptr; e = e->next)
    if (!LoadSeries(iniPath, e->name, "KeywordIndicator", &e->indicators)) return false;
  return true;
}

void FreeSearchEngines(SearchEngine** engines) {
  if (engines == nullptr) return;
  ListChanged();
  SearchEngine* e = *engines;
  *engines = nullptr;
  if (e == &g_noSearchEngines) return;
  while (e != nullptr) {
    SearchEngine* next = e->next;
    FreeStrings(e->ids);
    FreeStrings(e->indicators);
    std::free(e->name);
    std::free(e);
    e = next;
  }
}

int EnsureSearchEnginesLoadedFrom(const char* folder, SearchEngine** engines) {
  if (engines == nullptr) return 0;
  if (*engines != nullptr) return 1;
  const std::string path = std::string(folder != nullptr ? folder : "") + "keywords.ini";
  if (!LoadSearchEngines(path.c_str(), engines) || !LoadSearchEngineIDs(path.c_str(), *engines) ||
      !LoadKeywordIndicators(path.c_str(), *engines)) {
    FreeSearchEngines(engines);
    return 0;
  }
  if (*engines == nullptr) {
    // A missing file, or one without engines, is no failure: nothing is
    // recognised. The list is marked as read, so the file is not looked for
    // again at every hit of this analysis; a missing file is said once.
    *engines = &g_noSearchEngines;
    if (!kv::PathExists(path.c_str())) {
      const std::string text = "No search engine file was found, so no search engines or keywords are counted. "
                               "It was looked for as " + path;
      DisplayReportError(text.c_str());
    }
  }
  return 1;
}

bool SearchEnginesListed(const SearchEngine* engines) {
  return engines != nullptr && engines != &g_noSearchEngines;
}

int EnsureSearchEnginesLoaded(ReportHandle* run, SearchEngine** engines) {
  if (run == nullptr) return 0;
  return EnsureSearchEnginesLoadedFrom(run->grandparentDir, engines);
}

// ---- one referrer ------------------------------------------------------------

namespace {

const SearchEngine* SearchEngineList(const SearchEngine* engines) {
  for (const SearchEngine* e = engines; e != nullptr; e = e->next) {
    for (const SearchString* id = e->ids; id != nullptr; id = id->next) {
      const char* at = std::strstr(g_search.work, id->text);
      if (at == nullptr) continue;
      const char* behind = at + std::strlen(id->text);
      for (const SearchString* ind = e->indicators; ind != nullptr; ind = ind->next) {
        const char* mark = std::strstr(behind, ind->text);
        if (mark == nullptr) continue;
        const char* words = mark + std::strlen(ind->text);
        if (*words == '\0') continue;
        g_search.cursor = static_cast<size_t>(words - g_search.work);
        g_search.found = true;
        return e;
      }
    }
  }
  return nullptr;
}

}  // namespace

const SearchEngine* FindSearchEngine(const SearchEngine* engines, const char* referrer) {
  const char* text = referrer != nullptr ? referrer : "";
  const size_t n = strnlen(text, kSearchReferrerMax);
  std::memcpy(g_search.work, text, n);
  g_search.work[n] = '\0';
  g_search.found = false;
  g_search.decoded = false;
  g_search.cursor = 0;
  if (engines == nullptr || engines == &g_noSearchEngines) return nullptr;
  if (g_remembered.list != engines || g_remembered.generation != g_listGeneration) {
    for (RememberedReferrer& r : g_remembered.entries) r.used = false;
    g_remembered.list = engines;
    g_remembered.generation = g_listGeneration;
  }
  RememberedReferrer& r = g_remembered.entries[RememberedSlot(text, n)];
  if (r.used && r.length == n && std::memcmp(r.text, text, n) == 0) {
    g_search.found = r.engine != nullptr;
    g_search.cursor = r.cursor;
    return r.engine;
  }
  const SearchEngine* found = SearchEngineList(engines);
  r.used = true;
  r.length = n;
  std::memcpy(r.text, text, n);
  r.engine = found;
  r.cursor = g_search.cursor;
  return found;
}

int CleanSearchKeyword(char* text) {
  if (text == nullptr) return 0;
  const size_t n = strnlen(text, kWordMax);
  size_t first = 0;
  while (first < n && (text[first] == ' ' || text[first] == '"')) ++first;
  if (first == n) return 0;
  size_t end = n;
  while (end > first && (text[end - 1] == ' ' || text[end - 1] == '"')) --end;
  if (end - first < 2) return 0;
  std::memmove(text, text + first, end - first);
  text[end - first] = '\0';
  return 1;
}

int NextSearchKeyword(char* out, size_t size) {
  if (!g_search.found) return 0;
  // Escapes are decoded once: a decoded "%" must not start another escape.
  if (!g_search.decoded) {
    DecodePercentEscapes(g_search.work + g_search.cursor);
    g_search.decoded = true;
  }
  char word[kSearchKeywordSize];
  size_t length = 0;
  auto produce = [&]() -> int {
    word[length] = '\0';
    if (length == 0 || CleanSearchKeyword(word) == 0) return 0;
    if (out != nullptr && size > 0) {
      const size_t n = std::min(std::strlen(word), size - 1);
      std::memcpy(out, word, n);
      out[n] = '\0';
    }
    return 1;
  };
  for (;;) {
    const char c = g_search.work[g_search.cursor];
    if (c == '\0' || c == '&') return produce();  // the cursor stays: no more words
    ++g_search.cursor;
    if (c == ' ' || c == '+' || c == '"' || c == '=') {
      if (produce() != 0) return 1;
      length = 0;
      continue;
    }
    if (length < kWordMax) word[length++] = c;
  }
}

// ---- counting ----------------------------------------------------------------

SearchDetail* FindSearchEngineItem(const SearchItemRef& item, const char* name) {
  return FindOrInsertDetail(item, name);
}

SearchDetail* FindSearchKeywordItem(const SearchItemRef& item, const char* name) {
  return FindOrInsertDetail(item, name);
}

void CountSearchPair(const SearchItemRef& keywordItem, const SearchItemRef& engineItem, uint32_t newVisit) {
  if (keywordItem.name == nullptr || engineItem.name == nullptr) return;
  if (SearchDetail* d = FindSearchEngineItem(engineItem, keywordItem.name)) {
    ++d->hits;
    if (newVisit != 0) ++d->visits;
  }
  if (SearchDetail* d = FindSearchKeywordItem(keywordItem, engineItem.name)) {
    ++d->hits;
    if (newVisit != 0) ++d->visits;
  }
}

void FreeSearchDetails(SearchDetail** details, uint32_t count) {
  if (details == nullptr) return;
  for (uint32_t i = 0; i < count; ++i) {
    if (details[i] == nullptr) continue;
    std::free(details[i]->name);
    std::free(details[i]);
  }
  std::free(details);
}

bool CountSearchEngine(const char* name, SearchTables* tables, uint16_t slot, uint32_t newVisit,
                       SearchItemRef* item) {
  if (name == nullptr || tables == nullptr || item == nullptr) return false;
  return tables->CountItem(kSearchEngineTable, name, slot, newVisit, item);
}

int CountSearchKeyword(const char* keyword, SearchTables* tables, uint16_t slot, uint32_t newVisit,
                       const SearchItemRef* engineItem) {
  if (keyword == nullptr || tables == nullptr) return 0;
  char lower[kSearchKeywordSize];
  const size_t n = strnlen(keyword, kWordMax);
  for (size_t i = 0; i < n; ++i) lower[i] = static_cast<char>(LowerChar(static_cast<unsigned char>(keyword[i])));
  lower[n] = '\0';
  if (std::strcmp(lower, "and") == 0 || std::strcmp(lower, "or") == 0) return 1;
  SearchItemRef item{};
  if (!tables->CountItem(kSearchKeywordTable, lower, slot, newVisit, &item)) return 0;
  if (engineItem != nullptr) CountSearchPair(item, *engineItem, newVisit);
  return 1;
}

int ProcessSearchReferrerIn(const char* folder, SearchEngine** engines, SearchTables* tables,
                            const char* referrer, uint16_t slot, uint32_t newVisit) {
  if (EnsureSearchEnginesLoadedFrom(folder, engines) == 0) return 0;
  const SearchEngine* engine = FindSearchEngine(*engines, referrer);
  SearchItemRef engineItem{};
  bool haveEngine = false;
  if (engine != nullptr && engine->name != nullptr && engine->name[0] != '\0')
    haveEngine = CountSearchEngine(engine->name, tables, slot, newVisit, &engineItem);
  char keyword[kSearchKeywordSize];
  while (NextSearchKeyword(keyword, sizeof keyword) != 0)
    CountSearchKeyword(keyword, tables, slot, newVisit, haveEngine ? &engineItem : nullptr);
  return 1;
}

int ProcessSearchReferrer(ReportHandle* run, SearchEngine** engines, SearchTables* tables,
                          const HitRecord* hit, uint16_t slot, uint32_t newVisit) {
  if (run == nullptr || hit == nullptr) return 0;
  return ProcessSearchReferrerIn(run->grandparentDir, engines, tables, hit->Referrer, slot, newVisit);
}

}  // namespace vrn
