// The I/O manager's bookkeeping, for the machine and tests.
#pragma once

#include <ntddk.h>

#include <cstddef>

namespace sim {

bool IsLiveIrp(PIRP irp);
size_t LiveIrpCount();
bool IsLiveDeviceObject(PDEVICE_OBJECT device);
class Machine;
// Frees what a machine's I/O manager still holds when the machine goes away.
void ReleaseIoObjects(Machine *machine);

}  // namespace sim
