// What an input carries: the picture and sound the card digitises. A source is asked
// for one field line or a run of samples at a time, so a file-backed source can stand
// in for the built-in pattern behind the same interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "sim/card/pixels.h"
#include "sim/card/timeline.h"

namespace sim {

// The decoder digitises 720 pixels per line.
constexpr unsigned kSourceWidth = 720;

struct FieldRequest {
  unsigned channel = 0;
  uint64_t frame = 0;     // the input's frame number (InputTimeline)
  bool fieldB = false;    // field B holds the odd picture lines
  bool lines625 = false;  // 288 lines per field, else 240
};

// A run of samples of the card's sample clock. Sample k of the run (k counted from
// the run's start, firstIndex + i for out[i]) is taken at
//   anchor + floor(k * clockDivisor / 8192) ns,
// that is at 8,192,000,000,000 / clockDivisor samples per second.
struct AudioRequest {
  unsigned channel = 0;
  CardTime anchor = 0;
  uint64_t firstIndex = 0;
  uint32_t clockDivisor = 0;
  size_t count = 0;
  const InputTimeline *timeline = nullptr;  // the input's video frames, for aligned material

  CardTime SampleTime(uint64_t k) const;
  // The first k whose sample is taken at or after t (negative when before the anchor).
  int64_t FirstSampleAtOrAfter(CardTime t) const;
};

class InputSource {
 public:
  virtual ~InputSource() = default;
  // Line `line` (0 at the top of the field) into kSourceWidth samples each of y, u, v.
  virtual void RenderLine(const FieldRequest &field, unsigned line, uint8_t *y, uint8_t *u,
                          uint8_t *v) = 0;
  // request.count 16-bit samples into out.
  virtual void RenderAudio(const AudioRequest &request, int16_t *out) = 0;
  // A key for line `line` of the field such that lines of one field with equal keys
  // render alike; false when the source cannot tell without rendering.
  virtual bool LineKey(const FieldRequest &, unsigned, uint64_t *) { return false; }
  // Whether RenderLine is a function of its arguments alone and may run on another
  // thread at the same time as any other call: such fields can be rendered ahead.
  virtual bool Pure() const { return false; }
};

// The built-in input of every channel: 75% colour bars, the channel number large in a
// black box in the middle, a white square moving 4 pixels per field along a band near
// the bottom, and a counter in the first 8 lines of every field. Sound is a sine of
// 300 + 100 * channel Hz at -12 dBFS with a marker at every video frame start.
//
// Counter: 32 blocks of 22 pixels at x = 8 + 22 j (j = 0..31) carry bit j of the
// word: white (Y 235) for 1, black (Y 16) for 0; the rest of those lines is black.
//   bits 0-22  frame number (modulo 2^23)
//   bit 23     1 in field B, 0 in field A
//   bits 24-27 channel
//   bits 28-31 0b1010, to tell a counter from anything else
// Audio marker: the first 16 samples taken at or after the start of each video frame
// of the input are +32767, -32767, +32767, ... in place of the tone.
class PatternSource : public InputSource {
 public:
  struct Counter {
    uint32_t frame = 0;  // modulo 2^23
    bool fieldB = false;
    unsigned channel = 0;
    bool operator==(const Counter &) const = default;
  };

  static constexpr unsigned kCounterLines = 8;
  static constexpr unsigned kCounterBlocks = 32;
  static constexpr unsigned kCounterBlockWidth = 22;
  static constexpr unsigned kCounterLeft = 8;
  static constexpr uint32_t kCounterFrameMask = (1u << 23) - 1;
  static constexpr unsigned kMarkerSamples = 16;
  static constexpr int16_t kToneAmplitude = 8231;  // 32767 * 10^(-12/20)

  // Pixel x (0-719) of field line `line` of the pattern; pure.
  static Yuv Pixel(unsigned channel, uint64_t frame, bool fieldB, unsigned x, unsigned line,
                   bool lines625);
  static uint32_t CounterWord(unsigned channel, uint64_t frame, bool fieldB);
  static unsigned ToneHz(unsigned channel) { return 300 + 100 * channel; }
  // The tone alone at time t ns.
  static int16_t Tone(unsigned channel, CardTime t);
  // Sample k of a run, marker included; pure. The run's timeline gives the frames.
  static int16_t Sample(const AudioRequest &request, uint64_t k);

  // Reads the counter back from a captured line: samples the centre of every block of
  // a packed line `width` pixels wide showing the 720 source pixels scaled to width.
  // None when the line does not hold a counter.
  static std::optional<Counter> DecodeCounter(PixelFormat format, const uint8_t *line,
                                              unsigned width);

  void RenderLine(const FieldRequest &field, unsigned line, uint8_t *y, uint8_t *u,
                  uint8_t *v) override;
  void RenderAudio(const AudioRequest &request, int16_t *out) override;
  bool LineKey(const FieldRequest &field, unsigned line, uint64_t *key) override;
  bool Pure() const override { return true; }
};

}  // namespace sim
