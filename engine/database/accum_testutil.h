// Test support of the analysis context and hit accumulation tests: an engine
// folder of the test's own (module INI, REPORT.INI, organisation and
// intranet files, a profile), a report run over it, and hits built from
// texts.
#ifndef VORNIC_DATABASE_ACCUM_TESTUTIL_H
#define VORNIC_DATABASE_ACCUM_TESTUTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/core/hit_record.h"
#include "engine/core/report_run.h"
#include "engine/database/analysis_context.h"

namespace accumtest {

void WriteText(const std::string& path, const std::string& text);
// Seconds of a calendar date and time counted as if UTC.
uint32_t Wall(int year, int month, int day, int hour, int minute, int second);

// A hit whose texts live in the object.
struct TestHit {
  TestHit(uint32_t time, const std::string& host, const std::string& url, uint32_t status = 200,
          uint16_t method = vrn::kMethodGet, uint32_t bytes = 100);
  vrn::HitRecord* get();

  vrn::HitRecord hit{};
  std::string protocol = "HTTP/1.0";
  std::string url;
  std::string user;
  std::string referrer;
  std::string agent;
  std::string cookie;
  bool withCookie = false;
};

class ContextFixture : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Extra lines of [Defaults] of the module INI, the profile's home page,
  // and the files of the engine folder, written before MakeContext.
  void WriteEngineFile(const std::string& name, const std::string& bytes);
  // Sets the context up (the module INI gets `defaults` as [Defaults]).
  vrn::AnalysisContext* MakeContext(const std::string& defaults = "", const std::string& homePage = "",
                                    int withTables = 1);

  std::string folder_;
  std::string savedEngineFolder_;
  vrn::ReportHandle* run_ = nullptr;
};

}  // namespace accumtest

#endif
