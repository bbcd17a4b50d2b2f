#include "platform/ftp4w32/ftpreply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kvftp {
namespace {

struct Parsed {
  std::vector<Reply> replies;
  bool error = false;
};

// Feeds the input in pieces of `step` bytes and collects what comes out.
Parsed ParseAll(const std::string& input, size_t step) {
  ReplyReader reader;
  Parsed out;
  for (size_t pos = 0; pos < input.size() && !out.error; pos += step) {
    reader.Feed(input.data() + pos, std::min(step, input.size() - pos));
    Reply r;
    for (;;) {
      auto s = reader.Next(&r);
      if (s == ReplyReader::Status::kReply) {
        out.replies.push_back(r);
        continue;
      }
      out.error = s == ReplyReader::Status::kError;
      break;
    }
  }
  return out;
}

TEST(FtpReplyReader, RepliesAndMalformedStreams) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<int> codes;
    bool error;
    std::string firstText;
  } cases[] = {
      {"single line", "220 ready\r\n", {220}, false, "ready"},
      {"bare LF and bare code", "200 ok\n230\r\n", {200, 230}, false, "ok"},
      {"multi-line", "230-Welcome\r\n  some text\r\n230-more\r\n230 done\r\n", {230}, false,
       "Welcome\n  some text\n230-more\ndone"},
      {"multi-line with other codes inside", "211-Features\r\n 200 fake\r\n211 End\r\n", {211}, false,
       "Features\n 200 fake\nEnd"},
      {"two replies in one read", "150 go\r\n226 done\r\n", {150, 226}, false, "go"},
      {"incomplete line waits", "220 rea", {}, false, ""},
      {"no code", "hello\r\n", {}, true, ""},
      {"code of two digits", "22 x\r\n", {}, true, ""},
      {"first digit out of range", "620 x\r\n", {}, true, ""},
      {"code glued to text", "220x\r\n", {}, true, ""},
      {"good reply, then garbage", "220 hi\r\nxyz\r\n", {220}, true, "hi"},
      {"overlong line", "220 " + std::string(ReplyReader::kMaxLine + 10, 'a') + "\r\n", {}, true, ""},
      {"overlong without end", "220 " + std::string(ReplyReader::kMaxLine + 10, 'a'), {}, true, ""},
  };
  for (const Case& c : cases) {
    for (size_t step : {size_t{1}, size_t{3}, size_t{4096}}) {
      SCOPED_TRACE(std::string(c.name) + " step " + std::to_string(step));
      Parsed p = ParseAll(c.input, step);
      std::vector<int> codes;
      for (auto& r : p.replies) codes.push_back(r.code);
      EXPECT_EQ(codes, c.codes);
      EXPECT_EQ(p.error, c.error);
      if (!p.replies.empty()) {
        EXPECT_EQ(p.replies[0].text, c.firstText);
      }
    }
  }
}

TEST(FtpReplyReader, EndlessMultiLineReplyIsCutOff) {
  std::string input = "220-start\r\n";
  for (size_t i = 0; i < ReplyReader::kMaxLines + 5; ++i) input += " line\r\n";
  Parsed p = ParseAll(input, 4096);
  EXPECT_TRUE(p.replies.empty());
  EXPECT_TRUE(p.error);

  std::string big = "220-start\r\n";
  while (big.size() < ReplyReader::kMaxReply + 100) big += std::string(1000, 'b') + "\r\n";
  p = ParseAll(big, 4096);
  EXPECT_TRUE(p.error);
}

TEST(FtpReplyTexts, PassivePwdAndSizes) {
  uint32_t addr = 0;
  uint16_t port = 0;
  ASSERT_TRUE(ParsePassiveReply("Entering Passive Mode (127,0,0,1,195,80).", &addr, &port));
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&addr);
  EXPECT_EQ(b[0], 127);
  EXPECT_EQ(b[3], 1);
  EXPECT_EQ(port, 195 * 256 + 80);
  EXPECT_TRUE(ParsePassiveReply("=10,1,2,3,0,21", &addr, &port));
  EXPECT_EQ(port, 21);
  for (const char* bad : {"Entering Passive Mode", "(127,0,0,1,195)", "(127,0,0,1,256,1)", "(1,2,3,4,5,99999999999)",
                          "(127,0,0,1,-1,3)", ""}) {
    EXPECT_FALSE(ParsePassiveReply(bad, &addr, &port)) << bad;
  }

  std::string folder;
  EXPECT_TRUE(ParsePwdReply("\"/logs\" is the current directory", &folder));
  EXPECT_EQ(folder, "/logs");
  EXPECT_TRUE(ParsePwdReply("\"/a \"\"b\"\"\" here", &folder));
  EXPECT_EQ(folder, "/a \"b\"");
  EXPECT_FALSE(ParsePwdReply("/logs", &folder));
  EXPECT_FALSE(ParsePwdReply("\"/unterminated", &folder));

  EXPECT_EQ(ParseTransferSize("Opening BINARY mode data connection for x (5242880 bytes)."), 5242880);
  EXPECT_EQ(ParseTransferSize("Opening data connection (x) for y (12 bytes)"), 12);
  EXPECT_EQ(ParseTransferSize("Data connection already open."), -1);
  EXPECT_EQ(ParseTransferSize("(99999999999999999999999 bytes)"), -1);

  EXPECT_EQ(ParseSizeReply("1234"), 1234);
  EXPECT_EQ(ParseSizeReply("0"), 0);
  EXPECT_EQ(ParseSizeReply("12ab"), -1);
  EXPECT_EQ(ParseSizeReply(""), -1);
}

}  // namespace
}  // namespace kvftp
