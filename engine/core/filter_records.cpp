// Filter records: allocation, copying, linking, the text forms of lists,
// status codes and days, the "[Filter%d]" sections of a profile file, and the
// credential scrambler.
#include "engine/core/filter_records.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "engine/core/engine_state.h"
#include "engine/core/profile.h"

namespace vrn {
namespace {

constexpr uint32_t kTestBits = 0xFFFu;

char* DupText(std::string_view text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) return nullptr;
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// Appends a node holding its own copy of text at *tail; false when memory is
// short (nothing appended then).
bool AppendItem(FilterString**& tail, std::string_view text) {
  auto* node = static_cast<FilterString*>(std::calloc(1, sizeof(FilterString)));
  if (node == nullptr) return false;
  node->Text = DupText(text);
  if (node->Text == nullptr) {
    std::free(node);
    return false;
  }
  *tail = node;
  tail = &node->Next;
  return true;
}

FilterString* SingleItemList(const char* text) {
  FilterString* list = nullptr;
  FilterStringToStruct(text, &list, 0);
  return list;
}

// An item as it stands in a list text: bare, or quoted when it holds a
// blank or a comma or begins with a quote (which a bare item cannot, since a
// leading quote starts a quoted item). Double quotes unless the item holds
// one.
std::string QuoteItem(std::string_view item) {
  const bool needs = item.find_first_of(" ,") != std::string_view::npos ||
                     (!item.empty() && (item.front() == '"' || item.front() == '\''));
  if (!needs) return std::string(item);
  const char q = item.find('"') != std::string_view::npos ? '\'' : '"';
  std::string s;
  s.reserve(item.size() + 2);
  s += q;
  s += item;
  s += q;
  return s;
}

// The full list text (no size limit).
std::string ListText(const FilterString* list) {
  std::string s;
  for (const FilterString* n = list; n != nullptr; n = n->Next) {
    if (n->Text == nullptr) continue;
    s += QuoteItem(n->Text);
    s += ' ';
  }
  if (!s.empty()) s.pop_back();
  return s;
}

// The text of a list read in whole mode (one item): the items joined by
// blanks, in double quotes when the reader would otherwise drop leading
// blanks or a pair of enclosing quotes.
std::string WholeText(const FilterString* list) {
  std::string s;
  for (const FilterString* n = list; n != nullptr; n = n->Next) {
    if (n->Text == nullptr) continue;
    if (!s.empty()) s += ' ';
    s += n->Text;
  }
  const bool edgeQuotes = s.size() >= 2 && s.front() == s.back() && (s.front() == '"' || s.front() == '\'');
  if (edgeQuotes || (!s.empty() && s.front() == ' ')) s = '"' + s + '"';
  return s;
}

const char* FirstItem(const FilterString* list) {
  return (list != nullptr && list->Text != nullptr) ? list->Text : nullptr;
}

bool FirstItemIsNonStar(const FilterString* list) {
  const char* first = FirstItem(list);
  return first != nullptr && first[0] != '\0' && std::strcmp(first, "*") != 0;
}

// The decimal value of a status-code token (its first 19 characters).
uint32_t CodeValue(std::string_view token) {
  if (token.size() > 19) token = token.substr(0, 19);
  size_t i = 0;
  while (i < token.size() && token[i] == ' ') ++i;
  bool negative = false;
  if (i < token.size() && (token[i] == '-' || token[i] == '+')) negative = token[i++] == '-';
  uint64_t n = 0;
  for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) n = n * 10 + uint64_t(token[i] - '0');
  const uint32_t v = static_cast<uint32_t>(n);
  return negative ? 0u - v : v;
}

void AppendLine(std::string& out, const char* key, std::string_view value) { AppendKeyLine(out, key, value); }

void AppendNumber(std::string& out, const char* key, uint32_t value) {
  AppendKeyNumber(out, key, static_cast<int32_t>(value));
}

void AppendFlag(std::string& out, const char* key, bool on) { AppendLine(out, key, on ? "1" : "0"); }

// A list line (only when its text is not empty); false when the text is too
// long to be read back whole or holds a line break.
bool AppendListLine(std::string& out, const char* key, const std::string& text) {
  if (text.size() > kFilterTextWidth - 1 || HasLineBreak(text)) return false;
  if (!text.empty()) AppendLine(out, key, text);
  return true;
}

// True when text, read as a split list, gives the list's items again (empty
// items, which reading passes over, aside).
bool ReadsBackAs(const std::string& text, const FilterString* list) {
  FilterString* read = nullptr;
  FilterStringToStruct(text.c_str(), &read, 1);
  const FilterString* a = read;
  const FilterString* b = list;
  bool same = true;
  for (;;) {
    while (b != nullptr && (b->Text == nullptr || b->Text[0] == '\0')) b = b->Next;
    if (a == nullptr || b == nullptr) {
      same = a == nullptr && b == nullptr;
      break;
    }
    if (a->Text == nullptr || std::strcmp(a->Text, b->Text) != 0) {
      same = false;
      break;
    }
    a = a->Next;
    b = b->Next;
  }
  FreeFilterStrings(read);
  return same;
}

// Says through the client's error display why a filter cannot be saved.
void RefuseFilter(std::string_view name, const char* what) {
  const std::string text = "The filter \"" + std::string(name) + "\" cannot be saved: " + what;
  DisplayReportError(text.c_str());
}

}  // namespace

FilterRecord* ReadFilterSection(const ProfileText& text, std::string_view sectionName, bool* bad) {
  *bad = false;
  FilterRecord* f = AllocateBlankFilter();
  if (f == nullptr) return nullptr;
  auto str = [&](const char* key) { return text.GetString(sectionName, key, "").substr(0, kFilterTextWidth - 1); };
  auto num = [&](const char* key, int32_t def) { return text.GetInt(sectionName, key, def); };
  auto list = [&](const char* key, FilterString** out, int split) {
    const std::string value = str(key);
    FilterStringToStruct(value.c_str(), out, split);
  };

  text.GetField(sectionName, "Name", "", f->Name, sizeof f->Name);

  const std::string type = text.GetString(sectionName, "FilterType", "").substr(0, 99);
  if (strcasecmp(type.c_str(), "include") == 0) {
    f->FilterType = FILTER_INCLUDE;
  } else if (strcasecmp(type.c_str(), "exclude") == 0) {
    f->FilterType = FILTER_EXCLUDE;
  } else {
    FreeOneFilter(f);
    *bad = true;
    return nullptr;
  }
  const bool include = f->FilterType == FILTER_INCLUDE;
  // An "Enabled" key: 1 switches the test on, an absent key (2) lets the
  // filter's content decide, anything else leaves it off.
  auto enable = [&](const char* key, uint32_t bit, bool whenAbsent) {
    const int32_t v = num(key, 2);
    if (v == 1 || (v == 2 && whenAbsent)) f->dwFlags |= bit;
  };

  const std::string codes = str("ReturnCodes");
  if (!codes.empty()) ReturnCodeStringToStruct(codes.c_str(), f);
  enable("ReturnCodesEnabled", ENABLE_RETURNCODES,
         include ? f->ReturnCodes[0] != FILTER_ALL_CODES : f->ReturnCodes[0] != 0);

  list("Users", &f->Users, 1);
  enable("UsersEnabled", ENABLE_USERS, !IsDefaultFilterList(f->Users, "*", include));

  list("MultiHomeDomain", &f->MultiHomeDomain, 1);
  enable("MultiHomeDomainEnabled", ENABLE_MULTIHOME, !IsDefaultFilterList(f->MultiHomeDomain, "*", include));

  list("Directory", &f->Directory, 1);
  f->IncludeSubDirs = static_cast<uint32_t>(num("IncludeSubDirs", 0));
  f->DirectoryCaseSensitive = static_cast<uint32_t>(num("DirectoryCaseSensitive", 0));
  enable("DirectoryEnabled", ENABLE_DIRECTORY,
         (f->IncludeSubDirs == 0 && (include || f->Directory != nullptr)) ||
             !IsDefaultFilterList(f->Directory, "/", include));

  list("Files", &f->Files, 1);
  f->FilesCaseSensitive = static_cast<uint32_t>(num("FilesCaseSensitive", 0));
  f->IncludeDefaultPages = static_cast<uint32_t>(num("IncludeDefaultPages", 0));
  enable("FilesEnabled", ENABLE_FILES, !IsDefaultFilterList(f->Files, "*.*", include));

  const int32_t referrerEnabled = num("ReferrerEnabled", 2);
  const std::string referrer = str("Referrer");
  if (!referrer.empty()) {
    const bool whole = referrerEnabled == 2 && strcasecmp(referrer.c_str(), "(No Referrer)") == 0;
    FilterStringToStruct(referrer.c_str(), &f->Referrer, whole ? 0 : 1);
  }
  if (referrerEnabled == 1 || (referrerEnabled == 2 && !IsDefaultFilterList(f->Referrer, "*", include))) {
    f->dwFlags |= ENABLE_REFERRER;
  }

  list("AdClick", &f->AdClick, 0);
  list("AdView", &f->AdView, 0);
  enable("AdsEnabled", ENABLE_ADS, FirstItemIsNonStar(f->AdView) || FirstItemIsNonStar(f->AdClick));

  list("SearchKeywords", &f->SearchKeywords, 1);
  {
    const FilterString* k = f->SearchKeywords;
    const bool singleStar = k != nullptr && k->Next == nullptr && k->Text != nullptr && std::strcmp(k->Text, "*") == 0;
    enable("SearchKeywordsEnabled", ENABLE_SEARCHKEYWORDS, k != nullptr && !singleStar);
  }

  f->HourAllNone = static_cast<uint32_t>(num("HourAll/None", 1));
  f->HourBegin = static_cast<uint32_t>(num("HourBegin", 8));
  f->HourEnd = static_cast<uint32_t>(num("HourEnd", 17));
  enable("HourEnabled", ENABLE_HOURS, f->HourAllNone == 0);

  const std::string days = str("Days");
  if (!days.empty()) {
    f->Days = DaysStringToMask(days.c_str());
  } else {
    f->Days = include ? FILTER_ALL_DAYS : 0;
  }
  enable("DaysEnabled", ENABLE_DAYS, include ? f->Days != FILTER_ALL_DAYS : f->Days != 0);

  list("Username", &f->Username, 1);
  if (f->Username == nullptr && include) f->Username = SingleItemList("*");
  f->UsernameCaseSensitive = static_cast<uint32_t>(num("UsernameCaseSensitive", 0));
  f->UsernameAll = static_cast<uint32_t>(num("UsernameAll", 0));
  enable("UsernameEnabled", ENABLE_USERNAME, !IsDefaultFilterList(f->Username, "*", include));

  list("Browser", &f->Browser, 1);
  if (f->Browser == nullptr && include) f->Browser = SingleItemList("*");
  enable("BrowserEnabled", ENABLE_BROWSER, !IsDefaultFilterList(f->Browser, "*", include));

  // Stored as 1 or 0 by the writer; a profile without the key makes a filter
  // without any test a default filter.
  enable("DefaultOveride", ENABLE_DEFAULT, (f->dwFlags & kTestBits) == 0);
  return f;
}

int ReadFilterSections(DravelEntry& entry, const ProfileText& text) {
  FreeFiltersForProfile(&entry);
  FilterRecord** tail = &entry.Filters;
  for (int n = 1;; ++n) {
    const std::string name = "Filter" + std::to_string(n);
    if (text.Find(name) == nullptr) return 1;
    bool bad = false;
    FilterRecord* f = ReadFilterSection(text, name, &bad);
    if (f == nullptr) return 0;
    f->Next = nullptr;
    *tail = f;
    tail = &f->Next;
  }
}

bool AppendFilterSection(const FilterRecord& f, int number, std::string& out) {
  std::string s;
  s += "[[Filter" + std::to_string(number) + "]]\r\n";
  const std::string_view name = FieldText(f.Name, sizeof f.Name);
  if (HasLineBreak(name)) {
    RefuseFilter(name, "its name holds a line break.");
    return false;
  }
  AppendLine(s, "Name", name);
  const bool include = f.FilterType == FILTER_INCLUDE;
  AppendLine(s, "FilterType", include ? "include" : "exclude");
  AppendFlag(s, "DefaultOveride", (f.dwFlags & ENABLE_DEFAULT) != 0);

  char codes[kFilterTextWidth];
  ReturnCodeStructToString(&f, codes, sizeof codes);
  if (codes[0] != '\0') AppendLine(s, "ReturnCodes", codes);
  AppendFlag(s, "ReturnCodesEnabled", (f.dwFlags & ENABLE_RETURNCODES) != 0);

  bool ok = true;
  auto refuse = [&](const char* key, const char* why) {
    if (ok) RefuseFilter(name, (std::string("its ") + key + " list " + why).c_str());
    ok = false;
  };
  auto listLine = [&](const char* key, const FilterString* list) {
    const std::string text = ListText(list);
    if (!ReadsBackAs(text, list)) {
      refuse(key, "has an item with a blank or a comma and both kinds of quotes, which the list text cannot hold.");
    } else if (text.size() > kFilterTextWidth - 1) {
      refuse(key, ("is longer than " + std::to_string(kFilterTextWidth - 1) + " characters.").c_str());
    } else if (!AppendListLine(s, key, text)) {
      refuse(key, "holds a line break.");
    }
  };
  listLine("Users", f.Users);
  AppendFlag(s, "UsersEnabled", (f.dwFlags & ENABLE_USERS) != 0);
  listLine("MultiHomeDomain", f.MultiHomeDomain);
  AppendFlag(s, "MultiHomeDomainEnabled", (f.dwFlags & ENABLE_MULTIHOME) != 0);
  listLine("Directory", f.Directory);
  AppendNumber(s, "IncludeSubDirs", f.IncludeSubDirs);
  AppendNumber(s, "DirectoryCaseSensitive", f.DirectoryCaseSensitive);
  AppendFlag(s, "DirectoryEnabled", (f.dwFlags & ENABLE_DIRECTORY) != 0);
  listLine("Files", f.Files);
  AppendNumber(s, "FilesCaseSensitive", f.FilesCaseSensitive);
  AppendNumber(s, "IncludeDefaultPages", f.IncludeDefaultPages);
  AppendFlag(s, "FilesEnabled", (f.dwFlags & ENABLE_FILES) != 0);
  listLine("Referrer", f.Referrer);
  AppendFlag(s, "ReferrerEnabled", (f.dwFlags & ENABLE_REFERRER) != 0);
  // AdClick and AdView are read as one whole item: write them that way.
  if (!AppendListLine(s, "AdClick", WholeText(f.AdClick))) refuse("AdClick", "is too long or holds a line break.");
  if (!AppendListLine(s, "AdView", WholeText(f.AdView))) refuse("AdView", "is too long or holds a line break.");
  AppendFlag(s, "AdsEnabled", (f.dwFlags & ENABLE_ADS) != 0);
  listLine("SearchKeywords", f.SearchKeywords);
  AppendFlag(s, "SearchKeywordsEnabled", (f.dwFlags & ENABLE_SEARCHKEYWORDS) != 0);
  listLine("Username", f.Username);
  AppendNumber(s, "UsernameCaseSensitive", f.UsernameCaseSensitive);
  AppendNumber(s, "UsernameAll", f.UsernameAll);
  AppendFlag(s, "UsernameEnabled", (f.dwFlags & ENABLE_USERNAME) != 0);
  listLine("Browser", f.Browser);
  AppendFlag(s, "BrowserEnabled", (f.dwFlags & ENABLE_BROWSER) != 0);

  char days[kFilterTextWidth];
  days[0] = '\0';
  DaysMaskToString(f.Days, days, sizeof days);
  // An include filter without a Days line reads as every day: one whose
  // mask is empty says so with a text that names no day.
  if (days[0] == '\0' && include && (f.Days & FILTER_ALL_DAYS) == 0) std::memcpy(days, "-", 2);
  if (days[0] != '\0') AppendLine(s, "Days", days);
  AppendFlag(s, "DaysEnabled", (f.dwFlags & ENABLE_DAYS) != 0);
  AppendNumber(s, "HourBegin", f.HourBegin);
  AppendNumber(s, "HourEnd", f.HourEnd);
  AppendFlag(s, "HourAll/None", f.HourAllNone != 0);
  AppendFlag(s, "HourEnabled", (f.dwFlags & ENABLE_HOURS) != 0);
  if (!ok) return false;
  out += s;
  return true;
}

bool AppendFilterSections(const DravelEntry& entry, std::string& out) {
  int n = 1;
  for (const FilterRecord* f = entry.Filters; f != nullptr; f = f->Next, ++n) {
    if (!AppendFilterSection(*f, n, out)) return false;
  }
  return true;
}

}  // namespace vrn

using vrn::AppendItem;

extern "C" {

KV_EXPORT FilterRecord* AllocateBlankFilter(void) {
  return static_cast<FilterRecord*>(std::calloc(1, sizeof(FilterRecord)));
}

KV_EXPORT FilterRecord* CreateNewIncludeFilter(void) {
  FilterRecord* f = AllocateBlankFilter();
  if (f == nullptr) return nullptr;
  f->FilterType = FILTER_INCLUDE;
  f->IncludeSubDirs = 1;
  f->ReturnCodes[0] = FILTER_ALL_CODES;
  f->Days = FILTER_ALL_DAYS;
  f->HourAllNone = 1;
  f->HourBegin = 8;
  f->HourEnd = 17;
  struct {
    FilterString** list;
    const char* text;
  } defaults[] = {
      {&f->Users, "*"},    {&f->MultiHomeDomain, "*"}, {&f->Directory, "/"}, {&f->Files, "*.*"},
      {&f->Referrer, "*"}, {&f->AdView, "*"},          {&f->AdClick, "*"},   {&f->Username, "*"},
      {&f->Browser, "*"},  {&f->SearchKeywords, "*"},
  };
  for (auto& d : defaults) {
    FilterStringToStruct(d.text, d.list, 0);
    if (*d.list == nullptr) {
      FreeOneFilter(f);
      return nullptr;
    }
  }
  return f;
}

KV_EXPORT FilterRecord* CreateNewExcludeFilter(void) {
  FilterRecord* f = AllocateBlankFilter();
  if (f == nullptr) return nullptr;
  f->FilterType = FILTER_EXCLUDE;
  f->IncludeSubDirs = 1;
  f->HourAllNone = 1;
  f->HourBegin = 8;
  f->HourEnd = 17;
  return f;
}

KV_EXPORT FilterString* CopyFilterStrings(const FilterString* list) {
  FilterString* copy = nullptr;
  FilterString** tail = &copy;
  for (const FilterString* n = list; n != nullptr; n = n->Next) {
    if (!AppendItem(tail, n->Text != nullptr ? n->Text : "")) break;
  }
  return copy;
}

KV_EXPORT FilterRecord* MakeCopyOfFilter(const FilterRecord* filter) {
  if (filter == nullptr) return nullptr;
  FilterRecord* f = AllocateBlankFilter();
  if (f == nullptr) return nullptr;
  std::memcpy(f, filter, sizeof *f);
  // The copy is not part of the source's list: the caller links it.
  f->Next = nullptr;
  f->Directory = CopyFilterStrings(filter->Directory);
  f->Files = CopyFilterStrings(filter->Files);
  f->Users = CopyFilterStrings(filter->Users);
  f->AdClick = CopyFilterStrings(filter->AdClick);
  f->AdView = CopyFilterStrings(filter->AdView);
  f->MultiHomeDomain = CopyFilterStrings(filter->MultiHomeDomain);
  f->Browser = CopyFilterStrings(filter->Browser);
  f->Username = CopyFilterStrings(filter->Username);
  f->SearchKeywords = CopyFilterStrings(filter->SearchKeywords);
  f->Referrer = CopyFilterStrings(filter->Referrer);
  return f;
}

KV_EXPORT void AddFilterToProfile(FilterRecord* filter, DravelEntry* entry, int32_t position) {
  if (filter == nullptr || entry == nullptr) return;
  if (entry->Filters == nullptr) {
    filter->Next = nullptr;
    entry->Filters = filter;
    return;
  }
  if (position == 0) {
    filter->Next = entry->Filters;
    entry->Filters = filter;
    return;
  }
  FilterRecord* prev = entry->Filters;
  int32_t count = 1;
  while (prev->Next != nullptr && (position < 0 || count < position)) {
    prev = prev->Next;
    ++count;
  }
  filter->Next = prev->Next;
  prev->Next = filter;
}

KV_EXPORT void FreeFilterStrings(FilterString* list) {
  while (list != nullptr) {
    FilterString* next = list->Next;
    std::free(list->Text);
    std::free(list);
    list = next;
  }
}

KV_EXPORT void FreeOneFilter(FilterRecord* filter) {
  if (filter == nullptr) return;
  FreeFilterStrings(filter->Users);
  FreeFilterStrings(filter->MultiHomeDomain);
  FreeFilterStrings(filter->Directory);
  FreeFilterStrings(filter->Files);
  FreeFilterStrings(filter->Referrer);
  FreeFilterStrings(filter->AdView);
  FreeFilterStrings(filter->AdClick);
  FreeFilterStrings(filter->Username);
  FreeFilterStrings(filter->Browser);
  FreeFilterStrings(filter->SearchKeywords);
  std::free(filter);
}

KV_EXPORT void FreeFilters(FilterRecord* filter) {
  while (filter != nullptr) {
    FilterRecord* next = filter->Next;
    FreeOneFilter(filter);
    filter = next;
  }
}

KV_EXPORT void FreeFiltersForProfile(DravelEntry* entry) {
  if (entry == nullptr) return;
  FreeFilters(entry->Filters);
  entry->Filters = nullptr;
}

KV_EXPORT void FilterStringToStruct(const char* text, FilterString** out, int32_t split) {
  if (out == nullptr || text == nullptr) return;
  *out = nullptr;
  FilterString** tail = out;
  const std::string_view t(text);
  if (split == 0) {
    size_t i = 0;
    while (i < t.size() && t[i] == ' ') ++i;
    std::string_view item = t.substr(i);
    if (item.size() >= 2 && item.front() == item.back() && (item.front() == '"' || item.front() == '\'')) {
      item = item.substr(1, item.size() - 2);
    }
    if (!item.empty()) AppendItem(tail, item);
    return;
  }
  size_t i = 0;
  while (i < t.size()) {
    while (i < t.size() && (t[i] == ' ' || t[i] == ',')) ++i;
    if (i >= t.size()) break;
    size_t start;
    size_t end;
    if (t[i] == '"' || t[i] == '\'') {
      start = i + 1;
      end = t.find(t[i], start);
      if (end == std::string_view::npos) end = t.size();
    } else {
      start = i;
      end = t.find_first_of(" ,", start);
      if (end == std::string_view::npos) end = t.size();
    }
    i = end + 1;
    if (end > start && !AppendItem(tail, t.substr(start, end - start))) return;
  }
}

KV_EXPORT void FilterStructToString(const FilterString* list, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  out[0] = '\0';
  size_t len = 0;
  for (const FilterString* n = list; n != nullptr; n = n->Next) {
    const char* text = n->Text != nullptr ? n->Text : "";
    const size_t itemLen = std::strlen(text);
    if (len + itemLen + 2 >= size) break;
    const std::string item = vrn::QuoteItem(text);
    if (len + item.size() + 2 > size) continue;  // item, blank and NUL must fit
    std::memcpy(out + len, item.data(), item.size());
    len += item.size();
    out[len++] = ' ';
    out[len] = '\0';
  }
  if (len > 0 && out[len - 1] == ' ') out[--len] = '\0';
}

KV_EXPORT void ReturnCodeStringToStruct(const char* text, FilterRecord* filter) {
  if (filter == nullptr) return;
  std::memset(filter->ReturnCodes, 0, sizeof filter->ReturnCodes);
  if (text == nullptr) return;
  std::string_view t(text);
  if (t.find('*') != std::string_view::npos) {
    filter->ReturnCodes[0] = FILTER_ALL_CODES;
    return;
  }
  size_t count = 0;
  size_t i = 0;
  while (i < t.size() && count < FILTER_CODE_COUNT - 1) {
    while (i < t.size() && (t[i] == ' ' || t[i] == ',')) ++i;
    if (i >= t.size()) break;
    size_t end = t.find_first_of(" ,", i);
    if (end == std::string_view::npos) end = t.size();
    filter->ReturnCodes[count++] = vrn::CodeValue(t.substr(i, end - i));
    i = end;
  }
}

KV_EXPORT void ReturnCodeStructToString(const FilterRecord* filter, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  out[0] = '\0';
  if (filter == nullptr) return;
  if (filter->ReturnCodes[0] == FILTER_ALL_CODES) {
    if (size >= 2) std::memcpy(out, "*", 2);
    return;
  }
  size_t len = 0;
  for (size_t i = 0; i < FILTER_CODE_COUNT && filter->ReturnCodes[i] != 0; ++i) {
    char code[16];
    const int n = std::snprintf(code, sizeof code, "%d", static_cast<int32_t>(filter->ReturnCodes[i]));
    if (len + static_cast<size_t>(n) + 2 >= size) break;
    std::memcpy(out + len, code, static_cast<size_t>(n));
    len += static_cast<size_t>(n);
    out[len++] = ' ';
    out[len] = '\0';
  }
  if (len > 0) out[--len] = '\0';
}

KV_EXPORT uint32_t DaysStringToMask(const char* text) {
  if (text == nullptr || text[0] == '\0') return 0;
  if (std::strchr(text, '*') != nullptr) return FILTER_ALL_DAYS;
  uint32_t mask = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p >= '0' && *p <= '6') mask |= 1u << (*p - '0');
  }
  return mask;
}

KV_EXPORT void DaysMaskToString(uint32_t mask, char* out, size_t size) {
  if (out == nullptr || size < 15) return;
  out[0] = '\0';
  if (mask == 0) return;
  if (mask == FILTER_ALL_DAYS) {
    std::memcpy(out, "*", 2);
    return;
  }
  size_t len = 0;
  for (int d = 0; d < 7; ++d) {
    if ((mask & (1u << d)) == 0) continue;
    if (len > 0) out[len++] = ' ';
    out[len++] = static_cast<char>('0' + d);
  }
  out[len] = '\0';
}

KV_EXPORT int32_t IsDefaultFilterList(const FilterString* list, const char* defaultText, int32_t include) {
  if (include != 0) {
    return list != nullptr && list->Next == nullptr && list->Text != nullptr && defaultText != nullptr &&
           std::strcmp(list->Text, defaultText) == 0;
  }
  return list == nullptr || list->Text == nullptr || list->Text[0] == '\0';
}

// The key: sixteen bytes, all with the top bit set, so that a printable
// character never turns into NUL, CR or LF. A character is left as it is
// when it is CR or LF itself or when its result would be NUL, CR or LF;
// these rules keep the operation its own inverse for every byte value and
// keep a scrambled text free of NUL and of line breaks it did not have.
KV_EXPORT void ScrambleProfileText(char* text) {
  if (text == nullptr) return;
  static constexpr uint8_t kKey[16] = {0xA7, 0xC3, 0x9E, 0xB1, 0xF4, 0x8D, 0xD2, 0xE9,
                                       0x86, 0xBB, 0xCF, 0x95, 0xAA, 0xE3, 0x9C, 0xF1};
  for (size_t i = 0; text[i] != '\0'; ++i) {
    const uint8_t c = static_cast<uint8_t>(text[i]);
    const uint8_t r = static_cast<uint8_t>(c ^ kKey[i % 16]);
    if (c == '\r' || c == '\n' || r == 0 || r == '\r' || r == '\n') continue;
    text[i] = static_cast<char>(r);
  }
}

}  // extern "C"
