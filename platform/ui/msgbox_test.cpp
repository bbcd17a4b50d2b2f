#include "platform/ui/msgbox.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ui/window.h"

namespace kv::ui {
namespace {

class MessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "kvmsgboxXXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    log_ = dir_ + "/boxes.log";
    setenv("KV_MSGBOX_LOG", log_.c_str(), 1);
  }
  void TearDown() override {
    SetMessageBoxHandler(nullptr);
    unsetenv("KV_MSGBOX_LOG");
    unlink(log_.c_str());
    rmdir(dir_.c_str());
  }
  std::string Log() const {
    std::ifstream in(log_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string dir_, log_;
};

TEST_F(MessageBoxTest, DefaultAnswers) {
  struct Case {
    uint32_t type;
    int32_t answer;
  };
  const Case cases[] = {
      {MbOk, IdOk},
      {MbOkCancel | MbIconError, IdOk},
      {MbOkCancel | MbDefButton2, IdCancel},
      {MbYesNo | MbIconQuestion, IdYes},
      {MbYesNo | MbDefButton2, IdNo},
      {MbYesNoCancel | MbDefButton3, IdCancel},
      {MbAbortRetryIgnore | MbDefButton2, IdRetry},
      {MbRetryCancel, IdRetry},
      {MbOk | MbDefButton3, IdOk},  // names a button the box lacks
      {0xF, IdOk},                  // unknown button set
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(MessageBoxDefaultAnswer(c.type), c.answer);
    EXPECT_EQ(MessageBox(0, "text", "caption", c.type), c.answer);
  }
}

TEST_F(MessageBoxTest, HandlerRecordsAndChoosesAndEveryBoxIsLogged) {
  std::vector<MessageBoxInfo> boxes;
  std::vector<int32_t> replies = {IdNo, IdRetry /* not a button of a yes/no box */, 0};
  size_t next = 0;
  SetMessageBoxHandler([&](const MessageBoxInfo& info) {
    boxes.push_back(info);
    return replies[next++];
  });
  EXPECT_EQ(MessageBox(7, "Bad handle", "Seek Error", MbYesNo), IdNo);
  EXPECT_EQ(MessageBox(0, "Line one\r\nline two", "Kelvaron", MbYesNo | MbDefButton2), IdNo);
  EXPECT_EQ(MessageBox(0, nullptr, nullptr, MbOk), IdOk);
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].owner, 7u);
  EXPECT_EQ(boxes[0].text, "Bad handle");
  EXPECT_EQ(boxes[0].caption, "Seek Error");
  EXPECT_EQ(boxes[0].default_answer, IdYes);
  EXPECT_EQ(boxes[1].default_answer, IdNo);
  EXPECT_EQ(boxes[2].text, "");
  EXPECT_EQ(boxes[2].caption, "Error");

  // Each box is one line of the log, line breaks shown escaped.
  std::string log = Log();
  EXPECT_NE(log.find("Seek Error: Bad handle\n"), std::string::npos);
  EXPECT_NE(log.find("Kelvaron: Line one\\nline two\n"), std::string::npos);

  // Removing the handler restores the default answers.
  SetMessageBoxHandler(nullptr);
  EXPECT_EQ(MessageBox(0, "x", "y", MbYesNo | MbDefButton2), IdNo);
  EXPECT_EQ(boxes.size(), 3u);
}

}  // namespace
}  // namespace kv::ui
