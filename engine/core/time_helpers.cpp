// Time helpers of the engine: wall-clock arithmetic, broken-down times,
// the international date formatter, two-digit-year-safe conversions and the
// date macros of log paths.
//
// Wall-clock seconds (hit times) count a local date and time as if it were
// UTC. They are computed with plain calendar arithmetic; the process's
// time-zone state is never changed (other threads run beside the engine).
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/engine_state.h"
#include "platform/base/clock.h"

namespace vrn {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// The date of a day count (inverse of DaysFromCivil).
void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Month and weekday names. The engine's texts (strings 5628-5665) are
// copied once a resource module is there; until then, and for any text the
// module lacks, the English names stand in.
const char* const kEnglishShortMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kEnglishFullMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                            "July",    "August",   "September", "October", "November", "December"};
const char* const kEnglishShortDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kEnglishFullDays[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

struct NameTables {
  bool loaded = false;
  std::string shortMonths[12];
  std::string fullMonths[12];
  std::string shortDays[7];
  std::string fullDays[7];
};

NameTables g_names;

void FillNames(std::string* out, const char* const* english, int count, uint32_t firstId, bool fromTexts) {
  for (int i = 0; i < count; ++i) {
    const char* text = fromTexts ? LoadResString(firstId + static_cast<uint32_t>(i)) : nullptr;
    out[i] = (text != nullptr && !IsTextNotFound(text)) ? text : english[i];
  }
}

const NameTables& EngineNames() {
  if (!g_names.loaded) {
    const bool fromTexts = g_engine.resourceModule != nullptr;
    FillNames(g_names.shortMonths, kEnglishShortMonths, 12, 5628, fromTexts);
    FillNames(g_names.fullMonths, kEnglishFullMonths, 12, 5640, fromTexts);
    FillNames(g_names.shortDays, kEnglishShortDays, 7, 5652, fromTexts);
    FillNames(g_names.fullDays, kEnglishFullDays, 7, 5659, fromTexts);
    g_names.loaded = fromTexts;  // kept for the life of the library once read from texts
  }
  return g_names;
}

const char* Name(const char* const* names, int count, int index) {
  if (index < 0 || index >= count || names[index] == nullptr) return "";
  return names[index];
}

const char* Name(const std::string* names, int count, int index) {
  if (index < 0 || index >= count) return "";
  return names[index].c_str();
}

void AppendNumber(std::string& out, const char* format, long value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, format, value);
  out += buffer;
}

long YearOfCentury(const struct tm& t) {
  // Two digits for every century, 2106 included.
  const long year = t.tm_year % 100;
  return year < 0 ? year + 100 : year;
}

bool StartsWithNoCase(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (*text == '\0') return false;
    if (std::tolower(static_cast<unsigned char>(*text)) != std::tolower(static_cast<unsigned char>(*prefix))) {
      return false;
    }
  }
  return true;
}

bool StartsWithExact(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Moves a broken-down local time back by whole calendar days, keeping the
// time of day (so a 23- or 25-hour day neither skips nor repeats a date).
struct tm DaysBefore(const struct tm& t, int64_t days) {
  struct tm r = t;
  int64_t y;
  unsigned m, d;
  CivilFromDays(DaysFromCivil(t.tm_year + 1900LL, static_cast<unsigned>(t.tm_mon + 1),
                              static_cast<unsigned>(t.tm_mday)) - days,
                &y, &m, &d);
  r.tm_year = static_cast<int>(y - 1900);
  r.tm_mon = static_cast<int>(m) - 1;
  r.tm_mday = static_cast<int>(d);
  const int64_t dayNumber = DaysFromCivil(y, m, d);
  r.tm_wday = static_cast<int>(((dayNumber % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  r.tm_yday = static_cast<int>(dayNumber - DaysFromCivil(y, 1, 1));
  return r;
}

std::string FormatPart(const char* format, const struct tm& t) { return FormatIntlDateTime(format, t, nullptr); }

}  // namespace

bool IsTextNotFound(const char* text) { return text == nullptr || std::strcmp(text, kTextNotFound) == 0; }

// ---- numbers -----------------------------------------------------------------

int32_t ParseIntText(const char* text) {
  const long value = ParseLongText(text);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

long ParseLongText(const char* text) {
  if (text == nullptr) return 0;
  char copy[20];
  std::size_t n = 0;
  while (n < 19 && text[n] != '\0') {
    copy[n] = text[n];
    ++n;
  }
  copy[n] = '\0';
  return std::strtol(copy, nullptr, 10);
}

// ---- broken-down times ---------------------------------------------------

struct tm* GetLocalTimeOf(const time_t* t) {
  static struct tm shared;
  if (t == nullptr) return nullptr;
  const time_t copy = *t;
  if (!kv::LocalTime(copy, &shared)) return nullptr;
  return &shared;
}

struct tm* GetGmTimeOf(const time_t* t) {
  static struct tm shared;
  if (t == nullptr) return nullptr;
  const time_t copy = *t;
  if (!kv::UtcTime(copy, &shared)) return nullptr;
  return &shared;
}

int64_t WallClockSeconds(const struct tm& t) {
  const int64_t months = static_cast<int64_t>(t.tm_year) * 12 + t.tm_mon;
  const int64_t year = FloorDiv(months, 12) + 1900;
  const unsigned month = static_cast<unsigned>(months - FloorDiv(months, 12) * 12) + 1;
  const int64_t days = DaysFromCivil(year, month, 1) + t.tm_mday - 1;
  return days * 86400 + static_cast<int64_t>(t.tm_hour) * 3600 + static_cast<int64_t>(t.tm_min) * 60 + t.tm_sec;
}

// ---- the international date formatter -----------------------------------

std::string FormatIntlDateTime(const char* format, const struct tm& t, const IntlLocale* locale) {
  std::string out;
  if (format == nullptr) return out;
  const NameTables* names = locale == nullptr ? &EngineNames() : nullptr;
  const uint32_t order = locale != nullptr ? locale->dateOrder : g_engine.displayIDate;
  char dateSep[2] = {0, 0};
  char timeSep[2] = {0, 0};
  if (locale != nullptr) {
    dateSep[0] = locale->dateSeparator != nullptr ? locale->dateSeparator[0] : '\0';
    timeSep[0] = locale->timeSeparator != nullptr ? locale->timeSeparator[0] : '\0';
  } else {
    dateSep[0] = '/';
    timeSep[0] = ':';
  }
  auto shortDay = [&](int i) { return names ? Name(names->shortDays, 7, i) : Name(locale->shortWeekdays, 7, i); };
  auto fullDay = [&](int i) { return names ? Name(names->fullDays, 7, i) : Name(locale->fullWeekdays, 7, i); };
  auto shortMonth = [&](int i) { return names ? Name(names->shortMonths, 12, i) : Name(locale->shortMonths, 12, i); };
  auto fullMonth = [&](int i) { return names ? Name(names->fullMonths, 12, i) : Name(locale->fullMonths, 12, i); };

  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    const char c = p[1];
    if (c == '\0') break;  // a lone "%" at the end writes nothing
    ++p;
    switch (c) {
      case '%': out += '%'; break;
      case 'a': out += shortDay(t.tm_wday); break;
      case 'A': out += fullDay(t.tm_wday); break;
      case 'b': out += shortMonth(t.tm_mon); break;
      case 'B': out += fullMonth(t.tm_mon); break;
      case 'd': AppendNumber(out, "%02ld", t.tm_mday); break;
      case 'H': AppendNumber(out, "%02ld", t.tm_hour); break;
      case 'M': AppendNumber(out, "%02ld", t.tm_min); break;
      case 'S': AppendNumber(out, "%02ld", t.tm_sec); break;
      case 'j': AppendNumber(out, "%03ld", t.tm_yday + 1L); break;
      case 'm': AppendNumber(out, "%02ld", t.tm_mon + 1L); break;
      case 'p': out += t.tm_hour < 12 ? "am" : "pm"; break;
      case 'y': AppendNumber(out, "%02ld", YearOfCentury(t)); break;
      case 'Y': AppendNumber(out, "%04ld", t.tm_year + 1900L); break;
      case 'D': {
        long a = t.tm_mon + 1L, b = t.tm_mday, y = YearOfCentury(t);
        long first = a, second = b, third = y;
        if (order == 1) {
          first = b, second = a, third = y;
        } else if (order == 2) {
          first = y, second = a, third = b;
        }
        AppendNumber(out, "%02ld", first);
        out += dateSep;
        AppendNumber(out, "%02ld", second);
        out += dateSep;
        AppendNumber(out, "%02ld", third);
        break;
      }
      case 'T':
        AppendNumber(out, "%02ld", t.tm_hour);
        out += timeSep;
        AppendNumber(out, "%02ld", t.tm_min);
        out += timeSep;
        AppendNumber(out, "%02ld", t.tm_sec);
        break;
      default: break;  // unknown conversion: both characters are skipped
    }
  }
  return out;
}

int FormatIntlDateTime(char* out, size_t size, const char* format, const struct tm* t, const IntlLocale* locale) {
  if (out == nullptr || size == 0) return 0;
  if (t == nullptr || format == nullptr) {
    out[0] = '\0';
    return 0;
  }
  const std::string text = FormatIntlDateTime(format, *t, locale);
  const size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
  return static_cast<int>(n);
}

const char* ShortMonthName(int month) { return Name(EngineNames().shortMonths, 12, month); }

void ResetNameTables() { g_names = NameTables{}; }

// ---- log path expansion --------------------------------------------------

std::string NormalizeLogPath(const std::string& path, const std::string& base, time_t now) {
  std::string text;
  // 1. A leading "..\" or ".\" is taken against the base folder.
  if (path.size() >= 3 && path[0] == '.' && path[1] == '.' && (path[2] == '\\' || path[2] == '/')) {
    std::string folder = base;
    if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    const size_t cut = folder.find_last_of("\\/:");
    folder = cut == std::string::npos ? std::string() : folder.substr(0, cut + 1);
    text = folder + path.substr(3);
  } else if (path.size() >= 2 && path[0] == '.' && (path[1] == '\\' || path[1] == '/')) {
    text = base + path.substr(2);
  } else {
    text = path;
  }
  if (text.find('%') == std::string::npos) return text;

  // 2. Date macros.
  struct tm today{};
  if (!kv::LocalTime(now, &today)) return text;
  struct tm current = today;
  const struct tm yesterday = DaysBefore(today, 1);

  std::string out;
  out.reserve(text.size() + 16);
  const char* p = text.c_str();
  while (*p != '\0') {
    if (*p != '%') {
      out += *p++;
      continue;
    }
    // "%date-<n>%": nothing written; "now" moves back n calendar days for
    // the macros after it (a second one moves it back further).
    if (StartsWithNoCase(p, "%date-") && std::isdigit(static_cast<unsigned char>(p[6]))) {
      const char* q = p + 6;
      int64_t n = 0;
      while (std::isdigit(static_cast<unsigned char>(*q))) {
        if (n < 1000000) n = n * 10 + (*q - '0');
        ++q;
      }
      if (*q == '%') {
        current = DaysBefore(current, n);
        p = q + 1;
        continue;
      }
    }
    struct Macro {
      const char* name;
      bool exact;
      const char* format;
      bool ofYesterday;
      int letterCase;  // 0 as stored, 1 lower, 2 upper
    };
    static const Macro kMacros[] = {
        {"%hour%", false, "%H", false, 0},   {"%minute%", false, "%M", false, 0}, {"%second%", false, "%S", false, 0},
        {"%month%", false, "%m", false, 0},  {"%mm%", false, "%m", false, 0},     {"%Mon%", true, "%b", false, 0},
        {"%mon%", true, "%b", false, 1},     {"%MON%", true, "%b", false, 2},     {"%mon%", false, "%b", false, 0},
        {"%day%", false, "%d", false, 0},    {"%dd%", false, "%d", false, 0},     {"%year%", false, "%y", false, 0},
        {"%yy%", false, "%y", false, 0},     {"%yyyy%", false, "%Y", false, 0},   {"%ymonth%", false, "%m", true, 0},
        {"%yday%", false, "%d", true, 0},    {"%yyear%", false, "%y", true, 0},
    };
    const Macro* found = nullptr;
    for (const Macro& m : kMacros) {
      if (m.exact ? StartsWithExact(p, m.name) : StartsWithNoCase(p, m.name)) {
        found = &m;
        break;
      }
    }
    if (found == nullptr) {
      out += *p++;  // a "%" that starts no macro stays
      continue;
    }
    std::string value = FormatPart(found->format, found->ofYesterday ? yesterday : current);
    if (value.size() > 15) value.resize(15);
    for (char& ch : value) {
      if (found->letterCase == 1) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      if (found->letterCase == 2) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    out += value;
    p += std::strlen(found->name);
  }
  return out;
}

}  // namespace vrn

// ---- exports -------------------------------------------------------------

extern "C" KV_EXPORT char* NormalizeLogPath(char* path, const char* base) {
  if (path == nullptr) return path;
  const size_t given = std::strlen(path);
  const size_t capacity = given + 1 > VRN_PATH_SIZE ? given + 1 : VRN_PATH_SIZE;
  const std::string result = vrn::NormalizeLogPath(path, base != nullptr ? base : "", kv::Now());
  const size_t n = result.size() < capacity - 1 ? result.size() : capacity - 1;
  std::memcpy(path, result.data(), n);
  path[n] = '\0';
  return path;
}

extern "C" KV_EXPORT time_t Y2K_mktime(struct tm* t) {
  if (t == nullptr) return static_cast<time_t>(-1);
  if (t->tm_year < 70) t->tm_year += 100;
  return std::mktime(t);
}

extern "C" KV_EXPORT void Y2K_mktimeEx(uint16_t hour, uint16_t minute, uint16_t second, uint16_t month, uint16_t day,
                                      uint16_t year, uint32_t* out) {
  if (out == nullptr) return;
  struct tm t{};
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_mon = month;
  t.tm_mday = day;
  t.tm_year = year;
  if (t.tm_year < 70) t.tm_year += 100;
  const int64_t seconds = vrn::WallClockSeconds(t);
  // Outside the 32-bit range the conversion fails as the runtime's does: -1.
  *out = (seconds < 0 || seconds > static_cast<int64_t>(UINT32_MAX)) ? UINT32_MAX : static_cast<uint32_t>(seconds);
}
