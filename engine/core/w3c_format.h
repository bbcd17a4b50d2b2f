// The W3C extended log format: the engine-wide column table set by a
// "#Fields:" directive, and the parser of the data lines.
#ifndef VORNIC_CORE_W3C_FORMAT_H
#define VORNIC_CORE_W3C_FORMAT_H

#include <cstdint>

#include "engine/core/hit_record.h"
#include "engine/core/log_source.h"

namespace vrn {

constexpr int kW3CMaxColumns = 42;

// Column codes.
enum : int8_t {
  kW3CDate = 0,
  kW3CMethod = 1,
  kW3CClientIp = 2,
  kW3CUriStem = 3,
  kW3CUriQuery = 4,
  kW3CBytesSent = 5,
  kW3CBytesReceived = 6,
  kW3CStatus = 7,
  kW3CServerIp = 8,
  kW3CUserName = 9,
  kW3CReferrer = 10,
  kW3CUserAgent = 11,
  kW3CCookie = 12,
  kW3CTime = 13,
  kW3CNoColumn = -1,
  kW3CUnknownColumn = -3,
};

struct W3CColumnTable {
  int8_t slots[kW3CMaxColumns];
  int count;
  bool hasDate;
  bool hasTime;
  bool warned;
};

// The engine-wide table (read-only view for tests and the reader).
const W3CColumnTable& W3CColumns();
void ResetW3CColumns();
bool W3CColumnsUsable();
// Puts a saved table back (the reader restores the columns of a directive
// met earlier in a file that was reopened).
void SetW3CColumns(const W3CColumnTable& table);

// Reads the column directive of a newly opened source: looks for "#Fields:"
// in its first 4096 bytes. *found = 1 when one was there. Returns 0 when the
// directive lacks the date or time column (after telling the client), else 1.
int ReadW3CFieldsHeader(LogSourceHandle source, int* found);

// Builds the table from the names in text[start, end) (a CR, LF or the end
// ends the list). Returns 1, or 0 (table unusable) when "date" or "time" is
// missing. The text is not changed.
int ParseW3CFieldsLine(const char* text, uint32_t start, uint32_t end);

// The same into a table of the caller's, telling no one: true when usable.
bool BuildW3CColumns(const char* text, uint32_t start, uint32_t end, W3CColumnTable* table);

// Parser of format 11 (see line_parsers.h for the contract); always returns 0.
uint32_t ParseW3CLine(char* line, HitRecord* hit, uint32_t length, bool* reject, bool* windowFlag);

}  // namespace vrn

#endif
