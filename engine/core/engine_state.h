// Engine-wide state of the analysis engine: registration, client callbacks,
// settings read at registration, and the internal helpers every part of the
// engine uses (texts, callback dispatch, INI access, paths, time helpers).
//
// The engine is used from one client thread; nothing here is locked.
// Other parts of the engine may add a field they own to EngineState.
#ifndef VORNIC_ENGINE_STATE_H
#define VORNIC_ENGINE_STATE_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "platform/base/kvtypes.h"
#include <vornic/registration.h>
#include <vornic/settings.h>

namespace vrn {

// One registered client.
struct ClientSlot {
  uint32_t inUse = 0;           // 1 = taken
  uint16_t tag = 0;             // the client tag given to VRN_Register
  std::string profileDir;       // at most 300 characters, ends with a separator
  uint16_t networkWord = 0;     // result of ACP_Register for this client
  // What the client registered with, put back as the engine-wide values when
  // a later-registered client leaves before this one.
  bool holdsNetwork = false;    // took a binding of the network libraries
  uint32_t order = 0;           // registration sequence number
  VrnYieldCallback yield = nullptr;
  KvModule resources = nullptr;
  VrnDisplayErrorFn displayError = nullptr;
  KvHandle impersonationToken = 0;
  uint32_t restriction = 0;
};

// Sizes of the engine's fixed tables.
constexpr uint32_t kTextCacheSize = 5750;     // text ids 0..5749
constexpr uint32_t kEngineTextFirst = 5500;   // the engine's own ids: 5500..5749
constexpr uint32_t kEngineTextLast = 5749;
constexpr uint32_t kDefaultDnsQueueSize = 2000;

struct EngineState {
  // Registration.
  KvModule ownModule = nullptr;         // this library
  KvModule resourceModule = nullptr;    // texts and TEXT blocks of the client
  uint16_t registrationCounter = 65535; // 65535 until the first registration
  uint32_t activeClients = 0;           // registered clients now; shared resources live while > 0
  KvHandle impersonationToken = 0;
  uint32_t restrictionFlag = 0;
  ClientSlot slots[VRN_MAX_CLIENTS];
  std::string lastRegisteredDir;        // directory of the latest registration

  // Callbacks and client signals.
  uint32_t networkBound = 0;            // 1 when the network libraries were bound
  VrnYieldCallback yieldCallback = nullptr;
  VrnYieldCallback savedYieldCallback = nullptr;  // put back after each long operation
  VrnProgressCallback progressCallback = nullptr;
  VrnPercentCallback percentCallback = nullptr;
  KvWindow progressWindow = 0;                    // VRN_SetProgressHWND
  volatile uint32_t* cancelWord = nullptr;        // VRN_SetCancelBOOL
  uint32_t abortFlag = 0;
  VrnAbortCallback deferredAbortCallback = nullptr;
  uint32_t realtimeNesting = 0;

  // [defaults] of the module INI, read at every registration.
  uint32_t disableServerLookup = 0;
  uint32_t logFileReloadSize = 1000000;
  uint32_t disableColdFusion = 0;
  uint32_t useHTMLTitleExtensions = 0;
  uint32_t overrideIISHomePage = 0;
  uint32_t dnsTimeoutMs = 25000;                  // GetDNSTimeout()
  uint32_t dnsQueueSize = kDefaultDnsQueueSize;   // at least 2
  uint32_t dnsFastMode = 1;                       // ReadDNSModeSettings(): 1 thread per lookup, 0 async
  uint32_t maxDnsThreads = 32;                    // thread limit chosen by ReadDNSModeSettings

  // Display date settings (system [intl]), read at the first registration.
  uint32_t displayIDate = 0;                      // 0 M/D/Y, 1 D/M/Y, 2 Y/M/D
  char displaySDate[2] = {'/', 0};
  char displaySTime[2] = {':', 0};
  // Log date settings (module INI [intl], falling back to the system's).
  uint32_t logIDate = 0;
  char logSDate[2] = {'/', 0};
  char logSTime[2] = {':', 0};

  // Host texts written into a hit when no lookup is made (strings 5614-5616).
  std::string unresolvedDomain;
  std::string unresolvedAddressType;
  std::string unresolvedCountry;

  // Module INI settings re-read by VRN_NotifyIniFileChanged (and at registration).
  uint32_t cookieEnable = 1;                      // [Cookie] Enable
  uint32_t cookieValidate = 0;                    // [Cookie] Validate (both read at registration)
  uint32_t ftpDownloadMode = 1;                   // [Defaults] FTPDownload: 2 Once, 1 Detect, 0 other

  // Raised by VRN_DeleteSet; read by VRN_QuerySetListChange.
  uint32_t setListChangeCounter = 0;

  // Charting library start result (0 = started).
  uint32_t gswStartResult = 1;

  // The last failure of report writing (copies of report files among them);
  // nothing clears it when a report succeeds.
  std::string summaryErrorText;
  KvGlobal templateSectionList = 0; uint16_t templateSectionCount = 0;  // section list of the report being written (0 = none)
  uint16_t noPageTitles = 0;  // [Defaults] NoHTMLTitles, read by each report: 1 = page-title lookups give no title
};

extern EngineState g_engine;

// The profile directory of the engine (that of client slot 0).
const std::string& ProfileDirectory();

// ---- texts of the client's resource module -------------------------------
// The text given for a missing string or TEXT resource.
inline constexpr const char kTextNotFound[] = "String Not Found!";
bool IsTextNotFound(const char* text);  // also true for null
// Cached string-table text of id, or "String Not Found!" (never null; the
// text stays valid until the last client deregisters).
const char* LoadResString(uint32_t id);
// Cached "TEXT" resource of id followed by two zero bytes, or "String Not Found!".
const char* LoadTextResource(uint16_t id);
// Size in bytes of a loaded TEXT resource (0 when it is not cached).
size_t TextResourceSize(uint16_t id);
// Drops the cached texts of ids first..last (pointers to them become invalid).
void ClearTextCache(uint32_t first, uint32_t last);
size_t CachedTextCount();

// ---- callbacks -----------------------------------------------------------
// Calls the first callback set: progress (refresh: (0, "", 0, -1, 0), else
// a1..a5; 7 cancels), percent (refresh: 65535, else a4; 0 cancels), yield.
// Returns 2 cancel, 3 go on, 1 when no callback is set.
int CallClientCallback(uint32_t refresh, uint32_t a1, const char* a2, uint32_t a3, int32_t a4, uint32_t a5);
// Shows text through the client's error display as (0, "Kelvaron", text, 0, 0, 0).
void DisplayReportError(const char* text);
// Closes the realtime store, runs a deferred abort callback once, lowers the
// realtime nesting count.
void EndRealtimeUpdate();

// ---- network-side settings ----------------------------------------------
int ReadDNSModeSettings();      // 1 fast (thread per lookup), 0 slow; sets g_engine.dnsFastMode
uint32_t GetDNSTimeout();       // [Defaults] DNSTimeout (default 25) * 1000 ms
void GetWindowsVersion(uint32_t* platformId, uint32_t* majorVersion);
void ReadNotifiedIniSettings(); // FTPDownload and [Cookie] flags into g_engine

// ---- paths (std::string forms of the exported path functions) -------------
// This library's own module (the module that holds the engine's code).
KvModule OwnModule();
std::string EngineFolder();     // ends with "/"
std::string BaseIniPath();
std::string ModuleIniPath();
std::string MainPath();
std::string DatfilesPath();
// Sets the engine's application path (a file path whose folder is the
// engine's folder), as VRN_InitApplicationPath does for a module.
void SetApplicationPath(const std::string& modulePath);

// ---- INI (std::string forms) ---------------------------------------------
std::string GetBaseProfileStr(const char* section, const char* key, const char* def);
std::string GetModuleProfileStr(const char* section, const char* key, const char* def);

// ---- numbers and memory --------------------------------------------------
int32_t ParseIntText(const char* text);     // decimal value of the first 19 characters
long ParseLongText(const char* text);
void* AllocZeroed(size_t size);             // zero-filled; release with std::free; null on failure
int64_t SeekFile64(KvFile file, uint32_t low, int32_t high, uint32_t method);  // -1 on error
int64_t GetFileSize64(KvFile file);

// ---- time ----------------------------------------------------------------
// Broken-down local / UTC time of *t; the record is shared and overwritten
// by the next call.
struct tm* GetLocalTimeOf(const time_t* t);
struct tm* GetGmTimeOf(const time_t* t);
// Wall-clock seconds of a broken-down time counted as if it were UTC.
int64_t WallClockSeconds(const struct tm& t);

// Names and separators for FormatIntlDateTime (e.g. from the report options).
struct IntlLocale {
  const char* shortWeekdays[7];
  const char* fullWeekdays[7];
  const char* shortMonths[12];
  const char* fullMonths[12];
  uint32_t dateOrder;       // 0 M/D/Y, 1 D/M/Y, 2 Y/M/D
  const char* dateSeparator;  // first character used
  const char* timeSeparator;  // first character used
};

// strftime-like formatting with the engine's names (or locale's) and the
// international date order: %% %a %A %b %B %d %H %M %S %j %m %p %y %Y %D %T.
std::string FormatIntlDateTime(const char* format, const struct tm& t, const IntlLocale* locale);
// Buffer form: writes at most size - 1 characters and a zero; returns the length written.
int FormatIntlDateTime(char* out, size_t size, const char* format, const struct tm* t, const IntlLocale* locale);

// Short month name (0-11) as the engine's texts have it.
const char* ShortMonthName(int month);
// Forgets the month and weekday names so that they are read again.
void ResetNameTables();

// NormalizeLogPath with a given "now" (wall clock of the machine).
std::string NormalizeLogPath(const std::string& path, const std::string& base, time_t now);

// ---- charting library --------------------------------------------------
void ReleaseGSWLibrary(uint32_t mode);

}  // namespace vrn

#endif
