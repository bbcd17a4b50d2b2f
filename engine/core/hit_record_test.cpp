// The hit record: copies and room, completion, host texts, text helpers and
// the hit time range.
#include "engine/core/hit_record.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/log_reader_test_support.h"

namespace vrn {
namespace {

class HitRecordTest : public testing::Test {
 protected:
  void SetUp() override {
    readertest::ResetEngineSettings();
    std::memset(&hit_, 0, sizeof(hit_));
  }
  void TearDown() override { FreeHitLine(&hit_); }
  // A record over `text` whose fields are cut at the given offsets.
  char* Make(const std::string& text) {
    char* line = InitHitRecord(&hit_, text.data(), static_cast<uint32_t>(text.size()));
    EXPECT_NE(line, nullptr);
    return line;
  }
  HitRecord hit_;
};

TEST_F(HitRecordTest, InitPointsEveryFieldAtTheEmptyTextButReserved19) {
  char* line = Make(std::string("ab\0cd", 5));
  EXPECT_EQ(hit_.LineLength, 5u);
  EXPECT_EQ(std::memcmp(line, "ab\0cd\0", 6), 0);
  for (int i = 0; i < kHitFieldCount; ++i) {
    if (i == 18) {
      EXPECT_EQ(*HitFieldSlot(&hit_, i), nullptr);
    } else {
      EXPECT_TRUE(IsHitEmptyText(*HitFieldSlot(&hit_, i))) << i;
    }
  }
  EXPECT_EQ(HitFieldSlot(&hit_, 5), &hit_.URL);
  EXPECT_EQ(HitFieldSlot(&hit_, 17), &hit_.ServerName);
}

TEST_F(HitRecordTest, DuplicateMovesLinePointersAndKeepsOthers) {
  static char constant[] = "HTTP/1.0";
  char* line = Make(std::string("GET /a\0HTTP/1.1\0tail", 20));
  hit_.Method = line;
  hit_.URL = line + 4;
  hit_.Protocol = constant;
  hit_.Cookie = nullptr;
  hit_.StatusText = line + 20;  // the terminating zero still belongs to the line
  std::strcpy(hit_.ClientHost, "host.example");
  hit_.HitTime = 1234;

  HitRecord* copy = DuplicateHitRecord(&hit_, false, false);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->Line, hit_.Line);
  EXPECT_EQ(copy->Method, copy->Line);
  EXPECT_EQ(copy->URL, copy->Line + 4);
  EXPECT_STREQ(copy->URL, "/a");
  EXPECT_EQ(copy->Protocol, constant);
  EXPECT_EQ(copy->Cookie, nullptr);
  EXPECT_EQ(copy->ReservedPtr19, nullptr);
  EXPECT_TRUE(IsHitEmptyText(copy->Referrer));
  EXPECT_EQ(copy->StatusText, copy->Line + 20);
  EXPECT_EQ(std::memcmp(copy->Line, hit_.Line, 21), 0);
  EXPECT_STREQ(copy->ClientHost, "host.example");
  EXPECT_EQ(copy->HitTime, 1234u);
  // The copy survives the source.
  FreeHitLine(&hit_);
  EXPECT_STREQ(copy->Method, "GET /a");
  FreeHitRecord(copy);
}

TEST_F(HitRecordTest, DuplicateCanFreeTheSource) {
  auto* source = static_cast<HitRecord*>(std::calloc(1, sizeof(HitRecord)));
  char* line = InitHitRecord(source, "x y", 3);
  source->URL = line + 2;
  HitRecord* copy = DuplicateHitRecord(source, true, true);  // frees source and its line
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy->URL, "y");
  FreeHitRecord(copy);
}

// A queued copy may take the line over: the texts stay where they are, the
// copy owns the line (freeing the source's line afterwards, as the queue
// does, leaves them whole) and the source holds none.
TEST_F(HitRecordTest, TakingTheLineLeavesTheSourceWithoutOne) {
  char* line = Make(std::string("GET /b\0tail", 11));
  hit_.Method = line;
  hit_.URL = line + 4;
  std::strcpy(hit_.ClientHost, "10.1.2.3");
  HitRecord* copy = TakeHitRecord(&hit_);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->Line, line);
  EXPECT_EQ(copy->LineLength, 11u);
  EXPECT_EQ(hit_.Line, nullptr);
  EXPECT_EQ(hit_.LineLength, 0u);
  FreeHitLine(&hit_);
  EXPECT_STREQ(copy->Method, "GET /b");
  EXPECT_STREQ(copy->URL, "/b");
  EXPECT_STREQ(copy->ClientHost, "10.1.2.3");
  FreeHitRecord(copy);
}

TEST_F(HitRecordTest, ResizeKeepsTextAddsZeroRoomAndMovesPointers) {
  char* line = Make("abc def");
  hit_.URL = line + 4;
  char* bigger = ResizeHitLine(&hit_, line, 20, true);
  ASSERT_NE(bigger, nullptr);
  EXPECT_EQ(hit_.Line, bigger);
  EXPECT_EQ(hit_.LineLength, 20u);
  EXPECT_STREQ(hit_.URL, "def");
  EXPECT_EQ(hit_.URL, bigger + 4);
  for (int i = 7; i <= 20; ++i) EXPECT_EQ(bigger[i], 0) << i;
  // Shrinking below the text is refused and changes nothing.
  EXPECT_EQ(ResizeHitLine(&hit_, bigger, 3, false), nullptr);
  EXPECT_EQ(hit_.Line, bigger);
}

TEST(HitTextHelpers, CutLongURL) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {std::string(260, 'a'), std::string(260, 'a')},
      {std::string(261, 'a'), std::string(260, 'a')},
      {"/x?" + std::string(258, 'b'), "/x?" + std::string(253, 'b') + "..."},
      {"short?q", "short?q"},
  };
  for (const auto& c : cases) {
    std::string buf = c.in;
    buf.push_back(0);
    CutLongURL(buf.data());
    EXPECT_EQ(std::string(buf.c_str()), c.out) << c.in.size();
  }
}

TEST(HitTextHelpers, DecodePercentEscapes) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"%41%zz%4", "A%zz%4"},
      {"%2f%2F", "//"},
      {"100%", "100%"},
      {"a%%41", "a%A"},
      {"%e2%82%ac", "\xe2\x82\xac"},
      {"plain", "plain"},
      // A zero byte would cut the text: "%00" stays as written.
      {"/a%00b.html?q=%41", "/a%00b.html?q=A"},
      {"%00%2f%00", "%00/%00"},
  };
  for (const auto& c : cases) {
    std::string buf = c.in;
    DecodePercentEscapes(buf.data());
    EXPECT_STREQ(buf.c_str(), c.out) << c.in;
  }
}

TEST(HitTextHelpers, DashTrimAndSkip) {
  char* out = nullptr;
  EXPECT_EQ(DashToEmpty("-", &out), 0);
  EXPECT_TRUE(IsHitEmptyText(out));
  out = nullptr;
  EXPECT_NE(DashToEmpty("--", &out), 0);
  EXPECT_NE(DashToEmpty("", &out), 0);
  EXPECT_EQ(out, nullptr);

  char text[] = "ab   cd";
  TrimTrailingBlanks(text, 5);
  EXPECT_STREQ(text, "ab");
  EXPECT_EQ(SkipBlanks("a   b", 0), 3u);
  EXPECT_EQ(SkipBlanks("ab", 0), 0u);
}

TEST(HitTextHelpers, NumericAddressAndVisitorId) {
  EXPECT_TRUE(IsNumericAddress(""));
  EXPECT_TRUE(IsNumericAddress("10.0.0.1"));
  EXPECT_FALSE(IsNumericAddress("10.0.0.x"));
  EXPECT_FALSE(IsNumericAddress("::1"));
  EXPECT_TRUE(IsVisitorId("10.0.0.1-5.6"));
  EXPECT_TRUE(IsVisitorId("1.2.3.4-5.6tail"));
  EXPECT_FALSE(IsVisitorId("10.0.0.1-5."));
  EXPECT_FALSE(IsVisitorId("10.0.0-5.6"));
  EXPECT_FALSE(IsVisitorId("a.0.0.1-5.6"));
}

TEST_F(HitRecordTest, CookieRules) {
  struct Case {
    const char* cookie;
    bool enable, validate;
    const char* expected;  // nullptr: the cookie pointer is null
  } cases[] = {
      {"a=1;b=10.0.0.1-5.6", true, true, "10.0.0.1-5.6"},
      {"a=1; b=10.0.0.1-5.6; c=3", true, true, "10.0.0.1-5.6"},
      {"a=1;b=2", true, true, nullptr},
      {"id=10.0.0.1-5.6", true, true, "10.0.0.1-5.6"},
      {"id=xyz", true, true, nullptr},
      {"10.0.0.1-5.6", true, true, "10.0.0.1-5.6"},
      {"notanid", true, true, ""},
      {"-", true, true, ""},
      {"a=1;b=2", true, false, "a=1;b=2"},
      {"a=1", false, true, ""},
      {"-", true, false, ""},
  };
  for (const auto& c : cases) {
    char* line = Make(c.cookie);
    hit_.Cookie = line;
    CompleteHitCookie(&hit_, c.enable, c.validate);
    if (c.expected == nullptr) {
      EXPECT_EQ(hit_.Cookie, nullptr) << c.cookie;
    } else {
      ASSERT_NE(hit_.Cookie, nullptr) << c.cookie;
      EXPECT_STREQ(hit_.Cookie, c.expected) << c.cookie;
    }
    FreeHitLine(&hit_);
  }
}

TEST_F(HitRecordTest, CompleteDerivesStatusSuccessAndBytes) {
  struct Case {
    const char* status;
    const char* protocol;
    uint16_t method;
    const char* sent;
    const char* received;
    uint32_t code, bytes;
    uint8_t success;
  } cases[] = {
      {"200", "HTTP/1.0", kMethodGet, "512", "9", 200, 512, 1},
      {"302", "HTTP/1.1", kMethodGet, "0", "0", 302, 0, 1},
      {"404", "HTTP/1.1", kMethodGet, "10", "0", 404, 10, 0},
      {"0", "ftp", kMethodGet, "7", "0", 0, 7, 1},
      {"0", "HTTP/1.0", kMethodGet, "7", "0", 0, 7, 0},
      {"99", "FTP", kMethodGet, "1", "0", 99, 1, 1},
      {"400", "FTP", kMethodGet, "1", "0", 400, 1, 0},
      {"201", "HTTP/1.0", kMethodPut, "5", "-", 201, 0, 1},
      {"201", "HTTP/1.0", kMethodPut, "5", "77", 201, 77, 1},
      {"-", "HTTP/1.0", kMethodGet, "-", "0", 0, 0, 0},
      {"200", "HTTP/1.0", kMethodGet, "99999999999", "0", 200, 0xFFFFFFFFu, 1},
  };
  for (const auto& c : cases) {
    Make("");
    hit_.StatusText = const_cast<char*>(c.status);
    hit_.Protocol = const_cast<char*>(c.protocol);
    hit_.MethodCode = c.method;
    hit_.BytesSentText = const_cast<char*>(c.sent);
    hit_.BytesReceivedText = const_cast<char*>(c.received);
    hit_.HitTime = 42;
    CompleteHitRecord(&hit_);
    EXPECT_EQ(hit_.StatusCode, c.code) << c.status;
    EXPECT_EQ(hit_.Success, c.success) << c.status << " " << c.protocol;
    EXPECT_EQ(hit_.Bytes, c.bytes) << c.sent;
    EXPECT_EQ(hit_.RecordSize, 627u);
    EXPECT_EQ(hit_.RecordKind, 0);
    EXPECT_EQ(hit_.TimeCopy, 42u);
    FreeHitLine(&hit_);
  }
}

TEST_F(HitRecordTest, CompleteEmptiesDashReferrer) {
  char* line = Make("-");
  hit_.Referrer = line;
  CompleteHitRecord(&hit_);
  EXPECT_TRUE(IsHitEmptyText(hit_.Referrer));
}

TEST_F(HitRecordTest, ClientHostShortening) {
  // 70 characters with dots at 10 and 40.
  std::string dotted(70, 'a');
  dotted[10] = '.';
  dotted[40] = '.';
  struct Case {
    std::string address, host;
  } cases[] = {
      {"10.1.2.3", "10.1.2.3"},
      {std::string(59, 'h'), std::string(59, 'h')},
      {dotted, dotted.substr(40)},
      {std::string(70, 'x'), "Unknown"},
      {"", "Unknown"},
      // The first dot from the end already leaves more than 55: from the start.
      {std::string(5, 'p') + "." + std::string(70, 'q'), std::string(5, 'p') + "." + std::string(53, 'q')},
  };
  for (const auto& c : cases) {
    std::string text = c.address;
    char* line = Make(text);
    hit_.ClientAddress = line;
    SetClientHostTexts(&hit_);
    EXPECT_EQ(std::string(hit_.ClientHost), c.host) << c.address;
    EXPECT_STREQ(hit_.Domain, "Unresolved");
    EXPECT_STREQ(hit_.AddressType, "Numeric");
    EXPECT_STREQ(hit_.Country, "Unknown");
    FreeHitLine(&hit_);
  }
}

TEST(HitTimes, ValidCalendarFields) {
  struct Case {
    int year, mon, mday, hour, min, sec;
    bool valid;
  } cases[] = {
      {93, 0, 1, 0, 0, 0, true},   {92, 11, 31, 23, 59, 59, false}, {126, 11, 31, 23, 59, 59, true},
      {100, 0, 0, 0, 0, 0, false}, {100, 0, 32, 0, 0, 0, false},    {100, 12, 1, 0, 0, 0, false},
      {100, -1, 1, 0, 0, 0, false}, {100, 0, -3, 0, 0, 0, false},   {100, 0, 1, 24, 0, 0, false},
      {100, 0, 1, 0, 60, 0, false}, {100, 0, 1, 0, 0, 60, false},   {100, 0, 1, -1, 0, 0, false},
  };
  for (const auto& c : cases) {
    struct tm t = {};
    t.tm_year = c.year;
    t.tm_mon = c.mon;
    t.tm_mday = c.mday;
    t.tm_hour = c.hour;
    t.tm_min = c.min;
    t.tm_sec = c.sec;
    EXPECT_EQ(IsValidHitTime(t), c.valid) << c.year << "-" << c.mon << "-" << c.mday;
  }
}

TEST(HitTimes, UnsignedThirtyTwoBitRangeAtBothEnds) {
  ResetHitTimeCache();
  struct tm t = {};
  // The last second a hit can carry: 2106-02-07 06:28:14.
  t.tm_year = 206;
  t.tm_mon = 1;
  t.tm_mday = 7;
  t.tm_hour = 6;
  t.tm_min = 28;
  t.tm_sec = 14;
  EXPECT_EQ(HitWallClock(t), 0xFFFFFFFEll);
  t.tm_sec = 15;
  EXPECT_EQ(HitWallClock(t), -1);
  // 2038 is well inside.
  t = {};
  t.tm_year = 138;
  t.tm_mon = 0;
  t.tm_mday = 19;
  t.tm_hour = 3;
  t.tm_min = 14;
  t.tm_sec = 8;
  EXPECT_EQ(HitWallClock(t), 2147483648ll);
  // Two-digit years 00-69 are 20xx.
  t = {};
  t.tm_year = 3;
  t.tm_mday = 1;
  EXPECT_EQ(HitWallClock(t), 1041379200ll);

  readertest::TzScope tz("America/New_York");
  EXPECT_EQ(UtcToLocalWallClock(0), -1);  // before 1970 on the local clock
  EXPECT_EQ(UtcToLocalWallClock(5 * 3600), 0);
  readertest::TzScope east("Asia/Tokyo");
  EXPECT_EQ(UtcToLocalWallClock(0xFFFFFFFEll - 9 * 3600), 0xFFFFFFFEll);
  EXPECT_EQ(UtcToLocalWallClock(0xFFFFFFFEll - 9 * 3600 + 1), -1);
}

TEST(HitTimes, UtcMovesByTheOffsetInForceAtThatInstant) {
  struct Case {
    const char* tz;
    uint32_t utc;   // wall clock of the UTC time
    uint32_t local;
  } cases[] = {
      {"UTC", readertest::Wall(2000, 10, 10, 13, 55, 36), readertest::Wall(2000, 10, 10, 13, 55, 36)},
      {"Europe/Berlin", readertest::Wall(2000, 1, 10, 12, 0, 0), readertest::Wall(2000, 1, 10, 13, 0, 0)},
      {"Europe/Berlin", readertest::Wall(2000, 7, 10, 12, 0, 0), readertest::Wall(2000, 7, 10, 14, 0, 0)},
      // Just before and after the spring change (01:00 UTC, 2021-03-28).
      {"Europe/Berlin", readertest::Wall(2021, 3, 28, 0, 59, 59), readertest::Wall(2021, 3, 28, 1, 59, 59)},
      {"Europe/Berlin", readertest::Wall(2021, 3, 28, 1, 0, 0), readertest::Wall(2021, 3, 28, 3, 0, 0)},
      {"America/Los_Angeles", readertest::Wall(2010, 1, 1, 8, 0, 0), readertest::Wall(2010, 1, 1, 0, 0, 0)},
      {"Asia/Kolkata", readertest::Wall(2010, 1, 1, 0, 0, 0), readertest::Wall(2010, 1, 1, 5, 30, 0)},
  };
  for (const auto& c : cases) {
    readertest::TzScope tz(c.tz);
    EXPECT_EQ(UtcToLocalWallClock(c.utc), static_cast<int64_t>(c.local)) << c.tz << " " << c.utc;
  }
}

}  // namespace
}  // namespace vrn
