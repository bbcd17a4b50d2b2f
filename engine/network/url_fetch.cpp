// The control layer of remote log copies: the process-wide fetch state, the
// exports that start, poll and end a fetch, the hidden "URL Window" that the
// transfer runs from, the list file of a profile's cache folder, the network
// settings and the URL error texts.
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <vornic/filter.h>
#include <vornic/profile.h>
#include <vornic/remote.h>

#include "engine/core/engine_state.h"
#include "engine/core/log_file_list.h"
#include "engine/network/remote_logs.h"
#include "platform/base/clock.h"
#include "platform/base/files.h"
#include "platform/base/memory.h"
#include "platform/base/paths.h"
#include "platform/module/module.h"
#include "platform/ftp4w32/ftp4w32.h"
#include "platform/netbind/netbind.h"
#include "platform/ui/window.h"

namespace vrn {

FetchState g_fetch;
FetchFileList g_currentList;
FetchFileList g_previousList;
NetworkSettings g_netSettings;

namespace {

namespace ui = kv::ui;

constexpr const char kUrlClass[] = "VORNIC";
constexpr const char kUrlTitle[] = "URL Window";
constexpr uint32_t kUrlStyle = 0x80CA0000u;
constexpr uintptr_t kUrlTimer = 1;
constexpr size_t kStatusTextWidth = 80;  // each status text, terminator included

std::string g_urlError;

// Texts of the URL errors (the engine's own ids).
constexpr uint32_t kTextNoFiles = 5708;
constexpr uint32_t kTextTimeout = 5709;
constexpr uint32_t kTextLogonRefused = 5710;
constexpr uint32_t kTextHostNotFound = 5711;
constexpr uint32_t kTextConnectFailed = 5712;
constexpr uint32_t kTextFileUnavailable = 5713;
constexpr uint32_t kTextOtherError = 5714;
constexpr uint32_t kTextShort = 5715;
constexpr uint32_t kTextAnswer = 5720;
constexpr uint32_t kTextLocalFile = 5721;
constexpr uint32_t kTextListing = 5722;
constexpr uint32_t kTextMissingEntry = 5723;
constexpr uint32_t kTextTransferFailed = 5724;
constexpr uint32_t kTextConnectionLost = 5725;
constexpr uint32_t kTextRedirect = 5726;
constexpr uint32_t kTextSeveral = 5727;
constexpr uint32_t kTextNoRange = 5728;
constexpr uint32_t kTextStatus = 5729;
constexpr uint32_t kTextDataConnection = 5730;
constexpr uint32_t kTextServerSaid = 5731;

std::string Cut(const std::string& text, size_t width) {
  return text.size() < width ? text : text.substr(0, width - 1);
}

// Replaces each "%s" of a resource format by the next argument ("%%" gives
// "%"); other conversions are kept as they stand, so the text never drives a
// formatter.
std::string FormatTexts(const char* format, const char* first, const char* second) {
  const char* args[2] = {first != nullptr ? first : "", second != nullptr ? second : ""};
  int used = 0;
  std::string out;
  for (const char* p = format != nullptr ? format : ""; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      if (used < 2) out += args[used++];
      ++p;
    } else if (p[0] == '%' && p[1] == '%') {
      out += '%';
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Last-write time of a file in nanoseconds since the epoch (0 when unknown).
int64_t WriteTimeNs(const std::string& path) {
  struct stat st {};
  if (stat(kv::ResolvePath(path).c_str(), &st) != 0) return 0;
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

bool NetworkAvailable() { return g_networkBinding.socketModule != nullptr && g_networkBinding.ftpModule != nullptr; }

void CloseLocalFile() {
  if (g_fetch.localFile != KV_INVALID_FILE) kv::FileClose(g_fetch.localFile);
  g_fetch.localFile = KV_INVALID_FILE;
}

KvGlobal AllocFetchHandle(KvWindow statusWindow) {
  const KvGlobal handle = kv::GlobalAlloc(kv::kGlobalMoveable, sizeof(KvWindow));
  if (handle == 0) return 0;
  if (auto* window = static_cast<KvWindow*>(kv::GlobalLock(handle)); window != nullptr) {
    *window = statusWindow;
    kv::GlobalUnlock(handle);
  }
  return handle;
}

// The status window a handle holds; false for a handle that is not one.
bool HandleWindow(KvGlobal handle, KvWindow* window) {
  if (handle == 0 || kv::GlobalSize(handle) < sizeof(KvWindow)) return false;
  auto* held = static_cast<KvWindow*>(kv::GlobalLock(handle));
  if (held == nullptr) return false;
  *window = *held;
  kv::GlobalUnlock(handle);
  return true;
}

// Dispatches the messages waiting for the URL window.
void PumpUrlWindow() {
  ui::Message m;
  while (g_fetch.windowCreated != 0 && ui::PeekMessage(&m, g_fetch.window)) ui::DispatchMessage(&m);
}

void OnTimeout() {
  // Only a transfer that is still running can time out; a finished one
  // keeps its outcome however long the caller waits before closing it.
  if (g_fetch.busy == 0) return;
  // The abort below dispatches this window's messages, timer ticks among them.
  static bool ending = false;
  if (ending) return;
  ending = true;
  AbortURLTransfer();
  ending = false;
  SetURLErrorText(VRN_URL_ERR_TIMEOUT);
  g_fetch.busy = 0;
  g_fetch.ready = 0;  // the copy was cut short
  if (g_fetch.secondSocket != WS_INVALID_SOCKET) {
    g_networkBinding.closesocket(g_fetch.secondSocket);
    g_fetch.secondSocket = WS_INVALID_SOCKET;
  }
  g_fetch.totalBytes = g_fetch.doneBytes = LocalFileSize();
}

}  // namespace

// ---- small helpers -------------------------------------------------------------

void SetFetchText(char* field, size_t width, const std::string& text) {
  if (field == nullptr || width == 0) return;
  const size_t n = text.size() < width - 1 ? text.size() : width - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

uint64_t LocalFileSize() {
  if (g_fetch.localFile == KV_INVALID_FILE) return 0;
  const int64_t size = kv::FileSize(g_fetch.localFile);
  return size > 0 ? static_cast<uint64_t>(size) : 0;
}

std::string ProfileBaseName(const std::string& profileFileName) {
  const size_t dot = profileFileName.rfind('.');
  return dot == std::string::npos ? profileFileName : profileFileName.substr(0, dot);
}

std::string CacheFolder(const std::string& profileFileName) {
  return ProfileDirectory() + ProfileBaseName(profileFileName) + ".ftp/";
}

std::string ListFilePath(const std::string& profileFileName) {
  return ProfileDirectory() + ProfileBaseName(profileFileName) + ".dir";
}

// ---- settings and error texts --------------------------------------------------

void LoadNetworkSettings() {
  NetworkSettings s;
  const int32_t timeout = ParseIntText(GetModuleProfileStr("Defaults", "TransferTimeout", "30").c_str());
  s.transferTimeout = timeout > 0 ? static_cast<uint32_t>(timeout) : 30;
  s.ftpPassive = ParseIntText(GetModuleProfileStr("Defaults", "FTPPassive", "0").c_str()) != 0 ? 1 : 0;
  const std::string enable = GetBaseProfileStr("Defaults", "ProxyEnable", "");
  s.proxyEnable = !enable.empty() && (enable[0] == 't' || enable[0] == 'T' || enable[0] == '1') ? 1 : 0;
  s.httpProxy = GetBaseProfileStr("Defaults", "HTTPProxy", "");
  const std::string auth = GetBaseProfileStr("Defaults", "HTTPProxyAuth", "");
  s.httpProxyAuth = auth.empty() ? std::string() : EncodeBase64(auth);
  g_netSettings = s;  // the proxy address is resolved again when needed
}

void ClearURLErrorText() { g_urlError.clear(); }
const std::string& URLErrorText() { return g_urlError; }

void SetURLErrorText(int32_t code) {
  uint32_t id = kTextOtherError;
  switch (code) {
    case VRN_URL_ERR_NO_FILES: id = kTextNoFiles; break;
    case VRN_URL_ERR_TIMEOUT: id = kTextTimeout; break;
    case VRN_URL_ERR_SHORT: id = kTextShort; break;
    case VRN_URL_ERR_ANSWER: id = kTextAnswer; break;
    case VRN_URL_ERR_LISTING: id = kTextListing; break;
    case VRN_URL_ERR_SEVERAL: id = kTextSeveral; break;
    case VRN_URL_ERR_NO_RANGE: id = kTextNoRange; break;
    case FTP_E_TRANSFER_FAILED: id = kTextTransferFailed; break;
    case FTP_E_CONNECTION_LOST: id = kTextConnectionLost; break;
    case FTP_E_DATA_CONNECTION: id = kTextDataConnection; break;
    case VRN_URL_ERR_LOCAL:
    case FTP_E_LOCAL_FILE: id = kTextLocalFile; break;
    case FTP_E_LOGIN_REFUSED: id = kTextLogonRefused; break;
    case FTP_E_HOST_NOT_FOUND:
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA: id = kTextHostNotFound; break;
    case FTP_E_CONNECT_FAILED:
    case FTP_E_SERVER_REFUSED:
    case WSAECONNREFUSED:
    case WSAETIMEDOUT: id = kTextConnectFailed; break;
    case FTP_E_FILE_UNAVAILABLE: id = kTextFileUnavailable; break;
    default: break;
  }
  const char* text = LoadResString(id);
  if (id != kTextOtherError) {
    g_urlError = text;
    return;
  }
  // "... %d ..." with the code; the number is put in by hand.
  std::string out;
  const std::string number = std::to_string(code);
  bool put = false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (!put && p[0] == '%' && p[1] == 'd') {
      out += number;
      put = true;
      ++p;
    } else {
      out += *p;
    }
  }
  if (!put) out += " " + number;
  g_urlError = out;
}

void SetHttpStatusErrorText(uint32_t status, const std::string& location) {
  if (status >= 300 && status < 400 && !location.empty()) {
    g_urlError = FormatTexts(LoadResString(kTextRedirect), std::to_string(status).c_str(), location.c_str());
    return;
  }
  g_urlError = FormatTexts(LoadResString(kTextStatus), std::to_string(status).c_str(), nullptr);
}

void SetFtpErrorText(int32_t code) {
  SetURLErrorText(code);
  // The FTP module keeps the server's last refusal; an older module
  // without it leaves the text as it is.
  const KvModule module = g_networkBinding.ftpModule;
  const auto refusal =
      module != nullptr ? reinterpret_cast<FtpLastRefusalFn>(KvGetProcAddress(module, "FtpLastRefusal")) : nullptr;
  char reply[256] = "";
  if (refusal == nullptr || refusal(reply, sizeof reply) != 0 || reply[0] == '\0') return;
  g_urlError += " " + FormatTexts(LoadResString(kTextServerSaid), reply, nullptr);
}

void WarnMissingEntry(const std::string& entry) {
  DisplayReportError(FormatTexts(LoadResString(kTextMissingEntry), entry.c_str(), nullptr).c_str());
}

// ---- status texts ------------------------------------------------------------------

void SendStatus(uint32_t message, KvLParam lparam) {
  if (g_fetch.statusWindow != 0) ui::SendMessage(g_fetch.statusWindow, message, 0, lparam);
}

void SendStatusText(const std::string& text) {
  const std::string cut = Cut(text, kStatusTextWidth);
  SendStatus(VRN_URL_MSG_STATUS, reinterpret_cast<KvLParam>(cut.c_str()));
}

std::string OpeningText(const char* location) {
  return Cut(std::string(LoadResString(5600)) + std::string(location != nullptr ? location : "").substr(0, 60),
             kStatusTextWidth);
}

// Without a user name the texts that name one would show a gap: the host
// alone is named then.
std::string LogonText(const char* user, const char* host) {
  if (user == nullptr || user[0] == '\0') return Cut(LoadResString(5602) + std::string(host != nullptr ? host : ""), kStatusTextWidth);
  return Cut(FormatTexts(LoadResString(5601), user, host), kStatusTextWidth);
}

std::string ContactText(const char* user, const char* host) {
  if (user == nullptr || user[0] == '\0') return Cut(LoadResString(5602) + std::string(host != nullptr ? host : ""), kStatusTextWidth);
  return Cut(FormatTexts(LoadResString(5607), user, host), kStatusTextWidth);
}

std::string FileText(const char* path) {
  return Cut(std::string(LoadResString(5603)) + std::string(path != nullptr ? path : "").substr(0, 60),
             kStatusTextWidth);
}

// ---- the list file -------------------------------------------------------------

std::string ListCacheFolder(const std::string& listPath) {
  const size_t slash = listPath.find_last_of("/\\");
  const size_t dot = listPath.rfind('.');
  const std::string stem = dot != std::string::npos && (slash == std::string::npos || dot > slash)
                               ? listPath.substr(0, dot)
                               : listPath;
  return stem + ".ftp/";
}

std::string StoredLocalName(const std::string& stored, const std::string& folder) {
  // A list file names each copy inside its own cache folder. A stored path
  // (as older list files hold) is taken only from a cache folder of the
  // same name, the profile folder since copied or moved; any other path is
  // not ours, and its record is fetched again under a name of our own.
  const size_t cut = stored.find_last_of("/\\");
  const std::string name = cut == std::string::npos ? stored : stored.substr(cut + 1);
  if (name.empty() || name == "." || name == "..") return std::string();
  if (cut != std::string::npos) {
    const std::string parent = stored.substr(0, cut);
    const size_t up = parent.find_last_of("/\\");
    const std::string parentName = up == std::string::npos ? parent : parent.substr(up + 1);
    std::string own = folder.substr(0, folder.size() - (folder.empty() ? 0 : 1));
    own = own.substr(own.find_last_of("/\\") == std::string::npos ? 0 : own.find_last_of("/\\") + 1);
    if (own.empty() || strcasecmp(parentName.c_str(), own.c_str()) != 0) return std::string();
  }
  return folder + name;
}

void ParseURLListText(const std::string& text, FetchFileList* list, const std::string& folder) {
  list->Clear();
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  if (lines.empty()) return;
  list->location = lines[0].substr(0, 299);
  std::vector<std::string> used;  // case folded: one copy per local name
  for (size_t i = 1; i < lines.size(); i += 3) {
    FetchFileRecord r;
    std::string local = StoredLocalName(lines[i], folder);
    std::string folded = local;
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!local.empty() && std::find(used.begin(), used.end(), folded) != used.end()) local.clear();
    if (!local.empty()) used.push_back(folded);
    SetFetchText(r.localPath, local);
    SetFetchText(r.remotePath, i + 1 < lines.size() ? lines[i + 1] : std::string());
    SetFetchText(r.listingLine, i + 2 < lines.size() ? lines[i + 2] : std::string());
    if (r.remotePath[0] == '\0') continue;
    // A record without its copy's name was never fetched whole.
    if (r.localPath[0] == '\0') r.listingLine[0] = '\0';
    list->records.push_back(r);
  }
  list->count = static_cast<uint32_t>(list->records.size());
}

bool ReadURLListFile(const std::string& path, FetchFileList* list) {
  list->Clear();
  const KvFile file = kv::FileOpen(path.c_str(), kv::kFileRead, kv::FileDisposition::kOpenExisting);
  if (file == KV_INVALID_FILE) return false;
  std::string text;
  char chunk[4096];
  uint32_t got = 0;
  // A list file is a few lines per remote file; a huge one is not ours.
  constexpr size_t kMaxListFile = 16u << 20;
  while (kv::FileRead(file, chunk, sizeof chunk, &got) && got > 0 && text.size() < kMaxListFile) {
    text.append(chunk, got);
  }
  kv::FileClose(file);
  ParseURLListText(text, list, ListCacheFolder(path));
  return true;
}

bool WriteFetchProgress() {
  if (g_fetch.listPath.empty()) return false;
  FetchFileList stored;
  stored.location = g_currentList.location;
  stored.records = g_currentList.records;
  stored.count = static_cast<uint32_t>(stored.records.size());
  for (FetchFileRecord& r : stored.records) {
    if (r.needed == 0) r.listingLine[0] = '\0';
  }
  return WriteURLListFile(g_fetch.listPath, stored);
}

bool WriteURLListFile(const std::string& path, const FetchFileList& list) {
  std::string text = list.location + "\r\n";
  for (uint32_t i = 0; i < list.count && i < list.records.size(); ++i) {
    const FetchFileRecord& r = list.records[i];
    // The copy's name alone: it lives in the cache folder beside the list
    // file, wherever the profile folder is.
    const std::string local = r.localPath;
    const size_t cut = local.find_last_of("/\\");
    text += (cut == std::string::npos ? local : local.substr(cut + 1)) + "\r\n" + r.remotePath + "\r\n" +
            r.listingLine + "\r\n";
  }
  const KvFile file = kv::FileOpen(path.c_str(), kv::kFileWrite, kv::FileDisposition::kCreateAlways);
  if (file == KV_INVALID_FILE) return false;
  const bool ok = kv::FileWrite(file, text.data(), static_cast<uint32_t>(text.size()), nullptr);
  kv::FileClose(file);
  return ok;
}

void DeleteCachedCopy(const char* localPath, const std::string& folder) {
  if (localPath == nullptr || localPath[0] == '\0' || folder.empty()) return;
  const std::string path = localPath;
  // Only a plain file name directly inside the cache folder is ours.
  // Names are looked up without regard to case, so the folder is compared so.
  if (path.size() <= folder.size() || strncasecmp(path.c_str(), folder.c_str(), folder.size()) != 0) return;
  const std::string name = path.substr(folder.size());
  if (name.find_first_of("/\\") != std::string::npos || name == "." || name == "..") return;
  kv::FileDelete(path.c_str());
}

void DeleteDownloadedFiles(const char* listPath) {
  if (listPath == nullptr || listPath[0] == '\0') return;
  const std::string list = listPath;
  const std::string folder = ListCacheFolder(list);
  const std::string stem = folder.substr(0, folder.size() - 5);
  FetchFileList files;
  if (ReadURLListFile(list, &files)) {
    for (const FetchFileRecord& r : files.records) DeleteCachedCopy(r.localPath, folder);
  }
  kv::FileDelete(list.c_str());
  kv::RemoveFolder((stem + ".ftp").c_str());
}

// ---- what the report run reads -------------------------------------------------

bool RemoteCopyReady() { return g_fetch.ready != 0; }
std::string FetchedLogPath() { return g_fetch.fetchedPath; }

bool TakeFetchedRemoteLog(std::string* path) {
  const bool ready = g_fetch.ready != 0;
  g_fetch.ready = 0;
  if (ready && path != nullptr) *path = g_fetch.fetchedPath;
  return ready;
}

// ---- the URL window --------------------------------------------------------------

bool CreateURLWindow() {
  if (!ui::IsWindowClassRegistered(kUrlClass) && !ui::RegisterWindowClass(kUrlClass, URLWndProc)) return false;
  const KvWindow window = ui::CreateWindow(kUrlClass, kUrlTitle, kUrlStyle, 0);
  if (window == 0) return false;
  g_fetch.window = window;
  g_fetch.windowCreated = 1;
  return true;
}

void DestroyURLWindow() {
  if (g_fetch.windowCreated == 0) return;
  g_fetch.windowCreated = 0;
  const KvWindow window = g_fetch.window;
  g_fetch.window = 0;
  ui::DestroyWindow(window);
}

void AbortURLTransfer() {
  if (g_fetch.started == 0) return;
  g_fetch.started = 0;
  if (g_fetch.locationKind == kLocationHttp) {
    if (g_fetch.primarySocket != WS_INVALID_SOCKET) g_networkBinding.closesocket(g_fetch.primarySocket);
    g_fetch.primarySocket = WS_INVALID_SOCKET;
    return;
  }
  if (!NetworkAvailable()) return;
  if (g_fetch.busy != 0) {
    g_networkBinding.FtpAbort();
    // Let the module's end notification arrive and clear busy: the client's
    // yield callback runs its message loop, and the URL window's own
    // messages are dispatched here too, so the wait ends even when the
    // client has no callback. A module that never answers cannot hold the
    // caller for more than a few seconds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_fetch.busy != 0 && std::chrono::steady_clock::now() < deadline) {
      PumpUrlWindow();
      if (g_fetch.busy == 0) break;
      CallClientCallback(1, 0, nullptr, 0, 0, 0);
      PumpUrlWindow();
      if (g_fetch.busy != 0) ui::WaitMessage(20);
    }
  }
  if (g_networkBinding.FtpCloseConnection() != 0) g_networkBinding.FtpLocalClose();
}

}  // namespace vrn

using namespace vrn;

// ---- exports -----------------------------------------------------------------------

VORNIC_API KvResult URLWndProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam) {
  switch (message) {
    case kv::msg::Create:
      g_fetch.idleSeconds = 0;
      kv::ui::SetTimer(window, kUrlTimer, 1000);
      return 0;
    case kv::msg::Destroy:
      kv::ui::KillTimer(window, kUrlTimer);
      return 0;
    case kv::msg::Close:
      kv::ui::DestroyWindow(window);
      return 0;
    case kv::msg::Timer:
      if (wparam == kUrlTimer) {
        ++g_fetch.idleSeconds;
        if (g_fetch.idleSeconds > g_netSettings.transferTimeout) OnTimeout();
      }
      return 0;
    case VRN_URL_MSG_FTP_RECV:
      return OnFtpReceiveNotice(wparam, lparam);
    case VRN_URL_MSG_FTP_SEND:
      return OnFtpSendNotice(wparam, lparam);
    case VRN_URL_MSG_SOCKET:
      return OnHttpSocketEvent(wparam, lparam);
    default:
      return kv::ui::DefWindowProc(window, message, wparam, lparam);
  }
}

VORNIC_API int16_t VRN_OpenURL(KvWindow statusWindow, const char* profileFileName, KvGlobal* fetchHandle) {
  ClearURLErrorText();
  if (fetchHandle != nullptr) *fetchHandle = 0;
  // A fetch left open by its caller ends here: only one exists at a time.
  AbortURLTransfer();
  DestroyURLWindow();
  CloseLocalFile();
  g_fetch.statusWindow = statusWindow;
  if (profileFileName == nullptr || profileFileName[0] == '\0' || fetchHandle == nullptr) return -1;
  LoadNetworkSettings();

  const std::string name = profileFileName;
  DravelEntry profile{};
  const bool read = ReadDravelFile((ProfileDirectory() + name).c_str(), &profile) == DRAVEL_READ_OK;
  struct ProfileRelease {
    DravelEntry* p;
    ~ProfileRelease() {
      FreeFiltersForProfile(p);
      FreeMorvane(p->MorvaneIP);
      FreeMorvane(p->MorvaneAuthUser);
      p->MorvaneIP = p->MorvaneAuthUser = nullptr;
    }
  } release{&profile};
  if (!read) return -1;

  const std::string cache = CacheFolder(name);
  kv::CreateFolder(cache.c_str());
  g_fetch.cacheFolder = cache;
  g_fetch.fetchedPath = cache + "temp.log";
  const std::string listPath = ListFilePath(name);
  g_fetch.listPath = listPath;
  g_fetch.expectedBytes = 0;
  g_fetch.started = 0;
  g_fetch.windowCreated = 0;
  g_fetch.window = 0;
  g_fetch.ready = 0;
  g_fetch.busy = 0;
  g_fetch.primarySocket = g_fetch.secondSocket = WS_INVALID_SOCKET;

  SendStatusText(OpeningText(profile.LogFilePath));
  char path[kLogNameWidth] = "";
  char host[kLogNameWidth] = "";
  uint16_t port = 0;
  g_fetch.locationKind = ParseLogLocation(path, sizeof path, profile.LogFilePath, host, sizeof host, &port);

  if (g_fetch.locationKind != kLocationFtp && g_fetch.locationKind != kLocationHttp) {
    const KvGlobal handle = AllocFetchHandle(statusWindow);
    if (handle == 0) return -1;
    g_fetch.downloadMode = 0;
    g_fetch.fetchedPath = NormalizeLogPath(path, ProfileDirectory(), kv::Now());
    g_fetch.localFile = KV_INVALID_FILE;
    g_fetch.busy = 0;
    g_fetch.totalBytes = g_fetch.doneBytes = 0;
    *fetchHandle = handle;
    return 0;
  }

  // Without the socket and FTP modules nothing remote can be reached.
  if (!NetworkAvailable()) return -1;
  g_fetch.downloadMode = profile.IncrementalUpdate;
  const std::string expanded = NormalizeLogPath(path, ProfileDirectory(), kv::Now());
  if (g_fetch.firstFetchTimeNs == 0) g_fetch.firstFetchTimeNs = NowNs();
  bool listOpened = false;
  if (const KvFile f = kv::FileOpen(listPath.c_str(), kv::kFileRead, kv::FileDisposition::kOpenAlways);
      f != KV_INVALID_FILE) {
    kv::FileClose(f);
    listOpened = true;
  }
  const int64_t listTime = WriteTimeNs(listPath);
  g_currentList.Clear();
  ReadURLListFile(listPath, &g_previousList);

  // A record with an empty listing line was never fetched whole: it is
  // fetched again, whatever the mode.
  bool everyCopyWhole = true;
  for (const FetchFileRecord& r : g_previousList.records) everyCopyWhole = everyCopyWhole && r.listingLine[0] != '\0';
  bool onceReuse = g_fetch.downloadMode == 2 && g_previousList.count > 0 && listOpened &&
                   g_previousList.location == expanded && listTime > g_fetch.firstFetchTimeNs && everyCopyWhole;
  if (onceReuse) {
    SendStatusText(FileText(expanded.c_str()));
    g_fetch.fetchedPath = g_previousList.records[0].localPath;
    WriteURLListFile(listPath, g_previousList);
    g_fetch.ready = 1;
    g_fetch.busy = 0;
    g_fetch.doneBytes = g_fetch.totalBytes;
  } else {
    const int started = g_fetch.locationKind == kLocationFtp
                            ? StartFtpFetch(profile, name, expanded, host, port)
                            : StartHttpFetch(profile, name, expanded, host, port);
    if (started != 0) {
      g_currentList.Clear();
      g_previousList.Clear();
      return -1;
    }
  }

  const KvGlobal handle = AllocFetchHandle(statusWindow);
  g_fetch.downloadMode = profile.IncrementalUpdate;
  if (handle != 0) {
    g_fetch.localFile =
        kv::FileOpen(g_fetch.fetchedPath.c_str(), kv::kFileReadWrite, kv::FileDisposition::kOpenAlways);
  }
  if (handle == 0 || g_fetch.localFile == KV_INVALID_FILE) {
    SetURLErrorText(VRN_URL_ERR_LOCAL);
    g_fetch.localFile = KV_INVALID_FILE;
    AbortURLTransfer();
    DestroyURLWindow();
    g_fetch.busy = 0;
    g_fetch.ready = 0;
    if (handle != 0) kv::GlobalFree(handle);
    g_currentList.Clear();
    g_previousList.Clear();
    return -1;
  }
  const int64_t size = kv::FileSize(g_fetch.localFile);
  g_fetch.existingSize = size > 0 ? size : 0;
  g_fetch.fetchedPath = cache + "*.*";
  g_fetch.ready = 1;
  *fetchHandle = handle;
  return 0;
}

VORNIC_API int16_t VRN_PeekURL(void) {
  return g_fetch.busy != 0 || g_fetch.doneBytes < g_fetch.totalBytes ? 0 : -1;
}

VORNIC_API int16_t VRN_GetURLDonePercent(KvGlobal fetchHandle) {
  KvWindow window = g_fetch.statusWindow;
  HandleWindow(fetchHandle, &window);
  if (g_fetch.doneBytes != g_fetch.lastReportedDone) {
    char text[24];
    std::snprintf(text, sizeof text, "%ld",
                  static_cast<long>(static_cast<int32_t>(static_cast<uint32_t>(g_fetch.doneBytes))));
    g_fetch.lastReportedDone = g_fetch.doneBytes;
    if (window != 0) kv::ui::SendMessage(window, VRN_URL_MSG_DONE, 0, reinterpret_cast<KvLParam>(text));
  }
  if (g_fetch.totalBytes == 0) return 0;
  return static_cast<int16_t>(static_cast<uint16_t>(g_fetch.doneBytes * 100 / g_fetch.totalBytes));
}

VORNIC_API int16_t VRN_CloseURL(uint16_t clientSlot, KvGlobal fetchHandle, DravelEntry* profile) {
  KvWindow window = 0;
  const bool valid = HandleWindow(fetchHandle, &window);
  uint16_t kind = g_fetch.locationKind;
  if (profile != nullptr) {
    char path[kLogNameWidth] = "";
    kind = ParseLogLocation(path, sizeof path, profile->LogFilePath, nullptr, 0, nullptr);
  }
  if (valid && kind != kLocationLocal && window != 0) kv::ui::SendMessage(window, VRN_URL_MSG_CLOSE_BEGIN, 0, 0);
  // A transfer still running is cut off here: its copy is not whole.
  if (g_fetch.busy != 0) g_fetch.ready = 0;
  AbortURLTransfer();
  DestroyURLWindow();
  if (valid && kind != kLocationLocal && window != 0) {
    const bool odbc = profile != nullptr ? std::strncmp(profile->LogFilePath, "odbc:", 5) == 0
                                         : kind == kLocationOdbc;
    kv::ui::SendMessage(window, odbc ? VRN_URL_MSG_CLOSE_ODBC : VRN_URL_MSG_CLOSE_END, 0, 0);
  }
  CloseLocalFile();
  if (g_fetch.secondSocket != WS_INVALID_SOCKET && NetworkAvailable()) {
    g_networkBinding.closesocket(g_fetch.secondSocket);
  }
  g_fetch.secondSocket = WS_INVALID_SOCKET;
  g_fetch.busy = 0;
  int16_t result = 0;
  if (profile != nullptr) {
    if (GetProfileLogStatus(clientSlot, profile, g_fetch.fetchedPath.c_str(), nullptr, 0, 1) != 0) {
      profile->LogAvailable = 1;
    } else {
      profile->LogAvailable = 0;
      result = -1;
    }
  }
  if (fetchHandle != 0) kv::GlobalFree(fetchHandle);
  g_currentList.Clear();
  g_previousList.Clear();
  return result;
}

VORNIC_API char* VRN_GetURLErrMsg(char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return buffer;
  SetFetchText(buffer, size, URLErrorText());
  return buffer;
}
