// Style.ini over arbitrary bytes: the style list and every listed style are
// read; the list stays within its 50 entries, the shown columns name real
// columns, and a style written back and read again reads the same.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"
#include "styles/style_record.h"

namespace {

const std::string& Folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/kvstylefuzzXXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    kv::ui::SetMessageBoxHandler([](const kv::ui::MessageBoxInfo&) { return kv::ui::IdOk; });
    return std::string(pattern);
  }();
  return folder;
}

void CheckShape(const StyleRecord& s) {
  if (s.styleNames.size() > static_cast<size_t>(kMaxStyles)) abort();
  if (s.visibleCount < 0 || s.visibleCount > kStyleColumnCount) abort();
  for (int i = 0; i < s.visibleCount; ++i) {
    if (s.visibleColumns[i] < 0 || s.visibleColumns[i] >= kStyleColumnCount) abort();
  }
  if (s.alignment != kAlignLeft && s.alignment != kAlignRight && s.alignment != kAlignCenter) abort();
}

bool SameStyle(const StyleRecord& a, const StyleRecord& b) {
  return a.colours == b.colours && a.fonts == b.fonts && a.columnFlags == b.columnFlags &&
         a.sortColumn == b.sortColumn && a.alignment == b.alignment && a.longDescription == b.longDescription &&
         a.frameWidth == b.frameWidth && a.framePage == b.framePage && a.tocWidth == b.tocWidth &&
         a.background == b.background && a.logo == b.logo;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = Folder() + "/Style.ini";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (size != 0 && std::fwrite(data, 1, size, f) != size) abort();
  std::fclose(f);

  StyleRecord style;
  InitStyleRecord(style, nullptr);
  style.path = path;
  const int count = FillStyleList(style);
  if (count < 0 || static_cast<size_t>(count) != style.styleNames.size()) abort();
  CheckShape(style);
  for (int i = 0; i < count && i < 3; ++i) {
    const std::string name = style.styleNames[i];
    LoadStyle(style, name.c_str());
    CheckShape(style);
    // What was read is what the file says from now on.
    if (!WriteStyle(style, name.c_str())) continue;
    StyleRecord again;
    InitStyleRecord(again, nullptr);
    again.path = path;
    FillStyleList(again);
    LoadStyle(again, name.c_str());
    if (!SameStyle(style, again)) abort();
  }
  std::remove(path.c_str());
  return 0;
}
