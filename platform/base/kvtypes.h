// Basic types shared by the platform layer and everything built on it.
//
// The system was written against a platform of handles, window messages and
// 16/32-bit words. These are this project's own names for those ideas; they
// are plain C so that they can cross the C exports of the libraries and
// modules unchanged.
#ifndef KV_PLATFORM_KVTYPES_H
#define KV_PLATFORM_KVTYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t KvBool; /* 0 false, non-zero true */

/* A window: a small non-zero number issued by the window table; 0 = none.
   A number that names no live window is an error, never a crash. */
typedef uint32_t KvWindow;

/* Message parameters and results, wide enough to carry a pointer. */
typedef uintptr_t KvWParam;
typedef intptr_t KvLParam;
typedef intptr_t KvResult;

/* A window procedure. */
typedef KvResult (*KvWindowProc)(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam);

/* A loaded module (program folder shared object or the calling program). */
typedef struct KvModuleRecord* KvModule;

/* A moveable global-memory block: a non-zero number issued by the handle
   table; 0 = none. */
typedef uint32_t KvGlobal;

/* A file opened through the platform's file functions; KV_INVALID_FILE = none. */
typedef intptr_t KvFile;
#define KV_INVALID_FILE ((KvFile)-1)

/* A waitable object (thread, mutex, event); 0 = none. */
typedef uint32_t KvHandle;

/* Export attribute for the C interfaces of the libraries and modules. */
#define KV_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
}
#endif

#endif
