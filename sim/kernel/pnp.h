// The plug-and-play manager: loads the driver, builds each card's device stack
// (the PCI bus driver's PDO below the driver's FDO) and sends the PnP and power
// requests.
#pragma once

#include <ntddk.h>

#include <memory>
#include <string>
#include <vector>

namespace sim {

class Machine;
class PciDevice;

struct ResourceSpec {
  // A translated descriptor list; empty = the default (the card's register window
  // and one level-sensitive line interrupt).
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors;
  bool absent = false;  // start without a translated list
};

class PnpManager {
 public:
  explicit PnpManager(Machine &machine);
  ~PnpManager();

  // Loads the driver: DriverEntry with the service's registry path.
  NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const std::string &serviceName = "morvane");
  void UnloadDriver();
  PDRIVER_OBJECT driverObject() const;

  struct Card {
    PciDevice *device = nullptr;
    std::string
        instancePath;  // e.g. PCI\VEN_4D56&DEV_6864&SUBSYS_00000000&REV_01\4&1a2b3c4d&0&00E0
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;  // top of the stack once added
    bool started = false;
  };

  // Enumerates a new card: PDO, service Enum list, then the driver's AddDevice.
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
