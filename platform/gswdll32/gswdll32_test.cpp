// The charting module as the engine reaches it: loaded by name from the
// program folder, called by ordinal.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/module/module.h"

namespace {

using StartFn = int32_t (*)(const char*, const char*);
using CallFn = int32_t (*)(void);

class GswModule : public testing::Test {
 protected:
  void SetUp() override {
    module_ = KvLoadModule("GSWDLL32.dll");
    ASSERT_NE(module_, nullptr) << "GSWDLL32.so not found in the program folder";
    start_ = reinterpret_cast<StartFn>(KvGetProcOrdinal(module_, 1));
    stop_ = reinterpret_cast<CallFn>(KvGetProcOrdinal(module_, 2));
    open_ = reinterpret_cast<CallFn>(KvGetProcOrdinal(module_, 124));
    close_ = reinterpret_cast<CallFn>(KvGetProcOrdinal(module_, 125));
  }
  void TearDown() override {
    if (module_ != nullptr) KvFreeModule(module_);
  }
  KvModule module_ = nullptr;
  StartFn start_ = nullptr;
  CallFn stop_ = nullptr, open_ = nullptr, close_ = nullptr;
};

TEST_F(GswModule, StartOpenCloseStopInOrder) {
  ASSERT_NE(start_, nullptr);
  ASSERT_NE(stop_, nullptr);
  ASSERT_NE(open_, nullptr);
  ASSERT_NE(close_, nullptr);
  EXPECT_EQ(KvGetProcOrdinal(module_, 3), nullptr);

  EXPECT_EQ(open_(), -1) << "no session before the server starts";
  EXPECT_EQ(start_("", "C"), 0);
  EXPECT_EQ(open_(), 0);
  EXPECT_EQ(close_(), 0);
  EXPECT_EQ(close_(), -1) << "no second close of one session";
  EXPECT_EQ(stop_(), 0);
  EXPECT_EQ(stop_(), -1) << "not running any more";
}

}  // namespace
