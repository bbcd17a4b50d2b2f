// Reverse name lookups: the disk cache of looked-up names and the queue of
// hits waiting for their lookups. Registration opens the cache and sets up
// the queue; the last deregistration closes and frees them.
//
// The queue keeps hits in log order while their lookups finish in any order.
// A report run (or a realtime update) queues every hit with QueueHitForDNS
// and polls CheckDNS, which hands finished hits, oldest first, to the per-hit
// step. Everything here runs on the client's thread; fast-mode lookup threads
// never touch the queue (each writes into its own job record, which the
// client's thread collects).
#ifndef VORNIC_NETWORK_DNS_QUEUE_H
#define VORNIC_NETWORK_DNS_QUEUE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/base/kvtypes.h"

namespace vrn {

struct HitRecord;
struct ReportHandle;
struct DNSFifoEntry;
struct DnsRun;

// Lookup states of a queue entry.
enum : uint32_t {
  kDnsRunning = 1,     // lookup (or its leader's lookup) in flight
  kDnsFound = 2,       // a name was found
  kDnsFailed = 3,      // no answer; the numeric text stays
  kDnsFromCache = 4,   // answered from the disk cache
  kDnsLookupsOff = 5,  // numeric address, lookups off
  kDnsFree = 6,        // slot unused
  kDnsTimedOut = 7,    // no answer within the run's time-out
  kDnsNotNumeric = 8,  // the address was already a name
};

// The message that carries an asynchronous lookup's answer to the DNS window.
constexpr uint32_t kDnsAnswerMessage = 1034;

// The per-hit step CheckDNS hands each finished client hit to: 1 go on,
// 0 stop the run. ProcessResolvedHit (hit_step.h) unless a caller sets its own.
using DnsHitStep = int (*)(uint32_t state, HitRecord* hit, DnsRun* run);

// What name resolution reads and writes of a report run. The run keeps one
// of these and passes it to QueueHitForDNS and CheckDNS; `handle` must be the
// run's currently locked handle at each call (the per-hit step passes it on
// to the filters, the analysis database and the text view).
struct DnsRun {
  ReportHandle* handle = nullptr;
  uint32_t lookupSetting = 0;    // 0 off, 1 on, 2 only while the log holds numeric hosts
  uint32_t timeoutMs = 25000;    // GetDNSTimeout() at creation
  uint32_t runKind = 5;          // 6 analysis database, 5 count only, else a text view
  uint64_t runningTotal = 0;     // sum of each passed hit's RecordSize word
  uint32_t cancelFlag = 0;       // set when the client's callback answered "cancel"
  DnsHitStep hitStep = nullptr;  // null: ProcessResolvedHit
  uint16_t stopError = 0;        // why the per-hit step stopped the run (an error word), 0 none given
};

// ---- the disk cache (NSLOOKUP.DTX / NSLOOKUP.DIN) -------------------------

// Opens or creates the lookup cache files in profileDir and loads their
// index. Returns 1 on success, 0 when the cache is unavailable (lookups then
// go without the disk cache). An open cache is closed first.
int OpenDNSCache(const char* profileDir);
// Writes the cache index back and closes both cache files.
void CloseDNSCache();
// True when both files and the index are open.
bool IsDNSCacheOpen();
// The cached name of a network-order IPv4 address: true and the name (at
// most 99 characters) when found. A miss raises the DNS-activity flag.
bool LookupDNSCache(uint32_t address, std::string* name);
// Appends one answer (address 0 is never cached). False when the write
// failed (the cache is then off for the rest of the process).
bool AppendDNSCache(uint32_t address, const char* name);

// Raised by a cache miss (a real lookup follows) and by an answer arriving
// at the DNS window; the report run clears it before each read.
extern uint32_t g_dnsActivityFlag;

// ---- the queue -------------------------------------------------------------

// Allocates count entries and resets each; false when the memory is not
// there (the previous queue, if any, is kept then). Any previous queue is
// emptied first (CancelDNSFifo).
bool AllocateDNSFifo(uint32_t count);
// Empties the queue, waits for every lookup thread to end, frees the ring.
void FreeDNSFifo();
// Marks one entry free (frees nothing).
void ResetDNSFifoEntry(DNSFifoEntry* entry);

// Queues a copy of the hit (and of its server address, unless server
// lookups are disabled) and starts its lookups. The caller keeps its record;
// its line copy is freed here in every case. 1 queued; 3 the per-hit step
// asked to stop while the hit waited for room (the run must stop; the hit is
// not queued); 0 any other failure (nothing of the hit is left in the queue).
int QueueHitForDNS(DnsRun* run, HitRecord* hit);
// Appends a copy of the hit (step A), waiting while the queue is full; with
// takeLine the copy takes over the hit's line instead of copying it (the
// hit is then left without a line). Returns the entry's index; -2 when the
// per-hit step asked to stop while waiting; -1 when the queue stayed full or
// the copy could not be made (the hit keeps its line).
int32_t AddToDNSFifo(DnsRun* run, HitRecord* hit, bool takeLine = false);
// QueueHitForDNS followed at once by CheckDNS, for a loop that does both for
// every hit: with lookups off and nothing queued, the hit goes straight to
// the per-hit step (no copy is queued) and its line is freed. Answers as
// the pair would: 0 not queued (QueueHitForDNS's 0), 3 stop (from either),
// else CheckDNS's answer.
int QueueAndCheckDNS(DnsRun* run, HitRecord* hit);
// Passes finished entries, oldest first, to the per-hit step. 4 queue empty,
// 3 the per-hit step asked to stop (the refused entry is released), 2 entries
// pending and the queue full, 1 entries pending.
int CheckDNS(DnsRun* run);
// Polls CheckDNS with 10 ms sleeps until it answers 4 (returns 4) or 3
// (returns 3): the drain at a log's end.
int DrainDNSFifo(DnsRun* run);
// Releases every queued entry without passing its hit on (finished leaders
// still go to the disk cache) and empties the queue. Lookup threads still
// running are left to end on their own; they write nothing of the queue.
void CancelDNSFifo();
// Empties the queue (CancelDNSFifo) and waits, at most the lookup time-out
// and a margin, for every lookup thread to end: a report run does this when
// it is created and when it is closed, so that no run inherits entries or
// lookups of an earlier one. True when no lookup thread runs afterwards.
bool ResetDNSFifo();
// True when the queue is full (ring full, or MaxDNSThreads lookups running
// in fast mode).
bool IsDNSFifoFull();
// Number of entries queued now.
uint32_t DNSFifoCount();
// Lookup threads still running (also those of cancelled entries).
uint32_t LiveDNSLookupThreads();
// Waits up to timeoutMs for every lookup thread to end; true when none runs.
bool WaitForDNSLookupThreads(uint32_t timeoutMs);

// Counters of the lookups since the queue was allocated.
struct DnsCounters {
  uint32_t lookupsStarted = 0;   // real lookups (threads or async requests)
  uint16_t timeouts = 0;
  uint16_t lastError = 0;        // error of the last asynchronous answer
  uint32_t highestInFlight = 0;  // most own lookups running at once
};
DnsCounters GetDNSCounters();

// ---- the hidden window of slow mode ----------------------------------------

// Registers the class "DNSLOOK" once and creates the hidden window "DNS
// Window" on the calling thread; clears the time-out count. True on success
// (also when it exists already).
bool CreateDNSWindow();
// Destroys the window (a no-op when there is none).
void DestroyDNSWindow();
KvWindow DNSWindow();

// ---- host fields -------------------------------------------------------------

// Fills Domain, AddressType and Country of a hit after its lookup.
void FillHitHostFields(uint32_t state, HitRecord* hit, uint32_t lookupsOn);
// The lookups-on flag that applies to a finished hit: a hit that went to a
// lookup (any state but 5) counts as looked up even when the run's setting
// turned lookups off after the hit was queued (setting 2 at the first name).
inline uint32_t HitLookupsOn(uint32_t state, uint32_t lookupSetting) {
  return state == kDnsLookupsOff ? lookupSetting : 1;
}
// Splits ClientHost into Domain, AddressType and Country.
void SplitHostName(HitRecord* hit);

// Network-order address of a dotted-quad text "a.b.c.d" (each 0..255);
// false for any other text.
bool ParseDottedQuad(const char* text, uint32_t* address);

}  // namespace vrn

#endif
