// kvm-log: runs a profile of the analysis engine over a time window from the
// command line, as the log analysis plug-in does: registers with the engine
// and the English texts, lists profiles, and runs one in a chosen kind,
// printing the record count or the text view.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <vornic/vornic.h>

#include "platform/module/module.h"

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
    "\n"
    "Lists the profiles of the profile folder, or runs one profile's logs\n"
    "through the engine over a time window.\n"
    "\n"
    "Options:\n"
    "  --profiles DIR   profile folder (default: the program folder's kvm_log/profiles/)\n"
    "  --from TIME      start of the window: YYYY-MM-DD or YYYY-MM-DD HH:MM[:SS]\n"
    "                   (default: the beginning of time)\n"
    "  --to TIME        end of the window, inclusive; a date alone means its\n"
    "                   last second (default: the end of time)\n"
    "  --kind KIND      count (count the records), visits (one line per hit\n"
    "                   under visit blocks; the default) or detail (a block\n"
    "                   per hit)\n"
    "  --group N        split the listing by: 0 none, 1 address type, 2 country,\n"
    "                   3 protocol, 4 method, 5 date, 6 result, 8 host, 9 domain\n"
    "  --width N        line width of the listing (default 77)\n"
    "  --output FILE    write the listing to FILE instead of standard output\n"
    "  --progress       show a progress bar on standard error (default when\n"
    "                   standard error is a terminal)\n"
    "  --help           show this text\n"
    "\n"
    "PROFILE is a profile file name (00000001.wlp) or its name (00000001).\n"
    "A profile with name lookups on lists host names in place of addresses.\n"
    "Ctrl-C cancels a run. Exit codes: 0 done, 1 usage, 2 unknown profile,\n"
    "3 logs unreadable or without records in the window, 4 bad window,\n"
    "5 the run failed, 130 cancelled.\n";

int32_t ShowEngineError(KvWindow, const char*, const char* text, uint32_t a4, uint32_t, uint32_t) {
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
  bool progress = false;
};

int ListProfiles() {
  std::vector<DravelEntry*> seen;
  while (DravelEntry* p = LogGetNextProfile(nullptr, 0, nullptr)) {
    std::printf("%s.%s\t%s\t%s\n", p->Name, p->Extension, p->Description, p->LogFilePath);
    VRN_FreeSet(p);
  }
  return kExitOk;
}

int RunProfile(const Options& o, int16_t slot) {
  std::string file = o.profile;
  if (file.find('.') == std::string::npos) file += ".wlp";
  DravelEntry* profile = VRN_GetSet(file.c_str());
  if (profile == nullptr) {
    std::fprintf(stderr, "kvm-log: unknown profile %s (not readable in %s)\n", o.profile.c_str(), o.profiles.c_str());
    return kExitUnknownProfile;
  }

  char viewFolder[300] = {};
  std::string tmp;
  if (o.kind != 5) {
    const char* base = std::getenv("TMPDIR");
    tmp = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kvm_logXXXXXX";
    if (mkdtemp(tmp.data()) == nullptr || tmp.size() + 2 > sizeof viewFolder) {
      std::fprintf(stderr, "kvm-log: cannot make a folder for the listing: %s\n", std::strerror(errno));
      VRN_FreeSet(profile);
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
    switch (error) {
      case VRN_ERR_NO_DATA: std::fprintf(stderr, "kvm-log: the profile's logs hold no data\n"); break;
      case VRN_ERR_FILE: std::fprintf(stderr, "kvm-log: the profile's logs cannot be opened (%s)\n", profile->LogFilePath); break;
      case VRN_ERR_NOT_AVAILABLE: std::fprintf(stderr, "kvm-log: this kind of run or log location is not available\n"); break;
      case 0: std::fprintf(stderr, "kvm-log: no log record lies in the time window\n"); break;
      default: std::fprintf(stderr, "kvm-log: the run could not be created (error 0x%04X)\n", error); break;
    }
    code = error == VRN_ERR_NOT_AVAILABLE || error == VRN_ERR_BAD_ARGUMENT ? kExitFailed : kExitLogs;
  } else {
    ProgressBar bar(o.progress);
    int16_t step = 0;
    uint32_t yield = 0;
    while (!g_cancel && (step = VRN_PeekReport(static_cast<uint16_t>(slot), handle, &yield, &error)) == 0) {
      if (yield) {
        yield = 0;
        bar.Show(ADT_GetReportDonePercent(handle), ADT_GetReportRecCount(handle));
      }
    }
    bar.Show(ADT_GetReportDonePercent(handle), ADT_GetReportRecCount(handle));
    bar.Finish();
    if (g_cancel) {
      std::fprintf(stderr, "kvm-log: cancelled\n");
      code = kExitCancelled;
    } else if (error != 0) {
      std::fprintf(stderr, "kvm-log: the run failed (error 0x%04X)\n", error);
      code = kExitFailed;
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
  VRN_FreeSet(profile);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  o.profiles = ProgramFolder() + "kvm_log/profiles/";
  o.progress = isatty(2) != 0;
  std::vector<std::string> positional;
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
      if (!o.profiles.empty() && o.profiles.back() != '/') o.profiles += '/';
    } else if (a == "--from" || a == "--to") {
      const char* v = value(a.c_str());
      if (!ParseTime(v, a == "--to", a == "--from" ? &o.from : &o.to)) {
        std::fprintf(stderr, "kvm-log: bad time for %s: %s (YYYY-MM-DD or YYYY-MM-DD HH:MM[:SS])\n", a.c_str(), v);
        return kExitBadWindow;
      }
    } else if (a == "--kind") {
      const std::string k = value("--kind");
      if (k == "count") o.kind = 5;
      else if (k == "visits") o.kind = 3;
      else if (k == "detail") o.kind = 2;
      else {
        std::fprintf(stderr, "kvm-log: unknown kind %s (count, visits or detail)\n", k.c_str());
        return kExitUsage;
      }
    } else if (a == "--group") {
      o.group = number("--group", 9);
      if (o.group == 7) {
        std::fprintf(stderr, "kvm-log: there is no grouping 7\n");
        return kExitUsage;
      }
    } else if (a == "--width") {
      o.width = number("--width", 3000);
    } else if (a == "--output") {
      o.output = value("--output");
    } else if (a == "--progress") {
      o.progress = true;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "kvm-log: unknown option %s (see --help)\n", a.c_str());
      return kExitUsage;
    } else {
      positional.push_back(a);
    }
  }
  if (positional.empty() || (positional[0] == "list" && positional.size() != 1) ||
      (positional[0] == "run" && positional.size() != 2) || (positional[0] != "list" && positional[0] != "run")) {
    std::fputs(kUsage, stderr);
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
