// Test support: a check that an HTML page closes what it opens.
#ifndef VORNIC_REPORTS_HTML_TEST_SUPPORT_H
#define VORNIC_REPORTS_HTML_TEST_SUPPORT_H

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string>
#include <vector>

namespace htmltest {

// The elements of an HTML page that must be closed, checked as a stack:
// every one closed in order, none left open, none closed that was not
// opened. Comments are skipped; elements that are never closed (BR, IMG,
// ...) and unknown names are not counted.
inline std::string TagBalance(const std::string& html) {
  static const char* const kClosed[] = {"html", "head", "title", "body", "table", "tr", "td", "th", "h1", "h2",
                                        "h3", "h4", "p", "b", "i", "a", "font", "center", "div", "span",
                                        "ul", "ol", "li", "script", "style", "pre", "frameset", "u", "tt"};
  std::vector<std::string> open;
  for (size_t at = html.find('<'); at != std::string::npos; at = html.find('<', at + 1)) {
    if (html.compare(at, 4, "<!--") == 0) {
      const size_t end = html.find("-->", at + 4);
      if (end == std::string::npos) return "comment not closed at " + std::to_string(at);
      at = end + 2;
      continue;
    }
    size_t p = at + 1;
    const bool closing = p < html.size() && html[p] == '/';
    if (closing) ++p;
    std::string name;
    while (p < html.size() && std::isalnum(static_cast<unsigned char>(html[p])))
      name += static_cast<char>(std::tolower(static_cast<unsigned char>(html[p++])));
    if (std::find_if(std::begin(kClosed), std::end(kClosed), [&](const char* n) { return name == n; }) ==
        std::end(kClosed)) {
      continue;
    }
    if (!closing) {
      open.push_back(name);
    } else if (open.empty() || open.back() != name) {
      return "</" + name + "> at " + std::to_string(at) + " closes " + (open.empty() ? "nothing" : "<" + open.back() + ">");
    } else {
      open.pop_back();
    }
  }
  if (!open.empty()) return "<" + open.back() + "> never closed";
  return "";
}

}  // namespace htmltest

#endif
