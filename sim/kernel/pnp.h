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
#ifndef STATUS_PLUGPLAY_QUERY_VETOED
#define STATUS_PLUGPLAY_QUERY_VETOED ((NTSTATUS)0x80000028)
#endif

#include <functional>

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
    DEVICE_POWER_STATE power = PowerDeviceD0;
    // Surprise-removed: the stack was told; removal follows once the last handle closes.
    bool surpriseRemoved = false;
    bool removed = false;   // the stack is gone (the object stays for whoever holds it)
    bool removing = false;  // the removal is under way (on some thread)
  };

  // What an orderly removal does about handles still open on the card's filters and pins:
  // nobody closes them (the PnP manager refuses, as for any device with open handles), or
  // the applications holding them close them when told the device is going.
  enum class OpenHandles { Refuse, ClosedByClients };

  // The class driver above the bus tells the PnP manager what it knows about handles.
  struct StackHooks {
    std::function<size_t(PDEVICE_OBJECT fdo)> openHandles;
    std::function<void(PDEVICE_OBJECT fdo)> closeHandles;
  };
  void SetStackHooks(StackHooks hooks);
  // The last handle on a surprise-removed device closed: the removal completes (from a
  // worker thread, as the platform's PnP manager does it).
  void LastHandleClosed(PDEVICE_OBJECT fdo);

  // Enumerates a new card: PDO and identifiers; installs it from the best matching package in
  // the store (STATUS_NO_SUCH_DEVICE when none runs it under the loaded driver); lists it in
  // the service's Enum key; then the driver's AddDevice.
  NTSTATUS AddCard(PciDevice *device, Card **card = nullptr);
  // IRP_MN_START_DEVICE; also to a card that is started already.
  NTSTATUS StartCard(Card &card, const ResourceSpec &resources = {});
  // Device power: IRP_MN_SET_POWER for the device power state (the bus driver moves the
  // card's PCI power state and keeps its header across D3).
  NTSTATUS SetCardPower(Card &card, DEVICE_POWER_STATE state);
  // The steps of a rebalance, one by one.
  NTSTATUS QueryStopCard(Card &card);
  NTSTATUS CancelStopCard(Card &card);
  // Query-stop, then stop; a refused query is cancelled and its status returned. The stack
  // must have released the card's hardware when the stop completes.
  NTSTATUS StopCard(Card &card);
  // Stop, move the card's register window elsewhere and start it with the new resources. A
  // card that fails to start again is surprise-removed (it is probably still there).
  NTSTATUS RebalanceCard(Card &card);
  // The steps of an orderly removal, one by one.
  NTSTATUS QueryRemoveCard(Card &card);
  NTSTATUS CancelRemoveCard(Card &card);
  // Orderly removal: refused (STATUS_PLUGPLAY_QUERY_VETOED) while handles are open, unless
  // their holders close them when told; else query-remove, remove, and the card leaves the
  // bus. A card that was surprise-removed is removed at once.
  NTSTATUS RemoveCard(Card &card, OpenHandles handles = OpenHandles::Refuse);
  // The card leaves the bus without warning; IRP_MN_SURPRISE_REMOVAL; IRP_MN_REMOVE_DEVICE
  // now when no handle is open, else when the last one closes.
  NTSTATUS SurpriseRemoveCard(Card &card);
  // The cards on the bus (removed ones are not listed).
  const std::vector<std::unique_ptr<Card>> &cards() const;
  // The veto of the last refused removal, as the platform names it ("PNP_VetoOutstandingOpen"
  // or "PNP_VetoDevice"), or empty.
  const std::string &lastVeto() const;

  // Complete the bus driver's requests later from the event loop (tests the pending path).
  void SetBusCompletesAsynchronously(bool on);

  // The default translated resources for a card.
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> DefaultResources(const Card &card) const;

 private:
  NTSTATUS FinishRemoval(Card &card);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The device instance path of a PDO (empty when the object is not a PDO).
std::string DeviceInstancePath(PDEVICE_OBJECT pdo);

}  // namespace sim
