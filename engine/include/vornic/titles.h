/* Page titles: the HTML title of a page, fetched over HTTP or FTP and kept
 * in the title cache ("title.wdb" in the profile folder) for later reports. */
#ifndef VORNIC_TITLES_H
#define VORNIC_TITLES_H

#include <stdint.h>

#include <vornic/export.h>
#include <vornic/summary.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the title buffer VRN_GetHTML_Title fills, terminator included. */
#define VRN_HTML_TITLE_SIZE 256

/* The title of the page at address ("http://host[:port]/path",
   "ftp://host[:port]/path", or "host/path" for HTTP), logging on with user
   and password when they are not empty. title must hold
   VRN_HTML_TITLE_SIZE bytes. Returns 1 with the title copied when one was
   found, else 0 with title empty. Returns 0 at once when [Defaults]
   NoHTMLTitles of the module INI is 1 for the reports. Status texts go to
   callback (may be null) as (0, text, 0). *stopWord is set to 1 when the
   host does not resolve or a socket cannot be made or connected.
   reserved is not used (pass 0). */
VORNIC_API int32_t VRN_GetHTML_Title(uint32_t reserved, const char* address, const char* user,
                                     const char* password, char* title, ReportFileCallback callback,
                                     uint32_t* stopWord);

#ifdef __cplusplus
}
#endif

#endif
