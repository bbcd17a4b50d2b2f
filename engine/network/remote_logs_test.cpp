// The text handling of remote log fetches, without a network: listing-line
// sizes, local names, the list file, response heads and request texts.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/engine_state.h"
#include "engine/network/remote_logs.h"

namespace {

using vrn::HeadScan;
using vrn::HttpResponseHead;

TEST(ListingLineSize, UnixAndDosForms) {
  struct Case {
    const char* line;
    bool found;
    uint64_t size;
  };
  const Case cases[] = {
      {"-rw-r--r--   1 owner group   123456 Jan 01 10:00 access.log", true, 123456},
      {"-rw-r--r-- 1 owner group 0 Jan 01 10:00 empty.log", true, 0},
      {"-rw-r--r-- 1 owner group\t 77 Jan 01 10:00 tabbed.log", true, 77},
      {"-rw-r--r-- 1 owner group 6000000000 Jan 01 2025 big.log", true, 6000000000ull},
      {"01-15-26  10:30AM                 5120 access.log", true, 5120},
      {"01-15-26  10:30PM       <DIR>          logs", true, 0},
      {"drwxr-xr-x 2 owner group", false, 0},
      {"access.log", false, 0},
      {"   ", false, 0},
      {"", false, 0},
      {"01-15-2", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    uint64_t size = 999;
    EXPECT_EQ(vrn::SizeFromListingLine(c.line, &size), c.found);
    if (c.found) {
      EXPECT_EQ(size, c.size);
    }
  }
}

// The name of each long listing line, so that a name is paired with its own
// line whatever order the two listings take; only plain files are logs.
TEST(ListingLineName, FilesFoldersAndOtherLines) {
  using vrn::ListingEntry;
  const struct {
    const char* line;
    ListingEntry::Kind kind;
    const char* name;
  } cases[] = {
      {"-rw-r--r--   1 kvuser   root        29100 Dec 11 11:25 access.log", ListingEntry::kFile, "access.log"},
      {"-rw-r--r--    1 ftp      ftp            20 Dec 11  2025 with two  blanks.log", ListingEntry::kFile,
       "with two  blanks.log"},
      {"drwxr-xr-x    2 ftp      ftp          4096 Dec 11 11:22 older.log", ListingEntry::kOther, "older.log"},
      {"lrwxrwxrwx    1 ftp      ftp            20 Dec 11 11:22 now.log -> a.log", ListingEntry::kOther,
       "now.log -> a.log"},
      {"12-11-26  11:22AM                 9700 access.log", ListingEntry::kFile, "access.log"},
      {"12-11-26  11:22AM       <DIR>          old", ListingEntry::kOther, "old"},
      {"total 24", ListingEntry::kNone, ""},
      {"   ", ListingEntry::kNone, ""},
  };
  for (const auto& c : cases) {
    const ListingEntry entry = vrn::ParseListingLine(c.line);
    EXPECT_EQ(entry.kind, c.kind) << c.line;
    if (c.kind != ListingEntry::kNone) {
      EXPECT_EQ(entry.name, c.name) << c.line;
    }
  }
}

TEST(LocalFetchNames, ShortNamesWithCountersOnClashes) {
  vrn::g_engine = vrn::EngineState{};
  vrn::g_engine.slots[0].profileDir = "/p/";
  vrn::FetchFileList list;
  const std::vector<std::string> remotes = {"/access.log",    "/old/access.log", "/access.txt",  "/older/access.log",
                                            "/verylongname.logfile", "/noextension", "host\\win\\x.y.z", "/.hidden"};
  for (const std::string& r : remotes) {
    vrn::FetchFileRecord rec;
    vrn::SetFetchText(rec.remotePath, r);
    list.records.push_back(rec);
  }
  // A record that already has a name keeps it, and others avoid it.
  vrn::SetFetchText(list.records[2].localPath, "/p/site.ftp/kept.txt");
  list.count = static_cast<uint32_t>(list.records.size());
  vrn::MakeLocalFetchName("site.wlp", &list);
  const std::vector<std::string> expected = {
      "/p/site.ftp/access.log",   "/p/site.ftp/acce0000.log", "/p/site.ftp/kept.txt", "/p/site.ftp/acce0001.log",
      "/p/site.ftp/verylong.log", "/p/site.ftp/noextens.",    "/p/site.ftp/x.z",      "/p/site.ftp/.hid",
  };
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(list.records[i].localPath, expected[i]) << i;
}

// The file layer finds names without regard to case: names differing only
// in case clash, and a name kept from an earlier fetch is avoided in any case.
TEST(LocalFetchNames, ClashesIgnoreCase) {
  vrn::g_engine = vrn::EngineState{};
  vrn::g_engine.slots[0].profileDir = "/p/";
  vrn::FetchFileList list;
  for (const char* r : {"/logs/access.log", "/case/ACCESS.LOG", "/x/Access.Log", "/y/ACCE0002.LOG", "/z/acce0002.log"}) {
    vrn::FetchFileRecord rec;
    vrn::SetFetchText(rec.remotePath, r);
    list.records.push_back(rec);
  }
  vrn::SetFetchText(list.records[3].localPath, "/p/site.ftp/Acce0001.Log");
  list.count = static_cast<uint32_t>(list.records.size());
  vrn::MakeLocalFetchName("site.wlp", &list);
  const std::vector<std::string> expected = {"/p/site.ftp/access.log", "/p/site.ftp/ACCE0000.LOG",
                                             "/p/site.ftp/Acce0002.Log", "/p/site.ftp/Acce0001.Log",
                                             "/p/site.ftp/acce0003.log"};
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(list.records[i].localPath, expected[i]) << i;
}

// 2,000 rotated logs access.log.1 ... access.log.2000: the extension keeps
// three characters, so from access.log.1000 on each group of ten shares one
// ("100" ... "200") with an earlier name and takes the counters 0 to 9.
TEST(LocalFetchNames, TwoThousandRotatedLogs) {
  vrn::g_engine = vrn::EngineState{};
  vrn::g_engine.slots[0].profileDir = "/p/";
  vrn::FetchFileList list;
  for (int n = 1; n <= 2000; ++n) {
    vrn::FetchFileRecord rec;
    vrn::SetFetchText(rec.remotePath, "/logs/access.log." + std::to_string(n));
    list.records.push_back(rec);
  }
  list.count = static_cast<uint32_t>(list.records.size());
  vrn::MakeLocalFetchName("site.wlp", &list);
  for (int n = 1; n <= 2000; ++n) {
    const std::string number = std::to_string(n);
    char counter[8];
    std::snprintf(counter, sizeof counter, "%04d", n % 10);
    const std::string expected = n < 1000 ? "/p/site.ftp/access." + number
                                          : "/p/site.ftp/acce" + std::string(counter) + "." + number.substr(0, 3);
    ASSERT_EQ(list.records[n - 1].localPath, expected) << n;
  }
}

TEST(FetchListFile, TextRoundTripAndRecordsWithoutRemotePath) {
  vrn::FetchFileList list;
  list.location = "/a.log|b.log";
  for (const char* name : {"a", "b"}) {
    vrn::FetchFileRecord r;
    vrn::SetFetchText(r.localPath, std::string("/p/x.ftp/") + name + ".log");
    vrn::SetFetchText(r.remotePath, std::string("/") + name + ".log");
    vrn::SetFetchText(r.listingLine, "-rw-r--r-- 1 o g 10 Jan 01 10:00 x");
    r.needed = 1;  // not stored
    list.records.push_back(r);
  }
  list.count = 2;
  char tmpl[] = "/tmp/kv_list_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string path = std::string(tmpl) + "/x.dir";
  ASSERT_TRUE(vrn::WriteURLListFile(path, list));
  // The file names each copy alone; read back, the copy is in the cache
  // folder beside the list file, wherever that now is.
  std::ifstream stored(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(stored)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.find("/p/"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\na.log\r\n/a.log\r\n"), std::string::npos) << text;
  vrn::FetchFileList back;
  ASSERT_TRUE(vrn::ReadURLListFile(path, &back));
  EXPECT_EQ(back.location, list.location);
  ASSERT_EQ(back.count, 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(back.records[i].localPath, std::string(tmpl) + "/x.ftp/" + (i == 0 ? "a" : "b") + ".log");
    EXPECT_STREQ(back.records[i].remotePath, list.records[i].remotePath);
    EXPECT_STREQ(back.records[i].listingLine, list.records[i].listingLine);
    EXPECT_EQ(back.records[i].needed, 0u);
  }
  std::remove(path.c_str());
  rmdir(tmpl);

  vrn::ParseURLListText("loc\r\n/p/a\r\n\r\nline\r\n/p/b\r\n/b\r\nline\r\n/p/c", &back, "/q/");
  ASSERT_EQ(back.count, 1u) << "a record without a remote path is not counted";
  EXPECT_STREQ(back.records[0].remotePath, "/b");
  vrn::ParseURLListText("", &back, "/q/");
  EXPECT_EQ(back.count, 0u);
}

// A stored local path never names a file outside the cache folder: a path
// into a cache folder of the same name (an older list file of a profile
// folder since copied or moved) is taken into this one; any other path, a
// name that is no file name, or a second record on the same copy leaves the
// record without a copy, fetched again under a name of our own.
TEST(FetchListFile, StoredPathsStayInsideTheCacheFolder) {
  const struct {
    const char* stored;
    const char* local;  // as read back
  } cases[] = {
      {"access.log", "/q/site.ftp/access.log"},
      {"/old/profiles/site.ftp/access.log", "/q/site.ftp/access.log"},
      {"C:\\Profiles\\SITE.FTP\\access.log", "/q/site.ftp/access.log"},
      {"/etc/cron.d/job", ""},
      {"../../site.ftp.log", ""},
      {"..\\..\\win.ini", ""},
      {"../..", ""},
      {"/q/site.ftp/", ""},
  };
  for (const auto& c : cases) {
    vrn::FetchFileList back;
    vrn::ParseURLListText(std::string("loc\r\n") + c.stored + "\r\n/r.log\r\n-rw-r--r-- 1 o g 5 Jan 01 10:00 r.log\r\n",
                          &back, "/q/site.ftp/");
    ASSERT_EQ(back.count, 1u) << c.stored;
    EXPECT_STREQ(back.records[0].localPath, c.local) << c.stored;
    // A record without its copy was never fetched whole.
    EXPECT_EQ(back.records[0].listingLine[0] == '\0', c.local[0] == '\0') << c.stored;
  }
  vrn::FetchFileList two;
  vrn::ParseURLListText("loc\r\nA.log\r\n/a\r\nx\r\n/elsewhere/a.log\r\n/b\r\ny\r\n", &two, "/q/");
  ASSERT_EQ(two.count, 2u);
  EXPECT_STREQ(two.records[0].localPath, "/q/A.log");
  EXPECT_STREQ(two.records[1].localPath, "") << "one copy per name, compared without regard to case";
}

TEST(FetchResponseHead, StatusHeaderEndAndLengths) {
  struct Case {
    const char* name;
    std::string text;
    HeadScan scan;
    uint32_t status;
    size_t headerLength;  // 0 = not checked
    int64_t contentLength;  // -1 = absent
    int64_t fullLength, rangeStart, rangeEnd;  // -1 = absent
  };
  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 42\r\n\r\n";
  const std::string range = "HTTP/1.1 206 Partial\r\ncontent-range: bytes 100-199/5000\r\n\r\n";
  const std::string multi =
      "HTTP/1.0 206 Partial\r\nContent-Type: multipart/byteranges; boundary=B\r\n\r\n\r\n--B\r\n"
      "Content-Range: bytes 7-9/10\r\n\r\n";
  const Case cases[] = {
      {"200", ok + "body", HeadScan::kParsed, 200, ok.size(), 42, -1, -1, -1},
      {"no blank after the colon", "HTTP/1.0 200 OK\r\nContent-Length:17\r\n\r\n", HeadScan::kParsed, 200, 0, 17, -1,
       -1, -1},
      {"body starting with a line end", ok + "\r\nx", HeadScan::kParsed, 200, ok.size(), 42, -1, -1, -1},
      {"bare line feeds", "HTTP/1.0 200 OK\nX: y\n\nrest", HeadScan::kParsed, 200, 22, -1, -1, -1, -1},
      {"206", range + "data", HeadScan::kParsed, 206, range.size(), -1, 5000, 100, 199},
      {"206 multipart", multi + "789\r\n--B--\r\n", HeadScan::kParsed, 206, multi.size(), -1, 10, 7, 9},
      {"206 multipart part head still coming", multi.substr(0, multi.size() - 6), HeadScan::kNeedMore, 206, 0, -1, -1,
       -1, -1},
      {"206 body that starts with dashes", "HTTP/1.0 206 P\r\nContent-Range: bytes 0-3/4\r\n\r\n--ab",
       HeadScan::kParsed, 206, 46, -1, 4, 0, 3},
      {"head not complete", "HTTP/1.0 200 OK\r\nContent-Le", HeadScan::kNeedMore, 200, 0, -1, -1, -1, -1},
      {"no status line yet", "HTTP/1.", HeadScan::kNeedMore, 0, 0, -1, -1, -1, -1},
      {"404", "HTTP/1.0 404 Not Found\r\n\r\n", HeadScan::kFailed, 404, 0, -1, -1, -1, -1},
      {"416", "HTTP/1.0 416 Range\r\n\r\n", HeadScan::kFailed, 416, 0, -1, -1, -1, -1},
      {"range slash on another line", "HTTP/1.0 206 P\r\nContent-Range: bytes 5-\r\nX: a/9\r\n\r\n", HeadScan::kParsed,
       206, 0, -1, -1, 5, -1},
      {"overlong number", "HTTP/1.0 200 OK\r\nContent-Length: 1234567890123456789012345\r\n\r\n", HeadScan::kParsed,
       200, 0, 1234567890123456789ll, -1, -1, -1},
      {"range past 4 GiB", "HTTP/1.1 206 P\r\nContent-Range: bytes 4294968320-4294970367/4294970368\r\n\r\n",
       HeadScan::kParsed, 206, 0, -1, 4294970368ll, 4294968320ll, 4294970367ll},
      // An answer begins with its status line: one further on is body bytes
      // of an answer that is no answer.
      {"status line after other bytes", "xyz\r\nHTTP/1.0 200 OK\r\n\r\n", HeadScan::kFailed, 0, 0, -1, -1, -1, -1},
      {"status line after a line end", "\r\nHTTP/1.0 200 OK\r\n\r\n", HeadScan::kFailed, 0, 0, -1, -1, -1, -1},
      {"a few bytes that cannot begin one", "HTX", HeadScan::kFailed, 0, 0, -1, -1, -1, -1},
      {"redirect head still coming", "HTTP/1.1 302 Found\r\nLocation: /x", HeadScan::kNeedMore, 302, 0, -1, -1, -1,
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpResponseHead head;
    ASSERT_EQ(vrn::ScanHttpResponseHead(c.text.data(), c.text.size(), &head), c.scan);
    EXPECT_EQ(head.status, c.status);
    if (c.scan != HeadScan::kParsed) continue;
    if (c.headerLength != 0) {
      EXPECT_EQ(head.headerLength, c.headerLength);
    }
    EXPECT_EQ(head.hasContentLength, c.contentLength >= 0);
    if (c.contentLength >= 0) {
      EXPECT_EQ(head.contentLength, static_cast<uint64_t>(c.contentLength));
    }
    EXPECT_EQ(head.hasFullLength, c.fullLength >= 0);
    if (c.fullLength >= 0) {
      EXPECT_EQ(head.fullLength, static_cast<uint64_t>(c.fullLength));
    }
    EXPECT_EQ(head.hasRangeStart, c.rangeStart >= 0);
    if (c.rangeStart >= 0) {
      EXPECT_EQ(head.rangeStart, static_cast<uint64_t>(c.rangeStart));
    }
    EXPECT_EQ(head.hasRangeEnd, c.rangeEnd >= 0);
    if (c.rangeEnd >= 0) {
      EXPECT_EQ(head.rangeEnd, static_cast<uint64_t>(c.rangeEnd));
    }
  }
}

TEST(FetchResponseHead, ChunkedBodiesAndRedirectTargets) {
  const std::string chunked = "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: Chunked\r\n\r\n";
  HttpResponseHead head;
  ASSERT_EQ(vrn::ScanHttpResponseHead(chunked.data(), chunked.size(), &head), HeadScan::kParsed);
  EXPECT_TRUE(head.chunked);
  const std::string plain = "HTTP/1.1 200 OK\r\nX-Note: transfer-encoding: chunked\r\n\r\n";
  ASSERT_EQ(vrn::ScanHttpResponseHead(plain.data(), plain.size(), &head), HeadScan::kParsed);
  EXPECT_FALSE(head.chunked) << "only the header of that name counts";

  const std::pair<std::string, std::string> redirects[] = {
      {"HTTP/1.1 302 Found\r\nLocation: http://logs.example/new.log\r\n\r\n", "http://logs.example/new.log"},
      {"HTTP/1.0 301 Moved\r\nlocation:/a.log\r\n\r\n", "/a.log"},
      {"HTTP/1.0 307 Temporary\r\n\r\n", ""},
  };
  for (const auto& [text, target] : redirects) {
    ASSERT_EQ(vrn::ScanHttpResponseHead(text.data(), text.size(), &head), HeadScan::kFailed) << text;
    EXPECT_EQ(head.location, target) << text;
  }
}

// A chunked body decoded from every split of its bytes into two reads: the
// data alone, whole only once the last chunk and trailer arrived.
TEST(ChunkedBody, DecodesAcrossEverySplit) {
  const std::string body = "5;name=v\r\nhello\r\n1\r\n \r\nB\r\nfrom chunks\r\n0\r\nX-T: 1\r\n\r\nafter";
  for (size_t cut = 0; cut <= body.size(); ++cut) {
    vrn::ChunkDecoder decoder;
    decoder.Start();
    std::string out;
    for (const std::string& part : {body.substr(0, cut), body.substr(cut)}) {
      std::string bytes = part;
      out.append(bytes.data(), decoder.Decode(bytes.data(), bytes.size()));
    }
    EXPECT_EQ(out, "hello from chunks") << cut;
    EXPECT_EQ(decoder.state, vrn::ChunkDecoder::kDone) << cut;
  }
  const struct {
    const char* name;
    std::string body;
    vrn::ChunkDecoder::State state;
  } cases[] = {
      {"cut before the last chunk", "5\r\nhello\r\n", vrn::ChunkDecoder::kSize},
      {"cut inside a chunk", "5\r\nhel", vrn::ChunkDecoder::kData},
      {"cut before the trailer ends", "0\r\nX: 1\r\n", vrn::ChunkDecoder::kTrailer},
      {"size that is no number", "zz\r\nhello\r\n0\r\n\r\n", vrn::ChunkDecoder::kBroken},
      {"data longer than its size", "2\r\nhello\r\n0\r\n\r\n", vrn::ChunkDecoder::kBroken},
      {"size beyond 60 bits", "1000000000000000\r\n", vrn::ChunkDecoder::kBroken},
      {"endless size line", std::string(5000, '1'), vrn::ChunkDecoder::kBroken},
  };
  for (const auto& c : cases) {
    vrn::ChunkDecoder decoder;
    decoder.Start();
    std::string bytes = c.body;
    decoder.Decode(bytes.data(), bytes.size());
    EXPECT_EQ(decoder.state, c.state) << c.name;
  }
}

TEST(FetchRequest, DirectAndProxyForms) {
  vrn::g_netSettings = vrn::NetworkSettings{};
  vrn::g_fetch.credentials = "";
  std::string text = vrn::BuildFetchRequest("logs.example/a/b.log", 2, 5000);
  EXPECT_EQ(text.rfind("GET /a/b.log HTTP/1.0\r\nHost: logs.example\r\nRange: bytes=3976-\r\n", 0), 0u) << text;
  EXPECT_EQ(text.find("Authorization"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");

  text = vrn::BuildFetchRequest("logs.example", 1, 3000);
  EXPECT_EQ(text.rfind("GET / HTTP/1.0\r\nHost: logs.example\r\nRange: bytes=0-1976\r\n", 0), 0u) << text;

  vrn::g_netSettings.proxyAddress.family = 2;
  vrn::g_netSettings.httpProxyAuth = vrn::EncodeBase64("p:q");
  vrn::g_fetch.credentials = vrn::EncodeBase64("u:v");
  text = vrn::BuildFetchRequest("logs.example/a.log", 0, 5000);
  EXPECT_EQ(text.rfind("GET http://logs.example/a.log HTTP/1.0\r\nHost: logs.example\r\n"
                       "Proxy-Authorization: Basic cDpx\r\n",
                       0),
            0u)
      << text;
  EXPECT_NE(text.find("\r\nAuthorization: Basic dTp2\r\n"), std::string::npos);
  EXPECT_EQ(text.find("Range"), std::string::npos);
  vrn::g_netSettings = vrn::NetworkSettings{};
  vrn::g_fetch.credentials.clear();
}

TEST(FetchBase64, Padding) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"user:pass", "dXNlcjpwYXNz"}, {"\xff\xfe", "//4="}};
  for (const auto& [in, out] : cases) EXPECT_EQ(vrn::EncodeBase64(in), out) << in;
}

}  // namespace
