// The package and the driver agree: the interfaces morvane.inf registers are exactly the
// filters the driver publishes on a started card, in the same categories, under the names the
// README gives capture users.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include "support/client_rig.h"
#include "sim/kernel/driver_package.h"

namespace {

using suite::ClientRig;

std::string Upper(std::string s) {
  for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string GuidText(const GUID &g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

// (category, reference string, name) in upper case, name as is.
using Entry = std::tuple<std::string, std::string, std::string>;

std::set<Entry> PackageEntries(sim::Card::Variant variant) {
  std::string error;
  auto [name, text] = sim::BuiltInDriverPackages().at(0);
  std::optional<sim::DriverPackage> p = sim::DriverPackage::Load(name, text, &error);
  EXPECT_TRUE(p) << error;
  if (!p) return {};
  char id[64];
  std::snprintf(id, sizeof id, "PCI\\VEN_%04X&DEV_%04X", sim::Card::kVendorId,
                variant == sim::Card::Variant::Device6864 ? sim::Card::kDevice6864Id
                                                          : sim::Card::kStandardDeviceId);
  std::optional<sim::DriverPackage::Match> m = p->FindDevice({id});
  EXPECT_TRUE(m) << id;
  if (!m) return {};
  std::set<Entry> entries;
  for (const auto &i : p->Interfaces(*m)) {
    std::string friendly;
    for (const sim::InfLine *line : p->inf().FindAll(i.section, "AddReg"))
      for (const std::string &section : line->fields)
        for (const sim::InfLine &value : *p->inf().Section(section))
          if (value.Field(2) == "FriendlyName") friendly = value.Field(4);
    entries.insert({Upper(i.category), Upper(i.reference), friendly});
  }
  return entries;
}

TEST(PackageInterfaces, AreTheFiltersTheDriverPublishesWithTheirNames) {
  for (sim::Card::Variant v : {sim::Card::Variant::Device6864, sim::Card::Variant::Standard}) {
    SCOPED_TRACE(v == sim::Card::Variant::Device6864 ? "6864" : "standard");
    ClientRig b(v);
    std::set<Entry> published;
    for (const sim::ks::DeviceInterface &i : b.client->AllInterfaces()) {
      // The descriptors' third category, the all-zero GUID, is no class anyone enumerates;
      // the package registers nothing for it.
      if (i.category == GUID_NULL) continue;
      published.insert({GuidText(i.category), GuidText(i.referenceGuid), i.friendlyName});
    }
    std::set<Entry> package = PackageEntries(v);
    EXPECT_EQ(published.size(), 32u);
    EXPECT_EQ(package, published);

    // Each channel's filters are named after it, as the tools number channels (1-8).
    for (ULONG n = 0; n < 8; ++n) {
      EXPECT_EQ(b.Filter(true, n).friendlyName, "MORVANE Video " + std::to_string(n + 1));
      EXPECT_EQ(b.Filter(false, n).friendlyName, "MORVANE Audio " + std::to_string(n + 1));
    }
    EXPECT_TRUE(b.ok());
  }
}

// The README's table of names, one row per channel: the morvane-ctl device and both names.
TEST(PackageInterfaces, NamesAreTheOnesTheReadmeGives) {
  std::ifstream in(std::string(MORVANE_SOURCE_DIR) + "/README.md");
  ASSERT_TRUE(in) << "README.md";
  std::stringstream text;
  text << in.rdbuf();
  const std::string readme = text.str();
  const size_t section = readme.find("## Installing on Windows");
  ASSERT_NE(section, std::string::npos);
  const size_t end = readme.find("\n## ", section + 1);
  std::istringstream lines(readme.substr(section, end - section));
  std::set<std::string> rows;
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("|", 0) == 0) rows.insert(line);

  const std::set<Entry> package = PackageEntries(sim::Card::Variant::Device6864);
  for (ULONG n = 0; n < 8; ++n) {
    const std::string video = "MORVANE Video " + std::to_string(n + 1);
    const std::string audio = "MORVANE Audio " + std::to_string(n + 1);
    bool found = false;
    for (const std::string &row : rows)
      found |= row.find("`video" + std::to_string(n) + "`") != std::string::npos &&
               row.find("\"" + video + "\"") != std::string::npos &&
               row.find("\"" + audio + "\"") != std::string::npos;
    EXPECT_TRUE(found) << "no README row for channel " << n << " with " << video << " and "
                       << audio;
    size_t named = 0;
    for (const Entry &e : package) named += std::get<2>(e) == video || std::get<2>(e) == audio;
    EXPECT_EQ(named, 4u) << "each name in two categories";
  }
}

}  // namespace
