#include "linkanalysis/crawlhttp.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>

#include "linkanalysis/linkurl.h"
#include "platform/module/module.h"
#include "platform/sync/sync.h"
#include "platform/ui/window.h"

namespace kvla {

namespace {

uint64_t NowMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// Case-insensitive search of `needle` in [from, size) of `text`.
size_t FindNoCase(std::string_view text, std::string_view needle, size_t from = 0) {
  if (needle.empty() || text.size() < needle.size()) return std::string_view::npos;
  for (size_t i = from; i + needle.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() &&
           std::toupper(static_cast<unsigned char>(text[i + k])) == std::toupper(static_cast<unsigned char>(needle[k])))
      ++k;
    if (k == needle.size()) return i;
  }
  return std::string_view::npos;
}

// The value of a header line: after the name, separators skipped, to the end
// of the line.
bool HeaderValue(std::string_view head, std::string_view name, std::string* value) {
  size_t pos = FindNoCase(head, name);
  if (pos == std::string_view::npos) return false;
  pos += name.size();
  while (pos < head.size() && (head[pos] == ':' || head[pos] == ' ' || head[pos] == '\t')) ++pos;
  size_t end = head.find_first_of("\r\n", pos);
  *value = std::string(head.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
  return true;
}

// The offset behind the end-of-header marker, or npos.
size_t HeaderEnd(std::string_view data) {
  size_t a = data.find("\r\n\r\n");
  size_t b = data.find("\n\n");
  if (a != std::string_view::npos && (b == std::string_view::npos || a <= b)) return a + 4;
  if (b != std::string_view::npos) return b + 2;
  return std::string_view::npos;
}

void CloseSocket(LinkAnalysisDataStruct* ctx, PageRecord* record, ThreadSlot* slot) {
  if (slot->socket != WS_INVALID_SOCKET) {
    ctx->sockets.WSAAsyncSelect(slot->socket, slot->led, 0, 0);
    ctx->sockets.closesocket(slot->socket);
  }
  slot->socket = WS_INVALID_SOCKET;
  record->socket = -1;
  // The next socket may get the same number: drop the events of this one that
  // are still queued.
  kv::ui::Message stale;
  while (slot->led && kv::ui::PeekMessage(&stale, slot->led, WM_LINK_CONNECT, WM_LINK_SOCKET, kv::ui::PeekRemove)) {
  }
  slot->events = 0;
}

void Fail(LinkAnalysisDataStruct* ctx, PageRecord* record, ThreadSlot* slot, int32_t status) {
  if (status) record->status = status;
  CloseSocket(ctx, record, slot);
  slot->ledState = -1;
}

// Pumps until one of the wanted events arrives. 0 on stop, error, an
// unexpected close, or a time-out (whose status goes into the record).
int WaitSocketEvent(LinkAnalysisDataStruct* ctx, PageRecord* record, ThreadSlot* slot, uint32_t wanted,
                    int32_t timeoutStatus) {
  for (;;) {
    if (!PumpMessages(ctx)) {
      Fail(ctx, record, slot, kStatusAborted);
      return 0;
    }
    if (slot->events & wanted) return 1;
    if (slot->events & kEventError) {
      Fail(ctx, record, slot, 0);
      return 0;
    }
    if (slot->events & kEventClosed) {
      Fail(ctx, record, slot, kStatusPremature);
      return 0;
    }
    int32_t seconds = slot->headerParsed ? ctx->generalPurposeTimeout : ctx->dialupTimeout;
    const uint64_t now = NowMs();
    // Idle too long, or the whole request over its time, however slowly
    // its bytes keep coming.
    if (now - slot->lastReceiveTick > static_cast<uint64_t>(std::max(seconds, 1)) * 1000u ||
        (slot->requestDeadline && now > slot->requestDeadline)) {
      record->timeoutStatus = timeoutStatus;
      Fail(ctx, record, slot, timeoutStatus);
      return 0;
    }
    kv::ui::WaitMessage(20);
  }
}

bool IsDottedNumber(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

bool ValidMailAddress(std::string_view path) {
  std::string_view a = path.substr(path.find(':') == std::string_view::npos ? 0 : path.find(':') + 1);
  a = a.substr(0, a.find('?'));
  size_t at = a.find('@');
  if (at == 0 || at == std::string_view::npos || a.find('@', at + 1) != std::string_view::npos) return false;
  std::string_view domain = a.substr(at + 1);
  if (domain.empty() || domain.find('.') == std::string_view::npos || domain.front() == '.' || domain.back() == '.')
    return false;
  return std::none_of(a.begin(), a.end(), [](char c) {
    return static_cast<unsigned char>(c) <= 0x20 || c == '<' || c == '>' || c == '"' || c == ',' || c == ';';
  });
}

std::string PercentDecode(std::string_view in) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '%' && i + 2 < in.size() + 0 && std::isxdigit(static_cast<unsigned char>(in[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(in[i + 2]))) {
      out += static_cast<char>(std::stoi(std::string(in.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += in[i];
    }
  }
  return out;
}

// Host name and port to connect to for the record.
void Destination(LinkAnalysisDataStruct* ctx, const PageRecord& record, std::string* name, int32_t* port) {
  if (!ctx->httpProxy.empty()) {
    size_t colon = ctx->httpProxy.find(':');
    *name = ctx->httpProxy.substr(0, colon);
    *port = colon == std::string::npos ? 80 : std::atoi(ctx->httpProxy.c_str() + colon + 1);
    return;
  }
  *name = record.host;
  int32_t defaultPort = 80;
  switch (record.linkType) {
    case kLinkFtp: defaultPort = 21; break;
    case kLinkGopher: defaultPort = 70; break;
    case kLinkNews: defaultPort = 119; break;
    default: break;
  }
  *port = record.port > 0 ? record.port : defaultPort;
  if (record.linkType != kLinkHttp && record.linkType != kLinkHttps) {
    std::string_view path(record.path);
    for (const char* prefix : {"ftp://", "gopher://", "news://", "snews://", "news:"}) {
      size_t n = std::strlen(prefix);
      if (path.size() >= n && FindNoCase(path.substr(0, n), prefix) == 0) {
        std::string_view rest = path.substr(n);
        rest = rest.substr(0, rest.find('/'));
        rest = rest.substr(rest.rfind('@') == std::string_view::npos ? 0 : rest.rfind('@') + 1);
        if (size_t colon = rest.find(':'); colon != std::string_view::npos) {
          int32_t p = std::atoi(std::string(rest.substr(colon + 1)).c_str());
          if (p > 0 && p < 65536 && record.port <= 0) *port = p;
          rest = rest.substr(0, colon);
        }
        *name = std::string(rest);
        break;
      }
    }
  }
  name->resize(std::min(name->find('/'), name->size()));
}

int Resolve(LinkAnalysisDataStruct* ctx, PageRecord* record, ThreadSlot* slot) {
  std::string name;
  int32_t port = 0;
  Destination(ctx, *record, &name, &port);
  if (port <= 0 || port > 65535) port = 80;
  std::memset(&slot->address, 0, sizeof slot->address);
  slot->address.family = WS_AF_INET;
  slot->address.port = ctx->sockets.htons_(static_cast<uint16_t>(port));
  bool startHost = ctx->httpProxy.empty() && (record->linkType == kLinkHttp || record->linkType == kLinkHttps) &&
                   record->port == ctx->serverPort && name == ctx->serverHost;
  if (IsDottedNumber(name)) {
    uint32_t a = ctx->sockets.inet_addr(name.c_str());
    if (a == WS_INADDR_NONE) {
      Fail(ctx, record, slot, kStatusResolve);
      return 0;
    }
    slot->address.address = a;
    return 1;
  }
  if (!LockMutex(ctx, ctx->dnsMutex)) {
    Fail(ctx, record, slot, kStatusAborted);
    return 0;
  }
  if (startHost && ctx->startHostAddress) {
    slot->address.address = ctx->startHostAddress;
    ReleaseLock(ctx->dnsMutex);
    return 1;
  }
  slot->events &= ~(kEventResolved | kEventError);
  slot->lookupTask = ctx->sockets.WSAAsyncGetHostByName(slot->led, WM_LINK_GETHOST, name.c_str(),
                                                        slot->hostEntry.data(),
                                                        static_cast<int32_t>(slot->hostEntry.size()));
  if (!slot->lookupTask) {
    ReleaseLock(ctx->dnsMutex);
    Fail(ctx, record, slot, kStatusSelect);
    return 0;
  }
  slot->lastReceiveTick = NowMs();
  int ok = WaitSocketEvent(ctx, record, slot, kEventResolved, kStatusTimeoutResolve);
  if (!ok) {
    ctx->sockets.WSACancelAsyncRequest(slot->lookupTask);
    if (record->status != kStatusTimeoutResolve && record->status != kStatusAborted) record->status = kStatusResolve;
  } else {
    const auto* entry = reinterpret_cast<const WsHostEntry*>(slot->hostEntry.data());
    if (entry->addressLength == 4 && entry->addresses && entry->addresses[0]) {
      std::memcpy(&slot->address.address, entry->addresses[0], 4);
      if (startHost) ctx->startHostAddress = slot->address.address;
    } else {
      record->status = kStatusResolve;
      ok = 0;
    }
  }
  slot->lookupTask = 0;
  ReleaseLock(ctx->dnsMutex);
  return ok;
}

int OpenConnection(LinkAnalysisDataStruct* ctx, PageRecord* record, ThreadSlot* slot) {
  if (record->linkType == kLinkMailto) {
    if (!ValidMailAddress(record->path)) {
      record->status = kStatusBadMail;
      return 0;
    }
    return 1;
  }
  if (ctx->searchMode == 1) return 1;  // files are read when the request is "sent"
  if (!Resolve(ctx, record, slot)) return 0;
  WsSocket s = ctx->sockets.socket(WS_AF_INET, WS_SOCK_STREAM, 0);
  if (s == WS_INVALID_SOCKET) {
    Fail(ctx, record, slot, kStatusInvalidSocket);
    return 0;
  }
  slot->socket = s;
  record->socket = static_cast<int32_t>(s);
  slot->events = 0;
  if (ctx->sockets.WSAAsyncSelect(s, slot->led, WM_LINK_CONNECT, WS_FD_CONNECT) != 0) {
    Fail(ctx, record, slot, kStatusSelect);
    return 0;
  }
  if (ctx->sockets.connect(s, reinterpret_cast<const WsSockAddr*>(&slot->address), sizeof slot->address) != 0 &&
      ctx->sockets.WSAGetLastError() != WSAEWOULDBLOCK) {
    Fail(ctx, record, slot, kStatusConnect);
    return 0;
  }
  slot->lastReceiveTick = NowMs();
  if (!WaitSocketEvent(ctx, record, slot, kEventConnected, kStatusTimeoutConnect)) {
    if (record->status != kStatusTimeoutConnect && record->status != kStatusAborted) record->status = kStatusConnect;
    return 0;
  }
  return 1;
}

// Reads a local file into the receive buffer behind a made-up head.
int ReadLocalFile(LinkAnalysisDataStruct* ctx, PageRecord* record, ThreadSlot* slot, bool get) {
  std::string path = PercentDecode(record->path);
  path = path.substr(0, path.find_first_of("?#"));
  if (path == "/" || path.empty()) path = "/" + ctx->startPage.substr(ctx->startPage.find_last_of("/\\") + 1);
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.find("/../") != std::string::npos || path.ends_with("/..")) {
    record->status = 404;
    return 0;
  }
  std::string file = ctx->localFilePath + path;
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    record->status = 404;
    return 0;
  }
  std::string data = MakeLocalFileHeader(st.st_size, st.st_mtime);
  slot->bodyStart = static_cast<uint32_t>(data.size());
  slot->bodyCut = false;
  if (get) {
    // No more of the file than a page scan takes is held.
    std::ifstream in(file, std::ios::binary);
    const size_t want = static_cast<size_t>(
        std::min<int64_t>(st.st_size, static_cast<int64_t>(kMaxScanBytes) - static_cast<int64_t>(data.size())));
    std::string body(want, '\0');
    in.read(body.data(), static_cast<std::streamsize>(want));
    if (!in && !in.eof()) {
      record->status = kStatusReceive;
      return 0;
    }
    body.resize(static_cast<size_t>(in.gcount()));
    slot->bodyCut = st.st_size > static_cast<int64_t>(body.size());
    data += body;
  }
  try {
    slot->receive.assign(data.begin(), data.end());
    slot->receive.resize(data.size() + kReceiveChunk);
  } catch (const std::bad_alloc&) {
    record->status = kStatusMemory;
    return 0;
  }
  slot->received = static_cast<uint32_t>(data.size());
  return 1;
}

// The request text as the debug log shows it: the credentials cut.
std::string WithoutCredentials(std::string request) {
  for (const char* name : {"\r\nAuthorization:", "\r\nProxy-Authorization:"}) {
    size_t at = FindNoCase(request, name);
    if (at == std::string::npos) continue;
    size_t from = at + std::strlen(name);
    size_t end = request.find("\r\n", from);
    request.replace(from, end == std::string::npos ? std::string::npos : end - from, " (not shown)");
  }
  return request;
}

// The status number of a response head ("HTTP/1.1 200 OK"); 0 when none.
int32_t HeadStatus(std::string_view head) {
  int32_t status = 0;
  if (size_t p = FindNoCase(head, "HTTP/"); p != std::string_view::npos) {
    p += 5;
    while (p < head.size() && head[p] != ' ' && head[p] != '\r' && head[p] != '\n') ++p;
    while (p < head.size() && head[p] == ' ') ++p;
    while (p < head.size() && head[p] >= '0' && head[p] <= '9' && status < 100000)
      status = status * 10 + (head[p++] - '0');
  }
  return status;
}

// What is kept of an answer while it arrives: the head and at most
// kMaxScanBytes of the body in the receive buffer, and only when the body is
// of use (an HTML page of the site to scan, or a data file to write). The
// data file gets the whole body as it comes, never held in memory.
struct BodyPlan {
  bool headDone = false;
  bool keep = false;       // the body goes into the buffer (up to the limit)
  bool stopped = false;    // reading ended here, before the server closed
  int64_t length = -1;     // Content-length, -1 when none
  uint64_t bodySeen = 0;   // body bytes received, kept or not
  std::FILE* file = nullptr;
  std::string filePath;
  bool complete = false;   // the answer arrived as it should: the file stays
  ~BodyPlan() {
    if (file) std::fclose(file);
    if (!complete && !filePath.empty()) std::remove(filePath.c_str());
  }
};

void OpenDataFile(LinkAnalysisDataStruct* ctx, const PageRecord& record, BodyPlan* plan) {
  const std::string file = ComputeSaveFilename(ctx, record);
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
  plan->file = std::fopen(file.c_str(), "wb");
  if (plan->file)
    plan->filePath = file;
  else
    ReportLinkError(ctx, "Couldn't write the data file " + file + ".");
}

void WriteToDataFile(LinkAnalysisDataStruct* ctx, const PageRecord& record, BodyPlan* plan, const char* data,
                     size_t size) {
  if (!plan->file || size == 0) return;
  if (std::fwrite(data, 1, size, plan->file) != size) {
    std::fclose(plan->file);
    plan->file = nullptr;
    ReportLinkError(ctx, "Couldn't write the data file " + ComputeSaveFilename(ctx, record) + ".");
  }
}

// Decides, once the head is complete, what of the body is wanted.
void PlanBody(LinkAnalysisDataStruct* ctx, const PageRecord& record, ThreadSlot* slot, const char* method,
              BodyPlan* plan) {
  std::string_view head(slot->receive.data(), slot->bodyStart);
  const int32_t status = HeadStatus(head);
  const bool get = std::strcmp(method, "GET") == 0;
  std::string value;
  if (HeaderValue(head, "Content-length", &value)) {
    const long long n = std::atoll(value.c_str());
    if (n >= 0) plan->length = n;
  }
  const bool web = record.linkType == kLinkHttp || record.linkType == kLinkHttps;
  // An HTML page is kept (its title is read, and a page of the site is
  // scanned); any other body is of no use in memory.
  plan->keep = get && status == 200 && web && record.category == kCategoryHtml;
  if (get && status == 200 && ctx->writeDataFiles) OpenDataFile(ctx, record, plan);
  plan->headDone = true;
}

int SendAndReceive(LinkAnalysisDataStruct* ctx, PageRecord* record, ThreadSlot* slot, const char* method) {
  std::string request = BuildHttpRequest(ctx, *record, method);
  if (ctx->debugMode) {
    const std::string shown = WithoutCredentials(request);
    DebugLogWrite(ctx, shown.data(), shown.size());
  }
  slot->events = 0;
  if (ctx->sockets.WSAAsyncSelect(slot->socket, slot->led, WM_LINK_SOCKET, WS_FD_READ | WS_FD_WRITE | WS_FD_CLOSE) !=
      0) {
    Fail(ctx, record, slot, kStatusSelect);
    return 0;
  }
  slot->lastReceiveTick = NowMs();
  size_t sent = 0;
  while (sent < request.size()) {
    if (!WaitSocketEvent(ctx, record, slot, kEventWritable, kStatusTimeoutTransmit)) return 0;
    int32_t n = ctx->sockets.send(slot->socket, request.data() + sent, static_cast<int32_t>(request.size() - sent), 0);
    if (n < 0) {
      if (ctx->sockets.WSAGetLastError() != WSAEWOULDBLOCK) {
        Fail(ctx, record, slot, kStatusTransmit);
        return 0;
      }
      slot->events &= ~kEventWritable;
      continue;
    }
    sent += static_cast<size_t>(n);
  }
  // Read until the server closes, or until nothing more of the body is wanted.
  slot->received = 0;
  slot->bodyStart = 0;
  slot->bodyCut = false;
  slot->lastReceiveTick = NowMs();
  BodyPlan plan;
  std::vector<char> scratch;  // for the bytes that are not kept
  for (;;) {
    if (!WaitSocketEvent(ctx, record, slot, kEventReadable | kEventClosed, kStatusTimeoutDisconnect)) return 0;
    slot->events &= ~(kEventReadable | kEventWritable);
    bool closed = false;
    for (;;) {
      // The head, and the body while it is kept, go into the receive
      // buffer; a head is not let grow past the page limit either.
      const size_t keptLimit =
          plan.headDone ? (plan.keep ? std::max<size_t>(kMaxScanBytes, slot->bodyStart) : slot->bodyStart)
                        : kMaxScanBytes;
      const bool intoBuffer = slot->received < keptLimit;
      char* into = nullptr;
      size_t room = kReceiveChunk;
      if (intoBuffer) {
        room = std::min<size_t>(kReceiveChunk, keptLimit - slot->received);
        if (slot->receive.size() < slot->received + room) {
          try {
            // Grown by half again each time, never past the limit.
            size_t grow = std::max<size_t>(slot->received + room, slot->receive.size() + slot->receive.size() / 2);
            slot->receive.resize(std::min<size_t>(grow, keptLimit + kReceiveChunk));
          } catch (const std::bad_alloc&) {
            Fail(ctx, record, slot, kStatusMemory);
            return 0;
          }
        }
        into = slot->receive.data() + slot->received;
      } else {
        if (plan.keep) slot->bodyCut = true;
        if (!plan.file) {
          // Nothing more of this answer is of use.
          plan.stopped = true;
          closed = true;
          break;
        }
        if (scratch.empty()) {
          try {
            scratch.resize(kReceiveChunk);
          } catch (const std::bad_alloc&) {
            Fail(ctx, record, slot, kStatusMemory);
            return 0;
          }
        }
        into = scratch.data();
      }
      int32_t n = ctx->sockets.recv(slot->socket, into, static_cast<int32_t>(room), 0);
      if (n > 0) {
        const size_t before = slot->received;
        slot->lastReceiveTick = NowMs();
        ctx->bytesReceived += n;
        if (intoBuffer) slot->received += static_cast<uint32_t>(n);
        if (!plan.headDone) {
          std::string_view sofar(slot->receive.data(), slot->received);
          size_t end = HeaderEnd(sofar);
          if (end != std::string_view::npos) {
            slot->bodyStart = static_cast<uint32_t>(end);
            PlanBody(ctx, *record, slot, method, &plan);
            plan.bodySeen = slot->received - end;
            WriteToDataFile(ctx, *record, &plan, slot->receive.data() + end, slot->received - end);
            // What is not kept does not stay in the buffer.
            if (!plan.keep) slot->received = std::min<uint32_t>(slot->received, slot->bodyStart);
          }
        } else {
          plan.bodySeen += static_cast<uint64_t>(n);
          WriteToDataFile(ctx, *record, &plan, into, static_cast<size_t>(n));
          if (intoBuffer && !plan.keep) slot->received = static_cast<uint32_t>(before);
        }
        if (plan.headDone && plan.length >= 0 && plan.bodySeen >= static_cast<uint64_t>(plan.length)) {
          closed = true;  // all of the body is here
          break;
        }
        if (plan.headDone && !plan.keep && !plan.file) {
          plan.stopped = true;  // the status is known, the body is of no use
          closed = true;
          break;
        }
        continue;
      }
      if (n == 0) {
        closed = true;
      } else if (ctx->sockets.WSAGetLastError() != WSAEWOULDBLOCK) {
        Fail(ctx, record, slot, kStatusReceive);
        return 0;
      }
      break;
    }
    if (closed) break;
    slot->events &= ~kEventClosed;  // a close is confirmed by recv returning 0
  }
  if (!plan.headDone) {
    slot->bodyStart = slot->received;
    if (slot->received >= kMaxScanBytes) slot->bodyCut = true;
  }
  // A body that ends before its announced length is a broken answer, not a
  // page: the server went away in the middle of it.
  if (plan.headDone && !plan.stopped && plan.length >= 0 && std::strcmp(method, "GET") == 0 &&
      plan.bodySeen < static_cast<uint64_t>(plan.length)) {
    const int32_t status = HeadStatus(std::string_view(slot->receive.data(), slot->bodyStart));
    if (status == 200 || status == 206) {
      Fail(ctx, record, slot, kStatusPremature);
      return 0;
    }
  }
  plan.complete = true;
  return 1;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Whether a host lies in a cookie's domain: the domain itself, or a host
// below it on a label boundary ("site.test" covers "www.site.test", not
// "badsite.test"). A numeric address has no hosts below it.
bool DomainMatch(std::string_view host, std::string_view domain) {
  if (EqualsNoCase(host, domain)) return true;
  return !IsDottedNumber(host) && host.size() > domain.size() && host[host.size() - domain.size() - 1] == '.' &&
         EqualsNoCase(host.substr(host.size() - domain.size()), domain);
}

// Whether a request path lies on a cookie's path ("/shop" covers "/shop",
// "/shop/" and "/shop/cart.html", not "/shopping").
bool PathMatch(std::string_view path, std::string_view cookiePath) {
  if (path.compare(0, cookiePath.size(), cookiePath) != 0) return false;
  return path.size() == cookiePath.size() || cookiePath.back() == '/' || path[cookiePath.size()] == '/' ||
         path[cookiePath.size()] == '?';
}

int32_t WebPort(const PageRecord& record) {
  return record.port > 0 ? record.port : (record.linkType == kLinkHttps ? 443 : 80);
}

void StoreCookie(LinkAnalysisDataStruct* ctx, const PageRecord& record, std::string_view header) {
  std::string value(header.substr(0, std::min<size_t>(header.size(), 512)));
  Cookie cookie;
  cookie.value = value.substr(0, value.find(';'));
  while (!cookie.value.empty() && cookie.value.back() == ' ') cookie.value.pop_back();
  if (cookie.value.empty()) return;
  const std::string_view host(record.host, strnlen(record.host, sizeof record.host));
  cookie.host = std::string(host);
  cookie.port = WebPort(record);
  cookie.path = "/";
  // The attributes after the first ';': "Path=/x", "Domain=site.test".
  for (size_t at = value.find(';'); at != std::string::npos;) {
    size_t next = value.find(';', at + 1);
    std::string attr = value.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
    at = next;
    while (!attr.empty() && attr.front() == ' ') attr.erase(attr.begin());
    while (!attr.empty() && attr.back() == ' ') attr.pop_back();
    size_t eq = attr.find('=');
    std::string name = attr.substr(0, eq), arg = eq == std::string::npos ? std::string() : attr.substr(eq + 1);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    while (!arg.empty() && arg.front() == ' ') arg.erase(arg.begin());
    if (EqualsNoCase(name, "path")) {
      if (!arg.empty() && arg[0] == '/') cookie.path = arg;
    } else if (EqualsNoCase(name, "domain")) {
      while (!arg.empty() && arg.front() == '.') arg.erase(arg.begin());
      if (arg.empty()) continue;
      // A server sets cookies for its own domain only, and a bare top
      // label ("test") names no site.
      if (!DomainMatch(host, arg) || arg.find('.') == std::string::npos) return;
      cookie.hostOnly = false;
      cookie.host.clear();
      for (char c : arg) cookie.host += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  if (!LockMutex(ctx, ctx->cookieMutex)) return;
  std::string name = cookie.value.substr(0, cookie.value.find('='));
  auto it = std::find_if(ctx->cookies.begin(), ctx->cookies.end(), [&](const Cookie& c) {
    return EqualsNoCase(c.host, cookie.host) && c.hostOnly == cookie.hostOnly &&
           (!c.hostOnly || c.port == cookie.port) && c.path == cookie.path &&
           c.value.substr(0, c.value.find('=')) == name;
  });
  try {
    if (it != ctx->cookies.end())
      *it = cookie;
    else
      ctx->cookies.push_back(cookie);
  } catch (const std::bad_alloc&) {
  }
  ReleaseLock(ctx->cookieMutex);
}


}  // namespace

bool IsOutsideLink(const LinkAnalysisDataStruct* ctx, int32_t linkType, std::string_view host, int32_t port) {
  if (linkType != kLinkHttp && linkType != kLinkHttps) return false;
  if (ctx->searchMode != 0) return false;
  return !EqualsNoCase(host, ctx->serverHost) || (port ? port : 80) != (ctx->serverPort ? ctx->serverPort : 80);
}

bool BindSocketCalls(SocketCalls* calls) {
  if (!calls) return false;
  calls->module = KvLoadModule("WSOCK32.DLL");
  if (!calls->module) return false;
  auto get = [calls](auto& slot, const char* name) {
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(KvGetProcAddress(calls->module, name));
    return slot != nullptr;
  };
  bool ok = get(calls->WSAStartup, "WSAStartup") && get(calls->WSACleanup, "WSACleanup") &&
            get(calls->WSAGetLastError, "WSAGetLastError") && get(calls->WSAAsyncSelect, "WSAAsyncSelect") &&
            get(calls->WSAAsyncGetHostByName, "WSAAsyncGetHostByName") &&
            get(calls->WSACancelAsyncRequest, "WSACancelAsyncRequest") && get(calls->socket, "socket") &&
            get(calls->connect, "connect") && get(calls->send, "send") && get(calls->recv, "recv") &&
            get(calls->closesocket, "closesocket") && get(calls->htons_, "htons") &&
            get(calls->inet_addr, "inet_addr");
  WsaData data{};
  if (ok && calls->WSAStartup(0x0101, &data) == 0) {
    calls->started = true;
    return true;
  }
  KvFreeModule(calls->module);
  *calls = SocketCalls{};
  return false;
}

void ReleaseSocketCalls(SocketCalls* calls) {
  if (!calls || !calls->module) return;
  if (calls->started) calls->WSACleanup();
  KvFreeModule(calls->module);
  *calls = SocketCalls{};
}

KvResult LedWindowProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam) {
  auto* slot = reinterpret_cast<ThreadSlot*>(kv::ui::GetWindowUserData(window));
  if (!slot) return kv::ui::DefWindowProc(window, message, wparam, lparam);
  uint16_t error = WS_SELECT_ERROR(lparam);
  switch (message) {
    case WM_LINK_GETHOST:
      if (static_cast<KvHandle>(wparam) != slot->lookupTask) return 0;
      slot->events |= error ? kEventError : kEventResolved;
      return 0;
    case WM_LINK_CONNECT:
    case WM_LINK_SOCKET: {
      if (static_cast<WsSocket>(wparam) != slot->socket) return 0;  // a late event of an earlier socket
      if (error) {
        slot->events |= kEventError;
        return 0;
      }
      uint16_t event = WS_SELECT_EVENT(lparam);
      if (event & WS_FD_CONNECT) slot->events |= kEventConnected;
      if (event & WS_FD_WRITE) slot->events |= kEventWritable;
      if (event & WS_FD_READ) slot->events |= kEventReadable;
      if (event & WS_FD_CLOSE) slot->events |= kEventClosed;
      return 0;
    }
    default:
      return kv::ui::DefWindowProc(window, message, wparam, lparam);
  }
}

std::string Base64(std::string_view text) {
  static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < text.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(text[i]) << 16 | static_cast<unsigned char>(text[i + 1]) << 8 |
                 static_cast<unsigned char>(text[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out += table[(v >> k) & 63];
  }
  if (i < text.size()) {
    uint32_t v = static_cast<unsigned char>(text[i]) << 16;
    if (i + 1 < text.size()) v |= static_cast<unsigned char>(text[i + 1]) << 8;
    out += table[(v >> 18) & 63];
    out += table[(v >> 12) & 63];
    out += i + 1 < text.size() ? table[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string BuildHttpRequest(LinkAnalysisDataStruct* ctx, const PageRecord& record, const char* method) {
  std::string host(record.host, strnlen(record.host, sizeof record.host));
  std::string path(record.path, strnlen(record.path, sizeof record.path));
  int32_t port = record.port <= 0 || record.port == 443 ? 80 : record.port;
  std::string r = std::string(method) + " ";
  if (!ctx->httpProxy.empty()) {
    // The proxy connects where the URL says: its port goes with it.
    const std::string at = record.port > 0 && record.port != 80 ? host + ":" + std::to_string(record.port) : host;
    r += "http://" + at + path + " HTTP/1.0\r\nHost: " + host + ":" + std::to_string(port) + "\r\n";
  }
  else
    r += path + " HTTP/1.0\r\nHost: " + host + ":" + std::to_string(port) + "\r\n";
  r += "Connection: close\r\n";
  if (!ctx->httpProxy.empty() && !ctx->httpProxyAuth.empty())
    r += "Proxy-Authorization: Basic " + Base64(ctx->httpProxyAuth) + "\r\n";
  if (!(record.flags & kFlagOutside)) {
    std::string user = GetText(ctx, record.userName), password = GetText(ctx, record.password);
    if (user.empty() || password.empty()) {
      user = ctx->userName;
      password = ctx->password;
    }
    if (!user.empty() && !password.empty()) r += "Authorization: Basic " + Base64(user + ":" + password) + "\r\n";
  }
  if (LockMutex(ctx, ctx->cookieMutex)) {
    // Every cookie that covers the URL: a host-only one (set without a
    // Domain) goes back to its own host and port alone, a domain cookie to
    // the domain and the hosts below it.
    std::string cookies;
    for (const Cookie& c : ctx->cookies) {
      const bool hostOk =
          c.hostOnly ? EqualsNoCase(host, c.host) && c.port == WebPort(record) : DomainMatch(host, c.host);
      if (hostOk && PathMatch(path, c.path)) cookies += (cookies.empty() ? "" : "; ") + c.value;
    }
    ReleaseLock(ctx->cookieMutex);
    if (!cookies.empty()) r += "Cookie: " + cookies + "\r\n";
  }
  if (!ctx->userAgent.empty()) r += "User-Agent: " + ctx->userAgent + "\r\n";
  r += "Accept: */*\r\n\r\n";
  return r;
}

std::string MakeLocalFileHeader(int64_t size, std::time_t modified) {
  char when[64] = "";
  std::tm tm{};
  if (gmtime_r(&modified, &tm)) {
    char text[32];
    if (asctime_r(&tm, text)) {
      // "Www Mmm dd hh:mm:ss yyyy\n"
      std::string t(text);
      if (t.size() >= 24)
        std::snprintf(when, sizeof when, "%s, %s %s %s %s", t.substr(0, 3).c_str(), t.substr(8, 2).c_str(),
                      t.substr(4, 3).c_str(), t.substr(20, 4).c_str(), t.substr(11, 8).c_str());
    }
  }
  char head[256];
  std::snprintf(head, sizeof head, "%s: 200\r\n%s: %lld\r\n%s: %s GMT\r\n\r\n", "HTTP/", "Content-length:",
                static_cast<long long>(size), "Last-Modified:", when);
  return head;
}

int32_t ParseHttpDate(std::string_view text) {
  std::string s(text.substr(0, 128));
  for (char& c : s)
    if (c == ',' || c == ':' || c == '-') c = ' ';
  char day[8] = "", month[8] = "";
  int mday = 0, year = 0, h = 0, m = 0, sec = 0;
  if (std::sscanf(s.c_str(), "%7s %d %7s %d %d %d %d", day, &mday, month, &year, &h, &m, &sec) != 7) return 0;
  static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int wd = -1, mon = -1;
  for (int i = 0; i < 7; ++i)
    if (strncasecmp(day, days[i], 3) == 0) wd = i;
  for (int i = 0; i < 12; ++i)
    if (strncasecmp(month, months[i], 3) == 0) mon = i;
  if (wd < 0 || mon < 0 || mday < 1 || mday > 31 || h < 0 || h > 23 || m < 0 || m > 59 || sec < 0 || sec > 60)
    return 0;
  if (year > 1900) year -= 1900;
  if (year < 70 || year > 137) return 0;  // outside the 32-bit time value
  std::tm tm{};
  tm.tm_year = year;
  tm.tm_mon = mon;
  tm.tm_mday = mday;
  tm.tm_hour = h;
  tm.tm_min = m;
  tm.tm_sec = sec;
  std::time_t t = timegm(&tm);
  return t < 0 || t > INT32_MAX ? 0 : static_cast<int32_t>(t);
}

void ParseHttpResponse(LinkAnalysisDataStruct* ctx, PageRecord* record, ThreadSlot* slot, const char* data,
                       size_t size, const char* method) {
  if (!ctx || !record || (!data && size)) return;
  std::string_view all(data ? data : "", size);
  if (ctx->debugMode) {
    std::string url = RecordUrl(*record);
    char line[1200];
    int n = std::snprintf(line, sizeof line, "Server response for %s on: %s\r\n", method, url.c_str());
    DebugLogWrite(ctx, line, static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof line) - 1)));
    DebugLogWrite(ctx, all.data(), std::min<size_t>(all.size(), 8192));
  }
  size_t headEnd = HeaderEnd(all);
  std::string_view head = all.substr(0, headEnd == std::string_view::npos ? all.size() : headEnd);

  const int32_t status = HeadStatus(head);
  record->status = status;
  std::string target;
  bool hasTarget = HeaderValue(head, "\nURI:", &target) || HeaderValue(head, "\nLocation:", &target);
  while (!target.empty() && (target.back() == ' ' || target.back() == '\t')) target.pop_back();
  if (hasTarget && target.empty()) hasTarget = false;
  if (hasTarget) {
    if (record->redirectCount == 0) {
      SetText(ctx, &record->originalPath, record->path);
      record->firstRedirectStatus = status;
    }
    ++record->redirectCount;
  }
  (status == 200 ? ctx->answered200 : ctx->answeredOther)++;
  if (slot) slot->headerParsed = true;
  if (status != 200 && !hasTarget) return;

  std::string value;
  bool hasLength = HeaderValue(head, "Content-length", &value);
  if (hasLength) record->contentLength = static_cast<int32_t>(std::clamp<long long>(std::atoll(value.c_str()), 0, INT32_MAX));
  if (HeaderValue(head, "Last-Modified", &value)) record->lastModified = ParseHttpDate(value);
  if (HeaderValue(head, "Set-Cookie:", &value)) StoreCookie(ctx, *record, value);
  if (!hasLength) {
    size_t end = HeaderEnd(all.substr(0, std::min<size_t>(all.size(), 1024)));
    if (end != std::string_view::npos) record->contentLength = static_cast<int32_t>(end);
  }
  bool body = std::strcmp(method, "GET") == 0;
  if (body) record->flags |= kFlagBody;

  if (status != 200 && hasTarget) {
    if (record->category != kCategoryMap && record->redirectCount < ctx->redirectCutoff) {
      UrlParts parts = SplitUrl(NetworkPathUrl(target, record->linkType));
      if (parts.linkType == 0) {
        parts.linkType = record->linkType;
        parts.host = record->host;
        parts.port = record->port;
        parts.path = ResolveRelative(record->path, target);
      }
      if (parts.port < 0) {
        record->status = kStatusConnect;  // no such port
        record->flags &= ~kFlagBody;
        return;
      }
      char encoded[sizeof record->path];
      if (!EncodePath(parts.path, encoded, sizeof encoded) || parts.host.size() >= sizeof record->host) {
        record->status = kStatusUrlTooLong;
        return;
      }
      // Where the redirect leads decides, not where it came from: the
      // profile's credentials go to its own server only, and a redirect away
      // from it is followed only when outside links are.
      const bool outside = IsOutsideLink(ctx, parts.linkType, parts.host, parts.port);
      if (outside && !ctx->outsideLinks) {
        // Not followed: the record keeps the redirect's status, and the
        // redirect's own body is no page of the site.
        record->flags &= ~kFlagBody;
        return;
      }
      const bool sameServer = EqualsNoCase(parts.host, record->host) && parts.port == record->port;
      if (outside)
        record->flags |= kFlagOutside;
      else
        record->flags &= ~kFlagOutside;
      if (!sameServer) {
        // A user and password of the old address are not the new one's.
        SetText(ctx, &record->userName, nullptr);
        SetText(ctx, &record->password, nullptr);
      }
      record->flags |= kFlagRedirected;
      record->flags &= ~kFlagBody;
      std::memset(record->host, 0, sizeof record->host);
      std::memcpy(record->host, parts.host.data(), parts.host.size());
      std::memset(record->path, 0, sizeof record->path);
      std::strcpy(record->path, encoded);
      record->linkType = parts.linkType;
      record->port = parts.port;
      record->category = CategoryFromPath(record->path, ctx->categories);
      if (!parts.user.empty()) SetText(ctx, &record->userName, parts.user.c_str());
      if (!parts.password.empty()) SetText(ctx, &record->password, parts.password.c_str());
    } else if (record->category == kCategoryMap) {
      record->status = 200;  // an image map's redirect is not followed
    } else {
      // A loop, or a chain longer than RedirectCutoff: no page at its end.
      record->status = kStatusTooManyRedirects;
      record->flags &= ~kFlagBody;
    }
    return;
  }
  if (headEnd == std::string_view::npos) return;
  std::string_view html = all.substr(headEnd);
  if (size_t b = FindNoCase(html, "<BASE"); b != std::string_view::npos) {
    size_t end = html.find('>', b);
    std::string_view tag = html.substr(b, end == std::string_view::npos ? std::string_view::npos : end - b);
    if (size_t h = FindNoCase(tag, "HREF"); h != std::string_view::npos) {
      size_t q = tag.find('"', h);
      size_t q2 = q == std::string_view::npos ? q : tag.find('"', q + 1);
      if (q2 != std::string_view::npos) {
        std::string href(tag.substr(q + 1, q2 - q - 1));
        href = href.substr(0, href.rfind('/') == std::string::npos ? 0 : href.rfind('/') + 1);
        if (href.size() < 1024) SetText(ctx, &record->baseDir, href.c_str());
      }
    }
  }
  if (record->category == kCategoryHtml) {
    size_t t = FindNoCase(html, "<TITLE>");
    if (t != std::string_view::npos) {
      size_t e = FindNoCase(html, "</TITLE>", t + 7);
      if (e != std::string_view::npos) {
        std::string title(html.substr(t + 7, std::min<size_t>(e - t - 7, 127)));
        std::replace(title.begin(), title.end(), '\0', ' ');
        SetText(ctx, &record->title, title.c_str());
      }
    }
    size_t m = FindNoCase(html, "<META ");
    if (m != std::string_view::npos) {
      size_t e = html.find('>', m);
      std::string meta(html.substr(m + 6, std::min<size_t>((e == std::string_view::npos ? html.size() : e) - m - 6, 255)));
      std::replace(meta.begin(), meta.end(), '\0', ' ');
      SetText(ctx, &record->metaText, meta.c_str());
    }
  }
}

std::string ComputeSaveFilename(const LinkAnalysisDataStruct* ctx, const PageRecord& record) {
  std::string name = std::to_string(record.index) + "_" + std::string(record.host, strnlen(record.host, sizeof record.host)) +
                     std::string(record.path, strnlen(record.path, sizeof record.path));
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') c = '_';
  if (name.size() > 200) name.resize(200);
  std::string folder = ctx->dataFolder.empty() ? std::string(".") : ctx->dataFolder;
  if (folder.back() != '/') folder += '/';
  return folder + "PAGES/" + name;
}

namespace {

// Keeps the body that arrived (the last Content-length bytes of the answer)
// in its data file.
void WriteDataFile(LinkAnalysisDataStruct* ctx, const PageRecord& record, const char* data, size_t size) {
  size_t body = record.contentLength > 0 && static_cast<size_t>(record.contentLength) <= size
                    ? static_cast<size_t>(record.contentLength)
                    : size;
  if (record.contentLength <= 0 || static_cast<size_t>(record.contentLength) > size) {
    size_t head = HeaderEnd(std::string_view(data, size));
    body = head == std::string_view::npos ? 0 : size - head;
  }
  const std::string file = ComputeSaveFilename(ctx, record);
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (out) out.write(data + size - body, static_cast<std::streamsize>(body));
  if (!out) ReportLinkError(ctx, "Couldn't write the data file " + file + ".");
}

}  // namespace

namespace {

int SendHttpRequestOnce(LinkAnalysisDataStruct* ctx, PageRecord* record, ThreadSlot* slot, int32_t mode) {
  record->socket = -1;
  slot->received = 0;
  slot->bodyStart = 0;
  slot->bodyCut = false;
  record->elapsedMs = 0;
  record->flags &= ~kFlagRedirected;
  if (mode == kModeHead) {
    record->flags |= kFlagHeadSent;
    ++ctx->headRequests;
  } else {
    record->flags |= kFlagGetSent;
    ++ctx->getRequests;
  }
  const char* method = mode == kModeGet || std::strchr(record->path, '?') ? "GET" : "HEAD";
  uint64_t start = NowMs();
  slot->requestDeadline = ctx->requestDeadline > 0 ? start + static_cast<uint64_t>(ctx->requestDeadline) * 1000u : 0;
  if (!OpenConnection(ctx, record, slot)) return 0;
  if (record->linkType != kLinkHttp && record->linkType != kLinkHttps) {
    CloseSocket(ctx, record, slot);
    record->flags |= kFlagBody;
    return 1;
  }
  if (ctx->searchMode == 1) {
    if (!ReadLocalFile(ctx, record, slot, std::strcmp(method, "GET") == 0)) return 0;
    ctx->bytesReceived += slot->received;
  } else if (!SendAndReceive(ctx, record, slot, method)) {
    return 0;
  } else if (slot->received == 0) {
    // The server closed without a word.
    Fail(ctx, record, slot, kStatusPremature);
    return 0;
  }
  record->elapsedMs = static_cast<int32_t>(std::min<uint64_t>(NowMs() - start, INT32_MAX));
  ParseHttpResponse(ctx, record, slot, slot->receive.data(), slot->received, method);
  CloseSocket(ctx, record, slot);
  // A web answer's body went to its data file while it arrived.
  if (ctx->searchMode == 1 && ctx->writeDataFiles && (record->flags & kFlagBody) && record->status == 200 &&
      !(record->flags & kFlagRedirected))
    WriteDataFile(ctx, *record, slot->receive.data(), slot->received);
  return 1;
}

}  // namespace

int SendHttpRequest(LinkAnalysisDataStruct* ctx, PageRecord* record, ThreadSlot* slot, int32_t mode) {
  if (!ctx || !record || !slot) return 0;
  // A failure says what failed: a GET that breaks off after the HEAD's 200
  // does not keep that 200.
  record->status = 0;
  int ok = 0;
  try {
    ok = SendHttpRequestOnce(ctx, record, slot, mode);
  } catch (const std::bad_alloc&) {
    Fail(ctx, record, slot, kStatusMemory);
  }
  slot->requestDeadline = 0;
  if (!ok && record->status == 0) record->status = kStatusReceive;
  return ok;
}

}  // namespace kvla
