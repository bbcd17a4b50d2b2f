/* Filters: the include and exclude filters of a profile, their string lists
 * and the text forms of lists, status codes and days as they stand in a
 * profile file. */
#ifndef VORNIC_FILTER_H
#define VORNIC_FILTER_H

#include <stddef.h>
#include <stdint.h>

#include <vornic/export.h>
#include <vornic/profile.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One node of a string list; the list owns its nodes and texts. */
typedef struct FilterString {
    char* Text;
    struct FilterString* Next;
} FilterString;

#define FILTER_NAME_WIDTH 128
#define FILTER_CODE_COUNT 24
/* First status code meaning "every code". */
#define FILTER_ALL_CODES 0xFFFFFFFFu

#define FILTER_INCLUDE 1
#define FILTER_EXCLUDE 2

/* Test bits of dwFlags. */
#define ENABLE_RETURNCODES 0x1u
#define ENABLE_DIRECTORY 0x2u
#define ENABLE_FILES 0x4u
#define ENABLE_DAYS 0x8u
#define ENABLE_HOURS 0x10u
#define ENABLE_USERS 0x20u
#define ENABLE_ADS 0x40u
#define ENABLE_MULTIHOME 0x80u
#define ENABLE_BROWSER 0x100u
#define ENABLE_USERNAME 0x200u
#define ENABLE_SEARCHKEYWORDS 0x400u
#define ENABLE_REFERRER 0x800u
#define ENABLE_DEFAULT 0x40000000u

/* Day bits: bit 0 Sunday .. bit 6 Saturday. */
#define FILTER_ALL_DAYS 127u

/* One include or exclude filter; a profile's filters are linked by Next. */
typedef struct FilterRecord {
    char Name[FILTER_NAME_WIDTH];
    uint32_t ReturnCodes[FILTER_CODE_COUNT]; /* ended by 0; first FILTER_ALL_CODES = all */
    struct FilterRecord* Next;
    uint32_t FilterType; /* FILTER_INCLUDE or FILTER_EXCLUDE */
    uint32_t dwFlags;
    FilterString* Directory;
    uint32_t IncludeSubDirs;
    uint32_t DirectoryCaseSensitive;
    FilterString* Files;
    uint32_t IncludeDefaultPages;
    uint32_t FilesCaseSensitive;
    uint32_t Days;
    uint32_t HourAllNone; /* key "HourAll/None": 1 = every hour */
    uint32_t HourBegin;
    uint32_t HourEnd;
    FilterString* Users;
    FilterString* AdClick;
    FilterString* AdView;
    FilterString* MultiHomeDomain;
    FilterString* Browser;
    FilterString* Username;
    uint32_t UsernameCaseSensitive;
    uint32_t UsernameAll;
    FilterString* SearchKeywords;
    FilterString* Referrer;
} FilterRecord;

VORNIC_API FilterRecord* AllocateBlankFilter(void);
VORNIC_API FilterRecord* CreateNewIncludeFilter(void);
VORNIC_API FilterRecord* CreateNewExcludeFilter(void);
/* A deep copy; the copy's Next is NULL (it is not linked anywhere). */
VORNIC_API FilterRecord* MakeCopyOfFilter(const FilterRecord* filter);
/* Links filter into the profile's list: position < 0 appends, 0 puts it
   first, p > 0 after the first p filters (or at the end). */
VORNIC_API void AddFilterToProfile(FilterRecord* filter, DravelEntry* entry, int32_t position);
VORNIC_API void FreeFilterStrings(FilterString* list);
VORNIC_API void FreeOneFilter(FilterRecord* filter);
VORNIC_API void FreeFilters(FilterRecord* filter);
VORNIC_API void FreeFiltersForProfile(DravelEntry* entry);

/* Parses text into a new list in *out (split != 0: items separated by blanks
   and commas, quoted with " or '; split == 0: the whole text is one item).
   A NULL text leaves *out untouched. */
VORNIC_API void FilterStringToStruct(const char* text, FilterString** out, int32_t split);
/* Writes the text form of a list into out (size bytes, NUL included). */
VORNIC_API void FilterStructToString(const FilterString* list, char* out, size_t size);
VORNIC_API void ReturnCodeStringToStruct(const char* text, FilterRecord* filter);
VORNIC_API void ReturnCodeStructToString(const FilterRecord* filter, char* out, size_t size);

VORNIC_API uint32_t DaysStringToMask(const char* text);
/* Needs size >= 15; below that nothing is written. */
VORNIC_API void DaysMaskToString(uint32_t mask, char* out, size_t size);
VORNIC_API int32_t IsDefaultFilterList(const FilterString* list, const char* defaultText, int32_t include);
VORNIC_API FilterString* CopyFilterStrings(const FilterString* list);

/* Scrambles or unscrambles (the same operation) a credential text in place. */
VORNIC_API void ScrambleProfileText(char* text);

#ifdef __cplusplus
}
#endif

#endif
