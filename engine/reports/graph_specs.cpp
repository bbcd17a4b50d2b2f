// Chart spec parsing (see graph_specs.h for the text's form).
#include "engine/reports/graph_specs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <vornic/templates.h>

#include "engine/core/engine_state.h"
#include "platform/base/memory.h"

namespace vrn {

namespace {

// Where NextToken goes on when called with null.
char* g_tokenPosition = nullptr;

static_assert(sizeof(GraphSpec) <= TEMPLATE_SPEC_SIZE, "the graph record fits the item list's room");

struct TypeWord {
  const char* word;
  size_t length;  // characters compared
  uint8_t type;
};

// Matched in this order, the first match winning.
constexpr TypeWord kTypeWords[] = {
    {"STACKEDBARS", 10, kChartStackedBars}, {"BARS", 3, kChartBars},
    {"ZBARS", 4, kChartZBars},              {"PIES", 3, kChartPies},
    {"AREAS", 4, kChartAreas},              {"LINES", 4, kChartLines},
    {"TAPE", 4, kChartLines},               {"SIDEBARS", 7, kChartSideBars},
    {"SIDESTACKEDBARS", 14, kChartSideStackedBars},
};

bool HasPrefix(const char* text, const char* word, size_t length) {
  return strncasecmp(text, word, length) == 0;
}

// Copies at most size - 1 characters and a zero.
void CopyField(char* out, size_t size, const char* text) {
  size_t n = std::strlen(text);
  if (n >= size) n = size - 1;
  std::memcpy(out, text, n);
  out[n] = '\0';
}

bool IsReferrerOrAgentLog(uint16_t kind) { return kind == 7 || kind == 8; }

// The section's entry in the engine-wide template section list supplies the
// chart type, the 3-D flag and the last row.
void ApplySectionList(const char* sectionName, uint16_t occurrence, GraphSpec* spec) {
  const KvGlobal handle = g_engine.templateSectionList;
  const uint16_t count = g_engine.templateSectionCount;
  if (handle == 0 || count == 0) return;
  auto* block = static_cast<const unsigned char*>(kv::GlobalLock(handle));
  if (block == nullptr) return;
  // The count comes from the client: never read past the block.
  size_t usable = kv::GlobalSize(handle) / sizeof(TemplateSectionRecord);
  if (usable > count) usable = count;
  char wanted[300];
  std::snprintf(wanted, sizeof wanted, "%sBeginSection", sectionName);
  // A section may stand in the template as a table and as a chart: only
  // the chart's record (class GRAPH or NOEDITGRAPH) carries the chart's
  // type, drawing and last row; a table's record carries its repeat counts.
  // The report holds the kept sections only, in the list's order, so the
  // n-th chart of a section is the n-th kept chart entry of its name.
  bool found = false;
  TemplateSectionRecord chosen{};
  uint16_t rank = 0;
  for (size_t i = 0; i < usable; ++i) {
    TemplateSectionRecord record;
    std::memcpy(&record, block + i * sizeof record, sizeof record);
    record.Name[sizeof record.Name - 1] = '\0';
    if (strcasecmp(record.Name, wanted) != 0) continue;
    if (record.Class != TEMPLATE_CLASS_GRAPH && record.Class != TEMPLATE_CLASS_NOEDITGRAPH) continue;
    if (!found) {
      chosen = record;  // the first, should the list hold fewer charts
      found = true;
    }
    if (record.Kept == 0) continue;
    if (rank++ == occurrence) {
      chosen = record;
      break;
    }
  }
  kv::GlobalUnlock(handle);
  if (!found) return;
  if (chosen.GraphType <= kChartSideStackedBars) spec->chartType = static_cast<uint8_t>(chosen.GraphType);
  spec->threeD = chosen.GraphOption;
  spec->lastRow = chosen.RowCount;
}

int ParseSpec(const char* sectionName, char* text, GraphSpec* spec, uint16_t reportKind, bool withSectionList,
              uint16_t occurrence) {
  if (spec == nullptr) return 0;
  SetGraphSpecDefaults(spec);
  if (text == nullptr) return 0;

  // Type and height.
  char* token = NextToken(text, ",");
  if (token == nullptr) return 0;
  token = TrimBlanks(token);
  if (char* eq = std::strrchr(token, '='); eq != nullptr) {
    *eq = '\0';
    const auto height = static_cast<uint16_t>(ParseIntText(TrimBlanks(eq + 1)));
    spec->height = height < 10 ? 25 : height;
    token = TrimBlanks(token);
  }
  bool matched = false;
  for (const TypeWord& word : kTypeWords) {
    if (HasPrefix(token, word.word, word.length)) {
      spec->chartType = word.type;
      matched = true;
      break;
    }
  }
  if (!matched) return 0;
  if (IsReferrerOrAgentLog(reportKind)) spec->chartType = kChartBars;

  // {title}
  if (NextToken(nullptr, "{") == nullptr) return 0;
  if ((token = NextToken(nullptr, "}")) == nullptr) return 0;
  CopyField(spec->title, sizeof spec->title, TrimBlanks(token));

  // 3D | 2D
  if (NextToken(nullptr, ",") == nullptr) return 0;
  if ((token = NextToken(nullptr, ",")) == nullptr) return 0;
  token = TrimBlanks(token);
  if (strcasecmp(token, "3D") == 0) {
    spec->threeD = 1;
  } else if (strcasecmp(token, "2D") == 0) {
    spec->threeD = 0;
  } else {
    return 0;
  }

  // Timeline | Items {item-axis label}
  if ((token = NextToken(nullptr, "{")) == nullptr) return 0;
  token = TrimBlanks(token);
  if (strcasecmp(token, "Timeline") == 0) {
    spec->timeline = 1;
  } else if (strcasecmp(token, "Items") == 0) {
    spec->timeline = 0;
  } else {
    return 0;
  }
  if (IsReferrerOrAgentLog(reportKind)) spec->timeline = 0;
  if ((token = NextToken(nullptr, "}")) == nullptr) return 0;
  CopyField(spec->itemAxisLabel, sizeof spec->itemAxisLabel, TrimBlanks(token));

  // Percent | Users | Hits | Bytes {value-axis label}
  if (NextToken(nullptr, ",") == nullptr) return 0;
  if ((token = NextToken(nullptr, "{")) == nullptr) return 0;
  token = TrimBlanks(token);
  if (HasPrefix(token, "Percent", 3) || token[0] == '%') {
    spec->valueKind = kGraphPercent;
  } else if (HasPrefix(token, "Users", 4)) {
    spec->valueKind = kGraphUsers;
  } else if (HasPrefix(token, "Hits", 3)) {
    spec->valueKind = kGraphHits;
  } else if (HasPrefix(token, "Bytes", 3)) {
    spec->valueKind = kGraphKilobytes;
  } else {
    return 0;
  }
  if (IsReferrerOrAgentLog(reportKind)) spec->valueKind = kGraphHits;
  if ((token = NextToken(nullptr, "}")) == nullptr) return 0;
  CopyField(spec->valueAxisLabel, sizeof spec->valueAxisLabel, TrimBlanks(token));

  // first-last
  if (NextToken(nullptr, ",") == nullptr) return 0;
  if ((token = NextToken(nullptr, "-")) == nullptr) return 0;
  spec->firstRow = static_cast<uint16_t>(ParseIntText(TrimBlanks(token)));
  spec->lastRow = spec->firstRow;
  if ((token = NextToken(nullptr, ",:]")) == nullptr) return 0;
  spec->lastRow = static_cast<uint16_t>(ParseIntText(TrimBlanks(token)));
  if (IsReferrerOrAgentLog(reportKind)) {
    spec->firstRow = 0;
    spec->lastRow = 9;
  }

  if (withSectionList && sectionName != nullptr) ApplySectionList(sectionName, occurrence, spec);

  // [, colour] [: Total | No Total]
  if ((token = NextToken(nullptr, ":]")) == nullptr) return 1;
  token = TrimBlanks(token);
  if (*token != '\0') {
    if (HasPrefix(token, "Total", 5)) {
      spec->total = 1;
      return 1;
    }
    // The word is read from a 40-character buffer: a longer word is cut.
    char colour[40];
    CopyField(colour, sizeof colour, token);
    spec->colour = static_cast<uint32_t>(std::strtoul(colour, nullptr, 16));
  }
  token = NextToken(nullptr, "]");
  if (token != nullptr) token = TrimBlanks(token);
  if (token == nullptr || *token == '\0' || HasPrefix(token, "No Total", 8)) {
    spec->total = 0;
  } else if (HasPrefix(token, "Total", 5)) {
    spec->total = 1;
  } else {
    return 0;
  }
  return 1;
}

}  // namespace

void SetGraphSpecDefaults(GraphSpec* spec) {
  if (spec == nullptr) return;
  std::memset(spec, 0, sizeof *spec);
  spec->valueKind = kGraphHits;
  spec->chartType = kChartZBars;
  spec->threeD = 1;
  spec->timeline = 1;
  spec->firstRow = 65535;
  spec->lastRow = 65535;
  spec->total = 0;
  spec->height = 100;
  spec->colour = 0xFF0F;
}

int ParseGraphSpec(const char* sectionName, char* text, GraphSpec* spec, uint16_t reportKind, uint16_t occurrence) {
  return ParseSpec(sectionName, text, spec, reportKind, true, occurrence);
}

int ParseEditorGraphSpec(char* text, GraphSpec* spec, uint16_t reportKind) {
  return ParseSpec(nullptr, text, spec, reportKind, false, 0);
}

char* TrimBlanks(char* text) {
  if (text == nullptr) return nullptr;
  while (*text == ' ' || *text == '\t') ++text;
  size_t n = std::strlen(text);
  while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t')) text[--n] = '\0';
  return text;
}

char* NextToken(char* text, const char* delimiters) {
  if (text != nullptr) g_tokenPosition = text;
  char* start = g_tokenPosition;
  if (start == nullptr || delimiters == nullptr) return nullptr;
  char* end = start + std::strcspn(start, delimiters);
  if (*end == '\0') {
    // No delimiter ends the rest: nothing is returned, and later calls
    // find nothing either.
    g_tokenPosition = end;
    return nullptr;
  }
  *end = '\0';
  g_tokenPosition = end + 1;
  return start;
}

}  // namespace vrn
