// Local users and groups, read from an account database of the test's own
// (the process runs under nss_wrapper with its own passwd and group files).
#include "engine/core/user_groups.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kFolderVariable[] = "KV_TEST_ACCOUNTS_DIR";

void RemoveAccountFiles() {
  const char* dir = getenv(kFolderVariable);
  if (dir == nullptr) return;
  for (const char* f : {"/passwd", "/group"}) std::remove((std::string(dir) + f).c_str());
  rmdir(dir);
}

// Before main: re-execute under nss_wrapper with passwd and group files of
// our own.
__attribute__((constructor)) void RunUnderNssWrapper(int /*argc*/, char** argv) {
  if (getenv(kFolderVariable) != nullptr) {
    atexit(RemoveAccountFiles);
    return;
  }
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kvaccountsXXXXXX";
  std::vector<char> dir(pattern.begin(), pattern.end());
  dir.push_back('\0');
  if (mkdtemp(dir.data()) == nullptr) return;
  const std::string folder = dir.data();
  FILE* f = std::fopen((folder + "/passwd").c_str(), "w");
  if (f == nullptr) return;
  std::fputs(
      "root:x:0:0:root:/root:/bin/sh\n"
      "anna:x:1001:1001:Anna:/home/anna:/bin/sh\n"
      "bert:x:1002:100:Bert:/home/bert:/bin/sh\n"
      "carla-webmaster-with-a-long-name:x:1003:100::/home/c:/bin/sh\n"
      "dora:x:1004:4242::/home/d:/bin/sh\n",
      f);
  std::fclose(f);
  f = std::fopen((folder + "/group").c_str(), "w");
  if (f == nullptr) return;
  std::fputs(
      "root:x:0:\n"
      "users:x:100:anna\n"
      "anna:x:1001:\n"
      "webadmins:x:2000:bert,anna,carla-webmaster-with-a-long-name\n"
      "auditors:x:2001:bert\n",
      f);
  std::fclose(f);
  std::string preload = "libnss_wrapper.so";
  if (const char* old = getenv("LD_PRELOAD"); old != nullptr && *old != '\0') preload += std::string(":") + old;
  std::string asan = "verify_asan_link_order=0";
  if (const char* old = getenv("ASAN_OPTIONS"); old != nullptr && *old != '\0') asan = std::string(old) + ":" + asan;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  setenv("ASAN_OPTIONS", asan.c_str(), 1);
  setenv("NSS_WRAPPER_PASSWD", (folder + "/passwd").c_str(), 1);
  setenv("NSS_WRAPPER_GROUP", (folder + "/group").c_str(), 1);
  // The sanitizer runtimes cannot take the C library loaded a second time
  // with its own symbol scope.
  setenv("NSS_WRAPPER_DISABLE_DEEPBIND", "1", 1);
  setenv(kFolderVariable, folder.c_str(), 1);
  execv("/proc/self/exe", argv);
  // Could not re-execute: the tests below then see the machine's own accounts and fail visibly.
  RemoveAccountFiles();
}

std::vector<std::string> Names(const uint8_t* buffer, uint32_t count) {
  std::vector<std::string> names;
  const auto* entries = reinterpret_cast<const vrn::UserInfo0*>(buffer);
  for (uint32_t i = 0; i < count; ++i) names.push_back(entries[i].name);
  return names;
}

const std::vector<std::string> kUsers = {"root", "anna", "bert", "carla-webmaster-with-a-long-name", "dora"};
const std::vector<std::string> kGroups = {"root", "users", "anna", "webadmins", "auditors"};

TEST(UserGroups, RunsUnderItsOwnAccountDatabase) { ASSERT_NE(getenv(kFolderVariable), nullptr); }

TEST(UserGroups, UsersAreListedWholeOrInResumableParts) {
  uint8_t* buffer = nullptr;
  uint32_t read = 0, total = 0, resume = 0;
  ASSERT_EQ(vrn::NetUserEnum(nullptr, 0, vrn::kFilterNormalAccount, &buffer, vrn::kMaxPreferredLength, &read, &total,
                             &resume),
            vrn::kNerrSuccess);
  EXPECT_EQ(Names(buffer, read), kUsers);
  EXPECT_EQ(total, kUsers.size());
  EXPECT_EQ(resume, 0u);
  EXPECT_EQ(vrn::NetApiBufferFree(buffer), vrn::kNerrSuccess);

  // Parts of about 20 bytes: one or two names at a time, never none, and
  // together every name once, in order.
  for (uint32_t preferred : {1u, 20u, 40u}) {
    std::vector<std::string> all;
    resume = 0;
    uint32_t status = vrn::kErrorMoreData;
    for (int call = 0; call < 10 && status == vrn::kErrorMoreData; ++call) {
      status = vrn::NetUserEnum("", 0, 0, &buffer, preferred, &read, &total, &resume);
      ASSERT_TRUE(status == vrn::kErrorMoreData || status == vrn::kNerrSuccess) << status;
      EXPECT_GE(read, 1u);
      for (const std::string& n : Names(buffer, read)) all.push_back(n);
      vrn::NetApiBufferFree(buffer);
    }
    EXPECT_EQ(status, vrn::kNerrSuccess);
    EXPECT_EQ(all, kUsers) << "preferred length " << preferred;
    EXPECT_EQ(resume, 0u);
  }
}

TEST(UserGroups, GroupsAreListedWholeOrInParts) {
  uint8_t* buffer = nullptr;
  uint32_t read = 0, total = 0;
  uintptr_t resume = 0;
  ASSERT_EQ(vrn::NetLocalGroupEnum(nullptr, 0, &buffer, vrn::kMaxPreferredLength, &read, &total, &resume),
            vrn::kNerrSuccess);
  EXPECT_EQ(Names(buffer, read), kGroups);
  EXPECT_EQ(total, kGroups.size());
  vrn::NetApiBufferFree(buffer);

  ASSERT_EQ(vrn::NetLocalGroupEnum(nullptr, 0, &buffer, 1, &read, &total, &resume), vrn::kErrorMoreData);
  EXPECT_EQ(Names(buffer, read), std::vector<std::string>{"root"});
  EXPECT_EQ(resume, 1u);
  vrn::NetApiBufferFree(buffer);
  resume = 99;  // past the end: nothing more
  ASSERT_EQ(vrn::NetLocalGroupEnum(nullptr, 0, &buffer, 1, &read, &total, &resume), vrn::kNerrSuccess);
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(buffer, nullptr);
}

TEST(UserGroups, AUsersGroupsStartWithItsPrimaryGroup) {
  struct Case {
    const char* user;
    uint32_t status;
    std::vector<std::string> groups;
  };
  const Case cases[] = {
      {"anna", vrn::kNerrSuccess, {"anna", "users", "webadmins"}},
      {"bert", vrn::kNerrSuccess, {"users", "webadmins", "auditors"}},
      {"MACHINE\\bert", vrn::kNerrSuccess, {"users", "webadmins", "auditors"}},
      {"carla-webmaster-with-a-long-name", vrn::kNerrSuccess, {"users", "webadmins"}},
      {"dora", vrn::kNerrSuccess, {}},  // a primary group without a name
      {"nobody-here", vrn::kNerrUserNotFound, {}},
      {"", vrn::kNerrUserNotFound, {}},
  };
  for (const Case& c : cases) {
    for (uint32_t flags : {0u, vrn::kLocalGroupIncludeIndirect}) {
      uint8_t* buffer = nullptr;
      uint32_t read = 7, total = 7;
      EXPECT_EQ(vrn::NetUserGetLocalGroups(nullptr, c.user, 0, flags, &buffer, vrn::kMaxPreferredLength, &read, &total),
                c.status)
          << c.user;
      EXPECT_EQ(Names(buffer, read), c.groups) << c.user;
      EXPECT_EQ(total, c.groups.size());
      vrn::NetApiBufferFree(buffer);
    }
  }
  uint8_t* buffer = nullptr;
  uint32_t read = 0, total = 0;
  EXPECT_EQ(vrn::NetUserGetLocalGroups(nullptr, "bert", 0, 0, &buffer, 1, &read, &total), vrn::kErrorMoreData);
  EXPECT_EQ(Names(buffer, read), std::vector<std::string>{"users"});
  EXPECT_EQ(total, 3u);
  vrn::NetApiBufferFree(buffer);
}

TEST(UserGroups, RequestsThatCannotBeServed) {
  uint8_t* buffer = reinterpret_cast<uint8_t*>(1);
  uint32_t read = 9, total = 9, resume = 0;
  uintptr_t groupResume = 0;
  EXPECT_EQ(vrn::NetUserEnum(nullptr, 1, 0, &buffer, vrn::kMaxPreferredLength, &read, &total, &resume),
            vrn::kErrorInvalidLevel);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(vrn::NetUserEnum("\\\\SOMEWHERE-ELSE", 0, 0, &buffer, vrn::kMaxPreferredLength, &read, &total, &resume),
            vrn::kNerrInvalidComputer);
  EXPECT_EQ(vrn::NetUserEnum(nullptr, 0, 0, nullptr, vrn::kMaxPreferredLength, &read, &total, &resume),
            vrn::kErrorInvalidParameter);
  EXPECT_EQ(vrn::NetLocalGroupEnum(nullptr, 2, &buffer, vrn::kMaxPreferredLength, &read, &total, &groupResume),
            vrn::kErrorInvalidLevel);
  EXPECT_EQ(vrn::NetUserGetLocalGroups(nullptr, "anna", 0, 4, &buffer, vrn::kMaxPreferredLength, &read, &total),
            vrn::kErrorInvalidParameter);
  EXPECT_EQ(vrn::NetUserGetLocalGroups(nullptr, nullptr, 0, 0, &buffer, vrn::kMaxPreferredLength, &read, &total),
            vrn::kErrorInvalidParameter);
  // Trust accounts and other special kinds do not exist here.
  EXPECT_EQ(vrn::NetUserEnum(nullptr, 0, 0x0008, &buffer, vrn::kMaxPreferredLength, &read, &total, &resume),
            vrn::kNerrSuccess);
  EXPECT_EQ(read, 0u);

  // This machine's own name is the local machine.
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
  const std::string self = std::string("\\\\") + host;
  EXPECT_EQ(vrn::NetUserEnum(self.c_str(), 0, 0, &buffer, vrn::kMaxPreferredLength, &read, &total, &resume),
            vrn::kNerrSuccess);
  EXPECT_EQ(read, kUsers.size());
  vrn::NetApiBufferFree(buffer);
  EXPECT_EQ(vrn::NetApiBufferFree(nullptr), vrn::kNerrSuccess);
}

}  // namespace
