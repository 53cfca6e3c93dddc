// A simulated machine with cards started under the real driver and a kernel-streaming
// client, for the targets that reach the driver.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/device.h"
#include "sim/card/card.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/ks/client.h"
#include "support/fuzz.h"

namespace fuzz {

// Runs body; a verifier stop is a finding (the driver broke a platform rule).
template <class Body>
void NoVerifierStop(const char *scenario, Body body) {
  try {
    body();
  } catch (const sim::VerifierStop &stop) {
    Fail(std::string(scenario) + ": verifier stop: " + stop.what());
  }
}

// A machine with cards under the real driver and a kernel-streaming client.
class Rig {
 public:
  explicit Rig(const std::vector<sim::Card::Variant> &variants, bool start = true,
               const sim::Machine::Options &machine = {});
  ~Rig();
  Rig(const Rig &) = delete;
  Rig &operator=(const Rig &) = delete;

  // Closes the client's handles, removes the cards and unloads the driver: what the
  // driver left allocated, mapped or connected stops the verifier.
  void ShutDown();

  std::string SettingsKey(int card) const;
  CCaptureDevice *Device(int card) const;
  sim::ks::DeviceInterface Filter(int card, bool video, ULONG channel) const;
  // Opens the filter; 0 when it cannot be opened.
  sim::ks::Handle Open(int card, bool video, ULONG channel);
  // The format a pin proposes for one of its published ranges (empty when refused).
  std::vector<uint8_t> Proposal(sim::ks::Handle filter, size_t rangeIndex);
  std::vector<std::vector<uint8_t>> Ranges(sim::ks::Handle filter);

  sim::Machine m;
  std::vector<std::unique_ptr<sim::Card>> cards;
  std::vector<sim::PnpManager::Card *> pnp;
  std::unique_ptr<sim::ks::Client> client;

 private:
  bool shutDown_ = false;
};

}  // namespace fuzz
