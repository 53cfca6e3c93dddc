// The driver store and device installation: INF files read as the platform's setup reads them,
// the shipped package refused when it is wrong, and what installing it writes.
#include "sim/kernel/driver_package.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <set>

#include "sim/card/card.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/registry.h"
#include "sim/ks/client.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace {

using sim::DriverPackage;
using sim::Inf;

constexpr char kControl[] = "HKLM\\SYSTEM\\CurrentControlSet\\";

std::string GuidText(const GUID &g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

// "PCI\VEN_vvvv&DEV_6864" for the configured vendor, with what follows.
std::string Board6864(const std::string &rest = "") {
  char text[32];
  std::snprintf(text, sizeof text, "PCI\\VEN_%04X&DEV_6864", sim::Card::kVendorId);
  return text + rest;
}

std::string ShippedInf() { return sim::BuiltInDriverPackages().at(0).second; }

std::vector<std::string> MultiString(const sim::Registry &r, const std::string &key,
                                     const std::string &name) {
  std::vector<std::string> out;
  std::optional<sim::Registry::Value> v = r.GetValue(key, name);
  if (!v || v->type != REG_MULTI_SZ) return out;
  std::u16string text;
  for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(v->data[i] | v->data[i + 1] << 8);
    if (c == 0) {
      if (text.empty()) break;
      out.push_back(sim::Utf16ToUtf8(text));
      text.clear();
    } else {
      text.push_back(c);
    }
  }
  return out;
}

// ---------------------------------------------------------------- reading INF files

TEST(InfParser, ReadsSectionsLinesQuotesContinuationsAndStrings) {
  std::string error;
  std::optional<Inf> inf = Inf::Parse(
      "; a comment before everything\r\n"
      "[Version]\r\n"
      "Signature = \"$Windows NT$\" ; trailing comment\r\n"
      "[Models]\r\n"
      "%Desc% = Install, PCI\\VEN_1&DEV_2 , \"a, b\"\"c\"\r\n"
      "[models]\r\n"
      "morvane.sys\r\n"
      "Long = one, \\\r\n"
      "       two\r\n"
      "Path = %12%\\x.sys, 100%%, \"%Quoted%\"\r\n"
      "[Strings]\r\n"
      "Desc = \"Card; with semicolon\"\r\n"
      "QUOTED = q\r\n",
      &error);
  ASSERT_TRUE(inf) << error;
  EXPECT_EQ(inf->Find("VERSION", "signature")->Field(0), "$Windows NT$");
  const std::vector<sim::InfLine> *models = inf->Section("Models");
  ASSERT_NE(models, nullptr);
  ASSERT_EQ(models->size(), 4u) << "sections of one name are merged";
  EXPECT_EQ((*models)[0].key, "Card; with semicolon");
  EXPECT_EQ((*models)[0].fields,
            (std::vector<std::string>{"Install", "PCI\\VEN_1&DEV_2", "a, b\"c"}));
  EXPECT_EQ((*models)[0].number, 5u);
  EXPECT_EQ((*models)[1].key, "");
  EXPECT_EQ((*models)[1].fields, std::vector<std::string>{"morvane.sys"});
  EXPECT_EQ((*models)[2].fields, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ((*models)[2].number, 8u);
  EXPECT_EQ((*models)[3].fields, (std::vector<std::string>{"%12%\\x.sys", "100%", "q"}));
  EXPECT_FALSE(inf->HasSection("Missing"));

  // The same text as UTF-16LE with a byte order mark.
  std::string wide = "\xFF\xFE";
  for (char c : std::string("[Version]\r\nSignature=\"$Windows NT$\"\r\n")) {
    wide += c;
    wide += '\0';
  }
  inf = Inf::Parse(wide, &error);
  ASSERT_TRUE(inf) << error;
  EXPECT_EQ(inf->Find("Version", "Signature")->Field(0), "$Windows NT$");
}

TEST(InfParser, RefusesWhatTheSetupFunctionsWouldMisreadNamingTheLine) {
  const std::pair<const char *, const char *> cases[] = {
      {"Signature = x\n", "line 1: a line before the first section"},
      {"[Version]\n[Models\n", "line 2: the section name has no closing ']'"},
      {"[Version] extra\n", "line 1: text after the section name [Version]"},
      {"[]\n", "line 1: empty section name"},
      {"[A]\nx = \"open\n", "line 2: unclosed quote"},
      {"[A]\nx = %Nowhere%\n[Strings]\n", "line 2: %Nowhere% is not in [Strings]"},
      {"[A]\n = value\n", "line 2: '=' with no key"},
  };
  for (const auto &[text, expected] : cases) {
    std::string error;
    EXPECT_FALSE(Inf::Parse(text, &error)) << text;
    EXPECT_NE(error.find(expected), std::string::npos) << text << " gave: " << error;
  }
}

// ---------------------------------------------------------------- identifiers

TEST(PciIdentity, HardwareAndCompatibleIdsMostSpecificFirst) {
  sim::PciIdentity id{0x4D56, 0x6864, 0x4D56, 0x0001, 0x01, 0x040000};
  EXPECT_EQ(
      id.HardwareIds(),
      (std::vector<std::string>{
          "PCI\\VEN_4D56&DEV_6864&SUBSYS_00014D56&REV_01", "PCI\\VEN_4D56&DEV_6864&SUBSYS_00014D56",
          "PCI\\VEN_4D56&DEV_6864&CC_040000", "PCI\\VEN_4D56&DEV_6864&CC_0400"}));
  EXPECT_EQ(id.CompatibleIds(),
            (std::vector<std::string>{"PCI\\VEN_4D56&DEV_6864&REV_01", "PCI\\VEN_4D56&DEV_6864",
                                      "PCI\\VEN_4D56&CC_040000", "PCI\\VEN_4D56&CC_0400",
                                      "PCI\\VEN_4D56", "PCI\\CC_040000", "PCI\\CC_0400"}));
}

// ---------------------------------------------------------------- the shipped package

TEST(ShippedPackage, DrivesBothBoardsUnderOneDemandStartKernelService) {
  std::string error;
  std::optional<DriverPackage> p = DriverPackage::Load("morvane.inf", ShippedInf(), &error);
  ASSERT_TRUE(p) << error;
  EXPECT_EQ(p->classGuid(), "{4d36e96c-e325-11ce-bfc1-08002be10318}");
  EXPECT_EQ(p->Services(), std::vector<std::string>{"morvane"});
  for (uint16_t device : {sim::Card::kDevice6864Id, sim::Card::kStandardDeviceId}) {
    sim::PciIdentity id{sim::Card::kVendorId,    device, sim::Card::kVendorId,
                        sim::Card::kSubsystemId, 1,      0x040000};
    std::vector<std::string> ids = id.HardwareIds();
    for (const std::string &c : id.CompatibleIds()) ids.push_back(c);
    std::optional<DriverPackage::Match> m = p->FindDevice(ids);
    ASSERT_TRUE(m) << std::hex << device;
    EXPECT_EQ(m->service, "morvane");
    EXPECT_EQ(m->installSection, "MorvaneCapture.NTamd64");
  }
  // Another function of the same maker is not the card.
  sim::PciIdentity other{sim::Card::kVendorId, 0x1234, 0, 0, 1, 0x040000};
  EXPECT_FALSE(p->FindDevice(other.HardwareIds()));
  EXPECT_FALSE(p->FindDevice(other.CompatibleIds()));

  sim::Registry r;
  ASSERT_TRUE(p->InstallService(r, "morvane", &error)) << error;
  const std::string service = std::string(kControl) + "Services\\morvane";
  EXPECT_EQ(r.GetDword(service, "Type"), 1u);
  EXPECT_EQ(r.GetDword(service, "Start"), 3u);
  EXPECT_EQ(r.GetDword(service, "ErrorControl"), 1u);
  EXPECT_EQ(r.GetValue(service, "ImagePath")->type, static_cast<ULONG>(REG_EXPAND_SZ));
  EXPECT_EQ(r.GetString(service, "ImagePath"), "\\SystemRoot\\System32\\drivers\\morvane.sys");
  EXPECT_EQ(r.GetString(service, "DisplayName"), "MORVANE Capture Driver");
  EXPECT_FALSE(p->InstallService(r, "other", &error));
}

// A mutation of the shipped INF and what the refusal must say.
struct Mutation {
  const char *name;
  const char *pattern;  // regular expression, first match replaced
  const char *replacement;
  const char *reason;
};

void PrintTo(const Mutation &m, std::ostream *os) { *os << m.name; }

const Mutation kMutations[] = {
    {"SectionNameUnclosed", R"(\[MorvaneCapture\.Service\])", "[MorvaneCapture.Service",
     "has no closing ']'"},
    {"ServiceSectionMissing", R"(\[MorvaneCapture\.Service\])", "[Unrelated]",
     "the service install section [MorvaneCapture.Service] is missing"},
    {"StartTypeMissing", R"(StartType\s*=\s*3)", "StartTipe = 3",
     "needs ServiceType, StartType (0-4)"},
    {"BinaryNotCopied", R"(ServiceBinary = %12%\\morvane\.sys)",
     R"(ServiceBinary = %12%\morvan.sys)", "the service binary %12%\\morvan.sys is not a file"},
    {"FileWithoutSourceDisk", R"(morvane\.sys = 1)", "morvane.sys = 2",
     "the disk 2 of morvane.sys is not in [SourceDisksNames]"},
    {"NoFunctionDriver", R"(AddService = morvane, 0x00000002)", "AddService = morvane, 0x00000000",
     "assigns no function driver"},
    {"NeedsTypo", R"(KS\.Registration,)", "KS.Registrashun,",
     "Needs names [KS.Registrashun], which no included INF has"},
    {"UnknownInclude", R"(Include   = ks\.inf)", "Include   = kx.inf",
     "Include names kx.inf, which the platform does not have"},
    {"InterfaceSectionMissing", R"(\[Audio8\.Interface\])", "[Audio9.Interface]",
     "the interface section [Audio8.Interface] is missing"},
    {"AddRegSectionMissing", R"(\[Video3\.AddReg\])", "[Video3.AddRegs]",
     "the AddReg section [Video3.AddReg] is missing"},
    {"CategoryNotAGuid", R"(KSCATEGORY_AUDIO   = "\{6994AD04)",
     R"(KSCATEGORY_AUDIO   = "{6994AD0X)", "is not an interface class GUID"},
    {"ModelsSectionMissing", R"(\[Morvane\.NTamd64\])", "[Morvane.NTx86]",
     "the models section [Morvane.NTamd64] is missing"},
    {"DriverVerMalformed", R"(DriverVer   = [0-9/]+,)", "DriverVer   = 2024-06-03,",
     "DriverVer of the form"},
    {"NoCatalog", R"(CatalogFile = morvane\.cat)", "CatalogFiles = morvane.cat",
     "names no CatalogFile"},
    {"WrongSignature", R"(\$Windows NT\$)", "$Windows 2000$", "Signature"},
    {"UndefinedString", R"(%Service\.DisplayName%)", "%Service.Name%",
     "%Service.Name% is not in [Strings]"},
};

class BrokenPackage : public ::testing::TestWithParam<Mutation> {};

INSTANTIATE_TEST_SUITE_P(ShippedInf, BrokenPackage, ::testing::ValuesIn(kMutations),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_P(BrokenPackage, IsRefusedWithItsReasonAndTheStoreKeepsWhatItHad) {
  const Mutation &m = GetParam();
  const std::string shipped = ShippedInf();
  const std::string broken = std::regex_replace(shipped, std::regex(m.pattern), m.replacement,
                                                std::regex_constants::format_first_only);
  ASSERT_NE(broken, shipped) << "the pattern no longer matches the INF";

  std::string error;
  EXPECT_FALSE(DriverPackage::Load("morvane.inf", broken, &error));
  EXPECT_NE(error.find(m.reason), std::string::npos) << error;
  EXPECT_EQ(error.rfind("morvane.inf: ", 0), 0u) << error;

  sim::Machine machine;
  EXPECT_FALSE(machine.pnp().SetDriverPackages({{"morvane.inf", broken}}, &error));
  EXPECT_EQ(machine.pnp().LoadDriver(DriverEntry), STATUS_SUCCESS) << "the shipped one is kept";
  machine.pnp().UnloadDriver();
}

// ---------------------------------------------------------------- installation on the machine

class Installation : public ::testing::Test {
 protected:
  void TearDown() override {
    client.reset();
    for (auto &c : std::vector<sim::PnpManager::Card *>(added))
      if (c->fdo != nullptr) machine.pnp().RemoveCard(*c);
    machine.pnp().UnloadDriver();
  }
  // A board that lives as long as the machine's teardown needs it.
  sim::PnpManager::Card *Add(sim::Card::Variant variant) {
    boards.push_back(std::make_unique<sim::Card>(variant));
    sim::PnpManager::Card *c = nullptr;
    EXPECT_EQ(machine.pnp().AddCard(boards.back().get(), &c), STATUS_SUCCESS)
        << machine.pnp().lastError();
    added.push_back(c);
    return c;
  }
  sim::Registry &reg() { return machine.registry(); }

  sim::Machine machine;
  std::vector<sim::PnpManager::Card *> added;
  std::vector<std::unique_ptr<sim::Card>> boards;
  std::unique_ptr<sim::ks::Client> client;
};

TEST_F(Installation, WritesTheServiceTheEnumListTheDeviceAndItsSoftwareKey) {
  ASSERT_EQ(machine.pnp().LoadDriver(DriverEntry), STATUS_SUCCESS);
  EXPECT_EQ(reg().GetDword(std::string(kControl) + "Services\\morvane", "Start"), 3u);
  sim::PnpManager::Card *a = Add(sim::Card::Variant::Device6864);
  sim::PnpManager::Card *b = Add(sim::Card::Variant::Standard);
  char subsystem[32];
  std::snprintf(subsystem, sizeof subsystem, "&SUBSYS_%04X%04X&REV_01", sim::Card::kSubsystemId,
                sim::Card::kVendorId);
  EXPECT_EQ(a->instancePath, Board6864(subsystem) + "\\4&2d5b8c1&0&0800");

  // The list the settings tools read.
  const std::string list = std::string(kControl) + "Services\\morvane\\Enum";
  EXPECT_EQ(reg().GetDword(list, "Count"), 2u);
  EXPECT_EQ(reg().GetString(list, "0"), a->instancePath);
  EXPECT_EQ(reg().GetString(list, "1"), b->instancePath);

  const std::string device = std::string(kControl) + "Enum\\" + a->instancePath;
  EXPECT_EQ(reg().GetString(device, "Service"), "morvane");
  EXPECT_EQ(reg().GetString(device, "ClassGUID"), "{4d36e96c-e325-11ce-bfc1-08002be10318}");
  EXPECT_EQ(reg().GetString(device, "Class"), "MEDIA");
  EXPECT_EQ(reg().GetString(device, "DeviceDesc"), "MORVANE 8-Channel Capture Card (6864)");
  EXPECT_EQ(reg().GetString(device, "Mfg"), "Orl");
  EXPECT_EQ(MultiString(reg(), device, "HardwareID").at(0), a->instancePath.substr(0, 44));
  EXPECT_EQ(MultiString(reg(), device, "CompatibleIDs").at(1), Board6864());
  EXPECT_TRUE(reg().KeyExists(device + "\\Device Parameters"));
  EXPECT_EQ(reg().GetString(std::string(kControl) + "Enum\\" + b->instancePath, "DeviceDesc"),
            "MORVANE 8-Channel Capture Card");

  // Each card its own software key under the setup class.
  const std::string driverA = reg().GetString(device, "Driver").value_or("");
  const std::string driverB =
      reg().GetString(std::string(kControl) + "Enum\\" + b->instancePath, "Driver").value_or("");
  EXPECT_EQ(driverA, "{4d36e96c-e325-11ce-bfc1-08002be10318}\\0000");
  EXPECT_EQ(driverB, "{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001");
  const std::string software = std::string(kControl) + "Control\\Class\\" + driverA;
  EXPECT_EQ(reg().GetString(software, "MatchingDeviceId"), sim::InfLower(Board6864()));
  EXPECT_EQ(reg().GetString(software, "ProviderName"), "Orl");
  EXPECT_EQ(reg().GetString(software, "InfSection"), "MorvaneCapture");
}

TEST_F(Installation, PublishesEveryFilterUnderItsNameAndTheProxyInEachCategory) {
  ASSERT_EQ(machine.pnp().LoadDriver(DriverEntry), STATUS_SUCCESS);
  sim::PnpManager::Card *c = Add(sim::Card::Variant::Device6864);
  ASSERT_EQ(machine.pnp().StartCard(*c), STATUS_SUCCESS);
  client = std::make_unique<sim::ks::Client>(machine);
  std::set<std::string> names;
  size_t named = 0;
  for (const auto &i : client->AllInterfaces()) {
    // The filters' descriptors also list the all-zero GUID as a category; nothing looks there.
    if (i.category == GUID_NULL) continue;
    ++named;
    EXPECT_EQ(i.proxyClsid, "{17CCA71B-ECD7-11D0-B908-00A0C9223196}") << i.symbolicLink;
    names.insert(i.friendlyName);
    const std::string key =
        sim::DeviceInterfaceKey(i.deviceInstance, GuidText(i.category), i.referenceString);
    EXPECT_EQ(reg().GetString(key.substr(0, key.rfind('\\')), "DeviceInstance"), c->instancePath);
  }
  EXPECT_EQ(named, 32u) << "sixteen filters in two categories each";
  EXPECT_EQ(names.size(), 16u);
  EXPECT_EQ(names.count("MORVANE Video 1"), 1u);
  EXPECT_EQ(names.count("MORVANE Audio 8"), 1u);
}

TEST_F(Installation, AReinstallationKeepsTheCardsSettingsAndSoftwareKey) {
  ASSERT_EQ(machine.pnp().LoadDriver(DriverEntry), STATUS_SUCCESS);
  sim::PnpManager::Card *c = Add(sim::Card::Variant::Device6864);
  const std::string path = c->instancePath;
  const std::string device = std::string(kControl) + "Enum\\" + path;
  reg().SetDword(device + "\\Device Parameters", "INTMODE3", 2);
  const std::string saved = reg().SaveText();
  machine.pnp().RemoveCard(*c);
  added.clear();
  machine.pnp().UnloadDriver();

  // The next boot of the same machine: the registry as it was saved.
  sim::Machine next;
  next.registry().LoadText(saved);
  ASSERT_EQ(next.pnp().LoadDriver(DriverEntry), STATUS_SUCCESS);
  sim::Card again(sim::Card::Variant::Device6864);
  sim::PnpManager::Card *d = nullptr;
  ASSERT_EQ(next.pnp().AddCard(&again, &d), STATUS_SUCCESS);
  EXPECT_EQ(d->instancePath, path);
  EXPECT_EQ(next.registry().GetDword(device + "\\Device Parameters", "INTMODE3"), 2u);
  EXPECT_EQ(next.registry().GetString(device, "Driver"),
            "{4d36e96c-e325-11ce-bfc1-08002be10318}\\0000");
  next.pnp().RemoveCard(*d);
  next.pnp().UnloadDriver();
}

class OtherMaker : public sim::PciDevice {
 public:
  uint32_t ConfigRead32(uint32_t offset) override {
    return offset == 0 ? 0x00011AF4u : offset == 8 ? 0x04000001u : 0;
  }
  void ConfigWrite32(uint32_t, uint32_t) override {}
  uint32_t WindowLength() const override { return 4096; }
  uint32_t MmioRead32(uint32_t) override { return 0; }
  void MmioWrite32(uint32_t, uint32_t) override {}
};

TEST_F(Installation, ACardNoPackageNamesGetsNoDriverAndStaysOffTheServiceList) {
  ASSERT_EQ(machine.pnp().LoadDriver(DriverEntry), STATUS_SUCCESS);
  OtherMaker other;
  sim::PnpManager::Card *c = nullptr;
  EXPECT_EQ(machine.pnp().AddCard(&other, &c), STATUS_NO_SUCH_DEVICE);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->fdo, nullptr);
  EXPECT_NE(machine.pnp().lastError().find("no driver package"), std::string::npos);
  const std::string device = std::string(kControl) + "Enum\\" + c->instancePath;
  EXPECT_FALSE(reg().GetString(device, "Service"));
  EXPECT_FALSE(reg().KeyExists(device + "\\Device Parameters"));
  EXPECT_EQ(reg().GetDword(std::string(kControl) + "Services\\morvane\\Enum", "Count"), 0u);
  machine.pnp().RemoveCard(*c);

  // A service no package installs cannot be loaded at all.
  machine.pnp().UnloadDriver();
  EXPECT_EQ(machine.pnp().LoadDriver(DriverEntry, "elsewhere"), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
