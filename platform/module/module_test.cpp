// Loading modules of the program folder, name mapping, exports by name and
// ordinal, reference counts and the module of an address.
#include "platform/module/module.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <string>

#include "platform/base/lasterror.h"
#include "platform/base/paths.h"
#include "platform/module/resource.h"

namespace {

std::string ProgramDir() {
    std::string dir = kv::ProgramFolder();
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

std::string FileName(KvModule module) {
    char buffer[4096];
    uint32_t n = KvGetModuleFileName(module, buffer, sizeof buffer);
    return std::string(buffer, n);
}

int LocalFunction() { return 7; }

TEST(ModuleLoad, NameMappingFindsTheSameModule) {
    KvModule first = KvLoadModule("KVTESTALPHA.so");
    ASSERT_NE(first, nullptr);
    const std::string names[] = {
        "KVTESTALPHA.DLL",
        "kvtestalpha.dll",
        "KvTestAlpha",
        "kvtestalpha.SO",
        "C:\\KELVARON\\KVTESTALPHA.DLL",
        "d:kvtestalpha.dll",
        "..\\other/place\\KvTestAlpha.Dll",
        ProgramDir() + "KVTESTALPHA.so",
        ProgramDir() + "kvtestalpha.dll",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        KvModule module = KvLoadModule(name.c_str());
        ASSERT_EQ(module, first);
        auto fn = reinterpret_cast<int32_t (*)()>(KvGetProcAddress(module, "AlphaName"));
        ASSERT_NE(fn, nullptr);
        EXPECT_EQ(fn(), 1);
        EXPECT_TRUE(KvFreeModule(module));
    }
    EXPECT_EQ(FileName(first), ProgramDir() + "KVTESTALPHA.so");
    EXPECT_TRUE(KvFreeModule(first));
}

TEST(ModuleLoad, FailuresGiveNullAndAnErrorCode) {
    struct Case {
        const char* name;
        uint32_t error;
    } cases[] = {
        {"NOSUCH.DLL", KV_ERROR_MOD_NOT_FOUND},
        {"C:\\KELVARON\\", KV_ERROR_MOD_NOT_FOUND},
        {"/nonexistent-folder/KVTESTALPHA.so", KV_ERROR_MOD_NOT_FOUND},
        {"", KV_ERROR_INVALID_PARAMETER},
        {nullptr, KV_ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        kv::SetLastError(0);
        EXPECT_EQ(KvLoadModule(c.name), nullptr);
        EXPECT_EQ(kv::GetLastError(), c.error);
    }
    // A file that is not a shared object.
    std::string dir = testing::TempDir();
    std::string junk = dir + "/kvjunk.so";
    FILE* f = std::fopen(junk.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("not a module", f);
    std::fclose(f);
    kv::SetLastError(0);
    EXPECT_EQ(KvLoadModule(junk.c_str()), nullptr);
    EXPECT_EQ(kv::GetLastError(), KV_ERROR_BAD_EXE_FORMAT);
    std::remove(junk.c_str());
}

TEST(ModuleLoad, ReferenceCountingAndBadHandles) {
    KvModule a = KvLoadModule("KVTESTALPHA.DLL");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(KvLoadModule("kvtestalpha"), a);
    EXPECT_TRUE(KvFreeModule(a));
    // Still loaded: one reference left.
    EXPECT_NE(KvGetProcAddress(a, "AlphaAdd"), nullptr);
    EXPECT_TRUE(KvFreeModule(a));
    // Unloaded now: the handle is no longer valid.
    kv::SetLastError(0);
    EXPECT_FALSE(KvFreeModule(a));
    EXPECT_EQ(kv::GetLastError(), KV_ERROR_INVALID_HANDLE);
    EXPECT_EQ(KvGetProcAddress(a, "AlphaAdd"), nullptr);

    auto bogus = reinterpret_cast<KvModule>(static_cast<uintptr_t>(0x12345678));
    kv::SetLastError(0);
    EXPECT_FALSE(KvFreeModule(bogus));
    EXPECT_EQ(kv::GetLastError(), KV_ERROR_INVALID_HANDLE);
    EXPECT_EQ(KvGetProcAddress(bogus, "AlphaAdd"), nullptr);
    EXPECT_EQ(KvGetProcOrdinal(bogus, 1), nullptr);
    char buffer[16] = "x";
    EXPECT_EQ(KvGetModuleFileName(bogus, buffer, sizeof buffer), 0u);
    EXPECT_STREQ(buffer, "");
    EXPECT_FALSE(KvFreeModule(nullptr));
}

TEST(ModuleExports, MissingNameFailsAndDependenciesDoNotCount) {
    KvModule alpha = KvLoadModule("KVTESTALPHA.DLL");
    KvModule beta = KvLoadModule("KVTEST_BETA.DLL");
    ASSERT_NE(alpha, nullptr);
    ASSERT_NE(beta, nullptr);
    ASSERT_NE(alpha, beta);

    auto add_a = reinterpret_cast<int32_t (*)(int32_t, int32_t)>(KvGetProcAddress(alpha, "AlphaAdd"));
    auto add_b = reinterpret_cast<int32_t (*)(int32_t, int32_t)>(KvGetProcAddress(beta, "AlphaAdd"));
    ASSERT_NE(add_a, nullptr);
    ASSERT_NE(add_b, nullptr);
    EXPECT_EQ(add_a(5, 3), 8);
    EXPECT_EQ(add_b(5, 3), 2);
    EXPECT_NE(KvGetProcAddress(alpha, "AlphaOnly"), nullptr);
    auto* counter = reinterpret_cast<int32_t*>(KvGetProcAddress(alpha, "alpha_counter"));
    ASSERT_NE(counter, nullptr);
    EXPECT_EQ(*counter, 42);

    const char* missing[] = {"AlphaOnly", "KvLoadModule", "malloc", "", "alphaadd"};
    for (const char* name : missing) {
        SCOPED_TRACE(name);
        kv::SetLastError(0);
        EXPECT_EQ(KvGetProcAddress(beta, name), nullptr);
        EXPECT_EQ(kv::GetLastError(), KV_ERROR_PROC_NOT_FOUND);
    }
    kv::SetLastError(0);
    EXPECT_EQ(KvGetProcAddress(beta, nullptr), nullptr);
    EXPECT_EQ(kv::GetLastError(), KV_ERROR_INVALID_PARAMETER);

    EXPECT_TRUE(KvFreeModule(beta));
    EXPECT_TRUE(KvFreeModule(alpha));
}

TEST(ModuleExports, Ordinals) {
    KvModule alpha = KvLoadModule("KVTESTALPHA.DLL");
    KvModule beta = KvLoadModule("kvtest_beta");
    ASSERT_NE(alpha, nullptr);
    ASSERT_NE(beta, nullptr);

    auto one = reinterpret_cast<int32_t (*)()>(KvGetProcOrdinal(alpha, 1));
    auto twice = reinterpret_cast<int32_t (*)(int32_t)>(KvGetProcOrdinal(alpha, 124));
    ASSERT_NE(one, nullptr);
    ASSERT_NE(twice, nullptr);
    EXPECT_EQ(one(), 101);
    EXPECT_EQ(twice(21), 42);
    // A small number in place of a name is an ordinal.
    EXPECT_EQ(reinterpret_cast<void*>(KvGetProcAddress(alpha, reinterpret_cast<const char*>(uintptr_t{124}))),
              reinterpret_cast<void*>(twice));

    struct Case {
        KvModule module;
        uint32_t ordinal;
    } missing[] = {{alpha, 0}, {alpha, 2}, {alpha, 125}, {beta, 1}, {nullptr, 1}};
    for (const Case& c : missing) {
        SCOPED_TRACE(c.ordinal);
        kv::SetLastError(0);
        EXPECT_EQ(KvGetProcOrdinal(c.module, c.ordinal), nullptr);
        EXPECT_EQ(kv::GetLastError(), KV_ERROR_PROC_NOT_FOUND);
    }
    EXPECT_TRUE(KvFreeModule(beta));
    EXPECT_TRUE(KvFreeModule(alpha));
}

TEST(ModuleIdentity, SelfAddressesAndFilePaths) {
    KvModule self = KvSelfModule();
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(KvSelfModule(), self);
    EXPECT_TRUE(KvFreeModule(self));  // never unloaded
    EXPECT_EQ(KvModuleFromAddress(reinterpret_cast<const void*>(&LocalFunction)), self);

    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(FileName(self), std::string(exe, static_cast<size_t>(n)));
    EXPECT_EQ(FileName(nullptr), std::string(exe, static_cast<size_t>(n)));

    // A linked library found by address, without having been loaded by name.
    KvModule lib = KvModuleFromAddress(reinterpret_cast<const void*>(&KvLoadModule));
    ASSERT_NE(lib, nullptr);
    EXPECT_NE(lib, self);
    std::string lib_path = FileName(lib);
    EXPECT_NE(lib_path.find("libkvplat_module.so"), std::string::npos) << lib_path;
    EXPECT_NE(KvGetProcAddress(lib, "KvSelfModule"), nullptr);

    KvModule beta = KvLoadModule("kvtest_beta.dll");
    ASSERT_NE(beta, nullptr);
    auto beta_self = reinterpret_cast<KvModule (*)()>(KvGetProcAddress(beta, "BetaSelf"));
    ASSERT_NE(beta_self, nullptr);
    EXPECT_EQ(beta_self(), beta);
    EXPECT_TRUE(KvFreeModule(beta));

    int on_stack = 0;
    kv::SetLastError(0);
    EXPECT_EQ(KvModuleFromAddress(&on_stack), nullptr);
    EXPECT_EQ(kv::GetLastError(), KV_ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(KvModuleFromAddress(nullptr), nullptr);
}

TEST(ModuleIdentity, FileNameIsTruncatedToTheBuffer) {
    KvModule alpha = KvLoadModule("KVTESTALPHA.DLL");
    ASSERT_NE(alpha, nullptr);
    std::string full = ProgramDir() + "KVTESTALPHA.so";
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    kv::SetLastError(0);
    EXPECT_EQ(KvGetModuleFileName(alpha, buffer, 5), 4u);
    EXPECT_EQ(std::string(buffer), full.substr(0, 4));
    EXPECT_EQ(buffer[5], 'x');
    EXPECT_EQ(kv::GetLastError(), KV_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(KvGetModuleFileName(alpha, buffer, 0), 0u);
    EXPECT_EQ(KvGetModuleFileName(alpha, nullptr, 10), 0u);
    EXPECT_TRUE(KvFreeModule(alpha));
}

TEST(ModuleLoad, Odbc32MapsToTheDriverManager) {
    KvModule odbc = KvLoadModule("ODBC32.DLL");
    if (odbc == nullptr) GTEST_SKIP() << "libodbc.so.2 is not installed";
    EXPECT_NE(FileName(odbc).find("libodbc.so.2"), std::string::npos);
    EXPECT_NE(KvGetProcAddress(odbc, "SQLAllocHandle"), nullptr);
    EXPECT_EQ(KvLoadModule("odbc32"), odbc);
    EXPECT_TRUE(KvFreeModule(odbc));
    EXPECT_TRUE(KvFreeModule(odbc));
}

}  // namespace
