// Parses arbitrary text as an INI file and edits it: the parser must not
// fail, and a written value must read back while the rest stays intact.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/ini_detail.h"
#include "platform/base/strutil.h"

namespace {

// Every line except those of the fuzz key, as kind, name and value.
std::vector<std::string> Others(const kv::ini::Document& doc) {
  std::vector<std::string> out;
  for (const auto& line : doc.Lines()) {
    if (line.kind == kv::ini::Line::kKey && kv::IEquals(line.name, "FuzzKey")) continue;
    out.push_back(std::to_string(line.kind) + "|" + std::string(line.name) + "|" + std::string(line.value));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kv::ini::Document;
  std::string text(reinterpret_cast<const char*>(data), size);
  Document doc(text);
  size_t total = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  for (const auto& line : doc.Lines()) {
    if (line.begin > line.end || line.end > line.next || line.next > text.size()) std::abort();
    total = line.next;
  }
  if (total != text.size()) std::abort();

  // Take a section name from the input when there is one.
  std::string section = "Fuzz";
  for (const auto& line : doc.Lines())
    if (line.kind == kv::ini::Line::kSection) {
      section = std::string(line.name);
      break;
    }
  std::vector<std::string> before = Others(doc);
  doc.SetValue(section, "FuzzKey", "value");
  std::vector<std::string> after = Others(doc);
  // The new line may only add a section header (when the section was new).
  if (after != before && !(after.size() == before.size() + 1)) std::abort();
  int header = doc.FindSection(section);
  if (header < 0) std::abort();
  int key = doc.FindKey(static_cast<size_t>(header), "fuzzkey");
  if (key < 0 || doc.Lines()[static_cast<size_t>(key)].value != "value") std::abort();
  doc.DeleteKey(section, "FuzzKey");
  doc.DeleteSections([&](std::string_view name) { return name == section; });
  return 0;
}
