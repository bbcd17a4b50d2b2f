// Compressed logs: archive recognition, extraction of ZIP members into the
// profile's temporary ZIP folder through the unzip module (DUNZIP32), the
// record of what was extracted (KV_ZIP.INI), deletion of extracted files,
// and small path helpers.
//
// Extracted files are listed with kExtractedLogMarker in front of their
// path; OpenLogSource strips it. A member counts as extracted only once its
// file is complete, and only for the archive's current size and last-write
// time: a rotated archive with the same path is extracted again.
#ifndef VORNIC_CORE_ZIP_EXTRACT_H
#define VORNIC_CORE_ZIP_EXTRACT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <vornic/logfiles.h>

#include "engine/core/log_file_list.h"

namespace vrn {

// 0 plain, 1 ZIP (also a self-extracting archive), 3 gzip. A file that does
// not open is plain.
uint16_t ClassifyLogArchive(const char* path);

// Extracts the members of a ZIP archive that are not extracted yet and
// appends an entry for each member's file to the list (the list is grown one
// entry at a time; *count follows). Failures are shown (string 5716) and end
// the call; the list is returned with the entries appended so far (null
// only when none was given and none appended).
LogNameEntry** ExtractZipLog(const char* profileName, uint32_t callerValue, const char* archivePath,
                             LogNameEntry** list, uint16_t* count);

// The profile's temporary ZIP folder (engine folder + "kvm_log/datfiles/" +
// the profile name's file part without extension + ".ZIP/"), created when
// create is set and it is missing. Ends with "/".
std::string TempZipFolder(const char* profileName, bool create);

// Looks a member up in the folder's KV_ZIP.INI. True when the member was
// extracted completely from the archive as it is now (same size and last
// write time) and its file still exists: *outPath is that file. Otherwise
// false with *outPath = the path to extract to (a new "UNZIP<n>.LOG" of the
// folder); RecordUnzippedMember must follow a complete extraction.
bool LookUpUnzipList(const char* profileName, const char* archivePath, const char* memberName, std::string* outPath,
                     uint32_t memberIndex);
// Records a completely extracted member (call only after success).
bool RecordUnzippedMember(const char* profileName, const char* archivePath, const char* memberName,
                          const std::string& extractedPath, uint32_t memberIndex);

// Appends an extraction entry (marker + path, size and write time from the
// file system) to the list. False when the path does not fit, the file is
// missing, the count is full or memory is short (the list is then unchanged).
bool AppendExtractedEntry(const std::string& path, LogNameEntry*** list, uint16_t* count);

// Shows string `id` of the client's texts formatted with one path (its "%s").
void ShowExtractionError(uint32_t id, const char* path);

// The profile's temporary ZIP folder, created; empty (after showing string
// errorId with the archive's path) when it cannot be made.
std::string PrepareExtractionFolder(const char* profileName, const char* archivePath, uint32_t errorId);

// Progress window messages of an extraction: the percent (message 1024),
// and before the first extraction of a call 0 and the archive's file name
// (message 1044). Nothing is sent without a progress window.
void SendExtractionPercent(uint32_t percent);
void ShowExtractionStart(const char* archivePath);

// The dispatch of waiting window messages during a long step; true when the
// client's cancel word is set.
bool PumpAndCheckCancel();

// Path helpers ("\" and "/" both separate). Each writes at most size - 1
// characters and a terminator.
// Folder: the text before the last "\", "/" or ":" (empty when none).
void GetPathFolder(const char* path, char* out, size_t size);
// File name: the text after the last "\", "/" or ":" (the whole path when none).
void GetPathFileName(const char* path, char* out, size_t size);
// Extension: the file name's text from its last "." on (empty when none).
void GetPathExtension(const char* path, char* out, size_t size);

// Cuts text at its last "." (writes a terminator there) and returns that
// place, or null (text unchanged) when there is no ".".
char* CutAtLastDot(char* text);

// Copies folder-of(sourceRef) + fileName to folder-of(destRef) + fileName in
// 2048-byte pieces, overwriting. A reference's folder is its text up to and
// including its last "\" or ":" (or "/"); a reference without one is used
// whole. 1 when complete; 0 with the summary error text set on failure (a
// destination already created is then deleted).
int CopyReportFile(const char* sourceRef, const char* fileName, const char* destRef);

}  // namespace vrn

#endif
