// The analysis context: the in-memory analysis database of one report run.
// It holds the run's time grid, the item-table limits, the lists that
// classify a hit (document, download and title-fetch types, domain suffixes
// with their organisation types, intranet addresses, ad views), the open
// organisation lookup file, the profile's home page, the report options and
// the TemplateRecord with the whole-run counters and the table directory.
//
// The context is a moveable global-memory block hanging off the run
// (ReportHandle::databaseHandle, locked pointer ReportHandle::database).
// Everything runs on the client's thread, but for what a run's loop counts
// on threads of its own (SettleHitTables below).
#ifndef VORNIC_DATABASE_ANALYSIS_CONTEXT_H
#define VORNIC_DATABASE_ANALYSIS_CONTEXT_H

#include <cstddef>
#include <cstdint>

#include <vornic/reportsettings.h>

#include "engine/core/report_settings.h"
#include "platform/base/kvtypes.h"

namespace vrn {

struct ReportHandle;
struct HitRecord;
struct SummaryTableEntry;  // item tables (item_tables.h)
struct SearchEngine;       // search engine list (search_keywords.h)
struct HitCounting;        // hit_accumulation.cpp
struct DayBook;            // finishing.cpp

// Format word of every record of the analysis database.
constexpr uint32_t kAnalysisFormatWord = 768;
// Size word written into the context and its TemplateRecord.
constexpr uint32_t kAnalysisBlockSize = 5489;
constexpr uint32_t kTemplateRecordFileSize = 1840;  // stored form of TemplateRecord
constexpr int kItemTableCount = 41;
constexpr int kTimeSlots = 32;

// ---- report options (the report's vocabulary, report_settings.h) ---------

// Single texts of ReportOptions::texts used by the analysis.
enum : int {
  kOptShortWeekdays = 0,   // 7, Sunday first
  kOptSuffixes = 68,       // 9: gov, mil, net, org, int, arpa, edu, com, us
  kOptTextCount = 90,
  kOptReturnCode400 = 38 + 11,
  kOptReturnCode500 = 38 + 16,
  kOptReturnCodeOther = 38 + 20,  // "UK": "%03d ..." with the status
  kOptNoReferrer = 59 + 0,
  kOptOthers = 59 + 2,
  kOptFailedForms = 59 + 3,
  kOptSuccessfulForms = 59 + 4,
  kOptLegendUnknown = 77 + 1,
  kOptLegendInternational = 77 + 2,
};

// ---- records of the context -------------------------------------------

// One line of the intranet list "KVINTRA.TXT": the first five
// comma-separated fields (domain name, organisation, city, state, country
// code), then the sixth field split at its dots into `partCount`
// NUL-terminated parts laid end to end in `parts`. All owned (std::malloc).
struct IntranetEntry {
  char* texts[5];
  uint16_t partCount;
  char* parts;
};

// One ad view entry: its name and two word lists (upper-cased words laid end
// to end, each NUL-terminated): the words of a view and of a click.
struct AdViewEntry {
  char name[100];
  uint16_t firstCount;
  char firstWords[50];
  uint16_t secondCount;
  char secondWords[50];
};

// Whole-run counters and the table directory. Up to TopTablesCount the
// in-memory layout equals the stored one (1840 bytes; the two pointers are
// stored as 32-bit file offsets by the database file code).
struct TemplateRecord {
  uint32_t sizeWord;
  uint32_t formatWord;
  uint32_t TodayDateTime;
  char Today[60];
  uint32_t TodaysHits;
  uint32_t TodaysUsers;
  uint32_t ClosedDays;
  uint32_t WeekdayHits;
  uint32_t WeekdayUsers;
  uint32_t WeekdayCount;
  uint32_t WeekendHits;
  uint32_t WeekendUsers;
  uint32_t WeekendCount;
  uint32_t UserSessionsTimeCount;
  uint32_t UserSessionsTime;
  char MostHitsDay[60];
  uint32_t MostHits;
  char FewestHitsDay[60];
  uint32_t FewestHits;     // 0xFFFFFFFF at set-up
  char MostUsersDay[60];
  uint32_t MostUsers;
  char FewestUsersDay[60];
  uint32_t FewestUsers;    // 0xFFFFFFFF at set-up
  uint32_t SlotUsers[kTimeSlots];          // 1: new visitors
  uint32_t SlotDomestic[kTimeSlots];       // 2: new visitors from the home country
  uint32_t SlotInternational[kTimeSlots];  // 3: from elsewhere
  uint32_t SlotUnknownCountry[kTimeSlots]; // 4: of unknown country
  uint32_t DocumentHits;
  uint32_t SlotHits[kTimeSlots];           // 5: hits
  uint32_t SlotHomePageHits[kTimeSlots];   // 6: home-page hits
  uint32_t SlotNotModified[kTimeSlots];    // 7: hits answered 304
  double SlotBytes[kTimeSlots];            // 8: bytes
  uint32_t SlotFailed[kTimeSlots];         // 9: failed hits
  uint32_t SlotOtherMethod[kTimeSlots];    // 10: hits of method 4
  uint32_t FormHits;
  uint32_t FailedFormHits;
  uint32_t Failed500;
  uint32_t Failed501;
  uint32_t Failed502;
  uint32_t Failed503;
  uint32_t Failed400;
  uint32_t Failed401;
  uint32_t Failed402;
  uint32_t Failed403;
  uint32_t Failed404;
  uint32_t TopTablesCount;                 // 41
  SummaryTableEntry* TopTablesPtr;         // TopTablesCount consecutive descriptors
  SummaryTableEntry* TopUsersPtr;          // the visitor session table
};

// The analysis context. Fields no operation reads are left out.
struct AnalysisContext {
  uint32_t sizeWord;    // 5489
  uint32_t formatWord;  // 768
  uint16_t documentOutput;  // set by the report writer for document outputs
  uint16_t chartCounter;
  char imagesReference[260];
  char workingTemplatePath[260];
  char outputPath[260];
  // Organisation lookup file: "COMPANY.BIG" (kind 1) or "COMPANY.SML" (0).
  KvFile orgFile;       // KV_INVALID_FILE when neither opened
  uint32_t orgFileSize;
  // The whole file, unscrambled, when it is small enough to hold
  // (kMaxOrgImageBytes); null otherwise. Owned; freed with the file's close.
  char* orgImage;
  // The last answer from the image (org_lookup.cpp); owned, freed with it.
  void* orgMemo;
  int32_t orgFileKind;
  uint16_t intranetCount;
  IntranetEntry** intranet;
  uint16_t adViewCount;
  AdViewEntry** adViews;
  // Time grid.
  uint16_t slotCount;
  uint16_t intervalScaleIndex;
  uint32_t secondsPerSlot;
  uint32_t reportStart;
  uint32_t slotOrigin;
  uint32_t reportEnd;
  // Item-table limits.
  uint32_t MaxTopCount;
  uint32_t MaxCachedCount;
  uint32_t CachedTime;
  ReportOptions* options;   // owned
  char description[85];
  char emptyText1[81];
  char emptyText2[301];
  char reportDateText[100];
  char rangeText[100];
  char homePage[260];
  char homePageFolder[260];
  char HomePageUsername[41];
  char HomePagePassword[41];
  char homePageFileName[260];
  uint16_t documentTypeCount;
  FileType** documentTypes;
  uint16_t downloadTypeCount;
  FileType** downloadTypes;
  uint16_t titleTypeCount;
  char** titleTypes;
  uint16_t usDomainCount;
  char** usDomains;
  uint16_t orgSuffixCount;
  char** orgSuffixes;            // owned texts
  const char** orgSuffixLabels;  // parallel array; labels point into `options`
  char Country[40];
  uint32_t creationTime;
  TemplateRecord templ;
  // Further run state.
  uint32_t SortBy;      // 2 = by users, else by hits
  uint16_t logKind;     // 1 = not yet known, 7 referrer log, 8 agent log
  SearchEngine* searchEngines;  // loaded at the first search referrer
  uint32_t titleStopWord;       // 1 after a page-title fetch failed for want of a host or connection
  // The run's counting threads (hit_accumulation.h); owned, null until the
  // run's first hit.
  HitCounting* hitCounting;
  // The days the day step closed, with their counts, so that a record of
  // one of them that comes late still counts on it (finishing.h); owned,
  // in memory only.
  DayBook* dayBook;
};

// ---- section table (which tables the report shows) -----------------------

// Engine-wide flags of the 41 item tables: used (only used tables are
// updated) and empty (cleared by the first item added to the table).
struct SectionTableEntry {
  const char* name;
  uint32_t used;
  uint32_t empty;
  uint32_t maxRow;
  uint32_t counter;
};
// The 41 entries, in table order.
SectionTableEntry* GetSectionTable();
// Sets every entry: used = `used`, empty = 1, maxRow and counter 0.
void ResetSectionTable(uint32_t used);
// The entries themselves (GetSectionTable names them first).
extern SectionTableEntry g_sections[kItemTableCount];
// False for numbers outside 0..40.
inline bool IsTableUsed(int table) {
  return table >= 0 && table < kItemTableCount && g_sections[table].used != 0;
}
void MarkTableUsed(int table);
void ClearTableEmpty(int table);

// ---- operations -----------------------------------------------------------

// Builds the context of `run` from its profile and the INI files; with
// `withTables` non-zero also creates the 41 item tables and the session
// table. 1 on success, 0 on failure (the run's context fields are cleared
// when the context could not be made).
int SetUpAnalysisContext(ReportHandle* run, int withTables);
// Builds the context of `target` as a deep copy of `source`'s.
int CloneAnalysisContext(ReportHandle* target, ReportHandle* source, int withTables);
// Deep copy of the source context's report options into the target's context.
int CloneReportOptions(ReportHandle* target, ReportHandle* source);
// Frees the run's context (lists, options, tables) and clears its fields.
// With deleteTemplate 0 the working template file stays: a context cloned
// from another (a realtime report's merged day) shares its working template
// path with the live report and must not delete it.
void FreeReportContext(ReportHandle* run, int deleteTemplate = 1);

// Appends each word of `text` (split at " ", ";" and ",") to the
// organisation suffix list with `label`. 1, or 0 when memory failed.
int AddOrganisationSuffixes(const char* label, AnalysisContext* context, const char* text);
// Splits `text` in place at its dots (each "." becomes a NUL); returns the
// part count (0 for an empty text).
uint16_t ParseIntranetAddress(char* text);
// Copies a part list of `partCount` parts into `target` (count and block).
int CopyIntranetAddress(IntranetEntry* target, const char* parts, uint16_t partCount);
// Reads the intranet list file at `path` into the context (appends).
int LoadIntranetList(AnalysisContext* context, const char* path);
// Opens the organisation file of `folder` ("COMPANY.BIG", else
// "COMPANY.SML"); fills handle, size and kind, and reads a file of up to
// kMaxOrgImageBytes into orgImage so that lookups need no file access.
// 1 when one opened.
constexpr uint32_t kMaxOrgImageBytes = 32u << 20;
int OpenOrganizationFile(AnalysisContext* context, const char* folder);
// Closes the organisation file and frees its image.
void CloseOrganizationFile(AnalysisContext* context);
// Appends an ad view entry (words split at blanks, upper-cased; words that
// do not fit the 50-byte list are dropped). 1, or 0 when memory failed.
int AddAdViewEntry(AnalysisContext* context, const char* name, const char* viewWords, const char* clickWords);

// Frees the context's classification lists (document, download and
// title-fetch types, US domains, organisation suffixes with their label
// array), closes the organisation file, frees the intranet and ad view
// entries and, with `deleteTemplate`, deletes the working template file.
void FreeContextOwnedLists(AnalysisContext* context, int deleteTemplate);

// The context of a run (its locked pointer), or null.
AnalysisContext* RunContext(ReportHandle* run);

// A run's loop leaves the counting of its hits to threads of their own
// (QueueHitForTables, hit_accumulation.h). SettleHitTables waits until every
// hit queued is counted: 1, or 0 when a table operation failed there; call
// it before anything reads or changes the context. EndHitTables settles and
// ends those threads (before the context is freed).
int SettleHitTables(AnalysisContext* context);
void EndHitTables(AnalysisContext* context);

}  // namespace vrn

#endif
