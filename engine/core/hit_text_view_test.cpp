// The checked formatter used for resource texts, and the bounds of the
// header's kind and variant names.
#include "engine/core/hit_text_view.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <vornic/filter.h>
#include <vornic/report.h>

#include "engine/core/open_counter_test_support.h"
#include "engine/core/report_run.h"
#include "engine/core/report_run_testutil.h"
#include "engine/core/view_buffer.h"
#include "platform/base/memory.h"

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

// ---- runs of grouped and long views --------------------------------------

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

class ViewRuns : public runtest::EngineFixture {
 protected:
  struct View {
    std::string title;
    std::string text;
    uint32_t lines = 0;  // the line count the run keeps for the buffer
  };
  struct Result {
    int16_t created = -1;
    int16_t lastStep = 0;
    uint16_t error = 0;
    uint32_t steps = 0;
    std::vector<View> views;
  };
  // Runs kind/variant over logs/a.log to its end; afterStep is called after
  // every step that went on.
  template <typename F>
  Result Run(uint32_t kind, uint32_t variant, F afterStep) {
    Result r;
    DravelEntry profile{};
    char folder[300] = {};
    snprintf(folder, sizeof folder, "%sview/", folder_.c_str());
    uint32_t handle = 0;
    r.created = VRN_Cre8Report(1, 0, &profile, "a.wlp", "", folder, &handle, 77, 0, 0, 0xFFFFFFFEu, kind, variant,
                               nullptr, nullptr, "", 0, 0, &r.error);
    if (r.created != 0) return r;
    while ((r.lastStep = VRN_PeekReport(0, handle, nullptr, &r.error)) == 0) {
      ++r.steps;
      afterStep(r.steps);
    }
    auto* run = static_cast<vrn::ReportHandle*>(kv::GlobalLock(handle));
    for (int32_t i = 0; i < ADT_ViewReportCount(handle); ++i) {
      ADT_SetViewReportBuffer(handle, i);
      char path[600];
      ADT_GetReportASCII_Filename(handle, path, sizeof path);
      r.views.push_back({ADT_GetViewReportDescPtr(handle, i), runtest::ReadFile(path), run->viewTable[i]->lineCount});
    }
    kv::GlobalUnlock(handle);
    uint16_t error = 0;
    EXPECT_EQ(VRN_CloseReport(0, handle, &error), 0);
    FreeFiltersForProfile(&profile);
    return r;
  }
  Result Run(uint32_t kind, uint32_t variant) {
    return Run(kind, variant, [](uint32_t) {});
  }
};

std::string Host(int i) { return "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".9"; }

TEST_F(ViewRuns, EveryGroupOfAManyHostViewGetsItsHits) {
  // More hosts than three hex digits can number, each a group of its own;
  // some come back in a second pass. Every hit lands in its group's view.
  constexpr int kHosts = 4150;
  auto again = [](int i) { return i % 25 == 0 || i >= 4090; };
  const uint32_t t0 = runtest::Wall(2026, 3, 1, 0, 0, 0);
  std::string log;
  uint32_t t = t0;
  for (int pass = 0; pass < 2; ++pass)
    for (int i = 0; i < kHosts; ++i)
      if (pass == 0 || again(i))
        log += runtest::CombinedLine(t++, Host(i), "GET", "/p" + std::to_string(pass) + ".html", 200, 100);
  runtest::WriteFile(folder_ + "logs/a.log", log);
  WriteProfile("a.wlp", folder_ + "logs/a.log");
  const Result r = Run(3, 8);
  ASSERT_EQ(r.created, 0);
  EXPECT_EQ(r.lastStep, -1);
  EXPECT_EQ(r.error, 0);
  ASSERT_EQ(r.views.size(), static_cast<size_t>(kHosts));
  for (int i = 0; i < kHosts; ++i) {
    const View& v = r.views[static_cast<size_t>(i)];
    ASSERT_EQ(v.title, Host(i));
    ASSERT_EQ(Occurrences(v.text, "/\x01\x0ap0.html\r\n"), 1u) << Host(i);
    ASSERT_EQ(Occurrences(v.text, "/\x01\x0ap1.html\r\n"), again(i) ? 1u : 0u) << Host(i);
    ASSERT_EQ(v.lines, Occurrences(v.text, "\r\n")) << Host(i);
  }
  EXPECT_TRUE(runtest::ListFolder(folder_ + "view/").empty());
}

TEST_F(ViewRuns, HostsTakingTurnsDoNotOpenAFileAHit) {
  // 60 hosts take turns, 20 rounds: at most five view files are open, and
  // the files are not opened and closed again for every hit; every hit still
  // ends up in its host's file, in order.
  constexpr int kHosts = 60, kRounds = 20;
  const uint32_t t0 = runtest::Wall(2026, 3, 1, 0, 0, 0);
  std::string log;
  uint32_t t = t0;
  for (int round = 0; round < kRounds; ++round)
    for (int i = 0; i < kHosts; ++i)
      log += runtest::CombinedLine(t++, Host(i), "GET", "/r" + std::to_string(round) + ".html", 200, 100);
  runtest::WriteFile(folder_ + "logs/a.log", log);
  WriteProfile("a.wlp", folder_ + "logs/a.log");
  std::filesystem::create_directories(folder_ + "view");
  size_t opensWhileRunning = 0;
  Result r;
  {
    vrn::test::OpenCounter opens(folder_ + "view");
    r = Run(3, 8, [&](uint32_t) {});
    // The results are read after the run (each buffer selected once).
    opensWhileRunning = opens.Count();
  }
  ASSERT_EQ(r.created, 0);
  EXPECT_EQ(r.error, 0);
  ASSERT_EQ(r.views.size(), static_cast<size_t>(kHosts));
  // One open to create each file, one to write what waited, one to read it
  // back; a file per hit would be kHosts * kRounds.
  EXPECT_LE(opensWhileRunning, static_cast<size_t>(4 * kHosts));
  for (int i = 0; i < kHosts; ++i) {
    const std::string& text = r.views[static_cast<size_t>(i)].text;
    size_t at = 0;
    for (int round = 0; round < kRounds; ++round) {
      at = text.find("\x01\x0ar" + std::to_string(round) + ".html\r\n", at);
      ASSERT_NE(at, std::string::npos) << Host(i) << " round " << round;
    }
    EXPECT_EQ(r.views[static_cast<size_t>(i)].lines, Occurrences(text, "\r\n")) << Host(i);
  }
}

TEST_F(ViewRuns, TextThatCannotReachItsFileFailsTheRun) {
  // Hosts take turns; once the view files are gone, what waits for a closed
  // file cannot be written, and the run must not end as if it had been.
  const uint32_t t0 = runtest::Wall(2026, 3, 1, 0, 0, 0);
  std::string log;
  uint32_t t = t0;
  for (int round = 0; round < 3; ++round)
    for (int i = 0; i < 10; ++i) log += runtest::CombinedLine(t++, Host(i), "GET", "/", 200, 1);
  runtest::WriteFile(folder_ + "logs/a.log", log);
  WriteProfile("a.wlp", folder_ + "logs/a.log");
  runtest::g_shownErrors.clear();
  const Result r = Run(3, 8, [this](uint32_t step) {
    if (step == 15) std::filesystem::remove_all(folder_ + "view/");
  });
  ASSERT_EQ(r.created, 0);
  EXPECT_EQ(r.lastStep, -1);
  EXPECT_EQ(r.error, VRN_ERR_FILE);
  EXPECT_FALSE(runtest::g_shownErrors.empty());
}

TEST_F(ViewRuns, AHitWithoutAViewStopsTheRun) {
  // Each hit is a new group; once the view folder is gone no new view can be
  // made, and the run must not go on as if the hits were listed.
  const uint32_t t0 = runtest::Wall(2026, 3, 1, 0, 0, 0);
  std::string log;
  for (int i = 0; i < 20; ++i) log += runtest::CombinedLine(t0 + static_cast<uint32_t>(i), Host(i), "GET", "/", 200, 1);
  runtest::WriteFile(folder_ + "logs/a.log", log);
  WriteProfile("a.wlp", folder_ + "logs/a.log");
  runtest::g_shownErrors.clear();
  const Result r = Run(3, 8, [this](uint32_t step) {
    if (step == 3) std::filesystem::remove_all(folder_ + "view/");
  });
  ASSERT_EQ(r.created, 0);
  EXPECT_EQ(r.lastStep, -1);
  EXPECT_EQ(r.error, VRN_ERR_FILE);
  EXPECT_LT(r.steps, 6u);
  EXPECT_FALSE(runtest::g_shownErrors.empty());
}

TEST_F(ViewRuns, OverLongValuesAreCutAndEveryHitStaysWhole) {
  // A hit whose values alone exceed the per-hit text, between two ordinary
  // hits of other visits.
  const uint32_t t0 = runtest::Wall(2026, 3, 1, 8, 0, 0);
  const std::string longUrl = "/" + std::string(2500, 'd') + "/" + std::string(1500, 'f') + ".html";
  const std::string longReferrer = "http://r.example/" + std::string(3500, 'r');
  const std::string longAgent = "Agent/" + std::string(2000, 'a');
  const std::string longUser(1500, 'U');
  std::string log;
  log += runtest::CombinedLine(t0, "10.0.0.1", "GET", "/first.html", 200, 10);
  log += runtest::CombinedLine(t0 + 1, "10.0.0.2", "GET", longUrl, 404, 10, longReferrer, longAgent, longUser);
  log += runtest::CombinedLine(t0 + 2, "10.0.0.3", "GET", "/last.html", 200, 10);
  runtest::WriteFile(folder_ + "logs/a.log", log);
  WriteProfile("a.wlp", folder_ + "logs/a.log");
  struct Case {
    uint32_t kind;
    const char* hitStart;  // what begins every hit's text
  };
  for (const Case& c : {Case{2, "Event:\t"}, Case{3, "\r\n\r\n-----"}}) {
    SCOPED_TRACE(c.kind);
    const Result r = Run(c.kind, 0);
    ASSERT_EQ(r.created, 0);
    EXPECT_EQ(r.error, 0);
    ASSERT_EQ(r.views.size(), 1u);
    const std::string& text = r.views[0].text;
    EXPECT_EQ(Occurrences(text, c.hitStart), 3u);
    EXPECT_EQ(r.views[0].lines, Occurrences(text, "\r\n"));
    // The long hit is there, cut, and the hit after it starts on a line of its own.
    EXPECT_NE(text.find("rrrrr"), std::string::npos);
    EXPECT_EQ(text.find(longReferrer), std::string::npos);
    EXPECT_NE(text.find(c.kind == 2 ? "\r\nEvent:\t\x01\x0eGET\r\n" : "\r\n\r\n-----"), std::string::npos);
    EXPECT_NE(text.find("\x01\x0alast.html\r\n"), std::string::npos);
    // The failed hit keeps its result line.
    EXPECT_NE(text.find("404 - "), std::string::npos);
    const size_t lastAt = text.find("last.html");
    const size_t longAt = text.find("rrrrr");
    EXPECT_LT(longAt, lastAt);
    EXPECT_TRUE(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0);
  }
}

}  // namespace
