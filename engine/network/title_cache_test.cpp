// The title cache file title.wdb: its byte layout, what the loader refuses,
// and the cache kept across registrations in the profile folder.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <vornic/titles.h>

#include "engine/network/remote_test_support.h"
#include "engine/network/title_cache.h"

using namespace remotetest;

namespace {

bool Decode(const std::string& image, std::vector<vrn::TitleCacheEntry>* entries) {
  return vrn::DecodeTitleCache(reinterpret_cast<const uint8_t*>(image.data()), image.size(), entries);
}

TEST(TitleCacheFile, LayoutIsLittleEndianByteForByte) {
  const std::string image = vrn::EncodeTitleCache({{"ab", "T", 0x0102030405060708LL}});
  const std::string expected("KVTC\x01\x00\x00\x00\x01\x00\x00\x00"
                             "\x08\x07\x06\x05\x04\x03\x02\x01\x02\x00\x01\x00"
                             "abT",
                             27);
  EXPECT_EQ(image, expected);
}

TEST(TitleCacheFile, RoundTripsAndLeavesOutWhatCannotBeStored) {
  std::string binaryTitle;
  for (int c = 1; c < 256; ++c) binaryTitle.push_back(static_cast<char>(c));
  const std::vector<vrn::TitleCacheEntry> in = {
      {"http://a.test/", "A", 1},
      {"http://b.test/x", binaryTitle, -5},
      {std::string(vrn::kTitleAddressMax, 'p'), std::string(vrn::kTitleTextMax, 't'), 1LL << 40},
      {"http://empty.test/", "", 7},                                 // no title
      {"", "no address", 7},                                          // no address
      {std::string(vrn::kTitleAddressMax + 1, 'p'), "too long", 7},  // address too long
      {"http://c.test/", std::string(vrn::kTitleTextMax + 1, 't'), 7},
  };
  std::vector<vrn::TitleCacheEntry> out;
  ASSERT_TRUE(Decode(vrn::EncodeTitleCache(in), &out));
  ASSERT_EQ(out.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(out[i].address, in[i].address);
    EXPECT_EQ(out[i].title, in[i].title);
    EXPECT_EQ(out[i].expiry, in[i].expiry);
  }
  ASSERT_TRUE(Decode(vrn::EncodeTitleCache({}), &out));
  EXPECT_TRUE(out.empty());
}

TEST(TitleCacheFile, LoaderRefusesImagesThatBreakTheLayout) {
  const std::string good = vrn::EncodeTitleCache({{"http://a.test/", "Alpha", 100}, {"http://b.test/", "Beta", 200}});
  std::vector<vrn::TitleCacheEntry> out;
  ASSERT_TRUE(Decode(good, &out));
  // Every shorter image is refused, and so is one with bytes after the end.
  for (size_t n = 0; n < good.size(); ++n) {
    EXPECT_FALSE(Decode(good.substr(0, n), &out)) << n;
    EXPECT_TRUE(out.empty());
  }
  EXPECT_FALSE(Decode(good + "x", &out));

  auto patched = [&](size_t at, std::string bytes) {
    std::string image = good;
    image.replace(at, bytes.size(), bytes);
    return image;
  };
  const size_t firstLengths = vrn::kTitleCacheHeaderSize + 8;
  const struct {
    const char* what;
    std::string image;
  } cases[] = {
      {"magic", patched(0, "KVTX")},
      {"version", patched(4, std::string("\x02\x00", 2))},
      {"reserved", patched(6, std::string("\x00\x01", 2))},
      {"count beyond the entries", patched(8, std::string("\x03\x00\x00\x00", 4))},
      {"count beyond the limit", patched(8, std::string("\xff\xff\xff\xff", 4))},
      {"count short of the entries", patched(8, std::string("\x01\x00\x00\x00", 4))},
      {"empty address", patched(firstLengths, std::string("\x00\x00", 2))},
      {"address overlong", patched(firstLengths, std::string("\x01\x04", 2))},
      {"address past the end", patched(firstLengths, std::string("\xff\x03", 2))},
      {"empty title", patched(firstLengths + 2, std::string("\x00\x00", 2))},
      {"title overlong", patched(firstLengths + 2, std::string("\x00\x01", 2))},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(Decode(c.image, &out)) << c.what;
    EXPECT_TRUE(out.empty()) << c.what;
  }
}

TEST(TitleCacheMemory, FullCacheDropsTheEntryThatExpiresFirst) {
  vrn::ResetTitleCache();
  for (size_t i = 0; i < vrn::kTitleCacheMaxEntries; ++i) {
    vrn::AddCachedTitle("http://p/" + std::to_string(i), "T", 1000 + static_cast<int64_t>(i));
  }
  vrn::AddCachedTitle("http://p/new", "New", 5000000);
  std::string title;
  EXPECT_FALSE(vrn::LookupCachedTitle("http://p/0", 1000, &title));
  EXPECT_TRUE(vrn::LookupCachedTitle("http://p/1", 1000, &title));
  EXPECT_TRUE(vrn::LookupCachedTitle("http://p/new", 1000, &title));
  EXPECT_EQ(title, "New");
  // An entry is served until its expiry only.
  EXPECT_FALSE(vrn::LookupCachedTitle("http://p/new", 5000000 + vrn::kTitleLifetimeSeconds, &title));
  vrn::ResetTitleCache();
}

// ---- the file in the profile folder ------------------------------------------------

class TitleCacheFileTest : public RemoteFixture {
 protected:
  void SetUp() override {
    RemoteFixture::SetUp();
    vrn::ResetTitleCache();
    // Nothing listens here: a title that is not cached cannot be had.
    address_ = "http://127.0.0.1:" + std::to_string(FreePort()) + "/index.html";
  }
  void TearDown() override {
    RemoteFixture::TearDown();
    vrn::ResetTitleCache();
  }
  std::string CacheFile() const { return ProfileDir() + "title.wdb"; }
  int Ask(std::string* title, uint32_t* stop) {
    char text[VRN_HTML_TITLE_SIZE];
    *stop = 0;
    const int found = VRN_GetHTML_Title(0, address_.c_str(), "", "", text, nullptr, stop);
    *title = text;
    return found;
  }
  std::string address_;
};

TEST_F(TitleCacheFileTest, DeRegisterWritesTheCacheAndTheNextLookupReadsIt) {
  const int64_t now = std::time(nullptr);
  vrn::AddCachedTitle(address_, "Kept title", now);
  ASSERT_FALSE(fs::exists(CacheFile()));
  VRN_DeRegister(static_cast<uint16_t>(slot_));
  slot_ = -1;
  ASSERT_TRUE(fs::exists(CacheFile()));
  std::vector<vrn::TitleCacheEntry> entries;
  ASSERT_TRUE(Decode(ReadFile(CacheFile()), &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].address, address_);
  EXPECT_EQ(entries[0].title, "Kept title");
  EXPECT_GE(entries[0].expiry, now + vrn::kTitleLifetimeSeconds);
  EXPECT_LE(entries[0].expiry, now + vrn::kTitleLifetimeSeconds + 60);

  uint32_t network = 0;
  slot_ = VRN_Register(ProfileDir().c_str(), 1, 7, nullptr, &network, resources_, 0, 0, nullptr);
  ASSERT_EQ(slot_, 0);
  std::string title;
  uint32_t stop = 0;
  EXPECT_EQ(Ask(&title, &stop), 1);
  EXPECT_EQ(title, "Kept title");
  EXPECT_EQ(stop, 0u);
}

TEST_F(TitleCacheFileTest, ExpiredAndUnreadableFilesGiveNoTitle) {
  const int64_t now = std::time(nullptr);
  const struct {
    const char* what;
    std::string image;
  } cases[] = {
      {"expired", vrn::EncodeTitleCache({{address_, "Old", now - 1}})},
      {"garbage", "not a title cache at all"},
      {"cut", vrn::EncodeTitleCache({{address_, "Cut", now + 1000}}).substr(0, 20)},
  };
  for (const auto& c : cases) {
    vrn::ResetTitleCache();
    WriteFile(CacheFile(), c.image);
    std::string title;
    uint32_t stop = 0;
    EXPECT_EQ(Ask(&title, &stop), 0) << c.what;
    EXPECT_EQ(title, "") << c.what;
    EXPECT_EQ(stop, 1u) << c.what;  // it went to the network
  }
  // Saving replaces the unreadable file with a valid one of what is cached.
  vrn::AddCachedTitle("http://other.test/", "Other", now);
  vrn::SaveTitleCache();
  std::vector<vrn::TitleCacheEntry> entries;
  ASSERT_TRUE(Decode(ReadFile(CacheFile()), &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].title, "Other");
  EXPECT_FALSE(fs::exists(CacheFile() + ".new"));
}

TEST_F(TitleCacheFileTest, SavingDropsExpiredEntriesAndKeepsAnUnchangedFile) {
  const int64_t now = std::time(nullptr);
  const std::string image =
      vrn::EncodeTitleCache({{"http://gone.test/", "Gone", now - 10}, {address_, "Live", now + 1000}});
  WriteFile(CacheFile(), image);
  std::string title;
  uint32_t stop = 0;
  ASSERT_EQ(Ask(&title, &stop), 1);
  EXPECT_EQ(title, "Live");
  vrn::SaveTitleCache();  // nothing changed: the file stays as it was
  EXPECT_EQ(ReadFile(CacheFile()), image);
  ASSERT_EQ(Ask(&title, &stop), 1);
  vrn::AddCachedTitle("http://new.test/", "New", now);
  vrn::SaveTitleCache();
  std::vector<vrn::TitleCacheEntry> entries;
  ASSERT_TRUE(Decode(ReadFile(CacheFile()), &entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].address, address_);
  EXPECT_EQ(entries[1].address, "http://new.test/");
}

}  // namespace
