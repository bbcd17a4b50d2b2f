#include "engine/database/accum_testutil.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <vector>

#include "engine/core/engine_state.h"
#include "platform/testsupport/timezone.h"

namespace accumtest {

void WriteText(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

uint32_t Wall(int year, int month, int day, int hour, int minute, int second) {
  return kv::test::UtcSeconds(year, month, day, hour, minute, second);
}

TestHit::TestHit(uint32_t time, const std::string& host, const std::string& u, uint32_t status, uint16_t method,
                 uint32_t bytes)
    : url(u) {
  hit.RecordSize = vrn::kHitRecordSize;
  hit.HitTime = time;
  hit.TimeCopy = time;
  hit.MethodCode = method;
  hit.Bytes = bytes;
  hit.StatusCode = status;
  hit.Success = status < 400 ? 1 : 0;
  hit.FormatCode = 1;
  std::snprintf(hit.ClientHost, sizeof hit.ClientHost, "%s", host.c_str());
  const size_t dot = host.find('.');
  std::snprintf(hit.Domain, sizeof hit.Domain, "%s", dot == std::string::npos ? host.c_str() : host.c_str() + dot + 1);
}

vrn::HitRecord* TestHit::get() {
  hit.Protocol = protocol.data();
  hit.URL = url.data();
  hit.UserName = user.data();
  hit.Referrer = referrer.data();
  hit.UserAgent = agent.data();
  hit.Cookie = withCookie ? cookie.data() : nullptr;
  return &hit;
}

void ContextFixture::SetUp() {
  std::string pattern = testing::TempDir() + "accumXXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  ASSERT_NE(mkdtemp(buffer.data()), nullptr);
  folder_ = std::string(buffer.data()) + "/";
  savedEngineFolder_ = vrn::EngineFolder();
  vrn::SetApplicationPath(folder_ + "libVornic.so");
  WriteText(folder_ + "REPORT.INI",
            "[Interval]\nCount=3\nScale1=Hours,24,3600,%H,%D\nScale2=Days,31,86400,%d,%D\n"
            "Scale3=Months,12,2678400,%b,%D\n"
            "[Countries]\nCount=2\nItem1=United States,US\nItem2=Switzerland,CH\n"
            "[US States]\nCount=1\nItem1=Illinois,IL\n");
  run_ = static_cast<vrn::ReportHandle*>(std::calloc(1, sizeof(vrn::ReportHandle)));
  std::snprintf(run_->profileDir, sizeof run_->profileDir, "%sprofiles/", folder_.c_str());
  std::snprintf(run_->parentDir, sizeof run_->parentDir, "%s", folder_.c_str());
  std::snprintf(run_->grandparentDir, sizeof run_->grandparentDir, "%s", folder_.c_str());
  std::snprintf(run_->profileFile, sizeof run_->profileFile, "site.wlp");
  std::snprintf(run_->viewFolder, sizeof run_->viewFolder, "%sreports/index.htm", folder_.c_str());
  run_->kind = vrn::kReportKindAnalysis;
  run_->startTime = Wall(2026, 3, 2, 0, 0, 0);
  run_->endTime = Wall(2026, 3, 2, 23, 59, 59);
}

void ContextFixture::TearDown() {
  if (run_ != nullptr) {
    vrn::FreeReportContext(run_);
    std::free(run_);
  }
  vrn::SetApplicationPath(savedEngineFolder_ + "libVornic.so");
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void ContextFixture::WriteEngineFile(const std::string& name, const std::string& bytes) {
  WriteText(folder_ + name, bytes);
}

vrn::AnalysisContext* ContextFixture::MakeContext(const std::string& defaults, const std::string& homePage,
                                                 int withTables) {
  WriteText(folder_ + "kvm_log/kvm_log.ini", "[Defaults]\n" + defaults);
  WriteText(run_->profileDir + std::string("site.wlp"),
            "[Profile]\r\nVersion=4\r\nDescription=Test site\r\nHomePageName=" + homePage +
                "\r\nHomePageUsername=web\r\nHomePagePassword=pw\r\n");
  if (vrn::SetUpAnalysisContext(run_, withTables) != 1) return nullptr;
  return vrn::RunContext(run_);
}

}  // namespace accumtest
