// Started cards under the real driver with a kernel-streaming client, for measurements:
// pins created the way a capture application creates them, and the timing helpers the
// benchmarks share. The driver is met only as the platform and a client meet it.
#pragma once

#include <time.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <algorithm>

#include "sim/card/card.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/registry.h"
#include "sim/ks/client.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace bench {

using sim::ks::Handle;

// MORVANE_BENCH_QUICK: every measurement short, to check that it builds and runs.
inline bool Quick() { return std::getenv("MORVANE_BENCH_QUICK") != nullptr; }

// Seconds of CPU this thread has used: what the timings compare, as other work on the
// machine moves wall-clock time around.
inline double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
inline double WallSeconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct PinPlan {
  int card = 0;
  ULONG channel = 0;
  bool lines625 = false;
  const GUID *subtype = &KSDATAFORMAT_SUBTYPE_YUY2;
  bool bottomUp = false;  // RGB only: a positive height
  bool doubled = false;   // "INTMODE" 2: field B's lines twice
};

class Rig {
 public:
  explicit Rig(int cards, const sim::Machine::Options &options = {}) : m(options) {
    Check(m.pnp().LoadDriver(DriverEntry), "driver load");
    for (int i = 0; i < cards; ++i) {
      boards.push_back(std::make_unique<sim::Card>(sim::Card::Variant::Standard));
      sim::PnpManager::Card *c = nullptr;
      Check(m.pnp().AddCard(boards.back().get(), &c), "card add");
      pnp.push_back(c);
    }
  }
  ~Rig() {
    if (m.verifier().stopped()) return;
    client.reset();
    for (auto *c : pnp)
      if (c->fdo != nullptr) m.pnp().RemoveCard(*c);
    m.pnp().UnloadDriver();
  }

  // Settings are read at the start; the inputs' standards before it.
  void Start(const std::vector<PinPlan> &doubled = {}) {
    for (const PinPlan &p : doubled)
      if (p.doubled)
        m.registry().SetDword(SettingsKey(p.card), "INTMODE" + std::to_string(p.channel), 2);
    for (auto *c : pnp) Check(m.pnp().StartCard(*c), "card start");
    client = std::make_unique<sim::ks::Client>(m);
  }

  std::string SettingsKey(int card) const {
    return "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + pnp[card]->instancePath +
           "\\Device Parameters";
  }
  // A card's capture filters of the video (or audio) category come in channel order.
  Handle Open(int card, bool video, ULONG channel) {
    ULONG place = 0;
    for (const auto &i : client->Interfaces(video ? KSCATEGORY_VIDEO : KSCATEGORY_AUDIO)) {
      if (i.deviceInstance != pnp[card]->instancePath ||
          std::find(i.categories.begin(), i.categories.end(), KSCATEGORY_CAPTURE) ==
              i.categories.end())
        continue;
      if (place++ != channel) continue;
      Handle h = 0;
      Check(client->OpenFilter(i.symbolicLink, &h), "filter open");
      return h;
    }
    throw std::runtime_error("no filter for channel " + std::to_string(channel));
  }

  struct VideoPin {
    Handle pin = 0;
    int card = 0;
    ULONG channel = 0;
    ULONG frameBytes = 0;
  };
  VideoPin CreateVideo(const PinPlan &p) {
    Handle f = Open(p.card, true, p.channel);
    std::vector<std::vector<uint8_t>> ranges;
    Check(client->PinDataRanges(f, 0, &ranges), "data ranges");
    const std::vector<uint8_t> *chosen = nullptr;
    for (const auto &r : ranges) {
      KSDATARANGE base;
      std::memcpy(&base, r.data(), sizeof base);
      if (IsEqualGUID(base.SubFormat, *p.subtype)) chosen = &r;
    }
    if (chosen == nullptr) throw std::runtime_error("the pin offers no such format");
    std::vector<uint8_t> format;
    Check(client->DataIntersection(f, 0, {*chosen}, &format), "intersection");
    auto &vih = *reinterpret_cast<KS_VIDEOINFOHEADER *>(format.data() + sizeof(KSDATAFORMAT));
    LONG height = vih.bmiHeader.biHeight < 0 ? -vih.bmiHeader.biHeight : vih.bmiHeader.biHeight;
    bool rgb = IsEqualGUID(*p.subtype, KSDATAFORMAT_SUBTYPE_RGB565);
    vih.bmiHeader.biHeight = rgb && !p.bottomUp ? -height : height;
    VideoPin v;
    Check(client->CreatePin(f, 0, format, &v.pin), "video pin");
    v.card = p.card;
    v.channel = p.channel;
    v.frameBytes = vih.bmiHeader.biSizeImage;
    return v;
  }
  Handle CreateAudio(int card, ULONG channel) {
    Handle f = Open(card, false, channel);
    KSDATARANGE_AUDIO r{};
    r.DataRange.FormatSize = sizeof r;
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    r.MinimumSampleFrequency = r.MaximumSampleFrequency = 48000;
    r.MaximumChannels = 1;
    r.MinimumBitsPerSample = r.MaximumBitsPerSample = 16;
    std::vector<uint8_t> range(sizeof r);
    std::memcpy(range.data(), &r, sizeof r);
    std::vector<uint8_t> format;
    Check(client->DataIntersection(f, 0, {range}, &format), "audio intersection");
    Handle pin = 0;
    Check(client->CreatePin(f, 0, format, &pin), "audio pin");
    return pin;
  }

  // A client frame with the 128-byte header the pins ask for, in reused memory.
  static sim::ks::FrameRequest Request(ULONG bytes, std::vector<uint8_t> storage) {
    sim::ks::FrameRequest r;
    r.bufferSize = bytes;
    r.extendedHeader = sim::ks::FrameInfoHeader();
    r.storage = std::move(storage);
    return r;
  }

  static void Check(NTSTATUS s, const char *what) {
    if (!NT_SUCCESS(s)) throw std::runtime_error(std::string(what) + " failed");
  }

  sim::Machine m;
  std::vector<std::unique_ptr<sim::Card>> boards;
  std::vector<sim::PnpManager::Card *> pnp;
  std::unique_ptr<sim::ks::Client> client;
};

}  // namespace bench
