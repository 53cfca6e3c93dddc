// Cards in an in-memory registry as the plug-and-play manager lists them, and a settings tool
// run on the headless window system with its real resource script.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/common/headless/headless_window_system.h"
#include "tools/common/memory_registry.h"
#include "tools/common/settings_store.h"

inline std::u16string InstancePath(int card) {
  return u"PCI\\VEN_4D56&DEV_6864&SUBSYS_00000000&REV_01\\4&1a2b3c4d&0&00E" + Decimal(card);
}

inline std::u16string SettingsKey(int card) { return CardSettingsKey(InstancePath(card)); }

// Lists count cards under the service and creates each card's settings key.
inline void InstallCards(MemoryRegistry &registry, int count) {
  registry.CreateKey(kCardListKey);
  registry.SetDword(kCardListKey, u"Count", static_cast<uint32_t>(count));
  for (int i = 0; i < count; ++i) {
    registry.SetString(kCardListKey, Decimal(static_cast<uint32_t>(i)), InstancePath(i));
    registry.CreateKey(SettingsKey(i));
  }
}

inline void SetChannelValues(MemoryRegistry &registry, int card, const std::u16string &prefix,
                             const std::vector<uint32_t> &values) {
  for (size_t n = 0; n < values.size(); ++n)
    registry.SetDword(SettingsKey(card), prefix + Decimal(static_cast<uint32_t>(n)), values[n]);
}

inline std::vector<uint32_t> ChannelValues(const MemoryRegistry &registry, int card,
                                           const std::u16string &prefix) {
  std::vector<uint32_t> values;
  for (uint32_t n = 0; n < kChannelCount; ++n)
    values.push_back(registry.GetDword(SettingsKey(card), prefix + Decimal(n)).value_or(0xDEAD));
  return values;
}

inline ResourceScript ToolResources(const std::string &tool) {
  const std::string dir = MORVANE_TOOLS_SOURCE_DIR;
  return LoadResourceScript(dir + "/" + tool + "/" + tool + ".rc", {dir + "/common"});
}
