// The charting module as the engine reaches it: loaded by name from the
// program folder, called by ordinal.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/module/module.h"

namespace {

using StartFn = int32_t (*)(const char*, const char*);
using CallFn = int32_t (*)(void);

class GswModule : public testing::Test {
 protected:
  void SetUp() override {
    module_ = KvLoadModule("GSWDLL32.dll");
    ASSERT_NE(module_, nullptr) << "GSWDLL32.so not found in the program folder";
    start_ = reinterpret_cast<StartFn>(KvGetProcOrdinal(module_, 1));
    stop_ = reinterpret_cast<CallFn>(KvGetProcOrdinal(module_, 2));
    open_ = reinterpret_cast<CallFn>(KvGetProcOrdinal(module_, 124));
    close_ = reinterpret_cast<CallFn>(KvGetProcOrdinal(module_, 125));
  }
  void TearDown() override {
    if (module_ != nullptr) KvFreeModule(module_);
  }
  KvModule module_ = nullptr;
  StartFn start_ = nullptr;
  CallFn stop_ = nullptr, open_ = nullptr, close_ = nullptr;
};

TEST_F(GswModule, StartOpenCloseStopInOrder) {
  ASSERT_NE(start_, nullptr);
  ASSERT_NE(stop_, nullptr);
  ASSERT_NE(open_, nullptr);
  ASSERT_NE(close_, nullptr);
  EXPECT_EQ(KvGetProcOrdinal(module_, 3), nullptr) << "only the listed ordinals are offered";

  EXPECT_EQ(open_(), -1) << "no session before the server starts";
  EXPECT_EQ(start_("", "C"), 0);
  EXPECT_EQ(open_(), 0);
  EXPECT_EQ(close_(), 0);
  EXPECT_EQ(close_(), -1) << "no second close of one session";
  EXPECT_EQ(stop_(), 0);
  EXPECT_EQ(stop_(), -1) << "not running any more";
}

}  // namespace

// ---- drawing --------------------------------------------------------------------

#include <gd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/gswdll32/gswdll32.h"

namespace {

using namespace kv::gsw;

template <typename Fn>
Fn At(KvModule m, uint32_t ordinal) {
  return reinterpret_cast<Fn>(KvGetProcOrdinal(m, ordinal));
}

class GswChart : public GswModule {
 protected:
  void SetUp() override {
    GswModule::SetUp();
    ASSERT_NE(module_, nullptr);
    char pattern[] = "/tmp/gswchartXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string& f : files_) std::remove(f.c_str());
    rmdir(dir_.c_str());
    GswModule::TearDown();
  }
  std::string File(const char* name) {
    files_.push_back(dir_ + "/" + name);
    return files_.back();
  }
  // Opens a chart of width x height and gives it values, labels and legends.
  int32_t Open(int32_t width, int32_t height) {
    int32_t status = -7;
    const int32_t handle = At<OpenChartFn>(module_, kOrdOpenChart)(0, 0, 0, 0, width, height, 1000.0, 4595, 259, &status);
    EXPECT_EQ(status, 0);
    return handle;
  }
  int32_t Export(int32_t format, const std::string& path) {
    return At<ExportFn>(module_, kOrdExport)(0, 0, 0, 0, 0, 0, 0, 0, format, 0, path.c_str());
  }
  std::string dir_;
  std::vector<std::string> files_;
};

gdImagePtr ReadImage(const std::string& path, bool png) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return nullptr;
  gdImagePtr im = png ? gdImageCreateFromPng(in) : gdImageCreateFromBmp(in);
  std::fclose(in);
  return im;
}

bool IsWhite(gdImagePtr im, int x, int y) {
  const int c = gdImageGetTrueColorPixel(im, x, y);
  return gdTrueColorGetRed(c) == 255 && gdTrueColorGetGreen(c) == 255 && gdTrueColorGetBlue(c) == 255;
}

// Counts pixels of the first palette colour (the first series) in the image.
int FirstSeriesPixels(gdImagePtr im) {
  int n = 0;
  for (int y = 0; y < gdImageSY(im); ++y) {
    for (int x = 0; x < gdImageSX(im); ++x) {
      const int c = gdImageGetTrueColorPixel(im, x, y);
      if (gdTrueColorGetRed(c) == 0x1f && gdTrueColorGetGreen(c) == 0x4e && gdTrueColorGetBlue(c) == 0xc8) ++n;
    }
  }
  return n;
}

TEST_F(GswChart, BarChartExportsBitmapOfTheOpenedSize) {
  EXPECT_EQ(At<DoubleFn>(module_, kOrdWidthBase)(), 960.0);
  EXPECT_EQ(At<DoubleFn>(module_, kOrdHeightBase)(), 1000.0);
  const int32_t handle = Open(320, 200);
  ASSERT_GT(handle, 0);
  const double values[] = {10, 40, 25};
  const char* labels[] = {"1.", "2.", "3."};
  const char* legends[] = {"1. /index.htm", "2. /a.htm", "3. /b.htm"};
  EXPECT_EQ(At<TextFn>(module_, kOrdTitle)("Requests"), 0);
  EXPECT_EQ(At<TextsFn>(module_, kOrdLabels)(3, labels), 0);
  EXPECT_EQ(At<ValuesFn>(module_, kOrdValues)(3, 1, values), 0);
  EXPECT_EQ(At<TextsFn>(module_, kOrdLegends)(3, legends), 0);
  EXPECT_EQ(At<StyleFn>(module_, kOrdStyle)(3, 8, 0), 0);
  const std::string bmp = File("c.bmp");
  ASSERT_EQ(Export(kExportBitmap, bmp), 0);
  gdImagePtr im = ReadImage(bmp, false);
  ASSERT_NE(im, nullptr);
  EXPECT_EQ(gdImageSX(im), 320);
  EXPECT_EQ(gdImageSY(im), 200);
  EXPECT_TRUE(IsWhite(im, 0, 0));
  EXPECT_GT(FirstSeriesPixels(im), 20) << "the first bar is drawn in the first series colour";
  gdImageDestroy(im);

  // Exported to memory: the bytes of the bitmap file, held until the next
  // such export or the chart's close.
  const unsigned char* data = nullptr;
  int32_t size = 0;
  ASSERT_EQ(At<ExportBitmapFn>(module_, kOrdExportBitmap)(&data, &size), 0);
  std::string file;
  {
    FILE* in = std::fopen(bmp.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    int c;
    while ((c = std::fgetc(in)) != EOF) file.push_back(static_cast<char>(c));
    std::fclose(in);
  }
  ASSERT_NE(data, nullptr);
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(size)) == file)
      << size << " bytes in memory, " << file.size() << " in the file";

  // The drawing file is a PNG of the same chart.
  const std::string drawing = File("c.wmf");
  ASSERT_EQ(Export(kExportDrawing, drawing), 0);
  im = ReadImage(drawing, true);
  ASSERT_NE(im, nullptr);
  EXPECT_EQ(gdImageSX(im), 320);
  gdImageDestroy(im);
  EXPECT_EQ(At<HandleFn>(module_, kOrdCloseChart)(handle), 0);
  EXPECT_EQ(At<HandleFn>(module_, kOrdCloseChart)(handle), -1) << "closed once";
}

TEST_F(GswChart, BitmapsAreLaidOutAsLibgdWritesThem) {
  // Every row padding: the exported bytes are what libgd's own bitmap writer
  // makes of the same pixels.
  for (int32_t width : {201, 202, 203, 204}) {
    SCOPED_TRACE(width);
    const int32_t handle = Open(width, 120);
    const double values[] = {3, 9, 4};
    ASSERT_EQ(At<ValuesFn>(module_, kOrdValues)(3, 1, values), 0);
    ASSERT_EQ(At<TextFn>(module_, kOrdTitle)("Pages"), 0);
    const unsigned char* data = nullptr;
    int32_t size = 0;
    ASSERT_EQ(At<ExportBitmapFn>(module_, kOrdExportBitmap)(&data, &size), 0);
    gdImagePtr im = gdImageCreateFromBmpPtr(size, const_cast<unsigned char*>(data));
    ASSERT_NE(im, nullptr);
    int expectedSize = 0;
    void* expected = gdImageBmpPtr(im, &expectedSize, 0);
    gdImageDestroy(im);
    EXPECT_TRUE(expectedSize == size && std::memcmp(expected, data, static_cast<size_t>(size)) == 0);
    gdFree(expected);
    const std::string bmp = File("w.bmp");
    ASSERT_EQ(Export(kExportBitmap, bmp), 0);
    FILE* in = std::fopen(bmp.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    std::string file;
    int c;
    while ((c = std::fgetc(in)) != EOF) file.push_back(static_cast<char>(c));
    std::fclose(in);
    EXPECT_TRUE(file == std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(size)));
    At<HandleFn>(module_, kOrdCloseChart)(handle);
  }
}

TEST_F(GswChart, EveryStyleDrawsWithoutFault) {
  const double values[] = {1, 2, 3, 4, 0, 6};  // 3 slots x 2 series
  const struct { int32_t style, flags; } styles[] = {{3, 0x2008}, {4, 8}, {4, 0x408}, {1, 0x9800}, {2, 0x9800},
                                                     {8, 12},     {14, 12}, {13, 12}, {6, 0x200C}, {4, 0x2A08},
                                                     {3, 0xA08}};
  for (const auto& s : styles) {
    SCOPED_TRACE(s.style);
    const int32_t handle = Open(200, 150);
    ASSERT_EQ(At<ValuesFn>(module_, kOrdValues)(3, 2, values), 0);
    ASSERT_EQ(At<StyleFn>(module_, kOrdStyle)(s.style, s.flags, 0), 0);
    ASSERT_EQ(At<TextFn>(module_, kOrdValueAxis)("Hits"), 0);
    ASSERT_EQ(At<TextFn>(module_, kOrdItemAxis)("Hours"), 0);
    const std::string bmp = File("s.bmp");
    ASSERT_EQ(Export(kExportBitmap, bmp), 0);
    gdImagePtr im = ReadImage(bmp, false);
    ASSERT_NE(im, nullptr);
    EXPECT_GT(FirstSeriesPixels(im), 0);
    gdImageDestroy(im);
    At<HandleFn>(module_, kOrdCloseChart)(handle);
  }
}

// The record of a drawn chart (KV_CHART_VALUES): where labels, points and
// ticks went.
struct DrawnRecord {
  std::vector<int> points;
  std::vector<std::pair<int, std::string>> labels;
  std::vector<std::string> ticks;
};

// A small reader of the fields the test needs from the record's one line.
DrawnRecord ReadRecord(const std::string& line) {
  DrawnRecord r;
  auto field = [&](const char* name) {
    const size_t at = line.find(std::string("\"") + name + "\":[");
    return at == std::string::npos ? std::string() : line.substr(at + std::strlen(name) + 4);
  };
  std::string p = field("points");
  for (size_t i = 0; i < p.size() && p[i] != ']';) {
    size_t used = 0;
    r.points.push_back(std::stoi(p.substr(i), &used));
    i += used;
    if (p[i] == ',') ++i;
  }
  auto texts = [](const std::string& t, std::vector<std::string>* out) {
    size_t i = 0;
    while (i < t.size() && t[i] != ']') {
      const size_t open = t.find('"', i);
      const size_t close = t.find('"', open + 1);
      out->push_back(t.substr(open + 1, close - open - 1));
      i = close + 1;
      if (t[i] == ',') ++i;
    }
  };
  texts(field("ticks"), &r.ticks);
  std::string l = field("labelsDrawn");
  for (size_t i = 0; i < l.size() && l[i] == '[';) {
    size_t used = 0;
    const int x = std::stoi(l.substr(i + 1), &used);
    const size_t open = l.find('"', i);
    const size_t close = l.find('"', open + 1);
    r.labels.emplace_back(x, l.substr(open + 1, close - open - 1));
    i = close + 2;
    if (i < l.size() && l[i] == ',') ++i;
  }
  return r;
}

TEST_F(GswChart, LabelsStandWholeOnTheirPointsAndCountsHaveWholeTicks) {
  const std::string record = File("drawn.json");
  setenv("KV_CHART_VALUES", record.c_str(), 1);
  std::vector<std::string> days;
  for (int d = 1; d <= 31; ++d) days.push_back("Jan " + std::to_string(d));
  std::vector<const char*> labels;
  for (const std::string& d : days) labels.push_back(d.c_str());
  std::vector<double> visits(31);
  for (int d = 0; d < 31; ++d) visits[d] = d == 17 ? 703 : 100 + d;
  const struct {
    int32_t style, flags;
  } kinds[] = {{6, 0x200C}, {13, 12}, {8, 12}, {3, 8}};
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.style);
    std::remove(record.c_str());
    const int32_t handle = Open(320, 200);
    ASSERT_EQ(At<TextsFn>(module_, kOrdLabels)(31, labels.data()), 0);
    ASSERT_EQ(At<ValuesFn>(module_, kOrdValues)(31, 1, visits.data()), 0);
    ASSERT_EQ(At<StyleFn>(module_, kOrdStyle)(k.style, k.flags, 0), 0);
    ASSERT_EQ(At<TextFn>(module_, kOrdValueAxis)("Visits"), 0);
    ASSERT_EQ(Export(kExportBitmap, File("l.bmp")), 0);
    At<HandleFn>(module_, kOrdCloseChart)(handle);
    std::FILE* in = std::fopen(record.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    std::string line;
    for (int c; (c = std::fgetc(in)) != EOF;) line.push_back(static_cast<char>(c));
    std::fclose(in);
    const DrawnRecord r = ReadRecord(line);
    ASSERT_EQ(r.points.size(), 31u);
    ASSERT_FALSE(r.labels.empty());
    std::set<std::string> seen;
    for (const auto& [x, text] : r.labels) {
      EXPECT_NE(std::find(r.points.begin(), r.points.end(), x), r.points.end()) << text << " is off its point";
      EXPECT_NE(std::find(days.begin(), days.end(), text), days.end()) << text << " is cut";
      EXPECT_TRUE(seen.insert(text).second) << text << " drawn twice";
    }
    ASSERT_EQ(r.ticks.size(), 5u);
    for (const std::string& t : r.ticks) EXPECT_EQ(t.find('.'), std::string::npos) << t;
  }
  unsetenv("KV_CHART_VALUES");
}

TEST_F(GswChart, BadRequestsAreRefused) {
  int32_t status = 0;
  auto open = At<OpenChartFn>(module_, kOrdOpenChart);
  EXPECT_EQ(open(0, 0, 0, 0, 0, 100, 1000.0, 0, 0, &status), 0);
  EXPECT_EQ(status, -1);
  // Without an open chart nothing is set or exported.
  EXPECT_EQ(At<TextFn>(module_, kOrdTitle)("x"), -1);
  EXPECT_EQ(Export(kExportBitmap, File("none.bmp")), -1);
  const unsigned char* data = reinterpret_cast<const unsigned char*>("x");
  int32_t size = 5;
  EXPECT_EQ(At<ExportBitmapFn>(module_, kOrdExportBitmap)(&data, &size), -1);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(At<ExportBitmapFn>(module_, kOrdExportBitmap)(nullptr, &size), -1);

  const int32_t handle = Open(100000, 50);  // larger than the module draws
  const double one = 1;
  EXPECT_EQ(At<ValuesFn>(module_, kOrdValues)(-1, 1, &one), -1);
  EXPECT_EQ(At<ValuesFn>(module_, kOrdValues)(1 << 16, 1 << 16, &one), -1);
  EXPECT_EQ(At<ValuesFn>(module_, kOrdValues)(2, 1, nullptr), -1);
  EXPECT_EQ(At<TextsFn>(module_, kOrdLegends)(2, nullptr), -1);
  const char* withNull[] = {"a", nullptr};
  EXPECT_EQ(At<TextsFn>(module_, kOrdLegends)(2, withNull), 0);
  EXPECT_EQ(Export(3, File("bad.bmp")), -1) << "unknown format";
  EXPECT_EQ(Export(kExportBitmap, dir_ + "/missing/c.bmp"), -1) << "folder does not exist";
  const std::string bmp = File("wide.bmp");
  ASSERT_EQ(Export(kExportBitmap, bmp), 0);
  gdImagePtr im = ReadImage(bmp, false);
  ASSERT_NE(im, nullptr);
  EXPECT_EQ(gdImageSX(im), kMaxChartSide);
  EXPECT_EQ(gdImageSY(im), 50);
  gdImageDestroy(im);
  At<HandleFn>(module_, kOrdCloseChart)(handle);
}

}  // namespace
