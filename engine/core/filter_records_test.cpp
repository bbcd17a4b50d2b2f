// Filter records: lists and their text form, status codes, days, new
// filters, copying and linking, filter sections, the credential scrambler.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <vornic/filter.h>
#include <vornic/profile.h>
#include <vornic/registration.h>

#include "engine/core/filter_records.h"
#include "engine/core/profile_test_support.h"
#include "engine/core/profile_text.h"

namespace {

std::vector<std::string> Items(const FilterString* list) {
  std::vector<std::string> v;
  for (; list != nullptr; list = list->Next) v.emplace_back(list->Text);
  return v;
}

std::vector<std::string> Parse(const char* text, int split) {
  FilterString* list = reinterpret_cast<FilterString*>(0x1);  // must be replaced
  FilterStringToStruct(text, &list, split);
  std::vector<std::string> v = Items(list);
  FreeFilterStrings(list);
  return v;
}

using V = std::vector<std::string>;

TEST(FilterListTest, ParsesSplitAndWholeText) {
  const struct {
    const char* text;
    int split;
    V expected;
  } cases[] = {
      {"a, b \"c d\" 'e\"f'", 1, {"a", "b", "c d", "e\"f"}},
      {",, a,,b  ", 1, {"a", "b"}},
      {"\"unterminated item", 1, {"unterminated item"}},
      {"\"\" '' x", 1, {"x"}},
      {"", 1, {}},
      {"  \"quoted whole\"", 0, {"quoted whole"}},
      {"  'a b' c", 0, {"'a b' c"}},
      {"\"", 0, {"\""}},
      {"\"\"", 0, {}},
      {"   ", 0, {}},
      {"(No Referrer)", 0, {"(No Referrer)"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Parse(c.text, c.split), c.expected) << c.text;

  FilterString* untouched = reinterpret_cast<FilterString*>(0x1);
  FilterStringToStruct(nullptr, &untouched, 1);
  EXPECT_EQ(untouched, reinterpret_cast<FilterString*>(0x1));
}

TEST(FilterListTest, WritesItemsSoThatTheyReadBackTheSame) {
  const V lists[] = {
      {"a", "b", "c d", "e\"f"},
      {"x,y", "it's here", "say \"hi\""},
      {"\"lead", "'lead", "plain"},  // items that begin with a quote
      {"*"},
  };
  for (const V& items : lists) {
    FilterString* list = nullptr;
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
      auto* n = static_cast<FilterString*>(calloc(1, sizeof(FilterString)));
      n->Text = strdup(it->c_str());
      n->Next = list;
      list = n;
    }
    char text[400];
    FilterStructToString(list, text, sizeof text);
    EXPECT_EQ(Parse(text, 1), items) << text;
    FreeFilterStrings(list);
  }

  FilterString* list = nullptr;
  FilterStringToStruct("a b \"c d\" 'e\"f'", &list, 1);
  char text[400];
  FilterStructToString(list, text, sizeof text);
  EXPECT_STREQ(text, "a b \"c d\" e\"f");
  // Items that do not fit are left out; the text stays bounded.
  char small[8];
  FilterStructToString(list, small, sizeof small);
  EXPECT_STREQ(small, "a b");
  FreeFilterStrings(list);
}

TEST(FilterListTest, DefaultLists) {
  FilterString* star = nullptr;
  FilterStringToStruct("*", &star, 0);
  FilterString* two = nullptr;
  FilterStringToStruct("* x", &two, 1);
  EXPECT_TRUE(IsDefaultFilterList(star, "*", 1));
  EXPECT_FALSE(IsDefaultFilterList(two, "*", 1));
  EXPECT_FALSE(IsDefaultFilterList(nullptr, "*", 1));
  EXPECT_TRUE(IsDefaultFilterList(nullptr, "*", 0));
  EXPECT_FALSE(IsDefaultFilterList(star, "*", 0));
  FreeFilterStrings(star);
  FreeFilterStrings(two);
}

TEST(FilterCodesTest, ParsesAndWritesStatusCodes) {
  const struct {
    const char* text;
    std::vector<uint32_t> codes;
    const char* written;
  } cases[] = {
      {"200 404", {200, 404}, "200 404"},
      {"200, 404 *", {FILTER_ALL_CODES}, "*"},
      {"200 abc 404", {200, 0, 404}, "200"},
      {" ,,301,302", {301, 302}, "301 302"},
      {"", {}, ""},
  };
  for (const auto& c : cases) {
    FilterRecord f{};
    f.ReturnCodes[5] = 99;
    ReturnCodeStringToStruct(c.text, &f);
    for (size_t i = 0; i < FILTER_CODE_COUNT; ++i) {
      EXPECT_EQ(f.ReturnCodes[i], i < c.codes.size() ? c.codes[i] : 0u) << c.text << " at " << i;
    }
    char out[400];
    ReturnCodeStructToString(&f, out, sizeof out);
    EXPECT_STREQ(out, c.written) << c.text;
  }
  // At most 23 codes; the last entry stays the end mark.
  std::string many;
  for (int i = 0; i < 30; ++i) many += std::to_string(100 + i) + " ";
  FilterRecord f{};
  ReturnCodeStringToStruct(many.c_str(), &f);
  EXPECT_EQ(f.ReturnCodes[22], 122u);
  EXPECT_EQ(f.ReturnCodes[23], 0u);
  char small[10];
  ReturnCodeStructToString(&f, small, sizeof small);
  EXPECT_STREQ(small, "100 101");
}

TEST(FilterDaysTest, MaskAndText) {
  EXPECT_EQ(DaysStringToMask("1 3 5"), 42u);
  EXPECT_EQ(DaysStringToMask("7 8 9"), 0u);
  EXPECT_EQ(DaysStringToMask("0,6*"), 127u);
  EXPECT_EQ(DaysStringToMask(""), 0u);
  EXPECT_EQ(DaysStringToMask(nullptr), 0u);
  const struct {
    uint32_t mask;
    const char* text;
  } cases[] = {{42, "1 3 5"}, {64, "6"}, {127, "*"}, {0, ""}, {1, "0"}};
  for (const auto& c : cases) {
    char out[15];
    DaysMaskToString(c.mask, out, sizeof out);
    EXPECT_STREQ(out, c.text);
  }
  char tooSmall[14] = "unchanged";
  DaysMaskToString(42, tooSmall, sizeof tooSmall);
  EXPECT_STREQ(tooSmall, "unchanged");
}

TEST(FilterRecordTest, NewFiltersHaveTheirDefaults) {
  FilterRecord* inc = CreateNewIncludeFilter();
  ASSERT_NE(inc, nullptr);
  EXPECT_EQ(inc->FilterType, 1u);
  EXPECT_EQ(inc->IncludeSubDirs, 1u);
  EXPECT_EQ(inc->ReturnCodes[0], FILTER_ALL_CODES);
  EXPECT_EQ(inc->Days, 127u);
  EXPECT_EQ(inc->HourAllNone, 1u);
  EXPECT_EQ(inc->HourBegin, 8u);
  EXPECT_EQ(inc->HourEnd, 17u);
  EXPECT_EQ(inc->dwFlags, 0u);
  EXPECT_EQ(Items(inc->Directory), V{"/"});
  EXPECT_EQ(Items(inc->Files), V{"*.*"});
  for (const FilterString* l : {inc->Users, inc->MultiHomeDomain, inc->Referrer, inc->AdView, inc->AdClick,
                                inc->Username, inc->Browser, inc->SearchKeywords}) {
    EXPECT_EQ(Items(l), V{"*"});
  }
  FilterRecord* exc = CreateNewExcludeFilter();
  ASSERT_NE(exc, nullptr);
  EXPECT_EQ(exc->FilterType, 2u);
  EXPECT_EQ(exc->Days, 0u);
  EXPECT_EQ(exc->ReturnCodes[0], 0u);
  EXPECT_EQ(exc->Users, nullptr);
  EXPECT_EQ(exc->HourEnd, 17u);
  FreeOneFilter(inc);
  FreeOneFilter(exc);
}

TEST(FilterRecordTest, CopyIsDeepAndNotLinked) {
  DravelEntry e{};
  FilterRecord* a = CreateNewIncludeFilter();
  FilterRecord* b = CreateNewExcludeFilter();
  AddFilterToProfile(a, &e, -1);
  AddFilterToProfile(b, &e, -1);
  ASSERT_EQ(a->Next, b);

  FilterRecord* copy = MakeCopyOfFilter(a);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->Next, nullptr);
  EXPECT_NE(copy->Users, a->Users);
  EXPECT_NE(copy->Users->Text, a->Users->Text);
  EXPECT_EQ(Items(copy->Files), Items(a->Files));
  // Freeing the copy leaves the source's list whole.
  FreeFilters(copy);
  EXPECT_EQ(Items(a->Users), V{"*"});
  EXPECT_EQ(a->Next, b);
  FreeFiltersForProfile(&e);
  EXPECT_EQ(e.Filters, nullptr);
}

TEST(FilterRecordTest, AddFilterToProfilePositions) {
  const struct {
    int32_t position;
    std::vector<std::string> order;
  } cases[] = {
      {-1, {"a", "b", "c", "new"}}, {0, {"new", "a", "b", "c"}}, {1, {"a", "new", "b", "c"}},
      {3, {"a", "b", "c", "new"}},  {9, {"a", "b", "c", "new"}},
  };
  for (const auto& c : cases) {
    DravelEntry e{};
    for (const char* n : {"a", "b", "c"}) {
      FilterRecord* f = AllocateBlankFilter();
      std::strcpy(f->Name, n);
      AddFilterToProfile(f, &e, -1);
    }
    FilterRecord* f = AllocateBlankFilter();
    std::strcpy(f->Name, "new");
    f->Next = e.Filters;  // a stale link must not survive
    AddFilterToProfile(f, &e, c.position);
    std::vector<std::string> order;
    for (FilterRecord* p = e.Filters; p != nullptr && order.size() < 10; p = p->Next) order.emplace_back(p->Name);
    EXPECT_EQ(order, c.order) << c.position;
    FreeFiltersForProfile(&e);
  }
  DravelEntry e{};
  AddFilterToProfile(nullptr, &e, 0);
  EXPECT_EQ(e.Filters, nullptr);
}

// Reads one filter section from a profile text.
FilterRecord* ReadSection(const std::string& body, bool* bad) {
  const std::string text = "[Profile]\r\n[[Filter1]]\r\n" + body;
  vrn::ProfileText t(text);
  return vrn::ReadFilterSection(t, "Filter1", bad);
}

TEST(FilterSectionTest, OlderFormReadsWithDocumentedDefaults) {
  const uint32_t includeBits =
      ENABLE_RETURNCODES | ENABLE_DIRECTORY | ENABLE_FILES | ENABLE_USERS | ENABLE_MULTIHOME | ENABLE_REFERRER;
  const struct {
    const char* body;
    uint32_t flags;
  } cases[] = {
      // An include filter with only its name and type.
      {"Name=bare\r\nFilterType=include\r\n", includeBits},
      // An exclude filter with only its name and type: no test, so default.
      {"Name=bare\r\nFilterType=Exclude\r\n", ENABLE_DEFAULT},
      // Contents decide each bit when the "Enabled" keys are absent.
      {"Name=x\r\nFilterType=include\r\nReturnCodes=*\r\nUsers=*\r\nMultiHomeDomain=*\r\nDirectory=/\r\n"
       "IncludeSubDirs=1\r\nFiles=*.*\r\nReferrer=*\r\nAdClick=/ads/*\r\nSearchKeywords=cheap\r\n"
       "HourAll/None=0\r\nDays=1 2 3 4 5\r\nUsername=bob\r\nBrowser=Mozilla*\r\n",
       ENABLE_ADS | ENABLE_SEARCHKEYWORDS | ENABLE_HOURS | ENABLE_DAYS | ENABLE_USERNAME | ENABLE_BROWSER},
      {"Name=x\r\nFilterType=exclude\r\nReturnCodes=404\r\nDirectory=/cgi-bin/\r\nAdView=*\r\n",
       ENABLE_RETURNCODES | ENABLE_DIRECTORY},
      // Explicit keys win; 0 and other values leave bits clear.
      {"Name=x\r\nFilterType=include\r\nReturnCodesEnabled=0\r\nUsersEnabled=0\r\nMultiHomeDomainEnabled=3\r\n"
       "DirectoryEnabled=0\r\nFilesEnabled=0\r\nReferrerEnabled=0\r\nHourEnabled=1\r\nDefaultOveride=1\r\n",
       ENABLE_HOURS | ENABLE_DEFAULT},
      {"Name=x\r\nFilterType=include\r\nReturnCodesEnabled=0\r\nUsersEnabled=0\r\nMultiHomeDomainEnabled=0\r\n"
       "DirectoryEnabled=0\r\nFilesEnabled=0\r\nReferrerEnabled=0\r\nDefaultOveride=0\r\n",
       0},
      {"Name=x\r\nFilterType=include\r\nReturnCodesEnabled=0\r\nUsersEnabled=0\r\nMultiHomeDomainEnabled=0\r\n"
       "DirectoryEnabled=0\r\nFilesEnabled=0\r\nReferrerEnabled=0\r\n",
       ENABLE_DEFAULT},
  };
  for (const auto& c : cases) {
    bool bad = true;
    FilterRecord* f = ReadSection(c.body, &bad);
    ASSERT_NE(f, nullptr) << c.body;
    EXPECT_FALSE(bad);
    EXPECT_EQ(f->dwFlags, c.flags) << c.body;
    FreeOneFilter(f);
  }

  bool bad = false;
  FilterRecord* f = ReadSection("Name=bare\r\nFilterType=include\r\n", &bad);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->Days, 127u);
  EXPECT_EQ(f->HourAllNone, 1u);
  EXPECT_EQ(f->HourBegin, 8u);
  EXPECT_EQ(f->HourEnd, 17u);
  EXPECT_EQ(f->IncludeSubDirs, 0u);
  EXPECT_EQ(f->ReturnCodes[0], 0u);
  EXPECT_EQ(Items(f->Username), V{"*"});
  EXPECT_EQ(Items(f->Browser), V{"*"});
  EXPECT_EQ(f->Users, nullptr);
  FreeOneFilter(f);
}

TEST(FilterSectionTest, ReferrerModes) {
  const struct {
    const char* body;
    V items;
  } cases[] = {
      {"Referrer=(No Referrer)\r\n", {"(No Referrer)"}},
      {"Referrer=(no referrer)\r\n", {"(no referrer)"}},
      {"Referrer=\"(No Referrer)\"\r\nReferrerEnabled=1\r\n", {"(No Referrer)"}},
      {"Referrer=(No Referrer)\r\nReferrerEnabled=1\r\n", {"(No", "Referrer)"}},
      {"Referrer=a.com b.com\r\n", {"a.com", "b.com"}},
  };
  for (const auto& c : cases) {
    bool bad = false;
    FilterRecord* f = ReadSection(std::string("Name=r\r\nFilterType=exclude\r\n") + c.body, &bad);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(Items(f->Referrer), c.items) << c.body;
    FreeOneFilter(f);
  }
}

TEST(FilterSectionTest, UnknownFilterTypeIsRefused) {
  for (const char* body : {"Name=x\r\nFilterType=maybe\r\n", "Name=x\r\n", "Name=x\r\nFilterType=include"}) {
    bool bad = false;
    EXPECT_EQ(ReadSection(body, &bad), nullptr) << body;
    EXPECT_TRUE(bad);
  }
}

// Writes one filter and reads it back.
FilterRecord* RoundTrip(const FilterRecord& f, std::string* text = nullptr) {
  std::string s = "[Profile]\r\n";
  EXPECT_TRUE(vrn::AppendFilterSection(f, 1, s));
  if (text != nullptr) *text = s;
  vrn::ProfileText t(s);
  bool bad = false;
  return vrn::ReadFilterSection(t, "Filter1", &bad);
}

TEST(FilterSectionTest, WrittenFilterReadsBackTheSame) {
  FilterRecord* f = CreateNewIncludeFilter();
  std::strcpy(f->Name, "Weekday pages [main]");
  f->dwFlags = ENABLE_DAYS | ENABLE_HOURS | ENABLE_ADS | ENABLE_REFERRER | ENABLE_DIRECTORY;
  ReturnCodeStringToStruct("200 304", f);
  f->Days = 62;
  f->HourAllNone = 0;
  f->HourBegin = 9;
  f->HourEnd = 18;
  f->IncludeDefaultPages = 1;
  f->UsernameAll = 1;
  FreeFilterStrings(f->Directory);
  FilterStringToStruct("/docs/ \"/my files/\" '/say \"x\"/'", &f->Directory, 1);
  FreeFilterStrings(f->AdClick);
  FilterStringToStruct("  \"/ads/click here\"", &f->AdClick, 0);
  FreeFilterStrings(f->AdView);
  FilterStringToStruct("\"'quoted both ends'\"", &f->AdView, 0);
  FreeFilterStrings(f->Referrer);
  FilterStringToStruct("(No Referrer)", &f->Referrer, 0);

  std::string text;
  FilterRecord* r = RoundTrip(*f, &text);
  ASSERT_NE(r, nullptr) << text;
  EXPECT_STREQ(r->Name, f->Name);
  EXPECT_EQ(r->dwFlags, f->dwFlags);
  EXPECT_EQ(r->Days, 62u);
  EXPECT_EQ(r->HourAllNone, 0u);
  EXPECT_EQ(r->HourBegin, 9u);
  EXPECT_EQ(r->HourEnd, 18u);
  EXPECT_EQ(r->IncludeDefaultPages, 1u);
  EXPECT_EQ(r->UsernameAll, 1u);
  EXPECT_EQ(r->ReturnCodes[0], 200u);
  EXPECT_EQ(r->ReturnCodes[1], 304u);
  EXPECT_EQ(Items(r->Directory), Items(f->Directory));
  EXPECT_EQ(Items(r->AdClick), V{"/ads/click here"});
  EXPECT_EQ(Items(f->AdView), V{"'quoted both ends'"});
  EXPECT_EQ(Items(r->AdView), Items(f->AdView));
  EXPECT_EQ(Items(r->Referrer), V{"(No Referrer)"});
  EXPECT_EQ(Items(r->Users), V{"*"});
  EXPECT_NE(text.find("[[Filter1]]\r\nName=Weekday pages [main]\r\nFilterType=include\r\nDefaultOveride=0\r\n"),
            std::string::npos)
      << text;
  FreeOneFilter(r);
  FreeOneFilter(f);
}

TEST(FilterSectionTest, IncludeFilterWithoutDaysKeepsItsEmptyMask) {
  FilterRecord* f = CreateNewIncludeFilter();
  f->Days = 0;
  f->dwFlags = ENABLE_DAYS;
  FilterRecord* r = RoundTrip(*f);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Days, 0u);
  EXPECT_EQ(r->dwFlags, ENABLE_DAYS);
  FreeOneFilter(r);
  FreeOneFilter(f);
}

TEST(FilterSectionTest, FiltersThatCannotBeStoredWholeAreRefused) {
  FilterRecord* f = CreateNewExcludeFilter();
  std::strcpy(f->Name, "two\r\nlines");
  std::string s;
  EXPECT_FALSE(vrn::AppendFilterSection(*f, 1, s));
  std::strcpy(f->Name, "long list");
  const std::string item(250, 'u');
  FilterStringToStruct((item + " " + item).c_str(), &f->Users, 1);
  EXPECT_FALSE(vrn::AppendFilterSection(*f, 1, s));
  EXPECT_TRUE(s.empty());
  FreeFilterStrings(f->Users);
  FilterStringToStruct(std::string(399, 'u').c_str(), &f->Users, 1);
  EXPECT_TRUE(vrn::AppendFilterSection(*f, 1, s));

  // A line break inside a list item, in a split list or a whole-text one.
  for (FilterString** list : {&f->Browser, &f->AdClick}) {
    FilterStringToStruct("line\nbreak", list, 0);
    std::string t;
    EXPECT_FALSE(vrn::AppendFilterSection(*f, 1, t));
    EXPECT_TRUE(t.empty());
    FreeFilterStrings(*list);
    *list = nullptr;
  }
  FreeOneFilter(f);
}

std::vector<std::string> g_shown;
int32_t RecordShown(KvWindow, const char*, const char* text, uint32_t, uint32_t, uint32_t) {
  g_shown.emplace_back(text != nullptr ? text : "");
  return 0;
}

TEST(FilterSectionTest, AProfileWhoseListCannotBeReadBackIsNotSavedAndSaysWhy) {
  vrn::test::TempProfileDir dir;
  const VrnDisplayErrorFn saved = glpfnDisplayReportError;
  glpfnDisplayReportError = &RecordShown;
  struct Case {
    std::vector<std::string> items;  // of the Users list
    const char* why;                 // in the message; null: saved and read back
  };
  const Case cases[] = {
      {{"a \"b\" 'c'"}, "both kinds of quotes"},
      {{"x,\"y'"}, "both kinds of quotes"},
      {{"'a\" b"}, "both kinds of quotes"},
      {{std::string(250, 'u'), std::string(250, 'v')}, "longer than 399 characters"},
      // Each of these needs at most one kind of quote around it.
      {{"it's fine", "say \"hi\"", "don't\"care", "plain", "c,d", "'quoted'"}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.items[0]);
    DravelEntry e{};
    std::strcpy(e.Name, "0000F11E");
    std::strcpy(e.Extension, "wlp");
    FilterRecord* f = CreateNewExcludeFilter();
    std::strcpy(f->Name, "odd users");
    f->dwFlags = ENABLE_USERS;
    for (auto it = c.items.rbegin(); it != c.items.rend(); ++it) {
      auto* n = static_cast<FilterString*>(calloc(1, sizeof(FilterString)));
      n->Text = strdup(it->c_str());
      n->Next = f->Users;
      f->Users = n;
    }
    AddFilterToProfile(f, &e, -1);
    std::remove(dir.file("0000F11E.wlp").c_str());
    g_shown.clear();
    if (c.why != nullptr) {
      EXPECT_EQ(WriteDravelFile(&e), 0);
      EXPECT_FALSE(std::filesystem::exists(dir.file("0000F11E.wlp")));
      ASSERT_EQ(g_shown.size(), 1u);
      EXPECT_NE(g_shown[0].find("\"odd users\""), std::string::npos) << g_shown[0];
      EXPECT_NE(g_shown[0].find("Users list"), std::string::npos) << g_shown[0];
      EXPECT_NE(g_shown[0].find(c.why), std::string::npos) << g_shown[0];
    } else {
      ASSERT_EQ(WriteDravelFile(&e), 1) << (g_shown.empty() ? "" : g_shown[0]);
      EXPECT_TRUE(g_shown.empty());
      DravelEntry back{};
      ASSERT_EQ(ReadDravelFile(dir.file("0000F11E.wlp").c_str(), &back), DRAVEL_READ_OK);
      ASSERT_NE(back.Filters, nullptr);
      V read;
      for (const FilterString* n = back.Filters->Users; n != nullptr; n = n->Next) read.emplace_back(n->Text);
      EXPECT_EQ(read, c.items);
      FreeFiltersForProfile(&back);
    }
    FreeFiltersForProfile(&e);
  }
  glpfnDisplayReportError = saved;
}

TEST(ScramblerTest, EveryByteValueRoundTripsAndStaysOnOneLine) {
  // Every byte value at every key position.
  for (int start = 1; start < 256; start += 16) {
    for (int offset = 0; offset < 16; ++offset) {
      std::string text(offset, 'a');
      for (int c = start; c < start + 16 && c < 256; ++c) text += static_cast<char>(c);
      std::string s = text;
      ScrambleProfileText(s.data());
      ASSERT_EQ(std::strlen(s.c_str()), text.size()) << "a byte turned into NUL";
      for (size_t i = 0; i < s.size(); ++i) {
        const bool wasBreak = text[i] == '\r' || text[i] == '\n';
        EXPECT_EQ(s[i] == '\r' || s[i] == '\n', wasBreak) << "byte " << int(uint8_t(text[i]));
      }
      ScrambleProfileText(s.data());
      EXPECT_EQ(s, text);
    }
  }
  // Printable text is changed (nothing is stored in the clear).
  std::string pw = "secret password 123";
  ScrambleProfileText(pw.data());
  for (char c : pw) EXPECT_TRUE(static_cast<uint8_t>(c) >= 0x80);
  ScrambleProfileText(nullptr);
}

}  // namespace
