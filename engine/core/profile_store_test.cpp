// The profile store: reading, enumeration past unreadable files, writing
// failures, deletion, unique names and the filter option lists.
#include "engine/core/profile_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <vornic/report.h>

#include "engine/core/engine_state.h"
#include "engine/core/report_run_testutil.h"
#include "platform/base/memory.h"

namespace {

using namespace runtest;

class ProfileStore : public EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    vrn::ResetProfileEnumeration();
  }
  std::vector<std::string> Enumerate(std::vector<std::string>* descriptions = nullptr) {
    std::vector<std::string> names;
    while (DravelEntry* p = LogGetNextProfile(nullptr, 0, nullptr)) {
      names.push_back(std::string(p->Name) + "." + p->Extension);
      if (descriptions != nullptr) descriptions->push_back(p->Description);
      VRN_FreeSet(p);
      if (names.size() > 100) break;
    }
    return names;
  }
};

TEST_F(ProfileStore, EnumerationPassesOverUnreadableProfiles) {
  WriteProfile("00000001.wlp", "a.log");
  WriteFile(ProfileDir() + "00000002.wlp", "[Profile]\nVersion=4\nThis is not a profile");  // no description etc.
  // Larger than any profile the reader accepts.
  WriteFile(ProfileDir() + "00000003.wlp", "[Profile]\n" + std::string((4u << 20) + 16, 'x'));
  WriteProfile("00000004.wlp", "b.log");
  std::filesystem::create_directories(ProfileDir() + "folder.wlp");
  WriteProfile("00000005.wlp", "c.log");

  std::vector<std::string> names = Enumerate();
  // Whatever the reader makes of the corrupt files, the readable ones all come.
  for (const char* want : {"00000001.wlp", "00000004.wlp", "00000005.wlp"})
    EXPECT_NE(std::find(names.begin(), names.end(), want), names.end()) << want;
  EXPECT_EQ(std::find(names.begin(), names.end(), "00000003.wlp"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "folder.wlp"), names.end());
  // The enumeration ended; the next call starts again.
  EXPECT_EQ(Enumerate(), names);
}

TEST_F(ProfileStore, EnumerationCarriesTheClientWordAndRefusesRealtimeWhenRestricted) {
  WriteProfile("00000001.wlp", "a.log");
  WriteProfile("00000002.wlp", "b.log", "");
  WriteFile(ProfileDir() + "00000003.wlp",
            "[Profile]\nVersion=4\nDescription=Realtime\nLogFilePath=x.log\nRealtimeAnalysis=1\nPellavarFlag=1\n");
  DravelEntry mine{};
  std::strcpy(mine.Name, "00000002");
  std::strcpy(mine.Extension, "wlp");
  mine.ClientListWord = 4242;
  DravelEntry* list[] = {&mine};
  std::vector<std::string> seen;
  std::vector<std::string> statuses;
  static std::vector<std::string>* s_statuses;
  s_statuses = &statuses;
  while (DravelEntry* p = LogGetNextProfile(list, 1, [](const char* d) { s_statuses->push_back(d); })) {
    seen.push_back(p->Name);
    EXPECT_EQ(p->ClientListWord, std::string(p->Name) == "00000002" ? 4242u : 0u);
    EXPECT_STREQ(p->Extension, "wlp");
    VRN_FreeSet(p);
  }
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_EQ(statuses.size(), 3u);

  vrn::g_engine.restrictionFlag = 1;
  EXPECT_EQ(Enumerate().size(), 2u);
  EXPECT_EQ(VRN_GetSet("00000003.wlp"), nullptr);
  DravelEntry* plain = VRN_GetSet("00000001.wlp");
  ASSERT_NE(plain, nullptr);
  VRN_FreeSet(plain);
}

TEST_F(ProfileStore, WriteFailureIsReported) {
  WriteProfile("00000001.wlp", "a.log");
  DravelEntry* p = VRN_GetSet("00000001.wlp");
  ASSERT_NE(p, nullptr);
  std::strcpy(p->Description, "Changed");
  EXPECT_EQ(VRN_PutSet(p), 0);
  DravelEntry* again = VRN_GetSet("00000001.wlp");
  ASSERT_NE(again, nullptr);
  EXPECT_STREQ(again->Description, "Changed");
  VRN_FreeSet(again);

  // A text that cannot be stored whole is refused, not reported as written.
  std::strcpy(p->Description, "two\nlines");
  EXPECT_EQ(VRN_PutSet(p), -1);
  if (geteuid() != 0) {
    std::strcpy(p->Description, "Fine");
    chmod(ProfileDir().c_str(), 0500);
    EXPECT_EQ(VRN_PutSet(p), -1);
    chmod(ProfileDir().c_str(), 0700);
  }
  VRN_FreeSet(p);
  EXPECT_EQ(VRN_GetSet("missing.wlp"), nullptr);
  EXPECT_EQ(VRN_PutSet(nullptr), -1);
}

TEST_F(ProfileStore, DeleteRaisesTheChangeCounterOnce) {
  WriteProfile("00000001.wlp", "a.log");
  WriteFile(ProfileDir() + "notes.txt", "x");
  const uint32_t before = vrn::g_engine.setListChangeCounter;
  uint32_t clientCounter = before;
  EXPECT_EQ(VRN_DeleteSet(nullptr, "00000001.wlp", 1, 0), 0);
  EXPECT_FALSE(std::filesystem::exists(ProfileDir() + "00000001.wlp"));
  EXPECT_EQ(vrn::g_engine.setListChangeCounter, before + 1);
  EXPECT_EQ(VRN_QuerySetListChange(&clientCounter), 1u);
  EXPECT_EQ(VRN_QuerySetListChange(&clientCounter), 0u);
  // A name without ".wlp" deletes just that file.
  EXPECT_EQ(VRN_DeleteSet(nullptr, "notes.txt", 0, 0), 0);
  EXPECT_FALSE(std::filesystem::exists(ProfileDir() + "notes.txt"));
  // A file that is not there is reported.
  EXPECT_EQ(VRN_DeleteSet(nullptr, "00000001.wlp", 0, 0), -1);
}

TEST_F(ProfileStore, UniqueNamesFollowTheLargestHexNumber) {
  char path[400], name[16], ext[8];
  ASSERT_EQ(__BuildUniqueDravelFileName(path, sizeof path, name, sizeof name, ext, sizeof ext), 1);
  EXPECT_STREQ(name, "00000001");
  WriteProfile("0000000A.wlp", "a.log");
  WriteProfile("0000000b.wlp", "a.log");
  ASSERT_EQ(__BuildUniqueDravelFileName(path, sizeof path, name, sizeof name, ext, sizeof ext), 1);
  EXPECT_STREQ(name, "0000000C");
  EXPECT_STREQ(ext, "wlp");
  EXPECT_EQ(std::string(path), ProfileDir() + "0000000C.wlp");
}

TEST_F(ProfileStore, FilterOptionListsByFieldKey) {
  // The client's field table: the key of record r, field f at r*2434 + 4878 + f*142 + 20.
  const KvGlobal table = kv::GlobalAlloc(kv::kGlobalMoveable, 2 * 2434 + 4878 + 4 * 142 + 64);
  auto put = [&](uint16_t record, uint16_t field, uint16_t key) {
    auto* bytes = static_cast<uint8_t*>(kv::GlobalLock(table));
    size_t at = record * 2434u + 4878u + field * 142u + 20u;
    bytes[at] = static_cast<uint8_t>(key & 0xFF);
    bytes[at + 1] = static_cast<uint8_t>(key >> 8);
    kv::GlobalUnlock(table);
  };
  put(1, 2, 13312);
  put(0, 0, 12288);
  char* list = nullptr;
  uint16_t count = 0, error = 0;
  ASSERT_EQ(ADT_GetFilterOptionList(0, table, 1, 2, &list, &count, &error), 0);
  EXPECT_EQ(count, 7);
  EXPECT_STREQ(list, "Day of the Week");
  const char* first = list + std::strlen(list) + 1;
  EXPECT_STREQ(first, "Sunday");
  EXPECT_STREQ(first + 7, "0");
  EXPECT_EQ(first[9], '\0');  // the extra zero after each pair

  ASSERT_EQ(ADT_GetFilterOptionList(0, table, 0, 0, &list, &count, &error), 0);
  EXPECT_STREQ(list, "Request Result");
  EXPECT_EQ(count, 2);
  ASSERT_EQ(ADT_GetFilterOptionList(0, table, 0, 1, &list, &count, &error), 0);
  EXPECT_STREQ(list, "Filter Type");
  EXPECT_EQ(count, 2);

  // A key position past the client's table is refused.
  EXPECT_EQ(ADT_GetFilterOptionList(0, table, 60, 0, &list, &count, &error), -1);
  EXPECT_NE(error, 0);
  std::free(list);
  kv::GlobalFree(table);
}

TEST(OptionResource, PairsWithAndWithoutExtraZerosEndAtCarriageReturn) {
  const char text[] = "A\0" "1\0\0" "B\0\0" "2\0" "\r";
  size_t needed = 0;
  char out[64];
  EXPECT_EQ(vrn::ParseOptionResource(text, sizeof text - 1, "T", out, sizeof out, &needed), 2u);
  EXPECT_EQ(std::string(out, needed), std::string("T\0A\0" "1\0\0B\0" "2\0\0", 12));
  // A resource cut short ends the list without reading past it.
  EXPECT_EQ(vrn::ParseOptionResource(text, 3, "T", nullptr, 0, &needed), 1u);
  EXPECT_EQ(vrn::ParseOptionResource(text, 1, "T", nullptr, 0, &needed), 0u);
}

}  // namespace
