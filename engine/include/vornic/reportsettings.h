/* Report settings and file types: the typed file-extension lists kept in
 * section Defaults of the module INI file (kvm_log.ini). A list is an array
 * with room for FILE_TYPES_MAX record pointers and a separate 16-bit count.
 * Records, arrays and texts returned here are allocated with malloc and
 * released with the functions below (a text from
 * FileTypeHeaderStructToString with free). */
#ifndef VORNIC_REPORTSETTINGS_H
#define VORNIC_REPORTSETTINGS_H

#include <stdint.h>

#include <vornic/export.h>

#ifdef __cplusplus
extern "C" {
#endif

#define FILE_TYPE_NAME_SIZE 300
#define FILE_TYPES_MAX 100
/* Longest text a file-type line may have in the INI file. */
#define FILE_TYPES_LINE_SIZE 1024

/* One file extension with its type number (numbers above 3 are not written). */
typedef struct FileType {
    char Name[FILE_TYPE_NAME_SIZE];
    int32_t Number;
} FileType;

/* A zero-filled record, or null when memory is short. */
VORNIC_API FileType* CreateFileType(void);
/* Frees a record; null is ignored. */
VORNIC_API void FreeFileType(FileType* type);
/* "{name,number}" or a bare "name" (number 0) as a new record; null for a
 * null text, a braced text without a comma, or when memory is short. */
VORNIC_API FileType* FileTypeHeaderStringToStruct(const char* text);
/* The text form "{name,number}" as a new text, or null for a null record,
 * a number above 3, or when memory is short. */
VORNIC_API char* FileTypeHeaderStructToString(const FileType* type);
/* Frees the non-null records among the first count entries, then the array. */
VORNIC_API void FreeFileTypesArray(FileType** array, uint16_t count);
/* Reads [Defaults] key of kvm_log.ini (def when missing) and parses its
 * words (separated by blanks and ";"). Returns the array with *count set, or
 * null (count 0) when memory is short or a word does not parse. Words past
 * FILE_TYPES_MAX are not read. */
VORNIC_API FileType** GetFileTypesFromIniFile(uint16_t* count, const char* key, const char* def);
/* Writes the text forms of the records, separated by one blank, as
 * [Defaults] key of kvm_log.ini; records without a text form are left out.
 * Returns 1, or 0 with nothing written when the line would not fit in
 * FILE_TYPES_LINE_SIZE - 1 characters or the file could not be written. */
VORNIC_API int32_t WriteFileTypesToIniFile(uint16_t count, FileType** array, const char* key);

#ifdef __cplusplus
}
#endif

#endif
