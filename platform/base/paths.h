// Paths and well-known folders.
//
// Path mapping. Every path accepted by the platform layer may be written with
// "\" or "/" separators and may start with a drive letter:
//   - "\" is turned into "/".
//   - A drive letter ("c:\logs\x.log", "C:/logs", "d:x.log") maps to the drive
//     root folder: the value of env KV_DRIVE_ROOT (default "/"), so with the
//     default "c:\logs\x.log" is "/logs/x.log"; with KV_DRIVE_ROOT=/srv/c it
//     is "/srv/c/logs/x.log". All letters share the one root.
//   - A path without a drive letter is a POSIX path: "/tmp/x" and "\tmp\x"
//     are both "/tmp/x"; relative paths are relative to the current folder.
//   - The drive root and the rest are joined with exactly one "/"; other
//     runs of separators are kept (ResolvePath may fold them when it has to
//     search for a component).
// Lookup ignores case: when a path component does not exist with the exact
// spelling, the folder is searched for a name that equals it without regard to
// ASCII case (when several do, the smallest in byte order wins). Components
// after the first that cannot be found are kept as given (so a new file is
// created in the existing folder whatever the case the caller wrote).
//
// Buffer functions below copy at most size-1 characters plus a NUL into
// `out` and return the full length of the text (without NUL), snprintf style:
// a result >= size means the text was cut. They return 0 and set the last
// error on failure, or when out is null or size is 0 (nothing written then).
#ifndef KV_PLATFORM_PATHS_H
#define KV_PLATFORM_PATHS_H

#include <cstdint>
#include <string>
#include <string_view>

namespace kv {

// The textual mapping above (separators and drive letter), without touching
// the file system.
std::string ToNativePath(std::string_view path);

// ToNativePath and then the case-insensitive lookup of each component.
std::string ResolvePath(std::string_view path);

// The program folder with a trailing "/": env KV_PROGRAM_DIR if set and not
// empty (a trailing "/" is added when missing), else the folder of
// /proc/self/exe.
std::string ProgramFolder();
uint32_t GetProgramFolder(char* out, uint32_t size);

// The full path of the shared object (or program) that contains `address`
// (the program itself gives /proc/self/exe); empty / 0 when the address
// lies in no loaded module.
std::string ModuleFileFromAddress(const void* address);
uint32_t GetModuleFileFromAddress(const void* address, char* out, uint32_t size);

// The temporary folder with a trailing "/": env TMPDIR if set, else "/tmp/".
std::string TempFolder();
uint32_t GetTempFolder(char* out, uint32_t size);

// The current folder without a trailing "/" (unless it is "/").
std::string CurrentFolder();
uint32_t GetCurrentFolder(char* out, uint32_t size);
// Changes the current folder (path mapped and resolved as above).
bool SetCurrentFolder(const char* path);

// Copies `text` into out as described above (helper for buffer functions).
uint32_t CopyOut(std::string_view text, char* out, uint32_t size);

}  // namespace kv

#endif
