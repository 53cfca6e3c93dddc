#include "sim/card/source.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

namespace sim {

namespace {

constexpr unsigned kBarWidth = kSourceWidth / 8;
// 75% colour bars: white, yellow, cyan, green, magenta, red, blue, black.
constexpr Yuv kBars[8] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                          {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};

// The channel number: a 5 x 7 glyph of 24 x 24 cells in a black box with a 12-pixel margin.
constexpr unsigned kCell = 24;
constexpr unsigned kGlyphColumns = 5;
constexpr unsigned kGlyphRows = 7;
constexpr unsigned kBoxMargin = 12;
constexpr unsigned kBoxWidth = kGlyphColumns * kCell + 2 * kBoxMargin;  // 144
constexpr unsigned kBoxHeight = kGlyphRows * kCell + 2 * kBoxMargin;    // 192
constexpr unsigned kBoxLeft = (kSourceWidth - kBoxWidth) / 2;           // 288
// Bit 4 is the leftmost column.
constexpr uint8_t kDigits[10][kGlyphRows] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}};

// The moving square: 64 x 64, 4 pixels further right every field, in a band ending 56
// picture lines above the bottom.
constexpr unsigned kSquare = 64;
constexpr unsigned kSquareTravel = kSourceWidth - kSquare;  // 656 = 4 * 164
constexpr unsigned kSquareBottomGap = 56;

constexpr uint32_t kCounterCheck = 0xAu << 28;
constexpr uint32_t kCounterCheckMask = 0xFu << 28;

unsigned BoxTop(unsigned pictureLines) { return (pictureLines - kBoxHeight) / 2; }
unsigned SquareTop(unsigned pictureLines) { return pictureLines - kSquareBottomGap - kSquare; }
unsigned SquareLeft(uint64_t frame, bool fieldB) {
  // 8 pixels a frame, 4 more in field B; the travel is a whole number of frames.
  return static_cast<unsigned>((frame % (kSquareTravel / 8)) * 8 + (fieldB ? 4 : 0)) %
         kSquareTravel;
}
// The glyph row (0-6) at a picture line of the box, or -1 in its margin.
int GlyphRow(unsigned pictureLine, unsigned boxTop) {
  const unsigned inside = pictureLine - boxTop;
  if (inside < kBoxMargin || inside >= kBoxMargin + kGlyphRows * kCell) return -1;
  return static_cast<int>((inside - kBoxMargin) / kCell);
}

// A full sine period in 4096 steps at the tone's amplitude.
const std::array<int16_t, 4096> &SineTable() {
  static const std::array<int16_t, 4096> table = [] {
    std::array<int16_t, 4096> t{};
    for (size_t i = 0; i < t.size(); ++i)
      t[i] = static_cast<int16_t>(std::lround(PatternSource::kToneAmplitude *
                                              std::sin(2 * std::numbers::pi * double(i) / 4096)));
    return t;
  }();
  return table;
}

struct BarLine {
  std::array<uint8_t, kSourceWidth> y, u, v;
};
const BarLine &Bars() {
  static const BarLine bars = [] {
    BarLine line{};
    for (unsigned x = 0; x < kSourceWidth; ++x) {
      const Yuv &c = kBars[x / kBarWidth];
      line.y[x] = c.y;
      line.u[x] = c.u;
      line.v[x] = c.v;
    }
    return line;
  }();
  return bars;
}

void Fill(uint8_t *y, uint8_t *u, uint8_t *v, unsigned from, unsigned to, Yuv c) {
  std::memset(y + from, c.y, to - from);
  std::memset(u + from, c.u, to - from);
  std::memset(v + from, c.v, to - from);
}

}  // namespace

CardTime AudioRequest::SampleTime(uint64_t k) const {
  __extension__ using U128 = unsigned __int128;
  return anchor + static_cast<CardTime>(U128{k} * clockDivisor / 8192);
}

int64_t AudioRequest::FirstSampleAtOrAfter(CardTime t) const {
  __extension__ using U128 = unsigned __int128;
  // Smallest k with floor(k * divisor / 8192) >= t - anchor, that is k >= d * 8192 / divisor.
  const CardTime d = t - anchor;
  if (d <= 0) return -static_cast<int64_t>(U128(-d) * 8192 / clockDivisor);
  return static_cast<int64_t>((U128(d) * 8192 + clockDivisor - 1) / clockDivisor);
}

uint32_t PatternSource::CounterWord(unsigned channel, uint64_t frame, bool fieldB) {
  return kCounterCheck | (channel & 0xF) << 24 | (fieldB ? 1u << 23 : 0) |
         static_cast<uint32_t>(frame & kCounterFrameMask);
}

Yuv PatternSource::Pixel(unsigned channel, uint64_t frame, bool fieldB, unsigned x, unsigned line,
                         bool lines625) {
  if (line < kCounterLines) {
    if (x < kCounterLeft) return kBlack;
    const unsigned block = (x - kCounterLeft) / kCounterBlockWidth;
    if (block >= kCounterBlocks) return kBlack;
    return (CounterWord(channel, frame, fieldB) >> block & 1) != 0 ? kWhite : kBlack;
  }
  const unsigned pictureLines = 2 * InputTimeline::FieldLines(lines625);
  const unsigned p = 2 * line + (fieldB ? 1 : 0);
  const unsigned squareTop = SquareTop(pictureLines);
  if (p >= squareTop && p < squareTop + kSquare) {
    const unsigned left = SquareLeft(frame, fieldB);
    if (x >= left && x < left + kSquare) return kWhite;
  }
  const unsigned boxTop = BoxTop(pictureLines);
  if (p >= boxTop && p < boxTop + kBoxHeight && x >= kBoxLeft && x < kBoxLeft + kBoxWidth) {
    const int row = GlyphRow(p, boxTop);
    const unsigned inside = x - kBoxLeft;
    if (row < 0 || inside < kBoxMargin || inside >= kBoxMargin + kGlyphColumns * kCell)
      return kBlack;
    const unsigned column = (inside - kBoxMargin) / kCell;
    const bool on = (kDigits[channel % 10][row] >> (kGlyphColumns - 1 - column) & 1) != 0;
    return on ? kWhite : kBlack;
  }
  return kBars[x / kBarWidth];
}

void PatternSource::RenderLine(const FieldRequest &field, unsigned line, uint8_t *y, uint8_t *u,
                               uint8_t *v) {
  if (line < kCounterLines) {
    Fill(y, u, v, 0, kSourceWidth, kBlack);
    const uint32_t word = CounterWord(field.channel, field.frame, field.fieldB);
    for (unsigned j = 0; j < kCounterBlocks; ++j)
      if ((word >> j & 1) != 0) {
        const unsigned left = kCounterLeft + j * kCounterBlockWidth;
        Fill(y, u, v, left, left + kCounterBlockWidth, kWhite);
      }
    return;
  }
  const BarLine &bars = Bars();
  std::memcpy(y, bars.y.data(), kSourceWidth);
  std::memcpy(u, bars.u.data(), kSourceWidth);
  std::memcpy(v, bars.v.data(), kSourceWidth);
  const unsigned pictureLines = 2 * InputTimeline::FieldLines(field.lines625);
  const unsigned p = 2 * line + (field.fieldB ? 1 : 0);
  const unsigned boxTop = BoxTop(pictureLines);
  if (p >= boxTop && p < boxTop + kBoxHeight) {
    Fill(y, u, v, kBoxLeft, kBoxLeft + kBoxWidth, kBlack);
    const int row = GlyphRow(p, boxTop);
    if (row >= 0)
      for (unsigned column = 0; column < kGlyphColumns; ++column)
        if ((kDigits[field.channel % 10][row] >> (kGlyphColumns - 1 - column) & 1) != 0) {
          const unsigned left = kBoxLeft + kBoxMargin + column * kCell;
          Fill(y, u, v, left, left + kCell, kWhite);
        }
  }
  const unsigned squareTop = SquareTop(pictureLines);
  if (p >= squareTop && p < squareTop + kSquare) {
    const unsigned left = SquareLeft(field.frame, field.fieldB);
    Fill(y, u, v, left, left + kSquare, kWhite);
  }
}

bool PatternSource::LineKey(const FieldRequest &field, unsigned line, uint64_t *key) {
  // What a line shows besides the bars: the counter, the box (its margin or a glyph
  // row), the square. The counter, the glyph and the square are the same all field long.
  if (line < kCounterLines) {
    *key = 1;
    return true;
  }
  const unsigned pictureLines = 2 * InputTimeline::FieldLines(field.lines625);
  const unsigned p = 2 * line + (field.fieldB ? 1 : 0);
  uint64_t box = 0;
  const unsigned boxTop = BoxTop(pictureLines);
  if (p >= boxTop && p < boxTop + kBoxHeight)
    box = 1 + static_cast<unsigned>(GlyphRow(p, boxTop) + 1);
  const unsigned squareTop = SquareTop(pictureLines);
  const uint64_t square = p >= squareTop && p < squareTop + kSquare ? 1 : 0;
  *key = 2 + (box << 1 | square);
  return true;
}

int16_t PatternSource::Tone(unsigned channel, CardTime t) {
  constexpr uint64_t kSecondNs = 1'000'000'000;
  const uint64_t within = static_cast<uint64_t>(t < 0 ? 0 : t) % kSecondNs;
  const uint64_t phase = ToneHz(channel) * within % kSecondNs;
  return SineTable()[phase * 4096 / kSecondNs];
}

int16_t PatternSource::Sample(const AudioRequest &request, uint64_t k) {
  const CardTime t = request.SampleTime(k);
  if (request.timeline != nullptr) {
    const int64_t first = request.FirstSampleAtOrAfter(request.timeline->FrameAt(t).start);
    const int64_t i = static_cast<int64_t>(k) - first;
    if (i >= 0 && i < kMarkerSamples) return i % 2 == 0 ? 32767 : -32767;
  }
  return Tone(request.channel, t);
}

void PatternSource::RenderAudio(const AudioRequest &request, int16_t *out) {
  if (request.count == 0) return;
  for (size_t i = 0; i < request.count; ++i)
    out[i] = Tone(request.channel, request.SampleTime(request.firstIndex + i));
  if (request.timeline == nullptr) return;
  // Overwrite the markers of every frame that starts within (or just before) the run.
  const auto runBegin = static_cast<int64_t>(request.firstIndex);
  const auto runEnd = runBegin + static_cast<int64_t>(request.count);
  CardTime frameStart = request.timeline->FrameAt(request.SampleTime(request.firstIndex)).start;
  for (;;) {
    const int64_t first = request.FirstSampleAtOrAfter(frameStart);
    if (first >= runEnd) break;
    for (int64_t k = std::max(first, runBegin); k < first + kMarkerSamples && k < runEnd; ++k)
      out[k - runBegin] = (k - first) % 2 == 0 ? 32767 : -32767;
    InputTimeline::Field next = request.timeline->FieldStartingAtOrAfter(frameStart + 1);
    if (next.fieldB) next = request.timeline->FieldStartingAtOrAfter(next.end);
    frameStart = next.start;
  }
}

std::optional<PatternSource::Counter> PatternSource::DecodeCounter(PixelFormat format,
                                                                   const uint8_t *line,
                                                                   unsigned width) {
  if (width == 0) return std::nullopt;
  uint32_t word = 0;
  for (unsigned j = 0; j < kCounterBlocks; ++j) {
    const unsigned centre = kCounterLeft + j * kCounterBlockWidth + kCounterBlockWidth / 2;
    const unsigned x = std::min(centre * width / kSourceWidth, width - 1);
    if (BrightnessAt(format, line, x) >= 128) word |= 1u << j;
  }
  if ((word & kCounterCheckMask) != kCounterCheck) return std::nullopt;
  return Counter{word & kCounterFrameMask, (word >> 23 & 1) != 0, word >> 24 & 0xF};
}

}  // namespace sim
