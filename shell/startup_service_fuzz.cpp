// Fuzzing the texts the service stand-in reads: command lines of the service
// table, lines of the password file and status files.
#include <cstddef>
#include <cstdint>
#include <string>

#include "shell/startup_service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  for (const std::string& word : kv::svc::detail::SplitCommandLine(text))
    if (word.size() > text.size()) __builtin_trap();
  kv::svc::detail::LogonLineMatches(text, "\\alice", "secret");
  ServiceStatus status;
  kv::svc::detail::ParseStatusText(text, &status);
  return 0;
}
