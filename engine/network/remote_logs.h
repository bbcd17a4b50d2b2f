// Local copies of remote logs: the one fetch (or upload) of the process, its
// file lists and list file, the FTP and HTTP halves of a fetch, and what the
// report run reads of the result.
#ifndef VORNIC_NETWORK_REMOTE_LOGS_H
#define VORNIC_NETWORK_REMOTE_LOGS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/kvtypes.h"
#include "platform/wsock32/wsock32.h"

struct DravelEntry;

namespace vrn {

// Deletes the files named in a download list file (full path), the list
// itself and the download folder. Only files inside that download folder
// are deleted, whatever the list names.
void DeleteDownloadedFiles(const char* listPath);

// ---- what the report run reads ---------------------------------------------

// True when a fetched remote copy may be analysed (the ready flag).
bool RemoteCopyReady();
// What the analysis is to read: a wildcard over the profile's cache folder
// after a successful remote open.
std::string FetchedLogPath();
// Takes the fetched copy for a report run: true with *path set when the
// ready flag was set; the flag is cleared either way. The copies stay in the
// cache folder (they are what the next fetch continues or skips).
bool TakeFetchedRemoteLog(std::string* path);

// ---- records ------------------------------------------------------------------

constexpr size_t kFetchTextWidth = 100;    // remote path and listing line, terminator included
constexpr size_t kFetchLocalWidth = 512;   // a local path: the profile folder may be long

// One remote file. The local path is wider than the remote texts so that a
// copy in a deep profile folder is never named by a cut path.
struct FetchFileRecord {
  uint32_t needed = 0;  // 0 fetch; 1 local copy current, skipped; 2 fetched whole by this fetch
  char localPath[kFetchLocalWidth] = {};
  char remotePath[kFetchTextWidth] = {};
  char listingLine[kFetchTextWidth] = {};
};

struct FetchFileList {
  uint32_t count = 0;
  std::string location;  // at most 299 characters
  std::vector<FetchFileRecord> records;
  void Clear() {
    count = 0;
    location.clear();
    records.clear();
    records.shrink_to_fit();
  }
};

// Copies at most width - 1 characters of text into a fixed field.
void SetFetchText(char* field, size_t width, const std::string& text);
template <size_t N>
void SetFetchText(char (&field)[N], const std::string& text) {
  SetFetchText(field, N, text);
}

// A response body is read kHttpBufferSize bytes at a time; the buffer grows
// while a response head is read, up to kHttpHeadLimit bytes: a longer head
// is refused.
constexpr int kHttpBufferSize = 1024;
constexpr size_t kHttpHeadLimit = 64 * 1024;

// Takes a chunked body apart as it arrives: the data of its chunks is kept,
// their size lines and the trailer are not. A body is whole once its last
// (empty) chunk and trailer arrived.
struct ChunkDecoder {
  enum State { kOff, kSize, kData, kDataEnd, kTrailer, kDone, kBroken };
  State state = kOff;
  uint64_t left = 0;  // data bytes of the current chunk still to come
  std::string line;   // a size or trailer line not yet ended
  void Start() { *this = ChunkDecoder{}, state = kSize; }
  bool Active() const { return state != kOff; }
  // Decodes data[0..size) in place; the data bytes are returned (0 once the
  // body is over or broken).
  size_t Decode(char* data, size_t size);
};

// The process-wide fetch or upload.
struct FetchState {
  KvWindow statusWindow = 0;
  uint16_t locationKind = 0;
  uint32_t downloadMode = 0;  // 2 Once, 1 Detect, 0 always
  std::string fetchedPath;
  std::string cacheFolder;  // "<profile dir><base>.ftp/" of the current fetch
  uint32_t ready = 0;
  uint32_t busy = 0;
  uint32_t started = 0;
  uint32_t windowCreated = 0;
  KvWindow window = 0;
  uint32_t recordIndex = 0;
  uint64_t totalBytes = 0;
  uint64_t doneBytes = 0;
  uint64_t lastReportedDone = 0;  // done count last sent by VRN_GetURLDonePercent
  KvFile localFile = KV_INVALID_FILE;
  int64_t existingSize = 0;
  uint32_t idleSeconds = 0;
  int64_t firstFetchTimeNs = 0;  // 0 = not set (process lifetime)
  std::string listPath;          // list file of the current fetch
  uint64_t expectedBytes = 0;    // size the current file must reach; 0 = unknown
  uint16_t locationPort = 0;     // port of an http location; 0 = default

  // HTTP part.
  WsSocket primarySocket = WS_INVALID_SOCKET;
  WsSocket secondSocket = WS_INVALID_SOCKET;
  WsSockAddrIn serverAddress{};
  std::string credentials;  // Base64 of "user:password", empty without a user
  std::vector<char> buffer = std::vector<char>(kHttpBufferSize + 1);  // fill bytes and a terminating zero
  uint32_t fill = 0;
  uint32_t responseStatus = 0;
  uint32_t secondRequest = 0;
  uint32_t overlapState = 0;
  uint64_t rangeStart = 0;
  uint64_t rangeLength = 0;
  uint32_t firstRangeKind = 0;  // range kind of the request on the primary socket
  uint64_t bodyWritten = 0;     // bytes of the current 206 body written
  ChunkDecoder chunks;          // the body's chunks when it is sent chunked
};

extern FetchState g_fetch;
extern FetchFileList g_currentList;
extern FetchFileList g_previousList;

// ---- the network settings and error texts ------------------------------------

struct NetworkSettings {
  uint32_t transferTimeout = 30;  // seconds of silence before a transfer ends
  uint32_t ftpPassive = 0;
  uint32_t proxyEnable = 0;
  std::string httpProxy;           // host, optionally ":" and port
  std::string httpProxyAuth;       // Base64 of "user:password", empty when none
  WsSockAddrIn proxyAddress{};     // family 0 = not resolved
};
extern NetworkSettings g_netSettings;

// Reads the settings again (module INI [Defaults] TransferTimeout and
// FTPPassive; KELVARON.INI [Defaults] ProxyEnable, HTTPProxy, HTTPProxyAuth)
// and forgets the resolved proxy address.
void LoadNetworkSettings();
// Puts the text of an error code into the URL error text.
void SetURLErrorText(int32_t code);
void ClearURLErrorText();
// Error codes of the fetch beyond the public ones.
constexpr int32_t VRN_URL_ERR_LISTING = 2011;   // a listing broke off part-way
constexpr int32_t VRN_URL_ERR_SEVERAL = 2012;   // an HTTP location with several files
constexpr int32_t VRN_URL_ERR_NO_RANGE = 2013;  // a 206 that does not say its range
// Sets the error text of an FTP failure, followed by the server's own reply
// when the server refused something.
void SetFtpErrorText(int32_t code);
// Sets the error text of an HTTP status that is not served (a redirect
// names its target).
void SetHttpStatusErrorText(uint32_t status, const std::string& location);
const std::string& URLErrorText();

// Base64 of the bytes (standard alphabet, "=" padding).
std::string EncodeBase64(const std::string& bytes);
// The IPv4 address (network order) of a host name or dotted address through
// the socket module; false when it does not resolve.
bool ResolveHostAddress(const std::string& host, uint32_t* address);

// ---- the URL window and the common steps ---------------------------------------

bool CreateURLWindow();
void DestroyURLWindow();
void AbortURLTransfer();
// Sends 0x414 with a text built in an 80-character buffer.
void SendStatusText(const std::string& text);
// The opening, logon, contact and file texts.
std::string OpeningText(const char* location);
std::string LogonText(const char* user, const char* host);
std::string ContactText(const char* user, const char* host);
std::string FileText(const char* path);
// Sends a message with wParam 0 to the status window.
void SendStatus(uint32_t message, KvLParam lparam);

// The cache folder "<profile dir><base>.ftp/" of a profile file name, and
// its list file "<profile dir><base>.dir".
std::string ProfileBaseName(const std::string& profileFileName);
std::string CacheFolder(const std::string& profileFileName);
std::string ListFilePath(const std::string& profileFileName);

// List file: location line, then the local copy's name (inside the cache
// folder beside the list file), remote path and listing line per record,
// each ending "\r\n". Read back, every local name is a path inside that
// cache folder, whatever folder the file gives.
bool WriteURLListFile(const std::string& path, const FetchFileList& list);
bool ReadURLListFile(const std::string& path, FetchFileList* list);
// Writes the current list to the fetch's list file, with the listing line
// of every record still to be fetched left empty: a record's line is only
// stored once its copy is whole, so a copy cut short never reads back as
// current.
bool WriteFetchProgress();
// Parses the list file text (the part ReadURLListFile reads), local names
// put inside `folder`.
void ParseURLListText(const std::string& text, FetchFileList* list, const std::string& folder);
// The cache folder of a list file: "<dir><base>.ftp/" beside "<dir><base>.dir".
std::string ListCacheFolder(const std::string& listPath);

// Deletes a local copy named by a list, only when it is a file directly
// inside folder (the cache folder of the fetch).
void DeleteCachedCopy(const char* localPath, const std::string& folder);

// Current size of the local file held open (0 when none).
uint64_t LocalFileSize();

// ---- FTP ---------------------------------------------------------------------

// The byte size of a long listing line (Unix or DOS form); false when the
// line has no size field.
bool SizeFromListingLine(const char* line, uint64_t* size);
// What a long listing line names: a plain file, something else (a folder,
// a link), or nothing (a "total N" line, a blank one).
struct ListingEntry {
  enum Kind { kNone, kFile, kOther };
  Kind kind = kNone;
  std::string name;
};
ListingEntry ParseListingLine(const std::string& line);
// Fills the list from the server's listings and matches it against the
// previous list: 0, or the module's error when a listing failed (the list is
// then empty and no cached copy was touched). Entries of the location that
// name nothing on the server are added to *missing.
int ListFtpDirectory(const std::string& profileFileName, const std::string& locationPath, FetchFileList* list,
                     FetchFileList* previous, uint32_t mode, std::vector<std::string>* missing = nullptr);
// Tells the client (its error display) that an entry of the location names
// nothing on the server; the fetch goes on with the others.
void WarnMissingEntry(const std::string& entry);
// Names every record whose local path is empty.
void MakeLocalFetchName(const std::string& profileFileName, FetchFileList* list);
// The FTP start of VRN_OpenURL: 0 started or nothing to fetch, -1 failed.
int StartFtpFetch(const DravelEntry& profile, const std::string& profileFileName, const std::string& path,
                  const std::string& host, uint16_t port);
// 0x450 and 0x45F of the URL window.
KvResult OnFtpReceiveNotice(KvWParam wparam, KvLParam lparam);
KvResult OnFtpSendNotice(KvWParam wparam, KvLParam lparam);

// ---- HTTP --------------------------------------------------------------------

int BuildHttpFileList(const std::string& host, const std::string& path, FetchFileList* list,
                      FetchFileList* previous);
// The request text for a remote path ("host/path") and range kind (0 none,
// 1 head of the file, 2 tail of the file).
std::string BuildFetchRequest(const std::string& remotePath, uint32_t rangeKind, int64_t existingSize);
int SendFetchRequest(WsSocket socket, const std::string& remotePath, uint32_t rangeKind);
// The HTTP start of VRN_OpenURL: 0 started, -1 failed.
int StartHttpFetch(const DravelEntry& profile, const std::string& profileFileName, const std::string& path,
                   const std::string& host, uint16_t port);
// 0x478 of the URL window.
KvResult OnHttpSocketEvent(KvWParam wparam, KvLParam lparam);

// What the head of a response tells, once its end is in the buffer.
struct HttpResponseHead {
  uint32_t status = 0;          // 200 or 206 when parsed
  size_t headerLength = 0;      // bytes to remove from the buffer
  bool hasContentLength = false;
  uint64_t contentLength = 0;
  bool hasFullLength = false;   // "content-range: bytes a-b/full"
  uint64_t fullLength = 0;
  bool hasRangeStart = false;
  uint64_t rangeStart = 0;
  bool hasRangeEnd = false;
  uint64_t rangeEnd = 0;
  bool chunked = false;         // "transfer-encoding: chunked"
  std::string location;         // target of a redirect (3xx)
};
enum class HeadScan { kNeedMore, kParsed, kFailed };
// Scans the first `fill` bytes of a response for its status line (at its
// very start) and header end. kParsed fills *head; kFailed for a status
// other than 200 and 206 (a redirect once its head is whole, with its
// target) or an answer that does not begin with a status line; kNeedMore
// while the head is incomplete.
HeadScan ScanHttpResponseHead(const char* data, size_t fill, HttpResponseHead* head);

}  // namespace vrn

#endif
