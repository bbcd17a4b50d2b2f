#include "platform/testsupport/tempdir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

namespace kv::test {

TempFolder::TempFolder(const char* prefix) {
  std::string base = testing::TempDir();
  if (base.empty() || base.back() != '/') base += "/";
  std::string tmpl = base + prefix + ".XXXXXX";
  char* made = mkdtemp(tmpl.data());
  if (!made) throw std::runtime_error("mkdtemp failed");
  path_ = made;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace kv::test
