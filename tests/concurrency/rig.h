// A threaded machine with one card under the real driver, for concurrency scenarios:
// client threads that open filters, create pins and move them through their states while
// the card, its interrupt, the DPCs, the watchdog and the kernel-streaming workers go on.
// Scenarios report what went wrong into an Outcome rather than through a test framework,
// so that the same code runs in the test suites and in the exploration tool.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/device.h"
#include "sim/card/card.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/scheduler.h"
#include "sim/ks/client.h"

namespace scenarios {

using sim::ks::Handle;

// What a run found wrong; empty when it passed. Notes are what a run measured, for the
// exploration tool to print.
struct Outcome {
  std::vector<std::string> failures;
  std::vector<std::string> notes;
  bool Check(bool condition, const std::string &what) {
    if (!condition) failures.push_back(what);
    return condition;
  }
  bool ok() const { return failures.empty(); }
};

class Rig {
 public:
  Rig(const sim::Machine::Options &options, sim::Card::Variant variant, uint64_t seed,
      Outcome &outcome);
  ~Rig();
  Rig(const Rig &) = delete;
  Rig &operator=(const Rig &) = delete;

  CCaptureDevice *dev() const;
  // Random choices of the scenario itself (what to do, when), from the run's seed.
  uint64_t Pick(uint64_t n) { return params_.Below(n); }

  Handle Open(bool video, ULONG channel);
  // The format the pin proposes for one of its published ranges (0-3), or for a rate.
  std::vector<uint8_t> VideoFormat(Handle filter, int range = 0);
  // The range's proposal scaled to width x height (the card scales): small frames for runs
  // that keep many streams going for long.
  std::vector<uint8_t> ScaledVideoFormat(Handle filter, LONG width, LONG height, int range = 0);
  std::vector<uint8_t> AudioFormat(Handle filter, ULONG rate = 48000);
  // 0 when creation failed; `expected` is what creation must return.
  Handle CreatePin(Handle filter, const std::vector<uint8_t> &format, bool clock = true,
                   NTSTATUS expected = STATUS_SUCCESS);
  // A video pin of the channel for one of its published ranges (0-3), as a client makes it;
  // a master clock is given first when asked.
  Handle VideoPin(ULONG channel, int range = 0, bool clock = true);
  Handle SmallVideoPin(ULONG channel, bool clock = true);
  Handle AudioPin(ULONG channel, ULONG rate = 48000, bool clock = true);
  ULONG FrameBytes(Handle pin) const;
  // Remembers the frame size of a pin created without CreatePin.
  void TrackPin(Handle pin, const std::vector<uint8_t> &format);
  // Queues `count` buffers of the pin's frame size (with a KS_FRAME_INFO for video).
  void Queue(Handle pin, int count);
  // Takes what completed and queues the buffers again; the number taken.
  int Recycle(Handle pin);

  // Blocks the calling simulated thread until the card has completed `count` more field-B
  // buffers (video channel bit) or blocks (audio bit 8 + channel), counted from now. The
  // completion's interrupt, DPC and process call then race with what the thread does next;
  // with `explore` the schedule's change points go among the steps from that completion on.
  void WaitForCard(unsigned channelBit, int count, bool explore = false);
  // Also told of every completion (after the waiters).
  void OnEachCompletion(std::function<void(const sim::Card::Completion &)> observer) {
    observer_ = std::move(observer);
  }

  // Where the threads start to meet: the schedule's change points go among the `steps`
  // steps from here (0: the scenario's expected length of this part).
  void Explore(uint64_t steps = 0);
  uint64_t exploredSteps() const { return m.steps() - exploreFrom_; }
  // What the run did, as one number: the card's trace (every register access, barrier and
  // line change with its time), the frames taken back through Recycle, the schedule's
  // length and the time it ended. The same seed must give the same number.
  uint64_t Fingerprint() const;

  uint32_t Spawn(const std::string &name, std::function<void()> body,
                 sim::ThreadKind kind = sim::ThreadKind::Client);
  // Joins every thread spawned; a thread still running at the deadline is a failure.
  void JoinAll(sim::Nanos timeout = 10 * sim::kSecond);

  // Closes what is open, removes the card and checks that the driver left nothing behind.
  void Finish();
  bool removed() const { return removed_; }
  void MarkRemoved() { removed_ = true; }

  sim::Machine m;
  sim::Card card;
  sim::PnpManager::Card *c = nullptr;  // the card in use (a spare once the first is gone)
  std::vector<std::unique_ptr<sim::Card>> spareCards;  // plugged in by a scenario
  std::unique_ptr<sim::ks::Client> client;
  Outcome &out;

 private:
  struct Waiter {
    unsigned bit;
    int remaining;
    KEVENT *event;
    bool explore;
  };
  void OnCompletion(const sim::Card::Completion &completion);

  sim::Random params_;
  std::function<void(const sim::Card::Completion &)> observer_;
  std::vector<Waiter> waiters_;
  std::vector<uint32_t> threads_;
  std::vector<std::pair<Handle, ULONG>> frameBytes_;
  bool removed_ = false;
  uint64_t exploreFrom_ = 0;
  uint64_t frames_ = 0xcbf29ce484222325ull;  // FNV-1a over the frames Recycle took
};

}  // namespace scenarios
