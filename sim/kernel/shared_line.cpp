#include "sim/kernel/shared_line.h"

#include "sim/kernel/machine.h"

namespace sim {

SharedLineDevice::SharedLineDevice(Machine &machine, ULONG vector, KIRQL irql)
    : machine_(machine), vector_(vector) {
  if (machine_.ConnectInterrupt(&interrupt_, Service, this, vector, irql, irql, LevelSensitive,
                                TRUE, machine_.activeProcessors(), true) != STATUS_SUCCESS)
    interrupt_ = nullptr;
}

SharedLineDevice::~SharedLineDevice() {
  Stop();
  if (pending_) machine_.SetInterruptLine(vector_, false, this);
  if (interrupt_ != nullptr && !machine_.verifier().stopped())
    machine_.DisconnectInterrupt(interrupt_);
}

void SharedLineDevice::Raise() {
  if (interrupt_ == nullptr || pending_) return;
  pending_ = true;
  ++raised_;
  machine_.SetInterruptLine(vector_, true, this);
}

void SharedLineDevice::RaiseEvery(int64_t period) {
  Stop();
  period_ = period;
  Schedule();
}

void SharedLineDevice::Stop() {
  period_ = 0;
  if (event_ != 0) machine_.CancelEvent(event_);
  event_ = 0;
}

void SharedLineDevice::Schedule() {
  if (period_ <= 0) return;
  event_ = machine_.At(machine_.now() + period_, [this] {
    event_ = 0;
    Raise();
    Schedule();
  });
}

BOOLEAN NTAPI SharedLineDevice::Service(PKINTERRUPT, PVOID context) {
  auto *self = static_cast<SharedLineDevice *>(context);
  if (!self->pending_) return FALSE;
  self->pending_ = false;
  ++self->claimed_;
  self->machine_.SetInterruptLine(self->vector_, false, self);
  return TRUE;
}

}  // namespace sim
