// Temporary folders for tests.
#ifndef KV_PLATFORM_TESTSUPPORT_TEMPDIR_H
#define KV_PLATFORM_TESTSUPPORT_TEMPDIR_H

#include <string>

namespace kv::test {

// A fresh folder "<prefix>.XXXXXX" under the test temp folder, removed with
// its content on destruction. Path() ends without "/".
class TempFolder {
 public:
  explicit TempFolder(const char* prefix = "kvtest");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace kv::test

#endif
