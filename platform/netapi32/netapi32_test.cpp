// The account-lookup binding: bound once on first use, a missing module or
// name reported as a failure and never called, and the module's answers
// passed through unchanged.
#include "platform/netapi32/netapi32.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "platform/testsupport/tempdir.h"

namespace {

// Sets the program folder (where modules are loaded from) for the scope,
// and binds afresh on entry and exit.
class ProgramFolder {
 public:
  explicit ProgramFolder(const std::string& folder) {
    const char* old = getenv("KV_PROGRAM_DIR");
    saved_ = old != nullptr ? old : "";
    setenv("KV_PROGRAM_DIR", folder.c_str(), 1);
    KvNetApiUnbind();
  }
  ~ProgramFolder() {
    setenv("KV_PROGRAM_DIR", saved_.c_str(), 1);
    KvNetApiUnbind();
  }

 private:
  std::string saved_;
};

std::vector<std::string> Names(const uint8_t* buffer, uint32_t count) {
  std::vector<std::string> names;
  const auto* entries = reinterpret_cast<const KvNetInfo0*>(buffer);
  for (uint32_t i = 0; i < count; ++i) names.push_back(entries[i].name);
  return names;
}

// The system's groups, read here without the module.
std::vector<std::string> SystemGroups() {
  std::vector<std::string> names;
  setgrent();
  while (struct group* g = getgrent()) names.push_back(g->gr_name);
  endgrent();
  return names;
}

uint32_t ListGroups(std::vector<std::string>* names) {
  uint8_t* buffer = nullptr;
  uint32_t read = 0, total = 0;
  const uint32_t status =
      KvNetLocalGroupEnum(nullptr, 0, &buffer, KV_NET_MAX_PREFERRED_LENGTH, &read, &total, nullptr);
  if (names != nullptr) *names = Names(buffer, read);
  if (buffer != nullptr) KvNetApiBufferFree(buffer);
  return status;
}

uint32_t ListUsers() {
  uint8_t* buffer = nullptr;
  uint32_t read = 0, total = 0;
  const uint32_t status = KvNetUserEnum(nullptr, 0, 0, &buffer, KV_NET_MAX_PREFERRED_LENGTH, &read, &total, nullptr);
  if (buffer != nullptr) KvNetApiBufferFree(buffer);
  return status;
}

TEST(AccountBinding, LoadsOnceAndLooksEachNameUpOnce) {
  const char* bin = getenv("KV_PROGRAM_DIR");
  ASSERT_NE(bin, nullptr);
  ProgramFolder folder(bin);
  const uint32_t loads = KvNetApiLoadCount();
  const uint32_t lookups = KvNetApiLookupCount();
  for (int i = 0; i < 20; ++i) {
    std::vector<std::string> groups;
    ASSERT_EQ(ListGroups(&groups), KV_NERR_SUCCESS);
    EXPECT_EQ(groups, SystemGroups());
    ASSERT_EQ(ListUsers(), KV_NERR_SUCCESS);
  }
  EXPECT_EQ(KvNetApiLoadCount(), loads + 1);
  EXPECT_EQ(KvNetApiLookupCount(), lookups + 3);  // the two lists and the buffer release
}

TEST(AccountBinding, AMissingModuleOrNameIsAFailureAndTheRestStillWorks) {
  const char* tests = getenv("KV_TEST_DIR");
  ASSERT_NE(tests, nullptr);
  {
    ProgramFolder folder(std::string(tests) + "/netapi32/no_group_enum");
    EXPECT_EQ(ListGroups(nullptr), KV_NET_ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(ListUsers(), KV_NERR_SUCCESS);
    EXPECT_EQ(ListGroups(nullptr), KV_NET_ERROR_PROC_NOT_FOUND);
  }
  {
    kv::test::TempFolder empty("kvnetapi");
    ProgramFolder folder(empty.Path());
    uint8_t* buffer = reinterpret_cast<uint8_t*>(1);
    uint32_t read = 0, total = 0;
    EXPECT_EQ(KvNetUserEnum(nullptr, 0, 0, &buffer, KV_NET_MAX_PREFERRED_LENGTH, &read, &total, nullptr),
              KV_NET_ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(KvNetUserGetLocalGroups(nullptr, "root", 0, 0, &buffer, KV_NET_MAX_PREFERRED_LENGTH, &read, &total),
              KV_NET_ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(ListGroups(nullptr), KV_NET_ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(KvNetApiBufferFree(nullptr), KV_NET_ERROR_MOD_NOT_FOUND);
  }
  // Bound afresh from the program folder, everything answers again.
  EXPECT_EQ(ListGroups(nullptr), KV_NERR_SUCCESS);
}

}  // namespace
