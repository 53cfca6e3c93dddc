// The threaded machine's choice of what runs next: probabilistic concurrency testing
// (Burckhardt, Kothari, Musuvathi, Nagarakatte, ASPLOS 2010). Every thread gets a random
// priority when it starts; the highest-priority runnable thread runs. At depth - 1 steps
// drawn at random from the expected length of a run, the running thread's priority drops
// below all others. A bug that needs d particular orderings shows with probability at
// least 1 / (threads x steps^(d-1)) per run, whatever the program does between them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace sim {

// SplitMix64: small, fast and the same everywhere, which is what a replayable seed needs.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n), n > 0.
  uint64_t Below(uint64_t n) { return Next() % n; }

 private:
  uint64_t state_;
};

class Scheduler {
 public:
  Scheduler(uint64_t seed, unsigned depth, uint64_t steps)
      : random_(seed ^ 0x6D6F7276616E65ull), depth_(depth) {
    Restart(0, steps);
  }

  // New change points among the `steps` steps after `now`: a run whose interesting part
  // starts late spends them there rather than in its set-up.
  void Restart(uint64_t now, uint64_t steps) {
    steps = std::max<uint64_t>(steps, 1);
    changes_.clear();
    next_ = 0;
    for (unsigned i = 1; i < depth_; ++i) changes_.push_back(now + 1 + random_.Below(steps));
    std::sort(changes_.begin(), changes_.end());
  }

  // A fresh thread's priority: random, above every lowered one.
  int64_t NewPriority() { return static_cast<int64_t>(random_.Next() >> 2); }
  // True when step `step` is a change point: the running thread goes below all others.
  bool ChangeAt(uint64_t step) {
    bool hit = false;
    while (next_ < changes_.size() && changes_[next_] <= step) {
      hit = hit || changes_[next_] == step;
      ++next_;
    }
    return hit;
  }
  int64_t LoweredPriority() { return -static_cast<int64_t>(++lowered_); }
  uint64_t nextChange() const { return next_ < changes_.size() ? changes_[next_] : 0; }
  Random &random() { return random_; }

 private:
  Random random_;
  unsigned depth_;
  std::vector<uint64_t> changes_;
  size_t next_ = 0;
  uint64_t lowered_ = 0;
};

}  // namespace sim
