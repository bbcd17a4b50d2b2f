// ZIP logs: recognition, extraction through the unzip module, the record of
// extracted members in KV_ZIP.INI, deletion and path helpers.
#include "engine/core/zip_extract.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/core/engine_state.h"
#include "engine/core/log_source.h"
#include "engine/core/profile.h"
#include "platform/base/files.h"
#include "platform/base/ini.h"
#include "platform/base/ini_detail.h"
#include "platform/base/paths.h"
#include "platform/dunzip32/dunzip.h"
#include "platform/module/module.h"
#include "platform/ui/window.h"

namespace vrn {

namespace {

constexpr uint32_t kZipErrorText = 5716;
constexpr uint32_t kProgressPercentMessage = 1024;
constexpr uint32_t kProgressTitleMessage = 1044;

// Text after the last "\", "/" or ":" (the whole text when none).
std::string FilePart(const std::string& path) {
  const size_t cut = path.find_last_of("\\/:");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// INI names may hold no line break; a section no "]"; a key no "=" and no
// leading "[", ";" or blank. Such characters become "_" (the member index
// that ends each key keeps keys apart, and the stamp names the index).
std::string SafeSection(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c == '\r' || c == '\n' || c == ']') c = '_';
  }
  return out;
}

std::string SafeKey(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c == '\r' || c == '\n' || c == '=') c = '_';
  }
  if (!out.empty() && (out[0] == '[' || out[0] == ';' || out[0] == ' ' || out[0] == '\t')) out[0] = '_';
  return out;
}

// Whether two names reach the same file: lookups ignore case, so the record
// of a member may name its current copy in another spelling.
bool SameFile(const std::string& a, const std::string& b) {
  return a == b || kv::ResolvePath(a) == kv::ResolvePath(b);
}

std::string MemberKey(const char* memberName, uint32_t memberIndex) {
  return SafeKey(std::string(memberName != nullptr ? memberName : "") + std::to_string(memberIndex));
}

// What identifies the archive's present content: its size, last-write time
// and the member's index.
std::string ArchiveStamp(const char* archivePath, uint32_t memberIndex) {
  kv::FileInfo info;
  if (!kv::GetFileInfo(archivePath, &info) || info.folder) return std::string();
  return std::to_string(info.size) + " " + std::to_string(static_cast<long long>(info.writeTime)) + " " +
         std::to_string(memberIndex);
}

bool EnsureFolder(const std::string& folder) {
  if (kv::FolderExists(folder.c_str())) return true;
  // Create each missing level.
  for (size_t pos = 1; pos <= folder.size(); ++pos) {
    if (pos != folder.size() && folder[pos] != '/') continue;
    const std::string part = folder.substr(0, pos);
    if (!part.empty() && !kv::FolderExists(part.c_str())) kv::CreateFolder(part.c_str());
  }
  return kv::FolderExists(folder.c_str());
}

// String `id` of the client's texts with its "%s" replaced by path (left as
// it is when path is null).
std::string TextWithPath(uint32_t id, const char* path) {
  std::string text = LoadResString(id);
  const size_t at = text.find("%s");
  if (path != nullptr && at != std::string::npos) text.replace(at, 2, path);
  return text;
}

// One extraction's callbacks.
struct ExtractionContext {
  std::string outputPath;
};

int32_t ProgressCallback(void* /*user*/, uint32_t percent) {
  SendExtractionPercent(percent);
  return PumpAndCheckCancel() ? 1 : 0;
}

int32_t NameCallback(void* user, char* out, uint32_t size) {
  auto* context = static_cast<ExtractionContext*>(user);
  if (context == nullptr || out == nullptr || size == 0 || context->outputPath.size() >= size) return 0;
  CopyToField(out, size, context->outputPath);
  return 1;
}

// The unzip module, loaded for one extraction call.
class UnzipModule {
 public:
  UnzipModule() {
    module_ = KvLoadModule("DUNZIP32.DLL");
    if (module_ != nullptr) fn_ = reinterpret_cast<DunzipFn>(KvGetProcAddress(module_, "dunzip"));
  }
  ~UnzipModule() {
    if (module_ != nullptr) KvFreeModule(module_);
  }
  UnzipModule(const UnzipModule&) = delete;
  UnzipModule& operator=(const UnzipModule&) = delete;
  DunzipFn fn() const { return fn_; }

 private:
  KvModule module_ = nullptr;
  DunzipFn fn_ = nullptr;
};

void NewRequest(DunzipRequest* r, uint32_t action, const char* archivePath) {
  std::memset(r, 0, sizeof(*r));
  r->structSize = sizeof(*r);
  r->action = action;
  r->archivePath = archivePath;
}

}  // namespace

// ---- recognition -------------------------------------------------------------

uint16_t ClassifyLogArchive(const char* path) {
  if (path == nullptr || path[0] == 0) return kArchivePlain;
  // A FIFO or device is not opened here (the open would wait for a writer);
  // the run refuses it as no regular file.
  struct stat st;
  if (stat(kv::ResolvePath(path).c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return kArchivePlain;
  const KvFile file = kv::FileOpen(path, kv::kFileRead, kv::FileDisposition::kOpenExisting);
  if (file == KV_INVALID_FILE) return kArchivePlain;
  unsigned char head[256] = {};
  uint32_t got = 0;
  uint16_t kind = kArchivePlain;
  if (kv::FileRead(file, head, sizeof(head), &got)) {
    if (got >= 3 && head[0] == 0x1F && head[1] == 0x8B && head[2] == 0x08) {
      kind = kArchiveGzip;
    } else if (got >= 2 && ((head[0] == 'P' && head[1] == 'K') || (head[0] == 'M' && head[1] == 'Z'))) {
      // A ZIP archive (also one behind a self-extractor) ends with its
      // central directory: at least two "PK" signatures in the last bytes.
      const int64_t size = kv::FileSize(file);
      unsigned char tail[256] = {};
      uint32_t tailGot = 0;
      const int64_t from = size > 256 ? size - 256 : 0;
      if (size > 0 && kv::FileSeek(file, from, kv::kSeekBegin) == from && kv::FileRead(file, tail, 256, &tailGot)) {
        int places = 0;
        for (uint32_t i = 0; i + 1 < tailGot && places < 2; ++i) {
          if (tail[i] == 'P' && tail[i + 1] == 'K') ++places;
        }
        if (places >= 2) kind = kArchiveZip;
      }
      // A ZIP archive's first member header: an archive cut short (without
      // its central directory) is still one, which its extraction refuses as
      // damaged, never a plain log.
      if (got >= 4 && head[0] == 'P' && head[1] == 'K' && head[2] == 3 && head[3] == 4) kind = kArchiveZip;
    }
  }
  kv::FileClose(file);
  return kind;
}

// ---- the temporary ZIP folder and its record -------------------------------

std::string TempZipFolder(const char* profileName, bool create) {
  std::string name = FilePart(profileName != nullptr ? profileName : "");
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.resize(dot);
  const std::string folder = DatfilesPath() + name + ".ZIP/";
  if (create) EnsureFolder(folder.substr(0, folder.size() - 1));
  return folder;
}

bool LookUpUnzipList(const char* profileName, const char* archivePath, const char* memberName, std::string* outPath,
                     uint32_t memberIndex) {
  if (outPath != nullptr) outPath->clear();
  if (archivePath == nullptr || outPath == nullptr) return false;
  const std::string folder = TempZipFolder(profileName, true);
  const std::string ini = folder + "KV_ZIP.INI";
  const std::string section = SafeSection(archivePath);
  const std::string key = MemberKey(memberName, memberIndex);

  const std::string recorded = kv::IniString(section.c_str(), key.c_str(), "", ini.c_str());
  const std::string stamp = kv::IniString(section.c_str(), (key + ".stamp").c_str(), "", ini.c_str());
  const std::string current = ArchiveStamp(archivePath, memberIndex);
  if (!recorded.empty() && recorded.size() < kLogNameWidth && !current.empty() && stamp == current) {
    kv::FileInfo info;
    if (kv::GetFileInfo(recorded.c_str(), &info) && !info.folder) {
      *outPath = recorded;
      return true;
    }
  }

  const uint32_t n = static_cast<uint32_t>(kv::IniGetInt("Main", "NumUnzippedFiles", 0, ini.c_str())) + 1;
  char number[16];
  std::snprintf(number, sizeof(number), "%lu", static_cast<unsigned long>(n));
  kv::IniWriteString("Main", "NumUnzippedFiles", number, ini.c_str());
  *outPath = folder + "UNZIP" + std::to_string(n) + ".LOG";
  return false;
}

bool RecordUnzippedMember(const char* profileName, const char* archivePath, const char* memberName,
                          const std::string& extractedPath, uint32_t memberIndex) {
  if (archivePath == nullptr) return false;
  const std::string folder = TempZipFolder(profileName, true);
  const std::string ini = folder + "KV_ZIP.INI";
  const std::string section = SafeSection(archivePath);
  const std::string key = MemberKey(memberName, memberIndex);
  const std::string stamp = ArchiveStamp(archivePath, memberIndex);
  if (stamp.empty()) return false;
  const std::string previous = kv::IniString(section.c_str(), key.c_str(), "", ini.c_str());
  const std::string previousStamp = kv::IniString(section.c_str(), (key + ".stamp").c_str(), "", ini.c_str());
  // The path first, then the stamp: a record cut short between the two
  // does not match and the member is extracted again.
  if (!kv::IniWriteString(section.c_str(), key.c_str(), extractedPath.c_str(), ini.c_str())) return false;
  if (!kv::IniWriteString(section.c_str(), (key + ".stamp").c_str(), stamp.c_str(), ini.c_str())) return false;
  // The copy of an earlier content of the same member is of no further use.
  // (Another member whose name and index spell the same key keeps its copy.)
  const std::string sameMember = " " + std::to_string(memberIndex);
  const bool ofThisMember = previousStamp.size() > sameMember.size() &&
                            previousStamp.compare(previousStamp.size() - sameMember.size(), sameMember.size(),
                                                  sameMember) == 0;
  if (ofThisMember && !previous.empty() && !SameFile(previous, extractedPath) &&
      previous.compare(0, folder.size(), folder) == 0 && previous.find('/', folder.size()) == std::string::npos) {
    kv::FileDelete(previous.c_str());
  }
  return true;
}

// ---- the record of one archive, kept in memory over its extraction ----------

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

std::string TrimmedText(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  return text.substr(b, e - b);
}

// KV_ZIP.INI's section of one archive and its counter, read once when the
// extraction starts and written back once when it ends: a member's lookup
// and record each read and rewrote the whole growing file before, so that
// the time grew with the square of the members. The lookups and records
// mean what LookUpUnzipList and RecordUnzippedMember mean.
class ArchiveRecord {
 public:
  ArchiveRecord(const char* profileName, const char* archivePath)
      : archive_(archivePath),
        folder_(TempZipFolder(profileName, true)),
        ini_(folder_ + "KV_ZIP.INI"),
        section_(SafeSection(archivePath)) {
    for (auto& kv : kv::IniSection(section_.c_str(), ini_.c_str())) Set(kv.first, kv.second, false);
    unzipped_ = static_cast<uint32_t>(kv::IniGetInt("Main", "NumUnzippedFiles", 0, ini_.c_str()));
  }

  bool LookUp(const char* memberName, uint32_t memberIndex, std::string* outPath) {
    outPath->clear();
    const std::string key = MemberKey(memberName, memberIndex);
    const std::string recorded = Get(key);
    const std::string current = ArchiveStamp(archive_.c_str(), memberIndex);
    if (!recorded.empty() && recorded.size() < kLogNameWidth && !current.empty() && Get(key + ".stamp") == current) {
      kv::FileInfo info;
      if (kv::GetFileInfo(recorded.c_str(), &info) && !info.folder) {
        *outPath = recorded;
        return true;
      }
    }
    // A new name; the counter is written before a copy by that name can be
    // recorded, so that no recorded copy is ever overwritten.
    ++unzipped_;
    counterChanged_ = true;
    *outPath = folder_ + "UNZIP" + std::to_string(unzipped_) + ".LOG";
    return false;
  }

  void Record(const char* memberName, uint32_t memberIndex, const std::string& extractedPath) {
    const std::string key = MemberKey(memberName, memberIndex);
    const std::string stamp = ArchiveStamp(archive_.c_str(), memberIndex);
    if (stamp.empty()) return;
    const std::string previous = Get(key);
    const std::string previousStamp = Get(key + ".stamp");
    Set(key, extractedPath, true);
    Set(key + ".stamp", stamp, true);
    // The copy of an earlier content of the same member is of no further
    // use once the record no longer names it.
    const std::string sameMember = " " + std::to_string(memberIndex);
    const bool ofThisMember = previousStamp.size() > sameMember.size() &&
                              previousStamp.compare(previousStamp.size() - sameMember.size(), sameMember.size(),
                                                    sameMember) == 0;
    if (ofThisMember && !previous.empty() && !SameFile(previous, extractedPath) &&
        previous.compare(0, folder_.size(), folder_) == 0 && previous.find('/', folder_.size()) == std::string::npos) {
      stale_.push_back(previous);
    }
  }

  // Writes the section and the counter back in one edit of the file.
  void Write() {
    if (!changed_ && !counterChanged_) return;
    const bool written = kv::ini::EditFile(kv::IniFilePath(ini_.c_str()), true, [this](std::string& text) {
      const std::string eol = text.find("\r\n") != std::string::npos || text.empty() ? "\r\n" : "\n";
      kv::ini::Document doc(text);
      doc.SetValue("Main", "NumUnzippedFiles", std::to_string(unzipped_));
      const std::string wanted = Lower(section_);
      doc.DeleteSections([&wanted](std::string_view name) { return Lower(std::string(name)) == wanted; });
      std::string out = doc.Text();
      if (!out.empty() && out.back() != '\n') out += eol;
      out += "[" + section_ + "]" + eol;
      for (const auto& kv : values_) out += kv.first + "=" + kv.second + eol;
      text = std::move(out);
      return true;
    });
    if (!written) return;
    changed_ = counterChanged_ = false;
    for (const std::string& path : stale_) kv::FileDelete(path.c_str());
    stale_.clear();
  }

 private:
  std::string Get(const std::string& key) const {
    const auto at = index_.find(Lower(key));
    return at == index_.end() ? std::string() : values_[at->second].second;
  }
  void Set(const std::string& key, const std::string& value, bool change) {
    const std::string name = TrimmedText(key);
    const auto at = index_.find(Lower(name));
    if (at == index_.end()) {
      index_.emplace(Lower(name), values_.size());
      values_.emplace_back(name, value);
    } else {
      values_[at->second].second = value;
    }
    changed_ = changed_ || change;
  }

  std::string archive_, folder_, ini_, section_;
  std::vector<std::pair<std::string, std::string>> values_;  // in file order
  std::unordered_map<std::string, size_t> index_;             // lower-cased key -> values_
  std::vector<std::string> stale_;
  uint32_t unzipped_ = 0;
  bool changed_ = false;
  bool counterChanged_ = false;
};

}  // namespace

// ---- the list ----------------------------------------------------------------

bool AppendExtractedEntry(const std::string& path, LogNameEntry*** list, uint16_t* count) {
  kv::FileInfo info;
  if (!kv::GetFileInfo(path.c_str(), &info) || info.folder) return false;
  return AppendLogNameEntry(list, count, kExtractedLogMarker + path, info.size, LogWriteTime(info.writeTime));
}

std::string PrepareExtractionFolder(const char* profileName, const char* archivePath, uint32_t errorId) {
  const std::string folder = TempZipFolder(profileName, true);
  if (kv::FolderExists(folder.c_str())) return folder;
  ShowExtractionError(errorId, archivePath);
  return std::string();
}

void SendExtractionPercent(uint32_t percent) {
  if (g_engine.progressWindow != 0) kv::ui::SendMessage(g_engine.progressWindow, kProgressPercentMessage, percent, 0);
}

void ShowExtractionStart(const char* archivePath) {
  if (g_engine.progressWindow == 0) return;
  const std::string fileName = FilePart(archivePath != nullptr ? archivePath : "");
  SendExtractionPercent(0);
  kv::ui::SendMessage(g_engine.progressWindow, kProgressTitleMessage, 0, reinterpret_cast<KvLParam>(fileName.c_str()));
}

void ShowExtractionError(uint32_t id, const char* path) {
  DisplayReportError(TextWithPath(id, path != nullptr ? path : "").c_str());
}

bool PumpAndCheckCancel() {
  kv::ui::Message message;
  while (kv::ui::PeekMessage(&message, 0, 0, 0, kv::ui::PeekRemove)) {
    if (message.message == kv::msg::Quit) {
      // Leave the quit for the client's own loop.
      kv::ui::PostQuitMessage(static_cast<int32_t>(message.wparam));
      break;
    }
    kv::ui::TranslateMessage(&message);
    kv::ui::DispatchMessage(&message);
  }
  return g_engine.cancelWord != nullptr && *g_engine.cancelWord != 0;
}

// ---- ZIP extraction --------------------------------------------------------

LogNameEntry** ExtractZipLog(const char* profileName, uint32_t /*callerValue*/, const char* archivePath,
                             LogNameEntry** list, uint16_t* count) {
  uint16_t dummy = 0;
  if (count == nullptr) count = &dummy;
  if (archivePath == nullptr || archivePath[0] == 0) return list;
  if (PrepareExtractionFolder(profileName, archivePath, kZipErrorText).empty()) return list;
  UnzipModule unzip;
  if (unzip.fn() == nullptr) {
    ShowExtractionError(kZipErrorText, archivePath);
    return list;
  }
  DunzipRequest request;
  NewRequest(&request, DUNZIP_ACTION_COUNT, archivePath);
  if (unzip.fn()(&request) != DUNZIP_OK || request.memberCount == 0) {
    ShowExtractionError(kZipErrorText, archivePath);
    return list;
  }
  const uint32_t members = request.memberCount;
  bool progressShown = false;
  ArchiveRecord record(profileName, archivePath);

  for (uint32_t index = 0; index < members; ++index) {
    NewRequest(&request, DUNZIP_ACTION_MEMBER_INFO, archivePath);
    request.memberIndex = index;
    if (unzip.fn()(&request) != DUNZIP_OK) {
      ShowExtractionError(kZipErrorText, archivePath);
      break;
    }
    if (request.isFolder != 0) continue;  // nothing to list
    const std::string memberName = request.memberName;

    std::string path;
    if (!record.LookUp(memberName.c_str(), index, &path)) {
      if (!progressShown) ShowExtractionStart(archivePath);
      progressShown = true;
      ExtractionContext context;
      context.outputPath = path;
      NewRequest(&request, DUNZIP_ACTION_EXTRACT, archivePath);
      request.memberIndex = index;
      request.outputPath = path.c_str();
      request.overwrite = 1;
      request.progress = ProgressCallback;
      request.nameCallback = NameCallback;
      request.user = &context;
      const int32_t result = unzip.fn()(&request);
      if (result == DUNZIP_CANCELLED) break;
      if (result != DUNZIP_OK && result != DUNZIP_NOTHING_TO_EXTRACT && result != DUNZIP_KEPT_EXISTING) {
        ShowExtractionError(kZipErrorText, archivePath);
        break;
      }
      if (!kv::PathExists(path.c_str())) continue;
      record.Record(memberName.c_str(), index, path);
    }
    if (!AppendExtractedEntry(path, &list, count)) {
      ShowExtractionError(kZipErrorText, archivePath);
      break;
    }
  }
  record.Write();
  if (progressShown) SendExtractionPercent(100);
  return list;
}

// ---- path helpers ------------------------------------------------------------

void GetPathFolder(const char* path, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  const std::string text = path != nullptr ? path : "";
  const size_t cut = text.find_last_of("\\/:");
  CopyToField(out, size, cut == std::string::npos ? std::string() : text.substr(0, cut));
}

void GetPathFileName(const char* path, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  const std::string text = path != nullptr ? path : "";
  const size_t cut = text.find_last_of("\\/:");
  CopyToField(out, size, cut == std::string::npos ? text : text.substr(cut + 1));
}

void GetPathExtension(const char* path, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  const std::string text = path != nullptr ? path : "";
  const size_t cut = text.find_last_of("\\/:");
  const std::string name = cut == std::string::npos ? text : text.substr(cut + 1);
  const size_t dot = name.find_last_of('.');
  CopyToField(out, size, dot == std::string::npos ? std::string() : name.substr(dot));
}

char* CutAtLastDot(char* text) {
  if (text == nullptr) return nullptr;
  char* dot = std::strrchr(text, '.');
  if (dot != nullptr) *dot = 0;
  return dot;
}

// ---- report file copies --------------------------------------------------

namespace {

std::string ReferenceFolder(const char* reference) {
  const std::string text = reference != nullptr ? reference : "";
  const size_t cut = text.find_last_of("\\/:");
  return cut == std::string::npos ? text : text.substr(0, cut + 1);
}

void SetSummaryError(uint32_t id, const std::string* path) {
  g_engine.summaryErrorText = TextWithPath(id, path != nullptr ? path->c_str() : nullptr);
}

}  // namespace

int CopyReportFile(const char* sourceRef, const char* fileName, const char* destRef) {
  const std::string name = fileName != nullptr ? fileName : "";
  const std::string source = ReferenceFolder(sourceRef) + name;
  const std::string dest = ReferenceFolder(destRef) + name;
  const KvFile in = kv::FileOpen(source.c_str(), kv::kFileRead, kv::FileDisposition::kOpenExisting);
  if (in == KV_INVALID_FILE) {
    SetSummaryError(5591, &source);
    return 0;
  }
  const KvFile out = kv::FileOpen(dest.c_str(), kv::kFileWrite, kv::FileDisposition::kCreateAlways);
  if (out == KV_INVALID_FILE) {
    kv::FileClose(in);
    SetSummaryError(5592, &dest);
    return 0;
  }
  constexpr uint32_t kPiece = 2048;
  auto* buffer = static_cast<char*>(std::malloc(kPiece));
  // 5595 is the engine's "not enough memory" text and 5593 its "error
  // reading" text, as the report writer uses them.
  uint32_t failure = buffer == nullptr ? 5595 : 0;
  while (failure == 0) {
    uint32_t got = 0;
    if (!kv::FileRead(in, buffer, kPiece, &got)) {
      failure = 5593;
      break;
    }
    if (got == 0) break;
    uint32_t written = 0;
    if (!kv::FileWrite(out, buffer, got, &written) || written != got) failure = 5594;
  }
  std::free(buffer);
  kv::FileClose(in);
  const bool closed = kv::FileClose(out);
  if (failure == 0 && !closed) failure = 5594;
  if (failure != 0) {
    kv::FileDelete(dest.c_str());
    SetSummaryError(failure, nullptr);
    return 0;
  }
  return 1;
}

}  // namespace vrn

// ---- exports -----------------------------------------------------------------

int32_t VRN_DeleteFiles(const char* folder, const char* pattern) {
  const std::string whole = std::string(folder != nullptr ? folder : "") + (pattern != nullptr ? pattern : "");
  if (whole.empty()) return -1;
  const std::vector<kv::FileInfo> found = kv::FindFiles(whole.c_str());
  if (found.empty()) return -1;
  // The names found lie in the folder part of the whole pattern.
  const size_t cut = whole.find_last_of("\\/:");
  const std::string base = cut == std::string::npos ? std::string() : whole.substr(0, cut + 1);
  for (const kv::FileInfo& info : found) {
    if (!info.folder) kv::FileDelete((base + info.name).c_str());
  }
  return 1;
}

int32_t VRN_DeleteTempZIPFiles(const char* profileName) {
  return VRN_DeleteFiles(vrn::TempZipFolder(profileName, false).c_str(), "*.*");
}
