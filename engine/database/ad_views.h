// The ad views file ADVIEWS.TXT (exports in vornic/adviews.h) and the
// parsing of one of its lines.
#ifndef VORNIC_DATABASE_AD_VIEWS_H
#define VORNIC_DATABASE_AD_VIEWS_H

#include <string>
#include <string_view>

#include <vornic/adviews.h>

namespace vrn {

enum class AdViewsLine { kEntry, kNoEntry, kBad };

// One line (without its line end): an entry of three double-quoted fields
// (first, second, third), a line without a double quote (no entry), or a
// line with a double quote but fewer than three quoted fields (bad).
AdViewsLine ParseAdViewsLine(std::string_view line, std::string* first, std::string* second, std::string* third);

struct AnalysisContext;
// Appends every entry of the ad views file to the context's ad view list
// (name = first field, view words = second, click words = third). No file:
// nothing is added. Returns the number of entries added.
int LoadAdViewList(AnalysisContext* context);

}  // namespace vrn

#endif
