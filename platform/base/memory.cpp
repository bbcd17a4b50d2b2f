#include "platform/base/memory.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/base/lasterror.h"

namespace kv {

namespace {

// Larger requests are refused as a 32-bit system would refuse them; this
// also keeps absurd sizes (from a bad length) away from the allocator.
constexpr size_t kMaxBlock = 0x7FFFFFFF;

struct Block {
  std::unique_ptr<unsigned char[]> data;
  size_t size = 0;
  size_t capacity = 0;
  uint32_t locks = 0;
};

struct Table {
  std::mutex mutex;
  std::unordered_map<KvGlobal, Block> blocks;
  KvGlobal next = 1;
};

Table& TheTable() {
  static Table* table = new Table;  // never destroyed: usable during exit
  return *table;
}

std::unique_ptr<unsigned char[]> NewZeroed(size_t size) {
  // At least one byte so that a lock of an empty block still yields an address.
  return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size ? size : 1]());
}

Block* Find(Table& t, KvGlobal handle) {
  auto it = t.blocks.find(handle);
  if (handle == 0 || it == t.blocks.end()) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  return &it->second;
}

}  // namespace

KvGlobal GlobalAlloc(uint32_t /*flags*/, size_t size) {
  if (size > kMaxBlock) {
    SetLastError(kErrorNotEnoughMemory);
    return 0;
  }
  Block block;
  block.data = NewZeroed(size);
  if (!block.data) {
    SetLastError(kErrorNotEnoughMemory);
    return 0;
  }
  block.size = size;
  block.capacity = size ? size : 1;
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  KvGlobal handle = t.next;
  while (handle == 0 || t.blocks.count(handle)) ++handle;
  t.next = handle + 1;
  t.blocks.emplace(handle, std::move(block));
  return handle;
}

void* GlobalLock(KvGlobal handle) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  Block* b = Find(t, handle);
  if (!b) return nullptr;
  ++b->locks;
  return b->data.get();
}

bool GlobalUnlock(KvGlobal handle) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  Block* b = Find(t, handle);
  if (!b) return false;
  if (b->locks == 0) {
    SetLastError(kErrorNotLocked);
    return false;
  }
  --b->locks;
  return true;
}

KvGlobal GlobalReAlloc(KvGlobal handle, size_t size, uint32_t /*flags*/) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  Block* b = Find(t, handle);
  if (!b) return 0;
  if (size > kMaxBlock) {
    SetLastError(kErrorNotEnoughMemory);
    return 0;
  }
  if (size <= b->capacity) {
    // In place. Bytes beyond the size are kept zero, so later growth within
    // the allocation reads as zero.
    if (size < b->size) std::memset(b->data.get() + size, 0, b->size - size);
    b->size = size;
    return handle;
  }
  if (b->locks > 0) {
    SetLastError(kErrorLockViolation);
    return 0;
  }
  auto data = NewZeroed(size);
  if (!data) {
    SetLastError(kErrorNotEnoughMemory);
    return 0;
  }
  std::memcpy(data.get(), b->data.get(), b->size);
  b->data = std::move(data);
  b->size = size;
  b->capacity = size;
  return handle;
}

size_t GlobalSize(KvGlobal handle) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  Block* b = Find(t, handle);
  return b ? b->size : 0;
}

uint32_t GlobalLockCount(KvGlobal handle) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  Block* b = Find(t, handle);
  return b ? b->locks : 0;
}

bool GlobalFree(KvGlobal handle) {
  std::unique_ptr<unsigned char[]> doomed;
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.blocks.find(handle);
  if (handle == 0 || it == t.blocks.end()) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  doomed = std::move(it->second.data);
  t.blocks.erase(it);
  return true;
}

size_t GlobalLiveCount() {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  return t.blocks.size();
}

}  // namespace kv
