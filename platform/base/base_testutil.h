// Helpers for the tests of the platform base: the shared test helpers
// (TempFolder, WriteText/ReadText, StartChild/WaitChild/RunInChild) and a
// scoped environment variable.
#ifndef KV_PLATFORM_BASE_TESTUTIL_H
#define KV_PLATFORM_BASE_TESTUTIL_H

#include <string>

#include "platform/testsupport/files.h"
#include "platform/testsupport/process.h"
#include "platform/testsupport/tempdir.h"

namespace kv::test {

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_;
};

}  // namespace kv::test

#endif
