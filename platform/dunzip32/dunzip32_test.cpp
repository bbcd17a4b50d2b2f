// The unzip module as its users load it: by name from the program folder.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <zip.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/dunzip32/dunzip.h"
#include "platform/module/module.h"

namespace {

namespace fs = std::filesystem;

class DunzipTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "kvdunzipXXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    dir_ = buf.data();
    module_ = KvLoadModule("DUNZIP32.DLL");
    ASSERT_NE(module_, nullptr) << "DUNZIP32.so must be built into the program folder";
    fn_ = reinterpret_cast<DunzipFn>(KvGetProcAddress(module_, "dunzip"));
    ASSERT_NE(fn_, nullptr);
  }
  void TearDown() override {
    if (module_ != nullptr) KvFreeModule(module_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Writes a ZIP archive of (name, content) members; a name ending in "/" is a folder.
  std::string MakeZip(const std::string& name, const std::vector<std::pair<std::string, std::string>>& members) {
    const std::string path = dir_ + "/" + name;
    int error = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    EXPECT_NE(z, nullptr);
    if (z == nullptr) return path;
    for (const auto& m : members) {
      if (!m.first.empty() && m.first.back() == '/') {
        EXPECT_GE(zip_dir_add(z, m.first.c_str(), ZIP_FL_ENC_UTF_8), 0);
        continue;
      }
      zip_source_t* src = zip_source_buffer(z, m.second.data(), m.second.size(), 0);
      EXPECT_GE(zip_file_add(z, m.first.c_str(), src, ZIP_FL_ENC_UTF_8), 0);
    }
    EXPECT_EQ(zip_close(z), 0);
    return path;
  }

  static DunzipRequest Request(uint32_t action, const std::string& archive) {
    DunzipRequest r{};
    r.structSize = sizeof(r);
    r.action = action;
    r.archivePath = archive.c_str();
    return r;
  }

  static std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  std::vector<std::string> FolderNames() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    return names;
  }

  std::string dir_;
  KvModule module_ = nullptr;
  DunzipFn fn_ = nullptr;
};

std::string BigText(size_t lines) {
  std::string text;
  for (size_t i = 0; i < lines; ++i) text += "line " + std::to_string(i * 7919) + " of a log that is long enough\n";
  return text;
}

TEST_F(DunzipTest, CountsAndDescribesMembers) {
  const std::string longName(700, 'n');
  const std::string zip = MakeZip("a.zip", {{"one.log", "abc\n"}, {"sub/", ""}, {longName, "x"}});
  DunzipRequest r = Request(DUNZIP_ACTION_COUNT, zip);
  ASSERT_EQ(fn_(&r), DUNZIP_OK);
  EXPECT_EQ(r.memberCount, 3u);

  r = Request(DUNZIP_ACTION_MEMBER_INFO, zip);
  r.memberIndex = 0;
  ASSERT_EQ(fn_(&r), DUNZIP_OK);
  EXPECT_STREQ(r.memberName, "one.log");
  EXPECT_EQ(r.uncompressedSize, 4u);
  EXPECT_EQ(r.isFolder, 0u);

  r.memberIndex = 1;
  ASSERT_EQ(fn_(&r), DUNZIP_OK);
  EXPECT_EQ(r.isFolder, 1u);

  r.memberIndex = 2;
  ASSERT_EQ(fn_(&r), DUNZIP_OK);
  EXPECT_EQ(r.memberNameCut, 1u);
  EXPECT_EQ(std::string(r.memberName), longName.substr(0, DUNZIP_NAME_SIZE - 1));

  r.memberIndex = 3;
  EXPECT_EQ(fn_(&r), DUNZIP_NO_SUCH_MEMBER);
}

TEST_F(DunzipTest, RefusesBadRequestsAndNonArchives) {
  EXPECT_EQ(fn_(nullptr), DUNZIP_BAD_REQUEST);
  const std::string zip = MakeZip("a.zip", {{"one.log", "abc\n"}});
  DunzipRequest r = Request(DUNZIP_ACTION_COUNT, zip);
  r.structSize = 8;
  EXPECT_EQ(fn_(&r), DUNZIP_BAD_REQUEST);
  r = Request(99, zip);
  EXPECT_EQ(fn_(&r), DUNZIP_BAD_REQUEST);
  r = Request(DUNZIP_ACTION_EXTRACT, zip);  // no output named
  EXPECT_EQ(fn_(&r), DUNZIP_BAD_REQUEST);

  const std::string plain = dir_ + "/plain.log";
  std::ofstream(plain) << "PK but not an archive\n";
  const std::string missing = dir_ + "/missing.zip";
  for (const std::string* path : {&plain, &missing}) {
    r = Request(DUNZIP_ACTION_COUNT, *path);
    EXPECT_EQ(fn_(&r), DUNZIP_OPEN_FAILED) << *path;
  }
}

TEST_F(DunzipTest, ExtractsAMemberWhole) {
  const std::string content = BigText(20000);
  const std::string zip = MakeZip("a.zip", {{"first.log", "x\n"}, {"big.log", content}});
  const std::string out = dir_ + "/UNZIP1.LOG";
  std::vector<uint32_t> percents;
  DunzipRequest r = Request(DUNZIP_ACTION_EXTRACT, zip);
  r.memberIndex = 1;
  r.outputPath = out.c_str();
  r.overwrite = 1;
  r.user = &percents;
  r.progress = [](void* user, uint32_t percent) -> int32_t {
    static_cast<std::vector<uint32_t>*>(user)->push_back(percent);
    return 0;
  };
  ASSERT_EQ(fn_(&r), DUNZIP_OK);
  EXPECT_EQ(ReadAll(out), content);
  EXPECT_EQ(r.bytesWritten, content.size());
  ASSERT_FALSE(percents.empty());
  for (size_t i = 0; i < percents.size(); ++i) {
    EXPECT_LE(percents[i], 100u);
    if (i > 0) {
      EXPECT_GE(percents[i], percents[i - 1]);
    }
  }
  EXPECT_EQ(percents.back(), 100u);
  EXPECT_EQ(FolderNames().size(), 2u) << "no temporary file is left";
}

TEST_F(DunzipTest, NameCallbackChoosesTheOutput) {
  const std::string zip = MakeZip("a.zip", {{"m.log", "named\n"}});
  static std::string chosen;
  chosen = dir_ + "/chosen.log";
  DunzipRequest r = Request(DUNZIP_ACTION_EXTRACT, zip);
  const std::string ignored = dir_ + "/ignored.log";
  r.outputPath = ignored.c_str();
  r.overwrite = 1;
  r.nameCallback = [](void*, char* out, uint32_t size) -> int32_t {
    if (chosen.size() >= size) return 0;
    std::snprintf(out, size, "%s", chosen.c_str());
    return 1;
  };
  ASSERT_EQ(fn_(&r), DUNZIP_OK);
  EXPECT_EQ(ReadAll(chosen), "named\n");
  EXPECT_FALSE(fs::exists(ignored));
}

TEST_F(DunzipTest, CancelLeavesNoOutputAndKeepsAnOldOne) {
  const std::string zip = MakeZip("a.zip", {{"big.log", BigText(40000)}});
  const std::string out = dir_ + "/UNZIP1.LOG";
  struct Counter {
    int calls = 0;
  } counter;
  DunzipRequest r = Request(DUNZIP_ACTION_EXTRACT, zip);
  r.outputPath = out.c_str();
  r.overwrite = 1;
  r.user = &counter;
  r.progress = [](void* user, uint32_t) -> int32_t { return ++static_cast<Counter*>(user)->calls >= 2 ? 1 : 0; };
  EXPECT_EQ(fn_(&r), DUNZIP_CANCELLED);
  EXPECT_FALSE(fs::exists(out)) << "a cancelled extraction leaves no file under the output name";
  EXPECT_EQ(FolderNames().size(), 1u) << "nor a temporary one";

  // An output that existed before a cancelled overwrite is left as it was.
  std::ofstream(out) << "earlier\n";
  counter.calls = 0;
  EXPECT_EQ(fn_(&r), DUNZIP_CANCELLED);
  EXPECT_EQ(ReadAll(out), "earlier\n");
}

TEST_F(DunzipTest, FoldersAndExistingOutputs) {
  const std::string zip = MakeZip("a.zip", {{"dir/", ""}, {"m.log", "new\n"}});
  const std::string out = dir_ + "/out.log";
  DunzipRequest r = Request(DUNZIP_ACTION_EXTRACT, zip);
  r.outputPath = out.c_str();
  r.memberIndex = 0;
  EXPECT_EQ(fn_(&r), DUNZIP_NOTHING_TO_EXTRACT);
  EXPECT_FALSE(fs::exists(out));

  std::ofstream(out) << "old\n";
  r.memberIndex = 1;
  r.overwrite = 0;
  EXPECT_EQ(fn_(&r), DUNZIP_KEPT_EXISTING);
  EXPECT_EQ(ReadAll(out), "old\n");
  r.overwrite = 1;
  EXPECT_EQ(fn_(&r), DUNZIP_OK);
  EXPECT_EQ(ReadAll(out), "new\n");
}

TEST_F(DunzipTest, DamagedMemberIsAReadFailureWithoutOutput) {
  const std::string content = BigText(5000);
  const std::string zip = MakeZip("a.zip", {{"big.log", content}});
  // Flip bytes in the middle of the compressed data.
  std::string bytes = ReadAll(zip);
  ASSERT_GT(bytes.size(), 400u);
  for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 16; ++i) bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
  std::ofstream(zip, std::ios::binary | std::ios::trunc) << bytes;

  const std::string out = dir_ + "/out.log";
  DunzipRequest r = Request(DUNZIP_ACTION_EXTRACT, zip);
  r.outputPath = out.c_str();
  r.overwrite = 1;
  const int32_t result = fn_(&r);
  EXPECT_TRUE(result == DUNZIP_READ_FAILED || result == DUNZIP_OPEN_FAILED) << result;
  EXPECT_FALSE(fs::exists(out));
  EXPECT_EQ(FolderNames().size(), 1u);
}

}  // namespace
