// The context of a link analysis run, shared by the run window, the workers,
// the save and the readers, and the helpers every thread uses with it: the
// message pump, the locks that pump while they wait, the delay, the error
// reporter and the store of record texts.
#ifndef KV_LINKANALYSIS_LINKCONTEXT_H
#define KV_LINKANALYSIS_LINKCONTEXT_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "linkanalysis/linkdb.h"
#include "linkanalysis/linkurl.h"
#include "platform/base/kvtypes.h"
#include "platform/wsock32/wsock32.h"

namespace kvla {

inline constexpr int32_t kMaxThreads = 60;
inline constexpr int32_t kDefaultThreads = 20;
inline constexpr uint32_t kReceiveChunk = 65536;
inline constexpr uint32_t kRequestBufferSize = 8192;
// The most of a page (its answer's head and body) that is kept in memory and
// scanned for links; the rest of a longer page is not read (or only into its
// data file).
inline constexpr size_t kMaxScanBytes = size_t{4} << 20;

// Socket messages to a slot's LED window.
inline constexpr uint32_t WM_LINK_GETHOST = 6025;
inline constexpr uint32_t WM_LINK_CONNECT = 6026;
inline constexpr uint32_t WM_LINK_SOCKET = 6027;

// Slot event flags.
inline constexpr uint32_t kEventResolved = 0x1;
inline constexpr uint32_t kEventConnected = 0x2;
inline constexpr uint32_t kEventWritable = 0x4;
inline constexpr uint32_t kEventReadable = 0x8;
inline constexpr uint32_t kEventClosed = 0x10;
inline constexpr uint32_t kEventError = 0x8000;

// Slot state flags.
inline constexpr uint32_t kSlotHoldsRecord = 0x1;
inline constexpr uint32_t kSlotRunning = 0x2;

// The socket calls, bound from the socket module at start-up.
struct SocketCalls {
  KvModule module = nullptr;
  WsWSAStartupFn WSAStartup = nullptr;
  WsWSACleanupFn WSACleanup = nullptr;
  WsWSAGetLastErrorFn WSAGetLastError = nullptr;
  WsWSAAsyncSelectFn WSAAsyncSelect = nullptr;
  WsWSAAsyncGetHostByNameFn WSAAsyncGetHostByName = nullptr;
  WsWSACancelAsyncRequestFn WSACancelAsyncRequest = nullptr;
  WsSocketFn socket = nullptr;
  WsConnectFn connect = nullptr;
  WsSendFn send = nullptr;
  WsRecvFn recv = nullptr;
  WsClosesocketFn closesocket = nullptr;
  WsHtonsFn htons_ = nullptr;
  WsInetAddrFn inet_addr = nullptr;
  bool started = false;
};

struct ThreadSlot {
  LinkAnalysisDataStruct* ctx = nullptr;
  PageRecord* record = nullptr;
  int32_t index = 0;
  KvHandle thread = 0;
  uint32_t threadId = 0;
  uint32_t spare = 0;
  uint32_t events = 0;               // socket event flags, set by the LED window
  KvWindow led = 0;
  uint32_t received = 0;
  std::vector<char> receive;         // receive buffer (64 KiB, grown by the client)
  std::vector<char> request;         // 8192-byte request buffer
  std::atomic<uint32_t> state{0};    // kSlotHoldsRecord, kSlotRunning
  std::string hostShown;
  std::string pathShown;
  int32_t linkTypeShown = 0;
  std::vector<char> hostEntry;       // 1024-byte host-entry buffer
  WsSockAddrIn address{};
  int32_t flagsShown = 0;
  uint64_t lastReceiveTick = 0;
  uint64_t requestDeadline = 0;     // tick by which the whole request must be done
  uint32_t bodyStart = 0;           // where the body begins in the receive buffer
  bool bodyCut = false;             // the body was longer than what was kept
  // Client bookkeeping.
  WsSocket socket = WS_INVALID_SOCKET;
  KvHandle lookupTask = 0;
  int32_t ledState = 1;
  bool ownsLed = false;
  bool headerParsed = false;        // the first response of the run has been parsed
};

struct Cookie {
  std::string host;
  std::string path;
  std::string value;  // "name=value"
  bool hostOnly = true;  // set without a Domain: its host (and port) alone
  int32_t port = 0;      // the port it was set from (host-only cookies)
};

}  // namespace kvla

struct LinkAnalysisDataStruct {
  // Settings of the profile.
  std::string dataFolder;      // LINKANLZ.* live here
  std::string pluginFolder;    // DEBUG.TXT is written here (the data folder when empty)
  std::string serverName;
  std::string startPage = "/";
  std::string localFilePath;
  std::string httpProxy;       // "host[:port]"
  std::string httpProxyAuth;   // "user:password"
  std::string userName;
  std::string password;
  std::string userAgent;
  bool downloadEverything = false;
  bool debugMode = false;
  bool dontUseProxy = false;
  bool outsideLinks = false;
  bool stayBelow = false;
  bool writeDataFiles = false;
  bool unattended = true;
  int32_t searchMode = 0;      // 0 web site, 1 local file tree
  int32_t numThreads = kvla::kDefaultThreads;
  int32_t redirectCutoff = 5;
  int32_t dialupTimeout = 30;  // seconds
  int32_t generalPurposeTimeout = 30;
  // The longest a whole request may take, however slowly its bytes arrive
  // (seconds).
  int32_t requestDeadline = 120;
  // The most records a run makes to request (a site without end, such as a
  // calendar, stops growing there); 0: no limit. Records that are never
  // requested (links to fragments, outside links not followed, syntax
  // faults) do not count: a real site of ten thousand pages makes ten times
  // as many of them, and each scanned page adds a bounded number.
  int32_t maxRecords = 100000;
  // The file-type filter: bit n set keeps web links of content category n
  // from being requested.
  uint32_t excludedCategories = 0;
  // LINKANLZ.INI, whose [FileTypes] names each category's extensions
  // ("Category1" ... "Category14"); the profile folder's when empty.
  std::string settingsFile;

  KvWindow ownerWindow = 0;
  KvWindow notifyWindow = 0;
  uint32_t notifyMessage = 0;

  std::atomic<bool> stop{false};
  std::atomic<bool> outOfMemory{false};
  std::atomic<bool> recordLimitReached{false};
  bool running = false;        // between start-up and the save

  KvHandle databaseMutex = 0;
  KvHandle inlistMutex = 0;
  KvHandle cookieMutex = 0;
  KvHandle dnsMutex = 0;
  KvHandle dnsMutex2 = 0;

  std::FILE* debugLog = nullptr;
  std::string debugLogPath;
  std::mutex debugLogLock;

  // The page array (DatabaseMutex) and the reference lists (InlistMutex).
  struct RefLists {
    std::vector<kvla::RefEntry> parents;
    std::vector<kvla::RefEntry> children;
    // Where each other record stands in a long list, so that a page with
    // many links finds an earlier one at once (built once a list is long).
    std::unordered_map<int32_t, uint32_t> parentAt;
    std::unordered_map<int32_t, uint32_t> childAt;
  };
  std::vector<kvla::PageRecord> records;
  int32_t count = 0;
  int32_t requestableCount = 0;  // the records made to be requested (DatabaseMutex)
  int32_t blocks = 0;
  int32_t firstUntaken = 0;   // every record below it is taken
  std::unordered_multimap<int32_t, int32_t> byHash;  // record indexes by hash (DatabaseMutex)
  std::vector<RefLists> refs;
  // The URLs that redirected records were found as (UrlKey), to their
  // records (DatabaseMutex).
  std::unordered_map<std::string, int32_t> redirectedFrom;
  // Idle workers sleep on workReady until a record to take is added or the
  // run stops; workGeneration counts the records added.
  std::mutex workLock;
  std::condition_variable workReady;
  std::atomic<uint64_t> workGeneration{0};

  // Texts of the in-memory records (handles are index + 1).
  std::mutex textLock;
  std::vector<std::string> texts;
  std::vector<bool> textUsed;
  std::vector<uint32_t> freeTexts;

  // Run counters.
  std::atomic<int32_t> linksFound{0};
  std::atomic<int32_t> pagesAnalysed{0};
  std::atomic<int32_t> requestsMade{0};
  std::atomic<int32_t> pages404{0};
  std::atomic<int64_t> bytesReceived{0};
  std::atomic<int32_t> outsideTaken{0};
  std::atomic<int32_t> headRequests{0};
  std::atomic<int32_t> getRequests{0};
  std::atomic<int32_t> answered200{0};
  std::atomic<int32_t> answeredOther{0};

  kvla::ThreadSlot slots[kvla::kMaxThreads];
  kvla::SocketCalls sockets;
  std::vector<kvla::Cookie> cookies;   // CookieMutex
  std::string siteKey;
  kvla::CategoryLists categories = kvla::DefaultCategoryLists();  // loaded at start-up
  std::string serverHost;              // the server name without its port
  int32_t serverPort = 0;              // the port given with it, 0 when none
  uint32_t startHostAddress = 0;       // DNSLookupMutex; 0 = not cached

  // Messages of the error reporter.
  std::mutex errorLock;
  std::vector<std::string> errors;
};

namespace kvla {

// Shows (logs, when unattended) an error of the run.
void ReportLinkError(LinkAnalysisDataStruct* ctx, const std::string& text);
// Writes text to the debug log when one is open.
void DebugLogWrite(LinkAnalysisDataStruct* ctx, const char* data, size_t size);

// Dispatches every waiting message of the calling thread and yields; 0 once
// the stop flag is set (1 with no context).
int PumpMessages(LinkAnalysisDataStruct* ctx);
// Pumps once, then waits for the mutex; 0 without the lock when stopping.
int LockMutex(LinkAnalysisDataStruct* ctx, KvHandle mutex);
void ReleaseLock(KvHandle mutex);
// Waits ms milliseconds by pumping; 0 when stopped meanwhile.
int DelayPumping(LinkAnalysisDataStruct* ctx, uint32_t ms);

// The text store. SetText replaces the text a field holds (null or "" clears).
uint32_t StoreText(LinkAnalysisDataStruct* ctx, const char* text);
std::string GetText(LinkAnalysisDataStruct* ctx, uint32_t handle);
void FreeText(LinkAnalysisDataStruct* ctx, uint32_t handle);
void SetText(LinkAnalysisDataStruct* ctx, uint32_t* field, const char* text);

}  // namespace kvla

#endif
