// Start and exit of the remote report server and its report hooks.
#include "shell/options_remote.h"

#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/ui/window.h"
#include "shell/plugin_host.h"
#include "shell/startup_main.h"
#include "webserver/webserver.h"

namespace kv::opts {

namespace {

struct RemoteRun {
  const RemoteReportJob* job = nullptr;
  int32_t type = -1;
};

// The report type of the file a plug-in wrote into the job's folder.
int32_t ReportTypeIn(const std::string& folder) {
  static const char* const kExt[5] = {"htm", "doc", "xls", "cvs", "txt"};
  std::error_code ec;
  for (int32_t type = 0; type < 5; ++type)
    if (std::filesystem::exists(std::filesystem::path(folder) / (std::string("rep.") + kExt[type]), ec))
      return type;
  return -1;
}

std::vector<std::string> ListProfiles() {
  std::vector<std::string> names;
  KvWindow hidden = app::App().hiddenWindow.load();
  if (hidden) ui::SendMessage(hidden, kRemoteListMessage, 0, reinterpret_cast<KvLParam>(&names));
  return names;
}

int32_t RunReport(const RemoteReportJob& job) {
  RemoteRun run;
  run.job = &job;
  KvWindow hidden = app::App().hiddenWindow.load();
  if (hidden) ui::SendMessage(hidden, kRemoteRunMessage, 0, reinterpret_cast<KvLParam>(&run));
  return run.type;
}

}  // namespace

void InitRemoteReports() {
  InitWebServerSettings();
  // The server's messages come from the language module chosen at start.
  SetWebServerResources(app::App().resourceModule);
  SetRemoteReportHooks({ListProfiles, RunReport});
}

bool HandleRemoteReportMessage(uint32_t message, KvWParam, KvLParam lparam, KvResult* result) {
  *result = 0;
  switch (message) {
    case kStartWebServerMessage:
      StartWebServer();
      return true;
    case kRemoteListMessage: {
      auto* names = reinterpret_cast<std::vector<std::string>*>(lparam);
      if (!names) return true;
      if (host::Profiles().empty()) host::EnumerateProfiles(app::App().hiddenWindow.load());
      for (const ProfileEntry* e : host::Profiles())
        if (e) names->emplace_back(e->description, strnlen(e->description, sizeof e->description));
      return true;
    }
    case kRemoteRunMessage: {
      auto* run = reinterpret_cast<RemoteRun*>(lparam);
      if (!run || !run->job) return true;
      run->type = -1;
      for (ProfileEntry* e : host::Profiles()) {
        if (!e || std::string(e->description, strnlen(e->description, sizeof e->description)) != run->job->profile)
          continue;
        // The owning plug-in makes the report (entry point 1); what it left
        // in the job's folder names the report's type.
        int32_t done = host::CallSupportFunction<GenerateReportFn>(e->libraryId, kSupportGenerateReport,
                                                                   app::App().hiddenWindow.load(), e, 1);
        if (done == KV_RESULT_DONE) run->type = ReportTypeIn(run->job->folder);
        break;
      }
      return true;
    }
    default:
      return false;
  }
}

void ExitRemoteReports() {
  SetRemoteReportHooks({});
  ExitWebServer();
  SetWebServerResources(nullptr);  // the module is released after this
}

}  // namespace kv::opts
