// Organisation lookup: a visitor's domain becomes an organisation (name,
// city, state, country code), found first in the context's intranet list,
// then in the organisation file ("COMPANY.BIG" or "COMPANY.SML") that the
// context holds open.
//
// The organisation file is a text file of records sorted by domain
// (case-insensitive: 'A'-'Z' as 'a'-'z', other bytes by value), one a line:
// domain,organisation name,city,state,country code. The name may hold
// commas: the first "," ends the domain, the last three separate city, state
// and country code. Every byte above 13 is stored with 45 added (modulo
// 256); bytes 0-13 (CR and LF among them) are stored as they are. Each
// probe of the search reads one block: from the file's unscrambled image
// when the context holds one (OpenOrganizationFile reads files of up to
// kMaxOrgImageBytes whole), else from the file.
#ifndef VORNIC_DATABASE_ORG_LOOKUP_H
#define VORNIC_DATABASE_ORG_LOOKUP_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/database/analysis_context.h"

namespace vrn {

#pragma pack(push, 1)
struct OrganizationRecord {
  uint16_t reserved1;
  uint16_t nameOffset;  // offset of the organisation name in `line` (0 for intranet answers)
  uint16_t reserved2;
  char city[50];        // capitalised
  char state[30];       // capitalised
  char country[40];     // as stored
  char line[300];       // the domain, a NUL, then the organisation name (capitalised)
};
#pragma pack(pop)
static_assert(sizeof(OrganizationRecord) == 426, "organisation record layout");

// Size of one probe of the organisation file.
constexpr uint32_t kOrgProbeBytes = 1024;

// Finds `domain`: 1 with `record` filled, 0 when not found or on a read
// failure. end:endHigh is the 64-bit position where the search range ends
// (callers pass the file size and 0).
int FindOrganization(AnalysisContext* context, uint32_t end, uint32_t endHigh, const char* domain,
                     OrganizationRecord* record);

// The whole file (`size` bytes from its start), unscrambled and with a NUL
// after it, in a block to free with std::free; null when it cannot be read
// whole.
char* LoadOrganizationImage(KvFile file, uint32_t size);

// Frees the remembered last answer of a lookup in the image.
void FreeOrganizationMemo(void* memo);

// Parses one record from `text` (unscrambled, `length` bytes). 1 with the
// record filled and *consumed = bytes up to and including the line end (a
// directly following CR or LF is consumed with it); 0 when no "," comes
// before the line end or no line end comes within `length`.
int ParseOrganizationRecord(const char* text, uint32_t length, OrganizationRecord* record, uint16_t* consumed);

// The organisation name of a parsed record (empty for intranet answers).
const char* OrganizationName(const OrganizationRecord* record);

// Raises the first letter and the letters after blanks, ",", "-" and "&" (and
// a letter before an abbreviation's "."), in place; nothing is lowered.
void CapitalizeName(char* text);
// Puts a blank after every "," not followed by one, while the text fits in
// `size` bytes (its terminating zero included); returns false when a blank
// had to be left out for lack of room.
bool SpaceAfterCommas(char* text, size_t size);

// Byte shift of the organisation file.
inline unsigned char UnscrambleOrgByte(unsigned char b) {
  return b > 13 ? static_cast<unsigned char>(b - 45) : b;
}
inline unsigned char ScrambleOrgByte(unsigned char c) {
  return (c >= 14 && c <= 210) ? static_cast<unsigned char>(c + 45) : c;
}
// Scrambles a whole text (for writing an organisation file).
std::string ScrambleOrgText(const std::string& plain);

}  // namespace vrn

#endif
