// Another device on a card's interrupt line, with a driver of its own: it raises the line
// now and then and its service routine claims what is its own. The platform calls the
// routines of a shared line in turn until one claims the interrupt, so a routine earlier
// in the chain that claims what is not its own starves this device, whose line then stays
// asserted (the verifier's interrupt storm).
#pragma once

#include <ntddk.h>

#include <cstdint>

namespace sim {

class Machine;

class SharedLineDevice {
 public:
  // Connects the neighbour's level-sensitive, shared routine on `vector` at `irql`, after
  // whatever is connected there already.
  SharedLineDevice(Machine &machine, ULONG vector, KIRQL irql);
  ~SharedLineDevice();
  SharedLineDevice(const SharedLineDevice &) = delete;
  SharedLineDevice &operator=(const SharedLineDevice &) = delete;

  bool connected() const { return interrupt_ != nullptr; }
  // Asserts the line until the neighbour's routine sees it.
  void Raise();
  // Raises the line every `period` ns from now until Stop().
  void RaiseEvery(int64_t period);
  void Stop();

  uint64_t raised() const { return raised_; }
  uint64_t claimed() const { return claimed_; }  // interrupts its routine took

 private:
  static BOOLEAN NTAPI Service(PKINTERRUPT interrupt, PVOID context);
  void Schedule();

  Machine &machine_;
  ULONG vector_;
  PKINTERRUPT interrupt_ = nullptr;
  bool pending_ = false;
  int64_t period_ = 0;
  uint64_t event_ = 0;
  uint64_t raised_ = 0;
  uint64_t claimed_ = 0;
};

}  // namespace sim
