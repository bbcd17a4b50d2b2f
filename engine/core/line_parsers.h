// The parsers of the line layouts. Each gets the record's line copy (made by
// InitHitRecord or ResizeHitLine: zero-terminated, with kHitLineSlack bytes of
// room behind it),
// the record and the length of that text, cuts the copy in place and points
// the record's fields at the pieces. The result is the number of bytes the
// line consumed (0: the reader uses the line length it found). A parser that
// rejects sets *reject and returns 0; the comma and W3C parsers also raise
// *windowFlag when a line's operation is not one they know.
#ifndef VORNIC_CORE_LINE_PARSERS_H
#define VORNIC_CORE_LINE_PARSERS_H

#include <cstdint>

#include "engine/core/hit_record.h"

namespace vrn {

uint32_t ParseCommonLine(char* line, HitRecord* hit, uint32_t length, bool* reject);
// The same when the caller knows where the first line end (CR or LF) of the
// text lies: at line + firstEnd, or firstEnd == length when there is none.
uint32_t ParseCommonLineTo(char* line, HitRecord* hit, uint32_t length, uint32_t firstEnd, bool* reject);
uint32_t ParseCommaLine(char* line, HitRecord* hit, uint32_t length, bool* reject, bool* windowFlag);
uint32_t ParseDateFirstLine(char* line, HitRecord* hit, uint32_t length, bool* reject);
uint32_t ParseTabLine(char* line, HitRecord* hit, uint32_t length, bool* reject);
uint32_t ParseKeyValueLine(char* line, HitRecord* hit, uint32_t length, bool* reject);
// code 7 (referrer -> page) or 9 (the quoted referrer alone).
uint32_t ParseReferrerLine(char* line, HitRecord* hit, uint32_t length, uint16_t code, bool* reject);
uint32_t ParseAgentLine(char* line, HitRecord* hit, uint32_t length, bool* reject);

// Part of a common-format line from its URL on, written as URL, comma,
// browser text "|" referrer "," ... protocol. `text` is the URL's start.
uint32_t ParseCommaRequest(char* line, HitRecord* hit, char* text, uint32_t length, bool* reject);

// Writes the synthetic hit's texts from the start of buffer (which must hold
// at least the texts' length plus 100 bytes) and points the fields at them.
// page, referrer and agent may be null.
void BuildSyntheticHit(HitRecord* hit, char* buffer, const char* page, const char* referrer, const char* agent);

// The time given to referrer and agent hits (the wall clock of the first such
// line read; see the .cpp). Reset for tests.
void ResetSyntheticHitTimes();

}  // namespace vrn

#endif
