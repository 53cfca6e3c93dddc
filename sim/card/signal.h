// What arrives at one of the card's analogue video inputs.
#pragma once

namespace sim {

struct InputSignal {
  bool present = true;
  bool lines625 = false;  // 625-line standard; otherwise 525 lines

  bool operator==(const InputSignal &) const = default;
};

// What a decoder's status bit 0 reports for the input.
inline bool Carries625Lines(const InputSignal &signal) { return signal.present && signal.lines625; }

}  // namespace sim
