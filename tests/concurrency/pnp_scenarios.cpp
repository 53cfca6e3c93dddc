// The plug-and-play, power and low-resources scenarios: the platform's system thread
// rebalances, sleeps, removes the card and sets the clock while every stream captures, and
// allocations fail at random. Each run checks what the clients receive frame by frame.
#include "concurrency/pnp_scenarios.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

#include "filters/filters.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/pool.h"
#include "sim/ks/device.h"

namespace scenarios {

namespace {

using sim::kMillisecond;
using sim::kSecond;
using sim::Nanos;

constexpr unsigned kAudioBit = 8;

void Sleep(Nanos d) {
  LARGE_INTEGER interval;
  interval.QuadPart = -std::max<Nanos>(d / 100, 1);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

std::string Hex(NTSTATUS status) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
  return buf;
}

// Every pin of the card running, fed by a client thread that checks what comes back.
class Capture {
 public:
  // On the rig's card, or on another one plugged in since.
  explicit Capture(Rig &r, sim::Card *card = nullptr) : r_(r), card_(card) {
    auto count = [this](const sim::Card::Completion &c) {
      if (c.channelBit >= 8 || c.fieldB) ++completed_[c.channelBit];
    };
    if (card_ != nullptr)
      card_->SetCompletionObserver(count);
    else
      r_.OnEachCompletion(count);
    for (ULONG c = 0; c < 8; ++c) {
      Handle video = r_.Open(true, c), audio = r_.Open(false, c);
      filters_.push_back(video);
      filters_.push_back(audio);
      Add(r_.CreatePin(video, r_.ScaledVideoFormat(video, 160, 120)), c);
      Add(r_.CreatePin(audio, r_.AudioFormat(audio)), kAudioBit + c);
    }
  }
  ~Capture() {
    if (card_ != nullptr)
      card_->SetCompletionObserver(nullptr);
    else
      r_.OnEachCompletion(nullptr);
  }

  bool Run() {
    for (Pin &p : pins_)
      if (p.handle == 0 || r_.client->SetState(p.handle, KSSTATE_RUN) != STATUS_SUCCESS)
        return r_.out.Check(false, "every pin runs");
    for (Pin &p : pins_) r_.Queue(p.handle, 3);
    return true;
  }

  // The client's thread: takes back, checks and queues again until told to stop.
  void Feed() {
    while (!stop_) {
      r_.client->WaitForAnyFrame(5 * kMillisecond);
      for (Pin &p : pins_) Take(p);
    }
  }
  uint32_t StartFeeding() {
    return r_.Spawn("feeder", [this] { Feed(); });
  }
  void StopFeeding() { stop_ = true; }

  // How many frames (blocks) each pin has delivered so far.
  std::vector<uint64_t> Delivered() const {
    std::vector<uint64_t> d;
    for (const Pin &p : pins_) d.push_back(p.delivered);
    return d;
  }
  // Every pin delivered more than `before` says.
  void CheckResumed(const std::vector<uint64_t> &before, const std::string &after) {
    for (size_t i = 0; i < pins_.size(); ++i)
      r_.out.Check(pins_[i].delivered > before[i], "channel bit " + std::to_string(pins_[i].bit) +
                                                       " delivers again after " + after);
  }
  // The video pins' picture numbers: the last one each delivered.
  std::vector<int64_t> Pictures() const {
    std::vector<int64_t> v;
    for (const Pin &p : pins_) v.push_back(p.lastPicture);
    return v;
  }
  const std::vector<uint64_t> &completed() const { return completed_; }

  // Nothing delivered that the card did not complete.
  void CheckAccounts(const std::string &when) {
    for (const Pin &p : pins_)
      r_.out.Check(p.delivered <= completed_[p.bit],
                   "channel bit " + std::to_string(p.bit) + " " + when + ": " +
                       std::to_string(p.delivered) + " delivered of " +
                       std::to_string(completed_[p.bit]) + " completed");
  }
  void CloseAll() {
    for (Pin &p : pins_)
      if (p.handle != 0) r_.client->Close(p.handle);
    for (Handle f : filters_)
      if (f != 0) r_.client->Close(f);
    pins_.clear();
    filters_.clear();
  }
  uint64_t TotalDelivered() const {
    uint64_t n = 0;
    for (const Pin &p : pins_) n += p.delivered;
    return n;
  }
  uint64_t TotalDropped() const {
    uint64_t n = 0;
    for (const Pin &p : pins_) n += p.dropped;
    return n;
  }

 private:
  struct Pin {
    Handle handle = 0;
    unsigned bit = 0;
    uint64_t delivered = 0;
    int64_t lastPicture = 0;
    uint64_t dropped = 0;
  };

  void Add(Handle h, unsigned bit) {
    Pin p;
    p.handle = h;
    p.bit = bit;
    pins_.push_back(p);
  }

  void Take(Pin &p) {
    sim::ks::Frame f;
    while (r_.client->TakeFrame(p.handle, &f) == STATUS_SUCCESS) {
      if (f.status == STATUS_SUCCESS) {
        ++p.delivered;
        if (p.bit < 8) {
          KS_FRAME_INFO info{};
          // Every frame the card completed while the pin ran, and every frame time it ran
          // without the card, is a picture: delivered or counted as dropped.
          if (r_.out.Check(f.Extended(&info), "a video frame has its frame info")) {
            r_.out.Check(info.PictureNumber > p.lastPicture,
                         "picture numbers rise on channel " + std::to_string(p.bit));
            r_.out.Check(static_cast<uint64_t>(info.PictureNumber - info.DropCount) == p.delivered,
                         "picture " + std::to_string(info.PictureNumber) + " less " +
                             std::to_string(info.DropCount) + " dropped is the " +
                             std::to_string(p.delivered) + " frames channel " +
                             std::to_string(p.bit) + " delivered");
            p.lastPicture = info.PictureNumber;
            p.dropped = static_cast<uint64_t>(info.DropCount);
          }
        }
      } else {
        r_.out.Check(f.status == STATUS_CANCELLED, "a frame comes back done or cancelled");
      }
      sim::ks::FrameRequest again;
      again.bufferSize = static_cast<ULONG>(f.data.size());
      again.extendedHeader = f.extendedHeader;
      again.storage = std::move(f.data);
      NTSTATUS status = r_.client->QueueFrame(p.handle, std::move(again));
      r_.out.Check(status == STATUS_PENDING || status == STATUS_DEVICE_REMOVED ||
                       status == STATUS_INVALID_DEVICE_STATE,
                   "a buffer goes back: " + Hex(status));
    }
  }

  Rig &r_;
  sim::Card *card_;
  std::vector<Handle> filters_;
  std::vector<Pin> pins_;
  std::vector<uint64_t> completed_ = std::vector<uint64_t>(16, 0);
  bool stop_ = false;
};

// How long a channel may take to deliver again once the card is back: the watchdog's
// quiet interval, its tick, and a frame to line up with.
constexpr Nanos kResume = 300 * kMillisecond;

// ------------------------------------------------------------------ scenarios

// The card is rebalanced (query-stop, stop, a new register window, start) while every
// stream captures, once or twice; the streams go on by themselves.
void Rebalance(Rig &r) {
  Capture cap(r);
  if (!cap.Run()) return;
  int times = 1 + static_cast<int>(r.Pick(2));
  Nanos first = 60 * kMillisecond + static_cast<Nanos>(r.Pick(80)) * kMillisecond;
  bool done = false;
  cap.StartFeeding();
  r.Spawn(
      "pnp",
      [&] {
        Sleep(first);
        for (int i = 0; i < times; ++i) {
          r.Explore();
          r.out.Check(r.m.pnp().RebalanceCard(*r.c) == STATUS_SUCCESS, "the card is rebalanced");
          std::vector<uint64_t> before = cap.Delivered();
          Sleep(kResume);
          cap.CheckResumed(before, "a rebalance");
        }
        done = true;
        cap.StopFeeding();
      },
      sim::ThreadKind::System);
  r.JoinAll();
  r.out.Check(done, "the rebalances finished");
  cap.CheckAccounts("after the rebalances");
  r.out.Check(r.m.liveMappings(&r.card) == 1, "the new window is mapped once");
}

// System sleep and wake while every stream captures: the applications pause first (or do
// not), the platform may run the pins before D0. Capture resumes by itself; a pin that ran
// through the sleep counts the frames it missed as dropped.
void SleepWake(Rig &r) {
  Capture cap(r);
  if (!cap.Run()) return;
  sim::ks::SleepOptions options;
  options.pausePins = r.Pick(3) != 0;
  options.runPinsBeforeD0 = r.Pick(2) != 0;
  Nanos at = 60 * kMillisecond + static_cast<Nanos>(r.Pick(60)) * kMillisecond;
  Nanos asleep = 50 * kMillisecond + static_cast<Nanos>(r.Pick(250)) * kMillisecond;
  bool done = false;
  cap.StartFeeding();
  r.Spawn(
      "power",
      [&] {
        Sleep(at);
        r.Explore();
        sim::ks::SleepRecord record;
        const Nanos wentAt = r.m.now();
        r.out.Check(sim::ks::EnterSleep(*r.c, options, &record) == STATUS_SUCCESS, "to D3");
        // Asleep, the card does nothing and nobody touches it.
        std::vector<uint64_t> completed = cap.completed();
        size_t trace = r.card.trace().size();
        std::vector<int64_t> pictures = cap.Pictures();
        Sleep(asleep);
        r.out.Check(cap.completed() == completed, "the card completes nothing in D3");
        bool touched = false;
        for (size_t i = trace; i < r.card.trace().size(); ++i) {
          auto kind = r.card.trace()[i].kind;
          touched |=
              kind == sim::CardTraceEntry::Kind::Read || kind == sim::CardTraceEntry::Kind::Write;
        }
        r.out.Check(!touched, "nothing touches the card in D3");
        r.Explore();
        r.out.Check(sim::ks::LeaveSleep(*r.c, options, &record) == STATUS_SUCCESS, "to D0");
        const Nanos backAt = r.m.now();
        std::vector<uint64_t> before = cap.Delivered();
        Sleep(kResume);
        cap.CheckResumed(before, "the wake");
        // A pin left running through the sleep reports the frame times it missed (from the
        // suspension to the restart, which the return to D0 ends) as drops; one that paused
        // does not.
        std::vector<int64_t> now = cap.Pictures();
        const int64_t interval = 333667;  // 29.97 Hz, 100 ns
        const int64_t after = kResume / 100 / interval + 3;
        for (size_t i = 0; i < now.size(); i += 2) {
          int64_t jump = now[i] - pictures[i];
          if (!options.pausePins) {
            int64_t least = asleep / 100 / interval - 1;
            int64_t most = (backAt - wentAt) / 100 / interval + 1 + after;
            r.out.Check(jump >= least && jump <= most,
                        "a pin that ran through " + std::to_string(asleep / kMillisecond) +
                            " ms asleep counts " + std::to_string(least) + " to " +
                            std::to_string(most) + " pictures, not " + std::to_string(jump));
          } else if (!options.runPinsBeforeD0) {
            r.out.Check(jump <= after, "a pin paused for the sleep counts no missed pictures: " +
                                           std::to_string(jump));
          }
        }
        done = true;
        cap.StopFeeding();
      },
      sim::ThreadKind::System);
  r.JoinAll();
  r.out.Check(done, "the sleep finished");
  cap.CheckAccounts("after the sleep");
}

// The card leaves the bus while every stream captures. Nothing touches it once its driver
// was told; the clients stop and close their pins, and the removal completes when the last
// handle closes with nothing left held.
void SurpriseRemoval(Rig &r) {
  Capture cap(r);
  if (!cap.Run()) return;
  Nanos at = 60 * kMillisecond + static_cast<Nanos>(r.Pick(100)) * kMillisecond;
  size_t traceAfter = 0;
  bool removed = false;
  cap.StartFeeding();
  r.Spawn(
      "pnp",
      [&] {
        Sleep(at);
        r.Explore();
        r.out.Check(r.m.pnp().SurpriseRemoveCard(*r.c) == STATUS_SUCCESS, "surprise removal");
        traceAfter = r.card.trace().size();
        removed = true;
        Sleep(50 * kMillisecond);
        cap.StopFeeding();
      },
      sim::ThreadKind::System);
  r.JoinAll();
  r.out.Check(removed, "the card was removed");
  bool touched = false;
  for (size_t i = traceAfter; i < r.card.trace().size(); ++i) {
    auto kind = r.card.trace()[i].kind;
    touched |= kind == sim::CardTraceEntry::Kind::Read || kind == sim::CardTraceEntry::Kind::Write;
  }
  r.out.Check(!touched, "no register access after the driver learnt the card was gone");
  r.out.Check(!r.c->removed, "the removal waits for the handles");
  cap.CheckAccounts("at the removal");
  cap.CloseAll();
  r.client.reset();
  r.m.RunFor(5 * kMillisecond);  // the removal runs from a worker
  r.out.Check(r.c->removed, "the last handle's close completes the removal");
  r.MarkRemoved();
}

// An orderly removal while every stream captures: refused while the applications hold
// their handles (capture goes on untouched), then, once they have closed them, done with
// frames still in flight, the interrupt and the watchdog live until the driver lets go.
void OrderlyRemoval(Rig &r) {
  Capture cap(r);
  if (!cap.Run()) return;
  Nanos at = 60 * kMillisecond + static_cast<Nanos>(r.Pick(100)) * kMillisecond;
  size_t traceAfter = 0;
  bool removed = false;
  uint32_t feeder = cap.StartFeeding();
  r.Spawn(
      "pnp",
      [&] {
        Sleep(at);
        r.Explore();
        r.out.Check(r.m.pnp().RemoveCard(*r.c) == STATUS_PLUGPLAY_QUERY_VETOED,
                    "an orderly removal with handles open is refused");
        std::vector<uint64_t> before = cap.Delivered();
        Sleep(kResume);
        cap.CheckResumed(before, "a refused removal");
        // Told of the removal, the applications stop taking frames and close everything.
        cap.StopFeeding();
        r.m.JoinThread(feeder);
        r.Explore();
        r.out.Check(r.m.pnp().RemoveCard(*r.c, sim::PnpManager::OpenHandles::ClosedByClients) ==
                        STATUS_SUCCESS,
                    "the card is removed once its handles are closed");
        traceAfter = r.card.trace().size();
        removed = true;
        Sleep(50 * kMillisecond);
      },
      sim::ThreadKind::System);
  r.JoinAll();
  if (!r.out.Check(removed, "the removal ran")) return;
  r.out.Check(r.c->removed, "the stack is gone");
  bool touched = false;
  for (size_t i = traceAfter; i < r.card.trace().size(); ++i) {
    auto kind = r.card.trace()[i].kind;
    touched |= kind == sim::CardTraceEntry::Kind::Read || kind == sim::CardTraceEntry::Kind::Write;
  }
  r.out.Check(!touched, "no register access after the removal");
  cap.CheckAccounts("at the removal");
  r.MarkRemoved();
}

// The system clock is set back an hour while a channel recovers from an error: the
// watchdog still restarts it.
void ClockBack(Rig &r) {
  Handle pin = r.SmallVideoPin(0);
  if (pin == 0 || r.client->SetState(pin, KSSTATE_RUN) != STATUS_SUCCESS) return;
  r.Queue(pin, 3);
  bool done = false;
  uint64_t delivered = 0;
  Nanos errorAt = 120 * kMillisecond;
  Nanos clockAt = errorAt + static_cast<Nanos>(r.Pick(60)) * kMillisecond - 20 * kMillisecond;
  int64_t shift = r.Pick(2) != 0 ? -36'000'000'000 : 36'000'000'000;  // an hour, either way
  r.card.ScheduleChannelError(r.m.now() + errorAt, 0);
  Nanos start = r.m.now();
  r.Spawn("feeder", [&] {
    while (!done) {
      r.client->WaitForAnyFrame(5 * kMillisecond);
      delivered += static_cast<uint64_t>(r.Recycle(pin));
    }
  });
  r.Spawn(
      "clock",
      [&] {
        Sleep(clockAt);
        r.Explore();
        r.m.AdjustSystemTime(shift);
        // The error took the channel out; frames come back within the watchdog's time.
        Nanos now = r.m.now();
        if (start + errorAt + 5 * kMillisecond > now)
          Sleep(start + errorAt + 5 * kMillisecond - now);
        uint64_t before = delivered;
        Sleep(kResume);
        r.out.Check(delivered > before,
                    "the channel recovers from its error after the clock moved");
        done = true;
      },
      sim::ThreadKind::System);
  r.JoinAll();
  r.client->SetState(pin, KSSTATE_STOP);
}

// Allocations fail at random while filters open, pins are made and run, and the card is
// rebalanced and put to sleep. Every refusal is reported; nothing is left held.
void LowResources(Rig &r) {
  uint64_t seed = r.Pick(1u << 30);
  double rate = 0.02 + static_cast<double>(r.Pick(20)) / 100.0;
  r.m.faults().SetRandom(seed, rate);
  std::vector<Handle> pins;
  for (ULONG c = 0; c < 4; ++c) {
    for (bool video : {true, false}) {
      Handle filter = 0;
      const GUID &ref = video ? kVideoFilterReferenceGuids[c] : kAudioFilterReferenceGuids[c];
      for (const auto &i : r.client->Interfaces(KSCATEGORY_CAPTURE))
        if (i.referenceGuid == ref) {
          NTSTATUS status = r.client->OpenFilter(i.symbolicLink, &filter);
          r.out.Check(NT_SUCCESS(status) || status == STATUS_INSUFFICIENT_RESOURCES,
                      "a filter opens or says why not: " + Hex(status));
        }
      if (filter == 0) continue;
      std::vector<uint8_t> format =
          video ? r.ScaledVideoFormat(filter, 160, 120) : r.AudioFormat(filter);
      Handle pin = 0;
      NTSTATUS status = r.client->CreatePin(filter, 0, format, &pin);
      r.out.Check(NT_SUCCESS(status) || status == STATUS_INSUFFICIENT_RESOURCES ||
                      status == STATUS_NO_MEMORY,
                  "a pin is created or refused for want of resources: " + Hex(status));
      if (NT_SUCCESS(status)) {
        r.TrackPin(pin, format);
        pins.push_back(pin);
      }
    }
  }
  for (Handle p : pins) {
    NTSTATUS status = r.client->SetState(p, KSSTATE_RUN);
    r.out.Check(NT_SUCCESS(status) || status == STATUS_INSUFFICIENT_RESOURCES,
                "a pin runs or says why not: " + Hex(status));
    r.Queue(p, 2);
  }
  bool done = false;
  r.Spawn("feeder", [&] {
    while (!done) {
      r.client->WaitForAnyFrame(5 * kMillisecond);
      for (Handle p : pins) r.Recycle(p);
    }
  });
  r.Spawn(
      "pnp",
      [&] {
        Sleep(50 * kMillisecond);
        r.Explore();
        if (r.Pick(2) != 0) {
          NTSTATUS status = r.m.pnp().RebalanceCard(*r.c);
          r.out.Check(NT_SUCCESS(status) || r.c->surpriseRemoved,
                      "a rebalance the card cannot start from ends in its removal: " + Hex(status));
        } else {
          sim::ks::SleepOptions options;
          sim::ks::SleepRecord record;
          sim::ks::EnterSleep(*r.c, options, &record);
          Sleep(40 * kMillisecond);
          sim::ks::LeaveSleep(*r.c, options, &record);
        }
        Sleep(100 * kMillisecond);
        r.m.faults().StopRandom();
        done = true;
      },
      sim::ThreadKind::System);
  r.JoinAll();
  r.out.notes.push_back("rate " + std::to_string(rate) + ": " +
                        std::to_string(r.m.faults().totalFailures()) + " of " +
                        std::to_string(r.m.faults().totalCalls()) + " calls failed");
  for (Handle p : pins) r.client->SetState(p, KSSTATE_STOP);
  if (r.c->surpriseRemoved) {
    r.client.reset();
    r.m.RunFor(5 * kMillisecond);
    r.MarkRemoved();
  }
}

// How long the soak runs: MORVANE_SOAK_SECONDS, or 20 simulated seconds.
double SoakSeconds() {
  if (const char *env = std::getenv("MORVANE_SOAK_SECONDS")) return std::atof(env);
  return 20;
}

// All sixteen streams for a long time while the platform does everything it does, at
// random: rebalances, sleeps (paused or not, in either wake order), clock changes, windows
// of random allocation failures, orderly removals it refuses, channel errors, and surprise
// removals after which a new card is plugged in and captured from. Every frame is checked
// as it comes; each card's accounts when it goes.
void Soak(Rig &r) {
  const Nanos end = r.m.now() + static_cast<Nanos>(SoakSeconds() * 1e9);
  auto cap = std::make_unique<Capture>(r);
  if (!cap->Run()) return;
  uint32_t feeder = cap->StartFeeding();
  std::vector<std::unique_ptr<Capture>> done;
  std::map<std::string, uint64_t> count;
  uint64_t delivered = 0, dropped = 0, failures = 0;
  r.Spawn(
      "platform",
      [&] {
        sim::Card *card = &r.card;
        while (r.m.now() < end && r.out.ok()) {
          Sleep(500 * kMillisecond + static_cast<Nanos>(r.Pick(2500)) * kMillisecond);
          switch (r.Pick(20)) {
            case 0:
            case 1:
            case 2:
            case 3:
            case 4: {
              ++count["rebalance"];
              if (NT_SUCCESS(r.m.pnp().RebalanceCard(*r.c))) break;
              ++count["rebalance that did not come back"];
              [[fallthrough]];
            }
            case 5:
            case 6: {
              // The card goes (or went): its streams end, its clients close, it is removed
              // when the last handle closes; a new card takes its place.
              if (!r.c->surpriseRemoved) {
                ++count["surprise removal"];
                r.m.pnp().SurpriseRemoveCard(*r.c);
              }
              cap->StopFeeding();
              r.m.JoinThread(feeder);
              cap->CheckAccounts("when the card went");
              delivered += cap->TotalDelivered();
              dropped += cap->TotalDropped();
              cap->CloseAll();
              for (int i = 0; i < 1000 && !r.c->removed; ++i) Sleep(kMillisecond);
              if (!r.out.Check(r.c->removed, "the last handle's close completes the removal"))
                return;
              done.push_back(std::move(cap));
              r.m.faults().StopRandom();
              r.spareCards.push_back(std::make_unique<sim::Card>(r.card.variant()));
              card = r.spareCards.back().get();
              sim::PnpManager::Card *next = nullptr;
              if (!r.out.Check(r.m.pnp().AddCard(card, &next) == STATUS_SUCCESS, "a new card") ||
                  !r.out.Check(r.m.pnp().StartCard(*next) == STATUS_SUCCESS, "it starts"))
                return;
              r.c = next;
              cap = std::make_unique<Capture>(r, card);
              if (!cap->Run()) return;
              feeder = cap->StartFeeding();
              break;
            }
            case 7:
            case 8:
            case 9:
            case 10: {
              ++count["sleep"];
              sim::ks::SleepOptions options;
              options.pausePins = r.Pick(4) != 0;
              options.runPinsBeforeD0 = r.Pick(2) != 0;
              sim::ks::SleepRecord record;
              sim::ks::EnterSleep(*r.c, options, &record);
              Sleep(100 * kMillisecond + static_cast<Nanos>(r.Pick(2000)) * kMillisecond);
              sim::ks::LeaveSleep(*r.c, options, &record);
              break;
            }
            case 11:
            case 12:
              ++count["clock set"];
              r.m.AdjustSystemTime((static_cast<int64_t>(r.Pick(7200)) - 3600) * 10'000'000);
              break;
            case 13:
            case 14:
              ++count["low-resources window"];
              r.m.faults().SetRandom(r.Pick(1u << 30),
                                     0.01 + static_cast<double>(r.Pick(20)) / 100);
              break;
            case 15:
              if (r.m.faults().randomOn()) r.m.faults().StopRandom();
              ++count["refused removal"];
              r.out.Check(r.m.pnp().RemoveCard(*r.c) == STATUS_PLUGPLAY_QUERY_VETOED,
                          "an orderly removal with handles open is refused");
              break;
            default:
              ++count["channel error"];
              card->RaiseChannelError(static_cast<unsigned>(r.Pick(8)));
              break;
          }
          // A failure window lasts until the next action.
          if (r.m.faults().randomOn() && r.Pick(2) == 0) r.m.faults().StopRandom();
        }
        failures = r.m.faults().totalFailures();
        r.m.faults().StopRandom();
        if (cap) cap->StopFeeding();
      },
      sim::ThreadKind::System);
  r.JoinAll(static_cast<Nanos>(SoakSeconds() * 1e9) + 60 * kSecond);
  if (cap) {
    cap->CheckAccounts("at the end");
    delivered += cap->TotalDelivered();
    dropped += cap->TotalDropped();
  }
  std::string summary = std::to_string(SoakSeconds()) + " s simulated:";
  for (const auto &[what, n] : count) summary += " " + std::to_string(n) + " " + what + ",";
  summary += " " + std::to_string(failures) + " allocations failed; " + std::to_string(delivered) +
             " frames and blocks delivered, " + std::to_string(dropped) +
             " pictures counted as dropped";
  r.out.notes.push_back(summary);
  // The rig removes the card in place now and checks that nothing is left.
}

}  // namespace

std::vector<Scenario> PnpScenarios() {
  return {
      {"rebalance", "rebalances while all sixteen streams capture", Rebalance,
       sim::Card::Variant::Standard, 3000, 20, 4},
      {"sleep", "system sleep and wake while all sixteen streams capture", SleepWake,
       sim::Card::Variant::Device6864, 3000, 20, 4},
      {"surprise", "surprise removal while all sixteen streams capture", SurpriseRemoval,
       sim::Card::Variant::Standard, 2000, 20, 4},
      {"remove", "an orderly removal, refused and then done, while all sixteen streams capture",
       OrderlyRemoval, sim::Card::Variant::Standard, 3000, 20, 4},
      {"clock-back", "the clock set back during a channel's error recovery", ClockBack,
       sim::Card::Variant::Standard, 400, 40, 8},
      {"low-resources", "random allocation failures through creation, rebalance and sleep",
       LowResources, sim::Card::Variant::Standard, 3000, 40, 8},
      {"pnp-soak", "all sixteen streams through everything the platform does, for long", Soak,
       sim::Card::Variant::Standard, 200000, 1, 1},
  };
}

}  // namespace scenarios
