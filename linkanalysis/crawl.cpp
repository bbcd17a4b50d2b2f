#include "linkanalysis/crawl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "linkanalysis/crawlhttp.h"
#include "linkanalysis/linkurl.h"
#include "linkanalysis/profiles_files.h"
#include "platform/base/ini.h"
#include "platform/base/lasterror.h"
#include "platform/sync/sync.h"
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"

namespace kvla {

const TagRow kTagTable[kTagRows] = {
    {"<!--", "-->", nullptr, 3, false},
    {"<COMMENT", "</COMMENT", nullptr, 3, false},
    {"<APPLET", "</APPLET", nullptr, 4, false},
    {"<SCRIPT", "</SCRIPT", nullptr, 4, false},
    {"HREF", "</A", nullptr, 0, false},
    {"IMG ", " SRC", "/IMG", 1, true},
    {"FRAME ", " SRC", ">", 2, true},
    {"BODY ", " BACKGROUND", ">", 5, true},
    {"AREA ", " HREF", ">", 6, true},
    {"FORM ", " ACTION", ">", 7, true},
    {"INPUT ", " SRC", ">", 8, true},
    {"META ", " URL", ">", 9, true},
    {"TABLE ", " BACKGROUND", ">", 10, true},
    {"EMBED ", " SRC", ">", 11, true},
};

namespace {

// The number of error pseudo-URLs made in this process (names them apart).
std::atomic<int32_t> g_errorUrls{0};

constexpr size_t npos = std::string::npos;

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Reads the quoted URL of an attribute: optional name, '=', '"', text, '"'.
// 0 with the URL, or an own status of the syntax fault.
int32_t ReadAttributeUrl(std::string_view text, int32_t kind, std::string* url) {
  size_t p = 0;
  while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\r' || text[p] == '\n')) ++p;
  while (p < text.size() && std::isalpha(static_cast<unsigned char>(text[p]))) ++p;
  while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p]))) ++p;
  if (p >= text.size()) return kStatusUnexpectedEnd;
  if (text[p] != '=') return kStatusNoEquals;
  ++p;
  while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p]))) ++p;
  if (p >= text.size()) return kStatusUnexpectedEnd;
  if (text[p] != '"') {
    // A refresh names its target inside the CONTENT attribute's quotes.
    if (kind != 9) return kStatusNoLeadingQuote;
    size_t end = text.find_first_of("\"'> \t\r\n", p);
    if (end == npos) return kStatusUnexpectedEnd;
    *url = std::string(text.substr(p, end - p));
    return url->size() >= 1024 ? kStatusUrlTooLong : 0;
  }
  ++p;
  size_t end = text.find_first_of("\"<>", p);
  if (end == npos) return kStatusUnexpectedEnd;
  if (text[end] != '"') return kStatusNoTrailingQuote;
  *url = std::string(text.substr(p, end - p));
  if (url->size() >= 1024) return kStatusUrlTooLong;
  return 0;
}

// Decodes the character references of an attribute value ("&amp;",
// "&#38;", "&#x26;" and the other markup characters); an unknown or
// unterminated reference stays as written.
std::string DecodeEntities(std::string_view in) {
  if (in.find('&') == npos) return std::string(in);
  static const std::pair<std::string_view, char> named[] = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '&') {
      out += in[i];
      continue;
    }
    size_t semi = in.find(';', i + 1);
    if (semi == npos || semi - i > 10) {
      out += in[i];
      continue;
    }
    std::string_view name = in.substr(i + 1, semi - i - 1);
    int64_t code = -1;
    if (name.size() >= 2 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      std::string_view digits = name.substr(hex ? 2 : 1);
      if (!digits.empty() && digits.size() <= 6 &&
          std::all_of(digits.begin(), digits.end(), [hex](char c) {
            return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : (c >= '0' && c <= '9');
          }))
        code = std::strtol(std::string(digits).c_str(), nullptr, hex ? 16 : 10);
    } else {
      for (const auto& [n, c] : named)
        if (EqualNoCase(name, n)) code = static_cast<unsigned char>(c);
    }
    if (code <= 0 || code > 0x7F) {  // only plain ASCII is decoded here
      out += in[i];
      continue;
    }
    out += static_cast<char>(code);
    i = semi;
  }
  return out;
}

// Whether a link names a scheme this crawler does not request
// ("javascript:", "tel:", "data:"...): such a link is recorded as written,
// never resolved against the page.
bool HasForeignScheme(std::string_view link) {
  size_t colon = link.find(':');
  if (colon == npos || colon < 2) return false;  // "c:" is no scheme worth naming
  if (!std::isalpha(static_cast<unsigned char>(link[0]))) return false;
  for (size_t i = 1; i < colon; ++i) {
    char c = link[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// The default port of a web link type.
int32_t DefaultPort(int32_t linkType) { return linkType == kLinkHttps ? 443 : 80; }

// Finds one token again and again while the scan moves forward: a search
// that starts at or behind the last answer, and not before the last start,
// has that answer, so a row costs one pass over the page however far apart
// its tokens lie.
class ForwardFinder {
 public:
  ForwardFinder(const std::string& text, std::string_view token) : text_(text), token_(token) {}
  size_t Next(size_t from) {
    if (searched_ && from >= from_ && (found_ == npos || from <= found_)) return found_;
    searched_ = true;
    from_ = from;
    found_ = text_.find(token_, from);
    return found_;
  }

 private:
  const std::string& text_;
  std::string_view token_;
  bool searched_ = false;
  size_t from_ = 0;
  size_t found_ = npos;
};

// The last '<' and '>' at or before a position that only moves forward.
struct BracketsBehind {
  size_t upTo = 0;  // characters before it have been looked at
  size_t lt = npos, gt = npos;
  void Advance(const std::string& text, size_t to) {
    for (; upTo < to && upTo < text.size(); ++upTo) {
      if (text[upTo] == '<') lt = upTo;
      else if (text[upTo] == '>') gt = upTo;
    }
  }
};

// The skip ranges, sorted and merged when asked after a change.
class SkipRanges {
 public:
  void Add(size_t from, size_t to) {
    ranges_.emplace_back(from, to);
    sorted_ = false;
  }
  bool Contains(size_t pos) {
    if (!sorted_) {
      std::sort(ranges_.begin(), ranges_.end());
      std::vector<std::pair<size_t, size_t>> merged;
      for (const auto& r : ranges_) {
        if (r.first >= r.second) continue;
        if (!merged.empty() && r.first <= merged.back().second)
          merged.back().second = std::max(merged.back().second, r.second);
        else
          merged.push_back(r);
      }
      ranges_.swap(merged);
      sorted_ = true;
    }
    auto it = std::upper_bound(ranges_.begin(), ranges_.end(), pos,
                               [](size_t p, const std::pair<size_t, size_t>& r) { return p < r.first; });
    return it != ranges_.begin() && pos < std::prev(it)->second;
  }

 private:
  std::vector<std::pair<size_t, size_t>> ranges_;
  bool sorted_ = true;
};

// Whether a tag's text holds "NAME" followed (after blanks) by '='.
bool HasAttribute(std::string_view tag, const char* name) {
  const size_t len = std::strlen(name);
  for (size_t p = tag.find(name); p != npos; p = tag.find(name, p + 1)) {
    size_t q = p + len;
    while (q < tag.size() && tag[q] == ' ') ++q;
    if (q < tag.size() && tag[q] == '=') return true;
  }
  return false;
}

void ShowSystemError(LinkAnalysisDataStruct* ctx) {
  if (ctx->unattended) {
    ReportLinkError(ctx, "Couldn't create a worker thread.");
    return;
  }
  char text[128];
  std::snprintf(text, sizeof text, "The system could not create a thread (error %u).", kv::GetLastError());
  kv::ui::MessageBox(ctx->ownerWindow, text, "Vodo Darevudo", kv::ui::MbOk | kv::ui::MbIconError);
}

bool Requested(const LinkAnalysisDataStruct* ctx, const PageRecord& rec) {
  switch (rec.linkType) {
    case kLinkHttp:
    case kLinkHttps:
      // The file-type rule: the profile may leave out whole categories.
      return rec.category < 0 || rec.category >= kCategoryCount ||
             !(ctx->excludedCategories & (1u << static_cast<uint32_t>(rec.category)));
    case kLinkFtp:
    case kLinkMailto:
    case kLinkGopher:
    case kLinkNews:
      return true;
    default:
      return false;
  }
}

// The extension lists of the content categories from LINKANLZ.INI
// [FileTypes] "Category1" ... "Category14"; a category the file does not
// name keeps its shipped list.
bool LoadCategoryLists(LinkAnalysisDataStruct* ctx) {
  const std::string file = ctx->settingsFile.empty() ? ProfileFolder() + "LINKANLZ.INI" : ctx->settingsFile;
  try {
    CategoryLists lists = DefaultCategoryLists();
    for (int32_t c = 1; c < kCategoryCount; ++c) {
      const std::string key = "Category" + std::to_string(c);
      const std::string text = kv::IniString("FileTypes", key.c_str(), "\x01", file.c_str());
      if (text != "\x01") lists.extensions[c] = SplitExtensionList(text);
    }
    ctx->categories = std::move(lists);
  } catch (const std::bad_alloc&) {
    ctx->outOfMemory = true;
    return false;
  }
  return true;
}

bool IsWeb(const PageRecord& rec) { return rec.linkType == kLinkHttp || rec.linkType == kLinkHttps; }

// Two records name one URL when scheme, host (in any case), port (the
// default one given or not) and path agree.
bool SameUrl(const PageRecord& r, int32_t linkType, std::string_view host, int32_t port, const char* path) {
  // A link to a fragment is recorded without its link type (it is never
  // requested): its host and path name it.
  const bool fragment = r.linkType == 0 && std::strchr(r.path, '#') != nullptr;
  if (!fragment && r.linkType != linkType) return false;
  if (!EqualNoCase(r.host, host) || std::strcmp(r.path, path) != 0) return false;
  if (linkType != kLinkHttp && linkType != kLinkHttps) return true;
  return (r.port > 0 ? r.port : DefaultPort(linkType)) == (port > 0 ? port : DefaultPort(linkType));
}

}  // namespace

std::string UrlKey(int32_t linkType, std::string_view host, int32_t port, std::string_view path) {
  std::string key = std::to_string(linkType) + "|";
  for (char c : host) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool web = linkType == kLinkHttp || linkType == kLinkHttps;
  key += "|" + std::to_string(web ? (port > 0 ? port : DefaultPort(linkType)) : 0) + "|";
  key += path;
  return key;
}

std::string UrlKey(const PageRecord& record) {
  return UrlKey(record.linkType, std::string_view(record.host, strnlen(record.host, sizeof record.host)),
                record.port, std::string_view(record.path, strnlen(record.path, sizeof record.path)));
}

void RememberRedirectedUrl(LinkAnalysisDataStruct* ctx, const std::string& original, const PageRecord& record) {
  if (!ctx || original == UrlKey(record)) return;
  if (!LockMutex(ctx, ctx->databaseMutex)) return;
  try {
    ctx->redirectedFrom.emplace(original, record.index);
  } catch (const std::bad_alloc&) {
    ctx->outOfMemory = true;
  }
  ReleaseLock(ctx->databaseMutex);
}

bool RegisterLedClass() {
  if (kv::ui::IsWindowClassRegistered(kLedClass)) return true;
  return kv::ui::RegisterWindowClass(kLedClass, &LedWindowProc, 1);
}

void UnregisterLedClass() { kv::ui::UnregisterWindowClass(kLedClass); }

namespace {
std::atomic<bool> g_attachFailed{false};
}  // namespace

bool AttachLinkAnalysis() {
  if (kv::ui::RegisterWindowClass(kLedClass, &LedWindowProc, 1)) {
    g_attachFailed = false;
    return true;
  }
  g_attachFailed = true;
  kv::ui::MessageBox(0, "Unable to register LED window class.", "Vodo Darevudo", kv::ui::MbOk | kv::ui::MbIconError);
  return false;
}

bool AttachFailed() { return g_attachFailed.load(); }

void DetachLinkAnalysis() { UnregisterLedClass(); }

int CreateWorkerThread(uint32_t (*procedure)(void*), LinkAnalysisDataStruct* ctx, int32_t index) {
  if (!ctx || index < 0 || index >= kMaxThreads) return 0;
  ThreadSlot& slot = ctx->slots[index];
  uint32_t id = 0;
  slot.thread = KvCreateThread(procedure, &slot, 0x10000, &id);
  slot.threadId = id;
  if (!slot.thread) {
    ShowSystemError(ctx);
    return 0;
  }
  return 1;
}

int32_t TakeNextInlistUrl(LinkAnalysisDataStruct* ctx, ThreadSlot* slot, PageRecord* out) {
  for (;;) {
    if (!LockMutex(ctx, ctx->databaseMutex)) return -1;
    int32_t found = -1;
    int32_t i = ctx->firstUntaken;
    for (; i < ctx->count; ++i) {
      if (!(ctx->records[i].flags & kFlagTaken)) {
        found = i;
        break;
      }
    }
    ctx->firstUntaken = found < 0 ? ctx->count : found;
    if (found >= 0) {
      ctx->records[found].flags |= kFlagTaken;
      *out = ctx->records[found];
      slot->state |= kSlotHoldsRecord;
    }
    // Read under the array lock: a record added after this look is counted
    // after it too.
    const uint64_t seen = ctx->workGeneration.load();
    ReleaseLock(ctx->databaseMutex);
    if (found >= 0) return found;
    // Nothing to take: sleep until a record is added or the run stops, and
    // pump now and then for the slot's window.
    {
      std::unique_lock<std::mutex> lock(ctx->workLock);
      ctx->workReady.wait_for(lock, std::chrono::milliseconds(100),
                              [ctx, seen] { return ctx->workGeneration.load() != seen || ctx->stop.load(); });
    }
    if (!PumpMessages(ctx)) return -1;
  }
}

int AddFoundLink(LinkAnalysisDataStruct* ctx, const PageRecord* parent, const char* text, size_t size,
                 int32_t checkBits, int32_t kind) {
  if (!ctx || !parent || (!text && size)) return 0;
  std::string_view attr(text ? text : "", std::min<size_t>(size, 4096));
  std::string link;
  int32_t preset = ReadAttributeUrl(attr, kind, &link);
  std::string host, path, user, password;
  int32_t linkType = 0, port = 0, flags = 0;
  std::string linkText;
  if (preset) {
    // A syntax fault becomes a record of its own, named apart by a number.
    host = parent->host;
    path = "ERROR" + std::to_string(++g_errorUrls);
    linkText = std::string(attr.substr(0, std::min<size_t>(attr.find('>') == npos ? attr.size() : attr.find('>') + 1, 255)));
  } else {
    link = DecodeEntities(link);
    while (!link.empty() && std::isspace(static_cast<unsigned char>(link.back()))) link.pop_back();
    while (!link.empty() && std::isspace(static_cast<unsigned char>(link.front()))) link.erase(link.begin());
    if (link.empty()) return 1;
    linkText = link;
    std::replace(linkText.begin(), linkText.end(), '\0', ' ');
    UrlParts parts = SplitUrl(NetworkPathUrl(link, IsWeb(*parent) ? parent->linkType : kLinkHttp));
    const bool foreign = parts.linkType == 0 && HasForeignScheme(link);
    if (foreign) {
      // Recorded as written and never requested.
      parts.path = link;
    } else if (parts.linkType == 0) {
      std::string base = parent->baseDir ? GetText(ctx, parent->baseDir) : std::string();
      UrlParts baseParts = SplitUrl(base);
      if (baseParts.linkType == kLinkHttp || baseParts.linkType == kLinkHttps) {
        parts.linkType = baseParts.linkType;
        parts.host = baseParts.host;
        parts.port = baseParts.port;
        parts.path = ResolveRelative(baseParts.path, link);
      } else {
        parts.linkType = IsWeb(*parent) ? parent->linkType : kLinkHttp;
        parts.host = parent->host;
        parts.port = parent->port;
        parts.path = ResolveRelative(parent->path, link);
      }
    }
    linkType = parts.linkType;
    host = parts.host;
    port = parts.port;
    path = parts.path;
    user = parts.user;
    password = parts.password;
    if (port < 0) {
      preset = kStatusConnect;  // a port above 65535 names no server
      port = 0;
    }
    if (host.size() >= 256) {
      preset = kStatusUrlTooLong;
      host.clear();
    }
    bool web = linkType == kLinkHttp || linkType == kLinkHttps;
    bool outside = IsOutsideLink(ctx, linkType, host, port);
    if (outside) {
      flags |= kFlagOutside;
      if (!ctx->outsideLinks) flags |= kFlagTaken;
    } else if (web && ctx->stayBelow) {
      std::string below = ctx->startPage.substr(0, ctx->startPage.rfind('/') + 1);
      if (below.empty()) below = "/";
      if (path.compare(0, below.size(), below) != 0) flags |= kFlagTaken;
    }
  }
  // The path as stored: escaped, so that "a b.html" and "a%20b.html" (and a
  // NUL inside a link) name one record and hash alike.
  char encoded[1024];
  bool fits = preset ? path.size() < sizeof encoded : EncodePath(path, encoded, sizeof encoded);
  if (preset && fits) std::strcpy(encoded, path.c_str());
  const std::string stored = fits ? std::string(encoded) : path;
  int32_t hash = HashUrl(host, stored);
  std::string key;
  if (fits && !preset) key = UrlKey(linkType, host, port, stored);
  if (!LockMutex(ctx, ctx->databaseMutex)) return 0;
  int result = 1;
  int32_t duplicate = -1;
  // Whether a new record for the link would be requested (a fragment's
  // record is answered from its page).
  const bool requestable = fits && !preset && !(flags & kFlagTaken) && stored.find('#') == npos;
  if (fits && !preset) {
    auto [first, last] = ctx->byHash.equal_range(hash);
    for (auto it = first; it != last; ++it) {
      const PageRecord& r = ctx->records[it->second];
      if (SameUrl(r, linkType, host, port, encoded)) {
        duplicate = it->second;
        break;
      }
    }
    // A record that was redirected still stands for the URL it was found as.
    if (duplicate < 0 && !ctx->redirectedFrom.empty()) {
      auto it = ctx->redirectedFrom.find(key);
      if (it != ctx->redirectedFrom.end()) duplicate = it->second;
    }
  }
  ++ctx->linksFound;
  if (duplicate >= 0) {
    // A record that keeps its link's text (one never requested) keeps the
    // least of the texts it is found by, whichever page is scanned first.
    PageRecord& known = ctx->records[static_cast<size_t>(duplicate)];
    // An image found without ALT (WIDTH, HEIGHT) on any page says so, in
    // whatever order the pages were scanned.
    known.checkBits |= checkBits;
    if (known.linkText && !linkText.empty()) {
      const std::string text = linkText.substr(0, 255);
      if (text < GetText(ctx, known.linkText)) SetText(ctx, &known.linkText, text.c_str());
    }
    if (parent->index >= 0)
      result = AddReference(ctx, duplicate, parent->index, 0) && AddReference(ctx, parent->index, duplicate, 1);
  } else if (requestable && ctx->maxRecords > 0 && ctx->requestableCount >= ctx->maxRecords) {
    // The crawl holds as many records to request as the profile allows: the
    // link is counted, not recorded.
    if (!ctx->recordLimitReached.exchange(true))
      ReportLinkError(ctx, "The crawl reached its limit of " + std::to_string(ctx->maxRecords) +
                               " records; further links were not followed.");
  } else {
    if ((flags & kFlagOutside) && !(flags & kFlagTaken)) ++ctx->outsideTaken;
    const int32_t before = ctx->count;
    result = NewPageRecord(ctx, parent, host.c_str(), stored.c_str(), flags, hash, linkType, 0, preset,
                           linkText.c_str(), checkBits, port, user.c_str(), password.c_str(), kind);
    if (ctx->count > before && requestable) ++ctx->requestableCount;
    if (ctx->count > before && !(ctx->records[static_cast<size_t>(before)].flags & kFlagTaken)) {
      {
        std::lock_guard<std::mutex> lock(ctx->workLock);
        ++ctx->workGeneration;
      }
      ctx->workReady.notify_one();
    }
  }
  ReleaseLock(ctx->databaseMutex);
  return result;
}

namespace {
int ScanPageBounded(LinkAnalysisDataStruct* ctx, ThreadSlot* slot, const PageRecord* record, const char* data,
                    size_t size);
}  // namespace

int ScanPage(LinkAnalysisDataStruct* ctx, ThreadSlot* slot, const PageRecord* record, const char* data,
             size_t size) {
  try {
    return ScanPageBounded(ctx, slot, record, data, std::min<size_t>(size, kMaxScanBytes));
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

namespace {

int ScanPageBounded(LinkAnalysisDataStruct* ctx, ThreadSlot* slot, const PageRecord* record, const char* data,
                    size_t size) {
  if (!data || size == 0) return 1;
  std::string upper(data, size);
  for (char& c : upper) c = c == 0 ? ' ' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  SkipRanges skips;
  for (const TagRow& row : kTagTable) {
    if (ctx && ctx->stop.load()) return 0;
    const size_t firstLen = std::strlen(row.first);
    ForwardFinder first(upper, row.first), second(upper, row.second);
    ForwardFinder third(upper, row.third ? row.third : ">");
    ForwardFinder ltAfterFirst(upper, "<"), ltAfterSecond(upper, "<"), gtAfterSecond(upper, ">");
    BracketsBehind behind;
    // The attribute bits of the last tag looked at (several first tokens may
    // lie in one tag).
    size_t bitsTagStart = npos, bitsTagEnd = npos;
    int32_t tagBits = 0;
    size_t pos = 0;
    uint32_t matches = 0;
    while (pos < size) {
      if (slot) slot->ledState = slot->ledState % 6 + 1;
      if ((++matches & 0xFFF) == 0 && ctx && ctx->stop.load()) return 0;
      size_t at = first.Next(pos);
      if (at == npos) break;
      pos = at + firstLen;
      if (row.first[0] == '<' && std::isalpha(static_cast<unsigned char>(row.first[firstLen - 1]))) {
        // A tag name ends there: "<SCRIPT>" and "<SCRIPT src" open a block,
        // "<SCRIPTS" does not.
        const char next = pos < size ? upper[pos] : 'X';
        if (!(next == ' ' || next == '\t' || next == '\r' || next == '\n' || next == '\f' || next == '>' ||
              next == '/'))
          continue;
      }
      behind.Advance(upper, at + 1);
      if (row.first[0] != '<') {
        if (behind.lt == npos || (behind.gt != npos && behind.gt > behind.lt)) continue;  // not inside a tag
      }
      // The second token may share the first one's closing blank ("IMG " and " SRC").
      size_t sec = second.Next(at + 1);
      if (sec == npos) break;  // nor behind any later first token
      size_t nextLt = ltAfterSecond.Next(sec + 1);
      size_t nextGt = gtAfterSecond.Next(sec);
      if (nextGt == npos || (nextLt != npos && nextLt < nextGt)) continue;
      if (row.sameTag) {
        size_t tagLt = ltAfterFirst.Next(pos);
        if (tagLt != npos && tagLt < sec) continue;
      }
      if (row.kind == 3 || row.kind == 4) {
        skips.Add(pos, sec);
        continue;
      }
      if (skips.Contains(at)) continue;
      size_t linkStart = row.sameTag ? sec : pos;
      int32_t bits = 0;
      if (row.kind == 1 || row.kind == 5 || row.kind == 8 || row.kind == 10) {
        // The tag ends at its closing '>' (or at the third token when that
        // comes first).
        size_t tagStart = behind.lt;
        size_t tagEnd = nextGt;
        if (row.third) {
          size_t t = third.Next(sec);
          if (t != npos && t < tagEnd) tagEnd = t;
        }
        if (tagStart != bitsTagStart || tagEnd != bitsTagEnd) {
          bitsTagStart = tagStart;
          bitsTagEnd = tagEnd;
          std::string_view tag = tagStart == npos ? std::string_view() : std::string_view(upper).substr(tagStart, tagEnd - tagStart);
          tagBits = (HasAttribute(tag, "ALT") ? 0 : 1) | (HasAttribute(tag, "WIDTH") ? 0 : 2) |
                    (HasAttribute(tag, "HEIGHT") ? 0 : 4);
        }
        bits = tagBits;
      }
      if (!AddFoundLink(ctx, record, data + linkStart, size - linkStart, bits, row.kind)) return 0;
    }
  }
  return 1;
}

}  // namespace

namespace {

// Writes a worker's record back into the array, keeping the check bits that
// links found meanwhile added to it.
int WriteBack(LinkAnalysisDataStruct* ctx, int32_t index, PageRecord* rec) {
  if (!LockMutex(ctx, ctx->databaseMutex)) return 0;
  const bool ok = index >= 0 && index < ctx->count && static_cast<size_t>(index) < ctx->records.size();
  if (ok) {
    rec->checkBits |= ctx->records[static_cast<size_t>(index)].checkBits;
    ctx->records[static_cast<size_t>(index)] = *rec;
  }
  ReleaseLock(ctx->databaseMutex);
  return ok ? 1 : 0;
}

}  // namespace

uint32_t LinkWorkerThread(void* argument) {
  auto* slot = static_cast<ThreadSlot*>(argument);
  LinkAnalysisDataStruct* ctx = slot->ctx;
  slot->state |= kSlotRunning;
  if (!slot->led) {
    slot->led = kv::ui::CreateWindow(kLedClass, "", 0, 0, reinterpret_cast<intptr_t>(slot));
    slot->ownsLed = slot->led != 0;
  }
  PageRecord rec;
  std::memset(&rec, 0, sizeof rec);
  int32_t index = -1;
  while (PumpMessages(ctx)) {
    slot->record = &rec;
    slot->hostShown.clear();
    slot->pathShown.clear();
    slot->ledState = 1;
    index = TakeNextInlistUrl(ctx, slot, &rec);
    if (index < 0) break;
    slot->hostShown = rec.host;
    slot->pathShown = rec.path;
    slot->flagsShown = rec.flags;
    slot->linkTypeShown = rec.linkType;

    const std::string foundAs = UrlKey(rec);
    int ok = 0;
    int scanned = 1;
    try {
      if (Requested(ctx, rec)) {
        do {
          ok = SendHttpRequest(ctx, &rec, slot, kModeHead);
        } while (ok && (rec.flags & kFlagRedirected) && IsWeb(rec));
        ++ctx->requestsMade;
        if (rec.status == 404) ++ctx->pages404;
        // A redirect chain cut off at RedirectCutoff ends without a further request.
        bool wantGet = ok && !(rec.flags & kFlagBody) && IsWeb(rec) && rec.redirectCount < ctx->redirectCutoff &&
                       (rec.status == 200 || rec.status == 405 || rec.status == 500 ||
                        (rec.status == 204 && !(rec.flags & kFlagOutside)));
        if (wantGet && rec.category >= 2 && rec.category <= 14 && !ctx->downloadEverything) wantGet = false;
        if (wantGet) {
          slot->pathShown = rec.path;
          do {
            ok = SendHttpRequest(ctx, &rec, slot, kModeGet);
          } while (ok && (rec.flags & kFlagRedirected) && IsWeb(rec));
        }
      }
      if (ok && (rec.flags & kFlagBody) && rec.category == kCategoryHtml && IsWeb(rec) &&
          !(rec.flags & kFlagOutside) && rec.status == 200) {
        scanned = ScanPage(ctx, slot, &rec, slot->receive.data(), slot->received);
        // A page longer than what was kept and scanned says how much of its
        // body was.
        const size_t kept = std::min<size_t>(slot->received, kMaxScanBytes);
        if (slot->bodyCut || slot->received > kMaxScanBytes)
          rec.scannedBytes = static_cast<int32_t>(kept > slot->bodyStart ? kept - slot->bodyStart : 0);
      }
    } catch (const std::bad_alloc&) {
      scanned = -1;
    }
    if (scanned < 0) {
      // The page could not be held or scanned; the run goes on.
      rec.status = kStatusMemory;
      rec.flags &= ~kFlagBody;
    }
    // A large body does not keep its room once the page is done.
    if (slot->receive.size() > 2 * static_cast<size_t>(kReceiveChunk)) {
      std::vector<char>().swap(slot->receive);
      try {
        slot->receive.assign(kReceiveChunk, 0);
      } catch (const std::bad_alloc&) {
      }
    }
    slot->received = 0;
    if (scanned == 0) break;
    RememberRedirectedUrl(ctx, foundAs, rec);
    rec.flags |= kFlagAnalysed;
    ++ctx->pagesAnalysed;
    if (!WriteBack(ctx, index, &rec)) break;
    slot->state &= ~kSlotHoldsRecord;
    index = -1;
    if (ctx->notifyWindow && kv::ui::IsWindow(ctx->notifyWindow))
      kv::ui::PostMessage(ctx->notifyWindow, ctx->notifyMessage, static_cast<KvWParam>(rec.index), 0);
  }
  if ((slot->state & kSlotHoldsRecord) && index >= 0) {
    // Written back under the plain lock: the stop flag refuses LockMutex.
    if (ctx->databaseMutex && KvWaitForSingleObject(ctx->databaseMutex, KV_INFINITE) != KV_WAIT_FAILED) {
      if (index < ctx->count) {
        rec.checkBits |= ctx->records[index].checkBits;
        ctx->records[index] = rec;
      }
      KvReleaseMutex(ctx->databaseMutex);
    }
    slot->state &= ~kSlotHoldsRecord;
  }
  if (slot->ownsLed) {
    kv::ui::DestroyWindow(slot->led);
    slot->led = 0;
    slot->ownsLed = false;
  }
  slot->record = nullptr;
  slot->ledState = 1;
  slot->state &= ~kSlotRunning;
  return 0;
}

bool IsCrawlIdle(LinkAnalysisDataStruct* ctx) {
  if (!ctx || !ctx->databaseMutex) return true;
  if (KvWaitForSingleObject(ctx->databaseMutex, KV_INFINITE) == KV_WAIT_FAILED) return false;
  bool idle = true;
  for (int32_t i = ctx->firstUntaken; i < ctx->count && idle; ++i)
    if (!(ctx->records[i].flags & kFlagTaken)) idle = false;
  for (int32_t s = 0; s < ctx->numThreads && idle; ++s)
    if (ctx->slots[s].state & kSlotHoldsRecord) idle = false;
  KvReleaseMutex(ctx->databaseMutex);
  return idle;
}

void StopWorkers(LinkAnalysisDataStruct* ctx) {
  if (!ctx) return;
  {
    std::lock_guard<std::mutex> lock(ctx->workLock);
    ctx->stop = true;
  }
  ctx->workReady.notify_all();
  for (ThreadSlot& slot : ctx->slots) {
    if (slot.thread) KvWaitForSingleObject(slot.thread, KV_INFINITE);
  }
}

}  // namespace kvla

using namespace kvla;

extern "C" int KVLA_AnalysisEngineStartUp(intptr_t, LinkAnalysisDataStruct* ctx) {
  if (!ctx) return 0;
  ctx->stop = false;
  ctx->outOfMemory = false;
  ctx->recordLimitReached = false;
  ctx->numThreads = std::clamp(ctx->numThreads <= 0 ? kDefaultThreads : ctx->numThreads, 1, kMaxThreads);
  if (ctx->debugMode) {
    std::string folder = ctx->pluginFolder.empty() ? ctx->dataFolder : ctx->pluginFolder;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    ctx->debugLogPath = folder + "DEBUG.TXT";
    // The log holds the requests sent: readable by the user alone.
    std::FILE* log = nullptr;
    int fd = ::open(ctx->debugLogPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0 && ::fchmod(fd, 0600) == 0) log = ::fdopen(fd, "w+b");
    if (!log && fd >= 0) ::close(fd);
    {
      std::lock_guard<std::mutex> lock(ctx->debugLogLock);
      ctx->debugLog = log;
    }
    if (!log) {
      ReportLinkError(ctx, "Couldn't create the debug log file.");
      return 0;
    }
  }
  g_errorUrls = 0;
  ctx->startHostAddress = 0;
  try {
    ctx->records.clear();
    ctx->refs.clear();
    ctx->byHash.clear();
    ctx->redirectedFrom.clear();
    ctx->records.reserve(kBlockRecords);
    ctx->refs.reserve(kBlockRecords);
    ctx->count = 0;
    ctx->requestableCount = 0;
    ctx->firstUntaken = 0;
    ctx->blocks = 1;
    for (int32_t i = 0; i < ctx->numThreads; ++i) {
      ThreadSlot& s = ctx->slots[i];
      s.index = i;
      s.ctx = ctx;
      s.request.assign(kRequestBufferSize, 0);
      s.hostEntry.assign(WS_MAXGETHOSTSTRUCT, 0);
      s.pathShown.reserve(1024);
    }
  } catch (const std::bad_alloc&) {
    ctx->outOfMemory = true;
    return 0;
  }
  if (!LoadCategoryLists(ctx)) return 0;
  // The server name: no scheme, lower case, no trailing '/'.
  std::string server = ctx->serverName;
  if (server.size() >= 7 && EqualNoCase(std::string_view(server).substr(0, 7), "http://")) server.erase(0, 7);
  while (!server.empty() && server.back() == '/') server.pop_back();
  for (char& c : server) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ctx->serverName = server;
  size_t colon = server.find(':');
  ctx->serverHost = server.substr(0, colon);
  ctx->serverPort = colon == npos ? 0 : std::atoi(server.c_str() + colon + 1);
  size_t dot1 = server.find('.');
  size_t dot2 = dot1 == npos ? npos : server.find('.', dot1 + 1);
  if (dot1 == npos)
    ctx->siteKey = server;
  else if (dot2 == npos)
    ctx->siteKey = server.substr(0, dot1);
  else
    ctx->siteKey = server.substr(dot1 + 1, dot2 - dot1 - 1);
  ctx->siteKey = ctx->siteKey.substr(0, 63);

  if (ctx->localFilePath.rfind("file://", 0) == 0) ctx->localFilePath.erase(0, 7);
  if (ctx->searchMode == 1) {
    size_t cut = ctx->localFilePath.find_last_of("/\\");
    ctx->startPage = "/" + ctx->localFilePath.substr(cut == npos ? 0 : cut + 1);
    ctx->outsideLinks = false;
    ctx->stayBelow = false;
    ctx->localFilePath = cut == npos ? std::string() : ctx->localFilePath.substr(0, cut);
  }

  ctx->databaseMutex = KvCreateMutex("DatabaseMutex", 0, 0);
  ctx->inlistMutex = KvCreateMutex("InlistMutex", 0, 0);
  ctx->cookieMutex = KvCreateMutex("CookieMutex", 0, 0);
  ctx->dnsMutex = KvCreateMutex("DNSLookupMutex", 0, 0);
  ctx->dnsMutex2 = KvCreateMutex("DNSLookupMutex", 0, 0);
  if (!ctx->databaseMutex || !ctx->inlistMutex || !ctx->cookieMutex || !ctx->dnsMutex || !ctx->dnsMutex2) {
    ReportLinkError(ctx, "Couldn't create a mutex object.");
    return 0;
  }
  if (!BindSocketCalls(&ctx->sockets)) {
    ReportLinkError(ctx, "Couldn't load the Windows Sockets DLL.");
    return 0;
  }
  if (ctx->dontUseProxy) ctx->httpProxy.clear();
  if (!RegisterLedClass()) {
    ReportLinkError(ctx, "Unable to register LED window class.");
    return 0;
  }
  ctx->running = true;
  for (int32_t i = 0; i < ctx->numThreads; ++i) {
    ThreadSlot& s = ctx->slots[i];
    try {
      s.receive.assign(kReceiveChunk, 0);
    } catch (const std::bad_alloc&) {
      ctx->outOfMemory = true;
      return 0;
    }
    s.ledState = 1;
    if (!CreateWorkerThread(&LinkWorkerThread, ctx, i)) return 0;
  }
  // Seed the crawl with the start page as a link found on a pseudo-parent.
  PageRecord seed;
  std::memset(&seed, 0, sizeof seed);
  std::strncpy(seed.host, ctx->serverHost.c_str(), sizeof seed.host - 1);
  seed.index = -1;
  seed.linkType = kLinkHttp;
  std::string start = JoinUrl(ctx->serverName, ctx->startPage, ctx->searchMode);
  std::string text = "=\"" + start + "\">";
  return AddFoundLink(ctx, &seed, text.data(), text.size(), 0, 0);
}

extern "C" int KVLA_AnalysisEngineCleanUp(intptr_t, LinkAnalysisDataStruct* ctx) {
  if (!ctx) return 1;
  // No buffer is freed under a running worker.
  StopWorkers(ctx);
  if (ctx->cookieMutex && KvWaitForSingleObject(ctx->cookieMutex, KV_INFINITE) != KV_WAIT_FAILED) {
    ctx->cookies.clear();
    KvReleaseMutex(ctx->cookieMutex);
  }
  for (ThreadSlot& s : ctx->slots) {
    s.receive.clear();
    s.receive.shrink_to_fit();
    s.request.clear();
    s.hostEntry.clear();
    s.pathShown.clear();
    if (s.thread) KvCloseHandle(s.thread);
    s.thread = 0;
  }
  ReleaseSocketCalls(&ctx->sockets);
  for (KvHandle* h : {&ctx->databaseMutex, &ctx->inlistMutex, &ctx->cookieMutex, &ctx->dnsMutex, &ctx->dnsMutex2}) {
    if (*h) KvCloseHandle(*h);
    *h = 0;
  }
  if (ctx->running) {
    // A run that was not saved: its records and texts go.
    ctx->records.clear();
    ctx->refs.clear();
    ctx->running = false;
    ctx->count = 0;
  }
  {
    std::lock_guard<std::mutex> lock(ctx->debugLogLock);
    if (ctx->debugLog) std::fclose(ctx->debugLog);
    ctx->debugLog = nullptr;
  }
  ctx->stop = false;
  return 1;
}
