// The built-in input pattern, the pixel layouts and the input's field grid, on their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <vector>

#include "sim/card/pixels.h"
#include "sim/card/source.h"
#include "sim/card/timeline.h"

namespace sim {
namespace {

// ---- field grid

TEST(Timeline, FieldsFollowAbsoluteDeadlinesSo5994HzDoesNotDrift) {
  // 60,000 fields of 1001/60000 s are exactly 1001 s; each field is 16,683,333 or 334 ns.
  EXPECT_EQ(InputTimeline::FieldOffset(60'000, false), 1'001'000'000'000);
  for (uint64_t n = 0; n < 1000; ++n) {
    const CardTime length =
        InputTimeline::FieldOffset(n + 1, false) - InputTimeline::FieldOffset(n, false);
    EXPECT_TRUE(length == 16'683'333 || length == 16'683'334) << n;
  }
  // A field that starts exactly at t is that field.
  const auto f = InputTimeline(false).FieldStartingAtOrAfter(InputTimeline::FieldOffset(7, false));
  EXPECT_EQ(f.frame, 3u);
  EXPECT_TRUE(f.fieldB);
}

TEST(Timeline, AStandardChangeTakesEffectAtTheNextFieldBoundaryAndAbandonsAHalfFrame) {
  InputTimeline t(false);
  // During field A of frame 10: field B still comes on the old grid, then 625 lines.
  const CardTime inA = InputTimeline::FieldOffset(20, false) + 5;
  t.ChangeStandard(inA, true);
  const CardTime boundary = InputTimeline::FieldOffset(21, false);
  EXPECT_FALSE(t.Lines625At(boundary - 1));
  EXPECT_TRUE(t.Lines625At(boundary));
  const auto first = t.FieldStartingAtOrAfter(inA);
  EXPECT_EQ(first.start, boundary);
  EXPECT_FALSE(first.fieldB) << "the new grid starts with a field A";
  EXPECT_EQ(first.frame, 11u) << "frame 10 lost its field B";
  EXPECT_TRUE(first.lines625);
  EXPECT_EQ(first.end, boundary + 20'000'000);
  EXPECT_EQ(t.FrameAt(boundary + 45'000'000).number, 12u);

  // A second change before the first is in force replaces it.
  InputTimeline u(false);
  u.ChangeStandard(inA, true);
  u.ChangeStandard(inA + 10, false);
  EXPECT_FALSE(u.Lines625At(boundary + 1));
  EXPECT_EQ(u.FieldStartingAtOrAfter(inA).frame, 10u);
  EXPECT_TRUE(u.FieldStartingAtOrAfter(inA).fieldB);
}

// ---- pixels

TEST(Pixels, Bt601LimitedRangeToRgb565) {
  EXPECT_EQ(YuvToRgb565(kBlack), 0x0000);
  EXPECT_EQ(YuvToRgb565(kWhite), 0xFFFF);
  EXPECT_EQ(YuvToRgb565(Yuv{81, 90, 240}), 0xF800);   // full red
  EXPECT_EQ(YuvToRgb565(Yuv{145, 54, 34}), 0x07E0);   // full green
  EXPECT_EQ(YuvToRgb565(Yuv{41, 240, 110}), 0x001F);  // full blue
  EXPECT_EQ(YuvToRgb(Yuv{126, 128, 128}), (Rgb{128, 128, 128}));
  // Out-of-gamut values clamp instead of wrapping.
  EXPECT_EQ(YuvToRgb(Yuv{255, 128, 128}), (Rgb{255, 255, 255}));
  EXPECT_EQ(YuvToRgb(Yuv{0, 0, 0}), (Rgb{0, 135, 0}));
}

// ---- the picture

// Whole fields as 4:4:4, for comparisons.
std::vector<Yuv> Field(unsigned channel, uint64_t frame, bool fieldB, bool lines625) {
  std::vector<Yuv> pixels;
  for (unsigned line = 0; line < InputTimeline::FieldLines(lines625); ++line)
    for (unsigned x = 0; x < kSourceWidth; ++x)
      pixels.push_back(PatternSource::Pixel(channel, frame, fieldB, x, line, lines625));
  return pixels;
}

TEST(Pattern, EveryFieldAndEveryChannelLooksDifferentBelowTheCounter) {
  // So that a field out of order, a repeated field or another channel's picture shows
  // in the picture itself, not only in the counter.
  auto below = [](std::vector<Yuv> f) {
    f.erase(f.begin(), f.begin() + PatternSource::kCounterLines * kSourceWidth);
    return f;
  };
  for (bool lines625 : {false, true}) {
    EXPECT_NE(below(Field(2, 10, false, lines625)), below(Field(2, 10, true, lines625)));
    EXPECT_NE(below(Field(2, 10, true, lines625)), below(Field(2, 11, false, lines625)));
    for (unsigned a = 0; a < 8; ++a)
      for (unsigned b = a + 1; b < 8; ++b)
        EXPECT_NE(below(Field(a, 10, false, lines625)), below(Field(b, 10, false, lines625)))
            << a << " " << b;
  }
}

TEST(Pattern, LinesWithTheSameKeyAreTheSameAndTheKeysSpareMostRendering) {
  // The card copies a line instead of rendering it when the key says it is the same:
  // a key shared by two different lines would put wrong pixels in the field.
  PatternSource source;
  for (bool lines625 : {false, true})
    for (unsigned channel : {0u, 1u, 7u, 9u})
      for (uint64_t frame : {0u, 1u, 40u, 81u})
        for (bool fieldB : {false, true}) {
          const FieldRequest field{channel, frame, fieldB, lines625};
          const unsigned lines = InputTimeline::FieldLines(lines625);
          std::map<uint64_t, std::vector<uint8_t>> byKey;
          for (unsigned l = 0; l < lines; ++l) {
            std::vector<uint8_t> yuv(3 * kSourceWidth);
            source.RenderLine(field, l, yuv.data(), yuv.data() + kSourceWidth,
                              yuv.data() + 2 * kSourceWidth);
            uint64_t key = 0;
            ASSERT_TRUE(source.LineKey(field, l, &key));
            auto [it, fresh] = byKey.emplace(key, yuv);
            ASSERT_TRUE(fresh || it->second == yuv)
                << "channel " << channel << " frame " << frame << " field "
                << "AB"[fieldB] << " line " << l << " key " << key;
          }
          EXPECT_LE(byKey.size(), 12u);
        }
}

TEST(Pattern, CounterReadsBackFromEveryFormatAndAfterScalingTo352) {
  std::vector<uint8_t> y(kSourceWidth), u(kSourceWidth), v(kSourceWidth);
  PatternSource source;
  for (PixelFormat format :
       {PixelFormat::Yuy2, PixelFormat::Uyvy, PixelFormat::Y41p, PixelFormat::Rgb565})
    for (unsigned width : {720u, 352u, 176u})
      for (uint64_t frame : {0ull, 1ull, 0x5A5A5Aull, (1ull << 23) + 9}) {
        const bool fieldB = frame % 2 == 1;
        source.RenderLine(FieldRequest{6, frame, fieldB, false}, 0, y.data(), u.data(), v.data());
        std::vector<uint16_t> map(width);
        for (unsigned x = 0; x < width; ++x) map[x] = static_cast<uint16_t>(x * 720 / width);
        std::vector<uint8_t> line(PackedLineBytes(format, width));
        PackLine(format, y.data(), u.data(), v.data(), map.data(), width, line.data());
        const auto counter = PatternSource::DecodeCounter(format, line.data(), width);
        ASSERT_TRUE(counter.has_value()) << PixelFormatName(format) << " " << width;
        EXPECT_EQ(counter->frame, frame & PatternSource::kCounterFrameMask);
        EXPECT_EQ(counter->fieldB, fieldB);
        EXPECT_EQ(counter->channel, 6u);
      }
  // A picture line is not mistaken for a counter.
  source.RenderLine(FieldRequest{6, 3, false, false}, 100, y.data(), u.data(), v.data());
  EXPECT_FALSE(PatternSource::DecodeCounter(PixelFormat::Yuy2, y.data(), 360).has_value());
}

// ---- the sound

TEST(Pattern, ToneIsTheChannelsFrequencyAtMinus12Dbfs) {
  for (unsigned channel : {0u, 7u}) {
    int peak = 0;
    int crossings = 0;
    int16_t previous = PatternSource::Tone(channel, 0);
    for (CardTime t = 20'833; t < 1'000'000'000; t += 20'833) {  // about 48 kHz for 1 s
      const int16_t s = PatternSource::Tone(channel, t);
      peak = std::max(peak, std::abs(static_cast<int>(s)));
      crossings += (previous < 0) != (s < 0);
      previous = s;
    }
    EXPECT_NEAR(peak, 8231, 2);
    EXPECT_NEAR(crossings, 2 * static_cast<int>(PatternSource::ToneHz(channel)), 2);
  }
}

TEST(Pattern, MarkerTakesTheFirst16SamplesOfEveryFrameInEveryRun) {
  InputTimeline timeline(false);
  AudioRequest whole{3, 10'000'000, 0, 185'759'637, 44'100, &timeline};  // 1 s at 44.1 kHz
  std::vector<int16_t> all(whole.count);
  PatternSource source;
  source.RenderAudio(whole, all.data());
  // Independent positions: the first sample at or after each frame start.
  size_t markers = 0;
  for (uint64_t frame = 0;; ++frame) {
    const CardTime start = InputTimeline::FieldOffset(2 * frame, false);
    if (start < whole.anchor) continue;
    uint64_t k = 0;
    while (whole.SampleTime(k) < start) k += 1;
    if (k >= all.size()) break;
    ASSERT_LE(k + 16, all.size());
    for (uint64_t i = 0; i < 16; ++i) EXPECT_EQ(all[k + i], i % 2 == 0 ? 32767 : -32767);
    EXPECT_LT(std::abs(static_cast<int>(all[k + 16])), 8232);
    EXPECT_LT(std::abs(static_cast<int>(all[k - 1])), 8232);
    ++markers;
  }
  EXPECT_EQ(markers, 30u);
  for (size_t k = 0; k < all.size(); k += 97) EXPECT_EQ(all[k], PatternSource::Sample(whole, k));

  // Cut into runs anywhere (also inside a marker), the samples are the same.
  for (size_t cut : {size_t{1}, size_t{7}, size_t{1000}, size_t{2048}}) {
    std::vector<int16_t> pieces(all.size());
    for (size_t first = 0; first < all.size(); first += cut) {
      AudioRequest run = whole;
      run.firstIndex = first;
      run.count = std::min(cut, all.size() - first);
      source.RenderAudio(run, pieces.data() + first);
    }
    ASSERT_EQ(pieces, all) << "runs of " << cut;
  }
}

}  // namespace
}  // namespace sim
