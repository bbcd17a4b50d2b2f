// The crawl engine: start-up and clean-up of a run, the worker threads that
// take page records, request them and scan their bodies for links, and the
// found links' way into the link database.
#ifndef KV_LINKANALYSIS_CRAWL_H
#define KV_LINKANALYSIS_CRAWL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "linkanalysis/linkcontext.h"

namespace kvla {

// One row of the tag table.
struct TagRow {
  const char* first;
  const char* second;
  const char* third;  // null: none
  int32_t kind;       // 3 and 4 skip ranges; else the link kind
  bool sameTag;
};
inline constexpr int32_t kTagRows = 14;
extern const TagRow kTagTable[kTagRows];

// Registers and unregisters the LED window class (done when the plug-in is
// loaded and unloaded; start-up registers it when nobody did).
bool RegisterLedClass();
void UnregisterLedClass();

// The plug-in's load-time set-up (run when kvm_link.so is loaded): registers
// the LED window class, or shows "Unable to register LED window class." and
// fails, and then the plug-in refuses to be initialised. The unload
// unregisters it.
bool AttachLinkAnalysis();
void DetachLinkAnalysis();
// Whether the last load-time set-up failed.
bool AttachFailed();

// Creates the worker of a slot (64 KiB stack); 0 on failure.
int CreateWorkerThread(uint32_t (*procedure)(void*), LinkAnalysisDataStruct* ctx, int32_t slot);
uint32_t LinkWorkerThread(void* slot);

// Takes the next record nobody has taken into *out; -1 once the run stops.
int32_t TakeNextInlistUrl(LinkAnalysisDataStruct* ctx, ThreadSlot* slot, PageRecord* out);

// Adds the link whose attribute text starts at `text` (at the '=' or at the
// attribute name before it) as found on `parent`. 1 on success, 0 when the
// database could not take it (out of memory or stopping).
int AddFoundLink(LinkAnalysisDataStruct* ctx, const PageRecord* parent, const char* text, size_t size,
                 int32_t checkBits, int32_t kind);

// Scans an HTML body with the tag table, adding every link found; at most
// kMaxScanBytes of it are scanned. 0 when a link could not be added, -1 when
// memory for the scan could not be had.
int ScanPage(LinkAnalysisDataStruct* ctx, ThreadSlot* slot, const PageRecord* record, const char* data,
             size_t size);

// The key that names a URL in the run: scheme, host, port and stored path.
std::string UrlKey(int32_t linkType, std::string_view host, int32_t port, std::string_view path);
std::string UrlKey(const PageRecord& record);
// After a record's redirects were followed: later links to the URL it was
// found as (`original`, its UrlKey then) still lead to it.
void RememberRedirectedUrl(LinkAnalysisDataStruct* ctx, const std::string& original, const PageRecord& record);

// True when every record has been taken and no worker holds one: the crawl
// has nothing left to do.
bool IsCrawlIdle(LinkAnalysisDataStruct* ctx);
// Sets the stop flag and waits until every worker has ended.
void StopWorkers(LinkAnalysisDataStruct* ctx);

}  // namespace kvla

extern "C" {
int KVLA_AnalysisEngineStartUp(intptr_t host, LinkAnalysisDataStruct* ctx);
int KVLA_AnalysisEngineCleanUp(intptr_t ignored, LinkAnalysisDataStruct* ctx);
}

#endif
