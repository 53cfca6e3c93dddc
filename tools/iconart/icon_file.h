// Icon files (.ico): one picture at several sizes and colour depths, each with its mask.
#pragma once

#include <cstdint>
#include <vector>

struct Rgba {
  uint8_t r, g, b, a;  // a < 128 is transparent: the image's mask bit is set there
};

// A square picture, rows from the top.
struct Picture {
  int size;
  std::vector<Rgba> pixels;
};

struct IconImage {
  Picture picture;
  int bitsPerPixel;  // 4 (16 colours), 8 (256 colours) or 24
};

// The palettes the 4- and 8-bit images use: the 16 standard colours; those plus a
// 6 x 6 x 6 colour cube and a grey ramp.
const std::vector<Rgba> &SixteenColourPalette();
const std::vector<Rgba> &TwoFiftySixColourPalette();

// The bytes of an .ico file holding the images in the given order.
std::vector<uint8_t> EncodeIcon(const std::vector<IconImage> &images);
