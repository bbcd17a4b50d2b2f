/* The unzip module DUNZIP32: one entry, `dunzip`, that takes a request
 * record and performs one action on a ZIP archive.
 *
 *   action 1  count the members          -> memberCount
 *   action 7  information on one member  -> memberName, sizes, isFolder
 *   action 8  extract one member to a named file, with progress and cancel
 *
 * The module is loaded at run time (KvLoadModule("DUNZIP32.DLL"), then
 * KvGetProcAddress(module, "dunzip")). Every text and size in the request is
 * checked; the member name is only reported, never used as a path.
 *
 * Extraction writes to a temporary file beside the output and renames it over
 * the output only when the member was written completely and its checksum
 * agreed, so a cancelled or failed extraction never leaves a truncated file
 * under the output name. */
#ifndef KV_PLATFORM_DUNZIP_H
#define KV_PLATFORM_DUNZIP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Actions. */
#define DUNZIP_ACTION_COUNT 1u
#define DUNZIP_ACTION_MEMBER_INFO 7u
#define DUNZIP_ACTION_EXTRACT 8u

/* Results. 0, 11 and 49 mean the action is done. */
#define DUNZIP_OK 0
#define DUNZIP_BAD_REQUEST 2        /* null record, wrong size, unknown action, missing text */
#define DUNZIP_OPEN_FAILED 3        /* the archive does not open or is not a ZIP archive */
#define DUNZIP_NO_SUCH_MEMBER 4     /* member index out of range */
#define DUNZIP_READ_FAILED 5        /* a member's data is damaged or unreadable */
#define DUNZIP_WRITE_FAILED 6       /* the output cannot be created or written */
#define DUNZIP_NOTHING_TO_EXTRACT 11 /* the member is a folder: nothing written */
#define DUNZIP_CANCELLED 48         /* the progress callback asked to stop */
#define DUNZIP_KEPT_EXISTING 49     /* the output exists and overwrite was not asked */

/* Progress of an extraction: percent 0..100 of the member's bytes written.
   A non-zero answer cancels the extraction. */
typedef int32_t (*DunzipProgressFn)(void* user, uint32_t percent);

/* Asked once before an extraction writes: may put the output path into out
   (size bytes, terminated). A zero answer keeps request->outputPath. */
typedef int32_t (*DunzipNameFn)(void* user, char* out, uint32_t size);

#define DUNZIP_NAME_SIZE 512
#define DUNZIP_PATH_SIZE 1024

typedef struct DunzipRequest {
    uint32_t structSize;     /* sizeof(DunzipRequest) */
    uint32_t action;         /* DUNZIP_ACTION_* */
    const char* archivePath; /* a path as the platform's files take it */
    uint32_t memberIndex;    /* actions 7 and 8 */
    const char* outputPath;  /* action 8 (unless the name callback gives one) */
    uint32_t overwrite;      /* action 8: replace an existing output */
    DunzipProgressFn progress; /* may be null */
    DunzipNameFn nameCallback; /* may be null */
    void* user;              /* passed to the callbacks */

    /* Results. */
    uint32_t memberCount;                /* action 1 */
    char memberName[DUNZIP_NAME_SIZE];   /* action 7: cut to fit, terminated */
    uint32_t memberNameCut;              /* 1 when memberName was cut */
    uint64_t compressedSize;             /* action 7 */
    uint64_t uncompressedSize;           /* actions 7 and 8 */
    uint32_t isFolder;                   /* action 7 */
    uint64_t bytesWritten;               /* action 8 */
} DunzipRequest;

typedef int32_t (*DunzipFn)(DunzipRequest* request);

#ifdef __cplusplus
}
#endif

#endif
