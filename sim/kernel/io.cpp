// I/O manager: IRPs, stack locations and completion, device objects and stacks.
#include <ntddk.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include "sim/kernel/sync_annotations.h"
#include "sim/kernel/io.h"
#include "sim/kernel/machine.h"

using sim::Machine;
using sim::Rule;

namespace {

Machine &M() { return Machine::Current(); }

struct IrpInfo {
  bool threaded;  // built for a thread: the I/O manager frees it on completion
  Machine *machine;
  bool sent = false;  // its originator has sent it
};

// IRPs and device objects belong to the I/O manager (of their machine), not to pool.
std::map<PIRP, IrpInfo> g_irps;
std::map<PDEVICE_OBJECT, Machine *> g_devices;

PIRP NewIrp(CCHAR stackSize, bool threaded) {
  if (stackSize < 1) return nullptr;
  // A spare location below the first catches a driver that sets up a next location the
  // IRP does not have; IofCallDriver then stops on it instead of memory being corrupted.
  size_t bytes = sizeof(IRP) + (static_cast<size_t>(stackSize) + 1) * sizeof(IO_STACK_LOCATION);
  auto *raw = static_cast<uint8_t *>(std::calloc(1, bytes));
  if (raw == nullptr) return nullptr;
  auto *irp = reinterpret_cast<PIRP>(raw);
  auto *stack = reinterpret_cast<PIO_STACK_LOCATION>(raw + sizeof(IRP)) + 1;
  irp->Type = 6;
  irp->Size = static_cast<USHORT>(bytes);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = stack + stackSize;
  g_irps[irp] = IrpInfo{threaded, &M(), false};
  return irp;
}

void DeleteIrp(PIRP irp) {
  g_irps.erase(irp);
  std::free(irp);
}

}  // namespace

namespace sim {

bool IsLiveIrp(PIRP irp) { return g_irps.count(irp) != 0; }
size_t LiveIrpCount() { return g_irps.size(); }
bool IsLiveDeviceObject(PDEVICE_OBJECT d) { return g_devices.count(d) != 0; }

void ReleaseIoObjects(Machine *machine) {
  for (auto it = g_irps.begin(); it != g_irps.end();) {
    if (it->second.machine == machine) {
      std::free(it->first);
      it = g_irps.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = g_devices.begin(); it != g_devices.end();) {
    if (it->second == machine) {
      std::free(it->first);
      it = g_devices.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace sim

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  if (M().faults().Fail(sim::FaultPoint::Irp, inSim.callerIsDriver)) return nullptr;
  return NewIrp(stackSize, false);
}

void NTAPI IoFreeIrp(PIRP irp) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  auto it = g_irps.find(irp);
  if (it == g_irps.end())
    M().verifier().Stop(Rule::IrpMisuse,
                        std::string(__func__) + " of an IRP that is not allocated");
  if (it->second.threaded)
    M().verifier().Stop(Rule::IrpMisuse,
                        std::string(__func__) + " of a thread's IRP (the I/O manager frees it)");
  DeleteIrp(irp);
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer,
                                        ULONG length, PLARGE_INTEGER, PKEVENT event,
                                        PIO_STATUS_BLOCK iosb) {
  sim::InSim inSim;
  M().RequireIrql(PASSIVE_LEVEL, __func__);
  if (device == nullptr || !sim::IsLiveDeviceObject(device)) return nullptr;
  if (M().faults().Fail(sim::FaultPoint::Irp, inSim.callerIsDriver)) return nullptr;
  PIRP irp = NewIrp(device->StackSize, true);
  if (irp == nullptr) return nullptr;
  irp->UserIosb = iosb;
  irp->UserEvent = event;
  irp->UserBuffer = buffer;
  irp->AssociatedIrp.SystemBuffer = buffer;
  (void)length;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = static_cast<UCHAR>(major);
  return irp;
}

NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  sim::InSim inSim;
  Machine &m = M();
  m.RequireIrql(DISPATCH_LEVEL, __func__);
  if (!sim::IsLiveIrp(irp))
    m.verifier().Stop(Rule::IrpMisuse,
                      std::string(__func__) + " with an IRP that is not allocated");
  if (!sim::IsLiveDeviceObject(device))
    m.verifier().Stop(Rule::IrpMisuse,
                      std::string(__func__) + " to a device object that does not exist");
  // Whoever starts a PnP or power request presets its status: a lower driver that does not
  // handle it leaves the status alone, so anything else would read as its answer.
  PIO_STACK_LOCATION first = irp->Tail.Overlay.CurrentStackLocation - 1;
  IrpInfo &info = g_irps[irp];
  bool originator = !info.sent;
  info.sent = true;
  if (originator && (first->MajorFunction == IRP_MJ_PNP || first->MajorFunction == IRP_MJ_POWER) &&
      irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
    m.verifier().Stop(Rule::IrpMisuse, std::string("a ") +
                                           (first->MajorFunction == IRP_MJ_PNP ? "PnP" : "power") +
                                           " request sent with its status not preset to "
                                           "STATUS_NOT_SUPPORTED");
  irp->CurrentLocation--;
  if (irp->CurrentLocation <= 0) m.verifier().Stop(Rule::IrpMisuse, "no more IRP stack locations");
  irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = device;
  PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
  if (dispatch == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(irp, 0);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return dispatch(device, irp);
}

void NTAPI IofCompleteRequest(PIRP irp, CCHAR) {
  sim::InSim inSim;
  Machine &m = M();
  m.RequireIrql(DISPATCH_LEVEL, __func__);
  auto info = g_irps.find(irp);
  if (info == g_irps.end())
    m.verifier().Stop(Rule::IrpMisuse, "completion of an IRP that is not allocated");
  NTSTATUS status = irp->IoStatus.Status;
  if (status == STATUS_PENDING)
    m.verifier().Stop(Rule::IrpMisuse, "IRP completed with STATUS_PENDING");
  if (irp->CurrentLocation > irp->StackCount)
    m.verifier().Stop(Rule::IrpMisuse, "IRP completed twice");
  // Walk up the stack, calling each completion routine its upper driver set.
  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    UCHAR control = stack->Control;
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    bool upperExists = irp->CurrentLocation <= irp->StackCount;
    NTSTATUS st = irp->IoStatus.Status;
    bool invoke = routine != nullptr && ((NT_SUCCESS(st) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                         (!NT_SUCCESS(st) && (control & SL_INVOKE_ON_ERROR)) ||
                                         (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PDEVICE_OBJECT upper =
          upperExists ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
      if (sim::CallDriver(routine, upper, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (irp->PendingReturned && upperExists) {
      IoMarkIrpPending(irp);
    }
  }
  // Back at the I/O manager.
  if (!info->second.threaded)
    m.verifier().Stop(Rule::IrpMisuse,
                      "a driver-allocated IRP completed to the I/O manager (its owner must stop "
                      "completion with STATUS_MORE_PROCESSING_REQUIRED and free it)");
  if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
  if (irp->UserEvent != nullptr) KeSetEvent(irp->UserEvent, 0, FALSE);
  DeleteIrp(irp);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT device) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  PDEVICE_OBJECT top = device;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  ObfReferenceObject(top);
  return top;
}

LONG_PTR NTAPI ObfReferenceObject(PVOID object) {
  sim::InSim inSim;
  auto *d = static_cast<PDEVICE_OBJECT>(object);
  if (!sim::IsLiveDeviceObject(d))
    M().verifier().Stop(Rule::ObjectReference,
                        "ObReferenceObject of an object that does not exist");
  return ++d->ReferenceCount;
}

LONG_PTR NTAPI ObfDereferenceObject(PVOID object) {
  sim::InSim inSim;
  auto *d = static_cast<PDEVICE_OBJECT>(object);
  if (!sim::IsLiveDeviceObject(d))
    M().verifier().Stop(Rule::ObjectReference,
                        "ObDereferenceObject of an object that does not exist");
  if (d->ReferenceCount <= 0)
    M().verifier().Stop(Rule::ObjectReference, "ObDereferenceObject below zero");
  return --d->ReferenceCount;
}

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING,
                              ULONG type, ULONG, BOOLEAN, PDEVICE_OBJECT *out) {
  sim::InSim inSim;
  M().RequireIrql(PASSIVE_LEVEL, __func__);
  size_t bytes = sizeof(DEVICE_OBJECT) + extensionSize;
  auto *raw = static_cast<uint8_t *>(std::calloc(1, bytes));
  if (raw == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto *d = reinterpret_cast<PDEVICE_OBJECT>(raw);
  d->Type = 3;
  d->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT));
  d->DriverObject = driver;
  d->DeviceExtension = extensionSize ? raw + sizeof(DEVICE_OBJECT) : nullptr;
  d->DeviceType = type;
  d->StackSize = 1;
  d->Flags = DO_DEVICE_INITIALIZING;
  d->NextDevice = driver->DeviceObject;
  driver->DeviceObject = d;
  g_devices[d] = &M();
  *out = d;
  return STATUS_SUCCESS;
}

void NTAPI IoDeleteDevice(PDEVICE_OBJECT d) {
  sim::InSim inSim;
  Machine &m = M();
  m.RequireIrql(PASSIVE_LEVEL, __func__);
  if (!sim::IsLiveDeviceObject(d))
    m.verifier().Stop(Rule::ObjectReference,
                      std::string(__func__) + " of an unknown device object");
  if (d->ReferenceCount != 0)
    m.verifier().Stop(Rule::ObjectReference, "device object deleted with " +
                                                 std::to_string(d->ReferenceCount) +
                                                 " references outstanding");
  if (d->AttachedDevice != nullptr)
    m.verifier().Stop(Rule::ObjectReference,
                      "device object deleted while another is attached to it");
  PDEVICE_OBJECT *link = &d->DriverObject->DeviceObject;
  while (*link != nullptr && *link != d) link = &(*link)->NextDevice;
  if (*link == d) *link = d->NextDevice;
  g_devices.erase(d);
  std::free(d);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  sim::InSim inSim;
  PDEVICE_OBJECT top = target;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  top->AttachedDevice = source;
  source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  return top;
}

void NTAPI IoDetachDevice(PDEVICE_OBJECT target) {
  sim::InSim inSim;
  target->AttachedDevice = nullptr;
}

}  // extern "C"
