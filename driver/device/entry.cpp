// Driver entry and the device callbacks the kernel-streaming host calls per card:
// Add, Start, Stop and SetPower, with the hardware resources they acquire and release.
#include "decoder/decoder.h"
#include "device/device.h"
#include "filters/filters.h"
#include "video/formats.h"

NTSTATUS NTAPI DispatchStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                             PCM_RESOURCE_LIST untranslated);
void NTAPI DispatchStop(PKSDEVICE device, PIRP irp);
void NTAPI DispatchSetPower(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to,
                            DEVICE_POWER_STATE from);
void NTAPI DispatchSurpriseRemoval(PKSDEVICE device, PIRP irp);
NTSTATUS AccessPciConfig(PDEVICE_OBJECT device, BOOLEAN write, PVOID buffer, ULONG offset);

namespace {

void NTAPI FreeDeviceContext(PVOID context) { ExFreePoolWithTag(context, kTagDevice); }

const KSDEVICE_DISPATCH kDeviceDispatch = {
    DispatchAdd,              // Add
    DispatchStart,            // Start
    nullptr,                  // PostStart
    nullptr,                  // QueryStop
    nullptr,                  // CancelStop
    DispatchStop,             // Stop
    nullptr,                  // QueryRemove
    nullptr,                  // CancelRemove
    nullptr,                  // Remove
    nullptr,                  // QueryCapabilities
    DispatchSurpriseRemoval,  // SurpriseRemoval
    nullptr,                  // QueryPower
    DispatchSetPower,         // SetPower
    nullptr,                  // QueryInterface
};

const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 0, nullptr,
                                               KSDEVICE_DESCRIPTOR_VERSION, 0};

NTSTATUS NTAPI SignalProbeDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Reads the whole configuration space through the device stack once: proves the bus
// answers before the dword accesses below rely on it.
NTSTATUS ProbeConfigurationSpace(PDEVICE_OBJECT fdo) {
  PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  UCHAR config[256];
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_READ_CONFIG;
  next->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
  next->Parameters.ReadWriteConfig.Buffer = config;
  next->Parameters.ReadWriteConfig.Offset = 0;
  next->Parameters.ReadWriteConfig.Length = sizeof(config);
  IoSetCompletionRoutine(irp, SignalProbeDone, &done, TRUE, TRUE, TRUE);
  // A bus that does not handle the request leaves the status as it finds it.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  NTSTATUS status = IoCallDriver(fdo, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  IoFreeIrp(irp);
  return status;
}

NTSTATUS ClearConfigBits(PDEVICE_OBJECT fdo, ULONG offset, ULONG bits) {
  ULONG value = 0;
  // Written back only from what was read: a failed read would otherwise write zeros (at
  // 0x04: decoding and bus mastering off).
  NTSTATUS status = AccessPciConfig(fdo, FALSE, &value, offset);
  if (!NT_SUCCESS(status)) return status;
  value &= ~bits;
  return AccessPciConfig(fdo, TRUE, &value, offset);
}

// 0x50 and 0xAC are the card's own configuration bits, cleared as its bring-up has it: at
// every start, and after D3 too (the card sets them again at every power-up, and the bus
// driver restores only the standard header).
void ClearVendorConfigBits(PDEVICE_OBJECT fdo, bool withCommand) {
  ClearConfigBits(fdo, 0x50, 1u << 16);
  if (withCommand)
    ClearConfigBits(fdo, 0x04, 1u << 10);  // Interrupt Disable: let the line interrupt through
  ClearConfigBits(fdo, 0xAC, 1u << 31);
}

NTSTATUS ConfigurePciFunction(CCaptureDevice *d) {
  PDEVICE_OBJECT fdo = d->ksDevice->FunctionalDeviceObject;
  if (!NT_SUCCESS(ProbeConfigurationSpace(fdo))) return STATUS_UNSUCCESSFUL;
  d->interruptContext = d->ksDevice;
  ClearVendorConfigBits(fdo, true);
  ULONG ids = 0;
  AccessPciConfig(fdo, FALSE, &ids, 0x00);
  d->isDevice6864 = (ids & 0xFFFF0000) == 0x68640000;
  return STATUS_SUCCESS;
}

// The card needs one register window of at least the block's size and one line
// interrupt; anything else is refused before anything is mapped.
NTSTATUS ParseResources(CCaptureDevice *d, PCM_RESOURCE_LIST translated,
                        const CM_PARTIAL_RESOURCE_DESCRIPTOR **memory) {
  if (translated == nullptr || translated->Count == 0) return STATUS_UNSUCCESSFUL;
  const CM_PARTIAL_RESOURCE_LIST &list = translated->List[0].PartialResourceList;
  // The descriptors run past the declared one-element array.
  const CM_PARTIAL_RESOURCE_DESCRIPTOR *descriptors = list.PartialDescriptors;
  ULONG memoryRanges = 0;
  bool haveInterrupt = false;
  for (ULONG i = 0; i < list.Count; ++i) {
    const CM_PARTIAL_RESOURCE_DESCRIPTOR &r = descriptors[i];
    if (r.Type == CmResourceTypeInterrupt) {
      // The mode is the latched bit; other flags (a wake hint, a policy) say nothing about
      // the line. A message-signalled interrupt is no line interrupt.
      if (r.Flags & CM_RESOURCE_INTERRUPT_MESSAGE) return STATUS_UNSUCCESSFUL;
      d->interruptMode = (r.Flags & CM_RESOURCE_INTERRUPT_LATCHED) ? Latched : LevelSensitive;
      d->interruptVector = r.u.Interrupt.Vector;
      d->interruptIrql = d->interruptSyncIrql = static_cast<KIRQL>(r.u.Interrupt.Level & 0xFF);
      d->interruptAffinity = r.u.Interrupt.Affinity;
      d->interruptShared = r.ShareDisposition == CmResourceShareShared;
      haveInterrupt = true;
    } else if (r.Type == CmResourceTypeMemory) {
      ++memoryRanges;
      *memory = &r;
    }
  }
  if (memoryRanges != 1 || (*memory)->u.Memory.Length < kRegisterBlockSize || !haveInterrupt)
    return STATUS_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}

NTSTATUS AllocateCommonBuffers(CCaptureDevice *d) {
  PALLOCATE_COMMON_BUFFER allocate = d->dmaAdapter->DmaOperations->AllocateCommonBuffer;
  for (ULONG c = 0; c < kVideoChannels; ++c) {
    for (ULONG b = 0; b < kVideoBuffersPerChannel; ++b) {
      d->videoBufferSizes[c][b] = kVideoBufferSize;
      d->videoBuffers[c][b] =
          allocate(d->dmaAdapter, kVideoBufferSize, &d->videoBufferAddresses[c][b], FALSE);
      if (d->videoBuffers[c][b] == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  for (ULONG p = 0; p < kAudioBuffers; ++p) {
    d->audioBuffers[p] =
        allocate(d->dmaAdapter, kAudioBufferSize, &d->audioBufferAddresses[p], FALSE);
    if (d->audioBuffers[p] == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(d->audioBuffers[p], kAudioBufferSize);
  }
  return STATUS_SUCCESS;
}

}  // namespace

ULONG WriteRegisterAndFlush(CCaptureDevice *d, ULONG offset, ULONG value, ULONG readBacks) {
  WriteRegister(d, offset, value);
  KeMemoryBarrier();
  ULONG last = value;
  for (ULONG i = 0; i < readBacks; ++i) last = ReadRegister(d, offset);
  return last;
}

NTSTATUS NTAPI DispatchAdd(PKSDEVICE device) {
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  auto *d = static_cast<CCaptureDevice *>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CCaptureDevice), kTagDevice));
  if (d == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(d, sizeof(*d));
  d->ksDevice = device;
  d->powerState = PowerDeviceD0;
  d->watchdogPeriod = kWatchdogInitialPeriod;
  // The pins of this card's factories point at these lists from the first Start on.
  for (ULONG n = 0; n < kVideoChannels; ++n) ResetChannelFormats(d, n);
  KeInitializeDpc(&d->watchdogDpc, WatchdogDpc, d);
  KeInitializeEvent(&d->watchdogStoppedEvent, SynchronizationEvent, FALSE);
  KeInitializeTimer(&d->watchdogTimer);
  KeInitializeEvent(&d->guardDrained, NotificationEvent, FALSE);
  KeInitializeEvent(&d->guardIdle, NotificationEvent, TRUE);
  d->hardwareState = kHardwareAbsent;

  // The device's bag needs the device mutex, which the class driver does not hold in Add
  // (it does in Start, where taking it again would deadlock).
  KsAcquireDevice(device);
  NTSTATUS status = KsAddItemToObjectBag(device->Bag, d, FreeDeviceContext);
  KsReleaseDevice(device);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(d, kTagDevice);
    return status;
  }
  device->Context = d;
  return status;
}

namespace {

// Maps, configures, initialises and allocates what a start takes; every failure gives back
// what was taken and says why.
NTSTATUS AcquireHardware(CCaptureDevice *d, PKSDEVICE device, PCM_RESOURCE_LIST translated) {
  const CM_PARTIAL_RESOURCE_DESCRIPTOR *memory = nullptr;
  if (!NT_SUCCESS(ParseResources(d, translated, &memory))) return STATUS_UNSUCCESSFUL;
  d->registers = static_cast<volatile ULONG *>(
      MmMapIoSpace(memory->u.Memory.Start, memory->u.Memory.Length, MmNonCached));
  if (d->registers == nullptr) {
    d->registersLength = 0;
    return STATUS_UNSUCCESSFUL;
  }
  d->registersLength = memory->u.Memory.Length;

  if (!NT_SUCCESS(ConfigurePciFunction(d))) {
    ReleaseHardware(d);
    return STATUS_UNSUCCESSFUL;
  }
  (void)ReadRegister(d, INT_STATUS);  // clear whatever the card latched before we owned it
  InitializeCard(d);
  NTSTATUS status = CreateFilterFactories(d, device);
  if (!NT_SUCCESS(status)) {
    ReleaseHardware(d);
    return status;
  }

  DEVICE_DESCRIPTION description;
  RtlZeroMemory(&description, sizeof(description));
  description.Version = DEVICE_DESCRIPTION_VERSION;
  description.Master = TRUE;
  description.ScatterGather = FALSE;
  description.DemandMode = FALSE;
  description.AutoInitialize = FALSE;
  description.Dma32BitAddresses = TRUE;
  description.IgnoreCount = FALSE;
  description.Dma64BitAddresses = FALSE;
  description.BusNumber = 0;
  description.DmaChannel = 0xFFFFFFFF;
  description.InterfaceType = PCIBus;
  description.DmaWidth = Width32Bits;
  description.DmaSpeed = Compatible;
  description.MaximumLength = 0x2000000;
  description.DmaPort = 0;
  ULONG mapRegisters = 0;
  d->dmaAdapter = IoGetDmaAdapter(device->PhysicalDeviceObject, &description, &mapRegisters);
  if (d->dmaAdapter == nullptr) {
    ReleaseHardware(d);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  d->enabledMask = d->runningMask = d->restartMask = 0;
  if (!NT_SUCCESS(AllocateCommonBuffers(d))) {
    ReleaseHardware(d);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KsDeviceRegisterAdapterObject(device, d->dmaAdapter, 0x2000000, 16);
  KeInitializeDpc(&d->interruptDpc, InterruptDpc, device);
  for (ULONG n = 0; n < kVideoChannels; ++n) {
    // A channel whose pin stays open across a stop keeps the standard its pin was made for.
    if (d->videoStreams[n] != nullptr) continue;
    ResetChannelFormats(d, n);
    d->channelVideo[n].videoStandard = KS_AnalogVideo_NTSC_M;
  }
  return status;
}

}  // namespace

NTSTATUS NTAPI DispatchStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST translated,
                             PCM_RESOURCE_LIST) {
  CCaptureDevice *d = DeviceContext(device);
  BeginTransition(d);
  if (d->hardwareState == kHardwareStarted) {
    // A start of a started card: the first set goes before the new one comes, with the
    // channels stopped and recorded as for a stop.
    SuspendChannels(d, HardwareUsable(d));
    ReleaseHardware(d);
    d->hardwareState = kHardwareAbsent;
  }
  NTSTATUS status = d->hardwareState == kHardwareRemoved ? STATUS_DEVICE_REMOVED
                                                         : AcquireHardware(d, device, translated);
  if (NT_SUCCESS(status)) {
    d->hardwareState = kHardwareStarted;
    // The bus gives a started card power.
    AtomicWrite(reinterpret_cast<volatile ULONG *>(&d->powerState), PowerDeviceD0);
    // The pins that stayed open across a stop get their channels back.
    if (PowerState(d) == PowerDeviceD0) status = RestoreChannels(d);
    if (!NT_SUCCESS(status)) {
      SuspendChannels(d, true);
      ReleaseHardware(d);
      d->hardwareState = kHardwareAbsent;
    }
  }
  // A card that did not start publishes no filters.
  if (!NT_SUCCESS(status)) DeleteFilterFactories(d);
  EndTransition(d);
  return status;
}

void NTAPI DispatchStop(PKSDEVICE device, PIRP) {
  CCaptureDevice *d = DeviceContext(device);
  BeginTransition(d);
  // Nothing may run on what goes: the card's channels stop (and are started again at the
  // next start) before its buffers and its registers are given back.
  if (d->hardwareState == kHardwareStarted) {
    SuspendChannels(d, HardwareUsable(d));
    d->hardwareState = kHardwareAbsent;
  }
  ReleaseHardware(d);
  EndTransition(d);
}

void NTAPI DispatchSurpriseRemoval(PKSDEVICE device, PIRP) {
  CCaptureDevice *d = DeviceContext(device);
  BeginTransition(d);
  // The card is gone: not one more access to it. Every stream stops for good; what was
  // held is given back now rather than when the last handle closes.
  if (d->hardwareState == kHardwareStarted) SuspendChannels(d, false);
  d->hardwareState = kHardwareRemoved;
  AtomicWrite(&d->suspendedMask, 0);
  AtomicWrite(&d->deferredStartMask, 0);
  ReleaseHardware(d);
  EndTransition(d);
}

void NTAPI DispatchSetPower(PKSDEVICE device, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE) {
  CCaptureDevice *d = DeviceContext(device);
  BeginTransition(d);
  DEVICE_POWER_STATE from = PowerState(d);
  if (to != PowerDeviceD0 && from == PowerDeviceD0) {
    // The card loses everything in D3: its channels stop first, and the watchdog leaves it
    // alone until it is back.
    if (d->hardwareState == kHardwareStarted) SuspendChannels(d, true);
    AtomicWrite(reinterpret_cast<volatile ULONG *>(&d->powerState), static_cast<ULONG>(to));
  } else if (to == PowerDeviceD0 && from != PowerDeviceD0) {
    AtomicWrite(reinterpret_cast<volatile ULONG *>(&d->powerState), static_cast<ULONG>(to));
    // Back in its power-up state: initialised, its pins' channels programmed again, and
    // what ran or was to start started. A stopped card is not touched (its next start does
    // all of it).
    if (d->hardwareState == kHardwareStarted) {
      ClearVendorConfigBits(d->ksDevice->FunctionalDeviceObject, false);
      InitializeCard(d);
      RestoreChannels(d);
    }
  } else {
    AtomicWrite(reinterpret_cast<volatile ULONG *>(&d->powerState), static_cast<ULONG>(to));
  }
  EndTransition(d);
}

NTSTATUS AccessPciConfig(PDEVICE_OBJECT device, BOOLEAN write, PVOID buffer, ULONG offset) {
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &ioStatus);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MinorFunction = write ? IRP_MN_WRITE_CONFIG : IRP_MN_READ_CONFIG;
  next->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
  next->Parameters.ReadWriteConfig.Buffer = buffer;
  next->Parameters.ReadWriteConfig.Offset = offset;
  next->Parameters.ReadWriteConfig.Length = 4;
  NTSTATUS status = IoCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = ioStatus.Status;
  }
  ObDereferenceObject(top);
  return status;
}

NTSTATUS ConnectInterrupt(CCaptureDevice *d) {
  // Pin creations on different filters run at once: exactly one of them connects, and the
  // others wait to learn whether it did. A failure leaves the object null and the next pin
  // creation tries again.
  for (;;) {
    LONG state = InterlockedCompareExchange(&d->interruptConnection, kInterruptConnecting,
                                            kInterruptNotConnected);
    if (state == kInterruptConnected) return STATUS_SUCCESS;
    if (state == kInterruptNotConnected) break;
    LARGE_INTEGER pause;
    pause.QuadPart = -10;  // 1 us: the other creation is inside IoConnectInterrupt
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
  }
  PKINTERRUPT object = nullptr;
  NTSTATUS status = IoConnectInterrupt(
      &object, InterruptService, d->interruptContext, nullptr, d->interruptVector, d->interruptIrql,
      d->interruptSyncIrql, d->interruptMode, d->interruptShared, d->interruptAffinity, FALSE);
  if (!NT_SUCCESS(status) || object == nullptr) {
    InterlockedExchange(&d->interruptConnection, kInterruptNotConnected);
    return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  }
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&d->interruptObject), object);
  InterlockedExchange(&d->interruptConnection, kInterruptConnected);
  return STATUS_SUCCESS;
}

void ReleaseHardware(CCaptureDevice *d) {
  // The watchdog and both DPCs touch the registers, the interrupt object and the context.
  // The watchdog is told to stop for good and every DPC queued or running anywhere
  // finishes; a tick that started before the request re-armed the timer, which is
  // cancelled again. Only then does the interrupt go (its last DPC finishing after it), and
  // the registers and buffers after that.
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->channelStopLock);
  d->watchdogStopRequested = TRUE;
  KeCancelTimer(&d->watchdogTimer);
  KeReleaseSpinLock(&d->channelStopLock, old);
  KeFlushQueuedDpcs();
  KeCancelTimer(&d->watchdogTimer);
  auto *object = static_cast<PKINTERRUPT>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&d->interruptObject), nullptr));
  if (object != nullptr) IoDisconnectInterrupt(object);
  InterlockedExchange(&d->interruptConnection, kInterruptNotConnected);
  KeFlushQueuedDpcs();

  if (d->registers != nullptr) {
    MmUnmapIoSpace(const_cast<ULONG *>(d->registers), d->registersLength);
    d->registers = nullptr;
    d->registersLength = 0;
  }
  if (d->dmaAdapter != nullptr) {
    PFREE_COMMON_BUFFER freeBuffer = d->dmaAdapter->DmaOperations->FreeCommonBuffer;
    for (ULONG p = 0; p < kAudioBuffers; ++p) {
      if (d->audioBuffers[p] == nullptr) continue;
      freeBuffer(d->dmaAdapter, kAudioBufferSize, d->audioBufferAddresses[p], d->audioBuffers[p],
                 FALSE);
      d->audioBuffers[p] = nullptr;
    }
    for (ULONG c = 0; c < kVideoChannels; ++c) {
      for (ULONG b = 0; b < kVideoBuffersPerChannel; ++b) {
        if (d->videoBuffers[c][b] == nullptr) continue;
        freeBuffer(d->dmaAdapter, d->videoBufferSizes[c][b], d->videoBufferAddresses[c][b],
                   d->videoBuffers[c][b], FALSE);
        d->videoBuffers[c][b] = nullptr;
      }
    }
    d->dmaAdapter->DmaOperations->PutDmaAdapter(d->dmaAdapter);
    d->dmaAdapter = nullptr;
  }
}

namespace {

struct Synchronized {
  CCaptureDevice *device;
  PKSYNCHRONIZE_ROUTINE routine;
  PVOID context;
};

BOOLEAN NTAPI UnderIsrLock(PVOID context) {
  auto *s = static_cast<Synchronized *>(context);
  KeAcquireSpinLockAtDpcLevel(&s->device->isrLock);
  BOOLEAN result = s->routine(s->context);
  KeReleaseSpinLockFromDpcLevel(&s->device->isrLock);
  return result;
}

}  // namespace

BOOLEAN SynchronizeWithInterrupt(CCaptureDevice *d, PKSYNCHRONIZE_ROUTINE routine, PVOID context) {
  Synchronized call = {d, routine, context};
  auto *object = static_cast<PKINTERRUPT>(InterlockedCompareExchangePointer(
      reinterpret_cast<PVOID volatile *>(&d->interruptObject), nullptr, nullptr));
  if (object != nullptr) return KeSynchronizeExecution(object, UnderIsrLock, &call);
  // Not connected, or being connected by a pin creation on another processor: the same
  // exclusion at the interrupt's level, which the service routine takes as well.
  KIRQL level = d->interruptSyncIrql > DISPATCH_LEVEL ? d->interruptSyncIrql : DISPATCH_LEVEL;
  KIRQL old;
  KeRaiseIrql(level, &old);
  BOOLEAN result = UnderIsrLock(&call);
  KeLowerIrql(old);
  return result;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  return KsInitializeDriver(driverObject, registryPath, &kDeviceDescriptor);
}
