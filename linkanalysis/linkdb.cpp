#include "linkanalysis/linkdb.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "linkanalysis/linkcontext.h"
#include "linkanalysis/linkurl.h"
#include "platform/sync/sync.h"

namespace kvla {

namespace {

void Put32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}
uint32_t Get32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// The int32 words of a record from offset 1280 on, in file order.
template <typename Rec, typename F>
void ForEachWord(Rec& r, F&& f) {
  f(r.index); f(r.inherited); f(r.flags); f(r.checkBits); f(r.reportClass); f(r.field1300); f(r.linkType);
  f(r.hash); f(r.contentLength); f(r.field1316); f(r.lastModified); f(r.firstRedirectStatus);
  f(r.redirectCount); f(r.originalPath); f(r.title); f(r.metaText); f(r.baseDir); f(r.userName);
  f(r.password); f(r.port); f(r.category); f(r.scannedBytes); f(r.elapsedMs); f(r.status);
  for (auto& w : r.fields1376) f(w);
  f(r.socket);
  for (auto& w : r.fields1404) f(w);
  f(r.linkText); f(r.field1416); f(r.timeoutStatus);
  f(r.refs.parentCount); f(r.refs.parentList); f(r.refs.parentOffset);
  f(r.refs.childCount); f(r.refs.childList); f(r.refs.childOffset);
}

std::string DbPath(const LinkAnalysisDataStruct* ctx, const char* name) {
  std::string p = ctx->dataFolder;
  if (!p.empty() && p.back() != '/') p += '/';
  return p + name;
}

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

bool ReadAt(int fd, void* buf, size_t size, int64_t offset) {
  char* p = static_cast<char*>(buf);
  while (size > 0) {
    ssize_t n = ::pread(fd, p, size, offset);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}
bool WriteAll(int fd, const void* buf, size_t size) {
  const char* p = static_cast<const char*>(buf);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}
bool WriteAt(int fd, const void* buf, size_t size, int64_t offset) {
  const char* p = static_cast<const char*>(buf);
  while (size > 0) {
    ssize_t n = ::pwrite(fd, p, size, offset);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

// Takes a named mutex of the context; outside a run, when the context holds
// no handle, the name is opened for the duration of the access.
class NamedLock {
 public:
  NamedLock(LinkAnalysisDataStruct* ctx, KvHandle handle, const char* name) {
    if (handle) {
      handle_ = handle;
      ok_ = LockMutex(ctx, handle) != 0;
    } else {
      temp_ = KvCreateMutex(name, 0, 0);
      handle_ = temp_;
      uint32_t r = temp_ ? KvWaitForSingleObject(temp_, KV_INFINITE) : KV_WAIT_FAILED;
      ok_ = r == KV_WAIT_OBJECT_0 || r == KV_WAIT_ABANDONED_0;
    }
  }
  ~NamedLock() {
    if (ok_) ReleaseLock(handle_);
    if (temp_) KvCloseHandle(temp_);
  }
  bool ok() const { return ok_; }

 private:
  KvHandle handle_ = 0;
  KvHandle temp_ = 0;
  bool ok_ = false;
};

// Reads one DYD entry: a length word (text plus NUL), then the bytes. The
// length must fit the caller's buffer and the stored text must end there.
bool ReadDynamic(int fd, int32_t offset, char* buffer) {
  if (offset < kHeaderSize) return false;
  unsigned char word[4];
  if (!ReadAt(fd, word, 4, offset)) return false;
  int32_t length = static_cast<int32_t>(Get32(word));
  if (length <= 0 || length > kMaxDynamicText) return false;
  if (!ReadAt(fd, buffer, static_cast<size_t>(length), static_cast<int64_t>(offset) + 4)) return false;
  buffer[length - 1] = 0;
  return true;
}

void CopyUrl(const PageRecord& rec, char* url, int32_t max) {
  if (!url || max <= 0) return;
  std::string text = RecordUrl(rec);
  size_t n = std::min(text.size(), static_cast<size_t>(max));
  std::memcpy(url, text.data(), n);
  url[n] = 0;
}

}  // namespace

const char* StatusText(int32_t status) {
  static const char* own[] = {
      "Domain name or IP resolution", "Invalid socket", "Unable to connect to the URL", "Transmit error",
      "Receive error", "Premature disconnect", "Memory allocation error", "Malformed e-Mail address detected",
      "Asynchronous select error", "Too many redirects", "HTML syntax -- no equals sign",
      "HTML syntax -- no leading double-quote", "HTML syntax -- no trailing double-quote",
      "HTML syntax -- unexpected character found", "HTML syntax -- unexpected end of data",
      "HTML syntax -- URL too long", "Aborted", "Timeout on disconnect", "Timeout on connect",
      "Timeout on transmit", "Timeout on domain name resolution"};
  if (status >= 50000 && status <= 50020) return own[status - 50000];
  switch (status) {
    case 100: return "Continue";
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Non-Authoritative Information";
    case 204: return "No Content";
    case 205: return "Reset Content";
    case 206: return "Partial Content";
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Moved Temporarily";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 305: return "Use Proxy";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Time-out";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Request Entity Too Large";
    case 414: return "Request-URI Too Large";
    case 415: return "Unsupported Media Type";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Time-out";
    case 505: return "HTTP Version not supported";
    default: return "";
  }
}

void EncodeRecord(const PageRecord& record, unsigned char out[kRecordSize]) {
  std::memcpy(out, record.host, sizeof record.host);
  std::memcpy(out + 256, record.path, sizeof record.path);
  unsigned char* p = out + 1280;
  ForEachWord(record, [&p](const auto& w) {
    Put32(p, static_cast<uint32_t>(w));
    p += 4;
  });
}

void DecodeRecord(const unsigned char in[kRecordSize], PageRecord* record) {
  std::memcpy(record->host, in, sizeof record->host);
  std::memcpy(record->path, in + 256, sizeof record->path);
  // A record from a file is not trusted to terminate its texts.
  record->host[sizeof record->host - 1] = 0;
  record->path[sizeof record->path - 1] = 0;
  const unsigned char* p = in + 1280;
  ForEachWord(*record, [&p](auto& w) {
    w = static_cast<std::remove_reference_t<decltype(w)>>(Get32(p));
    p += 4;
  });
}

void EncodeHeader(unsigned char out[kHeaderSize]) {
  std::memset(out, 0, kHeaderSize);
  std::memcpy(out, kHeaderText, sizeof kHeaderText);
  Put32(out + 256, kFormatVersion);
  Put32(out + 260, 0);
  Put32(out + 264, kContextSize);
  Put32(out + 268, kRecordSize);
  Put32(out + 272, kRefEntrySize);
}

bool HeaderIsCurrent(const unsigned char in[kHeaderSize]) {
  return Get32(in + 256) == static_cast<uint32_t>(kFormatVersion) && Get32(in + 260) == 0;
}

std::string RecordUrl(const PageRecord& record) {
  std::string path(record.path, strnlen(record.path, sizeof record.path));
  if (record.linkType != kLinkHttp && record.linkType != kLinkHttps) return path;
  std::string url = record.linkType == kLinkHttps ? "https://" : "http://";
  url.append(record.host, strnlen(record.host, sizeof record.host));
  if (record.port > 0 && record.port != 80) url += ":" + std::to_string(record.port);
  return url + path;
}

int AddReference(LinkAnalysisDataStruct* ctx, int32_t index, int32_t other, int32_t kind) {
  if (!ctx || index < 0 || kind < 0 || kind > 1) return 0;
  if (!LockMutex(ctx, ctx->inlistMutex)) return 0;
  int result = 0;
  if (static_cast<size_t>(index) < ctx->refs.size()) {
    auto& lists = ctx->refs[index];
    auto& list = kind == 0 ? lists.parents : lists.children;
    auto& at = kind == 0 ? lists.parentAt : lists.childAt;
    constexpr size_t kIndexedFrom = 16;  // shorter lists are searched
    try {
      RefEntry* found = nullptr;
      if (list.size() < kIndexedFrom) {
        auto it = std::find_if(list.begin(), list.end(), [other](const RefEntry& e) { return e.index == other; });
        if (it != list.end()) found = &*it;
      } else {
        if (at.empty())
          for (size_t i = 0; i < list.size(); ++i) at.emplace(list[i].index, static_cast<uint32_t>(i));
        auto it = at.find(other);
        if (it != at.end()) found = &list[it->second];
      }
      if (found) {
        ++found->links;
      } else {
        list.push_back(RefEntry{other, 1});
        if (!at.empty()) {
          at.emplace(other, static_cast<uint32_t>(list.size() - 1));
        } else if (list.size() >= kIndexedFrom) {
          // The list has just become long: index every entry, not only the
          // new one, or the earlier ones would be added again as new.
          for (size_t i = 0; i < list.size(); ++i) at.emplace(list[i].index, static_cast<uint32_t>(i));
        }
      }
      result = 1;
    } catch (const std::bad_alloc&) {
      at.clear();  // a part-built index is rebuilt on the next look-up
      ctx->outOfMemory = true;
    }
  }
  ReleaseLock(ctx->inlistMutex);
  return result;
}

int NewPageRecord(LinkAnalysisDataStruct* ctx, const PageRecord* parent, const char* host, const char* path,
                  int32_t flags, int32_t hash, int32_t linkType, int32_t redirectCount, int32_t presetStatus,
                  const char* linkText, int32_t checkBits, int32_t port, const char* user, const char* password,
                  int32_t tagKind) {
  if (!ctx || !parent || !host || !path) return 0;
  // Grow both arrays a block of 1000 records at a time.
  if (ctx->count + 1 > ctx->blocks * kBlockRecords) {
    // The arrays count in blocks; their room grows by half its size or more,
    // so that a large run does not copy every record again each 1000.
    const size_t need = static_cast<size_t>(ctx->blocks + 1) * kBlockRecords;
    auto room = [need](size_t capacity) { return capacity >= need ? capacity : std::max(need, capacity + capacity / 2); };
    try {
      ctx->records.reserve(room(ctx->records.capacity()));
    } catch (const std::bad_alloc&) {
      ctx->outOfMemory = true;
      return 0;
    }
    if (!LockMutex(ctx, ctx->inlistMutex)) return 0;
    bool grown = true;
    try {
      ctx->refs.reserve(room(ctx->refs.capacity()));
    } catch (const std::bad_alloc&) {
      grown = false;
    }
    ReleaseLock(ctx->inlistMutex);
    if (!grown) {
      ctx->outOfMemory = true;
      return 0;
    }
    ++ctx->blocks;
  }
  std::unordered_multimap<int32_t, int32_t>::iterator hashed;
  try {
    hashed = ctx->byHash.emplace(hash, ctx->count);
  } catch (const std::bad_alloc&) {
    ctx->outOfMemory = true;
    return 0;
  }
  if (!LockMutex(ctx, ctx->inlistMutex)) {
    ctx->byHash.erase(hashed);
    return 0;
  }
  ctx->refs.emplace_back();  // room reserved with the block
  ReleaseLock(ctx->inlistMutex);

  PageRecord& rec = ctx->records.emplace_back();
  std::memset(&rec, 0, sizeof rec);
  rec.index = ctx->count++;
  rec.socket = -1;
  rec.flags = flags | kFlagNew;
  std::strncpy(rec.host, host, sizeof rec.host - 1);
  if (presetStatus) {
    std::strncpy(rec.path, path, sizeof rec.path - 1);
  } else if (!EncodePath(path, rec.path, sizeof rec.path)) {
    rec.path[0] = 0;
    std::strncpy(rec.path, path, sizeof rec.path - 1);
    presetStatus = kStatusUrlTooLong;
  }
  rec.inherited = parent->inherited;
  rec.checkBits = checkBits;
  rec.hash = hash;
  rec.redirectCount = redirectCount;
  rec.category = CategoryFromPath(rec.path, ctx->categories);
  if ((tagKind == 1 || tagKind == 5 || tagKind == 8 || tagKind == 10) && rec.category == kCategoryHtml)
    rec.category = kCategoryGif;
  rec.port = port;
  SetText(ctx, &rec.userName, user);
  SetText(ctx, &rec.password, password);
  if (std::strchr(rec.path, '#')) presetStatus = 200;
  if (presetStatus) {
    rec.status = presetStatus;
    rec.flags |= kFlagTaken;
    std::string text = linkText ? std::string(linkText).substr(0, 255) : std::string();
    SetText(ctx, &rec.linkText, text.c_str());
    if (!text.empty() && rec.linkText == 0) {
      ctx->outOfMemory = true;
      return 0;
    }
  } else {
    rec.linkType = linkType;
  }
  int32_t newIndex = rec.index;
  // The start page is found on no record: it has no parent to refer to.
  if (parent->index < 0) return 1;
  return AddReference(ctx, newIndex, parent->index, 0) && AddReference(ctx, parent->index, newIndex, 1) ? 1 : 0;
}

int SaveLinkDatabase(LinkAnalysisDataStruct* ctx) {
  if (!ctx) return 0;
  // The workers have ended when the run is saved: the locks are taken without
  // regard to the stop flag, which ended them.
  auto take = [](KvHandle h) {
    if (!h) return true;
    uint32_t r = KvWaitForSingleObject(h, KV_INFINITE);
    return r == KV_WAIT_OBJECT_0 || r == KV_WAIT_ABANDONED_0;
  };
  if (!take(ctx->databaseMutex)) return 0;
  if (!take(ctx->inlistMutex)) {
    ReleaseLock(ctx->databaseMutex);
    return 0;
  }
  auto releaseBoth = [ctx] {
    ReleaseLock(ctx->inlistMutex);
    ReleaseLock(ctx->databaseMutex);
  };
  unsigned char header[kHeaderSize];
  EncodeHeader(header);
  Fd ref(::open(DbPath(ctx, "LINKANLZ.REF").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644));
  if (ref.fd < 0 || !WriteAll(ref.fd, header, kHeaderSize)) {
    ReportLinkError(ctx, "Couldn't create the reference list file.");
    releaseBoth();
    return 0;
  }
  Fd dyd(::open(DbPath(ctx, "LINKANLZ.DYD").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644));
  if (dyd.fd < 0 || !WriteAll(dyd.fd, header, kHeaderSize)) {
    ReportLinkError(ctx, "Couldn't create the dynamic data file.");
    releaseBoth();
    return 0;
  }
  std::FILE* dbg = nullptr;
  if (ctx->debugMode) {
    dbg = std::fopen(DbPath(ctx, "LINKANLZ.DBG").c_str(), "wb");
    if (!dbg) {
      ReportLinkError(ctx, "Couldn't create the debug data file.");
      releaseBoth();
      return 0;
    }
  }
  auto dbgLine = [&](const PageRecord& r, const char* indent) {
    if (!dbg) return;
    bool web = r.linkType == kLinkHttp || r.linkType == kLinkHttps;
    std::fprintf(dbg, "%s%d: %s%s%s\r\n", indent, r.index + 1, web ? r.host : "", r.path,
                 (r.flags & kFlagAnalysed) ? " (analysed)" : " (not analysed)");
  };
  bool ok = true;
  int64_t dydOffset = kHeaderSize;
  int64_t refOffset = kHeaderSize;
  for (int32_t i = 0; ok && i < ctx->count; ++i) {
    PageRecord& r = ctx->records[i];
    uint32_t* fields[] = {&r.baseDir, &r.linkText, &r.title, &r.metaText, &r.originalPath, &r.userName, &r.password};
    for (uint32_t* f : fields) {
      if (*f == 0) continue;
      std::string text = GetText(ctx, *f);
      FreeText(ctx, *f);
      *f = 0;
      if (text.size() + 1 > static_cast<size_t>(kMaxDynamicText) || dydOffset > INT32_MAX - 8 - kMaxDynamicText) {
        continue;  // cannot be read back; keep 0
      }
      unsigned char word[4];
      Put32(word, static_cast<uint32_t>(text.size() + 1));
      if (!WriteAll(dyd.fd, word, 4) || !WriteAll(dyd.fd, text.c_str(), text.size() + 1)) {
        ok = false;
        break;
      }
      *f = static_cast<uint32_t>(dydOffset);
      dydOffset += 4 + static_cast<int64_t>(text.size()) + 1;
    }
    if (!ok) break;
    dbgLine(r, "");
    auto& lists = ctx->refs[i];
    std::memset(&r.refs, 0, sizeof r.refs);
    const std::vector<RefEntry>* both[] = {&lists.parents, &lists.children};
    for (int kind = 0; kind < 2 && ok; ++kind) {
      const auto& list = *both[kind];
      if (kind == 0) {
        r.refs.parentCount = static_cast<int32_t>(list.size());
        r.refs.parentOffset = static_cast<int32_t>(refOffset);
      } else {
        r.refs.childCount = static_cast<int32_t>(list.size());
        r.refs.childOffset = static_cast<int32_t>(refOffset);
      }
      if (dbg) std::fputs(kind == 0 ? "    Parents\r\n" : "    Children\r\n", dbg);
      std::vector<unsigned char> bytes(list.size() * kRefEntrySize);
      for (size_t k = 0; k < list.size(); ++k) {
        Put32(&bytes[k * 8], static_cast<uint32_t>(list[k].index));
        Put32(&bytes[k * 8 + 4], static_cast<uint32_t>(list[k].links));
        if (dbg && list[k].index >= 0 && list[k].index < ctx->count) dbgLine(ctx->records[list[k].index], "    ");
      }
      if (!bytes.empty() && !WriteAll(ref.fd, bytes.data(), bytes.size())) ok = false;
      refOffset += static_cast<int64_t>(bytes.size());
    }
    if (dbg) std::fputs("\r\n", dbg);
  }
  if (dbg && std::fclose(dbg) != 0) ok = false;
  ctx->refs.clear();
  ctx->refs.shrink_to_fit();
  ReleaseLock(ctx->inlistMutex);
  if (ok) {
    Fd dat(::open(DbPath(ctx, "LINKANLZ.DAT").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644));
    std::vector<unsigned char> image;
    try {
      image.resize(kHeaderSize + static_cast<size_t>(ctx->count) * kRecordSize);
    } catch (const std::bad_alloc&) {
      ctx->outOfMemory = true;
      ok = false;
    }
    if (ok) {
      std::memcpy(image.data(), header, kHeaderSize);
      for (int32_t i = 0; i < ctx->count; ++i) {
        ctx->records[i].socket = -1;
        EncodeRecord(ctx->records[i], &image[kHeaderSize + static_cast<size_t>(i) * kRecordSize]);
      }
      ok = dat.fd >= 0 && WriteAll(dat.fd, image.data(), image.size());
    }
  }
  ctx->records.clear();
  ctx->records.shrink_to_fit();
  ctx->byHash.clear();
  ctx->redirectedFrom.clear();
  ctx->blocks = 0;
  ctx->running = false;
  ReleaseLock(ctx->databaseMutex);
  {
    std::lock_guard<std::mutex> lock(ctx->debugLogLock);
    if (ctx->debugLog) {
      std::fclose(ctx->debugLog);
      ctx->debugLog = nullptr;
    }
  }
  return ok ? 1 : 0;
}

int OpenLinkDatabase(LinkAnalysisDataStruct* ctx) {
  if (!ctx || ctx->running) return 0;
  Fd dat(::open(DbPath(ctx, "LINKANLZ.DAT").c_str(), O_RDONLY));
  if (dat.fd < 0) return 0;
  unsigned char header[kHeaderSize];
  struct stat st{};
  if (!ReadAt(dat.fd, header, kHeaderSize, 0) || !HeaderIsCurrent(header) || ::fstat(dat.fd, &st) != 0) return 0;
  int64_t records = (static_cast<int64_t>(st.st_size) - kHeaderSize) / kRecordSize;
  ctx->count = static_cast<int32_t>(std::min<int64_t>(records, INT32_MAX));
  return 1;
}

PageRecord* GetReportListItem(LinkAnalysisDataStruct* ctx, ReportList list, int32_t n, bool outside, char* url,
                              int32_t max, PageRecord* buffer) {
  if (url && max >= 0) url[0] = 0;
  if (!ctx || !buffer || n < 0) return nullptr;
  if (!LockMutex(ctx, ctx->databaseMutex)) return nullptr;
  PageRecord* found = nullptr;
  std::string text;
  int32_t seen = 0;
  for (int32_t i = 0; i < ctx->count && static_cast<size_t>(i) < ctx->records.size(); ++i) {
    const PageRecord& r = ctx->records[i];
    bool isOutside = (r.flags & kFlagOutside) != 0;
    bool match = false;
    switch (list) {
      case ReportList::kClass8: match = (r.reportClass & 0x8) && isOutside == outside; break;
      case ReportList::kClass20or8000: match = (r.reportClass & (0x20 | 0x8000)) && isOutside == outside; break;
      case ReportList::kClass10: match = (r.reportClass & 0x10) != 0; break;
      case ReportList::kClass80: match = (r.reportClass & 0x80) != 0; break;
      case ReportList::kClass400: match = (r.reportClass & 0x400) || (r.checkBits & 8); break;
    }
    if (!match || seen++ != n) continue;
    *buffer = r;
    found = buffer;
    text = RecordUrl(r);
    if (list == ReportList::kClass20or8000 && r.linkText) text = GetText(ctx, r.linkText);
    break;
  }
  ReleaseLock(ctx->databaseMutex);
  if (found && url && max > 0) {
    size_t k = std::min(text.size(), static_cast<size_t>(max));
    std::memcpy(url, text.data(), k);
    url[k] = 0;
  }
  return found;
}

PageRecord* GetReportListChild200(LinkAnalysisDataStruct* ctx, PageRecord* record, int32_t n, char* url,
                                  int32_t max, PageRecord* buffer) {
  if (url && max >= 0) url[0] = 0;
  if (!ctx || !record || !buffer || n < 0) return nullptr;
  int32_t count = 0;
  std::unique_ptr<RefEntry, decltype(&std::free)> list(KVLA_ReadReferenceList(ctx, record, 1, &count), &std::free);
  if (!list) return nullptr;
  int32_t seen = 0;
  for (int32_t k = 0; k < count; ++k) {
    if (!KVLA_ReadDatabaseItem(ctx, list.get()[k].index, buffer)) continue;
    if (!(buffer->reportClass & 0x200) || seen++ != n) continue;
    CopyUrl(*buffer, url, max);
    return buffer;
  }
  return nullptr;
}

}  // namespace kvla

using namespace kvla;

extern "C" int KVLA_CheckDatabaseVersion(LinkAnalysisDataStruct* ctx, int32_t version, int32_t flag) {
  if (!ctx || version != kFormatVersion || flag != 0) return 0;
  Fd dat(::open(DbPath(ctx, "LINKANLZ.DAT").c_str(), O_RDONLY));
  unsigned char header[kHeaderSize];
  if (dat.fd < 0 || !ReadAt(dat.fd, header, kHeaderSize, 0)) return 0;
  return HeaderIsCurrent(header) ? 1 : 0;
}

extern "C" PageRecord* KVLA_ReadDatabaseItem(LinkAnalysisDataStruct* ctx, int32_t index, PageRecord* buffer) {
  if (!ctx || !buffer || index < 0) return nullptr;
  NamedLock lock(ctx, ctx->databaseMutex, "DatabaseMutex");
  if (!lock.ok() || index >= ctx->count) return nullptr;
  if (ctx->running) {
    if (static_cast<size_t>(index) >= ctx->records.size()) return nullptr;
    *buffer = ctx->records[index];
    return buffer;
  }
  Fd dat(::open(DbPath(ctx, "LINKANLZ.DAT").c_str(), O_RDONLY));
  unsigned char bytes[kRecordSize];
  if (dat.fd < 0 || !ReadAt(dat.fd, bytes, kRecordSize, kHeaderSize + static_cast<int64_t>(index) * kRecordSize))
    return nullptr;
  DecodeRecord(bytes, buffer);
  return buffer;
}

extern "C" int KVLA_WriteDatabaseItem(LinkAnalysisDataStruct* ctx, int32_t index, const PageRecord* data) {
  if (!ctx || !data || index < 0) return 0;
  NamedLock lock(ctx, ctx->databaseMutex, "DatabaseMutex");
  if (!lock.ok() || index >= ctx->count) return 0;
  if (ctx->running) {
    if (static_cast<size_t>(index) >= ctx->records.size()) return 0;
    ctx->records[index] = *data;
    return 1;
  }
  Fd dat(::open(DbPath(ctx, "LINKANLZ.DAT").c_str(), O_RDWR));
  unsigned char bytes[kRecordSize];
  EncodeRecord(*data, bytes);
  return dat.fd >= 0 && WriteAt(dat.fd, bytes, kRecordSize, kHeaderSize + static_cast<int64_t>(index) * kRecordSize)
             ? 1
             : 0;
}

extern "C" RefEntry* KVLA_ReadReferenceList(LinkAnalysisDataStruct* ctx, PageRecord* record, int32_t kind,
                                            int32_t* count) {
  if (count) *count = 0;
  if (!ctx || !record || !count || kind < 0 || kind > 1) return nullptr;
  NamedLock lock(ctx, ctx->inlistMutex, "InlistMutex");
  if (!lock.ok()) return nullptr;
  std::vector<RefEntry> entries;
  if (ctx->running) {
    if (record->index < 0 || static_cast<size_t>(record->index) >= ctx->refs.size()) return nullptr;
    const auto& lists = ctx->refs[record->index];
    entries = kind == 0 ? lists.parents : lists.children;
  } else {
    int32_t n = kind == 0 ? record->refs.parentCount : record->refs.childCount;
    int32_t offset = kind == 0 ? record->refs.parentOffset : record->refs.childOffset;
    if (n <= 0) return nullptr;
    Fd ref(::open(DbPath(ctx, "LINKANLZ.REF").c_str(), O_RDONLY));
    if (ref.fd < 0) {
      ReportLinkError(ctx, "Couldn't locate the reference list file.");
      return nullptr;
    }
    struct stat st{};
    // The count and offset come from a file: the list must lie inside the file.
    if (offset < kHeaderSize || ::fstat(ref.fd, &st) != 0 ||
        static_cast<int64_t>(offset) + static_cast<int64_t>(n) * kRefEntrySize > static_cast<int64_t>(st.st_size))
      return nullptr;
    std::vector<unsigned char> bytes(static_cast<size_t>(n) * kRefEntrySize);
    if (!ReadAt(ref.fd, bytes.data(), bytes.size(), offset)) return nullptr;
    entries.resize(static_cast<size_t>(n));
    for (int32_t k = 0; k < n; ++k) {
      entries[k].index = static_cast<int32_t>(Get32(&bytes[k * 8]));
      entries[k].links = static_cast<int32_t>(Get32(&bytes[k * 8 + 4]));
    }
  }
  if (entries.empty()) return nullptr;
  auto* out = static_cast<RefEntry*>(std::malloc(entries.size() * sizeof(RefEntry)));
  if (!out) return nullptr;
  std::memcpy(out, entries.data(), entries.size() * sizeof(RefEntry));
  *count = static_cast<int32_t>(entries.size());
  return out;
}

extern "C" PageRecord* KVLA_GetPageParent(LinkAnalysisDataStruct* ctx, PageRecord* record, char* url, int32_t n,
                                          int32_t max, PageRecord* buffer) {
  if (url) url[0] = 0;
  if (!ctx || !record || !buffer) return nullptr;
  int32_t count = 0;
  RefEntry* list = KVLA_ReadReferenceList(ctx, record, 0, &count);
  PageRecord* result = nullptr;
  if (list && n >= 0 && n < count) {
    result = KVLA_ReadDatabaseItem(ctx, list[n].index, buffer);
    if (result) CopyUrl(*result, url, max);
  }
  std::free(list);
  return result;
}

extern "C" PageRecord* KVLA_GetPageChild(LinkAnalysisDataStruct* ctx, PageRecord* record, char* url, int32_t n,
                                         int32_t status, int32_t max, PageRecord* buffer) {
  if (url) url[0] = 0;
  if (!ctx || !record || !buffer || n < 0) return nullptr;
  int32_t count = 0;
  RefEntry* list = KVLA_ReadReferenceList(ctx, record, 1, &count);
  PageRecord* result = nullptr;
  int32_t seen = 0;
  for (int32_t k = 0; list && k < count; ++k) {
    if (!KVLA_ReadDatabaseItem(ctx, list[k].index, buffer)) continue;
    if (status != -1 && buffer->status != status) continue;
    if (seen++ == n) {
      CopyUrl(*buffer, url, max);
      result = buffer;
      break;
    }
  }
  std::free(list);
  return result;
}

extern "C" void KVLA_GetPageTitle(LinkAnalysisDataStruct* ctx, PageRecord* record, char* out) {
  if (!out) return;
  if (!record || !(record->flags & kFlagAnalysed)) {
    std::strcpy(out, "This page not yet analyzed...");
    return;
  }
  if (!ctx || record->title == 0 || !KVLA_GetDynamicData(ctx, static_cast<int32_t>(record->title), out))
    std::strcpy(out, "Missing title...");
}

extern "C" int KVLA_GetDynamicData(LinkAnalysisDataStruct* ctx, int32_t offset, char* buffer) {
  if (!ctx || !buffer || offset == 0) return 0;
  Fd dyd(::open(DbPath(ctx, "LINKANLZ.DYD").c_str(), O_RDONLY));
  if (dyd.fd < 0) {
    ReportLinkError(ctx, "Couldn't locate the dynamic data file.");
    return 0;
  }
  return ReadDynamic(dyd.fd, offset, buffer) ? 1 : 0;
}
