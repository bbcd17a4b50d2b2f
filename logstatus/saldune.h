/* Saldune: the log status library.
 *
 * A log status file is a text file to which any number of processes append
 * one time-stamped line of numbered fields at a time. A reader picks the line
 * with the earliest, the latest or a given time stamp, or simply the next
 * line, and gets that line's fields back as an array.
 *
 * Line format (lines end in CR LF and are only ever appended):
 *
 *     "0:<time_t> <ctime text>","<id>:<value>","<id>:<value>",\r\n
 *
 * Every field is a double quote, the field number in decimal, a colon, the
 * value, a double quote and a comma. Field 0 is the time stamp: the time_t
 * value in decimal, a blank and the ctime text (local time) without its
 * newline. Values may hold commas and colons, never a double quote, CR or LF.
 * A whole line, CR LF included, is at most KVLS_MAX_LINE - 1 characters.
 *
 * Writers in all processes are serialised by an exclusive lock on the status
 * file itself; each line reaches the file in a single write. Readers take no
 * lock: they load the whole file at once and ignore a last line that has no
 * CR yet.
 */
#ifndef KV_LOGSTATUS_SALDUNE_H
#define KV_LOGSTATUS_SALDUNE_H

#include <stdint.h>
#include <time.h>

#include "platform/base/kvtypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sizes of the fixed buffers that cross this interface. */
#define KVLS_MAX_PATH 260        /* LogStatusHandle.path, terminating NUL included */
#define KVLS_MAX_VALUE 256       /* LogStatusItem.value: at most 255 characters + NUL */
#define KVLS_MAX_LINE 8192       /* a line is at most 8191 characters, CR LF included */
#define KVLS_TIMESTAMP_SIZE 128  /* KVLS_TimeStamp writes at most this many bytes, NUL included */
#define KVLS_ERROR_TEXT_SIZE 512 /* error_text buffers: at most this many bytes are written, NUL included */

/* Read modes of KVLS_ReadEntryFromLogStatusFile. */
#define KVLS_MODE_EARLIEST 1 /* the line with the smallest stamp (scans to the end) */
#define KVLS_MODE_LATEST 2   /* the line with the largest stamp (scans to the end) */
#define KVLS_MODE_KEY 3      /* the next line whose stamp equals *key */
#define KVLS_MODE_NEXT 4     /* the next stamped line */

/* One field a writer passes. */
typedef struct LogStatusEntry {
  int32_t id;        /* field number, written in decimal */
  const char* value; /* zero-terminated; no double quote, CR or LF */
} LogStatusEntry;

/* One field a reader gets back. */
typedef struct LogStatusItem {
  int32_t id;
  char value[KVLS_MAX_VALUE]; /* zero-terminated, at most 255 characters */
  int32_t stamp;              /* time stamp of the line the item came from */
} LogStatusItem;

/* A caller-owned read handle. Fill it with KVLS_LogStatusFileStartup, release
 * what it holds with KVLS_LogStatusFileCleanup. Not shared between threads. */
typedef struct LogStatusHandle {
  char path[KVLS_MAX_PATH]; /* the status file's path */
  KvGlobal image;           /* memory handle of the loaded file image; 0 while none is loaded */
  char* cursor;             /* read position inside the image; null while none is loaded */
  int32_t size;             /* the image's size in bytes */
  char* line;               /* KVLS_MAX_LINE-byte line buffer, allocated on first read */
} LogStatusHandle;

/* Releases the loaded image and the line buffer and clears the cursor, so
 * that the next read loads the file afresh. Returns 0. A null handle is
 * ignored. */
KV_EXPORT int32_t KVLS_LogStatusFileCleanup(LogStatusHandle* handle);

/* Sets the whole handle to zero and copies the path into it; opens nothing.
 * Returns handle->path (null when handle is null). A path that does not fit
 * (KVLS_MAX_PATH - 1 characters or more) or a null path leaves the path empty,
 * so that every read fails rather than reading another file. */
KV_EXPORT char* KVLS_LogStatusFileStartup(const char* path, LogStatusHandle* handle);

/* Returns the fields (beyond the time stamp) of one line, chosen by mode (see
 * KVLS_MODE_*): an array allocated with the utility library's KVUI_MyAlloc /
 * KVUI_MyRealloc, which the caller frees with KVUI_MyFree. *count_out receives
 * the number of items, *stamp_out (when not null) the line's stamp. A null key
 * means the current time. The image loaded by the first read is kept, so each
 * read goes on where the previous one stopped. Returns null, with *count_out 0,
 * when nothing is found or the file cannot be read; then the image is released
 * and the next read loads the file again. error_text (when not null) is only
 * cleared: reading writes no error text. */
KV_EXPORT LogStatusItem* KVLS_ReadEntryFromLogStatusFile(int32_t unused, LogStatusHandle* handle,
                                                         const time_t* key, int32_t* stamp_out,
                                                         int32_t mode, int32_t* count_out,
                                                         char* error_text);

/* Writes the time stamp field "\"<id>:<time_t> <ctime text>\"," into out,
 * which must hold KVLS_TIMESTAMP_SIZE bytes; a null time means now. Returns
 * the number of characters written (NUL not counted); 0 when out is null. */
KV_EXPORT int32_t KVLS_TimeStamp(char* out, const time_t* when, int32_t id);

/* Appends one line to the status file at path: the time stamp field (number
 * 0; a null time means now), then one field per entry in order, then CR LF.
 * Returns 1 when the line was written, 0 on failure; then error_text (when not
 * null, KVLS_ERROR_TEXT_SIZE bytes) holds the reason and the path. An entry
 * whose value is null or holds a double quote, CR or LF, a negative count, or a
 * line that would exceed KVLS_MAX_LINE - 1 characters is refused with 0 and
 * nothing is written. */
KV_EXPORT int32_t KVLS_WriteEntryIntoLogStatusFile(int32_t unused, const LogStatusEntry* entries,
                                                   int32_t count, const time_t* when,
                                                   const char* path, char* error_text);

#ifdef __cplusplus
}
#endif

#endif
