// The command-line engine client as a user runs it: a child process over a
// copy of the sample profile and log, its output and its exit codes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Result {
  int code;
  std::string out;
  std::string err;
};

class Client : public testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("KV_PROGRAM_DIR");
    ASSERT_NE(bin, nullptr);
    program_ = std::string(bin) + "/kvm-log";
    ASSERT_TRUE(fs::exists(program_));
    std::string pattern = testing::TempDir() + "kvclientXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
    fs::create_directories(folder_ + "profiles");
    fs::create_directories(folder_ + "samples");
    const std::string src = std::getenv("KV_SOURCE_DIR");
    fs::copy_file(src + "/data/kvm_log/profiles/00000001.wlp", folder_ + "profiles/00000001.wlp");
    fs::copy_file(src + "/data/kvm_log/samples/access_combined.log", folder_ + "samples/access_combined.log");
  }
  void TearDown() override { fs::remove_all(folder_); }

  // Runs the client with args; env holds extra NAME=value words.
  Result Run(const std::string& args, const std::string& env = "") {
    const std::string out = folder_ + "out.txt", err = folder_ + "err.txt";
    const std::string command = env + " TZ=UTC '" + program_ + "' --profiles '" + folder_ + "profiles' " + args +
                                " >'" + out + "' 2>'" + err + "'";
    int status = std::system(command.c_str());
    return Result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(out), Read(err)};
  }

  std::string program_;
  std::string folder_;
};

TEST_F(Client, HelpListAndCount) {
  Result help = Run("--help");
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("Usage: kvm-log"), std::string::npos);

  Result list = Run("list");
  EXPECT_EQ(list.code, 0);
  EXPECT_NE(list.out.find("00000001.wlp\tSample site"), std::string::npos) << list.out;

  Result count = Run("run 00000001 --kind count");
  EXPECT_EQ(count.code, 0) << count.err;
  EXPECT_EQ(count.out, "425\n");
  // The window's end is inclusive: its last second is in.
  Result day = Run("run 00000001.wlp --kind count --from 2026-11-15 --to 2026-11-15");
  Result after = Run("run 00000001 --kind count --from 2026-11-16");
  EXPECT_EQ(day.code, 0);
  EXPECT_EQ(std::stoi(day.out) + std::stoi(after.out), 425);
}

TEST_F(Client, ListingToStandardOutputOrAFile) {
  Result shown = Run("run 00000001 --from '2026-11-15 00:21' --to '2026-11-15 00:24:14'");
  ASSERT_EQ(shown.code, 0) << shown.err;
  EXPECT_NE(shown.out.find("Address:\t192.0.2.33"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find(" 00:24:14\tGET"), std::string::npos);
  EXPECT_EQ(shown.out.find('\x01'), std::string::npos);  // the viewer's markers are not printed
  Result toFile = Run("run 00000001 --kind detail --output '" + folder_ + "listing.txt'");
  ASSERT_EQ(toFile.code, 0) << toFile.err;
  EXPECT_TRUE(toFile.out.empty());
  EXPECT_NE(Read(folder_ + "listing.txt").find("Event:\tGET"), std::string::npos);
  // The listing's temporary folder is removed after the run.
  int left = 0;
  const char* tmp = std::getenv("TMPDIR");
  for (const auto& e : fs::directory_iterator(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp"))
    left += e.path().filename().string().rfind("kvm_log", 0) == 0 && fs::is_empty(e.path()) ? 1 : 0;
  EXPECT_EQ(left, 0);
}

// A profile with name lookups on, its lookups answered from a hosts file of
// the test's own (nss_wrapper), so no outside resolver is asked.
TEST_F(Client, NameLookupsOfAProfileShowHostNames) {
  std::string profile = Read(folder_ + "profiles/00000001.wlp");
  const size_t at = profile.find("DNSLookup=0");
  ASSERT_NE(at, std::string::npos);
  profile.replace(at, 11, "DNSLookup=1");
  std::ofstream(folder_ + "profiles/00000001.wlp", std::ios::binary | std::ios::trunc) << profile;
  std::ofstream(folder_ + "hosts") << "192.0.2.33 visitor.example.net\n";
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string env = "LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_HOSTS='" + folder_ + "hosts' ASAN_OPTIONS='" +
                          std::string(asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "") +
                          "verify_asan_link_order=0'";
  // Five hits of one address in this window: one lookup, shared.
  const std::string window = " --from '2026-11-15 00:21' --to '2026-11-15 00:24:14'";
  Result shown = Run("run 00000001" + window, env);
  ASSERT_EQ(shown.code, 0) << shown.err;
  EXPECT_NE(shown.out.find("visitor.example.net"), std::string::npos) << shown.out;
  EXPECT_EQ(shown.out.find("192.0.2.33"), std::string::npos) << shown.out;
  EXPECT_NE(Read(folder_ + "profiles/NSLOOKUP.DTX").find("visitor.example.net 192.0.2.33 "), std::string::npos);
  Result count = Run("run 00000001 --kind count" + window, env);
  EXPECT_EQ(count.code, 0) << count.err;
  EXPECT_EQ(count.out, "5\n");
}

TEST_F(Client, ClearErrorsAndExitCodes) {
  struct E {
    std::string args;
    int code;
    const char* message;
  } cases[] = {
      {"", 1, "Usage"},
      {"run", 1, "Usage"},
      {"--bogus list", 1, "unknown option"},
      {"run 00000001 --kind pie", 1, "unknown kind"},
      {"run 00000001 --group 7", 1, "no grouping 7"},
      {"run nosuch", 2, "unknown profile nosuch"},
      {"run 00000001 --from 2026-02-30", 4, "bad time"},
      {"run 00000001 --from 2026-11-16 --to 2026-11-15", 4, "ends before it starts"},
      {"run 00000001 --from 2030-01-01", 3, "no log record lies in the time window"},
  };
  for (const E& e : cases) {
    Result r = Run(e.args);
    EXPECT_EQ(r.code, e.code) << e.args << ": " << r.err;
    EXPECT_NE((r.err + r.out).find(e.message), std::string::npos) << e.args << ": " << r.err;
  }
  fs::remove(folder_ + "samples/access_combined.log");
  Result gone = Run("run 00000001");
  EXPECT_EQ(gone.code, 3);
  EXPECT_NE(gone.err.find("cannot be opened"), std::string::npos) << gone.err;
}

}  // namespace
