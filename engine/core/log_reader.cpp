// The line reader: buffer management over the current log source, line
// finding, format recognition, dispatch to the parsers and the finishing
// step shared by the parsers of formats 2 to 5.
#include "engine/core/log_reader.h"

#include <strings.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/engine_state.h"
#include "engine/core/line_parsers.h"
#include "engine/core/w3c_format.h"

namespace vrn {

namespace {

constexpr uint64_t kNoPosition = ~uint64_t{0};

// A "#Fields:" directive of a file, so that a read that starts at a later
// position (a reopened file, a time search) parses with the columns in force
// there.
struct DirectiveMark {
  uint64_t position;
  W3CColumnTable table;
};

// The source is read ahead in blocks; the line buffer is a window of up to
// kReaderBufferSize bytes into the block, so that a refill costs no system
// call and no copy while the block lasts. A read at a new place takes one
// buffer's worth, as a search that probes a few lines here and there needs;
// each further block of a read that goes on through the source is twice as
// large, up to kReadAheadSize.
constexpr uint32_t kReadAheadSize = 256 * 1024;
// Zero bytes behind the data of a block, for whole 16-byte loads.
constexpr uint32_t kReadAheadPad = 32;

struct ReaderState {
  LogSourceHandle current = kNoLogSource;
  uint64_t bufferStart = kNoPosition;  // source position of bufferData[0]
  uint32_t bufferLength = 0;           // valid bytes in the buffer
  const char* bufferData = nullptr;    // the line buffer: a window into the read-ahead block
  bool w3cMode = false;
  uint32_t dateLayout = 0;
  uint64_t skipped = 0;
  uint64_t lines = 0;         // every line taken, skipped ones included
  uint64_t unrecognised = 0;  // lines that gave no hit and are no comment or directive
  uint64_t size = 0;                   // source size when last asked
  uint64_t expected = kNoPosition;     // where the last call left off
  uint64_t skipFrom = kNoPosition;     // the last call stopped here inside an over-long line
  std::string skipName;                // of the source named so (a reopened log goes on skipping)
  // The directives of the file named marksName that start before
  // marksCovered, by position: the file is searched for them up to a
  // position the first time a read starts there.
  std::string marksName;
  std::vector<DirectiveMark> marks;
  uint64_t marksCovered = 0;
  int marksHead = -1;  // the file begins with a directive line: 1, not: 0, not yet asked: -1
  alignas(64) char buffer[kReaderBufferSize + 1 + 16];  // rows of row sources; room for whole-block loads
  // Read-ahead block of the current source: source bytes [aheadStart,
  // aheadStart + aheadLength).
  uint64_t aheadStart = kNoPosition;
  uint32_t aheadLength = 0;
  uint32_t aheadNext = kReaderBufferSize;  // size of the next block of a read going on
  std::vector<char> ahead;
};

ReaderState g_reader;

inline bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// First CR, LF or zero byte in [p, p + n), or null.
inline const char* FindLineEndOrZero(const char* p, size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i nul = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, nul));
    const uint32_t m = static_cast<uint32_t>(_mm_movemask_epi8(hit));
    if (m != 0) return p + i + __builtin_ctz(m);
  }
#endif
  for (; i < n; ++i) {
    if (p[i] == '\r' || p[i] == '\n' || p[i] == 0) return p + i;
  }
  return nullptr;
}

// First CR or LF in [p, p + n), or null.
inline const char* FindLineEnd(const char* p, size_t n) {
  const char* lf = static_cast<const char*>(std::memchr(p, '\n', n));
  const size_t span = lf != nullptr ? static_cast<size_t>(lf - p) : n;
  const char* cr = static_cast<const char*>(std::memchr(p, '\r', span));
  return cr != nullptr ? cr : lf;
}

// Whether the first "[", "]", "|", CR or LF in [p, stop) is a "|". Whole
// 16-byte blocks may be loaded past stop (the reader's buffer has room).
inline bool BarComesFirst(const char* p, const char* stop) {
#if defined(__SSE2__)
  for (; p < stop; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    auto eq = [&v](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
    uint32_t m = static_cast<uint32_t>(_mm_movemask_epi8(
        _mm_or_si128(_mm_or_si128(_mm_or_si128(eq('['), eq(']')), eq('|')), _mm_or_si128(eq('\r'), eq('\n')))));
    const size_t left = static_cast<size_t>(stop - p);
    if (left < 16) m &= (1u << left) - 1;
    if (m != 0) return p[__builtin_ctz(m)] == '|';
  }
  return false;
#else
  while (p < stop && *p != '[' && *p != ']' && *p != '|' && !IsLineEnd(*p)) ++p;
  return p < stop && *p == '|';
#endif
}

void EmptyBuffer() {
  g_reader.bufferStart = kNoPosition;
  g_reader.bufferLength = 0;
}

void DropReadAhead() {
  g_reader.aheadStart = kNoPosition;
  g_reader.aheadLength = 0;
}

bool StartsWith(const char* p, size_t n, const char* prefix) {
  const size_t k = std::strlen(prefix);
  return n >= k && std::memcmp(p, prefix, k) == 0;
}

// Character classes of the format scan.
enum : uint8_t {
  kcNone = 0,
  kcTab,
  kcEol,
  kcSpace,
  kcColon,
  kcComma,
  kcQuote,
  kcBracket,
  kcArrow,
  kcBrace,
  kcSlash,
  kcOpen,
  kcSemicolon,
  kcClose,
};

struct ClassTable {
  uint8_t c[256] = {};
  constexpr ClassTable() {
    c[static_cast<uint8_t>('\t')] = kcTab;
    c[static_cast<uint8_t>('\r')] = kcEol;
    c[static_cast<uint8_t>('\n')] = kcEol;
    c[static_cast<uint8_t>(' ')] = kcSpace;
    c[static_cast<uint8_t>(':')] = kcColon;
    c[static_cast<uint8_t>(',')] = kcComma;
    c[static_cast<uint8_t>('"')] = kcQuote;
    c[static_cast<uint8_t>('[')] = kcBracket;
    c[static_cast<uint8_t>(']')] = kcBracket;
    c[static_cast<uint8_t>('>')] = kcArrow;
    c[static_cast<uint8_t>('{')] = kcBrace;
    c[static_cast<uint8_t>('/')] = kcSlash;
    c[static_cast<uint8_t>('(')] = kcOpen;
    c[static_cast<uint8_t>(';')] = kcSemicolon;
    c[static_cast<uint8_t>(')')] = kcClose;
  }
};
constexpr ClassTable kClasses;

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace

// ---- reader state ----------------------------------------------------------

void ResetLogReader() { g_reader.w3cMode = true; }
bool InW3CMode() { return g_reader.w3cMode; }

void ForgetReaderSource() {
  g_reader.current = kNoLogSource;
  EmptyBuffer();
  DropReadAhead();
  if (g_reader.w3cMode) {
    ResetW3CColumns();
    g_reader.w3cMode = false;
  }
}

uint64_t GetSkippedLineCount() { return g_reader.skipped; }
ReaderLineCounts GetReaderLineCounts() { return {g_reader.lines, g_reader.unrecognised, g_reader.skipped}; }
void ResetSkippedLineCount() { g_reader.skipped = 0; }
void CountSkippedLine() { ++g_reader.skipped; }

uint64_t CountSourceLines(LogSourceHandle source, uint64_t from, uint64_t to) {
  const uint64_t size = GetLogSourceSize(source);
  if (to > size) to = size;
  if (from >= to) return 0;
  std::vector<char> chunk(256 * 1024);
  uint64_t lines = 0;
  bool inLine = false;     // bytes of a line without its end so far
  bool afterEnd = false;   // the last byte ended a line: one more CR or LF belongs to it
  for (uint64_t pos = from; pos < to;) {
    const uint64_t left = to - pos;
    const uint32_t want = left < chunk.size() ? static_cast<uint32_t>(left) : static_cast<uint32_t>(chunk.size());
    uint32_t got = 0;
    if (SeekLogSource(source, pos, 0) != pos || ReadLogSource(source, chunk.data(), want, &got) == 0 || got == 0) break;
    if (got > want) got = want;
    for (uint32_t i = 0; i < got; ++i) {
      const char c = chunk[i];
      if (c == '\r' || c == '\n') {
        if (afterEnd) {
          afterEnd = false;  // the second character of a line end
          continue;
        }
        ++lines;
        inLine = false;
        afterEnd = true;
      } else {
        inLine = true;
        afterEnd = false;
      }
    }
    pos += got;
  }
  if (inLine && to == size) ++lines;
  return lines;
}

void SetReaderDateLayout(uint32_t layout) { g_reader.dateLayout = layout; }
uint32_t GetReaderDateLayout() { return g_reader.dateLayout; }

namespace {
bool HasDateLayout(uint32_t layout) { return (layout >= 8 && layout <= 10) || (layout >= 34 && layout <= 36); }
}  // namespace

uint32_t CommaDateOrder() { return HasDateLayout(g_reader.dateLayout) ? g_reader.dateLayout : g_engine.logIDate; }

uint32_t PlainDateOrder(uint32_t order) {
  if (order == 9 || order == 35) return 1;
  if (order == 8 || order == 34) return 0;
  if (order == 10 || order == 36) return 2;
  return order;
}

// ---- lines ---------------------------------------------------------------

int FindNextLine(const char* data, uint32_t length, uint32_t* start, uint32_t* lineLength) {
  uint32_t s = 0;
  *lineLength = 0;
  while (s < length) {
    const char* p = data + s;
    const uint32_t n = length - s;
    const char* first = FindLineEndOrZero(p, n);
    if (first == nullptr) break;
    const bool zero = *first == 0;
    const char* end = zero ? FindLineEnd(first, n - static_cast<size_t>(first - p)) : first;
    if (end == nullptr) break;
    uint32_t len = static_cast<uint32_t>(end - p) + 1;
    if (len < n && IsLineEnd(p[len])) ++len;
    if (zero) {
      ++g_reader.skipped;  // a line holding a zero byte is no text
      ++g_reader.lines;
      s += len;
      continue;
    }
    *start = s;
    *lineLength = len;
    return 2;
  }
  *start = s;
  return 1;
}

namespace {

// The character scan of format recognition. Step handles one character and
// returns a format code to stop with, -1 at a line end, else 0.
struct FormatScan {
  const char* p;  // line start
  uint16_t code = kFormatNone;
  uint32_t tabs = 0, spaces = 0, colons = 0, commas = 0;
  bool bracket = false;
  int browser = 0;

  __attribute__((always_inline)) int Step(const char* q, const char* /*end*/) {
    const uint8_t cls = kClasses.c[static_cast<uint8_t>(*q)];
    switch (cls) {
      case kcNone:
        break;
      case kcTab:
        if (tabs == 11) return kFormatTab;
        ++tabs;
        break;
      case kcEol:
        return -1;
      case kcSpace:
        ++spaces;
        break;
      case kcColon:
        ++colons;
        break;
      case kcComma:
        if (commas == 14) return kFormatComma;
        ++commas;
        break;
      case kcQuote:
        code = kFormatCommon;
        break;
      case kcBracket:
        code = kFormatCommon;
        bracket = true;
        break;
      case kcArrow:  // "-" directly followed by ">"
        if (q > p && q[-1] == '-') code = kFormatReferrer;
        break;
      case kcBrace:
        if (q - p >= 3) {
          const char* b = q - 1;
          while (b >= p && (*b == ' ' || *b == '\t')) --b;
          if (b - p >= 2 && Lower(b[0]) == 'g' && Lower(b[-1]) == 'o' && Lower(b[-2]) == 'l') return kFormatKeyValue;
        }
        break;
      default:
        if (code == kFormatNone || code == kFormatCommon) {
          if (cls == kcSlash) {
            browser = 1;
          } else if (cls == kcOpen && browser == 1) {
            browser = 2;
          } else if (cls == kcSemicolon && browser == 2) {
            browser = 3;
          } else if (cls == kcClose && browser == 3) {
            browser = 4;
          }
        }
        break;
    }
    return 0;
  }

  uint16_t Result() const {
    if (spaces == 9 && colons == 2) return kFormatDateFirst;
    if (browser == 4 && (code == kFormatNone || (code == kFormatCommon && !bracket))) return kFormatAgent;
    return code;
  }
};

}  // namespace

#if defined(__SSE2__)
namespace {
// m[n]: the first n bytes all ones, the rest zero (n = 0..16).
struct PrefixMasks {
  __m128i m[17];
  PrefixMasks() {
    for (int n = 0; n <= 16; ++n) {
      alignas(16) uint8_t bytes[16];
      for (int i = 0; i < 16; ++i) bytes[i] = i < n ? 0xFF : 0;
      m[n] = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
    }
  }
};
const PrefixMasks kPrefixMasks;
}  // namespace
#endif

namespace {

// Format recognition; with `padded`, whole 16-byte blocks may be loaded past
// end (the reader's buffer has room behind its data).
uint16_t DetectImpl(const char* data, uint32_t start, uint32_t end, bool padded) {
  if (end <= start) return kFormatNone;
  const char* p = data + start;
  const char* e = data + end;
  const size_t n = end - start;
  if (StartsWith(p, n, "format=")) return kFormatNone;
  if (g_reader.w3cMode) return kFormatW3C;
  if (p[0] == '#' && (StartsWith(p, n, "#Version:") || StartsWith(p, n, "#Date:") || StartsWith(p, n, "#Fields:"))) {
    g_reader.w3cMode = true;
    return kFormatW3C;
  }
  if (p[0] == '[') {
    // The quote search stays within the line.
    const char* q = p + 1;
    while (q < e && *q != '"' && !IsLineEnd(*q)) ++q;
    if (q < e && *q == '"') {
      const char* t = q + 1;
      const size_t rest = static_cast<size_t>(e - t);
      if (rest > 0 && *t == '"') return kFormatNone;
      if (StartsWith(t, rest, "http:") || StartsWith(t, rest, "ftp:") || StartsWith(t, rest, "file:") ||
          StartsWith(t, rest, "mailto:")) {
        return kFormatBracketReferrer;
      }
      return kFormatBracketAgent;
    }
  }

  FormatScan scan{p};
  const char* q = p;
#if defined(__SSE2__)
  // Sixteen bytes at a time: spaces and colons are counted in byte lanes
  // that saturate at 255 (only "exactly 9" and "exactly 2" matter, so a
  // saturated lane still tells "too many"); every other character of
  // interest goes through Step in order.
  __m128i spaceSum = _mm_setzero_si128();
  __m128i colonSum = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi8(1);
  const __m128i zero = _mm_setzero_si128();
  auto total = [&zero](__m128i lanes) {
    const __m128i sum = _mm_sad_epu8(lanes, zero);
    return static_cast<uint32_t>(_mm_cvtsi128_si32(sum)) + static_cast<uint32_t>(_mm_extract_epi16(sum, 4));
  };
  while (padded ? q < e : q + 16 <= e) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    auto eq = [&v](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
    const uint32_t valid = e - q >= 16 ? 0xFFFFu : (1u << (e - q)) - 1;
    const uint32_t eol = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(eq('\r'), eq('\n')))) & valid;
    const uint32_t limit = eol != 0 ? (eol & (0u - eol)) - 1 : valid;
    // Count only up to the line end (or the end of the data): limit is a
    // run of low bits, its length picks the byte mask.
    const __m128i counted = limit == 0xFFFFu ? one : _mm_and_si128(one, kPrefixMasks.m[__builtin_ctz(~limit)]);
    spaceSum = _mm_adds_epu8(spaceSum, _mm_and_si128(eq(' '), counted));
    colonSum = _mm_adds_epu8(colonSum, _mm_and_si128(eq(':'), counted));
    // Characters by the part they play: A always; B (quotes, brackets)
    // only while they can still change the code; C (browser text) only
    // until a bracket was seen.
    const uint32_t a = static_cast<uint32_t>(_mm_movemask_epi8(
                           _mm_or_si128(_mm_or_si128(eq('>'), eq('{')), _mm_or_si128(eq('\t'), eq(','))))) &
                       limit;
    // B and C are worked out only when they can matter (on a common-format
    // line B and C stop mattering once its first bracket was seen).
    uint32_t b = 0, c = 0;
    bool haveB = false, haveC = false;
    uint32_t done = 0;  // bits at or below the last character handled
    for (;;) {
      uint32_t pending = a;
      if (!(scan.bracket && scan.code == kFormatCommon)) {
        if (!haveB) {
          b = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(eq('"'), eq('[')), eq(']')))) & limit;
          haveB = true;
        }
        pending |= b;
      }
      if (!scan.bracket) {
        if (!haveC) {
          c = static_cast<uint32_t>(_mm_movemask_epi8(
                  _mm_or_si128(_mm_or_si128(eq('/'), eq('(')), _mm_or_si128(eq(';'), eq(')'))))) &
              limit;
          haveC = true;
        }
        pending |= c;
      }
      pending &= ~done;
      if (pending == 0) break;
      const int i = __builtin_ctz(pending);
      done = (2u << i) - 1;
      const int r = scan.Step(q + i, e);
      if (r > 0) return static_cast<uint16_t>(r);
    }
    if (limit != 0xFFFFu) {
      scan.spaces += total(spaceSum);
      scan.colons += total(colonSum);
      return scan.Result();
    }
    q += 16;
  }
  scan.spaces += total(spaceSum);
  scan.colons += total(colonSum);
#endif
  for (; q < e; ++q) {
    const int r = scan.Step(q, e);
    if (r > 0) return static_cast<uint16_t>(r);
    if (r < 0) break;
  }
  // The line ended (at its line end, or at the end of the data).
  return scan.Result();
}

}  // namespace

uint16_t DetectLineFormat(const char* data, uint32_t start, uint32_t end) { return DetectImpl(data, start, end, false); }
uint16_t DetectLineFormatPadded(const char* data, uint32_t start, uint32_t end) {
  return DetectImpl(data, start, end, true);
}

// ---- reading -------------------------------------------------------------

namespace {

void UseMarksOf(LogSource* src) {
  if (g_reader.marksName != src->name) {
    g_reader.marks.clear();
    g_reader.marksName = src->name;
    g_reader.marksCovered = 0;
    g_reader.marksHead = -1;
  }
}

// Whether the file is one that directives lead (a W3C log): only such a file
// is searched for directives further in.
bool LedByDirectives(LogSource* src) {
  if (g_reader.marksHead < 0) {
    char head[4] = {};
    uint32_t got = 0;
    const bool read = src->ops->read != nullptr && src->ops->seek != nullptr && src->ops->seek(src, 0, 0) == 0 &&
                      src->ops->read(src, head, sizeof(head), &got);
    // A byte-order mark may lead the file.
    const uint32_t first = got >= 4 && std::memcmp(head, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    g_reader.marksHead = read && got > first && head[first] == '#' ? 1 : 0;
  }
  return g_reader.marksHead == 1 || !g_reader.marks.empty();
}

void AddMark(uint64_t position, const W3CColumnTable& table) {
  auto& marks = g_reader.marks;
  auto it = marks.begin();
  while (it != marks.end() && it->position < position) ++it;
  if (it != marks.end() && it->position == position) {
    it->table = table;
  } else {
    marks.insert(it, {position, table});
  }
}

void RememberDirective(LogSource* src, uint64_t position) {
  if (src == nullptr || src->kind != kLogSourceFile) return;
  UseMarksOf(src);
  AddMark(position, W3CColumns());
}

// A file read again from its head meets its directives again in order; what
// was noted under its name may belong to a file it replaced.
void ForgetDirectives(LogSource* src) {
  if (src == nullptr || g_reader.marksName != src->name) return;
  g_reader.marks.clear();
  g_reader.marksCovered = 0;
  g_reader.marksHead = -1;
}

// A read that went on in order from a position the marks cover has met
// every directive up to where it stopped.
void CoverReadSpan(LogSourceHandle source, uint64_t start, uint64_t next) {
  LogSource* src = LogSourceRecord(source);
  if (src == nullptr || src->kind != kLogSourceFile || g_reader.marksName != src->name) return;
  if (start <= g_reader.marksCovered && next > g_reader.marksCovered) g_reader.marksCovered = next;
}

// Searches the file for directives that start at a line start in
// [marksCovered, upTo) and notes them with their columns. The source's own
// position is left anywhere (the reader seeks before each read).
void FindDirectivesUpTo(LogSource* src, uint64_t upTo) {
  if (upTo <= g_reader.marksCovered || src->ops->read == nullptr || src->ops->seek == nullptr) return;
  static const char kDirective[] = "#Fields:";
  constexpr uint32_t k = sizeof(kDirective) - 1;
  constexpr uint32_t kChunk = 256 * 1024;
  std::vector<char> chunk(kChunk + 1);
  // One byte before the part searched tells whether its first byte starts a
  // line.
  uint64_t from = g_reader.marksCovered > 0 ? g_reader.marksCovered - 1 : 0;
  while (from < upTo) {
    const uint64_t left = upTo - from + k;  // a directive that starts before upTo is read whole enough
    const uint32_t want = left < kChunk ? static_cast<uint32_t>(left) : kChunk;
    if (src->ops->seek(src, from, 0) != from) return;
    uint32_t got = 0;
    if (!src->ops->read(src, chunk.data(), want, &got) || got == 0) break;
    if (got > want) got = want;
    for (uint32_t i = 0; i + k <= got; ++i) {
      const char* hash = static_cast<const char*>(std::memchr(chunk.data() + i, '#', got - k + 1 - i));
      if (hash == nullptr) break;
      i = static_cast<uint32_t>(hash - chunk.data());
      const uint64_t at = from + i;
      if (at >= upTo) break;
      if (std::memcmp(chunk.data() + i, kDirective, k) != 0) continue;
      const bool afterMark = at == 3 && i == 3 && std::memcmp(chunk.data(), "\xEF\xBB\xBF", 3) == 0;
      if (at != 0 && !afterMark && (i == 0 || !IsLineEnd(chunk[i - 1]))) continue;
      if (at < g_reader.marksCovered) continue;
      // The directive's names: read from its start, up to its line end.
      std::vector<char> text(kReaderBufferSize + 1);
      uint32_t n = 0;
      if (src->ops->seek(src, at, 0) != at || !src->ops->read(src, text.data(), kReaderBufferSize, &n)) return;
      if (n > kReaderBufferSize) n = kReaderBufferSize;
      W3CColumnTable table;
      BuildW3CColumns(text.data(), k, n, &table);
      AddMark(at, table);
    }
    if (got < want) break;  // the end of the data
    const uint64_t step = got > k ? got - k : got;
    from += step;
  }
  g_reader.marksCovered = upTo;
}

// A read that starts at `position` of a file, other than where the last read
// left off, parses with the directive in force there: the last one before
// it. A file with directives read before its first one is read as its head
// says (no columns until a directive is met).
void RestoreDirective(LogSource* src, uint64_t position) {
  if (src == nullptr || src->kind != kLogSourceFile || src->ops == nullptr) return;
  UseMarksOf(src);
  if (position > 0 && LedByDirectives(src)) FindDirectivesUpTo(src, position);
  const DirectiveMark* best = nullptr;
  for (const DirectiveMark& m : g_reader.marks) {
    if (m.position < position && (best == nullptr || m.position > best->position)) best = &m;
  }
  if (best != nullptr) {
    SetW3CColumns(best->table);
    g_reader.w3cMode = true;
  } else if (!g_reader.marks.empty() && g_reader.w3cMode) {
    ResetW3CColumns();
    g_reader.w3cMode = false;
  }
}

// Whether a line holds what every common-format line has: a bracketed date
// "[dd/Mon/yyyy:" whose bracket closes before a quoted request. A line that
// the character count took for another layout (many commas or tabs in a
// request or browser text, a "->" or "log{" inside it) is read as a
// common-format line when it has them.
bool HasCommonShape(const char* p, uint32_t n) {
  const char* e = p + n;
  for (const char* b = static_cast<const char*>(std::memchr(p, '[', n)); b != nullptr;
       b = static_cast<const char*>(std::memchr(b + 1, '[', static_cast<size_t>(e - b - 1)))) {
    if (e - b < 13) return false;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!(digit(b[1]) && digit(b[2]) && b[3] == '/' && b[7] == '/' && digit(b[8]) && digit(b[9]) && digit(b[10]) &&
          digit(b[11]) && b[12] == ':' && MonthFromName(b + 4) >= 0)) {
      continue;
    }
    const char* close = static_cast<const char*>(std::memchr(b, ']', static_cast<size_t>(e - b)));
    if (close == nullptr) return false;
    const char* q = close + 1;
    while (q < e && *q == ' ') ++q;
    if (q < e && *q != '"') {  // one field (a server's) may lie between
      while (q < e && *q != ' ' && !IsLineEnd(*q)) ++q;
      while (q < e && *q == ' ') ++q;
    }
    return q < e && *q == '"';
  }
  return false;
}

// What became of a line.
struct LineOutcome {
  bool rejected = true;     // no hit came out
  bool windowFlag = false;  // raised by the comma and W3C parsers
  bool noMemory = false;    // the copy could not be made
  bool directive = false;   // a "#Fields:" line
  bool incomplete = false;  // a following line it may take runs past the buffered data: read again from the line
};

// Parses the line at data[0, lineLength) (avail bytes buffered from there)
// into hit and returns the bytes consumed. atEnd: the buffered data reaches
// the end of the source. mayReread: the caller can read the source again
// from this line's start (the line is not at the start of its buffer).
uint32_t ParseOneLine(const char* data, uint32_t lineLength, uint32_t avail, bool atEnd, bool mayReread,
                      HitRecord* hit, LineOutcome* out) {
  *out = LineOutcome();

  uint16_t code = DetectImpl(data, 0, lineLength, true);
  if ((code == kFormatComma || code == kFormatTab || code == kFormatKeyValue || code == kFormatReferrer) &&
      HasCommonShape(data, lineLength)) {
    code = kFormatCommon;
  }
  const char* text = data;
  uint32_t copyLength = lineLength;

  if (code == kFormatBracketReferrer || code == kFormatBracketAgent) {
    // The text is the quoted part after the first "]"; it is cut at its
    // closing quote in the copy. Without all three marks in the line the
    // line keeps its start.
    const char* e = data + lineLength;
    const char* close = nullptr;
    const char* q = data;
    while (q < e && *q != ']' && !IsLineEnd(*q)) ++q;
    if (q < e && *q == ']') {
      while (q < e && *q != '"' && !IsLineEnd(*q)) ++q;
      if (q < e && *q == '"') {
        const char* open = q;
        ++q;
        while (q < e && *q != '"' && !IsLineEnd(*q)) ++q;
        if (q < e && *q == '"') {
          close = q;
          text = open + 1;
        }
      }
    }
    if (close == nullptr) {
      if (code == kFormatBracketAgent) return lineLength;  // rejected
    } else {
      copyLength = static_cast<uint32_t>(close - text);
      if (code == kFormatBracketAgent) code = kFormatAgent;
    }
  } else if (code == kFormatCommon && lineLength < avail) {
    // The common-format parser takes a following line that begins with "/"
    // or whose first "[", "]", "|" or line end is "|" into the hit: give it
    // that line when it is one and complete in the buffer.
    const char* next = data + lineLength;
    const char* stop = data + avail;
    const bool wanted = *next == '/' || BarComesFirst(next, stop);
    if (wanted) {
      const char* end = FindLineEnd(next, avail - lineLength);
      if (end != nullptr) {
        uint32_t len = static_cast<uint32_t>(end - next) + 1;
        if (lineLength + len < avail && IsLineEnd(next[len])) ++len;
        copyLength = lineLength + len;
      } else if (atEnd) {
        copyLength = avail;
      } else if (mayReread) {
        out->incomplete = true;
        return 0;
      }
    }
  }

  if (code == kFormatNone || code == kFormatBracketAgent) return lineLength;

  char* line = InitHitRecord(hit, text, copyLength);
  if (line == nullptr) {
    out->noMemory = true;
    return 0;
  }
  hit->FormatCode = code == kFormatBracketReferrer ? static_cast<uint16_t>(kFormatReferrer) : code;

  bool reject = true;
  uint32_t consumed = 0;
  switch (code) {
    case kFormatCommon: {
      // The line holds no line end before its own (the one the line search
      // found, or none at the end of the data): its first line end is where
      // its trailing CR and LF begin.
      uint32_t firstEnd = lineLength;
      while (firstEnd > 0 && IsLineEnd(data[firstEnd - 1])) --firstEnd;
      consumed = ParseCommonLineTo(line, hit, copyLength, firstEnd == lineLength ? copyLength : firstEnd, &reject);
      break;
    }
    case kFormatComma:
      consumed = ParseCommaLine(line, hit, copyLength, &reject, &out->windowFlag);
      break;
    case kFormatDateFirst:
      consumed = ParseDateFirstLine(line, hit, copyLength, &reject);
      break;
    case kFormatTab:
      consumed = ParseTabLine(line, hit, copyLength, &reject);
      break;
    case kFormatKeyValue:
      consumed = ParseKeyValueLine(line, hit, copyLength, &reject);
      break;
    case kFormatReferrer:
    case kFormatBracketReferrer:
      consumed = ParseReferrerLine(line, hit, copyLength, code, &reject);
      break;
    case kFormatAgent:
      consumed = ParseAgentLine(line, hit, copyLength, &reject);
      break;
    case kFormatW3C:
      out->directive = lineLength >= 8 && std::memcmp(data, "#Fields:", 8) == 0;
      consumed = ParseW3CLine(line, hit, copyLength, &reject, &out->windowFlag);
      break;
    default:
      break;
  }
  if (reject) FreeHitLine(hit);
  out->rejected = reject;
  // Bracketed lines are consumed through their line end; so is every line
  // whose parser counted less than the line.
  if (text != data || consumed < lineLength) consumed = lineLength;
  return consumed;
}

// Counts a line the parser took whole: a rejected line that is no comment, no
// directive and not already counted as skipped was not recognised.
void CountParsedLine(const char* line, const LineOutcome& outcome, uint64_t skippedBefore) {
  ++g_reader.lines;
  // A comment may follow a byte-order mark on the first line.
  const bool comment = line[0] == '#' || (line[0] == '\xEF' && line[1] == '\xBB' && line[2] == '\xBF' && line[3] == '#');
  if (outcome.rejected && !outcome.directive && !comment && !IsLineEnd(line[0]) &&
      g_reader.skipped == skippedBefore) {
    ++g_reader.unrecognised;
  }
}

uint16_t ReadRows(LogSource* src, uint64_t start, HitRecord* hit, uint64_t* next) {
  uint32_t length = 0;
  uint64_t after = start;
  const uint16_t r = src->ops->fetchLine(src, g_reader.buffer, kReaderBufferSize + 1, start, &length, &after);
  *next = after;
  if (r != kReadHit) return r == kReadNothing ? kReadNothing : kReadEnd;
  if (length > kReaderBufferSize) length = kReaderBufferSize;
  g_reader.buffer[length] = 0;
  EmptyBuffer();  // the buffer holds a row, not file data
  uint32_t lineStart = 0, lineLength = 0;
  if (FindNextLine(g_reader.buffer, length, &lineStart, &lineLength) != 2) {
    lineStart = 0;
    lineLength = length;
    if (std::memchr(g_reader.buffer, 0, length) != nullptr) {
      ++g_reader.skipped;
      ++g_reader.lines;
      return kReadNothing;
    }
  }
  LineOutcome outcome;
  const uint64_t skippedBefore = g_reader.skipped;
  ParseOneLine(g_reader.buffer + lineStart, lineLength, length - lineStart, true, false, hit, &outcome);
  if (outcome.noMemory) return kReadEnd;
  CountParsedLine(g_reader.buffer + lineStart, outcome, skippedBefore);
  // A rejected row: go on with the next row at the next call.
  return outcome.rejected ? kReadNothing : kReadHit;
}

}  // namespace

namespace {
uint16_t ReadFrom(LogSourceHandle source, uint64_t start, HitRecord* hit, uint64_t* next, uint32_t window);

// Sets the line buffer to up to kReaderBufferSize bytes of the source from
// pos, as one read at pos would give them, and then asks the source's size
// into *size. The bytes are taken from the read-ahead block when it holds
// the whole span and ends behind it (so the buffer never reaches the end of
// the data from the block: there a growing file is read afresh) and the
// source is still as long as the block; else the block is read anew from
// pos (a larger block when the read goes on from the last buffer: going).
// False when the seek or the read failed (the kind showed a read failure).
bool FillBuffer(LogSource* src, uint64_t pos, bool going, uint32_t* got, uint64_t* size) {
  *got = 0;
  bool fresh = false;
  for (;;) {
    const uint64_t aheadEnd = g_reader.aheadStart + g_reader.aheadLength;
    if (g_reader.aheadStart == kNoPosition || pos < g_reader.aheadStart || pos + kReaderBufferSize >= aheadEnd) {
      // Reading on near the end of the block goes on too.
      going = going || (g_reader.aheadStart != kNoPosition && pos >= g_reader.aheadStart && pos <= aheadEnd);
      DropReadAhead();
      if (g_reader.ahead.size() < kReadAheadSize + kReadAheadPad) g_reader.ahead.resize(kReadAheadSize + kReadAheadPad);
      const uint32_t want = going ? g_reader.aheadNext : kReaderBufferSize;
      g_reader.aheadNext = want < kReadAheadSize ? want * 2 : kReadAheadSize;
      if (src->ops->seek(src, pos, 0) != pos) return false;
      uint32_t read = 0;
      if (!src->ops->read(src, g_reader.ahead.data(), want, &read)) return false;
      if (read > want) read = want;
      std::memset(g_reader.ahead.data() + read, 0, kReadAheadPad);
      g_reader.aheadStart = pos;
      g_reader.aheadLength = read;
      fresh = true;
    }
    *size = src->ops->size(src);
    if (fresh || *size >= g_reader.aheadStart + g_reader.aheadLength) break;
    DropReadAhead();  // the source was cut or replaced since the block was read
  }
  const uint64_t from = pos - g_reader.aheadStart;
  const uint64_t left = g_reader.aheadLength - from;
  const uint32_t n = left < kReaderBufferSize ? static_cast<uint32_t>(left) : kReaderBufferSize;
  g_reader.bufferData = g_reader.ahead.data() + from;
  *got = n;
  return true;
}
}  // namespace

uint16_t ReadNextHit(LogSourceHandle source, uint64_t start, HitRecord* hit, uint64_t* next, uint32_t window) {
  uint64_t dummy = 0;
  if (next == nullptr) next = &dummy;
  const uint16_t r = ReadFrom(source, start, hit, next, window);
  CoverReadSpan(source, start, *next);
  g_reader.expected = *next;
  return r;
}

namespace {
uint16_t ReadFrom(LogSourceHandle source, uint64_t start, HitRecord* hit, uint64_t* next, uint32_t window) {
  *next = start;
  // The record is zero-filled first, so that it never holds a stale line.
  if (hit != nullptr) std::memset(hit, 0, sizeof(HitRecord));
  LogSource* src = LogSourceRecord(source);
  if (src == nullptr || hit == nullptr || src->ops == nullptr) return kReadEnd;
  // A call that goes on where the last one stopped inside a line longer than
  // the buffer goes on skipping that line, also in the same log opened anew
  // (a run reopens its log every so many bytes).
  const bool resumeSkip = start == g_reader.skipFrom &&
                          (source == g_reader.current || (src->kind == kLogSourceFile && g_reader.skipName == src->name));
  g_reader.skipFrom = kNoPosition;

  if (source != g_reader.current) {
    g_reader.current = source;
    EmptyBuffer();
    DropReadAhead();
    // Read from its head, the file meets its directives again in order;
    // what was remembered under its name may belong to a file it replaced.
    if (start == 0) {
      ForgetDirectives(src);
      UseMarksOf(src);
    } else {
      RestoreDirective(src, start);
    }
  } else if (start != g_reader.expected) {
    // A jump within the source (a time search, or a read again from the
    // head): the source is read afresh there, with the columns in force
    // there.
    DropReadAhead();
    RestoreDirective(src, start);
  }
  if (src->ops->fetchLine != nullptr) return ReadRows(src, start, hit, next);
  if (src->ops->read == nullptr || src->ops->size == nullptr) return kReadEnd;

  // The size is asked again when the buffer is refilled or when the window
  // reaches the size known so far; a growing file is seen then.
  uint64_t size = g_reader.size;
  if (g_reader.bufferStart == kNoPosition || window == 0 || start + window >= size) {
    size = src->ops->size(src);
    g_reader.size = size;
  }
  uint64_t windowEnd = window > 0 ? start + window : kNoPosition;
  uint64_t end = windowEnd < size ? windowEnd : size;
  uint64_t pos = start;
  bool skipToLineEnd = resumeSkip;  // inside a line longer than the buffer

  for (;;) {
    *next = pos;
    if (pos >= end) {
      if (pos >= size) return kReadEnd;
      if (skipToLineEnd) {
        g_reader.skipFrom = pos;
        g_reader.skipName = src->name;
      }
      return kReadNothing;
    }

    // Refill when the buffer does not hold the position with at least 1024
    // bytes ahead (unless it already reaches the end of the data).
    const uint64_t bufferEnd = g_reader.bufferStart + g_reader.bufferLength;
    if (g_reader.bufferStart == kNoPosition || pos < g_reader.bufferStart ||
        (bufferEnd < pos + kReaderRefillMargin && bufferEnd < size)) {
      const bool going = g_reader.bufferStart != kNoPosition && pos > g_reader.bufferStart && pos <= bufferEnd;
      EmptyBuffer();
      uint32_t got = 0;
      if (!FillBuffer(src, pos, going, &got, &size)) return kReadEnd;
      g_reader.bufferStart = pos;
      g_reader.bufferLength = got;
      g_reader.size = size;
      end = windowEnd < size ? windowEnd : size;
    }
    const uint32_t offset = static_cast<uint32_t>(pos - g_reader.bufferStart);
    const uint32_t avail = g_reader.bufferLength - offset;
    if (avail == 0) return kReadEnd;
    const char* data = g_reader.bufferData + offset;
    const bool atEnd = g_reader.bufferStart + g_reader.bufferLength >= size;

    if (skipToLineEnd) {
      const char* eol = FindLineEnd(data, avail);
      if (eol == nullptr) {
        pos += avail;
        continue;
      }
      uint32_t len = static_cast<uint32_t>(eol - data) + 1;
      if (len < avail && IsLineEnd(data[len])) ++len;
      pos += len;
      skipToLineEnd = false;
      continue;
    }

    uint32_t lineStart = 0, lineLength = 0;
    bool tail = false;  // the rest of the data, without a line end
    if (FindNextLine(data, avail, &lineStart, &lineLength) != 2) {
      if (lineStart > 0) {  // skipped lines first
        pos += lineStart;
        continue;
      }
      if (atEnd) {
        // At the real end of the data the rest is a line.
        lineLength = avail;
        tail = true;
        if (std::memchr(data, 0, avail) != nullptr) {
          ++g_reader.skipped;
          ++g_reader.lines;
          pos += avail;
          continue;
        }
      } else if (offset > 0) {
        EmptyBuffer();  // read again from the line's start
        continue;
      } else {
        // A line longer than the whole buffer: skip it to its line end.
        ++g_reader.skipped;
        ++g_reader.lines;
        skipToLineEnd = true;
        pos += avail;
        continue;
      }
    } else if (lineStart > 0) {
      pos += lineStart;
      continue;
    }

    if (lineLength < 2 && avail < 2) return kReadEnd;

    LineOutcome outcome;
    const uint64_t skippedBefore = g_reader.skipped;
    const uint32_t consumed = ParseOneLine(data, lineLength, avail, atEnd, offset > 0, hit, &outcome);
    if (outcome.noMemory) return kReadEnd;
    if (outcome.incomplete) {
      EmptyBuffer();  // read again from the line's start
      continue;
    }
    if (tail && !src->finished && outcome.rejected) {
      // The end of a file that may still grow, and not a line that parses:
      // it may be half written. It is left for a later read, which sees it
      // complete. Nothing of it is counted until then, so the lines it
      // was counted among (an unknown method is skipped) lose it again.
      g_reader.skipped = skippedBefore;
      std::memset(hit, 0, sizeof(HitRecord));
      *next = pos;
      return kReadEnd;
    }
    CountParsedLine(data, outcome, skippedBefore);
    if (outcome.directive) RememberDirective(src, pos);
    if (outcome.windowFlag) {
      windowEnd = window > 0 ? pos + window : kNoPosition;
      end = windowEnd < size ? windowEnd : size;
    }
    pos += consumed;
    *next = pos;
    if (!outcome.rejected) return kReadHit;
    std::memset(hit, 0, sizeof(HitRecord));  // nothing of a rejected line stays
  }
}
}  // namespace

// ---- finishing -----------------------------------------------------------

void RewriteTemplateURL(HitRecord* hit) {
  if (g_engine.disableColdFusion == 1) return;
  char* url = hit->URL;
  if (url == nullptr || url[0] == 0) return;
  // Quick test: some "?" with "dbml.exe" before it.
  bool candidate = false;
  for (const char* mark = std::strchr(url, '?'); mark != nullptr && !candidate; mark = std::strchr(mark + 1, '?')) {
    candidate = mark - url >= 8 && strncasecmp(mark - 8, "dbml.exe", 8) == 0;
  }
  if (!candidate) return;
  static const char kKey[] = "dbml.exe?template=";
  char lower[260];
  size_t n = 0;
  while (n < 259 && url[n]) {
    lower[n] = Lower(url[n]);
    ++n;
  }
  lower[n] = 0;
  const char* found = std::strstr(lower, kKey);
  if (found == nullptr) return;
  const size_t after = static_cast<size_t>(found - lower) + sizeof(kKey) - 1;
  if (std::strstr(lower + after, ".dbm") == nullptr || std::strchr(lower + after, '=') == nullptr) return;
  char* target = url + after;
  char* amp = std::strchr(target, '&');
  if (amp != nullptr) *amp = '?';
  hit->URL = target;
}

bool SetMethodCode(HitRecord* hit) {
  const char* m = hit->Method != nullptr ? hit->Method : "";
  if (m[0] == 0) {
    hit->MethodCode = kMethodOther;
    return true;
  }
  auto is = [m](const char* upper, int n) {
    for (int i = 0; i < n; ++i) {
      if ((m[i] & ~0x20) != upper[i]) return false;  // letters only: any case
    }
    return true;
  };
  if (is("GET", 3)) {
    hit->MethodCode = kMethodGet;
  } else if (is("PUT", 3)) {
    hit->MethodCode = kMethodPut;
  } else if (is("POST", 4)) {
    hit->MethodCode = kMethodPost;
  } else if (is("HEAD", 4)) {
    hit->MethodCode = kMethodHead;
  } else {
    return false;
  }
  return true;
}

int MapFTPMethod(HitRecord* hit) {
  char* m = hit->Method;
  if (m == nullptr || m[0] == 0) return 0;
  for (char* p = m; *p; ++p) {
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 32);
  }
  if (std::strstr(m, "SENT") != nullptr) {
    std::memcpy(m, "GET", 4);
    return 1;
  }
  if (std::strstr(m, "CREATED") != nullptr) {
    std::memcpy(m, "PUT", 4);
    return 1;
  }
  if (std::strncmp(m, "GET", 3) == 0 || std::strncmp(m, "POST", 4) == 0 || std::strncmp(m, "HEAD", 4) == 0) return 2;
  return 0;
}

int MonthFromName(const char* text) {
  static const char kMonths[] = "janfebmaraprmayjunjulaugsepoctnovdec";
  if (text == nullptr || text[0] == 0 || text[1] == 0 || text[2] == 0) return -1;
  const char a = Lower(text[0]), b = Lower(text[1]), c = Lower(text[2]);
  for (int i = 0; i < 12; ++i) {
    if (kMonths[i * 3] == a && kMonths[i * 3 + 1] == b && kMonths[i * 3 + 2] == c) return i;
  }
  return -1;
}

namespace {

// Decimal value of a token (optional sign, leading digits), saturated.
int TokenNumber(const char* p, const char* e) {
  bool negative = false;
  if (p < e && (*p == '-' || *p == '+')) {
    negative = *p == '-';
    ++p;
  }
  int64_t v = 0;
  while (p < e && *p >= '0' && *p <= '9') {
    v = v * 10 + (*p - '0');
    if (v > 1000000000) v = 1000000000;
    ++p;
  }
  return static_cast<int>(negative ? -v : v);
}

// Splits text at any character of seps (runs count as one); up to max tokens.
struct Token {
  const char* p;
  const char* e;
};
int SplitTokens(const char* text, const char* seps, Token* out, int max) {
  int count = 0;
  const char* p = text;
  while (*p && count < max) {
    while (*p && std::strchr(seps, *p) != nullptr) ++p;
    if (!*p) break;
    const char* s = p;
    while (*p && std::strchr(seps, *p) == nullptr) ++p;
    out[count++] = {s, p};
  }
  return count;
}

// Applies the log year rule; false when the year cannot be a log year.
bool LogYear(int year, int* out) {
  if (year < 0) return false;
  if (year < 70) {
    *out = year + 100;
  } else if (year < 100) {
    *out = year;
  } else if (year >= 1900) {
    *out = year - 1900;
  } else {
    return false;
  }
  return true;
}

// Zone token: true when a non-zero zone is given. A token whose second
// character is a sign is read from that character.
bool HasZone(const Token& t) {
  const char* p = t.p;
  if (t.e - p >= 2 && (p[1] == '+' || p[1] == '-')) ++p;
  return TokenNumber(p, t.e) != 0;
}

int MonthFromToken(const Token& t) { return t.e - t.p >= 3 ? MonthFromName(t.p) : -1; }

inline bool D(char c) { return c >= '0' && c <= '9'; }
inline int D2(const char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

bool ParseCommonDate(const char* text, struct tm* t, bool* zone) {
  // The usual layout, dd/Mon/yyyy:hh:mm:ss with or without " +hhmm", by
  // position; anything else by the general split below.
  if (D(text[0]) && D(text[1]) && text[2] == '/' && text[6] == '/' && D(text[7]) && D(text[8]) && D(text[9]) &&
      D(text[10]) && text[11] == ':' && D(text[12]) && D(text[13]) && text[14] == ':' && D(text[15]) &&
      D(text[16]) && text[17] == ':' && D(text[18]) && D(text[19])) {
    const char* z = text + 20;
    bool hasZone = false;
    bool known = false;
    if (z[0] == 0) {
      known = true;
    } else if (z[0] == ' ' && (z[1] == '+' || z[1] == '-') && D(z[2]) && D(z[3]) && D(z[4]) && D(z[5]) && z[6] == 0) {
      known = true;
      hasZone = z[2] != '0' || z[3] != '0' || z[4] != '0' || z[5] != '0';
    }
    const int month = known ? MonthFromName(text + 3) : -1;
    if (month >= 0) {
      t->tm_mday = D2(text);
      t->tm_mon = month;
      if (!LogYear(D2(text + 7) * 100 + D2(text + 9), &t->tm_year)) return false;
      t->tm_hour = D2(text + 12);
      t->tm_min = D2(text + 15);
      t->tm_sec = D2(text + 18);
      *zone = hasZone;
      return true;
    }
  }
  Token tok[8];
  const char* slash = std::strchr(text, '/');
  const char* comma = std::strchr(text, ',');
  int n;
  int i = 0;
  if (comma != nullptr && (slash == nullptr || comma < slash)) {
    n = SplitTokens(text, ",: ", tok, 8);
    i = 1;  // weekday
  } else {
    n = SplitTokens(text, "/: ", tok, 7);
  }
  if (n < i + 6) return false;
  t->tm_mday = TokenNumber(tok[i].p, tok[i].e);
  const int month = MonthFromToken(tok[i + 1]);
  if (month < 0) return false;
  t->tm_mon = month;
  if (!LogYear(TokenNumber(tok[i + 2].p, tok[i + 2].e), &t->tm_year)) return false;
  t->tm_hour = TokenNumber(tok[i + 3].p, tok[i + 3].e);
  t->tm_min = TokenNumber(tok[i + 4].p, tok[i + 4].e);
  t->tm_sec = TokenNumber(tok[i + 5].p, tok[i + 5].e);
  *zone = n > i + 6 && HasZone(tok[i + 6]);
  return true;
}

bool ParseDateFirstDate(const char* text, struct tm* t) {
  Token tok[6];
  if (SplitTokens(text, ": ", tok, 6) < 6) return false;
  const int month = MonthFromToken(tok[0]);
  if (month < 0) return false;
  t->tm_mon = month;
  t->tm_mday = TokenNumber(tok[1].p, tok[1].e);
  t->tm_hour = TokenNumber(tok[2].p, tok[2].e);
  t->tm_min = TokenNumber(tok[3].p, tok[3].e);
  t->tm_sec = TokenNumber(tok[4].p, tok[4].e);
  return LogYear(TokenNumber(tok[5].p, tok[5].e), &t->tm_year);
}

}  // namespace

bool ParseOrderedDate(const char* text, uint32_t order, struct tm* out) {
  char copy[50];
  CopyHitText(copy, sizeof(copy), text);
  const char dateSep = g_engine.logSDate[0];
  const char timeSep = g_engine.logSTime[0];
  char seps[12];
  int k = 0;
  uint32_t dateOrder = order;
  if (order == 9 || order == 35) {
    dateOrder = 1;
  } else if (order == 8 || order == 34) {
    dateOrder = 0;
  } else if (order == 10 || order == 36) {
    dateOrder = 2;
  }
  if (dateOrder != order) {
    for (char c : {'.', ',', ' ', '/', '-'}) seps[k++] = c;
  } else {
    seps[k++] = ',';
    seps[k++] = ' ';
  }
  if (dateSep != 0) seps[k++] = dateSep;
  seps[k] = 0;

  std::memset(out, 0, sizeof(*out));
  int values[6] = {0, 0, 0, 0, 0, 0};
  bool yearSet = false;
  const char* p = copy;
  for (int i = 0; i < 6; ++i) {
    if (i == 3 && timeSep != 0) {
      seps[k++] = timeSep;
      seps[k] = 0;
    }
    while (*p && std::strchr(seps, *p) != nullptr) ++p;
    if (!*p) break;
    const char* s = p;
    while (*p && std::strchr(seps, *p) == nullptr) ++p;
    values[i] = TokenNumber(s, p);
    if (i < 3) {
      // Which date part this token is.
      static const int kParts[3][3] = {{1, 0, 2}, {0, 1, 2}, {2, 1, 0}};  // 0 day, 1 month, 2 year
      const int part = kParts[dateOrder <= 2 ? dateOrder : 0][i];
      if (part == 0) {
        out->tm_mday = values[i];
      } else if (part == 1) {
        out->tm_mon = values[i] - 1;
      } else {
        yearSet = LogYear(values[i], &out->tm_year);
        if (!yearSet) out->tm_year = 0;
      }
    }
  }
  out->tm_hour = values[3];
  out->tm_min = values[4];
  out->tm_sec = values[5];
  return IsValidHitTime(*out);
}

int FinishHitFields(uint16_t format, HitRecord* hit) {
  RewriteTemplateURL(hit);

  struct tm t = {};
  bool zone = false;
  bool parsed = true;
  const char* date = hit->DateText != nullptr ? hit->DateText : "";
  switch (format) {
    case kFormatCommon:
      parsed = ParseCommonDate(date, &t, &zone);
      break;
    case kFormatDateFirst:
      parsed = ParseDateFirstDate(date, &t);
      zone = true;
      break;
    case kFormatComma:
    case kFormatTab: {
      const uint32_t layout = g_reader.dateLayout;
      parsed = ParseOrderedDate(date, CommaDateOrder(), &t);
      zone = format == kFormatComma;
      if (format == kFormatTab && layout >= 8 && layout <= 10) g_reader.dateLayout = layout + 26;
      break;
    }
    default:
      break;
  }
  if (!parsed || !IsValidHitTime(t)) return 0;
  int64_t seconds = HitWallClock(t);
  if (seconds < 0) return 0;
  if (!zone || format == kFormatTab) {
    seconds = UtcToLocalWallClock(seconds);
    if (seconds < 0) return 0;
  }
  hit->HitTime = static_cast<uint32_t>(seconds);

  if (!SetMethodCode(hit)) {
    ++g_reader.skipped;
    return 0;
  }
  SetClientHostTexts(hit);
  CompleteHitRecord(hit);
  return 1;
}

}  // namespace vrn
