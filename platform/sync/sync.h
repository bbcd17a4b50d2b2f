// Threads, mutexes and events behind waitable handles.
//
// Every object is reached through a KvHandle issued by one process-wide
// table; a handle that names no live object is an error (result KV_WAIT_FAILED
// or 0, last error KV_ERROR_INVALID_HANDLE), never a crash.
//
// Mutexes are owned by a thread and may be taken again by their owner
// (recursive); each wait that succeeds needs one KvReleaseMutex. A mutex whose
// owning thread ends without releasing it is handed to the next waiter with
// the result KV_WAIT_ABANDONED_0 (+ index); that waiter then owns it.
//
// Named mutexes and events share one name space within the process: creating
// an object under a name that exists opens the existing object (a new handle,
// last error KV_ERROR_ALREADY_EXISTS); a name held by an object of the other
// kind fails with KV_ERROR_INVALID_HANDLE. A mutex created with
// KV_MUTEX_CROSS_PROCESS is also shared with other processes through a lock
// file in the lock folder (env KV_LOCK_DIR, default /tmp/kelvaron-locks). The
// file lock dies with its process; a process that died (or ended) owning the
// mutex makes the next owner's wait return KV_WAIT_ABANDONED_0.
//
// Closing the last handle of an object destroys it; closing a thread's handle
// does not stop the thread.
#ifndef KV_PLATFORM_SYNC_SYNC_H
#define KV_PLATFORM_SYNC_SYNC_H

#include "platform/base/kvtypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Wait results and time-outs. */
#define KV_WAIT_OBJECT_0 0x00000000u    /* + index of the signalled object */
#define KV_WAIT_ABANDONED_0 0x00000080u /* + index of the abandoned mutex */
#define KV_WAIT_TIMEOUT 0x00000102u
#define KV_WAIT_FAILED 0xFFFFFFFFu
#define KV_INFINITE 0xFFFFFFFFu
#define KV_MAXIMUM_WAIT_OBJECTS 64u

/* A thread's exit code while it runs. */
#define KV_STILL_ACTIVE 259u

/* Last-error codes set by these functions (platform values). */
#ifndef KV_ERROR_INVALID_HANDLE
#define KV_ERROR_INVALID_HANDLE 6u
#endif
#ifndef KV_ERROR_NOT_ENOUGH_MEMORY
#define KV_ERROR_NOT_ENOUGH_MEMORY 8u
#endif
#ifndef KV_ERROR_INVALID_PARAMETER
#define KV_ERROR_INVALID_PARAMETER 87u
#endif
#ifndef KV_ERROR_ALREADY_EXISTS
#define KV_ERROR_ALREADY_EXISTS 183u
#endif
#ifndef KV_ERROR_NOT_OWNER
#define KV_ERROR_NOT_OWNER 288u
#endif
#ifndef KV_ERROR_FILENAME_EXCED_RANGE
#define KV_ERROR_FILENAME_EXCED_RANGE 206u
#endif
#ifndef KV_ERROR_ACCESS_DENIED
#define KV_ERROR_ACCESS_DENIED 5u
#endif

/* ---- threads ---- */

typedef uint32_t (*KvThreadProc)(void* argument);

/* Starts proc(argument) on a new thread. stack_size 0 is the default; a
   smaller request than the platform can run safely is raised to a safe
   minimum. The new thread's id goes to *thread_id when not null. Returns the
   thread's handle (signalled when the thread ends), or 0. */
KV_EXPORT KvHandle KvCreateThread(KvThreadProc proc, void* argument, uint32_t stack_size, uint32_t* thread_id);

/* The exit code of the thread (KV_STILL_ACTIVE while it runs). */
KV_EXPORT KvBool KvGetExitCodeThread(KvHandle thread, uint32_t* exit_code);

/* The calling thread's id (non-zero, unique among live threads). */
KV_EXPORT uint32_t KvGetCurrentThreadId(void);

/* ---- mutexes ---- */

#define KV_MUTEX_CROSS_PROCESS 0x0001u

/* Creates (or, by name, opens) a mutex. name may be null (unnamed). With
   initially_owned the calling thread owns it, unless it already existed.
   Returns 0 on failure. */
KV_EXPORT KvHandle KvCreateMutex(const char* name, KvBool initially_owned, uint32_t flags);

/* Releases one level of ownership. 0 with KV_ERROR_NOT_OWNER when the calling
   thread does not own it. */
KV_EXPORT KvBool KvReleaseMutex(KvHandle mutex);

/* ---- events ---- */

/* Creates (or, by name, opens) an event. A manual-reset event stays set until
   KvResetEvent; an auto-reset event releases one waiter and resets itself. */
KV_EXPORT KvHandle KvCreateEvent(const char* name, KvBool manual_reset, KvBool initially_set);
KV_EXPORT KvBool KvSetEvent(KvHandle event);
KV_EXPORT KvBool KvResetEvent(KvHandle event);

/* ---- waits ---- */

/* Waits until the object is signalled (thread ended, mutex free or owned by
   the caller, event set) or timeout_ms passes (KV_INFINITE: no limit).
   Returns KV_WAIT_OBJECT_0, KV_WAIT_ABANDONED_0, KV_WAIT_TIMEOUT or
   KV_WAIT_FAILED. */
KV_EXPORT uint32_t KvWaitForSingleObject(KvHandle handle, uint32_t timeout_ms);

/* Waits for one (wait_all 0: the lowest signalled index wins) or all of
   1..KV_MAXIMUM_WAIT_OBJECTS objects. With wait_all the objects are taken
   together, at once. Results as above plus the index; with wait_all an
   abandoned mutex gives KV_WAIT_ABANDONED_0 + its index. */
KV_EXPORT uint32_t KvWaitForMultipleObjects(uint32_t count, const KvHandle* handles, KvBool wait_all,
                                            uint32_t timeout_ms);

/* Closes a handle; 0 with KV_ERROR_INVALID_HANDLE when it names nothing. */
KV_EXPORT KvBool KvCloseHandle(KvHandle handle);

#ifdef __cplusplus
}
#endif

#endif
