// The card's capture engines driven through its registers, without the driver: field
// and block timing, keep patterns, pixel layouts, status bits, faults and the DMA guard.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <functional>
#include <cstdio>
#include <map>
#include <tuple>
#include <vector>

#include "decoder/decoder.h"
#include "sim/card/engine_rig.h"
#include "sim/kernel/machine.h"
#include "support/verifier_expect.h"

namespace sim {
namespace {

using test::EngineRig;

constexpr uint32_t kYuy2 = 6, kUyvy = 0, kY41p = 3, kRgb565 = 5;

// Times of INT_STATUS events for one channel bit, from the card's trace.
std::vector<CardTime> EventTimes(const Card &card, unsigned bit) {
  std::vector<CardTime> times;
  for (const auto &e : card.trace())
    if (e.kind == CardTraceEntry::Kind::Event && e.offset == INT_STATUS && e.value == 1u << bit)
      times.push_back(e.time);
  return times;
}

std::optional<PatternSource::Counter> CounterIn(const EngineRig::Buffer &b, PixelFormat format,
                                                unsigned width) {
  return PatternSource::DecodeCounter(format, b.host, width);
}

const EngineRig::Buffer &BufferAt(const std::vector<EngineRig::Buffer> &buffers, uint32_t bus) {
  for (const auto &b : buffers)
    if (b.bus == bus) return b;
  ADD_FAILURE() << "no buffer at " << bus;
  return buffers.front();
}

// ---- timing, banks and status

// The standard a parameterised test runs on, by its lines per frame.
struct Standard {
  bool lines625;
};
void PrintTo(Standard s, std::ostream *os) { *os << (s.lines625 ? "625 lines" : "525 lines"); }
const Standard kStandards[] = {{false}, {true}};

class VideoTiming : public ::testing::TestWithParam<Standard> {};

TEST_P(VideoTiming, AMinuteOfFieldsAlternatesAAndBWithABankPerFieldType) {
  const bool lines625 = GetParam().lines625;
  const unsigned lines = lines625 ? 288 : 240;
  EngineRig rig;
  rig.card.SetInputSignal(0, {true, lines625});
  rig.card.SetInputSignal(3, {true, lines625});
  auto buffers0 = rig.ProgramVideo(0, kYuy2, 720, lines, 1440);
  auto buffers3 = rig.ProgramVideo(3, kUyvy, 352, lines, 704);
  struct Seen {
    Card::Completion c;
    uint32_t bufferStatus;
    std::optional<PatternSource::Counter> counter;
  };
  std::vector<Seen> seen;
  rig.card.SetCompletionObserver([&](const Card::Completion &c) {
    const bool first = c.channelBit == 0;
    const auto &b = BufferAt(first ? buffers0 : buffers3, c.busAddress);
    seen.push_back(
        {c, rig.card.Peek(BUFFER_STATUS),
         CounterIn(b, first ? PixelFormat::Yuy2 : PixelFormat::Uyvy, first ? 720 : 352)});
  });
  rig.Start(0);
  rig.Start(3);
  rig.m.RunUntil(60 * kSecond);

  const size_t expected = lines625 ? 3000 : 3596;  // fields ending by 60 s
  EXPECT_EQ(rig.card.engineCounters(0).completed, expected);
  EXPECT_EQ(rig.card.engineCounters(3).completed, expected);
  size_t n = 0;
  unsigned bank3 = 0, field3 = 0;  // channel 3's bits as last reported
  for (const Seen &s : seen) {
    if (s.c.channelBit == 3) {
      bank3 = s.c.bank;
      field3 = s.c.fieldB;
      ASSERT_TRUE(s.counter.has_value());
      EXPECT_EQ(s.counter->frame, s.c.frame);
      EXPECT_EQ(s.counter->channel, 3u);
      continue;
    }
    ASSERT_EQ(s.c.time, InputTimeline::FieldOffset(n + 1, lines625)) << n;
    EXPECT_EQ(s.c.fieldB, n % 2 == 1);
    EXPECT_EQ(s.c.frame, n / 2);
    EXPECT_EQ(s.c.bank, n / 2 % 2) << "A0 B0 A1 B1 ...";
    EXPECT_EQ(s.c.busAddress, buffers0[2 * (n % 2) + n / 2 % 2].bus);
    EXPECT_EQ(s.c.bytes, lines * 1440u);
    EXPECT_EQ(s.bufferStatus, (n / 2 % 2) | (n % 2) << 24 | bank3 << 3 | field3 << 27)
        << "channel 3's bits are kept";
    ASSERT_TRUE(s.counter.has_value());
    EXPECT_EQ(s.counter->frame, n / 2);
    EXPECT_EQ(s.counter->fieldB, n % 2 == 1);
    ++n;
  }
  EXPECT_EQ(n, expected);
  const auto events = EventTimes(rig.card, 0);
  ASSERT_EQ(events.size(), expected) << "one interrupt per field";
  EXPECT_EQ(events.back(), InputTimeline::FieldOffset(expected, lines625));
}

INSTANTIATE_TEST_SUITE_P(Standards, VideoTiming, ::testing::ValuesIn(kStandards),
                         [](const auto &info) { return info.param.lines625 ? "625" : "525"; });

TEST(VideoEngine, StartsAtTheNextFieldAAndStopsWithoutAnotherWrite) {
  EngineRig rig;
  rig.ProgramVideo(1, kYuy2, 16, 2, 32, 4096);
  // Started during field B of frame 2: the first field is frame 3's field A.
  rig.m.RunUntil(InputTimeline::FieldOffset(5, false) + 1000);
  rig.Start(1);
  rig.m.RunFor(100 * kMillisecond);
  auto done = rig.Of(1);
  ASSERT_FALSE(done.empty());
  EXPECT_EQ(done[0].frame, 3u);
  EXPECT_FALSE(done[0].fieldB);
  EXPECT_EQ(done[0].time, InputTimeline::FieldOffset(7, false));

  rig.Stop(1);
  const size_t before = rig.Of(1).size();
  EXPECT_FALSE(rig.m.HasPendingEvents()) << "the pending field is cancelled";
  rig.m.RunFor(kSecond);
  EXPECT_EQ(rig.Of(1).size(), before);

  // A restart begins again with field A in bank 0.
  rig.m.RunUntil(InputTimeline::FieldOffset(101, false));
  rig.Start(1);
  rig.m.RunFor(50 * kMillisecond);
  done = rig.Of(1);
  ASSERT_GT(done.size(), before);
  EXPECT_FALSE(done[before].fieldB);
  EXPECT_EQ(done[before].bank, 0u);
  EXPECT_EQ(done[before].frame, 51u);
  EXPECT_EQ(rig.card.engineCounters(1).starts, 2u);
}

// ---- keep pattern

class KeepPattern : public ::testing::TestWithParam<Standard> {};

TEST_P(KeepPattern, EveryEntryOfTheDriversTableKeepsTheFramesItNames) {
  const bool lines625 = GetParam().lines625;
  EngineRig rig;
  rig.card.SetInputSignal(0, {true, lines625});
  rig.ProgramVideo(0, kYuy2, 8, 2, 16, 4096);
  for (int fps = -1; fps <= 31; ++fps) {
    const uint32_t p = FrameKeepPattern(fps, !lines625);
    rig.card.Poke(FrameKeepRegister(0), p | p << 1 | 0x80000000u);
    rig.completions.clear();
    const uint64_t skippedBefore = rig.card.engineCounters(0).skipped;
    const InputTimeline &timeline = rig.card.inputTimeline(0);
    auto first = timeline.FieldStartingAtOrAfter(rig.m.now());
    if (first.fieldB) first = timeline.FieldStartingAtOrAfter(first.end);
    auto last = first;
    for (int i = 0; i < 29; ++i) last = timeline.FieldStartingAtOrAfter(last.end);
    rig.Start(0);
    rig.m.RunUntil(last.end);  // exactly one window of 15 frames
    rig.Stop(0);
    std::map<uint64_t, int> fields;
    for (const auto &c : rig.completions) ++fields[c.frame - first.frame];
    unsigned kept = 0;
    for (unsigned k = 0; k < 15; ++k) {
      // The table's meaning: frame k is bit 2k (525) or 2k + 1 (625); the full
      // pattern, shared by both tables, keeps every frame.
      const bool expected = p == 0x15555555 || (p >> (2 * k + (lines625 ? 1 : 0)) & 1) != 0;
      EXPECT_EQ(fields.count(k) == 1, expected) << "fps " << fps << " frame " << k;
      if (expected) {
        EXPECT_EQ(fields[k], 2) << "both fields of a kept frame";
        ++kept;
      }
    }
    EXPECT_EQ(kept, static_cast<unsigned>(std::popcount(p)));
    EXPECT_EQ(rig.completions.size(), 2 * kept);
    EXPECT_EQ(rig.card.engineCounters(0).skipped - skippedBefore, 2 * (15 - kept));
  }
  // Without the enable bit every frame is kept.
  rig.card.Poke(FrameKeepRegister(0), 0x00000001);
  rig.completions.clear();
  const uint64_t skipped = rig.card.engineCounters(0).skipped;
  rig.Start(0);
  rig.m.RunFor(kSecond);
  EXPECT_EQ(rig.card.engineCounters(0).skipped, skipped);
  EXPECT_GE(rig.completions.size(), lines625 ? 48u : 58u);
}

INSTANTIATE_TEST_SUITE_P(Standards, KeepPattern, ::testing::ValuesIn(kStandards),
                         [](const auto &info) { return info.param.lines625 ? "625" : "525"; });

// ---- pixels

struct FormatCase {
  const char *name;
  uint32_t code;
  PixelFormat format;
  unsigned width, lines, pitch;
  bool lines625;
};

void PrintTo(const FormatCase &f, std::ostream *os) { *os << f.name; }

// The field the card should write, built pixel by pixel from the pattern and the
// published byte layouts.
std::vector<uint8_t> ExpectedField(const FormatCase &f, unsigned channel, uint64_t frame,
                                   bool fieldB) {
  std::vector<uint8_t> out(size_t{f.lines} * f.pitch, 0);
  const unsigned sourceLines = f.lines625 ? 288 : 240;
  for (unsigned l = 0; l < f.lines; ++l) {
    const unsigned r = l * sourceLines / f.lines;
    auto p = [&](unsigned x) {
      return PatternSource::Pixel(channel, frame, fieldB, x * 720 / f.width, r, f.lines625);
    };
    uint8_t *line = out.data() + size_t{l} * f.pitch;
    switch (f.format) {
      case PixelFormat::Yuy2:
      case PixelFormat::Uyvy:
        for (unsigned x = 0; x < f.width; x += 2) {
          const Yuv a = p(x), b = p(x + 1);
          const uint8_t yuy2[4] = {a.y, a.u, b.y, a.v}, uyvy[4] = {a.u, a.y, a.v, b.y};
          std::memcpy(line + 2 * x, f.format == PixelFormat::Yuy2 ? yuy2 : uyvy, 4);
        }
        break;
      case PixelFormat::Y41p:
        for (unsigned g = 0; g < f.width / 8; ++g) {
          Yuv q[8];
          for (unsigned i = 0; i < 8; ++i) q[i] = p(8 * g + i);
          const uint8_t bytes[12] = {q[0].u, q[0].y, q[0].v, q[1].y, q[4].u, q[2].y,
                                     q[4].v, q[3].y, q[4].y, q[5].y, q[6].y, q[7].y};
          std::memcpy(line + 12 * g, bytes, 12);
        }
        break;
      case PixelFormat::Rgb565:
        for (unsigned x = 0; x < f.width; ++x) {
          const uint16_t v = YuvToRgb565(p(x));
          line[2 * x] = static_cast<uint8_t>(v);
          line[2 * x + 1] = static_cast<uint8_t>(v >> 8);
        }
        break;
    }
  }
  return out;
}

class Formats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(Formats, FieldsAreTheInputScaledAndPackedLineByLine) {
  const FormatCase &f = GetParam();
  EngineRig rig;
  const unsigned channel = 5;
  rig.card.SetInputSignal(channel, {true, f.lines625});
  auto buffers = rig.ProgramVideo(channel, f.code, f.width, f.lines, f.pitch);
  std::vector<std::pair<Card::Completion, std::vector<uint8_t>>> fields;
  rig.card.SetCompletionObserver([&](const Card::Completion &c) {
    const auto &b = BufferAt(buffers, c.busAddress);
    fields.emplace_back(c, std::vector<uint8_t>(b.host, b.host + b.length));
  });
  rig.m.RunFor(123 * kMillisecond);  // not at frame 0
  rig.Start(channel);
  rig.m.RunUntil([&] { return fields.size() == 4; }, kSecond);
  ASSERT_EQ(fields.size(), 4u);
  for (const auto &[c, bytes] : fields) {
    const auto expected = ExpectedField(f, channel, c.frame, c.fieldB);
    ASSERT_EQ(c.bytes, expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
      ASSERT_EQ(bytes[i], expected[i])
          << "field "
          << "AB"[c.fieldB] << " line " << i / f.pitch << " byte " << i % f.pitch;
    for (size_t i = expected.size(); i < bytes.size(); ++i)
      ASSERT_EQ(bytes[i], 0xEE) << "nothing past the field";
    const auto counter = PatternSource::DecodeCounter(f.format, bytes.data(), f.width);
    ASSERT_TRUE(counter.has_value());
    EXPECT_EQ(counter->frame, c.frame);
    EXPECT_EQ(counter->fieldB, c.fieldB);
    EXPECT_EQ(counter->channel, channel);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, Formats,
    ::testing::Values(
        FormatCase{"Yuy2_525", kYuy2, PixelFormat::Yuy2, 720, 240, 1440, false},
        FormatCase{"Uyvy_625", kUyvy, PixelFormat::Uyvy, 720, 288, 1440, true},
        FormatCase{"Y41p_525", kY41p, PixelFormat::Y41p, 720, 240, 1080, false},
        FormatCase{"Y41p_625", kY41p, PixelFormat::Y41p, 720, 288, 1080, true},
        FormatCase{"Rgb565_525", kRgb565, PixelFormat::Rgb565, 720, 240, 1440, false},
        FormatCase{"Rgb565_625", kRgb565, PixelFormat::Rgb565, 720, 288, 1440, true},
        FormatCase{"Yuy2_352", kYuy2, PixelFormat::Yuy2, 352, 240, 704, false},
        FormatCase{"Uyvy_360_padded", kUyvy, PixelFormat::Uyvy, 360, 288, 800, true},
        FormatCase{"Yuy2_288_lines_from_525", kYuy2, PixelFormat::Yuy2, 720, 288, 1440, false},
        FormatCase{"Rgb565_176x120", kRgb565, PixelFormat::Rgb565, 176, 120, 352, false}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- audio

TEST(AudioEngine, BlocksAlternateAAndBOnTheSampleClockAndCarryTheInput) {
  EngineRig rig;
  const unsigned c = 2, bit = 10;
  auto blocks = rig.ProgramAudio(c, test::kClock44100);
  std::vector<std::pair<Card::Completion, std::vector<int16_t>>> seen;
  std::vector<uint32_t> status;
  rig.card.SetCompletionObserver([&](const Card::Completion &done) {
    const auto &b = BufferAt(blocks, done.busAddress);
    std::vector<int16_t> samples(2048);
    for (size_t i = 0; i < samples.size(); ++i)
      samples[i] = static_cast<int16_t>(b.host[2 * i] | b.host[2 * i + 1] << 8);
    seen.emplace_back(done, samples);
    status.push_back(rig.card.Peek(BUFFER_STATUS));
  });
  rig.m.RunFor(5 * kMillisecond);
  const CardTime start = rig.m.now();
  rig.Start(bit);
  rig.m.RunUntil(start + 60 * kSecond);

  // Block n completes at start + (n + 1) * 2048 * 185,759,637 / 8192 ns.
  size_t expected = 0;
  while (start +
             static_cast<CardTime>((expected + 1) * 2048 * uint64_t{test::kClock44100} / 8192) <=
         start + 60 * kSecond)
    ++expected;
  ASSERT_EQ(seen.size(), expected);
  EXPECT_EQ(expected, 1291u);
  const AudioRequest timing{c, start, 0, test::kClock44100, 0, &rig.card.inputTimeline(c)};
  size_t markers = 0;
  for (size_t n = 0; n < seen.size(); ++n) {
    const auto &[done, samples] = seen[n];
    ASSERT_EQ(done.time, timing.SampleTime((n + 1) * 2048)) << n;
    EXPECT_EQ(done.bank, n % 2);
    EXPECT_EQ(done.busAddress, blocks[n % 2].bus);
    EXPECT_EQ(status[n], (n % 2) << bit);
    for (size_t i = 0; i < samples.size(); i += (n < 3 ? 1 : 31))
      ASSERT_EQ(samples[i], PatternSource::Sample(timing, n * 2048 + i)) << n << " " << i;
    for (size_t i = 0; i + 1 < samples.size(); ++i)
      markers += samples[i] == 32767 && samples[i + 1] == -32767;
  }
  // Eight alternating pairs per frame start: about 1796 frames start in the blocks.
  EXPECT_NEAR(static_cast<double>(markers) / 8, 1796, 3);
  EXPECT_EQ(EventTimes(rig.card, bit).size(), expected);
}

TEST(AudioEngine, ANewSampleClockTakesEffectFromTheNextBlock) {
  EngineRig rig;
  rig.ProgramAudio(0, test::kClock48000);
  rig.Start(8);
  const AudioRequest at48{0, 0, 0, test::kClock48000, 0, nullptr};
  rig.m.RunUntil(at48.SampleTime(2048) + at48.SampleTime(1000));  // inside the second block
  rig.card.Poke(AUDIO_SAMPLE_CLOCK, test::kClock8000);
  rig.m.RunFor(kSecond);
  const auto done = rig.Of(8);
  ASSERT_GE(done.size(), 4u);
  EXPECT_EQ(done[1].time, at48.SampleTime(4096)) << "the block under way keeps its clock";
  const AudioRequest at8{0, at48.SampleTime(4096), 0, test::kClock8000, 0, nullptr};
  EXPECT_EQ(done[2].time, at8.SampleTime(2048));
  EXPECT_EQ(done[3].time, at8.SampleTime(4096));
  EXPECT_EQ(done[3].time - done[2].time, 256 * kMillisecond);
}

TEST(AudioEngine, AnUnarmedBlockIsNeitherWrittenNorSignalled) {
  EngineRig rig;
  rig.ProgramAudio(1, test::kClock48000);
  rig.card.Poke(AudioBlockRegister(1, 1), 0);  // block B never armed
  rig.Start(9);
  rig.m.RunFor(kSecond);
  const auto done = rig.Of(9);
  ASSERT_GE(done.size(), 10u);
  for (const auto &d : done) EXPECT_EQ(d.bank, 0u) << "only block A";
  EXPECT_EQ(rig.card.Peek(BUFFER_STATUS) & (1u << 9), 0u);
}

TEST(AudioEngine, WithoutASampleClockNothingRuns) {
  EngineRig idle;
  idle.card.Poke(AudioBlockRegister(0, 0),
                 0x1000);  // whatever the addresses, without a clock nothing runs
  idle.card.Poke(AUDIO_BLOCK_LENGTH, 4096u << 19);
  idle.Start(8);
  EXPECT_FALSE(idle.m.HasPendingEvents());
  idle.m.RunFor(kSecond);
  EXPECT_TRUE(idle.completions.empty());
}

// ---- inputs and faults

TEST(Faults, SignalLossCapturesBlackAndSilenceOnTheSameClock) {
  EngineRig rig;
  const unsigned c = 4;
  rig.card.SetInputSignal(c, {true, true});
  auto fields = rig.ProgramVideo(c, kYuy2, 720, 288, 1440);
  auto blocks = rig.ProgramAudio(c, test::kClock48000);
  const CardTime lossAt = 510 * kMillisecond, returnAt = kSecond + 3 * kMillisecond;
  const CardTime blipAt = 1201 * kMillisecond, blipEnd = blipAt + 3 * kMillisecond;
  const AudioRequest timing{c, 0, 0, test::kClock48000, 0, &rig.card.inputTimeline(c)};
  size_t videoFields = 0, audioBlocks = 0;
  rig.card.SetCompletionObserver([&](const Card::Completion &done) {
    if (done.channelBit == 8 + c) {
      // Sample by sample: the tone while the signal is there, silence while it is not.
      const auto &b = BufferAt(blocks, done.busAddress);
      for (size_t i = 0; i < 2048; ++i) {
        const uint64_t k = audioBlocks * 2048 + i;
        const CardTime t = timing.SampleTime(k);
        const bool away = (t >= lossAt && t < returnAt) || (t >= blipAt && t < blipEnd);
        const int16_t expected = away ? 0 : PatternSource::Sample(timing, k);
        ASSERT_EQ(static_cast<int16_t>(b.host[2 * i] | b.host[2 * i + 1] << 8), expected)
            << "block " << audioBlocks << " sample " << i;
      }
      ++audioBlocks;
      return;
    }
    EXPECT_EQ(done.time, InputTimeline::FieldOffset(videoFields + 1, true));
    ++videoFields;
    // A field is black when the signal is gone by its end; the 625-line status bit goes too.
    const bool lost = (done.time > lossAt && done.time <= returnAt) ||
                      (done.time > blipAt && done.time <= blipEnd);
    const auto &b = BufferAt(fields, done.busAddress);
    bool black = true;
    for (uint32_t i = 0; i < done.bytes; ++i) black &= b.host[i] == (i % 2 == 0 ? 16 : 128);
    EXPECT_EQ(black, lost) << done.time;
    EXPECT_EQ(rig.card.DecoderRegister(1, 0) & 1, lost ? 0u : 1u) << done.time;
  });
  rig.card.ScheduleSignalLoss(lossAt, c);
  rig.card.ScheduleSignalReturn(returnAt, c);
  // A dropout shorter than a block silences only its own samples.
  rig.card.ScheduleSignalLoss(blipAt, c);
  rig.card.ScheduleSignalReturn(blipEnd, c);
  rig.Start(c);
  rig.Start(8 + c);
  rig.m.RunUntil(1500 * kMillisecond);
  EXPECT_EQ(videoFields, 75u) << "fields go on without a signal";
  EXPECT_EQ(audioBlocks, 35u) << "and so do blocks";
}

TEST(Faults, AStandardChangeMovesTheFieldRateFromTheNextFieldAndTheStatusAtOnce) {
  EngineRig rig;
  const unsigned c = 1;
  rig.ProgramVideo(c, kYuy2, 64, 240, 128, 65536);
  rig.Start(c);
  const CardTime change = InputTimeline::FieldOffset(30, false) + 5 * kMillisecond;  // field A
  rig.card.ScheduleStandardChange(change, c, true);
  rig.m.RunUntil(change);
  EXPECT_EQ(rig.card.DecoderRegister(0, 0x10) & 1, 1u);
  rig.m.RunUntil(kSecond);
  const auto done = rig.Of(c);
  const CardTime boundary = InputTimeline::FieldOffset(31, false);
  size_t after = 0;
  for (size_t i = 1; i < done.size(); ++i) {
    const CardTime gap = done[i].time - done[i - 1].time;
    if (done[i].time <= boundary) {
      EXPECT_LE(gap, 16'683'334);
    } else {
      if (after == 0) {
        EXPECT_EQ(done[i].time, boundary + 20 * kMillisecond);
        EXPECT_FALSE(done[i].fieldB) << "a new grid begins with field A";
        EXPECT_EQ(done[i].frame, 16u) << "frame 15 lost its field B";
      } else {
        EXPECT_EQ(gap, 20 * kMillisecond);
      }
      ++after;
    }
  }
  EXPECT_EQ(after, static_cast<size_t>((kSecond - boundary) / (20 * kMillisecond)));
}

TEST(Faults, ChannelErrorsAndLateInterruptsLandOnTheTimeline) {
  EngineRig rig;
  rig.ProgramVideo(0, kYuy2, 16, 2, 32, 4096);
  rig.Start(0);
  rig.card.ScheduleChannelError(100 * kMillisecond, 2);
  rig.m.RunUntil(100 * kMillisecond - 1);
  EXPECT_EQ(rig.card.Peek(ERROR_STATUS_A), 0u);
  rig.m.RunUntil(100 * kMillisecond);
  EXPECT_EQ(rig.card.Peek(ERROR_STATUS_A), 1u << 18);
  EXPECT_NE(rig.card.Peek(INT_STATUS) & (1u << 26), 0u);

  // Fields completing in [200 ms, 300 ms) are signalled 40 ms late; BUFFER_STATUS moves on.
  rig.card.DelayInterrupts(0, 200 * kMillisecond, 300 * kMillisecond, 40 * kMillisecond);
  std::vector<std::pair<CardTime, uint32_t>> status;
  rig.card.SetCompletionObserver([&](const Card::Completion &done) {
    status.emplace_back(done.time, rig.card.Peek(BUFFER_STATUS));
  });
  rig.m.RunUntil(500 * kMillisecond);
  std::vector<CardTime> expected;
  for (const auto &[t, s] : status) {
    (void)s;
    if (t > 100 * kMillisecond)
      expected.push_back(t >= 200 * kMillisecond && t < 300 * kMillisecond ? t + 40 * kMillisecond
                                                                           : t);
  }
  std::sort(expected.begin(), expected.end());
  std::vector<CardTime> events;
  for (CardTime t : EventTimes(rig.card, 0))
    if (t > 100 * kMillisecond) events.push_back(t);
  EXPECT_EQ(events, expected);

  // Reset discards late interrupts in flight.
  rig.card.DelayInterrupts(0, 0, kSecond * 10, 5 * kMillisecond);
  rig.m.RunUntil(InputTimeline::FieldOffset(40, false) + 1);
  rig.card.Reset();
  rig.card.Clear();
  rig.m.RunFor(100 * kMillisecond);
  EXPECT_TRUE(EventTimes(rig.card, 0).empty());
}

// ---- the DMA guard: the driver's mistakes stop the verifier, never overrun a buffer

TEST(DmaGuard, AFieldLargerThanAFieldBufferIsAVerifierStopAndNothingIsWritten) {
  EngineRig rig;
  auto fields = rig.ProgramVideo(0, kYuy2, 720, 289, 1440);  // 416,160 bytes
  rig.Start(0);
  EXPECT_VERIFIER_STOP(Rule::DmaOutsideBuffer, rig.m.RunFor(100 * kMillisecond));
  for (const auto &b : fields)
    for (ULONG i = 0; i < b.length; i += 997) ASSERT_EQ(b.host[i], 0xEE);
}

TEST(DmaGuard, ABufferSmallerThanTheFieldIsAVerifierStopAndNothingIsWritten) {
  EngineRig rig;
  auto fields = rig.ProgramVideo(0, kYuy2, 720, 240, 1440, 100'000);
  rig.Start(0);
  EXPECT_VERIFIER_STOP(Rule::DmaOutsideBuffer, rig.m.RunFor(100 * kMillisecond));
  for (ULONG i = 0; i < fields[0].length; ++i) ASSERT_EQ(fields[0].host[i], 0xEE);
}

TEST(DmaGuard, InconsistentGeometryIsTheDriversFault) {
  struct Case {
    const char *what;
    std::function<void(EngineRig &)> spoil;
  };
  const Case cases[] = {
      {"DMA lines differ",
       [](EngineRig &r) {
         r.card.Poke(DmaGeometryRegister(0, 0), 239u << 22 | 1440u << 11 | 1440);
       }},
      {"line copies differ",
       [](EngineRig &r) {
         r.card.Poke(DmaGeometryRegister(0, 0), 240u << 22 | 1440u << 11 | 1400);
       }},
      {"line too short",
       [](EngineRig &r) {
         r.card.Poke(DmaGeometryRegister(0, 0), 240u << 22 | 1080u << 11 | 1080);
       }},
      {"no capture geometry",
       [](EngineRig &r) { r.card.Poke(CaptureGeometryRegister(0), 240u << 16 | 720); }},
      {"planar format", [](EngineRig &r) { r.card.Poke(ChannelControlRegister(0), 1u << 20); }},
      {"odd width",
       [](EngineRig &r) {
         r.card.Poke(CaptureGeometryRegister(0), 0x80000000u | 240u << 16 | 719);
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EngineRig rig;
    auto fields = rig.ProgramVideo(0, kYuy2, 720, 240, 1440);
    c.spoil(rig);
    rig.Start(0);
    EXPECT_VERIFIER_STOP(Rule::InvalidParameter, rig.m.RunFor(100 * kMillisecond));
    EXPECT_EQ(fields[0].host[0], 0xEE);
  }
}

TEST(DmaGuard, AnUnarmedFieldBufferIsNeitherWrittenNorSignalled) {
  EngineRig rig;  // a channel enabled before any pin programmed its DMA block
  rig.Start(6);
  rig.m.RunFor(kSecond);
  EXPECT_TRUE(rig.completions.empty());
  EXPECT_EQ(rig.card.Peek(INT_STATUS), 0u);
  EXPECT_EQ(rig.card.Peek(BUFFER_STATUS), 0u);
}

// ---- all sixteen channels

struct Summary {
  std::vector<uint64_t> completed;
  uint64_t checksum = 0;
};

Summary RunAllChannels(CardTime length, std::shared_ptr<RenderAhead> ahead = nullptr,
                       bool faults = false, bool everyByte = false) {
  EngineRig rig;
  if (ahead) rig.card.SetRenderAhead(ahead);
  std::vector<std::vector<EngineRig::Buffer>> buffers;
  for (unsigned c = 0; c < 8; ++c) {
    const bool lines625 = c >= 4;
    rig.card.SetInputSignal(c, {true, lines625});
    const uint32_t codes[4] = {kYuy2, kUyvy, kY41p, kRgb565};
    const uint32_t code = codes[c % 4];
    auto v = rig.ProgramVideo(c, code, 720, lines625 ? 288 : 240, code == kY41p ? 1080 : 1440);
    auto a = rig.ProgramAudio(c, test::kClock48000);
    v.insert(v.end(), a.begin(), a.end());
    buffers.push_back(v);
  }
  Summary s;
  rig.card.SetCompletionObserver([&](const Card::Completion &done) {
    const auto &b = BufferAt(buffers[done.channelBit % 8], done.busAddress);
    uint64_t h = s.checksum ^ static_cast<uint64_t>(done.time);
    for (uint32_t i = 0; i < done.bytes; i += everyByte ? 1 : 61)
      h = h * 1099511628211ull ^ b.host[i];
    s.checksum = h;
  });
  if (faults) {
    // What decides a field changes under the worker's feet: the signal, the standard.
    rig.card.ScheduleSignalLoss(500 * kMillisecond, 1);
    rig.card.ScheduleSignalReturn(800 * kMillisecond, 1);
    rig.card.ScheduleStandardChange(kSecond, 2, true);
  }
  for (unsigned bit = 0; bit < 16; ++bit) rig.Start(bit);
  rig.m.RunUntil(length);
  for (unsigned bit = 0; bit < 16; ++bit)
    s.completed.push_back(rig.card.engineCounters(bit).completed);
  for (const auto &e : rig.card.trace())
    s.checksum = s.checksum * 31 + static_cast<uint64_t>(e.time) + e.value;
  return s;
}

TEST(AllChannels, AMinuteOfSixteenChannelsIsExactAndQuick) {
  const auto begin = std::chrono::steady_clock::now();
  const Summary s = RunAllChannels(60 * kSecond);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  std::printf("sixteen channels, one simulated minute: %.2f s\n", seconds);
  const AudioRequest at48{0, 0, 0, test::kClock48000, 0, nullptr};
  uint64_t blocks = 0;
  while (at48.SampleTime((blocks + 1) * 2048) <= 60 * kSecond) ++blocks;
  for (unsigned bit = 0; bit < 16; ++bit)
    EXPECT_EQ(s.completed[bit], bit < 4 ? 3596u : bit < 8 ? 3000u : blocks) << bit;
  EXPECT_EQ(blocks, 1406u);
}

TEST(AllChannels, TheSameRunGivesTheSameBytesAndTrace) {
  const Summary a = RunAllChannels(2 * kSecond);
  const Summary b = RunAllChannels(2 * kSecond);
  EXPECT_EQ(a.completed, b.completed);
  EXPECT_EQ(a.checksum, b.checksum);
}

TEST(AllChannels, FieldsRenderedAheadOnAnotherThreadAreTheSameBytes) {
  // Every byte of every field, and the trace, with and without the worker; the faults
  // make some fields differ from what was rendered ahead, which the card must notice.
  const Summary inPlace = RunAllChannels(1500 * kMillisecond, nullptr, true, true);
  auto ahead = std::make_shared<RenderAhead>();
  const Summary rendered = RunAllChannels(1500 * kMillisecond, ahead, true, true);
  EXPECT_EQ(inPlace.completed, rendered.completed);
  EXPECT_EQ(inPlace.checksum, rendered.checksum);
  EXPECT_GT(ahead->served(), 0u) << "the worker rendered fields that were used";
  EXPECT_GT(ahead->missed(), 0u) << "fields the faults changed were rendered again";
}

}  // namespace
}  // namespace sim
