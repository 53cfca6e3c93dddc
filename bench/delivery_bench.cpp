// Frame delivery by the driver (two field copies into a client frame, through the host)
// next to a plain copy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "driver/client_bench.h"

namespace {

using bench::ClientBench;

struct Delivery {
  ClientBench b{sim::Card::Variant::Standard};
  sim::ks::Handle pin = 0;
  CVideoStream *stream = nullptr;
  ULONG frameBytes = 0;

  explicit Delivery(bool lines576) {
    ULONG channel = 1;
    b.card.SetInputSignal(channel, {true, lines576});
    sim::ks::Handle f = b.Open(true, channel);
    std::vector<uint8_t> format = b.VideoFormat(f, 0);
    frameBytes = ClientBench::Vih(format).bmiHeader.biSizeImage;
    pin = b.CreatePin(f, format);
    b.client->SetState(pin, KSSTATE_RUN);
    stream = static_cast<CVideoStream *>(b.dev()->videoStreams[channel]);
  }
  // One frame: field A then field B, each signalled and processed as the DPC would.
  // The completed frame's memory is queued again, as a client recycling buffers does.
  bool Frame() {
    sim::ks::FrameRequest r;
    r.bufferSize = frameBytes;
    KS_FRAME_INFO info{};
    info.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    r.extendedHeader.assign(reinterpret_cast<uint8_t *>(&info),
                            reinterpret_cast<uint8_t *>(&info + 1));
    r.storage = std::move(done.data);
    if (b.client->QueueFrame(pin, std::move(r)) != STATUS_PENDING) return false;
    for (uint32_t fieldB : {0u, 1u}) {
      b.card.Poke(BUFFER_STATUS, fieldB << (24 + 1));
      stream->framePending = 1;
      stream->ProcessVideoFrame();
    }
    return b.client->TakeFrame(pin, &done) == STATUS_SUCCESS && done.header.DataUsed == frameBytes;
  }
  sim::ks::Frame done;
};

void DriverDelivery(benchmark::State &state) {
  Delivery d(state.range(0) == 576);
  for (auto _ : state) {
    if (!d.Frame()) {
      state.SkipWithError("a frame was not delivered");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * d.frameBytes);
  state.SetLabel(state.range(0) == 576 ? "720x576 YUY2" : "720x480 YUY2");
}
BENCHMARK(DriverDelivery)->Arg(480)->Arg(576)->Unit(benchmark::kMicrosecond);

void PlainCopy(benchmark::State &state) {
  size_t bytes = 1440u * static_cast<size_t>(state.range(0));
  std::vector<uint8_t> from(bytes, 0x5A), to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(PlainCopy)->Arg(480)->Arg(576)->Unit(benchmark::kMicrosecond);

// The whole machine: all sixteen streams of a card running with buffers always queued.
// Reports simulated seconds per wall-clock second.
void WholeMachine(benchmark::State &state) {
  ClientBench b;
  std::vector<std::pair<sim::ks::Handle, ULONG>> pins;
  for (ULONG c = 0; c < 8; ++c) {
    b.card.SetInputSignal(c, {true, c >= 4});
    sim::ks::Handle f = b.Open(true, c);
    std::vector<uint8_t> format = b.VideoFormat(f, 0);
    pins.emplace_back(b.CreatePin(f, format), ClientBench::Vih(format).bmiHeader.biSizeImage);
    sim::ks::Handle af = b.Open(false, c);
    pins.emplace_back(b.CreatePin(af, b.Intersect(af, ClientBench::AudioRange(48000, 48000))),
                      4096);
  }
  KS_FRAME_INFO info{};
  info.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
  auto queue = [&](sim::ks::Handle pin, ULONG bytes, std::vector<uint8_t> storage) {
    sim::ks::FrameRequest r;
    r.bufferSize = bytes;
    r.extendedHeader.assign(reinterpret_cast<uint8_t *>(&info),
                            reinterpret_cast<uint8_t *>(&info + 1));
    r.storage = std::move(storage);
    b.client->QueueFrame(pin, std::move(r));
  };
  for (auto &[pin, bytes] : pins) {
    b.client->SetState(pin, KSSTATE_RUN);
    for (int i = 0; i < 3; ++i) queue(pin, bytes, {});
  }
  sim::Nanos simulated = 0;
  for (auto _ : state) {
    sim::Nanos until = b.m.now() + sim::kSecond;
    while (b.m.now() < until) {
      b.client->WaitForAnyFrame(until - b.m.now());
      sim::ks::Frame f;
      for (auto &[pin, bytes] : pins)
        while (b.client->TakeFrame(pin, &f) == STATUS_SUCCESS) queue(pin, bytes, std::move(f.data));
    }
    simulated += sim::kSecond;
  }
  state.counters["sim_s_per_wall_s"] =
      benchmark::Counter(static_cast<double>(simulated) / 1e9, benchmark::Counter::kIsRate);
}
BENCHMARK(WholeMachine)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
