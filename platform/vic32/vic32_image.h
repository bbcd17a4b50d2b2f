// The image module's work, shared by its exported entries and its fuzz
// target.
#ifndef KV_PLATFORM_VIC32_IMAGE_H
#define KV_PLATFORM_VIC32_IMAGE_H

#include <cstddef>
#include <cstdint>

#include "platform/vic32/vic32.h"

namespace kv::vic {

// Reads the file and information headers of a bitmap held in memory.
int32_t ParseBitmapHeaders(const unsigned char* data, size_t size, BitmapInfo* info);
int32_t ReadBitmapInfo(const char* path, BitmapInfo* info);
int32_t AllocateImage(Image* image, int32_t width, int32_t height, int32_t bitCount);
// Decodes a bitmap held in memory into an allocated image of its size.
int32_t DecodeBitmap(const unsigned char* data, size_t size, Image* image);
int32_t LoadBitmap(const char* path, Image* image);
// Reads a GIF (jpeg false) or JPEG file into a new image of its size, bit
// depth 8 for GIF and 24 for JPEG; free it with FreeImage.
int32_t LoadPicture(const char* path, Image* image, bool jpeg);
int32_t SaveGif(const char* path, const Image* image);
int32_t SaveJpeg(const char* path, const Image* image, int32_t quality);
void FreeImage(Image* image);

}  // namespace kv::vic

#endif
