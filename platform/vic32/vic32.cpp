// The image module VIC32: its entries by name (see vic32.h).
#include "platform/base/kvtypes.h"
#include "platform/vic32/vic32.h"
#include "platform/vic32/vic32_image.h"

using kv::vic::BitmapInfo;
using kv::vic::Image;

extern "C" {

KV_EXPORT int32_t bmpinfo(const char* path, BitmapInfo* info) { return kv::vic::ReadBitmapInfo(path, info); }

KV_EXPORT int32_t allocimage(Image* image, int32_t width, int32_t height, int32_t bitCount) {
  return kv::vic::AllocateImage(image, width, height, bitCount);
}

KV_EXPORT int32_t loadbmp(const char* path, Image* image) { return kv::vic::LoadBitmap(path, image); }

KV_EXPORT int32_t bmpinfomem(const unsigned char* data, int32_t size, BitmapInfo* info) {
  if (size < 0) return kv::vic::kVicBadArgument;
  return kv::vic::ParseBitmapHeaders(data, static_cast<size_t>(size), info);
}

KV_EXPORT int32_t loadbmpmem(const unsigned char* data, int32_t size, Image* image) {
  if (size < 0) return kv::vic::kVicBadArgument;
  return kv::vic::DecodeBitmap(data, static_cast<size_t>(size), image);
}

// GIF and JPEG files read into a new image (freed with freeimage).
KV_EXPORT int32_t loadgif(const char* path, Image* image) { return kv::vic::LoadPicture(path, image, false); }
KV_EXPORT int32_t loadjpg(const char* path, Image* image) { return kv::vic::LoadPicture(path, image, true); }

KV_EXPORT int32_t savegif(const char* path, Image* image) { return kv::vic::SaveGif(path, image); }

KV_EXPORT int32_t savejpg(const char* path, Image* image, int32_t quality) {
  return kv::vic::SaveJpeg(path, image, quality);
}

KV_EXPORT void freeimage(Image* image) { kv::vic::FreeImage(image); }

}  // extern "C"
