// Item tables: name order, lookup, creation, expiry into the top list or the
// overflow item, the date and top lists, a visit's related-item lists, and the
// allocation and release of tables and of the analysis block.
#include "engine/database/item_tables.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "engine/database/analysis_context.h"
#include "engine/database/finishing.h"
#include "platform/base/memory.h"

namespace vrn {

namespace {

const char* const kTableNames[kItemTableCount] = {
    "TopWeekdays",      "TopHours",         "TopExtensions",    "TopSuffixes",    "TopCountries",
    "TopForms",         "TopDownloads",     "TopDocuments",     "TopDirectory",   "TopCompanies",
    "TopUsers",         "TopReferers",      "TopBrowsers",      "TopPlatforms",   "TopCities",
    "TopStates",        "TopVisitors",      "TopServerErrors",  "TopClientErrors", "TopFormErrors",
    "GeneralStats",     "TechnicalStats",   "ActivityStats",    "TopReferingSites", "TopBottom",
    "TopEntry",         "TopExit",          "TopSinglePage",    "ObsoleteTopPaths", "TopAds",
    "TopAdClicks",      "TopAdViews",       "TopSpiders",       "TopNetscape",    "TopExplorer",
    "TopUploads",       "TopAuthUsers",     "TopBandwidth",     "TopPaths",       "TopSearchKeywords",
    "TopSearchEngines",
};

inline unsigned char Fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

char* CopyText(const char* text) {
  size_t n = std::strlen(text);
  char* copy = static_cast<char*>(std::malloc(n + 1));
  if (copy) std::memcpy(copy, text, n + 1);
  return copy;
}

inline uint32_t SlotsInUse(const SummaryTableEntry* table) { return table->Count + table->DeleteCount; }

inline NameTableEntry* ItemOf(const SummaryTableEntry* table, uint32_t item) {
  if (!table->ItemBlock || item >= SlotsInUse(table)) return nullptr;
  return table->ItemBlock[item];
}

void AddItemCounters(NameTableEntry* to, const NameTableEntry* from) {
  to->TotalByHits += from->TotalByHits;
  to->TotalByUsers += from->TotalByUsers;
  for (int s = 0; s < 32; ++s) {
    to->SlotHits[s] += from->SlotHits[s];
    to->SlotUsers[s] += from->SlotUsers[s];
  }
  to->NonCachedTotalByHits += from->NonCachedTotalByHits;
  to->TotalBytes += from->TotalBytes;
}

// The name keys kept beside the index (see "aids" below) follow every change
// of the index made here; a key list that is not in step is dropped.
bool KeysInStep(const SummaryTableEntry* table, uint32_t count);
void KeysErase(const SummaryTableEntry* table, uint32_t position, bool inStep);
void KeysInsert(const SummaryTableEntry* table, uint32_t position, const char* name, bool inStep);
void KeysFollowIndex(const SummaryTableEntry* table, bool inStep);
void KeysFillGap(const SummaryTableEntry* table, uint32_t hole, uint32_t position, const char* name, bool inStep);

void RemoveIndexEntry(SummaryTableEntry* table, uint32_t position) {
  const bool inStep = KeysInStep(table, table->Count);
  std::memmove(table->SortIndex + position, table->SortIndex + position + 1,
               (table->Count - position - 1) * sizeof(uint32_t));
  --table->Count;
  KeysErase(table, position, inStep);
}

// An index entry removed by the expiry whose followers have not moved yet:
// Count has dropped, and the index holds Count + 1 entries with nothing at
// `pos`. The gap is closed before anything reads the index again, or filled
// by the call's new entry, which then needs only the entries between the two
// positions moved.
struct IndexGap {
  bool open = false;
  uint32_t pos = 0;
  bool keysInStep = false;  // the keys were in step with the index when it opened
};

void OpenIndexGap(SummaryTableEntry* table, uint32_t position, IndexGap* gap) {
  gap->keysInStep = KeysInStep(table, table->Count);
  gap->pos = position;
  gap->open = true;
  --table->Count;
}

// Finishes the removal as RemoveIndexEntry makes it.
void CloseIndexGap(SummaryTableEntry* table, IndexGap* gap) {
  if (!gap->open) return;
  gap->open = false;
  std::memmove(table->SortIndex + gap->pos, table->SortIndex + gap->pos + 1,
               (table->Count - gap->pos) * sizeof(uint32_t));
  KeysErase(table, gap->pos, gap->keysInStep);
}

// Puts `item` named `name` at `position` of the index as it is once the gap
// is closed (Count already counts it), moving only the entries between the
// gap and that position.
void FillIndexGap(SummaryTableEntry* table, IndexGap* gap, uint32_t position, uint32_t item, const char* name) {
  gap->open = false;
  const uint32_t hole = gap->pos;
  uint32_t* index = table->SortIndex;
  if (position < hole) {
    std::memmove(index + position + 1, index + position, (hole - position) * sizeof(uint32_t));
  } else if (position > hole) {
    std::memmove(index + hole, index + hole + 1, (position - hole) * sizeof(uint32_t));
  }
  index[position] = item;
  KeysFillGap(table, hole, position, name, gap->keysInStep);
}

void InsertIndexEntry(SummaryTableEntry* table, uint32_t position, uint32_t item, const char* name) {
  // Count has already been raised for the new entry.
  const bool inStep = KeysInStep(table, table->Count - 1);
  std::memmove(table->SortIndex + position + 1, table->SortIndex + position,
               (table->Count - 1 - position) * sizeof(uint32_t));
  table->SortIndex[position] = item;
  KeysInsert(table, position, name, inStep);
}

// Puts an item record on the freed chain. The record keeps its size and
// format words so that every slot of a stored table stays a valid record.
void FreeItemRecord(SummaryTableEntry* table, uint32_t item) {
  NameTableEntry* rec = table->ItemBlock[item];
  std::free(rec->String);
  FreeItemTopNames(rec);
  std::memset(static_cast<void*>(rec), 0, sizeof(NameTableEntry));
  rec->SizeWord = kNameTableEntrySize;
  rec->FormatWord = kRecordFormat;
  rec->Deleted = 1;
  rec->PrevLink = kNoItem;
  rec->NextLink = table->DeleteListHead;
  table->DeleteListHead = item;
  ++table->DeleteCount;
}

void MakeNewRecord(NameTableEntry* rec) {
  std::memset(static_cast<void*>(rec), 0, sizeof(NameTableEntry));
  rec->SizeWord = kNameTableEntrySize;
  rec->FormatWord = kRecordFormat;
  rec->PrevLink = kNoItem;
  rec->NextLink = kNoItem;
}

// Resizes both arrays to `capacity` entries. On failure the arrays in use
// stay usable (one of them may already have moved) and ChunkSize is kept.
bool ResizeArrays(SummaryTableEntry* table, uint32_t capacity) {
  const bool inStep = KeysInStep(table, table->Count);
  auto* block = static_cast<NameTableEntry**>(std::realloc(table->ItemBlock, capacity * sizeof(NameTableEntry*)));
  if (!block) return false;
  table->ItemBlock = block;
  table->Items = block;
  auto* index = static_cast<uint32_t*>(std::realloc(table->SortIndex, capacity * sizeof(uint32_t)));
  if (!index) {
    KeysFollowIndex(table, false);
    return false;
  }
  table->SortIndex = index;
  table->ChunkSize = capacity;
  KeysFollowIndex(table, inStep);
  return true;
}

// Room for one more appended record (item number Count).
bool GrowForAppend(SummaryTableEntry* table) {
  if (!table->ItemBlock) {
    auto* block = static_cast<NameTableEntry**>(std::calloc(kFirstChunkSize, sizeof(NameTableEntry*)));
    auto* index = static_cast<uint32_t*>(std::calloc(kFirstChunkSize, sizeof(uint32_t)));
    if (!block || !index) {
      std::free(block);
      std::free(index);
      return false;
    }
    std::free(table->SortIndex);
    table->ItemBlock = block;
    table->Items = block;
    table->SortIndex = index;
    table->ChunkSize = kFirstChunkSize;
  }
  const uint32_t needed = table->Count + 1;
  if (needed == 0) return false;  // 32-bit count exhausted
  if (table->ChunkSize == 100 && needed % 100 == 1) {
    if (!ResizeArrays(table, 2 * (table->Count + 2))) return false;
  }
  if (table->ChunkSize < needed) {
    uint64_t capacity = table->ChunkSize ? uint64_t{table->ChunkSize} * 2 : kFirstChunkSize;
    if (capacity < needed) capacity = needed;
    if (capacity > 0x3FFFFFFFu) return false;
    if (!ResizeArrays(table, static_cast<uint32_t>(capacity))) return false;
  }
  return true;
}

// ---- aids kept beside a table ---------------------------------------------------
// Three aids speed up the per-hit work without touching what a table holds:
// a cache of live items by name, the top list ordered by who goes first, and
// the leading bytes of the indexed names in index order.
// They live per thread, keyed by the descriptor's address, and are checked
// against the table before they are trusted: a table changed behind their
// back (loaded, merged, moved, freed) costs a rebuild or a plain search,
// never a different answer while the table is whole (each name has at most
// one live item and it is in the index; a retired item's hits never shrink).

struct NameSlot {
  uint32_t hash;
  uint32_t item;  // kNoItem: empty
};

// A retired item's place in the eviction order.
struct TopKey {
  uint32_t hits;  // its hits when placed; they can only have grown since
  uint32_t item;
  uint64_t seq;   // larger: retired later, nearer the head of the top list
};

// Heap order: the front is the item with the fewest hits and, of those, the
// one nearest the head, the one the list walk from the head meets first.
struct GoesLater {
  bool operator()(const TopKey& a, const TopKey& b) const { return a.hits != b.hits ? a.hits > b.hits : a.seq < b.seq; }
};

struct TableAids {
  std::vector<NameSlot> names;
  // The top list as it was when `top` was last brought up to date.
  bool topKnown = false;
  NameTableEntry** topBlock = nullptr;
  uint32_t topHead = kNoItem;
  uint32_t topTail = kNoItem;
  uint32_t topCount = 0;
  uint64_t nextSeq = 0;
  std::vector<TopKey> top;
  // The first eight bytes of each indexed name, case-folded, one per index
  // position, so that a search reads one array instead of following three
  // pointers per step; in step while keysIndex and keysCount match the
  // index.
  bool keysKnown = false;
  const uint32_t* keysIndex = nullptr;
  uint32_t keysCount = 0;
  std::vector<uint64_t> keys;
};

thread_local std::unordered_map<const SummaryTableEntry*, TableAids> t_aids;

// The tables asked for lately and their aids, by the descriptor's address
// (entries of the map stay where they are until erased): the per-hit work
// goes round some forty tables, and a look here is cheaper than one in the
// map.
struct RecentAids {
  const SummaryTableEntry* table;
  TableAids* aids;
};
constexpr size_t kRecentAids = 128;
thread_local RecentAids t_recent[kRecentAids];

inline size_t RecentSlot(const SummaryTableEntry* table) {
  const auto bits = reinterpret_cast<uintptr_t>(table);
  return (bits >> 4 ^ bits >> 11) & (kRecentAids - 1);
}

// A reference stays good until the next call.
TableAids& AidsOf(const SummaryTableEntry* table) {
  RecentAids& recent = t_recent[RecentSlot(table)];
  if (recent.table == table) return *recent.aids;
  // Descriptors freed on another thread leave entries behind; they are only
  // ever trusted after a check, so dropping them all now and then is enough.
  if (t_aids.size() > 4096 && t_aids.find(table) == t_aids.end()) {
    t_aids.clear();
    for (RecentAids& r : t_recent) r = RecentAids{nullptr, nullptr};
  }
  TableAids& aids = t_aids[table];
  recent = RecentAids{table, &aids};
  return aids;
}

void DropAids(const SummaryTableEntry* table) {
  RecentAids& recent = t_recent[RecentSlot(table)];
  if (recent.table == table) recent = RecentAids{nullptr, nullptr};
  if (!t_aids.empty()) t_aids.erase(table);
}

// Eight bytes with 'A'-'Z' lowered, all at once.
inline uint64_t FoldWord(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  // High bit of each byte: set where the byte is at least 'A' (and below
  // 0x80), and where it is above 'Z'; a letter has the first and not the
  // second.
  const uint64_t low7 = w & ~kHigh;
  const uint64_t atLeastA = (low7 + (0x80 - 'A') * kOnes) & ~w & kHigh;
  const uint64_t aboveZ = (low7 + (0x80 - 'Z' - 1) * kOnes) & kHigh;
  return w | ((atLeastA & ~aboveZ) >> 2);
}

// The bytes of name[from, length), 1 to 7 of them, in the low bytes of a word
// and zeros above, as copying them into a zeroed word gives them; read with
// whole loads that stay inside the name.
inline uint64_t TailWord(const char* name, size_t from, size_t length) {
  const size_t n = length - from;
  if (length >= 8) {
    uint64_t w;
    std::memcpy(&w, name + length - 8, 8);
    return w >> (8 * (8 - n));
  }
  const auto* p = reinterpret_cast<const unsigned char*>(name + from);
  if (n >= 4) {
    uint32_t low, high;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + n - 4, 4);
    return uint64_t{low} | (uint64_t{high} << (8 * (n - 4)));
  }
  return uint64_t{p[0]} | (uint64_t{p[n / 2]} << (8 * (n / 2))) | (uint64_t{p[n - 1]} << (8 * (n - 1)));
}

// A hash of the folded name (for the name cache only: any hash that names
// differing only in case share would do).
uint32_t NameHash(const char* name) {
  const size_t length = std::strlen(name);
  uint64_t h = 0x9E3779B97F4A7C15ull ^ length;
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t w;
    std::memcpy(&w, name + i, 8);
    h = (h ^ FoldWord(w)) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
  }
  if (i < length) h = (h ^ FoldWord(TailWord(name, i, length))) * 0xFF51AFD7ED558CCDull;
  // Every bit reaches the low bits that pick the slot: names that differ
  // only in their last bytes (page numbers, host addresses) land apart.
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return static_cast<uint32_t>(h);
}

// Tables smaller than this are searched without keys; the name cache serves
// tables of every size.
constexpr uint32_t kKeysFrom = 32;

// A name's first eight bytes, folded, the first in the highest byte and
// zeros after a shorter name's end: keys order as their names do, and two
// names of one key may still differ after their eighth byte.
uint64_t NameKey(const char* name) {
  uint64_t key = 0;
  int i = 0;
  for (; i < 8 && name[i] != 0; ++i) key = (key << 8) | Fold(static_cast<unsigned char>(name[i]));
  for (; i < 8; ++i) key <<= 8;
  return key;
}

TableAids* FindAids(const SummaryTableEntry* table) {
  const RecentAids& recent = t_recent[RecentSlot(table)];
  if (recent.table == table) return recent.aids;
  if (t_aids.empty()) return nullptr;
  auto it = t_aids.find(table);
  return it == t_aids.end() ? nullptr : &it->second;
}

// The first of keys[lo, hi) not below `key` (hi when none): a binary search
// whose steps pick the half by a conditional move, not a branch.
inline uint32_t FirstKeyNotBelow(const uint64_t* keys, uint32_t lo, uint32_t hi, uint64_t key) {
  if (lo >= hi) return lo;
  const uint64_t* base = keys + lo;
  uint32_t n = hi - lo;
  while (n > 1) {
    const uint32_t half = n / 2;
    base = base[half] < key ? base + half : base;
    n -= half;
  }
  return static_cast<uint32_t>(base - keys) + (*base < key ? 1 : 0);
}

// The first of keys[from, hi) above `key`, keys[from] being `key` or above:
// runs of one key are short but for names alike in their first bytes.
inline uint32_t FirstKeyAbove(const uint64_t* keys, uint32_t from, uint32_t hi, uint64_t key) {
  for (uint32_t p = from; p < hi && p < from + 8; ++p) {
    if (keys[p] != key) return p;
  }
  return from + 8 >= hi ? hi : static_cast<uint32_t>(std::upper_bound(keys + from + 8, keys + hi, key) - keys);
}

bool KeysCurrent(const TableAids& aids, const SummaryTableEntry* table, uint32_t count) {
  return aids.keysKnown && aids.keysIndex == table->SortIndex && aids.keysCount == count &&
         aids.keys.size() == count;
}

// Builds the keys of the whole index; false (no keys) when an indexed item
// has no name.
bool BuildKeys(TableAids* aids, const SummaryTableEntry* table) {
  aids->keysKnown = false;
  aids->keys.resize(table->Count);
  const uint32_t slots = SlotsInUse(table);
  for (uint32_t p = 0; p < table->Count; ++p) {
    const uint32_t item = table->SortIndex[p];
    const NameTableEntry* rec = item < slots ? table->ItemBlock[item] : nullptr;
    if (!rec || !rec->String) return false;
    aids->keys[p] = NameKey(rec->String);
  }
  aids->keysKnown = true;
  aids->keysIndex = table->SortIndex;
  aids->keysCount = table->Count;
  return true;
}

// The cache slot of a name's hash.
NameSlot* NameSlotOf(const SummaryTableEntry* table, uint32_t hash) {
  TableAids& aids = AidsOf(table);
  size_t want = 256;
  while (want < 2 * size_t{table->Count} && want < (size_t{1} << 17)) want *= 2;
  if (aids.names.size() < want) aids.names.assign(want, NameSlot{0, kNoItem});
  return &aids.names[hash & (aids.names.size() - 1)];
}

// Whether `item` is the live item named `name`: a table holds at most one,
// and a search of the name index answers with it.
bool IsLiveItemNamed(const SummaryTableEntry* table, uint32_t item, const char* name) {
  const NameTableEntry* rec = ItemOf(table, item);
  return rec && !rec->Deleted && !rec->TopFlag && !rec->Overflow && rec->String &&
         (std::strcmp(rec->String, name) == 0 || CompareItemNames(rec->String, name) == 0);
}

bool TopOrderCurrent(const TableAids& aids, const SummaryTableEntry* table) {
  return aids.topKnown && aids.topBlock == table->ItemBlock && aids.topHead == table->TopTableListHead &&
         aids.topTail == table->TopTableListTail && aids.topCount == table->TopCount;
}

void StampTopOrder(TableAids* aids, const SummaryTableEntry* table) {
  aids->topKnown = true;
  aids->topBlock = table->ItemBlock;
  aids->topHead = table->TopTableListHead;
  aids->topTail = table->TopTableListTail;
  aids->topCount = table->TopCount;
}

// Orders the top list afresh from a walk from its head; false when the list
// is broken (a missing record or a loop).
bool RebuildTopOrder(TableAids* aids, const SummaryTableEntry* table) {
  aids->topKnown = false;
  aids->top.clear();
  const uint32_t slots = SlotsInUse(table);
  for (uint32_t n = table->TopTableListHead; n != kNoItem;) {
    const NameTableEntry* t = ItemOf(table, n);
    if (!t || aids->top.size() >= slots) return false;
    aids->top.push_back(TopKey{t->TotalByHits, n, 0});
    n = t->NextLink;
  }
  const uint64_t length = aids->top.size();
  for (uint64_t i = 0; i < length; ++i) aids->top[i].seq = aids->nextSeq + (length - 1 - i);
  aids->nextSeq += length;
  std::make_heap(aids->top.begin(), aids->top.end(), GoesLater());
  StampTopOrder(aids, table);
  return true;
}

// The retired item with the fewest hits, the first met from the head on a
// tie, found by walking the list.
uint32_t WalkForVictim(const SummaryTableEntry* table) {
  uint32_t victim = kNoItem;
  uint32_t fewest = 0;
  for (uint32_t n = table->TopTableListHead; n != kNoItem;) {
    const NameTableEntry* t = ItemOf(table, n);
    if (!t) return kNoItem;
    if (victim == kNoItem || t->TotalByHits < fewest) {
      victim = n;
      fewest = t->TotalByHits;
    }
    n = t->NextLink;
  }
  return victim;
}

// The same item as WalkForVictim, from the kept order: a front whose hits
// have grown (a twin folded into it) takes its new place and the next front
// is tried; since hits only grow, a front whose hits still match is the one.
// *fromOrder tells whether it is the front of the kept order.
uint32_t PickVictim(const SummaryTableEntry* table, bool* fromOrder) {
  *fromOrder = false;
  TableAids& aids = AidsOf(table);
  if (!TopOrderCurrent(aids, table) && !RebuildTopOrder(&aids, table)) return WalkForVictim(table);
  while (!aids.top.empty()) {
    TopKey& front = aids.top.front();
    const NameTableEntry* rec = ItemOf(table, front.item);
    if (!rec || !rec->TopFlag || rec->Deleted || rec->TotalByHits < front.hits) break;
    if (rec->TotalByHits == front.hits) {
      *fromOrder = true;
      return front.item;
    }
    std::pop_heap(aids.top.begin(), aids.top.end(), GoesLater());
    aids.top.back().hits = rec->TotalByHits;
    std::push_heap(aids.top.begin(), aids.top.end(), GoesLater());
  }
  aids.topKnown = false;
  return WalkForVictim(table);
}

bool KeysInStep(const SummaryTableEntry* table, uint32_t count) {
  const TableAids* aids = FindAids(table);
  return aids && KeysCurrent(*aids, table, count);
}

void KeysErase(const SummaryTableEntry* table, uint32_t position, bool inStep) {
  TableAids* aids = FindAids(table);
  if (!aids) return;
  if (!inStep || position >= aids->keys.size()) {
    aids->keysKnown = false;
    return;
  }
  aids->keys.erase(aids->keys.begin() + position);
  aids->keysIndex = table->SortIndex;
  aids->keysCount = table->Count;
}

void KeysInsert(const SummaryTableEntry* table, uint32_t position, const char* name, bool inStep) {
  TableAids* aids = FindAids(table);
  if (!aids) return;
  if (!inStep || !name || position > aids->keys.size()) {
    aids->keysKnown = false;
    return;
  }
  aids->keys.insert(aids->keys.begin() + position, NameKey(name));
  aids->keysIndex = table->SortIndex;
  aids->keysCount = table->Count;
}

void KeysFollowIndex(const SummaryTableEntry* table, bool inStep) {
  TableAids* aids = FindAids(table);
  if (!aids) return;
  if (!inStep) {
    aids->keysKnown = false;
    return;
  }
  aids->keysIndex = table->SortIndex;
}

// The keys still hold the entry of the gap, so as many entries as the index
// has once it is filled.
void KeysFillGap(const SummaryTableEntry* table, uint32_t hole, uint32_t position, const char* name, bool inStep) {
  TableAids* aids = FindAids(table);
  if (!aids) return;
  if (!inStep || !name || !KeysCurrent(*aids, table, table->Count)) {
    aids->keysKnown = false;
    return;
  }
  uint64_t* keys = aids->keys.data();
  if (position < hole) {
    std::memmove(keys + position + 1, keys + position, (hole - position) * sizeof(uint64_t));
  } else if (position > hole) {
    std::memmove(keys + hole, keys + hole + 1, (position - hole) * sizeof(uint64_t));
  }
  keys[position] = NameKey(name);
}

// The first index position a search by name looks at.
uint32_t FirstSearchPosition(const SummaryTableEntry* table, uint32_t searchFrom) {
  uint32_t lo = searchFrom;
  if (table->Count && table->ItemBlock[0] && table->ItemBlock[0]->Overflow == 1 && lo < 1) lo = 1;
  return lo < table->Count ? lo : table->Count;
}

// The name of the item at index position p; null when there is none.
const char* NameAt(const SummaryTableEntry* table, uint32_t p) {
  const uint32_t item = table->SortIndex[p];
  if (item >= SlotsInUse(table)) return nullptr;
  const NameTableEntry* rec = table->ItemBlock[item];
  return rec ? rec->String : nullptr;
}

// FindItemPosition through the keys: the answer is the first position whose
// name is not below `name`, the position FindItemPosition gives. The keys
// only guide the search; the answer is checked against the names on both
// sides of it, and when the check fails (the index changed behind the keys)
// the keys are dropped and the index is searched as it is.
int FindPosition(const char* name, const SummaryTableEntry* table, uint32_t searchFrom, uint32_t* position) {
  const uint32_t hi = table->Count;
  if (hi < kKeysFrom || !name || !table->ItemBlock || !table->SortIndex) {
    return FindItemPosition(name, table, searchFrom, position);
  }
  const uint32_t lo = FirstSearchPosition(table, searchFrom);
  TableAids& aids = AidsOf(table);
  if (!KeysCurrent(aids, table, table->Count) && !BuildKeys(&aids, table)) {
    return FindItemPosition(name, table, searchFrom, position);
  }
  const uint64_t key = NameKey(name);
  const uint64_t* keys = aids.keys.data();
  uint32_t p = FirstKeyNotBelow(keys, lo, hi, key);
  // Names of the same key are told apart by the whole name.
  uint32_t end = FirstKeyAbove(keys, p, hi, key);
  // The positions compared on the way, and how: the check below needs no
  // second look at them.
  uint32_t below = kNoItem;      // its name sorts below `name`
  uint32_t notBelow = kNoItem;   // its name does not
  int notBelowOrder = 0;         // CompareItemNames(name, that name)
  while (p < end) {
    const uint32_t mid = p + (end - p) / 2;
    const char* at = NameAt(table, mid);
    if (!at) return FindItemPosition(name, table, searchFrom, position);
    const int c = CompareItemNames(name, at);
    if (c > 0) {
      p = mid + 1;
      below = mid;
    } else {
      end = mid;
      notBelow = mid;
      notBelowOrder = c;
    }
  }
  int order = -1;
  bool sound = true;
  if (p < hi) {
    if (notBelow == p) {
      order = notBelowOrder;
    } else {
      const char* at = NameAt(table, p);
      sound = at != nullptr && (order = CompareItemNames(name, at)) <= 0;
    }
  }
  if (sound && p > lo && below != p - 1) {
    const char* before = NameAt(table, p - 1);
    sound = before != nullptr && CompareItemNames(before, name) < 0;
  }
  if (!sound) {
    aids.keysKnown = false;
    return FindItemPosition(name, table, searchFrom, position);
  }
  *position = p;
  return p < hi && order == 0 ? 1 : 0;
}

struct Lookup {
  bool failed = false;
  uint32_t item = kNoItem;      // live item found
  uint32_t itemPos = kNoItem;   // its position
  uint32_t insertPos = 0;       // where a new item of this name goes
};

// Looks up `name`: a live entry is the answer; a retired entry followed by a
// live twin gives the twin; a retired entry alone gives the insert position
// just after it.
Lookup ResolveName(const SummaryTableEntry* table, const char* name, uint32_t searchFrom) {
  Lookup r;
  uint32_t pos = 0;
  int found = FindPosition(name, table, searchFrom, &pos);
  if (pos == kNoItem) {
    r.failed = true;
    return r;
  }
  if (!found) {
    r.insertPos = pos;
    return r;
  }
  NameTableEntry* rec = table->ItemBlock[table->SortIndex[pos]];
  if (!rec->TopFlag) {
    r.item = table->SortIndex[pos];
    r.itemPos = pos;
    return r;
  }
  if (pos + 1 < table->Count) {
    NameTableEntry* next = table->ItemBlock[table->SortIndex[pos + 1]];
    if (next && !next->TopFlag && next->String && CompareItemNames(next->String, name) == 0) {
      r.item = table->SortIndex[pos + 1];
      r.itemPos = pos + 1;
      return r;
    }
  }
  r.insertPos = pos + 1;
  return r;
}

// Position of the index entry of `item` among the entries whose key is its
// name's key: the index itself tells whether the entry there is the item,
// so no name is read; kNoItem when there are no keys or the item is not
// among them.
uint32_t KeyedPositionOf(const SummaryTableEntry* table, uint32_t item, uint32_t searchFrom) {
  const uint32_t hi = table->Count;
  const NameTableEntry* rec = ItemOf(table, item);
  if (hi < kKeysFrom || !rec || !rec->String || !table->SortIndex) return kNoItem;
  TableAids& aids = AidsOf(table);
  if (!KeysCurrent(aids, table, hi) && !BuildKeys(&aids, table)) return kNoItem;
  const uint32_t lo = FirstSearchPosition(table, searchFrom);
  const uint64_t key = NameKey(rec->String);
  const uint64_t* keys = aids.keys.data();
  for (uint32_t p = FirstKeyNotBelow(keys, lo, hi, key); p < hi && keys[p] == key; ++p) {
    if (table->SortIndex[p] == item) return p;
  }
  return kNoItem;
}

// Position of the index entry of `item`, found by its name; kNoItem when the
// index does not hold it there.
uint32_t IndexPositionOf(const SummaryTableEntry* table, uint32_t item, uint32_t searchFrom) {
  const uint32_t keyed = KeyedPositionOf(table, item, searchFrom);
  if (keyed != kNoItem) return keyed;
  NameTableEntry* rec = table->ItemBlock[item];
  uint32_t pos = 0;
  if (!rec->String || !FindPosition(rec->String, table, searchFrom, &pos) || pos == kNoItem) return kNoItem;
  // The search gives the retired twin first; the live item follows it.
  for (uint32_t p = pos; p < table->Count && p <= pos + 1; ++p) {
    if (table->SortIndex[p] == item) return p;
  }
  return kNoItem;
}

// Retires or folds the expired item `v` (already unlinked from the date list).
// An index entry it removes is left as the open `gap` (closed on entry).
bool ExpireItem(SummaryTableEntry* table, uint32_t v, uint32_t maxTop, uint32_t searchFrom, IndexGap* gap) {
  NameTableEntry* rec = table->ItemBlock[v];
  uint32_t pos = 0;
  const uint32_t own = KeyedPositionOf(table, v, searchFrom);
  if (own != kNoItem) {
    // The first entry of the name is V's own or, when V has one, its retired
    // twin's just before it (a table without retired items has none).
    pos = own;
    if (own > FirstSearchPosition(table, searchFrom) &&
        (table->TopCount != 0 || table->TopTableListHead != kNoItem)) {
      const NameTableEntry* before = ItemOf(table, table->SortIndex[own - 1]);
      if (before && before->TopFlag && before->String && CompareItemNames(before->String, rec->String) == 0) {
        pos = own - 1;
      }
    }
  } else if (!rec->String || !FindPosition(rec->String, table, searchFrom, &pos) || pos == kNoItem) {
    return false;
  }
  NameTableEntry* atPos = table->ItemBlock[table->SortIndex[pos]];
  if (atPos->TopFlag && table->SortIndex[pos] != v) {
    // Fold into the retired twin; V's entry is the one after it.
    if (pos + 1 >= table->Count || table->SortIndex[pos + 1] != v) return false;
    AddItemCounters(atPos, rec);
    OpenIndexGap(table, pos + 1, gap);
    FreeItemRecord(table, v);
    return true;
  }
  if (table->SortIndex[pos] != v) return false;
  NameTableEntry* overflow = table->ItemBlock[0];
  // A top list of at most maxTop - 1 items: a limit of 1 leaves no room for
  // one, which is the same as keeping none.
  if (maxTop <= 1) {
    AddItemCounters(overflow, rec);
    OpenIndexGap(table, pos, gap);
    FreeItemRecord(table, v);
    return true;
  }
  rec->TopFlag = 1;
  // Whether the kept eviction order follows this change of the list.
  bool ordered = false;
  if (table->TopCount + 1 < maxTop) {
    ordered = TopOrderCurrent(AidsOf(table), table);
    ++table->TopCount;
  } else {
    // Evict the retired item with the fewest hits (the first met from the
    // head wins a tie).
    uint32_t victim = PickVictim(table, &ordered);
    if (victim == kNoItem) {
      rec->TopFlag = 0;
      return false;
    }
    uint32_t vpos = IndexPositionOf(table, victim, searchFrom);
    if (vpos == kNoItem) {
      rec->TopFlag = 0;
      return false;
    }
    UnlinkItemFromTopTableList(table, victim);
    AddItemCounters(overflow, table->ItemBlock[victim]);
    OpenIndexGap(table, vpos, gap);
    FreeItemRecord(table, victim);
    if (ordered) {
      TableAids& aids = AidsOf(table);
      std::pop_heap(aids.top.begin(), aids.top.end(), GoesLater());
      aids.top.pop_back();
    }
  }
  InsertTopItemIntoList(table, v);
  if (ordered) {
    TableAids& aids = AidsOf(table);
    aids.top.push_back(TopKey{rec->TotalByHits, v, aids.nextSeq++});
    std::push_heap(aids.top.begin(), aids.top.end(), GoesLater());
    StampTopOrder(&aids, table);
  }
  return true;
}

}  // namespace

const char* ItemTableName(uint32_t table) {
  return table < static_cast<uint32_t>(kItemTableCount) ? kTableNames[table] : nullptr;
}

void InitTableDescriptor(SummaryTableEntry* table) {
  DropAids(table);
  std::memset(static_cast<void*>(table), 0, sizeof(*table));
  table->SizeWord = kSummaryTableEntrySize;
  table->FormatWord = kRecordFormat;
}

int CompareItemNames(const char* a, const char* b) {
  const auto* x = reinterpret_cast<const unsigned char*>(a);
  const auto* y = reinterpret_cast<const unsigned char*>(b);
  for (;; ++x, ++y) {
    unsigned char c = Fold(*x), d = Fold(*y);
    if (c != d) return c < d ? -1 : 1;
    if (c == 0) return 0;
  }
}

int FindItemPosition(const char* name, const SummaryTableEntry* table, uint32_t searchFrom, uint32_t* position) {
  uint32_t dummy = 0;
  if (!position) position = &dummy;
  *position = kNoItem;
  if (!name || !table) return 0;
  uint32_t hi = table->Count;
  if (hi && (!table->ItemBlock || !table->SortIndex)) return 0;
  uint32_t lo = FirstSearchPosition(table, searchFrom);
  auto entryName = [&](uint32_t p) -> const NameTableEntry* {
    uint32_t item = table->SortIndex[p];
    if (item >= SlotsInUse(table)) return nullptr;
    const NameTableEntry* rec = table->ItemBlock[item];
    return (rec && rec->String) ? rec : nullptr;
  };
  while (hi - lo >= 5) {
    uint32_t mid = lo + (hi - lo) / 2;
    const NameTableEntry* rec = entryName(mid);
    if (!rec) return 0;
    int c = CompareItemNames(name, rec->String);
    if (c < 0) {
      hi = mid;
    } else if (c > 0) {
      lo = mid;
    } else {
      *position = mid;
      if (!rec->TopFlag && mid > 0) {
        const NameTableEntry* before = entryName(mid - 1);
        if (before && before->TopFlag && CompareItemNames(name, before->String) == 0) *position = mid - 1;
      }
      return 1;
    }
  }
  for (uint32_t p = lo; p < hi; ++p) {
    const NameTableEntry* rec = entryName(p);
    if (!rec) {
      *position = kNoItem;
      return 0;
    }
    int c = CompareItemNames(name, rec->String);
    if (c == 0) {
      *position = p;
      return 1;
    }
    if (c < 0) {
      *position = p;
      return 0;
    }
  }
  *position = hi;
  return 0;
}

int InitItemTable(AnalysisContext* context, SummaryTableEntry* table, uint32_t idleLimit) {
  if (!table) return 0;
  table->DeleteListHead = kNoItem;
  table->DateListHead = kNoItem;
  table->DateListTail = kNoItem;
  table->TopTableListHead = kNoItem;
  table->TopTableListTail = kNoItem;
  if (idleLimit == 0) return 1;
  const char* others = "Others";
  if (context && context->options && context->options->texts[kOptOthers]) others = context->options->texts[kOptOthers];
  auto* block = static_cast<NameTableEntry**>(std::calloc(kFirstChunkSize, sizeof(NameTableEntry*)));
  auto* index = static_cast<uint32_t*>(std::calloc(kFirstChunkSize, sizeof(uint32_t)));
  auto* rec = static_cast<NameTableEntry*>(std::calloc(1, sizeof(NameTableEntry)));
  char* name = CopyText(others);
  if (!block || !index || !rec || !name) {
    std::free(block);
    std::free(index);
    std::free(rec);
    std::free(name);
    return 0;
  }
  std::free(table->ItemBlock);
  std::free(table->SortIndex);
  MakeNewRecord(rec);
  rec->String = name;
  rec->Overflow = 1;
  rec->LastDateTime = 0xFFFFFFFFu;
  block[0] = rec;
  index[0] = 0;
  table->ItemBlock = block;
  table->Items = block;
  table->SortIndex = index;
  table->ChunkSize = kFirstChunkSize;
  table->Count = 1;
  return 1;
}

void InsertLinkListItem(SummaryTableEntry* table, uint32_t item) {
  NameTableEntry* rec = ItemOf(table, item);
  if (!rec) return;
  uint32_t prev = kNoItem;
  uint32_t cur = table->DateListHead;
  while (cur != kNoItem) {
    NameTableEntry* c = ItemOf(table, cur);
    if (!c || c->LastDateTime < rec->LastDateTime) break;
    prev = cur;
    cur = c->NextLink;
  }
  rec->PrevLink = prev;
  rec->NextLink = cur;
  if (prev == kNoItem) table->DateListHead = item;
  else table->ItemBlock[prev]->NextLink = item;
  if (cur == kNoItem) table->DateListTail = item;
  else table->ItemBlock[cur]->PrevLink = item;
}

namespace {
void Unlink(SummaryTableEntry* table, uint32_t item, uint32_t* head, uint32_t* tail) {
  NameTableEntry* rec = ItemOf(table, item);
  if (!rec) return;
  NameTableEntry* prev = ItemOf(table, rec->PrevLink);
  NameTableEntry* next = ItemOf(table, rec->NextLink);
  if (prev) prev->NextLink = rec->NextLink;
  else if (*head == item) *head = rec->NextLink;
  if (next) next->PrevLink = rec->PrevLink;
  else if (*tail == item) *tail = rec->PrevLink;
}
}  // namespace

void UnlinkItemFromList(SummaryTableEntry* table, uint32_t item) {
  Unlink(table, item, &table->DateListHead, &table->DateListTail);
}

void InsertTopItemIntoList(SummaryTableEntry* table, uint32_t item) {
  NameTableEntry* rec = ItemOf(table, item);
  if (!rec) return;
  rec->PrevLink = kNoItem;
  rec->NextLink = table->TopTableListHead;
  NameTableEntry* head = ItemOf(table, table->TopTableListHead);
  if (head) head->PrevLink = item;
  else table->TopTableListTail = item;
  table->TopTableListHead = item;
}

void UnlinkItemFromTopTableList(SummaryTableEntry* table, uint32_t item) {
  Unlink(table, item, &table->TopTableListHead, &table->TopTableListTail);
}

uint32_t AddItemToTable(uint32_t postVisits, uint32_t* isNew, AnalysisContext* context, SummaryTableEntry* table,
                        const char* name, const char* newName, uint32_t time, uint32_t idleLimit,
                        uint32_t /*cachedCount*/, uint32_t maxTop, uint32_t searchFrom) {
  if (!table || !name) return 0;
  if (table->Count == 0 && table->DeleteCount == 0 && !InitItemTable(context, table, idleLimit)) return 0;

  const bool haveNewName = newName && *newName;
  // A plain lookup tries the name cache before the index.
  const bool plainLookup = !haveNewName && searchFrom == 0;
  const uint32_t hash = plainLookup ? NameHash(name) : 0;

  // A name without a live item, looked up before the expiry: the expiry only
  // removes entries (the position shifts down for each one before it) and
  // retires or folds items that have other names, so the name still has no
  // live item after it. The new entry then fills the gap the expiry's last
  // removal leaves.
  bool placedEarly = false;
  uint32_t earlyPos = 0;
  IndexGap gap;
  struct GapCloser {
    SummaryTableEntry* table;
    IndexGap* gap;
    ~GapCloser() { CloseIndexGap(table, gap); }
  } closer{table, &gap};

  // Expiry: retire or fold every item idle for more than idleLimit seconds.
  if (idleLimit != 0) {
    const NameTableEntry* oldest = ItemOf(table, table->DateListTail);
    if (plainLookup && table->Count != 0 && oldest && oldest->LastDateTime + idleLimit < time) {
      const NameSlot* early = NameSlotOf(table, hash);
      if (!(early->hash == hash && IsLiveItemNamed(table, early->item, name))) {
        const Lookup byName = ResolveName(table, name, searchFrom);
        if (!byName.failed && byName.item == kNoItem) {
          placedEarly = true;
          earlyPos = byName.insertPos;
        }
      }
    }
    while (table->DateListTail != kNoItem) {
      uint32_t v = table->DateListTail;
      NameTableEntry* rec = ItemOf(table, v);
      if (!rec) return 0;
      if (!(rec->LastDateTime + idleLimit < time)) break;
      UnlinkItemFromList(table, v);
      if (postVisits == 1) PostVisitDetails(context, v);
      FreeItemTopNames(rec);
      CloseIndexGap(table, &gap);
      if (!ExpireItem(table, v, maxTop, searchFrom, &gap)) {
        // The item stays live: it goes back into the date list so that the
        // lists stay whole, and the call fails.
        InsertLinkListItem(table, v);
        return 0;
      }
      if (gap.open && gap.pos < earlyPos) --earlyPos;
    }
  }

  Lookup found;
  uint32_t insertPos = 0;
  NameSlot* slot = nullptr;
  if (placedEarly) {
    slot = NameSlotOf(table, hash);
    insertPos = earlyPos;
  } else {
    CloseIndexGap(table, &gap);
    if (plainLookup && table->Count != 0) {
      slot = NameSlotOf(table, hash);
      if (slot && slot->hash == hash && IsLiveItemNamed(table, slot->item, name)) found.item = slot->item;
    }
  }
  if (!placedEarly && table->Count != 0 && found.item == kNoItem) {
    if (haveNewName) {
      found = ResolveName(table, newName, searchFrom);
      if (found.failed) return 0;
      insertPos = found.insertPos;
    }
    if (found.item == kNoItem) {
      Lookup byName = ResolveName(table, name, searchFrom);
      if (byName.failed) return 0;
      if (!haveNewName) insertPos = byName.insertPos;
      if (byName.item != kNoItem && haveNewName) {
        // The item found by its old name takes the better name and moves to
        // that name's place in the index.
        char* copy = CopyText(newName);
        if (!copy) return 0;
        NameTableEntry* rec = table->ItemBlock[byName.item];
        std::free(rec->String);
        rec->String = copy;
        uint32_t from = byName.itemPos;
        uint32_t to = insertPos;
        const bool inStep = KeysInStep(table, table->Count);
        if (to > from) {
          --to;
          std::memmove(table->SortIndex + from, table->SortIndex + from + 1, (to - from) * sizeof(uint32_t));
        } else if (to < from) {
          std::memmove(table->SortIndex + to + 1, table->SortIndex + to, (from - to) * sizeof(uint32_t));
        }
        table->SortIndex[to] = byName.item;
        KeysErase(table, from, inStep);
        KeysInsert(table, to, copy, inStep);
      }
      if (byName.item != kNoItem) found = byName;
    }
  }

  if (found.item != kNoItem) {
    NameTableEntry* rec = table->ItemBlock[found.item];
    if (idleLimit != 0 && rec->LastDateTime < time) {
      rec->LastDateTime = time;
      UnlinkItemFromList(table, found.item);
      InsertLinkListItem(table, found.item);
    }
    if (slot) *slot = NameSlot{hash, found.item};
    return found.item + 1;
  }

  if (isNew) *isNew = 1;
  // The name is made first, so that a failure leaves the table as it was.
  char* copy = CopyText(haveNewName ? newName : name);
  if (!copy) return 0;
  uint32_t item;
  NameTableEntry* rec;
  if (table->DeleteCount != 0) {
    item = table->DeleteListHead;
    rec = ItemOf(table, item);
    if (!rec || !rec->Deleted) {
      std::free(copy);
      return 0;
    }
    table->DeleteListHead = rec->NextLink;
    --table->DeleteCount;
    MakeNewRecord(rec);
    ++table->Count;
  } else {
    CloseIndexGap(table, &gap);
    if (!GrowForAppend(table)) {
      std::free(copy);
      return 0;
    }
    rec = static_cast<NameTableEntry*>(std::malloc(sizeof(NameTableEntry)));
    if (!rec) {
      std::free(copy);
      return 0;
    }
    MakeNewRecord(rec);
    item = table->Count;
    table->ItemBlock[item] = rec;
    ++table->Count;
  }
  rec->String = copy;
  rec->LastDateTime = time;
  if (insertPos > table->Count - 1) insertPos = table->Count - 1;
  if (gap.open) {
    FillIndexGap(table, &gap, insertPos, item, copy);
  } else {
    InsertIndexEntry(table, insertPos, item, copy);
  }
  if (idleLimit != 0) InsertLinkListItem(table, item);
  if (slot) *slot = NameSlot{hash, item};
  return item + 1;
}

uint32_t AddTimedItemToTable(uint32_t postVisits, uint32_t* isNew, AnalysisContext* context,
                             SummaryTableEntry* table, const char* name, const char* newName, uint32_t time,
                             uint32_t idleLimit, uint32_t cachedCount, uint32_t maxTop) {
  return AddItemToTable(postVisits, isNew, context, table, name, newName, time, idleLimit, cachedCount, maxTop, 0);
}

uint32_t AddNameToTable(SummaryTableEntry* table, const char* name) {
  return AddItemToTable(0, nullptr, nullptr, table, name, nullptr, 0, 0, 0, 0, 0);
}

void MergeTopTwins(SummaryTableEntry* table) {
  if (!table || !table->ItemBlock) return;
  const uint32_t slots = SlotsInUse(table);
  for (uint32_t j = 1; j < slots; ++j) {
    NameTableEntry* retired = table->ItemBlock[j];
    if (!retired || !retired->TopFlag || retired->Deleted) continue;
    if (!retired->String) return;
    // The live twin follows its retired twin in the name index; without a
    // usable index entry the items are searched one by one.
    uint32_t twin = kNoItem;
    uint32_t twinPos = kNoItem;
    uint32_t pos = 0;
    const bool indexed =
        FindItemPosition(retired->String, table, 0, &pos) && pos != kNoItem && table->SortIndex[pos] == j;
    if (indexed) {
      if (pos + 1 < table->Count) {
        uint32_t next = table->SortIndex[pos + 1];
        NameTableEntry* rec = ItemOf(table, next);
        if (rec && !rec->TopFlag && !rec->Deleted && !rec->Overflow && rec->String &&
            CompareItemNames(rec->String, retired->String) == 0) {
          twin = next;
          twinPos = pos + 1;
        }
      }
    } else {
      for (uint32_t i = 1; i < slots; ++i) {
        NameTableEntry* rec = table->ItemBlock[i];
        if (!rec || rec->TopFlag || rec->Deleted || rec->Overflow) continue;
        if (!rec->String) return;
        if (CompareItemNames(rec->String, retired->String) == 0) {
          twin = i;
          break;
        }
      }
      if (twin != kNoItem) {
        for (uint32_t p = 0; p < table->Count; ++p) {
          if (table->SortIndex[p] == twin) {
            twinPos = p;
            break;
          }
        }
      }
    }
    if (twin == kNoItem) continue;
    NameTableEntry* live = table->ItemBlock[twin];
    retired->LastDateTime = live->LastDateTime;
    AddItemCounters(retired, live);
    // The merged item leaves the counted items: its index entry goes and its
    // record joins the freed ones, so Count keeps matching the index.
    if (twinPos != kNoItem) {
      RemoveIndexEntry(table, twinPos);
    } else if (table->Count) {
      --table->Count;
    }
    FreeItemRecord(table, twin);
  }
}

// ---- a visit's lists -----------------------------------------------------------

int CreateItemTopNames(NameTableEntry* item) {
  if (!item) return 0;
  if (item->TopNames) return 1;
  auto* lists = static_cast<TopNameList*>(std::calloc(kTopNameListCount, sizeof(TopNameList)));
  if (!lists) return 0;
  for (uint16_t i = 0; i < kTopNameListCount; ++i) {
    lists[i].size = kTopNameListSize;
    lists[i].format = kRecordFormat;
  }
  item->TopNames = lists;
  item->TopNamesCount = kTopNameListCount;
  return 1;
}

namespace {

// Calls `f` with each item number of a list, in order; stops when it
// answers false.
template <typename F>
void ForEachTopName(const TopNameList& list, F f) {
  if (!list.values) return;
  for (uint32_t i = 0; i < list.count;) {
    uint32_t value = list.values[i];
    if (value == kWideTopName && i + 2u < list.count) {
      value = (uint32_t{list.values[i + 1]} << 16) | list.values[i + 2];
      i += 3;
    } else {
      i += 1;
    }
    if (!f(value)) return;
  }
}

}  // namespace

uint32_t TopNameItemCount(const TopNameList& list) {
  uint32_t n = 0;
  ForEachTopName(list, [&n](uint32_t) { return ++n, true; });
  return n;
}

uint32_t LastTopNameItem(const TopNameList& list) {
  uint32_t last = kNoItem;
  ForEachTopName(list, [&last](uint32_t v) { return last = v, true; });
  return last;
}

int AddTopName(AnalysisContext* /*context*/, NameTableEntry* item, uint16_t list, uint32_t value) {
  // List 11 holds 32-bit trail entries and is filled by AppendVisitTrail.
  if (!item || list >= kTopNameListCount || list == kListTrail) return 0;
  if (!item->TopNames && !CreateItemTopNames(item)) return 0;
  TopNameList& l = item->Lists()[list];
  bool listed = false;
  ForEachTopName(l, [&](uint32_t v) { return !(listed = v == value); });
  if (listed) return 0;
  const uint32_t needed = value >= kWideTopName ? 3 : 1;
  if (l.count + needed > 0xFFFFu) return 0;
  auto* grown = static_cast<uint16_t*>(std::realloc(l.values, (l.count + needed) * sizeof(uint16_t)));
  if (!grown) return 0;
  l.values = grown;
  if (needed == 3) {
    l.values[l.count++] = kWideTopName;
    l.values[l.count++] = static_cast<uint16_t>(value >> 16);
  }
  l.values[l.count++] = static_cast<uint16_t>(value);
  return 1;
}

int AppendVisitTrail(AnalysisContext* /*context*/, uint16_t* count, uint32_t** array, uint16_t itemNumber,
                     uint16_t isForm) {
  if (!count || !array || *count >= kMaxVisitTrail) return 0;
  uint32_t entry = uint32_t{itemNumber} | (uint32_t{isForm} << 16);
  if (*count > 0 && *array && (*array)[*count - 1] == entry) return 0;
  auto* grown = static_cast<uint32_t*>(std::realloc(*array, (*count + 1u) * sizeof(uint32_t)));
  if (!grown) return 0;
  *array = grown;
  grown[(*count)++] = entry;
  return 1;
}

void FreeItemTopNames(NameTableEntry* item) {
  if (!item) return;
  if (item->TopNames) {
    TopNameList* lists = item->Lists();
    for (uint32_t i = 0; i < item->TopNamesCount && i < kTopNameListCount; ++i) std::free(lists[i].values);
    std::free(lists);
  }
  item->TopNames = nullptr;
  item->TopNamesCount = 0;
}

void FreeItemTopNamesAt(SummaryTableEntry* table, uint32_t item) {
  if (table) FreeItemTopNames(ItemOf(table, item));
}

void FreeDetailEntryList(SearchDetailEntry** entries, uint32_t count) {
  if (!entries) return;
  for (uint32_t i = 0; i < count; ++i) {
    if (!entries[i]) continue;
    std::free(entries[i]->text);
    std::free(entries[i]);
  }
  std::free(entries);
}

void FreeTableDetailLists(SummaryTableEntry* table) {
  if (!table || !table->ItemBlock) return;
  for (uint32_t n = 0; n < SlotsInUse(table); ++n) {
    NameTableEntry* rec = table->ItemBlock[n];
    if (!rec) continue;
    FreeDetailEntryList(rec->Details(), rec->TopNamesCount);
    rec->TopNames = nullptr;
    rec->TopNamesCount = 0;
  }
}

void FreeItemTable(SummaryTableEntry* table) {
  if (!table) return;
  if (table->ItemBlock) {
    if (!table->Items) table->Items = table->ItemBlock;
    for (uint32_t n = 0; n < SlotsInUse(table) && n < table->ChunkSize; ++n) {
      NameTableEntry* rec = table->ItemBlock[n];
      if (!rec) continue;
      std::free(rec->String);
      FreeItemTopNames(rec);
      std::free(rec);
    }
  }
  std::free(table->SortIndex);
  std::free(table->ItemBlock);
  // An emptied table starts again from nothing.
  InitTableDescriptor(table);
}

// ---- the analysis block ----------------------------------------------------------

KvGlobal AllocAnalysisDatabase() {
  KvGlobal handle = kv::GlobalAlloc(kv::kGlobalMoveable | kv::kGlobalZeroInit, sizeof(AnalysisContext));
  if (!handle) return 0;
  auto* context = static_cast<AnalysisContext*>(kv::GlobalLock(handle));
  if (!context) {
    kv::GlobalFree(handle);
    return 0;
  }
  context->sizeWord = kAnalysisBlockSize;
  context->formatWord = kRecordFormat;
  context->templ.sizeWord = kAnalysisBlockSize;
  context->templ.formatWord = kRecordFormat;
  kv::GlobalUnlock(handle);
  return handle;
}

void FreeContextLists(AnalysisContext* context, int deleteTemplate) {
  if (context) FreeContextOwnedLists(context, deleteTemplate);
}

void FreeAnalysisDatabase(KvGlobal handle) {
  if (!handle) return;
  auto* context = static_cast<AnalysisContext*>(kv::GlobalLock(handle));
  if (!context) {
    kv::GlobalFree(handle);
    return;
  }
  FreeContextLists(context, 1);
  ReleaseDayBook(context);
  TemplateRecord& t = context->templ;
  if (t.TopTablesPtr) {
    for (uint32_t i = 0; i < t.TopTablesCount; ++i) {
      SummaryTableEntry* table = &t.TopTablesPtr[i];
      if (i == kTopSearchKeywords || i == kTopSearchEngines) FreeTableDetailLists(table);
      FreeItemTable(table);
    }
    std::free(t.TopTablesPtr);
    t.TopTablesPtr = nullptr;
  }
  if (t.TopUsersPtr) {
    FreeItemTable(t.TopUsersPtr);
    std::free(t.TopUsersPtr);
    t.TopUsersPtr = nullptr;
  }
  // Options still held (no one released them) go with the block.
  FreeReportOptions(context->options);
  context->options = nullptr;
  kv::GlobalUnlock(handle);
  kv::GlobalFree(handle);
}

void DetachAllTableItems(KvGlobal handle) {
  auto* context = static_cast<AnalysisContext*>(kv::GlobalLock(handle));
  if (!context) return;
  TemplateRecord& t = context->templ;
  if (t.TopTablesPtr) {
    for (uint32_t i = 0; i < t.TopTablesCount && i < static_cast<uint32_t>(kItemTableCount); ++i) {
      SummaryTableEntry& table = t.TopTablesPtr[i];
      if (table.ItemBlock && table.Items) table.Items = nullptr;
    }
  }
  kv::GlobalUnlock(handle);
}

// ---- stored images -----------------------------------------------------------------

namespace {
inline void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t Get32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline void PutDouble(uint8_t* p, double d) {
  uint64_t v;
  std::memcpy(&v, &d, 8);
  Put32(p, static_cast<uint32_t>(v));
  Put32(p + 4, static_cast<uint32_t>(v >> 32));
}
inline double GetDouble(const uint8_t* p) {
  uint64_t v = uint64_t{Get32(p)} | (uint64_t{Get32(p + 4)} << 32);
  double d;
  std::memcpy(&d, &v, 8);
  return d;
}
}  // namespace

void EncodeNameTableEntry(const NameTableEntry& item, uint32_t stringOffset, uint32_t topNamesOffset,
                          uint8_t out[kNameTableEntrySize]) {
  uint8_t* p = out;
  auto put = [&p](uint32_t v) {
    Put32(p, v);
    p += 4;
  };
  put(item.SizeWord);
  put(item.FormatWord);
  put(item.Overflow);
  put(item.TopFlag);
  put(item.Deleted);
  put(item.PrevLink);
  put(item.NextLink);
  put(item.LastDateTime);
  put(item.OriginalIndex);
  put(item.TotalByHits);
  for (uint32_t v : item.SlotHits) put(v);
  put(item.TotalByUsers);
  for (uint32_t v : item.SlotUsers) put(v);
  put(item.NonCachedTotalByHits);
  PutDouble(p, item.TotalBytes);
  p += 8;
  put(item.LastPageWasForm);
  put(item.LastPageTime);
  put(item.LastPageEntryItem);
  put(item.TimeOnPages);
  put(item.TimeOnPagesCount);
  put(stringOffset);
  put(item.TopNamesCount);
  put(topNamesOffset);
  put(item.Banned);
}

bool DecodeNameTableEntry(const uint8_t in[kNameTableEntrySize], NameTableEntry* item, uint32_t* stringOffset,
                          uint32_t* topNamesOffset) {
  if (!item || Get32(in) != kNameTableEntrySize || Get32(in + 4) != kRecordFormat) return false;
  std::memset(static_cast<void*>(item), 0, sizeof(*item));
  const uint8_t* p = in;
  auto get = [&p]() {
    uint32_t v = Get32(p);
    p += 4;
    return v;
  };
  item->SizeWord = get();
  item->FormatWord = get();
  item->Overflow = get();
  item->TopFlag = get();
  item->Deleted = get();
  item->PrevLink = get();
  item->NextLink = get();
  item->LastDateTime = get();
  item->OriginalIndex = get();
  item->TotalByHits = get();
  for (uint32_t& v : item->SlotHits) v = get();
  item->TotalByUsers = get();
  for (uint32_t& v : item->SlotUsers) v = get();
  item->NonCachedTotalByHits = get();
  item->TotalBytes = GetDouble(p);
  p += 8;
  item->LastPageWasForm = get();
  item->LastPageTime = get();
  item->LastPageEntryItem = get();
  item->TimeOnPages = get();
  item->TimeOnPagesCount = get();
  uint32_t s = get();
  item->TopNamesCount = get();
  uint32_t t = get();
  item->Banned = get();
  if (stringOffset) *stringOffset = s;
  if (topNamesOffset) *topNamesOffset = t;
  return true;
}

void EncodeSummaryTableEntry(const SummaryTableEntry& table, uint32_t itemBlockOffset, uint32_t itemsOffset,
                             uint32_t sortIndexOffset, uint8_t out[kSummaryTableEntrySize]) {
  const uint32_t words[15] = {table.SizeWord,         table.FormatWord,       table.TopCount,
                              table.Count,            table.DeleteCount,      table.DeleteListHead,
                              table.DateListHead,     table.DateListTail,     table.TopTableListHead,
                              table.TopTableListTail, table.ChunkSize,        table.SortIndexCount,
                              itemBlockOffset,        itemsOffset,            sortIndexOffset};
  for (int i = 0; i < 15; ++i) Put32(out + 4 * i, words[i]);
}

bool DecodeSummaryTableEntry(const uint8_t in[kSummaryTableEntrySize], SummaryTableEntry* table,
                             uint32_t* itemBlockOffset, uint32_t* itemsOffset, uint32_t* sortIndexOffset) {
  if (!table || Get32(in) != kSummaryTableEntrySize || Get32(in + 4) != kRecordFormat) return false;
  InitTableDescriptor(table);
  uint32_t w[15];
  for (int i = 0; i < 15; ++i) w[i] = Get32(in + 4 * i);
  table->TopCount = w[2];
  table->Count = w[3];
  table->DeleteCount = w[4];
  table->DeleteListHead = w[5];
  table->DateListHead = w[6];
  table->DateListTail = w[7];
  table->TopTableListHead = w[8];
  table->TopTableListTail = w[9];
  table->ChunkSize = w[10];
  table->SortIndexCount = w[11];
  if (itemBlockOffset) *itemBlockOffset = w[12];
  if (itemsOffset) *itemsOffset = w[13];
  if (sortIndexOffset) *sortIndexOffset = w[14];
  return true;
}

void EncodeTopNameList(const TopNameList& list, uint32_t arrayOffset, uint8_t out[kTopNameListSize]) {
  Put32(out, list.size);
  Put32(out + 4, list.format);
  out[8] = static_cast<uint8_t>(list.count);
  out[9] = static_cast<uint8_t>(list.count >> 8);
  Put32(out + 10, arrayOffset);
}

bool DecodeTopNameList(const uint8_t in[kTopNameListSize], TopNameList* list, uint32_t* arrayOffset) {
  if (!list || Get32(in) != kTopNameListSize || Get32(in + 4) != kRecordFormat) return false;
  list->size = kTopNameListSize;
  list->format = kRecordFormat;
  list->count = static_cast<uint16_t>(in[8] | (in[9] << 8));
  list->values = nullptr;
  if (arrayOffset) *arrayOffset = Get32(in + 10);
  return true;
}

}  // namespace vrn
