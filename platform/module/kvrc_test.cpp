// The resource compiler rejects malformed sources with the line of the fault
// and writes no table for them.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string SourceDir() {
    const char* env = std::getenv("KV_SOURCE_DIR");
    return env != nullptr && env[0] != '\0' ? env : KV_TEST_SOURCE_DIR;
}

struct CompileResult {
    int status;
    std::string errors;
    bool output_written;
};

class ResourceCompiler : public testing::Test {
protected:
    void SetUp() override {
        dir_ = testing::TempDir() + "/kvrcXXXXXX";
        ASSERT_NE(mkdtemp(dir_.data()), nullptr);
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    CompileResult Compile(const std::string& source) {
        std::ofstream(dir_ + "/in.rc", std::ios::binary) << source;
        std::remove((dir_ + "/out.cpp").c_str());
        std::string command = "python3 '" + SourceDir() + "/platform/module/kvrc.py' '" + dir_ + "/in.rc' '" + dir_ + "/out.cpp' 2>'" + dir_ +
                              "/err.txt'";
        int status = std::system(command.c_str());
        std::ifstream err(dir_ + "/err.txt");
        std::stringstream text;
        text << err.rdbuf();
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str(), access((dir_ + "/out.cpp").c_str(), F_OK) == 0};
    }

    std::string dir_;
};

TEST_F(ResourceCompiler, RejectsMalformedSources) {
    struct Case {
        const char* source;
        const char* message;  // expected in the error output, with the line
    } cases[] = {
        {"STRING 1", ":1: unexpected end of file"},
        {"STRING 1 \"open\nSTRING 2 \"x\"", ":1: unterminated string"},
        {"\n\nBOGUS 1 \"x\"", ":3: unknown statement BOGUS"},
        {"STRING 1 \"bad \\q escape\"", ":1: unknown escape"},
        {"STRING 1 \"\\x4\"", ":1: \\x needs two hex digits"},
        {"STRING 1 \"a\"\nSTRING 1 \"b\"", ":2: resource 1 of this type and language defined twice"},
        {"STRING -1 \"a\"", "out of range"},
        {"STRING 4294967296 \"a\"", "out of range"},
        {"STRING 12ab \"a\"", "bad number"},
        {"TEXT 5 FILE \"missing.txt\"", ":1: cannot read"},
        {"BITMAP 5 \"inline\"", ":1: BITMAP needs FILE"},
        {"BITMAP 5 FILE \"missing.bmp\"", ":1: cannot read"},
        {"DIALOG 1 0 0 40000 10 \"x\" { }", "coordinate 40000 out of range"},
        {"DIALOG 1 0 0 10 10 \"x\" {\n EDIT 1 \"\" 0 0 1 1 STYLE NOPE\n}", ":2: expected a flag name"},
        {"DIALOG 1 0 0 10 10 \"x\" {\n SLIDER 1 \"\" 0 0 1 1\n}", ":2: unknown control SLIDER"},
        {"DIALOG 1 0 0 10 10 \"x\" { EDIT 1 \"\" 0 0 1 1", "unexpected end of file"},
        {"MENU 1 { ITEM 1 }", "expected menu item text"},
        {"MENU 1 { POPUP \"p\" { ITEM 2 \"x\" }", "unexpected end of file"},
        {"STRING 1 @", ":1: unexpected character"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        CompileResult run = Compile(c.source);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.errors.find(c.message), std::string::npos) << run.errors;
        EXPECT_FALSE(run.output_written);
    }
}

TEST_F(ResourceCompiler, AcceptsTheDocumentedForms) {
    std::ofstream(dir_ + "/block.txt", std::ios::binary) << "a\0b";
    CompileResult run = Compile(
        "# comment\n// comment\nLANGUAGE 0x409\nSTRING 0x10 \"a\\x41\" \"b\" # trailing\n"
        "TEXT 2 FILE \"block.txt\"\nTEXT 3 \"\"\nDIALOG 4 -1 -2 3 4 \"c\" STYLE CHILD|3STATE|0x8 FONT 9 \"f\" {\n"
        "CONTROL \"cls\" -1 \"t\" 1 2 3 4\nRADIO 5 \"r\" 0 0 1 1 STYLE GROUP}\n"
        "MENU 5 { }\nMENU 6 { POPUP \"p\" CHECKED { } }\n");
    EXPECT_EQ(run.status, 0) << run.errors;
    std::ifstream out(dir_ + "/out.cpp");
    std::stringstream text;
    text << out.rdbuf();
    const char* expected[] = {
        "\"aAb\"",
        "{1u, 16u, 1033u, 3u, ",
        "{2u, 3u, 1033u, 0u, ",
        "{-1, \"cls\", \"t\", 0x0u, 1, 2, 3, 4}",
        "{5, \"RADIO\", \"r\", 0x8u, 0, 0, 1, 1}",
        "{4u, \"c\", 0x20000408u, -1, -2, 3, 4, \"f\", 9u, 2u, ",
        "{5u, 0u, nullptr}",
        "{0u, \"p\", 0x9u, 0u, nullptr}",
    };
    for (const char* piece : expected) {
        EXPECT_NE(text.str().find(piece), std::string::npos) << piece << "\n" << text.str();
    }
}

}  // namespace
