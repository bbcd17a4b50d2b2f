#include "engine/reports/template_text.h"

#include <algorithm>
#include <cstring>

#include "platform/base/files.h"
#include "platform/base/strutil.h"

namespace vrn {

bool ReadWholeFile(const char* path, std::string* out) {
  out->clear();
  if (path == nullptr) return false;
  KvFile file = kv::FileOpen(path, kv::kFileRead, kv::FileDisposition::kOpenExisting);
  if (file == KV_INVALID_FILE) return false;
  const int64_t size = kv::FileSize(file);
  bool ok = size >= 0 && size < (int64_t{1} << 31);
  if (ok) {
    out->resize(static_cast<size_t>(size));
    size_t done = 0;
    while (ok && done < out->size()) {
      const uint32_t want = static_cast<uint32_t>(std::min<size_t>(out->size() - done, 1u << 20));
      uint32_t got = 0;
      ok = kv::FileRead(file, out->data() + done, want, &got) && got == want;
      done += got;
    }
  }
  kv::FileClose(file);
  if (!ok) out->clear();
  return ok;
}

bool WriteAll(KvFile file, std::string_view data) {
  size_t done = 0;
  while (done < data.size()) {
    const uint32_t want = static_cast<uint32_t>(std::min<size_t>(data.size() - done, 1u << 20));
    uint32_t wrote = 0;
    if (!kv::FileWrite(file, data.data() + done, want, &wrote) || wrote != want) return false;
    done += wrote;
  }
  return true;
}

size_t IFind(std::string_view hay, std::string_view needle, size_t from) {
  if (needle.empty()) return from <= hay.size() ? from : std::string_view::npos;
  if (hay.size() < needle.size()) return std::string_view::npos;
  for (size_t i = from; i + needle.size() <= hay.size(); ++i) {
    if (kv::AsciiLower(hay[i]) != kv::AsciiLower(needle[0])) continue;
    if (kv::IEquals(hay.substr(i, needle.size()), needle)) return i;
  }
  return std::string_view::npos;
}

bool IStartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && kv::IEquals(text.substr(0, prefix.size()), prefix);
}

bool IEndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && kv::IEquals(text.substr(text.size() - suffix.size()), suffix);
}

void CopyText(char* dst, size_t size, std::string_view src) {
  if (dst == nullptr || size == 0) return;
  const size_t n = std::min(size - 1, src.size());
  if (n > 0) std::memcpy(dst, src.data(), n);
  dst[n] = 0;
}

}  // namespace vrn
