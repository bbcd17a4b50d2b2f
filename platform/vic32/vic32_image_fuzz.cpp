// Bitmap headers and bitmap decoding over arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "platform/vic32/vic32_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::vic::BitmapInfo info{};
  if (kv::vic::ParseBitmapHeaders(data, size, &info) != kv::vic::kVicOk) return 0;
  const int32_t height = info.height < 0 ? -info.height : info.height;
  // Keep each run small: large but valid sides are only allocated, not drawn.
  if (static_cast<int64_t>(info.width) * height > 1 << 20) return 0;
  kv::vic::Image image{};
  if (kv::vic::AllocateImage(&image, info.width, height, info.bitCount) != kv::vic::kVicOk) return 0;
  kv::vic::DecodeBitmap(data, size, &image);
  kv::vic::FreeImage(&image);
  return 0;
}
