// Organisation lookup over the intranet list and the scrambled, sorted
// organisation file (or its unscrambled image in memory).
#include "engine/database/org_lookup.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "platform/base/files.h"

namespace vrn {
namespace {

inline unsigned char Fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }
inline bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// Copies at most size - 1 bytes of src (up to its NUL) and terminates.
void CopyBounded(char* dst, size_t size, const char* src) {
  size_t n = 0;
  if (src != nullptr) {
    while (n + 1 < size && src[n] != 0) {
      dst[n] = src[n];
      ++n;
    }
  }
  dst[n] = 0;
}

// Copies text[from, to) into dst (bounded) and terminates.
void CopyRange(char* dst, size_t size, const char* text, size_t from, size_t to) {
  size_t n = 0;
  while (from + n < to && n + 1 < size) {
    dst[n] = text[from + n];
    ++n;
  }
  dst[n] = 0;
}

// Case-insensitive comparison of a record's domain (`key`, `keyLength` bytes)
// with the wanted domain; the shorter text sorts first. -1, 0 or 1.
int CompareDomain(const char* key, size_t keyLength, const char* domain) {
  size_t i = 0;
  for (;; ++i) {
    const bool keyEnd = i >= keyLength;
    const bool domainEnd = domain[i] == 0;
    if (keyEnd || domainEnd) {
      if (keyEnd && domainEnd) return 0;
      return keyEnd ? -1 : 1;
    }
    const unsigned char a = Fold(static_cast<unsigned char>(key[i]));
    const unsigned char b = Fold(static_cast<unsigned char>(domain[i]));
    if (a != b) return a < b ? -1 : 1;
  }
}

bool StartsWithFolded(const char* text, const char* prefix) {
  for (size_t i = 0; prefix[i] != 0; ++i) {
    if (text[i] == 0 || Fold(static_cast<unsigned char>(text[i])) != Fold(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

bool EqualsFolded(const char* a, const char* b) {
  size_t i = 0;
  for (; a[i] != 0 && b[i] != 0; ++i) {
    if (Fold(static_cast<unsigned char>(a[i])) != Fold(static_cast<unsigned char>(b[i]))) return false;
  }
  return a[i] == 0 && b[i] == 0;
}

// One block of the organisation file, unscrambled.
struct Block {
  uint64_t start = 0;
  uint32_t length = 0;
  bool atFileEnd = false;  // the block reaches the end of the file
  char bytes[kOrgProbeBytes + 2];
};

void UnscrambleInPlace(char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(UnscrambleOrgByte(static_cast<unsigned char>(bytes[i])));
}

// Where the probes read: the file's image in memory when the context holds
// one, else the file itself.
struct Source {
  KvFile file = KV_INVALID_FILE;
  const char* image = nullptr;  // unscrambled
  uint64_t imageSize = 0;       // the file's size when the image was read
};

bool ReadBlock(const Source& source, uint64_t position, uint64_t fileEnd, Block* block) {
  uint32_t done = 0;
  if (source.image != nullptr) {
    // A read of the file would end at its end, as the image does.
    const uint64_t left = position < source.imageSize ? source.imageSize - position : 0;
    done = left < kOrgProbeBytes ? static_cast<uint32_t>(left) : kOrgProbeBytes;
    std::memcpy(block->bytes, source.image + position, done);
  } else {
    if (kv::FileSeek(source.file, static_cast<int64_t>(position), kv::kSeekBegin) < 0) return false;
    if (!kv::FileRead(source.file, block->bytes, kOrgProbeBytes, &done)) return false;
    UnscrambleInPlace(block->bytes, done);
  }
  block->start = position;
  block->length = done;
  block->atFileEnd = position + done >= fileEnd;
  // The last record of a file may lack its line end: supply one so that it
  // parses like every other record.
  if (block->atFileEnd && (done == 0 || !IsLineEnd(block->bytes[done - 1]))) {
    block->bytes[done] = '\n';
    ++block->length;
  }
  block->bytes[block->length] = 0;
  return true;
}

// Parses the record starting at file position `position`, reading a fresh
// block there unless `block` already holds the whole record. Returns 1 with
// the record and its length, 0 when it does not parse (too long, no ",").
int ParseRecordAt(const Source& file, uint64_t position, uint64_t fileEnd, Block* block, OrganizationRecord* record,
                  uint16_t* consumed) {
  if (position >= block->start && position < block->start + block->length) {
    const uint32_t offset = static_cast<uint32_t>(position - block->start);
    if (ParseOrganizationRecord(block->bytes + offset, block->length - offset, record, consumed)) return 1;
    if (offset == 0) return 0;  // the block already began here: the record is too long
  }
  if (!ReadBlock(file, position, fileEnd, block)) return 0;
  return ParseOrganizationRecord(block->bytes, block->length, record, consumed);
}

// The last domain looked up in an image and its answer: visitors come in
// runs from one domain (all unresolved addresses share one), and the image
// does not change while it is held.
struct OrgMemo {
  const char* image = nullptr;
  uint64_t fileEnd = 0;
  std::string domain;
  int found = 0;
  OrganizationRecord record;
};

size_t RecordDomainLength(const OrganizationRecord& record) { return strnlen(record.line, sizeof record.line); }

}  // namespace

char* LoadOrganizationImage(KvFile file, uint32_t size) {
  if (file == KV_INVALID_FILE || file == 0) return nullptr;
  char* image = static_cast<char*>(std::malloc(size_t{size} + 1));
  if (image == nullptr) return nullptr;
  uint32_t done = 0;
  if (kv::FileSeek(file, 0, kv::kSeekBegin) < 0 || !kv::FileRead(file, image, size, &done) || done != size) {
    std::free(image);
    return nullptr;
  }
  UnscrambleInPlace(image, size);
  image[size] = 0;
  return image;
}

void FreeOrganizationMemo(void* memo) { delete static_cast<OrgMemo*>(memo); }

std::string ScrambleOrgText(const std::string& plain) {
  std::string out = plain;
  for (char& c : out) c = static_cast<char>(ScrambleOrgByte(static_cast<unsigned char>(c)));
  return out;
}

const char* OrganizationName(const OrganizationRecord* record) {
  if (record == nullptr || record->nameOffset == 0 || record->nameOffset >= sizeof record->line) return "";
  return record->line + record->nameOffset;
}

int ParseOrganizationRecord(const char* text, uint32_t length, OrganizationRecord* record, uint16_t* consumed) {
  if (text == nullptr || record == nullptr) return 0;
  // The line end and the commas of the record.
  uint32_t end = 0;
  while (end < length && !IsLineEnd(text[end])) ++end;
  if (end >= length) return 0;
  uint32_t firstComma = 0;
  while (firstComma < end && text[firstComma] != ',') ++firstComma;
  if (firstComma >= end) return 0;
  uint32_t used = end + 1;
  if (used < length && IsLineEnd(text[used]) && text[used] != text[end]) ++used;  // CR LF or LF CR
  if (used > 0xFFFF) return 0;

  std::memset(record, 0, sizeof *record);
  // The line text: the record's first 299 bytes, the domain cut at its ",".
  const uint32_t lineLength = end < sizeof record->line - 1 ? end : static_cast<uint32_t>(sizeof record->line - 1);
  std::memcpy(record->line, text, lineLength);
  record->line[lineLength] = 0;
  if (firstComma < lineLength) record->line[firstComma] = 0;
  record->nameOffset = static_cast<uint16_t>(firstComma + 1);

  // City, state and country from the end backwards, over the commas that
  // follow the domain's; fields whose comma is missing stay empty.
  uint32_t commas[3] = {0, 0, 0};  // last, second-last, third-last
  int found = 0;
  for (uint32_t i = end; i > firstComma + 1 && found < 3;) {
    --i;
    if (text[i] == ',') commas[found++] = i;
  }
  uint32_t nameEnd = end;
  if (found >= 1) {
    CopyRange(record->country, sizeof record->country, text, commas[0] + 1, end);
    nameEnd = commas[0];
  }
  if (found >= 2) {
    CopyRange(record->state, sizeof record->state, text, commas[1] + 1, commas[0]);
    CapitalizeName(record->state);
    nameEnd = commas[1];
  }
  if (found >= 3) {
    CopyRange(record->city, sizeof record->city, text, commas[2] + 1, commas[1]);
    CapitalizeName(record->city);
    nameEnd = commas[2];
  }
  // The organisation name, cut where the city starts (or at the line text's end).
  if (record->nameOffset < sizeof record->line) {
    if (nameEnd < lineLength) record->line[nameEnd] = 0;
    CapitalizeName(record->line + record->nameOffset);
  } else {
    record->nameOffset = 0;
  }
  if (consumed != nullptr) *consumed = static_cast<uint16_t>(used);
  return 1;
}

namespace {

// The binary search over the file (or its image) for `domain`.
int SearchFile(const Source& file, uint64_t fileEnd, const char* domain, OrganizationRecord* record) {
  uint64_t lo = 0;
  uint64_t hi = fileEnd;
  Block block;
  OrganizationRecord probe;
  uint16_t consumed = 0;

  // Binary search over byte positions; lo is always the start of a record,
  // and every record that may hold the domain starts below hi.
  while (hi > lo && hi - lo > 400) {
    const uint64_t mid = lo + (hi - lo) / 2;
    if (!ReadBlock(file, mid, fileEnd, &block)) return 0;
    uint32_t e = 0;
    while (e < block.length && !IsLineEnd(block.bytes[e])) ++e;
    if (e >= block.length) return 0;  // a line longer than a probe: broken file
    uint32_t next = e + 1;
    if (next < block.length && IsLineEnd(block.bytes[next]) && block.bytes[next] != block.bytes[e]) ++next;
    const uint64_t recordStart = mid + next;
    if (recordStart >= hi) {
      // No record starts in [mid, hi): the candidates start at or before mid.
      hi = mid + 1;
      continue;
    }
    if (!ParseRecordAt(file, recordStart, fileEnd, &block, &probe, &consumed)) return 0;
    const int order = CompareDomain(probe.line, RecordDomainLength(probe), domain);
    if (order == 0) {
      *record = probe;
      return 1;
    }
    if (order < 0) {
      lo = recordStart + consumed;
    } else {
      hi = recordStart;
    }
  }

  // Few bytes left: walk the records from lo.
  uint64_t position = lo;
  block.start = 0;
  block.length = 0;
  while (position < hi) {
    if (!ParseRecordAt(file, position, fileEnd, &block, &probe, &consumed)) return 0;
    const int order = CompareDomain(probe.line, RecordDomainLength(probe), domain);
    if (order == 0) {
      *record = probe;
      return 1;
    }
    if (order > 0) return 0;
    position += consumed;
  }
  return 0;
}

}  // namespace

int FindOrganization(AnalysisContext* context, uint32_t end, uint32_t endHigh, const char* domain,
                     OrganizationRecord* record) {
  if (context == nullptr || domain == nullptr || record == nullptr) return 0;
  // Intranet entries answer first.
  for (uint16_t i = 0; i < context->intranetCount && context->intranet != nullptr; ++i) {
    const IntranetEntry* entry = context->intranet[i];
    if (entry == nullptr || entry->texts[0] == nullptr) continue;
    if (!EqualsFolded(entry->texts[0], domain)) continue;
    std::memset(record, 0, sizeof *record);
    CopyBounded(record->line, sizeof record->line, entry->texts[1]);
    CopyBounded(record->city, sizeof record->city, entry->texts[2]);
    CopyBounded(record->state, sizeof record->state, entry->texts[3]);
    CopyBounded(record->country, sizeof record->country, entry->texts[4]);
    return 1;
  }
  if (context->orgFile == KV_INVALID_FILE || context->orgFile == 0 || domain[0] == 0) return 0;

  const uint64_t fileEnd = (static_cast<uint64_t>(endHigh) << 32) | end;
  Source file;
  file.file = context->orgFile;
  // The image covers the file as opened; a search range beyond it reads the
  // file.
  OrgMemo* memo = nullptr;
  if (context->orgImage != nullptr && fileEnd <= context->orgFileSize) {
    file.image = context->orgImage;
    file.imageSize = context->orgFileSize;
    if (context->orgMemo == nullptr) context->orgMemo = new (std::nothrow) OrgMemo;
    memo = static_cast<OrgMemo*>(context->orgMemo);
    if (memo != nullptr && memo->image == file.image && memo->fileEnd == fileEnd && memo->domain == domain) {
      if (memo->found == 1) *record = memo->record;
      return memo->found;
    }
  }
  const int found = SearchFile(file, fileEnd, domain, record);
  if (memo != nullptr) {
    memo->image = file.image;
    memo->fileEnd = fileEnd;
    memo->domain = domain;
    memo->found = found;
    if (found == 1) memo->record = *record;
  }
  return found;
}

void CapitalizeName(char* text) {
  if (text == nullptr || text[0] == 0) return;
  const bool keep = StartsWithFolded(text, "Zentiq");
  if (!keep && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 32);
  const size_t length = std::strlen(text);
  for (size_t i = 1; i < length; ++i) {
    const char before = text[i - 1];
    if ((before == ' ' || before == ',' || before == '-' || before == '&') && text[i] >= 'a' && text[i] <= 'z') {
      text[i] = static_cast<char>(text[i] - 32);
    }
    if (!keep && text[i] == '.' && i + 2 < length && text[i + 2] == '.' && text[i - 1] >= 'a' &&
        text[i - 1] <= 'z') {
      text[i - 1] = static_cast<char>(text[i - 1] - 32);
    }
  }
}

bool SpaceAfterCommas(char* text, size_t size) {
  if (text == nullptr || size == 0) return false;
  size_t length = strnlen(text, size);
  if (length >= size) return false;
  bool complete = true;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] != ',' || text[i + 1] == ' ') continue;
    if (length + 2 > size) {
      complete = false;
      continue;
    }
    std::memmove(text + i + 2, text + i + 1, length - i);  // moves the terminating zero too
    text[i + 1] = ' ';
    ++length;
  }
  return complete;
}

}  // namespace vrn
