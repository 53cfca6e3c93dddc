#include "tools/common/settings_store.h"

#include <cstring>
#include <iterator>

std::u16string Decimal(uint32_t number) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + number % 10));
    number /= 10;
  } while (number != 0);
  return digits;
}

std::u16string CardSettingsKey(const std::u16string &instancePath) {
  return u"SYSTEM\\CurrentControlSet\\Enum\\" + instancePath + u"\\Device Parameters";
}

std::u16string ChannelValueName(const ToolTraits &tool, int channel) {
  return tool.valuePrefix + Decimal(static_cast<uint32_t>(channel));
}

int32_t ChoiceFromNumber(ChoiceEncoding encoding, uint32_t number) {
  // The driver doubles lines only for 2; every other number is woven.
  if (encoding == ChoiceEncoding::kZeroOrTwo) return number == 2 ? 1 : 0;
  return static_cast<int32_t>(number);
}

bool NumberFromChoice(ChoiceEncoding encoding, int32_t choice, uint32_t *number) {
  if (encoding == ChoiceEncoding::kZeroOrTwo) {
    if (choice != 0 && choice != 1) return false;  // neither button: leave the value alone
    *number = choice == 1 ? 2 : 0;
    return true;
  }
  *number = static_cast<uint32_t>(choice);
  return true;
}

int32_t DefaultChoice(ChoiceEncoding encoding) { return ChoiceFromNumber(encoding, 0); }

bool SettingsStore::ReadNumber(Registry::Key &key, const std::u16string &name, uint32_t *number) {
  // Zeroed, so data shorter than four bytes reads as a small number rather than stack bytes.
  uint8_t data[4] = {};
  uint32_t size = sizeof(data);
  if (!key.Read(name, data, &size)) return false;
  std::memcpy(number, data, sizeof(data));
  return true;
}

std::vector<std::u16string> SettingsStore::EnumerateCards() {
  std::vector<std::u16string> cards;
  std::unique_ptr<Registry::Key> list = registry_.OpenMachineKey(kCardListKey);
  if (!list) {
    messages_.ShowStoreMessage(u"MORVANE not found", tool_.programName);
    return cards;
  }
  uint32_t count = 0;
  if (!ReadNumber(*list, u"Count", &count)) return cards;
  // No slots are reserved from "Count": a damaged count must not cost memory; the list
  // ends at the first missing entry anyway.
  for (uint32_t i = 0; i < count; ++i) {
    char16_t path[kInstancePathBytes / sizeof(char16_t)] = {};
    uint32_t size = kInstancePathBytes;
    if (!list->Read(Decimal(i), path, &size)) break;
    // A path that fills the buffer with no terminator is unreadable, never read past the end.
    size_t length = 0;
    while (length < std::size(path) && path[length] != 0) ++length;
    if (length == std::size(path)) break;
    cards.emplace_back(path, length);
  }
  return cards;
}

std::unique_ptr<Registry::Key> SettingsStore::OpenCard(const std::vector<std::u16string> &cards,
                                                       uint32_t cardIndex, int32_t *status) {
  if (cardIndex >= cards.size()) {
    *status = kNoSuchCard;
    return nullptr;
  }
  std::u16string path = CardSettingsKey(cards[cardIndex]);
  std::unique_ptr<Registry::Key> key = registry_.OpenMachineKey(path);
  if (!key) {
    messages_.ShowStoreMessage(u"Key not found:\nHKEY_LOCAL_MACHINE\\" + path,
                               u"Card " + Decimal(cardIndex + 1));
    *status = kKeyNotOpened;
    return nullptr;
  }
  *status = 0;
  return key;
}

int32_t SettingsStore::Load(const std::vector<std::u16string> &cards, uint32_t cardIndex,
                            int32_t choice[kChannelCount]) {
  int32_t status;
  std::unique_ptr<Registry::Key> key = OpenCard(cards, cardIndex, &status);
  if (!key) return status;
  for (int n = 0; n < kChannelCount; ++n) {
    uint32_t number;
    if (ReadNumber(*key, ChannelValueName(tool_, n), &number))
      choice[n] = ChoiceFromNumber(tool_.encoding, number);
  }
  return 0;
}

int32_t SettingsStore::Save(const std::vector<std::u16string> &cards, uint32_t cardIndex,
                            const int32_t choice[kChannelCount]) {
  int32_t status;
  std::unique_ptr<Registry::Key> key = OpenCard(cards, cardIndex, &status);
  if (!key) return status;
  for (int n = 0; n < kChannelCount; ++n) {
    std::u16string name = ChannelValueName(tool_, n);
    uint32_t number;
    if (!NumberFromChoice(tool_.encoding, choice[n], &number)) continue;
    if (!key->WriteDword(name, number)) messages_.ShowStoreMessage(name, tool_.programName);
  }
  return 0;
}
