// The settings tools' round trip through the simulated machine: a registry export of a
// card's settings, as the tools leave them, loaded into a fresh machine whose card then
// starts under the real driver.
#pragma once

#include <array>
#include <filesystem>
#include <string>

namespace roundtrip {

// The device instance path the first card of a fresh simulated machine is enumerated as:
// the path the tools must find the card under for the driver to see their settings.
std::string FirstCardPath();

// The key the driver reads the card's settings from.
std::string SettingsKey(const std::string &instancePath);

struct Verdict {
  bool ok = false;
  std::string report;  // one line per channel, then what went wrong
};

// Loads the export into a fresh machine's registry, enumerates and starts the card and
// compares each video filter's pin name, as a client finds it, with the expectation:
// preview[n] for the channel the tools label n + 1.
Verdict CheckPreviewPins(const std::filesystem::path &exportFile,
                         const std::array<bool, 8> &preview);

}  // namespace roundtrip
