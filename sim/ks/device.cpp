// The kernel-streaming class driver at device level: it owns the FDO, the KS device
// and its object bag, and turns PnP and power requests into the minidriver's
// device dispatch calls.
#include "sim/ks/device.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "sim/kernel/machine.h"

using sim::Machine;
using sim::Rule;

namespace {

Machine &M() { return Machine::Current(); }

struct Bag {
  std::vector<std::pair<PVOID, PFNKSFREE>> items;
};

// Bags of each machine, released without their free routines when the machine goes
// away with devices still present (a scenario ended by a verifier stop).
std::map<Machine *, std::set<Bag *>> g_bags;

Bag *NewBag() {
  Machine *m = &M();
  auto [it, fresh] = g_bags.try_emplace(m);
  if (fresh)
    m->OnTeardown([m] {
      for (Bag *bag : g_bags[m]) delete bag;
      g_bags.erase(m);
    });
  Bag *bag = new Bag;
  it->second.insert(bag);
  return bag;
}

struct DeviceExtension {
  KSDEVICE pub;  // first: the minidriver's PKSDEVICE points here
  Bag *bag;
  int mutexDepth;
  sim::ks::AdapterRegistration adapter;
};

std::map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR *> g_descriptors;
int g_failBagAdds = 0;

DeviceExtension *Ext(PDEVICE_OBJECT fdo) {
  return static_cast<DeviceExtension *>(fdo->DeviceExtension);
}

void FreeBag(Bag *bag) {
  // Each item is freed once, newest first, with its routine or as plain pool.
  while (!bag->items.empty()) {
    auto [item, free] = bag->items.back();
    bag->items.pop_back();
    if (free != nullptr)
      free(item);
    else
      ExFreePool(item);
  }
  g_bags[&M()].erase(bag);
  delete bag;
}

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the request down and waits for the lower driver to finish it.
NTSTATUS ForwardAndWait(PKSDEVICE device, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IofCallDriver(device->NextDeviceObject, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, 0);
  return status;
}

NTSTATUS PassDown(PKSDEVICE device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(device->NextDeviceObject, irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  DeviceExtension *ext = Ext(fdo);
  PKSDEVICE device = &ext->pub;
  const KSDEVICE_DISPATCH *dispatch = device->Descriptor->Dispatch;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      // The bus starts the hardware first; the minidriver then takes its resources.
      NTSTATUS status = ForwardAndWait(device, irp);
      if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->Start != nullptr)
        status =
            dispatch->Start(device, irp, stack->Parameters.StartDevice.AllocatedResourcesTranslated,
                            stack->Parameters.StartDevice.AllocatedResources);
      if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->PostStart != nullptr)
        status = dispatch->PostStart(device);
      device->Started = NT_SUCCESS(status);
      return Complete(irp, status);
    }
    case IRP_MN_STOP_DEVICE:
      if (device->Started && dispatch != nullptr && dispatch->Stop != nullptr)
        dispatch->Stop(device, irp);
      device->Started = FALSE;
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(device, irp);
    case IRP_MN_REMOVE_DEVICE: {
      if (device->Started && dispatch != nullptr && dispatch->Stop != nullptr)
        dispatch->Stop(device, irp);
      device->Started = FALSE;
      if (dispatch != nullptr && dispatch->Remove != nullptr) dispatch->Remove(device, irp);
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = device->NextDeviceObject;
      NTSTATUS status = PassDown(device, irp);
      // The device goes away with its bag: everything handed to it is freed now.
      FreeBag(ext->bag);
      ext->bag = nullptr;
      IoDetachDevice(lower);
      IoDeleteDevice(fdo);
      return status;
    }
    default:
      return PassDown(device, irp);
  }
}

NTSTATUS DispatchPower(PDEVICE_OBJECT fdo, PIRP irp) {
  PKSDEVICE device = &Ext(fdo)->pub;
  const KSDEVICE_DISPATCH *dispatch = device->Descriptor->Dispatch;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction != IRP_MN_SET_POWER ||
      stack->Parameters.Power.Type != DevicePowerState) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(device, irp);
  }
  DEVICE_POWER_STATE to = stack->Parameters.Power.State.DeviceState;
  DEVICE_POWER_STATE from = device->DevicePowerState;
  NTSTATUS status;
  if (to == PowerDeviceD0) {
    // Powering up: the bus first, then the minidriver.
    status = ForwardAndWait(device, irp);
    if (dispatch != nullptr && dispatch->SetPower != nullptr)
      dispatch->SetPower(device, irp, to, from);
  } else {
    if (dispatch != nullptr && dispatch->SetPower != nullptr)
      dispatch->SetPower(device, irp, to, from);
    status = ForwardAndWait(device, irp);
  }
  device->DevicePowerState = to;
  return Complete(irp, status);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  auto it = g_descriptors.find(driver);
  if (it == g_descriptors.end()) return STATUS_INVALID_DEVICE_REQUEST;
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(DeviceExtension), nullptr, 0x2F /* KS */, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  DeviceExtension *ext = Ext(fdo);
  *ext = DeviceExtension{};
  ext->bag = NewBag();
  PKSDEVICE device = &ext->pub;
  device->Descriptor = it->second;
  device->Bag = ext->bag;
  device->FunctionalDeviceObject = fdo;
  device->PhysicalDeviceObject = pdo;
  device->NextDeviceObject = IoAttachDeviceToDeviceStack(fdo, pdo);
  device->SystemPowerState = PowerSystemWorking;
  device->DevicePowerState = PowerDeviceD0;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  const KSDEVICE_DISPATCH *dispatch = device->Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Add != nullptr) {
    status = dispatch->Add(device);
    if (!NT_SUCCESS(status)) {
      FreeBag(ext->bag);
      IoDetachDevice(device->NextDeviceObject);
      IoDeleteDevice(fdo);
      return status;
    }
  }
  return STATUS_SUCCESS;
}

void DriverUnload(PDRIVER_OBJECT driver) { g_descriptors.erase(driver); }

Bag *AsBag(KSOBJECT_BAG bag) {
  if (bag == nullptr) M().verifier().Stop(Rule::InvalidParameter, "null object bag");
  return static_cast<Bag *>(bag);
}

}  // namespace

namespace sim::ks {

PKSDEVICE DeviceFromFdo(PDEVICE_OBJECT fdo) {
  if (fdo == nullptr || g_descriptors.count(fdo->DriverObject) == 0) return nullptr;
  return &Ext(fdo)->pub;
}

std::vector<PVOID> BagItems(KSOBJECT_BAG bag) {
  std::vector<PVOID> items;
  for (auto &[item, free] : AsBag(bag)->items) items.push_back(item);
  return items;
}

AdapterRegistration RegisteredAdapter(PKSDEVICE device) {
  return reinterpret_cast<DeviceExtension *>(device)->adapter;
}

void FailBagAdds(int count) { g_failBagAdds = count; }

}  // namespace sim::ks

extern "C" {

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT driver, PUNICODE_STRING,
                            const KSDEVICE_DESCRIPTOR *descriptor) {
  M().RequireIrql(PASSIVE_LEVEL, "KsInitializeDriver");
  if (driver == nullptr || descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  if (descriptor->Version != 0 && descriptor->Version != KSDEVICE_DESCRIPTOR_VERSION &&
      descriptor->Version != KSDEVICE_DESCRIPTOR_VERSION_2)
    return STATUS_INVALID_PARAMETER;
  g_descriptors[driver] = descriptor;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = DriverUnload;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  return STATUS_SUCCESS;
}

void KsAcquireDevice(PKSDEVICE device) {
  M().RequireIrql(APC_LEVEL, "KsAcquireDevice");
  reinterpret_cast<DeviceExtension *>(device)->mutexDepth++;
}

void KsReleaseDevice(PKSDEVICE device) {
  auto *ext = reinterpret_cast<DeviceExtension *>(device);
  if (ext->mutexDepth <= 0)
    M().verifier().Stop(Rule::InvalidParameter, "KsReleaseDevice without KsAcquireDevice");
  ext->mutexDepth--;
}

void KsDeviceRegisterAdapterObject(PKSDEVICE device, PADAPTER_OBJECT adapter, ULONG maxBytes,
                                   ULONG stride) {
  M().RequireIrql(PASSIVE_LEVEL, "KsDeviceRegisterAdapterObject");
  reinterpret_cast<DeviceExtension *>(device)->adapter = {adapter, maxBytes, stride};
}

NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG objectBag, PVOID item, PFNKSFREE free) {
  M().RequireIrql(PASSIVE_LEVEL, "KsAddItemToObjectBag");
  Bag *bag = AsBag(objectBag);
  if (g_failBagAdds > 0) {
    --g_failBagAdds;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  for (auto &[existing, f] : bag->items)
    if (existing == item) return STATUS_SUCCESS;  // already owned: one free at teardown
  bag->items.emplace_back(item, free);
  return STATUS_SUCCESS;
}

ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG objectBag, PVOID item, BOOLEAN free) {
  M().RequireIrql(PASSIVE_LEVEL, "KsRemoveItemFromObjectBag");
  Bag *bag = AsBag(objectBag);
  auto it = std::find_if(bag->items.begin(), bag->items.end(),
                         [&](const auto &p) { return p.first == item; });
  if (it == bag->items.end()) return 0;
  PFNKSFREE routine = it->second;
  bag->items.erase(it);
  if (free) {
    if (routine != nullptr)
      routine(item);
    else
      ExFreePool(item);
  }
  return 0;
}

}  // extern "C"
