// The pixel layouts the card's video engine writes, and the colour conversion it uses.
// Picture samples are BT.601 limited range: Y 16-235, U and V 16-240 centred on 128.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace sim {

struct Yuv {
  uint8_t y = 16;
  uint8_t u = 128;
  uint8_t v = 128;

  bool operator==(const Yuv &) const = default;
};

constexpr Yuv kBlack{16, 128, 128};
constexpr Yuv kWhite{235, 128, 128};

// The code in bits 20-22 of a channel's control register 0x40 + 4c.
enum class PixelFormat : uint8_t {
  Uyvy = 0,    // U Y0 V Y1 per pixel pair
  Y41p = 3,    // 12 bytes per 8 pixels: U0 Y0 V0 Y1 U4 Y2 V4 Y3 Y4 Y5 Y6 Y7
  Rgb565 = 5,  // 16-bit little-endian: R bits 15-11, G 10-5, B 4-0
  Yuy2 = 6,    // Y0 U Y1 V per pixel pair
};

// The format for a control register code, or none for a code the card does not produce.
std::optional<PixelFormat> PixelFormatFromCode(uint32_t code);
const char *PixelFormatName(PixelFormat format);

// Pixels that share chroma (a line's width must be a multiple): 2, 8, or 1 for RGB565.
unsigned PixelGroup(PixelFormat format);
// Bytes of a packed line of `width` pixels (width a multiple of the group).
size_t PackedLineBytes(PixelFormat format, unsigned width);

// BT.601 limited range to 8-bit RGB with integer arithmetic:
//   c = y - 16, d = u - 128, e = v - 128
//   r = clamp((298c + 409e + 128) >> 8)
//   g = clamp((298c - 100d - 208e + 128) >> 8)
//   b = clamp((298c + 516d + 128) >> 8)          clamp to 0..255
// and RGB565 keeps the top 5, 6 and 5 bits: (r >> 3) << 11 | (g >> 2) << 5 | b >> 3.
struct Rgb {
  uint8_t r, g, b;
  bool operator==(const Rgb &) const = default;
};
Rgb YuvToRgb(Yuv pixel);
uint16_t YuvToRgb565(Yuv pixel);

// Packs one output line. Output pixel x shows source pixel sourceX[x] of the planar
// line (y, u, v); pixels that share chroma take it from the first pixel of their
// group (co-sited). Writes exactly PackedLineBytes(format, width) bytes.
void PackLine(PixelFormat format, const uint8_t *y, const uint8_t *u, const uint8_t *v,
              const uint16_t *sourceX, unsigned width, uint8_t *out);

// The brightness (0-255) of pixel x of a packed line: its Y, or its green for RGB565
// (scaled to 0-255). Enough to tell the pattern's black from its white.
uint8_t BrightnessAt(PixelFormat format, const uint8_t *line, unsigned x);

}  // namespace sim
