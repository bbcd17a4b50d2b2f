// The item tables of an analysis database: the table descriptor
// (SummaryTableEntry), the item record (NameTableEntry) with its 32 time
// slots, a visit's related-item lists (TopNameList), the numbering and
// section names of the 41 tables, the engine-wide section flags, and the one
// operation by which every counter reaches a table (AddItemToTable).
//
// In memory the records keep their stored field order; pointer fields are
// native pointers, so the in-memory sizes differ from the stored ones. The
// stored images (348, 60 and 14 bytes, little-endian, file offsets in place
// of pointers) are written and read by the Encode*/Decode* functions below.
//
// Link fields (list heads, PrevLink, NextLink) hold item numbers; kNoItem
// (all bits set) means none. An item number is an item's place in the
// table's item array and never changes while the item lives; a position is a
// place in the name-sorted index SortIndex.
#ifndef VORNIC_DATABASE_ITEM_TABLES_H
#define VORNIC_DATABASE_ITEM_TABLES_H

#include <cstddef>
#include <cstdint>

#include "engine/database/analysis_context.h"
#include "platform/base/kvtypes.h"

namespace vrn {

// Format word of every record of the analysis database.
constexpr uint32_t kRecordFormat = kAnalysisFormatWord;
constexpr uint32_t kNoItem = 0xFFFFFFFFu;

// Stored sizes (the size words of the records).
constexpr uint32_t kNameTableEntrySize = 348;
constexpr uint32_t kSummaryTableEntrySize = 60;
constexpr uint32_t kTopNameListSize = 14;
constexpr uint32_t kSearchDetailEntrySize = 20;

// Capacity of a table's arrays when first created.
constexpr uint32_t kFirstChunkSize = 102;

// ---- the 41 item tables (kItemTableCount, analysis_context.h) ---------------
enum ItemTable : uint32_t {
  kTopWeekdays = 0,
  kTopHours = 1,
  kTopExtensions = 2,
  kTopSuffixes = 3,
  kTopCountries = 4,
  kTopForms = 5,
  kTopDownloads = 6,
  kTopDocuments = 7,
  kTopDirectory = 8,
  kTopCompanies = 9,
  kTopUsers = 10,
  kTopReferers = 11,
  kTopBrowsers = 12,
  kTopPlatforms = 13,
  kTopCities = 14,
  kTopStates = 15,
  kTopVisitors = 16,
  kTopServerErrors = 17,
  kTopClientErrors = 18,
  kTopFormErrors = 19,
  kGeneralStats = 20,
  kTechnicalStats = 21,
  kActivityStats = 22,
  kTopReferingSites = 23,
  kTopBottom = 24,
  kTopEntry = 25,
  kTopExit = 26,
  kTopSinglePage = 27,
  kObsoleteTopPaths = 28,
  kTopAds = 29,
  kTopAdClicks = 30,
  kTopAdViews = 31,
  kTopSpiders = 32,
  kTopNetscape = 33,
  kTopExplorer = 34,
  kTopUploads = 35,
  kTopAuthUsers = 36,
  kTopBandwidth = 37,
  kTopPaths = 38,
  kTopSearchKeywords = 39,
  kTopSearchEngines = 40,
};

// Section name of a table ("TopWeekdays" ...), null for a number >= 41.
const char* ItemTableName(uint32_t table);

// The section flags of the tables (used, empty) are the section table of
// analysis_context.h (GetSectionTable, IsTableUsed, ClearTableEmpty).

// ---- records -------------------------------------------------------------------

// Related-item list of a visit (12 per visit). Lists 0-10 hold 16-bit item
// numbers in `values`; list 11 holds the visit trail in `trail`, 32-bit
// entries: item number in the low 16 bits, 1 (form page) or 0 (document) in
// the high 16 bits.
struct TopNameList {
  uint32_t size;    // 14
  uint32_t format;  // 768
  uint16_t count;
  union {
    uint16_t* values;
    uint32_t* trail;
  };
};
constexpr uint16_t kTopNameListCount = 12;
enum TopNameSlot : uint16_t {
  kListDocuments = 0,    // table 7
  kListDownloads = 1,    // table 6
  kListUploads = 2,      // table 35
  kListForms = 3,        // table 5
  kListDirectories = 4,  // table 8
  kListAdViews = 8,      // table 31
  kListAdClicks = 9,     // table 30
  kListTrail = 11,       // visit trail (while table 38 is used)
};
constexpr uint16_t kMaxVisitTrail = 6;

// Detail entry of an item of table 39 (its search engines) or table 40 (its
// keywords); the item's TopNames then points to an array of TopNamesCount
// pointers to these.
struct SearchDetailEntry {
  uint32_t reserved[2];  // stay 0
  uint32_t hits;         // first count
  uint32_t visits;       // second count
  char* text;            // owned
};

// An item (stored: 87 little-endian 32-bit words, 348 bytes).
struct NameTableEntry {
  uint32_t SizeWord;        // 348
  uint32_t FormatWord;      // 768
  uint32_t Overflow;        // 1: item 0 of an expiring table ("Others")
  uint32_t TopFlag;         // 1: retired into the top list
  uint32_t Deleted;         // 1: on the freed chain
  uint32_t PrevLink;        // date list or top list
  uint32_t NextLink;        // date list, top list or freed chain
  uint32_t LastDateTime;    // latest hit; 0xFFFFFFFF for the overflow item
  uint32_t OriginalIndex;   // item number recorded just before sorting
  uint32_t TotalByHits;
  uint32_t SlotHits[32];
  uint32_t TotalByUsers;
  uint32_t SlotUsers[32];
  uint32_t NonCachedTotalByHits;
  double TotalBytes;
  uint32_t LastPageWasForm;    // visits: 1 form (table 5), 0 document (table 7)
  uint32_t LastPageTime;       // visits: 0 = no page yet
  uint32_t LastPageEntryItem;  // visits: item number of that page
  uint32_t TimeOnPages;
  uint32_t TimeOnPagesCount;
  char* String;                // owned name
  uint32_t TopNamesCount;      // visits: 12 or 0; tables 39/40: detail count
  void* TopNames;              // visits: TopNameList[12]; 39/40: SearchDetailEntry*[]
  uint32_t Banned;             // visits: rejected by the new-visitor filter

  TopNameList* Lists() const { return static_cast<TopNameList*>(TopNames); }
  SearchDetailEntry** Details() const { return static_cast<SearchDetailEntry**>(TopNames); }
};

// A table descriptor (stored: 60 bytes).
struct SummaryTableEntry {
  uint32_t SizeWord;    // 60
  uint32_t FormatWord;  // 768
  uint32_t TopCount;    // retired items in the top list
  uint32_t Count;       // live items = entries of SortIndex
  uint32_t DeleteCount;
  uint32_t DeleteListHead;
  uint32_t DateListHead;   // newest LastDateTime
  uint32_t DateListTail;   // oldest LastDateTime
  uint32_t TopTableListHead;  // most recently retired
  uint32_t TopTableListTail;
  uint32_t ChunkSize;      // capacity of ItemBlock and SortIndex
  uint32_t SortIndexCount;
  NameTableEntry** ItemBlock;  // Count + DeleteCount records in use
  NameTableEntry** Items;      // working view of ItemBlock; cleared when finished
  uint32_t* SortIndex;         // Count item numbers in name order
};

// A new, empty descriptor (size word 60, format word 768, rest zero).
void InitTableDescriptor(SummaryTableEntry* table);

// ---- stored images -------------------------------------------------------------
// Pointer fields are written as the given file offsets (0 = none); the
// decoders leave pointers null and hand the stored offsets back. Decoders
// refuse (false) a record whose size or format word is wrong.
void EncodeNameTableEntry(const NameTableEntry& item, uint32_t stringOffset, uint32_t topNamesOffset,
                          uint8_t out[kNameTableEntrySize]);
bool DecodeNameTableEntry(const uint8_t in[kNameTableEntrySize], NameTableEntry* item,
                          uint32_t* stringOffset, uint32_t* topNamesOffset);
void EncodeSummaryTableEntry(const SummaryTableEntry& table, uint32_t itemBlockOffset, uint32_t itemsOffset,
                             uint32_t sortIndexOffset, uint8_t out[kSummaryTableEntrySize]);
bool DecodeSummaryTableEntry(const uint8_t in[kSummaryTableEntrySize], SummaryTableEntry* table,
                             uint32_t* itemBlockOffset, uint32_t* itemsOffset, uint32_t* sortIndexOffset);
void EncodeTopNameList(const TopNameList& list, uint32_t arrayOffset, uint8_t out[kTopNameListSize]);
bool DecodeTopNameList(const uint8_t in[kTopNameListSize], TopNameList* list, uint32_t* arrayOffset);

// ---- names -----------------------------------------------------------------------
// Case-insensitive order: 'A'-'Z' compare as 'a'-'z', other bytes by value
// (unsigned). -1, 0 or 1.
int CompareItemNames(const char* a, const char* b);

// ---- table operations --------------------------------------------------------------
// All return 1 / item number + 1 on success and 0 on failure.

// Finds or creates the item `name` (see the implementation for the order of
// expiry, renaming and growth). postVisits 1 (session table only) posts each
// expired item as a finished visit before folding it; isNew (may be null) is
// set to 1 when an item was created; newName (may be null/empty) is a better
// name for the same thing; idleLimit 0 = no expiry and no date list;
// cachedCount is ignored; maxTop 0 = no top list. Returns item number + 1.
uint32_t AddItemToTable(uint32_t postVisits, uint32_t* isNew, AnalysisContext* context, SummaryTableEntry* table,
                        const char* name, const char* newName, uint32_t time, uint32_t idleLimit,
                        uint32_t cachedCount, uint32_t maxTop, uint32_t searchFrom);
// AddItemToTable with searchFrom 0 (session table, tables 9 and 10).
uint32_t AddTimedItemToTable(uint32_t postVisits, uint32_t* isNew, AnalysisContext* context,
                             SummaryTableEntry* table, const char* name, const char* newName, uint32_t time,
                             uint32_t idleLimit, uint32_t cachedCount, uint32_t maxTop);
// AddItemToTable without expiry, time 0 and no new-item flag.
uint32_t AddNameToTable(SummaryTableEntry* table, const char* name);

// Prepares a table without live or freed items; with idleLimit != 0 creates
// the arrays and the overflow item 0 named by the report options' "Others"
// text (context may be null for idleLimit 0).
int InitItemTable(AnalysisContext* context, SummaryTableEntry* table, uint32_t idleLimit);

// 1 and the position of `name`, or 0 with *position the insert position;
// 0 with *position = kNoItem when a probed item has no name (failure).
int FindItemPosition(const char* name, const SummaryTableEntry* table, uint32_t searchFrom, uint32_t* position);

// Date list (ordered by LastDateTime, newest at the head) and top list
// (insertion at the head). Unlinking leaves the item's own links as they were.
void InsertLinkListItem(SummaryTableEntry* table, uint32_t item);
void UnlinkItemFromList(SummaryTableEntry* table, uint32_t item);
void InsertTopItemIntoList(SummaryTableEntry* table, uint32_t item);
void UnlinkItemFromTopTableList(SummaryTableEntry* table, uint32_t item);

// A visit's 12 lists.
int CreateItemTopNames(NameTableEntry* item);
// 1 when `value` was appended to list `list`; 0 when already listed, the list
// number is not below 12 or is the trail, the list is full, or memory failed.
// A list holds item numbers as 16-bit entries; a number of 0xFFFF or more
// takes three: the mark kWideTopName, then its high and its low 16 bits.
constexpr uint16_t kWideTopName = 0xFFFF;
int AddTopName(AnalysisContext* context, NameTableEntry* item, uint16_t list, uint32_t value);
// The number of item numbers a list holds, and the last of them (kNoItem
// when it holds none).
uint32_t TopNameItemCount(const TopNameList& list);
uint32_t LastTopNameItem(const TopNameList& list);
// Appends itemNumber | isForm << 16 to a trail unless it holds 6 entries or
// the entry equals the last one. 1 added / 0 not added.
int AppendVisitTrail(AnalysisContext* context, uint16_t* count, uint32_t** array, uint16_t itemNumber,
                     uint16_t isForm);
void FreeItemTopNames(NameTableEntry* item);
void FreeItemTopNamesAt(SummaryTableEntry* table, uint32_t item);

// Detail entries of the items of tables 39 and 40.
void FreeDetailEntryList(SearchDetailEntry** entries, uint32_t count);
void FreeTableDetailLists(SummaryTableEntry* table);

// Frees every item record, its name and lists, and both arrays.
void FreeItemTable(SummaryTableEntry* table);

// ---- the analysis block ------------------------------------------------------------
// A zeroed moveable block holding an AnalysisContext, with size word 5489 and
// format word 768 at its start and at the start of its TemplateRecord; 0 on
// failure.
KvGlobal AllocAnalysisDatabase();
// Frees the context's lists (deleting its working template), every table of
// the directory, the directory, the session table, and the block.
void FreeAnalysisDatabase(KvGlobal handle);
// Frees the context's classification lists, closes its organisation file and,
// with deleteTemplate, deletes its working template file.
void FreeContextLists(AnalysisContext* context, int deleteTemplate);
// Clears the Items view of every table whose ItemBlock and Items are set.
void DetachAllTableItems(KvGlobal handle);

}  // namespace vrn

#endif
