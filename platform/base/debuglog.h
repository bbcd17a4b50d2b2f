// Debug output: a trace line for the developer. Each call appends one line
// (a final newline is added unless the text ends with one) to the debug log
// file: env KV_DEBUG_LOG, default "<program folder>/debug.log". When env
// KV_DEBUG_STDERR is set the line also goes to standard error. Thread-safe;
// a line is written with one append so that lines of threads and processes
// do not mix. Failures are ignored (a trace must never break the caller).
#ifndef KV_PLATFORM_DEBUGLOG_H
#define KV_PLATFORM_DEBUGLOG_H

#include <string>

namespace kv {

void DebugOutput(const char* text);
void DebugOutput(const std::string& text);

// The file DebugOutput writes to.
std::string DebugLogPath();

}  // namespace kv

#endif
