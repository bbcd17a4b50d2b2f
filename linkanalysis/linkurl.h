// URL texts of the crawl: splitting a link into link type, host, port, path
// and credentials, joining relative links, escaping unsafe path characters,
// the hash used to find duplicates and the content category of a path.
#ifndef KV_LINKANALYSIS_LINKURL_H
#define KV_LINKANALYSIS_LINKURL_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvla {

// Content categories.
inline constexpr int32_t kCategoryUndefined = 0;
inline constexpr int32_t kCategoryHtml = 1;
inline constexpr int32_t kCategoryGif = 2;
inline constexpr int32_t kCategoryMap = 13;
inline constexpr int32_t kCategoryCount = 15;  // categories 0-14

// The file-name extensions of each content category (lower case, no dot;
// index 1-14, 0 stays empty).
struct CategoryLists {
  std::vector<std::string> extensions[kCategoryCount];
};
// The lists a category has when LINKANLZ.INI names none.
const CategoryLists& DefaultCategoryLists();

struct UrlParts {
  int32_t linkType = 0;  // 0: not an absolute URL of a known scheme
  std::string host;
  int32_t port = 0;      // 0: none given; -1: not a port (above 65535, or not a number)
  std::string path;      // for http/https/ftp/gopher/file: from the first '/'; else the whole text
  std::string user;
  std::string password;
};

// Splits an absolute URL; linkType 0 when the text has no known scheme.
UrlParts SplitUrl(std::string_view url);
// A network-path reference ("//host/path") as an absolute URL of the given
// link type's scheme; any other text unchanged.
std::string NetworkPathUrl(std::string_view link, int32_t linkType);
// Resolves `link` against the page at http://host/basePath (a relative link
// takes the base path's folder). Fragments are kept.
std::string ResolveRelative(std::string_view basePath, std::string_view link);
// Joins a server name and a start page into the start URL; in local-file
// mode (searchMode 1) the start page alone.
std::string JoinUrl(std::string_view server, std::string_view page, int32_t searchMode);
// Escapes blanks, controls, quotes, '<', '>' and bytes above 0x7E as %XX;
// false when the result (with its NUL) would not fit in `size` bytes.
bool EncodePath(std::string_view path, char* out, size_t size);
int32_t HashUrl(std::string_view host, std::string_view path);
// The content category of a path by its extension: a name without one is
// HTML, an extension in no list undefined (0).
int32_t CategoryFromPath(std::string_view path, const CategoryLists& lists = DefaultCategoryLists());
// Splits an extension list ("htm html", "htm,.html;shtml") into lower-case
// extensions without dots.
std::vector<std::string> SplitExtensionList(std::string_view text);

}  // namespace kvla

#endif
