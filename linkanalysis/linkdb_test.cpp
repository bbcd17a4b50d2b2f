#include "linkanalysis/linkdb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "linkanalysis/link_testutil.h"
#include "linkanalysis/linkcontext.h"

namespace kvla {
namespace {

using test::ReadFile;
using test::TempFolder;
using test::WriteFile;

uint32_t Word(const std::string& bytes, size_t offset) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void PutWord(std::string& bytes, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>(v >> (8 * i));
}

class LinkDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx_.dataFolder = folder_.path();
    test::BeginMemoryRun(&ctx_);
  }
  void TearDown() override { test::EndMemoryRun(&ctx_); }

  // Adds a record found on `parent` (the pseudo-parent -1 for the first).
  int32_t Add(int32_t parent, const char* path, int32_t status = 0, const char* linkText = nullptr,
              const char* host = "www.site.test") {
    PageRecord p{};
    p.index = parent;
    if (parent >= 0) p = ctx_.records[parent];
    EXPECT_EQ(1, NewPageRecord(&ctx_, &p, host, path, 0, 7, kLinkHttp, 0, status, linkText, 0, 0, nullptr,
                               nullptr, 0));
    return ctx_.count - 1;
  }
  std::string Dat() { return ReadFile(folder_.file("LINKANLZ.DAT")); }
  std::string Ref() { return ReadFile(folder_.file("LINKANLZ.REF")); }
  std::string Dyd() { return ReadFile(folder_.file("LINKANLZ.DYD")); }

  TempFolder folder_;
  LinkAnalysisDataStruct ctx_;
};

TEST(LinkDbLayout, HeaderAndRecordWordsAreLittleEndianAtTheirOffsets) {
  unsigned char header[kHeaderSize];
  EncodeHeader(header);
  std::string h(reinterpret_cast<char*>(header), kHeaderSize);
  EXPECT_STREQ("Kelvaron Vodo Darevudo", h.c_str());
  EXPECT_EQ(2u, Word(h, 256));
  EXPECT_EQ(0u, Word(h, 260));
  EXPECT_EQ(103246u, Word(h, 264));
  EXPECT_EQ(1448u, Word(h, 268));
  EXPECT_EQ(8u, Word(h, 272));

  PageRecord r{};
  std::strcpy(r.host, "host");
  std::strcpy(r.path, "/p");
  struct Field {
    int32_t* field;
    size_t offset;
  } fields[] = {{&r.index, 1280},     {&r.flags, 1288},        {&r.checkBits, 1292},     {&r.linkType, 1304},
                {&r.hash, 1308},      {&r.contentLength, 1312}, {&r.redirectCount, 1328}, {&r.port, 1356},
                {&r.category, 1360},  {&r.elapsedMs, 1368},     {&r.status, 1372},        {&r.socket, 1400},
                {&r.timeoutStatus, 1420}, {&r.refs.parentCount, 1424}, {&r.refs.childOffset, 1444}};
  int32_t v = 0x01020304;
  for (auto& f : fields) *f.field = v++;
  r.title = 0xA1B2C3D4;
  r.linkText = 0x11223344;
  unsigned char out[kRecordSize];
  EncodeRecord(r, out);
  std::string bytes(reinterpret_cast<char*>(out), kRecordSize);
  EXPECT_STREQ("host", bytes.c_str());
  EXPECT_STREQ("/p", bytes.c_str() + 256);
  v = 0x01020304;
  for (auto& f : fields) EXPECT_EQ(static_cast<uint32_t>(v++), Word(bytes, f.offset)) << f.offset;
  EXPECT_EQ(0xA1B2C3D4u, Word(bytes, 1336));
  EXPECT_EQ(0x11223344u, Word(bytes, 1412));
  PageRecord back{};
  DecodeRecord(out, &back);
  EXPECT_EQ(0, std::memcmp(&r, &back, sizeof r));
}

TEST_F(LinkDbTest, EmptyDatabaseHoldsOnlyHeaders) {
  ctx_.debugMode = true;
  ASSERT_EQ(1, SaveLinkDatabase(&ctx_));
  for (const std::string& f : {Dat(), Ref(), Dyd()}) {
    ASSERT_EQ(276u, f.size());
    EXPECT_STREQ("Kelvaron Vodo Darevudo", f.c_str());
  }
  EXPECT_EQ("", ReadFile(folder_.file("LINKANLZ.DBG")));
  EXPECT_EQ(1, KVLA_CheckDatabaseVersion(&ctx_, 2, 0));
}

TEST_F(LinkDbTest, SavedDatabaseReadsBackThroughTheReaders) {
  ctx_.debugMode = true;
  int32_t root = Add(-1, "/index.html");
  int32_t a = Add(root, "/a b.html");
  ASSERT_EQ(1, AddReference(&ctx_, a, root, 0));  // the same link found again
  ASSERT_EQ(1, AddReference(&ctx_, root, a, 1));
  int32_t broken = Add(root, "/gone.html");
  ctx_.records[broken].status = 404;
  SetText(&ctx_, &ctx_.records[broken].linkText, "gone.html");
  int32_t plain = Add(a, "/plain.html");
  ctx_.records[root].flags |= kFlagAnalysed;
  SetText(&ctx_, &ctx_.records[root].title, "Home page");
  SetText(&ctx_, &ctx_.records[root].baseDir, "http://www.site.test/");
  ctx_.records[a].flags |= kFlagAnalysed;
  ASSERT_EQ(1, SaveLinkDatabase(&ctx_));

  std::string dat = Dat();
  ASSERT_EQ(276u + 4 * 1448u, dat.size());
  // Encoded path, and texts only where set; the DYD holds base, link text, title in that order.
  EXPECT_STREQ("/a%20b.html", dat.c_str() + 276 + a * 1448 + 256);
  for (size_t off : {1332, 1336, 1340, 1344, 1348, 1352, 1412})
    EXPECT_EQ(0u, Word(dat, 276 + plain * 1448 + off)) << off;
  std::string dyd = Dyd();
  EXPECT_EQ(276u, Word(dat, 276 + root * 1448 + 1344));
  EXPECT_EQ(22u, Word(dyd, 276));
  EXPECT_STREQ("http://www.site.test/", dyd.c_str() + 280);
  EXPECT_EQ(302u, Word(dat, 276 + root * 1448 + 1336));
  EXPECT_EQ(0xFFFFFFFFu, Word(dat, 276 + plain * 1448 + 1400));  // no socket

  ctx_.running = false;
  PageRecord rec{};
  ASSERT_TRUE(KVLA_ReadDatabaseItem(&ctx_, root, &rec));
  char text[kMaxDynamicText];
  KVLA_GetPageTitle(&ctx_, &rec, text);
  EXPECT_STREQ("Home page", text);
  ASSERT_EQ(1, KVLA_GetDynamicData(&ctx_, static_cast<int32_t>(rec.baseDir), text));
  EXPECT_STREQ("http://www.site.test/", text);

  int32_t n = 0;
  std::unique_ptr<RefEntry, decltype(&std::free)> children(KVLA_ReadReferenceList(&ctx_, &rec, 1, &n), &std::free);
  ASSERT_EQ(2, n);
  EXPECT_EQ(a, children.get()[0].index);
  EXPECT_EQ(2, children.get()[0].links);
  EXPECT_EQ(broken, children.get()[1].index);
  EXPECT_EQ(1, children.get()[1].links);

  PageRecord child{};
  char url[300];
  ASSERT_TRUE(KVLA_GetPageChild(&ctx_, &rec, url, 1, -1, sizeof url - 1, &child));
  EXPECT_STREQ("http://www.site.test/gone.html", url);
  ASSERT_TRUE(KVLA_GetPageChild(&ctx_, &rec, url, 0, 404, sizeof url - 1, &child));
  EXPECT_EQ(broken, child.index);
  EXPECT_FALSE(KVLA_GetPageChild(&ctx_, &rec, url, 1, 404, sizeof url - 1, &child));
  EXPECT_STREQ("", url);
  ASSERT_TRUE(KVLA_GetPageChild(&ctx_, &rec, url, 0, -1, 10, &child));
  EXPECT_STREQ("http://www", url);  // cut to the given length

  ASSERT_TRUE(KVLA_ReadDatabaseItem(&ctx_, a, &rec));
  KVLA_GetPageTitle(&ctx_, &rec, text);
  EXPECT_STREQ("Missing title...", text);
  ASSERT_TRUE(KVLA_GetPageParent(&ctx_, &rec, url, 0, sizeof url - 1, &child));
  EXPECT_EQ(root, child.index);
  EXPECT_EQ(2, [&] {
    int32_t k = 0;
    RefEntry* parents = KVLA_ReadReferenceList(&ctx_, &rec, 0, &k);
    int32_t links = k == 1 ? parents[0].links : -1;
    std::free(parents);
    return links;
  }());
  EXPECT_FALSE(KVLA_GetPageParent(&ctx_, &rec, url, 1, sizeof url - 1, &child));

  ASSERT_TRUE(KVLA_ReadDatabaseItem(&ctx_, plain, &rec));
  KVLA_GetPageTitle(&ctx_, &rec, text);
  EXPECT_STREQ("This page not yet analyzed...", text);
  ASSERT_TRUE(KVLA_ReadDatabaseItem(&ctx_, broken, &rec));
  EXPECT_EQ(404, rec.status);
  ASSERT_EQ(1, KVLA_GetDynamicData(&ctx_, static_cast<int32_t>(rec.linkText), text));
  EXPECT_STREQ("gone.html", text);

  // A record written outside a run lands in the file.
  rec.status = 410;
  ASSERT_EQ(1, KVLA_WriteDatabaseItem(&ctx_, broken, &rec));
  PageRecord again{};
  ASSERT_TRUE(KVLA_ReadDatabaseItem(&ctx_, broken, &again));
  EXPECT_EQ(410, again.status);

  std::string dbg = ReadFile(folder_.file("LINKANLZ.DBG"));
  EXPECT_NE(std::string::npos, dbg.find("1: www.site.test/index.html (analysed)\r\n    Parents\r\n    Children\r\n"
                                        "    2: www.site.test/a%20b.html (analysed)\r\n"
                                        "    3: www.site.test/gone.html (not analysed)\r\n\r\n"));
}

TEST_F(LinkDbTest, ReadersCheckIndexVersionAndFlag) {
  Add(-1, "/");
  PageRecord rec{};
  EXPECT_FALSE(KVLA_ReadDatabaseItem(&ctx_, -1, &rec));
  EXPECT_FALSE(KVLA_ReadDatabaseItem(&ctx_, 1, &rec));
  EXPECT_FALSE(KVLA_ReadDatabaseItem(&ctx_, 0, nullptr));
  EXPECT_EQ(0, KVLA_WriteDatabaseItem(&ctx_, 1, &rec));
  ASSERT_TRUE(KVLA_ReadDatabaseItem(&ctx_, 0, &rec));
  rec.status = 200;
  ASSERT_EQ(1, KVLA_WriteDatabaseItem(&ctx_, 0, &rec));
  EXPECT_EQ(200, ctx_.records[0].status);  // during a run the memory is written
  ASSERT_EQ(1, SaveLinkDatabase(&ctx_));

  struct Case {
    int32_t version, flag;
    uint32_t word260;
    int expected;
  } cases[] = {{2, 0, 0, 1}, {1, 0, 0, 0}, {3, 0, 0, 0}, {2, 1, 0, 0}, {2, 0, 5, 0}};
  std::string dat = Dat();
  for (const Case& c : cases) {
    std::string copy = dat;
    PutWord(copy, 260, c.word260);
    WriteFile(folder_.file("LINKANLZ.DAT"), copy);
    EXPECT_EQ(c.expected, KVLA_CheckDatabaseVersion(&ctx_, c.version, c.flag)) << c.version << " " << c.flag;
  }
  std::remove(folder_.file("LINKANLZ.DAT").c_str());
  EXPECT_EQ(0, KVLA_CheckDatabaseVersion(&ctx_, 2, 0));
  EXPECT_FALSE(KVLA_ReadDatabaseItem(&ctx_, 0, &rec));
}

TEST_F(LinkDbTest, GrowthBeyondABlockKeepsTheRecords) {
  int32_t root = Add(-1, "/");
  for (int i = 1; i <= 1000; ++i) Add(root, ("/p" + std::to_string(i)).c_str());
  EXPECT_EQ(1001, ctx_.count);
  EXPECT_EQ(2, ctx_.blocks);
  EXPECT_STREQ("/p1", ctx_.records[1].path);
  EXPECT_STREQ("/p999", ctx_.records[999].path);
  EXPECT_STREQ("/p1000", ctx_.records[1000].path);
  EXPECT_EQ(1000u, ctx_.refs[root].children.size());
  ASSERT_EQ(1, SaveLinkDatabase(&ctx_));
  ASSERT_EQ(1, OpenLinkDatabase(&ctx_));
  EXPECT_EQ(1001, ctx_.count);
  PageRecord rec{};
  ASSERT_TRUE(KVLA_ReadDatabaseItem(&ctx_, 1000, &rec));
  EXPECT_STREQ("/p1000", rec.path);
  EXPECT_EQ(1000, rec.index);
}

TEST_F(LinkDbTest, PresetStatusesOfNewRecords) {
  int32_t root = Add(-1, "/");
  std::string longPath = "/" + std::string(400, ' ');  // escapes to 1201 characters
  int32_t tooLong = Add(root, longPath.c_str());
  int32_t fragment = Add(root, "/page.html#top");
  PageRecord img{};
  img.index = root;
  ASSERT_EQ(1, NewPageRecord(&ctx_, &img, "h", "/pic", 0, 1, kLinkHttp, 0, 0, nullptr, 6, 0, nullptr, nullptr, 1));
  EXPECT_EQ(kStatusUrlTooLong, ctx_.records[tooLong].status);
  EXPECT_TRUE(ctx_.records[tooLong].flags & kFlagTaken);
  EXPECT_EQ(200, ctx_.records[fragment].status);
  EXPECT_TRUE(ctx_.records[fragment].flags & kFlagTaken);
  EXPECT_EQ(0, ctx_.records[fragment].linkType);
  EXPECT_EQ(kLinkHttp, ctx_.records[root].linkType);
  EXPECT_EQ(kFlagNew, ctx_.records[root].flags);
  EXPECT_EQ(2, ctx_.records.back().category);  // an image tag's page link counts as an image
  EXPECT_EQ(6, ctx_.records.back().checkBits);
}

TEST_F(LinkDbTest, DamagedFilesAreRefused) {
  int32_t root = Add(-1, "/");
  Add(root, "/a");
  ctx_.records[root].flags |= kFlagAnalysed;
  SetText(&ctx_, &ctx_.records[root].title, "T");
  ASSERT_EQ(1, SaveLinkDatabase(&ctx_));
  PageRecord rec{};
  ASSERT_TRUE(KVLA_ReadDatabaseItem(&ctx_, root, &rec));
  char text[kMaxDynamicText];

  struct DydCase {
    uint32_t length;
    int expected;
  } lengths[] = {{2, 1}, {0, 0}, {0x7FFFFFFF, 0}, {0xFFFFFFFF, 0}, {kMaxDynamicText + 1, 0}, {100, 0}};
  std::string dyd = Dyd();
  for (const DydCase& c : lengths) {
    std::string copy = dyd;
    PutWord(copy, rec.title, c.length);
    WriteFile(folder_.file("LINKANLZ.DYD"), copy);
    EXPECT_EQ(c.expected, KVLA_GetDynamicData(&ctx_, static_cast<int32_t>(rec.title), text)) << c.length;
  }
  for (int32_t offset : {-4, 3, 1 << 30}) EXPECT_EQ(0, KVLA_GetDynamicData(&ctx_, offset, text));

  struct RefCase {
    int32_t count, offset;
  } refs[] = {{1, 1 << 30}, {1 << 28, 276}, {-3, 276}, {1, -8}, {3, 276}};
  for (const RefCase& c : refs) {
    PageRecord bad = rec;
    bad.refs.childCount = c.count;
    bad.refs.childOffset = c.offset;
    int32_t n = 7;
    EXPECT_EQ(nullptr, KVLA_ReadReferenceList(&ctx_, &bad, 1, &n)) << c.count << " " << c.offset;
    EXPECT_EQ(0, n);
  }
  std::remove(folder_.file("LINKANLZ.REF").c_str());
  int32_t n = 0;
  EXPECT_EQ(nullptr, KVLA_ReadReferenceList(&ctx_, &rec, 1, &n));
  EXPECT_EQ("Couldn't locate the reference list file.", ctx_.errors.back());
  std::remove(folder_.file("LINKANLZ.DYD").c_str());
  EXPECT_EQ(0, KVLA_GetDynamicData(&ctx_, 276, text));
  EXPECT_EQ("Couldn't locate the dynamic data file.", ctx_.errors.back());

  // A truncated record file: the readers refuse records beyond its end.
  WriteFile(folder_.file("LINKANLZ.DAT"), Dat().substr(0, 276 + 1448 + 100));
  EXPECT_TRUE(KVLA_ReadDatabaseItem(&ctx_, 0, &rec));
  EXPECT_FALSE(KVLA_ReadDatabaseItem(&ctx_, 1, &rec));
  ASSERT_EQ(1, OpenLinkDatabase(&ctx_));
  EXPECT_EQ(1, ctx_.count);
}

TEST_F(LinkDbTest, ReportListsPickTheNthMatchingRecord) {
  int32_t root = Add(-1, "/");
  int32_t a = Add(root, "/a");
  int32_t b = Add(root, "/b", 404, "b-link");
  int32_t c = Add(root, "/c");
  ctx_.records[a].reportClass = 0x8;
  ctx_.records[c].reportClass = 0x8;
  ctx_.records[c].flags |= kFlagOutside;
  ctx_.records[b].reportClass = 0x20 | 0x200;
  ctx_.records[root].checkBits = 8;
  PageRecord buf{};
  char url[100];
  ASSERT_TRUE(GetReportListItem(&ctx_, ReportList::kClass8, 0, false, url, 99, &buf));
  EXPECT_EQ(a, buf.index);
  ASSERT_TRUE(GetReportListItem(&ctx_, ReportList::kClass8, 0, true, url, 99, &buf));
  EXPECT_EQ(c, buf.index);
  EXPECT_FALSE(GetReportListItem(&ctx_, ReportList::kClass8, 1, false, url, 99, &buf));
  ASSERT_TRUE(GetReportListItem(&ctx_, ReportList::kClass20or8000, 0, false, url, 99, &buf));
  EXPECT_STREQ("b-link", url);
  ASSERT_TRUE(GetReportListItem(&ctx_, ReportList::kClass400, 0, false, url, 99, &buf));
  EXPECT_EQ(root, buf.index);
  PageRecord rootRec = ctx_.records[root];
  ASSERT_TRUE(GetReportListChild200(&ctx_, &rootRec, 0, url, 99, &buf));
  EXPECT_EQ(b, buf.index);
  EXPECT_FALSE(GetReportListChild200(&ctx_, &rootRec, 1, url, 99, &buf));
}

}  // namespace
// Lists grow past the length from which they are indexed: a link found again
// is counted on its entry whether it came before or after that point, for
// parents and children alike.
TEST_F(LinkDbTest, LongReferenceListsCountRepeatedLinksOnce) {
  for (int others : {14, 15, 16, 17, 40}) {
    SCOPED_TRACE(std::to_string(others) + " other links first");
    const int32_t page = Add(-1, ("/page" + std::to_string(others) + ".html").c_str());
    const int32_t first = Add(page, ("/first" + std::to_string(others) + ".html").c_str());
    for (int k = 1; k < others; ++k) Add(page, ("/o" + std::to_string(others) + "_" + std::to_string(k)).c_str());
    // The first target linked again, and again once the list is long.
    for (int again = 0; again < 2; ++again) {
      ASSERT_EQ(1, AddReference(&ctx_, first, page, 0));
      ASSERT_EQ(1, AddReference(&ctx_, page, first, 1));
      Add(page, ("/late" + std::to_string(others) + "_" + std::to_string(again)).c_str());
    }
    const auto& children = ctx_.refs[static_cast<size_t>(page)].children;
    EXPECT_EQ(static_cast<size_t>(others + 2), children.size());
    EXPECT_EQ(1, std::count_if(children.begin(), children.end(), [&](const RefEntry& e) { return e.index == first; }));
    EXPECT_EQ(3, children[0].links);
    const auto& parents = ctx_.refs[static_cast<size_t>(first)].parents;
    ASSERT_EQ(1u, parents.size());
    EXPECT_EQ(3, parents[0].links);
  }
}

}  // namespace kvla
