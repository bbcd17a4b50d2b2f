// Resources of a module built by the project (KVTEST.RSL from
// resources/test/test.rc) and of the test program itself.
#include "platform/module/resource.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/base/lasterror.h"
#include "platform/module/module.h"

namespace {

std::string SourceDir() {
    const char* env = std::getenv("KV_SOURCE_DIR");
    return env != nullptr && env[0] != '\0' ? env : KV_TEST_SOURCE_DIR;
}

class Resources : public testing::Test {
protected:
    void SetUp() override {
        module_ = KvLoadModule("kvtest.rsl");
        ASSERT_NE(module_, nullptr);
    }
    void TearDown() override {
        KvSetResourceLanguage(0);
        if (module_ != nullptr) KvFreeModule(module_);
    }
    std::string Load(uint32_t id, int32_t size = 512) {
        std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : 1), 'x');
        int32_t n = KvLoadString(module_, id, buffer.data(), size);
        EXPECT_GE(n, 0);
        std::string text(buffer.data());
        EXPECT_EQ(static_cast<size_t>(n), text.size());
        return text;
    }
    KvModule module_ = nullptr;
};

TEST_F(Resources, StringsByNumber) {
    struct Case {
        uint32_t id;
        const char* text;
    } cases[] = {
        {5500, "Plain text"},
        {5501, "Line one\r\nLine two\ttabbed \"quoted\" back\\slash"},
        {5502, "joined from two"},
        {5503, ""},
        {5504, "Gr\xc3\xbc\xc3\x9f Gott"},
        {65535, "highest 16-bit id"},
        {5505, ""},   // missing
        {0, ""},      // missing
        {5613, ""},   // a TEXT block, not a string
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(Load(c.id), c.text);
    }
    kv::SetLastError(0);
    char buffer[8] = "junk";
    EXPECT_EQ(KvLoadString(module_, 5505, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(kv::GetLastError(), KV_ERROR_RESOURCE_NAME_NOT_FOUND);
}

TEST_F(Resources, StringsAreTruncatedToTheCallersSize) {
    struct Case {
        uint32_t id;
        int32_t size;
        const char* text;
    } cases[] = {
        {5500, 11, "Plain text"}, {5500, 10, "Plain tex"}, {5500, 6, "Plain"}, {5500, 1, ""},
        // Never half a UTF-8 character: "Gr" + 2-byte "u umlaut".
        {5504, 4, "Gr"}, {5504, 5, "Gr\xc3\xbc"}, {5504, 6, "Gr\xc3\xbc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.id << " size " << c.size);
        std::vector<char> buffer(static_cast<size_t>(c.size) + 4, 'x');
        int32_t n = KvLoadString(module_, c.id, buffer.data(), c.size);
        EXPECT_EQ(std::string(buffer.data()), c.text);
        EXPECT_EQ(n, static_cast<int32_t>(std::string(c.text).size()));
        EXPECT_EQ(buffer[static_cast<size_t>(c.size)], 'x') << "wrote past the buffer";
    }
    char untouched = 'x';
    EXPECT_EQ(KvLoadString(module_, 5500, &untouched, 0), 0);
    EXPECT_EQ(untouched, 'x');
    EXPECT_EQ(KvLoadString(module_, 5500, nullptr, 10), 0);
    EXPECT_EQ(KvLoadString(module_, 5500, &untouched, -5), 0);
}

TEST_F(Resources, TextBlocks) {
    std::ifstream in(SourceDir() + "/resources/test/countries.txt", std::ios::binary);
    std::stringstream file;
    file << in.rdbuf();
    ASSERT_FALSE(file.str().empty());

    uint32_t size = 0;
    auto* data = static_cast<const char*>(KvFindText(module_, 5613, &size));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data, size), file.str());
    EXPECT_EQ(data[size], '\0');
    EXPECT_EQ(data[size + 1], '\0');

    // Same number as a string, different type; zero bytes kept.
    data = static_cast<const char*>(KvFindText(module_, 5500, &size));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data, size), std::string("name\0value\0\0next\0v2\0\r", 21));

    size = 99;
    kv::SetLastError(0);
    EXPECT_EQ(KvFindText(module_, 5501, &size), nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(kv::GetLastError(), KV_ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_NE(KvFindText(module_, 5613, nullptr), nullptr);
}

TEST_F(Resources, DialogTemplate) {
    const KvDialogTemplate* dialog = KvFindDialog(module_, 100);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->id, 100u);
    EXPECT_STREQ(dialog->caption, "Options");  // no neutral entry: English
    EXPECT_EQ(dialog->style, KV_STYLE_SYSMENU);
    EXPECT_EQ(dialog->x, 10);
    EXPECT_EQ(dialog->y, 20);
    EXPECT_EQ(dialog->cx, 200);
    EXPECT_EQ(dialog->cy, 120);
    EXPECT_STREQ(dialog->font_name, "Helv");
    EXPECT_EQ(dialog->font_size, 8u);

    struct Control {
        int32_t id;
        const char* cls;
        const char* text;
        uint32_t style;
        int16_t x, y, cx, cy;
    } expected[] = {
        {-1, "STATIC", "Name:", 0, 5, 5, 40, 10},
        {1001, "EDIT", "default", KV_STYLE_TABSTOP | KV_STYLE_AUTOHSCROLL, 50, 5, 140, 12},
        {1002, "CHECKBOX", "Enable", KV_STYLE_AUTO | KV_STYLE_TABSTOP | KV_STYLE_DISABLED, 5, 22, 80, 10},
        {1003, "LISTBOX", "", KV_STYLE_SORT | KV_STYLE_VSCROLL, 5, 36, 90, 40},
        {1004, "COMBOBOX", "", KV_STYLE_DROPDOWNLIST, 100, 36, 90, 60},
        {1005, "msctls_progress32", "", 0x10u | KV_STYLE_HIDDEN, 5, 80, 190, 8},
        {1, "BUTTON", "OK", KV_STYLE_DEFAULT | KV_STYLE_TABSTOP, 140, 100, 50, 14},
    };
    ASSERT_EQ(dialog->control_count, std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        const KvDialogControl& c = dialog->controls[i];
        EXPECT_EQ(c.id, expected[i].id);
        EXPECT_STREQ(c.class_name, expected[i].cls);
        EXPECT_STREQ(c.text, expected[i].text);
        EXPECT_EQ(c.style, expected[i].style);
        EXPECT_EQ(c.x, expected[i].x);
        EXPECT_EQ(c.y, expected[i].y);
        EXPECT_EQ(c.cx, expected[i].cx);
        EXPECT_EQ(c.cy, expected[i].cy);
    }
    EXPECT_EQ(KvFindDialog(module_, 101), nullptr);
}

TEST_F(Resources, MenuTree) {
    const KvMenuTemplate* menu = KvFindMenu(module_, 100);
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->item_count, 2u);
    const KvMenuItem& file = menu->items[0];
    EXPECT_STREQ(file.text, "&File");
    EXPECT_EQ(file.flags, KV_MENU_POPUP);
    ASSERT_EQ(file.child_count, 4u);
    EXPECT_EQ(file.children[0].id, 101u);
    EXPECT_STREQ(file.children[0].text, "&Open");
    EXPECT_EQ(file.children[1].flags, KV_MENU_SEPARATOR);
    const KvMenuItem& recent = file.children[2];
    EXPECT_EQ(recent.flags, KV_MENU_POPUP | KV_MENU_GRAYED);
    ASSERT_EQ(recent.child_count, 2u);
    EXPECT_EQ(recent.children[1].id, 111u);
    EXPECT_EQ(recent.children[1].flags, KV_MENU_CHECKED);
    EXPECT_EQ(file.children[3].id, 102u);
    EXPECT_EQ(menu->items[1].id, 200u);
    EXPECT_EQ(menu->items[1].child_count, 0u);
    EXPECT_EQ(KvFindMenu(module_, 10), nullptr);
}

TEST_F(Resources, Languages) {
    uint32_t languages[4] = {};
    ASSERT_EQ(KvGetResourceLanguages(module_, KV_RESOURCE_DIALOG, 100, languages, 4), 2u);
    EXPECT_EQ(languages[0], 1033u);
    EXPECT_EQ(languages[1], 1036u);
    EXPECT_EQ(KvGetResourceLanguages(module_, KV_RESOURCE_DIALOG, 100, nullptr, 0), 2u);
    EXPECT_EQ(KvGetResourceLanguages(module_, KV_RESOURCE_MENU, 100, languages, 4), 1u);
    EXPECT_EQ(KvGetResourceLanguages(module_, KV_RESOURCE_MENU, 101, languages, 4), 0u);

    KvSetResourceLanguage(1036);
    EXPECT_STREQ(KvFindDialog(module_, 100)->caption, "Options (fr)");
    EXPECT_EQ(KvFindDialog(module_, 100)->control_count, 0u);
    EXPECT_EQ(Load(5500), "Texte simple");
    EXPECT_EQ(Load(5501).substr(0, 8), "Line one");  // neutral when no French one
    EXPECT_NE(KvFindMenu(module_, 100), nullptr);    // English when neither
    KvSetResourceLanguage(1031);
    EXPECT_EQ(Load(5500), "Plain text");
    EXPECT_STREQ(KvFindDialog(module_, 100)->caption, "Options");
}

TEST(ResourceModules, ModulesWithoutResourcesAndBadHandles) {
    KvModule alpha = KvLoadModule("KVTESTALPHA.DLL");
    ASSERT_NE(alpha, nullptr);
    char buffer[16] = "x";
    kv::SetLastError(0);
    EXPECT_EQ(KvLoadString(alpha, 5500, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(kv::GetLastError(), KV_ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_EQ(KvGetResourceTable(alpha), nullptr);
    EXPECT_EQ(KvFindDialog(alpha, 100), nullptr);
    KvFreeModule(alpha);

    auto bogus = reinterpret_cast<KvModule>(static_cast<uintptr_t>(0xdead0));
    kv::SetLastError(0);
    EXPECT_EQ(KvLoadString(bogus, 5500, buffer, sizeof buffer), 0);
    EXPECT_EQ(kv::GetLastError(), KV_ERROR_INVALID_HANDLE);
    EXPECT_EQ(KvFindText(bogus, 5613, nullptr), nullptr);
    EXPECT_EQ(KvFindMenu(bogus, 100), nullptr);
    EXPECT_EQ(KvGetResourceLanguages(bogus, KV_RESOURCE_DIALOG, 100, nullptr, 0), 0u);
}

TEST(ResourceModules, ProgramWithEmbeddedResources) {
    char buffer[64];
    EXPECT_EQ(KvLoadString(nullptr, 7, buffer, sizeof buffer), 23);
    EXPECT_STREQ(buffer, "embedded in the program");
    EXPECT_EQ(KvLoadString(KvSelfModule(), 7, buffer, sizeof buffer), 23);
    uint32_t size = 0;
    auto* text = static_cast<const char*>(KvFindText(KvSelfModule(), 8, &size));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text, size), "program text");
    // The language module's table is its own, not the program's.
    KvModule rsl = KvLoadModule("KVTEST.RSL");
    ASSERT_NE(rsl, nullptr);
    EXPECT_EQ(KvLoadString(rsl, 7, buffer, sizeof buffer), 0);
    EXPECT_NE(KvGetResourceTable(rsl), KvGetResourceTable(nullptr));
    KvFreeModule(rsl);
}

}  // namespace
