// The kernel-streaming class driver's device level: the KS device behind each
// functional device object, object bags, and what tests inspect of them.
#pragma once

#include <ks.h>

#include <cstddef>
#include <vector>

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

}  // namespace sim::ks
