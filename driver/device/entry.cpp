// Driver entry and the device callbacks the kernel-streaming host calls per card.
#include "host/platform.h"

namespace {

constexpr ULONG kTagDevice = 'wNCK';  // "KCNw" in a pool dump

struct CCaptureDevice {
  PKSDEVICE ksDevice;
  volatile ULONG *registers;
  ULONG registersLength;
};

void FreeDeviceContext(PVOID p) { ExFreePoolWithTag(p, kTagDevice); }

NTSTATUS DispatchAdd(PKSDEVICE device) {
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  auto *ctx = static_cast<CCaptureDevice *>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(CCaptureDevice), kTagDevice));
  if (ctx == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(ctx, sizeof(*ctx));
  ctx->ksDevice = device;
  KsAcquireDevice(device);
  NTSTATUS status = KsAddItemToObjectBag(device->Bag, ctx, FreeDeviceContext);
  KsReleaseDevice(device);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(ctx, kTagDevice);
    return status;
  }
  device->Context = ctx;
  return status;
}

void ReleaseHardware(CCaptureDevice *ctx) {
  if (ctx->registers != nullptr) {
    MmUnmapIoSpace(const_cast<ULONG *>(ctx->registers), ctx->registersLength);
    ctx->registers = nullptr;
    ctx->registersLength = 0;
  }
}

NTSTATUS DispatchStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST) {
  auto *ctx = static_cast<CCaptureDevice *>(device->Context);
  if (translated == nullptr || translated->Count == 0) return STATUS_UNSUCCESSFUL;
  const CM_PARTIAL_RESOURCE_LIST &list = translated->List[0].PartialResourceList;
  for (ULONG i = 0; i < list.Count; ++i) {
    const CM_PARTIAL_RESOURCE_DESCRIPTOR &d = list.PartialDescriptors[i];
    if (d.Type == CmResourceTypeMemory && ctx->registers == nullptr) {
      ctx->registers = static_cast<volatile ULONG *>(
          MmMapIoSpace(d.u.Memory.Start, d.u.Memory.Length, MmNonCached));
      if (ctx->registers == nullptr) return STATUS_UNSUCCESSFUL;
      ctx->registersLength = d.u.Memory.Length;
    }
  }
  if (ctx->registers == nullptr) return STATUS_UNSUCCESSFUL;
  // The status register clears on read: start from a quiet card.
  (void)READ_REGISTER_ULONG(ctx->registers);
  return STATUS_SUCCESS;
}

void DispatchStop(PKSDEVICE device, PIRP) {
  ReleaseHardware(static_cast<CCaptureDevice *>(device->Context));
}

void DispatchSetPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE, DEVICE_POWER_STATE) {}

const KSDEVICE_DISPATCH kDeviceDispatch = {
    DispatchAdd, DispatchStart, nullptr, nullptr, nullptr, DispatchStop,     nullptr,
    nullptr,     nullptr,       nullptr, nullptr, nullptr, DispatchSetPower, nullptr};

const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 0, nullptr,
                                               KSDEVICE_DESCRIPTOR_VERSION, 0};

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  return KsInitializeDriver(driverObject, registryPath, &kDeviceDescriptor);
}
