// Run-time modules: loading shared objects of the program folder by the names
// the system asks for, looking up their exports by name or ordinal, and
// finding the module that contains an address.
//
// Name mapping (KvLoadModule):
//   * A name is reduced to its file name: drive letters and folders written
//     with '\' or '/' are dropped ("C:\\KV\\WSOCK32.DLL" -> "WSOCK32.DLL"),
//     except that an absolute POSIX path ("/opt/kv/x.so") keeps its folder.
//   * The file is looked for in the program folder (or the absolute path's
//     folder): first the name as given, in any case; then the base name with
//     ".so" ("WSOCK32.DLL" -> "WSOCK32.so", "kvm_link.dll" -> "kvm_link.so"),
//     again in any case.
//   * "ODBC32.DLL" (any case, with or without extension) is the system's
//     ODBC driver manager, "libodbc.so.2".
//
// Ordinals: a module that offers exports by ordinal defines
//
//     extern "C" KV_MODULE_TABLE const KvOrdinalEntry kv_ordinal_table[] = {
//         {1, (KvProc)&FirstFunction},
//         {124, (KvProc)&OtherFunction},
//         {0, nullptr},                       // ends the table
//     };
//
// KvGetProcOrdinal looks the ordinal up in that table of the module itself
// (never in a module it depends on).
//
// Exports by name are likewise looked up only among the module's own symbols:
// a name that only a dependency defines is "not found", as it would be for a
// module that lacks it.
//
// Failures return null/0 and set the platform's last error (KV_ERROR_*
// codes below); a handle that is not a live module is an error, never a
// crash. Loads are reference counted per module: each successful
// KvLoadModule needs one KvFreeModule.
#ifndef KV_PLATFORM_MODULE_MODULE_H
#define KV_PLATFORM_MODULE_MODULE_H

#include "platform/base/kvtypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Last-error codes set by the module functions (platform values). */
#ifndef KV_ERROR_INVALID_HANDLE
#define KV_ERROR_INVALID_HANDLE 6u
#endif
#ifndef KV_ERROR_NOT_ENOUGH_MEMORY
#define KV_ERROR_NOT_ENOUGH_MEMORY 8u
#endif
#ifndef KV_ERROR_INVALID_PARAMETER
#define KV_ERROR_INVALID_PARAMETER 87u
#endif
#ifndef KV_ERROR_INSUFFICIENT_BUFFER
#define KV_ERROR_INSUFFICIENT_BUFFER 122u
#endif
#ifndef KV_ERROR_MOD_NOT_FOUND
#define KV_ERROR_MOD_NOT_FOUND 126u
#endif
#ifndef KV_ERROR_PROC_NOT_FOUND
#define KV_ERROR_PROC_NOT_FOUND 127u
#endif
#ifndef KV_ERROR_BAD_EXE_FORMAT
#define KV_ERROR_BAD_EXE_FORMAT 193u
#endif

/* Attribute of the tables that every module defines under the same names
   (kv_ordinal_table, kv_resource_table): exported, but bound within their own
   module, so that a program and the modules it loads may each have one. */
#ifndef KV_MODULE_TABLE
#define KV_MODULE_TABLE __attribute__((visibility("protected")))
#endif

/* A function pointer of unknown signature; cast to the real type. */
typedef void (*KvProc)(void);

/* One entry of a module's kv_ordinal_table; ordinal 0 ends the table. */
typedef struct KvOrdinalEntry {
    uint32_t ordinal;
    KvProc function;
} KvOrdinalEntry;

#define KV_ORDINAL_TABLE_SYMBOL "kv_ordinal_table"

/* Loads a module by name (mapping above) or by absolute path. Null and
   KV_ERROR_MOD_NOT_FOUND (no such file), KV_ERROR_BAD_EXE_FORMAT (the file
   would not load) or KV_ERROR_INVALID_PARAMETER (null/empty name). */
KV_EXPORT KvModule KvLoadModule(const char* name);

/* Drops one reference; the module is unloaded with the last one. The calling
   program's own handle is never unloaded. 0 and KV_ERROR_INVALID_HANDLE for a
   handle that is not a live module. */
KV_EXPORT KvBool KvFreeModule(KvModule module);

/* The calling program itself (never freed, needs no KvFreeModule). */
KV_EXPORT KvModule KvSelfModule(void);

/* The module (program or loaded shared object) that contains the address;
   null with KV_ERROR_MOD_NOT_FOUND when none does. Not reference counted. */
KV_EXPORT KvModule KvModuleFromAddress(const void* address);

/* An export of the module itself by name; a null module means the calling
   program. Null and KV_ERROR_PROC_NOT_FOUND when missing. */
KV_EXPORT KvProc KvGetProcAddress(KvModule module, const char* name);

/* An export by ordinal through the module's kv_ordinal_table. Null and
   KV_ERROR_PROC_NOT_FOUND when the module has no table or no such entry. */
KV_EXPORT KvProc KvGetProcOrdinal(KvModule module, uint32_t ordinal);

/* Copies the module's file path (null module: the program) into the buffer,
   truncated to size - 1 characters and terminated. Returns the number of
   characters copied (without the terminator); 0 on failure. Truncation sets
   KV_ERROR_INSUFFICIENT_BUFFER. */
KV_EXPORT uint32_t KvGetModuleFileName(KvModule module, char* buffer, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
