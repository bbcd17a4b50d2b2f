// Internals shared by the listener, the connections and the pages.
#ifndef KV_WEBSERVER_SERVER_INTERNAL_H
#define KV_WEBSERVER_SERVER_INTERNAL_H

#include <cstdint>
#include <string>
#include <string_view>

#include "webserver/request.h"

// The connection record: the accepted socket and the peer's address, and
// what the listener read of the request before it handed the connection on.
struct ConnectionRecord {
  WsSocket socket = WS_INVALID_SOCKET;
  WsSockAddrIn peer{};
  std::string head;       // the request up to its empty line (or all read)
  std::string bodyStart;  // what followed the empty line
  bool headTooLarge = false;  // no empty line within kMostHeadSize bytes
};

int32_t ServerThread();
// Answers the request the listener read, writes its log line and closes the
// connection; frees the record.
int32_t ConnectionThread(ConnectionRecord* record);

// Where the head of a request ends: the offset behind its empty line
// (CR LF CR LF), or npos.
size_t HeadEnd(std::string_view data);

// Answers a parsed request: runs its page (tags and all) or serves its file,
// sending the response through SendHttpResponse.
void AnswerRequest(RemoteRequest& request);

// Sends all of `data` on the socket; false when the peer is gone or has not
// taken a block of it within the send time.
bool SendAll(WsSocket socket, const char* data, size_t size);

// Removes the remote reports older than `days` days at time `now` (seconds).
void RemoveOldReports(const WebServerSettings& settings, int64_t now, int32_t days);

// The hooks the program installed.
RemoteReportHooks GetRemoteReportHooks();

// The native path of a path written with "\" separators.
std::string NativePath(const std::string& path);

// The status.rep image of a report: name, creation time at byte 407 (64-bit
// little-endian seconds) and the type as text at byte 415.
std::string BuildStatusImage(const std::string& name, int64_t created, int32_t type);
int64_t StatusTime(std::string_view image);

#endif
