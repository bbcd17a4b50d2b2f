// Accumulation of one hit into the analysis database: its time slot, the
// visit it belongs to, the new-visitor filter, the TemplateRecord counters
// and the updates of the item tables (only the tables the report uses).
// AddHitToDatabase counts on the caller's thread, one hit at a time; a
// run's own loop (QueueHitForTables) counts its hits on threads of their
// own, in log order (HitCounting in hit_accumulation.cpp).
#ifndef VORNIC_DATABASE_HIT_ACCUMULATION_H
#define VORNIC_DATABASE_HIT_ACCUMULATION_H

#include <cstdint>

#include "engine/core/hit_record.h"
#include "engine/database/analysis_context.h"
#include "engine/database/item_tables.h"

namespace vrn {

struct ReportHandle;

// Longest path text put into a page name.
constexpr uint32_t kMaxPagePath = 250;

// 1 done, 0 when the run holds no analysis database or a table operation
// failed for lack of memory.
int AddHitToDatabase(ReportHandle* run, HitRecord* hit);
// For the run's own loop: AddHitToDatabase, done later on the run's
// counting threads (see HitCounting), in hit order.
// SettleHitTables (analysis_context.h) makes the context whole; 0 here may
// also tell of a failure on those threads. The hit is copied; the caller
// keeps it.
int QueueHitForTables(ReportHandle* run, HitRecord* hit);
// 1 done (or the hit was dropped: wrong log kind, rejected or banned
// visitor), 0 when a table operation failed. `run` may be null (no
// new-visitor filter then).
int AccumulateHit(ReportHandle* run, AnalysisContext* context, HitRecord* hit);

// Item counters for one hit in `slot` (below 32).
void CountItemHit(NameTableEntry* item, uint16_t slot, uint32_t isNewVisitor);
void CountItemHits(NameTableEntry* item, uint16_t slot);
void CountItemUser(NameTableEntry* item, uint16_t slot);

// Mark the tables of referrer logs (11, 23) and of agent logs (12, 13, 32,
// 33, 34) used.
void EnableReferrerTables();
void EnableAgentTables();

// The page's full address in an engine-owned buffer (valid until the next
// call): base (home page folder, or "http://" / "ftp://" and the server),
// the path (at most kMaxPagePath characters) and, for a folder request, the
// default document. *pagePart points just past the base; *extension at the
// extension (empty when none).
const char* BuildPageName(ReportHandle* run, AnalysisContext* context, HitRecord* hit, int isFtp,
                          const char** pagePart, const char** extension);

// 1 when `extension` (cut at "?") names the file type: number 2 always,
// 1 only with a "?" in the extension text, 0 only without one.
int MatchFileType(const char* extension, const FileType* fileType);
int IsFormHit(const HitRecord* hit);
int IsDocumentHit(const AnalysisContext* context, const HitRecord* hit, const char* page, const char* extension);
int IsUploadHit(const HitRecord* hit);

// Rewrites `domain` (60 bytes) with the name of the first intranet entry
// whose address patterns match the client host label by label; 1 when one
// matched.
int MapHostToDomain(const AnalysisContext* context, const char* clientHost, char* domain);

// Adds the time since the visit's last page to the visit and to that page,
// then makes `pageItem` (of table 5 when isForm, else 7) the last page.
// 1 when an interval was added.
int TimeOnPage(SummaryTableEntry* sessionTable, SummaryTableEntry* directory, uint32_t isForm,
               NameTableEntry* visit, uint32_t pageItem, uint32_t time);

// Display names of the report options' country and US state lists (the code
// itself when not listed); engine-owned buffers, one each.
const char* GetCountryName(const AnalysisContext* context, const char* code);
const char* GetStateName(const AnalysisContext* context, const char* code);

// Formats a status text of the report options: the first integer
// conversion ("%d", "%03d", "%i", "%u" with flags and width) takes the
// status, "%%" gives "%", any other "%" stays as text.
void FormatStatusText(char* out, size_t size, const char* format, uint32_t status);

}  // namespace vrn

#endif
