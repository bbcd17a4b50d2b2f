// The remote report server: a small HTTP/1.0 server inside the main program
// through which users on other machines log on, list, request, read and
// delete their reports.
//
// The program calls InitWebServerSettings at start, StartWebServer whenever
// the Web* keys of KELVARON.INI may have changed (it starts only what is not
// running and stops what is no longer wanted) and ExitWebServer at exit.
// Starting reports is the plug-ins' work: the program hands the server its
// RemoteReportHooks.
#ifndef KV_WEBSERVER_WEBSERVER_H
#define KV_WEBSERVER_WEBSERVER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/base/kvtypes.h"

// The server's settings record (one global of the program).
struct WebServerSettings {
  char programFolder[200];  // with its trailing separator
  char webEnable[10];       // WebEnable as read
  char webAddress[100];     // "", "addr", "addr:port" or ":port"
  char webAdmin[100];       // "u<user>" or "g<group>"
  uint32_t userTimeout;     // WebUserTimeout, minutes
  int32_t daysToKeep;       // WebNoDays; below 1 no removal
  int32_t reportsPerUser;   // WebNoReports
  int32_t logging;          // WebLogging, non-zero: write Remote.log
  int32_t allowRequests;    // WebAllowReport
  char iniPath[260];        // KELVARON.INI
  char documentRoot[260];   // program folder + "wwwroot"
  char usersRoot[260];      // program folder + "Reports\Remote Reports\users"
};

// Resource ids of the message shown when the logon right is missing.
inline constexpr uint32_t kTextNoLogonRight = 5718;
inline constexpr uint32_t kCaptionNoLogonRight = 5719;

// Sets the record to zero and its start values (user time-out 30, days to
// keep 7, reports per user 10, allow requests 1).
void InitWebServerSettings();

// Reads the Web* keys, starts or stops the listener and opens or closes
// Remote.log as the keys say. Safe to call at any time, also from a
// connection thread; returns 0.
int StartWebServer();

// Program exit: stops the listener, waits for it and its connections to end
// and releases the network bindings taken by StartWebServer.
void ExitWebServer();

// A copy of the settings record, taken under its lock.
WebServerSettings GetWebServerSettings();

// True while the listener is listening.
bool IsWebServerRunning();

// String `id` of the program's resources: the resource module the program
// chose at start (SetWebServerResources), else the program's own (one
// 100-byte static buffer, overwritten by each call).
const char* LoadResourceText(uint32_t id);

// The resource module (the language module) whose texts the server shows;
// null: the program's own.
void SetWebServerResources(KvModule module);

// ---- reports requested by remote users ---------------------------------------

// One report a remote user asked for.
struct RemoteReportJob {
  std::string userName;
  uint32_t userNumber = 0;
  std::string profile;  // the profile (report) name the user chose
  std::string folder;   // the report's own folder: write rep.<ext> there
};

// Report types and the file extension each is served with.
enum RemoteReportType : int32_t { kReportHtml = 0, kReportDoc = 1, kReportXls = 2, kReportCsv = 3, kReportText = 4 };

struct RemoteReportHooks {
  // The names of the profiles a remote user may request.
  std::function<std::vector<std::string>()> listProfiles;
  // Runs the report into job.folder; returns its type (0 to 4), or -1 when it
  // failed.
  std::function<int32_t(const RemoteReportJob& job)> runReport;
};

// Installs the program's hooks (empty hooks: no profiles, requests fail).
void SetRemoteReportHooks(RemoteReportHooks hooks);

#endif
