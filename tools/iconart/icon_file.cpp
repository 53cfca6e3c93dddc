#include "tools/iconart/icon_file.h"

#include <stdexcept>

namespace {

void Put16(std::vector<uint8_t> &out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t> &out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

size_t RowBytes(int bitsPerRow) { return static_cast<size_t>((bitsPerRow + 31) / 32 * 4); }

int Nearest(const std::vector<Rgba> &palette, Rgba c) {
  int best = 0;
  long bestDistance = -1;
  for (size_t i = 0; i < palette.size(); ++i) {
    long dr = c.r - palette[i].r, dg = c.g - palette[i].g, db = c.b - palette[i].b;
    long d = dr * dr + dg * dg + db * db;
    if (bestDistance < 0 || d < bestDistance) {
      bestDistance = d;
      best = static_cast<int>(i);
    }
  }
  return best;
}

// BITMAPINFOHEADER, palette, colour rows and mask rows, both bottom-up; the header's height
// counts both bitmaps.
std::vector<uint8_t> EncodeImage(const IconImage &image) {
  const Picture &p = image.picture;
  const int bpp = image.bitsPerPixel;
  const std::vector<Rgba> *palette = nullptr;
  if (bpp == 4) palette = &SixteenColourPalette();
  if (bpp == 8) palette = &TwoFiftySixColourPalette();
  if (bpp != 24 && palette == nullptr) throw std::invalid_argument("unsupported colour depth");
  if (p.size <= 0 || p.size > 256 || p.pixels.size() != static_cast<size_t>(p.size * p.size))
    throw std::invalid_argument("bad picture size");

  const size_t colourRow = RowBytes(p.size * bpp), maskRow = RowBytes(p.size);
  std::vector<uint8_t> out;
  Put32(out, 40);
  Put32(out, static_cast<uint32_t>(p.size));
  Put32(out, static_cast<uint32_t>(p.size * 2));
  Put16(out, 1);
  Put16(out, static_cast<uint32_t>(bpp));
  Put32(out, 0);  // uncompressed
  Put32(out, static_cast<uint32_t>((colourRow + maskRow) * p.size));
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, palette != nullptr ? static_cast<uint32_t>(palette->size()) : 0);
  Put32(out, 0);
  if (palette != nullptr) {
    for (Rgba c : *palette) {
      out.insert(out.end(), {c.b, c.g, c.r, 0});
    }
  }
  for (int y = p.size - 1; y >= 0; --y) {
    std::vector<uint8_t> row(colourRow, 0);
    for (int x = 0; x < p.size; ++x) {
      Rgba c = p.pixels[static_cast<size_t>(y * p.size + x)];
      if (c.a < 128) c = {0, 0, 0, 0};  // masked pixels are black so they vanish on screen
      if (bpp == 24) {
        row[static_cast<size_t>(x * 3)] = c.b;
        row[static_cast<size_t>(x * 3 + 1)] = c.g;
        row[static_cast<size_t>(x * 3 + 2)] = c.r;
      } else {
        int index = Nearest(*palette, c);
        if (bpp == 8) {
          row[static_cast<size_t>(x)] = static_cast<uint8_t>(index);
        } else {
          row[static_cast<size_t>(x / 2)] |= static_cast<uint8_t>(x % 2 == 0 ? index << 4 : index);
        }
      }
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  for (int y = p.size - 1; y >= 0; --y) {
    std::vector<uint8_t> row(maskRow, 0);
    for (int x = 0; x < p.size; ++x) {
      if (p.pixels[static_cast<size_t>(y * p.size + x)].a < 128)
        row[static_cast<size_t>(x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

}  // namespace

const std::vector<Rgba> &SixteenColourPalette() {
  static const std::vector<Rgba> palette = {
      {0, 0, 0, 255},       {128, 0, 0, 255},   {0, 128, 0, 255},   {128, 128, 0, 255},
      {0, 0, 128, 255},     {128, 0, 128, 255}, {0, 128, 128, 255}, {192, 192, 192, 255},
      {128, 128, 128, 255}, {255, 0, 0, 255},   {0, 255, 0, 255},   {255, 255, 0, 255},
      {0, 0, 255, 255},     {255, 0, 255, 255}, {0, 255, 255, 255}, {255, 255, 255, 255},
  };
  return palette;
}

const std::vector<Rgba> &TwoFiftySixColourPalette() {
  static const std::vector<Rgba> palette = [] {
    std::vector<Rgba> p = SixteenColourPalette();
    for (int r = 0; r < 6; ++r)
      for (int g = 0; g < 6; ++g)
        for (int b = 0; b < 6; ++b)
          p.push_back({static_cast<uint8_t>(r * 51), static_cast<uint8_t>(g * 51),
                       static_cast<uint8_t>(b * 51), 255});
    for (int i = 0; p.size() < 256; ++i) {
      auto grey = static_cast<uint8_t>(8 + i * 10);
      p.push_back({grey, grey, grey, 255});
    }
    return p;
  }();
  return palette;
}

std::vector<uint8_t> EncodeIcon(const std::vector<IconImage> &images) {
  std::vector<std::vector<uint8_t>> encoded;
  for (const IconImage &image : images) encoded.push_back(EncodeImage(image));

  std::vector<uint8_t> out;
  Put16(out, 0);
  Put16(out, 1);  // icon
  Put16(out, static_cast<uint32_t>(images.size()));
  uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    const int size = images[i].picture.size, bpp = images[i].bitsPerPixel;
    out.push_back(static_cast<uint8_t>(size == 256 ? 0 : size));
    out.push_back(static_cast<uint8_t>(size == 256 ? 0 : size));
    out.push_back(static_cast<uint8_t>(bpp == 4 ? 16 : 0));
    out.push_back(0);
    Put16(out, 1);
    Put16(out, static_cast<uint32_t>(bpp));
    Put32(out, static_cast<uint32_t>(encoded[i].size()));
    Put32(out, offset);
    offset += static_cast<uint32_t>(encoded[i].size());
  }
  for (const std::vector<uint8_t> &image : encoded)
    out.insert(out.end(), image.begin(), image.end());
  return out;
}
