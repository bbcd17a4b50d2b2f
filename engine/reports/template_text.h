// Small text and file helpers of the template code: whole-file reads,
// complete writes, case-insensitive search and bounded copies.
#ifndef VORNIC_REPORTS_TEMPLATE_TEXT_H
#define VORNIC_REPORTS_TEMPLATE_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/base/kvtypes.h"

namespace vrn {

// Reads the whole file at path into *out. False when it does not open or a
// read comes up short.
bool ReadWholeFile(const char* path, std::string* out);
// Writes all of data; false on a short write.
bool WriteAll(KvFile file, std::string_view data);
// Position of needle in hay at or after from, ignoring ASCII case; npos when none.
size_t IFind(std::string_view hay, std::string_view needle, size_t from = 0);
// True when text starts with prefix, ignoring ASCII case.
bool IStartsWith(std::string_view text, std::string_view prefix);
// True when text ends with suffix, ignoring ASCII case.
bool IEndsWith(std::string_view text, std::string_view suffix);
// Copies at most size - 1 characters of src and a zero (nothing when size is 0).
void CopyText(char* dst, size_t size, std::string_view src);

}  // namespace vrn

#endif
