#include "sim/kernel/driver_package.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>

#include "sim/kernel/registry.h"

namespace sim {

namespace {

constexpr char kControl[] = "HKLM\\SYSTEM\\CurrentControlSet\\";

// The sections the platform's own INFs offer to Include/Needs.
struct PlatformInf {
  const char *name;
  std::vector<std::string> sections;
};
const PlatformInf kPlatformInfs[] = {
    {"ks.inf", {"ks.registration", "ks.registration.nt"}},
    {"kscaptur.inf", {"kscaptur.registration", "kscaptur.registration.nt"}},
    {"wdmaudio.inf", {"wdmaudio.registration", "wdmaudio.registration.nt"}},
};

std::string Hex(uint32_t v, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, static_cast<unsigned>(v));
  return text;
}

bool IsHex(std::string_view s) {
  return !s.empty() &&
         std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case, or "" when text is not one.
std::string NormalGuid(std::string_view text) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return "";
  const size_t dashes[] = {9, 14, 19, 24};
  for (size_t i = 1; i < 37; ++i) {
    bool dash = std::find(std::begin(dashes), std::end(dashes), i) != std::end(dashes);
    if (dash ? text[i] != '-' : std::isxdigit(static_cast<unsigned char>(text[i])) == 0) return "";
  }
  return InfLower(text);
}

bool ParseNumber(std::string_view text, uint32_t *value) {
  if (text.empty()) return false;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  uint64_t v = 0;
  for (char c : text) {
    int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                : base == 16 && std::isxdigit(static_cast<unsigned char>(c))
                    ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                    : -1;
    if (digit < 0) return false;
    v = v * base + static_cast<uint64_t>(digit);
    if (v > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

bool ValidDriverVer(const InfLine &line, std::string *date, std::string *version) {
  *date = line.Field(0);
  *version = line.Field(1);
  unsigned m = 0, d = 0, y = 0;
  if (date->size() != 10 || std::sscanf(date->c_str(), "%2u/%2u/%4u", &m, &d, &y) != 3 ||
      (*date)[2] != '/' || (*date)[5] != '/' || m < 1 || m > 12 || d < 1 || d > 31 || y < 1980)
    return false;
  if (version->empty()) return true;
  size_t parts = 0, at = 0;
  while (at <= version->size()) {
    size_t dot = version->find('.', at);
    if (dot == std::string::npos) dot = version->size();
    uint32_t n = 0;
    const std::string part = version->substr(at, dot - at);
    if (part.find_first_not_of("0123456789") != std::string::npos || !ParseNumber(part, &n) ||
        n > 65535)
      return false;
    ++parts;
    at = dot + 1;
  }
  return parts <= 4;
}

std::vector<uint8_t> Utf16Bytes(const std::vector<std::string> &strings, bool multi) {
  std::vector<uint8_t> data;
  for (const std::string &s : strings) {
    for (char16_t c : Utf8ToUtf16(s)) {
      data.push_back(static_cast<uint8_t>(c));
      data.push_back(static_cast<uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
  }
  if (multi) {
    data.push_back(0);
    data.push_back(0);
  }
  return data;
}

std::vector<uint8_t> DwordBytes(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

// The fields of every line with the key, as one list (Include = a, b and Include = c).
std::vector<std::string> Directive(const Inf &inf, const std::string &section,
                                   std::string_view key) {
  std::vector<std::string> items;
  for (const InfLine *line : inf.FindAll(section, key))
    for (const std::string &field : line->fields)
      if (!field.empty()) items.push_back(field);
  return items;
}

bool ValidKeyPath(const std::string &path) {
  size_t at = 0;
  while (at <= path.size()) {
    size_t slash = path.find('\\', at);
    if (slash == std::string::npos) slash = path.size();
    if (slash == at || slash - at > 255) return false;
    at = slash + 1;
  }
  return std::none_of(path.begin(), path.end(),
                      [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

std::string InstanceWithHashes(std::string_view instancePath) {
  std::string s(instancePath);
  std::replace(s.begin(), s.end(), '\\', '#');
  return s;
}

}  // namespace

std::vector<std::string> PciIdentity::HardwareIds() const {
  const std::string base = "PCI\\VEN_" + Hex(vendor, 4) + "&DEV_" + Hex(device, 4);
  const std::string subsys =
      "&SUBSYS_" + Hex(static_cast<uint32_t>(subsystem) << 16 | subsystemVendor, 8);
  return {base + subsys + "&REV_" + Hex(revision, 2), base + subsys,
          base + "&CC_" + Hex(classCode, 6), base + "&CC_" + Hex(classCode >> 8, 4)};
}

std::vector<std::string> PciIdentity::CompatibleIds() const {
  const std::string ven = "PCI\\VEN_" + Hex(vendor, 4);
  const std::string base = ven + "&DEV_" + Hex(device, 4);
  return {base + "&REV_" + Hex(revision, 2),     base, ven + "&CC_" + Hex(classCode, 6),
          ven + "&CC_" + Hex(classCode >> 8, 4), ven,  "PCI\\CC_" + Hex(classCode, 6),
          "PCI\\CC_" + Hex(classCode >> 8, 4)};
}

std::string DeviceInterfaceKey(std::string_view instancePath, std::string_view category,
                               std::string_view reference) {
  const std::string cat = InfLower(category);
  return std::string(kControl) + "Control\\DeviceClasses\\" + cat + "\\##?#" +
         InstanceWithHashes(instancePath) + "#" + cat + "\\#" + std::string(reference);
}

std::string DeviceInterfaceLink(std::string_view instancePath, std::string_view category,
                                std::string_view reference) {
  return "\\\\?\\" + InstanceWithHashes(instancePath) + "#" + InfLower(category) + "\\" +
         std::string(reference);
}

// Registry writes gathered first and made only when the whole installation is good.
struct DriverPackage::Plan {
  struct Op {
    std::string key;
    bool value = false;
    std::string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
    bool noClobber = false;
  };
  std::vector<Op> ops;
  std::string problem;

  void Key(const std::string &key) {
    if (!ValidKeyPath(key) && problem.empty()) problem = "the key name '" + key + "' is not valid";
    ops.push_back({key});
  }
  void Value(const std::string &key, const std::string &name, ULONG type, std::vector<uint8_t> data,
             bool noClobber = false) {
    Key(key);
    if (name.size() > 16383 && problem.empty()) problem = "a value name is too long";
    ops.push_back({key, true, name, type, std::move(data), noClobber});
  }
  void String(const std::string &key, const std::string &name, const std::string &text,
              ULONG type = REG_SZ) {
    Value(key, name, type, Utf16Bytes({text}, false));
  }
  void Dword(const std::string &key, const std::string &name, uint32_t v) {
    Value(key, name, REG_DWORD, DwordBytes(v));
  }
  bool Apply(Registry &registry, std::string *error) {
    if (!problem.empty()) {
      *error = problem;
      return false;
    }
    try {
      for (const Op &op : ops) {
        if (!op.value) {
          registry.CreateKey(op.key);
        } else if (!op.noClobber || !registry.GetValue(op.key, op.name)) {
          registry.SetValue(op.key, op.name, op.type, op.data);
        }
      }
    } catch (const std::exception &e) {
      *error = std::string("the registry refused a write: ") + e.what();
      return false;
    }
    return true;
  }
};

std::optional<DriverPackage> DriverPackage::Load(std::string name, std::string_view text,
                                                 std::string *error) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  std::string why;
  std::optional<Inf> inf = Inf::Parse(text, &why);
  if (!inf) {
    *error = name + ": " + why;
    return std::nullopt;
  }
  DriverPackage package(name, std::move(*inf));
  if (!package.Validate(&why)) {
    *error = name + ": " + why;
    return std::nullopt;
  }
  return package;
}

std::string DriverPackage::Decorated(const std::string &section) const {
  for (const char *suffix : {".NTamd64", ".NT", ""})
    if (inf_.HasSection(section + suffix)) return section + suffix;
  return "";
}

bool DriverPackage::Validate(std::string *error) {
  const InfLine *signature = inf_.Find("Version", "Signature");
  const std::string sig = signature != nullptr ? InfLower(signature->Field(0)) : "";
  if (sig != "$windows nt$" && sig != "$chicago$") {
    *error = "[Version] has no Signature of \"$Windows NT$\" or \"$Chicago$\"";
    return false;
  }
  const InfLine *guid = inf_.Find("Version", "ClassGuid");
  classGuid_ = guid != nullptr ? NormalGuid(guid->Field(0)) : "";
  const InfLine *cls = inf_.Find("Version", "Class");
  className_ = cls != nullptr ? cls->Field(0) : "";
  if (classGuid_.empty() || className_.empty()) {
    *error = "[Version] needs a Class and a ClassGuid of the form {xxxxxxxx-...}";
    return false;
  }
  const InfLine *provider = inf_.Find("Version", "Provider");
  provider_ = provider != nullptr ? provider->Field(0) : "";
  const InfLine *driverVer = inf_.Find("Version", "DriverVer");
  if (provider_.empty() || driverVer == nullptr || !ValidDriverVer(*driverVer, &date_, &version_)) {
    *error = "[Version] needs a Provider and a DriverVer of the form mm/dd/yyyy,w.x.y.z";
    return false;
  }
  const InfLine *catalog = inf_.Find("Version", "CatalogFile");
  if (catalog == nullptr || catalog->Field(0).empty()) {
    *error = "[Version] names no CatalogFile, so the package cannot carry a signature";
    return false;
  }

  const std::vector<InfLine> *manufacturers = inf_.Section("Manufacturer");
  if (manufacturers == nullptr || manufacturers->empty()) {
    *error = "no [Manufacturer] section";
    return false;
  }
  for (const InfLine &line : *manufacturers) {
    std::string section = line.Field(0);
    if (line.fields.size() > 1) {
      std::string chosen;
      for (size_t i = 1; i < line.fields.size() && chosen.empty(); ++i) {
        const std::string d = InfLower(line.fields[i]);
        if (d == "ntamd64" || d.rfind("ntamd64.", 0) == 0 || d == "nt") chosen = line.fields[i];
      }
      if (chosen.empty()) continue;  // models for other platforms only
      section += "." + chosen;
    }
    if (!inf_.HasSection(section)) {
      *error = "line " + std::to_string(line.number) + ": the models section [" + section +
               "] is missing";
      return false;
    }
    models_.emplace_back(section, line.key);
  }
  if (models_.empty()) {
    *error = "no models for x64 in [Manufacturer]";
    return false;
  }
  // Every install section a model names must install, with its services.
  for (const auto &[models, manufacturer] : models_) {
    for (const InfLine &model : *inf_.Section(models)) {
      Match match;
      std::string why;
      if (!MatchFor(model, &match, &why)) {
        *error = "line " + std::to_string(model.number) + ": " + why;
        return false;
      }
      Plan plan;
      if (!PlanDevice(plan, match, "PCI\\VEN_0000&DEV_0000\\0", nullptr, &why) ||
          !PlanService(plan, match.service, &why)) {
        *error = "[" + match.installSection + "]: " + why;
        return false;
      }
    }
  }
  return true;
}

bool DriverPackage::MatchFor(const InfLine &model, Match *match, std::string *error) const {
  if (model.key.empty() || model.fields.size() < 2 || model.Field(0).empty()) {
    *error = "a model needs a description, an install section and a hardware ID";
    return false;
  }
  match->description = model.key;
  match->installSection = Decorated(model.Field(0));
  if (match->installSection.empty()) {
    *error = "the install section [" + model.Field(0) + "] is missing";
    return false;
  }
  match->service.clear();
  const std::string services = match->installSection + ".Services";
  for (const InfLine *add : inf_.FindAll(services, "AddService")) {
    uint32_t flags = 0;
    if (add->Field(0).empty() || add->Field(2).empty() || !ParseNumber(add->Field(1), &flags)) {
      *error = "line " + std::to_string(add->number) +
               ": AddService needs a name, flags and an install section";
      return false;
    }
    if ((flags & 0x2) != 0) match->service = add->Field(0);  // SPSVCINST_ASSOCSERVICE
  }
  if (match->service.empty()) {
    *error = "[" + services + "] assigns no function driver (AddService with flag 0x2)";
    return false;
  }
  return true;
}

// Where a file goes: [DestinationDirs] by copy section, else its DefaultDestDir.
bool DriverPackage::PlanCopyFiles(const std::string &installSection,
                                  std::map<std::string, std::string> *files,
                                  std::string *error) const {
  auto diskOf = [&](const std::string &file) -> std::string {
    for (const char *section : {"SourceDisksFiles.amd64", "SourceDisksFiles"})
      if (const InfLine *line = inf_.Find(section, file)) return line->Field(0);
    return "";
  };
  auto destination = [&](const std::string &section) -> std::string {
    if (const InfLine *line = inf_.Find("DestinationDirs", section)) return line->Field(0);
    if (const InfLine *line = inf_.Find("DestinationDirs", "DefaultDestDir")) return line->Field(0);
    return "";
  };
  auto add = [&](const std::string &file, const std::string &dirid) {
    const std::string disk = diskOf(file);
    if (disk.empty()) {
      *error = "the file " + file + " is not in [SourceDisksFiles]";
      return false;
    }
    if (inf_.Find("SourceDisksNames.amd64", disk) == nullptr &&
        inf_.Find("SourceDisksNames", disk) == nullptr) {
      *error = "the disk " + disk + " of " + file + " is not in [SourceDisksNames]";
      return false;
    }
    if (dirid.empty()) {
      *error = "no destination for " + file + " in [DestinationDirs]";
      return false;
    }
    (*files)[InfLower(file)] = dirid;
    return true;
  };
  for (const std::string &entry : Directive(inf_, installSection, "CopyFiles")) {
    if (entry[0] == '@') {
      if (!add(entry.substr(1), destination(""))) return false;
      continue;
    }
    const std::vector<InfLine> *lines = inf_.Section(entry);
    if (lines == nullptr) {
      *error = "the copy section [" + entry + "] is missing";
      return false;
    }
    for (const InfLine &line : *lines) {
      const std::string &file = line.key.empty() ? line.Field(0) : line.key;
      if (!file.empty() && !add(file, destination(entry))) return false;
    }
  }
  return true;
}

bool DriverPackage::PlanAddReg(Plan &plan, const std::vector<std::string> &sections,
                               const std::string &hkr, std::string *error) const {
  for (const std::string &section : sections) {
    const std::vector<InfLine> *lines = inf_.Section(section);
    if (lines == nullptr) {
      *error = "the AddReg section [" + section + "] is missing";
      return false;
    }
    for (const InfLine &line : *lines) {
      const std::string where = "line " + std::to_string(line.number) + ": ";
      const std::string root = InfLower(line.Field(0));
      std::string key;
      if (root == "hkr") {
        key = hkr;
      } else if (root == "hklm") {
        key = "HKLM";
      } else if (root == "hkcr") {
        key = "HKLM\\SOFTWARE\\Classes";
      } else {
        *error = where + "AddReg root '" + line.Field(0) + "' is not one this installation writes";
        return false;
      }
      if (hkr.empty() && root == "hkr") {
        *error = where + "HKR has no key here";
        return false;
      }
      if (!line.Field(1).empty()) key += "\\" + line.Field(1);
      uint32_t flags = 0;
      if (!line.Field(3).empty() && !ParseNumber(line.Field(3), &flags)) {
        *error = where + "AddReg flags '" + line.Field(3) + "' are not a number";
        return false;
      }
      const bool noClobber = (flags & 0x2) != 0;
      if ((flags & 0x10) != 0) {  // FLG_ADDREG_KEYONLY
        plan.Key(key);
        continue;
      }
      if ((flags & ~0x00030003u) != 0) {
        *error = where + "AddReg flags " + line.Field(3) + " are not supported";
        return false;
      }
      const std::string &name = line.Field(2);
      std::vector<std::string> values(line.fields.begin() + std::min<size_t>(4, line.fields.size()),
                                      line.fields.end());
      if (line.fields.size() <= 2) {
        plan.Key(key);
        continue;
      }
      switch (flags & 0x00030001u) {
        case 0x00000000:  // REG_SZ
          plan.Value(key, name, REG_SZ, Utf16Bytes({values.empty() ? "" : values[0]}, false),
                     noClobber);
          break;
        case 0x00020000:  // REG_EXPAND_SZ
          plan.Value(key, name, REG_EXPAND_SZ, Utf16Bytes({values.empty() ? "" : values[0]}, false),
                     noClobber);
          break;
        case 0x00010000:  // REG_MULTI_SZ
          plan.Value(key, name, REG_MULTI_SZ, Utf16Bytes(values, true), noClobber);
          break;
        case 0x00010001: {  // REG_DWORD
          uint32_t v = 0;
          if (values.empty() || !ParseNumber(values[0], &v)) {
            *error = where + "the REG_DWORD value of " + name + " is not a number";
            return false;
          }
          plan.Value(key, name, REG_DWORD, DwordBytes(v), noClobber);
          break;
        }
        case 0x00000001: {  // REG_BINARY: bytes in hexadecimal
          std::vector<uint8_t> bytes;
          for (const std::string &b : values) {
            uint32_t v = 0;
            if (!IsHex(b) || b.size() > 2 || !ParseNumber("0x" + b, &v)) {
              *error = where + "'" + b + "' is not a byte in hexadecimal";
              return false;
            }
            bytes.push_back(static_cast<uint8_t>(v));
          }
          plan.Value(key, name, REG_BINARY, bytes, noClobber);
          break;
        }
        default:
          *error = where + "AddReg flags " + line.Field(3) + " are not supported";
          return false;
      }
    }
  }
  return true;
}

bool DriverPackage::PlanService(Plan &plan, const std::string &service, std::string *error) const {
  // The AddService line that names the service, in any install section's .Services.
  const InfLine *add = nullptr;
  for (const auto &[models, manufacturer] : models_)
    for (const InfLine &model : *inf_.Section(models)) {
      const std::string install = Decorated(model.Field(0));
      for (const InfLine *line : inf_.FindAll(install + ".Services", "AddService"))
        if (InfLower(line->Field(0)) == InfLower(service)) add = line;
    }
  if (add == nullptr) {
    *error = "no AddService installs the service " + service;
    return false;
  }
  const std::string section = add->Field(2);
  if (!inf_.HasSection(section)) {
    *error = "the service install section [" + section + "] is missing";
    return false;
  }
  uint32_t type = 0, start = 0, errorControl = 0;
  const InfLine *typeLine = inf_.Find(section, "ServiceType");
  const InfLine *startLine = inf_.Find(section, "StartType");
  const InfLine *errorLine = inf_.Find(section, "ErrorControl");
  const InfLine *binary = inf_.Find(section, "ServiceBinary");
  if (typeLine == nullptr || !ParseNumber(typeLine->Field(0), &type) || startLine == nullptr ||
      !ParseNumber(startLine->Field(0), &start) || start > 4 || errorLine == nullptr ||
      !ParseNumber(errorLine->Field(0), &errorControl) || errorControl > 3 || binary == nullptr ||
      binary->Field(0).empty()) {
    *error = "[" + section + "] needs ServiceType, StartType (0-4), ErrorControl (0-3) and " +
             "ServiceBinary";
    return false;
  }
  // %dirid%\file as the service control manager stores it for a kernel driver.
  const std::string &path = binary->Field(0);
  const size_t close = path.find('%', 1);
  const std::string dirid =
      path[0] == '%' && close != std::string::npos ? path.substr(1, close - 1) : "";
  std::string image;
  if (dirid == "10") image = "\\SystemRoot";
  if (dirid == "11") image = "\\SystemRoot\\System32";
  if (dirid == "12") image = "\\SystemRoot\\System32\\drivers";
  if (dirid == "13")
    image = "\\SystemRoot\\System32\\DriverStore\\FileRepository\\" + InfLower(name_) + "_amd64";
  if (image.empty() || close + 1 >= path.size() || path[close + 1] != '\\') {
    *error = "ServiceBinary " + path + " is not in a driver directory (%10% to %13%)";
    return false;
  }
  image += path.substr(close + 1);

  const std::string key = std::string(kControl) + "Services\\" + service;
  plan.Dword(key, "Type", type);
  plan.Dword(key, "Start", start);
  plan.Dword(key, "ErrorControl", errorControl);
  plan.String(key, "ImagePath", image, REG_EXPAND_SZ);
  if (const InfLine *name = inf_.Find(section, "DisplayName"))
    plan.String(key, "DisplayName", name->Field(0));
  if (const InfLine *text = inf_.Find(section, "Description"))
    plan.String(key, "Description", text->Field(0));
  if (const InfLine *group = inf_.Find(section, "LoadOrderGroup"))
    plan.String(key, "Group", group->Field(0));
  return PlanAddReg(plan, Directive(inf_, section, "AddReg"), key, error);
}

bool DriverPackage::PlanDevice(Plan &plan, const Match &match, const std::string &instancePath,
                               const Registry *registry, std::string *error) const {
  const std::string &install = match.installSection;
  // Include and Needs: the platform's own INFs and this one.
  std::set<std::string> included;
  for (const std::string &name : Directive(inf_, install, "Include")) {
    const PlatformInf *found = nullptr;
    for (const PlatformInf &p : kPlatformInfs)
      if (InfLower(name) == p.name) found = &p;
    if (found == nullptr) {
      *error = "Include names " + name + ", which the platform does not have";
      return false;
    }
    included.insert(found->name);
  }
  for (const std::string &needed : Directive(inf_, install, "Needs")) {
    bool found = inf_.HasSection(needed);
    for (const PlatformInf &p : kPlatformInfs)
      if (included.count(p.name) != 0 &&
          std::count(p.sections.begin(), p.sections.end(), InfLower(needed)) != 0)
        found = true;
    if (!found) {
      *error = "Needs names [" + needed + "], which no included INF has";
      return false;
    }
  }

  std::map<std::string, std::string> files;
  if (!PlanCopyFiles(install, &files, error)) return false;
  // The function driver's image must be one of the files the installation copies.
  for (const InfLine *add : inf_.FindAll(install + ".Services", "AddService")) {
    const InfLine *binary = inf_.Find(add->Field(2), "ServiceBinary");
    if (binary == nullptr) continue;  // reported with the service
    const std::string &path = binary->Field(0);
    const size_t slash = path.rfind('\\');
    const std::string file = InfLower(slash == std::string::npos ? path : path.substr(slash + 1));
    const std::string dirid =
        path.size() > 2 && path[0] == '%' ? path.substr(1, path.find('%', 1) - 1) : "";
    auto copied = files.find(file);
    if (copied == files.end() || copied->second != dirid) {
      *error = "the service binary " + path + " is not a file the installation copies there";
      return false;
    }
  }

  // The device's Enum key, and its software key under the setup class.
  const std::string enumKey = std::string(kControl) + "Enum\\" + instancePath;
  // A reinstallation keeps the device's software key; a new device gets the next free one.
  std::string driver = classGuid_ + "\\0000";
  if (registry != nullptr) {
    std::optional<std::string> kept = registry->GetString(enumKey, "Driver");
    const std::string classKey = std::string(kControl) + "Control\\Class\\" + classGuid_;
    if (kept && InfLower(kept->substr(0, kept->find('\\'))) == classGuid_ &&
        registry->KeyExists(std::string(kControl) + "Control\\Class\\" + *kept)) {
      driver = *kept;
    } else {
      std::set<std::string> used;
      for (const std::string &sub : registry->SubKeys(classKey)) used.insert(sub);
      for (unsigned n = 0; n < 10000; ++n) {
        char index[8];
        std::snprintf(index, sizeof index, "%04u", n);
        if (used.count(index) == 0) {
          driver = classGuid_ + "\\" + index;
          break;
        }
      }
    }
  }
  const std::string softwareKey = std::string(kControl) + "Control\\Class\\" + driver;
  plan.String(enumKey, "Service", match.service);
  plan.String(enumKey, "ClassGUID", classGuid_);
  plan.String(enumKey, "Class", className_);
  plan.String(enumKey, "Driver", driver);
  plan.String(enumKey, "DeviceDesc", match.description);
  plan.String(enumKey, "Mfg", match.manufacturer);
  plan.Dword(enumKey, "ConfigFlags", 0);
  plan.String(softwareKey, "DriverDesc", match.description);
  plan.String(softwareKey, "ProviderName", provider_);
  plan.String(softwareKey, "DriverDate", date_);
  plan.String(softwareKey, "DriverVersion", version_);
  plan.String(softwareKey, "MatchingDeviceId", InfLower(match.matchedId));
  plan.String(softwareKey, "InfPath", name_);
  plan.String(softwareKey, "InfSection", install.substr(0, install.find('.')));
  if (!PlanAddReg(plan, Directive(inf_, install, "AddReg"), softwareKey, error)) return false;
  const std::string hardwareKey = enumKey + "\\Device Parameters";
  plan.Key(hardwareKey);
  if (!PlanAddReg(plan, Directive(inf_, install + ".HW", "AddReg"), hardwareKey, error))
    return false;

  for (const Interface &i : Interfaces(match)) {
    const std::string category = NormalGuid(i.category);
    if (category.empty()) {
      *error = "AddInterface names '" + i.category + "', which is not an interface class GUID";
      return false;
    }
    const std::string key = DeviceInterfaceKey(instancePath, category, i.reference);
    plan.String(key.substr(0, key.rfind('\\')), "DeviceInstance", instancePath);
    plan.String(key, "SymbolicLink", DeviceInterfaceLink(instancePath, category, i.reference));
    plan.Key(key + "\\Device Parameters");
    if (i.section.empty()) continue;
    if (!inf_.HasSection(i.section)) {
      *error = "the interface section [" + i.section + "] is missing";
      return false;
    }
    if (!PlanAddReg(plan, Directive(inf_, i.section, "AddReg"), key + "\\Device Parameters", error))
      return false;
  }
  return true;
}

std::vector<DriverPackage::Interface> DriverPackage::Interfaces(const Match &match) const {
  std::vector<Interface> out;
  for (const InfLine *line : inf_.FindAll(match.installSection + ".Interfaces", "AddInterface"))
    out.push_back({line->Field(0), line->Field(1), line->Field(2)});
  return out;
}

std::optional<DriverPackage::Match> DriverPackage::FindDevice(
    const std::vector<std::string> &ids) const {
  for (const std::string &id : ids)
    for (const auto &[models, manufacturer] : models_)
      for (const InfLine &model : *inf_.Section(models))
        for (size_t f = 1; f < model.fields.size(); ++f)
          if (InfLower(model.fields[f]) == InfLower(id)) {
            Match match;
            std::string error;
            if (!MatchFor(model, &match, &error)) continue;  // refused when loaded
            match.matchedId = model.fields[f];
            match.manufacturer = manufacturer;
            return match;
          }
  return std::nullopt;
}

std::vector<std::string> DriverPackage::Services() const {
  std::vector<std::string> services;
  for (const auto &[models, manufacturer] : models_)
    for (const InfLine &model : *inf_.Section(models)) {
      Match match;
      std::string error;
      if (MatchFor(model, &match, &error) &&
          std::find(services.begin(), services.end(), match.service) == services.end())
        services.push_back(match.service);
    }
  return services;
}

bool DriverPackage::InstallService(Registry &registry, const std::string &service,
                                   std::string *error) const {
  Plan plan;
  return PlanService(plan, service, error) && plan.Apply(registry, error);
}

bool DriverPackage::InstallDevice(Registry &registry, const Match &match,
                                  const std::string &instancePath, std::string *error) const {
  Plan plan;
  return PlanDevice(plan, match, instancePath, &registry, error) && plan.Apply(registry, error);
}

}  // namespace sim
