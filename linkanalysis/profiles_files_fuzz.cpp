// Profile, schedule and memorized-report files of any content, and the
// schedule dialog's date, time and save-to texts.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "linkanalysis/profiles_files.h"

namespace {

std::string TempFile() {
  static std::string path = [] {
    char templ[] = "/tmp/kvlinkfuzzXXXXXX";
    int fd = mkstemp(templ);
    if (fd >= 0) close(fd);
    return std::string(templ);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string path = TempFile();
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  ScheduleEntry schedule;
  if (kvla::ReadSchedule(path.c_str(), &schedule)) {
    if (strnlen(schedule.saveAs, sizeof schedule.saveAs) == sizeof schedule.saveAs) std::abort();
    if (strnlen(schedule.password, sizeof schedule.password) == sizeof schedule.password) std::abort();
  }
  kvla::MemorizedReport report;
  kvla::ReadMemorizedReport(path.c_str(), &report);
  for (int i = 0; i < kvla::kReportTableCount; ++i)
    if (report.rows[i] < 1 || report.rows[i] > kvla::ReportRowMaximum(i)) std::abort();
  if (report.urlType != 0 && report.urlType != 1 && report.urlType != 3) std::abort();
  kvla::ReportRunSettings settings;
  kvla::ApplyMemorizedReport(report, &settings);
  kvla::ProfileSummary summary;
  ProfileEntry entry;
  if (kvla::ReadProfileSummary(path.c_str(), &summary)) kvla::BuildProfileEntry(path.c_str(), summary, &entry);

  // The same bytes as dialog texts: date | time | path | e-mail.
  std::string parts[4];
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    size_t bar = i < 3 ? text.find('|', at) : std::string::npos;
    parts[i] = text.substr(at, bar == std::string::npos ? std::string::npos : bar - at);
    if (bar == std::string::npos) break;
    at = bar + 1;
  }
  struct tm tm;
  for (int order = 0; order < 3; ++order)
    if (kvla::ParseScheduleDateTime(parts[0], parts[1], '/', ':', order, &tm) == 0 &&
        (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_hour > 23))
      std::abort();
  std::string out;
  for (int kind : {0, 1, 3}) kvla::BuildSaveToAddress(kind, parts[2], parts[3], "/r/", &out);
  kvla::SaveToFields fields = kvla::SplitSaveToAddress(text, "/r/");
  if (fields.combo < 0 || fields.combo > 2 || fields.path.size() > 260 || fields.email.size() > 64) std::abort();
  kvla::SaveToKindOf(text);
  kvla::LocalFromFileUrl(text);
  return 0;
}
