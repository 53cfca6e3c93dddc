// The time units morvane-ctl meets, and the only conversions between them:
//   Hns    100-ns units: stream times, durations and frame intervals, the pins' clock
//   Nanos  the simulated machine's time (sim::Nanos) and the card's timeline
//   seconds what the user types and the summary prints
//   samples audio at a given rate
#pragma once

#include <cmath>
#include <cstdint>

#include "sim/kernel/machine.h"

namespace ctl {

using Hns = int64_t;
constexpr Hns kHnsPerSecond = 10'000'000;
constexpr sim::Nanos kNanosPerHns = 100;

inline Hns SecondsToHns(double seconds) { return std::llround(seconds * kHnsPerSecond); }
inline double HnsToSeconds(Hns t) { return static_cast<double>(t) / kHnsPerSecond; }
inline sim::Nanos SecondsToNanos(double seconds) {
  return std::llround(seconds * static_cast<double>(sim::kSecond));
}
inline double NanosToSeconds(sim::Nanos t) {
  return static_cast<double>(t) / static_cast<double>(sim::kSecond);
}
// The pins' clock reads the machine's time in 100-ns units.
inline Hns NanosToHns(sim::Nanos t) { return t / kNanosPerHns; }
inline sim::Nanos HnsToNanos(Hns t) { return t * kNanosPerHns; }

// Samples at `rate` cover this long (rounded down), and the samples within a time.
inline Hns SamplesToHns(int64_t samples, unsigned rate) {
  return samples * kHnsPerSecond / static_cast<int64_t>(rate);
}
inline int64_t HnsToSamples(Hns t, unsigned rate) {
  return t * static_cast<int64_t>(rate) / kHnsPerSecond;
}
// Frames per second for a frame interval, and the interval nearest a rate.
inline double IntervalToFps(Hns interval) {
  return interval > 0 ? static_cast<double>(kHnsPerSecond) / static_cast<double>(interval) : 0;
}
inline Hns FpsToInterval(double fps) { return std::llround(kHnsPerSecond / fps); }

}  // namespace ctl
