// The HTTP half of a remote log fetch: one record per entry of the location,
// an HTTP/1.0 GET (direct or through the configured proxy), and the body
// written into the local copy from the socket events of the URL window. In
// Detect mode a local copy of at least 1024 bytes is continued with a byte
// range whose first 1024 bytes must equal the copy's last 1024 bytes; a
// range that does not match is written at its offset and the head of the
// file is fetched again on a second connection.
#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <vornic/profile.h>
#include <vornic/remote.h>

#include "engine/core/engine_state.h"
#include "engine/network/remote_logs.h"
#include "platform/base/files.h"
#include "platform/ftp4w32/ftp4w32.h"
#include "platform/netbind/netbind.h"
#include "platform/ui/window.h"

namespace vrn {

namespace {

constexpr const char kUserAgent[] = "Kelvaron/4.0";
constexpr const char kReferrer[] = "http://localhost/";
constexpr const char kFrom[] = "logs@localhost";
constexpr uint32_t kUnknownTotal = 0xFFFFFFFFu;

std::vector<std::string> SplitEntries(const std::string& path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = path.find_first_of("| ", start);
    const std::string entry = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!entry.empty()) out.push_back(entry);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

const char* FindBytes(const char* data, size_t size, const char* what, size_t from = 0) {
  const size_t n = std::strlen(what);
  if (n == 0 || size < n) return nullptr;
  for (size_t i = from; i + n <= size; ++i) {
    if (std::memcmp(data + i, what, n) == 0) return data + i;
  }
  return nullptr;
}

// The first of "\r\n\r\n", "\r\r", "\n\n" at or after from: its position and length.
bool FindHeaderEnd(const char* data, size_t size, size_t from, size_t* at, size_t* length) {
  static const char* const kMarks[] = {"\r\n\r\n", "\r\r", "\n\n"};
  for (const char* mark : kMarks) {
    if (const char* p = FindBytes(data, size, mark, from); p != nullptr) {
      *at = static_cast<size_t>(p - data);
      *length = std::strlen(mark);
      return true;
    }
  }
  return false;
}

// A decimal number of at most 19 digits at text[i..end), blanks skipped first.
bool ReadNumber(const std::string& text, size_t i, size_t end, uint64_t* value) {
  while (i < end && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i >= end || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  uint64_t v = 0;
  for (size_t k = 0; k < 19 && i < end && std::isdigit(static_cast<unsigned char>(text[i])); ++k, ++i) {
    v = v * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  *value = v;
  return true;
}

// Where the value of header `name` (lower case, with its colon) begins in a
// lower-cased head: the name must begin a line, not stand in another
// header's value. npos when absent.
size_t HeaderValue(const std::string& lower, const char* name) {
  const size_t n = std::strlen(name);
  for (size_t p = lower.find(name); p != std::string::npos; p = lower.find(name, p + 1)) {
    if (p > 0 && (lower[p - 1] == '\n' || lower[p - 1] == '\r')) return p + n;
  }
  return std::string::npos;
}

size_t LineEnd(const std::string& text, size_t from) {
  const size_t end = text.find_first_of("\r\n", from);
  return end == std::string::npos ? text.size() : end;
}

bool WriteToCopy(const char* data, size_t size) {
  if (g_fetch.localFile == KV_INVALID_FILE) return false;
  if (g_fetch.responseStatus == 206 && g_fetch.rangeLength != 0) {
    // A range body holds exactly its range: whatever follows it (the closing
    // boundary of a multipart body, even when it arrives split) is not log.
    const uint64_t left = g_fetch.bodyWritten < g_fetch.rangeLength ? g_fetch.rangeLength - g_fetch.bodyWritten : 0;
    if (size > left) size = static_cast<size_t>(left);
    g_fetch.bodyWritten += size;
  }
  uint32_t written = 0;
  const bool ok = kv::FileWrite(g_fetch.localFile, data, static_cast<uint32_t>(size), &written);
  g_fetch.doneBytes += written;
  return ok;
}

// A failure during the transfer: the fetch ends (VRN_PeekURL says so) with
// the error's text, the partial copy stays and is not to be analysed.
KvResult FailTransfer(int32_t code) {
  SetURLErrorText(code);
  g_fetch.busy = 0;
  g_fetch.totalBytes = g_fetch.doneBytes;
  AbortURLTransfer();
  if (g_fetch.localFile != KV_INVALID_FILE) kv::FileClose(g_fetch.localFile);
  g_fetch.localFile = KV_INVALID_FILE;
  g_fetch.ready = 0;
  return 0xFFFF;
}

// The error of a socket call that just failed (a connection failure when the
// socket module gives none).
int32_t SocketError() {
  const int32_t error = g_networkBinding.WSAGetLastError();
  return error != 0 ? error : WSAECONNREFUSED;
}

// The error code of an HTTP status other than 200 and 206.
int32_t StatusError(uint32_t status) {
  switch (status) {
    case 0: return VRN_URL_ERR_ANSWER;
    case 401:
    case 407: return FTP_E_LOGIN_REFUSED;
    case 403:
    case 404:
    case 410: return FTP_E_FILE_UNAVAILABLE;
    default: return static_cast<int32_t>(status);
  }
}

// The copy is over: whole when it reached the length the server announced
// (the body's, or the full file's for a range answer).
KvResult FinishCopy() {
  g_fetch.busy = 0;
  const uint64_t size = LocalFileSize();
  if (g_fetch.expectedBytes != 0 && size < g_fetch.expectedBytes) {
    SetURLErrorText(VRN_URL_ERR_SHORT);
    g_fetch.ready = 0;
  } else if (!g_currentList.records.empty()) {
    g_currentList.records[0].needed = 2;
    WriteFetchProgress();
  }
  g_fetch.totalBytes = g_fetch.doneBytes = size;
  return 0;
}

// A chunked 200 body is over with its last chunk: the copy is finished then,
// whether or not the server closes the connection.
KvResult FinishChunkedBody() {
  if (!g_fetch.chunks.Active() || g_fetch.chunks.state != ChunkDecoder::kDone || g_fetch.responseStatus != 200 ||
      g_fetch.busy == 0) {
    return 0;
  }
  g_fetch.busy = 0;
  AbortURLTransfer();
  return FinishCopy();
}

// A new connection to the saved server address whose events go to the URL
// window; WS_INVALID_SOCKET on failure.
WsSocket ConnectSelected() {
  const NetworkLibraryBinding& ws = g_networkBinding;
  const WsSocket s = ws.socket(WS_AF_INET, WS_SOCK_STREAM, 0);
  if (s == WS_INVALID_SOCKET) return s;
  if (ws.connect(s, reinterpret_cast<const WsSockAddr*>(&g_fetch.serverAddress), sizeof(WsSockAddrIn)) != 0 ||
      ws.WSAAsyncSelect(s, g_fetch.window, VRN_URL_MSG_SOCKET, WS_FD_READ | WS_FD_CLOSE) != 0) {
    ws.closesocket(s);
    return WS_INVALID_SOCKET;
  }
  return s;
}

const char* CurrentRemotePath() {
  return g_currentList.records.empty() ? "" : g_currentList.records[0].remotePath;
}

// Start-up failure after the copy was named: nothing half made is left.
int FailStart(WsSocket s, int32_t code) {
  SetURLErrorText(code);
  g_fetch.ready = 0;
  g_fetch.busy = 0;
  g_fetch.started = 0;
  if (s != WS_INVALID_SOCKET) g_networkBinding.closesocket(s);
  g_fetch.primarySocket = WS_INVALID_SOCKET;
  DestroyURLWindow();
  if (g_fetch.localFile != KV_INVALID_FILE) kv::FileClose(g_fetch.localFile);
  g_fetch.localFile = KV_INVALID_FILE;
  if (g_fetch.downloadMode == 0) kv::FileDelete(g_fetch.fetchedPath.c_str());
  return -1;
}

KvResult OnRead(WsSocket s) {
  const NetworkLibraryBinding& ws = g_networkBinding;
  // A head is read whole, however many reads it takes, up to kHttpHeadLimit
  // bytes; a body kHttpBufferSize bytes at a time.
  const bool readingHead = g_fetch.responseStatus == 0;
  const size_t limit = readingHead ? kHttpHeadLimit : static_cast<size_t>(kHttpBufferSize);
  if (g_fetch.fill >= limit) return FailTransfer(VRN_URL_ERR_ANSWER);  // a head that never ends
  std::vector<char>& buffer = g_fetch.buffer;
  if (readingHead && g_fetch.fill + 1 >= buffer.size()) {
    buffer.resize(std::min((buffer.size() - 1) * 2, kHttpHeadLimit) + 1);
  }
  const size_t room = std::min(buffer.size() - 1, limit) - g_fetch.fill;
  const int32_t got = ws.recv(s, buffer.data() + g_fetch.fill, static_cast<int32_t>(room), 0);
  if (got == 0) return 0;
  if (got < 0) {
    const int32_t error = ws.WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return 0;  // nothing there after all
    if (error == WSAENOTSOCK) {
      g_fetch.busy = 0;
      AbortURLTransfer();
      g_fetch.doneBytes = g_fetch.totalBytes;
      return 0;
    }
    return FailTransfer(error != 0 ? error : VRN_URL_ERR_SHORT);
  }
  g_fetch.fill = static_cast<uint32_t>(g_fetch.fill + got);
  buffer[g_fetch.fill] = '\0';
  size_t received = static_cast<size_t>(got);

  if (g_fetch.responseStatus == 0) {
    HttpResponseHead head;
    const HeadScan scan = ScanHttpResponseHead(buffer.data(), g_fetch.fill, &head);
    if (scan == HeadScan::kNeedMore) {
      return g_fetch.fill >= kHttpHeadLimit ? FailTransfer(VRN_URL_ERR_ANSWER) : 0;
    }
    if (scan == HeadScan::kFailed) {
      if (head.status == 416 && g_fetch.secondRequest == 0 && g_fetch.firstRangeKind == 2) {
        // The remote log is now shorter than the copy's overlap: it was
        // replaced. Fetch it whole on a new connection.
        ws.closesocket(g_fetch.primarySocket);
        g_fetch.primarySocket = ConnectSelected();
        g_fetch.fill = 0;
        g_fetch.firstRangeKind = 0;
        if (g_fetch.primarySocket == WS_INVALID_SOCKET ||
            SendFetchRequest(g_fetch.primarySocket, CurrentRemotePath(), 0) < 0) {
          return FailTransfer(SocketError());
        }
        return 0;
      }
      if (head.status >= 100 && StatusError(head.status) == static_cast<int32_t>(head.status)) {
        // A status with no text of its own is told as it is (a redirect with
        // its target).
        FailTransfer(VRN_URL_ERR_ANSWER);
        SetHttpStatusErrorText(head.status, head.location);
        return 0xFFFF;
      }
      return FailTransfer(StatusError(head.status));
    }
    if (head.status == 206 && !(head.hasRangeStart && head.hasRangeEnd && head.hasFullLength &&
                                head.rangeEnd >= head.rangeStart && head.rangeEnd < head.fullLength)) {
      // Without its range a part cannot be put in its place in the copy.
      return FailTransfer(VRN_URL_ERR_NO_RANGE);
    }
    g_fetch.chunks = ChunkDecoder{};
    if (head.chunked) g_fetch.chunks.Start();
    if (head.status == 200) {
      g_fetch.responseStatus = 200;
      g_fetch.expectedBytes = 0;
      // A chunked body's length is its chunks', whatever else the head says.
      if (head.hasContentLength && !head.chunked) g_fetch.totalBytes = g_fetch.expectedBytes = head.contentLength;
      kv::FileSeek(g_fetch.localFile, 0, kv::kSeekBegin);
      kv::FileSetEnd(g_fetch.localFile);
    } else {
      g_fetch.responseStatus = 206;
      if (head.hasFullLength) {
        g_fetch.totalBytes = g_fetch.expectedBytes = head.fullLength;
        if (static_cast<uint64_t>(g_fetch.existingSize) > head.fullLength) {
          const int64_t at = kv::FileTell(g_fetch.localFile);
          kv::FileSeek(g_fetch.localFile, static_cast<int64_t>(head.fullLength), kv::kSeekBegin);
          kv::FileSetEnd(g_fetch.localFile);
          if (at >= 0) kv::FileSeek(g_fetch.localFile, at, kv::kSeekBegin);
        }
      }
      g_fetch.rangeLength = 0;
      g_fetch.rangeStart = head.rangeStart;
      kv::FileSeek(g_fetch.localFile, static_cast<int64_t>(head.rangeStart), kv::kSeekBegin);
      g_fetch.rangeLength = head.rangeEnd - head.rangeStart + 1;
      g_fetch.overlapState = 0;
      g_fetch.bodyWritten = 0;
    }
    const size_t cut = head.headerLength < g_fetch.fill ? head.headerLength : g_fetch.fill;
    std::memmove(buffer.data(), buffer.data() + cut, g_fetch.fill - cut);
    g_fetch.fill = static_cast<uint32_t>(g_fetch.fill - cut);
    buffer[g_fetch.fill] = '\0';
    if (received > g_fetch.fill) received = g_fetch.fill;
  }

  if (g_fetch.chunks.Active()) {
    // Only the chunks' data goes on; the last chunk ends the body. The bytes
    // just received are the buffer's last ones: those before them (a part
    // answer waiting for its first kilobyte) are decoded already.
    const size_t before = g_fetch.fill - received;
    received = g_fetch.chunks.Decode(buffer.data() + before, received);
    g_fetch.fill = static_cast<uint32_t>(before + received);
    buffer[g_fetch.fill] = '\0';
    if (g_fetch.chunks.state == ChunkDecoder::kBroken) return FailTransfer(VRN_URL_ERR_ANSWER);
  }
  if (g_fetch.fill == 0) return FinishChunkedBody();
  if (g_fetch.responseStatus == 200) {
    const bool ok = WriteToCopy(buffer.data(), g_fetch.fill);
    g_fetch.fill = 0;
    return ok ? FinishChunkedBody() : FailTransfer(VRN_URL_ERR_LOCAL);
  }
  if (g_fetch.responseStatus != 206) return 0;

  // The closing boundary of a multipart body is not part of the log.
  const size_t from = g_fetch.fill >= received + 4 ? g_fetch.fill - received - 4 : 0;
  if (FindBytes(buffer.data(), g_fetch.fill, "--\r\n", from) != nullptr) {
    if (const char* boundary = FindBytes(buffer.data(), g_fetch.fill, "\r\n--"); boundary != nullptr) {
      g_fetch.fill = static_cast<uint32_t>(boundary - buffer.data());
      buffer[g_fetch.fill] = '\0';
    }
  }

  if (g_fetch.secondRequest == 0) {
    if (g_fetch.overlapState == 0) {
      const uint64_t need = g_fetch.rangeLength < 1024 ? g_fetch.rangeLength : 1024;
      if (g_fetch.fill < need) return 0;
      g_fetch.overlapState = 1;
      if (g_fetch.rangeLength >= 1024 && static_cast<uint64_t>(g_fetch.existingSize) <= g_fetch.totalBytes &&
          g_fetch.fill >= 1024) {
        char old[1024];
        uint32_t read = 0;
        const int64_t at = static_cast<int64_t>(g_fetch.rangeStart);
        kv::FileSeek(g_fetch.localFile, at, kv::kSeekBegin);
        const bool ok = kv::FileRead(g_fetch.localFile, old, sizeof old, &read);
        kv::FileSeek(g_fetch.localFile, at, kv::kSeekBegin);
        if (ok && read == sizeof old && std::memcmp(old, buffer.data(), sizeof old) == 0) {
          g_fetch.doneBytes += static_cast<uint64_t>(g_fetch.existingSize) - 1024;
          g_fetch.overlapState = 2;
        }
      }
    }
    const bool ok = WriteToCopy(buffer.data(), g_fetch.fill);
    g_fetch.fill = 0;
    if (!ok) return FailTransfer(VRN_URL_ERR_LOCAL);
    if (g_fetch.overlapState == 1 && g_fetch.doneBytes >= g_fetch.rangeLength) {
      // The copy does not continue into the remote file: fetch the head too.
      // The first connection is done with: whatever else it sends is not
      // part of the second answer, which has its own connection and starts
      // on an empty buffer.
      g_fetch.secondRequest = 1;
      g_fetch.responseStatus = 0;
      g_fetch.fill = 0;
      g_fetch.chunks = ChunkDecoder{};
      g_fetch.secondSocket = ConnectSelected();
      if (g_fetch.primarySocket != WS_INVALID_SOCKET) ws.closesocket(g_fetch.primarySocket);
      g_fetch.primarySocket = WS_INVALID_SOCKET;
      if (g_fetch.secondSocket == WS_INVALID_SOCKET ||
          SendFetchRequest(g_fetch.secondSocket, CurrentRemotePath(), 1) < 0) {
        return FailTransfer(SocketError());
      }
    }
    return 0;
  }
  const bool ok = WriteToCopy(buffer.data(), g_fetch.fill);
  g_fetch.fill = 0;
  return ok ? 0 : FailTransfer(VRN_URL_ERR_LOCAL);
}

KvResult OnClose(WsSocket s) {
  const NetworkLibraryBinding& ws = g_networkBinding;
  // Let read notifications still queued for this socket be handled first.
  for (int round = 0; round < 20; ++round) {
    char byte;
    if (ws.recv(s, &byte, 1, WS_MSG_PEEK) != 1) break;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < until) {
      kv::ui::Message m;
      while (kv::ui::PeekMessage(&m)) {
        kv::ui::TranslateMessage(&m);
        kv::ui::DispatchMessage(&m);
      }
      if (g_fetch.busy == 0) return 0;
      kv::ui::WaitMessage(20);
    }
    if (g_fetch.busy == 0) return 0;
  }
  if (g_fetch.busy == 0) return 0;

  // A chunked body closed before its last chunk is cut short.
  if (g_fetch.chunks.Active() && g_fetch.chunks.state != ChunkDecoder::kDone &&
      (g_fetch.responseStatus == 200 || g_fetch.responseStatus == 206)) {
    return FailTransfer(VRN_URL_ERR_SHORT);
  }
  if (g_fetch.responseStatus == 200) {
    g_fetch.busy = 0;
    AbortURLTransfer();
    return FinishCopy();
  }
  if (g_fetch.responseStatus == 206) {
    if (s == g_fetch.secondSocket || g_fetch.secondSocket == WS_INVALID_SOCKET) {
      if (g_fetch.secondSocket != WS_INVALID_SOCKET) ws.closesocket(g_fetch.secondSocket);
      g_fetch.secondSocket = WS_INVALID_SOCKET;
      return FinishCopy();
    }
    if (s == g_fetch.primarySocket) AbortURLTransfer();
    return 0;
  }
  // The first connection of a fetch that now waits for the head of the file
  // on the second one is done with.
  if (g_fetch.secondRequest != 0 && s == g_fetch.primarySocket) {
    AbortURLTransfer();
    return 0;
  }
  // Closed before a whole status line and head arrived: nothing to wait for.
  return FailTransfer(g_fetch.fill != 0 ? VRN_URL_ERR_ANSWER : VRN_URL_ERR_SHORT);
}

}  // namespace

// ---- chunked bodies -------------------------------------------------------------

size_t ChunkDecoder::Decode(char* data, size_t size) {
  constexpr size_t kLineLimit = 4096;  // a size line or trailer line longer than this is no chunk
  size_t out = 0;
  size_t i = 0;
  while (i < size && state != kDone && state != kBroken) {
    switch (state) {
      case kData: {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(left, size - i));
        std::memmove(data + out, data + i, take);
        out += take;
        i += take;
        left -= take;
        if (left == 0) state = kDataEnd;
        break;
      }
      case kDataEnd:
        // The line end after a chunk's data.
        if (data[i] == '\n') {
          state = kSize;
        } else if (data[i] != '\r') {
          state = kBroken;
        }
        ++i;
        break;
      case kSize:
      case kTrailer: {
        const char c = data[i++];
        if (c != '\n') {
          if (line.size() >= kLineLimit) state = kBroken;
          line += c;
          break;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (state == kTrailer) {
          if (line.empty()) state = kDone;
          line.clear();
          break;
        }
        // Hexadecimal size, then optional extensions after ";".
        uint64_t value = 0;
        size_t k = 0;
        while (k < line.size() && (line[k] == ' ' || line[k] == '\t')) ++k;
        const size_t digits = k;
        for (; k < line.size() && std::isxdigit(static_cast<unsigned char>(line[k])); ++k) {
          if (k - digits >= 15) {
            state = kBroken;
            break;
          }
          const char h = static_cast<char>(std::tolower(static_cast<unsigned char>(line[k])));
          value = value * 16 + static_cast<uint64_t>(h <= '9' ? h - '0' : h - 'a' + 10);
        }
        while (k < line.size() && (line[k] == ' ' || line[k] == '\t')) ++k;
        if (state == kBroken || k == digits || (k < line.size() && line[k] != ';')) {
          state = kBroken;
          break;
        }
        line.clear();
        left = value;
        state = value == 0 ? kTrailer : kData;
        break;
      }
      default: break;
    }
  }
  return out;
}

// ---- the HTTP GET helpers ------------------------------------------------------

std::string EncodeBase64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t v = (static_cast<uint8_t>(bytes[i]) << 16) | (static_cast<uint8_t>(bytes[i + 1]) << 8) |
                       static_cast<uint8_t>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < bytes.size()) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool ResolveHostAddress(const std::string& host, uint32_t* address) {
  const NetworkLibraryBinding& ws = g_networkBinding;
  if (host.empty() || ws.inet_addr == nullptr) return false;
  const uint32_t numeric = ws.inet_addr(host.c_str());
  if (numeric != WS_INADDR_NONE) {
    *address = numeric;
    return true;
  }
  const WsHostEntry* entry = ws.gethostbyname(host.c_str());
  if (entry == nullptr || entry->addresses == nullptr || entry->addresses[0] == nullptr ||
      entry->addressLength != 4) {
    return false;
  }
  std::memcpy(address, entry->addresses[0], 4);
  return true;
}

// ---- the response head ---------------------------------------------------------

HeadScan ScanHttpResponseHead(const char* data, size_t fill, HttpResponseHead* head) {
  *head = HttpResponseHead{};
  // An answer begins with its status line, "HTTP/" digit "." digit blank
  // digit: the status begins at the last digit. Anything else is no answer,
  // and a status line further on is body bytes, not a head.
  static const char kShape[] = "HTTP/9.9 9";
  for (size_t i = 0; i < 10 && i < fill; ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(data[i])) != 0;
    if (kShape[i] == '9' ? !digit : data[i] != kShape[i]) return HeadScan::kFailed;
  }
  if (fill < 10) return HeadScan::kNeedMore;
  const size_t statusAt = 9;
  uint32_t status = 0;
  for (size_t i = statusAt; i < fill && i < statusAt + 9 && std::isdigit(static_cast<unsigned char>(data[i])); ++i) {
    status = status * 10 + static_cast<uint32_t>(data[i] - '0');
  }
  head->status = status;
  const bool redirect = status >= 300 && status < 400;
  if (status != 200 && status != 206 && !redirect) return HeadScan::kFailed;

  size_t at = 0, markLength = 0;
  if (!FindHeaderEnd(data, fill, 0, &at, &markLength)) return HeadScan::kNeedMore;
  size_t end = at + markLength;
  if (redirect) {
    // Not followed; its target is told.
    const std::string text(data, end);
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (size_t p = HeaderValue(lower, "location:"); p != std::string::npos) {
      while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
      head->location = text.substr(p, std::min<size_t>(LineEnd(text, p) - p, 200));
    }
    return HeadScan::kFailed;
  }
  if (status == 206) {
    // A multipart byte-range body: its part header ends the head too. The
    // head's own content type says so, whatever the body's first bytes are.
    std::string first(data, end);
    for (char& c : first) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (first.find("multipart/") != std::string::npos) {
      if (!FindHeaderEnd(data, fill, end, &at, &markLength)) return HeadScan::kNeedMore;
      end = at + markLength;
    }
  }
  head->headerLength = end;

  std::string lower(data, end);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (const size_t p = HeaderValue(lower, "transfer-encoding:"); p != std::string::npos) {
    const size_t lineEnd = LineEnd(lower, p);
    head->chunked = lower.find("chunked", p) < lineEnd;
  }
  if (const size_t p = HeaderValue(lower, "content-length:"); p != std::string::npos) {
    head->hasContentLength = ReadNumber(lower, p, LineEnd(lower, p), &head->contentLength);
  }
  if (status == 206) {
    if (const size_t p = HeaderValue(lower, "content-range:"); p != std::string::npos) {
      const size_t lineEnd = LineEnd(lower, p);
      if (size_t slash = lower.find('/', p); slash != std::string::npos && slash < lineEnd) {
        head->hasFullLength = ReadNumber(lower, slash + 1, lineEnd, &head->fullLength);
      }
      if (size_t bytes = lower.find("bytes ", p); bytes != std::string::npos && bytes < lineEnd) {
        size_t i = bytes + 6;
        head->hasRangeStart = ReadNumber(lower, i, lineEnd, &head->rangeStart);
        if (head->hasRangeStart) {
          const size_t dash = lower.find('-', i);
          if (dash != std::string::npos && dash < lineEnd) {
            head->hasRangeEnd = ReadNumber(lower, dash + 1, lineEnd, &head->rangeEnd);
          }
        }
      }
    }
  }
  return HeadScan::kParsed;
}

// ---- the request -----------------------------------------------------------------

std::string BuildFetchRequest(const std::string& remotePath, uint32_t rangeKind, int64_t existingSize) {
  const size_t slash = remotePath.find('/');
  // The location's port belongs to the address the server (or the proxy)
  // is asked for, unless it is the default one.
  std::string host = remotePath.substr(0, slash);
  if (g_fetch.locationPort != 0 && g_fetch.locationPort != 80) host += ":" + std::to_string(g_fetch.locationPort);
  const std::string path = slash == std::string::npos ? std::string("/") : remotePath.substr(slash);
  std::string text;
  if (g_netSettings.proxyAddress.family != 0) {
    text = "GET http://" + host + path + " HTTP/1.0\r\nHost: " + host + "\r\n";
    if (!g_netSettings.httpProxyAuth.empty()) {
      text += "Proxy-Authorization: Basic " + g_netSettings.httpProxyAuth + "\r\n";
    }
  } else {
    text = "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\n";
  }
  const int64_t from = existingSize - 1024 > 0 ? existingSize - 1024 : 0;
  if (rangeKind == 1) text += "Range: bytes=0-" + std::to_string(from) + "\r\n";
  if (rangeKind == 2) text += "Range: bytes=" + std::to_string(from) + "-\r\n";
  text += std::string("User-Agent: ") + kUserAgent + "\r\n";
  text += std::string("Referrer: ") + kReferrer + "\r\n";
  text += std::string("From: ") + kFrom + "\r\n";
  if (!g_fetch.credentials.empty()) text += "Authorization: Basic " + g_fetch.credentials + "\r\n";
  text += "Accept: */*\r\nAccept: image/gif\r\nAccept: image/x-xbitmap\r\nAccept: image/jpeg\r\n\r\n";
  return text;
}

int SendFetchRequest(WsSocket socket, const std::string& remotePath, uint32_t rangeKind) {
  const std::string text = BuildFetchRequest(remotePath, rangeKind, g_fetch.existingSize);
  return g_networkBinding.send(socket, text.data(), static_cast<int32_t>(text.size()), 0);
}

// ---- the start -------------------------------------------------------------------

int BuildHttpFileList(const std::string& host, const std::string& path, FetchFileList* list,
                      FetchFileList* previous) {
  list->Clear();
  list->location = path.substr(0, 299);
  const std::vector<std::string> entries = SplitEntries(path);
  // One file per fetch: a location naming more is refused rather than
  // fetched in part.
  if (entries.size() > 1) return VRN_URL_ERR_SEVERAL;
  for (const std::string& entry : entries) {
    FetchFileRecord r;
    SetFetchText(r.remotePath, host + entry);
    SetFetchText(r.listingLine, "HTTP");
    list->records.push_back(r);
  }
  list->count = static_cast<uint32_t>(list->records.size());
  if (previous != nullptr) {
    for (const FetchFileRecord& old : previous->records) {
      bool matched = false;
      for (FetchFileRecord& r : list->records) {
        if (std::strcmp(r.remotePath, old.remotePath) == 0) {
          SetFetchText(r.localPath, old.localPath);
          matched = true;
        }
      }
      if (!matched) DeleteCachedCopy(old.localPath, g_fetch.cacheFolder);
    }
  }
  return 0;
}

int StartHttpFetch(const DravelEntry& profile, const std::string& profileFileName, const std::string& path,
                   const std::string& host, uint16_t port) {
  const NetworkLibraryBinding& ws = g_networkBinding;
  SendStatusText(ContactText(profile.LogFileUsername, host.c_str()));
  SendStatus(VRN_URL_MSG_LISTING, 0);
  if (const int built = BuildHttpFileList(host, path, &g_currentList, &g_previousList); built != 0) {
    SetURLErrorText(built);
    return -1;
  }
  MakeLocalFetchName(profileFileName, &g_currentList);
  g_fetch.listPath = ListFilePath(profileFileName);
  g_fetch.locationPort = port;
  g_fetch.expectedBytes = 0;
  WriteFetchProgress();
  if (g_currentList.count == 0) {
    SetURLErrorText(VRN_URL_ERR_NO_FILES);
    return -1;
  }

  g_fetch.ready = 1;
  g_fetch.fetchedPath = g_currentList.records[0].localPath;
  g_fetch.totalBytes = kUnknownTotal;
  g_fetch.doneBytes = 0;
  g_fetch.existingSize = 0;
  if (const KvFile copy = kv::FileOpen(g_fetch.fetchedPath.c_str(), kv::kFileRead, kv::FileDisposition::kOpenAlways);
      copy != KV_INVALID_FILE) {
    const int64_t size = kv::FileSize(copy);
    g_fetch.existingSize = size > 0 ? size : 0;
    kv::FileClose(copy);
  }

  NetworkSettings& net = g_netSettings;
  if (net.proxyEnable != 0 && net.proxyAddress.family == 0 && !net.httpProxy.empty()) {
    uint16_t proxyPort = 80;
    if (const size_t colon = net.httpProxy.find(':'); colon != std::string::npos) {
      const int32_t value = ParseIntText(net.httpProxy.c_str() + colon + 1);
      if (value > 0 && value <= 65535) proxyPort = static_cast<uint16_t>(value);
      net.httpProxy.erase(colon);
    }
    uint32_t address = 0;
    if (ResolveHostAddress(net.httpProxy, &address)) {
      net.proxyAddress = WsSockAddrIn{};
      net.proxyAddress.family = WS_AF_INET;
      net.proxyAddress.port = ws.htons_(proxyPort);
      net.proxyAddress.address = address;
    }
  }
  WsSockAddrIn target{};
  if (net.proxyAddress.family != 0) {
    target = net.proxyAddress;
  } else {
    uint32_t address = 0;
    if (!ResolveHostAddress(host, &address)) {
      SetURLErrorText(WSAHOST_NOT_FOUND);
      g_fetch.ready = 0;
      return -1;
    }
    target.family = WS_AF_INET;
    target.port = ws.htons_(port);
    target.address = address;
  }
  g_fetch.credentials = profile.LogFileUsername[0] != '\0'
                            ? EncodeBase64(std::string(profile.LogFileUsername) + ":" + profile.LogFilePassword)
                            : std::string();

  SendStatus(VRN_URL_MSG_CONNECTING, 0);
  const WsSocket s = ws.socket(WS_AF_INET, WS_SOCK_STREAM, 0);
  if (s == WS_INVALID_SOCKET) {
    SetURLErrorText(SocketError());
    g_fetch.ready = 0;
    return -1;
  }
  if (ws.connect(s, reinterpret_cast<const WsSockAddr*>(&target), sizeof target) != 0) {
    SetURLErrorText(SocketError());
    ws.closesocket(s);
    g_fetch.ready = 0;
    return -1;
  }
  if (!CreateURLWindow() || ws.WSAAsyncSelect(s, g_fetch.window, VRN_URL_MSG_SOCKET, WS_FD_READ | WS_FD_CLOSE) != 0) {
    return FailStart(s, SocketError());
  }

  g_fetch.primarySocket = s;
  g_fetch.busy = 1;
  g_fetch.started = 1;
  g_fetch.responseStatus = 0;
  g_fetch.secondRequest = 0;
  g_fetch.fill = 0;
  g_fetch.overlapState = 0;
  g_fetch.rangeStart = g_fetch.rangeLength = 0;
  g_fetch.chunks = ChunkDecoder{};
  g_fetch.secondSocket = WS_INVALID_SOCKET;
  SendStatusText(FileText(path.c_str()));
  g_fetch.serverAddress = target;
  g_fetch.firstRangeKind = g_fetch.downloadMode == 1 && g_fetch.existingSize >= 1024 ? 2 : 0;
  if (SendFetchRequest(s, CurrentRemotePath(), g_fetch.firstRangeKind) < 0) return FailStart(s, SocketError());
  return 0;
}

KvResult OnHttpSocketEvent(KvWParam wparam, KvLParam lparam) {
  g_fetch.idleSeconds = 0;
  const WsSocket s = static_cast<WsSocket>(wparam);
  // Late events of a finished fetch or of a socket already closed are not ours.
  if (g_fetch.busy == 0 || (s != g_fetch.primarySocket && s != g_fetch.secondSocket)) return 0;
  switch (WS_SELECT_EVENT(lparam)) {
    case WS_FD_READ: return OnRead(s);
    case WS_FD_CLOSE: return OnClose(s);
    default: return 0;
  }
}

}  // namespace vrn
