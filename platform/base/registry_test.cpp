#include "platform/base/registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/base/base_testutil.h"
#include "platform/base/lasterror.h"

namespace kv {
namespace {

const char kKey[] = "HKEY_LOCAL_MACHINE\\Software\\Maker\\Product";

class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest() : file_(dir_ / "reg.ini"), env_("KV_REGISTRY", file_.c_str()) {}
  test::TempFolder dir_;
  std::string file_;
  test::ScopedEnv env_;
};

TEST_F(RegistryTest, StringsAndNumbersRoundTrip) {
  EXPECT_EQ(RegistryPath(), file_);
  struct Case {
    const char* name;
    const char* value;
  } strings[] = {
      {"Owner", "Jo Smith"}, {"Organisation", "  padded  "}, {"Quoted", "\"in quotes\""}, {"Empty", ""},
      {"Semi", ";not a comment"}, {nullptr, "default value"},
  };
  for (const auto& c : strings) ASSERT_TRUE(RegSetString(kKey, c.name, c.value)) << c.value;
  ASSERT_TRUE(RegSetDword(kKey, "Count", 0xFFFFFFFEu));
  ASSERT_TRUE(RegSetDword(kKey, "Zero", 0));
  for (const auto& c : strings) {
    std::string out;
    EXPECT_TRUE(RegGetString(kKey, c.name, &out));
    EXPECT_EQ(out, c.value);
  }
  std::string def;
  EXPECT_TRUE(RegGetString(kKey, "", &def));
  EXPECT_EQ(def, "default value");
  uint32_t n = 1;
  EXPECT_TRUE(RegGetDword("hkey_local_machine/software/MAKER/product/", "count", &n));  // any case, "/" and "\"
  EXPECT_EQ(n, 0xFFFFFFFEu);
  EXPECT_TRUE(RegGetDword(kKey, "Zero", &n));
  EXPECT_EQ(n, 0u);

  char buf[5];
  EXPECT_EQ(RegGetString(kKey, "Owner", buf, sizeof buf), 8u);  // full length, text cut
  EXPECT_STREQ(buf, "Jo S");

  // Overwrite keeps one value.
  ASSERT_TRUE(RegSetString(kKey, "OWNER", "Ann"));
  std::string owner;
  EXPECT_TRUE(RegGetString(kKey, "Owner", &owner));
  EXPECT_EQ(owner, "Ann");
  EXPECT_THAT(RegValueNames(kKey), ::testing::ElementsAre("Owner", "Organisation", "Quoted", "Empty", "Semi", "",
                                                          "Count", "Zero"));
}

TEST_F(RegistryTest, MissingWrongTypeAndBadInput) {
  ASSERT_TRUE(RegSetString(kKey, "S", "text"));
  ASSERT_TRUE(RegSetDword(kKey, "D", 5));
  std::string s;
  uint32_t d = 0;
  struct Case {
    bool ok;
    uint32_t error;
    const char* what;
  };
  auto check = [](bool ok, uint32_t error, const char* what) {
    EXPECT_FALSE(ok) << what;
    EXPECT_EQ(GetLastError(), error) << what;
  };
  check(RegGetString(kKey, "Missing", &s), kErrorFileNotFound, "missing value");
  check(RegGetString("HKEY_CURRENT_USER\\x", "S", &s), kErrorFileNotFound, "missing key");
  check(RegGetString(kKey, "D", &s), kErrorInvalidParameter, "number read as string");
  check(RegGetDword(kKey, "S", &d), kErrorInvalidParameter, "string read as number");
  check(RegGetString(nullptr, "S", &s), kErrorInvalidParameter, "null key");
  check(RegGetString("\\\\", "S", &s), kErrorInvalidParameter, "empty key");
  check(RegSetString(kKey, "S", "two\nlines"), kErrorInvalidParameter, "line break");
  check(RegSetString(kKey, "a=b", "x"), kErrorInvalidParameter, "name with =");
  check(RegSetString("HKEY]x", "a", "x"), kErrorInvalidParameter, "key with ]");
  check(RegSetString(kKey, "S", nullptr), kErrorInvalidParameter, "null value");
  check(RegDeleteValue(kKey, "Missing"), kErrorFileNotFound, "delete missing");
  EXPECT_TRUE(RegGetString(kKey, "S", &s));
  EXPECT_EQ(s, "text");
}

TEST_F(RegistryTest, DeletesValuesAndKeyTrees) {
  const std::string sub = std::string(kKey) + "\\Settings";
  const std::string deeper = sub + "\\Deeper";
  ASSERT_TRUE(RegSetString(kKey, "A", "1"));
  ASSERT_TRUE(RegSetString(sub.c_str(), "B", "2"));
  ASSERT_TRUE(RegSetDword(deeper.c_str(), "C", 3));
  ASSERT_TRUE(RegSetString("HKEY_LOCAL_MACHINE\\Software\\Maker\\ProductTwo", "D", "4"));  // shares a prefix
  EXPECT_THAT(RegSubKeyNames("HKEY_LOCAL_MACHINE\\Software\\Maker"),
              ::testing::UnorderedElementsAre("Product", "ProductTwo"));
  EXPECT_THAT(RegSubKeyNames(kKey), ::testing::ElementsAre("Settings"));
  EXPECT_TRUE(RegKeyExists("HKEY_LOCAL_MACHINE\\Software"));

  EXPECT_TRUE(RegDeleteValue(sub.c_str(), "b"));
  EXPECT_TRUE(RegKeyExists(deeper.c_str()));
  EXPECT_TRUE(RegDeleteKey(kKey));
  EXPECT_FALSE(RegKeyExists(kKey));
  EXPECT_FALSE(RegKeyExists(deeper.c_str()));
  std::string s;
  EXPECT_TRUE(RegGetString("HKEY_LOCAL_MACHINE\\Software\\Maker\\ProductTwo", "D", &s));
  EXPECT_EQ(s, "4");
  EXPECT_FALSE(RegDeleteKey(kKey));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST_F(RegistryTest, DefaultsToTheProgramFolder) {
  test::ScopedEnv none("KV_REGISTRY", nullptr);
  test::ScopedEnv program("KV_PROGRAM_DIR", dir_.Path().c_str());
  EXPECT_EQ(RegistryPath(), dir_ / "registry.ini");
  ASSERT_TRUE(RegSetDword("HKEY_CURRENT_USER\\Software\\X", "V", 10));
  EXPECT_EQ(test::ReadText(dir_ / "registry.ini"), "[HKEY_CURRENT_USER\\Software\\X]\nV=dword:0000000a\n");
}

}  // namespace
}  // namespace kv
