// The field grid of one analogue input: where its fields begin and end on the
// machine's clock and which frame each belongs to. An input runs whether or not it is
// captured; the card locks to it, so capture starts on one of its field boundaries.
//
// Field n of a segment starts at epoch + FieldOffset(n): n * 20 ms for 625 lines, and
// n * 1001/60000 s rounded to the nearest nanosecond for 525 lines (computed from the
// epoch each time, so 59.94 Hz does not drift). Even fields are field A (top: even
// picture lines) of frame firstFrame + n / 2, odd fields are field B of the same frame.
// A change of standard starts a new segment at the next field boundary.
#pragma once

#include <cstdint>

namespace sim {

using CardTime = int64_t;  // virtual nanoseconds, the machine's clock

class InputTimeline {
 public:
  struct Segment {
    CardTime epoch = 0;
    uint64_t firstFrame = 0;
    bool lines625 = false;
  };
  struct Field {
    uint64_t frame = 0;  // the input's frame number
    bool fieldB = false;
    bool lines625 = false;
    CardTime start = 0;
    CardTime end = 0;
  };
  struct Frame {
    uint64_t number = 0;
    CardTime start = 0;
  };

  InputTimeline() = default;
  explicit InputTimeline(bool lines625);

  // Start of field n of a segment, relative to its epoch.
  static CardTime FieldOffset(uint64_t n, bool lines625);
  // The nominal lines of one field of the picture: 240 or 288.
  static unsigned FieldLines(bool lines625) { return lines625 ? 288 : 240; }

  // The first field that starts at or after t.
  Field FieldStartingAtOrAfter(CardTime t) const;
  // The frame in progress at t (its field A began at or before t).
  Frame FrameAt(CardTime t) const;
  // The standard in force at t.
  bool Lines625At(CardTime t) const { return SegmentAt(t).lines625; }
  // The standard of the latest segment, in force now or from its epoch on.
  bool lines625() const { return current_.lines625; }

  // From the first field boundary at or after t the input carries the given standard;
  // a frame cut in half there is abandoned. A change not yet in force is replaced.
  void ChangeStandard(CardTime t, bool lines625);

  const Segment &SegmentAt(CardTime t) const { return t < current_.epoch ? previous_ : current_; }

 private:
  // First field index of the segment that starts at or after t.
  static uint64_t FirstFieldAtOrAfter(const Segment &segment, CardTime t);

  Segment previous_;
  Segment current_;
};

}  // namespace sim
