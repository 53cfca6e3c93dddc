#include "support/rig.h"

#include <algorithm>

#include "filters/filters.h"
#include "sim/kernel/pool.h"
#include "sim/ks/device.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace fuzz {

namespace {

// The driver busy-waits on the performance counter for the decoder's two-wire bus (20 us
// half steps, 100 ms of them at a start): a coarser read gets through the same waits in a
// fraction of the steps, which is most of an input's time in the targets that start a card.
sim::Machine::Options CoarseCounter(sim::Machine::Options options) {
  options.counterReadCost = std::max<sim::Nanos>(options.counterReadCost, 1000);
  return options;
}

}  // namespace

Rig::Rig(const std::vector<sim::Card::Variant> &variants, bool start,
         const sim::Machine::Options &machine)
    : m(CoarseCounter(machine)) {
  NoVerifierStop("machine set-up", [&] {
    FUZZ_CHECK(m.pnp().LoadDriver(DriverEntry) == STATUS_SUCCESS, "the driver loads");
    for (sim::Card::Variant v : variants) {
      cards.push_back(std::make_unique<sim::Card>(v));
      sim::PnpManager::Card *c = nullptr;
      FUZZ_CHECK(m.pnp().AddCard(cards.back().get(), &c) == STATUS_SUCCESS, "the card is added");
      pnp.push_back(c);
      if (start) FUZZ_CHECK(m.pnp().StartCard(*c) == STATUS_SUCCESS, "the card starts");
    }
    client = std::make_unique<sim::ks::Client>(m);
  });
}

Rig::~Rig() {
  if (!shutDown_ && !m.verifier().stopped()) ShutDown();
}

void Rig::ShutDown() {
  shutDown_ = true;
  NoVerifierStop("shut-down", [&] {
    client.reset();
    for (sim::PnpManager::Card *c : pnp)
      if (c->fdo != nullptr) m.pnp().RemoveCard(*c);
    m.pnp().UnloadDriver();
  });
  FUZZ_CHECK(m.pool().liveCount() == 0, "pool left after the driver unloaded");
  FUZZ_CHECK(m.connectedInterrupts() == 0, "interrupt left connected");
}

std::string Rig::SettingsKey(int card) const {
  return "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + pnp.at(card)->instancePath +
         "\\Device Parameters";
}

CCaptureDevice *Rig::Device(int card) const {
  return DeviceContext(sim::ks::DeviceFromFdo(pnp.at(card)->fdo));
}

sim::ks::DeviceInterface Rig::Filter(int card, bool video, ULONG channel) const {
  const GUID &ref =
      video ? kVideoFilterReferenceGuids[channel] : kAudioFilterReferenceGuids[channel];
  for (const auto &i : client->Interfaces(KSCATEGORY_CAPTURE))
    if (i.referenceGuid == ref && i.deviceInstance == pnp.at(card)->instancePath) return i;
  return {};
}

sim::ks::Handle Rig::Open(int card, bool video, ULONG channel) {
  sim::ks::Handle h = 0;
  std::string link = Filter(card, video, channel).symbolicLink;
  if (link.empty() || client->OpenFilter(link, &h) != STATUS_SUCCESS) return 0;
  return h;
}

std::vector<std::vector<uint8_t>> Rig::Ranges(sim::ks::Handle filter) {
  std::vector<std::vector<uint8_t>> ranges;
  FUZZ_CHECK(client->PinDataRanges(filter, 0, &ranges) == STATUS_SUCCESS,
             "the pin's ranges can be read");
  return ranges;
}

std::vector<uint8_t> Rig::Proposal(sim::ks::Handle filter, size_t rangeIndex) {
  std::vector<std::vector<uint8_t>> ranges = Ranges(filter);
  std::vector<uint8_t> format;
  if (ranges.empty()) return format;
  if (client->DataIntersection(filter, 0, {ranges[rangeIndex % ranges.size()]}, &format) !=
      STATUS_SUCCESS)
    format.clear();
  return format;
}

}  // namespace fuzz
