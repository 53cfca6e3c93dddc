// The whole machine: every stream of 1, 2 or 4 cards running with client frames always
// queued, next to its bound. The card writes each field once and the driver copies it
// once, so the bound is the time two plain copies of the same bytes take over the same
// footprint; the counters give simulated seconds per second of the benchmark thread's
// CPU and of the wall clock, the bound, and the ratios. With the render-ahead worker the
// card's rendering moves to a second host thread (the fields are the same).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bench_rig.h"
#include "sim/card/render.h"

namespace {

using bench::PinPlan;
using bench::Rig;

constexpr int kQueued = 3;

struct Machine {
  Rig rig;
  struct Stream {
    sim::ks::Handle pin;
    ULONG bytes;
    std::vector<std::vector<uint8_t>> spare;
  };
  std::vector<Stream> streams;
  uint64_t videoBytesPerSecond = 0;  // what the card writes and the driver copies
  size_t footprint = 0;              // field buffers and client frames

  Machine(int cards, bool worker) : rig(cards) {
    std::vector<PinPlan> plans;
    for (int card = 0; card < cards; ++card)
      for (ULONG c = 0; c < 8; ++c) {
        plans.push_back({card, c, c >= 4});
        rig.boards[card]->SetInputSignal(c, {true, c >= 4});
      }
    if (worker) {
      auto ahead = std::make_shared<sim::RenderAhead>();
      for (auto &board : rig.boards) board->SetRenderAhead(ahead);
    }
    rig.Start();
    for (const PinPlan &p : plans) {
      Rig::VideoPin v = rig.CreateVideo(p);
      streams.push_back({v.pin, v.frameBytes, {}});
      const uint64_t fps = p.lines625 ? 25 : 30;
      videoBytesPerSecond += fps * v.frameBytes;
      footprint += 4 * size_t{v.frameBytes / 2} + kQueued * size_t{v.frameBytes};
      streams.push_back({rig.CreateAudio(p.card, p.channel), 4096, {}});
      videoBytesPerSecond += 48000 * 2;
    }
    for (Stream &s : streams) {
      rig.client->SetState(s.pin, KSSTATE_RUN);
      for (int i = 0; i < kQueued; ++i) Queue(s, {});
    }
  }
  void Queue(Stream &s, std::vector<uint8_t> storage) {
    rig.client->QueueFrame(s.pin, Rig::Request(s.bytes, std::move(storage)));
  }
  void RunSecond() {
    sim::Nanos until = rig.m.now() + sim::kSecond;
    sim::ks::Frame f;
    while (rig.m.now() < until) {
      rig.client->WaitForAnyFrame(until - rig.m.now());
      for (Stream &s : streams)
        while (rig.client->TakeFrame(s.pin, &f) == STATUS_SUCCESS) Queue(s, std::move(f.data));
    }
  }
};

// Two plain copies of `bytes`, source and destination walking a footprint of the
// given size; returns {thread CPU seconds, wall seconds}.
std::pair<double, double> TwoCopies(uint64_t bytes, size_t footprint) {
  constexpr size_t kChunk = 345600;  // a 525-line field
  const size_t buffers = std::max<size_t>(4, footprint / kChunk / 2);
  std::vector<std::vector<uint8_t>> from(buffers, std::vector<uint8_t>(kChunk, 0x5A)),
      to(buffers, std::vector<uint8_t>(kChunk, 1));
  double cpu0 = bench::ThreadSeconds(), wall0 = bench::WallSeconds();
  size_t k = 0;
  for (uint64_t done = 0; done < 2 * bytes; done += kChunk, ++k) {
    std::memcpy(to[k % buffers].data(), from[(k * 7 + 3) % buffers].data(), kChunk);
    benchmark::DoNotOptimize(to[k % buffers].data());
  }
  return {bench::ThreadSeconds() - cpu0, bench::WallSeconds() - wall0};
}

void WholeMachine(benchmark::State &state) {
  const int cards = static_cast<int>(state.range(0));
  const bool worker = state.range(1) != 0;
  Machine machine(cards, worker);
  machine.RunSecond();  // every buffer touched once
  double cpu = 0, wall = 0, boundCpu = 0, boundWall = 0;
  for (auto _ : state) {
    double c0 = bench::ThreadSeconds(), w0 = bench::WallSeconds();
    machine.RunSecond();
    cpu += bench::ThreadSeconds() - c0;
    wall += bench::WallSeconds() - w0;
    auto [bc, bw] = TwoCopies(machine.videoBytesPerSecond, machine.footprint);
    boundCpu += bc;
    boundWall += bw;
  }
  if (machine.rig.m.verifier().stopped()) state.SkipWithError("the verifier stopped the machine");
  const double n = static_cast<double>(state.iterations());
  state.counters["sim_per_cpu_s"] = n / cpu;
  state.counters["sim_per_wall_s"] = n / wall;
  state.counters["bound"] = n / boundCpu;
  state.counters["ratio"] = boundCpu / cpu;
  state.counters["ratio_wall"] = boundWall / wall;
  state.counters["MB_per_sim_s"] = static_cast<double>(machine.videoBytesPerSecond) / 1e6;
}
BENCHMARK(WholeMachine)
    ->ArgNames({"cards", "worker"})
    ->ArgsProduct({{1, 2, 4}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(bench::Quick() ? 0.001 : 3.0);

}  // namespace
