// The report writer and its two entry points (see report_driver.h).
#include "engine/reports/report_driver.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <vornic/profile.h>
#include <vornic/settings.h>
#include <vornic/summary.h>

#include "engine/core/engine_state.h"
#include "engine/core/report_run.h"
#include "engine/core/report_settings.h"
#include "engine/core/zip_extract.h"
#include "engine/database/analysis_context.h"
#include "engine/database/finishing.h"
#include "engine/database/realtime_update.h"
#include "engine/reports/realtime_names.h"
#include "engine/reports/report_paths.h"
#include "engine/reports/report_tables.h"
#include "engine/reports/template_pipeline.h"
#include "engine/reports/template_variables.h"
#include "platform/base/files.h"
#include "platform/base/ini.h"
#include "platform/base/memory.h"
#include "platform/base/strutil.h"

namespace vrn {

using kv::AsciiLower;
using kv::IEquals;
using kv::ToAsciiLower;

namespace {

// The file callback of the realtime report in progress: the realtime side's
// status texts reach the client through it.
ReportFileCallback g_realtimeFileCallback = nullptr;

void RealtimeStatus(const char* text) {
  if (g_realtimeFileCallback != nullptr) g_realtimeFileCallback(0, text != nullptr ? text : "", 0);
}
ReportStyle g_style;

// Copies at most size - 1 characters of text and a zero byte.
void CopyBounded(char* out, size_t size, const std::string& text) {
  if (size == 0) return;
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(out, text.data(), n);
  out[n] = 0;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The folder part of a path: up to and including its last separator ("" when
// it has none).
std::string FolderOf(const std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string FileNameOf(const std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// Joins a folder and a relative name with one separator between them.
std::string JoinPath(const std::string& folder, const char* name) {
  if (folder.empty() || IsSeparator(folder.back())) return folder + name;
  return folder + "/" + name;
}

// The simple beep of a picture that could not be copied. There is no sound
// device to ring; the failure is in the summary error text already.
void SimpleBeep() {}

void Announce(ReportFileCallback callback, const std::string& path, int32_t flag) {
  if (callback != nullptr) callback(1, path.c_str(), flag);
}

// Writes the whole buffer; false on a short write.
bool WriteAll(KvFile file, const char* data, size_t size) {
  if (size == 0) return true;
  uint32_t done = 0;
  return kv::FileWrite(file, data, static_cast<uint32_t>(size), &done) && done == size;
}

// The contents page of a frame report: one link per report page, and one
// for every named anchor of the page, all aimed at the target frame, in the
// colours and font of the style.
void GenerateTocHtml(const std::vector<std::string>& pages, const char* target, const char* styleName,
                     const std::string& styleIni, const std::string& contentsPath) {
  const std::string section = styleName != nullptr ? styleName : "";
  const std::string background = kv::IniString(section.c_str(), "Page Background Color", "FFFFFF", styleIni.c_str());
  const std::string text = kv::IniString(section.c_str(), "Page Text Color", "000000", styleIni.c_str());
  const std::string font = kv::IniString(section.c_str(), "Standard Font", "Arial", styleIni.c_str());
  std::string html = "<HTML>\r\n<HEAD>\r\n<TITLE>Contents</TITLE>\r\n</HEAD>\r\n<BODY BGCOLOR=\"#" +
                     background.substr(0, 6) + "\" TEXT=\"#" + text.substr(0, 6) + "\">\r\n<FONT FACE=\"" + font +
                     "\">\r\n";
  for (const std::string& page : pages) {
    const std::string name = FileNameOf(page);
    html += "<A HREF=\"" + name + "\" TARGET=\"" + target + "\">" + name + "</A><BR>\r\n";
    // Named anchors of the page become entries below it.
    KvFile file = kv::FileOpen(page.c_str(), kv::kFileRead, kv::FileDisposition::kOpenExisting);
    if (file == KV_INVALID_FILE) continue;
    std::string body;
    char chunk[8192];
    uint32_t got = 0;
    while (body.size() < (8u << 20) && kv::FileRead(file, chunk, sizeof chunk, &got) && got > 0) body.append(chunk, got);
    kv::FileClose(file);
    const std::string lower = ToAsciiLower(body);
    size_t at = 0;
    while ((at = lower.find("<a name=", at)) != std::string::npos) {
      at += 8;
      size_t start = at;
      if (start < body.size() && body[start] == '"') ++start;
      size_t end = start;
      while (end < body.size() && body[end] != '"' && body[end] != '>' && body[end] != ' ') ++end;
      const std::string anchor = body.substr(start, std::min<size_t>(end - start, 200));
      if (anchor.empty()) continue;
      bool plain = true;
      for (char c : anchor) {
        if (c == '<' || c == '&') plain = false;
      }
      if (!plain) continue;
      html += "&nbsp;&nbsp;<A HREF=\"" + name + "#" + anchor + "\" TARGET=\"" + target + "\">" + anchor +
              "</A><BR>\r\n";
    }
  }
  html += "</FONT>\r\n</BODY>\r\n</HTML>\r\n";
  KvFile out = kv::FileOpen(contentsPath.c_str(), kv::kFileWrite, kv::FileDisposition::kCreateAlways);
  if (out == KV_INVALID_FILE) return;
  WriteAll(out, html.data(), html.size());
  kv::FileClose(out);
}

// The callbacks of a report: the given percent callback, no progress
// callback, the registered yield callback suspended.
void InstallReportCallbacks(VrnPercentCallback percent) {
  g_engine.percentCallback = percent;
  g_engine.progressCallback = nullptr;
  g_engine.yieldCallback = nullptr;
}

void RestoreReportCallbacks() {
  g_engine.percentCallback = nullptr;
  g_engine.progressCallback = nullptr;
  g_engine.yieldCallback = g_engine.savedYieldCallback;
}

ReportHandle* LockReportHandle(uint32_t handle) {
  if (handle == 0 || kv::GlobalSize(handle) != sizeof(ReportHandle)) return nullptr;
  return static_cast<ReportHandle*>(kv::GlobalLock(handle));
}

// Loads the report vocabulary again; on success the old one is handed back
// through *old (the caller frees or keeps it), on failure the new one is
// freed and the old one stays.
bool ReloadReportOptions(ReportHandle* run, AnalysisContext* context, ReportOptions** old) {
  *old = nullptr;
  ReportOptions* fresh = nullptr;
  if (!LoadReportSettings(run, &fresh)) {
    FreeReportOptions(fresh);
    return false;
  }
  *old = context->options;
  context->options = fresh;
  return true;
}

// ---- the walk ------------------------------------------------------------------

// The report file as the walk writes it. The walk moves back over output it
// has written (a dropped line, a removed column, section or chapter) and ends
// the file there; those moves act on the bytes held in memory as long as they
// are not yet written, so that the file sees few large writes instead of one
// per piece of text and one seek per move. The file's content is always what
// the same writes, moves and ends made directly on the file would leave:
// bytes past the position stay until written over or cut, a cut past the end
// fills with zeros.
class ReportOutput {
 public:
  explicit ReportOutput(KvFile file) : file_(file) {}

  int64_t Position() const { return position_; }
  void MoveTo(int64_t position) { position_ = std::max<int64_t>(0, position); }

  // Writes at the position and moves past the text. false when the file
  // refused bytes held before (the report cannot be completed).
  bool Write(const char* data, size_t size) {
    if (size == 0) return !failed_;
    const int64_t held = base_ + static_cast<int64_t>(held_.size());
    if (position_ < base_ || position_ > held) {
      if (position_ > held && held >= fileSize_) {
        held_.resize(static_cast<size_t>(position_ - base_), '\0');  // a gap past the end reads as zeros
      } else {
        if (!Flush()) return false;
        if (position_ > fileSize_) {
          base_ = fileSize_;
          held_.assign(static_cast<size_t>(position_ - fileSize_), '\0');
        } else {
          base_ = position_;
        }
      }
    }
    const size_t at = static_cast<size_t>(position_ - base_);
    if (at + size > held_.size()) held_.resize(at + size);
    std::memcpy(held_.data() + at, data, size);
    position_ += static_cast<int64_t>(size);
    return held_.size() < kReportOutputChunk || Flush();
  }

  // Ends the report at the position.
  void EndHere() {
    const int64_t held = base_ + static_cast<int64_t>(held_.size());
    const int64_t end = std::max(fileSize_, held);
    if (position_ > end) {
      // Past the end: the report grows by zeros, in the held bytes when they
      // end it, else by the file's new length.
      if (held >= fileSize_) {
        held_.resize(static_cast<size_t>(position_ - base_), '\0');
      } else {
        fileSize_ = position_;
        resize_ = true;
      }
      return;
    }
    if (position_ < base_) {
      held_.clear();
      base_ = position_;
    } else if (position_ < held) {
      held_.resize(static_cast<size_t>(position_ - base_));
    }
    if (fileSize_ > position_) {
      fileSize_ = position_;
      resize_ = true;
    }
  }

  // Writes the held bytes to the file. false (for good) on a failure.
  bool Flush() {
    if (failed_) return false;
    if (resize_) {
      if (kv::FileSeek(file_, fileSize_, kv::kSeekBegin) < 0 || !kv::FileSetEnd(file_)) return Fail();
      filePosition_ = fileSize_;
      resize_ = false;
    }
    if (!held_.empty()) {
      if (filePosition_ != base_ && kv::FileSeek(file_, base_, kv::kSeekBegin) < 0) return Fail();
      filePosition_ = base_;
      if (!WriteAll(file_, held_.data(), held_.size())) return Fail();
      base_ += static_cast<int64_t>(held_.size());
      filePosition_ = base_;
      fileSize_ = std::max(fileSize_, base_);
      held_.clear();
    }
    return true;
  }

 private:
  bool Fail() {
    failed_ = true;
    return false;
  }

  KvFile file_;
  std::string held_;         // bytes from base_ on, not yet in the file
  int64_t base_ = 0;         // file offset of held_[0]; never past fileSize_
  int64_t fileSize_ = 0;     // length of the file (once resize_ is carried out)
  int64_t filePosition_ = 0; // the file's own offset
  int64_t position_ = 0;     // where the next write goes
  bool resize_ = false;      // the file's length is to become fileSize_
  bool failed_ = false;
};

struct Walk {
  std::string_view templ;
  ReportOutput* out = nullptr;
  ReportHandle* run = nullptr;
  AnalysisContext* context = nullptr;
  ReportFileCallback callback = nullptr;
  std::vector<char> value;  // the value of the token being resolved
  int64_t lineBytes = 0;
  uint32_t controlFlag = 0;
  int64_t lineMark = 0;
  int64_t columnMark = 0;
  int64_t chapterMark = 0;
};

// Moves the output back over the current line's bytes.
void TakeBackLine(Walk& w) {
  w.out->MoveTo(std::max<int64_t>(0, w.out->Position() - w.lineBytes));
  w.lineBytes = 0;
}

void CutTo(Walk& w, int64_t mark) {
  w.out->MoveTo(mark);
  w.out->EndHere();
}

void ActOnMarker(Walk& w, uint16_t marker) {
  switch (marker) {
    case kMarkerBookMark:
    case kMarkerBookMarkChapter:
      TakeBackLine(w);
      (marker == kMarkerBookMark ? w.lineMark : w.chapterMark) = w.out->Position();
      return;
    case kMarkerRemove:
    case kMarkerRemoveChapter:
      TakeBackLine(w);
      CutTo(w, marker == kMarkerRemove ? w.lineMark : w.chapterMark);
      return;
    case kMarkerBookMarkColumn:
      w.columnMark = w.out->Position();
      w.controlFlag = 0;
      return;
    case kMarkerRemoveColumn: {
      const int64_t position = w.out->Position();
      // What the cut takes away no longer belongs to the line.
      if (position > w.columnMark) w.lineBytes = std::max<int64_t>(0, w.lineBytes - (position - w.columnMark));
      w.controlFlag = 0;
      CutTo(w, w.columnMark);
      return;
    }
    default:
      TakeBackLine(w);
      return;
  }
}

// Resolves one token into w.value and writes it: the bytes written, 0 for a
// control value (w.controlFlag 1, *marker its code), 0xFFFF on a failure.
uint16_t WriteToken(Walk& w, const char* name, uint16_t* marker) {
  char* value = w.value.data();
  value[0] = 0;
  uint32_t flag = w.controlFlag;
  ResolveTemplateVariable(w.run, w.context, name, value, w.value.size(), &flag, w.callback);
  value[w.value.size() - 1] = 0;
  w.controlFlag = flag;
  if (flag == 1) {
    *marker = MarkerCodeOf(value);
    return 0;
  }
  const size_t length = std::strlen(value);
  if (length >= 0xFFFF) return 0xFFFF;
  return w.out->Write(value, length) ? static_cast<uint16_t>(length) : 0xFFFF;
}

// Walks the working template into the output. false on failure (summary
// error text set where a text belongs to it).
bool WalkTemplate(Walk& w) {
  const int64_t templateSize = static_cast<int64_t>(w.templ.size());
  int64_t windowOffset = 0;
  while (windowOffset < templateSize) {
    const uint32_t length = static_cast<uint32_t>(std::min<int64_t>(kTemplateWindow, templateSize - windowOffset));
    const char* b = w.templ.data() + windowOffset;
    uint32_t pending = 0;
    uint32_t consumed = length;
    uint32_t lineStart = 0;
    uint32_t pos = 0;
    // Every byte is looked at, the window's last one included (a line end
    // there ends the line or the skip); a "%%" needs both its characters.
    while (pos < length) {
      const char c = b[pos];
      if (w.controlFlag != 0) {
        if (c == '\n') {
          w.controlFlag = 0;
          pending = consumed = lineStart = pos + 1;
          w.lineBytes = 0;
        }
        ++pos;
        continue;
      }
      if (c == '\n') {
        w.lineBytes = 0;
        lineStart = pos + 1;
        ++pos;
        continue;
      }
      if (c != '%' || pos + 1 >= length || b[pos + 1] != '%') {
        ++pos;
        continue;
      }
      // A token opens here. Find its closing pair first.
      uint32_t close = pos + 2;
      while (close + 1 < length && !(b[close] == '%' && b[close + 1] == '%')) ++close;
      if (close + 1 >= length) {
        // No closing pair in this window. With more template to come and
        // text before the token, the token is read again at the start of the
        // next window; a token that opens a whole window without closing in
        // it, or that never closes before the end of the template, is text.
        if (pos > 0 && windowOffset + length < templateSize) consumed = pos;
        break;
      }
      const uint32_t nameLength = close - (pos + 2);
      if (nameLength > kTokenNameLimit) {
        // Too long for a name: the opening pair is text.
        pos += 2;
        continue;
      }
      const uint32_t percent = static_cast<uint32_t>((windowOffset + pos) * 100 / templateSize);
      CallClientCallback(0, 0, "", 0, static_cast<int32_t>(static_cast<uint16_t>(percent)), 0);
      if (!w.out->Write(b + pending, pos - pending)) {
        SetSummaryError(kTextWriteShort);
        return false;
      }
      w.lineBytes += pos - std::max(pending, lineStart);
      char name[kTokenNameLimit + 1];
      std::memcpy(name, b + pos + 2, nameLength);
      name[nameLength] = 0;
      uint16_t marker = 0;
      const uint16_t written = WriteToken(w, name, &marker);
      if (written == 0xFFFF) {
        SetSummaryError(kTextWriteShort);
        return false;
      }
      w.lineBytes += written;
      if (w.controlFlag == 1) ActOnMarker(w, marker);
      pending = lineStart = consumed = close + 2;
      pos = close + 2;
    }
    // A "%" that ends a window with more template to come may open a token
    // in the next one: it is read again there rather than copied as text.
    if (w.controlFlag == 0 && consumed == length && pending < length && b[length - 1] == '%' &&
        windowOffset + length < templateSize) {
      consumed = length - 1;
    }
    if (w.controlFlag == 0 && consumed > pending) {
      if (!w.out->Write(b + pending, consumed - pending)) {
        SetSummaryError(kTextWriteShort);
        return false;
      }
      // The part of it that belongs to the current line is the line's too:
      // a token in the next window that drops the line takes it back.
      const uint32_t lineFrom = std::max(pending, lineStart);
      if (consumed > lineFrom) w.lineBytes += consumed - lineFrom;
    }
    windowOffset += consumed;
  }
  // Output that a dropped last line took back is not left behind.
  w.out->EndHere();
  if (!w.out->Flush()) {
    SetSummaryError(kTextWriteShort);
    return false;
  }
  return true;
}

}  // namespace

// ---- settings and style -------------------------------------------------------

ReportStyle& CurrentReportStyle() { return g_style; }

OutputKind OutputKindOf(const char* outputPath) {
  if (outputPath == nullptr) return OutputKind::kHtml;
  const char* dot = std::strrchr(outputPath, '.');
  if (dot == nullptr) return OutputKind::kHtml;
  const std::string ext(dot + 1);
  const std::string head = ToAsciiLower(ext.substr(0, 3));
  if (head == "doc" || head == "xls") return OutputKind::kDocument;
  if (IEquals(ext, "txt")) return OutputKind::kText;
  return OutputKind::kHtml;
}

bool IsHtmlOutput(const char* outputPath) { return OutputKindOf(outputPath) == OutputKind::kHtml; }

namespace {

// Length of the valid UTF-8 sequence at text[i] (shortest form, no
// surrogates, at most U+10FFFF), or 0 when none starts there.
size_t Utf8SequenceAt(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = byte(i);
  size_t n = 0;
  uint32_t code = 0;
  if (b >= 0xC2 && b <= 0xDF) n = 2, code = b & 0x1Fu;
  else if (b >= 0xE0 && b <= 0xEF) n = 3, code = b & 0x0Fu;
  else if (b >= 0xF0 && b <= 0xF4) n = 4, code = b & 0x07u;
  else return 0;
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (byte(i + k) & 0x3Fu);
  }
  if ((n == 3 && code < 0x800) || (n == 4 && code < 0x10000) || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
    return 0;
  return n;
}

}  // namespace

std::string EscapeHtmlText(std::string_view text, size_t limit) {
  std::string out;
  out.reserve(std::min(limit, text.size() + 16));
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    std::string piece;
    size_t used = 1;
    switch (c) {
      case '<': piece = "&lt;"; break;
      case '>': piece = "&gt;"; break;
      case '&': piece = "&amp;"; break;
      case '"': piece = "&quot;"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x80) {
          piece.assign(1, c);
        } else if (const size_t n = Utf8SequenceAt(text, i); n != 0) {
          piece.assign(text.substr(i, n));
          used = n;
        } else {
          // A byte that is no part of UTF-8 (a percent-decoded Latin-1
          // letter of a request, say) is that Latin-1 letter: the pages
          // are UTF-8 throughout.
          const auto b = static_cast<unsigned char>(c);
          piece += static_cast<char>(0xC0 | (b >> 6));
          piece += static_cast<char>(0x80 | (b & 0x3F));
        }
        break;
    }
    if (out.size() + piece.size() > limit) break;
    out += piece;
    i += used;
  }
  return out;
}

void ReadWriterSettings(const char* outputPath) {
  g_engine.noPageTitles = static_cast<uint16_t>(GetModuleProfileInt("Defaults", "NoHTMLTitles", 0));
  ChartSettings& chart = GetChartSettings();
  chart.debug = static_cast<uint32_t>(GetBaseProfileInt("Main", "Debug", 0));
  chart.fullPath = static_cast<uint32_t>(GetBaseProfileInt("Report", "Full Path", 0));
  chart.graphType = static_cast<uint32_t>(GetModuleProfileInt("Report", "Graph Type", 0));
  if (OutputKindOf(outputPath) == OutputKind::kDocument) {
    chart.graphType = 2;
    chart.fullPath = 1;
  }
}

std::string StyleIniPath() { return EngineFolder() + "style.ini"; }

void ReadReportStyle(const char* styleName, ReportStyle* style) {
  static const struct {
    const char* key;
    const char* def;
  } kColours[kStyleColourCount] = {
      {"Page Background Color", "80FFFF"},      {"Page Text Color", "000000"},
      {"Section Background Color", "800080"},   {"Section Text Color", "FFFFFF"},
      {"Title Background Color", "0000FF"},     {"Title Text Color", "00FF00"},
      {"Sub Title Background Color", "408080"}, {"Sub Title Text Color", "FFFF00"},
      {"Odd Row Background Color", "C0C0C0"},   {"Odd Row Text Color", "000000"},
      {"Even Row Background Color", "FFFFFF"},  {"Even Row Text Color", "000000"},
      {"Table Frame Color", "000000"},
  };
  static const char* const kFonts[kStyleFontCount] = {"Standard Font", "Section Font", "Title Font",
                                                      "Sub Title Font", "Table Data Font"};
  *style = ReportStyle{};
  const std::string ini = StyleIniPath();
  const char* section = styleName != nullptr ? styleName : "";
  auto text = [&](const char* key, const char* def, size_t width) {
    std::string value = kv::IniString(section, key, def, ini.c_str());
    if (value.size() >= width) value.resize(width - 1);
    return value;
  };
  for (int i = 0; i < kStyleColourCount; ++i) {
    // The value is read into 8 bytes: at most 7 characters, of which the
    // field keeps six after the "#".
    std::string value = text(kColours[i].key, kColours[i].def, 8);
    if (value.size() > 6) value.resize(6);
    CopyBounded(style->colours[i], sizeof style->colours[i], "#" + value);
  }
  for (int i = 0; i < kStyleFontCount; ++i) CopyBounded(style->fonts[i], 64, text(kFonts[i], "Arial", 64));
  CopyBounded(style->backgroundPicture, 260, text("Background Filename", "", 260));
  std::string logo = text("Logo Filename", "kvlogoss.gif", 260);
  if (logo.empty()) logo = "kvlogoss.gif";
  CopyBounded(style->logoPicture, 260, logo);
  const std::string columns = text("Table Columns", "012", 16);
  for (int n = 0; n < 4; ++n) style->columns[n] = columns.find(static_cast<char>('0' + n)) != std::string::npos ? 1 : 0;
  style->sortBy = static_cast<uint32_t>(kv::IniGetInt(section, "Sort By", 1, ini.c_str()));
  CopyBounded(style->numberAlignment, 8, text("Number Alignment", "CENTER", 8));
  style->framePage = static_cast<uint32_t>(kv::IniGetInt(section, "Frame Page", 0, ini.c_str()));
  style->tocWidth = static_cast<uint32_t>(kv::IniGetInt(section, "TOC Width", 20, ini.c_str()));
  style->frameWidth = static_cast<uint32_t>(kv::IniGetInt(section, "Frame Width", 1, ini.c_str()));
  style->longDescription = static_cast<uint32_t>(kv::IniGetInt(section, "Long Description", 1, ini.c_str()));
}

// ---- summary error text ---------------------------------------------------------

void SetSummaryError(uint32_t id, const char* argument) {
  std::string text = LoadResString(id);
  if (argument != nullptr) {
    // The text is a format with one "%s"; it is filled in place, never used
    // as a format, so that a path holding "%" is written as it stands.
    const size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, argument);
  }
  g_engine.summaryErrorText = text;
}

const std::string& SummaryErrorText() { return g_engine.summaryErrorText; }

// ---- formatting ---------------------------------------------------------------------

void FormatPercentText(char* out, uint32_t part, uint32_t whole) {
  if (whole == 0) {
    std::snprintf(out, 32, "0%%");
    return;
  }
  const long p = static_cast<long>(static_cast<double>(part) * 10000.0 / whole);
  if (p % 100 == 0) {
    std::snprintf(out, 32, "%ld%%", p / 100);
  } else if (p % 10 == 0) {
    std::snprintf(out, 32, "%ld.%1ld%%", p / 100, (p % 100) / 10);
  } else {
    std::snprintf(out, 32, "%ld.%02ld%%", p / 100, p % 100);
  }
}

std::string PercentText(uint32_t part, uint32_t whole) {
  char text[32];
  FormatPercentText(text, part, whole);
  return text;
}

void FormatThousands(char* out, double value) {
  // Counts and byte totals: truncated to 32 bits as the stored counters are.
  int32_t number = 0;
  if (value >= 2147483647.0) {
    number = 2147483647;
  } else if (value > -2147483648.0) {
    number = static_cast<int32_t>(value);
  } else {
    number = INT32_MIN;
  }
  char digits[16];
  std::snprintf(digits, sizeof digits, "%" PRId32, number);
  const char* d = digits;
  std::string result;
  if (*d == '-') {
    result += '-';
    ++d;
  }
  const size_t n = std::strlen(d);
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) result += ',';
    result += d[i];
  }
  CopyBounded(out, 32, result);
}

int CompareTextPrefix(const char* text, const char* prefix) {
  if (text == nullptr || prefix == nullptr) return text == prefix ? 0 : (text == nullptr ? -1 : 1);
  for (size_t i = 0; prefix[i] != 0; ++i) {
    const int a = static_cast<unsigned char>(AsciiLower(text[i]));
    const int b = static_cast<unsigned char>(AsciiLower(prefix[i]));
    if (a != b) return a - b;
  }
  return 0;
}

uint16_t MarkerCodeOf(const char* value) {
  static const char* const kNames[] = {"%%BookMark%%",       "%%Remove%%",          "%%BookMarkColumn%%",
                                       "%%RemoveColumn%%",   "%%BookMarkChapter%%", "%%RemoveChapter%%"};
  if (value == nullptr) return kMarkerDropLine;
  for (uint16_t i = 0; i < 6; ++i) {
    if (IEquals(value, kNames[i])) return static_cast<uint16_t>(i + 1);
  }
  return kMarkerDropLine;
}

// ---- tokens and output --------------------------------------------------------------

uint16_t WriteOutputText(KvFile file, const char* text) {
  if (text == nullptr || text[0] == 0) return 0;
  const size_t length = std::strlen(text);
  if (length >= 0xFFFF) return 0xFFFF;
  return WriteAll(file, text, length) ? static_cast<uint16_t>(length) : 0xFFFF;
}

uint16_t ResolveTemplateToken(ReportHandle* run, KvFile output, const char* name, AnalysisContext* context,
                              uint32_t* controlFlag, uint16_t* marker, ReportFileCallback fileCallback) {
  std::vector<char> value(kTokenValueSize, 0);
  uint32_t flag = controlFlag != nullptr ? *controlFlag : 0;
  ResolveTemplateVariable(run, context, name, value.data(), value.size(), &flag, fileCallback);
  value.back() = 0;
  if (controlFlag != nullptr) *controlFlag = flag;
  if (flag == 1) {
    if (marker != nullptr) *marker = MarkerCodeOf(value.data());
    return 0;
  }
  return WriteOutputText(output, value.data());
}

void SetKindSectionFlags(uint16_t kind) {
  SectionTableEntry* sections = GetSectionTable();
  if (sections == nullptr) return;
  auto mark = [&](const char* const* names, size_t count, bool listed) {
    for (int i = 0; i < kItemTableCount; ++i) {
      bool found = false;
      for (size_t n = 0; n < count; ++n) {
        if (IEquals(sections[i].name, names[n])) found = true;
      }
      if (found == listed) sections[i].empty = 1;
    }
  };
  if (kind == 7) {
    static const char* const kReferrerEmpty[] = {
        "TopWeekdays",    "TopHours",       "TopVisitors",    "TopServerErrors", "TopClientErrors",
        "TopFormErrors",  "GeneralStats",   "TechnicalStats", "ActivityStats",   "TopEntry",
        "TopExit",        "TopSinglePage",  "TopAuthUsers",   "TopBandwidth",    "TopPaths"};
    mark(kReferrerEmpty, std::size(kReferrerEmpty), true);
  } else if (kind == 8) {
    static const char* const kAgentKept[] = {"TopBrowsers", "TopPlatforms", "ObsoleteTopPaths", "TopSpiders",
                                             "TopNetscape", "TopExplorer",  "TopSearchEngines", "TopSearchKeywords"};
    mark(kAgentKept, std::size(kAgentKept), false);
  }
}

// ---- the frame page -------------------------------------------------------------------

void WriteFramePage(ReportHandle* run, AnalysisContext* context, ReportFileCallback fileCallback) {
  const std::string output = context->outputPath;
  const std::string folder = FolderOf(output);
  if (folder.empty()) return;
  std::string frameExt = GetModuleProfileStr("defaults", "ReportFrameExt", "htm");
  if (frameExt.size() > 9) frameExt.resize(9);
  std::string base = FileNameOf(output);
  const size_t dot = base.find('.');
  if (dot != std::string::npos) base.resize(dot);
  const std::string contentsName = base + "_t." + frameExt;
  const std::string bodyName = base + "_b." + frameExt;
  const std::string contentsPath = folder + contentsName;
  const std::string bodyPath = folder + bodyName;

  Announce(fileCallback, bodyPath, 0);
  if (!kv::FileCopy(output.c_str(), bodyPath.c_str(), false)) {
    // Without its body copy the frameset would replace the only copy of
    // the report: the report stays as it was written, without frames.
    SetSummaryError(kTextCannotOpen, bodyPath.c_str());
    return;
  }
  Announce(fileCallback, contentsPath, 0);
  GenerateTocHtml({bodyPath}, "CONTENT", run->styleName, StyleIniPath(), contentsPath);

  KvFile out = kv::FileOpen(output.c_str(), kv::kFileWrite, kv::FileDisposition::kCreateAlways);
  if (out == KV_INVALID_FILE) return;
  std::string page = "<HTML>\r\n<HEAD>\r\n<TITLE>";
  page += EscapeHtmlText(context->description);
  page += "</TITLE>\r\n</HEAD>\r\n";
  page += "<FRAMESET COLS=\"" + std::to_string(static_cast<int32_t>(g_style.tocWidth)) + "%,*\" BORDER=2>\r\n";
  page += "<FRAME SRC=\"" + contentsName + "\" NAME=TOC SCROLLING=AUTO>\r\n";
  page += "<FRAME SRC=\"" + bodyName + "\" NAME=CONTENT SCROLLING=AUTO>\r\n";
  page += "</FRAMESET>\r\n<BODY>\r\n</BODY>\r\n</HTML>";
  WriteAll(out, page.data(), page.size());
  kv::FileClose(out);
}

// ---- the writer -----------------------------------------------------------------------

int WriteReport(ReportHandle* run, AnalysisContext* context, ReportFileCallback fileCallback) {
  if (run == nullptr || context == nullptr) return 0;
  ResetChartOccurrences();
  // 1. Settings and output kind.
  ReadWriterSettings(context->outputPath);
  const OutputKind kind = OutputKindOf(context->outputPath);
  if (kind == OutputKind::kDocument) context->documentOutput = 1;
  // 2. Style.
  ReadReportStyle(run->styleName, &g_style);
  // 3. Referrer and agent logs have their own templates.
  if (context->logKind == 7 || context->logKind == 8) {
    SetKindSectionFlags(context->logKind);
    if (context->workingTemplatePath[0] != 0) kv::FileDelete(context->workingTemplatePath);
    BuildTemplatePaths(run, context);
  }
  const std::string outputPath = context->outputPath;
  const std::string outputFolder = FolderOf(outputPath);
  // 4. Pictures. A document report shows the logo as every report does:
  // it is copied beside it too.
  Announce(fileCallback, outputFolder + g_style.logoPicture, 1);
  if (CopyReportFile(context->imagesReference, g_style.logoPicture, context->outputPath) == 0) SimpleBeep();
  if (kind != OutputKind::kDocument) {
    const std::string source = JoinPath(run->parentDir, "images/dizorez.gif");
    const std::string destination = outputFolder + "dizorez.gif";
    Announce(fileCallback, destination, 1);
    kv::FileCopy(source.c_str(), destination.c_str(), false);
  }
  // 5. Background picture.
  if (g_style.backgroundPicture[0] != 0) {
    Announce(fileCallback, outputFolder + g_style.backgroundPicture, 1);
    if (CopyReportFile(context->imagesReference, g_style.backgroundPicture, context->outputPath) == 0) SimpleBeep();
  }
  // A context that has no working template yet (a realtime report's merged
  // context) gets one now.
  if (context->workingTemplatePath[0] == 0) BuildTemplatePaths(run, context);
  // Without a section list from the client no working template was made:
  // the report shows the template whole.
  if (context->workingTemplatePath[0] != 0 && run->sectionListHandle == 0 &&
      !kv::PathExists(context->workingTemplatePath)) {
    BuildWholeWorkingTemplate(context->workingTemplatePath, run, TemplateSourceName(context->logKind));
  }
  // 6. Localise the working template. Its text as it then stands is walked;
  //    a template that could not be localised is read as it stands.
  std::string templ;
  const bool localised = LocaliseTemplate(context->workingTemplatePath, run, &templ) == 1;
  // 7. The working template, read whole, and the output.
  Walk w;
  w.run = run;
  w.context = context;
  w.callback = fileCallback;
  {
    bool memory = true;
    try {
      w.value.resize(kTokenValueSize);
    } catch (const std::bad_alloc&) {
      memory = false;
    }
    bool read = true;
    if (!localised) {
      KvFile file = kv::FileOpen(context->workingTemplatePath, kv::kFileRead, kv::FileDisposition::kOpenExisting);
      if (file == KV_INVALID_FILE) {
        SetSummaryError(kTextCannotOpen, context->workingTemplatePath);
        return 0;
      }
      const int64_t size = kv::FileSize(file);
      read = size >= 0 && size < (int64_t{1} << 31);
      if (read && memory) {
        try {
          templ.resize(static_cast<size_t>(size));
        } catch (const std::bad_alloc&) {
          memory = false;
        }
      }
      if (read && memory && size > 0) {
        uint32_t got = 0;
        read = kv::FileRead(file, templ.data(), static_cast<uint32_t>(size), &got) && got == size;
      }
      kv::FileClose(file);
    }
    if (!read || !memory) {
      SetSummaryError(!memory ? kTextNoMemory : kTextReadShort);
      return 0;
    }
  }
  w.templ = templ;
  Announce(fileCallback, outputPath, 0);
  KvFile outFile = kv::FileOpen(outputPath.c_str(), kv::kFileReadWrite, kv::FileDisposition::kCreateAlways);
  if (outFile == KV_INVALID_FILE) {
    SetSummaryError(kTextCannotOpen, outputPath.c_str());
    return 0;
  }
  // 8. The walk.
  bool walked = false;
  {
    ReportOutput out(outFile);
    w.out = &out;
    walked = WalkTemplate(w);
  }
  // 9. Close.
  DisconnectMorvaneLookup();
  kv::FileClose(outFile);
  if (!walked) {
    kv::FileDelete(outputPath.c_str());
    return 0;
  }
  // 10. Frame page.
  if (g_style.framePage != 0 && kind == OutputKind::kHtml) WriteFramePage(run, context, fileCallback);
  return 1;
}

}  // namespace vrn

// ---- exports --------------------------------------------------------------------------

using namespace vrn;

VORNIC_API KvGlobal VRN_DoSummary(uint32_t reportHandle, VrnPercentCallback percent, ReportFileCallback fileCallback) {
  ReportHandle* run = LockReportHandle(reportHandle);
  if (run == nullptr) {
    SetSummaryError(kTextNoMemory);
    return 0;
  }
  // Only an analysis run holds an analysis to report on.
  AnalysisContext* open = RunContext(run);
  if (run->kind != kReportKindAnalysis || run->databaseHandle == 0) {
    kv::GlobalUnlock(reportHandle);
    return 0;
  }
  // 2. The sort key of the style, read before the tables are sorted.
  if (open != nullptr) {
    open->SortBy = static_cast<uint32_t>(kv::IniGetInt(run->styleName, "Sort By", 0, StyleIniPath().c_str()));
  } else {
    KvGlobal h = run->databaseHandle;
    auto* c = static_cast<AnalysisContext*>(kv::GlobalLock(h));
    if (c != nullptr) {
      c->SortBy = static_cast<uint32_t>(kv::IniGetInt(run->styleName, "Sort By", 0, StyleIniPath().c_str()));
      kv::GlobalUnlock(h);
    }
  }
  // 3. Finish the analysis.
  const KvGlobal database = CloseSummary(run);
  if (database == 0) {
    kv::GlobalUnlock(reportHandle);
    return 0;
  }
  // 4. Lock the database for the writing.
  auto* context = static_cast<AnalysisContext*>(kv::GlobalLock(database));
  if (context == nullptr) {
    SetSummaryError(kTextNoMemory);
    kv::GlobalUnlock(reportHandle);
    return 0;
  }
  // 5. Callbacks and the run's context pointer.
  InstallReportCallbacks(percent);
  run->database = context;
  // 6. The report vocabulary, read again when its files changed since the
  // analysis read them (or another run's were read since).
  ReportOptions* old = nullptr;
  if (!ReportSettingsUnchanged(run) && ReloadReportOptions(run, context, &old)) FreeReportOptions(old);
  // 7. The resolver starts afresh.
  ResetResolverCounters();
  // 8. The report.
  WriteReport(run, context, fileCallback);
  // 9. Unlock and return the database.
  run->database = nullptr;
  kv::GlobalUnlock(database);
  kv::GlobalUnlock(reportHandle);
  RestoreReportCallbacks();
  return database;
}

VORNIC_API char* VRN_GetSummaryErrMsg(char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return buffer;
  CopyBounded(buffer, size, g_engine.summaryErrorText);
  return buffer;
}

VORNIC_API uint16_t VRN_DoRealtime(DravelEntry* profile, const char* outputPath, const char* styleName,
                                   VrnPercentCallback percent, ReportFileCallback fileCallback, uint16_t mode,
                                   uint32_t startTime, uint32_t endTime, VrnTablesSortedCallback tablesSorted,
                                   const char* language, KvGlobal sectionList, uint16_t sectionCount,
                                   uint32_t updateOnly) {
  if (profile == nullptr || outputPath == nullptr) return 1;
  // The month-slot mode a year range switched on serves this report only.
  struct MonthSlotModeEnds {
    ~MonthSlotModeEnds() {
      MonthSlots().twelveMonths = 0;
      MonthSlots().twentyFourMonths = 0;
    }
  } monthSlotModeEnds;
  // 1. A run of the engine's own for the report.
  std::unique_ptr<ReportHandle> owner(new (std::nothrow) ReportHandle{});
  if (owner == nullptr) return 1;
  ReportHandle* run = owner.get();
  run->profile = profile;
  CopyBounded(run->styleName, sizeof run->styleName, styleName != nullptr ? styleName : "");
  run->sectionListHandle = sectionList;
  run->sectionCount = sectionCount;
  // The charts of this report read the client's list; whatever list was in
  // force before (an open analysis run's) is back when the call returns.
  struct SectionListScope {
    KvGlobal list = g_engine.templateSectionList;
    uint16_t count = g_engine.templateSectionCount;
    ~SectionListScope() {
      g_engine.templateSectionList = list;
      g_engine.templateSectionCount = count;
    }
  } sectionListScope;
  g_engine.templateSectionList = sectionList;
  g_engine.templateSectionCount = sectionCount;
  SetReportWorkPaths(run, ProfileDirectory().c_str());
  CopyBounded(run->language, sizeof run->language, "ENGLISH");
  ResetResolverCounters();
  InstallReportCallbacks(percent);
  g_engine.abortFlag = 0;
  // 2. The data file and the interval kind.
  char dataFile[300] = {};
  GenerateDravelFilePath(dataFile, sizeof dataFile, profile);
  run->realtimeOption = profile->RealtimeIntervalKind;
  // 3. No realtime store: nothing to report.
  if (profile->PellavarFlag == 0) {
    RestoreReportCallbacks();
    return 0;
  }
  // 4./5. The stored days, brought up to date from the profile's logs and
  // merged for the window into the run's context.
  g_realtimeFileCallback = fileCallback;
  const int result = DoRealtimeReport(profile, dataFile, startTime, endTime, outputPath, run, RealtimeStatus,
                                      updateOnly != 0 ? 1 : 0);
  g_realtimeFileCallback = nullptr;
  // 6. Update only.
  if (updateOnly != 0) {
    FreeReportContext(run);
    RestoreReportCallbacks();
    return static_cast<uint16_t>(result);
  }
  // 7. Failures.
  if (result == 7) {
    FreeReportContext(run);
    RestoreReportCallbacks();
    return 7;
  }
  if (result != 0) {
    // The realtime side keeps what it made after such a failure; a context
    // still hanging off this run would have nobody left to free it.
    FreeReportContext(run);
    RestoreReportCallbacks();
    return 1;
  }
  AnalysisContext* context = RunContext(run);
  bool lockedHere = false;
  if (context == nullptr && run->databaseHandle != 0) {
    context = static_cast<AnalysisContext*>(kv::GlobalLock(run->databaseHandle));
    run->database = context;
    lockedHere = context != nullptr;
  }
  if (context == nullptr) {
    FreeReportContext(run);
    RestoreReportCallbacks();
    return 1;
  }
  // 8. Sorted tables, the output path, the client's call.
  SortAllTables(context, 1);
  if (mode == VRN_REALTIME_EXACT_PATH) CopyBounded(context->outputPath, sizeof context->outputPath, outputPath);
  if (tablesSorted != nullptr) tablesSorted();
  // 9. Another language: the working template again.
  if (language != nullptr && language[0] != 0) {
    if (context->workingTemplatePath[0] != 0) kv::FileDelete(context->workingTemplatePath);
    CopyBounded(run->language, sizeof run->language, language);
    BuildTemplatePaths(run, context);
  }
  // 10. The current vocabulary, with the stored names relabelled to it.
  ReportOptions* old = nullptr;
  if (ReloadReportOptions(run, context, &old)) {
    if (RelabelRealtimeTables(context, old) != 0) FreeReportOptions(old);
    else {
      // Keep the stored vocabulary: the names not yet relabelled still
      // belong to it. The context owns one options record only, so the
      // current one is the one dropped.
      FreeReportOptions(context->options);
      context->options = old;
    }
  }
  // 11. The report; a report that could not be written is a failure.
  const int written = WriteReport(run, context, fileCallback);
  if (lockedHere) {
    kv::GlobalUnlock(run->databaseHandle);
    run->database = nullptr;
  }
  FreeReportContext(run);
  RestoreReportCallbacks();
  return written != 0 ? 0 : 1;
}
