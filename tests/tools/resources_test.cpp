// The resources the programs are built with, as the headless window system reads them, and
// the icon files the build draws.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "tests/tools/tool_rig.h"
#include "tools/common/resource.h"
#include "tools/iconart/artwork.h"

namespace {

struct Texts {
  std::string tool;
  std::u16string title, first, second;
  int firstWidth, secondWidth;
  std::u16string aboutTitle, aboutText, menu;
};

void PrintTo(const Texts &t, std::ostream *os) { *os << t.tool; }

const Texts kTools[] = {
    {"Pinflip", u"Preview toggle", u"Capture", u"Preview", 32, 32, u"About Pinflip",
     u"Pinflip Version 1.0", u"&About Pinflip..."},
    {"Fieldflip", u"Interlace mode", u"Weave", u"Linear", 32, 32, u"About Fieldflip",
     u"Fieldflip Version 1.0", u"&About Fieldflip..."},
};

class Resources : public ::testing::TestWithParam<Texts> {};

INSTANTIATE_TEST_SUITE_P(Tools, Resources, ::testing::ValuesIn(kTools),
                         [](const auto &info) { return info.param.tool; });

TEST_P(Resources, MainDialogHasTheRowsHeadingsAndCardListInTabOrder) {
  const Texts &t = GetParam();
  ResourceScript script = ToolResources(t.tool);
  EXPECT_EQ(script.language, 0x0809u);  // English (United Kingdom)
  ASSERT_EQ(script.dialogs.count(IDD_SETTINGS_DIALOG), 1u);
  const DialogTemplate &d = script.dialogs.at(IDD_SETTINGS_DIALOG);
  EXPECT_EQ(d.caption, t.title);
  EXPECT_EQ(std::tie(d.cx, d.cy, d.fontSize), std::make_tuple(202, 141, 8));
  EXPECT_EQ(d.fontFace, u"MS Shell Dlg");
  EXPECT_EQ(d.style, DS_SETFONT | DS_MODALFRAME | DS_FIXEDSYS | WS_POPUP | WS_VISIBLE | WS_CAPTION |
                         WS_SYSMENU);
  EXPECT_EQ(d.exStyle, WS_EX_APPWINDOW);

  const std::vector<ControlTemplate> &c = d.controls;
  ASSERT_EQ(c.size(), 29u);
  EXPECT_EQ(std::make_tuple(c[0].id, c[0].text, c[0].style & BS_TYPEMASK, c[0].x, c[0].y),
            std::make_tuple(IDOK, std::u16string(u"OK"), BS_DEFPUSHBUTTON, 144, 12));
  EXPECT_EQ(std::make_tuple(c[1].id, c[1].text, c[1].style & BS_TYPEMASK, c[1].x, c[1].y),
            std::make_tuple(IDCANCEL, std::u16string(u"Cancel"), BS_PUSHBUTTON, 144, 31));
  for (int k = 0; k < 8; ++k) {
    SCOPED_TRACE(k);
    const ControlTemplate &label = c[2 + 3 * k], &first = c[3 + 3 * k], &second = c[4 + 3 * k];
    EXPECT_EQ(
        std::make_tuple(label.id, label.className, label.text, label.x, label.y),
        std::make_tuple(1000 + 3 * k, std::string("static"),
                        u"Channel " + Decimal(static_cast<uint32_t>(k + 1)), 12, 30 + 12 * k));
    EXPECT_EQ(label.style & WS_GROUP, 0u);
    // Each row's two buttons form one group: the first starts it, the next label does not.
    EXPECT_EQ(std::make_tuple(first.id, first.style, first.x, first.y, first.cx),
              std::make_tuple(1001 + 3 * k, WS_CHILD | WS_VISIBLE | WS_GROUP | BS_AUTORADIOBUTTON,
                              66, 30 + 12 * k, 8));
    EXPECT_EQ(std::make_tuple(second.id, second.style, second.x, second.y),
              std::make_tuple(1002 + 3 * k, WS_CHILD | WS_VISIBLE | BS_AUTORADIOBUTTON, 102,
                              30 + 12 * k));
  }
  EXPECT_EQ(std::make_tuple(c[26].text, c[26].x, c[26].cx, c[26].style & WS_GROUP),
            std::make_tuple(t.first, 54, t.firstWidth, WS_GROUP));
  EXPECT_EQ(std::make_tuple(c[27].text, c[27].x, c[27].cx, c[27].style & WS_GROUP),
            std::make_tuple(t.second, 90, t.secondWidth, WS_GROUP));
  EXPECT_EQ(std::make_tuple(c[28].id, c[28].className, c[28].x, c[28].y, c[28].cx, c[28].cy),
            std::make_tuple(1024, std::string("combobox"), 138, 90, 48, 30));
  // Drop-down with an edit field, unsorted: entries stay in card order.
  EXPECT_EQ(c[28].style, WS_CHILD | WS_VISIBLE | CBS_DROPDOWN | WS_VSCROLL | WS_TABSTOP);
}

TEST_P(Resources, AboutDialogMenuStringAndIcon) {
  const Texts &t = GetParam();
  ResourceScript script = ToolResources(t.tool);
  EXPECT_EQ(script.strings.at(IDS_ABOUTBOX), t.menu);
  EXPECT_EQ(script.icons, std::set<UINT>{IDR_MAINFRAME});
  const DialogTemplate &d = script.dialogs.at(IDD_ABOUTBOX);
  EXPECT_EQ(d.caption, t.aboutTitle);
  EXPECT_EQ(std::tie(d.cx, d.cy), std::make_tuple(235, 55));
  EXPECT_EQ(d.style & (DS_MODALFRAME | WS_VISIBLE), DS_MODALFRAME);
  ASSERT_EQ(d.controls.size(), 4u);
  const ControlTemplate &icon = d.controls[0], &text = d.controls[1], &ok = d.controls[3];
  EXPECT_EQ(std::make_tuple(icon.textResource, icon.style & 0x1F, icon.x, icon.y, icon.cx),
            std::make_tuple(IDR_MAINFRAME, SS_ICON, 11, 17, 20));
  EXPECT_EQ(std::make_tuple(text.text, text.style & SS_NOPREFIX, text.x, text.y, text.cx),
            std::make_tuple(t.aboutText, SS_NOPREFIX, 40, 10, 119));
  EXPECT_EQ(std::make_tuple(ok.id, ok.style & BS_TYPEMASK, ok.x, ok.y),
            std::make_tuple(IDOK, BS_DEFPUSHBUTTON, 178, 7));
}

std::string WriteTemp(const std::string &name, const std::string &text) {
  std::string path = ::testing::TempDir() + name;
  std::ofstream(path) << text;
  return path;
}

TEST(ResourceScriptReader, RefusesWhatItCannotReadAndSaysWhere) {
  std::string path = WriteTemp("bad.rc", "#define X 5\n1 DIALOGEX 0, 0, X, 5\nSTYLE WS_BOGUS\n");
  try {
    LoadResourceScript(path, {});
    FAIL() << "accepted an unknown name";
  } catch (const ResourceScriptError &e) {
    EXPECT_NE(std::string(e.what()).find("bad.rc:3"), std::string::npos) << e.what();
  }
  EXPECT_THROW(LoadResourceScript(WriteTemp("inc.rc", "#include \"absent.rc\"\n"), {}),
               ResourceScriptError);
  EXPECT_THROW(LoadResourceScript(WriteTemp("if.rc", "#ifdef X\n#endif\n"), {}),
               ResourceScriptError);
  EXPECT_THROW(LoadResourceScript(WriteTemp("cut.rc", "1 DIALOGEX 0, 0, 5, 5\nBEGIN\n"), {}),
               ResourceScriptError);
}

// The fields of one image's directory entry and bitmap header.
struct Entry {
  int width, height, colours, bpp;
  uint32_t bytes, offset;
};

uint32_t Read32(const std::vector<uint8_t> &b, size_t at) {
  uint32_t v;
  std::memcpy(&v, &b[at], 4);
  return v;
}
uint16_t Read16(const std::vector<uint8_t> &b, size_t at) {
  uint16_t v;
  std::memcpy(&v, &b[at], 2);
  return v;
}

TEST(IconFile, NineImagesWithConsistentHeadersPalettesAndMasks) {
  for (Artwork art : {Artwork::kPinflip, Artwork::kFieldflip}) {
    std::vector<uint8_t> ico = EncodeIcon(ToolIconImages(art));
    ASSERT_GE(ico.size(), 6u);
    EXPECT_EQ(Read16(ico, 0), 0);
    EXPECT_EQ(Read16(ico, 2), 1);
    ASSERT_EQ(Read16(ico, 4), 9);
    const int sizes[] = {48, 32, 16}, depths[] = {4, 8, 24};
    uint32_t expectedOffset = 6 + 16 * 9;
    for (int i = 0; i < 9; ++i) {
      SCOPED_TRACE(i);
      const size_t e = 6 + 16 * static_cast<size_t>(i);
      const int size = sizes[i % 3], bpp = depths[i / 3];
      EXPECT_EQ(ico[e], size);
      EXPECT_EQ(ico[e + 1], size);
      EXPECT_EQ(ico[e + 2], bpp == 4 ? 16 : 0);
      EXPECT_EQ(Read16(ico, e + 6), bpp);
      const uint32_t bytes = Read32(ico, e + 8), offset = Read32(ico, e + 12);
      EXPECT_EQ(offset, expectedOffset);
      expectedOffset += bytes;
      ASSERT_LE(size_t{offset} + bytes, ico.size());

      // Header, palette, colour rows and mask rows, each row padded to four bytes.
      const uint32_t paletteEntries = bpp == 24 ? 0 : 1u << bpp;
      const uint32_t colourRow = (size * bpp + 31) / 32 * 4, maskRow = (size + 31) / 32 * 4;
      EXPECT_EQ(bytes, 40 + 4 * paletteEntries + (colourRow + maskRow) * size);
      EXPECT_EQ(Read32(ico, offset), 40u);
      EXPECT_EQ(Read32(ico, offset + 4), static_cast<uint32_t>(size));
      EXPECT_EQ(Read32(ico, offset + 8), static_cast<uint32_t>(2 * size));
      EXPECT_EQ(Read16(ico, offset + 14), bpp);
      EXPECT_EQ(Read32(ico, offset + 32), paletteEntries);

      // The mask is set in the picture's transparent top corners and clear in its middle;
      // rows are stored bottom-up.
      const size_t mask = offset + 40 + 4 * paletteEntries + colourRow * size;
      const size_t topRow = mask + maskRow * (size - 1), middleRow = mask + maskRow * (size / 2);
      EXPECT_EQ(ico[topRow] & 0x80, 0x80);
      const int middle = size / 2;
      EXPECT_EQ(ico[middleRow + static_cast<size_t>(middle / 8)] & (0x80 >> (middle % 8)), 0);
    }
    EXPECT_EQ(expectedOffset, ico.size());
  }
}

TEST(IconFile, RefusesPicturesItCannotEncode) {
  Picture wrong{16, std::vector<Rgba>(10)};
  EXPECT_THROW(EncodeIcon({{wrong, 8}}), std::invalid_argument);
  EXPECT_THROW(EncodeIcon({{DrawArtwork(Artwork::kPinflip, 16), 2}}), std::invalid_argument);
}

}  // namespace
