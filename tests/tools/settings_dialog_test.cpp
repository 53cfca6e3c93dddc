#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/tools/tool_rig.h"
#include "tools/Fieldflip/fieldflip.h"
#include "tools/Pinflip/pinflip.h"

namespace {

constexpr int kCardList = IDC_CARD_LIST;
constexpr char16_t kNotice[] = u"The new settings will not be applied until you reboot";

int FirstButton(int channel) { return 1001 + 3 * channel; }
int SecondButton(int channel) { return 1002 + 3 * channel; }

// A tool's run: its registry, its window system with the tool's resources, and the program.
template <class App>
class Tool : public ::testing::Test {
 protected:
  Tool() : windows(ToolResources(Name())) {}

  void TearDown() override { EXPECT_TRUE(windows.Problems().empty()) << windows.Problems()[0]; }

  static std::string Name() { return std::is_same_v<App, CPinflipApp> ? "Pinflip" : "Fieldflip"; }

  // Runs the program with script acting on its main dialog.
  int Run(std::function<void(HWND)> script) {
    windows.onModal = [this, script](HWND dialog) {
      if (windows.TemplateId(dialog) == IDD_SETTINGS_DIALOG) script(dialog);
    };
    App app;
    return app.Run(windows, registry);
  }

  // The choice a row shows: 0 first button, 1 second, -1 none.
  int Shown(HWND dialog, int channel) {
    bool first = windows.IsChecked(dialog, FirstButton(channel));
    bool second = windows.IsChecked(dialog, SecondButton(channel));
    EXPECT_FALSE(first && second) << "channel " << channel + 1;
    return first ? 0 : second ? 1 : -1;
  }
  std::vector<int> AllShown(HWND dialog) {
    std::vector<int> shown;
    for (int n = 0; n < kChannelCount; ++n) shown.push_back(Shown(dialog, n));
    return shown;
  }

  std::vector<std::u16string> MessageTexts() {
    std::vector<std::u16string> texts;
    for (const auto &box : windows.MessageBoxes()) texts.push_back(box.text);
    return texts;
  }

  MemoryRegistry registry;
  HeadlessWindowSystem windows;
};

using Pinflip = Tool<CPinflipApp>;
using Fieldflip = Tool<CFieldflipApp>;

TEST_F(Pinflip, OpensOnTheFirstCardWithItsChoicesAndCancelWritesNothing) {
  InstallCards(registry, 2);
  SetChannelValues(registry, 0, u"Preview", {1, 0, 0, 0, 0, 0, 0, 1});
  SetChannelValues(registry, 1, u"Preview", {0, 1, 1, 1, 1, 1, 1, 0});
  auto before = registry.Snapshot(SettingsKey(0));
  int code = Run([&](HWND dialog) {
    EXPECT_EQ(windows.Text(dialog), u"Preview toggle");
    EXPECT_EQ(windows.Items(dialog, kCardList),
              (std::vector<std::u16string>{u"Card 1", u"Card 2"}));
    EXPECT_EQ(windows.Selection(dialog, kCardList), 0);
    EXPECT_EQ(AllShown(dialog), (std::vector<int>{1, 0, 0, 0, 0, 0, 0, 1}));
    windows.Click(dialog, SecondButton(2));
    EXPECT_TRUE(windows.Click(dialog, IDCANCEL));
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(registry.Snapshot(SettingsKey(0)), before);
  EXPECT_TRUE(windows.MessageBoxes().empty());
  EXPECT_EQ(windows.CommonControlClasses(), ICC_WIN95_CLASSES);
}

TEST_F(Pinflip, OkSavesTheShownCardThenShowsTheNoticeOverTheOpenDialog) {
  InstallCards(registry, 2);
  SetChannelValues(registry, 0, u"Preview", {1, 0, 0, 0, 0, 0, 0, 1});
  SetChannelValues(registry, 1, u"Preview", {0, 0, 0, 0, 0, 0, 0, 0});
  HWND main = nullptr;
  windows.onMessageBox = [&](const HeadlessWindowSystem::MessageBoxRecord &box) {
    EXPECT_EQ(box.owner, main);
    EXPECT_FALSE(windows.IsEnabled(main));  // modal over the dialog
    // Saved before the notice.
    EXPECT_EQ(ChannelValues(registry, 0, u"Preview"),
              (std::vector<uint32_t>{0, 1, 0, 0, 0, 0, 0, 1}));
  };
  Run([&](HWND dialog) {
    main = dialog;
    windows.Click(dialog, SecondButton(1));
    windows.Click(dialog, FirstButton(0));
    windows.Click(dialog, IDOK);
  });
  ASSERT_EQ(windows.MessageBoxes().size(), 1u);
  EXPECT_EQ(windows.MessageBoxes()[0].text, kNotice);
  EXPECT_EQ(windows.MessageBoxes()[0].caption, u"IMPORTANT!");
  EXPECT_EQ(windows.MessageBoxes()[0].type, MB_OK);
  EXPECT_EQ(ChannelValues(registry, 1, u"Preview"), std::vector<uint32_t>(8, 0));
}

TEST_F(Pinflip, OtherStoredNumberIsKeptUntilAClickThenSavedAsNeither) {
  InstallCards(registry, 1);
  SetChannelValues(registry, 0, u"Preview", {0, 0, 0, 0, 0, 7, 0, 0});
  Run([&](HWND dialog) {
    EXPECT_EQ(Shown(dialog, 5), -1);
    windows.Click(dialog, IDOK);
  });
  EXPECT_EQ(registry.GetDword(SettingsKey(0), u"Preview5"), 7u);

  Run([&](HWND dialog) {
    windows.Click(dialog, SecondButton(0));
    EXPECT_EQ(Shown(dialog, 5), -1);
    windows.Click(dialog, IDOK);
  });
  EXPECT_EQ(ChannelValues(registry, 0, u"Preview"),
            (std::vector<uint32_t>{1, 0, 0, 0, 0, 0xFFFFFFFF, 0, 0}));
}

TEST_F(Fieldflip, ShowsLinearOnlyWhereTheDriverDoublesSavesTwoAndShowsNoMessage) {
  InstallCards(registry, 1);
  SetChannelValues(registry, 0, u"INTMODE", {0, 0, 1, 0, 0, 0, 2, 0});
  int code = Run([&](HWND dialog) {
    EXPECT_EQ(windows.Text(dialog), u"Interlace mode");
    // A stored 1 is woven by the driver, so it shows as Weave, and OK keeps it woven.
    EXPECT_EQ(AllShown(dialog), (std::vector<int>{0, 0, 0, 0, 0, 0, 1, 0}));
    windows.Click(dialog, SecondButton(7));
    windows.Click(dialog, IDOK);
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ChannelValues(registry, 0, u"INTMODE"),
            (std::vector<uint32_t>{0, 0, 0, 0, 0, 0, 2, 2}));
  EXPECT_TRUE(windows.MessageBoxes().empty());
}

TEST_F(Fieldflip, RowsOfMissingValuesShowAndKeepTheDriversDefault) {
  InstallCards(registry, 1);
  registry.SetDword(SettingsKey(0), u"INTMODE4", 2);
  Run([&](HWND dialog) {
    EXPECT_EQ(AllShown(dialog), (std::vector<int>{0, 0, 0, 0, 1, 0, 0, 0}));
    windows.Click(dialog, IDOK);
  });
  EXPECT_EQ(ChannelValues(registry, 0, u"INTMODE"),
            (std::vector<uint32_t>{0, 0, 0, 0, 2, 0, 0, 0}));
}

TEST_F(Pinflip, TenthEntryIsCardTenAndLoadsAndSavesCardIndexNine) {
  InstallCards(registry, 10);
  for (int card = 0; card < 10; ++card) SetChannelValues(registry, card, u"Preview", {0, 0, 0});
  SetChannelValues(registry, 9, u"Preview", {1, 1, 1, 0, 0, 0, 0, 0});
  Run([&](HWND dialog) {
    std::vector<std::u16string> items = windows.Items(dialog, kCardList);
    ASSERT_EQ(items.size(), 10u);
    EXPECT_EQ(items[1], u"Card 2");
    EXPECT_EQ(items[9], u"Card 10");
    windows.ChooseItem(dialog, kCardList, 9);
    EXPECT_EQ(AllShown(dialog), (std::vector<int>{1, 1, 1, 0, 0, 0, 0, 0}));
    windows.Click(dialog, SecondButton(7));
    windows.Click(dialog, IDOK);
  });
  EXPECT_EQ(ChannelValues(registry, 9, u"Preview"),
            (std::vector<uint32_t>{1, 1, 1, 0, 0, 0, 0, 1}));
  EXPECT_EQ(registry.GetDword(SettingsKey(8), u"Preview7"), std::nullopt);
}

TEST_F(Fieldflip, ChangingTheCardDiscardsEditsAndMissingValuesShowTheDriversDefault) {
  InstallCards(registry, 2);
  SetChannelValues(registry, 0, u"INTMODE", {0, 0, 0, 0, 0, 0, 0, 0});
  SetChannelValues(registry, 1, u"INTMODE", {2, 2, 2, 2, 2, 2});  // none for channels 7 and 8
  auto first = registry.Snapshot(SettingsKey(0));
  Run([&](HWND dialog) {
    for (int n = 0; n < kChannelCount; ++n) windows.Click(dialog, SecondButton(n));
    windows.ChooseItem(dialog, kCardList, 1);
    // Channels 7 and 8 show Weave, not the Linear still shown for the first card.
    EXPECT_EQ(AllShown(dialog), (std::vector<int>{1, 1, 1, 1, 1, 1, 0, 0}));
    windows.Click(dialog, FirstButton(0));
    windows.Click(dialog, IDOK);
  });
  EXPECT_EQ(registry.Snapshot(SettingsKey(0)), first);
  EXPECT_EQ(ChannelValues(registry, 1, u"INTMODE"),
            (std::vector<uint32_t>{0, 2, 2, 2, 2, 2, 0, 0}));
}

TEST_F(Pinflip, ACardWithoutValuesNeverGetsAnotherCardsChoices) {
  // The first card set up, the tenth freshly installed: nothing stored yet.
  InstallCards(registry, 10);
  SetChannelValues(registry, 0, u"Preview", {1, 1, 1, 1, 1, 1, 0, 0});
  Run([&](HWND dialog) {
    EXPECT_EQ(AllShown(dialog), (std::vector<int>{1, 1, 1, 1, 1, 1, 0, 0}));
    windows.ChooseItem(dialog, kCardList, 9);
    EXPECT_EQ(AllShown(dialog), std::vector<int>(8, 0));
    windows.Click(dialog, IDOK);
  });
  EXPECT_EQ(ChannelValues(registry, 9, u"Preview"), std::vector<uint32_t>(8, 0));
}

TEST_F(Pinflip, TextTypedIntoTheCardListSavesNothing) {
  InstallCards(registry, 1);
  SetChannelValues(registry, 0, u"Preview", {0, 0, 0, 0, 0, 0, 0, 0});
  auto before = registry.Snapshot(SettingsKey(0));
  Run([&](HWND dialog) {
    windows.Click(dialog, SecondButton(3));
    ASSERT_TRUE(windows.TypeText(dialog, kCardList, u"Card 7"));
    windows.Click(dialog, IDOK);
  });
  EXPECT_EQ(registry.Snapshot(SettingsKey(0)), before);
  EXPECT_EQ(MessageTexts(), std::vector<std::u16string>{kNotice});
}

TEST_F(Pinflip, WithoutCardsReportsNotFoundOpensEmptyAndOkWritesNothing) {
  registry.CreateKey(SettingsKey(0));  // a card's key, but no card list
  int code = Run([&](HWND dialog) {
    EXPECT_TRUE(windows.Items(dialog, kCardList).empty());
    EXPECT_EQ(windows.Selection(dialog, kCardList), -1);
    EXPECT_EQ(AllShown(dialog), std::vector<int>(8, 0));
    windows.Click(dialog, SecondButton(0));
    windows.Click(dialog, IDOK);
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(MessageTexts(), (std::vector<std::u16string>{u"MORVANE not found", kNotice}));
  EXPECT_EQ(windows.MessageBoxes()[0].caption, u"Pinflip");
  EXPECT_TRUE(registry.Snapshot(SettingsKey(0)).empty());
}

TEST_F(Fieldflip, WithoutCardsReportsNotFoundAndNothingElse) {
  Run([&](HWND dialog) { windows.Click(dialog, IDOK); });
  ASSERT_EQ(MessageTexts(), std::vector<std::u16string>{u"MORVANE not found"});
  EXPECT_EQ(windows.MessageBoxes()[0].caption, u"Fieldflip");
}

TEST_F(Pinflip, MissingCardKeyIsReportedAtLoadAndAtSaveNamingTheCardAndThePath) {
  InstallCards(registry, 2);
  registry.DeleteKey(SettingsKey(1));
  SetChannelValues(registry, 0, u"Preview", {1, 1, 1, 1, 1, 1, 1, 1});
  Run([&](HWND dialog) {
    windows.ChooseItem(dialog, kCardList, 1);
    // What the driver uses when it cannot open the key: capture everywhere.
    EXPECT_EQ(AllShown(dialog), std::vector<int>(8, 0));
    windows.Click(dialog, IDOK);
  });
  const std::u16string text = u"Key not found:\nHKEY_LOCAL_MACHINE\\" + SettingsKey(1);
  ASSERT_EQ(MessageTexts(), (std::vector<std::u16string>{text, text, kNotice}));
  EXPECT_EQ(windows.MessageBoxes()[0].caption, u"Card 2");
  EXPECT_EQ(windows.MessageBoxes()[1].caption, u"Card 2");
  EXPECT_FALSE(registry.HasKey(SettingsKey(1)));
}

TEST_F(Pinflip, FailedWriteIsNamedBeforeTheNoticeAndTheRestIsWritten) {
  InstallCards(registry, 1);
  registry.FailWrite(u"Preview2");
  Run([&](HWND dialog) {
    windows.Click(dialog, SecondButton(2));
    windows.Click(dialog, SecondButton(4));
    windows.Click(dialog, IDOK);
  });
  EXPECT_EQ(MessageTexts(), (std::vector<std::u16string>{u"Preview2", kNotice}));
  EXPECT_EQ(windows.MessageBoxes()[0].caption, u"Pinflip");
  EXPECT_EQ(ChannelValues(registry, 0, u"Preview"),
            (std::vector<uint32_t>{0, 0, 0xDEAD, 0, 1, 0, 0, 0}));
}

TEST_F(Fieldflip, SystemMenuAboutEntryOpensTheAboutDialogOverTheMainOne) {
  InstallCards(registry, 1);
  auto before = registry.Snapshot(SettingsKey(0));
  int abouts = 0;
  HWND main = nullptr;
  windows.onModal = [&](HWND dialog) {
    if (windows.TemplateId(dialog) == IDD_ABOUTBOX) {
      ++abouts;
      EXPECT_EQ(windows.Text(dialog), u"About Fieldflip");
      EXPECT_FALSE(windows.IsEnabled(main));
      EXPECT_FALSE(windows.Click(main, IDOK));  // the main dialog waits
      windows.Click(dialog, IDOK);
      return;
    }
    main = dialog;
    std::vector<HeadlessWindowSystem::MenuItem> menu = windows.SystemMenuItems(dialog);
    ASSERT_GE(menu.size(), 2u);
    EXPECT_EQ(menu[menu.size() - 2].flags, MF_SEPARATOR);
    EXPECT_EQ(menu.back().flags, MF_STRING);
    EXPECT_EQ(menu.back().id, 0x0010u);
    EXPECT_EQ(menu.back().text, u"&About Fieldflip...");
    windows.SystemCommand(dialog, 0x0010);
    windows.SystemCommand(dialog, 0x0013);  // the low four bits are the system's own
    EXPECT_TRUE(windows.IsEnabled(dialog));
    windows.SystemCommand(dialog, SC_MOVE);
    windows.SystemCommand(dialog, SC_CLOSE);  // closes as Cancel does
  };
  CFieldflipApp app;
  EXPECT_EQ(app.Run(windows, registry), 0);
  EXPECT_EQ(abouts, 2);
  EXPECT_TRUE(windows.MessageBoxes().empty());
  EXPECT_EQ(registry.Snapshot(SettingsKey(0)), before);
  EXPECT_EQ(std::u16string(app.m_pszRegistryKey), u"Orl MORVANE Preview Toggle");
}

RECT Frame(HeadlessWindowSystem &windows, HWND window) {
  RECT r{};
  windows.WindowRect(window, &r);
  return r;
}
LONG CentreX(const RECT &r) { return (r.left + r.right) / 2; }
LONG CentreY(const RECT &r) { return (r.top + r.bottom) / 2; }

TEST_F(Fieldflip, OpensCentredOnTheScreenAndTheAboutBoxCentredOnIt) {
  InstallCards(registry, 1);
  windows.SetWorkArea({100, 50, 900, 650});
  RECT main{}, about{};
  windows.onModal = [&](HWND dialog) {
    if (windows.TemplateId(dialog) == IDD_ABOUTBOX) {
      about = Frame(windows, dialog);
      windows.Click(dialog, IDOK);
      return;
    }
    main = Frame(windows, dialog);
    windows.SystemCommand(dialog, 0x0010);
    windows.Click(dialog, IDCANCEL);
  };
  CFieldflipApp app;
  app.Run(windows, registry);
  EXPECT_LE(std::abs(CentreX(main) - 500), 1);
  EXPECT_LE(std::abs(CentreY(main) - 350), 1);
  EXPECT_GT(main.right - main.left, 300);
  // Over the middle of the main dialog, not over its title.
  EXPECT_LE(std::abs(CentreX(about) - CentreX(main)), 1);
  EXPECT_LE(std::abs(CentreY(about) - CentreY(main)), 1);
}

TEST_F(Pinflip, ACentredDialogStaysInsideASmallWorkArea) {
  InstallCards(registry, 1);
  windows.SetWorkArea({40, 30, 240, 130});  // smaller than the dialog
  windows.onMessageBox = [](const HeadlessWindowSystem::MessageBoxRecord &) {};
  RECT main{};
  Run([&](HWND dialog) {
    main = Frame(windows, dialog);
    windows.Click(dialog, IDCANCEL);
  });
  EXPECT_EQ(main.left, 40);
  EXPECT_EQ(main.top, 30);
}

TEST_F(Pinflip, CarriesItsIconAndDrawsItCentredWhenMinimised) {
  InstallCards(registry, 1);
  Run([&](HWND dialog) {
    HICON icon = windows.IconResource(IDR_MAINFRAME);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(windows.WindowIcon(dialog, true), icon);
    EXPECT_EQ(windows.WindowIcon(dialog, false), icon);
    EXPECT_EQ(windows.Send(dialog, WM_QUERYDRAGICON, 0, 0), reinterpret_cast<LRESULT>(icon));

    windows.Paint(dialog);
    EXPECT_EQ(windows.DefaultPaints(), 1);
    EXPECT_TRUE(windows.DrawnIcons().empty());

    windows.SystemCommand(dialog, SC_MINIMIZE);
    windows.Paint(dialog);
    EXPECT_EQ(windows.IconBackgroundErases(), 1);
    ASSERT_EQ(windows.DrawnIcons().size(), 1u);
    RECT client;
    windows.ClientRect(dialog, &client);
    EXPECT_EQ(windows.DrawnIcons()[0].x, (client.right - 32 + 1) / 2);
    EXPECT_EQ(windows.DrawnIcons()[0].y, (client.bottom - 32 + 1) / 2);
    EXPECT_EQ(windows.DrawnIcons()[0].icon, icon);
    windows.Click(dialog, IDCANCEL);
  });
}

}  // namespace
