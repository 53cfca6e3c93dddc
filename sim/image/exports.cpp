#include "sim/image/exports.h"

#include <ks.h>
#include <ntddk.h>

#include <algorithm>
#include <cctype>

namespace sim::image {

std::string ExportTable::Key(std::string_view module, std::string_view name) {
  std::string key;
  for (char c : module) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  key += '!';
  key += name;
  return key;
}

void ExportTable::Add(std::string_view module, std::string_view name, void *address) {
  entries_[Key(module, name)] = address;
}

void ExportTable::Merge(const ExportTable &other) {
  for (const auto &[key, address] : other.entries_) entries_[key] = address;
}

void *ExportTable::Find(std::string_view module, std::string_view name) const {
  auto it = entries_.find(Key(module, name));
  return it == entries_.end() ? nullptr : it->second;
}

std::vector<std::string> ExportTable::Names() const {
  std::vector<std::string> names;
  for (const auto &[key, address] : entries_) names.push_back(key);
  return names;
}

// The services as the simulation implements them, under the module that exports each on
// the platform. Routines the x64 headers expand inline (KeRaiseIrql, KeInitializeSpinLock,
// KeQuerySystemTime, READ_REGISTER_ULONG, WRITE_REGISTER_ULONG, KeMemoryBarrier) or as
// macros over other exports (KsDeleteFilterFactory) are no exports and are not listed.
ExportTable SimulationExports() {
  ExportTable t;
#define EXPORT(module, fn) t.Add(module, #fn, reinterpret_cast<void *>(&fn))
#define KERNEL(fn) EXPORT("ntoskrnl.exe", fn)
#define KS(fn) EXPORT("ks.sys", fn)
  KERNEL(ExAllocatePool);
  KERNEL(ExAllocatePoolWithTag);
  KERNEL(ExFreePool);
  KERNEL(ExFreePoolWithTag);
  KERNEL(IoAllocateIrp);
  KERNEL(IoAttachDeviceToDeviceStack);
  KERNEL(IoBuildSynchronousFsdRequest);
  KERNEL(IoConnectInterrupt);
  KERNEL(IoCreateDevice);
  KERNEL(IoDeleteDevice);
  KERNEL(IoDetachDevice);
  KERNEL(IoDisconnectInterrupt);
  KERNEL(IoFreeIrp);
  KERNEL(IoGetAttachedDeviceReference);
  KERNEL(IoGetDmaAdapter);
  KERNEL(IoOpenDeviceRegistryKey);
  KERNEL(IofCallDriver);
  KERNEL(IofCompleteRequest);
  KERNEL(KeAcquireSpinLockAtDpcLevel);
  KERNEL(KeAcquireSpinLockRaiseToDpc);
  KERNEL(KeBugCheckEx);
  KERNEL(KeCancelTimer);
  KERNEL(KeClearEvent);
  KERNEL(KeDelayExecutionThread);
  KERNEL(KeFlushQueuedDpcs);
  KERNEL(KeGetCurrentIrql);
  KERNEL(KeInitializeDpc);
  KERNEL(KeInitializeEvent);
  KERNEL(KeInitializeTimer);
  KERNEL(KeInitializeTimerEx);
  KERNEL(KeInsertQueueDpc);
  KERNEL(KeLowerIrql);
  KERNEL(KeRaiseIrqlToDpcLevel);
  KERNEL(KeReadStateEvent);
  KERNEL(KeReadStateTimer);
  KERNEL(KeReleaseSpinLock);
  KERNEL(KeReleaseSpinLockFromDpcLevel);
  KERNEL(KeRemoveQueueDpc);
  KERNEL(KeResetEvent);
  KERNEL(KeSetEvent);
  KERNEL(KeSetTimer);
  KERNEL(KeSetTimerEx);
  KERNEL(KeSynchronizeExecution);
  KERNEL(KeWaitForSingleObject);
  KERNEL(MmMapIoSpace);
  KERNEL(MmUnmapIoSpace);
  KERNEL(ObfDereferenceObject);
  KERNEL(ObfReferenceObject);
  KERNEL(RtlInitUnicodeString);
  KERNEL(ZwClose);
  KERNEL(ZwQueryValueKey);
  KERNEL(ZwSetValueKey);
  EXPORT("HAL.dll", KeQueryPerformanceCounter);
  KS(KsAcquireControl);
  KS(KsAcquireDevice);
  KS(KsAddItemToObjectBag);
  KS(KsCreateFilterFactory);
  KS(KsDeviceRegisterAdapterObject);
  KS(KsFilterFactorySetDeviceClassesState);
  KS(KsFilterFactoryUpdateCacheData);
  KS(KsFilterGetChildPinCount);
  KS(KsFilterGetFirstChildPin);
  KS(KsFreeObjectCreateItemsByContext);
  KS(KsGetDevice);
  KS(KsGetFilterFromIrp);
  KS(KsGetObjectTypeFromIrp);
  KS(KsGetParent);
  KS(KsGetPinFromIrp);
  KS(KsInitializeDriver);
  KS(KsPinAcquireProcessingMutex);
  KS(KsPinAttemptProcessing);
  KS(KsPinGetAvailableByteCount);
  KS(KsPinGetLeadingEdgeStreamPointer);
  KS(KsPinGetNextSiblingPin);
  KS(KsPinGetParentFilter);
  KS(KsPinGetReferenceClockInterface);
  KS(KsPinGetTrailingEdgeStreamPointer);
  KS(KsPinReleaseProcessingMutex);
  KS(KsReleaseControl);
  KS(KsReleaseDevice);
  KS(KsRemoveItemFromObjectBag);
  KS(KsStreamPointerAdvanceOffsets);
  KS(KsStreamPointerAdvanceOffsetsAndUnlock);
  KS(KsStreamPointerLock);
  KS(KsStreamPointerSetStatusCode);
  KS(KsStreamPointerUnlock);
  KS(_KsEdit);
#undef KS
#undef KERNEL
#undef EXPORT
  t.Merge(RuntimeLibraryExports());
  return t;
}

}  // namespace sim::image
