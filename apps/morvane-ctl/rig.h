// The simulated machine morvane-ctl works on: cards with their inputs, the registry
// file, the driver loaded and started, and a kernel-streaming client; plus the names
// users give the sixteen filters of each card.
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "options.h"
#include "sim/card/card.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/ks/client.h"

namespace ctl {

// A problem with what the user asked for: one message, exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A step that failed on the machine: one message, exit status 1.
struct StepError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string Hex(uint32_t value);
std::string GuidText(const GUID &guid);
std::string VariantName(sim::Card::Variant variant);

// One of the sixteen filters of a card.
struct FilterId {
  int card = 0;
  bool video = true;
  unsigned channel = 0;
  std::string Name() const;  // "card0/video3"
};

// What -d names: one filter, or every filter of a card.
struct DeviceSelection {
  int card = 0;
  bool wholeCard = false;
  FilterId filter;
};
// Parses a -d name against the number of cards; throws UsageError.
DeviceSelection SelectDevice(const std::string &name, int cards);

class Rig {
 public:
  // Builds the machine, loads the registry file, the driver and starts the cards.
  // Writes nothing. Throws UsageError/StepError; sim::VerifierStop passes through.
  explicit Rig(const Options &options);
  ~Rig();
  Rig(const Rig &) = delete;
  Rig &operator=(const Rig &) = delete;

  sim::Machine &machine() { return *machine_; }
  sim::ks::Client &client() { return *client_; }
  int cardCount() const { return static_cast<int>(cards_.size()); }
  sim::Card &card(int i) { return *cards_.at(i); }
  // The card's device instance path (kept: the PnP manager forgets removed cards).
  const std::string &instancePath(int i) const { return instancePaths_.at(i); }
  std::string SettingsKey(int card) const;
  const InputSpec &input(int card, unsigned channel) const { return inputs_.at(card).at(channel); }

  DeviceSelection Select(const std::string &name) const { return SelectDevice(name, cardCount()); }
  // The filter's device interface, found as a client finds it: among the card's
  // interfaces of the video (or audio) category that are also capture filters, the
  // channel's place in the enumeration.
  sim::ks::DeviceInterface Interface(const FilterId &id) const;
  // The filter's handle, opened once: opening runs the driver's standard detection, which
  // would undo a standard set earlier in the same run.
  sim::ks::Handle Open(const FilterId &id);

  // Saves the registry to the registry file given; throws UsageError.
  void SaveRegistry();
  // The cards' register, barrier and bus trace into `path`; throws UsageError.
  void WriteTrace(const std::string &path, const std::string &shownAs);
  // Stops the cards and unloads the driver, as a shutdown would.
  void Shutdown();

  // The card as the PnP manager knows it (for timeline actions), or null after Shutdown.
  sim::PnpManager::Card *pnpCard(int i) const {
    return i >= 0 && i < static_cast<int>(pnpCards_.size()) ? pnpCards_[i] : nullptr;
  }
  // Something the platform did, for the trace: `card` -1 for the whole machine.
  void NoteEvent(int card, int64_t when, const std::string &text);

 private:
  void ApplySettings(int card);

  const Options &options_;
  std::unique_ptr<sim::Machine> machine_;
  std::vector<std::unique_ptr<sim::Card>> cards_;
  std::vector<sim::PnpManager::Card *> pnpCards_;  // until Shutdown()
  std::vector<std::string> instancePaths_;
  std::vector<std::vector<InputSpec>> inputs_;
  std::unique_ptr<sim::ks::Client> client_;
  std::map<std::string, sim::ks::Handle> open_;
  struct Event {
    int card;
    int64_t when;
    std::string text;
  };
  std::vector<Event> events_;
  bool shutDown_ = false;
};

}  // namespace ctl
