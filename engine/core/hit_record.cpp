// The hit record: creation, copies, completion and the small text helpers
// that every line parser uses.
#include "engine/core/hit_record.h"

#include <cstdlib>
#include <cstring>

#include "engine/core/engine_state.h"

namespace vrn {

namespace {

char g_emptyText[1] = {0};

// The field pointers in their fixed order.
char* HitRecord::*const kFieldMembers[kHitFieldCount] = {
    nullptr, nullptr, nullptr, nullptr,  // ReservedText1[0..3], reached by index below
    &HitRecord::Protocol,      &HitRecord::URL,          &HitRecord::ServerAddress, &HitRecord::UserName,
    &HitRecord::Referrer,      &HitRecord::UserAgent,    &HitRecord::Cookie,        &HitRecord::StatusText,
    &HitRecord::BytesReceivedText, &HitRecord::BytesSentText, &HitRecord::Method,  &HitRecord::ClientAddress,
    &HitRecord::DateText,      &HitRecord::ServerName,   &HitRecord::ReservedPtr19,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,  // ReservedText2[0..8]
};

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Leading decimal number (after blanks), saturated to 32 bits.
uint32_t LeadingNumber(const char* text) {
  if (text == nullptr) return 0;
  while (*text == ' ' || *text == '\t') ++text;
  uint64_t value = 0;
  while (IsDigit(*text)) {
    value = value * 10 + static_cast<uint64_t>(*text - '0');
    if (value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    ++text;
  }
  return static_cast<uint32_t>(value);
}

// Byte offsets of the 28 field pointers in the record, in their order.
struct FieldOffsets {
  size_t at[kHitFieldCount] = {};
  FieldOffsets() {
    HitRecord probe{};
    const char* base = reinterpret_cast<const char*>(&probe);
    for (int i = 0; i < kHitFieldCount; ++i) {
      at[i] = static_cast<size_t>(reinterpret_cast<const char*>(HitFieldSlot(&probe, i)) - base);
    }
  }
};
const FieldOffsets kFieldOffsets;

}  // namespace

void RebaseFields(HitRecord* hit, const char* oldLine, uint32_t oldLength, char* newLine) {
  if (oldLine == nullptr) return;
  const uintptr_t lo = reinterpret_cast<uintptr_t>(oldLine);
  const uintptr_t to = reinterpret_cast<uintptr_t>(newLine);
  char* base = reinterpret_cast<char*>(hit);
  for (size_t offset : kFieldOffsets.at) {
    uintptr_t p;
    std::memcpy(&p, base + offset, sizeof p);
    // One unsigned comparison: a pointer below the line (null among them)
    // wraps around to a large distance.
    if (p - lo <= oldLength) {
      p = to + (p - lo);
      std::memcpy(base + offset, &p, sizeof p);
    }
  }
}

char* HitEmptyText() { return g_emptyText; }

char** HitFieldSlot(HitRecord* hit, int index) {
  if (index < 4) return &hit->ReservedText1[index];
  if (index >= 19) return &hit->ReservedText2[index - 19];
  return &(hit->*kFieldMembers[index]);
}

char* InitHitRecord(HitRecord* hit, const char* text, uint32_t length) {
  char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1 + kHitLineSlack));
  if (copy == nullptr) return nullptr;
  if (length > 0) std::memcpy(copy, text, length);
  std::memset(copy + length, 0, 1 + kHitLineSlack);
  hit->LineLength = length;
  hit->Line = copy;
  for (char*& p : hit->ReservedText1) p = g_emptyText;
  hit->Protocol = hit->URL = hit->ServerAddress = hit->UserName = hit->Referrer = hit->UserAgent = hit->Cookie =
      hit->StatusText = hit->BytesReceivedText = hit->BytesSentText = hit->Method = hit->ClientAddress =
          hit->DateText = hit->ServerName = g_emptyText;
  hit->ReservedPtr19 = nullptr;
  for (char*& p : hit->ReservedText2) p = g_emptyText;
  return copy;
}

bool CopyHitRecord(HitRecord* copy, const HitRecord* source) {
  std::memcpy(static_cast<void*>(copy), source, sizeof(HitRecord));
  if (source->Line == nullptr) return true;
  char* line = static_cast<char*>(std::malloc(static_cast<size_t>(source->LineLength) + 1 + kHitLineSlack));
  if (line == nullptr) {
    copy->Line = nullptr;
    copy->LineLength = 0;
    return false;
  }
  std::memcpy(line, source->Line, source->LineLength);
  std::memset(line + source->LineLength, 0, 1 + kHitLineSlack);
  copy->Line = line;
  RebaseFields(copy, source->Line, source->LineLength, line);
  return true;
}

HitRecord* DuplicateHitRecord(HitRecord* source, bool freeSource, bool freeSourceLine) {
  if (source == nullptr) return nullptr;
  auto* copy = static_cast<HitRecord*>(std::malloc(sizeof(HitRecord)));
  if (copy == nullptr) return nullptr;
  if (!CopyHitRecord(copy, source)) {
    std::free(copy);
    return nullptr;
  }
  if (freeSourceLine || freeSource) {
    std::free(source->Line);
    source->Line = nullptr;
    source->LineLength = 0;
  }
  if (freeSource) std::free(source);
  return copy;
}

HitRecord* TakeHitRecord(HitRecord* source) {
  if (source == nullptr) return nullptr;
  auto* copy = static_cast<HitRecord*>(std::malloc(sizeof(HitRecord)));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, source, sizeof(HitRecord));
  source->Line = nullptr;
  source->LineLength = 0;
  return copy;
}

char* ResizeHitLine(HitRecord* hit, char* oldLine, uint32_t newSize, bool freeOld) {
  if (hit == nullptr || newSize < hit->LineLength || newSize == 0xFFFFFFFFu) return nullptr;
  char* copy = static_cast<char*>(std::calloc(static_cast<size_t>(newSize) + 1 + kHitLineSlack, 1));
  if (copy == nullptr) return nullptr;
  if (oldLine != nullptr && hit->LineLength > 0) std::memcpy(copy, oldLine, hit->LineLength);
  RebaseFields(hit, oldLine, hit->LineLength, copy);
  hit->Line = copy;
  hit->LineLength = newSize;
  if (freeOld) std::free(oldLine);
  return copy;
}

void FreeHitLine(HitRecord* hit) {
  if (hit == nullptr) return;
  std::free(hit->Line);
  hit->Line = nullptr;
  hit->LineLength = 0;
}

void FreeHitRecord(HitRecord* hit) {
  if (hit == nullptr) return;
  std::free(hit->Line);
  std::free(hit);
}

bool IsVisitorId(const char* text) {
  if (text == nullptr) return false;
  // digits . digits . digits . digits - digits . digits
  static const char kSeparators[] = {'.', '.', '.', '-', '.', 0};
  const char* p = text;
  for (int group = 0; group < 6; ++group) {
    if (!IsDigit(*p)) return false;
    while (IsDigit(*p)) ++p;
    if (group < 5) {
      if (*p != kSeparators[group]) return false;
      ++p;
    }
  }
  return true;
}

void CompleteHitCookie(HitRecord* hit, bool enable, bool validate) {
  char* cookie = hit->Cookie;
  if (cookie == nullptr) return;
  if (cookie[0] == '-' && cookie[1] == 0) {
    hit->Cookie = g_emptyText;
    cookie = g_emptyText;
  }
  if (!enable) {
    hit->Cookie = g_emptyText;
    return;
  }
  if (!validate || cookie[0] == 0) return;
  char* eq = std::strchr(cookie, '=');
  if (eq == nullptr) {
    if (!IsVisitorId(cookie)) hit->Cookie = g_emptyText;
    return;
  }
  if (std::strchr(cookie, ';') == nullptr) {
    hit->Cookie = IsVisitorId(eq + 1) ? eq + 1 : nullptr;
    return;
  }
  // Split at every ";" and take the first part whose value is a visitor id.
  char* found = nullptr;
  char* part = cookie;
  while (part != nullptr) {
    char* semi = std::strchr(part, ';');
    if (semi != nullptr) *semi = 0;
    if (found == nullptr) {
      char* partEq = std::strchr(part, '=');
      if (partEq != nullptr && IsVisitorId(partEq + 1)) found = partEq + 1;
    }
    part = semi != nullptr ? semi + 1 : nullptr;
  }
  hit->Cookie = found;
}

void CompleteHitRecord(HitRecord* hit) {
  if (hit->Referrer != nullptr && hit->Referrer[0] == '-' && hit->Referrer[1] == 0) hit->Referrer = g_emptyText;
  CompleteHitCookie(hit, g_engine.cookieEnable != 0, g_engine.cookieEnable != 0 && g_engine.cookieValidate != 0);

  hit->StatusCode = LeadingNumber(hit->StatusText);
  const uint32_t status = hit->StatusCode;
  if (status >= 200 && status <= 399) {
    hit->Success = 1;
  } else if (status <= 99) {
    const char* protocol = hit->Protocol != nullptr ? hit->Protocol : "";
    hit->Success = (protocol[0] == 'F' || protocol[0] == 'f') && (protocol[1] == 'T' || protocol[1] == 't') &&
                           (protocol[2] == 'P' || protocol[2] == 'p')
                       ? 1
                       : 0;
  } else {
    hit->Success = 0;
  }

  const char* bytes = hit->MethodCode == kMethodPut ? hit->BytesReceivedText : hit->BytesSentText;
  hit->Bytes = (bytes == nullptr || bytes[0] == '-') ? 0 : LeadingNumber(bytes);

  hit->RecordSize = kHitRecordSize;
  hit->RecordKind = 0;
  hit->TimeCopy = hit->HitTime;
}

namespace {
// Characters of a numeric address: digits and ".".
struct NumericChars {
  bool in[256] = {};
  constexpr NumericChars() {
    for (int c = '0'; c <= '9'; ++c) in[c] = true;
    in[static_cast<unsigned char>('.')] = true;
  }
};
constexpr NumericChars kNumericChars;
}  // namespace

bool IsNumericAddress(const char* text) {
  if (text == nullptr) return true;
  while (kNumericChars.in[static_cast<unsigned char>(*text)]) ++text;
  return *text == 0;
}

bool IsValidHitTime(const struct tm& t) {
  // Negative fields are refused too: they would silently move the date into
  // a neighbouring month or day.
  return t.tm_mday >= 1 && t.tm_mday <= 31 && t.tm_mon >= 0 && t.tm_mon <= 11 && t.tm_year >= 93 &&
         t.tm_hour >= 0 && t.tm_hour <= 23 && t.tm_min >= 0 && t.tm_min <= 59 && t.tm_sec >= 0 && t.tm_sec <= 59;
}

// ---- hit times -----------------------------------------------------------

namespace {

// Logs hold long runs of lines of one day: keep the last day's base.
struct DayCache {
  int year = -1, mon = -1, mday = -1;
  int64_t base = 0;
};
DayCache g_dayCache;

// The zone offset of the last quarter hour converted. Modern zone offsets
// and their changes fall on UTC quarter hours, so the offset is constant
// within one.
struct ZoneCache {
  int64_t bucket = INT64_MIN;
  int64_t offset = 0;
};
ZoneCache g_zoneCache;

}  // namespace

int64_t HitWallClock(const struct tm& t) {
  int year = t.tm_year;
  if (year < 70) year += 100;
  int64_t base;
  if (year == g_dayCache.year && t.tm_mon == g_dayCache.mon && t.tm_mday == g_dayCache.mday) {
    base = g_dayCache.base;
  } else {
    struct tm day = {};
    day.tm_year = year;
    day.tm_mon = t.tm_mon;
    day.tm_mday = t.tm_mday;
    base = WallClockSeconds(day);
    g_dayCache.year = year;
    g_dayCache.mon = t.tm_mon;
    g_dayCache.mday = t.tm_mday;
    g_dayCache.base = base;
  }
  const int64_t seconds = base + static_cast<int64_t>(t.tm_hour) * 3600 + t.tm_min * 60 + t.tm_sec;
  if (seconds < 0 || seconds > kMaxHitTime) return -1;
  return seconds;
}

int64_t UtcToLocalWallClock(int64_t utcSeconds) {
  const int64_t bucket = utcSeconds >= 0 ? utcSeconds / 900 : (utcSeconds - 899) / 900;
  if (bucket != g_zoneCache.bucket) {
    const time_t instant = static_cast<time_t>(bucket * 900);
    struct tm local = {};
    if (localtime_r(&instant, &local) == nullptr) return -1;
    g_zoneCache.bucket = bucket;
    g_zoneCache.offset = local.tm_gmtoff;
  }
  const int64_t seconds = utcSeconds + g_zoneCache.offset;
  if (seconds < 0 || seconds > kMaxHitTime) return -1;
  return seconds;
}

void ResetHitTimeCache() {
  g_dayCache = DayCache();
  g_zoneCache = ZoneCache();
}

// ---- text helpers --------------------------------------------------------

int DashToEmpty(const char* text, char** out) {
  if (text[0] == '-' && text[1] == 0) {
    *out = g_emptyText;
    return 0;
  }
  const int r = std::strcmp(text, "-");
  return r != 0 ? r : 1;
}

void TrimTrailingBlanks(char* text, size_t n) {
  text[n] = 0;
  while (n > 0 && text[n - 1] == ' ') text[--n] = 0;
}

size_t SkipBlanks(const char* text, size_t n) {
  while (text[n + 1] == ' ') ++n;
  return n;
}

void CutLongURL(char* text) {
  if (text == nullptr || IsHitEmptyText(text)) return;
  const void* tail = std::memchr(text, 0, kMaxUrlLength + 1);
  if (tail != nullptr) return;  // 260 characters or fewer
  text[kMaxUrlLength] = 0;
  if (std::strchr(text, '?') != nullptr) std::memcpy(text + 256, "...", 4);
}

namespace {
inline int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

void DecodePercentEscapes(char* text) {
  if (text == nullptr) return;
  char* p = std::strchr(text, '%');
  if (p == nullptr) return;
  char* out = p;
  while (*p) {
    if (*p == '%') {
      const int hi = HexValue(p[1]);
      const int lo = hi >= 0 ? HexValue(p[2]) : -1;
      // "%00" stays as written: a decoded zero byte would end the text there.
      if (lo >= 0 && (hi | lo) != 0) {
        *out++ = static_cast<char>(hi * 16 + lo);
        p += 3;
        continue;
      }
    }
    *out++ = *p++;
  }
  *out = 0;
}

void CopyHitText(char* dst, size_t size, const char* src) {
  if (size == 0) return;
  const size_t n = src != nullptr ? strnlen(src, size - 1) : 0;
  if (n > 0) std::memcpy(dst, src, n);
  dst[n] = 0;
}

void SetClientHostTexts(HitRecord* hit) {
  hit->ClientHost[0] = 0;
  const char* address = hit->ClientAddress != nullptr ? hit->ClientAddress : "";
  const size_t length = strnlen(address, 60);
  if (length < 60) {
    std::memcpy(hit->ClientHost, address, length + 1);
  } else {
    const size_t length = std::strlen(address);
    // Keep the right-hand labels: walk the dots from the end and stop at the
    // first one from which the rest would be longer than 55 characters.
    const char* remembered = nullptr;
    for (size_t i = length; i-- > 0;) {
      if (address[i] != '.') continue;
      if (length - i > 55) {
        CopyHitText(hit->ClientHost, 60, remembered != nullptr ? remembered : address);
        break;
      }
      remembered = address + i;
    }
  }
  if (hit->ClientHost[0] == 0) {
    CopyHitText(hit->ClientHost, sizeof(hit->ClientHost), g_engine.unresolvedCountry.c_str());
  }
  CopyUnresolvedTexts(hit);
}

void CopyUnresolvedTexts(HitRecord* hit) {
  auto put = [](char* dst, size_t size, const std::string& text) {
    const size_t n = text.size() < size ? text.size() : size - 1;
    std::memcpy(dst, text.data(), n);
    dst[n] = 0;
  };
  put(hit->Domain, sizeof(hit->Domain), g_engine.unresolvedDomain);
  put(hit->AddressType, sizeof(hit->AddressType), g_engine.unresolvedAddressType);
  put(hit->Country, sizeof(hit->Country), g_engine.unresolvedCountry);
}

}  // namespace vrn
