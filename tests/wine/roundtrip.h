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

// A fresh machine with `cards` cards installed from the driver package (none started), its
// registry exported as `wine reg import` reads it: the service with its card list, the
// cards' Enum keys, their software keys and their device interfaces. What the tools meet on a
// machine where the package was installed.
Verdict ExportInstallation(const std::filesystem::path &file, unsigned cards);

// Loads the export into a fresh machine's registry, enumerates and starts the card and
// compares each video filter's pin name, as a client finds it, with the expectation:
// preview[n] for the channel the tools label n + 1.
Verdict CheckPreviewPins(const std::filesystem::path &exportFile,
                         const std::array<bool, 8> &preview);

// Loads the export, starts the card and captures one frame on every channel: linear[n]
// channels must deliver frames built from one field with every line doubled, the others
// frames woven from two fields.
Verdict CheckLinearChannels(const std::filesystem::path &exportFile,
                            const std::array<bool, 8> &linear);

}  // namespace roundtrip
