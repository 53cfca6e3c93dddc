// A simulated machine with one card under the real driver, for what a test drives below
// the kernel-streaming client: the device callbacks, the decoders and the registers.
#pragma once

#include <gtest/gtest.h>

#include "device/device.h"
#include "sim/card/card.h"
#include "sim/kernel/dma.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/pool.h"
#include "sim/ks/device.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace suite {

class DeviceRig {
 public:
  explicit DeviceRig(sim::Card::Variant v = sim::Card::Variant::Device6864) : card(v) {
    EXPECT_EQ(m.pnp().LoadDriver(DriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(m.pnp().AddCard(&card, &c), STATUS_SUCCESS);
  }
  ~DeviceRig() {
    if (ok() && c != nullptr && c->fdo != nullptr) {
      m.pnp().RemoveCard(*c);
      m.pnp().UnloadDriver();
    }
  }
  bool ok() { return !m.verifier().stopped(); }
  PKSDEVICE ks() const { return sim::ks::DeviceFromFdo(c->fdo); }
  CCaptureDevice *dev() const { return DeviceContext(ks()); }
  NTSTATUS Start(const sim::ResourceSpec &r = {}) { return m.pnp().StartCard(*c, r); }

  sim::Machine m;
  sim::Card card;
  sim::PnpManager::Card *c = nullptr;
};

}  // namespace suite
