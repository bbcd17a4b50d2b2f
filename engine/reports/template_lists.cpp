#include "engine/reports/template_lists.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/reports/graph_specs.h"
#include "engine/reports/template_text.h"
#include "platform/base/files.h"
#include "platform/base/memory.h"
#include "platform/base/strutil.h"

namespace vrn {

namespace {

static_assert(sizeof(GraphSpec) <= TEMPLATE_SPEC_SIZE, "the item record must hold a graph record");
static_assert(sizeof(TemplateSectionRecord) == 274, "packed section record");

constexpr size_t kTokenLimit = 400;

struct Token {
  size_t open;   // position of the opening "%%"
  size_t close;  // position of the closing "%%"
  std::string_view text;
  std::string_view name;  // up to the first "["
};

// Calls f for every "%%token%%" of text in order.
template <typename F>
void ForEachToken(std::string_view text, F f) {
  size_t pos = 0;
  for (;;) {
    const size_t open = text.find("%%", pos);
    if (open == std::string_view::npos) return;
    const size_t close = text.find("%%", open + 2);
    if (close == std::string_view::npos) return;
    Token token;
    token.open = open;
    token.close = close;
    token.text = text.substr(open + 2, std::min(close - open - 2, kTokenLimit));
    token.name = token.text.substr(0, std::min(token.text.find('['), token.text.size()));
    if (!f(token)) return;
    pos = close + 2;
  }
}

void ReadHeader(std::string_view text, char* header, size_t headerSize) {
  if (header == nullptr || headerSize == 0) return;
  const size_t open = IFind(text, "<KVHDR>");
  if (open == std::string_view::npos) return;
  const size_t close = IFind(text, "</KVHDR>", open + 7);
  if (close == std::string_view::npos) return;
  CopyText(header, headerSize, text.substr(open + 7, close - open - 7));
}

size_t LineStartOf(std::string_view text, size_t at) {
  const size_t nl = at == 0 ? std::string_view::npos : text.rfind('\n', at - 1);
  return nl == std::string_view::npos ? 0 : nl + 1;
}

// The parts of a BeginSection token: keyword (after "[" up to the first
// comma) and braced title.
void BeginSectionParts(std::string_view token, std::string* keyword, std::string_view* title) {
  keyword->clear();
  *title = {};
  const size_t bracket = token.find('[');
  if (bracket == std::string_view::npos) return;
  const size_t comma = token.find(',', bracket + 1);
  *keyword = std::string(token.substr(bracket + 1, (comma == std::string_view::npos ? token.size() : comma) - bracket - 1));
  const size_t brace = token.find('{', bracket + 1);
  if (brace == std::string_view::npos) return;
  const size_t end = token.find('}', brace + 1);
  *title = token.substr(brace + 1, (end == std::string_view::npos ? token.size() : end) - brace - 1);
}

// The bracketed numbers of a %EndRepeat token.
void RepeatNumbers(std::string_view token, uint32_t numbers[3], int* found) {
  *found = 0;
  const size_t bracket = token.find('[');
  if (bracket == std::string_view::npos) return;
  size_t pos = bracket + 1;
  while (*found < 3 && pos < token.size()) {
    uint32_t value = 0;
    size_t digits = 0;
    while (pos < token.size() && kv::IsBlank(token[pos])) ++pos;
    while (pos < token.size() && token[pos] >= '0' && token[pos] <= '9') {
      value = (value * 10 + static_cast<uint32_t>(token[pos] - '0')) & 0xFFFFu;
      ++pos;
      ++digits;
    }
    if (digits == 0) return;
    numbers[(*found)++] = value;
    while (pos < token.size() && kv::IsBlank(token[pos])) ++pos;
    if (pos >= token.size() || token[pos] != ',') return;
    ++pos;
  }
}

// The graph text of a Graph token: after "[" up to the last "]" (the length
// without it), and the record parsed from it.
bool GraphText(std::string_view token, size_t* start, size_t* length, GraphSpec* spec) {
  SetGraphSpecDefaults(spec);
  const size_t bracket = token.find('[');
  if (bracket == std::string_view::npos) return false;
  size_t end = token.rfind(']');
  if (end == std::string_view::npos || end < bracket) end = token.size();
  *start = bracket + 1;
  *length = end - bracket - 1;
  std::string copy(token.substr(bracket + 1, end - bracket - 1));
  copy += ']';
  ParseEditorGraphSpec(copy.data(), spec, 0);
  return true;
}

bool ReadItemsFromText(std::string_view text, const char* path, std::vector<TemplateItemRecord>* items) {
  items->clear();
  const size_t pathLength = std::strlen(path);
  if (pathLength >= TEMPLATE_ITEM_TEXT_SIZE) return false;  // the writer could not find the file again
  bool open = false;
  bool ok = true;
  TemplateItemRecord current{};
  ForEachToken(text, [&](const Token& t) {
    if (open && IEndsWith(t.name, "EndSection")) {
      const size_t nl = text.find('\n', t.close + 2);
      const size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
      if (end - current.StartOffset > 0xFFFFu) {
        ok = false;  // an item longer than its 16-bit length cannot be written back
        return false;
      }
      current.Length = static_cast<uint16_t>(end - current.StartOffset);
      CopyText(current.TemplatePath, sizeof current.TemplatePath, path);
      current.Modified = 0;
      items->push_back(current);
      open = false;
      return true;
    }
    if (t.name.size() >= 10 && IEndsWith(t.name, "BeginSection")) {
      current = TemplateItemRecord{};
      open = true;
      current.Modified = 1;
      const size_t start = LineStartOf(text, t.open);
      if (start > 0xFFFFFFFFu) {
        ok = false;
        return false;
      }
      current.StartOffset = static_cast<uint32_t>(start);
      std::string keyword;
      std::string_view title;
      BeginSectionParts(t.text, &keyword, &title);
      current.Class = ClassifyTemplateItem(keyword.c_str());
      CopyText(current.Title, sizeof current.Title, title);
      return true;
    }
    if (!open) return true;
    const size_t tokenStart = t.open + 2;
    if (IEndsWith(t.name, "%EndRepeat")) {
      // The editable text is the row count: the number after the first comma.
      const size_t comma = t.text.find(',');
      if (comma == std::string_view::npos) return true;
      size_t from = comma + 1;
      size_t to = from;
      while (to < t.text.size() && t.text[to] >= '0' && t.text[to] <= '9') ++to;
      uint32_t numbers[3] = {0, 0, 0};
      int found = 0;
      RepeatNumbers(t.text, numbers, &found);
      const size_t offset = tokenStart + from - current.StartOffset;
      if (offset > 0xFFFFu) return true;
      current.SpecOffset = static_cast<uint16_t>(offset);
      current.SpecLength = static_cast<uint16_t>(to - from);
      const uint16_t rows = static_cast<uint16_t>(found >= 2 ? numbers[1] : 0);
      std::memcpy(current.Spec, &rows, sizeof rows);
      return true;
    }
    if (IEndsWith(t.name, "Graph")) {
      size_t start = 0;
      size_t length = 0;
      GraphSpec spec;
      if (!GraphText(t.text, &start, &length, &spec)) return true;
      const size_t offset = tokenStart + start - current.StartOffset;
      if (offset > 0xFFFFu || length > 0xFFFFu) return true;
      current.SpecOffset = static_cast<uint16_t>(offset);
      current.SpecLength = static_cast<uint16_t>(length);
      std::memcpy(current.Spec, &spec, sizeof spec);
    }
    return true;
  });
  return ok;
}

const char* const kChartNames[8] = {"STACKEDBARS", "BARS", "ZBARS", "PIE", "AREA", "LINE", "SIDEBAR", "SIDESTACKEDBARS"};
const char* const kValueNames[4] = {"Hits", "Percent", "Users", "Bytes"};

}  // namespace

uint16_t ClassifyTemplateItem(const char* keyword) {
  if (keyword == nullptr) return 0;
  const std::string_view word = kv::TrimBlanks(keyword);
  if (kv::IEquals(word, "NOEDITGRAPH")) return 3;
  if (kv::IEquals(word, "NOEDITTABLE")) return 4;
  if (IStartsWith(word, "GRAPH")) return 1;
  if (IStartsWith(word, "TABLE")) return 2;
  return 0;
}

bool ReadTemplateItemRecords(const char* path, std::vector<TemplateItemRecord>* items, char* header,
                             size_t headerSize) {
  std::string text;
  if (path == nullptr || !ReadWholeFile(path, &text)) return false;
  ReadHeader(text, header, headerSize);
  if (!ReadItemsFromText(text, path, items)) return false;
  for (TemplateItemRecord& item : *items) item.Selected = item.Class == 3 || item.Class == 4 ? 0 : 1;
  return true;
}

bool ParseTemplateSections(std::string_view text, std::vector<TemplateSectionRecord>* sections, char* header,
                           size_t headerSize) {
  sections->clear();
  ReadHeader(text, header, headerSize);
  bool open = false;
  bool repeated = false;  // the open section holds a repeat block
  TemplateSectionRecord current{};
  ForEachToken(text, [&](const Token& t) {
    if (open && IEndsWith(t.name, "EndSection")) {
      sections->push_back(current);
      open = false;
      return true;
    }
    if (t.name.size() >= 10 && IEndsWith(t.name, "BeginSection")) {
      current = TemplateSectionRecord{};
      open = true;
      repeated = false;
      CopyText(current.Name, sizeof current.Name, t.name);
      std::string keyword;
      std::string_view title;
      BeginSectionParts(t.text, &keyword, &title);
      current.Class = ClassifyTemplateItem(keyword.c_str());
      const size_t lt = title.find('<');
      const size_t gt = lt == std::string_view::npos ? lt : title.find('>', lt + 1);
      if (gt != std::string_view::npos) CopyText(current.Title, sizeof current.Title, title.substr(lt + 1, gt - lt - 1));
      return true;
    }
    if (!open) return true;
    if (IEndsWith(t.name, "%EndRepeat")) {
      uint32_t numbers[3] = {0, 0, 0};
      int found = 0;
      RepeatNumbers(t.text, numbers, &found);
      current.FirstRow = static_cast<uint16_t>(numbers[0]);
      current.RowCount = static_cast<uint16_t>(numbers[1]);
      current.ColumnCount = static_cast<uint16_t>(numbers[2]);
      repeated = true;
      return true;
    }
    if (IEndsWith(t.name, "Graph")) {
      size_t start = 0;
      size_t length = 0;
      GraphSpec spec;
      if (GraphText(t.text, &start, &length, &spec)) {
        current.GraphType = spec.chartType;
        // The row count is the repeat block's when the section has one: a
        // chart beside the table never shortens the table.
        if (!repeated) current.RowCount = spec.lastRow;
        current.GraphOption = spec.threeD;
      }
    }
    return true;
  });
  return true;
}

std::string FormatItemSpecification(const TemplateItemRecord& item) {
  char line[800];
  if (item.Class == 1 || item.Class == 3) {
    GraphSpec spec;
    std::memcpy(&spec, item.Spec, sizeof spec);
    spec.title[sizeof spec.title - 1] = 0;
    spec.itemAxisLabel[sizeof spec.itemAxisLabel - 1] = 0;
    spec.valueAxisLabel[sizeof spec.valueAxisLabel - 1] = 0;
    // The height goes with the type word unless it is the default, so that
    // an edited chart keeps its size.
    char type[40];
    std::snprintf(type, sizeof type, spec.height != 100 ? "%s=%d" : "%s", kChartNames[spec.chartType & 7u],
                  static_cast<int>(spec.height));
    std::snprintf(line, sizeof line, "%s, {%s}, %s, %s {%s}, %s {%s}, %d-%d,%lx%s", type, spec.title,
                  spec.threeD != 0 ? "3D" : "2D", spec.timeline != 0 ? "Timeline" : "Items", spec.itemAxisLabel,
                  kValueNames[spec.valueKind & 3u], spec.valueAxisLabel, static_cast<int>(spec.firstRow),
                  static_cast<int>(spec.lastRow), static_cast<unsigned long>(spec.colour),
                  spec.total != 0 ? ":Total" : "");
    return line;
  }
  if (item.Class == 2 || item.Class == 4) {
    uint16_t rows = 0;
    std::memcpy(&rows, item.Spec, sizeof rows);
    std::snprintf(line, sizeof line, "%d", static_cast<int>(rows));
    return line;
  }
  return std::string();
}

int WriteTemplateHeader(const char* sourcePath, KvFile out, uint32_t offset, uint32_t length, const char* header,
                        size_t bufferSize) {
  if (sourcePath == nullptr || bufferSize == 0) return 0;
  KvFile in = kv::FileOpen(sourcePath, kv::kFileRead, kv::FileDisposition::kOpenExisting);
  if (in == KV_INVALID_FILE) return 0;
  const int64_t size = kv::FileSize(in);
  if (size < 0 || kv::FileSeek(in, offset, kv::kSeekBegin) < 0) {
    kv::FileClose(in);
    return 0;
  }
  int64_t remaining = length == kCopyToEnd ? size - static_cast<int64_t>(offset) : static_cast<int64_t>(length);
  if (remaining < 0) remaining = 0;
  std::string chunk(bufferSize, '\0');
  bool replaced = header == nullptr;
  bool ok = true;
  while (ok && remaining > 0) {
    const uint32_t want = static_cast<uint32_t>(std::min<int64_t>(remaining, static_cast<int64_t>(bufferSize)));
    uint32_t got = 0;
    ok = kv::FileRead(in, chunk.data(), want, &got) && got == want;
    if (!ok) break;
    std::string_view piece(chunk.data(), want);
    if (!replaced) {
      const size_t open = IFind(piece, "<KVHDR>");
      const size_t close = open == std::string_view::npos ? open : IFind(piece, "</KVHDR>", open + 7);
      if (close != std::string_view::npos) {
        ok = WriteAll(out, piece.substr(0, open + 7)) && WriteAll(out, header) && WriteAll(out, piece.substr(close));
        replaced = true;
        remaining -= want;
        continue;
      }
    }
    ok = WriteAll(out, piece);
    remaining -= want;
  }
  kv::FileClose(in);
  return ok ? 1 : 0;
}

int ReadTemplateItems(const char* path, uint16_t* count, KvGlobal* handle, char* header, size_t headerSize) {
  if (count == nullptr || handle == nullptr) return 0;
  *count = 0;
  *handle = 0;
  std::vector<TemplateItemRecord> items;
  if (!ReadTemplateItemRecords(path, &items, header, headerSize) || items.size() > 0xFFFEu) return 0;
  KvGlobal block = kv::GlobalAlloc(kv::kGlobalMoveable | kv::kGlobalZeroInit, (items.size() + 1) * sizeof(TemplateItemRecord));
  if (block == 0) return 0;
  auto* records = static_cast<TemplateItemRecord*>(kv::GlobalLock(block));
  if (records == nullptr) {
    kv::GlobalFree(block);
    return 0;
  }
  if (!items.empty()) std::memcpy(records, items.data(), items.size() * sizeof(TemplateItemRecord));
  kv::GlobalUnlock(block);
  *count = static_cast<uint16_t>(items.size());
  *handle = block;
  return 1;
}

}  // namespace vrn

namespace {

template <typename Record>
int32_t HandOut(const std::vector<Record>& records, uint16_t* count, uint32_t* handle) {
  if (records.size() > 0xFFFEu) return 0;
  KvGlobal block = kv::GlobalAlloc(kv::kGlobalMoveable | kv::kGlobalZeroInit, (records.size() + 1) * sizeof(Record));
  if (block == 0) return 0;
  auto* target = static_cast<Record*>(kv::GlobalLock(block));
  if (target == nullptr) {
    kv::GlobalFree(block);
    return 0;
  }
  if (!records.empty()) std::memcpy(target, records.data(), records.size() * sizeof(Record));
  kv::GlobalUnlock(block);
  *count = static_cast<uint16_t>(records.size());
  *handle = block;
  return 1;
}

}  // namespace

VORNIC_API int32_t VRN_ReadTemplateItemList(const char* templatePath, const char* savedPath, uint16_t* count,
                                            uint32_t* handle, char* header, uint32_t headerSize) {
  if (count == nullptr || handle == nullptr) return 0;
  *count = 0;
  *handle = 0;
  std::vector<TemplateItemRecord> items;
  if (!vrn::ReadTemplateItemRecords(templatePath, &items, header, headerSize)) return 0;
  if (savedPath != nullptr) {
    std::vector<TemplateItemRecord> saved;
    if (!vrn::ReadTemplateItemRecords(savedPath, &saved, nullptr, 0)) return 0;
    for (TemplateItemRecord& item : items) {
      item.Selected = 0;
      if (item.Class == 3 || item.Class == 4) continue;
      for (const TemplateItemRecord& s : saved) {
        if (s.Class == item.Class &&
            kv::IEquals(std::string_view(s.Title, strnlen(s.Title, sizeof s.Title)),
                        std::string_view(item.Title, strnlen(item.Title, sizeof item.Title)))) {
          item = s;
          item.Selected = 1;
          break;
        }
      }
    }
  }
  return HandOut(items, count, handle);
}

VORNIC_API int32_t VRN_ReadTemplateSectionList(const char* templatePath, uint16_t* count, uint32_t* handle,
                                               char* header, uint32_t headerSize) {
  if (count == nullptr || handle == nullptr) return 0;
  *count = 0;
  *handle = 0;
  std::string text;
  if (templatePath == nullptr || !vrn::ReadWholeFile(templatePath, &text)) return 0;
  std::vector<TemplateSectionRecord> sections;
  vrn::ParseTemplateSections(text, &sections, header, headerSize);
  return HandOut(sections, count, handle);
}

VORNIC_API int32_t VRN_WriteTemplateItemList(const char* outputPath, uint16_t count, uint32_t handle,
                                             const char* header) {
  if (outputPath == nullptr || count == 0 || handle == 0) return 0;
  if (kv::GlobalSize(handle) < static_cast<size_t>(count) * sizeof(TemplateItemRecord)) return 0;
  const auto* records = static_cast<const TemplateItemRecord*>(kv::GlobalLock(handle));
  if (records == nullptr) return 0;
  std::vector<TemplateItemRecord> items(records, records + count);
  kv::GlobalUnlock(handle);
  for (TemplateItemRecord& item : items) {
    item.TemplatePath[sizeof item.TemplatePath - 1] = 0;
    if (item.SpecOffset > item.Length || item.SpecLength > item.Length - item.SpecOffset) item.SpecLength = 0, item.SpecOffset = 0;
  }

  // The new template is written beside the output and then put in its
  // place, so that writing a template back over one of its sources reads
  // the source whole before it is replaced.
  const std::string partPath = std::string(outputPath) + ".part";
  KvFile out = kv::FileOpen(partPath.c_str(), kv::kFileWrite, kv::FileDisposition::kCreateAlways);
  if (out == KV_INVALID_FILE) return 0;
  const TemplateItemRecord& first = items.front();
  bool ok = vrn::WriteTemplateHeader(first.TemplatePath, out, 0, first.StartOffset, header != nullptr ? header : nullptr,
                                     vrn::kTemplateReadChunk) == 1;
  for (size_t i = 0; i < items.size(); ++i) {
    if (!ok) break;
    const TemplateItemRecord& item = items[i];
    // The text between an item and the one before it in the same template
    // (chapter lines, headings, blank lines) stays, whether the items stay
    // or not.
    if (i > 0) {
      const TemplateItemRecord& before = items[i - 1];
      const uint32_t beforeEnd = before.StartOffset + before.Length;
      if (std::strcmp(before.TemplatePath, item.TemplatePath) == 0 && item.StartOffset > beforeEnd) {
        ok = vrn::WriteTemplateHeader(item.TemplatePath, out, beforeEnd, item.StartOffset - beforeEnd, nullptr,
                                      vrn::kTemplateReadChunk) == 1;
        if (!ok) break;
      }
    }
    // Items the client cannot edit (NOEDITGRAPH, NOEDITTABLE) are never
    // offered for choice: unless chosen and edited they stay as they are.
    const bool fixedItem = item.Class == 3 || item.Class == 4;
    if (item.Selected != 1 && !fixedItem) continue;
    if (item.Modified == 0 || item.Selected != 1) {
      ok = vrn::WriteTemplateHeader(item.TemplatePath, out, item.StartOffset, item.Length, nullptr,
                                    vrn::kTemplateReadChunk) == 1;
      continue;
    }
    const uint32_t specEnd = static_cast<uint32_t>(item.SpecOffset) + item.SpecLength;
    ok = vrn::WriteTemplateHeader(item.TemplatePath, out, item.StartOffset, item.SpecOffset, nullptr,
                                  vrn::kTemplateReadChunk) == 1 &&
         vrn::WriteAll(out, vrn::FormatItemSpecification(item)) &&
         vrn::WriteTemplateHeader(item.TemplatePath, out, item.StartOffset + specEnd, item.Length - specEnd, nullptr,
                                  vrn::kTemplateReadChunk) == 1;
  }
  const TemplateItemRecord& last = items.back();
  ok = ok && vrn::WriteTemplateHeader(last.TemplatePath, out, last.StartOffset + last.Length, vrn::kCopyToEnd, nullptr,
                                      vrn::kTemplateReadChunk) == 1;
  ok = kv::FileClose(out) && ok;
  ok = ok && kv::FileMove(partPath.c_str(), outputPath, true);
  // A failed write leaves no partial file, and a template already standing
  // at the output path stays as it was.
  if (!ok) kv::FileDelete(partPath.c_str());
  return ok ? 1 : 0;
}
