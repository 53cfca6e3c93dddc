// The kernel-streaming class driver at device level: it owns the FDO, the KS device
// and its object bag, and turns PnP and power requests into the minidriver's
// device dispatch calls.
#include "sim/kernel/sync_annotations.h"
#include "sim/ks/device.h"

#include <algorithm>
#include <map>
#include <memory>

#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/ks/host.h"

using sim::Machine;
using sim::Rule;
using namespace sim::ks::host;

namespace {

Machine &M() { return Machine::Current(); }

// The platform's layout: the device header first (the header macros read it from there),
// the KS device the minidriver's PKSDEVICE points to after it.
struct DeviceExtension {
  KSDEVICE_HEADER header;
  KSDEVICE pub;
  Device *host;
};

std::map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR *> g_descriptors;

DeviceExtension *Ext(PDEVICE_OBJECT fdo) {
  return static_cast<DeviceExtension *>(fdo->DeviceExtension);
}

// The device goes away with its factories and its bag: everything handed to them
// is freed now.
void DestroyDevice(DeviceExtension *ext) {
  Device *d = ext->host;
  DeleteAllFactories(d);
  FreeBag(d->bag);
  Unregister(&ext->pub);
  delete d;
  ext->host = nullptr;
  ext->header = nullptr;
}

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
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

// A query the minidriver may refuse: refused, the request goes no further down.
NTSTATUS Query(PKSDEVICE device, PIRP irp, PFNKSDEVICEIRP callback, const char *what) {
  DeviceExtension *ext = Ext(device->FunctionalDeviceObject);
  NTSTATUS status = STATUS_SUCCESS;
  if (callback != nullptr) {
    M().AcquireMutex(ext->host->mutex, what);
    status = sim::CallDriver(callback, device, irp);
    CheckBackAtPassive(what);
    M().ReleaseMutex(ext->host->mutex, what);
    if (status == STATUS_PENDING)
      M().verifier().Stop(Rule::IrpMisuse, std::string(what) + " returned STATUS_PENDING");
  }
  if (!NT_SUCCESS(status)) return Complete(irp, status);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(device, irp);
}

// A cancel goes to the lower drivers first; the minidriver hears of it afterwards.
NTSTATUS Cancel(PKSDEVICE device, PIRP irp, PFNKSDEVICEIRPVOID callback) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = ForwardAndWait(device, irp);
  if (callback != nullptr) sim::CallDriver(callback, device, irp);
  return Complete(irp, status);
}

// Factories created with KSCREATE_ITEM_FREEONSTOP go when the device stops, after the
// minidriver has seen the stop (KsCreateFilterFactory); open filters keep theirs until
// they close.
void FreeOnStop(Device *d) {
  std::vector<Factory *> going;
  for (Factory *f : d->factories)
    if (f->createItemFlags & KSCREATE_ITEM_FREEONSTOP) going.push_back(f);
  M().AcquireMutex(d->mutex, "freeing factories at stop");
  for (Factory *f : going) {
    f->deleted = true;
    auto &list = d->factories;
    list.erase(std::remove(list.begin(), list.end(), f), list.end());
    if (f->filters == 0) DestroyFactory(f);
  }
  M().ReleaseMutex(d->mutex, "freeing factories at stop");
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  DeviceExtension *ext = Ext(fdo);
  PKSDEVICE device = &ext->pub;
  const KSDEVICE_DISPATCH *dispatch = device->Descriptor->Dispatch;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      // The class driver holds the device mutex on the minidriver's behalf through
      // Start and PostStart ("Device Mutex in AVStream").
      M().AcquireMutex(ext->host->mutex, "IRP_MN_START_DEVICE");
      // The bus starts the hardware first; the minidriver then takes its resources.
      NTSTATUS status = ForwardAndWait(device, irp);
      if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->Start != nullptr)
        status = sim::CallDriver(dispatch->Start, device, irp,
                                 stack->Parameters.StartDevice.AllocatedResourcesTranslated,
                                 stack->Parameters.StartDevice.AllocatedResources);
      if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->PostStart != nullptr)
        status = sim::CallDriver(dispatch->PostStart, device);
      device->Started = NT_SUCCESS(status);
      if (device->Started) {
        ext->host->everStarted = true;
        device->DevicePowerState = PowerDeviceD0;
      }
      M().ReleaseMutex(ext->host->mutex, "IRP_MN_START_DEVICE");
      return Complete(irp, status);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
      return Query(device, irp, dispatch != nullptr ? dispatch->QueryStop : nullptr,
                   "IRP_MN_QUERY_STOP_DEVICE");
    case IRP_MN_CANCEL_STOP_DEVICE:
      return Cancel(device, irp, dispatch != nullptr ? dispatch->CancelStop : nullptr);
    case IRP_MN_STOP_DEVICE:
      if (device->Started && dispatch != nullptr && dispatch->Stop != nullptr)
        sim::CallDriver(dispatch->Stop, device, irp);
      device->Started = FALSE;
      FreeOnStop(ext->host);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(device, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return Query(device, irp, dispatch != nullptr ? dispatch->QueryRemove : nullptr,
                   "IRP_MN_QUERY_REMOVE_DEVICE");
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return Cancel(device, irp, dispatch != nullptr ? dispatch->CancelRemove : nullptr);
    case IRP_MN_SURPRISE_REMOVAL:
      // The interfaces go at once: no new handle reaches the device ("Surprise! Your
      // device is gone"); the handles open stay until their holders close them.
      ext->host->surpriseRemoved = true;
      if (dispatch != nullptr && dispatch->SurpriseRemoval != nullptr) {
        sim::CallDriver(dispatch->SurpriseRemoval, device, irp);
        CheckBackAtPassive("the device's SurpriseRemoval dispatch");
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(device, irp);
    case IRP_MN_REMOVE_DEVICE: {
      // Only without handles: the PnP manager refuses an orderly removal while any is open,
      // and removes a surprise-removed device once the last one closes.
      CloseAllForRemoval(ext->host);
      if (device->Started && dispatch != nullptr && dispatch->Stop != nullptr)
        sim::CallDriver(dispatch->Stop, device, irp);
      device->Started = FALSE;
      if (dispatch != nullptr && dispatch->Remove != nullptr)
        sim::CallDriver(dispatch->Remove, device, irp);
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = device->NextDeviceObject;
      NTSTATUS status = PassDown(device, irp);
      DestroyDevice(ext);
      IoDetachDevice(lower);
      IoDeleteDevice(fdo);
      return status;
    }
    default:
      return PassDown(device, irp);
  }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT fdo, PIRP irp) {
  DeviceExtension *ext = Ext(fdo);
  PKSDEVICE device = &ext->pub;
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
  // Power requests run under the device mutex ("Device Mutex in AVStream").
  M().AcquireMutex(ext->host->mutex, "IRP_MN_SET_POWER");
  if (to == PowerDeviceD0) {
    // Powering up: the bus first, then the minidriver.
    status = ForwardAndWait(device, irp);
    if (dispatch != nullptr && dispatch->SetPower != nullptr)
      sim::CallDriver(dispatch->SetPower, device, irp, to, from);
  } else {
    if (dispatch != nullptr && dispatch->SetPower != nullptr)
      sim::CallDriver(dispatch->SetPower, device, irp, to, from);
    status = ForwardAndWait(device, irp);
  }
  device->DevicePowerState = to;
  M().ReleaseMutex(ext->host->mutex, "IRP_MN_SET_POWER");
  return Complete(irp, status);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  auto it = g_descriptors.find(driver);
  if (it == g_descriptors.end()) return STATUS_INVALID_DEVICE_REQUEST;
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(DeviceExtension), nullptr, 0x2F /* KS */, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  DeviceExtension *ext = Ext(fdo);
  *ext = DeviceExtension{};
  PKSDEVICE device = &ext->pub;
  auto *d = new Device;
  d->kind = Kind::Device;
  d->device = d;
  d->pub = device;
  d->bag = NewBag(d, &d->mutex);
  ext->header = d;
  ext->host = d;
  Register(device, d);
  device->Descriptor = it->second;
  device->Bag = d->bag;
  device->FunctionalDeviceObject = fdo;
  device->PhysicalDeviceObject = pdo;
  device->NextDeviceObject = IoAttachDeviceToDeviceStack(fdo, pdo);
  device->SystemPowerState = PowerSystemWorking;
  device->DevicePowerState = PowerDeviceD0;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  const KSDEVICE_DISPATCH *dispatch = device->Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Add != nullptr) {
    status = sim::CallDriver(dispatch->Add, device);
    CheckBackAtPassive("the device's Add dispatch");
  }
  // Filters the device descriptor declares get their factories, with cached data.
  M().AcquireMutex(d->mutex, "adding a device");
  for (ULONG i = 0; NT_SUCCESS(status) && i < device->Descriptor->FilterDescriptorsCount; ++i) {
    PKSFILTERFACTORY factory = nullptr;
    status = KsCreateFilterFactory(fdo, device->Descriptor->FilterDescriptors[i], nullptr, nullptr,
                                   0, nullptr, nullptr, &factory);
    if (NT_SUCCESS(status)) status = KsFilterFactoryUpdateCacheData(factory, nullptr);
  }
  M().ReleaseMutex(d->mutex, "adding a device");
  if (!NT_SUCCESS(status)) {
    DestroyDevice(ext);
    IoDetachDevice(device->NextDeviceObject);
    IoDeleteDevice(fdo);
    return status;
  }
  return STATUS_SUCCESS;
}

void NTAPI DriverUnload(PDRIVER_OBJECT driver) { g_descriptors.erase(driver); }

}  // namespace

namespace sim::ks {

PKSDEVICE DeviceFromFdo(PDEVICE_OBJECT fdo) {
  if (fdo == nullptr || g_descriptors.count(fdo->DriverObject) == 0) return nullptr;
  return Ext(fdo)->host != nullptr ? &Ext(fdo)->pub : nullptr;
}

AdapterRegistration RegisteredAdapter(PKSDEVICE device) {
  Device *d = DeviceOf(device);
  return {d->adapter, d->maxMappingsByteCount, d->mappingTableStride};
}

}  // namespace sim::ks

namespace sim::ks::host {

Device *DeviceOf(PKSDEVICE device) { return AsDevice(device, "a KS device service"); }

void HandleOpened(Device *device) { ++device->handles; }

void HandleClosed(Device *device) {
  if (device->handles == 0) M().verifier().Stop(Rule::InvalidParameter, "handle count underflow");
  if (--device->handles == 0 && device->surpriseRemoved)
    M().pnp().LastHandleClosed(device->pub->FunctionalDeviceObject);
}

std::string InstancePath(const Device *device) {
  return sim::DeviceInstancePath(device->pub->PhysicalDeviceObject);
}

}  // namespace sim::ks::host

extern "C" {

NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT driver, PUNICODE_STRING,
                                  const KSDEVICE_DESCRIPTOR *descriptor) {
  sim::InSim inSim;
  M().RequireIrql(PASSIVE_LEVEL, __func__);
  if (driver == nullptr || descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  if (descriptor->Version != 0 && descriptor->Version != KSDEVICE_DESCRIPTOR_VERSION &&
      descriptor->Version != KSDEVICE_DESCRIPTOR_VERSION_2)
    return STATUS_INVALID_PARAMETER;
  SeedMediaCategories();
  g_descriptors[driver] = descriptor;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = DriverUnload;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  // The PnP manager asks the class driver about the handles on its devices.
  sim::PnpManager::StackHooks hooks;
  hooks.openHandles = [](PDEVICE_OBJECT fdo) -> size_t {
    PKSDEVICE ks = sim::ks::DeviceFromFdo(fdo);
    return ks != nullptr ? DeviceOf(ks)->handles : 0;
  };
  hooks.closeHandles = [](PDEVICE_OBJECT fdo) {
    if (PKSDEVICE ks = sim::ks::DeviceFromFdo(fdo)) CloseAllForRemoval(DeviceOf(ks));
  };
  M().pnp().SetStackHooks(std::move(hooks));
  return STATUS_SUCCESS;
}

void NTAPI KsAcquireDevice(PKSDEVICE device) {
  sim::InSim inSim;
  M().RequireIrql(APC_LEVEL, __func__);
  M().AcquireMutex(DeviceOf(device)->mutex, __func__);
}

void NTAPI KsReleaseDevice(PKSDEVICE device) {
  sim::InSim inSim;
  M().ReleaseMutex(DeviceOf(device)->mutex, __func__);
}

void NTAPI KsDeviceRegisterAdapterObject(PKSDEVICE device, PADAPTER_OBJECT adapter, ULONG maxBytes,
                                         ULONG stride) {
  sim::InSim inSim;
  M().RequireIrql(PASSIVE_LEVEL, __func__);
  Device *d = DeviceOf(device);
  d->adapter = adapter;
  d->maxMappingsByteCount = maxBytes;
  d->mappingTableStride = stride;
}

PVOID NTAPI KsGetParent(PVOID object) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  Object *o = Lookup(object);
  if (o == nullptr || o->kind == Kind::StreamPointer)
    M().verifier().Stop(Rule::InvalidParameter,
                        std::string(__func__) + ": not a device, filter factory, filter or pin");
  switch (o->kind) {
    case Kind::Factory:
      return o->device->pub;
    case Kind::Filter:
      return &static_cast<Filter *>(o)->factory->pub;
    case Kind::Pin:
      return &static_cast<Pin *>(o)->filter->pub;
    default:
      return nullptr;  // a device has no parent object
  }
}

PKSDEVICE NTAPI KsGetDevice(PVOID object) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  Object *o = Lookup(object);
  if (o == nullptr || o->kind == Kind::StreamPointer)
    M().verifier().Stop(Rule::InvalidParameter,
                        std::string(__func__) + ": not a device, filter factory, filter or pin");
  return o->device->pub;
}

}  // extern "C"
