// Run-time binding of the driver manager: all entry points or none, a
// separate binding with its own environment, and the error report.
#include "engine/database/odbc_library.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/module/module.h"
#include "platform/ui/msgbox.h"

namespace {

// No data source is defined: the driver manager reads empty settings of
// the test's own.
class EmptyOdbcSettings : public testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/kvodbcbindXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    setenv("ODBCSYSINI", folder_.c_str(), 1);
    setenv("ODBCINI", (folder_ + "/odbc.ini").c_str(), 1);
    // Held for the whole run, as a program that uses it holds it: the
    // driver manager keeps caches of its own until the process ends.
    pinned_ = KvLoadModule("ODBC32.DLL");
  }
  void TearDown() override {
    vrn::UnloadODBCLibrary();
    rmdir(folder_.c_str());
  }

 private:
  std::string folder_;
  KvModule pinned_ = nullptr;
};
const testing::Environment* const g_env = testing::AddGlobalTestEnvironment(new EmptyOdbcSettings);

std::vector<const void*> Slots(const vrn::OdbcBinding& binding) {
  const auto* p = reinterpret_cast<const void* const*>(&binding.fn);
  return std::vector<const void*>(p, p + vrn::kOdbcFunctionCount);
}

TEST(OdbcBinding, EveryEntryPointOrNone) {
  ASSERT_NE(vrn::LoadODBCLibrary(), nullptr);
  const KvModule module = vrn::g_odbc.module;
  EXPECT_NE(vrn::g_odbc.environment, nullptr);
  for (size_t i = 0; i < vrn::kOdbcFunctionCount; ++i) {
    EXPECT_NE(Slots(vrn::g_odbc)[i], nullptr) << vrn::kOdbcFunctionNames[i];
    EXPECT_EQ(Slots(vrn::g_odbc)[i], reinterpret_cast<const void*>(KvGetProcAddress(module, vrn::kOdbcFunctionNames[i])))
        << "slot " << i << " holds " << vrn::kOdbcFunctionNames[i];
  }
  EXPECT_EQ(vrn::g_odbc.fn.BindParameter, vrn::g_odbc.fn.BindParameter2);
  const uint32_t generation = vrn::g_odbc.generation;
  EXPECT_EQ(vrn::LoadODBCLibrary(), module) << "a loaded binding is kept";
  EXPECT_EQ(vrn::g_odbc.generation, generation);

  // A second binding has an environment of its own.
  vrn::OdbcBinding own;
  ASSERT_TRUE(vrn::LoadODBCBinding(&own));
  EXPECT_NE(own.environment, vrn::g_odbc.environment);
  EXPECT_NE(own.generation, generation);
  vrn::UnloadODBCBinding(&own);
  EXPECT_EQ(own.module, nullptr);
  EXPECT_EQ(own.environment, nullptr);
  EXPECT_NE(vrn::g_odbc.module, nullptr) << "the shared binding is untouched";

  vrn::UnloadODBCLibrary();
  EXPECT_EQ(vrn::g_odbc.module, nullptr);
  EXPECT_EQ(vrn::g_odbc.generation, 0u);
  for (const void* slot : Slots(vrn::g_odbc)) EXPECT_EQ(slot, nullptr);
  vrn::UnloadODBCLibrary();  // a second release does nothing
}

TEST(OdbcBinding, AModuleThatLacksAnEntryPointIsNotBound) {
  // The driver manager's installer library exists beside it but has none of
  // the entry points; a missing module does not load at all.
  std::vector<std::string> names = {"/nonexistent/NOODBC32.DLL"};
  for (const char* path : {"/usr/lib/x86_64-linux-gnu/libodbcinst.so.2", "/usr/lib/aarch64-linux-gnu/libodbcinst.so.2"}) {
    if (access(path, R_OK) == 0) names.push_back(path);
  }
  ASSERT_EQ(names.size(), 2u) << "the driver manager's installer library is missing";
  for (const std::string& name : names) {
    vrn::OdbcBinding binding;
    EXPECT_FALSE(vrn::LoadODBCBinding(&binding, name.c_str())) << name;
    EXPECT_EQ(binding.module, nullptr);
    for (const void* slot : Slots(binding)) EXPECT_EQ(slot, nullptr);
  }
  EXPECT_FALSE(vrn::LoadODBCBinding(nullptr));
}

TEST(OdbcBinding, ErrorsAreShownWithTheOperationAndStateAndOthersPassSilently) {
  ASSERT_NE(vrn::LoadODBCLibrary(), nullptr);
  std::vector<std::string> boxes;
  auto previous = kv::ui::SetMessageBoxHandler([&](const kv::ui::MessageBoxInfo& box) {
    boxes.push_back(box.caption + "|" + box.text);
    return 0;
  });
  const vrn::OdbcFunctions& fn = vrn::g_odbc.fn;
  SQLHDBC connection = SQL_NULL_HDBC;
  ASSERT_EQ(vrn::ReportODBCError(fn.AllocConnect(vrn::g_odbc.environment, &connection), "SQLAllocConnect",
                                 SQL_NULL_HDBC, SQL_NULL_HSTMT),
            SQL_SUCCESS);
  EXPECT_TRUE(boxes.empty());

  struct Case {
    const char* operation;
    const char* expected;
  };
  const char* message = "[unixODBC][Driver Manager]Data source name not found and no default driver specified";
  for (const Case& c : {Case{"SQLDriverConnect", "ODBC Error|SQLDriverConnect: IM002 - "}, Case{nullptr, "ODBC Error|"},
                        Case{"", "ODBC Error|"}}) {
    boxes.clear();
    const SQLRETURN r = fn.DriverConnect(connection, nullptr, (SQLCHAR*)"DSN=missing", SQL_NTS, nullptr, 0, nullptr,
                                         SQL_DRIVER_NOPROMPT);
    EXPECT_EQ(vrn::ReportODBCError(r, c.operation, connection, SQL_NULL_HSTMT), SQL_ERROR);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], std::string(c.expected) + message);
  }
  boxes.clear();
  EXPECT_EQ(vrn::ReportODBCError(SQL_NO_DATA, "SQLFetch", connection, SQL_NULL_HSTMT), SQL_NO_DATA);
  EXPECT_EQ(vrn::ReportODBCError(SQL_SUCCESS_WITH_INFO, "SQLFetch", connection, SQL_NULL_HSTMT), SQL_SUCCESS_WITH_INFO);
  EXPECT_TRUE(boxes.empty());
  fn.FreeConnect(connection);
  kv::ui::SetMessageBoxHandler(previous);
}

}  // namespace
