// kvm-log: runs a profile of the analysis engine over a time window from the
// command line, as the log analysis plug-in does: registers with the engine
// and the English texts, lists profiles, runs one in a chosen kind, printing
// the record count or the text view, or writes its analysis report. A
// profile whose log lies on an FTP or HTTP server has it fetched first.
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <sql.h>
#include <sqlext.h>
#include <vornic/vornic.h>

#include "platform/base/ini.h"
#include "platform/base/memory.h"
#include "platform/module/module.h"
#include "platform/ui/window.h"

namespace {

enum ExitCode {
  kExitOk = 0,
  kExitUsage = 1,
  kExitUnknownProfile = 2,
  kExitLogs = 3,
  kExitBadWindow = 4,
  kExitFailed = 5,
  kExitCancelled = 130,
};

volatile sig_atomic_t g_cancel = 0;
void OnInterrupt(int) { g_cancel = 1; }

const char kUsage[] =
    "Usage: kvm-log [options] list\n"
    "       kvm-log [options] run PROFILE\n"
    "       kvm-log [options] report PROFILE\n"
    "       kvm-log [options] update PROFILE\n"
    "       kvm-log [options] realtime PROFILE\n"
    "       kvm-log [options] days PROFILE\n"
    "       kvm-log [options] delete-days PROFILE\n"
    "       kvm-log [options] set PROFILE [--location LOC] [--user NAME]\n"
    "                                     [--password TEXT]\n"
    "\n"
    "Lists the profiles of the profile folder, runs one profile's logs through\n"
    "the engine over a time window, or writes the analysis report of a\n"
    "profile's logs over the window and prints the report's path. A log on an\n"
    "FTP or HTTP server (a location ftp://... or http://...) is fetched into\n"
    "the profile folder first, with its progress on standard error.\n"
    "\n"
    "Options:\n"
    "  --profiles DIR   profile folder, absolute or relative (default: the program\n"
    "                   folder's kvm_log/profiles/). Report templates (Template/)\n"
    "                   and report settings (REPORT.INI) come from the folder that\n"
    "                   holds DIR when it has a Template folder, else from the\n"
    "                   program folder's kvm_log/; the search-engine file\n"
    "                   (keywords.ini) and the pictures (Base/Images/) from that\n"
    "                   folder or the one above it, else from the program folder\n"
    "  --from TIME      start of the window: YYYY-MM-DD or YYYY-MM-DD HH:MM[:SS]\n"
    "                   (default: the beginning of time)\n"
    "  --to TIME        end of the window, inclusive; a date alone means its\n"
    "                   last second (default: the end of time)\n"
    "  --progress       show a progress bar on standard error (default when\n"
    "                   standard error is a terminal)\n"
    "  --help           show this text\n"
    "\n"
    "Options of run:\n"
    "  --kind KIND      count (count the records), visits (one line per hit\n"
    "                   under visit blocks; the default) or detail (a block\n"
    "                   per hit)\n"
    "  --group N        split the listing by: 0 none, 1 address type, 2 country,\n"
    "                   3 protocol, 4 method, 5 date, 6 result, 8 host, 9 domain\n"
    "  --width N        line width of the listing (default 77)\n"
    "  --output FILE    write the listing to FILE instead of standard output\n"
    "\n"
    "Options of report:\n"
    "  --report-dir DIR folder of the report (default: reports/PROFILE under\n"
    "                   the current directory); made when missing\n"
    "  --format FORMAT  html (index.htm with its chart pictures; the default),\n"
    "                   text (index.txt), doc (index.doc) or xls (index.xls)\n"
    "  --style NAME     report style of the program folder's Style.ini\n"
    "                   (default: its first style)\n"
    "\n"
    "Incremental analysis (a profile with RealtimeAnalysis=1 that keeps its\n"
    "per-day databases as files, PellavarFlag=1, or in an ODBC data source,\n"
    "PellavarFlag=2 with ODBCPellavar):\n"
    "  update           brings the profile's per-day databases up to date from\n"
    "                   its logs, one day after another, adding only what is new\n"
    "                   since the last update (a progress bar with --progress)\n"
    "  realtime         brings the days of the range up to date, then writes the\n"
    "                   report of the range from the stored days and prints its\n"
    "                   path (--report-dir, --format and --style as for report;\n"
    "                   the default folder is reports/PROFILE-realtime)\n"
    "  days             lists the span of the stored data and its days\n"
    "  delete-days      deletes the profile's stored days\n"
    "\n"
    "Options of realtime (one range; --from/--to give a range of their own):\n"
    "  --range RANGE    today, yesterday, week (this week), month (this month)\n"
    "                   or year (this year, by months)\n"
    "  --last-days N    the last N days, today included\n"
    "  --last-hours N   the last N hours up to now\n"
    "A range with hours is widened to the whole days that hold it.\n"
    "\n"
    "Options of set (each changes one setting of the profile file and keeps\n"
    "the others; the user name and password are stored scrambled, as the\n"
    "profile keeps them):\n"
    "  --location LOC   where the logs are: a file or folder (wildcards\n"
    "                   allowed), ftp://host[:port]/path or\n"
    "                   http://host[:port]/path\n"
    "  --user NAME      user name on the FTP or HTTP server (\"\" for none)\n"
    "  --password TEXT  its password; - reads it from the first line of\n"
    "                   standard input\n"
    "\n"
    "PROFILE is a profile file name (00000001.wlp) or its name (00000001).\n"
    "A profile with name lookups on lists host names in place of addresses.\n"
    "Ctrl-C cancels a run. Exit codes: 0 done, 1 usage, 2 unknown profile,\n"
    "3 logs unreadable, not fetched or without records in the window, 4 bad\n"
    "window, 5 the run or the report failed, 130 cancelled; update and realtime\n"
    "give 3 when the profile keeps no per-day databases or none holds data in\n"
    "the range.\n";

// Days that the per-day store could not take (the engine tells each through
// its error display, text 5675, and answers the update as usual).
uint32_t g_unstoredDays = 0;
constexpr uint32_t kStoreWriteError = 5675;

int32_t ShowEngineError(KvWindow, const char*, const char* text, uint32_t a4, uint32_t, uint32_t) {
  if (a4 == kStoreWriteError) ++g_unstoredDays;
  if (text != nullptr) {
    std::fprintf(stderr, "kvm-log: %s\n", text);
  } else if (a4 != 0) {
    char message[256];
    ADT_GetErrorTxtMsg(static_cast<uint16_t>(a4), message, sizeof message);
    std::fprintf(stderr, "kvm-log: %s\n", message);
  }
  return 0;
}

std::string ProgramFolder() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  std::string s(path, static_cast<size_t>(n));
  return s.substr(0, s.rfind('/') + 1);
}

bool IsFolder(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

// The folder that holds the profile folder (which ends with "/").
std::string FolderAbove(const std::string& profiles) {
  std::string s = profiles.substr(0, profiles.size() - 1);
  const size_t at = s.rfind('/');
  if (at != std::string::npos) return s.substr(0, at + 1);
  if (s == ".") return "../";
  if (s == "..") return "../../";
  return "./";
}

// The report templates the engine uses for a profile folder.
std::string TemplateFolder(const std::string& profiles) {
  const std::string beside = FolderAbove(profiles) + "Template/";
  return IsFolder(beside) ? beside : ProgramFolder() + "kvm_log/Template/";
}

// Wall-clock seconds of "YYYY-MM-DD[ HH:MM[:SS]]" (also with "T").
bool ParseTime(const char* text, bool endOfDay, uint32_t* out) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char sep = 0;
  int used = 0;
  int fields = std::sscanf(text, "%4d-%2d-%2d%n%c%2d:%2d%n", &y, &mo, &d, &used, &sep, &h, &mi, &used);
  if (fields == 3 && text[used] == '\0') {
    if (endOfDay) {
      h = 23;
      mi = 59;
      s = 59;
    }
  } else if (fields == 6 && (sep == ' ' || sep == 'T')) {
    if (text[used] == ':') {
      int more = 0;
      if (std::sscanf(text + used, ":%2d%n", &s, &more) != 1) return false;
      used += more;
    }
    if (text[used] != '\0') return false;
  } else {
    return false;
  }
  if (y < 1970 || y > 2105 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return false;
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  const time_t v = timegm(&t);
  if (v < 0 || v > 0xFFFFFFFEll) return false;
  std::tm check{};
  gmtime_r(&v, &check);
  if (check.tm_mday != d) return false;  // 31 February and the like
  *out = static_cast<uint32_t>(v);
  return true;
}

// The listing without the viewer's two-byte markers (byte 1 and a code).
std::string StripMarkers(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\x01') {
      ++i;
      continue;
    }
    out += text[i];
  }
  return out;
}

bool ReadWhole(const char* path, std::string* out) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out->append(buffer, n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

class ProgressBar {
 public:
  explicit ProgressBar(bool on) : on_(on) {}
  void Show(uint32_t percent, uint32_t records) {
    if (!on_ || (percent == last_ && records - lastRecords_ < 50000)) return;
    last_ = percent;
    lastRecords_ = records;
    const int filled = static_cast<int>(percent * 40 / 100);
    std::fprintf(stderr, "\r[%.*s%*s] %3u%%  %u records", filled, "########################################",
                 40 - filled, "", percent, records);
    shown_ = true;
  }
  void Finish() {
    if (shown_) std::fputc('\n', stderr);
  }

 private:
  bool on_;
  bool shown_ = false;
  uint32_t last_ = 101;
  uint32_t lastRecords_ = 0;
};

struct Options {
  std::string profiles;
  std::string command;
  std::string profile;
  uint32_t from = 0;
  uint32_t to = 0xFFFFFFFEu;
  uint32_t kind = 3;
  uint32_t group = 0;
  uint32_t width = 77;
  std::string output;
  std::string reportDir;
  std::string format = "html";
  std::string style;
  bool progress = false;
  // realtime: the range asked for ("" none, "today", ..., "days", "hours")
  std::string range;
  uint32_t rangeCount = 0;
  bool window = false;  // --from or --to given
  // set: the settings given (nullopt when not)
  std::optional<std::string> location, user, password;
};

// Copies a setting into its field of the profile; false (with the reason on
// standard error) when it does not fit or holds a line break.
bool PutProfileText(char* field, size_t width, const std::string& value, const char* name) {
  if (value.size() >= width) {
    std::fprintf(stderr, "kvm-log: %s is too long (at most %zu characters)\n", name, width - 1);
    return false;
  }
  if (value.find_first_of("\r\n") != std::string::npos || value.find('\0') != std::string::npos) {
    std::fprintf(stderr, "kvm-log: %s cannot hold a line break\n", name);
    return false;
  }
  std::memcpy(field, value.c_str(), value.size() + 1);
  return true;
}

// set: writes the settings given into the profile file through the engine,
// which stores the log-on texts in the profile's scrambled form.
int SetProfile(const Options& o, DravelEntry* profile) {
  if (!o.location && !o.user && !o.password) {
    std::fprintf(stderr, "kvm-log: set needs --location, --user or --password\n");
    return kExitUsage;
  }
  std::string password;
  if (o.password) {
    password = *o.password;
    if (password == "-") {
      password.clear();
      int c = 0;
      while ((c = std::fgetc(stdin)) != EOF && c != '\n') password += static_cast<char>(c);
      if (!password.empty() && password.back() == '\r') password.pop_back();
    }
  }
  if ((o.location && !PutProfileText(profile->LogFilePath, sizeof profile->LogFilePath, *o.location, "--location")) ||
      (o.user && !PutProfileText(profile->LogFileUsername, sizeof profile->LogFileUsername, *o.user, "--user")) ||
      (o.password && !PutProfileText(profile->LogFilePassword, sizeof profile->LogFilePassword, password, "--password"))) {
    return kExitUsage;
  }
  if (VRN_PutSet(profile) != 0) {
    std::fprintf(stderr, "kvm-log: profile %s cannot be written\n", o.profile.c_str());
    return kExitFailed;
  }
  std::printf("%s.%s\t%s\t%s\n", profile->Name, profile->Extension, profile->Description, profile->LogFilePath);
  return kExitOk;
}

int ListProfiles() {
  std::vector<DravelEntry*> seen;
  while (DravelEntry* p = LogGetNextProfile(nullptr, 0, nullptr)) {
    std::printf("%s.%s\t%s\t%s\n", p->Name, p->Extension, p->Description, p->LogFilePath);
    VRN_FreeSet(p);
  }
  return kExitOk;
}

// ---- fetching a remote log -------------------------------------------------

bool IsRemoteLocation(const char* location) {
  while (*location == ' ' || *location == '\t') ++location;
  return strncasecmp(location, "ftp://", 6) == 0 || strncasecmp(location, "http://", 7) == 0;
}

// The fetch's progress line on standard error: the engine's latest status
// text and the percent done, rewritten in place.
struct FetchLine {
  std::string status;
  int percent = -1;
  size_t width = 0;
  void Show() {
    std::string line = status;
    if (percent >= 0) line += "  " + std::to_string(percent) + "%";
    const size_t shown = line.size();
    if (shown < width) line.append(width - shown, ' ');
    width = shown;
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
  }
};
FetchLine g_fetchLine;

KvResult FetchStatusProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (message == VRN_URL_MSG_STATUS && lparam != 0) {
    g_fetchLine.status = reinterpret_cast<const char*>(lparam);
    g_fetchLine.Show();
    return 0;
  }
  if (message >= VRN_URL_MSG_STATUS && message <= VRN_URL_MSG_DONE) return 0;
  return kv::ui::DefWindowProc(window, message, wparam, lparam);
}

std::string UrlError() {
  char text[512] = {};
  VRN_GetURLErrMsg(text, sizeof text);
  return text;
}

// Fetches the profile's remote log into the profile folder's cache, pumping
// this thread's messages while the engine's URL window does the work.
int FetchRemoteLog(const std::string& file, int16_t slot, DravelEntry* profile) {
  const char* kClass = "KvmLogFetchStatus";
  if (!kv::ui::IsWindowClassRegistered(kClass)) kv::ui::RegisterWindowClass(kClass, FetchStatusProc);
  const KvWindow status = kv::ui::CreateWindow(kClass, "kvm-log", 0, 0);
  if (status == 0) {
    std::fprintf(stderr, "kvm-log: cannot make the window that follows the fetch\n");
    return kExitFailed;
  }
  g_fetchLine = FetchLine{};
  g_fetchLine.status = std::string("Fetching ") + profile->LogFilePath;
  g_fetchLine.percent = 0;
  g_fetchLine.Show();
  KvGlobal handle = 0;
  int code = kExitOk;
  if (VRN_OpenURL(status, file.c_str(), &handle) != 0) {
    std::fputc('\n', stderr);
    const std::string why = UrlError();
    std::fprintf(stderr, "kvm-log: the remote log cannot be fetched: %s\n",
                 why.empty() ? "the fetch could not start" : why.c_str());
    kv::ui::DestroyWindow(status);
    return kExitLogs;
  }
  while (!g_cancel && VRN_PeekURL() == 0) {
    kv::ui::Message m;
    while (kv::ui::PeekMessage(&m)) kv::ui::DispatchMessage(&m);
    const int percent = VRN_GetURLDonePercent(handle);
    if (percent != g_fetchLine.percent) {
      g_fetchLine.percent = percent;
      g_fetchLine.Show();
    }
    kv::ui::WaitMessage(50);
  }
  if (!g_cancel) {
    g_fetchLine.percent = VRN_GetURLDonePercent(handle);
    g_fetchLine.Show();
  }
  std::fputc('\n', stderr);
  const std::string why = UrlError();
  if (g_cancel) {
    std::fprintf(stderr, "kvm-log: cancelled\n");
    code = kExitCancelled;
    VRN_CloseURL(static_cast<uint16_t>(slot), handle, nullptr);
  } else if (!why.empty()) {
    std::fprintf(stderr, "kvm-log: the remote log cannot be fetched: %s\n", why.c_str());
    code = kExitLogs;
    VRN_CloseURL(static_cast<uint16_t>(slot), handle, nullptr);
  } else if (VRN_CloseURL(static_cast<uint16_t>(slot), handle, profile) != 0) {
    std::fprintf(stderr, "kvm-log: the fetched copy of the remote log cannot be read\n");
    code = kExitLogs;
  }
  kv::ui::DestroyWindow(status);
  return code;
}

// ---- runs ------------------------------------------------------------------

// Says on standard error how many lines the run read and how many of them it
// could not use, and warns when almost none was a log line.
void TellLineCounts(uint32_t handle) {
  uint64_t lines = 0, unrecognised = 0, skipped = 0;
  if (ADT_GetReportLineCounts(handle, &lines, &unrecognised, &skipped) != 1) return;
  std::fprintf(stderr, "kvm-log: %llu lines read, %llu not recognised, %llu skipped\n",
               static_cast<unsigned long long>(lines), static_cast<unsigned long long>(unrecognised),
               static_cast<unsigned long long>(skipped));
  const uint64_t unused = unrecognised + skipped;
  if (lines >= 10 && unused * 10 >= lines * 9) {
    std::fprintf(stderr,
                 "kvm-log: warning: almost nothing in the log was recognised (%llu of %llu lines could not be "
                 "used); is it a log file?\n",
                 static_cast<unsigned long long>(unused), static_cast<unsigned long long>(lines));
  }
}

// Steps a created run to its end. kExitOk, kExitFailed or kExitCancelled.
int StepRun(int16_t slot, uint32_t handle, bool progress) {
  ProgressBar bar(progress);
  uint16_t error = 0;
  uint32_t yield = 0;
  while (!g_cancel && VRN_PeekReport(static_cast<uint16_t>(slot), handle, &yield, &error) == 0) {
    if (yield) {
      yield = 0;
      bar.Show(ADT_GetReportDonePercent(handle), ADT_GetReportRecCount(handle));
    }
  }
  bar.Show(ADT_GetReportDonePercent(handle), ADT_GetReportRecCount(handle));
  bar.Finish();
  TellLineCounts(handle);
  if (g_cancel) {
    std::fprintf(stderr, "kvm-log: cancelled\n");
    return kExitCancelled;
  }
  if (error != 0) {
    std::fprintf(stderr, "kvm-log: the run failed (error 0x%04X)\n", error);
    return kExitFailed;
  }
  return kExitOk;
}

// Tells why VRN_Cre8Report refused a run; the exit code. With no window
// given, a log without any record in it holds nothing the engine recognised.
int CreateFailed(uint16_t error, const DravelEntry* profile, const Options& o) {
  const bool wholeTime = o.from == 0 && o.to == 0xFFFFFFFEu;
  if (error == 0 && wholeTime) {
    std::fprintf(stderr,
                 "kvm-log: warning: nothing in the profile's logs was recognised as a log record (%s); is it a log "
                 "file?\n",
                 profile->LogFilePath);
    return kExitLogs;
  }
  switch (error) {
    case VRN_ERR_NO_DATA: std::fprintf(stderr, "kvm-log: the profile's logs hold no data\n"); break;
    case VRN_ERR_FILE: std::fprintf(stderr, "kvm-log: the profile's logs cannot be opened (%s)\n", profile->LogFilePath); break;
    case VRN_ERR_NOT_AVAILABLE: std::fprintf(stderr, "kvm-log: this kind of run or log location is not available\n"); break;
    case 0: std::fprintf(stderr, "kvm-log: no log record lies in the time window\n"); break;
    default: std::fprintf(stderr, "kvm-log: the run could not be created (error 0x%04X)\n", error); break;
  }
  return error == VRN_ERR_NOT_AVAILABLE || error == VRN_ERR_BAD_ARGUMENT ? kExitFailed : kExitLogs;
}

int ListRun(const Options& o, int16_t slot, DravelEntry* profile, const std::string& file) {
  char viewFolder[300] = {};
  std::string tmp;
  if (o.kind != 5) {
    const char* base = std::getenv("TMPDIR");
    tmp = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kvm_logXXXXXX";
    if (mkdtemp(tmp.data()) == nullptr || tmp.size() + 2 > sizeof viewFolder) {
      std::fprintf(stderr, "kvm-log: cannot make a folder for the listing: %s\n", std::strerror(errno));
      return kExitFailed;
    }
    tmp += '/';
    std::memcpy(viewFolder, tmp.c_str(), tmp.size() + 1);
  }

  uint32_t handle = 0;
  uint16_t error = 0;
  const int16_t created = VRN_Cre8Report(1, static_cast<uint16_t>(slot), profile, file.c_str(), profile->Description,
                                         viewFolder, &handle, o.width, 0, o.from, o.to, o.kind, o.group, nullptr,
                                         nullptr, "", 0, 0, &error);
  int code = kExitOk;
  if (created != 0) {
    code = CreateFailed(error, profile, o);
  } else {
    code = StepRun(slot, handle, o.progress);
    if (code != kExitOk) {
    } else if (o.kind == 5) {
      std::printf("%u\n", ADT_GetReportRecCount(handle));
    } else {
      std::string listing;
      for (int32_t i = 0; i < ADT_ViewReportCount(handle); ++i) {
        ADT_SetViewReportBuffer(handle, i);
        char path[600];
        ADT_GetReportASCII_Filename(handle, path, sizeof path);
        if (!ReadWhole(path, &listing)) {
          std::fprintf(stderr, "kvm-log: cannot read the listing %s\n", path);
          code = kExitFailed;
        }
      }
      listing = StripMarkers(listing);
      FILE* out = o.output.empty() ? stdout : std::fopen(o.output.c_str(), "wb");
      if (out == nullptr) {
        std::fprintf(stderr, "kvm-log: cannot write %s: %s\n", o.output.c_str(), std::strerror(errno));
        code = kExitFailed;
      } else {
        if (std::fwrite(listing.data(), 1, listing.size(), out) != listing.size() || std::fflush(out) != 0) {
          std::fprintf(stderr, "kvm-log: writing the listing failed\n");
          code = kExitFailed;
        }
        if (out != stdout) std::fclose(out);
      }
    }
    VRN_CloseReport(static_cast<uint16_t>(slot), handle, &error);
  }
  if (!tmp.empty()) rmdir(tmp.c_str());
  return code;
}

// ---- reports ---------------------------------------------------------------

// The bar of the report's writing and the run it shows.
ProgressBar* g_reportBar = nullptr;
uint32_t g_reportHandle = 0;

int32_t ReportPercent(uint32_t percent) {
  if (g_reportBar != nullptr && percent <= 100) g_reportBar->Show(percent, ADT_GetReportRecCount(g_reportHandle));
  return g_cancel ? 0 : 1;
}

int32_t ReportFile(int32_t, const char*, int32_t) { return 0; }

const char* ReportExtension(const std::string& format) {
  if (format == "html") return "htm";
  if (format == "text") return "txt";
  if (format == "doc") return "doc";
  if (format == "xls") return "xls";
  return nullptr;
}

// Runs the analysis of the profile's logs over the window and writes its
// report, every section of the template kept, into the report folder.
int ReportRun(const Options& o, int16_t slot, DravelEntry* profile, const std::string& file) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const std::string dir = o.reportDir.empty() ? std::string("reports/") + profile->Name : o.reportDir;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) {
    std::fprintf(stderr, "kvm-log: cannot make the report folder %s: %s\n", dir.c_str(),
                 ec ? ec.message().c_str() : "not a folder");
    return kExitFailed;
  }
  const fs::path folder = fs::absolute(dir, ec).lexically_normal();
  const std::string output = (folder / (std::string("index.") + ReportExtension(o.format))).string();
  char outputPath[300] = {};
  if (output.size() >= 260) {
    std::fprintf(stderr, "kvm-log: the report's path is too long: %s\n", output.c_str());
    return kExitUsage;
  }
  std::memcpy(outputPath, output.c_str(), output.size() + 1);
  // A report left from before is removed, so that a failed write does not
  // pass for a written report.
  fs::remove(output, ec);

  // The templates lie where the engine takes them from: beside the profile
  // folder when a Template folder is there, else in the program folder's
  // kvm_log/. The log decides which of the three the report uses (a
  // referrer or agent log has its own), so every section of each is kept.
  const std::string program = ProgramFolder();
  const std::string templates = TemplateFolder(o.profiles);
  std::vector<TemplateSectionRecord> kept;
  char header[512] = {};
  for (const char* name : {"template.var", "referlog.var", "agentlog.var"}) {
    const std::string templ = templates + name;
    uint16_t n = 0;
    KvGlobal list = 0;
    char ownHeader[512] = {};
    if (VRN_ReadTemplateSectionList(templ.c_str(), &n, &list, ownHeader, sizeof ownHeader) != 1 || list == 0) {
      if (list != 0) kv::GlobalFree(list);
      if (kept.empty()) {
        std::fprintf(stderr, "kvm-log: cannot read the report template %s\n", templ.c_str());
        return kExitFailed;
      }
      continue;
    }
    if (kept.empty()) std::memcpy(header, ownHeader, sizeof header);
    if (const auto* records = static_cast<const TemplateSectionRecord*>(kv::GlobalLock(list))) {
      // A section may stand more than once in one template (a second
      // chart of it): the n-th record of a class and name is kept unless an
      // earlier template gave n records of them already.
      for (uint16_t i = 0; i < n; ++i) {
        auto same = [&](const TemplateSectionRecord& k) {
          return k.Class == records[i].Class && strcasecmp(k.Name, records[i].Name) == 0;
        };
        const auto before = std::count_if(records, records + i, same);
        if (std::count_if(kept.begin(), kept.end(), same) <= before) kept.push_back(records[i]);
      }
      kv::GlobalUnlock(list);
    }
    kv::GlobalFree(list);
  }
  const uint16_t count = static_cast<uint16_t>(kept.size() < 0xFFFF ? kept.size() : 0xFFFF);
  const KvGlobal sections =
      kv::GlobalAlloc(kv::kGlobalMoveable | kv::kGlobalZeroInit, (count + 1) * sizeof(TemplateSectionRecord));
  if (auto* records = sections != 0 ? static_cast<TemplateSectionRecord*>(kv::GlobalLock(sections)) : nullptr) {
    for (uint16_t i = 0; i < count; ++i) {
      records[i] = kept[i];
      records[i].Kept = 1;
    }
    kv::GlobalUnlock(sections);
  } else {
    if (sections != 0) kv::GlobalFree(sections);
    std::fprintf(stderr, "kvm-log: out of memory\n");
    return kExitFailed;
  }
  const std::string style =
      !o.style.empty() ? o.style : kv::IniString("Kelvaron Styles", "Style 1", "", (program + "style.ini").c_str());

  // The charting library draws the report's charts (a failed start shows
  // through the error display and leaves the charts out).
  InitGSWLibrary(1, 0);

  uint32_t handle = 0;
  uint16_t error = 0;
  const int16_t created = VRN_Cre8Report(1, static_cast<uint16_t>(slot), profile, file.c_str(), profile->Description,
                                         outputPath, &handle, 80, 0, o.from, o.to, 6, 0, style.c_str(), "ENGLISH",
                                         header, sections, count, &error);
  int code = kExitOk;
  if (created != 0) {
    code = CreateFailed(error, profile, o);
  } else {
    code = StepRun(slot, handle, o.progress);
    if (code == kExitOk) {
      ProgressBar bar(o.progress);
      g_reportBar = &bar;
      g_reportHandle = handle;
      const KvGlobal database = VRN_DoSummary(handle, ReportPercent, ReportFile);
      g_reportBar = nullptr;
      bar.Finish();
      if (g_cancel) {
        std::fprintf(stderr, "kvm-log: cancelled\n");
        code = kExitCancelled;
      } else if (database == 0 || !fs::is_regular_file(output, ec)) {
        char why[512] = {};
        VRN_GetSummaryErrMsg(why, sizeof why);
        std::fprintf(stderr, "kvm-log: the report could not be written%s%s\n", why[0] != '\0' ? ": " : "", why);
        code = kExitFailed;
      } else {
        // The report is there; a part that failed (a chart, a picture) is
        // told by the summary error text, empty until a failure in this
        // process.
        char why[512] = {};
        VRN_GetSummaryErrMsg(why, sizeof why);
        if (why[0] != '\0') std::fprintf(stderr, "kvm-log: warning: %s\n", why);
        std::printf("%s\n", output.c_str());
      }
    }
    VRN_CloseReport(static_cast<uint16_t>(slot), handle, &error);
  }
  kv::GlobalFree(sections);
  return code;
}

// ---- incremental analysis -------------------------------------------------

bool KeepsDays(const DravelEntry* profile) {
  if (profile->RealtimeAnalysis != 0 && (profile->PellavarFlag == 1 || profile->PellavarFlag == 2)) return true;
  std::fprintf(stderr,
               "kvm-log: profile %s keeps no per-day databases (RealtimeAnalysis=1 and PellavarFlag=1 or 2 are "
               "needed)\n",
               profile->Name);
  return false;
}

// An ODBC store gets its tables before the first update.
bool PrepareOdbcStore(DravelEntry* profile) {
  // Made now (1), or there already (the second call finds them).
  if (profile->PellavarFlag != 2 || VRN_CreateODBCTables(profile) == 1 || VRN_DoODBCTablesExist(profile) == 1)
    return true;
  std::fprintf(stderr, "kvm-log: the ODBC data source %s cannot be reached or its tables cannot be made\n",
               profile->ODBCPellavar);
  return false;
}

ProgressBar* g_updateBar = nullptr;
uint64_t g_updateRecords = 0;

int32_t UpdateProgress(uint32_t, const char*, uint32_t records, int32_t percent, uint32_t) {
  if (g_updateBar != nullptr && percent >= 0 && percent <= 100)
    g_updateBar->Show(static_cast<uint32_t>(percent), static_cast<uint32_t>(g_updateRecords + records));
  return g_cancel ? 7 : 0;
}

// Brings the per-day databases up to date, one day per engine call.
int UpdateDays(const Options& o, int16_t slot, DravelEntry* profile) {
  if (!KeepsDays(profile)) return kExitLogs;
  if (!PrepareOdbcStore(profile)) return kExitFailed;
  // Each step completes a day: more steps than the logs and the stored
  // days span mean that the update does not move on. The span is read
  // again after each step, which finds the log times of any location.
  auto stepLimit = [profile] {
    uint32_t low = profile->FirstLogTime;
    if (profile->RealtimeFirstTime != 0 && (low == 0 || profile->RealtimeFirstTime < low))
      low = profile->RealtimeFirstTime;
    const uint32_t high =
        profile->LastLogTime > profile->RealtimeLastTime ? profile->LastLogTime : profile->RealtimeLastTime;
    return (high > low ? (high - low) / 86400 : 0) + 3;
  };
  ProgressBar bar(o.progress);
  g_updateBar = &bar;
  uint32_t result = VRN_REALTIME_MORE_WORK;
  uint32_t days = 0;
  g_unstoredDays = 0;
  while (!g_cancel && result == VRN_REALTIME_MORE_WORK && days < stepLimit()) {
    result = VRN_UpdateRealtime(static_cast<uint32_t>(slot), profile, UpdateProgress);
    ++days;
  }
  g_updateBar = nullptr;
  bar.Finish();
  if (g_cancel || result == VRN_REALTIME_CANCELLED) {
    std::fprintf(stderr, "kvm-log: cancelled\n");
    return kExitCancelled;
  }
  if (result == VRN_REALTIME_MORE_WORK) {
    std::fprintf(stderr, "kvm-log: the update does not move on after %u steps\n", days);
    return kExitFailed;
  }
  if (g_unstoredDays != 0) {
    std::fprintf(stderr, "kvm-log: %u day%s could not be stored; the stored days are not up to date\n", g_unstoredDays,
                 g_unstoredDays == 1 ? "" : "s");
    return kExitFailed;
  }
  if (result == VRN_REALTIME_FAILED) {
    // The engine told why through its error display.
    std::fprintf(stderr, "kvm-log: the update failed; the stored days are not up to date\n");
    return kExitFailed;
  }
  // The stored span as the engine now reads it.
  LogFastRefresh(profile, 0, 0, nullptr);
  if (profile->RealtimeFirstTime == 0 && profile->RealtimeLastTime == 0) {
    std::fprintf(stderr, "kvm-log: no day holds data (the logs cannot be read or hold no record)\n");
    return kExitLogs;
  }
  std::printf("up to date after %u step%s\n", days, days == 1 ? "" : "s");
  return kExitOk;
}

std::string FormatStamp(uint32_t t) {
  const time_t v = t;
  std::tm f{};
  gmtime_r(&v, &f);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &f);
  return text;
}

// The machine's clock as the hits count time: its local wall clock read as
// if it were UTC.
uint32_t WallNow() {
  const time_t now = std::time(nullptr);
  std::tm f{};
  localtime_r(&now, &f);
  return static_cast<uint32_t>(timegm(&f));
}

// The report range of the options: [from, to]; false with a message.
bool RealtimeRange(const Options& o, DravelEntry* profile, uint32_t* from, uint32_t* to) {
  if (o.range.empty()) {
    *from = o.from;
    *to = o.to;
    return true;
  }
  if (o.range == "days" || o.range == "hours") {
    const uint32_t now = WallNow();
    if (o.range == "days") {
      const uint32_t today = now - now % 86400;
      *from = today - (o.rangeCount - 1) * 86400u;
      *to = today + 86399;
    } else {
      *from = now - o.rangeCount * 3600u;
      *to = now;
    }
    return true;
  }
  static const struct {
    const char* name;
    uint16_t code;
  } kCodes[] = {{"today", 5}, {"yesterday", 6}, {"week", 7}, {"month", 13}, {"year", 21}};
  for (const auto& c : kCodes) {
    if (o.range != c.name) continue;
    *from = profile->RealtimeFirstTime;
    *to = profile->RealtimeLastTime;
    VRN_CalculateRealtimeReportRange(c.code, from, to);
    return true;
  }
  return false;
}

// The stored days hold whole days, whose tables cannot be cut into hours:
// a range with hours is widened to the days that hold it, and the user is
// told, so that every figure of the report covers the span its header
// names. A range ending at midnight ends with the day before.
void WidenToWholeDays(uint32_t* from, uint32_t* to) {
  const uint32_t dayFrom = *from - *from % 86400;
  uint32_t last = *to;
  if (last % 86400 == 0 && last > *from) --last;
  const uint64_t wholeDay = uint64_t{last} - last % 86400 + 86399;
  const uint64_t dayTo = wholeDay < 0xFFFFFFFEu ? wholeDay : 0xFFFFFFFEu;
  if (dayFrom == *from && dayTo == *to) return;
  std::fprintf(stderr, "kvm-log: the stored days hold whole days: the report covers %s .. %s\n",
               FormatStamp(dayFrom).c_str(), FormatStamp(static_cast<uint32_t>(dayTo)).c_str());
  *from = dayFrom;
  *to = static_cast<uint32_t>(dayTo);
}

ProgressBar* g_realtimeBar = nullptr;
int32_t RealtimePercent(uint32_t percent) {
  if (g_realtimeBar != nullptr && percent <= 100) g_realtimeBar->Show(percent, 0);
  return g_cancel ? 0 : 1;
}

// Writes the report of a range from the stored days (brought up to date
// first) into the report folder.
int RealtimeReport(const Options& o, DravelEntry* profile) {
  namespace fs = std::filesystem;
  if (!KeepsDays(profile)) return kExitLogs;
  if (!PrepareOdbcStore(profile)) return kExitFailed;
  uint32_t from = 0, to = 0;
  if (!RealtimeRange(o, profile, &from, &to)) return kExitUsage;
  WidenToWholeDays(&from, &to);
  std::error_code ec;
  const std::string dir = o.reportDir.empty() ? std::string("reports/") + profile->Name + "-realtime" : o.reportDir;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) {
    std::fprintf(stderr, "kvm-log: cannot make the report folder %s: %s\n", dir.c_str(),
                 ec ? ec.message().c_str() : "not a folder");
    return kExitFailed;
  }
  const fs::path folder = fs::absolute(dir, ec).lexically_normal();
  const std::string output = (folder / (std::string("index.") + ReportExtension(o.format))).string();
  if (output.size() >= 260) {
    std::fprintf(stderr, "kvm-log: the report's path is too long: %s\n", output.c_str());
    return kExitUsage;
  }
  fs::remove(output, ec);
  // The template and vocabulary lie in the folder above the profile folder.
  const std::string program = ProgramFolder();
  std::string parent = o.profiles.substr(0, o.profiles.size() - 1);
  parent = parent.substr(0, parent.rfind('/') + 1);
  const std::string templ = parent + "Template/template.var";
  uint16_t count = 0;
  KvGlobal sections = 0;
  char header[512] = {};
  if (VRN_ReadTemplateSectionList(templ.c_str(), &count, &sections, header, sizeof header) != 1 || sections == 0) {
    std::fprintf(stderr, "kvm-log: cannot read the report template %s\n", templ.c_str());
    return kExitFailed;
  }
  if (auto* records = static_cast<TemplateSectionRecord*>(kv::GlobalLock(sections))) {
    for (uint16_t i = 0; i < count; ++i) records[i].Kept = 1;
    kv::GlobalUnlock(sections);
  }
  const std::string style =
      !o.style.empty() ? o.style : kv::IniString("Kelvaron Styles", "Style 1", "", (program + "style.ini").c_str());
  InitGSWLibrary(1, 0);
  ProgressBar bar(o.progress);
  g_realtimeBar = &bar;
  g_unstoredDays = 0;
  const uint16_t result = VRN_DoRealtime(profile, output.c_str(), style.c_str(), RealtimePercent, ReportFile,
                                         VRN_REALTIME_EXACT_PATH, from, to, nullptr, "ENGLISH", sections, count, 0);
  g_realtimeBar = nullptr;
  bar.Finish();
  kv::GlobalFree(sections);
  if (g_cancel) {
    std::fprintf(stderr, "kvm-log: cancelled\n");
    return kExitCancelled;
  }
  if (result != 0 || !fs::is_regular_file(output, ec)) {
    char why[512] = {};
    VRN_GetSummaryErrMsg(why, sizeof why);
    if (result != 0 && !fs::is_regular_file(output, ec) && why[0] == '\0') {
      std::fprintf(stderr, "kvm-log: no stored day holds data in the range %s .. %s\n", FormatStamp(from).c_str(),
                   FormatStamp(to).c_str());
      return kExitLogs;
    }
    std::fprintf(stderr, "kvm-log: the report could not be written%s%s\n", why[0] != '\0' ? ": " : "", why);
    if (g_unstoredDays != 0)
      std::fprintf(stderr, "kvm-log: %u day%s of the range could not be stored\n", g_unstoredDays,
                   g_unstoredDays == 1 ? "" : "s");
    return kExitFailed;
  }
  std::printf("%s\n", output.c_str());
  if (g_unstoredDays != 0) {
    // Written from what is stored, without what the store refused.
    std::fprintf(stderr, "kvm-log: %u day%s of the range could not be stored; the report lacks their new records\n",
                 g_unstoredDays, g_unstoredDays == 1 ? "" : "s");
    return kExitFailed;
  }
  return kExitOk;
}

// The span of the stored data and, for a file store, each day's state.
// One stored day as `days` lists it: a day holds data once something at or
// after its start was added.
void PrintStoredDay(uint32_t start, uint32_t end, uint32_t added) {
  if (added == 0 || added < start) return;
  std::printf("%s\t%s\n", FormatStamp(start).substr(0, 10).c_str(),
              added > end ? "complete" : ("up to " + FormatStamp(added).substr(11)).c_str());
}

// The days of an ODBC store, from its master table (StartTime, EndTime and
// CurrentTime, the time of the newest record added), through the driver
// manager the engine uses. False when they cannot be read.
bool ListOdbcDays(const DravelEntry* profile) {
  KvModule odbc = KvLoadModule("ODBC32.DLL");
  if (odbc == nullptr) return false;
  using AllocHandleFn = SQLRETURN (*)(SQLSMALLINT, SQLHANDLE, SQLHANDLE*);
  using SetEnvAttrFn = SQLRETURN (*)(SQLHENV, SQLINTEGER, SQLPOINTER, SQLINTEGER);
  using DriverConnectFn = SQLRETURN (*)(SQLHDBC, SQLHWND, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*,
                                        SQLUSMALLINT);
  using ExecDirectFn = SQLRETURN (*)(SQLHSTMT, SQLCHAR*, SQLINTEGER);
  using FetchFn = SQLRETURN (*)(SQLHSTMT);
  using GetDataFn = SQLRETURN (*)(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN*);
  using DisconnectFn = SQLRETURN (*)(SQLHDBC);
  using FreeHandleFn = SQLRETURN (*)(SQLSMALLINT, SQLHANDLE);
  auto allocHandle = reinterpret_cast<AllocHandleFn>(KvGetProcAddress(odbc, "SQLAllocHandle"));
  auto setEnvAttr = reinterpret_cast<SetEnvAttrFn>(KvGetProcAddress(odbc, "SQLSetEnvAttr"));
  auto driverConnect = reinterpret_cast<DriverConnectFn>(KvGetProcAddress(odbc, "SQLDriverConnect"));
  auto execDirect = reinterpret_cast<ExecDirectFn>(KvGetProcAddress(odbc, "SQLExecDirect"));
  auto fetch = reinterpret_cast<FetchFn>(KvGetProcAddress(odbc, "SQLFetch"));
  auto getData = reinterpret_cast<GetDataFn>(KvGetProcAddress(odbc, "SQLGetData"));
  auto disconnect = reinterpret_cast<DisconnectFn>(KvGetProcAddress(odbc, "SQLDisconnect"));
  auto freeHandle = reinterpret_cast<FreeHandleFn>(KvGetProcAddress(odbc, "SQLFreeHandle"));
  bool listed = false;
  SQLHENV env = SQL_NULL_HENV;
  if (allocHandle && setEnvAttr && driverConnect && execDirect && fetch && getData && disconnect && freeHandle &&
      SQL_SUCCEEDED(allocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
    setEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLHDBC connection = SQL_NULL_HDBC;
    if (SQL_SUCCEEDED(allocHandle(SQL_HANDLE_DBC, env, &connection))) {
      std::string connect(profile->ODBCPellavar, strnlen(profile->ODBCPellavar, sizeof profile->ODBCPellavar));
      if (SQL_SUCCEEDED(driverConnect(connection, nullptr, reinterpret_cast<SQLCHAR*>(connect.data()), SQL_NTS, nullptr,
                                      0, nullptr, SQL_DRIVER_NOPROMPT))) {
        SQLHSTMT statement = SQL_NULL_HSTMT;
        if (SQL_SUCCEEDED(allocHandle(SQL_HANDLE_STMT, connection, &statement))) {
          char query[] = "SELECT StartTime, EndTime, CurrentTime FROM KVLogMasterTable ORDER BY StartTime";
          if (SQL_SUCCEEDED(execDirect(statement, reinterpret_cast<SQLCHAR*>(query), SQL_NTS))) {
            listed = true;
            while (SQL_SUCCEEDED(fetch(statement))) {
              SQLBIGINT value[3] = {0, 0, 0};
              for (SQLUSMALLINT column = 0; column < 3; ++column) {
                SQLLEN size = 0;
                if (!SQL_SUCCEEDED(getData(statement, column + 1, SQL_C_SBIGINT, &value[column], 0, &size)) ||
                    size == SQL_NULL_DATA)
                  value[column] = 0;
              }
              PrintStoredDay(static_cast<uint32_t>(value[0]), static_cast<uint32_t>(value[1]),
                             static_cast<uint32_t>(value[2]));
            }
          }
          freeHandle(SQL_HANDLE_STMT, statement);
        }
        disconnect(connection);
      }
      freeHandle(SQL_HANDLE_DBC, connection);
    }
    freeHandle(SQL_HANDLE_ENV, env);
  }
  KvFreeModule(odbc);
  return listed;
}

int ListDays(DravelEntry* profile) {
  if (!KeepsDays(profile)) return kExitLogs;
  if (profile->RealtimeFirstTime == 0 && profile->RealtimeLastTime == 0) {
    std::printf("no stored day holds data\n");
    return kExitOk;
  }
  std::printf("first\t%s\nlast\t%s\n", FormatStamp(profile->RealtimeFirstTime).c_str(),
              FormatStamp(profile->RealtimeLastTime).c_str());
  if (profile->PellavarFlag == 2) {
    if (!ListOdbcDays(profile)) std::fprintf(stderr, "kvm-log: the days of the ODBC data source cannot be listed\n");
    return kExitOk;
  }
  if (profile->PellavarFlag != 1) return kExitOk;
  // master.dat: a 448-byte header, then 64 bytes a day (name, start, end,
  // last added).
  char dataFile[1024] = {};
  char base[VRN_REALTIME_DIR_SIZE] = {}, daily[VRN_REALTIME_DIR_SIZE] = {};
  GenerateDravelFilePath(dataFile, sizeof dataFile, profile);
  if (ConvertDravelFileToRealTimeDir(profile, dataFile, base, daily, 0) != 1) return kExitOk;
  std::string master = std::string(daily) + "/master.dat";
  for (char& c : master) c = c == '\\' ? '/' : c;
  std::string image;
  if (!ReadWhole(master.c_str(), &image)) return kExitOk;
  auto le32 = [&](size_t at) {
    return uint32_t(uint8_t(image[at])) | uint32_t(uint8_t(image[at + 1])) << 8 |
           uint32_t(uint8_t(image[at + 2])) << 16 | uint32_t(uint8_t(image[at + 3])) << 24;
  };
  for (size_t at = 448; at + 64 <= image.size(); at += 64) PrintStoredDay(le32(at + 20), le32(at + 24), le32(at + 28));
  return kExitOk;
}

int DeleteDays(DravelEntry* profile) {
  if (profile->PellavarFlag == 0) {
    std::fprintf(stderr, "kvm-log: profile %s keeps no per-day databases\n", profile->Name);
    return kExitLogs;
  }
  if (VRN_DeleteRealtimeDatabase(profile) != 1) {
    std::fprintf(stderr, "kvm-log: the stored days of %s were not deleted\n", profile->Name);
    return kExitFailed;
  }
  std::printf("deleted\n");
  return kExitOk;
}

// The incremental analysis commands; -1 for another command.
int IncrementalCommand(const Options& o, int16_t slot, DravelEntry* profile) {
  // A fresh ODBC store gets its tables before its span is first read.
  if ((o.command == "update" || o.command == "realtime") && profile->RealtimeAnalysis != 0 &&
      profile->PellavarFlag == 2 && !PrepareOdbcStore(profile))
    return kExitFailed;
  // The profile's log times and the span of its stored days.
  LogFastRefresh(profile, 0, 0, nullptr);
  if (o.command == "update") return UpdateDays(o, slot, profile);
  if (o.command == "realtime") return RealtimeReport(o, profile);
  if (o.command == "days") return ListDays(profile);
  if (o.command == "delete-days") return DeleteDays(profile);
  return -1;
}

bool IsIncrementalCommand(const std::string& c) {
  return c == "update" || c == "realtime" || c == "days" || c == "delete-days";
}

int RunProfile(const Options& o, int16_t slot) {
  std::string file = o.profile;
  if (file.find('.') == std::string::npos) file += ".wlp";
  DravelEntry* profile = VRN_GetSet(file.c_str());
  if (profile == nullptr) {
    std::fprintf(stderr, "kvm-log: unknown profile %s (not readable in %s)\n", o.profile.c_str(), o.profiles.c_str());
    return kExitUnknownProfile;
  }
  int code = kExitOk;
  if (o.command == "set") {
    code = SetProfile(o, profile);
    VRN_FreeSet(profile);
    return code;
  }
  if (IsIncrementalCommand(o.command)) {
    code = IncrementalCommand(o, slot, profile);
    VRN_FreeSet(profile);
    return code;
  }
  if (IsRemoteLocation(profile->LogFilePath)) code = FetchRemoteLog(file, slot, profile);
  if (code == kExitOk) code = o.command == "report" ? ReportRun(o, slot, profile, file) : ListRun(o, slot, profile, file);
  VRN_FreeSet(profile);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  o.profiles = ProgramFolder() + "kvm_log/profiles/";
  o.progress = isatty(2) != 0;
  std::vector<std::string> positional;
  std::string runOption, reportOption;  // an option of one command only, as given
  std::string realtimeRange;            // the range option of realtime, as given
  std::string setOption;                // an option of set, as given
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kvm-log: %s needs a value\n", name);
        std::exit(kExitUsage);
      }
      return argv[++i];
    };
    auto number = [&](const char* name, uint32_t limit) -> uint32_t {
      const char* v = value(name);
      char* end = nullptr;
      unsigned long n = std::strtoul(v, &end, 10);
      if (*v == '\0' || *end != '\0' || n > limit) {
        std::fprintf(stderr, "kvm-log: bad value for %s: %s\n", name, v);
        std::exit(kExitUsage);
      }
      return static_cast<uint32_t>(n);
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (a == "--profiles") {
      o.profiles = value("--profiles");
      if (o.profiles.empty()) {
        std::fprintf(stderr, "kvm-log: --profiles needs a folder\n");
        return kExitUsage;
      }
      // A relative folder is taken from the current directory once, so that
      // the profiles' relative log locations resolve against it.
      std::error_code ec;
      const std::filesystem::path absolute = std::filesystem::absolute(o.profiles, ec);
      if (!ec) o.profiles = absolute.lexically_normal().string();
      if (o.profiles.back() != '/') o.profiles += '/';
    } else if (a == "--from" || a == "--to") {
      o.window = true;
      const char* v = value(a.c_str());
      if (!ParseTime(v, a == "--to", a == "--from" ? &o.from : &o.to)) {
        std::fprintf(stderr, "kvm-log: bad time for %s: %s (YYYY-MM-DD or YYYY-MM-DD HH:MM[:SS])\n", a.c_str(), v);
        return kExitBadWindow;
      }
    } else if (a == "--kind") {
      runOption = a;
      const std::string k = value("--kind");
      if (k == "count") o.kind = 5;
      else if (k == "visits") o.kind = 3;
      else if (k == "detail") o.kind = 2;
      else {
        std::fprintf(stderr, "kvm-log: unknown kind %s (count, visits or detail)\n", k.c_str());
        return kExitUsage;
      }
    } else if (a == "--group") {
      runOption = a;
      o.group = number("--group", 9);
      if (o.group == 7) {
        std::fprintf(stderr, "kvm-log: there is no grouping 7\n");
        return kExitUsage;
      }
    } else if (a == "--width") {
      runOption = a;
      o.width = number("--width", 3000);
    } else if (a == "--output") {
      runOption = a;
      o.output = value("--output");
    } else if (a == "--report-dir") {
      reportOption = a;
      o.reportDir = value("--report-dir");
      if (o.reportDir.empty()) {
        std::fprintf(stderr, "kvm-log: --report-dir needs a folder\n");
        return kExitUsage;
      }
    } else if (a == "--format") {
      reportOption = a;
      o.format = value("--format");
      if (ReportExtension(o.format) == nullptr) {
        std::fprintf(stderr, "kvm-log: unknown format %s (html, text, doc or xls)\n", o.format.c_str());
        return kExitUsage;
      }
    } else if (a == "--style") {
      reportOption = a;
      o.style = value("--style");
    } else if (a == "--range" || a == "--last-days" || a == "--last-hours") {
      if (!realtimeRange.empty()) {
        std::fprintf(stderr, "kvm-log: give one range only (%s and %s)\n", realtimeRange.c_str(), a.c_str());
        return kExitUsage;
      }
      realtimeRange = a;
      if (a == "--range") {
        o.range = value("--range");
        if (o.range != "today" && o.range != "yesterday" && o.range != "week" && o.range != "month" &&
            o.range != "year") {
          std::fprintf(stderr, "kvm-log: unknown range %s (today, yesterday, week, month or year)\n", o.range.c_str());
          return kExitUsage;
        }
      } else {
        o.range = a == "--last-days" ? "days" : "hours";
        o.rangeCount = number(a.c_str(), a == "--last-days" ? 3660 : 87840);
        if (o.rangeCount == 0) {
          std::fprintf(stderr, "kvm-log: %s needs a count of 1 or more\n", a.c_str());
          return kExitUsage;
        }
      }
    } else if (a == "--location" || a == "--user" || a == "--password") {
      setOption = a;
      std::optional<std::string>& field = a == "--location" ? o.location : a == "--user" ? o.user : o.password;
      field = value(a.c_str());
    } else if (a == "--progress") {
      o.progress = true;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "kvm-log: unknown option %s (see --help)\n", a.c_str());
      return kExitUsage;
    } else {
      positional.push_back(a);
    }
  }
  const bool list = !positional.empty() && positional[0] == "list";
  const bool run = !positional.empty() && positional[0] == "run";
  const bool report = !positional.empty() && positional[0] == "report";
  const bool incremental = !positional.empty() && IsIncrementalCommand(positional[0]);
  const bool realtime = !positional.empty() && positional[0] == "realtime";
  const bool set = !positional.empty() && positional[0] == "set";
  if ((!list && !run && !report && !incremental && !set) || positional.size() != (list ? 1u : 2u)) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (!run && !runOption.empty()) {
    std::fprintf(stderr, "kvm-log: %s is an option of run (see --help)\n", runOption.c_str());
    return kExitUsage;
  }
  if (!report && !realtime && !reportOption.empty()) {
    std::fprintf(stderr, "kvm-log: %s is an option of report (see --help)\n", reportOption.c_str());
    return kExitUsage;
  }
  if (!set && !setOption.empty()) {
    std::fprintf(stderr, "kvm-log: %s is an option of set (see --help)\n", setOption.c_str());
    return kExitUsage;
  }
  if (!realtime && !realtimeRange.empty()) {
    std::fprintf(stderr, "kvm-log: %s is an option of realtime (see --help)\n", realtimeRange.c_str());
    return kExitUsage;
  }
  if (realtime && !realtimeRange.empty() && o.window) {
    std::fprintf(stderr, "kvm-log: give one range only (%s and --from/--to)\n", realtimeRange.c_str());
    return kExitUsage;
  }
  if (o.from > o.to) {
    std::fprintf(stderr, "kvm-log: the window ends before it starts\n");
    return kExitBadWindow;
  }
  o.command = positional[0];
  if (positional.size() > 1) o.profile = positional[1];
  if (o.profiles.size() >= 300) {
    std::fprintf(stderr, "kvm-log: the profile folder's path is too long\n");
    return kExitUsage;
  }

  KvModule texts = KvLoadModule("kvm_log_en.so");
  if (texts == nullptr) {
    std::fprintf(stderr, "kvm-log: the English texts (kvm_log_en.so) are missing from the program folder\n");
    return kExitFailed;
  }
  // The socket module is bound so that a profile with name lookups on lists
  // host names; without it the engine runs every profile with lookups off.
  uint32_t network = 0;
  const int16_t slot = VRN_Register(o.profiles.c_str(), 1, 1, nullptr, &network, texts, 0, 0, ShowEngineError);
  if (slot < 0) {
    std::fprintf(stderr, "kvm-log: the engine refused the registration\n");
    KvFreeModule(texts);
    return kExitFailed;
  }
  struct sigaction sa{};
  sa.sa_handler = OnInterrupt;
  sigaction(SIGINT, &sa, nullptr);

  const int code = o.command == "list" ? ListProfiles() : RunProfile(o, slot);
  VRN_DeRegister(static_cast<uint16_t>(slot));
  KvFreeModule(texts);
  return code;
}
