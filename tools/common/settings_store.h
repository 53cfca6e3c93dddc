// The card list and the per-channel values the settings tools edit under each card's
// "Device Parameters" key.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/registry.h"
#include "tools/common/tool.h"

inline constexpr int kChannelCount = 8;
inline constexpr char16_t kCardListKey[] = u"SYSTEM\\CurrentControlSet\\Services\\morvane\\Enum";

// Where the store's messages go: a modal box with an OK button, owned by the dialog.
class StoreMessages {
 public:
  virtual ~StoreMessages() = default;
  virtual void ShowStoreMessage(const std::u16string &text, const std::u16string &caption) = 0;
};

std::u16string Decimal(uint32_t number);
std::u16string CardSettingsKey(const std::u16string &instancePath);
std::u16string ChannelValueName(const ToolTraits &tool, int channel);
int32_t ChoiceFromNumber(ChoiceEncoding encoding, uint32_t number);
// The number a choice stands for; false when the choice stands for none, so nothing is written.
bool NumberFromChoice(ChoiceEncoding encoding, int32_t choice, uint32_t *number);
// What a row shows for a value the driver finds missing: capture, woven.
int32_t DefaultChoice(ChoiceEncoding encoding);

class SettingsStore {
 public:
  static constexpr int32_t kNoSuchCard = -1;
  static constexpr int32_t kKeyNotOpened = -2;
  // Instance paths are read into a buffer of this many bytes.
  static constexpr uint32_t kInstancePathBytes = 1000;

  SettingsStore(Registry &registry, StoreMessages &messages, const ToolTraits &tool)
      : registry_(registry), messages_(messages), tool_(tool) {}

  // The instance paths of the installed cards in card-index order. The list ends at the
  // first entry that cannot be read.
  std::vector<std::u16string> EnumerateCards();
  // Reads the card's channel values into choice; a channel whose value cannot be read keeps
  // its choice. Returns 0, kNoSuchCard or kKeyNotOpened.
  int32_t Load(const std::vector<std::u16string> &cards, uint32_t cardIndex,
               int32_t choice[kChannelCount]);
  // Writes the channel values the choices stand for; a failed write is reported and the others
  // still written.
  int32_t Save(const std::vector<std::u16string> &cards, uint32_t cardIndex,
               const int32_t choice[kChannelCount]);

 private:
  bool ReadNumber(Registry::Key &key, const std::u16string &name, uint32_t *number);
  // A card's settings key; a key that does not open is reported with the card's name as the
  // caption and the key's full path in the text.
  std::unique_ptr<Registry::Key> OpenCard(const std::vector<std::u16string> &cards,
                                          uint32_t cardIndex, int32_t *status);

  Registry &registry_;
  StoreMessages &messages_;
  const ToolTraits &tool_;
};
