#include "linkanalysis/linkurl.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "linkanalysis/linkdb.h"

namespace kvla {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

}  // namespace

UrlParts SplitUrl(std::string_view url) {
  UrlParts parts;
  struct Scheme {
    const char* prefix;
    int32_t type;
    bool authority;
  };
  static const Scheme schemes[] = {
      {"http://", kLinkHttp, true},     {"https://", kLinkHttps, true},  {"ftp://", kLinkFtp, true},
      {"gopher://", kLinkGopher, true}, {"file://", kLinkFile, false},   {"mailto:", kLinkMailto, false},
      {"news://", kLinkNews, true},     {"snews://", kLinkNews, true},   {"news:", kLinkNews, false},
      {"telnet://", kLinkTelnet, true},
  };
  for (const Scheme& s : schemes) {
    if (!StartsWithNoCase(url, s.prefix)) continue;
    parts.linkType = s.type;
    if (!s.authority) {
      parts.path = std::string(url);
      return parts;
    }
    std::string_view rest = url.substr(std::strlen(s.prefix));
    size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    parts.path = slash == std::string_view::npos ? std::string("/") : std::string(rest.substr(slash));
    if (parts.linkType != kLinkHttp && parts.linkType != kLinkHttps) parts.path = std::string(url);
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
      std::string_view cred = authority.substr(0, at);
      size_t colon = cred.find(':');
      parts.user = std::string(cred.substr(0, colon));
      if (colon != std::string_view::npos) parts.password = std::string(cred.substr(colon + 1));
      authority = authority.substr(at + 1);
    }
    size_t colon = authority.find(':');
    if (colon != std::string_view::npos) {
      int32_t port = 0;
      for (char c : authority.substr(colon + 1)) {
        if (c < '0' || c > '9' || port > 65535) {
          port = -1;
          break;
        }
        port = port * 10 + (c - '0');
      }
      if (colon + 1 == authority.size()) port = 0;  // "host:" names the default port
      parts.port = port >= 0 && port <= 65535 ? port : -1;
      authority = authority.substr(0, colon);
    }
    parts.host.reserve(authority.size());
    for (char c : authority) parts.host += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return parts;
  }
  parts.path = std::string(url);
  return parts;
}

std::string NetworkPathUrl(std::string_view link, int32_t linkType) {
  if (link.size() < 2 || link[0] != '/' || link[1] != '/') return std::string(link);
  return (linkType == kLinkHttps ? "https:" : "http:") + std::string(link);
}

std::string ResolveRelative(std::string_view basePath, std::string_view link) {
  if (!link.empty() && link[0] == '/') return std::string(link);
  std::string_view folder = basePath.substr(0, basePath.rfind('/') == std::string_view::npos ? 0 : basePath.rfind('/') + 1);
  if (link.empty() || link[0] == '#' || link[0] == '?') {
    if (link.empty()) return std::string(basePath);
    size_t cut = basePath.find(link[0] == '#' ? '#' : '?');
    return std::string(basePath.substr(0, cut)) + std::string(link);
  }
  std::string joined = folder.empty() ? "/" : std::string(folder);
  joined += link;
  // Remove "./" and "name/../" segments of the path part.
  size_t query = joined.find_first_of("?#");
  std::string path = joined.substr(0, query);
  std::string tail = query == std::string::npos ? std::string() : joined.substr(query);
  std::vector<std::string> segments;
  size_t pos = 1;
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    std::string seg = path.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
    bool last = next == std::string::npos;
    if (seg == "..") {
      if (!segments.empty()) segments.pop_back();
      if (last) segments.emplace_back();
    } else if (seg == ".") {
      if (last) segments.emplace_back();
    } else {
      segments.push_back(seg);
    }
    if (last) break;
    pos = next + 1;
  }
  std::string out;
  for (const std::string& s : segments) out += "/" + s;
  if (out.empty()) out = "/";
  return out + tail;
}

std::string JoinUrl(std::string_view server, std::string_view page, int32_t searchMode) {
  std::string p(page);
  if (p.empty() || p[0] != '/') p.insert(p.begin(), '/');
  if (searchMode == 1) return p;
  return "http://" + std::string(server) + p;
}

bool EncodePath(std::string_view path, char* out, size_t size) {
  static const char hex[] = "0123456789ABCDEF";
  size_t n = 0;
  for (unsigned char c : path) {
    bool unsafe = c <= 0x20 || c > 0x7E || c == '"' || c == '<' || c == '>';
    size_t need = unsafe ? 3 : 1;
    if (n + need + 1 > size) return false;
    if (unsafe) {
      out[n++] = '%';
      out[n++] = hex[c >> 4];
      out[n++] = hex[c & 15];
    } else {
      out[n++] = static_cast<char>(c);
    }
  }
  if (n + 1 > size) return false;
  out[n] = 0;
  return true;
}

int32_t HashUrl(std::string_view host, std::string_view path) {
  uint32_t h = 2166136261u;
  for (char c : host) h = (h ^ static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(c)))) * 16777619u;
  h = (h ^ '/') * 16777619u;
  for (char c : path) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return static_cast<int32_t>(h);
}

const CategoryLists& DefaultCategoryLists() {
  static const CategoryLists lists = [] {
    CategoryLists l;
    static const char* const shipped[kCategoryCount] = {
        "",      "htm html shtml asp cgi pl", "gif",  "jpg jpeg png bmp", "txt", "zip gz", "exe", "wav au mid",
        "mpg avi mov", "pdf doc", "class", "js", "css", "map", "ps",
    };
    for (int32_t c = 0; c < kCategoryCount; ++c) l.extensions[c] = SplitExtensionList(shipped[c]);
    return l;
  }();
  return lists;
}

std::vector<std::string> SplitExtensionList(std::string_view text) {
  std::vector<std::string> out;
  std::string word;
  auto flush = [&] {
    while (!word.empty() && word.front() == '.') word.erase(word.begin());
    if (!word.empty()) out.push_back(word);
    word.clear();
  };
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == ',' || c == ';') {
      flush();
    } else {
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  flush();
  return out;
}

int32_t CategoryFromPath(std::string_view path, const CategoryLists& lists) {
  size_t cut = path.find_first_of("?#");
  std::string_view p = path.substr(0, cut);
  size_t slash = p.rfind('/');
  std::string_view name = slash == std::string_view::npos ? p : p.substr(slash + 1);
  size_t dot = name.rfind('.');
  if (name.empty() || dot == std::string_view::npos) return kCategoryHtml;
  std::string ext;
  for (char c : name.substr(dot + 1)) ext += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (int32_t c = 1; c < kCategoryCount; ++c)
    for (const std::string& e : lists.extensions[c])
      if (ext == e) return c;
  return kCategoryUndefined;
}

}  // namespace kvla
