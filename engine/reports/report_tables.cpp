// Values of the table tokens of a report template (see report_tables.h).
#include "engine/reports/report_tables.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <strings.h>
#include <vector>

#include "engine/core/engine_state.h"
#include "engine/database/finishing.h"
#include "engine/database/hit_accumulation.h"
#include "engine/database/org_lookup.h"
#include "engine/database/report_ranges.h"
#include "engine/database/table_accessors.h"
#include "engine/network/title_cache.h"
#include "engine/reports/graph_specs.h"
#include "engine/reports/report_driver.h"
#include "engine/reports/section_table.h"
#include "platform/base/files.h"
#include "platform/base/paths.h"
#include "platform/gswdll32/gswdll32.h"
#include "platform/module/module.h"
#include "platform/vic32/vic32.h"

namespace vrn {

namespace {

// Text ids of the chart texts.
enum : uint32_t {
  kTextChartFailed = 5596,    // "%s" = the bitmap path
  kTextConvertFailed = 5597,  // "%s" = the bitmap path
  kTextWritingSection = 5598, // "%s" = the section name
  kTextDrawingChart = 5599,   // "%s", "%s" = section name, image file name
};

// Item records are 348 bytes in the stored database.
constexpr uint32_t kItemRecordSize = 348;
// Rows one chart shows at most; legends shown at most.
constexpr uint32_t kMaxChartRows = 50;
constexpr int kMaxLegends = 15;
constexpr size_t kLegendSize = 310;
constexpr size_t kLegendNameLimit = 297;
// The system offers no screen here; charts are sized for this width.
constexpr int kScreenWidth = 1024;

ChartSettings g_chartSettings;

// Engine-wide chart state: the open chart's handle, the word the charting
// module reports into, and the label and legend texts of the chart.
struct ChartState {
  int32_t handle = 0;
  int32_t status = 0;
  std::vector<std::string> labels;
  std::vector<std::string> legends;
};
ChartState g_chart;

bool IEq(const char* a, const char* b) { return strcasecmp(a, b) == 0; }
bool IPrefix(const char* text, const char* prefix) { return strncasecmp(text, prefix, std::strlen(prefix)) == 0; }

bool IsOneOf(const char* name, std::initializer_list<const char*> names) {
  for (const char* n : names) {
    if (IEq(name, n)) return true;
  }
  return false;
}

bool IsPageTable(const char* s) {
  return IsOneOf(s, {"TopDocuments", "TopBottom", "TopEntry", "TopExit", "TopSinglePage"});
}
bool IsPageOrFileTable(const char* s) {
  return IsPageTable(s) || IsOneOf(s, {"TopDownloads", "TopDirectory"});
}

void SetText(char* value, size_t size, const std::string& text) {
  if (size == 0) return;
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(value, text.data(), n);
  value[n] = '\0';
}

// A control value: the text (possibly empty) and the control flag.
void SetControl(char* value, size_t size, const char* text, int32_t* controlFlag) {
  SetText(value, size, text);
  if (controlFlag != nullptr) *controlFlag = 1;
}
void Drop(char* value, size_t size, int32_t* controlFlag) { SetControl(value, size, "", controlFlag); }

std::string Format(uint32_t id, const char* a, const char* b = nullptr) {
  const char* format = LoadResString(id);
  std::string text;
  // The texts are formats with "%s" arguments; anything else is taken as it is.
  const char* args[2] = {a, b};
  int next = 0;
  for (const char* p = format; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 's' && next < 2) {
      text += args[next] != nullptr ? args[next] : "";
      ++next;
      ++p;
    } else {
      text += *p;
    }
  }
  return text;
}

void Status(ReportFileCallback callback, const std::string& text) {
  if (callback != nullptr) callback(0, text.c_str(), 0);
}

std::string ItemName(const SummaryTableEntry* table, int fromEnd, uint16_t rank) {
  char name[kReportValueSize];
  GetItemName(table, fromEnd, rank, name, sizeof name);
  return name;
}

std::string Number(uint32_t value) { return std::to_string(value); }

uint32_t Kilobytes(double bytes) {
  if (!(bytes > 0)) return 0;
  const double kb = std::floor((std::floor(bytes) + 1023.0) / 1024.0);
  return kb >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(kb);
}

std::string Thousands(double value) {
  char text[32];
  FormatThousands(text, value);
  return text;
}

std::string Percent(uint32_t part, uint32_t whole) {
  char text[32];
  FormatPercentText(text, part, whole);
  return text;
}

// ---- titles ---------------------------------------------------------------------

// The page address of a page name that does not begin with the site address:
// the site address with everything after its path separator replaced by the
// name's path (both after their "scheme:" and separators).
std::string JoinSiteAddress(const std::string& site, const std::string& name) {
  std::string built = site.substr(0, 299);
  auto isSep = [](char c) { return c == '\\' || c == '/'; };
  // Site: after the first ":" and the separators that follow it, a ":\" or
  // ":/" (drive or port part) and then a separator.
  size_t colon = built.find(':');
  if (colon == std::string::npos) return built;
  size_t p = colon + 1;
  while (p < built.size() && isSep(built[p])) ++p;
  size_t drive = std::string::npos;
  for (size_t i = p; i + 1 < built.size(); ++i) {
    if (built[i] == ':' && isSep(built[i + 1])) {
      drive = i + 1;
      break;
    }
  }
  if (drive == std::string::npos) return built;
  size_t sep = std::string::npos;
  for (size_t i = drive + 1; i < built.size(); ++i) {
    if (isSep(built[i])) {
      sep = i;
      break;
    }
  }
  if (sep == std::string::npos) return built;
  // Name: the part after the first separator that follows its first ":" and
  // the separators after that ":".
  size_t nameColon = name.find(':');
  if (nameColon == std::string::npos) return built;
  size_t q = nameColon + 1;
  while (q < name.size() && isSep(name[q])) ++q;
  size_t nameSep = std::string::npos;
  for (size_t i = q; i < name.size(); ++i) {
    if (isSep(name[i])) {
      nameSep = i;
      break;
    }
  }
  if (nameSep == std::string::npos) return built;
  return (built.substr(0, sep + 1) + name.substr(nameSep + 1)).substr(0, 299);
}

// The title-extension setting: only pages whose extension is one of the
// context's title-fetch types are looked up.
bool TitleTypeAllowed(const AnalysisContext* context, const std::string& page) {
  const size_t dot = page.rfind('.');
  if (dot == std::string::npos) return false;
  std::string ext = page.substr(dot + 1);
  if (const size_t q = ext.find('?'); q != std::string::npos) ext.resize(q);
  if (ext.size() > 38) ext.resize(38);
  for (uint16_t i = 0; i < context->titleTypeCount; ++i) {
    if (context->titleTypes != nullptr && context->titleTypes[i] != nullptr && IEq(context->titleTypes[i], ext.c_str())) {
      return true;
    }
  }
  return false;
}

std::string PageTitle(AnalysisContext* context, const std::string& name, ReportFileCallback callback) {
  const std::string site(context->homePage, strnlen(context->homePage, sizeof context->homePage));
  // The name begins with the site address when they agree over the name's
  // length up to its first ":".
  const size_t colon = name.find(':');
  const size_t span = colon == std::string::npos ? name.size() : colon;
  const bool onSite = site.size() >= span && strncasecmp(site.c_str(), name.c_str(), span) == 0;
  const std::string page = onSite ? name : JoinSiteAddress(site, name);
  if (context->titleStopWord != 0) return {};
  if (g_engine.useHTMLTitleExtensions != 0 && !TitleTypeAllowed(context, page)) return {};
  char title[kReportValueSize] = {0};
  if (GetPageTitle(page.c_str(), context->HomePageUsername, context->HomePagePassword, title, sizeof title,
                   callback, &context->titleStopWord) == 0) {
    return {};
  }
  return title;
}

std::string CompanyName(AnalysisContext* context, const std::string& domain) {
  if (context->orgFile == KV_INVALID_FILE) return {};
  OrganizationRecord record{};
  if (FindOrganization(context, context->orgFileSize, 0, domain.c_str(), &record) == 1) return OrganizationName(&record);
  // Then the last two labels of the domain, once.
  const size_t last = domain.rfind('.');
  if (last == std::string::npos || last == 0) return {};
  const size_t second = domain.rfind('.', last - 1);
  if (second == std::string::npos) return {};
  if (FindOrganization(context, context->orgFileSize, 0, domain.substr(second + 1).c_str(), &record) == 1) {
    return OrganizationName(&record);
  }
  return {};
}

// True when item 0 of the table is its overflow item.
bool FirstItemIsOverflow(const SummaryTableEntry* table) {
  if (table == nullptr || table->Count == 0 || table->ItemBlock == nullptr) return false;
  NameTableEntry** items = LockTableItems(table);
  const bool overflow = items != nullptr && items[0] != nullptr && items[0]->Overflow != 0;
  UnlockTableItems(table);
  return overflow;
}

// ---- descriptions -------------------------------------------------------------

// "file:///.." names become addresses below the profile folder.
std::string FileAddress(const std::string& name) {
  if (name.compare(0, 5, "file:") != 0 || name.compare(5, 5, "///..") != 0) return name;
  const std::string& folder = ProfileDirectory();
  std::string out = name.substr(0, 8) + folder;
  if (folder.empty() || (folder.back() != '\\' && folder.back() != '/')) out += '/';
  out += name.substr(8);
  // Past "file:" every "\\" becomes "/" and every ":" (a drive's) "|".
  for (size_t i = 5; i < out.size(); ++i) {
    if (out[i] == '\\') out[i] = '/';
    if (out[i] == ':') out[i] = '|';
  }
  return out;
}

std::string PathHtml(const AnalysisContext* context, const SummaryTableEntry* table, int fromEnd, uint16_t rank) {
  char text[kPathTextBuffer];
  GetItemPathText(context, table, fromEnd, rank, text, sizeof text);
  // The trail: eight hexadecimal digits a page, the first four 0001 for a
  // form (a page requested with a query). A form reads as its page with a
  // "?", so that "/" and "/?x=1" are two steps, not one page twice.
  const std::string trail = ItemName(table, fromEnd, rank);
  std::string out;
  const char* p = text;
  int i = 1;
  size_t step = 0;
  while (*p != '\0') {
    const char* end = std::strstr(p, "\r\n");
    const std::string page = end != nullptr ? std::string(p, end) : std::string(p);
    const bool form = trail.size() >= step * 8 + 8 && trail.compare(step * 8, 4, "0001") == 0;
    ++step;
    if (!page.empty()) {
      out += i == 1 ? "<B>" : "<I>";
      out += std::to_string(i) + ". " + EscapeHtmlText(page) + (form ? "?" : "");
      out += i == 1 ? "</B>" : "</I>";
      out += "<BR>";
      ++i;
    }
    if (end == nullptr) break;
    p = end + 2;
  }
  return out;
}

// ---- charts ---------------------------------------------------------------------

template <typename Fn>
Fn Entry(KvModule module, uint32_t ordinal) {
  return reinterpret_cast<Fn>(KvGetProcOrdinal(module, ordinal));
}

struct Gsw {
  kv::gsw::OpenChartFn open;
  kv::gsw::HandleFn close;
  kv::gsw::VoidFn batch;
  kv::gsw::IntFn option11, option15;
  kv::gsw::DoubleFn widthBase, heightBase;
  kv::gsw::FontFn font;
  kv::gsw::TextFn title, itemAxis, valueAxis;
  kv::gsw::TextsFn labels, legends;
  kv::gsw::ValuesFn values;
  kv::gsw::LegendPlaceFn legendPlace;
  kv::gsw::StyleFn style;
  kv::gsw::ExportFn exportChart;
  kv::gsw::ExportBitmapFn exportBitmap;  // optional

  bool Bind(KvModule m) {
    using namespace kv::gsw;
    open = Entry<OpenChartFn>(m, kOrdOpenChart);
    close = Entry<HandleFn>(m, kOrdCloseChart);
    batch = Entry<VoidFn>(m, kOrdBatch);
    option11 = Entry<IntFn>(m, kOrdSetOption11);
    option15 = Entry<IntFn>(m, kOrdSetOption15);
    widthBase = Entry<DoubleFn>(m, kOrdWidthBase);
    heightBase = Entry<DoubleFn>(m, kOrdHeightBase);
    font = Entry<FontFn>(m, kOrdFont);
    title = Entry<TextFn>(m, kOrdTitle);
    itemAxis = Entry<TextFn>(m, kOrdItemAxis);
    valueAxis = Entry<TextFn>(m, kOrdValueAxis);
    labels = Entry<TextsFn>(m, kOrdLabels);
    legends = Entry<TextsFn>(m, kOrdLegends);
    values = Entry<ValuesFn>(m, kOrdValues);
    legendPlace = Entry<LegendPlaceFn>(m, kOrdLegendPlace);
    style = Entry<StyleFn>(m, kOrdStyle);
    exportChart = Entry<ExportFn>(m, kOrdExport);
    exportBitmap = Entry<ExportBitmapFn>(m, kOrdExportBitmap);
    return open && close && batch && option11 && option15 && widthBase && heightBase && font && title && itemAxis &&
           valueAxis && labels && legends && values && legendPlace && style && exportChart;
  }
};

struct Vic {
  kv::vic::BmpInfoFn info;
  kv::vic::AllocImageFn alloc;
  kv::vic::LoadBmpFn load;
  kv::vic::SaveGifFn gif;
  kv::vic::SaveJpgFn jpg;
  kv::vic::FreeImageFn free;
  kv::vic::BmpInfoMemFn infoMem;  // optional, with loadMem
  kv::vic::LoadBmpMemFn loadMem;
  bool Bind(KvModule m) {
    infoMem = reinterpret_cast<kv::vic::BmpInfoMemFn>(KvGetProcAddress(m, "bmpinfomem"));
    loadMem = reinterpret_cast<kv::vic::LoadBmpMemFn>(KvGetProcAddress(m, "loadbmpmem"));
    info = reinterpret_cast<kv::vic::BmpInfoFn>(KvGetProcAddress(m, "bmpinfo"));
    alloc = reinterpret_cast<kv::vic::AllocImageFn>(KvGetProcAddress(m, "allocimage"));
    load = reinterpret_cast<kv::vic::LoadBmpFn>(KvGetProcAddress(m, "loadbmp"));
    gif = reinterpret_cast<kv::vic::SaveGifFn>(KvGetProcAddress(m, "savegif"));
    jpg = reinterpret_cast<kv::vic::SaveJpgFn>(KvGetProcAddress(m, "savejpg"));
    free = reinterpret_cast<kv::vic::FreeImageFn>(KvGetProcAddress(m, "freeimage"));
    return info && alloc && load && gif && jpg && free;
  }
};

// The style and flag words of the charting module for a chart type.
void ChartStyle(const GraphSpec& spec, int32_t* style, int32_t* flags) {
  const bool d3 = spec.threeD != 0;
  const bool timeline = spec.timeline != 0;
  switch (spec.chartType) {
    case kChartStackedBars:
      *style = d3 ? 4 : 3;
      *flags = timeline ? 0x2008 : 8;
      return;
    case kChartZBars:
      if (timeline) {
        *style = 4;
        *flags = 0x408;
      } else {
        *style = d3 ? 4 : 3;
        *flags = 8;
      }
      return;
    case kChartPies:
      *style = d3 ? 2 : 1;
      *flags = 0x9800;
      return;
    case kChartAreas:
      *style = d3 ? 14 : 8;
      *flags = 12;
      return;
    case kChartLines:
      *style = d3 ? 13 : 6;
      *flags = d3 ? 12 : 0x200C;
      return;
    case kChartSideStackedBars:
      *style = d3 ? 4 : 3;
      *flags = timeline ? 0x2A08 : 0xA08;
      return;
    case kChartSideBars:
      *style = d3 ? 4 : 3;
      *flags = 0xA08;
      return;
    case kChartBars:
    default:
      *style = d3 ? 4 : 3;
      *flags = 8;
      return;
  }
}

const char* OptionText(const AnalysisContext* context, int index) {
  if (context->options == nullptr || context->options->texts[index] == nullptr) return "";
  return context->options->texts[index];
}
enum : int { kLegendTotal = 77, kLegendUserSessions = 81, kLegendPercent = 82, kLegendHits = 83, kLegendBytes = 84,
             kLegendTopItems = 85 };

// The display name of a row in a legend.
std::string RowDisplayName(const AnalysisContext* context, const char* section, const std::string& name,
                           bool timeline) {
  if (IsOneOf(section, {"TopCountries", "TopVisitors"})) return GetCountryName(context, name.c_str());
  if (IEq(section, "TopStates")) return GetStateName(context, name.c_str());
  if (IsPageOrFileTable(section) || (timeline && IEq(section, "TopForms"))) {
    // The part after the last separator; a name ending in one keeps it.
    size_t cut = name.find_last_of("\\/:");
    if (cut == std::string::npos) return name.substr(0, kLegendNameLimit);
    if (cut + 1 == name.size()) {
      const size_t before = cut == 0 ? std::string::npos : name.find_last_of("\\/:", cut - 1);
      return name.substr(before == std::string::npos ? 0 : before + 1).substr(0, kLegendNameLimit);
    }
    return name.substr(cut + 1).substr(0, kLegendNameLimit);
  }
  return name.substr(0, kLegendNameLimit);
}

struct ChartFiles {
  std::string image;   // path of the image
  std::string bitmap;  // path of the bitmap
  std::string value;   // the token's value
};

ChartFiles ChartFileNames(AnalysisContext* context) {
  const ChartSettings& settings = g_chartSettings;
  std::string base(context->outputPath, strnlen(context->outputPath, sizeof context->outputPath));
  // Cut every extension of the file name.
  for (size_t i = base.size(); i > 0; --i) {
    const char c = base[i - 1];
    if (c == '\\' || c == ':' || c == '/') break;
    if (c == '.') base.resize(i - 1);
  }
  char number[16];
  std::snprintf(number, sizeof number, "%02d.", context->chartCounter);
  ++context->chartCounter;
  base += number;
  ChartFiles files;
  // The chart module's own drawing file is a PNG picture: it is named as
  // one, so that the program reading the report knows what it holds.
  files.image = base + (settings.graphType == 0 ? "gif" : settings.graphType == 1 ? "jpg" : "png");
  files.bitmap = base + "bmp";
  if (settings.fullPath == 1) {
    files.value = files.image;
  } else {
    const size_t sep = files.image.find_last_of("\\/:");
    files.value = sep == std::string::npos ? files.image : files.image.substr(sep + 1);
  }
  return files;
}

// Width and height of the chart in pixels.
void ChartSize(const Gsw& gsw, int32_t heightPercent, double* width, double* height) {
  int screen = std::clamp(kScreenWidth, 640, 1280);
  double w = gsw.widthBase(), h = gsw.heightBase();
  switch (screen) {
    case 1024: w /= 1.5, h /= 2.5; break;
    case 1152: w /= 1.75, h /= 2.75; break;
    case 1280: w /= 2.0, h /= 3.0; break;
    default: w /= 1.33, h /= 2.0; break;
  }
  w *= 1.05;
  h *= 1.05;
  *width = w * heightPercent / 100.0;
  *height = h * heightPercent / 100.0;
}

std::vector<const char*> Pointers(const std::vector<std::string>& texts) {
  std::vector<const char*> out;
  for (const std::string& t : texts) out.push_back(t.c_str());
  return out;
}

// Draws the chart into files.bitmap and converts it. Failures are recorded in
// the summary error text.
void DrawChart(AnalysisContext* context, const char* section, SummaryTableEntry* table, uint16_t firstTotalsRow,
               const GraphSpec& spec, const ChartFiles& files, ReportFileCallback callback) {
  const std::string nativeBitmap = kv::ToNativePath(files.bitmap);
  const std::string nativeImage = kv::ToNativePath(files.image);
  KvModule gswModule = g_engine.gswStartResult == 0 ? KvLoadModule("GSWDLL32.dll") : nullptr;
  Gsw gsw{};
  if (gswModule == nullptr || !gsw.Bind(gswModule)) {
    if (gswModule != nullptr) KvFreeModule(gswModule);
    SetSummaryError(kTextChartFailed, files.bitmap.c_str());
    return;
  }

  double width = 0, height = 0;
  ChartSize(gsw, spec.height, &width, &height);
  g_chart.status = 0;
  g_chart.handle = gsw.open(0, 0, 0, 0, static_cast<int32_t>(width), static_cast<int32_t>(height), 1000.0, 4595, 259,
                            &g_chart.status);
  gsw.batch();
  gsw.option15(15);
  gsw.option11(1);
  gsw.font(2, 2, 0, 100);
  gsw.font(3, 2, 0, 100);
  gsw.font(0, 2, 32, 0);
  gsw.title(spec.title);

  const uint32_t count = table->Count;
  const bool timeline = spec.timeline != 0;
  // A stacked chart shows the sum of its parts as each stack's height: a
  // total series stacked on them would count every value twice.
  const bool stacked =
      timeline && (spec.chartType == kChartStackedBars || spec.chartType == kChartSideStackedBars);
  const bool withTotal = spec.total == 1 && !stacked;
  const bool pies = spec.chartType == kChartPies;
  const int fromEnd = IPrefix(section, "TopBottom") ? 1 : 0;
  const bool bandwidth = IEq(section, "TopBandwidth");
  // The hours and the weekdays are fixed lists in their own order: their
  // bars are named under the axis, all of them, and need no legend (which
  // would stop at its fifteenth line).
  const bool namedBars = !timeline && !pies && (IEq(section, "TopHours") || IEq(section, "TopWeekdays"));
  // Rows shown: at most the table's items and at most 50.
  std::vector<uint16_t> rows = ChartRows(spec, count);
  const int series = static_cast<int>(rows.size()) + (withTotal ? 1 : 0);
  const uint32_t allHits = SumTableHits(table, count, 0);
  const std::string totalText = OptionText(context, kLegendTotal);

  char period[kSlotLabelSize * 4] = {0};
  FormatPeriodLabel(context, period, sizeof period);
  std::vector<double> values;
  g_chart.labels.clear();
  if (!timeline) {
    // One value per series: the total first, then the rows.
    if (withTotal) {
      g_chart.labels.push_back(totalText);
      values.push_back(allHits);
    }
    for (uint16_t r : rows) {
      if (namedBars) {
        // An hour is named by its start ("09:00"), a weekday by its name.
        const std::string name = ItemName(table, fromEnd, r);
        g_chart.labels.push_back(name.substr(0, name.find('-')));
      } else {
        g_chart.labels.push_back(std::to_string(static_cast<int>(r) + 1 - firstTotalsRow) + ".");
      }
      double v = 0;
      switch (spec.valueKind) {
        case kGraphHits: v = GetItemHits(table, fromEnd, r); break;
        case kGraphPercent:
          v = allHits == 0 ? 0.0 : static_cast<double>(GetItemHits(table, fromEnd, r)) * 100.0 / allHits;
          break;
        case kGraphUsers: v = GetItemUsers(table, fromEnd, r); break;
        default:
          v = bandwidth ? (r < kTimeSlots ? context->templ.SlotBytes[r] : 0.0)
                        : Kilobytes(GetItemBytes(table, fromEnd, r));
          break;
      }
      values.push_back(v);
    }
    std::vector<const char*> labels = Pointers(g_chart.labels);
    if (!pies) gsw.labels(static_cast<int32_t>(labels.size()), labels.data());
    gsw.values(static_cast<int32_t>(values.size()), 1, values.data());
  } else {
    uint32_t slots = std::min<uint32_t>(context->slotCount, kTimeSlots);
    auto slotHasValue = [&](uint32_t s) {
      if (spec.valueKind == kGraphKilobytes) return bandwidth && context->templ.SlotBytes[s] != 0;
      for (uint16_t r : rows) {
        const uint32_t v = spec.valueKind == kGraphUsers ? GetItemSlotUsers(table, fromEnd, r, static_cast<uint16_t>(s))
                                                         : GetItemSlotHits(table, fromEnd, r, static_cast<uint16_t>(s));
        if (v != 0) return true;
      }
      return false;
    };
    // Trailing slots without a value are dropped down to one: a report of a
    // single slot's hits shows that slot, not a line falling to a slot
    // after the data.
    while (slots > 1 && !slotHasValue(slots - 1)) --slots;
    const MonthSlotState& months = MonthSlots();
    const bool monthSlots = months.twelveMonths != 0 || months.twentyFourMonths != 0;
    for (uint32_t s = 0; s < slots; ++s) {
      char label[kSlotLabelSize] = {0};
      if (monthSlots) {
        GetMonthLabel(static_cast<uint16_t>(s), context, label, sizeof label);
      } else {
        FormatSlotLabel(context, static_cast<uint16_t>(s), label, sizeof label);
      }
      g_chart.labels.push_back(label[0] != '\0' ? label : " ");
    }
    std::vector<const char*> labels = Pointers(g_chart.labels);
    if (!pies) gsw.labels(static_cast<int32_t>(labels.size()), labels.data());
    for (uint32_t s = 0; s < slots; ++s) {
      const auto slot = static_cast<uint16_t>(s);
      std::vector<double> row;
      uint32_t slotSum = 0;
      if (spec.valueKind == kGraphPercent) {
        for (uint16_t r : rows) slotSum += GetItemSlotHits(table, fromEnd, r, slot);
      }
      for (uint16_t r : rows) {
        double v = 0;
        switch (spec.valueKind) {
          case kGraphHits: v = GetItemSlotHits(table, fromEnd, r, slot); break;
          case kGraphPercent:
            v = slotSum == 0 ? 0.0 : static_cast<double>(GetItemSlotHits(table, fromEnd, r, slot)) * 100.0 / slotSum;
            break;
          case kGraphUsers: v = GetItemSlotUsers(table, fromEnd, r, slot); break;
          default:
            if (bandwidth) {
              v = context->templ.SlotBytes[s] / 1024.0;
            } else {
              v = s == 0 ? Kilobytes(GetItemBytes(table, fromEnd, r)) : 0.0;
            }
            break;
        }
        row.push_back(v);
      }
      if (withTotal) {
        double sum = 0;
        for (double v : row) sum += v;
        values.push_back(sum);
      }
      values.insert(values.end(), row.begin(), row.end());
    }
    gsw.values(static_cast<int32_t>(slots), series, values.data());
  }

  // Legends.
  g_chart.legends.clear();
  int position = 1;
  if (withTotal) {
    g_chart.legends.push_back(((!timeline ? "1. " : "") + totalText).substr(0, kLegendSize - 1));
    ++position;
  }
  for (uint16_t r : rows) {
    std::string text;
    if (!timeline) text = pies ? " " : std::to_string(position) + ". ";
    text += RowDisplayName(context, section, ItemName(table, fromEnd, r), timeline);
    g_chart.legends.push_back(text.substr(0, kLegendSize - 1));
    ++position;
  }
  gsw.legendPlace(0, 2, 100, 15, 2);
  std::vector<const char*> legends = Pointers(g_chart.legends);
  gsw.legends(namedBars ? 0 : std::min(series, kMaxLegends), legends.data());
  g_chart.legends.clear();

  // Axis labels.
  std::string valueAxis = spec.valueAxisLabel;
  if (valueAxis.empty()) {
    static constexpr int kKindLegend[4] = {kLegendHits, kLegendPercent, kLegendUserSessions, kLegendBytes};
    valueAxis = OptionText(context, kKindLegend[spec.valueKind & 3]);
  }
  std::string itemAxis = spec.itemAxisLabel;
  if (itemAxis.empty()) itemAxis = timeline ? std::string(period) : std::string(OptionText(context, kLegendTopItems));
  if (spec.chartType == kChartSideBars || spec.chartType == kChartSideStackedBars) std::swap(valueAxis, itemAxis);
  gsw.font(1, 2, 0, 100);
  if (!valueAxis.empty()) gsw.valueAxis(valueAxis.c_str());
  if (!itemAxis.empty()) gsw.itemAxis(itemAxis.c_str());

  int32_t style = 0, flags = 0;
  ChartStyle(spec, &style, &flags);
  gsw.style(style, flags, 0);

  // A picture is converted from the bitmap by the image module. Unless the
  // bitmap is kept for inspection it is handed over in memory and never
  // reaches the disk.
  KvModule vicModule = nullptr;
  Vic vic{};
  bool vicBound = false;
  if (g_chartSettings.graphType != 2) {
    vicModule = KvLoadModule("VIC32.DLL");
    vicBound = vicModule != nullptr && vic.Bind(vicModule);
  }
  const bool inMemory = g_chartSettings.graphType != 2 && g_chartSettings.debug == 0 && vicBound &&
                        vic.infoMem != nullptr && vic.loadMem != nullptr && gsw.exportBitmap != nullptr;
  const unsigned char* bitmap = nullptr;
  int32_t bitmapSize = 0;
  if (inMemory) {
    if (gsw.exportBitmap(&bitmap, &bitmapSize) != 0) {
      bitmap = nullptr;
      SetSummaryError(kTextChartFailed, files.bitmap.c_str());
    }
  } else {
    const int32_t format = g_chartSettings.graphType == 2 ? kv::gsw::kExportDrawing : kv::gsw::kExportBitmap;
    if (gsw.exportChart(0, 0, 0, 0, 0, 0, 0, 0, format, 0, nativeBitmap.c_str()) != 0) {
      SetSummaryError(kTextChartFailed, files.bitmap.c_str());
    }
  }

  if (g_chartSettings.graphType != 2) {
    int32_t result = -1;
    if (vicBound && (!inMemory || bitmap != nullptr)) {
      kv::vic::BitmapInfo info{};
      kv::vic::Image image{};
      result = inMemory ? vic.infoMem(bitmap, bitmapSize, &info) : vic.info(nativeBitmap.c_str(), &info);
      if (result == 0) {
        result = vic.alloc(&image, info.width, info.height < 0 ? -info.height : info.height, info.bitCount);
        if (result == 0) {
          result = inMemory ? vic.loadMem(bitmap, bitmapSize, &image) : vic.load(nativeBitmap.c_str(), &image);
          if (result == 0) {
            result = g_chartSettings.graphType == 0 ? vic.gif(nativeImage.c_str(), &image)
                                                    : vic.jpg(nativeImage.c_str(), &image, 50);
          }
          vic.free(&image);
        }
      }
    }
    if (vicModule != nullptr) KvFreeModule(vicModule);
    if (result != 0) SetSummaryError(kTextConvertFailed, files.bitmap.c_str());
  }

  gsw.batch();
  gsw.close(g_chart.handle);
  g_chart.handle = 0;
  g_chart.labels.clear();
  KvFreeModule(gswModule);
  Status(callback, "");

  if (g_chartSettings.debug != 0) return;  // the bitmap stays for inspection
  if (g_chartSettings.graphType == 2) {
    kv::FileMove(files.bitmap.c_str(), files.image.c_str(), true);
  } else if (!inMemory) {
    kv::FileDelete(files.bitmap.c_str());
  }
}

// The charts of each section met so far in the report being written (names
// in upper case): a section charted twice takes its second chart entry of
// the section list for the second chart.
thread_local std::map<std::string, uint16_t> t_chartsMet;

void EmitChart(AnalysisContext* context, char* value, size_t size, const char* section, const char* afterSuffix,
               SummaryTableEntry* table, uint16_t firstTotalsRow, int32_t* controlFlag, ReportFileCallback callback) {
  std::string key = section != nullptr ? section : "";
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const uint16_t occurrence = t_chartsMet[key]++;
  SetText(value, size, "");
  if (table->Count <= firstTotalsRow || afterSuffix[0] != '[') {
    Drop(value, size, controlFlag);
    return;
  }
  std::string specText(afterSuffix + 1);
  GraphSpec spec{};
  if (ParseGraphSpec(section, specText.data(), &spec, context->logKind, occurrence) == 0) {
    Drop(value, size, controlFlag);
    return;
  }
  const ChartFiles files = ChartFileNames(context);
  kv::FileDelete(files.image.c_str());
  kv::FileDelete(files.bitmap.c_str());
  if (context->documentOutput == 0 && callback != nullptr) callback(1, files.image.c_str(), 0);
  const size_t sep = files.image.find_last_of("\\/:");
  const std::string imageName = sep == std::string::npos ? files.image : files.image.substr(sep + 1);
  Status(callback, Format(kTextDrawingChart, section, imageName.c_str()));
  DrawChart(context, section, table, firstTotalsRow, spec, files, callback);
  SetText(value, size, files.value);
}

// ---- search details -------------------------------------------------------------

enum class DetailField { kItemName, kDetailName, kHits, kPercent, kUsers };

struct DetailToken {
  const char* name;
  DetailField field;
};

constexpr DetailToken kDetailTokens[] = {
    {"TopSearchEnginesKeywordDetailEngineName", DetailField::kItemName},
    {"TopSearchEnginesKeywordDetailKeywordName", DetailField::kDetailName},
    {"TopSearchEnginesKeywordDetailHits", DetailField::kHits},
    {"TopSearchEnginesKeywordDetailAsPercent", DetailField::kPercent},
    {"TopSearchEnginesKeywordDetailUsers", DetailField::kUsers},
    {"TopSearchKeywordsEngineDetailKeywordName", DetailField::kItemName},
    {"TopSearchKeywordsEngineDetailEngineName", DetailField::kDetailName},
    {"TopSearchKeywordsEngineDetailHits", DetailField::kHits},
    {"TopSearchKeywordsEngineDetailAsPercent", DetailField::kPercent},
    {"TopSearchKeywordsEngineDetailUsers", DetailField::kUsers},
};

// True when the token is one of the search detail tokens (value written).
bool EmitSearchDetail(AnalysisContext* context, char* value, size_t size, const char* token,
                      SummaryTableEntry* table, int32_t* controlFlag) {
  const DetailToken* found = nullptr;
  for (const DetailToken& d : kDetailTokens) {
    if (IPrefix(token, d.name)) {
      found = &d;
      break;
    }
  }
  if (found == nullptr) return false;
  const uint16_t item = ParseRowIndex(token);
  const uint16_t detail = ParseColumnIndex(token);
  char text[kReportValueSize] = {0};
  switch (found->field) {
    case DetailField::kItemName:
      GetItemNameSortDetails(context, table, item, detail, text, sizeof text);
      if (detail != 0) {
        SetText(value, size, "");
      } else if (text[0] == '\0') {
        Drop(value, size, controlFlag);
      } else {
        SetText(value, size, EscapeHtmlText(text, size - 1));
      }
      return true;
    case DetailField::kDetailName:
      GetDetailEntryText(context, table, item, detail, text, sizeof text);
      if (text[0] == '\0') {
        Drop(value, size, controlFlag);
      } else {
        SetText(value, size, EscapeHtmlText(text, size - 1));
      }
      return true;
    case DetailField::kHits:
    case DetailField::kPercent:
    case DetailField::kUsers: {
      const uint32_t n = found->field == DetailField::kUsers ? GetDetailEntrySecondCount(table, item, detail)
                                                             : GetDetailEntryCount(table, item, detail);
      if (n == 0) {
        Drop(value, size, controlFlag);
      } else if (found->field == DetailField::kPercent) {
        SetText(value, size, Percent(n, WholeTableHits(table)));
      } else {
        SetText(value, size, Number(n));
      }
      return true;
    }
  }
  return true;
}

}  // namespace

ChartSettings& GetChartSettings() { return g_chartSettings; }

namespace {
std::atomic<uint64_t> g_tableSumsEpoch{1};
}  // namespace

void ForgetTableSums() { g_tableSumsEpoch.fetch_add(1, std::memory_order_relaxed); }

void ResetChartOccurrences() {
  t_chartsMet.clear();
  ForgetTableSums();
}

uint32_t WholeTableHits(const SummaryTableEntry* table) {
  struct Known {
    uint64_t epoch = 0;
    const SummaryTableEntry* table = nullptr;
    NameTableEntry* const* items = nullptr;
    uint32_t count = 0;
    uint32_t hits = 0;
  };
  thread_local Known known;
  if (table == nullptr) return 0;
  const uint64_t epoch = g_tableSumsEpoch.load(std::memory_order_relaxed);
  if (known.epoch != epoch || known.table != table || known.items != table->Items || known.count != table->Count) {
    known = Known{epoch, table, table->Items, table->Count, SumTableHits(table, table->Count, 0)};
  }
  return known.hits;
}

std::vector<uint16_t> ChartRows(const GraphSpec& spec, uint32_t itemCount) {
  std::vector<uint16_t> rows;
  if (itemCount == 0) return rows;
  const uint64_t first = spec.firstRow;
  uint64_t last = std::min<uint64_t>(spec.lastRow, first + itemCount - 1);
  last = std::min<uint64_t>(last, first + kMaxChartRows - 1);
  for (uint64_t r = first; r <= last && r <= 0xFFFF; ++r) rows.push_back(static_cast<uint16_t>(r));
  return rows;
}

SummaryTableEntry* GetTableDescriptor(AnalysisContext* context, int index) {
  if (context == nullptr || context->templ.TopTablesPtr == nullptr || index < 0 ||
      static_cast<uint32_t>(index) >= context->templ.TopTablesCount) {
    return nullptr;
  }
  return context->templ.TopTablesPtr + index;
}

int32_t EmitReportTable(AnalysisContext* context, char* value, size_t size, const char* token,
                        const char* sectionName, SummaryTableEntry* table, int sectionIndex,
                        uint16_t firstTotalsRow, int32_t* controlFlag, ReportFileCallback callback) {
  if (value == nullptr || size == 0) return 0;
  value[0] = '\0';
  if (context == nullptr || token == nullptr || sectionName == nullptr) return 0;
  Status(callback, Format(kTextWritingSection, sectionName));

  const size_t nameLength = std::strlen(sectionName);
  if (strncasecmp(token, sectionName, nameLength) != 0) return 0;
  const char* suffix = token + nameLength;
  SectionTableEntry* sections = GetSectionTable();
  const SectionTableEntry* entry =
      (sections != nullptr && sectionIndex >= 0 && sectionIndex < kItemTableCount) ? &sections[sectionIndex] : nullptr;
  const bool sectionEmpty = entry != nullptr && entry->empty == 1;

  if (IPrefix(suffix, "BeginSection")) return SetControl(value, size, "%%BookMark%%", controlFlag), 0;
  if (IPrefix(suffix, "EndSection")) {
    return SetControl(value, size, sectionEmpty ? "%%Remove%%" : "%%Keep%%", controlFlag), 0;
  }
  if (IPrefix(suffix, "BeginChapter")) return SetControl(value, size, "%%BookMarkChapter%%", controlFlag), 0;
  if (IPrefix(suffix, "EndChapter")) {
    return SetControl(value, size, sectionEmpty ? "%%RemoveChapter%%" : "%%Keep%%", controlFlag), 0;
  }
  if (table == nullptr) return 0;  // nothing more to show without the table
  // Totals and chart numbers leave out item 0 only when it is the table's
  // overflow item ("Others"); a table without one starts with a real item.
  if (firstTotalsRow != 0 && !FirstItemIsOverflow(table)) firstTotalsRow = 0;

  const int fromEnd = IPrefix(token, "TopBottom") ? 1 : 0;
  const uint16_t row = ParseRowIndex(token);
  const std::string name = ItemName(table, fromEnd, row);
  const bool exists = !name.empty();
  auto countCell = [&](uint32_t n) {
    if (n != 0 || exists) {
      SetText(value, size, Number(n));
    } else {
      Drop(value, size, controlFlag);
    }
  };
  auto textCell = [&](const std::string& text) {
    if (text.empty()) {
      Drop(value, size, controlFlag);
    } else {
      SetText(value, size, text);
    }
  };
  auto totalsEnd = [&]() -> uint32_t { return (entry != nullptr ? entry->maxRow : 0) + 1; };
  // Names, titles and addresses come from the log (or from the sites it
  // names): they are text, never markup. Every output kind is an HTML
  // document (a text report lacks only the frame page; a document report
  // is HTML that an office program opens), so they are escaped in all.
  auto logText = [&](const std::string& text) { return EscapeHtmlText(text, size - 1); };

  if (IPrefix(suffix, "Title")) {
    if (!exists) return Drop(value, size, controlFlag), 0;
    if (IsPageTable(sectionName)) {
      SetText(value, size, logText(PageTitle(context, name, callback)));
    } else if (IEq(sectionName, "TopCompanies")) {
      SetText(value, size, logText(CompanyName(context, name)));
    } else {
      SetText(value, size, logText(name));
    }
    return 0;
  }
  if (EmitSearchDetail(context, value, size, token, table, controlFlag)) return 0;
  if (IPrefix(suffix, "Desc")) {
    if (!exists) return Drop(value, size, controlFlag), 0;
    if (IsOneOf(sectionName, {"TopCountries", "TopVisitors"})) {
      textCell(logText(GetCountryName(context, name.c_str())));
    } else if (IEq(sectionName, "TopStates")) {
      textCell(logText(GetStateName(context, name.c_str())));
    } else if (IEq(sectionName, "TopPaths")) {
      char text[kPathTextBuffer];
      GetItemPathText(context, table, fromEnd, row, text, sizeof text);
      textCell(logText(text));
    } else if (IsPageOrFileTable(sectionName)) {
      textCell(logText(FileAddress(name)));
    } else {
      textCell(logText(name));
    }
    return 0;
  }
  if (IPrefix(suffix, "Path")) return textCell(PathHtml(context, table, fromEnd, row)), 0;
  if (IPrefix(suffix, "Hits")) return countCell(GetItemHits(table, fromEnd, row)), 0;
  if (IPrefix(suffix, "AsPercent")) {
    const uint32_t hits = GetItemHits(table, fromEnd, row);
    if (hits != 0 || exists) {
      SetText(value, size, Percent(hits, WholeTableHits(table)));
    } else {
      Drop(value, size, controlFlag);
    }
    return 0;
  }
  if (IPrefix(suffix, "Users")) return countCell(GetItemUsers(table, fromEnd, row)), 0;
  if (IPrefix(suffix, "Time")) {
    const uint32_t t = GetItemAverageTime(table, fromEnd, row);
    if (t == 0) return Drop(value, size, controlFlag), 0;
    char text[48];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", t / 3600, (t / 60) % 60, t % 60);
    SetText(value, size, text);
    return 0;
  }
  // The totals row sums the rows the section shows: ranks from the top for
  // a top list, the last items of the table for the bottom list.
  uint32_t sumFrom = firstTotalsRow;
  uint32_t sumTo = totalsEnd();
  if (fromEnd == 1) {
    sumTo = table->Count;
    sumFrom = table->Count > totalsEnd() ? table->Count - totalsEnd() : 0;
  }
  if (IPrefix(suffix, "TotalHits")) return SetText(value, size, Number(SumTableHits(table, sumTo, sumFrom))), 0;
  if (IPrefix(suffix, "TotalUsers")) return SetText(value, size, Number(SumTableUsers(table, sumTo, sumFrom))), 0;
  if (IPrefix(suffix, "TotalAsPercent")) {
    return SetText(value, size, Percent(SumTableHits(table, sumTo, sumFrom), WholeTableHits(table))), 0;
  }
  auto bytesCell = [&]() {
    const uint32_t kb = Kilobytes(GetItemBytes(table, fromEnd, row));
    if (kb != 0) {
      SetText(value, size, Thousands(kb));
    } else if (exists) {
      SetText(value, size, "0");
    } else {
      Drop(value, size, controlFlag);
    }
  };
  if (IPrefix(suffix, "Bytes")) return bytesCell(), 0;
  if (IPrefix(suffix, "TotalBytes")) {
    return SetText(value, size, Thousands(Kilobytes(SumTableBytes(table, sumTo, sumFrom)))), 0;
  }
  if (IPrefix(suffix, "NonCachedAsPercent")) {
    const uint32_t hits = GetItemHits(table, fromEnd, row);
    const uint32_t nonCached = GetItemNonCachedHits(table, fromEnd, row);
    if (nonCached != 0 || exists) {
      SetText(value, size, Percent(nonCached, hits));
    } else {
      Drop(value, size, controlFlag);
    }
    return 0;
  }
  if (IPrefix(suffix, "NonCachedBytes")) return bytesCell(), 0;
  if (IPrefix(suffix, "DebugTableName")) return SetText(value, size, sectionName), 0;
  if (IPrefix(suffix, "DebugElemCount")) return SetText(value, size, Number(table->Count)), 0;
  if (IPrefix(suffix, "DebugElemTopCount")) return SetText(value, size, Number(table->TopCount)), 0;
  if (IPrefix(suffix, "DebugElemDelCount")) return SetText(value, size, Number(table->DeleteCount)), 0;
  if (IPrefix(suffix, "DebugElemNameSize")) {
    uint32_t sum = 0;
    if (table->ItemBlock != nullptr) {
      NameTableEntry** items = LockTableItems(table);
      for (uint32_t i = 0; items != nullptr && i < table->Count; ++i) {
        if (items[i] != nullptr && items[i]->String != nullptr) {
          sum += static_cast<uint32_t>(std::strlen(items[i]->String)) + 1;
        }
      }
      UnlockTableItems(table);
    }
    return SetText(value, size, Number(sum)), 0;
  }
  if (IPrefix(suffix, "DebugElemSize")) {
    return SetText(value, size, Number(table->ItemBlock != nullptr ? table->Count * kItemRecordSize : 0)), 0;
  }
  if (IPrefix(suffix, "Graph")) {
    EmitChart(context, value, size, sectionName, suffix + 5, table, firstTotalsRow, controlFlag, callback);
    return 0;
  }
  if (IPrefix(suffix, "NoeditGraph")) {
    EmitChart(context, value, size, sectionName, suffix + 11, table, firstTotalsRow, controlFlag, callback);
    return 0;
  }
  return 0;  // any other suffix: nothing is written
}

}  // namespace vrn
