// Filter evaluation: include/exclude walks, every test bit, pattern, path,
// hour and day matching, and the referrer tests.
#include "engine/core/filter_eval.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <vornic/filter.h>

namespace vrn {
namespace {

// 2023-11-14 22:13:20 (a Tuesday) as a hit time.
constexpr uint32_t kTuesday2213 = 1700000000u;
constexpr uint32_t kDayStart = kTuesday2213 - (22 * 3600 + 13 * 60 + 20);
uint32_t At(int hour, int minute) { return kDayStart + static_cast<uint32_t>(hour * 3600 + minute * 60); }

struct HitSpec {
  std::string url = "/index.html";
  std::string host = "10.1.2.3";
  std::string agent = "Mozilla/4.0 (compatible; MSIE 5.0)";
  std::string user;
  std::string referrer;
  std::string server;
  uint32_t status = 200;
  uint32_t time = kTuesday2213;
};

// A hit whose text pointers point into the test case's strings.
struct TestHit {
  explicit TestHit(HitSpec s) : spec(std::move(s)) {
    std::memset(&hit, 0, sizeof hit);
    hit.URL = spec.url.data();
    hit.UserAgent = spec.agent.data();
    hit.UserName = spec.user.data();
    hit.Referrer = spec.referrer.data();
    std::strncpy(hit.ClientHost, spec.host.c_str(), sizeof hit.ClientHost - 1);
    std::strncpy(hit.Server, spec.server.c_str(), sizeof hit.Server - 1);
    hit.StatusCode = spec.status;
    hit.HitTime = spec.time;
  }
  HitSpec spec;
  HitRecord hit;
};

FilterString* List(const char* text) {
  FilterString* list = nullptr;
  FilterStringToStruct(text, &list, 1);
  return list;
}

FilterRecord* Make(uint32_t type, uint32_t flags, const std::function<void(FilterRecord*)>& fill = nullptr) {
  FilterRecord* f = AllocateBlankFilter();
  f->FilterType = type;
  f->dwFlags = flags;
  f->Days = type == FILTER_INCLUDE ? FILTER_ALL_DAYS : 0;
  f->HourAllNone = 1;
  if (fill) fill(f);
  return f;
}

// Links the filters in order; the list owns them.
struct FilterList {
  explicit FilterList(std::vector<FilterRecord*> filters) {
    for (size_t i = 0; i + 1 < filters.size(); ++i) filters[i]->Next = filters[i + 1];
    head = filters.empty() ? nullptr : filters[0];
  }
  ~FilterList() { FreeFilters(head); }
  FilterRecord* head = nullptr;
};

struct Case {
  const char* name;
  std::function<std::vector<FilterRecord*>()> filters;
  HitSpec hit;
  bool keep;
};

HitSpec Url(const char* url) {
  HitSpec s;
  s.url = url;
  return s;
}
HitSpec Host(const char* host) {
  HitSpec s;
  s.host = host;
  return s;
}
HitSpec Time(uint32_t t) {
  HitSpec s;
  s.time = t;
  return s;
}
HitSpec Status(uint32_t code) {
  HitSpec s;
  s.status = code;
  return s;
}
HitSpec Agent(const char* agent) {
  HitSpec s;
  s.agent = agent;
  return s;
}
HitSpec User(const char* user) {
  HitSpec s;
  s.user = user;
  return s;
}
HitSpec Server(const char* server) {
  HitSpec s;
  s.server = server;
  return s;
}

auto Dir(const char* dirs, uint32_t subdirs, uint32_t type = FILTER_INCLUDE) {
  return [=] {
    return std::vector<FilterRecord*>{Make(type, ENABLE_DIRECTORY, [&](FilterRecord* f) {
      f->Directory = List(dirs);
      f->IncludeSubDirs = subdirs;
    })};
  };
}
auto Files(const char* files, uint32_t caseSensitive, uint32_t defaultPages = 0) {
  return [=] {
    return std::vector<FilterRecord*>{Make(FILTER_INCLUDE, ENABLE_FILES, [&](FilterRecord* f) {
      f->Files = List(files);
      f->FilesCaseSensitive = caseSensitive;
      f->IncludeDefaultPages = defaultPages;
    })};
  };
}
auto Hours(uint32_t begin, uint32_t end) {
  return [=] {
    return std::vector<FilterRecord*>{Make(FILTER_INCLUDE, ENABLE_HOURS, [&](FilterRecord* f) {
      f->HourAllNone = 0;
      f->HourBegin = begin;
      f->HourEnd = end;
    })};
  };
}
auto Days(uint32_t type, uint32_t mask) {
  return [=] { return std::vector<FilterRecord*>{Make(type, ENABLE_DAYS, [&](FilterRecord* f) { f->Days = mask; })}; };
}
auto Codes(uint32_t type, std::vector<uint32_t> codes) {
  return [=] {
    return std::vector<FilterRecord*>{Make(type, ENABLE_RETURNCODES, [&](FilterRecord* f) {
      for (size_t i = 0; i < codes.size(); ++i) f->ReturnCodes[i] = codes[i];
    })};
  };
}
auto Ads(const char* click, const char* view) {
  return [=] {
    return std::vector<FilterRecord*>{Make(FILTER_EXCLUDE, ENABLE_ADS, [&](FilterRecord* f) {
      if (click != nullptr) f->AdClick = List(click);
      if (view != nullptr) f->AdView = List(view);
    })};
  };
}
auto Names(const char* names, uint32_t caseSensitive, uint32_t all) {
  return [=] {
    return std::vector<FilterRecord*>{Make(FILTER_INCLUDE, ENABLE_USERNAME, [&](FilterRecord* f) {
      if (names != nullptr) f->Username = List(names);
      f->UsernameCaseSensitive = caseSensitive;
      f->UsernameAll = all;
    })};
  };
}
auto Users(uint32_t type, const char* users, uint32_t extra = 0) {
  return [=] {
    return std::vector<FilterRecord*>{Make(type, ENABLE_USERS | extra, [&](FilterRecord* f) { f->Users = List(users); })};
  };
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"no filters keep everything", [] { return std::vector<FilterRecord*>{}; }, HitSpec{}, true},
      {"only exclude: matching dropped", Dir("/private", 1, FILTER_EXCLUDE), Url("/private/a.html"), false},
      {"only exclude: others kept", Dir("/private", 1, FILTER_EXCLUDE), Url("/public/a.html"), true},
      {"include with only the referrer bit passes", [] {
         return std::vector<FilterRecord*>{Make(FILTER_INCLUDE, ENABLE_REFERRER, [](FilterRecord* f) {
           f->Referrer = List("nothing-matches");
         })};
       }, HitSpec{}, true},
      {"include without any test bit passes", [] { return std::vector<FilterRecord*>{Make(FILTER_INCLUDE, 0)}; },
       HitSpec{}, true},
      {"default include passes", Users(FILTER_INCLUDE, "192.168.*", ENABLE_DEFAULT), HitSpec{}, true},
      {"default exclude never excludes", Users(FILTER_EXCLUDE, "10.*", ENABLE_DEFAULT), HitSpec{}, true},
      {"exclude with only the referrer bit never excludes", [] {
         return std::vector<FilterRecord*>{Make(FILTER_EXCLUDE, ENABLE_REFERRER, [](FilterRecord* f) {
           f->Referrer = List("*");
         })};
       }, HitSpec{}, true},
      {"client pattern 10.1.* matches 10.1.2.3", Users(FILTER_INCLUDE, "10.1.*"), Host("10.1.2.3"), true},
      {"client pattern 10.1.* rejects 10.2.0.1", Users(FILTER_INCLUDE, "10.1.*"), Host("10.2.0.1"), false},
      {"client pattern case-insensitive", Users(FILTER_INCLUDE, "*.EXAMPLE.com"), Host("www.example.COM"), true},
      {"browser contains, any case", [] {
         return std::vector<FilterRecord*>{Make(FILTER_INCLUDE, ENABLE_BROWSER, [](FilterRecord* f) {
           f->Browser = List("msie");
         })};
       }, Agent("Mozilla/5.0 (compatible; MSIE 6.0)"), true},
      {"browser pattern with its own stars", [] {
         return std::vector<FilterRecord*>{Make(FILTER_INCLUDE, ENABLE_BROWSER, [](FilterRecord* f) {
           f->Browser = List("*MSIE*");
         })};
       }, HitSpec{}, true},
      {"browser not contained", [] {
         return std::vector<FilterRecord*>{Make(FILTER_INCLUDE, ENABLE_BROWSER, [](FilterRecord* f) {
           f->Browser = List("Opera");
         })};
       }, HitSpec{}, false},
      {"hours 22-6 at 22:13", Hours(22, 6), Time(At(22, 13)), true},
      {"hours 22-6 at 05:59", Hours(22, 6), Time(At(5, 59)), true},
      {"hours 22-6 at 06:00", Hours(22, 6), Time(At(6, 0)), false},
      {"hours 8-17 at 08:00", Hours(8, 17), Time(At(8, 0)), true},
      {"hours 8-17 at 16:59", Hours(8, 17), Time(At(16, 59)), true},
      {"hours 8-17 at 17:00", Hours(8, 17), Time(At(17, 0)), false},
      {"hours begin equal to end: every hour", Hours(9, 9), Time(At(3, 0)), true},
      {"include Tuesday", Days(FILTER_INCLUDE, 1u << 2), HitSpec{}, true},
      {"include Monday only", Days(FILTER_INCLUDE, 1u << 1), HitSpec{}, false},
      {"include Monday only, a day later", Days(FILTER_INCLUDE, 1u << 3), Time(kTuesday2213 + 86400), true},
      {"exclude with empty day mask is inactive", Days(FILTER_EXCLUDE, 0), HitSpec{}, true},
      {"exclude Tuesday", Days(FILTER_EXCLUDE, 1u << 2), HitSpec{}, false},
      {"directory /docs matches docs", Dir("/docs", 0), Url("/docs/a.html"), true},
      {"directory /docs without subfolders rejects docs/guide", Dir("/docs", 0), Url("/docs/guide/a.html"), false},
      {"directory /docs with subfolders takes docs/guide", Dir("/docs", 1), Url("/docs/guide/intro.html?x=1"), true},
      {"directory case-insensitive by default", Dir("/DOCS", 0), Url("/docs/a.html"), true},
      {"directory list: second item matches", Dir("/a /docs", 0), Url("/docs/x.htm"), true},
      {"file *.htm* takes index.html", Files("*.htm*", 0), Url("/x/index.html"), true},
      {"file *.htm* takes a.htm", Files("*.htm*", 0), Url("/a.htm"), true},
      {"file *.htm* rejects a.gif", Files("*.htm*", 0), Url("/a.gif"), false},
      {"file index.* takes INDEX.ASP ignoring case", Files("index.*", 0), Url("/INDEX.ASP"), true},
      {"file index.* rejects INDEX.ASP by case", Files("index.*", 1), Url("/INDEX.ASP"), false},
      {"no file named: default pages included", Files("*.gif", 0, 1), Url("/docs/guide"), true},
      {"no file named: default pages left out", Files("*.gif", 0, 0), Url("/docs/guide/"), false},
      {"status 404 listed", Codes(FILTER_INCLUDE, {404, 500}), Status(404), true},
      {"status 200 not listed", Codes(FILTER_INCLUDE, {404, 500}), Status(200), false},
      {"status: every code", Codes(FILTER_INCLUDE, {FILTER_ALL_CODES}), Status(302), true},
      {"exclude without codes is inactive", Codes(FILTER_EXCLUDE, {}), Status(404), true},
      {"ads: view list alone excludes a view", Ads(nullptr, "banner"), Url("/ads/banner.gif"), false},
      {"ads: view list alone keeps other hits", Ads(nullptr, "banner"), Url("/index.html"), true},
      {"ads: click list excludes a click", Ads("click", "banner"), Url("/ad/CLICK.asp"), false},
      {"ads: click and view lists keep other hits", Ads("click", "banner"), Url("/index.html"), true},
      {"virtual server exact, any case", [] {
         return std::vector<FilterRecord*>{Make(FILTER_INCLUDE, ENABLE_MULTIHOME, [](FilterRecord* f) {
           f->MultiHomeDomain = List("www.a.com");
         })};
       }, Server("WWW.A.COM"), true},
      {"virtual server other", [] {
         return std::vector<FilterRecord*>{Make(FILTER_INCLUDE, ENABLE_MULTIHOME, [](FilterRecord* f) {
           f->MultiHomeDomain = List("www.a.com");
         })};
       }, Server("www.a.com.evil"), false},
      {"any user name: anonymous rejected", Names(nullptr, 0, 1), User(""), false},
      {"any user name: named taken", Names(nullptr, 0, 1), User("bob"), true},
      {"user name case-sensitive", Names("Bob", 1, 0), User("bob"), false},
      {"user name case-insensitive", Names("Bob", 0, 0), User("bob"), true},
      {"search keywords", [] {
         return std::vector<FilterRecord*>{Make(FILTER_INCLUDE, ENABLE_SEARCHKEYWORDS, [](FilterRecord* f) {
           f->SearchKeywords = List("*q=cats*");
         })};
       }, Url("/search?q=cats&x=1"), true},
      {"second include filter passes", [] {
         auto a = Users(FILTER_INCLUDE, "192.*")();
         auto b = Dir("/", 1)();
         a.push_back(b[0]);
         return a;
       }, HitSpec{}, true},
      {"include then exclude", [] {
         auto a = Dir("/docs", 1)();
         a.push_back(Make(FILTER_EXCLUDE, ENABLE_FILES, [](FilterRecord* f) { f->Files = List("*.gif"); }));
         return a;
       }, Url("/docs/a.gif"), false},
      {"every test must hold: status and directory", [] {
         return std::vector<FilterRecord*>{Make(FILTER_INCLUDE, ENABLE_RETURNCODES | ENABLE_DIRECTORY,
                                                [](FilterRecord* f) {
                                                  f->ReturnCodes[0] = 200;
                                                  f->Directory = List("/docs");
                                                })};
       }, Url("/other/a.html"), false},
  };
  return cases;
}

TEST(FilterEvaluation, TableOfFiltersAndHits) {
  for (const Case& c : Cases()) {
    FilterList list(c.filters());
    TestHit hit(c.hit);
    EXPECT_EQ(FilterListPassesHit(list.head, &hit.hit), c.keep ? 1 : 0) << c.name;
  }
}

TEST(FilterEvaluation, AFilterWithNothingToTestIsTraced) {
  // Callers never pass a default filter or one without a test; one that
  // arrives all the same is named in the debug trace.
  const std::string log = testing::TempDir() + "kvfilter_trace.log";
  std::remove(log.c_str());
  const char* saved = getenv("KV_DEBUG_LOG");
  const std::string savedLog = saved != nullptr ? saved : "";
  setenv("KV_DEBUG_LOG", log.c_str(), 1);
  TestHit hit(Url("/a.html"));
  FilterList list({Make(FILTER_INCLUDE, ENABLE_DEFAULT, [](FilterRecord* f) { std::strcpy(f->Name, "everything"); }),
                   Make(FILTER_EXCLUDE, 0, [](FilterRecord* f) { std::strcpy(f->Name, "no tests"); }),
                   Make(FILTER_INCLUDE, ENABLE_RETURNCODES, [](FilterRecord* f) { f->ReturnCodes[0] = 200; })});
  EXPECT_EQ(FilterMatchesHit(list.head, &hit.hit), 0);
  EXPECT_EQ(FilterMatchesHit(list.head->Next, &hit.hit), 1);
  FilterMatchesHit(list.head->Next->Next, &hit.hit);  // a filter with a test: no trace
  if (saved != nullptr) setenv("KV_DEBUG_LOG", savedLog.c_str(), 1); else unsetenv("KV_DEBUG_LOG");
  std::ifstream in(log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::remove(log.c_str());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("\"everything\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("\"no tests\""), std::string::npos) << lines[1];
}

TEST(FilterEvaluation, ReferrerFiltersAtANewVisit) {
  auto make = [](uint32_t type, const char* list) {
    return Make(type, ENABLE_REFERRER, [&](FilterRecord* f) { FilterStringToStruct(list, &f->Referrer, 0); });
  };
  struct R {
    uint32_t type;
    const char* list;
    const char* referrer;
    int pass;
  } cases[] = {
      {FILTER_INCLUDE, "(No Referrer)", "", 1},
      {FILTER_INCLUDE, "(no referrer)", "http://a.com/", 0},
      {FILTER_INCLUDE, "*example.com*", "http://www.EXAMPLE.com/x", 1},
      {FILTER_INCLUDE, "*example.com*", "http://other.org/", 0},
      {FILTER_EXCLUDE, "(No Referrer)", "", 0},
      {FILTER_EXCLUDE, "(No Referrer)", "http://a.com/", 1},
      {FILTER_EXCLUDE, "http://spam*", "http://spam.net/", 0},
  };
  for (const R& r : cases) {
    FilterList list({make(r.type, r.list)});
    HitSpec s;
    s.referrer = r.referrer;
    TestHit hit(s);
    EXPECT_EQ(FilterListPassesReferrer(list.head, &hit.hit), r.pass) << r.list << " / " << r.referrer;
    // The per-hit test never looks at the referrer.
    EXPECT_EQ(FilterListPassesHit(list.head, &hit.hit), 1) << r.list;
  }
  FilterList none({});
  TestHit hit(HitSpec{});
  EXPECT_EQ(FilterListPassesReferrer(none.head, &hit.hit), 1);
}

TEST(FilterEvaluation, PatternsAndDirectories) {
  struct P {
    const char* pattern;
    const char* text;
    int exact, cs, match;
  } patterns[] = {
      {"*", "anything", 1, 0, 1},       {"abc", "ABC", 1, 0, 1},        {"abc", "ABC", 1, 1, 0},
      {"abc*", "abcdef", 1, 0, 1},      {"abc*", "xabc", 1, 0, 0},      {"*def", "abcdef", 1, 0, 1},
      {"*abcdefg", "def", 1, 0, 0},     {"*cd*", "abcde", 1, 0, 1},     {"**", "", 1, 0, 1},
      {"a*c", "abc", 1, 0, 0},          {"a*c", "a*c", 1, 0, 1},        {"MSIE", "x msie y", 0, 0, 1},
      {"*MSIE*", "x MSIE y", 0, 1, 1},  {"MSIE", "x msie y", 0, 1, 0},  {"\xC4", "\xE4", 1, 0, 0},
  };
  for (const P& p : patterns)
    EXPECT_EQ(MatchFilterPattern(p.pattern, p.text, p.exact, p.cs), p.match) << p.pattern << " ~ " << p.text;

  struct D {
    const char* pattern;
    const char* dir;
    int subdirs, match;
  } dirs[] = {
      {"/docs", "docs", 0, 1},        {"/docs", "docs/guide", 0, 0}, {"/docs", "docs/guide", 1, 1},
      {"\\docs\\guide", "docs/guide", 0, 1}, {"/docs", "", 0, 0},   {"/", "", 0, 1},
      {"/", "docs", 0, 0},            {"/", "docs", 1, 1},           {"", "a/b", 1, 1},
      {"/doc*/g*", "docs/guide", 0, 1}, {"/docs/guide", "docs", 0, 0},
  };
  for (const D& d : dirs)
    EXPECT_EQ(MatchDirectoryPattern(d.pattern, d.dir, d.subdirs, 0), d.match) << d.pattern << " ~ " << d.dir;
}

TEST(FilterEvaluation, UrlPathSplitsQueryFragmentAndHost) {
  FilterString* dirs = List("/docs/guide");
  FilterString* files = List("intro.html");
  const uint32_t both = ENABLE_DIRECTORY | ENABLE_FILES;
  EXPECT_EQ(MatchUrlPath(dirs, 0, 0, files, 0, 0, "/docs/guide/intro.html?x=1/y.gif", both), 1);
  EXPECT_EQ(MatchUrlPath(dirs, 0, 0, files, 0, 0, "/docs/guide/intro.html#top", both), 1);
  EXPECT_EQ(MatchUrlPath(dirs, 0, 0, files, 0, 0, "/HTTP://docs/guide/intro.html", both), 1);
  EXPECT_EQ(MatchUrlPath(dirs, 0, 0, files, 0, 0, "/docs/guide/other.html", both), 0);
  EXPECT_EQ(MatchUrlPath(dirs, 0, 0, files, 1, 0, "/docs/guide", both), 1);
  // The shortcut for "everything".
  FilterString* root = List("/");
  FilterString* all = List("*.*");
  EXPECT_EQ(MatchUrlPath(root, 1, 0, all, 0, 0, "/deep/down/x.gif", both), 1);
  FreeFilterStrings(dirs);
  FreeFilterStrings(files);
  FreeFilterStrings(root);
  FreeFilterStrings(all);
}

// The path test as first written: every URL split in full, every pattern
// measured and split per hit. The shortcuts of MatchUrlPath (no URL read when
// no part can fail, bounded scans, patterns split in one pass) must give its
// answers.
namespace reference {
using sv = std::string_view;
char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
bool SameChars(sv a, sv b, bool cs) {
  if (a.size() != b.size()) return false;
  if (cs) return a == b;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}
bool StartsWith(sv t, sv p, bool cs) { return p.size() <= t.size() && SameChars(t.substr(0, p.size()), p, cs); }
bool EndsWith(sv t, sv s, bool cs) { return s.size() <= t.size() && SameChars(t.substr(t.size() - s.size()), s, cs); }
bool FilePartMatches(sv part, sv text, bool cs) {
  if (!part.empty() && part.front() == '*') return EndsWith(text, part.substr(1), cs);
  size_t star = part.find('*');
  if (star != sv::npos) return StartsWith(text, part.substr(0, star), cs);
  return SameChars(part, text, cs);
}
bool FirstItemIs(const FilterString* list, sv text) {
  return list != nullptr && list->Text != nullptr && sv(list->Text) == text;
}
int MatchUrlPath(const FilterString* directories, int includeSubdirs, int directoryCase, const FilterString* files,
                 int includeDefaultPages, int fileCase, const char* url, uint32_t flags) {
  if (includeSubdirs != 0 && directories != nullptr && files != nullptr && FirstItemIs(directories, "/") &&
      FirstItemIs(files, "*.*"))
    return 1;
  sv path = url != nullptr ? sv(url) : sv();
  if (!path.empty() && path.front() == '/') path.remove_prefix(1);
  if (path.size() > 319) path = path.substr(0, 319);
  size_t q = path.find('?');
  if (q != sv::npos) path = path.substr(0, q);
  size_t hash = path.rfind('#');
  if (hash != sv::npos) path = path.substr(0, hash);
  if (StartsWith(path, "http://", false)) path.remove_prefix(7);
  sv directory, name, extension;
  size_t slash = path.rfind('/');
  sv last = slash == sv::npos ? path : path.substr(slash + 1);
  size_t dot = last.rfind('.');
  if (dot != sv::npos) {
    name = last.substr(0, dot);
    extension = last.substr(dot + 1);
    directory = slash == sv::npos ? sv() : path.substr(0, slash);
  } else {
    directory = path;
  }
  if (!directory.empty() && directory.back() == '/') directory.remove_suffix(1);
  if ((flags & ENABLE_DIRECTORY) != 0 && directories != nullptr && directories->Text != nullptr) {
    bool any = false;
    for (const FilterString* d = directories; d != nullptr && !any; d = d->Next)
      any = d->Text != nullptr && MatchDirectoryPattern(d->Text, std::string(directory).c_str(), includeSubdirs,
                                                        directoryCase) != 0;
    if (!any) return 0;
  }
  if ((flags & ENABLE_FILES) == 0 || files == nullptr || FirstItemIs(files, "*.*") || FirstItemIs(files, "*"))
    return 1;
  if (name.empty() && extension.empty()) return includeDefaultPages != 0 ? 1 : 0;
  const bool cs = fileCase != 0;
  for (const FilterString* f = files; f != nullptr; f = f->Next) {
    if (f->Text == nullptr) continue;
    sv pattern = f->Text;
    size_t pdot = pattern.rfind('.');
    sv namePart = pdot == sv::npos ? pattern : pattern.substr(0, pdot);
    bool hasExt = pdot != sv::npos;
    sv extPart = hasExt ? pattern.substr(pdot + 1) : sv();
    bool nameOk = namePart == "*" || name.empty() || FilePartMatches(namePart, name, cs);
    bool extOk = !hasExt || extPart == "*" || extension.empty() || FilePartMatches(extPart, extension, cs);
    if (nameOk && extOk) return 1;
  }
  return 0;
}
}  // namespace reference

TEST(FilterEvaluation, UrlPathAnswersAsTheFullSplitOverEveryCombination) {
  // null stands for "no list".
  const char* directoryLists[] = {nullptr, "/", "/docs", "/DOCS/guide", "\\docs", "/doc*", "/img /docs", ""};
  const char* fileLists[] = {nullptr,       "*.*",          "*",           "*.gif *.jpg *.png *.ico *.css *.js",
                             "intro.html",  "INTRO.*",      "*.HTM*",      "in*.h*",
                             "index",       "*.",           ".gif",        "a.b.c *.c",
                             "*.* *.gif",   "x*y.g*f",      "*tro.html",   ""};
  const char* urls[] = {"/",
                        "",
                        "/index.html",
                        "/docs/guide/intro.html",
                        "/DOCS/Guide/Intro.HTML",
                        "/docs/guide/",
                        "/docs/guide",
                        "/docs/img/logo.GIF?size=2/x.png",
                        "/docs/page.htm#part.gif",
                        "/a#b#c.js",
                        "/http://docs/guide/intro.html",
                        "/HTTP://host.example/x.css",
                        "docs/style.css",
                        "//docs//a.b.c",
                        "/docs/.hidden",
                        "/docs/name.",
                        "/docs\\guide\\intro.html",
                        "/?only=query.gif",
                        "/img/a.gif?",
                        nullptr};
  std::string longUrl = "/docs/" + std::string(320, 'x') + ".gif";
  std::string edgeUrl = "/docs/" + std::string(309, 'y') + ".gifs?q";  // 319 kept: the last kept is the "s"
  std::vector<const char*> allUrls(std::begin(urls), std::end(urls));
  allUrls.push_back(longUrl.c_str());
  allUrls.push_back(edgeUrl.c_str());
  const uint32_t flagSets[] = {0, ENABLE_DIRECTORY, ENABLE_FILES, ENABLE_DIRECTORY | ENABLE_FILES};

  auto listOf = [](const char* text) -> FilterString* {
    if (text == nullptr) return nullptr;
    FilterString* list = nullptr;
    FilterStringToStruct(text, &list, 1);
    return list;
  };
  for (const char* dirText : directoryLists) {
    FilterString* dirs = listOf(dirText);
    for (const char* fileText : fileLists) {
      FilterString* files = listOf(fileText);
      for (const char* url : allUrls)
        for (uint32_t flags : flagSets)
          for (int subdirs = 0; subdirs < 2; ++subdirs)
            for (int dirCase = 0; dirCase < 2; ++dirCase)
              for (int defaultPages = 0; defaultPages < 2; ++defaultPages)
                for (int fileCase = 0; fileCase < 2; ++fileCase) {
                  int want = reference::MatchUrlPath(dirs, subdirs, dirCase, files, defaultPages, fileCase, url, flags);
                  int got = MatchUrlPath(dirs, subdirs, dirCase, files, defaultPages, fileCase, url, flags);
                  ASSERT_EQ(got, want) << "directories \"" << (dirText ? dirText : "(none)") << "\" files \""
                                       << (fileText ? fileText : "(none)") << "\" url \"" << (url ? url : "(null)")
                                       << "\" flags " << flags << " subdirs " << subdirs << " dirCase " << dirCase
                                       << " defaultPages " << defaultPages << " fileCase " << fileCase;
                }
      FreeFilterStrings(files);
    }
    FreeFilterStrings(dirs);
  }
}

}  // namespace
}  // namespace vrn
