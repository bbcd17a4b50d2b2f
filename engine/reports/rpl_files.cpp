#include "engine/reports/rpl_files.h"

#include <algorithm>
#include <cstring>

#include "engine/core/report_settings.h"
#include "engine/reports/template_text.h"
#include "platform/base/strutil.h"
#include "platform/ui/msgbox.h"

namespace vrn {

namespace {

// The process-wide table: pairs sorted by name (byte order; of equal names
// the one met first in the file comes first and is the one found).
struct RplTable {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::string path;
  unsigned reads = 0;
};

RplTable& Table() {
  static RplTable table;
  return table;
}

bool LessByName(const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b) {
  return a.first < b.first;
}

// The report settings expand their "<name>" references through this table.
int LoadForSettings(const char* path) { return ReadRplFile(path); }
bool LookupForSettings(const char* name, std::string* value) { return LookupRplVariable(name, value); }

struct SettingsHook {
  SettingsHook() { SetRplVariableSource({LoadForSettings, LookupForSettings}); }
} g_settingsHook;

}  // namespace

std::vector<std::pair<std::string, std::string>> ParseRplText(const char* text, size_t length) {
  std::vector<std::pair<std::string, std::string>> pairs;
  if (text == nullptr) return pairs;
  const std::string_view all(text, length);
  size_t pos = 0;
  while (pairs.size() < kRplMaxVariables) {
    const size_t open = all.find('<', pos);
    if (open == std::string_view::npos) break;
    const size_t close = all.find('>', open + 1);
    if (close == std::string_view::npos) break;
    const size_t brace = all.find('{', close + 1);
    if (brace == std::string_view::npos) break;
    // A name whose value is missing: the next "<" starts the next entry.
    const size_t nextName = all.find('<', close + 1);
    if (nextName != std::string_view::npos && nextName < brace) {
      pos = nextName;
      continue;
    }
    const size_t end = all.find('}', brace + 1);
    if (end == std::string_view::npos) break;
    pairs.emplace_back(std::string(all.substr(open + 1, close - open - 1)),
                       std::string(all.substr(brace + 1, end - brace - 1)));
    pos = end + 1;
  }
  return pairs;
}

int ReadRplFile(const char* path) {
  RplTable& table = Table();
  if (path != nullptr && !table.path.empty() && kv::IEquals(table.path, path)) return 1;
  table.pairs.clear();
  std::string text;
  if (path == nullptr || !ReadWholeFile(path, &text)) {
    // Forget the cached path too: the table is empty now, and a later load
    // of the same file must read it again rather than keep the empty table.
    table.path.clear();
    kv::ui::MessageBox(0, "Can't Load .Rpl file", "Load", kv::ui::MbOk);
    return 0;
  }
  ++table.reads;
  table.pairs = ParseRplText(text.data(), text.size());
  std::stable_sort(table.pairs.begin(), table.pairs.end(), LessByName);
  table.path = path;
  return 1;
}

bool LookupRplVariable(const char* name, std::string* value) {
  value->clear();
  if (name == nullptr) return false;
  const RplTable& table = Table();
  const std::pair<std::string, std::string> key(name, std::string());
  auto it = std::lower_bound(table.pairs.begin(), table.pairs.end(), key, LessByName);
  if (it == table.pairs.end() || it->first != key.first) return false;
  *value = it->second;
  return true;
}

void ResetRplTable() {
  Table().pairs.clear();
  Table().path.clear();
}

unsigned RplFileReads() { return Table().reads; }

}  // namespace vrn

VORNIC_API int32_t fetchvar_ReadVarData(const char* path) { return vrn::ReadRplFile(path); }

VORNIC_API int32_t fetchvar_GetVarData(const char* name, char* buffer, uint32_t size) {
  if (buffer != nullptr && size > 0) buffer[0] = 0;
  std::string value;
  if (!vrn::LookupRplVariable(name, &value)) return 0;
  if (buffer == nullptr || size == 0) return 1;
  vrn::CopyText(buffer, size, value);
  return 1;
}
