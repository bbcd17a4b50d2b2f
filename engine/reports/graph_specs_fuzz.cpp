// Chart spec texts of any content, through both parsers.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/reports/graph_specs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const uint16_t kind = size > 0 ? static_cast<uint16_t>(data[0] % 10) : 0;
  std::string a = input;
  vrn::GraphSpec spec{};
  vrn::ParseGraphSpec("TopDocuments", a.data(), &spec, kind);
  std::string b = input;
  vrn::ParseEditorGraphSpec(b.data(), &spec, kind);
  return 0;
}
