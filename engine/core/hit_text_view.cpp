// The hit detail text view.
#include "engine/core/hit_text_view.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <string_view>

#include "engine/core/engine_state.h"
#include "engine/core/report_run.h"
#include "engine/core/view_buffer.h"
#include "platform/base/clock.h"
#include "platform/base/files.h"

namespace vrn {

namespace {

using sv = std::string_view;

// Buffer indexes travel as 16-bit words through the view file functions.
constexpr size_t kMaxViewBuffers = 0xFFFF;
constexpr int kMaxFieldWidth = 512;      // bound on a width or precision in a format

sv Text(const char* p) { return p != nullptr ? sv(p) : sv(); }

// Text of a fixed field, never past its width.
sv Field(const char* field, size_t width) { return sv(field, strnlen(field, width)); }

void Marker(std::string& out, char code) {
  out += '\x01';
  out += code;
}

std::string DateText(uint32_t seconds, uint32_t formatId, size_t limit) {
  time_t t = static_cast<time_t>(seconds);
  std::tm tm{};
  if (gmtime_r(&t, &tm) == nullptr) return std::string();
  char buffer[100];
  FormatIntlDateTime(buffer, limit + 1 < sizeof buffer ? limit + 1 : sizeof buffer, LoadResString(formatId), &tm,
                     nullptr);
  return buffer;
}

std::string DashLine(char c, uint32_t lineWidth) { return std::string(lineWidth < 77 ? lineWidth : 77, c); }

// Kind and variant names: 5506 + kind covers kinds 0..3 and 5510 + variant
// variants 0..9; anything else has no name (the two ranges touch, and ids
// past them belong to other texts).
std::string KindName(uint32_t kind) { return kind <= 3 ? LoadResString(5506 + kind) : ""; }
std::string VariantName(uint32_t variant) {
  return variant <= kMaxTextViewVariant ? LoadResString(5510 + variant) : "";
}

const char* StatusTextOf(uint32_t code) {
  switch (code) {
    case 400: return LoadResString(5581);
    case 401: return LoadResString(5582);
    case 402: return LoadResString(5583);
    case 403: return LoadResString(5584);
    case 404: return LoadResString(5585);
    case 500: return LoadResString(5586);
    case 501: return LoadResString(5587);
    case 502: return LoadResString(5588);
    case 503: return LoadResString(5589);
    default: return LoadResString(5590);
  }
}

void ResultText(std::string& out, const HitRecord* hit) {
  Marker(out, kMarkError);
  AppendChecked(out, "%s, %03ld - ", {LoadResString(5529), static_cast<long long>(hit->StatusCode)});
  out += StatusTextOf(hit->StatusCode);
}

void SizeText(std::string& out, const char* format, uint32_t bytes) {
  AppendChecked(out, format, {static_cast<long long>(bytes / 1024), static_cast<long long>((bytes % 1024) * 10 / 1024)});
}

const char* MethodKey(uint16_t code) {
  switch (code) {
    case 0: return "GET";
    case 1: return "PUT";
    case 2: return "POST";
    case 3: return "HEAD";
    default: return "Error, Unknown";
  }
}

const char* MethodTitle(uint16_t code) {
  switch (code) {
    case 0: return "Get";
    case 1: return "Put";
    case 2: return "Post";
    case 3: return "Head";
    default: return "Error";
  }
}

// The key of a hit for the variant; false when the variant has no key.
bool HitKey(uint32_t variant, const HitRecord* hit, std::string* key, uint32_t* emptyTitleId) {
  *emptyTitleId = 0;
  switch (variant) {
    case 1: *key = Field(hit->AddressType, sizeof hit->AddressType); *emptyTitleId = 5534; break;
    case 2: *key = Field(hit->Country, sizeof hit->Country); *emptyTitleId = 5535; break;
    case 3: *key = Text(hit->Protocol); *emptyTitleId = 5531; break;
    case 4: *key = MethodKey(hit->MethodCode); break;
    case 5: *key = DateText(hit->HitTime, 5669, 49); *emptyTitleId = 5537; break;
    case 6: *key = LoadResString(hit->Success == 0 ? 5529 : 5530); *emptyTitleId = 5538; break;
    case 8: *key = Field(hit->ClientHost, sizeof hit->ClientHost); *emptyTitleId = 5532; break;
    case 9: *key = Field(hit->Domain, sizeof hit->Domain); *emptyTitleId = 5533; break;
    default: return false;
  }
  if (key->size() > 259) key->resize(259);  // keys are kept with their NUL in 260 bytes
  return true;
}

void CopyField(char* field, size_t width, sv text) {
  size_t n = text.size() < width - 1 ? text.size() : width - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

// Compares a value, cut to the field's width, with the remembered one and
// remembers it. True when it differed.
bool Remember(char* field, size_t width, sv value) {
  if (value.size() > width - 1) value = value.substr(0, width - 1);
  if (Field(field, width) == value) return false;
  CopyField(field, width, value);
  return true;
}

void Label(std::string& out, const char* label) { AppendChecked(out, "%s\t", {label}); }

// A value cut to at most cap characters: a hit's text must fit its buffer
// whole, so over-long values are cut rather than the text.
sv Cut(sv value, size_t cap) { return value.size() > cap ? value.substr(0, cap) : value; }

// Kind 3: remembers the visit's values; true when any of them changed.
bool VisitChanged(ViewBuffer* b, const HitRecord* hit) {
  bool changed = false;
  changed |= Remember(b->visitHost, sizeof b->visitHost, Field(hit->ClientHost, sizeof hit->ClientHost));
  changed |= Remember(b->visitProtocol, sizeof b->visitProtocol, Text(hit->Protocol));
  changed |= Remember(b->visitUser, sizeof b->visitUser, Text(hit->UserName));
  changed |= Remember(b->visitBrowser, sizeof b->visitBrowser, Text(hit->UserAgent));
  changed |= Remember(b->visitDate, sizeof b->visitDate, DateText(hit->HitTime, 5669, 49));
  return changed;
}

// Kind 3: the visit block of the remembered values.
void VisitBlock(ReportHandle* run, ViewBuffer* b, const HitRecord* hit, std::string& out, uint32_t* lines,
                size_t cap) {
  auto line = [&](const char* label, sv value) {
    Label(out, label);
    Marker(out, kMarkValue);
    out += Cut(value, cap);
    out += "\r\n";
    ++*lines;
  };
  out += "\r\n";
  out += DashLine('-', run->lineWidth);
  out += "\r\n";
  *lines += 2;
  line("Address:", Field(b->visitHost, sizeof b->visitHost));
  sv server = Field(hit->Server, sizeof hit->Server);
  if (!server.empty()) line("Server:", server);
  if (b->visitUser[0] != '\0') line("Authenticated User:", Field(b->visitUser, sizeof b->visitUser));
  if (b->visitBrowser[0] != '\0') line("Browser:", Field(b->visitBrowser, sizeof b->visitBrowser));
  if (!Text(hit->Referrer).empty()) line("Referrer:", Text(hit->Referrer));
  line("Protocol:", Field(b->visitProtocol, sizeof b->visitProtocol));
  line("Date:", Field(b->visitDate, sizeof b->visitDate));
  out += DashLine('-', run->lineWidth);
  out += "\r\n";
  ++*lines;
}

void HitLine(ReportHandle* run, const HitRecord* hit, std::string& out, uint32_t* lines, size_t cap) {
  const uint32_t stops[4] = {9, 6, 12, 9};
  for (int i = 0; i < 4; ++i) run->columnStops[i] = stops[i];
  const size_t lineStart = out.size();
  std::string column;
  auto separate = [&](int previous) {
    out += column;
    out += column.size() < stops[previous] ? " \t" : "\t";
  };
  {
    time_t t = static_cast<time_t>(hit->HitTime);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[100];
    FormatIntlDateTime(buffer, sizeof buffer, " %T", &tm, nullptr);
    column = buffer;
  }
  separate(0);
  column.clear();
  Marker(column, kMarkValue);
  column += Cut(Text(hit->Method), cap);
  Marker(column, kMarkBold);
  separate(1);
  std::string result;
  if (hit->Success == 0) {
    ResultText(result, hit);
    if (result.size() > cap) result.resize(cap);
  }
  column.clear();
  separate(2);
  column.clear();
  SizeText(column, "%5ld.%1ldK", hit->Bytes);
  separate(3);

  sv url = Text(hit->URL);
  size_t cut = url.find_last_of("\\/:");
  sv dir = Cut(cut == sv::npos ? url : url.substr(0, cut + 1), cap);
  sv file = Cut(cut == sv::npos ? sv() : url.substr(cut + 1), cap < 40 ? cap : 40);
  const long long width = run->lineWidth;
  const long long before = static_cast<long long>(out.size() - lineStart);
  const long long room = width - before;
  while (before + static_cast<long long>(dir.size()) > width && room > 0) {
    sv window = dir.substr(0, static_cast<size_t>(room) < dir.size() ? static_cast<size_t>(room) : dir.size());
    size_t sep = window.find_last_of("\\/:");
    size_t chunk = (sep != sv::npos && sep > 4) ? sep + 1 : (room > 5 ? static_cast<size_t>(room - 5) : 0);
    if (chunk > dir.size()) chunk = dir.size();
    if (chunk == 0) break;
    out += dir.substr(0, chunk);
    out += "\r\n\t\t\t\t\t";
    ++*lines;
    dir.remove_prefix(chunk);
  }
  out += dir;
  Marker(out, kMarkFile);
  out += file;
  if (!result.empty()) {
    out += "\r\n\t\t";
    out += result;
    ++*lines;
  }
  out += "\r\n";
  ++*lines;
}

void DetailBlock(const HitRecord* hit, std::string& out, uint32_t* lines, size_t cap) {
  auto entry = [&](const char* label, sv value, size_t limit) {
    Label(out, label);
    out += Cut(value, limit);
    out += "\r\n";
    ++*lines;
  };
  std::string event;
  Marker(event, kMarkValue);
  event += Cut(Text(hit->Method), cap);
  entry("Event:", event, event.size());
  entry("Date:", DateText(hit->HitTime, 5670, 99), cap);
  entry("Address:", Field(hit->ClientHost, sizeof hit->ClientHost), cap);
  entry("Domain:", Field(hit->Domain, sizeof hit->Domain), cap);
  entry("Suffix:", Field(hit->AddressType, sizeof hit->AddressType), cap);
  entry("Country:", Field(hit->Country, sizeof hit->Country), cap);
  if (!Text(hit->Referrer).empty()) entry("Referrer:", Text(hit->Referrer), cap);
  if (!Text(hit->UserAgent).empty()) entry("Browser:", Text(hit->UserAgent), cap);
  entry("Protocol:", Text(hit->Protocol), cap);
  sv url = Text(hit->URL);
  size_t cut = url.rfind('/');
  if (cut == sv::npos) cut = url.rfind('\\');
  std::string file;
  if (cut == sv::npos) {
    file = Cut(url, cap);
  } else {
    file = Cut(url.substr(0, cut + 1), cap);
    Marker(file, kMarkFile);
    file += Cut(url.substr(cut + 1), cap);
  }
  Label(out, "File:");
  out += file;
  out += "\r\n";
  ++*lines;
  std::string size;
  SizeText(size, "%ld.%1ldK", hit->Bytes);
  entry("Size:", size, cap);
  if (!Text(hit->UserName).empty()) entry("User:", Text(hit->UserName), cap);
  sv server = Field(hit->Server, sizeof hit->Server);
  if (!server.empty()) entry("Server:", server, cap);
  if (hit->Success == 0) {
    std::string result;
    ResultText(result, hit);
    entry("Result:", result, cap);
  }
  out += "\r\n\r\n";
  *lines += 2;
}

// Copies text into a fixed buffer of capacity bytes (NUL included); returns
// the length copied.
uint32_t CopyOut(char* out, uint32_t capacity, const std::string& text) {
  if (out == nullptr || capacity == 0) return 0;
  uint32_t n = static_cast<uint32_t>(text.size() < capacity - 1 ? text.size() : capacity - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
  return n;
}

}  // namespace

void AppendChecked(std::string& out, const char* format, std::initializer_list<FormatArg> args) {
  if (format == nullptr) return;
  const FormatArg* next = args.begin();
  const char* p = format;
  while (*p != '\0') {
    if (*p != '%') {
      out += *p++;
      continue;
    }
    const char* start = p++;
    if (*p == '%') {
      out += '%';
      ++p;
      continue;
    }
    std::string spec = "%";
    while (*p != '\0' && std::strchr("-+ 0#", *p) != nullptr) spec += *p++;
    int width = 0, precision = -1;
    while (*p >= '0' && *p <= '9') width = width < 10000 ? width * 10 + (*p++ - '0') : (++p, width);
    if (*p == '.') {
      ++p;
      precision = 0;
      while (*p >= '0' && *p <= '9') precision = precision < 10000 ? precision * 10 + (*p++ - '0') : (++p, precision);
    }
    while (*p == 'l' || *p == 'h') ++p;
    const char conv = *p;
    if (conv == '\0') {
      out.append(start);
      break;
    }
    ++p;
    const bool numeric = std::strchr("diuxXc", conv) != nullptr;
    const bool text = conv == 's';
    if ((!numeric && !text) || next == args.end() || next->isText != text || width > kMaxFieldWidth ||
        precision > kMaxFieldWidth) {
      out.append(start, p);  // written as it stands
      if ((numeric || text) && next != args.end()) ++next;
      continue;
    }
    if (width > 0) spec += std::to_string(width);
    if (precision >= 0) spec += "." + std::to_string(precision);
    char buffer[kMaxFieldWidth + 64];
    if (text) {
      spec += 's';
      const char* s = next->text != nullptr ? next->text : "";
      size_t len = std::strlen(s);
      if (precision >= 0 && static_cast<size_t>(precision) < len) len = static_cast<size_t>(precision);
      size_t pad = static_cast<size_t>(width) > len ? static_cast<size_t>(width) - len : 0;
      bool left = spec.find('-') != std::string::npos;
      if (!left) out.append(pad, ' ');
      out.append(s, len);
      if (left) out.append(pad, ' ');
    } else if (conv == 'c') {
      spec += 'c';
      std::snprintf(buffer, sizeof buffer, spec.c_str(), static_cast<int>(static_cast<unsigned char>(next->number)));
      if (next->number == 0) out += '\0';  // snprintf stops at the NUL it writes
      else out += buffer;
    } else {
      spec += "ll";
      spec += conv;
      std::snprintf(buffer, sizeof buffer, spec.c_str(), next->number);
      out += buffer;
    }
    ++next;
  }
}

bool ChooseViewSeries(ReportHandle* run) {
  std::string folder(run->viewFolder);
  if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') folder += '/';
  std::set<uint32_t> used;
  for (const kv::FileInfo& f : kv::FindFiles((folder + "~*_*.TMP").c_str())) {
    unsigned series = 0;
    if (f.name.size() >= 5 && std::sscanf(f.name.c_str(), "~%3x_", &series) == 1) used.insert(series);
  }
  for (uint32_t s = 0; s < 4096; ++s) {
    if (used.count(s) == 0) {
      run->viewSeries = static_cast<uint16_t>(s);
      return true;
    }
  }
  return false;
}

int CreateViewBuffer(ReportHandle* run) {
  if (run == nullptr || run->viewCount < 0 || static_cast<size_t>(run->viewCount) >= kMaxViewBuffers) return -1;
  const uint32_t index = static_cast<uint32_t>(run->viewCount);
  if (index + 1 >= run->viewTableCapacity) {
    uint32_t capacity = run->viewTableCapacity == 0 ? 8 : run->viewTableCapacity * 2;
    void* grown = std::realloc(run->viewTable, capacity * sizeof(ViewBuffer*));
    if (grown == nullptr) return -1;
    run->viewTable = static_cast<ViewBuffer**>(grown);
    for (uint32_t i = run->viewTableCapacity; i < capacity; ++i) run->viewTable[i] = nullptr;
    run->viewTableCapacity = capacity;
  }
  auto* b = static_cast<ViewBuffer*>(std::calloc(1, sizeof(ViewBuffer)));
  if (b == nullptr) return -1;
  b->file = KV_INVALID_FILE;
  // Past 0xFFF the index takes a fourth digit.
  std::snprintf(b->fileName, sizeof b->fileName, "~%03X_%03X.TMP", run->viewSeries & 0xFFFu, index);
  const std::string path = ViewBufferPath(run, b);
  // Make room before this file counts as open.
  MakeRoomForViewFile(run);
  b->file = kv::FileOpen(path.c_str(), kv::kFileReadWrite, kv::FileDisposition::kCreateAlways);
  if (b->file == KV_INVALID_FILE) {
    std::free(b);
    return -1;
  }
  b->open = 1;
  b->inUse = 1;
  b->lastUse = kv::TickCount();
  run->viewTable[index] = b;
  run->viewCount = static_cast<int32_t>(index + 1);
  run->writingBuffer = static_cast<int32_t>(index);
  ++run->openViewFiles;
  return 0;
}

void FormatViewHeader(ReportHandle* run, uint32_t* length, char* text, uint32_t* lines) {
  std::string h;
  auto end = [&h]() { h += "\r\n"; };
  AppendChecked(h, LoadResString(5520), {1, kMarkFile, run->profileFile});
  end();
  AppendChecked(h, LoadResString(5521), {1, kMarkFile, run->firstLocation});
  end();
  end();
  auto pair = [&](uint32_t id, const std::string& value) {
    AppendChecked(h, LoadResString(id), {1, kMarkLabel, 1, kMarkValue, value.c_str()});
    end();
  };
  pair(5522, run->firstLocation);
  pair(5523, run->viewCaption);
  {
    time_t now = kv::Now();
    std::tm tm{};
    char buffer[100] = "";
    if (kv::LocalTime(now, &tm)) FormatIntlDateTime(buffer, sizeof buffer, LoadResString(5666), &tm, nullptr);
    pair(5524, buffer);
  }
  pair(5525, DateText(run->startTime, 5667, 99));
  pair(5526, DateText(run->endTime, 5668, 99));
  pair(5527, KindName(run->kind));
  pair(5528, VariantName(run->variant));
  h += DashLine('=', run->lineWidth);
  end();
  *lines = 11;
  *length = CopyOut(text, kViewTextSize, h);
}

uint16_t WriteViewHeader(ReportHandle* run) {
  ViewBuffer* b = GetViewBuffer(run, run != nullptr ? run->writingBuffer : -1);
  if (b == nullptr) return 0x8008;
  const auto index = static_cast<uint16_t>(run->writingBuffer);
  if (!SeekViewBuffer(run, index)) return 0x8008;
  if (b->headerWritten) return 0;
  b->headerWritten = 1;
  if (!run->headerComposed) {
    FormatViewHeader(run, &run->headerLength, run->headerText, &run->headerLines);
    run->headerComposed = 1;
  }
  b->lineCount += run->headerLines;
  if (!SeekViewBuffer(run, index)) return 0x8008;
  return WriteViewBuffer(run, index, run->headerText, static_cast<uint16_t>(run->headerLength)) ? 0 : 0x8008;
}

namespace {

// Makes the writing buffer the one of the hit's key (creating it and writing
// its header for a new key). False when the hit has no buffer to go to.
bool ChooseHitBuffer(ReportHandle* run, const HitRecord* hit) {
  std::string key;
  uint32_t emptyTitle = 0;
  if (!HitKey(run->variant, hit, &key, &emptyTitle)) return true;
  ViewBuffer* w = GetViewBuffer(run, run->writingBuffer);
  if (w != nullptr && w->keySet && Field(w->key, sizeof w->key) != key) {
    const int32_t found = FindViewBufferByKey(run, key);
    if (found >= 0) {
      run->writingBuffer = found;
    } else if (CreateViewBuffer(run) != 0 || WriteViewHeader(run) != 0) {
      return false;
    }
    w = GetViewBuffer(run, run->writingBuffer);
  }
  if (w != nullptr && !w->keySet) {
    w->keySet = 1;
    CopyField(w->key, sizeof w->key, key);
    w->keyLength = static_cast<uint32_t>(key.size() + 1);
    NoteViewBufferKey(run, key, run->writingBuffer);
    if (run->variant == 4) CopyField(w->title, sizeof w->title, MethodTitle(hit->MethodCode));
    else if (key.empty()) CopyField(w->title, sizeof w->title, LoadResString(emptyTitle));
    else CopyField(w->title, sizeof w->title, key);
  }
  return true;
}

// The hit's text, whole, in at most capacity - 1 bytes: when it does not fit,
// its values are cut shorter and shorter. Lines are counted as written.
void ComposeHitText(ReportHandle* run, const HitRecord* hit, uint32_t capacity, std::string& out, uint32_t* count) {
  ViewBuffer* w = run->kind == kReportKindVisits ? GetViewBuffer(run, run->writingBuffer) : nullptr;
  const bool visit = w != nullptr && VisitChanged(w, hit);
  for (size_t cap : {std::string::npos, size_t{1024}, size_t{256}, size_t{64}, size_t{16}}) {
    out.clear();
    *count = 0;
    if (run->kind == kReportKindVisits) {
      if (visit) VisitBlock(run, w, hit, out, count, cap);
      HitLine(run, hit, out, count, cap);
    } else if (run->kind == kReportKindDetail) {
      DetailBlock(hit, out, count, cap);
    }
    if (out.size() < capacity) return;
  }
  // Still too long for a very small buffer: keep the whole lines that fit.
  const size_t end = capacity >= 2 ? out.rfind("\r\n", capacity - 2) : std::string::npos;
  out.resize(end == std::string::npos ? 0 : end + 2);
  *count = 0;
  for (size_t at = 0; (at = out.find("\r\n", at)) != std::string::npos; at += 2) ++*count;
}

// FormatHitText's work; false when the hit has no view buffer to go to.
bool FormatHit(ReportHandle* run, HitRecord* hit, uint32_t* length, char* text, uint32_t* lines) {
  uint32_t capacity = length != nullptr ? *length : 0;
  if (capacity > kViewTextSize) capacity = kViewTextSize;
  if (length != nullptr) *length = 0;
  if (lines != nullptr) *lines = 0;
  if (text != nullptr && capacity > 0) text[0] = '\0';
  if (run == nullptr || hit == nullptr) return true;
  if (!ChooseHitBuffer(run, hit)) return false;  // no buffer for this hit: it produces no text
  std::string out;
  uint32_t count = 0;
  ComposeHitText(run, hit, capacity, out, &count);
  uint32_t n = CopyOut(text, capacity, out);
  if (length != nullptr) *length = n;
  if (lines != nullptr) *lines = count;
  return true;
}

}  // namespace

void FormatHitText(ReportHandle* run, HitRecord* hit, uint32_t* length, char* text, uint32_t* lines) {
  FormatHit(run, hit, length, text, lines);
}

int WriteHitToView(ReportHandle* run, HitRecord* hit) {
  if (run == nullptr || hit == nullptr) return 0;
  uint32_t length = kViewTextSize, lines = 0;
  if (!FormatHit(run, hit, &length, run->hitText, &lines)) {
    // The hit has nowhere to go: the run stops rather than lose it unseen.
    DisplayReportError(("The hit listing could not open another view (" + std::to_string(run->viewCount) +
                        " views so far); the listing stops here.").c_str());
    return 0;
  }
  ViewBuffer* w = GetViewBuffer(run, run->writingBuffer);
  if (w == nullptr) return 0;
  const auto index = static_cast<uint16_t>(run->writingBuffer);
  if (length != 0 && AppendViewText(run, index, run->hitText, static_cast<uint16_t>(length)) == 0) return 0;
  w->lineCount += lines;  // only lines that are in the file
  return 1;
}

}  // namespace vrn
