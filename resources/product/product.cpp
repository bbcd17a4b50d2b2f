// Entry points of the product module: resource numbers, the splash window,
// the product's title and version, the big-button toolbar and product pages.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/base/kvtypes.h"
#include "platform/module/module.h"
#include "platform/module/resource.h"
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"

namespace {

constexpr const char* kSplashClass = "Kelvaron Splash";
constexpr const char* kSplashTextClass = "Kelvaron Splash Text";
constexpr const char* kToolbarClass = "Kelvaron Big Buttons";
constexpr int32_t kSplashSlots = 2;  // 0 status line, 1 version line

int g_registrations = 0;
bool g_classes = false;
uint16_t g_language = 1033;

KvModule Self() {
  static int anchor;
  return KvModuleFromAddress(&anchor);
}

std::string Text(uint32_t id) {
  char buffer[256];
  KvLoadString(Self(), id, buffer, sizeof buffer);
  return buffer;
}

KvResult PlainWndProc(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam) {
  return kv::ui::DefWindowProc(window, message, wparam, lparam);
}

void RegisterClasses() {
  if (g_classes) return;
  kv::ui::RegisterWindowClass(kSplashClass, PlainWndProc, kSplashSlots);
  kv::ui::RegisterWindowClass(kSplashTextClass, PlainWndProc, 0);
  kv::ui::RegisterWindowClass(kToolbarClass, PlainWndProc, 0);
  g_classes = true;
}

// The classes' procedures live in this module: they go before it is unloaded.
void UnregisterClasses() {
  if (!g_classes) return;
  kv::ui::UnregisterWindowClass(kSplashClass);
  kv::ui::UnregisterWindowClass(kSplashTextClass);
  kv::ui::UnregisterWindowClass(kToolbarClass);
  g_classes = false;
}

void CopyText(const std::string& text, char* buffer, int32_t size) {
  if (!buffer || size <= 0) return;
  size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

}  // namespace

extern "C" {

KV_EXPORT uint32_t PRD_GetResourceID(uint32_t logicalNumber) {
  // The base module keeps its menus and dialogs under the logical numbers.
  return logicalNumber;
}

KV_EXPORT int32_t PRD_Register(uint16_t language, uint16_t /*language2*/) {
  g_language = language;
  ++g_registrations;
  RegisterClasses();
  return 1;
}

KV_EXPORT void PRD_Unregister(void) {
  if (g_registrations > 0 && --g_registrations == 0) UnregisterClasses();
}

KV_EXPORT KvWindow PRD_CreateSplash(KvWindow parent) {
  if (!g_classes) return 0;
  KvWindow splash = kv::ui::CreateWindow(kSplashClass, Text(1).c_str(), kv::ui::StyleVisible, parent);
  if (!splash) return 0;
  KvWindow status = kv::ui::CreateWindow(kSplashTextClass, Text(3).c_str(), kv::ui::StyleChild | kv::ui::StyleVisible, splash);
  KvWindow version = kv::ui::CreateWindow(kSplashTextClass, Text(2).c_str(), kv::ui::StyleChild | kv::ui::StyleVisible, splash);
  kv::ui::SetWindowWord(splash, 0, static_cast<intptr_t>(status));
  kv::ui::SetWindowWord(splash, 1, static_cast<intptr_t>(version));
  return splash;
}

KV_EXPORT KvWindow PRD_GetSplashTextWnd(KvWindow splash, int32_t slot) {
  if (slot < 0 || slot >= kSplashSlots || !kv::ui::IsWindow(splash)) return 0;
  return static_cast<KvWindow>(kv::ui::GetWindowWord(splash, slot));
}

KV_EXPORT void PRD_DestroySplash(KvWindow splash) {
  if (kv::ui::IsWindow(splash)) kv::ui::DestroyWindow(splash);
}

KV_EXPORT int32_t PRD_ShowAboutBox(KvWindow owner, const char* text1, const char* text2) {
  std::string text = Text(1) + " " + Text(2);
  if (text1 && *text1) text += std::string("\n") + text1;
  if (text2 && *text2) text += std::string("\n") + text2;
  kv::ui::MessageBox(owner, text.c_str(), Text(1).c_str(), kv::ui::MbOk | kv::ui::MbIconInformation);
  return 1;
}

KV_EXPORT void PRD_GetTitleAndVersion(char* title, int32_t titleSize, char* version, int32_t versionSize) {
  CopyText(Text(1), title, titleSize);
  CopyText(Text(2), version, versionSize);
}

KV_EXPORT KvWindow PRD_CreateBigBtnToolbar(KvWindow panel, int32_t controlId) {
  if (!g_classes) return 0;
  KvWindow toolbar = kv::ui::CreateWindow(kToolbarClass, "", kv::ui::StyleChild | kv::ui::StyleVisible, panel);
  if (toolbar) kv::ui::SetWindowUserData(toolbar, controlId);
  return toolbar;
}

KV_EXPORT void PRD_DestroyBigBtnToolbar(KvWindow toolbar) {
  if (kv::ui::IsWindow(toolbar)) kv::ui::DestroyWindow(toolbar);
}

KV_EXPORT int32_t PRD_GetWebPage(char* buffer, int32_t size, int32_t page) {
  if (!buffer || size <= 0) return 0;
  char address[128];
  if (page <= 0)
    std::snprintf(address, sizeof address, "https://www.kelvaron.example/");
  else
    std::snprintf(address, sizeof address, "https://www.kelvaron.example/page%d.html", page);
  CopyText(address, buffer, size);
  return 1;
}

}  // extern "C"
