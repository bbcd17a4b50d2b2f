// Stored password texts come from settings files that anyone may edit:
// decrypting any text must stay within the buffer, and whatever decrypts must
// encrypt back to a text that decrypts to the same password.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/ostrel/ostrel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int32_t out_size = static_cast<int32_t>(data[0]);  // small buffers too
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  char out[256];
  if (KVUI_DecryptPassword(text.c_str(), out, out_size) && out_size > 0) {
    char again[2 * KVUI_MAX_PASSWORD + 1];
    if (!KVUI_EncryptPassword(out, again, sizeof again)) __builtin_trap();
    char back[KVUI_MAX_PASSWORD + 1];
    if (!KVUI_DecryptPassword(again, back, sizeof back) || std::strcmp(back, out) != 0) __builtin_trap();
  }
  // Any text as a password: encrypting is bounded by the buffer.
  char enc[64];
  KVUI_EncryptPassword(text.c_str(), enc, static_cast<int32_t>(data[0] % sizeof enc));
  return 0;
}
