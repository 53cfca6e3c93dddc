// The kernel-streaming class driver's device level: the KS device behind each
// functional device object, object bags, and what tests inspect of them.
#pragma once

#include <ks.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "sim/kernel/pnp.h"

namespace sim::ks {

// The KS device of a functional device object created by the class driver (or null).
PKSDEVICE DeviceFromFdo(PDEVICE_OBJECT fdo);

// Items in a bag, in insertion order.
std::vector<PVOID> BagItems(KSOBJECT_BAG bag);

struct AdapterRegistration {
  PADAPTER_OBJECT adapter = nullptr;
  ULONG maxMappingsByteCount = 0;
  ULONG mappingTableStride = 0;
};
AdapterRegistration RegisteredAdapter(PKSDEVICE device);

// The next N KsAddItemToObjectBag calls fail with STATUS_INSUFFICIENT_RESOURCES.
void FailBagAdds(int count);

namespace host {
struct FileObject;
}

// System sleep and wake as the platform and a streaming application make them ("Power and
// State Changes in AVStream"): the application pauses a running graph before the system
// sleeps, the device goes to D3 and, at wake, back to D0, and the paused pins run again. The
// platform may run the pins again before the device is back in D0.
struct SleepOptions {
  bool pausePins = true;         // the applications pause their running pins first
  bool runPinsBeforeD0 = false;  // the order the platform may reverse at wake
};
struct SleepRecord {
  std::vector<std::shared_ptr<host::FileObject>> paused;
};
// Pauses the card's running pins (if asked) and sends the card to D3.
NTSTATUS EnterSleep(sim::PnpManager::Card &card, const SleepOptions &options, SleepRecord *record);
// Brings the card back to D0 and runs the pins that were paused (in the order asked).
NTSTATUS LeaveSleep(sim::PnpManager::Card &card, const SleepOptions &options, SleepRecord *record);

}  // namespace sim::ks
