#include "tools/common/settings_store.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/tools/tool_rig.h"

namespace {

struct Message {
  std::u16string text, caption;
  bool operator==(const Message &) const = default;
};

class Recorder : public StoreMessages {
 public:
  void ShowStoreMessage(const std::u16string &text, const std::u16string &caption) override {
    shown.push_back({text, caption});
  }
  std::vector<Message> shown;
};

class Store : public ::testing::Test {
 protected:
  SettingsStore Pinflip() { return SettingsStore(registry, messages, kPinflipTool); }
  SettingsStore Fieldflip() { return SettingsStore(registry, messages, kFieldflipTool); }

  MemoryRegistry registry;
  Recorder messages;
};

MemoryRegistry::Value Utf16(const std::u16string &text, bool terminated) {
  MemoryRegistry::Value v{MemoryRegistry::kString, {}};
  v.data.resize((text.size() + (terminated ? 1 : 0)) * 2);
  std::memcpy(v.data.data(), text.c_str(), v.data.size());
  return v;
}

TEST_F(Store, ListsTheCardsInIndexOrder) {
  InstallCards(registry, 2);
  EXPECT_EQ(Pinflip().EnumerateCards(), (std::vector{InstancePath(0), InstancePath(1)}));
  EXPECT_TRUE(messages.shown.empty());
}

TEST_F(Store, CardListEndsAtTheFirstUnreadableEntry) {
  InstallCards(registry, 3);
  registry.DeleteValue(kCardListKey, u"1");
  EXPECT_EQ(Pinflip().EnumerateCards(), std::vector{InstancePath(0)});

  // A count far beyond the entries present costs nothing and lists what is there.
  registry.SetString(kCardListKey, u"1", InstancePath(1));
  registry.SetDword(kCardListKey, u"Count", 0xFFFFFFFF);
  EXPECT_EQ(Pinflip().EnumerateCards().size(), 3u);

  registry.DeleteValue(kCardListKey, u"Count");
  EXPECT_TRUE(Pinflip().EnumerateCards().empty());
  EXPECT_TRUE(messages.shown.empty());
}

TEST_F(Store, MissingOrForbiddenServiceKeyIsReportedWithTheProgramName) {
  EXPECT_TRUE(Fieldflip().EnumerateCards().empty());
  InstallCards(registry, 1);
  registry.DenyOpen(kCardListKey);  // as for a user without administrative rights
  EXPECT_TRUE(Pinflip().EnumerateCards().empty());
  EXPECT_EQ(messages.shown, (std::vector<Message>{{u"MORVANE not found", u"Fieldflip"},
                                                  {u"MORVANE not found", u"Pinflip"}}));
}

TEST_F(Store, InstancePathMustEndInsideTheThousandByteBuffer) {
  InstallCards(registry, 3);
  // 499 characters and the terminator fill the buffer exactly: readable.
  std::u16string longest(499, u'A');
  registry.Set(kCardListKey, u"0", Utf16(longest, true));
  // 500 characters without a terminator also fit the buffer exactly, but end nowhere.
  registry.Set(kCardListKey, u"1", Utf16(std::u16string(500, u'B'), false));
  std::vector<std::u16string> cards = Pinflip().EnumerateCards();
  ASSERT_EQ(cards.size(), 1u);
  EXPECT_EQ(cards[0], longest);

  // Longer than the buffer with its terminator: unreadable.
  registry.Set(kCardListKey, u"0", Utf16(std::u16string(500, u'C'), true));
  EXPECT_TRUE(Pinflip().EnumerateCards().empty());

  // Shorter than the buffer and unterminated: the data's own end ends it.
  registry.Set(kCardListKey, u"0", Utf16(u"PCI\\X", false));
  EXPECT_EQ(Pinflip().EnumerateCards(), std::vector<std::u16string>{u"PCI\\X"});
}

TEST_F(Store, PinflipLoadsNumbersAsTheyAreAndSavesChoicesAsTheyAre) {
  InstallCards(registry, 2);
  SetChannelValues(registry, 0, u"Preview", {1, 0, 0, 0, 0, 7, 0, 1});
  std::vector<std::u16string> cards = Pinflip().EnumerateCards();
  int32_t choice[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  ASSERT_EQ(Pinflip().Load(cards, 0, choice), 0);
  EXPECT_EQ(std::vector<int32_t>(choice, choice + 8),
            (std::vector<int32_t>{1, 0, 0, 0, 0, 7, 0, 1}));

  choice[1] = 1;
  choice[2] = -1;
  ASSERT_EQ(Pinflip().Save(cards, 1, choice), 0);
  EXPECT_EQ(ChannelValues(registry, 1, u"Preview"),
            (std::vector<uint32_t>{1, 1, 0xFFFFFFFF, 0, 0, 7, 0, 1}));
  EXPECT_EQ(registry.Get(SettingsKey(1), u"Preview2")->type, MemoryRegistry::kDword);
}

TEST_F(Store, FieldflipShowsLinearOnlyForTwoAndWritesOnlyWhatAChoiceMeans) {
  InstallCards(registry, 1);
  // The driver doubles lines for 2 alone; 1 and the rest are woven, and show as Weave.
  SetChannelValues(registry, 0, u"INTMODE", {0, 2, 1, 0xFFFFFFFF, 7, 0, 0, 0});
  std::vector<std::u16string> cards = Fieldflip().EnumerateCards();
  int32_t choice[8] = {};
  ASSERT_EQ(Fieldflip().Load(cards, 0, choice), 0);
  EXPECT_EQ(std::vector<int32_t>(choice, choice + 8),
            (std::vector<int32_t>{0, 1, 0, 0, 0, 0, 0, 0}));

  choice[2] = 1;   // Linear: 2
  choice[4] = -1;  // neither button: the stored 7 stays, nothing is made up for it
  ASSERT_EQ(Fieldflip().Save(cards, 0, choice), 0);
  EXPECT_EQ(ChannelValues(registry, 0, u"INTMODE"),
            (std::vector<uint32_t>{0, 2, 2, 0, 7, 0, 0, 0}));
}

TEST_F(Store, UnreadableChannelValuesKeepTheirChoice) {
  InstallCards(registry, 1);
  registry.SetDword(SettingsKey(0), u"Preview0", 1);
  // Eight bytes: longer than a number, so unreadable.
  registry.Set(SettingsKey(0), u"Preview1", {MemoryRegistry::kBinary, {1, 0, 0, 0, 0, 0, 0, 0}});
  // Four bytes of another type are taken as the number.
  registry.Set(SettingsKey(0), u"Preview2", {MemoryRegistry::kBinary, {1, 0, 0, 0}});
  // Fewer than four bytes read as a small number, not as whatever the buffer held.
  registry.Set(SettingsKey(0), u"Preview3", {MemoryRegistry::kBinary, {1}});
  std::vector<std::u16string> cards = Pinflip().EnumerateCards();
  int32_t choice[8] = {5, 5, 5, 5, 5, 5, 5, 5};
  ASSERT_EQ(Pinflip().Load(cards, 0, choice), 0);
  EXPECT_EQ(std::vector<int32_t>(choice, choice + 8),
            (std::vector<int32_t>{1, 5, 1, 1, 5, 5, 5, 5}));
}

TEST_F(Store, NoSuchCardIsSilentAndWritesNothing) {
  InstallCards(registry, 1);
  std::vector<std::u16string> cards = Pinflip().EnumerateCards();
  int32_t choice[8] = {};
  MemoryRegistry::Values before = registry.Snapshot(SettingsKey(0));
  EXPECT_EQ(Pinflip().Load(cards, 1, choice), SettingsStore::kNoSuchCard);
  EXPECT_EQ(Pinflip().Save(cards, 0xFFFFFFFF, choice), SettingsStore::kNoSuchCard);  // CB_ERR
  EXPECT_EQ(Pinflip().Save({}, 0, choice), SettingsStore::kNoSuchCard);
  EXPECT_EQ(registry.Snapshot(SettingsKey(0)), before);
  EXPECT_TRUE(messages.shown.empty());
}

TEST_F(Store, MissingCardKeyNamesTheCardAndThePathAndIsNeverCreated) {
  InstallCards(registry, 3);
  registry.DeleteKey(SettingsKey(2));
  std::vector<std::u16string> cards = Pinflip().EnumerateCards();
  int32_t choice[8] = {};
  EXPECT_EQ(Pinflip().Load(cards, 2, choice), SettingsStore::kKeyNotOpened);
  EXPECT_EQ(Pinflip().Save(cards, 2, choice), SettingsStore::kKeyNotOpened);
  EXPECT_FALSE(registry.HasKey(SettingsKey(2)));
  // The whole path in the text, where it is not cut to the caption's width.
  const std::u16string text =
      u"Key not found:\nHKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\"
      u"VEN_4D56&DEV_6864&SUBSYS_00000000&REV_01\\4&1a2b3c4d&0&00E2\\Device Parameters";
  EXPECT_EQ(messages.shown, (std::vector<Message>{{text, u"Card 3"}, {text, u"Card 3"}}));
}

TEST_F(Store, FailedWriteNamesTheValueAndTheOtherChannelsAreStillWritten) {
  InstallCards(registry, 1);
  registry.FailWrite(u"Preview3");
  registry.FailWrite(u"Preview6");
  std::vector<std::u16string> cards = Pinflip().EnumerateCards();
  int32_t choice[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(Pinflip().Save(cards, 0, choice), 0);
  EXPECT_EQ(ChannelValues(registry, 0, u"Preview"),
            (std::vector<uint32_t>{1, 1, 1, 0xDEAD, 1, 1, 0xDEAD, 1}));
  EXPECT_EQ(messages.shown,
            (std::vector<Message>{{u"Preview3", u"Pinflip"}, {u"Preview6", u"Pinflip"}}));
}

}  // namespace
