#include "engine/database/ad_views.h"

#include <cstring>

#include "engine/core/engine_state.h"
#include "engine/database/analysis_context.h"
#include "platform/base/paths.h"
#include "platform/ui/msgbox.h"

namespace vrn {

AdViewsLine ParseAdViewsLine(std::string_view line, std::string* first, std::string* second, std::string* third) {
  if (line.find('"') == std::string_view::npos) return AdViewsLine::kNoEntry;
  std::string* fields[3] = {first, second, third};
  size_t pos = 0;
  for (std::string* field : fields) {
    const size_t open = line.find('"', pos);
    if (open == std::string_view::npos) return AdViewsLine::kBad;
    const size_t close = line.find('"', open + 1);
    if (close == std::string_view::npos) return AdViewsLine::kBad;
    field->assign(line.substr(open + 1, close - open - 1));
    pos = close + 1;
  }
  return AdViewsLine::kEntry;
}

int LoadAdViewList(AnalysisContext* context) {
  if (context == nullptr) return 0;
  FILE* file = VRN_OpenAdViewsDataFile();
  if (file == nullptr) return 0;
  int added = 0;
  for (;;) {
    // Cleared before each line, so that a line without an entry (which
    // leaves them as they are) is not taken for the entry before it.
    char a[ADVIEWS_LINE_SIZE] = {};
    char b[ADVIEWS_LINE_SIZE] = {};
    char c[ADVIEWS_LINE_SIZE] = {};
    const int32_t result = VRN_GetAdViewsEntry(file, a, b, c);
    if (result == -1) return added;  // the file is closed already
    if (result == 0) break;
    if (b[0] == 0 && c[0] == 0 && a[0] == 0) continue;
    if (AddAdViewEntry(context, b, c, a) != 1) break;
    ++added;
  }
  VRN_CloseAdViewsDataFile(file);
  return added;
}

}  // namespace vrn

VORNIC_API FILE* VRN_OpenAdViewsDataFile(void) {
  const std::string path = kv::ResolvePath(vrn::EngineFolder() + "ADVIEWS.TXT");
  // Nothing is ever written to the file: reading is enough.
  return std::fopen(path.c_str(), "rb");
}

VORNIC_API int32_t VRN_GetAdViewsEntry(FILE* file, char* a, char* b, char* c) {
  if (file == nullptr) return 0;
  // One line of at most ADVIEWS_LINE_SIZE - 1 characters; the tail of a
  // longer line is skipped rather than read as a line of its own.
  std::string line;
  int ch = 0;
  bool any = false;
  while ((ch = std::fgetc(file)) != EOF) {
    any = true;
    if (ch == '\n') break;
    if (line.size() < ADVIEWS_LINE_SIZE - 1) line += static_cast<char>(ch);
  }
  if (!any) return 0;
  const size_t crlf = line.find("\r\n");
  if (crlf != std::string::npos) line.resize(crlf);
  const size_t lfcr = line.find("\n\r");
  if (lfcr != std::string::npos) line.resize(lfcr);
  if (!line.empty() && line.back() == '\r') line.pop_back();  // the CR of CR LF
  std::string first;
  std::string second;
  std::string third;
  switch (vrn::ParseAdViewsLine(line, &first, &second, &third)) {
    case vrn::AdViewsLine::kNoEntry:
      return 1;
    case vrn::AdViewsLine::kBad:
      kv::ui::MessageBox(0, "Bad file format in advertising views and clicks file.", "Temporary Message",
                         kv::ui::MbOk);
      std::fclose(file);
      return -1;
    case vrn::AdViewsLine::kEntry:
      break;
  }
  // Each field is part of a line of at most ADVIEWS_LINE_SIZE - 1 characters.
  if (b != nullptr) std::memcpy(b, first.c_str(), first.size() + 1);
  if (c != nullptr) std::memcpy(c, second.c_str(), second.size() + 1);
  if (a != nullptr) std::memcpy(a, third.c_str(), third.size() + 1);
  return 1;
}

VORNIC_API void VRN_CloseAdViewsDataFile(FILE* file) {
  if (file != nullptr) std::fclose(file);
}
