// Filter evaluation over a profile's FilterRecord list.
#include "engine/core/filter_eval.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "engine/core/report_run.h"
#include "platform/base/debuglog.h"

namespace vrn {

namespace {

using sv = std::string_view;

constexpr uint32_t kTestBits = 0xFFFu;  // every test bit, referrer included
constexpr uint32_t kNonReferrerBits = kTestBits & ~ENABLE_REFERRER;

inline char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

inline sv Text(const char* p) { return p != nullptr ? sv(p) : sv(); }

bool SameChars(sv a, sv b, bool caseSensitive) {
  if (a.size() != b.size()) return false;
  if (caseSensitive) return a == b;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

bool StartsWith(sv text, sv prefix, bool caseSensitive) {
  return prefix.size() <= text.size() && SameChars(text.substr(0, prefix.size()), prefix, caseSensitive);
}

bool EndsWith(sv text, sv suffix, bool caseSensitive) {
  return suffix.size() <= text.size() && SameChars(text.substr(text.size() - suffix.size()), suffix, caseSensitive);
}

bool Contains(sv text, sv part, bool caseSensitive) {
  if (part.empty()) return true;
  if (part.size() > text.size()) return false;
  const char first = caseSensitive ? part[0] : Fold(part[0]);
  for (size_t i = 0; i + part.size() <= text.size(); ++i) {
    char c = caseSensitive ? text[i] : Fold(text[i]);
    if (c == first && SameChars(text.substr(i, part.size()), part, caseSensitive)) return true;
  }
  return false;
}

bool MatchPattern(sv pattern, sv text, bool exact, bool caseSensitive) {
  if (pattern == "*") return true;
  if (!exact) {
    // The text must contain the pattern. The user's own edge stars only say
    // the same again, so they are dropped rather than kept as characters.
    while (!pattern.empty() && pattern.front() == '*') pattern.remove_prefix(1);
    while (!pattern.empty() && pattern.back() == '*') pattern.remove_suffix(1);
    return Contains(text, pattern, caseSensitive);
  }
  bool lead = false, trail = false;
  if (!pattern.empty() && pattern.front() == '*') {
    lead = true;
    pattern.remove_prefix(1);
  }
  if (!pattern.empty() && pattern.back() == '*') {
    trail = true;
    pattern.remove_suffix(1);
  }
  if (!lead && !trail) return SameChars(text, pattern, caseSensitive);
  if (lead && !trail) return EndsWith(text, pattern, caseSensitive);
  if (!lead && trail) return StartsWith(text, pattern, caseSensitive);
  return Contains(text, pattern, caseSensitive);
}

bool MatchList(const FilterString* list, sv text, bool exact, bool caseSensitive) {
  for (const FilterString* s = list; s != nullptr; s = s->Next)
    if (s->Text != nullptr && MatchPattern(s->Text, text, exact, caseSensitive)) return true;
  return false;
}

inline bool IsSep(char c) { return c == '/' || c == '\\'; }

// Next segment of *rest (up to "/" or "\"); the separator is consumed.
sv NextSegment(sv* rest) {
  size_t i = 0;
  while (i < rest->size() && !IsSep((*rest)[i])) ++i;
  sv seg = rest->substr(0, i);
  rest->remove_prefix(i < rest->size() ? i + 1 : i);
  return seg;
}

bool DirectoryMatches(sv pattern, sv directory, bool subdirs, bool caseSensitive) {
  if (subdirs && (pattern.empty() || pattern == "/" || pattern == "\\")) return true;
  if (!pattern.empty() && IsSep(pattern.front())) pattern.remove_prefix(1);
  sv dirSeg;
  for (;;) {
    sv patSeg = NextSegment(&pattern);
    dirSeg = NextSegment(&directory);
    if (patSeg.empty()) break;
    if (!MatchPattern(patSeg, dirSeg, true, caseSensitive)) return false;
  }
  return dirSeg.empty() ? true : subdirs;
}

// A zero-terminated text against a short constant, without measuring the text.
bool TextIs(const char* text, sv constant) {
  for (char c : constant)
    if (*text++ != c) return false;
  return *text == '\0';
}

bool FirstItemIs(const FilterString* list, sv text) {
  return list != nullptr && list->Text != nullptr && TextIs(list->Text, text);
}

// One part of a file pattern (name or extension) against the request's
// file name or extension.
bool FilePartMatches(sv part, sv text, bool caseSensitive) {
  if (!part.empty() && part.front() == '*') return EndsWith(text, part.substr(1), caseSensitive);
  // Parts are a few characters long: looked through in place.
  for (size_t star = 1; star < part.size(); ++star)
    if (part[star] == '*') return StartsWith(text, part.substr(0, star), caseSensitive);
  return SameChars(part, text, caseSensitive);
}

void BreakDown(uint32_t t, uint32_t* weekday, uint32_t* hour) {
  // Hit times are wall-clock seconds counted as if UTC: no zone applies.
  uint32_t days = t / 86400u;
  *weekday = (days + 4u) % 7u;  // 1970-01-01 was a Thursday
  *hour = (t % 86400u) / 3600u;
}

}  // namespace

int MatchFilterPattern(const char* pattern, const char* text, int exact, int caseSensitive) {
  if (pattern == nullptr) return 0;
  return MatchPattern(pattern, Text(text), exact != 0, caseSensitive != 0) ? 1 : 0;
}

int MatchFilterList(const FilterString* list, const char* text, int exact, int caseSensitive) {
  return MatchList(list, Text(text), exact != 0, caseSensitive != 0) ? 1 : 0;
}

int MatchDirectoryPattern(const char* pattern, const char* directory, int includeSubdirs, int caseSensitive) {
  return DirectoryMatches(Text(pattern), Text(directory), includeSubdirs != 0, caseSensitive != 0) ? 1 : 0;
}

int MatchUrlPath(const FilterString* directories, int includeSubdirs, int directoryCase, const FilterString* files,
                 int includeDefaultPages, int fileCase, const char* url, uint32_t flags) {
  if (includeSubdirs != 0 && directories != nullptr && files != nullptr && FirstItemIs(directories, "/") &&
      FirstItemIs(files, "*.*"))
    return 1;

  const bool testDirectory = (flags & ENABLE_DIRECTORY) != 0 && directories != nullptr && directories->Text != nullptr;
  const bool testFiles =
      (flags & ENABLE_FILES) != 0 && files != nullptr && !FirstItemIs(files, "*.*") && !FirstItemIs(files, "*");
  // Neither part can turn the hit away: the URL need not be read.
  if (!testDirectory && !testFiles) return 1;

  // The path: no leading "/", at most 319 characters, cut at the first "?"
  // and then at the last "#", and without an "http://" in front.
  const char* text = url != nullptr ? url : "";
  if (*text == '/') ++text;
  size_t length = strnlen(text, 319);
  if (const void* q = std::memchr(text, '?', length)) length = static_cast<size_t>(static_cast<const char*>(q) - text);
  sv path(text, length);
  if (std::memchr(text, '#', length) != nullptr) path = path.substr(0, path.rfind('#'));
  if (StartsWith(path, "http://", false)) path.remove_prefix(7);

  sv directory, name, extension;
  size_t slash = path.rfind('/');
  sv last = slash == sv::npos ? path : path.substr(slash + 1);
  size_t dot = last.rfind('.');
  if (dot != sv::npos) {
    name = last.substr(0, dot);
    extension = last.substr(dot + 1);
    directory = slash == sv::npos ? sv() : path.substr(0, slash);
  } else {
    directory = path;
  }
  if (!directory.empty() && directory.back() == '/') directory.remove_suffix(1);

  if (testDirectory) {
    bool any = false;
    for (const FilterString* d = directories; d != nullptr && !any; d = d->Next)
      any = d->Text != nullptr && DirectoryMatches(d->Text, directory, includeSubdirs != 0, directoryCase != 0);
    if (!any) return 0;
  }

  if (!testFiles) return 1;
  if (name.empty() && extension.empty()) return includeDefaultPages != 0 ? 1 : 0;
  const bool cs = fileCase != 0;
  for (const FilterString* f = files; f != nullptr; f = f->Next) {
    if (f->Text == nullptr) continue;
    // The pattern is split at its last "." in the same pass that finds its end.
    const char* text = f->Text;
    const char* end = text;
    const char* pdot = nullptr;
    for (; *end != '\0'; ++end)
      if (*end == '.') pdot = end;
    sv namePart(text, static_cast<size_t>((pdot != nullptr ? pdot : end) - text));
    if (namePart != "*" && !name.empty() && !FilePartMatches(namePart, name, cs)) continue;
    if (pdot == nullptr || extension.empty()) return 1;
    sv extPart(pdot + 1, static_cast<size_t>(end - pdot - 1));
    if (extPart == "*" || FilePartMatches(extPart, extension, cs)) return 1;
  }
  return 0;
}

int MatchReturnCode(const FilterRecord* filter, uint32_t code) {
  if (filter == nullptr) return 0;
  uint32_t first = filter->ReturnCodes[0];
  if (first == FILTER_ALL_CODES || first == 0) return 1;
  for (int i = 0; i < FILTER_CODE_COUNT && filter->ReturnCodes[i] != 0; ++i)
    if (filter->ReturnCodes[i] == code) return 1;
  return 0;
}

int MatchDay(uint32_t dayMask, uint32_t hitTime) {
  if (dayMask == FILTER_ALL_DAYS || dayMask == 0) return 1;
  uint32_t weekday, hour;
  BreakDown(hitTime, &weekday, &hour);
  return (dayMask >> weekday) & 1u;
}

int MatchHour(const FilterRecord* filter, uint32_t hitTime) {
  if (filter == nullptr) return 0;
  if (filter->HourAllNone == 1) return 1;
  uint32_t weekday, h;
  BreakDown(hitTime, &weekday, &h);
  uint32_t b = filter->HourBegin, e = filter->HourEnd;
  if (b < e) return (b <= h && h < e) ? 1 : 0;
  return (h >= b || h < e) ? 1 : 0;
}

int FilterHasActiveTests(const FilterRecord* f) {
  if (f == nullptr) return 0;
  const uint32_t fl = f->dwFlags;
  if ((fl & ENABLE_RETURNCODES) && f->ReturnCodes[0] != 0) return 1;
  if ((fl & ENABLE_USERS) && f->Users != nullptr) return 1;
  if ((fl & ENABLE_MULTIHOME) && f->MultiHomeDomain != nullptr) return 1;
  if ((fl & ENABLE_DIRECTORY) && f->Directory != nullptr) return 1;
  if ((fl & ENABLE_FILES) && f->Files != nullptr) return 1;
  if ((fl & ENABLE_ADS) && (f->AdClick != nullptr || f->AdView != nullptr)) return 1;
  if ((fl & ENABLE_USERNAME) && (f->Username != nullptr || f->UsernameAll != 0)) return 1;
  if ((fl & ENABLE_SEARCHKEYWORDS) && f->SearchKeywords != nullptr) return 1;
  if ((fl & ENABLE_BROWSER) && f->Browser != nullptr) return 1;
  if ((fl & ENABLE_HOURS) && f->HourAllNone == 0) return 1;
  if (fl & ENABLE_DAYS) {
    uint32_t everything = f->FilterType == FILTER_INCLUDE ? FILTER_ALL_DAYS : 0u;
    return f->Days != everything ? 1 : 0;
  }
  return 0;
}

namespace {
// A filter that has nothing to test here: a caller's fault, said in the
// debug trace.
void TraceUntestableFilter(const FilterRecord* f) {
  char text[160];
  std::snprintf(text, sizeof text, "FilterMatchesHit: filter \"%.*s\" (flags 0x%08X) has no test to apply",
                static_cast<int>(strnlen(f->Name, sizeof f->Name)), f->Name, static_cast<unsigned>(f->dwFlags));
  kv::DebugOutput(text);
}
}  // namespace

int FilterMatchesHit(const FilterRecord* f, const HitRecord* hit) {
  if (f == nullptr || hit == nullptr) return 0;
  // Default filters, and filters without a test, are decided by the callers
  // and never reach this test.
  if ((f->dwFlags & ENABLE_DEFAULT) != 0 || (f->dwFlags & kTestBits) == 0) {
    TraceUntestableFilter(f);
    if ((f->dwFlags & ENABLE_DEFAULT) != 0) return 0;
  }
  const uint32_t fl = f->dwFlags;
  if ((fl & ENABLE_RETURNCODES) && !MatchReturnCode(f, hit->StatusCode)) return 0;
  if ((fl & (ENABLE_DIRECTORY | ENABLE_FILES)) && (f->Directory != nullptr || f->Files != nullptr) &&
      !MatchUrlPath(f->Directory, static_cast<int>(f->IncludeSubDirs), static_cast<int>(f->DirectoryCaseSensitive),
                    f->Files, static_cast<int>(f->IncludeDefaultPages), static_cast<int>(f->FilesCaseSensitive),
                    hit->URL, fl))
    return 0;
  if ((fl & ENABLE_DAYS) && !MatchDay(f->Days, hit->HitTime)) return 0;
  if ((fl & ENABLE_HOURS) && !MatchHour(f, hit->HitTime)) return 0;
  if ((fl & ENABLE_USERS) && f->Users != nullptr && !MatchList(f->Users, hit->ClientHost, true, false)) return 0;
  if (fl & ENABLE_ADS) {
    // Whichever of the two ad lists exist are tested; none: the test passes.
    if (f->AdClick != nullptr || f->AdView != nullptr) {
      bool hitAd = (f->AdClick != nullptr && MatchList(f->AdClick, Text(hit->URL), false, false)) ||
                   (f->AdView != nullptr && MatchList(f->AdView, Text(hit->URL), false, false));
      if (!hitAd) return 0;
    }
  }
  if ((fl & ENABLE_MULTIHOME) && f->MultiHomeDomain != nullptr && !MatchList(f->MultiHomeDomain, hit->Server, true, false))
    return 0;
  if ((fl & ENABLE_BROWSER) && f->Browser != nullptr && !MatchList(f->Browser, Text(hit->UserAgent), false, false))
    return 0;
  if (fl & ENABLE_USERNAME) {
    sv user = Text(hit->UserName);
    if (f->UsernameAll != 0) {
      if (user.empty()) return 0;
    } else if (f->Username != nullptr && !MatchList(f->Username, user, true, f->UsernameCaseSensitive != 0)) {
      return 0;
    }
  }
  if ((fl & ENABLE_SEARCHKEYWORDS) && f->SearchKeywords != nullptr &&
      !MatchList(f->SearchKeywords, Text(hit->URL), true, false))
    return 0;
  return 1;
}

int PassesIncludeFilters(const FilterRecord* filters, const HitRecord* hit) {
  bool any = false;
  for (const FilterRecord* f = filters; f != nullptr; f = f->Next) {
    if (f->FilterType != FILTER_INCLUDE) continue;
    any = true;
    const uint32_t tests = f->dwFlags & kTestBits;
    if ((f->dwFlags & ENABLE_DEFAULT) || tests == 0 || tests == ENABLE_REFERRER) return 1;
    if (FilterMatchesHit(f, hit)) return 1;
  }
  return any ? 0 : 1;
}

int HitsExcludeFilter(const FilterRecord* filters, const HitRecord* hit) {
  for (const FilterRecord* f = filters; f != nullptr; f = f->Next) {
    if (f->FilterType != FILTER_EXCLUDE || (f->dwFlags & ENABLE_DEFAULT)) continue;
    if ((f->dwFlags & kNonReferrerBits) != 0 && FilterHasActiveTests(f) && FilterMatchesHit(f, hit)) return 1;
  }
  return 0;
}

namespace {

// 1 match, 0 no match, -1 the filter takes no part.
int ReferrerFilterMatches(const FilterRecord* f, uint32_t type, const HitRecord* hit) {
  if (f->FilterType != type || !(f->dwFlags & ENABLE_REFERRER) || (f->dwFlags & ENABLE_DEFAULT) ||
      f->Referrer == nullptr)
    return -1;
  sv referrer = Text(hit->Referrer);
  if (f->Referrer->Text != nullptr && SameChars(f->Referrer->Text, "(No Referrer)", false))
    return referrer.empty() ? 1 : 0;
  return MatchList(f->Referrer, referrer, true, false) ? 1 : 0;
}

}  // namespace

int PassesReferrerIncludeFilters(const FilterRecord* filters, const HitRecord* hit) {
  bool any = false;
  for (const FilterRecord* f = filters; f != nullptr; f = f->Next) {
    int m = ReferrerFilterMatches(f, FILTER_INCLUDE, hit);
    if (m < 0) continue;
    any = true;
    if (m == 1) return 1;
  }
  return any ? 0 : 1;
}

int HitsReferrerExcludeFilter(const FilterRecord* filters, const HitRecord* hit) {
  for (const FilterRecord* f = filters; f != nullptr; f = f->Next)
    if (ReferrerFilterMatches(f, FILTER_EXCLUDE, hit) == 1) return 1;
  return 0;
}

int FilterListPassesHit(const FilterRecord* filters, const HitRecord* hit) {
  if (hit == nullptr) return 0;
  return PassesIncludeFilters(filters, hit) && !HitsExcludeFilter(filters, hit) ? 1 : 0;
}

int FilterListPassesReferrer(const FilterRecord* filters, const HitRecord* hit) {
  if (hit == nullptr) return 0;
  return PassesReferrerIncludeFilters(filters, hit) && !HitsReferrerExcludeFilter(filters, hit) ? 1 : 0;
}

int HitPassesFilters(ReportHandle* run, HitRecord* hit) {
  const DravelEntry* profile = run != nullptr ? run->profile : nullptr;
  return FilterListPassesHit(profile != nullptr ? profile->Filters : nullptr, hit);
}

int HitPassesReferrerFilters(ReportHandle* run, HitRecord* hit) {
  const DravelEntry* profile = run != nullptr ? run->profile : nullptr;
  return FilterListPassesReferrer(profile != nullptr ? profile->Filters : nullptr, hit);
}

}  // namespace vrn
