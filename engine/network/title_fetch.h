// Fetching a page to read its HTML title: HTTP/1.0 GET through the socket
// module, or a download through the FTP module for "ftp://" pages.
#ifndef VORNIC_NETWORK_TITLE_FETCH_H
#define VORNIC_NETWORK_TITLE_FETCH_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vrn {

using TitleStatusCallback = int32_t (*)(int32_t, const char*, int32_t);

// Largest part of a page that is read to find its title.
inline constexpr size_t kTitlePageLimit = 64 * 1024;

// The title of an HTML text: the text between the first "<title ...>" and
// the next "</title" (any case), each run of white space and control
// characters made one blank, blanks cut at both ends, at most kTitleTextMax
// bytes. False when there is no complete title element or it is blank.
bool ExtractHtmlTitle(const char* data, size_t size, std::string* title);

struct PageLocation {
  bool ftp = false;
  std::string host;
  uint16_t port = 80;
  std::string path = "/";  // what is requested: begins with "/", no fragment
};
// Splits "http://host[:port]/path", "ftp://host[:port]/path" or "host/path"
// (HTTP). False for another scheme, an empty host or a bad port.
bool ParsePageLocation(const std::string& address, PageLocation* location);

enum class TitleFetch {
  kFound,        // *title holds the title
  kNoTitle,      // the page was not had or holds no title
  kUnreachable,  // the host did not resolve, or no socket or connection
};

// Fetches the page and reads its title. Reads wait at most [Defaults]
// TransferTimeout seconds of the module INI (default 30) each.
TitleFetch FetchPageTitle(const std::string& address, const char* user, const char* password,
                          TitleStatusCallback callback, std::string* title);

}  // namespace vrn

#endif
