// View buffer files: the temporary files "~SSS_III.TMP" that a text-view
// report run writes its readable hit listing into, one per view buffer. At
// most kMaxOpenViewFiles of them are open at once; the others are closed and
// reopened on demand, the least recently used first.
#ifndef VORNIC_CORE_VIEW_BUFFER_H
#define VORNIC_CORE_VIEW_BUFFER_H

#include <cstdint>
#include <string>

#include "platform/base/kvtypes.h"

namespace vrn {

struct ReportHandle;

constexpr uint16_t kMaxOpenViewFiles = 5;

// One view buffer (zero-filled heap record owned by the run's view table).
struct ViewBuffer {
  uint32_t open;          // 1 while the file is open
  uint32_t lastUse;       // tick count of the last positioning, write or reopen
  KvFile file;            // KV_INVALID_FILE while closed
  char fileName[260];     // bare name "~%03X_%03X.TMP"
  uint32_t lineCount;     // lines written so far
  uint32_t attachedWord;  // the client's value (ADT_AttachLongToReport)
  uint32_t inUse;
  // Text view fields.
  uint32_t headerWritten;
  char title[50];         // the description the client shows
  uint32_t keySet;
  char key[260];
  uint32_t keyLength;     // bytes, terminating NUL included
  char visitHost[60];
  char visitProtocol[60];
  char visitUser[60];
  char visitBrowser[160];
  char visitDate[60];
};

// The buffer at index, or null (no table, or out of range).
ViewBuffer* GetViewBuffer(ReportHandle* run, int32_t index);
// The full path of a buffer's file: the run's view folder and its name.
std::string ViewBufferPath(const ReportHandle* run, const ViewBuffer* buffer);

// Closes the least recently used open file that is neither viewed nor being
// written when kMaxOpenViewFiles are open. True when one was closed.
bool MakeRoomForViewFile(ReportHandle* run);
// Makes sure the buffer's file is open and holds the text that waited for
// it. A file that will not open stays marked closed (and is not counted);
// the failure goes to the client's error display. True when the file is
// open and the waiting text written afterwards.
bool ReopenViewBuffer(ReportHandle* run, uint16_t index);
// Reopens when needed, marks the buffer used and positions it at its end.
bool SeekViewBuffer(ReportHandle* run, uint16_t index);
// Appends length bytes; 1 when all were written, else 0.
int WriteViewBuffer(ReportHandle* run, uint16_t index, const char* text, uint16_t length);
// Closes the buffer's file when it is open.
void CloseViewBufferFile(ReportHandle* run, uint16_t index);
// The buffer whose key is key, or -1; NoteViewBufferKey records a buffer's
// key (the first buffer of a key stays the one found).
int32_t FindViewBufferByKey(const ReportHandle* run, const std::string& key);
void NoteViewBufferKey(ReportHandle* run, const std::string& key, int32_t index);
// Appends a hit's text to a buffer. An open buffer's file takes it at once;
// for a closed one it waits in memory until enough waits (for the buffer or
// in all), the buffer is reopened, or FlushViewBuffers. 1, or 0 when a write
// failed.
int AppendViewText(ReportHandle* run, uint16_t index, const char* text, uint16_t length);
// Writes all waiting text into the files (reopening them as needed); false
// when a write failed (shown through the client's error display).
bool FlushViewBuffers(ReportHandle* run);
// End of the run: closes every file, deletes them unless keep is set, frees
// the records and the table.
void ReleaseViewBuffers(ReportHandle* run, bool keep);

}  // namespace vrn

#endif
