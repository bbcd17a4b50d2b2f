// The W3C extended log format: the column table and the data line parser.
#include "engine/core/w3c_format.h"

#include <cstdlib>
#include <cstring>

#include "engine/core/engine_state.h"
#include "engine/core/log_reader.h"

namespace vrn {

namespace {

W3CColumnTable g_columns = [] {
  W3CColumnTable t{};
  std::memset(t.slots, kW3CNoColumn, sizeof(t.slots));
  return t;
}();

struct KnownColumn {
  const char* name;
  int8_t code;
};
const KnownColumn kKnownColumns[] = {
    {"date", kW3CDate},           {"cs-method", kW3CMethod},       {"c-ip", kW3CClientIp},
    {"cs-uri-stem", kW3CUriStem}, {"cs-uri-query", kW3CUriQuery},  {"sc-bytes", kW3CBytesSent},
    {"cs-bytes", kW3CBytesReceived}, {"sc-status", kW3CStatus},    {"s-ip", kW3CServerIp},
    {"cs-username", kW3CUserName}, {"cs(Referer)", kW3CReferrer},  {"cs(User-Agent)", kW3CUserAgent},
    {"cs(Cookie)", kW3CCookie},   {"time", kW3CTime},
};

char kTextHttp10[] = "HTTP/1.0";
char kTextFtp[] = "FTP";

inline bool IsEnd(char c) { return c == 0 || c == '\r' || c == '\n'; }

// Code of column i: slots beyond the table's 42 are columns of no known name.
inline int ColumnCode(int i) { return i < kW3CMaxColumns ? static_cast<int>(g_columns.slots[i]) : static_cast<int>(kW3CUnknownColumn); }

// Drops the opening quote, turns doubled quotes into one and ends the text at
// the first single quote; all within the field.
void UnquoteW3CField(char* field) {
  char* in = field + 1;
  char* out = field;
  while (*in) {
    if (*in == '"') {
      if (in[1] == '"') {
        *out++ = '"';
        in += 2;
        continue;
      }
      break;
    }
    *out++ = *in++;
  }
  *out = 0;
}

void TakeW3CField(char* field, char** out) {
  if (field[0] == '"') UnquoteW3CField(field);
  *out = field;
  DashToEmpty(field, out);
}

// "year-month-day".
bool ParseW3CDate(const char* text, struct tm* t) {
  const char* p = text;
  char* stop = nullptr;
  const long year = std::strtol(p, &stop, 10);
  if (stop == p || *stop != '-') return false;
  p = stop + 1;
  const long month = std::strtol(p, &stop, 10);
  if (stop == p || *stop != '-') return false;
  p = stop + 1;
  const long day = std::strtol(p, &stop, 10);
  if (stop == p) return false;
  if (year < 0 || year > 100000 || month < -100 || month > 100 || day < -100 || day > 100) return false;
  t->tm_year = static_cast<int>(year) - 1900;
  t->tm_mon = static_cast<int>(month) - 1;
  t->tm_mday = static_cast<int>(day);
  return true;
}

// "hour:minute:second" or "hour:minute".
bool ParseW3CTime(const char* text, struct tm* t) {
  const char* p = text;
  char* stop = nullptr;
  const long hour = std::strtol(p, &stop, 10);
  if (stop == p || *stop != ':') return false;
  p = stop + 1;
  const long minute = std::strtol(p, &stop, 10);
  if (stop == p) return false;
  long second = 0;
  if (*stop == ':') {
    p = stop + 1;
    second = std::strtol(p, &stop, 10);
  }
  if (hour < -1 || hour > 100 || minute < -1 || minute > 100 || second < -1 || second > 100) return false;
  t->tm_hour = static_cast<int>(hour);
  t->tm_min = static_cast<int>(minute);
  t->tm_sec = static_cast<int>(second);
  return true;
}

}  // namespace

const W3CColumnTable& W3CColumns() { return g_columns; }

void ResetW3CColumns() {
  std::memset(g_columns.slots, kW3CNoColumn, sizeof(g_columns.slots));
  g_columns.count = 0;
  g_columns.hasDate = false;
  g_columns.hasTime = false;
  g_columns.warned = false;
}

bool W3CColumnsUsable() { return g_columns.slots[0] != kW3CNoColumn; }

void SetW3CColumns(const W3CColumnTable& table) { g_columns = table; }

bool BuildW3CColumns(const char* text, uint32_t start, uint32_t end, W3CColumnTable* table) {
  std::memset(table->slots, kW3CNoColumn, sizeof(table->slots));
  table->count = 0;
  table->hasDate = false;
  table->hasTime = false;
  table->warned = false;
  uint32_t i = start;
  while (i < end && (text[i] == ' ' || text[i] == '\t')) ++i;
  while (i < end && !IsEnd(text[i])) {
    const uint32_t s = i;
    while (i < end && !IsEnd(text[i]) && text[i] != ' ' && text[i] != '\t') ++i;
    const size_t n = i - s;
    int8_t code = kW3CUnknownColumn;
    for (const KnownColumn& k : kKnownColumns) {
      if (std::strlen(k.name) == n && std::memcmp(k.name, text + s, n) == 0) {
        code = k.code;
        break;
      }
    }
    if (code == kW3CDate) table->hasDate = true;
    if (code == kW3CTime) table->hasTime = true;
    // Names beyond the table's slots count as columns of no known name.
    if (table->count < kW3CMaxColumns) table->slots[table->count] = code;
    ++table->count;
    while (i < end && (text[i] == ' ' || text[i] == '\t')) ++i;
  }
  if (table->count > 0 && table->hasDate && table->hasTime) return true;
  table->warned = true;
  table->slots[0] = kW3CNoColumn;
  return false;
}

int ParseW3CFieldsLine(const char* text, uint32_t start, uint32_t end) {
  if (BuildW3CColumns(text, start, end, &g_columns)) return 1;
  if (glpfnDisplayReportError != nullptr) glpfnDisplayReportError(0, nullptr, nullptr, 5739, 5738, 0);
  return 0;
}

int ReadW3CFieldsHeader(LogSourceHandle source, int* found) {
  int dummy = 0;
  if (found == nullptr) found = &dummy;
  *found = 0;
  char buffer[4097];
  SeekLogSource(source, 0, 0);
  uint32_t got = 0;
  if (!ReadLogSource(source, buffer, 4096, &got)) got = 0;
  SeekLogSource(source, 0, 0);
  if (got > 4096) got = 4096;
  buffer[got] = 0;
  static const char kDirective[] = "#Fields:";
  const uint32_t k = sizeof(kDirective) - 1;
  // A directive counts only at the start of a line among the directive
  // lines that lead the file: the text of a record (a referrer, a browser
  // text) never sets the columns.
  // A byte-order mark may lead the file.
  uint32_t i = got >= 3 && std::memcmp(buffer, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
  while (i < got) {
    if (buffer[i] == '\r' || buffer[i] == '\n') {
      ++i;
      continue;
    }
    if (buffer[i] != '#') break;  // the first record: no directive leads the file
    if (i + k <= got && std::memcmp(buffer + i, kDirective, k) == 0) {
      // A directive cut off by the end of what was read is left to the
      // reader, which meets it whole in passing; its cut names would refuse
      // a good log.
      bool whole = false;
      for (uint32_t j = i + k; j < got && !whole; ++j) whole = buffer[j] == '\r' || buffer[j] == '\n';
      if (!whole && GetLogSourceSize(source) > got) return 1;
      *found = 1;
      return ParseW3CFieldsLine(buffer, i + k, got);
    }
    while (i < got && buffer[i] != '\r' && buffer[i] != '\n') ++i;
  }
  return 1;
}

uint32_t ParseW3CLine(char* line, HitRecord* hit, uint32_t length, bool* reject, bool* windowFlag) {
  *reject = true;
  // 1. Directives.
  if (line[0] == '#') {
    if (std::strncmp(line, "#Fields:", 8) == 0) ParseW3CFieldsLine(line, 8, length);
    return 0;
  }
  if (!W3CColumnsUsable()) return 0;

  // 2. Room for the URL behind the line: the composed URL is cut to 260
  // characters, so this always suffices.
  if (ResizeHitLine(hit, line, length + 64 + 272, true) == nullptr) return 0;
  line = hit->Line;

  // 3. Fields.
  char date[20] = {0};
  char time[20] = {0};
  char stem[300] = {0};
  char query[300] = {0};
  bool seen[14] = {};
  int column = 0;
  char* p = line;
  char* lastEnd = line;
  bool more = !IsEnd(*p);
  while (more) {
    char* field = p;
    bool quoted = false;
    while (!IsEnd(*p)) {
      if (*p == '"') {
        if (!quoted) {
          quoted = true;
        } else if (p[1] == '"') {
          ++p;
        } else {
          quoted = false;
        }
      } else if (!quoted && (*p == ' ' || *p == '\t')) {
        break;
      }
      ++p;
    }
    more = !IsEnd(*p);
    *p = 0;
    lastEnd = p;
    if (column >= g_columns.count) return 0;
    const int code = ColumnCode(column);
    switch (code) {
      case kW3CMethod: TakeW3CField(field, &hit->Method); break;
      case kW3CClientIp: TakeW3CField(field, &hit->ClientAddress); break;
      case kW3CBytesSent: TakeW3CField(field, &hit->BytesSentText); break;
      case kW3CBytesReceived: TakeW3CField(field, &hit->BytesReceivedText); break;
      case kW3CStatus: TakeW3CField(field, &hit->StatusText); break;
      case kW3CServerIp: TakeW3CField(field, &hit->ServerAddress); break;
      case kW3CUserName: TakeW3CField(field, &hit->UserName); break;
      case kW3CReferrer: TakeW3CField(field, &hit->Referrer); break;
      case kW3CUserAgent:
        TakeW3CField(field, &hit->UserAgent);
        for (char* s = hit->UserAgent; *s; ++s) {
          if (*s == '+') *s = ' ';
        }
        break;
      case kW3CCookie: TakeW3CField(field, &hit->Cookie); break;
      case kW3CDate: CopyHitText(date, sizeof(date), field); break;
      case kW3CTime: CopyHitText(time, sizeof(time), field); break;
      case kW3CUriStem: CopyHitText(stem, sizeof(stem), field); break;
      case kW3CUriQuery: CopyHitText(query, sizeof(query), field); break;
      case kW3CUnknownColumn: break;
      default: return 0;
    }
    if (column < 14) seen[column] = true;
    ++column;
    if (more) ++p;
  }

  // 4. URL from stem and query.
  if (stem[0] == '-' && stem[1] == 0) stem[0] = 0;
  if (query[0] == '-' && query[1] == 0) query[0] = 0;
  if (stem[0] != 0) {
    char url[604];
    CopyHitText(url, sizeof(url), stem);
    if (query[0] != 0) {
      const size_t n = std::strlen(url);
      url[n] = '?';
      CopyHitText(url + n + 1, sizeof(url) - n - 1, query);
    }
    CutLongURL(url);
    DecodePercentEscapes(url);
    char* out = lastEnd + 2;
    const size_t n = std::strlen(url);
    if (out + n + 2 <= line + hit->LineLength) {
      std::memcpy(out, url, n + 1);
      hit->URL = out;
      hit->Protocol = out + n + 1;  // an empty text right behind it
      out[n + 1] = 0;
    }
  }

  // 5. Every one of the first 14 columns must have been given.
  const int first = g_columns.count < 14 ? g_columns.count : 14;
  for (int i = 0; i < first; ++i) {
    const int code = ColumnCode(i);
    if (code != kW3CNoColumn && code != -2 && !seen[i]) return 0;
  }

  // 6, 7. Date and time, written in UTC.
  struct tm t = {};
  if (!ParseW3CDate(date, &t) || !ParseW3CTime(time, &t)) return 0;
  if (!IsValidHitTime(t)) return 0;
  const int64_t wall = HitWallClock(t);
  if (wall < 0) return 0;
  const int64_t local = UtcToLocalWallClock(wall);
  if (local < 0) return 0;
  hit->HitTime = static_cast<uint32_t>(local);

  // 8, 9. Method and protocol.
  const int kind = MapFTPMethod(hit);
  if (kind == 0) {
    *windowFlag = true;
    CountSkippedLine();  // an operation that is no known method
    return 0;
  }
  hit->Protocol = kind == 1 ? kTextFtp : kTextHttp10;
  if (!SetMethodCode(hit)) {
    CountSkippedLine();
    return 0;
  }

  // 10.
  SetClientHostTexts(hit);
  CompleteHitRecord(hit);
  *reject = false;
  return 0;
}

}  // namespace vrn
