// System sleep and wake around a card's kernel-streaming pins.
#include "sim/kernel/sync_annotations.h"
#include "sim/ks/device.h"
#include "sim/ks/host.h"

namespace sim::ks {

namespace {

Machine &M() { return Machine::Current(); }

// The pins of the card's filters, as file objects: a pin may close while the list is used.
std::vector<std::shared_ptr<host::FileObject>> PinsOf(sim::PnpManager::Card &card) {
  std::vector<std::shared_ptr<host::FileObject>> pins;
  PKSDEVICE ks = DeviceFromFdo(card.fdo);
  if (ks == nullptr) return pins;
  host::Device *d = host::DeviceOf(ks);
  M().AcquireMutex(d->mutex, "listing pins for sleep");
  for (host::Filter *f : d->filters)
    for (const auto &list : f->pins)
      for (host::Pin *p : list) pins.push_back(p->file);
  M().ReleaseMutex(d->mutex, "listing pins for sleep");
  return pins;
}

// Moves a pin from `from` to `to` as its application would, unless it went elsewhere.
bool Move(const std::shared_ptr<host::FileObject> &file, KSSTATE from, KSSTATE to) {
  host::Pin *p = file->pin;
  if (p == nullptr) return false;
  std::shared_ptr<host::FileObject> filterFile = p->filterFile;
  M().AcquireMutex(filterFile->control, "a pin's state at sleep or wake");
  bool moved = false;
  p = file->pin;
  if (p != nullptr && p->pub.DeviceState == from && p->pub.ClientState == from)
    moved = NT_SUCCESS(host::SetPinStateLocked(p, to));
  M().ReleaseMutex(filterFile->control, "a pin's state at sleep or wake");
  return moved;
}

void RunAgain(SleepRecord *record) {
  for (const auto &file : record->paused) Move(file, KSSTATE_PAUSE, KSSTATE_RUN);
  record->paused.clear();
}

}  // namespace

NTSTATUS EnterSleep(sim::PnpManager::Card &card, const SleepOptions &options, SleepRecord *record) {
  M().RequireIrql(PASSIVE_LEVEL, "a system sleep");
  record->paused.clear();
  if (options.pausePins)
    for (const auto &file : PinsOf(card))
      if (Move(file, KSSTATE_RUN, KSSTATE_PAUSE)) record->paused.push_back(file);
  return M().pnp().SetCardPower(card, PowerDeviceD3);
}

NTSTATUS LeaveSleep(sim::PnpManager::Card &card, const SleepOptions &options, SleepRecord *record) {
  M().RequireIrql(PASSIVE_LEVEL, "a system wake");
  if (options.runPinsBeforeD0) RunAgain(record);
  NTSTATUS status = M().pnp().SetCardPower(card, PowerDeviceD0);
  RunAgain(record);
  return status;
}

}  // namespace sim::ks
