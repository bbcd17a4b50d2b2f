// The last-error word of the calling thread, set by the file, path, INI,
// memory and registry functions of the platform layer when they fail.
#ifndef KV_PLATFORM_LASTERROR_H
#define KV_PLATFORM_LASTERROR_H

#include <cstdint>

namespace kv {

// Error codes. The numbers are stable: callers may store or show them.
enum : uint32_t {
  kErrorSuccess = 0,
  kErrorInvalidFunction = 1,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorNoMoreFiles = 18,
  kErrorWriteFault = 29,
  kErrorReadFault = 30,
  kErrorSharingViolation = 32,
  kErrorHandleEof = 38,
  kErrorFileExists = 80,
  kErrorInvalidParameter = 87,
  kErrorDiskFull = 112,
  kErrorInsufficientBuffer = 122,
  kErrorInvalidName = 123,
  kErrorDirNotEmpty = 145,
  kErrorNotLocked = 158,
  kErrorAlreadyExists = 183,
  kErrorFilenameTooLong = 206,
  kErrorMoreData = 234,
  kErrorNotSupported = 50,
  kErrorLockViolation = 33,
};

// Sets / reads the calling thread's last-error word (starts at 0).
void SetLastError(uint32_t code);
uint32_t GetLastError();

// Maps an errno value to the closest code above (unknown -> kErrorInvalidFunction).
uint32_t ErrorFromErrno(int err);

// SetLastError(ErrorFromErrno(err)); convenience for the POSIX wrappers.
void SetLastErrorFromErrno(int err);

}  // namespace kv

#endif
