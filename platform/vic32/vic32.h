// The image module VIC32: reads a Windows bitmap into an image and writes
// it as GIF or JPEG. Entries are reached by name; each answers 0 on success
// and a negative code on failure.
#ifndef KV_PLATFORM_VIC32_H
#define KV_PLATFORM_VIC32_H

#include <cstdint>

namespace kv::vic {

enum : int32_t {
  kVicOk = 0,
  kVicBadArgument = -1,
  kVicOpenFailed = -2,  // the file could not be opened or created
  kVicBadFormat = -3,   // not a bitmap this module reads
  kVicNoMemory = -4,
  kVicSizeMismatch = -5,  // the bitmap does not match the image's size
  kVicWriteFailed = -6,
};

// The bitmap's information header as stored in the file.
struct BitmapInfo {
  uint32_t headerSize;
  int32_t width;
  int32_t height;  // negative: rows stored top down
  uint16_t planes;
  uint16_t bitCount;
  uint32_t compression;
  uint32_t imageSize;
  int32_t xPixelsPerMeter;
  int32_t yPixelsPerMeter;
  uint32_t coloursUsed;
  uint32_t coloursImportant;
};

// An image made by allocimage; its pixels belong to the module.
struct Image {
  void* pixels;  // module-owned
  int32_t width;
  int32_t height;
  int32_t bitCount;
};

// Largest side the module accepts.
constexpr int32_t kMaxImageSide = 16384;

using BmpInfoFn = int32_t (*)(const char* path, BitmapInfo* info);
using AllocImageFn = int32_t (*)(Image* image, int32_t width, int32_t height, int32_t bitCount);
using LoadBmpFn = int32_t (*)(const char* path, Image* image);
// bmpinfomem and loadbmpmem: the same for the bytes of a bitmap file held
// in memory.
using BmpInfoMemFn = int32_t (*)(const unsigned char* data, int32_t size, BitmapInfo* info);
using LoadBmpMemFn = int32_t (*)(const unsigned char* data, int32_t size, Image* image);
// loadgif and loadjpg: the file read into a new image of its size.
using LoadPictureFn = int32_t (*)(const char* path, Image* image);
using SaveGifFn = int32_t (*)(const char* path, Image* image);
using SaveJpgFn = int32_t (*)(const char* path, Image* image, int32_t quality);
using FreeImageFn = void (*)(Image* image);

}  // namespace kv::vic

#endif
