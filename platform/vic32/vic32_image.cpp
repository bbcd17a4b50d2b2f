// Bitmap reading and GIF/JPEG writing of the image module. Pixels are kept
// as 32-bit 0x00RRGGBB words, row by row from the top. Every header field is
// checked before use: sizes are bounded, so no file can ask for more memory
// than kMaxImageSide squared pixels.
#include "platform/vic32/vic32_image.h"

#include <gd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kv::vic {

namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr size_t kInfoHeaderSize = 40;
// Largest bitmap file read (a 4096 x 4096 32-bit bitmap and its headers fit).
constexpr long kMaxFileSize = 80L * 1024 * 1024;

uint16_t U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

bool ValidSides(int64_t width, int64_t height) {
  return width > 0 && width <= kMaxImageSide && height > 0 && height <= kMaxImageSide;
}

bool ReadWholeFile(const char* path, std::vector<unsigned char>* data) {
  FILE* in = std::fopen(path, "rb");
  if (in == nullptr) return false;
  bool ok = std::fseek(in, 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(in) : -1;
  ok = ok && size >= 0 && size <= kMaxFileSize && std::fseek(in, 0, SEEK_SET) == 0;
  if (ok) {
    data->resize(static_cast<size_t>(size));
    ok = size == 0 || std::fread(data->data(), 1, data->size(), in) == data->size();
  }
  std::fclose(in);
  return ok;
}

// Pixels are written straight into libgd's rows: an opaque colour set on a
// true-colour image, or a palette index, is stored as it is.
gdImagePtr ToGd(const Image* image) {
  if (image == nullptr || image->pixels == nullptr || !ValidSides(image->width, image->height)) return nullptr;
  gdImagePtr im = gdImageCreateTrueColor(image->width, image->height);
  if (im == nullptr) return nullptr;
  const auto* px = static_cast<const uint32_t*>(image->pixels);
  for (int y = 0; y < image->height; ++y) {
    const uint32_t* from = px + static_cast<size_t>(y) * static_cast<size_t>(image->width);
    int* to = im->tpixels[y];
    for (int x = 0; x < image->width; ++x) {
      const uint32_t p = from[x];
      to[x] = gdTrueColor((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
  }
  return im;
}

// The colours of an image in ascending order, at most 256 of them. A pixel
// is looked up among them by the one before it (charts are runs of one
// colour) or else by a binary search.
class ColourList {
 public:
  // False when a 257th colour is met.
  bool Add(uint32_t rgb) {
    if (rgb == last_ && !colours_.empty()) return true;
    last_ = rgb;
    auto at = std::lower_bound(colours_.begin(), colours_.end(), rgb);
    if (at != colours_.end() && *at == rgb) return true;
    if (colours_.size() == 256) return false;
    colours_.insert(at, rgb);
    return true;
  }
  const std::vector<uint32_t>& colours() const { return colours_; }
  size_t IndexOf(uint32_t rgb) {
    if (rgb != last_ || lastIndex_ == SIZE_MAX) {
      last_ = rgb;
      lastIndex_ = static_cast<size_t>(std::lower_bound(colours_.begin(), colours_.end(), rgb) - colours_.begin());
    }
    return lastIndex_;
  }

 private:
  std::vector<uint32_t> colours_;
  uint32_t last_ = 0;
  size_t lastIndex_ = SIZE_MAX;
};

// A palette image with the image's own colours when it has at most 256
// (charts do), allocated in ascending order; null otherwise.
gdImagePtr ToExactPalette(const Image* image) {
  if (image == nullptr || image->pixels == nullptr || !ValidSides(image->width, image->height)) return nullptr;
  const auto* px = static_cast<const uint32_t*>(image->pixels);
  const size_t count = static_cast<size_t>(image->width) * static_cast<size_t>(image->height);
  ColourList list;
  for (size_t i = 0; i < count; ++i) {
    if (!list.Add(px[i] & 0xFFFFFF)) return nullptr;
  }
  gdImagePtr im = gdImageCreate(image->width, image->height);
  if (im == nullptr) return nullptr;
  std::vector<int> indexes;
  indexes.reserve(list.colours().size());
  for (const uint32_t rgb : list.colours()) {
    indexes.push_back(gdImageColorAllocate(im, (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF));
  }
  for (int y = 0; y < image->height; ++y) {
    const uint32_t* from = px + static_cast<size_t>(y) * static_cast<size_t>(image->width);
    unsigned char* to = im->pixels[y];
    for (int x = 0; x < image->width; ++x) to[x] = static_cast<unsigned char>(indexes[list.IndexOf(from[x] & 0xFFFFFF)]);
  }
  return im;
}

// Decodes the common bitmap that charts are: a 40-byte information header,
// 24 bits a pixel, no compression and no colour table, its rows complete.
// False (nothing written) for any other bitmap, which libgd decodes.
bool DecodePlainBitmap(const unsigned char* data, size_t size, const BitmapInfo& info, Image* image) {
  if (info.headerSize != kInfoHeaderSize || info.bitCount != 24 || info.compression != 0 || info.coloursUsed != 0 ||
      U32(data + 10) != kFileHeaderSize + kInfoHeaderSize) {
    return false;
  }
  const size_t width = static_cast<size_t>(image->width);
  const size_t height = static_cast<size_t>(image->height);
  const size_t stride = (width * 3 + 3) / 4 * 4;
  if (size < kFileHeaderSize + kInfoHeaderSize || (size - kFileHeaderSize - kInfoHeaderSize) / stride < height) {
    return false;
  }
  const unsigned char* rows = data + kFileHeaderSize + kInfoHeaderSize;
  auto* px = static_cast<uint32_t*>(image->pixels);
  for (size_t y = 0; y < height; ++y) {
    // Rows are stored from the bottom unless the height is negative.
    const unsigned char* from = rows + (info.height < 0 ? y : height - 1 - y) * stride;
    uint32_t* to = px + y * width;
    for (size_t x = 0; x < width; ++x, from += 3) {
      to[x] = static_cast<uint32_t>(from[2]) << 16 | static_cast<uint32_t>(from[1]) << 8 | from[0];
    }
  }
  return true;
}

// A failed write removes the partial file.
int32_t WriteImage(const char* path, gdImagePtr im, bool gif, int quality) {
  if (path == nullptr || path[0] == '\0') return kVicBadArgument;
  FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return kVicOpenFailed;
  if (gif) {
    gdImageGif(im, out);
  } else {
    gdImageJpeg(im, out, quality);
  }
  const bool failed = std::ferror(out) != 0;
  if (std::fclose(out) != 0 || failed) {
    std::remove(path);
    return kVicWriteFailed;
  }
  return kVicOk;
}

}  // namespace

int32_t ParseBitmapHeaders(const unsigned char* data, size_t size, BitmapInfo* info) {
  if (data == nullptr || info == nullptr) return kVicBadArgument;
  if (size < kFileHeaderSize + kInfoHeaderSize || data[0] != 'B' || data[1] != 'M') return kVicBadFormat;
  const uint32_t dataOffset = U32(data + 10);
  const unsigned char* h = data + kFileHeaderSize;
  BitmapInfo read{};
  read.headerSize = U32(h);
  read.width = static_cast<int32_t>(U32(h + 4));
  read.height = static_cast<int32_t>(U32(h + 8));
  read.planes = U16(h + 12);
  read.bitCount = U16(h + 14);
  read.compression = U32(h + 16);
  read.imageSize = U32(h + 20);
  read.xPixelsPerMeter = static_cast<int32_t>(U32(h + 24));
  read.yPixelsPerMeter = static_cast<int32_t>(U32(h + 28));
  read.coloursUsed = U32(h + 32);
  read.coloursImportant = U32(h + 36);
  if (read.headerSize < kInfoHeaderSize || read.planes != 1) return kVicBadFormat;
  const int64_t height = read.height < 0 ? -static_cast<int64_t>(read.height) : read.height;
  if (!ValidSides(read.width, height)) return kVicBadFormat;
  switch (read.bitCount) {
    case 1: case 4: case 8: case 16: case 24: case 32: break;
    default: return kVicBadFormat;
  }
  if (dataOffset < kFileHeaderSize + read.headerSize) return kVicBadFormat;
  *info = read;
  return kVicOk;
}

int32_t ReadBitmapInfo(const char* path, BitmapInfo* info) {
  if (path == nullptr || info == nullptr) return kVicBadArgument;
  FILE* in = std::fopen(path, "rb");
  if (in == nullptr) return kVicOpenFailed;
  unsigned char head[kFileHeaderSize + kInfoHeaderSize];
  const size_t got = std::fread(head, 1, sizeof head, in);
  std::fclose(in);
  return ParseBitmapHeaders(head, got, info);
}

int32_t AllocateImage(Image* image, int32_t width, int32_t height, int32_t bitCount) {
  if (image == nullptr) return kVicBadArgument;
  image->pixels = nullptr;
  if (!ValidSides(width, height) || bitCount <= 0 || bitCount > 32) return kVicBadArgument;
  void* pixels = std::calloc(static_cast<size_t>(width) * static_cast<size_t>(height), sizeof(uint32_t));
  if (pixels == nullptr) return kVicNoMemory;
  image->pixels = pixels;
  image->width = width;
  image->height = height;
  image->bitCount = bitCount;
  return kVicOk;
}

int32_t DecodeBitmap(const unsigned char* data, size_t size, Image* image) {
  if (image == nullptr || image->pixels == nullptr) return kVicBadArgument;
  BitmapInfo info{};
  if (const int32_t r = ParseBitmapHeaders(data, size, &info); r != kVicOk) return r;
  const int32_t height = info.height < 0 ? -info.height : info.height;
  if (info.width != image->width || height != image->height) return kVicSizeMismatch;
  if (DecodePlainBitmap(data, size, info, image)) return kVicOk;
  if (size > static_cast<size_t>(INT32_MAX)) return kVicBadFormat;
  gdImagePtr im = gdImageCreateFromBmpPtr(static_cast<int>(size), const_cast<unsigned char*>(data));
  if (im == nullptr) return kVicBadFormat;
  if (gdImageSX(im) != image->width || gdImageSY(im) != image->height) {
    gdImageDestroy(im);
    return kVicBadFormat;
  }
  auto* px = static_cast<uint32_t*>(image->pixels);
  for (int y = 0; y < image->height; ++y) {
    for (int x = 0; x < image->width; ++x) {
      const int c = gdImageGetTrueColorPixel(im, x, y);
      px[static_cast<size_t>(y) * static_cast<size_t>(image->width) + static_cast<size_t>(x)] =
          (static_cast<uint32_t>(gdTrueColorGetRed(c)) << 16) | (static_cast<uint32_t>(gdTrueColorGetGreen(c)) << 8) |
          static_cast<uint32_t>(gdTrueColorGetBlue(c));
    }
  }
  gdImageDestroy(im);
  return kVicOk;
}

int32_t LoadBitmap(const char* path, Image* image) {
  if (path == nullptr || image == nullptr) return kVicBadArgument;
  std::vector<unsigned char> data;
  if (!ReadWholeFile(path, &data)) return kVicOpenFailed;
  return DecodeBitmap(data.data(), data.size(), image);
}

int32_t SaveGif(const char* path, const Image* image) {
  gdImagePtr palette = ToExactPalette(image);
  if (palette == nullptr) {
    // GIF holds at most 256 colours: more are quantised.
    gdImagePtr im = ToGd(image);
    if (im == nullptr) return kVicBadArgument;
    palette = gdImageCreatePaletteFromTrueColor(im, 0, 256);
    gdImageDestroy(im);
    if (palette == nullptr) return kVicNoMemory;
  }
  const int32_t r = WriteImage(path, palette, true, 0);
  gdImageDestroy(palette);
  return r;
}

int32_t SaveJpeg(const char* path, const Image* image, int32_t quality) {
  if (quality < 0 || quality > 100) return kVicBadArgument;
  gdImagePtr im = ToGd(image);
  if (im == nullptr) return kVicBadArgument;
  const int32_t r = WriteImage(path, im, false, quality);
  gdImageDestroy(im);
  return r;
}

int32_t LoadPicture(const char* path, Image* image, bool jpeg) {
  if (path == nullptr || image == nullptr) return kVicBadArgument;
  image->pixels = nullptr;
  std::vector<unsigned char> data;
  if (!ReadWholeFile(path, &data)) return kVicOpenFailed;
  if (data.empty()) return kVicBadFormat;
  const int size = static_cast<int>(data.size());  // bounded by kMaxFileSize
  gdImagePtr im = jpeg ? gdImageCreateFromJpegPtr(size, data.data()) : gdImageCreateFromGifPtr(size, data.data());
  if (im == nullptr) return kVicBadFormat;
  const int32_t r = AllocateImage(image, gdImageSX(im), gdImageSY(im), jpeg ? 24 : 8);
  if (r != kVicOk) {
    gdImageDestroy(im);
    return r;
  }
  auto* px = static_cast<uint32_t*>(image->pixels);
  for (int y = 0; y < image->height; ++y) {
    for (int x = 0; x < image->width; ++x) {
      const int c = gdImageGetPixel(im, x, y);
      const uint32_t red = static_cast<uint32_t>(gdImageRed(im, c));
      const uint32_t green = static_cast<uint32_t>(gdImageGreen(im, c));
      const uint32_t blue = static_cast<uint32_t>(gdImageBlue(im, c));
      px[static_cast<size_t>(y) * static_cast<size_t>(image->width) + static_cast<size_t>(x)] =
          red << 16 | green << 8 | blue;
    }
  }
  gdImageDestroy(im);
  return kVicOk;
}

void FreeImage(Image* image) {
  if (image == nullptr) return;
  std::free(image->pixels);
  image->pixels = nullptr;
}

}  // namespace kv::vic
