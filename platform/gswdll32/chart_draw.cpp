// Chart drawing of the charting module with libgd. A chart collects its
// texts, values and style between open and close; export draws it into a
// true-colour image and writes that as a 24-bit bitmap or as the module's
// drawing file (PNG), or hands the bitmap's bytes to the caller.
#include "platform/gswdll32/chart_draw.h"

#include <gd.h>
#include <gdfontl.h>
#include <gdfonts.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/gswdll32/gswdll32.h"

namespace kv::gsw {

namespace {

// Largest number of values a chart takes.
constexpr int64_t kMaxValues = 1 << 20;
constexpr size_t kMaxTexts = 4096;
constexpr size_t kMaxTextLength = 1024;

struct Chart {
  int32_t width = 0;
  int32_t height = 0;
  std::string title, itemAxis, valueAxis;
  std::vector<std::string> labels, legends;
  int32_t groups = 0;
  int32_t perGroup = 0;
  std::vector<double> values;
  int32_t style = 3;
  int32_t flags = 8;
  // The bytes of the last export to memory.
  std::vector<unsigned char> bitmap;
};

std::mutex g_mutex;
std::map<int32_t, std::unique_ptr<Chart>> g_charts;
int32_t g_current = 0;
int32_t g_nextHandle = 1;

Chart* Current() {
  auto it = g_charts.find(g_current);
  return it == g_charts.end() ? nullptr : it->second.get();
}

std::string BoundedText(const char* text) {
  if (text == nullptr) return {};
  size_t n = 0;
  while (n < kMaxTextLength && text[n] != '\0') ++n;
  return std::string(text, n);
}

int32_t SetTexts(std::vector<std::string> Chart::*field, int32_t count, const char* const* texts) {
  if (count < 0 || static_cast<size_t>(count) > kMaxTexts || (count > 0 && texts == nullptr)) return -1;
  std::lock_guard lock(g_mutex);
  Chart* chart = Current();
  if (chart == nullptr) return -1;
  std::vector<std::string> copy;
  copy.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) copy.push_back(BoundedText(texts[i]));
  chart->*field = std::move(copy);
  return 0;
}

int32_t SetText(std::string Chart::*field, const char* text) {
  std::lock_guard lock(g_mutex);
  Chart* chart = Current();
  if (chart == nullptr) return -1;
  chart->*field = BoundedText(text);
  return 0;
}

// ---- drawing -------------------------------------------------------------------

constexpr int kPalette[][3] = {
    {0x1f, 0x4e, 0xc8}, {0xd8, 0x3a, 0x2e}, {0x2e, 0xa0, 0x45}, {0xf0, 0xb4, 0x1c}, {0x8e, 0x44, 0xad},
    {0x17, 0xa2, 0xb8}, {0xe6, 0x7e, 0x22}, {0x7f, 0x8c, 0x8d}, {0xc0, 0x39, 0x8b}, {0x27, 0xae, 0x60},
    {0x34, 0x49, 0x5e}, {0xb9, 0x77, 0x0e}, {0x5d, 0xad, 0xe2}, {0xa9, 0x32, 0x26}, {0x48, 0xc9, 0xb0},
    {0x6c, 0x34, 0x83},
};
constexpr int kPaletteSize = sizeof kPalette / sizeof kPalette[0];

int SeriesColour(gdImagePtr im, int index, bool shade) {
  const int* c = kPalette[index % kPaletteSize];
  const int f = shade ? 2 : 1;
  return gdImageColorAllocate(im, c[0] / f, c[1] / f, c[2] / f);
}

char* Writable(std::string& text) { return text.data(); }

// What a drawing put where: kept for the record of drawn charts (below).
struct Drawn {
  std::vector<std::string> ticks;        // value-axis tick texts, from 0 up
  std::vector<int> points;               // item-axis position of each group's centre
  std::vector<std::pair<int, std::string>> labels;  // item labels drawn: centre and text
  std::vector<std::string> legends;      // legend lines drawn, as drawn
  int plotLeft = 0, plotRight = 0, plotTop = 0, plotBottom = 0;
};

int TextWidth(gdFontPtr font, const std::string& text) { return static_cast<int>(text.size()) * font->w; }

// The text cut to maxWidth, ending in ".." when cut.
std::string FitText(gdFontPtr font, std::string text, int maxWidth) {
  if (maxWidth <= 0) return {};
  const size_t fit = static_cast<size_t>(maxWidth / font->w);
  if (text.size() > fit) {
    text.resize(fit);
    if (fit > 3) text.replace(fit - 2, 2, "..");
  }
  return text;
}

void DrawText(gdImagePtr im, gdFontPtr font, int x, int y, std::string text, int colour) {
  if (text.empty()) return;
  gdImageString(im, font, x, y, reinterpret_cast<unsigned char*>(Writable(text)), colour);
}

struct Layout {
  int left, top, right, bottom;  // plot area
};

enum class Kind { kBars, kLines, kAreas, kPies };

Kind KindOf(int32_t style) {
  switch (style) {
    case 1:
    case 2:
      return Kind::kPies;
    case 6:
    case 13:
      return Kind::kLines;
    case 8:
    case 14:
      return Kind::kAreas;
    default:
      return Kind::kBars;
  }
}

bool HasDepth(int32_t style) { return style == 2 || style == 4 || style == 13 || style == 14; }

// The value of group g, series s (negative and non-finite values count as 0).
double ValueAt(const Chart& c, int g, int s) {
  const double v = c.values[static_cast<size_t>(g) * static_cast<size_t>(c.perGroup) + static_cast<size_t>(s)];
  return std::isfinite(v) && v > 0 ? v : 0.0;
}

// With one value per group and a legend naming each group, every group has
// its own colour; without legends the labels name the groups and one
// colour serves.
int ColourIndex(const Chart& c, int g, int s) { return c.perGroup == 1 && !c.legends.empty() ? g : s; }

// The value axis: a round step, four of them reaching at least the largest
// value; whole steps when every value is whole (counts are never halved).
struct Scale {
  double step = 0.25;
  double top = 1;
  bool whole = false;
};

Scale ScaleFor(const Chart& c, double largest) {
  Scale sc;
  sc.whole = true;
  for (double v : c.values) {
    if (std::isfinite(v) && v != std::floor(v)) sc.whole = false;
  }
  if (largest <= 0) largest = sc.whole ? 4 : 1;
  const double raw = largest / 4;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  double step = 10 * magnitude;
  for (double m : {1.0, 2.0, 2.5, 5.0, 10.0}) {
    if (m * magnitude >= raw * (1 - 1e-12)) {
      step = m * magnitude;
      break;
    }
  }
  if (sc.whole) step = std::max(1.0, std::ceil(step));
  sc.step = step;
  sc.top = step * 4;
  return sc;
}

std::string TickText(double v, bool whole) {
  char text[48];
  if (whole || std::fabs(v - std::round(v)) < 1e-9) {
    // Thousands grouped: 12,500.
    std::snprintf(text, sizeof text, "%.0f", v);
    std::string digits = text, out;
    const size_t n = digits.size();
    for (size_t i = 0; i < n; ++i) {
      if (i != 0 && (n - i) % 3 == 0) out += ',';
      out += digits[i];
    }
    return out;
  }
  std::snprintf(text, sizeof text, "%.10g", std::round(v * 100) / 100);
  return text;
}

// The centre of group g along the item axis (bars, points and labels share it).
int GroupCentre(const Layout& a, int g, int groups, bool sideways) {
  const int from = sideways ? a.top : a.left;
  const int length = sideways ? a.bottom - a.top : a.right - a.left;
  return from + static_cast<int>((static_cast<int64_t>(length) * (2 * g + 1)) / (2 * std::max(1, groups)));
}

void DrawPies(gdImagePtr im, const Chart& c, const Layout& a, bool depth) {
  // Slices: the groups when each holds one value, else the series' sums.
  std::vector<double> slices;
  if (c.perGroup == 1) {
    for (int g = 0; g < c.groups; ++g) slices.push_back(ValueAt(c, g, 0));
  } else {
    for (int s = 0; s < c.perGroup; ++s) {
      double sum = 0;
      for (int g = 0; g < c.groups; ++g) sum += ValueAt(c, g, s);
      slices.push_back(sum);
    }
  }
  double total = 0;
  for (double v : slices) total += v;
  if (total <= 0) return;
  const int cx = (a.left + a.right) / 2, cy = (a.top + a.bottom) / 2;
  const int d = std::max(4, std::min(a.right - a.left, a.bottom - a.top) - 8);
  const int h = depth ? d * 2 / 3 : d;
  double angle = 0;
  for (size_t i = 0; i < slices.size(); ++i) {
    const double sweep = slices[i] * 360.0 / total;
    const int from = static_cast<int>(std::lround(angle));
    const int to = static_cast<int>(std::lround(angle + sweep));
    if (to > from) {
      if (depth) gdImageFilledArc(im, cx, cy + 6, d, h, from, to, SeriesColour(im, static_cast<int>(i), true), gdPie);
      gdImageFilledArc(im, cx, cy, d, h, from, to, SeriesColour(im, static_cast<int>(i), false), gdPie);
    }
    angle += sweep;
  }
}

void DrawAxes(gdImagePtr im, const Chart& c, const Layout& a, const Scale& sc, bool sideways, int ink, int grid,
              Drawn* drawn) {
  gdFontPtr axisFont = gdFontGetSmall();
  for (int i = 0; i <= 4; ++i) {
    const std::string text = TickText(sc.step * i, sc.whole);
    drawn->ticks.push_back(text);
    if (sideways) {
      const int x = a.left + (a.right - a.left) * i / 4;
      gdImageLine(im, x, a.top, x, a.bottom, grid);
      DrawText(im, axisFont, std::max(0, x - TextWidth(axisFont, text) / 2), a.bottom + 2, text, ink);
    } else {
      const int y = a.bottom - (a.bottom - a.top) * i / 4;
      gdImageLine(im, a.left, y, a.right, y, grid);
      DrawText(im, axisFont, std::max(0, a.left - TextWidth(axisFont, text) - 3), y - axisFont->h / 2, text, ink);
    }
  }
  gdImageLine(im, a.left, a.top, a.left, a.bottom, ink);
  gdImageLine(im, a.left, a.bottom, a.right, a.bottom, ink);
  // Group labels along the item axis, each whole and centred on its group;
  // when they do not fit side by side only every n-th is written.
  if (c.groups <= 0) return;
  const int labels = std::min(c.groups, static_cast<int>(c.labels.size()));
  if (sideways) {
    const int span = std::max(1, (a.bottom - a.top) / c.groups);
    const int every = std::max(1, (axisFont->h + 2 + span - 1) / span);
    for (int g = 0; g < labels; g += every) {
      const int y = GroupCentre(a, g, c.groups, true);
      const std::string text = FitText(axisFont, c.labels[g], a.left - 6);
      DrawText(im, axisFont, std::max(0, a.left - 4 - TextWidth(axisFont, text)), y - axisFont->h / 2, text, ink);
      drawn->labels.emplace_back(y, text);
    }
    return;
  }
  int widest = 0;
  for (int g = 0; g < labels; ++g) widest = std::max(widest, TextWidth(axisFont, c.labels[g]));
  const double span = static_cast<double>(a.right - a.left) / c.groups;
  const int every = std::max(1, static_cast<int>(std::ceil((widest + 6) / std::max(1.0, span))));
  for (int g = 0; g < labels; g += every) {
    const int x = GroupCentre(a, g, c.groups, false);
    const std::string text = FitText(axisFont, c.labels[g], gdImageSX(im) - 4);
    const int left = std::clamp(x - TextWidth(axisFont, text) / 2, 0, std::max(0, gdImageSX(im) - TextWidth(axisFont, text)));
    DrawText(im, axisFont, left, a.bottom + 3, text, ink);
    drawn->labels.emplace_back(x, text);
  }
}

bool Stacked(const Chart& c, Kind kind) { return kind == Kind::kBars && (c.flags & kFlagStacked) != 0; }
bool Sideways(const Chart& c, Kind kind) { return kind == Kind::kBars && (c.flags & kFlagSideways) != 0; }

Scale ScaleOf(const Chart& c, Kind kind) {
  double largest = 0;
  for (int g = 0; g < c.groups; ++g) {
    double sum = 0;
    for (int s = 0; s < c.perGroup; ++s) {
      sum += ValueAt(c, g, s);
      largest = std::max(largest, ValueAt(c, g, s));
    }
    if (Stacked(c, kind)) largest = std::max(largest, sum);
  }
  return ScaleFor(c, largest);
}

void DrawSeries(gdImagePtr im, const Chart& c, const Layout& a, Kind kind, const Scale& sc, bool depth, int ink,
                int grid, Drawn* drawn) {
  const bool stacked = Stacked(c, kind);
  const bool sideways = Sideways(c, kind);
  DrawAxes(im, c, a, sc, sideways, ink, grid, drawn);
  if (c.groups <= 0 || c.perGroup <= 0) return;
  for (int g = 0; g < c.groups; ++g) drawn->points.push_back(GroupCentre(a, g, c.groups, sideways));
  const int length = sideways ? a.right - a.left : a.bottom - a.top;
  auto scaled = [&](double v) { return static_cast<int>(std::lround(v / sc.top * length)); };
  const int depthPx = depth ? 4 : 0;

  if (kind == Kind::kBars) {
    const int span = std::max(1, (sideways ? a.bottom - a.top : a.right - a.left) / c.groups);
    const int bars = stacked ? 1 : c.perGroup;
    const int barWidth = std::max(1, (span - 4) / bars);
    for (int g = 0; g < c.groups; ++g) {
      int base = 0;
      const int first = GroupCentre(a, g, c.groups, sideways) - (sideways ? a.top : a.left) - barWidth * bars / 2;
      for (int s = 0; s < c.perGroup; ++s) {
        const int len = scaled(ValueAt(c, g, s));
        const int slot = stacked ? 0 : s;
        const int from = first + slot * barWidth;
        const int start = stacked ? base : 0;
        int x1, y1, x2, y2;
        if (sideways) {
          x1 = a.left + start, x2 = a.left + start + len;
          y1 = a.top + from, y2 = a.top + from + barWidth - 1;
        } else {
          x1 = a.left + from, x2 = a.left + from + barWidth - 1;
          y1 = a.bottom - start - len, y2 = a.bottom - start;
        }
        if (len > 0) {
          const int ci = ColourIndex(c, g, s);
          if (depthPx > 0) gdImageFilledRectangle(im, x1 + depthPx, y1 - depthPx, x2 + depthPx, y2 - depthPx,
                                                  SeriesColour(im, ci, true));
          gdImageFilledRectangle(im, x1, y1, x2, y2, SeriesColour(im, ci, false));
        }
        base += len;
      }
    }
    return;
  }

  // Lines and areas: one line per series over the groups, each point at its
  // group's centre (where its label stands); with one value per group the
  // groups form a single line.
  const int lines = c.perGroup == 1 ? 1 : c.perGroup;
  const int points = c.groups;
  // Areas are filled from the last series to the first, so that the first
  // series is never covered by a later one.
  for (int i = 0; i < lines; ++i) {
    const int s = kind == Kind::kAreas ? lines - 1 - i : i;
    std::vector<gdPoint> p;
    for (int g = 0; g < points; ++g) {
      p.push_back({GroupCentre(a, g, points, false), a.bottom - scaled(ValueAt(c, g, s))});
    }
    const int colour = SeriesColour(im, s, false);
    if (kind == Kind::kAreas && points > 1) {
      std::vector<gdPoint> poly = p;
      poly.push_back({p.back().x, a.bottom});
      poly.push_back({p.front().x, a.bottom});
      gdImageFilledPolygon(im, poly.data(), static_cast<int>(poly.size()), colour);
    } else {
      gdImageSetThickness(im, depth ? 3 : 2);
      for (size_t i = 1; i < p.size(); ++i) gdImageLine(im, p[i - 1].x, p[i - 1].y, p[i].x, p[i].y, colour);
      gdImageSetThickness(im, 1);
    }
    // Each point marked, so that a lone point shows.
    if (kind == Kind::kLines || points == 1) {
      for (const gdPoint& q : p) gdImageFilledRectangle(im, q.x - 2, q.y - 2, q.x + 2, q.y + 2, colour);
    }
  }
}

void PutU16(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void PutU32(unsigned char* p, uint32_t v) {
  PutU16(p, v & 0xFFFF);
  PutU16(p + 2, v >> 16);
}

// A true-colour image as a 24-bit bitmap file, byte for byte as libgd's
// bitmap writer lays it out: headers without resolution, rows from the
// bottom in blue-green-red order padded to four bytes, and the file and
// image sizes counted without the padding.
void EncodeBitmap(gdImagePtr im, std::vector<unsigned char>* out) {
  const uint32_t width = static_cast<uint32_t>(gdImageSX(im));
  const uint32_t height = static_cast<uint32_t>(gdImageSY(im));
  const size_t row = static_cast<size_t>(width) * 3;
  const size_t padding = (4 - row % 4) % 4;
  const uint32_t imageSize = static_cast<uint32_t>(row * height);
  out->assign(54 + (row + padding) * height, 0);
  unsigned char* p = out->data();
  p[0] = 'B';
  p[1] = 'M';
  PutU32(p + 2, 54 + imageSize);
  PutU32(p + 10, 54);
  PutU32(p + 14, 40);
  PutU32(p + 18, width);
  PutU32(p + 22, height);
  PutU16(p + 26, 1);
  PutU16(p + 28, 24);
  PutU32(p + 34, imageSize);
  p += 54;
  for (uint32_t y = height; y-- > 0;) {
    const int* pixels = im->tpixels[y];
    for (uint32_t x = 0; x < width; ++x) {
      const int c = pixels[x];
      *p++ = static_cast<unsigned char>(gdTrueColorGetBlue(c));
      *p++ = static_cast<unsigned char>(gdTrueColorGetGreen(c));
      *p++ = static_cast<unsigned char>(gdTrueColorGetRed(c));
    }
    p += padding;
  }
}

void AppendJsonText(std::string* out, const std::string& text) {
  *out += '"';
  for (const char ch : text) {
    const auto u = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      *out += '\\';
      *out += ch;
    } else if (u < 0x20 || u >= 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", u);
      *out += esc;
    } else {
      *out += ch;
    }
  }
  *out += '"';
}

void AppendJsonTexts(std::string* line, const char* name, const std::vector<std::string>& texts) {
  *line += std::string(",\"") + name + "\":[";
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i != 0) *line += ',';
    AppendJsonText(line, texts[i]);
  }
  *line += ']';
}

// With KV_CHART_VALUES naming a file, every chart drawn appends one line to
// it: its type, texts and values, and where the drawing put its points,
// labels, ticks and legends (JSON). Tests read it to check a chart against
// its data; nothing is written without the variable.
void RecordDrawn(const Chart& c, const Drawn& d) {
  const char* path = std::getenv("KV_CHART_VALUES");
  if (path == nullptr || path[0] == '\0') return;
  std::string line = "{\"style\":" + std::to_string(c.style) + ",\"flags\":" + std::to_string(c.flags) +
                     ",\"width\":" + std::to_string(c.width) + ",\"height\":" + std::to_string(c.height) +
                     ",\"groups\":" + std::to_string(c.groups) + ",\"perGroup\":" + std::to_string(c.perGroup) +
                     ",\"plot\":[" + std::to_string(d.plotLeft) + "," + std::to_string(d.plotTop) + "," +
                     std::to_string(d.plotRight) + "," + std::to_string(d.plotBottom) + "],\"title\":";
  AppendJsonText(&line, c.title);
  line += ",\"itemAxis\":";
  AppendJsonText(&line, c.itemAxis);
  line += ",\"valueAxis\":";
  AppendJsonText(&line, c.valueAxis);
  AppendJsonTexts(&line, "labels", c.labels);
  AppendJsonTexts(&line, "legends", c.legends);
  AppendJsonTexts(&line, "ticks", d.ticks);
  AppendJsonTexts(&line, "legendsDrawn", d.legends);
  line += ",\"points\":[";
  for (size_t i = 0; i < d.points.size(); ++i) line += (i != 0 ? "," : "") + std::to_string(d.points[i]);
  line += "],\"labelsDrawn\":[";
  for (size_t i = 0; i < d.labels.size(); ++i) {
    line += std::string(i != 0 ? "," : "") + "[" + std::to_string(d.labels[i].first) + ",";
    AppendJsonText(&line, d.labels[i].second);
    line += "]";
  }
  line += "],\"values\":[";
  for (size_t i = 0; i < c.values.size(); ++i) {
    char number[40];
    std::snprintf(number, sizeof number, "%s%.17g", i != 0 ? "," : "", std::isfinite(c.values[i]) ? c.values[i] : 0.0);
    line += number;
  }
  line += "]}\n";
  if (FILE* out = std::fopen(path, "ab")) {
    std::fwrite(line.data(), 1, line.size(), out);
    std::fclose(out);
  }
}

gdImagePtr Render(const Chart& c) {
  gdImagePtr im = gdImageCreateTrueColor(c.width, c.height);
  if (im == nullptr) return nullptr;
  const int white = gdImageColorAllocate(im, 255, 255, 255);
  const int ink = gdImageColorAllocate(im, 0x33, 0x33, 0x33);
  const int grid = gdImageColorAllocate(im, 0xe0, 0xe0, 0xe0);
  // The background: every pixel opaque white, stored directly (what a
  // filled rectangle over the image sets one pixel at a time).
  for (int y = 0; y < c.height; ++y) std::fill_n(im->tpixels[y], c.width, white);

  gdFontPtr large = gdFontGetLarge();
  gdFontPtr small = gdFontGetSmall();
  gdFontPtr axisFont = gdFontGetSmall();
  const Kind kind = KindOf(c.style);
  const bool sideways = Sideways(c, kind);
  Drawn drawn;
  Layout a{8, 8, c.width - 8, c.height - 34};
  if (!c.title.empty()) {
    const std::string title = FitText(large, c.title, c.width - 4);
    DrawText(im, large, std::max(2, (c.width - TextWidth(large, title)) / 2), 4, title, ink);
    a.top = 8 + large->h + 4;
  }
  // Legends on the right, one line each with the series' colour, as wide as
  // the longest needs up to nearly half the picture; a longer one is cut
  // with "..", never at the picture's edge.
  const bool anyLegend = std::any_of(c.legends.begin(), c.legends.end(), [](const std::string& l) {
    return l.find_first_not_of(' ') != std::string::npos;
  });
  if (anyLegend) {
    int widest = 0;
    for (const std::string& l : c.legends) widest = std::max(widest, TextWidth(small, l));
    const int legendWidth = std::min(widest + 24, c.width * 45 / 100);
    a.right = c.width - legendWidth - 4;
    int y = a.top;
    for (size_t i = 0; i < c.legends.size() && y + small->h < c.height; ++i, y += small->h + 3) {
      const int x = a.right + 8;
      gdImageFilledRectangle(im, x, y + 2, x + 8, y + 10, SeriesColour(im, static_cast<int>(i), false));
      const std::string text = FitText(small, c.legends[i], c.width - (x + 12) - 2);
      DrawText(im, small, x + 12, y, text, ink);
      drawn.legends.push_back(text);
    }
  }
  // The value axis's title stands rotated at the left edge; the tick texts
  // (or, on a sideways chart, the item labels) between it and the plot.
  int titleRoom = 2;
  if (!c.valueAxis.empty() && kind != Kind::kPies) {
    const std::string text = FitText(small, c.valueAxis, a.bottom - a.top);
    std::string up = text;
    gdImageStringUp(im, small, 2, (a.top + a.bottom) / 2 + TextWidth(small, text) / 2,
                    reinterpret_cast<unsigned char*>(Writable(up)), ink);
    titleRoom = 2 + small->h + 4;
  }
  Scale sc;
  if (kind != Kind::kPies) {
    sc = ScaleOf(c, kind);
    int room = 0;
    if (sideways) {
      for (int g = 0; g < c.groups && g < static_cast<int>(c.labels.size()); ++g) {
        room = std::max(room, TextWidth(axisFont, c.labels[g]));
      }
      room = std::min(room, c.width * 30 / 100);
    } else {
      for (int i = 0; i <= 4; ++i) room = std::max(room, TextWidth(axisFont, TickText(sc.step * i, sc.whole)));
    }
    a.left = titleRoom + room + 6;
  }
  if (!c.itemAxis.empty() && kind != Kind::kPies) {
    const std::string text = FitText(small, c.itemAxis, a.right - a.left);
    DrawText(im, small, a.left + std::max(0, (a.right - a.left - TextWidth(small, text)) / 2), c.height - small->h - 1,
             text, ink);
  }
  drawn.plotLeft = a.left, drawn.plotTop = a.top, drawn.plotRight = a.right, drawn.plotBottom = a.bottom;
  if (a.right > a.left + 4 && a.bottom > a.top + 4) {
    if (kind == Kind::kPies) {
      if (c.groups > 0 && c.perGroup > 0) DrawPies(im, c, a, HasDepth(c.style));
    } else {
      DrawSeries(im, c, a, kind, sc, HasDepth(c.style), ink, grid, &drawn);
    }
  }
  RecordDrawn(c, drawn);
  return im;
}

}  // namespace

int32_t OpenChart(int32_t, int32_t, int32_t, int32_t, int32_t width, int32_t height, double /*scale*/, int32_t,
                  int32_t, int32_t* status) {
  if (width <= 0 || height <= 0) {
    if (status != nullptr) *status = -1;
    return 0;
  }
  auto chart = std::make_unique<Chart>();
  chart->width = std::min(width, kMaxChartSide);
  chart->height = std::min(height, kMaxChartSide);
  std::lock_guard lock(g_mutex);
  const int32_t handle = g_nextHandle++;
  if (g_nextHandle <= 0) g_nextHandle = 1;
  g_charts[handle] = std::move(chart);
  g_current = handle;
  if (status != nullptr) *status = 0;
  return handle;
}

int32_t CloseChart(int32_t handle) {
  std::lock_guard lock(g_mutex);
  if (g_charts.erase(handle) == 0) return -1;
  if (g_current == handle) g_current = 0;
  return 0;
}

int32_t SetOption(int32_t) { return 0; }
double WidthBase() { return 960.0; }
double HeightBase() { return 1000.0; }
int32_t Batch() { return 0; }
int32_t SetFont(int32_t, int32_t, int32_t, int32_t) { return 0; }
int32_t SetLegendPlace(int32_t, int32_t, int32_t, int32_t, int32_t) { return 0; }

int32_t SetValues(int32_t groups, int32_t perGroup, const double* values) {
  if (groups < 0 || perGroup < 0) return -1;
  const int64_t count = static_cast<int64_t>(groups) * perGroup;
  if (count > kMaxValues || (count > 0 && values == nullptr)) return -1;
  std::lock_guard lock(g_mutex);
  Chart* chart = Current();
  if (chart == nullptr) return -1;
  chart->groups = groups;
  chart->perGroup = perGroup;
  chart->values.assign(values, values + count);
  return 0;
}

int32_t SetLabels(int32_t count, const char* const* texts) { return SetTexts(&Chart::labels, count, texts); }
int32_t SetLegends(int32_t count, const char* const* texts) { return SetTexts(&Chart::legends, count, texts); }
int32_t SetTitle(const char* text) { return SetText(&Chart::title, text); }
int32_t SetItemAxis(const char* text) { return SetText(&Chart::itemAxis, text); }
int32_t SetValueAxis(const char* text) { return SetText(&Chart::valueAxis, text); }

int32_t SetStyle(int32_t style, int32_t flags, int32_t) {
  std::lock_guard lock(g_mutex);
  Chart* chart = Current();
  if (chart == nullptr) return -1;
  chart->style = style;
  chart->flags = flags;
  return 0;
}

int32_t ExportChart(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t format, int32_t,
                    const char* path) {
  if (path == nullptr || path[0] == '\0') return -1;
  if (format != kExportBitmap && format != kExportDrawing) return -1;
  gdImagePtr im = nullptr;
  {
    std::lock_guard lock(g_mutex);
    Chart* chart = Current();
    if (chart == nullptr) return -1;
    im = Render(*chart);
  }
  if (im == nullptr) return -1;
  FILE* out = std::fopen(path, "wb");
  if (out == nullptr) {
    gdImageDestroy(im);
    return -1;
  }
  // Encoded in memory and written in one piece.
  bool failed = false;
  if (format == kExportBitmap) {
    std::vector<unsigned char> bitmap;
    EncodeBitmap(im, &bitmap);
    failed = std::fwrite(bitmap.data(), 1, bitmap.size(), out) != bitmap.size();
  } else {
    int bytes = 0;
    void* encoded = gdImagePngPtr(im, &bytes);
    failed = encoded == nullptr || bytes <= 0 ||
             std::fwrite(encoded, 1, static_cast<size_t>(bytes), out) != static_cast<size_t>(bytes);
    gdFree(encoded);
  }
  gdImageDestroy(im);
  failed = failed || std::ferror(out) != 0;
  if (std::fclose(out) != 0 || failed) {
    std::remove(path);
    return -1;
  }
  return 0;
}

int32_t ExportChartBitmap(const unsigned char** data, int32_t* size) {
  if (data == nullptr || size == nullptr) return -1;
  *data = nullptr;
  *size = 0;
  std::lock_guard lock(g_mutex);
  Chart* chart = Current();
  if (chart == nullptr) return -1;
  chart->bitmap.clear();
  gdImagePtr im = Render(*chart);
  if (im == nullptr) return -1;
  EncodeBitmap(im, &chart->bitmap);
  gdImageDestroy(im);
  if (chart->bitmap.size() > static_cast<size_t>(INT32_MAX)) {
    chart->bitmap.clear();
    return -1;
  }
  *data = chart->bitmap.data();
  *size = static_cast<int32_t>(chart->bitmap.size());
  return 0;
}

}  // namespace kv::gsw
