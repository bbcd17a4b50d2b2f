// Hit accumulation: what one hit changes in the analysis database.
#include "engine/database/hit_accumulation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/database/accum_testutil.h"
#include "engine/database/finishing.h"
#include "engine/database/item_tables.h"
#include "engine/database/org_lookup.h"

namespace vrn {
namespace {

using accumtest::TestHit;
using accumtest::Wall;

const uint32_t kDay = Wall(2026, 3, 2, 0, 0, 0);  // a Monday

class AccumulationTest : public accumtest::ContextFixture {
 protected:
  AnalysisContext* Make(const std::string& defaults = "", const std::string& homePage = "http://www.site.com/index.htm") {
    context_ = MakeContext(defaults, homePage);
    EXPECT_NE(context_, nullptr);
    return context_;
  }
  int Add(TestHit& hit) { return AddHitToDatabase(run_, hit.get()); }
  SummaryTableEntry* Table(uint32_t n) { return &context_->templ.TopTablesPtr[n]; }
  // The item of that name in table n, or null.
  NameTableEntry* Item(uint32_t n, const char* name) {
    uint32_t position = 0;
    SummaryTableEntry* table = Table(n);
    if (table->Count == 0 || FindItemPosition(name, table, 0, &position) != 1) return nullptr;
    return table->ItemBlock[table->SortIndex[position]];
  }
  std::vector<std::string> Names(uint32_t n) {
    std::vector<std::string> names;
    SummaryTableEntry* table = Table(n);
    for (uint32_t i = 0; i < table->Count; ++i) names.push_back(table->ItemBlock[table->SortIndex[i]]->String);
    return names;
  }
  NameTableEntry* Visit(const char* host) {
    SummaryTableEntry* sessions = context_->templ.TopUsersPtr;
    uint32_t position = 0;
    if (FindItemPosition(host, sessions, 0, &position) != 1) return nullptr;
    return sessions->ItemBlock[sessions->SortIndex[position]];
  }
  static void OnlyTables(std::initializer_list<int> tables) {
    ResetSectionTable(0);
    for (int t : tables) MarkTableUsed(t);
  }

  AnalysisContext* context_ = nullptr;
};

TEST_F(AccumulationTest, NoContextRefusesTheHit) {
  TestHit hit(kDay + 10, "a.example.com", "/index.htm");
  EXPECT_EQ(AddHitToDatabase(run_, hit.get()), 0);
  EXPECT_EQ(AddHitToDatabase(nullptr, hit.get()), 0);
}

TEST_F(AccumulationTest, VisitsDocumentsAndEntryPages) {
  Make();
  TestHit first(kDay + 3600, "a.example.com", "/index.htm", 200, kMethodGet, 1000);
  TestHit second(kDay + 3660, "a.example.com", "/about.htm", 200, kMethodGet, 500);
  TestHit again(kDay + 3700, "a.example.com", "/index.htm", 200, kMethodGet, 1000);
  TestHit other(kDay + 3800, "b.example.org", "/about.htm", 200, kMethodGet, 500);
  for (TestHit* h : {&first, &second, &again, &other}) ASSERT_EQ(Add(*h), 1);

  const TemplateRecord& t = context_->templ;
  EXPECT_EQ(t.TodaysUsers, 2u);
  EXPECT_EQ(t.TodaysHits, 4u);
  EXPECT_EQ(t.DocumentHits, 4u);
  EXPECT_EQ(context_->templ.TopUsersPtr->Count, 3u);  // the catch-all item and two visits

  NameTableEntry* index = Item(kTopDocuments, "http://www.site.com/index.htm");
  ASSERT_NE(index, nullptr);
  EXPECT_EQ(index->TotalByHits, 2u);
  EXPECT_EQ(index->TotalByUsers, 1u);  // the same visit touched it twice
  NameTableEntry* about = Item(kTopDocuments, "http://www.site.com/about.htm");
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->TotalByUsers, 2u);
  // Time on pages: 60 s on index before about, 40 s on about before index.
  EXPECT_EQ(index->TimeOnPages, 60u);
  EXPECT_EQ(about->TimeOnPages, 40u);
  // Entry pages: one per visit.
  EXPECT_EQ(Names(kTopEntry), (std::vector<std::string>{"http://www.site.com/about.htm", "http://www.site.com/index.htm"}));
  EXPECT_EQ(Item(kTopEntry, "http://www.site.com/index.htm")->TotalByUsers, 1u);
  // Hosts counted with their visitor once.
  EXPECT_EQ(Item(kTopUsers, "a.example.com")->TotalByHits, 3u);
  EXPECT_EQ(Item(kTopUsers, "a.example.com")->TotalByUsers, 1u);
  // Trail of the first visit: index, about, index.
  NameTableEntry* visit = Visit("a.example.com");
  ASSERT_NE(visit, nullptr);
  ASSERT_NE(visit->TopNames, nullptr);
  EXPECT_EQ(visit->Lists()[kListTrail].count, 3);
  EXPECT_EQ(visit->TotalByHits, 3u);
  EXPECT_DOUBLE_EQ(visit->TotalBytes, 2500.0);
  // Per-slot counters: one grid slot per hour of the day.
  EXPECT_EQ(context_->secondsPerSlot, 3600u);
  EXPECT_EQ(t.SlotHits[1], 4u);
  EXPECT_EQ(t.SlotUsers[1], 2u);
  EXPECT_DOUBLE_EQ(t.SlotBytes[1], 3000.0);
}

TEST_F(AccumulationTest, FailedHitsCountNoUsers) {
  Make();
  OnlyTables({kTopClientErrors, kTopUsers, kTopDocuments});
  TestHit missing(kDay + 10, "a.example.com", "/gone.htm", 404);
  TestHit broken(kDay + 20, "a.example.com", "/cgi", 500);
  TestHit odd(kDay + 30, "a.example.com", "/x", 418);
  for (TestHit* h : {&missing, &broken, &odd}) ASSERT_EQ(Add(*h), 1);
  const TemplateRecord& t = context_->templ;
  EXPECT_EQ(t.TodaysUsers, 0u);
  EXPECT_EQ(t.TodaysHits, 0u);
  EXPECT_EQ(t.SlotFailed[0], 3u);
  EXPECT_EQ(t.Failed404, 1u);
  EXPECT_EQ(t.Failed500, 0u);  // the server error table is not used
  EXPECT_EQ(Table(kTopUsers)->Count, 0u);
  EXPECT_EQ(Table(kTopDocuments)->Count, 0u);
  EXPECT_EQ(Names(kTopClientErrors), (std::vector<std::string>{"404 Page or File Not Found", "418 Incomplete / Undefined",
                                                               "500 Incomplete / Undefined"}));
  for (const char* name : {"404 Page or File Not Found", "500 Incomplete / Undefined"}) {
    EXPECT_EQ(Item(kTopClientErrors, name)->TotalByUsers, 0u) << name;
  }
  // With the server error table used, 500 goes there under its own text.
  MarkTableUsed(kTopServerErrors);
  TestHit again(kDay + 40, "a.example.com", "/cgi", 503);
  ASSERT_EQ(Add(again), 1);
  EXPECT_EQ(t.Failed503, 1u);
  EXPECT_NE(Item(kTopServerErrors, "503 Gateway Timeout"), nullptr);
}

TEST_F(AccumulationTest, LogKindsAreNotMixed) {
  Make();
  OnlyTables({});
  TestHit referrer(kDay + 10, "a.example.com", "", 200);
  referrer.hit.FormatCode = 7;
  referrer.referrer = "http://links.example.net/list.htm";
  TestHit agent(kDay + 20, "b.example.com", "", 200);
  agent.hit.FormatCode = 8;
  agent.agent = "Mozilla/4.0 (compatible; MSIE 4.01; Windows 95)";
  ASSERT_EQ(Add(referrer), 1);
  EXPECT_EQ(context_->logKind, 7);
  EXPECT_TRUE(IsTableUsed(kTopReferers));
  EXPECT_TRUE(IsTableUsed(kTopReferingSites));
  ASSERT_EQ(Add(agent), 1);  // dropped
  EXPECT_FALSE(IsTableUsed(kTopBrowsers));
  EXPECT_EQ(context_->templ.TodaysHits, 1u);
  EXPECT_NE(Item(kTopReferers, "http://links.example.net/list.htm"), nullptr);
  EXPECT_NE(Item(kTopReferingSites, "http://links.example.net/"), nullptr);
}

TEST_F(AccumulationTest, FormThatIsADocumentCountsItsPageOnce) {
  Make("DocumentTypes=htm {cgi,2}\n");
  TestHit page(kDay + 100, "a.example.com", "/index.htm");
  TestHit form(kDay + 160, "a.example.com", "/search.cgi?q=1", 200, kMethodGet);
  TestHit post(kDay + 200, "a.example.com", "/send.pl", 200, kMethodPost);
  for (TestHit* h : {&page, &form, &post}) ASSERT_EQ(Add(*h), 1);
  const TemplateRecord& t = context_->templ;
  EXPECT_EQ(t.FormHits, 2u);
  EXPECT_EQ(t.DocumentHits, 2u);  // index and the cgi form
  EXPECT_NE(Item(kTopForms, "http://www.site.com/search.cgi"), nullptr);
  EXPECT_NE(Item(kTopForms, "http://www.site.com/send.pl"), nullptr);
  NameTableEntry* visit = Visit("a.example.com");
  ASSERT_NE(visit, nullptr);
  // Trail: index (document), search.cgi (document), send.pl (form): each once.
  ASSERT_EQ(visit->Lists()[kListTrail].count, 3);
  EXPECT_EQ(visit->Lists()[kListTrail].trail[2] >> 16, 1u);
  EXPECT_EQ(visit->TimeOnPagesCount, 2u);
  EXPECT_EQ(visit->TimeOnPages, 100u);
  EXPECT_EQ(visit->LastPageWasForm, 1u);
  EXPECT_EQ(Names(kTopFormErrors), (std::vector<std::string>{"Successful Forms Submitted"}));
  TestHit failed(kDay + 300, "a.example.com", "/send.pl", 500, kMethodPost);
  ASSERT_EQ(Add(failed), 1);
  EXPECT_EQ(t.FailedFormHits, 1u);
  EXPECT_NE(Item(kTopFormErrors, "Failed Forms Submitted"), nullptr);
}

TEST_F(AccumulationTest, HoursAndWeekdaysListEveryName) {
  Make();
  TestHit hit(kDay + 13 * 3600 + 5, "a.example.com", "/index.htm");
  ASSERT_EQ(Add(hit), 1);
  ASSERT_EQ(Table(kTopHours)->Count, 24u);
  EXPECT_EQ(Item(kTopHours, "13:00-13:59")->TotalByHits, 1u);
  EXPECT_EQ(Item(kTopHours, "00:00-00:59")->TotalByHits, 0u);
  ASSERT_EQ(Table(kTopWeekdays)->Count, 7u);
  EXPECT_EQ(Item(kTopWeekdays, "Mon")->TotalByUsers, 1u);
}

TEST_F(AccumulationTest, VisitsEndAfterTheIdleTimeUnlessItIsZero) {
  for (const char* cached : {"CachedTime=0\n", "CachedTime=600\n"}) {
    SCOPED_TRACE(cached);
    FreeReportContext(run_);
    Make(cached);
    TestHit early(kDay + 10, "a.example.com", "/index.htm");
    TestHit late(kDay + 10 * 3600, "a.example.com", "/index.htm");
    ASSERT_EQ(Add(early), 1);
    ASSERT_EQ(Add(late), 1);
    const bool never = std::strcmp(cached, "CachedTime=0\n") == 0;
    EXPECT_EQ(context_->templ.TodaysUsers, never ? 1u : 2u);
    EXPECT_EQ(Item(kTopDocuments, "http://www.site.com/index.htm")->TotalByUsers, never ? 1u : 2u);
    // With an idle time the table holds its catch-all item and the new visit.
    EXPECT_EQ(context_->templ.TopUsersPtr->Count, never ? 1u : 2u);
  }
}

TEST_F(AccumulationTest, AgentsReferrersAndUsers) {
  Make();
  struct Case {
    const char* agent;
    const char* browser;
    const char* version;     // in table 33 or 34, or null
    const char* platform;
    const char* robot;       // or null
  };
  const Case cases[] = {
      {"Mozilla/4.05 [en] (Win95; I)", "Netscape", "Netscape 4.x", "Windows 95", nullptr},
      {"Mozilla/4.0 (compatible; MSIE 5.5; Windows NT)", "Microsoft Internet Explorer", "Explorer 5.x", "Windows NT",
       nullptr},
      {"Lynx/2.8  libwww", "Lynx", nullptr, "Others", nullptr},
      {"Slurp/2.0 (crawler)", "Slurp/2.0 (crawler)", nullptr, "Others", "Slurp"},
      {"Mozilla/5.0 (compatible; Googlish Spider)", "Other Netscape Compatible", nullptr, "Others",
       "Mozilla/5.0 (compatible; Googlish Spider)"},
      {"", "Others", nullptr, "Others", nullptr},
  };
  uint32_t second = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.agent);
    ++second;
    TestHit hit(kDay + second, "h" + std::to_string(second) + ".example.com", "/index.htm");
    hit.agent = c.agent;
    ASSERT_EQ(Add(hit), 1);
    ASSERT_NE(Item(kTopBrowsers, c.browser), nullptr);
    if (c.version != nullptr) {
      EXPECT_NE(Item(std::strncmp(c.version, "Netscape", 8) == 0 ? kTopNetscape : kTopExplorer, c.version), nullptr);
    }
    EXPECT_NE(Item(kTopPlatforms, c.platform), nullptr);
    if (c.robot != nullptr) {
      EXPECT_NE(Item(kTopSpiders, c.robot), nullptr);
    }
  }
  EXPECT_EQ(Table(kTopSpiders)->Count, 2u);

  TestHit ref(kDay + 100, "r.example.com", "/index.htm");
  ref.referrer = "http://www.finder.com:8080/find?q=" + std::string(60, 'w');
  ref.user = "alice";
  ASSERT_EQ(Add(ref), 1);
  EXPECT_NE(Item(kTopReferers, ("http://www.finder.com:8080/find?q=" + std::string(33, 'w')).c_str()), nullptr);
  EXPECT_NE(Item(kTopReferingSites, "http://www.finder.com/"), nullptr);
  EXPECT_NE(Item(kTopReferers, "No Referrer"), nullptr);
  EXPECT_EQ(Item(kTopAuthUsers, "alice")->TotalByUsers, 1u);
}

// An agent text met again names the same items as the first time, and the
// "Others" text is the one of the report being run, whichever report met
// the agent first.
TEST_F(AccumulationTest, AgentsMetAgainCountAlikeUnderTheOthersTextInForce) {
  const std::string longAgent = "Fetcher/1.0 (" + std::string(90, 'x') + " crawler)";  // robot word past 99
  struct Case {
    const char* host;
    std::string agent;
  };
  const Case cases[] = {
      {"a.example.com", "Mozilla/4.05 [en] (Win95; I)"},
      {"b.example.com", "Mozilla/4.05 [en] (Win95; I)"},
      {"b.example.com", "Mozilla/4.05 [en] (Win95; I)  extra"},  // cut at the double blank
      {"c.example.com", "Mozilla/4.0 (compatible; MSIE 4.01; Windows NT)"},
      {"d.example.com", "Mozilla/4.0 (compatible; MSIE 4.01; Windows NT)"},
      {"e.example.com", "Slurp/2.0 (crawler)"},
      {"f.example.com", "Slurp/2.0 (crawler)"},
      {"g.example.com", longAgent},
      {"h.example.com", ""},
  };
  const char* const othersTexts[] = {"Others", "Everything else"};
  for (const char* others : othersTexts) {
    SCOPED_TRACE(others);
    Make();
    char* const stored = context_->options->texts[kOptOthers];
    context_->options->texts[kOptOthers] = const_cast<char*>(others);
    uint32_t second = 0;
    for (const Case& c : cases) {
      TestHit hit(kDay + ++second, c.host, "/index.htm");
      hit.agent = c.agent;
      ASSERT_EQ(Add(hit), 1);
    }
    struct Expect {
      uint32_t table;
      const char* name;
      uint32_t hits;
      uint32_t users;
    };
    const Expect expected[] = {
        {kTopBrowsers, "Netscape", 3, 2},
        {kTopNetscape, "Netscape 4.x", 3, 2},
        {kTopBrowsers, "Microsoft Internet Explorer", 2, 2},
        {kTopExplorer, "Explorer 4.x", 2, 2},
        {kTopPlatforms, "Windows 95", 3, 2},
        {kTopPlatforms, "Windows NT", 2, 2},
        {kTopBrowsers, "Slurp/2.0 (crawler)", 2, 2},
        {kTopSpiders, "Slurp", 2, 2},
        {kTopBrowsers, longAgent.c_str(), 1, 1},
        {kTopBrowsers, others, 1, 1},
        {kTopPlatforms, others, 4, 4},
    };
    for (const Expect& e : expected) {
      SCOPED_TRACE(e.name);
      NameTableEntry* item = Item(e.table, e.name);
      ASSERT_NE(item, nullptr);
      EXPECT_EQ(item->TotalByHits, e.hits);
      EXPECT_EQ(item->TotalByUsers, e.users);
    }
    EXPECT_EQ(Table(kTopSpiders)->Count, 1u);  // the long agent's robot word lies past what is looked at
    context_->options->texts[kOptOthers] = stored;
    FreeReportContext(run_);
  }
}

TEST_F(AccumulationTest, OrganisationsAndGeography) {
  WriteEngineFile("COMPANY.SML", ScrambleOrgText("acme.com,acme widgets,springfield,il,US\n"
                                                 "bank.ch,bank ag,zurich,,CH\n"));
  Make();
  TestHit home(kDay + 10, "www.acme.com", "/index.htm");
  TestHit abroad(kDay + 20, "gw.bank.ch", "/index.htm");
  TestHit unknown(kDay + 30, "10.1.2.3", "/index.htm");
  std::snprintf(unknown.hit.Domain, sizeof unknown.hit.Domain, "10.1.2.3");
  TestHit edu(kDay + 40, "x.uni.edu", "/index.htm");
  for (TestHit* h : {&home, &abroad, &unknown, &edu}) ASSERT_EQ(Add(*h), 1);
  const TemplateRecord& t = context_->templ;
  EXPECT_EQ(t.SlotDomestic[0], 2u);       // acme (US) and uni.edu (US domain)
  EXPECT_EQ(t.SlotInternational[0], 1u);  // bank.ch
  EXPECT_EQ(t.SlotUnknownCountry[0], 1u);
  EXPECT_EQ(Names(kTopCountries), (std::vector<std::string>{"CH", "US"}));
  EXPECT_NE(Item(kTopCities, "Springfield, Illinois, United States"), nullptr);
  EXPECT_EQ(Table(kTopCities)->Count, 1u);  // the foreign city is not listed
  EXPECT_NE(Item(kTopStates, "Il"), nullptr);
  EXPECT_NE(Item(kTopVisitors, "US"), nullptr);
  EXPECT_NE(Item(kTopVisitors, "International"), nullptr);
  EXPECT_NE(Item(kTopVisitors, "Unknown"), nullptr);
  EXPECT_NE(Item(kTopSuffixes, "Company (.com)"), nullptr);
  EXPECT_NE(Item(kTopSuffixes, "Education (.edu)"), nullptr);
  EXPECT_NE(Item(kTopCompanies, "acme.com"), nullptr);
  EXPECT_NE(Item(kTopCompanies, "bank.ch"), nullptr);
}

TEST_F(AccumulationTest, PagesDirectoriesTypesAndDownloads) {
  Make();
  TestHit folder(kDay + 1, "a.example.com", "/docs/");
  TestHit zip(kDay + 2, "a.example.com", "/files/tool.zip", 200, kMethodGet, 4000);
  TestHit cached(kDay + 3, "a.example.com", "/files/tool.zip", 304, kMethodGet, 0);
  TestHit put(kDay + 4, "a.example.com", "/incoming/up.txt", 200, kMethodPut, 50);
  for (TestHit* h : {&folder, &zip, &cached, &put}) ASSERT_EQ(Add(*h), 1);
  EXPECT_NE(Item(kTopDocuments, "http://www.site.com/docs/index.htm"), nullptr);
  NameTableEntry* download = Item(kTopDownloads, "http://www.site.com/files/tool.zip");
  ASSERT_NE(download, nullptr);
  EXPECT_EQ(download->TotalByHits, 2u);
  EXPECT_EQ(download->TotalByUsers, 1u);
  EXPECT_NE(Item(kTopUploads, "http://www.site.com/incoming/up.txt"), nullptr);
  EXPECT_EQ(Item(kTopExtensions, "zip")->TotalByHits, 1u);  // nothing for the 304
  EXPECT_DOUBLE_EQ(Item(kTopExtensions, "zip")->TotalBytes, 4000.0);
  EXPECT_EQ(Item(kTopExtensions, "txt"), nullptr);  // uploads have no file type
  NameTableEntry* files = Item(kTopDirectory, "http://www.site.com/files/");
  ASSERT_NE(files, nullptr);
  EXPECT_EQ(files->TotalByHits, 2u);
  EXPECT_EQ(files->NonCachedTotalByHits, 1u);
  EXPECT_NE(Item(kTopDirectory, "http://www.site.com/docs/"), nullptr);
  EXPECT_EQ(context_->templ.SlotNotModified[0], 1u);
  EXPECT_EQ(Item(kTopBandwidth, " ")->TotalByHits, 3u);
}

TEST_F(AccumulationTest, OlderTableSetLeavesMissingTablesAlone) {
  Make();
  context_->templ.TopTablesCount = 36;  // as loaded from an older database
  TestHit hit(kDay + 10, "a.example.com", "/index.htm");
  hit.user = "alice";
  ASSERT_EQ(Add(hit), 1);
  EXPECT_EQ(Table(kTopAuthUsers)->Count, 0u);
  EXPECT_EQ(Table(kTopHours)->Count, 24u);
  context_->templ.TopTablesCount = 41;
}

TEST_F(AccumulationTest, HomePageHits) {
  Make();
  struct Case {
    const char* url;
    uint16_t format;
    const char* server;
    uint32_t override;
    bool home;
  };
  const Case cases[] = {
      {"/", 1, "", 0, true},
      {"/index.htm", 1, "", 0, true},
      {"/INDEX.HTM", 1, "", 0, true},
      {"/docs/index.htm", 1, "", 0, false},
      {"/index.htm", 1, "other.example.com", 0, false},
      {"/index.htm", 1, "other.example.com", 1, true},
      {"/index.htm?lang=de", 3, "other.example.com", 0, true},
      {"//index.html", 3, "", 0, true},
      {"/about.htm", 3, "", 0, false},
  };
  uint32_t counted = 0;
  uint32_t second = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    TestHit hit(kDay + ++second, "a.example.com", c.url);
    hit.hit.FormatCode = c.format;
    std::snprintf(hit.hit.Server, sizeof hit.hit.Server, "%s", c.server);
    run_->overrideMultiHome = c.override;
    ASSERT_EQ(Add(hit), 1);
    if (c.home) ++counted;
    EXPECT_EQ(context_->templ.SlotHomePageHits[0], counted);
  }
  run_->overrideMultiHome = 0;
}

TEST(BuildPageName, BasesPathsAndDefaultDocuments) {
  AnalysisContext context{};
  std::snprintf(context.homePageFolder, sizeof context.homePageFolder, "http://www.site.com");
  std::snprintf(context.homePageFileName, sizeof context.homePageFileName, "default.htm");
  struct Case {
    const char* server;
    const char* url;
    int ftp;
    const char* page;
    const char* part;
    const char* extension;
  };
  const Case cases[] = {
      {"", "/a/b.html", 0, "http://www.site.com/a/b.html", "/a/b.html", "html"},
      {"srv.example.com", "/a/b.html", 0, "http://srv.example.com/a/b.html", "/a/b.html", "html"},
      {"", "/dir.v2/", 0, "http://www.site.com/dir.v2/default.htm", "/dir.v2/default.htm", "htm"},
      {"", "/dir.v2/page", 0, "http://www.site.com/dir.v2/page/default.htm", "/dir.v2/page/default.htm", "htm"},
      {"", "/s.cgi?a=b.c", 0, "http://www.site.com/s.cgi?a=b.c", "/s.cgi?a=b.c", "cgi?a=b.c"},
      {"", "/find?x=1", 0, "http://www.site.com/find?x=1", "/find?x=1", ""},
      {"ftp.example.com", "pub/f.tar", 1, "ftp://ftp.example.com/pub/f.tar", "/pub/f.tar", "tar"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    accumtest::TestHit hit(0, "h", c.url);
    std::snprintf(hit.hit.Server, sizeof hit.hit.Server, "%s", c.server);
    const char* part = nullptr;
    const char* extension = nullptr;
    EXPECT_STREQ(BuildPageName(nullptr, &context, hit.get(), c.ftp, &part, &extension), c.page);
    EXPECT_STREQ(part, c.part);
    EXPECT_STREQ(extension, c.extension);
  }
  // A very long path is cut, never overrunning the page buffer.
  accumtest::TestHit longHit(0, "h", "/" + std::string(5000, 'p'));
  const char* page = BuildPageName(nullptr, &context, longHit.get(), 0, nullptr, nullptr);
  EXPECT_LT(std::strlen(page), 600u);
}

TEST(MatchFileType, NumbersAndQueries) {
  FileType plain{"htm", 0};
  FileType query{"cgi", 1};
  FileType any{"asp", 2};
  EXPECT_EQ(MatchFileType("HTM", &plain), 1);
  EXPECT_EQ(MatchFileType("htm?x", &plain), 0);
  EXPECT_EQ(MatchFileType("cgi", &query), 0);
  EXPECT_EQ(MatchFileType("cgi?x=1", &query), 1);
  EXPECT_EQ(MatchFileType("asp", &any), 1);
  EXPECT_EQ(MatchFileType("asp?y", &any), 1);
  EXPECT_EQ(MatchFileType("html", &plain), 0);
}

TEST(MapHostToDomain, LabelPatterns) {
  char texts[5][16] = {"Intranet", "o", "c", "s", "k"};
  char parts[] = "10\0*1\0web*\0*";
  IntranetEntry entry{};
  for (int i = 0; i < 5; ++i) entry.texts[i] = texts[i];
  entry.partCount = 4;
  entry.parts = parts;
  IntranetEntry* list[1] = {&entry};
  AnalysisContext context{};
  context.intranet = list;
  context.intranetCount = 1;
  const std::pair<const char*, int> cases[] = {
      {"10.21.WEB3.x", 1}, {"10.1.web.anything", 1}, {"10.21.we.x", 0}, {"11.21.web.x", 0}, {"10.21.web", 0},
      {"10.2.web.x", 0},   {"10.21.web.x.y", 0},
  };
  for (const auto& [host, matched] : cases) {
    char domain[60] = "before";
    EXPECT_EQ(MapHostToDomain(&context, host, domain), matched) << host;
    EXPECT_STREQ(domain, matched ? "Intranet" : "before") << host;
  }
}

TEST(FormatStatusText, OnlyOneNumberIsFormatted) {
  const std::pair<const char*, const char*> cases[] = {
      {"%03d Incomplete / Undefined", "042 Incomplete / Undefined"},
      {"Status %d (%d)", "Status 42 (%d)"},
      {"%s %n %x 100%% %5i", "%s %n %x 100%    42"},
      {"no number", "no number"},
      {"trailing %", "trailing %"},
  };
  for (const auto& [format, text] : cases) {
    char out[64];
    FormatStatusText(out, sizeof out, format, 42);
    EXPECT_STREQ(out, text) << format;
  }
  char tiny[4];
  FormatStatusText(tiny, sizeof tiny, "%d long", 12345);
  EXPECT_STREQ(tiny, "123");
}

TEST(TimeOnPage, AddsToVisitAndPreviousPage) {
  SummaryTableEntry tables[kItemTableCount] = {};
  NameTableEntry page{};
  NameTableEntry* items[1] = {&page};
  tables[kTopDocuments].ItemBlock = items;
  tables[kTopDocuments].Count = 1;
  NameTableEntry visit{};
  EXPECT_EQ(TimeOnPage(nullptr, tables, 0, &visit, 0, 1000), 0);
  EXPECT_EQ(visit.LastPageTime, 1000u);
  EXPECT_EQ(TimeOnPage(nullptr, tables, 1, &visit, 0, 1030), 1);
  EXPECT_EQ(visit.TimeOnPages, 30u);
  EXPECT_EQ(page.TimeOnPages, 30u);
  EXPECT_EQ(visit.LastPageWasForm, 1u);
  // A hit older than the last page adds nothing and keeps the later time.
  EXPECT_EQ(TimeOnPage(nullptr, tables, 0, &visit, 0, 900), 1);
  EXPECT_EQ(visit.TimeOnPages, 30u);
  EXPECT_EQ(visit.LastPageTime, 1030u);
}

}  // namespace
}  // namespace vrn
