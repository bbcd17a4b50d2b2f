// The checked formatter used for resource texts, and the bounds of the
// header's kind and variant names.
#include "engine/core/hit_text_view.h"

#include <gtest/gtest.h>

#include <string>

#include <vornic/filter.h>

#include "engine/core/report_run_testutil.h"

namespace {

TEST(CheckedFormat, ConversionsMustMatchTheirArguments) {
  struct C {
    const char* format;
    std::initializer_list<vrn::FormatArg> args;
    std::string want;
  };
  const C cases[] = {
      {"%c%cProfile: %s", {1, 10, "p.wlp"}, std::string("\x01\x0aProfile: p.wlp")},
      {"%s, %03ld - ", {"Failed", 7}, "Failed, 007 - "},
      {"%5ld.%1ldK", {1, 9}, "    1.9K"},
      {"%-6s|%6s|", {"ab", "cd"}, "ab    |    cd|"},
      {"%.2s", {"abcdef"}, "ab"},
      {"100%% %d", {5}, "100% 5"},
      // A text where a number is expected and the reverse are written as they stand.
      {"%d items", {"many"}, "%d items"},
      {"name %s", {42}, "name %s"},
      // Missing arguments, unknown conversions and writes through pointers.
      {"%s and %s", {"one"}, "one and %s"},
      {"%n%p%f", {1, 2, 3}, "%n%p%f"},
      // Widths that would blow the output up are refused.
      {"%99999999d", {1}, "%99999999d"},
      {"%c", {0}, std::string(1, '\0')},
      {"trailing %", {}, "trailing %"},
  };
  for (const C& c : cases) {
    std::string out;
    vrn::AppendChecked(out, c.format, c.args);
    EXPECT_EQ(out, c.want) << c.format;
  }
}

class ViewNames : public runtest::EngineFixture {};

TEST_F(ViewNames, KindAndVariantNamesStayInTheirRanges) {
  using runtest::CombinedLine;
  runtest::WriteFile(folder_ + "logs/a.log", CombinedLine(runtest::Wall(2026, 1, 2, 3, 4, 5), "10.0.0.1", "GET", "/", 200, 1));
  WriteProfile("a.wlp", folder_ + "logs/a.log");
  struct N {
    uint32_t kind, variant;
    const char* view;
    const char* grouping;
  } cases[] = {
      {3, 0, "Hits by Visit", "All Hits"},
      {2, 9, "Detailed Hit List", "Grouped by Domain"},
      {4, 0, "", "All Hits"},       // 5506 + 4 would be a variant's name
      {3, 10, "Hits by Visit", ""},  // past the variant names
      {70000, 4000000000u, "", ""},
  };
  for (const N& n : cases) {
    DravelEntry profile{};
    char folder[300] = {};
    snprintf(folder, sizeof folder, "%sview/", folder_.c_str());
    uint32_t handle = 0;
    uint16_t error = 0;
    ASSERT_EQ(VRN_Cre8Report(1, 0, &profile, "a.wlp", "", folder, &handle, 77, 0, 0, 0xFFFFFFFEu, n.kind, n.variant,
                             nullptr, nullptr, "", 0, 0, &error), 0);
    char path[600];
    ADT_GetReportASCII_Filename(handle, path, sizeof path);
    const std::string text = runtest::ReadFile(path);
    EXPECT_NE(text.find(std::string("View:\t\x01\x0e") + n.view + "\r\n"), std::string::npos) << n.kind << text;
    EXPECT_NE(text.find(std::string("Grouping:\t\x01\x0e") + n.grouping + "\r\n"), std::string::npos) << n.variant;
    while (VRN_PeekReport(0, handle, nullptr, &error) == 0) {
    }
    EXPECT_EQ(VRN_CloseReport(0, handle, &error), 0);
    FreeFiltersForProfile(&profile);
  }
}

}  // namespace
