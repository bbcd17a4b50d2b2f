// PRODUCT.RSL binding, language choice and the resource module.
#include "shell/language_modules.h"

#include <strings.h>

#include "platform/module/resource.h"

namespace kv::lang {

uint16_t LanguageIdFor(const std::string& program) {
  struct Name {
    const char* name;
    uint16_t id;
  };
  static constexpr Name kNames[] = {
      {"ENGLISH", kEnglish}, {"FRENCH", kFrench}, {"GERMAN", kGerman}, {"JAPANESE", kJapanese}};
  for (const Name& n : kNames)
    if (program == n.name) return n.id;
  return kEnglish;
}

bool LoadProductModule(const char* name, ProductModule* out) {
  if (!out) return false;
  *out = ProductModule{};
  KvModule module = KvLoadModule(name);
  if (!module) return false;
  ProductModule p;
  p.module = module;
  bool complete = true;
  auto bind = [&](auto& slot, const char* export_name) {
    KvProc proc = KvGetProcAddress(module, export_name);
    if (!proc) complete = false;
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(proc);
  };
  bind(p.GetResourceID, "PRD_GetResourceID");
  bind(p.DestroySplash, "PRD_DestroySplash");
  bind(p.CreateSplash, "PRD_CreateSplash");
  bind(p.GetSplashTextWnd, "PRD_GetSplashTextWnd");
  bind(p.Register, "PRD_Register");
  bind(p.Unregister, "PRD_Unregister");
  bind(p.ShowAboutBox, "PRD_ShowAboutBox");
  bind(p.GetTitleAndVersion, "PRD_GetTitleAndVersion");
  bind(p.CreateBigBtnToolbar, "PRD_CreateBigBtnToolbar");
  bind(p.DestroyBigBtnToolbar, "PRD_DestroyBigBtnToolbar");
  bind(p.GetWebPage, "PRD_GetWebPage");
  if (!complete) {
    KvFreeModule(module);
    return false;
  }
  *out = p;
  return true;
}

void FreeProductModule(ProductModule* product) {
  if (!product) return;
  if (product->module) KvFreeModule(product->module);
  *product = ProductModule{};
}

KvModule ChooseResourceModule(const std::string& program, const char* baseName, bool* loaded) {
  if (loaded) *loaded = false;
  if (program == "ENGLISH") {
    KvModule self = KvSelfModule();
    uint32_t languages[1];
    if (KvGetResourceLanguages(self, KV_RESOURCE_MENU, 100, languages, 1) > 0) return self;
  }
  KvModule base = KvLoadModule(baseName);
  if (base && loaded) *loaded = true;
  return base;
}

}  // namespace kv::lang
