#include "sim/kernel/sync_annotations.h"
#include "sim/kernel/pnp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sim/kernel/dma.h"
#include "sim/kernel/driver_package.h"
#include "sim/kernel/io.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pci.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/registry.h"

namespace sim {

namespace {

constexpr KIRQL kDeviceIrql = 6;
constexpr char kHklm[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\";

// The PCI bus driver's per-PDO data.
struct PdoExtension {
  PciDevice *device;
  std::string instancePath;
  uint32_t savedHeader[16] = {};  // the type 0 header, kept across D3
  bool lowPower = false;
};

constexpr uint32_t kPmControl = 0x44;  // the card's power management control/status

// Device power as the PCI bus driver does it: the header is saved before D3 and restored
// after D0, when the function comes back from its internal reset (PCI bus power management:
// a function restored from D3hot).
void SetPciPower(PdoExtension *ext, DEVICE_POWER_STATE state) {
  PciDevice *device = ext->device;
  if (state == PowerDeviceD0) {
    if (!ext->lowPower) return;
    ext->lowPower = false;
    device->ConfigWrite32(kPmControl, 0);
    for (uint32_t offset : {0x0Cu, 0x10u, 0x3Cu, 0x04u})
      device->ConfigWrite32(offset, ext->savedHeader[offset / 4]);
    return;
  }
  if (ext->lowPower) return;
  ext->lowPower = true;
  for (uint32_t i = 0; i < 16; ++i) ext->savedHeader[i] = device->ConfigRead32(4 * i);
  device->ConfigWrite32(kPmControl, 3);  // D1 and D2 are not supported: the nearest deeper
}

struct DriverObjectStorage {
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  std::u16string name;
  std::u16string serviceKey;
  UNICODE_STRING hardwareDatabase{};
};

constexpr CSHORT kIoTypeDriver = 4;
constexpr char16_t kHardwareDatabase[] = u"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM";

void SetString(UNICODE_STRING *to, std::u16string &text) {
  to->Buffer = text.data();
  to->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  to->MaximumLength = to->Length;
}

bool g_busAsync = false;

std::vector<uint8_t> MultiString(const std::vector<std::string> &strings) {
  std::vector<uint8_t> data;
  for (const std::string &text : strings) {
    for (char16_t c : Utf8ToUtf16(text)) {
      data.push_back(static_cast<uint8_t>(c));
      data.push_back(static_cast<uint8_t>(c >> 8));
    }
    data.insert(data.end(), {0, 0});
  }
  data.insert(data.end(), {0, 0});
  return data;
}

void CompleteBusIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, 0);
}

NTSTATUS ConfigAccess(PdoExtension *ext, PIO_STACK_LOCATION stack, bool write, ULONG_PTR *done) {
  auto &p = stack->Parameters.ReadWriteConfig;
  if (p.WhichSpace != PCI_WHICHSPACE_CONFIG || p.Buffer == nullptr) return STATUS_INVALID_PARAMETER;
  if (p.Offset >= 256 || p.Length > 256 - p.Offset) return STATUS_INVALID_PARAMETER;
  auto *bytes = static_cast<uint8_t *>(p.Buffer);
  for (ULONG i = 0; i < p.Length; ++i) {
    ULONG at = p.Offset + i;
    uint32_t dword = ext->device->ConfigRead32(at & ~3u);
    unsigned shift = (at & 3u) * 8;
    if (write) {
      // Whole dwords go through as one access; partial ones merge into the current value.
      if ((at & 3u) == 0 && i + 4 <= p.Length) {
        uint32_t v;
        std::memcpy(&v, bytes + i, 4);
        ext->device->ConfigWrite32(at, v);
        i += 3;
        continue;
      }
      dword = (dword & ~(0xFFu << shift)) | (static_cast<uint32_t>(bytes[i]) << shift);
      ext->device->ConfigWrite32(at & ~3u, dword);
    } else {
      bytes[i] = static_cast<uint8_t>(dword >> shift);
    }
  }
  *done = p.Length;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT pdo, PIRP irp) {
  auto *ext = static_cast<PdoExtension *>(pdo->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  ULONG_PTR information = irp->IoStatus.Information;
  if (stack->MajorFunction == IRP_MJ_PNP) {
    switch (stack->MinorFunction) {
      case IRP_MN_READ_CONFIG:
      case IRP_MN_WRITE_CONFIG:
        status =
            ConfigAccess(ext, stack, stack->MinorFunction == IRP_MN_WRITE_CONFIG, &information);
        break;
      case IRP_MN_START_DEVICE:
        SetPciPower(ext, PowerDeviceD0);  // a device starts in D0
        status = STATUS_SUCCESS;
        break;
      case IRP_MN_STOP_DEVICE:
      case IRP_MN_REMOVE_DEVICE:
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_QUERY_STOP_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
      case IRP_MN_CANCEL_STOP_DEVICE:
      case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
      default:
        break;  // a bus driver leaves requests it does not handle as they are
    }
  } else if (stack->MajorFunction == IRP_MJ_POWER) {
    if (stack->MinorFunction == IRP_MN_SET_POWER &&
        stack->Parameters.Power.Type == DevicePowerState)
      SetPciPower(ext, stack->Parameters.Power.State.DeviceState);
    status = STATUS_SUCCESS;
  } else {
    status = STATUS_INVALID_DEVICE_REQUEST;
  }
  if (g_busAsync) {
    IoMarkIrpPending(irp);
    Machine::Current().At(Machine::Current().now() + 2 * kMicrosecond,
                          [irp, status, information] { CompleteBusIrp(irp, status, information); });
    return STATUS_PENDING;
  }
  CompleteBusIrp(irp, status, information);
  return status;
}

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

struct PnpManager::Impl {
  Machine &machine;
  DriverObjectStorage busDriver;
  std::unique_ptr<DriverObjectStorage> driver;
  std::string serviceName;
  std::u16string registryPath;
  std::vector<std::unique_ptr<Card>> cards;
  std::vector<std::unique_ptr<PdoExtension>> extensions;
  unsigned nextInstance = 0;
  std::vector<DriverPackage> store;              // the driver store
  const DriverPackage *driverPackage = nullptr;  // the one the loaded driver came from
  std::string lastError;
  StackHooks hooks;
  std::vector<std::unique_ptr<Card>> removed;  // kept for whoever still holds them
  std::string lastVeto;

  explicit Impl(Machine &m) : machine(m) {
    busDriver.object.DriverExtension = &busDriver.extension;
    busDriver.extension.DriverObject = &busDriver.object;
    busDriver.object.MajorFunction[IRP_MJ_PNP] = BusDispatch;
    busDriver.object.MajorFunction[IRP_MJ_POWER] = BusDispatch;
  }

  // Sends a PnP or power request to the top of the card's stack and waits for it.
  NTSTATUS Send(Card &card, UCHAR major, UCHAR minor,
                const std::function<void(PIO_STACK_LOCATION)> &fill) {
    machine.RequireIrql(PASSIVE_LEVEL, "the PnP manager");
    PDEVICE_OBJECT top = card.pdo;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (fill) fill(next);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(top, irp);
    if (status == STATUS_PENDING)
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
  }

  void WriteServiceEnum() {
    std::string key = std::string(kHklm) + "Services\\" + serviceName + "\\Enum";
    Registry &r = machine.registry();
    for (const std::string &name : r.ValueNames(key)) r.DeleteValue(key, name);
    r.CreateKey(key);
    uint32_t n = 0;
    for (const auto &c : cards)
      if (c->service == serviceName) r.SetString(key, std::to_string(n++), c->instancePath);
    r.SetDword(key, "Count", n);
    r.SetDword(key, "NextInstance", n);
  }
};

PnpManager::PnpManager(Machine &machine) : impl_(std::make_unique<Impl>(machine)) {
  g_busAsync = false;
  std::string error;
  if (!SetDriverPackages(BuiltInDriverPackages(), &error)) impl_->lastError = error;
}

bool PnpManager::SetDriverPackages(const std::vector<std::pair<std::string, std::string>> &infs,
                                   std::string *error) {
  Impl &s = *impl_;
  if (s.driver) {
    if (error != nullptr) *error = "the driver store cannot change while a driver is loaded";
    return false;
  }
  std::vector<DriverPackage> store;
  for (const auto &[name, text] : infs) {
    std::optional<DriverPackage> package = DriverPackage::Load(name, text, error);
    if (!package) return false;
    store.push_back(std::move(*package));
  }
  s.store = std::move(store);
  return true;
}

const std::string &PnpManager::lastError() const { return impl_->lastError; }

PnpManager::~PnpManager() {
  // Quiet teardown of whatever a scenario left behind.
  for (auto &c : impl_->cards) {
    if (c->pdo != nullptr && IsLiveDeviceObject(c->pdo)) {
      c->pdo->AttachedDevice = nullptr;
      c->pdo->ReferenceCount = 0;
    }
  }
}

NTSTATUS PnpManager::LoadDriver(const DriverCode &code, const std::string &serviceName) {
  Impl &s = *impl_;
  s.machine.RequireIrql(PASSIVE_LEVEL, "the PnP manager");
  if (s.driver) return STATUS_OBJECT_NAME_COLLISION;
  // The service key comes from the package that installs the service, as at the first
  // installation of one of its devices; without one there is no service to load.
  s.driverPackage = nullptr;
  for (const DriverPackage &p : s.store)
    for (const std::string &service : p.Services())
      if (service == serviceName && s.driverPackage == nullptr) s.driverPackage = &p;
  if (s.driverPackage == nullptr) {
    s.lastError = "no driver package in the store installs the service " + serviceName;
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  if (!s.driverPackage->InstallService(s.machine.registry(), serviceName, &s.lastError)) {
    s.driverPackage = nullptr;
    return STATUS_UNSUCCESSFUL;
  }
  s.serviceName = serviceName;
  if (code.module) s.machine.KeepUntilGone(code.module);
  auto d = std::make_unique<DriverObjectStorage>();
  d->object.Type = kIoTypeDriver;
  d->object.Size = sizeof(DRIVER_OBJECT);
  d->object.DriverStart = code.start;
  d->object.DriverSize = code.size;
  d->object.DriverExtension = &d->extension;
  d->extension.DriverObject = &d->object;
  d->serviceKey = Utf8ToUtf16(serviceName);
  SetString(&d->extension.ServiceKeyName, d->serviceKey);
  std::string path = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
  s.registryPath = Utf8ToUtf16(path);
  UNICODE_STRING regPath;
  SetString(&regPath, s.registryPath);
  d->name = u"\\Driver\\" + Utf8ToUtf16(serviceName);
  SetString(&d->object.DriverName, d->name);
  d->hardwareDatabase.Buffer = const_cast<PWSTR>(kHardwareDatabase);
  d->hardwareDatabase.Length = static_cast<USHORT>(sizeof(kHardwareDatabase) - sizeof(WCHAR));
  d->hardwareDatabase.MaximumLength = d->hardwareDatabase.Length;
  d->object.HardwareDatabase = &d->hardwareDatabase;
  d->object.DriverInit = code.entry;
  NTSTATUS status = CallDriver(code.entry, &d->object, &regPath);
  if (!NT_SUCCESS(status)) {
    s.driverPackage = nullptr;
    return status;
  }
  s.driver = std::move(d);
  return status;
}

void PnpManager::UnloadDriver() {
  Impl &s = *impl_;
  if (!s.driver) return;
  for (auto &c : s.cards)
    if (c->fdo != nullptr)
      s.machine.verifier().Stop(Rule::InvalidParameter,
                                "driver unloaded while it still has devices");
  if (s.driver->object.DriverUnload != nullptr) s.driver->object.DriverUnload(&s.driver->object);
  s.driver.reset();
  s.driverPackage = nullptr;
  s.machine.pool().CheckNoLeaks("the driver");
}

PDRIVER_OBJECT PnpManager::driverObject() const {
  return impl_->driver ? &impl_->driver->object : nullptr;
}

NTSTATUS PnpManager::AddCard(PciDevice *device, Card **out) {
  Impl &s = *impl_;
  s.machine.RequireIrql(PASSIVE_LEVEL, "the PnP manager");
  if (!s.driver) return STATUS_INVALID_DEVICE_STATE;
  s.machine.AttachPciDevice(device);
  auto card = std::make_unique<Card>();
  card->device = device;
  // The bus driver's identifiers for the function, from its configuration space.
  PciIdentity identity;
  const uint32_t ids = device->ConfigRead32(0);
  const uint32_t classRevision = device->ConfigRead32(0x08);
  const uint32_t subsys = device->ConfigRead32(0x2C);
  identity.vendor = static_cast<uint16_t>(ids);
  identity.device = static_cast<uint16_t>(ids >> 16);
  identity.revision = static_cast<uint8_t>(classRevision);
  identity.classCode = classRevision >> 8;
  identity.subsystemVendor = static_cast<uint16_t>(subsys);
  identity.subsystem = static_cast<uint16_t>(subsys >> 16);
  char location[32];
  std::snprintf(location, sizeof location, "\\4&2d5b8c1&0&%02X%02X", (s.nextInstance + 1) * 8, 0);
  ++s.nextInstance;
  const std::vector<std::string> hardwareIds = identity.HardwareIds();
  const std::vector<std::string> compatibleIds = identity.CompatibleIds();
  card->instancePath = hardwareIds[0] + location;
  auto ext = std::make_unique<PdoExtension>(PdoExtension{device, card->instancePath});
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = IoCreateDevice(&s.busDriver.object, 0, nullptr, 0x22, 0, FALSE, &pdo);
  if (!NT_SUCCESS(status)) return status;
  pdo->DeviceExtension = ext.get();
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  card->pdo = pdo;
  s.extensions.push_back(std::move(ext));
  Registry &r = s.machine.registry();
  const std::string key = std::string(kHklm) + "Enum\\" + card->instancePath;
  r.SetValue(key, "HardwareID", REG_MULTI_SZ, MultiString(hardwareIds));
  r.SetValue(key, "CompatibleIDs", REG_MULTI_SZ, MultiString(compatibleIds));
  Card *raw = card.get();
  s.cards.push_back(std::move(card));
  if (out != nullptr) *out = raw;

  // The best driver for the function in the store, installed as the platform's setup does.
  std::vector<std::string> ranked = hardwareIds;
  ranked.insert(ranked.end(), compatibleIds.begin(), compatibleIds.end());
  std::optional<DriverPackage::Match> match;
  const DriverPackage *package = nullptr;
  for (const DriverPackage &p : s.store)
    if (!match && (match = p.FindDevice(ranked))) package = &p;
  if (!match || match->service != s.serviceName) {
    s.lastError = "no driver package for " + raw->instancePath +
                  (match ? " runs it under the loaded driver" : "");
    s.WriteServiceEnum();
    return STATUS_NO_SUCH_DEVICE;
  }
  if (!package->InstallDevice(r, *match, raw->instancePath, &s.lastError)) {
    s.WriteServiceEnum();
    return STATUS_UNSUCCESSFUL;
  }
  raw->service = match->service;
  s.WriteServiceEnum();
  PDRIVER_ADD_DEVICE add = s.driver->extension.AddDevice;
  if (add == nullptr) return STATUS_NOT_SUPPORTED;
  status = add(&s.driver->object, pdo);
  if (NT_SUCCESS(status)) raw->fdo = pdo->AttachedDevice;
  return status;
}

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> PnpManager::DefaultResources(const Card &card) const {
  CM_PARTIAL_RESOURCE_DESCRIPTOR mem{};
  mem.Type = CmResourceTypeMemory;
  mem.ShareDisposition = CmResourceShareDeviceExclusive;
  mem.u.Memory.Start.QuadPart = static_cast<LONGLONG>(card.device->windowBase());
  mem.u.Memory.Length = card.device->WindowLength();
  CM_PARTIAL_RESOURCE_DESCRIPTOR irq{};
  irq.Type = CmResourceTypeInterrupt;
  irq.ShareDisposition = CmResourceShareShared;
  irq.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
  irq.u.Interrupt.Level = kDeviceIrql;
  irq.u.Interrupt.Vector = card.device->vector();
  // Any processor may take the line.
  irq.u.Interrupt.Affinity = impl_->machine.activeProcessors();
  return {mem, irq};
}

NTSTATUS PnpManager::StartCard(Card &card, const ResourceSpec &resources) {
  if (card.fdo == nullptr || card.removed || card.surpriseRemoved) return STATUS_NO_SUCH_DEVICE;
  auto descriptors = resources.descriptors.empty() ? DefaultResources(card) : resources.descriptors;
  const size_t count = descriptors.size();
  // The descriptors run past the declared one-element array: place them by offset.
  constexpr size_t kFirst =
      offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors);
  constexpr size_t kEach = sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
  std::vector<uint8_t> storage(kFirst + std::max<size_t>(count, 1) * kEach);
  auto *list = reinterpret_cast<PCM_RESOURCE_LIST>(storage.data());
  list->Count = 1;
  list->List[0].InterfaceType = PCIBus;
  list->List[0].PartialResourceList.Version = 1;
  list->List[0].PartialResourceList.Revision = 1;
  list->List[0].PartialResourceList.Count = static_cast<ULONG>(count);
  for (size_t i = 0; i < count; ++i)
    std::memcpy(&storage[kFirst + i * kEach], &descriptors[i], kEach);
  // The raw list differs from the translated one only in the interrupt's numbers.
  std::vector<uint8_t> rawStorage = storage;
  auto *raw = reinterpret_cast<PCM_RESOURCE_LIST>(rawStorage.data());
  auto *rawDescriptors =
      reinterpret_cast<CM_PARTIAL_RESOURCE_DESCRIPTOR *>(rawStorage.data() + kFirst);
  for (size_t i = 0; i < count; ++i) {
    auto &d = rawDescriptors[i];
    if (d.Type == CmResourceTypeInterrupt) {
      d.u.Interrupt.Level = 16 + static_cast<ULONG>(i);
      d.u.Interrupt.Vector = 16 + static_cast<ULONG>(i);
    }
  }
  NTSTATUS status = impl_->Send(card, IRP_MJ_PNP, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION s) {
    s->Parameters.StartDevice.AllocatedResources = resources.absent ? nullptr : raw;
    s->Parameters.StartDevice.AllocatedResourcesTranslated = resources.absent ? nullptr : list;
  });
  card.started = NT_SUCCESS(status);
  return status;
}

NTSTATUS PnpManager::SetCardPower(Card &card, DEVICE_POWER_STATE state) {
  if (card.fdo == nullptr || card.removed) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = impl_->Send(card, IRP_MJ_POWER, IRP_MN_SET_POWER, [&](PIO_STACK_LOCATION s) {
    s->Parameters.Power.Type = DevicePowerState;
    s->Parameters.Power.State.DeviceState = state;
  });
  if (NT_SUCCESS(status)) card.power = state;
  return status;
}

namespace {

// What a stack must have given back once its stop or removal completed ("Handling an
// IRP_MN_STOP_DEVICE Request": release the hardware resources).
void CheckReleased(Machine &m, const PnpManager::Card &card, bool soleCard, const char *when) {
  const std::string at = std::string(" after ") + when;
  if (m.connectedInterrupts(card.device->vector()) != 0 ||
      (soleCard && m.connectedInterrupts() != 0))
    m.verifier().Stop(Rule::ResourceLeak, "interrupt still connected" + at);
  if (m.dma().liveCommonBuffers(card.pdo) != 0)
    m.verifier().Stop(Rule::ResourceLeak, "common buffers still allocated" + at);
  if (m.dma().liveAdapters(card.pdo) != 0 || (soleCard && m.dma().liveAdapters() != 0))
    m.verifier().Stop(Rule::ResourceLeak, "DMA adapter still held" + at);
  if (m.liveMappings(card.device) != 0)
    m.verifier().Stop(Rule::ResourceLeak, "register block still mapped" + at);
}

}  // namespace

NTSTATUS PnpManager::QueryStopCard(Card &card) {
  if (card.fdo == nullptr || card.removed) return STATUS_NO_SUCH_DEVICE;
  return impl_->Send(card, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, nullptr);
}

NTSTATUS PnpManager::CancelStopCard(Card &card) {
  if (card.fdo == nullptr || card.removed) return STATUS_NO_SUCH_DEVICE;
  return impl_->Send(card, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE, nullptr);
}

NTSTATUS PnpManager::StopCard(Card &card) {
  if (card.fdo == nullptr || card.removed) return STATUS_NO_SUCH_DEVICE;
  // A stop comes only after a query-stop the whole stack agreed to ("Stopping a Device to
  // Rebalance Resources"); a refusal is cancelled, as for the stacks above the one refusing.
  NTSTATUS status = QueryStopCard(card);
  if (!NT_SUCCESS(status)) {
    CancelStopCard(card);
    return status;
  }
  status = impl_->Send(card, IRP_MJ_PNP, IRP_MN_STOP_DEVICE, nullptr);
  card.started = false;
  CheckReleased(impl_->machine, card, false, "IRP_MN_STOP_DEVICE");
  return status;
}

NTSTATUS PnpManager::RebalanceCard(Card &card) {
  NTSTATUS status = StopCard(card);
  if (!NT_SUCCESS(status)) return status;
  impl_->machine.MovePciWindow(card.device);
  status = StartCard(card);
  // "The driver stack successfully completes an IRP_MN_STOP_DEVICE request but then fails
  // a subsequent IRP_MN_START_DEVICE request": the PnP manager surprise-removes it.
  if (!NT_SUCCESS(status)) {
    impl_->lastError = "the card did not start again after the rebalance";
    SurpriseRemoveCard(card);
  }
  return status;
}

NTSTATUS PnpManager::QueryRemoveCard(Card &card) {
  if (card.fdo == nullptr || card.removed) return STATUS_NO_SUCH_DEVICE;
  return impl_->Send(card, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, nullptr);
}

NTSTATUS PnpManager::CancelRemoveCard(Card &card) {
  if (card.fdo == nullptr || card.removed) return STATUS_NO_SUCH_DEVICE;
  return impl_->Send(card, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr);
}

NTSTATUS PnpManager::RemoveCard(Card &card, OpenHandles handles) {
  Impl &s = *impl_;
  s.lastVeto.clear();
  if (card.removed) return STATUS_SUCCESS;
  if (card.fdo != nullptr && !card.surpriseRemoved) {
    // Applications are told first; a handle still open vetoes the removal (the platform's
    // PNP_VetoOutstandingOpen) before any driver is asked.
    if (handles == OpenHandles::ClosedByClients && s.hooks.closeHandles)
      s.hooks.closeHandles(card.fdo);
    if (s.hooks.openHandles && s.hooks.openHandles(card.fdo) != 0) {
      s.lastVeto = "PNP_VetoOutstandingOpen";
      return STATUS_PLUGPLAY_QUERY_VETOED;
    }
    NTSTATUS status = QueryRemoveCard(card);
    if (!NT_SUCCESS(status)) {
      CancelRemoveCard(card);
      s.lastVeto = "PNP_VetoDevice";
      return STATUS_PLUGPLAY_QUERY_VETOED;
    }
  } else if (card.fdo != nullptr && handles == OpenHandles::ClosedByClients &&
             s.hooks.closeHandles) {
    s.hooks.closeHandles(card.fdo);
  }
  return FinishRemoval(card);
}

NTSTATUS PnpManager::SurpriseRemoveCard(Card &card) {
  Impl &s = *impl_;
  if (card.removed || card.surpriseRemoved) return STATUS_SUCCESS;
  // The card is gone from the bus first; the stack learns it afterwards, whatever it was
  // doing ("The device can be in any PnP state when the PnP manager sends this IRP").
  card.device->Unplug();
  if (card.fdo == nullptr) return FinishRemoval(card);
  card.surpriseRemoved = true;
  NTSTATUS status = s.Send(card, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, nullptr);
  card.started = false;
  if (!s.hooks.openHandles || s.hooks.openHandles(card.fdo) == 0) FinishRemoval(card);
  return status;
}

void PnpManager::LastHandleClosed(PDEVICE_OBJECT fdo) {
  Impl &s = *impl_;
  for (const auto &c : s.cards) {
    if (c->fdo != fdo || !c->surpriseRemoved || c->removed) continue;
    Card *card = c.get();
    s.machine.QueuePassiveWork([this, card] {
      if (!card->removed && !card->removing) FinishRemoval(*card);
    });
    return;
  }
}

NTSTATUS PnpManager::FinishRemoval(Card &card) {
  Impl &s = *impl_;
  if (card.removing) {
    // Another thread removes it (the last handle's close): this one waits for the end.
    s.machine.RunUntil([&card] { return card.removed; }, s.machine.now() + kSecond);
    return STATUS_SUCCESS;
  }
  card.removing = true;
  NTSTATUS status = STATUS_SUCCESS;
  if (card.fdo != nullptr) {
    status = s.Send(card, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
    card.fdo = nullptr;
  }
  card.started = false;
  card.removed = true;
  // What the card's driver held must be gone with its stack.
  CheckReleased(s.machine, card, s.cards.size() == 1, "removal");
  IoDeleteDevice(card.pdo);
  card.pdo = nullptr;
  s.machine.DetachPciDevice(card.device);
  for (auto it = s.cards.begin(); it != s.cards.end(); ++it)
    if (it->get() == &card) {
      s.removed.push_back(std::move(*it));
      s.cards.erase(it);
      break;
    }
  s.WriteServiceEnum();
  return status;
}

const std::vector<std::unique_ptr<PnpManager::Card>> &PnpManager::cards() const {
  return impl_->cards;
}

const std::string &PnpManager::lastVeto() const { return impl_->lastVeto; }

void PnpManager::SetStackHooks(StackHooks hooks) { impl_->hooks = std::move(hooks); }

void PnpManager::SetBusCompletesAsynchronously(bool on) { g_busAsync = on; }

std::string DeviceInstancePath(PDEVICE_OBJECT pdo) {
  Machine *m = Machine::CurrentOrNull();
  if (m == nullptr || pdo == nullptr) return {};
  for (const auto &c : m->pnp().cards())
    if (c->pdo == pdo) return c->instancePath;
  return {};
}

}  // namespace sim
