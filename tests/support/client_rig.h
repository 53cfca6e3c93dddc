// A started card under the real driver with a kernel-streaming client: find the card's
// filters, negotiate formats and create pins the way a capture application does.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "device/device.h"
#include "filters/filters.h"
#include "sim/card/card.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/registry.h"
#include "sim/ks/client.h"
#include "sim/ks/device.h"
#include "support/image_environment.h"
#include "video/formats.h"
#include "video/stream.h"

namespace suite {

using sim::ks::Handle;

class ClientRig {
 public:
  explicit ClientRig(sim::Card::Variant v = sim::Card::Variant::Device6864, bool start = true,
                     const sim::Machine::Options &options = {})
      : m(options), card(v) {
    EXPECT_EQ(m.pnp().LoadDriver(suite::SuiteDriver()), STATUS_SUCCESS);
    EXPECT_EQ(m.pnp().AddCard(&card, &c), STATUS_SUCCESS);
    if (start) {
      EXPECT_EQ(m.pnp().StartCard(*c), STATUS_SUCCESS);
    }
    client = std::make_unique<sim::ks::Client>(m);
  }
  ~ClientRig() {
    if (m.verifier().stopped()) return;
    client.reset();
    if (c != nullptr && c->fdo != nullptr) m.pnp().RemoveCard(*c);
    m.pnp().UnloadDriver();
  }

  bool ok() { return !m.verifier().stopped(); }
  CCaptureDevice *dev() const {
    suite::RequireDriverInternals();
    return DeviceContext(sim::ks::DeviceFromFdo(c->fdo));
  }
  std::string SettingsKey() const {
    return "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + c->instancePath + "\\Device Parameters";
  }

  // The interface of a channel's video or audio filter, found by its reference GUID.
  sim::ks::DeviceInterface Filter(bool video, ULONG channel) const {
    const GUID &ref =
        video ? kVideoFilterReferenceGuids[channel] : kAudioFilterReferenceGuids[channel];
    for (const auto &i : client->Interfaces(KSCATEGORY_CAPTURE))
      if (i.referenceGuid == ref) return i;
    ADD_FAILURE() << "no filter for channel " << channel;
    return {};
  }
  Handle Open(bool video, ULONG channel) {
    Handle h = 0;
    EXPECT_EQ(client->OpenFilter(Filter(video, channel).symbolicLink, &h), STATUS_SUCCESS);
    return h;
  }

  // The format the pin proposes for one of its own ranges (as a client would start).
  std::vector<uint8_t> Intersect(Handle filter, const std::vector<uint8_t> &range) {
    std::vector<uint8_t> format;
    EXPECT_EQ(client->DataIntersection(filter, 0, {range}, &format), STATUS_SUCCESS);
    return format;
  }
  std::vector<uint8_t> VideoFormat(Handle filter, int rangeIndex) {
    std::vector<std::vector<uint8_t>> ranges;
    EXPECT_EQ(client->PinDataRanges(filter, 0, &ranges), STATUS_SUCCESS);
    return Intersect(filter, ranges.at(rangeIndex));
  }
  static std::vector<uint8_t> RangeBytes(const KS_DATARANGE_VIDEO &r) {
    std::vector<uint8_t> v(sizeof(r));
    std::memcpy(v.data(), &r, sizeof(r));
    return v;
  }
  static KS_VIDEOINFOHEADER &Vih(std::vector<uint8_t> &format) {
    return *reinterpret_cast<KS_VIDEOINFOHEADER *>(format.data() + sizeof(KSDATAFORMAT));
  }
  static std::vector<uint8_t> AudioRange(ULONG minRate, ULONG maxRate, ULONG channels = 1,
                                         ULONG minBits = 16, ULONG maxBits = 16) {
    KSDATARANGE_AUDIO r = kAudioRanges[0];
    r.MinimumSampleFrequency = minRate;
    r.MaximumSampleFrequency = maxRate;
    r.MaximumChannels = channels;
    r.MinimumBitsPerSample = minBits;
    r.MaximumBitsPerSample = maxBits;
    std::vector<uint8_t> v(sizeof(r));
    std::memcpy(v.data(), &r, sizeof(r));
    return v;
  }
  Handle CreatePin(Handle filter, const std::vector<uint8_t> &format,
                   NTSTATUS expected = STATUS_SUCCESS) {
    Handle pin = 0;
    EXPECT_EQ(client->CreatePin(filter, 0, format, &pin), expected);
    return pin;
  }
  // A channel's video pin in its first range, or audio pin at `rate`, created and left in
  // `state`.
  Handle VideoPin(ULONG channel, KSSTATE state = KSSTATE_STOP) {
    Handle f = Open(true, channel);
    Handle pin = CreatePin(f, VideoFormat(f, 0));
    EXPECT_EQ(client->SetState(pin, state), STATUS_SUCCESS);
    return pin;
  }
  Handle AudioPin(ULONG channel, KSSTATE state = KSSTATE_STOP, ULONG rate = 48000) {
    Handle f = Open(false, channel);
    Handle pin = CreatePin(f, Intersect(f, AudioRange(rate, rate)));
    EXPECT_EQ(client->SetState(pin, state), STATUS_SUCCESS);
    return pin;
  }

  sim::Machine m;
  sim::Card card;
  sim::PnpManager::Card *c = nullptr;
  std::unique_ptr<sim::ks::Client> client;
};

}  // namespace suite
