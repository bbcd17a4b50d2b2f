// The report language's variable file (<language>.RPL): "<name>{value}"
// entries, loaded into one process-wide sorted table (the last file loaded
// stays cached) and looked up by name. Exported as fetchvar_ReadVarData and
// fetchvar_GetVarData (vornic/templates.h).
#ifndef VORNIC_REPORTS_RPL_FILES_H
#define VORNIC_REPORTS_RPL_FILES_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <vornic/templates.h>

namespace vrn {

// Most variables a file may hold; further entries are not read.
constexpr size_t kRplMaxVariables = 10000;

// Parses the text of a variable file into (name, value) pairs in file order
// (at most kRplMaxVariables).
std::vector<std::pair<std::string, std::string>> ParseRplText(const char* text, size_t length);

// Loads path (1) or keeps the cached file; 0 on failure with the message box.
int ReadRplFile(const char* path);
// Value of name in the loaded table; false (value "") when unknown.
bool LookupRplVariable(const char* name, std::string* value);
// Forgets the loaded table and its path (for tests).
void ResetRplTable();
// How many times a file was actually read (for tests of the cache).
unsigned RplFileReads();

}  // namespace vrn

#endif
