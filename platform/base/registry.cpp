#include "platform/base/registry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/base/ini_detail.h"
#include "platform/base/lasterror.h"
#include "platform/base/paths.h"
#include "platform/base/strutil.h"

namespace kv {

namespace {

constexpr const char kDwordPrefix[] = "dword:";

// The canonical key path: "\" separators, no empty components. Empty when
// the key is unusable (null, empty, or characters a section name cannot hold).
std::string NormalizeKey(const char* key) {
  if (!key) return {};
  std::string out;
  std::string part;
  auto flush = [&] {
    std::string_view t = TrimBlanks(part);
    if (!t.empty()) {
      if (!out.empty()) out.push_back('\\');
      out += t;
    }
    part.clear();
  };
  for (const char* p = key; *p; ++p) {
    char c = *p;
    if (c == '\r' || c == '\n' || c == ']') return {};
    if (c == '\\' || c == '/') {
      flush();
    } else {
      part.push_back(c);
    }
  }
  flush();
  return out;
}

// The INI key for a value name: "@" for the default value.
bool ValueKey(const char* name, std::string* out) {
  std::string_view n = name ? TrimBlanks(name) : std::string_view();
  if (n.empty()) {
    out->assign(1, '@');
    return true;
  }
  if (n.find_first_of("\r\n=") != std::string_view::npos || n.front() == '[' || n.front() == ';') return false;
  *out = std::string(n);
  return true;
}

bool UnderKey(std::string_view section, std::string_view key) {
  return section.size() > key.size() && section[key.size()] == '\\' && IEquals(section.substr(0, key.size()), key);
}

// The raw stored text of a value.
bool LookupRaw(const std::string& key, const std::string& name, std::string* raw) {
  std::string text;
  if (!ini::ReadFile(RegistryPath(), &text)) {
    SetLastError(kErrorFileNotFound);
    return false;
  }
  ini::Document doc(std::move(text));
  int header = doc.FindSection(key);
  int line = header < 0 ? -1 : doc.FindKey(static_cast<size_t>(header), name);
  if (line < 0) {
    SetLastError(kErrorFileNotFound);
    return false;
  }
  *raw = std::string(doc.Lines()[static_cast<size_t>(line)].value);
  return true;
}

bool Prepare(const char* key, const char* name, std::string* k, std::string* n) {
  *k = NormalizeKey(key);
  if (k->empty() || !ValueKey(name, n)) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return true;
}

bool Store(const std::string& key, const std::string& name, const std::string& stored) {
  return ini::EditFile(RegistryPath(), true, [&](std::string& text) {
    ini::Document doc(std::move(text));
    doc.SetValue(key, name, stored);
    text = doc.Text();
    return true;
  });
}

std::vector<std::string> Sections() {
  std::vector<std::string> names;
  std::string text;
  if (!ini::ReadFile(RegistryPath(), &text)) return names;
  ini::Document doc(std::move(text));
  for (const auto& line : doc.Lines())
    if (line.kind == ini::Line::kSection) names.emplace_back(line.name);
  return names;
}

}  // namespace

std::string RegistryPath() {
  const char* env = std::getenv("KV_REGISTRY");
  if (env && *env) return ResolvePath(env);
  return ResolvePath(ProgramFolder() + "registry.ini");
}

bool RegGetString(const char* key, const char* name, std::string* out) {
  std::string k, n, raw;
  if (!out || !Prepare(key, name, &k, &n)) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (!LookupRaw(k, n, &raw)) return false;
  if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"') {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  *out = raw.substr(1, raw.size() - 2);
  SetLastError(kErrorSuccess);
  return true;
}

uint32_t RegGetString(const char* key, const char* name, char* out, uint32_t size) {
  if (!out || size == 0) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  std::string value;
  if (!RegGetString(key, name, &value)) {
    out[0] = '\0';
    return 0;
  }
  return CopyOut(value, out, size);
}

bool RegGetDword(const char* key, const char* name, uint32_t* out) {
  std::string k, n, raw;
  if (!out || !Prepare(key, name, &k, &n)) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (!LookupRaw(k, n, &raw)) return false;
  const size_t prefix = sizeof kDwordPrefix - 1;
  if (raw.size() <= prefix || raw.size() > prefix + 8 || !IEquals(std::string_view(raw).substr(0, prefix), kDwordPrefix)) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  uint32_t v = 0;
  for (size_t i = prefix; i < raw.size(); ++i) {
    char c = AsciiLower(raw[i]);
    int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    if (d < 0) {
      SetLastError(kErrorInvalidParameter);
      return false;
    }
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *out = v;
  SetLastError(kErrorSuccess);
  return true;
}

bool RegSetString(const char* key, const char* name, const char* value) {
  std::string k, n;
  if (!value || std::strpbrk(value, "\r\n") || !Prepare(key, name, &k, &n)) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return Store(k, n, std::string("\"") + value + "\"");
}

bool RegSetDword(const char* key, const char* name, uint32_t value) {
  std::string k, n;
  if (!Prepare(key, name, &k, &n)) return false;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%08x", kDwordPrefix, value);
  return Store(k, n, buf);
}

bool RegDeleteValue(const char* key, const char* name) {
  std::string k, n;
  if (!Prepare(key, name, &k, &n)) return false;
  bool found = false;
  bool ok = ini::EditFile(RegistryPath(), false, [&](std::string& text) {
    ini::Document doc(std::move(text));
    found = doc.DeleteKey(k, n);
    // A key without values is gone: drop its empty section.
    int header = doc.FindSection(k);
    if (found && header >= 0 && doc.SectionEnd(static_cast<size_t>(header)) == static_cast<size_t>(header) + 1)
      doc.DeleteSections([&](std::string_view s) { return IEquals(s, k); });
    text = doc.Text();
    return true;
  });
  if (ok && !found) {
    SetLastError(kErrorFileNotFound);
    return false;
  }
  return ok;
}

bool RegDeleteKey(const char* key) {
  std::string k = NormalizeKey(key);
  if (k.empty()) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  size_t removed = 0;
  bool ok = ini::EditFile(RegistryPath(), false, [&](std::string& text) {
    ini::Document doc(std::move(text));
    removed = doc.DeleteSections([&](std::string_view s) { return IEquals(s, k) || UnderKey(s, k); });
    text = doc.Text();
    return true;
  });
  if (ok && removed == 0) {
    SetLastError(kErrorFileNotFound);
    return false;
  }
  return ok;
}

bool RegKeyExists(const char* key) {
  std::string k = NormalizeKey(key);
  if (k.empty()) return false;
  for (const auto& s : Sections())
    if (IEquals(s, k) || UnderKey(s, k)) return true;
  return false;
}

std::vector<std::string> RegValueNames(const char* key) {
  std::vector<std::string> names;
  std::string k = NormalizeKey(key);
  if (k.empty()) return names;
  std::string text;
  if (!ini::ReadFile(RegistryPath(), &text)) return names;
  ini::Document doc(std::move(text));
  for (const ini::Line* line : doc.SectionKeys(k))
    names.emplace_back(line->name == "@" ? std::string_view() : line->name);
  return names;
}

std::vector<std::string> RegSubKeyNames(const char* key) {
  std::vector<std::string> names;
  std::string k = NormalizeKey(key);
  if (k.empty()) return names;
  for (const auto& s : Sections()) {
    if (!UnderKey(s, k)) continue;
    std::string_view rest = std::string_view(s).substr(k.size() + 1);
    rest = rest.substr(0, rest.find('\\'));
    bool seen = false;
    for (const auto& n : names) seen = seen || IEquals(n, rest);
    if (!seen) names.emplace_back(rest);
  }
  return names;
}

}  // namespace kv
