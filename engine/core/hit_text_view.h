// The hit detail text view: the header at the top of every view buffer, the
// per-hit layouts of report kinds 2 (a detailed block per hit) and 3 (one
// line per hit under visit blocks), and the split of the hits over several
// view buffers by the text-view variant.
#ifndef VORNIC_CORE_HIT_TEXT_VIEW_H
#define VORNIC_CORE_HIT_TEXT_VIEW_H

#include <cstdint>
#include <initializer_list>
#include <string>

#include "engine/core/hit_record.h"

namespace vrn {

struct ReportHandle;

// Viewer markers: the byte 1 followed by one of these codes.
enum : char {
  kMarkBold = 1,
  kMarkLabel = 2,
  kMarkError = 6,
  kMarkFile = 10,
  kMarkValue = 14,
};

// Longest variant with a key.
constexpr uint32_t kMaxTextViewVariant = 9;

// Composes the header text into the run's header buffer (once per run).
void FormatViewHeader(ReportHandle* run, uint32_t* length, char* text, uint32_t* lines);
// Writes the header into the writing buffer's file once. 0, or 0x8008 when
// the write failed.
uint16_t WriteViewHeader(ReportHandle* run);
// A new view buffer with its (empty) file in the view folder; it becomes the
// writing buffer. 0, or -1 on any failure.
int CreateViewBuffer(ReportHandle* run);
// Picks the lowest view series 0..4095 whose files do not exist in the view
// folder, so that kept files of earlier runs are never overwritten. False
// when every series is taken.
bool ChooseViewSeries(ReportHandle* run);
// Composes one hit's text into text (at most *length bytes, at most the
// run's per-hit buffer size); on return *length is the text's length and
// *lines its line count. May switch the writing buffer or create one.
void FormatHitText(ReportHandle* run, HitRecord* hit, uint32_t* length, char* text, uint32_t* lines);
// The per-hit step of a text view: formats the hit, counts its lines into
// the writing buffer and appends its text. 1 when written (or nothing to
// write), 0 when the write failed.
int WriteHitToView(ReportHandle* run, HitRecord* hit);

// A printf-style formatter for format texts that come from outside the
// program (resource texts): each conversion must match the type of its
// argument (%d %i %u %x %X %c take numbers, %s a text) and width and
// precision are bounded; a conversion without a matching argument is
// written as it stands.
struct FormatArg {
  FormatArg(long long v) : isText(false), number(v), text(nullptr) {}   // NOLINT
  FormatArg(int v) : isText(false), number(v), text(nullptr) {}         // NOLINT
  FormatArg(unsigned v) : isText(false), number(v), text(nullptr) {}    // NOLINT
  FormatArg(long v) : isText(false), number(v), text(nullptr) {}        // NOLINT
  FormatArg(unsigned long v) : isText(false), number(static_cast<long long>(v)), text(nullptr) {}  // NOLINT
  FormatArg(const char* v) : isText(true), number(0), text(v) {}        // NOLINT
  bool isText;
  long long number;
  const char* text;
};
void AppendChecked(std::string& out, const char* format, std::initializer_list<FormatArg> args);

}  // namespace vrn

#endif
