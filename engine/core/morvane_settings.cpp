// Database-lookup settings: allocation, and their profile sections.
#include "engine/core/morvane_settings.h"

#include <cstdlib>

#include "engine/core/profile.h"

namespace vrn {

int ParseMorvaneSection(const ProfileText& text, std::string_view name, MorvaneSettings* s) {
  if (s == nullptr) return 0;
  s->Enabled = static_cast<uint32_t>(text.GetInt(name, "MorvaneEnabled", 0));
  text.GetField(name, "MorvaneDSN", "", s->DSN, sizeof s->DSN);
  if (s->DSN[0] == '\0') return 0;
  text.GetField(name, "MorvaneTable", "", s->Table, sizeof s->Table);
  if (s->Table[0] == '\0') return 0;
  text.GetField(name, "MorvaneKeyColumn", "", s->KeyColumn, sizeof s->KeyColumn);
  if (s->KeyColumn[0] == '\0') return 0;
  text.GetField(name, "MorvaneReportTitle", "", s->ReportTitle, sizeof s->ReportTitle);
  s->ShowOnlyMorvane = static_cast<uint32_t>(text.GetInt(name, "MorvaneShowOnlyMorvane", 0));

  MorvaneColumn** tail = &s->Columns;
  for (unsigned n = 1;; ++n) {
    const std::string num = std::to_string(n);
    std::string_view column;
    if (!text.Lookup(name, "MorvaneDataColumn" + num, column) || column.empty()) break;
    MorvaneColumn* c = AllocMorvaneData();
    if (c == nullptr) return 0;
    CopyToField(c->DataColumn, sizeof c->DataColumn, column);
    c->DataType = static_cast<uint32_t>(text.GetInt(name, "MorvaneDataType" + num, 0));
    c->ColumnNumber = static_cast<uint32_t>(text.GetInt(name, "MorvaneColumnNumber" + num, 0));
    c->ReportSequence = static_cast<uint32_t>(text.GetInt(name, "MorvaneReportSequence" + num, 0));
    *tail = c;
    tail = &c->Next;
  }
  return 1;
}

MorvaneSettings* ReadMorvaneSection(const ProfileText& text, std::string_view name) {
  if (text.Find(name) == nullptr) return nullptr;
  MorvaneSettings* s = AllocMorvane();
  if (s == nullptr) return nullptr;
  if (ParseMorvaneSection(text, name, s) == 0) {
    FreeMorvane(s);
    return nullptr;
  }
  return s;
}

bool AppendMorvaneSection(const MorvaneSettings* s, const char* name, std::string& out) {
  if (s == nullptr) return true;
  std::string t;
  auto line = [&](std::string_view key, std::string_view value) { AppendKeyLine(t, key, value); };
  auto number = [&](std::string_view key, uint32_t v) { AppendKeyNumber(t, key, static_cast<int32_t>(v)); };
  const std::string_view dsn = FieldText(s->DSN, sizeof s->DSN);
  const std::string_view table = FieldText(s->Table, sizeof s->Table);
  const std::string_view key = FieldText(s->KeyColumn, sizeof s->KeyColumn);
  const std::string_view title = FieldText(s->ReportTitle, sizeof s->ReportTitle);
  if (HasLineBreak(dsn) || HasLineBreak(table) || HasLineBreak(key) || HasLineBreak(title)) return false;

  t += '[';
  t += name;
  t += "]\r\n";
  number("MorvaneEnabled", s->Enabled);
  line("MorvaneDSN", dsn);
  line("MorvaneTable", table);
  line("MorvaneKeyColumn", key);
  line("MorvaneReportTitle", title);
  number("MorvaneShowOnlyMorvane", s->ShowOnlyMorvane);
  // Columns are numbered without gaps; a column without a name would end the
  // list when read back and lose every later column, so it is not written.
  unsigned n = 1;
  for (const MorvaneColumn* c = s->Columns; c != nullptr; c = c->Next) {
    const std::string_view column = FieldText(c->DataColumn, sizeof c->DataColumn);
    if (column.empty()) continue;
    if (HasLineBreak(column)) return false;
    const std::string num = std::to_string(n++);
    number("MorvaneDataType" + num, c->DataType);
    line("MorvaneDataColumn" + num, column);
    number("MorvaneColumnNumber" + num, c->ColumnNumber);
    number("MorvaneReportSequence" + num, c->ReportSequence);
  }
  out += t;
  return true;
}

}  // namespace vrn

extern "C" {

KV_EXPORT MorvaneSettings* AllocMorvane(void) {
  return static_cast<MorvaneSettings*>(std::calloc(1, sizeof(MorvaneSettings)));
}

KV_EXPORT MorvaneColumn* AllocMorvaneData(void) {
  return static_cast<MorvaneColumn*>(std::calloc(1, sizeof(MorvaneColumn)));
}

KV_EXPORT void FreeMorvaneColumns(MorvaneColumn* first) {
  while (first != nullptr) {
    MorvaneColumn* next = first->Next;
    std::free(first);
    first = next;
  }
}

KV_EXPORT void FreeMorvane(MorvaneSettings* settings) {
  if (settings == nullptr) return;
  FreeMorvaneColumns(settings->Columns);
  std::free(settings);
}

}  // extern "C"
