// The line reader: one engine-wide 16384-byte buffer over the current log
// source, line finding, per-line format recognition, dispatch to the line
// parsers and the finishing step that turns parsed texts into a hit.
#ifndef VORNIC_CORE_LOG_READER_H
#define VORNIC_CORE_LOG_READER_H

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "engine/core/hit_record.h"
#include "engine/core/log_source.h"

namespace vrn {

constexpr uint32_t kReaderBufferSize = 16384;
constexpr uint32_t kReaderRefillMargin = 1024;
constexpr uint32_t kDefaultReadWindow = 100000;

// Line format codes.
enum : uint16_t {
  kFormatNone = 1,        // not a log line
  kFormatCommon = 2,      // common / combined
  kFormatComma = 3,       // comma-separated server log
  kFormatDateFirst = 4,   // space-separated with a spelled-out date
  kFormatTab = 5,         // tab-separated
  kFormatKeyValue = 6,    // {key value} groups after "log"
  kFormatReferrer = 7,    // "referrer -> page"
  kFormatAgent = 8,       // one browser text a line
  kFormatBracketReferrer = 9,
  kFormatBracketAgent = 10,
  kFormatW3C = 11,
};

// Results of ReadNextHit.
enum : uint16_t {
  kReadEnd = 1,      // end of the data, a read error or no memory
  kReadNothing = 2,  // the window ran out before a hit; call again at *next
  kReadHit = 3,      // a hit is in the record
};

// Reads the next hit at or after `start`. A hit: kReadHit, the record holds it
// (its Line is the caller's to free) and *next is the position after it.
// kReadNothing: no usable line started within `window` bytes (counted from
// the start, and afresh from a line that raised the window flag) while more
// data follows; *next is where to go on. kReadEnd: nothing more to read.
uint16_t ReadNextHit(LogSourceHandle source, uint64_t start, HitRecord* hit, uint64_t* next, uint32_t window);

// Finds the next complete line in data[0, length). Lines holding a zero byte
// are skipped whole (counted in the skipped lines). Returns 2 with the line's
// offset in *start and its length with its line end (CR, LF, CR LF, LF CR, LF
// LF, CR CR count as one end) in *lineLength; 1 when no line end follows (then
// *start is the offset after any skipped lines).
int FindNextLine(const char* data, uint32_t length, uint32_t* start, uint32_t* lineLength);

// Format code 1..11 of the line that begins at data + start; end bounds
// every search.
uint16_t DetectLineFormat(const char* data, uint32_t start, uint32_t end);
// The same for data that can be read 16 bytes past end (what the reader
// passes from its buffer); the bytes there do not count.
uint16_t DetectLineFormatPadded(const char* data, uint32_t start, uint32_t end);

// Puts the reader into W3C mode (every line is format 11 until the source
// closes).
void ResetLogReader();
bool InW3CMode();
// Forgets the current source (its buffer is invalid); leaves W3C mode and
// resets the column table when it was set.
void ForgetReaderSource();

// Lines skipped since the last reset: lines holding a zero byte, lines longer
// than the reader's buffer, and lines with an unknown request method.
uint64_t GetSkippedLineCount();
// Lines taken since the process started: all of them, those that gave no hit
// and are neither a comment nor a directive nor skipped, and the skipped ones.
struct ReaderLineCounts {
  uint64_t lines;
  uint64_t unrecognised;
  uint64_t skipped;
};
ReaderLineCounts GetReaderLineCounts();
void ResetSkippedLineCount();
// The lines in [from, to) of a source, counted as the reader takes them (a
// line end is a CR or LF with one more CR or LF after it; the rest after the
// last line end is a line when `to` is the end of the data). from is a line
// start. Reads through its own calls; the reader's state is not changed.
uint64_t CountSourceLines(LogSourceHandle source, uint64_t from, uint64_t to);
void CountSkippedLine();

// The run's date layout: 8 month-day-year, 9 day-month-year, 10 year-month-
// day, 34..36 the same after a tab-format line; anything else = none (the
// log [intl] order applies).
void SetReaderDateLayout(uint32_t layout);
uint32_t GetReaderDateLayout();
// The order a comma-format line's date is parsed with: the run's date layout
// when it has one, else the log [intl] order; and that order as 0 M-D-Y,
// 1 D-M-Y or 2 Y-M-D.
uint32_t CommaDateOrder();
uint32_t PlainDateOrder(uint32_t order);

// Finishing step of formats 2..5: URL rewrite, date, method code, client host
// texts, CompleteHitRecord. 1 = good hit, 0 = drop the line.
int FinishHitFields(uint16_t format, HitRecord* hit);

// Rewrites a "dbml.exe?template=" URL to its template (unless disabled).
void RewriteTemplateURL(HitRecord* hit);

// Sets MethodCode from Method: GET 0, PUT 1, POST 2, HEAD 3 (by prefix, any
// case), empty 4. False (drop the line) for any other method.
bool SetMethodCode(HitRecord* hit);

// FTP operations: upper-cases Method; "SENT" -> "GET" and "CREATED" -> "PUT"
// give 1 (FTP), GET/POST/HEAD prefixes give 2 (HTTP), anything else 0.
int MapFTPMethod(HitRecord* hit);

// Date parsing by layout (text, date order, out broken-down time); true when
// the result passes IsValidHitTime. Order: 0 M-D-Y, 1 D-M-Y, 2 Y-M-D, or a
// date layout code (8..10, 34..36) which also widens the separators.
bool ParseOrderedDate(const char* text, uint32_t order, struct tm* out);

// Month number 0..11 of a name by its first three letters (any case), or -1.
int MonthFromName(const char* text);

}  // namespace vrn

#endif
