// Extraction of gzip logs into the profile's temporary ZIP folder.
#ifndef VORNIC_CORE_GZIP_EXTRACT_H
#define VORNIC_CORE_GZIP_EXTRACT_H

#include <cstdint>

#include "engine/core/log_file_list.h"

namespace vrn {

// Size of the blocks read from a gzip file.
constexpr uint32_t kGzipBlockSize = 31744;

// Extracts a gzip file (unless it was extracted completely before, as it is
// now) and appends an entry for the extracted file to the list. Progress is
// reported by compressed bytes consumed (0..100). A failure (string 5717) or
// a cancel leaves nothing listed and nothing recorded; the partial output is
// removed. Returns the list as ExtractZipLog does.
LogNameEntry** ExtractGzipLog(const char* profileName, uint32_t callerValue, const char* archivePath,
                              LogNameEntry** list, uint16_t* count);

}  // namespace vrn

#endif
