// The settings tools against whatever the registry holds: a card list with any count and
// entries of any type and size (unterminated, overlong), settings keys missing or locked,
// channel values of any type and size, writes that fail. The store lists only readable
// paths, never reads past a buffer, loads only what it can read, saves the eight numbers
// its choices stand for and reads them back; the dialogs, clicked at will, never write
// another card's key or another tool's values, and Cancel writes nothing.
#include <map>
#include <string>
#include <vector>

#include "support/fuzz.h"
#include "tools/Fieldflip/fieldflip.h"
#include "tools/Pinflip/pinflip.h"
#include "tools/common/headless/headless_window_system.h"
#include "tools/common/memory_registry.h"
#include "tools/common/settings_store.h"

namespace {

class Messages : public StoreMessages {
 public:
  void ShowStoreMessage(const std::u16string &, const std::u16string &) override { ++count; }
  int count = 0;
};

const char16_t *const kPrefixes[] = {u"Preview", u"INTMODE"};

std::u16string Text(fuzz::Input &in) {
  static const char16_t *const kPaths[] = {
      u"PCI\\VEN_4D56&DEV_6864&SUBSYS_00000000&REV_01\\4&2d5b8c1&0&0800",
      u"PCI\\VEN_4D56&DEV_7001&SUBSYS_00000000&REV_01\\4&2d5b8c1&0&1000", u"", u"\\", u"x"};
  if (in.Bool()) return in.Pick(kPaths);
  std::u16string s;
  for (uint32_t n = in.Length(600); n > 0; --n) s.push_back(static_cast<char16_t>(in.U16()));
  return s;
}

MemoryRegistry::Value AnyValue(fuzz::Input &in) {
  static const uint32_t kTypes[] = {MemoryRegistry::kDword, MemoryRegistry::kString,
                                    MemoryRegistry::kBinary, 0, 11};
  MemoryRegistry::Value v{in.Below(4) == 0 ? in.U32() : in.Pick(kTypes), {}};
  uint32_t size = in.Bool() ? in.Below(9) : in.Length(1100);
  v.data = in.Bytes(size);
  v.data.resize(size, 0x41);
  return v;
}

struct Layout {
  std::vector<std::u16string> paths;  // as listed, for the keys below
};

Layout Fill(fuzz::Input &in, MemoryRegistry &r) {
  Layout layout;
  if (in.Below(8) == 0) return layout;  // no card list at all
  r.CreateKey(kCardListKey);
  if (in.Below(16) == 0) r.DenyOpen(kCardListKey);
  if (in.Below(4) != 0)
    r.SetDword(kCardListKey, u"Count", in.Below(6));
  else
    r.Set(kCardListKey, u"Count", AnyValue(in));
  for (uint32_t i = 0, n = in.Below(6); i < n; ++i) {
    std::u16string path = Text(in);
    switch (in.Below(4)) {
      case 0:
        r.Set(kCardListKey, Decimal(i), AnyValue(in));
        break;
      case 1:
        break;  // a gap in the list
      default:
        r.SetString(kCardListKey, Decimal(i), path);
    }
    layout.paths.push_back(path);
    std::u16string key = CardSettingsKey(path);
    if (in.Below(6) == 0) continue;  // no settings key
    r.CreateKey(key);
    if (in.Below(16) == 0) r.DenyOpen(key);
    for (const char16_t *prefix : kPrefixes)
      for (uint32_t c = 0; c < kChannelCount; ++c) {
        std::u16string name = prefix + Decimal(c);
        switch (in.Below(4)) {
          case 0:
            break;
          case 1:
            r.Set(key, name, AnyValue(in));
            break;
          default:
            r.SetDword(key, name, in.Below(4) == 0 ? in.U32() : in.Below(3));
        }
      }
  }
  if (in.Below(8) == 0) r.FailWrite(std::u16string(in.Pick(kPrefixes)) + Decimal(in.Below(8)));
  return layout;
}

std::map<std::u16string, MemoryRegistry::Values> Snapshot(const MemoryRegistry &r,
                                                          const Layout &layout) {
  std::map<std::u16string, MemoryRegistry::Values> s;
  for (const auto &path : layout.paths) s[path] = r.Snapshot(CardSettingsKey(path));
  return s;
}

void CheckStore(fuzz::Input &in, MemoryRegistry &r, const ToolTraits &tool) {
  Messages messages;
  SettingsStore store(r, messages, tool);
  std::vector<std::u16string> cards = store.EnumerateCards();
  for (const auto &path : cards) {
    FUZZ_CHECK(path.find(u'\0') == std::u16string::npos, "a listed path holds a NUL");
    FUZZ_CHECK(path.size() < SettingsStore::kInstancePathBytes / 2, "a path longer than read");
  }
  uint32_t index = in.Below(static_cast<uint32_t>(cards.size()) + 2);
  int32_t choice[kChannelCount];
  for (int32_t &c : choice) c = 77;
  int before = messages.count;
  int32_t status = store.Load(cards, index, choice);
  if (index >= cards.size()) {
    FUZZ_CHECK(status == SettingsStore::kNoSuchCard, "a card beyond the list");
    return;
  }
  std::u16string key = CardSettingsKey(cards[index]);
  if (status == SettingsStore::kKeyNotOpened) {
    FUZZ_CHECK(messages.count == before + 1, "a key that cannot be opened is reported once");
    return;
  }
  FUZZ_CHECK(status == 0, "a card's key opened");
  for (int n = 0; n < kChannelCount; ++n) {
    auto value = r.Get(key, ChannelValueName(tool, n));
    if (value && value->data.size() <= 4) {
      uint32_t number = 0;
      fuzz::Copy(&number, value->data.data(), value->data.size());
      FUZZ_CHECK(choice[n] == ChoiceFromNumber(tool.encoding, number), "a readable value loads");
    } else {
      FUZZ_CHECK(choice[n] == 77, "an unreadable value changed the choice");
    }
  }
  int32_t wanted[kChannelCount];
  for (int32_t &c : wanted) c = in.Below(8) == 0 ? static_cast<int32_t>(in.U32()) : in.Below(3) - 1;
  auto other = r.Snapshot(key);
  FUZZ_CHECK(store.Save(cards, index, wanted) == 0, "a key that opened is saved");
  int32_t back[kChannelCount];
  for (int32_t &c : back) c = 77;
  FUZZ_CHECK(store.Load(cards, index, back) == 0, "a saved key loads");
  for (int n = 0; n < kChannelCount; ++n) {
    std::u16string name = ChannelValueName(tool, n);
    auto written = r.GetDword(key, name);
    auto old = other.find(MemoryRegistry::Fold(name));
    uint32_t number = 0;
    if (NumberFromChoice(tool.encoding, wanted[n], &number) && written == number) {
      FUZZ_CHECK(back[n] == ChoiceFromNumber(tool.encoding, *written), "a saved choice reads back");
    } else {
      // Only a failed write, or a choice that stands for no number, leaves a value as it was.
      FUZZ_CHECK(
          old == other.end() ? !r.Get(key, name).has_value() : r.Get(key, name) == old->second,
          "a value neither written nor kept");
    }
  }
}

const ResourceScript &Resources(bool pinflip) {
  static const std::string dir = MORVANE_TOOLS_SOURCE_DIR;
  static const ResourceScript p =
      LoadResourceScript(dir + "/Pinflip/Pinflip.rc", {dir + "/common"});
  static const ResourceScript f =
      LoadResourceScript(dir + "/Fieldflip/Fieldflip.rc", {dir + "/common"});
  return pinflip ? p : f;
}

template <class App>
void RunDialog(fuzz::Input &in, MemoryRegistry &r, const Layout &layout, const ToolTraits &tool,
               bool pinflip) {
  HeadlessWindowSystem windows(Resources(pinflip));
  auto before = Snapshot(r, layout);
  bool ok = false;
  int chosen = 0;
  windows.onModal = [&](HWND dialog) {
    if (windows.TemplateId(dialog) != IDD_SETTINGS_DIALOG) {
      windows.Click(dialog, IDOK);
      return;
    }
    for (uint32_t n = in.Below(12); n > 0; --n) {
      switch (in.Below(4)) {
        case 0:
          chosen = static_cast<int>(in.Below(8));
          windows.ChooseItem(dialog, IDC_CARD_LIST, chosen);
          break;
        case 1:
          windows.SystemCommand(dialog, IDM_ABOUTBOX);
          break;
        default:
          windows.Click(dialog, IDC_CHANNEL_FIRST + 1 + in.Below(24));
          break;
      }
    }
    chosen = windows.Selection(dialog, IDC_CARD_LIST);
    ok = in.Bool();
    windows.Click(dialog, ok ? IDOK : IDCANCEL);
  };
  App app;
  app.Run(windows, r);
  FUZZ_CHECK(windows.Problems().empty(), "the dialog framework: " + windows.Problems()[0]);
  auto after = Snapshot(r, layout);
  if (!ok) {
    FUZZ_CHECK(after == before, "Cancel wrote to the registry");
    return;
  }
  // OK writes the selected card's key, and only this tool's values there.
  for (const auto &[path, values] : before) {
    const MemoryRegistry::Values &now = after[path];
    for (const auto &[name, value] : values) {
      bool mine = name.rfind(MemoryRegistry::Fold(tool.valuePrefix), 0) == 0;
      if (!mine)
        FUZZ_CHECK(now.count(name) && now.at(name) == value, "another tool's value changed");
    }
    for (const auto &[name, value] : now) {
      bool mine = name.rfind(MemoryRegistry::Fold(tool.valuePrefix), 0) == 0;
      FUZZ_CHECK(mine || values.count(name), "a value of another kind appeared");
    }
  }
  (void)chosen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  MemoryRegistry registry;
  Layout layout = Fill(in, registry);
  const ToolTraits &tool = in.Bool() ? kPinflipTool : kFieldflipTool;
  CheckStore(in, registry, tool);
  if (in.Bool())
    RunDialog<CPinflipApp>(in, registry, layout, kPinflipTool, true);
  else
    RunDialog<CFieldflipApp>(in, registry, layout, kFieldflipTool, false);
  return 0;
}
