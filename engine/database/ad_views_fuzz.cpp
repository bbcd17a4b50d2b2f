// Ad views lines: a line is an entry, no entry or bad, and an entry's three
// fields are parts of the line without double quotes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/database/ad_views.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  std::string a, b, c;
  const vrn::AdViewsLine result = vrn::ParseAdViewsLine(line, &a, &b, &c);
  if (result == vrn::AdViewsLine::kNoEntry && line.find('"') != std::string::npos) std::abort();
  if (result == vrn::AdViewsLine::kEntry) {
    for (const std::string* field : {&a, &b, &c}) {
      if (field->find('"') != std::string::npos || field->size() > line.size()) std::abort();
    }
  }
  return 0;
}
