// Moveable global memory: blocks named by a KvGlobal handle from a
// thread-safe handle table. Blocks are always zero-filled. A zero, freed or
// unknown handle is an error (the function returns null / 0 / false and sets
// kErrorInvalidHandle), never a crash. Handles are not reused (until the
// 32-bit counter wraps), so a stale handle stays invalid.
#ifndef KV_PLATFORM_MEMORY_H
#define KV_PLATFORM_MEMORY_H

#include <cstddef>
#include <cstdint>

#include "platform/base/kvtypes.h"

namespace kv {

// Allocation flags (accepted for the callers' sake; blocks are always
// moveable and zero-filled).
enum : uint32_t {
  kGlobalFixed = 0x0000,
  kGlobalMoveable = 0x0002,
  kGlobalZeroInit = 0x0040,
};

// Allocates a zero-filled block of `size` bytes (0 is allowed); 0 and
// kErrorNotEnoughMemory on failure.
KvGlobal GlobalAlloc(uint32_t flags, size_t size);

// Locks the block and returns its address, which stays valid until the
// matching unlock count reaches zero and the block is reallocated or freed.
// Locks are counted. Null on a bad handle.
void* GlobalLock(KvGlobal block);

// Drops one lock. False with kErrorNotLocked when the block was not locked,
// kErrorInvalidHandle on a bad handle; true otherwise.
bool GlobalUnlock(KvGlobal block);

// Changes the size, keeping the content and zero-filling growth; returns the
// same handle, or 0 on failure. A locked block that would have to move (its
// new size exceeds its current allocation) is refused with
// kErrorLockViolation, so pointers from GlobalLock never dangle.
KvGlobal GlobalReAlloc(KvGlobal block, size_t size, uint32_t flags);

// The block's size, or 0 (with kErrorInvalidHandle) on a bad handle.
size_t GlobalSize(KvGlobal block);

// The block's lock count (0 on a bad handle, with kErrorInvalidHandle).
uint32_t GlobalLockCount(KvGlobal block);

// Frees the block (locked or not); false on a bad handle.
bool GlobalFree(KvGlobal block);

// Number of live blocks (for leak checks in tests).
size_t GlobalLiveCount();

}  // namespace kv

#endif
