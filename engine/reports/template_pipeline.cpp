#include "engine/reports/template_pipeline.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "engine/core/report_run.h"
#include "engine/reports/rpl_files.h"
#include "engine/reports/template_lists.h"
#include "engine/reports/template_text.h"
#include "platform/base/files.h"
#include "platform/base/memory.h"
#include "platform/base/strutil.h"
#include "platform/ostrel/ostrel.h"
#include "platform/ui/msgbox.h"

namespace vrn {

namespace {

constexpr std::string_view kBeginRepeat = "%%%BeginRepeat%%%";
constexpr std::string_view kEndRepeat = "%%%EndRepeat";
constexpr size_t kSectionNameLimit = 260;

void YieldToClient() { KVUI_MyPeekMessage(); }

// Start of the line that holds position at.
size_t LineStart(std::string_view text, size_t at) {
  const size_t nl = at == 0 ? std::string_view::npos : text.rfind('\n', at - 1);
  return nl == std::string_view::npos ? 0 : nl + 1;
}

// Just after the line end of the line that holds position at (or the end).
size_t LineEnd(std::string_view text, size_t at) {
  const size_t nl = text.find('\n', at);
  return nl == std::string_view::npos ? text.size() : nl + 1;
}

// Skips one empty line ("\r\n" or "\n") at pos, the blank line that
// separates chapters and sections.
size_t SkipEmptyLine(std::string_view text, size_t pos) {
  if (text.compare(pos, 2, "\r\n") == 0) return pos + 2;
  if (pos < text.size() && text[pos] == '\n') return pos + 1;
  return pos;
}

// The name (token text up to the end of "BeginSection") and keyword class of
// the section whose BeginSection word stands at `begin` of text.
void SectionIdentity(std::string_view text, size_t sectionStart, size_t begin, std::string* name,
                     uint16_t* keywordClass) {
  const size_t wordEnd = begin + std::strlen("BeginSection");
  size_t open = text.find("%%", sectionStart);
  if (open == std::string_view::npos || open > begin) open = begin;
  else open += 2;
  *name = std::string(text.substr(open, std::min(wordEnd - open, kSectionNameLimit)));
  // The keyword follows one separating character (the "[").
  size_t kw = wordEnd + 1;
  size_t kwEnd = kw;
  while (kwEnd < text.size() && kwEnd - kw < 64 && std::strchr(",]%{}\r\n", text[kwEnd]) == nullptr) ++kwEnd;
  *keywordClass = kw < text.size() ? ClassifyTemplateItem(std::string(text.substr(kw, kwEnd - kw)).c_str()) : 0;
}

const TemplateSectionRecord* FindSectionRecord(const TemplateSectionRecord* records, uint16_t count,
                                               const std::string& name, uint16_t keywordClass) {
  for (uint16_t i = 0; i < count; ++i) {
    const TemplateSectionRecord& r = records[i];
    const std::string_view recordName(r.Name, strnlen(r.Name, sizeof r.Name));
    if (r.Class == keywordClass && kv::IEquals(recordName, name)) return &records[i];
  }
  return nullptr;
}

void AppendNumber(std::string* out, const char* format, uint32_t a, uint32_t b = 0) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, format, a, b);
  *out += buffer;
}

}  // namespace

int ExpandRepeatBlocksToText(const TemplateSectionRecord* section, const std::string& chapter, std::string* out) {
  out->clear();
  const std::string_view text(chapter);
  size_t block = text.find(kBeginRepeat);
  if (block == std::string_view::npos || section == nullptr) {
    *out = chapter;
    return 0;
  }
  const uint32_t rows = section->RowCount;
  const uint32_t columns = section->ColumnCount;
  const uint32_t first = section->FirstRow;
  size_t pos = 0;
  int expanded = 0;
  while (block != std::string_view::npos) {
    out->append(text.substr(pos, block - pos));
    const size_t bodyStart = block + kBeginRepeat.size();
    const size_t bodyEnd = text.find(kEndRepeat, bodyStart);
    if (bodyEnd == std::string_view::npos) {
      // A block without its end: the rest stays as it is.
      pos = block;
      break;
    }
    const std::string_view body = text.substr(bodyStart, bodyEnd - bodyStart);
    for (uint32_t r = 0; r < rows; ++r) {
      for (uint32_t c = 0; c < (columns != 0 ? columns : 1u); ++c) {
        std::string line;
        for (char ch : body) {
          if (line.size() >= kRepeatLineLimit) break;
          if (ch == '\r' || ch == '\n') continue;
          if (ch == '^') AppendNumber(&line, "%u", r + 1);
          else if (ch == '~' && columns != 0) AppendNumber(&line, "%u,%u", r + first, c);
          else if (ch == '~') AppendNumber(&line, "%u", r + first);
          else line += ch;
        }
        if (line.size() > kRepeatLineLimit) line.resize(kRepeatLineLimit);
        out->append(line);
        out->append("\r\n");
      }
    }
    // The closing token: "%%%", its text up to and including the next "%",
    // and the two "%" after it.
    size_t after = bodyEnd + 3;
    const size_t percent = text.find('%', after);
    after = percent == std::string_view::npos ? text.size() : std::min(text.size(), percent + 1 + 2);
    pos = after;
    expanded = 1;
    block = text.find(kBeginRepeat, pos);
  }
  out->append(text.substr(std::min(pos, text.size())));
  return expanded;
}

int ExpandRepeatBlocks(ReportHandle* /*run*/, const TemplateSectionRecord* section, KvFile out,
                       const std::string& chapter) {
  std::string text;
  const int result = ExpandRepeatBlocksToText(section, chapter, &text);
  YieldToClient();
  return WriteAll(out, text) ? result : -1;
}

namespace {

// BuildWorkingTemplate; without a section list in the run nothing is
// written unless `wholeWithoutList` asks for the whole template.
int BuildTemplate(const char* workingPath, ReportHandle* run, const char* sourceName, bool wholeWithoutList) {
  if (workingPath == nullptr || run == nullptr || sourceName == nullptr) return 0;
  if (run->sectionListHandle == 0 && !wholeWithoutList) return 0;
  const std::string sourcePath = std::string(run->parentDir) + "Template\\" + sourceName;
  std::string source;
  if (!ReadWholeFile(sourcePath.c_str(), &source)) {
    kv::ui::MessageBox(0, "Can't Load template file", "Load", kv::ui::MbOk);
    return 0;
  }
  // The client's choice of sections; without one the template is taken
  // whole: every section of the source kept, with the repeat counts written
  // in the source.
  const TemplateSectionRecord* records = nullptr;
  uint16_t recordCount = 0;
  std::vector<TemplateSectionRecord> whole;
  const KvGlobal list = run->sectionListHandle;
  if (list != 0) records = static_cast<const TemplateSectionRecord*>(kv::GlobalLock(list));
  const bool locked = records != nullptr;
  if (list != 0 && !locked) return 0;
  if (locked) {
    recordCount = run->sectionCount;
    const size_t capacity = kv::GlobalSize(list) / sizeof(TemplateSectionRecord);
    if (recordCount > capacity) recordCount = static_cast<uint16_t>(capacity);
  } else {
    ParseTemplateSections(source, &whole, nullptr, 0);
    for (TemplateSectionRecord& r : whole) r.Kept = 1;
    if (whole.size() > 0xFFFFu) whole.resize(0xFFFFu);
    records = whole.data();
    recordCount = static_cast<uint16_t>(whole.size());
  }
  KvFile out = kv::FileOpen(workingPath, kv::kFileReadWrite, kv::FileDisposition::kCreateAlways);
  if (out == KV_INVALID_FILE) {
    if (locked) kv::GlobalUnlock(list);
    kv::ui::MessageBox(0, "Cannot Save template file!", "Save", kv::ui::MbOk);
    return 0;
  }

  const std::string_view text(source);
  bool ok = true;
  size_t pos = 0;  // start of the text not yet handled
  const size_t firstChapter = text.find("BeginChapter");
  if (firstChapter != std::string_view::npos) {
    const size_t head = LineStart(text, firstChapter);
    ok = WriteAll(out, text.substr(0, head)) && WriteAll(out, "\r\n");
    pos = head;
    size_t chapterWord = firstChapter;
    while (ok && chapterWord != std::string_view::npos) {
      YieldToClient();
      const size_t chapterStart = LineStart(text, chapterWord);
      // Text between two chapters stays as it is.
      if (pos < chapterStart) ok = WriteAll(out, text.substr(pos, chapterStart - pos));
      pos = std::max(pos, chapterStart);
      const size_t endWord = text.find("EndChapter", chapterWord);
      if (endWord == std::string_view::npos) break;  // the rest is copied as it stands
      const size_t chapterEnd = LineEnd(text, endWord);
      const std::string_view chapter = text.substr(0, chapterEnd);

      // Each kept section's repeat blocks are expanded with its own record;
      // the chapter's own text around the sections with the last kept one.
      struct Piece {
        std::string text;
        bool expanded;
      };
      std::vector<Piece> pieces;
      const TemplateSectionRecord* lastKept = nullptr;
      size_t sectionWord = chapter.find("BeginSection", chapterStart);
      size_t cursor = chapterStart;
      bool walkEnds = false;
      if (sectionWord != std::string_view::npos) {
        const size_t firstSection = LineStart(text, sectionWord);
        pieces.push_back({std::string(text.substr(chapterStart, firstSection - chapterStart)) + "\r\n", false});
        cursor = firstSection;
      }
      while (sectionWord != std::string_view::npos) {
        YieldToClient();
        const size_t sectionStart = LineStart(text, sectionWord);
        const size_t sectionEndWord = chapter.find("EndSection", sectionWord);
        if (sectionEndWord == std::string_view::npos) {
          walkEnds = true;
          break;
        }
        const size_t sectionEnd = LineEnd(text, sectionEndWord);
        std::string name;
        uint16_t keywordClass = 0;
        SectionIdentity(text, sectionStart, sectionWord, &name, &keywordClass);
        const TemplateSectionRecord* record = FindSectionRecord(records, recordCount, name, keywordClass);
        if (record != nullptr && record->Kept != 0) {
          std::string expanded;
          ExpandRepeatBlocksToText(record, std::string(text.substr(sectionStart, sectionEnd - sectionStart)),
                                   &expanded);
          pieces.push_back({expanded + "\r\n", true});
          lastKept = record;
        }
        cursor = SkipEmptyLine(text, sectionEnd);
        sectionWord = chapter.find("BeginSection", cursor);
      }
      if (!walkEnds) pieces.push_back({std::string(text.substr(cursor, chapterEnd - std::min(cursor, chapterEnd))), false});
      if (lastKept != nullptr) {
        std::string assembled;
        std::string expanded;
        for (const Piece& piece : pieces) {
          if (piece.expanded) {
            assembled += piece.text;
          } else {
            ExpandRepeatBlocksToText(lastKept, piece.text, &expanded);
            assembled += expanded;
          }
        }
        YieldToClient();
        ok = WriteAll(out, assembled);
      }
      pos = walkEnds ? chapterEnd : SkipEmptyLine(text, chapterEnd);
      if (walkEnds) break;
      chapterWord = text.find("BeginChapter", pos);
    }
  }
  if (ok) ok = WriteAll(out, text.substr(std::min(pos, text.size())));
  ok = ok && kv::FileSetEnd(out);
  kv::FileClose(out);
  if (locked) kv::GlobalUnlock(list);
  return ok ? 1 : 0;
}

}  // namespace

int BuildWorkingTemplate(const char* workingPath, ReportHandle* run, const char* sourceName) {
  return BuildTemplate(workingPath, run, sourceName, false);
}

int BuildWholeWorkingTemplate(const char* workingPath, ReportHandle* run, const char* sourceName) {
  return BuildTemplate(workingPath, run, sourceName, true);
}

int LocaliseTemplate(const char* workingPath, ReportHandle* run) { return LocaliseTemplate(workingPath, run, nullptr); }

int LocaliseTemplate(const char* workingPath, ReportHandle* run, std::string* localised) {
  if (localised != nullptr) localised->clear();
  if (workingPath == nullptr || run == nullptr) return 0;
  const std::string language = run->language[0] != '\0' ? std::string(run->language) : std::string("ENGLISH");
  ReadRplFile((std::string(run->parentDir) + "Template\\" + language + ".RPL").c_str());

  KvFile file = kv::FileOpen(workingPath, kv::kFileReadWrite, kv::FileDisposition::kOpenExisting);
  if (file == KV_INVALID_FILE) {
    kv::ui::MessageBox(0, "Cannot Load template file", "Load", kv::ui::MbOk);
    return 0;
  }
  const int64_t size = kv::FileSize(file);
  std::string text;
  bool ok = size >= 0 && size < (int64_t{1} << 31);
  if (ok) {
    text.resize(static_cast<size_t>(size));
    uint32_t got = 0;
    ok = text.empty() || (kv::FileRead(file, text.data(), static_cast<uint32_t>(text.size()), &got) &&
                          got == text.size());
  }
  if (!ok) {
    kv::FileClose(file);
    return 0;
  }
  const DravelEntry* profile = run->profile;
  const bool authLookup = profile != nullptr && profile->MorvaneAuthUser != nullptr &&
                          profile->MorvaneAuthUser->Enabled != 0;
  const bool domainLookup = profile != nullptr && profile->MorvaneIP != nullptr && profile->MorvaneIP->Enabled != 0;

  constexpr std::string_view kMarker = "LANG_STR<";
  if (text.find(kMarker) == std::string::npos) {
    // Nothing to replace: the file stays as it is.
    kv::FileClose(file);
    if (localised != nullptr) *localised = std::move(text);
    return 1;
  }
  std::string result;
  result.reserve(text.size());
  size_t pos = 0;
  for (;;) {
    const size_t at = text.find(kMarker, pos);
    if (at == std::string::npos) break;
    YieldToClient();
    result.append(text, pos, at - pos);
    const size_t nameStart = at + kMarker.size();
    const size_t close = text.find('>', nameStart);
    if (close == std::string::npos) {
      // No end to the name: the marker is dropped and the rest kept.
      pos = nameStart;
      break;
    }
    std::string name = text.substr(nameStart, close - nameStart);
    if (name == "TopAuthUsersTC" && authLookup) name = "TopAuthUsersMorvaneTC";
    else if (name == "TopUsersTC" && domainLookup) name = "TopUsersMorvaneTC";
    std::string value;
    LookupRplVariable(name.c_str(), &value);
    result += value;
    pos = close + 1;
  }
  result.append(text, std::min(pos, text.size()), std::string::npos);
  ok = kv::FileSeek(file, 0, kv::kSeekBegin) == 0 && WriteAll(file, result) && kv::FileSetEnd(file);
  kv::FileClose(file);
  if (ok && localised != nullptr) *localised = std::move(result);
  return ok ? 1 : 0;
}

}  // namespace vrn
