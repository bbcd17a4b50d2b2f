// Reverse name lookups: the disk cache of looked-up names and the queue of
// hits waiting for their lookups. Registration opens the cache and sets up
// the queue; the last deregistration closes and frees them.
#ifndef VORNIC_NETWORK_DNS_QUEUE_H
#define VORNIC_NETWORK_DNS_QUEUE_H

#include <cstdint>

namespace vrn {

struct DNSFifoEntry;

// Opens or creates the lookup cache files in profileDir and loads their
// index. Returns 1 on success, 0 when the cache is unavailable (lookups then
// go without the disk cache).
int OpenDNSCache(const char* profileDir);
// Writes the cache index back and closes both cache files.
void CloseDNSCache();

// Allocates count zero-filled queue entries and resets each; false when the
// memory is not there (the previous queue, if any, is kept then).
bool AllocateDNSFifo(uint32_t count);
// Frees the queue and every hit copy it still holds.
void FreeDNSFifo();
// Marks one entry free.
void ResetDNSFifoEntry(DNSFifoEntry* entry);

}  // namespace vrn

#endif
