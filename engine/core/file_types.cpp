// File-type lists: "{name,number}" words in [Defaults] of the module INI.
#include "engine/core/file_types.h"

#include <cstdlib>
#include <cstring>

#include "engine/core/engine_state.h"
#include "platform/base/ini.h"
#include "platform/base/strutil.h"

namespace vrn {

namespace {

constexpr size_t kNameMax = FILE_TYPE_NAME_SIZE - 1;

char* CopyText(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

void SetName(FileType* type, const char* text, size_t length) {
  if (length > kNameMax) length = kNameMax;
  std::memcpy(type->Name, text, length);
  type->Name[length] = '\0';
}

}  // namespace

std::vector<std::string> SplitWords(const std::string& text, const char* separators) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    at = text.find_first_not_of(separators, at);
    if (at == std::string::npos) break;
    size_t end = text.find_first_of(separators, at);
    if (end == std::string::npos) end = text.size();
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

IniSectionMap::IniSectionMap(const char* section, const char* iniPath) {
  for (auto& [key, value] : kv::IniSection(section, iniPath)) values_.emplace(kv::ToAsciiLower(key), std::move(value));
}

std::string IniSectionMap::Get(const std::string& key, const char* def) const {
  auto it = values_.find(kv::ToAsciiLower(key));
  if (it != values_.end()) return it->second;
  return def != nullptr ? def : "";
}

char** ReadDefaultFileTypes(const char* iniPath, uint32_t /*unused*/, uint16_t* count, const char* key,
                            const char* def) {
  if (count != nullptr) *count = 0;
  char** list = static_cast<char**>(std::calloc(FILE_TYPES_MAX, sizeof(char*)));
  if (list == nullptr) return nullptr;
  if (iniPath == nullptr || key == nullptr) return list;
  std::string line = kv::IniString("Defaults", key, def != nullptr ? def : "", iniPath);
  if (line.size() > kDefaultTypesLineSize - 1) line.resize(kDefaultTypesLineSize - 1);
  uint16_t n = 0;
  for (const std::string& word : SplitWords(line, " ;,")) {
    if (n == FILE_TYPES_MAX) break;
    char* copy = CopyText(word);
    if (copy != nullptr) list[n++] = copy;
  }
  if (count != nullptr) *count = n;
  return list;
}

void FreeDefaultFileTypes(char** list, uint16_t count) {
  if (list == nullptr) return;
  for (uint16_t i = 0; i < count && i < FILE_TYPES_MAX; ++i) std::free(list[i]);
  std::free(list);
}

}  // namespace vrn

FileType* CreateFileType(void) { return static_cast<FileType*>(std::calloc(1, sizeof(FileType))); }

void FreeFileType(FileType* type) { std::free(type); }

FileType* FileTypeHeaderStringToStruct(const char* text) {
  if (text == nullptr) return nullptr;
  const char* open = std::strchr(text, '{');
  const char* close = std::strchr(text, '}');
  if (open != nullptr && close != nullptr) {
    const char* comma = std::strchr(open + 1, ',');
    if (comma == nullptr) return nullptr;
    FileType* type = CreateFileType();
    if (type == nullptr) return nullptr;
    vrn::SetName(type, open + 1, static_cast<size_t>(comma - (open + 1)));
    type->Number = static_cast<int32_t>(std::strtol(comma + 1, nullptr, 10));
    return type;
  }
  FileType* type = CreateFileType();
  if (type == nullptr) return nullptr;
  vrn::SetName(type, text, std::strlen(text));
  return type;
}

char* FileTypeHeaderStructToString(const FileType* type) {
  if (type == nullptr || type->Number > 3) return nullptr;
  // The name is read within its field even when it lacks a terminator.
  const std::string name(type->Name, strnlen(type->Name, sizeof type->Name));
  return vrn::CopyText("{" + name + "," + std::to_string(type->Number) + "}");
}

void FreeFileTypesArray(FileType** array, uint16_t count) {
  if (array == nullptr) return;
  for (uint16_t i = 0; i < count; ++i) FreeFileType(array[i]);
  std::free(array);
}

FileType** GetFileTypesFromIniFile(uint16_t* count, const char* key, const char* def) {
  if (count != nullptr) *count = 0;
  FileType** array = static_cast<FileType**>(std::calloc(FILE_TYPES_MAX, sizeof(FileType*)));
  if (array == nullptr) return nullptr;
  if (key == nullptr) return array;
  std::string line = vrn::GetModuleProfileStr("Defaults", key, def != nullptr ? def : "");
  if (line.size() > FILE_TYPES_LINE_SIZE - 1) line.resize(FILE_TYPES_LINE_SIZE - 1);
  uint16_t n = 0;
  for (const std::string& word : vrn::SplitWords(line, " ;")) {
    if (n == FILE_TYPES_MAX) break;
    FileType* type = FileTypeHeaderStringToStruct(word.c_str());
    if (type == nullptr) {
      FreeFileTypesArray(array, n);
      return nullptr;
    }
    array[n++] = type;
  }
  if (count != nullptr) *count = n;
  return array;
}

int32_t WriteFileTypesToIniFile(uint16_t count, FileType** array, const char* key) {
  if (key == nullptr) return 0;
  std::string line;
  for (uint16_t i = 0; array != nullptr && i < count; ++i) {
    char* text = FileTypeHeaderStructToString(array[i]);
    if (text == nullptr) continue;
    if (!line.empty()) line += ' ';
    line += text;
    std::free(text);
  }
  // A cut line would lose records or store half a record: keep the old one.
  if (line.size() > FILE_TYPES_LINE_SIZE - 1) return 0;
  return ::WriteModuleProfileString("Defaults", key, line.c_str()) != 0 ? 1 : 0;
}
