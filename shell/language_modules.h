// The language resource modules: PRODUCT.RSL with its eleven PRD_ entry
// points, and the resource module (the program itself or BASE.RSL) from which
// every dialog template, menu and text is taken.
#ifndef KV_SHELL_LANGUAGE_MODULES_H
#define KV_SHELL_LANGUAGE_MODULES_H

#include <cstdint>
#include <string>

#include "platform/base/kvtypes.h"
#include "platform/module/module.h"

extern "C" {
// The entry points of PRODUCT.RSL. Buffers always come with their size.
typedef uint32_t (*PrdGetResourceIdFn)(uint32_t logicalNumber);
typedef void (*PrdDestroySplashFn)(KvWindow splash);
typedef KvWindow (*PrdCreateSplashFn)(KvWindow parent);
typedef KvWindow (*PrdGetSplashTextWndFn)(KvWindow splash, int32_t slot);
typedef int32_t (*PrdRegisterFn)(uint16_t language, uint16_t language2);
typedef void (*PrdUnregisterFn)(void);
typedef int32_t (*PrdShowAboutBoxFn)(KvWindow owner, const char* text1, const char* text2);
typedef void (*PrdGetTitleAndVersionFn)(char* title, int32_t titleSize, char* version, int32_t versionSize);
typedef KvWindow (*PrdCreateBigBtnToolbarFn)(KvWindow panel, int32_t controlId);
typedef void (*PrdDestroyBigBtnToolbarFn)(KvWindow toolbar);
typedef int32_t (*PrdGetWebPageFn)(char* buffer, int32_t size, int32_t page);
}

// PRODUCT.RSL as the program has bound it.
struct ProductModule {
  KvModule module = nullptr;
  PrdGetResourceIdFn GetResourceID = nullptr;
  PrdDestroySplashFn DestroySplash = nullptr;
  PrdCreateSplashFn CreateSplash = nullptr;
  PrdGetSplashTextWndFn GetSplashTextWnd = nullptr;
  PrdRegisterFn Register = nullptr;
  PrdUnregisterFn Unregister = nullptr;
  PrdShowAboutBoxFn ShowAboutBox = nullptr;
  PrdGetTitleAndVersionFn GetTitleAndVersion = nullptr;
  PrdCreateBigBtnToolbarFn CreateBigBtnToolbar = nullptr;
  PrdDestroyBigBtnToolbarFn DestroyBigBtnToolbar = nullptr;
  PrdGetWebPageFn GetWebPage = nullptr;
};

namespace kv::lang {

inline constexpr uint16_t kEnglish = 1033;
inline constexpr uint16_t kFrench = 1036;
inline constexpr uint16_t kGerman = 1031;
inline constexpr uint16_t kJapanese = 1041;

// The language id for a [Language] Program value: "" or "ENGLISH" 1033,
// "FRENCH" 1036, "GERMAN" 1031, "JAPANESE" 1041, anything else 1033.
uint16_t LanguageIdFor(const std::string& program);

// Loads PRODUCT.RSL by name and binds all eleven entry points. On success
// fills *out and returns true; when the module or any entry point is
// missing, nothing stays loaded and the result is false.
bool LoadProductModule(const char* name, ProductModule* out);
// Frees the module and clears the record.
void FreeProductModule(ProductModule* product);

// The resource module for the language: the program itself when Program is
// "ENGLISH" and the program holds at least one menu with id 100 (in any
// language); otherwise the loaded BASE.RSL (null when it cannot be loaded).
// *loaded tells whether a module was loaded (and must be freed).
KvModule ChooseResourceModule(const std::string& program, const char* baseName, bool* loaded);

}  // namespace kv::lang

#endif
