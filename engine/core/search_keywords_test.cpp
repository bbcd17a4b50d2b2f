// Search engines and keywords: loading keywords.ini, recognising an engine
// in a referrer, cutting and trimming keywords, and counting engines,
// keywords and their cross tally into item tables.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <vornic/registration.h>

#include "engine/core/open_counter_test_support.h"
#include "engine/core/report_run.h"
#include "engine/core/search_keywords.h"

namespace {

using vrn::SearchDetail;
using vrn::SearchEngine;
using vrn::SearchItemRef;

// Two item tables as the analysis keeps them: items by name with their hit
// and visit counts and their cross tally (count and detail array).
class Tables : public vrn::SearchTables {
 public:
  struct Item {
    std::string name;
    uint32_t hits = 0;
    uint32_t visits = 0;
    uint16_t lastSlot = 0;
    uint32_t detailCount = 0;
    void* details = nullptr;
  };
  ~Tables() override {
    for (auto& table : items_)
      for (auto& [name, item] : table.second) vrn::FreeSearchDetails(static_cast<SearchDetail**>(item->details), item->detailCount);
  }
  bool CountItem(uint32_t table, const char* name, uint16_t slot, uint32_t newVisit, SearchItemRef* ref) override {
    if (refuse_) return false;
    auto& slotItem = items_[table][name];
    if (!slotItem) slotItem = std::make_unique<Item>(Item{name});
    Item& item = *slotItem;
    ++item.hits;
    if (newVisit != 0) ++item.visits;
    item.lastSlot = slot;
    *ref = {item.name.c_str(), &item.detailCount, &item.details};
    return true;
  }
  const Item* Find(uint32_t table, const std::string& name) const {
    auto t = items_.find(table);
    if (t == items_.end()) return nullptr;
    auto i = t->second.find(name);
    return i == t->second.end() ? nullptr : i->second.get();
  }
  std::vector<std::string> Names(uint32_t table) const {
    std::vector<std::string> v;
    auto t = items_.find(table);
    if (t != items_.end())
      for (auto& [name, item] : t->second) v.push_back(name);
    return v;
  }
  // "name hits/visits" of each detail, in array order.
  static std::vector<std::string> Details(const Item* item) {
    std::vector<std::string> v;
    if (item == nullptr) return v;
    auto** d = static_cast<SearchDetail**>(item->details);
    for (uint32_t i = 0; i < item->detailCount; ++i) {
      EXPECT_EQ(d[i]->reserved[0], 0u);
      EXPECT_EQ(d[i]->reserved[1], 0u);
      v.push_back(std::string(d[i]->name) + " " + std::to_string(d[i]->hits) + "/" + std::to_string(d[i]->visits));
    }
    return v;
  }
  bool refuse_ = false;

 private:
  std::map<uint32_t, std::map<std::string, std::unique_ptr<Item>>> items_;
};

using V = std::vector<std::string>;

constexpr const char kFinderIni[] =
    "[SearchEngines]\nEngine1=Finder\nEngine2=Seeker\n"
    "[Finder]\nID1=www.finder.example\nKeywordIndicator1=q=\n"
    "[Seeker]\nID1=seeker.example\nKeywordIndicator1=p=\nKeywordIndicator2=query=\n";

class SearchKeywords : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "kvsearchXXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    ASSERT_NE(mkdtemp(buffer.data()), nullptr);
    folder_ = std::string(buffer.data()) + "/";
  }
  void TearDown() override {
    vrn::FreeSearchEngines(&engines_);
    system(("rm -rf '" + folder_ + "'").c_str());
  }
  void WriteIni(const std::string& text) { std::ofstream(folder_ + "keywords.ini", std::ios::binary) << text; }
  int Process(const char* referrer, uint32_t newVisit = 1, uint16_t slot = 3) {
    return vrn::ProcessSearchReferrerIn(folder_.c_str(), &engines_, &tables_, referrer, slot, newVisit);
  }
  // The engine found and the keywords cut from referrer.
  V Keywords(const char* referrer, std::string* engine = nullptr) {
    EXPECT_EQ(vrn::EnsureSearchEnginesLoadedFrom(folder_.c_str(), &engines_), 1);
    const SearchEngine* e = vrn::FindSearchEngine(engines_, referrer);
    if (engine != nullptr) *engine = e != nullptr ? e->name : "";
    V words;
    char word[vrn::kSearchKeywordSize];
    while (vrn::NextSearchKeyword(word, sizeof word) != 0) words.emplace_back(word);
    EXPECT_EQ(vrn::NextSearchKeyword(word, sizeof word), 0);  // stays at the end
    return words;
  }

  std::string folder_;
  SearchEngine* engines_ = nullptr;
  Tables tables_;
};

TEST_F(SearchKeywords, ListsHoldTheFileInReverseOrder) {
  WriteIni(
      "[SearchEngines]\nEngine1=A\nEngine2=B\nEngine3=NoMore\nEngine4=D\n"
      "[A]\nID1=a1\nID2=\nID3=a3\nKeywordIndicator1=k1\nKeywordIndicator2=k2\n"
      "[B]\nID1=b1\n");
  ASSERT_EQ(vrn::EnsureSearchEnginesLoadedFrom(folder_.c_str(), &engines_), 1);
  V names, ids, indicators;
  for (const SearchEngine* e = engines_; e != nullptr; e = e->next) names.emplace_back(e->name);
  const SearchEngine* a = engines_->next;
  for (const vrn::SearchString* s = a->ids; s != nullptr; s = s->next) ids.emplace_back(s->text);
  for (const vrn::SearchString* s = a->indicators; s != nullptr; s = s->next) indicators.emplace_back(s->text);
  EXPECT_EQ(names, (V{"B", "A"}));  // "NoMore" ends the series
  EXPECT_EQ(ids, (V{"a3", "a1"}));  // an empty ID would match every referrer
  EXPECT_EQ(indicators, (V{"k2", "k1"}));
  EXPECT_EQ(engines_->indicators, nullptr);
}

TEST_F(SearchKeywords, CutsTheSearchedWords) {
  WriteIni(kFinderIni);
  std::string engine;
  const struct {
    const char* referrer;
    const char* engine;
    V words;
  } cases[] = {
      {"http://www.finder.example/search?q=Web+Server+%22log+files%22&x=1", "Finder", {"Web", "Server", "log", "files"}},
      {"http://www.finder.example/?q=a+AND+bc+or+d", "Finder", {"AND", "bc", "or"}},
      {"http://www.finder.example/?q=%20%20\"quoted phrase\"", "Finder", {"quoted", "phrase"}},
      {"http://www.finder.example/?q=x=yz", "Finder", {"yz"}},
      {"http://www.finder.example/?q=&more=words", "Finder", {}},
      {"http://elsewhere.example/?q=words", "", {}},
      {"q=before+www.finder.example", "", {}},   // the indicator must follow the ID
      {"http://seeker.example/?p=first&query=second", "Seeker", {"second"}},  // later indicator first
      {"http://seeker.example/?p=only&query=", "Seeker", {"only"}},  // an indicator at the end is passed over
      {"", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.referrer);
    EXPECT_EQ(Keywords(c.referrer, &engine), c.words);
    EXPECT_EQ(engine, c.engine);
  }
}

TEST_F(SearchKeywords, EscapesAreDecodedOnce) {
  WriteIni(kFinderIni);
  // "%2541" is an escaped "%" followed by "41": the word is "%41", not "A".
  EXPECT_EQ(Keywords("http://www.finder.example/?q=ab+%2541+100%25"), (V{"ab", "%41", "100%"}));
}

TEST_F(SearchKeywords, LongReferrersAndWordsAreCut) {
  WriteIni(kFinderIni);
  const std::string head = "http://www.finder.example/?q=";
  // Only the first 299 characters of the referrer are examined.
  const std::string referrer = head + std::string(299 - head.size() - 2, 'w') + "+tail";
  V words = Keywords(referrer.c_str());
  ASSERT_EQ(words.size(), 1u);
  EXPECT_EQ(words[0], std::string(199, 'w'));  // a word keeps 199 characters
  EXPECT_EQ(Keywords((head + "ab+tail").c_str()), (V{"ab", "tail"}));
  // The caller's buffer bounds the copy.
  vrn::FindSearchEngine(engines_, (head + "abcdef").c_str());
  char small[4];
  ASSERT_EQ(vrn::NextSearchKeyword(small, sizeof small), 1);
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(vrn::FindSearchEngine(engines_, nullptr), nullptr);
  EXPECT_EQ(vrn::NextSearchKeyword(small, sizeof small), 0);
}

TEST(SearchKeywordTrim, KeepsWordsOfAtLeastTwoCharacters) {
  const struct {
    const char* text;
    int result;
    const char* trimmed;
  } cases[] = {
      {"  \"ab\" ", 1, "ab"}, {"a b", 1, "a b"}, {"\"a\"", 0, nullptr}, {"x", 0, nullptr},
      {"  \"\" ", 0, nullptr}, {"", 0, nullptr},
  };
  for (const auto& c : cases) {
    char text[64];
    std::strcpy(text, c.text);
    EXPECT_EQ(vrn::CleanSearchKeyword(text), c.result) << c.text;
    if (c.trimmed != nullptr) {
      EXPECT_STREQ(text, c.trimmed);
    }
  }
  std::string longWord(300, 'k');
  ASSERT_EQ(vrn::CleanSearchKeyword(longWord.data()), 1);
  EXPECT_EQ(std::strlen(longWord.c_str()), 199u);
}

TEST_F(SearchKeywords, CountsEngineKeywordsAndCrossTally) {
  WriteIni(kFinderIni);
  ASSERT_EQ(Process("http://www.finder.example/?q=Log+Analysis+and+log", 1, 7), 1);
  ASSERT_EQ(Process("http://www.finder.example/?q=LOG+x", 0, 8), 1);
  ASSERT_EQ(Process("http://seeker.example/?p=log", 1, 9), 1);
  ASSERT_EQ(Process("http://nowhere.example/?q=log", 1, 9), 1);

  const Tables::Item* finder = tables_.Find(vrn::kSearchEngineTable, "Finder");
  ASSERT_NE(finder, nullptr);
  EXPECT_EQ(finder->hits, 2u);
  EXPECT_EQ(finder->visits, 1u);
  EXPECT_EQ(finder->lastSlot, 8);
  EXPECT_EQ(tables_.Names(vrn::kSearchEngineTable), (V{"Finder", "Seeker"}));
  // Keywords are lower-cased; "and" and one-letter words are not counted.
  EXPECT_EQ(tables_.Names(vrn::kSearchKeywordTable), (V{"analysis", "log"}));
  const Tables::Item* log = tables_.Find(vrn::kSearchKeywordTable, "log");
  EXPECT_EQ(log->hits, 4u);
  EXPECT_EQ(log->visits, 3u);
  EXPECT_EQ(Tables::Details(finder), (V{"analysis 1/1", "log 3/2"}));
  EXPECT_EQ(Tables::Details(log), (V{"Finder 3/2", "Seeker 1/1"}));
}

TEST_F(SearchKeywords, TheLaterEngineOfTheFileWins) {
  WriteIni(
      "[SearchEngines]\nEngine1=First\nEngine2=Second\n"
      "[First]\nID1=shared.example\nKeywordIndicator1=q=\n"
      "[Second]\nID1=shared.example\nKeywordIndicator1=q=\n");
  ASSERT_EQ(Process("http://shared.example/?q=words"), 1);
  EXPECT_EQ(tables_.Names(vrn::kSearchEngineTable), V{"Second"});
}

using vrn::test::OpenCounter;

std::vector<std::string> g_shown;
int32_t RecordShown(KvWindow, const char*, const char* text, uint32_t, uint32_t, uint32_t) {
  g_shown.emplace_back(text != nullptr ? text : "");
  return 0;
}

TEST_F(SearchKeywords, AMissingOrEmptyFileIsLookedForOncePerAnalysis) {
  const VrnDisplayErrorFn saved = glpfnDisplayReportError;
  glpfnDisplayReportError = &RecordShown;
  constexpr int kHits = 2000;
  struct Case {
    const char* ini;       // null: no file
    size_t messages;       // shown over all the hits
  };
  for (const Case& c : {Case{nullptr, 1}, Case{"[SearchEngines]\nEngine1=NoMore\n", 0}, Case{"; nothing\n", 0}}) {
    SCOPED_TRACE(c.ini != nullptr ? c.ini : "(missing)");
    std::remove((folder_ + "keywords.ini").c_str());
    if (c.ini != nullptr) WriteIni(c.ini);
    vrn::FreeSearchEngines(&engines_);
    g_shown.clear();
    OpenCounter opens(folder_);
    for (int i = 0; i < kHits; ++i) ASSERT_EQ(Process("http://www.finder.example/?q=words"), 1);
    // One look (a folder listing and the file's one read at most), not one per hit.
    EXPECT_LE(opens.Count(), 4u);
    EXPECT_TRUE(tables_.Names(vrn::kSearchKeywordTable).empty());
    EXPECT_FALSE(vrn::SearchEnginesListed(engines_));
    ASSERT_EQ(g_shown.size(), c.messages);
    if (c.messages != 0) {
      EXPECT_NE(g_shown[0].find(folder_ + "keywords.ini"), std::string::npos) << g_shown[0];
    }
  }
  // The next analysis (a fresh list) reads the file again.
  vrn::FreeSearchEngines(&engines_);
  EXPECT_EQ(engines_, nullptr);
  WriteIni(kFinderIni);
  EXPECT_EQ(Process("http://www.finder.example/?q=words"), 1);
  EXPECT_EQ(tables_.Names(vrn::kSearchKeywordTable), V{"words"});
  EXPECT_TRUE(vrn::SearchEnginesListed(engines_));
  // Once loaded the list is kept, even when the file goes.
  std::remove((folder_ + "keywords.ini").c_str());
  EXPECT_EQ(Process("http://www.finder.example/?q=more"), 1);
  EXPECT_EQ(tables_.Names(vrn::kSearchKeywordTable), (V{"more", "words"}));
  glpfnDisplayReportError = saved;
}

TEST_F(SearchKeywords, ARefusedKeywordDoesNotStopTheHit) {
  WriteIni(kFinderIni);
  tables_.refuse_ = true;
  EXPECT_EQ(Process("http://www.finder.example/?q=words"), 1);
  EXPECT_TRUE(tables_.Names(vrn::kSearchEngineTable).empty());
  EXPECT_EQ(vrn::CountSearchKeyword("words", &tables_, 0, 1, nullptr), 0);
  EXPECT_EQ(vrn::CountSearchKeyword("OR", &tables_, 0, 1, nullptr), 1);  // skipped, not refused
}

TEST_F(SearchKeywords, ARunReadsTheFileOfItsGrandparentFolder) {
  WriteIni(kFinderIni);
  auto* run = static_cast<vrn::ReportHandle*>(std::calloc(1, sizeof(vrn::ReportHandle)));
  ASSERT_NE(run, nullptr);
  vrn::SetReportWorkPaths(run, (folder_ + "kvm_log/profiles/").c_str());
  vrn::HitRecord hit{};
  char referrer[] = "http://www.finder.example/?q=found+it";
  hit.Referrer = referrer;
  EXPECT_EQ(vrn::ProcessSearchReferrer(run, &engines_, &tables_, &hit, 2, 1), 1);
  std::free(run);
  EXPECT_EQ(tables_.Names(vrn::kSearchKeywordTable), (V{"found", "it"}));
}

TEST(SearchDetails, KeepNameOrderWhateverTheArrivalOrder) {
  uint32_t count = 0;
  void* details = nullptr;
  const SearchItemRef item{"engine", &count, &details};
  const char* arrivals[] = {"mango", "Apple", "zebra", "kiwi", "banana", "Cherry", "apple", "date",
                            "Lemon", "fig",   "grape", "KIWI", "elder",  "honeydew", "Banana", "ZEBRA"};
  for (const char* name : arrivals) {
    SearchDetail* d = vrn::FindSearchEngineItem(item, name);
    ASSERT_NE(d, nullptr);
    ++d->hits;
  }
  auto** d = static_cast<SearchDetail**>(details);
  V order;
  for (uint32_t i = 0; i < count; ++i) order.push_back(std::string(d[i]->name) + ":" + std::to_string(d[i]->hits));
  // The first spelling names the entry; others of any case count in it.
  EXPECT_EQ(order, (V{"Apple:2", "banana:2", "Cherry:1", "date:1", "elder:1", "fig:1", "grape:1", "honeydew:1",
                      "kiwi:2", "Lemon:1", "mango:1", "zebra:2"}));
  // Found again through the other lookup, with nothing inserted.
  EXPECT_EQ(vrn::FindSearchKeywordItem(item, "GRAPE"), d[6]);
  EXPECT_EQ(count, 12u);
  vrn::FreeSearchDetails(d, count);
}

TEST_F(SearchKeywords, RepeatedReferrersGetTheAnswerOfAFreshSearch) {
  WriteIni(
      "[SearchEngines]\nEngine1=Finder\nEngine2=Seeker\nEngine3=Both\n"
      "[Finder]\nID1=finder.example\nKeywordIndicator1=q=\n"
      "[Seeker]\nID1=seeker.example\nKeywordIndicator1=p=\n"
      "[Both]\nID1=.example/both\nKeywordIndicator1=w=\n");
  // Engines alternating, a referrer matching two engines, texts equal in
  // their examined first 299 characters only, escapes (decoded in the state,
  // not in what is remembered) and more distinct texts than are remembered.
  const std::string longHead = "http://finder.example/?q=" + std::string(280, 'a');
  V referrers = {
      "http://finder.example/?q=one+two",
      "http://seeker.example/?p=three",
      "http://seeker.example/both?p=x&w=four",
      "http://finder.example/?q=%2541+five",
      "http://elsewhere.example/?q=none",
      "",
      longHead + "+tail1",
      longHead + "+tail2",
      "http://finder.example/?q=",
      // Equal in length, beginning and end.
      "https://www.finder.example/?q=word",
      "https://www.seeker.example/?q=word",
  };
  for (int i = 0; i < 40; ++i)
    referrers.push_back((i % 2 == 0 ? "http://finder.example/?q=w" : "http://seeker.example/?p=w") + std::to_string(i));
  // The answer of each referrer with a freshly loaded list.
  std::map<std::string, std::pair<std::string, V>> fresh;
  for (const std::string& r : referrers) {
    vrn::FreeSearchEngines(&engines_);
    std::string engine;
    V words = Keywords(r.c_str(), &engine);
    fresh[r] = {engine, words};
  }
  EXPECT_EQ(fresh["http://seeker.example/both?p=x&w=four"], (std::pair<std::string, V>{"Both", V{"four"}}));
  EXPECT_EQ(fresh["http://finder.example/?q=%2541+five"], (std::pair<std::string, V>{"Finder", V{"%41", "five"}}));
  // The same referrers again and again, in changing orders, with one list.
  vrn::FreeSearchEngines(&engines_);
  for (int round = 0; round < 4; ++round) {
    for (size_t i = 0; i < referrers.size(); ++i) {
      const std::string& r = referrers[(i * (2 * round + 1) + round) % referrers.size()];
      SCOPED_TRACE(r);
      for (int twice = 0; twice < 2; ++twice) {
        std::string engine;
        V words = Keywords(r.c_str(), &engine);
        EXPECT_EQ(engine, fresh[r].first);
        EXPECT_EQ(words, fresh[r].second);
      }
    }
  }
  // A list loaded again from a changed file gives the new file's answer.
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    const bool q = round % 2 == 0;
    vrn::FreeSearchEngines(&engines_);
    WriteIni(std::string("[SearchEngines]\nEngine1=Seeker\n[Seeker]\nID1=finder.example\nKeywordIndicator1=") +
             (q ? "q=" : "p=") + "\n");
    std::string engine;
    EXPECT_EQ(Keywords("http://finder.example/?q=one+two", &engine), q ? (V{"one", "two"}) : V{});
    EXPECT_EQ(engine, q ? "Seeker" : "");
  }
  // A list given its IDs and indicators after a search keeps its first
  // element but now answers differently.
  vrn::FreeSearchEngines(&engines_);
  const std::string ini = folder_ + "keywords.ini";
  ASSERT_TRUE(vrn::LoadSearchEngines(ini.c_str(), &engines_));
  const SearchEngine* head = engines_;
  EXPECT_EQ(vrn::FindSearchEngine(engines_, "http://finder.example/?p=one+two"), nullptr);
  ASSERT_TRUE(vrn::LoadSearchEngineIDs(ini.c_str(), engines_));
  EXPECT_EQ(vrn::FindSearchEngine(engines_, "http://finder.example/?p=one+two"), nullptr);
  ASSERT_TRUE(vrn::LoadKeywordIndicators(ini.c_str(), engines_));
  ASSERT_EQ(engines_, head);
  EXPECT_EQ(vrn::FindSearchEngine(engines_, "http://finder.example/?p=one+two"), head);
}

TEST_F(SearchKeywords, TheShippedListRecognisesItsEngines) {
  const char* source = std::getenv("KV_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  const std::string data = std::string(source) + "/data/";
  ASSERT_EQ(vrn::ProcessSearchReferrerIn(data.c_str(), &engines_, &tables_,
                                         "https://www.google.com/search?client=x&q=access+log+analyser&ie=UTF-8", 0, 1),
            1);
  ASSERT_EQ(vrn::ProcessSearchReferrerIn(data.c_str(), &engines_, &tables_,
                                         "https://search.yahoo.com/search?fr=x&p=web+statistics", 0, 1),
            1);
  EXPECT_EQ(tables_.Names(vrn::kSearchEngineTable), (V{"Google", "Yahoo"}));
  EXPECT_EQ(tables_.Names(vrn::kSearchKeywordTable), (V{"access", "analyser", "log", "statistics", "web"}));
}

}  // namespace
