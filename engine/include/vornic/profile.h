/* Profiles: the profile record (DravelEntry), its ".wlp" file in the
 * registered profile directory, and the database-lookup settings that a
 * profile carries (MorvaneSettings).
 *
 * Text fields are fixed arrays holding a NUL-terminated string; the array
 * size is the field's width in bytes. Fields marked "working" are not stored
 * in the profile file and are zero after a read. */
#ifndef VORNIC_PROFILE_H
#define VORNIC_PROFILE_H

#include <stddef.h>
#include <stdint.h>

#include <vornic/export.h>

#ifdef __cplusplus
extern "C" {
#endif

struct FilterRecord;

/* Widths of the profile's text fields (array sizes, NUL included). */
#define DRAVEL_NAME_WIDTH 32
#define DRAVEL_EXTENSION_WIDTH 32
#define DRAVEL_DESCRIPTION_WIDTH 81
#define DRAVEL_PATH_WIDTH 301
#define DRAVEL_CREDENTIAL_WIDTH 41
#define DRAVEL_HOMEPAGE_WIDTH 81
#define DRAVEL_SAVETO_WIDTH 256
#define DRAVEL_REPOSITORY_WIDTH 260
#define DRAVEL_OWNER_WIDTH 100

/* Result of ReadDravelFile when the profile was read. */
#define DRAVEL_READ_OK 4
/* Version of a profile that has been read. */
#define DRAVEL_VERSION 4

/* A summary of a profile's log files as last listed (16 bytes on disk and in
 * memory): earliest and latest write time, file count, total size in
 * kilobytes, archive kind of the last element seen (0 plain, 1 ZIP,
 * 2 "odbc:", 3 gzip). */
#pragma pack(push, 1)
typedef struct LogListSummary {
    uint32_t EarliestWriteTime;
    uint32_t LatestWriteTime;
    uint16_t FileCount;
    uint32_t TotalSizeKB;
    uint16_t ArchiveKind;
} LogListSummary;
#pragma pack(pop)

/* One column of a database lookup. */
#define MORVANE_TEXT_WIDTH 300
#define MORVANE_COLUMN_WIDTH 308

typedef struct MorvaneColumn {
    uint32_t DataType;
    uint32_t ColumnNumber;
    char DataColumn[MORVANE_COLUMN_WIDTH];
    uint32_t ReportSequence;
    struct MorvaneColumn* Next;
} MorvaneColumn;

/* The settings of one database lookup (sections "MorvaneIP" and
 * "MorvaneAuthUser" of a profile). Owns its column list. */
typedef struct MorvaneSettings {
    uint32_t Enabled;
    char DSN[MORVANE_TEXT_WIDTH];
    char Table[MORVANE_TEXT_WIDTH];
    char KeyColumn[MORVANE_TEXT_WIDTH];
    char ReportTitle[MORVANE_TEXT_WIDTH];
    uint32_t ShowOnlyMorvane;
    MorvaneColumn* Columns;
} MorvaneSettings;

/* The profile record. Owns its filter list and its two lookup settings. */
typedef struct DravelEntry {
    uint16_t Version;
    char Name[DRAVEL_NAME_WIDTH];
    char Extension[DRAVEL_EXTENSION_WIDTH];
    char Description[DRAVEL_DESCRIPTION_WIDTH];
    char LogFilePath[DRAVEL_PATH_WIDTH];
    char LogFileUsername[DRAVEL_CREDENTIAL_WIDTH];
    char LogFilePassword[DRAVEL_CREDENTIAL_WIDTH];
    char HomePageName[DRAVEL_HOMEPAGE_WIDTH];
    char HomePageUsername[DRAVEL_CREDENTIAL_WIDTH];
    char HomePagePassword[DRAVEL_CREDENTIAL_WIDTH];
    uint8_t DNSLookup;
    uint32_t OverrideMultiHome;

    /* working: 1 when the last quick refresh read the log times from the
       logs themselves (cleared by the profile list code) */
    uint8_t LogTimesCurrent;
    /* working: 1 when the remote log was fetched and its status refreshed */
    uint32_t LogAvailable;
    /* working: size of the logs in kilobytes, first and last record time */
    uint32_t LogSizeKB;
    uint32_t FirstLogTime;
    uint32_t LastLogTime;

    uint32_t RealtimeAnalysis;
    uint16_t PellavarFlag; /* 1 period files, 2 ODBC tables, 0 none */
    /* working: cleared by every read and by the profile list code */
    uint16_t PellavarWork;
    /* working: realtime interval kind and up-to-date word */
    uint16_t RealtimeIntervalKind;
    uint32_t RealtimeUpToDate;

    uint32_t IncrementalUpdate;
    uint16_t RealtimeReportFrequency;
    uint32_t RealtimeReportInterval;
    uint32_t RealtimeReports;
    char ReportSaveToPath[DRAVEL_SAVETO_WIDTH];

    /* working: first and last time of the realtime database */
    uint32_t RealtimeFirstTime;
    uint32_t RealtimeLastTime;

    uint32_t LogFileFormat; /* date layout: 8 mdy, 9 dmy, 10 ymd, 34..36 after a tab-format line */
    char ODBCDataSource[DRAVEL_PATH_WIDTH];
    char PellavarRepository[DRAVEL_REPOSITORY_WIDTH];
    char LogOwner[DRAVEL_OWNER_WIDTH];
    char ODBCPellavar[DRAVEL_PATH_WIDTH];

    /* working: the realtime ODBC store's connection (a 32-bit word on the
       original platform; a pointer-sized handle here) */
    void* ODBCConnection;
    /* working: the last log-list summary and the kinds of log seen */
    LogListSummary LogStatus;
    uint16_t LogKindFlags;
    /* working: a word of the client's own, kept by the profile list code */
    uint32_t ClientListWord;

    struct FilterRecord* Filters;
    MorvaneSettings* MorvaneIP;
    MorvaneSettings* MorvaneAuthUser;
} DravelEntry;

/* Reads the profile file at path into entry (zeroed first). Returns 4 when
   the profile was read, 0 on any failure (entry may then be partly filled;
   any filters and lookup settings it holds after a failure are its own). */
VORNIC_API int16_t ReadDravelFile(const char* path, DravelEntry* entry);

/* Gives the record a new unique name (and an "Include Everything" filter when
   it has none) and writes it as a new profile file. 0 success, -1 failure. */
VORNIC_API int16_t VRN_CreateDravelEntry(DravelEntry* entry);

/* Writes the record's profile file (profile section, filters, lookup
   sections) through a temporary file that replaces the old one only when
   everything was written. Returns 1 on success, 0 otherwise (the previous
   file is then unchanged). */
VORNIC_API int32_t WriteDravelFile(const DravelEntry* entry);

/* Rewrites the record's profile file. 0 success, -1 failure. */
VORNIC_API int16_t VRN_UpdateDravelEntry(DravelEntry* entry);

/* Copies the source's profile file under a new unique name, stored in the
   target's Name and Extension. 0 success, -1 failure. */
VORNIC_API int16_t VRN_DuplicateDravelEntry(const DravelEntry* source, DravelEntry* target);

/* out = profile directory + Name + "." + Extension. Returns 1, or 0 (out
   empty) when the path does not fit in size bytes or no profile directory is
   registered. */
VORNIC_API int32_t BuildLogProfileFilename(char* out, size_t size, const DravelEntry* entry);

/* out = engine module folder + "kvm_log/datfiles/" + Name + "." + Extension
   (a Name holding "/" or "\\" is refused).
   Returns out, or NULL (out empty when size > 0) when the path does not fit. */
VORNIC_API char* GenerateDravelFilePath(char* out, size_t size, const DravelEntry* entry);

/* A new unique profile name in the profile directory: name = eight hex
   digits, extension = "wlp", path (when not NULL) = profile directory + name
   + ".wlp". Returns 1, or 0 (outputs empty) when no profile directory is
   registered or an output is too small (name needs 9 bytes, extension 4). */
VORNIC_API int32_t __BuildUniqueDravelFileName(char* path, size_t pathSize, char* name, size_t nameSize,
                                               char* extension, size_t extensionSize);

/* The profile text lookups. The text is a whole profile file held in memory
   (NUL-terminated). A key is found only at the start of a line of the named
   section ("[section]", also "[[section]]"); its value runs to the end of its
   line, which must end in LF (CR LF or LF). IniBufferGetString copies at most
   width - 1 characters and always NUL-terminates (width 0 writes nothing);
   it returns 1. */
VORNIC_API int32_t IniBufferGetString(const char* section, const char* key, const char* defaultValue,
                                      char* out, uint32_t width, const char* text);
VORNIC_API int32_t IniBufferGetInt(const char* section, const char* key, int32_t defaultValue,
                                   const char* text);
/* Position of the next line that starts with "[" (the CR LF or LF in front of
   it), or NULL when there is none. */
VORNIC_API const char* FindNextSection(const char* text);

/* Database lookup settings. */
VORNIC_API MorvaneSettings* AllocMorvane(void);
VORNIC_API MorvaneColumn* AllocMorvaneData(void);
VORNIC_API void FreeMorvaneColumns(MorvaneColumn* first);
VORNIC_API void FreeMorvane(MorvaneSettings* settings);

#ifdef __cplusplus
}
#endif

#endif
