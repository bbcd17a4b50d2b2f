// Named report styles: the record the style wizard works on and the file
// Style.ini beside the program, which the report generators read.
//
// Style.ini holds the section "Kelvaron Styles" with the keys "Style 1",
// "Style 2", ... (numbered without gaps) naming the styles, and one section
// per style with its colours, fonts, pictures and table settings. Colours are
// held in memory as COLORREF values (0x00BBGGRR) and stored as six upper-case
// hexadecimal digits in RRGGBB order.
#ifndef KV_STYLES_STYLE_RECORD_H
#define KV_STYLES_STYLE_RECORD_H

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/kvtypes.h"
#include "platform/vic32/vic32.h"

inline constexpr const char* kStyleListSection = "Kelvaron Styles";
inline constexpr const char* kStyleWizardCaption = "Kelvaron Style Widzard";
inline constexpr int kMaxStyles = 50;
inline constexpr size_t kStyleNameSize = 260;  // a style name is at most 259 characters
inline constexpr const char* kDefaultLogo = "kvlogoss.gif";

// Colour slots; kTableFrame lives only in memory (the wizard's sample).
enum StyleColour {
  kPageBackground,
  kPageText,
  kSectionBackground,
  kSectionText,
  kTitleBackground,
  kTitleText,
  kSubTitleBackground,
  kSubTitleText,
  kOddRowBackground,
  kOddRowText,
  kEvenRowBackground,
  kEvenRowText,
  kTableFrame,
  kStyleColourCount
};

enum StyleFont { kStandardFont, kTitleFont, kSectionFont, kSubTitleFont, kTableDataFont, kStyleFontCount };

// Number alignment.
enum StyleAlignment { kAlignCenter = 1, kAlignLeft = 2, kAlignRight = 3 };

// Table columns: 0 "Hits", 1 "Hits Percent", 2 "User Session", 3 "User Session Percent".
inline constexpr int kStyleColumnCount = 4;

enum class PictureKind { kNone, kGif, kJpeg };

// A picture of the wizard's sample: the file it comes from (program folder,
// "Base/Images/", the lower-cased name), whether it is loaded and, when it
// is, the picture read through the image module (VIC32). Without the module,
// or when the file cannot be read, the slot names its file and a picture
// loaded before stays in place.
struct StylePicture {
  std::string path;
  PictureKind kind = PictureKind::kNone;
  bool loaded = false;
  std::shared_ptr<const kv::vic::Image> image;  // pixels 0x00RRGGBB, top row first
};

struct StyleRecord {
  KvModule instance = nullptr;  // the resource module of the wizard's texts
  std::string path;             // Style.ini
  std::array<uint32_t, kStyleColourCount> colours{};
  std::array<std::string, kStyleFontCount> fonts;
  std::array<int, kStyleColumnCount> columnFlags{};
  int sortColumn = 0;
  std::array<int, kStyleColumnCount> visibleColumns{};  // shown column indices, ascending
  std::array<std::string, kStyleColumnCount> columnLabels;
  int visibleCount = 0;
  int alignment = kAlignLeft;
  int longDescription = 1;
  int frameWidth = 1;
  int framePage = 0;
  int tocWidth = 20;
  int newStyle = 0;  // 1: saving over an existing name asks first
  std::vector<std::string> styleNames;  // the entries of "Kelvaron Styles", in order (at most 50)
  int selected = -1;                    // the list entry shown, -1 for none
  std::string currentName;
  int backgroundFlag = 0;  // the background file name is not empty
  std::string background;
  StylePicture backgroundPicture;
  std::string logo;
  StylePicture logoPicture;
};

// COLORREF <-> the RRGGBB number of the file.
uint32_t ColourFromFileValue(uint32_t rrggbb);
uint32_t FileValueFromColour(uint32_t colorref);

// Sets the instance, the path (program folder + "Style.ini"; left as it was
// when the program folder is unknown) and every fresh default.
void InitStyleRecord(StyleRecord& style, KvModule instance);

// Reads the style names ("Style 1", "Style 2", ... up to the first that is
// empty, at most 50) into styleNames. Returns their number.
int FillStyleList(StyleRecord& style);

// Reads the style `name` into the record (keys that are absent give their
// defaults) and resolves its pictures.
void LoadStyle(StyleRecord& style, const char* name);

// Saves the record under `name` (or currentName when null). A name already in
// the list (compared without case) is overwritten; when newStyle is set the
// user is asked first, and any answer but Yes saves nothing. A new name is
// added to the list, unless the list is full (50) or the name cannot be a
// style name (empty, too long, the list section's name, or holding "]" or a
// line break). Returns 1 when saved, 0 otherwise.
int SaveStyle(StyleRecord& style, const char* name);

// Writes every stored key of the record into the section `name`.
bool WriteStyle(const StyleRecord& style, const char* name);

// Deletes the style at `index` of the list: its whole section, its list
// entry, and renumbers the list keys. Then selects entry min(index, count-1)
// and loads it (selected -1 when no style is left). False when index names no
// style.
bool DeleteStyle(StyleRecord& style, int index);

// Renames the style at `index` to newName: its section and its list entry.
// Refused (false, nothing changed) when index names no style, the new name
// cannot be a style name or another style has it, or Style.ini cannot be
// opened (then the user is told "Cannot open file:" and the path).
bool RenameStyle(StyleRecord& style, int index, const char* newName);

#endif
