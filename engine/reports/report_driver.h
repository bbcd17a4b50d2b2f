// The report writer: turns a finished analysis into a report file by walking
// the working template, copying its text and replacing each %%Name%% token
// by the value the template variable resolver gives for it. Control values
// of the resolver (bookmarks and removals) take back output already written
// by moving the output position and ending the report there. The working
// template is read whole before the walk; the output is held in memory and
// reaches the file in pieces of kReportOutputChunk bytes and at the end.
//
// Also the report's style (read from style.ini at the start of every
// report), the engine-wide writer settings, the summary error text and the
// small formatting routines that tables and variables share.
//
// Everything runs on the client's thread; one report at a time.
#ifndef VORNIC_REPORTS_REPORT_DRIVER_H
#define VORNIC_REPORTS_REPORT_DRIVER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <vornic/summary.h>

#include "platform/base/kvtypes.h"

namespace vrn {

struct ReportHandle;
struct AnalysisContext;

// ---- engine-wide writer settings ------------------------------------------
// Read at the start of every WriteReport and left in force afterwards: the
// no-page-titles setting (g_engine.noPageTitles, which the page-title lookup
// reads) and the chart settings (GetChartSettings, report_tables.h).
// Reads the writer and chart settings for a report to outputPath (a
// document report forces graph type 2 and full path 1).
void ReadWriterSettings(const char* outputPath);

// ---- the report's style ---------------------------------------------------
constexpr int kStyleColourCount = 13;
constexpr int kStyleFontCount = 5;
enum StyleColour : int {
  kColourPageBackground = 0,
  kColourPageText,
  kColourSectionBackground,
  kColourSectionText,
  kColourTitleBackground,
  kColourTitleText,
  kColourSubTitleBackground,
  kColourSubTitleText,
  kColourOddRowBackground,
  kColourOddRowText,
  kColourEvenRowBackground,
  kColourEvenRowText,
  kColourTableFrame,
};
enum StyleFont : int { kFontStandard = 0, kFontSection, kFontTitle, kFontSubTitle, kFontTableData };

// The style fields of the report being written (style.ini, section = the
// run's style name). Colours are "#" and at most six characters of the value.
struct ReportStyle {
  char colours[kStyleColourCount][8];
  char fonts[kStyleFontCount][64];
  char backgroundPicture[260];
  char logoPicture[260];
  uint32_t columns[4];          // column n on when "Table Columns" holds the digit n
  uint32_t sortBy;              // 2 = users, else hits
  char numberAlignment[8];
  uint32_t framePage;
  uint32_t tocWidth;
  uint32_t frameWidth;
  uint32_t longDescription;
};
// Column switches of ReportStyle::columns.
enum : int { kColumnHits = 0, kColumnPercent = 1, kColumnUsers = 2 };
ReportStyle& CurrentReportStyle();
// The path of style.ini in the program's folder.
std::string StyleIniPath();
// Fills style from style.ini, section styleName.
void ReadReportStyle(const char* styleName, ReportStyle* style);

// ---- output kind ------------------------------------------------------------
enum class OutputKind { kHtml, kText, kDocument };
// Decided by the text after the last "." of the output path: "doc"/"xls"
// (first three characters, any case) document, "txt" (whole) text, else HTML.
OutputKind OutputKindOf(const char* outputPath);

// True when the report being written to outputPath is an HTML report (one
// that may get a frame page). Text and document reports are HTML documents
// too: values from the log are escaped in every kind.
bool IsHtmlOutput(const char* outputPath);
// Text for a report: "<", ">", "&" and '"' become entities, and the text is
// made valid UTF-8 (a byte outside a UTF-8 sequence is read as Latin-1). At
// most limit bytes are made, never cutting an entity or a letter in two.
std::string EscapeHtmlText(std::string_view text, size_t limit = std::string::npos);

// ---- summary error text -----------------------------------------------------
// Sets the summary error text to string `id` of the client's resource module
// (with `argument` formatted into it when given: the text is a format with
// one "%s").
void SetSummaryError(uint32_t id, const char* argument = nullptr);
const std::string& SummaryErrorText();

// Text ids of the summary error texts.
enum : uint32_t {
  kTextCannotOpen = 5591,     // "%s" = the path
  kTextReadShort = 5593,
  kTextWriteShort = 5594,
  kTextNoMemory = 5595,
};

// ---- marker codes ---------------------------------------------------------
enum MarkerCode : uint16_t {
  kMarkerDropLine = 0,
  kMarkerBookMark = 1,
  kMarkerRemove = 2,
  kMarkerBookMarkColumn = 3,
  kMarkerRemoveColumn = 4,
  kMarkerBookMarkChapter = 5,
  kMarkerRemoveChapter = 6,
};
// The marker code of a control value (case-insensitive; 0 for any other).
uint16_t MarkerCodeOf(const char* value);

// ---- writing ------------------------------------------------------------------
// Size of the value buffer a token is resolved into.
constexpr size_t kTokenValueSize = 4096;
// Longest token name that is resolved; a longer name is copied as text.
constexpr size_t kTokenNameLimit = 219;
// Template windows.
constexpr uint32_t kTemplateWindow = 10240;
// Output held before it is written to the report file.
constexpr size_t kReportOutputChunk = size_t{1} << 20;

// Writes the report of the run's finished analysis to the context's output
// path. 1 when the report file is complete; 0 with the summary error text
// set and no report file left behind.
int WriteReport(ReportHandle* run, AnalysisContext* context, ReportFileCallback fileCallback);

// Writes the value of one token to output. Returns the bytes written, 0 for
// a control value (*controlFlag set to 1, *marker its code), 0xFFFF when the
// write failed.
uint16_t ResolveTemplateToken(ReportHandle* run, KvFile output, const char* name, AnalysisContext* context,
                              uint32_t* controlFlag, uint16_t* marker, ReportFileCallback fileCallback);

// Writes text whole. Its length, 0 for an empty text, 0xFFFF when fewer
// bytes were written (or the text is longer than 65534 bytes).
uint16_t WriteOutputText(KvFile file, const char* text);

// Marks as empty the sections a referrer log (7) or agent log (8) cannot fill.
void SetKindSectionFlags(uint16_t kind);

// Writes the frame page of an HTML report (the report moves to "<base>_b",
// a contents page "<base>_t" is written, the output becomes a frameset).
void WriteFramePage(ReportHandle* run, AnalysisContext* context, ReportFileCallback fileCallback);

// ---- shared formatting ------------------------------------------------------
// "0%" when whole is 0; else part of whole in hundredths of a percent,
// written without trailing zeros ("12.5%", "33.33%", "100%"). out holds 32.
void FormatPercentText(char* out, uint32_t part, uint32_t whole);
std::string PercentText(uint32_t part, uint32_t whole);
// The value truncated to 32 bits with "," between groups of three digits.
// out holds 32.
void FormatThousands(char* out, double value);
// 0 when text begins with prefix (letters compared without case); else the
// nonzero result of the comparison at the first difference.
int CompareTextPrefix(const char* text, const char* prefix);

}  // namespace vrn

#endif
