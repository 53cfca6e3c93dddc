// A driver package in the simulated machine's driver store: its INF, the devices it is for, and
// what installing it for one of them writes to the registry, as the platform's device setup
// does. An installation either writes all of its keys and values or, refused, none.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/kernel/inf.h"

namespace sim {

class Registry;

// A PCI function's identifiers as the bus driver reports them, most specific first.
struct PciIdentity {
  uint16_t vendor = 0, device = 0, subsystemVendor = 0, subsystem = 0;
  uint8_t revision = 0;
  uint32_t classCode = 0;  // base class, subclass, programming interface
  std::vector<std::string> HardwareIds() const;
  std::vector<std::string> CompatibleIds() const;
};

// The registry key of a device interface: what the platform creates for the interface class
// category (a "{...}" GUID) and reference string of a device instance. Its "Device
// Parameters" subkey holds what the INF's interface AddReg wrote.
std::string DeviceInterfaceKey(std::string_view instancePath, std::string_view category,
                               std::string_view reference);
// "\\?\PCI#VEN_...#{category}\reference"
std::string DeviceInterfaceLink(std::string_view instancePath, std::string_view category,
                                std::string_view reference);

class DriverPackage {
 public:
  // The package as the driver store takes it in: nullopt, with the reason, when the platform
  // would refuse the INF (syntax, [Version], models, install, copy or service sections that
  // are missing or wrong).
  static std::optional<DriverPackage> Load(std::string name, std::string_view text,
                                           std::string *error);

  struct Match {
    std::string matchedId;       // the device's identifier a model named
    std::string description;     // the model's device description
    std::string installSection;  // decorated for this platform
    std::string service;         // the function driver's service
    std::string manufacturer;
  };
  // The model for the first of ids (in rank order) the package names, or nullopt.
  std::optional<Match> FindDevice(const std::vector<std::string> &ids) const;

  // The services the package's devices run under.
  std::vector<std::string> Services() const;

  // Creates the service key of service from its AddService section.
  bool InstallService(Registry &registry, const std::string &service, std::string *error) const;

  // Installs the matched device: its Enum key's driver values, its software key under the
  // setup class, its hardware key ("Device Parameters") and its device interfaces.
  bool InstallDevice(Registry &registry, const Match &match, const std::string &instancePath,
                     std::string *error) const;

  struct Interface {
    std::string category;   // "{...}" as the INF gives it
    std::string reference;  // the reference string
    std::string section;    // the add-interface section, or ""
  };
  // The AddInterface lines of an install section, in file order.
  std::vector<Interface> Interfaces(const Match &match) const;

  const std::string &name() const { return name_; }
  const Inf &inf() const { return inf_; }
  const std::string &classGuid() const { return classGuid_; }  // lower case, braced

 private:
  DriverPackage(std::string name, Inf inf) : name_(std::move(name)), inf_(std::move(inf)) {}
  struct Plan;
  bool Validate(std::string *error);
  bool MatchFor(const InfLine &model, Match *match, std::string *error) const;
  bool PlanCopyFiles(const std::string &installSection, std::map<std::string, std::string> *files,
                     std::string *error) const;
  bool PlanAddReg(Plan &plan, const std::vector<std::string> &sections, const std::string &hkr,
                  std::string *error) const;
  bool PlanService(Plan &plan, const std::string &service, std::string *error) const;
  bool PlanDevice(Plan &plan, const Match &match, const std::string &instancePath,
                  const Registry *registry, std::string *error) const;
  std::string Decorated(const std::string &section) const;

  std::string name_;
  Inf inf_;
  std::string classGuid_, className_, provider_, date_, version_;
  std::vector<std::pair<std::string, std::string>> models_;  // section, manufacturer
};

// The packages the simulated machine's driver store holds from the start: this project's own.
std::vector<std::pair<std::string, std::string>> BuiltInDriverPackages();

}  // namespace sim
