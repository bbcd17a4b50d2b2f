// The FTP half of a remote log fetch: log on, list the files that the
// location names, decide which must be fetched again, give each a short
// local name in the profile's cache folder, and start the chain of receives
// that the URL window carries on.
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <vornic/profile.h>
#include <vornic/remote.h>

#include "engine/core/engine_state.h"
#include "engine/network/remote_logs.h"
#include "platform/base/files.h"
#include "platform/ftp4w32/ftp4w32.h"
#include "platform/netbind/netbind.h"

namespace vrn {

namespace {

// Splits a location path at every "|" and blank.
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

// Reads a listing file as lines, trailing carriage returns and line feeds
// cut. A listing beyond a few megabytes is cut there.
std::vector<std::string> ReadListing(const std::string& path) {
  std::vector<std::string> lines;
  const KvFile file = kv::FileOpen(path.c_str(), kv::kFileRead, kv::FileDisposition::kOpenExisting);
  if (file == KV_INVALID_FILE) return lines;
  std::string text;
  char chunk[4096];
  uint32_t got = 0;
  constexpr size_t kMaxListing = 8u << 20;
  while (kv::FileRead(file, chunk, sizeof chunk, &got) && got > 0 && text.size() < kMaxListing) {
    text.append(chunk, got);
  }
  kv::FileClose(file);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

bool ListingEmpty(const std::string& path) {
  kv::FileInfo info;
  return !kv::GetFileInfo(path.c_str(), &info) || info.size == 0;
}

bool OnlyBlanks(const std::string& text) { return text.find_first_not_of(" \t") == std::string::npos; }

// Size of a local file; false when it is not there.
bool LocalSize(const char* path, uint64_t* size) {
  kv::FileInfo info;
  if (path == nullptr || path[0] == '\0' || !kv::GetFileInfo(path, &info)) return false;
  *size = info.size;
  return true;
}

// A local copy is current when it exists and has exactly the size that the
// listing line gives: a copy cut short is fetched again, and so is one whose
// line gives no size to hold it against.
bool CopyMatchesListing(const char* localPath, const char* listingLine) {
  uint64_t local = 0;
  if (!LocalSize(localPath, &local)) return false;
  uint64_t remote = 0;
  return SizeFromListingLine(listingLine, &remote) && local == remote;
}

// The text after `fields` blank-separated fields of a line ("" when the line
// has fewer).
std::string AfterFields(const std::string& line, int fields) {
  size_t i = 0;
  for (int f = 0; f < fields; ++f) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) return std::string();
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
  }
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  return line.substr(i);
}

// The last part of a name that a server may give with its folder.
std::string BaseName(const std::string& name) {
  const size_t cut = name.find_last_of("/\\");
  return cut == std::string::npos ? name : name.substr(cut + 1);
}

// Local names are looked up without regard to case: names are compared so.
std::string FoldCase(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Starts the receive of record `index`; its result as FtpRecvFile gives it.
int32_t ReceiveRecord(uint32_t index) {
  const FetchFileRecord& record = g_currentList.records[index];
  uint64_t size = 0;
  g_fetch.expectedBytes = 0;
  if (SizeFromListingLine(record.listingLine, &size)) g_fetch.totalBytes = g_fetch.expectedBytes = size;
  g_fetch.busy = 1;
  g_fetch.doneBytes = 0;
  const int32_t receive = g_networkBinding.FtpRecvFile(record.remotePath, record.localPath, FTP_TYPE_BINARY, 1,
                                                       g_fetch.window, VRN_URL_MSG_FTP_RECV);
  if (receive != 0) return receive;
  // The size the server gives for the file itself beats the listing's.
  if (const int64_t bytes = g_networkBinding.FtpBytesToBeTransferred(); bytes > 0) {
    g_fetch.totalBytes = g_fetch.expectedBytes = static_cast<uint64_t>(bytes);
  }
  return 0;
}

// Ends the FTP session: QUIT, or a local close when that fails.
void CloseFtpSession() {
  if (g_networkBinding.FtpCloseConnection() != 0) g_networkBinding.FtpLocalClose();
}

}  // namespace

bool SizeFromListingLine(const char* line, uint64_t* size) {
  if (line == nullptr) return false;
  const size_t length = std::strlen(line);
  const bool dos = length > 16 && line[2] == '-' && line[5] == '-' && line[12] == ':' && line[16] == 'M';
  const int wanted = dos ? 2 : 4;
  int separators = 0;
  size_t i = 0;
  while (i < length) {
    if (line[i] != ' ') {
      ++i;
      continue;
    }
    while (i < length && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (++separators == wanted) {
      if (i >= length) return false;
      uint64_t value = 0;
      for (size_t k = 0; k < 19 && i + k < length && std::isdigit(static_cast<unsigned char>(line[i + k])); ++k) {
        value = value * 10 + static_cast<uint64_t>(line[i + k] - '0');
      }
      *size = value;
      return true;
    }
  }
  return false;
}

ListingEntry ParseListingLine(const std::string& line) {
  ListingEntry entry;
  const size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos) return entry;
  const bool dos = line.size() > 16 && line[2] == '-' && line[5] == '-' && line[12] == ':' && line[16] == 'M';
  if (dos) {
    // "MM-DD-YY  HH:MMxM  <DIR>|size  name"
    const std::string third = AfterFields(line, 2);
    entry.name = AfterFields(line, 3);
    entry.kind = third.compare(0, 5, "<DIR>") == 0 ? ListingEntry::kOther : ListingEntry::kFile;
  } else {
    // "perms links owner group size month day time|year name": only a plain
    // file ("-") is a log; folders, links and the "total N" line are not.
    entry.name = AfterFields(line, 8);
    entry.kind = line[first] == '-' ? ListingEntry::kFile : ListingEntry::kOther;
  }
  if (entry.name.empty()) entry.kind = ListingEntry::kNone;
  return entry;
}

int ListFtpDirectory(const std::string& /*profileFileName*/, const std::string& locationPath, FetchFileList* list,
                     FetchFileList* previous, uint32_t mode, std::vector<std::string>* missing) {
  list->Clear();
  list->location = locationPath.substr(0, 299);
  const NetworkLibraryBinding& ftp = g_networkBinding;
  char pwd[300] = "";
  const std::string current = ftp.FtpPWD(pwd, sizeof pwd) == 0 && pwd[0] != '\0' ? std::string(pwd) : "/";
  const std::string shortPath = ProfileDirectory() + "shortdir.ftp";
  const std::string longPath = ProfileDirectory() + "longdir.ftp";
  std::string lastDir = "/";
  // A listing is taken whole or not at all: a server that breaks one off
  // part-way names only some of the files, and the others would be taken
  // for gone.
  int32_t failure = 0;
  // NLST answers "no such file" (450, 550) for an entry that names nothing:
  // that entry is missing, any other failure fails the listing.
  const auto list_into = [&](const std::string& pattern, const std::string& file, int32_t longListing) {
    const int32_t rc = ftp.FtpDir(pattern.c_str(), file.c_str(), longListing, 0, 0);
    if (rc != 0 && rc != FTP_E_FILE_UNAVAILABLE && failure == 0) failure = rc;
    return rc == 0;
  };

  for (const std::string& entry : SplitEntries(locationPath)) {
    size_t sep = entry.rfind('/');
    if (sep == std::string::npos) sep = entry.rfind('\\');
    std::string pattern, directory;
    bool hasDirectory = true;
    if (sep != std::string::npos) {
      pattern = entry.substr(sep + 1);
      std::string before = entry.substr(0, sep);
      if (!before.empty() && (before[0] == '/' || before[0] == '\\')) before.erase(0, 1);
      directory = "/" + before;
    } else {
      pattern = entry;
      if (list->records.empty()) {
        directory = "/";
      } else {
        hasDirectory = false;  // the listing runs where the last entry was listed
      }
    }

    bool listed = false;
    if (hasDirectory) {
      bool entered = ftp.FtpCWD(directory.c_str()) == 0;
      if (entered) {
        lastDir = directory;
        listed = list_into(pattern, shortPath, 0);
      }
      if ((!entered || ListingEmpty(shortPath)) && current.size() > 1 && failure == 0) {
        // Not found as an absolute folder: try it below the logon folder.
        const std::string relative = directory == "/" ? current : current + directory;
        if (ftp.FtpCWD(relative.c_str()) == 0) {
          entered = true;
          lastDir = relative;
          listed = list_into(pattern, shortPath, 0);
        }
      }
      if (!entered) {
        // A folder that cannot be entered lists nothing: listing the folder
        // reached before would name files that are not in it.
        kv::FileDelete(shortPath.c_str());
        kv::FileDelete(longPath.c_str());
        if (missing != nullptr) missing->push_back(entry);
        continue;
      }
    } else {
      listed = list_into(pattern, shortPath, 0);
    }
    if (failure == 0 && listed) listed = list_into(pattern, longPath, 1);
    if (failure != 0) {
      kv::FileDelete(shortPath.c_str());
      kv::FileDelete(longPath.c_str());
      break;
    }

    // Each name with its own long line: servers need not give the two
    // listings in the same order, and the long one may hold lines of its
    // own ("total N").
    const std::vector<std::string> names = listed ? ReadListing(shortPath) : std::vector<std::string>();
    std::unordered_map<std::string, std::pair<std::string, ListingEntry::Kind>> lines;
    for (const std::string& line : listed ? ReadListing(longPath) : std::vector<std::string>()) {
      const ListingEntry parsed = ParseListingLine(line);
      if (parsed.kind != ListingEntry::kNone) lines.emplace(parsed.name, std::make_pair(line, parsed.kind));
    }
    size_t added = 0;
    for (const std::string& name : names) {
      if (OnlyBlanks(name)) continue;
      const std::string base = BaseName(name);
      FetchFileRecord r;
      const auto line = lines.find(base);
      if (line != lines.end() && line->second.second != ListingEntry::kFile) continue;  // a folder or link
      // A name the long listing does not show keeps its name as its line:
      // a line without a size, so its copy is never taken for current.
      SetFetchText(r.listingLine, line != lines.end() ? line->second.first : base);
      const std::string prefix = !lastDir.empty() && lastDir.back() == '/' ? lastDir : lastDir + "/";
      SetFetchText(r.remotePath, 99, prefix + base);
      bool duplicate = false;
      for (const FetchFileRecord& accepted : list->records) {
        if (std::strcmp(accepted.remotePath, r.remotePath) == 0) {
          duplicate = true;
          break;
        }
      }
      ++added;
      if (!duplicate) list->records.push_back(r);
    }
    if (added == 0 && missing != nullptr) missing->push_back(entry);
    kv::FileDelete(shortPath.c_str());
    kv::FileDelete(longPath.c_str());
  }
  list->count = static_cast<uint32_t>(list->records.size());
  if (failure != 0) {
    list->Clear();
    return failure;
  }

  if (previous != nullptr) {
    for (const FetchFileRecord& old : previous->records) {
      FetchFileRecord* match = nullptr;
      for (FetchFileRecord& r : list->records) {
        if (std::strcmp(r.remotePath, old.remotePath) == 0) {
          match = &r;
          break;
        }
      }
      if (match == nullptr) {
        DeleteCachedCopy(old.localPath, g_fetch.cacheFolder);  // gone from the server
        continue;
      }
      SetFetchText(match->localPath, old.localPath);
      if (mode == 1 && std::strcmp(match->listingLine, old.listingLine) == 0 &&
          CopyMatchesListing(old.localPath, old.listingLine)) {
        match->needed = 1;
      }
    }
  }
  return 0;
}

void MakeLocalFetchName(const std::string& profileFileName, FetchFileList* list) {
  const std::string folder = CacheFolder(profileFileName);
  std::vector<FetchFileRecord>& records = list->records;
  // Every name in use, case folded, and per numbered form the first counter
  // not yet known to be taken: names are only added while naming, so a
  // counter once found taken stays taken and the scan resumes after it.
  std::unordered_set<std::string> used;
  for (const FetchFileRecord& r : records) {
    if (r.localPath[0] != '\0') used.insert(FoldCase(r.localPath));
  }
  std::unordered_map<std::string, uint32_t> nextCounter;
  for (FetchFileRecord& record : records) {
    if (record.localPath[0] != '\0') continue;
    const std::string remote = record.remotePath;
    size_t cut = remote.rfind('/');
    if (cut == std::string::npos) cut = remote.rfind('\\');
    std::string name = cut == std::string::npos ? remote : remote.substr(cut);
    if (!name.empty() && (name[0] == '/' || name[0] == '\\')) name.erase(0, 1);
    const std::string stem = name.substr(0, name.find('.'));
    const size_t lastDot = name.rfind('.');
    const std::string extension = lastDot == std::string::npos ? std::string() : name.substr(lastDot + 1);
    const std::string extension3 = extension.substr(0, 3);

    // Names are compared as the record stores them.
    const auto stored = [](const std::string& path) { return FoldCase(path.substr(0, kFetchLocalWidth - 1)); };
    std::string local = folder + stem.substr(0, 8) + "." + extension3;
    if (used.count(stored(local)) != 0) {
      const std::string head = folder + stem.substr(0, 4);
      const std::string tail = "." + extension3;
      uint32_t& counter = nextCounter[FoldCase(head + "\n" + tail)];
      for (;; ++counter) {
        char number[16];
        std::snprintf(number, sizeof number, "%04u", counter);
        local = head + number + tail;
        if (used.count(stored(local)) == 0) break;
      }
    }
    SetFetchText(record.localPath, local);
    used.insert(FoldCase(record.localPath));
  }
}

int StartFtpFetch(const DravelEntry& profile, const std::string& profileFileName, const std::string& path,
                  const std::string& host, uint16_t port) {
  const NetworkLibraryBinding& ftp = g_networkBinding;
  ftp.FtpSetSynchronousMode();
  ftp.FtpSetDefaultPort(port);
  ftp.FtpSetDefaultTimeOut(120);
  SendStatusText(LogonText(profile.LogFileUsername, host.c_str()));
  const int32_t logon = ftp.FtpLogin(host.c_str(), profile.LogFileUsername, profile.LogFilePassword, 0, 0);
  if (logon != 0) {
    SetFtpErrorText(logon);
    ftp.FtpLocalClose();
    return -1;
  }
  // The setting holds for every data connection, the listings' too.
  ftp.FtpSetPassiveMode(g_netSettings.ftpPassive != 0 ? 1 : 0);

  SendStatus(VRN_URL_MSG_LISTING, 0);
  std::vector<std::string> missing;
  if (const int listed =
          ListFtpDirectory(profileFileName, path, &g_currentList, &g_previousList, g_fetch.downloadMode, &missing);
      listed != 0) {
    // The run is refused and the cache and its list file stay as they were.
    SetFtpErrorText(listed == FTP_E_TRANSFER_FAILED || listed == FTP_E_CONNECTION_LOST ? VRN_URL_ERR_LISTING
                                                                                       : listed);
    CloseFtpSession();
    return -1;
  }
  for (const std::string& entry : missing) WarnMissingEntry(entry);
  MakeLocalFetchName(profileFileName, &g_currentList);
  const std::string listPath = ListFilePath(profileFileName);
  g_fetch.listPath = listPath;
  WriteFetchProgress();
  if (g_currentList.count == 0) {
    SetURLErrorText(VRN_URL_ERR_NO_FILES);
    CloseFtpSession();
    return -1;
  }

  g_fetch.ready = 1;
  g_fetch.fetchedPath = g_currentList.records[0].localPath;
  uint32_t index = 0;
  for (; index < g_currentList.count; ++index) {
    SendStatusText(FileText(g_currentList.records[index].remotePath));
    if (g_currentList.records[index].needed == 0) break;
  }
  g_fetch.recordIndex = index;
  if (index >= g_currentList.count) {
    // Every copy is current: nothing to fetch, and the session is done.
    CloseFtpSession();
    g_fetch.doneBytes = g_fetch.totalBytes;
    return 0;
  }

  uint64_t size = 0;
  if (SizeFromListingLine(g_currentList.records[index].listingLine, &size)) g_fetch.totalBytes = size;
  if (!CreateURLWindow()) {
    g_fetch.ready = 0;
    CloseFtpSession();
    return -1;
  }
  ftp.FtpSetAsynchronousMode();
  g_fetch.started = 1;
  const int32_t receive = ReceiveRecord(index);
  if (receive != 0) {
    SetFtpErrorText(receive);
    g_fetch.ready = 0;
    g_fetch.busy = 0;
    g_fetch.started = 0;
    kv::FileDelete(g_fetch.fetchedPath.c_str());
    kv::FileDelete(listPath.c_str());
    CloseFtpSession();
    DestroyURLWindow();
    return -1;
  }
  return 0;
}

KvResult OnFtpReceiveNotice(KvWParam wparam, KvLParam lparam) {
  if (wparam != FTP_NOTIFY_END) {
    if (static_cast<int64_t>(lparam) > static_cast<int64_t>(g_fetch.doneBytes)) {
      g_fetch.idleSeconds = 0;
      g_fetch.doneBytes = static_cast<uint64_t>(lparam);
    }
    return 0;
  }
  g_fetch.idleSeconds = 0;
  // The file just received: whole only when the module reports no error and
  // the copy reached the size the server gave. Anything less is not to be
  // analysed, and its listing line stays out of the list file so that the
  // next fetch takes it again.
  if (g_fetch.recordIndex < g_currentList.count) {
    FetchFileRecord& record = g_currentList.records[g_fetch.recordIndex];
    uint64_t size = 0;
    const bool present = LocalSize(record.localPath, &size);
    if (lparam != 0) {
      SetFtpErrorText(static_cast<int32_t>(lparam));
      g_fetch.ready = 0;
    } else if (!present || size < g_fetch.expectedBytes) {
      SetURLErrorText(VRN_URL_ERR_SHORT);
      g_fetch.ready = 0;
    } else {
      record.needed = 2;
      WriteFetchProgress();
    }
  }
  g_fetch.totalBytes = g_fetch.doneBytes = LocalFileSize();

  uint32_t index = g_fetch.recordIndex + 1;
  for (; index < g_currentList.count; ++index) {
    SendStatusText(FileText(g_currentList.records[index].remotePath));
    if (g_currentList.records[index].needed == 0) break;
  }
  g_fetch.recordIndex = index;
  if (g_fetch.started == 0 || index >= g_currentList.count) {
    g_fetch.busy = 0;
    AbortURLTransfer();
    return 0;
  }

  const int32_t receive = ReceiveRecord(index);
  if (receive != 0) {
    SetFtpErrorText(receive);
    g_fetch.busy = 0;
    g_fetch.ready = 0;
    g_fetch.totalBytes = g_fetch.doneBytes;  // over: VRN_PeekURL must say so
    AbortURLTransfer();
    return 0;
  }
  return 0;
}

}  // namespace vrn
