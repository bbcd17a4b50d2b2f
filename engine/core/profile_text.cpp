// Profile text index and the exported in-memory lookups.
#include "engine/core/profile_text.h"

#include <cstring>

#include <vornic/profile.h>

namespace vrn {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string_view StripSectionBrackets(std::string_view name) {
  while (!name.empty() && name.front() == '[') name.remove_prefix(1);
  const size_t close = name.find(']');
  if (close != std::string_view::npos) name = name.substr(0, close);
  return name;
}

int32_t ParseProfileInt(std::string_view value) {
  if (value.size() > 32) value = value.substr(0, 32);
  size_t i = 0;
  while (i < value.size() && IsBlank(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) {
    negative = value[i] == '-';
    ++i;
  }
  uint32_t n = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    n = n * 10u + static_cast<uint32_t>(value[i] - '0');
  }
  if (negative) n = 0u - n;
  return static_cast<int32_t>(n);
}

ProfileText::ProfileText(std::string_view text) {
  Section* current = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t lf = text.find('\n', pos);
    const bool terminated = lf != std::string_view::npos;
    std::string_view line = text.substr(pos, (terminated ? lf : text.size()) - pos);
    pos = terminated ? lf + 1 : text.size();
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (!line.empty() && line.front() == '[') {
      std::string_view name = StripSectionBrackets(line);
      if (byName_.count(name) == 0) {
        sections_.push_back(Section{name, {}});
        byName_.emplace(name, sections_.size() - 1);
        current = &sections_.back();
      } else {
        current = nullptr;  // a later section of the same name is not read
      }
      continue;
    }
    if (current == nullptr || !terminated) continue;
    size_t start = 0;
    while (start < line.size() && IsBlank(line[start])) ++start;
    const size_t eq = line.find('=', start);
    if (eq == std::string_view::npos || eq == start) continue;
    current->keys.emplace(line.substr(start, eq - start), line.substr(eq + 1));
  }
}

const ProfileText::Section* ProfileText::Find(std::string_view name) const {
  auto it = byName_.find(StripSectionBrackets(name));
  return it == byName_.end() ? nullptr : &sections_[it->second];
}

bool ProfileText::Lookup(std::string_view section, std::string_view key, std::string_view& value) const {
  const Section* s = Find(section);
  if (s == nullptr) return false;
  auto it = s->keys.find(key);
  if (it == s->keys.end()) return false;
  value = it->second;
  return true;
}

std::string ProfileText::GetString(std::string_view section, std::string_view key, std::string_view def) const {
  std::string_view value;
  return std::string(Lookup(section, key, value) ? value : def);
}

void ProfileText::GetField(std::string_view section, std::string_view key, std::string_view def, char* out,
                           size_t width) const {
  if (out == nullptr || width == 0) return;
  std::string_view value;
  if (!Lookup(section, key, value)) value = def;
  const size_t n = value.size() < width - 1 ? value.size() : width - 1;
  if (n > 0) std::memcpy(out, value.data(), n);
  out[n] = '\0';
}

int32_t ProfileText::GetInt(std::string_view section, std::string_view key, int32_t def) const {
  std::string_view value;
  return Lookup(section, key, value) ? ParseProfileInt(value) : def;
}

}  // namespace vrn

extern "C" {

KV_EXPORT int32_t IniBufferGetString(const char* section, const char* key, const char* defaultValue, char* out,
                                     uint32_t width, const char* text) {
  if (out == nullptr || width == 0) return 1;
  const char* def = defaultValue != nullptr ? defaultValue : "";
  if (section == nullptr || key == nullptr || text == nullptr) {
    vrn::ProfileText empty("");
    empty.GetField("", "", def, out, width);
    return 1;
  }
  vrn::ProfileText profile(text);
  profile.GetField(section, key, def, out, width);
  return 1;
}

KV_EXPORT int32_t IniBufferGetInt(const char* section, const char* key, int32_t defaultValue, const char* text) {
  if (section == nullptr || key == nullptr || text == nullptr) return defaultValue;
  return vrn::ProfileText(text).GetInt(section, key, defaultValue);
}

KV_EXPORT const char* FindNextSection(const char* text) {
  if (text == nullptr) return nullptr;
  for (const char* p = std::strchr(text, '\n'); p != nullptr; p = std::strchr(p + 1, '\n')) {
    if (p[1] == '[') return (p > text && p[-1] == '\r') ? p - 1 : p;
  }
  return nullptr;
}

}  // extern "C"
