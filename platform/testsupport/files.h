// Whole-file helpers for tests (plain streams, independent of the code under
// test).
#ifndef KV_PLATFORM_TESTSUPPORT_FILES_H
#define KV_PLATFORM_TESTSUPPORT_FILES_H

#include <string>

namespace kv::test {

// Writes `bytes` as the whole file; false when it cannot be written.
bool WriteBytes(const std::string& path, const std::string& bytes);

// Writes `text` as the whole file; throws std::runtime_error on failure.
void WriteText(const std::string& path, const std::string& text);

// The whole file, "" when it cannot be read.
std::string ReadText(const std::string& path);

}  // namespace kv::test

#endif
