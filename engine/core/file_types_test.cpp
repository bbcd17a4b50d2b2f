// File-type lists: the "{name,number}" word form, reading and writing the
// typed lists of the module INI, and the plain word lists.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <vornic/reportsettings.h>

#include "engine/core/engine_state.h"
#include "engine/core/file_types.h"
#include "platform/base/ini.h"

namespace {

struct Parsed {
  bool ok;
  std::string name;
  int32_t number;
};

Parsed Parse(const char* text) {
  FileType* type = FileTypeHeaderStringToStruct(text);
  if (type == nullptr) return {false, "", 0};
  Parsed p{true, type->Name, type->Number};
  FreeFileType(type);
  return p;
}

TEST(FileTypeWord, ParsesBracedAndBareWords) {
  const std::string longName(400, 'x');
  const struct {
    const char* text;
    Parsed expected;
  } cases[] = {
      {"{cgi,2}", {true, "cgi", 2}},
      {"{asp,1}", {true, "asp", 1}},
      {"htm", {true, "htm", 0}},
      {"{,3}", {true, "", 3}},
      {"{pl,x}", {true, "pl", 0}},
      {"{htm}", {false, "", 0}},        // braces without a comma
      {"a,{b}", {false, "", 0}},        // the comma must follow the brace
      {"{half", {true, "{half", 0}},    // one brace only: a bare word
      {"half}", {true, "half}", 0}},
      {nullptr, {false, "", 0}},
  };
  for (const auto& c : cases) {
    const Parsed p = Parse(c.text);
    SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
    EXPECT_EQ(p.ok, c.expected.ok);
    EXPECT_EQ(p.name, c.expected.name);
    EXPECT_EQ(p.number, c.expected.number);
  }
  // Names keep at most 299 characters, braced or bare.
  EXPECT_EQ(Parse(longName.c_str()).name, std::string(299, 'x'));
  EXPECT_EQ(Parse(("{" + longName + ",1}").c_str()).name, std::string(299, 'x'));
}

TEST(FileTypeWord, TextFormOnlyForNumbersUpToThree) {
  FileType* type = CreateFileType();
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(type->Number, 0);
  EXPECT_EQ(type->Name[0], '\0');
  std::strcpy(type->Name, "shtml");
  for (int32_t n : {-1, 0, 3, 4, 100}) {
    type->Number = n;
    char* text = FileTypeHeaderStructToString(type);
    if (n <= 3) {
      ASSERT_NE(text, nullptr);
      EXPECT_EQ(std::string(text), "{shtml," + std::to_string(n) + "}");
    } else {
      EXPECT_EQ(text, nullptr) << n;
    }
    std::free(text);
  }
  // A name that fills its field without a terminator is read within it.
  std::memset(type->Name, 'n', sizeof type->Name);
  type->Number = 1;
  char* text = FileTypeHeaderStructToString(type);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::strlen(text), sizeof type->Name + 4);
  std::free(text);
  FreeFileType(type);
  FreeFileType(nullptr);
  EXPECT_EQ(FileTypeHeaderStructToString(nullptr), nullptr);
}

class ModuleIni : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "kvtypesXXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    ASSERT_NE(mkdtemp(buffer.data()), nullptr);
    folder_ = std::string(buffer.data()) + "/";
    ASSERT_EQ(system(("mkdir -p '" + folder_ + "kvm_log'").c_str()), 0);
    vrn::SetApplicationPath(folder_ + "libVornic.so");
    ini_ = folder_ + "kvm_log/kvm_log.ini";
  }
  void TearDown() override {
    vrn::SetApplicationPath("");
    system(("rm -rf '" + folder_ + "'").c_str());
  }
  void SetValue(const char* key, const std::string& value) {
    ASSERT_TRUE(kv::IniWriteString("Defaults", key, value.c_str(), ini_.c_str()));
  }
  std::string Value(const char* key) { return kv::IniString("Defaults", key, "(missing)", ini_.c_str()); }

  static std::vector<std::string> Words(FileType** list, uint16_t count) {
    std::vector<std::string> v;
    for (uint16_t i = 0; i < count; ++i) v.push_back(std::string(list[i]->Name) + "/" + std::to_string(list[i]->Number));
    return v;
  }
  std::string folder_;
  std::string ini_;
};

TEST_F(ModuleIni, ReadsTypedListsAndRefusesABadWord) {
  using V = std::vector<std::string>;
  const struct {
    const char* value;  // null: key missing
    bool ok;
    V expected;
  } cases[] = {
      {"htm {asp,1};{cgi,2}  ;txt", true, {"htm/0", "asp/1", "cgi/2", "txt/0"}},
      {"", true, {}},
      {nullptr, true, {"exe/0", "zip/2"}},  // the default
      {"htm {x} txt", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(missing)");
    if (c.value != nullptr) SetValue("DownloadTypes", c.value);
    else ASSERT_TRUE(kv::IniWriteString("Defaults", "DownloadTypes", nullptr, ini_.c_str()));
    uint16_t count = 77;
    FileType** list = GetFileTypesFromIniFile(&count, "DownloadTypes", "exe {zip,2}");
    EXPECT_EQ(list != nullptr, c.ok);
    if (list == nullptr) {
      EXPECT_EQ(count, 0);
      continue;
    }
    EXPECT_EQ(Words(list, count), c.expected);
    FreeFileTypesArray(list, count);
  }
}

TEST_F(ModuleIni, ReadsAtMostAHundredTypes) {
  std::string value;
  for (int i = 0; i < 150; ++i) value += "e" + std::to_string(i) + " ";
  SetValue("DocumentTypes", value);
  uint16_t count = 0;
  FileType** list = GetFileTypesFromIniFile(&count, "DocumentTypes", "");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(count, FILE_TYPES_MAX);
  EXPECT_STREQ(list[99]->Name, "e99");
  FreeFileTypesArray(list, count);
}

TEST_F(ModuleIni, WritesTextFormsAndLeavesOutUnwritableRecords) {
  FileType* a = FileTypeHeaderStringToStruct("htm");
  FileType* b = FileTypeHeaderStringToStruct("{cgi,4}");
  FileType* c = FileTypeHeaderStringToStruct("{asp,1}");
  FileType* list[3] = {a, b, c};
  EXPECT_EQ(WriteFileTypesToIniFile(3, list, "DocumentTypes"), 1);
  EXPECT_EQ(Value("DocumentTypes"), "{htm,0} {asp,1}");
  // Round trip.
  uint16_t count = 0;
  FileType** back = GetFileTypesFromIniFile(&count, "DocumentTypes", "");
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(Words(back, count), (std::vector<std::string>{"htm/0", "asp/1"}));
  FreeFileTypesArray(back, count);
  // An empty list stores an empty value.
  EXPECT_EQ(WriteFileTypesToIniFile(0, list, "DocumentTypes"), 1);
  EXPECT_EQ(Value("DocumentTypes"), "");
  for (FileType* t : list) FreeFileType(t);
}

TEST_F(ModuleIni, ALineTooLongForTheFileKeepsTheOldValue) {
  SetValue("DownloadTypes", "exe zip");
  std::vector<FileType*> list;
  for (int i = 0; i < 10; ++i) {
    FileType* t = CreateFileType();
    std::memset(t->Name, 'a' + i, 120);
    list.push_back(t);
  }
  EXPECT_EQ(WriteFileTypesToIniFile(static_cast<uint16_t>(list.size()), list.data(), "DownloadTypes"), 0);
  EXPECT_EQ(Value("DownloadTypes"), "exe zip");
  // Seven such records (124 characters each, with blanks between) fit.
  EXPECT_EQ(WriteFileTypesToIniFile(7, list.data(), "DownloadTypes"), 1);
  EXPECT_EQ(Value("DownloadTypes").size(), 7u * 125u - 1u);
  for (FileType* t : list) FreeFileType(t);
}

TEST_F(ModuleIni, PlainWordListsSplitAtBlanksSemicolonsAndCommas) {
  SetValue("USDomains", " com,edu;net  org ");
  uint16_t count = 0;
  char** list = vrn::ReadDefaultFileTypes(ini_.c_str(), 0, &count, "USDomains", "gov");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(count, 4);
  EXPECT_STREQ(list[0], "com");
  EXPECT_STREQ(list[3], "org");
  vrn::FreeDefaultFileTypes(list, count);

  list = vrn::ReadDefaultFileTypes(ini_.c_str(), 0, &count, "FetchTitleTypes", "htm html asp");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(count, 3);
  vrn::FreeDefaultFileTypes(list, count);

  // A value is read as its 300-character buffer holds it, words past 100 dropped.
  std::string value;
  for (int i = 0; i < 150; ++i) value += "w ";
  SetValue("USDomains", value);
  list = vrn::ReadDefaultFileTypes(ini_.c_str(), 0, &count, "USDomains", "");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(count, FILE_TYPES_MAX);
  vrn::FreeDefaultFileTypes(list, count);
}

}  // namespace
