#include "sim/card/timeline.h"

namespace sim {

namespace {

constexpr CardTime kField625 = 20'000'000;
// 1001 / 60000 s is 50,050,000 / 3 ns.
constexpr uint64_t kField525Thirds = 50'050'000;

}  // namespace

InputTimeline::InputTimeline(bool lines625) {
  previous_.lines625 = lines625;
  current_.lines625 = lines625;
}

CardTime InputTimeline::FieldOffset(uint64_t n, bool lines625) {
  if (lines625) return static_cast<CardTime>(n) * kField625;
  // Nearest nanosecond: floor((x + 1) / 3) rounds thirds to the nearest whole.
  return static_cast<CardTime>((n * kField525Thirds + 1) / 3);
}

uint64_t InputTimeline::FirstFieldAtOrAfter(const Segment &segment, CardTime t) {
  if (t <= segment.epoch) return 0;
  const auto d = static_cast<uint64_t>(t - segment.epoch);
  uint64_t n = segment.lines625 ? d / kField625 : d * 3 / kField525Thirds;
  while (FieldOffset(n, segment.lines625) < static_cast<CardTime>(d)) ++n;
  while (n > 0 && FieldOffset(n - 1, segment.lines625) >= static_cast<CardTime>(d)) --n;
  return n;
}

InputTimeline::Field InputTimeline::FieldStartingAtOrAfter(CardTime t) const {
  const Segment *segment = &SegmentAt(t);
  uint64_t n = FirstFieldAtOrAfter(*segment, t);
  // The old grid's boundary where the new segment begins belongs to the new segment.
  if (segment == &previous_ &&
      previous_.epoch + FieldOffset(n, previous_.lines625) >= current_.epoch) {
    segment = &current_;
    n = 0;
  }
  Field field;
  field.frame = segment->firstFrame + n / 2;
  field.fieldB = (n & 1) != 0;
  field.lines625 = segment->lines625;
  field.start = segment->epoch + FieldOffset(n, segment->lines625);
  field.end = segment->epoch + FieldOffset(n + 1, segment->lines625);
  return field;
}

InputTimeline::Frame InputTimeline::FrameAt(CardTime t) const {
  const Segment &segment = SegmentAt(t);
  uint64_t n = FirstFieldAtOrAfter(segment, t);
  // The field in progress at t is the last one that started at or before it.
  if (segment.epoch + FieldOffset(n, segment.lines625) > t && n > 0) --n;
  const uint64_t frame = n / 2;
  return Frame{segment.firstFrame + frame,
               segment.epoch + FieldOffset(2 * frame, segment.lines625)};
}

void InputTimeline::ChangeStandard(CardTime t, bool lines625) {
  if (current_.epoch > t) current_ = previous_;
  if (current_.lines625 == lines625) return;
  const Field next = FieldStartingAtOrAfter(t);
  previous_ = current_;
  current_.epoch = next.start;
  current_.firstFrame = next.fieldB ? next.frame + 1 : next.frame;
  current_.lines625 = lines625;
}

}  // namespace sim
