// The link database of a crawl: the fixed-size page record, the reference
// lists of parents and children, and the three files LINKANLZ.DAT (records),
// LINKANLZ.REF (reference lists) and LINKANLZ.DYD (texts), plus the optional
// LINKANLZ.DBG text.
//
// Every file starts with the same 276-byte header. All integers in the files
// are little-endian int32. A record's text fields hold, in the DAT file, the
// offset of the text's entry in the DYD file (0 = no text); during a run they
// hold a handle into the context's text store (0 = no text), so that the
// in-memory record keeps the file's 1448-byte shape on a 64-bit host.
#ifndef KV_LINKANALYSIS_LINKDB_H
#define KV_LINKANALYSIS_LINKDB_H

#include <cstddef>
#include <cstdint>
#include <string>

struct LinkAnalysisDataStruct;

namespace kvla {

inline constexpr int32_t kHeaderSize = 276;
inline constexpr int32_t kRecordSize = 1448;
inline constexpr int32_t kRefEntrySize = 8;
inline constexpr int32_t kFormatVersion = 2;
inline constexpr int32_t kContextSize = 103246;
inline constexpr int32_t kBlockRecords = 1000;
inline constexpr char kHeaderText[] = "Kelvaron Vodo Darevudo";
// The longest text a record can carry (a path of 1024 bytes and its NUL);
// GetDynamicData refuses longer entries.
inline constexpr int32_t kMaxDynamicText = 1025;

// Record flags.
inline constexpr int32_t kFlagAnalysed = 0x1;
inline constexpr int32_t kFlagHeadSent = 0x2;
inline constexpr int32_t kFlagGetSent = 0x8;
inline constexpr int32_t kFlagBody = 0x10;
inline constexpr int32_t kFlagOutside = 0x20;
inline constexpr int32_t kFlagNew = 0x40;
inline constexpr int32_t kFlagRedirected = 0x80;
inline constexpr int32_t kFlagTaken = 0x100;

// Link types.
enum LinkType : int32_t {
  kLinkHttp = 1, kLinkFtp = 2, kLinkMailto = 3, kLinkFile = 4, kLinkGopher = 5,
  kLinkNews = 6, kLinkTelnet = 7, kLinkHttps = 8,
};

// Own status codes.
enum OwnStatus : int32_t {
  kStatusResolve = 50000, kStatusInvalidSocket, kStatusConnect, kStatusTransmit, kStatusReceive,
  kStatusPremature, kStatusMemory, kStatusBadMail, kStatusSelect, kStatusTooManyRedirects,
  kStatusNoEquals, kStatusNoLeadingQuote, kStatusNoTrailingQuote, kStatusUnexpectedChar,
  kStatusUnexpectedEnd, kStatusUrlTooLong, kStatusAborted, kStatusTimeoutDisconnect,
  kStatusTimeoutConnect, kStatusTimeoutTransmit, kStatusTimeoutResolve,
};
// The text of an HTTP or own status code ("" when unknown).
const char* StatusText(int32_t status);

// Reference entry: the other record and the number of links between the two.
struct RefEntry {
  int32_t index;
  int32_t links;
};

// The 24-byte reference block kept at the end of every record.
struct ReferenceBlock {
  int32_t parentCount;
  uint32_t parentList;  // 0 in the file
  int32_t parentOffset; // offset of the parent list in LINKANLZ.REF
  int32_t childCount;
  uint32_t childList;   // 0 in the file
  int32_t childOffset;
};

// The page record, 1448 bytes.
struct PageRecord {
  char host[256];
  char path[1024];
  int32_t index;
  int32_t inherited;       // copied from the parent when the record is made
  int32_t flags;
  int32_t checkBits;       // 1 image without ALT, 2 without WIDTH, 4 without HEIGHT, 8
  int32_t reportClass;
  int32_t field1300;
  int32_t linkType;
  int32_t hash;
  int32_t contentLength;
  int32_t field1316;
  int32_t lastModified;
  int32_t firstRedirectStatus;
  int32_t redirectCount;
  uint32_t originalPath;   // text
  uint32_t title;          // text
  uint32_t metaText;       // text
  uint32_t baseDir;        // text
  uint32_t userName;       // text
  uint32_t password;       // text
  int32_t port;
  int32_t category;
  int32_t scannedBytes;    // the bytes of a long page that were scanned; 0: all of it
  int32_t elapsedMs;
  int32_t status;
  int32_t fields1376[6];
  int32_t socket;          // -1 when none
  int32_t fields1404[2];
  uint32_t linkText;       // text
  int32_t field1416;
  int32_t timeoutStatus;
  ReferenceBlock refs;
};
static_assert(sizeof(PageRecord) == 1448);
static_assert(offsetof(PageRecord, index) == 1280);
static_assert(offsetof(PageRecord, originalPath) == 1332);
static_assert(offsetof(PageRecord, port) == 1356);
static_assert(offsetof(PageRecord, socket) == 1400);
static_assert(offsetof(PageRecord, linkText) == 1412);
static_assert(offsetof(PageRecord, timeoutStatus) == 1420);
static_assert(offsetof(PageRecord, refs) == 1424);

// Serialisation of a record and the header (explicit little-endian).
void EncodeRecord(const PageRecord& record, unsigned char out[kRecordSize]);
void DecodeRecord(const unsigned char in[kRecordSize], PageRecord* record);
void EncodeHeader(unsigned char out[kHeaderSize]);
// True when the header names version 2 and its next word is 0.
bool HeaderIsCurrent(const unsigned char in[kHeaderSize]);

// The URL text of a record: "http://host[:port]path" for http and https
// records, the path alone otherwise.
std::string RecordUrl(const PageRecord& record);

// Appends a record for a link found on `parent` (the caller holds
// DatabaseMutex). 1 on success, 0 on failure (out of memory).
int NewPageRecord(LinkAnalysisDataStruct* ctx, const PageRecord* parent, const char* host, const char* path,
                  int32_t flags, int32_t hash, int32_t linkType, int32_t redirectCount, int32_t presetStatus,
                  const char* linkText, int32_t checkBits, int32_t port, const char* user, const char* password,
                  int32_t tagKind);
// Adds `other` to the parent (kind 0) or child (kind 1) list of record
// `index`, counting repeated links. 1 on success, 0 on failure.
int AddReference(LinkAnalysisDataStruct* ctx, int32_t index, int32_t other, int32_t kind);
// Writes the four files at the end of a run and frees the arrays.
int SaveLinkDatabase(LinkAnalysisDataStruct* ctx);
// Outside a run: sets the record count from the size of LINKANLZ.DAT after
// checking its header. 1 on success, 0 when the file is missing or damaged.
int OpenLinkDatabase(LinkAnalysisDataStruct* ctx);

// The report lists: the n-th record (from 0) of the in-memory array meeting
// the list's condition, its URL text (at most max characters) in `url`.
enum class ReportList {
  kClass8,        // report class 8, outside flag as asked
  kClass20or8000, // report class 0x20 or 0x8000, outside flag as asked; link text when present
  kClass10,
  kClass80,
  kClass400,      // report class 0x400 or check bit 8
};
PageRecord* GetReportListItem(LinkAnalysisDataStruct* ctx, ReportList list, int32_t n, bool outside, char* url,
                              int32_t max, PageRecord* buffer);
// The n-th child of `record` with report class 0x200.
PageRecord* GetReportListChild200(LinkAnalysisDataStruct* ctx, PageRecord* record, int32_t n, char* url,
                                  int32_t max, PageRecord* buffer);

}  // namespace kvla

extern "C" {
int KVLA_CheckDatabaseVersion(LinkAnalysisDataStruct* ctx, int32_t version, int32_t flag);
kvla::PageRecord* KVLA_ReadDatabaseItem(LinkAnalysisDataStruct* ctx, int32_t index, kvla::PageRecord* buffer);
int KVLA_WriteDatabaseItem(LinkAnalysisDataStruct* ctx, int32_t index, const kvla::PageRecord* data);
kvla::RefEntry* KVLA_ReadReferenceList(LinkAnalysisDataStruct* ctx, kvla::PageRecord* record, int32_t kind,
                                       int32_t* count);
kvla::PageRecord* KVLA_GetPageParent(LinkAnalysisDataStruct* ctx, kvla::PageRecord* record, char* url, int32_t n,
                                     int32_t max, kvla::PageRecord* buffer);
kvla::PageRecord* KVLA_GetPageChild(LinkAnalysisDataStruct* ctx, kvla::PageRecord* record, char* url, int32_t n,
                                    int32_t status, int32_t max, kvla::PageRecord* buffer);
// `out` must hold kMaxDynamicText bytes.
void KVLA_GetPageTitle(LinkAnalysisDataStruct* ctx, kvla::PageRecord* record, char* out);
// `buffer` must hold kMaxDynamicText bytes; longer entries are refused.
int KVLA_GetDynamicData(LinkAnalysisDataStruct* ctx, int32_t offset, char* buffer);
}

#endif
