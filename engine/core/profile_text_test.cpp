// The in-memory profile text lookups.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <vornic/profile.h>

#include "engine/core/profile_text.h"

namespace {

using vrn::ProfileText;

const char kProfile[] =
    "[Profile]\r\n"
    "Version=4\r\n"
    "Description=Mirror of DNSLookup=1 and LogFileFormat=9\r\n"
    "DNSLookup=0\r\n"
    "LogFilePath=c:\\logs\\ex*.log\r\n"
    "Spaced= value with blanks \r\n"
    "[[Filter1]]\r\n"
    "Name=Only here\r\n"
    "LogOwner=filter owner\r\n"
    "[MorvaneIP]\r\n"
    "MorvaneDSN=dsn\r\n";

TEST(ProfileTextTest, KeysAreFoundOnlyAtLineStartsOfTheirSection) {
  const ProfileText t(kProfile);
  // A value that mentions another key must not feed that key.
  EXPECT_EQ(t.GetInt("Profile", "DNSLookup", 7), 0);
  EXPECT_EQ(t.GetInt("Profile", "LogFileFormat", 42), 42);
  EXPECT_EQ(t.GetString("Profile", "Description", ""), "Mirror of DNSLookup=1 and LogFileFormat=9");
  // A key of a later section is not part of this one.
  EXPECT_EQ(t.GetString("Profile", "LogOwner", "none"), "none");
  EXPECT_EQ(t.GetString("Profile", "Name", "none"), "none");
  EXPECT_EQ(t.GetString("Filter1", "LogOwner", ""), "filter owner");
  EXPECT_EQ(t.GetString("[Filter1]", "Name", ""), "Only here");
  EXPECT_EQ(t.GetString("MorvaneIP", "MorvaneDSN", ""), "dsn");
  // Values are taken as written, blanks included.
  EXPECT_EQ(t.GetString("Profile", "Spaced", ""), " value with blanks ");
  EXPECT_EQ(t.Find("Filter2"), nullptr);
  EXPECT_EQ(t.Find("Profil"), nullptr);
}

TEST(ProfileTextTest, HeadersWithOneOrTwoBracketsAndLineEnds) {
  // Single-bracket filter headers, LF-only line ends, a first key line.
  const ProfileText t("[Profile]\nDNSLookup=1\n[Filter1]\nName=a\r\n[Filter10]\nName=b\n");
  EXPECT_EQ(t.GetInt("Profile", "DNSLookup", 0), 1);
  EXPECT_EQ(t.GetString("Filter1", "Name", ""), "a");
  EXPECT_EQ(t.GetString("Filter10", "Name", ""), "b");
}

TEST(ProfileTextTest, FirstSectionAndFirstKeyWin) {
  const ProfileText t("[Profile]\r\nA=1\r\nA=2\r\n[Profile]\r\nA=3\r\nB=4\r\n");
  EXPECT_EQ(t.GetInt("Profile", "A", 0), 1);
  EXPECT_EQ(t.GetInt("Profile", "B", 0), 0);
}

TEST(ProfileTextTest, LastLineWithoutLineEndReadsAsDefault) {
  const ProfileText t("[Profile]\r\nDNSLookup=1\r\nLogFileFormat=9");
  EXPECT_EQ(t.GetInt("Profile", "DNSLookup", 0), 1);
  EXPECT_EQ(t.GetInt("Profile", "LogFileFormat", 5), 5);
}

TEST(ProfileTextTest, StrayNulDamagesOnlyItsOwnValue) {
  const std::string text = std::string("[Profile]\r\nA=x") + '\0' + "y\r\nB=2\r\n";
  const ProfileText t(text);
  char out[8];
  t.GetField("Profile", "A", "", out, sizeof out);
  EXPECT_STREQ(out, "x");
  EXPECT_EQ(t.GetInt("Profile", "B", 9), 2);
  // The exported lookups see a NUL-terminated text: it ends there.
  EXPECT_EQ(IniBufferGetInt("Profile", "B", 9, text.c_str()), 9);
}

TEST(ProfileTextTest, IntegerValues) {
  const struct {
    const char* value;
    int32_t expected;
  } cases[] = {
      {"42", 42},          {"  -17x", -17},    {"+8", 8},         {"abc", 0},
      {"", 0},             {"4294967295", -1}, {"2147483648", INT32_MIN},
      // Only the first 32 characters count.
      {"00000000000000000000000000000001999", 1},
  };
  for (const auto& c : cases) {
    const std::string text = std::string("[S]\r\nK=") + c.value + "\r\n";
    EXPECT_EQ(IniBufferGetInt("S", "K", 77, text.c_str()), c.expected) << c.value;
  }
  EXPECT_EQ(IniBufferGetInt("S", "Missing", 77, "[S]\r\nK=1\r\n"), 77);
  EXPECT_EQ(IniBufferGetInt("S", "K", 77, nullptr), 77);
}

TEST(ProfileTextTest, StringCopyKeepsWidthMinusOneCharacters) {
  const std::string forty(40, 'p');
  const std::string text = "[Profile]\r\nLogFilePassword=" + forty + "\r\n";
  char out[41];
  std::memset(out, 'X', sizeof out);
  IniBufferGetString("Profile", "LogFilePassword", "", out, sizeof out, text.c_str());
  EXPECT_EQ(std::string(out), forty);

  char small[8];
  IniBufferGetString("Profile", "LogFilePassword", "", small, sizeof small, text.c_str());
  EXPECT_EQ(std::string(small), std::string(7, 'p'));

  char def[8];
  IniBufferGetString("Profile", "Missing", "a much longer default", def, sizeof def, text.c_str());
  EXPECT_EQ(std::string(def), "a much ");

  char untouched = 'U';
  IniBufferGetString("Profile", "LogFilePassword", "", &untouched, 0, text.c_str());
  EXPECT_EQ(untouched, 'U');
}

TEST(ProfileTextTest, FindNextSection) {
  const char text[] = "[A]\r\nx=[y]\r\n[B]\r\n";
  const char* next = FindNextSection(text);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(std::string(next), "\r\n[B]\r\n");
  EXPECT_EQ(FindNextSection(next + 2), nullptr);
  const char lf[] = "[A]\nk=v\n[B]";
  EXPECT_EQ(FindNextSection(lf), lf + 7);
  EXPECT_EQ(FindNextSection(nullptr), nullptr);
}

}  // namespace
