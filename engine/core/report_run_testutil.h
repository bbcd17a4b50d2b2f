// Test helpers of the report run tests: a registered engine over a
// temporary folder with the English texts, profile files and log fixtures.
#ifndef VORNIC_CORE_REPORT_RUN_TESTUTIL_H
#define VORNIC_CORE_REPORT_RUN_TESTUTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <vornic/report.h>

#include "platform/base/kvtypes.h"
#include "platform/testsupport/timezone.h"

namespace runtest {

std::string MakeTempFolder(const char* tag);
void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
std::vector<std::string> ListFolder(const std::string& folder);

// A combined-format log line at wall-clock seconds t (written as UTC).
std::string CombinedLine(uint32_t t, const std::string& host, const std::string& method, const std::string& url,
                         uint32_t status, uint32_t bytes, const std::string& referrer = "-",
                         const std::string& agent = "Mozilla/4.0 (compatible; MSIE 5.0)", const std::string& user = "-");

// Seconds of a calendar date and time counted as if UTC.
uint32_t Wall(int year, int month, int day, int hour, int minute, int second);

// Texts shown through the client's error display during the test.
extern std::vector<std::string> g_shownErrors;

class EngineFixture : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string ProfileDir() const { return folder_ + "profiles/"; }
  // Writes a profile file whose logs are at location; extra is appended to
  // the profile section (e.g. filter sections).
  void WriteProfile(const std::string& file, const std::string& location, const std::string& extra = "");

  std::string folder_;
  KvModule resources_ = nullptr;
  int16_t slot_ = -1;
  std::optional<kv::test::ScopedTimeZone> zone_;  // TZ=UTC during the test
};

}  // namespace runtest

#endif
