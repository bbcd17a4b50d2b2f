// Organisation lookup: record parsing, name capitalisation and the binary
// search over a scrambled organisation file.
#include "engine/database/org_lookup.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/base/files.h"

namespace vrn {
namespace {

std::string TempFolder() {
  std::string pattern = testing::TempDir() + "orglookupXXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  const char* made = mkdtemp(buffer.data());
  EXPECT_NE(made, nullptr);
  return std::string(made) + "/";
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

TEST(ParseOrganizationRecord, FieldsFromBothEnds) {
  struct Case {
    const char* text;
    int ok;
    const char* domain;
    const char* name;
    const char* city;
    const char* state;
    const char* country;
    uint16_t consumed;
  };
  const Case cases[] = {
      {"acme.com,acme widgets, inc.,springfield,il,US\r\nnext", 1, "acme.com", "Acme Widgets, Inc.", "Springfield", "Il",
       "US", 47},
      {"b.org,bee,paris,,FR\n", 1, "b.org", "Bee", "Paris", "", "FR", 20},
      {"c.net,cee\n\r", 1, "c.net", "Cee", "", "", "", 11},  // no trailing fields: all name
      {"d.net,dee,x,y,z\n\n", 1, "d.net", "Dee", "X", "Y", "z", 16},   // a second LF is a line of its own
      {"nocomma\n", 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0},
      {"a.com,b,c,d,e", 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0},  // no line end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    OrganizationRecord record;
    uint16_t consumed = 0;
    ASSERT_EQ(ParseOrganizationRecord(c.text, static_cast<uint32_t>(std::strlen(c.text)), &record, &consumed), c.ok);
    if (c.ok == 0) continue;
    EXPECT_STREQ(record.line, c.domain);
    EXPECT_STREQ(OrganizationName(&record), c.name);
    EXPECT_STREQ(record.city, c.city);
    EXPECT_STREQ(record.state, c.state);
    EXPECT_STREQ(record.country, c.country);
    EXPECT_EQ(consumed, c.consumed);
  }
}

TEST(ParseOrganizationRecord, LongFieldsStayInsideTheRecord) {
  const std::string line = "long.com," + std::string(400, 'n') + "," + std::string(80, 'c') + "," +
                           std::string(60, 's') + "," + std::string(70, 'k') + "\n";
  OrganizationRecord record;
  uint16_t consumed = 0;
  ASSERT_EQ(ParseOrganizationRecord(line.c_str(), static_cast<uint32_t>(line.size()), &record, &consumed), 1);
  EXPECT_EQ(consumed, line.size());
  EXPECT_STREQ(record.line, "long.com");
  EXPECT_EQ(std::strlen(record.city), sizeof record.city - 1);
  EXPECT_EQ(std::strlen(record.state), sizeof record.state - 1);
  EXPECT_EQ(std::strlen(record.country), sizeof record.country - 1);
  EXPECT_EQ(std::strlen(OrganizationName(&record)), sizeof record.line - 1 - 9);
}

TEST(CapitalizeName, RaisesOnlyWordStarts) {
  const std::pair<const char*, const char*> cases[] = {
      {"acme widgets, inc.", "Acme Widgets, Inc."},
      {"smith-jones & co", "Smith-Jones & Co"},
      {"u.s.a. trading", "U.S.a. Trading"},
      {"mIXed CASE", "MIXed CASE"},
      {"zentiq labs u.s.", "zentiq Labs U.s."},
      {"", ""},
  };
  for (const auto& [in, out] : cases) {
    char text[64];
    std::snprintf(text, sizeof text, "%s", in);
    CapitalizeName(text);
    EXPECT_STREQ(text, out) << in;
  }
}

TEST(SpaceAfterCommas, InsertsWithinRoom) {
  char roomy[32] = "a,b, c,d";
  EXPECT_TRUE(SpaceAfterCommas(roomy, sizeof roomy));
  EXPECT_STREQ(roomy, "a, b, c, d");
  char tight[6] = "a,b,c";
  EXPECT_FALSE(SpaceAfterCommas(tight, sizeof tight));
  EXPECT_EQ(std::strlen(tight), 5u);
}

TEST(OrgByteShift, RoundTripsPrintableText) {
  const std::string plain = "acme.com,Acme Widgets, Inc.,Springfield,IL,US\r\n";
  const std::string stored = ScrambleOrgText(plain);
  EXPECT_NE(stored, plain);
  EXPECT_EQ(stored.find("acme"), std::string::npos);
  std::string back;
  for (char c : stored) back.push_back(static_cast<char>(UnscrambleOrgByte(static_cast<unsigned char>(c))));
  EXPECT_EQ(back, plain);
  EXPECT_EQ(stored.substr(stored.size() - 2), "\r\n");
}

// Each case runs twice: with the file's image in memory (as a run opens it)
// and with every probe read from the file.
class OrgFileTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    folder_ = TempFolder();
    std::memset(&context_, 0, sizeof context_);
    context_.orgFile = KV_INVALID_FILE;
  }
  void TearDown() override {
    CloseOrganizationFile(&context_);
    std::remove((folder_ + "COMPANY.SML").c_str());
    std::remove(folder_.c_str());
  }
  void Open(const std::string& plain) {
    WriteBytes(folder_ + "COMPANY.SML", ScrambleOrgText(plain));
    ASSERT_EQ(OpenOrganizationFile(&context_, folder_.c_str()), 1);
    EXPECT_EQ(context_.orgFileKind, 0);
    EXPECT_EQ(context_.orgFileSize, plain.size());
    UseImage();
  }
  void UseImage() {
    ASSERT_NE(context_.orgImage, nullptr);
    if (!GetParam()) {
      std::free(context_.orgImage);
      context_.orgImage = nullptr;
    }
  }
  int Find(const char* domain, OrganizationRecord* record) {
    return FindOrganization(&context_, context_.orgFileSize, 0, domain, record);
  }

  std::string folder_;
  AnalysisContext context_;
};

// Every listed domain of a large file is found, among them domains that are
// prefixes of their neighbours; names between them are not.
TEST_P(OrgFileTest, FindsEveryListedDomain) {
  std::vector<std::string> domains;
  for (int i = 0; i < 1500; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "site%05d.com", i * 2);
    domains.push_back(name);
    if (i % 7 == 0) domains.push_back(std::string(name) + ".au");  // sorts right after its prefix
  }
  std::string plain;
  for (size_t i = 0; i < domains.size(); ++i) {
    plain += domains[i] + ",org " + std::to_string(i) + ",city" + std::to_string(i % 13) + ",st,C" +
             std::to_string(i % 5) + (i % 3 == 0 ? "\r\n" : "\n");
  }
  plain.pop_back();  // the last line ends without its line end
  if (plain.back() == '\r') plain.pop_back();
  Open(plain);
  for (size_t i = 0; i < domains.size(); ++i) {
    OrganizationRecord record;
    std::string wanted = domains[i];
    if (i % 2 == 0) wanted[0] = 'S';  // letter case does not matter
    ASSERT_EQ(Find(wanted.c_str(), &record), 1) << wanted;
    EXPECT_STREQ(record.line, domains[i].c_str());
    EXPECT_EQ(std::string(OrganizationName(&record)), "Org " + std::to_string(i));
    EXPECT_EQ(std::string(record.city), "City" + std::to_string(i % 13));
    EXPECT_EQ(std::string(record.country), "C" + std::to_string(i % 5));
  }
  OrganizationRecord record;
  for (const char* absent : {"site00001.com", "site00000.co", "site0000", "aaa.com", "zzz.com", "site00014.com.a"}) {
    EXPECT_EQ(Find(absent, &record), 0) << absent;
  }
  // The same domain asked again and again (as by visitors of one domain),
  // between others present and absent, answers alike every time.
  for (const char* domain : {"site00004.com", "site00004.com", "zzz.com", "zzz.com", "site00004.com", "SITE00004.COM",
                             "site00006.com", "site00004.com"}) {
    const bool present = std::string(domain) != "zzz.com";
    std::memset(&record, 0x5a, sizeof record);
    ASSERT_EQ(Find(domain, &record), present ? 1 : 0) << domain;
    if (!present) continue;
    EXPECT_STREQ(record.line, std::string(domain) == "site00006.com" ? "site00006.com" : "site00004.com");
    EXPECT_STREQ(record.city, std::string(domain) == "site00006.com" ? "City4" : "City3");
  }
}

TEST_P(OrgFileTest, SmallFileAndBrokenRecords) {
  Open("alpha.com,Alpha,A,B,C\nbeta.com\ngamma.com,Gamma,G,H,I\n");
  OrganizationRecord record;
  EXPECT_EQ(Find("alpha.com", &record), 1);
  EXPECT_EQ(Find("alph", &record), 0);
  // The walk reaches the line without a "," and stops there.
  EXPECT_EQ(Find("gamma.com", &record), 0);
}

TEST_P(OrgFileTest, OverlongLinesAnswerNotFound) {
  std::string plain = "a.com,A,B,C,D\n";
  plain += "b.com," + std::string(3000, 'x') + ",c,s,k\n";
  for (int i = 0; i < 50; ++i) plain += "c" + std::to_string(100 + i) + ".com,N,C,S,K\n";
  Open(plain);
  OrganizationRecord record;
  EXPECT_EQ(Find("b.com", &record), 0);
  EXPECT_EQ(Find("zz.com", &record), 0);
}

TEST_P(OrgFileTest, IntranetAnswersFirstAndNoFileFindsNothing) {
  IntranetEntry entry{};
  char texts[5][16] = {"Intra.Local", "Our Lab", "Basel", "BS", "CH"};
  for (int i = 0; i < 5; ++i) entry.texts[i] = texts[i];
  IntranetEntry* list[1] = {&entry};
  context_.intranet = list;
  context_.intranetCount = 1;
  OrganizationRecord record;
  ASSERT_EQ(Find("intra.local", &record), 1);  // no organisation file is open
  EXPECT_STREQ(record.line, "Our Lab");
  EXPECT_STREQ(record.city, "Basel");
  EXPECT_STREQ(record.state, "BS");
  EXPECT_STREQ(record.country, "CH");
  EXPECT_EQ(record.nameOffset, 0);
  EXPECT_EQ(Find("other.local", &record), 0);
  context_.intranet = nullptr;
  context_.intranetCount = 0;
}

TEST_P(OrgFileTest, BigFileIsPreferred) {
  WriteBytes(folder_ + "COMPANY.BIG", ScrambleOrgText("big.com,Big,X,Y,Z\n"));
  WriteBytes(folder_ + "COMPANY.SML", ScrambleOrgText("small.com,Small,X,Y,Z\n"));
  ASSERT_EQ(OpenOrganizationFile(&context_, folder_.c_str()), 1);
  EXPECT_EQ(context_.orgFileKind, 1);
  UseImage();
  OrganizationRecord record;
  EXPECT_EQ(Find("big.com", &record), 1);
  EXPECT_EQ(Find("small.com", &record), 0);
  std::remove((folder_ + "COMPANY.BIG").c_str());
}

INSTANTIATE_TEST_SUITE_P(ImageAndFile, OrgFileTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Image" : "File"; });

// The organisation and intranet files delivered with the program.
TEST(DeliveredFiles, OrganisationFileAndIntranetList) {
  const char* programDir = std::getenv("KV_PROGRAM_DIR");
  if (programDir == nullptr) GTEST_SKIP() << "KV_PROGRAM_DIR not set";
  const std::string folder = std::string(programDir) + "/";
  AnalysisContext context{};
  context.orgFile = KV_INVALID_FILE;
  ASSERT_EQ(OpenOrganizationFile(&context, folder.c_str()), 1);
  OrganizationRecord record;
  for (const char* domain : {"example.com", "example.edu", "example.net", "example.org"}) {
    EXPECT_EQ(FindOrganization(&context, context.orgFileSize, 0, domain, &record), 1) << domain;
    EXPECT_STREQ(record.country, "US");
  }
  EXPECT_EQ(FindOrganization(&context, context.orgFileSize, 0, "example.invalid", &record), 0);
  CloseOrganizationFile(&context);
  // The intranet list holds only its explanation: no entry.
  ASSERT_EQ(LoadIntranetList(&context, (folder + "KVINTRA.TXT").c_str()), 1);
  EXPECT_EQ(context.intranetCount, 0);
}

}  // namespace
}  // namespace vrn
