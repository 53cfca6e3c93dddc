// Frame delivery by the driver next to a plain copy of the same bytes, both over a
// footprint larger than the last-level cache (48 field buffers, a ring of client
// frames), as in a capture, where no field or frame is in the cache when it is copied.
// Each iteration times a run of delivered frames and a run of plain copies, in CPU time;
// the counters give both per frame and their ratio.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_rig.h"
#include "hw/card_registers.h"

namespace {

using bench::PinPlan;
using bench::Rig;

// 12 channels of two cards: 48 field buffers of 414,720 bytes; with four client frames
// a pin, well over the 32 MiB of the last-level cache here.
constexpr int kPins = 12;
constexpr int kRing = 4 * kPins;
constexpr size_t kFieldBuffer = 414720;

struct Format {
  const char *name;
  const GUID *subtype;
  bool bottomUp;
  bool doubled;
  bool lines625;
};

const Format kFormats[] = {
    {"YUY2 525 weave", &KSDATAFORMAT_SUBTYPE_YUY2, false, false, false},
    {"YUY2 625 weave", &KSDATAFORMAT_SUBTYPE_YUY2, false, false, true},
    {"YUY2 525 doubled", &KSDATAFORMAT_SUBTYPE_YUY2, false, true, false},
    {"UYVY 525 weave", &KSDATAFORMAT_SUBTYPE_UYVY, false, false, false},
    {"UYVY 525 doubled", &KSDATAFORMAT_SUBTYPE_UYVY, false, true, false},
    {"Y41P 525 weave", &KSDATAFORMAT_SUBTYPE_Y41P, false, false, false},
    {"Y41P 525 doubled", &KSDATAFORMAT_SUBTYPE_Y41P, false, true, false},
    {"RGB565 525 weave top-down", &KSDATAFORMAT_SUBTYPE_RGB565, false, false, false},
    {"RGB565 525 weave bottom-up", &KSDATAFORMAT_SUBTYPE_RGB565, true, false, false},
    {"RGB565 525 doubled top-down", &KSDATAFORMAT_SUBTYPE_RGB565, false, true, false},
    {"RGB565 525 doubled bottom-up", &KSDATAFORMAT_SUBTYPE_RGB565, true, true, false},
};

// Register reads take no simulated time here, so the clock stands still: neither the
// engines nor the watchdog (which would enable them again) wake while fields are raised
// by hand.
sim::Machine::Options StillClock() {
  sim::Machine::Options o;
  o.registerReadCost = 0;
  return o;
}

struct Delivery {
  Rig rig{2, StillClock()};
  std::vector<Rig::VideoPin> pins;
  std::vector<std::vector<uint8_t>> ring;
  ULONG frameBytes = 0;
  uint64_t frame = 0;

  explicit Delivery(const Format &f) {
    std::vector<PinPlan> plans;
    for (int i = 0; i < kPins; ++i)
      plans.push_back(
          {i / 8, static_cast<ULONG>(i % 8), f.lines625, f.subtype, f.bottomUp, f.doubled});
    for (const PinPlan &p : plans)
      rig.boards[p.card]->SetInputSignal(p.channel, {true, p.lines625});
    rig.Start(plans);
    for (const PinPlan &p : plans) {
      pins.push_back(rig.CreateVideo(p));
      rig.client->SetState(pins.back().pin, KSSTATE_RUN);
    }
    // The fields are signalled below, one by one; the engines stay still.
    for (auto &board : rig.boards) board->Poke(CHANNEL_CONTROL, 0);
    frameBytes = pins[0].frameBytes;
    ring.assign(kRing, std::vector<uint8_t>(frameBytes, 1));
  }

  // One frame on the next pin: field A then field B from the next bank of that channel,
  // each raised as the card raises it, so the interrupt, the DPC and the process call
  // deliver it.
  bool Frame() {
    const Rig::VideoPin &p = pins[frame % kPins];
    const ULONG bank = (frame / kPins) % 2;
    std::vector<uint8_t> &slot = ring[frame % kRing];
    ++frame;
    if (rig.client->QueueFrame(p.pin, Rig::Request(frameBytes, std::move(slot))) != STATUS_PENDING)
      return false;
    for (ULONG fieldB : {0u, 1u}) {
      rig.boards[p.card]->RaiseChannelEvents(1u << p.channel,
                                             bank << p.channel | fieldB << (24 + p.channel));
      rig.m.RunPending();
    }
    sim::ks::Frame done;
    bool ok =
        rig.client->TakeFrame(p.pin, &done) == STATUS_SUCCESS && done.header.DataUsed == frameBytes;
    slot = std::move(done.data);
    return ok;
  }
};

// The same bytes between buffers of the same footprint: each frame from two of 48
// field buffers into the next of the ring's frames, with memcpy.
struct PlainCopy {
  std::vector<std::vector<uint8_t>> fields, frames;
  size_t fieldBytes;
  uint64_t frame = 0;
  explicit PlainCopy(size_t frameBytes)
      : fields(4 * kPins, std::vector<uint8_t>(kFieldBuffer, 0x5A)),
        frames(kRing, std::vector<uint8_t>(frameBytes, 1)),
        fieldBytes(frameBytes / 2) {}
  void Frame() {
    uint8_t *to = frames[frame % kRing].data();
    std::memcpy(to, fields[(2 * frame) % fields.size()].data(), fieldBytes);
    std::memcpy(to + fieldBytes, fields[(2 * frame + 1) % fields.size()].data(), fieldBytes);
    benchmark::DoNotOptimize(to);
    ++frame;
  }
};

// Reading a buffer larger than the last-level cache leaves it clean: what one side
// wrote is not written back on the other's time.
void WashCaches() {
  static std::vector<uint8_t> wash(96u << 20, 1);
  uint64_t sum = 0;
  for (size_t i = 0; i < wash.size(); i += 64) sum += wash[i];
  benchmark::DoNotOptimize(sum);
}

// Runs of frames long enough to write several times the last-level cache, one side at
// a time: a copy's write-backs land in its own run, as in a capture that runs on.
const int kRun = (bench::Quick() ? 2 : 40) * kPins;

void DeliveryVsCopy(benchmark::State &state) {
  const Format &f = kFormats[state.range(0)];
  Delivery d(f);
  PlainCopy copy(d.frameBytes);
  // A lap of both rings first, so that neither pays for first touches.
  for (int i = 0; i < 2 * kRing; ++i) {
    d.Frame();
    copy.Frame();
  }
  double driver = 0, plain = 0;
  for (auto _ : state) {
    WashCaches();
    double t0 = bench::ThreadSeconds();
    bool ok = true;
    for (int i = 0; i < kRun; ++i) ok &= d.Frame();
    double t1 = bench::ThreadSeconds();
    WashCaches();
    double t2 = bench::ThreadSeconds();
    for (int i = 0; i < kRun; ++i) copy.Frame();
    double t3 = bench::ThreadSeconds();
    if (!ok) {
      state.SkipWithError("a frame was not delivered");
      break;
    }
    driver += t1 - t0;
    plain += t3 - t2;
  }
  const double n = static_cast<double>(state.iterations()) * kRun;
  state.counters["driver_us"] = driver / n * 1e6;
  state.counters["copy_us"] = plain / n * 1e6;
  state.counters["ratio"] = plain > 0 ? driver / plain : 0;
  state.SetBytesProcessed(static_cast<int64_t>(n) * d.frameBytes);
  state.SetLabel(f.name);
}
BENCHMARK(DeliveryVsCopy)
    ->DenseRange(0, sizeof kFormats / sizeof kFormats[0] - 1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(bench::Quick() ? 1 : 6);

}  // namespace
