// Template text scanned for its sections: the scan ends, ObsoleteTopPaths
// is never left used, every section is still empty, and every section it
// marks has a token in the text that starts with its name.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "engine/reports/section_table.h"
#include "engine/reports/template_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    char pattern[] = "/tmp/secfuzzXXXXXX";
    const char* dir = mkdtemp(pattern);
    return std::string(dir != nullptr ? dir : "/tmp") + "/t.htm";
  }();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  vrn::ScanTemplateSections(path.c_str());
  const std::string text(reinterpret_cast<const char*>(data), size);
  const vrn::SectionTableEntry* table = vrn::GetSectionTable();
  if (table[vrn::kObsoleteTopPathsSection].used != 0) std::abort();
  for (int i = 0; i < vrn::kItemTableCount; ++i) {
    if (table[i].empty != 1) std::abort();
    if (table[i].used != 0 && vrn::IFind(text, std::string("%%") + table[i].name) == std::string::npos) std::abort();
  }
  return 0;
}
