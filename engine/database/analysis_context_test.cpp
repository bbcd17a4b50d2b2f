// Analysis context set-up, cloning and its lists.
#include "engine/database/analysis_context.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/database/accum_testutil.h"
#include "engine/database/item_tables.h"
#include "engine/database/org_lookup.h"
#include "platform/base/memory.h"

namespace vrn {
namespace {

using accumtest::ContextFixture;
using accumtest::Wall;

TEST_F(ContextFixture, DefaultsWithoutKeys) {
  AnalysisContext* context = MakeContext();
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->sizeWord, kAnalysisBlockSize);
  EXPECT_EQ(context->templ.sizeWord, kAnalysisBlockSize);
  EXPECT_EQ(context->templ.formatWord, kAnalysisFormatWord);
  EXPECT_EQ(context->MaxTopCount, 500u);
  EXPECT_EQ(context->MaxCachedCount, 4000u);
  EXPECT_EQ(context->CachedTime, 1800u);
  EXPECT_EQ(context->logKind, 1);
  EXPECT_EQ(context->templ.FewestHits, 0xFFFFFFFFu);
  EXPECT_EQ(context->templ.FewestUsers, 0xFFFFFFFFu);
  EXPECT_STREQ(context->Country, "US");
  EXPECT_STREQ(context->description, "Test site");
  EXPECT_STREQ(context->outputPath, (folder_ + "reports/index.htm").c_str());
  ASSERT_NE(context->options, nullptr);
  EXPECT_STREQ(context->options->texts[kOptOthers], "Others");
  // The classification lists with their defaults.
  ASSERT_EQ(context->documentTypeCount, 6);
  EXPECT_STREQ(context->documentTypes[0]->Name, "htm");
  EXPECT_EQ(context->downloadTypeCount, 11);
  EXPECT_EQ(context->usDomainCount, 8);
  EXPECT_EQ(context->titleTypeCount, 5);
  ASSERT_EQ(context->orgSuffixCount, 8);
  EXPECT_STREQ(context->orgSuffixes[0], "gov");
  EXPECT_STREQ(context->orgSuffixLabels[0], "Government (.gov)");
  EXPECT_STREQ(context->orgSuffixLabels[7], "Company (.com)");
  // Tables made, every table used (no template scan), no organisation file.
  EXPECT_EQ(context->templ.TopTablesCount, 41u);
  ASSERT_NE(context->templ.TopTablesPtr, nullptr);
  ASSERT_NE(context->templ.TopUsersPtr, nullptr);
  EXPECT_EQ(context->templ.TopTablesPtr[40].SizeWord, 60u);
  for (int i = 0; i < kItemTableCount; ++i) EXPECT_TRUE(IsTableUsed(i)) << i;
  EXPECT_EQ(context->orgFile, KV_INVALID_FILE);
  EXPECT_EQ(context->intranetCount, 0);
}

TEST_F(ContextFixture, KeysReplaceLimitsAndLists) {
  AnalysisContext* context = MakeContext(
      "MaxTopCount=0\nCachedTime=60\nMaxCachedCount=\nDocumentTypes=htm {php,2} {cgi,1}\n"
      "com_OrgType=com biz;info\nUSDomains=com,us\n");
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->MaxTopCount, 0u);   // present and 0
  EXPECT_EQ(context->CachedTime, 60u);
  EXPECT_EQ(context->MaxCachedCount, 4000u);  // empty value keeps the default
  ASSERT_EQ(context->documentTypeCount, 3);
  EXPECT_STREQ(context->documentTypes[1]->Name, "php");
  EXPECT_EQ(context->documentTypes[1]->Number, 2);
  EXPECT_EQ(context->usDomainCount, 2);
  ASSERT_EQ(context->orgSuffixCount, 10);
  EXPECT_STREQ(context->orgSuffixes[9], "info");
  EXPECT_STREQ(context->orgSuffixLabels[9], "Company (.com)");
}

TEST_F(ContextFixture, HomePageFolderAndFileName) {
  struct Case {
    const char* homePage;
    const char* folder;
    const char* file;
  };
  const Case cases[] = {
      {"http://www.example.com/docs/index.html", "http://www.example.com/docs", "index.html"},
      {"http://www.example.com/", "http://www.example.com", ""},
      {"http://www.example.com", "http://", "www.example.com"},
      {"c:index.htm", "c:", "index.htm"},
      {"index.htm", "", "index.htm"},
      {"file:///site\\home.htm", "file:///site", "home.htm"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.homePage);
    FreeReportContext(run_);
    AnalysisContext* context = MakeContext("", c.homePage);
    ASSERT_NE(context, nullptr);
    EXPECT_STREQ(context->homePageFolder, c.folder);
    EXPECT_STREQ(context->homePageFileName, c.file);
    EXPECT_STREQ(context->homePage, c.homePage);
  }
}

TEST_F(ContextFixture, DailyGridStartsAtMidnight) {
  run_->startTime = Wall(2026, 3, 2, 10, 0, 0);
  run_->endTime = Wall(2026, 3, 6, 10, 0, 0);
  AnalysisContext* context = MakeContext();
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->secondsPerSlot, 86400u);
  EXPECT_EQ(context->reportStart, Wall(2026, 3, 2, 10, 0, 0));
  EXPECT_EQ(context->slotOrigin, Wall(2026, 3, 2, 0, 0, 0));
  EXPECT_EQ(context->reportEnd, Wall(2026, 3, 6, 10, 0, 0));
  EXPECT_NE(context->rangeText[0], 0);
}

TEST_F(ContextFixture, IntranetListLines) {
  WriteEngineFile("KVINTRA.TXT",
                  "lab.local,Our Lab,Basel,BS,CH,10.1.*\r\n"
                  "five,fields,only,here,x\n"
                  "\n"
                  "gw.local,Gateway,Bern,BE,CH,*.gw.local.ch\n" +
                      std::string(400, 'z') + ",a,b,c,d,e\n"
                      "tail.local,T,C,S,K,h\n"
                      "short");
  AnalysisContext* context = MakeContext();
  ASSERT_NE(context, nullptr);
  ASSERT_EQ(context->intranetCount, 3);
  const IntranetEntry* first = context->intranet[0];
  EXPECT_STREQ(first->texts[0], "lab.local");
  EXPECT_STREQ(first->texts[4], "CH");
  ASSERT_EQ(first->partCount, 3);
  EXPECT_STREQ(first->parts, "10");
  EXPECT_STREQ(first->parts + 3, "1");
  EXPECT_STREQ(first->parts + 5, "*");
  EXPECT_EQ(context->intranet[1]->partCount, 4);
  EXPECT_STREQ(context->intranet[2]->texts[0], "tail.local");  // the over-long line left nothing behind
}

TEST_F(ContextFixture, OrganisationFileOpenedAndClosed) {
  WriteEngineFile("COMPANY.SML", ScrambleOrgText("acme.com,acme,springfield,il,US\n"));
  AnalysisContext* context = MakeContext();
  ASSERT_NE(context, nullptr);
  ASSERT_NE(context->orgFile, KV_INVALID_FILE);
  EXPECT_EQ(context->orgFileKind, 0);
  OrganizationRecord record;
  EXPECT_EQ(FindOrganization(context, context->orgFileSize, 0, "ACME.com", &record), 1);
  EXPECT_STREQ(record.city, "Springfield");
}

TEST_F(ContextFixture, CloneIsDeepAndFreesApart) {
  WriteEngineFile("KVINTRA.TXT", "lab.local,Our Lab,Basel,BS,CH,10.1.2\n");
  AnalysisContext* source = MakeContext("MaxTopCount=7\n", "http://www.example.com/index.htm");
  ASSERT_NE(source, nullptr);
  ASSERT_EQ(AddAdViewEntry(source, "Banner", "ads banner", "click"), 1);
  auto* target = static_cast<ReportHandle*>(std::calloc(1, sizeof(ReportHandle)));
  std::snprintf(target->viewFolder, sizeof target->viewFolder, "other.htm");
  ASSERT_EQ(CloneAnalysisContext(target, run_, 1), 1);
  AnalysisContext* clone = RunContext(target);
  ASSERT_NE(clone, nullptr);
  EXPECT_NE(clone, source);
  EXPECT_EQ(clone->MaxTopCount, 7u);
  EXPECT_EQ(clone->secondsPerSlot, source->secondsPerSlot);
  EXPECT_EQ(clone->slotOrigin, source->slotOrigin);
  EXPECT_STREQ(clone->homePageFolder, "http://www.example.com");
  EXPECT_STREQ(clone->outputPath, "other.htm");
  EXPECT_EQ(clone->rangeText[0], 0);
  ASSERT_NE(clone->options, nullptr);
  EXPECT_NE(clone->options, source->options);
  EXPECT_NE(clone->options->texts[kOptOthers], source->options->texts[kOptOthers]);
  EXPECT_STREQ(clone->options->texts[kOptOthers], "Others");
  ASSERT_EQ(clone->options->countryCount, 2);
  EXPECT_STREQ(clone->options->countries[1].name, "Switzerland");
  ASSERT_EQ(clone->orgSuffixCount, source->orgSuffixCount);
  EXPECT_NE(clone->orgSuffixes[0], source->orgSuffixes[0]);
  EXPECT_STREQ(clone->orgSuffixLabels[0], "Government (.gov)");
  EXPECT_NE(clone->orgSuffixLabels[0], source->orgSuffixLabels[0]);  // its own options' text
  ASSERT_EQ(clone->intranetCount, 1);
  EXPECT_NE(clone->intranet[0], source->intranet[0]);
  EXPECT_EQ(clone->intranet[0]->partCount, 3);
  EXPECT_STREQ(clone->intranet[0]->parts + 3, "1");
  ASSERT_EQ(clone->adViewCount, 1);
  EXPECT_STREQ(clone->adViews[0]->firstWords, "ADS");
  ASSERT_NE(clone->templ.TopTablesPtr, nullptr);
  EXPECT_NE(clone->templ.TopTablesPtr, source->templ.TopTablesPtr);
  // Freed apart: the source stays whole after the clone is gone.
  FreeReportContext(target);
  EXPECT_EQ(target->database, nullptr);
  EXPECT_STREQ(source->options->texts[kOptOthers], "Others");
  EXPECT_STREQ(source->intranet[0]->texts[1], "Our Lab");
  std::free(target);
}

TEST(AnalysisContextLists, AdViewWordsAreBounded) {
  AnalysisContext context{};
  const std::string many = "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda";
  ASSERT_EQ(AddAdViewEntry(&context, std::string(150, 'n').c_str(), many.c_str(), "  go  "), 1);
  const AdViewEntry* entry = context.adViews[0];
  EXPECT_EQ(std::strlen(entry->name), sizeof entry->name - 1);
  EXPECT_EQ(entry->secondCount, 1);
  EXPECT_STREQ(entry->secondWords, "GO");
  // Words are laid end to end within 50 bytes; those that do not fit are left out.
  size_t used = 0;
  for (uint16_t i = 0; i < entry->firstCount; ++i) used += std::strlen(entry->firstWords + used) + 1;
  EXPECT_LE(used, sizeof entry->firstWords);
  EXPECT_GE(entry->firstCount, 8);
  EXPECT_STREQ(entry->firstWords, "ALPHA");
  std::free(context.adViews[0]);
  std::free(context.adViews);
}

TEST(AnalysisContextLists, IntranetAddressParts) {
  char text[] = "10.20.*";
  EXPECT_EQ(ParseIntranetAddress(text), 3);
  IntranetEntry entry{};
  ASSERT_EQ(CopyIntranetAddress(&entry, text, 3), 1);
  EXPECT_EQ(std::memcmp(entry.parts, "10\0" "20\0*", 8), 0);
  std::free(entry.parts);
  char empty[] = "";
  EXPECT_EQ(ParseIntranetAddress(empty), 0);
}

}  // namespace
}  // namespace vrn
