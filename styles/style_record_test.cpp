#include "styles/style_record.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <gd.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/base/ini.h"
#include "platform/ui/msgbox.h"
#include "platform/ui/window.h"
#include "shell/settings_file.h"

namespace {

namespace fs = std::filesystem;

class Styles : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "kvstylesXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    InitStyleRecord(style_, nullptr);
    style_.path = folder_ + "/Style.ini";
    previous_ = kv::ui::SetMessageBoxHandler([this](const kv::ui::MessageBoxInfo& info) {
      boxes_.push_back(info.text);
      captions_.push_back(info.caption);
      return answer_;
    });
  }
  void TearDown() override {
    kv::ui::SetMessageBoxHandler(previous_);
    fs::remove_all(folder_);
  }
  std::string Raw(const char* section, const char* key) const {
    return kv::IniString(section, key, "<absent>", style_.path.c_str());
  }
  void Put(const char* section, const char* key, const char* value) const {
    ASSERT_TRUE(kv::IniWriteString(section, key, value, style_.path.c_str()));
  }
  std::vector<std::string> ListKeys() const {
    std::vector<std::string> names;
    for (int i = 1; i <= 60; ++i) {
      std::string v = Raw(kStyleListSection, ("Style " + std::to_string(i)).c_str());
      if (v == "<absent>") break;
      names.push_back(v);
    }
    return names;
  }
  // Saves the fresh record under each name, as new styles.
  void SaveFresh(const std::vector<std::string>& names) {
    for (const auto& name : names) ASSERT_EQ(SaveStyle(style_, name.c_str()), 1) << name;
  }

  std::string folder_;
  StyleRecord style_;
  kv::ui::MessageBoxHandler previous_;
  std::vector<std::string> boxes_;
  std::vector<std::string> captions_;
  int32_t answer_ = kv::ui::IdYes;
};

TEST_F(Styles, FreshRecord) {
  StyleRecord fresh;
  InitStyleRecord(fresh, nullptr);
  EXPECT_EQ(fresh.path, std::string(GetProgramDirectory()) + "Style.ini");
  EXPECT_EQ(fresh.colours[kPageBackground], 0xFFFF80u) << "80FFFF as COLORREF";
  EXPECT_EQ(fresh.colours[kSectionText], 0x40FF00u);
  EXPECT_EQ(fresh.colours[kTitleText], 0xFF0000u);
  EXPECT_EQ(fresh.colours[kTableFrame], 0u);
  EXPECT_EQ(fresh.fonts[kStandardFont], "Arial");
  EXPECT_EQ(fresh.fonts[kTitleFont], "Times New Roman");
  EXPECT_EQ(fresh.fonts[kSectionFont], "Times New Roman");
  EXPECT_EQ(fresh.fonts[kTableDataFont], "Arial");
  EXPECT_EQ(fresh.columnFlags, (std::array<int, 4>{1, 1, 1, 0}));
  EXPECT_EQ(fresh.visibleColumns, (std::array<int, 4>{0, 1, 2, 3}));
  EXPECT_EQ(fresh.visibleCount, 3);
  EXPECT_EQ(fresh.columnLabels[3], "User Session Percent");
  EXPECT_EQ(fresh.alignment, kAlignLeft);
  EXPECT_EQ(fresh.tocWidth, 20);
  EXPECT_TRUE(fresh.styleNames.empty());
  EXPECT_EQ(fresh.logo, "");
}

TEST_F(Styles, SaveWritesTheFileFormAndLoadReadsItBack) {
  style_.colours[kPageBackground] = ColourFromFileValue(0x80FFFF);
  style_.colours[kEvenRowText] = 0x00123456;  // COLORREF: blue 12, green 34, red 56
  style_.fonts[kTitleFont] = "Verdana";
  style_.columnFlags = {0, 1, 0, 1};
  style_.sortColumn = 3;
  style_.alignment = kAlignRight;
  style_.longDescription = 0;
  style_.frameWidth = 4;
  style_.framePage = 1;
  style_.tocWidth = 33;
  style_.background = "Paper.JPG";
  style_.backgroundFlag = 1;
  style_.logo = "mylogo.gif";
  ASSERT_EQ(SaveStyle(style_, "Blue"), 1);

  EXPECT_EQ(Raw(kStyleListSection, "Style 1"), "Blue");
  EXPECT_EQ(Raw("Blue", "Page Background Color"), "80FFFF");
  EXPECT_EQ(Raw("Blue", "Even Row Text Color"), "563412");
  EXPECT_EQ(Raw("Blue", "Title Font"), "Verdana");
  EXPECT_EQ(Raw("Blue", "Table Columns"), "13");
  EXPECT_EQ(Raw("Blue", "Sort By"), "3");
  EXPECT_EQ(Raw("Blue", "Number Alignment"), "RIGHT");
  EXPECT_EQ(Raw("Blue", "Long Description"), "0");
  EXPECT_EQ(Raw("Blue", "Frame Width"), "4");
  EXPECT_EQ(Raw("Blue", "Frame Page"), "1");
  EXPECT_EQ(Raw("Blue", "TOC Width"), "33");
  EXPECT_EQ(Raw("Blue", "Background Filename"), "Paper.JPG");
  EXPECT_EQ(Raw("Blue", "Logo Filename"), "mylogo.gif");
  EXPECT_EQ(Raw("Blue", "Table Frame Color"), "<absent>");

  StyleRecord loaded;
  InitStyleRecord(loaded, nullptr);
  loaded.path = style_.path;
  EXPECT_EQ(FillStyleList(loaded), 1);
  LoadStyle(loaded, "blue");  // sections match without case
  for (int i = 0; i < kTableFrame; ++i) EXPECT_EQ(loaded.colours[i], style_.colours[i]) << i;
  EXPECT_EQ(loaded.colours[kPageBackground] & 0xFF, 0x80u) << "red";
  EXPECT_EQ(loaded.colours[kPageBackground] >> 8 & 0xFF, 0xFFu) << "green";
  EXPECT_EQ(loaded.colours[kPageBackground] >> 16 & 0xFF, 0xFFu) << "blue";
  EXPECT_EQ(loaded.fonts, style_.fonts);
  EXPECT_EQ(loaded.columnFlags, style_.columnFlags);
  EXPECT_EQ(loaded.visibleCount, 2);
  EXPECT_EQ(loaded.visibleColumns[0], 1);
  EXPECT_EQ(loaded.visibleColumns[1], 3);
  EXPECT_EQ(loaded.sortColumn, 3);
  EXPECT_EQ(loaded.alignment, kAlignRight);
  EXPECT_EQ(loaded.longDescription, 0);
  EXPECT_EQ(loaded.frameWidth, 4);
  EXPECT_EQ(loaded.framePage, 1);
  EXPECT_EQ(loaded.tocWidth, 33);
  EXPECT_EQ(loaded.backgroundFlag, 1);
  EXPECT_EQ(loaded.background, "Paper.JPG");
  EXPECT_EQ(loaded.logo, "mylogo.gif");
  EXPECT_EQ(loaded.backgroundPicture.path, std::string(GetProgramDirectory()) + "Base/Images/paper.jpg");
  EXPECT_EQ(loaded.backgroundPicture.kind, PictureKind::kJpeg);
  EXPECT_EQ(loaded.logoPicture.kind, PictureKind::kGif);

  // A cleared background flag writes an empty name, which releases the slot.
  loaded.backgroundFlag = 0;
  ASSERT_EQ(SaveStyle(loaded, "Blue"), 1);
  EXPECT_EQ(Raw("Blue", "Background Filename"), "");
  LoadStyle(loaded, "Blue");
  EXPECT_EQ(loaded.backgroundFlag, 0);
  EXPECT_EQ(loaded.backgroundPicture.path, "");
  EXPECT_EQ(loaded.backgroundPicture.kind, PictureKind::kNone);
}

TEST_F(Styles, ValuesAsTheFileHoldsThem) {
  struct Case {
    const char* columns;
    std::array<int, 4> flags;
    int visible;
  };
  const Case columnCases[] = {
      {"13", {0, 1, 0, 1}, 2}, {"31", {0, 1, 0, 1}, 2}, {"3x1", {0, 1, 0, 1}, 2}, {"0123", {1, 1, 1, 1}, 4},
      {"", {0, 0, 0, 0}, 0},   {"9", {0, 0, 0, 0}, 0},   {"2", {0, 0, 1, 0}, 1},
  };
  for (const Case& c : columnCases) {
    Put("S", "Table Columns", c.columns);
    LoadStyle(style_, "S");
    EXPECT_EQ(style_.columnFlags, c.flags) << c.columns;
    EXPECT_EQ(style_.visibleCount, c.visible) << c.columns;
    int n = 0;
    for (int k = 0; k < 4; ++k)
      if (c.flags[k]) {
        EXPECT_EQ(style_.visibleColumns[n++], k) << c.columns;
      }
  }

  struct Alignment {
    const char* text;
    int value;
  };
  const Alignment alignments[] = {{"LEFT", kAlignLeft}, {"RIGHT", kAlignRight}, {"CENTER", kAlignCenter},
                                  {"left", kAlignCenter}, {"Right", kAlignCenter}, {"", kAlignCenter},
                                  {nullptr, kAlignCenter}};
  for (const Alignment& a : alignments) {
    Put("S", "Number Alignment", a.text);
    LoadStyle(style_, "S");
    EXPECT_EQ(style_.alignment, a.value) << (a.text ? a.text : "(absent)");
  }

  struct Colour {
    const char* text;
    uint32_t colorref;
  };
  const Colour colours[] = {{"80FFFF", 0xFFFF80}, {"ff0000", 0x0000FF}, {"0", 0}, {"zz", 0},
                            {"123", 0x230100},    {"1FF0000", 0x0000FF}};
  for (const Colour& c : colours) {
    Put("S", "Title Text Color", c.text);
    LoadStyle(style_, "S");
    EXPECT_EQ(style_.colours[kTitleText], c.colorref) << c.text;
  }

  Put("S", "Logo Filename", "");
  LoadStyle(style_, "S");
  EXPECT_EQ(style_.logo, "kvlogoss.gif");

  // Flags are on for any number but 0, and a save writes them back as read.
  struct Flag {
    const char* text;
    int value;
  };
  const Flag flags[] = {{"0", 0}, {"1", 1}, {"2", 1}, {"-1", 1}, {"07", 1}};
  for (const Flag& f : flags) {
    Put("S", "Long Description", f.text);
    Put("S", "Frame Page", f.text);
    LoadStyle(style_, "S");
    EXPECT_EQ(style_.longDescription, f.value) << f.text;
    EXPECT_EQ(style_.framePage, f.value) << f.text;
    ASSERT_TRUE(WriteStyle(style_, "S"));
    StyleRecord again;
    InitStyleRecord(again, nullptr);
    again.path = style_.path;
    LoadStyle(again, "S");
    EXPECT_EQ(again.longDescription, style_.longDescription) << f.text;
    EXPECT_EQ(again.framePage, style_.framePage) << f.text;
  }
}

// A file edited by hand or damaged on disk may hold zero bytes inside its
// values: each value ends at the first one, and a style saved and read again
// is the style that was read.
TEST_F(Styles, ValuesEndAtAZeroByteAndReadBackTheSameAfterASave) {
  using namespace std::string_literals;
  const std::string file =
      "["s + kStyleListSection + "]\r\nStyle 1=Ni\0ght\r\n[Ni]\r\nTitle Font=Ver \0dana\r\nStandard Font=\0Courier\r\n"
      "Logo Filename=a\t\0.gif\r\nBackground Filename=back.jpg\0x\r\nTable Columns=1\0" "23\r\n"
      "Number Alignment=LEFT\0X\r\n"s;
  FILE* f = std::fopen(style_.path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(file.data(), 1, file.size(), f), file.size());
  std::fclose(f);

  ASSERT_EQ(FillStyleList(style_), 1);
  EXPECT_EQ(style_.styleNames[0], "Ni");
  LoadStyle(style_, "Ni");
  EXPECT_EQ(style_.fonts[kTitleFont], "Ver");
  EXPECT_EQ(style_.fonts[kStandardFont], "");  // present, so no default
  EXPECT_EQ(style_.logo, "a");
  EXPECT_EQ(style_.background, "back.jpg");
  EXPECT_EQ(style_.columnFlags, (std::array<int, 4>{0, 1, 0, 0}));
  EXPECT_EQ(style_.alignment, kAlignLeft);

  ASSERT_TRUE(WriteStyle(style_, "Ni"));
  StyleRecord again;
  InitStyleRecord(again, nullptr);
  again.path = style_.path;
  LoadStyle(again, "Ni");
  EXPECT_EQ(again.fonts, style_.fonts);
  EXPECT_EQ(again.logo, style_.logo);
  EXPECT_EQ(again.background, style_.background);
  EXPECT_EQ(again.columnFlags, style_.columnFlags);
  EXPECT_EQ(again.alignment, style_.alignment);
}

TEST_F(Styles, AbsentKeysGiveTheirDefaults) {
  LoadStyle(style_, "Nowhere");  // no file at all
  for (int i = 0; i < kTableFrame; ++i) EXPECT_EQ(style_.colours[i], 0u) << i;
  for (const auto& font : style_.fonts) EXPECT_EQ(font, "Arial");
  EXPECT_EQ(style_.sortColumn, 1);
  EXPECT_EQ(style_.alignment, kAlignCenter);
  EXPECT_EQ(style_.longDescription, 1);
  EXPECT_EQ(style_.columnFlags, (std::array<int, 4>{1, 1, 1, 0}));
  EXPECT_EQ(style_.visibleCount, 3);
  EXPECT_EQ(style_.frameWidth, 1);
  EXPECT_EQ(style_.framePage, 0);
  EXPECT_EQ(style_.tocWidth, 20);
  EXPECT_EQ(style_.logo, "kvlogoss.gif");
  EXPECT_EQ(style_.background, "");
  EXPECT_EQ(style_.backgroundFlag, 0);
  EXPECT_FALSE(fs::exists(style_.path));
}

TEST_F(Styles, StyleListStopsAtTheFirstGapAndAtFifty) {
  Put(kStyleListSection, "Style 1", "One");
  Put(kStyleListSection, "Style 2", "Two");
  Put(kStyleListSection, "Style 4", "Four");
  EXPECT_EQ(FillStyleList(style_), 2);
  EXPECT_EQ(style_.styleNames, (std::vector<std::string>{"One", "Two"}));
  EXPECT_EQ(FillStyleList(style_), 2) << "filling again does not add twice";

  for (int i = 1; i <= 55; ++i) Put(kStyleListSection, ("Style " + std::to_string(i)).c_str(), ("S" + std::to_string(i)).c_str());
  EXPECT_EQ(FillStyleList(style_), 50);
  EXPECT_EQ(style_.styleNames.back(), "S50");
}

TEST_F(Styles, SavingOverAnExistingName) {
  SaveFresh({"Alpha", "Beta"});
  EXPECT_EQ(ListKeys(), (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_TRUE(boxes_.empty());

  // Editing (new-style flag clear): overwrites without a question, and a
  // name in another case is the same style.
  style_.tocWidth = 40;
  ASSERT_EQ(SaveStyle(style_, "ALPHA"), 1);
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(ListKeys(), (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_EQ(Raw("Alpha", "TOC Width"), "40");
  EXPECT_EQ(kv::IniSectionNames(style_.path.c_str()).size(), 3u);

  // Making a new style: the user is asked; No saves nothing.
  style_.newStyle = 1;
  style_.tocWidth = 50;
  answer_ = kv::ui::IdNo;
  EXPECT_EQ(SaveStyle(style_, "beta"), 0);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0], "beta already existed, do you want to overwrite it?");
  EXPECT_EQ(captions_[0], "Kelvaron Style Widzard");
  EXPECT_EQ(Raw("Beta", "TOC Width"), "20");
  answer_ = kv::ui::IdYes;
  EXPECT_EQ(SaveStyle(style_, "beta"), 1);
  EXPECT_EQ(Raw("Beta", "TOC Width"), "50");
  EXPECT_EQ(ListKeys(), (std::vector<std::string>{"Alpha", "Beta"}));

  // A name from currentName when none is given.
  style_.currentName = "Gamma";
  EXPECT_EQ(SaveStyle(style_, nullptr), 1);
  EXPECT_EQ(ListKeys(), (std::vector<std::string>{"Alpha", "Beta", "Gamma"}));
}

TEST_F(Styles, SavingRefusesWhatTheFileCannotHold) {
  std::vector<std::string> names;
  for (int i = 1; i <= kMaxStyles; ++i) names.push_back("Style number " + std::to_string(i));
  SaveFresh(names);
  EXPECT_EQ(ListKeys().size(), 50u);
  EXPECT_EQ(SaveStyle(style_, "One too many"), 0);
  EXPECT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(ListKeys().size(), 50u);
  EXPECT_EQ(Raw("One too many", "TOC Width"), "<absent>");
  EXPECT_EQ(SaveStyle(style_, "style NUMBER 7"), 1) << "an existing name is still saved";

  ASSERT_TRUE(DeleteStyle(style_, 0));
  const char* bad[] = {"", "Kelvaron Styles", "KELVARON STYLES", "a]b", "two\nlines", " padded"};
  for (const char* name : bad) {
    EXPECT_EQ(SaveStyle(style_, name), 0) << name;
    EXPECT_EQ(ListKeys().size(), 49u) << name;
  }
  EXPECT_EQ(Raw(kStyleListSection, "Style 1"), "Style number 2");
}

TEST_F(Styles, DeletingRemovesTheSectionAndRenumbers) {
  SaveFresh({"First", "Second", "Third"});
  style_.tocWidth = 77;
  ASSERT_EQ(SaveStyle(style_, "Third"), 1);
  ASSERT_EQ(Raw("Second", "TOC Width"), "20");

  ASSERT_TRUE(DeleteStyle(style_, 1));
  EXPECT_EQ(ListKeys(), (std::vector<std::string>{"First", "Third"}));
  EXPECT_EQ(Raw(kStyleListSection, "Style 3"), "<absent>");
  EXPECT_TRUE(kv::IniKeyNames("Second", style_.path.c_str()).empty());
  EXPECT_EQ(Raw("Second", "TOC Width"), "<absent>");
  EXPECT_EQ(style_.selected, 1);
  EXPECT_EQ(style_.currentName, "Third");
  EXPECT_EQ(style_.tocWidth, 77) << "the newly selected style is loaded";
  EXPECT_EQ(Raw("First", "TOC Width"), "20");

  EXPECT_FALSE(DeleteStyle(style_, 2));
  EXPECT_FALSE(DeleteStyle(style_, -1));

  ASSERT_TRUE(DeleteStyle(style_, 1));
  EXPECT_EQ(style_.selected, 0);
  EXPECT_EQ(style_.currentName, "First");
  ASSERT_TRUE(DeleteStyle(style_, 0));
  EXPECT_EQ(style_.selected, -1);
  EXPECT_TRUE(style_.styleNames.empty());
  EXPECT_TRUE(ListKeys().empty());
  for (const auto& section : kv::IniSectionNames(style_.path.c_str())) EXPECT_EQ(section, kStyleListSection);
  EXPECT_FALSE(DeleteStyle(style_, 0)) << "nothing left to delete";

  StyleRecord reread;
  InitStyleRecord(reread, nullptr);
  reread.path = style_.path;
  EXPECT_EQ(FillStyleList(reread), 0);
}

TEST_F(Styles, RenamingMovesTheSection) {
  SaveFresh({"Old", "Other"});
  style_.frameWidth = 9;
  ASSERT_EQ(SaveStyle(style_, "Old"), 1);

  ASSERT_TRUE(RenameStyle(style_, 0, "New name"));
  EXPECT_EQ(ListKeys(), (std::vector<std::string>{"New name", "Other"}));
  EXPECT_EQ(Raw("New name", "Frame Width"), "9");
  EXPECT_EQ(Raw("New name", "TOC Width"), "20");
  EXPECT_EQ(kv::IniKeyNames("New name", style_.path.c_str()).size(), 26u);
  EXPECT_EQ(Raw("Old", "Frame Width"), "<absent>");
  EXPECT_EQ(style_.selected, 0);
  EXPECT_EQ(style_.currentName, "New name");

  // Onto another style's name (any case): refused, nothing changes.
  EXPECT_FALSE(RenameStyle(style_, 0, "OTHER"));
  EXPECT_EQ(style_.currentName, "New name");
  EXPECT_EQ(ListKeys(), (std::vector<std::string>{"New name", "Other"}));
  EXPECT_EQ(Raw("New name", "Frame Width"), "9");
  EXPECT_FALSE(RenameStyle(style_, 0, "Kelvaron Styles"));
  EXPECT_FALSE(RenameStyle(style_, 0, ""));
  EXPECT_FALSE(RenameStyle(style_, 5, "Fine"));

  // A change of case alone keeps the keys.
  ASSERT_TRUE(RenameStyle(style_, 0, "NEW NAME"));
  EXPECT_EQ(ListKeys(), (std::vector<std::string>{"NEW NAME", "Other"}));
  EXPECT_EQ(Raw("New name", "Frame Width"), "9");

  // A file that cannot be opened: the user is told, nothing changes.
  boxes_.clear();
  std::string kept = style_.path;
  style_.path = folder_ + "/missing/Style.ini";
  EXPECT_FALSE(RenameStyle(style_, 1, "Elsewhere"));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0], "Cannot open file:" + style_.path);
  EXPECT_EQ(style_.styleNames[1], "Other");
  EXPECT_EQ(style_.currentName, "Other");
  style_.path = kept;
}

TEST_F(Styles, ShippedStylesLoad) {
  // The source tree: from the environment, else from where this file lies.
  const char* source = getenv("KV_SOURCE_DIR");
  std::string root = source != nullptr ? source : fs::path(__FILE__).parent_path().parent_path().string();
  style_.path = root + "/data/Style.ini";
  ASSERT_TRUE(fs::exists(style_.path)) << style_.path;
  int count = FillStyleList(style_);
  ASSERT_GE(count, 1);
  for (const auto& name : style_.styleNames) {
    LoadStyle(style_, name.c_str());
    EXPECT_GT(style_.visibleCount, 0) << name;
    EXPECT_EQ(style_.logo, "kvlogoss.gif") << name;
    EXPECT_NE(style_.colours[kPageBackground], style_.colours[kPageText]) << name;
  }
}

// Pictures written here with the graphics library: a GIF of known colours
// and a red JPEG, in the program folder's picture folder.
class StylePictures : public Styles {
 protected:
  void SetUp() override {
    Styles::SetUp();
    images_ = std::string(GetProgramDirectory()) + "Base/Images/";
    tag_ = "t" + std::to_string(::getpid());
    gdImagePtr gif = gdImageCreate(3, 2);
    int black = gdImageColorAllocate(gif, 0, 0, 0);
    int teal = gdImageColorAllocate(gif, 0x00, 0x80, 0x80);
    gdImageFilledRectangle(gif, 0, 0, 2, 1, black);
    gdImageSetPixel(gif, 2, 1, teal);
    Write(gif, tag_ + "logo.gif", false);
    gdImagePtr jpeg = gdImageCreateTrueColor(7, 5);
    gdImageFilledRectangle(jpeg, 0, 0, 6, 4, gdTrueColor(255, 0, 0));
    Write(jpeg, tag_ + "back.jpg", true);
    std::FILE* junk = std::fopen((images_ + tag_ + "junk.gif").c_str(), "wb");
    std::fputs("not a picture", junk);
    std::fclose(junk);
  }
  void TearDown() override {
    for (const char* name : {"logo.gif", "back.jpg", "junk.gif"}) std::remove((images_ + tag_ + name).c_str());
    Styles::TearDown();
  }
  void Write(gdImagePtr image, const std::string& name, bool jpeg) {
    std::FILE* out = std::fopen((images_ + name).c_str(), "wb");
    ASSERT_NE(out, nullptr) << name;
    if (jpeg) gdImageJpeg(image, out, 95);
    else gdImageGif(image, out);
    std::fclose(out);
    gdImageDestroy(image);
  }
  uint32_t Pixel(const StylePicture& p, int x, int y) {
    return static_cast<const uint32_t*>(p.image->pixels)[y * p.image->width + x];
  }
  std::string images_, tag_;
};

TEST_F(StylePictures, BackgroundAndLogoAreReadThroughTheImageModule) {
  Put(kStyleListSection, "Style 1", "Pictured");
  // Names in any case: the files are found by their lower-case names.
  Put("Pictured", "Background Filename", (tag_ + "BACK.JPG").c_str());
  Put("Pictured", "Logo Filename", (tag_ + "Logo.Gif").c_str());
  LoadStyle(style_, "Pictured");
  const StylePicture& back = style_.backgroundPicture;
  ASSERT_TRUE(back.loaded);
  ASSERT_NE(back.image, nullptr);
  EXPECT_EQ(back.kind, PictureKind::kJpeg);
  EXPECT_EQ(back.path, images_ + tag_ + "back.jpg");
  EXPECT_EQ(back.image->width, 7);
  EXPECT_EQ(back.image->height, 5);
  EXPECT_EQ(back.image->bitCount, 24);
  const uint32_t red = Pixel(back, 3, 2);  // JPEG keeps the colour near
  EXPECT_GT(red >> 16 & 0xFF, 230u);
  EXPECT_LT(red >> 8 & 0xFF, 30u);
  EXPECT_LT(red & 0xFF, 30u);
  const StylePicture& logo = style_.logoPicture;
  ASSERT_TRUE(logo.loaded);
  EXPECT_EQ(logo.kind, PictureKind::kGif);
  EXPECT_EQ(logo.image->width, 3);
  EXPECT_EQ(logo.image->height, 2);
  EXPECT_EQ(logo.image->bitCount, 8);
  EXPECT_EQ(Pixel(logo, 0, 0), 0x000000u);
  EXPECT_EQ(Pixel(logo, 2, 1), 0x008080u);

  // A file that cannot be read leaves the picture in place; an empty name
  // releases it.
  const auto held = back.image;
  Put("Pictured", "Background Filename", (tag_ + "junk.gif").c_str());
  Put("Pictured", "Logo Filename", (tag_ + "missing.gif").c_str());
  LoadStyle(style_, "Pictured");
  EXPECT_TRUE(style_.backgroundPicture.loaded);
  EXPECT_EQ(style_.backgroundPicture.image, held);
  EXPECT_EQ(style_.backgroundPicture.kind, PictureKind::kJpeg);
  EXPECT_TRUE(style_.logoPicture.loaded);
  EXPECT_EQ(style_.logoPicture.image->width, 3);
  Put("Pictured", "Background Filename", "");
  LoadStyle(style_, "Pictured");
  EXPECT_FALSE(style_.backgroundPicture.loaded);
  EXPECT_EQ(style_.backgroundPicture.image, nullptr);

  // The shipped default logo loads as well.
  StyleRecord fresh;
  InitStyleRecord(fresh, nullptr);
  fresh.path = style_.path;
  Put("Plain", "Page Text Color", "000000");
  LoadStyle(fresh, "Plain");
  EXPECT_EQ(fresh.logo, kDefaultLogo);
  EXPECT_TRUE(fresh.logoPicture.loaded);
  EXPECT_GT(fresh.logoPicture.image->width, 0);
}

}  // namespace
