// The main dialog both settings tools share, and their about dialog. A tool supplies its
// traits; its resource script supplies the texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/afx.h"
#include "tools/common/resource.h"
#include "tools/common/settings_store.h"

class CAboutDlg : public CDialog {
 public:
  CAboutDlg() : CDialog(IDD_ABOUTBOX) {}
};

class CSettingsDlg : public CDialog, private StoreMessages {
 public:
  explicit CSettingsDlg(const ToolTraits &tool, CWnd *parent = nullptr);

 protected:
  void DoDataExchange(CDataExchange *pDX) override;
  BOOL OnInitDialog() override;
  const MessageMap *GetMessageMap() const override { return &messageMap; }
  using ThisClass = CSettingsDlg;
  static const MessageMapEntry messageEntries[];
  static const MessageMap messageMap;

  void OnSysCommand(UINT nID, LPARAM lParam);
  void OnPaint();
  HCURSOR OnQueryDragIcon();
  void OnOkClicked();
  void OnCardSelChange();
  void OnChoiceClicked();

  void EnumerateCards();
  int32_t LoadCardSettings(uint32_t cardIndex);
  int32_t SaveCardSettings(uint32_t cardIndex);

  HICON m_hIcon;
  uint32_t m_cardCount = 0;
  std::vector<std::u16string> m_cardPaths;
  int32_t m_channelChoice[kChannelCount];

 private:
  void ShowStoreMessage(const std::u16string &text, const std::u16string &caption) override;
  uint32_t SelectedCard();
  SettingsStore Store();

  const ToolTraits &m_tool;
};

// The common start of both programs: common controls, the framework, the profile key name.
void StartSettingsTool(CWinApp &app);

// A tool's whole InitInstance: start, then the main dialog, modally. OK and Cancel both end
// the program, so the result is ignored and the framework is told to end the application.
template <class Dialog>
BOOL RunSettingsTool(CWinApp &app) {
  StartSettingsTool(app);
  Dialog dialog;
  app.m_pMainWnd = &dialog;
  dialog.DoModal();
  app.m_pMainWnd = nullptr;
  return FALSE;
}
