// Chart specifications: the short text a template uses to ask for a chart
// (type, height, title, 3-D or flat, items or time slots across, what is
// measured, axis labels, rows, colour, total series) and its parsers.
//
//   TYPE[=height] , {title} , 3D|2D , Timeline|Items {item-axis label} ,
//   Percent|Users|Hits|Bytes {value-axis label} , first-last [ , colour ]
//   [ : Total | No Total ] ]
//
// The parsers cut the text in place (every consumed delimiter becomes a
// zero), so the caller hands a writable copy.
#ifndef VORNIC_REPORTS_GRAPH_SPECS_H
#define VORNIC_REPORTS_GRAPH_SPECS_H

#include <cstddef>
#include <cstdint>

namespace vrn {

enum GraphChartType : uint8_t {
  kChartStackedBars = 0,
  kChartBars = 1,
  kChartZBars = 2,
  kChartPies = 3,
  kChartAreas = 4,
  kChartLines = 5,  // also TAPE
  kChartSideBars = 6,
  kChartSideStackedBars = 7,
};

enum GraphValueKind : uint8_t {
  kGraphHits = 0,
  kGraphPercent = 1,  // percent of all hits
  kGraphUsers = 2,
  kGraphKilobytes = 3,
};

constexpr size_t kGraphTextSize = 100;

// One chart request. Also the graph record of the template item list.
struct GraphSpec {
  uint8_t valueKind;                  // GraphValueKind, default 0
  uint8_t chartType;                  // GraphChartType, default 2
  char title[kGraphTextSize];         // default empty
  char valueAxisLabel[kGraphTextSize];  // empty: the report options' legend text
  char itemAxisLabel[kGraphTextSize];   // empty: a default of the chart code
  int32_t threeD;                     // default 1
  int32_t timeline;                   // 1 time slots across (default), 0 items
  uint16_t firstRow;                  // default 65535
  uint16_t lastRow;                   // default 65535
  int32_t total;                      // 1 = a total series; default 0
  int32_t height;                     // percent of the base size; default 100
  uint32_t colour;                    // default 0xFF0F
};

// Sets every field to its default.
void SetGraphSpecDefaults(GraphSpec* spec);

// Reads `text` (changed in place) into *spec. `reportKind` is the log kind
// of the analysis: 7 (referrer) and 8 (agent) logs get a bar chart of the
// hits of rows 0-9 across the items whatever the text asks. The engine-wide
// template section list, when set, supplies the chart type, 3-D flag and
// last row of the section's "<section>BeginSection" chart entry. A template
// may chart one section more than once: the chart `occurrence` (0 for the
// first chart of the section in the report) takes the kept chart entry of
// that rank, the first one when the list has fewer.
// 1 when accepted; 0 when not (the record keeps the defaults and what was
// read before the failure).
int ParseGraphSpec(const char* sectionName, char* text, GraphSpec* spec, uint16_t reportKind,
                   uint16_t occurrence = 0);
// The same without the section list step (used when editing a template).
int ParseEditorGraphSpec(char* text, GraphSpec* spec, uint16_t reportKind);

// Pointer to the first character that is not a blank or tab; trailing
// blanks and tabs are cut off in place. Null gives null.
char* TrimBlanks(char* text);
// Tokeniser with one engine-wide position: with a text starts a new scan,
// with null goes on. The token runs to the first delimiter, which becomes a
// zero; null when the text ends before any delimiter. A delimiter at the
// position gives an empty token.
char* NextToken(char* text, const char* delimiters);

}  // namespace vrn

#endif
