#include "styles/style_record.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/base/ini.h"
#include "platform/base/strutil.h"
#include "platform/module/module.h"
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"
#include "shell/settings_file.h"

namespace {

// The keys of a style section. These fixed names are what the report
// generators read, whatever the language of the program's texts.
constexpr const char* kColourKeys[kTableFrame] = {
    "Page Background Color",      "Page Text Color",          "Section Background Color",
    "Section Text Color",         "Title Background Color",   "Title Text Color",
    "Sub Title Background Color", "Sub Title Text Color",     "Odd Row Background Color",
    "Odd Row Text Color",         "Even Row Background Color", "Even Row Text Color",
};
constexpr const char* kFontKeys[kStyleFontCount] = {"Standard Font", "Title Font", "Section Font",
                                                     "Sub Title Font", "Table Data Font"};
constexpr const char* kSortByKey = "Sort By";
constexpr const char* kAlignmentKey = "Number Alignment";
constexpr const char* kLongDescriptionKey = "Long Description";
constexpr const char* kTableColumnsKey = "Table Columns";
constexpr const char* kFrameWidthKey = "Frame Width";
constexpr const char* kLogoKey = "Logo Filename";
constexpr const char* kBackgroundKey = "Background Filename";
constexpr const char* kFramePageKey = "Frame Page";
constexpr const char* kTocWidthKey = "TOC Width";

constexpr uint32_t kFreshColours[kStyleColourCount] = {
    0x80FFFF, 0x000000, 0x000080, 0x00FF40, 0xFFFF80, 0x0000FF, 0x800000,
    0xFFFFFF, 0xC0C0C0, 0x000000, 0xFFFFFF, 0x000000, 0x000000,
};
constexpr const char* kFreshFonts[kStyleFontCount] = {"Arial", "Times New Roman", "Times New Roman", "Arial",
                                                      "Arial"};
constexpr const char* kColumnLabels[kStyleColumnCount] = {"Hits", "Hits Percent", "User Session",
                                                          "User Session Percent"};
constexpr uint32_t kFontSize = 32;  // a face name is at most 31 characters
constexpr uint32_t kShortSize = 32;

std::string ReadText(const StyleRecord& style, const char* section, const char* key, const char* def,
                     uint32_t size) {
  std::vector<char> buffer(size);
  uint32_t n = kv::IniGetString(section, key, def, buffer.data(), size, style.path.c_str());
  // A value ends at its first zero byte, as everywhere the settings are read:
  // what follows it could never be written back. Nor could the blanks that
  // then end it, which the file loses as it loses those of any value.
  return std::string(kv::TrimBlanks(std::string_view(buffer.data(), strnlen(buffer.data(), n))));
}

int ReadInt(const StyleRecord& style, const char* section, const char* key, int def) {
  return kv::IniGetInt(section, key, def, style.path.c_str());
}

bool WriteText(const StyleRecord& style, const char* section, const char* key, const char* value) {
  return kv::IniWriteString(section, key, value, style.path.c_str());
}

bool WriteInt(const StyleRecord& style, const char* section, const char* key, int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  return WriteText(style, section, key, text);
}

std::string ListKey(int number) {
  char key[24];
  std::snprintf(key, sizeof key, "Style %d", number);
  return key;
}

int FindStyle(const StyleRecord& style, const std::string& name) {
  for (size_t i = 0; i < style.styleNames.size(); ++i)
    if (strcasecmp(style.styleNames[i].c_str(), name.c_str()) == 0) return static_cast<int>(i);
  return -1;
}

// A name that can head a section of its own without harming the file.
bool IsUsableName(const std::string& name) {
  if (name.empty() || name.size() >= kStyleNameSize) return false;
  if (strcasecmp(name.c_str(), kStyleListSection) == 0) return false;
  if (name.find_first_of("]\r\n") != std::string::npos) return false;
  // Blanks around a section name do not survive the file.
  return !std::isspace(static_cast<unsigned char>(name.front())) &&
         !std::isspace(static_cast<unsigned char>(name.back()));
}

// Rewrites "Style 1" .. "Style <count>" from the list, and removes the key
// after the last one.
void WriteStyleList(const StyleRecord& style, int oldCount) {
  int count = static_cast<int>(style.styleNames.size());
  for (int i = 0; i < count; ++i)
    WriteText(style, kStyleListSection, ListKey(i + 1).c_str(), style.styleNames[i].c_str());
  for (int i = count + 1; i <= oldCount; ++i) WriteText(style, kStyleListSection, ListKey(i).c_str(), nullptr);
}

void SetColumnFlagsFromText(StyleRecord& style, const std::string& text) {
  for (int k = 0; k < kStyleColumnCount; ++k)
    style.columnFlags[k] = text.find(static_cast<char>('0' + k)) != std::string::npos ? 1 : 0;
  style.visibleCount = 0;
  style.visibleColumns.fill(0);
  for (int k = 0; k < kStyleColumnCount; ++k)
    if (style.columnFlags[k]) style.visibleColumns[style.visibleCount++] = k;
}

// The image module's picture readers, bound once; empty when the module or
// one of its entries is missing. The module stays loaded: the pictures it
// read are freed through it.
struct ImageReaders {
  kv::vic::LoadPictureFn gif = nullptr;
  kv::vic::LoadPictureFn jpeg = nullptr;
  kv::vic::FreeImageFn free = nullptr;
};

const ImageReaders& Readers() {
  static const ImageReaders readers = [] {
    ImageReaders r;
    KvModule module = KvLoadModule("VIC32.DLL");
    if (module == nullptr) return r;
    r.gif = reinterpret_cast<kv::vic::LoadPictureFn>(KvGetProcAddress(module, "loadgif"));
    r.jpeg = reinterpret_cast<kv::vic::LoadPictureFn>(KvGetProcAddress(module, "loadjpg"));
    r.free = reinterpret_cast<kv::vic::FreeImageFn>(KvGetProcAddress(module, "freeimage"));
    if (r.gif == nullptr || r.jpeg == nullptr || r.free == nullptr) r = ImageReaders();
    return r;
  }();
  return readers;
}

// Loads a picture of the sample: an empty name releases the slot; any other
// name is "<program folder>Base/Images/<name>" in lower case, read as JPEG
// when the name holds ".jpg", else as GIF when it holds ".gif", through the
// image module. A picture that cannot be read leaves a loaded one in place;
// an unloaded slot then names the file.
void ResolvePicture(StylePicture& picture, const std::string& name) {
  if (name.empty()) {
    picture = StylePicture();
    return;
  }
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  PictureKind kind = PictureKind::kNone;
  if (lower.find(".jpg") != std::string::npos) kind = PictureKind::kJpeg;
  else if (lower.find(".gif") != std::string::npos) kind = PictureKind::kGif;
  const std::string path = std::string(GetProgramDirectory()) + "Base/Images/" + lower;
  const ImageReaders& readers = Readers();
  kv::vic::LoadPictureFn read = kind == PictureKind::kJpeg ? readers.jpeg
                                : kind == PictureKind::kGif ? readers.gif
                                                            : nullptr;
  if (read != nullptr) {
    auto* image = new kv::vic::Image{};
    if (read(path.c_str(), image) == kv::vic::kVicOk) {
      picture.image.reset(image, [free = readers.free](const kv::vic::Image* done) {
        auto* owned = const_cast<kv::vic::Image*>(done);
        free(owned);
        delete owned;
      });
      picture.path = path;
      picture.kind = kind;
      picture.loaded = true;
      return;
    }
    readers.free(image);
    delete image;
  }
  if (picture.loaded) return;
  picture.path = path;
  picture.kind = kind;
}

int Ask(const std::string& text, uint32_t type) {
  return kv::ui::MessageBox(0, text.c_str(), kStyleWizardCaption, type);
}

}  // namespace

uint32_t ColourFromFileValue(uint32_t rrggbb) {
  uint32_t r = (rrggbb >> 16) & 0xFF, g = (rrggbb >> 8) & 0xFF, b = rrggbb & 0xFF;
  return r | g << 8 | b << 16;
}

uint32_t FileValueFromColour(uint32_t colorref) {
  uint32_t r = colorref & 0xFF, g = (colorref >> 8) & 0xFF, b = (colorref >> 16) & 0xFF;
  return r << 16 | g << 8 | b;
}

void InitStyleRecord(StyleRecord& style, KvModule instance) {
  style.instance = instance;
  std::string folder = GetProgramDirectory();
  if (!folder.empty()) style.path = folder + "Style.ini";
  for (int i = 0; i < kStyleColourCount; ++i) style.colours[i] = ColourFromFileValue(kFreshColours[i]);
  for (int i = 0; i < kStyleFontCount; ++i) style.fonts[i] = kFreshFonts[i];
  style.columnFlags = {1, 1, 1, 0};
  style.sortColumn = 0;
  style.visibleColumns = {0, 1, 2, 3};
  for (int i = 0; i < kStyleColumnCount; ++i) style.columnLabels[i] = kColumnLabels[i];
  style.visibleCount = 3;
  style.alignment = kAlignLeft;
  style.longDescription = 1;
  style.frameWidth = 1;
  style.framePage = 0;
  style.tocWidth = 20;
  style.newStyle = 0;
  style.styleNames.clear();
  style.selected = -1;
  style.currentName.clear();
  style.backgroundFlag = 0;
  style.background.clear();
  style.backgroundPicture = StylePicture();
  style.logo.clear();
  style.logoPicture = StylePicture();
}

int FillStyleList(StyleRecord& style) {
  style.styleNames.clear();
  for (int i = 1; i <= kMaxStyles; ++i) {
    std::string name = ReadText(style, kStyleListSection, ListKey(i).c_str(), "", kStyleNameSize);
    if (name.empty()) break;
    style.styleNames.push_back(name);
  }
  return static_cast<int>(style.styleNames.size());
}

void LoadStyle(StyleRecord& style, const char* name) {
  if (name == nullptr) return;
  for (int i = 0; i < kTableFrame; ++i) {
    std::string text = ReadText(style, name, kColourKeys[i], "0", kShortSize);
    style.colours[i] = ColourFromFileValue(static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16)));
  }
  for (int i = 0; i < kStyleFontCount; ++i) style.fonts[i] = ReadText(style, name, kFontKeys[i], "Arial", kFontSize);
  style.sortColumn = ReadInt(style, name, kSortByKey, 1);
  std::string alignment = ReadText(style, name, kAlignmentKey, "CENTER", kShortSize);
  style.alignment = alignment == "LEFT" ? kAlignLeft : alignment == "RIGHT" ? kAlignRight : kAlignCenter;
  // Flags: any number but 0 is on, kept as the 1 that a save writes.
  style.longDescription = ReadInt(style, name, kLongDescriptionKey, 1) != 0 ? 1 : 0;
  SetColumnFlagsFromText(style, ReadText(style, name, kTableColumnsKey, "012", kShortSize));
  style.frameWidth = ReadInt(style, name, kFrameWidthKey, 1);
  style.logo = ReadText(style, name, kLogoKey, kDefaultLogo, kStyleNameSize);
  if (style.logo.empty()) style.logo = kDefaultLogo;
  style.background = ReadText(style, name, kBackgroundKey, "", kStyleNameSize);
  style.backgroundFlag = style.background.empty() ? 0 : 1;
  style.framePage = ReadInt(style, name, kFramePageKey, 0) != 0 ? 1 : 0;
  style.tocWidth = ReadInt(style, name, kTocWidthKey, 20);
  ResolvePicture(style.backgroundPicture, style.background);
  ResolvePicture(style.logoPicture, style.logo);
}

bool WriteStyle(const StyleRecord& style, const char* name) {
  if (name == nullptr) return false;
  bool ok = true;
  char text[16];
  for (int i = 0; i < kTableFrame; ++i) {
    std::snprintf(text, sizeof text, "%06X", static_cast<unsigned>(FileValueFromColour(style.colours[i])));
    ok = WriteText(style, name, kColourKeys[i], text) && ok;
  }
  for (int i = 0; i < kStyleFontCount; ++i) ok = WriteText(style, name, kFontKeys[i], style.fonts[i].c_str()) && ok;
  ok = WriteText(style, name, kBackgroundKey, style.backgroundFlag ? style.background.c_str() : "") && ok;
  ok = WriteText(style, name, kLogoKey, style.logo.c_str()) && ok;
  std::string columns;
  for (int k = 0; k < kStyleColumnCount; ++k)
    if (style.columnFlags[k]) columns += static_cast<char>('0' + k);
  ok = WriteText(style, name, kTableColumnsKey, columns.c_str()) && ok;
  ok = WriteInt(style, name, kSortByKey, style.sortColumn) && ok;
  const char* alignment = style.alignment == kAlignLeft    ? "LEFT"
                          : style.alignment == kAlignRight ? "RIGHT"
                                                           : "CENTER";
  ok = WriteText(style, name, kAlignmentKey, alignment) && ok;
  ok = WriteText(style, name, kLongDescriptionKey, style.longDescription ? "1" : "0") && ok;
  ok = WriteText(style, name, kFramePageKey, style.framePage ? "1" : "0") && ok;
  ok = WriteInt(style, name, kFrameWidthKey, style.frameWidth) && ok;
  ok = WriteInt(style, name, kTocWidthKey, style.tocWidth) && ok;
  return ok;
}

int SaveStyle(StyleRecord& style, const char* name) {
  std::string wanted = name != nullptr ? name : style.currentName;
  if (wanted.size() >= kStyleNameSize) wanted.resize(kStyleNameSize - 1);
  if (!IsUsableName(wanted)) {
    Ask("\"" + wanted + "\" cannot be used as a style name.", kv::ui::MbOk | kv::ui::MbIconError);
    return 0;
  }
  int found = FindStyle(style, wanted);
  if (found >= 0) {
    if (style.newStyle &&
        Ask(wanted + " already existed, do you want to overwrite it?", kv::ui::MbYesNo | kv::ui::MbIconQuestion) !=
            kv::ui::IdYes)
      return 0;
    // The list keeps the spelling it has; sections match without case.
    wanted = style.styleNames[found];
  } else {
    if (static_cast<int>(style.styleNames.size()) >= kMaxStyles) {
      Ask("No more than 50 styles can be kept; delete one first.", kv::ui::MbOk | kv::ui::MbIconError);
      return 0;
    }
    int number = static_cast<int>(style.styleNames.size()) + 1;
    if (!WriteText(style, kStyleListSection, ListKey(number).c_str(), wanted.c_str())) return 0;
    style.styleNames.push_back(wanted);
  }
  style.currentName = wanted;
  return WriteStyle(style, wanted.c_str()) ? 1 : 0;
}

bool DeleteStyle(StyleRecord& style, int index) {
  int count = static_cast<int>(style.styleNames.size());
  if (index < 0 || index >= count) return false;
  std::string name = style.styleNames[index];
  // The whole section goes, header and keys, through the INI layer.
  WriteText(style, name.c_str(), nullptr, nullptr);
  style.styleNames.erase(style.styleNames.begin() + index);
  WriteStyleList(style, count);
  int left = count - 1;
  if (left == 0) {
    style.selected = -1;
    style.currentName.clear();
    return true;
  }
  style.selected = index < left ? index : left - 1;
  style.currentName = style.styleNames[style.selected];
  LoadStyle(style, style.currentName.c_str());
  return true;
}

bool RenameStyle(StyleRecord& style, int index, const char* newName) {
  int count = static_cast<int>(style.styleNames.size());
  if (index < 0 || index >= count || newName == nullptr) return false;
  std::string oldName = style.styleNames[index];
  std::string wanted = newName;
  int other = FindStyle(style, wanted);
  if (!IsUsableName(wanted) || (other >= 0 && other != index)) {
    Ask("\"" + wanted + "\" cannot be used as a style name: it is empty, not valid, or another style has it.",
        kv::ui::MbOk | kv::ui::MbIconError);
    style.currentName = oldName;
    return false;
  }
  std::string file = kv::IniFilePath(style.path.c_str());
  int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    Ask("Cannot open file:" + style.path, kv::ui::MbOk | kv::ui::MbIconError);
    style.currentName = oldName;
    return false;
  }
  close(fd);
  if (wanted != oldName) {
    // Copy the section key by key, in its order, then drop the old one. A
    // change of case alone rewrites the same section in place first.
    auto keys = kv::IniSection(oldName.c_str(), style.path.c_str());
    if (strcasecmp(wanted.c_str(), oldName.c_str()) == 0) WriteText(style, oldName.c_str(), nullptr, nullptr);
    for (const auto& [key, value] : keys) WriteText(style, wanted.c_str(), key.c_str(), value.c_str());
    if (strcasecmp(wanted.c_str(), oldName.c_str()) != 0) WriteText(style, oldName.c_str(), nullptr, nullptr);
  }
  style.styleNames[index] = wanted;
  WriteStyleList(style, count);
  style.selected = index;
  style.currentName = wanted;
  return true;
}
