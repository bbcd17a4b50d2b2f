#include "platform/base/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/base/lasterror.h"

namespace kv {
namespace {

bool AllZero(const void* p, size_t from, size_t to) {
  auto* b = static_cast<const unsigned char*>(p);
  for (size_t i = from; i < to; ++i)
    if (b[i] != 0) return false;
  return true;
}

TEST(GlobalMemory, BlocksAreZeroFilledAndCountLocks) {
  KvGlobal h = GlobalAlloc(kGlobalMoveable, 1000);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(GlobalSize(h), 1000u);
  char* p = static_cast<char*>(GlobalLock(h));
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(AllZero(p, 0, 1000));
  EXPECT_EQ(GlobalLock(h), p);  // same address while locked
  EXPECT_EQ(GlobalLockCount(h), 2u);
  EXPECT_TRUE(GlobalUnlock(h));
  EXPECT_TRUE(GlobalUnlock(h));
  EXPECT_FALSE(GlobalUnlock(h));
  EXPECT_EQ(GetLastError(), kErrorNotLocked);
  EXPECT_TRUE(GlobalFree(h));

  KvGlobal empty = GlobalAlloc(0, 0);
  ASSERT_NE(empty, 0u);
  EXPECT_NE(GlobalLock(empty), nullptr);
  EXPECT_EQ(GlobalSize(empty), 0u);
  EXPECT_TRUE(GlobalFree(empty));
}

TEST(GlobalMemory, ReAllocKeepsContentAndZeroFillsGrowth) {
  KvGlobal h = GlobalAlloc(0, 16);
  char* p = static_cast<char*>(GlobalLock(h));
  std::memset(p, 'x', 16);
  GlobalUnlock(h);

  ASSERT_EQ(GlobalReAlloc(h, 8, kGlobalMoveable), h);  // shrink
  ASSERT_EQ(GlobalReAlloc(h, 16, kGlobalMoveable), h);  // grow again in place
  p = static_cast<char*>(GlobalLock(h));
  EXPECT_EQ(std::string(p, 8), "xxxxxxxx");
  EXPECT_TRUE(AllZero(p, 8, 16)) << "bytes dropped by the shrink came back";
  GlobalUnlock(h);

  ASSERT_EQ(GlobalReAlloc(h, 100000, 0), h);  // grow beyond the allocation
  EXPECT_EQ(GlobalSize(h), 100000u);
  p = static_cast<char*>(GlobalLock(h));
  EXPECT_EQ(std::string(p, 8), "xxxxxxxx");
  EXPECT_TRUE(AllZero(p, 8, 100000));

  // While locked the block cannot move: growth beyond it is refused and the
  // pointer stays good; shrinking in place is fine.
  SetLastError(0);
  EXPECT_EQ(GlobalReAlloc(h, 200000, kGlobalMoveable), 0u);
  EXPECT_EQ(GetLastError(), kErrorLockViolation);
  EXPECT_EQ(GlobalSize(h), 100000u);
  p[99999] = 'y';
  EXPECT_EQ(GlobalReAlloc(h, 50, 0), h);
  EXPECT_EQ(GlobalLock(h), p);
  GlobalUnlock(h);
  GlobalUnlock(h);
  EXPECT_TRUE(GlobalFree(h));
}

TEST(GlobalMemory, MisuseIsAnErrorNotACrash) {
  KvGlobal freed = GlobalAlloc(0, 4);
  ASSERT_TRUE(GlobalFree(freed));
  const KvGlobal bad[] = {0, freed, 0xDEADBEEF, 0xFFFFFFFF};
  for (KvGlobal h : bad) {
    SetLastError(0);
    EXPECT_EQ(GlobalLock(h), nullptr) << h;
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    SetLastError(0);
    EXPECT_FALSE(GlobalUnlock(h));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    EXPECT_EQ(GlobalReAlloc(h, 10, 0), 0u);
    EXPECT_EQ(GlobalSize(h), 0u);
    EXPECT_EQ(GlobalLockCount(h), 0u);
    EXPECT_FALSE(GlobalFree(h));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  }
  // A new block never takes the number of a freed one.
  KvGlobal next = GlobalAlloc(0, 4);
  EXPECT_NE(next, freed);
  EXPECT_TRUE(GlobalFree(next));

  SetLastError(0);
  EXPECT_EQ(GlobalAlloc(0, size_t{1} << 40), 0u);
  EXPECT_EQ(GetLastError(), kErrorNotEnoughMemory);
}

TEST(GlobalMemory, ThreadSafe) {
  size_t before = GlobalLiveCount();
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 2000; ++i) {
        KvGlobal h = GlobalAlloc(kGlobalZeroInit, 32);
        auto* p = static_cast<unsigned char*>(GlobalLock(h));
        if (!p || p[31] != 0) ++failures[t];
        if (p) std::memset(p, t + 1, 32);
        GlobalUnlock(h);
        if (GlobalReAlloc(h, 64, 0) != h) ++failures[t];
        p = static_cast<unsigned char*>(GlobalLock(h));
        if (!p || p[0] != t + 1 || p[40] != 0) ++failures[t];
        GlobalUnlock(h);
        if (!GlobalFree(h)) ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int f : failures) EXPECT_EQ(f, 0);
  EXPECT_EQ(GlobalLiveCount(), before);
}

}  // namespace
}  // namespace kv
