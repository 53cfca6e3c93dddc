// A device on the simulated PCI bus, as the machine and the bus driver see it.
#pragma once

#include <cstdint>

namespace sim {

class Machine;

class PciDevice {
 public:
  virtual ~PciDevice() = default;

  // Configuration space, one aligned dword at a time (offset < 256).
  virtual uint32_t ConfigRead32(uint32_t offset) = 0;
  virtual void ConfigWrite32(uint32_t offset, uint32_t value) = 0;

  // The memory window (BAR 0): its length and aligned 32-bit accesses inside it.
  virtual uint32_t WindowLength() const = 0;
  virtual uint32_t MmioRead32(uint32_t offset) = 0;
  virtual void MmioWrite32(uint32_t offset, uint32_t value) = 0;
  // A full memory barrier executed by the processor (for the device's trace).
  virtual void OnBarrier() {}
  // The device leaves the bus without warning: it stops answering and doing anything.
  virtual void Unplug() {}

  // Set by the machine when the device is plugged in.
  void Plugged(Machine *machine, uint64_t windowBase, uint32_t vector) {
    machine_ = machine;
    windowBase_ = windowBase;
    vector_ = vector;
    OnPlugged();
  }
  Machine *machine() const { return machine_; }
  uint64_t windowBase() const { return windowBase_; }
  uint32_t vector() const { return vector_; }

 protected:
  virtual void OnPlugged() {}

 private:
  Machine *machine_ = nullptr;
  uint64_t windowBase_ = 0;
  uint32_t vector_ = 0;
};

}  // namespace sim
