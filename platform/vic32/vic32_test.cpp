// The image module as the engine reaches it: loaded by name from the program
// folder, its entries by name. Images are checked by decoding them again.
#include <gtest/gtest.h>

#include <gd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/module/module.h"
#include "platform/vic32/vic32.h"

namespace {

using namespace kv::vic;

class Vic32 : public testing::Test {
 protected:
  void SetUp() override {
    module_ = KvLoadModule("VIC32.DLL");
    ASSERT_NE(module_, nullptr) << "VIC32.so not found in the program folder";
    info_ = reinterpret_cast<BmpInfoFn>(KvGetProcAddress(module_, "bmpinfo"));
    alloc_ = reinterpret_cast<AllocImageFn>(KvGetProcAddress(module_, "allocimage"));
    load_ = reinterpret_cast<LoadBmpFn>(KvGetProcAddress(module_, "loadbmp"));
    gif_ = reinterpret_cast<SaveGifFn>(KvGetProcAddress(module_, "savegif"));
    jpg_ = reinterpret_cast<SaveJpgFn>(KvGetProcAddress(module_, "savejpg"));
    free_ = reinterpret_cast<FreeImageFn>(KvGetProcAddress(module_, "freeimage"));
    infoMem_ = reinterpret_cast<BmpInfoMemFn>(KvGetProcAddress(module_, "bmpinfomem"));
    loadMem_ = reinterpret_cast<LoadBmpMemFn>(KvGetProcAddress(module_, "loadbmpmem"));
    ASSERT_TRUE(info_ && alloc_ && load_ && gif_ && jpg_ && free_ && infoMem_ && loadMem_);
    char pattern[] = "/tmp/vic32XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string& f : files_) std::remove(f.c_str());
    if (!dir_.empty()) rmdir(dir_.c_str());
    if (module_ != nullptr) KvFreeModule(module_);
  }
  std::string File(const char* name) {
    files_.push_back(dir_ + "/" + name);
    return files_.back();
  }
  // A 40 x 30 bitmap: red left half, blue right half, a green bottom row.
  std::string WriteBitmap(const char* name) {
    gdImagePtr im = gdImageCreateTrueColor(40, 30);
    gdImageFilledRectangle(im, 0, 0, 19, 29, gdTrueColor(255, 0, 0));
    gdImageFilledRectangle(im, 20, 0, 39, 29, gdTrueColor(0, 0, 255));
    gdImageLine(im, 0, 29, 39, 29, gdTrueColor(0, 255, 0));
    const std::string path = File(name);
    FILE* out = std::fopen(path.c_str(), "wb");
    gdImageBmp(im, out, 0);
    std::fclose(out);
    gdImageDestroy(im);
    return path;
  }
  void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    FILE* out = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
  }

  KvModule module_ = nullptr;
  BmpInfoFn info_ = nullptr;
  AllocImageFn alloc_ = nullptr;
  LoadBmpFn load_ = nullptr;
  SaveGifFn gif_ = nullptr;
  SaveJpgFn jpg_ = nullptr;
  FreeImageFn free_ = nullptr;
  BmpInfoMemFn infoMem_ = nullptr;
  LoadBmpMemFn loadMem_ = nullptr;
  std::string dir_;
  std::vector<std::string> files_;
};

gdImagePtr Decode(const std::string& path, bool gif) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return nullptr;
  gdImagePtr im = gif ? gdImageCreateFromGif(in) : gdImageCreateFromJpeg(in);
  std::fclose(in);
  return im;
}

// Colour near (r, g, b) within tolerance (JPEG is lossy).
void ExpectColour(gdImagePtr im, int x, int y, int r, int g, int b, int tolerance) {
  const int c = gdImageTrueColor(im) ? gdImageGetTrueColorPixel(im, x, y) : gdImageGetPixel(im, x, y);
  const int pr = gdImageTrueColor(im) ? gdTrueColorGetRed(c) : gdImageRed(im, c);
  const int pg = gdImageTrueColor(im) ? gdTrueColorGetGreen(c) : gdImageGreen(im, c);
  const int pb = gdImageTrueColor(im) ? gdTrueColorGetBlue(c) : gdImageBlue(im, c);
  EXPECT_NEAR(pr, r, tolerance) << x << "," << y;
  EXPECT_NEAR(pg, g, tolerance) << x << "," << y;
  EXPECT_NEAR(pb, b, tolerance) << x << "," << y;
}

TEST_F(Vic32, BitmapBecomesGifAndJpeg) {
  const std::string bmp = WriteBitmap("chart.bmp");
  BitmapInfo info{};
  ASSERT_EQ(info_(bmp.c_str(), &info), kVicOk);
  EXPECT_EQ(info.width, 40);
  EXPECT_EQ(info.height, 30);
  EXPECT_EQ(info.bitCount, 24);
  Image image{};
  ASSERT_EQ(alloc_(&image, info.width, info.height, info.bitCount), kVicOk);
  ASSERT_EQ(load_(bmp.c_str(), &image), kVicOk);

  const std::string gifPath = File("chart.gif");
  ASSERT_EQ(gif_(gifPath.c_str(), &image), kVicOk);
  const std::string jpgPath = File("chart.jpg");
  ASSERT_EQ(jpg_(jpgPath.c_str(), &image, 50), kVicOk);
  free_(&image);
  EXPECT_EQ(image.pixels, nullptr);

  for (bool gif : {true, false}) {
    SCOPED_TRACE(gif ? "gif" : "jpeg");
    gdImagePtr im = Decode(gif ? gifPath : jpgPath, gif);
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(gdImageSX(im), 40);
    EXPECT_EQ(gdImageSY(im), 30);
    const int tolerance = gif ? 0 : 40;
    ExpectColour(im, 5, 5, 255, 0, 0, tolerance);
    ExpectColour(im, 34, 5, 0, 0, 255, tolerance);
    if (gif) ExpectColour(im, 10, 29, 0, 255, 0, 0);
    gdImageDestroy(im);
  }
}

TEST_F(Vic32, BitmapBytesInMemoryReadAsTheFileDoes) {
  const std::string bmp = WriteBitmap("mem.bmp");
  std::vector<unsigned char> bytes;
  {
    FILE* in = std::fopen(bmp.c_str(), "rb");
    int c;
    while ((c = std::fgetc(in)) != EOF) bytes.push_back(static_cast<unsigned char>(c));
    std::fclose(in);
  }
  const int32_t size = static_cast<int32_t>(bytes.size());
  BitmapInfo fromFile{}, fromMemory{};
  ASSERT_EQ(info_(bmp.c_str(), &fromFile), kVicOk);
  ASSERT_EQ(infoMem_(bytes.data(), size, &fromMemory), kVicOk);
  EXPECT_EQ(std::memcmp(&fromFile, &fromMemory, sizeof fromFile), 0);
  Image a{}, b{};
  ASSERT_EQ(alloc_(&a, 40, 30, 24), kVicOk);
  ASSERT_EQ(alloc_(&b, 40, 30, 24), kVicOk);
  ASSERT_EQ(load_(bmp.c_str(), &a), kVicOk);
  ASSERT_EQ(loadMem_(bytes.data(), size, &b), kVicOk);
  EXPECT_EQ(std::memcmp(a.pixels, b.pixels, 40 * 30 * sizeof(uint32_t)), 0);
  free_(&a);
  free_(&b);
}

// The bytes of a file.
std::string ReadBytes(const std::string& path) {
  std::string bytes;
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return bytes;
  int c;
  while ((c = std::fgetc(in)) != EOF) bytes.push_back(static_cast<char>(c));
  std::fclose(in);
  return bytes;
}

TEST_F(Vic32, BitmapsDecodeAsLibgdDecodesThem) {
  // Every row padding, rows stored from the bottom and from the top.
  for (int width = 1; width <= 6; ++width) {
    for (bool topDown : {false, true}) {
      SCOPED_TRACE(std::to_string(width) + (topDown ? " top down" : " bottom up"));
      const int height = 5;
      gdImagePtr drawn = gdImageCreateTrueColor(width, height);
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) gdImageSetPixel(drawn, x, y, gdTrueColor(x * 40, y * 50, (x + y) * 17));
      }
      int size = 0;
      auto* written = static_cast<unsigned char*>(gdImageBmpPtr(drawn, &size, 0));
      gdImageDestroy(drawn);
      std::vector<unsigned char> bytes(written, written + size);
      gdFree(written);
      if (topDown) {
        const size_t stride = (static_cast<size_t>(width) * 3 + 3) / 4 * 4;
        for (int y = 0; y < height / 2; ++y) {
          std::swap_ranges(bytes.begin() + 54 + static_cast<long>(y * stride),
                           bytes.begin() + 54 + static_cast<long>((y + 1) * stride),
                           bytes.begin() + 54 + static_cast<long>((height - 1 - y) * stride));
        }
        const int32_t negative = -height;
        std::memcpy(bytes.data() + 22, &negative, 4);
      }
      gdImagePtr reference = gdImageCreateFromBmpPtr(size, bytes.data());
      ASSERT_NE(reference, nullptr);
      Image image{};
      ASSERT_EQ(alloc_(&image, width, height, 24), kVicOk);
      ASSERT_EQ(loadMem_(bytes.data(), size, &image), kVicOk);
      const auto* px = static_cast<const uint32_t*>(image.pixels);
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const int c = gdImageGetTrueColorPixel(reference, x, y);
          const uint32_t expected = static_cast<uint32_t>(gdTrueColorGetRed(c) << 16 | gdTrueColorGetGreen(c) << 8 |
                                                          gdTrueColorGetBlue(c));
          EXPECT_EQ(px[y * width + x], expected) << x << "," << y;
        }
      }
      free_(&image);
      gdImageDestroy(reference);
    }
  }
}

TEST_F(Vic32, GifsHoldTheColoursInAscendingOrderOrAQuantisedPalette) {
  // An image of 256 colours is written with exactly those colours, in
  // ascending order; one of 300 is quantised by libgd. Both against the
  // files libgd makes when given the pixels one by one.
  for (int colours : {3, 256, 300}) {
    SCOPED_TRACE(colours);
    const int width = 40, height = 30;
    Image image{};
    ASSERT_EQ(alloc_(&image, width, height, 24), kVicOk);
    auto* px = static_cast<uint32_t*>(image.pixels);
    for (int i = 0; i < width * height; ++i) {
      const uint32_t n = static_cast<uint32_t>((i * 7919) % colours);
      px[i] = (n * 2654435761u) & 0xFFFFFF;
    }
    gdImagePtr expected = nullptr;
    if (colours <= 256) {
      std::vector<uint32_t> sorted(px, px + width * height);
      std::sort(sorted.begin(), sorted.end());
      sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
      expected = gdImageCreate(width, height);
      for (uint32_t rgb : sorted) gdImageColorAllocate(expected, rgb >> 16, (rgb >> 8) & 0xFF, rgb & 0xFF);
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const uint32_t rgb = px[y * width + x];
          gdImageSetPixel(expected, x, y,
                          static_cast<int>(std::lower_bound(sorted.begin(), sorted.end(), rgb) - sorted.begin()));
        }
      }
    } else {
      gdImagePtr full = gdImageCreateTrueColor(width, height);
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const uint32_t rgb = px[y * width + x];
          gdImageSetPixel(full, x, y, gdTrueColor(rgb >> 16, (rgb >> 8) & 0xFF, rgb & 0xFF));
        }
      }
      expected = gdImageCreatePaletteFromTrueColor(full, 0, 256);
      gdImageDestroy(full);
    }
    int size = 0;
    void* gif = gdImageGifPtr(expected, &size);
    const std::string expectedBytes(static_cast<const char*>(gif), static_cast<size_t>(size));
    gdFree(gif);
    gdImageDestroy(expected);
    const std::string path = File("colours.gif");
    ASSERT_EQ(gif_(path.c_str(), &image), kVicOk);
    EXPECT_TRUE(ReadBytes(path) == expectedBytes);
    free_(&image);
  }
}

TEST_F(Vic32, BadInputIsRefused) {
  const std::string bmp = WriteBitmap("ok.bmp");
  Image image{};
  BitmapInfo info{};
  EXPECT_EQ(info_((dir_ + "/missing.bmp").c_str(), &info), kVicOpenFailed);
  EXPECT_EQ(alloc_(&image, 0, 10, 24), kVicBadArgument);
  EXPECT_EQ(alloc_(&image, kMaxImageSide + 1, 10, 24), kVicBadArgument);

  // A bitmap whose size differs from the image's.
  ASSERT_EQ(alloc_(&image, 41, 30, 24), kVicOk);
  EXPECT_EQ(load_(bmp.c_str(), &image), kVicSizeMismatch);
  free_(&image);

  // Headers: not a bitmap, cut short, absurd sides, a bad bit count.
  std::vector<unsigned char> good;
  {
    FILE* in = std::fopen(bmp.c_str(), "rb");
    int c;
    while ((c = std::fgetc(in)) != EOF) good.push_back(static_cast<unsigned char>(c));
    std::fclose(in);
  }
  struct Case {
    const char* what;
    size_t offset;
    std::vector<unsigned char> bytes;
    size_t cut;  // 0 = keep the whole file
  } cases[] = {
      {"magic", 0, {'P', 'K'}, 0},
      {"short", 0, {}, 30},
      {"huge width", 18, {0xFF, 0xFF, 0xFF, 0x7F}, 0},
      {"negative width", 18, {0xF6, 0xFF, 0xFF, 0xFF}, 0},
      {"lowest height", 22, {0x00, 0x00, 0x00, 0x80}, 0},
      {"bit count", 28, {7, 0}, 0},
      {"data offset inside the headers", 10, {4, 0, 0, 0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<unsigned char> bytes = good;
    for (size_t i = 0; i < c.bytes.size(); ++i) bytes[c.offset + i] = c.bytes[i];
    if (c.cut != 0) bytes.resize(c.cut);
    const std::string path = File("bad.bmp");
    WriteBytes(path, bytes);
    EXPECT_EQ(info_(path.c_str(), &info), kVicBadFormat);
    EXPECT_EQ(infoMem_(bytes.data(), static_cast<int32_t>(bytes.size()), &info), kVicBadFormat);
    ASSERT_EQ(alloc_(&image, 40, 30, 24), kVicOk);
    EXPECT_NE(load_(path.c_str(), &image), kVicOk);
    EXPECT_NE(loadMem_(bytes.data(), static_cast<int32_t>(bytes.size()), &image), kVicOk);
    free_(&image);
  }
  EXPECT_EQ(infoMem_(nullptr, 100, &info), kVicBadArgument);
  EXPECT_EQ(infoMem_(good.data(), -1, &info), kVicBadArgument);
  ASSERT_EQ(alloc_(&image, 40, 30, 24), kVicOk);
  EXPECT_EQ(loadMem_(good.data(), -1, &image), kVicBadArgument);
  EXPECT_NE(loadMem_(good.data(), static_cast<int32_t>(good.size() / 2), &image), kVicOk) << "pixel data cut off";
  free_(&image);

  // Pixel data cut off: refused, not read past the end.
  std::vector<unsigned char> cut(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
  const std::string cutPath = File("cut.bmp");
  WriteBytes(cutPath, cut);
  ASSERT_EQ(alloc_(&image, 40, 30, 24), kVicOk);
  EXPECT_NE(load_(cutPath.c_str(), &image), kVicOk);
  // Writing into a folder that does not exist fails and leaves nothing.
  EXPECT_EQ(gif_((dir_ + "/no/such.gif").c_str(), &image), kVicOpenFailed);
  EXPECT_EQ(jpg_(File("q.jpg").c_str(), &image, 101), kVicBadArgument);
  free_(&image);
  free_(&image);  // a second free is harmless
}

}  // namespace
