// The charting module GSWDLL32 as its callers see it: entry points reached
// by ordinal, with these argument lists. Every entry answers 0 on success
// unless said otherwise.
//
// A chart is drawn in one sequence on the calling thread: open (4), give
// it a title, labels, legends, values, axis labels and a style, export it
// (99) to a file or as bitmap bytes (100), close it (5). Entries without a chart handle act on the
// chart opened last.
#ifndef KV_PLATFORM_GSWDLL32_H
#define KV_PLATFORM_GSWDLL32_H

#include <cstdint>

namespace kv::gsw {

enum : uint32_t {
  kOrdStart = 1,          // (command line, locale) -> 0
  kOrdStop = 2,           // () -> 0, -1 when not started
  kOrdOpenChart = 4,      // OpenChartFn: the chart handle, 0 on failure
  kOrdCloseChart = 5,     // (handle)
  kOrdSetOption11 = 11,   // (value): kept, not drawn
  kOrdSetOption15 = 15,   // (value): kept, not drawn
  kOrdWidthBase = 17,     // () -> double: base width in pixels
  kOrdHeightBase = 18,    // () -> double: base height in pixels
  kOrdExport = 99,        // ExportFn
  kOrdExportBitmap = 100, // ExportBitmapFn: the chart as bitmap bytes held by the module
  kOrdOpenSession = 124,  // () -> 0, -1 when not started
  kOrdCloseSession = 125, // () -> 0, -1 when none open
  kOrdBatch = 126,        // (): begins and ends a group of settings
  kOrdValues = 127,       // (groups, values per group, doubles [groups x per group])
  kOrdLabels = 133,       // (count, texts): one label per group
  kOrdLegends = 134,      // (count, texts): one legend per series
  kOrdTitle = 135,        // (text)
  kOrdItemAxis = 136,     // (text)
  kOrdValueAxis = 137,    // (text)
  kOrdStyle = 138,        // (style, flags, 0)
  kOrdFont = 199,         // (element, a, b, c): kept, not drawn
  kOrdLegendPlace = 200,  // (a, b, c, d, e): kept, not drawn
};

// Export formats: 4 a Windows bitmap (24-bit BMP), 2 the module's own
// drawing file (a PNG image).
enum : int32_t { kExportDrawing = 2, kExportBitmap = 4 };

// Styles: 1/2 pies, 3/4 bars, 6/13 lines, 8/14 areas (the second of each pair
// drawn with depth). Flags: 0x2000 stacked, 0x800 bars laid sideways.
enum : int32_t { kFlagStacked = 0x2000, kFlagSideways = 0x800 };

// Largest side of a chart image; larger requests are drawn at this size.
constexpr int32_t kMaxChartSide = 4096;

using OpenChartFn = int32_t (*)(int32_t, int32_t, int32_t, int32_t, int32_t width, int32_t height, double scale,
                                int32_t, int32_t, int32_t* status);
using HandleFn = int32_t (*)(int32_t handle);
using IntFn = int32_t (*)(int32_t);
using DoubleFn = double (*)(void);
using VoidFn = int32_t (*)(void);
using ValuesFn = int32_t (*)(int32_t groups, int32_t perGroup, const double* values);
using TextsFn = int32_t (*)(int32_t count, const char* const* texts);
using TextFn = int32_t (*)(const char* text);
using StyleFn = int32_t (*)(int32_t style, int32_t flags, int32_t reserved);
using FontFn = int32_t (*)(int32_t, int32_t, int32_t, int32_t);
using LegendPlaceFn = int32_t (*)(int32_t, int32_t, int32_t, int32_t, int32_t);
using ExportFn = int32_t (*)(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                             int32_t format, int32_t, const char* path);
// The bytes of the bitmap file export 99 writes; they stay the module's and
// are valid until the chart is closed or exported this way again.
using ExportBitmapFn = int32_t (*)(const unsigned char** data, int32_t* size);

}  // namespace kv::gsw

#endif
