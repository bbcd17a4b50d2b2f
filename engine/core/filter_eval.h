// Filter evaluation: the per-hit include/exclude test of a profile's filters
// and the referrer test applied when a hit opens a new visit.
//
// Every function returns 1 for a match (or "keep") and 0 otherwise. Letter
// case is folded by ASCII rules only, so results do not depend on the locale.
// Nothing here allocates: patterns are matched in place.
#ifndef VORNIC_CORE_FILTER_EVAL_H
#define VORNIC_CORE_FILTER_EVAL_H

#include <cstdint>

#include <vornic/filter.h>

#include "engine/core/hit_record.h"

namespace vrn {

struct ReportHandle;

// The run's profile filters: 1 keeps the hit (include filters pass and no
// exclude filter hits), 0 drops it. A run without a profile keeps every hit.
int HitPassesFilters(ReportHandle* run, HitRecord* hit);
// The referrer filters, tested when a hit begins a new visit.
int HitPassesReferrerFilters(ReportHandle* run, HitRecord* hit);

// The same tests over a filter list (the head of a profile's Filters).
int FilterListPassesHit(const FilterRecord* filters, const HitRecord* hit);
int FilterListPassesReferrer(const FilterRecord* filters, const HitRecord* hit);

int PassesIncludeFilters(const FilterRecord* filters, const HitRecord* hit);
int HitsExcludeFilter(const FilterRecord* filters, const HitRecord* hit);
int PassesReferrerIncludeFilters(const FilterRecord* filters, const HitRecord* hit);
int HitsReferrerExcludeFilter(const FilterRecord* filters, const HitRecord* hit);

// One (non-default) filter against a hit; the referrer bit is not tested.
int FilterMatchesHit(const FilterRecord* filter, const HitRecord* hit);
int FilterHasActiveTests(const FilterRecord* filter);

// A pattern with an optional leading and trailing "*". Not exact: the text
// must contain the pattern (stars at the pattern's own edges are dropped
// first). null text counts as empty.
int MatchFilterPattern(const char* pattern, const char* text, int exact, int caseSensitive);
int MatchFilterList(const FilterString* list, const char* text, int exact, int caseSensitive);
int MatchDirectoryPattern(const char* pattern, const char* directory, int includeSubdirs, int caseSensitive);
int MatchUrlPath(const FilterString* directories, int includeSubdirs, int directoryCase, const FilterString* files,
                 int includeDefaultPages, int fileCase, const char* url, uint32_t flags);
int MatchReturnCode(const FilterRecord* filter, uint32_t code);
int MatchDay(uint32_t dayMask, uint32_t hitTime);
int MatchHour(const FilterRecord* filter, uint32_t hitTime);

}  // namespace vrn

#endif
