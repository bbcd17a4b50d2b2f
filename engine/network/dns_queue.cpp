// The lookup queue: a ring of entries, each owning a copy of one hit while
// its client (or server) address is resolved. Hits leave the ring in the
// order they entered it, through CheckDNS and the per-hit step.
//
// Fast mode starts one thread per lookup. A thread never touches the ring:
// it gets a job record of its own (shared with its entry), writes the name
// there and publishes the result with a release store of the job's state.
// The client's thread collects finished jobs into their entries. A cancelled
// or timed-out entry simply drops its share of the job; the thread ends on
// its own, holding a reference to the socket module until it does.
//
// Slow mode asks the socket module for an asynchronous lookup whose answer
// arrives as message 1034 at the hidden window "DNSLOOK" of the client's
// thread; the wait pumps that window's messages itself.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/core/engine_state.h"
#include "engine/core/hit_record.h"
#include "engine/network/dns_queue.h"
#include "engine/network/hit_step.h"
#include "platform/base/clock.h"
#include "platform/module/module.h"
#include "platform/netbind/netbind.h"
#include "platform/ui/window.h"
#include "vornic/dns.h"

namespace vrn {

namespace {

constexpr KvHandle kNoTask = 0xFFFFFFFFu;
constexpr int32_t kLeader = -1;
constexpr int32_t kShared = -2;  // answered by its leader; neither leader nor waiting
constexpr size_t kNameField = 100;
constexpr uint32_t kAnswerBufferSize = 1024;
constexpr uint32_t kFullWaitMarginMs = 5000;

// What one lookup thread works on. The thread writes `name` and then
// `state` (release); the client's thread reads `state` (acquire) first.
struct LookupJob {
  uint32_t address = 0;
  std::atomic<uint32_t> state{kDnsRunning};
  char name[kNameField] = {};
  WsWSAStartupFn startup = nullptr;
  WsGethostbyaddrFn byAddress = nullptr;
  WsWSACleanupFn cleanup = nullptr;
  KvModule moduleRef = nullptr;  // keeps the socket module loaded while the thread runs
};

// Live lookup threads, also after their entries are gone. Never destroyed,
// so that a thread still ending at process exit finds it intact.
struct ThreadCount {
  std::mutex mutex;
  std::condition_variable ended;
  uint32_t live = 0;
};
ThreadCount& Threads() {
  static ThreadCount* count = new ThreadCount;
  return *count;
}

}  // namespace

struct DNSFifoEntry {
  KvHandle task = kNoTask;        // asynchronous request (slow mode)
  uint32_t state = kDnsFree;
  uint32_t startTick = 0;
  int32_t duplicateOf = kLeader;  // index of the leader looking up the same address
  HitRecord* hit = nullptr;       // owned copy
  char* answer = nullptr;         // slow mode answer buffer
  uint32_t address = 0;           // network order; 0 = not known
  std::shared_ptr<LookupJob> job; // fast mode lookup in flight
  char* nameDest = nullptr;       // ClientHost or Server of `hit`
  uint32_t server = 0;
  uint32_t waiting = 0;           // duplicates waiting for this leader
  bool answered = false;          // slow mode: the answer message arrived
};

namespace {

struct Fifo {
  DNSFifoEntry* ring = nullptr;
  uint32_t size = 0;
  uint32_t read = 0;
  int32_t write = -1;  // -1 = empty
  std::unordered_map<uint32_t, uint32_t> leaders;  // address -> index of its live leader
  std::vector<uint32_t> running;                   // leaders with a thread in flight
  DnsCounters counters;
  KvWindow window = 0;
};

Fifo g_fifo;

bool IsEmpty() { return g_fifo.ring == nullptr || g_fifo.write < 0; }

uint32_t Count() {
  if (IsEmpty()) return 0;
  const uint32_t w = static_cast<uint32_t>(g_fifo.write);
  return (w + g_fifo.size - g_fifo.read) % g_fifo.size + 1;
}

uint32_t Next(uint32_t i) { return i + 1 == g_fifo.size ? 0 : i + 1; }

// Clears 100 characters of a hit's name field and copies at most 99.
void PutName(char* dest, const char* name) {
  if (dest == nullptr) return;
  std::memset(dest, 0, kNameField);
  if (name != nullptr) std::memcpy(dest, name, strnlen(name, kNameField - 1));
}

void ReleaseEntry(uint32_t index) {
  DNSFifoEntry& e = g_fifo.ring[index];
  if (e.duplicateOf == kLeader) {
    auto it = g_fifo.leaders.find(e.address);
    if (it != g_fifo.leaders.end() && it->second == index) g_fifo.leaders.erase(it);
  }
  if (e.hit != nullptr) FreeHitRecord(e.hit);
  delete[] e.answer;
  e.job.reset();
  ResetDNSFifoEntry(&e);
}

void ThreadEnded() {
  ThreadCount& t = Threads();
  std::lock_guard<std::mutex> lock(t.mutex);
  if (t.live > 0) --t.live;
  t.ended.notify_all();
}

void DNSLookupThread(std::shared_ptr<LookupJob> job) {
  uint32_t result = kDnsFailed;
  WsaData data{};
  if (job->startup != nullptr && job->startup(0x0101, &data) == 0) {
    const WsHostEntry* entry = job->byAddress(reinterpret_cast<const char*>(&job->address), 4, WS_AF_INET);
    if (entry != nullptr) {
      if (entry->name != nullptr && entry->name[0] != '\0') {
        std::memcpy(job->name, entry->name, strnlen(entry->name, kNameField - 1));
      }
      result = kDnsFound;
    }
    if (job->cleanup != nullptr) job->cleanup();
  }
  job->state.store(result, std::memory_order_release);
  KvModule ref = job->moduleRef;
  job->moduleRef = nullptr;
  job.reset();
  if (ref != nullptr) KvFreeModule(ref);
  ThreadEnded();
}

// Collects finished thread lookups into their entries; a lookup running
// longer than the run's time-out ends as timed out.
void Harvest(const DnsRun* run) {
  if (g_fifo.running.empty()) return;
  const uint32_t now = kv::TickCount();
  auto& running = g_fifo.running;
  for (size_t i = 0; i < running.size();) {
    DNSFifoEntry& e = g_fifo.ring[running[i]];
    const uint32_t state = e.job ? e.job->state.load(std::memory_order_acquire) : kDnsFailed;
    if (state != kDnsRunning) {
      if (state == kDnsFound && e.job->name[0] != '\0') PutName(e.nameDest, e.job->name);
      e.state = state;
    } else if (run != nullptr && now - e.startTick > run->timeoutMs) {
      e.state = kDnsTimedOut;
      ++g_fifo.counters.timeouts;
    } else {
      ++i;
      continue;
    }
    e.job.reset();
    running[i] = running.back();
    running.pop_back();
  }
}

bool Full() {
  if (g_fifo.ring == nullptr) return true;
  if (Count() >= g_fifo.size) return true;
  return g_engine.dnsFastMode != 0 && g_fifo.running.size() >= std::max<uint32_t>(g_engine.maxDnsThreads, 1u);
}

bool StartThreadLookup(uint32_t index) {
  DNSFifoEntry& e = g_fifo.ring[index];
  const NetworkLibraryBinding& b = g_networkBinding;
  if (b.gethostbyaddr == nullptr || b.WSAStartup == nullptr) return false;
  std::shared_ptr<LookupJob> job(new (std::nothrow) LookupJob);
  if (!job) return false;
  job->address = e.address;
  job->startup = b.WSAStartup;
  job->byAddress = b.gethostbyaddr;
  job->cleanup = b.WSACleanup;
  if (b.socketModule != nullptr) {
    char path[4096];
    if (KvGetModuleFileName(b.socketModule, path, sizeof(path)) != 0) job->moduleRef = KvLoadModule(path);
  }
  {
    std::lock_guard<std::mutex> lock(Threads().mutex);
    ++Threads().live;
  }
  try {
    std::thread(DNSLookupThread, job).detach();
  } catch (...) {
    if (job->moduleRef != nullptr) KvFreeModule(job->moduleRef);
    ThreadEnded();
    return false;
  }
  e.job = std::move(job);
  e.state = kDnsRunning;
  e.startTick = kv::TickCount();
  g_fifo.running.push_back(index);
  ++g_fifo.counters.lookupsStarted;
  g_fifo.counters.highestInFlight =
      std::max<uint32_t>(g_fifo.counters.highestInFlight, static_cast<uint32_t>(g_fifo.running.size()));
  return true;
}

// The name of a host entry that the socket module wrote into `buffer`;
// null unless the record and its name lie wholly inside the buffer.
const char* NameInAnswer(const char* buffer, uint32_t size) {
  if (buffer == nullptr || size < sizeof(WsHostEntry)) return nullptr;
  WsHostEntry entry;
  std::memcpy(&entry, buffer, sizeof(entry));
  const char* name = entry.name;
  if (name == nullptr || name < buffer || name >= buffer + size) return nullptr;
  const size_t room = static_cast<size_t>(buffer + size - name);
  if (strnlen(name, room) == room) return nullptr;
  return name;
}

void AsyncLookup(uint32_t index, DnsRun* run) {
  DNSFifoEntry& e = g_fifo.ring[index];
  const NetworkLibraryBinding& b = g_networkBinding;
  if (b.WSAAsyncGetHostByAddr == nullptr || g_fifo.window == 0 || !kv::ui::IsWindow(g_fifo.window)) {
    e.state = kDnsFailed;
    return;
  }
  e.answer = new (std::nothrow) char[kAnswerBufferSize];
  if (e.answer == nullptr) {
    e.state = kDnsFailed;
    return;
  }
  std::memset(e.answer, 0, kAnswerBufferSize);
  e.answered = false;
  e.state = kDnsRunning;
  const KvHandle task = b.WSAAsyncGetHostByAddr(g_fifo.window, kDnsAnswerMessage,
                                                reinterpret_cast<const char*>(&e.address), 4, WS_AF_INET, e.answer,
                                                static_cast<int32_t>(kAnswerBufferSize));
  if (task == 0) {
    e.state = kDnsFailed;
  } else {
    e.task = task;
    ++g_fifo.counters.lookupsStarted;
    g_fifo.counters.highestInFlight = std::max<uint32_t>(g_fifo.counters.highestInFlight, 1u);
    const uint32_t start = kv::TickCount();
    for (;;) {
      // The answer comes as a message to the window of this thread.
      kv::ui::Message m;
      while (!e.answered &&
             kv::ui::PeekMessage(&m, g_fifo.window, kDnsAnswerMessage, kDnsAnswerMessage, kv::ui::PeekRemove)) {
        kv::ui::DispatchMessage(&m);
      }
      if (e.answered) break;
      if (CallClientCallback(1, 0, "", 0, 0, 0) == 2) run->cancelFlag = 1;
      if (e.answered) break;
      if (kv::TickCount() - start > run->timeoutMs) {
        ++g_fifo.counters.timeouts;
        g_fifo.counters.lastError = 0xFFFF;
        e.state = kDnsTimedOut;
        if (b.WSACancelAsyncRequest != nullptr) b.WSACancelAsyncRequest(task);
        e.task = kNoTask;
        break;
      }
      kv::Sleep(1);
    }
  }
  delete[] e.answer;
  e.answer = nullptr;
}

// Step B: resolves the address text of one entry (client host or server).
void ResolveEntry(uint32_t index, uint32_t server, DnsRun* run) {
  DNSFifoEntry& e = g_fifo.ring[index];
  e.server = server;
  e.nameDest = server != 0 ? e.hit->Server : e.hit->ClientHost;
  char text[kNameField];
  CopyHitText(text, sizeof(text), e.nameDest);
  if (!IsNumericAddress(text)) {
    e.state = kDnsNotNumeric;
    if (run->lookupSetting == 2 && server == 0) run->lookupSetting = 0;
    return;
  }
  uint32_t address = 0;
  if (!ParseDottedQuad(text, &address)) {
    e.state = kDnsFromCache;  // nothing to look up: the text stays
    return;
  }
  e.address = address;

  // Another entry already looking up this address: wait for its answer.
  auto it = g_fifo.leaders.find(address);
  if (it != g_fifo.leaders.end()) {
    e.duplicateOf = static_cast<int32_t>(it->second);
    e.state = kDnsRunning;
    ++g_fifo.ring[it->second].waiting;
    return;
  }

  std::string cached;
  if (LookupDNSCache(address, &cached)) {
    PutName(e.nameDest, cached.c_str());
    e.state = kDnsFromCache;
    return;
  }

  g_fifo.leaders[address] = index;
  if (address == 0) {
    e.state = kDnsFailed;  // "0.0.0.0" is never looked up
    return;
  }
  if (g_engine.dnsFastMode != 0) {
    if (!StartThreadLookup(index)) e.state = kDnsFailed;
  } else {
    AsyncLookup(index, run);
  }
}

// Gives every waiting duplicate of the leader at `index` its answer.
void ShareLookupAnswer(uint32_t index) {
  DNSFifoEntry& leader = g_fifo.ring[index];
  if (leader.waiting == 0 || IsEmpty()) return;
  const uint32_t last = static_cast<uint32_t>(g_fifo.write);
  const char* name = leader.nameDest;
  for (uint32_t j = index; j != last && leader.waiting > 0;) {
    j = Next(j);
    DNSFifoEntry& d = g_fifo.ring[j];
    if (d.duplicateOf != static_cast<int32_t>(index) || d.hit == nullptr) continue;
    PutName(d.nameDest, name);
    d.state = leader.state;
    d.duplicateOf = kShared;
    --leader.waiting;
  }
}

// Drops the newest entry (used when its partner could not be queued).
void DropNewest() {
  if (IsEmpty()) return;
  const uint32_t w = static_cast<uint32_t>(g_fifo.write);
  ReleaseEntry(w);
  if (w == g_fifo.read) {
    g_fifo.write = -1;
    g_fifo.read = 0;
  } else {
    g_fifo.write = static_cast<int32_t>(w == 0 ? g_fifo.size - 1 : w - 1);
  }
}

void ClearRing() {
  g_fifo.read = 0;
  g_fifo.write = -1;
  g_fifo.leaders.clear();
  g_fifo.running.clear();
}

}  // namespace

void ResetDNSFifoEntry(DNSFifoEntry* entry) {
  if (entry == nullptr) return;
  entry->task = kNoTask;
  entry->state = kDnsFree;
  entry->startTick = 0;
  entry->duplicateOf = kLeader;
  entry->hit = nullptr;
  entry->answer = nullptr;
  entry->address = 0;
  entry->job.reset();
  entry->nameDest = nullptr;
  entry->server = 0;
  entry->waiting = 0;
  entry->answered = false;
}

bool AllocateDNSFifo(uint32_t count) {
  if (count < 2) count = 2;
  DNSFifoEntry* ring = new (std::nothrow) DNSFifoEntry[count];
  if (ring == nullptr) return false;
  CancelDNSFifo();
  delete[] g_fifo.ring;
  g_fifo.ring = ring;
  g_fifo.size = count;
  for (uint32_t i = 0; i < count; ++i) ResetDNSFifoEntry(&ring[i]);
  ClearRing();
  g_fifo.counters = DnsCounters{};
  return true;
}

bool ResetDNSFifo() {
  CancelDNSFifo();
  return WaitForDNSLookupThreads(g_engine.dnsTimeoutMs + kFullWaitMarginMs);
}

void FreeDNSFifo() {
  // The threads use the socket module; let them end before the caller goes on.
  ResetDNSFifo();
  delete[] g_fifo.ring;
  g_fifo.ring = nullptr;
  g_fifo.size = 0;
  ClearRing();
}

uint32_t DNSFifoCount() { return Count(); }

bool IsDNSFifoFull() { return Full(); }

DnsCounters GetDNSCounters() { return g_fifo.counters; }

uint32_t LiveDNSLookupThreads() {
  std::lock_guard<std::mutex> lock(Threads().mutex);
  return Threads().live;
}

bool WaitForDNSLookupThreads(uint32_t timeoutMs) {
  ThreadCount& t = Threads();
  std::unique_lock<std::mutex> lock(t.mutex);
  return t.ended.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return t.live == 0; });
}

int32_t AddToDNSFifo(DnsRun* run, HitRecord* hit, bool takeLine) {
  if (run == nullptr || hit == nullptr || g_fifo.ring == nullptr) return -1;
  if (!IsEmpty()) {
    Harvest(run);
    if (Full()) {
      // Wait for the oldest entries to be passed on; a lookup that hangs
      // ends as timed out, so the wait is bounded by the time-out.
      const uint32_t start = kv::TickCount();
      const uint32_t limit = run->timeoutMs + kFullWaitMarginMs;
      while (Full()) {
        if (CheckDNS(run) == 3) return -2;
        if (!Full()) break;
        if (kv::TickCount() - start > limit) {
          DisplayReportError("Should have an empty slot in FIFO but we don't");
          return -1;
        }
        // Thread lookups end at any moment: look again soon, so that the
        // lookups in flight stay at the limit.
        kv::Sleep(g_fifo.running.empty() ? 10 : 1);
      }
    }
  }
  HitRecord* copy = takeLine ? TakeHitRecord(hit) : DuplicateHitRecord(hit, false, false);
  if (copy == nullptr) return -1;
  const uint32_t index = IsEmpty() ? 0 : Next(static_cast<uint32_t>(g_fifo.write));
  if (IsEmpty()) g_fifo.read = 0;
  DNSFifoEntry& e = g_fifo.ring[index];
  ResetDNSFifoEntry(&e);
  e.hit = copy;
  e.nameDest = copy->ClientHost;
  g_fifo.write = static_cast<int32_t>(index);
  return static_cast<int32_t>(index);
}

int QueueHitForDNS(DnsRun* run, HitRecord* hit) {
  if (run == nullptr || hit == nullptr) return 0;
  if (run->lookupSetting == 0) {
    const int32_t index = AddToDNSFifo(run, hit, true);
    FreeHitLine(hit);
    if (index < 0) return index == -2 ? 3 : 0;
    DNSFifoEntry& e = g_fifo.ring[index];
    e.server = 0;
    e.state = IsNumericAddress(e.hit->ClientHost) ? kDnsLookupsOff : kDnsNotNumeric;
    return 1;
  }

  int32_t serverIndex = -1;
  if (g_engine.disableServerLookup == 0 && hit->Server[0] != '\0') {
    serverIndex = AddToDNSFifo(run, hit);
    if (serverIndex < 0) {
      FreeHitLine(hit);
      return serverIndex == -2 ? 3 : 0;
    }
  }
  const int32_t clientIndex = AddToDNSFifo(run, hit, true);
  FreeHitLine(hit);
  if (clientIndex < 0) {
    // The server entry may have been passed on while waiting; it is still
    // the newest entry only if nothing else happened to the ring.
    if (serverIndex >= 0 && !IsEmpty() && g_fifo.write == serverIndex && g_fifo.ring[serverIndex].state == kDnsFree &&
        g_fifo.ring[serverIndex].hit != nullptr) {
      DropNewest();
    }
    return clientIndex == -2 ? 3 : 0;
  }
  if (serverIndex >= 0) ResolveEntry(static_cast<uint32_t>(serverIndex), 1, run);
  ResolveEntry(static_cast<uint32_t>(clientIndex), 0, run);
  return 1;
}

int QueueAndCheckDNS(DnsRun* run, HitRecord* hit) {
  if (run == nullptr || hit == nullptr) return 0;
  if (run->lookupSetting == 0 && g_fifo.ring != nullptr && IsEmpty()) {
    // The check right after would pass the hit on at once, with this state.
    const uint32_t state = IsNumericAddress(hit->ClientHost) ? kDnsLookupsOff : kDnsNotNumeric;
    const DnsHitStep step = run->hitStep != nullptr ? run->hitStep : ProcessResolvedHit;
    const int result = step(state, hit, run);
    FreeHitLine(hit);
    return result == 0 ? 3 : 4;
  }
  const int queued = QueueHitForDNS(run, hit);
  if (queued != 1) return queued;
  return CheckDNS(run);
}

int CheckDNS(DnsRun* run) {
  if (run == nullptr || IsEmpty()) return 4;
  Harvest(run);
  const bool lookupsOn = run->lookupSetting != 0;
  if (lookupsOn && CallClientCallback(1, 0, "", 0, 0, 0) == 2) run->cancelFlag = 1;
  const DnsHitStep step = run->hitStep != nullptr ? run->hitStep : ProcessResolvedHit;

  for (;;) {
    const uint32_t index = g_fifo.read;
    DNSFifoEntry& e = g_fifo.ring[index];
    if (e.state == kDnsRunning || e.state == kDnsFree) break;
    if (lookupsOn && CallClientCallback(1, 0, "", 0, 0, 0) == 2) run->cancelFlag = 1;

    int result = 1;
    if (e.server == 0) {
      result = step(e.state, e.hit, run);
    } else if (index != static_cast<uint32_t>(g_fifo.write)) {
      // The server name goes to the hit queued right after it.
      DNSFifoEntry& next = g_fifo.ring[Next(index)];
      if (next.hit != nullptr && IsNumericAddress(next.hit->Server)) PutName(next.hit->Server, e.hit->Server);
    }

    if (e.duplicateOf == kLeader) {
      if (e.state != kDnsFromCache && e.address != 0) AppendDNSCache(e.address, e.nameDest);
      ShareLookupAnswer(index);
    }
    ReleaseEntry(index);
    if (index == static_cast<uint32_t>(g_fifo.write)) {
      g_fifo.write = -1;
      g_fifo.read = 0;
      return result == 0 ? 3 : 4;
    }
    g_fifo.read = Next(index);
    if (result == 0) return 3;
  }
  return Full() ? 2 : 1;
}

int DrainDNSFifo(DnsRun* run) {
  for (;;) {
    const int r = CheckDNS(run);
    if (r == 3 || r == 4) return r;
    kv::Sleep(10);
  }
}

void CancelDNSFifo() {
  if (g_fifo.ring == nullptr) return;
  if (!IsEmpty()) {
    Harvest(nullptr);
    // Threads still running keep their own job records; their entries go.
    for (uint32_t index : g_fifo.running) {
      DNSFifoEntry& e = g_fifo.ring[index];
      e.job.reset();
      e.state = kDnsFailed;
      e.address = 0;  // nothing to cache
    }
    g_fifo.running.clear();
    const uint32_t last = static_cast<uint32_t>(g_fifo.write);
    for (uint32_t index = g_fifo.read;; index = Next(index)) {
      DNSFifoEntry& e = g_fifo.ring[index];
      if (e.hit != nullptr && e.duplicateOf == kLeader && e.state != kDnsFromCache && e.state != kDnsRunning &&
          e.state != kDnsFree && e.address != 0) {
        AppendDNSCache(e.address, e.nameDest);
      }
      if (e.task != kNoTask && g_networkBinding.socketModule != nullptr &&
          g_networkBinding.WSACancelAsyncRequest != nullptr) {
        g_networkBinding.WSACancelAsyncRequest(e.task);
      }
      ReleaseEntry(index);
      if (index == last) break;
    }
  }
  // Every slot, also those outside the queued range, ends free.
  for (uint32_t i = 0; i < g_fifo.size; ++i) {
    if (g_fifo.ring[i].hit != nullptr || g_fifo.ring[i].job) ReleaseEntry(i);
  }
  ClearRing();
}

// ---- the hidden window --------------------------------------------------------

bool CreateDNSWindow() {
  g_fifo.counters.timeouts = 0;
  if (g_fifo.window != 0 && kv::ui::IsWindow(g_fifo.window) &&
      kv::ui::GetWindowThreadId(g_fifo.window) == kv::ui::CurrentThreadId()) {
    return true;
  }
  if (!kv::ui::IsWindowClassRegistered("DNSLOOK") && !kv::ui::RegisterWindowClass("DNSLOOK", DNSWndProc)) {
    return false;
  }
  g_fifo.window = kv::ui::CreateWindow("DNSLOOK", "DNS Window", 0x80CA0000u, 0);
  return g_fifo.window != 0;
}

void DestroyDNSWindow() {
  if (g_fifo.window != 0 && kv::ui::IsWindow(g_fifo.window)) kv::ui::DestroyWindow(g_fifo.window);
  g_fifo.window = 0;
}

KvWindow DNSWindow() { return g_fifo.window; }

}  // namespace vrn

KvResult DNSWndProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam) {
  using vrn::g_fifo;
  if (message == vrn::kDnsAnswerMessage) {
    const KvHandle task = static_cast<KvHandle>(wparam);
    for (uint32_t i = 0; g_fifo.ring != nullptr && i < g_fifo.size && task != vrn::kNoTask; ++i) {
      vrn::DNSFifoEntry& e = g_fifo.ring[i];
      if (e.task != task) continue;
      const uint16_t error = static_cast<uint16_t>(kv::ui::HighWord(static_cast<uintptr_t>(lparam)));
      g_fifo.counters.lastError = error;
      e.state = error == 0 ? vrn::kDnsFound : vrn::kDnsFailed;
      e.task = vrn::kNoTask;
      e.answered = true;
      vrn::g_dnsActivityFlag = 1;
      if (e.state == vrn::kDnsFound) {
        const char* name = vrn::NameInAnswer(e.answer, vrn::kAnswerBufferSize);
        if (name != nullptr && name[0] != '\0') vrn::PutName(e.nameDest, name);
      }
      break;
    }
    // A late answer to a cancelled or unknown task is ignored.
    return kv::ui::DefWindowProc(window, message, wparam, lparam);
  }
  if (message == kv::msg::Close) {
    kv::ui::DestroyWindow(window);
    return 0;
  }
  if (message == kv::msg::Destroy) {
    if (window == g_fifo.window) g_fifo.window = 0;
    return 0;
  }
  return kv::ui::DefWindowProc(window, message, wparam, lparam);
}
