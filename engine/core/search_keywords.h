// Search engines and the words searched on them: the engine list read from
// keywords.ini, recognition of a result page in a hit's referrer, cutting
// its search words, and the counting of engines, keywords and the cross
// tally of which words were searched on which engine.
#ifndef VORNIC_CORE_SEARCH_KEYWORDS_H
#define VORNIC_CORE_SEARCH_KEYWORDS_H

#include <cstddef>
#include <cstdint>

namespace vrn {

struct ReportHandle;
struct HitRecord;

// Item tables the search counting adds to.
constexpr uint32_t kSearchKeywordTable = 39;
constexpr uint32_t kSearchEngineTable = 40;

constexpr size_t kSearchReferrerMax = 299;   // characters of the referrer examined
constexpr size_t kSearchKeywordSize = 200;   // keyword buffer, with its zero
constexpr size_t kSearchIniValueSize = 260;  // keywords.ini value buffer

// A list of owned texts.
struct SearchString {
  char* text;
  SearchString* next;
};

// One search engine; every list holds its elements in the reverse of their
// order in keywords.ini.
struct SearchEngine {
  char* name;
  SearchString* ids;          // texts whose presence identifies the engine
  SearchString* indicators;   // texts behind which the search words follow
  SearchEngine* next;
};

// One cross-tally record of an item of the search tables.
struct SearchDetail {
  uint32_t reserved[2];   // stay 0
  uint32_t hits;
  uint32_t visits;
  char* name;             // owned
};

// The cross tally of one item of the search tables: its name and the
// item's detail count and array (its TopNamesCount and TopNames fields; the
// array is a malloc'd SearchDetail*[] kept in name order without regard to
// case), e.g. {item->String, &item->TopNamesCount, &item->TopNames}.
struct SearchItemRef {
  const char* name;
  uint32_t* detailCount;
  void** details;
};

// What the counting needs of the analysis's two search tables.
class SearchTables {
 public:
  virtual ~SearchTables() = default;
  // Adds name to item table `table` (clearing that table's empty flag) and
  // counts the hit in its item for the time slot and the new-visit flag;
  // fills *item. False when the name could not be added.
  virtual bool CountItem(uint32_t table, const char* name, uint16_t slot, uint32_t newVisit,
                         SearchItemRef* item) = 0;
};

// ---- the engine list ---------------------------------------------------------
// Loads the list from the run's grandparent folder + "keywords.ini" when
// *engines is null. 1 when the file was read, 0 when memory ran short
// (everything read is freed, *engines is null). A missing file, or one
// without engines, leaves a marker list without engines in *engines, so the
// file is looked for once per list; a missing file is reported once through
// the client's error display with the path it was looked for at.
int EnsureSearchEnginesLoaded(ReportHandle* run, SearchEngine** engines);
int EnsureSearchEnginesLoadedFrom(const char* folder, SearchEngine** engines);
// The three parts of the file: [SearchEngines] Engine1.., then for each
// engine its ID1.. and its KeywordIndicator1... Each puts new elements at
// the front; false when memory ran short.
bool LoadSearchEngines(const char* iniPath, SearchEngine** engines);
bool LoadSearchEngineIDs(const char* iniPath, SearchEngine* engines);
bool LoadKeywordIndicators(const char* iniPath, SearchEngine* engines);
// Frees the whole list (or the marker) and leaves *engines null.
void FreeSearchEngines(SearchEngine** engines);
// True when the list holds at least one engine (not null, not the marker).
bool SearchEnginesListed(const SearchEngine* engines);

// ---- one referrer ------------------------------------------------------------
// The engine whose ID and one of whose indicators (behind the ID, with a
// character after it) occur in referrer, or null; sets the search state.
// The answers for recent referrer texts are remembered per list: a list is
// to be changed only through the loading and freeing functions above.
const SearchEngine* FindSearchEngine(const SearchEngine* engines, const char* referrer);
// The next keyword of the referrer last given to FindSearchEngine into out
// (at most size - 1 characters); 1 when one was produced, 0 when no more.
int NextSearchKeyword(char* out, size_t size);
// Trims blanks and double quotes at both ends, in place; 1 when at least two
// characters remain, 0 otherwise.
int CleanSearchKeyword(char* text);

// ---- counting ----------------------------------------------------------------
// Counts the hit's search engine and keywords; 1, or 0 when memory ran short
// loading the engine list.
int ProcessSearchReferrer(ReportHandle* run, SearchEngine** engines, SearchTables* tables,
                          const HitRecord* hit, uint16_t slot, uint32_t newVisit);
// The same with the folder of keywords.ini given.
int ProcessSearchReferrerIn(const char* folder, SearchEngine** engines, SearchTables* tables,
                            const char* referrer, uint16_t slot, uint32_t newVisit);
// Counts an engine in its table: true with *item filled, false when not added.
bool CountSearchEngine(const char* name, SearchTables* tables, uint16_t slot, uint32_t newVisit,
                       SearchItemRef* item);
// Counts a keyword (lower-cased; "and" and "or" are skipped) and its cross
// tally with engineItem when given. 1, or 0 when the keyword could not be
// added.
int CountSearchKeyword(const char* keyword, SearchTables* tables, uint16_t slot, uint32_t newVisit,
                       const SearchItemRef* engineItem);
// Finds the item's detail of that name or inserts a zeroed one in name
// order; null when memory is short (the details are then unchanged).
SearchDetail* FindSearchEngineItem(const SearchItemRef& item, const char* name);
SearchDetail* FindSearchKeywordItem(const SearchItemRef& item, const char* name);
// Counts one keyword on one engine in both items' cross tallies.
void CountSearchPair(const SearchItemRef& keywordItem, const SearchItemRef& engineItem, uint32_t newVisit);
// Frees count details and the array.
void FreeSearchDetails(SearchDetail** details, uint32_t count);

}  // namespace vrn

#endif
