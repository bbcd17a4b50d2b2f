// Template text read as section and item lists, and chapters expanded with
// repeat counts from the input: nothing may read or write out of bounds, and
// the records' texts stay terminated.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/reports/template_lists.h"
#include "engine/reports/template_pipeline.h"

namespace {

std::string TempPath() {
  static std::string path = [] {
    char pattern[] = "/tmp/tplfuzzXXXXXX";
    const char* dir = mkdtemp(pattern);
    return std::string(dir != nullptr ? dir : "/tmp") + "/t.var";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<TemplateSectionRecord> sections;
  char header[64];
  vrn::ParseTemplateSections(text, &sections, header, sizeof header);
  if (std::memchr(header, 0, sizeof header) == nullptr) std::abort();
  for (const TemplateSectionRecord& s : sections) {
    if (std::memchr(s.Name, 0, sizeof s.Name) == nullptr || std::memchr(s.Title, 0, sizeof s.Title) == nullptr)
      std::abort();
  }

  const std::string path = TempPath();
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    std::vector<TemplateItemRecord> items;
    if (vrn::ReadTemplateItemRecords(path.c_str(), &items, nullptr, 0)) {
      for (const TemplateItemRecord& item : items) {
        if (static_cast<size_t>(item.StartOffset) + item.Length > text.size()) std::abort();
        if (item.SpecOffset + item.SpecLength > item.Length) std::abort();
        vrn::FormatItemSpecification(item);
      }
    }
  }

  TemplateSectionRecord record{};
  record.RowCount = size > 0 ? data[0] % 8 : 0;
  record.ColumnCount = size > 1 ? data[1] % 3 : 0;
  record.FirstRow = size > 2 ? data[2] : 0;
  std::string out;
  vrn::ExpandRepeatBlocksToText(&record, text, &out);
  return 0;
}
