#include "platform/base/lasterror.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

namespace kv {
namespace {

TEST(LastError, IsPerThread) {
  SetLastError(kErrorAccessDenied);
  uint32_t seenInThread = 99;
  std::thread t([&] {
    seenInThread = GetLastError();
    SetLastError(kErrorInvalidHandle);
  });
  t.join();
  EXPECT_EQ(seenInThread, kErrorSuccess);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
}

TEST(LastError, MapsErrno) {
  struct Case {
    int err;
    uint32_t code;
  } cases[] = {{0, kErrorSuccess},          {ENOENT, kErrorFileNotFound}, {ENOTDIR, kErrorPathNotFound},
               {EACCES, kErrorAccessDenied}, {EBADF, kErrorInvalidHandle}, {ENOMEM, kErrorNotEnoughMemory},
               {EEXIST, kErrorAlreadyExists}, {ENOSPC, kErrorDiskFull},    {ENOTEMPTY, kErrorDirNotEmpty}};
  for (const auto& c : cases) EXPECT_EQ(ErrorFromErrno(c.err), c.code) << c.err;
}

}  // namespace
}  // namespace kv
