// Test helpers of the name resolution tests: a registered engine over a
// temporary engine folder and profile directory, with the English texts,
// and hits made from a client address.
#ifndef VORNIC_NETWORK_DNS_TEST_SUPPORT_H
#define VORNIC_NETWORK_DNS_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/core/engine_state.h"
#include "engine/core/hit_record.h"
#include "engine/network/dns_queue.h"
#include "platform/module/module.h"
#include "platform/testsupport/files.h"
#include "vornic/registration.h"

namespace dnstest {

inline std::string MakeTempFolder(const char* tag) {
  std::string pattern = testing::TempDir() + tag + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const char* made = mkdtemp(buffer.data());
  return made != nullptr ? std::string(made) + "/" : std::string();
}

inline void WriteFile(const std::string& path, const std::string& bytes) { kv::test::WriteBytes(path, bytes); }

inline std::string ReadFile(const std::string& path) { return kv::test::ReadText(path); }

// A hit whose client host is `client` and server text `server`, with a line
// copy of its own (freed by the queue or by FreeHit).
struct TestHit {
  vrn::HitRecord hit{};
  explicit TestHit(const std::string& client, const std::string& server = "") {
    const std::string line = client + " - - [01/Jan/2026:00:00:00] \"GET / HTTP/1.0\" 200 10";
    vrn::InitHitRecord(&hit, line.data(), static_cast<uint32_t>(line.size()));
    vrn::CopyHitText(hit.ClientHost, sizeof(hit.ClientHost), client.c_str());
    vrn::CopyHitText(hit.Server, sizeof(hit.Server), server.c_str());
  }
  ~TestHit() { vrn::FreeHitLine(&hit); }
  TestHit(const TestHit&) = delete;
  TestHit& operator=(const TestHit&) = delete;
};

// The engine registered once per test over a temporary folder. moduleIni is
// the text of kvm_log.ini; bindNetwork asks for the socket module.
class EngineFixture : public testing::Test {
 protected:
  void StartEngine(const std::string& moduleIni, bool bindNetwork) {
    vrn::g_engine = vrn::EngineState{};
    folder_ = MakeTempFolder("kvdns");
    ASSERT_FALSE(folder_.empty());
    ASSERT_EQ(system(("mkdir -p '" + folder_ + "kvm_log' '" + folder_ + "profiles'").c_str()), 0);
    vrn::SetApplicationPath(folder_ + "libVornic.so");
    setenv("KV_WIN_INI", (folder_ + "WIN.INI").c_str(), 1);
    WriteFile(folder_ + "kvm_log/kvm_log.ini", moduleIni);
    resources_ = KvLoadModule("kvm_log_en.so");
    ASSERT_NE(resources_, nullptr) << "kvm_log_en.so is built into the program folder";
    uint32_t network = 0;
    slot_ = VRN_Register(ProfileDir().c_str(), 1, 7, nullptr, bindNetwork ? &network : nullptr, resources_, 0, 0,
                         nullptr);
    ASSERT_EQ(slot_, 0);
    if (bindNetwork) {
      ASSERT_EQ(network, 1u) << "WSOCK32.so and FTP4W32.so are built into the program folder";
    }
  }
  void TearDown() override {
    if (slot_ >= 0) VRN_DeRegister(static_cast<uint16_t>(slot_));
    if (resources_ != nullptr) KvFreeModule(resources_);
    unsetenv("KV_WIN_INI");
    vrn::SetApplicationPath("");
    if (!folder_.empty()) system(("rm -rf '" + folder_ + "'").c_str());
  }
  std::string ProfileDir() const { return folder_ + "profiles/"; }

  std::string folder_;
  KvModule resources_ = nullptr;
  int16_t slot_ = -1;
};

}  // namespace dnstest

#endif
