// The kernel's registry services, reaching the current machine's registry.
#include <ntddk.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "sim/kernel/sync_annotations.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/verifier.h"

namespace {

constexpr char kEnumRoot[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";
constexpr char kClassRoot[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\";
// The media class: capture cards install under it.
constexpr char kMediaClass[] = "{4d36e96c-e325-11ce-bfc1-08002be10318}";

sim::Machine &PassiveMachine(const char *service) {
  sim::Machine &machine = sim::Machine::Current();
  machine.RequireIrql(PASSIVE_LEVEL, service);
  return machine;
}

// A counted name (Length in bytes, not necessarily terminated) as UTF-8.
bool NameOf(PCUNICODE_STRING name, std::string *out) {
  if (!name || (name->Length % 2) != 0 || name->Length > name->MaximumLength ||
      (name->Length > 0 && !name->Buffer)) {
    return false;
  }
  *out = sim::Utf16ToUtf8(std::u16string_view(name->Buffer, name->Length / 2));
  return true;
}

// The driver key of a device instance, as the PnP manager assigns it at installation:
// the instance key's "Driver" value names it, and the first time a free index is taken.
std::string DriverKeyPath(sim::Registry &registry, const std::string &instanceKey) {
  if (auto driver = registry.GetString(instanceKey, "Driver")) return kClassRoot + *driver;
  const std::string classKey = std::string(kClassRoot) + kMediaClass;
  for (unsigned index = 0;; ++index) {
    char name[8];
    std::snprintf(name, sizeof(name), "%04u", index);
    if (!registry.KeyExists(classKey + "\\" + name)) {
      registry.SetString(instanceKey, "Driver", std::string(kMediaClass) + "\\" + name);
      return classKey + "\\" + name;
    }
  }
}

}  // namespace

extern "C" {

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  sim::InSim inSim;
  sim::Machine &machine = PassiveMachine(__func__);
  // A kernel-mode caller's pointers are not probed: these would fault.
  if (!ResultLength) {
    machine.verifier().Stop(sim::Rule::InvalidParameter,
                            std::string(__func__) + ": ResultLength is NULL");
  }
  if (!KeyValueInformation && Length > 0) {
    machine.verifier().Stop(sim::Rule::InvalidParameter,
                            std::string(__func__) + ": NULL buffer with a non-zero Length");
  }
  std::string name;
  if (!NameOf(ValueName, &name)) return STATUS_INVALID_PARAMETER;
  if (machine.faults().Fail(sim::FaultPoint::RegistryValue, inSim.callerIsDriver))
    return STATUS_INSUFFICIENT_RESOURCES;
  return machine.registry().QueryValue(KeyHandle, name, KeyValueInformationClass,
                                       KeyValueInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG /*TitleIndex*/,
                             ULONG Type, PVOID Data, ULONG DataSize) {
  sim::InSim inSim;
  sim::Machine &machine = PassiveMachine(__func__);
  if (!Data && DataSize > 0) {
    machine.verifier().Stop(sim::Rule::InvalidParameter,
                            std::string(__func__) + ": NULL data with a non-zero DataSize");
  }
  std::string name;
  if (!NameOf(ValueName, &name)) return STATUS_INVALID_PARAMETER;
  return machine.registry().SetValueByHandle(KeyHandle, name, Type, Data, DataSize);
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  sim::InSim inSim;
  sim::Machine &machine = PassiveMachine(__func__);
  // Registry keys are the only kernel handles this machine hands out.
  return machine.registry().CloseKey(Handle);
}

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  sim::InSim inSim;
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  size_t chars = 0;
  while (SourceString[chars] != 0) ++chars;
  // As the platform does: a longer string is cut to what a counted string can hold.
  const size_t bytes = std::min<size_t>(chars * sizeof(WCHAR), 0xFFFC);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

// PLUGPLAY_REGKEY_DEVICE opens the hardware key ("Device Parameters"), PLUGPLAY_REGKEY_DRIVER
// the software key under the media class; both are created when missing, as the PnP manager
// does at installation. Hardware-profile keys are not simulated.
NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  sim::InSim inSim;
  sim::Machine &machine = PassiveMachine(__func__);
  if (!DevInstRegKey) return STATUS_INVALID_PARAMETER;
  *DevInstRegKey = nullptr;
  const std::string instance = DeviceObject ? sim::DeviceInstancePath(DeviceObject) : "";
  if (instance.empty()) return STATUS_INVALID_PARAMETER;  // not a PDO
  if (DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) return STATUS_NOT_SUPPORTED;
  if (machine.faults().Fail(sim::FaultPoint::RegistryKey, inSim.callerIsDriver))
    return STATUS_INSUFFICIENT_RESOURCES;
  sim::Registry &registry = machine.registry();
  const std::string instanceKey = kEnumRoot + instance;
  switch (DevInstKeyType) {
    case PLUGPLAY_REGKEY_DEVICE:
      return registry.OpenKey(instanceKey + "\\Device Parameters", true, DesiredAccess,
                              DevInstRegKey);
    case PLUGPLAY_REGKEY_DRIVER:
      return registry.OpenKey(DriverKeyPath(registry, instanceKey), true, DesiredAccess,
                              DevInstRegKey);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

}  // extern "C"
