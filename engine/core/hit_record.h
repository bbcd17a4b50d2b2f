// One parsed log line: the numeric head, the host texts that name
// resolution fills, the line's format code and the field pointers into the
// record's private copy of the line.
//
// Field pointers point into `Line`, at the shared empty text (HitEmptyText),
// or at constant texts of the parsers; none owns memory. DuplicateHitRecord
// and ResizeHitLine move the pointers that lie inside the line copy and leave
// every other pointer as it is.
#ifndef VORNIC_CORE_HIT_RECORD_H
#define VORNIC_CORE_HIT_RECORD_H

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace vrn {

// Method codes.
enum : uint16_t {
  kMethodGet = 0,
  kMethodPut = 1,
  kMethodPost = 2,
  kMethodHead = 3,
  kMethodOther = 4,  // an empty method
};

// Size that RecordSize holds once the record is complete.
constexpr uint32_t kHitRecordSize = 627;
// Every line copy is allocated with this many zero bytes behind its
// terminating zero, so that vector scans may load whole 16-byte blocks.
constexpr size_t kHitLineSlack = 16;
// Longest URL kept by CutLongURL.
constexpr size_t kMaxUrlLength = 260;

struct HitRecord {
  uint32_t RecordSize;   // 627 once complete
  uint16_t RecordKind;   // 0 in a complete record
  uint32_t TimeCopy;     // copy of HitTime, set on completion
  uint32_t HitTime;      // wall-clock seconds (local time counted as if UTC)
  uint16_t MethodCode;   // kMethod*
  uint32_t Bytes;        // received for PUT, else sent
  uint8_t Success;       // 1 when the request succeeded
  uint32_t StatusCode;
  char ClientHost[100];  // client address or (later) resolved name
  char Domain[60];
  char AddressType[50];
  char Country[50];
  char Server[100];
  char Reserved1[100];
  uint32_t Reserved2;
  uint16_t FormatCode;   // 1..11; 9 is stored as 7

  // The 28 field pointers, in their fixed order.
  char* ReservedText1[4];   // always the shared empty text
  char* Protocol;
  char* URL;
  char* ServerAddress;
  char* UserName;
  char* Referrer;
  char* UserAgent;
  char* Cookie;             // may be null
  char* StatusText;
  char* BytesReceivedText;
  char* BytesSentText;
  char* Method;
  char* ClientAddress;
  char* DateText;
  char* ServerName;
  char* ReservedPtr19;      // null in a new record
  char* ReservedText2[9];   // always the shared empty text

  uint8_t Reserved3[16];
  uint32_t LineLength;      // bytes of the line copy's text (its room)
  char* Line;               // private zero-terminated copy; owned (std::malloc)
};

// Number of field pointers and access to them by order (0..27).
constexpr int kHitFieldCount = 28;
char** HitFieldSlot(HitRecord* hit, int index);

// The shared constant empty text that unset fields point at. It is never
// written to.
char* HitEmptyText();
inline bool IsHitEmptyText(const char* p) { return p == HitEmptyText(); }

// ---- creation, copies, room ----------------------------------------------

// Gives the record a private copy of `length` bytes of `text` (zero-terminated),
// sets LineLength and Line, points all field pointers at the empty text and
// reserved pointer 19 at null. Returns the copy, or null when memory is short
// (the record is then unchanged). The previous Line is not freed.
char* InitHitRecord(HitRecord* hit, const char* text, uint32_t length);

// A new heap record (std::malloc; free its Line and then it with std::free,
// or with FreeHitRecord) with its own copy of the line and the pointers moved
// to it. Optionally frees the source's line and the source record. Null
// (source untouched) when memory is short.
HitRecord* DuplicateHitRecord(HitRecord* source, bool freeSource, bool freeSourceLine);
// The same into an existing record: `copy` gets the source's fields and its
// own copy of the line. False when memory is short (`copy` then holds no
// line).
bool CopyHitRecord(HitRecord* copy, const HitRecord* source);

// A heap copy of the record (free with FreeHitRecord) that takes over its
// line: the pointers stay where they are, and the source is left without a
// line (Line null, LineLength 0). Null (source untouched) when memory is
// short.
HitRecord* TakeHitRecord(HitRecord* source);

// Replaces the line copy by a zero-filled copy of newSize bytes (plus a
// terminating zero) holding the old LineLength bytes; pointers into the old
// copy are moved to the new one. Frees the old copy when asked. Null (record
// unchanged) when memory is short or newSize is smaller than LineLength.
char* ResizeHitLine(HitRecord* hit, char* oldLine, uint32_t newSize, bool freeOld);

// Moves every field pointer that lies inside [oldLine, oldLine + oldLength]
// to the same offset in newLine; other pointers (empty text, constants,
// null) stay.
void RebaseFields(HitRecord* hit, const char* oldLine, uint32_t oldLength, char* newLine);

// Frees the record's line copy (Line becomes null, LineLength 0).
void FreeHitLine(HitRecord* hit);
// Frees a heap record made by DuplicateHitRecord together with its line.
void FreeHitRecord(HitRecord* hit);

// Derives the numeric head from the texts: referrer "-", the cookie rules,
// StatusCode, Success, Bytes, RecordSize/RecordKind/TimeCopy.
void CompleteHitRecord(HitRecord* hit);

// Cookie settings used by CompleteHitRecord (the engine's [Cookie] Enable and
// Validate).
void CompleteHitCookie(HitRecord* hit, bool enable, bool validate);

// True when the text starts with digits.digits.digits.digits-digits.digits.
bool IsVisitorId(const char* text);

// True when every character is a digit or "." (true for "").
bool IsNumericAddress(const char* text);

// The calendar fields that hit times accept (see the .cpp).
bool IsValidHitTime(const struct tm& t);

// ---- hit times -----------------------------------------------------------

// Hit times are unsigned 32-bit wall-clock seconds: 1970-01-01 00:00:00 up to
// 2106-02-07 06:28:14. 0xFFFFFFFF is the failure value and never a time.
constexpr int64_t kMaxHitTime = 0xFFFFFFFEll;

// Wall-clock seconds of a broken-down time (years since 1900 below 70 mean
// 20xx), or -1 when it lies outside the hit time range.
int64_t HitWallClock(const struct tm& t);

// Moves a wall-clock time that a log wrote in UTC to the local wall clock of
// this machine (by the local zone's offset at that instant, daylight saving
// included). -1 when the result lies outside the hit time range.
int64_t UtcToLocalWallClock(int64_t utcSeconds);

// Forgets the cached zone offsets (after the process's zone changed).
void ResetHitTimeCache();

// ---- text helpers (in place on the line copy) ----------------------------

// When text is exactly "-": *out = the empty text and 0 is returned; else the
// comparison result (non-zero) and *out is left alone.
int DashToEmpty(const char* text, char** out);
// Writes a zero at n, then replaces each space just before it by a zero.
void TrimTrailingBlanks(char* text, size_t n);
// Index of the last space of the run of spaces that follows n (n itself when
// the next character is no space).
size_t SkipBlanks(const char* text, size_t n);
// Cuts a text longer than 260 characters to 260; when the rest holds "?", the
// text from index 256 on becomes "...".
void CutLongURL(char* text);
// Replaces every "%" with two hexadecimal digits by their byte, in place.
void DecodePercentEscapes(char* text);

// ---- client host texts ---------------------------------------------------

// Clears ClientHost and fills it from ClientAddress (shortened from the left
// at a dot when 60 characters or longer); an empty result takes the
// unresolved-country text. Domain, AddressType and Country get the three
// unresolved texts.
void SetClientHostTexts(HitRecord* hit);
// Puts the unresolved domain, address-type and country texts into the hit.
void CopyUnresolvedTexts(HitRecord* hit);

// Copies at most size - 1 characters of src and a zero into dst.
void CopyHitText(char* dst, size_t size, const char* src);

}  // namespace vrn

#endif
