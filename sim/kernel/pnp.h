// The plug-and-play manager: loads the driver, builds each card's device stack
// (the PCI bus driver's PDO below the driver's FDO) and sends the PnP and power
// requests.
#pragma once

#include <ntddk.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#ifndef STATUS_NO_SUCH_DEVICE
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000E)
#endif

namespace sim {

class Machine;
class PciDevice;

struct ResourceSpec {
  // A translated descriptor list; empty = the default (the card's register window
  // and one level-sensitive line interrupt).
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors;
  bool absent = false;  // start without a translated list
};

// A driver's code: its entry point and, for a loaded image, where the image lies and what
// keeps it mapped (until the machine is gone: the class driver and the card may still read
// the image's data while the machine tears down).
struct DriverCode {
  PDRIVER_INITIALIZE entry = nullptr;
  PVOID start = nullptr;
  ULONG size = 0;
  std::shared_ptr<void> module;
};

class PnpManager {
 public:
  explicit PnpManager(Machine &machine);
  ~PnpManager();

  // The driver store: INF files (name, text) of the packages devices are installed from. It
  // starts with the packages the project builds; a package the platform would refuse leaves
  // the store as it was and names the reason.
  bool SetDriverPackages(const std::vector<std::pair<std::string, std::string>> &infs,
                         std::string *error = nullptr);
  // Why the last load, installation or store change failed.
  const std::string &lastError() const;

  // Loads the driver: its service key is installed from the package in the store that adds
  // the service (STATUS_OBJECT_NAME_NOT_FOUND without one), then DriverEntry runs with the
  // service's registry path.
  NTSTATUS LoadDriver(const DriverCode &code, const std::string &serviceName = "morvane");
  NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const std::string &serviceName = "morvane") {
    return LoadDriver(DriverCode{entry, nullptr, 0, nullptr}, serviceName);
  }
  void UnloadDriver();
  PDRIVER_OBJECT driverObject() const;

  struct Card {
    PciDevice *device = nullptr;
    std::string
        instancePath;  // e.g. PCI\VEN_4D56&DEV_6864&SUBSYS_00000000&REV_01\4&1a2b3c4d&0&00E0
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;  // top of the stack once added
    bool started = false;
    std::string service;  // the function driver's service, once installed
  };

  // Enumerates a new card: PDO and identifiers; installs it from the best matching package in
  // the store (STATUS_NO_SUCH_DEVICE when none runs it under the loaded driver); lists it in
  // the service's Enum key; then the driver's AddDevice.
  NTSTATUS AddCard(PciDevice *device, Card **card = nullptr);
  NTSTATUS StartCard(Card &card, const ResourceSpec &resources = {});
  NTSTATUS SetCardPower(Card &card, DEVICE_POWER_STATE state);
  NTSTATUS StopCard(Card &card);
  // Removal: the driver's stack is torn down and the card leaves the bus.
  NTSTATUS RemoveCard(Card &card);
  const std::vector<std::unique_ptr<Card>> &cards() const;

  // Complete the bus driver's requests later from the event loop (tests the pending path).
  void SetBusCompletesAsynchronously(bool on);

  // The default translated resources for a card.
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> DefaultResources(const Card &card) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The device instance path of a PDO (empty when the object is not a PDO).
std::string DeviceInstancePath(PDEVICE_OBJECT pdo);

}  // namespace sim
