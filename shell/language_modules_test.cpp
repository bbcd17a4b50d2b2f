// Language choice, PRODUCT.RSL binding and its entry points, and the choice
// of the resource module.
#include "shell/language_modules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/module/resource.h"
#include "platform/ui/window.h"

using namespace kv::lang;

namespace {

TEST(LanguageModuleTest, IdFromProgramLanguage) {
  struct Case {
    const char* program;
    uint16_t id;
  };
  const Case cases[] = {{"", 1033},        {"ENGLISH", 1033}, {"FRENCH", 1036}, {"GERMAN", 1031},
                        {"JAPANESE", 1041}, {"SPANISH", 1033}, {"french", 1033}, {"FRENCH ", 1033}};
  for (const Case& c : cases) EXPECT_EQ(LanguageIdFor(c.program), c.id) << '"' << c.program << '"';
}

TEST(LanguageModuleTest, ProgramMenusServeOnlyEnglish) {
  // This test program holds menu 100 (in French): it is its own resource
  // module only when the program language is ENGLISH.
  bool loaded = true;
  EXPECT_EQ(ChooseResourceModule("ENGLISH", "BASE.RSL", &loaded), KvSelfModule());
  EXPECT_FALSE(loaded);
  for (const char* program : {"", "FRENCH", "KLINGON"}) {
    KvModule base = ChooseResourceModule(program, "BASE.RSL", &loaded);
    ASSERT_NE(base, nullptr) << program;
    EXPECT_NE(base, KvSelfModule());
    EXPECT_TRUE(loaded);
    EXPECT_NE(KvFindDialog(base, 100), nullptr);  // the main panel's template
    EXPECT_TRUE(KvFreeModule(base));
  }
  EXPECT_EQ(ChooseResourceModule("FRENCH", "NO_SUCH.RSL", &loaded), nullptr);
  EXPECT_FALSE(loaded);
}

TEST(LanguageModuleTest, ProductModuleNeedsEveryEntryPoint) {
  ProductModule product;
  EXPECT_FALSE(LoadProductModule("BASE.RSL", &product));  // resources, no entry points
  EXPECT_EQ(product.module, nullptr);
  EXPECT_EQ(product.CreateSplash, nullptr);
  EXPECT_FALSE(LoadProductModule("NO_SUCH.RSL", &product));
  EXPECT_FALSE(LoadProductModule(nullptr, &product));
}

TEST(LanguageModuleTest, ProductEntryPoints) {
  ProductModule p;
  ASSERT_TRUE(LoadProductModule("PRODUCT.RSL", &p));
  ASSERT_EQ(p.Register(1033, 1033), 1);
  EXPECT_EQ(p.GetResourceID(10), 10u);

  ASSERT_TRUE(kv::ui::RegisterWindowClass("LangTestParent", [](KvWindow w, uint32_t m, KvWParam a, KvLParam b) {
    return kv::ui::DefWindowProc(w, m, a, b);
  }));
  KvWindow parent = kv::ui::CreateWindow("LangTestParent", "", 0, 0);
  KvWindow splash = p.CreateSplash(parent);
  ASSERT_TRUE(kv::ui::IsWindow(splash));
  KvWindow status = p.GetSplashTextWnd(splash, 0);
  ASSERT_TRUE(kv::ui::IsWindow(status));
  EXPECT_EQ(kv::ui::GetParent(status), splash);
  EXPECT_EQ(p.GetSplashTextWnd(splash, -1), 0u);
  EXPECT_EQ(p.GetSplashTextWnd(splash, 2), 0u);
  EXPECT_EQ(p.GetSplashTextWnd(0, 0), 0u);

  // Buffers are filled within their sizes; either may be missing.
  char title[5], version[16];
  std::memset(title, 'x', sizeof title);
  p.GetTitleAndVersion(title, sizeof title, version, sizeof version);
  EXPECT_STREQ(title, "Kelv");
  EXPECT_STREQ(version, "4.0");
  p.GetTitleAndVersion(nullptr, 0, version, sizeof version);
  char page[12];
  EXPECT_EQ(p.GetWebPage(page, sizeof page, 3), 1);
  EXPECT_EQ(std::strlen(page), sizeof page - 1);
  EXPECT_EQ(p.GetWebPage(nullptr, 10, 3), 0);

  KvWindow toolbar = p.CreateBigBtnToolbar(parent, 7000);
  ASSERT_TRUE(kv::ui::IsWindow(toolbar));
  p.DestroyBigBtnToolbar(toolbar);
  EXPECT_FALSE(kv::ui::IsWindow(toolbar));

  p.DestroySplash(splash);
  EXPECT_FALSE(kv::ui::IsWindow(splash));
  p.DestroySplash(splash);  // a stale window is ignored
  // Shutdown unregisters twice: the second call is harmless and the
  // module's window classes are gone before it is unloaded.
  p.Unregister();
  p.Unregister();
  EXPECT_FALSE(kv::ui::IsWindowClassRegistered("Kelvaron Splash"));
  EXPECT_EQ(p.CreateSplash(parent), 0u);
  FreeProductModule(&p);
  EXPECT_EQ(p.module, nullptr);
  kv::ui::DestroyWindow(parent);
  kv::ui::UnregisterWindowClass("LangTestParent");
}

}  // namespace
