#include "sim/card/pixels.h"

#include <algorithm>

namespace sim {

std::optional<PixelFormat> PixelFormatFromCode(uint32_t code) {
  switch (code) {
    case 0:
      return PixelFormat::Uyvy;
    case 3:
      return PixelFormat::Y41p;
    case 5:
      return PixelFormat::Rgb565;
    case 6:
      return PixelFormat::Yuy2;
    default:
      return std::nullopt;
  }
}

const char *PixelFormatName(PixelFormat format) {
  switch (format) {
    case PixelFormat::Uyvy:
      return "UYVY";
    case PixelFormat::Y41p:
      return "Y41P";
    case PixelFormat::Rgb565:
      return "RGB565";
    case PixelFormat::Yuy2:
      return "YUY2";
  }
  return "?";
}

unsigned PixelGroup(PixelFormat format) {
  switch (format) {
    case PixelFormat::Y41p:
      return 8;
    case PixelFormat::Rgb565:
      return 1;
    default:
      return 2;
  }
}

size_t PackedLineBytes(PixelFormat format, unsigned width) {
  return format == PixelFormat::Y41p ? size_t{width} / 8 * 12 : size_t{width} * 2;
}

namespace {

uint8_t Clamp(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

}  // namespace

Rgb YuvToRgb(Yuv pixel) {
  const int c = pixel.y - 16;
  const int d = pixel.u - 128;
  const int e = pixel.v - 128;
  return Rgb{Clamp((298 * c + 409 * e + 128) >> 8), Clamp((298 * c - 100 * d - 208 * e + 128) >> 8),
             Clamp((298 * c + 516 * d + 128) >> 8)};
}

uint16_t YuvToRgb565(Yuv pixel) {
  const Rgb rgb = YuvToRgb(pixel);
  return static_cast<uint16_t>((rgb.r >> 3) << 11 | (rgb.g >> 2) << 5 | rgb.b >> 3);
}

void PackLine(PixelFormat format, const uint8_t *y, const uint8_t *u, const uint8_t *v,
              const uint16_t *sourceX, unsigned width, uint8_t *out) {
  switch (format) {
    case PixelFormat::Yuy2:
      for (unsigned x = 0; x + 1 < width; x += 2) {
        const unsigned s0 = sourceX[x];
        out[0] = y[s0];
        out[1] = u[s0];
        out[2] = y[sourceX[x + 1]];
        out[3] = v[s0];
        out += 4;
      }
      return;
    case PixelFormat::Uyvy:
      for (unsigned x = 0; x + 1 < width; x += 2) {
        const unsigned s0 = sourceX[x];
        out[0] = u[s0];
        out[1] = y[s0];
        out[2] = v[s0];
        out[3] = y[sourceX[x + 1]];
        out += 4;
      }
      return;
    case PixelFormat::Y41p:
      for (unsigned x = 0; x + 7 < width; x += 8) {
        const uint16_t *s = sourceX + x;
        out[0] = u[s[0]];
        out[1] = y[s[0]];
        out[2] = v[s[0]];
        out[3] = y[s[1]];
        out[4] = u[s[4]];
        out[5] = y[s[2]];
        out[6] = v[s[4]];
        out[7] = y[s[3]];
        out[8] = y[s[4]];
        out[9] = y[s[5]];
        out[10] = y[s[6]];
        out[11] = y[s[7]];
        out += 12;
      }
      return;
    case PixelFormat::Rgb565: {
      // Pictures come in runs of one colour: convert only when the colour changes.
      Yuv last{};
      uint16_t value = YuvToRgb565(last);
      for (unsigned x = 0; x < width; ++x) {
        const unsigned s = sourceX[x];
        const Yuv pixel{y[s], u[s], v[s]};
        if (!(pixel == last)) {
          last = pixel;
          value = YuvToRgb565(pixel);
        }
        out[0] = static_cast<uint8_t>(value);
        out[1] = static_cast<uint8_t>(value >> 8);
        out += 2;
      }
      return;
    }
  }
}

uint8_t BrightnessAt(PixelFormat format, const uint8_t *line, unsigned x) {
  // Where the Y of pixel i sits in a Y41P group.
  static constexpr uint8_t kY41pLuma[8] = {1, 3, 5, 7, 8, 9, 10, 11};
  switch (format) {
    case PixelFormat::Yuy2:
      return line[2 * size_t{x}];
    case PixelFormat::Uyvy:
      return line[2 * size_t{x} + 1];
    case PixelFormat::Y41p:
      return line[size_t{x} / 8 * 12 + kY41pLuma[x % 8]];
    case PixelFormat::Rgb565: {
      const unsigned value = line[2 * size_t{x}] | line[2 * size_t{x} + 1] << 8;
      return static_cast<uint8_t>(((value >> 5) & 0x3F) * 255 / 63);
    }
  }
  return 0;
}

}  // namespace sim
