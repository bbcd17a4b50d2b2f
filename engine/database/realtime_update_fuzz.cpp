// Random bytes as a master.dat image and as a status text of the client's
// resources: neither parser may crash or read out of bounds, every record
// read lies wholly inside the image, and a status text never grows by more
// than its one argument.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/database/realtime_update.h"
#include "engine/database/report_ranges.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<vrn::MasterRecordFields> records;
  const bool ok = vrn::ParseMasterImage(data, size, &records);
  if (ok) {
    const size_t whole = (size - vrn::kMasterFileHeaderBytes) / vrn::kMasterFileRecordBytes;
    if (records.size() != whole) __builtin_trap();
    for (const auto& r : records)
      if (std::strlen(r.fileName) > 20) __builtin_trap();
  } else if (!records.empty()) {
    __builtin_trap();
  }

  const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  const std::string argument = "12345";
  const std::string out = vrn::FormatStatusText(text.c_str(), argument);
  if (out.size() > text.size() + argument.size()) __builtin_trap();
  return 0;
}
