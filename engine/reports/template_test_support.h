// Test support of the template code: temporary folders, files, recorded
// message boxes and a report run over a template folder.
#ifndef VORNIC_REPORTS_TEMPLATE_TEST_SUPPORT_H
#define VORNIC_REPORTS_TEMPLATE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/report_run.h"
#include "platform/testsupport/files.h"
#include "platform/ui/msgbox.h"

namespace tpltest {

inline std::string MakeTempFolder() {
  std::string pattern = testing::TempDir() + "tplXXXXXX";
  char* made = mkdtemp(pattern.data());
  EXPECT_NE(made, nullptr);
  return pattern + "/";
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  kv::test::WriteBytes(path, bytes);
}

inline std::string ReadFile(const std::string& path) { return kv::test::ReadText(path); }

// Lines joined with CR LF (each line ends with it).
inline std::string Crlf(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// Records the message boxes shown while it lives.
class BoxRecorder {
 public:
  BoxRecorder() {
    previous_ = kv::ui::SetMessageBoxHandler([this](const kv::ui::MessageBoxInfo& info) {
      boxes.push_back(info.caption + ": " + info.text);
      return 0;
    });
  }
  ~BoxRecorder() { kv::ui::SetMessageBoxHandler(previous_); }
  std::vector<std::string> boxes;

 private:
  kv::ui::MessageBoxHandler previous_;
};

// A temporary application folder ("<root>app/") with a Template folder and
// a report run whose template base folder it is.
class TemplateFolder : public testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTempFolder();
    app_ = root_ + "app/";
    std::filesystem::create_directories(app_ + "Template");
    std::filesystem::create_directories(app_ + "profiles");
    run_ = std::make_unique<vrn::ReportHandle>();
    vrn::SetReportWorkPaths(run_.get(), (app_ + "profiles/").c_str());
  }
  void TearDown() override {
    run_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  std::string TemplatePath(const std::string& name) const { return app_ + "Template/" + name; }

  std::string root_;
  std::string app_;
  std::unique_ptr<vrn::ReportHandle> run_;
};

}  // namespace tpltest

#endif
