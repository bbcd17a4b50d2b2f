// Internals of the INI reader and writer, shared with the registry stand-in.
#ifndef KV_PLATFORM_INI_DETAIL_H
#define KV_PLATFORM_INI_DETAIL_H

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::ini {

struct Line {
  enum Kind { kBlank, kComment, kSection, kKey, kOther };
  size_t begin = 0;  // first character (after a byte-order mark on line 0)
  size_t end = 0;    // end of the content, before CR LF / LF
  size_t next = 0;   // start of the following line
  Kind kind = kBlank;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // key value, trimmed, quotes kept
};

// A parsed INI text. The views in `lines` point into `text`; call Parse()
// again after changing the text.
class Document {
 public:
  explicit Document(std::string text);
  void Parse();

  const std::string& Text() const { return text_; }
  const std::vector<Line>& Lines() const { return lines_; }

  // Index of the header of the first section of that name, or -1.
  int FindSection(std::string_view name) const;
  // Index one past the last line of the section whose header is at `header`.
  size_t SectionEnd(size_t header) const;
  // Index of the first key line of that name in the section, or -1.
  int FindKey(size_t header, std::string_view key) const;
  // The key lines of the first section of that name, in file order; none
  // when the section is missing.
  std::vector<const Line*> SectionKeys(std::string_view section) const;

  // Edits (each re-parses).
  void SetValue(std::string_view section, std::string_view key, std::string_view value);
  bool DeleteKey(std::string_view section, std::string_view key);
  // Deletes every section for which `match(name)` holds; returns how many.
  size_t DeleteSections(const std::function<bool(std::string_view)>& match);

 private:
  std::string Eol() const;
  std::string LineBreakToEnd() const;
  std::string text_;
  std::vector<Line> lines_;
};

// Reads a whole file; false when it cannot be read (missing: kErrorFileNotFound).
bool ReadFile(const std::string& path, std::string* out);

// Locks the file against other writers, reads it, lets `edit` change the
// text and replaces the file atomically when the text changed. A missing
// file is created only when `create` is set; otherwise the edit is skipped
// and true returned.
bool EditFile(const std::string& path, bool create, const std::function<bool(std::string&)>& edit);

// The value without one pair of surrounding double quotes.
std::string_view Unquote(std::string_view value);

}  // namespace kv::ini

#endif
