// File-type words ("{name,number}" or a bare name) on arbitrary text: a word
// that parses and has a text form parses back to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <vornic/reportsettings.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  FileType* type = FileTypeHeaderStringToStruct(text.c_str());
  if (type == nullptr) return 0;
  char* form = FileTypeHeaderStructToString(type);
  if (form != nullptr && std::strpbrk(type->Name, "{},") == nullptr) {
    FileType* back = FileTypeHeaderStringToStruct(form);
    if (back == nullptr || std::strcmp(back->Name, type->Name) != 0 || back->Number != type->Number) std::abort();
    FreeFileType(back);
  }
  std::free(form);
  FreeFileType(type);
  return 0;
}
