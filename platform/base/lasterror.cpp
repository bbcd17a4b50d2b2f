#include "platform/base/lasterror.h"

#include <cerrno>

namespace kv {

namespace {
thread_local uint32_t t_lastError = kErrorSuccess;
}

void SetLastError(uint32_t code) { t_lastError = code; }

uint32_t GetLastError() { return t_lastError; }

uint32_t ErrorFromErrno(int err) {
  switch (err) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case EEXIST: return kErrorAlreadyExists;
    case EINVAL: return kErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case ENAMETOOLONG: return kErrorFilenameTooLong;
    case EBUSY:
    case ETXTBSY: return kErrorSharingViolation;
    case EXDEV: return kErrorNotSupported;
    case EIO: return kErrorReadFault;
    case EFBIG: return kErrorDiskFull;
    case EWOULDBLOCK: return kErrorLockViolation;
    default: return kErrorInvalidFunction;
  }
}

void SetLastErrorFromErrno(int err) { SetLastError(ErrorFromErrno(err)); }

}  // namespace kv
