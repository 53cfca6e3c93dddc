#include "tools/iconart/artwork.h"

#include <algorithm>
#include <cmath>

namespace {

struct Colour {
  double r, g, b, a;
};

bool InRoundedRect(double x, double y, double left, double top, double right, double bottom,
                   double radius) {
  if (x < left || x > right || y < top || y > bottom) return false;
  double cx = std::clamp(x, left + radius, right - radius);
  double cy = std::clamp(y, top + radius, bottom - radius);
  return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius;
}

// A point of the unit square; y grows downwards.
Colour Sample(Artwork artwork, double x, double y) {
  const Colour clear = {0, 0, 0, 0}, frame = {36, 52, 84, 255}, stand = {90, 100, 120, 255};
  if (InRoundedRect(x, y, 0.40, 0.78, 0.60, 0.92, 0.02) ||
      InRoundedRect(x, y, 0.26, 0.86, 0.74, 0.95, 0.03))
    return stand;
  if (!InRoundedRect(x, y, 0.04, 0.08, 0.96, 0.82, 0.10)) return clear;
  if (!InRoundedRect(x, y, 0.13, 0.17, 0.87, 0.73, 0.03)) return frame;
  if (artwork == Artwork::kFieldflip) {
    // Eight lines, alternately of the first and the second field.
    int line = static_cast<int>((y - 0.17) / (0.56 / 8));
    return line % 2 == 0 ? Colour{245, 150, 40, 255} : Colour{255, 230, 140, 255};
  }
  // A play mark on a blue screen.
  double u = (x - 0.36) / 0.34, v = (y - 0.45) / 0.40;
  if (u >= 0 && u <= 1 && std::abs(v) <= (1 - u) * 0.45) return {255, 255, 255, 255};
  return {30, 90, 230, 255};
}

}  // namespace

Picture DrawArtwork(Artwork artwork, int size) {
  constexpr int kSamples = 4;  // per axis, for smooth edges
  Picture picture{size, std::vector<Rgba>(static_cast<size_t>(size * size))};
  for (int py = 0; py < size; ++py) {
    for (int px = 0; px < size; ++px) {
      Colour sum = {0, 0, 0, 0};
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          Colour c = Sample(artwork, (px + (sx + 0.5) / kSamples) / size,
                            (py + (sy + 0.5) / kSamples) / size);
          sum.r += c.r * c.a;
          sum.g += c.g * c.a;
          sum.b += c.b * c.a;
          sum.a += c.a;
        }
      }
      Rgba &out = picture.pixels[static_cast<size_t>(py * size + px)];
      double weight = sum.a > 0 ? sum.a : 1;
      out.r = static_cast<uint8_t>(std::lround(sum.r / weight));
      out.g = static_cast<uint8_t>(std::lround(sum.g / weight));
      out.b = static_cast<uint8_t>(std::lround(sum.b / weight));
      out.a = static_cast<uint8_t>(std::lround(sum.a / (kSamples * kSamples)));
    }
  }
  return picture;
}

std::vector<IconImage> ToolIconImages(Artwork artwork) {
  std::vector<IconImage> images;
  for (int bpp : {4, 8, 24}) {
    for (int size : {48, 32, 16}) images.push_back({DrawArtwork(artwork, size), bpp});
  }
  return images;
}
