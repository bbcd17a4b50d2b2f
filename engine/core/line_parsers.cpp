// The line parsers of formats 2 to 10. They cut the record's line copy in
// place; every scan stops at the line end (CR, LF) or at the copy's
// terminating zero.
#include "engine/core/line_parsers.h"

#include <strings.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "engine/core/engine_state.h"
#include "engine/core/log_reader.h"

namespace vrn {

namespace {

// Constant texts that parsers point fields at. They live as long as the
// library; DuplicateHitRecord leaves pointers outside the line alone.
char kTextHttp10[] = "HTTP/1.0";
char kTextFtp[] = "FTP";
char kText200[] = "200";
char kText0[] = "0";

inline bool IsEnd(char c) { return c == 0 || c == '\r' || c == '\n'; }
inline bool IsLineEndChar(char c) { return c == '\r' || c == '\n'; }

// Bytes of the line up to `end` (where the character endChar stood before it
// was cut) plus its line end: one CR or LF and one more directly after it.
inline uint32_t ConsumedThrough(const char* line, const char* end, char endChar, uint32_t length) {
  uint32_t consumed = static_cast<uint32_t>(end - line);
  if (IsLineEndChar(endChar)) {
    ++consumed;
    if (consumed < length && IsLineEndChar(line[consumed])) ++consumed;
  }
  return consumed;
}

// First position at or after p holding c or a line end.
inline char* ScanTo(char* p, char c) {
  while (!IsEnd(*p) && *p != c) ++p;
  return p;
}
inline char* SkipSpaces(char* p) {
  while (*p == ' ') ++p;
  return p;
}
inline char* ToLineEnd(char* p) {
  while (!IsEnd(*p)) ++p;
  return p;
}
// The first CR or LF of text[0, length), else text + length. The text is a
// line copy: whole blocks may be loaded past its end (kHitLineSlack).
inline char* FirstLineEnd(char* text, uint32_t length) {
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  for (uint32_t i = 0; i < length; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    uint32_t m = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf))));
    if (length - i < 16) m &= (1u << (length - i)) - 1;
    if (m != 0) return text + i + __builtin_ctz(m);
  }
  return text + length;
#else
  for (uint32_t i = 0; i < length; ++i) {
    if (text[i] == '\r' || text[i] == '\n') return text + i;
  }
  return text + length;
#endif
}

// First c in [from, end), else end; end lies within a line copy.
inline char* FindChar(char* from, char c, char* end) {
#if defined(__SSE2__)
  const __m128i needle = _mm_set1_epi8(c);
  for (; from < end; from += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    uint32_t m = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, needle)));
    const size_t left = static_cast<size_t>(end - from);
    if (left < 16) m &= (1u << left) - 1;
    if (m != 0) return from + __builtin_ctz(m);
  }
  return end;
#else
  while (from < end && *from != c) ++from;
  return from;
#endif
}

// The closing quote of a quoted field from `from`, else end: a quote after a
// backslash is part of the text (servers write a quote inside a field as \"
// and a backslash as \\).
inline char* FindClosingQuote(char* from, char* end) {
  char* q = FindChar(from, '"', end);
  while (q < end && q > from && q[-1] == '\\') {
    // The quote is escaped when an odd number of backslashes leads to it.
    size_t run = 0;
    for (char* b = q - 1; b >= from && *b == '\\'; --b) ++run;
    if (run % 2 == 0) break;
    q = FindChar(q + 1, '"', end);
  }
  return q;
}

// Turns \" into " and \\ into \ in a quoted field's text (zero-terminated);
// any other backslash stays.
inline void Unescape(char* text) {
  char* w = std::strchr(text, '\\');
  if (w == nullptr) return;
  for (const char* r = w; *r != 0; ++r) {
    if (*r == '\\' && (r[1] == '"' || r[1] == '\\')) ++r;
    *w++ = *r;
  }
  *w = 0;
}

// Sets *field to text, or to the empty text when text is "-".
inline void SetDashField(char** field, char* text) {
  if (text[0] == '-' && text[1] == 0) {
    *field = HitEmptyText();
  } else {
    *field = text;
  }
}

inline void SetServerField(char** field, char* text) {
  if ((text[0] == '-' && text[1] == 0) || std::strchr(text, '/') != nullptr) {
    *field = HitEmptyText();
  } else {
    *field = text;
  }
}

void CutAndDecode(char* text) {
  CutLongURL(text);
  DecodePercentEscapes(text);
}

// The same for a text that the caller cut at text + n, in a line copy; returns
// the length after. A text of at most 260 characters without "%" or zero
// byte stays as it is, which one scan tells.
size_t CutAndDecode(char* text, size_t n) {
  bool plain = n <= kMaxUrlLength;
#if defined(__SSE2__)
  const __m128i percent = _mm_set1_epi8('%');
  const __m128i zero = _mm_setzero_si128();
  for (size_t i = 0; plain && i < n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    uint32_t m = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, percent), _mm_cmpeq_epi8(v, zero))));
    if (n - i < 16) m &= (1u << (n - i)) - 1;
    plain = m == 0;
  }
#else
  for (size_t i = 0; plain && i < n; ++i) plain = text[i] != '%' && text[i] != 0;
#endif
  if (plain) return n;
  CutAndDecode(text);
  return std::strlen(text);
}

uint32_t Finish(HitRecord* hit, uint32_t consumed, bool* reject) {
  if (FinishHitFields(hit->FormatCode, hit) != 1) {
    *reject = true;
    return 0;
  }
  *reject = false;
  return consumed;
}

// Copies at most 1023 characters of text into a 1024-byte work buffer.
void WorkCopy(char (&work)[1024], const char* text) { CopyHitText(work, sizeof(work), text); }

uint32_t g_referrerTime = 0;
bool g_referrerTimeSet = false;
uint32_t g_agentTime = 0;
bool g_agentTimeSet = false;

uint32_t SyntheticTime(uint32_t* slot, bool* set) {
  if (!*set) {
    const int64_t now = UtcToLocalWallClock(static_cast<int64_t>(std::time(nullptr)));
    *slot = now < 0 ? 0 : static_cast<uint32_t>(now);
    *set = true;
  }
  return *slot;
}

// Room that BuildSyntheticHit needs for the given texts.
size_t SyntheticSize(const char* page, const char* referrer, const char* agent) {
  return 100 + (page ? std::strlen(page) : 0) + (referrer ? std::strlen(referrer) : 0) +
         (agent ? std::strlen(agent) : 0);
}

// Replaces the line copy by a synthetic hit built from texts of the old copy.
bool MakeSyntheticHit(HitRecord* hit, uint32_t length, const char* page, const char* referrer, const char* agent) {
  char* old = hit->Line;
  size_t need = SyntheticSize(page, referrer, agent);
  if (need < static_cast<size_t>(length) + 100) need = static_cast<size_t>(length) + 100;
  if (need >= 0xFFFFFFFFu) return false;
  char* fresh = ResizeHitLine(hit, old, static_cast<uint32_t>(need), false);
  if (fresh == nullptr) return false;
  BuildSyntheticHit(hit, fresh, page, referrer, agent);
  std::free(old);
  return true;
}

}  // namespace

void ResetSyntheticHitTimes() {
  g_referrerTimeSet = false;
  g_agentTimeSet = false;
}

// ---- format 2 ------------------------------------------------------------

namespace {

// Whether a line begins as a virtual-host line does: "host:port", then the
// client's address, two fields and the bracketed date. firstEnd is the end of
// the first field, eol the line's end.
bool LeadsWithVirtualHost(char* line, char* firstEnd, char* eol) {
  char* colon = nullptr;
  int colons = 0;
  for (char* c = line; c < firstEnd; ++c) {
    if (*c == ':') {
      colon = c;
      ++colons;
    }
  }
  if (colons != 1 || colon == line || firstEnd - colon < 2 || firstEnd - colon > 6) return false;
  for (char* c = colon + 1; c < firstEnd; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  // An IPv4 or IPv6 address.
  char* a = SkipSpaces(firstEnd + 1);
  char* ae = a;
  int dots = 0, inner = 0;
  for (; ae < eol && *ae != ' '; ++ae) {
    const char c = *ae;
    const bool hex = (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
    if (c == '.') {
      ++dots;
    } else if (c == ':') {
      ++inner;
    } else if (!hex) {
      return false;
    }
  }
  if (ae >= eol || ae == a || (dots != 3 && inner < 2)) return false;
  // Two fields, then the date.
  char* f = SkipSpaces(ae + 1);
  for (int i = 0; i < 2; ++i) {
    while (f < eol && *f != ' ' && *f != '[') ++f;
    if (f >= eol || *f != ' ') return false;
    f = SkipSpaces(f + 1);
  }
  return f < eol && *f == '[';
}

}  // namespace

uint32_t ParseCommonLine(char* line, HitRecord* hit, uint32_t length, bool* reject) {
  return ParseCommonLineTo(line, hit, length, static_cast<uint32_t>(FirstLineEnd(line, length) - line), reject);
}

uint32_t ParseCommonLineTo(char* line, HitRecord* hit, uint32_t length, uint32_t firstEnd, bool* reject) {
  *reject = true;
  char* p = line;
  // The end of this line (a following line may be in the copy too).
  char* eol = line + firstEnd;
  auto Find = [eol](char* from, char c) -> char* { return from >= eol ? from : FindChar(from, c, eol); };

  // 1. Client, after the server's name and port on a virtual-host line.
  char* q = Find(p, ' ');
  if (IsEnd(*q)) return 0;
  char* client = line;
  char* virtualHost = nullptr;
  if (LeadsWithVirtualHost(line, q, eol)) {
    virtualHost = line;
    *FindChar(line, ':', q) = 0;
    client = SkipSpaces(q + 1);
    q = Find(client, ' ');
  }
  hit->ClientAddress = client;
  TrimTrailingBlanks(client, static_cast<size_t>(q - client));
  p = SkipSpaces(q + 1);

  // The next two fields: server and user when a "[" follows them.
  char* f1 = p;
  char* f1e = Find(f1, ' ');
  if (IsEnd(*f1e)) return 0;
  char* f2 = SkipSpaces(f1e + 1);
  char* f2e = Find(f2, ' ');
  char* bracket = nullptr;
  if (*f2e == ' ' && *SkipSpaces(f2e + 1) == '[') {
    bracket = SkipSpaces(f2e + 1);
    *f1e = 0;
    *f2e = 0;
    SetServerField(&hit->ServerAddress, f1);
    SetDashField(&hit->UserName, f2);
  } else {
    // 2. Server.
    *f1e = 0;
    SetServerField(&hit->ServerAddress, f1);
    // 3. User: up to the "[" (it may hold spaces).
    char* u = f2;
    if (*u == '[') {
      bracket = u;
    } else {
      bracket = Find(u, '[');
      if (*bracket != '[') return 0;
      *bracket = 0;
      TrimTrailingBlanks(u, static_cast<size_t>(bracket - u));
      SetDashField(&hit->UserName, u);
    }
  }

  // 4. Date.
  char* dateStart = bracket + 1;
  q = Find(dateStart, ']');
  if (*q != ']') return 0;
  *q = 0;
  hit->DateText = dateStart;
  p = SkipSpaces(q + 1);
  if (*p != '"') {
    char* s = p;
    q = Find(s, ' ');
    if (IsEnd(*q)) return 0;
    *q = 0;
    SetDashField(&hit->ServerAddress, s);
    p = SkipSpaces(q + 1);
  }

  if (virtualHost != nullptr) hit->ServerAddress = virtualHost;

  // 5. Method.
  if (*p != '"') return 0;
  char* method = p + 1;
  q = Find(method, ' ');
  if (IsEnd(*q)) return 0;
  *q = 0;
  hit->Method = method;
  p = SkipSpaces(q + 1);

  // 6. URL.
  char* url = p;
  {
    char* space = Find(p, ' ');
    char* quote = p >= eol ? p : FindClosingQuote(p, eol);
    p = space < quote ? space : quote;
  }
  if (IsEnd(*p)) return 0;
  if (*p == ' ' && p > url && p[-1] == ',') return ParseCommaRequest(line, hit, url, length, reject);
  const bool quoteEnded = *p == '"';
  *p = 0;
  hit->URL = url;
  const bool proxy = (url[0] | 0x20) == 'h' && strncasecmp(url, "http://", 7) == 0;
  size_t urlLength = static_cast<size_t>(p - url);
  if (std::memchr(url, '\\', urlLength) != nullptr) {
    Unescape(url);
    urlLength = std::strlen(url);
  }
  urlLength = CutAndDecode(url, urlLength);
  if (urlLength > 0 && url[urlLength - 1] == '?') url[urlLength - 1] = 0;
  p = p + 1;

  // 7. Protocol.
  if (!quoteEnded) {
    char* protocol = p;
    q = p >= eol ? p : FindClosingQuote(protocol, eol);
    if (*q != '"') return 0;
    *q = 0;
    Unescape(protocol);
    hit->Protocol = protocol;
    p = q + 1;
  }

  // 8. Status.
  p = SkipSpaces(p);
  char* status = p;
  q = Find(status, ' ');
  if (IsEnd(*q)) return 0;
  *q = 0;
  hit->StatusText = status;
  p = q + 1;
  while (*p != 0 && !(*p >= '0' && *p <= '9') && *p != '-' && !IsLineEndChar(*p)) ++p;
  if (*p == 0) return 0;

  // 9. Bytes.
  char* bytes = p;
  while (!IsEnd(*p) && *p != ' ') ++p;
  char* lineEnd = nullptr;  // where the line ends when already known
  char endChar = *p;
  if (endChar == ' ') {
    *p = 0;
    hit->BytesSentText = bytes;
    p = SkipSpaces(p + 1);
  } else {
    lineEnd = p;
    *p = 0;
    hit->BytesSentText = bytes;
  }

  enum { kReferrer, kCookie, kEnd } next = kEnd;
  if (lineEnd == nullptr && !IsEnd(*p)) {
    if (*p == '[') {
      // Bracketed groups up to the fourth bracket.
      int brackets = 0;
      while (!IsEnd(*p) && brackets < 4) {
        if (*p == '[' || *p == ']') ++brackets;
        ++p;
      }
      if (brackets < 4) return 0;
      next = kCookie;
    } else if (*p == '"') {
      next = kReferrer;
    } else if (proxy) {
      p = (p <= eol ? eol : ToLineEnd(p));
      next = kEnd;
    } else {
      char* field = p;
      while (!IsEnd(*p) && *p != ' ') ++p;
      const bool spaceEnded = *p == ' ';
      if (field[0] == '(') {
        next = kCookie;
      } else {
        if (spaceEnded) {
          *p = 0;
          ++p;
        } else {
          lineEnd = p;
          endChar = *p;
          *p = 0;
        }
        SetDashField(&hit->ServerAddress, field);
        next = spaceEnded ? kReferrer : kCookie;
      }
    }
  }

  // 10. Referrer and browser text.
  if (lineEnd == nullptr && next == kReferrer) {
    p = SkipSpaces(p);
    if (*p == '"') {
      char* referrer = p + 1;
      q = referrer >= eol ? referrer : FindClosingQuote(referrer, eol);
      const bool closed = *q == '"';
      if (closed) {
        *q = 0;
        p = q + 1;
      } else {
        lineEnd = q;
        endChar = *q;
        *q = 0;
      }
      hit->Referrer = referrer;
      size_t referrerLength = static_cast<size_t>(q - referrer);
      if (std::memchr(referrer, '\\', referrerLength) != nullptr) {
        Unescape(referrer);
        referrerLength = std::strlen(referrer);
      }
      CutAndDecode(referrer, referrerLength);
      if (lineEnd == nullptr) {
        char* agent = nullptr;
        if (*p == ' ' && p[1] == '"') {
          agent = p + 2;
        } else {
          p = SkipSpaces(p);
          if (*p == '"') agent = p + 1;
        }
        if (agent != nullptr) {
          q = agent >= eol ? agent : FindClosingQuote(agent, eol);
          if (*q == '"') {
            *q = 0;
            p = q + 1;
          } else {
            lineEnd = q;
            endChar = *q;
            *q = 0;
          }
          Unescape(agent);
          hit->UserAgent = agent;
        }
      }
    }
    next = kCookie;
  }

  // 11. Cookie.
  if (lineEnd == nullptr && next == kCookie) {
    p = SkipSpaces(p);
    if (*p == '"') {
      char* cookie = p + 1;
      q = cookie >= eol ? cookie : FindClosingQuote(cookie, eol);
      if (*q == '"') {
        *q = 0;
        p = q + 1;
      } else {
        lineEnd = q;
        endChar = *q;
        *q = 0;
      }
      Unescape(cookie);
      hit->Cookie = cookie;
    }
  }

  // 12. End of the line; the rest of it is skipped.
  if (lineEnd == nullptr) {
    lineEnd = (p <= eol ? eol : ToLineEnd(p));
    endChar = *lineEnd;
  }
  uint32_t consumed = ConsumedThrough(line, lineEnd, endChar, length);

  // A following line that carries the browser text and referrer.
  if (consumed < length) {
    char* n = line + consumed;
    char* ne = ToLineEnd(n);
    bool taken = false;
    if (*n == '/') {
      int spaces = 0;
      char* third = nullptr;
      for (char* s = n; s < ne; ++s) {
        if (*s == ' ' && ++spaces == 3) {
          third = s;
          break;
        }
      }
      if (third != nullptr) {
        char* text = third + 1;
        char* last = nullptr;
        for (char* s = text; s < ne; ++s) {
          if (*s == ' ') last = s;
        }
        const char savedEnd = *ne;
        *ne = 0;
        if (last != nullptr) {
          *last = 0;
          hit->UserAgent = text;
          hit->Referrer = last + 1;
        } else {
          hit->UserAgent = HitEmptyText();
          hit->Referrer = text;
        }
        consumed = ConsumedThrough(line, ne, savedEnd, length);
        taken = true;
      }
    }
    if (!taken) {
      char* s = n;
      while (!IsEnd(*s) && *s != '[' && *s != ']' && *s != '|') ++s;
      if (*s == '|') {
        const char savedEnd = *ne;
        *s = 0;
        *ne = 0;
        hit->UserAgent = n;
        hit->Referrer = s + 1;
        consumed = ConsumedThrough(line, ne, savedEnd, length);
      }
    }
  }

  // 13.
  return Finish(hit, consumed, reject);
}

uint32_t ParseCommaRequest(char* line, HitRecord* hit, char* text, uint32_t length, bool* reject) {
  *reject = true;
  // URL up to the comma.
  char* comma = ScanTo(text, ',');
  if (*comma != ',') return 0;
  *comma = 0;
  TrimTrailingBlanks(text, static_cast<size_t>(comma - text));
  char url[1024];
  WorkCopy(url, text);
  CutAndDecode(url);

  // Browser text up to "|", referrer up to ",".
  char* agent = SkipSpaces(comma + 1);
  char* bar = ScanTo(agent, '|');
  if (*bar != '|') return 0;
  *bar = 0;
  char* referrer = bar + 1;
  char* rc = ScanTo(referrer, ',');
  if (*rc != ',') return 0;
  *rc = 0;
  char* p = rc + 1;

  // Up to the closing quote: an optional query and the protocol.
  char* quote = ScanTo(p, '"');
  if (*quote != '"') return 0;
  char* lastSpace = nullptr;
  char* mark = nullptr;
  for (char* s = p; s < quote; ++s) {
    if (*s == ' ') lastSpace = s;
    if (*s == '?' && mark == nullptr) mark = s;
  }
  *quote = 0;
  char* query = nullptr;
  if (lastSpace != nullptr) {
    if (mark != nullptr && mark < lastSpace) {
      query = mark;
      *lastSpace = 0;
    }
    hit->Protocol = lastSpace + 1;
  } else {
    hit->Protocol = p;
  }

  // Status and bytes.
  p = SkipSpaces(quote + 1);
  char* status = p;
  char* q = ScanTo(status, ' ');
  if (IsEnd(*q)) return 0;
  *q = 0;
  hit->StatusText = status;
  char* bytes = SkipSpaces(q + 1);
  char* end = ToLineEnd(bytes);
  const char endChar = *end;
  *end = 0;
  hit->BytesSentText = bytes;
  uint32_t consumed = ConsumedThrough(line, end, endChar, length);

  char agentCopy[1024];
  char referrerCopy[1024];
  WorkCopy(agentCopy, agent);
  WorkCopy(referrerCopy, referrer);
  CutAndDecode(referrerCopy);
  if (query != nullptr) {
    // The query joins the URL; the URL limit holds after joining.
    const size_t used = std::strlen(url);
    CopyHitText(url + used, sizeof(url) - used, query);
    CutLongURL(url);
  }
  // Write URL, browser text and referrer anew from the URL's place: they
  // came from there, so they fit.
  char* out = text;
  char* limit = query != nullptr ? query + std::strlen(query) : quote;
  const size_t total = std::strlen(url) + std::strlen(agentCopy) + std::strlen(referrerCopy) + 3;
  if (out + total > limit + 1) {
    // Never expected; keep the texts where they are.
    hit->URL = text;
    CutAndDecode(text);
    hit->UserAgent = agent;
    hit->Referrer = referrer;
    CutAndDecode(referrer);
  } else {
    const size_t u = std::strlen(url) + 1;
    std::memcpy(out, url, u);
    hit->URL = out;
    out += u;
    const size_t a = std::strlen(agentCopy) + 1;
    std::memcpy(out, agentCopy, a);
    hit->UserAgent = out;
    out += a;
    const size_t r = std::strlen(referrerCopy) + 1;
    std::memcpy(out, referrerCopy, r);
    hit->Referrer = out;
  }
  return Finish(hit, consumed, reject);
}

// ---- format 3 ------------------------------------------------------------

uint32_t ParseCommaLine(char* line, HitRecord* hit, uint32_t length, bool* reject, bool* windowFlag) {
  *reject = true;
  if (ResizeHitLine(hit, line, length + 20, true) == nullptr) return 0;
  line = hit->Line;

  // Field starts and their terminating commas, up to the line end.
  constexpr int kMaxFields = 64;
  char* starts[kMaxFields];
  char* ends[kMaxFields];
  int count = 0;
  char* p = line;
  char* lineEnd = nullptr;
  while (count < kMaxFields) {
    while (*p == ' ' || *p == '\t') ++p;
    starts[count] = p;
    while (!IsEnd(*p) && *p != ',') ++p;
    ends[count] = p;
    ++count;
    if (*p != ',') {
      lineEnd = p;
      break;
    }
    ++p;
  }
  if (lineEnd == nullptr) lineEnd = ToLineEnd(p);
  const char endChar = *lineEnd;
  uint32_t consumed = ConsumedThrough(line, lineEnd, endChar, length);
  // Fields that ended at a comma: count - 1 (the last one ran to the line end).
  const int commaFields = *ends[count - 1] == ',' ? count : count - 1;
  if (commaFields < 14) return 0;

  // The service decides whether this is a server log line.
  if (strncasecmp(starts[4], "W3SVC", 5) != 0 && strncasecmp(starts[4], "MSFTPSVC", 8) != 0) return 0;

  // Cut the fields (the date keeps the comma to its time).
  for (int i = 0; i < count; ++i) {
    if (i != 2) *ends[i] = 0;
  }
  hit->ClientAddress = starts[0];
  SetDashField(&hit->UserName, starts[1]);
  hit->DateText = starts[2];
  hit->ServerName = starts[5];
  hit->ServerAddress = (starts[6][0] == '-' && starts[6][1] == 0) ? hit->ServerName : starts[6];
  hit->BytesReceivedText = starts[8];
  hit->BytesSentText = starts[9];
  hit->StatusText = starts[10];
  hit->Method = starts[12];
  char* target = starts[13];
  CutAndDecode(target);
  hit->URL = target;

  const int after = commaFields - 14;  // commas after the one that ends the target
  char* params = commaFields - 1 >= 14 ? starts[commaFields - 1] : HitEmptyText();
  char* agent = nullptr;
  char* referrer = nullptr;
  char* cookie = nullptr;
  if (after > 2) {
    agent = starts[14];
    referrer = starts[15];
    DecodePercentEscapes(agent);
    DecodePercentEscapes(referrer);
    hit->UserAgent = agent;
    hit->Referrer = referrer;
    if (after > 3) {
      cookie = starts[commaFields - 2];
      size_t n = std::strlen(cookie);
      if (n >= 1 && cookie[0] == '"') {
        ++cookie;
        --n;
      }
      if (n >= 1 && cookie[n - 1] == '"') cookie[n - 1] = 0;
      hit->Cookie = cookie;
    }
  }

  if (params[0] != 0 && !(params[0] == '-' && params[1] == 0)) {
    char url[1024], agentWork[1024], referrerWork[1024], cookieWork[1024];
    WorkCopy(url, target);
    const size_t used = std::strlen(url);
    if (used + 1 < sizeof(url)) {
      url[used] = '?';
      CopyHitText(url + used + 1, sizeof(url) - used - 1, params);
    }
    CutLongURL(url);  // the URL limit holds after joining
    WorkCopy(agentWork, agent != nullptr ? agent : "");
    WorkCopy(referrerWork, referrer != nullptr ? referrer : "");
    WorkCopy(cookieWork, cookie != nullptr ? cookie : "");
    char* out = target;
    char* limit = line + hit->LineLength;
    auto put = [&](const char* text, char** field) {
      const size_t n = std::strlen(text) + 1;
      if (out + n > limit) return false;
      std::memmove(out, text, n);
      *field = out;
      out += n;
      return true;
    };
    if (!put(url, &hit->URL)) return 0;
    if (agent != nullptr) {
      if (!put(agentWork, &hit->UserAgent) || !put(referrerWork, &hit->Referrer)) return 0;
    }
    if (cookie != nullptr && cookieWork[0] != 0) {
      if (!put(cookieWork, &hit->Cookie)) return 0;
    }
  }

  hit->Protocol = HitEmptyText();
  const int kind = MapFTPMethod(hit);
  if (kind == 0) {
    *windowFlag = true;
    CountSkippedLine();  // an operation that is no known method
    return 0;
  }
  hit->Protocol = kind == 1 ? kTextFtp : kTextHttp10;
  return Finish(hit, consumed, reject);
}

// ---- format 4 ------------------------------------------------------------

uint32_t ParseDateFirstLine(char* line, HitRecord* hit, uint32_t length, bool* reject) {
  *reject = true;
  if (line[0] == '/') return 0;
  char* p = line;
  char* fields[8];
  char* ends[8];
  for (int i = 0; i < 8; ++i) {
    fields[i] = p;
    char* q = ScanTo(p, ' ');
    if (IsEnd(*q)) return 0;
    ends[i] = q;
    p = q + 1;
  }
  // weekday, then month name, day, time, year as one date text.
  *ends[4] = 0;
  hit->DateText = fields[1];
  *ends[5] = 0;
  hit->ServerAddress = fields[5];
  *ends[6] = 0;
  hit->ClientAddress = fields[6];
  *ends[7] = 0;
  hit->Method = fields[7];

  char* url = p;
  while (!IsEnd(*p) && *p != ' ' && *p != '<' && *p != '>') ++p;
  char* protocol = nullptr;
  char* lineEnd = nullptr;
  if (IsEnd(*p)) {
    lineEnd = p;
  } else {
    *p = 0;
    protocol = p + 1;
    p = protocol;
    while (!IsEnd(*p) && *p != ' ' && *p != '<' && *p != '>') ++p;
  }
  char* end = lineEnd != nullptr ? lineEnd : ToLineEnd(p);
  const char endChar = *end;
  if (protocol != nullptr) *p = 0;
  *end = 0;
  hit->URL = url;
  CutAndDecode(url);
  if (protocol != nullptr) hit->Protocol = protocol;
  hit->StatusText = kText200;
  hit->BytesSentText = kText0;

  uint32_t consumed = ConsumedThrough(line, end, endChar, length);
  return Finish(hit, consumed, reject);
}

// ---- format 5 ------------------------------------------------------------

uint32_t ParseTabLine(char* line, HitRecord* hit, uint32_t length, bool* reject) {
  *reject = true;
  char* fields[12];
  char* p = line;
  for (int i = 0; i < 11; ++i) {
    fields[i] = p;
    char* q = ScanTo(p, '\t');
    if (*q != '\t') return 0;
    *q = 0;
    p = q + 1;
  }
  fields[11] = p;
  char* end = ToLineEnd(p);
  const char endChar = *end;
  *end = 0;

  hit->DateText = fields[0];
  hit->ClientAddress = fields[1];
  SetDashField(&hit->ServerAddress, fields[2]);
  SetDashField(&hit->UserName, fields[4]);
  hit->Method = fields[5];
  CutAndDecode(fields[6]);
  hit->URL = fields[6];
  hit->Referrer = fields[7];
  hit->UserAgent = fields[9];
  hit->StatusText = fields[10];
  hit->BytesSentText = fields[11];
  hit->Protocol = kTextHttp10;

  uint32_t consumed = ConsumedThrough(line, end, endChar, length);
  return Finish(hit, consumed, reject);
}

// ---- format 6 ------------------------------------------------------------

uint32_t ParseKeyValueLine(char* line, HitRecord* hit, uint32_t length, bool* reject) {
  *reject = true;
  char* end = ToLineEnd(line);
  char* p = nullptr;
  for (char* s = line; s + 2 < end; ++s) {
    if ((s[0] | 0x20) == 'l' && (s[1] | 0x20) == 'o' && (s[2] | 0x20) == 'g') {
      p = s + 3;
      break;
    }
  }
  if (p == nullptr) return 0;
  CopyUnresolvedTexts(hit);

  enum { kStart = 1, kHost = 2, kMethod = 4, kUrl = 8, kStatus = 16, kBytes = 32, kAll = 63 };
  unsigned given = 0;
  int64_t start = 0;
  for (;;) {
    while (p < end && *p != '{') ++p;
    if (p >= end) break;
    ++p;
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    char* key = p;
    while (p < end && *p != ' ' && *p != '\t' && *p != '}') ++p;
    const char keyEnd = p < end ? *p : 0;
    char* keyStop = p;
    if (keyEnd != '}') {
      while (p < end && (*p == ' ' || *p == '\t' || *p == '{')) ++p;
    }
    char* value = p;
    while (p < end && *p != '}') ++p;
    if (keyEnd == '}') value = keyStop;  // a key without a value
    const bool closed = p < end;
    *keyStop = 0;
    if (closed) *p = 0;
    if (p < end) ++p;

    if (strcasecmp(key, "start") == 0) {
      hit->DateText = value;
      char* stop = nullptr;
      const long long v = std::strtoll(value, &stop, 10);
      start = stop == value ? -1 : v;
      given |= kStart;
    } else if (strcasecmp(key, "host") == 0) {
      hit->ClientAddress = value;
      CopyHitText(hit->ClientHost, sizeof(hit->ClientHost), value);
      given |= kHost;
    } else if (strcasecmp(key, "addr") == 0) {
      hit->ServerAddress = value;
      CopyHitText(hit->Server, sizeof(hit->Server), value);
    } else if (strcasecmp(key, "method") == 0) {
      hit->Method = value;
      if (!SetMethodCode(hit)) {
        CountSkippedLine();
        return 0;
      }
      given |= kMethod;
    } else if (strcasecmp(key, "url") == 0) {
      hit->URL = value;
      given |= kUrl;
    } else if (strcasecmp(key, "status") == 0) {
      hit->StatusText = value;
      hit->StatusCode = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
      hit->Success = hit->StatusCode >= 200 && hit->StatusCode <= 399 ? 1 : 0;
      given |= kStatus;
    } else if (strcasecmp(key, "bytes") == 0) {
      hit->BytesSentText = value;
      hit->BytesReceivedText = value;
      hit->Bytes = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
      given |= kBytes;
    } else if (strcasecmp(key, "agent") == 0) {
      hit->UserAgent = value;
    } else if (strcasecmp(key, "referrer") == 0) {
      hit->Referrer = value;
    }

    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    if (p >= end || *p != '{') break;
  }
  if (given != kAll || start < 0) return 0;
  const int64_t local = UtcToLocalWallClock(start);
  if (local < 0) return 0;
  hit->HitTime = static_cast<uint32_t>(local);

  uint32_t consumed = static_cast<uint32_t>(end - line);
  while (consumed < length && IsLineEndChar(line[consumed])) ++consumed;
  *reject = false;
  return consumed;
}

// ---- formats 7, 8, 9 -----------------------------------------------------

void BuildSyntheticHit(HitRecord* hit, char* buffer, const char* page, const char* referrer, const char* agent) {
  char* out = buffer;
  auto put = [&](const char* text, char** field) {
    const size_t n = std::strlen(text) + 1;
    std::memcpy(out, text, n);
    if (field != nullptr) *field = out;
    out += n;
  };
  put("localhost", &hit->ClientAddress);
  put("", &hit->ServerAddress);
  put("", &hit->UserName);
  put("01/Jan/1997:00:00:00 +0000", &hit->DateText);
  put("GET", &hit->Method);
  put(page != nullptr ? page : "/", &hit->URL);
  put("HTTP/1.0", &hit->Protocol);
  put("200", &hit->StatusText);
  put("0", &hit->BytesSentText);
  put(referrer != nullptr ? referrer : "-", &hit->Referrer);
  put(agent != nullptr ? agent : "", &hit->UserAgent);
  put("0", &hit->BytesReceivedText);
  put("", &hit->ServerName);
  put("", &hit->Cookie);
  hit->RecordSize = static_cast<uint32_t>(out - buffer);
  CopyHitText(hit->ClientHost, sizeof(hit->ClientHost), hit->ClientAddress);
  CopyHitText(hit->Server, sizeof(hit->Server), hit->ServerAddress);
  CopyUnresolvedTexts(hit);
  hit->MethodCode = kMethodGet;
  hit->StatusCode = 200;
  hit->Success = 1;
  hit->Reserved2 = 0;
}

uint32_t ParseReferrerLine(char* line, HitRecord* hit, uint32_t length, uint16_t code, bool* reject) {
  *reject = true;
  char* end = ToLineEnd(line);
  *end = 0;
  const char* page = nullptr;
  const char* referrer = line;
  if (code == 7) {
    char* arrow = std::strstr(line, " ->");
    if (arrow == nullptr) return 0;
    *arrow = 0;
    char* p = arrow + 3;
    while (*p == ' ' || *p == '-' || *p == '>') ++p;
    if (*p != 0) page = p;
  }
  if (!MakeSyntheticHit(hit, length, page, referrer, nullptr)) return 0;
  hit->HitTime = SyntheticTime(&g_referrerTime, &g_referrerTimeSet);
  *reject = false;
  return 0;
}

uint32_t ParseAgentLine(char* line, HitRecord* hit, uint32_t length, bool* reject) {
  *reject = true;
  char* end = ToLineEnd(line);
  *end = 0;
  if (!MakeSyntheticHit(hit, length, nullptr, nullptr, line)) return 0;
  hit->HitTime = SyntheticTime(&g_agentTime, &g_agentTimeSet);
  *reject = false;
  return 0;
}

}  // namespace vrn
