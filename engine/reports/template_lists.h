// The template's section and item lists: the readers behind
// VRN_ReadTemplateSectionList / VRN_ReadTemplateItemList and the writer of
// VRN_WriteTemplateItemList (vornic/templates.h).
#ifndef VORNIC_REPORTS_TEMPLATE_LISTS_H
#define VORNIC_REPORTS_TEMPLATE_LISTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <vornic/templates.h>

#include "platform/base/kvtypes.h"

namespace vrn {

constexpr uint32_t kTemplateReadChunk = 10240;

// Keyword class: exactly NOEDITGRAPH 3, exactly NOEDITTABLE 4, a word
// beginning with GRAPH 1, with TABLE 2, else 0 (case-insensitive).
uint16_t ClassifyTemplateItem(const char* keyword);

// Reads the items of the template at path into a new block (plain read:
// every item selected except classes 3 and 4). 1 or 0.
int ReadTemplateItems(const char* path, uint16_t* count, KvGlobal* handle, char* header, size_t headerSize);

// Length that WriteTemplateHeader reads as "to the end of the source".
constexpr uint32_t kCopyToEnd = 0xFFFFFFFFu;

// Reads the items of the template at path (plain read) into records.
bool ReadTemplateItemRecords(const char* path, std::vector<TemplateItemRecord>* items, char* header,
                             size_t headerSize);
// Reads the sections of the template text (whole file) into records.
bool ParseTemplateSections(std::string_view text, std::vector<TemplateSectionRecord>* sections, char* header,
                           size_t headerSize);
// The graph spec line of a modified item ("" for class 0).
std::string FormatItemSpecification(const TemplateItemRecord& item);

// Copies [offset, offset + length) of source (length kCopyToEnd: to the end) to
// out in chunks of bufferSize bytes; with header, the content between
// "<KVHDR>" and "</KVHDR>" of the first chunk holding both is replaced. 1,
// or 0 when the source does not open or a read or write comes up short.
int WriteTemplateHeader(const char* sourcePath, KvFile out, uint32_t offset, uint32_t length, const char* header,
                        size_t bufferSize);

}  // namespace vrn

#endif
