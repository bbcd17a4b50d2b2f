// Test support of the report writer, template variable and relabelling
// tests: a registered engine over a folder of the test's own (engine and
// module INI, REPORT.INI, style.ini, the English texts), an analysis run with
// its context, and a working template written by the test.
#ifndef VORNIC_REPORTS_REPORT_DRIVER_TESTUTIL_H
#define VORNIC_REPORTS_REPORT_DRIVER_TESTUTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/report_run.h"
#include "engine/database/analysis_context.h"
#include "engine/database/item_tables.h"
#include "platform/base/kvtypes.h"
#include "platform/testsupport/timezone.h"

namespace drvtest {

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
uint32_t Wall(int year, int month, int day, int hour, int minute, int second);

// One call of the report's file callback.
struct FileCall {
  int32_t kind;
  std::string text;
  int32_t flag;
};
extern std::vector<FileCall> g_fileCalls;
int32_t RecordFileCall(int32_t kind, const char* text, int32_t flag);

class ReportFixture : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The engine folder (ends with "/").
  const std::string& Folder() const { return folder_; }
  std::string ProfileDir() const { return folder_ + "kvm_log/profiles/"; }
  std::string TemplateDir() const { return folder_ + "kvm_log/Template/"; }
  // Writes style.ini with section [Test] holding `lines`.
  void WriteStyle(const std::string& lines);
  // Copies the delivered templates and REPORT.INI (from KV_SOURCE_DIR's
  // data/kvm_log/) into the engine folder and makes its logs/ folder; false
  // when KV_SOURCE_DIR is not set.
  bool InstallDeliveredTemplates();
  // Sets up an analysis run writing to `outputPath` (below the folder when
  // relative) and returns its context (null on failure).
  vrn::AnalysisContext* MakeRun(const std::string& outputPath = "reports/report.htm");
  // Writes the working template and makes it the context's.
  void SetTemplate(const std::string& text);
  // WriteReport over the run; the output's text in *output.
  int Write(std::string* output);
  // An item `name` of table `table` with hits and users; returns it.
  vrn::NameTableEntry* AddItem(int table, const std::string& name, uint32_t hits, uint32_t users = 0);

  std::string folder_;
  KvModule resources_ = nullptr;
  int16_t slot_ = -1;
  vrn::ReportHandle* run_ = nullptr;
  vrn::AnalysisContext* context_ = nullptr;
  std::optional<kv::test::ScopedTimeZone> zone_;  // TZ=UTC during the test
};

}  // namespace drvtest

#endif
