#include "concurrency/scenarios.h"

#include "concurrency/pnp_scenarios.h"

#include <algorithm>
#include <cstring>

#include "sim/card/serial_bus.h"

namespace scenarios {

namespace {

using sim::kMicrosecond;
using sim::kMillisecond;
using sim::Nanos;

constexpr unsigned kAudioBit = 8;

void Sleep(Nanos d) {
  LARGE_INTEGER interval;
  interval.QuadPart = -std::max<Nanos>(d / 100, 1);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

bool Set(Rig &r, Handle pin, KSSTATE state, const char *what) {
  NTSTATUS status = r.client->SetState(pin, state);
  return r.out.Check(status == STATUS_SUCCESS, std::string(what) + ": state change to " +
                                                   std::to_string(state) + " failed with " +
                                                   std::to_string(status));
}

// Takes each pin's completed frames, checks them, and queues them again until `stop`.
void Feed(Rig &r, const std::vector<Handle> &pins, const bool &stop, uint64_t *delivered) {
  while (!stop) {
    r.client->WaitForAnyFrame(5 * kMillisecond);
    for (Handle pin : pins) {
      sim::ks::Frame f;
      while (r.client->TakeFrame(pin, &f) == STATUS_SUCCESS) {
        if (f.status == STATUS_SUCCESS) {
          ++*delivered;
          r.out.Check(f.header.DataUsed <= f.data.size(), "a frame's DataUsed fits its buffer");
        } else {
          r.out.Check(f.status == STATUS_CANCELLED, "a frame comes back done or cancelled");
        }
        sim::ks::FrameRequest again;
        again.bufferSize = static_cast<ULONG>(f.data.size());
        again.extendedHeader = f.extendedHeader;
        again.storage = std::move(f.data);
        r.client->QueueFrame(pin, std::move(again));
      }
    }
  }
}

// When channels run, the watchdog is armed or about to run: otherwise a channel error
// would never be recovered from.
void CheckWatchdogWatches(Rig &r, const char *when) {
  CCaptureDevice *d = r.dev();
  if (d->runningMask == 0) return;
  bool watching = r.m.IsTimerArmed(&d->watchdogTimer) || r.m.IsDpcQueued(&d->watchdogDpc);
  r.out.Check(watching, std::string("the watchdog watches the running channels ") + when);
}

// ------------------------------------------------------------------ scenarios

// Both pins of a channel close while the card completes frames and audio blocks: the
// interrupt DPC, the process call and the closes meet.
void PinClose(Rig &r) {
  Handle video = r.VideoPin(0), audio = r.AudioPin(0);
  if (!Set(r, video, KSSTATE_RUN, "video") || !Set(r, audio, KSSTATE_RUN, "audio")) return;
  r.Queue(video, 3);
  r.Queue(audio, 3);
  bool closed = false;
  uint64_t delivered = 0;
  unsigned bit = r.Pick(2) ? 0 : kAudioBit;
  int count = 1 + static_cast<int>(r.Pick(4));
  bool videoFirst = r.Pick(2) != 0;
  Nanos gap = static_cast<Nanos>(r.Pick(3)) * 20 * kMicrosecond;
  r.Spawn("feeder", [&] { Feed(r, {video, audio}, closed, &delivered); });
  r.Spawn("closer", [&] {
    // The completion's interrupt, DPC and process call against the closes.
    r.WaitForCard(bit, count, true);
    r.out.Check(r.client->Close(videoFirst ? video : audio) == STATUS_SUCCESS, "first close");
    if (gap != 0) Sleep(gap);
    r.out.Check(r.client->Close(videoFirst ? audio : video) == STATUS_SUCCESS, "second close");
    closed = true;
  });
  r.JoinAll();
}

// A pin stops, pauses and resumes, or restarts while its process call fills a frame.
void StopWhileProcessing(Rig &r) {
  Handle video = r.VideoPin(0);
  if (!Set(r, video, KSSTATE_RUN, "video")) return;
  r.Queue(video, 3);
  bool done = false;
  uint64_t delivered = 0;
  int count = 1 + static_cast<int>(r.Pick(4));
  unsigned action = static_cast<unsigned>(r.Pick(3));
  r.Spawn("feeder", [&] { Feed(r, {video}, done, &delivered); });
  r.Spawn("actor", [&] {
    r.WaitForCard(0, count, true);  // the field's process call against the state change
    if (action == 0) {
      Set(r, video, KSSTATE_STOP, "stop");
    } else {
      // Pause and resume, or pause to acquire (the channel stops) and run again.
      Set(r, video, action == 1 ? KSSTATE_PAUSE : KSSTATE_ACQUIRE, "pause");
      Set(r, video, KSSTATE_RUN, "run again");
      uint64_t before = delivered;
      r.WaitForCard(0, 4);
      r.client->WaitForAnyFrame(20 * kMillisecond);
      r.out.Check(delivered > before || r.client->CompletedFrames(video) > 0,
                  "frames flow again after the pin runs again");
      Set(r, video, KSSTATE_STOP, "stop");
    }
    done = true;
  });
  r.JoinAll();
}

// Two pins are created at once: on different filters of one card (the first creation
// connects the interrupt, and only one may), or on two instances of one channel's filter
// (only one pin per channel may exist).
void TwoCreations(Rig &r) {
  unsigned kind = static_cast<unsigned>(r.Pick(3));  // video 1, audio 1, video 0 again
  Handle f0 = r.Open(true, 0);
  Handle f1 = r.Open(kind != 1, kind == 2 ? 0 : 1);
  std::vector<uint8_t> fmt0 = r.VideoFormat(f0);
  std::vector<uint8_t> fmt1 = kind == 1 ? r.AudioFormat(f1) : r.VideoFormat(f1);
  Handle pins[2] = {0, 0};
  NTSTATUS created[2] = {STATUS_PENDING, STATUS_PENDING};
  r.Explore();
  auto create = [&](int i, Handle filter, const std::vector<uint8_t> &format) {
    NTSTATUS status = r.client->CreatePin(filter, 0, format, &pins[i]);
    created[i] = status;
    if (NT_SUCCESS(status))
      r.TrackPin(pins[i], format);
    else
      pins[i] = 0;
  };
  r.Spawn("create 0", [&] { create(0, f0, fmt0); });
  r.Spawn("create 1", [&] { create(1, f1, fmt1); });
  r.JoinAll();
  r.out.Check(r.m.connectedInterrupts() == 1, "the interrupt is connected once");
  if (kind == 2) {
    r.out.Check((created[0] == STATUS_SUCCESS) != (created[1] == STATUS_SUCCESS) &&
                    (created[0] == STATUS_INSUFFICIENT_RESOURCES ||
                     created[1] == STATUS_INSUFFICIENT_RESOURCES),
                "one pin per channel: one creation succeeds and the other is refused");
  } else {
    r.out.Check(created[0] == STATUS_SUCCESS && created[1] == STATUS_SUCCESS,
                "both creations succeed");
    ULONG both = 0x1u | (kind == 1 ? 1u << 9 : 0x2u);
    r.out.Check((r.dev()->openPinMask & both) == both, "both are recorded in openPinMask");
  }
  for (Handle p : pins)
    if (p != 0 && Set(r, p, KSSTATE_RUN, "run")) r.Queue(p, 2);
  for (Handle p : pins) {
    if (p == 0) continue;
    sim::ks::Frame f;
    NTSTATUS status = r.client->WaitForFrame(p, 300 * kMillisecond, &f);
    r.out.Check(status == STATUS_SUCCESS && f.status == STATUS_SUCCESS,
                "each new pin delivers: " + std::to_string(status));
  }
  for (Handle p : pins)
    if (p != 0) Set(r, p, KSSTATE_STOP, "stop");
}

// The card is removed while channels run, one of them in error so that the watchdog
// restarts it, and while the interrupt DPC runs.
void RemoveWhileActive(Rig &r) {
  std::vector<Handle> pins = {r.VideoPin(0), r.VideoPin(1), r.AudioPin(0), r.AudioPin(1)};
  for (Handle p : pins)
    if (!Set(r, p, KSSTATE_RUN, "run")) return;
  for (Handle p : pins) r.Queue(p, 3);
  // Channels start after the watchdog's first quiet interval; an error then keeps it busy
  // restarting the channel when the removal comes.
  r.card.ScheduleChannelError(
      r.m.now() + 120 * kMillisecond + static_cast<Nanos>(r.Pick(40)) * kMillisecond,
      static_cast<unsigned>(r.Pick(2)));
  bool removed = false;
  uint64_t delivered = 0;
  bool atBlock = r.Pick(2) != 0;
  Nanos settle = 180 * kMillisecond + static_cast<Nanos>(r.Pick(80)) * kMillisecond;
  Nanos lead = static_cast<Nanos>(r.Pick(400)) * kMicrosecond;
  r.Spawn("feeder", [&] { Feed(r, pins, removed, &delivered); });
  r.Spawn(
      "pnp",
      [&] {
        Sleep(settle);
        // Land the removal's release of the hardware near a watchdog tick.
        Nanos due = r.m.TimerDueTime(&r.dev()->watchdogTimer);
        if (due > r.m.now() + lead) Sleep(due - r.m.now() - lead);
        if (atBlock) r.WaitForCard(kAudioBit, 1);
        r.Explore();  // the closes, the release of the hardware, the DPCs and the watchdog
        // The applications close their handles when told the card is going.
        r.out.Check(r.m.pnp().RemoveCard(*r.c, sim::PnpManager::OpenHandles::ClosedByClients) ==
                        STATUS_SUCCESS,
                    "the card is removed");
        r.MarkRemoved();
        removed = true;
      },
      sim::ThreadKind::System);
  r.JoinAll();
  r.out.Check(delivered > 0, "frames were delivered before the removal");
}

// Picture controls of a channel behind the two-wire bus, while another bus channel's pin
// is created and closed, and (some seeds) while the card goes to D3 and back to D0.
void PropertiesDuringCreation(Rig &r) {
  Handle f5 = r.Open(true, 5), f6 = r.Open(true, 6);
  std::vector<uint8_t> fmt6 = r.VideoFormat(f6);
  bool power = r.Pick(2) == 0;
  bool powerCycled = false;
  Nanos powerAt = static_cast<Nanos>(r.Pick(8)) * kMillisecond;
  std::vector<LONG> values;
  std::vector<Nanos> gaps;  // the requests spread over the return to D0's 100 ms
  for (int i = 0; i < 10; ++i) {
    values.push_back(static_cast<LONG>(r.Pick(256)) - 128);
    gaps.push_back(static_cast<Nanos>(r.Pick(25)) * kMillisecond + kMicrosecond);
  }
  r.card.ClearBusLog();
  r.Explore();
  r.Spawn("controls", [&] {
    for (size_t i = 0; i < values.size(); ++i) {
      LONG v = values[i];
      Sleep(gaps[i]);
      KSPROPERTY_VIDEOPROCAMP_S s{};
      s.Value = v;
      // While the card is in D3 (or on its way) the decoder is not there to ask.
      const NTSTATUS asleep = STATUS_DEVICE_NOT_READY | 0x20000000;
      bool cycledBefore = powerCycled;
      NTSTATUS status =
          r.client->SetS(f5, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, s);
      r.out.Check(status == STATUS_SUCCESS || (power && status == asleep), "brightness set");
      KSPROPERTY_VIDEOPROCAMP_S got{};
      status = r.client->GetS(f5, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
                              &got);
      r.out.Check(status == STATUS_SUCCESS || (power && status == asleep), "brightness read");
      if (status != STATUS_SUCCESS) continue;
      // A return to D0 between the two may reset the decoder; nothing else changes it.
      if (!power || (!cycledBefore && !powerCycled))
        r.out.Check(got.Value == v, "brightness reads back what was set: " +
                                        std::to_string(got.Value) + " for " + std::to_string(v));
    }
  });
  r.Spawn("creator", [&] {
    for (int k = 0; k < 2; ++k) {
      // A creation while the card sleeps is refused: it would program a card in D3.
      Handle pin = 0;
      NTSTATUS status = r.client->CreatePin(f6, 0, fmt6, &pin);
      r.out.Check(status == STATUS_SUCCESS || (power && status == STATUS_DEVICE_NOT_READY),
                  "creating a pin: " + std::to_string(status));
      if (pin != 0) r.out.Check(r.client->Close(pin) == STATUS_SUCCESS, "close");
    }
  });
  if (power)
    r.Spawn(
        "power",
        [&] {
          Sleep(powerAt + kMicrosecond);
          r.out.Check(r.m.pnp().SetCardPower(*r.c, PowerDeviceD3) == STATUS_SUCCESS, "to D3");
          powerCycled = true;
          r.out.Check(r.m.pnp().SetCardPower(*r.c, PowerDeviceD0) == STATUS_SUCCESS, "to D0");
        },
        sim::ThreadKind::System);
  r.JoinAll();
  // Every bus transaction ran whole and in its own time: nothing cut into one.
  for (const sim::BusTransaction &t : r.card.BusLog()) {
    const auto &e = t.events;
    bool whole = t.complete() && e.size() >= 3 && e.front().kind == sim::BusEvent::Start &&
                 e[1].kind == sim::BusEvent::Byte && (e[1].value == 0x50 || e[1].value == 0x51);
    for (size_t i = 1; whole && i + 1 < e.size(); ++i) whole = e[i].kind == sim::BusEvent::Byte;
    if (!r.out.Check(whole, "a bus transaction was cut into: " + t.ToString())) break;
  }
  r.out.Check(r.card.BusTimingViolations().empty(),
              "the bus kept its timing" + (r.card.BusTimingViolations().empty()
                                               ? std::string()
                                               : ": " + r.card.BusTimingViolations()[0]));
}

// Several client threads create all sixteen pins and then move them through their states
// at random; afterwards every pin runs and the watchdog still recovers a channel error.
void StartStopStorm(Rig &r) {
  unsigned threads = 2 + static_cast<unsigned>(r.Pick(2));
  std::vector<Handle> filters(16), pins(16, 0);
  std::vector<std::vector<uint8_t>> formats(16);
  for (ULONG c = 0; c < 8; ++c) {
    filters[c] = r.Open(true, c);
    formats[c] = r.VideoFormat(filters[c]);
    filters[8 + c] = r.Open(false, c);
    formats[8 + c] = r.AudioFormat(filters[8 + c]);
  }
  std::vector<std::vector<unsigned>> plan(threads);
  for (unsigned t = 0; t < threads; ++t)
    for (int i = 0; i < 10; ++i) plan[t].push_back(static_cast<unsigned>(r.Pick(16 * 4)));
  r.Explore();
  for (unsigned t = 0; t < threads; ++t) {
    r.Spawn("storm " + std::to_string(t), [&, t] {
      for (unsigned p = t; p < 16; p += threads)
        pins[p] = r.CreatePin(filters[p], formats[p], false);
      for (unsigned step : plan[t]) {
        Handle pin = pins[step / 4];
        if (pin == 0) continue;
        static const KSSTATE kStates[] = {KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_ACQUIRE,
                                          KSSTATE_STOP};
        KSSTATE state = kStates[step % 4];
        r.client->SetState(pin, state);
        if (state == KSSTATE_RUN && r.client->CompletedFrames(pin) == 0) r.Queue(pin, 1);
        Sleep(static_cast<Nanos>(step % 3) * kMillisecond + kMicrosecond);
      }
    });
  }
  r.JoinAll();
  CheckWatchdogWatches(r, "after the storm");
  // Everything runs: each pin delivers.
  for (Handle pin : pins)
    if (pin != 0 && Set(r, pin, KSSTATE_RUN, "run")) r.Queue(pin, 2);
  r.m.RunFor(150 * kMillisecond);
  for (unsigned p = 0; p < 16; ++p)
    if (pins[p] != 0)
      r.out.Check(r.client->CompletedFrames(pins[p]) > 0,
                  "pin " + std::to_string(p) + " delivers after the storm");
  CheckWatchdogWatches(r, "with every pin running");
  // An error on channel 0 is recovered from: frames come again.
  r.card.RaiseChannelError(0);
  r.m.RunFor(100 * kMillisecond);
  r.Recycle(pins[0]);
  r.m.RunFor(100 * kMillisecond);
  r.out.Check(r.client->CompletedFrames(pins[0]) > 0, "channel 0 recovers from an error");
  for (Handle pin : pins)
    if (pin != 0) Set(r, pin, KSSTATE_STOP, "stop");
  r.out.Check(r.dev()->runningMask == 0, "nothing runs after every pin stopped");
}

// The last running channel stops while another pin starts, both around a watchdog tick:
// afterwards the watchdog still watches the channel that runs, and recovers its error.
void WatchdogStopAndStart(Rig &r) {
  Handle first = r.VideoPin(0), second = r.VideoPin(1);
  if (!Set(r, first, KSSTATE_RUN, "first")) return;
  r.Queue(first, 2);
  r.m.RunFor(40 * kMillisecond);  // the watchdog ticks every 13 ms now
  Nanos due = r.m.TimerDueTime(&r.dev()->watchdogTimer);
  // Both close together, a little before the tick.
  Nanos stopAt = due - static_cast<Nanos>(r.Pick(40)) * kMicrosecond;
  Nanos startAt = stopAt + static_cast<Nanos>(r.Pick(3)) * kMicrosecond;
  r.Explore();
  r.Spawn("stopper", [&] {
    if (stopAt > r.m.now()) Sleep(stopAt - r.m.now());
    Set(r, first, KSSTATE_STOP, "stop the last running channel");
  });
  r.Spawn("starter", [&] {
    if (startAt > r.m.now()) Sleep(startAt - r.m.now());
    if (Set(r, second, KSSTATE_RUN, "start another")) r.Queue(second, 2);
  });
  r.JoinAll();
  r.m.RunFor(30 * kMillisecond);
  CheckWatchdogWatches(r, "after a stop and a start met at a tick");
  // The running channel's error is recovered from.
  r.card.RaiseChannelError(1);
  r.m.RunFor(120 * kMillisecond);
  r.Recycle(second);
  r.m.RunFor(100 * kMillisecond);
  r.out.Check(r.client->CompletedFrames(second) > 0, "the running channel recovers from an error");
  Set(r, second, KSSTATE_STOP, "stop");
}

// The device is stopped (its hardware released) while the watchdog ticks: no watchdog DPC
// may still be using the interrupt object or the registers when they go.
void StopWhileWatchdogTicks(Rig &r) {
  // A pin's creation connects the interrupt; a start with no stream behind it keeps the
  // watchdog ticking with nothing else running.
  Handle pin = r.VideoPin(0, 0, false);
  r.out.Check(r.client->Close(pin) == STATUS_SUCCESS, "close");
  r.out.Check(StartChannel(r.dev(), kVideoIdBase | 3) == STATUS_SUCCESS, "the watchdog starts");
  r.m.RunFor(30 * kMillisecond + static_cast<Nanos>(r.Pick(13)) * kMillisecond);
  // The stop comes with the tick, or a little before it.
  Nanos due = r.m.TimerDueTime(&r.dev()->watchdogTimer);
  Nanos lead = static_cast<Nanos>(r.Pick(3)) * kMicrosecond;
  r.Spawn(
      "pnp",
      [&] {
        if (due - lead > r.m.now()) Sleep(due - lead - r.m.now());
        r.Explore();
        r.out.Check(r.m.pnp().StopCard(*r.c) == STATUS_SUCCESS, "the card stops");
      },
      sim::ThreadKind::System);
  r.JoinAll();
  r.m.RunFor(30 * kMillisecond);
  CCaptureDevice *d = r.dev();
  r.out.Check(!r.m.IsTimerArmed(&d->watchdogTimer) && !r.m.IsDpcQueued(&d->watchdogDpc),
              "the watchdog is over once the hardware is released");
}

// The pins' reference clocks are released while frames and blocks are being stamped.
void ClockRelease(Rig &r) {
  Handle video = r.VideoPin(0), audio = r.AudioPin(0);
  if (!Set(r, video, KSSTATE_RUN, "video") || !Set(r, audio, KSSTATE_RUN, "audio")) return;
  r.Queue(video, 3);
  r.Queue(audio, 3);
  bool done = false;
  uint64_t delivered = 0;
  unsigned bit = r.Pick(2) ? 0 : kAudioBit;
  int count = 1 + static_cast<int>(r.Pick(4));
  bool again = r.Pick(2) != 0;
  r.Spawn("feeder", [&] { Feed(r, {video, audio}, done, &delivered); });
  r.Spawn("actor", [&] {
    r.WaitForCard(bit, count, true);  // the stamping against the clock's release
    Handle first = bit == 0 ? video : audio;
    Set(r, first, KSSTATE_STOP, "stop");
    Set(r, first == video ? audio : video, KSSTATE_STOP, "stop");
    if (again) {
      // A new run asks for the clock again.
      for (Handle p : {video, audio}) Set(r, p, KSSTATE_RUN, "run again");
      r.WaitForCard(bit, 2);
      for (Handle p : {video, audio}) Set(r, p, KSSTATE_STOP, "stop");
    }
    done = true;
  });
  r.JoinAll();
}

// All sixteen streams for a simulated minute: every frame and block the card completes
// reaches the client, in order.
void SixteenStreamsMinute(Rig &r) {
  std::vector<Handle> video(8), audio(8);
  std::vector<uint64_t> completed(16, 0), delivered(16, 0);
  r.card.SetCompletionObserver([&](const sim::Card::Completion &c) {
    if (c.channelBit >= 8 || c.fieldB) ++completed[c.channelBit];
  });
  for (ULONG c = 0; c < 8; ++c) {
    r.card.SetInputSignal(c, {true, c >= 4});
    Handle f = r.Open(true, c);
    std::vector<uint8_t> format = r.VideoFormat(f);
    auto *vih = reinterpret_cast<KS_VIDEOINFOHEADER *>(format.data() + sizeof(KSDATAFORMAT));
    if (c < 4) vih->AvgTimePerFrame = 333333;  // 30: keep every frame
    video[c] = r.CreatePin(f, format);
    audio[c] = r.AudioPin(c);
  }
  for (ULONG c = 0; c < 8; ++c) {
    Set(r, video[c], KSSTATE_RUN, "video");
    Set(r, audio[c], KSSTATE_RUN, "audio");
  }
  for (ULONG c = 0; c < 8; ++c) {
    r.Queue(video[c], 3);
    r.Queue(audio[c], 3);
  }
  Nanos end = r.m.now() + 60 * sim::kSecond;
  std::vector<int64_t> lastPicture(8, 0);
  while (r.m.now() < end && r.out.ok()) {
    r.client->WaitForAnyFrame(end - r.m.now());
    for (ULONG c = 0; c < 8; ++c) {
      sim::ks::Frame f;
      while (r.client->TakeFrame(video[c], &f) == STATUS_SUCCESS) {
        KS_FRAME_INFO info{};
        r.out.Check(f.status == STATUS_SUCCESS && f.Extended(&info), "a whole video frame");
        r.out.Check(info.PictureNumber == lastPicture[c] + 1 && info.DropCount == 0,
                    "picture numbers follow each other on channel " + std::to_string(c));
        lastPicture[c] = info.PictureNumber;
        ++delivered[c];
        sim::ks::FrameRequest again;
        again.bufferSize = static_cast<ULONG>(f.data.size());
        again.extendedHeader = f.extendedHeader;
        again.storage = std::move(f.data);
        r.client->QueueFrame(video[c], std::move(again));
      }
      delivered[8 + c] += static_cast<uint64_t>(r.Recycle(audio[c]));
    }
  }
  r.card.Poke(CHANNEL_CONTROL, 0);
  r.m.RunFor(5 * kMillisecond);
  for (ULONG c = 0; c < 8; ++c) {
    delivered[c] += static_cast<uint64_t>(r.Recycle(video[c]));
    delivered[8 + c] += static_cast<uint64_t>(r.Recycle(audio[c]));
  }
  for (unsigned b = 0; b < 16; ++b)
    r.out.Check(delivered[b] == completed[b], "channel bit " + std::to_string(b) + ": " +
                                                  std::to_string(delivered[b]) + " delivered of " +
                                                  std::to_string(completed[b]) + " completed");
  for (ULONG c = 0; c < 8; ++c) {
    Set(r, video[c], KSSTATE_STOP, "stop");
    Set(r, audio[c], KSSTATE_STOP, "stop");
  }
}

const std::vector<Scenario> kScenarios = {
    {"pin-close", "pin close while frames and audio blocks complete", PinClose,
     sim::Card::Variant::Standard, 700, 200, 16},
    {"stop-processing", "STOP, PAUSE-RUN and restart while a process call copies a frame",
     StopWhileProcessing, sim::Card::Variant::Standard, 800, 200, 16},
    {"two-creations", "two pin creations on different filters of one card at once", TwoCreations,
     sim::Card::Variant::Standard, 300, 200, 16},
    {"remove-active", "device stop and removal while the watchdog and the DPC are active",
     RemoveWhileActive, sim::Card::Variant::Standard, 500, 200, 16},
    {"properties", "bus-channel properties during pin creation and a return to D0",
     PropertiesDuringCreation, sim::Card::Variant::Device6864, 300000, 200, 10},
    {"storm", "start/stop storms on all sixteen pins from several client threads", StartStopStorm,
     sim::Card::Variant::Standard, 4000, 200, 6},
    {"watchdog", "the last channel's stop and another's start around a watchdog tick",
     WatchdogStopAndStart, sim::Card::Variant::Standard, 400, 200, 16},
    {"stop-watchdog", "device stop while the watchdog ticks", StopWhileWatchdogTicks,
     sim::Card::Variant::Standard, 60, 200, 16},
    {"clock-release", "reference-clock release while frames and blocks are stamped", ClockRelease,
     sim::Card::Variant::Standard, 900, 200, 16},
    {"sixteen-minute", "all sixteen streams for a simulated minute, exact counts",
     SixteenStreamsMinute, sim::Card::Variant::Standard, 2000000, 2, 1},
};

}  // namespace

const std::vector<Scenario> &All() {
  static const std::vector<Scenario> all = [] {
    std::vector<Scenario> v = kScenarios;
    for (const Scenario &s : PnpScenarios()) v.push_back(s);
    return v;
  }();
  return all;
}

const Scenario *Find(const std::string &name) {
  for (const Scenario &s : All())
    if (name == s.name) return &s;
  return nullptr;
}

std::string ReplayCommand(const Scenario &scenario, unsigned processors, uint64_t seed) {
  return "scripts/explore.sh " + std::string(scenario.name) + " 1 --first " + std::to_string(seed) +
         " --cpus " + std::to_string(processors);
}

Result Run(const Scenario &scenario, unsigned processors, uint64_t seed) {
  Result result;
  Outcome out;
  sim::Machine::Options options;
  options.processors = processors;
  options.seed = seed;
  options.schedule.steps = scenario.steps;
  // Busy waits (the card's reset, the two-wire bus) read the counter less often: fewer,
  // coarser steps of the same waits.
  options.counterReadCost = 400;
  options.replay = ReplayCommand(scenario, processors, seed);
  try {
    Rig rig(options, scenario.variant, seed, out);
    if (out.ok()) {
      scenario.run(rig);
      rig.Finish();
    }
    result.steps = rig.exploredSteps();
    result.switches = rig.m.switches();
    result.fingerprint = rig.Fingerprint();
  } catch (const sim::VerifierStop &stop) {
    out.failures.push_back(stop.what());
  }
  result.passed = out.ok();
  result.notes = out.notes;
  if (!result.passed) {
    result.report = std::string(scenario.name) + ", seed " + std::to_string(seed) + ", " +
                    std::to_string(processors) + " processors:";
    for (const std::string &f : out.failures) result.report += "\n  " + f;
    result.report += "\n  replay: " + options.replay;
  }
  return result;
}

}  // namespace scenarios
