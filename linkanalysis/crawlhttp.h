// The crawler's HTTP client: one request for one page record at a time over
// an asynchronous socket whose events arrive at the slot's LED window, the
// response read until the server closes, and its parse into the record. In
// local-file mode the same steps read files and make up the header.
#ifndef KV_LINKANALYSIS_CRAWLHTTP_H
#define KV_LINKANALYSIS_CRAWLHTTP_H

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "linkanalysis/linkcontext.h"
#include "platform/base/kvtypes.h"

namespace kvla {

inline constexpr int32_t kModeHead = 0;
inline constexpr int32_t kModeGet = 1;

// The window class of the slots' LED windows.
inline constexpr char kLedClass[] = "Vodo Darevudo LED";

// Binds the socket calls from the socket module and starts it (version 1.1).
bool BindSocketCalls(SocketCalls* calls);
void ReleaseSocketCalls(SocketCalls* calls);

// The window procedure of the LED windows: turns the socket messages into the
// slot's event flags. The slot is the window's user data.
KvResult LedWindowProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam);

// The file a page's body is kept in when WriteDataFiles is set: in the
// folder "PAGES" of the data folder, named by the record's index and its host
// and path, every character but letters, digits, '.', '-' and '_' written
// as '_' (so the name never leaves the folder).
std::string ComputeSaveFilename(const LinkAnalysisDataStruct* ctx, const PageRecord& record);

// Whether a web link lies outside the profile's server (another host, or
// another port of it). Links of other types and local-file runs are never
// outside.
bool IsOutsideLink(const LinkAnalysisDataStruct* ctx, int32_t linkType, std::string_view host, int32_t port);

// Requests the record's URL; nonzero when an answer was received and parsed.
int SendHttpRequest(LinkAnalysisDataStruct* ctx, PageRecord* record, ThreadSlot* slot, int32_t mode);

// The request text for the record (method word first).
std::string BuildHttpRequest(LinkAnalysisDataStruct* ctx, const PageRecord& record, const char* method);

// The made-up response head of a local file.
std::string MakeLocalFileHeader(int64_t size, std::time_t modified);

// Parses a response into the record: status, redirect, length, date,
// cookie, base, title, META text. `method` is "HEAD" or "GET".
void ParseHttpResponse(LinkAnalysisDataStruct* ctx, PageRecord* record, ThreadSlot* slot, const char* data,
                       size_t size, const char* method);

// Parses an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT" and its variants);
// 0 when unreadable.
int32_t ParseHttpDate(std::string_view text);

std::string Base64(std::string_view text);

}  // namespace kvla

#endif
